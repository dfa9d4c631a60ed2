// kelmail's subcommands. Each takes the whole argv and the index of its
// first argument, and returns the process exit code (see session.h).
#pragma once

#include <string>

#include "options.h"

namespace kelmail {

extern const Command SendCommand;
extern const Command VerifyCommand;
extern const Command ListCommand;
extern const Command FetchCommand;
extern const Command DeleteCommand;
extern const Command DemoCommand;
extern const Command ServerInfoCommand;
extern const Command FoldersCommand;

int RunSend(const Args &args);
int RunVerify(const Args &args);
int RunList(const Args &args);
int RunFetch(const Args &args);
int RunDelete(const Args &args);
int RunDemo(const Args &args);
int RunServerInfo(const Args &args);
int RunFolders(const Args &args);
// Connects to the POP3 or (with --imap) IMAP server of args and logs in with
// the usual credential sources; where receives "host:port", loginUser the
// user name. Returns 0 or an exit code after reporting.
int MailboxLogin(const char *cmd, const Args &args, std::string &where, std::string *loginUser);
// The sendmail mode parses its own arguments, sendmail's way.
int RunSendmail(int argc, char **argv, int first);

}  // namespace kelmail
