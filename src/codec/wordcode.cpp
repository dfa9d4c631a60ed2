// Header text of outgoing messages: RFC 2047 encoded words and RFC 2231
// parameter values, over caller buffers.
#include <cstring>

#include "codec.h"

namespace {

const char Hex[] = "0123456789ABCDEF";

// The characters a Q-encoded word carries as they are: the set RFC 2047
// allows in every place a word may stand (a phrase is the strictest).
bool QSafe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
         c == '+' || c == '-' || c == '/';
}

int QWidth(unsigned char c) { return QSafe(c) || c == ' ' ? 1 : 3; }

// The characters of an RFC 2231 value that need no %XX.
bool AttrChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || strchr("!#$&+-.^_`|~", c);
}

}  // namespace

int Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool ValidUtf8(const char *text, int length) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  for (int i = 0; i < length;) {
    int n = Utf8Length(p[i]);
    if (n == 0 || i + n > length) return false;
    for (int k = 1; k < n; k++)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    // No overlong three- or four-byte forms, no surrogates, nothing past U+10FFFF.
    if (n == 3 && ((p[i] == 0xE0 && p[i + 1] < 0xA0) || (p[i] == 0xED && p[i + 1] >= 0xA0))) return false;
    if (n == 4 && ((p[i] == 0xF0 && p[i + 1] < 0x90) || (p[i] == 0xF4 && p[i + 1] >= 0x90))) return false;
    i += n;
  }
  return true;
}

int EncodeWord(const char *text, int length, const char *charset, bool base64, int maxLength, char *out,
               int *taken) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  const bool utf8 = strcmp(charset, "utf-8") == 0;
  const int overhead = static_cast<int>(strlen(charset)) + 7;  // =? ?B? ?=
  const int room = maxLength - overhead;
  // Whole characters only: as many as fit the room.
  int bytes = 0;
  int width = 0;
  while (bytes < length) {
    int n = utf8 ? Utf8Length(p[bytes]) : 1;
    if (n == 0 || bytes + n > length) n = 1;
    int w = 0;
    if (base64) {
      w = (bytes + n + 2) / 3 * 4;
    } else {
      for (int k = 0; k < n; k++) w += QWidth(p[bytes + k]);
      w += width;
    }
    if (w > room) break;
    width = w;
    bytes += n;
  }
  *taken = bytes;
  if (bytes == 0) return 0;
  int o = 0;
  out[o++] = '=';
  out[o++] = '?';
  for (const char *c = charset; *c; c++) out[o++] = *c;
  out[o++] = '?';
  out[o++] = base64 ? 'B' : 'Q';
  out[o++] = '?';
  if (base64) {
    for (int i = 0; i < bytes; i += 3) {
      unsigned char group[3] = {p[i], i + 1 < bytes ? p[i + 1] : static_cast<unsigned char>(0),
                                i + 2 < bytes ? p[i + 2] : static_cast<unsigned char>(0)};
      Base64EncodeGroup(group, out + o);
      if (i + 1 >= bytes) out[o + 2] = '=';
      if (i + 2 >= bytes) out[o + 3] = '=';
      o += 4;
    }
  } else {
    for (int i = 0; i < bytes; i++) {
      const unsigned char c = p[i];
      if (c == ' ') {
        out[o++] = '_';
      } else if (QSafe(c)) {
        out[o++] = static_cast<char>(c);
      } else {
        out[o++] = '=';
        out[o++] = Hex[c >> 4];
        out[o++] = Hex[c & 15];
      }
    }
  }
  out[o++] = '?';
  out[o++] = '=';
  out[o] = 0;
  return o;
}

int PercentEncodeValue(const char *text, int length, int maxLength, bool utf8, char *out, int *taken) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  int bytes = 0;
  int o = 0;
  while (bytes < length) {
    int n = utf8 ? Utf8Length(p[bytes]) : 1;
    if (n == 0 || bytes + n > length) n = 1;
    int w = 0;
    for (int k = 0; k < n; k++) w += AttrChar(p[bytes + k]) ? 1 : 3;
    if (o + w > maxLength) break;
    for (int k = 0; k < n; k++) {
      const unsigned char c = p[bytes + k];
      if (AttrChar(c)) {
        out[o++] = static_cast<char>(c);
      } else {
        out[o++] = '%';
        out[o++] = Hex[c >> 4];
        out[o++] = Hex[c & 15];
      }
    }
    bytes += n;
  }
  out[o] = 0;
  *taken = bytes;
  return o;
}
