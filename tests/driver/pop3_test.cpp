// The POP3 dialogue against a scripted server: login by USER and PASS or
// APOP, the mailbox commands and their replies, UIDL lists, the free
// command, and the ends of a connection that closes too early.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/codec.h"
#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "net/reader.h"

namespace {

const char *const Greeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n";

class Pop3Session : public AttachedTest {
 protected:
  void SetUp() override {
    AttachedTest::SetUp();
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    kelIntegerParam(0, KEL_SLEEP_TIME, 2);
  }
  void TearDown() override {
    EXPECT_TRUE(server_.Finish()) << server_.Failures();
    AttachedTest::TearDown();
  }
  // The greeting and a USER/PASS login for joe/secret.
  ScriptServer &Login(const std::string &greeting = Greeting) {
    return server_.Send(greeting).ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS secret\r\n").Send(
        "+OK 2 messages\r\n");
  }
  int Connect(const char *user = "joe", const char *password = "secret") {
    server_.Start();
    kelIntegerParam(0, KEL_POP3_PORT, server_.Port());
    return kelPop3Connect(0, "127.0.0.1", user, password);
  }
  // The bytes the server received after the login.
  std::string AfterLogin() {
    std::string all = server_.Received();
    const std::string login = "USER joe\r\nPASS secret\r\n";
    return all.compare(0, login.size(), login) == 0 ? all.substr(login.size()) : "<no login> " + all;
  }
  // "<301:1600336>" becomes "<301>".
  static std::string WithoutTicks(const std::string &log) {
    std::string out;
    for (size_t i = 0; i < log.size(); i++) {
      out += log[i];
      if (log[i] != '<') continue;
      size_t colon = log.find(':', i);
      size_t close = log.find('>', i);
      if (colon == std::string::npos || close == std::string::npos || colon > close || colon - i != 4) continue;
      out.append(log, i + 1, 3);
      out += '>';
      i = close;
    }
    return out;
  }
  static std::string Digest(const std::string &text) {
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, text.data(), static_cast<uint32_t>(text.size()));
    unsigned char digest[16];
    Md5Final(digest, ctx);
    char hex[33];
    HexDigest(digest, hex);
    return hex;
  }
  ScriptServer server_;
};

// ---- Login -------------------------------------------------------------------

TEST_F(Pop3Session, UserAndPassLoginIsTracedByteForByte) {
  Login().Close();
  std::string log = OpenLog();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(server_.Received(), "USER joe\r\nPASS secret\r\n");
  // APOP is off, yet the greeting's time-stamp is kept.
  EXPECT_STREQ(Ch().AuthText, "<1896.697170952@dbc.mtview.ca.us>");
  EXPECT_EQ(Ch().NextState, 0);
  // The log from the call to the connection, and from the greeting on,
  // with the tick values of the state lines left out.
  std::string text = WithoutTicks(ReadFileText(log));
  size_t call = text.find("*** kelPop3Connect\r\n");
  size_t greeting = text.find("<301>\r\n");
  ASSERT_NE(call, std::string::npos) << text;
  ASSERT_NE(greeting, std::string::npos) << text;
  const std::string start = "*** kelPop3Connect\r\n<300>\r\nKEL Win32 Version 3.4.1 Build 17\r\n<101>\r\n";
  EXPECT_EQ(text.substr(call, start.size()), start);
  EXPECT_EQ(text.substr(greeting),
            std::string("<301>\r\nP: ") + Greeting + "r: " + Greeting +
                "<303>\r\nS: USER joe\r\n<304>\r\nP: +OK\r\nr: +OK\r\n"
                "<305>\r\nS: PASS ********\r\n<306>\r\nP: +OK 2 messages\r\nr: +OK 2 messages\r\n");
}

TEST_F(Pop3Session, ApopFollowsTheRfcExample) {
  server_.Send(Greeting).ExpectLine("APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n").Send("+OK\r\n").Close();
  kelIntegerParam(0, KEL_ENABLE_APOP, 1);
  EXPECT_EQ(Connect("mrose", "tanstaaf"), 0);
}

