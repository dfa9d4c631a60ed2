// The incoming MIME decoder: one function per decoder state, the boundary
// and part-header rules, and the decoding of part bodies.
//
// Multipart levels nest: each open level keeps its boundary in
// Boundaries[], innermost last. A boundary line ends the parts of every
// level inside its own; its closing form ends its level. A message/rfc822
// part is saved whole as a file while its own parts are decoded like any other.
#include <cstring>

#include "../codec/codec.h"
#include "../core/errors.h"
#include "../core/text.h"
#include "mime.h"

namespace {

constexpr int BoundaryValueLimit = 126;  // "--" and the value fill the 128 characters

bool IsEmptyLine(const Channel &ch) { return ch.Response[0] == '\r' || ch.Response[0] == '\n'; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

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

// NameSource of a part whose names do not make it a file.
constexpr uint8_t NameIgnored = 3;

bool Named(const Channel &ch) { return ch.NameSource == 1 || ch.NameSource == 2; }

// A fresh part: nothing known of it until its header says so.
void ResetPart(Channel &ch, int kind) {
  ch.MimeEncoding = EncodingNone;
  ch.InlineFlag = 0;
  ch.Base64Filled = 0;
  ch.Base64Group = 0;
  ch.PartKind = static_cast<uint8_t>(kind);
  ch.EmbeddedMessage = kind == PartMessage;
  ch.NameSource = 0;
  ch.PartWanted = 0;
  ch.PendingBreak = 0;
  ch.UuBlock = 0;
  CopyField(ch.PartExtension, "bin", 7);
}

// File name extensions of the types that come unnamed most often.
const char *ExtensionOf(const char *type, int length) {
  static const struct {
    const char *Type, *Extension;
  } table[] = {
      {"image/jpeg", "jpg"},
      {"image/png", "png"},
      {"image/gif", "gif"},
      {"image/bmp", "bmp"},
      {"image/tiff", "tif"},
      {"application/pdf", "pdf"},
      {"application/zip", "zip"},
      {"application/pgp-signature", "asc"},
      {"application/pgp-encrypted", "pgp"},
      {"application/pkcs7-signature", "p7s"},
      {"application/x-pkcs7-signature", "p7s"},
      {"application/pkcs7-mime", "p7m"},
      {"application/x-pkcs7-mime", "p7m"},
      {"application/msword", "doc"},
      {"audio/mpeg", "mp3"},
      {"audio/wav", "wav"},
      {"video/mp4", "mp4"},
  };
  for (const auto &t : table)
    if (static_cast<int>(strlen(t.Type)) == length && PrefixEquals(type, t.Type, length)) return t.Extension;
  return "bin";
}

}  // namespace

// ---- Boundaries -----------------------------------------------------------------

// Opens a multipart level with the boundary value; 0 when the levels are
// all in use (the part is then read as text).
static int PushBoundary(Channel &ch, const char *value, int length, bool digest) {
  if (length <= 0) return 0;
  if (ch.BoundaryDepth >= MaxBoundaryDepth) {
    LogText(ch, "[Nesting too deep]\r\n");
    return 0;
  }
  const int level = ch.BoundaryDepth++;
  ch.BoundaryLengths[level] = static_cast<int16_t>(StoreBoundary(ch.Boundaries[level], value, length));
  if (digest) {
    ch.DigestLevels = static_cast<uint16_t>(ch.DigestLevels | (1u << level));
  } else {
    ch.DigestLevels = static_cast<uint16_t>(ch.DigestLevels & ~(1u << level));
  }
  if (level == 0) {
    CopyField(ch.Boundary, ch.Boundaries[0], 128);
    ch.BoundaryLength = ch.BoundaryLengths[0];
    LogBoundary(ch, "MIME boundary defined", ch.BoundaryLength, ch.Boundary);
  } else {
    CopyField(ch.AltBoundary, ch.Boundaries[level], 128);
    ch.AltBoundaryLength = ch.BoundaryLengths[level];
    LogBoundary(ch, "Alternate MIME boundary defined", ch.AltBoundaryLength, ch.AltBoundary);
  }
  return 1;
}

// The level whose boundary the line is, innermost first, or -1. After the
// boundary only "--", blanks and the line end may follow, so a boundary that
// is a prefix of another does not match it; a value cut at its limit
// matches as a prefix.
static int MatchBoundary(const Channel &ch, bool *closing) {
  if (ch.Response[0] != '-' || ch.Response[1] != '-' || ch.PieceContinues) return -1;
  for (int level = ch.BoundaryDepth - 1; level >= 0; --level) {
    const int length = ch.BoundaryLengths[level];
    if (length <= 0 || !PrefixEquals(ch.Response, ch.Boundaries[level], length)) continue;
    const char *rest = ch.Response + length;
    const bool close = rest[0] == '-' && rest[1] == '-';
    if (close) rest += 2;
    while (IsBlank(*rest)) ++rest;
    if (*rest != '\r' && *rest != '\n' && *rest != '\0' && length < BoundaryValueLimit + 2) continue;
    *closing = close;
    return level;
  }
  return -1;
}

// The line is a boundary line: the levels inside it end; a closing line
// ends its own level too and its epilogue follows (consumed).
static int IsBoundaryLine(Channel &ch) {
  bool closing = false;
  const int level = MatchBoundary(ch, &closing);
  if (level < 0) return 0;
  ch.BoundaryCount += 1;
  if (ch.BoundaryDepth > level + 1) LogLine(ch, "[Boundary level %d closed]\r\n", ch.BoundaryDepth - 1);
  ch.BoundaryDepth = static_cast<uint8_t>(level + 1);
  const bool digest = (ch.DigestLevels >> level) & 1u;
  ResetPart(ch, digest && !closing ? PartMessage : PartText);
  CopyField(ch.AttachName, "incoming.mai", 128);
  if (closing && level > 0) {
    LogLine(ch, "[Boundary level %d closed]\r\n", level);
    ch.BoundaryDepth = static_cast<uint8_t>(level);
    ch.DecodeState = BetweenParts;
    ch.EmbeddedMessage = 0;
  } else {
    ch.DecodeState = PartHeader;
    if (closing) {
      ch.BoundaryDepth = 0;
      ch.EmbeddedMessage = 0;
    }
  }
  LogText(ch, "[Boundary line found]\r\n");
  return 1;
}

// The top-level Content-Type that defines the message's boundary.
static int DefineBoundary(Channel &ch) {
  if (!PrefixEquals(ch.Response, "Content-Type:", 13)) return 0;
  JoinFolded(ch);
  char value[1024];
  const int length = HeaderParam(ch.Response + 13, "boundary", value, sizeof value, true);
  if (length <= 0) return 0;
  // A second Content-Type of the header replaces the first.
  ch.BoundaryDepth = 0;
  const char *type = ch.Response + 13;
  while (IsBlank(*type)) ++type;
  PushBoundary(ch, value, length, PrefixEquals(type, "multipart/digest", 16));
  ch.AltBoundaryLength = 0;
  ch.DecodeState = BetweenParts;
  ch.PartKind = PartMultipart;
  // A file named by the top-level header before the boundary is closed
  // rather than leaked; it stays on disk as far as it was written.
  CloseFileChecked(ch);
  return 1;
}

// ---- Part-header lines ------------------------------------------------------------

// x-uuencode, uuencode, x-uue and uue: a whole body uuencoded.
static bool IsUuEncoding(const char *value) {
  while (IsBlank(*value)) ++value;
  if (PrefixEquals(value, "x-", 2)) value += 2;
  int length = 0;
  while (value[length] && value[length] != ';' && !IsBlank(value[length]) && value[length] != '\r' &&
         value[length] != '\n')
    ++length;
  return (length == 8 && PrefixEquals(value, "uuencode", 8)) || (length == 3 && PrefixEquals(value, "uue", 3));
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
  } else if (IsUuEncoding(rest)) {
    ch.MimeEncoding = EncodingUu;
    ch.UuBlock = 0;
    LogText(ch, "[Encoding is uuencode]\r\n");
  } else {
    return 0;
  }
  ch.Base64Filled = 0;
  ch.Base64Group = 0;
  return 1;
}

