// KEL32.dll as a Windows program uses it: through kel32.h and the import
// library only, against scripted servers on 127.0.0.1, with the files in a
// directory of the Windows temporary folder.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kel32.h"
#include "wine_check.h"
#include "wine_server.h"

namespace {

std::string Lines(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\r\n";
  return text;
}

// A fresh directory of its own for each case, in the temporary folder.
std::string TestDirectory(const char *name) {
  char base[MAX_PATH];
  DWORD n = GetTempPathA(sizeof base, base);
  // Wine hands out the same small process ids run after run in one prefix:
  // the start time keeps a new run out of an old run's files.
  std::string dir = std::string(base, n) + "kel32-wine-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount64()) + "-" + name;
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

void WriteFile(const std::string &path, const std::string &content) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

std::string ReadFile(const std::string &path) {
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return "<missing " + path + ">";
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  fclose(f);
  return text;
}

std::string ErrorText(int code) {
  char text[256];
  kelErrorText(0, code, text, sizeof text);
  return text;
}

std::string DateLine() {
  char line[128];
  kelDebug(0, KEL_DEBUG_DATE, line, sizeof line);
  return line;
}

// "Date: Tue, 8 Dec 2026 4:13:31 +0000" without its time of day.
std::string DayAndZone(const std::string &date) {
  const size_t zone = date.rfind(' ');
  const size_t time = zone == std::string::npos || zone == 0 ? std::string::npos : date.rfind(' ', zone - 1);
  return time == std::string::npos ? "<no date> " + date : date.substr(0, time) + date.substr(zone);
}

// Attaches channels on construction and releases them at the end of a case.
struct Attached {
  explicit Attached(int channels = 2) {
    Result = kelAttach(channels, 0);
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    kelIntegerParam(0, KEL_SLEEP_TIME, 5);
  }
  ~Attached() {
    // Library-wide settings outlive the attach: back to their defaults.
    kelIntegerParam(0, KEL_SLEEP_TIME, 100);
    kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 10000);
    kelRelease();
  }
  int Result;
};

}  // namespace

WINE_TEST(AttachReleaseAndParameters) {
  CHECK_EQ(kelAttach(129, 0), -73);
  {
    Attached lib(3);
    REQUIRE_EQ(lib.Result, 1);
    CHECK_EQ(kelAttach(2, 0), -72);  // already attached
    CHECK_EQ(kelIntegerParam(2, KEL_SMTP_PORT, 2525), 1);
    CHECK_EQ(kelIntegerParam(3, KEL_SMTP_PORT, 2525), -73);
    CHECK_EQ(kelIntegerParam(0, 999, 1), -1);
    CHECK_EQ(kelStringParam(0, KEL_REPLY_TO, "<r@example.com>"), 15);
    CHECK_EQ(kelStatistics(0, KEL_STAT_VERSION), 833);
    CHECK_EQ(kelStatistics(1, KEL_STAT_BUILD), 17);
    CHECK_EQ(kelErrorText(0, -8, nullptr, 128), 0);
    CHECK_EQ(ErrorText(-8), std::string("Socket timed out."));
    CHECK_EQ(ErrorText(-36), std::string("Error attempting to connect. "));
    CHECK_EQ(ErrorText(-10061), std::string("Connection refused by remote host."));
    // The Date line comes from the local time and the zone of this system.
    char date[128];
    CHECK_EQ(kelDebug(0, KEL_DEBUG_DATE, date, sizeof date) >= 0, true);
    SYSTEMTIME now;
    GetLocalTime(&now);
    CHECK(strstr(date, (" " + std::to_string(now.wYear) + " ").c_str()) != nullptr);
    // The memory check of intact blocks shows nothing and returns at once.
    CHECK_EQ(kelDebug(static_cast<unsigned>(KEL_DEBUG_MEMORY_CHECK), 0, nullptr, 0), 0);
    CHECK_EQ(kelRelease(), 1);
  }
  CHECK_EQ(kelRelease(), 1);  // nothing attached: nothing to do
  CHECK_EQ(kelIntegerParam(0, KEL_SMTP_PORT, 25) < 0, true);
}

