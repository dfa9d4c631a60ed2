// The outgoing message, after the server has accepted DATA: the header lines,
// the MIME header of the body part, the body one line per step (taken from
// the caller's text or from a file), and the end of the data. The
// attachments in between are attach.cpp's.
//
// So that no message goes out broken, whatever the caller gives:
// - CR and LF inside a header value (subject, lists, sender) go out as blanks;
//   the caller's own header, content-type and encoding texts go line by line,
//   every line end as CR LF, empty lines left out, a leading "." doubled.
// - Every header line holds at most 1023 characters; longer values are cut.
// - The HTML Message-ID is unique per message: the tick, the channel and the
//   channel's message count, at the sender's domain.
// - HTML bodies are declared and sent quoted-printable like the other MIME
//   text formats, so their soft line breaks decode; the body formats without a
//   meaning of their own are declared plain text and sent as plain text.
// - A blank that ends a quoted-printable line is sent as =20, and a plain
//   line broken for its length does not add an empty line when the text's
//   own line end follows right behind the break.
// - A message file that fails to read abandons the message (-35) instead of
//   sending it cut short.
#include "compose.h"

#include <cstring>

#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../net/socket.h"

namespace {

// Plain lines are broken after the first blank from this length on.
constexpr int SoftLineLength = 61;
// Whatever KEL_MAX_LINE_LENGTH says, a body line stays this short, so that
// with its escapes, soft break and transparency dot it fits SendLine, and
// the character source always keeps room to refill.
constexpr int LongestBodyLine = 1000;
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
bool IsMultipart(const Channel &ch) { return HasAttachmentList(ch) || ch.BodyFormat != KEL_BODY_PLAIN; }

// The formats whose body is sent quoted-printable; the others (0 and the
// values without a meaning of their own) are sent as 7-bit plain text, as
// their part header declares.
bool QuotedBody(uint32_t format) {
  return format == 1 || format == 2 || format == 3 || format == 4 || format == 9;
}

bool Printable(unsigned char c) { return c >= 32 && c <= 126; }

int BodyLineLimit() {
  int limit = Settings.MaxLineLength;
  if (limit < 1) return 1;
  return limit > LongestBodyLine ? LongestBodyLine : limit;
}

// "Name: value" in one line of at most HeaderLineLimit characters.
int SendHeader(Channel &ch, const char *name, const char *value) {
  int length = AppendLineText(ch.SendLine, 0, name);
  AppendLineText(ch.SendLine, length, value);
  return SendComposedLine(ch);
}

int SendFixedLine(Channel &ch, const char *text) {
  CopyField(ch.SendLine, text, HeaderLineLimit);
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
  return IsMultipart(ch) ? State::MimeVersionHeader : State::EndOfHeaders;
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
      while (got < room && ch.Message[got]) {
        ch.SourceBuf[held + got] = ch.Message[got];
        got++;
      }
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

// A plain line broken for its length: a line end right behind the break is
// the end of that same line, not an empty line of its own.
void TakeLineEndAfterBreak(Channel &ch) {
  unsigned char c = TakeBodyChar(ch);
  while (c == '\r') c = NextBodyChar(ch);
  if (c != '\n') ch.Lookahead = static_cast<char>(c);
}

const char HexDigits[] = "0123456789ABCDEF";

// Builds the next body line in SendLine, without its CR LF; returns its
// length, or -1 once the body is used up.
int BuildBodyLine(Channel &ch) {
  const int limit = BodyLineLimit();
  const bool quoted = QuotedBody(ch.BodyFormat);
  char *line = ch.SendLine;
  int n = 0;
  int taken = 0;
  while (n < limit) {  // always true here: each line ends once it reaches the limit
    unsigned char c = TakeBodyChar(ch);
    if (c == 0) break;
    taken++;
    if (c == '\r') continue;
    if (c == '\n') break;
    if (!quoted) {
      line[n++] = Settings.Allow8Bit || Printable(c) ? static_cast<char>(c) : '~';
      if (n >= limit || (n >= SoftLineLength && c == ' ')) {
        TakeLineEndAfterBreak(ch);
        break;
      }
      continue;
    }
    unsigned char next = NextBodyChar(ch);
    ch.Lookahead = static_cast<char>(next);
    // A blank at the end of a line is escaped too: readers strip bare ones.
    bool lineEnds = next == 0 || next == '\r' || next == '\n';
    if (c == '=' || !Printable(c) || (c == ' ' && lineEnds)) {
      line[n++] = '=';
      line[n++] = HexDigits[c >> 4];
      line[n++] = HexDigits[c & 15];
    } else {
      line[n++] = static_cast<char>(c);
    }
    // A soft break; a "." due next is taken onto this line first, so that
    // no line after a soft break starts with a dot.
    if (n >= limit || (n == limit - 1 && next != '.')) {
      line[n++] = '=';
      break;
    }
  }
  if (taken == 0 && SourceDrained(ch)) return -1;
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

int FirstHeaderState(const Channel &ch) {
  return ch.BodyFormat == KEL_BODY_HTML ? State::MessageIdHeader : State::MailerHeader;
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
  if (ch.BodyFormat != KEL_BODY_HTML) ch.MessageCount++;  // an HTML message was counted by its Message-ID
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
      if (int rc = SendHeader(ch, "To: ", ch.ToList)) return rc;
    SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  }
  ch.NextState = State::FromHeader;
  return 0;
}

int FromHeader(Channel &ch, Tick) {
  if (ch.From[0])
    if (int rc = SendHeader(ch, "From: ", ch.From)) return rc;
  ch.NextState = NextHeaderState(ch, State::FromHeader);
  return 0;
}

int ReplyToHeader(Channel &ch, Tick) {
  if (int rc = SendHeader(ch, "Reply-To: ", ch.ReplyTo)) return rc;
  ch.NextState = NextHeaderState(ch, State::ReplyToHeader);
  return 0;
}

int SubjectHeader(Channel &ch, Tick) {
  if (int rc = SendHeader(ch, "Subject: ", ch.Subject)) return rc;
  if (Present(ch.ExtraHeaders)) {
    int rc = SendCallerLines(ch, ch.ExtraHeaders, false);
    if (rc < 0) return rc;
  }
  ch.NextState = NextHeaderState(ch, State::SubjectHeader);
  return 0;
}

int CcHeader(Channel &ch, Tick) {
  if (int rc = SendHeader(ch, "CC: ", ch.CcList)) return rc;
  ch.NextState = NextHeaderState(ch, State::CcHeader);
  return 0;
}

int MimeVersionHeader(Channel &ch, Tick) {
  if (int rc = SendFixedLine(ch, "MIME-Version: 1.0")) return rc;
  ch.NextState = State::MultipartHeader;
  return 0;
}

int MultipartHeader(Channel &ch, Tick) {
  const char *type = ch.BodyFormat == KEL_BODY_HTML ? "Content-Type: multipart/related; boundary="
                                        : "Content-Type: multipart/mixed; boundary=";
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
  ch.NextState = State::BodyContentType;
  return 0;
}

int BodyContentType(Channel &ch, Tick) {
  int next = State::BodyTransferEncoding;
  int rc = 0;
  switch (ch.BodyFormat) {
    case KEL_BODY_QUOTED: rc = SendFixedLine(ch, "Content-Type: text/plain"); break;
    case KEL_BODY_HTML: rc = SendFixedLine(ch, "Content-Type: text/html"); break;
    case KEL_BODY_ENRICHED: rc = SendFixedLine(ch, "Content-Type: text/enriched"); break;
    case KEL_BODY_ISO8859: rc = SendFixedLine(ch, "Content-Type: text/plain; charset=iso-8859-1"); break;
    case KEL_BODY_CUSTOM:
      // The caller's own type; with none set the part is declared plain text.
      rc = SendCallerLines(ch, Settings.ContentType, false);
      if (rc == 0) rc = SendFixedLine(ch, "Content-Type: text/plain");
      break;
    default:
      rc = SendFixedLine(ch, "Content-Type: text/plain\r\n");
      next = State::BodyStart;
      break;
  }
  if (rc < 0) return rc;
  ch.NextState = next;
  return 0;
}

int BodyTransferEncoding(Channel &ch, Tick) {
  int rc = 0;
  if (Settings.TransferEncoding[0]) rc = SendCallerLines(ch, Settings.TransferEncoding, true);
  if (rc == 0) rc = SendFixedLine(ch, "Content-Transfer-Encoding: quoted-printable\r\n");
  if (rc < 0) return rc;
  ch.NextState = State::BodyStart;
  return 0;
}

// ---- Body states -----------------------------------------------------------------

int BodyStart(Channel &ch, Tick) {
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
  if (int rc = SendFixedLine(ch, "\r\n.")) return rc;
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::EndOfDataReply;
  return 0;
}
