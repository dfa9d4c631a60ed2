// The attachments of an outgoing message: per entry of the attachment list a
// boundary line, the part header and the file in Base64, one line per step.
// Image files may go as inline parts with a Content-ID, for HTML bodies sent
// as multipart/related to refer to.
//
// Every boundary line has one empty line before it. An announced name goes
// out with CR and LF as blanks, and a file that fails to read abandons the
// message (-35) instead of sending it cut short.
#include <cstring>

#include "../codec/codec.h"
#include "../core/errors.h"
#include "../core/text.h"
#include "../net/socket.h"
#include "compose.h"

namespace {

// Bytes of a file per Base64 line: 57 bytes make 76 characters.
constexpr int AttachLineBytes = 57;
// The file is read this many lines at a time, so that a line costs no read
// of its own: into the write buffer of retrievals (idle while a message is
// sent) when it holds nothing, else into SourceBuf (free once the body is sent).
constexpr int AttachReadBytes = 35 * AttachLineBytes;
constexpr int AttachBlockBytes = (FileBufferSize / AttachLineBytes) * AttachLineBytes;
static_assert(AttachReadBytes <= static_cast<int>(sizeof Channel::SourceBuf), "SourceBuf holds a read");
static_assert(AttachBlockBytes <= FileBufferSize, "the file buffer holds a block");
// SourceEnded while an attachment is read: the file gave its last byte, or failed.
constexpr int FileUsedUp = 1;
constexpr int FileReadError = 2;

struct ImageKind {
  const char *Extension;
  const char *ContentType;
};
const ImageKind ImageKinds[] = {
    {".gif", "Content-Type: Image/GIF"},
    {".bmp", "Content-Type: Image/BMP"},
    {".tif", "Content-Type: Image/TIFF"},
    {".jpg", "Content-Type: Image/JPEG"},
};

// KEL_ATTACH_TYPES: the types of the common extensions; any other stays
// application/octet-stream.
struct TypeByExtension {
  const char *Extension;  // without its dot, lower case
  const char *Type;
};
const TypeByExtension FileTypes[] = {
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"svg", "image/svg+xml"},
    {"webp", "image/webp"},
    {"ico", "image/vnd.microsoft.icon"},
    {"txt", "text/plain"},
    {"csv", "text/csv"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"css", "text/css"},
    {"ics", "text/calendar"},
    {"vcf", "text/vcard"},
    {"md", "text/markdown"},
    {"xml", "application/xml"},
    {"json", "application/json"},
    {"js", "text/javascript"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"tgz", "application/gzip"},
    {"tar", "application/x-tar"},
    {"7z", "application/x-7z-compressed"},
    {"rar", "application/vnd.rar"},
    {"doc", "application/msword"},
    {"dot", "application/msword"},
    {"xls", "application/vnd.ms-excel"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"odp", "application/vnd.oasis.opendocument.presentation"},
    {"rtf", "application/rtf"},
    {"eml", "message/rfc822"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"ogg", "audio/ogg"},
    {"m4a", "audio/mp4"},
    {"mp4", "video/mp4"},
    {"mov", "video/quicktime"},
    {"avi", "video/x-msvideo"},
    {"webm", "video/webm"},
    {"mpg", "video/mpeg"},
    {"mpeg", "video/mpeg"},
};

// The type of a file name by its extension, or application/octet-stream.
const char *TypeOfName(const char *name) {
  const char *dot = strrchr(name, '.');
  if (!dot || dot == name) return "application/octet-stream";
  const int length = static_cast<int>(strlen(dot + 1));
  for (const TypeByExtension &t : FileTypes)
    if (static_cast<int>(strlen(t.Extension)) == length && PrefixEquals(dot + 1, t.Extension, length)) return t.Type;
  return "application/octet-stream";
}

// The name an entry is announced under: its file name, or the alias behind
// the alias separator; only the text after the last "\", ":" or "/" counts.
const char *ShownName(const char *entry) {
  const char *name = FileNameOf(entry);
  const char *alias = FindSeparator(name, Settings.AliasSeparator);
  return alias ? alias + 1 : name;
}

