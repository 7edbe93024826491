#include "host/base/printable.h"

namespace KELP {

namespace {

// `also` holds a sink's separator or two: a plain loop, not a search call
// per byte.
bool isOneOf(char c, std::string_view also) {
  for (char a : also)
    if (c == a) return true;
  return false;
}

}  // namespace

void makePrintable(char* text, size_t len, std::string_view also) {
  if (also.empty()) {  // the log's case, for every line: a loop the compiler can vectorise
    for (size_t i = 0; i < len; ++i) text[i] = isControlByte(static_cast<unsigned char>(text[i])) ? '?' : text[i];
    return;
  }
  for (size_t i = 0; i < len; ++i) {
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
