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
#include "driver/features.h"
#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "mime/decode_fixture.h"

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

TEST_F(ImapSession, ALargeMessageIsSavedAlikeWhetherItsLinesComeManyToAStepOrOne) {
  // Without a trace log the message's lines are taken from the receive
  // stage many to a step; with one, each line is a step of its own. Both
  // must stop exactly where the literal's count says: here its last line
  // has no line end and the closing parenthesis follows in the same piece,
  // or the literal is cut just before, at or just after its end. A byte
  // taken past the end would lose the tagged OK or change the file.
  const std::string data = BinaryBytes(60000);
  const std::string message = "Subject: big\r\nMIME-Version: 1.0\r\n"
                              "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                              "Content-Type: text/plain\r\n\r\nSee the file.\r\n--b\r\n"
                              "Content-Type: application/octet-stream; name=\"big.bin\"\r\n"
                              "Content-Transfer-Encoding: base64\r\n\r\n" +
                              CutLines(Base64(data), {76}) + "--b--\r\ntrailing text without a line end";
  const std::string head = "* 1 FETCH (UID 7 BODY[] {" + std::to_string(message.size()) + "}\r\n";
  const std::string response = head + message + ")\r\nA5 OK\r\n";
  const size_t end = head.size() + message.size();
  const std::vector<std::vector<size_t>> cuts = {{}, {end - 1}, {end}, {end + 1}, {head.size() + 4000, end - 20}};
  for (size_t run = 0; run < 2 * cuts.size(); run++) {
    if (run > 0) server_.Accept();
    server_.Send(Greeting).ExpectLine(Login).Send("A1 OK in\r\n");
    server_.ExpectLine("A2 CAPABILITY\r\n").Send("* CAPABILITY IMAP4rev1 UIDPLUS\r\nA2 OK\r\n");
    server_.ExpectLine("A3 SELECT \"INBOX\"\r\n").Send("* 1 EXISTS\r\nA3 OK\r\n");
    server_.ExpectLine("A4 UID SEARCH ALL\r\n").Send("* SEARCH 7\r\nA4 OK\r\n");
    server_.ExpectLine("A5 UID FETCH 7 BODY.PEEK[]\r\n").SendSplit(response, cuts[run % cuts.size()], 5).Close();
  }
  server_.Start();
  kelIntegerParam(0, KEL_IMAP_PORT, server_.Port());
  std::string first;
  for (size_t run = 0; run < 2 * cuts.size(); run++) {
    const bool traced = run >= cuts.size();
    if (traced && run == cuts.size()) OpenLog();
    std::filesystem::remove_all(attachDir_);
    std::filesystem::create_directories(attachDir_);
    ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0) << run;
    ASSERT_EQ(GetFile(1), 0) << run;
    EXPECT_EQ(ReadFileText(attachDir_ + "/big.bin"), data) << run;
    const std::string email = Email();
    if (run == 0) first = email;
    EXPECT_EQ(email, first) << run << (traced ? " traced" : "");
  }
}

// ---- Response forms --------------------------------------------------------------

TEST_F(ImapSession, ResponsesOfEveryFormAreReadOrPassedOver) {
  // Quoted strings with escapes, NIL, nested lists, literals in every place
  // (also {n+} and an empty one), unknown untagged data, and the message
  // as a quoted string; RFC822.SIZE after the body.
  Open(" 7")
      .ExpectLine("A4 LIST \"\" *\r\n")
      .Send("* LIST (\\HasNoChildren) \"/\" INBOX\r\n* LIST (\\Noselect (x (y))) NIL {5}\r\nF\"o(o\r\n"
            "* LIST () \"\\\\\" \"a \\\"quoted\\\" name\"\r\n* STATUS {0}\r\n (MESSAGES 2)\r\n"
            "* ID (\"name\" \"Dovecot\" \"x\" NIL)\r\n* NAMESPACE ((\"\" \"/\")) NIL NIL\r\n"
            "* ENABLED\r\n* 3 RECENT\r\nA4 OK List completed\r\n")
      .ExpectLine("A5 UID FETCH 7 (RFC822.SIZE)\r\n")
      .Send("* 1 FETCH (FLAGS (\\Seen $Junk) INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" UID 7 "
            "ENVELOPE (NIL {3+}\r\nx\ry (\"a\" NIL \"b\" \"c\")) RFC822.SIZE 44)\r\nA5 OK\r\n")
      .ExpectLine("A6 UID FETCH 7 BODY.PEEK[]\r\n")
      .Send("* 1 FETCH (UID 7 BODY[] \"Subject: q\")\r\nA6 OK\r\n")
      .Close();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelCommand(0, "LIST \"\" *"), 0);
  EXPECT_EQ(kelGetEmailSize(0, 1), 44);
  ASSERT_EQ(GetFile(1), 0);
  EXPECT_EQ(Email(), "Subject: q");
}

