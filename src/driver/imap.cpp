// The IMAP session states: connection start, greeting, CAPABILITY,
// STARTTLS, the login by LOGIN or AUTHENTICATE, SELECT of the mailbox, UID
// SEARCH for the messages of the session, and at the end UID EXPUNGE (or
// EXPUNGE) and LOGOUT; the caller's free command. Retrieval, sizes and
// deletion live in imap_fetch.cpp.
//
// Rules:
// - Messages 1..n of the session are the UIDs the search found, in UID
//   order; the list does not change until the next kelImapConnect.
// - The mailbox is always opened with SELECT (read-write), so that
//   deletion and KEL_IMAP_MARK_SEEN work; messages are fetched with
//   BODY.PEEK[] unless they are to be marked seen.
// - The login goes by LOGIN unless a token or a mechanism is set (then
//   AUTHENTICATE), or the server announces LOGINDISABLED: then AUTHENTICATE
//   PLAIN if offered, else -76 before the password is sent.
// - Nothing secret reaches the log: the password of LOGIN and every
//   AUTHENTICATE response are masked.
// - BYE ends the session: the operation under way fails with -60 and the
//   server's text, the socket is closed.
#include "imap.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../codec/sasl.h"
#include "../core/errors.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "auth.h"
#include "features.h"

