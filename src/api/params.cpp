// kelIntegerParam and kelStringParam: per-channel and library-wide settings,
// and the few string codes that are actions (log file, log line, buffer
// file, user header text).
#include <cstring>
#include <initializer_list>

#include "../../include/kel32.h"
#include "../core/channel.h"
#include "../core/errors.h"
#include "../core/text.h"
#include "../driver/driver.h"

extern "C" int KEL_CALL kelIntegerParam(unsigned channel, int code, int value) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  LogLine(ch, "*** kelIntegerParam(%d,%d,%ld)\r\n", static_cast<int>(channel), code, static_cast<long>(value));
  const uint32_t u = static_cast<uint32_t>(value);
  const uint8_t low8 = static_cast<uint8_t>(value);
  switch (code) {
    case KEL_STEP_DELAY: Settings.StepDelay = u; break;
    case KEL_RESPONSE_TIMEOUT: Settings.ResponseTimeout = u; break;
    case KEL_CONNECT_TIMEOUT: Settings.ConnectTimeout = u; break;
    case KEL_BLOCK_DELAY: Settings.BlockDelay = u; break;
    case KEL_DATA_TIMEOUT: Settings.SendTimeout = Settings.ReceiveTimeout = u; break;
    case KEL_BODY_FORMAT: ch.BodyFormat = u & 15; break;
    case KEL_AUTO_CALL_DRIVER:
      ch.AutoCall = value & 1;
      ch.NotBefore = ch.Deadline = 0;
      break;
    case KEL_NUMBER_FILENAMES: ch.NumberFiles = value; break;
    case KEL_SEND_TIMEOUT: Settings.SendTimeout = u; break;
    case KEL_RECEIVE_TIMEOUT: Settings.ReceiveTimeout = u; break;
    case KEL_SLEEP_TIME: Settings.SleepTime = u; break;
    case KEL_SAVE_UNNAMED: ch.SaveUnnamed = value; break;
    case KEL_DECODE_HEADERS: ch.DecodeHeaders = value != 0; break;
    case KEL_SMTP_PORT: ch.SmtpPort = static_cast<uint16_t>(value); break;
    case KEL_POP3_PORT: ch.Pop3Port = static_cast<uint16_t>(value); break;
    case KEL_IMAP_PORT: ch.ImapPort = static_cast<uint16_t>(value); break;
    case KEL_IMAP_MARK_SEEN: ch.ImapMarkSeen = value != 0; break;
    case KEL_MAX_LINE_LENGTH: Settings.MaxLineLength = value; break;
    case KEL_BLOCKING_CONNECT: ch.NonBlockConnect = value == 0 ? 1 : 0; break;
    case KEL_ALLOW_8BIT: Settings.Allow8Bit = low8; break;
    case KEL_NO_SAVED_NOTE: Settings.NoSavedNote = low8; break;
    case KEL_HIDE_TO_HEADER: Settings.HideToHeader = low8; break;
    case KEL_ADDRESS_SEPARATOR: Settings.AddressSeparator = static_cast<char>(low8); break;
    case KEL_WSA_CLEANUP: Settings.WsaCleanup = low8; break;
    case KEL_ATTACH_SEPARATOR: Settings.AttachSeparator = static_cast<char>(low8); break;
    case KEL_ALIAS_SEPARATOR: Settings.AliasSeparator = static_cast<char>(low8); break;
    case KEL_AUTO_INLINE: ch.AutoInline = low8; break;
    case KEL_RAW_MODE: ch.DecodeState = static_cast<int16_t>(value); break;
    case KEL_ENABLE_ESMTP: ch.EsmtpAuth = low8; break;
    case KEL_ENABLE_APOP: ch.Apop = low8; break;
    case KEL_AUTH_MECHANISM:
      if (value < KEL_AUTH_AUTO || value > KEL_AUTH_OAUTHBEARER) return -1;
      ch.AuthMechanism = static_cast<uint8_t>(value);
      break;
    case KEL_SKIP_REFUSED: ch.SkipRefused = value != 0; break;
    case KEL_STRICT_RECIPIENTS: ch.StrictRecipients = value != 0; break;
    case KEL_PIPELINING: ch.PipelineWanted = low8; break;
    case KEL_ATTACH_TYPES: ch.AttachTypes = value != 0; break;
    case KEL_MESSAGE_ID: ch.AlwaysMessageId = value != 0; break;
    case KEL_RAW_SUBMIT: ch.RawSubmit = value != 0; break;
    case KEL_TLS_MODE:
      if (value < KEL_TLS_OFF || value > KEL_TLS_IMPLICIT) return -1;
      ch.TlsMode = value;
      break;
    case KEL_TLS_VERIFY: ch.TlsNoVerify = value == 0 ? 1 : 0; break;
    default: return -1;
  }
  return 1;
}