// Content-Type of any header: the kind of part, its name, and for a
// multipart part the boundary of a new level.
static int ParseContentType(Channel &ch, bool pushLevel) {
  if (!PrefixEquals(ch.Response, "Content-Type:", 13)) return 0;
  JoinFolded(ch);
  const char *type = ch.Response + 13;
  while (IsBlank(*type)) ++type;
  int length = 0;
  while (type[length] && type[length] != ';' && !IsBlank(type[length]) && type[length] != '\r' &&
         type[length] != '\n')
    ++length;
  if (PrefixEquals(type, "multipart/", 10)) {
    char value[1024];
    const int n = HeaderParam(ch.Response + 13, "boundary", value, sizeof value, true);
    ch.PartKind = PartText;
    if (pushLevel && n > 0 && PushBoundary(ch, value, n, PrefixEquals(type, "multipart/digest", 16)))
      ch.PartKind = PartMultipart;
  } else if (length == 14 && PrefixEquals(type, "message/rfc822", 14)) {
    ch.PartKind = PartMessage;
    ch.EmbeddedMessage = 1;
    ch.InlineFlag = 1;
  } else if (PrefixEquals(type, "message/", 8)) {
    // Reports, partial and external messages are text, whatever they name.
    ch.PartKind = PartText;
    ch.EmbeddedMessage = 0;
    ch.NameSource = NameIgnored;
    return 1;
  } else if (length == 0 || memchr(type, '/', static_cast<size_t>(length)) == nullptr ||
             PrefixEquals(type, "text/", 5)) {
    ch.PartKind = PartText;
    ch.EmbeddedMessage = 0;
  } else {
    ch.PartKind = PartLeaf;
    ch.EmbeddedMessage = 0;
    CopyField(ch.PartExtension, ExtensionOf(type, length), 7);
  }
  if (ch.NameSource < 1 && TakeFileName(ch)) ch.NameSource = 1;
  return 1;
}

