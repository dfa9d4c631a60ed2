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

// Cuts a name to at most room bytes, on a character boundary, keeping its
// extension (up to 16 bytes, at most half the room): the characters before
// the extension go.
void FitName(char *name, int room) {
  const int length = static_cast<int>(strlen(name));
  if (length <= room || room < 1) return;
  const char *dot = strrchr(name, '.');
  int extension = dot && dot != name ? static_cast<int>(strlen(dot)) : 0;
  if (extension > 16 || extension > room / 2) extension = 0;
  int keep = room - extension;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  memmove(name + keep, name + length - extension, static_cast<size_t>(extension) + 1);
}

// A decoded name stored in AttachName: without directory, control
// characters as "_", cut to 128 bytes on a character boundary (its
// extension kept).
void StoreName(Channel &ch, const char *decoded) {
  char name[1024];
  const char *safe = SafeFileName(decoded);
  int n = 0;
  for (; safe[n] && n < static_cast<int>(sizeof name) - 1; ++n) {
    const unsigned char c = static_cast<unsigned char>(safe[n]);
    name[n] = (c < 0x20 || c == 0x7F) ? '_' : safe[n];
  }
  name[n] = '\0';
  FitName(name, PathLimit);
  CopyField(ch.AttachName, name, PathLimit);
}

// Closes a saved file, writes its note and records it in the list.
void RecordSavedFile(Channel &ch, int &handle, const char *path) {
  CloseBufferedFile(ch.AttachOut, handle);
  handle = 0;
  char note[sizeof ch.AttachPath + 32];
  const int length = FormatLine(note, sizeof note, "[Attachment saved to %c%s%c]\r\n", '"', path, '"');
  if (!Settings.NoSavedNote) WriteEmailLine(ch, note, length);
  LogText(ch, note);
  // The list holds names without directory; one that does not fit is left out.
  const char *name = FileNameOf(path);
  const size_t used = strlen(ch.AttachList);
  const size_t separator = used > 0 ? 1 : 0;
  if (used + separator + strlen(name) + 1 <= sizeof ch.AttachList) {
    if (separator) ch.AttachList[used] = Settings.AttachSeparator;
    memcpy(ch.AttachList + used + separator, name, strlen(name) + 1);
  }
  ch.AttachCount += 1;
  ch.SavedCount += 1;
}

// A name too long for a path beside the directory is cut to fit it rather
// than the file not being saved at all. A directory that leaves no room
// for a name of 8 bytes changes nothing.
void FitNameToPath(char *name, int dirLength) {
  const int room = PathLimit - dirLength - 1;
  if (room >= 8) FitName(name, room);
}

// The path for AttachName in AttachDir, numbered when asked, in the form
// the file calls take. Returns its length, or -1 when it is too long.
int AttachFilePath(Channel &ch, char *path, int size) {
  LogLine(ch, "[AttachDir = '%s']\r\n", ch.AttachDir);
  LogLine(ch, "[Filename = '%s']\r\n", ch.AttachName);
  char local[sizeof ch.AttachName + 8];
  PlatformLocalName(SafeFileName(ch.AttachName), local, sizeof local);
  const char *name = SafeFileName(local);
  char numbered[sizeof ch.AttachName + 16];
  if (ch.NumberFiles) {
    FormatLine(numbered, sizeof numbered, "%1d-%1s", static_cast<int>(ch.SavedCount + 1), name);
  } else {
    CopyField(numbered, sizeof numbered, name, static_cast<int>(sizeof numbered) - 1);
  }
  ch.FilesMade += 1;
  FitNameToPath(numbered, static_cast<int>(strlen(ch.AttachDir)));
  // A path too long for AttachPath is never cut: the file is not created.
  const int length = JoinPath(path, size, ch.AttachDir, numbered, size - 1);
  LogLine(ch, "[Creating '%s']\r\n", path);
  return length >= 0 && length <= PathLimit ? length : -1;
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
  if (strlen(ch.Response) < 14) return 0;
  if (EncodedWordKind(ch.Response + 13) != 0) LogText(ch, "[iso-8859]\r\n");
  // The parameters follow the type; Content-Disposition's filename, else Content-Type's name.
  const bool disposition = PrefixEquals(ch.Response, "Content-Disposition:", 20);
  char name[1024];
  if (HeaderParam(ch.Response + 13, disposition ? "filename" : "name", name, sizeof name) < 0) return 0;
  if (strstr(ch.Response, "=?") || strchr(ch.Response + 13, '*')) LogLine(ch, "[r:%s]\r\n", ch.Response);
  StoreName(ch, name);
  LogLine(ch, "[Filename='%s']\r\n", ch.AttachName);
  return 1;
}

