#include "host/qx_log.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/clock.h"

namespace {

const char kHeader[] = "szTimez\tszIP\tszSender\tiType\tiCount\n";
const unsigned kType = 8;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class QxLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qx_log_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
    KELP::Clock::thaw();
    for (const std::string& name : files()) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }

  // Every file of the directory, sorted.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    if (d == nullptr) return names;
    while (struct dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  qx_LOG_CSVTextLog* open(long rotation = 0) {
    qx_LOG_CSVTextLog* dev = qx_LOG_LogDevice::GetCSVTextLog(dir_, "blk", true, 9, nullptr,
                                                             nullptr, false);
    if (dev == nullptr) return nullptr;
    dev->SetCSVOutput(kType, "szTimez,szIP,szSender,iType,iCount");
    dev->SetRotationBySize(rotation);
    return dev;
  }

  static void fill(qx_LOG_LogEntry& e, const std::string& sender, uint32_t count = 1) {
    e.AddAttribStr("szTimez", "Dec 03 2026 23:40:00 UTC");
    e.AddAttribStr("szIP", "10.0.0.1");
    e.AddAttribStr("szSender", sender);
    e.AddAttrib4u("iType", 2);
    e.AddAttrib4u("iCount", count);
  }

  std::string dir_;
};

// One row as written for fill(e, sender): 42 bytes plus the sender field.
std::string row(const std::string& senderField, uint32_t count = 1) {
  return "Dec 03 2026 23:40:00 UTC\t10.0.0.1\t" + senderField + "\t2\t" +
         std::to_string(count) + "\n";
}

