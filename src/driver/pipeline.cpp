// The pipelined envelope (opt-in with KEL_PIPELINING, used when the server
// offers PIPELINING in its EHLO reply): MAIL FROM, every RCPT TO and DATA
// leave in one flush, and EnvelopeReplies then reads their replies in
// order, each judged by the rule of its sequential state: MAIL and DATA
// refused from 400; each RCPT by the recipient rules (recipients.h: every
// refusal recorded, a 4xx skipped, KEL_SKIP_REFUSED and
// KEL_STRICT_RECIPIENTS honoured). A send the one-by-one dialogue would end
// before DATA ends after the last recipient's reply, with the same code.
#include <cstring>

#include "../core/errors.h"
#include "../core/text.h"
#include "../net/socket.h"
#include "compose.h"
#include "driver.h"
#include "recipients.h"
#include "replies.h"
#include "smtp.h"

namespace {

// The envelope's recipients, cut as NextRecipient cuts them and taken in
// RcptToReply's order (To, CC, BCC, each list from left to right), but
// without writing into the lists. 1: an address and its length; 0: the
// lists are done; -37: an entry without "<".
int CutAddress(Channel &ch, const char **address, int *length) {
  char *p = ch.AddressCursor;
  if (!p) return 0;
  const char separator = Settings.AddressSeparator;
  while (*p && *p != separator && *p != '<') p++;
  if (*p != '<') return Err::EmptyAddress;
  *address = p;
  while (*p && *p != separator) p++;
  *length = static_cast<int>(p - *address);
  ch.AddressCursor = *p ? p + 1 : p;
  if (!*ch.AddressCursor && !NextAddressList(ch)) ch.AddressCursor = nullptr;
  return 1;
}

char NoList[] = "";  // an absent To list: its first entry is empty (-37)

void StartWalk(Channel &ch) {
  ch.AddressCursor = ch.ToList ? ch.ToList : NoList;
  ch.CcDone = ch.CcList ? 0 : 1;
  ch.BccDone = ch.BccList ? 0 : 1;
}

}  // namespace

int SendPipelinedEnvelope(Channel &ch, Tick now) {
  // Every address is checked before anything is sent.
  StartWalk(ch);
  int count = 0;
  for (;;) {
    const char *address;
    int length;
    const int cut = CutAddress(ch, &address, &length);
    if (cut < 0) return driverFail(ch, 0, cut);
    if (cut == 0) break;
    count++;
  }
  ch.HoldOutput = 1;
  char line[1200];
  MailFromLine(ch, line, sizeof line);
  int rc = SendCommand(ch, "%s", line);
  StartWalk(ch);
  const char *notify = DsnNotify(ch);
  for (int i = 0; i < count && rc == 0; i++) {
    const char *address;
    int length;
    CutAddress(ch, &address, &length);
    EnvelopeAddress(ch, address, length, line, sizeof line);
    rc = SendCommand(ch, "RCPT TO:%s%s%s", line, notify ? " NOTIFY=" : "", notify ? notify : "");
  }
  if (rc == 0) rc = SendCommand(ch, "DATA");
  if (rc < 0) return rc;  // the error exit has run
  ch.HoldOutput = 0;
  rc = FlushOutput(ch, false);
  if (rc < 0) return driverFail(ch, rc, Err::Send);
  if (rc == 0) ch.OutDrain = 1;  // the rest leaves before the first reply is read
  ch.PipelineRcpts = count;
  ch.PipelinePending = count + 2;
  StartWalk(ch);
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::EnvelopeReplies;
  AwaitingReply(ch);
  return 0;
}

// One reply per step, in the order of the commands.
int EnvelopeReplies(Channel &ch, Tick now) {
  const bool isMail = ch.PipelinePending == ch.PipelineRcpts + 2;
  const bool isData = ch.PipelinePending == 1;
  int rc;
  if (isMail || isData) {
    rc = TakeSmtpReply(ch, 400);
  } else {
    // The recipient this reply answers, as RCPT TO carried it: the walk
    // goes on only once the reply is read.
    char *cursor = ch.AddressCursor;
    const int32_t ccDone = ch.CcDone, bccDone = ch.BccDone;
    const char *address = "";
    int length = 0;
    CutAddress(ch, &address, &length);
    char current[sizeof ch.SendLine];
    CopyField(current, sizeof current, address, length);
    ch.CurrentAddress = current;
    rc = TakeRcptReply(ch);
    ch.CurrentAddress = nullptr;
    if (rc == 0) {
      ch.AddressCursor = cursor;
      ch.CcDone = ccDone;
      ch.BccDone = bccDone;
    } else if (rc > 0) {
      CopyField(ch.LastRecipient, sizeof ch.LastRecipient, address, length < 31 ? length : 31);
    }
  }
  if (rc <= 0) return rc;  // no reply yet, or the error exit has run
  ch.PipelinePending--;
  ch.Deadline = now + Settings.ResponseTimeout;
  if (isData) {
    ch.PipelinePending = 0;
    ch.NextState = FirstHeaderState(ch);
    return 0;
  }
  if (!isMail && --ch.PipelineRcpts == 0) {
    // After the last recipient: where the one-by-one dialogue would not send
    // DATA, the send ends here (the error exit closes the connection, so the
    // reply to DATA need not be read).
    if (int failed = CheckAcceptedRecipients(ch)) return failed;
  }
  return 0;
}