TEST_F(ImapSession, MalformedResponsesAreRefused) {
  const std::vector<std::string> bad = {
      "A4 OK done\rA4 OK\r\n",                 // a bare CR
      "* LIST (\\Noselect \"/\" x\r\n",         // a list not closed
      "* LIST x) \"/\" x\r\n",                  // a list closed that was not open
      "* LIST \"not closed\r\n",                // a quoted string not closed
      "* LIST \"a\\b\"\r\n",                    // an escape of a plain character
      "B4 OK done\r\n",                         // a tag the library did not send
      "* LIST {x}\r\n",                         // a literal without a count
      "* LIST {3}x\r\n",                        // no line end behind the count
      "* LIST {99999999999}\r\n",               // a count beyond 32 bits
      "*\r\n",                                  // nothing behind the tag
      " A4 OK\r\n",                             // no tag
      "* 5\r\n",                                // a number alone
      "* 1 FETCH UID 7\r\n",                    // FETCH without its list
      "* 1 FETCH (UID x)\r\n",                  // a UID that is no number
      "* 1 FETCH (RFC822.SIZE 1x)\r\n",          // a size that is no number
      "A4 MAYBE done\r\n",                      // no status word
      "* OK [UIDVALIDITY 12 no end\r\n",        // a response code not closed
      std::string("* LIST \"a\0b\"\r\n", 14),  // a NUL
  };
  const size_t count = bad.size();
  for (size_t i = 0; i < count; i++) {
    if (i) server_.Accept();
    Open(" 7").ExpectLine("A4 LIST \"\" *\r\n").Send(bad[i]).Pause(50).Close();
  }
  server_.Start();
  kelIntegerParam(0, KEL_IMAP_PORT, server_.Port());
  for (size_t i = 0; i < count; i++) {
    ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0) << i;
    EXPECT_EQ(kelCommand(0, "LIST \"\" *"), -75) << i << ": " << bad[i];
    EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET), -1) << i;
  }
}

TEST_F(ImapSession, OnlyTheAnswerToTheSessionsSearchFillsTheList) {
  server_.SetReadTimeout(3000);
  Open(" 7 x").Close();  // a result that is no number
  server_.Accept();
  Open(" 7").ExpectLine("A4 NOOP\r\n").Send("* SEARCH 99 3\r\nA4 OK\r\n").Close();
  EXPECT_EQ(Connect(), -75);
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0);
  EXPECT_EQ(kelCommand(0, "NOOP"), 0);
  EXPECT_EQ(kelGetEmailCount(0), 1);
  char list[128];
  EXPECT_GT(kelGetEmailUID(0, 0, list, sizeof list), 0);
  EXPECT_STREQ(list, "1 3857529045.7\r\n");
}

// ---- Refusals and the end of the session -------------------------------------------

