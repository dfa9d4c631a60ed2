// The response reader: the line reader and the SMTP and POP3 reply readers
// over the receive ring. Bytes go from the socket into the ring in blocks of
// at most 1023 and lines are cut out of the ring at their line feeds, so a
// reply that arrives in one block costs one receive.
#include "reader.h"

#include <cstring>

#include "../core/errors.h"
#include "ring.h"
#include "socket.h"
#include "tls.h"

// The index of c among the first count bytes of the ring, read in place;
// -1 when it is absent or a NUL comes first. The ring is searched in its
// (at most two) runs before and after the wrap.
static int RingFind(const Channel &ch, char c, int count) {
  const int fill = RingFill(ch);
  if (count > fill) count = fill;
  const int first = RingSize - ch.RingRead < count ? RingSize - ch.RingRead : count;
  const char *runs[2] = {ch.Ring + ch.RingRead, ch.Ring};
  const int lengths[2] = {first, count - first};
  for (int r = 0, before = 0; r < 2; before += lengths[r], ++r) {
    if (lengths[r] <= 0) continue;
    const size_t length = static_cast<size_t>(lengths[r]);
    const char *hit = static_cast<const char *>(memchr(runs[r], c, length));
    const size_t upTo = hit ? static_cast<size_t>(hit - runs[r]) : length;
    if (memchr(runs[r], 0, upTo)) return -1;
    if (hit) return before + static_cast<int>(upTo);
  }
  return -1;
}

// ---- Taking bytes ---------------------------------------------------------------

// Every byte a channel receives comes in here: one receive takes all the
// socket (or the TLS layer) holds, up to the stage's size. Called only when the stage is
// empty and the socket is readable. Returns the bytes received, or -1 when
// the connection is closed or failed.
static int ReceiveStage(Channel &ch) {
  KEL_ASSERT(ch.StageRead == ch.StageFill);
  ch.ReadableSeen = 0;
  int n = ReceiveBytes(ch, ch.Stage, StageSize);  // plain text, also over TLS
  if (n < 1) return -1;
  ch.StageRead = 0;
  ch.StageFill = n;
  return n;
}

int PlainInputHeld(Channel &ch) {
  if (RingFill(ch) > 0 || PendingInput(ch) > 0) return 1;
  if (SocketReady(ch, ReadyReadable) != 1) return 0;
  return ReceiveStage(ch) < 0 ? -1 : 1;
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

// The most a reader may take or peek now: size, within the ring, and
// within the bounded input when it is on.
static int PeekLimit(const Channel &ch, int size) {
  int limit = size >= RingSize ? RingSize - 1 : size;
  if (ch.InputBounded && static_cast<uint32_t>(limit) > ch.InputLeft) limit = static_cast<int>(ch.InputLeft);
  return limit;
}

int FillAndPeek(Channel &ch, char *buffer, int size) {
  const int limit = PeekLimit(ch, size);
  if (limit < 1) return 0;
  if (FillRing(ch, limit) < 0) return -1;
  return RingPeek(ch, buffer, limit);
}

int TakeBytes(Channel &ch, char *buffer, int count) {
  if (ch.InputBounded && static_cast<uint32_t>(count) > ch.InputLeft) count = static_cast<int>(ch.InputLeft);
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
  if (ch.InputBounded) ch.InputLeft -= static_cast<uint32_t>(k);
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
  const int limit = PeekLimit(ch, size - 1);
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
    if (ch.InputBounded && ch.InputLeft == 0) return n;  // the bounded input ends inside the line
    if (AwaitReadable(ch, nextWait) != 1) return n;  // a partial line
    int m = ReadLinePiece(ch, buffer + n, size - n);
    if (m < 0) return m;
    if (m == 0) return n;  // nothing more came: the part taken is kept, never dropped
    n += m;
  }
}

// ---- Many lines in one step --------------------------------------------------------

