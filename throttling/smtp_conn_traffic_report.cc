// Reports of the raw traffic maps to the parent scanner's SMTP agent, called
// by the traffic-log thread only. One algorithm for the three maps; a table
// row per map holds its log wording, which differs irregularly between the
// maps and is kept exactly as the gateway's operators know it.
//
// The map is swapped out under mutex_ first, so observations recorded while
// the lines go out land in the emptied map and are reported next time. The
// drained counts are never put back: a line that fails twice is dropped, and
// an unreachable parent loses the whole map. Connect and send are bounded
// (agent_socket.h), so a hung parent agent delays this thread by seconds per
// line at worst instead of for ever.
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "host/log/log.h"
#include "throttling/agent_socket.h"
#include "throttling/smtp_conn_traffic_list.h"
#include "throttling/traffic_line.h"

namespace {

const int kConnectTimeoutMs = 2000;
const int kSendTimeoutMs = 2000;

struct ReportWording {
  const char* empty;
  const char* socketFailed;     // %d: socket()'s result
  const char* connectFailed;    // %s: error text
  const char* sendFailed;       // %s: line, %s: error text
  const char* resocketFailed;   // %d: socket()'s result
  const char* reconnectFailed;  // %s: error text
  const char* resendFailed;     // %s: error text
  const char* resent;           // %s: line
  const char* sent;             // %s: line
};

#define AGENT_THREAD "[SMTP Traffic Throttling agent send thread]"

// Indexed by traffic type - 1.
const ReportWording kWording[] = {
    {AGENT_THREAD "connection traffic log for ip base is empty!skip!",
     AGENT_THREAD "sendIPBaseConnTrafficToParent() socket() failure! err code is %d",
     AGENT_THREAD "sendIPBaseConnTrafficToParent() connect() failure! err msg is %s",
     AGENT_THREAD
     "sendIPBaseConnTrafficToParent() send ip connection traffic log [%s] error, err msg is %s",
     AGENT_THREAD
     "sendIPBaseConnTrafficToParent() retry to initiate socket() failure! err code is %d",
     AGENT_THREAD "sendIPBaseConnTrafficToParent() retry to connect() failure, err msg is %s!",
     AGENT_THREAD "sendIPBaseConnTrafficToParent() retry to send(), err msg is %s",
     AGENT_THREAD "sendIPBaseConnTrafficToParent() retry to send SMTP Traffic Throttling traffic "
                  "log to parent smtp agent:%s",
     AGENT_THREAD
     "sendIPBaseConnTrafficToParent() send SMTP Traffic Throttling IP connection traffic log:%s"},
    {AGENT_THREAD "message traffic log for IP base is empty!skip!",
     AGENT_THREAD "sendIPBaseMsgTrafficToParent() socket() failure! err code is %d",
     AGENT_THREAD "sendIPBaseMsgTrafficToParent connect() failure!err msg is %s",
     AGENT_THREAD
     "sendIPBaseMsgTrafficToParent() send ip connection traffic log [%s] error, err msg is %s",
     AGENT_THREAD
     "sendIPBaseMsgTrafficToParent() retry to initiate socket() failure! err code is %d",
     AGENT_THREAD "sendIPBaseMsgTrafficToParent() retry to connect() failure, err msg is %s!",
     AGENT_THREAD "sendIPBaseMsgTrafficToParent() retry to send(), err msg is %s",
     AGENT_THREAD "sendIPBaseMsgTrafficToParent() retry to send SMTP Traffic Throttling traffic "
                  "log to parent smtp agent:%s",
     AGENT_THREAD
     "sendIPBaseMsgTrafficToParent() send SMTP Traffic Throttling traffic IP message log:%s"},
    {AGENT_THREAD "traffic log for sender base is empty!skip!",
     AGENT_THREAD "sendSenderBaseTrafficToParent() socket() failure! err code is %d",
     AGENT_THREAD "sendSenderBaseTrafficToParent() connect() failure! err msg is %s, ",
     AGENT_THREAD
     "sendSenderBaseTrafficToParent() send ip connection traffic log [%s] error, err msg is %s",
     AGENT_THREAD
     "sendSenderBaseTrafficToParent() retry to initiate socket() failure! err code is %d",
     AGENT_THREAD "sendSenderBaseTrafficToParent() retry to connect() failure, err msg is %s!",
     AGENT_THREAD "sendSenderBaseTrafficToParent() retry to send(), err msg is %s",
     AGENT_THREAD "sendSenderBaseTrafficToParent() retry to send SMTP Traffic Throttling traffic "
                  "log to parent smtp agent:%s",
     AGENT_THREAD
     "sendSenderBaseTrafficToParent() send SMTP Traffic Throttling traffic sender message log:%s"},
};

void closeIfOpen(int fd) {
  if (fd >= 0) close(fd);
}

// Second and last attempt of a line whose send failed on `fd`: a new
// connection, kept for the following lines even when this attempt fails.
// Returns the descriptor now in use (-1 when socket() failed).
int resend(const ReportWording& w, int fd, const struct sockaddr_in& peer,
           const std::string& line) {
  closeIfOpen(fd);
  fd = agent_socket::openTcp(kSendTimeoutMs);
  if (fd < 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, w.resocketFailed, fd);
    return fd;
  }
  if (agent_socket::connectWithin(fd, peer, kConnectTimeoutMs) != 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, w.reconnectFailed, strerror(errno));
    return fd;
  }
  if (agent_socket::sendLine(fd, line) < 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, w.resendFailed, strerror(errno));
  else
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, w.resent, line.c_str());
  return fd;
}

}  // namespace

void SmtpConnTrafficList::sendIPBaseConnTrafficToParent(std::string parentIP, int port) {
  sendToParent(kTrafficIPConn, parentIP, port);
}

void SmtpConnTrafficList::sendIPBaseMsgTrafficToParent(std::string parentIP, int port) {
  sendToParent(kTrafficIPMsg, parentIP, port);
}

void SmtpConnTrafficList::sendSenderBaseTrafficToParent(std::string parentIP, int port) {
  sendToParent(kTrafficSenderMsg, parentIP, port);
}

void SmtpConnTrafficList::sendToParent(int type, const std::string& parentIP, int port) {
  const ReportWording& w = kWording[type - 1];
  RawTrafficMap drained;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rawMapOf(type)->swap(drained);
  }
  if (drained.empty()) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "%s", w.empty);
    return;
  }
  struct sockaddr_in peer = agent_socket::peerAddress(parentIP, port);
  if (type == kTrafficIPConn)  // the first report of a cycle names the peer
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, AGENT_THREAD "Parent server:%s/%d", parentIP.c_str(),
                          port);
  int fd = agent_socket::openTcp(kSendTimeoutMs);
  if (fd < 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, w.socketFailed, fd);
    return;
  }
  if (agent_socket::connectWithin(fd, peer, kConnectTimeoutMs) != 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, w.connectFailed, strerror(errno));
    close(fd);
    return;
  }
  for (const auto& entry : drained) {
    std::string line = trafficLine(entry.first, entry.second);
    if (agent_socket::sendLine(fd, line) >= 0) {
      KELP::Log::LogByLevel(KELP::LOG_DEBUG, w.sent, line.c_str());
      continue;
    }
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, w.sendFailed, line.c_str(), strerror(errno));
    fd = resend(w, fd, peer, line);
  }
  closeIfOpen(fd);
}
