// Header helpers of the decoder: folded lines, encoded words (RFC 2047),
// parameter values (RFC 2045, RFC 2231) and the Base64 stream of part bodies.
#include <cstring>

#include "../codec/codec.h"

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

// Base64Filled after the pad: the rest of the body is not data.
constexpr int Base64Ended = 8;

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
    const int v = Base64Digit(static_cast<unsigned char>(text[i]));
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
  if (ch.InputBounded && ch.InputLeft == 0) return 0;  // the message ends here
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
  // Parameters are unfolded as RFC 5322 has it: only the line break goes,
  // the blanks around it stay (they end an unquoted value, and belong to a
  // quoted one). Encoded words are joined without them.
  const bool unfold = endChar == 0;
  while (length > 2 && ((!unfold && IsBlank(line[length - 1])) || line[length - 1] == '\r' || line[length - 1] == '\n'))
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
  // The attached message's file keeps the line as it came, fold and all.
  if (ch.EmbedHandle) WriteEmbedded(ch, line + at, n);
  int skip = 0;
  while (!unfold && skip < n && IsBlank(line[at + skip])) ++skip;
  memmove(line + at, line + at + skip, static_cast<size_t>(n - skip) + 1);
  return 1;
}

int JoinFolded(Channel &ch) {
  // Names in RFC 2231 sections come a section a line, a dozen lines and
  // more; the room left in Response ends the joining in any case.
  int joined = 0;
  while (joined < 64 && JoinContinuation(ch, 0)) ++joined;
  return joined;
}

namespace {

bool IsTokenEnd(char c) { return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

// One parameter of a header value: its attribute and raw value.
struct Param {
  const char *Attr;
  int AttrLength;
  const char *Value;  // quoted: the text inside the quotes, escapes still in it
  int ValueLength;
  bool Quoted, Closed;
};

// The parameter after *at (which stands on or before a ";"); false when
// there is no further one. Quoted strings may hold ";".
bool NextParam(const char *&at, Param &p) {
  for (;;) {
    while (*at && *at != ';') {
      if (*at == '"') {
        ++at;
        while (*at && *at != '"' && *at != '\r' && *at != '\n') at += (at[0] == '\\' && at[1]) ? 2 : 1;
        if (*at == '"') ++at;
      } else {
        ++at;
      }
    }
    if (*at != ';') return false;
    ++at;
    while (IsBlank(*at)) ++at;
    p.Attr = at;
    while (*at && *at != '=' && *at != ';' && *at != '\r' && *at != '\n') ++at;
    int attrEnd = static_cast<int>(at - p.Attr);
    while (attrEnd > 0 && IsBlank(p.Attr[attrEnd - 1])) --attrEnd;
    p.AttrLength = attrEnd;
    if (*at != '=') continue;
    ++at;
    while (IsBlank(*at)) ++at;
    p.Quoted = *at == '"';
    if (p.Quoted) {
      p.Value = ++at;
      while (*at && *at != '"' && *at != '\r' && *at != '\n') at += (at[0] == '\\' && at[1]) ? 2 : 1;
      p.ValueLength = static_cast<int>(at - p.Value);
      p.Closed = *at == '"';
      if (p.Closed) ++at;
    } else {
      p.Value = at;
      while (!IsTokenEnd(*at)) ++at;
      p.ValueLength = static_cast<int>(at - p.Value);
      p.Closed = true;
    }
    return true;
  }
}

// The attribute's name with the star forms: section -1 for none, and
// whether the value is extended (percent escapes, charset in section 0).
bool AttrIs(const Param &p, const char *attr, int &section, bool &extended) {
  const int n = static_cast<int>(strlen(attr));
  if (p.AttrLength < n || !PrefixEquals(p.Attr, attr, n)) return false;
  const char *rest = p.Attr + n;
  int left = p.AttrLength - n;
  section = -1;
  extended = false;
  if (left == 0) return true;
  if (*rest != '*') return false;
  ++rest, --left;
  if (left == 0) {
    extended = true;
    return true;
  }
  section = 0;
  while (left > 0 && *rest >= '0' && *rest <= '9') {
    section = section * 10 + (*rest - '0');
    if (section > 99) return false;
    ++rest, --left;
  }
  if (left == 1 && *rest == '*') {
    extended = true;
    --left;
  }
  return left == 0;
}

// A quoted value without its escapes. Only a quote or a backslash is
// taken as escaped: names written as Windows paths keep their separators.
int Unquote(const char *text, int count, char *out) {
  int written = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] == '\\' && i + 1 < count && (text[i + 1] == '"' || text[i + 1] == '\\')) ++i;
    out[written++] = text[i];
  }
  return written;
}

