// POSIX implementation of the platform layer.
#ifndef _WIN32
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iconv.h>
#include <idn2.h>
#include <sys/stat.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- Time -------------------------------------------------------------

static uint32_t (*TickSource)() = nullptr;
static void (*LocalTimeSource)(PlatformLocalTime &) = nullptr;

uint32_t PlatformTick() {
  if (TickSource) return TickSource();
  // The coarse clock: a step reads the tick each time (a line of a body is
  // a step), and its few milliseconds of grain are finer than the tick
  // count the interface has always been measured in.
  timespec ts;
#ifdef CLOCK_MONOTONIC_COARSE
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#else
  clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void PlatformSleep(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void PlatformGetLocalTime(PlatformLocalTime &out) {
  if (LocalTimeSource) {
    LocalTimeSource(out);
    return;
  }
  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  out.Year = t.tm_year + 1900;
  out.Month = t.tm_mon + 1;
  out.DayOfWeek = t.tm_wday;
  out.Day = t.tm_mday;
  out.Hour = t.tm_hour;
  out.Minute = t.tm_min;
  out.Second = t.tm_sec;
  out.UtcOffsetMinutes = static_cast<int>(t.tm_gmtoff / 60);
  out.Daylight = t.tm_isdst > 0 ? 1 : 0;
}

void PlatformSetTickSource(uint32_t (*source)()) { TickSource = source; }
void PlatformSetLocalTimeSource(void (*source)(PlatformLocalTime &)) { LocalTimeSource = source; }

// ---- The one lock ---------------------------------------------------------
// A recursive mutex, as a critical section may be re-entered by its owner.

static std::recursive_mutex TheLock;
void PlatformLockInit() {}
void PlatformLockEnter() { TheLock.lock(); }
void PlatformLockLeave() { TheLock.unlock(); }
void PlatformLockDelete() {}

// ---- Zero-filled memory blocks ----------------------------------------------

static int FailAfter = 0;

uintptr_t PlatformBlockAlloc(size_t size) {
  if (FailAfter > 0 && --FailAfter == 0) return 0;
  return reinterpret_cast<uintptr_t>(calloc(1, size ? size : 1));
}
void *PlatformBlockLock(uintptr_t handle) { return reinterpret_cast<void *>(handle); }
void PlatformBlockUnlock(uintptr_t) {}
void PlatformBlockFree(uintptr_t handle) { free(reinterpret_cast<void *>(handle)); }
void PlatformFailAllocationAfter(int n) { FailAfter = n; }

// ---- Character sets ----------------------------------------------------------

int PlatformToUtf8(const char *charset, const char *text, int count, char *out, int outSize) {
  if (outSize < 1) return -1;
  out[0] = '\0';
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  char *in = const_cast<char *>(text);
  size_t inLeft = count > 0 ? static_cast<size_t>(count) : 0;
  char *to = out;
  size_t toLeft = static_cast<size_t>(outSize - 1);
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &to, &toLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG || toLeft < 3) break;
    // A byte the set cannot take: U+FFFD in its place, then on.
    *to++ = '\xEF';
    *to++ = '\xBF';
    *to++ = '\xBD';
    toLeft -= 3;
    ++in;
    --inLeft;
  }
  iconv(cd, nullptr, nullptr, &to, &toLeft);
  iconv_close(cd);
  *to = '\0';
  return static_cast<int>(to - out);
}

const char *PlatformLegacyCharset() { return "iso-8859-1"; }

int PlatformDomainToAscii(const char *utf8, char *out, int outSize) {
  if (!utf8 || outSize < 1) return -1;
  char *converted = nullptr;
  if (idn2_to_ascii_8z(utf8, &converted, IDN2_NONTRANSITIONAL) != IDN2_OK || !converted) {
    // Names IDNA2008 refuses outright but TR46 maps (upper case, some symbols).
    if (idn2_to_ascii_8z(utf8, &converted, IDN2_TRANSITIONAL) != IDN2_OK || !converted) return -1;
  }
  const size_t length = strlen(converted);
  const int rc = length < static_cast<size_t>(outSize) ? static_cast<int>(length) : -1;
  if (rc >= 0) memcpy(out, converted, length + 1);
  idn2_free(converted);
  return rc;
}

