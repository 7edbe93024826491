#include "tests/agent/e2e/agent_home.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace agenttest {

namespace {

struct passwd* serviceAccount() { return getpwnam("kelp"); }

}  // namespace

std::string kelpIni(int limit, const std::string& agentKeys) {
  return "[kelp_manager]\nscanner_id = 1\nrole = parent\n"
         "[smtp_traffic_throttling]\nip_conn_enable = yes\nip_interval = 3600\nip_conn_limit = " +
         std::to_string(limit) + "\nip_block_time = 600\n[smtp_agent]\n" + agentKeys;
}

AgentHome::AgentHome() {
  char tmpl[] = "/tmp/keelgate-agent-e2e.XXXXXX";
  dir_ = mkdtemp(tmpl);
  chmod(dir_.c_str(), 0755);
  struct passwd* kelp = serviceAccount();
  for (const char* sub : {"bin", "log", "config"}) {
    std::string p = path(sub);
    mkdir(p.c_str(), 0755);
    if (kelp != nullptr && std::string(sub) != "config" && chown(p.c_str(), kelp->pw_uid, kelp->pw_gid) != 0) abort();
  }
}

AgentHome::~AgentHome() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void AgentHome::write(const std::string& relative, const std::string& text) const {
  std::ofstream(path(relative)) << text;
}

std::string AgentHome::read(const std::string& relative) const {
  std::ifstream in(path(relative));
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

bool AgentHome::start() {
  pid_ = fork();
  if (pid_ == 0) {
    setenv("KELP_HOME", dir_.c_str(), 1);
    execl(KEELGATE_AGENT_BIN, "keelgate-agent", "-f", static_cast<char*>(nullptr));
    _exit(127);
  }
  return eventually([this] {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, true;
    return !scrape().empty();
  }) && pid_ > 0;
}

int AgentHome::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 2000 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string AgentHome::scrape() const {
  int fd = connectTo("127.0.0.1", 9740);
  if (fd < 0) return "";
  std::string reply;
  if (sendAll(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")) {
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t body = reply.find("\r\n\r\n");
  return reply.compare(0, 12, "HTTP/1.1 200") == 0 && body != std::string::npos ? reply.substr(body + 4) : "";
}

long long AgentHome::metric(const std::string& series) const {
  std::istringstream in(scrape());
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, series.size() + 1, series + " ") == 0) return std::stoll(line.substr(series.size() + 1));
  return -1;
}

int connectTo(const char* ip, int port, const char* from) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  if (from != nullptr) {
    inet_pton(AF_INET, from, &a.sin_addr);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return close(fd), -1;
  }
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return close(fd), -1;
  return fd;
}

bool sendAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool eventually(const std::function<bool()>& condition, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

pid_t runAsServiceAccount(const std::string& program, const std::string& arg) {
  struct passwd* kelp = serviceAccount();
  pid_t pid = fork();
  if (pid == 0) {
    if (kelp == nullptr || setgid(kelp->pw_gid) != 0 || setuid(kelp->pw_uid) != 0) _exit(126);
    execl(program.c_str(), program.c_str(), arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace agenttest
