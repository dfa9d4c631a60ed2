// The POP3 session states: connection start, greeting, login by APOP or by
// USER and PASS, and the mailbox commands STAT, DELE, LIST, UIDL and the
// caller's free command. Retrieval (RETR, TOP) lives in retrieve.cpp; QUIT
// is shared with SMTP (smtp.cpp).
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../core/errors.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "auth.h"
#include "driver.h"
#include "replies.h"

// AuthText keeps a greeting time-stamp of at most this many characters; a
// longer one is kept whole in SourceBuf, which a POP3 session does not
// otherwise use, until ApopCommand has taken its digest.
constexpr int TimestampLimit = static_cast<int>(sizeof(Channel::AuthText)) - 1;

int SendPop3Command(Channel &ch, Tick now, uint32_t extraDelay, int next) {
  int rc = SendTextLine(ch, ch.SendLine);
  ch.SecretAt = 0;
  if (rc < 0) return driverFail(ch, rc, Err::Send);
  SetTiming(ch, now, Settings.StepDelay + extraDelay, Settings.ResponseTimeout);
  ch.NextState = next;
  return 0;
}

// The status line of a reply that must be positive: 0, or the error exit.
// A connection closed before the reply ends the operation with -1; a line
// that is no status line is refused like "-ERR".
static int RequirePositive(Channel &ch) {
  int rc = ReadPop3Reply(ch);
  if (rc == Err::Pop3ReplyMalformed) rc = Err::Pop3Error;
  return rc < 0 ? driverFail(ch, 0, rc) : 0;
}

// The login replies give the step back after a short pause while nothing
// has arrived; the pause ends early when the reply comes.
static void PauseForReply(Channel &ch) {
  if (ch.AutoCall != 1) return;  // a non-blocking step never waits
  PlatformSocketWait(ch.Socket, ReadyReadable, Settings.SleepTime);
  ch.IdleWait = 0;  // this step has waited already
}

int Pop3Start(Channel &ch, Tick) {
  if (ch.LogHandle) WriteVersionLine(ch);
  ch.AfterConnectState = State::Pop3Greeting;
  ch.NextState = State::LocalHostName;
  return 0;
}

// Keeps the APOP time-stamp of the greeting: the text from its first "<"
// to the first ">" after it, or nothing.
static void KeepTimestamp(Channel &ch) {
  const char *open = strchr(ch.Response, '<');
  const char *close = open ? strchr(open, '>') : nullptr;
  if (!close) {
    ch.AuthText[0] = 0;
    return;
  }
  const int length = static_cast<int>(close - open) + 1;
  CopyField(ch.AuthText, open, length);
  if (length >= TimestampLimit) CopyField(ch.SourceBuf, open, length);
}

int Pop3Greeting(Channel &ch, Tick now) {
  if (AwaitReply(ch, Pop3StatusLine, 0) != 1) return 0;
  if (int rc = RequirePositive(ch)) return rc;
  KeepTimestamp(ch);  // whether or not APOP is on
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = ch.Apop ? State::ApopCommand : State::UserCommand;
  // CAPA first: STLS, if offered and wanted, before any login; the SASL
  // mechanisms when the login is by AUTH (pop3_auth.cpp).
  if (Pop3UsesSasl(ch) || WantsStartTls(ch)) ch.NextState = State::CapaCommand;
  return 0;
}

int ApopCommand(Channel &ch, Tick now) {
  if (!ch.AuthText[0]) return driverFail(ch, 0, Err::NoApopStamp);
  const bool whole = static_cast<int>(strnlen(ch.AuthText, sizeof ch.AuthText)) < TimestampLimit;
  ApopDigest(ch, whole ? ch.AuthText : ch.SourceBuf, ch.Password);
  FormatLine(ch.SendLine, sizeof ch.SendLine, "APOP %s", ch.AuthText);
  // The digest would let a reader of the log test guessed passwords.
  const char *blank = strrchr(ch.SendLine, ' ');
  ch.SecretAt = static_cast<uint16_t>((blank ? blank - ch.SendLine + 1 : 0) + 1);
  return SendPop3Command(ch, now, 200, State::LoginReply);
}

