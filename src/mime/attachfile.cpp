// Attachment files: the file name from the part header, the path, the
// file itself, the note that takes its place in the email file, and the
// list and counters of saved files.
#include <cstring>

#include "../core/text.h"
#include "../net/socket.h"
#include "mime.h"

namespace {

constexpr int PathLimit = 128;

bool IsSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

// The last component of a name, so that no name leads out of the
// attachment directory; an empty one, "." and ".." become "noname".
const char *SafeFileName(const char *name) {
  name = FileNameOf(name);
  while (IsSeparator(*name)) ++name;
  if (*name == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return "noname";
  return name;
}

// The name parameter's value after "name=": quoted, up to the next double
// quote; else up to the CR. Returns its length, or -1 when it is not closed.
int NameValue(const char *value, const char **start) {
  const char *quote = strchr(value, '"');
  *start = quote ? quote + 1 : value;
  if (**start == '\0') return -1;
  const char *end = strchr(*start + 1, quote ? '"' : '\r');
  return end ? static_cast<int>(end - *start) : -1;
}

// Folded part-header lines: a line ending in ";" takes the next one, and
// so does a line followed by one that begins with a single blank.
void JoinFileNameLines(Channel &ch) {
  if (JoinContinuation(ch, ';')) return;
  char peek[8];
  if (PeekNextLine(ch, peek, 5) >= 2 && peek[0] == ' ' && peek[1] != ' ') JoinContinuation(ch, 0);
}

}  // namespace

int JoinPath(char *out, int outSize, const char *dir, const char *name, int limit) {
  const size_t dirLength = strlen(dir);
  const bool separator = dirLength == 0 || dir[dirLength - 1] != PlatformPathSeparator;
  const size_t length = dirLength + (separator ? 1 : 0) + strlen(name);
  if (length > static_cast<size_t>(limit) || length + 1 > static_cast<size_t>(outSize)) {
    if (outSize > 0) out[0] = '\0';
    return -1;
  }
  memcpy(out, dir, dirLength);
  size_t at = dirLength;
  if (separator) out[at++] = PlatformPathSeparator;
  memcpy(out + at, name, strlen(name) + 1);
  return static_cast<int>(length);
}

int TakeFileName(Channel &ch) {
  JoinFileNameLines(ch);
  if (strlen(ch.Response) < 14) return 0;
  if (EncodedWordKind(ch.Response + 13) != 0) {
    LogText(ch, "[iso-8859]\r\n");
    JoinContinuation(ch, '=');
    LogLine(ch, "[r:%s]\r\n", ch.Response);
    // Each encoded word is decoded by its own kind before the name is cut out.
    DecodeEncodedWords(ch, 4);
  }
  // Found inside "filename=" too.
  const char *at = TextSearch(ch.Response + 13, "name=");
  if (!at) return 0;
  const char *start = nullptr;
  const int length = NameValue(at + 5, &start);
  if (length < 0) return 0;
  char name[sizeof ch.Response];
  memcpy(name, start, static_cast<size_t>(length));
  name[length] = '\0';
  CopyField(ch.AttachName, SafeFileName(name), PathLimit);
  LogLine(ch, "[Filename='%s']\r\n", ch.AttachName);
  return 1;
}

int CreateAttachFile(Channel &ch) {
  LogLine(ch, "[AttachDir = '%s']\r\n", ch.AttachDir);
  LogLine(ch, "[Filename = '%s']\r\n", ch.AttachName);
  const char *name = SafeFileName(ch.AttachName);
  char numbered[sizeof ch.AttachName + 16];
  if (ch.NumberFiles) {
    FormatLine(numbered, sizeof numbered, "%1d-%1s", static_cast<int>(ch.SavedCount + 1), name);
  } else {
    CopyField(numbered, sizeof numbered, name, static_cast<int>(sizeof numbered) - 1);
  }
  // A path too long for AttachPath is never cut: the file is not created.
  char path[sizeof ch.AttachDir + sizeof numbered + 2];
  const int length = JoinPath(path, sizeof path, ch.AttachDir, numbered, sizeof path - 1);
  if (ch.FileHandle) {
    // Named twice in one header: the first file stays as far as it was written.
    CloseBufferedFile(ch.AttachOut, ch.FileHandle);
    ch.FileHandle = 0;
  }
  LogLine(ch, "[Creating '%s']\r\n", path);
  int handle = -1;
  if (length >= 0 && length <= PathLimit) {
    CopyField(ch.AttachPath, path, PathLimit);
    handle = PlatformFileCreate(path);
  } else {
    ch.AttachPath[0] = '\0';
  }
  if (handle < 1) {
    LogLine(ch, "[Cannot open '%s']\r\n", path);
    ch.FileHandle = 0;
    return 0;
  }
  ch.FileHandle = handle;
  return 1;
}

void SaveUnnamedPart(Channel &ch) {
  if (ch.MimeEncoding != EncodingBase64 || ch.FileHandle || !ch.SaveUnnamed) return;
  if (ch.AttachName[0] == '\0') CopyField(ch.AttachName, "noname", PathLimit);
  CreateAttachFile(ch);
}

void CloseAttachFile(Channel &ch) {
  if (!ch.FileHandle) return;
  CloseBufferedFile(ch.AttachOut, ch.FileHandle);
  ch.FileHandle = 0;
  char note[sizeof ch.AttachPath + 32];
  const int length = FormatLine(note, sizeof note, "[Attachment saved to %c%s%c]\r\n", '"', ch.AttachPath, '"');
  if (!Settings.NoSavedNote) WriteEmailLine(ch, note, length);
  LogText(ch, note);
  // The list holds names without directory; one that does not fit is left out.
  const char *name = FileNameOf(ch.AttachPath);
  const size_t used = strlen(ch.AttachList);
  const size_t separator = used > 0 ? 1 : 0;
  if (used + separator + strlen(name) + 1 <= sizeof ch.AttachList) {
    if (separator) ch.AttachList[used] = Settings.AttachSeparator;
    memcpy(ch.AttachList + used + separator, name, strlen(name) + 1);
  }
  ch.AttachCount += 1;
  ch.SavedCount += 1;
}
