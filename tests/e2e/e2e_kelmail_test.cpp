// The kelmail program against the real servers: send (plain, CRAM-MD5,
// LOGIN), verify, list (USER/PASS, APOP), fetch (decoded, raw, all with
// delete, only new mail into Maildir and mbox, also killed at random
// points), delete and the sendmail mode, checking exit codes, output and
// the saved files; over IMAP list, fetch (also only new mail, and an UNSEEN
// search marking what it fetched seen), delete, folders; serverinfo for
// POP3 and IMAP.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

class KelmailE2E : public MailstackTest {
 protected:
  void SetUp() override {
    MailstackTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    empty_mailbox("kmdave");
    std::error_code ec;
    fs::remove_all(maildir("kmdave") / ".&AMQ-rger", ec);  // the folder of the last run
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
  static int ImapPort() { return env_int_or("MAILSTACK_IMAP_PORT", 1143); }
  static int ImapsPort() { return env_int_or("MAILSTACK_IMAPS_PORT", 1993); }
  std::string Imap() const { return "127.0.0.1:" + std::to_string(ImapPort()); }
  // kelmail COMMAND over IMAP as kmdave, then more arguments.
  ProcessResult KelmailImap(const std::string &command, const std::vector<std::string> &more) {
    std::vector<std::string> args = {command, "--server", "imap://kmdave@" + Imap()};
    args.insert(args.end(), more.begin(), more.end());
    return Kelmail(args, "kmdave-pass");
  }
  void SendTo(const std::string &subject, const std::string &body = "body\r\n") {
    ProcessResult r = Kelmail({"send", "--server", Smtp(ms().smtp_port), "--from", "kmcarol@example.test", "--to",
                               "kmdave@example.test", "--subject", subject, "--body", body});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
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

// fetch --new over several runs with mail arriving between them, into a
// Maildir and an mbox file that Python's mailbox module then reads back.
TEST_F(KelmailE2E, FetchNewAcrossRunsIntoMaildirAndMbox) {
  auto send = [&](const std::string &subject, const std::string &body) {
    ProcessResult r = Kelmail({"send", "--server", Smtp(ms().smtp_port), "--from", "kmcarol@example.test", "--to",
                               "kmdave@example.test", "--subject", subject, "--body", body});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  };
  const std::string maildirPath = dir_ + "/Maildir", mboxPath = dir_ + "/inbox.mbox";
  auto fetch = [&](const std::vector<std::string> &target, const std::string &state) {
    std::vector<std::string> args = {"fetch", "--server", Pop3(), "--user", "kmdave", "--new", "--state", state};
    args.insert(args.end(), target.begin(), target.end());
    return Kelmail(args, "kmdave-pass");
  };
  send("first", "From the start of a line\r\n.a leading dot\r\n..\r\nend\r\n");
  send("second", "two\r\n");
  ASSERT_EQ(wait_for_mail("kmdave", 2).size(), 2u);
  ProcessResult r = fetch({"--maildir", maildirPath}, dir_ + "/maildir.state");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "2 new message(s) fetched")) << r.output;
  r = fetch({"--maildir", maildirPath}, dir_ + "/maildir.state");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "no new messages (2 on the server)")) << r.output;
  send("third", "three\r\n");
  ASSERT_EQ(wait_for_mail("kmdave", 3).size(), 3u);
  r = fetch({"--maildir", maildirPath}, dir_ + "/maildir.state");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "1 new message(s) fetched")) << r.output;
  // The mbox, with deletion: the mailbox is empty afterwards.
  r = fetch({"--mbox", mboxPath, "--delete"}, dir_ + "/mbox.state");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "3 new message(s) fetched")) << r.output;
  r = Kelmail({"list", "--server", Pop3(), "--user", "kmdave", "--json"}, "kmdave-pass");
  EXPECT_TRUE(Has(r.output, "\"count\": 0")) << r.output;

  const std::string script =
      "import mailbox, sys\n"
      "for kind, box in (('maildir', mailbox.Maildir(sys.argv[1], create=False)), ('mbox', mailbox.mbox(sys.argv[2]))):\n"
      "    for m in sorted(box, key=lambda m: m['Subject']):\n"
      "        print(kind, m['Subject'], repr(m.get_payload()))\n";
  r = run_process({"python3", "-c", script, maildirPath, mboxPath}, std::chrono::seconds(60));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  for (const char *kind : {"maildir", "mbox"}) {
    for (const char *subject : {"first", "second", "third"}) {
      const std::string line = std::string(kind) + " " + subject + " ";
      size_t at = r.output.find(line);
      EXPECT_NE(at, std::string::npos) << r.output;
      EXPECT_EQ(r.output.find(line, at + 1), std::string::npos) << "twice: " << line << "\n" << r.output;
    }
  }
  // Dots unstuffed; the mbox's "From " line quoted (mboxrd), the Maildir's as sent.
  EXPECT_TRUE(Has(r.output, "maildir first 'From the start of a line\\n.a leading dot\\n..\\nend\\n")) << r.output;
  EXPECT_TRUE(Has(r.output, "mbox first '>From the start of a line\\n.a leading dot\\n..\\nend\\n")) << r.output;
  EXPECT_TRUE(Has(r.output, "maildir third 'three\\n")) << r.output;
}

