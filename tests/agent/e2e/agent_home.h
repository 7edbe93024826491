// Test support of the agent's end-to-end tests: the daemon harness's
// installation directory (bin/ and log/ writable by the service account the
// agent drops to), the real bin/keelgate-agent started on it in the
// foreground, a scrape of GET /metrics, and processes run as the service
// account. Connections and waits are the daemon harness's.
#ifndef KEELGATE_TESTS_AGENT_E2E_AGENT_HOME_H
#define KEELGATE_TESTS_AGENT_E2E_AGENT_HOME_H

#include <sys/types.h>

#include <string>

#include "tests/e2e/daemon_harness.h"

namespace agenttest {

using e2e::connectTo;
using e2e::waitUntil;

// kelp.ini of a parent whose ip_conn rule blocks at `limit` for 600 s,
// followed by `agentKeys` (more sections, or keys of [smtp_agent]).
std::string kelpIni(int limit, const std::string& agentKeys = "");

class AgentHome : public e2e::Installation {
 public:
  ~AgentHome() { stop(); }

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
  pid_t pid_ = -1;
};

bool sendAll(int fd, const std::string& data);
// Runs `program args` as the service account; its pid.
pid_t runAsServiceAccount(const std::string& program, const std::string& arg);

}  // namespace agenttest

#endif
