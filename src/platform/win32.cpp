// Windows implementation of the platform layer: Windows Sockets 1.1
// (wsock32), the kernel and the user library.
#ifdef _WIN32
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <cstring>

// ---- Time -------------------------------------------------------------

static uint32_t (*TickSource)() = nullptr;
static void (*LocalTimeSource)(PlatformLocalTime &) = nullptr;

uint32_t PlatformTick() {
  if (TickSource) return TickSource();
  return GetTickCount();
}

// Sleep(0) gives the rest of the time slice away.
void PlatformSleep(uint32_t ms) { Sleep(ms); }

void PlatformGetLocalTime(PlatformLocalTime &out) {
  if (LocalTimeSource) {
    LocalTimeSource(out);
    return;
  }
  SYSTEMTIME t{};
  GetLocalTime(&t);
  out.Year = t.wYear;
  out.Month = t.wMonth;
  out.DayOfWeek = t.wDayOfWeek;
  out.Day = t.wDay;
  out.Hour = t.wHour;
  out.Minute = t.wMinute;
  out.Second = t.wSecond;
  // The bias is what local time adds to reach UTC, in minutes; the part for
  // the season in effect is added to it.
  TIME_ZONE_INFORMATION zone{};
  const DWORD kind = GetTimeZoneInformation(&zone);
  long bias = zone.Bias;
  if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  else if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  out.UtcOffsetMinutes = kind == TIME_ZONE_ID_INVALID ? 0 : static_cast<int>(-bias);
  out.Daylight = kind == TIME_ZONE_ID_DAYLIGHT ? 1 : 0;
}

void PlatformSetTickSource(uint32_t (*source)()) { TickSource = source; }
void PlatformSetLocalTimeSource(void (*source)(PlatformLocalTime &)) { LocalTimeSource = source; }

// ---- The one lock ---------------------------------------------------------
// The critical section lives as long as the module: it is made when the DLL
// (or program) is loaded and deleted when it goes, so a call that enters it
// before the first attach or after a release still finds it initialised.

namespace {
struct ModuleLock {
  CRITICAL_SECTION Section;
  ModuleLock() { InitializeCriticalSection(&Section); }
  ~ModuleLock() { DeleteCriticalSection(&Section); }
  ModuleLock(const ModuleLock &) = delete;
  ModuleLock &operator=(const ModuleLock &) = delete;
};
ModuleLock TheLock;
}  // namespace

void PlatformLockInit() {}
void PlatformLockEnter() { EnterCriticalSection(&TheLock.Section); }
void PlatformLockLeave() { LeaveCriticalSection(&TheLock.Section); }
void PlatformLockDelete() {}

// ---- Zero-filled memory blocks ----------------------------------------------
// Fixed blocks: the library keeps the locked pointer for the life of the block.

static int FailAfter = 0;

uintptr_t PlatformBlockAlloc(size_t size) {
  if (FailAfter > 0 && --FailAfter == 0) return 0;
  return reinterpret_cast<uintptr_t>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size ? size : 1));
}
void *PlatformBlockLock(uintptr_t handle) { return GlobalLock(reinterpret_cast<HGLOBAL>(handle)); }
void PlatformBlockUnlock(uintptr_t handle) { GlobalUnlock(reinterpret_cast<HGLOBAL>(handle)); }
void PlatformBlockFree(uintptr_t handle) {
  if (handle) GlobalFree(reinterpret_cast<HGLOBAL>(handle));
}
void PlatformFailAllocationAfter(int n) { FailAfter = n; }

// ---- Files ----------------------------------------------------------------
// The integer-handle file calls; a kernel handle is never 0.

int PlatformFileCreate(const char *path) {
  if (!path) return -1;
  HFILE h = _lcreat(path, 0);
  return h == HFILE_ERROR ? -1 : static_cast<int>(h);
}

int PlatformFileOpenRead(const char *path) {
  if (!path) return -1;
  HFILE h = _lopen(path, OF_READ | OF_SHARE_DENY_NONE);
  return h == HFILE_ERROR ? -1 : static_cast<int>(h);
}

int PlatformFileRead(int handle, void *buffer, int count) {
  if (handle <= 0 || count < 0) return -1;
  UINT n = _lread(static_cast<HFILE>(handle), buffer, static_cast<UINT>(count));
  return n == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int>(n);
}

int PlatformFileWrite(int handle, const void *buffer, int count) {
  if (handle <= 0 || count < 0) return -1;
  // _lwrite with a count of 0 would truncate the file at the current position.
  if (count == 0) return 0;
  const char *p = static_cast<const char *>(buffer);
  int done = 0;
  while (done < count) {
    UINT n = _lwrite(static_cast<HFILE>(handle), p + done, static_cast<UINT>(count - done));
    if (n == static_cast<UINT>(HFILE_ERROR) || n == 0) return -1;
    done += static_cast<int>(n);
  }
  return done;
}

void PlatformFileClose(int handle) {
  if (handle > 0) _lclose(static_cast<HFILE>(handle));
}

// ---- Message box --------------------------------------------------------------

static void (*MessageBoxSink)(const char *, const char *, unsigned) = nullptr;

