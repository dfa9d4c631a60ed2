// The session calls: entry and argument checks with their
// codes, what each call stores, the blocking and non-blocking modes,
// kelClose's clean-up, kelAbort, and sixteen channels driven from one loop.
#include "fixtures/smtp_helpers.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "api/session.h"

namespace {

class SessionTest : public SmtpTest {
 protected:
  // A blocking connect of channel c; the script then waits for more.
  void Connected(ScriptServer &server, unsigned c = 0) {
    Greet(server);
    server.Start();
    ASSERT_EQ(Connect(server, c), 0);
  }
  void NonBlocking(unsigned c = 0) { kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0); }
};

}  // namespace

// ---- The entry checks ----------------------------------------------------------------

TEST(SessionEntryChecks, EveryCallNeedsAnAttachFirst) {
  kelRelease();
  EXPECT_EQ(kelSmtpConnect(0, "127.0.0.1", "<a@b>", nullptr), -71);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), -71);
  EXPECT_EQ(kelVerifyUser(0, "a"), -71);
  EXPECT_EQ(kelCommand(0, "NOOP"), -71);
  EXPECT_EQ(kelClose(0), -71);
  EXPECT_EQ(kelAbort(0), -71);
}

TEST_F(SessionTest, EveryCallRefusesAChannelOutOfRange) {
  for (unsigned c : {4u, 127u, 0xFFFFFFFFu}) {
    EXPECT_EQ(kelSmtpConnect(c, "127.0.0.1", "<a@b>", nullptr), -73);
    EXPECT_EQ(kelSendEmail(c, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), -73);
    EXPECT_EQ(kelVerifyUser(c, "a"), -73);
    EXPECT_EQ(kelCommand(c, "NOOP"), -73);
    EXPECT_EQ(kelClose(c), -73);
    EXPECT_EQ(kelAbort(c), -73);
  }
}

// ---- The protocol mark ---------------------------------------------------------------

TEST_F(SessionTest, SmtpCallsRefuseAChannelNotConnectedBySmtp) {
  std::string log = OpenLog();
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), -58);
  EXPECT_EQ(kelVerifyUser(0, "a"), -58);
  Ch().Protocol = 'P';
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), -58);
  EXPECT_EQ(kelVerifyUser(0, "a"), -58);
  // The protocol test comes before the trace line.
  EXPECT_EQ(ReadFileText(log), "");
}

TEST_F(SessionTest, CommandOnAFreshChannelIsRefusedAfterItsTrace) {
  std::string log = OpenLog();
  EXPECT_EQ(kelCommand(0, "NOOP"), -56);
  EXPECT_EQ(kelCommand(0, nullptr), -47);
  EXPECT_EQ(ReadFileText(log), "*** kelCommand\r\n*** kelCommand\r\n");
}

TEST_F(SessionTest, CommandStartsTheSmtpOrThePop3Sequence) {
  NonBlocking();
  Ch().Protocol = 'S';
  EXPECT_EQ(kelCommand(0, "NOOP"), 0);
  EXPECT_EQ(Ch().NextState, 298);
  Ch().Protocol = 'P';
  EXPECT_EQ(kelCommand(0, "0123456789012345678901234567890123456789"), 0);
  EXPECT_EQ(Ch().NextState, 398);
  EXPECT_STREQ(Ch().Command, "01234567890123456789012345678901");
}

// ---- kelSmtpConnect --------------------------------------------------------------------

