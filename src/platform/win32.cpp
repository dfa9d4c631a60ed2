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

// ---- Character sets ----------------------------------------------------------

namespace {

// The code pages of the character sets that mail names commonly use.
UINT CodePageOf(const char *charset) {
  static const struct {
    const char *Name;
    UINT Page;
  } pages[] = {
      {"utf-8", 65001},        {"utf8", 65001},         {"us-ascii", 20127},     {"iso-8859-1", 28591},
      {"iso-8859-2", 28592},   {"iso-8859-3", 28593},   {"iso-8859-4", 28594},   {"iso-8859-5", 28595},
      {"iso-8859-6", 28596},   {"iso-8859-7", 28597},   {"iso-8859-8", 28598},   {"iso-8859-9", 28599},
      {"iso-8859-13", 28603},  {"iso-8859-15", 28605},  {"windows-1250", 1250},  {"windows-1251", 1251},
      {"windows-1252", 1252},  {"windows-1253", 1253},  {"windows-1254", 1254},  {"windows-1255", 1255},
      {"windows-1256", 1256},  {"windows-1257", 1257},  {"windows-1258", 1258},  {"cp1252", 1252},
      {"koi8-r", 20866},       {"koi8-u", 21866},       {"shift_jis", 932},      {"sjis", 932},
      {"cp932", 932},          {"euc-jp", 20932},       {"iso-2022-jp", 50220},  {"gb2312", 936},
      {"gbk", 936},            {"gb18030", 54936},      {"big5", 950},           {"euc-kr", 51949},
      {"ks_c_5601-1987", 949}, {"utf-7", 65000},        {"latin1", 28591},       {"tis-620", 874},
  };
  for (const auto &p : pages)
    if (lstrcmpiA(p.Name, charset) == 0) return p.Page;
  return 0;
}

}  // namespace

int PlatformToUtf8(const char *charset, const char *text, int count, char *out, int outSize) {
  if (outSize < 1) return -1;
  out[0] = '\0';
  const UINT page = CodePageOf(charset);
  if (page == 0) return -1;
  if (count <= 0) return 0;
  WCHAR wide[2048];
  const int chars = MultiByteToWideChar(page, 0, text, count > 2048 ? 2048 : count, wide, 2048);
  if (chars <= 0) return -1;
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, chars, out, outSize - 1, nullptr, nullptr);
  out[n > 0 ? n : 0] = '\0';
  return n > 0 ? n : 0;
}

void PlatformLocalName(const char *utf8, char *out, int outSize) {
  if (outSize < 1) return;
  out[0] = '\0';
  WCHAR wide[1024];
  const int chars = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 1024);
  if (chars <= 0) {
    lstrcpynA(out, utf8, outSize);
    return;
  }
  // Characters the ANSI code page lacks become "_" rather than a guess.
  BOOL lacked = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, outSize, "_", &lacked);
  if (n <= 0) lstrcpynA(out, utf8, outSize);
  out[outSize - 1] = '\0';
}

// ---- Files ----------------------------------------------------------------
// The integer-handle file calls; a kernel handle is never 0.

// The reason of the last failed file call, per thread.
static thread_local DWORD LastFileError = 0;
static int Failed() {
  LastFileError = GetLastError();
  return -1;
}

int PlatformFileCreate(const char *path) {
  if (!path) return -1;
  HFILE h = _lcreat(path, 0);
  return h == HFILE_ERROR ? Failed() : static_cast<int>(h);
}

int PlatformFileCreateNew(const char *path) {
  if (!path) return -1;
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) return -2;
    LastFileError = e;
    return -1;
  }
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

int PlatformFileOpenRead(const char *path) {
  if (!path) return -1;
  HFILE h = _lopen(path, OF_READ | OF_SHARE_DENY_NONE);
  return h == HFILE_ERROR ? Failed() : static_cast<int>(h);
}

int PlatformFileRead(int handle, void *buffer, int count) {
  if (handle <= 0 || count < 0) return -1;
  UINT n = _lread(static_cast<HFILE>(handle), buffer, static_cast<UINT>(count));
  return n == static_cast<UINT>(HFILE_ERROR) ? Failed() : static_cast<int>(n);
}

