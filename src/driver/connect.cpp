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
  if (IsDottedAddress(ch.Server)) {
    ch.ServerAddr = ParseDottedAddress(ch.Server);
  } else {
    int rc = ResolveServer(ch);
    if (rc < 1) return driverFail(ch, rc, Err::ServerNotFound);
  }
  ch.NextState = State::BeginConnect;
  if (ch.LogHandle) {
    char address[20];
    FormatDottedAddress(ch.ServerAddr, address, sizeof address);
    LogLine(ch, "ServerIP = %s\r\n", address);
  }
  return 0;
}

int BeginConnect(Channel &ch, Tick now) {
  int s = OpenSocket(ch.ChannelNumber);
  if (s == Err::InvalidSocket) {
    // Not an error exit: the channel stays in this state and may try again.
    ch.ThisState = -1;
    return Err::InvalidSocket;
  }
  if (s < 0) return driverFail(ch, s, Err::CannotCreateSocket);
  int rc = ConnectSocket(ch.ChannelNumber, ch.ServerAddr, ch.Port);
  if (rc < 0) return driverFail(ch, rc, Err::Connect);
  SetTiming(ch, now, Settings.StepDelay, Settings.ConnectTimeout);
  ch.NextState = State::AwaitConnect;
  return 0;
}

int AwaitConnect(Channel &ch, Tick now) {
  if (SocketReady(ch, ReadyException) == 1) return driverFail(ch, 0, Err::Connect);
  if (SocketReady(ch, ReadyWritable) != 1) {
    ch.IdleWait = ReadyWritable;
    return 0;
  }
  if (ch.NonBlockConnect) {
    // From here on the session runs on a blocking socket guarded by the polls.
    ch.NonBlockArg = 0;
    PlatformSocketSetNonBlocking(ch.Socket, false);
  }
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = ch.AfterConnectState;
  if (ch.TlsMode == KEL_TLS_IMPLICIT) {  // implicit TLS: the handshake comes before the greeting
    ch.TlsAfterState = ch.AfterConnectState;
    ch.NextState = State::TlsBegin;
  }
  return 0;
}
