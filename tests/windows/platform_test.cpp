// The Windows platform layer itself, linked from the library's objects so
// that its test seams can be reached: files through integer handles, the
// clock and the zone, zero-filled blocks, the socket calls and their error
// numbers, the path separator, and the memory check's message box.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>

#include <cstring>
#include <string>

#include "core/channel.h"
#include "kel32.h"
#include "mime/mime.h"
#include "platform/platform.h"
#include "wine_check.h"
#include "wine_server.h"

namespace {

std::string TempPath(const char *name) {
  char base[MAX_PATH];
  DWORD n = GetTempPathA(sizeof base, base);
  return std::string(base, n) + "kel32-platform-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

void SocketAddress(uint8_t out[16], uint16_t port) {
  memset(out, 0, 16);
  out[0] = 2;
  out[2] = static_cast<uint8_t>(port >> 8);
  out[3] = static_cast<uint8_t>(port);
  out[4] = 127;
  out[7] = 1;
}

std::string BoxText, BoxTitle;
unsigned BoxStyle = 0;
int BoxCount = 0;

}  // namespace

WINE_TEST(FilesThroughIntegerHandles) {
  const std::string path = TempPath("file.bin");
  int h = PlatformFileCreate(path.c_str());
  REQUIRE_EQ(h > 0, true);
  CHECK_EQ(PlatformFileWrite(h, "abc\0def", 7), 7);
  CHECK_EQ(PlatformFileWrite(h, "", 0), 0);  // nothing to write is no error
  PlatformFileClose(h);
  h = PlatformFileOpenRead(path.c_str());
  REQUIRE_EQ(h > 0, true);
  char buffer[16] = {};
  CHECK_EQ(PlatformFileRead(h, buffer, sizeof buffer), 7);
  CHECK_EQ(std::string(buffer, 7), std::string("abc\0def", 7));
  CHECK_EQ(PlatformFileRead(h, buffer, sizeof buffer), 0);
  PlatformFileClose(h);
  // Created again: truncated.
  h = PlatformFileCreate(path.c_str());
  PlatformFileClose(h);
  h = PlatformFileOpenRead(path.c_str());
  CHECK_EQ(PlatformFileRead(h, buffer, sizeof buffer), 0);
  PlatformFileClose(h);
  CHECK_EQ(PlatformFileOpenRead(TempPath("missing\\none.txt").c_str()), -1);
  CHECK_EQ(PlatformFileCreate(TempPath("missing\\none.txt").c_str()), -1);
  CHECK_EQ(PlatformFileRead(-1, buffer, 1), -1);
  DeleteFileA(path.c_str());
}

WINE_TEST(PathsJoinWithABackslash) {
  char out[64];
  CHECK_EQ(JoinPath(out, sizeof out, "C:\\mail", "a.txt"), 13);
  CHECK_EQ(std::string(out), std::string("C:\\mail\\a.txt"));
  CHECK_EQ(JoinPath(out, sizeof out, "C:\\mail\\", "a.txt"), 13);
  CHECK_EQ(std::string(out), std::string("C:\\mail\\a.txt"));
}

WINE_TEST(ClockZoneAndBlocks) {
  const uint32_t before = PlatformTick();
  PlatformSleep(30);
  const int32_t passed = TickDiff(PlatformTick(), before);
  // Forward, and on the millisecond scale (the clock's granularity varies).
  if (!CHECK(passed > 0 && passed < 60000)) printf("passed: %d\n", static_cast<int>(passed));
  PlatformSleep(0);

  PlatformLocalTime t{};
  PlatformGetLocalTime(t);
  SYSTEMTIME now;
  GetLocalTime(&now);
  CHECK_EQ(t.Year, static_cast<int>(now.wYear));
  CHECK(t.Month >= 1 && t.Month <= 12 && t.DayOfWeek >= 0 && t.DayOfWeek < 7);
  TIME_ZONE_INFORMATION zone;
  const DWORD kind = GetTimeZoneInformation(&zone);
  long bias = zone.Bias + (kind == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : 0) +
              (kind == TIME_ZONE_ID_STANDARD ? zone.StandardBias : 0);
  CHECK_EQ(t.UtcOffsetMinutes, static_cast<int>(-bias));
  CHECK_EQ(t.Daylight, kind == TIME_ZONE_ID_DAYLIGHT ? 1 : 0);

  uintptr_t block = PlatformBlockAlloc(1000);
  REQUIRE_EQ(block != 0, true);
  const unsigned char *p = static_cast<unsigned char *>(PlatformBlockLock(block));
  bool zero = true;
  for (int i = 0; i < 1000; i++) zero = zero && p[i] == 0;
  CHECK(zero);
  PlatformBlockUnlock(block);
  PlatformBlockFree(block);
  PlatformFailAllocationAfter(1);
  CHECK_EQ(PlatformBlockAlloc(10), static_cast<uintptr_t>(0));
  block = PlatformBlockAlloc(10);
  CHECK(block != 0);
  PlatformBlockFree(block);

  // The lock may be re-entered by its owner.
  PlatformLockEnter();
  PlatformLockEnter();
  PlatformLockLeave();
  PlatformLockLeave();

  char line[8];
  CHECK_EQ(FormatLine(line, sizeof line, "%s-%3d", "abcdef", 7), 7);
  CHECK_EQ(std::string(line), std::string("abcdef-"));
}

WINE_TEST(SocketCallsAndTheirErrorNumbers) {
  REQUIRE_EQ(PlatformNetStart(), 0);
  char name[256];
  CHECK_EQ(PlatformHostName(name, sizeof name), 0);
  CHECK(name[0] != 0);
  uint32_t address = 0;
  CHECK_EQ(PlatformResolve("localhost", &address), 1);  // from the hosts file: no lookup leaves the machine
  CHECK_EQ(address, 0x7f000001u);

  // The invalid socket: ready for every test, an error for every call.
  CHECK_EQ(PlatformSocketReady(NoSocket, ReadyReadable), 1);
  CHECK_EQ(PlatformSocketSend(NoSocket, "x", 1), -10038);
  CHECK_EQ(PlatformSocketRecv(NoSocket, name, 1), -10038);
  CHECK_EQ(PlatformSocketClose(NoSocket), -10038);

  // A non-blocking connect to a closed port: would block, then exceptional.
  uint8_t sa[16];
  SocketAddress(sa, ClosedLoopbackPort());
  PlatformSocket s = PlatformSocketOpen();
  REQUIRE_EQ(s != NoSocket, true);
  CHECK_EQ(PlatformSocketSetNonBlocking(s, true), 0);
  CHECK_EQ(PlatformSocketConnect(s, sa), -10035);
  int failed = 0;
  for (int i = 0; i < 100 && !failed; i++) {
    failed = PlatformSocketReady(s, ReadyException);
    if (!failed) PlatformSleep(20);
  }
  CHECK_EQ(failed, 1);
  CHECK_EQ(PlatformSocketReady(s, ReadyWritable), 0);
  CHECK_EQ(PlatformSocketClose(s), 0);
  // Blocking: refused at once.
  s = PlatformSocketOpen();
  CHECK_EQ(PlatformSocketConnect(s, sa), -10061);
  PlatformSocketClose(s);

  // A connection: writable, the local address, data both ways, the close.
  WineServer server;
  server.Send("hello\r\n").ExpectLine("ping\r\n").Close();
  server.Start();
  SocketAddress(sa, server.Port());
  s = PlatformSocketOpen();
  CHECK_EQ(PlatformSocketConnect(s, sa), 0);
  CHECK_EQ(PlatformSocketWait(s, ReadyWritable, 1000), 1);
  uint8_t local[16];
  CHECK_EQ(PlatformSocketLocalAddress(s, local), 0);
  CHECK_EQ(local[0], 2);
  CHECK_EQ(local[4], 127);
  CHECK_EQ(PlatformSocketWait(s, ReadyReadable, 5000), 1);
  char buffer[16];
  CHECK_EQ(PlatformSocketRecv(s, buffer, sizeof buffer), 7);
  CHECK_EQ(PlatformSocketSend(s, "ping\r\n", 6, true), 6);
  CHECK_EQ(PlatformSocketWait(s, ReadyReadable, 5000), 1);
  CHECK_EQ(PlatformSocketRecv(s, buffer, sizeof buffer), 0);  // closed by the server
  CHECK_EQ(PlatformSocketClose(s), 0);
  CHECK(server.Finish());
  CHECK_EQ(server.Failures(), std::string());
  PlatformNetStop();
}

std::string Text(const PlatformAddress &a) {
  char text[64];
  return PlatformFormatAddress(a, text, sizeof text) > 0 ? text : "<none>";
}

// The layer reads and writes the IPv6 text forms itself (older systems have
// no inet_pton/inet_ntop): the forms inet_ntop writes, and every malformed
// text refused rather than half read.
WINE_TEST(AddressLiteralsParseAndFormat) {
  const struct {
    const char *Text;
    int Family;
    const char *Formatted;
  } cases[] = {
      {"127.0.0.1", 4, "127.0.0.1"},
      {"255.255.255.255", 4, "255.255.255.255"},
      {"::1", 6, "::1"},
      {"[::1]", 6, "::1"},
      {"::", 6, "::"},
      {"[2001:DB8:0:0::1]", 6, "2001:db8::1"},
      {"2001:db8::1", 6, "2001:db8::1"},
      {"0001:0db8:0000::0001", 6, "1:db8::1"},
      {"::ffff:10.0.0.1", 6, "::ffff:10.0.0.1"},
      {"::1.2.3.4", 6, "::1.2.3.4"},
      {"1:2:3:4:5:6:1.2.3.4", 6, "1:2:3:4:5:6:102:304"},
      {"1:2:3:4:5:6:7:8", 6, "1:2:3:4:5:6:7:8"},
      {"fe80::", 6, "fe80::"},
      {"1:2:3:4:5:6:7::", 6, "1:2:3:4:5:6:7:0"},  // one zero group is written out
      {"::2:3:4:5:6:7:8", 6, "0:2:3:4:5:6:7:8"},
      {"1:0:0:2:0:0:0:3", 6, "1:0:0:2::3"},        // the longest run
      {"1:0:0:2:0:0:3:4", 6, "1::2:0:0:3:4"},      // the first of two equal runs
      {"FFFF:ffff:FFFF:ffff:FFFF:ffff:FFFF:ffff", 6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {"mail.example", 0, ""},
      {"", 0, ""},
      {"1.2.3", 0, ""},
      {"1.2.3.4.5", 0, ""},
      {"256.1.1.1", 0, ""},
      {"[127.0.0.1]", 0, ""},
      {"[::1", 0, ""},
      {"::1]", 0, ""},
      {"[]", 0, ""},
      {":", 0, ""},
      {":::", 0, ""},
      {":1::", 0, ""},
      {"1:", 0, ""},
      {"1::2::3", 0, ""},
      {"12345::", 0, ""},
      {"::g", 0, ""},
      {"1:2:3:4:5:6:7", 0, ""},
      {"1:2:3:4:5:6:7:8:9", 0, ""},
      {"::1:2:3:4:5:6:7:8", 0, ""},     // "::" must stand for at least one group
      {"1:2:3:4:5:6:7:1.2.3.4", 0, ""},  // nine groups
      {"::1.2.3", 0, ""},
      {"::1.2.3.4:5", 0, ""},
      {"::256.0.0.1", 0, ""},
      {"::ffff:10.0.0.01", 0, ""},  // no leading zero in the dotted tail
      {"fe80::1%1", 0, ""},
      {"[fe80::1%eth0]", 0, ""},
  };
  for (const auto &c : cases) {
    PlatformAddress a{};
    const int parsed = PlatformParseAddress(c.Text, &a);
    if (!CHECK_EQ(parsed, c.Family ? 1 : 0)) printf("  text: %s\n", c.Text);
    if (!parsed) {
      CHECK_EQ(static_cast<int>(a.Family), 0);
      continue;
    }
    CHECK_EQ(static_cast<int>(a.Family), c.Family);
    char text[64];
    const int length = static_cast<int>(strlen(c.Formatted));
    CHECK_EQ(PlatformFormatAddress(a, text, sizeof text), length);
    CHECK_EQ(std::string(text), std::string(c.Formatted));
    // Never cut: a buffer one byte short gets nothing.
    CHECK_EQ(PlatformFormatAddress(a, text, length), 0);
    CHECK_EQ(std::string(text), std::string());
    // The text written reads back as the same address.
    PlatformAddress back{};
    CHECK_EQ(PlatformParseAddress(c.Formatted, &back), 1);
    CHECK(back.Family == a.Family && memcmp(back.Bytes, a.Bytes, 16) == 0);
  }
  // The longest text read (six groups and a dotted tail, 45 characters) is
  // written as eight groups (39).
  PlatformAddress a{};
  REQUIRE_EQ(PlatformParseAddress("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", &a), 1);
  char text[64];
  CHECK_EQ(PlatformFormatAddress(a, text, sizeof text), 39);
  PlatformAddress unknown{};
  unknown.Family = 5;
  CHECK_EQ(PlatformFormatAddress(unknown, text, sizeof text), 0);
  CHECK_EQ(PlatformParseAddress(nullptr, &a), 0);
}

// Every address of a name, through Windows Sockets 2 where it is (Wine has
// it); literals without a lookup; the test seams before the system.
WINE_TEST(ResolveAllGivesEveryAddressOfAName) {
  REQUIRE_EQ(PlatformNetStart(), 0);
  PlatformAddress list[8];
  const int count = PlatformResolveAll("localhost", list, 8);  // the hosts file: nothing leaves the machine
  CHECK(count >= 1 && count <= 8);
  bool loopback = false, sound = true;
  for (int i = 0; i < count; i++) {
    const std::string text = Text(list[i]);
    printf("  localhost: %s\n", text.c_str());
    loopback = loopback || text == "127.0.0.1" || text == "::1";
    sound = sound && (list[i].Family == 4 || list[i].Family == 6);
    for (int k = 0; k < i; k++)  // each address once
      sound = sound && !(list[k].Family == list[i].Family && memcmp(list[k].Bytes, list[i].Bytes, 16) == 0);
  }
  CHECK(loopback);
  CHECK(sound);
  CHECK_EQ(PlatformResolveAll("localhost", list, 1), 1);  // at most max

  CHECK_EQ(PlatformResolveAll("[2001:db8::7]", list, 8), 1);
  CHECK_EQ(Text(list[0]), std::string("2001:db8::7"));
  CHECK_EQ(PlatformResolveAll("192.0.2.9", list, 8), 1);
  CHECK_EQ(Text(list[0]), std::string("192.0.2.9"));
  CHECK_EQ(PlatformResolveAll("localhost", list, 0), 0);

  // The address seam answers for names (literals stay literals).
  PlatformSetAddressResolver([](const char *, PlatformAddress *out, int max) {
    int n = 0;
    if (n < max) PlatformParseAddress("2001:db8::2", &out[n++]);
    if (n < max) PlatformParseAddress("192.0.2.2", &out[n++]);
    return n;
  });
  CHECK_EQ(PlatformResolveAll("mail.example.test", list, 8), 2);
  CHECK_EQ(Text(list[0]) + " " + Text(list[1]), std::string("2001:db8::2 192.0.2.2"));
  CHECK_EQ(PlatformResolveAll("::1", list, 8), 1);
  CHECK_EQ(Text(list[0]), std::string("::1"));
  PlatformSetAddressResolver(nullptr);
  // The IPv4 seam still gives its one address.
  PlatformSetResolver([](const char *, uint32_t *address) {
    *address = 0xc0000203u;
    return 1;
  });
  CHECK_EQ(PlatformResolveAll("mail.example.test", list, 8), 1);
  CHECK_EQ(Text(list[0]), std::string("192.0.2.3"));
  PlatformSetResolver(nullptr);
  PlatformNetStop();
}

// A connection over IPv6 to a listener on ::1, and the failures of the
// other families.
WINE_TEST(Ipv6SocketsConnectToTheLoopback) {
  REQUIRE_EQ(PlatformNetStart(), 0);
  PlatformAddress unknown{};
  unknown.Family = 5;
  CHECK_EQ(PlatformSocketOpenFor(5), NoSocket);
  PlatformSocket s = PlatformSocketOpenFor(4);
  CHECK_EQ(PlatformSocketConnectTo(s, unknown, 25), -10047);
  PlatformSocketClose(s);

  WineServer server(6);
  if (!server.Listening()) {
    printf("SKIPPED: no IPv6 listener on ::1 can be made here (%s)\n", server.Failures().c_str());
    PlatformNetStop();
    return;
  }
  server.Send("hello\r\n").ExpectLine("ping\r\n").Close();
  server.Start();
  PlatformAddress loopback{};
  REQUIRE_EQ(PlatformParseAddress("::1", &loopback), 1);
  s = PlatformSocketOpenFor(6);
  REQUIRE_EQ(s != NoSocket, true);
  CHECK_EQ(PlatformSocketConnectTo(s, loopback, server.Port()), 0);
  PlatformAddress local{};
  CHECK_EQ(PlatformSocketLocalAddressOf(s, &local), 0);
  CHECK_EQ(Text(local), std::string("::1"));
  CHECK_EQ(PlatformSocketWait(s, ReadyReadable, 5000), 1);
  char buffer[16];
  CHECK_EQ(PlatformSocketRecv(s, buffer, sizeof buffer), 7);
  CHECK_EQ(PlatformSocketSend(s, "ping\r\n", 6), 6);
  CHECK_EQ(PlatformSocketWait(s, ReadyReadable, 5000), 1);
  CHECK_EQ(PlatformSocketRecv(s, buffer, sizeof buffer), 0);
  CHECK_EQ(PlatformSocketClose(s), 0);
  CHECK(server.Finish());
  CHECK_EQ(server.Failures(), std::string());

  // Non-blocking to a closed port: would block, then exceptional; blocking: refused.
  const uint16_t closed = ClosedLoopbackPort(6);
  s = PlatformSocketOpenFor(6);
  REQUIRE_EQ(s != NoSocket, true);
  CHECK_EQ(PlatformSocketSetNonBlocking(s, true), 0);
  CHECK_EQ(PlatformSocketConnectTo(s, loopback, closed), -10035);
  int failed = 0;
  for (int i = 0; i < 100 && !failed; i++) {
    failed = PlatformSocketReady(s, ReadyException);
    if (!failed) PlatformSleep(20);
  }
  CHECK_EQ(failed, 1);
  PlatformSocketClose(s);
  s = PlatformSocketOpenFor(6);
  CHECK_EQ(PlatformSocketConnectTo(s, loopback, closed), -10061);
  PlatformSocketClose(s);
  // An IPv4 socket's local address through the same call.
  s = PlatformSocketOpenFor(4);
  WineServer v4;
  v4.Close();
  v4.Start();
  PlatformAddress to{};
  PlatformParseAddress("127.0.0.1", &to);
  CHECK_EQ(PlatformSocketConnectTo(s, to, v4.Port()), 0);
  CHECK_EQ(PlatformSocketLocalAddressOf(s, &local), 0);
  CHECK_EQ(Text(local), std::string("127.0.0.1"));
  PlatformSocketClose(s);
  CHECK(v4.Finish());
  PlatformNetStop();
}

// A name whose first address (::1, on a port where nothing listens there)
// refuses: the connection goes on to its IPv4 address, in the blocking call
// and through the non-blocking driver, and the log says why.
WINE_TEST(ANameConnectsOnItsNextAddressWhenTheFirstRefuses) {
  PlatformSetAddressResolver([](const char *, PlatformAddress *out, int max) {
    int n = 0;
    if (n < max) PlatformParseAddress("::1", &out[n++]);
    if (n < max) PlatformParseAddress("127.0.0.1", &out[n++]);
    return n;
  });
  for (int blocking = 1; blocking >= 0; blocking--) {
    REQUIRE_EQ(kelAttach(1, 0), 1);
    const std::string log = TempPath(blocking ? "next-blocking.log" : "next-driver.log");
    kelStringParam(0, KEL_LOG_FILE, log.c_str());
    WineServer server;
    server.Send("220 v4 here\r\n").ExpectLine("HELO example.com\r\n").Send("250 ok\r\n");
    server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
    server.Start();
    kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
    int rc;
    if (blocking) {
      rc = kelSmtpConnect(0, "mail.example.test", "<me@example.com>", nullptr);
    } else {
      kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
      CHECK_EQ(kelSmtpConnect(0, "mail.example.test", "<me@example.com>", nullptr), 0);
      rc = 1;
      const uint32_t start = PlatformTick();
      while (rc > 0 && TickDiff(PlatformTick(), start) < 10000) {
        rc = kelDriver(0);
        PlatformSleep(1);
      }
      kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
    }
    CHECK_EQ(rc, 0);
    char ip[64];
    CHECK_EQ(kelDebug(0, KEL_DEBUG_SERVER_IP, ip, sizeof ip), 9);
    CHECK_EQ(std::string(ip), std::string("127.0.0.1"));
    CHECK_EQ(kelClose(0), 0);
    CHECK(server.Finish());
    CHECK_EQ(server.Failures(), std::string());
    CHECK_EQ(kelRelease(), 1);
    std::string text;
    const int h = PlatformFileOpenRead(log.c_str());
    char buffer[4096];
    for (int n; h > 0 && (n = PlatformFileRead(h, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    PlatformFileClose(h);
    DeleteFileA(log.c_str());
    CHECK(text.find("RemoteAddr=[::1], RemotePort=") != std::string::npos);
    if (!CHECK(text.find("[::1: connect failed (") != std::string::npos &&
               text.find("), trying 127.0.0.1]") != std::string::npos))
      printf("%s\n", text.c_str());
  }
  PlatformSetAddressResolver(nullptr);
}

// A socket handle reaches the interface as a signed 32-bit int: one that
// does not fit is refused, never cut short (SOCKET is 64 bits in KEL64.dll).
WINE_TEST(SocketHandlesBeyond31BitsAreRefused) {
  const struct {
    unsigned long long Handle;
    PlatformSocket Expected;
  } cases[] = {
      {0x1c4, 0x1c4},
      {0x7fffffffull, 0x7fffffff},
      {0x80000000ull, NoSocket},
      {0xffffffffull, NoSocket},  // INVALID_SOCKET of a 32-bit program
  };
  for (const auto &c : cases) CHECK_EQ(PlatformSocketFromHandle(static_cast<uintptr_t>(c.Handle)), c.Expected);
  if (sizeof(uintptr_t) == 8) {
    // Would read as 4, or as -1, if the upper half were dropped.
    CHECK_EQ(PlatformSocketFromHandle(static_cast<uintptr_t>(0x100000004ull)), NoSocket);
    CHECK_EQ(PlatformSocketFromHandle(static_cast<uintptr_t>(~0ull)), NoSocket);
  }
  // A handle of this system passes whole.
  REQUIRE_EQ(PlatformNetStart(), 0);
  const SOCKET raw = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  REQUIRE_EQ(raw != INVALID_SOCKET, true);
  CHECK_EQ(static_cast<unsigned long long>(PlatformSocketFromHandle(raw)), static_cast<unsigned long long>(raw));
  closesocket(raw);
  PlatformNetStop();
}

WINE_TEST(MemoryCheckShowsDamageThroughTheMessageBox) {
  REQUIRE_EQ(kelAttach(1, 0), 1);
  PlatformSetMessageBoxSink([](const char *text, const char *title, unsigned style) {
    BoxText = text;
    BoxTitle = title;
    BoxStyle = style;
    ++BoxCount;
  });
  CHECK_EQ(kelDebug(static_cast<unsigned>(KEL_DEBUG_MEMORY_CHECK), 0, nullptr, 0), 0);
  CHECK_EQ(BoxCount, 0);
  // The tail guard of the channel's record, overwritten.
  MemorySlot &slot = MemorySlotTable[0];
  const char kept = slot.Pointer[slot.Size];
  slot.Pointer[slot.Size] = 0;
  CHECK_EQ(kelDebug(static_cast<unsigned>(KEL_DEBUG_MEMORY_CHECK), 0, nullptr, 0), 0);
  CHECK_EQ(BoxCount, 1);
  CHECK_EQ(BoxText, std::string("Memory Corrupted (kelDebug): ID=0 Err=") + std::to_string(MemGuardDamaged));
  CHECK_EQ(BoxTitle, std::string("Info"));
  CHECK_EQ(BoxStyle, 0x2030u);
  slot.Pointer[slot.Size] = kept;
  PlatformSetMessageBoxSink(nullptr);
  CHECK_EQ(kelRelease(), 1);
}

int main(int argc, char **argv) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
    printf("0 passed, 1 failed\n");
    return 1;
  }
  int rc = wine_check::RunAll(argc, argv);
  WSACleanup();
  return rc;
}
