// lists-bench: the cost of the throttling lists and TLS policies of one
// installation, in process: loading the lists as the first worker (build the
// shared image), as the other workers (map and check it), an unchanged
// reload, loading the TLS policies (each worker's own copy), and the lookups
// the requests make, in nanoseconds: each kind over a few thousand keys, and
// all of one request's lookups over keys from the load's whole spread.
//
//   lists-bench KELP_HOME [LOOKUPS]
//
// Prints a small table and one "RESULT ..." line. Removes the images of
// <KELP_HOME>/bin first so that the build is measured.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "bench/bench_requests.h"
#include "host/lists/smtp_conn_config.h"
#include "host/tls/tls_policy_config.h"

namespace {

double nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void removeImages(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d))
    if (strncmp(e->d_name, "throttling-lists-", 17) == 0) unlinkat(dirfd(d), e->d_name, 0);
  closedir(d);
}

long long imageBytes(const std::string& dir) {
  long long total = 0;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  while (struct dirent* e = readdir(d)) {
    struct stat st;
    if (strncmp(e->d_name, "throttling-lists-", 17) == 0 && fstatat(dirfd(d), e->d_name, &st, 0) == 0)
      total += st.st_size;
  }
  closedir(d);
  return total;
}

double timedInit(SmtpConnConfig& config) {
  double start = nowMs();
  if (!config.init()) {
    fprintf(stderr, "lists-bench: init failed\n");
    exit(1);
  }
  return nowMs() - start;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: lists-bench KELP_HOME [LOOKUPS]\n");
    return 2;
  }
  std::string home = argv[1];
  int lookups = argc > 2 ? atoi(argv[2]) : 400000;
  removeImages(home + "/bin");

  SmtpConnConfig builder(home);
  double buildMs = timedInit(builder);
  SmtpConnConfig mapper(home);
  double mapMs = timedInit(mapper);
  double unchangedMs = timedInit(mapper);

  // The lookups of the requests: clients and senders of the load spread.
  bench::Spread spread;
  std::mt19937 rng(99);
  std::vector<std::string> ips, senders;
  for (int i = 0; i < 4096; ++i) {
    ips.push_back(bench::dottedQuad(bench::clientAddr(rng() % spread.ips)));
    senders.push_back(bench::senderName(rng() % spread.senders, spread.domains));
  }
  double bestIp = 1e18, bestSender = 1e18;
  long sink = 0;
  for (int round = 0; round < 3; ++round) {
    double start = nowMs();
    for (int i = 0; i < lookups; ++i) sink += mapper.getIPInfo(ips[i & 4095], 1 + 2 * (i & 1));
    bestIp = std::min(bestIp, (nowMs() - start) * 1e6 / lookups);
    start = nowMs();
    for (int i = 0; i < lookups; ++i) sink += mapper.getSenderInfo(senders[i & 4095]);
    bestSender = std::min(bestSender, (nowMs() - start) * 1e6 / lookups);
  }
  TLSPolicyConfig tls(TLS_POLICY_INBOUND, home);
  double start = nowMs();
  tls.init();
  double tlsMs = nowMs() - start;

  // The lookups of one MAIL request (client IP, sender, TLS client and
  // domain) with keys drawn from the whole spread: unlike the loops above,
  // most of them miss the caches, as a busy gateway's stream of clients does.
  const int kSpreadKeys = 65536;
  std::vector<std::string> spreadIps, spreadSenders, spreadDomains;
  for (int i = 0; i < kSpreadKeys; ++i) {
    spreadIps.push_back(bench::dottedQuad(bench::clientAddr(rng() % spread.ips)));
    spreadSenders.push_back(bench::senderName(rng() % spread.senders, spread.domains));
    spreadDomains.push_back(spreadSenders.back().substr(spreadSenders.back().find('@') + 1));
  }
  double bestRequest = 1e18;
  for (int round = 0; round < 3; ++round) {
    TLSPolicy policy;
    start = nowMs();
    for (int i = 0; i < lookups; ++i) {
      int k = static_cast<int>((i * 40503u) % kSpreadKeys);  // a fixed, cache-unfriendly order
      sink += mapper.getIPInfo(spreadIps[k], 3);
      sink += mapper.getSenderInfo(spreadSenders[k]);
      sink += tls.getTLSPolicy(spreadIps[k], policy, true) ? 1 : 0;
      sink += tls.getTLSPolicy(spreadDomains[k], policy, false) ? 1 : 0;
    }
    bestRequest = std::min(bestRequest, (nowMs() - start) * 1e6 / lookups);
  }
  double bestTls = 1e18;
  for (int round = 0; round < 3; ++round) {
    TLSPolicy policy;
    start = nowMs();
    for (int i = 0; i < lookups; ++i) {
      std::string domain = senders[i & 4095].substr(senders[i & 4095].find('@') + 1);
      sink += tls.getTLSPolicy(ips[i & 4095], policy, true) ? 1 : 0;
      sink += tls.getTLSPolicy(domain, policy, false) ? 1 : 0;
    }
    bestTls = std::min(bestTls, (nowMs() - start) * 1e6 / lookups);
  }
  long long bytes = imageBytes(home + "/bin");
  printf("%-28s %12s\n", "step", "value");
  printf("%-28s %12.1f\n", "first load, builds (ms)", buildMs);
  printf("%-28s %12.1f\n", "other worker, maps (ms)", mapMs);
  printf("%-28s %12.3f\n", "reload, unchanged (ms)", unchangedMs);
  printf("%-28s %12.0f\n", "getIPInfo (ns)", bestIp);
  printf("%-28s %12.0f\n", "getSenderInfo (ns)", bestSender);
  printf("%-28s %12lld\n", "image (bytes)", bytes);
  printf("%-28s %12.1f\n", "TLS policies load (ms)", tlsMs);
  printf("%-28s %12.0f\n", "TLS client+domain (ns)", bestTls);
  printf("%-28s %12.0f\n", "one request, spread (ns)", bestRequest);
  printf("RESULT build_ms=%.1f map_ms=%.1f unchanged_ms=%.3f ip_ns=%.0f sender_ns=%.0f image_bytes=%lld "
         "tls_ms=%.1f tls_ns=%.0f request_ns=%.0f check=%ld\n",
         buildMs, mapMs, unchangedMs, bestIp, bestSender, bytes, tlsMs, bestTls, bestRequest, sink);
  return 0;
}
