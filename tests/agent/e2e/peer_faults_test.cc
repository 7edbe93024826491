// Hostile and broken peers on the agent port: junk lines, a line without
// line feed, a megabyte line, a peer that never sends and a peer that is
// neither loopback nor a child. After all of them, everyone else's lines are
// still counted.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "tests/agent/e2e/agent_home.h"

namespace agenttest {
namespace {

const char kLine[] = "ORCAS-Conn-IP:1800000000;1;1;1;10.0.0.1\n";

TEST(PeerFaults, EveryoneElseIsStillCounted) {
  ASSERT_EQ(system("ip addr add 192.0.2.1/32 dev lo"), 0);
  AgentHome home;
  home.write("config/kelp.ini", kelpIni(1000, "listen = 127.0.0.1 192.0.2.1\n"));
  ASSERT_TRUE(home.start()) << home.read("log/keelgate-agent.log");

  int silent = connectTo(10040);
  int junk = connectTo(10040);
  ASSERT_TRUE(sendAll(junk, "junk\nORCAS-Conn-IP:1;1;1;x;10.0.0.1\n"));
  int unfinished = connectTo(10040);
  ASSERT_TRUE(sendAll(unfinished, "ORCAS-Conn-IP:1800000000;1;1;1;10.0.0.9"));
  close(unfinished);
  int huge = connectTo(10040);
  ASSERT_TRUE(sendAll(huge, std::string(1 << 20, 'x') + "\n" + kLine));
  int stranger = connectTo(10040, "192.0.2.1");
  ASSERT_GE(stranger, 0);
  char byte;
  EXPECT_EQ(read(stranger, &byte, 1), 0) << "a stranger is closed at once";
  close(stranger);

  int good = connectTo(10040);
  ASSERT_TRUE(sendAll(good, std::string(kLine) + kLine + "ORCAS-Conn-IP:1800000000;7;1;40;10.0.0.1\n"));
  EXPECT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_lines_total{rule=\"ip_conn\",source=\"local\"}") == 3; }));
  EXPECT_EQ(home.metric("keelgate_agent_lines_total{rule=\"ip_conn\",source=\"child\"}"), 1);
  EXPECT_EQ(home.metric("keelgate_agent_bad_lines_total"), 3);  // two junk lines, one too long
  EXPECT_EQ(home.metric("keelgate_agent_refused_connections_total"), 1);
  EXPECT_EQ(home.metric("keelgate_agent_connections"), 4);  // silent, junk, huge, good
  EXPECT_EQ(home.metric("keelgate_agent_keys{rule=\"ip_conn\"}"), 1);

  std::string log = home.read("log/keelgate-agent.log");
  EXPECT_NE(log.find("refused the connection of 192.0.2.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("(unknown line key): [junk]"), std::string::npos) << log;
  EXPECT_EQ(log.find("bad count field"), std::string::npos) << "one log line per connection and minute";
  for (int fd : {silent, junk, huge, good}) close(fd);
  EXPECT_EQ(home.stop(), 0);
}

TEST(PeerFaults, StartFailsOnAPortInUse) {
  AgentHome home;
  home.write("config/kelp.ini", kelpIni(5));
  int taken = e2e::listenOn("127.0.0.1", 10040);
  ASSERT_GE(taken, 0);
  EXPECT_FALSE(home.start());
  EXPECT_NE(home.read("log/keelgate-agent.log").find("cannot listen on 127.0.0.1:10040: Address already in use"),
            std::string::npos);
  close(taken);
}

}  // namespace
}  // namespace agenttest
