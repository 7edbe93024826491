// A prepared statement of the gateway database and the rows it returned.
// Created by QxDBConnection::prepareStatement and freed by
// releaseStatement; the statement owns its result set. One thread at a time.
//
// Parameters count from 1 and are bound when the statement runs, so they may
// be set in any order and set again between runs. A statement text may hold
// several commands separated by ';' (a delete then an insert): the driver
// sends them as one query, parameters in order of appearance, and a failure
// of any command fails the run.
//
// Every failed run or fetch also counts in the connection's failure count
// (QxDBConnection::failedStatements), by which a transaction learns that
// one of its statements failed even where the caller only logged it.
#ifndef KEELGATE_HOST_DB_QX_DB_STATEMENT_H
#define KEELGATE_HOST_DB_QX_DB_STATEMENT_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace KELP {

// The failed statements of one connection; shared with its statements.
typedef std::shared_ptr<int> FailureCount;

class QxDBResultset {
 public:
  QxDBResultset(void* stmt, std::vector<std::string> columns, FailureCount failures = nullptr);
  virtual ~QxDBResultset() {}

  // 0 when a row is available; nonzero at the end or on a failure (then
  // failed() is true).
  virtual int next();
  bool failed() const { return failed_; }
  // Columns by name, ignoring case. 0 on success; nonzero for an unknown
  // column, a NULL or a text that is not a whole number in range. A text
  // stays valid until the next next().
  virtual int getString(const char* column, const char** value);
  virtual int getInt(const char* column, int& value);
  virtual int getLongLong(const char* column, long long& value);

 private:
  const std::string* cell(const char* column) const;

  void* stmt_;
  std::vector<std::string> columns_;
  std::vector<std::string> values_;
  std::vector<bool> nulls_;
  FailureCount failures_;
  bool done_ = false;
  bool failed_ = false;
};

class QxDBStatement {
 public:
  QxDBStatement(void* stmt, std::string sql, FailureCount failures = nullptr);
  virtual ~QxDBStatement();

  // Text of `length` bytes (a copy is kept). 0 on success. A refused value
  // also unsets the parameter, so the statement never runs with an older one.
  virtual int setParameter(int index, unsigned char* data, int length, bool binary);
  // An integer bound as a 32-bit INTEGER; a value out of range fails.
  virtual int setParameter(int index, long& value);
  // An integer bound as a 64-bit BIGINT.
  virtual int setParameter64(int index, long long& value);

  // Runs the statement (a select, insert, update, delete or several of them).
  // 0 on success; *result then points at the rows of a select (no rows for
  // the others), owned by the statement and valid until the next run or the
  // release. Nonzero on failure, logged with the driver's message.
  virtual int excuteQuery(QxDBResultset** result);

  const std::string& sql() const { return sql_; }
  const std::string& lastError() const { return last_error_; }
  void* handle() const { return stmt_; }

 private:
  struct Param {
    int kind;  // 0 text, 1 int32, 2 int64
    std::string text;
    int i32 = 0;
    long long i64 = 0;
    long indicator = 0;
  };
  bool bindAll();
  bool drainResults();

  void* stmt_;
  std::string sql_;
  std::map<int, Param> params_;
  FailureCount failures_;
  QxDBResultset* result_ = nullptr;
  std::string last_error_;
};

// The diagnostic text of an ODBC handle: "SQLSTATE: message" records, joined
// by "; " and cut to about 400 bytes.
std::string odbcDiagnostic(short handleType, void* handle);

}  // namespace KELP

#endif
