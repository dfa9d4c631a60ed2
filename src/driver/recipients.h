// The outcome of each RCPT TO of a send: accepted and refused recipients
// counted, every refusal kept with the server's reply for the caller
// (KEL_STAT_REFUSED_COUNT, KEL_DEBUG_REFUSED_LIST), and the two opt-in
// rules KEL_SKIP_REFUSED and KEL_STRICT_RECIPIENTS.
#pragma once

#include "driver.h"

// Empties the record at the start of a send.
void StartRecipients(Channel &ch);

// The reply to RCPT TO, as TakeSmtpReply gives it (1 read, 0 not yet, <0
// the error exit): a 4xx is accepted, a 5xx fails with -49
// unless KEL_SKIP_REFUSED is set; either refusal is recorded.
int TakeRcptReply(Channel &ch);

// Before DATA: with KEL_SKIP_REFUSED or KEL_STRICT_RECIPIENTS set, a send
// whose every recipient was refused ends with -78; else 0.
int CheckAcceptedRecipients(Channel &ch);

// After the reply to the message: with KEL_STRICT_RECIPIENTS set and any
// recipient refused, the send ends with -79, the connection kept; else 0.
int RecipientsOutcome(Channel &ch);
