// The reply grammar of SMTP (RFC 5321 4.2) and POP3 (RFC 1939 3).
#include "replies.h"

#include "../core/errors.h"
#include "../core/text.h"
#include "../net/socket.h"

// ---- The form of reply lines -----------------------------------------------------

int SmtpReplyLineForm(const char *line, int n) {
  // RFC 5321 4.2: a code of three digits from 200 to 599, then a space, a
  // hyphen or the line end. A line cut right behind its CR still ends.
  if (n < 4) return -1;
  if (line[0] < '2' || line[0] > '5' || line[1] < '0' || line[1] > '9' || line[2] < '0' || line[2] > '9')
    return -1;
  switch (line[3]) {
    case '-':
      return 1;
    case ' ':
    case '\n':
      return 0;
    case '\r':
      return n == 4 || line[4] == '\n' ? 0 : -1;
    default:
      return -1;
  }
}

// After the status word: a blank, the line end, or the end of a cut line.
static bool StatusWordEnds(const char *rest, int left) {
  if (left <= 0) return true;
  const char c = rest[0];
  return c == ' ' || c == '\t' || c == '\n' || (c == '\r' && (left == 1 || rest[1] == '\n'));
}

static bool Upper(char c, char upper) { return AsciiUpper(c) == upper; }

int Pop3StatusForm(const char *line, int n) {
  if (n >= 3 && line[0] == '+' && Upper(line[1], 'O') && Upper(line[2], 'K') && StatusWordEnds(line + 3, n - 3))
    return 1;
  if (n >= 4 && line[0] == '-' && Upper(line[1], 'E') && Upper(line[2], 'R') && Upper(line[3], 'R') &&
      StatusWordEnds(line + 4, n - 4))
    return 0;
  return -1;
}

// ---- The reply readers -------------------------------------------------------------

int ReadSmtpReply(Channel &ch) {
  ch.ReplyCode = 0;
  char *p = ch.Response;
  int room = 1024;
  // In non-blocking mode the whole reply was awaited between steps
  // (AwaitReply): what is not here now is late.
  const uint32_t restWait = StepWait(ch, Settings.ResponseTimeout);
  bool waiting = false;
  Tick waitEnd = 0;
  for (;;) {
    int n = ReadLine(ch, p, room, 0, restWait);
    if (n == 0) {
      if (restWait == 0) return Err::Timeout;
      // A further line of the reply has not come yet: wait on the socket for
      // it, within the response time-out counted from the last line.
      const Tick now = PlatformTick();
      if (!waiting) {
        waiting = true;
        waitEnd = now + Settings.ResponseTimeout;
      }
      if (!TickAfter(waitEnd, now) || AwaitReadable(ch, static_cast<uint32_t>(TickDiff(waitEnd, now))) != 1)
        return Err::Timeout;
      ch.IdleWait = 0;  // this wait was ours; the step itself did not idle
      continue;
    }
    if (n < 0) return -1;  // closed before the reply ended; the state decides what that means
    waiting = false;
    CopyField(ch.LastReply, p, 127);
    // A line whose end never came is no reply; one cut by the end of the
    // room is, when its code can still be read.
    const bool cut = p[n - 1] != '\n';
    if (cut && n < room - 1) return Err::Timeout;
    if (cut && n < 4) return Err::ResponseOverflow;
    const int form = SmtpReplyLineForm(p, n);
    if (form < 0) return Err::SmtpReplyMalformed;
    if (ch.ReplyCode == 0) {
      const uint32_t code = ParseDecimal(p);
      ch.ReplyCode = static_cast<int32_t>(code);
      if (code >= 500) return Err::SmtpError;
    }
    if (form == 0) return 0;
    p += n;
    room -= n;
    if (room <= 1) return Err::ResponseOverflow;
  }
}

int ReadPop3Reply(Channel &ch) {
  ch.Deadline = 0;
  if (AwaitReadable(ch, StepWait(ch, Settings.ReceiveTimeout)) != 1) return Err::Timeout;
  int n = ReadLine(ch, ch.Response, 1024, 0, StepWait(ch, Settings.ResponseTimeout));
  if (n < 0) return -1;
  if (n == 0) return Err::Timeout;
  // The field holds 127 characters and the NUL.
  CopyField(ch.LastReply, ch.Response, 127);
  if (ch.Response[n - 1] != '\n' && n < 1023) return Err::Timeout;  // the line's end never came
  const int form = Pop3StatusForm(ch.Response, n);
  if (form == 1) {
    ch.ReplyCode = 100;
    return 0;
  }
  ch.ReplyCode = 500;
  return form == 0 ? Err::Pop3Error : Err::Pop3ReplyMalformed;
}

