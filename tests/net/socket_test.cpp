// The socket layer: address texts, readiness, waits, sending and closing.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/text.h"
#include "net_support.h"

namespace {

TEST(DottedAddress, FourDecimalPartsBelow256) {
  EXPECT_EQ(IsDottedAddress("10.0.0.1"), 1);
  EXPECT_EQ(IsDottedAddress("10.0.0.1.7"), 1);  // nothing past the fourth part is looked at
  EXPECT_EQ(IsDottedAddress("255.255.255.255"), 1);
  EXPECT_EQ(IsDottedAddress("1..2."), 1);  // empty parts count as 0
  EXPECT_EQ(IsDottedAddress("10.0.0.1x"), 0);
  EXPECT_EQ(IsDottedAddress("10.0.0.256"), 0);
  EXPECT_EQ(IsDottedAddress("10.0.0.99999999999999"), 0);
  EXPECT_EQ(IsDottedAddress("10.0.x.1"), 0);
  EXPECT_EQ(IsDottedAddress("mail.example"), 0);
  EXPECT_EQ(IsDottedAddress("10.0.1"), 0);
  EXPECT_EQ(IsDottedAddress(""), 0);
  EXPECT_EQ(IsDottedAddress("-1.0.0.1"), 0);
}

TEST(DottedAddress, ParseAndFormat) {
  EXPECT_EQ(ParseDottedAddress("10.1.2.3"), 0x0A010203u);
  EXPECT_EQ(ParseDottedAddress("1..2.3.junk"), 0x01000203u);
  EXPECT_EQ(ParseDottedAddress("255.254.253.252"), 0xFFFEFDFCu);

  char text[32];
  memset(text, 'x', sizeof text);
  EXPECT_EQ(FormatDottedAddress(Loopback, text, 17), 9);
  EXPECT_STREQ(text, "127.0.0.1");
  memset(text, 'x', sizeof text);
  EXPECT_EQ(FormatDottedAddress(Loopback, text, 16), 0);
  EXPECT_EQ(text[0], 'x');  // nothing written
  EXPECT_EQ(FormatDottedAddress(0xFFFFFFFFu, text, 17), 15);
  EXPECT_STREQ(text, "255.255.255.255");
}

TEST(TextRoutines, ParseDecimal) {
  EXPECT_EQ(ParseDecimal("250-ok"), 250u);
  EXPECT_EQ(ParseDecimal("+OK 2 320"), 0u);
  EXPECT_EQ(ParseDecimal(" 12"), 0u);
  EXPECT_EQ(ParseDecimal(""), 0u);
  EXPECT_EQ(ParseDecimal("4294967295"), 4294967295u);
  EXPECT_EQ(ParseDecimal("4294967296"), 0u);           // wraps
  EXPECT_EQ(ParseDecimal("123456789012"), 1234567890u);  // ten digits at most
}

TEST(TextRoutines, FileNameOf) {
  EXPECT_STREQ(FileNameOf("c:\\mail\\out\\report.pdf"), "report.pdf");
  EXPECT_STREQ(FileNameOf("c:report.pdf"), "report.pdf");
  EXPECT_STREQ(FileNameOf("/tmp/mail/photo.jpg"), "photo.jpg");
  EXPECT_STREQ(FileNameOf("plain.txt"), "plain.txt");
  EXPECT_STREQ(FileNameOf("\\root"), "\\root");  // the first position is not a separator
  EXPECT_STREQ(FileNameOf("dir\\"), "");
  EXPECT_STREQ(FileNameOf(""), "");
}

using SocketLayer = NetTest;

TEST_F(SocketLayer, ResolveThroughResolver) {
  static int calls;
  calls = 0;
  PlatformSetResolver([](const char *name, uint32_t *address) {
    calls++;
    if (strcmp(name, "mail.test") == 0) {
      *address = 0x7F000002;
      return 1;
    }
    if (strcmp(name, "zero.test") == 0) return 0;
    return -11001;
  });
  strcpy(Ch().Server, "mail.test");
  EXPECT_EQ(ResolveServer(Ch()), 1);
  EXPECT_EQ(Ch().ServerAddr, 0x7F000002u);
  strcpy(Ch().Server, "zero.test");
  EXPECT_EQ(ResolveServer(Ch()), 0);
  strcpy(Ch().Server, "nowhere.test");
  EXPECT_EQ(ResolveServer(Ch()), -11001);
  EXPECT_EQ(Ch().ServerAddr, 0x7F000002u);
  EXPECT_EQ(calls, 3);
}

TEST_F(SocketLayer, LocalHostName) {
  char name[256];
  EXPECT_EQ(GetLocalHostName(name, sizeof name), 1);
  EXPECT_GT(strlen(name), 0u);
}

TEST_F(SocketLayer, ConnectLogsAndFillsSlot) {
  ScriptServer server;
  server.Stall();
  server.Start();
  std::string log = BareLog();
  Ch().NonBlockConnect = 0;
  int s = OpenSocket(0);
  ASSERT_GT(s, 0);
  EXPECT_EQ(Ch().Socket, s);
  EXPECT_EQ(ChannelTable[0].Socket, s);
  EXPECT_EQ(ConnectSocket(0, Loopback, server.Port()), 1);
  const uint8_t *sa = ChannelTable[0].SocketAddress;
  EXPECT_EQ(sa[0], 2);
  EXPECT_EQ(sa[1], 0);
  EXPECT_EQ(sa[2] * 256 + sa[3], server.Port());
  EXPECT_EQ(sa[4], 127);
  EXPECT_EQ(sa[7], 1);
  // The port is printed as a signed 16-bit number.
  char expect[80];
  snprintf(expect, sizeof expect, "Socket=%d, RemoteAddr=7f000001, RemotePort=%d\r\n", s,
           static_cast<int>(static_cast<int16_t>(server.Port())));
  EXPECT_EQ(ReadFileText(log), expect);
  EXPECT_EQ(SocketReady(Ch(), 2), 1);
  EXPECT_EQ(SocketReady(Ch(), 3), 0);
  EXPECT_EQ(SocketReady(Ch(), 1), 0);
  EXPECT_EQ(SocketReady(Ch(), 4), -5);
  EXPECT_EQ(SocketReady(Ch(), 0), -5);
}

TEST_F(SocketLayer, ConnectErrors) {
  // Blocking: the refusal comes from the connect itself.
  Ch().NonBlockConnect = 0;
  ASSERT_GT(OpenSocket(0), 0);
  EXPECT_EQ(ConnectSocket(0, Loopback, ClosedLoopbackPort()), -10061);
  // Non-blocking: the connect is under way, the refusal shows as an exceptional state.
  Ch(1).NonBlockConnect = 1;
  ASSERT_GT(OpenSocket(1), 0);
  EXPECT_EQ(ConnectSocket(1, Loopback, ClosedLoopbackPort()), 1);
  for (int i = 0; i < 500 && SocketReady(Ch(1), 3) != 1; i++) PlatformSleep(10);
  EXPECT_EQ(SocketReady(Ch(1), 3), 1);
  EXPECT_EQ(SocketReady(Ch(1), 2), 0);
  EXPECT_EQ(AwaitWritable(Ch(1), 0), 0);
  EXPECT_EQ(kelStatistics(1, KEL_STAT_SOCKET_STATE), -36);
}

TEST_F(SocketLayer, ChannelWithoutSocket) {
  // Fresh after attach, and after its socket was closed: never descriptor 0.
  EXPECT_EQ(Ch().Socket, NoSocket);
  EXPECT_EQ(ChannelTable[0].Socket, NoSocket);
  for (int kind = 1; kind <= 3; kind++) EXPECT_EQ(SocketReady(Ch(), kind), 1) << kind;
  EXPECT_EQ(PollReadable(NoSocket), 1);
  EXPECT_EQ(AwaitWritable(Ch(), 0), 0);  // exceptional first: the connection test fails
  EXPECT_EQ(AwaitReadable(Ch(), 0), 1);  // "ready", so the receive that follows reports the error
  char line[16] = "QUIT";
  EXPECT_EQ(SendTextLine(Ch(), line), -10038);
  EXPECT_STREQ(line, "QUIT");
  EXPECT_EQ(SendBytes(Ch(), "x", 1), -10038);
  EXPECT_EQ(CloseSocket(Ch()), -10038);
  EXPECT_EQ(Ch().Socket, NoSocket);
  char text[32];
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LOCAL_IP, text, sizeof text), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET_STATE), -36);
}

