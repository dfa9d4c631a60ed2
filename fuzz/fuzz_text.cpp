// The text utilities and the address checks of the session calls: texts
// cut out of the input at its NUL bytes.
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "feed.h"
#include "kel32.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kelAttach(1, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const int outSize = data[0] % 200;  // output areas of 0 to 199 bytes, 0 and 1 included
  std::vector<std::string> part;
  std::string current;
  for (size_t i = 1; i < size; i++) {
    if (data[i] == 0) {
      part.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  part.push_back(current);
  while (part.size() < 6) part.push_back("");
  const char *a = part[0].c_str();
  const char *b = part[1].c_str();

  std::vector<char> out(static_cast<size_t>(outSize) + 1, '\x7f');
  int n = kelExtractText(a, b, out.data(), outSize);
  FUZZ_CHECK(n >= 0 && (outSize == 0 || n < outSize));
  FUZZ_CHECK(out[static_cast<size_t>(outSize)] == '\x7f');  // never past the area
  n = kelExtractLine(a, static_cast<signed char>(data[0]), out.data(), outSize);
  FUZZ_CHECK(n >= 0 && (outSize == 0 || n < outSize));
  FUZZ_CHECK(out[static_cast<size_t>(outSize)] == '\x7f');
  n = CopyLine(a, out.data(), outSize);
  FUZZ_CHECK(out[static_cast<size_t>(outSize)] == '\x7f');
  const int verdict = kelVerifyFormat(a);
  FUZZ_CHECK(verdict == 1 || verdict < 0);
  const char *found = TextSearch(a, b);
  FUZZ_CHECK(!found || (found >= a && found <= a + strlen(a)));

  // The session calls' checks of server names and addresses, in
  // non-blocking mode so that nothing is sent: a call either refuses the
  // texts or stores them whole within their fields.
  Channel &ch = feed::Connected(0, false, 'S');
  ch.Socket = NoSocket;
  int rc = kelSmtpConnect(0, part[2].c_str(), a, b);
  FUZZ_CHECK(rc == 0 || rc < 0);
  FUZZ_CHECK(memchr(ch.From, 0, sizeof ch.From) && memchr(ch.Server, 0, sizeof ch.Server));
  if (rc == 0) FUZZ_CHECK(!strpbrk(ch.From, "\r\n"));
  // kelSendEmail needs a writable socket: the feed plays one that takes all.
  feed::Start(data, 0, 1);
  feed::Connected(0, false, 'S');
  CopyField(ch.From, "<me@example.com>", 128);
  rc = kelSendEmail(0, part[3].c_str(), part[4].c_str(), part[5].c_str(), b, a, nullptr);
  FUZZ_CHECK(rc == 0 || rc < 0);
  if (rc == 0) FUZZ_CHECK(ch.ToList && !strpbrk(ch.ToList, "\r\n"));
  rc = kelVerifyUser(0, part[3].c_str());
  FUZZ_CHECK(rc == 0 || rc < 0);
  ch.NextState = 0;
  PlatformSetSocketFeed(nullptr);
  return 0;
}