namespace {

// The Base64 alphabet of modified UTF-7: "," for "/".
const char Base64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int MailboxBase64Value(char c) {
  const char *at = c ? strchr(Base64Chars, c) : nullptr;
  return at ? static_cast<int>(at - Base64Chars) : -1;
}

// A code point as UTF-8 at out + n (when it fits); the bytes it takes.

// A response the reader could not take, or a closed connection: the error
// exit (unless a failed write of the message took it already). A server
// that said BYE and closed has ended the session: -60 with its text.
int FailRead(Channel &ch, int rc) {
  if (ch.ThisState == -1) return rc;
  if (rc == Err::Closed && ch.ImapBye) rc = Err::ImapError;
  return driverFail(ch, 0, rc);
}

// How a mailbox name leaves: modified UTF-7 (RFC 3501 5.1.3) for every
// character outside printable ASCII, "&" as "&-".
int EncodeMailbox(const char *name, char *out, int size) {
  const char *const Alphabet = Base64Chars;
  int n = 0;
  auto put = [&](char c) {
    if (n < size - 1) out[n] = c;
    n++;
  };
  const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
  while (*p) {
    if (*p >= 0x20 && *p < 0x7F) {
      put(static_cast<char>(*p));
      if (*p == '&') put('-');
      p++;
      continue;
    }
    // A run of other characters as UTF-16, Base64 with "," for "/".
    uint32_t bits = 0;
    int held = 0;
    put('&');
    while (*p && (*p < 0x20 || *p >= 0x7F)) {
      uint32_t cp = *p++;
      int more = cp >= 0xF0 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : 0;
      if (more) cp &= 0x3Fu >> more;
      for (; more > 0 && (*p & 0xC0) == 0x80; more--) cp = (cp << 6) | (*p++ & 0x3Fu);
      if (more > 0 || cp > 0x10FFFF) return -1;  // not UTF-8
      uint16_t units[2];
      int count = 1;
      units[0] = static_cast<uint16_t>(cp);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        units[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
        units[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
        count = 2;
      }
      for (int u = 0; u < count; u++) {
        bits = (bits << 16) | units[u];
        held += 16;
        while (held >= 6) {
          held -= 6;
          put(Alphabet[(bits >> held) & 63]);
        }
      }
    }
    if (held > 0) put(Alphabet[(bits << (6 - held)) & 63]);
    put('-');
  }
  if (n < size) out[n] = 0;
  else if (size > 0) out[size - 1] = 0;
  return n < size ? n : -1;
}

int PutUtf8(uint32_t cp, char *out, int n, int size) {
  char bytes[4];
  int count;
  if (cp < 0x80) {
    bytes[0] = static_cast<char>(cp);
    count = 1;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    count = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    count = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
    count = 4;
  }
  for (int i = 0; i < count; i++)
    if (n + i < size - 1) out[n + i] = bytes[i];
  return count;
}

// An astring as a quoted string (RFC 3501 quoted: 7-bit text without CR,
// LF and NUL; " and \ escaped); -1 when the text needs a literal.
int QuoteString(const char *text, char *out, int size) {
  int n = 0;
  if (size < 3) return -1;
  out[n++] = '"';
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    if (*p >= 0x80 || *p == '\r' || *p == '\n') return -1;
    if (n + 4 > size) return -1;
    if (*p == '"' || *p == '\\') out[n++] = '\\';
    out[n++] = static_cast<char>(*p);
  }
  out[n++] = '"';
  out[n] = 0;
  return n;
}

// Where the session goes once the server's capabilities are known.
int AfterCapabilities(Channel &ch) {
  if (ch.ImapLoggedIn) {
    ch.NextState = State::ImapSelect;
    return 0;
  }
  if (WantsStartTls(ch)) {
    if (Offers(ch, FeatStartTls)) {
      ch.NextState = State::ImapStartTls;
      return 0;
    }
    if (ch.TlsMode == KEL_TLS_REQUIRED) return driverFail(ch, 0, Err::StartTlsNotOffered);
  }
  ch.NextState = State::ImapLogin;
  return 0;
}

// LOGIN user password in AuthLine, in parts where a synchronizing literal
// must wait for the server's go-ahead. Returns the characters of the first
// part the log may show, or -1 when it does not fit.
int BuildLogin(Channel &ch) {
  char tag[16];
  ImapTagText(ch, tag, sizeof tag);
  char *line = ch.AuthLine;
  const int size = static_cast<int>(sizeof ch.AuthLine) - 3;
  int n = FormatLine(line, size, "%s LOGIN ", tag);
  const bool plus = Offers(ch, FeatLiteralPlus) || Offers(ch, FeatLiteralMinus);
  ch.ImapParts = 0;
  int clear = -1;
  const char *texts[2] = {ch.User, ch.Password};
  for (int k = 0; k < 2; k++) {
    if (k == 1) {
      line[n++] = ' ';
      clear = n;
    }
    const int q = QuoteString(texts[k], line + n, size - n);
    if (q >= 0) {
      n += q;
      continue;
    }
    const int length = static_cast<int>(strlen(texts[k]));
    const int h = FormatLine(line + n, size - n, plus ? "{%d+}\r\n" : "{%d}\r\n", length);
    if (h < 0 || n + h + length >= size) return -1;
    n += h;
    if (!plus) {
      ch.ImapPartAt[ch.ImapParts++] = static_cast<uint16_t>(n);
      if (k == 1) clear = n;
    }
    memcpy(line + n, texts[k], static_cast<size_t>(length));
    n += length;
  }
  line[n] = 0;
  ch.ImapPartAt[ch.ImapParts++] = static_cast<uint16_t>(n);
  return clear;
}

// Sends part k of the command in AuthLine: the log shows what lies before
// the password and masks the rest.
int SendLoginPart(Channel &ch, int clear) {
  const int from = ch.ImapPart == 0 ? 0 : ch.ImapPartAt[ch.ImapPart - 1];
  const int to = ch.ImapPartAt[ch.ImapPart];
  const bool last = ch.ImapPart + 1 == ch.ImapParts;
  ch.ImapPart++;
  int rc;
  if (last) {
    ch.SecretAt = static_cast<uint16_t>((clear > from ? clear - from : 0) + 1);
    rc = SendTextLine(ch, ch.AuthLine + from);
  } else {
    if (clear >= 0 && clear < to) ch.SecretAt = static_cast<uint16_t>((clear > from ? clear - from : 0) + 1);
    rc = SendBytes(ch, ch.AuthLine + from, to - from);
  }
  ch.SecretAt = 0;
  return rc < 0 ? driverFail(ch, rc, Err::Send) : 0;
}

enum : uint8_t { NoSasl = 0, SaslWaits = 1, SaslGone = 2, SaslCancelled = 3 };

}  // namespace

// ---- Shared ---------------------------------------------------------------------

