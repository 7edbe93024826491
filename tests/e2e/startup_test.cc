// Start and stop of the pool: the exit statuses of starts that fail, the pool
// of twenty with its pid file, later starts on a running pool, and a stop by
// SIGTERM, SIGINT or SIGQUIT that ends each worker with status 0 once it has
// written its pending blocks to the blocked-connection CSV log.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

TEST(Startup, FailedStartsAndTheirExitStatuses) {
  Installation odd;  // never started on itself: runs the daemon on other homes
  const std::string long512 = "/" + std::string(511, 'k'), long511 = "/" + std::string(510, 'k');
  const struct { const char* label; const char* kelpHome; int status; } homes[] = {
      {"KELP_HOME unset", nullptr, 0},
      {"KELP_HOME empty", "", 0},
      {"KELP_HOME of 512 bytes", long512.c_str(), 0},
      {"KELP_HOME of 511 bytes passes the length check, then init fails", long511.c_str(), 255},
  };
  for (const auto& c : homes) EXPECT_EQ(c.status, odd.startWithHome(c.kelpHome)) << c.label;
  for (const char* missing : {"config/kelp.ini", "config/slave.nfo"}) {
    Installation home;
    unlink(home.path(missing).c_str());
    EXPECT_EQ(255, home.start()) << missing << " missing";
  }
  // A broken configuration stops the start before the pid file, naming what
  // is wrong, as `keelgate -t` reports it.
  const struct { const char* file; const char* section; const char* key; const char* value; const char* logged; } bad[] = {
      {"kelp.ini", "smtp_traffic_throttling", "ip_conn_enable", "maybe",
       "section [smtp_traffic_throttling]: bad value [maybe] for key [ip_conn_enable]"},
      {"kelp.ini", "keelgate", "request_timeout", "soon", "bad value [soon] for key [request_timeout]"},
      {"tls_policy.ini", nullptr, nullptr, nullptr, "line 2: not a section or key = value line, skipped: [junk]"},
  };
  for (const auto& c : bad) {
    Installation home;
    if (c.section != nullptr)
      home.setKelpIni(c.section, c.key, c.value);
    else
      home.write("config/tls_policy.ini", "[default]\njunk\n");
    EXPECT_EQ(255, home.start()) << c.logged;
    EXPECT_EQ(1, home.countLog(c.logged)) << c.logged;
    EXPECT_NE(0, access(home.path("bin/keelgate.pid").c_str(), F_OK)) << c.logged;
    std::string check = "KELP_HOME='" + home.home() + "' " KEELGATE_BIN " -t 2>/dev/null";
    EXPECT_EQ(1, WEXITSTATUS(system(check.c_str()))) << c.logged;
  }
}

TEST(Startup, PoolAnswersRefusesASecondStartAndStopsWritingItsBlocks) {
  Installation home;
  // The stop writes the pending blocks only while a counting rule is on.
  home.setKelpIni("smtp_traffic_throttling", "ip_conn_enable", "yes");
  ASSERT_EQ(-1, home.start());
  EXPECT_EQ(std::to_string(home.mainPid()), home.read("bin/keelgate.pid")) << "no line feed";

  for (int i = 0; i < 30; ++i) EXPECT_EQ(kIpBlocked, ask(i % 2 ? 998 : 999, stageRequest("CONNECT", "203.0.113.66")));
  EXPECT_EQ(kSenderBlocked, ask(999, stageRequest("MAIL", "198.51.100.24", "spammer@spam.example")));

  // A second start finds the pid file, removes it and ends; its start-up has
  // flagged every running worker, which reloads keeping its blocks. A third
  // one fails on the ports.
  Installation other;
  EXPECT_EQ(1, other.startWithHome(home.home().c_str()));
  EXPECT_EQ("", home.read("bin/keelgate.pid"));
  EXPECT_EQ(255, other.startWithHome(home.home().c_str()));
  EXPECT_EQ(1, home.countLog("fail to bind socket for connection, err [Address already in use], keel gate exit"));
  EXPECT_TRUE(home.serveUntilFlagsGone([](int) { return stageRequest("CONNECT", "198.51.100.23"); }));
  EXPECT_EQ(20, home.countLog("Need to reload configuration due to signal captured"));

  EXPECT_EQ("", home.read("log/smtp_conn_blocked.csv")) << "its 300 s interval has not passed";
  std::vector<pid_t> pids = home.poolPids();
  ASSERT_EQ(20u, pids.size());
  const int signals[] = {SIGTERM, SIGINT, SIGQUIT};
  for (size_t k = 0; k < pids.size(); ++k) ASSERT_EQ(0, kill(pids[k], signals[k % 3]));
  std::map<pid_t, int> exits;
  EXPECT_TRUE(waitUntil([&] { return exits.merge(reapExited()), home.poolPids().empty(); }, 20000));
  exits.merge(reapExited());
  for (pid_t pid : pids) EXPECT_EQ(0, exits.count(pid) ? exits[pid] : -1) << "worker " << pid;
  EXPECT_EQ(20, home.countLog("normal flush blocked SMTP Traffic Throttling log from memory to file"));
  const std::map<std::string, int> blocked = {{"203.0.113.66", 30}, {"spammer@spam.example", 1}};
  EXPECT_EQ(blocked, blockedCounts(home.read("log/smtp_conn_blocked.csv")))
      << home.read("log/smtp_conn_blocked.csv");
}

}  // namespace
}  // namespace e2e
