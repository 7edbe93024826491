#include "host/db/qx_db_statement.h"

#include <errno.h>
#include <limits.h>
#include <sql.h>
#include <sqlext.h>
#include <stdlib.h>
#include <strings.h>

#include "host/log/log.h"

namespace KELP {

static_assert(sizeof(SQLLEN) == sizeof(long), "indicators are kept as long");

namespace {

bool wholeNumber(const std::string& text, long long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = strtoll(text.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

}  // namespace

// ---- QxDBResultset ----

QxDBResultset::QxDBResultset(void* stmt, std::vector<std::string> columns, FailureCount failures)
    : stmt_(stmt), columns_(std::move(columns)), failures_(std::move(failures)) {}

int QxDBResultset::next() {
  values_.clear();
  nulls_.clear();
  if (done_ || columns_.empty()) return 1;
  SQLRETURN rc = SQLFetch(stmt_);
  if (rc == SQL_NO_DATA || !SQL_SUCCEEDED(rc)) {
    if (rc != SQL_NO_DATA) {
      Log::LogByLevel(LOG_NORMAL, "database: cannot fetch a row: %s",
                      odbcDiagnostic(SQL_HANDLE_STMT, stmt_).c_str());
      failed_ = true;
      if (failures_) ++*failures_;
    }
    done_ = true;
    return 1;
  }
  for (size_t i = 0; i < columns_.size(); ++i) {
    std::string value;
    bool isNull = false;
    char buf[1024];
    for (;;) {  // long texts come in pieces
      SQLLEN got = 0;
      rc = SQLGetData(stmt_, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, buf, sizeof buf, &got);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) {
        isNull = true;  // unreadable: treated as absent
        break;
      }
      if (got == SQL_NULL_DATA) {
        isNull = true;
        break;
      }
      size_t piece = (got == SQL_NO_TOTAL || got >= static_cast<SQLLEN>(sizeof buf)) ? sizeof buf - 1
                                                                                        : static_cast<size_t>(got);
      value.append(buf, piece);
      if (rc == SQL_SUCCESS) break;
    }
    values_.push_back(value);
    nulls_.push_back(isNull);
  }
  return 0;
}

const std::string* QxDBResultset::cell(const char* column) const {
  for (size_t i = 0; i < columns_.size() && i < values_.size(); ++i)
    if (strcasecmp(columns_[i].c_str(), column) == 0) return nulls_[i] ? nullptr : &values_[i];
  return nullptr;
}

int QxDBResultset::getString(const char* column, const char** value) {
  const std::string* text = cell(column);
  if (text == nullptr) return -1;
  *value = text->c_str();
  return 0;
}

int QxDBResultset::getInt(const char* column, int& value) {
  const std::string* text = cell(column);
  long long v;
  if (text == nullptr || !wholeNumber(*text, v) || v < INT_MIN || v > INT_MAX) return -1;
  value = static_cast<int>(v);
  return 0;
}

int QxDBResultset::getLongLong(const char* column, long long& value) {
  const std::string* text = cell(column);
  long long v;
  if (text == nullptr || !wholeNumber(*text, v)) return -1;
  value = v;
  return 0;
}

// ---- QxDBStatement ----

QxDBStatement::QxDBStatement(void* stmt, std::string sql, FailureCount failures)
    : stmt_(stmt), sql_(std::move(sql)), failures_(std::move(failures)) {}

QxDBStatement::~QxDBStatement() {
  delete result_;
  SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
}

int QxDBStatement::setParameter(int index, unsigned char* data, int length, bool) {
  if (index < 1) return -1;
  if (length < 0 || (data == nullptr && length > 0)) {
    params_.erase(index);
    return -1;
  }
  Param& p = params_[index];
  p.kind = 0;
  p.text.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  return 0;
}

int QxDBStatement::setParameter(int index, long& value) {
  if (index < 1) return -1;
  if (value < INT_MIN || value > INT_MAX) {
    params_.erase(index);  // never run with the value bound before
    return -1;
  }
  Param& p = params_[index];
  p.kind = 1;
  p.i32 = static_cast<int>(value);
  return 0;
}

int QxDBStatement::setParameter64(int index, long long& value) {
  if (index < 1) return -1;
  Param& p = params_[index];
  p.kind = 2;
  p.i64 = value;
  return 0;
}

bool QxDBStatement::bindAll() {
  SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
  for (auto& entry : params_) {
    Param& p = entry.second;
    SQLUSMALLINT index = static_cast<SQLUSMALLINT>(entry.first);
    SQLRETURN rc;
    if (p.kind == 0) {
      p.indicator = static_cast<SQLLEN>(p.text.size());
      SQLULEN size = p.text.empty() ? 1 : p.text.size();
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, size, 0,
                            &p.text[0], static_cast<SQLLEN>(p.text.size()), &p.indicator);
    } else if (p.kind == 1) {
      p.indicator = 0;
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &p.i32, 0,
                            &p.indicator);
    } else {
      p.indicator = 0;
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &p.i64, 0,
                            &p.indicator);
    }
    if (!SQL_SUCCEEDED(rc)) return false;
  }
  return true;
}

// Steps over the results of the later commands of a compound text, so that
// their failures count.
bool QxDBStatement::drainResults() {
  for (;;) {
    SQLRETURN rc = SQLMoreResults(stmt_);
    if (rc == SQL_NO_DATA) return true;
    if (!SQL_SUCCEEDED(rc)) return false;
  }
}

int QxDBStatement::excuteQuery(QxDBResultset** result) {
  if (result != nullptr) *result = nullptr;
  delete result_;
  result_ = nullptr;
  SQLFreeStmt(stmt_, SQL_CLOSE);
  bool ok = bindAll();
  SQLRETURN rc = ok ? SQLExecute(stmt_) : SQL_ERROR;
  ok = ok && (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA);
  SQLSMALLINT count = 0;
  if (ok && rc != SQL_NO_DATA) SQLNumResultCols(stmt_, &count);
  std::vector<std::string> columns;
  for (SQLSMALLINT i = 1; ok && i <= count; ++i) {
    SQLCHAR name[256];
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLColAttribute(stmt_, i, SQL_DESC_LABEL, name, sizeof name, &len, nullptr)))
      name[0] = '\0';
    columns.push_back(reinterpret_cast<char*>(name));
  }
  if (ok && count == 0) ok = drainResults();
  if (!ok) {
    last_error_ = odbcDiagnostic(SQL_HANDLE_STMT, stmt_);
    Log::LogByLevel(LOG_NORMAL, "database: statement [%.300s] failed: %s", sql_.c_str(), last_error_.c_str());
    if (failures_) ++*failures_;
    return -1;
  }
  last_error_.clear();
  result_ = new QxDBResultset(stmt_, std::move(columns), failures_);
  if (result != nullptr) *result = result_;
  return 0;
}

}  // namespace KELP
