#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "host/base/clock.h"
#include "host/log/log.h"
#include "tests/unit/capture_log.h"

namespace {

// A parent and its forked child write long lines to one file at the same
// time: each line is one write, so none is torn, and the child, which
// inherited the sink, names its own process id. A new second gets its own
// time text although the sink keeps the last one.
TEST(LogFileSinkTest, ProcessesNeverTearALineAndEachNamesItself) {
  keelgate_test::TempDir home;
  KELP::LogFileSink sink(home / "log/keelgate.log");
  KELP::Clock::freezeAt(86400 * 365);
  const std::string text(3000, 'x');
  const int kLines = 2000;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  for (int i = 0; i < kLines; ++i) sink.write(KELP::LOG_NORMAL, text.data(), text.size());
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  KELP::Clock::freezeAt(86400 * 365 + 1);
  sink.write(KELP::LOG_NORMAL, "later", 5);
  KELP::Clock::thaw();

  std::vector<std::string> lines = keelgate_test::fileLines(home / "log/keelgate.log");
  ASSERT_EQ(2u * kLines + 1, lines.size());
  std::map<std::string, int> seen;  // "[<pid>] <level word> <text>": how often
  for (size_t i = 0; i + 1 < lines.size(); ++i) ++seen[lines[i].substr(lines[i].find('['))];
  const std::string tail = "] normal " + text;
  EXPECT_EQ((std::map<std::string, int>{{"[" + std::to_string(getpid()) + tail, kLines},
                                        {"[" + std::to_string(child) + tail, kLines}}),
            seen);
  EXPECT_NE(lines[0].substr(0, 20), lines.back().substr(0, 20)) << "a new second, a new time text";
}

}  // namespace
