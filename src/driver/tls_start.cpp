// TLS start: the switch of a connection to TLS, either at once after the
// connect (implicit TLS) or after the server's go-ahead to STARTTLS (SMTP)
// or STLS (POP3), with the exchanges that lead there.
//
// Rules:
// - Whatever has been received when the handshake is to begin (in the ring,
//   the receive stage or waiting on the socket) came in plain text after the
//   go-ahead, where anyone on the path could have put it: the switch fails
//   (-96) rather than read it as protected. So do plain-text bytes that
//   arrive after the client's first record, before the server's first one.
// - After the handshake nothing learned before it counts: SMTP sends EHLO
//   again (a new AUTH list), POP3 asks CAPA again.
// - With TLS required, a server that does not offer STARTTLS or STLS ends
//   the connect (-95) before any login is sent.
#include <cctype>
#include <cstring>

#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../net/reader.h"
#include "../net/ring.h"
#include "../net/socket.h"
#include "../net/tls.h"
#include "driver.h"
#include "features.h"
#include "replies.h"
#include "smtp.h"

bool UsesStartTls(const Channel &ch) { return ch.TlsMode == KEL_TLS_STARTTLS || ch.TlsMode == KEL_TLS_REQUIRED; }

bool WantsStartTls(const Channel &ch) { return UsesStartTls(ch) && !TlsActive(ch); }

// True when text, from its start, is keyword (any case) ended by a blank,
// a line end or the end of the text.
int SmtpStartTlsChoice(Channel &ch) {
  if (!WantsStartTls(ch)) return 0;
  if (Offers(ch, FeatStartTls)) {
    ch.NextState = State::StartTlsCommand;
    return 1;
  }
  if (ch.TlsMode == KEL_TLS_REQUIRED) return driverFail(ch, 0, Err::StartTlsNotOffered);
  return 0;
}

// ---- The handshake (110, 111) -------------------------------------------------

int TlsBegin(Channel &ch, Tick now) {
  const bool afterPlainText = ch.TlsMode != KEL_TLS_IMPLICIT;
  if (afterPlainText && PlainInputHeld(ch) > 0) return driverFail(ch, 0, Err::TlsInjection);
  // Nothing received in plain text may be read as protected.
  KEL_ASSERT(RingFill(ch) == 0 && PendingInput(ch) == 0 && !TlsActive(ch));
  if (int rc = TlsStart(ch, afterPlainText)) return driverFail(ch, 0, rc);
  LogLine(ch, "[TLS handshake with %s]\r\n", ch.TlsServerName[0] ? ch.TlsServerName : ch.Server);
  ch.TlsInfo[0] = ch.TlsPeer[0] = ch.TlsCert[0] = 0;
  SetTiming(ch, now, 0, Settings.ResponseTimeout);
  ch.NextState = State::TlsHandshake;
  return 0;
}

// One round of handshake records per step; the response time-out set by
// TlsBegin bounds the whole handshake.
int TlsHandshake(Channel &ch, Tick now) {
  const int rc = TlsHandshakeStep(ch);
  if (rc == 0) {
    ch.IdleWait = ReadyReadable;  // waiting for the server's records
    return 0;
  }
  if (rc < 0) {
    char reason[160];
    TlsDescribe(ch, 2, reason, sizeof reason);
    // What the server showed stays readable, also when it was refused.
    TlsDescribe(ch, 4, ch.TlsCert, sizeof ch.TlsCert);
    LogLine(ch, "[TLS failed: %s]\r\n", reason[0] ? reason : "connection lost");
    // A socket failure is the cause of a failed handshake, not a TLS verdict.
    if (rc <= -10000) return driverFail(ch, rc, Err::TlsHandshake);
    return driverFail(ch, 0, rc);
  }
  TlsDescribe(ch, 0, ch.TlsInfo, sizeof ch.TlsInfo);
  TlsDescribe(ch, 1, ch.TlsPeer, sizeof ch.TlsPeer);
  TlsDescribe(ch, 4, ch.TlsCert, sizeof ch.TlsCert);
  char verdict[160];
  TlsDescribe(ch, 2, verdict, sizeof verdict);
  LogLine(ch, "[TLS %s]\r\n", ch.TlsInfo);
  LogLine(ch, "[TLS peer %s]\r\n", ch.TlsPeer);
  LogLine(ch, "[TLS verify %s]\r\n", verdict);
  if (TlsDescribe(ch, 3, verdict, sizeof verdict) > 0) LogText(ch, "[TLS resumed]\r\n");
  SetTiming(ch, now, 0, Settings.ResponseTimeout);
  ch.NextState = ch.TlsAfterState;
  return 0;
}

// ---- SMTP STARTTLS (213, 214) ----------------------------------------------------

int StartTlsCommand(Channel &ch, Tick now) {
  return SendSmtpCommand(ch, now, 0, State::StartTlsReply, "STARTTLS");
}

// The go-ahead is 220; a refusal ends the connect, as nothing was promised
// in plain text that the caller did not ask for.
int StartTlsReply(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 300);
  if (rc <= 0) return rc;
  ch.TlsAfterState = State::SmtpHello;
  ch.NextState = State::TlsBegin;
  return 0;
}

// ---- POP3 STLS (after CAPA) ------------------------------------------------------

// Where the capability list leads when TLS is wanted: STLS (1), -95 when
// TLS is required and not offered, else 0 and the login goes on in plain
// text. CapaReply (pop3_auth.cpp) asks this first.
int Pop3StlsChoice(Channel &ch) {
  if (!WantsStartTls(ch)) return 0;
  if (Offers(ch, FeatStls)) {
    ch.NextState = State::StlsCommand;
    return 1;
  }
  if (ch.TlsMode == KEL_TLS_REQUIRED) return driverFail(ch, 0, Err::StartTlsNotOffered);
  return 0;
}

int StlsCommand(Channel &ch, Tick now) {
  CopyField(ch.SendLine, "STLS");
  return SendPop3Command(ch, now, 0, State::StlsReply);
}

int StlsReply(Channel &ch, Tick) {
  if (AwaitReadable(ch, 0) != 1) return 0;
  int rc = ReadPop3Reply(ch);
  if (rc < 0) return driverFail(ch, 0, rc);
  ch.TlsAfterState = State::CapaCommand;
  ch.NextState = State::TlsBegin;
  return 0;
}
