// The outgoing message, after the server has accepted DATA: the header lines,
// the MIME header of the body part, the body one line per step (taken from
// the caller's text or from a file), and the end of the data. The
// attachments in between are attach.cpp's.
//
// So that no message goes out broken, whatever the caller gives:
// - CR and LF inside a header value (subject, lists, sender) go out as blanks;
//   the caller's own header, content-type and encoding texts go line by line,
//   every line end as CR LF, empty lines left out, a leading "." doubled.
// - Subject and the display names of the address lines go as RFC 2047
//   encoded words when they hold 8-bit text; a header line that would pass
//   998 octets is folded at its blanks (at 78 characters), never cut.
// - The HTML Message-ID is unique per message: the tick, the channel and the
//   channel's message count, at the sender's domain.
// - HTML bodies are declared and sent quoted-printable like the other MIME
//   text formats, so their soft line breaks decode; the body formats without a
//   meaning of their own are declared plain text and sent as plain text.
// - A body with 8-bit bytes is declared (charset utf-8, or the legacy set
//   when the bytes are not UTF-8) and sent quoted-printable, or Base64 when
//   most of it is 8-bit; nothing is replaced. Plain text wraps at blanks
//   only: a word longer than the line stays whole.
// - A blank that ends a quoted-printable line is sent as =20, quoted lines
//   hold at most 76 characters, and a plain line broken for its length does
//   not add an empty line when the text's own line end follows right
//   behind the break.
// - A message file that fails to read abandons the message (-35) instead of
//   sending it cut short.
#include "compose.h"

#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../core/errors.h"
#include "../core/text.h"
#include "../net/socket.h"
#include "features.h"
#include "smtp.h"

