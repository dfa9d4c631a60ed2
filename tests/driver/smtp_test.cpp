// The SMTP dialogue states (200-210, 252, 258, 259, 270-272,
// 298, 299) against the scripted server, byte for byte.
#include "fixtures/smtp_helpers.h"

#include <cstring>

namespace {

// Drives a non-blocking send on channel 0 up to the hand-over to
// composition; true when DataReply chose state `next`.
bool SendEnvelope(const char *to, const char *cc = nullptr, const char *bcc = nullptr, int next = 221) {
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  if (kelSendEmail(0, to, cc, bcc, "subject", "body", nullptr) != 0) return false;
  return SmtpTest::RunUntilState(0, next);
}

}  // namespace

// ---- Greeting and HELO/EHLO -----------------------------------------------------

TEST_F(SmtpTest, HeloCarriesTheDomainOfTheSender) {
  ScriptServer server;
  Greet(server, "HELO example.com\r\n");
  server.Close();
  server.Start();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(Ch().NextState, 0);
  EXPECT_NE(Ch().Socket, NoSocket);  // idle and connected
}

TEST_F(SmtpTest, HeloOfADisplayNameSenderIsTheAddressDomainWithoutBracket) {
  ScriptServer server;
  Greet(server, "HELO mail.example.org\r\n");
  server.ExpectLine("MAIL FROM:<me@mail.example.org>\r\n").Send("554 no mail today\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server, 0, "Me Myself <me@mail.example.org>"), 0);
  EXPECT_EQ(kelSendEmail(0, "<you@example.net>", nullptr, nullptr, nullptr, "hi", nullptr), -49);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, HeloWithoutAtInTheSenderUsesTheDefaultDomain) {
  ScriptServer server;
  Greet(server, "HELO localhost.localdomain\r\n");
  server.Close();
  server.Start();
  EXPECT_EQ(Connect(server, 0, "<postmaster>"), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, EhloWhenEsmtpIsEnabledAndNothingElseWithoutAKnownMethod) {
  ScriptServer server;
  Greet(server, "EHLO example.com\r\n", "250-test\r\n250-AUTH PLAIN\r\n250 8BITMIME\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  EXPECT_EQ(Connect(server), 0);
  // The whole multi-line reply was read.
  EXPECT_STREQ(Ch().Response, "250-test\r\n250-AUTH PLAIN\r\n250 8BITMIME\r\n");
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "EHLO example.com\r\nQUIT\r\n");
}

TEST_F(SmtpTest, HelloClearsTheByteCounters) {
  ScriptServer server;
  Greet(server);
  server.Close();
  server.Start();
  Ch().BodyBytesRead = Ch().AttachBytesRead = Ch().BodyBytesSent = Ch().AttachBytesSent = 7;
  EXPECT_EQ(Connect(server), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TOTAL_READ), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TOTAL_SENT), 0);
}

// ---- Refusals and closed connections in the connect sequence -------------------

TEST_F(SmtpTest, RefusedGreetingEndsTheConnectWithNothingSent) {
  for (const char *greeting : {"554 go away\r\n", "421 busy, try later\r\n"}) {
    ScriptServer server;
    server.Send(greeting).Close();
    server.Start();
    EXPECT_EQ(Connect(server), -49) << greeting;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(server.Received(), "") << greeting;
    EXPECT_EQ(Ch().Socket, NoSocket);
    EXPECT_EQ(Ch().NextState, 0);
  }
}

TEST_F(SmtpTest, RefusedHeloEndsTheConnect) {
  for (const char *reply : {"550 who are you\r\n", "451 local error\r\n"}) {
    ScriptServer server;
    Greet(server, "HELO example.com\r\n", reply);
    server.Close();
    server.Start();
    EXPECT_EQ(Connect(server), -49) << reply;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(kelStatistics(0, KEL_STAT_REPLY_CODE), atoi(reply));
  }
}

TEST_F(SmtpTest, RefusedEhloHasNoFallbackToHelo) {
  ScriptServer server;
  Greet(server, "EHLO example.com\r\n", "502 command not implemented\r\n");
  server.Close();
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  EXPECT_EQ(Connect(server), -49);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "EHLO example.com\r\n");
}

TEST_F(SmtpTest, ConnectionClosedInsteadOfAGreetingIsSocketClosed) {
  ScriptServer server;
  server.Close();
  server.Start();
  std::string log = OpenLog();
  EXPECT_EQ(Connect(server), -1);
  EXPECT_NE(ReadFileText(log).find("KelCode=-1 PrevState=106 ThisState=201 NextState=201\r\n"
                                   "Socket has been closed.Closing socket\r\n"),
            std::string::npos)
      << ReadFileText(log);
}

