#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <cerrno>
#include <thread>

#include "host/clock.h"
#include "tests/unit/traffic_test_support.h"
#include "throttling/smtp_conn_traffic_list.h"

namespace {

using traffic_test::CaptureSink;
using traffic_test::FakeAgent;
using traffic_test::Logged;
typedef void (SmtpConnTrafficList::*Report)(std::string, int);

const std::string kThread = "[SMTP Traffic Throttling agent send thread]";

class TrafficReportTest : public ::testing::Test {
 protected:
  void SetUp() override { log = &CaptureSink::install(); }
  void TearDown() override { KELP::Clock::thaw(); }
  void record(int type, const char* ip, const char* sender, time_t at = 100) {
    RawConnTrafficItem item;
    item.timeStamp = static_cast<int32_t>(at), item.ip = ip, item.sender = sender;
    item.type = type, item.scannerId = 7;
    list.recordTrafficConn(item);
  }
  std::vector<std::string> lines(const std::vector<traffic_test::Received>& got, int conn) {
    std::vector<std::string> out;
    for (const auto& r : got)
      if (r.conn == conn) out.push_back(r.line);
    return out;
  }
  CaptureSink* log;
  SmtpConnTrafficList list;
};

struct Kind {
  const char* name;
  int type;
  Report report;
  std::string empty, connectFailed, sent;
} kKinds[] = {
    {"ip connection", 1, &SmtpConnTrafficList::sendIPBaseConnTrafficToParent,
     "connection traffic log for ip base is empty!skip!",
     "sendIPBaseConnTrafficToParent() connect() failure! err msg is %s",
     "sendIPBaseConnTrafficToParent() send SMTP Traffic Throttling IP connection traffic log:"},
    {"ip message", 2, &SmtpConnTrafficList::sendIPBaseMsgTrafficToParent,
     "message traffic log for IP base is empty!skip!",
     "sendIPBaseMsgTrafficToParent connect() failure!err msg is %s",
     "sendIPBaseMsgTrafficToParent() send SMTP Traffic Throttling traffic IP message log:"},
    {"sender", 3, &SmtpConnTrafficList::sendSenderBaseTrafficToParent,
     "traffic log for sender base is empty!skip!",
     "sendSenderBaseTrafficToParent() connect() failure! err msg is %s, ",
     "sendSenderBaseTrafficToParent() send SMTP Traffic Throttling traffic sender message log:"},
};

std::string withError(std::string format, int err) {
  return format.replace(format.find("%s"), 2, strerror(err));
}

TEST_F(TrafficReportTest, SendsOneLinePerEntryAndEmptiesTheMap) {
  const char* want[][2] = {
      {"ORCAS-Conn-IP:101;7;1;1;10.0.0.1\n", "ORCAS-Conn-IP:100;7;1;2;10.0.0.5\n"},
      {"ORCAS-Conn-MSG:101;7;2;1;10.0.0.1;a@x\n", "ORCAS-Conn-MSG:100;7;2;2;10.0.0.5;b@x\n"},
      {"ORCAS-Conn-Sender:101;7;3;1;10.0.0.1;a@x\n", "ORCAS-Conn-Sender:100;7;3;2;10.0.0.5;b@x\n"}};
  for (const Kind& k : kKinds) {
    log = &CaptureSink::install();
    FakeAgent agent;
    record(k.type, "10.0.0.5", "b@x", 100);
    record(k.type, "10.0.0.5", "b@x", 150);
    record(k.type, "10.0.0.1", "a@x", 101);
    (list.*k.report)("127.0.0.1", agent.port());
    EXPECT_EQ((std::vector<std::string>{want[k.type - 1][0], want[k.type - 1][1]}),
              lines(agent.waitForLines(2), 1))
        << k.name;
    EXPECT_TRUE(list.rawTraffic(k.type).empty()) << k.name;
    EXPECT_TRUE(log->has(4, kThread + k.sent + want[k.type - 1][1])) << k.name;
    EXPECT_EQ(k.type == 1, log->has(4, kThread + "Parent server:127.0.0.1/" +
                                           std::to_string(agent.port())))
        << k.name;
  }
}

TEST_F(TrafficReportTest, EmptyMapOnlySkips) {
  for (const Kind& k : kKinds) {
    log = &CaptureSink::install();
    (list.*k.report)("127.0.0.1", traffic_test::closedPort());
    EXPECT_EQ((std::vector<Logged>{{1, kThread + k.empty}}), log->lines()) << k.name;
  }
}

TEST_F(TrafficReportTest, UnreachableParentLosesTheCounts) {
  for (const Kind& k : kKinds) {
    log = &CaptureSink::install();
    record(k.type, "10.0.0.5", "b@x");
    (list.*k.report)("127.0.0.1", traffic_test::closedPort());
    EXPECT_EQ((std::vector<Logged>{{1, kThread + withError(k.connectFailed, ECONNREFUSED)}}),
              log->atLevel(1))
        << k.name;
    EXPECT_TRUE(list.rawTraffic(k.type).empty()) << k.name;
  }
  FakeAgent agent;
  record(1, "10.0.0.5", "");
  list.sendIPBaseConnTrafficToParent("127.0.0.1", agent.port());
  EXPECT_EQ("ORCAS-Conn-IP:100;7;1;1;10.0.0.5\n", agent.waitForLines(1).at(0).line)
      << "the next report starts from zero";
}

TEST_F(TrafficReportTest, PortIsTakenModulo65536) {
  FakeAgent agent;
  record(1, "10.0.0.5", "");
  list.sendIPBaseConnTrafficToParent("127.0.0.1", agent.port() + 65536);
  EXPECT_EQ(1u, agent.waitForLines(1).size());
}

TEST_F(TrafficReportTest, LineMeetingAClosedPeerIsResentOnANewConnection) {
  FakeAgent agent(/*resetAfterFirstLine=*/true);
  // Hold the report after its first line until the agent has reset the
  // connection, so the second line meets the reset.
  bool first = true;
  log->setHook([&](const std::string& text) {
    if (first && text.find(kKinds[0].sent) != std::string::npos) first = false, agent.waitReset();
  });
  for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) record(1, ip, "");
  list.sendIPBaseConnTrafficToParent("127.0.0.1", agent.port());
  std::vector<traffic_test::Received> got = agent.waitForLines(3);
  const std::string l2 = "ORCAS-Conn-IP:100;7;1;1;10.0.0.2\n";
  EXPECT_EQ(std::vector<std::string>{"ORCAS-Conn-IP:100;7;1;1;10.0.0.1\n"}, lines(got, 1));
  EXPECT_EQ((std::vector<std::string>{l2, "ORCAS-Conn-IP:100;7;1;1;10.0.0.3\n"}), lines(got, 2));
  std::vector<Logged> failures = log->atLevel(1);
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(0u, failures[0].text.find(kThread + "sendIPBaseConnTrafficToParent() send ip "
                                                "connection traffic log [" + l2 +
                                      "] error, err msg is "));
  EXPECT_TRUE(log->has(4, kThread + "sendIPBaseConnTrafficToParent() retry to send SMTP Traffic "
                                    "Throttling traffic log to parent smtp agent:" + l2));
}