namespace {

// Plain lines are broken after the first blank from this length on.
constexpr int SoftLineLength = 61;
// Whatever KEL_MAX_LINE_LENGTH says, a body line stays this short, so that
// with its transparency dot it keeps the 998 octets of a line.
constexpr int LongestBodyLine = 997;
// Quoted-printable lines hold at most this many characters, the soft break included.
constexpr int QuotedLineLength = 76;
// A plain line is built from the bytes held in SourceBuf: at its start at
// least this many are held (or the rest of the body), so that a word moved
// to the next line is still there to be read again.
constexpr int PlainLookahead = 1100;
// Bytes of SourceBuf the character source fills.
constexpr int SourceCapacity = 2048;
// SourceEnded: the source gave its last byte, or its file failed to read.
constexpr int SourceUsedUp = 1;
constexpr int SourceReadError = 2;
// The Message-ID domain when the sender text names none.
constexpr const char *FallbackDomain = "localhost";

bool Present(const char *text) { return text && *text; }

bool HasAttachmentList(const Channel &ch) { return Present(ch.Attachments); }

// Attachments or a MIME body format make the message multipart.
bool IsMultipart(const Channel &ch) {
  return !ch.RawSubmit && (HasAttachmentList(ch) || ch.BodyFormat != KEL_BODY_PLAIN);
}

bool Printable(unsigned char c) { return c >= 32 && c <= 126; }

// With a plain version the HTML body and it go in multipart/alternative:
// the message itself when there are no attachments, else its first part.
bool AlternativeNested(const Channel &ch) { return HasAlternative(ch) && HasAttachmentList(ch); }

// The boundary of the multipart/alternative level: the message's own when
// that is the top level, else one of its own that the outer one is no
// prefix of.
void AlternativeBoundary(const Channel &ch, char *out, int size) {
  if (AlternativeNested(ch)) FormatLine(out, size, "alt%s", BoundaryText);
  else FormatLine(out, size, "%s", BoundaryText);
}

void SwapAlternative(Channel &ch) {
  const uint8_t charset = ch.BodyCharset, coding = ch.BodyCoding;
  ch.BodyCharset = ch.AltCharset;
  ch.BodyCoding = ch.AltCoding;
  ch.AltCharset = charset;
  ch.AltCoding = coding;
}

// Format 0 without attachments needs a MIME header only for a coded body.
bool NeedsMimeHeader(const Channel &ch) { return IsMultipart(ch) || ch.BodyCoding != CodingPlain; }

int BodyLineLimit() {
  int limit = Settings.MaxLineLength;
  if (limit < 1) return 1;
  return limit > LongestBodyLine ? LongestBodyLine : limit;
}

int SendFixedLine(Channel &ch, const char *text) {
  CopyField(ch.SendLine, text, HeaderLineLimit);
  return SendComposedLine(ch);
}

// ---- Header lines folded or encoded --------------------------------------------

bool AllAscii(const char *text, int length) {
  for (int i = 0; i < length; i++)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A header line built word by word in SendLine: a word that would take the
// line past FoldWidth begins a continuation line with the blanks before it,
// so that unfolding gives the text back as it was.
struct Folder {
  Channel *Ch;
  int Length;
  bool HasWord;
  int Rc;
};

void FoldStart(Folder &f, Channel &ch, const char *name) {
  f = Folder{&ch, 0, false, 0};
  f.Length = AppendLineText(ch.SendLine, 0, name);
}

void FoldWord(Folder &f, const char *space, int spaceLength, const char *word, int wordLength) {
  if (f.Rc) return;
  char *line = f.Ch->SendLine;
  if (f.HasWord && spaceLength > 0 && f.Length + spaceLength + wordLength > FoldWidth) {
    if ((f.Rc = SendComposedLine(*f.Ch)) != 0) return;
    f.Length = 0;
  }
  for (int i = 0; i < spaceLength && f.Length < LineOctetLimit; i++) line[f.Length++] = space[i] == '\t' ? '\t' : ' ';
  for (int i = 0; i < wordLength && f.Length < LineOctetLimit; i++)
    line[f.Length++] = word[i] == '\r' || word[i] == '\n' ? ' ' : word[i];
  line[f.Length] = 0;
  f.HasWord = true;
}

int FoldEnd(Folder &f) { return f.Rc ? f.Rc : SendComposedLine(*f.Ch); }

// ASCII text word by word; the first word takes the blanks before it along
// (a line has no place to fold before its first word).
void FoldText(Folder &f, const char *text, int length) {
  int i = 0;
  bool first = true;
  while (i < length) {
    const int space = i;
    while (i < length && IsBlank(text[i])) i++;
    const int word = i;
    while (i < length && !IsBlank(text[i])) i++;
    if (first) FoldWord(f, " ", 1, text + space, i - space);
    else FoldWord(f, text + space, word - space, text + word, i - word);
    first = false;
  }
}

// Text as RFC 2047 encoded words, each of at most 75 characters: UTF-8
// when the bytes are UTF-8, else the legacy character set; Base64 when
// most bytes are 8-bit, else Q. Blanks are encoded with the text, so
// decoders give it back whole.
void FoldEncoded(Folder &f, const char *text, int length) {
  int eightBit = 0;
  for (int i = 0; i < length; i++)
    if (static_cast<unsigned char>(text[i]) >= 0x80) eightBit++;
  const char *charset = eightBit == 0 ? "us-ascii" : ValidUtf8(text, length) ? "utf-8" : PlatformLegacyCharset();
  const bool base64 = eightBit * 5 > length;
  char word[80];
  for (int at = 0; at < length;) {
    int room = f.HasWord ? 75 : FoldWidth - f.Length - 1;
    if (room < 24) room = 24;
    if (room > 75) room = 75;
    int taken = 0;
    int n = EncodeWord(text + at, length - at, charset, base64, room, word, &taken);
    if (taken == 0) n = EncodeWord(text + at, length - at, charset, base64, 75, word, &taken);
    if (taken == 0) break;
    FoldWord(f, " ", 1, word, n);
    at += taken;
  }
}

// "Name: value" in one line as before where the value is ASCII and fits a
// line; else folded, and encoded where it holds 8-bit text or a word too
// long for a line. CR and LF go as blanks.
int SendTextHeader(Channel &ch, const char *name, char *text) {
  for (char *p = text; *p; p++)
    if (*p == '\r' || *p == '\n') *p = ' ';
  const int length = static_cast<int>(strlen(text));
  const int nameLength = static_cast<int>(strlen(name));
  const bool ascii = AllAscii(text, length);
  if (ascii && nameLength + 1 + length <= LineOctetLimit) {
    int n = AppendLineText(ch.SendLine, 0, name);
    n = AppendLineText(ch.SendLine, n, " ");
    AppendLineText(ch.SendLine, n, text);
    return SendComposedLine(ch);
  }
  int longest = 0;
  for (int i = 0, run = 0; i < length; i++) {
    run = IsBlank(text[i]) ? 0 : run + 1;
    if (run > longest) longest = run;
  }
  Folder f;
  FoldStart(f, ch, name);
  if (ascii && longest <= FoldWidth * 4) FoldText(f, text, length);
  else FoldEncoded(f, text, length);
  return FoldEnd(f);
}

// A display name of an address line: as it is when ASCII, else encoded
// words (a quoted name loses its quotes: the words stand in for them).
void FoldDisplayName(Folder &f, const char *name, int length) {
  if (AllAscii(name, length)) {
    FoldText(f, name, length);
    return;
  }
  char plain[1024];
  int n = 0;
  if (length >= 2 && name[0] == '"' && name[length - 1] == '"') {
    for (int i = 1; i < length - 1 && n < static_cast<int>(sizeof plain); i++) {
      if (name[i] == '\\' && i + 1 < length - 1) i++;
      plain[n++] = name[i];
    }
  } else {
    n = length < static_cast<int>(sizeof plain) ? length : static_cast<int>(sizeof plain);
    memcpy(plain, name, static_cast<size_t>(n));
  }
  FoldEncoded(f, plain, n);
}

// An address line: as before where it is ASCII and fits a line; else entry
// by entry, display names encoded, each address whole with its comma, the
// line folded between words. Nothing is left out.
int SendAddressHeader(Channel &ch, const char *name, const char *list) {
  const int length = static_cast<int>(strlen(list));
  const int nameLength = static_cast<int>(strlen(name));
  if (AllAscii(list, length) && nameLength + 1 + length <= LineOctetLimit) {
    int n = AppendLineText(ch.SendLine, 0, name);
    n = AppendLineText(ch.SendLine, n, " ");
    AppendLineText(ch.SendLine, n, list);
    return SendComposedLine(ch);
  }
  Folder f;
  FoldStart(f, ch, name);
  const char separator = Settings.AddressSeparator;
  char address[1100];
  for (const char *p = list; *p;) {
    const char *end = p;
    while (*end && *end != separator) end++;
    const char *next = *end ? end + 1 : end;
    const char *start = p;
    const char *stop = end;
    while (start < stop && IsBlank(*start)) start++;
    while (stop > start && IsBlank(stop[-1])) stop--;
    p = next;
    if (start == stop) continue;
    const char *open = start;
    while (open < stop && *open != '<') open++;
    if (open == stop) open = start;  // a bare address
    const char *nameEnd = open;
    while (nameEnd > start && IsBlank(nameEnd[-1])) nameEnd--;
    if (nameEnd > start) FoldDisplayName(f, start, static_cast<int>(nameEnd - start));
    int n = EnvelopeAddress(ch, open, static_cast<int>(stop - open), address, sizeof address - 2);
    if (*next) address[n++] = ',';
    FoldWord(f, " ", 1, address, n);
  }
  return FoldEnd(f);
}

// "Content-Type: text/...", with the character set where the text has
// 8-bit bytes, or (coded plain text) always.
int SendTypeLine(Channel &ch, const char *type, bool plainFormat) {
  const bool named = ch.BodyCharset != CharsetAscii || (plainFormat && ch.BodyCoding != CodingPlain);
  if (named)
    FormatLine(ch.SendLine, HeaderLineLimit + 1, "Content-Type: %s; charset=%s", type, CharsetName(ch.BodyCharset));
  else
    FormatLine(ch.SendLine, HeaderLineLimit + 1, "Content-Type: %s", type);
  return SendComposedLine(ch);
}

const char *CodingName(uint8_t coding) {
  switch (coding) {
    case CodingBase64: return "base64";
    case CodingEightBit: return "8bit";
    case CodingPlain: return "7bit";
    default: return "quoted-printable";
  }
}

// "Content-Transfer-Encoding: ...", with the empty line that ends a part header.
int SendCodingLine(Channel &ch, bool endsPart) {
  FormatLine(ch.SendLine, HeaderLineLimit + 1, "Content-Transfer-Encoding: %s%s", CodingName(ch.BodyCoding),
             endsPart ? "\r\n" : "");
  return SendComposedLine(ch);
}

// The next non-empty line of a caller's text, where CR LF, CR and LF all
// end a line; null when none is left.
const char *NextTextLine(const char *p, int *length) {
  while (*p == '\r' || *p == '\n') ++p;
  int n = 0;
  while (p[n] && p[n] != '\r' && p[n] != '\n') ++n;
  *length = n;
  return n ? p : nullptr;
}

// Sends a caller's header text (KEL_SET_HEADER, KEL_CONTENT_TYPE ...) line by
// line: every line end goes out as CR LF, empty lines are left out (they
// would end the header), and a line that begins with "." gets the
// transparency dot, so no caller text can end the header or the data early.
// With blankAfter the last line is followed by an empty line. Returns the
// number of lines sent, or the error exit's result.
int SendCallerLines(Channel &ch, const char *text, bool blankAfter) {
  int count = 0;
  int length = 0;
  const char *line = text ? NextTextLine(text, &length) : nullptr;
  while (line) {
    int nextLength = 0;
    const char *next = NextTextLine(line + length, &nextLength);
    if (length > LineOctetLimit - 1) {  // folded at its blanks rather than cut
      Folder f;
      FoldStart(f, ch, line[0] == '.' ? "." : "");
      for (int i = 0; i < length;) {
        const int space = i;
        while (i < length && IsBlank(line[i])) i++;
        const int word = i;
        while (i < length && !IsBlank(line[i])) i++;
        FoldWord(f, line + space, word - space, line + word, i - word);
      }
      if (int rc = FoldEnd(f)) return rc;
      if (!next && blankAfter) {
        const int rc = SendBytes(ch, "\r\n", 2);
        if (rc < 0) return ComposeFail(ch, rc, Err::Send);
      }
      count++;
      line = next;
      length = nextLength;
      continue;
    }
    int n = 0;
    if (line[0] == '.') ch.SendLine[n++] = '.';
    int take = length < HeaderLineLimit - n ? length : HeaderLineLimit - n;
    memcpy(ch.SendLine + n, line, static_cast<size_t>(take));
    n += take;
    if (!next && blankAfter) {
      memcpy(ch.SendLine + n, "\r\n", 2);
      n += 2;
    }
    ch.SendLine[n] = 0;
    if (int rc = SendComposedLine(ch)) return rc;
    count++;
    line = next;
    length = nextLength;
  }
  return count;
}

// The header state that follows `after`: the next line this message needs.
int NextHeaderState(const Channel &ch, int after) {
  if (after < State::ReplyToHeader && ch.ReplyTo[0]) return State::ReplyToHeader;
  if (after < State::SubjectHeader && Present(ch.Subject)) return State::SubjectHeader;
  if (after < State::CcHeader && Present(ch.CcList)) return State::CcHeader;
  return NeedsMimeHeader(ch) ? State::MimeVersionHeader : State::EndOfHeaders;
}

// The domain of the sender's address: after its first "@", up to the ">"
// (or the first blank or control character).
int SenderDomain(const char *from, char *domain, int size) {
  const char *at = strchr(from, '@');
  int d = 0;
  for (const char *p = at ? at + 1 : ""; *p && *p != '>' && *p > ' ' && *p <= '~' && d < size - 1; ++p)
    domain[d++] = *p;
  domain[d] = 0;
  return d;
}

// ---- The body character source ---------------------------------------------

bool SourceDrained(const Channel &ch) { return ch.SourceEnded && ch.SourceIndex >= ch.SourceFill; }

// Refills SourceBuf from the message text or file once no more than a line's
// worth of unread bytes is left.
void RefillSource(Channel &ch) {
  int held = ch.SourceFill - ch.SourceIndex;
  memmove(ch.SourceBuf, ch.SourceBuf + ch.SourceIndex, static_cast<size_t>(held));
  ch.SourceIndex = 0;
  ch.SourceFill = held;
  const int room = SourceCapacity - held;
  int got = 0;
  if (ch.BodyFromText) {
    if (ch.Message) {
      got = static_cast<int>(strnlen(ch.Message, static_cast<size_t>(room)));
      memcpy(ch.SourceBuf + held, ch.Message, static_cast<size_t>(got));
      ch.Message += got;
    }
  } else {
    got = PlatformFileRead(ch.FileHandle, ch.SourceBuf + held, room);
    if (got < 0) {
      ch.SourceEnded = SourceReadError;
      got = 0;
    }
  }
  ch.BodyBytesRead += static_cast<uint32_t>(got);
  ch.SourceFill += got;
  if (got == 0 && !ch.SourceEnded) ch.SourceEnded = SourceUsedUp;
}

// One byte of the body; 0 once the body is used up. A NUL byte in a message
// file ends the body there, as the end of a text does.
unsigned char NextBodyChar(Channel &ch) {
  if (!ch.SourceEnded && ch.SourceFill - ch.SourceIndex <= BodyLineLimit()) RefillSource(ch);
  if (ch.SourceIndex >= ch.SourceFill) return 0;
  unsigned char c = static_cast<unsigned char>(ch.SourceBuf[ch.SourceIndex++]);
  if (c == 0) {
    if (!ch.SourceEnded) ch.SourceEnded = SourceUsedUp;
    ch.SourceIndex = ch.SourceFill;
  }
  return c;
}

unsigned char TakeBodyChar(Channel &ch) {
  if (ch.Lookahead) {
    unsigned char c = static_cast<unsigned char>(ch.Lookahead);
    ch.Lookahead = 0;
    return c;
  }
  return NextBodyChar(ch);
}

const char HexDigits[] = "0123456789ABCDEF";

// The next byte of the body without taking it (0 at its end).
unsigned char PeekBodyChar(Channel &ch) {
  if (!ch.SourceEnded && ch.SourceFill - ch.SourceIndex <= BodyLineLimit()) RefillSource(ch);
  if (ch.SourceIndex >= ch.SourceFill) return 0;
  return static_cast<unsigned char>(ch.SourceBuf[ch.SourceIndex]);
}

// A plain line: broken after the first blank from SoftLineLength on, or at
// the line width where a word ends there; a word that would run past the
// width goes to the next line whole, and a word longer than the width
// stays whole on a line of its own. Bytes outside printable ASCII go as
// they are only where the body is declared 8-bit (else the examination
// chose another coding; a file changed since then gets "~").
int BuildPlainLine(Channel &ch) {
  const int limit = BodyLineLimit();
  if (!ch.SourceEnded && ch.SourceFill - ch.SourceIndex < PlainLookahead) RefillSource(ch);
  const char *s = ch.SourceBuf + ch.SourceIndex;
  const int held = ch.SourceFill - ch.SourceIndex;
  const bool raw = ch.BodyCoding == CodingEightBit || Settings.Allow8Bit;
  char *line = ch.SendLine;
  int n = 0;
  int i = 0;
  int blankOut = 0;  // the line's length up to and with its last blank
  int blankIn = 0;   // the bytes taken up to and with that blank
  bool longWord = false;
  bool broken = false;  // ended for its length: a line end right behind belongs to it
  bool nul = false;
  while (i < held) {
    // Printable bytes other than the blank, while the line stays below its
    // width, are only copied: a run of them in one go.
    if (!longWord) {
      while (i < held && n + 1 < limit) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c <= ' ' || c > '~') break;
        line[n++] = static_cast<char>(c);
        i++;
      }
      if (i >= held) break;
    }
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == 0) {
      nul = true;
      break;
    }
    i++;
    if (c == '\r') continue;
    if (c == '\n') break;
    line[n++] = raw || Printable(c) || c == '\t' ? static_cast<char>(c) : '~';
    if (c == ' ') {
      blankOut = n;
      blankIn = i;
      if (n >= SoftLineLength || longWord) {
        broken = true;
        break;
      }
    }
    if (n >= LongestBodyLine) {
      broken = true;
      break;
    }
    if (longWord || n < limit) continue;
    int k = i;
    while (k < held && s[k] == '\r') k++;
    const bool wordEnds = c == ' ' || k >= held || s[k] == ' ' || s[k] == '\n' || s[k] == 0;
    if (wordEnds) {
      broken = true;
      break;
    }
    if (blankOut > 0) {  // the word begun after the last blank starts the next line
      n = blankOut;
      i = blankIn;
      break;
    }
    longWord = true;
  }
  if (broken) {
    int k = i;
    while (k < held && s[k] == '\r') k++;
    if (k < held && s[k] == '\n') i = k + 1;
  }
  if (nul) {
    if (!ch.SourceEnded) ch.SourceEnded = SourceUsedUp;
    ch.SourceIndex = ch.SourceFill;
  } else {
    ch.SourceIndex += i;
  }
  if (i == 0 && SourceDrained(ch)) return -1;
  return n;
}

