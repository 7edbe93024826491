#include "host/log/log_format.h"

#include <stdio.h>
#include <string.h>

#include <charconv>

namespace KELP {

namespace {

// The output buffer; bytes past its end are dropped.
struct Output {
  char* pos;
  char* end;  // the place of the terminating NUL

  void put(const char* text, size_t len) {
    size_t room = static_cast<size_t>(end - pos);
    if (len > room) len = room;
    memcpy(pos, text, len);
    pos += len;
  }
  template <typename Number>
  void putNumber(Number value) {
    char digits[24];
    std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
    put(digits, static_cast<size_t>(r.ptr - digits));
  }
};

// Formats one conversion at `spec` (just past its '%') and returns the byte
// after it, or null for a conversion left to vsnprintf.
const char* convert(const char* spec, va_list* ap, Output& out) {
  size_t precision = static_cast<size_t>(-1);
  if (*spec == '.') {
    if (*++spec < '0' || *spec > '9') return nullptr;
    precision = 0;
    for (; *spec >= '0' && *spec <= '9'; ++spec) precision = precision * 10 + static_cast<size_t>(*spec - '0');
    if (*spec != 's') return nullptr;
  }
  int longs = 0;
  while (*spec == 'l' && longs < 2) ++spec, ++longs;
  const bool sized = longs == 0 && *spec == 'z';
  if (sized) ++spec;
  switch (*spec) {
    case 's': {
      if (longs != 0 || sized) return nullptr;
      const char* s = va_arg(*ap, const char*);
      if (s == nullptr) s = "(null)";
      out.put(s, precision == static_cast<size_t>(-1) ? strlen(s) : strnlen(s, precision));
      break;
    }
    case 'd':
      if (sized) return nullptr;
      if (longs == 0) out.putNumber(va_arg(*ap, int));
      else if (longs == 1) out.putNumber(va_arg(*ap, long));
      else out.putNumber(va_arg(*ap, long long));
      break;
    case 'u':
      if (sized) out.putNumber(va_arg(*ap, size_t));
      else if (longs == 0) out.putNumber(va_arg(*ap, unsigned));
      else if (longs == 1) out.putNumber(va_arg(*ap, unsigned long));
      else out.putNumber(va_arg(*ap, unsigned long long));
      break;
    case '%':
      if (longs != 0 || sized) return nullptr;
      out.put("%", 1);
      break;
    default:
      return nullptr;
  }
  return spec + 1;
}

}  // namespace

size_t formatLogMessage(char* out, size_t size, const char* format, va_list ap) {
  va_list args, whole;  // copies: a va_list parameter cannot be passed on by address
  va_copy(args, ap);
  va_copy(whole, ap);
  Output o{out, out + size - 1};
  const char* f = format;
  for (;;) {
    const char* percent = strchr(f, '%');
    if (percent == nullptr) {
      o.put(f, strlen(f));
      break;
    }
    o.put(f, static_cast<size_t>(percent - f));
    f = convert(percent + 1, &args, o);
    if (f == nullptr) {
      int n = vsnprintf(out, size, format, whole);
      va_end(args);
      va_end(whole);
      if (n < 0) n = 0;
      return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
    }
  }
  *o.pos = '\0';
  va_end(args);
  va_end(whole);
  return static_cast<size_t>(o.pos - out);
}

}  // namespace KELP
