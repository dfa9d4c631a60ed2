// Mail programs written elsewhere, with kelmail in the middle: bsd-mailx's
// mail and git send-email hand their messages to kelmail as their sendmail,
// Postfix delivers them, and Dovecot reads back both the delivered mail and
// what kelmail fetched into a Maildir and an mbox file.
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The header of a delivered message (Postfix's virtual delivery writes LF line ends).
std::string HeaderOf(const std::string &message) {
  size_t end = message.find("\n\n");
  return "\n" + message.substr(0, end == std::string::npos ? message.size() : end + 1);
}

class MailPrograms : public MailstackTest {
 protected:
  void SetUp() override {
    MailstackTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    dir_ = scratch(std::string("programs-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ + "/xdg/kelmail");
    // Accounts as a user writes them: the password from a command, none on a command line.
    const std::string config = dir_ + "/xdg/kelmail/config";
    spit(config, "defaults\n"
                 "host " + ms().host + "\n"
                 "port " + std::to_string(ms().submission_port) + "\n"
                 "pop3_port " + std::to_string(ms().pop3_port) + "\n"
                 "\n"
                 "account mp\n"
                 "user " + ms().address("mpsend") + "\n"
                 "passwordeval \"echo " + password_of("mpsend") + "\"\n"
                 "from " + ms().address("mpsend") + "\n"
                 "\n"
                 "account fetcher\n"
                 "user mpfetch\n"
                 "passwordeval \"echo " + password_of("mpfetch") + "\"\n"
                 "\n"
                 "account default : mp\n");
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  }

  // A program run as the user whose home is the scratch directory; input on its standard input.
  ProcessResult Run(const std::vector<std::string> &command, const std::string &input = "") {
    const std::string in = dir_ + "/stdin";
    spit(in, input);
    std::vector<std::string> argv = {"sh", "-c", "f=$1; shift; exec \"$@\" <\"$f\"", "sh", in,
                                     "env", "-u", "KELMAIL_PASSWORD", "-u", "KELMAIL_TOKEN",
                                     "HOME=" + dir_, "XDG_CONFIG_HOME=" + dir_ + "/xdg", "MAILRC=" + dir_ + "/mailrc",
                                     "GIT_CONFIG_NOSYSTEM=1", "LC_ALL=C.UTF-8"};
    argv.insert(argv.end(), command.begin(), command.end());
    return run_process(argv, std::chrono::seconds(60));
  }

  // Why a program this test needs is not there (the test bed installs it), or "".
  static std::string Missing(const std::vector<std::string> &probe, const std::string &what) {
    if (run_process(probe).exit_code == 0) return "";
    return what + " is not installed (tests/e2e/mailstack.sh install brings it)";
  }

  // What Dovecot itself reads from a user's INBOX, or from another mail
  // location for that user: one "Message-ID<TAB>Subject" line per message, sorted.
  std::vector<std::string> DovecotReads(const std::string &user, const std::string &location = "",
                                        const std::string &fields = "hdr.message-id hdr.subject") {
    std::vector<std::string> argv = {"doveadm", "-c", ms().dir + "/etc/dovecot/dovecot.conf"};
    if (!location.empty()) argv.insert(argv.end(), {"-o", "mail_location=" + location});
    argv.insert(argv.end(), {"-f", "tab", "fetch", "-u", ms().address(user), fields, "mailbox", "INBOX", "all"});
    ProcessResult r = run_process(argv);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_FALSE(Has(r.output, "Error:")) << r.output;
    std::vector<std::string> rows;
    std::istringstream in(r.output);
    std::string line;
    bool head = true;
    while (std::getline(in, line)) {
      if (head) {
        head = false;  // the field names
        continue;
      }
      if (!line.empty()) rows.push_back(line);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // Each user got the message exactly once, by Dovecot's reading and on
  // disk, with no Bcc line in its header; the delivered texts.
  std::vector<std::string> DeliveredOnce(const std::vector<std::string> &users, const std::string &subject) {
    std::vector<std::string> texts;
    for (const std::string &user : users) {
      std::vector<std::string> files = wait_for_mail(user, 1);
      // A second copy would follow within moments: give it the time.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      files = mailbox_files(user);
      EXPECT_EQ(files.size(), 1u) << user;
      std::vector<std::string> rows = DovecotReads(user);
      EXPECT_EQ(rows.size(), 1u) << user;
      for (const std::string &row : rows) EXPECT_TRUE(Has(row, "\t" + subject)) << user << ": " << row;
      for (const std::string &f : files) {
        texts.push_back(slurp(f));
        std::string header = HeaderOf(texts.back());
        std::transform(header.begin(), header.end(), header.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_FALSE(Has(header, "\nbcc:")) << user << ":\n" << texts.back();
      }
    }
    // One message: the same Message-ID everywhere.
    std::vector<std::string> ids;
    for (const std::string &user : users)
      for (const std::string &row : DovecotReads(user)) ids.push_back(row.substr(0, row.find('\t')));
    for (const std::string &id : ids) EXPECT_EQ(id, ids.front());
    return texts;
  }

  std::string dir_;
};

// bsd-mailx with `set sendmail=` pointing at kelmail, started under the
// name sendmail (by a wrapper that keeps a copy of what mail handed over).
TEST_F(MailPrograms, BsdMailxSendsThroughKelmail) {
  if (const std::string why = Missing({"test", "-x", "/usr/bin/bsd-mailx"}, "bsd-mailx"); !why.empty()) {
    if (e2e_required()) FAIL() << why;
    GTEST_SKIP() << why;
  }
  for (const char *user : {"mxto", "mxcc", "mxbcc"}) empty_mailbox(user);
  const std::string bin = dir_ + "/bin";
  fs::create_directories(bin);
  spit(bin + "/sendmail", "#!/bin/bash\n"
                          "tee '" + dir_ + "/handed-over' | ( exec -a sendmail '" KELMAIL_PATH "' \"$@\" ) 2>>'" +
                              dir_ + "/sendmail.err'\n"
                              "rc=$?\n"
                              "printf '%s\\n' \"$rc $*\" >>'" + dir_ + "/sendmail.calls'\n"
                              "exit $rc\n");
  fs::permissions(bin + "/sendmail", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
  spit(dir_ + "/mailrc", "set sendmail=" + bin + "/sendmail\n");
  const std::string body = "Hello from mail.\nFrom the start of a line\n.a leading dot\n";
  ProcessResult r = Run({"bsd-mailx", "-n", "-s", "from mailx", "-r", ms().address("mpsend"), "-c",
                         ms().address("mxcc"), "-b", ms().address("mxbcc"), ms().address("mxto")},
                        body);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // mail need not wait for its sendmail.
  std::string calls;
  for (int i = 0; i < 1500 && (calls = slurp(dir_ + "/sendmail.calls")).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(calls.rfind("0 ", 0), 0u) << calls << slurp(dir_ + "/sendmail.err");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 1) << calls;
  // mail leaves the Bcc line in the message and asks for -t: kelmail takes
  // the envelope from the header and removes it.
  const std::string handed = slurp(dir_ + "/handed-over");
  EXPECT_TRUE(Has(calls, "-t")) << calls;
  EXPECT_TRUE(Has(handed, "Bcc: " + ms().address("mxbcc"))) << handed;

  for (const std::string &text : DeliveredOnce({"mxto", "mxcc", "mxbcc"}, "from mailx")) {
    EXPECT_TRUE(Has(text, "Return-Path: <" + ms().address("mpsend") + ">")) << text;
    EXPECT_TRUE(Has(text, "\n\n" + body)) << text;
    EXPECT_TRUE(Has(text, "Message-ID: <")) << text;  // mail writes none: kelmail adds it
  }
  EXPECT_FALSE(fs::exists(dir_ + "/dead.letter")) << slurp(dir_ + "/dead.letter");
}

// git send-email with --sendmail-cmd="kelmail sendmail -a ACCOUNT"; the
// delivered patch then applies with git am to the same tree.
TEST_F(MailPrograms, GitSendEmailSendsThroughKelmail) {
  const std::string why = Missing({"git", "send-email", "--dump-aliases"}, "git send-email (git-email, libmailtools-perl)");
  if (!why.empty()) {
    if (e2e_required()) FAIL() << why;
    GTEST_SKIP() << why;
  }
  for (const char *user : {"gsto", "gscc", "gsbcc"}) empty_mailbox(user);
  spit(dir_ + "/.gitconfig", "[user]\n\tname = Patch Sender\n\temail = " + ms().address("mpsend") + "\n");
  const std::string repo = dir_ + "/repo";
  ProcessResult r = Run({"sh", "-c",
                         "set -e; git init -q \"$1\"; cd \"$1\"; echo base >README; git add README;"
                         " git commit -q -m base; printf 'hello\\n.\\nFrom here\\n' >greeting; git add greeting;"
                         " git commit -q -m 'add greeting'; git format-patch -q -1 -o ../patches",
                         "sh", repo});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string patch;
  for (auto &e : fs::directory_iterator(dir_ + "/patches")) patch = e.path().string();
  ASSERT_FALSE(patch.empty());
  r = Run({"git", "-C", repo, "send-email", std::string("--sendmail-cmd=") + KELMAIL_PATH + " sendmail -a mp",
           "--from", "Patch Sender <" + ms().address("mpsend") + ">", "--to", ms().address("gsto"), "--cc",
           ms().address("gscc"), "--bcc", ms().address("gsbcc"), "--confirm=never", "--suppress-cc=all", patch});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "Result: OK")) << r.output;

  const std::vector<std::string> texts = DeliveredOnce({"gsto", "gscc", "gsbcc"}, "[PATCH] add greeting");
  for (const std::string &text : texts) {
    EXPECT_TRUE(Has(text, "Return-Path: <" + ms().address("mpsend") + ">")) << text;
    EXPECT_TRUE(Has(text, "X-Mailer: git-send-email")) << text;
  }
  ASSERT_FALSE(texts.empty());
  // The patch came through whole: applied to the commit before it, it gives the same tree.
  spit(dir_ + "/delivered.eml", texts.front());
  r = Run({"sh", "-c",
           "set -e; git clone -q \"$1\" \"$2\"; cd \"$2\"; git reset -q --hard HEAD~1; git am -q \"$3\";"
           " test \"$(git rev-parse HEAD^{tree})\" = \"$(git -C \"$1\" rev-parse HEAD^{tree})\"",
           "sh", repo, dir_ + "/applied", dir_ + "/delivered.eml"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
}

// fetch --new into a Maildir and an mbox file over two runs; Dovecot then
// reads copies of both (its own user owns them) and finds the messages of
// the server's mailbox, each once. A body line that looks like an mbox
// separator must not split a message in the mbox.
TEST_F(MailPrograms, DovecotReadsTheFetchedMaildirAndMbox) {
  empty_mailbox("mpfetch");
  auto send = [&](const std::string &subject, const std::string &body) {
    ProcessResult r = Run({KELMAIL_PATH, "sendmail", "-t"}, "To: " + ms().address("mpfetch") + "\nSubject: " + subject +
                                                               "\nMessage-ID: <" + subject + "@fetch.test>\n\n" + body);
    ASSERT_EQ(r.exit_code, 0) << r.output;
  };
  const std::string maildirPath = dir_ + "/Maildir", mboxDir = dir_ + "/mbox";
  fs::create_directories(mboxDir);
  auto fetch = [&](const std::vector<std::string> &target, const std::string &state) {
    std::vector<std::string> args = {KELMAIL_PATH, "fetch", "--account", "fetcher", "--new", "--state", state};
    args.insert(args.end(), target.begin(), target.end());
    ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 0) << r.output;
  };
  send("first", "From someone@example.test Mon Dec  7 10:00:00 2026\n.a leading dot\nend\n");
  send("second", "two\n");
  ASSERT_EQ(wait_for_mail("mpfetch", 2).size(), 2u);
  fetch({"--maildir", maildirPath}, dir_ + "/maildir.state");
  fetch({"--mbox", mboxDir + "/inbox.mbox"}, dir_ + "/mbox.state");
  send("third", "three\n");
  ASSERT_EQ(wait_for_mail("mpfetch", 3).size(), 3u);
  fetch({"--maildir", maildirPath}, dir_ + "/maildir.state");
  fetch({"--mbox", mboxDir + "/inbox.mbox"}, dir_ + "/mbox.state");

  const std::vector<std::string> server = DovecotReads("mpfetch");
  ASSERT_EQ(server, (std::vector<std::string>{"<first@fetch.test>\tfirst", "<second@fetch.test>\tsecond",
                                              "<third@fetch.test>\tthird"}));
  // Dovecot works as the mail user and keeps its index beside the mail: it reads copies.
  const std::string view = dir_ + "/dovecot";
  fs::create_directories(view);
  fs::copy(maildirPath, view + "/Maildir", fs::copy_options::recursive);
  fs::create_directories(view + "/mbox");
  fs::copy(mboxDir + "/inbox.mbox", view + "/mbox/inbox.mbox");
  ProcessResult r = run_process({"chown", "-R", env_or("MAILSTACK_VMAIL_USER", "vmail") + ":", view});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(DovecotReads("mpfetch", "maildir:" + view + "/Maildir"), server);
  EXPECT_EQ(DovecotReads("mpfetch", "mbox:" + view + "/mbox:INBOX=" + view + "/mbox/inbox.mbox"), server);
  // The Maildir holds the messages as the server stores them: the same sizes.
  EXPECT_EQ(DovecotReads("mpfetch", "maildir:" + view + "/Maildir", "hdr.message-id size.virtual"),
            DovecotReads("mpfetch", "", "hdr.message-id size.virtual"));
}

}  // namespace
}  // namespace kel::e2e