// A quoted-printable line of at most QuotedLineLength characters with its
// soft break; an escape is never split.
int BuildQuotedLine(Channel &ch) {
  int limit = BodyLineLimit();
  if (limit > QuotedLineLength) limit = QuotedLineLength;
  if (limit < 4) limit = 4;  // an escape and the soft break
  char *line = ch.SendLine;
  int n = 0;
  int taken = 0;
  for (;;) {
    unsigned char c = TakeBodyChar(ch);
    if (c == 0) break;
    taken++;
    if (c == '\r') continue;
    if (c == '\n') break;
    const unsigned char next = PeekBodyChar(ch);
    // A blank at the end of a line is escaped too: readers strip bare ones.
    const bool lineEnds = next == 0 || next == '\r' || next == '\n';
    const bool escape = c == '=' || !Printable(c) || (c == ' ' && lineEnds);
    const int width = escape ? 3 : 1;
    // The last character of a line may fill it; any other leaves room for the soft break.
    if (n + width > (lineEnds ? limit : limit - 1)) {
      ch.Lookahead = static_cast<char>(c);
      line[n++] = '=';
      break;
    }
    if (escape) {
      line[n++] = '=';
      line[n++] = HexDigits[c >> 4];
      line[n++] = HexDigits[c & 15];
    } else {
      line[n++] = static_cast<char>(c);
    }
  }
  if (taken == 0 && SourceDrained(ch)) return -1;
  return n;
}