TEST_F(SessionTest, ConnectArgumentChecksAndTheirCodes) {
  struct Case {
    const char *Server, *From, *ReplyTo;
    int Result;
  } cases[] = {
      {nullptr, "<a@b.c>", nullptr, -50},
      {"127.0.0.1", nullptr, nullptr, -38},
      {nullptr, nullptr, nullptr, -50},
      {"mail@example.com", "<a@b.c>", nullptr, -56},
      {"<mail>", "<a@b.c>", nullptr, -56},
      {"mail\tserver", "<a@b.c>", nullptr, -56},
      {"mail\x7f", "<a@b.c>", nullptr, -56},
      {"mail\xb0", "<a@b.c>", nullptr, -56},
      {"127.0.0.1", "", nullptr, -37},
      {"127.0.0.1", "<a@b.c", nullptr, -43},
      {"127.0.0.1", "a@b.c> <", nullptr, -43},
      {"127.0.0.1", "<a@b.c>\r\nRCPT TO:<x@y.z>", nullptr, -32},
      {"127.0.0.1", "<a@b.c>\n", nullptr, -32},
      {"127.0.0.1", "<a@b.c>", "<r@b.c>\r\nBcc: <x@y.z>", -32},
  };
  NonBlocking();
  for (const Case &c : cases) {
    Ch().Protocol = 0;
    EXPECT_EQ(kelSmtpConnect(0, c.Server, c.From, c.ReplyTo), c.Result) << (c.From ? c.From : "null");
    // The mark is set first, before any check.
    EXPECT_EQ(Ch().Protocol, 'S');
    EXPECT_EQ(Ch().NextState, 0);
  }
}

TEST_F(SessionTest, ConnectWithoutBracketInTheSenderGoesThroughTheErrorExit) {
  std::string log = OpenLog();
  EXPECT_EQ(kelSmtpConnect(0, "127.0.0.1", "a@b.c", nullptr), -41);
  EXPECT_EQ(NormalizeLog(ReadFileText(log)),
            "*** kelSmtpConnect\r\n"
            "ERROR(T): SockCode=0 KelCode=-41 PrevState=-2 ThisState=-1 NextState=0\r\n"
            "Missing '<' delimiter in email address.Closing socket\r\n");
}

TEST_F(SessionTest, ConnectStoresItsArgumentsAndStartsState200) {
  NonBlocking();
  const std::string longName(140, 'n');
  Ch().SmtpPort = 2525;
  Ch().RingRead = 5;
  Ch().RingWrite = 9;
  Ch().AttachCount = 3;
  Ch().SockCode = -10061;
  Ch().AfterConnectState = 301;
  Ch().WaitWritable = 1;
  Ch().NotBefore = 77;
  Ch().Deadline = 88;
  strcpy(Ch().ReplyTo, "<old@b.c>");
  EXPECT_EQ(kelSmtpConnect(0, longName.c_str(), ("<" + longName + "@b.c>").c_str(), nullptr), 0);
  EXPECT_EQ(std::string(Ch().Server), longName.substr(0, 128));
  EXPECT_EQ(std::string(Ch().From), ("<" + longName).substr(0, 128));
  EXPECT_STREQ(Ch().ReplyTo, "");
  EXPECT_EQ(Ch().Port, 2525);
  EXPECT_EQ(Ch().RingRead, 0);
  EXPECT_EQ(Ch().RingWrite, 0);
  EXPECT_EQ(Ch().AttachCount, 0);
  EXPECT_EQ(Ch().SockCode, 0);
  EXPECT_EQ(Ch().AfterConnectState, 0);
  EXPECT_EQ(Ch().WaitWritable, 0);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  EXPECT_EQ(Ch().NextState, 200);
  EXPECT_EQ(kelSmtpConnect(0, "", "Me <me@b.c>", "<r@b.c>"), 0);  // an empty name passes the check
  EXPECT_STREQ(Ch().ReplyTo, "<r@b.c>");
  EXPECT_STREQ(Ch().From, "Me <me@b.c>");
}

TEST_F(SessionTest, ServerNameRule) {
  EXPECT_EQ(CheckServerName("mail.example.com"), 0);
  EXPECT_EQ(CheckServerName(""), 0);
  EXPECT_EQ(CheckServerName("10.1.2.3"), 0);
  EXPECT_EQ(CheckServerName("m\xc0il\xff"), 0);
  EXPECT_EQ(CheckServerName("a b"), 0);
  for (const char *bad : {"a@b", "a<b", "a>b", "a\x1f", "a\x7f", "a\x80", "a\xbf", "a\r\n"})
    EXPECT_EQ(CheckServerName(bad), -56) << bad;
}

