// Test doubles for the traffic senders: a log sink that records messages and
// a loopback SMTP agent driven by the test thread itself. The agent needs no
// thread: the kernel completes the client's connect from the listen backlog,
// and the test accepts and reads once the call under test has sent.
#ifndef KEELGATE_TESTS_UNIT_TRAFFIC_TEST_SUPPORT_H
#define KEELGATE_TESTS_UNIT_TRAFFIC_TEST_SUPPORT_H

#include <functional>
#include <mutex>
#include <string>
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

// A listener on 127.0.0.1 at an ephemeral port. Reads and accepts give up
// after a few seconds so that a faulty sender fails the test instead of
// hanging it.
class FakeAgent {
 public:
  FakeAgent();
  ~FakeAgent();
  int port() const { return port_; }
  // Takes the oldest connection the client made as the current one.
  void accept();
  // Reads n whole lines from the current connection.
  std::vector<std::string> readLines(size_t n);
  // Reads lines until the client closes the current connection.
  std::vector<std::string> readAll();
  // Closes the current connection with a reset.
  void reset(bool abort = true);

 private:
  int listenFd_ = -1, fd_ = -1, port_ = 0;
  std::string pending_;
};

// A loopback port with nothing listening.
int closedPort();

}  // namespace traffic_test

#endif