// A Base64 line of the text in its canonical form: every line end CR LF.
int BuildBase64Line(Channel &ch) {
  unsigned char bytes[57];
  int n = 0;
  int taken = 0;
  while (n < 57) {
    if (ch.CarryLf) {
      ch.CarryLf = 0;
      bytes[n++] = '\n';
      continue;
    }
    unsigned char c = TakeBodyChar(ch);
    if (c == 0) break;
    taken++;
    if (c == '\r') continue;
    if (c == '\n') {
      bytes[n++] = '\r';
      if (n < 57) bytes[n++] = '\n';
      else ch.CarryLf = 1;
      continue;
    }
    bytes[n++] = c;
  }
  if (n == 0 && taken == 0 && SourceDrained(ch)) return -1;
  if (n == 0) return -1;
  int length = Base64EncodeLine(bytes, ch.SendLine, n);
  ch.SendLine[length] = 0;
  return length;
}

// A line of a prepared message as it is (a line longer than SendLine holds
// goes on the next); in its header, Bcc fields are left out.
int BuildRawLine(Channel &ch) {
  constexpr int RawLineLimit = static_cast<int>(sizeof ch.SendLine) - 4;
  char *line = ch.SendLine;
  for (;;) {
    int n = 0;
    int taken = 0;
    for (;;) {
      unsigned char c = TakeBodyChar(ch);
      if (c == 0) break;
      taken++;
      if (c == '\r') continue;
      if (c == '\n') break;
      if (n >= RawLineLimit) {
        ch.Lookahead = static_cast<char>(c);
        break;
      }
      line[n++] = static_cast<char>(c);
    }
    if (taken == 0 && SourceDrained(ch)) return -1;
    if (!ch.RawHeader) return n;
    if (n == 0) {
      ch.RawHeader = 0;
      return 0;
    }
    if (line[0] != ' ' && line[0] != '\t') ch.RawDropping = n >= 4 && PrefixEquals(line, "Bcc:", 4);
    if (!ch.RawDropping) return n;
  }
}