int CreateAttachFile(Channel &ch) {
  char path[sizeof ch.AttachDir + sizeof ch.AttachName + 20];
  const int length = AttachFilePath(ch, path, sizeof path);
  if (ch.FileHandle) {
    // Named twice: the first file stays as far as it was written.
    CloseBufferedFile(ch.AttachOut, ch.FileHandle);
    ch.FileHandle = 0;
  }
  ch.PendingBreak = 0;
  int handle = -1;
  if (length >= 0) {
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

int CreateEmbedFile(Channel &ch) {
  // Nested deeper than the files kept, a message stays in the files around it.
  if (ch.EmbedHandle && ch.InnerEmbedCount >= sizeof ch.InnerEmbeds / sizeof ch.InnerEmbeds[0]) return 0;
  if (ch.NameSource != 1 && ch.NameSource != 2)
    FormatLine(ch.AttachName, sizeof ch.AttachName, "part-%d.eml", static_cast<int>(ch.FilesMade + 1));
  char path[sizeof ch.AttachDir + sizeof ch.AttachName + 20];
  const int length = AttachFilePath(ch, path, sizeof path);
  const int handle = length >= 0 ? PlatformFileCreate(path) : -1;
  if (handle < 1) {
    LogLine(ch, "[Cannot open '%s']\r\n", path);
    return 0;
  }
  if (ch.EmbedHandle) {
    Channel::InnerEmbedFile &inner = ch.InnerEmbeds[ch.InnerEmbedCount++];
    CopyField(inner.Path, path, PathLimit);
    inner.Handle = handle;
    inner.Level = ch.BoundaryDepth;
    inner.Break = 0;
    return 1;
  }
  CopyField(ch.EmbedPath, path, PathLimit);
  ch.EmbedHandle = handle;
  ch.EmbedLevel = ch.BoundaryDepth;
  ch.EmbedBreak = 0;
  return 1;
}

void WriteAttachBytes(Channel &ch, const char *bytes, int count) {
  if (ch.FileHandle && count > 0) BufferedFileWrite(ch.AttachOut, ch.FileHandle, bytes, count);
}

// A line of an attached message into one of its files, the line end held back.
static void WriteHeldBack(int handle, uint8_t &held, const char *text, int count) {
  if (held) PlatformFileWrite(handle, "\r\n", 2);
  held = count >= 2 && text[count - 2] == '\r' && text[count - 1] == '\n';
  PlatformFileWrite(handle, text, held ? count - 2 : count);
}

void WriteEmbedded(Channel &ch, const char *text, int count) {
  if (!ch.EmbedHandle || count <= 0) return;
  WriteHeldBack(ch.EmbedHandle, ch.EmbedBreak, text, count);
  for (int k = 0; k < ch.InnerEmbedCount; ++k) WriteHeldBack(ch.InnerEmbeds[k].Handle, ch.InnerEmbeds[k].Break, text, count);
}

void CloseInnerEmbedFiles(Channel &ch, int level) {
  while (ch.InnerEmbedCount > 0 && ch.InnerEmbeds[ch.InnerEmbedCount - 1].Level > level) {
    Channel::InnerEmbedFile &inner = ch.InnerEmbeds[--ch.InnerEmbedCount];
    // At the message's end, a message outside any multipart keeps its last line end.
    if (level < 0 && inner.Break && inner.Level == 0) PlatformFileWrite(inner.Handle, "\r\n", 2);
    RecordSavedFile(ch, inner.Handle, inner.Path);
  }
}

void SaveUnnamedPart(Channel &ch) {
  if (ch.MimeEncoding != EncodingBase64 || ch.FileHandle || !ch.SaveUnnamed) return;
  if (ch.AttachName[0] == '\0') CopyField(ch.AttachName, "noname", PathLimit);
  CreateAttachFile(ch);
}

void ClosePartFile(Channel &ch) {
  if (ch.FileHandle) RecordSavedFile(ch, ch.FileHandle, ch.AttachPath);
}

void CloseEmbedFile(Channel &ch) {
  if (ch.EmbedHandle) RecordSavedFile(ch, ch.EmbedHandle, ch.EmbedPath);
  ch.EmbedBreak = 0;
}
