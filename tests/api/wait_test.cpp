// kelWait: each kind of readiness ends the wait (readable, writable,
// NotBefore, Deadline), neither early nor late; the time-out; several
// channels at once; sockets above descriptor 1024; argument checks.
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "net/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

class Wait : public AttachedTest {
 protected:
  // Connects channel c in non-blocking mode and steps it until its greeting
  // state has polled and found nothing: the channel waits on its socket.
  void ConnectWaiting(ScriptServer &server, unsigned c) {
    kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0);
    kelIntegerParam(c, KEL_SMTP_PORT, server.Port());
    ASSERT_EQ(kelSmtpConnect(c, "127.0.0.1", "<me@example.com>", nullptr), 0);
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (!(Ch(c).NextState == 201 && Ch(c).IdleWait == ReadyReadable && Ch(c).NotBefore == 0)) {
      ASSERT_LT(Clock::now(), end);
      const int rc = kelDriver(c);
      ASSERT_GT(rc, 0);
      if (Ch(c).NextState == 201) Ch(c).NotBefore = 0;  // no pause before the first poll
    }
  }
  static long Millis(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  }
};

struct Case {
  const char *Name;
  int GreetAfterMs;                      // -1: the server stays silent
  std::function<void(Channel &)> Arm;    // what the test sets on the waiting channel
  int Timeout, Result;
  long AtLeast, Below;                   // the wait's length in ms
  int NextStep;                          // kelDriver's result afterwards
};

TEST_F(Wait, EachKindOfReadinessEndsTheWaitOnTime) {
  const std::vector<Case> cases = {
      // the greeting comes 150 ms after the connection, part of which the connect used up
      {"readable", 150, [](Channel &) {}, 5000, 1, 0, 2500, 202},
      {"time-out", -1, [](Channel &) {}, 200, 0, 190, 1500, KEL_WAITING},
      // As a step that sent a command leaves it: a pause, and nothing polled since.
      {"NotBefore", -1,
       [](Channel &ch) {
         ch.NotBefore = PlatformTick() + 150;
         ch.IdleWait = 0;
       },
       5000, 1, 140, 2500, 201},
      {"Deadline", -1, [](Channel &ch) { ch.Deadline = PlatformTick() + 150; }, 5000, 1, 140, 2500, -8},
      // An idle channel whose NotBefore is ahead: its step answers 9999 until then.
      {"idle, NotBefore ahead", -1,
       [](Channel &ch) {
         ch.NextState = 0;
         ch.NotBefore = PlatformTick() + 150;
       },
       5000, 1, 140, 2500, 0},
      {"writable", -1,
       [](Channel &ch) {
         ch.MoreToFollow = 1;
         SendBytes(ch, "held\r\n", 6);
         ch.MoreToFollow = 0;
         ch.OutDrain = 1;
       },
       5000, 1, 0, 1000, 201},
  };
  for (const Case &k : cases) {
    ScriptServer server;
    if (k.GreetAfterMs >= 0) server.Pause(k.GreetAfterMs).Send("220 hi\r\n");
    server.Stall();
    server.Start();
    ConnectWaiting(server, 0);
    k.Arm(Ch());
    const unsigned list[] = {0};
    int ready[1] = {-1};
    const auto start = Clock::now();
    EXPECT_EQ(kelWait(list, 1, k.Timeout, ready), k.Result) << k.Name;
    const long ms = Millis(start);
    EXPECT_GE(ms, k.AtLeast) << k.Name;
    EXPECT_LT(ms, k.Below) << k.Name;
    EXPECT_EQ(ready[0], k.Result) << k.Name;
    const int rc = kelDriver(0);
    if (std::string(k.Name) == "writable") {
      EXPECT_EQ(OutputPending(Ch()), 0) << "the held bytes have left";
    }
    if (std::string(k.Name) == "time-out") {
      EXPECT_EQ(Ch().WaitQuiet, 0) << "one quiet step only";
    }
    EXPECT_EQ(rc, k.NextStep) << k.Name;
    kelAbort(0);
  }
}

// Of several channels only those with work are reported; an idle one always is.
TEST_F(Wait, ReportsExactlyTheChannelsWithWork) {
  ScriptServer silent1, talking, silent2;
  silent1.Stall();
  talking.Pause(100).Send("220 hi\r\n").Stall();
  silent2.Stall();
  for (ScriptServer *s : {&silent1, &talking, &silent2}) s->Start();
  ConnectWaiting(silent1, 0);
  ConnectWaiting(talking, 1);
  ConnectWaiting(silent2, 2);
  const unsigned list[] = {0, 1, 2};
  int ready[3];
  EXPECT_EQ(kelWait(list, 3, 5000, ready), 1);
  EXPECT_EQ(std::vector<int>(ready, ready + 3), (std::vector<int>{0, 1, 0}));
  const unsigned withIdle[] = {0, 3};
  EXPECT_EQ(kelWait(withIdle, 2, 5000, ready), 1);
  EXPECT_EQ(std::vector<int>(ready, ready + 2), (std::vector<int>{0, 1}));
  for (unsigned c = 0; c < 3; c++) kelAbort(c);
}

TEST_F(Wait, SocketsAboveDescriptor1024) {
  HighDescriptors high;
  if (!high.Held()) GTEST_SKIP() << "descriptor limit too low";
  {
    ScriptServer server;
    server.Pause(100).Send("220 hi\r\n").Stall();
    server.Start();
    ConnectWaiting(server, 0);
    EXPECT_GT(kelStatistics(0, KEL_STAT_SOCKET), 1024);
    const unsigned list[] = {0};
    int ready[1];
    EXPECT_EQ(kelWait(list, 1, 5000, ready), 1);
    EXPECT_EQ(kelDriver(0), 202);
    kelAbort(0);
  }
}

TEST_F(Wait, ArgumentChecks) {
  const unsigned list[] = {0, 99};
  int ready[2];
  EXPECT_EQ(kelWait(nullptr, 1, 0, ready), -74);
  EXPECT_EQ(kelWait(list, 1, 0, nullptr), -74);
  EXPECT_EQ(kelWait(list, 0, 0, ready), -74);
  EXPECT_EQ(kelWait(list, 129, 0, ready), -74);
  EXPECT_EQ(kelWait(list, 1, -1, ready), -74);
  EXPECT_EQ(kelWait(list, 2, 0, ready), -73);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET), -1);  // no socket yet
  char text[64];
  EXPECT_GT(kelErrorText(0, -74, text, sizeof text), 0);
  EXPECT_STREQ(text, "Bad argument to kelWait.");
}

}  // namespace
