// The TLS policy reader and its lookups. The input is split at the first
// 0xff byte into tls_policy.ini and the lookup key.
#include <string.h>

#include "fuzz/support.h"
#include "host/tls/tls_policy_config.h"

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  fuzz::enterScratchHome(*argv);
  fuzz::discardLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0xff, size));
  size_t fileSize = split ? static_cast<size_t>(split - data) : size;
  fuzz::writeScratch("config/tls_policy.ini", data, fileSize);
  std::string key = split ? std::string(reinterpret_cast<const char*>(split + 1), size - fileSize - 1) : "";
  TLSPolicyConfig config(TLS_POLICY_INBOUND, fuzz::scratchHome());
  config.init();
  TLSPolicy policy;
  config.getTLSPolicy(key, policy, true);
  if (!config.getTLSPolicy(key, policy, false) && policy.name != config.defaultPolicy().name) abort();
  return 0;
}
