// The driver frame: the checks and waits of one step, the trace lines, the
// error exit, unknown states and the blocking loop.
#include <fcntl.h>

#include <string>

#include "driver/driver.h"
#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "net/socket.h"

namespace {

uint32_t FakeNow;
uint32_t FakeTick() { return FakeNow; }

class Frame : public AttachedTest {
 protected:
  void SetUp() override {
    AttachedTest::SetUp();
    FakeNow = 1000;
    PlatformSetTickSource(FakeTick);
  }
  std::string BareLog(unsigned n = 0) {
    std::string path = dir_ + "/frame" + std::to_string(n) + ".log";
    Ch(n).LogHandle = PlatformFileCreate(path.c_str());
    EXPECT_GT(Ch(n).LogHandle, 0);
    return path;
  }
};

TEST_F(Frame, EntryChecks) {
  EXPECT_EQ(kelDriver(4), -73);
  EXPECT_EQ(kelDriver(0xFFFFFFFFu), -73);
  kelRelease();
  EXPECT_EQ(kelDriver(0), -71);
  ASSERT_EQ(kelAttach(4, 0), 1);
}

TEST_F(Frame, IdleStepsTraceEveryTime) {
  std::string log = BareLog();
  Ch().SendLine[0] = 'x';
  Ch().Response[0] = 'x';
  Ch().NotBefore = 900;
  Ch().Deadline = 5000;
  EXPECT_EQ(kelDriver(0), 0);
  EXPECT_EQ(Ch().SendLine[0], 0);
  EXPECT_EQ(Ch().Response[0], 0);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  EXPECT_EQ(Ch().ThisState, -1);
  EXPECT_EQ(Ch().PrevState, -2);  // idle does not touch it
  FakeNow = 1001;
  EXPECT_EQ(kelDriver(0), 0);
  EXPECT_EQ(Ch().StepCount, 0u);  // idle steps are not counted
  EXPECT_EQ(ReadFileText(log), "<  0:1000>\r\n<  0:1001>\r\n");
}

TEST_F(Frame, UnknownStateIsLoggedAndReturned) {
  std::string log = BareLog();
  Ch().NextState = 99;
  EXPECT_EQ(kelDriver(0), 99);
  EXPECT_EQ(kelDriver(0), 99);  // a repeated state is traced once
  EXPECT_EQ(Ch().PrevState, 99);
  EXPECT_EQ(Ch().ThisState, -1);
  EXPECT_EQ(Ch().StepCount, 2u);
  Ch().NextState = 102;  // handled as 101
  Ch().AfterConnectState = 0;
  EXPECT_EQ(kelDriver(0), 104);
  Ch().NextState = -5;
  EXPECT_EQ(kelDriver(0), -5);
  Ch().NextState = 1000;
  EXPECT_EQ(kelDriver(0), 1000);
  EXPECT_EQ(Ch().StepCount, 4u);
  const std::string text = ReadFileText(log);
  char host[256];
  GetLocalHostName(host, sizeof host);
  EXPECT_EQ(text, "< 99:1000>\r\nERROR! Unknown state 99\r\nERROR! Unknown state 99\r\n<102:1000>\r\nLocalHost = '" +
                      std::string(host) + "'\r\n< -5:1000>\r\nERROR! Unknown state -5\r\n<1000:1000>\r\n" +
                      "ERROR! Unknown state 1000\r\n");
}

// The lookup every step makes: each listed state by its own number and
// handler, nothing between them, below them or past the last.
TEST(StateTable, EveryStateFoundByItsNumberAndNothingElse) {
  struct Listed {
    int Number;
    StateHandler Run;
  };
  const Listed listed[] = {
#define KEL_STATE(number, name, handler) {State::name, handler},
#include "driver/states.def"
#undef KEL_STATE
  };
  int found = 0;
  for (int n = -3; n <= 2100; n++) {
    const StateEntry *entry = FindState(n);
    const Listed *want = nullptr;
    for (const Listed &l : listed)
      if (l.Number == n) want = &l;
    if (!want) {
      EXPECT_EQ(entry, nullptr) << n;
      continue;
    }
    ASSERT_NE(entry, nullptr) << n;
    EXPECT_EQ(entry->Number, n);
    EXPECT_EQ(entry->Run, want->Run) << n;
    found++;
  }
  EXPECT_EQ(found, static_cast<int>(std::size(listed)));
}

TEST_F(Frame, NotBeforeComesFirst) {
  std::string log = BareLog();
  Ch().NextState = 99;
  Ch().NotBefore = 1100;
  Ch().Deadline = 500;  // passed, but not tested while NotBefore is ahead
  Ch().WaitWritable = 1;
  EXPECT_EQ(kelDriver(0), KEL_WAITING);
  EXPECT_EQ(Ch().NextState, 99);
  EXPECT_EQ(Ch().WaitWritable, 1);
  EXPECT_EQ(Ch().StepCount, 0u);
  EXPECT_EQ(ReadFileText(log), "");
  FakeNow = 1100;  // NotBefore reached: the deadline now counts
  EXPECT_EQ(kelDriver(0), -8);
}

TEST_F(Frame, DeadlineBeforeWaitWritable) {
  ScriptServer server;
  server.Send("220 here already\r\n").Stall();
  server.Start();
  Ch().NonBlockConnect = 0;
  ASSERT_GT(OpenSocket(0), 0);
  ASSERT_EQ(ConnectSocket(0, 0x7F000001, server.Port()), 1);
  std::string log = BareLog();
  Ch().PrevState = 201;
  Ch().NextState = 201;
  Ch().Deadline = 999;
  Ch().WaitWritable = 1;  // the socket is writable and a reply is there: the deadline still wins
  EXPECT_EQ(kelDriver(0), -8);
  EXPECT_EQ(Ch().NextState, 0);
  EXPECT_EQ(Ch().PrevState, -1);
  EXPECT_EQ(Ch().SockCode, 0);
  EXPECT_EQ(Ch().Socket, NoSocket);
  EXPECT_EQ(ReadFileText(log),
            "ERROR(1000): SockCode=0 KelCode=-8 PrevState=201 ThisState=-1 NextState=201\r\n"
            "Socket timed out.Closing socket\r\n");
  // Deadline reached but not passed: the step runs.
  Ch().NextState = 99;
  Ch().Deadline = 1000;
  EXPECT_EQ(kelDriver(0), 99);
}

TEST_F(Frame, WaitWritableHoldsUntilTheSocketTakesData) {
  ScriptServer server;
  server.Stall();
  server.Start();
  Ch().NonBlockConnect = 0;
  ASSERT_GT(OpenSocket(0), 0);
  ASSERT_EQ(ConnectSocket(0, 0x7F000001, server.Port()), 1);
  // Fill the send buffer of a peer that reads nothing.
  PlatformSocketSetNonBlocking(Ch().Socket, true);
  static char block[65536];
  while (PlatformSocketSend(Ch().Socket, block, sizeof block) > 0) {
  }
  Ch().NextState = 99;
  Ch().WaitWritable = 1;
  EXPECT_EQ(kelDriver(0), KEL_WAITING);
  EXPECT_EQ(Ch().WaitWritable, 1);
  EXPECT_EQ(Ch().StepCount, 0u);
  Ch().WaitWritable = 0;
  EXPECT_EQ(kelDriver(0), 99);
}

TEST_F(Frame, TickComparisonsSurviveTheWrap) {
  Ch().NextState = 99;
  FakeNow = 0x10;
  Ch().NotBefore = 0xFFFFFFF0u;  // just before the wrap: passed
  Ch().Deadline = 0x20;          // just after now: not passed
  EXPECT_EQ(kelDriver(0), 99);
  FakeNow = 0xFFFFFFF0u;
  Ch().NotBefore = 0x10;  // ahead, across the wrap
  EXPECT_EQ(kelDriver(0), KEL_WAITING);
  FakeNow = 0x21;
  Ch().NotBefore = 0;
  EXPECT_EQ(kelDriver(0), -8);  // passed, across the wrap
}

TEST_F(Frame, TickPrintedAsSigned) {
  std::string log = BareLog();
  FakeNow = 0x80000005u;
  EXPECT_EQ(kelDriver(0), 0);
  EXPECT_EQ(ReadFileText(log), "<  0:-2147483643>\r\n");
}

TEST_F(Frame, ErrorExitLogsBothTextsAndLeavesIdle) {
  std::string log = BareLog();
  Ch().PrevState = 104;
  Ch().ThisState = 105;
  Ch().NextState = 105;
  EXPECT_EQ(driverFail(Ch(), -10061, -36), -36);
  EXPECT_EQ(Ch().NextState, 0);
  EXPECT_EQ(Ch().PrevState, 105);
  EXPECT_EQ(Ch().ThisState, -1);
  EXPECT_EQ(Ch().SockCode, -10061);
  EXPECT_EQ(ReadFileText(log),
            "ERROR(1000): SockCode=-10061 KelCode=-36 PrevState=104 ThisState=105 NextState=105\r\n"
            "Error attempting to connect. Connection refused by remote host.Closing socket\r\n");
}

TEST_F(Frame, ErrorExitWithoutLog) {
  Ch().ThisState = 106;
  EXPECT_EQ(driverFail(Ch(), 0, -36), -36);
  EXPECT_EQ(Ch().PrevState, 106);
  EXPECT_EQ(Ch().NextState, 0);
  EXPECT_EQ(Ch().Socket, NoSocket);
}

TEST_F(Frame, VersionLine) {
  std::string log = BareLog();
  WriteVersionLine(Ch());
  EXPECT_EQ(ReadFileText(log), "KEL Win32 Version 3.4.1 Build 17\r\n");
  EXPECT_EQ(kelStatistics(0, KEL_STAT_BUILD), 17);
}

// ---- The blocking loop ---------------------------------------------------------------

class BlockingLoop : public AttachedTest {
 protected:
  std::string LogFor(unsigned n) {
    std::string path = dir_ + "/loop" + std::to_string(n) + ".log";
    Ch(n).LogHandle = PlatformFileCreate(path.c_str());
    return path;
  }
  // The log with tick values, socket numbers and ports taken out.
  static std::string Plain(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
      out += text[i++];
      const bool numbered = EndsWith(out, ":") || EndsWith(out, "ERROR(") || EndsWith(out, "Socket=") ||
                            EndsWith(out, "RemotePort=");
      if (!numbered) continue;
      size_t j = i;
      if (j < text.size() && text[j] == '-') j++;
      while (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) j++;
      if (j > i) out += 'N';
      i = j;
    }
    return out;
  }
  static bool EndsWith(const std::string &text, const char *end) {
    const size_t n = strlen(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
  }
  void StartConnect(unsigned n, uint16_t port, int afterConnect) {
    strcpy(Ch(n).Server, "127.0.0.1");
    Ch(n).Port = port;
    Ch(n).AfterConnectState = afterConnect;
    Ch(n).NextState = 101;
  }
  // The loop of the blocking calls as first designed: bare steps, yielding between them.
  static int BareLoop(unsigned n) {
    for (;;) {
      int rc = kelDriver(n);
      if (rc < 1) return rc;
      PlatformSleep(0);
    }
  }
};

TEST_F(BlockingLoop, SameResultAndLogAsBareSteps) {
  ScriptServer a, b;
  a.Stall();
  b.Stall();
  a.Start();
  b.Start();
  std::string logA = LogFor(0), logB = LogFor(1);
  Settings.StepDelay = 200;  // NotBefore waits the loop sleeps through
  StartConnect(0, a.Port(), 0);
  StartConnect(1, b.Port(), 0);
  EXPECT_EQ(RunBlocking(0), 0);
  EXPECT_EQ(BareLoop(1), 0);
  EXPECT_EQ(Plain(ReadFileText(logA)), Plain(ReadFileText(logB)));
  EXPECT_EQ(Ch(0).StepCount, Ch(1).StepCount);
  EXPECT_NE(Ch(0).Socket, NoSocket);
}

TEST_F(BlockingLoop, SlowReplySameAsBareSteps) {
  // The reply state finds nothing to read for a while: the loop sleeps on
  // the socket, and the session still reads exactly as bare steps do.
  ScriptServer a, b;
  for (ScriptServer *server : {&a, &b}) {
    server->Pause(300).Send("220 slow ESMTP\r\n").ReadUntil("\r\n").Send("250 ok\r\n").Stall();
    server->Start();
  }
  Ch(0).SmtpPort = a.Port();
  Ch(1).SmtpPort = b.Port();
  Ch(1).AutoCall = 0;
  std::string logA = LogFor(0), logB = LogFor(1);
  EXPECT_EQ(kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr), 0);
  EXPECT_EQ(kelSmtpConnect(1, "127.0.0.1", "<me@example.com>", nullptr), 0);
  EXPECT_EQ(BareLoop(1), 0);
  EXPECT_EQ(Plain(ReadFileText(logA)), Plain(ReadFileText(logB)));
  EXPECT_NE(ReadFileText(logA).find("P: 220 slow ESMTP\r\n"), std::string::npos);
  EXPECT_EQ(a.Received(), b.Received());
}