// The session calls on a channel whose socket went with an error: nothing
// waits for ever, no descriptor is touched.
TEST_F(SocketLayer, SessionCallsOnAClosedChannel) {
  ScriptServer server;
  server.Send("220 hi\r\n").Close();
  server.Start();
  Connect(server.Port());
  Ch().Protocol = 'S';
  CloseChannelSocket(Ch());  // as the error exit does
  EXPECT_EQ(kelSendEmail(0, "<a@b.example>", nullptr, nullptr, "s", "m", nullptr), -44);
  EXPECT_EQ(kelClose(0), -52);
  EXPECT_EQ(Ch().SockCode, -10038);
  EXPECT_EQ(Ch().NextState, 0);
}

TEST_F(SocketLayer, CloseForgetsSocketAndSecondCloseIsHarmless) {
  ScriptServer server;
  server.Close();
  server.Start();
  Connect(server.Port());
  std::string log = BareLog();
  const PlatformSocket s = Ch().Socket;
  char text[32];
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LOCAL_IP, text, sizeof text), 9);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LOCAL_IP, text, 16), 0);
  CloseChannelSocket(Ch());
  EXPECT_EQ(Ch().Socket, NoSocket);
  EXPECT_EQ(ChannelTable[0].Socket, NoSocket);
  EXPECT_EQ(fcntl(s, F_GETFD), -1);  // the descriptor is gone
  // A descriptor with the old number, opened by someone else, is never touched.
  int other = open("/dev/null", O_RDONLY);
  CloseChannelSocket(Ch());
  EXPECT_EQ(CloseSocket(Ch()), -10038);
  if (other == s) {
    EXPECT_NE(fcntl(other, F_GETFD), -1);
  }
  close(other);
  EXPECT_EQ(ReadFileText(log), "Closing socket\r\nClosing socket\r\n");
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SocketLayer, SendTextLineKeepsCallerText) {
  ScriptServer server;
  server.ExpectLine("QUIT\r\n").ReadUntil("AUTH\r\n").Close();
  server.Start();
  Connect(server.Port());
  std::string log = BareLog();
  char line[16] = "QUIT";
  memset(line + 5, '#', sizeof line - 5);
  EXPECT_EQ(SendTextLine(Ch(), line), 6);
  EXPECT_STREQ(line, "QUIT");
  EXPECT_EQ(line[5], '\n');  // the two spare bytes were used
  EXPECT_EQ(SendText(Ch(), "dXNlcg==\r\n"), 10);
  EXPECT_EQ(SendBytes(Ch(), "AUTH\r\nnot this", 6), 6);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "QUIT\r\ndXNlcg==\r\nAUTH\r\n");
  EXPECT_EQ(ReadFileText(log), "S: QUIT\r\nS: dXNlcg==\r\nS: AUTH\r\n");
}

