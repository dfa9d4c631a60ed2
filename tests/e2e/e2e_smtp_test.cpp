// Sending through a real Postfix: plain, quoted-printable, HTML with an
// inline image and binary attachments, with and without AUTH, each message
// read back from the Maildir and checked by Python's email package.
#include <gtest/gtest.h>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

class SmtpE2E : public LibraryMailTest {
 protected:
  void SetUp() override {
    LibraryMailTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char *user : {"smtpto", "smtpcc", "smtpbcc"}) empty_mailbox(user);
    dir_ = scratch(::testing::UnitTest::GetInstance()->current_test_info()->name());
    OpenLog(dir_);
  }
  int Connect(int port, const char *from = "Sender Name <sender@example.test>") {
    kelIntegerParam(0, KEL_SMTP_PORT, port);
    return kelSmtpConnect(0, "127.0.0.1", from, "");
  }
  // Sends to smtpto and returns what Python makes of the delivered message.
  Parsed SendAndParse(const char *subject, const char *message, const std::string &attachments = "") {
    int rc = kelSendEmail(0, "<smtpto@example.test>", nullptr, nullptr, subject, message,
                          attachments.empty() ? nullptr : attachments.c_str());
    EXPECT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_EQ(kelClose(0), 0);
    auto files = wait_for_mail("smtpto", 1);
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? Parsed{} : parse_independently(files[0], dir_ + "/parsed");
  }
  std::string dir_;
};

TEST_F(SmtpE2E, PlainMessageToEveryListWithoutBccHeader) {
  ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
  int rc = kelSendEmail(0, "First <smtpto@example.test>", "<smtpcc@example.test>", "<smtpbcc@example.test>",
                        "plain subject", "Hello,\nsecond line\n.a line with a dot\n", nullptr);
  ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  EXPECT_EQ(kelClose(0), 0);
  for (const char *user : {"smtpto", "smtpcc", "smtpbcc"}) {
    auto files = wait_for_mail(user, 1);
    ASSERT_EQ(files.size(), 1u) << user;
    Parsed p = parse_independently(files[0], dir_ + "/" + user);
    EXPECT_EQ(p.field("subject"), "plain subject");
    EXPECT_EQ(p.field("from"), "Sender Name <sender@example.test>");
    EXPECT_EQ(p.field("to"), "First <smtpto@example.test>");
    EXPECT_EQ(p.field("cc"), "<smtpcc@example.test>");
    EXPECT_EQ(p.fields.count("bcc"), 0u);
    EXPECT_EQ(unix_lines(p.body), "Hello,\nsecond line\n.a line with a dot");
  }
}

TEST_F(SmtpE2E, QuotedPrintableBodyDecodesToTheText) {
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_QUOTED);
  ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
  std::string text = "an = sign\ta tab and caf\xE9\n" + std::string(200, 'x') + "\n.dot line\nend\n";
  Parsed p = SendAndParse("qp", text.c_str());
  EXPECT_EQ(p.field("subject"), "qp");
  EXPECT_EQ(unix_lines(p.body), unix_lines(text));
}

TEST_F(SmtpE2E, HtmlWithInlineImage) {
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_HTML);
  std::string image = random_bytes(5000, 7);
  spit(dir_ + "/picture.gif", image);
  ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
  Parsed p = SendAndParse("html", "<html><body><img src=\"cid:message-root.1\"></body></html>\n",
                          dir_ + "/picture.gif");
  EXPECT_NE(p.field("content-type").find("multipart/related"), std::string::npos);
  EXPECT_NE(p.field("message-id").find("message-root"), std::string::npos);
  EXPECT_NE(p.body.find("<img src=\"cid:message-root.1\">"), std::string::npos);
  EXPECT_NE(p.field("attachment").find("picture.gif 5000"), std::string::npos) << p.field("attachment");
  EXPECT_EQ(p.attachment(1, "picture.gif"), image);
}

