// TLS against the real servers: STARTTLS on Postfix (AUTH offered only
// after it on the STARTTLS submission port), SMTP over implicit TLS, STLS
// and POP3 over implicit TLS on Dovecot; every message sent over TLS is
// read back over TLS and compared byte for byte with the stored file.
#include <gtest/gtest.h>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

int smtps_port() { return env_int_or("MAILSTACK_SMTPS_PORT", 2465); }
int tls_submission_port() { return env_int_or("MAILSTACK_TLS_SUBMISSION_PORT", 2592); }
int pop3s_port() { return env_int_or("MAILSTACK_POP3S_PORT", 1995); }
std::string ca_file() { return env_or("MAILSTACK_CA_FILE", "/tmp/mailstack/tls/ca.pem"); }

class TlsE2E : public LibraryMailTest {
 protected:
  void SetUp() override {
    LibraryMailTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    empty_mailbox("tlsuser");
    dir_ = scratch(std::string("tls-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    OpenLog(dir_);
    kelStringParam(0, KEL_TLS_CA_FILE, ca_file().c_str());
  }
  int SmtpConnect(int port, int mode, bool auth) {
    kelIntegerParam(0, KEL_TLS_MODE, mode);
    kelIntegerParam(0, KEL_SMTP_PORT, port);
    kelIntegerParam(0, KEL_ENABLE_ESMTP, auth ? 1 : 0);
    kelStringParam(0, KEL_SMTP_USER, "tlsuser@example.test");
    kelStringParam(0, KEL_SMTP_PASS, "tlsuser-pass");
    return kelSmtpConnect(0, "127.0.0.1", "<sender@example.test>", "");
  }
  // Sends one message with an attachment; the stored file once it is there.
  std::string Send(const std::string &attachment) {
    int rc = kelSendEmail(0, "<tlsuser@example.test>", nullptr, nullptr, "over TLS", "first line\n.dot line\n",
                          attachment.empty() ? nullptr : attachment.c_str());
    EXPECT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_EQ(kelClose(0), 0) << Log();
    auto files = wait_for_mail("tlsuser", 1);
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::string() : slurp(files[0]);
  }
  // Retrieves message 1 raw and returns it without status line, end line and dot-stuffing.
  std::string RetrieveRaw(int port, int mode) {
    kelIntegerParam(0, KEL_TLS_MODE, mode);
    kelIntegerParam(0, KEL_POP3_PORT, port);
    int rc = kelPop3Connect(0, "127.0.0.1", "tlsuser", "tlsuser-pass");
    EXPECT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    if (rc != 0) return "";
    EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
    EXPECT_EQ(kelGetEmailCount(0), 1);
    kelIntegerParam(0, KEL_RAW_MODE, 1);
    kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, 500);
    rc = kelGetEmailFile(0, 1, "raw.eml", dir_.c_str(), dir_.c_str());
    EXPECT_EQ(rc, 0) << error_text(rc);
    kelIntegerParam(0, KEL_RAW_MODE, 0);
    EXPECT_EQ(kelClose(0), 0) << Log();
    std::string raw = slurp(dir_ + "/raw.eml");
    if (raw.rfind("+OK", 0) != 0 || raw.size() < 5) return "bad raw copy: " + raw;
    return unstuffed_message(raw);
  }
  std::string dir_;
};

// The STARTTLS submission port offers AUTH only after the handshake: the
// plain EHLO reply lacks it, the one after STARTTLS has it.
TEST_F(TlsE2E, StartTlsSubmissionThenStlsRetrieval) {
  ASSERT_EQ(SmtpConnect(tls_submission_port(), KEL_TLS_OFF, true), 0) << Log();
  EXPECT_EQ(std::string(kelStatistics(0, KEL_STAT_TLS) ? "tls" : "plain"), "plain");
  char reply[1100];
  std::string plainHello = Log();
  EXPECT_EQ(plainHello.find("250-AUTH"), std::string::npos);
  kelClose(0);

  ASSERT_EQ(SmtpConnect(tls_submission_port(), KEL_TLS_REQUIRED, true), 0) << Log();
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  const std::string log = Log();
  EXPECT_NE(log.find("S: STARTTLS\r\n"), std::string::npos);
  EXPECT_NE(log.find("[TLS verify ok]"), std::string::npos);
  EXPECT_NE(log.find("AUTH "), std::string::npos);
  EXPECT_NE(log.find("235 "), std::string::npos) << log;
  kelDebug(0, KEL_DEBUG_TLS_PEER, reply, sizeof reply);
  EXPECT_STREQ(reply, "/CN=mail.example.test");
  // Postfix's certificate in detail: the test CA's, checked.
  kelDebug(0, KEL_DEBUG_TLS_CERT, reply, sizeof reply);
  std::string detail = reply;
  EXPECT_EQ(detail.rfind("subject: CN=mail.example.test\r\nissuer: CN=Test Mail CA\r\nnot before: 20", 0), 0u) << detail;
  EXPECT_NE(detail.find(" UTC\r\nnot after: 20"), std::string::npos) << detail;
  EXPECT_EQ(detail.substr(detail.size() - 21), " UTC\r\nverified: yes\r\n") << detail;

  const std::string data = random_bytes(70000, 31);
  spit(dir_ + "/blob.bin", data);
  const std::string stored = Send(dir_ + "/blob.bin");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(unix_lines(RetrieveRaw(ms().pop3_port, KEL_TLS_REQUIRED)), unix_lines(stored));
  EXPECT_NE(Log().find("S: STLS\r\n"), std::string::npos);
}

TEST_F(TlsE2E, ImplicitTlsBothWays) {
  ASSERT_EQ(SmtpConnect(smtps_port(), KEL_TLS_IMPLICIT, true), 0) << Log();
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  const std::string data = random_bytes(20000, 32);
  spit(dir_ + "/blob.bin", data);
  const std::string stored = Send(dir_ + "/blob.bin");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(unix_lines(RetrieveRaw(pop3s_port(), KEL_TLS_IMPLICIT)), unix_lines(stored));
  // And decoded: the attachment comes back as it was sent.
  kelIntegerParam(0, KEL_POP3_PORT, pop3s_port());
  ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "tlsuser", "tlsuser-pass"), 0) << Log();
  fs::create_directories(dir_ + "/attach");
  ASSERT_EQ(kelGetEmailFile(0, 1, "decoded.eml", dir_.c_str(), (dir_ + "/attach").c_str()), 0) << Log();
  EXPECT_EQ(slurp(dir_ + "/attach/blob.bin"), data);
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(TlsE2E, OpportunisticStartTlsOnTheOpenPort) {
  ASSERT_EQ(SmtpConnect(ms().smtp_port, KEL_TLS_STARTTLS, false), 0) << Log();
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  EXPECT_FALSE(Send("").empty());
}

