// The outcome of each RCPT TO of a send (see recipients.h).
#include "recipients.h"

#include <cstring>

#include "../core/errors.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "replies.h"

void StartRecipients(Channel &ch) {
  ch.RefusedCount = 0;
  ch.AcceptedCount = 0;
  ch.RefusedList[0] = 0;
}

// Appends "address reply" CR LF: the address as RCPT TO carried it (without
// blanks behind it) and the reply's last line without its line end. A line
// that no longer fits is left out whole; the count still tells of it.
static void RecordRefusal(Channel &ch) {
  ch.RefusedCount++;
  const char *address = ch.CurrentAddress ? ch.CurrentAddress : "";
  int addressLength = static_cast<int>(strlen(address));
  while (addressLength > 0 && (address[addressLength - 1] == ' ' || address[addressLength - 1] == '\t'))
    addressLength--;
  int replyLength = static_cast<int>(strcspn(ch.LastReply, "\r\n"));
  const int used = static_cast<int>(strlen(ch.RefusedList));
  const int room = static_cast<int>(sizeof ch.RefusedList) - 1 - used;
  const int need = addressLength + 1 + replyLength + 2;
  if (need > room) return;
  char *p = ch.RefusedList + used;
  memcpy(p, address, static_cast<size_t>(addressLength));
  p += addressLength;
  *p++ = ' ';
  memcpy(p, ch.LastReply, static_cast<size_t>(replyLength));
  p += replyLength;
  memcpy(p, "\r\n", 3);
}

int TakeRcptReply(Channel &ch) {
  // The whole reply first, as for every other command: a reply of several
  // lines that comes in pieces is not cut short between two steps.
  if (!AwaitReply(ch, SmtpReplyLines, 0)) return 0;
  int rc = ReadSmtpReply(ch);
  if (rc == Err::SmtpError || (rc == 0 && ch.ReplyCode >= 400)) {
    RecordRefusal(ch);
    if (rc == Err::SmtpError && ch.SkipRefused) rc = 0;
  } else if (rc == 0) {
    ch.AcceptedCount++;
  }
  if (rc < 0) return driverFail(ch, 0, rc);
  return 1;
}

int CheckAcceptedRecipients(Channel &ch) {
  if ((ch.SkipRefused || ch.StrictRecipients) && ch.AcceptedCount == 0) return driverFail(ch, 0, Err::NoneAccepted);
  return 0;
}

int RecipientsOutcome(Channel &ch) {
  if (ch.StrictRecipients && ch.RefusedCount > 0) return driverFailConnected(ch, Err::SomeRefused);
  return 0;
}
