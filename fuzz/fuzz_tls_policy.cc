// The TLS policy reader and its lookups. The input is split at the first
// 0xff byte into tls_policy.ini and the lookup key.
#include "fuzz/support.h"
#include "host/tls/tls_policy_config.h"

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  fuzz::enterScratchHome(*argv);
  fuzz::discardLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\xff');
  fuzz::writeScratch("config/tls_policy.ini", input.substr(0, split));
  std::string key = split < size ? input.substr(split + 1) : "";
  TLSPolicyConfig config(TLS_POLICY_INBOUND, fuzz::scratchHome());
  config.init();
  TLSPolicy policy;
  config.getTLSPolicy(key, policy, true);
  if (!config.getTLSPolicy(key, policy, false) && policy.name != config.defaultPolicy().name) abort();
  return 0;
}
