// keelgate-agent: the SMTP agent of a scanner. It reads the traffic lines of
// the daemon's workers (and, on a parent, the reports of the children),
// counts them in sliding windows per rule and key, and on the parent turns a
// count that reaches its limit into an automatic block: the blocks file and
// a SIGHUP for the local daemon at once, the database when it can be reached.
//
// Why Asio: one thread serving hundreds of connections, timers and signals is its proactor's job.
//
// Start-up, in order: settings and log, the service account, the listening
// sockets (a port in use fails the start), detach, pid file, the drop to
// the service account, then the event loop on this thread and the store
// thread beside it.
//
//   keelgate-agent       start the agent of KELP_HOME (detaches)
//   keelgate-agent -f    the same in the foreground, the log also on stderr
//   keelgate-agent -h    usage
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "agent/agent.h"
#include "agent/agent_settings.h"
#include "agent/listen_socket.h"
#include "agent/process.h"
#include "host/base/service_account.h"
#include "host/config/install_dir.h"
#include "host/log/log.h"

namespace {

using KELP::Log;
using KELP::LOG_NORMAL;

const char kUsage[] =
    "usage: keelgate-agent [-f | -h]\n"
    "  (no option)  start the SMTP agent of KELP_HOME (detaches)\n"
    "  -f           stay in the foreground, the log also on standard error\n"
    "  -h           this text\n";

struct Socket {
  int fd;
  std::string name;
};

std::string socketName(const std::string& host, int port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The listening sockets of the settings; false, logged, when one cannot be opened.
bool openSockets(const agent::AgentSettings& s, std::vector<Socket>& traffic, Socket& metrics) {
  std::string problem;
  for (const std::string& host : s.listen) {
    int fd = agent::openListenSocket(host, s.port, problem);
    if (fd < 0) return Log::LogByLevel(LOG_NORMAL, "%s", problem.c_str()), false;
    traffic.push_back(Socket{fd, socketName(host, s.port)});
  }
  if (s.metricsHost.empty()) return true;
  metrics.fd = agent::openListenSocket(s.metricsHost, s.metricsPort, problem);
  if (metrics.fd < 0) return Log::LogByLevel(LOG_NORMAL, "%s", problem.c_str()), false;
  metrics.name = socketName(s.metricsHost, s.metricsPort);
  return true;
}

int fail(const char* what) {
  Log::LogByLevel(LOG_NORMAL, "keelgate-agent not started: %s", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool foreground = false;
  if (argc > 1) {
    foreground = argc == 2 && strcmp(argv[1], "-f") == 0;
    bool help = argc == 2 && strcmp(argv[1], "-h") == 0;
    if (!foreground) {
      fputs(kUsage, help ? stdout : stderr);
      return help ? 0 : 1;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  // A reload asked for before the event loop listens must not end the start.
  signal(SIGHUP, SIG_IGN);
  const std::string home = KELP::installDir("");
  const std::string logPath = home + "/log/keelgate-agent.log";
  static KELP::LogFileSink file(logPath);
  static KELP::LogStderrSink tee(file.ok() ? &file : nullptr);
  Log::Init(foreground ? static_cast<KELP::LogMsg*>(&tee) : &file, LOG_NORMAL);
  if (!file.ok()) {
    fprintf(stderr, "keelgate-agent not started: cannot open %s: %s\n", logPath.c_str(), strerror(errno));
    return 1;
  }

  agent::AgentSettings settings;
  if (!agent::loadAgentSettings(home, settings)) return fail("the settings cannot be used (see above)");
  Log::Init(nullptr, settings.logLevel);

  KELP::ServiceAccount account;
  std::string problem;
  const bool root = geteuid() == 0;
  if (root && !KELP::lookupServiceAccount(KELP::kServiceAccount, account, problem)) return fail(problem.c_str());

  std::vector<Socket> traffic;
  Socket metrics{-1, ""};
  if (!openSockets(settings, traffic, metrics)) return fail("a listening socket cannot be opened");
  agent::raiseDescriptorLimit();

  int report = foreground ? -1 : agent::detach();
  const std::string pidPath = home + "/bin/keelgate-agent.pid";
  if (!agent::claimPidFile(pidPath, problem)) return fail(problem.c_str());
  if (root && (!KELP::handToServiceAccount(account, pidPath) || !KELP::handToServiceAccount(account, logPath)))
    Log::LogByLevel(LOG_NORMAL, "cannot hand the pid file or the log to %s: %s", account.name.c_str(), strerror(errno));
  if (!KELP::dropToServiceAccount(account, problem)) {
    agent::releasePidFile(pidPath);
    return fail(("cannot run as " + account.name + ": " + problem).c_str());
  }

  bool stored;
  {
    asio::io_context io(1);
    agent::Agent agent(io, home, settings);
    for (const Socket& s : traffic) agent.serveTraffic(s.fd, s.name);
    if (metrics.fd >= 0) agent.serveMetrics(metrics.fd, metrics.name);
    agent.start();
    std::string names;
    for (const Socket& s : traffic) names += (names.empty() ? "" : " ") + s.name;
    Log::LogByLevel(LOG_NORMAL, "listening for traffic lines on %s; metrics %s", names.c_str(),
                    metrics.fd >= 0 ? ("on " + metrics.name).c_str() : "off");
    agent::reportStarted(report);
    io.run();
    stored = agent.finish();
    agent::releasePidFile(pidPath);
    if (!stored) {
      Log::LogByLevel(LOG_NORMAL, "stopped; the database store did not finish in time");
      _exit(0);
    }
  }
  Log::LogByLevel(LOG_NORMAL, "stopped");
  return 0;
}