// fetch --new killed with SIGKILL at random points, then run to the end:
// every message is in the Maildir and the mbox (as Python reads them) at
// least once, at most once more per kill, and none is torn.
TEST_F(KelmailE2E, FetchNewKilledAtRandomPoints) {
  const int total = 5;
  for (int i = 1; i <= total; ++i) {
    std::string body;
    for (int line = 0; line < 300; ++line) body += "message " + std::to_string(i) + " line " + std::to_string(line) + "\r\n";
    ProcessResult r = Kelmail({"send", "--server", Smtp(ms().smtp_port), "--from", "kmcarol@example.test", "--to",
                               "kmdave@example.test", "--subject", "m" + std::to_string(i), "--body", body});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  ASSERT_EQ(wait_for_mail("kmdave", total).size(), static_cast<size_t>(total));
  // How long a whole run takes here: the kills fall anywhere within it.
  const auto started = std::chrono::steady_clock::now();
  ProcessResult timing = Kelmail({"fetch", "--server", Pop3(), "--user", "kmdave", "--new", "--state",
                                  dir_ + "/timing.state", "--mda", "cat >/dev/null"},
                                 "kmdave-pass");
  ASSERT_EQ(timing.exit_code, 0) << timing.output;
  const long runMs = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
  std::mt19937 random(2026);
  for (const char *target : {"--maildir", "--mbox"}) {
    const std::string where = dir_ + (std::string(target) == "--maildir" ? "/KilledMaildir" : "/killed.mbox");
    const std::vector<std::string> args = {KELMAIL_PATH, "fetch", "--server", Pop3(), "--user", "kmdave", "--new",
                                           "--state", where + ".state", target, where};
    int kills = 0;
    for (int round = 0; round < 8; ++round) {
      pid_t pid = fork();
      if (pid == 0) {
        setenv("KELMAIL_PASSWORD", "kmdave-pass", 1);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (FILE *null = freopen("/dev/null", "w", stdout)) (void)null;
        execv(argv[0], argv.data());
        _exit(127);
      }
      ASSERT_GT(pid, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % static_cast<unsigned long>(runMs + 1)));
      kill(pid, SIGKILL);
      int status = 0;
      waitpid(pid, &status, 0);
      if (WIFSIGNALED(status)) ++kills;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    ProcessResult r = Kelmail(rest, "kmdave-pass");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string script =
        "import mailbox, sys\n"
        "box = mailbox.Maildir(sys.argv[1], create=False) if sys.argv[2] == '--maildir' else mailbox.mbox(sys.argv[1])\n"
        "for m in box:\n"
        "    body = m.get_payload()\n"
        "    n = m['Subject'][1:]\n"
        "    whole = body.rstrip('\\n') == '\\n'.join('message %s line %d' % (n, i) for i in range(300))\n"
        "    print('message', n, 'whole' if whole else 'TORN')\n";
    r = run_process({"python3", "-c", script, where, target}, std::chrono::seconds(60));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_FALSE(Has(r.output, "TORN")) << target << "\n" << r.output;
    int extra = 0;
    for (int i = 1; i <= total; ++i) {
      const std::string line = "message " + std::to_string(i) + " whole\n";
      int copies = 0;
      for (size_t at = r.output.find(line); at != std::string::npos; at = r.output.find(line, at + 1)) ++copies;
      EXPECT_GE(copies, 1) << target << ": message " << i << " lost\n" << r.output;
      extra += copies > 1 ? copies - 1 : 0;
    }
    EXPECT_LE(extra, kills) << target << "\n" << r.output;
  }
}

// Over IMAP: list, the same decoded file as over POP3, fetch --new across
// runs with mail arriving between them, an UNSEEN search with --mark-seen
// (the next run finds nothing), delete with expunge.
TEST_F(KelmailE2E, ImapListFetchNewSearchMarkSeenAndDelete) {
  const std::string report = random_bytes(20000, 8);
  spit(dir_ + "/report.bin", report);
  ProcessResult r = Kelmail({"send", "--server", Smtp(ms().smtp_port), "--from", "kmcarol@example.test", "--to",
                             "kmdave@example.test", "--subject", "first", "--body", "one", "--attach",
                             dir_ + "/report.bin"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  SendTo("second");
  ASSERT_EQ(wait_for_mail("kmdave", 2).size(), 2u);

  r = KelmailImap("list", {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, Imap() + " INBOX: 2 message(s)")) << r.output;
  r = KelmailImap("list", {"--json"});
  EXPECT_TRUE(Has(r.output, "\"mailbox\": \"INBOX\", \"search\": \"ALL\", \"count\": 2")) << r.output;

  // The same message over POP3 and over IMAP: the same email file, the same attachment.
  for (const char *sub : {"pop", "imap"}) fs::create_directories(dir_ + "/" + sub);
  r = Kelmail({"fetch", "--server", Pop3(), "--user", "kmdave", "1", "--dir", dir_ + "/pop"}, "kmdave-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  r = KelmailImap("fetch", {"1", "--dir", dir_ + "/imap"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(slurp(dir_ + "/imap/report.bin"), report);
  // The notes name the attachment's path, which differs by directory.
  auto note = [&](const std::string &sub) {
    std::string text = slurp(dir_ + "/" + sub + "/message-1.eml");
    const std::string path = dir_ + "/" + sub + "/";
    for (size_t at; (at = text.find(path)) != std::string::npos;) text.replace(at, path.size(), "DIR/");
    return text;
  };
  EXPECT_TRUE(Has(note("imap"), "[Attachment saved to \"DIR/report.bin\"]")) << note("imap");
  EXPECT_EQ(note("pop"), note("imap"));

  // --new: two, then none, then the one that arrived in between.
  const std::vector<std::string> fresh = {"--new", "--state", dir_ + "/imap.state", "--maildir", dir_ + "/Maildir"};
  r = KelmailImap("fetch", fresh);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "INBOX: 2 new message(s) fetched")) << r.output;
  r = KelmailImap("fetch", fresh);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "no new messages (2 on the server)")) << r.output;
  SendTo("third");
  ASSERT_EQ(wait_for_mail("kmdave", 3).size(), 3u);
  r = KelmailImap("fetch", fresh);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "INBOX: 1 new message(s) fetched")) << r.output;
  const std::string state = slurp(dir_ + "/imap.state");
  EXPECT_EQ(std::count(state.begin(), state.end(), '.'), 3) << state;  // three UIDVALIDITY.UID lines
  size_t delivered = 0;
  for (auto &e : fs::directory_iterator(dir_ + "/Maildir/new")) delivered += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(delivered, 3u);

  // Only the POP3 retrieval marked a message seen (Dovecot's RETR does);
  // the IMAP fetches peeked. UNSEEN with --mark-seen: one decoded (the
  // library fetches BODY[]), the other into an mbox (flagged once
  // delivered); then the search finds nothing.
  r = KelmailImap("list", {"--search", "UNSEEN"});
  EXPECT_TRUE(Has(r.output, "INBOX (UNSEEN): 2 message(s)")) << r.output;
  fs::create_directories(dir_ + "/seen");
  r = KelmailImap("fetch", {"--search", "UNSEEN", "--mark-seen", "1", "--dir", dir_ + "/seen"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(slurp(dir_ + "/seen/message-1.eml"), "Subject: second")) << r.output;
  r = KelmailImap("list", {"--search", "UNSEEN"});
  EXPECT_TRUE(Has(r.output, "INBOX (UNSEEN): 1 message(s)")) << r.output;
  r = KelmailImap("fetch", {"--search", "UNSEEN", "--mark-seen", "--all", "--mbox", dir_ + "/seen.mbox"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(slurp(dir_ + "/seen.mbox"), "Subject: third")) << r.output;
  r = KelmailImap("fetch", {"--search", "UNSEEN", "--mark-seen", "--all", "--dir", dir_ + "/seen"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "INBOX (UNSEEN): no messages")) << r.output;
  r = KelmailImap("list", {});
  EXPECT_TRUE(Has(r.output, "INBOX: 3 message(s)")) << r.output;  // seen, not gone

  // delete: flagged and expunged; Dovecot's Maildir holds two afterwards.
  r = KelmailImap("delete", {"1"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "1 message(s) deleted, 2 left")) << r.output;
  r = KelmailImap("list", {});
  EXPECT_TRUE(Has(r.output, "INBOX: 2 message(s)")) << r.output;
  EXPECT_EQ(mailbox_files("kmdave").size(), 2u);
  r = KelmailImap("delete", {"5"});
  EXPECT_EQ(r.exit_code, 66) << r.output;
  r = KelmailImap("list", {"--password", "wrong"});
  EXPECT_EQ(r.exit_code, 77) << r.output;
  r = KelmailImap("list", {"--mailbox", "Nowhere"});
  EXPECT_EQ(r.exit_code, 66) << r.output;
}

// folders shows a folder with a non-ASCII name in UTF-8, and list reads it
// by that name; serverinfo shows the CAPA lines and the IMAP capabilities.
TEST_F(KelmailE2E, ImapFoldersAndServerInfo) {
  SendTo("to file away");
  ASSERT_EQ(wait_for_mail("kmdave", 1).size(), 1u);
  // The folder, made and filled through the library.
  ASSERT_EQ(kelAttach(1, 0), 1);
  kelIntegerParam(0, KEL_IMAP_PORT, ImapPort());
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "kmdave", "kmdave-pass"), 0);
  EXPECT_EQ(kelCommand(0, "CREATE \"&AMQ-rger\""), 0);
  char uid[128];
  ASSERT_GT(kelGetEmailUID(0, 1, uid, sizeof uid), 2);
  EXPECT_EQ(kelCommand(0, (std::string("UID COPY ") + (strchr(uid, '.') + 1) + " \"&AMQ-rger\"").c_str()), 0);
  EXPECT_EQ(kelClose(0), 0);
  kelRelease();

  ProcessResult r = KelmailImap("folders", {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "\n\xc3\x84rger\t") || r.output.rfind("\xc3\x84rger\t", 0) == 0) << r.output;
  EXPECT_TRUE(Has(r.output, "INBOX\t")) << r.output;
  r = KelmailImap("list", {"--mailbox", "\xc3\x84rger"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "\xc3\x84rger: 1 message(s)")) << r.output;

  r = Kelmail({"serverinfo", "--pop3", "--server", Pop3(), "--user", "kmdave"}, "kmdave-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "POP3 server " + Pop3() + "\ncapabilities:\n")) << r.output;
  EXPECT_TRUE(Has(r.output, "\n  UIDL\n")) << r.output;
  EXPECT_TRUE(Has(r.output, "\n  SASL ")) << r.output;
  EXPECT_TRUE(Has(r.output, "login:       USER/PASS as kmdave\n")) << r.output;
  r = KelmailImap("serverinfo", {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "IMAP server " + Imap() + "\ncapabilities:\n  IMAP4rev1\n")) << r.output;
  EXPECT_TRUE(Has(r.output, "login:       LOGIN as kmdave\n")) << r.output;
  // Over implicit TLS: the session and the certificate.
  const std::string ca = env_or("MAILSTACK_CA_FILE", ms().dir + "/tls/ca.pem");
  r = Kelmail({"serverinfo", "--server", "imaps://kmdave@127.0.0.1:" + std::to_string(ImapsPort()), "--cacert", ca},
              "kmdave-pass");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "TLS:         TLSv1.")) << r.output;
  EXPECT_TRUE(Has(r.output, "certificate:")) << r.output;
  EXPECT_TRUE(Has(r.output, ca)) << r.output;
}

