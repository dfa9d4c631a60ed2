// SMTP authentication: CRAM-MD5 (states 150-153) and LOGIN
// (160-164), entered from SmtpHelloReply when ESMTP is enabled and the EHLO
// reply offers a method. Each ends the connect sequence with state 0.
//
// A reply of 400 or more to any AUTH step fails with -49 (a login that
// failed for now is no login), and a connection closed before a reply is -1.
// AuthText (131 characters and NUL) never overflows: the challenge is decoded
// into a bounded scratch area and only its first 131 characters are kept in
// AuthText (for the log line); the CRAM-MD5 digest is computed over the whole
// challenge.
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../net/socket.h"
#include "smtp.h"

// The whole decoded challenge lives in SourceBuf from AuthCramChallenge to
// AuthCramResponse: the buffer is the body source of composition, unused
// during a connect sequence (BodyStart empties the source before every body).
// A reply holds at most 1023 characters, so its Base64 text decodes to at
// most 3 * (1019 / 4) + 4 bytes (the decoder writes a few zeros behind).
static_assert(sizeof(Channel::SourceBuf) > 3 * (1024 / 4) + 4, "SourceBuf must hold a decoded challenge");

// Sends the response for AuthText: its Base64 encoding as one line with CR
// LF (SendText, not SendTextLine). An empty text sends nothing at all.
static int SendAuthResponse(Channel &ch) {
  int count = static_cast<int>(strlen(ch.AuthText));
  if (count == 0) return 0;
  Base64EncodeLine(reinterpret_cast<const unsigned char *>(ch.AuthText), ch.SendLine, count);
  ch.SendLine[4 * ((count + 2) / 3) + 2] = 0;  // behind the characters and their CR LF
  int rc = SendText(ch, ch.SendLine);
  return rc < 0 ? driverFail(ch, rc, -52) : 0;
}

// ---- CRAM-MD5 ----------------------------------------------------------------

int AuthCramStart(Channel &ch, Tick now) {
  int rc = SendCommand(ch, "AUTH CRAM-MD5");
  if (rc < 0) return rc;
  SetTiming(ch, now, 2 * Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::AuthCramChallenge;
  return AuthCramChallenge(ch, now);  // in the same step; normally no reply is there yet
}

// Decodes the Base64 text after "334 " (line ends skipped) as the challenge.
int AuthCramChallenge(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  const char *text = strlen(ch.Response) > 4 ? ch.Response + 4 : "";
  int length = static_cast<int>(strnlen(text, 1023));
  int n = kelDecodeBuffer(text, ch.SourceBuf, length);
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
  int rc = SendAuthResponse(ch);
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay + 200, Settings.ResponseTimeout);
  ch.NextState = State::AuthCramResult;
  return 0;
}

int AuthCramResult(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  LogText(ch, "AUTH CRAM-MD5 ok\r\n");
  ch.NextState = State::Complete;
  return 0;
}

// ---- LOGIN ---------------------------------------------------------------------
// The server's prompts (Base64 after 334) are not decoded: the user name
// answers the first reply, the password the second. There is no state 161.

int AuthLoginStart(Channel &ch, Tick now) {
  int rc = SendCommand(ch, "AUTH LOGIN");
  if (rc < 0) return rc;
  SetTiming(ch, now, 2 * Settings.StepDelay + 200, Settings.ResponseTimeout);
  ch.NextState = State::AuthLoginUser;
  return 0;
}

int AuthLoginUser(Channel &ch, Tick now) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  CopyField(ch.AuthText, ch.User, 131);
  rc = SendAuthResponse(ch);
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::AuthLoginPassword;
  return 0;
}

int AuthLoginPassword(Channel &ch, Tick now) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  CopyField(ch.AuthText, ch.SmtpPassword, 131);
  rc = SendAuthResponse(ch);
  if (rc < 0) return rc;
  SetTiming(ch, now, Settings.StepDelay + 200, Settings.ResponseTimeout);
  ch.NextState = State::AuthLoginResult;
  return 0;
}

int AuthLoginResult(Channel &ch, Tick) {
  int rc = TakeSmtpReply(ch, 400);
  if (rc <= 0) return rc;
  LogText(ch, "AUTH LOGIN ok\r\n");
  ch.NextState = State::Complete;
  return 0;
}