TEST_F(QxLogTest, FieldsAreQuotedOnlyWhenTheyMustBe) {
  struct Case {
    const char* label;
    std::string value;
    std::string field;
  } cases[] = {
      {"plain", "a@b.example", "a@b.example"},
      {"empty", "", ""},
      {"comma is no separator here", "a,b", "a,b"},
      {"tab", "a\tb", "\"a\tb\""},
      {"double quote doubled", "say \"hi\"", "\"say \"\"hi\"\"\""},
      {"line feed", "a\nb", "\"a\nb\""},
      {"carriage return", "a\rb", "\"a\rb\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    qx_LOG_CSVTextLog* dev = open();
    ASSERT_NE(nullptr, dev);
    qx_LOG_LogWriter writer(nullptr);
    writer.AddLogDevice(dev);
    qx_LOG_LogEntry e(kType, 0);
    fill(e, c.value);
    writer.WriteEntry(e);
    EXPECT_EQ(kHeader + row(c.field), readFile(dir_ + "/blk.csv"));
    qx_LOG_LogDevice::ReleaseLog(dev);
    unlink((dir_ + "/blk.csv").c_str());
  }
}

TEST_F(QxLogTest, WhatReachesTheFile) {
  qx_LOG_CSVTextLog* dev = open();
  ASSERT_NE(nullptr, dev);
  std::vector<unsigned> seen;
  static std::vector<unsigned>* seenp;
  seenp = &seen;
  dev->SetCallback([](unsigned type, unsigned a, unsigned b, qx_LOG_LogEntry&, void* user) {
    seenp->push_back(type + a + b);
    return user == nullptr && type == kType;
  }, nullptr);
  qx_LOG_LogWriter writer(nullptr);
  writer.AddLogDevice(dev);
  writer.AddLogDevice(dev);  // a second add must not write rows twice

  qx_LOG_LogEntry other(7, 0);  // refused by the callback
  fill(other, "x");
  writer.WriteEntry(other);
  qx_LOG_LogEntry e(kType, 0);
  fill(e, "first", 1);
  writer.WriteEntry(e);
  fill(e, "second", 5);  // setting again replaces the values
  writer.WriteEntry(e);
  qx_LOG_LogEntry partial(kType, 0);
  partial.AddAttribStr("szIP", "10.0.0.2");
  writer.WriteEntry(partial);

  EXPECT_EQ(std::string(kHeader) + row("first", 1) + row("second", 5) + "\t10.0.0.2\t\t\t\n",
            readFile(dir_ + "/blk.csv"));
  EXPECT_EQ((std::vector<unsigned>{7, 8, 8, 8}), seen);
  qx_LOG_LogDevice::ReleaseLog(dev);
  // The released device is gone from the writer: writing now touches nothing.
  writer.WriteEntry(e);
  EXPECT_EQ(4u, seen.size());
}

TEST_F(QxLogTest, NewFileHasDefaultModeAndGivenOwner) {
  umask(077);
  qx_LOG_CSVTextLog* dev = open();
  ASSERT_NE(nullptr, dev);
  dev->SetPermission(-1, getuid(), getgid());
  qx_LOG_LogWriter writer(nullptr);
  writer.AddLogDevice(dev);
  qx_LOG_LogEntry e(kType, 0);
  fill(e, "s");
  writer.WriteEntry(e);
  umask(022);
  struct stat st;
  ASSERT_EQ(0, stat((dir_ + "/blk.csv").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(getuid(), st.st_uid);
  EXPECT_EQ(getgid(), st.st_gid);
  qx_LOG_LogDevice::ReleaseLog(dev);
}

TEST_F(QxLogTest, NoDeviceForAnUnusableDirectory) {
  std::string file = dir_ + "/plain";
  std::ofstream(file) << "x";
  struct Case {
    const char* label;
    std::string dir;
  } cases[] = {{"missing", dir_ + "/nope"}, {"a file", file}, {"empty path", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(nullptr, qx_LOG_LogDevice::GetCSVTextLog(c.dir, "blk", true, 9, nullptr, nullptr,
                                                       false))
        << c.label;
  }
  unlink(file.c_str());
}

TEST_F(QxLogTest, RotationAtTheSizeEdgeAndNamesWithSuffix) {
  KELP::Clock::freezeAt(1796341200);  // Dec 03 2026 23:40:00 UTC
  const std::string header = kHeader;
  // Room for the header and exactly two one-letter rows.
  const long limit = static_cast<long>(header.size() + 2 * row("a").size());
  qx_LOG_CSVTextLog* dev = open(limit);
  ASSERT_NE(nullptr, dev);
  qx_LOG_LogWriter writer(nullptr);
  writer.AddLogDevice(dev);
  qx_LOG_LogEntry e(kType, 0);
  auto put = [&](const std::string& s) { fill(e, s); writer.WriteEntry(e); };

  put("a");
  put("b");  // ends exactly at the limit: no rotation
  EXPECT_EQ(std::vector<std::string>{"blk.csv"}, files());
  put("c");   // a whole row over
  put("dd");  // header + c + dd is one byte over; same second: suffix .1
  put("e");   // header + dd + e is one byte over: suffix .2
  EXPECT_EQ((std::vector<std::string>{"blk.20261203234000.1.csv", "blk.20261203234000.2.csv",
                                      "blk.20261203234000.csv", "blk.csv"}),
            files());
  EXPECT_EQ(header + row("a") + row("b"), readFile(dir_ + "/blk.20261203234000.csv"));
  EXPECT_EQ(header + row("c"), readFile(dir_ + "/blk.20261203234000.1.csv"));
  EXPECT_EQ(header + row("dd"), readFile(dir_ + "/blk.20261203234000.2.csv"));
  EXPECT_EQ(header + row("e"), readFile(dir_ + "/blk.csv"));
  qx_LOG_LogDevice::ReleaseLog(dev);
}

TEST_F(QxLogTest, RowLargerThanTheRotationSizeStillWritten) {
  KELP::Clock::freezeAt(1796341200);
  qx_LOG_CSVTextLog* dev = open(10);
  ASSERT_NE(nullptr, dev);
  qx_LOG_LogWriter writer(nullptr);
  writer.AddLogDevice(dev);
  qx_LOG_LogEntry e(kType, 0);
  fill(e, "a");
  writer.WriteEntry(e);
  writer.WriteEntry(e);
  EXPECT_EQ(kHeader + row("a"), readFile(dir_ + "/blk.csv"));
  EXPECT_EQ(kHeader + row("a"), readFile(dir_ + "/blk.20261203234000.csv"));
  qx_LOG_LogDevice::ReleaseLog(dev);
}

TEST_F(QxLogTest, DeviceFollowsRotationByAnotherWriter) {
  KELP::Clock::freezeAt(1796341200);
  const long limit = static_cast<long>(std::string(kHeader).size() + 2 * row("a").size());
  qx_LOG_CSVTextLog* one = open(limit);
  qx_LOG_CSVTextLog* two = open(limit);
  ASSERT_TRUE(one != nullptr && two != nullptr);
  qx_LOG_LogWriter w1(nullptr), w2(nullptr);
  w1.AddLogDevice(one);
  w2.AddLogDevice(two);
  qx_LOG_LogEntry e(kType, 0);
  fill(e, "a");
  w1.WriteEntry(e);
  fill(e, "b");
  w2.WriteEntry(e);
  fill(e, "c");
  w2.WriteEntry(e);  // two rotates the file one still holds open
  fill(e, "d");
  w1.WriteEntry(e);
  EXPECT_EQ(kHeader + row("a") + row("b"), readFile(dir_ + "/blk.20261203234000.csv"));
  EXPECT_EQ(kHeader + row("c") + row("d"), readFile(dir_ + "/blk.csv"));
  qx_LOG_LogDevice::ReleaseLog(one);
  qx_LOG_LogDevice::ReleaseLog(two);
}

ssize_t failNoSpace(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
ssize_t writeHalf(int fd, const void* buf, size_t len) { return ::write(fd, buf, len / 2); }

TEST_F(QxLogTest, FailedWriteIsReportedAndLeavesNoPartOfTheRow) {
  struct Case {
    const char* label;
    KELP::FileWriteFn fn;
  } cases[] = {{"write fails", failNoSpace}, {"short write", writeHalf}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    qx_LOG_CSVTextLog* dev = open();
    ASSERT_NE(nullptr, dev);
    qx_LOG_LogWriter writer(nullptr);
    writer.AddLogDevice(dev);
    qx_LOG_LogEntry e(kType, 0);
    fill(e, "kept");
    writer.WriteEntry(e);
    KELP::RotatingCsvFile::setWriteFunctionForTest(c.fn);
    fill(e, "lost");
    try {
      writer.WriteEntry(e);
      ADD_FAILURE() << "no exception";
    } catch (const qx_EXCEPTION_base& ex) {
      EXPECT_EQ("write " + dir_ + "/blk.csv: No space left on device", ex.get_message());
    }
    KELP::RotatingCsvFile::setWriteFunctionForTest(nullptr);
    EXPECT_EQ(kHeader + row("kept"), readFile(dir_ + "/blk.csv"));
    writer.WriteEntry(e);  // the same row goes through once the disk recovers
    EXPECT_EQ(kHeader + row("kept") + row("lost"), readFile(dir_ + "/blk.csv"));
    qx_LOG_LogDevice::ReleaseLog(dev);
    unlink((dir_ + "/blk.csv").c_str());
  }
}

// Eight processes (sharing a device opened before the fork) append 2000 rows
// each to a file that rotates every few rows: every row must be in exactly
// one file, whole, and no file may exceed the rotation size.
TEST_F(QxLogTest, ConcurrentProcessesLoseAndTearNoRow) {
  const int kChildren = 8, kRows = 2000;
  const long kLimit = 4096;
  qx_LOG_CSVTextLog* dev = open(kLimit);
  ASSERT_NE(nullptr, dev);
  qx_LOG_LogWriter writer(nullptr);
  writer.AddLogDevice(dev);
  qx_LOG_LogEntry e(kType, 0);
  fill(e, "parent");
  writer.WriteEntry(e);  // the inherited descriptor must not share the lock

  std::vector<pid_t> kids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        for (int r = 0; r < kRows; ++r) {
          fill(e, "c" + std::to_string(c) + "-r" + std::to_string(r), r);
          writer.WriteEntry(e);
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
    std::string text = readFile(dir_ + "/" + name);
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
  qx_LOG_LogDevice::ReleaseLog(dev);
}

}  // namespace
