// The response reader: the line reader and the SMTP and POP3 reply readers
// over the receive ring.
#pragma once

#include "ring.h"

// Both set ch.IdleWait when they find nothing at all to read, as a failed
// AwaitReadable(ch, 0) does. TakeBytes leaves the last byte taken in LastByte.
int FillAndPeek(Channel &ch, char *buffer, int size);   // -1 unusable, 0 nothing, else bytes peeked
int TakeBytes(Channel &ch, char *buffer, int count);    // -1 closed, else bytes taken
int FindChar(const char *text, char c, int count);
int ReadLinePiece(Channel &ch, char *buffer, int size);
int ReadLine(Channel &ch, char *buffer, int size, uint32_t firstWait, uint32_t nextWait);

// Reply readers. Besides the documented results they return -1 when the
// connection closed before the reply arrived; only the reply to QUIT may
// take that as success (the state decides).
//   ReadSmtpReply: 0 (code below 500), -49, -31, -84 (a line that is no
//     reply line), -8 (rest of a reply late, or a line whose end never came), -1
//   ReadPop3Reply: 0 ("+OK"), -63 ("-ERR"), -85 (neither), -8, -1
int ReadSmtpReply(Channel &ch);
int ReadPop3Reply(Channel &ch);

// The form of one reply line of n bytes (line end included):
// SMTP: 0 ends the reply, 1 continues it, -1 no reply line;
// POP3 status: 1 "+OK", 0 "-ERR", -1 neither.
int SmtpReplyLineForm(const char *line, int n);
int Pop3StatusForm(const char *line, int n);

// Waits of the reading states: ms in blocking mode, 0 in non-blocking mode,
// where no step waits for data.
inline uint32_t StepWait(const Channel &ch, uint32_t ms) { return ch.AutoCall == 1 ? ms : 0; }

// Whether a reading state may read now. In blocking mode: AwaitReadable(ch,
// ms), the readers waiting for the rest themselves. In non-blocking mode: 1
// once what the reader needs is whole in the receive ring (an SMTP reply,
// protocol 'S'; a POP3 status line, 'P'), the connection has ended, or the
// wait for the rest (the response time-out) has run out, counted across
// steps; else 0 at once.
int AwaitReply(Channel &ch, char protocol, uint32_t ms);
// The same for a line of a multi-line answer: firstWait is the limit for a
// line to begin (blocking mode only; the driver's Deadline bounds it
// otherwise), nextWait for its rest. With lookahead the lines folded under
// it are awaited too, and the start of the line after them (within firstWait).
int AwaitLine(Channel &ch, uint32_t firstWait, uint32_t nextWait, bool lookahead);
