// One-shot delivery of one observation to this scanner's SMTP agent over a
// connection of its own. Nothing in the daemon calls it (workers keep a long
// connection, smtp_conn_long_tcp_conn_client.h); it serves tools and tests.
// Connect and send are bounded like the long connection's.
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "host/log/log.h"
#include "throttling/agent_socket.h"
#include "throttling/smtp_conn_traffic_list.h"
#include "throttling/traffic_line.h"

namespace {
const int kConnectTimeoutMs = 1000;
const int kSendTimeoutMs = 200;
}  // namespace

void SmtpConnTrafficList::sendTrafficToSelf(std::string host, int port, RawConnTrafficItem& item) {
  struct sockaddr_in peer = agent_socket::peerAddress(host, port);
  KELP::Log::LogByLevel(KELP::LOG_DEBUG,
                        "[SMTP Traffic Throttling agent send thread]self server:%s/%d",
                        host.c_str(), port);
  int fd = agent_socket::openTcp(kSendTimeoutMs);
  if (fd < 0) {
    KELP::Log::LogByLevel(
        KELP::LOG_NORMAL,
        "[SMTP Traffic Throttling agent send thread]sendTrafficToSelf() socket() failure! err "
        "code is %d",
        fd);
    return;
  }
  if (agent_socket::connectWithin(fd, peer, kConnectTimeoutMs) != 0) {
    KELP::Log::LogByLevel(
        KELP::LOG_NORMAL,
        "[SMTP Traffic Throttling agent send thread]sendTrafficToSelf() connect() failure, err "
        "msg is %s!",
        strerror(errno));
    close(fd);
    return;
  }
  std::string line = trafficLine(item, 1);
  KELP::Log::LogByLevel(
      KELP::LOG_DEBUG,
      "[SMTP Traffic Throttling agent send thread]send SMTP Traffic Throttling traffic log to "
      "self smtp agent:%s",
      line.c_str());
  if (agent_socket::sendLine(fd, line) < 0)
    KELP::Log::LogByLevel(
        KELP::LOG_NORMAL,
        "[SMTP Traffic Throttling agent send thread]failed to send traffic log to self smtp "
        "agent, err msg is %s",
        strerror(errno));
  close(fd);
}