TEST_F(SmtpTest, ConnectionClosedInsteadOfTheHeloReplyIsSocketClosed) {
  ScriptServer server;
  server.Send("220 hi\r\n").ExpectLine("HELO example.com\r\n").Close();
  server.Start();
  EXPECT_EQ(Connect(server), -1);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, SilentServerTimesOutAfterTheResponseTimeout) {
  ScriptServer server;
  server.Stall();
  server.Start();
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 300);
  std::string log = OpenLog();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Connect(server), -8);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 300);
  EXPECT_LT(ms, 3000);
  EXPECT_NE(NormalizeLog(ReadFileText(log))
                .find("<201:T>\r\nERROR(T): SockCode=0 KelCode=-8 PrevState=201 ThisState=-1 NextState=201\r\n"
                      "Socket timed out.Closing socket\r\n"),
            std::string::npos)
      << ReadFileText(log);
}

// ---- The envelope ----------------------------------------------------------------

TEST_F(SmtpTest, RecipientsGoInTheOrderToCcBccEachOnlyItsBracketedAddress) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  for (const char *a : {"<a@x.org>", "<b@x.org>", "<c@x.org>", "<d@x.org>", "<e@x.org>"})
    server.ExpectLine(std::string("RCPT TO:") + a + "\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  ASSERT_TRUE(SendEnvelope("Ann <a@x.org>, Bob <b@x.org>", "Cid <c@x.org>", "<d@x.org>,Eve <e@x.org>"));
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_STREQ(Ch().LastRecipient, "<e@x.org>");
  // Every separator is back: the lists are whole again for the header lines.
  EXPECT_STREQ(Ch().ToList, "Ann <a@x.org>, Bob <b@x.org>");
  EXPECT_STREQ(Ch().BccList, "<d@x.org>,Eve <e@x.org>");
  kelAbort(0);
}

// A recipient's reply of several lines whose last line comes later, as
// every other reply, is awaited whole between steps, not cut short (-8).
TEST_F(SmtpTest, ARecipientReplyOfSeveralLinesInPiecesIsAwaitedWhole) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").SendSplit("250-accepted\r\n250 for now\r\n", {14}, 80);
  server.ExpectLine("RCPT TO:<b@x.org>\r\n").SendSplit("450-mailbox busy\r\n450 try later\r\n", {18}, 80);
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  ASSERT_TRUE(SendEnvelope("<a@x.org>, <b@x.org>"));
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(Ch().AcceptedCount, 1);
  EXPECT_EQ(Ch().RefusedCount, 1);
  EXPECT_STREQ(Ch().LastRecipient, "<b@x.org>");
  kelAbort(0);
}

TEST_F(SmtpTest, RecipientTextAfterTheBracketGoesWithTheAddress) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org> (Ann)\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  ASSERT_TRUE(SendEnvelope("<a@x.org> (Ann)"));
  EXPECT_TRUE(server.Finish()) << server.Failures();
  kelAbort(0);
}

TEST_F(SmtpTest, AnotherAddressSeparatorCutsTheLists) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>, <b@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<c@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.Start();
  kelIntegerParam(0, KEL_ADDRESS_SEPARATOR, ';');
  ASSERT_EQ(Connect(server), 0);
  ASSERT_TRUE(SendEnvelope("<a@x.org>, <b@x.org>;<c@x.org>"));
  EXPECT_TRUE(server.Finish()) << server.Failures();
  kelAbort(0);
}

TEST_F(SmtpTest, HtmlBodyHandsOverToTheMessageIdHeader) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.Start();
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_HTML);
  ASSERT_EQ(Connect(server), 0);
  EXPECT_TRUE(SendEnvelope("<a@x.org>", nullptr, nullptr, 220));
  kelAbort(0);
}

TEST_F(SmtpTest, TemporaryRefusalOfARecipientIsAcceptedAndTheNextOneSent) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("450 mailbox busy\r\n");
  server.ExpectLine("RCPT TO:<b@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  ASSERT_TRUE(SendEnvelope("<a@x.org>", "<b@x.org>"));
  EXPECT_TRUE(server.Finish()) << server.Failures();
  kelAbort(0);
}

TEST_F(SmtpTest, PermanentRefusalOfARecipientEndsTheSend) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("550 no such user\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@x.org>,<b@x.org>", nullptr, nullptr, nullptr, "hi", nullptr), -49);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "HELO example.com\r\nMAIL FROM:<me@example.com>\r\nRCPT TO:<a@x.org>\r\n");
  char text[128];
  kelErrorText(0, -49, text, sizeof text);
  EXPECT_STREQ(text, "SMTP returned error. 550 no such user\r\n");
}