TEST_F(ImapSession, NoAndBadFailWithTheServersText) {
  server_.SetReadTimeout(3000);
  server_.Send(Greeting).ExpectLine(Login).Send("A1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n").Close();
  server_.Accept().Send(Greeting).ExpectLine(Login).Send("A1 OK [CAPABILITY IMAP4rev1] in\r\n");
  server_.ExpectLine("A2 SELECT \"Nowhere\"\r\n").Send("A2 NO Mailbox doesn't exist: Nowhere\r\n").Close();
  Open(" 7").ExpectLine("A4 UID FETCH 7 BODY.PEEK[]\r\n").Send("A4 BAD Error in IMAP command\r\n").Close();
  EXPECT_EQ(Connect(), -60);
  char text[300];
  kelErrorText(0, -60, text, sizeof text);
  EXPECT_NE(std::string(text).find("IMAP returned error. A1 NO [AUTHENTICATIONFAILED] Authentication failed."),
            std::string::npos)
      << text;
  kelStringParam(0, KEL_IMAP_MAILBOX, "Nowhere");
  EXPECT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), -60);
  kelStringParam(0, KEL_IMAP_MAILBOX, "INBOX");
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0);
  EXPECT_EQ(GetFile(1), -60);
  EXPECT_EQ(Ch().EmailHandle, 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET), -1);
}

TEST_F(ImapSession, ByeEndsTheSessionCleanly) {
  server_.SetReadTimeout(3000);
  // In the middle of a message, and as the greeting.
  Open(" 7")
      .ExpectLine("A4 UID FETCH 7 BODY.PEEK[]\r\n")
      .Send("* 1 FETCH (UID 7 BODY[] {100}\r\nSubject: cut\r\n")
      .Close();
  server_.Accept().Send("* BYE Too many connections\r\n").Close();
  Open(" 7").ExpectLine("A4 UID FETCH 7 (RFC822.SIZE)\r\n").Send("* BYE Server shutting down\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(GetFile(1), -1);  // cut: no success
  EXPECT_EQ(Ch().EmailHandle, 0);
  EXPECT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), -60);
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0);
  EXPECT_EQ(kelGetEmailSize(0, 1), -60);
  char reply[128];
  kelDebug(0, KEL_DEBUG_LAST_REPLY, reply, sizeof reply);
  EXPECT_STREQ(reply, "* BYE Server shutting down");
  EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET), -1);
  EXPECT_EQ(kelGetEmailSize(0, 1), -44);
  EXPECT_EQ(kelClose(0), 0);
}

TEST_F(ImapSession, LogoutWithoutDeletionsAndExpungeWithoutUidPlus) {
  server_.Send("* OK [CAPABILITY IMAP4rev1] ready\r\n").ExpectLine(Login).Send("A1 OK in\r\n");
  server_.ExpectLine("A2 CAPABILITY\r\n").Send("* CAPABILITY IMAP4rev1 IDLE\r\nA2 OK\r\n");
  server_.ExpectLine("A3 SELECT \"INBOX\"\r\n").Send(SelectReply(3));
  server_.ExpectLine("A4 UID SEARCH UNSEEN\r\n").Send("* SEARCH 7 8\r\nA4 OK\r\n");
  server_.ExpectLine("A5 UID STORE 8 +FLAGS.SILENT (\\Deleted)\r\n").Send("A5 OK\r\n");
  server_.ExpectLine("A6 EXPUNGE\r\n").Send("* 2 EXPUNGE\r\nA6 OK\r\n");
  server_.ExpectLine("A7 LOGOUT\r\n").Send("* BYE bye\r\n").Close();  // no tagged OK: the close ends it
  server_.Accept().Send(Greeting).ExpectLine(Login).Send("A1 OK [CAPABILITY IMAP4rev1] in\r\n");
  server_.ExpectLine("A2 SELECT \"INBOX\"\r\n").Send("A2 OK\r\n");
  server_.ExpectLine("A3 UID SEARCH UNSEEN\r\n").Send("* SEARCH\r\nA3 OK\r\n");
  server_.ExpectLine("A4 LOGOUT\r\n").Send("* BYE bye\r\nA4 OK\r\n").Close();
  kelStringParam(0, KEL_IMAP_SEARCH, "UNSEEN");
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelGetEmailCount(0), 2);
  EXPECT_EQ(kelDeleteEmail(0, 2), 0);
  EXPECT_EQ(kelClose(0), 0);
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0);
  EXPECT_EQ(kelGetEmailCount(0), 0);
  EXPECT_EQ(kelGetEmailFile(0, 1, "x", dir_.c_str(), dir_.c_str()), -64);
  EXPECT_EQ(kelClose(0), 0);
}

