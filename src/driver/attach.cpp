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
// The file is read into SourceBuf (free once the body is sent) this many
// lines at a time, so that a line costs no read of its own.
constexpr int AttachReadBytes = 35 * AttachLineBytes;
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
  int held = ch.SourceFill - ch.SourceIndex;
  if (held < AttachLineBytes && !ch.SourceEnded) {
    memmove(ch.SourceBuf, ch.SourceBuf + ch.SourceIndex, static_cast<size_t>(held));
    ch.SourceIndex = 0;
    int got = PlatformFileRead(ch.FileHandle, ch.SourceBuf + held, AttachReadBytes - held);
    if (got <= 0) {
      ch.SourceEnded = got < 0 ? FileReadError : FileUsedUp;
      got = 0;
    }
    held += got;
    ch.SourceFill = held;
  }
  int count = held < AttachLineBytes ? held : AttachLineBytes;
  if (count == 0 && ch.SourceEnded == FileReadError) return -1;
  memcpy(bytes, ch.SourceBuf + ch.SourceIndex, static_cast<size_t>(count));
  ch.SourceIndex += count;
  return count;
}

}  // namespace

int AttachBoundary(Channel &ch, Tick) {
  // Always one empty line before the boundary: the line end of the text
  // before it belongs to the boundary, so the part above keeps its last
  // line end and gains nothing.
  FormatLine(ch.SendLine, HeaderLineLimit + 1, "\r\n--%s", BoundaryText);
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
  if (const char *image = ImageContentType(ch, name)) {
    ch.InlineImage = 1;
    ch.ContentIdCount++;
    int n = FormatNamedLine(ch, image, "; name=", name);
    FormatLine(ch.SendLine + n, static_cast<int>(sizeof ch.SendLine) - n, "\r\nContent-ID: <%s.%d>", MessageRoot,
               ch.ContentIdCount);
  } else {
    ch.InlineImage = 0;
    FormatNamedLine(ch, "Content-Type: application/octet-stream; name=", "", name);
  }
  if (int rc = SendComposedLine(ch)) return rc;
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
  int n = FormatNamedLine(ch, type, "", ShownName(ch.Attachments));
  memcpy(ch.SendLine + n, "\r\n", 3);  // the empty line that ends the part header
  if (int rc = SendComposedLine(ch)) return rc;
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
  if (*ch.NextAttachment) {
    ch.Attachments = ch.NextAttachment;
    ch.NextState = State::AttachBoundary;
  } else {
    ch.NextState = State::EndOfData;
  }
  return 0;
}
