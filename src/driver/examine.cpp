// The look at an outgoing message before MAIL FROM: the body text (or its
// file, one piece per step) is profiled, so that its character set and
// coding are known before the header is composed; then the size of the
// whole message is estimated for SIZE, and a message the server has said
// it will not take fails here (-88) instead of after its upload.
//
// A message file that cannot be read here is not yet an error: its
// composition fails as before (-35), after DATA.
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../core/errors.h"
#include "compose.h"
#include "features.h"
#include "smtp.h"

namespace {

// Bytes of a message file profiled per step.
constexpr int ExamineChunk = 16384;
// A body is sent Base64 rather than quoted-printable once more than this
// share (in percent) of its bytes are 8-bit, as mail programs choose.
constexpr uint32_t Base64SharePercent = 20;
// A plain line holds a word this long and its blank and transparency dot
// within the 998 octets of a line.
constexpr uint32_t LongestPlainWord = 996;

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t'; }

// The formats sent quoted-printable by their definition.
bool QuotedFormat(uint32_t format) { return format == 1 || format == 2 || format == 3 || format == 4 || format == 9; }

uint64_t Min(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Upper and lower bounds of a text's size once coded, CR LF line ends and
// transparency dots counted.
void CodedSize(const TextProfile &p, uint8_t coding, uint64_t *most, uint64_t *least) {
  const uint64_t bytes = p.Bytes - Min(p.Bytes, p.CarriageReturns);
  const uint64_t lines = p.Lines + 1;
  int width = Settings.MaxLineLength;
  if (width < 1) width = 1;
  if (width > 61) width = 61;
  switch (coding) {
    case CodingBase64: {
      const uint64_t canonical = bytes + p.Lines;
      *least = (canonical + 2) / 3 * 4;
      *most = *least + (canonical / 57 + 1) * 2;
      break;
    }
    case CodingQuoted: {
      const uint64_t escaped = bytes + 2ull * p.Escaped;
      *least = escaped;
      *most = escaped + 4 * lines + 3 * (escaped / 72 + 1) + lines;
      break;
    }
    default:
      *least = bytes;
      // A word moved to the next line may break a line early: two breaks per width.
      *most = bytes + 2 * lines + 6 * (bytes / static_cast<uint64_t>(width) + 1) + lines;
      break;
  }
}

uint64_t Length(const char *text) { return text ? strlen(text) : 0; }

// The attachments' Base64 parts: exact for the lines, generous for the part
// headers (names encoded).
void AttachmentSizes(const Channel &ch, uint64_t *most, uint64_t *least) {
  const char *p = ch.Attachments;
  if (!p || !*p) return;
  const char separator = Settings.AttachSeparator;
  const char alias = Settings.AliasSeparator;
  char path[1030];
  while (*p) {
    int n = 0;
    const char *entry = p;
    while (*p && (!separator || *p != separator)) p++;
    const char *stop = entry;
    while (stop < p && (!alias || *stop != alias)) stop++;
    n = static_cast<int>(stop - entry);
    if (n > static_cast<int>(sizeof path) - 1) n = static_cast<int>(sizeof path) - 1;
    memcpy(path, entry, static_cast<size_t>(n));
    path[n] = 0;
    const int64_t size = PlatformFileSize(path);
    if (size > 0) {
      const uint64_t lines = (static_cast<uint64_t>(size) + 56) / 57;
      const uint64_t coded = (static_cast<uint64_t>(size) + 2) / 3 * 4 + 2 * lines;
      *least += coded;
      *most += coded;
    }
    *most += 600 + 8 * static_cast<uint64_t>(p - entry);
    if (*p) p++;
  }
}

uint32_t Saturated(uint64_t value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value); }

}  // namespace

// ---- Profiles and the choice of coding ------------------------------------------------

const char *CharsetName(uint8_t charset) {
  if (charset == CharsetUtf8) return "utf-8";
  if (charset == CharsetLegacy) return PlatformLegacyCharset();
  return "us-ascii";
}

// Printable ASCII other than "=" only counts bytes, header bytes and words:
// 0 for such a byte, 1 for the blank among them, 2 for every other byte.
struct ProfileClasses {
  uint8_t Of[256];
};

