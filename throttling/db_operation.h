// One persistence operation of SmtpConnTrafficList on the shared connection:
// connectDB when it starts; when it ends, its statement released and then
// disconnectDB, on every path. Internal to throttling/.
#ifndef KEELGATE_THROTTLING_DB_OPERATION_H
#define KEELGATE_THROTTLING_DB_OPERATION_H

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
  // Runs the statement; the rows of a select in *rows when given.
  bool run(KELP::QxDBResultset** rows = nullptr) {
    KELP::QxDBResultset* ignored = nullptr;
    return stmt_->excuteQuery(rows != nullptr ? rows : &ignored) == 0;
  }
  void release() {
    if (stmt_ != nullptr) list_.dbConnection()->releaseStatement(stmt_);
    stmt_ = nullptr;
  }
  // Binds a text of its own length, or an integer as 32 bits.
  bool bindText(int index, const std::string& text) {
    return stmt_->setParameter(index, (unsigned char*)text.data(), static_cast<int>(text.size()), false) == 0;
  }
  bool bindInt(int index, long value) { return stmt_->setParameter(index, value) == 0; }

 private:
  SmtpConnTrafficList& list_;
  KELP::QxDBStatement* stmt_ = nullptr;
};

#endif
