#include "host/lists/ipv4_block_set.h"

namespace KELP {

namespace {

uint32_t maskOf(int prefix) {
  return prefix == 0 ? 0u : ~0u << (32 - prefix);
}

// Reads a decimal number of 1..maxDigits digits without a leading zero
// starting at text[pos]; advances pos past it.
bool readDecimal(const std::string& text, size_t& pos, size_t maxDigits, unsigned& value) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < maxDigits) {
    value = value * 10 + static_cast<unsigned>(text[pos] - '0');
    ++pos;
  }
  size_t digits = pos - start;
  if (digits == 0) return false;
  if (digits > 1 && text[start] == '0') return false;
  return pos == text.size() || text[pos] < '0' || text[pos] > '9';
}

}  // namespace

bool parseIPv4(const std::string& text, uint32_t& addr) {
  size_t pos = 0;
  uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    unsigned value;
    if (!readDecimal(text, pos, 3, value) || value > 255) return false;
    result = (result << 8) | value;
  }
  if (pos != text.size()) return false;
  addr = result;
  return true;
}

Ipv4BlockParse parseIPv4Block(const std::string& text, uint32_t& addr, int& prefix) {
  size_t slash = text.find('/');
  if (!parseIPv4(text.substr(0, slash), addr)) return Ipv4BlockParse::kBadAddress;
  prefix = 32;
  if (slash == std::string::npos) return Ipv4BlockParse::kOk;
  size_t pos = slash + 1;
  unsigned value;
  if (!readDecimal(text, pos, 2, value) || pos != text.size() || value > 32)
    return Ipv4BlockParse::kBadPrefix;
  prefix = static_cast<int>(value);
  if ((addr & ~maskOf(prefix)) != 0) return Ipv4BlockParse::kHostBitsSet;
  return Ipv4BlockParse::kOk;
}

}  // namespace KELP