TEST_F(SmtpE2E, BinaryAttachmentsByteForByteWithCramMd5) {
  const size_t sizes[] = {0, 1, 57, 58, 1 << 20};
  std::string list;
  std::vector<std::string> contents;
  for (size_t i = 0; i < 5; i++) {
    std::string name = "file" + std::to_string(i) + ".bin";
    contents.push_back(random_bytes(sizes[i], static_cast<unsigned>(i + 1)));
    spit(dir_ + "/" + name, contents.back());
    list += (list.empty() ? "" : ",") + dir_ + "/" + name;
  }
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "smtpauth");
  kelStringParam(0, KEL_SMTP_PASS, "smtpauth-pass");
  ASSERT_EQ(Connect(cram_port()), 0) << Log();
  EXPECT_NE(Log().find("AUTH CRAM-MD5 ok\r\n"), std::string::npos);
  Parsed p = SendAndParse("five files", "see the files\n", list);
  EXPECT_EQ(unix_lines(p.body), "see the files");
  for (size_t i = 0; i < 5; i++) {
    std::string name = "file" + std::to_string(i) + ".bin";
    EXPECT_EQ(p.attachment(static_cast<int>(i + 1), name), contents[i]) << name;
  }
}

TEST_F(SmtpE2E, LoginAuthentication) {
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "smtpauth@example.test");
  kelStringParam(0, KEL_SMTP_PASS, "smtpauth-pass");
  ASSERT_EQ(Connect(login_port()), 0) << Log();
  EXPECT_NE(Log().find("AUTH LOGIN ok\r\n"), std::string::npos);
  Parsed p = SendAndParse("after login", "logged in\n");
  EXPECT_EQ(p.field("subject"), "after login");
}

TEST_F(SmtpE2E, WrongPasswordsAreRefused) {
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "smtpauth");
  kelStringParam(0, KEL_SMTP_PASS, "not-the-password");
  EXPECT_EQ(Connect(cram_port()), -49);
  EXPECT_EQ(Connect(login_port()), -49);
  char text[300];
  kelErrorText(0, -49, text, sizeof text);
  EXPECT_NE(std::string(text).find("535"), std::string::npos) << text;
}

// Postfix with Dovecot SASL lists "AUTH PLAIN LOGIN CRAM-MD5": the list is
// read word by word, so the login happens, with the preferred mechanism.
TEST_F(SmtpE2E, MechanismListsInTheServersOrderGetALogin) {
  struct Case {
    int Port, Forced;
    const char *Mechanism;
  } cases[] = {{ms().submission_port, 0, "CRAM-MD5"},
               {plain_login_port(), 0, "LOGIN"},
               {ms().submission_port, KEL_AUTH_PLAIN, "PLAIN"},
               {ms().submission_port, KEL_AUTH_LOGIN, "LOGIN"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Mechanism);
    empty_mailbox("smtpto");
    OpenLog(dir_);
    kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
    kelIntegerParam(0, KEL_AUTH_MECHANISM, c.Forced);
    kelStringParam(0, KEL_SMTP_USER, "smtpauth@example.test");
    kelStringParam(0, KEL_SMTP_PASS, "smtpauth-pass");
    ASSERT_EQ(Connect(c.Port), 0) << Log();
    char name[32];
    kelDebug(0, KEL_DEBUG_AUTH_MECHANISM, name, sizeof name);
    EXPECT_STREQ(name, c.Mechanism);
    EXPECT_NE(Log().find(std::string("AUTH ") + c.Mechanism + " ok\r\n"), std::string::npos) << Log();
    Parsed p = SendAndParse("logged in", "by the list\n");
    EXPECT_EQ(p.field("subject"), "logged in");
    EXPECT_EQ(Log().find("smtpauth-pass"), std::string::npos);
  }
  // A mechanism the listener does not offer is refused before anything is sent.
  kelIntegerParam(0, KEL_AUTH_MECHANISM, KEL_AUTH_CRAM_MD5);
  EXPECT_EQ(Connect(plain_login_port()), -76);
}

