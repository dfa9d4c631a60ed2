// Windows implementation of the platform layer: Windows Sockets 1.1
// (wsock32) with the IPv6 parts of Windows Sockets 2 where the system has
// them (loaded at run time), the kernel and the user library.
#ifdef _WIN32
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <cstring>

#include "win32_lock.h"

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

namespace {
ModuleLock TheLock;
}  // namespace

void PlatformLockInit() {}
void PlatformLockEnter() { TheLock.Enter(); }
void PlatformLockLeave() { TheLock.Leave(); }
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

const char *PlatformLegacyCharset() {
  static const struct {
    UINT Page;
    const char *Name;
  } names[] = {{874, "windows-874"},    {932, "shift_jis"},     {936, "gbk"},           {949, "ks_c_5601-1987"},
               {950, "big5"},           {1250, "windows-1250"}, {1251, "windows-1251"}, {1253, "windows-1253"},
               {1254, "windows-1254"},  {1255, "windows-1255"}, {1256, "windows-1256"}, {1257, "windows-1257"},
               {1258, "windows-1258"}};
  const UINT page = GetACP();
  for (const auto &n : names)
    if (n.Page == page) return n.Name;
  return "windows-1252";
}

// IdnToAscii (normaliz.dll before Vista's kernel32) is looked up at run time,
// so the DLL still loads where it is missing; then no name is converted.
int PlatformDomainToAscii(const char *utf8, char *out, int outSize) {
  using IdnToAsciiCall = int(WINAPI *)(DWORD, LPCWSTR, int, LPWSTR, int);
  static IdnToAsciiCall call = [] {
    HMODULE module = GetModuleHandleA("kernel32.dll");
    FARPROC f = module ? GetProcAddress(module, "IdnToAscii") : nullptr;
    if (!f && (module = LoadLibraryA("normaliz.dll")) != nullptr) f = GetProcAddress(module, "IdnToAscii");
    return reinterpret_cast<IdnToAsciiCall>(reinterpret_cast<void *>(f));
  }();
  if (!call || !utf8 || outSize < 1) return -1;
  WCHAR wide[256], ascii[256];
  const int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, 256);
  if (chars <= 0) return -1;
  const int n = call(0, wide, -1, ascii, 256);
  if (n <= 0) return -1;
  const int length = WideCharToMultiByte(CP_ACP, 0, ascii, -1, out, outSize, nullptr, nullptr);
  return length > 0 ? length - 1 : -1;
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

