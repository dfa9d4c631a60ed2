// The SMTP dialogue: greeting and EHLO/HELO after kelSmtpConnect,
// the envelope of kelSendEmail (MAIL FROM, RCPT TO for To, CC and BCC, DATA)
// and the reply to the message, VRFY, the free command, and QUIT.
//
// Rules of the reply states:
// - A connection closed before a reply is -1 "Socket has been closed."
//   everywhere but in the reply to QUIT, where it counts as success.
// - A line that is no reply line (not three digits from 200 to 599 and a
//   space, a hyphen or the line end) is -84 in every state, VRFY and QUIT
//   included; a line whose end never comes is -8.
// - A reply of 400 or more refuses (-49) in every reply state except RCPT TO
//   (a 4xx is accepted and the next address sent), VRFY (its own rule), the
//   free command (the caller reads the code) and QUIT.
#include "smtp.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "../core/errors.h"
#include "../core/text.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "auth.h"
#include "compose.h"
#include "features.h"
#include "recipients.h"
#include "replies.h"

// The HELO/EHLO argument when From holds no "@": a name of the reserved
// form RFC 2606 and common practice give to a host without a name of its
// own; it is a syntactically valid domain, so servers that demand one
// (Postfix reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname)
// accept it. The local host name of state 101 is only logged.
static const char DefaultHeloDomain[] = "localhost.localdomain";

// Formatted command lines hold at most 1023 characters, like every other
// formatted line of the library; SendLine keeps room for CR LF behind them.
static_assert(sizeof(Channel::SendLine) >= 1024 + 2, "SendLine must hold a line and its CR LF");

int TakeSmtpReply(Channel &ch, int refuseFrom, uint32_t waitMs) {
  if (!AwaitReply(ch, SmtpReplyLines, waitMs)) return 0;
  int rc = ReadSmtpReply(ch);
  if (rc == 0 && ch.ReplyCode >= refuseFrom) rc = Err::SmtpError;
  if (rc < 0) return driverFail(ch, 0, rc);
  return 1;
}

static int SendFormatted(Channel &ch, const char *format, va_list args) {
  int n = vsnprintf(ch.SendLine, 1024, format, args);
  if (n < 0) ch.SendLine[0] = 0;
  // A command is never sent cut: the session calls refuse what cannot fit.
  if (n >= 1024) return driverFail(ch, 0, Err::AddressTooLong);
  int rc = SendTextLine(ch, ch.SendLine);
  return rc < 0 ? driverFail(ch, rc, Err::Send) : 0;
}

void AwaitingReply(Channel &ch) { ch.IdleWait = ReadyReadable; }

int SendCommand(Channel &ch, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int rc = SendFormatted(ch, format, args);
  va_end(args);
  return rc;
}

int SendSmtpCommand(Channel &ch, Tick now, uint32_t extraDelay, int next, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int rc = SendFormatted(ch, format, args);
  va_end(args);
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay + extraDelay, Settings.ResponseTimeout);
  ch.NextState = next;
  AwaitingReply(ch);
  return 0;
}

// ---- Connection and greeting (kelSmtpConnect) ----------------------------

bool SendsEhlo(const Channel &ch) { return ch.EsmtpAuth || UsesStartTls(ch); }

bool ServerPipelines(const Channel &ch) { return ch.EsmtpAuth && Offers(ch, FeatPipelining); }

int SmtpStart(Channel &ch, Tick) {
  WriteVersionLine(ch);
  ch.Features = ServerFeatures{};
  ch.AfterConnectState = State::SmtpGreeting;
  ch.NextState = State::LocalHostName;
  return 0;
}

int SmtpGreeting(Channel &ch, Tick now) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::SmtpHello;
  return 0;
}

int SmtpHello(Channel &ch, Tick now) {
  ch.BodyBytesRead = ch.AttachBytesRead = ch.BodyBytesSent = ch.AttachBytesSent = 0;
  // STARTTLS is offered only in the reply to EHLO, and EHLO starts the session again after it.
  const char *word = SendsEhlo(ch) ? "EHLO" : "HELO";
  // The text after the first "@" of From, cut at its first ">": the domain
  // of the bracketed address of "Name <user@domain>". An international
  // domain goes as A-labels, never as raw UTF-8.
  const char *at = strchr(ch.From, '@');
  const char *domain = at ? at + 1 : DefaultHeloDomain;
  int length = static_cast<int>(strcspn(domain, ">"));
  char ascii[256];
  if (HasEightBit(domain, length)) {
    char name[256];
    CopyField(name, sizeof name, domain, length);
    length = PlatformDomainToAscii(name, ascii, sizeof ascii);
    domain = length > 0 ? ascii : DefaultHeloDomain;
    if (length <= 0) length = static_cast<int>(strlen(DefaultHeloDomain));
  }
  AwaitWritable(ch, StepWait(ch, 1000));  // the outcome is not tested: the send reports a failure
  return SendSmtpCommand(ch, now, Settings.StepDelay + 200, State::SmtpHelloReply, "%s %.*s", word, length, domain);
}