// Content-Disposition: inline alone puts a text part into the email file;
// its file name comes before the one of Content-Type.
static int ParseDisposition(Channel &ch) {
  if (!PrefixEquals(ch.Response, "Content-Disposition:", 20)) return 0;
  JoinFolded(ch);
  // Inline alone; inline with parameters (a file name) stays an attachment.
  const char *at = TextSearch(ch.Response + 20, "inline");
  if (at && at[6] != ';') {
    ch.InlineFlag = 1;
    LogText(ch, "[inline]\r\n");
  }
  if (ch.NameSource < 2 && TakeFileName(ch)) ch.NameSource = 2;
  return 1;
}

// The header of a part (or of a single-part message) has ended: where its
// body goes. Returns 1 when the part's body follows, 0 for a multipart part.
static int BeginPartBody(Channel &ch) {
  if (ch.PartKind == PartMultipart) {
    ch.DecodeState = BetweenParts;
    return 0;
  }
  ch.DecodeState = PartBody;
  // Only text goes into the email file; anything else is a file.
  if (ch.PartKind != PartText) ch.InlineFlag = 0;
  if (Named(ch) || ch.PartKind != PartText) {
    if (!Named(ch)) {
      FormatLine(ch.AttachName, sizeof ch.AttachName, "part-%d.%s", static_cast<int>(ch.FilesMade + 1),
                 ch.PartKind == PartMessage ? "eml" : ch.PartExtension);
    }
    ch.PartWanted = 1;
    // An attached message is saved as received, also when it was sent
    // encoded (RFC 2046 allows no encoding for it), as at any other level.
    if (ch.PartKind == PartMessage) ch.MimeEncoding = EncodingNone;
    CreateAttachFile(ch);
  } else if (!ch.InlineFlag) {
    SaveUnnamedPart(ch);
    ch.PartWanted = ch.FileHandle != 0;
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

// KEL_DECODE_HEADERS: every encoded word of a header line written, in
// any character set, becomes UTF-8.
static void DecodeHeaderUtf8(Channel &ch) {
  if (!ch.DecodeHeaders || !strstr(ch.Response, "=?")) return;
  char decoded[sizeof ch.Response];
  const int n = DecodeWordsUtf8(ch.Response, static_cast<int>(strlen(ch.Response)), decoded, sizeof decoded - 2);
  // The line keeps its line end.
  int length = n;
  while (length > 0 && (decoded[length - 1] == '\r' || decoded[length - 1] == '\n')) --length;
  memcpy(ch.Response, decoded, static_cast<size_t>(length));
  memcpy(ch.Response + length, "\r\n", 3);
  LogText(ch, "[Header decoded]\r\n");
}

// ---- The decoder states -------------------------------------------------------

static int DecodeTopHeader(Channel &ch) {
  if (IsEmptyLine(ch)) {
    ch.TopHeaderOpen = 0;
    // A header without MIME-Version whose body is yet an attachment.
    if (Named(ch) || ch.PartKind == PartLeaf) {
      LogText(ch, "[MIME w/o boundary]\r\n");
      BeginPartBody(ch);
      return 1;
    }
    ch.DecodeState = NotMime;
    LogText(ch, "[Not doing MIME/2]\r\n");
  } else if (PrefixEquals(ch.Response, "Subject:", 8) || PrefixEquals(ch.Response, "From:", 4)) {
    if (!ch.DecodeHeaders) DecodeHeaderWords(ch);
  } else if (PrefixEquals(ch.Response, "MIME-Version: 1.0", 17)) {
    ch.MimeVersionSeen = 1;
    ch.DecodeState = MimeHeader;
    LogText(ch, "[MIME version found]\r\n");
  }
  if (DefineBoundary(ch)) {
    LogText(ch, "[Assuming MIME]\r\n");
  } else if (!ParseContentType(ch, false) && !ParseDisposition(ch)) {
    ParseTransferEncoding(ch);
  }
  DecodeHeaderUtf8(ch);
  return 1;
}

static int DecodeMimeHeader(Channel &ch) {
  if (IsEmptyLine(ch)) {
    ch.TopHeaderOpen = 0;
    if (Named(ch) || ch.PartKind == PartLeaf || ch.PartKind == PartMessage) {
      LogText(ch, "[MIME w/o boundary]\r\n");
      BeginPartBody(ch);
    } else if (ch.MimeEncoding != EncodingNone) {
      ch.DecodeState = PartBody;
      LogText(ch, "[MIME w/o boundary]\r\n");
      SaveUnnamedPart(ch);
      ch.PartWanted = ch.FileHandle != 0;
    } else {
      ch.DecodeState = NotMime;
      LogText(ch, "[Not doing MIME]\r\n");
    }
    return 1;
  }
  // A folded line continues the header line before it, kept or not.
  if (IsBlank(ch.Response[0])) return ch.LastAnswer;
  if (PrefixEquals(ch.Response, "Subject:", 8) || PrefixEquals(ch.Response, "To:", 3) ||
      PrefixEquals(ch.Response, "From:", 5)) {
    DecodeHeaderUtf8(ch);
    return 1;
  }
  if (DefineBoundary(ch) || ParseTransferEncoding(ch)) return 0;
  if (!ParseDisposition(ch)) ParseContentType(ch, false);
  return 0;
}

// A line of the top-level header after the Content-Type that defined the
// boundary (some programs write that line first): kept by the rule of the
// header, as it would be before the boundary line.
static int TopHeaderAfterBoundary(Channel &ch) {
  if (IsBlank(ch.Response[0])) return ch.LastAnswer;  // folded: as the line it continues
  if (PrefixEquals(ch.Response, "MIME-Version: 1.0", 17)) {
    ch.MimeVersionSeen = 1;
    return 1;
  }
  const bool subjectOrFrom = PrefixEquals(ch.Response, "Subject:", 8) || PrefixEquals(ch.Response, "From:", 5);
  if (!ch.MimeVersionSeen) {
    if (subjectOrFrom && !ch.DecodeHeaders) DecodeHeaderWords(ch);
  } else if (!subjectOrFrom && !PrefixEquals(ch.Response, "To:", 3)) {
    return 0;
  }
  DecodeHeaderUtf8(ch);
  return 1;
}

static int DecodeBetweenParts(Channel &ch) {
  if (IsBoundaryLine(ch)) return 0;
  // Before the empty line that ends it, the top-level header goes on.
  if (!ch.BlankLineWritten && ch.TopHeaderOpen && !IsEmptyLine(ch)) return TopHeaderAfterBoundary(ch);
  if (IsEmptyLine(ch)) ch.TopHeaderOpen = 0;
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
      // The embedded message's own header is read as part of this header;
      // the message itself goes to a file of its own.
      ch.InlineFlag = 0;
      ch.EmbeddedMessage = 0;
      LogText(ch, "[Ignoring blank line]\r\n");
      CreateEmbedFile(ch);
      ResetPart(ch, PartText);
      CopyField(ch.AttachName, "incoming.mai", 128);
      return 1;
    }
    BeginPartBody(ch);
    return 0;
  }
  if (IsBoundaryLine(ch)) return 0;  // a part without header or body
  if (IsBlank(ch.Response[0])) return 0;
  if (ParseTransferEncoding(ch) || ParseContentType(ch, true) || ParseDisposition(ch)) return 0;
  return 0;
}

