// Attachment files: the file name from the part header, the path, the
// file itself, the note that takes its place in the email file, and the
// list and counters of saved files.
#include <cstring>

#include "../core/errors.h"
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

// Closes a file the decoder wrote. A failed flush or close fails the
// retrieval, and the file, incomplete, is removed. True when it is whole.
bool CloseChecked(Channel &ch, FileBuffer *buffer, int &handle, const char *path) {
  const int rc = buffer ? CloseBufferedFile(*buffer, handle) : PlatformFileClose(handle);
  handle = 0;
  if (rc == 0 && ch.FileFault == 0) return true;
  NoteFileFault(ch, Err::FileWrite, path);
  PlatformFileRemove(path);
  LogLine(ch, "[Removed incomplete '%s']\r\n", path);
  return false;
}

// Closes a saved file, writes its note and records it in the list.
void RecordSavedFile(Channel &ch, FileBuffer *buffer, int &handle, const char *path) {
  if (!CloseChecked(ch, buffer, handle, path)) return;
  char note[sizeof ch.AttachPath + 32];
  // A note stands on a line of its own, also after text without a final line end.
  int length = 0;
  if (ch.EmailLineOpen) note[length++] = '\r', note[length++] = '\n';
  length += FormatLine(note + length, static_cast<int>(sizeof note) - length, "[Attachment saved to %c%s%c]\r\n", '"',
                       path, '"');
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

// The length of the last UTF-8 character boundary at or before n in text.
int CharBoundary(const char *text, int n) {
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

// Creates the file for AttachName in AttachDir under a name no file has yet:
// "report.pdf", else "report (1).pdf", "report (2).pdf" ...; with
// KEL_NUMBER_FILENAMES "1-report.pdf", the numbers going on past the files
// present. A name too long for the path limit is shortened before its
// extension. Writes the path into path (size bytes); returns the handle,
// or -1 with the fault noted.
int CreateFreshFile(Channel &ch, char *path, int size) {
  LogLine(ch, "[AttachDir = '%s']\r\n", ch.AttachDir);
  LogLine(ch, "[Filename = '%s']\r\n", ch.AttachName);
  char local[sizeof ch.AttachName + 8];
  PlatformLocalName(SafeFileName(ch.AttachName), local, sizeof local);
  const char *name = SafeFileName(local);
  // The extension: from the last dot, unless the name begins with it or it is long.
  const char *dot = strrchr(name, '.');
  if (!dot || dot == name || strlen(dot) > 16) dot = name + strlen(name);
  const int stemLength = static_cast<int>(dot - name);
  ch.FilesMade += 1;
  const size_t dirLength = strlen(ch.AttachDir);
  const int dirPart = static_cast<int>(dirLength) +
                      (dirLength == 0 || ch.AttachDir[dirLength - 1] != PlatformPathSeparator ? 1 : 0);
  int number = ch.NumberFiles ? (ch.NextFileNumber > ch.SavedCount + 1 ? ch.NextFileNumber : ch.SavedCount + 1) : 0;
  for (int tries = 0; tries < 10000; ++tries, ++number) {
    char prefix[16] = "", suffix[16] = "";
    if (ch.NumberFiles) FormatLine(prefix, sizeof prefix, "%d-", number);
    else if (number > 0) FormatLine(suffix, sizeof suffix, " (%d)", number);
    // What is left of the path limit for the stem.
    const int room = PathLimit - dirPart - static_cast<int>(strlen(prefix) + strlen(suffix) + strlen(dot));
    if (room < 1) {
      path[0] = '\0';
      NoteFileFault(ch, Err::AttachCreate, ch.AttachDir, "File name too long");
      return -1;
    }
    const int keep = stemLength <= room ? stemLength : CharBoundary(name, room);
    char candidate[sizeof ch.AttachName + 48];
    FormatLine(candidate, sizeof candidate, "%s%.*s%s%s", prefix, keep, name, suffix, dot);
    if (JoinPath(path, size, ch.AttachDir, candidate, PathLimit) < 0) {
      NoteFileFault(ch, Err::AttachCreate, ch.AttachDir, "File name too long");
      return -1;
    }
    const int handle = PlatformFileCreateNew(path);
    if (handle == -2) {
      LogLine(ch, "[Taken '%s']\r\n", path);
      continue;
    }
    LogLine(ch, "[Creating '%s']\r\n", path);
    if (handle < 1) {
      NoteFileFault(ch, Err::AttachCreate, path);
      return -1;
    }
    if (ch.NumberFiles) ch.NextFileNumber = number + 1;
    return handle;
  }
  NoteFileFault(ch, Err::AttachCreate, path, "No free file name");
  return -1;
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
  const char *params = ch.Response + 13;
  // A Content-Disposition that begins with its filename, the type left
  // out: the parameters start at once, as if after a ";".
  char untyped[sizeof ch.Response + 1];
  if (disposition) {
    const char *value = ch.Response + 20;
    const size_t first = strcspn(value, ";\"\r\n");
    if (memchr(value, '=', first)) {
      untyped[0] = ';';
      CopyField(untyped + 1, static_cast<int>(sizeof untyped) - 1, value, static_cast<int>(sizeof untyped) - 2);
      params = untyped;
    }
  }
  char name[1024];
  if (HeaderParam(params, disposition ? "filename" : "name", name, sizeof name) < 0) return 0;
  if (strstr(ch.Response, "=?") || strchr(ch.Response + 13, '*')) LogLine(ch, "[r:%s]\r\n", ch.Response);
  StoreName(ch, name);
  LogLine(ch, "[Filename='%s']\r\n", ch.AttachName);
  return 1;
}

int CreateAttachFile(Channel &ch) {
  if (ch.FileHandle) {
    // Named twice: the first file stays as far as it was written.
    CloseChecked(ch, &ch.AttachOut, ch.FileHandle, ch.AttachPath);
  }
  ch.PendingBreak = 0;
  char path[sizeof ch.AttachDir + sizeof ch.AttachName + 64];
  const int handle = CreateFreshFile(ch, path, sizeof path);
  if (handle < 1) {
    ch.AttachPath[0] = '\0';
    ch.FileHandle = 0;
    return 0;
  }
  CopyField(ch.AttachPath, path, PathLimit);
  ch.FileHandle = handle;
  return 1;
}

int CreateEmbedFile(Channel &ch) {
  // Nested deeper than the files kept, a message stays in the files around it.
  if (ch.EmbedHandle && ch.InnerEmbedCount >= sizeof ch.InnerEmbeds / sizeof ch.InnerEmbeds[0]) return 0;
  if (ch.NameSource != 1 && ch.NameSource != 2)
    FormatLine(ch.AttachName, sizeof ch.AttachName, "part-%d.eml", static_cast<int>(ch.FilesMade + 1));
  char path[sizeof ch.AttachDir + sizeof ch.AttachName + 64];
  const int handle = CreateFreshFile(ch, path, sizeof path);
  if (handle < 1) return 0;
  if (ch.EmbedHandle) {
    // A message attached inside the attached message: a file of its own too.
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
  if (!ch.FileHandle || count <= 0 || ch.FileFault) return;
  if (BufferedFileWrite(ch.AttachOut, ch.FileHandle, bytes, count) != count)
    NoteFileFault(ch, Err::FileWrite, ch.AttachPath);
}

// A line of an attached message into one of its files, the line end held
// back (it may belong to the boundary after the message). False when a
// write failed.
static bool WriteHeldBack(int handle, uint8_t &held, const char *text, int count) {
  bool failed = held && PlatformFileWrite(handle, "\r\n", 2) != 2;
  held = count >= 2 && text[count - 2] == '\r' && text[count - 1] == '\n';
  const int n = held ? count - 2 : count;
  if (!failed && n > 0) failed = PlatformFileWrite(handle, text, n) != n;
  return !failed;
}

void WriteEmbedded(Channel &ch, const char *text, int count) {
  if (!ch.EmbedHandle || count <= 0 || ch.FileFault) return;
  if (!WriteHeldBack(ch.EmbedHandle, ch.EmbedBreak, text, count)) {
    NoteFileFault(ch, Err::FileWrite, ch.EmbedPath);
    return;
  }
  // A message attached inside it has a file of its own as well.
  for (int k = 0; k < ch.InnerEmbedCount; ++k) {
    if (!WriteHeldBack(ch.InnerEmbeds[k].Handle, ch.InnerEmbeds[k].Break, text, count)) {
      NoteFileFault(ch, Err::FileWrite, ch.InnerEmbeds[k].Path);
      return;
    }
  }
}

void SaveUnnamedPart(Channel &ch) {
  if (ch.MimeEncoding != EncodingBase64 || ch.FileHandle || !ch.SaveUnnamed) return;
  if (ch.AttachName[0] == '\0') CopyField(ch.AttachName, "noname", PathLimit);
  CreateAttachFile(ch);
}

void ClosePartFile(Channel &ch) {
  if (ch.FileHandle) RecordSavedFile(ch, &ch.AttachOut, ch.FileHandle, ch.AttachPath);
}

void CloseInnerEmbedFiles(Channel &ch, int level) {
  while (ch.InnerEmbedCount > 0 && ch.InnerEmbeds[ch.InnerEmbedCount - 1].Level > level) {
    Channel::InnerEmbedFile &inner = ch.InnerEmbeds[--ch.InnerEmbedCount];
    // At the message's end, a message outside any multipart keeps its last line end.
    if (level < 0 && inner.Break && inner.Level == 0 && !ch.FileFault &&
        PlatformFileWrite(inner.Handle, "\r\n", 2) != 2)
      NoteFileFault(ch, Err::FileWrite, inner.Path);
    RecordSavedFile(ch, nullptr, inner.Handle, inner.Path);
  }
}

void CloseEmbedFile(Channel &ch) {
  if (ch.EmbedHandle) RecordSavedFile(ch, nullptr, ch.EmbedHandle, ch.EmbedPath);
  ch.EmbedBreak = 0;
}

void DiscardAttachFiles(Channel &ch) {
  int *handles[] = {&ch.FileHandle, &ch.EmbedHandle};
  const char *paths[] = {ch.AttachPath, ch.EmbedPath};
  for (int k = 0; k < 2; ++k) {
    if (!*handles[k]) continue;
    if (k == 0) CloseBufferedFile(ch.AttachOut, *handles[k]);
    else PlatformFileClose(*handles[k]);
    *handles[k] = 0;
    PlatformFileRemove(paths[k]);
    LogLine(ch, "[Removed incomplete '%s']\r\n", paths[k]);
  }
  while (ch.InnerEmbedCount > 0) {
    Channel::InnerEmbedFile &inner = ch.InnerEmbeds[--ch.InnerEmbedCount];
    PlatformFileClose(inner.Handle);
    inner.Handle = 0;
    PlatformFileRemove(inner.Path);
    LogLine(ch, "[Removed incomplete '%s']\r\n", inner.Path);
  }
  ch.EmbedBreak = 0;
  ch.PendingBreak = 0;
  ch.UuBlock = 0;
}

void CloseFileChecked(Channel &ch) {
  if (ch.FileHandle) CloseChecked(ch, &ch.AttachOut, ch.FileHandle, ch.AttachPath);
}