TEST_F(SessionTest, AddressBracketRule) {
  EXPECT_EQ(CheckAddressBrackets(Ch(), nullptr, true), -37);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "", false), -37);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "Ann <a@b>", true), 0);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "<a@b>, bad", true), 0);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "<a@b, <c@d>", true), -43);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "<a@b, <c@d>", false), 0);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "> <", false), -43);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "a@b, <c@d>", true), -41);
  EXPECT_EQ(CheckAddressBrackets(Ch(), "a@b, <c@d>", false), 0);
}

// ---- kelSendEmail -------------------------------------------------------------------------

TEST_F(SessionTest, SendOnAChannelWithoutConnectionIsNotConnected) {
  // The mark is set, but the connect failed its checks: no socket.
  EXPECT_EQ(kelSmtpConnect(0, nullptr, "<a@b>", nullptr), -50);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, "hi", nullptr), -44);
  ScriptServer server;
  Connected(server);
  EXPECT_EQ(kelAbort(0), 1);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, "hi", nullptr), -44);
}

TEST_F(SessionTest, SendArgumentChecksAndTheirCodes) {
  ScriptServer server;
  Connected(server);
  NonBlocking();
  struct Case {
    const char *To, *Cc, *Bcc;
    int Result;
  } cases[] = {
      {nullptr, "<c@d>", nullptr, -45},
      {"", nullptr, nullptr, -45},
      {"<a@b", nullptr, nullptr, -43},
      {"<a@b>", "<c@d", nullptr, -43},
      {"<a@b>", nullptr, "e@f> <", -43},
      {"<a@b>,<c@d>\r\nDATA", nullptr, nullptr, -32},
      {"<a@b>", "<c@d>,\n<e@f>", nullptr, -32},
      {"<a@b>", nullptr, "<e@f>\r", -32},
      {"<a@b>, not bracketed", "", "", 0},  // only the first address is tested
  };
  for (const Case &c : cases) {
    EXPECT_EQ(kelSendEmail(0, c.To, c.Cc, c.Bcc, nullptr, "hi", nullptr), c.Result) << (c.To ? c.To : "null");
    EXPECT_NE(Ch().Socket, NoSocket);  // none of these closes the connection
  }
  EXPECT_EQ(Ch().NextState, 204);
  EXPECT_EQ(Ch().CcList, nullptr);  // an empty list counts as absent
  EXPECT_EQ(Ch().BccList, nullptr);
}

TEST_F(SessionTest, SendWithoutBracketInTheFirstAddressClosesTheConnection) {
  ScriptServer server;
  Greet(server);
  server.Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "a@b, <c@d>", nullptr, nullptr, nullptr, "hi", nullptr), -41);
  EXPECT_EQ(Ch().Socket, NoSocket);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "HELO example.com\r\n");
}

TEST_F(SessionTest, SendRefusesLineBreaksInTheSenderTextsBeforeAnythingIsSent) {
  ScriptServer server;
  Connected(server);
  ASSERT_GT(kelStringParam(0, KEL_FROM, "<me@example.com>\r\nRCPT TO:<x@y.z>"), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, "hi", nullptr), -32);
  ASSERT_GT(kelStringParam(0, KEL_FROM, "<me@example.com>"), 0);
  ASSERT_GT(kelStringParam(0, KEL_REPLY_TO, "<r@example.com>\nBcc: x@y.z"), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, "hi", nullptr), -32);
  EXPECT_NE(Ch().Socket, NoSocket);
  EXPECT_EQ(server.Received(), "HELO example.com\r\n");
}

TEST_F(SessionTest, SendWhoseCopyFailsIsOutOfMemory) {
  ScriptServer server;
  Connected(server);
  PlatformFailAllocationAfter(1);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, "hi", nullptr), -55);
  PlatformFailAllocationAfter(2);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", "<c@d>", nullptr, nullptr, "hi", nullptr), -55);
  EXPECT_STREQ(Ch().ToList, "<a@b>");  // the copies made before stay
}

