// kelDriver, and kelWait: one wait over many channels. The calling thread sleeps until a
// channel of the set has work for kelDriver (its socket readable or
// writable as its state needs, its NotBefore reached, its Deadline passed,
// or it is idle) or until the time-out.
#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../driver/driver.h"
#include "../net/socket.h"

extern "C" int KEL_CALL kelDriver(unsigned channel) { return DriverStep(channel); }

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
      const Wake w = NextWake(ch, now);
      ready[i] = w.Kind == WakeNow ? 1 : 0;
      if (ready[i]) ch.WaitQuiet = 0;
      found += ready[i];
      const bool onSocket = w.Kind == WakeOnReadable || w.Kind == WakeOnWritable;
      items[i].Socket = onSocket ? ch.Socket : NoSocket;
      items[i].Kind = onSocket ? w.Kind : 0;
      if (w.In < limit) limit = w.In;
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
        // Readable stays readable until a receive: the step need not ask again.
        if (items[i].Kind == ReadyReadable && !ch.Tls) ch.ReadableSeen = 1;
      }
      // 2: found writable without an error, which the next step need not ask again.
      ch.WaitQuiet = !items[i].Ready ? 1 : items[i].Ready == 1 && items[i].Kind == ReadyWritable ? 2 : 0;
    }
    if (found > 0) return found;
    // Nothing yet: the time-out, or a channel's clock, ended the wait.
    if (TickDiff(PlatformTick(), start) >= timeoutMs) return 0;
  }
}
