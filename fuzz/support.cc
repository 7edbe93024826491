#include "fuzz/support.h"

#include <stdlib.h>
#include <unistd.h>
#include <sys/stat.h>

#include <fstream>

#include "host/log/log.h"

namespace fuzz {

namespace {

class DiscardSink : public KELP::LogMsg {
 public:
  void write(KELP::KELPLogLevel, const char*, size_t) override {}
};

}  // namespace

void enterScratchHome(char** argv) {
  if (getenv("KEELGATE_FUZZ_HOME") != nullptr) return;
  char tmpl[] = "/tmp/keelgate-fuzz.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  std::string h = tmpl;
  mkdir((h + "/config").c_str(), 0755);
  mkdir((h + "/config/throttling").c_str(), 0755);
  mkdir((h + "/log").c_str(), 0755);
  setenv("KEELGATE_FUZZ_HOME", h.c_str(), 1);
  setenv("KELP_HOME", h.c_str(), 1);
  execv("/proc/self/exe", argv);
  abort();
}

const std::string& scratchHome() {
  static std::string home = [] {
    const char* h = getenv("KEELGATE_FUZZ_HOME");
    if (h == nullptr) abort();
    return std::string(h);
  }();
  return home;
}

void writeScratch(const std::string& rel, const std::string& text) {
  std::ofstream(scratchHome() + "/" + rel, std::ios::binary | std::ios::trunc) << text;
}

void discardLog() {
  static DiscardSink sink;
  KELP::Log::Init(&sink, KELP::LOG_DEBUG);
}

}  // namespace fuzz