// The charset'language' head of an extended value: the charset into
// charset and the start of the value, or the value itself without one.
int TakeCharset(const char *text, int count, char *charset, int size) {
  const char *first = static_cast<const char *>(memchr(text, '\'', static_cast<size_t>(count)));
  if (!first) return 0;
  const char *second =
      static_cast<const char *>(memchr(first + 1, '\'', static_cast<size_t>(count - (first + 1 - text))));
  if (!second) return 0;
  int n = static_cast<int>(first - text);
  if (n >= size) n = size - 1;
  memcpy(charset, text, static_cast<size_t>(n));
  charset[n] = '\0';
  return static_cast<int>(second + 1 - text);
}

}  // namespace

int HeaderParam(const char *value, const char *attr, char *out, int outSize, bool strictQuote) {
  if (outSize < 1) return -1;
  out[0] = '\0';
  // The first parameter of that name decides the form.
  const char *at = value;
  // Parameters start after the first ";" outside quotes; the type before it is skipped.
  Param p;
  int section = -1;
  bool extended = false;
  bool found = false;
  while (NextParam(at, p)) {
    if (AttrIs(p, attr, section, extended) && section <= 0) {
      found = true;
      break;
    }
  }
  if (!found || (strictQuote && p.Quoted && !p.Closed)) return -1;
  // An unquoted value cannot begin with "=": such a text (an encoded word
  // where a quoted string belongs) gives no value.
  if (!p.Quoted && p.ValueLength > 0 && p.Value[0] == '=') return -1;
  char raw[2048];
  int length = 0;
  char charset[64] = "";
  if (section < 0 && !extended) {
    length = p.Quoted ? Unquote(p.Value, p.ValueLength < 2047 ? p.ValueLength : 2047, raw)
                      : (p.ValueLength < 2047 ? p.ValueLength : 2047);
    if (!p.Quoted) memcpy(raw, p.Value, static_cast<size_t>(length));
    return DecodeWordsUtf8(raw, length, out, outSize);
  }
  // Extended or continued: every section in order, 0 first.
  for (int want = 0; want < 100; ++want) {
    if (want > 0 && section < 0) break;  // a single extended value has no sections
    const char *scan = value;
    bool have = false;
    Param q;
    int s2 = -1;
    bool ext2 = false;
    if (want == 0) {
      q = p;
      s2 = section < 0 ? 0 : section;
      ext2 = extended;
      have = true;
    } else {
      while (NextParam(scan, q))
        if (AttrIs(q, attr, s2, ext2) && s2 == want) {
          have = true;
          break;
        }
    }
    if (!have) break;
    char piece[2048];
    int n = q.Quoted ? Unquote(q.Value, q.ValueLength < 2047 ? q.ValueLength : 2047, piece)
                     : (q.ValueLength < 2047 ? q.ValueLength : 2047);
    if (!q.Quoted) memcpy(piece, q.Value, static_cast<size_t>(n));
    const char *text = piece;
    if (ext2) {
      if (want == 0) {
        const int skip = TakeCharset(piece, n, charset, sizeof charset);
        text += skip;
        n -= skip;
      }
      n = PercentDecode(text, n, piece);
      text = piece;
    }
    if (length + n > static_cast<int>(sizeof raw) - 1) n = static_cast<int>(sizeof raw) - 1 - length;
    memcpy(raw + length, text, static_cast<size_t>(n));
    length += n;
    if (section < 0) break;
  }
  raw[length] = '\0';
  if (charset[0]) {
    const int n = PlatformToUtf8(charset, raw, length, out, outSize);
    if (n >= 0) return n;
  }
  if (length > outSize - 1) length = outSize - 1;
  memcpy(out, raw, static_cast<size_t>(length));
  out[length] = '\0';
  return length;
}

