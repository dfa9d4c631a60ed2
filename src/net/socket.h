// The socket layer: name resolution, connect, zero-time readiness tests,
// bounded waits, send, close, and two small text routines shared by the
// reply handling, the POP3 states and the decoder.
#pragma once

#include <cstdint>

#include "../core/channel.h"

int IsDottedAddress(const char *text);
uint32_t ParseDottedAddress(const char *text);
int FormatDottedAddress(uint32_t address, char *buffer, int size);
// The server's addresses into ch.Addresses.List: 1, 0 (none) or the
// negated resolver error. The first becomes the one in use.
int ResolveServer(Channel &ch);
// The same for another host (the proxy the connection goes through).
int ResolveHost(Channel &ch, const char *host);
// Makes address index the one in use (ServerAddr is its IPv4 form, or 0).
void UseServerAddress(Channel &ch, int index);
// One IPv4 address (host order) as the whole list.
void SetServerAddress(Channel &ch, uint32_t address);
int OpenSocket(uint32_t channel, int family = 4);
int ConnectSocket(uint32_t channel, const PlatformAddress &address, uint16_t port);
int ConnectSocket(uint32_t channel, uint32_t addressHostOrder, uint16_t port);  // IPv4
// The readiness rule of a channel: received bytes held by the channel
// count as readable (kind 1) without a socket call. kinds: 1 readable,
// 2 writable, 3 exception.
int SocketReady(Channel &ch, int kind);
// Bytes received and held for the readers, not yet in the ring: the
// channel's pending input, which also counts as readable.
int PendingInput(const Channel &ch);
// All received bytes a reader can take without a socket call (ring and pending input).
int InputHeld(Channel &ch);
int PollReadable(PlatformSocket s);
// Receives from the channel's peer, through its TLS layer when it has one
// (plain text), as PlatformSocketRecv does.
int ReceiveBytes(Channel &ch, void *buffer, int count);
int AwaitWritable(Channel &ch, uint32_t ms);
int AwaitReadable(Channel &ch, uint32_t ms);
// The output buffer. Every byte that leaves goes through TransportSend.
int TransportSend(Channel &ch, const char *bytes, int count, bool wait);
int OutputPending(const Channel &ch);
// Hands held bytes to the socket: 1 all gone, 0 some wait for room (only
// without wait), or the socket's error (the bytes are then dropped).
int FlushOutput(Channel &ch, bool wait);
void DropOutput(Channel &ch);
// Appends to the output buffer (see socket.cpp for when bytes leave):
// count, or the error of a send that made room or flushed.
int SendBytes(Channel &ch, const void *bytes, int count);
int SendText(Channel &ch, const char *text);
// text must have room for CR, LF and a NUL behind it; it is left unchanged.
int SendTextLine(Channel &ch, char *text);
int CloseSocket(Channel &ch);
void CloseChannelSocket(Channel &ch);
int GetLocalHostName(char *buffer, int size);
uint32_t ParseDecimal(const char *text);
