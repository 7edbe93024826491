// Reading the traffic lines a fake agent received: key, numbers and strings
// taken apart so that a test compares each field, and the time stamp can be
// checked against the test's own clock.
#ifndef KEELGATE_TESTS_E2E_TRAFFIC_LINE_SUPPORT_H
#define KEELGATE_TESTS_E2E_TRAFFIC_LINE_SUPPORT_H

#include <string>
#include <vector>

namespace e2e {

struct TrafficLine {
  bool ok = false;    // the line had a key, four numbers and an IP
  std::string key;    // ORCAS-Conn-IP, ORCAS-Conn-MSG, ORCAS-Conn-Sender
  long long time = 0;
  int scanner = 0;
  int type = 0;
  int count = 0;
  std::string ip;
  std::string sender;
  bool hasSender = false;  // a sixth field was present

  // The line again without its time stamp, e.g. "ORCAS-Conn-IP:_;1;1;1;10.0.0.5".
  std::string withoutTime() const;
};

TrafficLine parseTrafficLine(const std::string& line);

// Seconds since the epoch, now.
long long epochNow();

}  // namespace e2e

#endif