TEST_F(SessionTest, SendStoresItsArgumentsAndStartsState204) {
  ScriptServer server;
  Connected(server);
  NonBlocking();
  std::string log = OpenLog();
  Ch().BodyBytesRead = Ch().AttachBytesRead = Ch().BodyBytesSent = Ch().AttachBytesSent = 9;
  Ch().ContentIdCount = 4;
  Ch().SockCode = -10054;
  Ch().AfterConnectState = 201;
  // Left by an earlier operation: a passed deadline must not fail this one.
  Ch().NotBefore = PlatformTick() + 60000;
  Ch().Deadline = PlatformTick() - 1000;
  EXPECT_EQ(kelSendEmail(0, "<a@b>", "<c@d>", "<e@f>", "Subject", "Body", "x.dat"), 0);
  EXPECT_STREQ(Ch().ToList, "<a@b>");
  EXPECT_STREQ(Ch().CcList, "<c@d>");
  EXPECT_STREQ(Ch().BccList, "<e@f>");
  EXPECT_STREQ(Ch().Subject, "Subject");
  EXPECT_STREQ(Ch().Message, "Body");
  EXPECT_STREQ(Ch().Attachments, "x.dat");
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TOTAL_READ), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TOTAL_SENT), 0);
  EXPECT_EQ(Ch().ContentIdCount, 0);
  EXPECT_EQ(Ch().SockCode, 0);
  EXPECT_EQ(Ch().AfterConnectState, 0);
  EXPECT_EQ(Ch().WaitWritable, 1);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  EXPECT_EQ(Ch().NextState, 204);
  EXPECT_EQ(kelSendEmail(0, "<a@b>", nullptr, nullptr, "", nullptr, ""), 0);
  EXPECT_EQ(Ch().CcList, nullptr);
  EXPECT_EQ(Ch().Subject, nullptr);
  EXPECT_STREQ(Ch().Message, "");
  EXPECT_EQ(Ch().Attachments, nullptr);
  // Non-blocking: no "Sending..." line.
  EXPECT_EQ(ReadFileText(log), "*** kelSendEmail\r\n*** kelSendEmail\r\n");
  // The first step runs MAIL FROM at once.
  EXPECT_EQ(kelDriver(0), 205);
}

// ---- kelVerifyUser ------------------------------------------------------------------------

TEST_F(SessionTest, VerifyArgumentChecks) {
  ScriptServer server;
  Connected(server);
  EXPECT_EQ(kelVerifyUser(0, nullptr), -45);
  EXPECT_EQ(kelVerifyUser(0, ""), -45);
  EXPECT_EQ(kelVerifyUser(0, "a,b,c\r\nDATA"), -32);
  EXPECT_EQ(server.Received(), "HELO example.com\r\n");
}

TEST_F(SessionTest, VerifyInNonBlockingModeReturnsAtOnceAndTheResultComesLater) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Send("250 a\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  NonBlocking();
  Ch().Deadline = PlatformTick() - 1000;  // stale: cleared by the call
  EXPECT_EQ(kelVerifyUser(0, "a"), 0);
  EXPECT_EQ(Ch().NextState, 270);
  EXPECT_EQ(Ch().Deadline, 0u);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_VRFY_RESULT), 0);
  EXPECT_EQ(RunToEnd(0), 0);
  EXPECT_EQ(kelDriver(0), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_VRFY_RESULT), 1);
}

TEST_F(SessionTest, VerifyInBlockingModeReturnsTheResultOrTheError) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Send("250 a\r\n");
  server.ExpectLine("VRFY b\r\n").Send("550 b\r\n");
  server.ExpectLine("VRFY c\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelVerifyUser(0, "a"), 1);
  EXPECT_EQ(kelVerifyUser(0, "b"), 0);
  EXPECT_EQ(kelVerifyUser(0, "c"), -1);
}

