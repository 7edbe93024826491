// keelgate-agent-sink: a stand-in for the gateway's SMTP agent. It listens
// where keelgate sends its traffic lines (127.0.0.1:10040 by default) and
// prints every line it receives, so an operator or a test can watch them.
//
//   keelgate-agent-sink [-H HOST] [-p PORT] [-o FILE] [-c N] [-n] [-t SECONDS]
//     -o FILE  append lines to FILE (flushed per line) instead of stdout
//     -c N     close each connection after N lines (a misbehaving agent)
//     -n       accept connections but never read them (a hung agent)
//     -t S     exit after S seconds (default: run until killed)
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct Connection {
  std::string partial;
  int lines = 0;
};

int listenOn(const char* host, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host, &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0) {
    fprintf(stderr, "keelgate-agent-sink: cannot listen on %s:%d: %s\n", host, port, strerror(errno));
    exit(2);
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  const char* host = "127.0.0.1";
  int port = 10040, closeAfter = 0, seconds = 0;
  bool hang = false;
  FILE* out = stdout;
  int opt;
  while ((opt = getopt(argc, argv, "H:p:o:c:nt:")) != -1) {
    switch (opt) {
      case 'H': host = optarg; break;
      case 'p': port = atoi(optarg); break;
      case 'o':
        out = fopen(optarg, "a");
        if (out == nullptr) return perror(optarg), 2;
        break;
      case 'c': closeAfter = atoi(optarg); break;
      case 'n': hang = true; break;
      case 't': seconds = atoi(optarg); break;
      default:
        fprintf(stderr, "usage: keelgate-agent-sink [-H HOST] [-p PORT] [-o FILE] [-c N] [-n] [-t SECONDS]\n");
        return 1;
    }
  }
  int listenFd = listenOn(host, port);
  time_t end = seconds > 0 ? time(nullptr) + seconds : 0;
  std::map<int, Connection> conns;
  for (;;) {
    if (end != 0 && time(nullptr) >= end) break;
    std::vector<struct pollfd> fds = {{listenFd, POLLIN, 0}};
    if (!hang)
      for (const auto& c : conns) fds.push_back({c.first, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 500) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) conns[fd] = Connection();
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      int fd = fds[i].fd;
      char buf[4096];
      ssize_t n = read(fd, buf, sizeof buf);
      Connection& c = conns[fd];
      if (n > 0) c.partial.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = c.partial.find('\n')) != std::string::npos) {
        fprintf(out, "%s\n", c.partial.substr(0, nl).c_str());
        fflush(out);
        c.partial.erase(0, nl + 1);
        ++c.lines;
      }
      if (n <= 0 || (closeAfter > 0 && c.lines >= closeAfter)) {
        close(fd);
        conns.erase(fd);
      }
    }
  }
  return 0;
}
