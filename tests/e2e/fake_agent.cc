#include "tests/e2e/fake_agent.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "tests/e2e/daemon_harness.h"

namespace e2e {

FakeAgent::FakeAgent(int port, const char* host) : listen_fd_(listenOn(host, port)) {
  if (listen_fd_ >= 0) thread_ = std::thread(&FakeAgent::run, this);
}

FakeAgent::~FakeAgent() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void FakeAgent::run() {
  std::map<int, std::string> partial;  // by connection
  while (!stop_) {
    std::vector<struct pollfd> fds = {{listen_fd_, POLLIN, 0}};
    for (const auto& c : partial) fds.push_back({c.first, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 20) <= 0) continue;
    if (fds[0].revents) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) partial[fd], ++connections_;
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        partial.erase(fds[i].fd);
        continue;
      }
      std::string& text = partial[fds[i].fd];
      text.append(buf, static_cast<size_t>(n));
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t nl; (nl = text.find('\n')) != std::string::npos; text.erase(0, nl + 1))
        lines_.push_back(text.substr(0, nl));
    }
  }
  for (const auto& c : partial) close(c.first);
}

std::vector<std::string> FakeAgent::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<std::string> FakeAgent::untimedLines(size_t from) const {
  std::vector<std::string> out, all = lines();
  for (size_t i = from; i < all.size(); ++i) {
    const std::string& line = all[i];
    size_t colon = line.find(':'), semi = line.find(';', colon);
    out.push_back(colon == std::string::npos || semi == std::string::npos ? line : line.substr(0, colon + 1) + line.substr(semi));
  }
  return out;
}

bool FakeAgent::waitForLines(size_t n, int timeoutMs) const {
  return waitUntil([&] { return lines().size() >= n; }, timeoutMs);
}

}  // namespace e2e