static constexpr ProfileClasses MakeProfileClasses() {
  ProfileClasses k{};
  for (int c = 0; c < 256; c++) k.Of[c] = c == ' ' ? 1 : c > ' ' && c < 127 && c != '=' ? 0 : 2;
  return k;
}

static constexpr ProfileClasses ProfileClass = MakeProfileClasses();

void ProfileBytes(TextProfile &p, const char *bytes, int count) {
  for (int i = 0; i < count && !p.Ended; i++) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (!p.Utf8Due && ProfileClass.Of[c] < 2) {
      // A run of such bytes in one go: most of any text is made of them.
      // The longest word is taken at each blank and at the run's end.
      int j = i;
      uint32_t word = p.Word, longest = p.LongestWord;
      for (; j < count; j++) {
        const uint8_t k = ProfileClass.Of[static_cast<unsigned char>(bytes[j])];
        if (k == 0) {
          word++;
          continue;
        }
        if (k != 1) break;
        if (word > longest) longest = word;
        word = 0;
      }
      if (word > longest) longest = word;
      const uint32_t run = static_cast<uint32_t>(j - i);
      p.Bytes += run;
      if (!p.HeaderDone) {
        p.HeaderBytes += run;
        p.LineHasText = 1;
      }
      p.Word = word;
      p.LongestWord = longest;
      i = j - 1;
      continue;
    }
    if (c == 0) {
      p.Ended = 1;
      break;
    }
    p.Bytes++;
    if (!p.HeaderDone) {
      p.HeaderBytes++;
      if (c == '\n') {
        if (!p.LineHasText) p.HeaderDone = 1;
        p.LineHasText = 0;
      } else if (c != '\r') {
        p.LineHasText = 1;
      }
    }
    if (p.Utf8Due) {
      if ((c & 0xC0) == 0x80) {
        p.Utf8Due--;
      } else {
        p.Utf8Bad = 1;
        p.Utf8Due = 0;
      }
    } else if (c >= 0x80) {
      const int n = Utf8Length(c);
      if (n == 0) p.Utf8Bad = 1;
      else p.Utf8Due = static_cast<uint8_t>(n - 1);
    }
    if (c >= 0x80) {
      p.EightBit++;
      p.Escaped++;
    } else if (c == '=' || c == '\t') {
      p.Escaped++;
    } else if ((c < 32 && c != '\r' && c != '\n') || c == 127) {
      p.Controls++;
      p.Escaped++;
    }
    if (c == '\n') p.Lines++;
    if (c == '\r') p.CarriageReturns++;
    if (c == '\n' || c == '\r' || IsBlank(c)) {
      p.Word = 0;
    } else if (++p.Word > p.LongestWord) {
      p.LongestWord = p.Word;
    }
  }
}

void ChooseCoding(const TextProfile &p, uint32_t format, uint8_t *charset, uint8_t *coding) {
  const bool eightBit = p.EightBit > 0;
  *charset = !eightBit ? CharsetAscii : (p.Utf8Bad || p.Utf8Due) ? CharsetLegacy : CharsetUtf8;
  const bool mostly8Bit = p.Bytes > 0 && uint64_t(p.EightBit) * 100 > uint64_t(p.Bytes) * Base64SharePercent;
  if (QuotedFormat(format)) {
    // Quoted-printable by name (1), by the caller's own encoding lines, or in
    // Latin-1 (4) stays so; HTML, enriched and the caller's type may go as
    // Base64 when that is the shorter form.
    const bool fixed = format == 1 || format == 4 || Settings.TransferEncoding[0];
    *coding = !fixed && mostly8Bit ? CodingBase64 : CodingQuoted;
    return;
  }
  if (Settings.Allow8Bit) {
    *coding = p.LongestWord > LongestPlainWord ? CodingQuoted : eightBit ? CodingEightBit : CodingPlain;
    return;
  }
  if (!eightBit && p.Controls == 0 && p.LongestWord <= LongestPlainWord) {
    *coding = CodingPlain;
    return;
  }
  *coding = mostly8Bit ? CodingBase64 : CodingQuoted;
}