// ---- kelCommand ---------------------------------------------------------------------------

TEST_F(SessionTest, CommandClearsAStaleDeadlineInNonBlockingMode) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("NOOP\r\n").Send("250 ok\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  NonBlocking();
  Ch().NotBefore = PlatformTick() + 60000;
  Ch().Deadline = PlatformTick() - 1000;
  EXPECT_EQ(kelCommand(0, "NOOP"), 0);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  EXPECT_EQ(kelDriver(0), 299);
  EXPECT_EQ(RunToEnd(0), 0);
  EXPECT_EQ(Ch().ReplyCode, 250);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

// ---- kelClose -----------------------------------------------------------------------------

TEST_F(SessionTest, BlockingCloseReleasesTheSlotsAndTheMarkWhateverTheResult) {
  // A fresh channel has no socket: QUIT cannot be sent.
  ASSERT_NE(AllocAndCopy(0, 8, "lines"), nullptr);
  Ch().Protocol = 'P';
  EXPECT_EQ(kelClose(0), -52);
  EXPECT_EQ(Ch().Protocol, 0);
  EXPECT_EQ(SlotBlock(0, 8), nullptr);

  ScriptServer server;
  Greet(server);
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  NonBlocking();
  ASSERT_EQ(kelSendEmail(0, "<a@b>", "<c@d>", "<e@f>", "s", "m", "a"), 0);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(Ch().Protocol, 0);
  for (int k = 1; k <= 8; k++) EXPECT_EQ(SlotBlock(0, k), nullptr) << k;
  EXPECT_EQ(Ch().ToList, nullptr);
  EXPECT_EQ(Ch().CcList, nullptr);
  EXPECT_EQ(Ch().Attachments, nullptr);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SessionTest, NonBlockingCloseKeepsTheSlotsAndTheMark) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  NonBlocking();
  ASSERT_EQ(kelVerifyUser(0, "x"), 0);  // (left unrun)
  Ch().NotBefore = PlatformTick() + 60000;
  Ch().Deadline = 5;
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(Ch().NextState, 258);
  EXPECT_EQ(Ch().WaitWritable, 1);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  EXPECT_EQ(RunToEnd(0), 0);
  EXPECT_EQ(Ch().Protocol, 'S');
  EXPECT_NE(SlotBlock(0, 1), nullptr);
  EXPECT_EQ(Ch().Socket, NoSocket);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

// kelClose in the middle of a retrieval: the attachment being written is
// incomplete, so it is removed rather than noted as saved.
TEST_F(SessionTest, CloseRemovesTheAttachmentOfAnUnfinishedRetrieval) {
  const std::string email = dir_ + "/mail.eml", attachment = dir_ + "/part.bin";
  Ch().Protocol = 'P';
  NonBlocking();
  Ch().EmailHandle = PlatformFileCreate(email.c_str());
  Ch().FileHandle = PlatformFileCreate(attachment.c_str());
  ASSERT_GT(Ch().EmailHandle, 0);
  ASSERT_GT(Ch().FileHandle, 0);
  strcpy(Ch().AttachPath, attachment.c_str());
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(Ch().EmailHandle, 0);
  EXPECT_EQ(Ch().FileHandle, 0);
  EXPECT_EQ(Ch().AttachCount, 0);
  EXPECT_EQ(ReadFileText(email), "");
  EXPECT_FALSE(std::filesystem::exists(attachment));
}

TEST_F(SessionTest, CloseOnAnSmtpChannelClosesAFileLeftByAFailedSendWithoutANote) {
  const std::string body = dir_ + "/body.txt";
  WriteFileText(body, "body\n");
  Ch().Protocol = 'S';
  NonBlocking();
  std::string log = OpenLog();
  Ch().FileHandle = PlatformFileOpenRead(body.c_str());
  ASSERT_GT(Ch().FileHandle, 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(Ch().FileHandle, 0);
  EXPECT_EQ(Ch().AttachCount, 0);
  EXPECT_EQ(ReadFileText(log), "*** kelClose\r\n");
}

// ---- kelAbort -----------------------------------------------------------------------------

TEST_F(SessionTest, AbortStopsTheChannelClosesItsSocketOnceAndLeavesBlockingMode) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Stall();  // never answers
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  NonBlocking();
  ASSERT_EQ(kelVerifyUser(0, "a"), 0);
  ASSERT_TRUE(RunUntilState(0, 272));
  std::string log = OpenLog();
  EXPECT_EQ(kelAbort(0), 1);
  EXPECT_EQ(Ch().AutoCall, 1);
  EXPECT_EQ(Ch().NextState, 0);
  EXPECT_EQ(Ch().Socket, NoSocket);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  // Files, slots and the mark stay.
  EXPECT_EQ(Ch().Protocol, 'S');
  EXPECT_NE(SlotBlock(0, 1), nullptr);
  EXPECT_EQ(ReadFileText(log), "*** kelAbort\r\nClosing socket\r\n");
  // The channel is idle: the next step does nothing.
  EXPECT_EQ(kelDriver(0), 0);
}

TEST_F(SessionTest, AbortOnAnIdleChannelWithoutSocket) {
  NonBlocking();
  std::string log = OpenLog();
  EXPECT_EQ(kelAbort(0), 1);
  EXPECT_EQ(Ch().AutoCall, 1);
  EXPECT_EQ(ReadFileText(log), "*** kelAbort\r\nClosing socket\r\n");
}

// ---- Sixteen channels, one loop ----------------------------------------------------------

class SixteenChannelTest : public SessionTest {
 protected:
  int ChannelCount() const override { return 16; }
};

TEST_F(SixteenChannelTest, NonBlockingChannelsAreDrivenFromOneLoop) {
  constexpr unsigned N = 16;
  std::unique_ptr<ScriptServer> servers[N];
  for (unsigned c = 0; c < N; c++) {
    servers[c] = std::make_unique<ScriptServer>();
    ScriptServer &s = *servers[c];
    const std::string n = std::to_string(c);
    Greet(s, "HELO host" + n + ".example\r\n");
    s.ExpectLine("VRFY user" + n + "\r\n").Send(c % 2 ? "550 unknown\r\n" : "250 user" + n + "\r\n");
    s.ExpectLine("NOOP " + n + "\r\n").Send("250 ok " + n + "\r\n");
    s.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
    s.Start();
    kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0);
  }
  // Drives every channel one step per round until all are idle; false on an error.
  auto driveAll = [&]() {
    bool busy[N];
    std::fill(busy, busy + N, true);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (unsigned left = N; left > 0 && std::chrono::steady_clock::now() < end;) {
      for (unsigned c = 0; c < N; c++) {
        if (!busy[c]) continue;
        int rc = kelDriver(c);
        if (rc < 0) ADD_FAILURE() << "channel " << c << " failed with " << rc;
        if (rc < 1) busy[c] = false, left--;
      }
    }
    return std::none_of(busy, busy + N, [](bool b) { return b; });
  };
  const auto start = std::chrono::steady_clock::now();
  for (unsigned c = 0; c < N; c++) {
    const std::string from = "<user" + std::to_string(c) + "@host" + std::to_string(c) + ".example>";
    ChannelOf(c)->SmtpPort = servers[c]->Port();
    ASSERT_EQ(kelSmtpConnect(c, "127.0.0.1", from.c_str(), nullptr), 0);
  }
  ASSERT_TRUE(driveAll());
  for (unsigned c = 0; c < N; c++) ASSERT_EQ(kelVerifyUser(c, ("user" + std::to_string(c)).c_str()), 0);
  ASSERT_TRUE(driveAll());
  for (unsigned c = 0; c < N; c++) EXPECT_EQ(kelStatistics(c, KEL_STAT_VRFY_RESULT), c % 2 ? 0 : 1) << c;
  for (unsigned c = 0; c < N; c++) ASSERT_EQ(kelCommand(c, ("NOOP " + std::to_string(c)).c_str()), 0);
  ASSERT_TRUE(driveAll());
  for (unsigned c = 0; c < N; c++) {
    char text[128];
    kelDebug(c, KEL_DEBUG_LAST_REPLY, text, sizeof text);
    EXPECT_EQ(std::string(text), "250 ok " + std::to_string(c) + "\r\n");
  }
  for (unsigned c = 0; c < N; c++) ASSERT_EQ(kelClose(c), 0);
  ASSERT_TRUE(driveAll());
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  for (unsigned c = 0; c < N; c++) {
    EXPECT_TRUE(servers[c]->Finish()) << c << ": " << servers[c]->Failures();
    EXPECT_EQ(ChannelOf(c)->Socket, NoSocket);
  }
  // The waits of the channels overlap: one after another they would take
  // at least 16 x 250 ms for the HELO delays alone.
  EXPECT_LT(ms, 3000);
}

