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
    // to that file, whose close reports nothing more.
    FlushFileBuffer(b);
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
  if (handle > 0) PlatformFileClose(handle);
  return rc;
}
