// keelgate-query: sends one policy request to a running keelgate and prints
// its answer, as an MTA would ask it.
//
//   keelgate-query [-p PORT] [-H HOST] [-s] [-r] [name=value ...]
//
// Attributes come from the command line and, with -s, from standard input
// (one name=value per line, Postfix's own format); the rest have defaults of
// a plain MAIL request. Exit status: 0 a well-formed answer, 1 usage,
// 2 nothing listens or the connection failed, 3 no or a malformed answer.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Attributes;

Attributes defaults() {
  return {{"request", "smtpd_access_policy"}, {"protocol_state", "MAIL"},
          {"protocol_name", "ESMTP"},         {"client_address", "192.0.2.10"},
          {"client_name", "mx.example.org"},  {"reverse_client_name", "mx.example.org"},
          {"helo_name", "mx.example.org"},    {"sender", "someone@example.org"},
          {"recipient", ""},                  {"ccert_subject", ""},
          {"encryption_protocol", ""},        {"encryption_cipher", ""},
          {"encryption_keysize", "0"}};
}

void set(Attributes& attrs, const std::string& nameValue) {
  size_t eq = nameValue.find('=');
  std::string name = nameValue.substr(0, eq);
  std::string value = eq == std::string::npos ? "" : nameValue.substr(eq + 1);
  for (auto& a : attrs)
    if (a.first == name) return void(a.second = value);
  attrs.emplace_back(name, value);
}

int usage() {
  fprintf(stderr,
          "usage: keelgate-query [-p PORT] [-H HOST] [-s] [-r] [name=value ...]\n"
          "  -p PORT  998 (connection checks) or 999 (sender checks, the default)\n"
          "  -H HOST  address of keelgate (default 127.0.0.1)\n"
          "  -s       also read name=value lines from standard input\n"
          "  -r       print the answer's raw bytes, escapes for line feeds\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 999;
  std::string host = "127.0.0.1";
  bool fromStdin = false, raw = false;
  int opt;
  while ((opt = getopt(argc, argv, "p:H:srh")) != -1) {
    switch (opt) {
      case 'p': port = atoi(optarg); break;
      case 'H': host = optarg; break;
      case 's': fromStdin = true; break;
      case 'r': raw = true; break;
      default: return usage();
    }
  }
  if (port <= 0 || port > 65535) return usage();
  Attributes attrs = defaults();
  if (fromStdin)
    for (std::string line; std::getline(std::cin, line);)
      if (!line.empty()) set(attrs, line);
  for (int i = optind; i < argc; ++i) {
    if (strchr(argv[i], '=') == nullptr) return usage();
    set(attrs, argv[i]);
  }
  std::string request;
  for (const auto& a : attrs) request += a.first + "=" + a.second + "\n";
  request += "\n";

  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return usage();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    fprintf(stderr, "keelgate-query: cannot connect to %s:%d: %s (is keelgate running?)\n", host.c_str(), port,
            strerror(errno));
    return 2;
  }
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    fprintf(stderr, "keelgate-query: sending the request failed: %s\n", strerror(errno));
    return 2;
  }
  std::string answer;
  char buf[512];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
  close(fd);
  if (raw) {
    std::string shown;
    for (char c : answer) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    printf("%s\n", shown.c_str());
  } else {
    printf("%s", answer.c_str());
  }
  bool wellFormed = answer.compare(0, 7, "action=") == 0 && answer.size() > 9 &&
                    answer.compare(answer.size() - 2, 2, "\n\n") == 0;
  if (!wellFormed && answer != "220 i am ok\n") {
    fprintf(stderr, "keelgate-query: %s answer from %s:%d\n", answer.empty() ? "no" : "malformed", host.c_str(),
            port);
    return 3;
  }
  return 0;
}
