// The TLS engine on Windows: Schannel through SSPI (secur32), the
// certificate check through crypt32. Schannel works on buffers by design:
// the library hands it what it received and sends what it produced.
//
// The certificate is always checked here, by the library itself
// (SCH_CRED_MANUAL_CRED_VALIDATION): the chain with CertGetCertificateChain,
// against the caller's CA file or the system's roots, and the name with
// the SSL chain policy (an IPv4 address against the certificate's IP
// entries). Schannel is asked for TLS 1.2, which every Windows since 7 and
// Wine provide; no TLS 1.3-only behaviour is relied on.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#define SECURITY_WIN32
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "win32_lock.h"

namespace {

// A growing byte buffer (malloc'd); bytes are taken from the front.
struct Bytes {
  char *Data = nullptr;
  int Size = 0, Cap = 0;
  bool Reserve(int more) {
    if (Size + more <= Cap) return true;
    int cap = Cap ? Cap : 16384;
    while (cap < Size + more) cap *= 2;
    char *p = static_cast<char *>(realloc(Data, static_cast<size_t>(cap)));
    if (!p) return false;
    Data = p;
    Cap = cap;
    return true;
  }
  bool Append(const void *p, int n) {
    if (n <= 0) return true;
    if (!Reserve(n)) return false;
    memcpy(Data + Size, p, static_cast<size_t>(n));
    Size += n;
    return true;
  }
  void Take(int n) {
    if (n >= Size) {
      Size = 0;
      return;
    }
    memmove(Data, Data + n, static_cast<size_t>(Size - n));
    Size -= n;
  }
  // Keeps only the last n bytes (what Schannel left unread).
  void KeepLast(int n) { Take(Size - n); }
  void Free() {
    free(Data);
    Data = nullptr;
    Size = Cap = 0;
  }
};

const DWORD RequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

// Whether a handshake resumed a session (SecPkgContext_SessionInfo; not in
// every SDK's headers, so declared here).
const unsigned long SessionInfoAttribute = 0x5d;  // SECPKG_ATTR_SESSION_INFO
struct ResumeInfo {
  DWORD Flags;  // SSL_SESSION_RECONNECT (1): a reconnection
  DWORD IdSize;
  BYTE Id[32];
};

// ---- Credentials: one per trust setting, kept for the life of the process ----
// Schannel resumes a client session from its own cache only for a handshake
// made with the credential handle of the earlier one; so the handle is kept
// per trust setting (verification on or off, and the CA file), together
// with the CA file's certificates, read once instead of at every connect.
// An entry in use by a live session is never replaced; when all are in use,
// the session gets a credential of its own (a full handshake, as before).
struct KeptCredential {
  CredHandle Cred;
  HCERTSTORE Roots = nullptr;
  bool Live = false;
  int Verify = 0;
  int Users = 0;
  char CaFile[512] = {};
};

ModuleLock CredentialLock;
KeptCredential KeptCredentials[4];

}  // namespace

struct PlatformTlsSession {
  CredHandle Cred;
  CtxtHandle Ctx;
  bool HaveCred = false, HaveCtx = false, Done = false, PeerEnded = false, Closed = false;
  SecPkgContext_StreamSizes Sizes{};
  char Host[256] = {};
  // Set when the host is an IPv4 or IPv6 address (4 or 16 bytes).
  PlatformAddress Address{};
  int Verify = 1;
  HCERTSTORE Roots = nullptr;  // the CA file's certificates, or null for the system's
  int Kept = -1;               // the entry of KeptCredentials whose handle and roots these are, or -1: its own
  Bytes In, Out, Plain;
  char Failure[160] = {};
  char Subject[256] = {};
  char Detail[1024] = {};      // the peer certificate's lines (PlatformTlsDescribe 4)
};

// The name Schannel is given for the server (and sends as SNI): none for an
// IPv6 address, which a server name may not be and whose brackets would
// only confuse; the check of the certificate is the library's own anyway.
static char *TargetName(PlatformTlsSession *s) { return s->Address.Family == 6 ? nullptr : s->Host; }

