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

// Sent data that holds a secret (SecretAt set by the login states) is
// logged up to the secret, then the mask and the line's own CR LF.
void LogData(Channel &ch, const char *prefix, const void *data, int count) {
  int clear = count;
  bool masked = false;
  if (ch.SecretAt && prefix[0] == 'S') {
    masked = true;
    if (ch.SecretAt - 1 < clear) clear = ch.SecretAt - 1;
    ch.SecretAt = 0;
  }
  if (!ch.LogHandle) return;
  LogBytes(ch, prefix, 3);
  LogBytes(ch, data, clear);
  if (!masked) return;
  LogBytes(ch, "********", 8);
  const char *bytes = static_cast<const char *>(data);
  if (count >= 2 && bytes[count - 2] == '\r' && bytes[count - 1] == '\n') LogBytes(ch, "\r\n", 2);
}

void LogTrace(Channel &ch, const char *name) {
  if (ch.LogHandle) LogLine(ch, "*** %s\r\n", name);
}
