// kelIntegerParam and kelStringParam: codes, scopes, the log and the user header text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"

namespace {

class Params : public AttachedTest {};

TEST_F(Params, AcceptedAndRefusedIntegerCodes) {
  for (int code : {0, 4, 7, 20, 99, -1, 1000}) EXPECT_EQ(kelIntegerParam(0, code, 1), -1) << code;
  for (int code = 1; code <= 31; code++) {
    if (code == 4 || code == 7 || code == 20) continue;
    // Values that leave the channel usable for the rest of the test.
    int value = code == KEL_ADDRESS_SEPARATOR || code == KEL_ATTACH_SEPARATOR || code == KEL_ALIAS_SEPARATOR ? ';' : 1;
    EXPECT_EQ(kelIntegerParam(0, code, value), 1) << code;
  }
}

// TLS settings are off and verifying by default; values outside the modes
// and texts that would be cut (another file, another name) are refused whole.
TEST_F(Params, TlsSettings) {
  EXPECT_EQ(Ch().TlsMode, KEL_TLS_OFF);
  EXPECT_EQ(Ch().TlsNoVerify, 0);
  for (int mode : {KEL_TLS_STARTTLS, KEL_TLS_REQUIRED, KEL_TLS_IMPLICIT, KEL_TLS_OFF})
    EXPECT_EQ(kelIntegerParam(0, KEL_TLS_MODE, mode), 1) << mode;
  for (int bad : {-1, 4, 1000}) EXPECT_EQ(kelIntegerParam(0, KEL_TLS_MODE, bad), -1) << bad;
  EXPECT_EQ(Ch().TlsMode, KEL_TLS_OFF);
  kelIntegerParam(0, KEL_TLS_VERIFY, 0);
  EXPECT_EQ(Ch().TlsNoVerify, 1);
  kelIntegerParam(0, KEL_TLS_VERIFY, 7);
  EXPECT_EQ(Ch().TlsNoVerify, 0);
  EXPECT_EQ(kelStringParam(0, KEL_TLS_CA_FILE, "/etc/ca.pem"), 11);
  EXPECT_STREQ(Ch().TlsCaFile, "/etc/ca.pem");
  EXPECT_EQ(kelStringParam(0, KEL_TLS_CA_FILE, std::string(300, 'x').c_str()), -1);
  EXPECT_STREQ(Ch().TlsCaFile, "/etc/ca.pem");
  EXPECT_EQ(kelStringParam(0, KEL_TLS_SERVER_NAME, std::string(200, 'x').c_str()), -1);
  EXPECT_EQ(kelStringParam(0, KEL_TLS_SERVER_NAME, "mail.example.test"), 17);
  char text[64];
  EXPECT_GT(kelErrorText(0, -96, text, sizeof text), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 0);
}

TEST_F(Params, ValuesAreStoredAsTheirFieldsTakeThem) {
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 2);
  EXPECT_EQ(Ch().AutoCall, 0);
  Ch().NotBefore = Ch().Deadline = 77;
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 3);
  EXPECT_EQ(Ch().AutoCall, 1);
  EXPECT_EQ(Ch().NotBefore, 0u);
  EXPECT_EQ(Ch().Deadline, 0u);
  kelIntegerParam(0, KEL_BODY_FORMAT, 18);
  EXPECT_EQ(Ch().BodyFormat, 2u);
  kelIntegerParam(0, KEL_SMTP_PORT, 0x50019);
  EXPECT_EQ(Ch().SmtpPort, 25);
  kelIntegerParam(0, KEL_POP3_PORT, 0x1006E);
  EXPECT_EQ(Ch().Pop3Port, 110);
  kelIntegerParam(0, KEL_BLOCKING_CONNECT, 1);
  EXPECT_EQ(Ch().NonBlockConnect, 0);
  kelIntegerParam(0, KEL_BLOCKING_CONNECT, 0);
  EXPECT_EQ(Ch().NonBlockConnect, 1);
  kelIntegerParam(0, KEL_RAW_MODE, 0x10001);
  EXPECT_EQ(Ch().DecodeState, 1);
  kelIntegerParam(0, KEL_RAW_MODE, 0xFFFF);
  EXPECT_EQ(Ch().DecodeState, -1);
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 0x100);  // low 8 bits: zero
  EXPECT_EQ(Ch().EsmtpAuth, 0);
}

TEST_F(Params, LibraryWideCodesApplyToEveryChannel) {
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 1234);
  kelIntegerParam(3, KEL_DATA_TIMEOUT, 999);
  kelIntegerParam(1, KEL_ADDRESS_SEPARATOR, 0x13B);
  EXPECT_EQ(Settings.ResponseTimeout, 1234u);
  EXPECT_EQ(Settings.SendTimeout, 999u);
  EXPECT_EQ(Settings.ReceiveTimeout, 999u);
  EXPECT_EQ(Settings.AddressSeparator, ';');
  // kelVerifyFormat, which needs no channel, sees the separator too.
  EXPECT_EQ(kelVerifyFormat("a@b;<c@d>"), -41);
  // Per-channel codes stay with their channel.
  kelIntegerParam(2, KEL_BODY_FORMAT, 1);
  EXPECT_EQ(Ch(2).BodyFormat, 1u);
  EXPECT_EQ(Ch(1).BodyFormat, 0u);
}

