// The connection states, shared by SMTP and POP3: from a server name to an
// established TCP connection, then on to AfterConnectState.
#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../net/socket.h"
#include "driver.h"

int LocalHostName(Channel &ch, Tick) {
  ch.SendLine[0] = 0;
  GetLocalHostName(ch.Response, 2048);  // only logged
  LogLine(ch, "LocalHost = '%s'\r\n", ch.Response);
  ch.NextState = State::LocateServer;
  return 0;
}

int LocateServer(Channel &ch, Tick) {
  LogLine(ch, "Server = '%s'\r\n", ch.Server);
  if (ch.Proxy.Kind) {
    // The connection goes to the proxy; the mail server's name is the proxy's to resolve.
    LogLine(ch, "Proxy = '%s:%d'\r\n", ch.Proxy.Host, ch.Proxy.Port);
    int rc = ResolveHost(ch, ch.Proxy.Host);
    if (rc < 1) return driverFail(ch, rc, Err::ProxyNotFound);
  } else if (IsDottedAddress(ch.Server)) {
    SetServerAddress(ch, ParseDottedAddress(ch.Server));
  } else {
    int rc = ResolveServer(ch);
    if (rc < 1) return driverFail(ch, rc, Err::ServerNotFound);
  }
  ch.NextState = State::BeginConnect;
  if (ch.LogHandle) {
    char address[64];
    PlatformFormatAddress(ch.Addresses.List[0], address, sizeof address);
    LogLine(ch, "ServerIP = %s\r\n", address);
    for (int i = 1; i < ch.Addresses.Count; i++) {
      PlatformFormatAddress(ch.Addresses.List[i], address, sizeof address);
      LogLine(ch, "ServerIP %d = %s\r\n", i + 1, address);
    }
  }
  return 0;
}

// The connect time of one address while others remain: an equal share of
// what the connect time-out leaves, so that every address gets its turn
// and the whole never takes longer than the time-out (the idea of
// RFC 8305, one address after the other).
static uint32_t ConnectShare(const Channel &ch) {
  const int left = ch.Addresses.Count - ch.Addresses.Index;
  return left > 1 ? Settings.ConnectTimeout / static_cast<uint32_t>(left) : Settings.ConnectTimeout;
}

static bool MoreAddresses(const Channel &ch) { return ch.Addresses.Index + 1 < ch.Addresses.Count; }

// Gives up the address being tried and goes on with the next one.
static int NextAddress(Channel &ch, Tick now, const char *why, int code) {
  char tried[64], next[64];
  PlatformFormatAddress(ch.Addresses.List[ch.Addresses.Index], tried, sizeof tried);
  PlatformFormatAddress(ch.Addresses.List[ch.Addresses.Index + 1], next, sizeof next);
  LogLine(ch, "[%s: %s (%d), trying %s]\r\n", tried, why, code, next);
  CloseChannelSocket(ch);
  UseServerAddress(ch, ch.Addresses.Index + 1);
  SetTiming(ch, now, 0, Settings.ConnectTimeout);
  ch.NextState = State::BeginConnect;
  return 0;
}

int BeginConnect(Channel &ch, Tick now) {
  if (ch.Addresses.Count == 0) SetServerAddress(ch, ch.ServerAddr);  // an address set without LocateServer
  const PlatformAddress &to = ch.Addresses.List[ch.Addresses.Index];
  int s = OpenSocket(ch.ChannelNumber, to.Family);
  if (s == Err::InvalidSocket) {
    if (MoreAddresses(ch)) return NextAddress(ch, now, "no socket for this address family", s);
    // Not an error exit: the channel stays in this state and may try again.
    ch.ThisState = -1;
    return Err::InvalidSocket;
  }
  if (s < 0) return driverFail(ch, s, Err::CannotCreateSocket);
  int rc = ConnectSocket(ch.ChannelNumber, to, ch.Proxy.Kind ? ch.Proxy.Port : ch.Port);
  if (rc < 0 && MoreAddresses(ch)) return NextAddress(ch, now, "connect failed", rc);
  if (rc < 0) return driverFail(ch, rc, Err::Connect);
  SetTiming(ch, now, Settings.StepDelay, MoreAddresses(ch) ? ConnectShare(ch) : Settings.ConnectTimeout);
  ch.NextState = State::AwaitConnect;
  return 0;
}

bool ConnectMayMoveOn(const Channel &ch) { return ch.NextState == State::AwaitConnect && MoreAddresses(ch); }

int AwaitConnect(Channel &ch, Tick now) {
  if (SocketReady(ch, ReadyException) == 1) {
    if (MoreAddresses(ch)) return NextAddress(ch, now, "connect failed", Err::Connect);
    return driverFail(ch, 0, Err::Connect);
  }
  if (SocketReady(ch, ReadyWritable) != 1) {
    // This address's share of the connect time is over: the next one.
    if (MoreAddresses(ch) && TickAfter(now, ch.Deadline)) return NextAddress(ch, now, "no answer in time", Err::Timeout);
    ch.IdleWait = ReadyWritable;
    return 0;
  }
  if (ch.NonBlockArg) {
    // From here on the session runs on a blocking socket guarded by the polls.
    ch.NonBlockArg = 0;
    PlatformSocketSetNonBlocking(ch.Socket, false);
  }
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  if (ch.Proxy.Kind) return StartProxy(ch);
  return TunnelReady(ch, now);
}

int TunnelReady(Channel &ch, Tick now) {
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = ch.AfterConnectState;
  if (ch.TlsMode == KEL_TLS_IMPLICIT) {  // implicit TLS: the handshake comes before the greeting
    ch.TlsAfterState = ch.AfterConnectState;
    ch.NextState = State::TlsBegin;
  }
  return 0;
}
