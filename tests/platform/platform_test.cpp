// The platform layer: wrap-safe ticks, integer file handles, bounded formatting.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fixtures/script_server.h"
#include "platform/platform.h"

namespace {

TEST(Ticks, ComparisonSurvivesTheWrap) {
  EXPECT_TRUE(TickAfter(5, 0xFFFFFFF0u));
  EXPECT_FALSE(TickAfter(0xFFFFFFF0u, 5));
  EXPECT_EQ(TickDiff(5, 0xFFFFFFF0u), 21);
  EXPECT_FALSE(TickAfter(7, 7));
  // The tick is a coarse clock (a few milliseconds of grain, as the tick
  // count of Windows has 10 to 16): 30 ms of sleep show as 15 to 1000.
  uint32_t a = PlatformTick();
  PlatformSleep(30);
  const int32_t passed = TickDiff(PlatformTick(), a);
  EXPECT_GE(passed, 15);
  EXPECT_LE(passed, 1000);
}

TEST(Files, HandlesAreNeverZero) {
  std::string dir = TestDirectory("Files.HandlesAreNeverZero");
  int saved = dup(0);
  close(0);  // the next descriptor the system gives out is 0
  int h = PlatformFileCreate((dir + "/a.txt").c_str());
  dup2(saved, 0);
  close(saved);
  ASSERT_GT(h, 0);
  EXPECT_EQ(PlatformFileWrite(h, "hello", 5), 5);
  PlatformFileClose(h);
  int r = PlatformFileOpenRead((dir + "/a.txt").c_str());
  ASSERT_GT(r, 0);
  char buffer[10];
  EXPECT_EQ(PlatformFileRead(r, buffer, sizeof buffer), 5);
  EXPECT_EQ(PlatformFileRead(r, buffer, sizeof buffer), 0);
  PlatformFileClose(r);
  EXPECT_EQ(PlatformFileOpenRead((dir + "/missing").c_str()), -1);
  EXPECT_EQ(PlatformFileCreate((dir + "/no/dir/x").c_str()), -1);
  // Create truncates.
  h = PlatformFileCreate((dir + "/a.txt").c_str());
  PlatformFileClose(h);
  EXPECT_EQ(ReadFileText(dir + "/a.txt"), "");
}

TEST(Formatting, LinesAreBoundedTo1024Bytes) {
  char buffer[2000];
  std::string big(1500, 'q');
  EXPECT_EQ(FormatLine(buffer, sizeof buffer, "%s", big.c_str()), 1023);
  EXPECT_EQ(std::string(buffer), big.substr(0, 1023));
  EXPECT_EQ(FormatLine(buffer, 4, "%d", 12345), 3);
  EXPECT_STREQ(buffer, "123");
}

TEST(Sockets, TheInvalidSocketTouchesNoDescriptor) {
  char c = 0;
  EXPECT_EQ(PlatformSocketReady(NoSocket, ReadyReadable), 1);
  EXPECT_EQ(PlatformSocketReady(NoSocket, ReadyException), 1);
  EXPECT_EQ(PlatformSocketSend(NoSocket, "x", 1), -10038);
  EXPECT_EQ(PlatformSocketRecv(NoSocket, &c, 1), -10038);
  EXPECT_EQ(PlatformSocketClose(NoSocket), -10038);
  EXPECT_EQ(PlatformSocketWriteState(NoSocket), ReadyException);
}

// The write state in one poll is what the two tests (exception first, then
// writable) give for the same socket.
TEST(Sockets, TheWriteStateIsTheTwoTestsInOne) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(PlatformSocketReady(pair[0], ReadyException), 0);
  EXPECT_EQ(PlatformSocketReady(pair[0], ReadyWritable), 1);
  EXPECT_EQ(PlatformSocketWriteState(pair[0]), ReadyWritable);
  // A full socket is neither writable nor exceptional.
  const std::string block(4096, 'x');
  while (PlatformSocketTrySend(pair[0], block.data(), static_cast<int>(block.size())) > 0) {
  }
  EXPECT_EQ(PlatformSocketReady(pair[0], ReadyWritable), 0);
  EXPECT_EQ(PlatformSocketWriteState(pair[0]), 0);
  close(pair[0]);
  close(pair[1]);
}

// A feed stands in for the system's sockets in every call that touches one;
// a call that bypassed it would reach a descriptor the process never opened.
TEST(Sockets, AnInstalledFeedTakesEveryCall) {
  static std::string calls;
  calls.clear();
  static const PlatformSocketFeed feed = {
      [](PlatformSocket, int kind) { calls += "ready" + std::to_string(kind) + " "; return 1; },
      [](PlatformSocket, int kind, uint32_t) { calls += "wait" + std::to_string(kind) + " "; return 1; },
      [](PlatformSocket, const void *, int count) { calls += "send "; return count; },
      [](PlatformSocket, void *, int) { calls += "recv "; return 0; },
      [](PlatformSocket) { calls += "close "; return 0; }};
  PlatformSetSocketFeed(&feed);
  const PlatformSocket s = 1000;
  char c = 0;
  EXPECT_EQ(PlatformSocketReady(s, ReadyReadable), 1);
  EXPECT_EQ(PlatformSocketWait(s, ReadyWritable, 10), 1);
  EXPECT_EQ(PlatformSocketSend(s, "abc", 3), 3);
  EXPECT_EQ(PlatformSocketTrySend(s, "abcd", 4), 4);
  EXPECT_EQ(PlatformSocketRecv(s, &c, 1), 0);
  EXPECT_EQ(PlatformSocketClose(s), 0);
  EXPECT_EQ(PlatformSocketWriteState(s), ReadyException);  // the feed's exception test comes first
  PlatformSetSocketFeed(nullptr);
  EXPECT_EQ(calls, "ready" + std::to_string(ReadyReadable) + " wait" + std::to_string(ReadyWritable) +
                       " send send recv close ready" + std::to_string(ReadyException) + " ");
}

}  // namespace