// ---- States ------------------------------------------------------------------------------

int ExamineMessage(Channel &ch) {
  if (!ch.Examined) {
    ch.Profile = TextProfile{};
    ch.CarryLf = 0;
    ch.UseSmtpUtf8 = 0;
    ch.Examined = 1;
    if (ch.Message && ch.Message[0] == '@') {
      CloseBufferedFile(ch.AttachOut, ch.FileHandle);  // left by a message that timed out
      ch.FileHandle = 0;
      const int handle = PlatformFileOpenRead(ch.Message + 1);
      if (handle > 0) {
        ch.FileHandle = handle;
        ch.NextState = State::ExamineBodyFile;
        return 1;
      }
    } else if (ch.Message) {
      ProfileBytes(ch.Profile, ch.Message, static_cast<int>(strlen(ch.Message)));
    }
  }
  ChooseCoding(ch.Profile, ch.BodyFormat, &ch.BodyCharset, &ch.BodyCoding);
  uint64_t altMost = 0, altLeast = 0;
  ch.AltPhase = 0;
  if (HasAlternative(ch)) {  // read whole here: a plain version is short
    TextProfile alt{};
    if (ch.AltText[0] == '@') {
      const int handle = PlatformFileOpenRead(ch.AltText + 1);
      char piece[4096];
      for (int got; handle > 0 && (got = PlatformFileRead(handle, piece, sizeof piece)) > 0;) ProfileBytes(alt, piece, got);
      if (handle > 0) PlatformFileClose(handle);
    } else {
      ProfileBytes(alt, ch.AltText, static_cast<int>(strlen(ch.AltText)));
    }
    ChooseCoding(alt, KEL_BODY_PLAIN, &ch.AltCharset, &ch.AltCoding);
    CodedSize(alt, ch.AltCoding, &altMost, &altLeast);
  }
  if (ch.RawSubmit) {  // a prepared message goes as it is: 8-bit where it has 8-bit bytes
    ch.BodyCharset = CharsetAscii;
    ch.BodyCoding = ch.Profile.EightBit ? CodingEightBit : CodingPlain;
  }
  uint64_t most = 0, least = 0;
  CodedSize(ch.Profile, ch.BodyCoding, &most, &least);
  // Of a prepared message, the Bcc fields of its header may be left out.
  if (ch.RawSubmit) least = least > ch.Profile.HeaderBytes ? least - ch.Profile.HeaderBytes : 0;
  // The header: generous for encoded words and folding.
  const uint64_t header = Length(ch.ToList) + Length(ch.CcList) + Length(ch.Subject) + Length(ch.ExtraHeaders) +
                          Length(ch.From) + Length(ch.ReplyTo);
  most += 1024 + 4 * header + altMost;
  least += header + altLeast;
  AttachmentSizes(ch, &most, &least);
  ch.MessageEstimate = Saturated(most);
  ch.MessageLeast = Saturated(least);
  if (int rc = CheckAddresses(ch)) return rc;
  const uint32_t limit = ch.Features.SizeLimit;
  if (Offers(ch, FeatSize) && limit > 0 && ch.MessageLeast > limit) {
    LogLine(ch, "Message of at least %lu bytes, the server takes %lu\r\n", static_cast<unsigned long>(ch.MessageLeast),
            static_cast<unsigned long>(limit));
    return driverFailConnected(ch, Err::MessageTooBig);
  }
  return 0;
}

int ExamineBodyFile(Channel &ch, Tick now) {
  char piece[ExamineChunk];
  const int got = PlatformFileRead(ch.FileHandle, piece, sizeof piece);
  if (got > 0) ProfileBytes(ch.Profile, piece, got);
  if (got <= 0 || ch.Profile.Ended) {
    CloseBufferedFile(ch.AttachOut, ch.FileHandle);
    ch.FileHandle = 0;
    ch.NextState = State::MailFrom;
  }
  ch.NotBefore = now;
  ch.Deadline = now + Settings.ResponseTimeout;
  return 0;
}
