// Real faults of the files a retrieval writes, against a real Dovecot: an
// attachment directory on a small tmpfs that fills up, a read-only one, a
// name taken by a file of the user's. No cut file is left looking whole, no
// file of the user's changes, and the message stays on the server to be
// fetched again once there is room.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

class FilesE2E : public LibraryMailTest {
 protected:
  void SetUp() override {
    LibraryMailTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    empty_mailbox("fileuser");
    dir_ = scratch(std::string("files-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    OpenLog(dir_);
    fs::create_directories(dir_ + "/attach");
  }
  void TearDown() override {
    for (const std::string &m : mounts_) umount2(m.c_str(), MNT_DETACH);
    LibraryMailTest::TearDown();
  }
  // A tmpfs of the given size (kilobytes) at dir; false when it cannot be mounted (not root).
  bool Tmpfs(const std::string &dir, int kb, bool readOnly = false) {
    fs::create_directories(dir);
    const std::string options = "size=" + std::to_string(kb) + "k";
    if (mount("kel-e2e", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) != 0) return false;
    mounts_.push_back(dir);
    return true;
  }
  void Send(const std::vector<std::string> &files) {
    std::string list;
    for (auto &f : files) list += (list.empty() ? "" : ",") + f;
    kelIntegerParam(0, KEL_SMTP_PORT, ms().smtp_port);
    ASSERT_EQ(kelSmtpConnect(0, "127.0.0.1", "<sender@example.test>", ""), 0) << Log();
    int rc = kelSendEmail(0, "<fileuser@example.test>", nullptr, nullptr, "files", "body\n", list.c_str());
    ASSERT_EQ(rc, 0) << error_text(rc);
    kelClose(0);
    ASSERT_EQ(wait_for_mail("fileuser", 1).size(), 1u);
  }
  void Login() {
    kelIntegerParam(0, KEL_POP3_PORT, ms().pop3_port);
    int rc = kelPop3Connect(0, "127.0.0.1", "fileuser", "fileuser-pass");
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  }
  std::string dir_;
  std::vector<std::string> mounts_;
};

TEST_F(FilesE2E, FullDiskFailsTheRetrievalAndLeavesNoCutFile) {
  const std::string big = random_bytes(400000, 21), small = random_bytes(20000, 22);
  spit(dir_ + "/big.bin", big);
  spit(dir_ + "/c.bin", small);
  Send({dir_ + "/big.bin", dir_ + "/c.bin"});
  const std::string full = dir_ + "/full";
  if (!Tmpfs(full, 256)) GTEST_SKIP() << "cannot mount a tmpfs (not root?)";
  Login();
  int rc = kelGetEmailFile(0, 1, "message-1.eml", dir_.c_str(), full.c_str());
  EXPECT_EQ(rc, -82) << error_text(rc);
  EXPECT_NE(error_text(-82).find(full + "/big.bin': No space left on device"), std::string::npos) << error_text(-82);
  EXPECT_FALSE(fs::exists(full + "/big.bin"));
  // The email file itself on the full disk: the same failure, naming it.
  Login();
  spit(full + "/filler", std::string(300000, 'f'));  // as much as fits: the disk is full
  const std::string emailDir = full;
  rc = kelGetEmailFile(0, 1, "message-1.eml", emailDir.c_str(), (dir_ + "/attach").c_str());
  EXPECT_EQ(rc, -82) << error_text(rc);
  // The message is still there: with room it comes back whole.
  Login();
  EXPECT_EQ(kelGetEmailCount(0), 1);
  rc = kelGetEmailFile(0, 1, "message-1.eml", dir_.c_str(), (dir_ + "/attach").c_str());
  ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
  EXPECT_EQ(slurp(dir_ + "/attach/big.bin"), big);
  EXPECT_EQ(slurp(dir_ + "/attach/c.bin"), small);
  kelClose(0);
}

TEST_F(FilesE2E, ReadOnlyOrMissingDirectoryFailsBeforeAnythingIsFetched) {
  spit(dir_ + "/a.txt", "attached");
  Send({dir_ + "/a.txt"});
  const std::string readOnly = dir_ + "/ro";
  if (!Tmpfs(readOnly, 64, true)) GTEST_SKIP() << "cannot mount a tmpfs (not root?)";
  for (const std::string &attach : {readOnly, dir_ + "/missing"}) {
    SCOPED_TRACE(attach);
    Login();
    const size_t logBefore = Log().size();
    int rc = kelGetEmailFile(0, 1, "m.eml", dir_.c_str(), attach.c_str());
    EXPECT_EQ(rc, -83) << error_text(rc);
    EXPECT_NE(error_text(-83).find("'" + attach + "': "), std::string::npos) << error_text(-83);
    EXPECT_EQ(Log().substr(logBefore).find("RETR"), std::string::npos) << "fetched anyway";
    EXPECT_FALSE(fs::exists(dir_ + "/m.eml"));
  }
}

TEST_F(FilesE2E, NamesTakenByTheUsersFilesAreLeftAlone) {
  spit(dir_ + "/report.pdf", "new report");
  Send({dir_ + "/report.pdf"});
  spit(dir_ + "/attach/report.pdf", "the user's own");
  spit(dir_ + "/attach/message-1.eml", "another file");
  Login();
  int rc = kelGetEmailFile(0, 1, "message-1.eml", dir_.c_str(), (dir_ + "/attach").c_str());
  ASSERT_EQ(rc, 0) << error_text(rc);
  EXPECT_EQ(slurp(dir_ + "/attach/report.pdf"), "the user's own");
  EXPECT_EQ(slurp(dir_ + "/attach/report (1).pdf"), "new report");
  EXPECT_NE(slurp(dir_ + "/message-1.eml").find("report (1).pdf"), std::string::npos);
  kelClose(0);
}

}  // namespace
}  // namespace kel::e2e
