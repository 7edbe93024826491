#include "host/log/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/base/clock.h"
#include "tests/unit/capture_log.h"

namespace {

using keelgate_test::TempDir;

std::string tag(pid_t pid) { return "[" + std::to_string(pid) + "] "; }

// The sink keeps the process id and the time text between lines; a forked
// worker must still log its own id, and a new second its own time.
TEST(LogFileSinkTest, ForkedChildLogsItsOwnPidAndEachSecondItsOwnTime) {
  TempDir home;
  std::string path = home / "log/keelgate.log";
  KELP::LogFileSink sink(path);
  ASSERT_TRUE(sink.ok());
  KELP::Clock::freezeAt(86400 * 365);
  sink.write(KELP::LOG_NORMAL, "parent", 6);
  pid_t child = fork();
  if (child == 0) {
    sink.write(KELP::LOG_NORMAL, "child", 5);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  waitpid(child, &status, 0);
  KELP::Clock::freezeAt(86400 * 365 + 1);
  sink.write(KELP::LOG_NORMAL, "later", 5);
  KELP::Clock::thaw();

  std::vector<std::string> lines = keelgate_test::fileLines(path);
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find(tag(getpid()) + "normal parent")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(tag(child) + "normal child")) << lines[1];
  EXPECT_NE(std::string::npos, lines[2].find(tag(getpid()) + "normal later")) << lines[2];
  EXPECT_NE(lines[0].substr(0, 20), lines[2].substr(0, 20)) << "a new second, a new time text";
}

}  // namespace
