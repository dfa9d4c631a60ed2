// The driver: one step of a channel's state machine per kelDriver call.
//
// Each state is one small function that sends at most one command or line,
// or consumes one reply, sets the timing of the next steps and names the
// next state. It returns 0 when the step ends normally (the frame then
// returns NextState) or the negative result of driverFail, which the frame
// returns at once.
#pragma once

#include "../core/channel.h"
#include "states.h"

using StateHandler = int (*)(Channel &ch, Tick now);

struct StateEntry {
  int Number;
  const char *Name;
  StateHandler Run;
};

// The table of all states, in ascending order; null when number is not a state.
const StateEntry *FindState(int number);

// The error exit of every failing state: logs the ERROR line and the texts,
// leaves the channel idle with its socket closed and returns kelCode.
int driverFail(Channel &ch, int sockCode, int kelCode);
// The error exit of a sequence whose failure leaves the connection usable
// (a message that went out, but not to every recipient): the same log
// lines, the channel idle and still connected.
int driverFailConnected(Channel &ch, int kelCode);

// Closes every file the channel holds: a message or attachment file being
// sent, an attachment file being written (with its note) and the email
// file. Used by the error exit and by kelClose, kelAbort and kelRelease.
void CloseChannelFiles(Channel &ch);

// "KEL Win32 Version 3.4.1 Build 17"
void WriteVersionLine(Channel &ch);

// Runs the driver on a channel until its operation ends, the way a blocking
// session call does; returns the final result (0 or an error code). Sleeps
// on the socket or the clock while the channel can only wait.
int RunBlocking(uint32_t channel);

// The proxy exchange (proxy.cpp) once the connection to the proxy stands;
// TunnelReady (connect.cpp) once the way to the mail server is open: the
// session's first state, or the TLS handshake of implicit TLS.
int StartProxy(Channel &ch);
// KEL_PROXY: 0 (set, or cleared by ""), -1 for a text that is no proxy URL.
int SetProxy(Channel &ch, const char *url);
int TunnelReady(Channel &ch, Tick now);

// True while a connect whose time is up may still move on to the server's
// next address (connect.cpp).
bool ConnectMayMoveOn(const Channel &ch);

// One step of a channel: the frame (checks, waits, trace) and its state's
// handler. kelDriver's result: the next state, KEL_WAITING, 0 when the
// operation is done, or an error code.
int DriverStep(uint32_t channel, Tick *stepNow = nullptr);  // stepNow: the tick the step ran at

// What a channel waits for before its next step can do anything; the one
// rule of the blocking loop and of kelWait.
enum WakeKind : int {
  WakeNow = 0,                    // the next step has work (or a result) now
  WakeOnReadable = ReadyReadable,  // its socket must become readable
  WakeOnWritable = ReadyWritable,  // its socket must become writable
  WakeOnClock = 16,               // its pause (NotBefore) must pass
};
struct Wake {
  int Kind;     // a WakeKind
  uint32_t In;  // ms until the clock makes it ready (NotBefore, or the Deadline passed); 0xFFFFFFFF: never
};
Wake NextWake(Channel &ch, Tick now);

// Timing helpers shared by the states.
inline void SetTiming(Channel &ch, Tick now, uint32_t notBeforeDelay, uint32_t deadlineDelay) {
  ch.NotBefore = now + notBeforeDelay;
  ch.Deadline = now + deadlineDelay;
}

// ---- The states: one handler each, declared from the list (states.def) ----
#define KEL_STATE(number, name, handler) int handler(Channel &ch, Tick now);
#include "states.def"
#undef KEL_STATE

// pipeline.cpp: the pipelined envelope (KEL_PIPELINING)
int SendPipelinedEnvelope(Channel &ch, Tick now);

// TLS start (tls_start.cpp). True when the channel is to switch to TLS by
// STARTTLS or STLS and has not yet done so.
bool WantsStartTls(const Channel &ch);
// True when the channel's TLS comes by STARTTLS or STLS (done or not).
bool UsesStartTls(const Channel &ch);
// True when the SMTP greeting is EHLO (ESMTP on, or STARTTLS to come).
bool SendsEhlo(const Channel &ch);
// True when the envelope may be pipelined: ESMTP on and PIPELINING offered.
bool ServerPipelines(const Channel &ch);
// After CAPA: 1 when STLS comes next, a negative result when TLS is
// required and not offered, else 0.
int Pop3StlsChoice(Channel &ch);
// Sends the POP3 command line built in SendLine and arranges the wait for
// its reply (the step delay plus extraDelay) in state next: 0, or the error
// exit's -52 with the sender's result.
int SendPop3Command(Channel &ch, Tick now, uint32_t extraDelay, int next);
// After the EHLO reply: 1 when STARTTLS is to be sent next (NextState set),
// 0 to go on as without TLS, or the error exit's result (-95 when TLS is
// required and the server does not offer it).
int SmtpStartTlsChoice(Channel &ch);

// Logs a state number that the table does not hold; the step then ends
// normally and returns that number.
int UnknownState(Channel &ch);