TEST_F(BlockingLoop, FailureEndsTheLoop) {
  std::string logA = LogFor(0), logB = LogFor(1);
  StartConnect(0, ClosedLoopbackPort(), 0);
  StartConnect(1, ClosedLoopbackPort(), 0);
  EXPECT_EQ(RunBlocking(0), -36);
  EXPECT_EQ(BareLoop(1), -36);
  EXPECT_EQ(Plain(ReadFileText(logA)), Plain(ReadFileText(logB)));
  EXPECT_NE(ReadFileText(logA).find("KelCode=-36 PrevState=105 ThisState=106 NextState=106\r\n"),
            std::string::npos);
}

TEST_F(BlockingLoop, DeadlineEndsAWaitingState) {
  // A state that never gets its reply: the loop sleeps on the socket and
  // ends with the time-out, counted from the connection.
  ScriptServer server;
  server.Stall();
  server.Start();
  Settings.ResponseTimeout = 300;
  std::string log = LogFor(0);
  StartConnect(0, server.Port(), 99);
  EXPECT_EQ(RunBlocking(0), -8);
  EXPECT_EQ(Ch(0).NextState, 0);
  EXPECT_EQ(Ch(0).Socket, NoSocket);
  EXPECT_NE(ReadFileText(log).find("KelCode=-8 PrevState=99 ThisState=-1 NextState=99\r\n"), std::string::npos);
}

TEST_F(BlockingLoop, StaleIdleFlagIsIgnored) {
  // A flag left by steps driven from outside must not hold up the first step.
  Ch(0).IdleWait = ReadyReadable;
  Ch(0).NextState = 0;
  EXPECT_EQ(RunBlocking(0), 0);
}

}  // namespace
