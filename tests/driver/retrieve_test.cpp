// Retrieval against a scripted POP3 server: RETR into the email file
// (decoded, or raw), TOP into a buffer, the status line, the end line and
// the dot rule, long lines, and connections that end too early.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "driver/driver.h"
#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "mime/decode_fixture.h"

namespace {

class Retrieval : public AttachedTest {
 protected:
  void SetUp() override {
    AttachedTest::SetUp();
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    kelIntegerParam(0, KEL_SLEEP_TIME, 2);
    attachDir_ = dir_ + "/att";
    std::filesystem::create_directories(attachDir_);
    log_ = OpenLog();
  }
  void TearDown() override {
    EXPECT_TRUE(server_.Finish()) << server_.Failures();
    AttachedTest::TearDown();
  }
  ScriptServer &Login() {
    return server_.Send("+OK ready\r\n").ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS pw\r\n").Send(
        "+OK in\r\n");
  }
  void Connect() {
    server_.Start();
    kelIntegerParam(0, KEL_POP3_PORT, server_.Port());
    ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
  }
  int GetFile(int number, const std::string &file = "mail.txt") {
    return kelGetEmailFile(0, number, file.c_str(), dir_.c_str(), attachDir_.c_str());
  }
  std::string Email(const std::string &file = "mail.txt") { return ReadFileText(dir_ + "/" + file); }
  std::string Sent() {
    const std::string all = server_.Received();
    const std::string login = "USER joe\r\nPASS pw\r\n";
    return all.compare(0, login.size(), login) == 0 ? all.substr(login.size()) : "<no login> " + all;
  }
  ScriptServer server_;
  std::string attachDir_, log_;
};

// ---- RETR -------------------------------------------------------------------------

TEST_F(Retrieval, StatusLineEndLineAndDotRule) {
  Login()
      .ExpectLine("RETR 3\r\n")
      .Send("+OK 99 octets\r\nSubject: dots\r\n\r\n+OK is text here\r\n..\r\n...\r\n..x\r\n.y\r\n"
            "..longer line\r\n. \r\n.\r\n")
      .Close();
  Connect();
  ASSERT_EQ(GetFile(3), 0);
  EXPECT_EQ(Sent(), "RETR 3\r\n");
  EXPECT_EQ(Email(), "Subject: dots\r\n\r\n+OK is text here\r\n.\r\n..\r\n.x\r\ny\r\n.longer line\r\n \r\n");
  EXPECT_EQ(Ch().EmailHandle, 0);
  EXPECT_EQ(Ch().NextState, 0);
  const std::string log = ReadFileText(log_);
  EXPECT_NE(log.find("Saving email to '" + dir_ + "/mail.txt'\r\n"), std::string::npos);
  EXPECT_NE(log.find("[CLOSE]\r\n"), std::string::npos);
}

TEST_F(Retrieval, ExampleMessageThroughTheSessionCalls) {
  Login()
      .ExpectLine("RETR 1\r\n")
      .Send(Lines({"+OK 2345 octets", "Received: from a relay", "Subject: Report", "MIME-Version: 1.0",
                   "Date: Mon, 2 Jul 2001 10:00:00", "Content-Type: multipart/mixed; boundary=XYZ", "",
                   "This is a multi-part message.", "--XYZ", "Content-Type: text/plain", "", "Hello", "--XYZ",
                   "Content-Type: application/pdf; name=r.pdf", "Content-Transfer-Encoding: base64", "",
                   "JVBERi0xLjQK", "--XYZ--", "."}))
      .Close();
  Connect();
  ASSERT_EQ(GetFile(1), 0);
  EXPECT_EQ(Email(), "Received: from a relay\r\nSubject: Report\r\nMIME-Version: 1.0\r\n\r\nHello\r\n"
                     "[Attachment saved to \"" + attachDir_ + "/r.pdf\"]\r\n");
  EXPECT_EQ(ReadFileText(attachDir_ + "/r.pdf"), "%PDF-1.4\n");
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_COUNT), 1);
}

