// TLS on a channel's connection. The socket stays in blocking mode after
// the connect, as for plain text, and is only read once a readiness test
// said so; so a send hands all its ciphertext to the socket before it
// returns, and what waits in the engine's output is never more than one
// call's records: that is the cap on queued ciphertext.
#include "tls.h"

#include <cstring>

#include "../core/errors.h"
#include "socket.h"

struct TlsLink {
  uintptr_t Block;            // the zero-filled block this link lives in
  PlatformTlsSession *Session;
  int Ready;                  // the handshake is done
  int PeerEnded;              // the peer's end of the stream has been fed to the engine
  int AfterPlainText;         // STARTTLS/STLS: the first byte must begin a TLS record
  int Fed;                    // ciphertext has been received
  int Gathered;               // plaintext bytes waiting in Gather
  char Gather[TlsRecordGather];
  char Cipher[TlsRecordGather + 2048];  // ciphertext on its way in or out
};

int TlsStart(Channel &ch, bool afterPlainText) {
  TlsDrop(ch);
  const uintptr_t block = PlatformBlockAlloc(sizeof(TlsLink));
  if (!block) return Err::NoMemory;
  auto *t = static_cast<TlsLink *>(PlatformBlockLock(block));
  t->Block = block;
  const char *host = ch.TlsServerName[0] ? ch.TlsServerName : ch.Server;
  int error = 0;
  t->Session = PlatformTlsNew(host, ch.TlsCaFile[0] ? ch.TlsCaFile : nullptr, ch.TlsNoVerify ? 0 : 1, &error);
  if (!t->Session) {
    PlatformBlockUnlock(block);
    PlatformBlockFree(block);
    return error ? error : TlsUnavailable;
  }
  t->AfterPlainText = afterPlainText ? 1 : 0;
  PlatformTlsOfferSession(t->Session, ch.Port);
  ch.Tls = t;
  return 0;
}

void TlsDrop(Channel &ch) {
  TlsLink *t = ch.Tls;
  if (!t) return;
  ch.Tls = nullptr;
  PlatformTlsFree(t->Session);
  const uintptr_t block = t->Block;
  PlatformBlockUnlock(block);
  PlatformBlockFree(block);
}

// Hands every byte of the engine's output to the socket: 0, or the socket's error.
static int Flush(Channel &ch, TlsLink &t) {
  int waited = 0;
  while (PlatformTlsOutputSize(t.Session) > 0) {
    const int n = PlatformTlsOutput(t.Session, t.Cipher, static_cast<int>(sizeof t.Cipher));
    int done = 0;
    while (done < n) {
      const int sent = PlatformSocketSend(ch.Socket, t.Cipher + done, n - done);
      if (sent == Err::SockWouldBlock && waited < static_cast<int>(Settings.SendTimeout)) {
        // Only a socket left non-blocking gets here: wait for room, within the send time-out.
        PlatformSocketWait(ch.Socket, ReadyWritable, 100);
        waited += 100;
        continue;
      }
      if (sent < 0) return sent;
      done += sent;
    }
  }
  return 0;
}

// One receive of ciphertext into the engine, when the socket has some.
// 1 fed, 0 nothing there, or the socket's error (the end is fed then too).
static int FeedOnce(Channel &ch, TlsLink &t) {
  if (t.PeerEnded || PollReadable(ch.Socket) != 1) return 0;
  const int n = PlatformSocketRecv(ch.Socket, t.Cipher, static_cast<int>(sizeof t.Cipher));
  if (n > 0 && !t.Fed) {
    t.Fed = 1;
    // Records begin with their type: change_cipher_spec, alert, handshake or
    // application data (20 to 23). Anything else is plain text.
    const unsigned char type = static_cast<unsigned char>(t.Cipher[0]);
    if (t.AfterPlainText && (type < 20 || type > 23)) return Err::TlsInjection;
  }
  if (n > 0) return PlatformTlsFeed(t.Session, t.Cipher, n) < 0 ? TlsProtocolError : 1;
  t.PeerEnded = 1;
  PlatformTlsFeed(t.Session, nullptr, 0);
  return n < 0 ? n : 1;
}