// ---- Logins ----------------------------------------------------------------------------

TEST_F(ImapSession, LoginDisabledNeverSendsThePassword) {
  server_.SetReadTimeout(3000);
  server_.Send("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready\r\n").Pause(100).Close();
  server_.Accept().Send("* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=PLAIN] ready\r\n");
  server_.ExpectLine("A1 AUTHENTICATE PLAIN\r\n").Send("+ \r\n").ExpectLine("AGpvZQBzZWNyZXQ=\r\n");
  server_.Send("A1 OK [CAPABILITY IMAP4rev1] in\r\n").ExpectLine("A2 SELECT \"INBOX\"\r\n").Send("A2 OK\r\n");
  server_.ExpectLine("A3 UID SEARCH ALL\r\n").Send("A3 OK\r\n").Close();
  const std::string log = OpenLog();
  EXPECT_EQ(Connect(), -76);
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0);
  EXPECT_EQ(server_.Received(), "A1 AUTHENTICATE PLAIN\r\nAGpvZQBzZWNyZXQ=\r\nA2 SELECT \"INBOX\"\r\nA3 UID SEARCH ALL\r\n");
  const std::string text = ReadFileText(log);
  EXPECT_NE(text.find("S: ********\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("AGpvZQBz"), std::string::npos);
}

TEST_F(ImapSession, LoginTextsAsQuotedStringsOrLiterals) {
  // Quotes and backslashes escaped; 8-bit text as a literal, synchronizing
  // without LITERAL+ (each part after the go-ahead), else {n+}.
  server_.Send("* OK [CAPABILITY IMAP4rev1] ready\r\n").ExpectLine("A1 LOGIN \"j\\\"o\\\\e\" \"p w\"\r\n");
  server_.Send("A1 NO no\r\n").Close();
  server_.Accept().Send("* OK [CAPABILITY IMAP4rev1] ready\r\n").ExpectLine("A1 LOGIN {4}\r\n").Send("+ go\r\n");
  server_.ExpectLine("j\xc3\xb6" "e {7}\r\n").Send("+ go\r\n").ExpectLine("p\xc3\xa4ss w\r\n").Send("A1 NO no\r\n").Close();
  server_.Accept().Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] ready\r\n");
  server_.ExpectLine("A1 LOGIN \"joe\" {7+}\r\n").ExpectLine("p\xc3\xa4ss w\r\n").Send("A1 NO no\r\n").Close();
  const std::string log = OpenLog();
  EXPECT_EQ(Connect("j\"o\\e", "p w"), -60);
  EXPECT_EQ(kelImapConnect(0, "127.0.0.1", "j\xc3\xb6" "e", "p\xc3\xa4ss w"), -60);
  EXPECT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "p\xc3\xa4ss w"), -60);
  const std::string text = ReadFileText(log);
  EXPECT_EQ(text.find("ss w"), std::string::npos) << text;
  EXPECT_EQ(text.find("\"p w\""), std::string::npos) << text;
}

