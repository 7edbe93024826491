// The database login of the gateway: the ODBC data source KELP in
// config/odbc.ini. No file, or no Driver key, means that no database is
// configured. Read anew by each caller, so an edited file counts at once.
// Safe for any thread.
#ifndef KEELGATE_HOST_DB_ODBC_DATA_SOURCE_H
#define KEELGATE_HOST_DB_ODBC_DATA_SOURCE_H

#include <string>

namespace KELP {

struct OdbcDataSource {
  std::string driver;      // a driver name of odbcinst.ini, or the driver's .so path
  std::string servername;  // host name, address, or a unix socket directory ("/...")
  int port = 0;
  std::string database;
  std::string userName;
  std::string password;
  // Bounds on every database call, in seconds (keys LoginTimeout and
  // QueryTimeout, 1 to 300): a database that accepts and never answers, or a
  // table held locked, holds its caller no longer than that.
  int loginTimeout = 5;
  int queryTimeout = 5;
};

// The data source name, and the section of odbc.ini holding it.
extern const char kOdbcDataSourceName[];

// Fills `source` from the section `dsn` (KELP when null) of
// <home>/config/odbc.ini. Servername (or its other spelling Server), missing
// or empty, is 127.0.0.1, Port 5432. False when no database is configured or
// Port, LoginTimeout or QueryTimeout is not a number in its range (logged).
bool readOdbcDataSource(const std::string& home, OdbcDataSource& source, const char* dsn = nullptr);

// True when <home>/config/odbc.ini configures the data source KELP.
bool databaseConfigured(const std::string& home);

// The DSN-less connection string for `source`:
// "DRIVER={..};SERVER={..};PORT=..;DATABASE={..};UID={..};PWD={..}" plus the
// driver options keelgate relies on: no communication or debug log of the
// driver's own while a connection is open, and the query timeout as the
// session's statement_timeout and lock_timeout (sent by the driver right
// after the login). The driver's log outside open connections follows the
// CommLog of its section in the system's odbcinst.ini, which no connection
// string reaches: Debian's turns it on, and each process would leave a
// /tmp/psqlodbc_*.log at its last disconnect, so the installation sets it to
// 0 there. A value holding ';', '=',
// braces or edge blanks is braced with a '}' doubled, so a password may hold
// them.
std::string odbcConnectionString(const OdbcDataSource& source);

// The connection string with its password masked, for log lines.
std::string maskedConnectionString(const OdbcDataSource& source);

}  // namespace KELP

#endif
