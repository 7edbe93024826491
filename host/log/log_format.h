// The formatting of log messages. Every request logs at least one line, and
// vsnprintf spends more on a line than the rest of the request's decision:
// the conversions the log uses are done here directly, and any other one
// hands the whole message to vsnprintf.
#ifndef KEELGATE_HOST_LOG_LOG_FORMAT_H
#define KEELGATE_HOST_LOG_LOG_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

namespace KELP {

// Formats as vsnprintf would into out[0, size) (size > 0), cutting what does
// not fit, and returns the length written, terminating NUL excluded. Done
// here: %s (with or without a precision), %d, %u, %ld, %lu, %lld, %llu, %zu
// and %%.
size_t formatLogMessage(char* out, size_t size, const char* format, va_list ap);

}  // namespace KELP

#endif
