// The names the benchmarks share: the client addresses and senders the load
// generator sends, and which of them the generated lists approve or block.
// The lists hold these "hot" entries plus filler entries from ranges no
// request comes from, so every list size gives the same mix of answers and
// only the size of the tables changes.
#ifndef KEELGATE_BENCH_BENCH_NAMES_H
#define KEELGATE_BENCH_BENCH_NAMES_H

#include <stdint.h>
#include <stdio.h>

#include <string>

namespace bench {

// Load client k (0 <= k < 2^24) is 10.x.y.z.
inline uint32_t clientAddr(uint32_t k) { return (10u << 24) | (k & 0xffffff); }

inline std::string dottedQuad(uint32_t a) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

// Load sender u is "u<u>@d<u % domains>.example".
inline std::string senderName(uint32_t u, uint32_t domains) {
  return "u" + std::to_string(u) + "@d" + std::to_string(u % domains) + ".example";
}

// Hot entries, a fixed share of the load whatever the list size.
inline bool hotBlockedClient(uint32_t k) { return k % 97 == 1; }
inline bool hotApprovedClient(uint32_t k) { return k % 101 == 2; }
inline bool hotBlockedSender(uint32_t u) { return u % 97 == 3; }
inline bool hotApprovedSender(uint32_t u) { return u % 89 == 4; }
const uint32_t kHotRange = 200000;  // hot entries are listed for k, u below this
const char kHotBlockedBlock[] = "10.1.0.0/24";
const char kHotBlockedDomain[] = "@d7.example";

}  // namespace bench

#endif
