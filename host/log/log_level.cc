#include "host/log/log_level.h"

#include <strings.h>

namespace KELP {

namespace {
const char* const kWords[] = {"nolog", "normal", "detail", "diagnostic", "debug"};
}

KELPLogLevel levelFromWord(const std::string& word) {
  // Checked in the settings' own order; the first match wins.
  static const struct { const char* word; KELPLogLevel level; } table[] = {
      {"debug", LOG_DEBUG}, {"diagnostic", LOG_DIAGNOSTIC}, {"normal", LOG_NORMAL},
      {"detail", LOG_DETAIL}, {"nolog", LOG_NOLOG},
  };
  for (const auto& row : table)
    if (strcasecmp(word.c_str(), row.word) == 0) return row.level;
  return LOG_NORMAL;
}

const char* levelWord(KELPLogLevel level) {
  if (level < LOG_NOLOG || level > LOG_DEBUG) return kWords[LOG_NORMAL];
  return kWords[level];
}

}  // namespace KELP
