#include "agent/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "agent/daemon_reload.h"
#include "host/config/config_file_on_disk.h"

namespace agent {

namespace {

const char kAgentProgram[] = "keelgate-agent";

pid_t pidIn(const std::string& path) {
  std::string text;
  if (!KELP::readWholeFile(path, text)) return 0;
  return static_cast<pid_t>(strtol(text.c_str(), nullptr, 10));
}

}  // namespace

int detach() {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) exit(1);
  pid_t pid = fork();
  if (pid < 0) exit(1);
  if (pid > 0) {
    close(report[1]);
    char status = 1;
    ssize_t n;
    do {
      n = read(report[0], &status, 1);
    } while (n < 0 && errno == EINTR);
    _exit(n == 1 ? status : 1);
  }
  close(report[0]);
  if (setsid() < 0) _exit(1);
  pid = fork();
  if (pid < 0) _exit(1);
  if (pid > 0) _exit(0);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
    if (null > 2) close(null);
  }
  return report[1];
}

void reportStarted(int fd) {
  if (fd < 0) return;
  char status = 0;
  if (write(fd, &status, 1) != 1) {
    // The waiting process is gone: nobody to tell.
  }
  close(fd);
}

bool claimPidFile(const std::string& path, std::string& problem) {
  pid_t old = pidIn(path);
  if (old > 0 && old != getpid() && kill(old, 0) == 0 && processRuns(old, kAgentProgram)) {
    problem = "the agent already runs as pid " + std::to_string(old) + " (" + path + ")";
    return false;
  }
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    problem = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  std::string text = std::to_string(getpid()) + "\n";
  bool ok = KELP::writeAll(fd, text.data(), text.size());
  int saved = errno;
  close(fd);
  if (!ok) {
    problem = "cannot write " + path + ": " + strerror(saved);
    unlink(path.c_str());
  }
  return ok;
}

void releasePidFile(const std::string& path) {
  if (pidIn(path) == getpid()) unlink(path.c_str());
}

void raiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace agent
