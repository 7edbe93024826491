#include "tests/e2e/daemon_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/config/config_file_on_disk.h"

namespace e2e {

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void copyTree(const std::string& from, const std::string& to) {
  std::string cmd = "cp -a '" + from + "/.' '" + to + "'";
  if (system(cmd.c_str()) != 0) abort();
}

int connectTo(int port) {
  int fd = connectSilently(port);
  struct timeval tv = {5, 0};
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

std::string readToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

int connectSilently(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int listenOn(const char* host, int port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host, &addr.sin_addr);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool listening(int port) {
  std::ifstream in("/proc/net/tcp");
  char want[32];
  snprintf(want, sizeof want, "0100007F:%04X", port);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, local, remote, state;
    f >> sl >> local >> remote >> state;
    if (local == want && state == "0A") return true;
  }
  return false;
}

std::string policyRequest(const std::map<std::string, std::string>& overrides,
                          const std::vector<std::string>& omit) {
  std::vector<std::pair<std::string, std::string>> attrs = {
      {"request", "smtpd_access_policy"}, {"protocol_state", "MAIL"},
      {"protocol_name", "ESMTP"},         {"client_address", "198.51.100.23"},
      {"client_name", "mx.example.org"},  {"reverse_client_name", "mx.example.org"},
      {"helo_name", "mx.example.org"},    {"sender", "alice@example.org"},
      {"recipient", ""},                  {"recipient_count", "0"},
      {"queue_id", ""},                   {"instance", "1a2b.5f3c.9d1e.0"},
      {"size", "0"},                      {"ccert_subject", ""},
      {"ccert_issuer", ""},               {"ccert_fingerprint", ""},
      {"encryption_protocol", ""},        {"encryption_cipher", ""},
      {"encryption_keysize", "0"},        {"etrn_domain", ""},
  };
  for (const auto& o : overrides) {
    bool replaced = false;
    for (auto& a : attrs)
      if (a.first == o.first) a.second = o.second, replaced = true;
    if (!replaced) attrs.push_back(o);
  }
  std::string text;
  for (const auto& a : attrs) {
    bool skip = false;
    for (const auto& name : omit) skip = skip || name == a.first;
    if (!skip) text += a.first + "=" + a.second + "\n";
  }
  return text + "\n";
}

std::string stageRequest(const std::string& stage, const std::string& ip, const std::string& sender) {
  return policyRequest({{"protocol_state", stage}, {"client_address", ip}, {"sender", sender}});
}

std::string connectFrom(const std::string& ip) { return stageRequest("CONNECT", ip); }

std::string ask(int port, const std::string& text) { return askInSegments(port, {text}, 0); }

std::string askInSegments(int port, const std::vector<std::string>& segments, int pauseMs) {
  int fd = connectTo(port);
  if (fd < 0) return "<connect failed>";
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) sleepMs(pauseMs);
    if (send(fd, segments[i].data(), segments[i].size(), MSG_NOSIGNAL) < 0) break;
  }
  // Nothing to send at all: close our side, as a client that gives up does.
  if (segments.size() == 1 && segments[0].empty()) shutdown(fd, SHUT_WR);
  std::string out = readToEnd(fd);
  close(fd);
  return out;
}

