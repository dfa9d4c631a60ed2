// Fault injection over every point of the SMTP and POP3 dialogues where the
// library awaits the server: the scripted server closes, resets, stalls,
// answers garbage or sends a line without its end at that point. Every case
// checks that the operation is not reported as done, that it ends within
// the configured limits, that no descriptor is left open, and that no file
// lands outside its directory.
#include <dirent.h>
#include <cerrno>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "kel32.h"

namespace {

// Short limits so that a stall costs little; a case that waited for a
// default limit (25 s) would break the time bound below. The response
// time-out must outlast the 200 ms pause after HELO and the logins.
constexpr int Limit = 250;          // receive and send time-outs
constexpr int ReplyLimit = 500;     // response time-out
// The longest wait a case may see: the rest of a message line (four times
// the receive time-out), one response and one send time-out, the pause of a
// socket close, and a margin for a loaded machine.
constexpr int Bound = 4 * Limit + ReplyLimit + Limit + 500 + 2000;

int OpenDescriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n - 1;  // the directory's own descriptor
}

enum Fault { Close, Reset, Stall, Garbage, Partial };
const char *const FaultNames[] = {"close", "reset", "stall", "garbage", "partial"};

struct Point {
  const char *Name;
  char Protocol;  // 'S' or 'P'
  // The script up to the point (the server is about to answer).
  std::function<void(ScriptServer &)> Script;
  // The operation that meets the fault; earlier calls run before it.
  std::function<int()> Before, Operation;
  bool QuitPoint = false;  // a close there ends the session as well as a reply
};

const std::string Attachment = "big.bin";

ScriptServer &SmtpGreet(ScriptServer &s) {
  return s.Send("220 ready\r\n").ExpectLine("HELO example.com\r\n").Send("250 hello\r\n");
}
ScriptServer &SmtpEnvelope(ScriptServer &s) {
  return SmtpGreet(s)
      .ExpectLine("MAIL FROM:<me@example.com>\r\n")
      .Send("250 ok\r\n")
      .ExpectLine("RCPT TO:<you@example.com>\r\n")
      .Send("250 ok\r\n")
      .ExpectLine("DATA\r\n");
}
ScriptServer &Pop3Login(ScriptServer &s) {
  return s.Send("+OK ready\r\n").ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS pw\r\n").Send("+OK in\r\n");
}

int SmtpConnect() { return kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr); }
int Pop3Connect() { return kelPop3Connect(0, "127.0.0.1", "joe", "pw"); }
int Send(const char *attachments = nullptr) {
  return kelSendEmail(0, "<you@example.com>", nullptr, nullptr, "s", "line one\r\nline two\r\n", attachments);
}
std::string Directory;  // the case's directory: mail/ and att/ below it
int GetFile() {
  const std::string mail = Directory + "/mail", att = Directory + "/att";
  return kelGetEmailFile(0, 1, "m.txt", mail.c_str(), att.c_str());
}
int None() { return 0; }

int UseAuth() {
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "joe");
  kelStringParam(0, KEL_SMTP_PASS, "pw");
  return 0;
}

const char MimeStart[] =
    "+OK\r\nSubject: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
    "Content-Type: application/octet-stream; name=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename=\"a.bin\"\r\n\r\nAAECAwQF\r\n";

