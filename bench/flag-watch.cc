// flag-watch: times a reload of the pool from its reload flag files, without
// the forks a shell loop would need. Started just before the SIGHUP; polls
// <bin>/keelgate.r0 .. r19 every 0.2 ms until they have appeared and all gone
// again (a worker removes its own at the end of its reload).
//
//   flag-watch BIN_DIR [TIMEOUT_MS]
//
// Prints one line: "RESULT appear_ms=A pool_ms=P worker_p50_ms=M worker_max_ms=X"
// with A and P from the start, the workers' times from the flags' appearance.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const int kWorkers = 20;

double nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: flag-watch BIN_DIR [TIMEOUT_MS]\n");
    return 2;
  }
  double timeout = argc > 2 ? atof(argv[2]) : 30000;
  std::vector<std::string> flags;
  for (int i = 0; i < kWorkers; ++i) flags.push_back(std::string(argv[1]) + "/keelgate.r" + std::to_string(i));
  // The main process creates the twenty files one after another: a flag
  // counts as gone only once it has been seen.
  double start = nowMs(), appeared = -1;
  std::vector<double> gone(kWorkers, -1);
  std::vector<bool> seen(kWorkers, false);
  int left = kWorkers;
  while (left > 0 && nowMs() - start < timeout) {
    double now = nowMs();
    for (int i = 0; i < kWorkers; ++i) {
      if (gone[i] >= 0) continue;
      bool present = exists(flags[i]);
      if (present && appeared < 0) appeared = now;
      if (present) {
        seen[i] = true;
      } else if (seen[i]) {
        gone[i] = now;
        --left;
      }
    }
    usleep(200);
  }
  if (left > 0) {
    fprintf(stderr, "flag-watch: %d flag files still there after %.0f ms\n", left, timeout);
    return 1;
  }
  std::vector<double> workers;
  for (double g : gone) workers.push_back(g - appeared);
  std::sort(workers.begin(), workers.end());
  printf("RESULT appear_ms=%.0f pool_ms=%.0f worker_p50_ms=%.0f worker_max_ms=%.0f\n", appeared - start,
         *std::max_element(gone.begin(), gone.end()) - start, workers[kWorkers / 2 - 1], workers.back());
  return 0;
}
