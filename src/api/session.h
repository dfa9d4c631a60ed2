// Shared rules of the exported session calls: session.cpp holds
// the SMTP and shared calls, pop3_calls.cpp the POP3 calls.
#pragma once

#include "../core/channel.h"

// The server-name rule of kelSmtpConnect and kelPop3Connect: -56 ("Illegal
// chars in server name.") when the name holds "<", ">" or "@", or a byte
// outside 0x20-0x7E and 0xC0-0xFF; else 0. An empty name passes; a null
// one gives -50 (the connect calls test for it before, in their order).
int CheckServerName(const char *name);

// The address rule of kelSmtpConnect (firstOnly false: the whole text) and
// kelSendEmail (firstOnly true: up to the first KEL_ADDRESS_SEPARATOR):
// -37 for a null or empty text; -41 through the driver's error exit (which
// closes the connection) when no "<" is found; -43 when no ">" follows it;
// else 0.
int CheckAddressBrackets(Channel &ch, const char *text, bool firstOnly);

// The end of every session call that has set a first state: in blocking
// mode (AutoCall 1) runs the driver until the operation ends and returns
// its final result (0 or negative); in non-blocking mode returns 0 and the
// program drives the channel with kelDriver. Each call clears NotBefore and
// Deadline itself before, as the calls are documented to do.
int RunOrReturn(Channel &ch);

// The trace line of a session call, "*** name\r\n", written only when the
// channel has a log open (the same line as LogTrace of channel.h).
inline void SessionTrace(Channel &ch, const char *name) { LogTrace(ch, name); }

// The calls on an IMAP channel (imap_calls.cpp), after the checks that the
// POP3 calls share. StartImapCall starts an operation on message MessageNumber
// (-64 when the session has no such message; State::Complete for one that
// needs no command) and reports value as RunForValue does (null: the
// driver's result only). ImapUidText writes "UIDVALIDITY.UID" of one
// message, or one "n UIDVALIDITY.UID" line per message for number < 1.
int StartImapCall(Channel &ch, int firstState, const int32_t *value);
int ImapUidText(Channel &ch, int number, char *buffer, int bufferSize);
// kelDebug KEL_DEBUG_IMAP_FOLDERS: LIST "" "*" run to its end (in both
// modes), one "name TAB attributes CR LF" line per folder, names in UTF-8,
// whole lines only; the length, or an error code.
int ImapFolderList(Channel &ch, char *buffer, int size);
