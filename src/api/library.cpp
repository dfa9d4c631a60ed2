// The channel table and the library's start and stop.
#include <cstring>

#include "../../include/kel32.h"
#include "../core/channel.h"
#include "../core/errors.h"
#include "../driver/driver.h"
#include "../net/tls.h"

extern "C" int KEL_CALL kelAttach(int numChannels, int /*reserved*/) {
  if (AttachedCount != 0) return Err::AlreadyAttached;
  uint32_t count = static_cast<uint16_t>(numChannels);
  if (count > MaxChannels) return Err::ChannelRange;
  PlatformLockInit();
  PlatformLockEnter();
  int rc = PlatformNetStart();
  if (rc != 0) {
    PlatformLockLeave();
    return rc;
  }
  for (int i = 0; i < SlotCount; i++) {
    MemorySlotTable[i] = MemorySlot{nullptr, 0, 0, static_cast<uint16_t>(i)};
  }
  for (uint32_t c = 0; c < count; c++) {
    ChannelTable[c] = ChannelSlot{nullptr, NoSocket, {}};
    auto *ch = reinterpret_cast<Channel *>(AllocateMemory(c, 0, sizeof(Channel)));
    if (!ch) {
      // Release what this attach had made, so a later attach starts clean.
      for (uint32_t made = 0; made < c; made++) FreeMemory(made, 0, 0);
      PlatformLockLeave();
      return Err::NoMemory;
    }
    ChannelTable[c].Record = ch;
    ch->ChannelNumber = c;
    ch->PrevState = -2;
    ch->ThisState = -1;
    ch->NonBlockConnect = 1;
    ch->AutoCall = 1;
    ch->SmtpPort = 25;
    ch->Pop3Port = 110;
    ch->AutoInline = 1;
    ch->Socket = NoSocket;  // never descriptor 0, which the library does not own
  }
  AttachedCount = static_cast<uint16_t>(count);
  FormatLine(BoundaryText, sizeof BoundaryText, "=====_KEL%ld_=====",
           static_cast<long>(static_cast<int32_t>(PlatformTick())));
  PlatformLockLeave();
  return 1;
}

extern "C" int KEL_CALL kelRelease(void) {
  if (AttachedCount == 0) return 1;
  PlatformLockEnter();
  for (int c = AttachedCount - 1; c >= 0; c--) {
    Channel *ch = ChannelTable[c].Record;
    if (!ch) continue;
    CloseChannelFiles(*ch);  // files a session still held, before the log goes
    if (ch->LogHandle) {
      LogLine(*ch, "Releasing channel %d\r\n", c);
      PlatformFileClose(ch->LogHandle);
      ch->LogHandle = 0;
    }
    FreeMemory(static_cast<uint32_t>(c), 1, 9);
    // The system would end every socket with the network stop; here each
    // channel's own is closed so no descriptor outlives the attach.
    TlsDrop(*ch);
    if (ch->Socket != NoSocket) {
      PlatformSocketClose(ch->Socket);
      ch->Socket = NoSocket;
    }
  }
  // The records held passwords and tokens: nothing of them stays in freed memory.
  for (int c = AttachedCount - 1; c >= 0; c--) {
    if (Channel *ch = ChannelTable[c].Record) memset(ch, 0, sizeof *ch);
    FreeMemory(static_cast<uint32_t>(c), 0, 0);
  }
  AttachedCount = 0;
  if (Settings.WsaCleanup) PlatformNetStop();
  PlatformLockLeave();
  PlatformLockDelete();
  return 1;
}
