// SMTP authentication (states 150-153 and 160-164) against the
// scripted server: the choice of the method, the CRAM-MD5 and LOGIN
// exchanges byte for byte, refusals, the log lines and the timing.
#include "fixtures/smtp_helpers.h"

#include "codec/codec.h"

namespace {

std::string Base64(const std::string &text) {
  std::string out(4 * ((text.size() + 2) / 3) + 2, '\0');
  Base64EncodeLine(reinterpret_cast<const unsigned char *>(text.data()), &out[0], static_cast<int>(text.size()));
  return out.substr(0, out.size() - 2);
}

// RFC 2195, section 2.
const char RfcUser[] = "tim";
const char RfcPassword[] = "tanstaaftanstaaf";
const char RfcChallenge[] = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
const char RfcResponse[] = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";

class SmtpAuthTest : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
    kelStringParam(0, KEL_SMTP_USER, RfcUser);
    kelStringParam(0, KEL_SMTP_PASS, RfcPassword);
  }
  static void Ehlo(ScriptServer &server, const std::string &authLine) {
    Greet(server, "EHLO example.com\r\n", "250-mail.example.com\r\n" + authLine + "250 HELP\r\n");
  }
};

}  // namespace

// ---- The choice of the method ------------------------------------------------------

TEST_F(SmtpAuthTest, CramMd5NamedFirstIsChosen) {
  ScriptServer server;
  Ehlo(server, "250-AUTH CRAM-MD5 LOGIN PLAIN\r\n");
  server.ExpectLine("AUTH CRAM-MD5\r\n").Send(std::string("334 ") + RfcChallenge + "\r\n");
  server.ExpectLine(std::string(RfcResponse) + "\r\n").Send("235 2.7.0 Authentication successful\r\n");
  server.Close();
  server.Start();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpAuthTest, CramMd5IsPreferredWhereverTheListNamesIt) {
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN CRAM-MD5\r\n");
  server.ExpectLine("AUTH CRAM-MD5\r\n").Send(std::string("334 ") + RfcChallenge + "\r\n");
  server.ExpectLine(std::string(RfcResponse) + "\r\n").Send("235 ok\r\n");
  server.Close();
  server.Start();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpAuthTest, LoginOfferedWithAnEqualsSignIsChosen) {
  ScriptServer server;
  Ehlo(server, "250-AUTH=LOGIN\r\n");
  server.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n");
  server.ExpectLine(Base64(RfcUser) + "\r\n").Send("334 UGFzc3dvcmQ6\r\n");
  server.ExpectLine(Base64(RfcPassword) + "\r\n").Send("235 ok\r\n");
  server.Close();
  server.Start();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpAuthTest, MethodKeywordsAreFoundWithoutRegardToCase) {
  ScriptServer server;
  Ehlo(server, "250-auth cram-md5\r\n");
  server.ExpectLine("AUTH CRAM-MD5\r\n").Send(std::string("334 ") + RfcChallenge + "\r\n");
  server.ExpectLine(std::string(RfcResponse) + "\r\n").Send("235 ok\r\n");
  server.Close();
  server.Start();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpAuthTest, EsmtpClearedSendsHeloAndNoAuthWhateverIsOffered) {
  ScriptServer server;
  Greet(server, "HELO example.com\r\n", "250-mail\r\n250-AUTH CRAM-MD5 LOGIN\r\n250 ok\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 0);
  EXPECT_EQ(Connect(server), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "HELO example.com\r\nQUIT\r\n");
}

TEST_F(SmtpAuthTest, NoKnownMethodMeansNoAuthentication) {
  ScriptServer server;
  Ehlo(server, "250-AUTH GSSAPI NTLM XOAUTH PLAIN-CLIENTTOKEN\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "EHLO example.com\r\nQUIT\r\n");
}

// Every line of the reply whose keyword is AUTH names mechanisms, each word
// compared whole and without regard to case; CRAM-MD5 is preferred, then
// LOGIN, then PLAIN. The first command sent tells the choice (the server
// refuses it, so the connect fails with -49; 0 when nothing was chosen).
TEST_F(SmtpAuthTest, MechanismListsAreReadWordByWord) {
  struct Case {
    const char *Lines, *Command;
  } cases[] = {
      {"250-AUTH PLAIN LOGIN CRAM-MD5\r\n", "AUTH CRAM-MD5\r\n"},
      {"250-AUTH LOGIN PLAIN XOAUTH2 PLAIN-CLIENTTOKEN OAUTHBEARER XOAUTH\r\n", "AUTH LOGIN\r\n"},
      {"250-AUTH=LOGIN PLAIN\r\n", "AUTH LOGIN\r\n"},
      {"250-AUTH DIGEST-MD5 NTLM CRAM-MD5\r\n", "AUTH CRAM-MD5\r\n"},
      {"250-auth plain login\r\n", "AUTH LOGIN\r\n"},
      {"250-AUTH\tPLAIN\r\n", "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n"},
      {"250-AUTH GSSAPI\r\n250-AUTH=LOGIN\r\n", "AUTH LOGIN\r\n"},  // every line counts
      {"250-AUTH GSSAPI\r\n", nullptr},
      {"250-AUTH PLAIN-CLIENTTOKEN XOAUTH CRAM-MD5X LOGINS\r\n", nullptr},  // no substrings
      {"250-AUTHLOGIN\r\n250-X-AUTH LOGIN\r\n250-SIZE 100 LOGIN\r\n", nullptr},
  };
  for (const Case &c : cases) {
    ScriptServer server;
    Ehlo(server, c.Lines);
    if (c.Command) server.ExpectLine(c.Command).Send("504 not now\r\n");
    server.Close();
    server.Start();
    EXPECT_EQ(Connect(server), c.Command ? -49 : 0) << c.Lines;
    EXPECT_TRUE(server.Finish()) << c.Lines << server.Failures();
    kelAbort(0);
  }
}

// ---- PLAIN ------------------------------------------------------------------------------

TEST_F(SmtpAuthTest, PlainSendsTheInitialResponseAndKeepsItOutOfTheLog) {
  ScriptServer server;
  Ehlo(server, "250-AUTH PLAIN\r\n");
  server.ExpectLine("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n").Send("235 2.7.0 ok\r\n");
  server.Start();
  std::string log = OpenLog();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  const std::string text = NormalizeLog(ReadFileText(log));
  EXPECT_NE(text.find("<170:T>\r\nS: AUTH PLAIN ********\r\n<171:T>\r\nP: 235 2.7.0 ok\r\nr: 235 2.7.0 ok\r\n"
                      "AUTH PLAIN ok\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("AHRpbQB0YW5z"), std::string::npos);
  char name[32];
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_AUTH_MECHANISM, name, sizeof name), 5);
  EXPECT_STREQ(name, "PLAIN");
}

TEST_F(SmtpAuthTest, PlainRefusalsAndOtherRepliesFail) {
  // Only a 2xx completes the login: 535, 454 and a 334 that asks for more fail.
  for (const char *reply : {"535 5.7.8 bad credentials\r\n", "454 4.7.0 try later\r\n", "334 \r\n"}) {
    ScriptServer server;
    Ehlo(server, "250-AUTH PLAIN\r\n");
    server.ExpectLine("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n").Send(reply).Close();
    server.Start();
    std::string log = OpenLog();
    EXPECT_EQ(Connect(server), -49) << reply;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(ReadFileText(log).find("AUTH PLAIN ok"), std::string::npos);
    char text[128];
    kelErrorText(0, -49, text, sizeof text);
    EXPECT_EQ(std::string(text), std::string("SMTP returned error. ") + reply);
  }
}

// ---- The caller's choice -------------------------------------------------------------------

TEST_F(SmtpAuthTest, ForcedMechanismIsUsedOrRefusedBeforeAnythingIsSent) {
  struct Case {
    int Forced;
    const char *Lines, *Command;
    int Result;
  } cases[] = {
      {KEL_AUTH_PLAIN, "250-AUTH CRAM-MD5 LOGIN PLAIN\r\n", "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n", -49},
      {KEL_AUTH_LOGIN, "250-AUTH CRAM-MD5 LOGIN\r\n", "AUTH LOGIN\r\n", -49},
      {KEL_AUTH_CRAM_MD5, "250-AUTH LOGIN PLAIN\r\n", nullptr, -76},
      {KEL_AUTH_PLAIN, "250-AUTH PLAIN-CLIENTTOKEN\r\n", nullptr, -76},
      {KEL_AUTH_LOGIN, "250-SIZE 100\r\n", nullptr, -76},
      {KEL_AUTH_XOAUTH2, "250-AUTH XOAUTH2\r\n", nullptr, -80},  // no token set
  };
  for (const Case &c : cases) {
    ScriptServer server;
    Ehlo(server, c.Lines);
    if (c.Command) server.ExpectLine(c.Command).Send("504 not now\r\n");
    server.Close();
    server.Start();
    EXPECT_EQ(kelIntegerParam(0, KEL_AUTH_MECHANISM, c.Forced), 1);
    EXPECT_EQ(Connect(server), c.Result) << c.Lines;
    EXPECT_TRUE(server.Finish()) << c.Lines << server.Failures();
    if (!c.Command) {
      EXPECT_EQ(server.Received(), "EHLO example.com\r\n") << c.Lines;
    }
    EXPECT_EQ(Ch().Socket, NoSocket);
  }
  EXPECT_EQ(kelIntegerParam(0, KEL_AUTH_MECHANISM, 6), -1);
  EXPECT_EQ(kelIntegerParam(0, KEL_AUTH_MECHANISM, -1), -1);
  char text[128];
  kelErrorText(0, -76, text, sizeof text);
  EXPECT_STREQ(text, "Authentication mechanism not offered by server.");
}

// ---- Bearer tokens ------------------------------------------------------------------------

const char Token[] = "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg";
const char Xoauth2[] = "dXNlcj10aW0BYXV0aD1CZWFyZXIgeWEyOS52RjlkZnQ0cW1UYzJOdmIzUmxja0JoZEhSaGRtbHpkR0V1WTI5dENnAQE=";
const char OauthBearer[] = "bixhPXRpbSwBYXV0aD1CZWFyZXIgeWEyOS52RjlkZnQ0cW1UYzJOdmIzUmxja0JoZEhSaGRtbHpkR0V1WTI5dENnAQE=";
// {"status":"401","schemes":"bearer","scope":"https://mail.google.com/"}
const char TokenError[] = "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==";

TEST_F(SmtpAuthTest, BearerTokenChoosesXoauth2ThenOauthBearerAndIsNeverLogged) {
  struct Case {
    const char *Lines;
    int Forced;
    std::string Command;
  } cases[] = {
      {"250-AUTH PLAIN LOGIN CRAM-MD5 XOAUTH2 OAUTHBEARER\r\n", 0, std::string("AUTH XOAUTH2 ") + Xoauth2},
      {"250-AUTH LOGIN oauthbearer\r\n", 0, std::string("AUTH OAUTHBEARER ") + OauthBearer},
      {"250-AUTH XOAUTH2 OAUTHBEARER\r\n", KEL_AUTH_OAUTHBEARER, std::string("AUTH OAUTHBEARER ") + OauthBearer},
  };
  for (const Case &c : cases) {
    ScriptServer server;
    Ehlo(server, c.Lines);
    server.ExpectLine(c.Command + "\r\n").Send("235 2.7.0 Accepted\r\n");
    server.Start();
    std::string log = OpenLog();
    kelStringParam(0, KEL_OAUTH_TOKEN, Token);
    kelIntegerParam(0, KEL_AUTH_MECHANISM, c.Forced);
    EXPECT_EQ(Connect(server), 0) << c.Lines;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    const std::string text = ReadFileText(log);
    const std::string name = c.Command.substr(5, c.Command.find(' ', 5) - 5);
    EXPECT_NE(text.find("*** kelStringParam(0,59,********)\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("S: AUTH " + name + " ********\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("AUTH " + name + " ok\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("vF9dft4"), std::string::npos) << text;
    EXPECT_EQ(text.find(c.Command.substr(c.Command.rfind(' ') + 1, 12)), std::string::npos) << text;
    kelAbort(0);
  }
}

TEST_F(SmtpAuthTest, RefusedTokenIsAnsweredAndTheLoginFails) {
  struct Case {
    const char *Name, *Message, *Answer;
  } cases[] = {{"XOAUTH2", Xoauth2, "\r\n"}, {"OAUTHBEARER", OauthBearer, "AQ==\r\n"}};
  for (const Case &c : cases) {
    ScriptServer server;
    Ehlo(server, std::string("250-AUTH ") + c.Name + "\r\n");
    server.ExpectLine(std::string("AUTH ") + c.Name + " " + c.Message + "\r\n");
    server.Send(std::string("334 ") + TokenError + "\r\n").ExpectLine(c.Answer);
    server.Send("535 5.7.8 Username and Password not accepted\r\n").Close();
    server.Start();
    std::string log = OpenLog();
    kelStringParam(0, KEL_OAUTH_TOKEN, Token);
    EXPECT_EQ(Connect(server), -49) << c.Name;
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_NE(ReadFileText(log).find("Token refused '{\"status\":\"401\",\"schemes\":\"bearer\""), std::string::npos);
    char text[128];
    kelErrorText(0, -49, text, sizeof text);
    EXPECT_STREQ(text, "SMTP returned error. 535 5.7.8 Username and Password not accepted\r\n");
  }
}

TEST_F(SmtpAuthTest, TokenWithoutABearerMechanismIsAnErrorNotAPasswordLogin) {
  const char *const replies[] = {"454 4.7.0 temporary failure\r\n", nullptr};
  for (const char *reply : replies) {
    ScriptServer server;
    Ehlo(server, reply ? "250-AUTH XOAUTH2\r\n" : "250-AUTH PLAIN LOGIN CRAM-MD5\r\n");
    if (reply) server.ExpectLine(std::string("AUTH XOAUTH2 ") + Xoauth2 + "\r\n").Send(reply);
    server.Close();
    server.Start();
    kelStringParam(0, KEL_OAUTH_TOKEN, Token);
    EXPECT_EQ(Connect(server), reply ? -49 : -76);
    EXPECT_TRUE(server.Finish()) << server.Failures();
  }
}

// ---- The secrets ---------------------------------------------------------------------------

TEST_F(SmtpAuthTest, LoginTextsWithLineBreaksOrControlsAreRefused) {
  struct Case {
    int Code;
    const char *Text;
    int Result;
  } cases[] = {
      {KEL_SMTP_USER, "tim\r\nRSET", -77},   {KEL_SMTP_PASS, "pass\nword", -77},
      {KEL_SMTP_USER, "tim\001auth=x", -77}, {KEL_OAUTH_TOKEN, "abc def", -77},
      {KEL_OAUTH_TOKEN, "abc\r\n", -77},      {KEL_OAUTH_TOKEN, "a-b.c_d~e+f/g=", 14},
      {KEL_SMTP_PASS, "p\xE4ss w\tord", 10},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(kelStringParam(0, c.Code, c.Text), c.Result) << c.Text;
    const char *field = c.Code == KEL_SMTP_USER ? Ch().User : c.Code == KEL_SMTP_PASS ? Ch().SmtpPassword : Ch().OAuthToken;
    EXPECT_STREQ(field, c.Result < 0 ? "" : c.Text);  // a refused text leaves nothing, not the old one
  }
  const std::string longToken(5000, 't');
  EXPECT_EQ(kelStringParam(0, KEL_OAUTH_TOKEN, longToken.c_str()), 4096);
  EXPECT_EQ(kelStringParam(0, KEL_OAUTH_TOKEN, ""), 0);
  EXPECT_STREQ(Ch().OAuthToken, "");
}

TEST_F(SmtpAuthTest, NoLoginTextOutlivesTheSession) {
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN\r\n");
  server.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n");
  server.ExpectLine("dGlt\r\n").Send("334 UGFzc3dvcmQ6\r\n");
  server.ExpectLine("dGFuc3RhYWZ0YW5zdGFhZg==\r\n").Send("235 ok\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  std::string log = OpenLog();
  kelStringParam(0, KEL_SMTP_PASS, RfcPassword);
  ASSERT_EQ(Connect(server), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  const Channel &ch = Ch();
  const auto holds = [](const char *field, size_t size, const std::string &text) {
    return std::string(field, size).find(text) != std::string::npos;
  };
  for (const std::string &secret : {std::string(RfcPassword), std::string("dGFuc3RhYWZ0YW5zdGFhZg==")}) {
    EXPECT_FALSE(holds(ch.AuthText, sizeof ch.AuthText, secret));
    EXPECT_FALSE(holds(ch.SendLine, sizeof ch.SendLine, secret));
    EXPECT_FALSE(holds(ch.AuthLine, sizeof ch.AuthLine, secret));
    EXPECT_EQ(ReadFileText(log).find(secret), std::string::npos);
  }
  EXPECT_STREQ(ch.SmtpPassword, RfcPassword);  // the next connect logs in with it
  EXPECT_NE(ReadFileText(log).find("*** kelStringParam(0,57,********)"), std::string::npos);
}

// ---- CRAM-MD5 --------------------------------------------------------------------------

TEST_F(SmtpAuthTest, CramMd5ResponseIsTheOneOfRfc2195) {
  ScriptServer server;
  Ehlo(server, "250-AUTH CRAM-MD5\r\n");
  server.ExpectLine("AUTH CRAM-MD5\r\n").Send(std::string("334 ") + RfcChallenge + "\r\n");
  server.ExpectLine(std::string(RfcResponse) + "\r\n").Send("235 ok\r\n");
  server.Start();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  // The text before encoding: the user, one blank, the digest in lower-case hex.
  EXPECT_STREQ(Ch().AuthText, "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST_F(SmtpAuthTest, ChallengeLongerThanAuthTextIsCutSafelyAndDigestedWhole) {
  std::string challenge = "<";
  while (challenge.size() < 299) challenge += "0123456789.";
  challenge = challenge.substr(0, 299) + ">";
  unsigned char digest[16];
  HmacMd5Text(challenge.c_str(), RfcPassword, digest);
  char hex[33];
  HexDigest(digest, hex);
  ScriptServer server;
  Ehlo(server, "250-AUTH CRAM-MD5\r\n");
  server.ExpectLine("AUTH CRAM-MD5\r\n").Send("334 " + Base64(challenge) + "\r\n");
  server.ExpectLine(Base64(std::string(RfcUser) + " " + hex) + "\r\n").Send("235 ok\r\n");
  server.Start();
  std::string log = OpenLog();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_NE(ReadFileText(log).find("Challenge '" + challenge.substr(0, 131) + "'\r\n"), std::string::npos);
}

TEST_F(SmtpAuthTest, CramMd5LogLinesAreExact) {
  ScriptServer server;
  Ehlo(server, "250-AUTH CRAM-MD5\r\n");
  // The pause lets the step that sends AUTH end before the challenge comes,
  // so the challenge is read by a step of its own.
  server.ExpectLine("AUTH CRAM-MD5\r\n").Pause(50).Send(std::string("334 ") + RfcChallenge + "\r\n");
  server.ExpectLine(std::string(RfcResponse) + "\r\n").Send("235 ok\r\n");
  server.Start();
  std::string log = OpenLog();
  EXPECT_EQ(Connect(server), 0);
  const std::string text = NormalizeLog(ReadFileText(log));
  const std::string tail = "<203:T>\r\n"
                           "P: 250-mail.example.com\r\n250-AUTH CRAM-MD5\r\n250 HELP\r\n"
                           "r: 250-mail.example.com\r\n"
                           "r: 250-AUTH CRAM-MD5\r\n"
                           "r: 250 HELP\r\n"
                           "<150:T>\r\n"
                           "S: AUTH CRAM-MD5\r\n"
                           "<151:T>\r\n"
                           "P: 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"
                           "r: 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"
                           "Challenge '<1896.697170952@postoffice.reston.mci.net>'\r\n"
                           "<152:T>\r\n"
                           "S: ********\r\n"  // the response would let guessed passwords be tested
                           "<153:T>\r\n"
                           "P: 235 ok\r\n"
                           "r: 235 ok\r\n"
                           "AUTH CRAM-MD5 ok\r\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST_F(SmtpAuthTest, CramMd5RefusalsFail) {
  // A 5xx or a 4xx to the AUTH command or to the response fails.
  struct Case {
    const char *ToAuth, *ToResponse;
  } cases[] = {{"504 unrecognized\r\n", nullptr}, {"454 temporary failure\r\n", nullptr},
               {nullptr, "535 bad credentials\r\n"}, {nullptr, "454 temporary failure\r\n"}};
  for (const Case &c : cases) {
    ScriptServer server;
    Ehlo(server, "250-AUTH CRAM-MD5\r\n");
    server.ExpectLine("AUTH CRAM-MD5\r\n");
    if (c.ToAuth) {
      server.Send(c.ToAuth);
    } else {
      server.Send(std::string("334 ") + RfcChallenge + "\r\n").ExpectLine(std::string(RfcResponse) + "\r\n");
      server.Send(c.ToResponse);
    }
    server.Close();
    server.Start();
    std::string log = OpenLog();
    EXPECT_EQ(Connect(server), -49);
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(ReadFileText(log).find("AUTH CRAM-MD5 ok"), std::string::npos);
    EXPECT_EQ(Ch().Socket, NoSocket);
  }
}

// ---- LOGIN -------------------------------------------------------------------------------

TEST_F(SmtpAuthTest, LoginExchangeAndItsLogLines) {
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN\r\n");
  server.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n");
  server.ExpectLine("dGlt\r\n").Send("334 UGFzc3dvcmQ6\r\n");
  server.ExpectLine("dGFuc3RhYWZ0YW5zdGFhZg==\r\n").Send("235 ok\r\n");
  server.Start();
  std::string log = OpenLog();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  const std::string text = NormalizeLog(ReadFileText(log));
  const std::string tail = "<160:T>\r\n"
                           "S: AUTH LOGIN\r\n"
                           "<162:T>\r\n"
                           "P: 334 VXNlcm5hbWU6\r\n"
                           "r: 334 VXNlcm5hbWU6\r\n"
                           "S: dGlt\r\n"
                           "<163:T>\r\n"
                           "P: 334 UGFzc3dvcmQ6\r\n"
                           "r: 334 UGFzc3dvcmQ6\r\n"
                           "S: ********\r\n"  // the password's line
                           "<164:T>\r\n"
                           "P: 235 ok\r\n"
                           "r: 235 ok\r\n"
                           "AUTH LOGIN ok\r\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST_F(SmtpAuthTest, UserNameOf60CharactersIsOneBase64Line) {
  const std::string user(60, 'u');
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN\r\n");
  server.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n");
  server.ExpectLine(Base64(user) + "\r\n").Send("334 UGFzc3dvcmQ6\r\n");
  server.ExpectLine(Base64(RfcPassword) + "\r\n").Send("235 ok\r\n");
  server.Close();
  server.Start();
  kelStringParam(0, KEL_SMTP_USER, user.c_str());
  EXPECT_EQ(Connect(server), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(Base64(user).size(), 80u);
}

// ESMTP on and nobody to log in (no user, no token): EHLO for its
// extensions, and no AUTH, whatever methods the server offers.
TEST_F(SmtpAuthTest, NoUserNameNoAuth) {
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN CRAM-MD5 PLAIN\r\n");
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  kelStringParam(0, KEL_SMTP_USER, "");
  EXPECT_EQ(Connect(server), 0);
  char mechanism[32];
  kelDebug(0, KEL_DEBUG_AUTH_MECHANISM, mechanism, sizeof mechanism);
  EXPECT_STREQ(mechanism, "");
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "EHLO example.com\r\nQUIT\r\n");
}

// A reply of the wrong kind inside the exchange fails at once (-84), not
// after the response time-out, and nothing more is sent.
TEST_F(SmtpAuthTest, UnexpectedRepliesInsideTheExchangeFailAtOnce) {
  const struct {
    const char *Methods;
    std::vector<std::string> Script;  // reply, expected line, reply, ...
  } cases[] = {
      {"LOGIN", {"250 ok"}},
      {"LOGIN", {"334 VXNlcm5hbWU6", "dGlt", "235 already"}},
      {"LOGIN", {"334 VXNlcm5hbWU6", "dGlt", "334 UGFzc3dvcmQ6", "dGFuc3RhYWZ0YW5zdGFhZg==", "334 more?"}},
      {"CRAM-MD5", {"250 ok"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.Methods) + " " + c.Script.back());
    ScriptServer server;
    Ehlo(server, std::string("250-AUTH ") + c.Methods + "\r\n");
    server.ExpectLine(std::string("AUTH ") + c.Methods + "\r\n");
    for (size_t i = 0; i < c.Script.size(); i++) {
      if (i % 2 == 0) server.Send(c.Script[i] + "\r\n");
      else server.ExpectLine(c.Script[i] + "\r\n");
    }
    server.Stall();
    server.Start();
    kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 20000);
    const Tick start = PlatformTick();
    EXPECT_EQ(Connect(server), -84);
    EXPECT_LT(TickDiff(PlatformTick(), start), 5000);
    char text[200];
    kelErrorText(0, -84, text, sizeof text);
    EXPECT_NE(std::string(text).find(c.Script.back()), std::string::npos) << text;
  }
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 25000);
}

// A user name, password or token refused when it was set (-77) is not
// replaced by nothing at the connect: it fails before a byte is sent.
TEST_F(SmtpAuthTest, RefusedLoginTextsFailTheConnectBeforeAnythingIsSent) {
  const struct {
    int Code;
    const char *Text;
  } cases[] = {{KEL_SMTP_USER, "tim\r\nRCPT TO:<x@y>"}, {KEL_SMTP_PASS, "pw\n"}, {KEL_SMTP_PASS, "a\001b"},
               {KEL_OAUTH_TOKEN, "tok en"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(kelStringParam(0, c.Code, c.Text), -77);
    ScriptServer server;
    server.Start();
    EXPECT_EQ(Connect(server), -77);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET), -1);
    EXPECT_EQ(server.Connections(), 0);
    // A good text again, or ESMTP off, and the connect goes on.
    kelStringParam(0, c.Code, c.Code == KEL_SMTP_USER ? RfcUser : c.Code == KEL_SMTP_PASS ? RfcPassword : "");
  }
  EXPECT_EQ(kelStringParam(0, KEL_SMTP_PASS, "bad\r"), -77);
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 0);
  ScriptServer plain;
  plain.Send("220 test\r\n").ExpectLine("HELO example.com\r\n").Send("250 hello\r\n").Close();
  plain.Start();
  EXPECT_EQ(Connect(plain), 0);
  EXPECT_TRUE(plain.Finish()) << plain.Failures();
}

TEST_F(SmtpAuthTest, LoginRefusalsFail) {
  // The step that gets the refusal, and the lines the server saw up to it.
  const char *refusals[] = {"504 not supported\r\n", "454 temporary failure\r\n"};
  for (int step = 0; step < 3; step++)
    for (const char *refusal : refusals) {
      ScriptServer server;
      Ehlo(server, "250-AUTH LOGIN\r\n");
      server.ExpectLine("AUTH LOGIN\r\n");
      if (step > 0) server.Send("334 VXNlcm5hbWU6\r\n").ExpectLine("dGlt\r\n");
      if (step > 1) server.Send("334 UGFzc3dvcmQ6\r\n").ExpectLine("dGFuc3RhYWZ0YW5zdGFhZg==\r\n");
      server.Send(refusal).Close();
      server.Start();
      std::string log = OpenLog();
      EXPECT_EQ(Connect(server), -49) << step << refusal;
      EXPECT_TRUE(server.Finish()) << server.Failures();
      EXPECT_EQ(ReadFileText(log).find("AUTH LOGIN ok"), std::string::npos);
      const char *seen[] = {"EHLO example.com\r\nAUTH LOGIN\r\n", "EHLO example.com\r\nAUTH LOGIN\r\ndGlt\r\n",
                            "EHLO example.com\r\nAUTH LOGIN\r\ndGlt\r\ndGFuc3RhYWZ0YW5zdGFhZg==\r\n"};
      EXPECT_EQ(server.Received(), seen[step]) << step << refusal;
    }
}

TEST_F(SmtpAuthTest, ConnectionClosedDuringTheExchangeIsSocketClosed) {
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN\r\n");
  server.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n").ExpectLine("dGlt\r\n").Close();
  server.Start();
  EXPECT_EQ(Connect(server), -1);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

// ---- Timing -------------------------------------------------------------------------------

class SmtpAuthTimingTest : public SmtpAuthTest {
 protected:
  static constexpr uint32_t Delay = 7, Rt = 5000, Keep = 0xFFFFFFFF;
  void SetUp() override {
    SmtpAuthTest::SetUp();
    Settings.StepDelay = Delay;
    Settings.ResponseTimeout = Rt;
    UseFakeClock();
    kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  }
  void RunTo(int state) {
    for (int i = 0; i < 100 && Ch().NextState != state; i++) {
      if (Ch().NotBefore && TickAfter(Ch().NotBefore, FakeClock::Now)) FakeClock::Now = Ch().NotBefore;
      ASSERT_GT(DriveStep(0), 0);
    }
    ASSERT_EQ(Ch().NextState, state);
  }
  void Expect(int next, uint32_t notBefore, uint32_t deadline, const char *what) {
    FakeClock::Now += 1000;
    const Tick before = FakeClock::Now;
    const Tick oldNotBefore = Ch().NotBefore, oldDeadline = Ch().Deadline;
    EXPECT_EQ(DriveStep(0), next) << what;
    EXPECT_EQ(Ch().NotBefore, notBefore == Keep ? oldNotBefore : before + notBefore) << what;
    EXPECT_EQ(Ch().Deadline, deadline == Keep ? oldDeadline : before + deadline) << what;
  }
};

TEST_F(SmtpAuthTimingTest, CramMd5States) {
  ScriptServer server;
  Ehlo(server, "250-AUTH CRAM-MD5\r\n");
  server.ExpectLine("AUTH CRAM-MD5\r\n").Pause(50).Send(std::string("334 ") + RfcChallenge + "\r\n");
  server.ExpectLine(std::string(RfcResponse) + "\r\n").Send("235 ok\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  RunTo(150);
  Expect(151, 2 * Delay, Rt, "AuthCramStart");
  Expect(152, Keep, Keep, "AuthCramChallenge");
  Expect(153, Delay + 200, Rt, "AuthCramResponse");
  Expect(0, Keep, Keep, "AuthCramResult");
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST_F(SmtpAuthTimingTest, LoginStates) {
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN\r\n");
  server.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n");
  server.ExpectLine("dGlt\r\n").Send("334 UGFzc3dvcmQ6\r\n");
  server.ExpectLine("dGFuc3RhYWZ0YW5zdGFhZg==\r\n").Send("235 ok\r\n");
  server.Start();
  ASSERT_EQ(Connect(server), 0);
  RunTo(160);
  Expect(162, 2 * Delay + 200, Rt, "AuthLoginStart");
  Expect(163, Delay, Rt, "AuthLoginUser");
  Expect(164, Delay + 200, Rt, "AuthLoginPassword");
  Expect(0, Keep, Keep, "AuthLoginResult");
  EXPECT_TRUE(server.Finish()) << server.Failures();
}