TEST_F(ImapSession, BearerTokensWithAndWithoutSaslIr) {
  server_.SetReadTimeout(3000);
  const char *token = "ya29.token";
  // user=joe^Aauth=Bearer ya29.token^A^A
  const std::string xoauth = "dXNlcj1qb2UBYXV0aD1CZWFyZXIgeWEyOS50b2tlbgEB";
  server_.Send("* OK ready\r\n").ExpectLine("A1 CAPABILITY\r\n");
  server_.Send("* CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER\r\nA1 OK\r\n");
  server_.ExpectLine("A2 AUTHENTICATE XOAUTH2 " + xoauth + "\r\n");
  server_.Send("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n").ExpectLine("*\r\n").Send("A2 NO [AUTHENTICATIONFAILED] failed\r\n");
  server_.Close();
  server_.Accept().Send("* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] ready\r\n");
  server_.ExpectLine("A1 AUTHENTICATE XOAUTH2\r\n").Send("+\r\n").ExpectLine(xoauth + "\r\n");
  server_.Send("A1 OK [CAPABILITY IMAP4rev1] in\r\n").ExpectLine("A2 SELECT \"INBOX\"\r\n").Send("A2 OK\r\n");
  server_.ExpectLine("A3 UID SEARCH ALL\r\n").Send("A3 OK\r\n").Close();
  const std::string log = OpenLog();
  kelStringParam(0, KEL_OAUTH_TOKEN, token);
  // CAPABILITY is asked only when the greeting carries none.
  EXPECT_EQ(Connect("joe", ""), -60);
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", ""), 0);
  char name[32];
  kelDebug(0, KEL_DEBUG_AUTH_MECHANISM, name, sizeof name);
  EXPECT_STREQ(name, "XOAUTH2");
  const std::string text = ReadFileText(log);
  EXPECT_NE(text.find("S: A2 AUTHENTICATE XOAUTH2 ********\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find(xoauth.substr(0, 12)), std::string::npos);
}

// ---- TLS ---------------------------------------------------------------------------------

TEST_F(ImapSession, StartTlsThenCapabilitiesAgainAndPlainTextAfterTheGoAheadRefused) {
  server_.SetReadTimeout(3000);
  server_.Send("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready\r\n").ExpectLine("A1 STARTTLS\r\n");
  server_.Send("A1 OK Begin TLS negotiation now\r\n").StartTls(TestPki().Chain, TestPki().Key);
  server_.ExpectLine("A2 CAPABILITY\r\n").Send("* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\nA2 OK\r\n");
  server_.ExpectLine("A3 LOGIN \"joe\" \"secret\"\r\n").Send("A3 OK [CAPABILITY IMAP4rev1] in\r\n");
  server_.ExpectLine("A4 SELECT \"INBOX\"\r\n").Send("A4 OK\r\n").ExpectLine("A5 UID SEARCH ALL\r\n").Send("A5 OK\r\n");
  server_.ExpectLine("A6 LOGOUT\r\n").Send("* BYE\r\nA6 OK\r\n").Close();
  // Injected: responses behind the go-ahead in plain text.
  server_.Accept().Send("* OK [CAPABILITY IMAP4rev1 STARTTLS] ready\r\n").ExpectLine("A1 STARTTLS\r\n");
  server_.Send("A1 OK Begin TLS\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n").Pause(100).Close();
  // Required and not offered: nothing after the greeting.
  server_.Accept().Send(Greeting).Pause(100).Close();
  kelStringParam(0, KEL_TLS_CA_FILE, TestPki().Ca.c_str());
  kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_REQUIRED);
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  // The capabilities as last read: the login's, none from before TLS.
  char caps[256];
  kelDebug(0, KEL_DEBUG_CAPABILITIES, caps, sizeof caps);
  EXPECT_STREQ(caps, "IMAP4rev1\n");
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), -96);
  EXPECT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), -95);
}

// ---- Parameters ---------------------------------------------------------------------------

