// Test double for the traffic senders: a loopback SMTP agent driven by the
// test thread itself. The agent needs no thread: the kernel completes the client's connect from the listen backlog,
// and the test accepts and reads once the call under test has sent.
#ifndef KEELGATE_TESTS_UNIT_TRAFFIC_TEST_SUPPORT_H
#define KEELGATE_TESTS_UNIT_TRAFFIC_TEST_SUPPORT_H

#include <string>
#include <vector>

namespace traffic_test {

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
