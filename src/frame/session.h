// Shared helpers of the exported session calls (session.cpp, pop3_calls.cpp).
#pragma once

#include "channel.h"

// The server-name check of kelSmtpConnect and kelPop3Connect: 0 when the
// name is usable, else the negative error code (-58 null or empty name).
int CheckServerName(const char *name);

// The end of every session call that has started an operation on a channel:
// in blocking mode (AutoCall 1) runs the driver until the operation ends and
// returns its final result (0 or negative); in non-blocking mode returns 0
// at once and the caller drives the channel with kelDriver.
int RunOrReturn(Channel &ch);

// The trace line of a session call: "*** name\r\n" in the channel's log
// (nothing when the channel has no log).
void SessionTrace(Channel &ch, const char *name);
