// What the SMTP and POP3 logins share: the choice of the mechanism's first
// state, sending a line whose secret stays out of the log, and forgetting
// the login texts.
#pragma once

#include "driver.h"

// Sends text (room for CR LF behind it) with CR LF; the log shows its first
// clearCount characters and a mask for the rest. 0, or the error exit (-52).
int SendSecretLine(Channel &ch, char *text, int clearCount);

// Builds the initial message of the chosen PLAIN, XOAUTH2 or OAUTHBEARER
// login into AuthMessage; its length, or -1 when it does not fit.
int BuildSaslMessage(Channel &ch);

// Clears every text that held a password, a token or a response made from
// them (AuthText, AuthMessage, AuthLine, SendLine).
void ForgetLoginTexts(Channel &ch);

// The SMTP login after the EHLO reply in Response: the first state of the
// chosen mechanism, 0 for none, or the error exit's result (-76, -80).
int ChooseSmtpAuth(Channel &ch);

// True when a POP3 login goes through AUTH (a token, or a forced mechanism).
inline bool Pop3UsesSasl(const Channel &ch) { return ch.AuthMechanism != 0 || ch.OAuthToken[0] != 0; }

// The text that stands in the log for a secret.
constexpr char SecretMask[] = "********";

// The AUTH line of the chosen mechanism with its initial response in
// AuthLine: its length, or the error exit's result (smtp_auth.cpp). Shared
// by SMTP and POP3 AUTH.
int BuildAuthLine(Channel &ch);
// How much of AuthLine the trace log shows in clear ("AUTH PLAIN ").
int AuthLineClear(const Channel &ch);
