// The blocked-connection CSV log written by the pool: blocks folded per IP and
// per sender into rows at the record interval, its header and owner, and the
// last write when the pool is stopped.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/csv_support.h"
#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/one_worker.h"
#include "tests/e2e/pool_watch.h"
#include "tests/e2e/traffic_line_support.h"

namespace e2e {
namespace {

const char kCsv[] = "log/smtp_conn_blocked.csv";
const char kHeader[] = "szTimez\tszIP\tszSender\tiType\tiCount";

std::string blockIp(const std::string& ip, int port = 998) { return ask(port, connectFrom(ip)); }

std::string blockSender(const std::string& ip, const std::string& sender) {
  return ask(998, policyRequest({{"client_address", ip}, {"sender", sender}}));
}

// Waits until the CSV holds at least `rows` rows; its content either way.
CsvFile waitForRows(const Installation& home, size_t rows, int timeoutMs) {
  waitUntil([&] { return parseCsv(home.read(kCsv)).rows.size() >= rows; }, timeoutMs);
  return parseCsv(home.read(kCsv));
}

void expectOwnedByKelp(const Installation& home) {
  struct stat st;
  ASSERT_EQ(0, stat(home.path(kCsv).c_str(), &st));
  struct passwd* kelp = getpwnam("kelp");
  ASSERT_NE(nullptr, kelp);
  EXPECT_EQ(kelp->pw_uid, st.st_uid);
  EXPECT_EQ(kelp->pw_gid, st.st_gid);
}

const CsvRow* findRow(const CsvFile& csv, const std::string& ip, const std::string& sender) {
  for (const auto& row : csv.rows)
    if (row.ip == ip && row.sender == sender) return &row;
  return nullptr;
}

// All blocks go to one worker, so they meet in one blocked list, across a
// reload; its thread writes them at its first poll after the one-second
// interval has passed.
TEST(BlockedCsv, BlocksFoldIntoOneRowPerIpAndPerSender) {
  ASSERT_TRUE(ensureKelpAccount());
  Installation home;
  home.logAtDebugLevel();
  home.setKelpIni("smtp_traffic_throttling", "blocked_log_interval", "1");
  ASSERT_EQ(-1, home.start());
  OneWorker one(home);
  ASSERT_TRUE(one.ready());

  long long firstFrom = epochNow();
  EXPECT_EQ(kIpBlocked, blockIp("203.0.113.66"));
  long long firstTo = epochNow();
  // The later blocks come in a later second, so the row's time tells which
  // block it kept.
  while (epochNow() <= firstTo) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // A reload in between keeps the list.
  ASSERT_TRUE(one.requestReload(home));
  EXPECT_EQ(kIpBlocked, blockIp("203.0.113.66"));
  EXPECT_EQ(1, home.countLog("keelgate[" + std::to_string(one.pid()) +
                             "] normal Need to reload configuration due to signal captured"));
  EXPECT_EQ(kIpBlocked, blockIp("203.0.113.66"));
  EXPECT_EQ(kSenderBlocked, blockSender("198.51.100.23", "spammer@spam.example"));
  EXPECT_EQ(kSenderBlocked, blockSender("198.51.100.24", "spammer@spam.example"));
  EXPECT_EQ(0, home.countLog("writing blocked log of SMTP Traffic Throttling")) << "not before the interval";

  CsvFile csv = waitForRows(home, 2, 30000);
  EXPECT_EQ(kHeader, csv.header);
  ASSERT_EQ(2u, csv.rows.size()) << home.read(kCsv);
  const CsvRow* ip = findRow(csv, "203.0.113.66", "");
  ASSERT_NE(nullptr, ip) << home.read(kCsv);
  EXPECT_EQ("1", ip->type);
  EXPECT_EQ("3", ip->count);
  long long t = csvTimeToEpoch(ip->time);
  EXPECT_LE(firstFrom, t) << ip->time;
  EXPECT_GE(firstTo, t) << ip->time;
  const CsvRow* sender = findRow(csv, "198.51.100.23", "spammer@spam.example");
  ASSERT_NE(nullptr, sender) << "the first IP of the sender's blocks\n" << home.read(kCsv);
  EXPECT_EQ("2", sender->type);
  EXPECT_EQ("2", sender->count);
  expectOwnedByKelp(home);
  EXPECT_TRUE(home.waitForLog("debug writing blocked log of SMTP Traffic Throttling:[" + ip->time +
                              ",203.0.113.66,,1,3]"));

}

// A stop writes what each worker's list still holds, but only while a
// counting rule is on; the two stop lines come either way, once per process.
TEST(BlockedCsv, StopWritesPendingBlocksOnlyWithACountingRuleOn) {
  ASSERT_TRUE(ensureKelpAccount());
  for (bool ruleOn : {true, false}) {
    SCOPED_TRACE(ruleOn ? "IP connection rule on" : "every counting rule off");
    Installation home;
    home.setKelpIni("smtp_traffic_throttling", "ip_conn_enable", ruleOn ? "yes" : "no");
    ASSERT_EQ(-1, home.start());
    const int kIpBlocks = 30;  // spread over many workers
    for (int i = 0; i < kIpBlocks; ++i) EXPECT_EQ(kIpBlocked, blockIp("203.0.113.66", i % 2 ? 998 : 999));
    EXPECT_EQ(kSenderBlocked, blockSender("198.51.100.23", "spammer@spam.example"));
    EXPECT_FALSE(home.exists(kCsv)) << "the interval of 300 s has not passed";
    home.stopPool();
    EXPECT_TRUE(home.poolPids().empty());
    EXPECT_EQ(20, home.countLog("normal success to capture stop signal, keelgate daemon process will stop"));
    EXPECT_EQ(20, home.countLog("normal flush blocked SMTP Traffic Throttling log from memory to file"));
    CsvFile csv = parseCsv(home.read(kCsv));
    if (!ruleOn) {
      EXPECT_EQ(0u, csv.rows.size()) << home.read(kCsv);
      continue;
    }
    EXPECT_EQ(kHeader, csv.header);
    int ipBlocks = 0, senderRows = 0;
    for (const auto& row : csv.rows) {
      if (!row.sender.empty()) {
        ++senderRows;
        continue;
      }
      EXPECT_EQ("203.0.113.66", row.ip);
      EXPECT_EQ("1", row.type);
      ipBlocks += atoi(row.count.c_str());
    }
    EXPECT_EQ(kIpBlocks, ipBlocks) << "every worker flushed what it blocked\n" << home.read(kCsv);
    EXPECT_EQ(1, senderRows);
    const CsvRow* sender = findRow(csv, "198.51.100.23", "spammer@spam.example");
    ASSERT_NE(nullptr, sender) << home.read(kCsv);
    EXPECT_EQ("2", sender->type);
    EXPECT_EQ("1", sender->count);
    expectOwnedByKelp(home);
  }
}

}  // namespace
}  // namespace e2e