WINE_TEST(TextUtilitiesNeedNoAttach) {
  char out[64];
  CHECK_EQ(kelEncodeBuffer("abc", out, 3), 6);
  CHECK_EQ(std::string(out, 6), std::string("YWJj\r\n"));
  char back[64];
  CHECK_EQ(kelDecodeBuffer("YWJj", back, 4), 3);
  CHECK_EQ(std::string(back, 3), std::string("abc"));
  CHECK_EQ(kelVerifyFormat("<ab@cd>"), 1);
  CHECK_EQ(kelExtractLine("one\ntwo\nthree", 3, out, sizeof out), 5);
  CHECK_EQ(std::string(out), std::string("three"));
  CHECK_EQ(kelExtractText("Subject: Hi\r\nTo: x\r\n", "To:", out, sizeof out) > 0, true);
}

WINE_TEST(SendWithAttachmentsByteForByte) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  const std::string dir = TestDirectory("send");
  WriteFile(dir + "\\body.txt", "First line\r\nSecond line\r\n");
  WriteFile(dir + "\\a.dat", "abc");
  WriteFile(dir + "\\b.gif", "GIF89a");
  const std::string log = dir + "\\smtp.log";
  CHECK_EQ(kelStringParam(0, KEL_LOG_FILE, log.c_str()) > 0, true);

  WineServer server;
  server.Send("220 test ready\r\n").ExpectLine("HELO example.com\r\n").Send("250 hello\r\n");
  server.ExpectLine("MAIL FROM:<alice@example.com>\r\n").Send("250 sender ok\r\n");
  server.ExpectLine("RCPT TO:<bob@example.com>\r\n").Send("250 recipient ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n").ReadUntil("\r\n.\r\n").Send("250 queued\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
  const std::string dateBefore = DateLine();
  REQUIRE_EQ(kelSmtpConnect(0, "127.0.0.1", "Alice <alice@example.com>", nullptr), 0);
  const std::string body = "@" + dir + "\\body.txt";
  const std::string files = dir + "\\a.dat," + dir + "\\b.gif";
  CHECK_EQ(kelSendEmail(0, "Bob <bob@example.com>", nullptr, nullptr, "Report", body.c_str(), files.c_str()), 0);
  CHECK_EQ(kelStatistics(0, KEL_STAT_BODY_SENT), 25);
  CHECK_EQ(kelStatistics(0, KEL_STAT_ATTACH_READ), 9);
  CHECK_EQ(kelStatistics(0, KEL_STAT_ATTACH_SENT), 16);
  CHECK_EQ(kelClose(0), 0);
  CHECK(server.Finish());
  CHECK_EQ(server.Failures(), std::string());

  // The Date line and the boundary depend on the clock; both are taken from
  // the message, checked for their form, and everything else byte for byte.
  const std::string received = server.Received();
  const size_t dateAt = received.find("\r\nDate: ");
  REQUIRE_EQ(dateAt != std::string::npos, true);
  const std::string date = received.substr(dateAt + 2, received.find("\r\n", dateAt + 2) - dateAt - 2);
  // The day and the zone are the library's Date line of before or after
  // the send (the time of day moves on).
  CHECK(DayAndZone(date) == DayAndZone(dateBefore) || DayAndZone(date) == DayAndZone(DateLine()));
  const std::string marker = "boundary=\"";
  const size_t boundaryAt = received.find(marker);
  REQUIRE_EQ(boundaryAt != std::string::npos, true);
  const size_t boundaryStart = boundaryAt + marker.size();
  const std::string b = received.substr(boundaryStart, received.find('"', boundaryStart) - boundaryStart);
  CHECK_EQ(b.compare(0, 9, "=====_KEL"), 0);

  const std::string message =
      Lines({"X-Mailer: KEL32 3.4.1 (build 17)", date, "To: Bob <bob@example.com>", "From: Alice <alice@example.com>",
             "Subject: Report", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"" + b + "\"", "",
             "--" + b, "Content-Type: text/plain", "", "First line", "Second line", "", "--" + b,
             "Content-Type: application/octet-stream; name=\"a.dat\"", "Content-Transfer-Encoding: base64",
             "Content-Disposition: attachment; filename=\"a.dat\"", "", "YWJj", "", "--" + b,
             "Content-Type: Image/GIF; name=\"b.gif\"", "Content-ID: <message-root.1>",
             "Content-Transfer-Encoding: base64", "Content-Disposition: inline; filename=\"b.gif\"", "", "R0lGODlh",
             "--" + b + "--", "", ""});
  CHECK_EQ(received, "HELO example.com\r\nMAIL FROM:<alice@example.com>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n" +
                         message + ".\r\nQUIT\r\n");
  // The log went through the file calls too.
  const std::string logText = ReadFile(log);
  CHECK(logText.find("S: QUIT\r\n") != std::string::npos);
  CHECK(logText.find("Closing socket\r\n") != std::string::npos);
}

