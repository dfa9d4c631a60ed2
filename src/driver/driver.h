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

// What a waiting channel waits for before its next step can do anything:
// ReadyReadable or ReadyWritable on its socket, or 0 when the next step
// has work (its NotBefore and Deadline aside).
int WaitKind(const Channel &ch);

// Timing helpers shared by the states.
inline void SetTiming(Channel &ch, Tick now, uint32_t notBeforeDelay, uint32_t deadlineDelay) {
  ch.NotBefore = now + notBeforeDelay;
  ch.Deadline = now + deadlineDelay;
}

// ---- The states, by group -----------------------------------------------------
#define KEL_STATE(name) int name(Channel &ch, Tick now)
// connect.cpp
KEL_STATE(LocalHostName); KEL_STATE(LocateServer); KEL_STATE(BeginConnect); KEL_STATE(AwaitConnect);
// smtp_auth.cpp
KEL_STATE(AuthCramStart); KEL_STATE(AuthCramChallenge); KEL_STATE(AuthCramResponse);
KEL_STATE(AuthCramResult); KEL_STATE(AuthLoginStart); KEL_STATE(AuthLoginUser);
KEL_STATE(AuthLoginPassword); KEL_STATE(AuthLoginResult);
KEL_STATE(AuthSaslStart); KEL_STATE(AuthSaslResult); KEL_STATE(AuthSaslRefused);
// smtp.cpp
KEL_STATE(SmtpStart); KEL_STATE(SmtpGreeting); KEL_STATE(SmtpHello); KEL_STATE(SmtpHelloReply);
KEL_STATE(MailFrom); KEL_STATE(MailFromReply); KEL_STATE(NextRecipient); KEL_STATE(RcptTo);
KEL_STATE(RcptToReply); KEL_STATE(DataCommand); KEL_STATE(DataReply); KEL_STATE(EndOfDataReply);
// pipeline.cpp: the pipelined envelope (KEL_PIPELINING)
KEL_STATE(EnvelopeReplies);
bool OffersPipelining(const char *reply);
int SendPipelinedEnvelope(Channel &ch, Tick now);
KEL_STATE(Quit); KEL_STATE(QuitReply); KEL_STATE(NextVrfyAddress); KEL_STATE(VrfyCommand);
KEL_STATE(VrfyReply); KEL_STATE(SmtpCommand); KEL_STATE(SmtpCommandReply);
// compose.cpp
KEL_STATE(MessageIdHeader); KEL_STATE(MailerHeader); KEL_STATE(DateHeader); KEL_STATE(ToHeader);
KEL_STATE(FromHeader); KEL_STATE(ReplyToHeader); KEL_STATE(SubjectHeader); KEL_STATE(CcHeader);
KEL_STATE(MimeVersionHeader); KEL_STATE(MultipartHeader); KEL_STATE(EndOfHeaders);
KEL_STATE(BodyBoundary); KEL_STATE(BodyContentType); KEL_STATE(BodyTransferEncoding);
KEL_STATE(BodyStart); KEL_STATE(TextBodyStart); KEL_STATE(SendTextBody); KEL_STATE(OpenMessageFile);
KEL_STATE(SendFileBody); KEL_STATE(EndOfData);
// attach.cpp
KEL_STATE(AttachBoundary); KEL_STATE(AttachContentType); KEL_STATE(AttachTransferEncoding);
KEL_STATE(AttachDisposition); KEL_STATE(OpenAttachment); KEL_STATE(SendAttachment);
// pop3.cpp
KEL_STATE(Pop3Start); KEL_STATE(Pop3Greeting); KEL_STATE(ApopCommand); KEL_STATE(UserCommand);
KEL_STATE(UserReply); KEL_STATE(PassCommand); KEL_STATE(LoginReply); KEL_STATE(StatCommand);
KEL_STATE(StatReply); KEL_STATE(DeleCommand); KEL_STATE(DeleReply); KEL_STATE(ListCommand);
KEL_STATE(ListReply); KEL_STATE(UidlCommand); KEL_STATE(UidlReply); KEL_STATE(Pop3Command);
KEL_STATE(Pop3CommandReply);
// pop3_auth.cpp
KEL_STATE(CapaCommand); KEL_STATE(CapaReply); KEL_STATE(Pop3AuthCommand); KEL_STATE(Pop3AuthReply);
// retrieve.cpp
KEL_STATE(ReceiveRaw); KEL_STATE(RetrCommand); KEL_STATE(TopCommand); KEL_STATE(ReceiveToFile);
KEL_STATE(FinishEmailFile); KEL_STATE(ReceiveToBuffer);
// tls_start.cpp
KEL_STATE(TlsBegin); KEL_STATE(TlsHandshake); KEL_STATE(StartTlsCommand); KEL_STATE(StartTlsReply);
KEL_STATE(StlsCommand); KEL_STATE(StlsReply);
#undef KEL_STATE

// TLS start (tls_start.cpp). True when the channel is to switch to TLS by
// STARTTLS or STLS and has not yet done so.
bool WantsStartTls(const Channel &ch);
// True when the channel's TLS comes by STARTTLS or STLS (done or not).
bool UsesStartTls(const Channel &ch);
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