TEST_F(SocketLayer, NoSigpipeOnSendToClosedPeer) {
  struct sigaction old{}, deflt{};
  deflt.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &deflt, &old);  // a SIGPIPE would end the test program
  ScriptServer server;
  server.Reset();
  server.Start();
  Connect(server.Port());
  ASSERT_TRUE(server.Finish()) << server.Failures();
  int rc = 0;
  for (int i = 0; i < 50 && rc >= 0; i++) {
    rc = SendText(Ch(), "NOOP\r\n");
    PlatformSleep(5);
  }
  EXPECT_TRUE(rc == -10053 || rc == -10054) << rc;
  sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(SocketLayer, WaitsWithLimit) {
  ScriptServer server;
  server.Pause(300).Send("220 late\r\n").Stall();
  server.Start();
  Connect(server.Port());
  // A zero wait is one poll; a failed reply poll marks the channel idle for the blocking loop.
  Ch().IdleWait = 0;
  EXPECT_EQ(AwaitReadable(Ch(), 0), 0);
  EXPECT_EQ(Ch().IdleWait, ReadyReadable);
  Ch().IdleWait = 0;
  EXPECT_EQ(AwaitReadable(Ch(), 20), 0);
  EXPECT_EQ(Ch().IdleWait, 0);
  EXPECT_EQ(AwaitReadable(Ch(), 10000), 1);  // ends as the data comes
  EXPECT_EQ(AwaitWritable(Ch(), 0), 1);
  EXPECT_EQ(AwaitWritable(Ch(), 1000), 1);
}