// Builds the next body line in SendLine, without its CR LF; returns its
// length, or -1 once the body is used up.
int BuildBodyLine(Channel &ch) {
  int n;
  if (ch.RawSubmit) n = BuildRawLine(ch);
  else switch (ch.BodyCoding) {
    case CodingQuoted: n = BuildQuotedLine(ch); break;
    case CodingBase64: return BuildBase64Line(ch);
    default: n = BuildPlainLine(ch); break;
  }
  if (n < 0) return n;
  char *line = ch.SendLine;
  if (n > 0 && line[0] == '.') {
    memmove(line + 1, line, static_cast<size_t>(n));
    n++;
  }
  line[n] = 0;
  return n;
}

// One step of a body: sends the next line, or moves on once the body is used up.
int SendBodyLine(Channel &ch, Tick now, uint32_t deadlineDelay) {
  int length = BuildBodyLine(ch);
  if (length < 0) {
    if (ch.SourceEnded == SourceReadError) return ComposeFail(ch, Err::Closed, Err::CannotOpenFile);
    CloseBufferedFile(ch.AttachOut, ch.FileHandle);
    ch.FileHandle = 0;
    char inner[64];
    AlternativeBoundary(ch, inner, sizeof inner);
    if (ch.AltPhase == 1) {  // the plain version is sent: on to the HTML body
      ch.AltPhase = 2;
      SwapAlternative(ch);
      ch.Message = ch.AltStash;
      FormatLine(ch.SendLine, HeaderLineLimit + 1, "\r\n--%s", inner);
      if (int rc = SendComposedLine(ch)) return rc;
      ch.NextState = State::BodyContentType;
      return 0;
    }
    if (ch.AltPhase == 2 && AlternativeNested(ch)) {
      FormatLine(ch.SendLine, HeaderLineLimit + 1, "\r\n--%s--", inner);
      if (int rc = SendComposedLine(ch)) return rc;
    }
    ch.AltPhase = 0;
    ch.NextState = HasAttachmentList(ch) ? State::AttachBoundary : State::EndOfData;
    return 0;
  }
  ch.BodyBytesSent += static_cast<uint32_t>(length) + 2;
  if (int rc = SendComposedLine(ch)) return rc;
  ch.NotBefore = now + Settings.BlockDelay;
  ch.Deadline = now + deadlineDelay;
  ch.WaitWritable = 1;
  return 0;
}

}  // namespace

