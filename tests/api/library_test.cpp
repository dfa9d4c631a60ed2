// Attach and release, the channel table and the memory slots.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "core/channel.h"
#include "kel32.h"

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void TearDown() override {
    kelRelease();
    PlatformSetTickSource(nullptr);
    PlatformFailAllocationAfter(0);
  }
};

TEST_F(Lifecycle, ChannelCountLimits) {
  EXPECT_EQ(kelAttach(129, 0), -73);
  EXPECT_EQ(kelAttach(128, 0), 1);
  EXPECT_EQ(kelDriver(127), 0);
  EXPECT_EQ(kelDriver(128), -73);
  EXPECT_EQ(kelAttach(1, 0), -72);
  EXPECT_EQ(kelRelease(), 1);
  // Only the low 16 bits of the count matter.
  EXPECT_EQ(kelAttach(0x10002, 0), 1);
  EXPECT_EQ(kelStatistics(1, KEL_STAT_VERSION), 833);
  EXPECT_EQ(kelStatistics(2, KEL_STAT_VERSION), -73);
}

TEST_F(Lifecycle, UnattachedCallsAreRefused) {
  EXPECT_EQ(kelRelease(), 1);
  EXPECT_EQ(kelAttach(0, 0), 1);  // creates nothing, stays unattached
  char buffer[128];
  EXPECT_EQ(kelDriver(0), -71);
  EXPECT_EQ(kelIntegerParam(0, KEL_STEP_DELAY, 1), -71);
  EXPECT_EQ(kelStringParam(0, KEL_FROM, "x"), -71);
  EXPECT_EQ(kelErrorText(0, -8, buffer, sizeof buffer), -71);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_VERSION), -71);
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LAST_REPLY, buffer, sizeof buffer), -71);
  EXPECT_EQ(kelAttach(1, 0), 1);  // a count of 0 did not attach
}

TEST_F(Lifecycle, LastChannelIsValidAndTheNextIsNot) {
  ASSERT_EQ(kelAttach(5, 0), 1);
  char buffer[64];
  EXPECT_EQ(kelIntegerParam(4, KEL_BODY_FORMAT, 1), 1);
  EXPECT_EQ(kelIntegerParam(5, KEL_BODY_FORMAT, 1), -73);
  EXPECT_EQ(kelStringParam(5, KEL_FROM, "x"), -73);
  EXPECT_EQ(kelErrorText(5, -8, buffer, sizeof buffer), -73);
  EXPECT_EQ(kelDebug(5, 99, buffer, sizeof buffer), -73);
  EXPECT_EQ(kelStatistics(5, KEL_STAT_VERSION), -73);
  EXPECT_EQ(kelDriver(5), -73);
}

TEST_F(Lifecycle, FreshChannelDefaults) {
  ASSERT_EQ(kelAttach(3, 0), 1);
  for (unsigned c = 0; c < 3; c++) {
    Channel &ch = *ChannelOf(c);
    EXPECT_EQ(ch.ChannelNumber, c);
    EXPECT_EQ(ch.AutoCall, 1);
    EXPECT_EQ(ch.SmtpPort, 25);
    EXPECT_EQ(ch.Pop3Port, 110);
    EXPECT_EQ(ch.LogHandle, 0);
    EXPECT_EQ(ch.Protocol, 0);
    EXPECT_EQ(ch.PrevState, -2);
    EXPECT_EQ(ch.ThisState, -1);
    EXPECT_EQ(ch.NextState, 0);
    EXPECT_EQ(ch.NonBlockConnect, 1);
    EXPECT_EQ(ch.AutoInline, 1);
    // Never standard input: a fresh channel owns no descriptor.
    EXPECT_EQ(ch.Socket, NoSocket);
    EXPECT_EQ(kelStatistics(c, KEL_STAT_SOCKET), -1);
  }
}

uint32_t FixedTick;
uint32_t FixedTickSource() { return FixedTick; }

