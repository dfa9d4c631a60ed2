// Helpers shared by the SMTP dialogue states (smtp.cpp) and the SMTP
// authentication states (smtp_auth.cpp).
#pragma once

#include "driver.h"

// The SMTP check of a reply state. When reply data
// has begun to arrive (polled with AwaitReadable(ch, waitMs); the states use
// 0, EndOfDataReply 100) the whole reply is read with ReadSmtpReply. Result:
//   1  a reply was read and accepted;
//   0  no reply data yet: the state changes nothing and runs again;
//   <0 the error exit's result: -49 for a reply code of refuseFrom or more
//      (400 where a 4xx refuses, 500 where a 4xx is accepted: RCPT TO and
//      the free command), -1 for a connection closed before the reply, -31,
//      -8 as the reader gives them.
int TakeSmtpReply(Channel &ch, int refuseFrom, uint32_t waitMs = 0);

// The next step reads the reply to what has just been sent: a wait
// (kelWait, the blocking loop) leaves the channel until its socket is
// readable instead of stepping it at once.
void AwaitingReply(Channel &ch);
// Formats a command line into SendLine (at most 1023 characters) and sends
// it with CR LF: 0, or the error exit's -52 with the sender's result.
int SendCommand(Channel &ch, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The same, then the wait for its reply in state next: the step delay plus
// extraDelay, and the response time-out. As SendPop3Command for POP3.
int SendSmtpCommand(Channel &ch, Tick now, uint32_t extraDelay, int next, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

// The walk over the recipients goes To, then CC, then BCC: points
// AddressCursor at the next list not yet walked; false when none is left.
bool NextAddressList(Channel &ch);

// True when text holds a byte above 127 within length (or up to its NUL).
bool HasEightBit(const char *text, int length);
// An envelope address ("<user@domain>" and what follows it in its entry)
// as the session sends it: a domain in A-labels unless the send goes with
// SMTPUTF8. length -1: up to the NUL. Returns the characters written.
int EnvelopeAddress(const Channel &ch, const char *address, int length, char *out, int size);
// Before MAIL FROM: decides whether the send goes with SMTPUTF8, and fails
// (-87, the connection kept) when an international address cannot go to
// this server.
int CheckAddresses(Channel &ch);
// "MAIL FROM:<...>" and its parameters (SIZE, BODY, SMTPUTF8, RET, ENVID).
int MailFromLine(const Channel &ch, char *out, int size);
// The NOTIFY value of every RCPT TO, or null (none set, or DSN not offered).
const char *DsnNotify(const Channel &ch);