// ---- Shared helpers ------------------------------------------------------------

int AppendLineText(char *line, int length, const char *text, int limit) {
  for (; text && *text && length < limit; ++text) line[length++] = *text == '\r' || *text == '\n' ? ' ' : *text;
  line[length] = 0;
  return length;
}

bool WantsMessageId(const Channel &ch) { return ch.BodyFormat == KEL_BODY_HTML || ch.AlwaysMessageId; }

bool RelatedInMixed(const Channel &ch) {
  return HasAlternative(ch) && HasAttachmentList(ch) && ListHasPlainAttachment(ch) && ListHasInlineImage(ch);
}

void RelatedBoundary(char *out, int size) { FormatLine(out, size, "rel%s", BoundaryText); }

bool HasAlternative(const Channel &ch) {
  return !ch.RawSubmit && ch.BodyFormat == KEL_BODY_HTML && ch.AltText && ch.AltText[0];
}

int FirstHeaderState(const Channel &ch) {
  if (ch.RawSubmit) return State::BodyStart;
  return WantsMessageId(ch) ? State::MessageIdHeader : State::MailerHeader;
}

int ComposeFail(Channel &ch, int sockCode, int kelCode) {
  CloseBufferedFile(ch.AttachOut, ch.FileHandle);
  ch.FileHandle = 0;
  return driverFail(ch, sockCode, kelCode);
}

int SendComposedLine(Channel &ch) {
  int rc = SendTextLine(ch, ch.SendLine);
  return rc < 0 ? ComposeFail(ch, rc, Err::Send) : 0;
}

const char *FindSeparator(const char *text, char c) {
  if (!c) return nullptr;
  for (; *text; ++text)
    if (*text == c) return text;
  return nullptr;
}

char *FindSeparator(char *text, char c) {
  return const_cast<char *>(FindSeparator(static_cast<const char *>(text), c));
}

// ---- Header states ---------------------------------------------------------------

int MessageIdHeader(Channel &ch, Tick now) {
  // Unique per message: the tick, the channel and its message count; the
  // domain is the sender's, from its "@" up to the ">".
  ch.MessageCount++;
  ch.MoreToFollow = 1;
  char domain[sizeof ch.From];
  const int d = SenderDomain(ch.From, domain, sizeof domain);
  FormatLine(ch.SendLine, HeaderLineLimit + 1, "Message-ID: <%s.%lu.%lu.%lu@%s>", MessageRoot,
             static_cast<unsigned long>(now), static_cast<unsigned long>(ch.ChannelNumber),
             static_cast<unsigned long>(ch.MessageCount), d ? domain : FallbackDomain);
  if (int rc = SendComposedLine(ch)) return rc;
  ch.NextState = State::MailerHeader;
  return 0;
}

