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
#include "tests/e2e/pool_watch.h"
#include "tests/postfix/command.h"

namespace pftest {

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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
  return master_ > 0 && e2e::waitUntil([] { return e2e::listening(kPort); }, 10000);
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
  while (!e2e::processGroup(master_).empty() && nowMs() < deadline) {
    e2e::reapExited();
    sleepMs(10);
  }
  if (!e2e::processGroup(master_).empty()) {
    fprintf(stderr, "Postfix did not stop within 5 s: killing its process group\n");
    kill(-master_, SIGKILL);
    while (!e2e::processGroup(master_).empty() && nowMs() < deadline + 5000) sleepMs(10);
  }
  e2e::reapExited();
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
  return e2e::waitUntil([&] { return maillog().find(needle) != std::string::npos; }, timeoutMs);
}

std::string PostfixInstance::waitForMessage(const std::string& queueId, int timeoutMs) const {
  if (queueId.empty()) return "";
  const std::string inbox = dir_ + "/mail/inbox/new";
  const std::string mark = " id " + queueId + "\n";
  std::string message;
  auto arrived = [&] {
    DIR* d = opendir(inbox.c_str());
    if (d == nullptr) return false;
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      message = readFile(inbox + "/" + e->d_name);
      if (message.find(mark) != std::string::npos) break;
      message.clear();
    }
    closedir(d);
    return !message.empty();
  };
  return e2e::waitUntil(arrived, timeoutMs) ? message : "";
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