// A few rounds of records a step at most: a handshake takes one to three.
constexpr int RoundsPerStep = 4;

int TlsHandshakeStep(Channel &ch) {
  TlsLink *t = ch.Tls;
  if (!t) return TlsHandshakeFailed;
  for (int round = 0; round < RoundsPerStep; round++) {
    const int rc = PlatformTlsHandshake(t->Session);
    // What the engine has to say (a flight, or an alert) goes out first.
    const int sent = Flush(ch, *t);
    if (rc == 1) {
      if (sent < 0) return sent;
      t->Ready = 1;
      return 1;
    }
    if (rc < 0) return rc;
    if (sent < 0) return sent;
    if (t->PeerEnded) return TlsHandshakeFailed;
    const int fed = FeedOnce(ch, *t);
    if (fed < 0) return fed;
    if (fed == 0) return 0;
  }
  return 0;
}

// Encrypts the gathered plaintext: 0 or an error.
static int Seal(TlsLink &t) {
  if (t.Gathered == 0) return 0;
  const int rc = PlatformTlsEncrypt(t.Session, t.Gather, t.Gathered);
  t.Gathered = 0;
  return rc < 0 ? rc : 0;
}

int TlsSend(Channel &ch, const void *bytes, int count, bool more) {
  TlsLink *t = ch.Tls;
  if (!t || !t->Ready) return Err::SockNotConnected;
  if (count < 0) return Err::SockInvalid;
  const int room = TlsRecordGather - t->Gathered;
  if (count > room)
    if (int rc = Seal(*t)) return rc;
  if (count <= TlsRecordGather - t->Gathered) {
    memcpy(t->Gather + t->Gathered, bytes, static_cast<size_t>(count));
    t->Gathered += count;
  } else if (int rc = PlatformTlsEncrypt(t->Session, bytes, count); rc < 0) {
    return rc;
  }
  if (!more)
    if (int rc = Seal(*t)) return rc;
  if (int rc = Flush(ch, *t)) return rc;
  return count;
}

int TlsReceive(Channel &ch, void *buffer, int count) {
  TlsLink *t = ch.Tls;
  if (!t || !t->Ready) return Err::SockNotConnected;
  for (int round = 0; round < RoundsPerStep; round++) {
    const int n = PlatformTlsDecrypt(t->Session, buffer, count);
    if (n > 0) return n;
    if (n == -1) return 0;  // closed by the peer
    if (n < 0) return n;
    if (t->PeerEnded) return 0;
    const int fed = FeedOnce(ch, *t);
    if (fed < 0) return fed;
    if (fed == 0) break;
  }
  // Only reached when called without a readiness test: nothing to give yet.
  return Err::SockWouldBlock;
}

int TlsReadable(Channel &ch) {
  TlsLink *t = ch.Tls;
  if (!t || !t->Ready) return PollReadable(ch.Socket);
  for (int round = 0; round < RoundsPerStep; round++) {
    if (PlatformTlsPoll(t->Session) != 0) return 1;  // data, the end, or an error to report
    if (t->PeerEnded) return 1;
    const int fed = FeedOnce(ch, *t);
    if (fed < 0) return 1;
    if (fed == 0) return 0;
  }
  return 0;
}

bool TlsActive(const Channel &ch) { return ch.Tls && ch.Tls->Ready; }

void TlsShutdown(Channel &ch) {
  TlsLink *t = ch.Tls;
  if (!t) return;
  if (t->Ready) {
    // Text still gathered belongs to a message that failed; only the alert goes.
    t->Gathered = 0;
    PlatformTlsClose(t->Session);
    Flush(ch, *t);
  }
  TlsDrop(ch);
}

int TlsDescribe(Channel &ch, int what, char *buffer, int size) {
  if (!ch.Tls) {
    if (buffer && size > 0) buffer[0] = 0;
    return 0;
  }
  return PlatformTlsDescribe(ch.Tls->Session, what, buffer, size);
}