// Ends a stored header text at a CR or LF among its last three characters,
// so it carries no line end of its own; returns 1 plus the characters kept
// of those three.
static int TrimHeaderEnd(char *text) {
  int length = static_cast<int>(strlen(text));
  int from = length > 3 ? length - 3 : 0;
  int cut = length;
  for (int i = from; i < length; i++)
    if (text[i] == '\r' || text[i] == '\n') {
      cut = i;
      break;
    }
  text[cut] = 0;
  return 1 + cut - from;
}

static int StoreHeaderText(Channel &ch, const char *text) {
  ch.ExtraHeaders = AllocAndCopy(ch.ChannelNumber, 7, text);
  if (!ch.ExtraHeaders) return Err::NoMemory;
  return TrimHeaderEnd(ch.ExtraHeaders);
}

static int AddHeaderLine(Channel &ch, const char *text) {
  // The joined text is built in TextBuf: at most 2047 characters of old and
  // new text together, plus the CR LF between them.
  const int limit = 2047;
  int length = 0;
  if (ch.ExtraHeaders && *ch.ExtraHeaders) {
    length = CopyField(ch.TextBuf, sizeof ch.TextBuf, ch.ExtraHeaders, limit);
    memcpy(ch.TextBuf + length, "\r\n", 3);
    CopyField(ch.TextBuf + length + 2, static_cast<int>(sizeof ch.TextBuf) - length - 2, text, limit - length);
  } else {
    CopyField(ch.TextBuf, sizeof ch.TextBuf, text, limit);
  }
  FreeMemory(ch.ChannelNumber, 7, 7);
  ch.ExtraHeaders = nullptr;
  if (!ch.TextBuf[0]) return 0;
  return StoreHeaderText(ch, ch.TextBuf);
}

static int WriteLinesBuffer(Channel &ch, const char *path) {
  uint32_t size = 0;
  char *buffer = SlotBlock(ch.ChannelNumber, 8, &size);
  if (!buffer) return Err::NullPointer;
  int file = PlatformFileCreate(path);
  if (file <= 0) return Err::CannotCreateFile;
  int length = static_cast<int>(strnlen(buffer, size));
  int written = PlatformFileWrite(file, buffer, length);
  PlatformFileClose(file);
  FreeMemory(ch.ChannelNumber, 8, 8);
  if (ch.UserBuffer == buffer) ch.UserBuffer = nullptr;
  return written < 0 ? 0 : written;
}

// A login text that would end the line it travels in, or split the fields
// of a SASL message (^A), is refused before it can be sent; a token is
// printable ASCII without blanks (RFC 6750).
static bool BadLoginText(int code, const char *text) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    if (code == KEL_OAUTH_TOKEN ? (*p <= ' ' || *p >= 0x7F) : (*p == '\r' || *p == '\n' || *p == 1)) return true;
  }
  return false;
}

// Stores a login text, or refuses it with -77 and leaves the field empty,
// so that no earlier secret is used instead; the refusal is remembered
// (RefusedLoginTexts) until the field gets a good text, and the next
// kelSmtpConnect with ESMTP refuses to log in without it.
static int StoreLoginText(Channel &ch, int code, char *field, int fieldSize, const char *text, int limit) {
  const uint8_t bit = code == KEL_SMTP_USER ? 1 : code == KEL_SMTP_PASS ? 2 : 4;
  if (BadLoginText(code, text)) {
    memset(field, 0, static_cast<size_t>(fieldSize));
    ch.RefusedLoginTexts = static_cast<uint8_t>(ch.RefusedLoginTexts | bit);
    return Err::BadSecretChar;
  }
  ch.RefusedLoginTexts = static_cast<uint8_t>(ch.RefusedLoginTexts & ~bit);
  memset(field, 0, static_cast<size_t>(fieldSize));  // nothing of a longer old text stays behind
  return CopyField(field, fieldSize, text, limit);
}

// A DSN keyword list: SUCCESS, FAILURE and DELAY in any combination, or
// NEVER alone (RFC 3461), stored in capitals; "" removes it. -1 for any
// other text (nothing stored).
static int StoreDsnNotify(Channel &ch, const char *text) {
  char value[sizeof ch.DsnNotify];
  int n = 0;
  bool never = false;
  int words = 0;
  for (const char *p = text; *p;) {
    const char *end = strchr(p, ',');
    if (!end) end = p + strlen(p);
    const int length = static_cast<int>(end - p);
    const char *known = nullptr;
    for (const char *word : {"SUCCESS", "FAILURE", "DELAY", "NEVER"})
      if (static_cast<int>(strlen(word)) == length && PrefixEquals(p, word, length)) known = word;
    if (!known || n + length + 1 >= static_cast<int>(sizeof value)) return -1;
    if (strcmp(known, "NEVER") == 0) never = true;
    if (n) value[n++] = ',';
    memcpy(value + n, known, static_cast<size_t>(length));
    n += length;
    words++;
    p = *end ? end + 1 : end;
    if (*end && !*p) return -1;  // a list may not end with a comma
  }
  if (never && words > 1) return -1;
  value[n] = 0;
  memcpy(ch.DsnNotify, value, static_cast<size_t>(n) + 1);
  return n;
}

