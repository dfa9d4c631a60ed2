// Search, line copy, address syntax and buffer-wide Base64.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fixtures/script_server.h"
#include "core/channel.h"
#include "core/text.h"
#include "kel32.h"

namespace {


std::string EncodeBuffer(const std::string &bytes, int *result) {
  std::vector<char> out(bytes.size() / 57 * 78 + 80, '\x55');
  *result = kelEncodeBuffer(bytes.data(), out.data(), static_cast<int>(bytes.size()));
  return std::string(out.data(), *result > 0 ? *result : 0);
}

// The target has exactly the room the decoder asks for.
std::string DecodeBuffer(const std::string &text, int *result) {
  const int length = static_cast<int>(text.size());
  std::vector<char> source(text.begin(), text.end());
  std::vector<char> out(3 * (length / 4) + 4);
  *result = kelDecodeBuffer(source.data(), out.data(), length);
  return std::string(out.data(), *result > 0 ? *result : 0);
}

}  // namespace

// ---- TextSearch and PrefixEquals ------------------------------------------------

TEST(PrefixEquals, FoldsOnlyLettersAndStopsAtCount) {
  EXPECT_TRUE(PrefixEquals("Subject: x", "SUBJECT: y", 9));
  EXPECT_FALSE(PrefixEquals("Subject: x", "SUBJECT: y", 10));
  EXPECT_TRUE(PrefixEquals("ab", "AB", 5));    // both end together
  EXPECT_FALSE(PrefixEquals("ab", "abc", 5));  // one ends first
  EXPECT_FALSE(PrefixEquals("abc", "abc", 0));
  EXPECT_FALSE(PrefixEquals(nullptr, "abc", 3));
  EXPECT_FALSE(PrefixEquals("abc", nullptr, 3));
  EXPECT_FALSE(PrefixEquals("[", "{", 1));        // no folding outside a to z
  EXPECT_FALSE(PrefixEquals("\xE9", "\xC9", 1));  // nor of 8-bit letters
}

TEST(TextSearch, LastNeedleCharacterIsNotCompared) {
  const char reply[] = "250-AUTH LOGIN CRAM-MD5\r\n";
  EXPECT_EQ(TextSearch(reply, "auth login"), reply + 4);
  EXPECT_EQ(TextSearch(reply, "AUTH LOGIX"), reply + 4);
  EXPECT_EQ(TextSearch(reply, "AUTH CRAM-MD5"), nullptr);
}

TEST(TextSearch, MatchMustLieWithinTheHaystack) {
  const char text[] = "xxAUTH LOGIX";
  EXPECT_EQ(TextSearch(text, "AUTH LOGIN"), text + 2);  // at the last start position
  // The compared prefix "AUTH LOGI" stands at 3, but the whole needle would
  // run past the end.
  EXPECT_EQ(TextSearch("abcAUTH LOGI", "AUTH LOGIN"), nullptr);
  EXPECT_EQ(TextSearch("ab", "abc"), nullptr);
  const char twice[] = "a-b a-b";
  EXPECT_EQ(TextSearch(twice, "A-B"), twice);  // the first match
}

TEST(TextSearch, ShortNeedlesNeverMatch) {
  EXPECT_EQ(TextSearch("abc", "a"), nullptr);
  EXPECT_EQ(TextSearch("abc", ""), nullptr);
  EXPECT_EQ(TextSearch(nullptr, "ab"), nullptr);
  EXPECT_EQ(TextSearch("ab", nullptr), nullptr);
}

// ---- CopyLine, kelExtractText, kelExtractLine -----------------------------------

TEST(CopyLine, LineWithItsLfAndNulMustFit) {
  char out[16];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(CopyLine("12345678\nnext", out, 10), 9);
  EXPECT_STREQ(out, "12345678\n");
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(CopyLine("123456789\nnext", out, 10), 0);
  for (int i = 10; i < 16; ++i) EXPECT_EQ(out[i], '#') << i;  // nothing beyond outSize
  // No LF: the text up to its end; its NUL is copied only below outSize - 1.
  EXPECT_EQ(CopyLine("abc", out, 5), 3);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(CopyLine("abc", out, 4), 0);
  EXPECT_EQ(CopyLine("", out, 1), 0);
  EXPECT_EQ(CopyLine("", out, 2), 0);  // fits, but holds no character
  EXPECT_EQ(CopyLine("a\n", out, 0), 0);
  EXPECT_EQ(CopyLine("a\n", out, -5), 0);
}

