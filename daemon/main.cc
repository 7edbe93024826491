// keelgate: the policy daemon of a mail-security gateway's MTA.
//
// Start-up, in order: detach, close inherited descriptors (0, 1 and 2 then
// on /dev/null), umask 027, KELP_HOME, chdir("/"), init() (log, cipher
// tables, reload flag files), the service account, the configuration check,
// pid file, role and identity, signals, the two loopback listening sockets;
// then root's files are handed to the account and root is dropped for good,
// and only then is the pool of twenty workers forked: 0..8 and this process
// (9) on port 998, 10..19 on port 999. No worker ever holds root.
//
//   keelgate      start the pool (detaches)
//   keelgate -t   check the configuration of KELP_HOME in the foreground
//   keelgate -h   usage
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "daemon/config_check.h"
#include "daemon/globals.h"
#include "daemon/request_timeout.h"
#include "daemon/scanner_identity.h"
#include "daemon/signals.h"
#include "daemon/startup_init.h"
#include "daemon/worker.h"

namespace {

const int kConnectionPort = 998;
const int kSenderPort = 999;
const int kBacklog = 1200;

void detach() {
  pid_t pid = fork();
  if (pid < 0) exit(errno);
  if (pid > 0) exit(0);
  if (setsid() < 0) exit(errno);
  pid = fork();
  if (pid < 0) exit(errno);
  if (pid > 0) exit(0);
}

void closeInheritedDescriptors() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  rlim_t limit = rl.rlim_cur == RLIM_INFINITY ? 1024 : rl.rlim_cur;
  if (limit == 0) return;
  if (syscall(SYS_close_range, 0u, static_cast<unsigned>(limit - 1), 0u) == 0) return;
  for (rlim_t fd = 0; fd < limit; ++fd) close(static_cast<int>(fd));
}

// Standard input, output and error on /dev/null, so that no file the daemon
// opens later gets one of their numbers (and a stray write to one of them).
void nullStandardDescriptors() {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return;
  for (int std = 0; std <= 2; ++std)
    if (fd != std) dup2(fd, std);
  if (fd > 2) close(fd);
}

// False when KELP_HOME is unset, empty or longer than 511 bytes. A relative
// KELP_HOME is made absolute from the directory the daemon was started in,
// in the environment too (the host classes read it there), since the daemon
// then moves to "/".
bool readInstallationDirectory() {
  const char* home = getenv("KELP_HOME");
  if (home == nullptr || *home == '\0' || strlen(home) > 511) return false;
  g_kelp_home = home;
  if (g_kelp_home.back() == '/') g_kelp_home.pop_back();
  char cwd[4096];
  if (home[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr) {
    g_kelp_home = std::string(cwd) + "/" + g_kelp_home;
    setenv("KELP_HOME", g_kelp_home.c_str(), 1);
  }
  return true;
}

void claimPidFile() {
  std::string path = g_kelp_home + "/bin/keelgate.pid";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) {
      unlink(path.c_str());
      KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                            "found existing pid file, please use \"killall keelgate\" to kill existing processes");
    } else {
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "can't open %s:%s", path.c_str(), strerror(errno));
    }
    exit(1);
  }
  KELP::Log::LogByLevel(KELP::LOG_NORMAL, "There is no existing pid file");
  char pid[32];
  snprintf(pid, sizeof pid, "%u", static_cast<unsigned>(getpid()));
  int tfd = open(path.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
  if (tfd < 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "truncate pid file error: %s", strerror(errno));
    exit(1);
  }
  if (write(tfd, pid, strlen(pid)) < 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "save pid file error: %s", strerror(errno));
    close(tfd);
    exit(1);
  }
  close(tfd);
  close(fd);
}

// A listening socket on 127.0.0.1:port; `what` is "connection" or "sender".
int openListener(int port, const char* what, int requestTimeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to establish socket for %s, err [%s], keel gate exit", what,
                          strerror(errno));
    exit(255);
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to set socket option for %s, err [%s]", what, strerror(errno));
  // A blocked accept returns at least once a second, so work flagged by a
  // signal that restarts calls is never left waiting for the next client.
  struct timeval wake = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  // A client is handed to a worker once it has sent something (or the
  // request timeout has passed): silent connections wait in the kernel.
  if (requestTimeout > 0) setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &requestTimeout, sizeof requestTimeout);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to bind socket for %s, err [%s], keel gate exit", what,
                          strerror(errno));
    exit(255);
  }
  if (listen(fd, kBacklog) != 0) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to listen socket for %s, err [%s], keel gate exit", what,
                          strerror(errno));
    exit(255);
  }
  return fd;
}

void forkWorkers(int first, int last, int listenFd, const char* what) {
  for (int index = first; index <= last; ++index) {
    pid_t pid = fork();
    if (pid < 0) {
      KELP::Log::LogByLevel(KELP::LOG_NORMAL, "fail to fork child process for %s, err [%s], keel gate exit",
                            what, strerror(errno));
      exit(255);
    }
    if (pid == 0) {
      AcceptAndVerify(index, listenFd);
      exit(0);
    }
  }
}

const char kUsage[] =
    "usage: keelgate [-t | -h]\n"
    "  (no option)  start the policy daemon of KELP_HOME (detaches)\n"
    "  -t           check kelp.ini, tls_policy.ini and the throttling lists of KELP_HOME\n"
    "               and exit: 0 when the daemon would start with them, 1 when not\n"
    "  -h           this text\n";

// `keelgate -t`: the start's configuration check in the foreground, its
// findings on standard error; no detach, no socket, no pid file.
int checkOnly() {
  static KELP::LogStderrSink toStderr;
  KELP::Log::Init(&toStderr, KELP::LOG_NORMAL);
  int status = 1;
  if (!readInstallationDirectory()) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "KELP_HOME must name the installation directory (at most 511 bytes)");
  } else {
    bool ok = checkConfiguration(g_kelp_home);
    checkThrottlingLists(g_kelp_home);
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "configuration of %s %s", g_kelp_home.c_str(),
                          ok ? "is ok" : "has errors: keelgate would not start");
    status = ok ? 0 : 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && strcmp(argv[1], "-t") == 0) return checkOnly();
    bool help = argc == 2 && strcmp(argv[1], "-h") == 0;
    fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 1;
  }
  detach();
  closeInheritedDescriptors();
  nullStandardDescriptors();
  umask(027);  // nothing the daemon creates is writable by others
  if (!readInstallationDirectory()) return 0;
  if (chdir("/") != 0) return 255;
  if (init() != 0) return 255;
  KELP::ServiceAccount account;
  if (!lookUpServiceAccount(account)) return 255;
  if (!checkConfiguration(g_kelp_home)) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "configuration check failed, keelgate exit");
    return 255;
  }
  warnOfReadableDatabaseLogin();
  claimPidFile();
  std::string problem;
  if (!g_answer_counters.create(g_kelp_home + "/bin/keelgate.counters", problem))
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "answer counters not kept: %s", problem.c_str());

  if (check_parent(&ismaster) == 0 && !ismaster)
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "current scanner is child");
  getScannerId();
  if (!getParentIPandPort()) return 255;

  installProcessSignals();
  int requestTimeout = requestTimeoutSeconds();
  int connectionFd = openListener(kConnectionPort, "connection", requestTimeout);
  int senderFd = openListener(kSenderPort, "sender", requestTimeout);
  handOverToServiceAccount(account);
  if (!dropPrivileges(account)) return 255;
  forkWorkers(0, 8, connectionFd, "connection");
  forkWorkers(10, 19, senderFd, "sender");
  AcceptAndVerify(9, connectionFd);
  return 0;
}