int SmtpHelloReply(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  if (SendsEhlo(ch)) ReadEhloFeatures(ch.Response, ch.Features);
  if ((rc = SmtpStartTlsChoice(ch)) != 0) return rc < 0 ? rc : 0;  // STARTTLS before any login
  // The AUTH line names the mechanisms word by word; the library's order of
  // preference chooses among them (smtp_auth.cpp). No AUTH with ESMTP off.
  ch.NextState = State::Complete;
  return ch.EsmtpAuth ? ChooseSmtpAuth(ch) : 0;
}

// ---- International addresses ----------------------------------------------

bool HasEightBit(const char *text, int length) {
  for (int i = 0; i < length && text[i]; i++)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
  return false;
}

namespace {

// The bracketed address in an entry: from its "<" up to its ">" (or the
// entry's end); the local part and the domain found in it.
struct AddressParts {
  const char *Local;
  int LocalLength;
  const char *Domain;  // after the last "@"; null when there is none
  int DomainLength;
};

AddressParts SplitAddress(const char *address, int length) {
  AddressParts parts{address, 0, nullptr, 0};
  int end = 0;
  while (end < length && address[end] && address[end] != '>') end++;
  int at = -1;
  for (int i = 0; i < end; i++)
    if (address[i] == '@') at = i;
  if (at < 0) {
    parts.LocalLength = end;
    return parts;
  }
  parts.LocalLength = at;
  parts.Domain = address + at + 1;
  parts.DomainLength = end - at - 1;
  return parts;
}

// Checks one entry: 1 when it is international, -87 when the server could
// not take it, else 0.
int CheckAddress(const Channel &ch, const char *address, int length) {
  if (!HasEightBit(address, length)) return 0;
  if (Offers(ch, FeatSmtpUtf8)) return 1;
  AddressParts parts = SplitAddress(address, length);
  if (HasEightBit(parts.Local, parts.LocalLength)) return Err::InternationalAddress;
  char domain[256], ascii[256];
  if (parts.DomainLength >= static_cast<int>(sizeof domain)) return Err::InternationalAddress;
  CopyField(domain, sizeof domain, parts.Domain, parts.DomainLength);
  if (PlatformDomainToAscii(domain, ascii, sizeof ascii) <= 0) return Err::InternationalAddress;
  return 1;
}

}  // namespace

int EnvelopeAddress(const Channel &ch, const char *address, int length, char *out, int size) {
  if (length < 0) length = static_cast<int>(strlen(address));
  AddressParts parts = SplitAddress(address, length);
  int n = 0;
  auto put = [&](const char *text, int count) {
    for (int i = 0; i < count && n < size - 1; i++) out[n++] = text[i];
  };
  if (ch.UseSmtpUtf8 || !parts.Domain || !HasEightBit(parts.Domain, parts.DomainLength)) {
    put(address, length);
  } else {
    char domain[256], ascii[256];
    CopyField(domain, sizeof domain, parts.Domain, parts.DomainLength);
    const int converted = PlatformDomainToAscii(domain, ascii, sizeof ascii);
    const int before = static_cast<int>(parts.Domain - address);
    put(address, before);
    if (converted > 0) put(ascii, converted);
    else put(parts.Domain, parts.DomainLength);
    const int after = before + parts.DomainLength;
    put(address + after, length - after);
  }
  out[n] = 0;
  return n;
}