int DecodeMailboxName(const char *name, int length, char *out, int size) {
  int n = 0;
  for (int i = 0; i < length;) {
    if (name[i] != '&') {
      if (n < size - 1) out[n] = name[i];
      n++;
      i++;
      continue;
    }
    int end = i + 1;
    while (end < length && name[end] != '-') end++;
    if (end >= length) {  // no modified UTF-7: the rest as it is
      for (; i < length; i++, n++)
        if (n < size - 1) out[n] = name[i];
      break;
    }
    if (end == i + 1) {  // "&-"
      if (n < size - 1) out[n] = '&';
      n++;
      i = end + 1;
      continue;
    }
    uint32_t bits = 0, high = 0;
    int held = 0;
    for (int k = i + 1; k < end; k++) {
      const int v = MailboxBase64Value(name[k]);
      if (v < 0) break;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      held += 6;
      if (held < 16) continue;
      held -= 16;
      const uint32_t unit = (bits >> held) & 0xFFFF;
      if (unit >= 0xD800 && unit < 0xDC00) {
        high = unit;
      } else if (unit >= 0xDC00 && unit < 0xE000 && high) {
        n += PutUtf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), out, n, size);
        high = 0;
      } else {
        n += PutUtf8(unit, out, n, size);
        high = 0;
      }
    }
    i = end + 1;
  }
  if (size > 0) out[n < size - 1 ? n : size - 1] = 0;
  return n < size - 1 ? n : size - 1;
}

int SendImapCommand(Channel &ch, Tick now, int next, const char *text, int clear) {
  // Only the FETCH of a message takes a message literal: no other command
  // may write one into a buffer or file an earlier call named.
  if (next != State::ImapFetchReply) ch.ImapBodyWanted = BodyNotWanted;
  ch.WakeAtDeadline = 0;  // a wait for new mail cut short by another call ends here
  ch.ImapPhase = PhaseNone;  // the caller names what its command collects, once it has gone
  ch.ImapTag++;
  const int n = FormatLine(ch.SendLine, static_cast<int>(sizeof ch.SendLine) - 3, "A%lu %.1900s",
                           static_cast<unsigned long>(ch.ImapTag), text);
  if (clear >= 0) ch.SecretAt = static_cast<uint16_t>(n - static_cast<int>(strlen(text)) + clear + 1);
  int rc = SendTextLine(ch, ch.SendLine);
  ch.SecretAt = 0;
  if (rc < 0) return driverFail(ch, rc, Err::Send);
  StartImapResponse(ch);
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = next;
  return 0;
}

int AwaitImapOk(Channel &ch) {
  const int rc = ReadImapResponse(ch);
  if (rc == ImapNothing) return 0;
  if (rc < 0) return FailRead(ch, rc);
  ch.Deadline = PlatformTick() + Settings.ResponseTimeout;
  if (ch.ImapBye) return driverFail(ch, 0, Err::ImapError);
  if (rc == ImapGoAhead) return driverFail(ch, 0, Err::ImapReplyMalformed);  // nothing was to follow
  if (rc != ImapTagged) return 0;
  return ch.ImapStatus == ImapOk ? 1 : driverFail(ch, 0, Err::ImapError);
}

// ---- Connection, greeting, capabilities (400-405) ------------------------------

int ImapStart(Channel &ch, Tick) {
  if (ch.LogHandle) WriteVersionLine(ch);
  ch.ImapTag = 0;
  ch.ImapLoggedIn = ch.ImapBye = ch.ImapCapsAfterLogin = 0;
  ch.ImapUidValidity = ch.ImapExists = 0;
  ch.ImapExpungeFrom = 0;
  ch.ImapBodyWanted = BodyNotWanted;
  ch.ImapPhase = PhaseNone;
  ch.Features = ServerFeatures{};
  FreeMemory(ch.ChannelNumber, 9, 9);
  StartImapResponse(ch);
  ch.AfterConnectState = State::ImapGreeting;
  ch.NextState = State::LocalHostName;
  return 0;
}

int ImapGreeting(Channel &ch, Tick) {
  const int rc = ReadImapResponse(ch);
  if (rc == ImapNothing) return 0;
  if (rc < 0) return FailRead(ch, rc);
  if (rc == ImapMore) return 0;  // a long greeting goes on
  if (rc != ImapLineEnd || ch.ImapStatus == ImapNone) return driverFail(ch, 0, Err::ImapReplyMalformed);
  if (ch.ImapBye || ch.ImapStatus == ImapNo || ch.ImapStatus == ImapBad) return driverFail(ch, 0, Err::ImapError);
  if (ch.ImapStatus == ImapPreauth) {
    // Already logged in: no STARTTLS is possible any more.
    if (WantsStartTls(ch)) return driverFail(ch, 0, Err::StartTlsNotOffered);
    ch.ImapLoggedIn = 1;
  }
  if (!ch.ImapCapsAfterLogin) {
    ch.NextState = State::ImapCapability;
    return 0;
  }
  return AfterCapabilities(ch);
}

