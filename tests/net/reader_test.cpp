// The response reader: the ring, lines cut out of received blocks, and the
// SMTP and POP3 reply readers, with the data lines they log.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "net_support.h"

namespace {

using Ring = NetTest;

TEST_F(Ring, PutGetPeekAcrossTheWrap) {
  Channel &ch = Ch();
  ch.RingRead = ch.RingWrite = 1020;
  EXPECT_EQ(RingPut(ch, "abcdefgh", 8), 8);
  EXPECT_EQ(ch.RingWrite, 4);
  EXPECT_EQ(RingFill(ch), 8);
  char out[16] = {};
  EXPECT_EQ(RingPeek(ch, out, 16), 8);
  EXPECT_EQ(std::string(out, 8), "abcdefgh");
  EXPECT_EQ(RingFill(ch), 8);
  EXPECT_EQ(RingGet(ch, out, 5), 5);
  EXPECT_EQ(std::string(out, 5), "abcde");
  EXPECT_EQ(RingGet(ch, out, 16), 3);
  EXPECT_EQ(std::string(out, 3), "fgh");
  // Emptied: both indices go back to 0.
  EXPECT_EQ(ch.RingRead, 0);
  EXPECT_EQ(ch.RingWrite, 0);
  EXPECT_EQ(RingGet(ch, out, 4), 0);
}

TEST_F(Ring, OverflowDropsTheContent) {
  Channel &ch = Ch();
  std::string block(1023, 'x');
  RingPut(ch, block.data(), 1023);
  EXPECT_EQ(RingFill(ch), 1023);
  RingPut(ch, "yz", 2);  // the 1024th byte meets the read index
  EXPECT_EQ(ch.RingRead, 0);
  EXPECT_EQ(RingFill(ch), 1);
  char out[4];
  EXPECT_EQ(RingGet(ch, out, 4), 1);
  EXPECT_EQ(out[0], 'z');
}

TEST(FindChar, StopsAtNulAndCount) {
  EXPECT_EQ(FindChar("ab\ncd", '\n', 5), 2);
  EXPECT_EQ(FindChar("ab\ncd", '\n', 2), -1);
  EXPECT_EQ(FindChar("ab\0\ncd", '\n', 6), -1);
  EXPECT_EQ(FindChar("", 'a', 4), -1);
}

using Reader = NetTest;

TEST_F(Reader, TwoLinesInOneBlockCostOneReceive) {
  ScriptServer server;
  server.Send("+OK one\r\n+OK two\r\n").Stall();
  server.Start();
  Connect(server.Port());
  std::string log = BareLog();
  char line[64];
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 5000, 5000), 9);
  EXPECT_STREQ(line, "+OK one\r\n");
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 0, 0), 9);
  EXPECT_STREQ(line, "+OK two\r\n");
  EXPECT_EQ(ReadFileText(log), "P: +OK one\r\n+OK two\r\nr: +OK one\r\nr: +OK two\r\n");
}

TEST_F(Reader, FillAndPeekLeavesTheRingUnchanged) {
  ScriptServer server;
  server.Send("Content-Type: text/plain\r\n").Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  char head[8] = {};
  EXPECT_EQ(FillAndPeek(Ch(), head, 5), 5);
  EXPECT_EQ(std::string(head, 5), "Conte");
  EXPECT_EQ(head[5], 0);  // no NUL is added, nothing past the size is written
  const int read = Ch().RingRead, write = Ch().RingWrite;
  EXPECT_EQ(FillAndPeek(Ch(), head, 5), 5);
  EXPECT_EQ(Ch().RingRead, read);
  EXPECT_EQ(Ch().RingWrite, write);
  char line[64];
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 0, 0), 26);
}

TEST_F(Reader, LongLineIsCutAtTheBufferAndGoesOn) {
  std::string text(1498, 'a');
  text += "\r\n";
  ScriptServer server;
  server.Send(text).Stall();
  server.Start();
  Connect(server.Port());
  char line[1024];
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 5000, 5000), 1023);
  EXPECT_EQ(std::string(line), text.substr(0, 1023));
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 5000, 5000), 477);
  EXPECT_EQ(std::string(line), text.substr(1023));
}

TEST_F(Reader, LineArrivingInPiecesIsJoined) {
  ScriptServer server;
  server.SendSplit("+OK 2 messages\r\n", {3, 9}, 100).Stall();
  server.Start();
  Connect(server.Port());
  char line[64];
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 5000, 5000), 16);
  EXPECT_STREQ(line, "+OK 2 messages\r\n");
}

