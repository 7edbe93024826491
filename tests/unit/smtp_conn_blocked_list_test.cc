#include "throttling/smtp_conn_blocked_list.h"

#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/base/clock.h"
#include "host/log/log.h"
#include "host/csv/rotating_csv_file.h"
#include "tests/unit/capture_log.h"

namespace {

const time_t kT0 = 1796341200;  // Dec 03 2026 23:40:00 UTC
const char kT0Text[] = "Dec 03 2026 23:40:00 UTC";
const char kHeader[] = "szTimez\tszIP\tszSender\tiType\tiCount";

// The captured lines as "<level>|<text>", emptying the capture.
std::vector<std::string> take() {
  static keelgate_test::CaptureSink& sink = keelgate_test::captureLog();
  std::vector<std::string> out;
  for (const keelgate_test::LogLine& l : sink.lines()) out.push_back(std::to_string(l.level) + "|" + l.text);
  sink.clear();
  return out;
}

std::string currentAccount() {
  struct passwd* pw = getpwuid(getuid());
  return pw != nullptr ? pw->pw_name : "";
}

class SmtpConnBlockedListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    account_ = currentAccount();
    if (account_.empty()) GTEST_SKIP() << "this uid has no account to own the files";
    keelgate_test::captureLog();
    SmtpConnBlockedList::resetDeviceForTest();
    SmtpConnBlockedList::setOwnerAccountForTest(account_);
    KELP::Clock::freezeAt(kT0);
    take();
  }
  void TearDown() override {
    SmtpConnBlockedList::resetDeviceForTest();
    SmtpConnBlockedList::setOwnerAccountForTest("kelp");
    KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
    KELP::Clock::thaw();
    KELP::Log::Init(nullptr, KELP::LOG_NORMAL);
  }

  std::vector<std::string> csvFiles() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      if (e.path().extension() == ".csv") names.push_back(e.path().filename());
    return names;
  }

  // Rows of the current file, header checked and dropped.
  std::vector<std::string> rows() const {
    std::vector<std::string> lines = keelgate_test::fileLines(dir_ + "/blk.csv");
    if (lines.empty()) return lines;
    EXPECT_EQ(kHeader, lines[0]);
    return std::vector<std::string>(lines.begin() + 1, lines.end());
  }

  keelgate_test::TempDir tmp_;
  std::string account_;
  std::string dir_ = tmp_.path();
};

std::string row(const std::string& time, const std::string& ip, const std::string& sender,
                int type, int count) {
  return time + "\t" + ip + "\t" + sender + "\t" + std::to_string(type) + "\t" +
         std::to_string(count);
}

// ---- Folding blocks into items and the order of rows ----

