// Quoted-printable decoding of one line or header word.
#include "codec.h"

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

// Lower-case digits are accepted too: mailers do send "=e9".
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

int QpDecodeText(const char *source, char *target) {
  int read = 0, written = 0;
  for (;;) {
    const char c = source[read];
    if (c != '=') {
      target[written] = c;
      if (c == '\0') return written;
      ++read, ++written;
      continue;
    }
    const char x = source[read + 1];
    if (x == '\r') {  // soft line break: the next line continues this one
      target[written] = '\0';
      return written;
    }
    // x is tested before y is read, so a text ending in "=" or "=x" is
    // never read past its NUL.
    if (IsHexDigit(x) && IsHexDigit(source[read + 2])) {
      target[written++] = static_cast<char>(HexValue(x) * 16 + HexValue(source[read + 2]));
      read += 3;
      continue;
    }
    // Anything else is no escape: the "=" stays as it is, which also keeps
    // the "=?" and "?=" of encoded header words and the '="' of quoted names.
    target[written++] = '=';
    ++read;
  }
}
