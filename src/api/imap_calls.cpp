// The IMAP session calls: kelImapConnect, and the mailbox calls of
// pop3_calls.cpp on an IMAP channel. Messages 1..n are the UIDs the
// connect's search found, in UID order.
#include <cstring>

#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../driver/driver.h"
#include "../net/socket.h"
#include "session.h"

static bool HasLineBreak(const char *text) { return strpbrk(text, "\r\n") != nullptr; }

extern "C" int KEL_CALL kelImapConnect(unsigned channel, const char *server, const char *user, const char *password) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  ch.Protocol = 'I';
  LogTrace(ch, "kelImapConnect");
  if (!server) return Err::NoServer;
  if (!user || HasLineBreak(user)) return Err::NoUser;
  if (!password || HasLineBreak(password)) return Err::NoPassword;
  if (int rc = CheckServerName(server)) return rc;
  // AUTHENTICATE knows PLAIN and the bearer mechanisms here, as POP3 AUTH.
  if (ch.AuthMechanism == KEL_AUTH_CRAM_MD5 || ch.AuthMechanism == KEL_AUTH_LOGIN) return Err::MechanismNotForPop3;
  CopyField(ch.Server, server, 128);
  CopyField(ch.User, user, 64);
  CopyField(ch.Password, password, 64);
  ch.AuthChosen = 0;
  ch.Port = ch.ImapPort ? ch.ImapPort : ch.TlsMode == KEL_TLS_IMPLICIT ? 993 : 143;
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.EmailCount = 0;
  ch.AttachCount = 0;
  ch.RingRead = ch.RingWrite = 0;
  ch.WaitWritable = 0;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = State::ImapStart;
  return RunOrReturn(ch);
}

int StartImapCall(Channel &ch, int firstState, const int32_t *value) {
  const bool needsMessage = firstState != State::Complete;
  if (needsMessage && (ch.MessageNumber < 1 || ch.MessageNumber > ch.ImapUidCount)) return Err::NoSuchMessage;
  if (needsMessage && ch.Socket == NoSocket) return Err::NotConnected;
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.WaitWritable = needsMessage ? 1 : 0;  // the count needs no command
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = firstState;
  const bool blocking = ch.AutoCall == 1;
  const int rc = RunOrReturn(ch);
  return rc < 0 || !blocking || !value ? rc : *value;
}

// "UIDVALIDITY.UID" of message index + 1 at out; its length.
static int FormatUid(const Channel &ch, int index, char *out, int size) {
  return FormatLine(out, size, "%lu.%lu", static_cast<unsigned long>(ch.ImapUidValidity),
                    static_cast<unsigned long>(ch.ImapUids[index]));
}

int ImapUidText(Channel &ch, int number, char *buffer, int bufferSize) {
  buffer[0] = 0;
  if (number > ch.ImapUidCount) return Err::NoSuchMessage;
  if (number >= 1) return FormatUid(ch, number - 1, buffer, bufferSize);
  // The list: whole lines only, as many as fit.
  int used = 0;
  for (int i = 0; i < ch.ImapUidCount; i++) {
    char line[48];
    const int n = FormatLine(line, sizeof line, "%d ", i + 1);
    const int m = FormatUid(ch, i, line + n, static_cast<int>(sizeof line) - n - 2);
    line[n + m] = '\r';
    line[n + m + 1] = '\n';
    if (used + n + m + 2 >= bufferSize) break;
    memcpy(buffer + used, line, static_cast<size_t>(n + m + 2));
    used += n + m + 2;
  }
  buffer[used] = 0;
  return used;
}

int ImapFolderList(Channel &ch, char *buffer, int size) {
  if (ch.Protocol != 'I' || size < 2) return 0;
  if (ch.Socket == NoSocket) return Err::NotConnected;
  if (ch.NextState != State::Complete) return Err::Blocking;  // another operation is under way
  ch.UserBuffer = buffer;
  ch.UserBufferSize = size - 1;
  ch.BufferUsed = 0;
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.WaitWritable = 1;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = State::ImapList;
  const int rc = RunBlocking(ch.ChannelNumber);
  ch.UserBuffer = nullptr;
  return rc < 0 ? rc : ch.BufferUsed;
}
