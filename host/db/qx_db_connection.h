// The gateway database connection: a wrapper over unixODBC and the
// PostgreSQL ODBC driver, through which the throttling store, the automatic
// blocks and the database side of DualSource reach PostgreSQL.
//
// The login comes from the data source KELP of <home>/config/odbc.ini,
// turned into a DSN-less connection string, so the process environment
// (ODBCINI, ODBCSYSINI) is neither read for it nor changed. Precedence: the
// non-empty user, password and database given to connect() win; an empty one
// takes the file's UserName, Password or Database. Driver, Servername and
// Port come from the file only.
//
// Transactions: beginTransaction turns autocommit off, and the statements
// that follow are one transaction until commit or rollback turns it on
// again. The connection counts its statements that fail (prepare, run or
// fetch); commit refuses a transaction in which any did, rolls it back and
// fails, so a transaction is all or nothing although the driver, by
// default, rolls back only the failed statement (a savepoint before each).
// A disconnect, or a server that goes away, inside a transaction rolls it
// back; it stays open, failed, until commit or rollback ends it, and no
// connect is made meanwhile, so nothing of it is ever run in autocommit.
//
// Threads: one connection and its statements belong to one thread at a time;
// isDBAlive keeps no state and may run on any thread. Failures are logged at
// the "normal" level with the driver's own message and reported by result;
// nothing throws.
#ifndef KEELGATE_HOST_DB_QX_DB_CONNECTION_H
#define KEELGATE_HOST_DB_QX_DB_CONNECTION_H

#include <string>

#include "host/db/qx_db_statement.h"

namespace KELP {

class QxDBConnection {
 public:
  enum ODBC_VERSION { ODBC_VERSION_2 = 0, ODBC_VERSION_3 = 1 };
  enum { STATE_NOT_CONNECTED = 0, STATE_CONNECTED = 4 };

  // `home` is the installation directory; "" means KELP_HOME, then
  // /opt/corvo/kelp.
  explicit QxDBConnection(ODBC_VERSION version, const std::string& home = "");
  virtual ~QxDBConnection();
  QxDBConnection(const QxDBConnection&) = delete;
  QxDBConnection& operator=(const QxDBConnection&) = delete;

  // Connects to the data source `dsn` (a section of odbc.ini). `loginTimeout`
  // is in seconds and capped by the data source's LoginTimeout (the limit
  // when 0); statements are bounded by its QueryTimeout. The other three
  // integers are kept as the connection's settings and select nothing. 0 when connected; -1 when
  // no database is configured, the file is malformed or the server refuses.
  virtual int connect(const std::string& dsn, const std::string& user, const std::string& password,
              const std::string& database, int loginTimeout, int autoCommit, int queryTimeout,
              int flags);

  // Prepares `sql` into *statement (owned by this connection until released).
  // 0 on success; nonzero, *statement null, when not connected or refused.
  virtual int prepareStatement(const char* sql, QxDBStatement** statement);
  // Frees a prepared statement and its result set. 0 on success.
  virtual int releaseStatement(QxDBStatement* statement);
  // STATE_CONNECTED (4) while connected and the driver has not seen the
  // server go away, else STATE_NOT_CONNECTED.
  virtual int getState();
  // Disconnects; harmless when not connected. 0 on success.
  virtual int disconnect();

  // 0 when a transaction has begun; -1 when not connected or one is open.
  virtual int beginTransaction();
  // 0 when the transaction is committed; -1, rolled back, when a statement
  // of it failed, the commit failed or no transaction is open.
  virtual int commit();
  // Ends the transaction, rolling it back. 0 on success.
  virtual int rollback();
  bool inTransaction() const;
  // Statements that failed since this object was made; two readings tell
  // whether any statement between them failed.
  int failedStatements() const;

  // The driver's message of the last failure, cut to a few hundred bytes.
  const std::string& lastError() const { return last_error_; }

  // ---- Reachability, without a connection object ----

  // True when the server of the KELP data source in <home>/config/odbc.ini
  // accepts a connection within about a second: TCP to Servername:Port (a
  // host name is resolved; an address is used as it is), or, for a
  // Servername starting with '/', the unix socket <Servername>/.s.PGSQL.<Port>.
  // False at once when no database is configured (no file, no Driver). The
  // socket is closed right after the connect; no login is tried, so the
  // server may log an incomplete start-up for each probe. A host name whose
  // resolution hangs can take longer than the second.
  static bool isDBAlive(const std::string& home);
  // The same for the installation directory of the environment (KELP_HOME).
  static bool isDBAlive();

  // How long the probe waits for a connection, over all addresses of a name.
  static constexpr int kProbeTimeoutMs = 1000;

 private:
  struct Handles;
  void freeHandles();
  int endTransaction(bool commit);
  void setAutocommit(bool on);

  const ODBC_VERSION version_;
  const std::string home_;
  Handles* handles_;
  std::string dsn_;
  int settings_[4] = {0, 0, 0, 0};
  int queryTimeout_ = 5;  // seconds, of the data source connected to
  std::string last_error_;
};

}  // namespace KELP

#endif
