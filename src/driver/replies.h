// The reply grammar of SMTP and POP3, and their reply readers over the
// response reader's lines.
#pragma once

#include "../net/reader.h"

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

// The whole-reply waits of AwaitReply for each protocol: an SMTP reply runs
// over its continuation lines, a POP3 status is one line.
constexpr ReplyLineForm SmtpReplyLines = SmtpReplyLineForm;
constexpr ReplyLineForm Pop3StatusLine = nullptr;