int CheckAddresses(Channel &ch) {
  ch.UseSmtpUtf8 = 0;
  bool international = false;
  const char *from = strchr(ch.From, '<');
  int rc = from ? CheckAddress(ch, from, static_cast<int>(strlen(from))) : 0;
  if (rc > 0) international = true;
  const char separator = Settings.AddressSeparator;
  for (const char *list : {ch.ToList, ch.CcList, ch.BccList}) {
    for (const char *p = list; rc >= 0 && p && *p;) {
      const char *end = p;
      while (*end && *end != separator) end++;
      const char *open = p;
      while (open < end && *open != '<') open++;
      const int entry = CheckAddress(ch, open, static_cast<int>(end - open));
      if (entry > 0) international = true;
      if (entry < 0) rc = entry;
      p = *end ? end + 1 : end;
    }
  }
  if (rc < 0) return driverFailConnected(ch, rc);
  ch.UseSmtpUtf8 = international && Offers(ch, FeatSmtpUtf8);
  return 0;
}

int MailFromLine(const Channel &ch, char *out, int size) {
  char address[1100];
  EnvelopeAddress(ch, strchr(ch.From, '<'), -1, address, sizeof address);
  int n = FormatLine(out, size, "MAIL FROM:%s", address);
  if (Offers(ch, FeatSize) && ch.MessageEstimate)
    n += FormatLine(out + n, size - n, " SIZE=%lu", static_cast<unsigned long>(ch.MessageEstimate));
  if (Offers(ch, Feat8BitMime) && ch.BodyCoding == CodingEightBit) n += FormatLine(out + n, size - n, " BODY=8BITMIME");
  if (ch.UseSmtpUtf8) n += FormatLine(out + n, size - n, " SMTPUTF8");
  if (Offers(ch, FeatDsn) && ch.DsnRet[0]) n += FormatLine(out + n, size - n, " RET=%s", ch.DsnRet);
  return n;
}

const char *DsnNotify(const Channel &ch) { return Offers(ch, FeatDsn) && ch.DsnNotify[0] ? ch.DsnNotify : nullptr; }

// ---- The envelope (kelSendEmail) ----------------------------------------

int MailFrom(Channel &ch, Tick now) {
  if (!ch.From[0]) return driverFail(ch, 0, Err::MissingFrom);
  const char *bracket = strchr(ch.From, '<');
  if (!bracket) return driverFail(ch, 0, Err::MissingOpen);
  if (int rc = ExamineMessage(ch)) return rc < 0 ? rc : 0;
  if (ch.PipelineWanted && ServerPipelines(ch)) return SendPipelinedEnvelope(ch, now);
  char line[1200];
  MailFromLine(ch, line, sizeof line);
  return SendSmtpCommand(ch, now, 0, State::MailFromReply, "%s", line);
}

int MailFromReply(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  ch.AddressCursor = ch.ToList;
  ch.CcDone = ch.CcList ? 0 : 1;
  ch.BccDone = ch.BccList ? 0 : 1;
  ch.NextState = State::NextRecipient;
  return 0;
}

// Cuts the next entry out of the list at AddressCursor: CurrentAddress runs
// from its "<" to the next separator, which is replaced by NUL until the
// reply has come (RcptToReply puts it back). A display name before the "<"
// is dropped; an entry without "<" is -37.
int NextRecipient(Channel &ch, Tick now) {
  const char separator = Settings.AddressSeparator;
  char *p = ch.AddressCursor;
  if (p)
    while (*p && *p != separator && *p != '<') p++;
  if (!p || *p != '<') return driverFail(ch, 0, Err::EmptyAddress);
  ch.CurrentAddress = p;
  while (*p && *p != separator) p++;
  if (*p) {
    *p = 0;
    ch.SeparatorAt = p;
    ch.AddressCursor = p + 1;
  } else {
    ch.SeparatorAt = nullptr;
    ch.AddressCursor = p;  // the empty text at the list's end
  }
  ch.Deadline = now + Settings.ResponseTimeout;
  ch.WaitWritable = 1;
  ch.NextState = State::RcptTo;
  return 0;
}

int RcptTo(Channel &ch, Tick now) {
  char address[1100];
  EnvelopeAddress(ch, ch.CurrentAddress, -1, address, sizeof address);
  const char *notify = DsnNotify(ch);
  int rc = SendCommand(ch, "RCPT TO:%s%s%s", address, notify ? " NOTIFY=" : "", notify ? notify : "");
  if (rc < 0) return rc;
  ch.Deadline = now + Settings.ResponseTimeout;
  ch.NextState = State::RcptToReply;
  AwaitingReply(ch);
  return 0;
}

