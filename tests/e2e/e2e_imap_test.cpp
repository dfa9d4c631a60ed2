// Reading from a real Dovecot over IMAP: the same messages give the same
// files as over POP3; UNSEEN search, marking seen, delete and expunge, a
// folder with a non-ASCII name, an XOAUTH2 login, STARTTLS and implicit TLS.
#include <gtest/gtest.h>

#include <thread>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

int imap_port() { return env_int_or("MAILSTACK_IMAP_PORT", 1143); }
int imaps_port() { return env_int_or("MAILSTACK_IMAPS_PORT", 1993); }
const char *const User = "imapuser";
const char *const Password = "imapuser-pass";

class ImapE2E : public LibraryMailTest {
 protected:
  void SetUp() override {
    LibraryMailTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    empty_mailbox(User);
    std::error_code ec;
    fs::remove_all(maildir(User) / ".&AMQ-rger", ec);  // the folder of the last run
    dir_ = scratch(std::string("imap-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    OpenLog(dir_);
    fs::create_directories(dir_ + "/attach");
  }
  void ImapLogin(const char *mailbox = "INBOX", const char *search = "ALL") {
    kelIntegerParam(0, KEL_IMAP_PORT, imap_port());
    kelStringParam(0, KEL_IMAP_MAILBOX, mailbox);
    kelStringParam(0, KEL_IMAP_SEARCH, search);
    const int rc = kelImapConnect(0, "127.0.0.1", User, Password);
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  }
  void Send(const std::string &subject, const std::string &attachments = "") {
    kelIntegerParam(0, KEL_SMTP_PORT, ms().smtp_port);
    ASSERT_EQ(kelSmtpConnect(0, "127.0.0.1", "<sender@example.test>", ""), 0) << Log();
    const int rc = kelSendEmail(0, "<imapuser@example.test>", nullptr, nullptr, subject.c_str(), "body text\n",
                                attachments.empty() ? nullptr : attachments.c_str());
    ASSERT_EQ(rc, 0) << error_text(rc);
    kelClose(0);
  }
  void SendForeign() {
    const std::string file = dir_ + "/foreign.eml";
    ASSERT_EQ(run_process({"python3", env_or("KEL_E2E_TOOLS", ".") + "/make_foreign.py", file}).exit_code, 0);
    ProcessResult r = run_process({"curl", "-sS", "smtp://127.0.0.1:" + std::to_string(ms().smtp_port),
                                   "--mail-from", "foreign@example.test", "--mail-rcpt", "imapuser@example.test",
                                   "-T", file});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  int GetFile(int number, const std::string &name) {
    return kelGetEmailFile(0, number, name.c_str(), dir_.c_str(), (dir_ + "/attach").c_str());
  }
  // Every file of the attachment directory, by name.
  std::map<std::string, std::string> Attachments() {
    std::map<std::string, std::string> files;
    for (auto &e : fs::directory_iterator(dir_ + "/attach")) files[e.path().filename().string()] = slurp(e.path().string());
    return files;
  }
  std::string dir_;
};

TEST_F(ImapE2E, TheSameMessagesGiveTheSameFilesAsOverPop3) {
  const std::string a = random_bytes(90000, 21), b = random_bytes(77, 22);
  spit(dir_ + "/gamma.bin", a);
  spit(dir_ + "/delta.dat", b);
  Send("ours", dir_ + "/gamma.bin," + dir_ + "/delta.dat");
  SendForeign();
  ASSERT_EQ(wait_for_mail(User, 2).size(), 2u);

  // POP3 first (it leaves the messages on the server), then IMAP into the
  // same attachment directory, so the notes in the email files name the same paths.
  kelIntegerParam(0, KEL_POP3_PORT, ms().pop3_port);
  ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", User, Password), 0) << Log();
  ASSERT_EQ(kelGetEmailCount(0), 2);
  std::vector<std::string> pop(2);
  std::vector<std::map<std::string, std::string>> popFiles(2);
  for (int n = 1; n <= 2; n++) {
    ASSERT_EQ(GetFile(n, "pop-" + std::to_string(n) + ".eml"), 0) << Log();
    pop[n - 1] = slurp(dir_ + "/pop-" + std::to_string(n) + ".eml");
    popFiles[n - 1] = Attachments();
    fs::remove_all(dir_ + "/attach");
    fs::create_directories(dir_ + "/attach");
  }
  EXPECT_EQ(kelClose(0), 0);

  ImapLogin();
  ASSERT_EQ(kelGetEmailCount(0), 2);
  for (int n = 1; n <= 2; n++) {
    const int rc = GetFile(n, "imap-" + std::to_string(n) + ".eml");
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_TRUE(slurp(dir_ + "/imap-" + std::to_string(n) + ".eml") == pop[n - 1]) << n;
    EXPECT_TRUE(Attachments() == popFiles[n - 1]) << n;
    EXPECT_GT(kelGetEmailSize(0, n), 0);
    fs::remove_all(dir_ + "/attach");
    fs::create_directories(dir_ + "/attach");
  }
  EXPECT_EQ(popFiles[0]["gamma.bin"], a);
  EXPECT_EQ(popFiles[0]["delta.dat"], b);
  EXPECT_EQ(popFiles[1].size(), 2u);
  char buffer[4096] = {};
  const int used = kelGetEmailLines(0, 1, 0, buffer, sizeof buffer - 1);
  ASSERT_GT(used, 0);
  EXPECT_NE(std::string(buffer).find("Subject: ours\r\n"), std::string::npos) << buffer;
  EXPECT_EQ(std::string(buffer).find("body text"), std::string::npos) << buffer;
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(ImapE2E, UnseenMarkSeenDeleteAndExpunge) {
  for (const char *s : {"one", "two", "three"}) Send(s);
  ASSERT_EQ(wait_for_mail(User, 3).size(), 3u);
  ImapLogin("INBOX", "UNSEEN");
  ASSERT_EQ(kelGetEmailCount(0), 3);
  char uid1[128], uid3[128];
  ASSERT_GT(kelGetEmailUID(0, 1, uid1, sizeof uid1), 2);
  ASSERT_GT(kelGetEmailUID(0, 3, uid3, sizeof uid3), 2);
  // Fetched without KEL_IMAP_MARK_SEEN: still unseen.
  ASSERT_EQ(GetFile(1, "peek.eml"), 0) << Log();
  EXPECT_EQ(kelClose(0), 0);
  ImapLogin("INBOX", "UNSEEN");
  EXPECT_EQ(kelGetEmailCount(0), 3);
  kelIntegerParam(0, KEL_IMAP_MARK_SEEN, 1);
  ASSERT_EQ(GetFile(1, "seen.eml"), 0) << Log();
  EXPECT_EQ(slurp(dir_ + "/seen.eml"), slurp(dir_ + "/peek.eml"));
  kelIntegerParam(0, KEL_IMAP_MARK_SEEN, 0);
  EXPECT_EQ(kelDeleteEmail(0, 2), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_NE(Log().find(" UID EXPUNGE "), std::string::npos);
  ImapLogin("INBOX", "UNSEEN");
  EXPECT_EQ(kelGetEmailCount(0), 1);  // three lost one to \Seen and one to the expunge
  char uid[128];
  ASSERT_GT(kelGetEmailUID(0, 1, uid, sizeof uid), 2);
  EXPECT_STREQ(uid, uid3);  // the same UIDVALIDITY.UID across sessions
  EXPECT_EQ(kelClose(0), 0);
  ImapLogin();
  EXPECT_EQ(kelGetEmailCount(0), 2);
  ASSERT_GT(kelGetEmailUID(0, 1, uid, sizeof uid), 2);
  EXPECT_STREQ(uid, uid1);
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(ImapE2E, FolderWithANonAsciiName) {
  Send("to file away");
  ASSERT_EQ(wait_for_mail(User, 1).size(), 1u);
  ImapLogin();
  ASSERT_EQ(kelGetEmailCount(0), 1);
  ASSERT_EQ(kelCommand(0, "CREATE \"&AMQ-rger\""), 0) << Log();
  char uid[128];
  ASSERT_GT(kelGetEmailUID(0, 1, uid, sizeof uid), 2);
  const std::string copy = std::string("UID COPY ") + (strchr(uid, '.') + 1) + " \"&AMQ-rger\"";
  ASSERT_EQ(kelCommand(0, copy.c_str()), 0) << Log();
  char folders[2048];
  ASSERT_GT(kelDebug(0, KEL_DEBUG_IMAP_FOLDERS, folders, sizeof folders), 0) << Log();
  EXPECT_NE(std::string(folders).find("\xc3\x84rger\t"), std::string::npos) << folders;
  EXPECT_NE(std::string(folders).find("INBOX\t"), std::string::npos) << folders;
  EXPECT_EQ(kelClose(0), 0);
  ImapLogin("\xc3\x84rger");  // "Ärger" in UTF-8
  EXPECT_NE(Log().find("SELECT \"&AMQ-rger\""), std::string::npos);
  ASSERT_EQ(kelGetEmailCount(0), 1);
  ASSERT_EQ(GetFile(1, "folder.eml"), 0) << Log();
  EXPECT_NE(slurp(dir_ + "/folder.eml").find("Subject: to file away"), std::string::npos);
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(ImapE2E, LoginsOverTlsAndWithABearerToken) {
  Send("secure");
  ASSERT_EQ(wait_for_mail(User, 1).size(), 1u);
  const std::string ca = env_or("MAILSTACK_CA_FILE", ms().dir + "/tls/ca.pem");
  kelStringParam(0, KEL_TLS_CA_FILE, ca.c_str());
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_REQUIRED);
  ImapLogin();
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  EXPECT_EQ(kelGetEmailCount(0), 1);
  EXPECT_EQ(kelClose(0), 0);
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_IMPLICIT);
  kelIntegerParam(0, KEL_IMAP_PORT, imaps_port());
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", User, Password), 0) << Log();
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  ASSERT_EQ(GetFile(1, "tls.eml"), 0) << Log();
  EXPECT_EQ(kelClose(0), 0);
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_OFF);
  kelStringParam(0, KEL_OAUTH_TOKEN, token_of(User).c_str());
  kelIntegerParam(0, KEL_IMAP_PORT, imap_port());
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", User, ""), 0) << Log();
  char name[32];
  kelDebug(0, KEL_DEBUG_AUTH_MECHANISM, name, sizeof name);
  EXPECT_STREQ(name, "XOAUTH2");
  EXPECT_EQ(kelGetEmailCount(0), 1);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(Log().find(token_of(User).substr(0, 20)), std::string::npos);
  kelStringParam(0, KEL_OAUTH_TOKEN, "");
  const int rc = kelImapConnect(0, "127.0.0.1", User, "wrong");
  EXPECT_EQ(rc, -60) << error_text(rc);
}

TEST_F(ImapE2E, IdleSeesAMessageDeliveredByPostfixDuringTheWait) {
  Send("first");
  ASSERT_EQ(wait_for_mail(User, 1).size(), 1u);
  ImapLogin();
  ASSERT_EQ(kelGetEmailCount(0), 1);
  const std::string file = dir_ + "/late.eml";
  spit(file, "From: late@example.test\r\nTo: imapuser@example.test\r\nSubject: late\r\n\r\narrived while idle\r\n");
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run_process({"curl", "-sS", "smtp://127.0.0.1:" + std::to_string(ms().smtp_port), "--mail-from",
                 "late@example.test", "--mail-rcpt", "imapuser@example.test", "-T", file});
  });
  const int rc = kelCommand(0, "IDLE 20");
  later.join();
  ASSERT_EQ(rc, 2) << error_text(rc) << "\n" << Log();
  EXPECT_NE(Log().find("S: DONE\r\n"), std::string::npos);
  ASSERT_EQ(GetFile(2, "late.eml"), 0) << Log();
  EXPECT_NE(slurp(dir_ + "/late.eml").find("arrived while idle"), std::string::npos);
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(ImapE2E, OneHundredTwentyEightSessionsOnOneThreadWithKelWait) {
  Send("for everyone");
  ASSERT_EQ(wait_for_mail(User, 1).size(), 1u);
  kelRelease();
  constexpr int N = 128;
  ASSERT_EQ(kelAttach(N, 0), 1);
  unsigned list[N];
  int ready[N];
  for (int c = 0; c < N; c++) {
    kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0);
    kelIntegerParam(c, KEL_STEP_DELAY, 2);
    kelIntegerParam(c, KEL_IMAP_PORT, imap_port());
    list[c] = static_cast<unsigned>(c);
  }
  // Drives every listed channel until each has ended its operation; the
  // results by channel.
  auto drive = [&](std::vector<int> &results) {
    unsigned live[N];
    int count = N;
    std::copy(list, list + N, live);
    results.assign(N, 1);
    for (int guard = 0; guard < 200000 && count > 0; guard++) {
      if (kelWait(live, count, 1000, ready) <= 0) continue;
      for (int i = 0; i < count; i++) {
        if (!ready[i]) continue;
        const int rc = kelDriver(live[i]);
        if (rc > 0) continue;
        results[live[i]] = rc;
        live[i] = live[--count];
        ready[i] = ready[count];
        i--;
      }
    }
  };
  std::vector<int> results;
  for (int c = 0; c < N; c++) ASSERT_EQ(kelImapConnect(c, "127.0.0.1", User, Password), 0);
  drive(results);
  for (int c = 0; c < N; c++) ASSERT_EQ(results[c], 0) << c << ": " << error_text(results[c]);
  for (int c = 0; c < N; c++) {
    const std::string name = "m" + std::to_string(c) + ".eml";
    ASSERT_EQ(kelGetEmailFile(c, 1, name.c_str(), dir_.c_str(), (dir_ + "/attach").c_str()), 0);
  }
  drive(results);
  for (int c = 0; c < N; c++) {
    EXPECT_EQ(results[c], 0) << c;
    EXPECT_EQ(slurp(dir_ + "/m" + std::to_string(c) + ".eml"), slurp(dir_ + "/m0.eml")) << c;
  }
  for (int c = 0; c < N; c++) kelClose(c);
  drive(results);
  for (int c = 0; c < N; c++) EXPECT_EQ(results[c], 0) << c;
  EXPECT_NE(slurp(dir_ + "/m0.eml").find("Subject: for everyone"), std::string::npos);
}

}  // namespace
}  // namespace kel::e2e
