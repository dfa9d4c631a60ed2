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

TEST_F(SmtpAuthTest, LoginWithoutUserNameSendsNothingAndTimesOut) {
  ScriptServer server;
  Ehlo(server, "250-AUTH LOGIN\r\n");
  server.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n").Stall();
  server.Start();
  kelStringParam(0, KEL_SMTP_USER, "");
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 400);
  EXPECT_EQ(Connect(server), -8);
  EXPECT_EQ(server.Received(), "EHLO example.com\r\nAUTH LOGIN\r\n");
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
