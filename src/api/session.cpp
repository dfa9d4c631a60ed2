// The session calls: kelSmtpConnect, kelSendEmail, kelVerifyUser,
// kelCommand, kelClose and kelAbort, and the rules the session calls share
// (session.h). None talks to a server itself: each checks its arguments,
// stores them in the channel, sets the first state and, in blocking mode,
// runs the driver until the operation ends.
//
// Rules of these calls worth knowing:
// - CR or LF inside an address (any entry of the To, CC, BCC and VRFY lists,
//   From, Reply-To) is refused with -32 "Bad character in email address."
//   before anything is stored for the operation or sent.
// - kelSendEmail, kelVerifyUser and kelCommand clear NotBefore and Deadline
//   in both modes, so a stale Deadline left by the last operation cannot fail
//   the first step of the next one in non-blocking mode.
// - An address list entry too long for its command line (RCPT TO, VRFY) is
//   refused with -86 before anything is sent.
// - kelSendEmail on a channel without a socket (never connected, or closed by
//   an error, kelClose or kelAbort) is -44 "Not connected to server", as on a
//   socket that is not writable.
// - kelClose on an SMTP channel closes a file left open by a failed send
//   quietly instead of giving it the note of a saved attachment.
// - kelAbort also clears NotBefore, Deadline and WaitWritable: the aborted
//   channel is idle, and an idle step must neither wait nor time out. It
//   closes every file the channel holds, as kelClose does.
#include <cstring>
#include <initializer_list>

#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../core/text.h"
#include "../driver/auth.h"
#include "../driver/driver.h"
#include "../driver/imap.h"
#include "../driver/recipients.h"
#include "../mime/mime.h"
#include "../net/socket.h"
#include "session.h"

// ---- Shared rules -------------------------------------------------------------

int CheckServerName(const char *name) {
  if (!name) return Err::NoServer;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++) {
    const unsigned c = *p;
    if (c == '<' || c == '>' || c == '@') return Err::BadServerName;
    if ((c < 0x20 || c > 0x7E) && c < 0xC0) return Err::BadServerName;
  }
  return 0;
}

// The first occurrence of c in text, stopping at the address separator when
// firstOnly is set; null when there is none.
static const char *FindInAddress(const char *text, char c, bool firstOnly) {
  const char separator = Settings.AddressSeparator;
  for (const char *p = text; *p; p++) {
    if (*p == c) return p;
    if (firstOnly && *p == separator) return nullptr;
  }
  return nullptr;
}

int CheckAddressBrackets(Channel &ch, const char *text, bool firstOnly) {
  if (!text || !*text) return Err::EmptyAddress;
  const char *open = FindInAddress(text, '<', firstOnly);
  if (!open) return driverFail(ch, 0, Err::MissingOpen);
  const char *close = FindInAddress(text, '>', firstOnly);
  if (!close || close < open) return Err::MissingClose;
  return 0;
}

int RunOrReturn(Channel &ch) { return ch.AutoCall == 1 ? RunBlocking(ch.ChannelNumber) : 0; }

// -32 when an address text (a whole list: every entry) holds CR or LF.
static int CheckLineBreaks(const char *text) {
  return text && strpbrk(text, "\r\n") ? Err::BadAddressChar : 0;
}

// Command lines hold 1023 characters (CR LF behind them); an entry of an
// address list that would not fit behind its command word is refused with
// -86 before anything is sent, never cut. RCPT TO carries an entry from its
// "<" to the separator, VRFY the whole entry.
constexpr size_t CommandLineLimit = 1023;

static int CheckAddressLengths(const char *list, size_t commandLength, bool fromBracket) {
  if (!list) return 0;
  const char separator = Settings.AddressSeparator;
  for (const char *entry = list;;) {
    const char *end = strchr(entry, separator);
    if (!end) end = entry + strlen(entry);
    const char *start = entry;
    if (fromBracket) {
      start = static_cast<const char *>(memchr(entry, '<', static_cast<size_t>(end - entry)));
      if (!start) start = end;
    }
    if (commandLength + static_cast<size_t>(end - start) > CommandLineLimit) return Err::AddressTooLong;
    if (!*end) return 0;
    entry = end + 1;
  }
}

// Every text argument of kelSendEmail that is empty counts as null.
static const char *Given(const char *text) { return text && *text ? text : nullptr; }

// The message text of a send without one.
static char EmptyMessage[1] = "";

