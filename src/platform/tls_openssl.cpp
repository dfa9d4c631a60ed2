// The TLS engine on POSIX systems: OpenSSL 3 over memory BIOs. The library
// moves every byte between the BIOs and its socket itself, so no call here
// blocks, writes to a socket (no SIGPIPE) or sees a descriptor.
#ifndef _WIN32
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform.h"

struct PlatformTlsSession {
  SSL *Ssl;
  BIO *In;    // ciphertext from the peer (owned by Ssl)
  BIO *Out;   // ciphertext for the peer (owned by Ssl)
  int Verify;
  char Failure[160];  // why the handshake failed, for the trace
  char Host[256];     // the server's name
  char Key[272];      // name and port: the key of the server's kept session ("" = none kept)
};

// ---- Contexts: one per trust setting, kept for the life of the process ------
// Loading the system store takes some 30 ms, far more than a step may take,
// so it is done once and not per connection.

namespace {
struct CachedContext {
  SSL_CTX *Ctx = nullptr;
  int Verify = 0;
  char CaFile[512] = {};
};
std::mutex ContextLock;
CachedContext Contexts[4];
int NextContext = 0;

// ---- Sessions kept for resumption: the last one per server -----------------
// A reconnect to the same server offers the session (a TLS 1.2 session id
// or ticket, a TLS 1.3 ticket) and skips the certificate exchange; a server
// that refuses it gets a full handshake. The key is the context (so the trust
// setting and roots) and the name the certificate was checked against, so a
// session is never offered where its certificate would not have been taken.
struct KeptSession {
  const SSL_CTX *Ctx = nullptr;
  char Host[272] = {};  // name and port
  SSL_SESSION *Session = nullptr;
  uint64_t Used = 0;
};
KeptSession Kept[16];
uint64_t KeptClock = 0;

// The entry of the server, or null. Called with ContextLock held.
KeptSession *FindKept(const SSL_CTX *ctx, const char *host) {
  for (KeptSession &k : Kept)
    if (k.Session && k.Ctx == ctx && strcmp(k.Host, host) == 0) return &k;
  return nullptr;
}

void DropKept(KeptSession &k) {
  if (k.Session) SSL_SESSION_free(k.Session);
  k.Session = nullptr;
  k.Ctx = nullptr;
}

// OpenSSL hands over every new session of a connection (TLS 1.3 tickets come
// after the handshake): the newest replaces the server's kept one.
int KeepSession(SSL *ssl, SSL_SESSION *session) {
  const auto *s = static_cast<const PlatformTlsSession *>(SSL_get_app_data(ssl));
  if (!s || !s->Key[0] || !SSL_SESSION_is_resumable(session)) return 0;
  const SSL_CTX *ctx = SSL_get_SSL_CTX(ssl);
  std::lock_guard<std::mutex> guard(ContextLock);
  KeptSession *slot = FindKept(ctx, s->Key);
  if (!slot) {
    slot = &Kept[0];
    for (KeptSession &k : Kept)
      if (!k.Session || k.Used < slot->Used) slot = &k;
  }
  DropKept(*slot);
  slot->Ctx = ctx;
  snprintf(slot->Host, sizeof slot->Host, "%s", s->Key);
  slot->Session = session;
  slot->Used = ++KeptClock;
  return 1;  // the reference is kept here
}

// Offers the server's kept session to a new connection. A TLS 1.3 ticket is
// offered once: the server sends fresh ones on the resumed connection.
void OfferKeptSession(SSL *ssl, const char *host) {
  std::lock_guard<std::mutex> guard(ContextLock);
  KeptSession *k = FindKept(SSL_get_SSL_CTX(ssl), host);
  if (!k) return;
  if (SSL_SESSION_is_resumable(k->Session)) SSL_set_session(ssl, k->Session);
  if (!SSL_SESSION_is_resumable(k->Session) || SSL_SESSION_get_protocol_version(k->Session) >= TLS1_3_VERSION)
    DropKept(*k);
}

// A failed handshake forgets the server's session.
void ForgetKeptSession(SSL *ssl, const char *host) {
  std::lock_guard<std::mutex> guard(ContextLock);
  if (KeptSession *k = FindKept(SSL_get_SSL_CTX(ssl), host)) DropKept(*k);
}
}  // namespace