static int StoreDsnRet(Channel &ch, const char *text) {
  if (!*text) {
    ch.DsnRet[0] = 0;
    return 0;
  }
  for (const char *word : {"FULL", "HDRS"})
    if (strlen(text) == 4 && PrefixEquals(text, word, 4)) return CopyField(ch.DsnRet, word, 4);
  return -1;
}

extern "C" int KEL_CALL kelStringParam(unsigned channel, int code, const char *text) {
  if (int rc = CheckChannel(channel)) return rc;
  if (!text) return Err::NullPointer;
  Channel &ch = *ChannelOf(channel);
  // The password and the token never reach the log.
  const bool secret = code == KEL_SMTP_PASS || code == KEL_OAUTH_TOKEN || code == KEL_PROXY;
  LogLine(ch, "*** kelStringParam(%d,%d,%s)\r\n", static_cast<int>(channel), code, secret ? "********" : text);
  switch (code) {
    case KEL_LOG_FILE: {
      // The trace line above went into the old log, which is closed now.
      if (ch.LogHandle) PlatformFileClose(ch.LogHandle);
      int handle = PlatformFileCreate(text);
      ch.LogHandle = handle > 0 ? handle : 0;
      return handle > 0 ? handle : -1;
    }
    case KEL_WRITE_BUFFER: return WriteLinesBuffer(ch, text);
    case KEL_REPLY_TO: return CopyField(ch.ReplyTo, text, 128);
    case KEL_SET_HEADER:
      FreeMemory(channel, 7, 7);
      ch.ExtraHeaders = nullptr;
      return *text ? StoreHeaderText(ch, text) : 0;
    case KEL_LOG_LINE:
      if (!ch.LogHandle) return 0;
      LogText(ch, text);
      LogBytes(ch, "\r\n", 2);
      return ch.LogHandle;
    case KEL_FROM: return CopyField(ch.From, text, 128);
    case KEL_CONTENT_TYPE: return CopyField(Settings.ContentType, text, 64);
    case KEL_TRANSFER_ENCODING:
      Settings.TransferEncodingLength = CopyField(Settings.TransferEncoding, text, 128);
      return Settings.TransferEncodingLength;
    case KEL_ADD_HEADER: return AddHeaderLine(ch, text);
    case KEL_SMTP_PASS: return StoreLoginText(ch, code, ch.SmtpPassword, sizeof ch.SmtpPassword, text, 64);
    case KEL_SMTP_USER: return StoreLoginText(ch, code, ch.User, sizeof ch.User, text, 64);
    case KEL_OAUTH_TOKEN: return StoreLoginText(ch, code, ch.OAuthToken, sizeof ch.OAuthToken, text, 4096);
    case KEL_IMAP_MAILBOX:
    case KEL_IMAP_SEARCH: {
      // Sent inside a command line: never cut, never with a line break.
      char *field = code == KEL_IMAP_MAILBOX ? ch.ImapMailbox : ch.ImapSearch;
      const size_t size = code == KEL_IMAP_MAILBOX ? sizeof ch.ImapMailbox : sizeof ch.ImapSearch;
      const size_t length = strlen(text);
      if (length >= size - 1 || strpbrk(text, "\r\n")) return -1;
      return CopyField(field, static_cast<int>(size), text, static_cast<int>(length));
    }
    case KEL_TLS_CA_FILE: {
      // A path cut short would name another file: refused whole instead.
      const size_t length = strlen(text);
      if (length >= sizeof ch.TlsCaFile) return -1;
      return CopyField(ch.TlsCaFile, text, static_cast<int>(length));
    }
    case KEL_PROXY: return SetProxy(ch, text);
    case KEL_TLS_SERVER_NAME: {
      const size_t length = strlen(text);
      if (length >= sizeof ch.TlsServerName - 1) return -1;
      return CopyField(ch.TlsServerName, text, static_cast<int>(length));
    }
    case KEL_TEXT_ALTERNATIVE:
      FreeMemory(channel, 10, 10);
      ch.AltText = nullptr;
      if (!*text) return 0;
      if (!(ch.AltText = AllocAndCopy(channel, 10, text))) return Err::NoMemory;
      return static_cast<int>(strlen(text) > 0x7FFFFFFF ? 0x7FFFFFFF : strlen(text));
    case KEL_DSN_NOTIFY: return StoreDsnNotify(ch, text);
    case KEL_DSN_RET: return StoreDsnRet(ch, text);
    default: return -1;
  }
}
