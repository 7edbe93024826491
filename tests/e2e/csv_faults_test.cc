// The blocked-connection CSV log when its directory fails the pool: a
// read-only file system makes the set-up fail, and a file system that fills
// up makes the rows fail. The blocked items
// stay in the worker's list with their counts and are written once the
// directory is usable again; the pool answers throughout.
#include <gtest/gtest.h>

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tests/e2e/csv_support.h"
#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/one_worker.h"
#include "tests/e2e/pool_watch.h"
#include "tests/e2e/private_mount.h"
#include "tests/e2e/report_worker.h"

namespace e2e {
namespace {

const char kCsvDir[] = "csv";
const char kCsv[] = "csv/smtp_conn_blocked.csv";
const char kHeader[] = "szTimez\tszIP\tszSender\tiType\tiCount";
const char kBlockedIp[] = "203.0.113.66";
const char kBlockedSender[] = "spammer@spam.example";
const char kSetUpFailed[] = "normal In SmtpConnBlockedList cannot init smtp conn blocked CSV log, failed!";
const char kRowFailed[] = "normal In SmtpConnBlockedList cannot write blocked log row [";
// The blocked-log thread looks every 10 s: two looks, with room for a loaded machine.
const int kTwoLooksMs = 25000;

// Asks the kept worker (port 998) and checks the answer came promptly.
void expectBlocked(const std::string& answer, const std::string& stage, const std::string& sender) {
  long long start = nowMs();
  EXPECT_EQ(answer, ask(998, stageRequest(stage, stage == "CONNECT" ? kBlockedIp : "198.51.100.23", sender)));
  EXPECT_LT(nowMs() - start, 2000) << "answered promptly";
}
void blockIp() { expectBlocked(kIpBlocked, "CONNECT", ""); }

// Counts per IP (IP rows) or per sender (sender rows) over all rows; a row
// of count 0 adds nothing.
std::map<std::string, int> countsOf(const CsvFile& csv) {
  std::map<std::string, int> counts;
  for (const auto& row : csv.rows) {
    int n = atoi(row.count.c_str());
    if (n != 0) counts[row.sender.empty() ? row.ip : row.sender] += n;
  }
  return counts;
}

// The CSV directory of a pool that blocks every 10 s, in a mount namespace
// of the test's own, with one worker kept to serve port 998.
class CsvFaults : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ensureKelpAccount());
    ASSERT_TRUE(enterPrivateMountNamespace());
    home.logAtDebugLevel();
    home.setKelpIni("smtp_traffic_throttling", "blocked_log_interval", "1");
    home.setKelpIni("smtp_traffic_throttling", "blocked_log_path", kCsvDir);
  }

  // Starts the pool, blocks the IP twice and the sender once, and waits for
  // the worker to log `failure`.
  void startAndBlock(const char* failure) {
    ASSERT_EQ(-1, home.start());
    one.reset(new OneWorker(home));
    ASSERT_TRUE(one->ready());
    blockIp();
    blockIp();
    expectBlocked(kSenderBlocked, "MAIL", kBlockedSender);
    ASSERT_TRUE(home.waitForLog(inProcess(one->pid(), failure), kTwoLooksMs));
  }

  // One more block joins the held item; once repaired, every item is written
  // in `rows` rows.
  void expectWrittenOnceRepaired(const std::function<bool()>& repair, size_t rows) {
    blockIp();
    ASSERT_TRUE(repair());
    const std::map<std::string, int> want = {{kBlockedIp, 3}, {kBlockedSender, 1}};
    EXPECT_TRUE(waitUntil([&] { return home.exists(kCsv) && countsOf(parseCsv(home.read(kCsv))) == want; },
                          kTwoLooksMs))
        << home.read(kCsv);
    CsvFile csv = parseCsv(home.read(kCsv));
    EXPECT_EQ(kHeader, csv.header);
    ASSERT_EQ(rows, csv.rows.size()) << home.read(kCsv);
    for (const auto& row : csv.rows) EXPECT_NE("", row.count) << "every row whole";
  }

  void expectPoolAnswers() {
    one.reset();
    for (int port : {998, 999}) EXPECT_EQ(kIpBlocked, ask(port, connectFrom(kBlockedIp)));
    EXPECT_EQ(20u, home.poolPids().size());
  }

  Installation home;
  std::unique_ptr<TmpfsMount> fs;
  std::unique_ptr<OneWorker> one;  // resumes the pool before `home` stops it
};

// A read-only file system makes the set-up fail (a missing directory, the
// same path, is smtp_conn_blocked_list_test.cc's): the items are held and
// written once the file system is writable again, one row per item. The
// next look sets the log up.
TEST_F(CsvFaults, ReadOnlyFileSystemKeepsTheItemsUntilItIsWritable) {
  fs.reset(new TmpfsMount(home.path(kCsvDir), "size=64k", true));
  ASSERT_TRUE(fs->mounted());
  ASSERT_NO_FATAL_FAILURE(startAndBlock(kSetUpFailed));
  EXPECT_FALSE(home.exists(kCsv));
  expectWrittenOnceRepaired([&] { return fs->remount(false); }, 2);
  EXPECT_EQ(1, home.countLog(kSetUpFailed));
  expectPoolAnswers();
}

// The file system fills up while rows are appended: the row that does not fit
// is taken back whole, the failure names it, and it and the rows after it are
// written once space is freed.
TEST_F(CsvFaults, FullFileSystemKeepsTheRowsUntilSpaceIsFreed) {
  fs.reset(new TmpfsMount(home.path(kCsvDir), "size=64k"));
  ASSERT_TRUE(fs->mounted());
  // An earlier row that leaves a few bytes of the file's page free, so that
  // the next row is cut by the full file system in the middle.
  std::string earlier = std::string(kHeader) + "\nDec 03 2026 23:40:00 UTC\t198.51.100.9\t";
  const size_t kPage = 4096, kFree = 10;
  earlier += std::string(kPage - kFree - earlier.size() - 5, 'x') + "\t2\t0\n";
  ASSERT_EQ(kPage - kFree, earlier.size());
  home.write(kCsv, earlier);
  struct passwd* kelp = getpwnam("kelp");
  ASSERT_EQ(0, chown(home.path(kCsv).c_str(), kelp->pw_uid, kelp->pw_gid)) << "the pool appends as kelp";
  ASSERT_LT(0, fillUp(home.path("csv/filler")));
  ASSERT_NO_FATAL_FAILURE(startAndBlock(kRowFailed));
  std::string failure;
  for (const auto& line : home.logLines())
    if (line.find(kRowFailed) != std::string::npos) failure = line;
  EXPECT_NE(std::string::npos, failure.find("No space left on device")) << failure;
  EXPECT_NE(std::string::npos, failure.find(" rows kept for the next write")) << failure;
  EXPECT_TRUE(failure.find(std::string(",") + kBlockedIp + ",,1,2]") != std::string::npos ||
              failure.find(std::string(",") + kBlockedSender + ",2,1]") != std::string::npos)
      << "names the row: " << failure;
  EXPECT_EQ(earlier, home.read(kCsv)) << "no part of a row is left behind";
  expectWrittenOnceRepaired([&] { return unlink(home.path("csv/filler").c_str()) == 0; }, 3);
  expectPoolAnswers();
}

}  // namespace
}  // namespace e2e