static SSL_CTX *MakeContext(const char *caFile, int verify, int *error) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    *error = TlsUnavailable;
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  if (verify) {
    int ok = caFile ? SSL_CTX_load_verify_locations(ctx, caFile, nullptr) : SSL_CTX_set_default_verify_paths(ctx);
    if (ok != 1) {
      SSL_CTX_free(ctx);
      ERR_clear_error();
      *error = caFile ? TlsNoCaFile : TlsUnavailable;
      return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  // Sessions are kept by KeepSession, never by OpenSSL's own list.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, KeepSession);
  return ctx;
}

// A new SSL on the cached context for these settings (made on first use).
static SSL *NewSsl(const char *caFile, int verify, int *error) {
  const char *key = caFile ? caFile : "";
  if (strlen(key) >= sizeof Contexts[0].CaFile) {
    *error = TlsNoCaFile;
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(ContextLock);
  for (CachedContext &c : Contexts)
    if (c.Ctx && c.Verify == verify && strcmp(c.CaFile, key) == 0) return SSL_new(c.Ctx);
  SSL_CTX *ctx = MakeContext(caFile, verify, error);
  if (!ctx) return nullptr;
  // Sessions hold their own reference: a context pushed out stays alive until its last one ends.
  CachedContext &slot = Contexts[NextContext];
  NextContext = (NextContext + 1) % 4;
  if (slot.Ctx) {
    for (KeptSession &k : Kept)
      if (k.Ctx == slot.Ctx) DropKept(k);
    SSL_CTX_free(slot.Ctx);
  }
  slot.Ctx = ctx;
  slot.Verify = verify;
  snprintf(slot.CaFile, sizeof slot.CaFile, "%s", key);
  return SSL_new(ctx);
}

// The text of host when it is an IPv4 or IPv6 address (brackets removed).
static bool AddressText(const char *host, char *text, int size) {
  PlatformAddress a;
  return PlatformParseAddress(host, &a) == 1 && PlatformFormatAddress(a, text, size) > 0;
}

PlatformTlsSession *PlatformTlsNew(const char *host, const char *caFile, int verify, int *error) {
  int dummy;
  if (!error) error = &dummy;
  *error = 0;
  ERR_clear_error();
  SSL *ssl = NewSsl(caFile, verify ? 1 : 0, error);
  if (!ssl) {
    if (!*error) *error = TlsUnavailable;
    return nullptr;
  }
  auto *s = new (std::nothrow) PlatformTlsSession{};
  if (!s) {
    SSL_free(ssl);
    *error = TlsUnavailable;
    return nullptr;
  }
  s->Ssl = ssl;
  s->Verify = verify ? 1 : 0;
  host = host ? host : "";
  snprintf(s->Host, sizeof s->Host, "%s", host);
  SSL_set_app_data(ssl, s);
  // What the certificate must name. A check that cannot be set up fails the
  // connection rather than let any name pass.
  bool named = !verify;
  char address[64];
  if (AddressText(host, address, sizeof address)) {
    // An address is checked against the certificate's IP entries; no SNI for it.
    if (verify) named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address) == 1;
  } else if (*host) {
    SSL_set_tlsext_host_name(ssl, host);
    if (verify) {
      SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      named = SSL_set1_host(ssl, host) == 1;
    }
  }
  if (!named) {
    ERR_clear_error();
    SSL_free(ssl);
    delete s;
    *error = TlsNameMismatch;
    return nullptr;
  }
  s->In = BIO_new(BIO_s_mem());
  s->Out = BIO_new(BIO_s_mem());
  if (!s->In || !s->Out) {
    BIO_free(s->In);
    BIO_free(s->Out);
    SSL_free(ssl);
    delete s;
    *error = TlsUnavailable;
    return nullptr;
  }
  BIO_set_mem_eof_return(s->In, -1);  // empty means "more to come" until the peer ends
  SSL_set_bio(ssl, s->In, s->Out);
  SSL_set_connect_state(ssl);
  return s;
}

void PlatformTlsForgetSessions() {
  std::lock_guard<std::mutex> guard(ContextLock);
  for (KeptSession &k : Kept) DropKept(k);
}

void PlatformTlsOfferSession(PlatformTlsSession *s, unsigned port) {
  if (!s || !s->Host[0] || strlen(s->Host) >= sizeof s->Host - 1) return;
  snprintf(s->Key, sizeof s->Key, "%s %u", s->Host, port);
  OfferKeptSession(s->Ssl, s->Key);
}

void PlatformTlsFree(PlatformTlsSession *s) {
  if (!s) return;
  SSL_free(s->Ssl);
  delete s;
}

// The error result of a failed handshake, with its reason kept for the trace.
static int HandshakeError(PlatformTlsSession *s) {
  const long v = SSL_get_verify_result(s->Ssl);
  if (s->Verify && v != X509_V_OK) {
    snprintf(s->Failure, sizeof s->Failure, "%s", X509_verify_cert_error_string(v));
    ERR_clear_error();
    switch (v) {
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      case X509_V_ERR_CERT_UNTRUSTED:
        return TlsUnknownIssuer;
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return TlsCertExpired;
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TlsNameMismatch;
      default:
        return TlsCertRejected;
    }
  }
  const unsigned long e = ERR_get_error();
  if (e) ERR_error_string_n(e, s->Failure, sizeof s->Failure);
  else snprintf(s->Failure, sizeof s->Failure, "%s", "handshake ended early");
  ERR_clear_error();
  return TlsHandshakeFailed;
}

int PlatformTlsHandshake(PlatformTlsSession *s) {
  if (!s) return TlsHandshakeFailed;
  ERR_clear_error();
  const int rc = SSL_do_handshake(s->Ssl);
  if (rc == 1) return 1;
  const int e = SSL_get_error(s->Ssl, rc);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
  if (s->Key[0]) ForgetKeptSession(s->Ssl, s->Key);
  return HandshakeError(s);
}

int PlatformTlsFeed(PlatformTlsSession *s, const void *data, int count) {
  if (!s) return TlsHandshakeFailed;
  if (count <= 0) {
    BIO_set_mem_eof_return(s->In, 0);
    return 0;
  }
  return BIO_write(s->In, data, count) == count ? 0 : TlsUnavailable;
}

int PlatformTlsOutputSize(PlatformTlsSession *s) {
  return s ? static_cast<int>(BIO_ctrl_pending(s->Out)) : 0;
}

int PlatformTlsOutput(PlatformTlsSession *s, void *buffer, int size) {
  if (!s || size < 1 || PlatformTlsOutputSize(s) == 0) return 0;
  const int n = BIO_read(s->Out, buffer, size);
  return n > 0 ? n : 0;
}

int PlatformTlsEncrypt(PlatformTlsSession *s, const void *data, int count) {
  if (!s) return TlsHandshakeFailed;
  if (count <= 0) return 0;
  ERR_clear_error();
  // A memory BIO takes everything: one call writes the whole buffer.
  const int n = SSL_write(s->Ssl, data, count);
  if (n == count) return count;
  ERR_clear_error();
  return TlsProtocolError;
}

// The result of a read or peek that gave no data.
static int ReadResult(PlatformTlsSession *s, int rc) {
  const int e = SSL_get_error(s->Ssl, rc);
  switch (e) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return 0;
    case SSL_ERROR_ZERO_RETURN:  // close_notify
    case SSL_ERROR_SYSCALL:      // the stream ended
      ERR_clear_error();
      return -1;
    default: {
      // An end of stream without close_notify is a close as on plain TCP.
      const unsigned long err = ERR_peek_error();
      ERR_clear_error();
      if (ERR_GET_REASON(err) == SSL_R_UNEXPECTED_EOF_WHILE_READING) return -1;
      return TlsProtocolError;
    }
  }
}

