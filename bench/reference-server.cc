// reference-server: the bare pre-forked server that keelgate is measured
// against. Same frame as keelgate — two listening sockets on 127.0.0.1, a
// pool of processes in one process group, the main process one of them, each
// serving one connection at a time: accept, one read, one write of a fixed
// answer, close — and nothing else. With -a it also sends one ~80-byte line
// per request over a kept connection to an agent (as keelgate's traffic
// lines do), reconnecting once when the send fails.
//
//   reference-server [-p CONN_PORT] [-q SENDER_PORT] [-n PROCESSES] [-a AGENT_PORT]
//
// Runs in the foreground until SIGTERM or SIGINT reaches a process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kAnswer[] = "action=DUNNO Non-need check\n\n";

struct sockaddr_in loopback(int port) {
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int listenOn(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr = loopback(port);
  if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1200) != 0) {
    perror("reference-server: listen");
    exit(255);
  }
  return fd;
}

int connectAgent(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = loopback(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

void sendToAgent(int port, int& agent, const char* line, size_t len) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (agent < 0) agent = connectAgent(port);
    if (agent >= 0 && send(agent, line, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len)) return;
    if (agent >= 0) close(agent);
    agent = -1;
  }
}

void serve(int listenFd, int agentPort) {
  signal(SIGPIPE, SIG_IGN);
  int agent = -1;
  char buf[2048];
  for (;;) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    if (n > 0) {
      send(fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
      if (agentPort > 0) {
        char line[128];
        int len = snprintf(line, sizeof line,
                           "ORCAS-Conn-IP 192.0.2.1 1 1 %ld reference-server-padding-to-eighty-bytes\n",
                           static_cast<long>(time(nullptr)));
        sendToAgent(agentPort, agent, line, static_cast<size_t>(len));
      }
    }
    close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int connPort = 998, senderPort = 999, processes = 20, agentPort = 0;
  int c;
  while ((c = getopt(argc, argv, "p:q:n:a:")) != -1) {
    switch (c) {
      case 'p': connPort = atoi(optarg); break;
      case 'q': senderPort = atoi(optarg); break;
      case 'n': processes = atoi(optarg); break;
      case 'a': agentPort = atoi(optarg); break;
      default:
        fprintf(stderr, "usage: reference-server [-p port] [-q port] [-n processes] [-a agent_port]\n");
        return 2;
    }
  }
  if (processes < 2 || processes > 200) return 2;
  int conn = listenOn(connPort);
  int sender = listenOn(senderPort);
  int half = processes / 2;
  for (int i = 0; i < processes - 1; ++i) {
    pid_t pid = fork();
    if (pid < 0) {
      perror("reference-server: fork");
      return 255;
    }
    if (pid == 0) {
      serve(i < half - 1 ? conn : sender, agentPort);
      return 0;
    }
  }
  serve(conn, agentPort);
  return 0;
}