// A 4xx and a 5xx refusal among accepted recipients, under the four
// settings of KEL_SKIP_REFUSED and KEL_STRICT_RECIPIENTS, one command per
// reply and pipelined: what the server sees, the result, and the record of
// the refusals are the same both ways.
TEST_F(SmtpTest, RefusedRecipientsAreRecordedAndTheOptInRulesApply) {
  const char *const Unknown = "550 5.1.1 <b@x.org>: Recipient address rejected: User unknown\r\n";
  const char *const Busy = "451 4.3.0 <c@x.org>: try again later\r\n";
  struct Case {
    const char *ReplyA;
    bool Skip, Strict;
    int Result;
    int Rcpts;  // RCPT TO commands the server answers
    bool Data;  // the message is sent
    int Refused, Accepted;
  } cases[] = {
      {"250 ok\r\n", false, false, -49, 2, false, 1, 1},  // by default the 5xx ends the send
      {"250 ok\r\n", false, true, -49, 2, false, 1, 1},
      {"250 ok\r\n", true, false, 0, 3, true, 2, 1},
      {"250 ok\r\n", true, true, -79, 3, true, 2, 1},  // sent to a, then the failure
      {"550 5.1.1 <a@x.org>: unknown\r\n", true, false, -78, 3, false, 3, 0},
      {"550 5.1.1 <a@x.org>: unknown\r\n", false, true, -49, 1, false, 1, 0},
  };
  for (const bool pipelined : {false, true})
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.ReplyA) + (c.Skip ? " skip" : "") + (c.Strict ? " strict" : "") +
                 (pipelined ? " pipelined" : ""));
    ScriptServer server;
    const char *replies[] = {c.ReplyA, Unknown, Busy};
    const char *addresses[] = {"<a@x.org>", "<b@x.org>", "<c@x.org>"};
    if (pipelined) {
      // Every command first, then every reply; DATA refused when no recipient is left.
      Greet(server, "EHLO example.com\r\n", "250-test\r\n250 PIPELINING\r\n");
      server.ExpectLine("MAIL FROM:<me@example.com>\r\n");
      for (const char *address : addresses) server.ExpectLine(std::string("RCPT TO:") + address + "\r\n");
      server.ExpectLine("DATA\r\n");
      server.Send(std::string("250 ok\r\n") + replies[0] + replies[1] + replies[2] +
                  (c.Accepted > 0 ? "354 go ahead\r\n" : "554 no valid recipients\r\n"));
      if (c.Data) server.ReadData().Send("250 2.0.0 queued\r\n").ExpectLine("QUIT\r\n").Send("221 bye\r\n");
    } else {
      Greet(server);
      server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
      for (int i = 0; i < c.Rcpts; i++)
        server.ExpectLine(std::string("RCPT TO:") + addresses[i] + "\r\n").Send(replies[i]);
      if (c.Data) {
        server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n").ReadData().Send("250 2.0.0 queued\r\n");
        server.ExpectLine("QUIT\r\n").Send("221 bye\r\n");
      }
    }
    server.Close();
    server.Start();
    kelIntegerParam(0, KEL_ENABLE_ESMTP, pipelined);
    kelIntegerParam(0, KEL_PIPELINING, pipelined);
    kelIntegerParam(0, KEL_SKIP_REFUSED, c.Skip);
    kelIntegerParam(0, KEL_STRICT_RECIPIENTS, c.Strict);
    ASSERT_EQ(Connect(server), 0);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_PIPELINING), pipelined ? 1 : 0);
    EXPECT_EQ(kelSendEmail(0, "<a@x.org>, <b@x.org>", "<c@x.org>", nullptr, "subject", "hi", nullptr), c.Result);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_REFUSED_COUNT), c.Refused);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_ACCEPTED_COUNT), c.Accepted);
    char list[512];
    int n = kelDebug(0, KEL_DEBUG_REFUSED_LIST, list, sizeof list);
    std::string expected;
    for (int i = 0; i < c.Rcpts; i++)
      if (replies[i][0] != '2') expected += std::string(addresses[i]) + " " + replies[i];
    EXPECT_EQ(std::string(list), expected);
    EXPECT_EQ(n, static_cast<int>(expected.size()));
    if (c.Data) {
      // The message went out and the connection stays for the next send.
      EXPECT_NE(Ch().Socket, NoSocket);
      EXPECT_EQ(kelClose(0), 0);
    } else {
      EXPECT_EQ(Ch().Socket, NoSocket);
    }
    EXPECT_TRUE(server.Finish()) << server.Failures();
    char text[256];
    if (c.Result == -78) {
      kelErrorText(0, -78, text, sizeof text);
      EXPECT_EQ(std::string(text), std::string("No recipient was accepted. ") + Busy);
    }
    if (c.Result == -79) {
      kelErrorText(0, -79, text, sizeof text);
      EXPECT_STREQ(text, "Some recipients were refused.");
    }
  }
}

