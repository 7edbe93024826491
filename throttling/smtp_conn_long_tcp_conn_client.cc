#include "throttling/smtp_conn_long_tcp_conn_client.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "host/log/log.h"
#include "throttling/agent_socket.h"
#include "throttling/traffic_line.h"

namespace {
const int kConnectTimeoutMs = 1000;
const int kSendTimeoutMs = 200;
}  // namespace

SmtpConnLongTcpConnClient::SmtpConnLongTcpConnClient() : sockFd(0) {
  memset(&serverAddress, 0, sizeof serverAddress);
}

SmtpConnLongTcpConnClient::~SmtpConnLongTcpConnClient() {
  if (ownsSocket()) close(sockFd);
}

int SmtpConnLongTcpConnClient::init(std::string host, int port) {
  closeSocket();  // a second init must not leak the old connection
  serverAddress = agent_socket::peerAddress(host, port);
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "[smtpConnLongTcpConnClient] server:%s/%d", host.c_str(),
                        port);
  return 0;
}

void SmtpConnLongTcpConnClient::closeSocket() {
  if (ownsSocket()) close(sockFd);
  sockFd = -1;
  ownsFd_ = false;
}

void SmtpConnLongTcpConnClient::queueTrafficLog(const RawConnTrafficItem& item,
                                                std::atomic<bool>& closeFlag) {
  appendTrafficLine(batch_, item, 1);
  if (batch_.size() > kMaxBatch) flush(closeFlag);
}

void SmtpConnLongTcpConnClient::flush(std::atomic<bool>& closeFlag) {
  if (batch_.empty()) return;
  if (closeFlag.exchange(false)) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "[smtpConnLongTcpConnClient] smtp connection server send the close "
                          "siginal");
    closeSocket();
  } else if (ownsSocket()) {
    // An agent that hung up is found before the send: the send itself would
    // succeed once more and its lines be lost. It then counts as a failed send.
    bool hungUp = agent_socket::peerClosed(sockFd);
    if (hungUp) errno = EPIPE;
    if (!hungUp && agent_socket::sendLine(sockFd, batch_) >= 0) {
      KELP::Log::LogByLevel(
          KELP::LOG_DEBUG,
          "[smtpConnLongTcpConnClient] send SMTP Traffic Throttling traffic log to self smtp "
          "agent:%s",
          batch_.c_str());
      batch_.clear();
      return;
    }
    KELP::Log::LogByLevel(
        KELP::LOG_NORMAL,
        "[smtpConnLongTcpConnClient] failed to send traffic log [%s] to self smtp agent, err "
        "msg is %s",
        batch_.c_str(), strerror(errno));
    closeSocket();
  }
  reconnectAndSend();
  batch_.clear();
}

void SmtpConnLongTcpConnClient::reconnectAndSend() {
  sockFd = agent_socket::openTcp(kSendTimeoutMs);
  ownsFd_ = sockFd >= 0;
  if (sockFd < 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "[smtpConnLongTcpConnClient] retry to initiate socket() failure! err "
                          "code is %d",
                          sockFd);
    return;
  }
  if (agent_socket::connectWithin(sockFd, serverAddress, kConnectTimeoutMs) != 0) {
    // The unconnected socket stays: the next batch's send fails on it and
    // reconnects.
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "[smtpConnLongTcpConnClient] retry to connect() failure, err msg is %s!",
                          strerror(errno));
    return;
  }
  if (agent_socket::sendLine(sockFd, batch_) < 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "[smtpConnLongTcpConnClient] retry to send(), err msg is %s",
                          strerror(errno));
  else
    KELP::Log::LogByLevel(
        KELP::LOG_DEBUG,
        "[smtpConnLongTcpConnClient] retry to send SMTP Traffic Throttling traffic log to self "
        "smtp agent:%s",
        batch_.c_str());
}
