// The exported POP3 calls: their checks, what they store, their trace
// lines, the buffer rules of kelGetEmailLines, and how blocking and
// non-blocking mode report results. None of these tests needs a server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"

namespace {

class Pop3Calls : public AttachedTest {
 protected:
  // A channel marked for POP3 without a connection, in non-blocking mode, so
  // a call that passes its checks only sets up its sequence.
  void MarkPop3(unsigned n = 0) {
    Ch(n).Protocol = 'P';
    kelIntegerParam(n, KEL_AUTO_CALL_DRIVER, 0);
  }
  // The log text written since mark.
  static std::string LogSince(const std::string &path, size_t mark) { return ReadFileText(path).substr(mark); }
};

TEST_F(Pop3Calls, EveryCallChecksAttachAndChannelFirst) {
  char buffer[128];
  for (unsigned channel : {4u, 200u}) {
    EXPECT_EQ(kelPop3Connect(channel, "127.0.0.1", "u", "p"), -73);
    EXPECT_EQ(kelGetEmailCount(channel), -73);
    EXPECT_EQ(kelGetEmailSize(channel, 1), -73);
    EXPECT_EQ(kelDeleteEmail(channel, 1), -73);
    EXPECT_EQ(kelGetEmailLines(channel, 1, 0, buffer, 128), -73);
    EXPECT_EQ(kelGetEmailFile(channel, 1, "f", "d", "a"), -73);
    EXPECT_EQ(kelGetEmailUID(channel, 1, buffer, 128), -73);
  }
  kelRelease();
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "u", "p"), -71);
  EXPECT_EQ(kelGetEmailCount(0), -71);
  EXPECT_EQ(kelGetEmailSize(0, 1), -71);
  EXPECT_EQ(kelDeleteEmail(0, 1), -71);
  EXPECT_EQ(kelGetEmailLines(0, 1, 0, buffer, 128), -71);
  EXPECT_EQ(kelGetEmailFile(0, 1, "f", "d", "a"), -71);
  EXPECT_EQ(kelGetEmailUID(0, 1, buffer, 128), -71);
  ASSERT_EQ(kelAttach(4, 0), 1);
}

TEST_F(Pop3Calls, ConnectRefusesMissingOrUnsafeArgumentsAfterMarkingTheChannel) {
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", nullptr), -62);
  EXPECT_EQ(Ch().Protocol, 'P');
  Ch().Protocol = 0;
  EXPECT_EQ(kelPop3Connect(0, nullptr, nullptr, nullptr), -50);
  EXPECT_EQ(Ch().Protocol, 'P');
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", nullptr, "pw"), -61);
  // A line break would let the rest of the text reach the server as a command.
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe\r\nDELE 1", "pw"), -61);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw\nDELE 1"), -62);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "pw\r"), -62);
  // ^A separates the fields of the bearer logins' messages.
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe\001auth=Bearer x", "pw"), -77);
  EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "p\001w"), -77);
  EXPECT_EQ(kelPop3Connect(0, "mail@example", "joe", "pw"), -56);
  // None of them stored anything or started the driver.
  EXPECT_STREQ(Ch().User, "");
  EXPECT_STREQ(Ch().Server, "");
  EXPECT_EQ(Ch().NextState, 0);
}

TEST_F(Pop3Calls, ConnectStoresItsArgumentsCutToTheirFields) {
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  kelIntegerParam(0, KEL_POP3_PORT, 1110);
  Ch().EmailCount = 9;
  Ch().AttachCount = 2;
  Ch().RingRead = 5;
  Ch().RingWrite = 7;
  Ch().WaitWritable = 1;
  Ch().Deadline = 123;
  const std::string user(70, 'u'), password(80, 'p'), server(140, 's');
  EXPECT_EQ(kelPop3Connect(0, server.c_str(), user.c_str(), password.c_str()), 0);
  EXPECT_EQ(std::string(Ch().User), user.substr(0, 64));
  EXPECT_EQ(std::string(Ch().Password), password.substr(0, 64));
  EXPECT_EQ(std::string(Ch().Server), server.substr(0, 128));
  EXPECT_EQ(Ch().Port, 1110);
  EXPECT_EQ(Ch().NextState, 300);
  EXPECT_EQ(Ch().EmailCount, 0);
  EXPECT_EQ(Ch().AttachCount, 0);
  EXPECT_EQ(Ch().RingRead + Ch().RingWrite, 0);
  EXPECT_EQ(Ch().WaitWritable, 0);
  EXPECT_EQ(Ch().Deadline, 0u);
}

