// Reports of counted traffic to the parent scanner's SMTP agent: a child
// scanner folds its observations per IP and reports them from its traffic-log
// thread, gives up while the database is unreachable, and a parent scanner
// runs no such thread at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"
#include "tests/e2e/report_worker.h"
#include "tests/e2e/traffic_line_support.h"

namespace e2e {
namespace {

class ParentReports : public ReportingPool {};

// Each map entry becomes one line: IP connections fold per IP, IP messages
// and sender messages per sender (keeping the first IP), with their count,
// a reload in between notwithstanding.
TEST_F(ParentReports, ChildFoldsObservationsIntoOneLineEachWithTheirCount) {
  configureScanner(home, "child", {"ip_conn_enable", "ip_msg_enable", "sender_enable"});
  FakeAgent database(kDatabasePort);
  FakeAgent parent(kAgentPort, FakeAgent::RECORD, 1, kParentAgentHost);
  FakeAgent local(kAgentPort);
  ASSERT_TRUE(database.listening() && parent.listening() && local.listening());
  ASSERT_NO_FATAL_FAILURE(startWithQuickestReporter());
  EXPECT_TRUE(home.waitForLog("normal current scanner is child"));

  long long from = epochNow();
  const struct {
    const char *stage, *ip, *sender;
  } requests[] = {
      {"CONNECT", "198.51.100.23", ""},
      {"CONNECT", "198.51.100.23", ""},
      {"CONNECT", "198.51.100.24", ""},
      {"CONNECT", "198.51.100.23", ""},
      {"MAIL", "198.51.100.24", "alice@example.org"},
      {"MAIL", "198.51.100.23", "alice@example.org"},
      {"MAIL", "198.51.100.24", "bob@example.org"},
  };
  for (size_t i = 0; i < sizeof requests / sizeof requests[0]; ++i) {
    if (i == 2) {
      ASSERT_TRUE(one->requestReload(home)) << "counts survive a reload";
    }
    EXPECT_NE("<connect failed>", ask(998, stageRequest(requests[i].stage, requests[i].ip, requests[i].sender)));
  }
  EXPECT_EQ(1, home.countLog(inProcess(reporter.pid, "normal Need to reload configuration due to signal captured")));
  long long to = epochNow();
  ASSERT_TRUE(local.waitForLines(10)) << "each observation goes to the local agent at once";
  for (const auto& line : local.lines()) EXPECT_EQ(1, parseTrafficLine(line).count) << line;

  ASSERT_TRUE(parent.waitForLines(6, cycleMs()));
  std::vector<std::string> lines = parent.lines();
  std::vector<std::string> got;
  for (const auto& line : lines) {
    TrafficLine t = parseTrafficLine(line);
    EXPECT_LE(from, t.time) << line;
    EXPECT_GE(to, t.time) << line;
    got.push_back(t.withoutTime());
  }
  EXPECT_EQ((std::vector<std::string>{
                "ORCAS-Conn-IP:_;7;1;3;198.51.100.23",
                "ORCAS-Conn-IP:_;7;1;1;198.51.100.24",
                "ORCAS-Conn-MSG:_;7;2;2;198.51.100.24;alice@example.org",
                "ORCAS-Conn-MSG:_;7;2;1;198.51.100.24;bob@example.org",
                "ORCAS-Conn-Sender:_;7;3;2;198.51.100.24;alice@example.org",
                "ORCAS-Conn-Sender:_;7;3;1;198.51.100.24;bob@example.org",
            }),
            got);
  EXPECT_EQ(3, parent.connections()) << "one connection per kind of report";
  EXPECT_EQ(1, home.countLog(inProcess(reporter.pid, "debug [SMTP Traffic Throttling agent send thread]Parent server:127.0.0.2/10040")));
  EXPECT_EQ(1, home.countLog("debug [SMTP Traffic Throttling agent send thread]sendIPBaseConnTrafficToParent() "
                             "send SMTP Traffic Throttling IP connection traffic log:" + lines[0]));
  EXPECT_EQ(20, home.countLog("diagnostic start send SMTP Traffic Throttling traffic log thread, sleep time is 1"));
  EXPECT_EQ(0, home.countLog("db in parent is down"));
}

// While the database is unreachable each cycle gives up and the counts stay;
// the first cycle after it is back reports them. Takes two cycles of the
// quickest worker, about 20 to 25 s.
TEST_F(ParentReports, ChildHoldsItsCountsWhileTheDatabaseIsDown) {
  configureScanner(home, "child", {"ip_conn_enable"});
  FakeAgent parent(kAgentPort, FakeAgent::RECORD, 1, kParentAgentHost);
  FakeAgent local(kAgentPort);
  ASSERT_TRUE(parent.listening() && local.listening());
  ASSERT_NO_FATAL_FAILURE(startWithQuickestReporter());
  // The thread's first cycle runs as it starts; the second one comes after
  // the connections below have been counted.
  ASSERT_TRUE(home.waitForLog(inProcess(reporter.pid, kDatabaseDown)));
  long long from = epochNow();
  EXPECT_EQ(kNonNeed, ask(998, connectFrom("198.51.100.23")));
  EXPECT_EQ(kNonNeed, ask(998, connectFrom("198.51.100.23")));
  long long to = epochNow();
  ASSERT_TRUE(local.waitForLines(2));
  ASSERT_TRUE(home.waitForLog(inProcess(reporter.pid, kDatabaseDown), cycleMs(), 2));
  EXPECT_EQ(0, parent.connections());
  EXPECT_EQ(0, home.countLog("sendIPBaseConnTrafficToParent"));

  FakeAgent database(kDatabasePort);
  ASSERT_TRUE(database.listening());
  ASSERT_TRUE(parent.waitForLines(1, cycleMs()));
  TrafficLine t = parseTrafficLine(parent.lines()[0]);
  EXPECT_EQ("ORCAS-Conn-IP:_;7;1;2;198.51.100.23", t.withoutTime());
  EXPECT_LE(from, t.time);
  EXPECT_GE(to, t.time);
  EXPECT_EQ(2, home.countLog(inProcess(reporter.pid, kDatabaseDown)));
}

TEST_F(ParentReports, ParentScannerRunsNoTrafficLogThread) {
  configureScanner(home, "parent", {"ip_conn_enable"});
  FakeAgent database(kDatabasePort);
  FakeAgent parent(kAgentPort, FakeAgent::RECORD, 1, kParentAgentHost);
  FakeAgent local(kAgentPort);
  ASSERT_TRUE(database.listening() && parent.listening() && local.listening());
  ASSERT_EQ(-1, home.start());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kNonNeed, ask(998, connectFrom("198.51.100.23")));
  EXPECT_TRUE(local.waitForLines(3)) << "observations still go to the local agent";
  EXPECT_TRUE(home.waitForLog("diagnostic start send SMTP Traffic Throttling blocked log thread", 5000, 20));
  EXPECT_EQ(0, home.countLog("start send SMTP Traffic Throttling traffic log thread"));
  // Nothing to wait for but time: a child would have reported within a cycle
  // (a traffic-log thread sleeps 10 to 19 s).
  EXPECT_FALSE(parent.waitForLines(1, 20000));
  EXPECT_EQ(0, parent.connections());
  EXPECT_EQ(0, database.connections()) << "no liveness check of the database either";
}

}  // namespace
}  // namespace e2e
