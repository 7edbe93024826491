// Reachability probe of the gateway database (QxDBConnection::isDBAlive):
// connects a socket to the configured server without logging in.
#include "host/db/qx_db_connection.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

#include "host/config/install_dir.h"
#include "host/log/log.h"
#include "host/db/odbc_data_source.h"

namespace KELP {

namespace {

typedef std::chrono::steady_clock Steady;

int msLeft(Steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Connects a fresh non-blocking socket to `addr` before `deadline`. 0 when
// connected, else the errno of the failure (ETIMEDOUT at the deadline).
int connectBefore(int family, const struct sockaddr* addr, socklen_t len,
                  Steady::time_point deadline) {
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int err = 0;
  if (connect(fd, addr, len) != 0) {
    err = errno;
    while (err == EINPROGRESS || err == EINTR) {
      struct pollfd p = {fd, POLLOUT, 0};
      int n = poll(&p, 1, msLeft(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n == 0 ? ETIMEDOUT : errno;
        break;
      }
      socklen_t errLen = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) err = errno;
    }
  }
  close(fd);
  return err;
}

int probeUnixSocket(const std::string& dir, int port, Steady::time_point deadline) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::string path = dir + "/.s.PGSQL." + std::to_string(port);
  if (path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return connectBefore(AF_UNIX, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr, deadline);
}

// Tries each address of `host` in turn until one accepts.
int probeTcp(const std::string& host, int port, Steady::time_point deadline) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  std::string service = std::to_string(port);
  struct addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc == EAI_NONAME) {
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  }
  if (rc != 0) {
    Log::LogByLevel(LOG_DIAGNOSTIC, "database server [%s]: cannot resolve it: %s", host.c_str(),
                    gai_strerror(rc));
    return EHOSTUNREACH;
  }
  int err = EHOSTUNREACH;
  for (struct addrinfo* ai = found; ai != nullptr && err != 0; ai = ai->ai_next)
    err = connectBefore(ai->ai_family, ai->ai_addr, ai->ai_addrlen, deadline);
  freeaddrinfo(found);
  return err;
}

}  // namespace

bool QxDBConnection::isDBAlive(const std::string& home) {
  OdbcDataSource source;
  if (!readOdbcDataSource(home, source)) return false;
  Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(kProbeTimeoutMs);
  int err = source.servername[0] == '/'
                ? probeUnixSocket(source.servername, source.port, deadline)
                : probeTcp(source.servername, source.port, deadline);
  if (err != 0)
    Log::LogByLevel(LOG_DIAGNOSTIC, "database server [%s] port %d not reachable: %s",
                    source.servername.c_str(), source.port, strerror(err));
  return err == 0;
}

bool QxDBConnection::isDBAlive() { return isDBAlive(installDir("")); }

}  // namespace KELP