// Reads the PEM certificates of a CA file into a memory store; null when
// the file cannot be read or holds none.
static HCERTSTORE LoadCaFile(const char *path) {
  int file = PlatformFileOpenRead(path);
  if (file <= 0) return nullptr;
  Bytes text;
  char chunk[4096];
  int n;
  while ((n = PlatformFileRead(file, chunk, sizeof chunk)) > 0 && text.Size < (4 << 20)) text.Append(chunk, n);
  PlatformFileClose(file);
  text.Append("", 1);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int count = 0;
  const char *begin = "-----BEGIN CERTIFICATE-----", *end = "-----END CERTIFICATE-----";
  for (const char *p = text.Data ? strstr(text.Data, begin) : nullptr; store && p; p = strstr(p, begin)) {
    const char *q = strstr(p, end);
    if (!q) break;
    q += strlen(end);
    DWORD size = 0;
    const DWORD length = static_cast<DWORD>(q - p);
    if (CryptStringToBinaryA(p, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr) && size) {
      BYTE *der = static_cast<BYTE *>(malloc(size));
      if (der && CryptStringToBinaryA(p, length, CRYPT_STRING_BASE64HEADER, der, &size, nullptr, nullptr) &&
          CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_ALWAYS, nullptr))
        count++;
      free(der);
    }
    p = q;
  }
  text.Free();
  if (store && count == 0) {
    CertCloseStore(store, 0);
    store = nullptr;
  }
  return store;
}

PlatformTlsSession *PlatformTlsNew(const char *host, const char *caFile, int verify, int *error) {
  int dummy;
  if (!error) error = &dummy;
  *error = 0;
  auto *s = new PlatformTlsSession;
  snprintf(s->Host, sizeof s->Host, "%s", host ? host : "");
  PlatformParseAddress(s->Host, &s->Address);
  s->Verify = verify ? 1 : 0;
  if (verify && !s->Host[0]) {  // nothing to check the certificate against
    *error = TlsNameMismatch;
    delete s;
    return nullptr;
  }
  const char *key = verify && caFile ? caFile : "";
  CredentialLock.Enter();
  for (int i = 0; i < 4 && s->Kept < 0; i++) {
    KeptCredential &k = KeptCredentials[i];
    if (k.Live && k.Verify == s->Verify && strcmp(k.CaFile, key) == 0) s->Kept = i;
  }
  if (s->Kept >= 0) {
    KeptCredential &k = KeptCredentials[s->Kept];
    k.Users++;
    s->Cred = k.Cred;
    s->Roots = k.Roots;
    s->HaveCred = true;
  }
  CredentialLock.Leave();
  if (s->Kept >= 0) return s;
  if (verify && caFile) {
    s->Roots = LoadCaFile(caFile);
    if (!s->Roots) {
      *error = TlsNoCaFile;
      delete s;
      return nullptr;
    }
  }
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
  TimeStamp expiry;
  if (AcquireCredentialsHandleA(nullptr, const_cast<char *>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &cred,
                                nullptr, nullptr, &s->Cred, &expiry) != SEC_E_OK) {
    *error = TlsUnavailable;
    PlatformTlsFree(s);
    return nullptr;
  }
  s->HaveCred = true;
  // Kept for the next connect with these settings, in a free entry or one no
  // session uses (whose handle, and with it its sessions, goes).
  if (strlen(key) < sizeof KeptCredentials[0].CaFile) {
    CredentialLock.Enter();
    for (int i = 0; i < 4 && s->Kept < 0; i++)
      if (!KeptCredentials[i].Live) s->Kept = i;
    for (int i = 0; i < 4 && s->Kept < 0; i++)
      if (KeptCredentials[i].Users == 0) s->Kept = i;
    if (s->Kept >= 0) {
      KeptCredential &k = KeptCredentials[s->Kept];
      if (k.Live) {
        FreeCredentialsHandle(&k.Cred);
        if (k.Roots) CertCloseStore(k.Roots, 0);
      }
      k.Cred = s->Cred;
      k.Roots = s->Roots;
      k.Live = true;
      k.Verify = s->Verify;
      k.Users = 1;
      snprintf(k.CaFile, sizeof k.CaFile, "%s", key);
    }
    CredentialLock.Leave();
  }
  return s;
}

// Schannel offers the session of the credential's cache by itself.
void PlatformTlsOfferSession(PlatformTlsSession *, unsigned) {}