// An event with a null IP is a write.
TEST_F(SmtpConnBlockedListTest, BlocksFoldIntoItems) {
  struct Event { int secondsAfterT0; const char* ip; const char* sender; int type; };
  const std::string t0 = kT0Text;
  struct Case {
    const char* label;
    std::vector<Event> events;
    std::vector<std::string> rows;
  } cases[] = {
      {"first time kept; the count restarts after each write",
       {{0, "10.0.0.1", "", 1}, {5, "10.0.0.1", "", 1}, {60, nullptr, nullptr, 0}, {61, "10.0.0.1", "", 1}},
       {row(t0, "10.0.0.1", "", 1, 2), row("Dec 03 2026 23:41:01 UTC", "10.0.0.1", "", 1, 1)}},
      {"IP and a sender from that IP are two rows", {{0, "10.0.0.1", "", 1}, {0, "10.0.0.1", "a@x.example", 2}},
       {row(t0, "10.0.0.1", "", 1, 1), row(t0, "10.0.0.1", "a@x.example", 2, 1)}},
      {"IP rows first, each kind byte-wise",
       {{0, "10.0.0.2", "", 1}, {0, "1.1.1.1", "a@x", 2}, {0, "10.0.0.10", "", 1}, {0, "1.1.1.1", "B@x", 2}},
       {row(t0, "10.0.0.10", "", 1, 1), row(t0, "10.0.0.2", "", 1, 1), row(t0, "1.1.1.1", "B@x", 2, 1),
        row(t0, "1.1.1.1", "a@x", 2, 1)}},
      {"bytes above 0x7f sort after ASCII", {{0, "1.1.1.1", "\xc3\xa9@x", 2}, {0, "1.1.1.1", "z@x", 2}},
       {row(t0, "1.1.1.1", "z@x", 2, 1), row(t0, "1.1.1.1", "\xc3\xa9@x", 2, 1)}},
      {"type 3 is an IP item", {{0, "10.0.0.1", "s1", 3}, {0, "10.0.0.1", "s2", 1}}, {row(t0, "10.0.0.1", "s1", 3, 2)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SmtpConnBlockedList list(60, dir_, "blk", 0, "", "debug");
    for (const Event& e : c.events) {
      KELP::Clock::freezeAt(kT0 + e.secondsAfterT0);
      if (e.ip != nullptr) list.recordBlockedConn(e.ip, e.sender, e.type);
      if (e.ip == nullptr) { ASSERT_EQ(0, list.log()); }
    }
    EXPECT_EQ(0, list.log());
    EXPECT_EQ(0u, list.size());
    EXPECT_EQ(c.rows, rows());
    unlink((dir_ + "/blk.csv").c_str());
  }
}

TEST_F(SmtpConnBlockedListTest, UnconvertibleTimeLeavesTheTimeEmpty) {
  SmtpConnBlockedList list(60, dir_, "blk", 0, "", "debug");
  KELP::Clock::freezeAt(std::numeric_limits<time_t>::max());
  take();
  list.recordBlockedConn("10.0.0.1", "", 1);
  EXPECT_EQ("4|gmtime() returns NULL.", take().at(0));
  ASSERT_EQ(0, list.log());
  EXPECT_EQ(std::vector<std::string>{row("", "10.0.0.1", "", 1, 1)}, rows());
}

// Blocks recorded while another thread writes are neither lost nor counted
// twice.
TEST_F(SmtpConnBlockedListTest, RecordingAndWritingExcludeEachOther) {
  KELP::Log::Init(nullptr, KELP::LOG_NORMAL);
  SmtpConnBlockedList list(60, dir_, "blk", 0, "", "normal");
  const int kBlocks = 20000;
  std::thread recorder([&] {
    for (int i = 0; i < kBlocks; ++i) list.recordBlockedConn("10.0.0." + std::to_string(i % 7), "", 1);
  });
  int writes = 0;
  while (writes < 50) writes += list.log() == 0 ? 1 : 0;
  recorder.join();
  ASSERT_EQ(0, list.log());
  long total = 0;
  for (const std::string& line : rows()) total += std::stol(line.substr(line.rfind('\t') + 1));
  EXPECT_EQ(kBlocks, total);
}

// ---- Deadline ----

TEST_F(SmtpConnBlockedListTest, DeadlineFallsDueAtItsExactSecond) {
  // lastQuiet: hasTimeout false there, true one second later.
  struct Case { const char* label; int interval; time_t resetAt, lastQuiet; } cases[] = {
      {"interval 60", 60, kT0, kT0 + 59},
      {"interval 0 means 300 s", 0, kT0, kT0 + 299},
      {"deadline saturates at the 32-bit end", 60, INT_MAX - 10, INT_MAX - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SmtpConnBlockedList list(c.interval, dir_, "blk", 0, "", "debug");
    EXPECT_TRUE(list.hasTimeout()) << "due before the first reset";
    KELP::Clock::freezeAt(c.resetAt);
    list.resetTimeout();
    KELP::Clock::freezeAt(c.lastQuiet);
    EXPECT_FALSE(list.hasTimeout());
    KELP::Clock::freezeAt(c.lastQuiet + 1);
    EXPECT_TRUE(list.hasTimeout());
  }
}

// ---- Rotation size ----

TEST_F(SmtpConnBlockedListTest, RotateSizeInKilobytesMapsToSplitBytes) {
  const struct { int rotateKb; const char* line; } cases[] = {  // line null: no rotation
      {0, nullptr}, {1, "4|nSplitBySize is 1024"}, {1024, "4|nSplitBySize is 1048576"},
      {1025, "4|nSplitBySize is 1048576"},
  };
  for (const auto& c : cases) {
    SmtpConnBlockedList::resetDeviceForTest();
    SmtpConnBlockedList list(60, dir_, "blk", c.rotateKb, "", "debug");
    take();
    ASSERT_EQ(0, list.log());
    std::vector<std::string> lines = take();
    EXPECT_EQ(c.line != nullptr ? 1 : 0, std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                return l.find("nSplitBySize") != std::string::npos;
              })) << c.rotateKb;
    if (c.line != nullptr) {
      EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), c.line)) << c.rotateKb;
    }
  }
}