int PlatformTlsDecrypt(PlatformTlsSession *s, void *buffer, int size) {
  if (!s) return TlsProtocolError;
  if (size < 1) return 0;
  ERR_clear_error();
  const int n = SSL_read(s->Ssl, buffer, size);
  return n > 0 ? n : ReadResult(s, n);
}

int PlatformTlsPoll(PlatformTlsSession *s) {
  if (!s) return TlsProtocolError;
  if (SSL_pending(s->Ssl) > 0) return 1;
  ERR_clear_error();
  char c;
  const int n = SSL_peek(s->Ssl, &c, 1);
  return n > 0 ? 1 : ReadResult(s, n);
}

void PlatformTlsClose(PlatformTlsSession *s) {
  if (!s) return;
  ERR_clear_error();
  SSL_shutdown(s->Ssl);  // the alert goes into the output; the peer's is not awaited
  ERR_clear_error();
}

// A name on one line, most specific part first ("CN=mail.example.test, O=..."):
// control characters are escaped, so a certificate cannot add lines of its own.
static void NameLine(X509_NAME *name, char *text, size_t size) {
  text[0] = 0;
  BIO *b = BIO_new(BIO_s_mem());
  if (!b) return;
  const unsigned long flags = (XN_FLAG_RFC2253 & ~(XN_FLAG_SEP_MASK | ASN1_STRFLGS_ESC_MSB)) | XN_FLAG_SEP_CPLUS_SPC;
  if (X509_NAME_print_ex(b, name, 0, flags) >= 0) {
    const int n = BIO_read(b, text, static_cast<int>(size - 1));
    text[n > 0 ? n : 0] = 0;
  }
  BIO_free(b);
  for (char *p = text; *p; p++)
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) *p = '?';
}