TEST_F(SmtpTest, OnlyATemporaryRefusalFailsAStrictSendAfterTheMessage) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org> (Ann)   \r\n").Send("452 4.2.2 mailbox full\r\n");
  server.ExpectLine("RCPT TO:<b@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n").ReadData().Send("250 queued\r\n");
  // The next send on the same connection starts a new record.
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<b@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n").ReadData().Send("250 queued\r\n");
  server.Close();
  server.Start();
  std::string log = OpenLog();
  kelIntegerParam(0, KEL_STRICT_RECIPIENTS, 1);
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@x.org> (Ann)   ,<b@x.org>", nullptr, nullptr, "subject", "hi", nullptr), -79);
  char list[256];
  kelDebug(0, KEL_DEBUG_REFUSED_LIST, list, sizeof list);
  EXPECT_STREQ(list, "<a@x.org> (Ann) 452 4.2.2 mailbox full\r\n");
  EXPECT_NE(NormalizeLog(ReadFileText(log)).find("KelCode=-79 PrevState=251 ThisState=252 NextState=0\r\n"
                                                 "Some recipients were refused."),
            std::string::npos)
      << ReadFileText(log);
  EXPECT_EQ(kelSendEmail(0, "<b@x.org>", nullptr, nullptr, "subject", "hi", nullptr), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_REFUSED_COUNT), 0);
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_REFUSED_LIST, list, sizeof list), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  kelAbort(0);
}

TEST_F(SmtpTest, RefusedListKeepsWholeLinesAndTheCountStaysExact) {
  // 60 refusals of about 120 characters each pass the list's 4096.
  const int count = 60;
  const std::string reason = "550 5.1.1 " + std::string(100, 'r') + "\r\n";
  std::string to;
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  for (int i = 0; i < count; i++) {
    const std::string address = "<user" + std::to_string(i) + "@x.org>";
    to += (i ? "," : "") + address;
    server.ExpectLine("RCPT TO:" + address + "\r\n").Send(i == count - 1 ? "250 ok\r\n" : reason);
  }
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n").ReadData().Send("250 queued\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_SKIP_REFUSED, 1);
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, to.c_str(), nullptr, nullptr, "subject", "hi", nullptr), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_REFUSED_COUNT), count - 1);
  std::string list(8192, '\0');
  int n = kelDebug(0, KEL_DEBUG_REFUSED_LIST, &list[0], static_cast<int>(list.size()));
  list.resize(static_cast<size_t>(n));
  EXPECT_LE(n, 4097);
  EXPECT_GT(n, 4096 - 130);
  EXPECT_EQ(list.compare(0, 16, "<user0@x.org> 55"), 0);
  EXPECT_EQ(list.substr(list.size() - 2), "\r\n");
  // A small buffer gets the start of the list, cut and terminated.
  char small[10];
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_REFUSED_LIST, small, sizeof small), 9);
  EXPECT_STREQ(small, "<user0@x.");
  EXPECT_TRUE(server.Finish()) << server.Failures();
  kelAbort(0);
}

TEST_F(SmtpTest, RefusedMailFromEndsTheSendBeforeAnyRecipient) {
  for (const char *reply : {"451 try again later\r\n", "553 sender refused\r\n"}) {
    ScriptServer server;
    Greet(server);
    server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send(reply).Close();
    server.Start();
    ASSERT_EQ(Connect(server), 0);
    EXPECT_EQ(kelSendEmail(0, "<a@x.org>", nullptr, nullptr, nullptr, "hi", nullptr), -49) << reply;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(server.Received(), "HELO example.com\r\nMAIL FROM:<me@example.com>\r\n");
  }
}

TEST_F(SmtpTest, RefusedDataEndsTheSendWithNoMessageText) {
  for (const char *reply : {"451 local error\r\n", "554 no valid recipients\r\n"}) {
    ScriptServer server;
    Greet(server);
    server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
    server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("250 ok\r\n");
    server.ExpectLine("DATA\r\n").Send(reply).Close();
    server.Start();
    ASSERT_EQ(Connect(server), 0);
    EXPECT_EQ(kelSendEmail(0, "<a@x.org>", nullptr, nullptr, "subject", "hi", nullptr), -49) << reply;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    const std::string received = server.Received();
    EXPECT_EQ(received.substr(received.size() - 6), "DATA\r\n") << reply;
  }
}

