#include "throttling/smtp_conn_long_tcp_conn_client.h"

#include <gtest/gtest.h>

#include "tests/unit/capture_log.h"
#include "tests/unit/traffic_test_support.h"

namespace {

using keelgate_test::CaptureSink;
using traffic_test::FakeAgent;
using keelgate_test::LogLine;

const std::string kClient = "[smtpConnLongTcpConnClient] ";
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

// The end-to-end tests check the lines and messages of a first connection, the
// close signal and an absent agent; here the descriptor's states and the
// close flag met while not connected.
TEST_F(LongTcpConnClientTest, DescriptorStatesAndTheCloseFlag) {
  FakeAgent agent;
  EXPECT_EQ(0, client.fd()) << "constructed";
  client.init("127.0.0.1", traffic_test::closedPort());
  EXPECT_EQ(-1, client.fd()) << "initialised, not connected";
  send("10.0.0.1");
  EXPECT_GE(client.fd(), 0) << "the half-made socket of a refused connect stays";
  closeFlag = true;  // set while not connected: nothing to close, the flag is consumed
  client.init("127.0.0.1", agent.port());
  std::string l2 = send("10.0.0.2");
  EXPECT_FALSE(closeFlag);
  agent.accept();
  EXPECT_EQ(std::vector<std::string>{l2}, agent.readLines(1));
  EXPECT_TRUE(log->has(1, kCloseSignal));
  EXPECT_TRUE(log->has(4, kResent + l2));
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
