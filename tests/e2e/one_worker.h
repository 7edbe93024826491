// Routes every request of a test to one worker process. Each worker keeps its
// own blocked list, traffic counts and agent connection, so a test that needs
// several requests to meet in one of them (folding, the agent connection's
// first and later lines) stops every other process of the pool: the kept
// worker of port 998 (by default the main process, worker 9) then accepts
// every connection on port 998. Requests to port 999 get no answer while the
// others are stopped.
#ifndef KEELGATE_TESTS_E2E_ONE_WORKER_H
#define KEELGATE_TESTS_E2E_ONE_WORKER_H

#include <sys/types.h>

#include <vector>

#include "tests/e2e/daemon_harness.h"

namespace e2e {

class OneWorker {
 public:
  // Stops (SIGSTOP) every process of the running pool but the main one and
  // waits until they are all stopped.
  explicit OneWorker(const Installation& home);
  // Keeps the worker `pid` of index `index` (0 to 9, one of port 998) instead.
  OneWorker(const Installation& home, pid_t pid, int index);
  ~OneWorker() { resume(); }  // before the pool is stopped, so it can stop
  OneWorker(const OneWorker&) = delete;
  OneWorker& operator=(const OneWorker&) = delete;

  bool ready() const { return ready_; }  // all others stopped, 9 of them at least
  pid_t pid() const { return pid_; }      // the worker that serves port 998
  void resume();                          // SIGCONT to the stopped processes
  // SIGHUP to the worker; true once its flag file is there, so that it
  // reloads its configuration at its next request.
  bool requestReload(const Installation& home) const;

 private:
  pid_t pid_;
  int index_;
  std::vector<pid_t> stopped_;
  bool ready_ = false;
};

}  // namespace e2e

#endif
