#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <cerrno>
#include <thread>

#include "tests/unit/capture_log.h"
#include "tests/unit/traffic_test_support.h"
#include "throttling/smtp_conn_traffic_list.h"

namespace {

using keelgate_test::CaptureSink;
using traffic_test::FakeAgent;
using keelgate_test::LogLine;
typedef void (SmtpConnTrafficList::*Report)(std::string, int);

const std::string kThread = "[SMTP Traffic Throttling agent send thread]";

class TrafficReportTest : public ::testing::Test {
 protected:
  void SetUp() override { log = &keelgate_test::captureLog(); }
  void record(int type, const char* ip, const char* sender, time_t at = 100) {
    RawConnTrafficItem item;
    item.timeStamp = static_cast<int32_t>(at), item.ip = ip, item.sender = sender;
    item.type = type, item.scannerId = 7;
    list.recordTrafficConn(item);
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
    log = &keelgate_test::captureLog();
    FakeAgent agent;
    record(k.type, "10.0.0.5", "b@x", 100);
    record(k.type, "10.0.0.5", "b@x", 150);
    record(k.type, "10.0.0.1", "a@x", 101);
    (list.*k.report)("127.0.0.1", agent.port());
    agent.accept();
    EXPECT_EQ((std::vector<std::string>{want[k.type - 1][0], want[k.type - 1][1]}),
              agent.readAll())
        << k.name;
    EXPECT_TRUE(list.rawTraffic(k.type).empty()) << k.name;
    EXPECT_TRUE(log->has(4, kThread + k.sent + want[k.type - 1][1])) << k.name;
    EXPECT_EQ(k.type == 1, log->has(4, kThread + "Parent server:127.0.0.1/" +
                                           std::to_string(agent.port())))
        << k.name;
  }
}

TEST_F(TrafficReportTest, EmptyMapOnlySkipsAndUnreachableParentLosesTheCounts) {
  for (const Kind& k : kKinds) {
    log = &keelgate_test::captureLog();
    (list.*k.report)("127.0.0.1", traffic_test::closedPort());
    EXPECT_EQ((std::vector<LogLine>{{1, kThread + k.empty}}), log->lines()) << k.name;
    log = &keelgate_test::captureLog();
    record(k.type, "10.0.0.5", "b@x");
    (list.*k.report)("127.0.0.1", traffic_test::closedPort());
    EXPECT_EQ((std::vector<LogLine>{{1, kThread + withError(k.connectFailed, ECONNREFUSED)}}),
              log->at(1))
        << k.name;
    EXPECT_TRUE(list.rawTraffic(k.type).empty()) << k.name;
  }
  FakeAgent agent;
  record(1, "10.0.0.5", "");
  list.sendIPBaseConnTrafficToParent("127.0.0.1", agent.port() + 65536);  // port modulo 65536
  agent.accept();
  EXPECT_EQ(std::vector<std::string>{"ORCAS-Conn-IP:100;7;1;1;10.0.0.5\n"}, agent.readAll())
      << "the next report starts from zero";
}

TEST_F(TrafficReportTest, LineMeetingAClosedPeerIsResentOnANewConnection) {
  FakeAgent agent;
  std::vector<std::string> first;
  // After the first line, the agent takes it and resets the connection, so
  // the second line meets the reset.
  log->setHook([&](const std::string& text) {
    if (!first.empty() || text.find(kKinds[0].sent) == std::string::npos) return;
    agent.accept();
    first = agent.readLines(1);
    agent.reset();
  });
  for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) record(1, ip, "");
  list.sendIPBaseConnTrafficToParent("127.0.0.1", agent.port());
  agent.accept();
  const std::string l2 = "ORCAS-Conn-IP:100;7;1;1;10.0.0.2\n";
  EXPECT_EQ(std::vector<std::string>{"ORCAS-Conn-IP:100;7;1;1;10.0.0.1\n"}, first);
  EXPECT_EQ((std::vector<std::string>{l2, "ORCAS-Conn-IP:100;7;1;1;10.0.0.3\n"}), agent.readAll());
  std::vector<LogLine> failures = log->at(1);
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
  long long total = 0;
  for (int i = 0; i < 50; ++i) {
    log = &keelgate_test::captureLog();
    list.sendIPBaseConnTrafficToParent("127.0.0.1", agent.port());
    if (log->at(4).empty()) continue;  // the map was empty: no connection
    agent.accept();
    for (const std::string& line : agent.readAll()) {
      size_t countField = 0;  // "key:time;scanner;type;COUNT;ip"
      for (int f = 0; f < 3; ++f) countField = line.find(';', countField) + 1;
      total += atoi(line.c_str() + countField);
    }
    EXPECT_TRUE(log->at(1).empty());
  }
  recorder.join();
  for (const auto& e : list.rawTraffic(1)) total += e.second;
  EXPECT_EQ(kObservations, total);
}

TEST_F(TrafficReportTest, SendTrafficToSelfSendsOneLine) {
  FakeAgent agent;
  RawConnTrafficItem item;
  item.timeStamp = 5, item.ip = "10.0.0.5", item.sender = "a@x", item.type = 2;
  item.scannerId = 7;
  list.sendTrafficToSelf("127.0.0.1", agent.port(), item);
  agent.accept();
  EXPECT_EQ(std::vector<std::string>{"ORCAS-Conn-MSG:5;7;2;1;10.0.0.5;a@x\n"}, agent.readAll());
  EXPECT_EQ((std::vector<LogLine>{
                {4, kThread + "self server:127.0.0.1/" + std::to_string(agent.port())},
                {4, kThread + "send SMTP Traffic Throttling traffic log to self smtp "
                              "agent:ORCAS-Conn-MSG:5;7;2;1;10.0.0.5;a@x\n"}}),
            log->lines());
}

}  // namespace