int ImapCapability(Channel &ch, Tick now) {
  ch.ImapCapsAfterLogin = 0;
  return SendImapCommand(ch, now, State::ImapCapabilityReply, "CAPABILITY");
}

int ImapCapabilityReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  return AfterCapabilities(ch);
}

int ImapStartTls(Channel &ch, Tick now) { return SendImapCommand(ch, now, State::ImapStartTlsReply, "STARTTLS"); }

// After the go-ahead nothing learned in plain text counts: the
// capabilities are asked again over TLS.
int ImapStartTlsReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.Features = ServerFeatures{};
  ch.TlsAfterState = State::ImapCapability;
  ch.NextState = State::TlsBegin;
  return 0;
}

// ---- Login (406, 407) ---------------------------------------------------------------

int ImapLogin(Channel &ch, Tick now) {
  const bool token = ch.OAuthToken[0] != 0;
  const int forced = ch.AuthMechanism;
  int mechanism = 0;
  if (token || forced) {
    if ((forced == KEL_AUTH_XOAUTH2 || forced == KEL_AUTH_OAUTHBEARER) && !token) return driverFail(ch, 0, Err::NoToken);
    mechanism = ChooseMechanism(ch.Features.Sasl, forced, token, ch.User[0] != 0);
    if (mechanism < KEL_AUTH_PLAIN) return driverFail(ch, 0, mechanism < 0 ? mechanism : Err::MechanismNotOffered);
  } else if (Offers(ch, FeatLoginDisabled)) {
    if (!(ch.Features.Sasl & SaslPlain)) return driverFail(ch, 0, Err::MechanismNotOffered);
    mechanism = KEL_AUTH_PLAIN;
  }
  ch.AuthChosen = static_cast<uint8_t>(mechanism);
  ch.AuthPending = NoSasl;
  ch.ImapCapsAfterLogin = 0;
  ch.ImapTag++;
  StartImapResponse(ch);
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::ImapLoginReply;
  if (mechanism == 0) {
    ch.ImapPart = 0;
    const int clear = BuildLogin(ch);
    if (clear < 0) return driverFail(ch, 0, Err::BadSecretChar);
    return SendLoginPart(ch, clear);
  }
  // AUTHENTICATE: the response on the command line when SASL-IR is offered,
  // else after the server's go-ahead.
  const int length = BuildSaslMessage(ch);
  if (length < 0) return driverFail(ch, 0, Err::BadSecretChar);
  char tag[16];
  ImapTagText(ch, tag, sizeof tag);
  const int head = FormatLine(ch.AuthLine, sizeof ch.AuthLine, "%s ", tag);
  const int n = SaslCommandLine(ch.AuthLine + head, static_cast<int>(sizeof ch.AuthLine) - head - 3, "AUTHENTICATE",
                                mechanism, ch.AuthMessage, length);
  memset(ch.AuthMessage, 0, sizeof ch.AuthMessage);
  if (n < 0) return driverFail(ch, 0, Err::BadSecretChar);
  const int clear = head + static_cast<int>(strlen("AUTHENTICATE ")) + static_cast<int>(strlen(SaslName(mechanism))) + 1;
  if (Offers(ch, FeatSaslIr)) {
    ch.AuthPending = SaslGone;
    const int rc = SendSecretLine(ch, ch.AuthLine, clear);
    memset(ch.AuthLine, 0, sizeof ch.AuthLine);
    return rc;
  }
  ch.AuthPending = SaslWaits;
  ch.AuthLine[clear - 1] = 0;  // the command alone; the response waits behind it
  CopyField(ch.SendLine, ch.AuthLine);
  const int rc = SendTextLine(ch, ch.SendLine);
  return rc < 0 ? driverFail(ch, rc, Err::Send) : 0;
}

