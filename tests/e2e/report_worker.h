// Picking the worker whose reports to the parent come soonest: a test that
// waits for traffic-log cycles routes its requests to the worker of port 998
// with the shortest period, so that it waits as little as it can.
#ifndef KEELGATE_TESTS_E2E_REPORT_WORKER_H
#define KEELGATE_TESTS_E2E_REPORT_WORKER_H

#include <sys/types.h>

#include <string>

#include "tests/e2e/daemon_harness.h"

namespace e2e {

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

}  // namespace e2e

#endif