TEST_F(SmtpE2E, BearerTokensAreCheckedByTheServer) {
  const std::string token = token_of("smtpauth");
  for (int forced : {0, KEL_AUTH_OAUTHBEARER}) {
    empty_mailbox("smtpto");
    OpenLog(dir_);
    kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
    kelIntegerParam(0, KEL_AUTH_MECHANISM, forced);
    kelStringParam(0, KEL_SMTP_USER, "smtpauth@example.test");
    kelStringParam(0, KEL_OAUTH_TOKEN, token.c_str());
    ASSERT_EQ(Connect(bearer_port()), 0) << Log();
    EXPECT_NE(Log().find(forced ? "AUTH OAUTHBEARER ok\r\n" : "AUTH XOAUTH2 ok\r\n"), std::string::npos) << Log();
    Parsed p = SendAndParse("with a token", "bearer\n");
    EXPECT_EQ(p.field("subject"), "with a token");
    EXPECT_EQ(Log().find(token), std::string::npos);
  }
  for (int forced : {KEL_AUTH_XOAUTH2, KEL_AUTH_OAUTHBEARER}) {
    kelIntegerParam(0, KEL_AUTH_MECHANISM, forced);
    kelStringParam(0, KEL_OAUTH_TOKEN, "not-the-token");
    EXPECT_EQ(Connect(bearer_port()), -49);
    EXPECT_NE(error_text(-49).find("535"), std::string::npos) << error_text(-49);
  }
  EXPECT_NE(Log().find("Token refused '{"), std::string::npos) << Log();
}

// One command per reply and pipelined (Postfix offers PIPELINING): the same outcome.
TEST_F(SmtpE2E, RefusedRecipientsAreReportedAndTheOthersGetTheMessage) {
  for (int pipelined : {0, 1})
  for (int strict : {0, 1}) {
    SCOPED_TRACE(std::string(pipelined ? "pipelined" : "one by one") + (strict ? ", strict" : ""));
    empty_mailbox("smtpto");
    empty_mailbox("smtpcc");
    kelIntegerParam(0, KEL_ENABLE_ESMTP, pipelined);
    kelIntegerParam(0, KEL_PIPELINING, pipelined);
    kelIntegerParam(0, KEL_SKIP_REFUSED, 1);
    kelIntegerParam(0, KEL_STRICT_RECIPIENTS, strict);
    ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
    EXPECT_EQ(kelStatistics(0, KEL_STAT_PIPELINING), pipelined);
    int rc = kelSendEmail(0, "<smtpto@example.test>, <nobody@example.test>", "<smtpcc@example.test>", nullptr,
                          "some refused", "x\n", nullptr);
    EXPECT_EQ(rc, strict ? -79 : 0) << error_text(rc);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_REFUSED_COUNT), 1);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_ACCEPTED_COUNT), 2);
    char list[512];
    kelDebug(0, KEL_DEBUG_REFUSED_LIST, list, sizeof list);
    EXPECT_EQ(std::string(list).rfind("<nobody@example.test> 550 5.1.1 <nobody@example.test>: ", 0), 0u) << list;
    EXPECT_EQ(kelClose(0), 0);  // the connection stayed usable
    EXPECT_EQ(wait_for_mail("smtpto", 1).size(), 1u);
    EXPECT_EQ(wait_for_mail("smtpcc", 1).size(), 1u);
  }
  // Every recipient refused: no message at all; without KEL_SKIP_REFUSED the 5xx ends the send.
  for (int pipelined : {0, 1}) {
    kelIntegerParam(0, KEL_ENABLE_ESMTP, pipelined);
    kelIntegerParam(0, KEL_PIPELINING, pipelined);
    kelIntegerParam(0, KEL_SKIP_REFUSED, 1);
    ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
    EXPECT_EQ(kelSendEmail(0, "<nobody@example.test>", nullptr, nullptr, "x", "x\n", nullptr), -78);
    EXPECT_NE(error_text(-78).find("550"), std::string::npos) << error_text(-78);
    kelIntegerParam(0, KEL_SKIP_REFUSED, 0);
    ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
    EXPECT_EQ(kelSendEmail(0, "<smtpto@example.test>, <nobody@example.test>", nullptr, nullptr, "x", "x\n", nullptr),
              -49);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_REFUSED_COUNT), 1);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_ACCEPTED_COUNT), 1);
  }
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 0);
  kelIntegerParam(0, KEL_PIPELINING, 0);
}