namespace {

// Decoded words of one character set waiting to be converted together, as a
// character may be split over two words.
struct WordRun {
  char Charset[64];
  char Bytes[1024];
  int Count = 0;
  int Mark = -1;  // where the run's text belongs in the output; -1 = no run
};

// Converts the run into out at its mark; blanks written after the mark
// move behind the converted text.
void FlushRun(WordRun &run, char *out, int &written, int outSize) {
  if (run.Mark < 0) return;
  char blanks[64];
  int k = written - run.Mark;
  if (k > 63) k = 63;
  memcpy(blanks, out + run.Mark, static_cast<size_t>(k));
  written = run.Mark;
  int n = PlatformToUtf8(run.Charset, run.Bytes, run.Count, out + written, outSize - written);
  if (n < 0) {
    n = run.Count < outSize - 1 - written ? run.Count : outSize - 1 - written;
    memcpy(out + written, run.Bytes, static_cast<size_t>(n));
  }
  written += n;
  if (written + k > outSize - 1) k = outSize - 1 - written;
  memcpy(out + written, blanks, static_cast<size_t>(k));
  written += k;
  run.Mark = -1;
  run.Count = 0;
}

}  // namespace

int DecodeWordsUtf8(const char *text, int count, char *out, int outSize) {
  if (outSize < 1) return 0;
  int written = 0;
  WordRun run;
  int i = 0;
  while (i < count && written < outSize - 1) {
    if (text[i] == '=' && i + 1 < count && text[i + 1] == '?') {
      // =?charset?e?text?=
      const char *start = text + i + 2;
      const char *end = text + count;
      const char *q1 = static_cast<const char *>(memchr(start, '?', static_cast<size_t>(end - start)));
      if (q1 && q1 + 2 < end && q1[2] == '?') {
        const char kind = q1[1];
        const char *body = q1 + 3;
        const char *close = body;
        while (close + 1 < end && !(close[0] == '?' && close[1] == '=')) ++close;
        const bool known = kind == 'q' || kind == 'Q' || kind == 'b' || kind == 'B';
        if (known && close + 1 < end) {
          char charset[64];
          int cn = static_cast<int>(q1 - start);
          if (cn > 63) cn = 63;
          memcpy(charset, start, static_cast<size_t>(cn));
          charset[cn] = '\0';
          if (char *star = strchr(charset, '*')) *star = '\0';  // RFC 2231 language
          char bytes[1024];
          int bn = static_cast<int>(close - body);
          if (bn > 1023) bn = 1023;
          memcpy(bytes, body, static_cast<size_t>(bn));
          bn = (kind == 'q' || kind == 'Q') ? DecodeQWord(bytes, bn, bytes) : DecodeBWord(bytes, bn, bytes);
          // Blanks between two encoded words are no part of the text.
          bool adjacent = run.Mark >= 0;
          for (int k = run.Mark; adjacent && k < written; ++k) adjacent = IsBlank(out[k]);
          if (adjacent && strcmp(run.Charset, charset) == 0 && run.Count + bn <= static_cast<int>(sizeof run.Bytes)) {
            written = run.Mark;
          } else {
            if (adjacent) written = run.Mark;
            FlushRun(run, out, written, outSize);
            memcpy(run.Charset, charset, sizeof charset);
            run.Mark = written;
          }
          memcpy(run.Bytes + run.Count, bytes, static_cast<size_t>(bn));
          run.Count += bn;
          i = static_cast<int>(close + 2 - text);
          continue;
        }
      }
    }
    if (!IsBlank(text[i])) FlushRun(run, out, written, outSize);
    if (written < outSize - 1) out[written++] = text[i++];
  }
  FlushRun(run, out, written, outSize);
  out[written] = '\0';
  return written;
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

namespace {

// The Base64 alphabet four characters at a time: Quad[k][c] is the value
// of character c in place k of a group, already shifted to its bits of the
// group's 24, or QuadForeign (outside the alphabet, the pad included).
constexpr uint32_t QuadForeign = 0x80000000u;
struct QuadTables {
  uint32_t Quad[4][256] = {};
  constexpr QuadTables() {
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int k = 0; k < 4; ++k)
      for (int c = 0; c < 256; ++c) Quad[k][c] = QuadForeign;
    for (int v = 0; v < 64; ++v)
      for (int k = 0; k < 4; ++k)
        Quad[k][static_cast<unsigned char>(alphabet[v])] = static_cast<uint32_t>(v) << (6 * (3 - k));
  }
};
constexpr QuadTables Quads;

// Whole groups of four alphabet characters from text, as long as they
// last: the characters read (a multiple of 4); their bytes go to out, and
// written grows by their count. Two groups a turn go out as one 8-byte
// store while 12 characters or more are left, so the two bytes behind the
// six never pass the 3 * (count + 3) / 4 the caller has room for (the next
// turn writes over them).
int DecodeQuads(const unsigned char *text, int count, unsigned char *out, int &written) {
  const auto &q = Quads.Quad;
  const unsigned char *at = text;
  const unsigned char *const end = text + count;
  unsigned char *to = out + written;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  while (end - at >= 12) {
    const uint32_t a = q[0][at[0]] | q[1][at[1]] | q[2][at[2]] | q[3][at[3]];
    const uint32_t b = q[0][at[4]] | q[1][at[5]] | q[2][at[6]] | q[3][at[7]];
    if ((a | b) & QuadForeign) break;
    const uint64_t six = __builtin_bswap64((static_cast<uint64_t>(a) << 40) | (static_cast<uint64_t>(b) << 16));
    memcpy(to, &six, 8);
    at += 8;
    to += 6;
  }
#endif
  while (end - at >= 4) {
    const uint32_t a = q[0][at[0]] | q[1][at[1]] | q[2][at[2]] | q[3][at[3]];
    if (a & QuadForeign) break;
    to[0] = static_cast<unsigned char>(a >> 16);
    to[1] = static_cast<unsigned char>(a >> 8);
    to[2] = static_cast<unsigned char>(a);
    at += 4;
    to += 3;
  }
  written = static_cast<int>(to - out);
  return static_cast<int>(at - text);
}

}  // namespace

