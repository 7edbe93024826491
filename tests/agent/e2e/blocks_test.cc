// Over the limit on the parent: the blocks file is written, SIGHUP reaches
// the process of bin/keelgate.pid only when it is keelgate, and a restarted
// agent keeps the block instead of deciding it again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/agent/e2e/agent_home.h"

namespace agenttest {
namespace {

const char kLine[] = "ORCAS-Conn-IP:1800000000;1;1;1;10.0.0.1\n";

void writePid(const AgentHome& home, pid_t pid) { home.write("bin/keelgate.pid", std::to_string(pid) + "\n"); }

TEST(Blocks, FileAndReloadThenKeptOverARestart) {
  AgentHome home;
  home.write("config/kelp.ini", kelpIni(3));
  // A stand-in daemon named keelgate, and another program under a stale pid.
  std::filesystem::copy_file("/bin/sleep", home.path("bin/keelgate"));
  std::filesystem::copy_file("/bin/sleep", home.path("bin/notkeelgate"));
  pid_t daemon = runAsServiceAccount(home.path("bin/keelgate"), "60");
  pid_t stranger = runAsServiceAccount(home.path("bin/notkeelgate"), "60");
  writePid(home, stranger);
  ASSERT_TRUE(home.start());

  int fd = connectTo(10040);
  ASSERT_TRUE(sendAll(fd, std::string(kLine) + kLine));
  ASSERT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_lines_total{rule=\"ip_conn\",source=\"local\"}") == 2; }));
  EXPECT_EQ(home.metric("keelgate_agent_blocks_total{rule=\"ip_conn\"}"), 0) << "two is below the limit of three";
  ASSERT_TRUE(sendAll(fd, kLine));
  ASSERT_TRUE(waitUntil([&] { return !home.read("bin/keelgate-agent.blocks").empty(); }));
  std::string blocks = home.read("bin/keelgate-agent.blocks");
  EXPECT_EQ(blocks.substr(0, 13), "1\t10.0.0.1\t\t1") << blocks;
  EXPECT_EQ(home.metric("keelgate_agent_reloads_sent_total"), 0) << "the stale pid is not keelgate";
  EXPECT_NE(home.read("log/keelgate-agent.log").find("is not keelgate"), std::string::npos);
  int status = 0;
  EXPECT_EQ(waitpid(stranger, &status, WNOHANG), 0) << "the stranger lives on";

  writePid(home, daemon);
  ASSERT_TRUE(sendAll(fd, "ORCAS-Conn-IP:1800000000;1;1;3;10.0.0.2\n"));
  ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP);
  EXPECT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_reloads_sent_total") == 1; }));
  EXPECT_EQ(home.metric("keelgate_agent_blocks_active"), 2);
  close(fd);
  EXPECT_EQ(home.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(home.path("bin/keelgate-agent.pid")));

  // Restarted: the blocks come back from the file; the blocked key is not
  // counted, so more lines from it decide nothing new.
  ASSERT_TRUE(home.start());
  EXPECT_EQ(home.metric("keelgate_agent_blocks_active"), 2);
  fd = connectTo(10040);
  ASSERT_TRUE(sendAll(fd, std::string(kLine) + kLine + kLine + kLine));
  ASSERT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_lines_total{rule=\"ip_conn\",source=\"local\"}") == 4; }));
  EXPECT_EQ(home.metric("keelgate_agent_blocks_total{rule=\"ip_conn\"}"), 0);
  EXPECT_EQ(home.metric("keelgate_agent_keys{rule=\"ip_conn\"}"), 0);
  close(fd);
  kill(stranger, SIGKILL);
  waitpid(stranger, &status, 0);
}

TEST(Blocks, SighupTakesNewLimitsAndKeepsThemOverABadFile) {
  AgentHome home;
  home.write("config/kelp.ini", kelpIni(5));
  ASSERT_TRUE(home.start());
  int fd = connectTo(10040);
  ASSERT_TRUE(sendAll(fd, std::string(kLine) + kLine + kLine));
  ASSERT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_keys{rule=\"ip_conn\"}") == 1; }));

  home.write("config/kelp.ini", kelpIni(3));
  kill(home.pid(), SIGHUP);
  ASSERT_TRUE(waitUntil([&] { return home.read("log/keelgate-agent.log").find("settings reloaded") != std::string::npos; }));
  ASSERT_TRUE(sendAll(fd, kLine));  // the fourth, counted under the new limit of three
  EXPECT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_blocks_total{rule=\"ip_conn\"}") == 1; }));

  home.write("config/kelp.ini", kelpIni(3, "store_interval = 0\n"));
  kill(home.pid(), SIGHUP);
  ASSERT_TRUE(waitUntil([&] { return home.read("log/keelgate-agent.log").find("running settings stay") != std::string::npos; }));
  ASSERT_TRUE(sendAll(fd, "ORCAS-Conn-IP:1;1;1;3;10.0.0.2\n"));
  EXPECT_TRUE(waitUntil([&] { return home.metric("keelgate_agent_blocks_total{rule=\"ip_conn\"}") == 2; }));
  close(fd);
  EXPECT_EQ(home.stop(), 0);
}

}  // namespace
}  // namespace agenttest
