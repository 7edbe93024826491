// Start-up of the pool: exit statuses, the pid file, the log lines of a start,
// and stopping processes one by one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

TEST(Startup, PoolOfTwentyAnswersAndPidFileNamesTheMainProcess) {
  Installation home;
  home.logAtDebugLevel();
  ASSERT_EQ(-1, home.start());
  EXPECT_EQ(20u, home.poolPids().size());
  EXPECT_EQ(std::to_string(home.mainPid()), home.read("bin/keelgate.pid")) << "no line feed";
  struct stat st;
  ASSERT_EQ(0, stat(home.path("bin/keelgate.pid").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_NE(home.mainPid(), getpgid(home.mainPid())) << "the main process is not a group leader";
  EXPECT_EQ("action=DUNNO Non-need check\n\n", ask(998, policyRequest({{"protocol_state", "CONNECT"}})));
  EXPECT_EQ("action=PREPEND X-KELP-TLS-USAGE: Unused\n\n", ask(999, policyRequest()));

  EXPECT_EQ(1, home.countLog("normal --- keelgate --- "));
  EXPECT_EQ(1, home.countLog("normal There is no existing pid file"));
  EXPECT_EQ(0, home.countLog("current scanner is child"));
  EXPECT_EQ(1, home.countLog("debug scanner id of this machine is 1"));
  EXPECT_EQ(1, home.countLog("debug get parent ip:127.0.0.1 from /config/slave.nfo"));
  EXPECT_EQ(1, home.countLog("debug get parent SMTP agent port :10040 from /config/kelp.ini"));
  EXPECT_LT(0, home.countLog("debug Cipher suites type is [High], cipher is [TLS_AES_256_GCM_SHA384], length is [256]"));
  EXPECT_TRUE(home.waitForLog("debug Success to remove flag file [", 5000, 20));
  EXPECT_FALSE(home.exists("bin/cipher_high"));
  EXPECT_FALSE(home.exists("bin/cipher_medium"));
}

TEST(Startup, ChildRoleIsLogged) {
  Installation home;
  home.setKelpIni("kelp_manager", "role", "child");
  ASSERT_EQ(-1, home.start());
  EXPECT_TRUE(home.waitForLog("normal current scanner is child"));
}

TEST(Startup, ExitStatuses) {
  {
    Installation home;
    EXPECT_EQ(0, home.startWithHome(nullptr)) << "KELP_HOME unset";
    EXPECT_EQ(0, home.startWithHome("")) << "KELP_HOME empty";
    std::string long512 = "/" + std::string(511, 'k');
    EXPECT_EQ(0, home.startWithHome(long512.c_str())) << "KELP_HOME of 512 bytes";
    std::string long511 = "/" + std::string(510, 'k');
    EXPECT_EQ(255, home.startWithHome(long511.c_str())) << "511 bytes pass the length check, then init fails";
    EXPECT_FALSE(home.exists("log/keelgate.log"));
  }
  {
    Installation home;
    home.remove("config/kelp.ini");
    EXPECT_EQ(255, home.start()) << "missing kelp.ini";
    EXPECT_FALSE(home.exists("log/keelgate.log")) << "no log output without kelp.ini";
    EXPECT_FALSE(home.exists("bin/keelgate.pid"));
  }
  {
    Installation home;
    home.write("script/openssl", "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/calls\"\nexit 3\n", 0755);
    EXPECT_EQ(255, home.start()) << "failing openssl";
    EXPECT_EQ(1, home.countLog("normal Run command (" + home.home() +
                               "/script/openssl ciphers -v \"HIGH\" >" + home.home() +
                               "/bin/cipher_high) error: 768"));
    EXPECT_EQ("ciphers -v HIGH\n", home.read("script/calls")) << "no MEDIUM run after HIGH failed";
    EXPECT_FALSE(home.exists("bin/keelgate.pid"));
  }
  {
    Installation home;
    home.write("script/openssl", "#!/bin/sh\nexit 0\n", 0755);
    home.write("script/openssl", "#!/bin/sh\nexit 0\n", 0755);
    // Exits 0 but leaves no listing: the redirection is the shell's, so
    // remove the file again from inside the fake tool.
    home.write("script/openssl", "#!/bin/sh\nrm -f \"$(dirname \"$0\")/../bin/cipher_high\"\nexit 0\n", 0755);
    EXPECT_EQ(255, home.start()) << "listing missing";
    EXPECT_EQ(1, home.countLog("normal access cipher list file error: 0"));
  }
  {
    Installation home;
    home.remove("config/slave.nfo");
    EXPECT_EQ(255, home.start()) << "missing slave.nfo";
    EXPECT_TRUE(home.exists("bin/keelgate.pid")) << "the pid file was claimed before";
    EXPECT_EQ(0, home.countLog("parent ip"));
  }
  {
    Installation home;
    home.write("config/slave.nfo", "[master]\n");
    EXPECT_EQ(255, home.start()) << "slave.nfo without master_ip";
    EXPECT_EQ(1, home.countLog("normal can't get parent ip from /config/slave.nfo"));
  }
}

TEST(Startup, SecondStartRemovesThePidFileAndThirdFailsOnThePorts) {
  Installation home;
  ASSERT_EQ(-1, home.start());
  std::string pid = home.read("bin/keelgate.pid");
  Installation second;  // same home, second daemon
  // A second start while the pool runs: init recreates the flag files, then
  // the pid file is found, removed, and the start ends with 1.
  pid_t running = home.mainPid();
  EXPECT_EQ(1, second.startWithHome(home.home().c_str()));
  EXPECT_EQ(1, home.countLog("normal found existing pid file, please use \"killall keelgate\" to kill existing processes"));
  EXPECT_FALSE(home.exists("bin/keelgate.pid"));
  EXPECT_TRUE(home.exists("bin/keelgate.r5")) << "flag files recreated for the running workers";
  // The third start claims the pid file anew and fails at binding.
  EXPECT_EQ(255, second.startWithHome(home.home().c_str()));
  EXPECT_EQ(1, home.countLog("normal fail to bind socket for connection, err [Address already in use], keel gate exit"));
  EXPECT_NE(pid, home.read("bin/keelgate.pid"));
  EXPECT_EQ(0, kill(running, 0)) << "the running pool is untouched";
}

TEST(Startup, SigtermToTheMainProcessStopsWorkerNineOnly) {
  Installation home;
  ASSERT_EQ(-1, home.start());
  pid_t main = home.mainPid();
  ASSERT_EQ(0, kill(main, SIGTERM));
  for (int i = 0; i < 200 && kill(main, 0) == 0; ++i) {
    reapExited();
    usleep(10000);
  }
  reapExited();
  EXPECT_NE(0, kill(main, 0));
  EXPECT_EQ(19u, home.poolPids().size());
  EXPECT_EQ(1, home.countLog("normal success to capture stop signal, keelgate daemon process will stop"));
  EXPECT_EQ(1, home.countLog("normal flush blocked SMTP Traffic Throttling log from memory to file"));
  EXPECT_EQ(1, home.countLog("normal accept client error in process " + std::to_string(main) +
                             ": Interrupted system call"));
  EXPECT_TRUE(home.exists("bin/keelgate.pid")) << "the pid file stays";
  for (int i = 0; i < 20; ++i) EXPECT_EQ("220 i am ok\n", ask(998, "ping\n"));
}

}  // namespace
}  // namespace e2e
