// The channel table, the library-wide settings and the memory slots: every
// per-channel block, framed by guard bytes that are verified when the block
// is released.
#include <cstring>

#include "channel.h"

LibrarySettings Settings;
uint16_t AttachedCount = 0;
ChannelSlot ChannelTable[MaxChannels];
MemorySlot MemorySlotTable[SlotCount];
char BoundaryText[28];

static const char GuardHead = 'U';
static const char GuardTail = 'z';
// The caller's bytes start this far into the block, so that a record kept
// there is aligned for any field; the head guard is the byte just before.
static const uint32_t HeadRoom = 16;

static void MemoryLogLine(uint32_t channel, const char *message, int k, int code) {
  Channel *ch = channel < MaxChannels ? ChannelTable[channel].Record : nullptr;
  if (ch) LogLine(*ch, "%s: Chan=%d, Index=%d, Code=%d\r\n", message, static_cast<int>(channel), k, code);
}

static uint16_t SlotNumber(uint32_t channel, int k) {
  return static_cast<uint16_t>(channel * SlotsPerChannel + static_cast<uint32_t>(k));
}

int CheckSlot(int slot) {
  if (slot < 0 || slot >= SlotCount) return MemBadSlot;
  MemorySlot &m = MemorySlotTable[slot];
  if (m.OwnIndex != slot) return MemBadIndex;
  if (!m.Handle || !m.Pointer || !m.Size) return MemNotInUse;
  if (m.Pointer[-1] != GuardHead || m.Pointer[m.Size] != GuardTail) return MemGuardDamaged;
  return 0;
}

static void ReleaseSlot(MemorySlot &m) {
  uintptr_t handle = m.Handle;
  m.Handle = 0;
  m.Pointer = nullptr;
  m.Size = 0;
  PlatformBlockUnlock(handle);
  PlatformBlockFree(handle);
}

char *AllocateMemory(uint32_t channel, int k, uint32_t size) {
  uint16_t slot = SlotNumber(channel, k);
  int code = 0;
  if (slot >= SlotCount) code = MemBadSlot;
  else if (MemorySlotTable[slot].OwnIndex != slot) code = MemBadIndex;
  else if (MemorySlotTable[slot].Handle != 0) code = MemInUse;
  if (code == 0) {
    uintptr_t handle = size < 0xFFFFFF00u ? PlatformBlockAlloc(size_t(size) + HeadRoom + 2) : 0;
    if (!handle) {
      code = MemAllocFailed;
    } else {
      MemorySlot &m = MemorySlotTable[slot];
      char *block = static_cast<char *>(PlatformBlockLock(handle));
      m.Handle = handle;
      m.Pointer = block + HeadRoom;
      m.Size = size;
      m.Pointer[-1] = GuardHead;
      m.Pointer[size] = GuardTail;
      return m.Pointer;
    }
  }
  MemoryLogLine(channel, "AllocateMemory Error", k, code);
  return nullptr;
}

char *AllocAndCopy(uint32_t channel, int k, const char *text) {
  if (!text || !*text) {
    MemoryLogLine(channel, "AllocAndCopy Error 1", k, 0);
    return nullptr;
  }
  uint16_t slot = SlotNumber(channel, k);
  if (slot < SlotCount && MemorySlotTable[slot].Handle) ReleaseSlot(MemorySlotTable[slot]);
  size_t length = strlen(text);
  char *copy = length < 0xFFFFFF00u ? AllocateMemory(channel, k, static_cast<uint32_t>(length + 2)) : nullptr;
  if (!copy) {
    MemoryLogLine(channel, "AllocAndCopy Error 2", k, MemAllocFailed);
    return nullptr;
  }
  memcpy(copy, text, length + 1);
  return copy;
}

// The Channel fields that point into local slot k.
static void ForgetSlotPointers(Channel &ch, int k) {
  switch (k) {
    case 1: ch.ToList = nullptr; ch.AddressCursor = nullptr; ch.CurrentAddress = nullptr; ch.SeparatorAt = nullptr; break;
    case 2: ch.CcList = nullptr; break;
    case 3: ch.BccList = nullptr; break;
    case 4: ch.Subject = nullptr; break;
    case 5: ch.Message = nullptr; break;
    case 6: ch.Attachments = nullptr; ch.NextAttachment = nullptr; break;
    case 7: ch.ExtraHeaders = nullptr; break;
    case 8: ch.UserBuffer = nullptr; break;
    case 9: ch.ImapUids = nullptr; ch.ImapUidCount = ch.ImapUidCapacity = 0; break;
    case 10: ch.AltText = nullptr; break;
    default: break;
  }
}

void FreeMemory(uint32_t channel, int firstK, int lastK) {
  for (int k = firstK; k <= lastK; k++) {
    uint16_t slot = SlotNumber(channel, k);
    int code = CheckSlot(slot);
    if (code == MemBadIndex || code == MemGuardDamaged) {
      MemoryLogLine(channel, "FreeMemory Error", k, code);
      return;
    }
    if (code != 0) continue;
    char *block = MemorySlotTable[slot].Pointer;
    ReleaseSlot(MemorySlotTable[slot]);
    if (k == 0) {
      if (channel < MaxChannels) ChannelTable[channel].Record = nullptr;
    } else if (channel < MaxChannels && ChannelTable[channel].Record) {
      Channel &ch = *ChannelTable[channel].Record;
      // The internal line buffer may be what UserBuffer points at.
      if (k != 8 || ch.UserBuffer == block) ForgetSlotPointers(ch, k);
    }
  }
}

char *SlotBlock(uint32_t channel, int k, uint32_t *size) {
  uint16_t slot = SlotNumber(channel, k);
  if (slot >= SlotCount || CheckSlot(slot) == MemNotInUse || CheckSlot(slot) == MemBadIndex) return nullptr;
  if (size) *size = MemorySlotTable[slot].Size;
  return MemorySlotTable[slot].Pointer;
}

int CopyField(char *field, int fieldSize, const char *text, int limit) {
  if (fieldSize < 1) return 0;
  if (limit > fieldSize - 1) limit = fieldSize - 1;
  int n = 0;
  if (text)
    while (n < limit && text[n]) {
      field[n] = text[n];
      n++;
    }
  field[n] = 0;
  return n;
}