std::vector<Point> Points() {
  std::vector<Point> p;
  auto smtp = [&](const char *name, std::function<void(ScriptServer &)> script, std::function<int()> before,
                  std::function<int()> op, bool quit = false) { p.push_back({name, 'S', script, before, op, quit}); };
  auto pop3 = [&](const char *name, std::function<void(ScriptServer &)> script, std::function<int()> before,
                  std::function<int()> op, bool quit = false) { p.push_back({name, 'P', script, before, op, quit}); };
  smtp("Greeting", [](ScriptServer &) {}, None, SmtpConnect);
  smtp("HeloReply", [](ScriptServer &s) { s.Send("220 ready\r\n").ExpectLine("HELO example.com\r\n"); }, None,
       SmtpConnect);
  smtp("EhloReply", [](ScriptServer &s) { s.Send("220 ready\r\n").ExpectLine("EHLO example.com\r\n"); },
       UseAuth, SmtpConnect);
  auto ehlo = [](ScriptServer &s, const char *auth) {
    s.Send("220 ready\r\n").ExpectLine("EHLO example.com\r\n").Send(std::string("250-hi\r\n250 AUTH ") + auth + "\r\n");
  };
  smtp("AuthLoginFirstPrompt", [&](ScriptServer &s) { ehlo(s, "LOGIN"); s.ExpectLine("AUTH LOGIN\r\n"); },
       UseAuth, SmtpConnect);
  smtp("AuthLoginSecondPrompt",
       [&](ScriptServer &s) { ehlo(s, "LOGIN"); s.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n").ExpectLine("am9l\r\n"); },
       UseAuth, SmtpConnect);
  smtp("AuthLoginResult",
       [&](ScriptServer &s) {
         ehlo(s, "LOGIN");
         s.ExpectLine("AUTH LOGIN\r\n").Send("334 VXNlcm5hbWU6\r\n").ExpectLine("am9l\r\n").Send("334 UGFzc3dvcmQ6\r\n");
         s.ExpectLine("cHc=\r\n");
       },
       UseAuth, SmtpConnect);
  smtp("CramChallenge", [&](ScriptServer &s) { ehlo(s, "CRAM-MD5"); s.ExpectLine("AUTH CRAM-MD5\r\n"); },
       UseAuth, SmtpConnect);
  smtp("CramResult",
       [&](ScriptServer &s) { ehlo(s, "CRAM-MD5"); s.ExpectLine("AUTH CRAM-MD5\r\n").Send("334 PDEyMz4=\r\n").ReadUntil("\n"); },
       UseAuth, SmtpConnect);
  smtp("MailFromReply", [](ScriptServer &s) { SmtpGreet(s).ExpectLine("MAIL FROM:<me@example.com>\r\n"); }, SmtpConnect,
       [] { return Send(); });
  smtp("RcptToReply",
       [](ScriptServer &s) { SmtpGreet(s).ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n").ExpectLine("RCPT TO:<you@example.com>\r\n"); },
       SmtpConnect, [] { return Send(); });
  smtp("DataReply", [](ScriptServer &s) { SmtpEnvelope(s); }, SmtpConnect, [] { return Send(); });
  // The fault meets the message text: an attachment file is open meanwhile.
  smtp("MessageText", [](ScriptServer &s) { SmtpEnvelope(s).Send("354 go\r\n").ReadUntil("Subject: s\r\n"); },
       SmtpConnect, [] { return Send((Directory + "/" + Attachment).c_str()); });
  smtp("EndOfDataReply", [](ScriptServer &s) { SmtpEnvelope(s).Send("354 go\r\n").ReadData(); }, SmtpConnect,
       [] { return Send(); });
  smtp("VrfyReply", [](ScriptServer &s) { SmtpGreet(s).ExpectLine("VRFY joe\r\n"); }, SmtpConnect,
       [] { return kelVerifyUser(0, "joe"); });
  smtp("CommandReply", [](ScriptServer &s) { SmtpGreet(s).ExpectLine("NOOP\r\n"); }, SmtpConnect,
       [] { return kelCommand(0, "NOOP"); });
  smtp("QuitReply", [](ScriptServer &s) { SmtpGreet(s).ExpectLine("QUIT\r\n"); }, SmtpConnect,
       [] { return kelClose(0); }, true);

  pop3("Greeting", [](ScriptServer &) {}, None, Pop3Connect);
  pop3("UserReply", [](ScriptServer &s) { s.Send("+OK ready\r\n").ExpectLine("USER joe\r\n"); }, None, Pop3Connect);
  pop3("PassReply", [](ScriptServer &s) { s.Send("+OK ready\r\n").ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS pw\r\n"); },
       None, Pop3Connect);
  pop3("StatReply", [](ScriptServer &s) { Pop3Login(s).ExpectLine("STAT\r\n"); }, Pop3Connect,
       [] { return kelGetEmailCount(0); });
  pop3("ListReply", [](ScriptServer &s) { Pop3Login(s).ExpectLine("LIST 1\r\n"); }, Pop3Connect,
       [] { return kelGetEmailSize(0, 1); });
  pop3("DeleReply", [](ScriptServer &s) { Pop3Login(s).ExpectLine("DELE 1\r\n"); }, Pop3Connect,
       [] { return kelDeleteEmail(0, 1); });
  static char uid[256];
  pop3("UidlStatus", [](ScriptServer &s) { Pop3Login(s).ExpectLine("UIDL\r\n"); }, Pop3Connect,
       [] { return kelGetEmailUID(0, -1, uid, sizeof uid); });
  pop3("UidlList", [](ScriptServer &s) { Pop3Login(s).ExpectLine("UIDL\r\n").Send("+OK\r\n1 a\r\n"); }, Pop3Connect,
       [] { return kelGetEmailUID(0, -1, uid, sizeof uid); });
  pop3("RetrStatus", [](ScriptServer &s) { Pop3Login(s).ExpectLine("RETR 1\r\n"); }, Pop3Connect, GetFile);
  pop3("RetrAttachment", [](ScriptServer &s) { Pop3Login(s).ExpectLine("RETR 1\r\n").Send(MimeStart); }, Pop3Connect,
       GetFile);
  static char top[256];
  pop3("TopText", [](ScriptServer &s) { Pop3Login(s).ExpectLine("TOP 1 0\r\n").Send("+OK\r\nSubject: x\r\n"); },
       Pop3Connect, [] { return kelGetEmailLines(0, 1, 0, top, sizeof top); });
  pop3("CommandReply", [](ScriptServer &s) { Pop3Login(s).ExpectLine("NOOP\r\n"); }, Pop3Connect,
       [] { return kelCommand(0, "NOOP"); });
  pop3("QuitReply", [](ScriptServer &s) { Pop3Login(s).ExpectLine("QUIT\r\n"); }, Pop3Connect,
       [] { return kelClose(0); }, true);
  return p;
}

void PrintTo(const Point &point, std::ostream *out) { *out << point.Protocol << ' ' << point.Name; }

// The loop of kelWait and kelDriver the header describes, until the
// operation ends or the bound is far passed; returns the last result.
int DriveWithWait(std::chrono::steady_clock::time_point start) {
  const unsigned list[1] = {0};
  int ready[1] = {0};
  for (;;) {
    const long spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (spent > 3 * Bound) return 1;
    const int found = kelWait(list, 1, 3 * Bound, ready);
    if (found < 0) return found;
    if (found == 0 || !ready[0]) continue;
    const int rc = kelDriver(0);
    if (rc <= 0) return rc;
  }
}

class FaultTest : public AttachedTest, public ::testing::WithParamInterface<Point> {
 protected:
  // Plays one fault at the point; returns the operation's result.
  // Non-blocking runs are driven by bare steps, or by kelWait with a step
  // for each channel it reports ready (withWait).
  void RunFault(const Point &point, Fault fault, bool blocking, bool withWait = false) {
    SCOPED_TRACE(std::string(point.Name) + " " + FaultNames[fault] + (blocking ? "" : " non-blocking") +
                 (withWait ? " with kelWait" : ""));
    Directory = dir_ + "/" + FaultNames[fault] + (blocking ? "" : withWait ? "-wait" : "-nb");
    std::filesystem::create_directories(Directory + "/mail");
    std::filesystem::create_directories(Directory + "/att");
    WriteFileText(Directory + "/" + Attachment, std::string(512 * 1024, 'x'));
    const int descriptors = OpenDescriptors();
    int rc = 0;
    long elapsed = 0;
    {
      ScriptServer server;
      server.SetReadTimeout(Bound);
      point.Script(server);
      const std::string garbage = point.Protocol == 'S' ? "-1\r\n" : "OK\r\n";
      switch (fault) {
        case Close: server.Close(); break;
        case Reset: server.Reset(); break;
        case Stall: server.Stall(); break;
        case Garbage: server.Send(garbage).Stall(); break;
        case Partial: server.Send(point.Protocol == 'S' ? "250 que" : "+OK que").Stall(); break;
      }
      server.Start();
      Ch().SmtpPort = Ch().Pop3Port = server.Port();
      kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, ReplyLimit);
      kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, Limit);
      kelIntegerParam(0, KEL_SEND_TIMEOUT, Limit);
      kelIntegerParam(0, KEL_STEP_DELAY, 0);
      kelIntegerParam(0, KEL_SLEEP_TIME, 5);
      kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
      ASSERT_EQ(point.Before(), 0);
      kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, blocking ? 1 : 0);
      const auto start = std::chrono::steady_clock::now();
      long longestStep = 0;
      rc = point.Operation();
      if (!blocking && rc == 0 && withWait) {
        rc = DriveWithWait(start);
        // The next call on the channel, whatever the failure left of its
        // connection, is reported ready and ends in time too.
        const auto next = std::chrono::steady_clock::now();
        if (kelClose(0) == 0) {
          EXPECT_LE(DriveWithWait(next), 0);
        }
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - next).count(),
                  Bound)
            << "the next call waited";
      } else if (!blocking && rc == 0) {
        // Driven step by step: no single step may wait for the server.
        for (rc = 1; rc > 0;) {
          const auto before = std::chrono::steady_clock::now();
          rc = kelDriver(0);
          const long step = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count();
          if (step > longestStep) longestStep = step;
          if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(3 * Bound)) break;
        }
      }
      elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      EXPECT_LT(longestStep, Limit) << "a non-blocking step waited";
      kelAbort(0);  // in case the channel was left connected; a no-op otherwise
    }
    // A close or a reset instead of the answer to QUIT ends the session as
    // well as a reply; every other case is not done.
    if (point.QuitPoint && (fault == Close || fault == Reset)) EXPECT_EQ(rc, 0);
    else EXPECT_LT(rc, 0) << "reported as done";
    EXPECT_LT(elapsed, Bound);
    EXPECT_EQ(OpenDescriptors(), descriptors) << "descriptors left open";
    // Only the email file in mail/, only attachments in att/, nothing else.
    for (const auto &entry : std::filesystem::recursive_directory_iterator(Directory)) {
      const std::string path = entry.path().string();
      const bool expected = path == Directory + "/mail" || path == Directory + "/att" ||
                            path == Directory + "/" + Attachment || path == Directory + "/mail/m.txt" ||
                            path.rfind(Directory + "/att/", 0) == 0;
      EXPECT_TRUE(expected) << path;
    }
  }
};