// The start line of a uuencoded block: "begin", a mode of octal digits, the name.
static bool IsUuBegin(const char *line) {
  if (!PrefixEquals(line, "begin ", 6)) return false;
  int digits = 0;
  while (line[6 + digits] >= '0' && line[6 + digits] <= '7') ++digits;
  return (digits == 3 || digits == 4) && line[6 + digits] == ' ' && line[7 + digits] != '\r' &&
         line[7 + digits] != '\n' && line[7 + digits] != '\0';
}

// A uuencoded block in text written to the email file becomes a file of
// its own, its note in its place. Returns 1 when the line was taken.
static int TakeUuLine(Channel &ch, int length) {
  if (!ch.UuBlock) {
    if (ch.Response[0] != 'b' || !IsUuBegin(ch.Response)) return 0;
    char name[sizeof ch.AttachName];
    const char *start = ch.Response + 7;
    while (*start != ' ') ++start;
    ++start;
    int n = 0;
    while (start[n] && start[n] != '\r' && start[n] != '\n' && n < static_cast<int>(sizeof name) - 1) ++n;
    memcpy(name, start, static_cast<size_t>(n));
    name[n] = '\0';
    LogLine(ch, "[uuencoded '%s']\r\n", name);
    CopyField(ch.AttachName, name, 128);
    if (!CreateAttachFile(ch)) return 0;
    ch.UuBlock = 1;
    return 1;
  }
  int n = length;
  while (n > 0 && (ch.Response[n - 1] == '\r' || ch.Response[n - 1] == '\n')) --n;
  if (n == 3 && PrefixEquals(ch.Response, "end", 3)) {
    ch.UuBlock = 0;
    ClosePartFile(ch);
    return 1;
  }
  if (n > 0 && !(n == 1 && ch.Response[0] == '`')) {
    unsigned char bytes[80];
    WriteAttachBytes(ch, reinterpret_cast<char *>(bytes), UuDecodeLine(ch.Response, n, bytes));
  }
  return 1;
}