TEST_F(Pop3Session, ApopDigestsTimestampsOfEveryLengthWhole) {
  // Around the room of AuthText, and far beyond it.
  server_.SetReadTimeout(3000);
  const int lengths[] = {130, 131, 132, 900};
  for (size_t i = 0; i < 4; i++) {
    std::string stamp = "<" + std::string(lengths[i] - 2, static_cast<char>('a' + i)) + ">";
    if (i) server_.Accept();
    server_.Send("+OK hi " + stamp + " there\r\n")
        .ExpectLine("APOP joe " + Digest(stamp + "secret") + "\r\n")
        .Send("+OK\r\n")
        .Close();
  }
  kelIntegerParam(0, KEL_ENABLE_APOP, 1);
  EXPECT_EQ(Connect(), 0);
  for (int i = 1; i < 4; i++) EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), 0) << lengths[i];
}

TEST_F(Pop3Session, ApopWithoutTimestampFailsAfterTheGreeting) {
  server_.Send("+OK ready <1896.697170952 no end\r\n").Close();
  kelIntegerParam(0, KEL_ENABLE_APOP, 1);
  EXPECT_EQ(Connect(), -57);
  EXPECT_STREQ(Ch().AuthText, "");
  EXPECT_EQ(server_.Received(), "");
  EXPECT_EQ(Ch().NextState, 0);
}

TEST_F(Pop3Session, NegativeRepliesDuringLoginFail) {
  server_.SetReadTimeout(3000);
  server_.Send("-ERR go away\r\n").Close();
  server_.Accept().Send("+OK\r\n").ExpectLine("USER joe\r\n").Send("-ERR who\r\n").Close();
  server_.Accept().Send("+OK\r\n").ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS secret\r\n").Send(
      "-ERR [AUTH] Authentication failed.\r\n").Close();
  EXPECT_EQ(Connect(), -63);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), -63);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), -63);
  EXPECT_EQ(Ch().ReplyCode, 500);
  // Nothing was sent after a refused USER.
  EXPECT_EQ(server_.Received(), "USER joe\r\nUSER joe\r\nPASS secret\r\n");
}

// ---- AUTH (a bearer token, or a forced mechanism) -----------------------------

const char *const Capa = "+OK\r\nTOP\r\nUSER\r\nSASL PLAIN LOGIN xoauth2 OAUTHBEARER\r\n.\r\n";
const char *const ShortToken = "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg";
const char *const JoeXoauth2 =
    "dXNlcj1qb2UBYXV0aD1CZWFyZXIgeWEyOS52RjlkZnQ0cW1UYzJOdmIzUmxja0JoZEhSaGRtbHpkR0V1WTI5dENnAQE=";

