// SMTP authentication: CRAM-MD5 (states 150-153), LOGIN (160-164) and
// PLAIN, XOAUTH2 and OAUTHBEARER (170-172), entered from SmtpHelloReply when
// ESMTP is enabled and the EHLO reply offers a method. Each ends the
// connect sequence with state 0.
//
// Nothing secret reaches the log: the password's line of LOGIN, the CRAM-MD5
// response (which would let a reader of the log test guessed passwords
// against the logged challenge) and the initial responses of PLAIN and the
// bearer mechanisms are logged as a mask.
//
// A reply of 400 or more to any AUTH step fails with -49 (a login that
// failed for now is no login), and a connection closed before a reply is -1.
// A reply of the wrong kind (a 2xx where a 334 prompt is due, a 3xx where
// the result is due) fails at once with -84: waiting on would only end in
// the time-out.
// AuthText (131 characters and NUL) never overflows: the challenge is decoded
// into a bounded scratch area and only its first 131 characters are kept in
// AuthText (for the log line); the CRAM-MD5 digest is computed over the whole
// challenge.
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../codec/sasl.h"
#include "../core/errors.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "auth.h"
#include "replies.h"
#include "smtp.h"

// The whole decoded challenge lives in SourceBuf from AuthCramChallenge to
// AuthCramResponse: the buffer is the body source of composition, unused
// during a connect sequence (BodyStart empties the source before every body).
// A reply holds at most 1023 characters, so its Base64 text decodes to at
// most 3 * (1019 / 4) + 4 bytes (the decoder writes a few zeros behind).
static_assert(sizeof(Channel::SourceBuf) > 3 * (1024 / 4) + 4, "SourceBuf must hold a decoded challenge");

// Sends the response for AuthText: its Base64 encoding as one line with CR
// LF (SendText, not SendTextLine). An empty text sends nothing at all. A
// secret response is logged as the mask.
static int SendAuthResponse(Channel &ch, bool secret) {
  int count = static_cast<int>(strlen(ch.AuthText));
  if (count == 0) return 0;
  Base64EncodeLine(reinterpret_cast<const unsigned char *>(ch.AuthText), ch.SendLine, count);
  ch.SendLine[4 * ((count + 2) / 3) + 2] = 0;  // behind the characters and their CR LF
  ch.SecretAt = secret ? 1 : 0;
  int rc = SendText(ch, ch.SendLine);
  ch.SecretAt = 0;
  return rc < 0 ? driverFail(ch, rc, Err::Send) : 0;
}

// ---- Shared by the logins ------------------------------------------------------

int SendSecretLine(Channel &ch, char *text, int clearCount) {
  ch.SecretAt = static_cast<uint16_t>(clearCount + 1);
  int rc = SendTextLine(ch, text);
  ch.SecretAt = 0;
  return rc < 0 ? driverFail(ch, rc, Err::Send) : 0;
}

int BuildSaslMessage(Channel &ch) {
  const int size = static_cast<int>(sizeof ch.AuthMessage);
  switch (ch.AuthChosen) {
    case KEL_AUTH_PLAIN:
      return SaslPlainMessage(ch.AuthMessage, size, ch.User, ch.Protocol == 'S' ? ch.SmtpPassword : ch.Password);
    case KEL_AUTH_XOAUTH2: return SaslXoauth2Message(ch.AuthMessage, size, ch.User, ch.OAuthToken);
    case KEL_AUTH_OAUTHBEARER: return SaslOauthBearerMessage(ch.AuthMessage, size, ch.User, ch.OAuthToken);
    default: return -1;
  }
}

void ForgetLoginTexts(Channel &ch) {
  memset(ch.AuthText, 0, sizeof ch.AuthText);
  memset(ch.AuthMessage, 0, sizeof ch.AuthMessage);
  memset(ch.AuthLine, 0, sizeof ch.AuthLine);
  memset(ch.SendLine, 0, sizeof ch.SendLine);
}

