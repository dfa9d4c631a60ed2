// Error texts and the diagnostic calls kelErrorText, kelDebug and
// kelStatistics.
#include <cstdlib>
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/sasl.h"
#include "../core/channel.h"
#include "../net/socket.h"
#include "../net/tls.h"

struct ErrorEntry {
  int Code;
  const char *Text;
};

// Searched from the front; the entry 999 ends the table.
static const ErrorEntry ErrorTable[] = {
    {0, "Cannot comply"},
    {-1, "Socket has been closed."},
    {-4, "WINSOCK is currently blocking."},
    {-5, "Bad status flag passed to kelStatus."},
    {-7, "Invalid socket."},
    {-8, "Socket timed out."},
    {-9, "No available sockaddr structures."},
    {-12, "No host name."},
    {-18, "Cannot create socket."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-34, "Cannot access WINSOCK"},
    {-35, "Cannot open file."},
    {-36, "Error attempting to connect."},
    {-37, "EMPTY email address."},
    {-38, "FromPtr is NULL."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-44, "Not connected to server"},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-47, "Unexpected NULL pointer."},
    {-48, "ToPtr is NULL."},
    {-49, "SMTP returned error."},
    {-50, "SMTP/POP3 server not specified."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-55, "Cannot allocate memory."},
    {-56, "Illegal chars in server name."},
    {-57, "APOP timestamp missing."},
    {-58, "SMTP function ONLY."},
    {-59, "POP3 function ONLY."},
    {-61, "USER name not specified."},
    {-62, "PASSWORD not specified."},
    {-63, "POP3 returned error."},
    {-64, "No such message number."},
    {-65, "Missing filename."},
    {-66, "Missing email path."},
    {-67, "Cannot create file."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-70, "Missing path for attachments."},
    {-71, "Must call kelAttach first."},
    {-72, "Already attached."},
    {-73, "Channel out of range."},
    {-74, "Bad argument to kelWait."},
    {-76, "Authentication mechanism not offered by server."},
    {-77, "Bad character in user name, password or token."},
    {-78, "No recipient was accepted."},
    {-79, "Some recipients were refused."},
    {-80, "OAuth token not set."},
    {-81, "Authentication mechanism not available for POP3."},
    {-84, "SMTP reply not understood."},
    {-85, "POP3 reply not understood."},
    {-86, "Email address too long for its command line."},
    {-90, "TLS handshake failed."},
    {-91, "TLS certificate not trusted (unknown issuer)."},
    {-92, "TLS certificate expired or not yet valid."},
    {-93, "TLS certificate does not match the server name."},
    {-94, "TLS certificate rejected."},
    {-95, "Server does not offer STARTTLS/STLS."},
    {-96, "Plain text received before the TLS handshake."},
    {-97, "Cannot read the TLS CA file."},
    {-98, "TLS is not available."},
    {-99, "TLS protocol error."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {999, nullptr},
};

static const char *ErrorTextOf(int code) {
  for (const ErrorEntry *e = ErrorTable; e->Code != 999; e++)
    if (e->Code == code) return e->Text;
  return nullptr;
}

// Appends text to buffer (holding length characters) within size; returns the new length.
static int AppendBounded(char *buffer, int length, int size, const char *text) {
  while (*text && length < size - 1) buffer[length++] = *text++;
  buffer[length] = 0;
  return length;
}

extern "C" int KEL_CALL kelErrorText(unsigned channel, int code, char *buffer, int size) {
  if (int rc = CheckChannel(channel)) return rc;
  if (!buffer || size < 1) return 0;
  buffer[0] = 0;
  const char *text = ErrorTextOf(code);
  if (!text) return 0;
  int length = AppendBounded(buffer, 0, size, text);
  // The server's whole reply explains these failures (for -78 the refusal
  // of the last recipient).
  if (code == -49 || code == -63 || code == -36 || code == -78 || code == -84 || code == -85) {
    length = AppendBounded(buffer, length, size, " ");
    length = AppendBounded(buffer, length, size, ChannelOf(channel)->Response);
  }
  return length;
}

static int CopyOut(char *buffer, int size, const char *text, int limit = 1 << 30) {
  int n = 0;
  while (n < size - 1 && n < limit && text[n]) {
    buffer[n] = text[n];
    n++;
  }
  if (size > 0) buffer[n] = 0;
  return n;
}

// Verifies every block of the slot table; a damaged guard byte is shown in a box.
static void MemoryCheck() {
  char text[128];
  for (int i = 0; i < SlotCount; i++) {
    if (!MemorySlotTable[i].Handle) continue;
    if (CheckSlot(i) == MemGuardDamaged) {
      FormatLine(text, sizeof text, "Memory Corrupted (%s): ID=%d Err=%d", "kelDebug", i, MemGuardDamaged);
      PlatformMessageBox(text, "Info", 0x2030);
    }
  }
}