TEST_F(Reader, TakeBytesFromRingThenSocket) {
  ScriptServer server;
  server.SendSplit("abcdefgh", {4}, 150).Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  char peek[1024];
  ASSERT_EQ(FillAndPeek(Ch(), peek, sizeof peek), 4);  // "abcd" into the ring
  std::string log = BareLog();
  char buffer[16] = {};
  EXPECT_EQ(TakeBytes(Ch(), buffer, 3), 3);
  EXPECT_EQ(Ch().LastByte, 'c');
  ASSERT_EQ(PlatformSocketWait(Ch().Socket, ReadyReadable, 5000), 1);  // "efgh" has come
  EXPECT_EQ(TakeBytes(Ch(), buffer, 10), 5);
  EXPECT_EQ(std::string(buffer, 5), "defgh");
  EXPECT_EQ(Ch().LastByte, 'h');
  Ch().IdleWait = 0;
  EXPECT_EQ(TakeBytes(Ch(), buffer, 10), 0);  // nothing there yet
  EXPECT_EQ(Ch().IdleWait, ReadyReadable);
  EXPECT_EQ(FillAndPeek(Ch(), buffer, 10), 0);
  EXPECT_EQ(ReadFileText(log), "r: abcr: dR: efgh");
}

TEST_F(Reader, ClosedConnection) {
  ScriptServer server;
  server.Close();
  server.Start();
  Connect(server.Port());
  ASSERT_TRUE(server.Finish()) << server.Failures();
  char buffer[16];
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(FillAndPeek(Ch(), buffer, 16), -1);
  EXPECT_EQ(TakeBytes(Ch(), buffer, 16), -1);
  EXPECT_EQ(ReadLinePiece(Ch(), buffer, 16), -1);
  EXPECT_EQ(ReadSmtpReply(Ch()), -1);  // the QUIT state may take this as success, no other
  EXPECT_EQ(ReadPop3Reply(Ch()), -1);
}

TEST_F(Reader, ResetConnection) {
  ScriptServer server;
  server.Reset();
  server.Start();
  Connect(server.Port());
  ASSERT_TRUE(server.Finish()) << server.Failures();
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), -1);
}

using SmtpReply = NetTest;

TEST_F(SmtpReply, TwoLinesInOneBlock) {
  ScriptServer server;
  server.Send("250-first\r\n250 last\r\n").Stall();
  server.Start();
  Connect(server.Port());
  std::string log = BareLog();
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);
  EXPECT_EQ(Ch().ReplyCode, 250);
  EXPECT_STREQ(Ch().Response, "250-first\r\n250 last\r\n");
  EXPECT_STREQ(Ch().LastReply, "250 last\r\n");
  EXPECT_EQ(Count(ReadFileText(log), "P: "), 1);
  EXPECT_EQ(ReadFileText(log), "P: 250-first\r\n250 last\r\nr: 250-first\r\nr: 250 last\r\n");
}

TEST_F(SmtpReply, TwoLinesInTwoBlocks) {
  ScriptServer server;
  server.SendSplit("250-first\r\n250 last\r\n", {11}, 200).Stall();
  server.Start();
  Connect(server.Port());
  std::string log = BareLog();
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);
  EXPECT_EQ(Ch().ReplyCode, 250);
  EXPECT_STREQ(Ch().Response, "250-first\r\n250 last\r\n");
  EXPECT_STREQ(Ch().LastReply, "250 last\r\n");
  EXPECT_EQ(ReadFileText(log), "P: 250-first\r\nr: 250-first\r\nP: 250 last\r\nr: 250 last\r\n");
  EXPECT_EQ(Ch().IdleWait, 0);  // the reader's own wait does not mark the step idle
}

TEST_F(SmtpReply, CodesAndEnds) {
  ScriptServer server;
  server.Send("550 no such user\r\n452 full\r\n354\r\n250\n221-a\r\n221 b\r\n").Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), -49);
  EXPECT_EQ(Ch().ReplyCode, 550);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);  // 4xx is not an error here
  EXPECT_EQ(Ch().ReplyCode, 452);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);  // a line that ends after the code
  EXPECT_EQ(Ch().ReplyCode, 354);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);  // also with a bare line feed
  EXPECT_EQ(Ch().ReplyCode, 250);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);
  EXPECT_STREQ(Ch().Response, "221-a\r\n221 b\r\n");
}

TEST_F(SmtpReply, ErrorOnFirstLineLeavesTheRest) {
  ScriptServer server;
  server.Send("554-no\r\n554 really\r\n").Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), -49);
  EXPECT_STREQ(Ch().Response, "554-no\r\n");
  EXPECT_EQ(RingFill(Ch()), 12);
}

