// Drives the real keelgate binary for end-to-end tests: a private installation
// directory laid down from the sample, the daemon started on it, requests over
// real sockets, the log read back, and the whole pool stopped at the end.
// Single-threaded: the test's main thread calls it.
#ifndef KEELGATE_TESTS_E2E_DAEMON_HARNESS_H
#define KEELGATE_TESTS_E2E_DAEMON_HARNESS_H

#include <sys/types.h>

#include <functional>
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
constexpr char kAttrError[] = "action=451 4.5.0 Local Process Attributes Error\n\n";

// The attributes Postfix sends, with the values of a plain MAIL request but
// for `overrides`.
std::string policyRequest(const std::map<std::string, std::string>& overrides = {});
// A request at protocol state `stage` from client `ip` with `sender`.
std::string stageRequest(const std::string& stage, const std::string& ip, const std::string& sender = "");

// Connects to host:port (5 s receive timeout); the descriptor or -1.
int connectTo(int port, const char* host = "127.0.0.1");
// Everything the peer sends until it closes (or the receive timeout).
std::string readToEnd(int fd);
// One request on a new connection, and the answer.
std::string ask(int port, const std::string& text);
// A socket listening on host:port, or -1.
int listenOn(const char* host, int port);

// Polls `done` every 10 ms until it is true or timeoutMs passed.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);
// A whole file, "" when it cannot be read.
std::string fileText(const std::string& path);
// A field of /proc/<pid>/status ("Uid", "VmRSS", ...) after its tab, "" when missing.
std::string procStatus(pid_t pid, const std::string& field);
// Processes of process group `pgid`, zombies (not yet reaped) only if asked.
std::vector<pid_t> processGroup(pid_t pgid, bool zombies = false);
// Reaps exited descendants without blocking: exit code, or 128 + signal.
std::map<pid_t, int> reapExited();
// Waits until every process of group `pgid` has ended and been reaped,
// SIGKILL to the group after 10 s.
void awaitGroupEnd(pid_t pgid);
// True once no thread of `pid` has `sig` pending any more.
bool signalTaken(pid_t pid, int sig);

// Counts summed over the rows of a blocked-connection CSV log: by IP for IP
// rows, by sender for sender rows (the header and rows of count 0 add none).
std::map<std::string, int> blockedCounts(const std::string& csv);

class Installation {
 public:
  Installation();   // a fresh directory with the sample installation
  ~Installation();  // stops the pool and removes the directory

  const std::string& home() const { return home_; }
  std::string path(const std::string& rel) const { return home_ + "/" + rel; }
  void write(const std::string& rel, const std::string& text, int mode = 0644) const;  // directory must exist
  std::string read(const std::string& rel) const;
  // Sets key = value in a section of config/kelp.ini (added when missing).
  void setKelpIni(const std::string& section, const std::string& key, const std::string& value) const;
  // Debug level for the daemon and for the throttling lists.
  void logAtDebugLevel() const;

  // Runs the daemon with KELP_HOME = home (or `kelpHome`; unset when null)
  // and returns once the start is over: -1 when the pool answers on both
  // ports with every flag file consumed, else the main process's exit status.
  int start() { return startWithHome(home_.c_str()); }
  int startWithHome(const char* kelpHome);
  pid_t mainPid() const { return main_pid_; }
  std::vector<pid_t> poolPids() const;
  // SIGTERM to the whole pool (SIGKILL after 10 s), every process of it reaped.
  void stopPool();

  std::vector<std::string> logLines() const;
  // Lines that contain `needle`; a line of process p holds "keelgate[p] LEVEL".
  int countLog(const std::string& needle) const;
  bool waitForLog(const std::string& needle, int timeoutMs = 10000, int count = 1) const;

  // SIGHUP to the main process; true once all twenty flag files exist.
  bool signalReload() const;
  // Stops (SIGSTOP) every process of the pool but `pid`, so that all the
  // requests to its port meet in its blocked list, traffic counts and agent
  // connection (the other port then answers nothing); true once they are
  // all stopped. stopPool() lets them go on first.
  bool keepOnly(pid_t pid) const;
  // Worker indexes whose flag file bin/keelgate.rN exists.
  std::vector<int> flaggedWorkers() const;
  // Sends request(n) to a port with a flagged worker (998: 0-9, 999: 10-19)
  // and check(n, answer) when given, until no flag file is left; false
  // after 30 s.
  bool serveUntilFlagsGone(const std::function<std::string(int n)>& request,
                           const std::function<void(int n, const std::string& answer)>& check = nullptr);
  // Connects to `port` and sends nothing; `fd` gets the connection. The pid
  // of the worker that accepted it, from its debug line, or -1.
  pid_t holdAWorker(int port, int& fd) const;

 private:
  std::string home_;
  pid_t main_pid_ = -1;
  pid_t pgid_ = -1;
};

}  // namespace e2e

#endif