static void TimeLine(const ASN1_TIME *t, char *text, size_t size) {
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1 || strftime(text, size, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0)
    snprintf(text, size, "%s", "(unknown)");
}

// The peer certificate's detail, one "label: value" line each, CRLF-ended.
static int DescribeCertificate(PlatformTlsSession *s, char *buffer, int size) {
  X509 *peer = SSL_get0_peer_certificate(s->Ssl);
  if (!peer) {
    // A certificate the check refused is not the session's, but its chain is kept.
    STACK_OF(X509) *chain = SSL_get_peer_cert_chain(s->Ssl);
    if (chain && sk_X509_num(chain) > 0) peer = sk_X509_value(chain, 0);
  }
  if (!peer) return 0;
  char subject[300], issuer[300], from[48], until[48], verdict[200];
  NameLine(X509_get_subject_name(peer), subject, sizeof subject);
  NameLine(X509_get_issuer_name(peer), issuer, sizeof issuer);
  TimeLine(X509_get0_notBefore(peer), from, sizeof from);
  TimeLine(X509_get0_notAfter(peer), until, sizeof until);
  const long v = SSL_get_verify_result(s->Ssl);
  if (!s->Verify) snprintf(verdict, sizeof verdict, "%s", "no (not checked: KEL_TLS_VERIFY 0)");
  else if (v != X509_V_OK) snprintf(verdict, sizeof verdict, "no (%s)", X509_verify_cert_error_string(v));
  else if (s->Failure[0]) snprintf(verdict, sizeof verdict, "no (%s)", s->Failure);
  else snprintf(verdict, sizeof verdict, "%s", "yes");
  const int n = snprintf(buffer, static_cast<size_t>(size),
                         "subject: %s\r\nissuer: %s\r\nnot before: %s\r\nnot after: %s\r\nverified: %s\r\n", subject,
                         issuer, from, until, verdict);
  return n < 0 ? 0 : n;
}

int PlatformTlsDescribe(PlatformTlsSession *s, int what, char *buffer, int size) {
  if (!buffer || size < 1) return 0;
  buffer[0] = 0;
  if (!s) return 0;
  int n = 0;
  switch (what) {
    case 0:
      n = snprintf(buffer, static_cast<size_t>(size), "%s %s", SSL_get_version(s->Ssl),
                   SSL_get_cipher_name(s->Ssl));
      break;
    case 1: {
      X509 *peer = SSL_get0_peer_certificate(s->Ssl);
      if (peer) X509_NAME_oneline(X509_get_subject_name(peer), buffer, size);
      else snprintf(buffer, static_cast<size_t>(size), "%s", "(no certificate)");
      n = static_cast<int>(strlen(buffer));
      break;
    }
    case 2:
      n = snprintf(buffer, static_cast<size_t>(size), "%s",
                   s->Failure[0] ? s->Failure : s->Verify ? "ok" : "not checked");
      break;
    case 3:
      n = snprintf(buffer, static_cast<size_t>(size), "%s", SSL_session_reused(s->Ssl) ? "resumed" : "");
      break;
    case 4: n = DescribeCertificate(s, buffer, size); break;
    default: return 0;
  }
  if (n < 0) n = 0;
  return n < size ? n : size - 1;
}

#endif  // !_WIN32