void PlatformLocalName(const char *utf8, char *out, int outSize) {
  if (outSize < 1) return;
  snprintf(out, static_cast<size_t>(outSize), "%s", utf8);
}

// ---- Files ----------------------------------------------------------------

// Handle 0 means "none" to the library, so a descriptor 0 is moved elsewhere.
static int KeepNonZero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved;
}

// The reason of the last failed file call, per thread: channels run on threads of their own.
static thread_local int LastFileError = 0;
static int (*FileFault)(int op, int handle) = nullptr;
void PlatformSetFileFault(int (*fault)(int op, int handle)) { FileFault = fault; }

// A fault the test seam asks for: true when the call is to fail (errno set).
static bool Faulted(int op, int handle) {
  const int e = FileFault ? FileFault(op, handle) : 0;
  if (e == 0) return false;
  errno = LastFileError = e;
  return true;
}

static int Failed() {
  LastFileError = errno;
  return -1;
}

int PlatformFileCreate(const char *path) {
  if (!path) return -1;
  if (Faulted(FileOpCreate, 0)) return -1;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd < 0 ? Failed() : KeepNonZero(fd);
}

int PlatformFileCreateNew(const char *path) {
  if (!path) return -1;
  if (Faulted(FileOpCreate, 0)) return -1;
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST ? -2 : Failed();
  return KeepNonZero(fd);
}

int PlatformFileOpenRead(const char *path) {
  if (!path) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  return fd < 0 ? Failed() : KeepNonZero(fd);
}

int64_t PlatformFileSize(const char *path) {
  struct stat st;
  if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

int PlatformFileRead(int handle, void *buffer, int count) {
  if (handle <= 0 || count < 0) return -1;
  ssize_t n;
  do n = read(handle, buffer, static_cast<size_t>(count));
  while (n < 0 && errno == EINTR);
  return n < 0 ? Failed() : static_cast<int>(n);
}

int PlatformFileWrite(int handle, const void *buffer, int count) {
  if (handle <= 0 || count < 0) return -1;
  if (Faulted(FileOpWrite, handle)) return -1;
  const char *p = static_cast<const char *>(buffer);
  int done = 0;
  while (done < count) {
    ssize_t n = write(handle, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed();
    }
    done += static_cast<int>(n);
  }
  return done;
}

int PlatformFileClose(int handle) {
  if (handle <= 0) return 0;
  const bool fault = Faulted(FileOpClose, handle);
  // The descriptor is released whatever close reports (EINTR included).
  if (close(handle) != 0 && errno != EINTR) return Failed();
  return fault ? -1 : 0;
}

int PlatformFileRemove(const char *path) {
  if (!path || unlink(path) != 0) return -1;
  return 0;
}

int PlatformDirWritable(const char *path) {
  struct stat info;
  if (!path || stat(path, &info) != 0) return Failed();
  if (!S_ISDIR(info.st_mode)) {
    LastFileError = ENOTDIR;
    return -1;
  }
  // access() sees read-only mounts and, for other users, the permissions.
  return access(path, W_OK | X_OK) == 0 ? 0 : Failed();
}

// The GNU strerror_r returns the text; the XSI one fills the buffer.
[[maybe_unused]] static const char *ErrorTextOf(const char *result, const char *) { return result; }
[[maybe_unused]] static const char *ErrorTextOf(int result, const char *buffer) { return result == 0 ? buffer : "unknown error"; }

int PlatformFileErrorText(char *out, int size) {
  if (size < 1) return 0;
  const int e = LastFileError;
  char buffer[256];
  const char *text = e ? buffer : "unknown error";
  if (e) {
    buffer[0] = '\0';
    text = ErrorTextOf(strerror_r(e, buffer, sizeof buffer), buffer);
  }
  snprintf(out, static_cast<size_t>(size), "%s", text);
  return static_cast<int>(strlen(out));
}

// ---- Message box --------------------------------------------------------------

static void (*MessageBoxSink)(const char *, const char *, unsigned) = nullptr;

void PlatformMessageBox(const char *text, const char *title, unsigned style) {
  if (MessageBoxSink) {
    MessageBoxSink(text, title, style);
    return;
  }
  fprintf(stderr, "[%s] %s\n", title, text);
}

void PlatformSetMessageBoxSink(void (*sink)(const char *, const char *, unsigned)) {
  MessageBoxSink = sink;
}

// ---- Sockets ----------------------------------------------------------------

// The Windows Sockets number of an errno value.
static int SocketError(int e) {
  switch (e) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EWOULDBLOCK: return 10035;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN: return 10035;
#endif
    case EINPROGRESS: return 10035;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: case EPIPE: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return 10050;
  }
}