WINE_TEST(AuthCramMd5) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  // RFC 2195, section 2.
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "tim");
  kelStringParam(0, KEL_SMTP_PASS, "tanstaaftanstaaf");
  WineServer cram;
  cram.Send("220 test ESMTP\r\n")
      .ExpectLine("EHLO example.com\r\n")
      .Send("250-mail.example.com\r\n250-AUTH CRAM-MD5\r\n250 HELP\r\n")
      .ExpectLine("AUTH CRAM-MD5\r\n")
      .Send("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n")
      .ExpectLine("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n")
      .Send("235 ok\r\n")
      .ExpectLine("QUIT\r\n")
      .Send("221 bye\r\n")
      .Close();
  cram.Start();
  kelIntegerParam(0, KEL_SMTP_PORT, cram.Port());
  CHECK_EQ(kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr), 0);
  CHECK_EQ(kelClose(0), 0);
  CHECK(cram.Finish());
  CHECK_EQ(cram.Failures(), std::string());
}

WINE_TEST(Pop3RetrievalDecodesAttachmentsToFiles) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  const std::string dir = TestDirectory("pop3");
  const std::string attachDir = dir + "\\att";
  CreateDirectoryA(attachDir.c_str(), nullptr);
  WineServer server;
  server.Send("+OK ready\r\n").ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS pw\r\n").Send("+OK in\r\n");
  server.ExpectLine("STAT\r\n").Send("+OK 1 321\r\n");
  server.ExpectLine("RETR 1\r\n")
      .Send(Lines({"+OK 321 octets", "Subject: Report", "MIME-Version: 1.0",
                   "Content-Type: multipart/mixed; boundary=XYZ", "", "This is a multi-part message.", "--XYZ",
                   "Content-Type: text/plain", "", "Hello", "..dotted", "--XYZ",
                   "Content-Type: application/pdf; name=r.pdf", "Content-Transfer-Encoding: base64", "",
                   "JVBERi0xLjQK", "--XYZ", "Content-Type: application/octet-stream; name=\"bin.dat\"",
                   "Content-Transfer-Encoding: base64", "", "AAEC/f7/", "--XYZ",
                   "Content-Type: text/plain; name=\"..\\..\\C:\\up.txt\"", "Content-Transfer-Encoding: base64", "",
                   "dXA=", "--XYZ--", "."}));
  server.ExpectLine("QUIT\r\n").Send("+OK bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_POP3_PORT, server.Port());
  REQUIRE_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
  CHECK_EQ(kelGetEmailCount(0), 1);
  CHECK_EQ(kelGetEmailFile(0, 1, "mail.txt", dir.c_str(), attachDir.c_str()), 0);
  CHECK_EQ(kelStatistics(0, KEL_STAT_ATTACH_COUNT), 3);
  CHECK_EQ(kelClose(0), 0);
  CHECK(server.Finish());
  CHECK_EQ(server.Failures(), std::string());
  // The directory and the names are joined with a backslash.
  CHECK_EQ(ReadFile(dir + "\\mail.txt"),
           "Subject: Report\r\nMIME-Version: 1.0\r\n\r\nHello\r\n.dotted\r\n"
           "[Attachment saved to \"" + attachDir + "\\r.pdf\"]\r\n"
           "[Attachment saved to \"" + attachDir + "\\bin.dat\"]\r\n"
           "[Attachment saved to \"" + attachDir + "\\up.txt\"]\r\n");
  CHECK_EQ(ReadFile(attachDir + "\\r.pdf"), std::string("%PDF-1.4\n"));
  CHECK_EQ(ReadFile(attachDir + "\\bin.dat"), std::string("\x00\x01\x02\xfd\xfe\xff", 6));
  // A name with a drive and parent folders stays inside the attachment folder.
  CHECK_EQ(ReadFile(attachDir + "\\up.txt"), std::string("up"));
}

