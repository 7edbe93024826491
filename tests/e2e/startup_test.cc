// Start-up of the pool: exit statuses, the pid file, the log lines of a start,
// and a second start while the pool runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/pool_watch.h"

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
  EXPECT_EQ(kNonNeed, ask(998, policyRequest({{"protocol_state", "CONNECT"}})));
  EXPECT_EQ(kUnused, ask(999, policyRequest()));

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

// A second start while the pool runs: its init recreates the flag files, then
// it finds the pid file, removes it and ends with 1; the running workers
// reload at their next request. A third start claims the pid file anew and
// fails at binding.
TEST(Startup, SecondStartReloadsThePoolAndThirdFailsOnThePorts) {
  Installation second;  // same home; destroyed after `home`, once the pool is gone
  Installation home;
  home.write("config/tls_policy.ini", "[default]\nlevel = may\ncipher = medium\n");
  ASSERT_EQ(-1, home.start());
  const std::string tlsMail = policyRequest({{"encryption_cipher", "TLS_AES_256_GCM_SHA384"}});
  EXPECT_EQ(kUsed, ask(999, tlsMail));
  home.write("config/tls_policy.ini", "[default]\nlevel = none\ncipher = medium\n");
  std::string pid = home.read("bin/keelgate.pid");
  pid_t running = home.mainPid();

  EXPECT_EQ(1, second.startWithHome(home.home().c_str()));
  EXPECT_EQ(1, home.countLog("normal found existing pid file, please use \"killall keelgate\" to kill existing processes"));
  EXPECT_FALSE(home.exists("bin/keelgate.pid"));
  EXPECT_EQ(20u, flaggedWorkers(home).size()) << "flag files recreated for the running workers";
  EXPECT_EQ(255, second.startWithHome(home.home().c_str()));
  EXPECT_EQ(1, home.countLog("normal fail to bind socket for connection, err [Address already in use], keel gate exit"));
  EXPECT_NE(pid, home.read("bin/keelgate.pid"));
  EXPECT_EQ(0, kill(running, 0)) << "the running pool is untouched";

  EXPECT_TRUE(serveUntilFlagsGone(home, [&](int, int) { return tlsMail; },
                                  [](int port, int n, const std::string& answer) {
                                    EXPECT_EQ(kNoTlsAllowed, answer) << "request " << n << " on " << port;
                                  }));
  EXPECT_EQ(20, home.countLog("normal Need to reload configuration due to signal captured"));
  EXPECT_EQ(20u, home.poolPids().size());
}

}  // namespace
}  // namespace e2e
