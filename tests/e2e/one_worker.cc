#include "tests/e2e/one_worker.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace e2e {

namespace {

// The state letter of /proc/<pid>/stat ('T' when stopped).
char processState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

}  // namespace

OneWorker::OneWorker(const Installation& home) : OneWorker(home, home.mainPid(), 9) {}

OneWorker::OneWorker(const Installation& home, pid_t pid, int index) : pid_(pid), index_(index) {
  for (pid_t p : home.poolPids())
    if (p != pid_ && kill(p, SIGSTOP) == 0) stopped_.push_back(p);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool allStopped = false;
  while (!allStopped && std::chrono::steady_clock::now() < deadline) {
    allStopped = true;
    for (pid_t p : stopped_) allStopped = allStopped && processState(p) == 'T';
    if (!allStopped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ready_ = pid_ > 0 && index_ >= 0 && index_ <= 9 && allStopped && stopped_.size() >= 19;
}

bool OneWorker::requestReload(const Installation& home) const {
  const std::string flag = "bin/keelgate.r" + std::to_string(index_);
  if (home.exists(flag) || kill(pid_, SIGHUP) != 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!home.exists(flag) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return home.exists(flag);
}

void OneWorker::resume() {
  for (pid_t p : stopped_) kill(p, SIGCONT);
  stopped_.clear();
}

}  // namespace e2e
