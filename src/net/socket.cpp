// The socket layer: every socket operation of a channel, over the platform
// sockets. Readiness is only ever tested with a zero time-out; a wait with a
// limit waits on the socket for at most the sleep time per pass, so it sees
// data at once and still never outlasts its limit.
#include "socket.h"

#include "../core/errors.h"
#include "ring.h"
#include "tls.h"

#include <cstring>
#include <iterator>

// ---- Dotted IPv4 addresses ----------------------------------------------------

// Reads the four parts of a dotted address: each a run of decimal digits
// (empty counts as 0) below 256, ended by '.' or the end of the text. What
// follows the fourth part is not looked at. Returns 1 with the address, or 0.
static int ReadDottedParts(const char *text, uint32_t *address) {
  if (!text) return 0;
  uint32_t result = 0;
  for (int part = 0; part < 4; part++) {
    uint32_t value = 0;
    while (*text != '.' && *text != 0) {
      if (*text < '0' || *text > '9') return 0;
      value = value * 10 + static_cast<uint32_t>(*text - '0');
      if (value >= 256) return 0;
      text++;
    }
    result = (result << 8) | value;
    if (*text == 0 && part < 3) return 0;  // the text ended before four parts
    if (*text == '.') text++;
  }
  *address = result;
  return 1;
}

int IsDottedAddress(const char *text) {
  uint32_t address;
  return ReadDottedParts(text, &address);
}

uint32_t ParseDottedAddress(const char *text) {
  uint32_t address = 0;
  ReadDottedParts(text, &address);
  return address;
}

int FormatDottedAddress(uint32_t address, char *buffer, int size) {
  if (!buffer || size < 17) return 0;
  return FormatLine(buffer, size, "%1d.%1d.%1d.%1d", static_cast<int>(address >> 24),
                    static_cast<int>((address >> 16) & 255), static_cast<int>((address >> 8) & 255),
                    static_cast<int>(address & 255));
}

// ---- Name, socket, connection ---------------------------------------------------

int ResolveServer(Channel &ch) { return ResolveHost(ch, ch.Server); }

int ResolveHost(Channel &ch, const char *host) {
  ch.Addresses.Count = ch.Addresses.Index = 0;
  int rc = PlatformResolveAll(host, ch.Addresses.List, static_cast<int>(std::size(ch.Addresses.List)));
  if (rc < 0) return rc;
  if (rc == 0) return 0;
  ch.Addresses.Count = static_cast<uint8_t>(rc);
  UseServerAddress(ch, 0);
  return ch.Addresses.List[0].Family == 4 && ch.ServerAddr == 0 ? 0 : 1;
}

void UseServerAddress(Channel &ch, int index) {
  ch.Addresses.Index = static_cast<uint8_t>(index);
  const PlatformAddress &a = ch.Addresses.List[index];
  ch.ServerAddr = a.Family == 4 ? (uint32_t(a.Bytes[0]) << 24) | (uint32_t(a.Bytes[1]) << 16) |
                                      (uint32_t(a.Bytes[2]) << 8) | a.Bytes[3]
                                : 0;
}

