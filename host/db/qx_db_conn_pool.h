// The pool through which DualSource reaches the gateway database. The daemon
// builds one at start, before it forks its workers; a connection must not be
// shared across fork, so the pool keeps none open: each open() makes a new
// connection with the login of <home>/config/odbc.ini, closed when the last
// copy of the returned pointer goes (the pool must outlive it). The limit counts connections open at once.
//
// Threads: open() and the count are safe from any thread.
#ifndef KEELGATE_HOST_DB_QX_DB_CONN_POOL_H
#define KEELGATE_HOST_DB_QX_DB_CONN_POOL_H

#include <atomic>
#include <memory>
#include <string>

#include "host/db/qx_db_connection.h"

namespace KELP {

class QxDBAbstractConnection {
 public:
  enum DBMS_TYPE { DBMS_UNKNOWN = 0, DBMS_POSTGRESQL = 1 };
};

class DBConnPoolWrapper {
 public:
  virtual ~DBConnPoolWrapper() {}
  // A connected connection for the installation directory `home`, or null
  // (no database configured, server down, limit reached: logged).
  virtual std::shared_ptr<QxDBConnection> open(const std::string& home) = 0;
};

class QxDBConnPoolWrapper : public DBConnPoolWrapper {
 public:
  // `maxConnections` open at once; a login gives up after kLoginTimeout s.
  QxDBConnPoolWrapper(QxDBAbstractConnection::DBMS_TYPE type, int maxConnections)
      : type_(type), max_connections_(maxConnections) {}
  QxDBAbstractConnection::DBMS_TYPE type() const { return type_; }
  int maxConnections() const { return max_connections_; }
  int openConnections() const { return open_.load(); }

  std::shared_ptr<QxDBConnection> open(const std::string& home) override;

  static constexpr int kLoginTimeout = 2;

 private:
  QxDBAbstractConnection::DBMS_TYPE type_;
  int max_connections_;
  std::atomic<int> open_{0};
};

}  // namespace KELP

#endif
