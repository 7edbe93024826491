#include "host/tls/ip_prefix_table.h"

#include <arpa/inet.h>

#include <algorithm>
#include <functional>

namespace KELP {

namespace {

// Mask of the top `length` bits of a 128-bit value split in two halves.
void maskBits(int length, uint64_t& hi, uint64_t& lo) {
  if (length <= 0) {
    hi = lo = 0;
  } else if (length <= 64) {
    hi &= ~0ULL << (64 - length);
    lo = 0;
  } else if (length < 128) {
    lo &= ~0ULL << (128 - length);
  }
}

uint64_t bigEndian64(const unsigned char* b) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
  return v;
}

bool isV4Mapped(const unsigned char* b) {
  static const unsigned char head[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::equal(head, head + 12, b);
}

// IPv4 bytes go to the top of `hi`.
void setV4(const unsigned char* b, IpPrefix& out) {
  out.v6 = false;
  out.hi = static_cast<uint64_t>(b[0]) << 56 | static_cast<uint64_t>(b[1]) << 48 |
           static_cast<uint64_t>(b[2]) << 40 | static_cast<uint64_t>(b[3]) << 32;
  out.lo = 0;
}

// Reads an address without "/length"; `bits` is its family's full width.
bool parseAddress(const std::string& text, IpPrefix& out, int& bits) {
  unsigned char b[16];
  if (inet_pton(AF_INET, text.c_str(), b) == 1) {
    setV4(b, out);
    bits = 32;
  } else if (inet_pton(AF_INET6, text.c_str(), b) != 1) {
    return false;
  } else if (isV4Mapped(b)) {
    setV4(b + 12, out);
    bits = 32;
  } else {
    out.v6 = true;
    out.hi = bigEndian64(b);
    out.lo = bigEndian64(b + 8);
    bits = 128;
  }
  return true;
}

}  // namespace

bool parseIpAddress(const std::string& text, IpPrefix& out) {
  int bits = 0;
  if (!parseAddress(text, out, bits)) return false;
  out.length = bits;
  return true;
}

bool parseIpPrefix(const std::string& text, IpPrefix& out) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) return parseIpAddress(text, out);
  std::string digits = text.substr(slash + 1);
  if (digits.empty() || digits.size() > 3 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  int length = std::stoi(digits);
  std::string addr = text.substr(0, slash);
  int bits = 0;
  if (!parseAddress(addr, out, bits)) return false;
  bool mappedText = !out.v6 && addr.find(':') != std::string::npos;
  if (mappedText) {
    // A block written over the mapped range: only /96 and longer name IPv4 space.
    if (length < 96 || length > 128) return false;
    length -= 96;
  }
  if (length > bits) return false;
  out.length = length;
  maskBits(length, out.hi, out.lo);
  return true;
}

size_t IpPrefixTable::KeyHash::operator()(const Key& k) const {
  return std::hash<uint64_t>()(k.hi * 0x9e3779b97f4a7c15ULL ^ k.lo);
}

size_t IpPrefixTable::insert(const IpPrefix& prefix, size_t value) {
  Family& f = prefix.v6 ? v6_ : v4_;
  if (f.byLength.empty()) f.byLength.resize(prefix.v6 ? 129 : 33);
  auto& map = f.byLength[static_cast<size_t>(prefix.length)];
  auto [it, added] = map.emplace(Key{prefix.hi, prefix.lo}, value);
  if (!added) return it->second;
  ++count_;
  if (map.size() == 1) {
    f.lengths.push_back(prefix.length);
    std::sort(f.lengths.begin(), f.lengths.end(), std::greater<int>());
  }
  return value;
}

bool IpPrefixTable::find(const IpPrefix& address, size_t& value) const {
  const Family& f = address.v6 ? v6_ : v4_;
  for (int length : f.lengths) {
    Key k{address.hi, address.lo};
    maskBits(length, k.hi, k.lo);
    auto it = f.byLength[static_cast<size_t>(length)].find(k);
    if (it != f.byLength[static_cast<size_t>(length)].end()) {
      value = it->second;
      return true;
    }
  }
  return false;
}

}  // namespace KELP
