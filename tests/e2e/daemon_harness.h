// Drives the real keelgate binary for end-to-end tests: a private installation
// directory laid down from the sample, the daemon started on it, requests over
// real sockets, the log read back, and the whole pool stopped at the end.
#ifndef KEELGATE_TESTS_E2E_DAEMON_HARNESS_H
#define KEELGATE_TESTS_E2E_DAEMON_HARNESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// The pool's answers, byte for byte as they go out.
constexpr char kNonNeed[] = "action=DUNNO Non-need check\n\n";
constexpr char kUnused[] = "action=PREPEND X-KELP-TLS-USAGE: Unused\n\n";
constexpr char kUsed[] = "action=PREPEND X-KELP-TLS-USAGE: Used\n\n";
constexpr char kIpBlocked[] = "action=421 4.7.0 Too much traffic from your IP address, try again later\n\n";
constexpr char kSenderBlocked[] = "action=450 4.7.1 Too much traffic from this sender, try again later\n\n";
constexpr char kNoTlsAllowed[] = "action=421 4.7.0 Must not use TLS\n\n";
constexpr char kMustUseTls[] = "action=530 5.7.0 Must use TLS\n\n";
constexpr char kAttrError[] = "action=451 4.5.0 Local Process Attributes Error\n\n";

// The policy attributes Postfix sends, with values for a plain MAIL request;
// `overrides` replaces or adds attributes, an empty-named entry is skipped.
std::string policyRequest(const std::map<std::string, std::string>& overrides = {},
                          const std::vector<std::string>& omit = {});
// A request at protocol state `stage` from client `ip` with `sender`.
std::string stageRequest(const std::string& stage, const std::string& ip, const std::string& sender = "");
std::string connectFrom(const std::string& ip);

// True when something listens on 127.0.0.1:port in this network namespace.
bool listening(int port);
// Connects to 127.0.0.1:port and sends nothing; the descriptor or -1.
int connectSilently(int port);
// A socket listening on host:port with the given backlog, or -1.
int listenOn(const char* host, int port, int backlog);
// Processes of process group `pgid` now alive (zombies left out).
std::vector<pid_t> processGroup(pid_t pgid);

// Connects to 127.0.0.1:port, sends `text` (possibly in several segments with
// a pause between them) and returns everything the peer sent until it closed.
std::string ask(int port, const std::string& text);
std::string askInSegments(int port, const std::vector<std::string>& segments, int pauseMs);

class Installation {
 public:
  Installation();   // a fresh directory with the sample installation
  ~Installation();  // stops the pool and removes the directory

  const std::string& home() const { return home_; }
  std::string path(const std::string& rel) const { return home_ + "/" + rel; }
  void write(const std::string& rel, const std::string& text, int mode = 0644) const;
  std::string read(const std::string& rel) const;
  bool exists(const std::string& rel) const;
  void remove(const std::string& rel) const;
  // Log everything: the daemon's level (ha/keelgate) and the throttling
  // lists' level (kelp.ini), which a worker applies last.
  void logAtDebugLevel() const;
  // Sets key = value in a section of config/kelp.ini (added when missing).
  void setKelpIni(const std::string& section, const std::string& key, const std::string& value) const;

  // Runs the daemon with KELP_HOME = home (or `kelpHome` when given; unset
  // when null) and returns once the start-up is over: the pool answers on
  // both ports, or the main process has exited. Returns the main process's
  // exit status, or -1 while the pool runs.
  int start();
  int startWithHome(const char* kelpHome);

  pid_t mainPid() const { return main_pid_; }
  // Processes of the pool (its process group) now alive.
  std::vector<pid_t> poolPids() const;
  // SIGTERM to the whole pool, SIGKILL after a grace period, all reaped.
  void stopPool();

  // The log's lines, and waiting for a line that contains `needle`.
  std::vector<std::string> logLines() const;
  bool waitForLog(const std::string& needle, int timeoutMs = 5000, int count = 1) const;
  int countLog(const std::string& needle) const;

 private:
  std::string home_;
  pid_t main_pid_ = -1;
  pid_t pgid_ = -1;
};

// Reaps exited descendants without blocking; returns the statuses by pid.
std::map<pid_t, int> reapExited();

}  // namespace e2e

#endif
