// A child scanner without a database keeps its traffic counts until it can
// report them, that is for ever: a client that sends ever new senders must
// not grow a worker without bound. Past max_traffic_keys new keys are
// dropped, and each cycle of the traffic-log thread says how many.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/fake_agent.h"

namespace e2e {
namespace {

long residentKb(pid_t pid) { return atol(procStatus(pid, "VmRSS").c_str()); }

TEST(Caps, ChildWithoutDatabaseHoldsAtMostMaxTrafficKeys) {
  Installation home;
  home.setKelpIni("kelp_manager", "role", "child");
  home.setKelpIni("smtp_traffic_throttling", "sender_enable", "yes");
  home.setKelpIni("smtp_traffic_throttling", "max_traffic_keys", "20000");
  FakeAgent agent;  // the scanner's own agent takes a line per message
  ASSERT_EQ(-1, home.start());
  ASSERT_TRUE(home.keepOnly(home.mainPid()));  // all 200 000 in one worker
  const long before = residentKb(home.mainPid());
  for (int i = 0; i < 200000; ++i)
    ASSERT_EQ(kUnused, ask(998, stageRequest("MAIL", "198.51.100.23", "u" + std::to_string(i) + "@flood.example")));
  // The bound: the 20 000 kept keys take a few MB; 200 000 would take ~50 MB.
  // AddressSanitizer keeps freed memory in quarantine: no bound under it.
  const long grown = residentKb(home.mainPid()) - before;
#ifdef __SANITIZE_ADDRESS__
  (void)grown;
#else
  EXPECT_LT(grown, 24 * 1024) << "kB grown";
#endif
  const std::string full = "traffic counts full (20000 keys per rule): ";
  long total = 0;
  EXPECT_TRUE(waitUntil([&] {
    total = 0;
    for (const std::string& line : home.logLines()) {
      size_t at = line.find(full);
      if (at != std::string::npos) total += atol(line.c_str() + at + full.size());
    }
    return total == 180000;
  }, 45000)) << total;
}

}  // namespace
}  // namespace e2e
