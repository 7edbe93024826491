// request-driver: one worker's request path in process, for profilers. Sets
// up the worker as the daemon does (log, cipher tables, role, TLS policies,
// throttling, local agent client) on KELP_HOME, then answers a fixed set of
// requests from the load generator's spread with answerPolicyRequest, as the
// worker loop would between its read and its write.
//
//   KELP_HOME=... request-driver [REQUESTS]     (agent sink on the agent port)
//
// Under callgrind, collect only the request path:
//   valgrind --tool=callgrind --toggle-collect='answerPolicyRequest*' request-driver
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "bench/bench_requests.h"
#include "daemon/globals.h"
#include "daemon/request_handler.h"
#include "daemon/scanner_identity.h"
#include "daemon/startup_init.h"
#include "daemon/throttling_setup.h"
#include "host/config/install_dir.h"

int main(int argc, char** argv) {
  int count = argc > 1 ? atoi(argv[1]) : 20000;
  g_kelp_home = KELP::installDir("");
  if (init() != 0) {
    fprintf(stderr, "request-driver: start-up initialisation failed on %s\n", g_kelp_home.c_str());
    return 1;
  }
  check_parent(&ismaster);
  getScannerId();
  if (!getParentIPandPort()) return 1;
  TLSPolicyConfig tls(TLS_POLICY_INBOUND, g_kelp_home);
  tls.init();
  if (!initSmtpConn()) fprintf(stderr, "request-driver: throttling disabled\n");
  SmtpConnLongTcpConnClient agent;
  agent.init("127.0.0.1", parentPort);
  WorkerState state{&tls, &agent, TLSPolicy()};

  bench::Spread spread;
  std::mt19937 rng(2024);
  std::vector<std::string> requests;
  for (int i = 0; i < count; ++i) requests.push_back(bench::policyRequest(spread, rng, rng() % 2 == 0));
  size_t answered = 0;
  for (const std::string& r : requests) {
    answered += answerPolicyRequest(r, state).size();
    agent.flush(g_server_close);
  }
  printf("answered %zu requests (%zu answer bytes)\n", requests.size(), answered);
  return 0;
}