TEST_F(ImapSession, MailboxNamesSearchMarkSeenAndTheFirstLines) {
  // RFC 3501's example of a name in modified UTF-7.
  server_.Send(Greeting).ExpectLine(Login).Send("A1 OK [CAPABILITY IMAP4rev1] in\r\n");
  server_.ExpectLine("A2 SELECT \"~peter/mail/&U,BTFw-/&ZeVnLIqe-&-\"\r\n").Send(SelectReply(2));
  server_.ExpectLine("A3 UID SEARCH SINCE 1-Dec-2026 FROM \"alice\"\r\n").Send("* SEARCH 5\r\nA3 OK\r\n");
  server_.ExpectLine("A4 UID FETCH 5 BODY[]\r\n").Send("* 1 FETCH (BODY[] {14}\r\nSubject: x\r\n\r\n)\r\nA4 OK\r\n");
  server_.ExpectLine("A5 UID FETCH 5 BODY.PEEK[]<0.200>\r\n");
  const std::string head = "Subject: x\r\nTo: y\r\n\r\nline 1\r\n";
  server_.Send("* 1 FETCH (BODY[]<0> " + Literal(head + "line 2\r\nline 3") + ")\r\nA5 OK\r\n");
  server_.ExpectLine("A6 UID MOVE 5 Archive\r\n").Send("* OK [COPYUID 1 5 1] Moved\r\n* 1 EXPUNGE\r\nA6 OK\r\n");
  server_.Close();
  kelStringParam(0, KEL_IMAP_MAILBOX, "~peter/mail/\xe5\x8f\xb0\xe5\x8c\x97/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e&");
  kelStringParam(0, KEL_IMAP_SEARCH, "SINCE 1-Dec-2026 FROM \"alice\"");
  EXPECT_EQ(kelStringParam(0, KEL_IMAP_SEARCH, "ALL\r\nA9 DELETE INBOX"), -1);
  kelIntegerParam(0, KEL_IMAP_MARK_SEEN, 1);
  ASSERT_EQ(Connect(), 0);
  ASSERT_EQ(GetFile(1), 0);
  EXPECT_EQ(Email(), "Subject: x\r\n\r\n");
  char buffer[200] = {};
  EXPECT_EQ(kelGetEmailLines(0, 1, 1, buffer, sizeof buffer), static_cast<int>(head.size()));
  EXPECT_EQ(std::string(buffer), head);
  EXPECT_EQ(kelCommand(0, "UID MOVE 5 Archive"), 0);
  EXPECT_EQ(kelCommand(0, "NOOP\r\nA9 DELETE INBOX"), -32);
}

TEST_F(ImapSession, NonBlockingSessionGivesTheSameFile) {
  Open(" 7")
      .ExpectLine("A4 UID FETCH 7 BODY.PEEK[]\r\n")
      .SendSplit("* 1 FETCH (UID 7 BODY[] " + Literal(Message) + ")\r\nA4 OK Fetch completed\r\n", {30, 31, 90, 200}, 20)
      .Close();
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  auto run = [&] {
    for (int guard = 0; guard < 100000; guard++) {
      unsigned list[1] = {0};
      int ready[1];
      kelWait(list, 1, 1000, ready);
      const int rc = kelDriver(0);
      if (rc <= 0) return rc;
    }
    return -999;
  };
  server_.Start();
  kelIntegerParam(0, KEL_IMAP_PORT, server_.Port());
  ASSERT_EQ(kelImapConnect(0, "127.0.0.1", "joe", "secret"), 0);
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_EMAIL_COUNT), 1);
  ASSERT_EQ(GetFile(1), 0);
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(Email(), Saved + attachDir_ + "/a.bin\"]\r\n");
}

TEST_F(ImapSession, FolderListInUtf8WithAttributes) {
  const std::string list =
      "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
      "* LIST (\\HasChildren \\Noselect) \"/\" \"~peter/mail/&U,BTFw-/&ZeVnLIqe-\"\r\n"
      "* LIST () NIL {8}\r\nA&-B \"x\"\r\n"
      "* LIST (\\Sent) \"/\" \"&2D3eAA-\"\r\n";
  Open(" 7").ExpectLine("A4 LIST \"\" \"*\"\r\n").Send(list + "A4 OK List completed\r\n");
  server_.ExpectLine("A5 LIST \"\" \"*\"\r\n").Send(list + "A5 OK List completed\r\n");
  server_.ExpectLine("A6 LIST \"\" \"*\"\r\n").Send("* LIST \\X \"/\" x\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  char folders[512];
  const std::string expected = "INBOX\t\\HasNoChildren\r\n"
                               "~peter/mail/\xe5\x8f\xb0\xe5\x8c\x97/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\t"
                               "\\HasChildren \\Noselect\r\nA&B \"x\"\t\r\n\xf0\x9f\x98\x80\t\\Sent\r\n";
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_IMAP_FOLDERS, folders, sizeof folders), static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(folders), expected);
  // A buffer for the first two lines only: whole lines, nothing cut.
  const size_t two = expected.find("A&B");
  std::vector<char> small(two + 5);
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_IMAP_FOLDERS, small.data(), static_cast<int>(small.size())), static_cast<int>(two));
  EXPECT_EQ(std::string(small.data()), expected.substr(0, two));
  EXPECT_EQ(kelGetEmailCount(0), 1);  // the session's messages are untouched
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_IMAP_FOLDERS, folders, sizeof folders), -75);
}

