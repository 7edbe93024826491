// keelgate-load: a load generator that speaks the policy protocol the way the
// MTA does: one connection per request, one request (~600 bytes, Postfix's
// attribute set), read the answer until the server closes.
//
//   keelgate-load [-H HOST] [-p CONN_PORT] [-q SENDER_PORT] [-c CLIENTS]
//                 [-d SECONDS] [-n MAX_REQUESTS] [-m MAIL_PERCENT]
//                 [-i CLIENT_IPS] [-s SENDERS] [-D DOMAINS] [-t TLS_PERCENT]
//                 [-l LABEL]
//
// CLIENTS threads each keep one request in flight until SECONDS have passed
// or MAX_REQUESTS were sent in all (both bounds always apply). CONNECT
// requests go to CONN_PORT, MAIL requests (MAIL_PERCENT of them) to
// SENDER_PORT. Client addresses, senders and domains are drawn from the
// spreads of bench_names.h; TLS_PERCENT of the MAIL requests carry a cipher
// and half of those a client certificate subject.
//
// Prints throughput, latency percentiles (connect to close), errors and the
// answers seen, then one line "RESULT key=value ..." for scripts.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_requests.h"

namespace {

struct Options {
  std::string host = "127.0.0.1";
  int connPort = 998, senderPort = 999;
  int clients = 8;
  double seconds = 5;
  long maxRequests = 2000000;
  int mailPercent = 50;
  bench::Spread spread;
  std::string label = "load";
};

struct ClientResult {
  std::vector<uint32_t> latencyUs;
  std::map<std::string, long> answers;
  long errors = 0;
};

double nowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// One request on a fresh connection; the answer, or "" on an error.
std::string exchange(const struct sockaddr_in& addr, const std::string& text) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::string answer;
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(n));
    if (n < 0) answer.clear();
  }
  close(fd);
  return answer;
}

void runClient(const Options& o, int id, double deadline, std::atomic<long>& budget, ClientResult& out) {
  std::mt19937 rng(12345u + static_cast<unsigned>(id) * 7919u);
  struct sockaddr_in addr[2];
  for (int i = 0; i < 2; ++i) {
    memset(&addr[i], 0, sizeof addr[i]);
    addr[i].sin_family = AF_INET;
    addr[i].sin_port = htons(static_cast<uint16_t>(i ? o.senderPort : o.connPort));
    inet_pton(AF_INET, o.host.c_str(), &addr[i].sin_addr);
  }
  out.latencyUs.reserve(1 << 16);
  while (budget.fetch_sub(1) > 0) {
    bool mail = static_cast<int>(rng() % 100) < o.mailPercent;
    std::string text = bench::policyRequest(o.spread, rng, mail);
    double start = nowSeconds();
    if (start >= deadline) break;
    std::string answer = exchange(addr[mail ? 1 : 0], text);
    double end = nowSeconds();
    if (answer.empty()) {
      ++out.errors;
      continue;
    }
    out.latencyUs.push_back(static_cast<uint32_t>((end - start) * 1e6));
    ++out.answers[answer.substr(0, answer.find('\n'))];
  }
}

uint32_t percentile(const std::vector<uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

bool parse(int argc, char** argv, Options& o) {
  int c;
  while ((c = getopt(argc, argv, "H:p:q:c:d:n:m:i:s:D:t:l:")) != -1) {
    switch (c) {
      case 'H': o.host = optarg; break;
      case 'p': o.connPort = atoi(optarg); break;
      case 'q': o.senderPort = atoi(optarg); break;
      case 'c': o.clients = atoi(optarg); break;
      case 'd': o.seconds = atof(optarg); break;
      case 'n': o.maxRequests = atol(optarg); break;
      case 'm': o.mailPercent = atoi(optarg); break;
      case 'i': o.spread.ips = static_cast<uint32_t>(strtoul(optarg, nullptr, 10)); break;
      case 's': o.spread.senders = static_cast<uint32_t>(strtoul(optarg, nullptr, 10)); break;
      case 'D': o.spread.domains = static_cast<uint32_t>(strtoul(optarg, nullptr, 10)); break;
      case 't': o.spread.tlsPercent = atoi(optarg); break;
      case 'l': o.label = optarg; break;
      default: return false;
    }
  }
  return o.clients > 0 && o.clients <= 1024 && o.seconds > 0 && o.seconds <= 600 && o.spread.ips > 0 &&
         o.spread.ips <= 0xffffff && o.spread.senders > 0 && o.spread.domains > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    fprintf(stderr, "usage: keelgate-load [-H host] [-p port] [-q port] [-c clients] [-d seconds] "
                    "[-n max] [-m mail%%] [-i ips] [-s senders] [-D domains] [-t tls%%] [-l label]\n");
    return 2;
  }
  std::vector<ClientResult> results(static_cast<size_t>(o.clients));
  std::atomic<long> budget{o.maxRequests};
  double start = nowSeconds();
  double deadline = start + o.seconds;
  std::vector<std::thread> threads;
  for (int i = 0; i < o.clients; ++i)
    threads.emplace_back(runClient, std::cref(o), i, deadline, std::ref(budget), std::ref(results[i]));
  for (auto& t : threads) t.join();
  double elapsed = nowSeconds() - start;

  std::vector<uint32_t> all;
  std::map<std::string, long> answers;
  long errors = 0;
  for (const ClientResult& r : results) {
    all.insert(all.end(), r.latencyUs.begin(), r.latencyUs.end());
    for (const auto& a : r.answers) answers[a.first] += a.second;
    errors += r.errors;
  }
  std::sort(all.begin(), all.end());
  double rps = static_cast<double>(all.size()) / elapsed;
  printf("%s: %s ports %d/%d, %d clients, %.1f s, %d%% MAIL, %u IPs, %u senders, %u domains\n",
         o.label.c_str(), o.host.c_str(), o.connPort, o.senderPort, o.clients, elapsed, o.mailPercent, o.spread.ips,
         o.spread.senders, o.spread.domains);
  printf("requests %zu  errors %ld  throughput %.0f/s\n", all.size(), errors, rps);
  printf("latency us: p50 %u  p90 %u  p99 %u  max %u\n", percentile(all, 0.5), percentile(all, 0.9),
         percentile(all, 0.99), all.empty() ? 0 : all.back());
  printf("answers:\n");
  for (const auto& a : answers) printf("  %8ld  %s\n", a.second, a.first.c_str());
  printf("RESULT label=%s clients=%d requests=%zu seconds=%.3f rps=%.0f p50_us=%u p90_us=%u p99_us=%u "
         "max_us=%u errors=%ld\n",
         o.label.c_str(), o.clients, all.size(), elapsed, rps, percentile(all, 0.5), percentile(all, 0.9),
         percentile(all, 0.99), all.empty() ? 0 : all.back(), errors);
  return errors > 0 && all.empty() ? 1 : 0;
}
