// An SMTP agent for end-to-end tests: listens on host:port in the test's
// network namespace (127.0.0.1 for the scanner's own agent, 127.0.0.2 for a
// parent scanner's; a bare listener on kDatabasePort stands for a reachable
// database) and records the lines it receives, on a thread of its own.
#ifndef KEELGATE_TESTS_E2E_FAKE_AGENT_H
#define KEELGATE_TESTS_E2E_FAKE_AGENT_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

constexpr int kAgentPort = 10040;
constexpr int kDatabasePort = 15432;
constexpr char kParentHost[] = "127.0.0.2";

class FakeAgent {
 public:
  explicit FakeAgent(int port = kAgentPort, const char* host = "127.0.0.1");
  ~FakeAgent();
  FakeAgent(const FakeAgent&) = delete;
  FakeAgent& operator=(const FakeAgent&) = delete;

  bool listening() const { return listen_fd_ >= 0; }
  int connections() const { return connections_.load(); }
  // Complete lines received so far, in arrival order, without their "\n".
  std::vector<std::string> lines() const;
  // The lines from index `from` on, with their time stamps left out:
  // "ORCAS-Conn-IP:;1;1;1;192.0.2.1".
  std::vector<std::string> untimedLines(size_t from = 0) const;
  // Waits until at least n lines arrived; false on timeout.
  bool waitForLines(size_t n, int timeoutMs = 10000) const;

 private:
  void run();

  const int listen_fd_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
  std::thread thread_;
};

}  // namespace e2e

#endif
