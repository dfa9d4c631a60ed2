// What the envelope carries by what the server offers: SIZE (and the
// early -88), BODY=8BITMIME, SMTPUTF8 or A-labels for international
// addresses (and -87), DSN; and prepared messages sent as they are.
#include "fixtures/smtp_helpers.h"

#include <cstring>

namespace {

const char *const Extensions = "250-test\r\n250-SIZE 1000000\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n250 DSN\r\n";
const char *const NoExtensions = "250-test\r\n250 PIPELINING\r\n";

// A whole send: MAIL FROM as expected (any line when mail is empty), one
// accepted recipient per line of rcpts, the data taken, QUIT.
void ScriptSend(ScriptServer &server, const std::string &mail, const std::vector<std::string> &rcpts) {
  if (mail.empty()) server.ReadUntil("\r\n");
  else server.ExpectLine(mail);
  server.Send("250 ok\r\n");
  for (const std::string &r : rcpts) server.ExpectLine(r).Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go\r\n").ReadData().Send("250 queued\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
}

}  // namespace

TEST_F(SmtpTest, SizeIsAnnouncedAtLeastAsLargeAsTheData) {
  ScriptServer server;
  Greet(server, "EHLO example.com\r\n", Extensions);
  server.ReadUntil("\r\n").Send("250 ok\r\n").ExpectLine("RCPT TO:<you@example.net>\r\n").Send("250 ok\r\n");
  server.ExpectLine("DATA\r\n").Send("354 go\r\n").ReadData().Send("250 queued\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  ASSERT_EQ(Connect(server), 0);
  std::string body;
  for (int i = 0; i < 300; i++) body += "Grüße aus München, Ελληνικά, 中文 " + std::to_string(i) + "\n";
  WriteFileText(dir_ + "/a.bin", std::string(50000, '\x01'));
  const std::string files = dir_ + "/a.bin";
  ASSERT_EQ(kelSendEmail(0, "<you@example.net>", nullptr, nullptr, "Größe", body.c_str(), files.c_str()), 0);
  EXPECT_EQ(kelClose(0), 0);
  ASSERT_TRUE(server.Finish()) << server.Failures();
  const std::string received = server.Received();
  const size_t at = received.find("MAIL FROM:<me@example.com> SIZE=");
  ASSERT_NE(at, std::string::npos) << received;
  const unsigned long announced = std::stoul(received.substr(at + 32));
  const size_t data = server.LastData().size();
  EXPECT_GE(announced, data);
  EXPECT_LE(announced, data + data / 4 + 8192);  // not so generous that a server would refuse it early
}

TEST_F(SmtpTest, MessageKnownTooBigFailsBeforeMailFromAndKeepsTheConnection) {
  ScriptServer server;
  Greet(server, "EHLO example.com\r\n", "250-test\r\n250 SIZE 10000\r\n");
  // The next message is small enough.
  ScriptSend(server, "", {"RCPT TO:<you@example.net>\r\n"});
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  ASSERT_EQ(Connect(server), 0);
  WriteFileText(dir_ + "/big.bin", std::string(9000, 'b'));  // 12,000 characters in Base64
  const std::string files = dir_ + "/big.bin";
  EXPECT_EQ(kelSendEmail(0, "<you@example.net>", nullptr, nullptr, "s", "hi", files.c_str()), -88);
  char text[200];
  kelErrorText(0, -88, text, sizeof text);
  EXPECT_STREQ(text, "Message exceeds the server's size limit. (limit 10000 bytes)");
  EXPECT_NE(Ch().Socket, NoSocket);
  EXPECT_EQ(kelSendEmail(0, "<you@example.net>", nullptr, nullptr, "s", "hi", nullptr), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received().find("big.bin"), std::string::npos);
  EXPECT_NE(server.Received().find("MAIL FROM:<me@example.com> SIZE="), std::string::npos);
}

TEST_F(SmtpTest, EightBitBodyIsDeclaredWhenTheServerOffers8BitMime) {
  ScriptServer server;
  Greet(server, "EHLO example.com\r\n", "250-test\r\n250 8BITMIME\r\n");
  ScriptSend(server, "MAIL FROM:<me@example.com> BODY=8BITMIME\r\n", {"RCPT TO:<you@example.net>\r\n"});
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelIntegerParam(0, KEL_ALLOW_8BIT, 1);
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "<you@example.net>", nullptr, nullptr, "s", "Grüße", nullptr), 0);
  kelIntegerParam(0, KEL_ALLOW_8BIT, 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_NE(server.LastData().find("\r\n\r\nGrüße\r\n"), std::string::npos) << server.LastData();
}

