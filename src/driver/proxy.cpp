// The tunnel through a proxy (KEL_PROXY), between the TCP connection to
// the proxy and the mail server's first byte: SOCKS5 (RFC 1928, with the
// user name and password of RFC 1929) or HTTP CONNECT (RFC 9110 9.3.6).
// The mail server's name goes to the proxy unresolved; the proxy resolves
// it. Once the tunnel stands, the session (and TLS, whose name check is
// the mail server's) runs through it as over a direct connection.
//
// Every state sends one request or reads one reply; the reply bytes are
// gathered across steps, so a non-blocking step never waits. Exactly the
// proxy's bytes are taken: what the mail server sends at once behind them
// stays for its greeting.
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../core/errors.h"
#include "../core/text.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "driver.h"

namespace {

constexpr char SocksVersion = 5;

// Gathers the first need bytes of the proxy's reply in Response: 1 when
// they are there, 0 while more must come, or the error exit's result.
int Gather(Channel &ch, int need) {
  while (ch.Proxy.Have < need) {
    if (AwaitReadable(ch, StepWait(ch, Settings.ResponseTimeout)) != 1) return 0;
    const int n = TakeBytes(ch, ch.Response + ch.Proxy.Have, need - ch.Proxy.Have);
    if (n < 0) return driverFail(ch, 0, Err::ProxyClosed);
    if (n == 0) {
      ch.IdleWait = ReadyReadable;
      return 0;
    }
    ch.Proxy.Have += n;
  }
  return 1;
}

int SendRequest(Channel &ch, Tick now, const char *bytes, int count, int next, int secretFrom = 0) {
  ch.Proxy.Have = 0;
  ch.SecretAt = static_cast<uint16_t>(secretFrom);
  const int rc = SendBytes(ch, bytes, count);
  ch.SecretAt = 0;
  if (rc < 0) return driverFail(ch, rc, Err::Send);
  SetTiming(ch, now, 0, Settings.ResponseTimeout);
  ch.NextState = next;
  return 0;
}

// The port of the mail server, as the session would have used it.
uint16_t TargetPort(const Channel &ch) { return ch.Port; }

// The mail server's name or address for the proxy: brackets of an IPv6
// literal taken off.
void TargetHost(const Channel &ch, char *out, int size) {
  const char *host = ch.Server;
  int length = static_cast<int>(strlen(host));
  if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
    host++;
    length -= 2;
  }
  if (length >= size) length = size - 1;
  memcpy(out, host, static_cast<size_t>(length));
  out[length] = 0;
}

void PutByte(char *out, int &length, int value) { out[length++] = static_cast<char>(value); }

// A proxy text that cannot be used leaves no proxy behind, nor any of its secret.
int Refuse(Channel &ch) {
  SetProxy(ch, "");
  return -1;
}

}  // namespace

