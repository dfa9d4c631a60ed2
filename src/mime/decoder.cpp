// The incoming MIME decoder: one function per decoder state, the boundary
// and part-header rules, and the decoding of part bodies.
#include <cstring>

#include "../codec/codec.h"
#include "../core/text.h"
#include "mime.h"

namespace {

constexpr int BoundaryValueLimit = 126;  // "--" and the value fill the 128 characters

bool IsEmptyLine(const Channel &ch) { return ch.Response[0] == '\r' || ch.Response[0] == '\n'; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The value of a "boundary=" parameter starting at value: quoted, from the
// first double quote to the next one; else (when allowed) up to the CR.
// Returns the value's length or -1 when there is none.
int BoundaryValue(const char *value, bool quotedOnly, const char **start) {
  if (const char *quote = strchr(value, '"')) {
    *start = quote + 1;
    if (**start == '\0') return -1;
    const char *close = strchr(*start + 1, '"');
    return close ? static_cast<int>(close - *start) : -1;
  }
  if (quotedOnly) return -1;
  *start = value;
  const char *cr = strchr(value, '\r');
  if (!cr || cr == value) return -1;
  return static_cast<int>(cr - value);
}

// "--" and the value, at most 126 characters of it; returns the length.
int StoreBoundary(char (&field)[130], const char *value, int length) {
  if (length > BoundaryValueLimit) length = BoundaryValueLimit;
  field[0] = '-';
  field[1] = '-';
  memcpy(field + 2, value, static_cast<size_t>(length));
  field[length + 2] = '\0';
  return length + 2;
}

void LogBoundary(Channel &ch, const char *what, int length, const char *boundary) {
  LogLine(ch, "[%s %d (", what, length);
  LogText(ch, boundary);
  LogText(ch, ")]\r\n");
}

}  // namespace

// ---- Boundaries and part-header lines -------------------------------------------

static int DefineBoundary(Channel &ch) {
  if (!PrefixEquals(ch.Response, "Content-Type:", 13)) return 0;
  JoinContinuation(ch, ';');
  JoinContinuation(ch, ';');
  const char *at = TextSearch(ch.Response + 13, "Boundary=");
  if (!at) return 0;
  const char *value = nullptr;
  const int length = BoundaryValue(at + 9, false, &value);
  if (length <= 0) return 0;
  ch.BoundaryLength = StoreBoundary(ch.Boundary, value, length);
  ch.AltBoundaryLength = 0;
  ch.DecodeState = BetweenParts;
  // A file named by the top-level header before the boundary is closed
  // rather than leaked; it stays on disk as far as it was written.
  CloseBufferedFile(ch.AttachOut, ch.FileHandle);
  ch.FileHandle = 0;
  LogBoundary(ch, "MIME boundary defined", ch.BoundaryLength, ch.Boundary);
  return 1;
}

static int DefineAltBoundary(Channel &ch) {
  if (!PrefixEquals(ch.Response, "Content-Type: multipart/alternative;", 36) &&
      !PrefixEquals(ch.Response, "Content-Type: multipart/mixed;", 29))
    return 0;
  JoinContinuation(ch, ';');
  JoinContinuation(ch, ';');
  if (strlen(ch.Response) < 29) return 0;
  const char *at = TextSearch(ch.Response + 29, "Boundary=");
  if (!at) return 0;
  const char *value = nullptr;
  const int length = BoundaryValue(at + 9, true, &value);
  if (length <= 0) return 0;
  ch.AltBoundaryLength = StoreBoundary(ch.AltBoundary, value, length);
  LogBoundary(ch, "Alternate MIME boundary defined", ch.AltBoundaryLength, ch.AltBoundary);
  return 1;
}

static int IsBoundaryLine(Channel &ch) {
  const bool primary = ch.BoundaryLength > 0 && PrefixEquals(ch.Response, ch.Boundary, ch.BoundaryLength);
  const bool second =
      ch.AltBoundaryLength > 0 && PrefixEquals(ch.Response, ch.AltBoundary, ch.AltBoundaryLength);
  if (!primary && !second) return 0;
  ch.BoundaryCount += 1;
  ch.DecodeState = PartHeader;
  ch.MimeEncoding = EncodingNone;
  ch.InlineFlag = 0;
  ch.Base64Filled = 0;
  ch.Base64Group = 0;
  CopyField(ch.AttachName, "incoming.mai", 128);
  LogText(ch, "[Boundary line found]\r\n");
  return 1;
}

static int ParseTransferEncoding(Channel &ch) {
  if (!PrefixEquals(ch.Response, "Content-Transfer-Encoding:", 26)) return 0;
  const char *rest = ch.Response + 26;
  if (TextSearch(rest, "base64")) {
    ch.MimeEncoding = EncodingBase64;
    LogText(ch, "[Encoding is BASE64]\r\n");
  } else if (TextSearch(rest, "quoted-printable")) {
    ch.MimeEncoding = EncodingQuoted;
    LogText(ch, "[Encoding is QUOTED]\r\n");
  } else if (TextSearch(rest, "7bit")) {
    ch.MimeEncoding = Encoding7Bit;
    LogText(ch, "[Encoding is 7-bit]\r\n");
  } else {
    return 0;
  }
  ch.Base64Filled = 0;
  ch.Base64Group = 0;
  return 1;
}

static int ParseDisposition(Channel &ch) {
  if (!PrefixEquals(ch.Response, "Content-Disposition:", 20)) return 0;
  // Inline alone; inline with parameters (a file name) stays an attachment.
  const char *at = TextSearch(ch.Response + 20, "inline");
  if (at && at[6] != ';') {
    ch.InlineFlag = 1;
    LogText(ch, "[inline]\r\n");
  }
  return 1;
}

// Subject and From lines of the top-level header.
static void DecodeHeaderWords(Channel &ch) {
  if (EncodedWordKind(ch.Response) == 0) return;
  LogText(ch, "[ISO8859]\r\n");
  char peek[8];
  if (PeekNextLine(ch, peek, 5) >= 2 && IsBlank(peek[0])) JoinContinuation(ch, '=');
  DecodeEncodedWords(ch, 4);
}

// ---- The decoder states -------------------------------------------------------

static int DecodeTopHeader(Channel &ch) {
  if (IsEmptyLine(ch)) {
    ch.DecodeState = NotMime;
    LogText(ch, "[Not doing MIME/2]\r\n");
  } else if (PrefixEquals(ch.Response, "Subject:", 8) || PrefixEquals(ch.Response, "From:", 4)) {
    DecodeHeaderWords(ch);
  } else if (PrefixEquals(ch.Response, "MIME-Version: 1.0", 17)) {
    ch.DecodeState = MimeHeader;
    LogText(ch, "[MIME version found]\r\n");
  }
  if (DefineBoundary(ch)) LogText(ch, "[Assuming MIME]\r\n");
  return 1;
}

static int DecodeMimeHeader(Channel &ch) {
  if (IsEmptyLine(ch)) {
    if (ch.MimeEncoding != EncodingNone) {
      ch.DecodeState = PartBody;
      LogText(ch, "[MIME w/o boundary]\r\n");
      SaveUnnamedPart(ch);
    } else {
      ch.DecodeState = NotMime;
      LogText(ch, "[Not doing MIME]\r\n");
    }
    return 1;
  }
  // A folded line continues the header line before it, kept or not.
  if (IsBlank(ch.Response[0])) return ch.LastAnswer;
  if (PrefixEquals(ch.Response, "Subject:", 8) || PrefixEquals(ch.Response, "To:", 3) ||
      PrefixEquals(ch.Response, "From:", 5))
    return 1;
  if (DefineBoundary(ch) || ParseTransferEncoding(ch)) return 0;
  if (ParseDisposition(ch) && TakeFileName(ch)) CreateAttachFile(ch);
  if (PrefixEquals(ch.Response, "Content-Type:", 13) && TakeFileName(ch)) CreateAttachFile(ch);
  return 0;
}

static int DecodeBetweenParts(Channel &ch) {
  if (IsBoundaryLine(ch)) return 0;
  if (!ch.BlankLineWritten && PrefixEquals(ch.Response, "\r\n", 2)) {
    ch.BlankLineWritten = 1;
    return 1;
  }
  return 0;
}

static int DecodePartHeader(Channel &ch) {
  LogText(ch, "[Looking for encoding]\r\n");
  if (IsEmptyLine(ch)) {
    if (ch.EmbeddedMessage) {
      // The embedded message's own header is read as part of this header.
      ch.InlineFlag = 0;
      ch.EmbeddedMessage = 0;
      LogText(ch, "[Ignoring blank line]\r\n");
      return 1;
    }
    ch.DecodeState = PartBody;
    if (!ch.InlineFlag) SaveUnnamedPart(ch);
    return 0;
  }
  if (ParseTransferEncoding(ch) || DefineAltBoundary(ch)) return 0;
  if (PrefixEquals(ch.Response, "Content-Type: message/rfc822", 28)) {
    ch.InlineFlag = 1;
    ch.EmbeddedMessage = 1;
    return 0;
  }
  if (ParseDisposition(ch) || PrefixEquals(ch.Response, "Content-Type:", 13)) {
    if (TakeFileName(ch)) CreateAttachFile(ch);
  }
  return 0;
}

// Decoded bytes of a part go to its file, and into the email file when inline.
static void EmitPartBytes(Channel &ch, const char *bytes, int count) {
  if (count <= 0) return;
  if (ch.FileHandle) BufferedFileWrite(ch.AttachOut, ch.FileHandle, bytes, count);
  if (ch.InlineFlag) WriteEmailLine(ch, bytes, count);
}

// The body of a part: decoded to its file or inline into the email file,
// else written as received.
static int DecodePartData(Channel &ch, int length) {
  LogLine(ch, "[InlineFlag=%d MimeEncoding=%d FileHandle=%d]\r\n", ch.InlineFlag, ch.MimeEncoding,
          ch.FileHandle);
  if (!ch.InlineFlag && !ch.FileHandle) return 1;
  ch.AttachBytesRead += static_cast<uint32_t>(length);
  if (ch.MimeEncoding == EncodingBase64) {
    // TextBuf also formats the log lines: decode and write between them.
    // Pieces of 1024 characters never decode to more than it holds.
    for (int at = 0, piece; at < length; at += piece) {
      piece = length - at < 1024 ? length - at : 1024;
      unsigned char *decoded = reinterpret_cast<unsigned char *>(ch.TextBuf);
      EmitPartBytes(ch, ch.TextBuf, Base64StreamDecode(ch, ch.Response + at, piece, decoded));
    }
  } else if (ch.MimeEncoding == EncodingQuoted) {
    // In place: the line is consumed.
    EmitPartBytes(ch, ch.Response, QpDecodeText(ch.Response, ch.Response));
  } else {
    EmitPartBytes(ch, ch.Response, length);
  }
  LogText(ch, ch.InlineFlag ? "[...decode inline...]\r\n" : "[...decode to file...]\r\n");
  return 0;
}

static int DecodePartBody(Channel &ch, int length) {
  if (IsBoundaryLine(ch)) {
    CloseAttachFile(ch);
    return 0;
  }
  return DecodePartData(ch, length);
}

// ---- Entry points -------------------------------------------------------------

void StartDecoding(Channel &ch) {
  // A boundary or flag of the previous message must not act on this one.
  ch.AltBoundaryLength = 0;
  ch.InlineFlag = 0;
  ch.EmbeddedMessage = 0;
  ch.StatusLine = 0;
  ch.LineOpen = 0;
  ch.PieceContinues = 0;
  ch.LastAnswer = 1;
  ch.Base64Filled = 0;
  ch.Base64Group = 0;
}

int DecodeLine(Channel &ch, int &length) {
  int answer;
  const bool header = ch.DecodeState != PartBody;
  if (ch.PieceContinues) {
    // The rest of a line longer than one piece: body data stays body data,
    // any other piece shares the fate of the line's first piece.
    answer = ch.DecodeState == PartBody ? DecodePartData(ch, length) : ch.LastAnswer;
  } else {
    switch (ch.DecodeState) {
      case TopHeader: answer = DecodeTopHeader(ch); break;
      case MimeHeader: answer = DecodeMimeHeader(ch); break;
      case BetweenParts: answer = DecodeBetweenParts(ch); break;
      case PartHeader: answer = DecodePartHeader(ch); break;
      case PartBody: answer = DecodePartBody(ch, length); break;
      default: answer = 1; break;
    }
    // Header lines may have been joined or decoded in place.
    if (answer && header) length = static_cast<int>(strlen(ch.Response));
  }
  ch.LastAnswer = static_cast<uint8_t>(answer);
  return answer;
}

int DecodeLine(Channel &ch) {
  int length = static_cast<int>(strlen(ch.Response));
  return DecodeLine(ch, length);
}

int WriteEmailLine(Channel &ch, const char *text, int length) {
  if (length <= 0 || !ch.EmailHandle) return 0;
  const int written = BufferedFileWrite(ch.EmailOut, ch.EmailHandle, text, length);
  return written == length ? written : -1;
}
