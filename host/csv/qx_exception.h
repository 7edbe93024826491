// The error type of the gateway's log-writer library (the qx_LOG_ classes).
// Every failure of the library arrives as this exception; get_message() names
// the failed operation, the file and the errno text.
#ifndef KEELGATE_HOST_CSV_QX_EXCEPTION_H
#define KEELGATE_HOST_CSV_QX_EXCEPTION_H

#include <exception>
#include <string>

class qx_EXCEPTION_base : public std::exception {
 public:
  explicit qx_EXCEPTION_base(std::string message) : message_(std::move(message)) {}
  const std::string& get_message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#endif
