// Neutralising what a peer chose before it reaches a line-based sink (the
// log, the CSV log, a traffic line): every control byte (below 0x20, and
// 0x7f) becomes '?', so that one value can never start a new line, a new
// field or a terminal escape. Pure functions, safe from any thread.
#ifndef KEELGATE_HOST_BASE_PRINTABLE_H
#define KEELGATE_HOST_BASE_PRINTABLE_H

#include <stddef.h>

#include <string>
#include <string_view>

namespace KELP {

inline bool isControlByte(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Replaces, in place, every control byte of text[0, len) and every byte of
// `also` (a sink's own separators) with '?'.
void makePrintable(char* text, size_t len, std::string_view also = {});

// A copy of `text` made printable as above.
std::string printable(std::string_view text, std::string_view also = {});

}  // namespace KELP

#endif
