// Error texts and the diagnostic calls kelErrorText, kelDebug and
// kelStatistics.
#include <cstdlib>
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/sasl.h"
#include "../core/channel.h"
#include "../core/errors.h"
#include "../driver/driver.h"
#include "../net/socket.h"
#include "../net/tls.h"
#include "session.h"

extern "C" int KEL_CALL kelErrorText(unsigned channel, int code, char *buffer, int size) {
  if (int rc = CheckChannel(channel)) return rc;
  if (!buffer || size < 1) return 0;
  return FormatErrorText(*ChannelOf(channel), code, buffer, size);
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

// The channel's server address is an IPv6 one (IPv6 text forms, up to 45
// characters, then need a buffer that holds them).
static bool OnIpv6(const Channel &ch) {
  return ch.Addresses.Count > 0 && ch.Addresses.List[ch.Addresses.Index].Family == 6;
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
      if (OnIpv6(ch)) return PlatformFormatAddress(ch.Addresses.List[ch.Addresses.Index], buffer, size);
      return FormatDottedAddress(ch.ServerAddr, buffer, size);
    case KEL_DEBUG_LOCAL_IP: {
      if (size < 17) return 0;
      if (OnIpv6(ch)) {
        PlatformAddress local;
        if (PlatformSocketLocalAddressOf(ch.Socket, &local) != 0) return 0;
        return PlatformFormatAddress(local, buffer, size);
      }
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
    case KEL_DEBUG_TLS_CERT: return CopyOut(buffer, size, ch.TlsCert);
    case KEL_DEBUG_IMAP_FOLDERS: return ImapFolderList(ch, buffer, size);
    case KEL_DEBUG_CAPABILITIES: return CopyOut(buffer, size, ch.Features.Text, ch.Features.TextLength);
    case KEL_DEBUG_LINES_BUFFER: {
      uint32_t slotSize = 0;
      char *lines = SlotBlock(channel, 8, &slotSize);
      if (!lines) return Err::NullPointer;
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
      if (SocketReady(ch, ReadyException) == 1) return Err::Connect;
      return SocketReady(ch, ReadyWritable) == 1 ? 1 : 0;
    case KEL_STAT_ATTACH_COUNT: return ch.AttachCount;
    case KEL_STAT_VRFY_RESULT: return ch.VrfyResult;
    case KEL_STAT_BUILD: return LibraryBuild;
    case KEL_STAT_SOCKET: return ch.Socket;
    case KEL_STAT_REFUSED_COUNT: return ch.RefusedCount;
    case KEL_STAT_ACCEPTED_COUNT: return ch.AcceptedCount;
    case KEL_STAT_OUTPUT_PENDING: return OutputPending(ch);
    case KEL_STAT_PIPELINING: return ServerPipelines(ch) ? 1 : 0;
    case KEL_STAT_TLS: return TlsActive(ch) ? 1 : 0;
    default: return -1;
  }
}