TEST_F(SmtpTest, EmptyEntryBetweenSeparatorsIsAnEmptyAddress) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("250 ok\r\n");
  server.Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@x.org>,,<b@x.org>", nullptr, nullptr, nullptr, "hi", nullptr), -37);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "HELO example.com\r\nMAIL FROM:<me@example.com>\r\nRCPT TO:<a@x.org>\r\n");
  EXPECT_EQ(Ch().PrevState, 206);
}

TEST_F(SmtpTest, EntryWithoutBracketInTheCcListIsAnEmptyAddress) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<c@x.org>\r\n").Send("250 ok\r\n");
  server.Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@x.org>", "<c@x.org>, nobody", nullptr, nullptr, "hi", nullptr), -37);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, ConnectionClosedInsteadOfAnEnvelopeReplyIsSocketClosed) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@x.org>", nullptr, nullptr, nullptr, "hi", nullptr), -1);
  EXPECT_EQ(Ch().PrevState, 208);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

// ---- The reply to the message ----------------------------------------------------

TEST_F(SmtpTest, EndOfDataReplyCompletesOrRefusesTheSend) {
  struct Case {
    const char *Reply;
    int Result;
  } cases[] = {{"250 queued as 1\r\n", 0}, {"452 out of space\r\n", -49}, {"552 too big\r\n", -49}};
  for (const Case &c : cases) {
    ScriptServer server;
    Greet(server);
    server.Pause(100).Send(c.Reply);
    server.Start();
    ASSERT_EQ(Connect(server), 0);
    Ch().NextState = 252;  // as after EndOfData
    EXPECT_EQ(RunBlocking(0), c.Result) << c.Reply;
    EXPECT_EQ(Ch().ReplyCode, atoi(c.Reply));
    EXPECT_EQ(Ch().Socket == NoSocket, c.Result != 0);
  }
}

TEST_F(SmtpTest, ConnectionClosedInsteadOfTheEndOfDataReplyIsSocketClosed) {
  ScriptServer server;
  Greet(server);
  server.Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  Ch().NextState = 252;
  EXPECT_EQ(RunBlocking(0), -1);
}

TEST_F(SmtpTest, WholeMessageIsSentAndAccepted) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.ReadData().Send("250 queued\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "Ann <a@x.org>", nullptr, nullptr, "Greetings", "Hello Ann.\r\nBye.", nullptr), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  const std::string data = server.LastData();
  EXPECT_NE(data.find("To: Ann <a@x.org>\r\n"), std::string::npos) << data;
  EXPECT_NE(data.find("Subject: Greetings\r\n"), std::string::npos) << data;
  EXPECT_NE(data.find("\r\n\r\nHello Ann.\r\nBye.\r\n"), std::string::npos) << data;
}

// ---- The pipelined envelope (KEL_PIPELINING) ---------------------------------------------

// With PIPELINING offered and asked for, MAIL FROM, both RCPT TO and DATA
// reach the server before any reply is sent (the script reads all four
// lines first); each reply keeps its sequential rule.
TEST_F(SmtpTest, PipelinedEnvelopeLeavesInOneGoAndKeepsEveryReplyRule) {
  struct Case {
    const char *Replies;
    int Result;
    bool TextSent;
  };
  const Case cases[] = {
      {"250 ok\r\n250 ok\r\n450 later\r\n354 go ahead\r\n", 0, true},   // a 4xx RCPT is accepted
      {"451 not now\r\n250 ok\r\n250 ok\r\n354 go ahead\r\n", -49, false},
      {"250 ok\r\n550 no such user\r\n250 ok\r\n354 go ahead\r\n", -49, false},
      {"250 ok\r\n250 ok\r\n250 ok\r\n554 no valid recipients\r\n", -49, false},  // no text after a refused DATA
  };
  const std::string envelope = "MAIL FROM:<me@example.com>\r\nRCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nDATA\r\n";
  for (const Case &k : cases) {
    ScriptServer server;
    Greet(server, "EHLO example.com\r\n", "250-test\r\n250-PIPELINING\r\n250 8BITMIME\r\n");
    server.ExpectLine("MAIL FROM:<me@example.com>\r\n").ExpectLine("RCPT TO:<a@x.org>\r\n");
    server.ExpectLine("RCPT TO:<b@x.org>\r\n").ExpectLine("DATA\r\n").Send(k.Replies);
    if (k.TextSent) server.ReadData().Send("250 queued\r\n");
    server.Close();
    server.Start();
    kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
    kelIntegerParam(0, KEL_PIPELINING, 1);
    ASSERT_EQ(Connect(server), 0);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_PIPELINING), 1);
    EXPECT_EQ(kelSendEmail(0, "Ann <a@x.org>", "<b@x.org>", nullptr, "s", "hi", nullptr), k.Result) << k.Replies;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    const std::string received = server.Received().substr(strlen("EHLO example.com\r\n"));
    if (k.TextSent) {
      EXPECT_EQ(received.compare(0, envelope.size(), envelope), 0) << received;
      EXPECT_STREQ(Ch().LastRecipient, "<b@x.org>");
      EXPECT_STREQ(Ch().CcList, "<b@x.org>");
    } else {
      EXPECT_EQ(received, envelope) << k.Replies;
    }
  }
}

