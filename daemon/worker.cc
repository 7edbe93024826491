#include "daemon/worker.h"

#include <errno.h>
#include <string.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "daemon/globals.h"
#include "daemon/reload_flags.h"
#include "daemon/request_handler.h"
#include "daemon/request_timeout.h"
#include "daemon/signals.h"
#include "daemon/startup_init.h"
#include "daemon/throttling_setup.h"
#include "host/base/clock.h"

namespace {

const size_t kRequestBuffer = 2048;
const size_t kMaxAnswer = 100;
// Least time between two sends to the agent after a request: under load a
// send per request cost the worker as much as the request's decision.
const long kAgentSendGapMs = 50;

const char kThrottlingDisabled[] =
    "fail to init SMTP Traffic Throttling function. SMTP Traffic Thrttling feature is disabled";
const char kThrottlingKept[] =
    "fail to reload SMTP Traffic Throttling configuration, the configuration in force is kept";

struct Worker {
  SmtpConnLongTcpConnClient agent;
  std::string flagPath;
  TLSPolicyConfig tlsConfig{TLS_POLICY_INBOUND, g_kelp_home};
  WorkerState state{&tlsConfig, &agent, TLSPolicy()};
  int requestTimeout = kDefaultRequestTimeout;  // seconds
  std::string text;  // the last request's text, kept for its room
  long lastAgentSendMs = 0;  // monotonic
};

// The flag is consumed before any file is read: a SIGHUP that arrives while
// the files are being read leaves a new flag, and the next connection reads
// them again, so the last change always reaches this worker. A file that
// fails its check leaves what it configured in force.
void reloadConfiguration(Worker& w) {
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Need to reload configuration due to signal captured");
  removeFlagFile(w.flagPath, "reload");
  initLog(true);
  w.tlsConfig.reload();
  w.requestTimeout = requestTimeoutSeconds(w.requestTimeout);
  if (!initSmtpConn()) KELP::Log::LogByLevel(KELP::LOG_NORMAL, "%s", kThrottlingKept);
}

long elapsedMs(const struct timeval& start, const struct timeval& end) {
  return (end.tv_sec - start.tv_sec) * 1000L + (end.tv_usec - start.tv_usec) / 1000L;
}

// One accepted connection: one request, one answer, then close.
void serveConnection(Worker& w, int fd) {
  if (KELP::Log::enabled(KELP::LOG_DEBUG))
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "accept client successfully in process %u",
                          static_cast<unsigned>(getpid()));
  struct timeval start = KELP::Clock::nowPrecise();
  if (access(w.flagPath.c_str(), F_OK) == 0) reloadConfiguration(w);

  // The listener hands over clients that have sent their request already, so
  // the read is tried first. Otherwise the wait is bounded by the request
  // timeout, and the read then finds bytes waiting and does not block.
  char buf[kRequestBuffer];
  ssize_t n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    if (waitForRequest(fd, w.requestTimeout))
      n = read(fd, buf, sizeof buf - 1);
    else if (!stopPending())
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "no request from client within %d seconds, connection closed",
                            w.requestTimeout);
  }
  if (n <= 0) {
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "get no data from socket");
    close(fd);
    return;
  }
  buf[n] = '\0';
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "get data success from socket:\n%s", buf);
  w.text.assign(buf);  // up to the first NUL
  std::string answer = answerPolicyRequest(w.text, w.state);

  // MSG_MORE holds the answer until the shutdown right after it, so that it
  // leaves with the FIN in one segment and the client wakes once. The
  // shutdown, not the close, sends them: a close with request bytes still
  // unread resets the connection and would drop an answer not yet sent.
  size_t len = answer.size() < kMaxAnswer ? answer.size() : kMaxAnswer;
  if (send(fd, answer.data(), len, MSG_NOSIGNAL | MSG_MORE) < 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to write response action to socket");
  shutdown(fd, SHUT_WR);
  close(fd);
  struct timeval end = KELP::Clock::nowPrecise();
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "keelgate verify cost [%ld]ms", elapsedMs(start, end));
}

// Whether clients wait in the listener's queue. With the deferred accept
// these are clients whose request has arrived: the worker will not block.
bool clientsWaiting(int listenFd) {
  struct tcp_info info;
  socklen_t len = sizeof info;
  return getsockopt(listenFd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_unacked > 0;
}

long monotonicMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// The agent's lines go out after a request once no client waits and the
// last send is kAgentSendGapMs old; otherwise they gather, up to the
// batch bound, and what a busy spell leaves goes out at the listener's
// next wake, within a second.
void sendAgentLinesIfDue(Worker& w, int listenFd) {
  if (!w.agent.hasQueuedLines()) return;
  long now = monotonicMs();
  if (now - w.lastAgentSendMs < kAgentSendGapMs || clientsWaiting(listenFd)) return;
  w.agent.flush(g_server_close);
  w.lastAgentSendMs = now;
}

}  // namespace

void AcceptAndVerify(int index, int listenFd) {
  Worker w;
  installStopHandler();
  w.flagPath = flagFilePath(index);
  w.state.counters = &g_answer_counters;
  w.state.worker = index;
  removeFlagFile(w.flagPath, "init");  // before the loads, as at a reload
  w.tlsConfig.init();
  w.requestTimeout = requestTimeoutSeconds();
  if (!initSmtpConn()) KELP::Log::LogByLevel(KELP::LOG_NORMAL, "%s", kThrottlingDisabled);
  startThrottlingThreads();
  w.agent.init("127.0.0.1", parentPort);

  while (!g_stop.load()) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    int err = errno;
    runSignalWork(flushBlockedOnStop);
    if (fd < 0) {
      // Lines a busy spell left go out here, within the second of the
      // listener's receive timeout.
      w.agent.flush(g_server_close);
      // The listening socket's receive timeout and the reload and agent
      // signals wake accept without a client: nothing to report.
      bool quiet = err == EAGAIN || err == EWOULDBLOCK || (err == EINTR && !g_stop.load());
      if (!quiet)
        KELP::Log::LogByLevel(KELP::LOG_NORMAL, "accept client error in process %u: %s",
                              static_cast<unsigned>(getpid()), strerror(err));
      continue;
    }
    serveConnection(w, fd);
    sendAgentLinesIfDue(w, listenFd);
    runSignalWork(flushBlockedOnStop);
  }
  w.agent.flush(g_server_close);
  stopThrottlingThreads(3000);
}