TEST(ExtractText, RestOfTheLineFromTheMatch) {
  const char buffer[] = "From: a@b\r\nSubject: Hello\nTo: c@d\n";
  char out[32];
  EXPECT_EQ(kelExtractText(buffer, "subject: ", out, 16), 15);
  EXPECT_STREQ(out, "Subject: Hello\n");
  EXPECT_EQ(kelExtractText(buffer, "subject: ", out, 15), 0);
  EXPECT_EQ(kelExtractText(buffer, "ject: H", out, sizeof out), 12);
  EXPECT_STREQ(out, "ject: Hello\n");
  EXPECT_EQ(kelExtractText(buffer, "subject;", out, sizeof out), 15);  // last character free
  EXPECT_EQ(kelExtractText(buffer, "S", out, sizeof out), 0);
  EXPECT_EQ(kelExtractText(buffer, "Cc: ", out, sizeof out), 0);
  EXPECT_EQ(kelExtractText(nullptr, "To", out, sizeof out), 0);
  EXPECT_EQ(kelExtractText(buffer, nullptr, out, sizeof out), 0);
  EXPECT_EQ(kelExtractText(buffer, "To", nullptr, 10), 0);
}

TEST(ExtractLine, CountsLinesFromOne) {
  char out[32];
  EXPECT_EQ(kelExtractLine("one\ntwo\n", 3, out, sizeof out), 0);
  EXPECT_EQ(kelExtractLine("one\ntwo\nthree", 3, out, sizeof out), 5);
  EXPECT_STREQ(out, "three");
  EXPECT_EQ(kelExtractLine("one\r\ntwo\n", 2, out, sizeof out), 4);
  EXPECT_STREQ(out, "two\n");
  EXPECT_EQ(kelExtractLine("one\r\ntwo\n", 1, out, sizeof out), 5);  // CR is part of the line
  EXPECT_EQ(kelExtractLine("one\ntwo\n", 0, out, sizeof out), 4);
  EXPECT_EQ(kelExtractLine("one\ntwo\n", -7, out, sizeof out), 4);
  EXPECT_EQ(kelExtractLine(nullptr, 1, out, sizeof out), 0);
  EXPECT_EQ(kelExtractLine("one\n", 1, nullptr, 10), 0);
}

// ---- kelVerifyFormat ---------------------------------------------------------------

TEST(VerifyFormat, EachRuleInItsOrder) {
  EXPECT_EQ(kelVerifyFormat("<ab@cd>"), 1);
  EXPECT_EQ(kelVerifyFormat("Name <ab@cd> trailing ! text"), 1);
  EXPECT_EQ(kelVerifyFormat(nullptr), -47);
  EXPECT_EQ(kelVerifyFormat(""), -37);
  EXPECT_EQ(kelVerifyFormat("ab@cd"), -41);
  EXPECT_EQ(kelVerifyFormat("<ab@cd"), -43);
  EXPECT_EQ(kelVerifyFormat("a>b<c@d>"), -43);  // ">" before "<"
  EXPECT_EQ(kelVerifyFormat("<>"), -47);
  EXPECT_EQ(kelVerifyFormat("<@ab>"), -37);
  EXPECT_EQ(kelVerifyFormat("<ab@>"), -37);
  EXPECT_EQ(kelVerifyFormat("<abcd>"), -39);
  EXPECT_EQ(kelVerifyFormat("<a>"), -39);
  EXPECT_EQ(kelVerifyFormat("<a@b@c>"), -53);
  EXPECT_EQ(kelVerifyFormat("<a b@c>"), -32);
  EXPECT_EQ(kelVerifyFormat("<a\xE9@bc>"), -32);
  EXPECT_EQ(kelVerifyFormat("<a,b@c>"), -43);  // the comma is the separator
}

TEST(VerifyFormat, CharacterSetAndTheUntestedLastCharacter) {
  EXPECT_EQ(kelVerifyFormat("<a_b-c/d.e$f&g'h@Z9>"), 1);
  EXPECT_EQ(kelVerifyFormat("<ab@cd!>"), 1);  // the last character is not tested
  EXPECT_EQ(kelVerifyFormat("<ab!@cd>"), -32);
  EXPECT_EQ(kelVerifyFormat("<a@@>"), -37);
}