// Records the address, puts the separator back and goes on with the rest of
// the list, then the CC list, then the BCC list, then DATA.
int RcptToReply(Channel &ch, Tick now) {
  int rc = TakeRcptReply(ch);  // a 4xx (such as 450) is accepted; refusals are recorded
  if (rc <= 0) return rc;
  CopyField(ch.LastRecipient, ch.CurrentAddress, 31);
  if (ch.SeparatorAt) {
    *ch.SeparatorAt = Settings.AddressSeparator;
    ch.SeparatorAt = nullptr;
  }
  ch.NextState = State::NextRecipient;
  if (*ch.AddressCursor || NextAddressList(ch)) return 0;
  if (int failed = CheckAcceptedRecipients(ch)) return failed;
  ch.NotBefore = now + Settings.StepDelay;
  ch.NextState = State::DataCommand;
  return 0;
}

bool NextAddressList(Channel &ch) {
  if (!ch.CcDone) {
    ch.AddressCursor = ch.CcList;
    ch.CcDone = 1;
  } else if (!ch.BccDone) {
    ch.AddressCursor = ch.BccList;
    ch.BccDone = 1;
  } else {
    return false;
  }
  return true;
}

int DataCommand(Channel &ch, Tick now) {
  return SendSmtpCommand(ch, now, 0, State::DataReply, "DATA");
}

// A refused DATA (4xx or 5xx) ends the send here: no message text is sent.
int DataReply(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  ch.NextState = FirstHeaderState(ch);  // on to the message text
  return 0;
}

int EndOfDataReply(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 400, 100);
  if (rc <= 0) return rc;
  ch.NextState = State::Complete;
  return RecipientsOutcome(ch);
}

// ---- QUIT (kelClose, SMTP and POP3 channels) -------------------------------

int Quit(Channel &ch, Tick now) {
  return SendSmtpCommand(ch, now, 0, State::QuitReply, "QUIT");
}

// A server that closes the connection instead of answering QUIT ends the
// session as well as a reply does; a 4xx is accepted.
int QuitReply(Channel &ch, Tick) {
  if (!AwaitReply(ch, ch.Protocol == 'S' ? SmtpReplyLines : Pop3StatusLine, 0)) return 0;
  int rc = ch.Protocol == 'S' ? ReadSmtpReply(ch) : ReadPop3Reply(ch);
  if (rc < 0 && rc != Err::Closed) return driverFail(ch, 0, rc);
  CloseChannelSocket(ch);
  ch.NextState = State::Complete;
  return 0;
}

// ---- VRFY (kelVerifyUser) --------------------------------------------------

// Entries are sent whole (no "<" needed); the separators are not put back.
// An empty entry ends the list.
int NextVrfyAddress(Channel &ch, Tick now) {
  char *entry = ch.AddressCursor;
  ch.CurrentAddress = entry;
  if (!entry || !*entry) {
    ch.NextState = State::Complete;
    return 0;
  }
  const char separator = Settings.AddressSeparator;
  char *p = entry;
  while (*p && *p != separator) p++;
  if (*p) *p++ = 0;
  ch.AddressCursor = p;
  ch.Deadline = now + Settings.ResponseTimeout;
  ch.WaitWritable = 1;
  ch.NextState = State::VrfyCommand;
  return 0;
}

int VrfyCommand(Channel &ch, Tick now) {
  return SendSmtpCommand(ch, now, 0, State::VrfyReply, "VRFY %s", ch.CurrentAddress);
}

// A rejected address (any code but 250, 5xx included) is a result, not an
// error: VrfyResult tells about the last entry. A closed connection, an
// overflowing or late reply still end the operation.
int VrfyReply(Channel &ch, Tick) {
  if (!AwaitReply(ch, SmtpReplyLines, 0)) return 0;
  int rc = ReadSmtpReply(ch);
  if (rc < 0 && rc != Err::SmtpError) return driverFail(ch, 0, rc);
  ch.VrfyResult = rc == 0 && ch.ReplyCode == 250 ? 1 : 0;
  ch.NextState = State::NextVrfyAddress;
  return 0;
}

// ---- The free command (kelCommand) -----------------------------------------

int SmtpCommand(Channel &ch, Tick now) {
  return SendSmtpCommand(ch, now, 0, State::SmtpCommandReply, "%.32s", ch.Command);
}

// The reply stays in Response, LastReply and ReplyCode for the caller; a 4xx
// is the caller's to judge, a 5xx fails as everywhere.
int SmtpCommandReply(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 500);
  if (rc <= 0) return rc;
  ch.NextState = State::Complete;
  return 0;
}
