// The kelmail program against the real servers: send (plain, CRAM-MD5,
// LOGIN), verify, list (USER/PASS, APOP), fetch (decoded, raw, all with
// delete) and delete, checking exit codes, output and the saved files.
#include <gtest/gtest.h>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

class KelmailE2E : public MailstackTest {
 protected:
  void SetUp() override {
    MailstackTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    empty_mailbox("kmdave");
    dir_ = scratch(std::string("kelmail-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    for (const char *sub : {"mail", "raw", "all"}) fs::create_directories(dir_ + "/" + sub);
  }
  ProcessResult Kelmail(std::vector<std::string> args, const std::string &password = "") {
    std::vector<std::string> argv = {"env"};
    if (!password.empty()) argv.push_back("KELMAIL_PASSWORD=" + password);
    argv.push_back(KELMAIL_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, std::chrono::seconds(60));
  }
  std::string Smtp(int port) const { return "127.0.0.1:" + std::to_string(port); }
  std::string Pop3() const { return "127.0.0.1:" + std::to_string(ms().pop3_port); }
  static bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }
  std::string dir_;
};

TEST_F(KelmailE2E, SendListFetchDelete) {
  const std::string report = random_bytes(30000, 5);
  spit(dir_ + "/report.bin", report);
  spit(dir_ + "/notes.txt", "notes\n");
  ProcessResult r = Kelmail({"send", "--server", Smtp(ms().smtp_port), "--from", "kmcarol@example.test", "--to",
                             "kmdave@example.test", "--subject", "real test", "--body", "Hello Dave.", "--attach",
                             dir_ + "/report.bin", "--attach", dir_ + "/notes.txt=Notes, final.txt"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  r = Kelmail({"send", "--server", Smtp(cram_port()), "--user", "kmcarol@example.test", "--from",
               "kmcarol@example.test", "--to", "kmdave@example.test", "--subject", "cram", "--body", "via CRAM"},
              "kmcarol-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_FALSE(Has(r.output, "not authenticated")) << r.output;
  r = Kelmail({"send", "--server", Smtp(login_port()), "--user", "kmcarol@example.test", "--from",
               "kmcarol@example.test", "--to", "kmdave@example.test", "--subject", "login", "--body", "via LOGIN"},
              "kmcarol-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_EQ(wait_for_mail("kmdave", 3).size(), 3u);

  r = Kelmail({"list", "--server", Pop3(), "--user", "kmdave"}, "kmdave-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "3 message(s)")) << r.output;
  r = Kelmail({"list", "--server", Pop3(), "--user", "kmdave", "--apop"}, "kmdave-pass");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "3 message(s)")) << r.output;

  // The first message delivered is the one with the attachments.
  r = Kelmail({"fetch", "--server", Pop3(), "--user", "kmdave", "1", "--dir", dir_ + "/mail"}, "kmdave-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(slurp(dir_ + "/mail/report.bin"), report) << r.output;
  EXPECT_EQ(slurp(dir_ + "/mail/Notes, final.txt"), "notes\n") << r.output;
  r = Kelmail({"fetch", "--server", Pop3(), "--user", "kmdave", "2", "--raw", "--dir", dir_ + "/raw"}, "kmdave-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // As Dovecot stores it: no status line, no end line.
  std::string raw = slurp(dir_ + "/raw/message-2.eml");
  EXPECT_NE(raw.rfind("+OK", 0), 0u);
  EXPECT_TRUE(Has(raw, "Subject: cram\r\n")) << raw;
  ASSERT_GE(raw.size(), 5u);
  EXPECT_NE(raw.substr(raw.size() - 5), "\r\n.\r\n");

  r = Kelmail({"fetch", "--server", Pop3(), "--user", "kmdave", "--all", "--delete", "--dir", dir_ + "/all"},
              "kmdave-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  r = Kelmail({"list", "--server", Pop3(), "--user", "kmdave"}, "kmdave-pass");
  EXPECT_TRUE(Has(r.output, "0 message(s)")) << r.output;
  r = Kelmail({"delete", "--server", Pop3(), "--user", "kmdave", "1"}, "kmdave-pass");
  EXPECT_EQ(r.exit_code, 66) << r.output;
}

TEST_F(KelmailE2E, RefusalsAndVerify) {
  ProcessResult r = Kelmail({"send", "--server", Smtp(ms().smtp_port), "--from", "kmcarol@example.test", "--to",
                             "nobody@example.test", "--body", "x"});
  EXPECT_EQ(r.exit_code, 67) << r.output;
  EXPECT_TRUE(Has(r.output, "SMTP returned error. 550")) << r.output;
  EXPECT_TRUE(Has(r.output, "1 recipient(s) refused:\n  <nobody@example.test> 550 5.1.1")) << r.output;
  // With --skip-refused the known recipient gets the message; the exit still tells of the other.
  r = Kelmail({"send", "--server", Smtp(ms().smtp_port), "--from", "kmcarol@example.test", "--to",
               "nobody@example.test,kmdave@example.test", "--body", "x", "--skip-refused"});
  EXPECT_EQ(r.exit_code, 67) << r.output;
  EXPECT_TRUE(Has(r.output, "<nobody@example.test> 550 5.1.1")) << r.output;
  EXPECT_EQ(wait_for_mail("kmdave", 1).size(), 1u);
  // A bearer token from the environment, checked by the server.
  r = run_process({"env", "KELMAIL_TOKEN=" + token_of("kmcarol"), KELMAIL_PATH, "send", "--server",
                   Smtp(bearer_port()), "--user", "kmcarol@example.test", "--from", "kmcarol@example.test", "--to",
                   "kmdave@example.test", "--body", "with a token"},
                  std::chrono::seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(wait_for_mail("kmdave", 2).size(), 2u);
  r = Kelmail({"verify", "--server", Smtp(ms().smtp_port), "kmdave@example.test", "nobody@example.test"});
  EXPECT_EQ(r.exit_code, 67) << r.output;
  EXPECT_TRUE(Has(r.output, "kmdave@example.test: accepted, not verified (252")) << r.output;
  EXPECT_TRUE(Has(r.output, "nobody@example.test: not verified (550")) << r.output;
  r = Kelmail({"list", "--server", Pop3(), "--user", "kmdave", "--password", "wrong"});
  EXPECT_EQ(r.exit_code, 77) << r.output;
  EXPECT_TRUE(Has(r.output, "POP3 returned error. -ERR")) << r.output;
}

}  // namespace
}  // namespace kel::e2e
