#include "throttling/smtp_conn_long_tcp_conn_client.h"

#include <gtest/gtest.h>

#include "tests/unit/capture_log.h"
#include "tests/unit/traffic_test_support.h"

namespace {

using keelgate_test::CaptureSink;
using traffic_test::FakeAgent;
using keelgate_test::LogLine;

const std::string kClient = "[smtpConnLongTcpConnClient] ";
const std::string kSent = kClient + "send SMTP Traffic Throttling traffic log to self smtp agent:";
const std::string kResent =
    kClient + "retry to send SMTP Traffic Throttling traffic log to self smtp agent:";
const std::string kCloseSignal = kClient + "smtp connection server send the close siginal";

class LongTcpConnClientTest : public ::testing::Test {
 protected:
  void SetUp() override { log = &keelgate_test::captureLog(); }
  // Sends the observation of client `ip` and returns its line.
  std::string send(const char* ip) {
    RawConnTrafficItem item;
    item.timeStamp = 9, item.ip = ip, item.type = 1, item.scannerId = 2;
    client.sendTrafficLog(item, closeFlag);
    return std::string("ORCAS-Conn-IP:9;2;1;1;") + ip + "\n";
  }
  std::vector<LogLine> since(size_t mark) {
    std::vector<LogLine> all = log->lines();
    return std::vector<LogLine>(all.begin() + mark, all.end());
  }
  CaptureSink* log;
  SmtpConnLongTcpConnClient client;
  std::atomic<bool> closeFlag{false};
};

TEST_F(LongTcpConnClientTest, FirstLineReconnectsThenConnectionIsKept) {
  FakeAgent agent;
  EXPECT_EQ(0, client.fd()) << "constructed";
  client.init("127.0.0.1", agent.port());
  EXPECT_EQ(-1, client.fd()) << "initialised, not connected";
  std::string l1 = send("10.0.0.1"), l2 = send("10.0.0.2");
  agent.accept();
  EXPECT_EQ((std::vector<std::string>{l1, l2}), agent.readLines(2)) << "one connection";
  EXPECT_EQ((std::vector<LogLine>{{4, kClient + "server:127.0.0.1/" + std::to_string(agent.port())},
                                 {4, kResent + l1},
                                 {4, kSent + l2}}),
            log->lines());
}

TEST_F(LongTcpConnClientTest, CloseFlagIsConsumedAndRenewsTheConnection) {
  FakeAgent agent;
  client.init("127.0.0.1", agent.port());
  send("10.0.0.1");
  agent.accept();
  agent.readLines(1);
  closeFlag = true;
  std::string l2 = send("10.0.0.2");
  EXPECT_FALSE(closeFlag);
  EXPECT_TRUE(agent.readAll().empty()) << "old connection closed";
  agent.accept();
  EXPECT_EQ(std::vector<std::string>{l2}, agent.readLines(1));
  EXPECT_EQ((std::vector<LogLine>{{1, kCloseSignal}, {4, kResent + l2}}), since(2));
  closeFlag = true;  // flag set while not connected: nothing to close
  client.init("127.0.0.1", agent.port());
  std::string l3 = send("10.0.0.3");
  agent.accept();
  EXPECT_EQ(std::vector<std::string>{l3}, agent.readLines(1));
  EXPECT_EQ((std::vector<LogLine>{{1, kCloseSignal}, {4, kResent + l3}}), since(5));
}

TEST_F(LongTcpConnClientTest, AbsentAgentDropsEveryLine) {
  client.init("127.0.0.1", traffic_test::closedPort());
  send("10.0.0.1");
  EXPECT_GE(client.fd(), 0) << "the half-made socket stays";
  std::string l2 = send("10.0.0.2");
  std::vector<LogLine> failures = log->at(1);
  const std::string refused =
      kClient + "retry to connect() failure, err msg is Connection refused!";
  ASSERT_EQ(3u, failures.size());
  EXPECT_EQ(refused, failures[0].text);
  EXPECT_EQ(0u, failures[1].text.find(kClient + "failed to send traffic log [" + l2 +
                                      "] to self smtp agent, err msg is "));
  EXPECT_EQ(refused, failures[2].text);
}

TEST_F(LongTcpConnClientTest, LineMeetingAClosedAgentIsResentOnce) {
  // Reset or closed in good order: either way the next line goes out on a new
  // connection instead of into the old one, where it would be lost.
  for (bool abort : {true, false}) {
    FakeAgent agent;
    client.init("127.0.0.1", agent.port());
    send("10.0.0.1");
    agent.accept();
    agent.readLines(1);
    agent.reset(abort);
    size_t mark = log->lines().size();
    std::string l2 = send("10.0.0.2");
    agent.accept();
    EXPECT_EQ(std::vector<std::string>{l2}, agent.readLines(1)) << abort;
    std::vector<LogLine> after = since(mark);
    ASSERT_EQ(2u, after.size());
    EXPECT_EQ(kClient + "failed to send traffic log [" + l2 + "] to self smtp agent, err msg is Broken pipe",
              after[0].text);
    EXPECT_EQ((LogLine{4, kResent + l2}), after[1]);
  }
}

}  // namespace
