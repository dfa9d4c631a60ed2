// uudecode of one line, and the percent escapes of RFC 2231 parameter values.
#include "codec.h"

namespace {

int UuValue(unsigned char c) { return (c - 0x20) & 0x3F; }

}  // namespace

int UuDecodeLine(const char *line, int count, unsigned char *out) {
  if (count < 1) return 0;
  // The first character gives the bytes of the line; the rest follow in
  // groups of four characters. A short line counts as blanks (zero bits).
  const int bytes = UuValue(static_cast<unsigned char>(line[0]));
  int written = 0;
  for (int at = 1; written < bytes; at += 4) {
    int v[4];
    for (int k = 0; k < 4; ++k) v[k] = at + k < count ? UuValue(static_cast<unsigned char>(line[at + k])) : 0;
    const unsigned char group[3] = {static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
                                    static_cast<unsigned char>((v[1] << 4) | (v[2] >> 2)),
                                    static_cast<unsigned char>((v[2] << 6) | v[3])};
    for (int k = 0; k < 3 && written < bytes; ++k) out[written++] = group[k];
  }
  return written;
}

int PercentDecode(const char *text, int count, char *out) {
  int written = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] == '%' && i + 2 < count) {
      const char x = text[i + 1], y = text[i + 2];
      const bool hex = ((x >= '0' && x <= '9') || (x >= 'A' && x <= 'F') || (x >= 'a' && x <= 'f')) &&
                       ((y >= '0' && y <= '9') || (y >= 'A' && y <= 'F') || (y >= 'a' && y <= 'f'));
      if (hex) {
        out[written++] = static_cast<char>(HexValue(x) * 16 + HexValue(y));
        i += 2;
        continue;
      }
    }
    out[written++] = text[i];
  }
  return written;
}