WINE_TEST(RefusedConnectIsMinus36WithTheSocketCode) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  kelIntegerParam(0, KEL_SMTP_PORT, ClosedLoopbackPort());
  // Non-blocking: the failure shows as the socket's exceptional state.
  CHECK_EQ(kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr), -36);
  CHECK_EQ(kelStatistics(0, KEL_STAT_SOCKET_STATE), -36);
  // The blocking connect gets the refusal itself.
  kelIntegerParam(1, KEL_BLOCKING_CONNECT, 1);
  kelIntegerParam(1, KEL_POP3_PORT, ClosedLoopbackPort());
  CHECK_EQ(kelPop3Connect(1, "127.0.0.1", "joe", "pw"), -36);
  CHECK_EQ(kelStatistics(1, KEL_STAT_SOCK_CODE), -10061);
}

WINE_TEST(SilentServerTimesOutWithMinus8) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  WineServer server;
  server.Stall();
  server.Start();
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 300);
  kelIntegerParam(0, KEL_POP3_PORT, server.Port());
  const DWORD start = GetTickCount();
  CHECK_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), -8);
  CHECK(GetTickCount() - start < 5000);  // the set time-out, not the default 10 s
}

WINE_TEST(NonBlockingDriverRunsToTheEnd) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  WineServer server;
  server.Send("220 hi\r\n").ExpectLine("HELO example.com\r\n").Send("250 ok\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  CHECK_EQ(kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr), 0);
  int rc = 1;
  const DWORD start = GetTickCount();
  while (rc > 0 && GetTickCount() - start < 10000) {
    rc = kelDriver(0);
    Sleep(1);
  }
  CHECK_EQ(rc, 0);
  // The handle the interface gives is the system's socket itself, whole
  // (a SOCKET is 64 bits wide in KEL64.dll): it names this connection.
  const int handle = kelStatistics(0, KEL_STAT_SOCKET);
  CHECK(handle > 0);
  sockaddr_in peer{};
  int length = sizeof peer;
  CHECK_EQ(getpeername(static_cast<SOCKET>(handle), reinterpret_cast<sockaddr *>(&peer), &length), 0);
  CHECK_EQ(static_cast<unsigned>(ntohs(peer.sin_port)), static_cast<unsigned>(server.Port()));
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  CHECK_EQ(kelClose(0), 0);
  CHECK(server.Finish());
  CHECK_EQ(server.Failures(), std::string());
}

