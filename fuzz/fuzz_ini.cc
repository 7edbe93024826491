// The ini reader of every configuration file.
#include "fuzz/support.h"
#include "host/config/config_file_on_disk.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::discardLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KELP::ConfigFileOnDisk file(nullptr);
  file.parse(std::string(reinterpret_cast<const char*>(data), size));
  file.logProblems();
  for (const auto& section : file.sections()) {
    for (const auto& entry : section.entries) {
      std::string value;
      bool plain = section.name.find('\0') == std::string::npos && entry.key.find('\0') == std::string::npos;
      if (plain && !file.getparam(section.name.c_str(), entry.key.c_str(), value)) abort();
      bool b;
      KELP::parseBoolWord(value, b);
    }
  }
  return 0;
}
