// The per-channel log file. Nothing is buffered, so the file is complete
// up to the last call.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "channel.h"

void LogBytes(Channel &ch, const void *data, int count) {
  if (ch.LogHandle && count > 0) PlatformFileWrite(ch.LogHandle, data, count);
}

void LogText(Channel &ch, const char *text) {
  if (ch.LogHandle) LogBytes(ch, text, static_cast<int>(strlen(text)));
}

void LogLine(Channel &ch, const char *format, ...) {
  if (!ch.LogHandle) return;
  va_list args;
  va_start(args, format);
  // Formatted lines hold at most 1023 characters.
  int n = vsnprintf(ch.TextBuf, 1024, format, args);
  va_end(args);
  if (n < 0) return;
  LogBytes(ch, ch.TextBuf, n < 1024 ? n : 1023);
}

void LogData(Channel &ch, const char *prefix, const void *data, int count) {
  if (!ch.LogHandle) return;
  LogBytes(ch, prefix, 3);
  LogBytes(ch, data, count);
}

void LogTrace(Channel &ch, const char *name) {
  if (ch.LogHandle) LogLine(ch, "*** %s\r\n", name);
}
