// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) for the demo mail drop's APOP
// and CRAM-MD5 checks. kelmail is an application of the library and may
// use only its public interface, so the drop carries its own digest.
#pragma once

#include <string>

namespace kelmail {

// The 32 lower-case hexadecimal digits of the MD5 digest of data.
std::string Md5Hex(const std::string &data);
// The 32 lower-case hexadecimal digits of HMAC-MD5(key, data).
std::string HmacMd5Hex(const std::string &key, const std::string &data);

}  // namespace kelmail