// Drops every kept credential no session uses, and with it Schannel's
// sessions of that credential: the next connect is a full handshake.
void PlatformTlsForgetSessions() {
  CredentialLock.Enter();
  for (KeptCredential &k : KeptCredentials)
    if (k.Live && k.Users == 0) {
      FreeCredentialsHandle(&k.Cred);
      if (k.Roots) CertCloseStore(k.Roots, 0);
      k.Roots = nullptr;
      k.Live = false;
    }
  CredentialLock.Leave();
}

void PlatformTlsFree(PlatformTlsSession *s) {
  if (!s) return;
  if (s->HaveCtx) DeleteSecurityContext(&s->Ctx);
  if (s->Kept >= 0) {
    // The handle and the roots stay with the kept entry.
    CredentialLock.Enter();
    KeptCredentials[s->Kept].Users--;
    CredentialLock.Leave();
  } else {
    if (s->HaveCred) FreeCredentialsHandle(&s->Cred);
    if (s->Roots) CertCloseStore(s->Roots, 0);
  }
  s->In.Free();
  s->Out.Free();
  s->Plain.Free();
  delete s;
}

// The certificate's IP entries hold the address (the name policy knows host
// names only): 4 bytes for IPv4, 16 for IPv6; the one entry never matches
// the other family.
static bool AddressInCertificate(PCCERT_CONTEXT cert, const PlatformAddress &address) {
  const DWORD length = address.Family == 6 ? 16 : 4;
  PCERT_EXTENSION ext =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (!ext) return false;
  CERT_ALT_NAME_INFO *names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; i++) {
    const CERT_ALT_NAME_ENTRY &e = names->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == length &&
            memcmp(e.IPAddress.pbData, address.Bytes, length) == 0;
  }
  LocalFree(names);
  return found;
}

static bool RootFromFile(HCERTSTORE roots, PCCERT_CONTEXT root) {
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(roots, nullptr); c; c = CertEnumCertificatesInStore(roots, c))
    if (CertCompareCertificate(X509_ASN_ENCODING, c->pCertInfo, root->pCertInfo)) {
      CertFreeCertificateContext(c);
      return true;
    }
  return false;
}

// A name on one line in UTF-8, most specific part first ("CN=mail.example.test,
// O=..."); control characters become '?', so a certificate cannot add lines.
static void NameLine(CERT_NAME_BLOB *name, char *text, int size) {
  wchar_t wide[300];
  text[0] = 0;
  if (CertNameToStrW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, wide, 300) <= 1) return;
  wide[299] = 0;
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, size, nullptr, nullptr) <= 0) text[0] = 0;
  text[size - 1] = 0;
  for (char *p = text; *p; p++)
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) *p = '?';
}

static void TimeLine(const FILETIME &t, char *text, int size) {
  SYSTEMTIME u;
  if (FileTimeToSystemTime(&t, &u))
    snprintf(text, static_cast<size_t>(size), "%04u-%02u-%02u %02u:%02u:%02u UTC", u.wYear, u.wMonth, u.wDay, u.wHour,
             u.wMinute, u.wSecond);
  else
    snprintf(text, static_cast<size_t>(size), "%s", "(unknown)");
}

static int CheckChain(PlatformTlsSession *s, PCCERT_CONTEXT peer);

// The library's own check of the peer's certificate: 0 or an error result.
// A resumed session shows the certificate of its first handshake, which is
// checked again here: the verdict never rests on Schannel's cache.
static int CheckPeer(PlatformTlsSession *s) {
  PCCERT_CONTEXT peer = nullptr;
  if (QueryContextAttributesA(&s->Ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) != SEC_E_OK || !peer) {
    snprintf(s->Failure, sizeof s->Failure, "%s", "no certificate");
    return s->Verify ? TlsCertRejected : 0;
  }
  CertNameToStrA(X509_ASN_ENCODING, &peer->pCertInfo->Subject, CERT_X500_NAME_STR, s->Subject, sizeof s->Subject);
  const int rc = s->Verify ? CheckChain(s, peer) : 0;
  char subject[300], issuer[300], from[48], until[48], verdict[200];
  NameLine(&peer->pCertInfo->Subject, subject, sizeof subject);
  NameLine(&peer->pCertInfo->Issuer, issuer, sizeof issuer);
  TimeLine(peer->pCertInfo->NotBefore, from, sizeof from);
  TimeLine(peer->pCertInfo->NotAfter, until, sizeof until);
  if (!s->Verify) snprintf(verdict, sizeof verdict, "%s", "no (not checked: KEL_TLS_VERIFY 0)");
  else if (rc) snprintf(verdict, sizeof verdict, "no (%s)", s->Failure);
  else snprintf(verdict, sizeof verdict, "%s", "yes");
  snprintf(s->Detail, sizeof s->Detail,
           "subject: %s\r\nissuer: %s\r\nnot before: %s\r\nnot after: %s\r\nverified: %s\r\n", subject, issuer, from,
           until, verdict);
  CertFreeCertificateContext(peer);
  return rc;
}

