// Line formatting, the same on every system: vsnprintf rather than the
// system's own formatter, because it takes the buffer's size, so a short
// field is never overrun, and it knows every conversion the library uses.
#include <cstdarg>
#include <cstdio>

#include "platform.h"

int FormatLine(char *buffer, int size, const char *format, ...) {
  if (!buffer || size < 1) return 0;
  if (size > 1024) size = 1024;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, static_cast<size_t>(size), format, args);
  va_end(args);
  if (n < 0) {
    buffer[0] = 0;
    return 0;
  }
  return n < size ? n : size - 1;
}
