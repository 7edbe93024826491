#include "tests/unit/traffic_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace traffic_test {

CaptureSink& CaptureSink::install(KELP::KELPLogLevel threshold) {
  static CaptureSink* sink = new CaptureSink;
  {
    std::lock_guard<std::mutex> lock(sink->mu_);
    sink->lines_.clear();
    sink->hook_ = nullptr;
  }
  KELP::Log::Init(sink, threshold);
  return *sink;
}

void CaptureSink::write(KELP::KELPLogLevel level, const char* text, size_t len) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back({level, std::string(text, len)});
    hook = hook_;
  }
  if (hook) hook(std::string(text, len));
}

std::vector<Logged> CaptureSink::lines() {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<Logged> CaptureSink::atLevel(int level) {
  std::vector<Logged> out;
  for (const Logged& l : lines())
    if (l.level == level) out.push_back(l);
  return out;
}

bool CaptureSink::has(int level, const std::string& text) {
  for (const Logged& l : lines())
    if (l.level == level && l.text == text) return true;
  return false;
}

void CaptureSink::setHook(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_ = hook;
}

namespace {

int listenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    abort();
  *port = ntohs(a.sin_port);
  return fd;
}

void resetAndClose(int fd) {
  struct linger l = {1, 0};  // close with RST
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

}  // namespace

int closedPort() {
  int port;
  close(listenLoopback(&port));
  return port;
}

FakeAgent::FakeAgent(bool resetAfterFirstLine) : resetAfterFirstLine_(resetAfterFirstLine) {
  listenFd_ = listenLoopback(&port_);
  if (pipe(control_) != 0) abort();
  thread_ = std::thread(&FakeAgent::serve, this);
}

FakeAgent::~FakeAgent() {
  (void)!::write(control_[1], "q", 1);
  thread_.join();
  close(listenFd_);
  close(control_[0]);
  close(control_[1]);
}

void FakeAgent::serve() {
  for (int conn = 1;; ++conn) {
    struct pollfd p[2] = {{listenFd_, POLLIN, 0}, {control_[0], POLLIN, 0}};
    poll(p, 2, -1);
    if (p[1].revents != 0) {
      char c = 0;
      (void)!read(control_[0], &c, 1);
      if (c == 'q') return;
      continue;
    }
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0 && !serveConnection(fd, conn)) return;
  }
}

// Reads lines until EOF, a reset or quit; false on quit.
bool FakeAgent::serveConnection(int fd, int conn) {
  std::string pending;
  for (;;) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {control_[0], POLLIN, 0}};
    poll(p, 2, -1);
    if (p[1].revents != 0) {
      char c = 0;
      (void)!read(control_[0], &c, 1);
      if (c == 'q') return close(fd), false;
    }
    char buf[4096];
    ssize_t n = p[1].revents != 0 ? 0 : read(fd, buf, sizeof buf);
    if (n < 0) n = 0;
    pending.append(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
      received_.push_back({conn, pending.substr(0, nl + 1)});
    bool reset = p[1].revents != 0 || (resetAfterFirstLine_ && conn == 1 && !received_.empty());
    if (reset) {
      resetAndClose(fd);
      ++resets_;
    } else if (n == 0) {
      close(fd);
    }
    cv_.notify_all();
    if (reset || n == 0) return true;
  }
}

std::vector<Received> FakeAgent::waitForLines(size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::seconds(10), [&] { return received_.size() >= n; });
  return received_;
}

void FakeAgent::resetConnection() {
  int before;
  {
    std::lock_guard<std::mutex> lock(mu_);
    before = resets_;
  }
  (void)!::write(control_[1], "r", 1);
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::seconds(10), [&] { return resets_ > before; });
}

void FakeAgent::waitReset() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::seconds(10), [&] { return resets_ > 0; });
}

}  // namespace traffic_test
