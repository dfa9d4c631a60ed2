// Write buffers in front of the files a retrieval writes: one write call per
// buffer-full instead of one per line.
#include "channel.h"

#include <cstring>

int FlushFileBuffer(FileBuffer &b) {
  const int fill = b.Fill;
  b.Fill = 0;
  if (fill <= 0 || b.Handle <= 0) return 0;
  return PlatformFileWrite(b.Handle, b.Data, fill) == fill ? 0 : -1;
}

int BufferedFileWrite(FileBuffer &b, int handle, const void *data, int count) {
  if (count <= 0) return 0;
  if (b.Handle != handle) {
    // Bytes of another file are written out first; a failure there belongs
    // to that file, whose close reports it.
    const int previous = b.Handle;
    if (FlushFileBuffer(b) < 0) b.Failed = previous;
    b.Handle = handle;
  }
  KEL_ASSERT(b.Fill >= 0 && b.Fill <= FileBufferSize && count >= 0);
  if (b.Fill + count > FileBufferSize && FlushFileBuffer(b) < 0) return -1;
  if (count >= FileBufferSize) return PlatformFileWrite(handle, data, count) == count ? count : -1;
  memcpy(b.Data + b.Fill, data, static_cast<size_t>(count));
  b.Fill += count;
  return count;
}

int CloseBufferedFile(FileBuffer &b, int handle) {
  int rc = 0;
  if (handle > 0 && b.Handle == handle) {
    rc = FlushFileBuffer(b);
    b.Handle = 0;
  }
  if (handle > 0 && b.Failed == handle) {
    rc = -1;
    b.Failed = 0;
  }
  if (handle > 0 && PlatformFileClose(handle) < 0) rc = -1;
  return rc;
}

void NoteFileFault(Channel &ch, int code, const char *path, const char *reason) {
  if (ch.FileFault) return;
  ch.FileFault = code;
  char system[200];
  if (!reason) {
    PlatformFileErrorText(system, sizeof system);
    reason = system;
  }
  FormatLine(ch.FileFaultText, sizeof ch.FileFaultText, "'%.128s': %.150s", path ? path : "", reason);
  LogLine(ch, "[File failed: %s]\r\n", ch.FileFaultText);
}
