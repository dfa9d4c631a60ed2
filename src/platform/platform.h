// The operating-system layer: the only code of the library that calls the OS.
// Its operations mirror, by role, the services the library was designed
// around (tick counter, sleep, one lock, zero-filled blocks, integer-handle
// files, local time and zone, line formatting, a message box, and IPv4
// stream sockets with zero-time readiness tests). posix.cpp implements it
// on POSIX systems, win32.cpp on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

// The separator put between a directory and a file name.
#ifdef _WIN32
constexpr char PlatformPathSeparator = '\\';
#else
constexpr char PlatformPathSeparator = '/';
#endif

// ---- Time -------------------------------------------------------------
// Milliseconds of a monotonic clock, wrapping at 32 bits.
uint32_t PlatformTick();
// 0 yields the processor.
void PlatformSleep(uint32_t ms);

// Signed distance a - b of two tick values: correct across the 32-bit wrap
// as long as the two lie within 24.8 days of each other.
inline int32_t TickDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }
// True when tick a lies after tick b.
inline bool TickAfter(uint32_t a, uint32_t b) { return TickDiff(a, b) > 0; }

struct PlatformLocalTime {
  int Year, Month, DayOfWeek, Day;  // Month 1-12, DayOfWeek 0 = Sunday
  int Hour, Minute, Second;
  int UtcOffsetMinutes;   // offset of local time from UTC now, minutes east (daylight saving included)
  int Daylight;           // 1 while daylight-saving time is in effect
};
void PlatformGetLocalTime(PlatformLocalTime &out);

// Test seams: replace the tick and local-time sources (null restores the clock).
void PlatformSetTickSource(uint32_t (*source)());
void PlatformSetLocalTimeSource(void (*source)(PlatformLocalTime &out));

// ---- The one lock -------------------------------------------------------
void PlatformLockInit();
void PlatformLockEnter();
void PlatformLockLeave();
void PlatformLockDelete();

// ---- Zero-filled memory blocks ---------------------------------------------
// A handle is nonzero for a live block; 0 means the allocation failed.
uintptr_t PlatformBlockAlloc(size_t size);
void *PlatformBlockLock(uintptr_t handle);
void PlatformBlockUnlock(uintptr_t handle);
void PlatformBlockFree(uintptr_t handle);
// Test seam: when set, the n-th following allocation (1 = the next) fails.
void PlatformFailAllocationAfter(int n);

// ---- Files through integer handles -----------------------------------------
// A valid handle is never 0; failure is -1.
int PlatformFileCreate(const char *path);   // create or truncate, normal attributes
// Creates a file that does not exist yet: -2 when the name is taken (the
// file there is left alone), -1 on any other failure.
int PlatformFileCreateNew(const char *path);
int PlatformFileOpenRead(const char *path);
int PlatformFileRead(int handle, void *buffer, int count);   // bytes read, 0 at end, -1 on error
int PlatformFileWrite(int handle, const void *buffer, int count);  // bytes written, -1 on error
// 0, or -1 when the system reported an error at the close (the handle is gone either way).
int PlatformFileClose(int handle);
// Removes a file: 0 or -1.
int PlatformFileRemove(const char *path);
// 0 when path is a directory new files can be created in, else -1.
int PlatformDirWritable(const char *path);
// The system's reason for the last failed file call of this thread
// ("No space left on device"), at most size - 1 bytes; returns the length.
int PlatformFileErrorText(char *out, int size);
// Test seam (POSIX): when set, asked before every create, write and close
// of a file; a nonzero answer is the system error number the call then
// fails with (a close still releases the descriptor).
enum { FileOpCreate = 1, FileOpWrite = 2, FileOpClose = 3 };
void PlatformSetFileFault(int (*fault)(int op, int handle));  // null: no faults
// The size of the named file in bytes, or -1 when it cannot be opened.
int64_t PlatformFileSize(const char *path);

// ---- Character sets ------------------------------------------------------
// count bytes of text in the named character set, as UTF-8 into out (at
// most outSize - 1 bytes and a NUL; a sequence the set lacks becomes
// U+FFFD). Returns the bytes written, or -1 when the set is not known.
int PlatformToUtf8(const char *charset, const char *text, int count, char *out, int outSize);
// The name of the system's 8-bit character set for text that is not UTF-8:
// "iso-8859-1" on POSIX, the ANSI code page ("windows-1252" ...) on Windows.
const char *PlatformLegacyCharset();
// A UTF-8 domain name as IDNA A-labels ("xn--..."), at most outSize - 1
// characters and a NUL: the length, or -1 when the name cannot be converted
// or no conversion is available.
int PlatformDomainToAscii(const char *utf8, char *out, int outSize);
// A UTF-8 file name in the form the file calls take: unchanged on POSIX;
// on Windows in the ANSI code page, characters it lacks written as "_".
void PlatformLocalName(const char *utf8, char *out, int outSize);

