// The response reader: the line reader and the SMTP and POP3 reply readers
// over the receive ring. Bytes go from the socket into the ring in blocks of
// at most 1023 and lines are cut out of the ring at their line feeds, so a
// reply that arrives in one block costs one receive.
#include "reader.h"

#include <cstring>

#include "ring.h"
#include "socket.h"

// The index of c among the first count bytes of the ring, read in place;
// -1 when it is absent or a NUL comes first.
static int RingFind(const Channel &ch, char c, int count) {
  int at = ch.RingRead;
  for (int i = 0; i < count && at != ch.RingWrite; i++, at = (at + 1) % RingSize) {
    if (ch.Ring[at] == c) return i;
    if (ch.Ring[at] == 0) return -1;
  }
  return -1;
}

// ---- Taking bytes ---------------------------------------------------------------

// Every byte a channel receives comes in here: one receive takes all the
// socket (or the TLS layer) holds, up to the stage's size. Called only when the stage is
// empty and the socket is readable. Returns the bytes received, or -1 when
// the connection is closed or failed.
static int ReceiveStage(Channel &ch) {
  ch.ReadableSeen = 0;
  int n = ReceiveBytes(ch, ch.Stage, StageSize);  // plain text, also over TLS
  if (n < 1) return -1;
  ch.StageRead = 0;
  ch.StageFill = n;
  return n;
}

// Makes sure the stage holds bytes when any can be had: 1 it does, 0
// nothing has arrived, -1 the connection is unusable.
static int FillStage(Channel &ch) {
  if (PendingInput(ch) > 0) return 1;
  // A socket that cannot be written is taken as gone.
  if (SocketReady(ch, ReadyWritable) != 1) return -1;
  if (SocketReady(ch, ReadyReadable) != 1) {
    ch.IdleWait = ReadyReadable;  // nothing has arrived: a caller may sleep on the socket
    return 0;
  }
  return ReceiveStage(ch) < 0 ? -1 : 1;
}

// Takes at most count bytes off the stage.
static int TakeStage(Channel &ch, char *buffer, int count) {
  int n = PendingInput(ch);
  if (n > count) n = count;
  if (n <= 0) return 0;
  memcpy(buffer, ch.Stage + ch.StageRead, static_cast<size_t>(n));
  ch.StageRead += n;
  if (ch.StageRead == ch.StageFill) ch.StageRead = ch.StageFill = 0;
  return n;
}

// Puts a block of at most limit bytes into the ring when it is empty, as
// one receive of that size would have. Returns -1 when the connection is
// unusable, else the number of bytes the ring holds.
static int FillRing(Channel &ch, int limit) {
  if (RingFill(ch) == 0) {
    if (FillStage(ch) < 0) return -1;
    int n = PendingInput(ch);
    if (n > limit) n = limit;
    if (n > 0) {
      const char *block = ch.Stage + ch.StageRead;
      LogData(ch, "P: ", block, n);
      RingPut(ch, block, n);
      ch.StageRead += n;
      if (ch.StageRead == ch.StageFill) ch.StageRead = ch.StageFill = 0;
    }
  }
  return RingFill(ch);
}

static int PeekLimit(int size) { return size >= RingSize ? RingSize - 1 : size; }

int FillAndPeek(Channel &ch, char *buffer, int size) {
  const int limit = PeekLimit(size);
  if (limit < 1) return 0;
  if (FillRing(ch, limit) < 0) return -1;
  return RingPeek(ch, buffer, limit);
}

int TakeBytes(Channel &ch, char *buffer, int count) {
  if (count < 1) return 0;
  int k = RingFill(ch);
  if (k > count) k = count;
  if (k > 0) {
    RingGet(ch, buffer, k);
    LogData(ch, "r: ", buffer, k);
  }
  if (count - k > 0) {
    const int got = FillStage(ch);
    if (got < 0) return -1;
    if (got > 0) {
      int n = TakeStage(ch, buffer + k, count - k);
      LogData(ch, "R: ", buffer + k, n);
      k += n;
    } else if (k > 0) {
      ch.IdleWait = 0;  // the ring had bytes: this step did work
    }
  }
  // The last byte taken: it never reaches past what the caller asked for.
  if (k > 0) ch.LastByte = static_cast<uint8_t>(buffer[k - 1]);
  return k;
}

