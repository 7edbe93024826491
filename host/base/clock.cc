#include "host/base/clock.h"

#include <atomic>

namespace KELP {

namespace {
// -1 means the real clock.
std::atomic<long long> frozen_seconds{-1};
}  // namespace

time_t Clock::now() {
  long long frozen = frozen_seconds.load(std::memory_order_relaxed);
  if (frozen >= 0) return static_cast<time_t>(frozen);
  return time(nullptr);
}

struct timeval Clock::nowPrecise() {
  struct timeval tv;
  long long frozen = frozen_seconds.load(std::memory_order_relaxed);
  if (frozen >= 0) {
    tv.tv_sec = static_cast<time_t>(frozen);
    tv.tv_usec = 0;
    return tv;
  }
  gettimeofday(&tv, nullptr);
  return tv;
}

void Clock::freezeAt(time_t seconds) { frozen_seconds.store(seconds); }

void Clock::thaw() { frozen_seconds.store(-1); }

}  // namespace KELP