TEST_F(Lifecycle, BoundaryTextCarriesTheSignedTickCount) {
  PlatformSetTickSource(FixedTickSource);
  FixedTick = 123456;
  ASSERT_EQ(kelAttach(1, 0), 1);
  EXPECT_STREQ(BoundaryText, "=====_KEL123456_=====");
  kelRelease();
  FixedTick = 3000000000u;  // past 2^31: printed with a sign
  ASSERT_EQ(kelAttach(1, 0), 1);
  EXPECT_STREQ(BoundaryText, "=====_KEL-1294967296_=====");
  kelRelease();
  FixedTick = 0x80000000u;  // the longest text
  ASSERT_EQ(kelAttach(1, 0), 1);
  EXPECT_STREQ(BoundaryText, "=====_KEL-2147483648_=====");
  EXPECT_EQ(strlen(BoundaryText), 26u);
}

TEST_F(Lifecycle, FailedAttachReleasesWhatItMade) {
  PlatformFailAllocationAfter(3);  // the third channel record fails
  EXPECT_EQ(kelAttach(4, 0), -55);
  for (const MemorySlot &m : MemorySlotTable) EXPECT_EQ(m.Handle, 0u);
  EXPECT_EQ(kelDriver(0), -71);
  EXPECT_EQ(kelAttach(4, 0), 1);
}

class MemorySlots : public AttachedTest {};

TEST_F(MemorySlots, GuardBytesFrameEveryBlock) {
  char *block = AllocateMemory(1, 4, 10);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[-1], 'U');
  EXPECT_EQ(block[10], 'z');
  EXPECT_EQ(block[11], 0);
  for (int i = 0; i < 10; i++) EXPECT_EQ(block[i], 0);
  EXPECT_EQ(AllocateMemory(1, 4, 10), nullptr);  // in use
  FreeMemory(1, 4, 4);
  EXPECT_EQ(MemorySlotTable[1 * 9 + 4].Handle, 0u);
}

TEST_F(MemorySlots, AllocAndCopyReplacesTheOldCopy) {
  char *first = AllocAndCopy(0, 4, "first");
  ASSERT_NE(first, nullptr);
  char *second = AllocAndCopy(0, 4, "second text");
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(second, "second text");
  EXPECT_EQ(MemorySlotTable[4].Size, strlen("second text") + 2);
  EXPECT_EQ(AllocAndCopy(0, 4, ""), nullptr);
}

TEST_F(MemorySlots, DamagedGuardIsReportedAndKept) {
  std::string log = OpenLog(0);
  Ch(0).Subject = AllocAndCopy(0, 4, "abc");
  Ch(0).Message = AllocAndCopy(0, 5, "def");
  Ch(0).Subject[5] = 'X';  // overwrites the tail guard of the subject copy

  static std::vector<std::string> boxes;
  boxes.clear();
  PlatformSetMessageBoxSink([](const char *text, const char *title, unsigned style) {
    boxes.push_back(std::string(title) + "|" + text + "|" + std::to_string(style));
  });
  EXPECT_EQ(kelDebug(static_cast<unsigned>(-2), 0, nullptr, 0), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Info|Memory Corrupted (kelDebug): ID=4 Err=-106|8240");

  // The release stops at the damaged block and leaves it (and what follows) alone.
  FreeMemory(0, 4, 5);
  EXPECT_NE(MemorySlotTable[4].Handle, 0u);
  EXPECT_NE(MemorySlotTable[5].Handle, 0u);
  EXPECT_NE(ReadFileText(log).find("FreeMemory Error: Chan=0, Index=4, Code=-106\r\n"), std::string::npos);
  Ch(0).Subject[5] = 'z';  // repaired, so the release at tear-down frees it
}

TEST_F(MemorySlots, ReleaseWritesItsLineAndClosesTheLog) {
  std::string log = OpenLog(2);
  ASSERT_EQ(kelRelease(), 1);
  EXPECT_EQ(ReadFileText(log), "Releasing channel 2\r\n");
  ASSERT_EQ(kelAttach(ChannelCount(), 0), 1);
}

}  // namespace
