// Test support of the agent's end-to-end tests: an installation directory
// laid out as the install step does (bin/ and log/ writable by the service
// account the agent drops to), the real bin/keelgate-agent started on it in
// the foreground, and the peers of a test: plain TCP clients, a scrape of
// GET /metrics, and processes run as the service account.
#ifndef KEELGATE_TESTS_AGENT_E2E_AGENT_HOME_H
#define KEELGATE_TESTS_AGENT_E2E_AGENT_HOME_H

#include <sys/types.h>

#include <functional>
#include <string>

namespace agenttest {

// kelp.ini of a parent whose ip_conn rule blocks at `limit` for 600 s,
// followed by `more` (more sections, or keys of [smtp_agent]).
std::string kelpIni(int limit, const std::string& agentKeys = "");

class AgentHome {
 public:
  AgentHome();
  ~AgentHome();  // stops the agent, removes the directory
  AgentHome(const AgentHome&) = delete;
  AgentHome& operator=(const AgentHome&) = delete;

  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }
  void write(const std::string& relative, const std::string& text) const;
  std::string read(const std::string& relative) const;

  // Starts the agent with -f and waits until GET /metrics answers.
  bool start();
  // SIGTERM, then its exit status (-1 when it did not end within 40 s).
  int stop();
  pid_t pid() const { return pid_; }

  // The body of GET /metrics ("" when it fails), and one value of it: the
  // line that starts with `series` (name and labels), -1 when missing.
  std::string scrape() const;
  long long metric(const std::string& series) const;

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// A TCP connection to ip:port, from `from` when given; -1 on failure.
int connectTo(const char* ip, int port, const char* from = nullptr);
bool sendAll(int fd, const std::string& data);
// Polls `condition` every 20 ms for up to `ms`.
bool eventually(const std::function<bool()>& condition, int ms = 10000);
// Runs `program args` as the service account; its pid.
pid_t runAsServiceAccount(const std::string& program, const std::string& arg);

}  // namespace agenttest

#endif