// The chain and the name: 0 or an error result, the reason in Failure.
static int CheckChain(PlatformTlsSession *s, PCCERT_CONTEXT peer) {
  HCERTSTORE more = peer->hCertStore;
  HCERTSTORE collection = nullptr;
  if (s->Roots) {
    collection = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (collection) {
      CertAddStoreToCollection(collection, s->Roots, 0, 0);
      CertAddStoreToCollection(collection, peer->hCertStore, 0, 0);
      more = collection;
    }
  }
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  int rc = 0;
  if (!CertGetCertificateChain(nullptr, peer, nullptr, more, &para, 0, nullptr, &chain) || !chain) {
    snprintf(s->Failure, sizeof s->Failure, "%s", "no chain");
    rc = TlsCertRejected;
  } else {
    DWORD status = chain->TrustStatus.dwErrorStatus;
    if (s->Roots) {
      // Trusted only through the file: its last element must be one of the file's roots.
      const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[0];
      PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
      if (RootFromFile(s->Roots, root)) status &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
      else status |= CERT_TRUST_IS_UNTRUSTED_ROOT;
    }
    // Revocation cannot be learnt offline; it is not part of this check.
    status &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
      snprintf(s->Failure, sizeof s->Failure, "%s", "certificate has expired or is not yet valid");
      rc = TlsCertExpired;
    } else if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
      snprintf(s->Failure, sizeof s->Failure, "%s", "unable to get local issuer certificate");
      rc = TlsUnknownIssuer;
    } else if (status != 0) {
      snprintf(s->Failure, sizeof s->Failure, "chain error 0x%lx", static_cast<unsigned long>(status));
      rc = TlsCertRejected;
    } else if (s->Address.Family) {
      if (!AddressInCertificate(peer, s->Address)) {
        snprintf(s->Failure, sizeof s->Failure, "%s", "IP address mismatch");
        rc = TlsNameMismatch;
      }
    } else {
      wchar_t name[256];
      MultiByteToWideChar(CP_ACP, 0, s->Host, -1, name, 256);
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{};
      extra.cbSize = sizeof extra;
      extra.dwAuthType = AUTHTYPE_SERVER;
      extra.fdwChecks = 0x00000100 | 0x00000080;  // the root and revocation were judged above
      extra.pwszServerName = name;
      CERT_CHAIN_POLICY_PARA policy{};
      policy.cbSize = sizeof policy;
      policy.pvExtraPolicyPara = &extra;
      CERT_CHAIN_POLICY_STATUS result{};
      result.cbSize = sizeof result;
      if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
        snprintf(s->Failure, sizeof s->Failure, "%s", "policy check failed");
        rc = TlsCertRejected;
      } else if (static_cast<unsigned long>(result.dwError) == static_cast<unsigned long>(CERT_E_CN_NO_MATCH)) {
        snprintf(s->Failure, sizeof s->Failure, "%s", "hostname mismatch");
        rc = TlsNameMismatch;
      } else if (static_cast<unsigned long>(result.dwError) == static_cast<unsigned long>(CERT_E_EXPIRED)) {
        snprintf(s->Failure, sizeof s->Failure, "%s", "certificate has expired");
        rc = TlsCertExpired;
      } else if (result.dwError != 0) {
        snprintf(s->Failure, sizeof s->Failure, "policy error 0x%lx", static_cast<unsigned long>(result.dwError));
        rc = TlsCertRejected;
      }
    }
    CertFreeCertificateChain(chain);
  }
  if (collection) CertCloseStore(collection, 0);
  return rc;
}

static bool TakeToken(PlatformTlsSession *s, SecBuffer &token) {
  bool ok = true;
  if (token.pvBuffer && token.cbBuffer) ok = s->Out.Append(token.pvBuffer, static_cast<int>(token.cbBuffer));
  if (token.pvBuffer) FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
  return ok;
}