// ---- Addresses too long for their command line ----------------------------------------------

TEST_F(SessionTest, AddressTooLongForItsCommandLineIsRefusedBeforeAnythingIsSent) {
  // "RCPT TO:" and the entry from its "<" fill at most 1023 characters.
  const std::string fits = "Name <" + std::string(1015 - 2 - 12, 'a') + "@example.com>";
  const std::string tooLong = "<" + std::string(1016 - 2 - 12, 'a') + "@example.com>";
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:" + fits.substr(5) + "\r\n").Send("250 ok\r\n").ExpectLine("DATA\r\n").Send("554 no\r\n");
  server.Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  const std::string lists[][3] = {{tooLong, "", ""}, {"<a@b>", tooLong, ""}, {"<a@b>", "", "<c@d>," + tooLong}};
  for (const auto &l : lists) {
    EXPECT_EQ(kelSendEmail(0, l[0].c_str(), l[1].c_str(), l[2].c_str(), "s", "m", nullptr), -86);
  }
  EXPECT_EQ(kelVerifyUser(0, std::string(1019, 'v').c_str()), -86);
  // The longest entry that fits goes out whole.
  EXPECT_EQ(kelSendEmail(0, fits.c_str(), nullptr, nullptr, "s", "m", nullptr), -49);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  char text[128];
  kelErrorText(0, -86, text, sizeof text);
  EXPECT_STREQ(text, "Email address too long for its command line.");
}