int ImapLoginReply(Channel &ch, Tick) {
  const int rc = ReadImapResponse(ch);
  if (rc == ImapNothing) return 0;
  if (rc < 0 || ch.ImapBye) {
    ForgetLoginTexts(ch);
    return rc < 0 ? FailRead(ch, rc) : driverFail(ch, 0, Err::ImapError);
  }
  ch.Deadline = PlatformTick() + Settings.ResponseTimeout;
  if (rc == ImapGoAhead) {
    int sent = 0;
    if (ch.AuthChosen == 0) {
      // The next part of LOGIN after a synchronizing literal.
      if (ch.ImapPart >= ch.ImapParts) return driverFail(ch, 0, Err::ImapReplyMalformed);
      const int clear = ch.ImapPart + 1 == ch.ImapParts ? 0 : -1;
      sent = SendLoginPart(ch, clear);
    } else if (ch.AuthPending == SaslWaits) {
      const char *blank = strrchr(ch.AuthLine, 0) + 1;  // the response behind the command
      ch.AuthPending = SaslGone;
      sent = SendSecretLine(ch, const_cast<char *>(blank), 0);
      memset(ch.AuthLine, 0, sizeof ch.AuthLine);
    } else if (ch.AuthPending == SaslGone) {
      // The server's reason for refusing the response: the client cancels.
      ch.AuthPending = SaslCancelled;
      CopyField(ch.SendLine, "*");
      sent = SendTextLine(ch, ch.SendLine);
      if (sent < 0) sent = driverFail(ch, sent, Err::Send);
    } else {
      return driverFail(ch, 0, Err::ImapReplyMalformed);
    }
    return sent;
  }
  if (rc != ImapTagged) return 0;
  ForgetLoginTexts(ch);
  if (ch.ImapStatus != ImapOk) return driverFail(ch, 0, Err::ImapError);
  if (ch.AuthChosen) LogLine(ch, "AUTHENTICATE %s ok\r\n", SaslName(ch.AuthChosen));
  ch.ImapLoggedIn = 1;
  if (!ch.ImapCapsAfterLogin) {
    ch.NextState = State::ImapCapability;
    return 0;
  }
  return AfterCapabilities(ch);
}

// ---- The mailbox (408-411) ----------------------------------------------------------

int ImapSelect(Channel &ch, Tick now) {
  char name[1100];
  if (EncodeMailbox(ch.ImapMailbox[0] ? ch.ImapMailbox : "INBOX", name, sizeof name) < 0)
    return driverFail(ch, 0, Err::ImapError);
  char text[1200];
  CopyField(text, "SELECT ");
  if (QuoteString(name, text + 7, static_cast<int>(sizeof text) - 7) < 0) return driverFail(ch, 0, Err::ImapError);
  ch.ImapUidValidity = ch.ImapExists = 0;
  return SendImapCommand(ch, now, State::ImapSelectReply, text);
}

int ImapSelectReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.NextState = State::ImapSearch;
  return 0;
}

int ImapSearch(Channel &ch, Tick now) {
  // The list holds every message the mailbox had, and a few that come
  // meanwhile: the search can find no more than the mailbox holds.
  FreeMemory(ch.ChannelNumber, 9, 9);
  const uint32_t capacity = (ch.ImapExists < 0x1000000u ? ch.ImapExists : 0x1000000u) + 64;
  char *block = AllocateMemory(ch.ChannelNumber, 9, capacity * 4 + capacity / 8 + 1);
  if (!block) return driverFail(ch, 0, Err::NoMemory);
  memset(block, 0, capacity * 4 + capacity / 8 + 1);
  ch.ImapUids = reinterpret_cast<uint32_t *>(block);
  ch.ImapUidCount = 0;
  ch.ImapUidCapacity = static_cast<int32_t>(capacity);
  char text[1040];
  FormatLine(text, sizeof text, "UID SEARCH %s", ch.ImapSearch[0] ? ch.ImapSearch : "ALL");
  const int rc = SendImapCommand(ch, now, State::ImapSearchReply, text);
  ch.ImapPhase = PhaseSearch;  // only the answer to this search fills the list
  return rc;
}

int ImapSearchReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.ImapPhase = PhaseNone;
  uint32_t *uids = ch.ImapUids;
  if (uids && ch.ImapUidCount > 0) {
    std::sort(uids, uids + ch.ImapUidCount);
    ch.ImapUidCount = static_cast<int32_t>(std::unique(uids, uids + ch.ImapUidCount) - uids);
  }
  ch.EmailCount = ch.ImapUidCount;
  LogLine(ch, "[%ld message(s), UIDVALIDITY %lu]\r\n", static_cast<long>(ch.ImapUidCount),
          static_cast<unsigned long>(ch.ImapUidValidity));
  ch.NextState = State::Complete;
  return 0;
}

// ---- The folder list (412, 413) ---------------------------------------------------

int ImapList(Channel &ch, Tick now) {
  const int rc = SendImapCommand(ch, now, State::ImapListReply, "LIST \"\" \"*\"");
  ch.ImapPhase = PhaseFolders;
  return rc;
}

int ImapListReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc < 0) ch.ImapPhase = PhaseNone;
  if (rc <= 0) return rc;
  ch.ImapPhase = PhaseNone;
  ch.NextState = State::Complete;
  return 0;
}

// ---- The end of the session (440-451) and the free command (498, 499) -------------

// The deleted messages' bits behind the UID list.
static uint8_t *DeletedBits(Channel &ch) {
  return ch.ImapUids ? reinterpret_cast<uint8_t *>(ch.ImapUids + ch.ImapUidCapacity) : nullptr;
}

bool ImapIsDeleted(Channel &ch, int index) {
  const uint8_t *bits = DeletedBits(ch);
  return bits && index >= 0 && index < ch.ImapUidCount && (bits[index / 8] >> (index % 8)) & 1;
}

void ImapMarkDeleted(Channel &ch, int index) {
  uint8_t *bits = DeletedBits(ch);
  if (bits && index >= 0 && index < ch.ImapUidCount) bits[index / 8] |= static_cast<uint8_t>(1u << (index % 8));
}

// The first deleted message from index on, or -1.
static int NextDeleted(Channel &ch, int index) {
  for (int i = index < 0 ? 0 : index; i < ch.ImapUidCount; i++)
    if (ImapIsDeleted(ch, i)) return i;
  return -1;
}

int ImapCloseState(Channel &ch) {
  if (ch.Socket == NoSocket) return State::Complete;
  if (!ch.ImapLoggedIn) return State::ImapLogout;
  ch.ImapExpungeFrom = 0;
  return NextDeleted(ch, 0) >= 0 ? State::ImapExpunge : State::ImapLogout;
}

// UID EXPUNGE of the messages deleted in this session (UIDPLUS), in
// commands of at most about 1800 characters; else one EXPUNGE.
int ImapExpunge(Channel &ch, Tick now) {
  if (!Offers(ch, FeatUidPlus)) {
    ch.ImapExpungeFrom = ch.ImapUidCount;
    return SendImapCommand(ch, now, State::ImapExpungeReply, "EXPUNGE");
  }
  char text[1900];
  int n = FormatLine(text, sizeof text, "UID EXPUNGE ");
  int i = NextDeleted(ch, ch.ImapExpungeFrom);
  bool first = true;
  while (i >= 0 && n < 1800) {
    int last = i;
    // A range only over consecutive UIDs: a message between them that this
    // session did not delete is never part of the set.
    while (last + 1 < ch.ImapUidCount && ImapIsDeleted(ch, last + 1) && ch.ImapUids[last + 1] == ch.ImapUids[last] + 1)
      last++;
    const unsigned long a = ch.ImapUids[i], b = ch.ImapUids[last];
    n += a == b ? FormatLine(text + n, static_cast<int>(sizeof text) - n, "%s%lu", first ? "" : ",", a)
                : FormatLine(text + n, static_cast<int>(sizeof text) - n, "%s%lu:%lu", first ? "" : ",", a, b);
    first = false;
    i = NextDeleted(ch, last + 1);
  }
  ch.ImapExpungeFrom = i < 0 ? ch.ImapUidCount : i;
  return SendImapCommand(ch, now, State::ImapExpungeReply, text);
}

int ImapExpungeReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.NextState = NextDeleted(ch, ch.ImapExpungeFrom) >= 0 ? State::ImapExpunge : State::ImapLogout;
  return 0;
}

int ImapLogout(Channel &ch, Tick now) { return SendImapCommand(ch, now, State::ImapLogoutReply, "LOGOUT"); }

