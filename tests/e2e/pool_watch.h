// Watching the worker pool from a test: which process wrote a log line, which
// pid a worker index has, bounded waits, driving requests until every flagged
// worker has served one, and collecting exit statuses after a stop.
#ifndef KEELGATE_TESTS_E2E_POOL_WATCH_H
#define KEELGATE_TESTS_E2E_POOL_WATCH_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/daemon_harness.h"

namespace e2e {

long long nowMs();

// Polls `done` every 10 ms until it is true or timeoutMs passed.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

// The pid in a log line's "keelgate[pid]", or -1.
pid_t linePid(const std::string& line);
// Pids that wrote a line containing `needle`, one entry per line.
std::vector<pid_t> pidsLogging(const Installation& home, const std::string& needle);
// Lines containing `needle` written by `pid`.
int countLogFrom(const Installation& home, pid_t pid, const std::string& needle);

// Pid of worker `index`, from the flag-file removal it logs at start (debug).
pid_t workerPid(const Installation& home, int index);

// Indexes of the workers whose flag file exists.
std::vector<int> flaggedWorkers(const Installation& home);

// Sends requests until no flag file is left, each to a port that still has a
// flagged worker (998 for 0-9, 999 for 10-19). `request(port, n)` gives the
// n-th request and `check(port, n, answer)` sees each answer. False when
// flag files remain after timeoutMs.
bool serveUntilFlagsGone(const Installation& home,
                         const std::function<std::string(int port, int n)>& request,
                         const std::function<void(int port, int n, const std::string& answer)>& check,
                         int timeoutMs = 20000);

// Reaps until every pid in `pids` has been reaped or timeoutMs passed; adds
// the statuses (exit code, or 128 + signal) to `statuses`.
void collectExits(const std::vector<pid_t>& pids, std::map<pid_t, int>& statuses, int timeoutMs);

// The state letter of /proc/<pid>/stat ('T' when stopped), '?' when gone.
char processState(pid_t pid);
// True when `pid` is alive and not a zombie.
bool running(pid_t pid);

// True once a signal sent to the process `pid` with kill() is no longer
// pending, that is, some thread of it has taken it.
bool signalTaken(pid_t pid, int sig);


// Connects silently to `port` and returns the pid of the worker that
// accepted (from its debug line), or -1; `fd` gets the connection.
pid_t holdAWorker(const Installation& home, int port, int& fd);

}  // namespace e2e

#endif