TEST_F(SocketLayer, RingBytesAreReadableAfterPeerClosed) {
  ScriptServer server;
  server.Send("+OK a\r\n+OK b\r\n").Close();
  server.Start();
  Connect(server.Port());
  char line[64];
  EXPECT_GT(ReadLine(Ch(), line, sizeof line, 5000, 5000), 0);
  ASSERT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(AwaitReadable(Ch(), 0), 1);  // from the ring, without a socket call
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 0, 0), 7);
  EXPECT_STREQ(line, "+OK b\r\n");
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 1000, 0), -1);
}

// Readiness works on descriptors above the 1024 of a select() set.
TEST_F(SocketLayer, DescriptorAboveSelectLimit) {
  HighDescriptors high;
  if (!high.Held()) GTEST_SKIP() << "descriptor limit too low";
  {
    ScriptServer server;
    server.Send("250-a\r\n250 b\r\n").ExpectLine("NOOP\r\n").Close();
    server.Start();
    Connect(server.Port());
    EXPECT_GT(Ch().Socket, 1024);
    EXPECT_EQ(AwaitReadable(Ch(), 5000), 1);
    EXPECT_EQ(ReadSmtpReply(Ch()), 0);
    EXPECT_EQ(Ch().ReplyCode, 250);
    EXPECT_EQ(SocketReady(Ch(), 2), 1);
    EXPECT_EQ(SocketReady(Ch(), 3), 0);
    EXPECT_EQ(SendText(Ch(), "NOOP\r\n"), 6);
    EXPECT_TRUE(server.Finish()) << server.Failures();
    CloseSocket(Ch());
  }
}

// The pause of a close runs without the library lock: other channels go on.
TEST_F(SocketLayer, ClosePauseDoesNotHoldTheLock) {
  ScriptServer stalled;
  stalled.Stall();
  stalled.Start();
  Connect(stalled.Port());  // a peer that never ends: the close pauses in full
  std::atomic<bool> closing{false}, closed{false};
  std::thread closer([&] {
    closing = true;
    CloseSocket(Ch());
    closed = true;
  });
  while (!closing) PlatformSleep(1);
  PlatformSleep(20);
  for (int kind = 1; kind <= 3; kind++) SocketReady(Ch(1), kind);  // would wait for the lock
  EXPECT_FALSE(closed);
  closer.join();
  EXPECT_TRUE(closed);
  EXPECT_EQ(Ch().Socket, NoSocket);
}

TEST_F(SocketLayer, OpenSocketReplacesAStaleOwnSocket) {
  ASSERT_GT(OpenSocket(0), 0);
  const PlatformSocket first = Ch().Socket;
  ASSERT_GT(OpenSocket(0), 0);
  EXPECT_NE(Ch().Socket, NoSocket);
  if (Ch().Socket != first) {
    EXPECT_EQ(fcntl(first, F_GETFD), -1);  // the first is not leaked
  }
}

// ---- The output buffer --------------------------------------------------------------

