// Reading from a real Dovecot: messages sent by this library and by another
// program, retrieved with USER/PASS and APOP, every saved attachment compared
// byte for byte with what Python's email package extracts; UIDL, DELE, STAT.
#include <gtest/gtest.h>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

class Pop3E2E : public LibraryMailTest {
 protected:
  void SetUp() override {
    LibraryMailTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    empty_mailbox("popuser");
    dir_ = scratch(std::string("pop3-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    OpenLog(dir_);
    fs::create_directories(dir_ + "/attach");
  }
  void Login(bool apop) {
    kelIntegerParam(0, KEL_ENABLE_APOP, apop ? 1 : 0);
    kelIntegerParam(0, KEL_POP3_PORT, ms().pop3_port);
    int rc = kelPop3Connect(0, "127.0.0.1", "popuser", "popuser-pass");
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  }
  // Sends a message with two attachments through the library.
  void SendOurs(const std::vector<std::string> &files) {
    std::string list;
    for (auto &f : files) list += (list.empty() ? "" : ",") + f;
    kelIntegerParam(0, KEL_SMTP_PORT, ms().smtp_port);
    ASSERT_EQ(kelSmtpConnect(0, "127.0.0.1", "<sender@example.test>", ""), 0) << Log();
    int rc = kelSendEmail(0, "<popuser@example.test>", nullptr, nullptr, "ours", "body of ours\n", list.c_str());
    ASSERT_EQ(rc, 0) << error_text(rc);
    kelClose(0);
  }
  void SendForeign() {
    std::string file = dir_ + "/foreign.eml";
    ASSERT_EQ(run_process({"python3", env_or("KEL_E2E_TOOLS", ".") + "/make_foreign.py", file}).exit_code, 0);
    ProcessResult r = run_process({"curl", "-sS", "smtp://127.0.0.1:" + std::to_string(ms().smtp_port),
                                   "--mail-from", "foreign@example.test", "--mail-rcpt", "popuser@example.test",
                                   "-T", file});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  std::string dir_;
};

TEST_F(Pop3E2E, OurMessageComesBackWithItsAttachments) {
  std::string a = random_bytes(70000, 11), b = random_bytes(58, 12);
  spit(dir_ + "/alpha.bin", a);
  spit(dir_ + "/beta.dat", b);
  SendOurs({dir_ + "/alpha.bin", dir_ + "/beta.dat"});
  ASSERT_EQ(wait_for_mail("popuser", 1).size(), 1u);

  Login(false);
  EXPECT_EQ(kelGetEmailCount(0), 1);
  EXPECT_GT(kelGetEmailSize(0, 1), 70000 * 4 / 3);
  int rc = kelGetEmailFile(0, 1, "ours.eml", dir_.c_str(), (dir_ + "/attach").c_str());
  ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_COUNT), 2);
  EXPECT_EQ(slurp(dir_ + "/attach/alpha.bin"), a);
  EXPECT_EQ(slurp(dir_ + "/attach/beta.dat"), b);
  std::string email = slurp(dir_ + "/ours.eml");
  EXPECT_NE(email.find("body of ours"), std::string::npos);
  EXPECT_NE(email.find("alpha.bin"), std::string::npos);
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(Pop3E2E, ForeignMessageMatchesAnIndependentParser) {
  SendForeign();
  auto files = wait_for_mail("popuser", 1);
  ASSERT_EQ(files.size(), 1u);
  Parsed expected = parse_independently(files[0], dir_ + "/expected");
  const std::string stored = slurp(files[0]);  // the server moves the file once it is read

  Login(true);  // APOP
  EXPECT_NE(Log().find("APOP popuser "), std::string::npos);
  ASSERT_EQ(kelGetEmailCount(0), 1);
  int rc = kelGetEmailFile(0, 1, "foreign.eml", dir_.c_str(), (dir_ + "/attach").c_str());
  ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  EXPECT_EQ(slurp(dir_ + "/attach/lines76.bin"), expected.attachment(1, "lines76.bin"));
  EXPECT_EQ(slurp(dir_ + "/attach/lines60.bin"), expected.attachment(2, "lines60.bin"));
  EXPECT_EQ(expected.attachment(1, "lines76.bin").size(), 3000u);
  EXPECT_EQ(expected.attachment(2, "lines60.bin").size(), 2000u);
  std::string email = slurp(dir_ + "/foreign.eml");
  // Decoded quoted-printable text, dots as sent.
  EXPECT_NE(email.find(".leading dot\r\n..two dots\r\n.\r\nan = sign and caf\xC3\xA9"), std::string::npos) << email;

  // The raw copy is what the server sent: the status line, the stuffed
  // message and the end line. Raw retrieval ends after a silence.
  kelIntegerParam(0, KEL_RAW_MODE, 1);
  kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, 500);
  rc = kelGetEmailFile(0, 1, "raw.eml", dir_.c_str(), (dir_ + "/attach").c_str());
  ASSERT_EQ(rc, 0) << error_text(rc);
  std::string raw = slurp(dir_ + "/raw.eml");
  ASSERT_EQ(raw.rfind("+OK", 0), 0u);
  ASSERT_GE(raw.size(), 5u);
  EXPECT_EQ(raw.substr(raw.size() - 5), "\r\n.\r\n");
  EXPECT_EQ(unix_lines(unstuffed_message(raw)), unix_lines(stored));
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(Pop3E2E, UidlDeleteAndStat) {
  SendForeign();
  SendForeign();
  ASSERT_EQ(wait_for_mail("popuser", 2).size(), 2u);
  Login(false);
  ASSERT_EQ(kelGetEmailCount(0), 2);
  char list[1024];
  int n = kelGetEmailUID(0, -1, list, sizeof list);
  ASSERT_GT(n, 0);
  std::string uidl(list);
  EXPECT_EQ(uidl.rfind("+OK", 0), 0u) << uidl;
  EXPECT_NE(uidl.find("\r\n1 "), std::string::npos) << uidl;
  EXPECT_NE(uidl.find("\r\n2 "), std::string::npos) << uidl;
  char one[256];
  ASSERT_GT(kelGetEmailUID(0, 2, one, sizeof one), 0);
  std::string second(one);
  // The single answer names the same id as the list's line for message 2.
  std::string id = second.substr(second.find(' ', 4) + 1);
  EXPECT_NE(uidl.find("2 " + id), std::string::npos) << uidl << "|" << second;

  char top[2048];
  ASSERT_GT(kelGetEmailLines(0, 1, 0, top, sizeof top), 0);
  EXPECT_NE(std::string(top).find("Subject: foreign message"), std::string::npos);

  EXPECT_EQ(kelDeleteEmail(0, 1), 0);
  EXPECT_EQ(kelClose(0), 0);
  Login(false);
  EXPECT_EQ(kelGetEmailCount(0), 1);
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(Pop3E2E, WrongPasswordIsRefused) {
  kelIntegerParam(0, KEL_POP3_PORT, ms().pop3_port);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "popuser", "wrong"), -63);
  kelIntegerParam(0, KEL_ENABLE_APOP, 1);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "popuser", "wrong"), -63);
}

