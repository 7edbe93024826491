#include "tests/agent/e2e/agent_home.h"

#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace agenttest {

std::string kelpIni(int limit, const std::string& agentKeys) {
  return "[kelp_manager]\nscanner_id = 1\nrole = parent\n"
         "[smtp_traffic_throttling]\nip_conn_enable = yes\nip_interval = 3600\nip_conn_limit = " +
         std::to_string(limit) + "\nip_block_time = 600\n[smtp_agent]\n" + agentKeys;
}

bool AgentHome::start() {
  pid_ = fork();
  if (pid_ == 0) {
    setenv("KELP_HOME", home().c_str(), 1);
    execl(KEELGATE_AGENT_BIN, "keelgate-agent", "-f", static_cast<char*>(nullptr));
    _exit(127);
  }
  return waitUntil([this] {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, true;
    return !scrape().empty();
  }) && pid_ > 0;
}

int AgentHome::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  bool ended = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, 40000);
  pid_ = -1;
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string AgentHome::scrape() const {
  std::string reply = e2e::ask(9740, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
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

bool sendAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

pid_t runAsServiceAccount(const std::string& program, const std::string& arg) {
  struct passwd* kelp = getpwnam("kelp");
  pid_t pid = fork();
  if (pid == 0) {
    if (kelp == nullptr || setgid(kelp->pw_gid) != 0 || setuid(kelp->pw_uid) != 0) _exit(126);
    execl(program.c_str(), program.c_str(), arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace agenttest