// "socks5://[user:password@]host[:port]" or "http://..." (user and password
// may hold %XX escapes; an IPv6 host in brackets). 0, or -1 (nothing set)
// for a text that is none of these or does not fit.
int SetProxy(Channel &ch, const char *url) {
  ch.Proxy.Kind = 0;
  ch.Proxy.Port = 0;
  memset(ch.Proxy.Host, 0, sizeof ch.Proxy.Host);
  memset(ch.Proxy.User, 0, sizeof ch.Proxy.User);
  memset(ch.Proxy.Password, 0, sizeof ch.Proxy.Password);
  if (!*url) return 0;
  int kind;
  uint16_t port;
  const char *rest;
  if (PrefixEquals(url, "socks5://", 9) || PrefixEquals(url, "socks5h://", 10)) {
    kind = 1;
    port = 1080;
    rest = strstr(url, "://") + 3;
  } else if (PrefixEquals(url, "http://", 7)) {
    kind = 2;
    port = 8080;
    rest = url + 7;
  } else {
    return -1;
  }
  const char *at = strrchr(rest, '@');
  if (at) {
    const char *colon = static_cast<const char *>(memchr(rest, ':', static_cast<size_t>(at - rest)));
    const char *userEnd = colon ? colon : at;
    const int userLength = static_cast<int>(userEnd - rest);
    const int passLength = colon ? static_cast<int>(at - colon - 1) : 0;
    if (userLength >= static_cast<int>(sizeof ch.Proxy.User) || passLength >= static_cast<int>(sizeof ch.Proxy.Password))
      return -1;
    int n = PercentDecode(rest, userLength, ch.Proxy.User);
    ch.Proxy.User[n] = 0;
    n = colon ? PercentDecode(colon + 1, passLength, ch.Proxy.Password) : 0;
    ch.Proxy.Password[n] = 0;
    // RFC 1929 carries each in one length byte; no line break may reach an HTTP header.
    if (!ch.Proxy.User[0] || strlen(ch.Proxy.User) > 255 || strlen(ch.Proxy.Password) > 255 ||
        strpbrk(ch.Proxy.User, "\r\n") || strpbrk(ch.Proxy.Password, "\r\n"))
      return Refuse(ch);
    rest = at + 1;
  }
  const char *hostEnd;
  const char *portText = nullptr;
  if (*rest == '[') {
    const char *close = strchr(rest, ']');
    if (!close) return Refuse(ch);
    hostEnd = close + 1;
    if (*hostEnd == ':') portText = hostEnd + 1;
    else if (*hostEnd && *hostEnd != '/') return Refuse(ch);
  } else {
    hostEnd = rest + strcspn(rest, ":/");
    if (*hostEnd == ':') portText = hostEnd + 1;
  }
  const int hostLength = static_cast<int>(hostEnd - rest);
  if (hostLength < 1 || hostLength >= static_cast<int>(sizeof ch.Proxy.Host) - 1) return Refuse(ch);
  memcpy(ch.Proxy.Host, rest, static_cast<size_t>(hostLength));
  if (portText) {
    uint32_t value = 0;
    int digits = 0;
    for (; portText[digits] >= '0' && portText[digits] <= '9' && digits < 6; digits++)
      value = value * 10 + static_cast<uint32_t>(portText[digits] - '0');
    const char end = portText[digits];
    if (digits == 0 || value == 0 || value > 65535 || (end && end != '/')) return Refuse(ch);
    port = static_cast<uint16_t>(value);
  }
  ch.Proxy.Kind = static_cast<uint8_t>(kind);
  ch.Proxy.Port = port;
  return 0;
}

int StartProxy(Channel &ch) {
  ch.NextState = ch.Proxy.Kind == 1 ? State::SocksGreeting : State::HttpConnect;
  return 0;
}

// ---- SOCKS5 ----------------------------------------------------------------

int SocksGreeting(Channel &ch, Tick now) {
  // No authentication, and user name/password when the caller gave them.
  char hello[4];
  int length = 0;
  PutByte(hello, length, SocksVersion);
  const bool login = ch.Proxy.User[0] != 0;
  PutByte(hello, length, login ? 2 : 1);
  PutByte(hello, length, 0);
  if (login) PutByte(hello, length, 2);
  return SendRequest(ch, now, hello, length, State::SocksMethodReply);
}

int SocksMethodReply(Channel &ch, Tick) {
  int rc = Gather(ch, 2);
  if (rc <= 0) return rc;
  const int method = static_cast<unsigned char>(ch.Response[1]);
  if (ch.Response[0] != SocksVersion) return driverFail(ch, 0, Err::ProxyReplyMalformed);
  if (method == 0) {
    ch.NextState = State::SocksConnect;
  } else if (method == 2 && ch.Proxy.User[0]) {
    ch.NextState = State::SocksLogin;
  } else if (method == 0xFF || method == 2) {
    return driverFail(ch, 0, Err::ProxyLoginRefused);  // none of ours would do
  } else {
    return driverFail(ch, 0, Err::ProxyReplyMalformed);
  }
  ch.WaitWritable = 1;
  return 0;
}

