// Base64 lines and pieces, checked against the coreutils encoder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "fixtures/script_server.h"

namespace {

std::string Encode(const std::string &bytes) {
  std::vector<char> out(4 * ((bytes.size() + 2) / 3) + 2);
  const int n = Base64EncodeLine(reinterpret_cast<const unsigned char *>(bytes.data()), out.data(),
                                 static_cast<int>(bytes.size()));
  return std::string(out.data(), n + 2);
}

std::string Decode(const std::string &text, int *result) {
  std::vector<unsigned char> out(text.size() / 4 * 3 + 4, 0xAA);
  *result = Base64DecodePiece(text.data(), out.data(), static_cast<int>(text.size()));
  return std::string(out.begin(), out.end());
}


}  // namespace

TEST(Base64Line, ShortGroupsArePadded) {
  EXPECT_EQ(Encode("abc"), "YWJj\r\n");
  EXPECT_EQ(Encode("a"), "YQ==\r\n");
  EXPECT_EQ(Encode("ab"), "YWI=\r\n");
  EXPECT_EQ(Encode(""), "\r\n");
  char target[8] = {};
  EXPECT_EQ(Base64EncodeLine(reinterpret_cast<const unsigned char *>("ab"), target, 2), 4);
  EXPECT_EQ(Base64EncodeLine(nullptr, target, 0), 0);
  EXPECT_EQ(std::string(target, 2), "\r\n");
}

TEST(Base64Line, FiftySevenBytesMakeOneFullLine) {
  std::string expected;
  for (int i = 0; i < 19; ++i) expected += "+/v7";
  EXPECT_EQ(Encode(std::string(57, '\xFB')), expected + "\r\n");
}

TEST(Base64Value, AlphabetAndForeignCharacters) {
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) EXPECT_EQ(Base64Value(alphabet[i]), i) << alphabet[i];
  for (int c = 0; c < 256; ++c) {
    if (c != 0 && std::strchr(alphabet, c)) continue;
    EXPECT_EQ(Base64Value(static_cast<char>(c)), 0) << c;
  }
}

TEST(Base64Piece, DecodesGroupsAndCountsPads) {
  int n;
  EXPECT_EQ(Decode("YWJj", &n).substr(0, 3), "abc");
  EXPECT_EQ(n, 3);
  EXPECT_EQ(Decode("YQ==", &n)[0], 'a');
  EXPECT_EQ(n, 1);
  EXPECT_EQ(Decode("YWI=\r\n", &n).substr(0, 2), "ab");
  EXPECT_EQ(n, 2);
}

TEST(Base64Piece, FewerThanFourCharactersWriteNothing) {
  unsigned char target[8];
  std::memset(target, 0xAA, sizeof target);
  EXPECT_EQ(Base64DecodePiece("YQ=", target, 3), 0);
  for (unsigned char b : target) EXPECT_EQ(b, 0xAA);
}

TEST(Base64Piece, ZeroesTheRoomBehindTheBytes) {
  int n;
  // 6 characters: one group, room of 3 + 4 bytes zeroed; nothing further.
  std::vector<unsigned char> out(16, 0xAA);
  n = Base64DecodePiece("YQ==\r\n", out.data(), 6);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(out[0], 'a');
  for (int i = 1; i < 7; ++i) EXPECT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[7], 0xAA);
}

// No validation: a blank shifts the groups. "YW J" is one group, the last
// "j" is left over.
TEST(Base64Piece, ForeignCharacterShiftsTheGroups) {
  int n;
  const std::string decoded = Decode("YW Jj", &n);
  EXPECT_EQ(n, 3);
  EXPECT_NE(decoded.substr(0, 3), "abc");
  unsigned char expected[3];
  Base64DecodeGroup("YWAJ", expected);  // the blank counts as "A"
  EXPECT_EQ(decoded.substr(0, 3), std::string(reinterpret_cast<char *>(expected), 3));
}

// Every length from 0 to 200, each with bytes of its own, against the
// coreutils encoder; then decoded back.
TEST(Base64Line, MatchesCoreutilsAndRoundTrips) {
  std::mt19937 random(20261208);
  std::string all;
  for (int n = 0; n <= 200; ++n)
    for (int i = 0; i < n; ++i) all += static_cast<char>(random() & 255);
  const std::string dir = TestDirectory("base64-line");
  WriteFileText(dir + "/data", all);
  const std::string reference = RunCommand(
      "off=1; for n in $(seq 0 200); do tail -c +$off '" + dir +
      "/data' | head -c $n | base64 -w 0; echo; off=$((off + n)); done");

  size_t at = 0, line = 0;
  for (int n = 0; n <= 200; ++n) {
    // An exact-size copy: a read past the count is caught by the sanitizer.
    std::vector<unsigned char> bytes(all.begin() + at, all.begin() + at + n);
    at += n;
    std::vector<char> text(4 * ((n + 2) / 3) + 2);
    const int chars = Base64EncodeLine(bytes.data(), text.data(), n);
    const size_t end = reference.find('\n', line);
    ASSERT_NE(end, std::string::npos) << "reference output too short at " << n;
    EXPECT_EQ(std::string(text.data(), chars), reference.substr(line, end - line)) << n;
    line = end + 1;
    EXPECT_EQ(std::string(text.data() + chars, 2), "\r\n");

    std::vector<unsigned char> back(text.size() / 4 * 3 + 4);
    ASSERT_EQ(Base64DecodePiece(text.data(), back.data(), static_cast<int>(text.size())), n);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin())) << n;
  }
}
