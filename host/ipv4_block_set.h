// IPv4 addresses and CIDR blocks of the throttling lists, and the strict
// parser of the dotted-quad text that clients and list files give.
//
// Dotted quad: exactly four decimal parts 0..255 separated by '.', nothing
// before or after, no blanks, no sign and no leading zero ("010" is refused:
// some parsers read it as octal, so its meaning would be ambiguous).
//
// An Ipv4BlockSet keeps one hash table per prefix length, so a lookup costs at
// most 33 probes whatever the number of entries. Each entry carries a number
// (the block's expiration); the lookup answers the entry with the longest
// matching prefix. Immutable once built; const lookups are safe from any thread.
#ifndef KEELGATE_HOST_IPV4_BLOCK_SET_H
#define KEELGATE_HOST_IPV4_BLOCK_SET_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>

namespace KELP {

// Parses a dotted quad into a host-order address. False when not strict.
bool parseIPv4(const std::string& text, uint32_t& addr);

// Outcome of parsing "a.b.c.d" or "a.b.c.d/n".
enum class Ipv4BlockParse { kOk, kBadAddress, kBadPrefix, kHostBitsSet };

// Parses an address (prefix 32) or a CIDR block. The prefix is 0..32 without
// leading zeros; an address with bits set below the prefix is refused, as it
// usually is a typing error in the address or the length.
Ipv4BlockParse parseIPv4Block(const std::string& text, uint32_t& addr, int& prefix);

class Ipv4BlockSet {
 public:
  // Adds a block; when the same block is added twice the larger value is kept.
  void add(uint32_t addr, int prefix, long long value);
  // The value of the longest block holding `addr`, or null.
  const long long* longestMatch(uint32_t addr) const;
  size_t size() const { return size_; }

 private:
  std::unordered_map<uint32_t, long long> byLength_[33];
  uint64_t lengthsUsed_ = 0;  // bit n set when byLength_[n] is not empty
  size_t size_ = 0;
};

}  // namespace KELP

#endif