TEST_F(SmtpTest, InternationalAddressesGoAsUtf8WithSmtpUtf8) {
  ScriptServer server;
  Greet(server, "EHLO xn--mller-kva.example\r\n", "250-test\r\n250-8BITMIME\r\n250 SMTPUTF8\r\n");
  ScriptSend(server, "MAIL FROM:<jürgen@müller.example> SMTPUTF8\r\n", {"RCPT TO:<zoë@exämple.net>\r\n"});
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  ASSERT_EQ(Connect(server, 0, "Jürgen <jürgen@müller.example>"), 0);
  EXPECT_EQ(kelSendEmail(0, "Zoë <zoë@exämple.net>", nullptr, nullptr, "s", "hi", nullptr), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpTest, InternationalDomainsGoAsALabelsWithoutSmtpUtf8) {
  ScriptServer server;
  Greet(server, "HELO xn--mller-kva.example\r\n");
  ScriptSend(server, "MAIL FROM:<juergen@xn--mller-kva.example>\r\n",
             {"RCPT TO:<bob@xn--bcher-kva.example>\r\n", "RCPT TO:<carol@example.net>\r\n"});
  server.Start();
  ASSERT_EQ(Connect(server, 0, "Jürgen Müller <juergen@müller.example>"), 0);
  EXPECT_EQ(kelSendEmail(0, "Bob <bob@bücher.example>", nullptr, "<carol@example.net>", "s", "hi", nullptr), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  // The header names the same domains, the names encoded.
  const std::string data = server.LastData();
  EXPECT_NE(data.find("To: Bob <bob@xn--bcher-kva.example>\r\n"), std::string::npos) << data;
  EXPECT_NE(data.find("From: =?utf-8?B?SsO8cmdlbiBNw7xsbGVy?= <juergen@xn--mller-kva.example>\r\n"),
            std::string::npos)
      << data;
}

TEST_F(SmtpTest, InternationalLocalPartWithoutSmtpUtf8FailsBeforeMailFrom) {
  for (const char *to : {"<zoë@example.net>", "<ok@example.net>"}) {
    SCOPED_TRACE(to);
    ScriptServer server;
    Greet(server, "EHLO example.com\r\n", NoExtensions);
    server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
    server.Start();
    kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
    const char *from = strcmp(to, "<ok@example.net>") == 0 ? "<jürgen@example.com>" : "<me@example.com>";
    ASSERT_EQ(Connect(server, 0, from), 0);
    EXPECT_EQ(kelSendEmail(0, to, nullptr, nullptr, "s", "hi", nullptr), -87);
    char text[200];
    kelErrorText(0, -87, text, sizeof text);
    EXPECT_STREQ(text, "Server does not accept international addresses.");
    EXPECT_EQ(kelClose(0), 0);  // still connected
    EXPECT_TRUE(server.Finish()) << server.Failures();
  }
}

TEST_F(SmtpTest, DsnParametersOnlyWhenOffered) {
  EXPECT_EQ(kelStringParam(0, KEL_DSN_NOTIFY, "success,Failure,DELAY"), 21);
  EXPECT_EQ(kelStringParam(0, KEL_DSN_RET, "hdrs"), 4);
  for (const char *bad : {"NEVER,SUCCESS", "SOMETIMES", "SUCCESS,", ",DELAY"})
    EXPECT_EQ(kelStringParam(0, KEL_DSN_NOTIFY, bad), -1) << bad;
  EXPECT_EQ(kelStringParam(0, KEL_DSN_RET, "HEADERS"), -1);
  EXPECT_STREQ(Ch().DsnNotify, "SUCCESS,FAILURE,DELAY");
  EXPECT_STREQ(Ch().DsnRet, "HDRS");
  for (bool offered : {true, false}) {
    SCOPED_TRACE(offered);
    ScriptServer server;
    Greet(server, "EHLO example.com\r\n", offered ? "250-test\r\n250 DSN\r\n" : "250 test\r\n");
    if (offered)
      ScriptSend(server, "MAIL FROM:<me@example.com> RET=HDRS\r\n",
                 {"RCPT TO:<a@example.net> NOTIFY=SUCCESS,FAILURE,DELAY\r\n",
                  "RCPT TO:<b@example.net> NOTIFY=SUCCESS,FAILURE,DELAY\r\n"});
    else
      ScriptSend(server, "MAIL FROM:<me@example.com>\r\n", {"RCPT TO:<a@example.net>\r\n", "RCPT TO:<b@example.net>\r\n"});
    server.Start();
    kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
    ASSERT_EQ(Connect(server), 0);
    EXPECT_EQ(kelSendEmail(0, "<a@example.net>", "<b@example.net>", nullptr, "s", "hi", nullptr), 0);
    EXPECT_EQ(kelClose(0), 0);
    EXPECT_TRUE(server.Finish()) << server.Failures();
  }
}

TEST_F(SmtpTest, DsnParametersAlsoInThePipelinedEnvelope) {
  ScriptServer server;
  Greet(server, "EHLO example.com\r\n", "250-test\r\n250-PIPELINING\r\n250 DSN\r\n");
  server.ExpectLine("MAIL FROM:<me@example.com> RET=FULL\r\n")
      .ExpectLine("RCPT TO:<a@example.net> NOTIFY=NEVER\r\n")
      .ExpectLine("DATA\r\n")
      .Send("250 ok\r\n250 ok\r\n354 go\r\n")
      .ReadData()
      .Send("250 queued\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelIntegerParam(0, KEL_PIPELINING, 1);
  kelStringParam(0, KEL_DSN_NOTIFY, "never");
  kelStringParam(0, KEL_DSN_RET, "FULL");
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelSendEmail(0, "<a@example.net>", nullptr, nullptr, "s", "hi", nullptr), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

// ---- Prepared messages ------------------------------------------------------------

TEST_F(SmtpTest, PreparedMessageGoesAsItIsWithoutItsBccLines) {
  ScriptServer server;
  Greet(server, "EHLO example.com\r\n", "250-test\r\n250-SIZE 5000\r\n250 8BITMIME\r\n");
  ScriptSend(server, "", {"RCPT TO:<a@example.net>\r\n", "RCPT TO:<hidden@example.net>\r\n"});
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelIntegerParam(0, KEL_RAW_SUBMIT, 1);
  ASSERT_EQ(Connect(server), 0);
  // Subject or attachments with a prepared message are refused.
  EXPECT_EQ(kelSendEmail(0, "<a@example.net>", nullptr, nullptr, "s", "x", nullptr), -1);
  EXPECT_EQ(kelSendEmail(0, "<a@example.net>", nullptr, nullptr, nullptr, "x", "f.txt"), -1);
  const std::string message =
      "From: Me <me@example.com>\nTo: a@example.net\nBcc: hidden@example.net,\n  other@example.net\n"
      "BCC: third@example.net\nSubject: =?utf-8?Q?Gr=C3=BC=C3=9Fe?=\n\n.dot line\nGrüße\nBcc: in the body\nlast";
  WriteFileText(dir_ + "/m.eml", message);
  const std::string file = "@" + dir_ + "/m.eml";
  EXPECT_EQ(kelSendEmail(0, "<a@example.net>", nullptr, "<hidden@example.net>", nullptr, file.c_str(), nullptr), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_NE(server.Received().find(" BODY=8BITMIME\r\nRCPT TO:<a@example.net>\r\nRCPT TO:<hidden@example.net>\r\n"),
            std::string::npos)
      << server.Received();
  EXPECT_EQ(server.LastData(),
            "From: Me <me@example.com>\r\nTo: a@example.net\r\nSubject: =?utf-8?Q?Gr=C3=BC=C3=9Fe?=\r\n\r\n"
            "..dot line\r\nGrüße\r\nBcc: in the body\r\nlast\r\n");
}