TEST(VerifyFormat, OnlyTheFirstAddressOfAListIsTested) {
  EXPECT_EQ(kelVerifyFormat("x,<ab@cd>"), -41);
  EXPECT_EQ(kelVerifyFormat("<ab@cd>,<bad address>"), 1);
  const char saved = Settings.AddressSeparator;
  Settings.AddressSeparator = ';';
  EXPECT_EQ(kelVerifyFormat("x,<ab@cd>"), 1);
  EXPECT_EQ(kelVerifyFormat("x;<ab@cd>"), -41);
  Settings.AddressSeparator = saved;
}

// ---- kelEncodeBuffer and kelDecodeBuffer ----------------------------------------

TEST(EncodeBuffer, LinesOfFiftySevenBytes) {
  int n;
  const std::string bytes58(58, 'x');
  const std::string full = EncodeBuffer(bytes58.substr(0, 57), &n);
  EXPECT_EQ(n, 78);
  EXPECT_EQ(full.substr(76), "\r\n");
  const std::string two = EncodeBuffer(bytes58, &n);
  EXPECT_EQ(n, 84);
  EXPECT_EQ(two.substr(0, 78), full);
  EXPECT_EQ(two.substr(78), "eA==\r\n");
  char target[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(kelEncodeBuffer("abc", target, 0), 0);
  EXPECT_EQ(kelEncodeBuffer("abc", target, -3), 0);
  EXPECT_EQ(target[0], '#');
}

// Every length 0 to 200 against coreutils (lines of 76, LF made CR LF), and
// decoded back.
TEST(EncodeBuffer, MatchesCoreutilsAndDecodesBack) {
  std::mt19937 random(57);
  std::string all;
  for (int n = 0; n <= 200; ++n)
    for (int i = 0; i < n; ++i) all += static_cast<char>(random() & 255);
  const std::string dir = TestDirectory("encode-buffer");
  WriteFileText(dir + "/data", all);
  const std::string reference = RunCommand(
      "off=1; for n in $(seq 0 200); do tail -c +$off '" + dir +
      "/data' | head -c $n | base64 -w 76 | sed 's/$/\\r/'; echo '#'; off=$((off + n)); done");
  size_t at = 0, ref = 0;
  for (int n = 0; n <= 200; ++n) {
    const std::string bytes = all.substr(at, n);
    at += n;
    const size_t end = reference.find("#\n", ref);
    ASSERT_NE(end, std::string::npos) << n;
    int written;
    const std::string text = EncodeBuffer(bytes, &written);
    EXPECT_EQ(text, reference.substr(ref, end - ref)) << n;
    ref = end + 2;
    int decoded;
    EXPECT_EQ(DecodeBuffer(text, &decoded), bytes) << n;
    EXPECT_EQ(decoded, n);
  }
}

TEST(DecodeBuffer, LineEnds) {
  int n;
  EXPECT_EQ(DecodeBuffer("YWJj\r\nZGVm", &n), "abcdef");  // last line without CR LF
  EXPECT_EQ(DecodeBuffer("YWJj\r\n\r\n\nZGVm\r\n\r\n", &n), "abcdef");
  EXPECT_EQ(DecodeBuffer("YQ==\r\nYg==", &n), "ab");
  EXPECT_EQ(DecodeBuffer("YQ=\r\nYWJj", &n), "abc");  // a short piece gives nothing
  EXPECT_EQ(DecodeBuffer("", &n), "");
  EXPECT_EQ(n, 0);
  // The length bounds the walk: the second line is not looked at.
  char out[16];
  EXPECT_EQ(kelDecodeBuffer("YWJj\r\nZGVm", out, 6), 3);
  EXPECT_EQ(kelDecodeBuffer("YWJj", out, -1), 0);
}

// A zero byte ends the text; the walk must not stall on it.
TEST(DecodeBuffer, ZeroByteEndsTheText) {
  int n;
  EXPECT_EQ(DecodeBuffer(std::string("YWJj\0ZGVm", 9), &n), "abc");
  EXPECT_EQ(DecodeBuffer(std::string("YWJj\r\n\0ZGVm", 11), &n), "abc");
}
