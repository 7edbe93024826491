// The throttling decision through the pool: which requests the approved and
// blocked lists reject and with which answer, which of the passed requests are
// counted, the configured block answers on the wire, the feature switch, and
// the log lines of each verdict at their levels.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"
#include "tests/e2e/traffic_line_support.h"

namespace e2e {
namespace {

// Lists shared by the tests: one of each kind of entry, expired ones with an
// expiration long past.
void writeLists(const Installation& home) {
  home.write("config/throttling/approved_ip", "198.51.100.50\n");
  home.write("config/throttling/blocked_ip", "203.0.113.66\n203.0.113.77 1000000000\n");
  home.write("config/throttling/approved_sender", "friend@partner.example\n");
  home.write("config/throttling/blocked_sender", "spammer@spam.example\nold@spam.example 1000000000\n");
}

// The lines received from index `from` on, without their time stamps, sorted.
std::vector<std::string> linesFrom(const FakeAgent& agent, size_t from) {
  std::vector<std::string> out;
  std::vector<std::string> all = agent.lines();
  for (size_t i = from; i < all.size(); ++i) out.push_back(parseTrafficLine(all[i]).withoutTime());
  std::sort(out.begin(), out.end());
  return out;
}

// A log line (level word and text) and how many of it one request adds.
struct LogLine {
  std::string text;
  int added = 1;
};

struct Case {
  const char* label;
  std::string stage, ip, sender;
  std::string answer;
  std::vector<std::string> lines;  // traffic lines without time stamps
  std::vector<LogLine> logs;
};

TEST(ThrottlingDecision, VerdictsAnswersObservationsAndLogLines) {
  Installation home;
  home.logAtDebugLevel();
  writeLists(home);
  for (const char* rule : {"ip_conn_enable", "ip_msg_enable", "sender_enable"})
    home.setKelpIni("smtp_traffic_throttling", rule, "yes");
  FakeAgent agent(10040);
  ASSERT_TRUE(agent.listening());
  ASSERT_EQ(-1, home.start());

  const std::string alice = "alice@example.org";
  const Case cases[] = {
      {"blocked IP at CONNECT", "CONNECT", "203.0.113.66", "", kIpBlocked, {},
       {{"normal current connection IP[203.0.113.66] is blocked by SMTP Traffic Throttling function"},
        {"diagnostic ip [203.0.113.66] is blocked ip, catch it", 1}}},  // no second lookup
      {"blocked IP at MAIL (long connection)", "MAIL", "203.0.113.66", alice, kIpBlocked, {},
       {{"diagnostic ip [203.0.113.66] is blocked ip, catch it", 2},
        {"debug current ip[203.0.113.66] is blocked ip(long connection)"},
        {"normal current connection IP[203.0.113.66] is blocked by SMTP Traffic Throttling function"}}},
      {"blocked sender at MAIL, counted as IP message traffic first", "MAIL", "198.51.100.23",
       "spammer@spam.example", kSenderBlocked,
       {"ORCAS-Conn-MSG:_;1;2;1;198.51.100.23;spammer@spam.example"},
       {{"diagnostic sender [spammer@spam.example] from [198.51.100.23] is blocked sender, catch it"},
        {"normal current sender[spammer@spam.example] is blocked by SMTP Traffic Throttling function"}}},
      {"blocked sender in other case", "MAIL", "198.51.100.23", "SPAMMER@Spam.Example", kSenderBlocked,
       {"ORCAS-Conn-MSG:_;1;2;1;198.51.100.23;SPAMMER@Spam.Example"},
       {{"normal current sender[SPAMMER@Spam.Example] is blocked by SMTP Traffic Throttling function"}}},
      {"approved IP skips the sender check and is not counted", "MAIL", "198.51.100.50",
       "spammer@spam.example", kUnused, {},
       {{"diagnostic ip [198.51.100.50] is approved ip, pass it", 1},
        {"debug current ip[198.51.100.50] is approved ip,skip sender check"},
        {"sender [spammer@spam.example] from [198.51.100.50]", 0}}},
      {"approved IP at CONNECT is not counted", "CONNECT", "198.51.100.50", "", kNonNeed, {},
       {{"diagnostic ip [198.51.100.50] is approved ip, pass it", 2}}},  // kind 3 asked too
      {"approved sender: IP message counted, sender not", "MAIL", "198.51.100.23",
       "friend@partner.example", kUnused, {"ORCAS-Conn-MSG:_;1;2;1;198.51.100.23;friend@partner.example"},
       {{"diagnostic sender [friend@partner.example] from [198.51.100.23] is approved sender, pass it"}}},
      {"expired IP block at CONNECT passes and is counted", "CONNECT", "203.0.113.77", "", kNonNeed,
       {"ORCAS-Conn-IP:_;1;1;1;203.0.113.77"},
       {{"diagnostic ip [203.0.113.77] is blocked ip, but expired, pass it", 2}}},
      {"expired IP block at MAIL passes and is counted", "MAIL", "203.0.113.77", alice, kUnused,
       {"ORCAS-Conn-MSG:_;1;2;1;203.0.113.77;alice@example.org",
        "ORCAS-Conn-Sender:_;1;3;1;203.0.113.77;alice@example.org"},
       {{"diagnostic ip [203.0.113.77] is blocked ip, but expired, pass it", 2}}},
      {"expired sender block passes and is counted", "MAIL", "198.51.100.23", "old@spam.example", kUnused,
       {"ORCAS-Conn-MSG:_;1;2;1;198.51.100.23;old@spam.example",
        "ORCAS-Conn-Sender:_;1;3;1;198.51.100.23;old@spam.example"},
       {{"diagnostic sender [old@spam.example] from [198.51.100.23] is blocked sender, but expired, pass it"}}},
      {"normal IP at CONNECT", "CONNECT", "198.51.100.23", "", kNonNeed, {"ORCAS-Conn-IP:_;1;1;1;198.51.100.23"},
       {{"diagnostic ip [198.51.100.23] is normal ip, pass it", 2},
        {"debug Enter IP rule block handle"},
        {"debug Enter connection traffic of IP rule handle"}}},
      {"normal sender at MAIL", "MAIL", "198.51.100.24", "bob@example.org", kUnused,
       {"ORCAS-Conn-MSG:_;1;2;1;198.51.100.24;bob@example.org",
        "ORCAS-Conn-Sender:_;1;3;1;198.51.100.24;bob@example.org"},
       {{"diagnostic sender [bob@example.org] from [198.51.100.24] is normal sender, pass it"},
        {"debug Enter sender rule block(for approved ip) handle"},
        {"debug Enter sender rule block handle(long connection)"},
        {"debug Enter message traffic of IP rule handle"},
        {"debug Enter messgae traffic of sender rule handle"}}},
      {"IPv6 client at CONNECT is never IP traffic", "CONNECT", "2001:db9::5", "", kNonNeed, {},
       {{"diagnostic ip [2001:db9::5] is IPv6, current SMTP traffic throttling can't support IPv6, pass it", 2}}},
      {"IPv6 client at MAIL: sender traffic only", "MAIL", "2001:db9::5", "carol@example.org", kUnused,
       {"ORCAS-Conn-Sender:_;1;3;1;2001:db9::5;carol@example.org"}, {}},
      {"malformed IPv4 at CONNECT is not counted", "CONNECT", "198.51.100.256", "", kNonNeed,
       {}, {{"diagnostic ip [198.51.100.256] is incorrect IPv4, pass it", 2}}},
      {"blocked IP at a later stage is not looked up", "RCPT", "203.0.113.66", alice, kNonNeed, {},
       {{"debug smtp connection protocol state is:RCPT"}, {"ip [203.0.113.66] is", 0}}},
      {"lower-case connect is not CONNECT", "connect", "203.0.113.66", "", kNonNeed, {},
       {{"ip [203.0.113.66] is", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    size_t before = agent.lines().size();
    std::vector<int> logsBefore;
    for (const auto& log : c.logs) logsBefore.push_back(home.countLog(log.text));
    EXPECT_EQ(c.answer, ask(998, stageRequest(c.stage, c.ip, c.sender)));
    agent.waitForLines(before + c.lines.size(), 3000);
    std::vector<std::string> want = c.lines;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, linesFrom(agent, before));
    for (size_t i = 0; i < c.logs.size(); ++i)
      EXPECT_EQ(logsBefore[i] + c.logs[i].added, home.countLog(c.logs[i].text)) << c.logs[i].text;
  }
  int approvedObservations = 0;
  for (const auto& line : home.logLines())
    if (line.find("received traffic log of SMTP Traffic Throttling:[") != std::string::npos &&
        line.find(",198.51.100.50,") != std::string::npos)
      ++approvedObservations;
  EXPECT_EQ(0, approvedObservations);
}

// With no counting rule and the log at its normal level: the long-connection
// check is off, rejections still come, only normal lines are written.
TEST(ThrottlingDecision, NoCountingRuleAtNormalLogLevel) {
  Installation home;
  writeLists(home);
  FakeAgent agent(10040);
  ASSERT_EQ(-1, home.start());
  const struct {
    const char* label;
    std::string stage, ip, sender, answer;
  } cases[] = {
      {"blocked IP at CONNECT", "CONNECT", "203.0.113.66", "", kIpBlocked},
      {"blocked IP at MAIL passes without the IP message rule", "MAIL", "203.0.113.66",
       "alice@example.org", kUnused},
      {"blocked sender at MAIL", "MAIL", "198.51.100.23", "spammer@spam.example", kSenderBlocked},
      {"normal IP at CONNECT", "CONNECT", "198.51.100.23", "", kNonNeed},
  };
  for (const auto& c : cases) EXPECT_EQ(c.answer, ask(998, stageRequest(c.stage, c.ip, c.sender))) << c.label;
  EXPECT_EQ(1, home.countLog("normal current connection IP[203.0.113.66] is blocked by SMTP Traffic Throttling function"));
  EXPECT_EQ(1, home.countLog("normal current sender[spammer@spam.example] is blocked by SMTP Traffic Throttling function"));
  EXPECT_EQ(0, home.countLog("is blocked ip, catch it")) << "a diagnostic line";
  EXPECT_EQ(0, home.countLog("is normal ip, pass it")) << "a diagnostic line";
  EXPECT_EQ(0, home.countLog("Enter IP rule block handle")) << "a debug line";
  EXPECT_EQ(0, agent.connections()) << "nothing is counted";
}

// The feature switch off: no lookup and no rejection, but a counting rule
// that is on still counts.
TEST(ThrottlingDecision, SwitchedOffRejectsNothingButStillCounts) {
  Installation home;
  home.logAtDebugLevel();
  writeLists(home);
  home.setKelpIni("smtp_traffic_throttling", "enable", "no");
  home.setKelpIni("smtp_traffic_throttling", "ip_conn_enable", "yes");
  home.setKelpIni("smtp_traffic_throttling", "sender_enable", "yes");
  FakeAgent agent(10040);
  ASSERT_EQ(-1, home.start());
  EXPECT_EQ(kNonNeed, ask(998, stageRequest("CONNECT", "203.0.113.66", "")));
  EXPECT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.23", "spammer@spam.example")));
  EXPECT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.50", "bob@example.org"))) << "approved IP";
  ASSERT_TRUE(agent.waitForLines(3));
  EXPECT_EQ((std::vector<std::string>{"ORCAS-Conn-IP:_;1;1;1;203.0.113.66",
                                      "ORCAS-Conn-Sender:_;1;3;1;198.51.100.23;spammer@spam.example",
                                      "ORCAS-Conn-Sender:_;1;3;1;198.51.100.50;bob@example.org"}),
            linesFrom(agent, 0));
  EXPECT_EQ(0, home.countLog("is blocked by SMTP Traffic Throttling function"));
  EXPECT_EQ(0, home.countLog("smtp connection protocol state is:")) << "no lookup at all";
}

std::string padTo(const std::string& text, size_t size) { return text + std::string(size - text.size(), 'x'); }

// The configured answers go out with two line feeds, and an answer is cut at
// 100 bytes: a 98-byte text keeps both, 99 bytes keep one, longer texts lose
// their end and both.
TEST(ThrottlingDecision, ConfiguredAnswersAndTheirCutAt100Bytes) {
  const std::string ip98 = padTo("action=421 4.7.0 refused ", 98);
  const std::string sender99 = padTo("action=450 4.7.1 refused ", 99);
  const std::string ip150 = padTo("action=554 5.7.1 refused ", 150);
  const struct {
    const char* label;
    std::string ipText, senderText, ipAnswer, senderAnswer;
  } cases[] = {
      {"custom short texts", "action=554 5.7.1 Your IP is refused", "action=REJECT sender refused",
       "action=554 5.7.1 Your IP is refused\n\n", "action=REJECT sender refused\n\n"},
      {"98 and 99 bytes", ip98, sender99, ip98 + "\n\n", sender99 + "\n"},
      {"150 bytes", ip150, "action=DEFER_IF_PERMIT later", ip150.substr(0, 100), "action=DEFER_IF_PERMIT later\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installation home;
    home.setKelpIni("smtp_traffic_throttling", "ip_blocked_action", c.ipText);
    home.setKelpIni("smtp_traffic_throttling", "sender_blocked_action", c.senderText);
    ASSERT_EQ(-1, home.start());
    EXPECT_EQ(c.ipAnswer, ask(998, stageRequest("CONNECT", "203.0.113.66", "")));
    EXPECT_EQ(c.senderAnswer, ask(998, stageRequest("MAIL", "198.51.100.23", "spammer@spam.example")));
  }
}

}  // namespace
}  // namespace e2e
