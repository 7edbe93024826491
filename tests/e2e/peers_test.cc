// A child scanner and its peers: its own SMTP agent, which gets a traffic
// line for each counted request (none while it is not there: the line is
// dropped, the request answered all the same) over one connection that
// SIGUSR1 renews; and the parent scanner's agent, which gets the counts folded
// per IP and per sender from the worker's traffic-log thread, once the
// parent's database answers again (a cycle that finds it down keeps them).
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"

namespace e2e {
namespace {

const char kDatabaseDown[] = "normal db in parent is down,give up to send traffic log to parent";

TEST(Peers, OwnAgentAbsentThenRenewedAndParentDatabaseDownThenBack) {
  Installation home;
  home.logAtDebugLevel();
  home.setKelpIni("kelp_manager", "role", "child");
  home.setKelpIni("kelp_manager", "scanner_id", "7");
  for (const char* rule : {"ip_conn_enable", "ip_msg_enable", "sender_enable"})
    home.setKelpIni("smtp_traffic_throttling", rule, "yes");
  home.write("config/slave.nfo", std::string("[master]\nmaster_ip = ") + kParentHost + "\n");
  // The probe of the parent's database resolves a host name and connects over TCP.
  home.write("config/odbc.ini", "[KELP]\nDriver = x\nServername = localhost\nPort = " +
                                    std::to_string(kDatabasePort) + "\n");
  FakeAgent parent(kAgentPort, kParentHost);
  ASSERT_TRUE(parent.listening());
  ASSERT_EQ(-1, home.start());
  // The main process, worker 9, serves every request. Its traffic-log thread
  // runs a cycle as it starts, then every 10 to 19 s.
  const std::string main = "keelgate[" + std::to_string(home.mainPid()) + "] ";
  const int cycleMs = 30000;
  ASSERT_TRUE(home.waitForLog(main + kDatabaseDown));
  ASSERT_TRUE(home.keepOnly(home.mainPid()));

  EXPECT_EQ(kNonNeed, ask(998, stageRequest("CONNECT", "198.51.100.23")));
  // A request's lines go out after its answer: wait for the failed send.
  ASSERT_TRUE(home.waitForLog("retry to connect() failure, err msg is Connection refused!"));
  FakeAgent local;
  ASSERT_TRUE(local.listening());
  EXPECT_EQ(kNonNeed, ask(998, stageRequest("CONNECT", "198.51.100.23")));
  home.write("bin/keelgate.r9", "");  // the counts survive a reload
  EXPECT_EQ(kNonNeed, ask(998, stageRequest("CONNECT", "198.51.100.24")));
  EXPECT_EQ(1, home.countLog(main + "normal Need to reload configuration due to signal captured"));
  EXPECT_EQ(kNonNeed, ask(998, stageRequest("CONNECT", "198.51.100.23")));
  ASSERT_TRUE(local.waitForLines(3));  // sent before the signal, on the first connection
  ASSERT_EQ(0, kill(home.mainPid(), SIGUSR1));
  ASSERT_TRUE(waitUntil([&] { return signalTaken(home.mainPid(), SIGUSR1); }, 5000));
  EXPECT_EQ(0, home.countLog("smtp connection server send the close siginal")) << "not before the next line";
  EXPECT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.24", "a@example.org")));
  EXPECT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.23", "a@example.org")));
  EXPECT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.24", "b@example.org")));
  ASSERT_TRUE(local.waitForLines(9));
  EXPECT_EQ(9u, local.lines().size()) << "the dropped line is not sent later";
  EXPECT_EQ(2, local.connections());
  EXPECT_EQ(1, home.countLog("smtp connection server send the close siginal"));

  EXPECT_TRUE(home.waitForLog(main + kDatabaseDown, cycleMs, 2));
  EXPECT_EQ(0, parent.connections());
  FakeAgent database(kDatabasePort);
  ASSERT_TRUE(database.listening());
  ASSERT_TRUE(parent.waitForLines(6, cycleMs));
  // Each kind folded, IP messages and senders per sender keeping its first IP.
  EXPECT_EQ((std::vector<std::string>{
                "ORCAS-Conn-IP:;7;1;3;198.51.100.23", "ORCAS-Conn-IP:;7;1;1;198.51.100.24",
                "ORCAS-Conn-MSG:;7;2;2;198.51.100.24;a@example.org", "ORCAS-Conn-MSG:;7;2;1;198.51.100.24;b@example.org",
                "ORCAS-Conn-Sender:;7;3;2;198.51.100.24;a@example.org",
                "ORCAS-Conn-Sender:;7;3;1;198.51.100.24;b@example.org"}),
            parent.untimedLines());
  EXPECT_EQ(3, parent.connections()) << "one connection per kind of report";
}

}  // namespace
}  // namespace e2e