int Base64StreamDecode(Channel &ch, const char *text, int count, unsigned char *out) {
  uint32_t group = ch.Base64Group;
  int filled = ch.Base64Filled;
  int written = 0;
  const auto *bytes = reinterpret_cast<const unsigned char *>(text);
  for (int i = 0; i < count; ++i) {
    if (filled == Base64Ended) break;
    // Between groups, runs of whole groups go four characters at a time;
    // the rest (line ends, the pad, foreign characters, a group that spans
    // them) one at a time below.
    if (filled == 0) {
      i += DecodeQuads(bytes + i, count - i, out, written);
      if (i >= count) break;
    }
    const unsigned char c = bytes[i];
    if (c == '=') {
      // The pad ends the group, and the data: what the group holds gives
      // one or two bytes, and anything after it is not decoded.
      if (filled >= 2) {
        group <<= 6 * (4 - filled);
        out[written++] = static_cast<unsigned char>(group >> 16);
        if (filled == 3) out[written++] = static_cast<unsigned char>(group >> 8);
        filled = Base64Ended;
      }
      group = 0;
      continue;
    }
    const int v = Base64Digit(c);
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

int Base64StreamFlush(Channel &ch, unsigned char *out) {
  int written = 0;
  if (ch.Base64Filled >= 2 && ch.Base64Filled != Base64Ended) {
    const uint32_t group = ch.Base64Group << (6 * (4 - ch.Base64Filled));
    out[written++] = static_cast<unsigned char>(group >> 16);
    if (ch.Base64Filled == 3) out[written++] = static_cast<unsigned char>(group >> 8);
  }
  ch.Base64Group = 0;
  ch.Base64Filled = 0;
  return written;
}
