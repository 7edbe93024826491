// The blocked-connection CSV log when its directory fails the pool: a
// directory that is missing or on a read-only file system makes the set-up
// fail, and a file system that fills up makes the rows fail. The blocked items
// stay in the worker's list with their counts and are written once the
// directory is usable again; the pool answers throughout.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
const char kIpBlocked[] = "action=421 4.7.0 Too much traffic from your IP address, try again later\n\n";
const char kSenderBlocked[] = "action=450 4.7.1 Too much traffic from this sender, try again later\n\n";
const char kBlockedIp[] = "203.0.113.66";
const char kBlockedSender[] = "spammer@spam.example";
const char kSetUpFailed[] = "normal In SmtpConnBlockedList cannot init smtp conn blocked CSV log, failed!";
const char kRowFailed[] = "normal In SmtpConnBlockedList cannot write blocked log row [";
// The blocked-log thread looks every 10 s: two looks, with room for a loaded machine.
const int kTwoLooksMs = 25000;

void configure(const Installation& home) {
  home.logAtDebugLevel();
  home.setKelpIni("smtp_traffic_throttling", "blocked_log_interval", "1");
  home.setKelpIni("smtp_traffic_throttling", "blocked_log_path", kCsvDir);
}

// Asks the kept worker (port 998) and checks the answer came promptly.
void expectBlocked(const std::string& answer, const std::string& stage, const std::string& sender) {
  long long start = nowMs();
  EXPECT_EQ(answer, ask(998, policyRequest({{"protocol_state", stage},
                                           {"client_address", stage == "CONNECT" ? kBlockedIp : "198.51.100.23"},
                                           {"sender", sender}})));
  EXPECT_LT(nowMs() - start, 2000) << "answered promptly";
}
void blockIp() { expectBlocked(kIpBlocked, "CONNECT", ""); }
void blockSender() { expectBlocked(kSenderBlocked, "MAIL", kBlockedSender); }

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

bool waitForCounts(const Installation& home, const std::map<std::string, int>& want, int timeoutMs) {
  return waitUntil([&] { return home.exists(kCsv) && countsOf(parseCsv(home.read(kCsv))) == want; }, timeoutMs);
}

void expectPoolAnswers(const Installation& home) {
  for (int port : {998, 999})
    EXPECT_EQ(kIpBlocked, ask(port, policyRequest({{"protocol_state", "CONNECT"}, {"client_address", kBlockedIp}})));
  EXPECT_EQ(20u, home.poolPids().size());
}

// Ways to make the CSV directory unusable before the first write, and to
// repair it.
struct Unusable {
  const char* label;
  std::function<bool(const Installation&, std::unique_ptr<TmpfsMount>&)> breakIt;
  std::function<bool(const Installation&, std::unique_ptr<TmpfsMount>&)> repair;
};

const Unusable kUnusable[] = {
    {"Missing",
     [](const Installation&, std::unique_ptr<TmpfsMount>&) { return true; },
     [](const Installation& home, std::unique_ptr<TmpfsMount>&) {
       return mkdir(home.path(kCsvDir).c_str(), 0755) == 0;
     }},
    {"ReadOnlyFileSystem",
     [](const Installation& home, std::unique_ptr<TmpfsMount>& fs) {
       fs.reset(new TmpfsMount(home.path(kCsvDir), "size=64k", true));
       return fs->mounted();
     },
     [](const Installation&, std::unique_ptr<TmpfsMount>& fs) { return fs->remount(false); }},
};

class CsvSetUpFails : public testing::TestWithParam<int> {};