// BYE comes first, then the tagged OK; a server that closes after its BYE
// has ended the session as well.
int ImapLogoutReply(Channel &ch, Tick) {
  const int rc = ReadImapResponse(ch);
  if (rc == ImapNothing) return 0;
  if (rc < 0 && !(rc == Err::Closed && ch.ImapBye)) return FailRead(ch, rc);
  if (rc == ImapMore || rc == ImapLineEnd || rc == ImapGoAhead) return 0;
  if (rc == ImapTagged && ch.ImapStatus != ImapOk) return driverFail(ch, 0, Err::ImapError);
  CloseChannelSocket(ch);
  ch.ImapLoggedIn = 0;
  ch.NextState = State::Complete;
  return 0;
}

int ImapCommand(Channel &ch, Tick now) {
  return SendImapCommand(ch, now, State::ImapCommandReply, ch.ImapCommand);
}

int ImapCommandReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.NextState = State::Complete;
  return 0;
}

// ---- Waiting for new mail (460-466) ----------------------------------------------
//
// kelCommand "IDLE" (or "IDLE seconds"): IDLE (RFC 2177) where offered, the
// server reporting new messages as they come; else NOOP at an interval. The
// wait ends at the first new message or at its time; then the messages that
// came and match the session's search are added behind the list (1..n keep
// their numbers), and the count is the call's result.

namespace {

// The interval of NOOP polling: a fifth of the wait, from 0.1 to 5 s.
uint32_t NoopInterval(const Channel &ch) {
  const uint32_t i = ch.ImapIdleWait / 5;
  return i < 100 ? 100 : i > 5000 ? 5000 : i;
}

int SendDone(Channel &ch, Tick now) {
  ch.WakeAtDeadline = 0;
  ch.ImapPhase = PhaseNone;
  CopyField(ch.SendLine, "DONE");
  const int rc = SendTextLine(ch, ch.SendLine);
  if (rc < 0) return driverFail(ch, rc, Err::Send);
  SetTiming(ch, now, 0, Settings.ResponseTimeout);
  ch.NextState = State::ImapIdleDone;
  return 0;
}

// Room in the UID list for capacity numbers, the deleted marks kept.
bool GrowUidList(Channel &ch, int32_t capacity) {
  if (capacity <= ch.ImapUidCapacity) return true;
  const int32_t count = ch.ImapUidCount, oldCapacity = ch.ImapUidCapacity;
  const size_t oldBits = static_cast<size_t>(oldCapacity) / 8 + 1;
  std::unique_ptr<uint32_t[]> uids(new (std::nothrow) uint32_t[count > 0 ? count : 1]);
  std::unique_ptr<uint8_t[]> bits(new (std::nothrow) uint8_t[oldBits]);
  if (!uids || !bits) return false;
  if (ch.ImapUids) {
    memcpy(uids.get(), ch.ImapUids, static_cast<size_t>(count) * 4);
    memcpy(bits.get(), ch.ImapUids + oldCapacity, oldBits);
  }
  FreeMemory(ch.ChannelNumber, 9, 9);
  const uint32_t bytes = static_cast<uint32_t>(capacity) * 4 + static_cast<uint32_t>(capacity) / 8 + 1;
  char *block = AllocateMemory(ch.ChannelNumber, 9, bytes);
  if (!block) return false;
  memset(block, 0, bytes);
  ch.ImapUids = reinterpret_cast<uint32_t *>(block);
  ch.ImapUidCapacity = capacity;
  ch.ImapUidCount = count;
  memcpy(ch.ImapUids, uids.get(), static_cast<size_t>(count) * 4);
  if (oldCapacity > 0) memcpy(ch.ImapUids + capacity, bits.get(), oldBits);
  return true;
}

}  // namespace

int ImapIdle(Channel &ch, Tick now) {
  ch.ImapNewMail = 0;
  ch.ImapIdleCount = ch.ImapUidCount;
  ch.ImapIdleEnd = now + ch.ImapIdleWait;
  if (!Offers(ch, FeatIdle)) return SendImapCommand(ch, now, State::ImapNoopReply, "NOOP");
  const int rc = SendImapCommand(ch, now, State::ImapIdleWait, "IDLE");
  ch.ImapPhase = PhaseIdleAsked;
  return rc;
}

