// Longest-prefix matching of client addresses against IPv4 and IPv6
// addresses and CIDR blocks, for the TLS policies and the throttling lists.
//
// Each entry carries a caller's value (typically an index into the caller's
// own records). A lookup tries only the prefix lengths that hold entries,
// longest first, with one hash probe each, so its cost does not grow with the
// number of entries. Among entries with the same prefix the first inserted
// stays.
//
// IPv4-mapped IPv6 text (::ffff:192.0.2.1, or such a block of /96 or longer)
// is read as the IPv4 address or block it carries, so a client reported in
// that form matches the IPv4 entries. Such a client therefore no longer
// matches IPv6 blocks that merely cover ::ffff:0:0/96, such as ::/0.
//
// Not thread-safe for writes; concurrent lookups on an unchanging table are fine.
#ifndef KEELGATE_HOST_TLS_IP_PREFIX_TABLE_H
#define KEELGATE_HOST_TLS_IP_PREFIX_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace KELP {

// An address or a block. IPv4 bits sit at the top of `hi`; bits past
// `length` are zero.
struct IpPrefix {
  bool v6 = false;
  int length = 0;  // 0..32 for IPv4, 0..128 for IPv6
  uint64_t hi = 0;
  uint64_t lo = 0;
};

// Reads "192.0.2.7", "192.0.2.0/24", "2001:db8::1" or "2001:db8::/32".
// Host bits past the prefix length are cleared ("192.0.2.9/24" is
// 192.0.2.0/24). False for anything else, zone suffixes ("%eth0") included,
// and for a block in IPv4-mapped text shorter than /96.
bool parseIpPrefix(const std::string& text, IpPrefix& out);

// Reads a single address (no "/length"); its length is the full width.
bool parseIpAddress(const std::string& text, IpPrefix& out);

class IpPrefixTable {
 public:
  // Adds `value` under `prefix` unless the prefix is already present.
  // Returns the value the prefix now holds: `value`, or the earlier one.
  size_t insert(const IpPrefix& prefix, size_t value);

  // True when some entry covers `address` (a full-width prefix from
  // parseIpAddress); the value of the longest such entry goes to `value`.
  bool find(const IpPrefix& address, size_t& value) const;

  size_t size() const { return count_; }

 private:
  struct Key {
    uint64_t hi, lo;
    bool operator==(const Key& o) const { return hi == o.hi && lo == o.lo; }
  };
  struct KeyHash {
    size_t operator()(const Key& k) const;
  };
  struct Family {
    std::vector<std::unordered_map<Key, size_t, KeyHash>> byLength;
    std::vector<int> lengths;  // lengths holding entries, longest first
  };

  Family v4_, v6_;
  size_t count_ = 0;
};

}  // namespace KELP

#endif