// The body of a part sent in uuencode as a whole, into the part's file:
// the lines between its begin and end lines are its data (UuBlock 1 inside,
// 2 after the end); the begin line's name gives way to the part's own.
static int TakeUuBody(Channel &ch, int length) {
  int n = length;
  while (n > 0 && (ch.Response[n - 1] == '\r' || ch.Response[n - 1] == '\n')) --n;
  if (ch.UuBlock == 0) {
    if (ch.Response[0] == 'b' && IsUuBegin(ch.Response)) ch.UuBlock = 1;
  } else if (ch.UuBlock == 1) {
    if (n == 3 && PrefixEquals(ch.Response, "end", 3)) {
      ch.UuBlock = 2;
    } else if (n > 0 && !(n == 1 && ch.Response[0] == '`')) {
      unsigned char bytes[80];
      WriteAttachBytes(ch, reinterpret_cast<char *>(bytes), UuDecodeLine(ch.Response, n, bytes));
    }
  }
  return 0;
}

// Bytes of a part's file: a line end is held back until the next line
// shows that no boundary follows it.
static void WriteFileLine(Channel &ch, const char *bytes, int count) {
  if (!ch.FileHandle || count < 0) return;
  if (ch.PendingBreak) WriteAttachBytes(ch, "\r\n", 2);
  ch.PendingBreak = count >= 2 && bytes[count - 2] == '\r' && bytes[count - 1] == '\n';
  WriteAttachBytes(ch, bytes, ch.PendingBreak ? count - 2 : count);
}

