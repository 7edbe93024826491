#include "throttling/agent_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace agent_socket {

namespace {

// Monotonic milliseconds: a bound on a system call, not a wall-clock time.
long long monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void setBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return;
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

// Waits until a non-blocking connect settles; 0 or -1 with errno.
int waitConnected(int fd, int timeoutMs) {
  long long deadline = monotonicMs() + timeoutMs;
  for (;;) {
    long long left = deadline - monotonicMs();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) continue;  // the deadline check above ends the wait
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err == 0) return 0;
    errno = err;
    return -1;
  }
}

}  // namespace

struct sockaddr_in peerAddress(const std::string& host, int port) {
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
  addr.sin_addr.s_addr = inet_addr(host.c_str());
  return addr;
}

int openTcp(int sendTimeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fd;
  struct timeval tv;
  tv.tv_sec = sendTimeoutMs / 1000;
  tv.tv_usec = (sendTimeoutMs % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

int connectWithin(int fd, const struct sockaddr_in& peer, int timeoutMs) {
  setBlocking(fd, false);
  int r = connect(fd, reinterpret_cast<const struct sockaddr*>(&peer), sizeof peer);
  if (r != 0 && (errno == EINPROGRESS || errno == EINTR)) r = waitConnected(fd, timeoutMs);
  if (r != 0) {
    int saved = errno;
    // Abort a handshake still in flight so that the socket stays unconnected
    // and cannot quietly come alive later.
    struct sockaddr unspec;
    memset(&unspec, 0, sizeof unspec);
    unspec.sa_family = AF_UNSPEC;
    connect(fd, &unspec, sizeof unspec);
    errno = saved;
  }
  int saved = errno;
  setBlocking(fd, true);
  errno = saved;
  return r;
}

bool peerClosed(int fd) {
  struct pollfd p = {fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

ssize_t sendLine(int fd, const std::string& line) {
  return send(fd, line.data(), line.size(), MSG_NOSIGNAL);
}

}  // namespace agent_socket
