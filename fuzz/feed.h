// A peer for the fuzz targets: plays the input's bytes to the library's
// socket calls through the platform layer's socket feed, in pieces whose
// lengths come from a seed, so every received block boundary is tried.
// Each readiness test that finds nothing, and each wait, lets the next
// piece arrive; once every byte has been taken the peer has closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/channel.h"
#include "platform/platform.h"

namespace feed {

constexpr PlatformSocket FeedSocket = 1000;  // never a real descriptor of the process

struct State {
  const uint8_t *Data = nullptr;
  size_t Size = 0;
  size_t Taken = 0;     // bytes received by the library
  size_t Arrived = 0;   // bytes the peer has sent so far
  uint32_t Seed = 1;
  uint32_t Tick = 1;
};
inline State Peer;

inline uint32_t NextRandom() {
  Peer.Seed = Peer.Seed * 1103515245u + 12345u;
  return Peer.Seed >> 16;
}

inline void Arrive() {
  if (Peer.Arrived >= Peer.Size) return;
  size_t piece = 1 + NextRandom() % ((Peer.Seed & 0x100) ? 7 : 300);
  Peer.Arrived = Peer.Arrived + piece > Peer.Size ? Peer.Size : Peer.Arrived + piece;
}

inline bool Ended() { return Peer.Taken >= Peer.Size; }

inline int Ready(PlatformSocket, int kind) {
  if (kind == ReadyWritable) return 1;
  if (kind == ReadyException) return 0;
  if (Peer.Taken < Peer.Arrived || Ended()) return 1;
  Arrive();
  return 0;
}
inline int Wait(PlatformSocket s, int kind, uint32_t) {
  if (kind == ReadyReadable && !(Peer.Taken < Peer.Arrived || Ended())) Arrive();
  return Ready(s, kind);
}
inline int Send(PlatformSocket, const void *, int count) { return count; }
inline int Recv(PlatformSocket, void *buffer, int count) {
  if (Ended()) return 0;
  if (Peer.Taken >= Peer.Arrived) Arrive();
  size_t n = Peer.Arrived - Peer.Taken;
  if (n > static_cast<size_t>(count)) n = static_cast<size_t>(count);
  memcpy(buffer, Peer.Data + Peer.Taken, n);
  Peer.Taken += n;
  return static_cast<int>(n);
}
inline int Close(PlatformSocket) { return 0; }
// Time moves on by a millisecond whenever the library looks at the clock.
inline uint32_t Clock() { return Peer.Tick++; }

inline const PlatformSocketFeed Functions = {Ready, Wait, Send, Recv, Close};

inline void Start(const uint8_t *data, size_t size, uint32_t seed) {
  Peer = State{};
  Peer.Data = data;
  Peer.Size = size;
  Peer.Seed = seed | 1;
  Arrive();
  PlatformSetSocketFeed(&Functions);
  PlatformSetTickSource(Clock);
}

// A channel connected to the peer, its ring empty, in the given mode.
inline Channel &Connected(unsigned channel, bool blocking, char protocol) {
  Channel &ch = *ChannelOf(channel);
  ch.Socket = FeedSocket;
  ch.RingRead = ch.RingWrite = 0;
  ch.AutoCall = blocking ? 1 : 0;
  ch.Protocol = protocol;
  ch.RestPhase = 0;
  ch.NotBefore = ch.Deadline = 0;
  ch.WaitWritable = 0;
  ch.NextState = 0;
  return ch;
}

}  // namespace feed

// Stops the run as a crash when an invariant does not hold.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) __builtin_trap(); \
  } while (0)