TEST_F(Pop3Session, ForcedPlainLogsInThroughAuthAndMasksTheResponse) {
  server_.Send(Greeting).ExpectLine("CAPA\r\n").Send(Capa);
  server_.ExpectLine("AUTH PLAIN AGpvZQBzZWNyZXQ=\r\n").Send("+OK Logged in.\r\n");
  server_.ExpectLine("QUIT\r\n").Send("+OK bye\r\n").Close();
  std::string log = OpenLog();
  kelIntegerParam(0, KEL_AUTH_MECHANISM, KEL_AUTH_PLAIN);
  kelIntegerParam(0, KEL_ENABLE_APOP, 1);  // AUTH comes first
  ASSERT_EQ(Connect(), 0);
  // The CAPA lines as the server worded them, without the status and end lines.
  char caps[256];
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_CAPABILITIES, caps, sizeof caps), 46);
  EXPECT_STREQ(caps, "TOP\nUSER\nSASL PLAIN LOGIN xoauth2 OAUTHBEARER\n");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_CAPABILITIES, caps, 8), 7);  // cut to the caller's buffer
  EXPECT_STREQ(caps, "TOP\nUSE");
  EXPECT_EQ(kelClose(0), 0);
  const std::string text = WithoutTicks(ReadFileText(log));
  EXPECT_NE(text.find("<330>\r\nS: CAPA\r\n<331>\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("<332>\r\nS: AUTH PLAIN ********\r\n<333>\r\nP: +OK Logged in.\r\nr: +OK Logged in.\r\n"
                      "AUTH PLAIN ok\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("AGpvZQBz"), std::string::npos);
  EXPECT_STREQ(Ch().Password, "");  // the next kelPop3Connect brings it again
}

TEST_F(Pop3Session, BearerTokensGoOnTheAuthLineOrAfterThePrompt) {
  // A short message fits the 255 octets of a command line; a real token
  // does not, and follows the server's "+ " prompt on a line of its own.
  const std::string longToken(300, 'T');
  std::string longMessage = std::string("n,a=joe,\001auth=Bearer ") + longToken + "\001\001";
  std::string encoded(4 * ((longMessage.size() + 2) / 3) + 2, '\0');
  Base64EncodeLine(reinterpret_cast<const unsigned char *>(longMessage.data()), &encoded[0],
                   static_cast<int>(longMessage.size()));
  server_.Send(Greeting).ExpectLine("CAPA\r\n").Send(Capa);
  server_.ExpectLine(std::string("AUTH XOAUTH2 ") + JoeXoauth2 + "\r\n").Send("+OK Logged in.\r\n").Close();
  server_.Accept().Send(Greeting).ExpectLine("CAPA\r\n").Send("+OK\r\nSASL OAUTHBEARER\r\n.\r\n");
  server_.ExpectLine("AUTH OAUTHBEARER\r\n").Send("+ \r\n").ExpectLine(encoded).Send("+OK Logged in.\r\n").Close();
  std::string log = OpenLog();
  kelStringParam(0, KEL_OAUTH_TOKEN, ShortToken);
  ASSERT_EQ(Connect(), 0);
  kelStringParam(0, KEL_OAUTH_TOKEN, longToken.c_str());
  ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", ""), 0);
  char name[32];
  kelDebug(0, KEL_DEBUG_AUTH_MECHANISM, name, sizeof name);
  EXPECT_STREQ(name, "OAUTHBEARER");
  const std::string text = WithoutTicks(ReadFileText(log));
  EXPECT_NE(text.find("S: AUTH XOAUTH2 ********\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("S: AUTH OAUTHBEARER\r\n<333>\r\nP: + \r\nr: + \r\nS: ********\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("TTTT"), std::string::npos);
  EXPECT_EQ(text.find(encoded.substr(0, 20)), std::string::npos);
}

TEST_F(Pop3Session, RefusedAuthAndMissingMechanismsFail) {
  server_.SetReadTimeout(3000);
  // A refused token: the server's reason, the client's empty answer, -ERR.
  server_.Send(Greeting).ExpectLine("CAPA\r\n").Send(Capa);
  server_.ExpectLine(std::string("AUTH XOAUTH2 ") + JoeXoauth2 + "\r\n").Send("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n");
  server_.ExpectLine("\r\n").Send("-ERR [AUTH] Authentication failed.\r\n").Close();
  // A refused PLAIN login.
  server_.Accept().Send(Greeting).ExpectLine("CAPA\r\n").Send(Capa);
  server_.ExpectLine("AUTH PLAIN AGpvZQBzZWNyZXQ=\r\n").Send("-ERR [AUTH] Authentication failed.\r\n").Close();
  // No CAPA at all, and a CAPA without the mechanism: nothing after CAPA.
  server_.Accept().Send(Greeting).ExpectLine("CAPA\r\n").Send("-ERR unknown command\r\n").Close();
  server_.Accept().Send(Greeting).ExpectLine("CAPA\r\n").Send("+OK\r\nSASL PLAIN\r\n.\r\n").Close();
  kelStringParam(0, KEL_OAUTH_TOKEN, ShortToken);
  EXPECT_EQ(Connect(), -63);
  kelStringParam(0, KEL_OAUTH_TOKEN, "");
  kelIntegerParam(0, KEL_AUTH_MECHANISM, KEL_AUTH_PLAIN);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), -63);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), -76);
  kelIntegerParam(0, KEL_AUTH_MECHANISM, KEL_AUTH_OAUTHBEARER);
  kelStringParam(0, KEL_OAUTH_TOKEN, ShortToken);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", ""), -76);
  EXPECT_EQ(server_.Received(), std::string("CAPA\r\nAUTH XOAUTH2 ") + JoeXoauth2 +
                                    "\r\n\r\nCAPA\r\nAUTH PLAIN AGpvZQBzZWNyZXQ=\r\nCAPA\r\nCAPA\r\n");
  // Mechanisms POP3 AUTH does not know here, and a bearer one without a token: no connection at all.
  kelIntegerParam(0, KEL_AUTH_MECHANISM, KEL_AUTH_CRAM_MD5);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), -81);
  kelIntegerParam(0, KEL_AUTH_MECHANISM, KEL_AUTH_LOGIN);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), -81);
  EXPECT_EQ(server_.Connections(), 4);
}

