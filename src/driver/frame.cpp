// The driver frame: the checks, waits and trace of one step, the dispatch
// over the state table, the error exit, and the blocking loop.
#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../mime/mime.h"
#include "../net/socket.h"
#include "driver.h"

// Tick values are printed as the signed 32-bit numbers they are on the wire of the log.
static long TickText(Tick t) { return static_cast<long>(static_cast<int32_t>(t)); }

void WriteVersionLine(Channel &ch) {
  LogLine(ch, "KEL Win32 Version %d.%d.%d Build %d\r\n", LibraryVersion >> 8, (LibraryVersion >> 4) & 15,
          LibraryVersion & 15, LibraryBuild);
}

void CloseChannelFiles(Channel &ch) {
  if (ch.Protocol == 'P' || ch.Protocol == 'I') {
    DiscardAttachFiles(ch);  // a retrieval cut short: its open files are incomplete
  } else {
    CloseBufferedFile(ch.AttachOut, ch.FileHandle);  // a file being sent: nothing was saved
  }
  ch.FileHandle = 0;
  CloseBufferedFile(ch.EmailOut, ch.EmailHandle);
  ch.EmailHandle = 0;
}

static void LogFailure(Channel &ch, int sockCode, int kelCode) {
  if (!ch.LogHandle) return;
  LogLine(ch, "ERROR(%ld): SockCode=%d KelCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
          TickText(PlatformTick()), sockCode, kelCode, ch.PrevState, ch.ThisState, ch.NextState);
  char text[128];
  if (kelCode < 0 && FormatErrorText(ch, kelCode, text, sizeof text) > 0) LogText(ch, text);
  if (sockCode < 0 && FormatErrorText(ch, sockCode, text, sizeof text) > 0) LogText(ch, text);
}

int driverFailConnected(Channel &ch, int kelCode) {
  CloseChannelFiles(ch);
  ch.RestPhase = 0;
  ch.InputBounded = 0;  // an IMAP literal cut short bounds no later read
  LogFailure(ch, 0, kelCode);
  ch.MoreToFollow = 0;
  ch.NextState = State::Complete;
  ch.PrevState = ch.ThisState;
  ch.ThisState = -1;
  ch.SockCode = 0;
  return kelCode;
}

int driverFail(Channel &ch, int sockCode, int kelCode) {
  // No file an operation opened outlives its failure, whichever state failed.
  CloseChannelFiles(ch);
  ch.RestPhase = 0;
  ch.InputBounded = 0;  // an IMAP literal cut short bounds no later read
  ch.WakeAtDeadline = 0;
  LogFailure(ch, sockCode, kelCode);
  ch.SecretAt = 0;
  ch.MoreToFollow = 0;
  ch.HoldOutput = 0;
  if (kelCode < 0) {
    ch.NextState = State::Complete;
    ch.PrevState = ch.ThisState;
    ch.ThisState = -1;
    ch.SockCode = sockCode;
    CloseChannelSocket(ch);
  }
  PlatformSleep(0);
  return kelCode;
}

int UnknownState(Channel &ch) {
  LogLine(ch, "ERROR! Unknown state %d\r\n", ch.ThisState);
  return 0;
}

// Bytes in the output buffer that must leave before the next state: all of
// them when a reply is awaited, else enough to make room. 0 lets the step
// go on; else KEL_WAITING or the result of the error exit.
// writableSeen: kelWait found the socket writable; bytes sent here end that.
static int OutputGate(Channel &ch, bool &writableSeen) {
  const int pending = OutputPending(ch);
  if (pending == 0 || (!ch.OutDrain && pending < OutFlushAt)) return 0;
  // A socket in error is not writable: the send then tells what went wrong.
  int rc = writableSeen || SocketReady(ch, ReadyWritable) == 1 || SocketReady(ch, ReadyException) == 1
               ? FlushOutput(ch, false)
               : 0;
  writableSeen = false;
  if (rc < 0) {
    // The failure belongs to the state whose bytes these are.
    ch.ThisState = ch.NextState;
    return driverFail(ch, rc, Err::Send);
  }
  if (OutputPending(ch) == 0 || (!ch.OutDrain && OutputPending(ch) < OutFlushAt)) return 0;
  ch.IdleWait = ReadyWritable;
  if (!ch.WaitUsed) PlatformSleep(0);
  return KEL_WAITING;
}

// What the channel's socket must show before the next step can do
// anything: ReadyReadable or ReadyWritable, or 0 when the next step has
// work (its NotBefore and Deadline aside).
static int SocketWait(const Channel &ch) {
  const int pending = OutputPending(ch);
  if (pending > 0 && (ch.OutDrain || pending >= OutFlushAt)) return ReadyWritable;
  if (ch.WaitWritable && !ch.MoreToFollow) return ReadyWritable;
  return ch.IdleWait;
}