int FindChar(const char *text, char c, int count) {
  for (int i = 0; i < count && text[i]; i++)
    if (text[i] == c) return i;
  return -1;
}

int ReadLinePiece(Channel &ch, char *buffer, int size) {
  // As a peek followed by a search of the copy, but the line feed is looked
  // for in the ring itself, so each byte is copied once.
  const int limit = PeekLimit(size - 1);
  if (limit < 1) return 0;
  int fill = FillRing(ch, limit);
  if (fill < 1) return fill;
  int n = fill < limit ? fill : limit;
  int i = RingFind(ch, '\n', n);
  int taken = TakeBytes(ch, buffer, i >= 0 ? i + 1 : n);
  if (taken < 1) return taken;
  buffer[taken] = 0;
  return taken;
}

int ReadLine(Channel &ch, char *buffer, int size, uint32_t firstWait, uint32_t nextWait) {
  if (AwaitReadable(ch, firstWait) != 1) return 0;
  int n = ReadLinePiece(ch, buffer, size);
  if (n < 1) return n;
  for (;;) {
    if (n >= size - 1 || buffer[n - 1] == '\n') return n;
    if (AwaitReadable(ch, nextWait) != 1) return n;  // a partial line
    int m = ReadLinePiece(ch, buffer + n, size - n);
    if (m < 1) return m;
    n += m;
  }
}

// ---- The reply readers -------------------------------------------------------------

int ReadSmtpReply(Channel &ch) {
  ch.ReplyCode = 0;
  char *p = ch.Response;
  int room = 1024;
  bool waiting = false;
  Tick waitEnd = 0;
  for (;;) {
    int n = ReadLine(ch, p, room, 0, Settings.ResponseTimeout);
    if (n == 0) {
      // A further line of the reply has not come yet: wait on the socket for
      // it, within the response time-out counted from the last line.
      const Tick now = PlatformTick();
      if (!waiting) {
        waiting = true;
        waitEnd = now + Settings.ResponseTimeout;
      }
      if (!TickAfter(waitEnd, now) || AwaitReadable(ch, static_cast<uint32_t>(TickDiff(waitEnd, now))) != 1)
        return -8;
      ch.IdleWait = 0;  // this wait was ours; the step itself did not idle
      continue;
    }
    if (n < 0) return -1;  // closed before the reply ended; the state decides what that means
    waiting = false;
    CopyField(ch.LastReply, p, 127);
    if (ch.ReplyCode == 0) {
      const uint32_t code = ParseDecimal(p);
      ch.ReplyCode = static_cast<int32_t>(code);
      if (code >= 500) return -49;
    }
    // A code followed by a space, or a line that ends right after the code, ends the reply.
    if (n <= 3 || p[3] == ' ' || p[3] == '\r' || p[3] == '\n') return 0;
    p += n;
    room -= n;
    if (room <= 1) return -31;
  }
}

int ReadPop3Reply(Channel &ch) {
  ch.Deadline = 0;
  if (AwaitReadable(ch, Settings.ReceiveTimeout) != 1) return -8;
  int n = ReadLine(ch, ch.Response, 1024, 0, Settings.ResponseTimeout);
  if (n < 0) return -1;
  if (n == 0) return -8;
  // The field holds 127 characters and the NUL.
  CopyField(ch.LastReply, ch.Response, 127);
  if (ch.Response[0] == '+') {
    ch.ReplyCode = 100;
    return 0;
  }
  ch.ReplyCode = 500;
  return -63;
}
