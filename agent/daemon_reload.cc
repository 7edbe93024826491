#include "agent/daemon_reload.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "host/config/config_file_on_disk.h"

namespace agent {

const char kDaemonProgram[] = "keelgate";

namespace {

// The pid written in a pid file: digits, an optional line feed.
bool readPid(const std::string& path, pid_t& pid) {
  std::string text;
  if (!KELP::readWholeFile(path, text)) return false;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  pid = static_cast<pid_t>(std::stol(text));
  return true;
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool processRuns(pid_t pid, const std::string& program) {
  std::string proc = "/proc/" + std::to_string(pid);
  char link[PATH_MAX];
  ssize_t n = readlink((proc + "/exe").c_str(), link, sizeof link - 1);
  if (n > 0) {
    std::string exe(link, static_cast<size_t>(n));
    // A program replaced on disk while it runs shows as "... (deleted)".
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
      exe.resize(exe.size() - deleted.size());
    return baseName(exe) == program;
  }
  if (errno != EACCES && errno != EPERM) return false;
  std::string comm;
  if (!KELP::readWholeFile(proc + "/comm", comm)) return false;
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm == program.substr(0, 15);
}

bool reloadDaemon(const std::string& home, std::string& problem) {
  const std::string path = home + "/bin/keelgate.pid";
  pid_t pid = 0;
  if (!readPid(path, pid)) {
    problem = "no readable pid in " + path;
    return false;
  }
  if (pid <= 1 || pid == getpid() || !processRuns(pid, kDaemonProgram)) {
    problem = "process " + std::to_string(pid) + " of " + path + " is not " + kDaemonProgram;
    return false;
  }
  if (kill(pid, SIGHUP) != 0) {
    problem = "kill(" + std::to_string(pid) + ", SIGHUP): " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace agent