// Asked for but not offered (or offered but not asked for): one command per reply.
TEST_F(SmtpTest, PipeliningOnlyWhenAskedForAndOffered) {
  for (int asked = 0; asked < 2; asked++) {
    ScriptServer server;
    Greet(server, "EHLO example.com\r\n", asked ? "250-test\r\n250 8BITMIME\r\n" : "250-test\r\n250 PIPELINING\r\n");
    server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
    server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("250 ok\r\n");
    server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n").ReadData().Send("250 queued\r\n").Close();
    server.Start();
    kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
    kelIntegerParam(0, KEL_PIPELINING, asked);
    ASSERT_EQ(Connect(server), 0);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_PIPELINING), asked ? 0 : 1);
    EXPECT_EQ(kelSendEmail(0, "<a@x.org>", nullptr, nullptr, "s", "hi", nullptr), 0) << asked;
    EXPECT_TRUE(server.Finish()) << server.Failures();
  }
}

// ---- VRFY ---------------------------------------------------------------------------

TEST_F(SmtpTest, VrfyResultTellsAboutTheLastEntryOnly) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY <a@x.org>\r\n").Send("250 Ann <a@x.org>\r\n");
  server.ExpectLine("VRFY <b@x.org>\r\n").Send("250 Bob <b@x.org>\r\n");
  server.ExpectLine("VRFY <c@x.org>\r\n").Send("550 no such user\r\n");
  server.ExpectLine("NOOP\r\n").Send("250 ok\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelVerifyUser(0, "<a@x.org>,<b@x.org>,<c@x.org>"), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_VRFY_RESULT), 0);
  // A rejected address is no error: the connection stays.
  EXPECT_EQ(kelCommand(0, "NOOP"), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, VrfyAnswered250IsOneWhateverTheEarlierEntriesGot) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY alice\r\n").Send("553 ambiguous\r\n");
  server.ExpectLine("VRFY  bob\r\n").Send("252 cannot verify\r\n");
  server.ExpectLine("VRFY carol\r\n").Send("250 Carol <carol@x.org>\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  // Entries need no brackets and are sent whole, blank included.
  EXPECT_EQ(kelVerifyUser(0, "alice, bob,carol"), 1);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, VrfyAnswered252IsZero) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY carol\r\n").Send("252 cannot verify, will accept\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelVerifyUser(0, "carol"), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, VrfyEntryBetweenTwoSeparatorsIsSentEmpty) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Send("250 a\r\n");
  server.ExpectLine("VRFY \r\n").Send("501 syntax: VRFY address\r\n");
  server.ExpectLine("VRFY b\r\n").Send("250 b\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelVerifyUser(0, "a,,b"), 1);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "HELO example.com\r\nVRFY a\r\nVRFY \r\nVRFY b\r\n");
}

TEST_F(SmtpTest, VrfyListEndingInASeparatorEndsThere) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Send("250 a\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelVerifyUser(0, "a,"), 1);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "HELO example.com\r\nVRFY a\r\n");
}

TEST_F(SmtpTest, ConnectionClosedInsteadOfAVrfyReplyIsSocketClosed) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelVerifyUser(0, "a"), -1);
}

// ---- The free command ------------------------------------------------------------

TEST_F(SmtpTest, FreeCommandIsCutTo32Characters) {
  ScriptServer server;
  Greet(server);
  const std::string command = "HELP 0123456789012345678901234567890123456789";
  server.ExpectLine(command.substr(0, 32) + "\r\n").Send("214 see the RFC\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelCommand(0, command.c_str()), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(kelStatistics(0, KEL_STAT_REPLY_CODE), 214);
  char text[128];
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LAST_REPLY, text, sizeof text), 15);
  EXPECT_STREQ(text, "214 see the RFC\r\n");
}

TEST_F(SmtpTest, FreeCommandLeavesATemporaryRefusalToTheCaller) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("ETRN example.com\r\n").Send("458 unable to queue\r\n");
  server.ExpectLine("NOOP\r\n").Send("250 ok\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelCommand(0, "ETRN example.com"), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_REPLY_CODE), 458);
  EXPECT_EQ(kelCommand(0, "NOOP"), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, FreeCommandPermanentlyRefusedFails) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("XYZZY\r\n").Send("500 unknown command\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelCommand(0, "XYZZY"), -49);
  EXPECT_EQ(Ch().Socket, NoSocket);
}

// ---- QUIT --------------------------------------------------------------------------

TEST_F(SmtpTest, QuitAnsweredClosesTheSocket) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(Ch().Socket, NoSocket);
  EXPECT_EQ(Ch().ReplyCode, 221);
}

