// counting-bench: the counting side of throttling at a busy worker's scale,
// in process. With ITEMS distinct client IPs and senders (all three counting
// rules on) it times: recording the observations into the traffic list's raw
// maps (first sight and repeats), a report of each raw map of that size to an
// agent (keelgate-agent-sink on 127.0.0.1:PORT), and recording and writing
// ITEMS blocked items to the blocked-connection CSV log under DIR.
//
//   counting-bench DIR [ITEMS] [PORT]      (run in a private network namespace)
//
// Prints a table and one "RESULT ..." line per row.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "bench/bench_names.h"
#include "throttling/smtp_conn_blocked_list.h"
#include "throttling/smtp_conn_traffic_list.h"

namespace {

double nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Row {
  std::string step;
  size_t items;
  double ms;
};

std::vector<Row> rows;

template <typename F>
void timed(const std::string& step, size_t items, F body) {
  double start = nowMs();
  body();
  rows.push_back({step, items, nowMs() - start});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: counting-bench DIR [ITEMS] [PORT]\n");
    return 2;
  }
  std::string dir = argv[1];
  size_t items = argc > 2 ? strtoul(argv[2], nullptr, 10) : 100000;
  int port = argc > 3 ? atoi(argv[3]) : 10040;
  std::vector<std::string> ips, senders;
  for (size_t i = 0; i < items; ++i) {
    ips.push_back(bench::dottedQuad(bench::clientAddr(static_cast<uint32_t>(i))));
    senders.push_back(bench::senderName(static_cast<uint32_t>(i), 1000));
  }

  SmtpConnTrafficList traffic;
  auto record = [&] {
    for (size_t i = 0; i < items; ++i) {
      RawConnTrafficItem item;
      traffic.createTrafficLog(ips[i], "", kTrafficIPConn, 1, item);
      traffic.recordTrafficConn(item);
      traffic.createTrafficLog(ips[i], senders[i], kTrafficIPMsg, 1, item);
      traffic.recordTrafficConn(item);
      traffic.createTrafficLog(ips[i], senders[i], kTrafficSenderMsg, 1, item);
      traffic.recordTrafficConn(item);
    }
  };
  timed("record, new keys (x3 maps)", 3 * items, record);
  timed("record, repeated keys (x3)", 3 * items, record);
  timed("report IP connections", items, [&] { traffic.sendIPBaseConnTrafficToParent("127.0.0.1", port); });
  timed("report IP messages", items, [&] { traffic.sendIPBaseMsgTrafficToParent("127.0.0.1", port); });
  timed("report senders", items, [&] { traffic.sendSenderBaseTrafficToParent("127.0.0.1", port); });

  SmtpConnBlockedList blocked(300, dir, "bench_blocked", 1024, "", "normal");
  timed("record blocked items", 2 * items, [&] {
    for (size_t i = 0; i < items; ++i) {
      blocked.recordBlockedConn(ips[i], "", 1);
      blocked.recordBlockedConn(ips[i], senders[i], 2);
    }
  });
  size_t pending = blocked.size();
  int status = 0;
  timed("write blocked CSV rows", pending, [&] { status = blocked.log(); });

  printf("%-30s %10s %10s %10s\n", "step", "items", "total ms", "us/item");
  for (const Row& r : rows)
    printf("%-30s %10zu %10.1f %10.3f\n", r.step.c_str(), r.items, r.ms, r.items ? r.ms * 1e3 / r.items : 0.0);
  for (const Row& r : rows)
    printf("RESULT step=\"%s\" items=%zu ms=%.1f\n", r.step.c_str(), r.items, r.ms);
  if (status != 0) fprintf(stderr, "counting-bench: the CSV log failed\n");
  return status == 0 ? 0 : 1;
}