bool SameLetters(const char *a, const char *b, int count) {
  for (int i = 0; i < count; i++) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The Content-Type line of an inline image, or null for a plain attachment.
const char *ImageContentType(const Channel &ch, const char *name) {
  int length = static_cast<int>(strlen(name));
  if (!ch.AutoInline || length <= 4) return nullptr;
  for (const ImageKind &kind : ImageKinds)
    if (SameLetters(name + length - 4, kind.Extension, 4)) return kind.ContentType;
  return nullptr;
}

bool PlainName(const char *name) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
    if (*p >= 0x80 || *p == '"' || *p == '\\') return false;
  return true;
}

// A name that is ASCII and fits its line goes quoted, as it always has; any
// other goes RFC 2231 in Content-Disposition ("filename*0*=utf-8''..." in
// pieces of a line each) and as RFC 2047 encoded words in Content-Type's
// "name=" for older readers. Sends the lines and returns 0, or the error
// exit's result. head: the line up to the parameter ("Content-Type: x/y;").
int SendEncodedName(Channel &ch, const char *head, const char *parameter, bool disposition, const char *name) {
  const int length = static_cast<int>(strlen(name));
  const bool utf8 = ValidUtf8(name, length);
  bool eightBit = false;
  for (int i = 0; i < length; i++)
    if (static_cast<unsigned char>(name[i]) >= 0x80) eightBit = true;
  const char *charset = !eightBit ? "us-ascii" : utf8 ? "utf-8" : PlatformLegacyCharset();
  CopyField(ch.SendLine, sizeof ch.SendLine, head, HeaderLineLimit);
  if (int rc = SendComposedLine(ch)) return rc;
  char piece[96];
  if (disposition) {
    // Pieces of at most 50 characters: " filename*12*=" and ";" stay within 78.
    int count = 0;
    for (int at = 0; at < length; count++) {
      int taken = 0;
      int n = PercentEncodeValue(name + at, length - at, 50, eightBit && utf8, piece, &taken);
      if (taken == 0) break;
      at += taken;
      const bool last = at >= length;
      if (count == 0 && last) {
        FormatLine(ch.SendLine, HeaderLineLimit + 1, " %s*=%s''%s", parameter, charset, piece);
      } else {
        FormatLine(ch.SendLine, HeaderLineLimit + 1, " %s*%d*=%s%s%s%s", parameter, count, count == 0 ? charset : "",
                   count == 0 ? "''" : "", piece, last ? "" : ";");
      }
      (void)n;
      if (int rc = SendComposedLine(ch)) return rc;
    }
    return 0;
  }
  // name="=?utf-8?B?...?=": the encoded words on lines of their own.
  const bool base64 = eightBit;
  for (int at = 0, count = 0; at < length; count++) {
    int taken = 0;
    int n = EncodeWord(name + at, length - at, charset, base64, 70, piece, &taken);
    if (taken == 0) break;
    at += taken;
    const bool last = at >= length;
    FormatLine(ch.SendLine, HeaderLineLimit + 1, " %s%.*s%s", count == 0 ? "name=\"" : "", n, piece, last ? "\"" : "");
    if (int rc = SendComposedLine(ch)) return rc;
  }
  return 0;
}

// True when the name goes quoted in one line of at most 998 octets.
bool QuotedNameFits(const char *head, const char *name) {
  return PlainName(name) && strlen(head) + strlen(name) + 8 <= static_cast<size_t>(LineOctetLimit);
}

// "<type><between>"name"" in SendLine, the name cut so that the closing quote
// stays within the line.
int FormatNamedLine(Channel &ch, const char *type, const char *between, const char *name) {
  int n = AppendLineText(ch.SendLine, 0, type);
  n = AppendLineText(ch.SendLine, n, between);
  const char quote[2] = {QuoteChar, 0};
  n = AppendLineText(ch.SendLine, n, quote);
  n = AppendLineText(ch.SendLine, n, name, HeaderLineLimit - 1);
  return AppendLineText(ch.SendLine, n, quote);
}

