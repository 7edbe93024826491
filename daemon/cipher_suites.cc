#include "daemon/cipher_suites.h"

#include <errno.h>
#include <string.h>

#include <fstream>
#include <string>

#include "daemon/globals.h"

namespace {

// One listing line: "<name> <protocol> Kx=.. Au=.. Enc=AES(256) Mac=..".
void extractLine(const std::string& line, int type) {
  KELP::Log::LogByLevel(KELP::LOG_DEBUG, "Current line to process is [%s]", line.c_str());
  size_t blank = line.find(' ');
  if (blank == std::string::npos) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "extract cipher_name fail");
    return;
  }
  std::string name = line.substr(0, blank);
  if (line.find("SSLv2") != std::string::npos) {
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "should omit ciphers of SSLv2 for security");
    return;
  }
  size_t open = line.find('(');
  size_t close = line.find(')');
  if (open == std::string::npos || close == std::string::npos) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "extract cipher_length fail");
    return;
  }
  // A ")" before the first "(" yields an empty length rather than a crash.
  std::string length = close > open ? line.substr(open + 1, close - open - 1) : std::string();
  if (type == CIPHER_SUITES_HIGH) {
    g_high_cipher_suites[name] = length;
    KELP::Log::LogByLevel(KELP::LOG_DEBUG, "Cipher suites type is [High], cipher is [%s], length is [%s]",
                          name.c_str(), length.c_str());
  } else if (type == CIPHER_SUITES_MEDIUM) {
    g_medium_cipher_suites[name] = length;
    KELP::Log::LogByLevel(KELP::LOG_DEBUG,
                          "Cipher suites type is [Medium], cipher is [%s], length is [%s]",
                          name.c_str(), length.c_str());
  } else {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "no such cipher suites type, cipher is [%s], length is [%s]",
                          name.c_str(), length.c_str());
  }
}

}  // namespace

void extract_ciphers_map(const char* path, int type) {
  std::ifstream in(path);
  if (!in.is_open()) {
    KELP::Log::LogByLevel(KELP::LOG_NORMAL, "Failed to open cipher list file [%s], error: %s", path,
                          strerror(errno));
    return;
  }
  std::string line;
  while (std::getline(in, line)) extractLine(line, type);
}
