// The feature record: what EHLO and CAPA replies offer, each read in one
// place. One row per reply form; every later choice reads these bits.
#include <gtest/gtest.h>

#include "codec/sasl.h"
#include "driver/features.h"

namespace {

struct EhloCase {
  const char *Reply;
  uint32_t Bits;
  uint32_t Size;
  int Sasl;
};

const EhloCase EhloCases[] = {
    {"250-mail.example\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n"
     "250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250-DSN\r\n250-SMTPUTF8\r\n250 CHUNKING\r\n",
     FeatPipelining | FeatSize | FeatStartTls | FeatAuth | FeatEnhancedStatusCodes | Feat8BitMime | FeatDsn |
         FeatSmtpUtf8 | FeatChunking,
     10240000, SaslPlain | SaslLogin},
    // The old "AUTH=" form, lower case, tabs, and the list on several lines.
    {"250-x\r\n250-auth=login\r\n250 AUTH\tCRAM-MD5 plain\r\n", FeatAuth, 0, SaslLogin | SaslCramMd5 | SaslPlain},
    // Names are whole words: no prefix or longer name matches.
    {"250-x\r\n250-AUTH PLAIN-CLIENTTOKEN XOAUTH LOGINX\r\n250 PIPELININGX\r\n", FeatAuth, 0, 0},
    {"250-x\r\n250-STARTTLSX\r\n250-XSTARTTLS\r\n250 SIZEX 5\r\n", 0, 0, 0},
    // The 4th character must be the separator; the "=" form is AUTH's alone.
    {"250-x\r\n250PIPELINING\r\n250 STARTTLS=1\r\n", 0, 0, 0},
    {"250 STARTTLS", FeatStartTls, 0, 0},
    {"250-x\n250 PIPELINING\n", FeatPipelining, 0, 0},
    // SIZE without a limit, and a limit past 32 bits saturates.
    {"250-x\r\n250 SIZE\r\n", FeatSize, 0, 0},
    {"250-x\r\n250 SIZE 99999999999\r\n", FeatSize, 0xFFFFFFFFu, 0},
    {"250 mail.example\r\n", 0, 0, 0},
    {"", 0, 0, 0},
};

TEST(Features, EhloReplyIsReadOnceIntoTheRecord) {
  for (const EhloCase &c : EhloCases) {
    ServerFeatures f{0xFFFFFFFFu, 7, 0xFF};  // cleared by the reader
    ReadEhloFeatures(c.Reply, f);
    EXPECT_EQ(f.Bits, c.Bits) << c.Reply;
    EXPECT_EQ(f.SizeLimit, c.Size) << c.Reply;
    EXPECT_EQ(f.Sasl, c.Sasl) << c.Reply;
  }
}

TEST(Features, CapaLinesAddUp) {
  struct {
    const char *Line;
    uint32_t Bits;
    int Sasl;
  } cases[] = {
      {"SASL PLAIN LOGIN CRAM-MD5\r\n", FeatSasl, SaslPlain | SaslLogin | SaslCramMd5},
      {"sasl xoauth2\r\n", FeatSasl, SaslXoauth2},
      {"SASL\r\n", FeatSasl, 0},
      {"SASLX PLAIN\r\n", 0, 0},
      {"IMPLEMENTATION PLAIN\r\n", 0, 0},
      {"STLS\r\n", FeatStls, 0},
      {"STLSX\r\n", 0, 0},
      {"UIDL\r\n", FeatUidl, 0},
      {"TOP\r\n", FeatTop, 0},
      {"PIPELINING\r\n", FeatPipelining, 0},
  };
  ServerFeatures all{};
  for (const auto &c : cases) {
    ServerFeatures f{};
    ReadCapaLine(c.Line, f);
    EXPECT_EQ(f.Bits, c.Bits) << c.Line;
    EXPECT_EQ(f.Sasl, c.Sasl) << c.Line;
    ReadCapaLine(c.Line, all);
  }
  EXPECT_EQ(all.Bits, FeatSasl | FeatStls | FeatUidl | FeatTop | FeatPipelining);
  EXPECT_EQ(all.Sasl, SaslPlain | SaslLogin | SaslCramMd5 | SaslXoauth2);
}

}  // namespace

namespace {

// The login a server's EHLO reply leads to: the reply read into the record,
// then the library's choice. One row per form of the AUTH list.
TEST(Features, EhloAuthListToChosenMechanism) {
  struct {
    const char *Reply;
    bool Token;
    int Chosen;
  } cases[] = {
      {"250-x\r\n250 AUTH PLAIN LOGIN CRAM-MD5\r\n", false, 1},
      {"250-x\r\n250-AUTH=LOGIN\r\n250 AUTH PLAIN\r\n", false, 2},
      {"250-x\r\n250 AUTH PLAIN\r\n", false, 3},
      {"250-x\r\n250 AUTH PLAIN-CLIENTTOKEN XOAUTH\r\n", false, 0},
      {"250-x\r\n250 AUTH XOAUTH2 OAUTHBEARER PLAIN\r\n", true, 4},
      {"250-x\r\n250 AUTH oauthbearer\r\n", true, 5},
      {"250-x\r\n250 AUTH LOGIN\r\n", true, -76},
      {"250 x\r\n", false, 0},
  };
  for (const auto &c : cases) {
    ServerFeatures f{};
    ReadEhloFeatures(c.Reply, f);
    EXPECT_EQ(ChooseMechanism(f.Sasl, 0, c.Token, true), c.Chosen) << c.Reply;
  }
}

}  // namespace