int UserCommand(Channel &ch, Tick now) {
  FormatLine(ch.SendLine, sizeof ch.SendLine, "USER %s", ch.User);
  return SendPop3Command(ch, now, 0, State::UserReply);
}

int UserReply(Channel &ch, Tick) {
  if (AwaitReply(ch, Pop3StatusLine, 0) != 1) {
    PauseForReply(ch);
    return 0;
  }
  if (int rc = RequirePositive(ch)) return rc;
  ch.WaitWritable = 1;
  ch.NextState = State::PassCommand;
  return 0;
}

int PassCommand(Channel &ch, Tick now) {
  FormatLine(ch.SendLine, sizeof ch.SendLine, "PASS %s", ch.Password);
  ch.SecretAt = 6;  // "PASS " in clear
  return SendPop3Command(ch, now, 200, State::LoginReply);
}

int LoginReply(Channel &ch, Tick) {
  if (AwaitReply(ch, Pop3StatusLine, 0) != 1) {
    PauseForReply(ch);
    return 0;
  }
  if (int rc = RequirePositive(ch)) return rc;
  ch.NextState = State::Complete;
  return 0;
}

int StatCommand(Channel &ch, Tick now) {
  ch.EmailCount = 0;
  CopyField(ch.SendLine, "STAT");
  return SendPop3Command(ch, now, 0, State::StatReply);
}

// The mailbox queries take a negative reply as an answer (nothing found),
// but a closed connection, a late reply or a line that is no status line is
// a failure: 1 when the reply is positive, 0 when it is negative, or the
// error exit.
static int QueryReply(Channel &ch) {
  int rc = ReadPop3Reply(ch);
  if (rc == Err::Pop3Error) return 0;
  if (rc < 0) return driverFail(ch, 0, rc);
  return 1;
}

int StatReply(Channel &ch, Tick) {
  if (AwaitReply(ch, Pop3StatusLine, 0) != 1) return 0;
  int rc = QueryReply(ch);
  if (rc < 0) return rc;
  // "+OK 5 7421": the count stands from the fifth character on.
  if (rc == 1 && strnlen(ch.Response, 4) == 4) ch.EmailCount = static_cast<int32_t>(ParseDecimal(ch.Response + 4));
  ch.NextState = State::Complete;
  return 0;
}

int DeleCommand(Channel &ch, Tick now) {
  FormatLine(ch.SendLine, sizeof ch.SendLine, "DELE %d", ch.MessageNumber);
  return SendPop3Command(ch, now, 0, State::DeleReply);
}

int DeleReply(Channel &ch, Tick) {
  if (AwaitReply(ch, Pop3StatusLine, 0) != 1) return 0;
  int rc = QueryReply(ch);
  if (rc < 0) return rc;
  ch.NextState = State::Complete;
  return 0;
}

int ListCommand(Channel &ch, Tick now) {
  ch.EmailSize = 0;
  FormatLine(ch.SendLine, sizeof ch.SendLine, "LIST %d", ch.MessageNumber);
  return SendPop3Command(ch, now, 0, State::ListReply);
}

int ListReply(Channel &ch, Tick) {
  if (AwaitReply(ch, Pop3StatusLine, 0) != 1) return 0;
  int rc = QueryReply(ch);
  if (rc < 0) return rc;
  if (rc == 1) {
    // "+OK 3 1200": the size follows the second blank.
    const char *first = strchr(ch.Response, ' ');
    const char *second = first ? strchr(first + 1, ' ') : nullptr;
    if (second) ch.EmailSize = static_cast<int32_t>(ParseDecimal(second + 1));
  }
  ch.NextState = State::Complete;
  return 0;
}