int SocksLogin(Channel &ch, Tick now) {
  // RFC 1929: version 1, the name and the password, each at most 255 bytes.
  char request[3 + 255 + 255];
  int length = 0;
  const int user = static_cast<int>(strlen(ch.Proxy.User));
  const int password = static_cast<int>(strlen(ch.Proxy.Password));
  PutByte(request, length, 1);
  PutByte(request, length, user);
  memcpy(request + length, ch.Proxy.User, static_cast<size_t>(user));
  length += user;
  PutByte(request, length, password);
  const int secretFrom = length;  // the password never reaches the log
  memcpy(request + length, ch.Proxy.Password, static_cast<size_t>(password));
  length += password;
  return SendRequest(ch, now, request, length, State::SocksLoginReply, secretFrom + 1);
}

int SocksLoginReply(Channel &ch, Tick) {
  int rc = Gather(ch, 2);
  if (rc <= 0) return rc;
  if (ch.Response[0] != 1) return driverFail(ch, 0, Err::ProxyReplyMalformed);
  if (ch.Response[1] != 0) return driverFail(ch, 0, Err::ProxyLoginRefused);
  ch.WaitWritable = 1;
  ch.NextState = State::SocksConnect;
  return 0;
}

int SocksConnect(Channel &ch, Tick now) {
  char host[130];
  TargetHost(ch, host, sizeof host);
  char request[4 + 1 + 255 + 2];
  int length = 0;
  PutByte(request, length, SocksVersion);
  PutByte(request, length, 1);  // CONNECT
  PutByte(request, length, 0);
  PlatformAddress literal;
  if (PlatformParseAddress(host, &literal)) {
    PutByte(request, length, literal.Family == 6 ? 4 : 1);
    const int bytes = literal.Family == 6 ? 16 : 4;
    memcpy(request + length, literal.Bytes, static_cast<size_t>(bytes));
    length += bytes;
  } else {
    const int n = static_cast<int>(strlen(host));  // at most 128: the field's size
    PutByte(request, length, 3);  // a domain name, resolved by the proxy
    PutByte(request, length, n);
    memcpy(request + length, host, static_cast<size_t>(n));
    length += n;
  }
  PutByte(request, length, TargetPort(ch) >> 8);
  PutByte(request, length, TargetPort(ch) & 0xFF);
  return SendRequest(ch, now, request, length, State::SocksConnectReply);
}

int SocksConnectReply(Channel &ch, Tick now) {
  int rc = Gather(ch, 5);  // version, reply, reserved, address type, first address byte
  if (rc <= 0) return rc;
  if (ch.Response[0] != SocksVersion) return driverFail(ch, 0, Err::ProxyReplyMalformed);
  const int reply = static_cast<unsigned char>(ch.Response[1]);
  if (reply != 0) {
    // 1 general failure ... 8 address type not supported (RFC 1928 6).
    FormatLine(ch.Response, 64, "(SOCKS reply %d)", reply);
    return driverFail(ch, 0, reply <= 8 ? Err::ProxyTargetRefused : Err::ProxyReplyMalformed);
  }
  const int type = static_cast<unsigned char>(ch.Response[3]);
  int need;
  switch (type) {
    case 1: need = 4 + 4 + 2; break;
    case 4: need = 4 + 16 + 2; break;
    case 3: need = 4 + 1 + static_cast<unsigned char>(ch.Response[4]) + 2; break;
    default: return driverFail(ch, 0, Err::ProxyReplyMalformed);
  }
  if ((rc = Gather(ch, need)) <= 0) return rc;
  LogLine(ch, "[Proxy tunnel to %s:%d]\r\n", ch.Server, TargetPort(ch));
  return TunnelReady(ch, now);
}

// ---- HTTP CONNECT -------------------------------------------------------------

