#include "tests/e2e/one_worker.h"

#include <signal.h>

#include <string>

#include "tests/e2e/pool_watch.h"

namespace e2e {

OneWorker::OneWorker(const Installation& home) : OneWorker(home, home.mainPid(), 9) {}

OneWorker::OneWorker(const Installation& home, pid_t pid, int index) : pid_(pid), index_(index) {
  for (pid_t p : home.poolPids())
    if (p != pid_ && kill(p, SIGSTOP) == 0) stopped_.push_back(p);
  bool allStopped = waitUntil(
      [&] {
        for (pid_t p : stopped_)
          if (processState(p) != 'T') return false;
        return true;
      },
      5000);
  ready_ = pid_ > 0 && index_ >= 0 && index_ <= 9 && allStopped && stopped_.size() >= 19;
}

bool OneWorker::requestReload(const Installation& home) const {
  const std::string flag = "bin/keelgate.r" + std::to_string(index_);
  if (home.exists(flag) || kill(pid_, SIGHUP) != 0) return false;
  return waitUntil([&] { return home.exists(flag); }, 3000);
}

void OneWorker::resume() {
  for (pid_t p : stopped_) kill(p, SIGCONT);
  stopped_.clear();
}

}  // namespace e2e