// A name given as an IPv6 address, in brackets or without: the connection
// goes over IPv6 (Windows Sockets 2, as Wine has it) and says so.
WINE_TEST(SmtpOverIpv6ToTheLoopback) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  WineServer server(6);
  if (!server.Listening()) {
    printf("SKIPPED: no IPv6 listener on ::1 can be made here (%s)\n", server.Failures().c_str());
    return;
  }
  const std::string dir = TestDirectory("ipv6");
  const std::string log = dir + "\\smtp.log";
  kelStringParam(0, KEL_LOG_FILE, log.c_str());
  server.Send("220 v6 ready\r\n").ExpectLine("HELO example.com\r\n").Send("250 hello\r\n");
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<you@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go\r\n").ReadUntil("\r\n.\r\n").Send("250 queued\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
  REQUIRE_EQ(kelSmtpConnect(0, "[::1]", "<me@example.com>", nullptr), 0);
  char ip[64];
  CHECK_EQ(kelDebug(0, KEL_DEBUG_SERVER_IP, ip, sizeof ip), 3);
  CHECK_EQ(std::string(ip), std::string("::1"));
  CHECK_EQ(kelDebug(0, KEL_DEBUG_LOCAL_IP, ip, sizeof ip), 3);
  CHECK_EQ(std::string(ip), std::string("::1"));
  CHECK_EQ(kelSendEmail(0, "<you@example.com>", nullptr, nullptr, "over IPv6", "hello over ::1\r\n", nullptr), 0);
  // The socket the interface gives is the IPv6 connection itself.
  WineSockaddr6 peer{};
  int length = sizeof peer;
  CHECK_EQ(getpeername(static_cast<SOCKET>(kelStatistics(0, KEL_STAT_SOCKET)), reinterpret_cast<sockaddr *>(&peer),
                       &length),
           0);
  CHECK_EQ(static_cast<int>(peer.Family), WineAf6);
  CHECK_EQ(static_cast<unsigned>(ntohs(peer.Port)), static_cast<unsigned>(server.Port()));
  CHECK_EQ(kelClose(0), 0);
  CHECK(server.Finish());
  CHECK_EQ(server.Failures(), std::string());
  CHECK(server.Received().find("\r\n\r\nhello over ::1\r\n") != std::string::npos);
  CHECK(ReadFile(log).find("RemoteAddr=[::1], RemotePort=") != std::string::npos);

  // Refused, non-blocking and blocking, without the brackets too.
  kelStringParam(0, KEL_LOG_FILE, "");
  kelIntegerParam(0, KEL_SMTP_PORT, ClosedLoopbackPort(6));
  CHECK_EQ(kelSmtpConnect(0, "::1", "<me@example.com>", nullptr), -36);
  kelIntegerParam(1, KEL_BLOCKING_CONNECT, 1);
  kelIntegerParam(1, KEL_POP3_PORT, ClosedLoopbackPort(6));
  CHECK_EQ(kelPop3Connect(1, "[::1]", "joe", "pw"), -36);
  CHECK_EQ(kelStatistics(1, KEL_STAT_SOCK_CODE), -10061);
}

// Two threads, each with a channel and a server of its own, at the same time:
// the one lock and the readiness tests serve both.
struct ThreadSession {
  unsigned Channel;
  int Connect = 1, Send = 1, Close = 1;
  std::string Received;
  bool Finished = false;
};

static unsigned long __stdcall RunThreadSession(void *arg) {
  ThreadSession &t = *static_cast<ThreadSession *>(arg);
  WineServer server;
  server.Send("220 hi\r\n").ExpectLine("HELO example.com\r\n").Send("250 ok\r\n");
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<you@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go\r\n").ReadUntil("\r\n.\r\n").Send("250 queued\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(t.Channel, KEL_SMTP_PORT, server.Port());
  t.Connect = kelSmtpConnect(t.Channel, "127.0.0.1", "<me@example.com>", nullptr);
  const std::string text = "Message of channel " + std::to_string(t.Channel) + "\r\n";
  t.Send = kelSendEmail(t.Channel, "<you@example.com>", nullptr, nullptr, "Hi", text.c_str(), nullptr);
  t.Close = kelClose(t.Channel);
  t.Finished = server.Finish() && server.Failures().empty();
  t.Received = server.Received();
  return 0;
}

