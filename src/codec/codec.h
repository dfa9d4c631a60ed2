// Base64, quoted-printable, MD5 and HMAC-MD5: pure routines over caller buffers.
#pragma once

#include <cstdint>

void Base64EncodeGroup(const unsigned char source[3], char target[4]);
// Writes 4 * ceil(count / 3) characters and CR LF behind them (no NUL); returns the characters.
int Base64EncodeLine(const unsigned char *source, char *target, int count);
// The value of an alphabet character, 0 for any other byte (as a group reads it).
int Base64Value(char c);
// The value of an alphabet character, -1 for any other byte.
extern const signed char *const Base64DigitTable;
inline int Base64Digit(unsigned char c) { return Base64DigitTable[c]; }
void Base64DecodeGroup(const char source[4], unsigned char target[3]);
// target needs (count / 4) * 3 + 4 bytes.
int Base64DecodePiece(const char *source, unsigned char *target, int count);
// A Base64 text of length characters whose lines end in CR LF; a zero byte
// ends it early. Returns the bytes written to out ((length / 4) * 3 + 4 room).
int Base64DecodeText(const char *source, unsigned char *out, int length);
int HexValue(char c);
// target may equal source; a NUL is written after the bytes produced.
int QpDecodeText(const char *source, char *target);
// One line of a uuencoded block (without its line end): the bytes its
// length character announces, at most 63, into out. Returns the bytes.
int UuDecodeLine(const char *line, int count, unsigned char *out);
// "%XX" escapes of an RFC 2231 value into bytes; out may equal text.
// Returns the bytes written.
int PercentDecode(const char *text, int count, char *out);

// ---- Outgoing header text (wordcode.cpp) ----
// The bytes of the UTF-8 character a lead byte begins (0: no lead byte).
int Utf8Length(unsigned char lead);
// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool ValidUtf8(const char *text, int length);
// One RFC 2047 encoded word "=?charset?B?...?=" (or ?Q?) of at most
// maxLength characters, of as many whole characters of text as fit (UTF-8
// characters when charset is "utf-8", else bytes). *taken: the bytes taken,
// 0 when not one fits. Writes a NUL behind; returns the characters written.
int EncodeWord(const char *text, int length, const char *charset, bool base64, int maxLength, char *out, int *taken);
// An RFC 2231 value: %XX for every byte outside the attribute characters,
// whole characters only, at most maxLength characters. Same results.
int PercentEncodeValue(const char *text, int length, int maxLength, bool utf8, char *out, int *taken);

struct Md5Context {
  uint32_t State[4];
  uint32_t Count[2];   // bits, low word first
  unsigned char Buffer[64];
};
void Md5Init(Md5Context &ctx);
void Md5Update(Md5Context &ctx, const void *bytes, uint32_t count);
void Md5Final(unsigned char digest[16], Md5Context &ctx);
void HmacMd5(const void *text, uint32_t textLength, const void *key, uint32_t keyLength,
             unsigned char digest[16]);
int HmacMd5Text(const char *text, const char *key, unsigned char digest[16]);
void HexDigest(const unsigned char digest[16], char target[33]);

struct Channel;
// The login texts, built in the channel's AuthText.
void FormatUserDigest(Channel &ch, const unsigned char digest[16]);
// challenge: the whole decoded challenge (up to its first CR, if any); it may
// be longer than AuthText, which receives the response text.
void CramMd5Response(Channel &ch, const char *challenge);
// The time-stamp and the password: the digest is taken over both without any cut.
void ApopDigest(Channel &ch, const char *timestamp, const char *password);