TEST_F(SmtpTest, QuitAnsweredByAClosedConnectionCountsAsSuccess) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("QUIT\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(Ch().Socket, NoSocket);
}

TEST_F(SmtpTest, QuitTemporarilyRefusedStillEndsTheSession) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("QUIT\r\n").Send("421 closing anyway\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(Ch().Socket, NoSocket);
}

TEST_F(SmtpTest, QuitOnAPop3ChannelUsesThePop3Check) {
  struct Case {
    const char *Reply;
    int Result;
  } cases[] = {{"+OK bye\r\n", 0}, {"-ERR not now\r\n", -63}};
  for (const Case &c : cases) {
    ScriptServer server;
    Greet(server);
    server.ExpectLine("QUIT\r\n").Send(c.Reply).Close();
    server.Start();
    ASSERT_EQ(Connect(server), 0);
    Ch().Protocol = 'P';
    EXPECT_EQ(kelClose(0), c.Result) << c.Reply;
    EXPECT_EQ(Ch().Socket, NoSocket);
    EXPECT_TRUE(server.Finish()) << server.Failures();
  }
}

// ---- The log -------------------------------------------------------------------------

TEST_F(SmtpTest, LogOfAConnectAndACloseIsExact) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  std::string path = OpenLog();
  const long before = static_cast<int32_t>(PlatformTick());
  ASSERT_EQ(Connect(server), 0);
  ASSERT_EQ(kelClose(0), 0);
  const long after = static_cast<int32_t>(PlatformTick());
  const std::string log = ReadFileText(path);
  EXPECT_EQ(NormalizeLog(log), ConnectLogStart() +
                                   "<201:T>\r\n"
                                   "P: 220 test ESMTP\r\n"
                                   "r: 220 test ESMTP\r\n"
                                   "<202:T>\r\n"
                                   "S: HELO example.com\r\n"
                                   "<203:T>\r\n"
                                   "P: 250 hello\r\n"
                                   "r: 250 hello\r\n"
                                   "*** kelClose\r\n"
                                   "<258:T>\r\n"
                                   "S: QUIT\r\n"
                                   "<259:T>\r\n"
                                   "P: 221 bye\r\n"
                                   "r: 221 bye\r\n"
                                   "Closing socket\r\n");
  // Each trace line carries the tick of its step.
  std::vector<long> ticks = TraceTicks(log);
  ASSERT_EQ(ticks.size(), 10u);
  for (size_t i = 0; i < ticks.size(); i++) {
    EXPECT_GE(ticks[i], i ? ticks[i - 1] : before);
    EXPECT_LE(ticks[i], after);
  }
  // HELO waits 2 x 25 + 200 ms before its reply is read.
  EXPECT_GE(ticks[7] - ticks[6], 250);
}

TEST_F(SmtpTest, LogOfARefusalShowsTheErrorLineAndTheReply) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("553 not you\r\n").Close();
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  std::string path = OpenLog();
  EXPECT_EQ(kelSendEmail(0, "<a@x.org>", nullptr, nullptr, nullptr, "hi", nullptr), -49);
  EXPECT_EQ(NormalizeLog(ReadFileText(path)),
            "*** kelSendEmail\r\n"
            "*** Sending...\r\n"
            "<204:T>\r\n"
            "S: MAIL FROM:<me@example.com>\r\n"
            "<205:T>\r\n"
            "P: 553 not you\r\n"
            "r: 553 not you\r\n"
            "ERROR(T): SockCode=0 KelCode=-49 PrevState=204 ThisState=205 NextState=205\r\n"
            "SMTP returned error. 553 not you\r\n"
            "Closing socket\r\n");
}

TEST_F(SmtpTest, LogOfAVerifyAndACommand) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Send("250 a\r\n");
  server.ExpectLine("VRFY b\r\n").Send("550 b\r\n");
  server.ExpectLine("RSET\r\n").Send("250 reset\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  std::string path = OpenLog();
  EXPECT_EQ(kelVerifyUser(0, "a,b"), 0);
  EXPECT_EQ(kelCommand(0, "RSET"), 0);
  EXPECT_EQ(NormalizeLog(ReadFileText(path)),
            "*** kelVerifyUser\r\n"
            "<270:T>\r\n<271:T>\r\nS: VRFY a\r\n<272:T>\r\nP: 250 a\r\nr: 250 a\r\n"
            "<270:T>\r\n<271:T>\r\nS: VRFY b\r\n<272:T>\r\nP: 550 b\r\nr: 550 b\r\n"
            "<270:T>\r\n"
            "*** kelCommand\r\n"
            "<298:T>\r\nS: RSET\r\n<299:T>\r\nP: 250 reset\r\nr: 250 reset\r\n");
}