TEST_F(Retrieval, NegativeStatusFailsAtOnceAndStoresNothing) {
  Login().ExpectLine("RETR 9\r\n").Send("-ERR no such message\r\n").Close();
  Connect();
  EXPECT_EQ(GetFile(9), -63);
  EXPECT_EQ(Email(), "");
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/mail.txt"));
  EXPECT_EQ(Ch().EmailHandle, 0);
  EXPECT_EQ(Ch().ReplyCode, 500);
  char text[200];
  kelErrorText(0, -63, text, sizeof text);
  EXPECT_NE(std::string(text).find("-ERR no such message"), std::string::npos) << text;
}

TEST_F(Retrieval, ConnectionClosedInsideTheMessageIsAnError) {
  Login()
      .ExpectLine("RETR 1\r\n")
      .Send(Lines({"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b",
                   "Content-Type: text/plain; name=cut.txt", "Content-Transfer-Encoding: base64", "",
                   Base64("part one")}))
      .Close();
  Connect();
  EXPECT_EQ(GetFile(1), -1);
  // Both files were closed; the attachment, cut, is removed and has no note.
  EXPECT_EQ(Ch().EmailHandle, 0);
  EXPECT_EQ(Ch().FileHandle, 0);
  EXPECT_FALSE(std::filesystem::exists(attachDir_ + "/cut.txt"));
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n");
  EXPECT_EQ(Ch().AttachCount, 0);
}

TEST_F(Retrieval, RawModeKeepsEveryByte) {
  const std::string reply = "+OK 30 octets\r\nSubject: raw\r\n\r\n..\r\n..x\r\nbody\r\n.\r\n";
  Login().ExpectLine("RETR 2\r\n").Send(reply).Close();
  kelIntegerParam(0, KEL_RAW_MODE, 1);
  Connect();
  ASSERT_EQ(GetFile(2), 0);
  EXPECT_EQ(Email(), reply);
  EXPECT_EQ(Ch().DecodeState, RawMode);
  EXPECT_EQ(Ch().BodyBytesRead, reply.size());
  EXPECT_EQ(Ch().BodyBytesSent, reply.size());
}

TEST_F(Retrieval, RawRetrievalEndsWhenTheServerFallsSilent) {
  // The silence that ends the message is as long as the response time-out:
  // waiting it out must not count as a time-out of the retrieval.
  Login().ExpectLine("RETR 1\r\n").Send("+OK\r\nx\r\n.\r\n").Pause(1500).Close();
  kelIntegerParam(0, KEL_RAW_MODE, 1);
  Connect();
  kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, 200);
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 200);
  ASSERT_EQ(GetFile(1), 0);
  EXPECT_EQ(Email(), "+OK\r\nx\r\n.\r\n");
}

// A raw retrieval knows the message is whole only by its end line: one cut
// off, by a close or by silence, is a failure (-1, -8), never a saved message.
// The bytes that came stay in the email file for the caller to look at.
TEST_F(Retrieval, RawRetrievalWithoutTheEndLineFails) {
  const struct {
    const char *Sent;
    bool Close;
    int Result;
  } cases[] = {
      {"+OK\r\nSubject: half\r\n\r\nfirst half", true, -1},
      {"+OK\r\nSubject: half\r\n\r\nfirst half\r\n", false, -8},
      {"+OK\r\nx\r\n.\r", true, -1},               // the end line itself cut
      {"+OK\r\nx\r\n..\r\n", true, -1},             // a stuffed dot is no end line
      {"-ERR no such message\r\n", true, -1},
      {"+OK\r\n.\r\n", true, 0},                      // an empty message is whole
      {"+OK\nx\n.\n", true, 0},                        // line ends of LF alone
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Sent);
    ScriptServer server;
    server.Send("+OK ready\r\n").ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS pw\r\n").Send("+OK\r\n");
    server.ExpectLine("RETR 1\r\n").Send(c.Sent);
    if (c.Close) server.Close();
    else server.Pause(1000).Close();
    server.Start();
    kelIntegerParam(0, KEL_RAW_MODE, 1);
    kelIntegerParam(0, KEL_POP3_PORT, server.Port());
    ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
    kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, 200);
    EXPECT_EQ(GetFile(1), c.Result);
    EXPECT_EQ(Email(), c.Sent);
    kelAbort(0);
    kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, 25000);
    server.Finish();
  }
  server_.Start();
}

