// The blocked-connection CSV log on a file system that fills up while a row
// is appended: the row is taken back whole and named in the log, the pool
// answers throughout, and the held rows are written once space is freed.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

const char kRowFailed[] = "normal In SmtpConnBlockedList cannot write blocked log row [";

// A 64 KB tmpfs on `dir`, in a mount namespace of this test process's own
// (which the daemon inherits), detached again at the end.
struct SmallFileSystem {
  explicit SmallFileSystem(const std::string& dir) : dir(dir) {
    mkdir(dir.c_str(), 0755);
    mounted = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("keelgate-test", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0;
  }
  ~SmallFileSystem() { umount2(dir.c_str(), MNT_DETACH); }
  std::string dir;
  bool mounted = false;
};

TEST(CsvFaults, FullFileSystemKeepsTheRowsUntilSpaceIsFreed) {
  ASSERT_EQ(0, system(KEELGATE_SOURCE_DIR "/scripts/kelp-account.sh")) << "the CSV log's owner";
  Installation home;
  SmallFileSystem fs(home.path("csv"));
  ASSERT_TRUE(fs.mounted);
  home.setKelpIni("smtp_traffic_throttling", "blocked_log_interval", "1");
  home.setKelpIni("smtp_traffic_throttling", "blocked_log_path", "csv");
  // An earlier row that leaves 10 bytes of the file's page free, so that the
  // next row is cut by the full file system in the middle.
  std::string earlier = "szTimez\tszIP\tszSender\tiType\tiCount\nDec 03 2026 23:40:00 UTC\t198.51.100.9\t";
  earlier += std::string(4096 - 10 - earlier.size() - 5, 'x') + "\t2\t0\n";
  home.write("csv/smtp_conn_blocked.csv", earlier);
  // The pool writes as kelp.
  ASSERT_EQ(0, system(("chown -R kelp:kelp '" + home.path("csv") + "'").c_str()));
  { std::ofstream filler(home.path("csv/filler")); while (filler << std::string(4096, '0')) {} }
  ASSERT_EQ(-1, home.start());
  ASSERT_TRUE(home.keepOnly(home.mainPid()));  // every block in one worker's list

  for (int i = 0; i < 2; ++i) EXPECT_EQ(kIpBlocked, ask(998, stageRequest("CONNECT", "203.0.113.66")));
  EXPECT_EQ(kSenderBlocked, ask(998, stageRequest("MAIL", "198.51.100.23", "spammer@spam.example")));
  // The blocked-log thread looks every 10 s.
  ASSERT_TRUE(home.waitForLog(kRowFailed, 30000));
  std::string failure;
  for (const auto& line : home.logLines())
    if (line.find(kRowFailed) != std::string::npos) failure = line;
  for (const char* part : {",203.0.113.66,,1,2]", "No space left on device", " rows kept for the next write"})
    EXPECT_NE(std::string::npos, failure.find(part)) << failure;
  EXPECT_EQ(earlier, home.read("csv/smtp_conn_blocked.csv")) << "no part of a row is left behind";

  EXPECT_EQ(kIpBlocked, ask(998, stageRequest("CONNECT", "203.0.113.66")));
  ASSERT_EQ(0, unlink(home.path("csv/filler").c_str()));
  const std::map<std::string, int> want = {{"203.0.113.66", 3}, {"spammer@spam.example", 1}};
  EXPECT_TRUE(waitUntil([&] { return blockedCounts(home.read("csv/smtp_conn_blocked.csv")) == want; }, 30000))
      << home.read("csv/smtp_conn_blocked.csv");
  EXPECT_EQ(20u, home.poolPids().size());
}

}  // namespace
}  // namespace e2e
