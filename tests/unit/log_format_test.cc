#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>

#include "host/base/printable.h"
#include "host/log/log_format.h"

namespace {

// What the log's formatter and snprintf make of the same call, in a buffer
// of `size` bytes.
struct Both {
  std::string ours, printf;
};

Both format(size_t size, const char* fmt, ...) {
  char ours[64], theirs[64];
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  size_t len = KELP::formatLogMessage(ours, size, fmt, ap);
  vsnprintf(theirs, size, fmt, again);
  va_end(again);
  va_end(ap);
  return {std::string(ours, len), theirs};
}

// The conversions done directly, those handed to vsnprintf, and cuts at
// the buffer's end, mid-text and mid-number.
TEST(LogFormatTest, WritesWhatSnprintfWrites) {
  const Both cases[] = {
      format(64, "ip [%s] from [%s] %d%%", "10.0.0.1", "a@b", -7),
      format(64, "%u %ld %lu %lld %llu %zu", 4294967295u, -1L, 2UL, -3LL, 4ULL, size_t{5}),
      format(64, "[%.3s][%.0s][%.10s]", "abcdef", "x", "short"),
      format(64, "%s", static_cast<const char*>(nullptr)),
      format(64, "fallback %02d %x %.*s", 7, 255, 2, "abc"),
      format(64, "%s then %5d", "left", 42),
      format(10, "0123456789abcdef %s", "tail"),
      format(10, "abc %d", 123456789),
      format(1, "%s", "nothing fits"),
  };
  for (const Both& c : cases) EXPECT_EQ(c.printf, c.ours);
}

// Every byte value at every place of texts of 8 to 17 bytes, with and
// without a sink's separators: the eight bytes at a time path and the byte
// path agree with the definition.
TEST(LogFormatTest, EveryControlByteBecomesAQuestionMarkWherever) {
  for (std::string_view also : {"", ";\t~"})
    for (size_t len = 8; len < 18; ++len)
      for (size_t at = 0; at < len; ++at)
        for (int b = 0; b < 256; ++b) {
          std::string text(len, 'a');
          text[at] = static_cast<char>(b);
          KELP::makePrintable(text.data(), text.size(), also);
          std::string want(len, 'a');
          bool change = KELP::isControlByte(static_cast<unsigned char>(b)) ||
                        also.find(static_cast<char>(b)) != std::string_view::npos;
          want[at] = change ? '?' : static_cast<char>(b);
          ASSERT_EQ(want, text) << "byte " << b << " at " << at << " of " << len << ", also [" << also << "]";
        }
}

}  // namespace