TEST_F(Retrieval, LinesLongerThanAPieceKeepTheirDots) {
  // A line cut at 1023 bytes whose later piece begins with dots, or is "." alone.
  const std::string a = std::string(1023, 'a') + "..";
  const std::string b = std::string(1023, 'b') + ".";
  const std::string c = std::string(2500, 'c');
  const std::string d = "." + std::string(1500, 'd');
  Login().ExpectLine("RETR 1\r\n").Send("+OK\r\n" + Lines({"Subject: long", "", a, b, c, "." + d, "."})).Close();
  Connect();
  ASSERT_EQ(GetFile(1), 0);
  EXPECT_TRUE(Email() == Lines({"Subject: long", "", a, b, c, d})) << Email().size();
}

// Without a trace log, lines whole in the receive stage are taken many to a
// step. Every kind of line, cut across receives at awkward places, comes
// out byte for byte as the ordinary reader (used with a log) gives it, in
// blocking and non-blocking mode.
TEST_F(Retrieval, ManyLinesAStepGiveWhatOneLineAStepGives) {
  const std::string data = BinaryBytes(60000, 3), small = BinaryBytes(700, 5);
  const std::string message =
      "+OK\r\n" +
      Lines({"Subject: many", "MIME-Version: 1.0", "Content-Type: multipart/mixed;", " boundary=\"b\"", "",
             "preamble", "--b", "Content-Type: text/plain", "", "..dot stuffed", std::string(1022, 'x'),
             std::string(1023, 'y'), std::string(1024, 'z'), std::string(3000, 'w'), "..",
             "begin 644 uu.txt", "&:&5L;&\\*\"@``", "`", "end", "--b",
             "Content-Type: application/octet-stream; name=\"big.bin\"", "Content-Transfer-Encoding: base64",
             ""}) +
      CutLines(Base64(data), {76}) +
      Lines({"--b", "Content-Type: text/plain; name=\"q.txt\"", "Content-Transfer-Encoding: quoted-printable", "",
             "caf=C3=A9 =", "soft", "=3D end", "--b", "Content-Type: message/rfc822", "", "Subject: inner",
             "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"in\"", "", "--in",
             "Content-Type: image/gif; name=\"i.gif\"", "Content-Transfer-Encoding: base64", ""}) +
      CutLines(Base64(small), {60}) + Lines({"--in--", "--b--", "epilogue", "."});
  std::vector<size_t> cuts;
  for (size_t at = 1; at < message.size(); at = at * 3 / 2 + 97) cuts.push_back(at);
  for (int run = 0; run < 4; run++) {
    if (run > 0) server_.Accept();
    Login().ExpectLine("RETR 1\r\n").SendSplit(message, cuts, 1).Pause(300).Close();
  }
  server_.Start();
  kelIntegerParam(0, KEL_POP3_PORT, server_.Port());
  std::string results[4];
  for (int run = 0; run < 4; run++) {
    const bool logged = run < 2, blocking = run % 2 == 0;
    SCOPED_TRACE(std::string(logged ? "trace log, " : "no log, ") + (blocking ? "blocking" : "non-blocking"));
    kelStringParam(0, KEL_LOG_FILE, logged ? log_.c_str() : "");
    ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
    kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, blocking);
    int rc = GetFile(1);
    for (rc = blocking ? rc : 1; rc > 0;) rc = kelDriver(0);
    EXPECT_EQ(rc, 0);
    kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
    kelClose(0);
    std::string &all = results[run];
    all = Email();
    for (const char *name : {"uu.txt", "big.bin", "q.txt", "part-4.eml", "i.gif"}) {
      all += std::string("\n== ") + name + "\n" + ReadFileText(attachDir_ + "/" + name);
      std::filesystem::remove(attachDir_ + "/" + name);
    }
    EXPECT_NE(all.find("== big.bin\n" + data + "\n== q.txt"), std::string::npos);
    EXPECT_NE(all.find("== i.gif\n" + small), std::string::npos);
    if (run > 0) {
      EXPECT_TRUE(all == results[0]) << all.size() << " " << results[0].size();
    }
  }
}