TEST_F(SmtpE2E, UnknownRecipientIsRefusedWithTheServerReply) {
  ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
  EXPECT_EQ(kelSendEmail(0, "<nobody@example.test>", nullptr, nullptr, "x", "x\n", nullptr), -49);
  char text[300];
  kelErrorText(0, -49, text, sizeof text);
  EXPECT_NE(std::string(text).find("550"), std::string::npos) << text;
}

}  // namespace
// Postfix offers SIZE, 8BITMIME, SMTPUTF8 and DSN: UTF-8 text, names and an
// international sender go through it, and the library's own decoder reads
// them back from Dovecot as they were sent.
TEST_F(SmtpE2E, InternationalTextNamesAndAddressesComeBackAsSent) {
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);  // EHLO, and the login it then makes
  kelStringParam(0, KEL_SMTP_USER, "smtpauth");
  kelStringParam(0, KEL_SMTP_PASS, "smtpauth-pass");
  kelStringParam(0, KEL_DSN_NOTIFY, "FAILURE");
  const std::string report = random_bytes(3000, 21);
  spit(dir_ + "/Grüße Bericht.pdf", report);
  ASSERT_EQ(Connect(ms().smtp_port, "Jürgen Müller <jürgen@example.test>"), 0) << Log();
  const std::string subject = "Grüße aus München – Ελληνικά, 中文 🎉";
  const std::string body = "Hallo Zoë,\nPreis: 20 € für die Größe XL.\nΚαλημέρα, 你好\n";
  int rc = kelSendEmail(0, "Zoë Ωμέγα <smtpto@example.test>", nullptr, nullptr, subject.c_str(), body.c_str(),
                        (dir_ + "/Grüße Bericht.pdf").c_str());
  ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  const std::string log = Log();
  EXPECT_NE(log.find(" SMTPUTF8"), std::string::npos) << log;
  EXPECT_NE(log.find(" SIZE="), std::string::npos);
  EXPECT_NE(log.find(" NOTIFY=FAILURE"), std::string::npos);
  EXPECT_EQ(kelClose(0), 0);
  ASSERT_EQ(wait_for_mail("smtpto", 1).size(), 1u);

  kelIntegerParam(0, KEL_POP3_PORT, ms().pop3_port);
  kelIntegerParam(0, KEL_DECODE_HEADERS, 1);
  ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "smtpto", "smtpto-pass"), 0);
  const std::string attach = dir_ + "/attach";
  fs::create_directories(attach);
  rc = kelGetEmailFile(0, 1, "back.eml", dir_.c_str(), attach.c_str());
  EXPECT_GE(rc, 0) << error_text(rc);
  kelClose(0);
  const std::string saved = slurp(dir_ + "/back.eml");
  // The decoder keeps the header's folds: the subject's words, each whole.
  EXPECT_NE(saved.find("Subject: Grüße aus München – Ελληνικά,"), std::string::npos) << saved;
  EXPECT_NE(saved.find("中文 🎉"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Jürgen Müller"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Zoë Ωμέγα"), std::string::npos) << saved;
  EXPECT_NE(unix_lines(saved).find(unix_lines(body)), std::string::npos) << saved;
  EXPECT_EQ(slurp(attach + "/Grüße Bericht.pdf"), report);
}

TEST_F(SmtpE2E, MessageOverPostfixsSizeLimitFailsBeforeMailFrom) {
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "smtpauth");
  kelStringParam(0, KEL_SMTP_PASS, "smtpauth-pass");
  ASSERT_EQ(Connect(ms().smtp_port), 0) << Log();
  const std::string big = dir_ + "/big.bin";
  spit(big, std::string(11 * 1024 * 1024, 'b'));  // Postfix takes 10,240,000 bytes unless told otherwise
  EXPECT_EQ(kelSendEmail(0, "<smtpto@example.test>", nullptr, nullptr, "big", "x", big.c_str()), -88);
  EXPECT_EQ(Log().find("MAIL FROM"), std::string::npos);
  EXPECT_EQ(kelSendEmail(0, "<smtpto@example.test>", nullptr, nullptr, "small", "x", nullptr), 0) << Log();
  EXPECT_EQ(kelClose(0), 0);
}

}  // namespace kel::e2e