// ---- Waiting for new mail ----------------------------------------------------------

TEST_F(ImapSession, IdleEndsAtTheFirstNewMessageAndAddsItBehindTheList) {
  Open()
      .ExpectLine("A4 IDLE\r\n")
      .Send("+ idling\r\n")
      .Pause(300)
      .Send("* 2 FETCH (FLAGS (\\Seen))\r\n* 4 EXISTS\r\n* 1 RECENT\r\n")
      .ExpectLine("DONE\r\n")
      .Send("A4 OK Idle completed\r\n")
      .ExpectLine("A5 UID SEARCH UID 13:* ALL\r\n")
      .Send("* SEARCH 14\r\nA5 OK\r\n")
      // No new message: the wait ends at its time, without a search; "n:*"
      // answered with the last message below n adds nothing.
      .ExpectLine("A6 IDLE\r\n")
      .Send("+ idling\r\n")
      .ExpectLine("DONE\r\n")
      .Send("A6 OK Idle completed\r\n")
      .ExpectLine("A7 IDLE\r\n")
      .Send("+ idling\r\n* 5 EXISTS\r\n")
      .ExpectLine("DONE\r\n")
      .Send("A7 OK\r\n")
      .ExpectLine("A8 UID SEARCH UID 15:* ALL\r\n")
      .Send("* SEARCH 14\r\nA8 OK\r\n")
      .Close();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(kelCommand(0, "IDLE 20"), 4);
  char uid[128];
  EXPECT_GT(kelGetEmailUID(0, 4, uid, sizeof uid), 0);
  EXPECT_STREQ(uid, "3857529045.14");
  EXPECT_GT(kelGetEmailUID(0, 1, uid, sizeof uid), 0);
  EXPECT_STREQ(uid, "3857529045.7");  // the numbers 1..n stay
  EXPECT_EQ(kelCommand(0, "idle 1"), 4);
  EXPECT_EQ(kelCommand(0, "IDLE 20"), 4);
}

TEST_F(ImapSession, WithoutIdleNoopAsksAtAnIntervalAlsoUnderKelWait) {
  server_.Send("* OK [CAPABILITY IMAP4rev1 UIDPLUS] ready\r\n").ExpectLine(Login).Send("A1 OK [CAPABILITY IMAP4rev1] in\r\n");
  server_.ExpectLine("A2 SELECT \"INBOX\"\r\n").Send(SelectReply(2));
  server_.ExpectLine("A3 UID SEARCH ALL\r\n").Send("* SEARCH 7 9 12\r\nA3 OK\r\n");
  server_.ExpectLine("A4 NOOP\r\n").Send("A4 OK\r\n");
  server_.ExpectLine("A5 NOOP\r\n").Send("* 4 EXISTS\r\nA5 OK\r\n");
  server_.ExpectLine("A6 UID SEARCH UID 13:* ALL\r\n").Send("* SEARCH 20\r\nA6 OK\r\n");
  server_.ExpectLine("A7 IDLE\r\n").Send("A7 BAD unknown command\r\n").Close();
  ASSERT_EQ(Connect(), 0);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  ASSERT_EQ(kelCommand(0, "IDLE 2"), 0);
  int rc = 1;
  for (int guard = 0; guard < 100000 && rc > 0; guard++) {
    unsigned list[1] = {0};
    int ready[1];
    kelWait(list, 1, 1000, ready);
    rc = kelDriver(0);
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_EMAIL_COUNT), 4);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  EXPECT_EQ(kelGetEmailCount(0), 4);
  // A raw IDLE the server refuses: an error like any other command.
  Ch().Features.Bits |= FeatIdle;
  EXPECT_EQ(kelCommand(0, "IDLE 2"), -60);
}

}  // namespace