// Moves what the stage still holds to its start and receives behind it what
// the socket (or the TLS layer) has now, never waiting: the bytes added, 0
// when nothing has come, -1 when the connection has ended (a later receive
// finds the end again, so nothing is lost by leaving it to the ordinary readers).
static int TopUpStage(Channel &ch) {
  const int held = PendingInput(ch);
  if (held >= StageSize) return 0;
  const int ready = ch.Tls ? TlsReadable(ch) : (ch.ReadableSeen ? 1 : PollReadable(ch.Socket));
  if (ready != 1) return 0;
  if (ch.StageRead > 0) {
    memmove(ch.Stage, ch.Stage + ch.StageRead, static_cast<size_t>(held));
    ch.StageRead = 0;
    ch.StageFill = held;
  }
  ch.ReadableSeen = 0;
  const int n = ReceiveBytes(ch, ch.Stage + held, StageSize - held);
  if (n < 1) return -1;
  ch.StageFill = held + n;
  return n;
}

// The bytes the ring holds go back in front of the receive stage, where
// they came from, so that whole lines are found in the stage alone (the
// line reader leaves the start of the next line in the ring). False when
// the stage has no room for them.
static bool ReturnRingToStage(Channel &ch) {
  const int fill = RingFill(ch);
  if (fill == 0) return true;
  if (ch.StageRead < fill) {
    const int held = PendingInput(ch);
    if (held + fill > StageSize) return false;
    memmove(ch.Stage + fill, ch.Stage + ch.StageRead, static_cast<size_t>(held));
    ch.StageRead = fill;
    ch.StageFill = fill + held;
  }
  ch.StageRead -= fill;
  RingGet(ch, ch.Stage + ch.StageRead, fill);
  return true;
}

int TakeStagedLine(Channel &ch, char *buffer, int size) {
  // With a trace log every byte goes the ordinary reader's way, which logs
  // it. A bounded input (an IMAP literal) is taken up to its end and no further.
  if (ch.LogHandle || !ReturnRingToStage(ch)) return 0;
  const int limit = PeekLimit(ch, size - 1);
  if (limit < 1) return 0;
  for (int round = 0;; ++round) {
    const int held = PendingInput(ch);
    const char *at = ch.Stage + ch.StageRead;
    const int span = held < limit ? held : limit;
    const char *lf = span > 0 ? static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(span))) : nullptr;
    if (lf || held >= limit) {
      const int n = lf ? static_cast<int>(lf - at) + 1 : limit;
      // A NUL cuts lines the ordinary reader's way: it takes such a line.
      if (memchr(at, 0, static_cast<size_t>(n))) return 0;
      memcpy(buffer, at, static_cast<size_t>(n));
      buffer[n] = 0;
      ch.StageRead += n;
      if (ch.StageRead == ch.StageFill) ch.StageRead = ch.StageFill = 0;
      if (ch.InputBounded) ch.InputLeft -= static_cast<uint32_t>(n);
      ch.LastByte = static_cast<uint8_t>(buffer[n - 1]);
      return n;
    }
    if (round > 0 || TopUpStage(ch) < 1) return 0;
  }
}

// ---- Whole replies and lines without waiting ------------------------------------

// Moves into the free part of the ring what the stage holds or the socket
// has now, without waiting: -1 once the connection has ended, else the
// bytes the ring holds. Bytes come through the stage like every other
// receive, so a readiness already seen and the TLS layer stay true.
// With askSocket false only the stage is moved: the ring already holds
// what the reader needs, so the socket is not polled for more.
static int TopUpRing(Channel &ch, bool askSocket = true) {
  const int fill = RingFill(ch);
  const int room = RingSize - 1 - fill;
  if (room < 1) return fill;
  if (PendingInput(ch) == 0) {
    if (!askSocket || SocketReady(ch, ReadyReadable) != 1) return fill;
    if (ReceiveStage(ch) < 0) return -1;
  }
  int n = PendingInput(ch);
  if (n > room) n = room;
  const char *block = ch.Stage + ch.StageRead;
  LogData(ch, "P: ", block, n);
  RingPut(ch, block, n);
  ch.StageRead += n;
  if (ch.StageRead == ch.StageFill) ch.StageRead = ch.StageFill = 0;
  return RingFill(ch);
}

static char RingAt(const Channel &ch, int i) { return ch.Ring[(ch.RingRead + i) % RingSize]; }