int MailerHeader(Channel &ch, Tick) {
  if (!WantsMessageId(ch)) ch.MessageCount++;  // else counted by its Message-ID
  ch.MoreToFollow = 1;  // the message text begins: its lines leave in full segments
  FormatLine(ch.SendLine, HeaderLineLimit + 1, "X-Mailer: KEL32 %d.%d.%d (build %d)", LibraryVersion >> 8,
             (LibraryVersion >> 4) & 15, LibraryVersion & 15, LibraryBuild);
  if (int rc = SendComposedLine(ch)) return rc;
  ch.NextState = State::DateHeader;
  return 0;
}

int DateHeader(Channel &ch, Tick) {
  FormatDateLine(ch.SendLine, HeaderLineLimit + 1);
  if (int rc = SendComposedLine(ch)) return rc;
  ch.NextState = State::ToHeader;
  return 0;
}

int ToHeader(Channel &ch, Tick now) {
  if (!Settings.HideToHeader) {
    if (Present(ch.ToList))
      if (int rc = SendAddressHeader(ch, "To:", ch.ToList)) return rc;
    SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  }
  ch.NextState = State::FromHeader;
  return 0;
}

int FromHeader(Channel &ch, Tick) {
  if (ch.From[0])
    if (int rc = SendAddressHeader(ch, "From:", ch.From)) return rc;
  ch.NextState = NextHeaderState(ch, State::FromHeader);
  return 0;
}

int ReplyToHeader(Channel &ch, Tick) {
  if (int rc = SendAddressHeader(ch, "Reply-To:", ch.ReplyTo)) return rc;
  ch.NextState = NextHeaderState(ch, State::ReplyToHeader);
  return 0;
}

int SubjectHeader(Channel &ch, Tick) {
  if (int rc = SendTextHeader(ch, "Subject:", ch.Subject)) return rc;
  if (Present(ch.ExtraHeaders)) {
    int rc = SendCallerLines(ch, ch.ExtraHeaders, false);
    if (rc < 0) return rc;
  }
  ch.NextState = NextHeaderState(ch, State::SubjectHeader);
  return 0;
}

int CcHeader(Channel &ch, Tick) {
  if (int rc = SendAddressHeader(ch, "CC:", ch.CcList)) return rc;
  ch.NextState = NextHeaderState(ch, State::CcHeader);
  return 0;
}

int MimeVersionHeader(Channel &ch, Tick) {
  if (int rc = SendFixedLine(ch, "MIME-Version: 1.0")) return rc;
  if (IsMultipart(ch)) {
    ch.NextState = State::MultipartHeader;
    return 0;
  }
  // Plain text on its own, declared because it is coded.
  if (int rc = SendTypeLine(ch, "text/plain", true)) return rc;
  if (int rc = SendCodingLine(ch, false)) return rc;
  ch.NextState = State::EndOfHeaders;
  return 0;
}

int MultipartHeader(Channel &ch, Tick) {
  const char *type = ch.BodyFormat == KEL_BODY_HTML ? "Content-Type: multipart/related; boundary="
                                        : "Content-Type: multipart/mixed; boundary=";
  // With a plain version: alternative on its own, inside related with
  // inline images only, else inside mixed.
  if (HasAlternative(ch))
    type = !HasAttachmentList(ch)     ? "Content-Type: multipart/alternative; boundary="
           : ListHasPlainAttachment(ch) ? "Content-Type: multipart/mixed; boundary="
                                      : "Content-Type: multipart/related; boundary=";
  FormatLine(ch.SendLine, HeaderLineLimit + 1, "%s%c%s%c", type, QuoteChar, BoundaryText, QuoteChar);
  if (int rc = SendComposedLine(ch)) return rc;
  ch.NextState = State::EndOfHeaders;
  return 0;
}

int EndOfHeaders(Channel &ch, Tick) {
  int rc = SendBytes(ch, "\r\n", 2);
  if (rc < 0) return ComposeFail(ch, rc, Err::Send);
  ch.NextState = IsMultipart(ch) ? State::BodyBoundary : State::BodyStart;
  return 0;
}

// ---- The body part header ----------------------------------------------------------

