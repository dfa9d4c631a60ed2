// SASL helpers of the logins (see sasl.h).
#include "sasl.h"

#include <cstring>
#include <initializer_list>

#include "../core/text.h"
#include "codec.h"

namespace {

struct NameEntry {
  int Mechanism;
  const char *Name;
};

const NameEntry Names[] = {
    {1, "CRAM-MD5"}, {2, "LOGIN"}, {3, "PLAIN"}, {4, "XOAUTH2"}, {5, "OAUTHBEARER"},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Appends count bytes; false when they do not fit.
bool Put(char *out, int size, int &length, const char *bytes, int count) {
  if (count < 0 || length + count > size) return false;
  memcpy(out + length, bytes, static_cast<size_t>(count));
  length += count;
  return true;
}

bool PutText(char *out, int size, int &length, const char *text) {
  return Put(out, size, length, text, static_cast<int>(strlen(text)));
}

}  // namespace

const char *SaslName(int mechanism) {
  for (const NameEntry &e : Names)
    if (e.Mechanism == mechanism) return e.Name;
  return "";
}

int SaslNamesIn(const char *names, int length) {
  int bits = 0;
  int i = 0;
  while (i < length) {
    while (i < length && IsBlank(names[i])) i++;
    const int start = i;
    while (i < length && !IsBlank(names[i])) i++;
    const int wordLength = i - start;
    if (wordLength == 0) continue;
    for (const NameEntry &e : Names) {
      if (static_cast<int>(strlen(e.Name)) != wordLength) continue;
      int k = 0;
      while (k < wordLength && AsciiUpper(names[start + k]) == e.Name[k]) k++;
      if (k == wordLength) bits |= 1 << e.Mechanism;
    }
  }
  return bits;
}

int ChooseMechanism(int offered, int forced, bool haveToken, bool haveUser) {
  if (forced != 0) return (offered & (1 << forced)) ? forced : -76;
  if (haveToken) {
    for (int m : {4, 5})
      if (offered & (1 << m)) return m;
    return -76;
  }
  if (offered & SaslCramMd5) return 1;
  if (offered & SaslLogin) return 2;
  if ((offered & SaslPlain) && haveUser) return 3;
  return 0;
}

int SaslPlainMessage(char *out, int size, const char *user, const char *password) {
  int length = 0;
  const char zero = 0;
  if (!Put(out, size, length, &zero, 1) || !PutText(out, size, length, user) || !Put(out, size, length, &zero, 1) ||
      !PutText(out, size, length, password))
    return -1;
  return length;
}

int SaslXoauth2Message(char *out, int size, const char *user, const char *token) {
  int length = 0;
  if (!PutText(out, size, length, "user=") || !PutText(out, size, length, user) ||
      !PutText(out, size, length, "\001auth=Bearer ") || !PutText(out, size, length, token) ||
      !PutText(out, size, length, "\001\001"))
    return -1;
  return length;
}

int SaslOauthBearerMessage(char *out, int size, const char *user, const char *token) {
  int length = 0;
  if (!PutText(out, size, length, *user ? "n,a=" : "n,")) return -1;
  for (const char *p = user; *p; p++) {
    const char *piece = *p == ',' ? "=2C" : *p == '=' ? "=3D" : nullptr;
    if (!(piece ? PutText(out, size, length, piece) : Put(out, size, length, p, 1))) return -1;
  }
  if (!PutText(out, size, length, ",\001auth=Bearer ") || !PutText(out, size, length, token) ||
      !PutText(out, size, length, "\001\001"))
    return -1;
  return length;
}

int SaslCommandLine(char *out, int size, const char *command, int mechanism, const char *message, int length) {
  int used = 0;
  if (!PutText(out, size, used, command) || !PutText(out, size, used, " ") ||
      !PutText(out, size, used, SaslName(mechanism)))
    return -1;
  if (length >= 0) {
    if (!PutText(out, size, used, " ")) return -1;
    if (length == 0) {
      if (!PutText(out, size, used, "=")) return -1;
    } else {
      // Base64EncodeLine writes CR LF behind the characters: room for them too.
      const int encoded = 4 * ((length + 2) / 3);
      if (used + encoded + 2 > size) return -1;
      Base64EncodeLine(reinterpret_cast<const unsigned char *>(message), out + used, length);
      used += encoded;
    }
  }
  if (used >= size) return -1;
  out[used] = 0;
  return used;
}