// POP3 AUTH against Dovecot: PLAIN when forced, and the bearer tokens,
// whose responses (over 255 octets) follow the server's prompt.
TEST_F(Pop3E2E, AuthLoginsWithPlainAndBearerTokens) {
  const std::string token = token_of("popuser");
  struct Case {
    int Forced;
    const char *Password;
    bool Token;
    const char *Mechanism;
  } cases[] = {{KEL_AUTH_PLAIN, "popuser-pass", false, "PLAIN"},
               {0, "", true, "XOAUTH2"},
               {KEL_AUTH_OAUTHBEARER, "", true, "OAUTHBEARER"}};
  kelIntegerParam(0, KEL_POP3_PORT, ms().pop3_port);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Mechanism);
    OpenLog(dir_);
    kelIntegerParam(0, KEL_AUTH_MECHANISM, c.Forced);
    kelStringParam(0, KEL_OAUTH_TOKEN, c.Token ? token.c_str() : "");
    int rc = kelPop3Connect(0, "127.0.0.1", "popuser@example.test", c.Password);
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_NE(Log().find(std::string("AUTH ") + c.Mechanism + " ok\r\n"), std::string::npos) << Log();
    EXPECT_EQ(kelGetEmailCount(0), 0);
    EXPECT_EQ(kelClose(0), 0);
    EXPECT_EQ(Log().find("popuser-pass"), std::string::npos);
    EXPECT_EQ(Log().find(token), std::string::npos);
  }
  // A wrong token and a wrong password are refused.
  kelIntegerParam(0, KEL_AUTH_MECHANISM, 0);
  kelStringParam(0, KEL_OAUTH_TOKEN, "popuser-token-wrong");
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "popuser@example.test", ""), -63);
  kelStringParam(0, KEL_OAUTH_TOKEN, "");
  kelIntegerParam(0, KEL_AUTH_MECHANISM, KEL_AUTH_PLAIN);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "popuser@example.test", "wrong"), -63);
  EXPECT_NE(error_text(-63).find("-ERR"), std::string::npos) << error_text(-63);
  kelIntegerParam(0, KEL_AUTH_MECHANISM, 0);
}

}  // namespace
}  // namespace kel::e2e

namespace kel::e2e {
namespace {

// The same round trip over IPv6 loopback: Postfix and Dovecot also listen on ::1.
TEST_F(Pop3E2E, SendAndRetrieveOverIpv6) {
  for (const char *server : {"[::1]", "::1"}) {
    SCOPED_TRACE(server);
    kelIntegerParam(0, KEL_SMTP_PORT, ms().smtp_port);
    int rc = kelSmtpConnect(0, server, "<sender@example.test>", "");
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    char ip[64];
    EXPECT_EQ(kelDebug(0, KEL_DEBUG_SERVER_IP, ip, sizeof ip), 3);
    EXPECT_STREQ(ip, "::1");
    EXPECT_EQ(kelDebug(0, KEL_DEBUG_LOCAL_IP, ip, sizeof ip), 3);
    rc = kelSendEmail(0, "<popuser@example.test>", nullptr, nullptr, "over IPv6", "one line\n", nullptr);
    ASSERT_EQ(rc, 0) << error_text(rc);
    EXPECT_EQ(kelClose(0), 0);
    auto files = wait_for_mail("popuser", 1);
    ASSERT_EQ(files.size(), 1u);
    // Postfix saw an IPv6 client.
    EXPECT_NE(slurp(files[0]).find("[IPv6:::1]"), std::string::npos) << slurp(files[0]);

    kelIntegerParam(0, KEL_POP3_PORT, ms().pop3_port);
    rc = kelPop3Connect(0, server, "popuser", "popuser-pass");
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_EQ(kelGetEmailCount(0), 1);
    rc = kelGetEmailFile(0, 1, "v6.eml", dir_.c_str(), (dir_ + "/attach").c_str());
    EXPECT_EQ(rc, 0) << error_text(rc);
    EXPECT_NE(slurp(dir_ + "/v6.eml").find("Subject: over IPv6"), std::string::npos);
    EXPECT_EQ(kelDeleteEmail(0, 1), 0);
    EXPECT_EQ(kelClose(0), 0);
    empty_mailbox("popuser");
  }
}

}  // namespace
}  // namespace kel::e2e
