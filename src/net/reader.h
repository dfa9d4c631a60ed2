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
//   ReadSmtpReply: 0 (code below 500), -49, -31, -8 (rest of a reply late), -1
//   ReadPop3Reply: 0 ('+'), -63, -8, -1
int ReadSmtpReply(Channel &ch);
int ReadPop3Reply(Channel &ch);
