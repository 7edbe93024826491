#include "tests/e2e/daemon_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/config/config_file_on_disk.h"

namespace e2e {

namespace {

void shell(const std::string& cmd) {
  if (system(cmd.c_str()) != 0) fprintf(stderr, "failed: %s\n", cmd.c_str());
}

// A TCP socket connected to host:port, or else bound and listening there;
// -1 on failure. Its reads and accepts give up after 5 s.
int tcpSocket(const char* host, int port, bool listening) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host, &addr.sin_addr);
  auto* a = reinterpret_cast<struct sockaddr*>(&addr);
  bool ok = listening ? bind(fd, a, sizeof addr) == 0 && listen(fd, 128) == 0 : connect(fd, a, sizeof addr) == 0;
  if (!ok) close(fd);
  return ok ? fd : -1;
}

// The text after the command name of /proc/<pid>/stat: state, ppid, pgrp...
std::string procStat(pid_t pid) {
  std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos ? "" : stat.substr(close + 2);
}

}  // namespace

std::string policyRequest(const std::map<std::string, std::string>& overrides) {
  std::vector<std::pair<std::string, std::string>> attrs = {
      {"request", "smtpd_access_policy"}, {"protocol_state", "MAIL"}, {"protocol_name", "ESMTP"},
      {"client_address", "198.51.100.23"}, {"client_name", "mx.example.org"}, {"reverse_client_name", "mx.example.org"},
      {"helo_name", "mx.example.org"}, {"sender", "alice@example.org"}, {"recipient", ""}, {"recipient_count", "0"},
      {"queue_id", ""}, {"instance", "1a2b.5f3c.9d1e.0"}, {"size", "0"}, {"ccert_subject", ""}, {"ccert_issuer", ""},
      {"ccert_fingerprint", ""}, {"encryption_protocol", ""}, {"encryption_cipher", ""}, {"encryption_keysize", "0"}};
  std::string text;
  for (const auto& a : attrs) text += a.first + "=" + (overrides.count(a.first) ? overrides.at(a.first) : a.second) + "\n";
  return text + "\n";
}

std::string stageRequest(const std::string& stage, const std::string& ip, const std::string& sender) {
  return policyRequest({{"protocol_state", stage}, {"client_address", ip}, {"sender", sender}});
}

int connectTo(int port, const char* host) { return tcpSocket(host, port, false); }

std::string readToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string ask(int port, const std::string& text) {
  int fd = connectTo(port);
  if (fd < 0) return "<connect failed>";
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) < 0 || text.empty()) shutdown(fd, SHUT_WR);
  std::string out = readToEnd(fd);
  close(fd);
  return out;
}

int listenOn(const char* host, int port) { return tcpSocket(host, port, true); }

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<pid_t> processGroup(pid_t pgid, bool zombies) {
  std::vector<pid_t> pids;
  DIR* d = opendir("/proc");
  while (struct dirent* e = d != nullptr ? readdir(d) : nullptr) {
    pid_t pid = atoi(e->d_name);
    std::istringstream f(pid > 0 ? procStat(pid) : "");
    std::string state;
    long ppid, pgrp;
    if (f >> state >> ppid >> pgrp && pgrp == pgid && (zombies || state != "Z")) pids.push_back(pid);
  }
  if (d != nullptr) closedir(d);
  return pids;
}

std::map<pid_t, int> reapExited() {
  std::map<pid_t, int> statuses;
  int status;
  for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;)
    statuses[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return statuses;
}

std::string fileText(const std::string& path) {
  std::string text;
  KELP::readWholeFile(path, text);
  return text;
}

std::string procStatus(pid_t pid, const std::string& field) {
  std::istringstream in(fileText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0) return line.substr(field.size() + 2);
  return "";
}

void awaitGroupEnd(pid_t pgid) {
  auto gone = [&] { return reapExited(), processGroup(pgid, true).empty(); };
  if (!waitUntil(gone, 10000)) kill(-pgid, SIGKILL), waitUntil(gone, 10000);
}

bool signalTaken(pid_t pid, int sig) {
  std::string pending = procStatus(pid, "ShdPnd");
  return pending.empty() || (std::stoull(pending, nullptr, 16) >> (sig - 1) & 1) == 0;  // or gone
}

std::map<std::string, int> blockedCounts(const std::string& csv) {
  std::map<std::string, int> counts;
  std::istringstream in(csv);
  std::string time, ip, sender, type, count;
  while (std::getline(in, time, '\t') && std::getline(in, ip, '\t') && std::getline(in, sender, '\t') &&
         std::getline(in, type, '\t') && std::getline(in, count))
    if (atoi(count.c_str()) > 0) counts[sender.empty() ? ip : sender] += atoi(count.c_str());
  return counts;
}

Installation::Installation() {
  char tmpl[] = "/tmp/keelgate-e2e.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  home_ = tmpl;
  chmod(home_.c_str(), 0755);
  const std::string sample = std::string(KEELGATE_SOURCE_DIR) + "/sample";
  // The pool runs as "kelp": bin/ root's with group kelp and sticky, log/ kelp's.
  shell("mkdir -p '" + home_ + "/bin' '" + home_ + "/log' && cp -a '" + sample + "/config' '" + sample + "/script' '" +
        home_ + "' && chown root:kelp '" + home_ + "/bin' && chmod 1775 '" + home_ + "/bin' && chown kelp:kelp '" +
        home_ + "/log' && chmod 0750 '" + home_ + "/log'");
}

Installation::~Installation() {
  stopPool();
  shell("rm -rf '" + home_ + "'");
}