TEST_F(Retrieval, NumberedAttachmentsOverTwoMessages) {
  auto part = [](const std::string &name, const std::string &data) {
    return Lines({"--b", "Content-Type: text/plain; name=\"" + name + "\"", "Content-Transfer-Encoding: base64", "",
                  Base64(data)});
  };
  const std::string head = Lines({"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", ""});
  Login()
      .ExpectLine("RETR 1\r\n")
      .Send(head + part("a.txt", "A") + part("b.txt", "B") + Lines({"--b--", "."}))
      .ExpectLine("RETR 2\r\n")
      .Send(head + part("a.txt", "C") + Lines({"--b--", "."}))
      .Close();
  kelIntegerParam(0, KEL_NUMBER_FILENAMES, 1);
  Connect();
  ASSERT_EQ(GetFile(1, "one.txt"), 0);
  char list[1100];
  kelDebug(0, KEL_DEBUG_ATTACH_LIST, list, sizeof list);
  EXPECT_STREQ(list, "1-a.txt,2-b.txt");
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_COUNT), 2);
  ASSERT_EQ(GetFile(2, "two.txt"), 0);
  kelDebug(0, KEL_DEBUG_ATTACH_LIST, list, sizeof list);
  EXPECT_STREQ(list, "3-a.txt");
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_COUNT), 1);
  EXPECT_EQ(ReadFileText(attachDir_ + "/3-a.txt"), "C");
}

TEST_F(Retrieval, EmailPathsAreJoinedOnceAndNeverCut) {
  Login().ExpectLine("RETR 1\r\n").Send("+OK\r\nx\r\n.\r\n").Close();
  Connect();
  ASSERT_EQ(kelGetEmailFile(0, 1, "slash.txt", (dir_ + "/").c_str(), attachDir_.c_str()), 0);
  EXPECT_STREQ(Ch().EmailPath, (dir_ + "/slash.txt").c_str());
  EXPECT_EQ(Email("slash.txt"), "x\r\n");
  // One character beyond the 128 of the path: no file, no RETR.
  const std::string name(128 - dir_.size(), 'n');
  EXPECT_EQ(GetFile(1, name), -67);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/" + name));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/" + name.substr(1)));
  EXPECT_EQ(Sent(), "RETR 1\r\n");
}

TEST_F(Retrieval, MissingEmailDirectoryCannotCreateTheFile) {
  Login().Close();
  Connect();
  EXPECT_EQ(kelGetEmailFile(0, 1, "m.txt", (dir_ + "/missing").c_str(), attachDir_.c_str()), -67);
  EXPECT_EQ(Ch().EmailHandle, 0);
  EXPECT_EQ(Sent(), "");
}

// The email file is written through a buffer: a write that fails, at a
// flush in the middle of the message or at the close, fails the retrieval
// with -82 and the file's name and reason; it is never reported as saved.
TEST_F(Retrieval, FailedBufferedWriteOfTheEmailFileFailsTheRetrieval) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  std::string longMessage;
  for (int i = 0; i < 40; i++) longMessage += std::string(1000, 'b') + "\r\n";  // more than one buffer-full
  Login().ExpectLine("RETR 1\r\n").Send("+OK\r\nSubject: small\r\n\r\nhi\r\n.\r\n");
  server_.Accept();
  Login().ExpectLine("RETR 1\r\n").Send("+OK\r\n" + longMessage + ".\r\n");
  Connect();
  for (int round = 0; round < 2; round++) {
    if (round == 1) {
      ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
    }
    // The file "full" in /dev: every write fails with no space left, at the
    // close for the small message, at a flush inside the long one.
    EXPECT_EQ(kelGetEmailFile(0, 1, "full", "/dev", attachDir_.c_str()), -82) << round;
    char text[300];
    kelErrorText(0, -82, text, sizeof text);
    EXPECT_STREQ(text, "Cannot write file. '/dev/full': No space left on device");
    if (round == 0) {
      EXPECT_EQ(Ch().EmailHandle, 0);  // failed at its close
    }
    EXPECT_EQ(Ch().EmailOut.Fill, 0) << round;      // nothing held back for a later write
  }
}

// ---- TOP --------------------------------------------------------------------------

