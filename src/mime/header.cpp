// Header helpers of the decoder: folded lines, ISO-8859-1 encoded words
// (RFC 2047) and the Base64 stream of part bodies.
#include <cstring>

#include "../core/text.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "mime.h"

namespace {

constexpr int ResponseSize = static_cast<int>(sizeof(Channel::Response));
constexpr int LineSize = 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

uint32_t FurtherWait() {
  const uint64_t wait = 4ull * Settings.ReceiveTimeout;
  return wait > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(wait);
}

// Base64 alphabet values; -1 for every other byte.
struct Base64Table {
  signed char Value[256] = {};
  constexpr Base64Table() {
    for (int i = 0; i < 256; ++i) Value[i] = -1;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) Value[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr Base64Table Base64Values;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Header text cannot hold line ends or NULs: such decoded bytes are dropped.
bool HeaderByte(int b) { return b != 0 && b != '\r' && b != '\n'; }

// The text of a Q-encoded word: "_" is a blank, "=XX" a byte, any other
// "=" stays. Writes at out, never ahead of the text read (in place).
int DecodeQWord(const char *text, int count, char *out) {
  int written = 0;
  for (int i = 0; i < count; ++i) {
    int b = static_cast<unsigned char>(text[i]);
    if (b == '_') {
      b = ' ';
    } else if (b == '=' && i + 2 < count && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      b = HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]);
      i += 2;
    }
    if (HeaderByte(b)) out[written++] = static_cast<char>(b);
  }
  return written;
}

// The text of a B-encoded word, decoded in place.
int DecodeBWord(const char *text, int count, char *out) {
  uint32_t group = 0;
  int filled = 0, written = 0;
  unsigned char bytes[3];
  for (int i = 0; i < count; ++i) {
    const int v = Base64Values.Value[static_cast<unsigned char>(text[i])];
    if (v < 0) continue;
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++filled < 4) continue;
    bytes[0] = static_cast<unsigned char>(group >> 16);
    bytes[1] = static_cast<unsigned char>(group >> 8);
    bytes[2] = static_cast<unsigned char>(group);
    for (unsigned char b : bytes)
      if (HeaderByte(b)) out[written++] = static_cast<char>(b);
    group = 0;
    filled = 0;
  }
  // A group cut short by the pad: two characters give one byte, three two.
  if (filled >= 2) {
    group <<= 6 * (4 - filled);
    bytes[0] = static_cast<unsigned char>(group >> 16);
    bytes[1] = static_cast<unsigned char>(group >> 8);
    for (int k = 0; k < filled - 1; ++k)
      if (HeaderByte(bytes[k])) out[written++] = static_cast<char>(bytes[k]);
  }
  return written;
}

}  // namespace

int PeekNextLine(Channel &ch, char *peek, int count) {
  if (count > 7) count = 7;
  // In non-blocking mode the retrieval has awaited the lines that follow a
  // header line before the decoder saw it: nothing is waited for here.
  if (AwaitReadable(ch, StepWait(ch, Settings.ReceiveTimeout)) < 1) return 0;
  const int n = FillAndPeek(ch, peek, count);
  return n > 0 ? n : 0;
}

int JoinContinuation(Channel &ch, char endChar) {
  char *line = ch.Response;
  int length = static_cast<int>(strnlen(line, ResponseSize - 1));
  // Only a whole line is joined; a piece of a longer line is left alone.
  if (length == 0 || line[length - 1] != '\n') return 0;
  while (length > 2 && (IsBlank(line[length - 1]) || line[length - 1] == '\r' || line[length - 1] == '\n'))
    --length;
  if (length + 3 > ResponseSize) return 0;
  line[length++] = '\r';
  line[length++] = '\n';
  line[length] = '\0';
  if (length < 3) return 0;
  if (endChar != 0 && line[length - 3] != endChar) return 0;
  // RFC 5322 folding: only a line that begins with a blank or a tab
  // continues this one. Anything else (the empty line ending the header,
  // the end line) must stay for the states to see.
  char peek[8];
  if (PeekNextLine(ch, peek, 1) < 1 || !IsBlank(peek[0])) return 0;
  const int at = length - 2;
  if (ResponseSize - at < LineSize) return 0;
  const int n =
      ReadLine(ch, line + at, LineSize, StepWait(ch, Settings.ReceiveTimeout), StepWait(ch, FurtherWait()));
  if (n < 1) {
    line[at] = '\r';
    line[at + 1] = '\n';
    line[at + 2] = '\0';
    return 0;
  }
  ch.LineOpen = line[at + n - 1] != '\n';
  int skip = 0;
  while (skip < n && IsBlank(line[at + skip])) ++skip;
  memmove(line + at, line + at + skip, static_cast<size_t>(n - skip) + 1);
  return 1;
}

int EncodedWordKind(const char *text) {
  if (TextSearch(text, "=?iso-8859-1?q?")) return 1;
  if (TextSearch(text, "=?iso-8859-1?b?")) return 2;
  return 0;
}

void DecodeEncodedWords(Channel &ch, int from) {
  char *line = ch.Response;
  const int length = static_cast<int>(strnlen(line, ResponseSize - 1));
  if (length <= from) return;
  int read = from, write = from;
  while (read < length) {
    if (line[read] == '=' && PrefixEquals(line + read, "=?iso-8859-1?", 13)) {
      const char kind = line[read + 13];
      const bool known = kind == 'q' || kind == 'Q' || kind == 'b' || kind == 'B';
      const char *close = known && line[read + 14] == '?' ? strstr(line + read + 15, "?=") : nullptr;
      if (close) {
        const char *text = line + read + 15;
        const int count = static_cast<int>(close - text);
        write += (kind == 'q' || kind == 'Q') ? DecodeQWord(text, count, line + write)
                                              : DecodeBWord(text, count, line + write);
        read = static_cast<int>(close - line) + 2;
        continue;
      }
    }
    line[write++] = line[read++];
  }
  line[write] = '\0';
}

int Base64StreamDecode(Channel &ch, const char *text, int count, unsigned char *out) {
  uint32_t group = ch.Base64Group;
  int filled = ch.Base64Filled;
  int written = 0;
  for (int i = 0; i < count; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      // The pad ends the group: what it holds gives one or two bytes.
      if (filled >= 2) {
        group <<= 6 * (4 - filled);
        out[written++] = static_cast<unsigned char>(group >> 16);
        if (filled == 3) out[written++] = static_cast<unsigned char>(group >> 8);
      }
      group = 0;
      filled = 0;
      continue;
    }
    const int v = Base64Values.Value[c];
    if (v < 0) continue;  // line ends, blanks and other foreign characters
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++filled == 4) {
      out[written++] = static_cast<unsigned char>(group >> 16);
      out[written++] = static_cast<unsigned char>(group >> 8);
      out[written++] = static_cast<unsigned char>(group);
      group = 0;
      filled = 0;
    }
  }
  ch.Base64Group = group;
  ch.Base64Filled = static_cast<uint8_t>(filled);
  return written;
}
