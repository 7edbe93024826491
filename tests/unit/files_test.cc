// What the daemon reads and names on disk: a configuration or list file that
// is no regular file or is larger than 256 MB is refused, not read into
// every worker; flag file paths are whole whatever the installation
// directory's length.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "daemon/globals.h"
#include "daemon/reload_flags.h"
#include "host/config/config_file_on_disk.h"
#include "tests/unit/capture_log.h"

namespace {

TEST(FilesTest, ReadRefusesWhatIsNoRegularFileOrTooLarge) {
  keelgate_test::TempDir dir;
  keelgate_test::CaptureSink& log = keelgate_test::captureLog();
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));  // opening it for reading would hang
  int fd = open((dir / "huge").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(KELP::kMaxReadFileBytes) + 1));  // sparse
  close(fd);
  ASSERT_TRUE(dir.write("ok", "a = 1\n"));
  const struct { const char* name; bool read; int err; const char* logged; } cases[] = {
      {"ok", true, 0, nullptr},
      {"fifo", false, EINVAL, "refused: not a regular file"},
      {"huge", false, EFBIG, "refused: larger than 256 MB"},
      {"", false, EISDIR, nullptr},  // the directory itself
      {"missing", false, ENOENT, nullptr},
  };
  for (const auto& c : cases) {
    std::string text;
    errno = 0;
    EXPECT_EQ(c.read, KELP::readWholeFile(dir / c.name, text)) << c.name;
    if (!c.read) {
      EXPECT_EQ(c.err, errno) << c.name;
    }
    if (c.logged != nullptr) {
      EXPECT_EQ(1u, log.count(KELP::LOG_NORMAL, c.logged)) << c.name << log.all();
    }
  }
}

TEST(FilesTest, FlagPathsAreWholeForAnyInstallationDirectory) {
  const std::string saved = g_kelp_home;
  for (size_t length : {1u, 47u, 50u, 511u}) {
    g_kelp_home = "/" + std::string(length - 1, 'k');
    std::set<std::string> paths;
    for (int i = 0; i < kWorkerCount; ++i) paths.insert(flagFilePath(i));
    EXPECT_EQ(20u, paths.size()) << length;
    EXPECT_EQ(g_kelp_home + "/bin/keelgate.r19", flagFilePath(19)) << length;
  }
  g_kelp_home = saved;
}

}  // namespace
