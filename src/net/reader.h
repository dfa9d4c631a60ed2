// The response reader: lines and whole replies gathered from the receive
// ring. The grammar of each protocol's replies is the driver's (replies.h).
#pragma once

#include "ring.h"

// Both set ch.IdleWait when they find nothing at all to read, as a failed
// AwaitReadable(ch, 0) does. TakeBytes leaves the last byte taken in LastByte.
int FillAndPeek(Channel &ch, char *buffer, int size);   // -1 unusable, 0 nothing, else bytes peeked
int TakeBytes(Channel &ch, char *buffer, int count);    // -1 closed, else bytes taken
int FindChar(const char *text, char c, int count);
// Received bytes held anywhere before the TLS layer: in the ring, in the
// receive stage, or waiting on the socket (taken into the stage to tell
// data from the end). 1 some, 0 none, -1 the connection has ended.
int PlainInputHeld(Channel &ch);
int ReadLinePiece(Channel &ch, char *buffer, int size);
int ReadLine(Channel &ch, char *buffer, int size, uint32_t firstWait, uint32_t nextWait);
// A reader that takes many lines in one step: when the ring is empty and
// the receive stage holds the next line piece whole (up to its line feed,
// or size - 1 bytes of a longer line, as ReadLine cuts them), copies it
// into buffer with a NUL and returns its length. A stage that holds only
// the start of a line is topped up with what the socket has now, never
// waiting. 0 otherwise: the ordinary readers take it from there (also
// every piece with a NUL, and every line of a channel with a trace log,
// which shows the bytes as the ring takes them).
int TakeStagedLine(Channel &ch, char *buffer, int size);

// The protocol's test of one reply line of n bytes (line end included,
// at least its first 5 bytes given): 1 when further lines of the reply
// follow it, else 0 (or -1 for a line that is no reply line). The reader
// only gathers lines; the protocol says where its reply ends.
using ReplyLineForm = int (*)(const char *line, int n);

// Waits of the reading states: ms in blocking mode, 0 in non-blocking mode,
// where no step waits for data.
inline uint32_t StepWait(const Channel &ch, uint32_t ms) { return ch.AutoCall == 1 ? ms : 0; }

// Whether a reading state may read now. In blocking mode: AwaitReadable(ch,
// ms), the readers waiting for the rest themselves. In non-blocking mode: 1
// once what the reader needs is whole in the receive ring (every line of a
// reply up to one the form test does not continue; one line without a
// form test), the connection has ended, or the
// wait for the rest (the response time-out) has run out, counted across
// steps; else 0 at once.
int AwaitReply(Channel &ch, ReplyLineForm form, uint32_t ms);
// The same for a line of a multi-line answer: firstWait is the limit for a
// line to begin (blocking mode only; the driver's Deadline bounds it
// otherwise), nextWait for its rest. With lookahead the lines folded under
// it are awaited too, and the start of the line after them (within firstWait).
int AwaitLine(Channel &ch, uint32_t firstWait, uint32_t nextWait, bool lookahead);
