// MD5, HMAC-MD5 and the CRAM-MD5 and APOP login texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "codec/codec.h"
#include "fixtures/script_server.h"
#include "core/channel.h"

namespace {

std::string Hex(const unsigned char digest[16]) {
  char text[33];
  HexDigest(digest, text);
  return text;
}

std::string Md5(const std::string &bytes) {
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, bytes.data(), static_cast<uint32_t>(bytes.size()));
  unsigned char digest[16];
  Md5Final(digest, ctx);
  return Hex(digest);
}

std::string Hmac(const std::string &text, const std::string &key) {
  unsigned char digest[16];
  HmacMd5(text.data(), static_cast<uint32_t>(text.size()), key.data(),
          static_cast<uint32_t>(key.size()), digest);
  return Hex(digest);
}


std::unique_ptr<Channel> ZeroChannel() { return std::make_unique<Channel>(); }

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5("1234567890123456789012345678901234567890"
                "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths 0 to 200 cross every padding case (55, 56, 63, 64 and 119, 120 bytes
// in the last block); the coreutils md5sum is the reference.
TEST(Md5, EveryLengthMatchesMd5sum) {
  std::mt19937 random(1321);
  std::string data;
  for (int i = 0; i < 200; ++i) data += static_cast<char>(random() & 255);
  const std::string dir = TestDirectory("md5-lengths");
  WriteFileText(dir + "/data", data);
  const std::string reference = RunCommand(
      "for n in $(seq 0 200); do head -c $n '" + dir + "/data' | md5sum | cut -c1-32; done");
  ASSERT_EQ(reference.size(), 201u * 33);
  for (int n = 0; n <= 200; ++n)
    EXPECT_EQ(Md5(data.substr(0, n)), reference.substr(33 * n, 32)) << n;
}

TEST(Md5, SplitUpdatesGiveTheSameDigest) {
  std::mt19937 random(2104);
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(random() & 255);
  const std::string whole = Md5(data);
  for (uint32_t piece = 1; piece <= 130; ++piece) {
    Md5Context ctx;
    Md5Init(ctx);
    for (uint32_t at = 0; at < data.size(); at += piece)
      Md5Update(ctx, data.data() + at, std::min<uint32_t>(piece, data.size() - at));
    unsigned char digest[16];
    Md5Final(digest, ctx);
    EXPECT_EQ(Hex(digest), whole) << piece;
  }
  // Pieces of mixed sizes, empty ones included.
  Md5Context ctx;
  Md5Init(ctx);
  for (uint32_t at = 0; at < data.size();) {
    const uint32_t piece = std::min<uint32_t>(random() % 150, data.size() - at);
    Md5Update(ctx, data.data() + at, piece);
    at += piece;
  }
  unsigned char digest[16];
  Md5Final(digest, ctx);
  EXPECT_EQ(Hex(digest), whole);
}

TEST(Md5, FinalClearsTheContext) {
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, "secret", 6);
  unsigned char digest[16];
  Md5Final(digest, ctx);
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&ctx);
  for (size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(HmacMd5, Rfc2104AndRfc2202Cases) {
  EXPECT_EQ(Hmac("Hi There", std::string(16, '\x0b')), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(Hmac("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(Hmac(std::string(50, '\xdd'), std::string(16, '\xaa')),
            "56be34521d144c88dbb8c733f0e8b3f6");
  std::string key25;
  for (int i = 1; i <= 25; ++i) key25 += static_cast<char>(i);
  EXPECT_EQ(Hmac(std::string(50, '\xcd'), key25), "697eaf0aca3a3aea3a75164746ffaa79");
}

TEST(HmacMd5, KeyLongerThanABlockIsHashedFirst) {
  const std::string key(80, '\xaa');
  EXPECT_EQ(Hmac("Test Using Larger Than Block-Size Key - Hash Key First", key),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(Hmac("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data", key),
            "6f630fad67cda0ee1fb1f562db3aa53e");
  // 65 bytes are replaced by their digest.
  const std::string key65(65, 'k');
  unsigned char k65[16];
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, key65.data(), 65);
  Md5Final(k65, ctx);
  EXPECT_EQ(Hmac("x", key65), Hmac("x", std::string(reinterpret_cast<char *>(k65), 16)));
}

TEST(HmacMd5Text, TextEndsAtItsFirstCr) {
  unsigned char plain[16], withEnd[16];
  EXPECT_EQ(HmacMd5Text("what do ya want for nothing?", "Jefe", plain), 1);
  EXPECT_EQ(Hex(plain), "750c783e6ab0b503eaa86e310a5db738");
  const char text[] = "what do ya want for nothing?\r\nmore";
  EXPECT_EQ(HmacMd5Text(text, "Jefe", withEnd), 1);
  EXPECT_EQ(Hex(withEnd), Hex(plain));
}

// RFC 2195.
TEST(CramMd5Response, Rfc2195Example) {
  auto ch = ZeroChannel();
  std::strcpy(ch->User, "tim");
  std::strcpy(ch->SmtpPassword, "tanstaaftanstaaf");
  std::strcpy(ch->AuthText, "<1896.697170952@postoffice.reston.mci.net>");
  CramMd5Response(*ch, ch->AuthText);
  EXPECT_STREQ(ch->AuthText, "tim b913a602c7eda7a495b4e6e7334d3890");

  // The challenge as decoded with its line end still on.
  std::strcpy(ch->AuthText, "<1896.697170952@postoffice.reston.mci.net>\r\n");
  CramMd5Response(*ch, ch->AuthText);
  EXPECT_STREQ(ch->AuthText, "tim b913a602c7eda7a495b4e6e7334d3890");
}

// RFC 1939.
TEST(ApopDigest, Rfc1939Example) {
  auto ch = ZeroChannel();
  std::strcpy(ch->User, "mrose");
  ApopDigest(*ch, "<1896.697170952@dbc.mtview.ca.us>", "tanstaaf");
  EXPECT_STREQ(ch->AuthText, "mrose c4c9334bac560ecc979e58001b3e22fb");

  // The time-stamp may be handed over in AuthText itself.
  std::strcpy(ch->AuthText, "<1896.697170952@dbc.mtview.ca.us>");
  ApopDigest(*ch, ch->AuthText, "tanstaaf");
  EXPECT_STREQ(ch->AuthText, "mrose c4c9334bac560ecc979e58001b3e22fb");
}

// Time-stamp and password together exceed AuthText: the digest still covers
// every character.
TEST(ApopDigest, LongTimestampAndPasswordAreNotCut) {
  auto ch = ZeroChannel();
  std::strcpy(ch->User, "u");
  const std::string stamp = "<" + std::string(150, '9') + "@host.example>";
  const std::string password(64, 'p');
  ApopDigest(*ch, stamp.c_str(), password.c_str());
  EXPECT_EQ(std::string(ch->AuthText), "u " + Md5(stamp + password));
}

TEST(FormatUserDigest, LongestUserFitsInAuthText) {
  const unsigned char digest[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                    0xf0, 0x0f, 0x10, 0x20, 0x30, 0x40, 0x50, 0xff};
  auto ch = ZeroChannel();
  std::memset(ch->User, 'w', 64);
  FormatUserDigest(*ch, digest);
  EXPECT_EQ(std::string(ch->AuthText), std::string(64, 'w') + " 0123456789abcdeff00f1020304050ff");
  EXPECT_EQ(std::strlen(ch->AuthText), 97u);

  // A User field with no terminator at all still gives at most 64 characters.
  std::memset(ch->User, 'z', sizeof ch->User);
  std::memset(ch->AuthText, '#', sizeof ch->AuthText);
  FormatUserDigest(*ch, digest);
  EXPECT_EQ(std::strlen(ch->AuthText), 97u);
}
