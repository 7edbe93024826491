#ifndef KEELGATE_THROTTLING_SMTP_CONN_BASE_OBJ_H
#define KEELGATE_THROTTLING_SMTP_CONN_BASE_OBJ_H
// Common base of the throttling lists; it only gives them a virtual destructor.
class SmtpConnBaseObj {
 public:
  virtual ~SmtpConnBaseObj() {}
};
#endif
