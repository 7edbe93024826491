// The workers' link to the local SMTP agent: each worker keeps one
// connection, SIGUSR1 makes each worker that got it drop its connection at its
// next observation and send on a new one, and an agent that never reads holds
// up no answer. An absent agent and one that hangs up are in
// traffic_lines_test.cc.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"
#include "tests/e2e/pool_watch.h"

namespace e2e {
namespace {

const int kAgentPort = 10040;
const char kCloseSignal[] = "normal [smtpConnLongTcpConnClient] smtp connection server send the close siginal";
const char kSentOnNewConnection[] =
    "debug [smtpConnLongTcpConnClient] retry to send SMTP Traffic Throttling traffic log to self smtp agent:";
const char kSentOnItsConnection[] =
    "debug [smtpConnLongTcpConnClient] send SMTP Traffic Throttling traffic log to self smtp agent:";

// The n-th counted connection, alternating the ports.
std::string askCounted(int n) { return ask(n % 2 ? 998 : 999, connectFrom("198.51.100." + std::to_string(n % 200 + 1))); }

class AgentLink : public testing::Test {
 protected:
  void SetUp() override {
    home.logAtDebugLevel();
    home.setKelpIni("smtp_traffic_throttling", "ip_conn_enable", "yes");
  }

  // Sends counted CONNECT requests, alternating the ports, until every process
  // of the pool has logged `needle` `times` times; returns the number sent, or
  // -1 when that takes longer than timeoutMs.
  int countUntilEveryWorkerLogged(const std::string& needle, int times, int timeoutMs) {
    std::vector<pid_t> pool = home.poolPids();
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
      std::map<pid_t, int> seen;
      for (pid_t pid : pidsLogging(home, needle)) ++seen[pid];
      bool all = true;
      for (pid_t pid : pool) all = all && seen[pid] >= times;
      if (all) return sent;
      if (nowMs() >= deadline) return -1;
      EXPECT_EQ(kNonNeed, askCounted(sent));
      ++sent;
    }
  }

  Installation home;
  int sent = 0;
};

TEST_F(AgentLink, SigusrOneRenewsTheConnectionOfEveryWorkerThatGotIt) {
  FakeAgent agent(kAgentPort);
  ASSERT_TRUE(agent.listening());
  ASSERT_EQ(-1, home.start());
  ASSERT_LE(0, countUntilEveryWorkerLogged(kSentOnNewConnection, 1, 20000));
  ASSERT_TRUE(agent.waitForLines(sent));
  EXPECT_EQ(20, agent.connections()) << "one connection per worker";
  EXPECT_EQ(sent - 20, home.countLog(kSentOnItsConnection)) << "later lines over the worker's connection";

  std::vector<pid_t> pool = home.poolPids();
  for (pid_t pid : pool) ASSERT_EQ(0, kill(pid, SIGUSR1));
  for (pid_t pid : pool) ASSERT_TRUE(waitUntil([&] { return signalTaken(pid, SIGUSR1); }, 2000));
  EXPECT_EQ(0, home.countLog(kCloseSignal)) << "the flag waits for the next observation";

  ASSERT_LE(0, countUntilEveryWorkerLogged(kCloseSignal, 1, 20000));
  std::vector<pid_t> closing = pidsLogging(home, kCloseSignal);
  EXPECT_EQ(20u, closing.size()) << "once per signal";
  EXPECT_EQ(std::set<pid_t>(pool.begin(), pool.end()), std::set<pid_t>(closing.begin(), closing.end()));
  EXPECT_TRUE(agent.waitForLines(sent)) << agent.lines().size() << " of " << sent << " lines";
  EXPECT_EQ(40, agent.connections()) << "a new connection per worker";
  EXPECT_EQ(40, home.countLog(kSentOnNewConnection));
  EXPECT_EQ(sent - 40, home.countLog(kSentOnItsConnection));
  EXPECT_EQ(0, home.countLog("failed to send traffic log"));
  EXPECT_EQ(static_cast<size_t>(sent), agent.linesStartingWith("ORCAS-Conn-IP:").size());
}

TEST_F(AgentLink, AgentThatNeverReadsDelaysNoRequest) {
  FakeAgent agent(kAgentPort, FakeAgent::HANG);
  ASSERT_TRUE(agent.listening());
  ASSERT_EQ(-1, home.start());
  for (int i = 0; i < 200; ++i) {
    long long start = nowMs();
    ASSERT_EQ(kNonNeed, askCounted(i)) << "request " << i;
    EXPECT_LT(nowMs() - start, 3000) << "request " << i;
  }
  EXPECT_EQ(20u, home.poolPids().size());
}

}  // namespace
}  // namespace e2e
