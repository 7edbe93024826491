// Log levels and the words that name them in settings and in log lines.
#ifndef KEELGATE_HOST_LOG_LOG_LEVEL_H
#define KEELGATE_HOST_LOG_LOG_LEVEL_H

#include <string>

namespace KELP {

typedef int KELPLogLevel;

enum : int {
  LOG_NOLOG = 0,       // threshold only: nothing is written
  LOG_NORMAL = 1,      // failures, verdicts, start and stop, banners
  LOG_DETAIL = 2,      // threshold only
  LOG_DIAGNOSTIC = 3,  // throttling verdicts, database steps, thread starts
  LOG_DEBUG = 4,       // traces
};

// Maps a settings word to its level, ignoring case; any other word is 1.
KELPLogLevel levelFromWord(const std::string& word);

// The word of a level 0..4; other values give "normal".
const char* levelWord(KELPLogLevel level);

}  // namespace KELP

#endif