// The next bytes of the open file for one Base64 line: their count, 0 at the
// end of the file or -1 once it failed to read.
int TakeFileBytes(Channel &ch, unsigned char *bytes) {
  // Nothing writes the retrieval buffer while a message is sent, so the
  // choice holds for the whole file.
  const bool block = ch.AttachOut.Fill == 0;
  char *buffer = block ? ch.AttachOut.Data : ch.SourceBuf;
  const int capacity = block ? AttachBlockBytes : AttachReadBytes;
  int held = ch.SourceFill - ch.SourceIndex;
  if (held < AttachLineBytes && !ch.SourceEnded) {
    memmove(buffer, buffer + ch.SourceIndex, static_cast<size_t>(held));
    ch.SourceIndex = 0;
    int got = PlatformFileRead(ch.FileHandle, buffer + held, capacity - held);
    if (got <= 0) {
      ch.SourceEnded = got < 0 ? FileReadError : FileUsedUp;
      got = 0;
    }
    held += got;
    ch.SourceFill = held;
  }
  int count = held < AttachLineBytes ? held : AttachLineBytes;
  if (count == 0 && ch.SourceEnded == FileReadError) return -1;
  memcpy(bytes, buffer + ch.SourceIndex, static_cast<size_t>(count));
  ch.SourceIndex += count;
  return count;
}

}  // namespace

namespace {

const char *EntryEnd(const char *entry) {
  const char separator = Settings.AttachSeparator;
  while (*entry && (!separator || *entry != separator)) entry++;
  return entry;
}

// An entry of the list (up to its separator) is sent as an inline image.
bool EntryIsImage(const Channel &ch, const char *entry) {
  char copy[1030];
  CopyField(copy, sizeof copy, entry, static_cast<int>(EntryEnd(entry) - entry));
  return ImageContentType(ch, ShownName(copy)) != nullptr;
}

bool ListHas(const Channel &ch, bool image) {
  for (const char *p = ch.Attachments; p && *p;) {
    if (EntryIsImage(ch, p) == image) return true;
    const char *end = EntryEnd(p);
    p = *end ? end + 1 : end;
  }
  return false;
}

// Pass 1 and 2 of RelatedInMixed: on to the next entry of the pass's kind,
// closing the related level between them. 1: an entry; 0: both passes are
// done; else the error exit's result.
int NextEntryOfPass(Channel &ch) {
  for (;;) {
    if (!*ch.Attachments) {
      if (ch.AttachPass != 1) return 0;
      char related[64];
      RelatedBoundary(related, sizeof related);
      FormatLine(ch.SendLine, HeaderLineLimit + 1, "\r\n--%s--", related);
      if (int rc = SendComposedLine(ch)) return rc;
      ch.AttachPass = 2;
      ch.Attachments = ch.AttachStart;
      continue;
    }
    if (EntryIsImage(ch, ch.Attachments) == (ch.AttachPass == 1)) return 1;
    const char *end = EntryEnd(ch.Attachments);
    ch.Attachments += (end - ch.Attachments) + (*end ? 1 : 0);
  }
}

}  // namespace

bool ListHasPlainAttachment(const Channel &ch) { return ListHas(ch, false); }
bool ListHasInlineImage(const Channel &ch) { return ListHas(ch, true); }

int AttachBoundary(Channel &ch, Tick) {
  // Always one empty line before the boundary: the line end of the text
  // before it belongs to the boundary, so the part above keeps its last
  // line end and gains nothing.
  char related[64];
  if (ch.AttachPass) {
    const int found = NextEntryOfPass(ch);
    if (found < 0) return found;
    if (found == 0) {
      ch.AttachPass = 0;
      ch.NextState = State::EndOfData;
      return 0;
    }
    RelatedBoundary(related, sizeof related);
  }
  FormatLine(ch.SendLine, HeaderLineLimit + 1, "\r\n--%s", ch.AttachPass == 1 ? related : BoundaryText);
  if (int rc = SendComposedLine(ch)) return rc;
  ch.NextState = State::AttachContentType;
  return 0;
}

int AttachContentType(Channel &ch, Tick) {
  // Cut the current entry out of the list; the separator is not put back.
  char *entry = ch.Attachments;
  if (char *separator = FindSeparator(entry, Settings.AttachSeparator)) {
    *separator = 0;
    ch.NextAttachment = separator + 1;
  } else {
    ch.NextAttachment = entry + strlen(entry);
  }
  const char *name = ShownName(entry);
  const char *image = ImageContentType(ch, name);
  char type[160];
  if (image) {
    FormatLine(type, sizeof type, "%s", image);
  } else {
    FormatLine(type, sizeof type, "Content-Type: %s", ch.AttachTypes ? TypeOfName(name) : "application/octet-stream");
  }
  ch.InlineImage = image ? 1 : 0;
  if (image) ch.ContentIdCount++;
  if (QuotedNameFits(type, name)) {
    FormatNamedLine(ch, type, "; name=", name);
    if (int rc = SendComposedLine(ch)) return rc;
  } else {
    char head[170];
    FormatLine(head, sizeof head, "%s;", type);
    if (int rc = SendEncodedName(ch, head, "name", false, name)) return rc;
  }
  if (image) {
    FormatLine(ch.SendLine, HeaderLineLimit + 1, "Content-ID: <%s.%d>", MessageRoot, ch.ContentIdCount);
    if (int rc = SendComposedLine(ch)) return rc;
  }
  ch.NextState = State::AttachTransferEncoding;
  return 0;
}