extern "C" int KEL_CALL kelDebug(unsigned channel, int code, char *buffer, int size) {
  if (channel == static_cast<unsigned>(-2)) {
    MemoryCheck();
    return 0;
  }
  if (!buffer) return 0;
  if (size > 0) buffer[0] = 0;
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  switch (code) {
    case KEL_DEBUG_DATE:
      FormatDateLine(ch.TextBuf, sizeof ch.TextBuf);
      CopyOut(buffer, size, ch.TextBuf);
      return 0;
    case KEL_DEBUG_LAST_REPLY: {
      CopyOut(buffer, size, ch.LastReply, 128);
      int length = static_cast<int>(strnlen(ch.LastReply, sizeof ch.LastReply));
      if (length > 2 && ch.LastReply[length - 2] == '\r' && ch.LastReply[length - 1] == '\n') return length - 2;
      return length;
    }
    case KEL_DEBUG_SERVER_IP:
      if (size < 17) return 0;
      return FormatDottedAddress(ch.ServerAddr, buffer, size);
    case KEL_DEBUG_LOCAL_IP: {
      if (size < 17) return 0;
      uint8_t *address = ChannelTable[channel].SocketAddress;
      if (PlatformSocketLocalAddress(ch.Socket, address) != 0) return 0;
      uint32_t a = (uint32_t(address[4]) << 24) | (uint32_t(address[5]) << 16) | (uint32_t(address[6]) << 8) |
                   address[7];
      return FormatDottedAddress(a, buffer, size);
    }
    case KEL_DEBUG_ATTACH_LIST: return CopyOut(buffer, size, ch.AttachList);
    case KEL_DEBUG_LAST_RECIPIENT: return CopyOut(buffer, size, ch.LastRecipient);
    case KEL_DEBUG_REFUSED_LIST: return CopyOut(buffer, size, ch.RefusedList);
    case KEL_DEBUG_AUTH_MECHANISM: return CopyOut(buffer, size, SaslName(ch.AuthChosen));
    case KEL_DEBUG_TLS_INFO: return CopyOut(buffer, size, ch.TlsInfo);
    case KEL_DEBUG_TLS_PEER: return CopyOut(buffer, size, ch.TlsPeer);
    case KEL_DEBUG_LINES_BUFFER: {
      uint32_t slotSize = 0;
      char *lines = SlotBlock(channel, 8, &slotSize);
      if (!lines) return -47;
      return CopyOut(buffer, size, lines, static_cast<int>(slotSize));
    }
    default:
      CopyOut(buffer, size, "?");
      return 0;
  }
}

extern "C" int KEL_CALL kelStatistics(unsigned channel, int code) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  switch (code) {
    case KEL_STAT_STEP_COUNT: return static_cast<int>(ch.StepCount);
    case KEL_STAT_REPLY_CODE: return ch.ReplyCode;
    case KEL_STAT_SOCK_CODE: return ch.SockCode;
    case KEL_STAT_BODY_READ: return static_cast<int>(ch.BodyBytesRead);
    case KEL_STAT_ATTACH_READ: return static_cast<int>(ch.AttachBytesRead);
    case KEL_STAT_TOTAL_READ: return static_cast<int>(ch.BodyBytesRead + ch.AttachBytesRead);
    case KEL_STAT_BODY_SENT: return static_cast<int>(ch.BodyBytesSent);
    case KEL_STAT_ATTACH_SENT: return static_cast<int>(ch.AttachBytesSent);
    case KEL_STAT_TOTAL_SENT: return static_cast<int>(ch.BodyBytesSent + ch.AttachBytesSent);
    case KEL_STAT_VERSION: return LibraryVersion;
    case KEL_STAT_EMAIL_COUNT: return ch.EmailCount;
    case KEL_STAT_EMAIL_SIZE: return ch.EmailSize;
    case KEL_STAT_BUFFER_USED: return ch.BufferUsed;
    case KEL_STAT_SOCKET_STATE:
      if (SocketReady(ch, 3) == 1) return -36;
      return SocketReady(ch, 2) == 1 ? 1 : 0;
    case KEL_STAT_ATTACH_COUNT: return ch.AttachCount;
    case KEL_STAT_VRFY_RESULT: return ch.VrfyResult;
    case KEL_STAT_BUILD: return LibraryBuild;
    case KEL_STAT_SOCKET: return ch.Socket;
    case KEL_STAT_REFUSED_COUNT: return ch.RefusedCount;
    case KEL_STAT_ACCEPTED_COUNT: return ch.AcceptedCount;
    case KEL_STAT_OUTPUT_PENDING: return OutputPending(ch);
    case KEL_STAT_PIPELINING: return ch.ServerPipelining;
    case KEL_STAT_TLS: return TlsActive(ch) ? 1 : 0;
    default: return -1;
  }
}
