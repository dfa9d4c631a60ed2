// kelmail's subcommands. Each takes the whole argv and the index of its
// first argument, and returns the process exit code (see session.h).
#pragma once

#include "options.h"

namespace kelmail {

extern const Command SendCommand;
extern const Command VerifyCommand;
extern const Command ListCommand;
extern const Command FetchCommand;
extern const Command DeleteCommand;
extern const Command DemoCommand;
extern const Command ServerInfoCommand;

int RunSend(const Args &args);
int RunVerify(const Args &args);
int RunList(const Args &args);
int RunFetch(const Args &args);
int RunDelete(const Args &args);
int RunDemo(const Args &args);
int RunServerInfo(const Args &args);
// The sendmail mode parses its own arguments, sendmail's way.
int RunSendmail(int argc, char **argv, int first);

}  // namespace kelmail
