// A child scanner's reports when its peers fail: a parent agent that hangs up
// in the middle of a report, and a database that is lost between the two
// liveness checks of one cycle (a parent that refuses is
// smtp_conn_traffic_report_test.cc's). Requests are answered throughout, and
// every count is either reported, held for the next cycle or dropped as the
// report rules say.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"
#include "tests/e2e/pool_watch.h"
#include "tests/e2e/report_worker.h"
#include "tests/e2e/traffic_line_support.h"

namespace e2e {
namespace {

const char kThread[] = "[SMTP Traffic Throttling agent send thread]sendIPBaseConnTrafficToParent() ";

class PeerFaults : public ReportingPool {
 protected:
  void startChild(const std::vector<const char*>& rules) {
    configureScanner(home, "child", rules);
    startWithQuickestReporter();
  }
};

// Asks port 998 (the kept worker) and checks the answer came promptly.
void expectAnswer(const std::string& answer, const std::string& stage, const std::string& ip,
                  const std::string& sender = "") {
  long long start = nowMs();
  EXPECT_EQ(answer, ask(998, stageRequest(stage, ip, sender))) << stage << " from " << ip;
  EXPECT_LT(nowMs() - start, 2000) << "answered promptly";
}

std::vector<std::string> withoutTimes(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) out.push_back(parseTrafficLine(line).withoutTime());
  return out;
}

// A database whose server takes one connection and then no more: listen()
// with a backlog of 0 queues a single connection that is never accepted, so
// the first liveness check connects and every later one times out.
class OneConnectionDatabase {
 public:
  OneConnectionDatabase() : fd_(listenOn("127.0.0.1", kDatabasePort, 0)) {}
  ~OneConnectionDatabase() { close(); }
  bool listening() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A parent agent that hangs up after each line: it reads one byte at a time
// up to the first line feed, records the line and closes, whatever else the
// connection still holds. On its first connection it holds the reporting
// process stopped (SIGSTOP) from the accept until the hang-up has reached
// it, so that the hang-up falls in the middle of the report.
class OneLineParent {
 public:
  explicit OneLineParent(pid_t reporter) : reporter_(reporter), fd_(listenOn(kParentAgentHost, kAgentPort, 16)) {
    if (fd_ >= 0) thread_ = std::thread([this] { run(); });
  }
  ~OneLineParent() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool listening() const { return fd_ >= 0; }
  int connections() const { return connections_.load(); }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  void run() {
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      bool first = ++connections_ == 1;
      if (first) {
        kill(reporter_, SIGSTOP);
        waitUntil([&] { return processState(reporter_) == 'T'; }, 2000);
      }
      std::string line;
      char c;
      for (;;) {
        struct pollfd q = {conn, POLLIN, 0};
        if (poll(&q, 1, 2000) <= 0 || read(conn, &c, 1) != 1) break;
        if (c == '\n') {
          std::lock_guard<std::mutex> lock(mu_);
          lines_.push_back(line);
          break;
        }
        line += c;
      }
      ::close(conn);
      if (first) {
        usleep(100 * 1000);  // the hang-up lands in the reporter's socket
        kill(reporter_, SIGCONT);
      }
    }
  }