static int LastError() { return -SocketError(errno); }
static const int NotASocket = -10038;

int PlatformNetStart() { return 0; }
void PlatformNetStop() {}

int PlatformHostName(char *buffer, int size) {
  if (!buffer || size < 1) return -10014;
  buffer[0] = 0;
  if (gethostname(buffer, static_cast<size_t>(size)) != 0) {
    buffer[0] = 0;
    return LastError();
  }
  buffer[size - 1] = 0;
  return 0;
}

// The resolver's failures as the Windows Sockets numbers.
static int ResolverError(int rc) {
  switch (rc) {
    case EAI_NONAME: return -11001;
#ifdef EAI_NODATA
    case EAI_NODATA: return -11004;
#endif
    case EAI_AGAIN: return -11002;
    case EAI_FAIL: return -11003;
    case EAI_ADDRFAMILY: return -11004;
    case EAI_SYSTEM: return LastError();
    default: return -11003;
  }
}

static int (*Resolver)(const char *, uint32_t *) = nullptr;
void PlatformSetResolver(int (*resolver)(const char *, uint32_t *)) { Resolver = resolver; }

int PlatformResolve(const char *name, uint32_t *addressHostOrder) {
  if (Resolver) return Resolver(name, addressHostOrder);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) return ResolverError(rc);
  uint32_t address = 0;
  if (list && list->ai_addr && list->ai_family == AF_INET)
    address = ntohl(reinterpret_cast<sockaddr_in *>(list->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(list);
  if (address == 0) return 0;
  *addressHostOrder = address;
  return 1;
}

PlatformSocket PlatformSocketOpen() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return NoSocket;
  // Commands and replies alternate: waiting for the peer's delayed ACK before
  // a small segment goes out would cost 40 ms a command. Message text is
  // sent with "more" instead, so it still leaves in full segments.
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return KeepNonZero(s);
}

PlatformSocket PlatformSocketOpenFor(int family) {
  if (family == 4) return PlatformSocketOpen();
  if (family != 6) return NoSocket;
  int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return NoSocket;
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return KeepNonZero(s);
}

int PlatformParseAddress(const char *text, PlatformAddress *out) {
  if (!text || !out) return 0;
  char inner[64];
  const size_t length = strlen(text);
  if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {
    if (length - 2 >= sizeof inner) return 0;
    memcpy(inner, text + 1, length - 2);
    inner[length - 2] = 0;
    if (inet_pton(AF_INET6, inner, out->Bytes) != 1) return 0;
    out->Family = 6;
    return 1;
  }
  if (inet_pton(AF_INET, text, out->Bytes) == 1) {
    out->Family = 4;
    return 1;
  }
  if (inet_pton(AF_INET6, text, out->Bytes) == 1) {
    out->Family = 6;
    return 1;
  }
  return 0;
}

static int (*AddressResolver)(const char *, PlatformAddress *, int) = nullptr;
void PlatformSetAddressResolver(int (*resolver)(const char *, PlatformAddress *, int)) { AddressResolver = resolver; }


