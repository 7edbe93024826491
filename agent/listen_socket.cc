#include "agent/listen_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "agent/net_address.h"

namespace agent {

namespace {

const int kBacklog = 512;

}  // namespace

int openListenSocket(const std::string& host, int port, std::string& problem) {
  const std::string name = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  IpAddress address;
  if (!parseIpAddress(host, address)) {
    problem = "cannot listen on " + name + ": not an IP address";
    return -1;
  }
  struct sockaddr_storage storage = {};
  socklen_t length;
  if (address.v6) {
    auto* a = reinterpret_cast<struct sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    memcpy(&a->sin6_addr, address.bytes, 16);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<struct sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    memcpy(&a->sin_addr, address.bytes, 4);
    length = sizeof *a;
  }
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      (address.v6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&storage), length) != 0 || listen(fd, kBacklog) != 0) {
    problem = "cannot listen on " + name + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

void adoptListenSocket(asio::ip::tcp::acceptor& acceptor, int fd, asio::error_code& error) {
  struct sockaddr_storage local = {};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length);
  acceptor.assign(local.ss_family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), fd, error);
}

}  // namespace agent