// The offset behind the line feed of the line that begins at from; -1 when
// it has not come.
static int LineEndIn(const Channel &ch, int from, int fill) {
  for (int i = from; i < fill; i++)
    if (RingAt(ch, i) == '\n') return i + 1;
  return -1;
}

// What a reply still lacks: 0 nothing (the reader needs no more data: the
// reply is whole, or a line that is no continuation ends it anyway), 1 the
// rest of a line or further lines. The protocol's form test says which
// lines continue the reply.
static int ReplyMissing(const Channel &ch, int fill, ReplyLineForm form) {
  for (int at = 0;;) {
    const int end = LineEndIn(ch, at, fill);
    if (end < 0) return 1;
    if (!form) return 0;
    char head[5];
    const int length = end - at;
    for (int k = 0; k < 5 && k < length; k++) head[k] = RingAt(ch, at + k);
    if (form(head, length) != 1) return 0;
    at = end;
  }
}

// What a line lacks: 0 nothing, 1 its rest; with lookahead (a header line
// the decoder may join with the lines folded under it) 2 the start of the
// next line, 3 the rest of a folded line. The end line needs no lookahead.
static int LineMissing(const Channel &ch, int fill, bool lookahead) {
  const int end = LineEndIn(ch, 0, fill);
  if (end < 0) return 1;
  if (!lookahead || (RingAt(ch, 0) == '.' && (end == 2 || (end == 3 && RingAt(ch, 1) == '\r')))) return 0;
  for (int at = end;;) {
    if (at >= fill) return 2;
    const char c = RingAt(ch, at);
    if (c != ' ' && c != '\t') return 0;
    const int next = LineEndIn(ch, at, fill);
    if (next < 0) return 3;
    at = next;
  }
}

// A reply whose lines the form test reads (none: one line), or with
// lookahead a line the decoder may join with those folded under it. The
// wait for what is missing counts from the step that first found it missing.
static int AwaitWhole(Channel &ch, ReplyLineForm form, bool lookahead, uint32_t firstWait, uint32_t nextWait) {
  if (RingFill(ch) == 0 && SocketReady(ch, ReadyReadable) != 1) {
    ch.RestPhase = 0;
    ch.IdleWait = ReadyReadable;
    return 0;
  }
  // A ring that holds the whole reply already (the later replies of a
  // pipelined group come in one receive) needs no poll of the socket.
  const int held = RingFill(ch);
  const bool whole = held > 0 && held < RingSize - 1 &&
                     (form ? ReplyMissing(ch, held, form) : LineMissing(ch, held, lookahead)) == 0;
  const int fill = TopUpRing(ch, !whole);
  int phase = 0;
  if (fill > 0 && fill < RingSize - 1)
    phase = form ? ReplyMissing(ch, fill, form) : LineMissing(ch, fill, lookahead);
  if (phase == 0) {
    ch.RestPhase = 0;
    return 1;
  }
  const Tick now = PlatformTick();
  if (ch.RestPhase != phase) {
    ch.RestPhase = static_cast<uint8_t>(phase);
    ch.RestSince = now;
  }
  const uint32_t limit = phase == 2 ? firstWait : nextWait;
  if (static_cast<uint32_t>(now - ch.RestSince) >= limit) {
    ch.RestPhase = 0;
    return 1;  // the reader takes what has come, as after a wait that ran out
  }
  // In blocking mode this wait runs inside one step, where the driver's
  // Deadline is not tested; here it must not end the wait early either.
  const Tick until = ch.RestSince + limit + 1;
  if (ch.Deadline != 0 && TickAfter(until, ch.Deadline)) ch.Deadline = until;
  ch.IdleWait = ReadyReadable;
  return 0;
}

int AwaitReply(Channel &ch, ReplyLineForm form, uint32_t ms) {
  if (ch.AutoCall == 1) return AwaitReadable(ch, ms);
  return AwaitWhole(ch, form, false, 0, Settings.ResponseTimeout);
}

int AwaitLine(Channel &ch, uint32_t firstWait, uint32_t nextWait, bool lookahead) {
  if (ch.AutoCall == 1) return AwaitReadable(ch, firstWait);
  return AwaitWhole(ch, nullptr, lookahead, firstWait, nextWait);
}