Wake NextWake(Channel &ch, Tick now) {
  Wake w{WakeNow, 0xFFFFFFFFu};
  // The step tests NotBefore before anything else, an idle channel's too:
  // until then it can only answer 9999.
  if (ch.NotBefore != 0 && TickAfter(ch.NotBefore, now)) {
    w.Kind = WakeOnClock;
    w.In = static_cast<uint32_t>(TickDiff(ch.NotBefore, now));
    return w;
  }
  if (ch.NextState == State::Complete) return w;  // idle: the step answers at once
  if (ch.Deadline != 0 && TickAfter(now, ch.Deadline)) return w;  // the step fails with -8
  const int kind = SocketWait(ch);
  if (kind == 0) return w;
  // Bytes already received (the ring, the receive stage, the TLS layer)
  // are read without the socket.
  if (kind == ReadyReadable && InputHeld(ch) > 0) return w;
  // A socket that is gone will show nothing: the step reports the failure.
  if (ch.Socket == NoSocket) return w;
  w.Kind = kind;
  // A deadline ends the wait one tick after it, when the step fails with -8.
  if (ch.Deadline != 0) w.In = static_cast<uint32_t>(TickDiff(ch.Deadline, now)) + 1;
  return w;
}

int DriverStep(uint32_t channel, Tick *stepNow) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  ch.SendLine[0] = 0;
  ch.Response[0] = 0;
  const Tick now = PlatformTick();
  if (stepNow) *stepNow = now;

  // A program that sleeps in kelWait needs no yield from a waiting step.
  const bool yield = !ch.WaitUsed;
  if (ch.NotBefore != 0 && TickAfter(ch.NotBefore, now)) {
    if (ch.WaitQuiet == 2) ch.WaitQuiet = 0;  // what kelWait saw holds for the next step only
    if (yield) PlatformSleep(0);
    return KEL_WAITING;
  }
  // The deadline is tested before anything else can be seen.
  // (A state that asked to run at its deadline does; so does a connect
  // whose time is up while other addresses remain: it moves on to the next.)
  if (ch.Deadline != 0 && TickAfter(now, ch.Deadline) && !ch.WakeAtDeadline && !ConnectMayMoveOn(ch))
    return driverFail(ch, 0, Err::Timeout);
  if (ch.WaitQuiet == 1) {
    // kelWait has just polled this channel and found nothing to do: no
    // socket can have changed for it since. Only one step is spared.
    ch.WaitQuiet = 0;
    return KEL_WAITING;
  }
  // kelWait has just found the socket writable, and nothing has been sent since.
  bool writableSeen = ch.WaitQuiet == 2;
  ch.WaitQuiet = 0;
  ch.IdleWait = 0;
  if (int rc = OutputGate(ch, writableSeen)) return rc;
  // While message text gathers in the output buffer, the socket is asked
  // only when the buffer must leave (the gate above).
  if (ch.WaitWritable && !ch.MoreToFollow && !writableSeen && SocketReady(ch, ReadyWritable) != 1) {
    ch.IdleWait = ReadyWritable;
    if (yield) PlatformSleep(0);
    return KEL_WAITING;
  }
  ch.WaitWritable = 0;
  ch.ThisState = ch.NextState;
  if (ch.ThisState > 0) ch.StepCount++;
  if (ch.PrevState != ch.ThisState) LogLine(ch, "<%3d:%ld>\r\n", ch.ThisState, TickText(now));

  if (ch.ThisState == State::Complete) {
    ch.ThisState = -1;
    ch.NotBefore = ch.Deadline = 0;
    return 0;
  }
  const StateEntry *state = FindState(ch.ThisState);
  int rc = state ? state->Run(ch, now) : UnknownState(ch);
  if (rc < 0) return rc;
  ch.PrevState = ch.ThisState;
  ch.ThisState = -1;
  // A non-blocking reading state that found nothing to read gives way.
  return rc == KEL_WAITING ? KEL_WAITING : ch.NextState;
}

// Sleeps while the channel can only wait: until its NotBefore, or on its
// socket, but never past the Deadline nor longer than the sleep time, so
// every result and log line stays what a loop of bare steps would give.
static void WaitForWork(Channel &ch, Tick stepNow) {
  // A channel whose pause has passed at the step's own tick and that waits
  // for no socket has work whatever the clock says now: the clock is not
  // read again (a message body costs a step per line).
  if ((ch.NotBefore == 0 || !TickAfter(ch.NotBefore, stepNow)) &&
      (ch.NextState == State::Complete || SocketWait(ch) == 0)) {
    ch.IdleWait = 0;
    return;
  }
  const Wake w = NextWake(ch, PlatformTick());
  ch.IdleWait = 0;
  if (w.Kind == WakeNow) return;  // a channel with work goes on at once: its steps are short anyway
  const uint32_t limit = w.In < Settings.SleepTime ? w.In : static_cast<uint32_t>(Settings.SleepTime);
  if (w.Kind == WakeOnClock) {
    PlatformSleep(limit);
  } else if (PlatformSocketWait(ch.Socket, w.Kind, limit) == 1 && w.Kind == ReadyReadable) {
    ch.ReadableSeen = 1;
  }
}

int RunBlocking(uint32_t channel) {
  for (;;) {
    // Only what this step finds counts; a flag left by earlier steps driven
    // from outside must not make the loop sleep.
    if (Channel *ch = ChannelOf(channel)) ch->IdleWait = 0;
    Tick stepNow = 0;
    int rc = DriverStep(channel, &stepNow);
    if (rc < 1) return rc;
    Channel *ch = ChannelOf(channel);
    if (!ch) return Err::ChannelRange;
    WaitForWork(*ch, stepNow);
  }
}
