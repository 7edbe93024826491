#include "host/base/printable.h"

#include <stdint.h>
#include <string.h>

namespace KELP {

namespace {

const uint64_t kOnes = 0x0101010101010101ULL;
const uint64_t kHighs = 0x8080808080808080ULL;

// Whether one of the eight bytes of `word` equals `b`.
bool hasByte(uint64_t word, unsigned char b) {
  uint64_t x = word ^ (kOnes * b);
  return ((x - kOnes) & ~x & kHighs) != 0;
}

// Whether one of the eight bytes of `word` must change: a byte below 0x20
// (the classic test for a byte below a bound, exact for "any"), 0x7f, or a
// byte of `also`.
bool needsChange(uint64_t word, std::string_view also) {
  if (((word - kOnes * 0x20) & ~word & kHighs) != 0 || hasByte(word, 0x7f)) return true;
  for (char a : also)
    if (hasByte(word, static_cast<unsigned char>(a))) return true;
  return false;
}

// `also` holds a sink's separator or two: a plain loop, not a search call
// per byte.
bool isOneOf(char c, std::string_view also) {
  for (char a : also)
    if (c == a) return true;
  return false;
}

void makePrintableBytes(char* text, size_t len, std::string_view also) {
  for (size_t i = 0; i < len; ++i)
    if (isControlByte(static_cast<unsigned char>(text[i])) || isOneOf(text[i], also)) text[i] = '?';
}

}  // namespace

void makePrintable(char* text, size_t len, std::string_view also) {
  // Every log line and traffic line passes here: clean bytes are skipped
  // eight at a time, only a word that holds a byte to change is walked.
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t word;
    memcpy(&word, text + i, 8);
    if (needsChange(word, also)) makePrintableBytes(text + i, 8, also);
  }
  makePrintableBytes(text + i, len - i, also);
}

std::string printable(std::string_view text, std::string_view also) {
  std::string out(text);
  makePrintable(out.data(), out.size(), also);
  return out;
}

}  // namespace KELP
