// SASL helpers of the logins: the mechanism names a server offers, read
// word by word, and the initial client messages of PLAIN, XOAUTH2 and
// OAUTHBEARER. Pure routines over caller buffers.
#pragma once

// One bit per mechanism the library knows; the bit of KEL_AUTH_x is 1 << x.
enum SaslBit : int {
  SaslCramMd5 = 1 << 1,
  SaslLogin = 1 << 2,
  SaslPlain = 1 << 3,
  SaslXoauth2 = 1 << 4,
  SaslOauthBearer = 1 << 5,
};

// The mechanism's name as servers spell it ("CRAM-MD5", ...); "" for 0 or
// an unknown value.
const char *SaslName(int mechanism);

// The bits of the known mechanism names in one list of names separated by
// blanks (and tabs), each compared whole and without regard to case.
int SaslNamesIn(const char *names, int length);

// The mechanism to use: forced (a KEL_AUTH_ value other than 0) when the
// server offers it, else -76; with a token and no force, XOAUTH2 then
// OAUTHBEARER (else -76); otherwise CRAM-MD5, LOGIN, PLAIN in this order,
// PLAIN only for a caller with a user name; 0 when nothing fits.
int ChooseMechanism(int offered, int forced, bool haveToken, bool haveUser);

// The messages before Base64, written to out (size bytes) without a NUL of
// their own; each returns its length, or -1 when it does not fit.
//   PLAIN (RFC 4616): NUL user NUL password (no authorization identity).
//   XOAUTH2: "user=" user ^A "auth=Bearer " token ^A ^A.
//   OAUTHBEARER (RFC 7628): "n,a=" user ",^A" "auth=Bearer " token ^A ^A,
//   with "," and "=" of the user written =2C and =3D (RFC 5801), and
//   "n,," when there is no user name.
int SaslPlainMessage(char *out, int size, const char *user, const char *password);
int SaslXoauth2Message(char *out, int size, const char *user, const char *token);
int SaslOauthBearerMessage(char *out, int size, const char *user, const char *token);

// The command line "<command> <name>[ <Base64 of message>]" in out (size
// bytes), NUL-terminated without a line end; the initial response is left
// out when length is below 0. Returns the line's length, or -1 when it does
// not fit. An empty message is sent as "=" (RFC 4954).
int SaslCommandLine(char *out, int size, const char *command, int mechanism, const char *message, int length);
