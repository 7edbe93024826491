// Test doubles for the traffic senders: a log sink that records messages and
// a loopback SMTP agent that records the lines it receives.
#ifndef KEELGATE_TESTS_UNIT_TRAFFIC_TEST_SUPPORT_H
#define KEELGATE_TESTS_UNIT_TRAFFIC_TEST_SUPPORT_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/log.h"

namespace traffic_test {

struct Logged {
  int level;
  std::string text;
  bool operator==(const Logged& o) const { return level == o.level && text == o.text; }
};

// The process sink for these tests. Lives for ever: the log keeps a pointer.
class CaptureSink : public KELP::LogMsg {
 public:
  // Clears the sink and makes it the process sink at `threshold`.
  static CaptureSink& install(KELP::KELPLogLevel threshold = KELP::LOG_DEBUG);
  void write(KELP::KELPLogLevel level, const char* text, size_t len) override;
  std::vector<Logged> lines();
  std::vector<Logged> atLevel(int level);
  bool has(int level, const std::string& text);
  // Runs `hook` on the logging thread after each message is stored.
  void setHook(std::function<void(const std::string&)> hook);

 private:
  std::mutex mu_;
  std::vector<Logged> lines_;
  std::function<void(const std::string&)> hook_;
};

struct Received {
  int conn;  // 1 for the first accepted connection
  std::string line;
};

// A listener on 127.0.0.1 at an ephemeral port, served by one thread that
// handles one connection at a time.
class FakeAgent {
 public:
  // resetAfterFirstLine: the first connection is reset (RST) as soon as one
  // whole line has arrived on it.
  explicit FakeAgent(bool resetAfterFirstLine = false);
  ~FakeAgent();
  int port() const { return port_; }
  // Waits (bounded, as a guard against hangs) until n lines arrived.
  std::vector<Received> waitForLines(size_t n);
  // Resets the connection in service and waits until that is done.
  void resetConnection();
  // Waits until the agent has reset a connection.
  void waitReset();

 private:
  void serve();
  bool serveConnection(int fd, int conn);
  int listenFd_ = -1, port_ = 0, control_[2] = {-1, -1};
  bool resetAfterFirstLine_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Received> received_;
  int resets_ = 0;
  std::thread thread_;
};

// A loopback port with nothing listening.
int closedPort();

}  // namespace traffic_test

#endif