TEST_F(Pop3Calls, CallsOnAChannelThatIsNotPop3AreRefused) {
  char buffer[128];
  EXPECT_EQ(kelGetEmailCount(0), -59);
  EXPECT_EQ(kelGetEmailSize(0, 1), -59);
  EXPECT_EQ(kelDeleteEmail(0, 1), -59);
  EXPECT_EQ(kelGetEmailLines(0, 1, 0, buffer, 128), -59);
  EXPECT_EQ(kelGetEmailUID(0, 1, buffer, 128), -59);
  // An SMTP channel (marked by kelSmtpConnect before its own checks fail).
  EXPECT_EQ(kelSmtpConnect(0, "127.0.0.1", nullptr, nullptr), -38);
  ASSERT_EQ(Ch().Protocol, 'S');
  EXPECT_EQ(kelGetEmailFile(0, 1, "f", "d", "a"), -59);
  EXPECT_EQ(Ch().NextState, 0);
}

TEST_F(Pop3Calls, ArgumentChecksComeInOrderWithoutTouchingTheDriver) {
  MarkPop3();
  char buffer[128];
  EXPECT_EQ(kelGetEmailSize(0, 0), -64);
  EXPECT_EQ(kelDeleteEmail(0, 0), -64);
  EXPECT_EQ(kelDeleteEmail(0, -5), -64);
  EXPECT_EQ(kelGetEmailLines(0, 0, 0, nullptr, 128), -64);
  EXPECT_EQ(kelGetEmailFile(0, 0, nullptr, nullptr, nullptr), -64);
  EXPECT_EQ(kelGetEmailFile(0, 1, nullptr, nullptr, nullptr), -65);
  EXPECT_EQ(kelGetEmailFile(0, 1, "f", nullptr, nullptr), -66);
  EXPECT_EQ(kelGetEmailFile(0, 1, "f", "d", nullptr), -70);
  EXPECT_EQ(kelGetEmailUID(0, 1, nullptr, 128), -68);
  EXPECT_EQ(kelGetEmailUID(0, 1, buffer, 127), -69);
  EXPECT_EQ(kelGetEmailLines(0, 1, 0, buffer, 127), -69);
  EXPECT_EQ(Ch().NextState, 0);
  EXPECT_EQ(Ch().WaitWritable, 0);
  EXPECT_EQ(Ch().Socket, NoSocket);
}

TEST_F(Pop3Calls, TraceLinesAreWrittenExactly) {
  std::string log = OpenLog();
  size_t mark = ReadFileText(log).size();
  char buffer[128];
  kelPop3Connect(0, nullptr, nullptr, nullptr);
  Ch().Protocol = 0;
  kelGetEmailCount(0);
  kelGetEmailSize(0, 1);
  kelDeleteEmail(0, 1);
  kelGetEmailLines(0, 1, 0, buffer, 128);
  kelGetEmailFile(0, 1, "f", "d", "a");
  kelGetEmailUID(0, 1, buffer, 128);
  EXPECT_EQ(LogSince(log, mark),
            "*** kelPop3Connect\r\n*** kelGetEmailCount\r\n*** kelGetEmailSize\r\n*** kelDelete\r\n"
            "*** kelGetEmailLines\r\n*** kelGetEmailFile\r\n*** kelGetEmailUID\r\n");
}