int BodyBoundary(Channel &ch, Tick) {
  FormatLine(ch.SendLine, HeaderLineLimit + 1, "--%s", BoundaryText);
  if (int rc = SendComposedLine(ch)) return rc;
  if (HasAlternative(ch)) {
    char inner[64];
    AlternativeBoundary(ch, inner, sizeof inner);
    ch.AttachPass = 0;
    if (RelatedInMixed(ch)) {
      char related[64];
      RelatedBoundary(related, sizeof related);
      FormatLine(ch.SendLine, HeaderLineLimit + 1, "Content-Type: multipart/related; boundary=%c%s%c\r\n\r\n--%s",
                 QuoteChar, related, QuoteChar, related);
      if (int rc = SendComposedLine(ch)) return rc;
      ch.AttachPass = 1;
      ch.AttachStart = ch.Attachments;
    }
    if (AlternativeNested(ch)) {
      FormatLine(ch.SendLine, HeaderLineLimit + 1, "Content-Type: multipart/alternative; boundary=%c%s%c\r\n\r\n--%s",
                 QuoteChar, inner, QuoteChar, inner);
      if (int rc = SendComposedLine(ch)) return rc;
    }
    // The plain version first: its text and coding stand in for the body's.
    ch.AltPhase = 1;
    SwapAlternative(ch);
    ch.AltStash = ch.Message;
    ch.Message = ch.AltText;
  }
  ch.NextState = State::BodyContentType;
  return 0;
}

int BodyContentType(Channel &ch, Tick) {
  int next = State::BodyTransferEncoding;
  int rc = 0;
  switch (ch.AltPhase == 1 ? KEL_BODY_PLAIN : ch.BodyFormat) {
    case KEL_BODY_QUOTED: rc = SendTypeLine(ch, "text/plain", false); break;
    case KEL_BODY_HTML: rc = SendTypeLine(ch, "text/html", false); break;
    case KEL_BODY_ENRICHED: rc = SendTypeLine(ch, "text/enriched", false); break;
    case KEL_BODY_ISO8859: rc = SendFixedLine(ch, "Content-Type: text/plain; charset=iso-8859-1"); break;
    case KEL_BODY_CUSTOM:
      // The caller's own type; with none set the part is declared plain text.
      rc = SendCallerLines(ch, Settings.ContentType, false);
      if (rc == 0) rc = SendTypeLine(ch, "text/plain", false);
      break;
    default:
      if (ch.BodyCoding == CodingPlain && ch.AltPhase != 1) {
        rc = SendFixedLine(ch, "Content-Type: text/plain\r\n");
        next = State::BodyStart;
      } else {
        rc = SendTypeLine(ch, "text/plain", true);
      }
      break;
  }
  if (rc < 0) return rc;
  ch.NextState = next;
  return 0;
}

int BodyTransferEncoding(Channel &ch, Tick) {
  int rc = 0;
  if (Settings.TransferEncoding[0] && ch.BodyCoding == CodingQuoted && ch.AltPhase != 1)
    rc = SendCallerLines(ch, Settings.TransferEncoding, true);
  if (rc == 0) rc = SendCodingLine(ch, true);
  if (rc < 0) return rc;
  ch.NextState = State::BodyStart;
  return 0;
}

// ---- Body states -----------------------------------------------------------------

int BodyStart(Channel &ch, Tick) {
  ch.MoreToFollow = 1;
  ch.RawHeader = ch.RawSubmit;
  ch.RawDropping = 0;
  ch.CarryLf = 0;
  ch.SourceIndex = ch.SourceFill = ch.SourceEnded = 0;
  ch.Lookahead = 0;  // nothing read ahead may pass from an abandoned message to this one
  ch.NextState = ch.Message && ch.Message[0] == '@' ? State::OpenMessageFile : State::TextBodyStart;
  return 0;
}

int TextBodyStart(Channel &ch, Tick) {
  ch.Lookahead = 0;
  ch.BodyFromText = 1;
  ch.NextState = State::SendTextBody;
  return 0;
}

int SendTextBody(Channel &ch, Tick now) { return SendBodyLine(ch, now, Settings.SendTimeout); }

int OpenMessageFile(Channel &ch, Tick) {
  ch.BodyFromText = 0;
  const char *name = ch.Message + 1;
  LogLine(ch, "Opening message file [%s]\r\n", name);
  CloseBufferedFile(ch.AttachOut, ch.FileHandle);  // left by a message that timed out
  ch.FileHandle = 0;
  int handle = PlatformFileOpenRead(name);
  if (handle < 0) return driverFail(ch, handle, Err::CannotOpenFile);
  ch.FileHandle = handle;
  ch.NextState = State::SendFileBody;
  return 0;
}

int SendFileBody(Channel &ch, Tick now) { return SendBodyLine(ch, now, Settings.ResponseTimeout); }

int EndOfData(Channel &ch, Tick now) {
  if (IsMultipart(ch)) {
    FormatLine(ch.SendLine, HeaderLineLimit + 1, "--%s--\r\n", BoundaryText);
    if (int rc = SendComposedLine(ch)) return rc;
  }
  ch.MoreToFollow = 0;  // the end of data goes out at once
  // A prepared message ends with its own last line.
  if (int rc = SendFixedLine(ch, ch.RawSubmit ? "." : "\r\n.")) return rc;
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::EndOfDataReply;
  AwaitingReply(ch);
  return 0;
}
