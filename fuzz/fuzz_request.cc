// The worker's handling of one read's bytes, up to the answer: parsing, the
// throttling lists and the TLS decision. Every answer must be one the
// protocol allows.
#include <string.h>

#include "daemon/globals.h"
#include "daemon/request_handler.h"
#include "daemon/throttling_setup.h"
#include "fuzz/support.h"

namespace {

WorkerState* state;

const char kKelpIni[] =
    "[kelp_manager]\nscanner_id = 1\n"
    "[smtp_traffic_throttling]\nenable = yes\nlog_level = debug\n"
    "ip_blocked_action = action=421 4.7.0 blocked ip\n"
    "sender_blocked_action = action=450 4.7.1 blocked sender\n";
const char kPolicies[] =
    "[default]\nlevel = may\ncipher = medium\n"
    "[policy a]\nlevel = verify\ncipher = high\nclients = 192.0.2.0/24 2001:db8::/32\ndomains = bank.example\n"
    "[policy b]\nlevel = none\nclients = 198.51.100.7\ndomains = .plain.example\n"
    "[policy c]\nlevel = encrypt\ncipher = medium\nclients = 203.0.113.0/25\n";

bool allowedAnswer(const std::string& a) {
  if (a == "220 i am ok\n") return true;
  return a.compare(0, 7, "action=") == 0 && a.size() >= 9 && a.compare(a.size() - 2, 2, "\n\n") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  fuzz::enterScratchHome(*argv);
  fuzz::writeScratch("config/kelp.ini", kKelpIni);
  fuzz::writeScratch("config/tls_policy.ini", kPolicies);
  fuzz::writeScratch("config/throttling/blocked_ip", "203.0.113.66\n198.51.100.0/24 1\n");
  fuzz::writeScratch("config/throttling/approved_ip", "192.0.2.10\n");
  fuzz::writeScratch("config/throttling/blocked_sender", "spam@spam.example\n@bad.example 1\n<>\n");
  fuzz::writeScratch("config/throttling/approved_sender", "@good.example\n");
  g_kelp_home = fuzz::scratchHome();
  g_high_cipher_suites["TLS_AES_256_GCM_SHA384"] = "256";
  g_medium_cipher_suites["TEST-MEDIUM-SHA"] = "128";
  fuzz::discardLog();
  initSmtpConn();
  static TLSPolicyConfig tls(TLS_POLICY_INBOUND, fuzz::scratchHome());
  tls.init();
  static SmtpConnLongTcpConnClient agent;
  agent.init("127.0.0.1", 1);
  state = new WorkerState{&tls, &agent, TLSPolicy()};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char buf[2048];
  memset(buf, 0, sizeof buf);
  memcpy(buf, data, size < sizeof buf - 1 ? size : sizeof buf - 1);
  std::string answer = answerPolicyRequest(std::string(buf), *state);
  state->agent->flush(g_server_close);
  if (!allowedAnswer(answer)) abort();
  return 0;
}