int HttpConnect(Channel &ch, Tick now) {
  char host[130];
  TargetHost(ch, host, sizeof host);
  const bool v6 = strchr(host, ':') != nullptr;
  char authority[140];
  FormatLine(authority, sizeof authority, v6 ? "[%s]:%d" : "%s:%d", host, TargetPort(ch));
  int length = FormatLine(ch.SendLine, 1024, "CONNECT %s HTTP/1.1\r\nHost: %s\r\n", authority, authority);
  int secretFrom = 0;
  if (ch.Proxy.User[0]) {
    // Basic credentials (RFC 7617): Base64 of "user:password".
    char pair[256 + 1 + 256];
    const int n = FormatLine(pair, sizeof pair, "%s:%s", ch.Proxy.User, ch.Proxy.Password);
    char encoded[((sizeof pair + 2) / 3) * 4 + 4];
    const int e = Base64EncodeLine(reinterpret_cast<const unsigned char *>(pair), encoded, n);
    memset(pair, 0, sizeof pair);
    static const char Header[] = "Proxy-Authorization: Basic ";
    if (length + static_cast<int>(sizeof Header) + e + 4 < static_cast<int>(sizeof ch.SendLine)) {
      memcpy(ch.SendLine + length, Header, sizeof Header - 1);
      length += static_cast<int>(sizeof Header - 1);
      secretFrom = length;
      memcpy(ch.SendLine + length, encoded, static_cast<size_t>(e));
      length += e;
      ch.SendLine[length++] = '\r';
      ch.SendLine[length++] = '\n';
    }
    memset(encoded, 0, sizeof encoded);
  }
  ch.SendLine[length++] = '\r';
  ch.SendLine[length++] = '\n';
  ch.SendLine[length] = 0;
  ch.ReplyCode = 0;
  const int rc = SendRequest(ch, now, ch.SendLine, length, State::HttpConnectReply, secretFrom ? secretFrom + 1 : 0);
  memset(ch.SendLine, 0, sizeof ch.SendLine);
  return rc;
}

// One line of the proxy's answer per step: the status line, then the header
// lines up to the empty line that ends them.
int HttpConnectReply(Channel &ch, Tick now) {
  if (!AwaitLine(ch, StepWait(ch, Settings.ResponseTimeout), Settings.ResponseTimeout, false)) return 0;
  int n = ReadLine(ch, ch.Response, 1024, 0, StepWait(ch, Settings.ResponseTimeout));
  if (n < 0) return driverFail(ch, 0, Err::ProxyClosed);
  if (n == 0) return 0;
  if (ch.Response[n - 1] != '\n') return driverFail(ch, 0, Err::ProxyReplyMalformed);  // a line without end
  if (ch.ReplyCode == 0) {
    // "HTTP/1.1 200 Connection established"
    if (n < 12 || strncmp(ch.Response, "HTTP/1.", 7) != 0 || ch.Response[8] != ' ')
      return driverFail(ch, 0, Err::ProxyReplyMalformed);
    ch.ReplyCode = static_cast<int32_t>(ParseDecimal(ch.Response + 9));
    CopyField(ch.LastReply, ch.Response, 127);
    // 407 is the standard answer; some proxies (tinyproxy) answer 401.
    if (ch.ReplyCode == 407 || ch.ReplyCode == 401) return driverFail(ch, 0, Err::ProxyLoginRefused);
    if (ch.ReplyCode < 200 || ch.ReplyCode > 299) return driverFail(ch, 0, Err::ProxyTargetRefused);
    ch.Deadline = now + Settings.ResponseTimeout;
    return 0;
  }
  if (!(n == 2 && ch.Response[0] == '\r') && !(n == 1)) {  // a header line: not needed
    ch.Deadline = now + Settings.ResponseTimeout;
    return 0;
  }
  LogLine(ch, "[Proxy tunnel to %s:%d]\r\n", ch.Server, TargetPort(ch));
  return TunnelReady(ch, now);
}