WINE_TEST(TwoThreadsSendAtTheSameTime) {
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  ThreadSession sessions[2];
  HANDLE threads[2];
  for (unsigned i = 0; i < 2; i++) {
    sessions[i].Channel = i;
    threads[i] = CreateThread(nullptr, 0, RunThreadSession, &sessions[i], 0, nullptr);
  }
  CHECK_EQ(WaitForMultipleObjects(2, threads, TRUE, 30000), static_cast<unsigned long>(WAIT_OBJECT_0));
  for (unsigned i = 0; i < 2; i++) {
    CloseHandle(threads[i]);
    CHECK_EQ(sessions[i].Connect, 0);
    CHECK_EQ(sessions[i].Send, 0);
    CHECK_EQ(sessions[i].Close, 0);
    CHECK(sessions[i].Finished);
    // Each server got its own channel's message and nothing of the other's.
    CHECK(sessions[i].Received.find("\r\n\r\nMessage of channel " + std::to_string(i) + "\r\n\r\n.\r\n") !=
          std::string::npos);
    CHECK(sessions[i].Received.find("Message of channel " + std::to_string(1 - i)) == std::string::npos);
  }
}

// ---- TLS through Schannel, against the Linux-side peer (tls_peer.py) ----

// A Unix path as Wine shows it (drive Z: is the root).
std::string WinePath(const std::string &unixPath) {
  std::string path = "Z:" + unixPath;
  for (char &c : path)
    if (c == '/') c = '\\';
  return path;
}

struct TlsPeer {
  int Smtp = 0, Pop3s = 0;
  // POP3 over TLS on ::1 (0 without IPv6): the certificate names ::1, or
  // only 127.0.0.1 and ::2.
  int Pop3sV6 = 0, Pop3sV6Other = 0;
  std::string Ca;
  TlsPeer() {
    const char *dir = getenv("KEL_TLS_PEER");
    if (!dir) return;
    FILE *f = fopen(WinePath(std::string(dir) + "/peer.txt").c_str(), "r");
    if (!f) return;
    if (fscanf(f, "%d %d %d %d", &Smtp, &Pop3s, &Pop3sV6, &Pop3sV6Other) != 4) Smtp = Pop3s = 0;
    fclose(f);
    Ca = WinePath(std::string(dir) + "/ca.pem");
  }
};

WINE_TEST(TlsStartTlsSendThenPop3sRetrieve) {
  TlsPeer peer;
  REQUIRE_EQ(peer.Smtp > 0 && peer.Pop3s > 0, true);
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  const std::string dir = TestDirectory("tls");
  const std::string attachDir = dir + "\\att";
  CreateDirectoryA(attachDir.c_str(), nullptr);
  std::string blob;
  for (int i = 0; i < 30000; i++) blob += static_cast<char>((i * 7 + i / 256) & 255);
  WriteFile(dir + "\\blob.bin", blob);
  kelStringParam(0, KEL_TLS_CA_FILE, peer.Ca.c_str());
  kelStringParam(0, KEL_LOG_FILE, (dir + "\\tls.log").c_str());
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_REQUIRED);
  kelIntegerParam(0, KEL_SMTP_PORT, peer.Smtp);
  REQUIRE_EQ(kelSmtpConnect(0, "127.0.0.1", "<me@example.test>", ""), 0);
  CHECK_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  CHECK_EQ(kelSendEmail(0, "<you@example.test>", nullptr, nullptr, "over Schannel", "hello\r\n.dot\r\n",
                        (dir + "\\blob.bin").c_str()),
           0);
  CHECK_EQ(kelClose(0), 0);
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_IMPLICIT);
  kelIntegerParam(0, KEL_POP3_PORT, peer.Pop3s);
  REQUIRE_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
  CHECK_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  char detail[1100];
  kelDebug(0, KEL_DEBUG_TLS_CERT, detail, sizeof detail);
  const std::string cert = detail;
  CHECK(cert.rfind("subject: CN=mail.example.test\r\nissuer: CN=Test Mail CA\r\nnot before: 20", 0) == 0);
  CHECK(cert.find(" UTC\r\nnot after: 20") != std::string::npos);
  CHECK(cert.size() > 20 && cert.substr(cert.size() - 21) == " UTC\r\nverified: yes\r\n");
  const int count = kelGetEmailCount(0);
  CHECK(count >= 1);
  CHECK_EQ(kelGetEmailFile(0, count, "mail.txt", dir.c_str(), attachDir.c_str()), 0);
  CHECK_EQ(kelClose(0), 0);
  CHECK(ReadFile(attachDir + "\\blob.bin") == blob);
  const std::string log = ReadFile(dir + "\\tls.log");
  CHECK(log.find("[TLS verify ok]") != std::string::npos);
  CHECK(log.find("[TLS peer ") != std::string::npos);
}

