// The IMAP session against a scripted server: greeting, capabilities,
// LOGIN and AUTHENTICATE, SELECT and UID SEARCH, the mailbox calls over
// UID FETCH / STORE / EXPUNGE, LOGOUT, and the response forms the reader
// must take (literals split at every byte, quoted strings, NIL, lists) or
// refuse.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"

namespace {

const char *const Greeting = "* OK [CAPABILITY IMAP4rev1 LITERAL+ SASL-IR UIDPLUS IDLE AUTH=PLAIN] ready\r\n";
const char *const Login = "A1 LOGIN \"joe\" \"secret\"\r\n";

// The responses to SELECT INBOX of a mailbox of 3 messages.
std::string SelectReply(int selectTag) {
  const std::string s = "A" + std::to_string(selectTag);
  return "* 3 EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY 3857529045] UIDs valid\r\n"
         "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n"
         "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited\r\n" +
         s + " OK [READ-WRITE] SELECT completed\r\n";
}

class ImapSession : public AttachedTest {
 protected:
  void SetUp() override {
    AttachedTest::SetUp();
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    kelIntegerParam(0, KEL_SLEEP_TIME, 2);
    attachDir_ = dir_ + "/att";
    std::filesystem::create_directories(attachDir_);
  }
  void TearDown() override {
    EXPECT_TRUE(server_.Finish()) << server_.Failures();
    AttachedTest::TearDown();
  }
  // Greeting with capabilities, LOGIN (A1), SELECT (A2), UID SEARCH ALL (A3).
  ScriptServer &Open(const std::string &found = " 12 7 9") {
    return server_.Send(Greeting)
        .ExpectLine(Login)
        .Send("A1 OK [CAPABILITY IMAP4rev1 LITERAL+ UIDPLUS IDLE] Logged in\r\n")
        .ExpectLine("A2 SELECT \"INBOX\"\r\n")
        .Send(SelectReply(2))
        .ExpectLine("A3 UID SEARCH ALL\r\n")
        .Send("* SEARCH" + found + "\r\nA3 OK Search completed\r\n");
  }
  int Connect(const char *user = "joe", const char *password = "secret") {
    server_.Start();
    kelIntegerParam(0, KEL_IMAP_PORT, server_.Port());
    return kelImapConnect(0, "127.0.0.1", user, password);
  }
  int GetFile(int number, const std::string &file = "mail.eml") {
    return kelGetEmailFile(0, number, file.c_str(), dir_.c_str(), attachDir_.c_str());
  }
  std::string Email(const std::string &file = "mail.eml") { return ReadFileText(dir_ + "/" + file); }
  std::string After(const std::string &tag) {
    const std::string all = server_.Received();
    const size_t at = all.find(tag + " ");
    return at == std::string::npos ? "<none> " + all : all.substr(at);
  }
  ScriptServer server_;
  std::string attachDir_;
};

std::string Literal(const std::string &text) { return "{" + std::to_string(text.size()) + "}\r\n" + text; }

const std::string Message =
    "Subject: hello\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nHi there.\r\n.\r\n..dots stay\r\n"
    "--b\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
    "AAEC\r\n--b--\r\n";
const std::string Saved = "Subject: hello\r\nMIME-Version: 1.0\r\n\r\nHi there.\r\n.\r\n..dots stay\r\n"
                          "[Attachment saved to \"";

// ---- The session ------------------------------------------------------------------

TEST_F(ImapSession, ConnectSearchFetchDeleteAndCloseByteForByte) {
  Open()
      .ExpectLine("A4 UID FETCH 7 BODY.PEEK[]\r\n")
      .Send("* 1 FETCH (UID 7 BODY[] " + Literal(Message) + ")\r\nA4 OK Fetch completed\r\n")
      .ExpectLine("A5 UID FETCH 12 (RFC822.SIZE)\r\n")
      .Send("* 3 FETCH (RFC822.SIZE 4711 UID 12)\r\nA5 OK done\r\n")
      .ExpectLine("A6 UID STORE 9 +FLAGS.SILENT (\\Deleted)\r\n")
      .Send("A6 OK Store completed\r\n")
      .ExpectLine("A7 UID STORE 12 +FLAGS.SILENT (\\Deleted)\r\n")
      .Send("A7 OK Store completed\r\n")
      .ExpectLine("A8 UID EXPUNGE 9,12\r\n")
      .Send("* 2 EXPUNGE\r\n* 2 EXPUNGE\r\nA8 OK Expunge completed\r\n")
      .ExpectLine("A9 LOGOUT\r\n")
      .Send("* BYE Logging out\r\nA9 OK Logout completed\r\n")
      .Close();
  const std::string log = OpenLog();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelGetEmailCount(0), 3);
  char uid[128];
  EXPECT_EQ(kelGetEmailUID(0, 1, uid, sizeof uid), 12);
  EXPECT_STREQ(uid, "3857529045.7");
  char list[256];
  ASSERT_GT(kelGetEmailUID(0, 0, list, sizeof list), 0);
  EXPECT_STREQ(list, "1 3857529045.7\r\n2 3857529045.9\r\n3 3857529045.12\r\n");
  ASSERT_EQ(GetFile(1), 0);
  EXPECT_EQ(Email(), Saved + attachDir_ + "/a.bin\"]\r\n");
  EXPECT_EQ(ReadFileText(attachDir_ + "/a.bin"), std::string("\0\1\2", 3));
  EXPECT_EQ(kelGetEmailSize(0, 3), 4711);
  EXPECT_EQ(kelDeleteEmail(0, 2), 0);
  EXPECT_EQ(kelDeleteEmail(0, 3), 0);
  EXPECT_EQ(kelGetEmailSize(0, 4), -64);
  EXPECT_EQ(kelClose(0), 0);
  const std::string text = ReadFileText(log);
  EXPECT_NE(text.find("S: A1 LOGIN \"joe\" ********\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("secret"), std::string::npos);
}

TEST_F(ImapSession, TheMessageIsTheSameWhateverTheLiteralsPieces) {
  // A small message, the literal cut at every byte boundary of its
  // response: the same file each time.
  const std::string small = "Subject: s\r\n\r\nline one\r\nline two\r\n";
  const std::string response = "* 1 FETCH (UID 7 BODY[] " + Literal(small) + " FLAGS (\\Seen))\r\n";
  for (size_t cut = 1; cut < response.size(); cut++) {
    if (cut > 1) server_.Accept();
    server_.Send(Greeting).ExpectLine(Login).Send("A1 OK in\r\n");
    server_.ExpectLine("A2 CAPABILITY\r\n").Send("* CAPABILITY IMAP4rev1 UIDPLUS\r\nA2 OK\r\n");
    server_.ExpectLine("A3 SELECT \"INBOX\"\r\n").Send("* 1 EXISTS\r\nA3 OK\r\n");
    server_.ExpectLine("A4 UID SEARCH ALL\r\n").Send("* SEARCH 7\r\nA4 OK\r\n");
    server_.ExpectLine("A5 UID FETCH 7 BODY.PEEK[]\r\n").SendSplit(response + "A5 OK\r\n", {cut}, 5).Close();
  }
  server_.Start();
  kelIntegerParam(0, KEL_IMAP_PORT, server_.Port());
  for (size_t cut = 1; cut < response.size(); cut++) {
    ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0) << cut;
    ASSERT_EQ(GetFile(1), 0) << cut;
    ASSERT_EQ(Email(), small) << cut;
  }
}

}  // namespace
