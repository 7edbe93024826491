#include "tests/postfix/postfix_instance.h"

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/e2e/daemon_harness.h"
#include "tests/postfix/command.h"

namespace pftest {

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Processes of process group `pgid` that have not exited.
int groupMembers(pid_t pgid) {
  int n = 0;
  DIR* d = opendir("/proc");
  if (d == nullptr) return 0;
  while (struct dirent* e = readdir(d)) {
    if (atoi(e->d_name) <= 0) continue;
    std::string stat = readFile("/proc/" + std::string(e->d_name) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream f(stat.substr(close + 2));
    std::string state;
    long ppid, pgrp;
    f >> state >> ppid >> pgrp;
    if (pgrp == pgid && state != "Z") ++n;
  }
  closedir(d);
  return n;
}

// Reaps exited descendants (Postfix's processes become ours on exit).
void reapExited() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

}  // namespace

PostfixInstance::PostfixInstance() {
  char tmpl[] = "/tmp/keelgate-postfix.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return;
  dir_ = tmpl;
  CommandResult r = runCommand(
      {"sh", std::string(KEELGATE_SOURCE_DIR) + "/tests/postfix/postfix-instance.sh", dir_,
       std::to_string(kPort)},
      60000);
  if (r.status != 0) fprintf(stderr, "postfix-instance.sh failed:\n%s\n", r.output.c_str());
  ready_ = r.status == 0;
}

PostfixInstance::~PostfixInstance() {
  stop();
  if (!dir_.empty()) runCommand({"rm", "-rf", dir_}, 30000);
}

bool PostfixInstance::set(const std::vector<std::string>& settings) const {
  std::vector<std::string> argv = {"postconf", "-c", dir_ + "/etc", "-e"};
  argv.insert(argv.end(), settings.begin(), settings.end());
  CommandResult r = runCommand(argv, 10000);
  if (r.status != 0) fprintf(stderr, "postconf failed:\n%s\n", r.output.c_str());
  return r.status == 0;
}

bool PostfixInstance::start() {
  if (!ready_) return false;
  CommandResult r = runCommand({"postfix", "-c", dir_ + "/etc", "start"}, 60000);
  if (r.status != 0) {
    fprintf(stderr, "postfix start failed:\n%s\n", r.output.c_str());
    return false;
  }
  master_ = atoi(readFile(dir_ + "/queue/pid/master.pid").c_str());
  long long deadline = nowMs() + 10000;
  while (!e2e::listening(kPort) && nowMs() < deadline) sleepMs(10);
  return master_ > 0 && e2e::listening(kPort);
}

bool PostfixInstance::reload() const {
  CommandResult r = runCommand({"postfix", "-c", dir_ + "/etc", "reload"}, 30000);
  return r.status == 0;
}

// Not `postfix stop`: its script polls in whole seconds. The master passes a
// SIGTERM on to its process group (it leads its own session) and exits.
void PostfixInstance::stop() {
  if (master_ <= 0) return;
  kill(master_, SIGTERM);
  long long deadline = nowMs() + 5000;
  while (groupMembers(master_) > 0 && nowMs() < deadline) {
    reapExited();
    sleepMs(10);
  }
  if (groupMembers(master_) > 0) {
    fprintf(stderr, "Postfix did not stop within 5 s: killing its process group\n");
    kill(-master_, SIGKILL);
    while (groupMembers(master_) > 0 && nowMs() < deadline + 5000) sleepMs(10);
  }
  reapExited();
  master_ = -1;
}

std::string PostfixInstance::maillog() const { return readFile(dir_ + "/log/maillog"); }

std::vector<std::string> PostfixInstance::maillogLines(const std::string& needle) const {
  std::vector<std::string> lines;
  std::istringstream in(maillog());
  std::string line;
  while (std::getline(in, line))
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  return lines;
}

bool PostfixInstance::waitForMaillog(const std::string& needle, int timeoutMs) const {
  long long deadline = nowMs() + timeoutMs;
  while (maillog().find(needle) == std::string::npos) {
    if (nowMs() >= deadline) return false;
    sleepMs(20);
  }
  return true;
}

std::string PostfixInstance::waitForMessage(const std::string& queueId, int timeoutMs) const {
  if (queueId.empty()) return "";
  const std::string inbox = dir_ + "/mail/inbox/new";
  const std::string mark = " id " + queueId + "\n";
  long long deadline = nowMs() + timeoutMs;
  do {
    if (DIR* d = opendir(inbox.c_str())) {
      while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string text = readFile(inbox + "/" + e->d_name);
        if (text.find(mark) != std::string::npos) {
          closedir(d);
          return text;
        }
      }
      closedir(d);
    }
    sleepMs(20);
  } while (nowMs() < deadline);
  return "";
}

int PostfixInstance::deliveredCount() const {
  int n = 0;
  if (DIR* d = opendir((dir_ + "/mail/inbox/new").c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

}  // namespace pftest