int PlatformTlsHandshake(PlatformTlsSession *s) {
  if (!s) return TlsHandshakeFailed;
  if (s->Done) return 1;
  for (;;) {
    if (s->HaveCtx && s->In.Size == 0) return s->PeerEnded ? TlsHandshakeFailed : 0;
    SecBuffer in[2] = {{static_cast<unsigned long>(s->In.Size), SECBUFFER_TOKEN, s->In.Data},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    unsigned long attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS st =
        InitializeSecurityContextA(&s->Cred, s->HaveCtx ? &s->Ctx : nullptr, TargetName(s), RequestFlags, 0, 0,
                                   s->HaveCtx ? &inDesc : nullptr, 0, &s->Ctx, &outDesc, &attributes, &expiry);
    const bool first = !s->HaveCtx;
    if (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED || st == SEC_E_INCOMPLETE_MESSAGE) s->HaveCtx = true;
    if (!TakeToken(s, out[0])) return TlsUnavailable;
    if (st == SEC_E_INCOMPLETE_MESSAGE) return s->PeerEnded ? TlsHandshakeFailed : 0;
    if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED) {
      snprintf(s->Failure, sizeof s->Failure, "handshake refused (0x%08lx)", static_cast<unsigned long>(st));
      return TlsHandshakeFailed;
    }
    if (!first) {
      if (in[1].BufferType == SECBUFFER_EXTRA) s->In.KeepLast(static_cast<int>(in[1].cbBuffer));
      else s->In.Size = 0;
    }
    if (st == SEC_I_CONTINUE_NEEDED) {
      if (first || s->In.Size == 0) return 0;
      continue;
    }
    if (QueryContextAttributesA(&s->Ctx, SECPKG_ATTR_STREAM_SIZES, &s->Sizes) != SEC_E_OK) return TlsHandshakeFailed;
    if (int rc = CheckPeer(s)) return rc;
    s->Done = true;
    return 1;
  }
}

int PlatformTlsFeed(PlatformTlsSession *s, const void *data, int count) {
  if (!s) return TlsHandshakeFailed;
  if (count <= 0) {
    s->PeerEnded = true;
    return 0;
  }
  return s->In.Append(data, count) ? 0 : TlsUnavailable;
}

int PlatformTlsOutputSize(PlatformTlsSession *s) { return s ? s->Out.Size : 0; }

int PlatformTlsOutput(PlatformTlsSession *s, void *buffer, int size) {
  if (!s || size < 1 || s->Out.Size == 0) return 0;
  const int n = s->Out.Size < size ? s->Out.Size : size;
  memcpy(buffer, s->Out.Data, static_cast<size_t>(n));
  s->Out.Take(n);
  return n;
}

