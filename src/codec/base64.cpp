// Base64 (RFC 2045 alphabet, "=" padding) at the level of one line or piece.
#include "codec.h"

#include <cstring>

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of every byte: the alphabet gives 0 to 63, everything else -1.
struct ValueTable {
  signed char Value[256] = {};
  constexpr ValueTable() {
    for (int i = 0; i < 256; ++i) Value[i] = -1;
    for (int i = 0; i < 64; ++i) Value[static_cast<unsigned char>(Alphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr ValueTable Values;

// The two characters of every 12-bit value: a group of three bytes is two
// lookups and two 2-byte copies.
struct PairTable {
  char Pair[4096][2] = {};
  constexpr PairTable() {
    for (int i = 0; i < 4096; ++i) {
      Pair[i][0] = Alphabet[i >> 6];
      Pair[i][1] = Alphabet[i & 63];
    }
  }
};
constexpr PairTable Pairs;

}  // namespace

const signed char *const Base64DigitTable = Values.Value;

void Base64EncodeGroup(const unsigned char source[3], char target[4]) {
  target[0] = Alphabet[source[0] >> 2];
  target[1] = Alphabet[((source[0] & 3) << 4) | (source[1] >> 4)];
  target[2] = Alphabet[((source[1] & 15) << 2) | (source[2] >> 6)];
  target[3] = Alphabet[source[2] & 63];
}

int Base64EncodeLine(const unsigned char *source, char *target, int count) {
  if (count < 0) count = 0;
  const int whole = count / 3;
  int written = 0;
  for (int g = 0; g < whole; ++g, written += 4) {
    const unsigned char *b = source + 3 * g;
    const unsigned v = (unsigned(b[0]) << 16) | (unsigned(b[1]) << 8) | b[2];
    memcpy(target + written, Pairs.Pair[v >> 12], 2);
    memcpy(target + written + 2, Pairs.Pair[v & 4095], 2);
  }
  const int rest = count % 3;
  if (rest != 0) {
    // The last group is padded here with zero bits: never read past count.
    unsigned char last[3] = {source[3 * whole], 0, 0};
    if (rest == 2) last[1] = source[3 * whole + 1];
    Base64EncodeGroup(last, target + written);
    written += 4;
    target[written - 1] = '=';
    if (rest == 1) target[written - 2] = '=';
  }
  target[written] = '\r';
  target[written + 1] = '\n';
  return written;
}

int Base64Value(char c) {
  const int v = Base64Digit(static_cast<unsigned char>(c));
  return v < 0 ? 0 : v;
}

void Base64DecodeGroup(const char source[4], unsigned char target[3]) {
  const int s0 = Base64Value(source[0]), s1 = Base64Value(source[1]);
  const int s2 = Base64Value(source[2]), s3 = Base64Value(source[3]);
  target[0] = static_cast<unsigned char>((s0 << 2) | (s1 >> 4));
  target[1] = static_cast<unsigned char>(((s1 << 4) | (s2 >> 2)) & 255);
  target[2] = static_cast<unsigned char>(((s2 << 6) | s3) & 255);
}

int Base64DecodePiece(const char *source, unsigned char *target, int count) {
  if (count < 4) return 0;
  const int groups = count / 4;
  // Callers rely on the bytes behind the result being zero.
  for (int i = 0; i < groups * 3 + 4; ++i) target[i] = 0;
  for (int g = 0; g < groups; ++g) Base64DecodeGroup(source + 4 * g, target + 3 * g);
  int produced = groups * 3;
  const char *last = source + 4 * (groups - 1);
  if (last[2] == '=') --produced;
  if (last[3] == '=') --produced;
  return produced;
}

int Base64DecodeText(const char *source, unsigned char *out, int length) {
  int produced = 0;
  int at = 0;
  while (at < length) {
    int end = at;
    while (end < length && source[end] != '\r' && source[end] != '\0') ++end;
    produced += Base64DecodePiece(source + at, out + produced, end - at);
    // A zero byte ends the text: without this stop the walk would stand on
    // it for ever.
    if (end < length && source[end] == '\0') break;
    at = end;
    while (at < length && (source[at] == '\r' || source[at] == '\n')) ++at;
  }
  return produced;
}
