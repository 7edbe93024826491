// The parser of `openssl ciphers -v` listings.
#include "daemon/cipher_suites.h"
#include "daemon/globals.h"
#include "fuzz/support.h"

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  fuzz::enterScratchHome(*argv);
  fuzz::discardLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::writeScratch("cipher_listing", data + 1, size - 1);
  extract_ciphers_map((fuzz::scratchHome() + "/cipher_listing").c_str(), data[0] % 3);
  g_high_cipher_suites.clear();
  g_medium_cipher_suites.clear();
  return 0;
}
