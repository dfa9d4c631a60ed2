// The socket layer: name resolution, connect, zero-time readiness tests,
// bounded waits, send, close, and two small text routines shared by the
// reply handling, the POP3 states and the decoder.
#pragma once

#include <cstdint>

#include "../core/channel.h"

int IsDottedAddress(const char *text);
uint32_t ParseDottedAddress(const char *text);
int FormatDottedAddress(uint32_t address, char *buffer, int size);
int ResolveServer(Channel &ch);
int OpenSocket(uint32_t channel);
int ConnectSocket(uint32_t channel, uint32_t address, uint16_t port);
int SocketReady(Channel &ch, int kind);   // kinds: 1 readable, 2 writable, 3 exception
int PollReadable(PlatformSocket s);
// The channel's peer, through its TLS layer when it has one: readable means
// plaintext to read; receiving works as PlatformSocketRecv.
int PeerReadable(Channel &ch);
int ReceiveBytes(Channel &ch, void *buffer, int count);
int AwaitWritable(Channel &ch, uint32_t ms);
int AwaitReadable(Channel &ch, uint32_t ms);
int SendBytes(Channel &ch, const void *bytes, int count);
int SendText(Channel &ch, const char *text);
// text must have room for CR, LF and a NUL behind it; it is left unchanged.
int SendTextLine(Channel &ch, char *text);
int CloseSocket(Channel &ch);
void CloseChannelSocket(Channel &ch);
int GetLocalHostName(char *buffer, int size);
uint32_t ParseDecimal(const char *text);
const char *FileNameOf(const char *path);