  const pid_t reporter_;
  int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
  std::thread thread_;
};

// The parent agent hangs up after each line. The line whose
// send meets the closed connection goes out once more on a new connection,
// which the following lines then use; no line goes out twice, and every line
// is on record in the log as sent, resent or failed.
//
// TCP gives no receipt: a line written after the agent's last read but before
// its hang-up reached us is accepted by our kernel and discarded by the
// agent's, without any error on our side. Such a line is logged as sent.
TEST_F(PeerFaults, ParentHangingUpMidReportGetsTheLineResentOnANewConnection) {
  FakeAgent database(kDatabasePort);
  FakeAgent local(kAgentPort);
  ASSERT_TRUE(database.listening() && local.listening());
  ASSERT_NO_FATAL_FAILURE(startChild({"ip_conn_enable"}));
  OneLineParent parent(reporter.pid);
  ASSERT_TRUE(parent.listening());

  std::vector<std::string> ips;
  for (int i = 1; i <= 200; ++i) ips.push_back("198.18.0." + std::to_string(i));
  for (const auto& ip : ips) expectAnswer(kNonNeed, "CONNECT", ip);

  // Each line's records, by the IP that ends them. A line whose first send
  // failed is logged with its line feed, so its record ends the log line.
  enum Record { kSent, kFailed, kResent };
  const std::string what[] = {
      std::string("debug ") + kThread + "send SMTP Traffic Throttling IP connection traffic log:",
      std::string("normal ") + kThread + "send ip connection traffic log [",
      std::string("debug ") + kThread + "retry to send SMTP Traffic Throttling traffic log to parent smtp agent:",
  };
  const std::string lostAgain = std::string("normal ") + kThread + "retry to ";
  auto records = [&] {
    std::map<std::string, std::set<int>> out;
    for (const auto& line : home.logLines())
      for (int r : {kSent, kFailed, kResent})
        if (line.find(what[r]) != std::string::npos) out[line.substr(line.rfind(';') + 1)].insert(r);
    return out;
  };
  ASSERT_TRUE(waitUntil(
      [&] {
        auto seen = records();
        for (const auto& ip : ips)
          if (!seen[ip].count(kSent) && !seen[ip].count(kFailed)) return false;
        return true;
      },
      cycleMs()))
      << "every line of the report is on record";
  // Whether the hang-up lands before the last line went out depends on the
  // scheduler: the stop reaches the reporter some time after its connect.
  int failures = home.countLog(what[kFailed]);
  if (failures == 0) printf("the report was out before the hang-up: no resend this run\n");
  // Each failed line either went out again or its second attempt is logged.
  ASSERT_TRUE(waitUntil([&] { return home.countLog(what[kResent]) + home.countLog(lostAgain) == failures; }, 5000));
  ASSERT_TRUE(waitUntil([&] { return parent.connections() == 1 + failures; }, 5000))
      << parent.connections() << " connections: one, and one more per failed line";

  std::vector<std::string> arrived = parent.lines();
  std::map<std::string, int> reported;
  for (const auto& line : arrived) {
    TrafficLine t = parseTrafficLine(line);
    EXPECT_EQ("ORCAS-Conn-IP:_;7;1;1;" + t.ip, t.withoutTime());
    EXPECT_EQ(1, ++reported[t.ip]) << "no line twice: " << line;
  }
  auto seen = records();
  int lostUnseen = 0;
  for (const auto& ip : ips) {
    if (seen[ip].count(kResent)) {
      EXPECT_EQ(1, reported[ip]) << "a resent line arrives: " << ip;
    }
    if (!reported[ip] && seen[ip].count(kSent)) ++lostUnseen;
  }
  // Not a failure of ours: shown so that a run tells how much TCP alone loses.
  printf("%zu lines, %zu arrived, %d failed a first send, %d taken by the peer's kernel and discarded\n",
         ips.size(), arrived.size(), failures, lostUnseen);
  EXPECT_TRUE(waitUntil([&] { return local.lines().size() == ips.size(); }, 5000)) << "the local agent is unaffected";
  expectAnswer(kNonNeed, "CONNECT", "198.51.100.99");
  EXPECT_EQ(20u, home.poolPids().size());
}

// The database answers the check that opens a cycle and is gone by the one
// before the sender report: the IP report goes out, the sender counts stay
// and go out in the first cycle that finds the database again.
TEST_F(PeerFaults, DatabaseLostBetweenTheChecksOfACycleHoldsTheSenderCounts) {
  FakeAgent parent(kAgentPort, FakeAgent::RECORD, 1, kParentAgentHost);
  FakeAgent local(kAgentPort);
  ASSERT_TRUE(parent.listening() && local.listening());
  ASSERT_NO_FATAL_FAILURE(startChild({"ip_conn_enable", "sender_enable"}));
  // The cycle that ran at start-up found no database.
  ASSERT_TRUE(home.waitForLog(inProcess(reporter.pid, kDatabaseDown)));

  expectAnswer(kNonNeed, "CONNECT", "198.51.100.23");
  expectAnswer(kNonNeed, "CONNECT", "198.51.100.23");
  expectAnswer(kUnused, "MAIL", "198.51.100.24", "alice@example.org");
  OneConnectionDatabase flaky;
  ASSERT_TRUE(flaky.listening());
  ASSERT_TRUE(parent.waitForLines(1, cycleMs()));
  ASSERT_TRUE(home.waitForLog(inProcess(reporter.pid, kDatabaseDown), 5000, 2)) << "the second check of the cycle";
  EXPECT_EQ(std::vector<std::string>{"ORCAS-Conn-IP:_;7;1;2;198.51.100.23"}, withoutTimes(parent.lines()));

  flaky.close();
  FakeAgent database(kDatabasePort);
  ASSERT_TRUE(database.listening());
  ASSERT_TRUE(parent.waitForLines(2, cycleMs()));
  EXPECT_EQ((std::vector<std::string>{"ORCAS-Conn-IP:_;7;1;2;198.51.100.23",
                                      "ORCAS-Conn-Sender:_;7;3;1;198.51.100.24;alice@example.org"}),
            withoutTimes(parent.lines()));
  EXPECT_EQ(2, home.countLog(inProcess(reporter.pid, kDatabaseDown)));
  EXPECT_EQ(0, home.countLog("is empty!skip!")) << "an empty map is not reported";
  EXPECT_EQ(2, parent.connections());
}

}  // namespace
}  // namespace e2e
