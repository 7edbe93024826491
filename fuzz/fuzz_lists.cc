// The throttling configuration: kelp.ini's settings and the four list files,
// loaded and then asked. The input is split at 0xff bytes into kelp.ini,
// approved_ip, blocked_ip, approved_sender, blocked_sender and the keys to
// look up.
#include <vector>

#include "daemon/globals.h"
#include "fuzz/support.h"

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  fuzz::enterScratchHome(*argv);
  fuzz::discardLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const files[] = {"config/kelp.ini", "config/throttling/approved_ip",
                                      "config/throttling/blocked_ip", "config/throttling/approved_sender",
                                      "config/throttling/blocked_sender"};
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xff)
      parts.emplace_back();
    else
      parts.back().push_back(static_cast<char>(data[i]));
  }
  parts.resize(7);
  for (int i = 0; i < 5; ++i) fuzz::writeScratch(files[i], parts[i]);
  smtpConnConfig.init();
  for (int kind : {1, 3}) {
    int r = smtpConnConfig.getIPInfo(parts[5], kind);
    if (r < 1 || r > 6) abort();
  }
  int s = smtpConnConfig.getSenderInfo(parts[6]);
  if (s < 7 || s > 10) abort();
  return 0;
}
