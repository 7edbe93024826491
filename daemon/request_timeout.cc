#include "daemon/request_timeout.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "daemon/globals.h"
#include "daemon/signals.h"

bool parseRequestTimeout(const std::string& text, int& seconds) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0 || value > 3600) return false;
  seconds = static_cast<int>(value);
  return true;
}

int requestTimeoutSeconds(int current) {
  if (g_cfg_kelp_onmem == nullptr || !g_cfg_kelp_onmem->isReady()) return current;
  std::string text;
  if (g_cfg_kelp_onmem->getValue("request_timeout", text, "keelgate", "kelp.ini") != 0) return kDefaultRequestTimeout;
  int seconds = current;
  if (!parseRequestTimeout(text, seconds))
    KELP::Log::LogByLevel(KELP::LOG_NORMAL,
                          "kelp.ini [keelgate]: bad value [%.64s] for key [request_timeout], keeping %d seconds",
                          text.c_str(), current);
  return seconds;
}

bool waitForRequest(int fd, int seconds) {
  struct timespec now, deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += seconds;
  for (;;) {
    int waitMs = -1;
    if (seconds > 0) {
      clock_gettime(CLOCK_MONOTONIC, &now);
      long long left = (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000;
      if (left <= 0) return false;
      waitMs = static_cast<int>(left);
    }
    struct pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, 1, waitMs);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR || stopPending()) return false;
  }
}