void Installation::write(const std::string& rel, const std::string& text, int mode) const {
  std::ofstream(path(rel), std::ios::trunc | std::ios::binary) << text;
  chmod(path(rel).c_str(), static_cast<mode_t>(mode));
}

std::string Installation::read(const std::string& rel) const { return fileText(path(rel)); }

// Keys stand at the start of a line, followed by a blank, as in the sample.
void Installation::setKelpIni(const std::string& section, const std::string& key, const std::string& value) const {
  std::string text = read("config/kelp.ini"), entry = key + " = " + value + "\n";
  size_t at = text.find("[" + section + "]\n");
  if (at == std::string::npos) return write("config/kelp.ini", text + "[" + section + "]\n" + entry);
  size_t end = std::min(text.find("\n[", at), text.size() - 1) + 1;  // the section's end
  size_t line = text.find("\n" + key + " ", at);
  if (line < end)
    text.replace(line + 1, text.find('\n', line + 1) - line, entry);
  else
    text.insert(end, entry);
  write("config/kelp.ini", text);
}

void Installation::logAtDebugLevel() const {
  write("config/ha/keelgate", "tls_log_level = debug\n");
  setKelpIni("smtp_traffic_throttling", "log_level", "debug");
}

// The start's three processes (the started one, the intermediate one and the
// main process) end up as our children, since we are a subreaper: the first
// two exit 0 once they have forked, the main process runs the pool or exits
// with the start's status.
int Installation::startWithHome(const char* kelpHome) {
  if (fork() == 0) {
    kelpHome != nullptr ? setenv("KELP_HOME", kelpHome, 1) : unsetenv("KELP_HOME");
    execl(KEELGATE_BIN, "keelgate", static_cast<char*>(nullptr));
    _exit(127);
  }
  int reaped = 0, status = 0;
  bool up = waitUntil(
      [&] {
        for (const auto& s : reapExited()) ++reaped, status = s.second != 0 ? s.second : status;
        if (reaped >= 3) return true;
        pid_t pid = atoi(read("bin/keelgate.pid").c_str());
        if (main_pid_ < 0 && pid > 0 && kill(pid, 0) == 0) main_pid_ = pid, pgid_ = getpgid(pid);
        // Both sockets listen before the workers are forked, and each worker
        // removes its flag file as its set-up begins; a request sent before
        // the set-up is over waits in the listen queue.
        return main_pid_ > 0 && poolPids().size() == 20 && flaggedWorkers().empty();
      },
      30000);
  if (reaped < 3) return up ? -1 : status;
  pgid_ = main_pid_ = -1;  // ids that the system may give out again
  return status;
}

std::vector<pid_t> Installation::poolPids() const { return pgid_ > 0 ? processGroup(pgid_) : std::vector<pid_t>(); }

void Installation::stopPool() {
  if (pgid_ <= 0) return;
  kill(-pgid_, SIGCONT);  // a test may have left some stopped
  kill(-pgid_, SIGTERM);
  awaitGroupEnd(pgid_);
  pgid_ = main_pid_ = -1;
}

std::vector<std::string> Installation::logLines() const {
  std::vector<std::string> lines;
  std::istringstream in(read("log/keelgate.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int Installation::countLog(const std::string& needle) const {
  int n = 0;
  for (const auto& line : logLines()) n += line.find(needle) != std::string::npos;
  return n;
}

bool Installation::waitForLog(const std::string& needle, int timeoutMs, int count) const {
  return waitUntil([&] { return countLog(needle) >= count; }, timeoutMs);
}

bool Installation::signalReload() const {
  return kill(main_pid_, SIGHUP) == 0 && waitUntil([&] { return flaggedWorkers().size() == 20; }, 10000);
}

bool Installation::keepOnly(pid_t pid) const {
  std::vector<pid_t> others = poolPids();
  others.erase(std::remove(others.begin(), others.end(), pid), others.end());
  for (pid_t p : others) kill(p, SIGSTOP);
  return others.size() == 19 && waitUntil([&] {
           return std::all_of(others.begin(), others.end(), [](pid_t p) { return procStat(p)[0] == 'T'; });
         }, 10000);
}

std::vector<int> Installation::flaggedWorkers() const {
  std::vector<int> flagged;
  for (int i = 0; i < 20; ++i)
    if (access(path("bin/keelgate.r" + std::to_string(i)).c_str(), F_OK) == 0) flagged.push_back(i);
  return flagged;
}

bool Installation::serveUntilFlagsGone(const std::function<std::string(int n)>& request,
                                       const std::function<void(int n, const std::string& answer)>& check) {
  int n = 0;
  return waitUntil(
      [&] {
        std::vector<int> flagged = flaggedWorkers();
        for (int port : {998, 999}) {
          if (std::none_of(flagged.begin(), flagged.end(), [&](int i) { return (i < 10) == (port == 998); }))
            continue;
          std::string answer = ask(port, request(n));
          if (check) check(n, answer);
          ++n;
        }
        return flagged.empty();
      },
      30000);
}

pid_t Installation::holdAWorker(int port, int& fd) const {
  const std::string accepted = "accept client successfully in process ";
  int before = countLog(accepted);
  fd = connectTo(port);
  if (fd < 0 || !waitForLog(accepted, 10000, before + 1)) return -1;
  std::string last;
  for (const auto& line : logLines())
    if (line.find(accepted) != std::string::npos) last = line;
  return atoi(last.c_str() + last.find(accepted) + accepted.size());
}

}  // namespace e2e