TEST_F(SmtpReply, LastReplyIsCutAt127) {
  std::string line = "250 " + std::string(200, 'z') + "\r\n";
  ScriptServer server;
  server.Send(line).Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);
  EXPECT_EQ(std::string(Ch().LastReply), line.substr(0, 127));
}

TEST_F(SmtpReply, OverlongMultiLineReply) {
  // Continuation lines that fill the 1023 characters of room: -31.
  std::string reply;
  for (int i = 0; i < 31; i++) reply += "250-" + std::string(29, 'a') + "\r\n";  // 31 * 35 = 1085
  reply += "250 end\r\n";
  ScriptServer server;
  server.Send(reply).Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), -31);
  EXPECT_EQ(strlen(Ch().Response), 1023u);
}

TEST_F(SmtpReply, FinalLineCutByTheRoomStillEnds) {
  // 29 lines of 35 = 1015 characters leave room for 8 more: "250 endi" ends the reply.
  std::string reply;
  for (int i = 0; i < 29; i++) reply += "250-" + std::string(29, 'a') + "\r\n";
  reply += "250 ending here\r\n";
  ScriptServer server;
  server.SendSplit(reply, {512}, 50).Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);
  EXPECT_EQ(strlen(Ch().Response), 1023u);
  EXPECT_STREQ(Ch().LastReply, "250 endi");
  char rest[64];
  EXPECT_EQ(ReadLine(Ch(), rest, sizeof rest, 0, 0), 9);
  EXPECT_STREQ(rest, "ng here\r\n");
}

TEST_F(SmtpReply, LateRestOfReplyTimesOut) {
  Settings.ResponseTimeout = 200;
  ScriptServer server;
  server.Send("250-first\r\n").Stall();
  server.Start();
  Connect(server.Port());
  ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
  EXPECT_EQ(ReadSmtpReply(Ch()), -8);
  EXPECT_EQ(Ch().ReplyCode, 250);
}

using Pop3Reply = NetTest;

TEST_F(Pop3Reply, PlusAndMinus) {
  ScriptServer server;
  server.Send("+OK ready <1.2@x>\r\n").Pause(100).Send("-ERR locked\r\n").Stall();
  server.Start();
  Connect(server.Port());
  Ch().Deadline = 12345;
  EXPECT_EQ(ReadPop3Reply(Ch()), 0);
  EXPECT_EQ(Ch().Deadline, 0u);
  EXPECT_EQ(Ch().ReplyCode, 100);
  EXPECT_STREQ(Ch().LastReply, "+OK ready <1.2@x>\r\n");
  EXPECT_EQ(ReadPop3Reply(Ch()), -63);
  EXPECT_EQ(Ch().ReplyCode, 500);
  EXPECT_STREQ(Ch().Response, "-ERR locked\r\n");
}

TEST_F(Pop3Reply, NoReplyTimesOut) {
  Settings.ReceiveTimeout = 100;
  ScriptServer server;
  server.Stall();
  server.Start();
  Connect(server.Port());
  EXPECT_EQ(ReadPop3Reply(Ch()), -8);
}

TEST_F(Pop3Reply, LongStatusLineStaysInItsFields) {
  std::string line = "+OK " + std::string(1500, 'q') + "\r\n";
  ScriptServer server;
  server.Send(line).Stall();
  server.Start();
  Connect(server.Port());
  EXPECT_EQ(ReadPop3Reply(Ch()), 0);
  EXPECT_EQ(strlen(Ch().Response), 1023u);
  EXPECT_EQ(strlen(Ch().LastReply), 127u);
  EXPECT_EQ(Ch().Server[0], 0);  // the field behind LastReply is untouched
}

}  // namespace

// ---- The form of reply lines -------------------------------------------------------

TEST(ReplyLineForm, SmtpCodesAndSeparators) {
  const struct {
    const char *line;
    int form;
  } cases[] = {
      {"250 ok\r\n", 0}, {"250-more\r\n", 1}, {"250\r\n", 0}, {"250\n", 0}, {"599 x\r\n", 0}, {"200 x\r\n", 0},
      {"\r\n", -1},      {"2\r\n", -1},       {"-1\r\n", -1}, {"abc\r\n", -1}, {"199 x\r\n", -1}, {"600 x\r\n", -1},
      {"25a x\r\n", -1}, {"2500 x\r\n", -1},  {"250x\r\n", -1}, {"250\rx\n", -1}, {" 250 x\r\n", -1}, {"250\t\r\n", -1},
  };
  for (const auto &c : cases) EXPECT_EQ(SmtpReplyLineForm(c.line, static_cast<int>(strlen(c.line))), c.form) << c.line;
  // A line cut right behind the CR of its code still ends the reply.
  EXPECT_EQ(SmtpReplyLineForm("250\r", 4), 0);
}

