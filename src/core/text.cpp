// The text utilities: case-insensitive search, line copy, address syntax and
// buffer-wide Base64. They touch nothing but the caller's memory.
#include "text.h"

#include <cstring>

#include "codec/codec.h"
#include "frame/channel.h"
#include "kel32.h"

namespace {

inline char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsAddressCharacter(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("_-/.@$&'", c) != nullptr;
}

// The first c in text before the address separator or the end, or null.
const char *FindBeforeSeparator(const char *text, char c) {
  for (; *text != '\0' && *text != Settings.AddressSeparator; ++text)
    if (*text == c) return text;
  return nullptr;
}

}  // namespace

bool PrefixEquals(const char *text, const char *keyword, int count) {
  if (text == nullptr || keyword == nullptr || count <= 0) return false;
  for (int i = 0; i < count; ++i) {
    if (Upper(text[i]) != Upper(keyword[i])) return false;
    if (text[i] == '\0') return true;  // both ended together
  }
  return true;
}

// The needle's last character is not compared (callers' keywords rely on
// it), so a one-character needle never matches.
const char *TextSearch(const char *haystack, const char *needle) {
  if (haystack == nullptr || needle == nullptr) return nullptr;
  const size_t n = std::strlen(needle);
  const size_t h = std::strlen(haystack);
  if (n == 0 || n > h) return nullptr;
  for (size_t at = 0; at + n <= h; ++at)
    if (PrefixEquals(haystack + at, needle, static_cast<int>(n - 1))) return haystack + at;
  return nullptr;
}

int CopyLine(const char *from, char *out, int outSize) {
  if (from == nullptr || out == nullptr) return 0;
  for (int i = 0;; ++i) {
    if (i >= outSize - 1) {
      // Does not fit: leave an empty text rather than a cut one without NUL.
      if (outSize > 0) out[0] = '\0';
      return 0;
    }
    out[i] = from[i];
    if (from[i] == '\n') {
      out[i + 1] = '\0';
      return i + 1;
    }
    if (from[i] == '\0') return i;
  }
}

extern "C" int KEL_CALL kelExtractText(const char *buffer, const char *searchText, char *out,
                                       int outSize) {
  if (buffer == nullptr || searchText == nullptr || out == nullptr) return 0;
  const char *at = TextSearch(buffer, searchText);
  return at ? CopyLine(at, out, outSize) : 0;
}

extern "C" int KEL_CALL kelExtractLine(const char *buffer, int lineNumber, char *out, int outSize) {
  if (buffer == nullptr || out == nullptr) return 0;
  const char *line = buffer;
  for (int number = 1; number < lineNumber; ++number) {
    line = std::strchr(line, '\n');
    if (line == nullptr) return 0;
    ++line;
  }
  return CopyLine(line, out, outSize);
}

extern "C" int KEL_CALL kelVerifyFormat(const char *address) {
  if (address == nullptr) return -47;
  if (*address == '\0') return -37;
  const char *open = FindBeforeSeparator(address, '<');
  if (open == nullptr) return -41;
  const char *close = FindBeforeSeparator(address, '>');
  if (close == nullptr || close < open) return -43;
  if (close == open + 1) return -47;
  if (open[1] == '@' || close[-1] == '@') return -37;
  // The last character before ">" has been tested for "@" only.
  int ats = 0;
  for (const char *p = open + 1; p < close - 1; ++p) {
    if (*p == '@' && ++ats == 2) return -53;
    if (!IsAddressCharacter(*p)) return -32;
  }
  return ats == 1 ? 1 : -39;
}

extern "C" int KEL_CALL kelEncodeBuffer(const char *source, char *target, int length) {
  if (source == nullptr || target == nullptr) return 0;
  constexpr int LineBytes = 57;  // 76 characters a line
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(source);
  int written = 0;
  for (int done = 0; done < length; done += LineBytes) {
    const int piece = length - done < LineBytes ? length - done : LineBytes;
    written += Base64EncodeLine(bytes + done, target + written, piece) + 2;
  }
  return written;
}

extern "C" int KEL_CALL kelDecodeBuffer(const char *source, char *target, int length) {
  if (source == nullptr || target == nullptr) return 0;
  unsigned char *out = reinterpret_cast<unsigned char *>(target);
  int produced = 0;
  int at = 0;
  while (at < length) {
    int end = at;
    while (end < length && source[end] != '\r' && source[end] != '\0') ++end;
    produced += Base64DecodePiece(source + at, out + produced, end - at);
    // A zero byte ends the text: without this stop the walk would stand on
    // it for ever.
    if (end < length && source[end] == '\0') break;
    at = end;
    while (at < length && (source[at] == '\r' || source[at] == '\n')) ++at;
  }
  return produced;
}
