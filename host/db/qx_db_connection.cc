#include "host/db/qx_db_connection.h"

#include <sql.h>
#include <sqlext.h>

#include "host/config/install_dir.h"
#include "host/log/log.h"
#include "host/db/odbc_data_source.h"

namespace KELP {

struct QxDBConnection::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  FailureCount failures = std::make_shared<int>(0);
  bool inTransaction = false;
  bool transactionLost = false;  // disconnected inside it: rolled back
  int failuresAtBegin = 0;
};

QxDBConnection::QxDBConnection(ODBC_VERSION version, const std::string& home)
    : version_(version), home_(installDir(home)), handles_(new Handles) {}

QxDBConnection::~QxDBConnection() {
  disconnect();
  freeHandles();
  delete handles_;
}

void QxDBConnection::freeHandles() {
  if (handles_->dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, handles_->dbc);
  if (handles_->env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, handles_->env);
  handles_->dbc = SQL_NULL_HDBC;
  handles_->env = SQL_NULL_HENV;
}

int QxDBConnection::connect(const std::string& dsn, const std::string& user,
                            const std::string& password, const std::string& database,
                            int loginTimeout, int autoCommit, int queryTimeout, int flags) {
  if (handles_->inTransaction) {
    // A new session would run the rest of the transaction in autocommit.
    last_error_ = "a transaction is open; it must end first";
    Log::LogByLevel(LOG_NORMAL, "database [%s]: cannot connect: %s", dsn.c_str(), last_error_.c_str());
    return -1;
  }
  disconnect();
  dsn_ = dsn;
  settings_[0] = loginTimeout, settings_[1] = autoCommit, settings_[2] = queryTimeout, settings_[3] = flags;
  OdbcDataSource source;
  if (!readOdbcDataSource(home_, source, dsn.c_str())) {
    last_error_ = "no database configured in " + home_ + "/config/odbc.ini";
    Log::LogByLevel(LOG_NORMAL, "database [%s]: cannot connect: %s", dsn.c_str(), last_error_.c_str());
    return -1;
  }
  if (!user.empty()) source.userName = user;
  if (!password.empty()) source.password = password;
  if (!database.empty()) source.database = database;

  freeHandles();
  SQLINTEGER odbcVersion = version_ == ODBC_VERSION_2 ? SQL_OV_ODBC2 : SQL_OV_ODBC3;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handles_->env)) ||
      !SQL_SUCCEEDED(SQLSetEnvAttr(handles_->env, SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(odbcVersion)), 0)) ||
      !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, handles_->env, &handles_->dbc))) {
    last_error_ = "cannot allocate the ODBC handles";
    Log::LogByLevel(LOG_NORMAL, "database [%s]: cannot connect: %s", dsn.c_str(), last_error_.c_str());
    freeHandles();
    return -1;
  }
  // The caller's login limit, never above the configured one.
  int login = loginTimeout > 0 && loginTimeout < source.loginTimeout ? loginTimeout : source.loginTimeout;
  SQLSetConnectAttr(handles_->dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(login)),
                    0);
  queryTimeout_ = source.queryTimeout;
  std::string text = odbcConnectionString(source);
  SQLCHAR out[1024];
  SQLSMALLINT outLen = 0;
  SQLRETURN rc = SQLDriverConnect(handles_->dbc, nullptr, (SQLCHAR*)text.c_str(), SQL_NTS, out,
                                  sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    last_error_ = odbcDiagnostic(SQL_HANDLE_DBC, handles_->dbc);
    // The password stays out of the log; the rest names what was tried.
    Log::LogByLevel(LOG_NORMAL,
                    "database [%s]: cannot connect to [%s] port %d database [%s] as [%s] with driver [%s]: %s",
                    dsn.c_str(), source.servername.c_str(), source.port, source.database.c_str(),
                    source.userName.c_str(), source.driver.c_str(), last_error_.c_str());
    freeHandles();
    return -1;
  }
  handles_->connected = true;
  last_error_.clear();
  return 0;
}

int QxDBConnection::prepareStatement(const char* sql, QxDBStatement** statement) {
  *statement = nullptr;
  if (getState() != STATE_CONNECTED) {
    last_error_ = "not connected";
    Log::LogByLevel(LOG_NORMAL, "database [%s]: cannot prepare [%.300s]: not connected", dsn_.c_str(), sql);
    ++*handles_->failures;
    return -1;
  }
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, handles_->dbc, &stmt))) {
    last_error_ = odbcDiagnostic(SQL_HANDLE_DBC, handles_->dbc);
    Log::LogByLevel(LOG_NORMAL, "database [%s]: cannot prepare [%.300s]: %s", dsn_.c_str(), sql,
                    last_error_.c_str());
    ++*handles_->failures;
    return -1;
  }
  if (!SQL_SUCCEEDED(SQLPrepare(stmt, (SQLCHAR*)sql, SQL_NTS))) {
    last_error_ = odbcDiagnostic(SQL_HANDLE_STMT, stmt);
    Log::LogByLevel(LOG_NORMAL, "database [%s]: cannot prepare [%.300s]: %s", dsn_.c_str(), sql,
                    last_error_.c_str());
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    ++*handles_->failures;
    return -1;
  }
  // Also bounded by the session's statement_timeout (see the connection
  // string); the attribute covers drivers that honour it on their side.
  SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(queryTimeout_)), 0);
  *statement = new QxDBStatement(stmt, sql, handles_->failures);
  return 0;
}