std::map<pid_t, int> reapExited() {
  std::map<pid_t, int> statuses;
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
    statuses[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return statuses;
}

Installation::Installation() {
  char tmpl[] = "/tmp/keelgate-e2e.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  home_ = tmpl;
  chmod(home_.c_str(), 0755);
  // The pool runs as "kelp": bin/ root's with group kelp and sticky, log/ kelp's.
  struct passwd* kelp = getpwnam("kelp");
  mkdir(path("bin").c_str(), 0755);
  mkdir(path("log").c_str(), 0750);
  if (kelp != nullptr) {
    if (chown(path("bin").c_str(), 0, kelp->pw_gid) != 0 || chmod(path("bin").c_str(), 01775) != 0 ||
        chown(path("log").c_str(), kelp->pw_uid, kelp->pw_gid) != 0)
      abort();
  }
  mkdir(path("script").c_str(), 0755);
  mkdir(path("config").c_str(), 0755);
  copyTree(std::string(KEELGATE_SOURCE_DIR) + "/sample/config", path("config"));
  copyTree(std::string(KEELGATE_SOURCE_DIR) + "/sample/script", path("script"));
}

Installation::~Installation() {
  stopPool();
  std::string cmd = "rm -rf '" + home_ + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", home_.c_str());
}

void Installation::write(const std::string& rel, const std::string& text, int mode) const {
  std::string p = path(rel);
  std::string dir = p.substr(0, p.rfind('/'));
  std::string cmd = "mkdir -p '" + dir + "'";
  if (system(cmd.c_str()) != 0) abort();
  std::ofstream out(p, std::ios::trunc | std::ios::binary);
  out << text;
  out.close();
  chmod(p.c_str(), static_cast<mode_t>(mode));
}

std::string Installation::read(const std::string& rel) const {
  std::string text;
  KELP::readWholeFile(path(rel), text);
  return text;
}

bool Installation::exists(const std::string& rel) const { return access(path(rel).c_str(), F_OK) == 0; }

void Installation::remove(const std::string& rel) const { unlink(path(rel).c_str()); }

void Installation::setKelpIni(const std::string& section, const std::string& key,
                              const std::string& value) const {
  std::istringstream in(read("config/kelp.ini"));
  std::string line, out, current;
  bool done = false;
  while (std::getline(in, line)) {
    std::string t = line.substr(0, line.find_first_of(" =\t"));
    if (!line.empty() && line[0] == '[') {
      if (current == section && !done) out += key + " = " + value + "\n", done = true;
      current = line.substr(1, line.find(']') - 1);
    } else if (current == section && t == key && !done) {
      out += key + " = " + value + "\n";
      done = true;
      continue;
    }
    out += line + "\n";
  }
  if (!done) {
    if (current != section) out += "[" + section + "]\n";
    out += key + " = " + value + "\n";
  }
  write("config/kelp.ini", out);
}

void Installation::logAtDebugLevel() const {
  write("config/ha/keelgate", "tls_log_level = debug\n");
  setKelpIni("smtp_traffic_throttling", "log_level", "debug");
}

int Installation::start() { return startWithHome(home_.c_str()); }

int Installation::startWithHome(const char* kelpHome) {
  pid_t child = fork();
  if (child == 0) {
    if (kelpHome != nullptr)
      setenv("KELP_HOME", kelpHome, 1);
    else
      unsetenv("KELP_HOME");
    execl(KEELGATE_BIN, "keelgate", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The start's three processes (the started one, the intermediate one and
  // the main process) all end up as our children, since we are a subreaper.
  // The first two exit 0 once they have forked; the main process either runs
  // the pool or exits with the start's status.
  int reaped = 0, status = 0;
  (void)child;
  long long deadline = nowMs() + 10000;
  while (nowMs() < deadline) {
    for (const auto& s : reapExited()) {
      ++reaped;
      if (s.second != 0) status = s.second;
    }
    if (reaped >= 3) return status;
    std::string pid = read("bin/keelgate.pid");
    if (main_pid_ < 0 && !pid.empty() && kill(atoi(pid.c_str()), 0) == 0) {
      main_pid_ = atoi(pid.c_str());
      pgid_ = getpgid(main_pid_);
    }
    if (main_pid_ > 0 && listening(998) && listening(999) && poolPids().size() >= 20) {
      bool flagsGone = true;
      for (int i = 0; i < 20; ++i) flagsGone = flagsGone && !exists("bin/keelgate.r" + std::to_string(i));
      if (flagsGone) return -1;
    }
    sleepMs(10);
  }
  return main_pid_ > 0 ? -1 : status;
}

std::vector<pid_t> processGroup(pid_t pgid) {
  std::vector<pid_t> pids;
  DIR* d = opendir("/proc");
  if (d == nullptr) return pids;
  while (struct dirent* e = readdir(d)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string stat;
    if (!KELP::readWholeFile("/proc/" + std::string(e->d_name) + "/stat", stat)) continue;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream f(stat.substr(close + 2));
    std::string state;
    long ppid, pgrp;
    f >> state >> ppid >> pgrp;
    if (pgrp == pgid && state != "Z") pids.push_back(pid);
  }
  closedir(d);
  return pids;
}

std::vector<pid_t> Installation::poolPids() const {
  return pgid_ > 0 ? processGroup(pgid_) : std::vector<pid_t>();
}

void Installation::stopPool() {
  if (pgid_ > 0) {
    kill(-pgid_, SIGTERM);
    long long deadline = nowMs() + 5000;
    while (!poolPids().empty() && nowMs() < deadline) {
      reapExited();
      sleepMs(10);
    }
    if (!poolPids().empty()) kill(-pgid_, SIGKILL);
  }
  // Reap every descendant, whatever group it ended up in.
  long long deadline = nowMs() + 5000;
  while (nowMs() < deadline) {
    reapExited();
    errno = 0;
    if (waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD) break;
    sleepMs(10);
  }
  pgid_ = -1;
  main_pid_ = -1;
}

std::vector<std::string> Installation::logLines() const {
  std::vector<std::string> lines;
  std::istringstream in(read("log/keelgate.log"));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

int Installation::countLog(const std::string& needle) const {
  int n = 0;
  for (const auto& line : logLines())
    if (line.find(needle) != std::string::npos) ++n;
  return n;
}

bool Installation::waitForLog(const std::string& needle, int timeoutMs, int count) const {
  long long deadline = nowMs() + timeoutMs;
  do {
    if (countLog(needle) >= count) return true;
    sleepMs(20);
  } while (nowMs() < deadline);
  return false;
}

}  // namespace e2e
