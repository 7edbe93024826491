// The traffic lines the scanner's own SMTP agent receives: their exact text
// for each stage and counting rule, and the worker's agent connection: an
// agent that is not there, and an agent that hangs up after every line.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"
#include "tests/e2e/one_worker.h"
#include "tests/e2e/pool_watch.h"
#include "tests/e2e/traffic_line_support.h"

namespace e2e {
namespace {

const char kClient[] = "[smtpConnLongTcpConnClient] ";

// Replaces the time stamp of a received line by "<t>" once it is checked to
// lie within [from, to].
std::string checkedTime(const std::string& line, long long from, long long to) {
  TrafficLine t = parseTrafficLine(line);
  EXPECT_TRUE(t.ok) << line;
  EXPECT_LE(from, t.time) << line;
  EXPECT_GE(to, t.time) << line;
  std::string stamp = ":" + std::to_string(t.time) + ";";
  size_t at = line.find(stamp);
  return at == std::string::npos ? line : line.substr(0, at) + ":<t>;" + line.substr(at + stamp.size());
}

// The IP connection line, and lines of every rule together, are checked with
// the verdicts (throttling_decision_test.cc); here each message rule alone.
TEST(TrafficLineTexts, ExactLinesForEachStageAndRule) {
  const struct {
    const char* label;
    std::vector<std::string> rules;
    std::string scannerId;
    std::string stage, ip, sender, answer;
    std::vector<std::string> lines;
    std::string agentPort = "";  // as configured; the low 16 bits count
  } cases[] = {
      {"MAIL, IP message rule", {"ip_msg_enable"}, "1", "MAIL", "198.51.100.23", "alice@example.org", kUnused,
       {"ORCAS-Conn-MSG:<t>;1;2;1;198.51.100.23;alice@example.org"}},
      {"MAIL, sender rule", {"sender_enable"}, "1", "MAIL", "198.51.100.23", "alice@example.org", kUnused,
       {"ORCAS-Conn-Sender:<t>;1;3;1;198.51.100.23;alice@example.org"}},
      {"MAIL, both message rules: IP message first", {"ip_msg_enable", "sender_enable"}, "1", "MAIL",
       "198.51.100.23", "alice@example.org", kUnused,
       {"ORCAS-Conn-MSG:<t>;1;2;1;198.51.100.23;alice@example.org",
        "ORCAS-Conn-Sender:<t>;1;3;1;198.51.100.23;alice@example.org"}},
      {"the configured scanner id, an agent port above 65535", {"ip_conn_enable", "ip_msg_enable", "sender_enable"},
       "7", "MAIL", "198.51.100.24", "", kUnused,
       {"ORCAS-Conn-MSG:<t>;7;2;1;198.51.100.24;", "ORCAS-Conn-Sender:<t>;7;3;1;198.51.100.24;"},
       std::to_string(10040 + 65536)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installation home;
    for (const auto& rule : c.rules) home.setKelpIni("smtp_traffic_throttling", rule, "yes");
    home.setKelpIni("kelp_manager", "scanner_id", c.scannerId);
    if (!c.agentPort.empty()) home.setKelpIni("smtp_traffic_throttling", "smtp_agent_port", c.agentPort);
    FakeAgent agent(10040);
    ASSERT_TRUE(agent.listening());
    ASSERT_EQ(-1, home.start());
    long long from = epochNow();
    EXPECT_EQ(c.answer, ask(998, stageRequest(c.stage, c.ip, c.sender)));
    long long to = epochNow();
    ASSERT_TRUE(agent.waitForLines(c.lines.size()));
    std::vector<std::string> got;
    for (const auto& line : agent.lines()) got.push_back(checkedTime(line, from, to));
    EXPECT_EQ(c.lines, got);
  }
}

// One worker's agent connection, with every other process of the pool stopped.
class TrafficLines : public testing::Test {
 protected:
  void startOneWorker(const char* rule = "ip_conn_enable") {
    home.logAtDebugLevel();
    home.setKelpIni("smtp_traffic_throttling", rule, "yes");
    ASSERT_EQ(-1, home.start());
    one.reset(new OneWorker(home));
    ASSERT_TRUE(one->ready());
  }
  // A counted connection from `ip`, answered promptly whatever the agent does.
  void connect(const std::string& ip) {
    long long start = nowMs();
    EXPECT_EQ(kNonNeed, ask(998, connectFrom(ip))) << ip;
    EXPECT_LT(nowMs() - start, 2000) << ip;
  }

  Installation home;
  std::unique_ptr<OneWorker> one;  // resumes the pool before `home` stops it
};

// A line is formatted into 1024 bytes: a longer one goes out as its first 1023
// characters, without its line feed, so the agent reads it joined to the
// next line.
TEST_F(TrafficLines, LineLongerThan1023CharactersIsCut) {
  FakeAgent agent(10040);
  ASSERT_NO_FATAL_FAILURE(startOneWorker("sender_enable"));
  const std::string longSender = std::string(1100, 's') + "@example.org";
  EXPECT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.23", longSender)));
  EXPECT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.23", "alice@example.org")));
  ASSERT_TRUE(agent.waitForLines(1));
  std::string joined = agent.lines()[0];
  size_t next = joined.find("ORCAS-Conn-Sender:", 1);
  ASSERT_NE(std::string::npos, next) << joined;
  EXPECT_EQ(1023u, next);
  EXPECT_EQ(0u, joined.find("ORCAS-Conn-Sender:"));
  EXPECT_EQ(std::string::npos, joined.find("@example.org;")) << "the long sender lost its end";
  EXPECT_EQ("ORCAS-Conn-Sender:_;1;3;1;198.51.100.23;alice@example.org",
            parseTrafficLine(joined.substr(next)).withoutTime());
}

// No agent: each line costs one refused connection and is dropped, the
// requests are answered all the same, and an agent that comes up later gets
// the next line.
TEST_F(TrafficLines, AbsentAgentDropsLinesAndRequestsAreStillAnswered) {
  ASSERT_NO_FATAL_FAILURE(startOneWorker());
  const std::string refused = std::string("normal ") + kClient + "retry to connect() failure, err msg is Connection refused!";
  connect("198.51.100.1");
  EXPECT_EQ(1, home.countLog(refused));
  connect("198.51.100.2");
  EXPECT_EQ(2, home.countLog(refused));
  EXPECT_EQ(1, home.countLog(std::string("normal ") + kClient + "failed to send traffic log [ORCAS-Conn-IP:"))
      << "the unconnected socket left by the first failure";

  FakeAgent agent(10040);
  ASSERT_TRUE(agent.listening());
  connect("198.51.100.3");
  ASSERT_TRUE(agent.waitForLines(1));
  EXPECT_EQ("ORCAS-Conn-IP:_;1;1;1;198.51.100.3", parseTrafficLine(agent.lines()[0]).withoutTime());
  EXPECT_EQ(1u, agent.lines().size()) << "the dropped lines are not sent later";
}

// An agent that closes its side after every line: the send that meets the
// closed connection fails without killing the worker, and that line goes out
// once more on a new connection.
TEST_F(TrafficLines, LineThatMeetsAClosedConnectionIsResentOnANewOne) {
  FakeAgent agent(10040, FakeAgent::CLOSE_AFTER, 1);
  ASSERT_TRUE(agent.listening());
  ASSERT_NO_FATAL_FAILURE(startOneWorker());
  const std::string failed = std::string("normal ") + kClient + "failed to send traffic log [";
  for (int i = 1; i <= 6 && home.countLog(failed) == 0; ++i) {
    connect("198.51.100." + std::to_string(i));
    agent.waitForLines(1);
  }
  ASSERT_TRUE(home.waitForLog(failed));
  std::string logLine;
  for (const auto& l : home.logLines())
    if (l.find(failed) != std::string::npos) logLine = l;
  // The traffic line is logged with its line feed: the rest of this log line.
  std::string resent = logLine.substr(logLine.find(failed) + failed.size());
  ASSERT_EQ(0u, resent.find("ORCAS-Conn-IP:")) << logLine;
  EXPECT_TRUE(home.waitForLog("retry to send SMTP Traffic Throttling traffic log to self smtp agent:" + resent));
  EXPECT_TRUE(agent.waitForLines(2));
  bool arrived = false;
  for (const auto& l : agent.lines()) arrived = arrived || l == resent;
  EXPECT_TRUE(arrived) << resent;
  EXPECT_LE(2, agent.connections());
  connect("198.51.100.99");  // the worker still serves
}

}  // namespace
}  // namespace e2e