int PlatformTlsEncrypt(PlatformTlsSession *s, const void *data, int count) {
  if (!s || !s->Done || s->Closed) return TlsProtocolError;
  const char *p = static_cast<const char *>(data);
  const int header = static_cast<int>(s->Sizes.cbHeader), trailer = static_cast<int>(s->Sizes.cbTrailer);
  const int most = static_cast<int>(s->Sizes.cbMaximumMessage);
  for (int left = count; left > 0;) {
    const int n = left < most ? left : most;
    if (!s->Out.Reserve(header + n + trailer)) return TlsUnavailable;
    char *at = s->Out.Data + s->Out.Size;
    memcpy(at + header, p, static_cast<size_t>(n));
    SecBuffer b[4] = {{static_cast<unsigned long>(header), SECBUFFER_STREAM_HEADER, at},
                      {static_cast<unsigned long>(n), SECBUFFER_DATA, at + header},
                      {static_cast<unsigned long>(trailer), SECBUFFER_STREAM_TRAILER, at + header + n},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc d = {SECBUFFER_VERSION, 4, b};
    if (EncryptMessage(&s->Ctx, 0, &d, 0) != SEC_E_OK) return TlsProtocolError;
    s->Out.Size += static_cast<int>(b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
    p += n;
    left -= n;
  }
  return count;
}

// Decrypts what has arrived into Plain: 1 progress, 0 more input needed,
// -1 closed, or an error result.
static int DecryptSome(PlatformTlsSession *s) {
  if (s->Closed) return -1;
  if (s->In.Size == 0) return s->PeerEnded ? -1 : 0;
  SecBuffer b[4] = {{static_cast<unsigned long>(s->In.Size), SECBUFFER_DATA, s->In.Data},
                    {0, SECBUFFER_EMPTY, nullptr},
                    {0, SECBUFFER_EMPTY, nullptr},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc d = {SECBUFFER_VERSION, 4, b};
  const SECURITY_STATUS st = DecryptMessage(&s->Ctx, &d, 0, nullptr);
  if (st == SEC_E_INCOMPLETE_MESSAGE) return s->PeerEnded ? -1 : 0;
  if (st == SEC_I_CONTEXT_EXPIRED) {  // close_notify
    s->Closed = true;
    return -1;
  }
  if (st != SEC_E_OK) return TlsProtocolError;
  int extra = 0;
  for (SecBuffer &x : b) {
    if (x.BufferType == SECBUFFER_DATA && x.cbBuffer && !s->Plain.Append(x.pvBuffer, static_cast<int>(x.cbBuffer)))
      return TlsUnavailable;
    if (x.BufferType == SECBUFFER_EXTRA) extra = static_cast<int>(x.cbBuffer);
  }
  // The plaintext was decrypted in place inside In: it has been copied out before In moves.
  s->In.KeepLast(extra);
  return 1;
}

int PlatformTlsDecrypt(PlatformTlsSession *s, void *buffer, int size) {
  if (!s) return TlsProtocolError;
  if (size < 1) return 0;
  while (s->Plain.Size == 0) {
    const int rc = DecryptSome(s);
    if (rc != 1) return rc;
  }
  const int n = s->Plain.Size < size ? s->Plain.Size : size;
  memcpy(buffer, s->Plain.Data, static_cast<size_t>(n));
  s->Plain.Take(n);
  return n;
}

int PlatformTlsPoll(PlatformTlsSession *s) {
  if (!s) return TlsProtocolError;
  while (s->Plain.Size == 0) {
    const int rc = DecryptSome(s);
    if (rc != 1) return rc;
  }
  return 1;
}

void PlatformTlsClose(PlatformTlsSession *s) {
  if (!s || !s->HaveCtx || s->Closed) return;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer token = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc desc = {SECBUFFER_VERSION, 1, &token};
  if (ApplyControlToken(&s->Ctx, &desc) != SEC_E_OK) return;
  SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
  unsigned long attributes = 0;
  TimeStamp expiry;
  InitializeSecurityContextA(&s->Cred, &s->Ctx, TargetName(s), RequestFlags, 0, 0, nullptr, 0, &s->Ctx, &outDesc,
                             &attributes, &expiry);
  TakeToken(s, out[0]);
  s->Closed = true;
}

int PlatformTlsDescribe(PlatformTlsSession *s, int what, char *buffer, int size) {
  if (!buffer || size < 1) return 0;
  buffer[0] = 0;
  if (!s) return 0;
  int n = 0;
  if (what == 0) {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesA(&s->Ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return 0;
    const char *protocol = (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) ? "TLSv1.2"
                           : (info.dwProtocol & SP_PROT_TLS1_1_CLIENT) ? "TLSv1.1"
                                                                        : "TLS";
    n = snprintf(buffer, static_cast<size_t>(size), "%s cipher 0x%lx (%lu bits)", protocol,
                 static_cast<unsigned long>(info.aiCipher), static_cast<unsigned long>(info.dwCipherStrength));
  } else if (what == 1) {
    n = snprintf(buffer, static_cast<size_t>(size), "%s", s->Subject[0] ? s->Subject : "(no certificate)");
  } else if (what == 2) {
    n = snprintf(buffer, static_cast<size_t>(size), "%s", s->Failure[0] ? s->Failure : s->Verify ? "ok" : "not checked");
  } else if (what == 3) {
    ResumeInfo info{};
    if (s->Done && QueryContextAttributesA(&s->Ctx, SessionInfoAttribute, &info) == SEC_E_OK && (info.Flags & 1))
      n = snprintf(buffer, static_cast<size_t>(size), "%s", "resumed");
  } else if (what == 4) {
    n = snprintf(buffer, static_cast<size_t>(size), "%s", s->Detail);
  }
  if (n < 0) n = 0;
  return n < size ? n : size - 1;
}

#endif  // _WIN32
