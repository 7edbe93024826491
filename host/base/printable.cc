#include "host/base/printable.h"

#include <stdint.h>
#include <string.h>

namespace KELP {

namespace {

// Whether one of the eight bytes of `word` is a control byte: the classic
// test for a byte below a bound (exact for "any", as used here), and for a
// byte equal to 0x7f.
bool hasControlByte(uint64_t word) {
  const uint64_t ones = 0x0101010101010101ULL;
  const uint64_t highs = 0x8080808080808080ULL;
  uint64_t del = word ^ (ones * 0x7f);
  return (((word - ones * 0x20) & ~word) | ((del - ones) & ~del)) & highs;
}

// `also` holds a sink's separator or two: a plain loop, not a search call
// per byte.
bool isOneOf(char c, std::string_view also) {
  for (char a : also)
    if (c == a) return true;
  return false;
}

}  // namespace

void makePrintable(char* text, size_t len, std::string_view also) {
  size_t i = 0;
  if (also.empty()) {  // the log's case, for every line: eight clean bytes at a time
    for (; i + 8 <= len; i += 8) {
      uint64_t word;
      memcpy(&word, text + i, 8);
      if (!hasControlByte(word)) continue;
      for (size_t j = i; j < i + 8; ++j)
        if (isControlByte(static_cast<unsigned char>(text[j]))) text[j] = '?';
    }
  }
  for (; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (isControlByte(c) || isOneOf(text[i], also)) text[i] = '?';
  }
}

std::string printable(std::string_view text, std::string_view also) {
  std::string out(text);
  makePrintable(out.data(), out.size(), also);
  return out;
}

}  // namespace KELP
