#include "host/csv/qx_log.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/base/clock.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::readFile;

const char kHeader[] = "szTimez\tszIP\tszSender\tiType\tiCount\n";
const unsigned kType = 8;

// One row as written for a given sender field: 42 bytes plus the field.
std::string row(const std::string& senderField, uint32_t count = 1) {
  return "Dec 03 2026 23:40:00 UTC\t10.0.0.1\t" + senderField + "\t2\t" + std::to_string(count) + "\n";
}

void fill(qx_LOG_LogEntry& e, const std::string& sender, uint32_t count = 1) {
  e.AddAttribStr("szTimez", "Dec 03 2026 23:40:00 UTC");
  e.AddAttribStr("szIP", "10.0.0.1");
  e.AddAttribStr("szSender", sender);
  e.AddAttrib4u("iType", 2);
  e.AddAttrib4u("iCount", count);
}

class QxLogTest : public ::testing::Test {
 protected:
  void SetUp() override { KELP::Clock::freezeAt(1796341200); }  // Dec 03 2026 23:40:00 UTC
  void TearDown() override {
    KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
    KELP::Clock::thaw();
  }

  // Every file of the directory, sorted.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string file(const std::string& name = "blk.csv") const { return readFile(dir_ / name); }

  // A device on the directory, rotating at `rotation` bytes, and a writer to it.
  struct Log {
    qx_LOG_CSVTextLog* dev;
    qx_LOG_LogWriter writer{nullptr};
    qx_LOG_LogEntry e{kType, 0};
    explicit Log(const std::string& dir, long rotation) {
      dev = qx_LOG_LogDevice::GetCSVTextLog(dir, "blk", true, 9, nullptr, nullptr, false);
      if (dev == nullptr) return;
      dev->SetCSVOutput(kType, "szTimez,szIP,szSender,iType,iCount");
      dev->SetRotationBySize(rotation);
      writer.AddLogDevice(dev);
    }
    ~Log() {
      if (dev != nullptr) qx_LOG_LogDevice::ReleaseLog(dev);
    }
    void put(const std::string& sender, uint32_t count = 1) {
      fill(e, sender, count);
      writer.WriteEntry(e);
    }
  };

  keelgate_test::TempDir dir_;
};

TEST_F(QxLogTest, FieldsAreQuotedOnlyWhenTheyMustBe) {
  const struct { const char* label; std::string value, field; } cases[] = {
      {"plain", "a@b.example", "a@b.example"},
      {"empty", "", ""},
      {"comma is no separator here", "a,b", "a,b"},
      {"tab", "a\tb", "\"a\tb\""},
      {"double quote doubled", "say \"hi\"", "\"say \"\"hi\"\"\""},
      {"line feed", "a\nb", "\"a\nb\""},
      {"carriage return", "a\rb", "\"a\rb\""},
  };
  for (const auto& c : cases) {
    {
      Log log(dir_.path(), 0);
      ASSERT_NE(nullptr, log.dev);
      log.put(c.value);
      EXPECT_EQ(kHeader + row(c.field), file()) << c.label;
    }
    dir_.remove("blk.csv");
  }
}

TEST_F(QxLogTest, WhatReachesTheFile) {
  qx_LOG_CSVTextLog* dev;
  std::vector<unsigned> seen;
  static std::vector<unsigned>* seenp;
  seenp = &seen;
  {
    Log log(dir_.path(), 0);
    dev = log.dev;
    ASSERT_NE(nullptr, dev);
    dev->SetCallback([](unsigned type, unsigned a, unsigned b, qx_LOG_LogEntry&, void* user) {
      seenp->push_back(type + a + b);
      return user == nullptr && type == kType;
    }, nullptr);
    log.writer.AddLogDevice(dev);  // a second add must not write rows twice
    qx_LOG_LogEntry other(7, 0);   // refused by the callback
    fill(other, "x");
    log.writer.WriteEntry(other);
    log.put("first", 1);
    log.put("second", 5);  // setting again replaces the values
    qx_LOG_LogEntry partial(kType, 0);
    partial.AddAttribStr("szIP", "10.0.0.2");
    log.writer.WriteEntry(partial);
    EXPECT_EQ(std::string(kHeader) + row("first", 1) + row("second", 5) + "\t10.0.0.2\t\t\t\n", file());
    EXPECT_EQ((std::vector<unsigned>{7, 8, 8, 8}), seen);
    qx_LOG_LogDevice::ReleaseLog(dev);
    log.dev = nullptr;
    log.put("after");  // the released device is gone from the writer
    EXPECT_EQ(4u, seen.size());
  }
}

