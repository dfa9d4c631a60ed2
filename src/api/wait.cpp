// kelWait: one wait over many channels. The calling thread sleeps until a
// channel of the set has work for kelDriver (its socket readable or
// writable as its state needs, its NotBefore reached, its Deadline passed,
// or it is idle) or until the time-out.
#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../driver/driver.h"
#include "../net/socket.h"

namespace {

// How one channel stands: ready now, or waiting on its socket, with the
// time until its clock conditions (NotBefore, Deadline) make it ready.
enum { Ready = 0, OnSocket = 1, OnClock = 2 };

int ChannelStand(Channel &ch, Tick now, int *kind, uint32_t *wakeIn) {
  *kind = 0;
  *wakeIn = 0xFFFFFFFFu;
  if (ch.NextState == State::Complete) return Ready;  // idle: kelDriver answers at once
  if (ch.NotBefore != 0 && TickAfter(ch.NotBefore, now)) {
    *wakeIn = static_cast<uint32_t>(TickDiff(ch.NotBefore, now));
    return OnClock;
  }
  if (ch.Deadline != 0 && TickAfter(now, ch.Deadline)) return Ready;
  const int k = WaitKind(ch);
  if (k == 0) return Ready;
  if (k == ReadyReadable && InputHeld(ch) > 0) return Ready;
  *kind = k;
  // A deadline ends the wait one tick after it, when the step fails with -8.
  if (ch.Deadline != 0) *wakeIn = static_cast<uint32_t>(TickDiff(ch.Deadline, now)) + 1;
  return OnSocket;
}

}  // namespace

extern "C" int KEL_CALL kelWait(const unsigned *channels, int count, int timeoutMs, int *ready) {
  if (AttachedCount == 0) return Err::NotAttached;
  if (!channels || !ready || count < 1 || count > MaxChannels || timeoutMs < 0) return Err::BadWaitArgument;
  for (int i = 0; i < count; i++)
    if (int rc = CheckChannel(channels[i])) return rc;

  const Tick start = PlatformTick();
  PlatformWaitItem items[MaxChannels];
  for (;;) {
    const Tick now = PlatformTick();
    const uint32_t elapsed = static_cast<uint32_t>(TickDiff(now, start));
    uint32_t limit = elapsed >= static_cast<uint32_t>(timeoutMs) ? 0 : static_cast<uint32_t>(timeoutMs) - elapsed;
    int found = 0;
    for (int i = 0; i < count; i++) {
      Channel &ch = *ChannelOf(channels[i]);
      ch.WaitUsed = 1;
      int kind;
      uint32_t wakeIn;
      const int stand = ChannelStand(ch, now, &kind, &wakeIn);
      ready[i] = stand == Ready ? 1 : 0;
      if (ready[i]) ch.WaitQuiet = 0;
      found += ready[i];
      items[i].Socket = stand == OnSocket ? ch.Socket : NoSocket;
      items[i].Kind = kind;
      if (wakeIn < limit) limit = wakeIn;
    }
    // With a channel ready already, the sockets are only looked at, so that
    // every channel with work is reported.
    const int polled = PlatformSocketWaitMany(items, count, found > 0 ? 0 : limit);
    if (polled < 0) return polled;
    for (int i = 0; i < count; i++) {
      if (items[i].Socket == NoSocket) continue;
      Channel &ch = *ChannelOf(channels[i]);
      if (items[i].Ready) {
        ready[i] = 1;
        found++;
      }
      ch.WaitQuiet = items[i].Ready ? 0 : 1;
    }
    if (found > 0) return found;
    // Nothing yet: the time-out, or a channel's clock, ended the wait.
    if (TickDiff(PlatformTick(), start) >= timeoutMs) return 0;
  }
}