TEST_F(Pop3Session, ConnectionClosedBeforeTheGreetingFails) {
  server_.Close();
  EXPECT_EQ(Connect(), -1);
  EXPECT_EQ(Ch().NextState, 0);
}

// ---- STAT, LIST, DELE --------------------------------------------------------

TEST_F(Pop3Session, StatGivesTheCountAndANegativeReplyGivesZero) {
  Login()
      .ExpectLine("STAT\r\n").Send("+OK 5 7421\r\n")
      .ExpectLine("STAT\r\n").Send("-ERR not now\r\n")
      .ExpectLine("STAT\r\n").Send("+OK 12 99\r\n")
      .Close();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelGetEmailCount(0), 5);
  EXPECT_EQ(kelGetEmailCount(0), 0);
  // Still connected: the negative reply was no error.
  EXPECT_EQ(kelGetEmailCount(0), 12);
}

TEST_F(Pop3Session, ListGivesTheSizeAfterTheSecondBlank) {
  Login()
      .ExpectLine("STAT\r\n").Send("+OK 3 5000\r\n")
      .ExpectLine("LIST 3\r\n").Send("+OK 3 1200\r\n")
      .ExpectLine("LIST 1\r\n").Send("+OK 1200\r\n")
      .ExpectLine("LIST 9\r\n").Send("-ERR no such message\r\n")
      .ExpectLine("DELE 3\r\n").Send("+OK deleted\r\n")
      .ExpectLine("DELE 9\r\n").Send("-ERR no such message\r\n")
      .Close();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelGetEmailCount(0), 3);
  EXPECT_EQ(kelGetEmailSize(0, 3), 1200);
  EXPECT_EQ(kelGetEmailSize(0, 1), 0);
  EXPECT_EQ(kelGetEmailSize(0, 9), 0);
  EXPECT_EQ(kelDeleteEmail(0, 3), 0);
  EXPECT_EQ(kelDeleteEmail(0, 9), 0);
  // DELE leaves the count as STAT gave it.
  EXPECT_EQ(kelStatistics(0, KEL_STAT_EMAIL_COUNT), 3);
}

TEST_F(Pop3Session, ClosedConnectionIsAFailureForEveryQuery) {
  server_.SetReadTimeout(3000);
  Login().ExpectLine("STAT\r\n").Close();
  server_.Accept();
  Login().ExpectLine("LIST 2\r\n").Close();
  server_.Accept();
  Login().ExpectLine("DELE 2\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelGetEmailCount(0), -1);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_EMAIL_COUNT), 0);
  ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), 0);
  EXPECT_EQ(kelGetEmailSize(0, 2), -1);
  ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), 0);
  EXPECT_EQ(kelDeleteEmail(0, 2), -1);
}

TEST_F(Pop3Session, NonBlockingCallsReturnAtOnceAndTheDriverDoesTheWork) {
  Login().ExpectLine("STAT\r\n").Send("+OK 5 7421\r\n").Close();
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  auto drive = [] {
    int rc;
    while ((rc = kelDriver(0)) > 0) {
    }
    return rc;
  };
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(Ch().NextState, 300);
  EXPECT_EQ(drive(), 0);
  EXPECT_EQ(kelGetEmailCount(0), 0);
  EXPECT_EQ(Ch().NextState, 307);
  EXPECT_EQ(drive(), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_EMAIL_COUNT), 5);
}

// ---- UIDL ----------------------------------------------------------------------

TEST_F(Pop3Session, UidlListKeepsStatusAndEntriesButNotTheEndLine) {
  const std::string list = "+OK 3 messages\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n2 QhdPYR:00WBw1Ph7x7\r\n3 a\r\n";
  Login().ExpectLine("UIDL\r\n").Send(list + ".\r\n").ExpectLine("UIDL 2\r\n").Send("+OK 2 QhdPYR:00WBw1Ph7x7\r\n")
      .ExpectLine("STAT\r\n").Send("+OK 3 10\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  char buffer[512];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(kelGetEmailUID(0, -1, buffer, sizeof buffer), static_cast<int>(list.size()));
  EXPECT_EQ(std::string(buffer), list);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_BUFFER_USED), static_cast<int>(list.size()));
  memset(buffer, 'x', sizeof buffer);
  const std::string single = "+OK 2 QhdPYR:00WBw1Ph7x7\r\n";
  EXPECT_EQ(kelGetEmailUID(0, 2, buffer, sizeof buffer), static_cast<int>(single.size()));
  EXPECT_EQ(std::string(buffer), single);
  EXPECT_EQ(kelGetEmailCount(0), 3);
}