int AttachTransferEncoding(Channel &ch, Tick) {
  CopyField(ch.SendLine, "Content-Transfer-Encoding: base64");
  if (int rc = SendComposedLine(ch)) return rc;
  ch.NextState = State::AttachDisposition;
  return 0;
}

int AttachDisposition(Channel &ch, Tick now) {
  const char *type = ch.InlineImage ? "Content-Disposition: inline; filename="
                                    : "Content-Disposition: attachment; filename=";
  const char *name = ShownName(ch.Attachments);
  if (QuotedNameFits(type, name)) {
    int n = FormatNamedLine(ch, type, "", name);
    memcpy(ch.SendLine + n, "\r\n", 3);  // the empty line that ends the part header
    if (int rc = SendComposedLine(ch)) return rc;
  } else {
    if (int rc = SendEncodedName(ch, ch.InlineImage ? "Content-Disposition: inline;" : "Content-Disposition: attachment;",
                                 "filename", true, name))
      return rc;
    if (int rc = SendBytes(ch, "\r\n", 2); rc < 0) return ComposeFail(ch, rc, Err::Send);
  }
  ch.NotBefore = now;
  ch.NextState = State::OpenAttachment;
  return 0;
}

int OpenAttachment(Channel &ch, Tick) {
  // The path is the entry up to its alias separator.
  char *alias = FindSeparator(ch.Attachments, Settings.AliasSeparator);
  if (alias) *alias = 0;
  LogLine(ch, "Opening attachment [%s]\r\n", ch.Attachments);
  CloseBufferedFile(ch.AttachOut, ch.FileHandle);  // left by a message that timed out
  ch.FileHandle = 0;
  int handle = PlatformFileOpenRead(ch.Attachments);
  if (alias) *alias = Settings.AliasSeparator;
  if (handle < 0) return driverFail(ch, handle, Err::CannotOpenFile);
  ch.FileHandle = handle;
  ch.SourceIndex = ch.SourceFill = ch.SourceEnded = 0;
  ch.WaitWritable = 1;
  ch.NextState = State::SendAttachment;
  return 0;
}

int SendAttachment(Channel &ch, Tick now) {
  unsigned char bytes[AttachLineBytes];
  int got = TakeFileBytes(ch, bytes);
  if (got > 0) {
    ch.AttachBytesRead += static_cast<uint32_t>(got);
    int length = Base64EncodeLine(bytes, ch.SendLine, got);
    ch.AttachBytesSent += static_cast<uint32_t>(length) + 2;
    int rc = SendBytes(ch, ch.SendLine, length + 2);
    if (rc < 0) return ComposeFail(ch, rc, Err::Send);
    ch.NotBefore = now + Settings.BlockDelay;
    ch.Deadline = now + Settings.SendTimeout;
    ch.WaitWritable = 1;
    return 0;
  }
  // A file that fails to read would go out cut short: abandon the message.
  if (got < 0) return ComposeFail(ch, got, Err::CannotOpenFile);
  CloseBufferedFile(ch.AttachOut, ch.FileHandle);
  ch.FileHandle = 0;
  if (ch.AttachPass) {  // the list is walked again: its separator goes back
    if (ch.NextAttachment != ch.Attachments && ch.NextAttachment[-1] == 0)
      ch.NextAttachment[-1] = Settings.AttachSeparator;
    ch.Attachments = ch.NextAttachment;
    ch.NextState = State::AttachBoundary;
    return 0;
  }
  if (*ch.NextAttachment) {
    ch.Attachments = ch.NextAttachment;
    ch.NextState = State::AttachBoundary;
  } else {
    ch.NextState = State::EndOfData;
  }
  return 0;
}