TEST_F(Retrieval, TopStoresStatusAndHeaderWithoutTerminator) {
  const std::string header = "Subject: top\r\n..dotted\r\nFrom: x\r\n\r\n";
  Login()
      .ExpectLine("TOP 2 0\r\n")
      .Send("+OK top of message\r\n" + header + ".\r\n")
      .ExpectLine("TOP 2 5\r\n")
      .Send("+OK\r\n" + std::string(300, 'z') + "\r\n.\r\n")
      .ExpectLine("TOP 7 0\r\n")
      .Send("-ERR no such message\r\n")
      .Close();
  Connect();
  char buffer[256];
  memset(buffer, '#', sizeof buffer);
  const std::string expected = "+OK top of message\r\nSubject: top\r\n.dotted\r\nFrom: x\r\n\r\n";
  EXPECT_EQ(kelGetEmailLines(0, 2, -4, buffer, 200), static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(buffer, expected.size()), expected);
  EXPECT_EQ(buffer[expected.size()], '#');
  // Cut at the capacity, the rest read and dropped.
  EXPECT_EQ(kelGetEmailLines(0, 2, 5, buffer, 128), 128);
  EXPECT_EQ(std::string(buffer, 128), "+OK\r\n" + std::string(123, 'z'));
  EXPECT_EQ(buffer[128], '#');
  EXPECT_EQ(kelGetEmailLines(0, 7, 0, buffer, 200), -63);
  EXPECT_EQ(Sent(), "TOP 2 0\r\nTOP 2 5\r\nTOP 7 0\r\n");
}

TEST_F(Retrieval, TopCutByAClosedConnectionIsAnError) {
  Login().ExpectLine("TOP 1 0\r\n").Send("+OK\r\nSubject: cut\r\n").Close();
  Connect();
  char buffer[200];
  EXPECT_EQ(kelGetEmailLines(0, 1, 0, buffer, sizeof buffer), -1);
  EXPECT_EQ(Ch().BufferUsed, 19);
}

}  // namespace

// ---- Non-blocking retrieval -------------------------------------------------------------------

// A message arriving in small pieces with pauses decodes exactly as in
// blocking mode (folded header lines joined, the attachment named by a
// folded line), while no single step waits for the rest of a line or for
// the lines folded under it; the raw variant counts its silence across steps.
TEST_F(Retrieval, NonBlockingStepsNeverWaitAndDecodeAsBlockingDoes) {
  const std::string message = Lines(
      {"+OK", "Subject: =?iso-8859-1?q?caf=E9?=", " =?iso-8859-1?q?_au_lait?=", "MIME-Version: 1.0",
       "Content-Type: multipart/mixed;", " boundary=\"b\"", "", "--b", "Content-Type: text/plain;",
       " name=\"folded.txt\"", "Content-Transfer-Encoding: base64", "", Base64("part one"), "--b--", "."});
  std::vector<size_t> cuts;
  for (size_t at = 3; at < message.size(); at += 7) cuts.push_back(at);
  for (int raw = 0; raw < 2; raw++)
    for (int blocking = 1; blocking >= 0; blocking--) {
      if (raw || !blocking) server_.Accept();
      Login().ExpectLine("RETR 1\r\n").SendSplit(message, cuts, 3).Pause(400).Close();
    }
  Connect();
  kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, 300);
  std::string files[2][2];
  for (int raw = 0; raw < 2; raw++) {
    for (int blocking = 1; blocking >= 0; blocking--) {
      SCOPED_TRACE(std::string(raw ? "raw " : "") + (blocking ? "blocking" : "non-blocking"));
      if (raw || !blocking) {
        ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw"), 0);
      }
      kelIntegerParam(0, KEL_RAW_MODE, raw);
      kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, blocking);
      if (!raw) std::filesystem::remove(attachDir_ + "/folded.txt");  // the same message again keeps its names
      int rc = GetFile(1, "nb.txt");
      long longest = 0;
      int waiting = 0;
      for (rc = blocking ? rc : 1; rc > 0;) {
        const auto before = std::chrono::steady_clock::now();
        rc = kelDriver(0);
        longest = std::max<long>(
            longest, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count());
        if (rc == KEL_WAITING) waiting++;
      }
      EXPECT_EQ(rc, 0);
      files[raw][blocking] = Email("nb.txt");
      if (!blocking) {
        EXPECT_LT(longest, 100);
        EXPECT_GT(waiting, 10);
      }
      kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
      kelClose(0);
    }
    EXPECT_EQ(files[raw][0], files[raw][1]);
  }
  EXPECT_EQ(files[1][0], message);
  EXPECT_NE(files[0][0].find("Subject: caf\xe9"), std::string::npos) << files[0][0];
  EXPECT_EQ(ReadFileText(attachDir_ + "/folded.txt"), "part one");
}