// The real servers' certificates refused: a name they do not carry, and a
// chain checked against the system's roots instead of the test CA.
TEST_F(TlsE2E, CertificatesThatDoNotFitAreRefused) {
  kelStringParam(0, KEL_TLS_SERVER_NAME, "wrong.example.test");
  EXPECT_EQ(SmtpConnect(smtps_port(), KEL_TLS_IMPLICIT, false), -93) << Log();
  kelIntegerParam(0, KEL_POP3_PORT, pop3s_port());
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "tlsuser", "tlsuser-pass"), -93);
  kelStringParam(0, KEL_TLS_SERVER_NAME, "");
  kelStringParam(0, KEL_TLS_CA_FILE, "");
  EXPECT_EQ(SmtpConnect(ms().smtp_port, KEL_TLS_REQUIRED, false), -91) << Log();
  // The refused certificate is still shown, with OpenSSL's reason.
  char text[1100];
  kelDebug(0, KEL_DEBUG_TLS_CERT, text, sizeof text);
  const std::string detail = text;
  EXPECT_EQ(detail.rfind("subject: CN=mail.example.test\r\nissuer: CN=Test Mail CA\r\n", 0), 0u) << detail;
  EXPECT_NE(detail.find("\r\nverified: no (self-signed certificate in certificate chain)\r\n"), std::string::npos)
      << detail;
  // With the check turned off the certificate is taken and said to be unchecked.
  kelIntegerParam(0, KEL_TLS_VERIFY, 0);
  EXPECT_EQ(SmtpConnect(ms().smtp_port, KEL_TLS_REQUIRED, false), 0) << Log();
  kelDebug(0, KEL_DEBUG_TLS_CERT, text, sizeof text);
  EXPECT_NE(std::string(text).find("\r\nverified: no (not checked: KEL_TLS_VERIFY 0)\r\n"), std::string::npos) << text;
  kelClose(0);
  kelIntegerParam(0, KEL_TLS_VERIFY, 1);
}

}  // namespace
}  // namespace kel::e2e