TEST_P(FaultTest, EveryFaultFailsInTimeAndLeavesNothingOpen) {
  for (Fault fault : {Close, Reset, Stall, Garbage, Partial}) RunFault(GetParam(), fault, true);
}

TEST_P(FaultTest, NonBlockingStepsNeverWaitForAFaultyServer) {
  for (Fault fault : {Stall, Partial, Garbage}) RunFault(GetParam(), fault, false);
}

// A channel whose connection failed (its socket gone) is reported ready by
// kelWait, whatever its state: no channel sleeps past its deadline.
TEST_P(FaultTest, KelWaitNeverSleepsPastAFailure) {
  for (Fault fault : {Close, Reset, Stall, Garbage, Partial}) RunFault(GetParam(), fault, false, true);
}

INSTANTIATE_TEST_SUITE_P(Points, FaultTest, ::testing::ValuesIn(Points()),
                         [](const ::testing::TestParamInfo<Point> &info) {
                           return std::string(info.param.Protocol == 'S' ? "Smtp" : "Pop3") + info.param.Name;
                         });

}  // namespace

// ---- Faults of the files a retrieval writes ---------------------------------------
// Every create, write (at a flush inside the message, a line of an attached
// message, the close's flush) and close of a retrieval fails once in turn,
// as on a full disk: the retrieval fails with the file's own code and
// reason, every attachment file left is whole, and no descriptor is left.

