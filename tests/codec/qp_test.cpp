// Quoted-printable decoding of lines and header words.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace {

// Decodes a copy of exactly the text and its NUL, so that any read past the
// NUL is caught by the sanitizer; the result holds the bytes produced.
std::string Qp(const std::string &text, int *count = nullptr) {
  std::vector<char> source(text.begin(), text.end());
  source.push_back('\0');
  std::vector<char> target(source.size(), '\x55');
  const int n = QpDecodeText(source.data(), target.data());
  if (count) *count = n;
  EXPECT_EQ(target[n], '\0') << text;
  return std::string(target.data(), n);
}

}  // namespace

TEST(HexValue, BothCasesOfDigits) {
  const char upper[] = "0123456789ABCDEF", lower[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(HexValue(upper[i]), i);
    EXPECT_EQ(HexValue(lower[i]), i);
  }
  for (char c : {'G', 'g', ' ', '=', '\0', '\xE9', '/', ':', '@', '`'}) EXPECT_EQ(HexValue(c), 0) << c;
}

TEST(QpDecode, EscapesInEitherCase) {
  int n;
  EXPECT_EQ(Qp("caf=E9", &n), "caf\xE9");
  EXPECT_EQ(n, 4);
  EXPECT_EQ(Qp("caf=e9"), "caf\xE9");
  EXPECT_EQ(Qp("a=3Db=09c"), "a=b\tc");
  EXPECT_EQ(Qp("==41"), "=A");  // the first "=" is no escape
}

TEST(QpDecode, EveryByteValue) {
  std::string upper, lower, expected;
  for (int b = 1; b < 256; ++b) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "=%02X", b);
    upper += hex;
    std::snprintf(hex, sizeof hex, "=%02x", b);
    lower += hex;
    expected += static_cast<char>(b);
  }
  EXPECT_EQ(Qp(upper), expected);
  EXPECT_EQ(Qp(lower), expected);
}

TEST(QpDecode, SoftLineBreakEndsTheText) {
  int n;
  EXPECT_EQ(Qp("a=\r\n", &n), "a");
  EXPECT_EQ(n, 1);
  EXPECT_EQ(Qp("=\rrest"), "");
  // A hard line end is copied.
  EXPECT_EQ(Qp("ab=20\r\n"), "ab \r\n");
}

// Encoded header words and quoted names keep their "=" signs.
TEST(QpDecode, EqualsSignWithoutTwoHexDigitsStays) {
  EXPECT_EQ(Qp("x=?y"), "x=?y");
  EXPECT_EQ(Qp("=?iso-8859-1?q?caf=E9?= x"), "=?iso-8859-1?q?caf\xE9?= x");
  EXPECT_EQ(Qp("name=\"a.txt\""), "name=\"a.txt\"");
  EXPECT_EQ(Qp("=G1 =4G = x"), "=G1 =4G = x");
  EXPECT_EQ(Qp("a=\nb"), "a=\nb");  // a bare LF is no soft line break
}

TEST(QpDecode, TextEndingInsideAnEscapeStopsAtItsNul) {
  EXPECT_EQ(Qp("abc="), "abc=");
  EXPECT_EQ(Qp("abc=4"), "abc=4");
  EXPECT_EQ(Qp("="), "=");
  EXPECT_EQ(Qp(""), "");
}

TEST(QpDecode, InPlace) {
  char line[] = "caf=E9 =3D =?x?= =\r\n";
  const int n = QpDecodeText(line, line);
  EXPECT_EQ(std::string(line, n), "caf\xE9 = =?x?= ");
  EXPECT_EQ(line[n], '\0');
}

// ---- uudecode and RFC 2231 escapes -----------------------------------------------

TEST(UuDecode, LinesGiveTheBytesTheirLengthAnnounces) {
  const struct {
    std::string Line, Bytes;
  } cases[] = {
      {"&:&5L;&\\*\"@``", "hello\n"},    // "`" stands for a zero sextet
      {"#86)C", "abc"},
      {"`", ""},                        // the empty line of a block
      {"#86", std::string("a`\0", 3)},  // cut short: missing characters count as zero bits
  };
  for (const auto &c : cases) {
    unsigned char out[80];
    const int n = UuDecodeLine(c.Line.data(), static_cast<int>(c.Line.size()), out);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), static_cast<size_t>(n)), c.Bytes) << c.Line;
  }
  // A length character above the line's 45 bytes still stays within 63.
  unsigned char out[80];
  EXPECT_EQ(UuDecodeLine("_", 1, out), 63);
}

TEST(PercentDecode, EscapesBecomeBytesAndTheRestStays) {
  char text[] = "Gr%C3%BCe%2e %zz 100%";
  const int n = PercentDecode(text, static_cast<int>(strlen(text)), text);
  EXPECT_EQ(std::string(text, static_cast<size_t>(n)), "Gr\xC3\xBC" "e. %zz 100%");
}
