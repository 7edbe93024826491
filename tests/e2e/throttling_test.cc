// The throttling verdict through the pool, with every counting rule on: which
// requests the approved and blocked lists reject, the answers on the wire (an
// answer is cut at 100 bytes), the traffic lines each passed request sends to
// the scanner's own agent, the rows the blocked-log thread writes for the
// refused ones, and the feature switched off by a reload.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"

namespace e2e {
namespace {

// A sender answer of 99 bytes: its second line feed is cut off.
const std::string kSenderAction = "action=450 4.7.1 refused " + std::string(74, 'x');

TEST(Throttling, VerdictsAnswersAndTrafficLines) {
  Installation home;
  home.write("config/throttling/approved_ip", "198.51.100.50\n");
  home.write("config/throttling/blocked_ip", "203.0.113.66\n203.0.113.77 1000000000\n");
  home.write("config/throttling/approved_sender", "friend@partner.example\n");
  home.write("config/throttling/blocked_sender", "spammer@spam.example\nold@spam.example 1000000000\n");
  for (const char* rule : {"ip_conn_enable", "ip_msg_enable", "sender_enable"})
    home.setKelpIni("smtp_traffic_throttling", rule, "yes");
  home.setKelpIni("smtp_traffic_throttling", "sender_blocked_action", kSenderAction);
  home.setKelpIni("smtp_traffic_throttling", "blocked_log_interval", "1");
  home.logAtDebugLevel();
  FakeAgent agent;
  ASSERT_TRUE(agent.listening());
  ASSERT_EQ(-1, home.start());
  EXPECT_EQ(0, home.countLog("start send SMTP Traffic Throttling traffic log thread")) << "a parent scanner";

  const std::string sender = kSenderAction + "\n";
  const struct { const char* label; std::string stage, ip, sender, answer; std::vector<std::string> lines; } cases[] = {
      {"blocked IP at CONNECT", "CONNECT", "203.0.113.66", "", kIpBlocked, {}},
      {"blocked IP at MAIL", "MAIL", "203.0.113.66", "a@x.example", kIpBlocked, {}},
      {"blocked sender, counted as IP message first", "MAIL", "198.51.100.23", "spammer@spam.example", sender,
       {"ORCAS-Conn-MSG:;1;2;1;198.51.100.23;spammer@spam.example"}},
      {"approved IP skips the sender check, not counted", "MAIL", "198.51.100.50", "spammer@spam.example", kUnused, {}},
      {"approved IP at CONNECT, not counted", "CONNECT", "198.51.100.50", "", kNonNeed, {}},
      {"approved sender: its IP message counted, not the sender", "MAIL", "198.51.100.23", "friend@partner.example",
       kUnused, {"ORCAS-Conn-MSG:;1;2;1;198.51.100.23;friend@partner.example"}},
      {"expired IP block at CONNECT", "CONNECT", "203.0.113.77", "", kNonNeed, {"ORCAS-Conn-IP:;1;1;1;203.0.113.77"}},
      {"expired IP block at MAIL", "MAIL", "203.0.113.77", "a@x.example", kUnused,
       {"ORCAS-Conn-MSG:;1;2;1;203.0.113.77;a@x.example", "ORCAS-Conn-Sender:;1;3;1;203.0.113.77;a@x.example"}},
      {"expired sender block", "MAIL", "198.51.100.23", "old@spam.example", kUnused,
       {"ORCAS-Conn-MSG:;1;2;1;198.51.100.23;old@spam.example",
        "ORCAS-Conn-Sender:;1;3;1;198.51.100.23;old@spam.example"}},
      {"IPv6 at MAIL: sender traffic only", "MAIL", "2001:db9::5", "c@x.example", kUnused,
       {"ORCAS-Conn-Sender:;1;3;1;2001:db9::5;c@x.example"}},
      {"a later stage is neither checked nor counted", "RCPT", "203.0.113.66", "a@x.example", kNonNeed, {}},
  };
  for (const auto& c : cases) {
    size_t before = agent.lines().size();
    EXPECT_EQ(c.answer, ask(998, stageRequest(c.stage, c.ip, c.sender))) << c.label;
    agent.waitForLines(before + c.lines.size());
    EXPECT_EQ(c.lines, agent.untimedLines(before)) << c.label;
  }
  // Each worker's blocked-log thread looks every 10 s.
  const std::map<std::string, int> blocked = {{"203.0.113.66", 2}, {"spammer@spam.example", 1}};
  EXPECT_TRUE(waitUntil([&] { return blockedCounts(home.read("log/smtp_conn_blocked.csv")) == blocked; }, 30000))
      << home.read("log/smtp_conn_blocked.csv");

  // Switched off: nothing is rejected, but the counting rules still count.
  home.setKelpIni("smtp_traffic_throttling", "enable", "no");
  ASSERT_TRUE(home.signalReload());
  size_t before = agent.lines().size();
  int sent = 0;
  EXPECT_TRUE(home.serveUntilFlagsGone([](int) { return stageRequest("CONNECT", "203.0.113.66"); },
                                       [&](int n, const std::string& answer) {
                                         EXPECT_EQ(kNonNeed, answer) << "request " << n;
                                         ++sent;
                                       }));
  EXPECT_TRUE(agent.waitForLines(before + sent));
  EXPECT_EQ(std::vector<std::string>(sent, "ORCAS-Conn-IP:;1;1;1;203.0.113.66"), agent.untimedLines(before));
}

}  // namespace
}  // namespace e2e
