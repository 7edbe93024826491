// One persistence operation of SmtpConnTrafficList on the shared connection:
// connectDB when it starts; when it ends, its statement released and then
// disconnectDB, on every path. Internal to throttling/.
//
// Values always travel as bound parameters, never inside the statement
// text; a value that cannot be bound fails the operation.
#ifndef KEELGATE_THROTTLING_DB_OPERATION_H
#define KEELGATE_THROTTLING_DB_OPERATION_H

#include <stdint.h>

#include <string>

#include "throttling/smtp_conn_traffic_list.h"

class DbOperation {
 public:
  explicit DbOperation(SmtpConnTrafficList& list) : list_(list) { list_.connectDB(); }
  ~DbOperation() {
    release();
    list_.disconnectDB();
  }
  DbOperation(const DbOperation&) = delete;
  DbOperation& operator=(const DbOperation&) = delete;

  // Releases the current statement and prepares `sql`; false when the
  // connection refuses it (the caller logs its own wording).
  bool prepare(const char* sql) {
    release();
    return list_.dbConnection()->prepareStatement(sql, &stmt_) == 0 && stmt_ != nullptr;
  }
  KELP::QxDBStatement* statement() const { return stmt_; }
  // Runs the statement; the rows of a select in *rows when given. False,
  // without running it, when a parameter was refused since the last run.
  bool run(KELP::QxDBResultset** rows = nullptr) {
    KELP::QxDBResultset* ignored = nullptr;
    if (rows != nullptr) *rows = nullptr;
    bool bound = bound_;
    bound_ = true;
    return bound && stmt_->excuteQuery(rows != nullptr ? rows : &ignored) == 0;
  }
  void release() {
    if (stmt_ != nullptr) list_.dbConnection()->releaseStatement(stmt_);
    stmt_ = nullptr;
    bound_ = true;
  }
  // Binds a text of its own length, an integer as 32 or as 64 bits.
  bool bindText(int index, const std::string& text) {
    return bound(stmt_->setParameter(index, (unsigned char*)text.data(), static_cast<int>(text.size()), false));
  }
  bool bindInt(int index, long value) { return bound(stmt_->setParameter(index, value)); }
  bool bindInt64(int index, int64_t value) {
    long long v = value;
    return bound(stmt_->setParameter64(index, v));
  }

 private:
  bool bound(int rc) {
    if (rc != 0) bound_ = false;
    return rc == 0;
  }

  SmtpConnTrafficList& list_;
  KELP::QxDBStatement* stmt_ = nullptr;
  bool bound_ = true;  // false after a refused parameter, until the next run
};

#endif