void SetServerAddress(Channel &ch, uint32_t address) {
  PlatformAddress &a = ch.Addresses.List[0];
  a = PlatformAddress{};
  a.Family = 4;
  for (int i = 0; i < 4; i++) a.Bytes[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  ch.Addresses.Count = 1;
  UseServerAddress(ch, 0);
}

int OpenSocket(uint32_t channel, int family) {
  Channel *ch = ChannelOf(channel);
  if (!ch) return Err::InvalidSocket;
  // A socket still held from an earlier connection is the channel's own:
  // end it rather than lose it.
  TlsDrop(*ch);
  if (ch->Socket != NoSocket) {
    PlatformLockEnter();
    PlatformSocketClose(ch->Socket);
    PlatformLockLeave();
    ch->Socket = NoSocket;
    ChannelTable[channel].Socket = NoSocket;
  }
  PlatformLockEnter();
  PlatformSocket s = PlatformSocketOpenFor(family);
  PlatformLockLeave();
  if (s == NoSocket) return Err::InvalidSocket;
  if (ch->NonBlockConnect || ch->Addresses.Index + 1 < ch->Addresses.Count) {
    // A connect that may have to give way to the next address never waits.
    ch->NonBlockArg = 1;
    PlatformSocketSetNonBlocking(s, true);
  }
  ChannelTable[channel].Socket = s;
  ch->Socket = s;
  // A new connection starts with nothing held from the last one.
  DropOutput(*ch);
  ch->StageRead = ch->StageFill = 0;
  ch->RingRead = ch->RingWrite = 0;
  ch->ReadableSeen = 0;
  ch->WritableSeen = 0;
  return s;
}

int ConnectSocket(uint32_t channel, const PlatformAddress &to, uint16_t port) {
  Channel *ch = ChannelOf(channel);
  if (!ch) return Err::SockNotSocket;
  if (to.Family == 6) {
    char text[64];
    PlatformFormatAddress(to, text, sizeof text);
    LogLine(*ch, "Socket=%d, RemoteAddr=[%s], RemotePort=%d\r\n", ch->Socket, text,
            static_cast<int>(static_cast<int16_t>(port)));
    const int rc = PlatformSocketConnectTo(ch->Socket, to, port);
    return rc == 0 || rc == Err::SockWouldBlock ? 1 : rc;
  }
  const uint32_t address = (uint32_t(to.Bytes[0]) << 24) | (uint32_t(to.Bytes[1]) << 16) |
                           (uint32_t(to.Bytes[2]) << 8) | to.Bytes[3];
  LogLine(*ch, "Socket=%d, RemoteAddr=%lx, RemotePort=%d\r\n", ch->Socket, static_cast<unsigned long>(address),
          static_cast<int>(static_cast<int16_t>(port)));
  // The 16-byte IPv4 socket address: family (16-bit, as stored on a
  // little-endian machine), port and address in network order, 8 zero bytes.
  uint8_t *sa = ChannelTable[channel].SocketAddress;
  memset(sa, 0, 16);
  sa[0] = 2;
  sa[2] = static_cast<uint8_t>(port >> 8);
  sa[3] = static_cast<uint8_t>(port);
  sa[4] = static_cast<uint8_t>(address >> 24);
  sa[5] = static_cast<uint8_t>(address >> 16);
  sa[6] = static_cast<uint8_t>(address >> 8);
  sa[7] = static_cast<uint8_t>(address);
  int rc = PlatformSocketConnect(ch->Socket, sa);
  if (rc == 0 || rc == Err::SockWouldBlock) return 1;  // made, or under way on a non-blocking socket
  return rc;
}

int ConnectSocket(uint32_t channel, uint32_t addressHostOrder, uint16_t port) {
  PlatformAddress a{};
  a.Family = 4;
  for (int k = 0; k < 4; k++) a.Bytes[k] = static_cast<uint8_t>(addressHostOrder >> (24 - 8 * k));
  return ConnectSocket(channel, a, port);
}

// ---- Readiness -------------------------------------------------------------------

int PendingInput(const Channel &ch) { return ch.StageFill - ch.StageRead; }

int SocketReady(Channel &ch, int kind) {
  if (kind < ReadyReadable || kind > ReadyException) return Err::BadStatusFlag;
  if (kind == ReadyReadable) {
    // Bytes already received and held count as readable, without a socket call.
    if (PendingInput(ch) > 0) return 1;
    // Over TLS, readable means plaintext to read: bytes the engine holds count,
    // records without data do not. Writable and exception stay the socket's.
    if (ch.Tls) return TlsReadable(ch);
    if (ch.ReadableSeen) return 1;
  }
  // Only a send makes a writable socket full; an error that comes without
  // one is seen by the next tick's poll (or by the send itself). The TLS
  // layer sends on its own, so its sockets are always asked.
  if (kind == ReadyWritable && ch.WritableSeen && !ch.Tls && PlatformTick() == ch.WritableAt) return 1;
  PlatformLockEnter();
  int ready = PlatformSocketReady(ch.Socket, kind);
  PlatformLockLeave();
  if (kind == ReadyReadable && ready == 1 && ch.Socket != NoSocket) ch.ReadableSeen = 1;
  if (kind == ReadyWritable) {
    ch.WritableSeen = ready == 1 && ch.Socket != NoSocket;
    if (ch.WritableSeen) ch.WritableAt = PlatformTick();
  }
  return ready;
}

int ReceiveBytes(Channel &ch, void *buffer, int count) {
  return ch.Tls ? TlsReceive(ch, buffer, count) : PlatformSocketRecv(ch.Socket, buffer, count);
}

int PollReadable(PlatformSocket s) {
  PlatformLockEnter();
  int ready = PlatformSocketReady(s, ReadyReadable);
  PlatformLockLeave();
  return ready;
}

// Time to wait in one pass of a wait loop: the sleep time, but not past the deadline.
static uint32_t PassWait(Tick deadline, Tick now) {
  uint32_t left = static_cast<uint32_t>(TickDiff(deadline, now));
  return left < Settings.SleepTime ? left : Settings.SleepTime;
}

// Both tests of a pass (exception first, then writable) in one poll.
static int WriteState(Channel &ch) {
  PlatformLockEnter();
  const int state = PlatformSocketWriteState(ch.Socket);
  PlatformLockLeave();
  ch.WritableSeen = state == ReadyWritable && ch.Socket != NoSocket;
  if (ch.WritableSeen) ch.WritableAt = PlatformTick();
  return state;
}

int AwaitWritable(Channel &ch, uint32_t ms) {
  Tick deadline = 0;
  for (bool first = true;; first = false) {
    const int state = WriteState(ch);
    if (state == ReadyException) return 0;
    if (state == ReadyWritable) return 1;
    const Tick now = PlatformTick();
    if (first) deadline = now + ms;
    if (!TickAfter(deadline, now)) return 0;
    PlatformSocketWait(ch.Socket, ReadyWritable, PassWait(deadline, now));
  }
}

int InputHeld(Channel &ch) {
  int held = RingFill(ch) + PendingInput(ch);
  // Plain text the TLS engine holds is not seen by a poll of the socket.
  if (held == 0 && TlsActive(ch) && TlsReadable(ch) == 1) held = 1;
  return held;
}

int AwaitReadable(Channel &ch, uint32_t ms) {
  if (RingFill(ch) > 0) return 1;
  Tick deadline = 0;
  for (bool first = true;; first = false) {
    if (SocketReady(ch, ReadyReadable) == 1) return 1;
    const Tick now = PlatformTick();
    if (first) deadline = now + ms;
    if (!TickAfter(deadline, now)) {
      // A reply state found nothing yet: a blocking caller may sleep on the socket.
      if (ms == 0) ch.IdleWait = ReadyReadable;
      return 0;
    }
    if (PlatformSocketWait(ch.Socket, ReadyReadable, PassWait(deadline, now)) == 1 && ch.Socket != NoSocket)
      ch.ReadableSeen = 1;
  }
}

// ---- Sending -------------------------------------------------------------------------

// Every byte that leaves a channel goes through here (and, over TLS, the
// TLS layer). wait: the call may
// wait for room in the socket (the socket is a blocking one); otherwise it
// takes what the socket can hold now and returns 0 when that is nothing.
int TransportSend(Channel &ch, const char *bytes, int count, bool wait) {
  const bool more = ch.MoreToFollow != 0;
  ch.WritableSeen = 0;
  // Over TLS the layer takes every byte: it gathers them into records and
  // hands the encrypted bytes to the platform's send itself.
  if (ch.Tls) return TlsSend(ch, bytes, count, more);
  return wait ? PlatformSocketSend(ch.Socket, bytes, count, more)
              : PlatformSocketTrySend(ch.Socket, bytes, count, more);
}

int OutputPending(const Channel &ch) {
  KEL_ASSERT(ch.OutSent >= 0 && ch.OutSent <= ch.OutFill && ch.OutFill <= OutBufSize);
  return ch.OutFill - ch.OutSent;
}

void DropOutput(Channel &ch) {
  ch.OutFill = ch.OutSent = 0;
  ch.OutDrain = 0;
}

int FlushOutput(Channel &ch, bool wait) {
  while (ch.OutSent < ch.OutFill) {
    int n = TransportSend(ch, ch.OutBuf + ch.OutSent, ch.OutFill - ch.OutSent, wait);
    // A socket left in non-blocking mode answers "would block" even to a
    // waiting send: wait for room, within the send time-out.
    if (wait && n == Err::SockWouldBlock && PlatformSocketWait(ch.Socket, ReadyWritable, Settings.SendTimeout) == 1) continue;
    if (n < 0) {
      // What did not leave never will: the channel fails with this code.
      DropOutput(ch);
      return n;
    }
    if (n == 0) {
      if (wait) {  // a blocking send that takes nothing: the connection is gone
        DropOutput(ch);
        return Err::SockReset;
      }
      return 0;
    }
    ch.OutSent += n;
  }
  ch.OutFill = ch.OutSent = 0;
  ch.OutDrain = 0;
  return 1;
}

// Bytes are appended to the output buffer and logged as they are given.
// Commands leave at once (a reply follows each of them); the message text
// and a held (pipelined) envelope leave when enough has gathered, and
// always before the next state that awaits a reply. A failed send is
// reported by the call that made the bytes leave.
int SendBytes(Channel &ch, const void *bytes, int count) {
  if (count < 0) return Err::SockInvalid;
  if (ch.OutFill + count > OutBufSize) {
    // No room: what is held leaves first, waiting for the socket if it must.
    int rc = FlushOutput(ch, false);
    if (rc == 0 && ch.OutFill - ch.OutSent + count > OutBufSize) rc = FlushOutput(ch, true);
    if (rc < 0) return rc;
    if (ch.OutSent > 0) {  // move what is left to the front
      memmove(ch.OutBuf, ch.OutBuf + ch.OutSent, static_cast<size_t>(ch.OutFill - ch.OutSent));
      ch.OutFill -= ch.OutSent;
      ch.OutSent = 0;
    }
  }
  LogData(ch, "S: ", bytes, count);
  if (count > OutBufSize) {
    // Larger than the whole buffer (never a line of this library): straight out.
    int sent = 0;
    while (sent < count) {
      int n = TransportSend(ch, static_cast<const char *>(bytes) + sent, count - sent, true);
      if (n <= 0) return n < 0 ? n : Err::SockReset;
      sent += n;
    }
    return count;
  }
  memcpy(ch.OutBuf + ch.OutFill, bytes, static_cast<size_t>(count));
  ch.OutFill += count;
  if (ch.MoreToFollow || ch.HoldOutput) {
    if (OutputPending(ch) < OutFlushAt) return count;
  }
  int rc = FlushOutput(ch, false);
  if (rc < 0) return rc;
  // Bytes the socket could not take yet leave before any reply is read.
  if (rc == 0 && !ch.MoreToFollow && !ch.HoldOutput) ch.OutDrain = 1;
  return count;
}

int SendText(Channel &ch, const char *text) { return SendBytes(ch, text, static_cast<int>(strlen(text))); }

int SendTextLine(Channel &ch, char *text) {
  const size_t length = strlen(text);
  text[length] = '\r';
  text[length + 1] = '\n';
  text[length + 2] = 0;
  int rc = SendBytes(ch, text, static_cast<int>(length + 2));
  text[length] = 0;
  return rc;
}

// ---- Closing -------------------------------------------------------------------------

// The pause that gives a connection time to end before its socket goes:
// it ends early once the peer has closed or sent something, and it runs
// without the library lock, so other channels go on meanwhile.
constexpr uint32_t ClosePause = 500;

int CloseSocket(Channel &ch) {
  const PlatformSocket s = ch.Socket;
  // Held bytes get their chance to leave; nothing waits for them.
  if (s != NoSocket && OutputPending(ch) > 0) FlushOutput(ch, false);
  DropOutput(ch);
  ch.StageRead = ch.StageFill = 0;
  ch.ReadableSeen = 0;
  ch.WritableSeen = 0;
  if (s == NoSocket) return PlatformSocketClose(s);  // fails as a closed handle does, touching nothing
  TlsShutdown(ch);  // close_notify first, then the socket goes as a plain one does
  // A non-blocking step never waits, not even for this pause.
  PlatformSocketWait(s, ReadyReadable, ch.AutoCall == 1 ? ClosePause : 0);
  PlatformLockEnter();
  int rc = PlatformSocketClose(s);
  // The channel has no socket from here on; a stale number is never used again.
  ch.Socket = NoSocket;
  if (ch.ChannelNumber < MaxChannels) ChannelTable[ch.ChannelNumber].Socket = NoSocket;
  PlatformLockLeave();
  return rc < 0 ? rc : 1;
}

void CloseChannelSocket(Channel &ch) {
  LogText(ch, "Closing socket\r\n");
  CloseSocket(ch);
}

// ---- Local host name and two small text routines ----------------------------

int GetLocalHostName(char *buffer, int size) {
  if (!buffer || size < 1) return Err::NoHostName;
  buffer[0] = 0;
  int rc = PlatformHostName(buffer, size);
  if (rc < 0) return rc;
  return buffer[0] ? 1 : Err::NoHostName;
}

uint32_t ParseDecimal(const char *text) {
  uint32_t value = 0;
  for (int i = 0; i < 10 && text[i] >= '0' && text[i] <= '9'; i++)
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  return value;
}
