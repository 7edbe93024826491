// Reading one traffic line as the daemon writes it (throttling/traffic_line.h)
// back into its fields. A pure function on bytes a peer chose: it never
// allocates, and a line it accepts has fields that can stand for nothing
// else (no separator, no control byte, bounded lengths).
//
//   ORCAS-Conn-IP:<time>;<scanner>;1;<count>;<ip>
//   ORCAS-Conn-MSG:<time>;<scanner>;2;<count>;<ip>;<sender>
//   ORCAS-Conn-Sender:<time>;<scanner>;3;<count>;<ip>;<sender>
#ifndef KEELGATE_AGENT_TRAFFIC_LINE_PARSER_H
#define KEELGATE_AGENT_TRAFFIC_LINE_PARSER_H

#include <stdint.h>

#include <string_view>

namespace agent {

// Longest IP and sender field accepted. Any sender the daemon sends fits:
// its lines hold at most 1023 bytes, the sender shortened to fit, and a
// client must not escape the sender rule with a long one.
constexpr size_t kMaxIpField = 64;
constexpr size_t kMaxSenderField = 1024;

struct TrafficLine {
  int type = 0;            // 1, 2, 3: as the line's key says
  int64_t time = 0;        // the sender's clock; not used for counting
  int64_t scanner = 0;     // the sending scanner's id
  uint32_t count = 0;      // 1 from a daemon, a folded count from a child
  std::string_view ip;     // never empty
  std::string_view sender; // empty for type 1; may be empty (null sender)
};

// Parses `line` (without its line feed) into `out`, whose views point into
// `line`. Returns null when the line is good, else a short reason for the
// log ("unknown line key", "bad count field", ...).
const char* parseTrafficLine(std::string_view line, TrafficLine& out);

}  // namespace agent

#endif