// ---- Files left open ---------------------------------------------------------------------------

static int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) n++;
  return n;
}

TEST_F(SessionTest, AbortAndReleaseCloseEveryFileTheChannelHolds) {
  const std::string body = dir_ + "/body.txt";
  WriteFileText(body, "body\n");
  for (int call = 0; call < 2; call++) {
    const int before = OpenDescriptors();
    for (char protocol : {'S', 'P'}) {
      Channel &ch = Ch(protocol == 'S' ? 0 : 1);
      ch.Protocol = protocol;
      ch.FileHandle = PlatformFileOpenRead(body.c_str());
      ch.EmailHandle = PlatformFileCreate((dir_ + "/mail" + protocol).c_str());
      ASSERT_GT(ch.FileHandle, 0);
      ASSERT_GT(ch.EmailHandle, 0);
    }
    EXPECT_EQ(OpenDescriptors(), before + 4);
    if (call == 0) {
      EXPECT_EQ(kelAbort(0), 1);
      EXPECT_EQ(kelAbort(1), 1);
      EXPECT_EQ(Ch(0).FileHandle + Ch(0).EmailHandle + Ch(1).FileHandle + Ch(1).EmailHandle, 0);
    } else {
      EXPECT_EQ(kelRelease(), 1);
      ASSERT_EQ(kelAttach(ChannelCount(), 0), 1);
    }
    EXPECT_EQ(OpenDescriptors(), before) << (call == 0 ? "kelAbort" : "kelRelease");
  }
}