void PlatformMessageBox(const char *text, const char *title, unsigned style) {
  if (MessageBoxSink) {
    MessageBoxSink(text, title, style);
    return;
  }
  MessageBoxA(nullptr, text, title, style);
}

void PlatformSetMessageBoxSink(void (*sink)(const char *, const char *, unsigned)) {
  MessageBoxSink = sink;
}

// ---- Sockets ----------------------------------------------------------------

static int LastError() { return -WSAGetLastError(); }
static const int NotASocket = -10038;

static SOCKET Handle(PlatformSocket s) { return static_cast<SOCKET>(static_cast<uint32_t>(s)); }

int PlatformNetStart() {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(1, 1), &data);
  return rc == 0 ? 0 : -rc;
}

void PlatformNetStop() { WSACleanup(); }

int PlatformHostName(char *buffer, int size) {
  if (!buffer || size < 1) return -10014;
  buffer[0] = 0;
  if (gethostname(buffer, size) != 0) {
    buffer[0] = 0;
    return LastError();
  }
  buffer[size - 1] = 0;
  return 0;
}

// The socket feed of the POSIX tests is not used on this system.
void PlatformSetSocketFeed(const PlatformSocketFeed *) {}

static int (*Resolver)(const char *, uint32_t *) = nullptr;
void PlatformSetResolver(int (*resolver)(const char *, uint32_t *)) { Resolver = resolver; }

int PlatformResolve(const char *name, uint32_t *addressHostOrder) {
  if (Resolver) return Resolver(name, addressHostOrder);
  if (!name) return -11001;
  const hostent *entry = gethostbyname(name);
  if (!entry) return LastError();
  if (entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list ||
      !entry->h_addr_list[0])
    return 0;
  uint32_t address;
  memcpy(&address, entry->h_addr_list[0], 4);
  address = ntohl(address);
  if (address == 0) return 0;
  *addressHostOrder = address;
  return 1;
}

PlatformSocket PlatformSocketOpen() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return NoSocket;
  // Commands and replies alternate: a small segment must not wait for the
  // peer's delayed acknowledgement.
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
  return static_cast<PlatformSocket>(static_cast<uint32_t>(s));
}

int PlatformSocketSetNonBlocking(PlatformSocket s, bool on) {
  if (s == NoSocket) return NotASocket;
  u_long mode = on ? 1 : 0;
  return ioctlsocket(Handle(s), FIONBIO, &mode) == 0 ? 0 : LastError();
}

int PlatformSocketConnect(PlatformSocket s, const uint8_t address[16]) {
  if (s == NoSocket) return NotASocket;
  sockaddr_in sa{};
  memcpy(&sa, address, sizeof sa);
  sa.sin_family = AF_INET;
  return connect(Handle(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : LastError();
}

int PlatformSocketLocalAddress(PlatformSocket s, uint8_t address[16]) {
  if (s == NoSocket) return NotASocket;
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getsockname(Handle(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return LastError();
  memcpy(address, &sa, 16);
  address[0] = 2;  // the family as the 16-bit little-endian word of the socket address
  address[1] = 0;
  return 0;
}

// One socket alone in the set of the asked kind. A select that fails leaves
// the set as it was, so the socket counts as ready and the next send or
// receive reports the failure.
static int SelectOne(PlatformSocket s, int kind, uint32_t ms) {
  fd_set read, write, except;
  FD_ZERO(&read);
  FD_ZERO(&write);
  FD_ZERO(&except);
  fd_set *set = kind == ReadyReadable ? &read : kind == ReadyWritable ? &write : &except;
  FD_SET(Handle(s), set);
  timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000L};
  select(0, &read, &write, &except, &limit);
  return FD_ISSET(Handle(s), set) ? 1 : 0;
}

int PlatformSocketReady(PlatformSocket s, int kind) {
  if (s == NoSocket) return 1;
  if (kind != ReadyReadable && kind != ReadyWritable && kind != ReadyException) return 0;
  return SelectOne(s, kind, 0);
}

int PlatformSocketWait(PlatformSocket s, int kind, uint32_t ms) {
  if (s == NoSocket) return 1;
  return SelectOne(s, kind == ReadyWritable ? ReadyWritable : ReadyReadable, ms);
}

// No SIGPIPE here, and no way to hold a partial segment back: "more" has no effect.
int PlatformSocketSend(PlatformSocket s, const void *data, int count, bool) {
  if (s == NoSocket) return NotASocket;
  int n = send(Handle(s), static_cast<const char *>(data), count, 0);
  return n == SOCKET_ERROR ? LastError() : n;
}

int PlatformSocketRecv(PlatformSocket s, void *buffer, int count) {
  if (s == NoSocket) return NotASocket;
  int n = recv(Handle(s), static_cast<char *>(buffer), count, 0);
  return n == SOCKET_ERROR ? LastError() : n;
}

// The default close is graceful and returns at once: unsent data still goes.
int PlatformSocketClose(PlatformSocket s) {
  if (s == NoSocket) return NotASocket;
  return closesocket(Handle(s)) == 0 ? 0 : LastError();
}

#endif  // _WIN32