// Commands leave at once; message text gathers until the buffer is full or
// the message ends; the log shows every piece as it was given.
TEST_F(SocketLayer, MessageTextGathersAndCommandsLeaveAtOnce) {
  ScriptServer server;
  server.ExpectLine("NOOP\r\n").Send("250 ok\r\n").ReadUntil("end\r\n").Close();
  server.Start();
  Connect(server.Port());
  std::string log = BareLog();
  EXPECT_EQ(SendText(Ch(), "NOOP\r\n"), 6);
  EXPECT_EQ(OutputPending(Ch()), 0);
  char reply[64];
  EXPECT_GT(ReadLine(Ch(), reply, sizeof reply, 5000, 5000), 0);  // the command has left
  Ch().MoreToFollow = 1;
  const std::string line(76, 'Q');
  std::string text;
  for (int i = 0; i < 100; i++) {
    EXPECT_EQ(SendBytes(Ch(), (line + "\r\n").c_str(), 78), 78);
    text += line + "\r\n";
  }
  EXPECT_EQ(OutputPending(Ch()), 7800);  // below the flush mark: nothing has left
  Ch().MoreToFollow = 0;
  EXPECT_EQ(SendText(Ch(), "end\r\n"), 5);
  EXPECT_EQ(OutputPending(Ch()), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "NOOP\r\n" + text + "end\r\n");
  EXPECT_EQ(Count(ReadFileText(log), "S: "), 102);
}

// A peer that has gone while bytes are held: the send that makes them leave
// reports the socket's error, the bytes are dropped, and the driver step
// that drains the buffer before a reply fails with -52: the reply state
// never runs, so the message is never taken as sent.
TEST_F(SocketLayer, BytesHeldForAGonePeerFailAtTheFlush) {
  struct sigaction old{}, deflt{};
  deflt.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &deflt, &old);
  for (int viaDriver = 0; viaDriver < 2; viaDriver++) {
    ScriptServer server;
    server.Reset();
    server.Start();
    Connect(server.Port());
    std::string log = BareLog();
    ASSERT_TRUE(server.Finish()) << server.Failures();
    PlatformSleep(20);
    Ch().MoreToFollow = 1;
    ASSERT_EQ(SendBytes(Ch(), "text\r\n", 6), 6);
    Ch().MoreToFollow = 0;
    ASSERT_EQ(OutputPending(Ch()), 6);
    int rc = 0;
    if (viaDriver) {
      Ch().OutDrain = 1;
      Ch().NextState = 252;  // EndOfDataReply
      Ch().PrevState = 251;
      rc = kelDriver(0);
      EXPECT_EQ(rc, -52);
      EXPECT_TRUE(Ch().SockCode == -10053 || Ch().SockCode == -10054 || Ch().SockCode == -10058) << Ch().SockCode;
      EXPECT_EQ(Ch().NextState, 0);
      EXPECT_NE(ReadFileText(log).find("ThisState=252"), std::string::npos) << ReadFileText(log);
    } else {
      for (int i = 0; i < 50 && rc >= 0; i++) {  // the reset may take a moment to arrive
        rc = FlushOutput(Ch(), false);
        if (rc >= 0) {
          PlatformSleep(5);
          Ch().MoreToFollow = 1;
          SendBytes(Ch(), "more\r\n", 6);
          Ch().MoreToFollow = 0;
        }
      }
      EXPECT_TRUE(rc == -10053 || rc == -10054 || rc == -10058) << rc;
    }
    EXPECT_EQ(OutputPending(Ch()), 0);
    CloseSocket(Ch());
  }
  sigaction(SIGPIPE, &old, nullptr);
}

// The receive stage: one receive takes a large block, the ring is filled
// from it without socket calls, lines come out as before, and held bytes
// count as readable.
TEST_F(SocketLayer, LargeReceiveFeedsTheRingLineByLine) {
  ScriptServer server;
  std::string block;
  for (int i = 0; i < 300; i++) block += "+line " + std::to_string(i) + " " + std::string(60, 'z') + "\r\n";
  server.Send(block).Close();
  server.Start();
  Connect(server.Port());
  ASSERT_TRUE(server.Finish()) << server.Failures();
  char line[1024];
  std::string got;
  ASSERT_GT(ReadLine(Ch(), line, sizeof line, 5000, 5000), 0);
  got += line;
  EXPECT_GT(PendingInput(Ch()), 1023);  // more than a ring-full came in one receive
  EXPECT_EQ(SocketReady(Ch(), ReadyReadable), 1);
  for (int n; (n = ReadLine(Ch(), line, sizeof line, 1000, 1000)) > 0;) got += line;
  EXPECT_EQ(got, block);
  EXPECT_EQ(InputHeld(Ch()), 0);
}

}  // namespace