// The IMAP session (imap.cpp, imap_fetch.cpp) and its response reader
// (imap_reader.cpp).
#pragma once

#include "driver.h"

// What one call of ReadImapResponse did.
enum ImapReadResult : int {
  ImapNothing = 0,   // nothing to read yet: the step gives way
  ImapMore = 1,      // a piece was taken; the response or its command goes on
  ImapTagged = 2,    // the tagged response of the command has ended (ImapStatus tells how)
  ImapGoAhead = 3,   // a continuation request ("+"), its text in ImapText
  ImapLineEnd = 4,   // an untagged response has ended
};

// Values of ImapStatus.
enum ImapStatusWord : uint8_t { ImapNone = 0, ImapOk, ImapNo, ImapBad, ImapByeWord, ImapPreauth };

// Values of ImapPhase: what untagged data the command under way collects.
enum : uint8_t { PhaseNone = 0, PhaseFolders = 1, PhaseIdleAsked = 2, PhaseIdling = 3, PhaseSearch = 4 };

// A mailbox name as the server spells it (modified UTF-7, RFC 3501
// 5.1.3) as UTF-8 into out; its length (a name that is no modified UTF-7
// is copied as it is).
int DecodeMailboxName(const char *name, int length, char *out, int size);

// Values of ImapBodyWanted.
enum : uint8_t { BodyNotWanted = 0, BodyToFile = 1, BodyToBuffer = 2 };

// Makes the reader ready for the first response line of a command.
void StartImapResponse(Channel &ch);
// Reads and interprets one piece of the server's responses: untagged data
// goes into the channel (capabilities, EXISTS, UIDVALIDITY, the SEARCH
// UIDs, the FETCH size and message), the message literal to the email file
// or the caller's buffer. Returns an ImapReadResult, -1 when the connection
// closed, or an error code (-75 for a response that breaks the grammar, -8,
// or a failed write) without the error exit.
int ReadImapResponse(Channel &ch);

// The current tag ("A<n>") into out.
void ImapTagText(const Channel &ch, char *out, int size);
// Starts a new tag and sends "A<n> text" (text: a command line built by the
// caller, at most 1900 characters) with the wait for its responses in
// state next. With clear >= 0 the log shows the tag and clear characters
// of text, then the mask. 0, or the error exit's result.
int SendImapCommand(Channel &ch, Tick now, int next, const char *text, int clear = -1);

// The shared end of the reply states: one piece per step. Returns 0 while
// the command goes on (the handler returns 0), 1 once its tagged OK came,
// or the error exit's result (-60 for NO and BAD, with the server's reply).
int AwaitImapOk(Channel &ch);

// The deleted marks of the session's messages (index 0 is message 1).
bool ImapIsDeleted(Channel &ch, int index);
void ImapMarkDeleted(Channel &ch, int index);
// The first state of kelClose on an IMAP channel: UID EXPUNGE (or EXPUNGE)
// when messages were deleted, else LOGOUT; Complete without a connection.
int ImapCloseState(Channel &ch);

// retrieve.cpp, shared with the IMAP retrieval: the email file opened and
// the decoder started (0, or the error exit's result); whether the decoder
// reads the message now and wants the lines folded under a header line;
// one piece of the message in Response decoded and written (0 or the error
// exit's result).
int OpenEmailFile(Channel &ch);
bool DecodingMessage(const Channel &ch);
bool MessageNeedsLookahead(const Channel &ch);
int StoreMessagePiece(Channel &ch, int n);
// Whole lines taken from the receive stage in one step at most: a stage of
// Base64 lines, and never long enough to hold up other channels.
constexpr int LinesPerStep = 512;