TEST_F(TrafficReportTest, ObservationsRecordedDuringReportsAreNotLost) {
  FakeAgent agent;
  const int kObservations = 20000;
  std::thread recorder([&] {
    for (int i = 0; i < kObservations; ++i)
      record(1, ("10.0.0." + std::to_string(i % 37)).c_str(), "");
  });
  for (int i = 0; i < 50; ++i) list.sendIPBaseConnTrafficToParent("127.0.0.1", agent.port());
  recorder.join();
  long long total = 0;
  for (const auto& e : list.rawTraffic(1)) total += e.second;
  size_t sent = 0;
  for (const Logged& l : log->atLevel(4)) sent += l.text.find(kKinds[0].sent) != std::string::npos;
  for (const auto& r : agent.waitForLines(sent)) {
    size_t countField = 0;  // "key:time;scanner;type;COUNT;ip"
    for (int i = 0; i < 3; ++i) countField = r.line.find(';', countField) + 1;
    total += atoi(r.line.c_str() + countField);
  }
  for (const Logged& l : log->atLevel(1)) EXPECT_EQ(kThread + kKinds[0].empty, l.text);
  EXPECT_EQ(kObservations, total);
}

TEST_F(TrafficReportTest, SendTrafficToSelfSendsOneLine) {
  FakeAgent agent;
  RawConnTrafficItem item;
  item.timeStamp = 5, item.ip = "10.0.0.5", item.sender = "a@x", item.type = 2;
  item.scannerId = 7;
  list.sendTrafficToSelf("127.0.0.1", agent.port(), item);
  EXPECT_EQ("ORCAS-Conn-MSG:5;7;2;1;10.0.0.5;a@x\n", agent.waitForLines(1).at(0).line);
  EXPECT_EQ((std::vector<Logged>{
                {4, kThread + "self server:127.0.0.1/" + std::to_string(agent.port())},
                {4, kThread + "send SMTP Traffic Throttling traffic log to self smtp "
                              "agent:ORCAS-Conn-MSG:5;7;2;1;10.0.0.5;a@x\n"}}),
            log->lines());
  log = &CaptureSink::install();
  list.sendTrafficToSelf("127.0.0.1", traffic_test::closedPort(), item);
  EXPECT_EQ((std::vector<Logged>{{1, kThread + "sendTrafficToSelf() connect() failure, err msg "
                                               "is Connection refused!"}}),
            log->atLevel(1));
}

}  // namespace