TEST_F(Pop3Session, UidlDotRulesApplyAtTheStartOfALineOnly) {
  // The long line's second piece (from byte 1023 on) is ".\r\n" and is no end line.
  const std::string longLine = "4 " + std::string(1021, 'a') + ".\r\n";
  Login().ExpectLine("UIDL\r\n")
      .Send("+OK\r\n..\r\n..x\r\n.y\r\n" + longLine + "5 .z\r\n.\r\n")
      .ExpectLine("STAT\r\n").Send("+OK 5 10\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  char buffer[4096];
  int n = kelGetEmailUID(0, -1, buffer, sizeof buffer);
  const std::string expected = "+OK\r\n.\r\n.x\r\ny\r\n" + longLine + "5 .z\r\n";
  EXPECT_EQ(n, static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(buffer), expected);
  // The whole list was taken: the next reply is STAT's own.
  EXPECT_EQ(kelGetEmailCount(0), 5);
}

TEST_F(Pop3Session, UidlTextIsCutAtTheCapacityAndTheRestDropped) {
  std::string list = "+OK\r\n";
  for (int i = 1; i <= 20; i++) list += std::to_string(i) + " uid-of-message-number-" + std::to_string(i) + "\r\n";
  Login().ExpectLine("UIDL\r\n").Send(list + ".\r\n").ExpectLine("STAT\r\n").Send("+OK 20 10\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  char buffer[129];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(kelGetEmailUID(0, -1, buffer, 128), 127);
  EXPECT_EQ(std::string(buffer), list.substr(0, 127));
  EXPECT_EQ(buffer[128], 'x');  // nothing beyond the caller's size
  EXPECT_EQ(kelGetEmailCount(0), 20);
}

TEST_F(Pop3Session, UidlListCutByAClosedConnectionFails) {
  Login().ExpectLine("UIDL\r\n").Send("+OK\r\n1 abc\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  char buffer[256];
  EXPECT_EQ(kelGetEmailUID(0, -1, buffer, sizeof buffer), -1);
  EXPECT_EQ(Ch().NextState, 0);
}

TEST_F(Pop3Session, UidlStatusThatIsNotPositiveIsAnError) {
  // A negative status, or a line that is no status at all, is never handed
  // back as if it were the list.
  const struct {
    const char *reply;
    int result;
  } cases[] = {{"-ERR unknown command\r\n", -63}, {"abc\r\n", -85}, {"+OKAY\r\n", -85}, {"\r\n", -85}};
  for (const auto &c : cases) {
    if (&c != cases) server_.Accept();
    Login().ExpectLine("UIDL\r\n").Send(c.reply).Pause(100).Close();
  }
  server_.Start();
  kelIntegerParam(0, KEL_POP3_PORT, server_.Port());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.reply);
    ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), 0);
    char buffer[256] = "x";
    EXPECT_EQ(kelGetEmailUID(0, -1, buffer, sizeof buffer), c.result);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(kelStatistics(0, KEL_STAT_REPLY_CODE), 500);
  }
}

// ---- The free command ----------------------------------------------------------

TEST_F(Pop3Session, FreeCommandReadsOnlyTheFirstLineOfTheReply) {
  Login().ExpectLine("CAPA\r\n").Send("+OK list follows\r\nUSER\r\n.\r\n").ExpectLine("NOOP\r\n").Send(
      "-ERR no\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelCommand(0, "CAPA"), 0);
  EXPECT_STREQ(Ch().Response, "+OK list follows\r\n");
  char line[64];
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 1000, 1000), 6);
  EXPECT_STREQ(line, "USER\r\n");
  EXPECT_EQ(ReadLine(Ch(), line, sizeof line, 1000, 1000), 3);
  EXPECT_EQ(kelCommand(0, "NOOP"), -63);
}

}  // namespace