int PlatformFileWrite(int handle, const void *buffer, int count) {
  if (handle <= 0 || count < 0) return -1;
  // _lwrite with a count of 0 would truncate the file at the current position.
  if (count == 0) return 0;
  const char *p = static_cast<const char *>(buffer);
  int done = 0;
  while (done < count) {
    UINT n = _lwrite(static_cast<HFILE>(handle), p + done, static_cast<UINT>(count - done));
    if (n == static_cast<UINT>(HFILE_ERROR) || n == 0) return Failed();
    done += static_cast<int>(n);
  }
  return done;
}

int PlatformFileClose(int handle) {
  if (handle <= 0) return 0;
  return _lclose(static_cast<HFILE>(handle)) == HFILE_ERROR ? Failed() : 0;
}

int PlatformFileRemove(const char *path) { return path && DeleteFileA(path) ? 0 : -1; }

int PlatformDirWritable(const char *path) {
  const DWORD attributes = path ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    LastFileError = ERROR_DIRECTORY;
    return -1;
  }
  return 0;
}

int PlatformFileErrorText(char *out, int size) {
  if (size < 1) return 0;
  out[0] = '\0';
  DWORD n = LastFileError ? FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                           LastFileError, 0, out, static_cast<DWORD>(size), nullptr)
                          : 0;
  if (n == 0) lstrcpynA(out, "unknown error", size);
  // The system's text ends with a line break and often a full stop.
  int length = lstrlenA(out);
  while (length > 0 && (out[length - 1] == '\r' || out[length - 1] == '\n' || out[length - 1] == '.' ||
                        out[length - 1] == ' '))
    out[--length] = '\0';
  return length;
}

void PlatformSetFileFault(int (*)(int, int)) {}

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

// Windows Sockets 1.1 has no per-call "don't wait": a zero-time writability
// test first, and a socket that reports room takes the bytes.
int PlatformSocketTrySend(PlatformSocket s, const void *data, int count, bool more) {
  if (s == NoSocket) return NotASocket;
  if (!SelectOne(s, ReadyWritable, 0)) return 0;
  return PlatformSocketSend(s, data, count, more);
}

// A descriptor set of the Windows Sockets layout (a count, then the
// handles) with room for every channel: select takes any count.
struct WideSet {
  u_int Count;
  SOCKET Handles[1024];
};

int PlatformSocketWaitMany(PlatformWaitItem *items, int count, uint32_t ms) {
  if (count < 0 || count > 1024) return -10022;
  WideSet read, write, except;  // on the stack: several threads may wait at once
  read.Count = write.Count = except.Count = 0;
  for (int i = 0; i < count; i++) {
    items[i].Ready = 0;
    if (items[i].Socket == NoSocket) continue;
    WideSet &set = items[i].Kind == ReadyWritable ? write : read;
    set.Handles[set.Count++] = Handle(items[i].Socket);
    except.Handles[except.Count++] = Handle(items[i].Socket);
  }
  timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000L};
  if (read.Count + write.Count == 0) {
    Sleep(ms);  // select with no socket at all fails at once
    return 0;
  }
  int rc = select(0, reinterpret_cast<fd_set *>(&read), reinterpret_cast<fd_set *>(&write),
                  reinterpret_cast<fd_set *>(&except), &limit);
  if (rc == SOCKET_ERROR) return LastError();
  int ready = 0;
  for (int i = 0; i < count; i++) {
    if (items[i].Socket == NoSocket) continue;
    const SOCKET h = Handle(items[i].Socket);
    const bool hit = __WSAFDIsSet(h, reinterpret_cast<fd_set *>(items[i].Kind == ReadyWritable ? &write : &read)) ||
                     __WSAFDIsSet(h, reinterpret_cast<fd_set *>(&except));
    if (hit) {
      items[i].Ready = 1;
      ready++;
    }
  }
  return ready;
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
