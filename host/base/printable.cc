#include "host/base/printable.h"

namespace KELP {

void makePrintable(char* text, size_t len, std::string_view also) {
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (isControlByte(c) || (!also.empty() && also.find(static_cast<char>(c)) != std::string_view::npos))
      text[i] = '?';
  }
}

std::string printable(std::string_view text, std::string_view also) {
  std::string out(text);
  makePrintable(out.data(), out.size(), also);
  return out;
}

}  // namespace KELP
