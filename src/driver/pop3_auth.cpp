// POP3 login by AUTH (RFC 5034) with PLAIN, XOAUTH2 or OAUTHBEARER: used
// instead of USER/PASS or APOP when the caller has set a bearer token or
// forced a mechanism. CAPA (RFC 2449) tells which mechanisms the server
// offers; one it does not offer is refused with -76 before any login text
// is sent.
//
// The response goes on the AUTH line when the whole line stays within the
// 255 octets a POP3 command may hold; a longer one (any real token) is sent
// on a line of its own after the server's "+ " prompt. A "+ " after the
// response is the server's reason for refusing it: the client cancels ("*"
// for PLAIN, an empty line for XOAUTH2, ^A for OAUTHBEARER) and the server
// ends the exchange with -ERR.
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../codec/sasl.h"
#include "../core/errors.h"
#include "../core/text.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "auth.h"
#include "features.h"
#include "replies.h"

// RFC 2449: a command line holds at most 255 octets with its CR LF.
constexpr int Pop3LineLimit = 255;

enum : uint8_t {
  ResponseSent = 0,    // the response went on the AUTH line
  ResponseWaits = 1,   // the response waits for the server's prompt
  ResponseGone = 2,    // the response went after the prompt
  Cancelled = 3,       // the client cancelled after a refusal
};

int CapaCommand(Channel &ch, Tick now) {
  ch.Features = ServerFeatures{};
  ch.ReplyCode = 0;  // until the status line has been read
  ch.Lookahead = '\n';
  CopyField(ch.SendLine, "CAPA");
  return SendPop3Command(ch, now, 0, State::CapaReply);
}

// One line of the CAPA reply per step: the SASL mechanisms and STLS. A
// negative status line means the server knows no CAPA: it offers nothing.
int CapaReply(Channel &ch, Tick now) {
  if (AwaitReadable(ch, 0) != 1) return 0;
  int n = ReadLine(ch, ch.Response, 1024, 0, Settings.ResponseTimeout);
  if (n < 0) return driverFail(ch, 0, n);
  if (n == 0) return 0;
  const bool lineStart = ch.Lookahead == '\n';
  ch.Lookahead = ch.Response[n - 1];
  bool ended = false;
  if (ch.ReplyCode == 0) {
    CopyField(ch.LastReply, ch.Response, 127);
    ch.ReplyCode = ch.Response[0] == '+' ? 100 : 500;
    ended = ch.ReplyCode == 500;
  } else if (lineStart && ch.Response[0] == '.' && (ch.Response[1] == '\r' || ch.Response[1] == '\n')) {
    ended = true;
  } else if (lineStart) {
    ReadCapaLine(ch.Response, ch.Features);
  }
  if (!ended) {
    ch.Deadline = now + Settings.ResponseTimeout;
    return 0;
  }
  // STLS first, when TLS is wanted: the capabilities are asked again over TLS.
  if (int rc = Pop3StlsChoice(ch)) return rc < 0 ? rc : 0;
  if (!Pop3UsesSasl(ch)) {
    ch.NextState = ch.Apop ? State::ApopCommand : State::UserCommand;
    return 0;
  }
  const bool token = ch.OAuthToken[0] != 0;
  const int forced = ch.AuthMechanism;
  if ((forced == KEL_AUTH_XOAUTH2 || forced == KEL_AUTH_OAUTHBEARER) && !token) return driverFail(ch, 0, Err::NoToken);
  const int mechanism = ChooseMechanism(ch.Features.Sasl, forced, token, ch.User[0] != 0);
  if (mechanism < KEL_AUTH_PLAIN) return driverFail(ch, 0, mechanism < 0 ? mechanism : Err::MechanismNotOffered);
  ch.AuthChosen = static_cast<uint8_t>(mechanism);
  ch.WaitWritable = 1;
  ch.NextState = State::Pop3AuthCommand;
  return 0;
}

int Pop3AuthCommand(Channel &ch, Tick now) {
  const int lineLength = BuildAuthLine(ch);
  if (lineLength < 0) return lineLength;
  const int clear = AuthLineClear(ch);
  int rc;
  if (lineLength + 2 <= Pop3LineLimit) {
    ch.AuthPending = ResponseSent;
    rc = SendSecretLine(ch, ch.AuthLine, clear);
    memset(ch.AuthLine, 0, sizeof ch.AuthLine);
  } else {
    // "AUTH NAME" alone; the encoded response stays in AuthLine.
    ch.AuthPending = ResponseWaits;
    FormatLine(ch.SendLine, sizeof ch.SendLine, "AUTH %s", SaslName(ch.AuthChosen));
    rc = SendTextLine(ch, ch.SendLine);
    if (rc < 0) rc = driverFail(ch, rc, Err::Send);
  }
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay + 200, Settings.ResponseTimeout);
  ch.NextState = State::Pop3AuthReply;
  return 0;
}

int Pop3AuthReply(Channel &ch, Tick now) {
  if (AwaitReadable(ch, 0) != 1) return 0;
  int rc = ReadPop3Reply(ch);
  // "+ " is no status line but the server's turn in the exchange (RFC 5034).
  const char *r = ch.Response;
  const bool prompt = rc == Err::Pop3ReplyMalformed && r[0] == '+' && (r[1] == ' ' || r[1] == '\r' || r[1] == '\n');
  if (rc < 0 && !prompt) {
    memset(ch.AuthLine, 0, sizeof ch.AuthLine);
    return driverFail(ch, 0, rc);
  }
  if (!prompt) {
    memset(ch.AuthLine, 0, sizeof ch.AuthLine);
    LogLine(ch, "AUTH %s ok\r\n", SaslName(ch.AuthChosen));
    ch.NextState = State::Complete;
    return 0;
  }
  // "+ ": the prompt for the response, or the reason for refusing it.
  if (ch.AuthPending == ResponseWaits) {
    const int clear = AuthLineClear(ch);
    ch.AuthPending = ResponseGone;
    rc = SendSecretLine(ch, ch.AuthLine + clear, 0);
    memset(ch.AuthLine, 0, sizeof ch.AuthLine);
  } else if (ch.AuthPending != Cancelled) {
    ch.AuthPending = Cancelled;
    const char *cancel = ch.AuthChosen == KEL_AUTH_XOAUTH2 ? "" : ch.AuthChosen == KEL_AUTH_OAUTHBEARER ? "AQ==" : "*";
    CopyField(ch.SendLine, cancel);
    rc = SendTextLine(ch, ch.SendLine);
    if (rc < 0) rc = driverFail(ch, rc, Err::Send);
  } else {
    return driverFail(ch, 0, Err::Pop3Error);  // a server that will not end the exchange
  }
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  return 0;
}
