// The exported text utilities: search, line copy, address syntax and
// buffer-wide Base64. They need no attach and touch only the caller's memory.
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../core/channel.h"
#include "../core/errors.h"
#include "../core/text.h"

namespace {

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
  if (address == nullptr) return Err::NullPointer;
  if (*address == '\0') return Err::EmptyAddress;
  const char *open = FindBeforeSeparator(address, '<');
  if (open == nullptr) return Err::MissingOpen;
  const char *close = FindBeforeSeparator(address, '>');
  if (close == nullptr || close < open) return Err::MissingClose;
  if (close == open + 1) return Err::NullPointer;
  if (open[1] == '@' || close[-1] == '@') return Err::EmptyAddress;
  // The last character before ">" has been tested for "@" only.
  int ats = 0;
  for (const char *p = open + 1; p < close - 1; ++p) {
    if (*p == '@' && ++ats == 2) return Err::TooManyAt;
    if (!IsAddressCharacter(*p)) return Err::BadAddressChar;
  }
  return ats == 1 ? 1 : Err::MissingAt;
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
  return Base64DecodeText(source, reinterpret_cast<unsigned char *>(target), length);
}