int ChooseSmtpAuth(Channel &ch) {
  const bool token = ch.OAuthToken[0] != 0;
  const int forced = ch.AuthMechanism;
  // Nobody to log in: EHLO was for the extensions only.
  if (!token && forced == 0 && ch.User[0] == 0) {
    LogText(ch, "[No user: no AUTH]\r\n");
    ch.NextState = State::Complete;
    return 0;
  }
  if ((forced == KEL_AUTH_XOAUTH2 || forced == KEL_AUTH_OAUTHBEARER) && !token) return driverFail(ch, 0, Err::NoToken);
  const int mechanism = ChooseMechanism(ch.Features.Sasl, forced, token, ch.User[0] != 0);
  if (mechanism < 0) return driverFail(ch, 0, mechanism);
  ch.AuthChosen = static_cast<uint8_t>(mechanism);
  switch (mechanism) {
    case KEL_AUTH_CRAM_MD5: ch.NextState = State::AuthCramStart; break;
    case KEL_AUTH_LOGIN: ch.NextState = State::AuthLoginStart; break;
    case KEL_AUTH_PLAIN:
    case KEL_AUTH_XOAUTH2:
    case KEL_AUTH_OAUTHBEARER: ch.NextState = State::AuthSaslStart; break;
    default: ch.NextState = State::Complete; break;
  }
  return 0;
}

// A reply of the exchange: 1 when it is what the step expects (a 334
// prompt, else a 2xx result), 0 while none has come, or the error exit's result.
static int TakeAuthReply(Channel &ch, bool prompt) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  const bool expected = prompt ? ch.ReplyCode == 334 : ch.ReplyCode >= 200 && ch.ReplyCode < 300;
  return expected ? 1 : driverFail(ch, 0, Err::SmtpReplyMalformed);
}

// ---- CRAM-MD5 ----------------------------------------------------------------

int AuthCramStart(Channel &ch, Tick now) {
  int rc = SendSmtpCommand(ch, now, Settings.StepDelay, State::AuthCramChallenge, "AUTH CRAM-MD5");
  if (rc < 0) return rc;
  return AuthCramChallenge(ch, now);  // in the same step; normally no reply is there yet
}

// Decodes the Base64 text after "334 " (line ends skipped) as the challenge.
int AuthCramChallenge(Channel &ch, Tick) {
  int rc = TakeAuthReply(ch, true);
  if (rc <= 0) return rc;
  const char *text = strlen(ch.Response) > 4 ? ch.Response + 4 : "";
  int length = static_cast<int>(strnlen(text, 1023));
  int n = Base64DecodeText(text, reinterpret_cast<unsigned char *>(ch.SourceBuf), length);
  ch.SourceBuf[n] = 0;
  CopyField(ch.AuthText, ch.SourceBuf, 131);
  LogLine(ch, "Challenge '%s'\r\n", ch.AuthText);
  ch.NextState = State::AuthCramResponse;
  return 0;
}

// The response over the whole challenge, kept in SourceBuf, not only the
// part that AuthText holds; AuthText := "User digest".
int AuthCramResponse(Channel &ch, Tick now) {
  CramMd5Response(ch, ch.SourceBuf);
  int rc = SendAuthResponse(ch, true);
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay + 200, Settings.ResponseTimeout);
  ch.NextState = State::AuthCramResult;
  return 0;
}

int AuthCramResult(Channel &ch, Tick) {
  int rc = TakeAuthReply(ch, false);
  if (rc <= 0) return rc;
  LogText(ch, "AUTH CRAM-MD5 ok\r\n");
  ch.NextState = State::Complete;
  return 0;
}

// ---- LOGIN ---------------------------------------------------------------------
// The server's prompts (Base64 after 334) are not decoded: the user name
// answers the first reply, the password the second. There is no state 161.

int AuthLoginStart(Channel &ch, Tick now) {
  return SendSmtpCommand(ch, now, Settings.StepDelay + 200, State::AuthLoginUser, "AUTH LOGIN");
}

int AuthLoginUser(Channel &ch, Tick now) {
  int rc = TakeAuthReply(ch, true);
  if (rc <= 0) return rc;
  CopyField(ch.AuthText, ch.User, 131);
  rc = SendAuthResponse(ch, false);
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::AuthLoginPassword;
  return 0;
}

int AuthLoginPassword(Channel &ch, Tick now) {
  int rc = TakeAuthReply(ch, true);
  if (rc <= 0) return rc;
  CopyField(ch.AuthText, ch.SmtpPassword, 131);
  rc = SendAuthResponse(ch, true);
  memset(ch.AuthText, 0, sizeof ch.AuthText);  // the password is not kept here
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay + 200, Settings.ResponseTimeout);
  ch.NextState = State::AuthLoginResult;
  return 0;
}

