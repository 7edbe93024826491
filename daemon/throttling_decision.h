// The throttling verdict on one request: reject a blocked client IP or sender,
// or let it through, making one traffic observation for every connection or
// message that a counting rule covers. Runs on the accepting thread.
#ifndef KEELGATE_DAEMON_THROTTLING_DECISION_H
#define KEELGATE_DAEMON_THROTTLING_DECISION_H

#include <string>

#include "throttling/smtp_conn_long_tcp_conn_client.h"

enum ThrottlingResult {
  THROTTLING_PASS = 0,
  THROTTLING_IP_BLOCKED = 1,
  THROTTLING_SENDER_BLOCKED = 2,
  THROTTLING_IP_APPROVED = 5,
};

// Looks the IP up with getIPInfo(ip, kind), logs the verdict and returns it.
int handleSmtpConnInConnect(std::string& ip, int kind);

// The verdict for a request at `protocolState` ("CONNECT" or "MAIL"; any
// other stage only logs): one of ThrottlingResult.
int handleSmtpConn(SmtpConnLongTcpConnClient& client, std::string& protocolState,
                   std::string& clientAddress, std::string& sender);

#endif
