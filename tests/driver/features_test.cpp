// The feature record: what EHLO, CAPA and IMAP capability replies offer,
// each read in one place, and the offer's wording kept within bounds. One
// row per reply form; every later choice reads these bits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/sasl.h"
#include "driver/features.h"

namespace {

struct EhloCase {
  const char *Reply;
  uint32_t Bits;
  uint32_t Size;
  int Sasl;
  const char *Text;  // what KEL_DEBUG_CAPABILITIES shows: the keyword lines after the greeting
};

const EhloCase EhloCases[] = {
    {"250-mail.example\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n"
     "250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250-DSN\r\n250-SMTPUTF8\r\n250 CHUNKING\r\n",
     FeatPipelining | FeatSize | FeatStartTls | FeatAuth | FeatEnhancedStatusCodes | Feat8BitMime | FeatDsn |
         FeatSmtpUtf8 | FeatChunking,
     10240000, SaslPlain | SaslLogin,
     "PIPELINING\nSIZE 10240000\nSTARTTLS\nAUTH PLAIN LOGIN\nENHANCEDSTATUSCODES\n8BITMIME\nDSN\nSMTPUTF8\n"
     "CHUNKING\n"},
    // The old "AUTH=" form, lower case, tabs, and the list on several lines.
    {"250-x\r\n250-auth=login\r\n250 AUTH\tCRAM-MD5 plain\r\n", FeatAuth, 0, SaslLogin | SaslCramMd5 | SaslPlain,
     "auth=login\nAUTH\tCRAM-MD5 plain\n"},
    // Names are whole words: no prefix or longer name matches.
    {"250-x\r\n250-AUTH PLAIN-CLIENTTOKEN XOAUTH LOGINX\r\n250 PIPELININGX\r\n", FeatAuth, 0, 0,
     "AUTH PLAIN-CLIENTTOKEN XOAUTH LOGINX\nPIPELININGX\n"},
    {"250-x\r\n250-STARTTLSX\r\n250-XSTARTTLS\r\n250 SIZEX 5\r\n", 0, 0, 0, "STARTTLSX\nXSTARTTLS\nSIZEX 5\n"},
    // The 4th character must be the separator; the "=" form is AUTH's alone.
    {"250-x\r\n250PIPELINING\r\n250 STARTTLS=1\r\n", 0, 0, 0, "STARTTLS=1\n"},
    {"250 STARTTLS", FeatStartTls, 0, 0, ""},
    {"250-x\n250 PIPELINING\n", FeatPipelining, 0, 0, "PIPELINING\n"},
    // SIZE without a limit, and a limit past 32 bits saturates.
    {"250-x\r\n250 SIZE\r\n", FeatSize, 0, 0, "SIZE\n"},
    {"250-x\r\n250 SIZE 99999999999\r\n", FeatSize, 0xFFFFFFFFu, 0, "SIZE 99999999999\n"},
    // Control bytes a server sends are not passed on to whoever prints the text.
    {"250-x\r\n250-X-\x1b[31mRED\r\n250 8BITMIME\r\n", Feat8BitMime, 0, 0, "X-?[31mRED\n8BITMIME\n"},
    {"250 mail.example\r\n", 0, 0, 0, ""},
    {"", 0, 0, 0, ""},
};

TEST(Features, EhloReplyIsReadOnceIntoTheRecord) {
  for (const EhloCase &c : EhloCases) {
    ServerFeatures f{};  // cleared by the reader
    f.Bits = 0xFFFFFFFFu;
    f.SizeLimit = 7;
    f.Sasl = 0xFF;
    f.TextFull = 1;
    f.TextLength = 4;
    memcpy(f.Text, "old\n", 5);
    ReadEhloFeatures(c.Reply, f);
    EXPECT_EQ(f.Bits, c.Bits) << c.Reply;
    EXPECT_EQ(f.SizeLimit, c.Size) << c.Reply;
    EXPECT_EQ(f.Sasl, c.Sasl) << c.Reply;
    EXPECT_EQ(std::string(f.Text, f.TextLength), c.Text) << c.Reply;
    EXPECT_EQ(strlen(f.Text), f.TextLength) << c.Reply;
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
  // Every line is kept as worded, known or not, in the order read.
  EXPECT_STREQ(all.Text,
               "SASL PLAIN LOGIN CRAM-MD5\nsasl xoauth2\nSASL\nSASLX PLAIN\nIMPLEMENTATION PLAIN\nSTLS\nSTLSX\n"
               "UIDL\nTOP\nPIPELINING\n");
}

TEST(Features, ImapCapabilitiesAreKeptOneALine) {
  ServerFeatures f{};
  for (const char *atom : {"IMAP4rev1", "SASL-IR", "AUTH=PLAIN", "AUTH=XOAUTH2", "IDLE"})
    ReadImapCapability(atom, static_cast<int>(strlen(atom)), f);
  EXPECT_EQ(f.Bits, FeatImap4Rev1 | FeatSaslIr | FeatAuth | FeatIdle);
  EXPECT_EQ(f.Sasl, SaslPlain | SaslXoauth2);
  EXPECT_STREQ(f.Text, "IMAP4rev1\nSASL-IR\nAUTH=PLAIN\nAUTH=XOAUTH2\nIDLE\n");
  // Only the given length counts, not what follows it.
  ReadImapCapability("MOVE UNSELECT", 4, f);
  EXPECT_STREQ(f.Text + f.TextLength - 5, "MOVE\n");
}

// However long or many the lines a server sends, the text stays within
// its field: whole lines only, none after the first that does not fit,
// and the bits still read from every line.
TEST(Features, CapabilityTextIsBoundedToWholeLines) {
  const std::string longLine(700, 'A');
  std::string reply = "250-mail.example\r\n250-X-" + longLine + "\r\n250-X-" + longLine + "\r\n250-SIZE 5\r\n";
  for (int i = 0; i < 400; i++) reply += "250-X-" + std::to_string(i) + "\r\n";
  reply += "250 PIPELINING\r\n";
  ServerFeatures f{};
  ReadEhloFeatures(reply.c_str(), f);
  EXPECT_EQ(f.Bits, FeatSize | FeatPipelining);
  EXPECT_EQ(f.TextLength, 703u);
  EXPECT_EQ(std::string(f.Text), "X-" + longLine + "\n");
  EXPECT_EQ(f.TextFull, 1);

  ServerFeatures caps{};
  int kept = 0;
  for (int i = 0; i < 1000; i++) {
    const std::string atom = "CAP" + std::to_string(i);
    ReadImapCapability(atom.c_str(), static_cast<int>(atom.size()), caps);
    if (!caps.TextFull) kept = i + 1;
  }
  ASSERT_LT(caps.TextLength, sizeof caps.Text);
  EXPECT_EQ(caps.Text[caps.TextLength], 0);
  EXPECT_EQ(caps.Text[caps.TextLength - 1], '\n');
  const std::string last = "CAP" + std::to_string(kept - 1) + "\n";
  EXPECT_EQ(std::string(caps.Text).substr(caps.TextLength - last.size()), last);
  // A new list starts afresh.
  ReadEhloFeatures("250-x\r\n250 DSN\r\n", caps);
  EXPECT_STREQ(caps.Text, "DSN\n");
  EXPECT_EQ(caps.TextFull, 0);
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
