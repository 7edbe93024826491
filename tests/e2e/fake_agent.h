// An SMTP agent for end-to-end tests: listens on 127.0.0.1:port in the test's
// network namespace and records the traffic lines it receives, or misbehaves
// on request (closes each connection after some lines, or accepts and never
// reads).
#ifndef KEELGATE_TESTS_E2E_FAKE_AGENT_H
#define KEELGATE_TESTS_E2E_FAKE_AGENT_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class FakeAgent {
 public:
  enum Mode {
    RECORD,       // read and record every line
    CLOSE_AFTER,  // close each connection after `closeAfter` lines
    HANG,         // accept and never read
  };
  // `host` may be any loopback address, e.g. 127.0.0.2 for a parent scanner.
  explicit FakeAgent(int port, Mode mode = RECORD, int closeAfter = 1, const char* host = "127.0.0.1");
  ~FakeAgent();

  // Complete lines received so far, in arrival order, without their "\n".
  std::vector<std::string> lines() const;
  // Waits until at least n lines arrived; false on timeout.
  bool waitForLines(size_t n, int timeoutMs = 10000) const;
  // Lines that start with `prefix`.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;
  int connections() const { return connections_.load(); }
  bool listening() const { return listen_fd_ >= 0; }

 private:
  void run();

  const Mode mode_;
  const int close_after_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
  std::thread thread_;
};

}  // namespace e2e

#endif