// ---- Formatting ---------------------------------------------------------
// printf-style into at most min(size, 1024) bytes, always zero-terminated;
// returns the length written.
int FormatLine(char *buffer, int size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- Diagnostic message box ----------------------------------------------
// Shown on standard error (POSIX) or in a message box (Windows); tests may capture it.
void PlatformMessageBox(const char *text, const char *title, unsigned style);
void PlatformSetMessageBoxSink(void (*sink)(const char *text, const char *title, unsigned style));

// ---- Sockets (IPv4 streams) -------------------------------------------------
// Errors are the negated Windows Sockets numbers (-10061 refused, -10035
// would block, -11001 no such host ...), so the library's error texts apply.
using PlatformSocket = int32_t;
constexpr PlatformSocket NoSocket = -1;  // never a descriptor; readiness tests report it ready,
                                         // every other call on it fails with -10038

int PlatformNetStart();                  // 0 or the negated error
void PlatformNetStop();
int PlatformHostName(char *buffer, int size);          // 0 or negated error
int PlatformResolve(const char *name, uint32_t *addressHostOrder);  // 1, 0 (no address) or negated error
void PlatformSetResolver(int (*resolver)(const char *name, uint32_t *addressHostOrder));
PlatformSocket PlatformSocketOpen();     // NoSocket on failure

// Any address, IPv4 or IPv6: Family 4 or 6, the address bytes in network
// order (4 or 16 of them).
struct PlatformAddress {
  uint8_t Family;
  uint8_t Bytes[16];
};
// 1 and the address when text is an address literal: an IPv4 address in
// its four dotted parts, an IPv6 address, or one in brackets ("[::1]");
// else 0.
int PlatformParseAddress(const char *text, PlatformAddress *out);
// Every address of a name (AAAA and A) in the order the system gives them,
// at most max: the count, 0 (no address) or the negated error. Address
// literals are returned as they are. Where the system has no IPv6 (the DLL
// on Windows Sockets 1.1) only IPv4 addresses come back.
int PlatformResolveAll(const char *name, PlatformAddress *out, int max);
// Seam for tests: replaces the lookup of names by PlatformResolveAll.
void PlatformSetAddressResolver(int (*resolver)(const char *name, PlatformAddress *out, int max));
// The text form ("192.0.2.1", "2001:db8::1"): its length, 0 when it does
// not fit in size.
int PlatformFormatAddress(const PlatformAddress &address, char *buffer, int size);
PlatformSocket PlatformSocketOpenFor(int family);  // NoSocket on failure (also for 6 without IPv6)
int PlatformSocketConnectTo(PlatformSocket s, const PlatformAddress &address, uint16_t port);  // 0 or negated error
int PlatformSocketLocalAddressOf(PlatformSocket s, PlatformAddress *address);  // 0 or negated error
#ifdef _WIN32
// A system socket handle as the library holds it: NoSocket when it does not
// fit in 0 .. 2^31 - 1 (a 64-bit SOCKET is never cut short).
PlatformSocket PlatformSocketFromHandle(uintptr_t handle);
#endif
int PlatformSocketSetNonBlocking(PlatformSocket s, bool on);   // 0 or negated error
// address: the 16-byte IPv4 socket address (family, port and address in network order).
int PlatformSocketConnect(PlatformSocket s, const uint8_t address[16]);  // 0 or negated error
int PlatformSocketLocalAddress(PlatformSocket s, uint8_t address[16]);  // 0 or negated error
enum { ReadyReadable = 1, ReadyWritable = 2, ReadyException = 3 };
// Zero-time test of one readiness kind: 1 or 0.
int PlatformSocketReady(PlatformSocket s, int kind);
// Zero-time test for writing: ReadyException when the socket is in an
// exceptional state, else ReadyWritable when it is writable, else 0 -- as
// the two tests of PlatformSocketReady (exception first) give, in one poll.
int PlatformSocketWriteState(PlatformSocket s);
// Waits at most ms for readable (1) or writable (2); used only to sleep
// while a channel has nothing to do. Returns 1 when ready, 0 otherwise.
int PlatformSocketWait(PlatformSocket s, int kind, uint32_t ms);
// more: further data follows at once, so a partial segment may wait for it.
int PlatformSocketSend(PlatformSocket s, const void *data, int count, bool more = false);  // count sent or negated error
// As PlatformSocketSend, but never waits for room: 0 when the socket can
// take nothing now.
int PlatformSocketTrySend(PlatformSocket s, const void *data, int count, bool more = false);
int PlatformSocketRecv(PlatformSocket s, void *buffer, int count);      // count, 0 = closed, or negated error
// One wait over many sockets: each item asks for readable (1) or writable
// (2); Ready is set to 1 for those that are, or to 2 for those that only
// report an error or a hang-up (the next step reports it). Waits at most
// ms; returns the number ready (0 at the time-out) or a negated error.
// Items with NoSocket are skipped.
struct PlatformWaitItem {
  PlatformSocket Socket;
  int Kind;
  int Ready;
};
int PlatformSocketWaitMany(PlatformWaitItem *items, int count, uint32_t ms);
// Closes without blocking: unsent data is delivered by the system in the background.
int PlatformSocketClose(PlatformSocket s);                             // 0 or negated error

// ---- TLS engine (OpenSSL on POSIX, Schannel on Windows) -------------------
// Buffers in, buffers out: the engine never touches a socket. Ciphertext
// from the peer is handed in with PlatformTlsFeed, ciphertext for the peer
// is taken out with PlatformTlsOutput; the caller moves both through
// PlatformSocketSend/Recv, so socket errors keep their numbers and no call
// here ever waits. Minimum protocol TLS 1.2.
struct PlatformTlsSession;

// Error results of the engine (the library's own error codes).
enum {
  TlsHandshakeFailed = -90,   // refused, bad records, no common protocol
  TlsUnknownIssuer = -91,     // the chain does not end at a trusted root
  TlsCertExpired = -92,       // expired or not yet valid
  TlsNameMismatch = -93,      // host name or address not in the certificate
  TlsCertRejected = -94,      // any other verification failure
  TlsNoCaFile = -97,          // the CA file cannot be read
  TlsUnavailable = -98,       // the engine cannot be started
  TlsProtocolError = -99,     // a bad record after the handshake
};

// A session for one connection. host: the name or dotted IPv4 address the
// certificate must match; caFile: PEM file of trusted roots, or null for
// the system store; verify 0 accepts any certificate. Null on failure, with
// the error in *error.
PlatformTlsSession *PlatformTlsNew(const char *host, const char *caFile, int verify, int *error);
void PlatformTlsFree(PlatformTlsSession *s);
// Before the handshake: the session kept from the last connection to this
// server (name and port) is offered for resumption, and the sessions of this
// connection are kept for the next one.
void PlatformTlsOfferSession(PlatformTlsSession *s, unsigned port);
// Forgets every kept session: the next connect to any server is a full handshake.
void PlatformTlsForgetSessions();
// One handshake step over what has been fed: 1 done, 0 needs more input
// from the peer, or an error result.
int PlatformTlsHandshake(PlatformTlsSession *s);
// Ciphertext received from the peer; count 0 tells the engine the peer
// ended the stream. Returns 0 or an error result.
int PlatformTlsFeed(PlatformTlsSession *s, const void *data, int count);
// Ciphertext waiting to be sent, and taking it out (bytes copied).
int PlatformTlsOutputSize(PlatformTlsSession *s);
int PlatformTlsOutput(PlatformTlsSession *s, void *buffer, int size);
// Encrypts count bytes into the output (all of them): count or an error.
int PlatformTlsEncrypt(PlatformTlsSession *s, const void *data, int count);
// Plaintext out: bytes copied, 0 when more input is needed, -1 once the
// peer has closed (close_notify, or the stream ended), or an error result.
int PlatformTlsDecrypt(PlatformTlsSession *s, void *buffer, int size);
// As PlatformTlsDecrypt but takes nothing: 1 plaintext is ready, 0 more
// input is needed, -1 closed, or an error result. Records that carry no
// application data (session tickets) are consumed on the way.
int PlatformTlsPoll(PlatformTlsSession *s);
// Queues the close_notify alert into the output.
void PlatformTlsClose(PlatformTlsSession *s);
// Texts for the trace: 0 protocol and cipher, 1 the peer certificate's
// subject, 2 the verification result, 3 "resumed" when the handshake resumed
// a session kept from an earlier connection to the server (else ""), 4 the
// peer certificate's detail: "subject: ", "issuer: ", "not before: ",
// "not after: " and "verified: " lines, each ended by CR LF (dates as
// "YYYY-MM-DD HH:MM:SS UTC"; "yes", or "no (reason)"), or "" when no
// certificate came. Returns the length written.
int PlatformTlsDescribe(PlatformTlsSession *s, int what, char *buffer, int size);
// Test seam (POSIX): when set, the readiness tests, waits, send, receive and
// close of every socket go to these functions instead of the system, so a
// test can play a peer that delivers its bytes in pieces of its choosing.
struct PlatformSocketFeed {
  int (*Ready)(PlatformSocket s, int kind);
  int (*Wait)(PlatformSocket s, int kind, uint32_t ms);
  int (*Send)(PlatformSocket s, const void *data, int count);
  int (*Recv)(PlatformSocket s, void *buffer, int count);
  int (*Close)(PlatformSocket s);
};
void PlatformSetSocketFeed(const PlatformSocketFeed *feed);  // null restores the system's sockets
