// Stopping workers: SIGTERM, SIGINT and SIGQUIT each end a worker with its
// two stop lines, the flush of its blocked items and status 0; a worker
// waiting in accept or in the read of a silent client ends at once, and the
// main process alone when it gets the signal; the pid file and the flag files
// stay. What the flush writes is in blocked_csv_test.cc.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/pool_watch.h"

namespace e2e {
namespace {

const char kCaptured[] = "normal success to capture stop signal, keelgate daemon process will stop";
const char kFlush[] = "normal flush blocked SMTP Traffic Throttling log from memory to file";
const char kAccepted[] = "accept client successfully in process";

std::string interruptedAccept(pid_t pid) {
  return "normal accept client error in process " + std::to_string(pid) + ": Interrupted system call";
}

// Index of the first line of `pid` containing `needle`, or -1.
int lineOf(const std::vector<std::string>& lines, pid_t pid, const std::string& needle) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (linePid(lines[i]) == pid && lines[i].find(needle) != std::string::npos) return static_cast<int>(i);
  return -1;
}

TEST(Stop, EachStopSignalEndsAWorkerInOrderWithStatusZero) {
  Installation home;
  home.logAtDebugLevel();
  ASSERT_EQ(-1, home.start());
  // Flag every worker first: a stop must leave the flag files alone.
  ASSERT_EQ(0, kill(home.mainPid(), SIGHUP));
  ASSERT_TRUE(waitUntil([&] { return flaggedWorkers(home).size() == 20; }, 2500));

  std::vector<pid_t> pids = home.poolPids();
  ASSERT_EQ(20u, pids.size());
  const int signals[] = {SIGTERM, SIGINT, SIGQUIT};
  long long start = nowMs();
  for (size_t k = 0; k < pids.size(); ++k)
    ASSERT_EQ(0, kill(pids[k], pids[k] == home.mainPid() ? SIGTERM : signals[k % 3]));
  std::map<pid_t, int> statuses;
  collectExits(pids, statuses, 5000);
  long long took = nowMs() - start;

  EXPECT_LT(took, 5000) << "the whole pool ends promptly";
  std::vector<std::string> lines = home.logLines();
  for (size_t k = 0; k < pids.size(); ++k) {
    pid_t pid = pids[k];
    ASSERT_EQ(1u, statuses.count(pid)) << "pid " << pid << " not reaped";
    EXPECT_EQ(0, statuses[pid]) << "pid " << pid << ", signal " << signals[k % 3];
    int captured = lineOf(lines, pid, kCaptured);
    int flush = lineOf(lines, pid, kFlush);
    int accept = lineOf(lines, pid, interruptedAccept(pid));
    EXPECT_LE(0, captured) << "pid " << pid;
    EXPECT_LT(captured, flush) << "pid " << pid;
    EXPECT_LT(flush, accept) << "pid " << pid;
    EXPECT_EQ(1, countLogFrom(home, pid, kCaptured)) << "pid " << pid;
  }
  EXPECT_EQ(std::to_string(home.mainPid()), home.read("bin/keelgate.pid")) << "the pid file stays";
  EXPECT_EQ(20u, flaggedWorkers(home).size()) << "the flag files stay";
}

// Worker 9 is the main process: its stop ends no other process.
TEST(Stop, StopDuringABlockedAcceptEndsTheWorkerAtOnce) {
  Installation home;
  home.logAtDebugLevel();
  ASSERT_EQ(-1, home.start());
  for (int index : {4, 14, 9}) {
    pid_t pid = workerPid(home, index);
    ASSERT_GT(pid, 0);
    long long start = nowMs();
    ASSERT_EQ(0, kill(pid, SIGTERM));
    EXPECT_TRUE(waitUntil([&] { return !running(pid); }, 3000)) << "worker " << index;
    // The accept is interrupted, not left to its periodic wake-up.
    EXPECT_LT(nowMs() - start, 2000) << "worker " << index;
    EXPECT_EQ(1, home.countLog(interruptedAccept(pid))) << "worker " << index;
  }
  EXPECT_EQ(17u, home.poolPids().size());
  EXPECT_TRUE(home.exists("bin/keelgate.pid")) << "the pid file stays";
  for (int i = 0; i < 20; ++i) EXPECT_EQ("220 i am ok\n", ask(i % 2 ? 998 : 999, "ping\n"));
}

TEST(Stop, StopWhileASilentClientHoldsTheReadEndsThatWorker) {
  Installation home;
  home.logAtDebugLevel();
  home.setKelpIni("keelgate", "request_timeout", "0");  // no limit: the client holds the worker
  ASSERT_EQ(-1, home.start());
  int fd = -1;
  pid_t holder = holdAWorker(home, 998, fd);
  ASSERT_GT(holder, 0);

  // The read has no time limit: well past the listening socket's one-second
  // wake-up, the worker still waits for the request.
  EXPECT_FALSE(waitUntil([&] { return countLogFrom(home, holder, "get no data from socket") > 0; }, 1500))
      << "the read gave up on its own";
  EXPECT_TRUE(running(holder));

  long long start = nowMs();
  ASSERT_EQ(0, kill(holder, SIGTERM));
  EXPECT_TRUE(waitUntil([&] { return !running(holder); }, 3000));
  EXPECT_LT(nowMs() - start, 2000);
  EXPECT_EQ(1, countLogFrom(home, holder, "debug get no data from socket"));
  EXPECT_EQ(1, countLogFrom(home, holder, kCaptured));
  EXPECT_EQ(1, countLogFrom(home, holder, kFlush));
  char buf[16];
  EXPECT_EQ(0, recv(fd, buf, sizeof buf, 0)) << "closed without an answer";
  close(fd);
  EXPECT_EQ("220 i am ok\n", ask(998, "ping\n"));
}

}  // namespace
}  // namespace e2e