// The body of a part: decoded to its file or inline into the email file,
// else written as received (Base64 text decoded).
static int DecodePartData(Channel &ch, int length) {
  LogLine(ch, "[InlineFlag=%d MimeEncoding=%d FileHandle=%d]\r\n", ch.InlineFlag, ch.MimeEncoding,
          ch.FileHandle);
  if (ch.MimeEncoding == EncodingUu && ch.FileHandle && !ch.InlineFlag) return TakeUuBody(ch, length);
  if (ch.UuBlock) return TakeUuLine(ch, length) ? 0 : 1;
  const bool toEmailAsText = !ch.InlineFlag && !ch.FileHandle;
  if (toEmailAsText) {
    if (ch.PartWanted || ch.PartKind != PartText) return 1;
    if (ch.MimeEncoding != EncodingBase64) return TakeUuLine(ch, length) ? 0 : 1;
  }
  ch.AttachBytesRead += static_cast<uint32_t>(length);
  if (ch.MimeEncoding == EncodingBase64) {
    // TextBuf also formats the log lines: decode and write between them.
    // Pieces of 1024 characters never decode to more than it holds.
    for (int at = 0, piece; at < length; at += piece) {
      piece = length - at < 1024 ? length - at : 1024;
      unsigned char *decoded = reinterpret_cast<unsigned char *>(ch.TextBuf);
      const int n = Base64StreamDecode(ch, ch.Response + at, piece, decoded);
      if (n <= 0) continue;
      if (ch.FileHandle) WriteAttachBytes(ch, ch.TextBuf, n);
      if (ch.InlineFlag || toEmailAsText) WriteEmailLine(ch, ch.TextBuf, n);
    }
  } else {
    // Quoted-printable is decoded in place: the line is consumed.
    const int n = ch.MimeEncoding == EncodingQuoted ? QpDecodeText(ch.Response, ch.Response) : length;
    WriteFileLine(ch, ch.Response, n);
    if (ch.InlineFlag) WriteEmailLine(ch, ch.Response, n);
  }
  LogText(ch, ch.InlineFlag || toEmailAsText ? "[...decode inline...]\r\n" : "[...decode to file...]\r\n");
  return 0;
}