TEST_F(SmtpConnBlockedListTest, OneKilobyteRotatesTheFile) {
  SmtpConnBlockedList list(60, dir_, "blk", 1, "", "debug");
  for (int i = 0; i < 40; ++i) list.recordBlockedConn("10.0.0." + std::to_string(i), "", 1);
  ASSERT_EQ(0, list.log());
  std::vector<std::string> files = csvFiles();
  EXPECT_GE(files.size(), 2u);
  size_t rowsSeen = 0;
  for (const std::string& f : files) {
    struct stat st;
    ASSERT_EQ(0, stat((dir_ + "/" + f).c_str(), &st));
    EXPECT_LE(st.st_size, 1024);
    rowsSeen += keelgate_test::fileLines(dir_ + "/" + f).size() - 1;
  }
  EXPECT_EQ(40u, rowsSeen);
}

// ---- Failures keep the items ----

TEST_F(SmtpConnBlockedListTest, FailedSetUpKeepsItemsForTheNextWrite) {
  // subdir: created only after the failing write; account: owner during it.
  struct Case { const char* label; std::string subdir, account, message; } cases[] = {
      {"directory missing", "/later", "", "1|In SmtpConnBlockedList cannot init smtp conn blocked CSV log, failed!"},
      {"owner account missing", "", "no-such-account-kg", "1|In SmtpConnBlockedList cannot get owner, failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SmtpConnBlockedList::resetDeviceForTest();
    if (!c.account.empty()) SmtpConnBlockedList::setOwnerAccountForTest(c.account);
    std::string dir = dir_ + c.subdir;
    SmtpConnBlockedList list(60, dir, "blk", 0, "", "debug");
    list.recordBlockedConn("10.0.0.1", "", 1);
    list.recordBlockedConn("10.0.0.1", "", 1);
    take();
    EXPECT_EQ(-1, list.log());
    EXPECT_EQ(c.message, take().back());
    EXPECT_EQ(nullptr, SmtpConnBlockedList::p_conn_blocked_log) << "no half set-up device";
    EXPECT_EQ(1u, list.size());

    SmtpConnBlockedList::setOwnerAccountForTest(account_);
    if (!c.subdir.empty()) { ASSERT_TRUE(tmp_.makeDirs(c.subdir.substr(1))); }
    list.recordBlockedConn("10.0.0.1", "", 1);
    EXPECT_EQ(0, list.log());
    EXPECT_EQ((std::vector<std::string>{kHeader, row(kT0Text, "10.0.0.1", "", 1, 3)}),
              keelgate_test::fileLines(dir + "/blk.csv"));
    unlink((dir + "/blk.csv").c_str());
  }
}

int g_writesBeforeFailure;
ssize_t failAfterSomeWrites(int fd, const void* buf, size_t len) {
  if (g_writesBeforeFailure-- > 0) return ::write(fd, buf, len);
  errno = ENOSPC;
  return -1;
}

TEST_F(SmtpConnBlockedListTest, FailedRowIsNamedAndKeptWithTheRowsAfterIt) {
  SmtpConnBlockedList list(60, dir_, "blk", 0, "", "debug");
  list.recordBlockedConn("10.0.0.1", "", 1);
  list.recordBlockedConn("10.0.0.2", "", 1);
  list.recordBlockedConn("10.0.0.2", "", 1);
  list.recordBlockedConn("10.0.0.3", "", 1);
  g_writesBeforeFailure = 2;  // the header and the first row
  KELP::RotatingCsvFile::setWriteFunctionForTest(failAfterSomeWrites);
  take();
  EXPECT_EQ(-1, list.log());
  EXPECT_EQ("1|In SmtpConnBlockedList cannot write blocked log row [" + std::string(kT0Text) +
                ",10.0.0.2,,1,2]: write " + dir_ +
                "/blk.csv: No space left on device; 2 rows kept for the next write",
            take().back());
  EXPECT_EQ(2u, list.size());

  KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
  list.recordBlockedConn("10.0.0.3", "", 1);
  EXPECT_EQ(0, list.log());
  EXPECT_EQ((std::vector<std::string>{row(kT0Text, "10.0.0.1", "", 1, 1),
                                      row(kT0Text, "10.0.0.2", "", 1, 2),
                                      row(kT0Text, "10.0.0.3", "", 1, 2)}),
            rows());
}

// ---- Messages and the process's device ----

// One representative line per message family; the device is set up once per
// process and released with the last list.
TEST_F(SmtpConnBlockedListTest, DeviceOfTheProcessAndItsMessages) {
  {
    SmtpConnBlockedList list(60, dir_, "blk", 100, dir_ + "/none.ldf", "debug");
    EXPECT_EQ(nullptr, SmtpConnBlockedList::p_conn_blocked_log) << "set up at the first write";
    list.recordBlockedConn("10.0.0.1", "", 1);
    list.recordBlockedConn("10.0.0.1", "", 1);
    ASSERT_EQ(0, list.log());
    ASSERT_EQ(0, list.log());
    EXPECT_EQ(5u, qx_LOG_LogConfig::DefinitionCount(8));
    list.recordBlockedConn("10.0.0.9", "", 1);  // discarded by the destructor
  }
  std::vector<std::string> lines = take();
  const std::string t0 = kT0Text;
  for (const std::string& line : {
           "4|SMTP Traffic Throttling blocked log configuration:record log interval[60], path[" + dir_ +
               "], prefix[blk], rotatesize[100], ldf file[" + dir_ + "/none.ldf], log level[debug]",
           std::string("1|--- SMTP Traffic Throttling Blocked Log --- "),
           "4|received blocked log of SMTP Traffic Throttling:[" + t0 + ",10.0.0.1,,1]",
           std::string("4|new blocked item:[10.0.0.1/]"),
           std::string("4|In SmtpConnBlockedList initial blocked log of SMTP Traffic Throttling successfully."),
           "4|writing blocked log of SMTP Traffic Throttling:[" + t0 + ",10.0.0.1,,1,2]",
           std::string("4|SMTP Traffic Throttling release csv writer")})
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << line;
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(),
                          "4|In SmtpConnBlockedList initial blocked log of SMTP Traffic Throttling successfully."));
  EXPECT_EQ(nullptr, SmtpConnBlockedList::p_conn_blocked_log);
  EXPECT_EQ(0u, qx_LOG_LogConfig::DefinitionCount(8));
  EXPECT_EQ(std::vector<std::string>{row(kT0Text, "10.0.0.1", "", 1, 2)}, rows());
}

TEST_F(SmtpConnBlockedListTest, LevelWordSetsTheProcessThreshold) {
  struct Case { const char* word; int threshold; } cases[] = {{"DIAGNOSTIC", 3}, {"nolog", 0}, {"bogus", 1}};
  SmtpConnBlockedList list;
  for (const Case& c : cases) {
    EXPECT_EQ(0, list.init(60, dir_, "blk", 0, "", c.word));
    EXPECT_EQ(c.threshold, KELP::Log::threshold()) << c.word;
  }
}

}  // namespace