TEST(ReplyLineForm, Pop3StatusWords) {
  const struct {
    const char *line;
    int form;
  } cases[] = {
      {"+OK\r\n", 1},      {"+OK 2 320\r\n", 1}, {"+OK\n", 1},   {"+ok fine\r\n", 1}, {"+OK\tx\r\n", 1},
      {"-ERR\r\n", 0},     {"-ERR no\r\n", 0},   {"-err x\r\n", 0},
      {"+OKAY\r\n", -1},   {"+\r\n", -1},        {"OK\r\n", -1}, {"-ER\r\n", -1},     {"-ERROR\r\n", -1},
      {"\r\n", -1},        {"abc\r\n", -1},      {"+OK\rx\n", -1},
  };
  for (const auto &c : cases) EXPECT_EQ(Pop3StatusForm(c.line, static_cast<int>(strlen(c.line))), c.form) << c.line;
}

// What is not a reply never passes for one: the malformed line, and a line
// whose end never came (a time-out), in both modes.
TEST_F(SmtpReply, MalformedAndUnfinishedLinesAreNoReply) {
  const struct {
    const char *bytes;
    int result;
    int code;
  } cases[] = {
      {"\r\n", -84, 0}, {"2\r\n", -84, 0}, {"-1\r\n", -84, 0}, {"abc\r\n", -84, 0},
      {"250-first\r\nabc\r\n", -84, 250}, {"250 que", -8, 0}, {"250-first\r\n250 la", -8, 250},
  };
  for (int blocking = 1; blocking >= 0; blocking--) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(c.bytes) + (blocking ? "" : " non-blocking"));
      kelRelease();
      ASSERT_EQ(kelAttach(1, 0), 1);
      Settings.ResponseTimeout = 150;
      ScriptServer server;
      server.Send(c.bytes).Stall();
      server.Start();
      Connect(server.Port());
      Ch().AutoCall = blocking;
      const auto start = std::chrono::steady_clock::now();
      int ready = 0;
      while (!(ready = AwaitReply(Ch(), SmtpReplyLines, 0)) && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_EQ(ready, 1);
      EXPECT_EQ(ReadSmtpReply(Ch()), c.result);
      EXPECT_EQ(Ch().ReplyCode, c.code);
    }
  }
}

// Non-blocking: a reply that arrives in pieces is awaited between steps
// without any wait inside a call, and read whole once its last line is in.
TEST_F(SmtpReply, NonBlockingAwaitsTheWholeReplyAcrossCalls) {
  ScriptServer server;
  server.SendSplit("250-first\r\n250 la", {5, 11}, 150).Pause(150).Send("st\r\n").Stall();
  server.Start();
  Connect(server.Port());
  Ch().AutoCall = 0;
  int calls = 0;
  const auto start = std::chrono::steady_clock::now();
  long longest = 0;
  for (;;) {
    const auto before = std::chrono::steady_clock::now();
    const int ready = AwaitReply(Ch(), SmtpReplyLines, 0);
    longest = std::max<long>(longest, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count());
    if (ready) break;
    calls++;
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(calls, 10);
  EXPECT_LT(longest, 50);
  EXPECT_EQ(ReadSmtpReply(Ch()), 0);
  EXPECT_STREQ(Ch().Response, "250-first\r\n250 last\r\n");
}

TEST_F(Pop3Reply, MalformedAndUnfinishedStatusLines) {
  const struct {
    const char *bytes;
    int result;
  } cases[] = {{"abc\r\n", -85}, {"+OKAY\r\n", -85}, {"\r\n", -85}, {"+OK que", -8}, {"-ERR\r\n", -63}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.bytes);
    kelRelease();
    ASSERT_EQ(kelAttach(1, 0), 1);
    Settings.ResponseTimeout = 150;
    ScriptServer server;
    server.Send(c.bytes).Stall();
    server.Start();
    Connect(server.Port());
    ASSERT_EQ(AwaitReadable(Ch(), 5000), 1);
    EXPECT_EQ(ReadPop3Reply(Ch()), c.result);
    // The refused line is named in the error text.
    char text[128];
    kelErrorText(0, c.result, text, sizeof text);
    if (c.result != -8) {
      EXPECT_EQ(Ch().ReplyCode, 500);
      EXPECT_NE(std::string(text).find(c.bytes), std::string::npos) << text;
    }
  }
}
