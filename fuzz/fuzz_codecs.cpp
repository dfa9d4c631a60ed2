// The Base64 and quoted-printable codecs and the digests: a round trip of
// the exported buffer calls, and decoding of arbitrary text within the
// room each routine promises.
#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "feed.h"
#include "kel32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int length = static_cast<int>(size);
  const char *text = reinterpret_cast<const char *>(data);

  // Bytes to lines of Base64 and back.
  std::vector<char> encoded(size / 57 * 78 + 84);
  const int written = kelEncodeBuffer(text, encoded.data(), length);
  FUZZ_CHECK(written >= 0 && static_cast<size_t>(written) <= encoded.size());
  std::vector<char> decoded(3 * (static_cast<size_t>(written) / 4) + 4);
  const int back = kelDecodeBuffer(encoded.data(), decoded.data(), written);
  FUZZ_CHECK(back == length && memcmp(decoded.data(), data, size) == 0);

  // Arbitrary text as Base64, in the room the call asks for.
  std::vector<char> any(3 * (size / 4) + 4);
  const int got = kelDecodeBuffer(text, any.data(), length);
  FUZZ_CHECK(got >= 0 && static_cast<size_t>(got) <= any.size());

  // Quoted-printable decoding never writes more than the text holds.
  std::vector<char> source(size + 1);
  memcpy(source.data(), data, size);
  source[size] = 0;
  std::vector<char> qp(size + 1);
  const int qpLength = QpDecodeText(source.data(), qp.data());
  FUZZ_CHECK(qpLength >= 0 && static_cast<size_t>(qpLength) <= strlen(source.data()));

  // The digests take any bytes and any key.
  unsigned char digest[16];
  const size_t half = size / 2;
  HmacMd5(data, static_cast<uint32_t>(half), data + half, static_cast<uint32_t>(size - half), digest);
  char hex[33];
  HexDigest(digest, hex);
  FUZZ_CHECK(strlen(hex) == 32);
  return 0;
}
