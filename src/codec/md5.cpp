// MD5 (RFC 1321), HMAC-MD5 (RFC 2104) and the CRAM-MD5 and APOP login texts.
#include <cstring>

#include "codec.h"
#include "core/channel.h"

namespace {

constexpr uint32_t SineTable[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Rotation amounts, four per round.
constexpr int Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadWord(const unsigned char *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreWord(uint32_t w, unsigned char *p) {
  p[0] = static_cast<unsigned char>(w);
  p[1] = static_cast<unsigned char>(w >> 8);
  p[2] = static_cast<unsigned char>(w >> 16);
  p[3] = static_cast<unsigned char>(w >> 24);
}

void Md5Transform(uint32_t state[4], const unsigned char block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadWord(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int k;
    switch (i >> 4) {
      case 0: f = (b & c) | (~b & d); k = i; break;
      case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) & 15; break;
      case 2: f = b ^ c ^ d; k = (3 * i + 5) & 15; break;
      default: f = c ^ (b | ~d); k = (7 * i) & 15; break;
    }
    const uint32_t next = b + RotateLeft(a + f + SineTable[i] + x[k], Shift[i >> 4][i & 3]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

// Length of a text up to its first CR or NUL, within limit bytes.
uint32_t LengthToCr(const char *text, uint32_t limit) {
  uint32_t n = 0;
  while (n < limit && text[n] != '\0' && text[n] != '\r') ++n;
  return n;
}

uint32_t BoundedLength(const char *text, uint32_t limit) {
  uint32_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

}  // namespace

void Md5Init(Md5Context &ctx) {
  ctx.State[0] = 0x67452301;
  ctx.State[1] = 0xefcdab89;
  ctx.State[2] = 0x98badcfe;
  ctx.State[3] = 0x10325476;
  ctx.Count[0] = ctx.Count[1] = 0;
  std::memset(ctx.Buffer, 0, sizeof ctx.Buffer);
}

void Md5Update(Md5Context &ctx, const void *bytes, uint32_t count) {
  const unsigned char *input = static_cast<const unsigned char *>(bytes);
  uint32_t index = (ctx.Count[0] >> 3) & 63;
  const uint32_t bitsLow = count << 3;
  ctx.Count[0] += bitsLow;
  if (ctx.Count[0] < bitsLow) ++ctx.Count[1];
  ctx.Count[1] += count >> 29;

  const uint32_t room = 64 - index;
  uint32_t done = 0;
  if (count >= room) {
    std::memcpy(ctx.Buffer + index, input, room);
    Md5Transform(ctx.State, ctx.Buffer);
    for (done = room; done + 64 <= count; done += 64) Md5Transform(ctx.State, input + done);
    index = 0;
  }
  if (count > done) std::memcpy(ctx.Buffer + index, input + done, count - done);
}

void Md5Final(unsigned char digest[16], Md5Context &ctx) {
  static const unsigned char Padding[64] = {0x80};
  unsigned char bits[8];
  StoreWord(ctx.Count[0], bits);
  StoreWord(ctx.Count[1], bits + 4);
  const uint32_t index = (ctx.Count[0] >> 3) & 63;
  Md5Update(ctx, Padding, index < 56 ? 56 - index : 120 - index);
  Md5Update(ctx, bits, 8);
  for (int i = 0; i < 4; ++i) StoreWord(ctx.State[i], digest + 4 * i);
  std::memset(&ctx, 0, sizeof ctx);  // leave nothing of the input behind
}

void HmacMd5(const void *text, uint32_t textLength, const void *key, uint32_t keyLength,
             unsigned char digest[16]) {
  unsigned char keyDigest[16];
  if (keyLength > 64) {
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, key, keyLength);
    Md5Final(keyDigest, ctx);
    key = keyDigest;
    keyLength = 16;
  }
  unsigned char innerPad[64] = {}, outerPad[64] = {};
  if (keyLength != 0) {
    std::memcpy(innerPad, key, keyLength);
    std::memcpy(outerPad, key, keyLength);
  }
  for (int i = 0; i < 64; ++i) {
    innerPad[i] ^= 0x36;
    outerPad[i] ^= 0x5c;
  }
  unsigned char inner[16];
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, innerPad, 64);
  Md5Update(ctx, text, textLength);
  Md5Final(inner, ctx);
  Md5Init(ctx);
  Md5Update(ctx, outerPad, 64);
  Md5Update(ctx, inner, 16);
  Md5Final(digest, ctx);
}

int HmacMd5Text(const char *text, const char *key, unsigned char digest[16]) {
  // A challenge may still carry its line end: the text ends at the first CR.
  HmacMd5(text, LengthToCr(text, UINT32_MAX), key, BoundedLength(key, UINT32_MAX), digest);
  return 1;
}

void HexDigest(const unsigned char digest[16], char target[33]) {
  static const char Digits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    target[2 * i] = Digits[digest[i] >> 4];
    target[2 * i + 1] = Digits[digest[i] & 15];
  }
  target[32] = '\0';
}

void FormatUserDigest(Channel &ch, const unsigned char digest[16]) {
  // User holds at most 64 characters: 64 + 1 + 32 always fit in AuthText.
  constexpr uint32_t UserLimit = 64;
  static_assert(UserLimit + 1 + 32 < sizeof ch.AuthText, "AuthText too small");
  const uint32_t n = BoundedLength(ch.User, UserLimit);
  std::memcpy(ch.AuthText, ch.User, n);
  ch.AuthText[n] = ' ';
  HexDigest(digest, ch.AuthText + n + 1);
}

void CramMd5Response(Channel &ch, const char *challenge) {
  unsigned char digest[16];
  HmacMd5(challenge, LengthToCr(challenge, UINT32_MAX),
          ch.SmtpPassword, BoundedLength(ch.SmtpPassword, sizeof ch.SmtpPassword), digest);
  FormatUserDigest(ch, digest);
}

void ApopDigest(Channel &ch, const char *timestamp, const char *password) {
  // Digest the two parts one after the other: joined they might not fit in
  // AuthText, and a cut text would give a wrong digest. The time-stamp may
  // lie in AuthText itself; it is read before AuthText is rewritten.
  Md5Context ctx;
  Md5Init(ctx);
  if (timestamp) Md5Update(ctx, timestamp, static_cast<uint32_t>(std::strlen(timestamp)));
  if (password) Md5Update(ctx, password, static_cast<uint32_t>(std::strlen(password)));
  unsigned char digest[16];
  Md5Final(digest, ctx);
  FormatUserDigest(ch, digest);
}