// ---- Timing: each state's NotBefore and Deadline, on a clock the test sets --------

class SmtpTimingTest : public SmtpTest {
 protected:
  static constexpr uint32_t Delay = 7, Rt = 5000;
  void SetUp() override {
    SmtpTest::SetUp();
    Settings.StepDelay = Delay;
    Settings.ResponseTimeout = Rt;
    UseFakeClock();
    kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  }
  // Moves the clock on (so an untouched value is told from a new one) and
  // runs one state; expects the next state and the timing it left.
  void Expect(int next, uint32_t notBefore, uint32_t deadline, const char *what) {
    FakeClock::Now += 1000;
    const Tick before = FakeClock::Now;
    const Tick oldNotBefore = Ch().NotBefore, oldDeadline = Ch().Deadline;
    EXPECT_EQ(DriveStep(0), next) << what;
    EXPECT_EQ(Ch().NotBefore, notBefore == Keep ? oldNotBefore : before + notBefore) << what;
    EXPECT_EQ(Ch().Deadline, deadline == Keep ? oldDeadline : before + deadline) << what;
  }
  static constexpr uint32_t Keep = 0xFFFFFFFF;
};

TEST_F(SmtpTimingTest, ConnectSequence) {
  ScriptServer server;
  Greet(server);
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  Expect(101, Keep, Keep, "SmtpStart");
  EXPECT_EQ(Ch().AfterConnectState, 201);
  Expect(104, Keep, Keep, "LocalHostName");
  Expect(105, Keep, Keep, "LocateServer");
  Expect(106, Delay, Settings.ConnectTimeout, "BeginConnect");
  Expect(201, Delay, Rt, "AwaitConnect");
  Expect(202, Delay, Rt, "SmtpGreeting");
  Expect(203, 2 * Delay + 200, Rt, "SmtpHello");
  Expect(0, Keep, Keep, "SmtpHelloReply");
}

TEST_F(SmtpTimingTest, EnvelopeVerifyCommandAndQuit) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<a@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("RCPT TO:<b@x.org>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go ahead\r\n");
  server.Accept();
  Greet(server);
  server.ExpectLine("VRFY a\r\n").Send("250 a\r\n");
  server.ExpectLine("NOOP\r\n").Send("250 ok\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  ASSERT_EQ(DriveToEnd(0), 0);

  ASSERT_EQ(kelSendEmail(0, "<a@x.org>,<b@x.org>", nullptr, nullptr, nullptr, "hi", nullptr), 0);
  EXPECT_EQ(Ch().WaitWritable, 1);
  Expect(205, Delay, Rt, "MailFrom");
  Expect(206, Keep, Keep, "MailFromReply");
  Expect(207, Keep, Rt, "NextRecipient");
  EXPECT_EQ(Ch().WaitWritable, 1);
  Expect(208, Keep, Rt, "RcptTo");
  Expect(206, Keep, Keep, "RcptToReply, more to come");
  Expect(207, Keep, Rt, "NextRecipient");
  Expect(208, Keep, Rt, "RcptTo");
  Expect(209, Delay, Keep, "RcptToReply, the last");
  Expect(210, Delay, Rt, "DataCommand");
  Expect(221, Keep, Keep, "DataReply");
  kelAbort(0);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);

  ASSERT_EQ(Connect(server), 0);
  ASSERT_EQ(DriveToEnd(0), 0);
  ASSERT_EQ(kelVerifyUser(0, "a"), 0);
  Expect(271, Keep, Rt, "NextVrfyAddress");
  EXPECT_EQ(Ch().WaitWritable, 1);
  Expect(272, Delay, Rt, "VrfyCommand");
  Expect(270, Keep, Keep, "VrfyReply");
  Expect(0, Keep, Keep, "NextVrfyAddress at the end");
  EXPECT_EQ(Ch().VrfyResult, 1);

  ASSERT_EQ(kelCommand(0, "NOOP"), 0);
  Expect(299, Delay, Rt, "SmtpCommand");
  Expect(0, Keep, Keep, "SmtpCommandReply");

  ASSERT_EQ(kelClose(0), 0);
  Expect(259, Delay, Rt, "Quit");
  Expect(0, Keep, Keep, "QuitReply");
  EXPECT_TRUE(server.Finish()) << server.Failures();
}
