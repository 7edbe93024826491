#include "tests/e2e/fake_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "tests/e2e/daemon_harness.h"

namespace e2e {

FakeAgent::FakeAgent(int port, Mode mode, int closeAfter, const char* host)
    : mode_(mode), close_after_(closeAfter) {
  listen_fd_ = listenOn(host, port, 128);
  if (listen_fd_ < 0) return;
  if (pipe2(wake_, O_CLOEXEC) != 0) abort();
  thread_ = std::thread(&FakeAgent::run, this);
}

FakeAgent::~FakeAgent() {
  if (thread_.joinable()) {
    if (write(wake_[1], "x", 1) < 0) {}
    thread_.join();
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

void FakeAgent::run() {
  std::map<int, std::pair<std::string, int>> conns;  // fd -> partial line, lines seen
  for (;;) {
    std::vector<struct pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    if (mode_ != HANG)
      for (const auto& c : conns) fds.push_back({c.first, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (mode_ == HANG) {
          int small = 1024;
          setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        conns[fd] = {"", 0};
        ++connections_;
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      int fd = fds[i].fd;
      char buf[4096];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) {
        close(fd);
        conns.erase(fd);
        continue;
      }
      auto& c = conns[fd];
      c.first.append(buf, static_cast<size_t>(n));
      size_t nl;
      bool closeNow = false;
      while ((nl = c.first.find('\n')) != std::string::npos) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          lines_.push_back(c.first.substr(0, nl));
        }
        c.first.erase(0, nl + 1);
        if (mode_ == CLOSE_AFTER && ++c.second >= close_after_) closeNow = true;
      }
      if (closeNow) {
        close(fd);
        conns.erase(fd);
      }
    }
  }
  for (const auto& c : conns) close(c.first);
}

std::vector<std::string> FakeAgent::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<std::string> FakeAgent::linesStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& l : lines())
    if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
  return out;
}

bool FakeAgent::waitForLines(size_t n, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (lines().size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return lines().size() >= n;
}

}  // namespace e2e
