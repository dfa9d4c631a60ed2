// TLS on a channel's connection: the layer between the socket operations
// and the platform's TLS engine. Above it everything stays plain text (the
// ring, the line reader, every state, the log); below it every encrypted
// byte goes through the platform's send and receive.
#pragma once

#include "../core/channel.h"

// Message text sent with MoreToFollow is gathered into records of up to
// this many bytes instead of one record per line.
constexpr int TlsRecordGather = 16384;

// Opens a session for the connection (name checked: TlsServerName, else
// Server). 0, or an error code (-55, -97, -98). afterPlainText: the
// connection spoke plain text before (STARTTLS, STLS), so a first byte from
// the server that begins no TLS record is plain text sent after the
// go-ahead, refused with -96.
int TlsStart(Channel &ch, bool afterPlainText = false);
// One handshake step: 1 done, 0 waiting for the peer, a TLS error code
// (-90 to -99), or a socket error code (-10000 and below).
int TlsHandshakeStep(Channel &ch);
// The three places where the connection meets the socket:
// sends count bytes (all of them): count, or a negative code;
int TlsSend(Channel &ch, const void *bytes, int count, bool more);
// receives plaintext as PlatformSocketRecv does: bytes, 0 once the peer has
// closed, or a negative code;
int TlsReceive(Channel &ch, void *buffer, int count);
// readable: plaintext is held or has arrived (or the end, or an error, for
// the next receive to report); 1 or 0. Records without data are consumed.
int TlsReadable(Channel &ch);
// True once the handshake is done and until the connection closes.
bool TlsActive(const Channel &ch);
// Sends close_notify (once, not waiting for the peer's) and ends the session.
void TlsShutdown(Channel &ch);
// Ends the session without a word to the peer.
void TlsDrop(Channel &ch);
// The engine's text for the trace (0 protocol and cipher, 1 peer subject, 2 verification, 3 "resumed" or "",
// 4 the peer certificate's detail lines).
int TlsDescribe(Channel &ch, int what, char *buffer, int size);