int PlatformResolveAll(const char *name, PlatformAddress *out, int max) {
  if (!name || !out || max < 1) return 0;
  if (PlatformParseAddress(name, out)) return 1;
  if (AddressResolver) return AddressResolver(name, out, max);
  if (Resolver) {  // a test's IPv4 resolver: its one address
    uint32_t v4 = 0;
    const int rc = Resolver(name, &v4);
    if (rc < 1) return rc;
    out->Family = 4;
    const uint32_t n = htonl(v4);
    memcpy(out->Bytes, &n, 4);
    return 1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo *list = nullptr;
  const int rc = getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) return ResolverError(rc);
  int count = 0;
  for (addrinfo *a = list; a && count < max; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr) {
      out[count].Family = 4;
      memcpy(out[count].Bytes, &reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr, 4);
    } else if (a->ai_family == AF_INET6 && a->ai_addr) {
      out[count].Family = 6;
      memcpy(out[count].Bytes, &reinterpret_cast<sockaddr_in6 *>(a->ai_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    // The same address may come once per socket type or flag: keep it once.
    bool seen = false;
    for (int k = 0; k < count && !seen; k++)
      seen = out[k].Family == out[count].Family && memcmp(out[k].Bytes, out[count].Bytes, 16) == 0;
    if (!seen) count++;
  }
  freeaddrinfo(list);
  return count;
}

int PlatformFormatAddress(const PlatformAddress &address, char *buffer, int size) {
  if (!buffer || size < 1) return 0;
  buffer[0] = 0;
  char text[INET6_ADDRSTRLEN];
  const int family = address.Family == 6 ? AF_INET6 : AF_INET;
  if (!inet_ntop(family, address.Bytes, text, sizeof text)) return 0;
  const int length = static_cast<int>(strlen(text));
  if (length >= size) return 0;
  memcpy(buffer, text, static_cast<size_t>(length) + 1);
  return length;
}

int PlatformSocketConnectTo(PlatformSocket s, const PlatformAddress &address, uint16_t port) {
  if (s < 0) return NotASocket;
  if (address.Family == 6) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    memcpy(&sa.sin6_addr, address.Bytes, 16);
    return connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : LastError();
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  memcpy(&sa.sin_addr, address.Bytes, 4);
  return connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : LastError();
}

int PlatformSocketLocalAddressOf(PlatformSocket s, PlatformAddress *address) {
  if (s < 0) return NotASocket;
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return LastError();
  *address = PlatformAddress{};
  if (sa.ss_family == AF_INET6) {
    address->Family = 6;
    memcpy(address->Bytes, &reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_addr, 16);
  } else {
    address->Family = 4;
    memcpy(address->Bytes, &reinterpret_cast<sockaddr_in *>(&sa)->sin_addr, 4);
  }
  return 0;
}

int PlatformSocketSetNonBlocking(PlatformSocket s, bool on) {
  if (s < 0) return NotASocket;
  int flags = fcntl(s, F_GETFL);
  if (flags < 0) return LastError();
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(s, F_SETFL, flags) < 0 ? LastError() : 0;
}

int PlatformSocketConnect(PlatformSocket s, const uint8_t address[16]) {
  if (s < 0) return NotASocket;
  sockaddr_in sa{};
  memcpy(&sa, address, sizeof sa);
  sa.sin_family = AF_INET;
  return connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : LastError();
}

int PlatformSocketLocalAddress(PlatformSocket s, uint8_t address[16]) {
  if (s < 0) return NotASocket;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return LastError();
  memcpy(address, &sa, 16);
  address[0] = 2;  // the family as the 16-bit little-endian word of the socket address
  address[1] = 0;
  return 0;
}

// poll() rather than select(): any descriptor number works.
static short PollOnce(PlatformSocket s, short events, int timeoutMs) {
  pollfd p{s, events, 0};
  int rc;
  do rc = poll(&p, 1, timeoutMs);
  while (rc < 0 && errno == EINTR);
  if (rc <= 0) return 0;
  return p.revents;
}

static const PlatformSocketFeed *Feed = nullptr;
void PlatformSetSocketFeed(const PlatformSocketFeed *feed) { Feed = feed; }

int PlatformSocketReady(PlatformSocket s, int kind) {
  if (Feed) return Feed->Ready(s, kind);
  if (s < 0) return 1;  // a failed test leaves the socket "in its set": the next call reports the error
  switch (kind) {
    case ReadyReadable: {
      short r = PollOnce(s, POLLIN, 0);
      return (r & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
    }
    case ReadyWritable: {
      // A failed connection is not writable: it is reported as exceptional.
      short r = PollOnce(s, POLLOUT, 0);
      return (r & POLLOUT) && !(r & POLLERR) ? 1 : 0;
    }
    case ReadyException: {
      short r = PollOnce(s, POLLPRI, 0);
      return (r & (POLLPRI | POLLERR)) ? 1 : 0;
    }
    default: return 0;
  }
}

int PlatformSocketWriteState(PlatformSocket s) {
  if (Feed || s < 0) {
    if (PlatformSocketReady(s, ReadyException) == 1) return ReadyException;
    return PlatformSocketReady(s, ReadyWritable) == 1 ? ReadyWritable : 0;
  }
  const short r = PollOnce(s, POLLOUT | POLLPRI, 0);
  if (r & (POLLPRI | POLLERR)) return ReadyException;
  return (r & POLLOUT) ? ReadyWritable : 0;
}

int PlatformSocketWait(PlatformSocket s, int kind, uint32_t ms) {
  if (Feed) return Feed->Wait(s, kind, ms);
  if (s < 0) return 1;
  short events = kind == ReadyWritable ? POLLOUT : POLLIN;
  int timeout = ms > 0x7fffffffu ? 0x7fffffff : static_cast<int>(ms);
  return PollOnce(s, events, timeout) ? 1 : 0;
}

int PlatformSocketSend(PlatformSocket s, const void *data, int count, bool more) {
  if (Feed) return Feed->Send(s, data, count);
  if (s < 0) return NotASocket;
  ssize_t n;
  do n = send(s, data, static_cast<size_t>(count), MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  while (n < 0 && errno == EINTR);
  return n < 0 ? LastError() : static_cast<int>(n);
}

int PlatformSocketTrySend(PlatformSocket s, const void *data, int count, bool more) {
  if (Feed) return Feed->Send(s, data, count);
  if (s < 0) return NotASocket;
  ssize_t n;
  do n = send(s, data, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
  while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return n < 0 ? LastError() : static_cast<int>(n);
}

int PlatformSocketWaitMany(PlatformWaitItem *items, int count, uint32_t ms) {
  if (count < 0 || count > 1024) return -10022;
  pollfd fds[1024];
  for (int i = 0; i < count; i++) {
    items[i].Ready = 0;
    fds[i].fd = items[i].Socket;  // a negative descriptor is ignored by poll
    fds[i].events = items[i].Kind == ReadyWritable ? POLLOUT : POLLIN;
    fds[i].revents = 0;
  }
  const int timeout = ms > 0x7fffffffu ? 0x7fffffff : static_cast<int>(ms);
  int rc;
  do rc = poll(fds, static_cast<nfds_t>(count), timeout);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) return LastError();
  int ready = 0;
  for (int i = 0; i < count; i++) {
    // A hang-up or an error is ready too: the next step reports it.
    if (fds[i].revents & (fds[i].events | POLLHUP | POLLERR | POLLNVAL)) {
      items[i].Ready = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) ? 2 : 1;
      ready++;
    }
  }
  return ready;
}

int PlatformSocketRecv(PlatformSocket s, void *buffer, int count) {
  if (Feed) return Feed->Recv(s, buffer, count);
  if (s < 0) return NotASocket;
  ssize_t n;
  do n = recv(s, buffer, static_cast<size_t>(count), 0);
  while (n < 0 && errno == EINTR);
  return n < 0 ? LastError() : static_cast<int>(n);
}

int PlatformSocketClose(PlatformSocket s) {
  if (Feed) return Feed->Close(s);
  if (s < 0) return NotASocket;
  return close(s) == 0 ? 0 : LastError();
}

#endif  // !_WIN32
