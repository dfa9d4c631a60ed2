// The SASL messages before Base64 and the AUTH command lines, at the edges
// of their buffers; the mechanism lists themselves are tested through the
// SMTP and POP3 dialogues.
#include <gtest/gtest.h>

#include <string>

#include "codec/sasl.h"

namespace {

using Builder = int (*)(char *, int, const char *, const char *);

std::string Build(Builder build, const char *user, const char *secret, int size = 256) {
  std::string out(static_cast<size_t>(size), '#');
  int n = build(&out[0], size, user, secret);
  return n < 0 ? "<does not fit>" : out.substr(0, static_cast<size_t>(n));
}

}  // namespace

TEST(SaslMessages, FieldsAndSeparatorsAreExact) {
  using namespace std::string_literals;
  EXPECT_EQ(Build(SaslPlainMessage, "tim", "tanstaaf"), "\0tim\0tanstaaf"s);
  EXPECT_EQ(Build(SaslPlainMessage, "", ""), "\0\0"s);
  EXPECT_EQ(Build(SaslXoauth2Message, "a@b.c", "tok"), "user=a@b.c\001auth=Bearer tok\001\001");
  EXPECT_EQ(Build(SaslOauthBearerMessage, "a@b.c", "tok"), "n,a=a@b.c,\001auth=Bearer tok\001\001");
  // RFC 5801 saslname: "," and "=" of the authorization identity are escaped.
  EXPECT_EQ(Build(SaslOauthBearerMessage, "a=b,c", "t"), "n,a=a=3Db=2Cc,\001auth=Bearer t\001\001");
  EXPECT_EQ(Build(SaslOauthBearerMessage, "", "t"), "n,,\001auth=Bearer t\001\001");
}

TEST(SaslMessages, AMessageThatDoesNotFitIsRefusedNotCut) {
  // "user=u" ^A "auth=Bearer t" ^A ^A is 22 bytes.
  EXPECT_EQ(Build(SaslXoauth2Message, "u", "t", 22), "user=u\001auth=Bearer t\001\001");
  EXPECT_EQ(Build(SaslXoauth2Message, "u", "t", 21), "<does not fit>");
  EXPECT_EQ(Build(SaslPlainMessage, "u", "pw", 4), "<does not fit>");
  // Each escape takes three bytes.
  EXPECT_EQ(Build(SaslOauthBearerMessage, ",,", "t", 26), "<does not fit>");
  EXPECT_EQ(Build(SaslOauthBearerMessage, ",,", "t", 27), "n,a==2C=2C,\001auth=Bearer t\001\001");
}

TEST(SaslCommand, LineWithAndWithoutInitialResponse) {
  char line[64];
  EXPECT_EQ(SaslCommandLine(line, sizeof line, "AUTH", 3, "\0u\0p", 4), 19);
  EXPECT_STREQ(line, "AUTH PLAIN AHUAcA==");
  EXPECT_EQ(SaslCommandLine(line, sizeof line, "AUTH", 5, "", -1), 16);
  EXPECT_STREQ(line, "AUTH OAUTHBEARER");
  EXPECT_EQ(SaslCommandLine(line, sizeof line, "AUTH", 4, "", 0), 14);
  EXPECT_STREQ(line, "AUTH XOAUTH2 =");  // an empty initial response (RFC 4954)
  // The encoder writes CR LF behind the characters: they must fit as well.
  EXPECT_EQ(SaslCommandLine(line, 21, "AUTH", 3, "\0u\0p", 4), 19);
  EXPECT_EQ(SaslCommandLine(line, 20, "AUTH", 3, "\0u\0p", 4), -1);
  EXPECT_STREQ(SaslName(0), "");
  EXPECT_STREQ(SaslName(9), "");
}

TEST(SaslChoice, ForcedTokenAndPreferredOrders) {
  const int all = SaslCramMd5 | SaslLogin | SaslPlain | SaslXoauth2 | SaslOauthBearer;
  struct Case {
    int Offered, Forced;
    bool Token, User;
    int Chosen;
  } cases[] = {
      {all, 0, false, true, 1},           {all & ~SaslCramMd5, 0, false, true, 2},
      {SaslPlain | SaslXoauth2, 0, false, true, 3}, {SaslPlain, 0, false, false, 0},  // PLAIN wants a user
      {SaslXoauth2 | SaslOauthBearer, 0, false, true, 0}, {all, 0, true, true, 4},
      {SaslOauthBearer | SaslCramMd5, 0, true, true, 5},  {SaslCramMd5 | SaslLogin, 0, true, true, -76},
      {all, 3, true, true, 3},            {SaslLogin, 1, false, true, -76},
      {0, 0, false, true, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(ChooseMechanism(c.Offered, c.Forced, c.Token, c.User), c.Chosen) << c.Offered << " " << c.Forced;
}
