// Silent and slow clients against the request timeout: they must not keep
// the pool from answering real requests.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

int connectSilently(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

TEST(SlowClients, TwentyFiveIdleConnectionsDoNotStopThePool) {
  Installation home;
  home.setKelpIni("keelgate", "request_timeout", "2");
  ASSERT_EQ(-1, home.start());
  std::vector<int> idle;
  for (int i = 0; i < 25; ++i) idle.push_back(connectSilently(i % 2 ? 999 : 998));
  // Real requests keep being answered while the silent clients wait, before,
  // while and after they reach the workers (twice the bound at most).
  const std::string unused = "action=PREPEND X-KELP-TLS-USAGE: Unused\n\n";
  auto begin = std::chrono::steady_clock::now();
  double slowest = 0;
  while (secondsSince(begin) < 6) {
    for (int port : {998, 999}) {
      auto t = std::chrono::steady_clock::now();
      std::string answer = ask(port, policyRequest());
      slowest = std::max(slowest, secondsSince(t));
      ASSERT_EQ(port == 999 ? unused : std::string("action=DUNNO Non-need check\n\n"),
                port == 999 ? answer : ask(port, policyRequest({{"protocol_state", "CONNECT"}})));
    }
    usleep(100000);
  }
  EXPECT_LE(slowest, 6.0) << "a request waited much longer than twice the request timeout";
  EXPECT_TRUE(home.waitForLog("normal no request from client within 2 seconds, connection closed", 5000, 25));
  for (int fd : idle) {
    char c;
    EXPECT_EQ(0, read(fd, &c, 1)) << "the silent client was closed without an answer";
    close(fd);
  }
  EXPECT_EQ(20u, home.poolPids().size());
}

TEST(SlowClients, OneByteASecondIsAnsweredFromTheFirstByte) {
  Installation home;
  ASSERT_EQ(-1, home.start());
  // A client that trickles its request gets an answer to what its first
  // segment held: it cannot hold a worker either.
  EXPECT_EQ("220 i am ok\n", askInSegments(998, {"r", "e", "q"}, 1000));
}

TEST(SlowClients, LongRequestsOfPostfixAreCutNotRefused) {
  Installation home;
  ASSERT_EQ(-1, home.start());
  // An unauthenticated client can make Postfix send a MAIL request of over
  // 5 KB (long EHLO name and sender): the first 2047 bytes are the request.
  std::string name(2000, 'h');
  std::string sender = std::string(2000, 's') + "@example.org";
  std::string request = policyRequest({{"helo_name", name}, {"sender", sender}});
  ASSERT_GT(request.size(), 4000u);
  EXPECT_EQ("action=451 4.5.0 Local Process Attributes Error\n\n", ask(999, request));
  EXPECT_EQ("action=PREPEND X-KELP-TLS-USAGE: Unused\n\n", ask(999, policyRequest()));
}

}  // namespace
}  // namespace e2e
