#include "tests/unit/traffic_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace traffic_test {

namespace {

const int kGuardSeconds = 5;

int listenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    abort();
  *port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

int closedPort() {
  int port;
  close(listenLoopback(&port));
  return port;
}

FakeAgent::FakeAgent() { listenFd_ = listenLoopback(&port_); }

FakeAgent::~FakeAgent() {
  if (fd_ >= 0) close(fd_);
  close(listenFd_);
}

void FakeAgent::accept() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  pending_.clear();
  struct pollfd p = {listenFd_, POLLIN, 0};
  if (poll(&p, 1, kGuardSeconds * 1000) != 1) return;
  fd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  struct timeval guard = {kGuardSeconds, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
}

std::vector<std::string> FakeAgent::readLines(size_t n) {
  std::vector<std::string> lines;
  while (lines.size() < n) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      lines.push_back(pending_.substr(0, nl + 1));
      pending_.erase(0, nl + 1);
      continue;
    }
    char buf[4096];
    ssize_t got = fd_ < 0 ? -1 : read(fd_, buf, sizeof buf);
    if (got <= 0) break;  // closed, or the guard expired
    pending_.append(buf, static_cast<size_t>(got));
  }
  return lines;
}

std::vector<std::string> FakeAgent::readAll() { return readLines(SIZE_MAX); }

void FakeAgent::reset(bool abort) {
  if (abort) {
    struct linger l = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  close(fd_);
  fd_ = -1;
}

}  // namespace traffic_test
