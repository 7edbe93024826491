// Reports of counted traffic to the parent scanner: the peers a child scanner
// reports to, and picking the worker whose reports come soonest, so that a
// test that waits for traffic-log cycles waits as little as it can.
#ifndef KEELGATE_TESTS_E2E_REPORT_WORKER_H
#define KEELGATE_TESTS_E2E_REPORT_WORKER_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/one_worker.h"

namespace e2e {

// The parent's agent listens on 127.0.0.2; a listener on kDatabasePort
// stands for a reachable database.
constexpr char kParentAgentHost[] = "127.0.0.2";
constexpr int kAgentPort = 10040;
constexpr int kDatabasePort = 15432;
constexpr char kDatabaseDown[] = "normal db in parent is down,give up to send traffic log to parent";

// A worker of port 998 and the period of its traffic-log thread in seconds.
struct ReportWorker {
  pid_t pid = -1;
  int index = -1;
  int period = 0;
};

// Of the workers of port 998 (indexes 0 to 9), the one whose traffic-log
// thread has the shortest period; pid -1 when the start-up lines (debug level)
// do not tell. Each thread runs its first cycle as it logs its period.
ReportWorker quickestReportWorker(const Installation& home);

// `text` as the log shows it when process `pid` wrote it.
std::string inProcess(pid_t pid, const std::string& text);

// A scanner of `role` with scanner id 7 that logs everything, counts by each
// of `rules`, and knows its parent's agent and database as above.
void configureScanner(const Installation& home, const char* role, const std::vector<const char*>& rules);

// Tests of a reporting child scanner: the pool runs with every process but
// the quickest reporter stopped, which then serves every request on 998.
class ReportingPool : public testing::Test {
 protected:
  void startWithQuickestReporter();  // fatal failures: wrap in ASSERT_NO_FATAL_FAILURE
  // One cycle of the reporter, with room for a loaded machine.
  int cycleMs() const { return reporter.period * 1000 + 5000; }

  Installation home;
  ReportWorker reporter;
  std::unique_ptr<OneWorker> one;  // resumes the pool before `home` stops it
};

}  // namespace e2e

#endif