TEST_P(CsvSetUpFails, ItemsStayAndAreWrittenOnceTheDirectoryIsUsable) {
  const Unusable& c = kUnusable[GetParam()];
  ASSERT_TRUE(ensureKelpAccount());
  ASSERT_TRUE(enterPrivateMountNamespace());
  Installation home;
  configure(home);
  std::unique_ptr<TmpfsMount> fs;
  ASSERT_TRUE(c.breakIt(home, fs));
  ASSERT_EQ(-1, home.start());
  {
    OneWorker one(home);
    ASSERT_TRUE(one.ready());
    blockIp();
    blockIp();
    blockSender();
    ASSERT_TRUE(home.waitForLog(inProcess(one.pid(), kSetUpFailed), kTwoLooksMs));
    EXPECT_FALSE(home.exists(kCsv));
    blockIp();  // joins the item that is still held

    ASSERT_TRUE(c.repair(home, fs));
    EXPECT_TRUE(waitForCounts(home, {{kBlockedIp, 3}, {kBlockedSender, 1}}, kTwoLooksMs)) << home.read(kCsv);
    CsvFile csv = parseCsv(home.read(kCsv));
    EXPECT_EQ(kHeader, csv.header);
    EXPECT_EQ(2u, csv.rows.size()) << "one row per item: nothing was written twice";
    EXPECT_EQ(1, home.countLog(kSetUpFailed)) << "the next look set the log up";
  }
  expectPoolAnswers(home);
}

INSTANTIATE_TEST_SUITE_P(CsvFaults, CsvSetUpFails, testing::Range(0, 2),
                         [](const testing::TestParamInfo<int>& info) { return kUnusable[info.param].label; });

// The file system fills up while rows are appended: the row that does not fit
// is taken back whole, the failure names it, and it and the rows after it are
// written once space is freed.
TEST(CsvFaults, FullFileSystemKeepsTheRowsUntilSpaceIsFreed) {
  ASSERT_TRUE(ensureKelpAccount());
  ASSERT_TRUE(enterPrivateMountNamespace());
  Installation home;
  configure(home);
  TmpfsMount fs(home.path(kCsvDir), "size=64k");
  ASSERT_TRUE(fs.mounted());
  // An earlier row that leaves a few bytes of the file's page free, so that
  // the next row is cut by the full file system in the middle.
  std::string earlier = std::string(kHeader) + "\nDec 03 2026 23:40:00 UTC\t198.51.100.9\t";
  const size_t kPage = 4096, kFree = 10;
  earlier += std::string(kPage - kFree - earlier.size() - 5, 'x') + "\t2\t0\n";
  ASSERT_EQ(kPage - kFree, earlier.size());
  home.write(kCsv, earlier);
  ASSERT_LT(0, fillUp(home.path("csv/filler")));
  ASSERT_EQ(-1, home.start());
  {
    OneWorker one(home);
    ASSERT_TRUE(one.ready());
    blockIp();
    blockIp();
    blockSender();
    ASSERT_TRUE(home.waitForLog(inProcess(one.pid(), kRowFailed), kTwoLooksMs));
    std::string failure;
    for (const auto& line : home.logLines())
      if (line.find(kRowFailed) != std::string::npos) failure = line;
    EXPECT_NE(std::string::npos, failure.find("No space left on device")) << failure;
    EXPECT_NE(std::string::npos, failure.find(" rows kept for the next write")) << failure;
    EXPECT_TRUE(failure.find(std::string(",") + kBlockedIp + ",,1,2]") != std::string::npos ||
                failure.find(std::string(",") + kBlockedSender + ",2,1]") != std::string::npos)
        << "names the row: " << failure;
    EXPECT_EQ(earlier, home.read(kCsv)) << "no part of a row is left behind";
    blockIp();

    ASSERT_EQ(0, unlink(home.path("csv/filler").c_str()));
    EXPECT_TRUE(waitForCounts(home, {{kBlockedIp, 3}, {kBlockedSender, 1}}, kTwoLooksMs))
        << home.read(kCsv);
    CsvFile csv = parseCsv(home.read(kCsv));
    EXPECT_EQ(kHeader, csv.header);
    ASSERT_EQ(3u, csv.rows.size()) << home.read(kCsv);
    for (const auto& row : csv.rows) EXPECT_NE("", row.count) << "every row whole";
  }
  expectPoolAnswers(home);
}

}  // namespace
}  // namespace e2e