// The sendmail mode through Postfix: the message arrives once, Bcc gone.
// It needs the library's KEL_RAW_SUBMIT and is skipped while the library
// refuses it.
TEST_F(KelmailE2E, SendmailModeThroughPostfix) {
  const std::string config = dir_ + "/config";
  spit(config, "account default\nhost 127.0.0.1\nport " + std::to_string(ms().smtp_port) +
                   "\nfrom kmcarol@example.test\n");
  const std::string message = dir_ + "/message.txt";
  spit(message, "To: kmdave@example.test\nBcc: kmcarol@example.test\nSubject: from a script\n\nhello\n");
  empty_mailbox("kmcarol");
  ProcessResult r = run_process({"sh", "-c", std::string("\"$0\" sendmail -t --config \"$1\" < \"$2\""), KELMAIL_PATH,
                                 config, message},
                                std::chrono::seconds(60));
  if (r.exit_code == 69 && Has(r.output, "KEL_RAW_SUBMIT")) GTEST_SKIP() << "the library does not offer KEL_RAW_SUBMIT yet";
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::vector<std::string> files = wait_for_mail("kmdave", 1);
  for (const std::string &f : wait_for_mail("kmcarol", 1)) files.push_back(f);
  ASSERT_EQ(files.size(), 2u);  // once to the To address, once to the Bcc one
  for (const std::string &f : files) {
    std::string text = slurp(f);
    EXPECT_TRUE(Has(text, "Subject: from a script")) << text;
    EXPECT_FALSE(Has(text, "Bcc:")) << text;
    EXPECT_TRUE(Has(text, "Message-ID: <")) << text;
  }
}

}  // namespace
}  // namespace kel::e2e
