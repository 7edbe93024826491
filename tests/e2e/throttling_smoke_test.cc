// A first look at throttling through the pool: a blocked IP at CONNECT and
// the traffic line the local agent receives for a counted connection.
#include <gtest/gtest.h>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"

namespace e2e {
namespace {

TEST(ThrottlingSmoke, BlockedIpAndCountedConnection) {
  Installation home;
  home.logAtDebugLevel();
  home.setKelpIni("smtp_traffic_throttling", "ip_conn_enable", "yes");
  FakeAgent agent(10040);
  ASSERT_TRUE(agent.listening());
  ASSERT_EQ(-1, home.start());
  EXPECT_EQ("action=421 4.7.0 Too much traffic from your IP address, try again later\n\n",
            ask(998, policyRequest({{"protocol_state", "CONNECT"}, {"client_address", "203.0.113.66"}})));
  EXPECT_EQ("action=DUNNO Non-need check\n\n",
            ask(998, policyRequest({{"protocol_state", "CONNECT"}, {"client_address", "198.51.100.23"}})));
  ASSERT_TRUE(agent.waitForLines(1));
  std::string line = agent.lines()[0];
  EXPECT_EQ(0u, line.find("ORCAS-Conn-IP:")) << line;
  EXPECT_NE(std::string::npos, line.find(";1;1;1;198.51.100.23")) << line;
  EXPECT_TRUE(home.waitForLog("retry to send SMTP Traffic Throttling traffic log to self smtp agent:"));
}

}  // namespace
}  // namespace e2e