TEST_F(Pop3Calls, NonBlockingCallsSetUpTheirSequences) {
  MarkPop3();
  auto started = [&](int state) {
    EXPECT_EQ(Ch().NextState, state);
    EXPECT_EQ(Ch().WaitWritable, 1);
    EXPECT_EQ(Ch().NotBefore, 0u);
    EXPECT_EQ(Ch().Deadline, 0u);
    EXPECT_EQ(Ch().SockCode, 0);
    Ch().WaitWritable = 0;
    Ch().NotBefore = Ch().Deadline = 99;
    Ch().SockCode = -1;
  };
  EXPECT_EQ(kelGetEmailCount(0), 0);
  started(307);
  EXPECT_EQ(kelGetEmailSize(0, 4), 0);
  started(317);
  EXPECT_EQ(Ch().MessageNumber, 4);
  EXPECT_EQ(kelDeleteEmail(0, 5), 0);
  started(315);
  EXPECT_EQ(Ch().MessageNumber, 5);

  char uid[200];
  EXPECT_EQ(kelGetEmailUID(0, -1, uid, 128), 0);
  started(320);
  EXPECT_EQ(Ch().MessageNumber, -1);
  EXPECT_EQ(Ch().UserBuffer, uid);
  EXPECT_EQ(Ch().UserBufferSize, 127);  // room for the terminating zero
  EXPECT_EQ(Ch().BufferUsed, 0);

  strcpy(Ch().EmailDir, "old");
  strcpy(Ch().AttachList, "old.txt");
  Ch().DecodeState = 1;  // raw retrieval stays raw
  EXPECT_EQ(kelGetEmailFile(0, 6, "mail.eml", "/tmp/in", "/tmp/att"), 0);
  started(310);
  EXPECT_STREQ(Ch().EmailFile, "mail.eml");
  EXPECT_STREQ(Ch().EmailDir, "/tmp/in");
  EXPECT_STREQ(Ch().AttachDir, "/tmp/att");
  EXPECT_STREQ(Ch().AttachList, "");
  EXPECT_EQ(Ch().UserBuffer, nullptr);
  EXPECT_EQ(Ch().DecodeState, 1);
  Ch().DecodeState = 5;
  EXPECT_EQ(kelGetEmailFile(0, 6, "mail.eml", "/tmp/in", "/tmp/att"), 0);
  EXPECT_EQ(Ch().DecodeState, 2);
}

TEST_F(Pop3Calls, EmailLinesUseTheCallersBufferOrAnInternalOne) {
  MarkPop3();
  char buffer[128];
  EXPECT_EQ(kelGetEmailLines(0, 3, -4, buffer, 128), 0);
  EXPECT_EQ(Ch().NextState, 311);
  EXPECT_EQ(Ch().TopLines, 0);
  EXPECT_EQ(Ch().UserBuffer, buffer);
  EXPECT_EQ(Ch().UserBufferSize, 128);
  EXPECT_EQ(SlotBlock(0, 8), nullptr);

  // "*" counts as no buffer: bufferSize + 2 bytes in slot 8, zero-filled.
  strcpy(Ch().EmailDir, "x");
  EXPECT_EQ(kelGetEmailLines(0, 3, 10, const_cast<char *>("*"), 50), 0);
  uint32_t size = 0;
  char *internal = SlotBlock(0, 8, &size);
  ASSERT_NE(internal, nullptr);
  EXPECT_EQ(size, 52u);
  EXPECT_EQ(Ch().UserBuffer, internal);
  EXPECT_EQ(Ch().UserBufferSize, 50);
  EXPECT_EQ(Ch().TopLines, 10);
  EXPECT_EQ(Ch().MessageNumber, 3);
  EXPECT_STREQ(Ch().EmailDir, "");
  EXPECT_EQ(std::string(internal, 52), std::string(52, '\0'));

  // While slot 8 is held a second internal buffer cannot be had.
  EXPECT_EQ(kelGetEmailLines(0, 3, 10, nullptr, 50), -55);
  EXPECT_EQ(kelGetEmailLines(0, 3, 10, buffer, 50), -69);
  std::string file = dir_ + "/lines.txt";
  EXPECT_EQ(kelStringParam(0, KEL_WRITE_BUFFER, file.c_str()), 0);
  EXPECT_EQ(kelGetEmailLines(0, 3, 10, nullptr, 50), 0);
}

TEST_F(Pop3Calls, BlockingCallsReturnTheDriversFailureUnchanged) {
  // Marked but never connected: the first command cannot be sent.
  Ch().Protocol = 'P';
  char buffer[128];
  EXPECT_EQ(kelGetEmailCount(0), -52);
  EXPECT_EQ(kelGetEmailSize(0, 1), -52);
  EXPECT_EQ(kelDeleteEmail(0, 1), -52);
  EXPECT_EQ(kelGetEmailUID(0, 1, buffer, sizeof buffer), -52);
  EXPECT_EQ(Ch().NextState, 0);
}

}  // namespace