int QxDBConnection::releaseStatement(QxDBStatement* statement) {
  delete statement;  // frees its handle
  return 0;
}

int QxDBConnection::getState() {
  if (!handles_->connected) return STATE_NOT_CONNECTED;
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (SQL_SUCCEEDED(SQLGetConnectAttr(handles_->dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
      dead == SQL_CD_TRUE)
    return STATE_NOT_CONNECTED;
  return STATE_CONNECTED;
}

int QxDBConnection::disconnect() {
  if (!handles_->connected) return 0;
  if (handles_->inTransaction && !handles_->transactionLost) {
    SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK);
    setAutocommit(true);
    handles_->transactionLost = true;
    Log::LogByLevel(LOG_NORMAL, "database [%s]: disconnected inside a transaction, rolled back", dsn_.c_str());
  }
  handles_->connected = false;
  SQLRETURN rc = SQLDisconnect(handles_->dbc);
  if (!SQL_SUCCEEDED(rc)) {
    last_error_ = odbcDiagnostic(SQL_HANDLE_DBC, handles_->dbc);
    Log::LogByLevel(LOG_DIAGNOSTIC, "database [%s]: disconnect: %s", dsn_.c_str(), last_error_.c_str());
    return -1;
  }
  return 0;
}

void QxDBConnection::setAutocommit(bool on) {
  SQLSetConnectAttr(handles_->dbc, SQL_ATTR_AUTOCOMMIT,
                    reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                    SQL_IS_UINTEGER);
}

int QxDBConnection::beginTransaction() {
  if (handles_->inTransaction)
    last_error_ = "a transaction is already open";
  else if (getState() != STATE_CONNECTED)
    last_error_ = "not connected";
  else if (!SQL_SUCCEEDED(SQLSetConnectAttr(handles_->dbc, SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_AUTOCOMMIT_OFF)),
                                            SQL_IS_UINTEGER)))
    last_error_ = odbcDiagnostic(SQL_HANDLE_DBC, handles_->dbc);
  else {
    handles_->inTransaction = true;
    handles_->failuresAtBegin = *handles_->failures;
    return 0;
  }
  Log::LogByLevel(LOG_NORMAL, "database [%s]: cannot begin a transaction: %s", dsn_.c_str(), last_error_.c_str());
  return -1;
}

int QxDBConnection::commit() { return endTransaction(true); }

int QxDBConnection::rollback() { return endTransaction(false); }

int QxDBConnection::endTransaction(bool commit) {
  if (!handles_->inTransaction) {
    last_error_ = "no transaction is open";
    return -1;
  }
  handles_->inTransaction = false;
  const int failed = *handles_->failures - handles_->failuresAtBegin;
  bool ended = false;
  if (handles_->transactionLost) {
    handles_->transactionLost = false;  // rolled back at the disconnect
    if (!commit) return 0;
    last_error_ = "the connection was lost inside the transaction";
  } else {
    bool commitIt = commit && failed == 0;
    ended = SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, commitIt ? SQL_COMMIT : SQL_ROLLBACK));
    if (!ended) last_error_ = odbcDiagnostic(SQL_HANDLE_DBC, handles_->dbc);
    setAutocommit(true);
    if (ended && !commitIt && commit) last_error_ = std::to_string(failed) + " of its statements failed";
    if (ended && (commitIt || !commit)) return 0;
  }
  Log::LogByLevel(LOG_NORMAL, "database [%s]: transaction %s: %s", dsn_.c_str(),
                  commit && ended ? "rolled back" : commit ? "not committed" : "not rolled back", last_error_.c_str());
  return -1;
}

bool QxDBConnection::inTransaction() const { return handles_->inTransaction; }

int QxDBConnection::failedStatements() const { return *handles_->failures; }

std::string odbcDiagnostic(short handleType, void* handle) {
  std::string text;
  SQLCHAR state[6], message[512];
  SQLINTEGER native;
  SQLSMALLINT len;
  for (SQLSMALLINT i = 1; i <= 3; ++i) {
    if (!SQL_SUCCEEDED(SQLGetDiagRec(handleType, handle, i, state, &native, message, sizeof message, &len)))
      break;
    if (!text.empty()) text += "; ";
    text += std::string(reinterpret_cast<char*>(state)) + ": " + reinterpret_cast<char*>(message);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  if (text.size() > 400) text.resize(400);
  return text.empty() ? "unknown error" : text;
}

}  // namespace KELP
