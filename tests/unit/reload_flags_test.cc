#include "daemon/reload_flags.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "daemon/globals.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::debug;
using keelgate_test::LogLines;
using keelgate_test::normal;

class ReloadFlagsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_home_ = g_kelp_home;
    g_kelp_home = dir_.path();
    log_ = &keelgate_test::captureLog();
  }
  void TearDown() override { g_kelp_home = saved_home_; }

  static std::string flag(int i) { return "bin/keelgate.r" + std::to_string(i); }
  // Permission bits of a file, or -1 when it does not exist.
  int mode(const std::string& relative) const {
    struct stat st;
    if (lstat((dir_ / relative).c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
  }

  keelgate_test::TempDir dir_;
  std::string saved_home_;
  keelgate_test::CaptureSink* log_ = nullptr;
};

TEST_F(ReloadFlagsTest, FlagPathIsCutToSixtyThreeCharacters) {
  const std::string home46 = "/" + std::string(45, 'h');  // the longest home with twenty distinct paths
  const std::string home47 = home46 + "7";
  const std::string home48 = home47 + "8";
  const std::string home70 = "/" + std::string(69, 'x');
  struct Case {
    const char* label;
    std::string home;
    int index;
    std::string path;
  } cases[] = {
      {"one digit", "/opt/corvo/kelp", 0, "/opt/corvo/kelp/bin/keelgate.r0"},
      {"two digits", "/opt/corvo/kelp", 19, "/opt/corvo/kelp/bin/keelgate.r19"},
      {"46-character home keeps r19 whole", home46, 19, home46 + "/bin/keelgate.r19"},
      {"47-character home keeps r9 whole", home47, 9, home47 + "/bin/keelgate.r9"},
      {"47-character home turns r19 into r1", home47, 19, home47 + "/bin/keelgate.r1"},
      {"48-character home loses the index", home48, 5, home48 + "/bin/keelgate.r"},
      {"longer home cut inside the name", home70, 3, (home70 + "/bin").substr(0, 63)},
  };
  for (const Case& c : cases) {
    g_kelp_home = c.home;
    EXPECT_EQ(c.path, flagFilePath(c.index)) << c.label;
  }
}

TEST_F(ReloadFlagsTest, CreatesTwentyEmptyPrivateFilesAndLeavesExistingOnesAlone) {
  ASSERT_TRUE(dir_.write(flag(3), "keep", 0644));
  EXPECT_EQ(0, init_policy_load_flag());
  EXPECT_EQ("keep", keelgate_test::readFile(dir_ / flag(3)));
  EXPECT_EQ(0644, mode(flag(3)));
  for (int i = 0; i < kWorkerCount; ++i) {
    if (i == 3) continue;
    EXPECT_EQ(0600, mode(flag(i))) << i;
    EXPECT_EQ("", keelgate_test::readFile(dir_ / flag(i))) << i;
  }
  EXPECT_EQ(-1, mode(flag(kWorkerCount)));
  EXPECT_EQ(0, init_policy_load_flag()) << "nothing left to create";
  EXPECT_TRUE(log_->lines().empty());
}

TEST_F(ReloadFlagsTest, AFailedCreationIsReportedAndTheOthersAreStillMade) {
  ASSERT_TRUE(dir_.makeDirs("bin"));
  // A dangling link: not there for access(), refused by an exclusive create.
  ASSERT_EQ(0, symlink("missing/target", (dir_ / flag(4)).c_str()));
  EXPECT_EQ(-1, init_policy_load_flag());
  for (int i = 0; i < kWorkerCount; ++i) {
    if (i == 4) continue;
    EXPECT_EQ(0600, mode(flag(i))) << i;
  }
  EXPECT_TRUE(log_->lines().empty());
}

TEST_F(ReloadFlagsTest, MissingBinDirectoryFails) {
  EXPECT_EQ(-1, init_policy_load_flag());
  EXPECT_FALSE(dir_.exists("bin"));
}

TEST_F(ReloadFlagsTest, RemovalIsLoggedByOutcome) {
  struct Case {
    const char* label;
    int setup;  // 0 nothing, 1 a file, 2 a directory
    const char* when;
    bool normalLevel;
    const char* outcome;
  } cases[] = {
      {"file removed at reload", 1, "reload", false, "Success"},
      {"no file counts as removed", 0, "init", false, "Success"},
      {"directory stays", 2, "reload", true, "Failed"},
  };
  ASSERT_TRUE(dir_.makeDirs("bin"));
  for (const Case& c : cases) {
    std::string path = dir_ / flag(7);
    if (c.setup == 1) {
      ASSERT_TRUE(dir_.write(flag(7), ""));
    } else if (c.setup == 2) {
      ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    }
    log_->clear();
    removeFlagFile(path, c.when);
    std::string text = std::string(c.outcome) + " to remove flag file [" + path + "] when " + c.when;
    EXPECT_EQ(LogLines{c.normalLevel ? normal(text) : debug(text)}, log_->lines()) << c.label;
    EXPECT_EQ(c.setup == 2, dir_.exists(flag(7))) << c.label;
    rmdir(path.c_str());
  }
}

}  // namespace
