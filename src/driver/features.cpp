// The feature record: one reader for the EHLO reply, one for CAPA lines,
// one for IMAP capabilities; each also keeps the offer's wording.
#include "features.h"

#include <cstring>
#include <iterator>

#include "../codec/sasl.h"
#include "../core/text.h"

namespace {

struct Keyword {
  const char *Name;
  uint32_t Bit;
};

const Keyword EhloKeywords[] = {
    {"STARTTLS", FeatStartTls},
    {"PIPELINING", FeatPipelining},
    {"8BITMIME", Feat8BitMime},
    {"SMTPUTF8", FeatSmtpUtf8},
    {"DSN", FeatDsn},
    {"CHUNKING", FeatChunking},
    {"ENHANCEDSTATUSCODES", FeatEnhancedStatusCodes},
    {"SIZE", FeatSize},
    {"AUTH", FeatAuth},
};

const Keyword CapaTags[] = {
    {"STLS", FeatStls}, {"SASL", FeatSasl}, {"UIDL", FeatUidl}, {"TOP", FeatTop}, {"PIPELINING", FeatPipelining},
};

const Keyword ImapCapabilities[] = {
    {"STARTTLS", FeatStartTls},     {"LOGINDISABLED", FeatLoginDisabled}, {"SASL-IR", FeatSaslIr},
    {"UIDPLUS", FeatUidPlus},       {"IDLE", FeatIdle},                   {"UTF8=ACCEPT", FeatUtf8Accept},
    {"LITERAL+", FeatLiteralPlus},  {"LITERAL-", FeatLiteralMinus},       {"IMAP4REV1", FeatImap4Rev1},
    {"IMAP4REV2", FeatImap4Rev2},   {"ENABLE", FeatEnable},               {"MOVE", FeatMove},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The length of the keyword at the start of text: up to a blank, "=" or the end.
int KeywordLength(const char *text, int length) {
  int n = 0;
  while (n < length && !IsBlank(text[n]) && text[n] != '=') n++;
  return n;
}

const Keyword *Match(const Keyword *table, size_t count, const char *word, int length) {
  for (size_t i = 0; i < count; i++)
    if (static_cast<int>(strlen(table[i].Name)) == length && PrefixEquals(word, table[i].Name, length))
      return &table[i];
  return nullptr;
}

// The decimal number after "SIZE " (0 when there is none, saturated).
uint32_t SizeValue(const char *text, int length) {
  int i = 0;
  while (i < length && IsBlank(text[i])) i++;
  uint64_t value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; i++) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

// One keyword line without its line end: the keyword, then its parameters.
void ReadEhloKeyword(const char *text, int length, ServerFeatures &f) {
  const int word = KeywordLength(text, length);
  const Keyword *k = Match(EhloKeywords, std::size(EhloKeywords), text, word);
  if (!k) return;
  // Only AUTH has the "=" form (sent by old servers beside the plain one).
  if (word < length && text[word] == '=' && k->Bit != FeatAuth) return;
  f.Bits |= k->Bit;
  const char *rest = text + word;
  const int restLength = length - word - (word < length ? 1 : 0);
  if (word < length) rest++;
  if (k->Bit == FeatAuth) f.Sasl |= static_cast<uint8_t>(SaslNamesIn(rest, restLength));
  if (k->Bit == FeatSize) f.SizeLimit = SizeValue(rest, restLength);
}

// One line of the offer as worded, kept for KEL_DEBUG_CAPABILITIES.
void KeepLine(ServerFeatures &f, const char *text, int length) {
  if (f.TextFull || length <= 0) return;
  // The line, its LF and the closing zero must fit whole.
  if (length + 2 > static_cast<int>(sizeof f.Text) - f.TextLength) {
    f.TextFull = 1;
    return;
  }
  char *out = f.Text + f.TextLength;
  for (int i = 0; i < length; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out[i] = (c < 0x20 && c != '\t') || c == 0x7F ? '?' : static_cast<char>(c);
  }
  out[length] = '\n';
  f.TextLength = static_cast<uint16_t>(f.TextLength + length + 1);
  f.Text[f.TextLength] = 0;
}

int ContentLength(const char *line, int length) {
  if (length > 0 && line[length - 1] == '\r') length--;
  return length;
}

}  // namespace

void ReadEhloFeatures(const char *reply, ServerFeatures &f) {
  f = ServerFeatures{};
  bool first = true;
  for (const char *line = reply; line && *line;) {
    const char *end = strchr(line, '\n');
    const int length = ContentLength(line, end ? static_cast<int>(end - line) : static_cast<int>(strlen(line)));
    // "250-KEYWORD": the keyword follows the code and its separator.
    if (length > 4 && (line[3] == '-' || line[3] == ' ')) {
      ReadEhloKeyword(line + 4, length - 4, f);
      // The first line greets with the server's name; the extensions follow it.
      if (!first) KeepLine(f, line + 4, length - 4);
    }
    first = false;
    line = end ? end + 1 : nullptr;
  }
}

void ReadCapaLine(const char *line, ServerFeatures &f) {
  const int length = static_cast<int>(strcspn(line, "\r\n"));
  KeepLine(f, line, length);
  const int word = KeywordLength(line, length);
  if (word < length && line[word] == '=') return;
  const Keyword *k = Match(CapaTags, std::size(CapaTags), line, word);
  if (!k) return;
  f.Bits |= k->Bit;
  if (k->Bit == FeatSasl && word < length) f.Sasl |= static_cast<uint8_t>(SaslNamesIn(line + word + 1, length - word - 1));
}

void ReadImapCapability(const char *atom, int length, ServerFeatures &f) {
  KeepLine(f, atom, length);
  if (length > 5 && PrefixEquals(atom, "AUTH=", 5)) {
    f.Bits |= FeatAuth;
    f.Sasl |= static_cast<uint8_t>(SaslNamesIn(atom + 5, length - 5));
    return;
  }
  if (const Keyword *k = Match(ImapCapabilities, std::size(ImapCapabilities), atom, length)) f.Bits |= k->Bit;
}