int ImapIdleWait(Channel &ch, Tick now) {
  const int rc = ReadImapResponse(ch);
  if (rc < 0) {
    ch.WakeAtDeadline = 0;
    return FailRead(ch, rc);
  }
  const bool idling = ch.ImapPhase == PhaseIdling;
  if (rc == ImapNothing) return idling && !TickAfter(ch.ImapIdleEnd, now) ? SendDone(ch, now) : 0;
  if (ch.ImapBye) return driverFail(ch, 0, Err::ImapError);
  if (rc == ImapGoAhead) {
    if (ch.ImapPhase != PhaseIdleAsked) return driverFail(ch, 0, Err::ImapReplyMalformed);
    ch.ImapPhase = PhaseIdling;
    ch.WakeAtDeadline = 1;  // the end of the wait is no time-out
    ch.Deadline = ch.ImapIdleEnd;
    return 0;
  }
  if (rc == ImapTagged) {  // the server ended the wait itself
    ch.WakeAtDeadline = 0;
    ch.ImapPhase = PhaseNone;
    if (ch.ImapStatus != ImapOk) return driverFail(ch, 0, Err::ImapError);
    ch.NextState = ch.ImapNewMail ? State::ImapRefresh : State::Complete;
    return 0;
  }
  if (idling && ch.ImapNewMail && rc == ImapLineEnd) return SendDone(ch, now);
  ch.Deadline = idling ? ch.ImapIdleEnd : now + Settings.ResponseTimeout;
  return 0;
}

int ImapIdleDone(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.NextState = ch.ImapNewMail ? State::ImapRefresh : State::Complete;
  return 0;
}

int ImapNoop(Channel &ch, Tick now) { return SendImapCommand(ch, now, State::ImapNoopReply, "NOOP"); }

int ImapNoopReply(Channel &ch, Tick now) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  if (ch.ImapNewMail) {
    ch.NextState = State::ImapRefresh;
    return 0;
  }
  if (!TickAfter(ch.ImapIdleEnd, now)) {
    ch.NextState = State::Complete;
    return 0;
  }
  uint32_t pause = NoopInterval(ch);
  const uint32_t left = static_cast<uint32_t>(TickDiff(ch.ImapIdleEnd, now));
  if (pause > left) pause = left;
  SetTiming(ch, now, pause, pause + Settings.ResponseTimeout);
  ch.NextState = State::ImapNoop;
  return 0;
}

// UID SEARCH of what came behind the last UID of the list.
int ImapRefresh(Channel &ch, Tick now) {
  const uint64_t need = uint64_t(ch.ImapUidCount) + (ch.ImapExists < 0x1000000u ? ch.ImapExists : 0x1000000u) + 64;
  if (!GrowUidList(ch, static_cast<int32_t>(need))) return driverFail(ch, 0, Err::NoMemory);
  ch.ImapIdleCount = ch.ImapUidCount;
  const unsigned long last = ch.ImapUidCount > 0 ? ch.ImapUids[ch.ImapUidCount - 1] : 0;
  char text[1100];
  FormatLine(text, sizeof text, "UID SEARCH UID %lu:* %s", last + 1, ch.ImapSearch[0] ? ch.ImapSearch : "ALL");
  const int rc = SendImapCommand(ch, now, State::ImapRefreshReply, text);
  ch.ImapPhase = PhaseSearch;
  return rc;
}

// "n:*" finds the last message even when its UID is below n: only UIDs
// behind the list's last are added, in order.
int ImapRefreshReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.ImapPhase = PhaseNone;
  uint32_t *uids = ch.ImapUids;
  const int32_t from = ch.ImapIdleCount;
  const uint32_t last = from > 0 ? uids[from - 1] : 0;
  int32_t kept = from;
  for (int32_t i = from; i < ch.ImapUidCount; i++)
    if (uids[i] > last) uids[kept++] = uids[i];
  std::sort(uids + from, uids + kept);
  ch.ImapUidCount = static_cast<int32_t>(std::unique(uids + from, uids + kept) - uids);
  ch.EmailCount = ch.ImapUidCount;
  LogLine(ch, "[%ld message(s) now]\r\n", static_cast<long>(ch.ImapUidCount));
  ch.NextState = State::Complete;
  return 0;
}