TEST_F(Params, TextCopiesAreCutAtTheirLimits) {
  std::string longText(200, 'r');
  EXPECT_EQ(kelStringParam(0, KEL_REPLY_TO, longText.c_str()), 128);
  EXPECT_EQ(std::string(Ch().ReplyTo), longText.substr(0, 128));
  EXPECT_EQ(kelStringParam(0, KEL_FROM, longText.c_str()), 128);
  EXPECT_EQ(kelStringParam(0, KEL_SMTP_USER, longText.c_str()), 64);
  EXPECT_EQ(kelStringParam(0, KEL_SMTP_PASS, longText.c_str()), 64);
  EXPECT_EQ(std::string(Ch().SmtpPassword), longText.substr(0, 64));
  EXPECT_EQ(kelStringParam(0, KEL_CONTENT_TYPE, longText.c_str()), 64);
  EXPECT_EQ(kelStringParam(0, KEL_TRANSFER_ENCODING, longText.c_str()), 128);
  EXPECT_EQ(Settings.TransferEncodingLength, 128);
  EXPECT_EQ(kelStringParam(0, KEL_FROM, nullptr), -47);
  EXPECT_EQ(kelStringParam(0, 19, "x"), -1);
  EXPECT_EQ(kelStringParam(0, 42, "x"), -1);
  EXPECT_EQ(kelStringParam(0, 60, "x"), -1);
}

TEST_F(Params, UserHeaderTextKeepsNoLineEndOfItsOwn) {
  EXPECT_EQ(kelStringParam(0, KEL_SET_HEADER, "X-A: b\r\n"), 2);
  EXPECT_STREQ(Ch().ExtraHeaders, "X-A: b");
  EXPECT_EQ(kelStringParam(0, KEL_ADD_HEADER, "X-Bee: 1"), 4);
  EXPECT_STREQ(Ch().ExtraHeaders, "X-A: b\r\nX-Bee: 1");
  EXPECT_EQ(kelStringParam(0, KEL_ADD_HEADER, "X-C: 2\n"), 3);
  EXPECT_STREQ(Ch().ExtraHeaders, "X-A: b\r\nX-Bee: 1\r\nX-C: 2");
  EXPECT_EQ(kelStringParam(0, KEL_SET_HEADER, ""), 0);
  EXPECT_EQ(Ch().ExtraHeaders, nullptr);
  EXPECT_EQ(kelStringParam(0, KEL_ADD_HEADER, "X-D: 3"), 4);
  EXPECT_STREQ(Ch().ExtraHeaders, "X-D: 3");
}

TEST_F(Params, AddedHeaderTextStaysWithinItsRoom) {
  std::string big(3000, 'h');
  ASSERT_GT(kelStringParam(0, KEL_SET_HEADER, big.c_str()), 0);
  EXPECT_EQ(strlen(Ch().ExtraHeaders), 3000u);
  ASSERT_GT(kelStringParam(0, KEL_ADD_HEADER, "X-E: 4"), 0);
  EXPECT_LE(strlen(Ch().ExtraHeaders), 2049u);
  EXPECT_EQ(std::string(Ch().ExtraHeaders).substr(0, 10), big.substr(0, 10));
}

TEST_F(Params, LogFileTraceAndLines) {
  EXPECT_EQ(kelStringParam(0, KEL_LOG_LINE, "nothing open"), 0);
  std::string first = OpenLog(0);
  EXPECT_EQ(kelIntegerParam(0, KEL_STEP_DELAY, 25), 1);
  EXPECT_EQ(kelIntegerParam(0, 4, -7), -1);
  int handle = kelStringParam(0, KEL_LOG_LINE, "my own line");
  EXPECT_EQ(handle, Ch().LogHandle);
  std::string second = dir_ + "/second.log";
  EXPECT_GT(kelStringParam(0, KEL_LOG_FILE, second.c_str()), 0);
  kelStringParam(0, KEL_LOG_LINE, "into the second");
  // The call that opens the new log is traced in the old one, which is then closed.
  EXPECT_EQ(ReadFileText(first),
            "*** kelIntegerParam(0,1,25)\r\n"
            "*** kelIntegerParam(0,4,-7)\r\n"
            "*** kelStringParam(0,52,my own line)\r\n"
            "my own line\r\n"
            "*** kelStringParam(0,20," + second + ")\r\n");
  EXPECT_EQ(ReadFileText(second), "*** kelStringParam(0,52,into the second)\r\ninto the second\r\n");
  EXPECT_EQ(kelStringParam(0, KEL_LOG_FILE, (dir_ + "/no/such/dir/x.log").c_str()), -1);
  EXPECT_EQ(Ch().LogHandle, 0);
}

TEST_F(Params, WriteBufferNeedsTheInternalBuffer) {
  EXPECT_EQ(kelStringParam(0, KEL_WRITE_BUFFER, (dir_ + "/lines.txt").c_str()), -47);
  char *lines = AllocateMemory(0, 8, 20);
  ASSERT_NE(lines, nullptr);
  strcpy(lines, "Subject: hi\r\n");
  Ch().UserBuffer = lines;
  EXPECT_EQ(kelStringParam(0, KEL_WRITE_BUFFER, (dir_ + "/no/dir/x").c_str()), -67);
  EXPECT_EQ(kelStringParam(0, KEL_WRITE_BUFFER, (dir_ + "/lines.txt").c_str()), 13);
  EXPECT_EQ(ReadFileText(dir_ + "/lines.txt"), "Subject: hi\r\n");
  EXPECT_EQ(Ch().UserBuffer, nullptr);
  EXPECT_EQ(kelStringParam(0, KEL_WRITE_BUFFER, (dir_ + "/lines.txt").c_str()), -47);
}

}  // namespace
