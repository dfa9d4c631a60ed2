// Error texts, kelDebug, kelStatistics and the Date line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fixtures/library_fixture.h"

namespace {

class Diagnostics : public AttachedTest {
 protected:
  std::string Text(int code, int size = 128) {
    char buffer[300];
    memset(buffer, 'x', sizeof buffer);
    int n = kelErrorText(0, code, buffer, size);
    EXPECT_EQ(n, static_cast<int>(strlen(buffer)));
    return buffer;
  }
};

TEST_F(Diagnostics, ErrorTextsAreExact) {
  char buffer[128];
  EXPECT_EQ(kelErrorText(0, -8, buffer, sizeof buffer), 17);
  EXPECT_STREQ(buffer, "Socket timed out.");
  EXPECT_EQ(Text(0), "Cannot comply");
  EXPECT_EQ(Text(-44), "Not connected to server");
  EXPECT_EQ(Text(-41), "Missing '<' delimiter in email address.");
  EXPECT_EQ(Text(-69), "Buffer size < 128.");
  EXPECT_EQ(Text(-10038), "Not a valid socket");
  EXPECT_EQ(Text(-10061), "Connection refused by remote host.");
  EXPECT_EQ(Text(-11001), "Host does not exist.");
  EXPECT_EQ(Text(-77), "Bad character in user name, password or token.");
  EXPECT_EQ(Text(-80), "OAuth token not set.");
  EXPECT_EQ(Text(-81), "Authentication mechanism not available for POP3.");
  EXPECT_EQ(Text(-60).rfind("IMAP returned error.", 0), 0u);
  EXPECT_EQ(Text(-75).rfind("IMAP response not understood.", 0), 0u);
  EXPECT_EQ(Text(-82), "Cannot write file.");
  EXPECT_EQ(Text(-83), "Cannot create attachment file.");
  for (int code : {-2, 999, 5, -10062}) EXPECT_EQ(Text(code), "") << code;
}

// A failed file names itself and the system's reason, for its own code only, bounded.
TEST_F(Diagnostics, FileFailuresNameTheFileAndTheReason) {
  NoteFileFault(Ch(), -82, "/mail/att/big.bin", "No space left on device");
  // Only the first failure of an operation counts.
  NoteFileFault(Ch(), -83, "/mail/att/other.bin", "Permission denied");
  EXPECT_EQ(Text(-82), "Cannot write file. '/mail/att/big.bin': No space left on device");
  EXPECT_EQ(Text(-83), "Cannot create attachment file.");
  EXPECT_EQ(Text(-82, 24), "Cannot write file. '/ma");
  Ch().FileFault = 0;
  Ch().FileFaultText[0] = 0;
  NoteFileFault(Ch(), -83, std::string(300, 'p').c_str(), std::string(300, 'r').c_str());
  EXPECT_LT(strlen(Ch().FileFaultText), sizeof Ch().FileFaultText);
  EXPECT_EQ(Text(-83, 300).substr(0, 32), "Cannot create attachment file. '");
}

TEST_F(Diagnostics, ServerReplyFollowsTheThreeProtocolErrors) {
  strcpy(Ch().Response, "550 5.1.1 no such user\r\n");
  EXPECT_EQ(Text(-49), "SMTP returned error. 550 5.1.1 no such user\r\n");
  EXPECT_EQ(Text(-49, 10), "SMTP retu");
  EXPECT_EQ(Text(-49, 22), "SMTP returned error. ");
  EXPECT_EQ(Text(-49, 23), "SMTP returned error. 5");
  strcpy(Ch().Response, "-ERR no\r\n");
  EXPECT_EQ(Text(-63), "POP3 returned error. -ERR no\r\n");
  Ch().Response[0] = 0;
  EXPECT_EQ(Text(-36), "Error attempting to connect. ");
}

TEST_F(Diagnostics, ErrorTextRefusesNoRoom) {
  char buffer[4] = "abc";
  EXPECT_EQ(kelErrorText(0, -8, nullptr, 128), 0);
  EXPECT_EQ(kelErrorText(0, -8, buffer, 0), 0);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(kelErrorText(0, -8, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
}

TEST_F(Diagnostics, DebugTexts) {
  char buffer[200];
  strcpy(Ch().LastReply, "250 ok\r\n");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LAST_REPLY, buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "250 ok\r\n");
  Ch().ServerAddr = 0x7F000001;
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_SERVER_IP, buffer, 17), 9);
  EXPECT_STREQ(buffer, "127.0.0.1");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_SERVER_IP, buffer, 16), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LOCAL_IP, buffer, sizeof buffer), 0);  // no socket
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LINES_BUFFER, buffer, sizeof buffer), -47);
  EXPECT_EQ(kelDebug(0, 77, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "?");
  strcpy(Ch().AttachList, "a.txt,b.gif");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_ATTACH_LIST, buffer, 6), 5);
  EXPECT_STREQ(buffer, "a.txt");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_LAST_REPLY, nullptr, 10), 0);
  EXPECT_EQ(kelDebug(9, KEL_DEBUG_LAST_REPLY, buffer, 10), -73);
}

TEST_F(Diagnostics, Statistics) {
  EXPECT_EQ(kelStatistics(0, KEL_STAT_VERSION), 833);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_BUILD), 17);
  EXPECT_EQ(kelStatistics(0, 5), -1);
  Ch().BodyBytesSent = 10;
  Ch().AttachBytesSent = 5;
  Ch().BodyBytesRead = 3;
  Ch().AttachBytesRead = 4;
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TOTAL_SENT), 15);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TOTAL_READ), 7);
  // A channel without a socket answers as a closed handle does: exceptional.
  EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCKET_STATE), -36);
}

PlatformLocalTime Now;
void NowSource(PlatformLocalTime &out) { out = Now; }

std::string DateLine(int offsetMinutes, int daylight = 0) {
  Now = PlatformLocalTime{2026, 12, 1, 7, 3, 5, 9, offsetMinutes, daylight};
  PlatformSetLocalTimeSource(NowSource);
  char buffer[100];
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_DATE, buffer, sizeof buffer), 0);
  return buffer;
}

TEST_F(Diagnostics, DateLineKeepsTheZoneMinutes) {
  EXPECT_EQ(DateLine(60), "Date: Mon, 7 Dec 2026 3:05:09 +0100");
  EXPECT_EQ(DateLine(0), "Date: Mon, 7 Dec 2026 3:05:09 +0000");
  EXPECT_EQ(DateLine(330), "Date: Mon, 7 Dec 2026 3:05:09 +0530");
  EXPECT_EQ(DateLine(-210), "Date: Mon, 7 Dec 2026 3:05:09 -0330");
  EXPECT_EQ(DateLine(345), "Date: Mon, 7 Dec 2026 3:05:09 +0545");
  EXPECT_EQ(DateLine(-300 + 60, 1), "Date: Mon, 7 Dec 2026 3:05:09 -0400");  // daylight saving time
  Now = PlatformLocalTime{2027, 1, 0, 31, 23, 59, 0, 120, 1};
  char buffer[100];
  kelDebug(0, KEL_DEBUG_DATE, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "Date: Sun, 31 Jan 2027 23:59:00 +0200");
  EXPECT_EQ(kelDebug(0, KEL_DEBUG_DATE, buffer, 8), 0);
  EXPECT_STREQ(buffer, "Date: S");
}

}  // namespace