// The UIDL reply is read piece by piece (a piece is a line, or up to 1023
// bytes of a longer one). Between steps Lookahead keeps the last byte of the
// piece before, so that the dot rules apply at the start of a line only,
// and ReplyCode is 0 until the status line has been read.
int UidlCommand(Channel &ch, Tick now) {
  if (ch.MessageNumber < 0) CopyField(ch.SendLine, "UIDL");
  else FormatLine(ch.SendLine, sizeof ch.SendLine, "UIDL %d", ch.MessageNumber);
  ch.Lookahead = '\n';
  ch.ReplyCode = 0;
  if (ch.UserBuffer && ch.BufferUsed >= 0 && ch.BufferUsed <= ch.UserBufferSize) ch.UserBuffer[ch.BufferUsed] = 0;
  return SendPop3Command(ch, now, 0, State::UidlReply);
}

// Appends to the caller's buffer up to its capacity, always terminated (the
// buffer holds one byte more than its capacity).
static void StoreUidlText(Channel &ch, const char *text, int length) {
  if (!ch.UserBuffer || ch.BufferUsed < 0 || ch.BufferUsed > ch.UserBufferSize) return;
  int room = ch.UserBufferSize - ch.BufferUsed;
  int n = length < room ? length : room;
  if (n > 0) {
    memcpy(ch.UserBuffer + ch.BufferUsed, text, static_cast<size_t>(n));
    ch.BufferUsed += n;
  }
  ch.UserBuffer[ch.BufferUsed] = 0;
}

static bool IsEndLine(const char *line, int length) {
  return (length == 2 && line[0] == '.' && line[1] == '\n') ||
         (length == 3 && line[0] == '.' && line[1] == '\r' && line[2] == '\n');
}

int UidlReply(Channel &ch, Tick now) {
  const uint32_t receive = Settings.ReceiveTimeout;
  const uint32_t further = 4 * receive;
  if (AwaitLine(ch, receive, further, false) != 1) return ch.AutoCall == 1 ? 0 : KEL_WAITING;
  int n = ReadLine(ch, ch.Response, 1024, StepWait(ch, receive), StepWait(ch, further));
  // A list cut short by a closed connection is not a complete answer.
  if (n < 0) return driverFail(ch, 0, n);
  if (n == 0) return 0;
  const bool lineStart = ch.Lookahead == '\n';
  const bool lineEnds = ch.Response[n - 1] == '\n';
  ch.Lookahead = ch.Response[n - 1];
  const char *text = ch.Response;
  int length = n;
  if (ch.ReplyCode == 0) {
    // The status line: a negative one, or one that is none, ends the call
    // with an error instead of a text that looks like an answer.
    if (!lineEnds && n < 1023) return driverFail(ch, 0, Err::Timeout);
    const int form = Pop3StatusForm(text, length);
    CopyField(ch.LastReply, text, 127);
    ch.ReplyCode = form == 1 ? 100 : 500;
    if (form != 1) return driverFail(ch, 0, form == 0 ? Err::Pop3Error : Err::Pop3ReplyMalformed);
  } else if (lineStart && text[0] == '.') {
    if (IsEndLine(text, length)) {
      StoreUidlText(ch, text, 0);
      ch.NextState = State::Complete;
      return 0;
    }
    text++;  // a stuffed dot
    length--;
  }
  StoreUidlText(ch, text, length);
  // One line answers a single message.
  if (lineEnds && ch.MessageNumber >= 1) {
    ch.NextState = State::Complete;
    return 0;
  }
  ch.Deadline = now + Settings.ResponseTimeout;
  return 0;
}

int Pop3Command(Channel &ch, Tick now) {
  CopyField(ch.SendLine, ch.Command, 32);
  return SendPop3Command(ch, now, 0, State::Pop3CommandReply);
}

// Only the status line is read; any further lines stay in the receive ring.
int Pop3CommandReply(Channel &ch, Tick) {
  if (AwaitReply(ch, Pop3StatusLine, 0) != 1) return 0;
  if (int rc = RequirePositive(ch)) return rc;
  ch.NextState = State::Complete;
  return 0;
}
