// The one place where keelgate reads the wall clock. Every time stamp, deadline
// and expiry goes through here so that a test can set the time instead of
// sleeping. Safe for any thread.
#ifndef KEELGATE_HOST_BASE_CLOCK_H
#define KEELGATE_HOST_BASE_CLOCK_H

#include <sys/time.h>
#include <time.h>

namespace KELP {

class Clock {
 public:
  // Seconds since the epoch.
  static time_t now();
  // Seconds and microseconds since the epoch.
  static struct timeval nowPrecise();

  // Tests only: freeze the clock at the given second (microseconds 0), or let
  // it run again with thaw().
  static void freezeAt(time_t seconds);
  static void thaw();
};

}  // namespace KELP

#endif
