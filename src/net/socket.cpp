// The socket layer: every socket operation of a channel, over the platform
// sockets. Readiness is only ever tested with a zero time-out; a wait with a
// limit waits on the socket for at most the sleep time per pass, so it sees
// data at once and still never outlasts its limit.
#include "socket.h"

#include "ring.h"

#include <cstring>

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

int ResolveServer(Channel &ch) {
  uint32_t address = 0;
  int rc = PlatformResolve(ch.Server, &address);
  if (rc < 0) return rc;
  if (rc == 0 || address == 0) return 0;
  ch.ServerAddr = address;
  return 1;
}

int OpenSocket(uint32_t channel) {
  Channel *ch = ChannelOf(channel);
  if (!ch) return -7;
  // A socket still held from an earlier connection is the channel's own:
  // end it rather than lose it.
  if (ch->Socket != NoSocket) {
    PlatformLockEnter();
    PlatformSocketClose(ch->Socket);
    PlatformLockLeave();
    ch->Socket = NoSocket;
    ChannelTable[channel].Socket = NoSocket;
  }
  PlatformLockEnter();
  PlatformSocket s = PlatformSocketOpen();
  PlatformLockLeave();
  if (s == NoSocket) return -7;
  if (ch->NonBlockConnect) {
    ch->NonBlockArg = 1;
    PlatformSocketSetNonBlocking(s, true);
  }
  ChannelTable[channel].Socket = s;
  ch->Socket = s;
  return s;
}

int ConnectSocket(uint32_t channel, uint32_t address, uint16_t port) {
  Channel *ch = ChannelOf(channel);
  if (!ch) return -10038;
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
  if (rc == 0 || rc == -10035) return 1;  // made, or under way on a non-blocking socket
  return rc;
}

// ---- Readiness -------------------------------------------------------------------

int SocketReady(Channel &ch, int kind) {
  if (kind < ReadyReadable || kind > ReadyException) return -5;
  PlatformLockEnter();
  int ready = PlatformSocketReady(ch.Socket, kind);
  PlatformLockLeave();
  return ready;
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

int AwaitWritable(Channel &ch, uint32_t ms) {
  Tick deadline = 0;
  for (bool first = true;; first = false) {
    if (SocketReady(ch, ReadyException) == 1) return 0;
    if (SocketReady(ch, ReadyWritable) == 1) return 1;
    const Tick now = PlatformTick();
    if (first) deadline = now + ms;
    if (!TickAfter(deadline, now)) return 0;
    PlatformSocketWait(ch.Socket, ReadyWritable, PassWait(deadline, now));
  }
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
    PlatformSocketWait(ch.Socket, ReadyReadable, PassWait(deadline, now));
  }
}

// ---- Sending -------------------------------------------------------------------------

int SendBytes(Channel &ch, const void *bytes, int count) {
  int sent = PlatformSocketSend(ch.Socket, bytes, count, ch.MoreToFollow != 0);
  if (sent < 0) return sent;
  LogData(ch, "S: ", bytes, count);
  return sent;
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
  if (s == NoSocket) return PlatformSocketClose(s);  // fails as a closed handle does, touching nothing
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
  if (!buffer || size < 1) return -12;
  buffer[0] = 0;
  int rc = PlatformHostName(buffer, size);
  if (rc < 0) return rc;
  return buffer[0] ? 1 : -12;
}

uint32_t ParseDecimal(const char *text) {
  uint32_t value = 0;
  for (int i = 0; i < 10 && text[i] >= '0' && text[i] <= '9'; i++)
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  return value;
}

const char *FileNameOf(const char *path) {
  if (!path) return path;
  // The first character is never taken as a separator. The slash counts
  // too, so a local path never leaks into a name on this system.
  for (size_t i = strlen(path); i > 1; i--) {
    char c = path[i - 1];
    if (c == '\\' || c == ':' || c == '/') return path + i;
  }
  return path;
}