// ---- SMTP calls ----------------------------------------------------------------

extern "C" int KEL_CALL kelSmtpConnect(unsigned channel, const char *server, const char *from,
                                       const char *replyTo) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  ch.Protocol = 'S';
  SessionTrace(ch, "kelSmtpConnect");
  if (!server) return Err::NoServer;
  if (!from) return Err::FromNull;
  if (int rc = CheckServerName(server)) return rc;
  if (int rc = CheckLineBreaks(replyTo)) return rc;
  // A login text that was refused when it was set is not replaced by nothing.
  if (ch.EsmtpAuth && ch.RefusedLoginTexts) return Err::BadSecretChar;
  CopyField(ch.ReplyTo, replyTo, 128);  // empty when null or empty
  CopyField(ch.Server, server, 128);
  if (int rc = CheckAddressBrackets(ch, from, false)) return rc;
  if (int rc = CheckLineBreaks(from)) return rc;
  CopyField(ch.From, from, 128);
  ch.Port = ch.SmtpPort;
  ch.AuthChosen = 0;
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.AttachCount = 0;
  ch.RingRead = ch.RingWrite = 0;
  ch.WaitWritable = 0;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = State::SmtpStart;
  return RunOrReturn(ch);
}

extern "C" int KEL_CALL kelSendEmail(unsigned channel, const char *to, const char *cc, const char *bcc,
                                     const char *subject, const char *message, const char *attachments) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  if (ch.Protocol != 'S') return Err::SmtpOnly;
  SessionTrace(ch, "kelSendEmail");
  if (ch.Socket == NoSocket || AwaitWritable(ch, 0) == 0) return Err::NotConnected;
  ch.BodyBytesRead = ch.AttachBytesRead = ch.BodyBytesSent = ch.AttachBytesSent = 0;
  StartRecipients(ch);
  ch.ContentIdCount = 0;
  ch.ToList = nullptr;
  to = Given(to);
  cc = Given(cc);
  bcc = Given(bcc);
  subject = Given(subject);
  message = Given(message);
  attachments = Given(attachments);
  if (!to) return Err::NoRecipient;
  // A prepared message is sent as it is: nothing to compose a subject or
  // attachments into, and no message is no prepared message.
  if (ch.RawSubmit && (subject || attachments || !message)) return -1;
  // The sender texts may also have come through KEL_FROM and KEL_REPLY_TO.
  if (int rc = CheckLineBreaks(ch.From)) return rc;
  if (int rc = CheckLineBreaks(ch.ReplyTo)) return rc;

  if (int rc = CheckAddressBrackets(ch, to, true)) return rc;
  if (int rc = CheckLineBreaks(to)) return rc;
  for (const char *list : {to, cc, bcc})
    if (int rc = CheckAddressLengths(list, strlen("RCPT TO:"), true)) return rc;
  if (!(ch.ToList = AllocAndCopy(channel, 1, to))) return Err::NoMemory;
  ch.CcList = nullptr;
  if (cc) {
    if (int rc = CheckAddressBrackets(ch, cc, true)) return rc;
    if (int rc = CheckLineBreaks(cc)) return rc;
    if (!(ch.CcList = AllocAndCopy(channel, 2, cc))) return Err::NoMemory;
  }
  ch.BccList = nullptr;
  if (bcc) {
    if (int rc = CheckAddressBrackets(ch, bcc, true)) return rc;
    if (int rc = CheckLineBreaks(bcc)) return rc;
    if (!(ch.BccList = AllocAndCopy(channel, 3, bcc))) return Err::NoMemory;
  }
  ch.Subject = nullptr;
  if (subject && !(ch.Subject = AllocAndCopy(channel, 4, subject))) return Err::NoMemory;
  ch.Message = EmptyMessage;
  if (message && !(ch.Message = AllocAndCopy(channel, 5, message))) return Err::NoMemory;
  ch.Attachments = nullptr;
  if (attachments && !(ch.Attachments = AllocAndCopy(channel, 6, attachments))) return Err::NoMemory;

  ch.WaitWritable = 1;
  ch.Examined = 0;
  ch.NextState = State::MailFrom;
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.NotBefore = ch.Deadline = 0;
  if (ch.AutoCall == 1) LogText(ch, "*** Sending...\r\n");
  return RunOrReturn(ch);
}

