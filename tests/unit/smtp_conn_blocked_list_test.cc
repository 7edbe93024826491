// The blocked list and the CSV log it writes (the CSV writer's rotation,
// quoting and failures are tested through it).
#include "throttling/smtp_conn_blocked_list.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>

#include <set>
#include <thread>

#include "host/base/clock.h"
#include "host/csv/rotating_csv_file.h"
#include "tests/unit/capture_log.h"

namespace {

const time_t kT0 = 1796341200;  // Dec 03 2026 23:40:00 UTC
const std::string kT0Text = "Dec 03 2026 23:40:00 UTC";

std::string row(const std::string& ip, const std::string& sender, int type, int count,
                const std::string& time = kT0Text) {
  return time + "\t" + ip + "\t" + sender + "\t" + std::to_string(type) + "\t" + std::to_string(count);
}

class SmtpConnBlockedListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct passwd* pw = getpwuid(getuid());
    if (pw == nullptr) GTEST_SKIP() << "this uid has no account to own the files";
    log_ = &keelgate_test::captureLog(KELP::LOG_NORMAL);
    SmtpConnBlockedList::resetDeviceForTest();
    SmtpConnBlockedList::setOwnerAccountForTest(pw->pw_name);
    KELP::Clock::freezeAt(kT0);
  }
  void TearDown() override {
    SmtpConnBlockedList::resetDeviceForTest();
    SmtpConnBlockedList::setOwnerAccountForTest("kelp");
    KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
    KELP::Clock::thaw();
  }
  // Rows of a file, header checked and dropped; the file is removed.
  std::vector<std::string> takeRows(const std::string& name = "blk.csv") {
    std::vector<std::string> lines = keelgate_test::fileLines(tmp_ / name);
    tmp_.remove(name);
    if (lines.empty()) return lines;
    EXPECT_EQ("szTimez\tszIP\tszSender\tiType\tiCount", lines[0]) << name;
    return std::vector<std::string>(lines.begin() + 1, lines.end());
  }

  keelgate_test::TempDir tmp_;
  keelgate_test::CaptureSink* log_ = nullptr;
};