TEST_F(QxLogTest, NewFileHasDefaultModeAndGivenOwner) {
  umask(077);
  Log log(dir_.path(), 0);
  ASSERT_NE(nullptr, log.dev);
  log.dev->SetPermission(-1, getuid(), getgid());
  log.put("s");
  umask(022);
  struct stat st;
  ASSERT_EQ(0, stat((dir_ / "blk.csv").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(getuid(), st.st_uid);
  EXPECT_EQ(getgid(), st.st_gid);
}

TEST_F(QxLogTest, NoDeviceForAnUnusableDirectory) {
  ASSERT_TRUE(dir_.write("plain", "x"));
  for (const std::string& dir : {dir_ / "nope", dir_ / "plain", std::string()})
    EXPECT_EQ(nullptr, qx_LOG_LogDevice::GetCSVTextLog(dir, "blk", true, 9, nullptr, nullptr, false)) << dir;
}

// Room for the header and exactly two one-letter rows.
const long kTwoRows = static_cast<long>(std::string(kHeader).size() + 2 * row("a").size());

TEST_F(QxLogTest, RotationAtTheSizeEdgeAndNamesWithSuffix) {
  Log log(dir_.path(), kTwoRows);
  ASSERT_NE(nullptr, log.dev);
  log.put("a");
  log.put("b");  // ends exactly at the limit: no rotation
  EXPECT_EQ(std::vector<std::string>{"blk.csv"}, files());
  log.put("c");   // a whole row over
  log.put("dd");  // header + c + dd is one byte over; same second: suffix .1
  log.put("e");   // header + dd + e is one byte over: suffix .2
  EXPECT_EQ((std::vector<std::string>{"blk.20261203234000.1.csv", "blk.20261203234000.2.csv",
                                      "blk.20261203234000.csv", "blk.csv"}),
            files());
  EXPECT_EQ(kHeader + row("a") + row("b"), file("blk.20261203234000.csv"));
  EXPECT_EQ(kHeader + row("c"), file("blk.20261203234000.1.csv"));
  EXPECT_EQ(kHeader + row("dd"), file("blk.20261203234000.2.csv"));
  EXPECT_EQ(kHeader + row("e"), file());
}

TEST_F(QxLogTest, RowLargerThanTheRotationSizeStillWritten) {
  Log log(dir_.path(), 10);
  ASSERT_NE(nullptr, log.dev);
  log.put("a");
  log.put("a");
  EXPECT_EQ(kHeader + row("a"), file());
  EXPECT_EQ(kHeader + row("a"), file("blk.20261203234000.csv"));
}

TEST_F(QxLogTest, DeviceFollowsRotationByAnotherWriter) {
  Log one(dir_.path(), kTwoRows), two(dir_.path(), kTwoRows);
  ASSERT_TRUE(one.dev != nullptr && two.dev != nullptr);
  one.put("a");
  two.put("b");
  two.put("c");  // two rotates the file one still holds open
  one.put("d");
  EXPECT_EQ(kHeader + row("a") + row("b"), file("blk.20261203234000.csv"));
  EXPECT_EQ(kHeader + row("c") + row("d"), file());
}

ssize_t failNoSpace(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
ssize_t writeHalf(int fd, const void* buf, size_t len) { return ::write(fd, buf, len / 2); }

TEST_F(QxLogTest, FailedWriteIsReportedAndLeavesNoPartOfTheRow) {
  for (KELP::FileWriteFn fn : {failNoSpace, writeHalf}) {
    {
      Log log(dir_.path(), 0);
      ASSERT_NE(nullptr, log.dev);
      log.put("kept");
      KELP::RotatingCsvFile::setWriteFunctionForTest(fn);
      try {
        log.put("lost");
        ADD_FAILURE() << "no exception";
      } catch (const qx_EXCEPTION_base& ex) {
        EXPECT_EQ("write " + (dir_ / "blk.csv") + ": No space left on device", ex.get_message());
      }
      KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
      EXPECT_EQ(kHeader + row("kept"), file());
      log.writer.WriteEntry(log.e);  // the same row goes through once the disk recovers
      EXPECT_EQ(kHeader + row("kept") + row("lost"), file());
    }
    dir_.remove("blk.csv");
  }
}

// Eight processes (sharing a device opened before the fork) append 2000 rows
// each to a file that rotates every few rows: every row must be in exactly
// one file, whole, and no file may exceed the rotation size.
TEST_F(QxLogTest, ConcurrentProcessesLoseAndTearNoRow) {
  const int kChildren = 8, kRows = 2000;
  const long kLimit = 4096;
  Log log(dir_.path(), kLimit);
  ASSERT_NE(nullptr, log.dev);
  log.put("parent");  // the inherited descriptor must not share the lock

  std::vector<pid_t> kids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        for (int r = 0; r < kRows; ++r) {
          log.put("c" + std::to_string(c) + "-r" + std::to_string(r), r);
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::multiset<std::string> senders;
  int bad = 0;
  for (const std::string& name : files()) {
    std::string text = file(name);
    EXPECT_LE(text.size(), static_cast<size_t>(kLimit)) << name;
    std::istringstream in(text);
    std::string line;
    ASSERT_TRUE(std::getline(in, line)) << name;
    EXPECT_EQ(std::string(kHeader), line + "\n") << name;
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
      if (f.size() != 5 || f[0] != "Dec 03 2026 23:40:00 UTC") {
        ++bad;
        continue;
      }
      senders.insert(f[2]);
    }
  }
  EXPECT_EQ(0, bad);
  EXPECT_EQ(static_cast<size_t>(kChildren * kRows + 1), senders.size());
  EXPECT_EQ(1u, senders.count("parent"));
  int missingOrTwice = 0;
  for (int c = 0; c < kChildren; ++c)
    for (int r = 0; r < kRows; ++r)
      if (senders.count("c" + std::to_string(c) + "-r" + std::to_string(r)) != 1)
        ++missingOrTwice;
  EXPECT_EQ(0, missingOrTwice);
}

}  // namespace