extern "C" int KEL_CALL kelVerifyUser(unsigned channel, const char *addressList) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  if (ch.Protocol != 'S') return Err::SmtpOnly;
  SessionTrace(ch, "kelVerifyUser");
  if (!addressList || !*addressList) return Err::NoRecipient;
  if (int rc = CheckLineBreaks(addressList)) return rc;
  if (int rc = CheckAddressLengths(addressList, strlen("VRFY "), false)) return rc;
  // Slot 1 is also the To list's: its old block goes.
  ch.ToList = nullptr;
  if (!(ch.AddressCursor = AllocAndCopy(channel, 1, addressList))) return Err::NoMemory;
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = State::NextVrfyAddress;
  int rc = RunOrReturn(ch);
  return rc == 0 && ch.AutoCall == 1 ? ch.VrfyResult : rc;
}

// ---- Calls for SMTP and POP3 channels alike -----------------------------------

extern "C" int KEL_CALL kelCommand(unsigned channel, const char *commandText) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  SessionTrace(ch, "kelCommand");
  if (!commandText) return Err::NullPointer;
  int first;
  if (ch.Protocol == 'P') first = State::Pop3Command;
  else if (ch.Protocol == 'S') first = State::SmtpCommand;
  else if (ch.Protocol == 'I') first = State::ImapCommand;
  else return Err::BadServerName;
  if (ch.Protocol == 'I') {
    // Tagged by the library; a line break would start a command of its own.
    if (strpbrk(commandText, "\r\n")) return Err::BadAddressChar;
    if (ch.Socket == NoSocket) return Err::NotConnected;
    CopyField(ch.ImapCommand, commandText, 1024);
    // "IDLE" or "IDLE seconds": the wait for new mail (the response
    // time-out, or at most 29 minutes); its result is the new count.
    const char *c = commandText;
    if (AsciiUpper(c[0]) == 'I' && AsciiUpper(c[1]) == 'D' && AsciiUpper(c[2]) == 'L' && AsciiUpper(c[3]) == 'E' &&
        (c[4] == 0 || c[4] == ' ')) {
      const uint32_t seconds = c[4] ? ParseDecimal(c + 5) : 0;
      ch.ImapIdleWait = seconds ? (seconds > 1740 ? 1740 : seconds) * 1000 : static_cast<uint32_t>(Settings.ResponseTimeout);
      first = State::ImapIdle;
    }
  } else {
    CopyField(ch.Command, commandText, 32);
  }
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = first;
  const bool blocking = ch.AutoCall == 1;
  const int rc = RunOrReturn(ch);
  return first == State::ImapIdle && blocking && rc == 0 ? ch.EmailCount : rc;
}

extern "C" int KEL_CALL kelClose(unsigned channel) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  SessionTrace(ch, "kelClose");
  // The retrieval clean-up: an attachment file still being
  // written gets its note, then the email file is closed. On an SMTP channel
  // FileHandle is a message or attachment file being sent, left open by a
  // send that failed: it is closed without a note (it was not saved).
  CloseChannelFiles(ch);
  // No login text outlives the session; a POP3 password comes again with
  // the next kelPop3Connect (the SMTP password and token are settings the
  // next kelSmtpConnect needs).
  ForgetLoginTexts(ch);
  if (ch.Protocol == 'P' || ch.Protocol == 'I') memset(ch.Password, 0, sizeof ch.Password);
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.WaitWritable = 1;
  ch.NotBefore = ch.Deadline = 0;
  // IMAP: the deleted messages are expunged, then LOGOUT.
  ch.NextState = ch.Protocol == 'I' ? ImapCloseState(ch) : State::Quit;
  if (ch.NextState == State::Complete) ch.WaitWritable = 0;
  if (ch.AutoCall != 1) return 0;
  int rc = RunBlocking(channel);
  FreeMemory(channel, 1, 10);
  ch.Protocol = 0;
  return rc;
}

extern "C" int KEL_CALL kelAbort(unsigned channel) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  SessionTrace(ch, "kelAbort");
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.AutoCall = 1;
  CloseChannelFiles(ch);
  CloseChannelSocket(ch);
  ch.InputBounded = 0;
  ch.WakeAtDeadline = 0;
  ForgetLoginTexts(ch);
  if (ch.Protocol == 'P' || ch.Protocol == 'I') memset(ch.Password, 0, sizeof ch.Password);
  ch.WaitWritable = 0;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = State::Complete;
  return 1;
}