// Ends the body of the current part: the rest of its Base64 and its file.
static void EndPartBody(Channel &ch) {
  unsigned char tail[4];
  const int n = Base64StreamFlush(ch, tail);
  if (n > 0) {
    if (ch.FileHandle) WriteAttachBytes(ch, reinterpret_cast<char *>(tail), n);
    if (ch.InlineFlag || (!ch.FileHandle && !ch.PartWanted && ch.PartKind == PartText))
      WriteEmailLine(ch, reinterpret_cast<char *>(tail), n);
  }
  ch.PendingBreak = 0;
  ch.UuBlock = 0;
  ClosePartFile(ch);
}

static int DecodePartBody(Channel &ch, int length) {
  bool closing = false;
  if (MatchBoundary(ch, &closing) >= 0) {
    EndPartBody(ch);
    IsBoundaryLine(ch);
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
  ch.BoundaryDepth = 0;
  ch.DigestLevels = 0;
  ch.PartKind = PartText;
  ch.NameSource = 0;
  ch.PartWanted = 0;
  ch.PendingBreak = 0;
  ch.UuBlock = 0;
  ch.FilesMade = 0;
  ch.MimeVersionSeen = 0;
  ch.TopHeaderOpen = 1;
  CopyField(ch.PartExtension, "bin", 7);
  if (ch.EmbedHandle) PlatformFileClose(ch.EmbedHandle);
  ch.EmbedHandle = 0;
  while (ch.InnerEmbedCount > 0) PlatformFileClose(ch.InnerEmbeds[--ch.InnerEmbedCount].Handle);
  ch.EmbedBreak = 0;
}

int DecodeLine(Channel &ch, int &length) {
  // The attached message's file takes every line up to the boundary that ends it.
  if (ch.EmbedHandle) {
    bool closing = false;
    const int level = ch.PieceContinues ? -1 : MatchBoundary(ch, &closing);
    if (level >= 0 && ch.InnerEmbedCount > 0 && level < ch.InnerEmbeds[ch.InnerEmbedCount - 1].Level) {
      if (ch.DecodeState == PartBody) EndPartBody(ch);
      CloseInnerEmbedFiles(ch, level);
    }
    if (level >= 0 && level < ch.EmbedLevel) {
      if (ch.DecodeState == PartBody) EndPartBody(ch);
      CloseEmbedFile(ch);
    } else {
      WriteEmbedded(ch, ch.Response, length);
    }
  }
  int answer;
  const bool header = ch.DecodeState != PartBody;
  if (ch.PieceContinues) {
    // The rest of a line longer than one piece: body data stays body data,
    // any other piece shares the fate of the line's first piece.
    answer = ch.DecodeState == PartBody ? DecodePartData(ch, length) : ch.LastAnswer;
  } else {
    switch (ch.DecodeState) {
      case NotMime: answer = TakeUuLine(ch, length) ? 0 : 1; break;
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

void CloseAttachFile(Channel &ch) {
  // At the message's end a body outside any multipart keeps its last line
  // end; inside one, the missing boundary would have taken it.
  if (ch.FileHandle && ch.PendingBreak && ch.BoundaryDepth == 0) WriteAttachBytes(ch, "\r\n", 2);
  EndPartBody(ch);
  CloseInnerEmbedFiles(ch, -1);
  if (ch.EmbedHandle && ch.EmbedBreak && ch.EmbedLevel == 0 && !ch.FileFault &&
      PlatformFileWrite(ch.EmbedHandle, "\r\n", 2) != 2)
    NoteFileFault(ch, Err::FileWrite, ch.EmbedPath);
  CloseEmbedFile(ch);
  // Nothing of this part may name the next one.
  ch.NameSource = 0;
  ch.PartWanted = 0;
  ch.PartKind = PartText;
}

int WriteEmailLine(Channel &ch, const char *text, int length) {
  if (length <= 0 || !ch.EmailHandle) return 0;
  const int written = BufferedFileWrite(ch.EmailOut, ch.EmailHandle, text, length);
  if (written != length) {
    NoteFileFault(ch, Err::FileWrite, ch.EmailPath);
    return -1;
  }
  ch.EmailLineOpen = text[length - 1] != '\n';
  return written;
}