int AuthLoginResult(Channel &ch, Tick) {
  int rc = TakeAuthReply(ch, false);
  if (rc <= 0) return rc;
  LogText(ch, "AUTH LOGIN ok\r\n");
  ch.NextState = State::Complete;
  return 0;
}

// ---- PLAIN, XOAUTH2 and OAUTHBEARER ------------------------------------------------
// One command carries the whole login as its initial response (RFC 4954):
// "AUTH PLAIN <Base64>". Only a 2xx reply completes the login. A bearer
// token the server refuses is answered with a 334 and an error text (JSON,
// in Base64), to which the client replies with an empty line (XOAUTH2) or
// ^A (OAUTHBEARER, RFC 7628) before the server's final refusal.

// The AUTH command of the chosen mechanism with its initial response, in
// AuthLine (the clear message is wiped at once): its length, or the error
// exit's result.
int BuildAuthLine(Channel &ch) {
  const int length = BuildSaslMessage(ch);
  const int lineLength = length < 0 ? -1
                                    : SaslCommandLine(ch.AuthLine, static_cast<int>(sizeof ch.AuthLine) - 2, "AUTH",
                                                      ch.AuthChosen, ch.AuthMessage, length);
  memset(ch.AuthMessage, 0, sizeof ch.AuthMessage);
  if (lineLength < 0) return driverFail(ch, 0, Err::ResponseOverflow);  // cannot happen within the field limits
  return lineLength;
}

// The characters of AuthLine logged in clear: "AUTH PLAIN ".
int AuthLineClear(const Channel &ch) { return 6 + static_cast<int>(strlen(SaslName(ch.AuthChosen))); }

int AuthSaslStart(Channel &ch, Tick now) {
  const int lineLength = BuildAuthLine(ch);
  if (lineLength < 0) return lineLength;
  const int clear = AuthLineClear(ch);
  int rc = SendSecretLine(ch, ch.AuthLine, clear);
  memset(ch.AuthLine, 0, sizeof ch.AuthLine);
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay + 200, Settings.ResponseTimeout);
  ch.NextState = State::AuthSaslResult;
  return 0;
}

// Reads a reply of the exchange: 1 for a 2xx, 0 while none has come, or
// the error exit's result.
static int TakeSaslReply(Channel &ch) {
  if (!AwaitReadable(ch, 0)) return 0;
  int rc = ReadSmtpReply(ch);
  if (rc < 0) return driverFail(ch, 0, rc);
  return ch.ReplyCode >= 200 && ch.ReplyCode < 300 ? 1 : 2;
}

static void LogSaslDone(Channel &ch) { LogLine(ch, "AUTH %s ok\r\n", SaslName(ch.AuthChosen)); }

int AuthSaslResult(Channel &ch, Tick now) {
  int rc = TakeSaslReply(ch);
  if (rc <= 0) return rc;
  if (rc == 1) {
    LogSaslDone(ch);
    ch.NextState = State::Complete;
    return 0;
  }
  const bool bearer = ch.AuthChosen == KEL_AUTH_XOAUTH2 || ch.AuthChosen == KEL_AUTH_OAUTHBEARER;
  if (ch.ReplyCode != 334 || !bearer) return driverFail(ch, 0, Err::SmtpError);
  // The server's reason, for the log (at most 131 characters of it).
  const char *text = strlen(ch.Response) > 4 ? ch.Response + 4 : "";
  int n = Base64DecodeText(text, reinterpret_cast<unsigned char *>(ch.SourceBuf), static_cast<int>(strnlen(text, 1023)));
  ch.SourceBuf[n] = 0;
  CopyField(ch.AuthText, ch.SourceBuf, 131);
  LogLine(ch, "Token refused '%s'\r\n", ch.AuthText);
  CopyField(ch.SendLine, ch.AuthChosen == KEL_AUTH_XOAUTH2 ? "" : "AQ==");
  int sent = SendTextLine(ch, ch.SendLine);
  if (sent < 0) return driverFail(ch, sent, Err::Send);
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::AuthSaslRefused;
  return 0;
}

// The final reply after a refused token: the login has failed (-49 with the
// server's reply), unless the server says otherwise.
int AuthSaslRefused(Channel &ch, Tick) {
  int rc = TakeSaslReply(ch);
  if (rc <= 0) return rc;
  if (rc != 1) return driverFail(ch, 0, Err::SmtpError);
  LogSaslDone(ch);
  ch.NextState = State::Complete;
  return 0;
}