// Wine's own Schannel check would accept these; the library's does not.
WINE_TEST(TlsRefusesAWrongNameAndAnUnknownIssuer) {
  TlsPeer peer;
  REQUIRE_EQ(peer.Smtp > 0, true);
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_IMPLICIT);
  kelIntegerParam(0, KEL_POP3_PORT, peer.Pop3s);
  kelStringParam(0, KEL_TLS_CA_FILE, peer.Ca.c_str());
  kelStringParam(0, KEL_TLS_SERVER_NAME, "wrong.example.test");
  CHECK_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), -93);
  kelStringParam(0, KEL_TLS_SERVER_NAME, "mail.example.test");
  CHECK_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
  kelClose(0);
  kelStringParam(0, KEL_TLS_SERVER_NAME, "");
  kelStringParam(0, KEL_TLS_CA_FILE, "");  // the system's roots do not know the test CA
  CHECK_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), -91);
  char detail[1100];
  kelDebug(0, KEL_DEBUG_TLS_CERT, detail, sizeof detail);
  CHECK(std::string(detail).find("\r\nverified: no (unable to get local issuer certificate)\r\n") != std::string::npos);
  kelIntegerParam(0, KEL_TLS_VERIFY, 0);
  CHECK_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
  kelDebug(0, KEL_DEBUG_TLS_CERT, detail, sizeof detail);
  CHECK(std::string(detail).find("\r\nverified: no (not checked: KEL_TLS_VERIFY 0)\r\n") != std::string::npos);
  kelClose(0);
}

// The certificate's IP entries of 16 bytes: ::1 passes, a certificate
// naming 127.0.0.1 and ::2 but not ::1 does not; the name set for the
// check still works over IPv6.
WINE_TEST(TlsOverIpv6ChecksTheAddressInTheCertificate) {
  TlsPeer peer;
  REQUIRE_EQ(peer.Pop3s > 0, true);
  if (!peer.Pop3sV6 || !peer.Pop3sV6Other) {
    printf("SKIPPED: the TLS peer could not listen on ::1\n");
    return;
  }
  Attached lib;
  REQUIRE_EQ(lib.Result, 1);
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_IMPLICIT);
  kelStringParam(0, KEL_TLS_CA_FILE, peer.Ca.c_str());
  kelIntegerParam(0, KEL_POP3_PORT, peer.Pop3sV6);
  CHECK_EQ(kelPop3Connect(0, "[::1]", "joe", "pw"), 0);
  CHECK_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  CHECK_EQ(kelClose(0), 0);
  CHECK_EQ(kelPop3Connect(0, "::1", "joe", "pw"), 0);
  CHECK_EQ(kelClose(0), 0);
  kelIntegerParam(0, KEL_POP3_PORT, peer.Pop3sV6Other);
  CHECK_EQ(kelPop3Connect(0, "[::1]", "joe", "pw"), -93);
  kelStringParam(0, KEL_TLS_SERVER_NAME, "mail.example.test");
  CHECK_EQ(kelPop3Connect(0, "[::1]", "joe", "pw"), 0);
  CHECK_EQ(kelClose(0), 0);
  kelStringParam(0, KEL_TLS_SERVER_NAME, "");
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