int64_t PlatformFileSize(const char *path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
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

// SOCKET is pointer-sized (64 bits in KEL64.dll), while the library and its
// interface (kelStatistics KEL_STAT_SOCKET) carry a socket as a signed
// 32-bit int: only handles from 0 to 2^31 - 1 pass.
PlatformSocket PlatformSocketFromHandle(uintptr_t handle) {
  if (handle > static_cast<uintptr_t>(INT32_MAX)) return NoSocket;
  return static_cast<PlatformSocket>(handle);
}

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

namespace {

// A TCP socket of the given address family, fitted to the interface's handle.
PlatformSocket OpenTcpSocket(int af) {
  SOCKET s = socket(af, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return NoSocket;
  // Commands and replies alternate: a small segment must not wait for the
  // peer's delayed acknowledgement.
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
  const PlatformSocket fitted = PlatformSocketFromHandle(s);
  // A handle the interface cannot carry whole is never used cut short: the
  // socket goes, and the connect fails as one that got no socket (-7).
  if (fitted == NoSocket) {
    closesocket(s);
    WSASetLastError(WSAEMFILE);
  }
  return fitted;
}

}  // namespace

PlatformSocket PlatformSocketOpen() { return OpenTcpSocket(AF_INET); }

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

// ---- Addresses: IPv4 everywhere, IPv6 where Windows Sockets 2 has it ----
// The DLL imports Windows Sockets 1.1 only, so it loads on every system.
// The name lookup of Windows Sockets 2 (getaddrinfo, which gives AAAA and A
// records) is taken from ws2_32.dll at run time; IPv6 sockets are opened
// through the 1.1 calls, which reach the same provider. Without ws2_32.dll
// or without an IPv6 stack the layer works as before: IPv4 only, names
// through gethostbyname. The text forms are read and written here, not by
// inet_pton/inet_ntop, which older systems lack.

namespace {

constexpr int Af6 = 23;  // AF_INET6 of Windows Sockets 2

// The IPv6 socket address of Windows Sockets 2 (sockaddr_in6), 28 bytes.
struct SocketAddress6 {
  uint16_t Family;
  uint16_t Port;  // network order
  uint32_t FlowInfo;
  uint8_t Address[16];
  uint32_t ScopeId;
};
static_assert(sizeof(SocketAddress6) == 28, "sockaddr_in6 layout");

// addrinfo of Windows Sockets 2.
struct AddressInfo {
  int Flags, Family, SocketType, Protocol;
  size_t AddressLength;
  char *CanonicalName;
  sockaddr *Address;
  AddressInfo *Next;
};

using GetAddrInfoFn = int(WINAPI *)(const char *, const char *, const AddressInfo *, AddressInfo **);
using FreeAddrInfoFn = void(WINAPI *)(AddressInfo *);

struct Winsock2 {
  GetAddrInfoFn GetAddrInfo = nullptr;
  FreeAddrInfoFn FreeAddrInfo = nullptr;
};

// Loaded once, on first use (never from DllMain), and kept for the life of
// the process: the 1.1 calls of this module run on it anyway.
const Winsock2 &Ws2() {
  static const Winsock2 loaded = [] {
    Winsock2 w;
    HMODULE module = LoadLibraryA("ws2_32.dll");
    if (!module) return w;
    // Through the generic function type, which converts to any other.
    auto gai = reinterpret_cast<void (*)()>(GetProcAddress(module, "getaddrinfo"));
    auto fai = reinterpret_cast<void (*)()>(GetProcAddress(module, "freeaddrinfo"));
    if (gai && fai) {
      w.GetAddrInfo = reinterpret_cast<GetAddrInfoFn>(gai);
      w.FreeAddrInfo = reinterpret_cast<FreeAddrInfoFn>(fai);
    }
    return w;
  }();
  return loaded;
}

// 1 when an IPv6 socket opens here, 0 when not; not known (-1) until the
// network is started, for a socket call before that fails for that alone.
volatile LONG Ipv6Known = -1;

bool Ipv6Sockets() {
  const LONG known = Ipv6Known;
  if (known >= 0) return known == 1;
  const SOCKET s = socket(Af6, SOCK_STREAM, IPPROTO_TCP);
  LONG now = 1;
  if (s != INVALID_SOCKET) closesocket(s);
  else if (WSAGetLastError() == WSANOTINITIALISED) return false;
  else now = 0;
  InterlockedExchange(&Ipv6Known, now);
  return now == 1;
}

}  // namespace

// The four dotted decimal parts of an IPv4 address, each 0-255. strict:
// no part with a leading zero (as in the tail of an IPv6 address, where
// inet_pton refuses them too).
static bool ParseDotted4(const char *text, uint8_t out[4], bool strict = false) {
  int parts = 0;
  unsigned value = 0;
  bool digit = false;
  for (const char *p = text;; p++) {
    if (*p >= '0' && *p <= '9') {
      if (strict && digit && value == 0) return false;
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (value > 255) return false;
      digit = true;
    } else if (*p == '.' || *p == 0) {
      if (!digit || parts == 4) return false;
      out[parts++] = static_cast<uint8_t>(value);
      value = 0;
      digit = false;
      if (*p == 0) break;
    } else {
      return false;
    }
  }
  return parts == 4;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text form of an IPv6 address: eight groups of one to four hex digits
// separated by ":", one "::" standing for one or more zero groups, and the
// last two groups optionally as a dotted IPv4 address ("::ffff:10.0.0.1").
// No zone ("%eth0").
static bool ParseIpv6(const char *text, uint8_t out[16]) {
  uint16_t groups[8] = {};
  int count = 0, gap = -1;
  const char *p = text;
  if (p[0] == ':') {
    if (p[1] != ':') return false;
    gap = 0;
    p += 2;
  }
  while (*p) {
    // A dotted tail: a "." before the next ":" or the end.
    const char *q = p;
    while (*q && *q != ':' && *q != '.') q++;
    if (*q == '.') {
      uint8_t v4[4];
      if (count > 6 || !ParseDotted4(p, v4, true)) return false;
      groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      break;
    }
    unsigned value = 0;
    int digits = 0;
    for (int d; (d = HexDigit(*p)) >= 0; p++) {
      if (++digits > 4) return false;
      value = value << 4 | static_cast<unsigned>(d);
    }
    if (digits == 0 || count == 8) return false;
    groups[count++] = static_cast<uint16_t>(value);
    if (*p == 0) break;
    if (*p != ':') return false;
    p++;
    if (*p == ':') {
      if (gap >= 0) return false;
      gap = count;
      p++;
    } else if (*p == 0) {
      return false;  // a single ":" at the end
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  // The groups after the gap move to the end; the gap is zeros.
  uint16_t full[8] = {};
  const int tail = gap < 0 ? 0 : count - gap;
  for (int i = 0; i < count - tail; i++) full[i] = groups[i];
  for (int i = 0; i < tail; i++) full[8 - tail + i] = groups[count - tail + i];
  for (int i = 0; i < 8; i++) {
    out[2 * i] = static_cast<uint8_t>(full[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(full[i]);
  }
  return true;
}

// The shortest text form, as inet_ntop writes it: lower-case hex without
// leading zeros, the first longest run of two or more zero groups as "::",
// and an IPv4-mapped or -compatible address with its dotted tail. At most
// 45 characters and a NUL.
static int FormatIpv6(const uint8_t bytes[16], char out[46]) {
  unsigned words[8];
  for (int i = 0; i < 8; i++) words[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  int bestBase = -1, bestLength = 0;
  for (int i = 0; i < 8;) {
    if (words[i] != 0) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && words[j] == 0) j++;
    if (j - i > bestLength) {
      bestBase = i;
      bestLength = j - i;
    }
    i = j;
  }
  if (bestLength < 2) bestBase = -1;
  int n = 0;
  for (int i = 0; i < 8; i++) {
    if (bestBase >= 0 && i >= bestBase && i < bestBase + bestLength) {
      if (i == bestBase) out[n++] = ':';
      continue;
    }
    if (i != 0) out[n++] = ':';
    if (i == 6 && bestBase == 0 &&
        (bestLength == 6 || (bestLength == 7 && words[7] != 1) || (bestLength == 5 && words[5] == 0xffff))) {
      n += snprintf(out + n, static_cast<size_t>(46 - n), "%u.%u.%u.%u", bytes[12], bytes[13], bytes[14], bytes[15]);
      return n;
    }
    n += snprintf(out + n, static_cast<size_t>(46 - n), "%x", words[i]);
  }
  if (bestBase >= 0 && bestBase + bestLength == 8) out[n++] = ':';
  out[n] = 0;
  return n;
}

int PlatformParseAddress(const char *text, PlatformAddress *out) {
  if (!text || !out) return 0;
  *out = PlatformAddress{};
  const size_t length = strlen(text);
  if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {
    char inner[64];
    if (length - 2 >= sizeof inner) return 0;
    memcpy(inner, text + 1, length - 2);
    inner[length - 2] = 0;
    if (!ParseIpv6(inner, out->Bytes)) return 0;
    out->Family = 6;
    return 1;
  }
  if (ParseDotted4(text, out->Bytes)) {
    out->Family = 4;
    return 1;
  }
  if (ParseIpv6(text, out->Bytes)) {
    out->Family = 6;
    return 1;
  }
  *out = PlatformAddress{};
  return 0;
}

static int (*AddressResolver)(const char *, PlatformAddress *, int) = nullptr;
void PlatformSetAddressResolver(int (*resolver)(const char *, PlatformAddress *, int)) { AddressResolver = resolver; }

// Every address through getaddrinfo of Windows Sockets 2: the count, or
// the negated error (its errors are the Windows Sockets numbers).
static int ResolveThroughWinsock2(const Winsock2 &ws2, const char *name, PlatformAddress *out, int max) {
  const bool ipv6 = Ipv6Sockets();
  AddressInfo hints{};
  hints.Family = ipv6 ? 0 : AF_INET;  // AF_UNSPEC: AAAA and A
  hints.SocketType = SOCK_STREAM;
  hints.Flags = 0x400;  // AI_ADDRCONFIG: only the families this host has addresses of
  AddressInfo *list = nullptr;
  int rc = ws2.GetAddrInfo(name, nullptr, &hints, &list);
  if (rc == WSAEINVAL) {  // a system older than the flag
    hints.Flags = 0;
    list = nullptr;
    rc = ws2.GetAddrInfo(name, nullptr, &hints, &list);
  }
  if (rc != 0) return -rc;
  int count = 0;
  for (AddressInfo *a = list; a && count < max; a = a->Next) {
    if (!a->Address) continue;
    PlatformAddress &to = out[count];
    to = PlatformAddress{};
    if (a->Family == AF_INET && a->AddressLength >= sizeof(sockaddr_in)) {
      to.Family = 4;
      memcpy(to.Bytes, &reinterpret_cast<const sockaddr_in *>(a->Address)->sin_addr, 4);
    } else if (a->Family == Af6 && ipv6 && a->AddressLength >= sizeof(SocketAddress6)) {
      to.Family = 6;
      memcpy(to.Bytes, reinterpret_cast<const SocketAddress6 *>(a->Address)->Address, 16);
    } else {
      continue;
    }
    // The same address may come once per protocol: keep it once.
    bool seen = false;
    for (int k = 0; k < count && !seen; k++)
      seen = out[k].Family == to.Family && memcmp(out[k].Bytes, to.Bytes, 16) == 0;
    if (!seen) count++;
  }
  ws2.FreeAddrInfo(list);
  return count;
}

int PlatformResolveAll(const char *name, PlatformAddress *out, int max) {
  if (!name || !out || max < 1) return 0;
  if (PlatformParseAddress(name, out)) return 1;
  if (AddressResolver) return AddressResolver(name, out, max);
  const Winsock2 &ws2 = Ws2();
  if (!Resolver && ws2.GetAddrInfo) return ResolveThroughWinsock2(ws2, name, out, max);
  // A test's IPv4 resolver, or a system with Windows Sockets 1.1 only: one address.
  uint32_t v4 = 0;
  const int rc = PlatformResolve(name, &v4);
  if (rc < 1) return rc;
  out->Family = 4;
  out->Bytes[0] = static_cast<uint8_t>(v4 >> 24);
  out->Bytes[1] = static_cast<uint8_t>(v4 >> 16);
  out->Bytes[2] = static_cast<uint8_t>(v4 >> 8);
  out->Bytes[3] = static_cast<uint8_t>(v4);
  return 1;
}

int PlatformFormatAddress(const PlatformAddress &address, char *buffer, int size) {
  if (!buffer || size < 1) return 0;
  buffer[0] = 0;
  char text[46];
  int length;
  if (address.Family == 6) {
    length = FormatIpv6(address.Bytes, text);
  } else if (address.Family == 4) {
    length = snprintf(text, sizeof text, "%u.%u.%u.%u", address.Bytes[0], address.Bytes[1], address.Bytes[2],
                      address.Bytes[3]);
  } else {
    return 0;
  }
  if (length < 0 || length >= size) return 0;
  memcpy(buffer, text, static_cast<size_t>(length) + 1);
  return length;
}

PlatformSocket PlatformSocketOpenFor(int family) {
  if (family == 4) return PlatformSocketOpen();
  if (family != 6 || !Ipv6Sockets()) return NoSocket;
  return OpenTcpSocket(Af6);
}

int PlatformSocketConnectTo(PlatformSocket s, const PlatformAddress &address, uint16_t port) {
  if (address.Family == 6) {
    if (s == NoSocket) return NotASocket;
    SocketAddress6 sa{};
    sa.Family = Af6;
    sa.Port = htons(port);
    memcpy(sa.Address, address.Bytes, 16);
    return connect(Handle(s), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0 ? 0 : LastError();
  }
  if (address.Family != 4) return -10047;  // address family not supported
  uint8_t sa[16] = {2, 0, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  memcpy(sa + 4, address.Bytes, 4);
  return PlatformSocketConnect(s, sa);
}

int PlatformSocketLocalAddressOf(PlatformSocket s, PlatformAddress *address) {
  if (s == NoSocket) return NotASocket;
  // Room for any socket address (sockaddr_storage): the family in its first
  // two bytes (little-endian), the IPv4 address at 4, the IPv6 one at 8.
  alignas(8) uint8_t sa[128] = {};
  int len = sizeof sa;
  if (getsockname(Handle(s), reinterpret_cast<sockaddr *>(sa), &len) != 0) return LastError();
  *address = PlatformAddress{};
  if ((sa[0] | sa[1] << 8) == Af6 && len >= static_cast<int>(sizeof(SocketAddress6))) {
    address->Family = 6;
    memcpy(address->Bytes, sa + 8, 16);
  } else {
    address->Family = 4;
    memcpy(address->Bytes, sa + 4, 4);
  }
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

int PlatformSocketWriteState(PlatformSocket s) {
  if (PlatformSocketReady(s, ReadyException) == 1) return ReadyException;
  return PlatformSocketReady(s, ReadyWritable) == 1 ? ReadyWritable : 0;
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
    const bool failed = __WSAFDIsSet(h, reinterpret_cast<fd_set *>(&except));
    const bool hit = __WSAFDIsSet(h, reinterpret_cast<fd_set *>(items[i].Kind == ReadyWritable ? &write : &read)) || failed;
    if (hit) {
      items[i].Ready = failed ? 2 : 1;
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
