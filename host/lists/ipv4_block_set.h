// The strict parser of the dotted-quad text and the CIDR blocks that
// clients and the throttling list files give.
//
// Dotted quad: exactly four decimal parts 0..255 separated by '.', nothing
// before or after, no blanks, no sign and no leading zero ("010" is refused:
// some parsers read it as octal, so its meaning would be ambiguous).
// Pure functions, safe from any thread. The blocks themselves are kept in
// the list image (list_image.h).
#ifndef KEELGATE_HOST_LISTS_IPV4_BLOCK_SET_H
#define KEELGATE_HOST_LISTS_IPV4_BLOCK_SET_H

#include <stdint.h>

#include <string>

namespace KELP {

// Parses a dotted quad into a host-order address. False when not strict.
bool parseIPv4(const std::string& text, uint32_t& addr);

// Outcome of parsing "a.b.c.d" or "a.b.c.d/n".
enum class Ipv4BlockParse { kOk, kBadAddress, kBadPrefix, kHostBitsSet };

// Parses an address (prefix 32) or a CIDR block. The prefix is 0..32 without
// leading zeros; an address with bits set below the prefix is refused, as it
// usually is a typing error in the address or the length.
Ipv4BlockParse parseIPv4Block(const std::string& text, uint32_t& addr, int& prefix);

}  // namespace KELP

#endif
