// Silent clients against the request timeout: they must not keep the pool
// from answering real requests. Clients that trickle or send too much are in
// answers_test.cc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/pool_watch.h"

namespace e2e {
namespace {

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
  auto begin = std::chrono::steady_clock::now();
  double slowest = 0;
  while (secondsSince(begin) < 6) {
    for (int port : {998, 999}) {
      auto t = std::chrono::steady_clock::now();
      std::string answer = ask(port, policyRequest());
      slowest = std::max(slowest, secondsSince(t));
      ASSERT_EQ(port == 999 ? kUnused : kNonNeed,
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

}  // namespace
}  // namespace e2e