namespace {

int FileOps = 0, FailAt = 0;
int CountFileOp(int, int) { return ++FileOps == FailAt ? ENOSPC : 0; }

class FileFaultTest : public AttachedTest {};

TEST_F(FileFaultTest, EveryFailedFileOperationFailsTheRetrievalAndLeavesNoCutFile) {
  const std::string big = std::string(30000, 'q') + "\x01\x02\xff" + std::string(10000, 'z');
  const std::string inner = "Subject: inner\r\n\r\nline one\r\nline two\r\n";
  std::string text;
  for (int i = 0; i < 300; i++) text += "text line " + std::to_string(i) + " of the body, long enough\r\n";
  std::string b64;
  {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < big.size(); i += 3) {
      unsigned v = static_cast<unsigned char>(big[i]) << 16;
      if (i + 1 < big.size()) v |= static_cast<unsigned char>(big[i + 1]) << 8;
      if (i + 2 < big.size()) v |= static_cast<unsigned char>(big[i + 2]);
      b64 += alphabet[(v >> 18) & 63];
      b64 += alphabet[(v >> 12) & 63];
      b64 += i + 1 < big.size() ? alphabet[(v >> 6) & 63] : '=';
      b64 += i + 2 < big.size() ? alphabet[v & 63] : '=';
      if (b64.size() % 78 == 76) b64 += "\r\n";
    }
  }
  const std::string message =
      "+OK\r\nSubject: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: text/plain\r\n\r\n" + text + "--b\r\n"
      "Content-Type: application/octet-stream; name=\"big.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + b64 +
      "\r\n--b\r\nContent-Type: message/rfc822; name=\"inner.eml\"\r\n\r\n" + inner +
      "--b\r\nContent-Type: text/plain; name=\"small.txt\"\r\n\r\ntail\r\n--b--\r\n.\r\n";
  // The attached message's last line end belongs to the boundary after it.
  const std::map<std::string, std::string> whole = {
      {"big.bin", big}, {"inner.eml", inner.substr(0, inner.size() - 2)}, {"small.txt", "tail"}};
  PlatformSetFileFault(CountFileOp);
  int total = 0;
  // A short directory: the names must not meet the library's path limit.
  const std::string base = TestDirectory("ff");
  for (FailAt = 0;; FailAt++) {
    SCOPED_TRACE("file operation " + std::to_string(FailAt) + " fails");
    const std::string dir = base + "/" + std::to_string(FailAt);
    std::filesystem::create_directories(dir + "/att");
    ScriptServer server;
    Pop3Login(server).ExpectLine("RETR 1\r\n").Send(message).ExpectLine("QUIT\r\n").Send("+OK\r\n").Close();
    server.Start();
    Ch().Pop3Port = server.Port();
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    const int descriptors = OpenDescriptors();
    ASSERT_EQ(Pop3Connect(), 0);
    FileOps = 0;
    const int rc = kelGetEmailFile(0, 1, "m.txt", dir.c_str(), (dir + "/att").c_str());
    const int ops = FileOps;
    if (FailAt == 0) {
      // The count of the operations of a retrieval that goes well.
      ASSERT_EQ(rc, 0);
      total = ops;
      for (const auto &file : whole) EXPECT_EQ(ReadFileText(dir + "/att/" + file.first), file.second);
    } else {
      EXPECT_TRUE(rc == -82 || rc == -83 || rc == -67) << rc;
      char reason[400];
      kelErrorText(0, rc, reason, sizeof reason);
      EXPECT_NE(std::string(reason).find(": No space left on device"), std::string::npos) << reason;
      EXPECT_NE(std::string(reason).find(dir), std::string::npos) << reason;
      // Whatever file is left is whole.
      for (const auto &entry : std::filesystem::directory_iterator(dir + "/att")) {
        const std::string name = entry.path().filename().string();
        ASSERT_TRUE(whole.count(name)) << name;
        EXPECT_TRUE(ReadFileText(entry.path().string()) == whole.at(name)) << name << " is cut";
      }
    }
    if (FailAt == 0) {
      EXPECT_EQ(kelClose(0), 0);
      EXPECT_TRUE(server.Finish()) << server.Failures();
    } else {
      // A failed retrieval ends the connection; the script is cut short with it.
      EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET), -1);
      kelAbort(0);
      server.Finish();
    }
    // (The scripted server has let its connection go by now.)
    EXPECT_EQ(OpenDescriptors(), descriptors) << "descriptors left open";
    if (FailAt > 0 && FailAt >= total) break;
  }
  EXPECT_GE(total, 12) << total;
}

}  // namespace
