#include "tests/e2e/pool_watch.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (nowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

pid_t linePid(const std::string& line) {
  size_t open = line.find("keelgate[");
  if (open == std::string::npos) return -1;
  return static_cast<pid_t>(atoi(line.c_str() + open + 9));
}

std::vector<pid_t> pidsLogging(const Installation& home, const std::string& needle) {
  std::vector<pid_t> pids;
  for (const auto& line : home.logLines())
    if (line.find(needle) != std::string::npos) pids.push_back(linePid(line));
  return pids;
}

int countLogFrom(const Installation& home, pid_t pid, const std::string& needle) {
  int n = 0;
  for (pid_t p : pidsLogging(home, needle)) n += p == pid;
  return n;
}

// A worker logs its flag's removal just after the unlink that a start waits
// for, so the line may still be on its way: it gets a moment.
pid_t workerPid(const Installation& home, int index) {
  std::string needle =
      "Success to remove flag file [" + home.path("bin/keelgate.r" + std::to_string(index)) + "] when init";
  std::vector<pid_t> pids;
  waitUntil([&] { return !(pids = pidsLogging(home, needle)).empty(); }, 2000);
  return pids.size() == 1 ? pids[0] : -1;
}

std::vector<int> flaggedWorkers(const Installation& home) {
  std::vector<int> flagged;
  for (int i = 0; i < 20; ++i)
    if (home.exists("bin/keelgate.r" + std::to_string(i))) flagged.push_back(i);
  return flagged;
}

bool serveUntilFlagsGone(const Installation& home,
                         const std::function<std::string(int port, int n)>& request,
                         const std::function<void(int port, int n, const std::string& answer)>& check,
                         int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  int n = 0;
  for (;;) {
    std::vector<int> flagged = flaggedWorkers(home);
    if (flagged.empty()) return true;
    if (nowMs() >= deadline) return false;
    bool connection = false, sender = false;
    for (int i : flagged) (i < 10 ? connection : sender) = true;
    for (int port : {998, 999}) {
      if ((port == 998 && !connection) || (port == 999 && !sender)) continue;
      check(port, n, ask(port, request(port, n)));
      ++n;
    }
  }
}

void collectExits(const std::vector<pid_t>& pids, std::map<pid_t, int>& statuses, int timeoutMs) {
  waitUntil(
      [&] {
        for (const auto& s : reapExited()) statuses[s.first] = s.second;
        for (pid_t pid : pids)
          if (statuses.count(pid) == 0) return false;
        return true;
      },
      timeoutMs);
}

char processState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return '?';
  size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

bool running(pid_t pid) {
  char state = processState(pid);
  return state != '?' && state != 'Z' && state != 'X';
}

bool signalTaken(pid_t pid, int sig) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 7, "ShdPnd:") != 0) continue;
    unsigned long long pending = std::stoull(line.substr(7), nullptr, 16);
    return (pending & (1ULL << (sig - 1))) == 0;
  }
  return true;  // gone
}

pid_t holdAWorker(const Installation& home, int port, int& fd) {
  const char accepted[] = "accept client successfully in process";
  size_t before = pidsLogging(home, accepted).size();
  fd = connectSilently(port);
  if (fd < 0) return -1;
  pid_t holder = -1;
  waitUntil(
      [&] {
        std::vector<pid_t> now = pidsLogging(home, accepted);
        if (now.size() > before) holder = now.back();
        return holder > 0;
      },
      3000);
  return holder;
}

}  // namespace e2e