// An event with a null IP is a write.
TEST_F(SmtpConnBlockedListTest, BlocksFoldIntoRows) {
  struct Event { int secondsAfterT0; const char* ip; const char* sender; int type; };
  const struct { const char* label; std::vector<Event> events; std::vector<std::string> rows; } cases[] = {
      {"first time kept; the count restarts after each write",
       {{0, "10.0.0.1", "", 1}, {5, "10.0.0.1", "", 1}, {60, nullptr, nullptr, 0}, {61, "10.0.0.1", "", 1}},
       {row("10.0.0.1", "", 1, 2), row("10.0.0.1", "", 1, 1, "Dec 03 2026 23:41:01 UTC")}},
      {"IP and a sender from that IP are two rows", {{0, "10.0.0.1", "", 1}, {0, "10.0.0.1", "a@x.example", 2}},
       {row("10.0.0.1", "", 1, 1), row("10.0.0.1", "a@x.example", 2, 1)}},
      {"IP rows first, each kind byte-wise",
       {{0, "10.0.0.2", "", 1}, {0, "1.1.1.1", "a@x", 2}, {0, "10.0.0.10", "", 1}, {0, "1.1.1.1", "B@x", 2}},
       {row("10.0.0.10", "", 1, 1), row("10.0.0.2", "", 1, 1), row("1.1.1.1", "B@x", 2, 1),
        row("1.1.1.1", "a@x", 2, 1)}},
      {"type 3 is an IP item", {{0, "10.0.0.1", "s1", 3}, {0, "10.0.0.1", "s2", 1}}, {row("10.0.0.1", "s1", 3, 2)}},
      {"control bytes become '?', a quote is quoted, a comma is not", {{0, "1.1.1.1", "say \"hi\"\t,x\n", 2}},
       {row("1.1.1.1", "\"say \"\"hi\"\"?,x?\"", 2, 1)}},
      {"a field a spreadsheet would run gets a leading quote", {{0, "1.1.1.1", "=HYPERLINK(1)@x", 2}},
       {row("1.1.1.1", "'=HYPERLINK(1)@x", 2, 1)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SmtpConnBlockedList list(60, tmp_.path(), "blk", 0, "", "normal");
    for (const Event& e : c.events) {
      KELP::Clock::freezeAt(kT0 + e.secondsAfterT0);
      if (e.ip != nullptr) {
        list.recordBlockedConn(e.ip, e.sender, e.type);
      } else {
        ASSERT_EQ(0, list.log());
      }
    }
    EXPECT_EQ(0, list.log());
    EXPECT_EQ(c.rows, takeRows());
  }
}

int g_writesBeforeFailure;
ssize_t noSpaceAfterSomeWrites(int fd, const void* buf, size_t len) {
  if (g_writesBeforeFailure-- > 0) return ::write(fd, buf, len);
  errno = ENOSPC;
  return -1;
}
ssize_t halfAfterSomeWrites(int fd, const void* buf, size_t len) {
  return ::write(fd, buf, g_writesBeforeFailure-- > 0 ? len : len / 2);
}

// A failed or short write loses no block and leaves no part of a row: the
// row and those after it wait for the next write.
TEST_F(SmtpConnBlockedListTest, FailedWriteKeepsTheItemsNotWritten) {
  for (KELP::FileWriteFn fn : {noSpaceAfterSomeWrites, halfAfterSomeWrites}) {
    SmtpConnBlockedList list(60, tmp_.path(), "blk", 0, "", "normal");
    for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.2", "10.0.0.3"}) list.recordBlockedConn(ip, "", 1);
    g_writesBeforeFailure = 2;  // the header and the first row
    KELP::RotatingCsvFile::setWriteFunctionForTest(fn);
    log_->clear();
    EXPECT_EQ(-1, list.log());
    EXPECT_EQ(1u, log_->count(1, "In SmtpConnBlockedList cannot write blocked log row [" + kT0Text +
                                     ",10.0.0.2,,1,2]: write " + (tmp_ / "blk.csv") +
                                     ": No space left on device; 2 rows kept for the next write"));
    KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
    list.recordBlockedConn("10.0.0.3", "", 1);
    EXPECT_EQ(0, list.log());
    EXPECT_EQ((std::vector<std::string>{row("10.0.0.1", "", 1, 1), row("10.0.0.2", "", 1, 2),
                                        row("10.0.0.3", "", 1, 2)}),
              takeRows());
  }
}

// Blocks recorded while another thread writes are neither lost nor counted
// twice (also a ThreadSanitizer case for the list's lock).
TEST_F(SmtpConnBlockedListTest, RecordingAndWritingExcludeEachOther) {
  SmtpConnBlockedList list(60, tmp_.path(), "blk", 0, "", "normal");
  const int kBlocks = 20000;
  std::atomic<bool> done{false};
  std::thread recorder([&] {
    for (int i = 0; i < kBlocks; ++i) list.recordBlockedConn("10.0.0." + std::to_string(i % 7), "", 1);
    done = true;
  });
  while (!done) EXPECT_EQ(0, list.log());
  recorder.join();
  ASSERT_EQ(0, list.log());
  long total = 0;
  for (const std::string& line : takeRows()) total += std::stol(line.substr(line.rfind('\t') + 1));
  EXPECT_EQ(kBlocks, total);
}

// Workers forked after the log was opened write to one file that rotates
// every few rows (4 KB): every row lands in exactly one file, whole, and no
// file passes the size or is readable by others. The inherited descriptor
// must not share the lock.
TEST_F(SmtpConnBlockedListTest, ProcessesSharingTheLogLoseAndTearNoRow) {
  const int kChildren = 8, kRows = 1000;
  SmtpConnBlockedList list(60, tmp_.path(), "blk", 4, "", "normal");
  list.recordBlockedConn("parent", "", 1);
  ASSERT_EQ(0, list.log());
  std::vector<pid_t> kids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int r = 0; r < kRows; ++r) {
        list.recordBlockedConn("c" + std::to_string(c) + "-r" + std::to_string(r), "", 1);
        if (r % 10 == 9 && list.log() != 0) _exit(1);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(0, status);
  }
  std::multiset<std::string> rows, want = {row("parent", "", 1, 1)};
  for (int c = 0; c < kChildren; ++c)
    for (int r = 0; r < kRows; ++r) want.insert(row("c" + std::to_string(c) + "-r" + std::to_string(r), "", 1, 1));
  std::vector<std::filesystem::directory_entry> files(std::filesystem::directory_iterator(tmp_.path()), {});
  for (const auto& file : files) {
    EXPECT_LE(file.file_size(), 4096u) << file.path();
    EXPECT_EQ(std::filesystem::perms(0640), file.status().permissions()) << file.path();
    std::vector<std::string> some = takeRows(file.path().filename());
    rows.insert(some.begin(), some.end());
  }
  EXPECT_GT(files.size(), 2u);
  EXPECT_TRUE(rows == want) << rows.size() << " rows";
}

}  // namespace
