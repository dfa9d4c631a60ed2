// The exported calls of a POP3 session: connect and log in, count, size,
// delete, the first lines of a message into a buffer, a message into a file,
// and the unique ids. Each checks its arguments, stores them in the channel
// and starts its sequence of driver states.
#include <cstring>

#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../driver/driver.h"
#include "session.h"

// A CR or LF in a login text would end the command line early and let the
// rest pass to the server as a command of its own.
static bool HasLineBreak(const char *text) { return strpbrk(text, "\r\n") != nullptr; }

// The common start of every call after kelPop3Connect: clears what the last
// operation left and waits for the socket to take the command.
static void StartOperation(Channel &ch, int firstState) {
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.WaitWritable = 1;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = firstState;
}

// In blocking mode a completed operation reports value (a field of the
// channel, read once the driver is done); an error, or the start in
// non-blocking mode, reports the driver's result.
static int RunForValue(Channel &ch, const int32_t &value) {
  const bool blocking = ch.AutoCall == 1;
  int rc = RunOrReturn(ch);
  return rc < 0 || !blocking ? rc : value;
}

// The entry of the calls on a logged-in channel: -59 unless it is a POP3
// or an IMAP channel (imap_calls.cpp takes the IMAP ones).
static Channel *Pop3Channel(unsigned channel, const char *name, int &rc) {
  rc = CheckChannel(channel);
  if (rc) return nullptr;
  Channel *ch = ChannelOf(channel);
  LogTrace(*ch, name);
  if (ch->Protocol != 'P' && ch->Protocol != 'I') {
    rc = Err::Pop3Only;
    return nullptr;
  }
  return ch;
}

extern "C" int KEL_CALL kelPop3Connect(unsigned channel, const char *server, const char *user,
                                       const char *password) {
  if (int rc = CheckChannel(channel)) return rc;
  Channel &ch = *ChannelOf(channel);
  ch.Protocol = 'P';
  LogTrace(ch, "kelPop3Connect");
  if (!server) return Err::NoServer;
  if (!user || HasLineBreak(user)) return Err::NoUser;
  if (!password || HasLineBreak(password)) return Err::NoPassword;
  // ^A separates the fields of the bearer logins' messages.
  if (strchr(user, 1) || strchr(password, 1)) return Err::BadSecretChar;
  if (int rc = CheckServerName(server)) return rc;
  // POP3 AUTH knows PLAIN and the bearer mechanisms only.
  if (ch.AuthMechanism == KEL_AUTH_CRAM_MD5 || ch.AuthMechanism == KEL_AUTH_LOGIN) return Err::MechanismNotForPop3;
  CopyField(ch.Server, server, 128);
  CopyField(ch.User, user, 64);
  CopyField(ch.Password, password, 64);
  ch.AuthChosen = 0;
  ch.Port = ch.Pop3Port;
  ch.AfterConnectState = State::Complete;
  ch.SockCode = 0;
  ch.EmailCount = 0;
  ch.AttachCount = 0;
  ch.RingRead = ch.RingWrite = 0;
  ch.WaitWritable = 0;
  ch.NotBefore = ch.Deadline = 0;
  ch.NextState = State::Pop3Start;
  return RunOrReturn(ch);
}

extern "C" int KEL_CALL kelGetEmailCount(unsigned channel) {
  int rc;
  Channel *ch = Pop3Channel(channel, "kelGetEmailCount", rc);
  if (!ch) return rc;
  if (ch->Protocol == 'I') return StartImapCall(*ch, State::Complete, &ch->EmailCount);
  StartOperation(*ch, State::StatCommand);
  return RunForValue(*ch, ch->EmailCount);
}

extern "C" int KEL_CALL kelGetEmailSize(unsigned channel, int number) {
  int rc;
  Channel *ch = Pop3Channel(channel, "kelGetEmailSize", rc);
  if (!ch) return rc;
  if (number < 1) return Err::NoSuchMessage;
  ch->MessageNumber = number;
  if (ch->Protocol == 'I') return StartImapCall(*ch, State::ImapFetchSize, &ch->EmailSize);
  StartOperation(*ch, State::ListCommand);
  return RunForValue(*ch, ch->EmailSize);
}

extern "C" int KEL_CALL kelDeleteEmail(unsigned channel, int number) {
  int rc;
  Channel *ch = Pop3Channel(channel, "kelDelete", rc);
  if (!ch) return rc;
  if (number < 1) return Err::NoSuchMessage;
  ch->MessageNumber = number;
  if (ch->Protocol == 'I') return StartImapCall(*ch, State::ImapStoreDeleted, nullptr);
  StartOperation(*ch, State::DeleCommand);
  return RunOrReturn(*ch);
}

extern "C" int KEL_CALL kelGetEmailLines(unsigned channel, int number, int lines, char *buffer,
                                         int bufferSize) {
  int rc;
  Channel *ch = Pop3Channel(channel, "kelGetEmailLines", rc);
  if (!ch) return rc;
  if (number < 1) return Err::NoSuchMessage;
  if (buffer && buffer[0] == '*' && buffer[1] == 0) buffer = nullptr;
  if (!buffer) {
    // The internal buffer: two spare zero bytes keep its text terminated.
    if (bufferSize < 0) bufferSize = 0;
    buffer = AllocateMemory(channel, 8, static_cast<uint32_t>(bufferSize) + 2);
    if (!buffer) return Err::NoMemory;
  } else if (bufferSize < 128) {
    return Err::BufferTooSmall;
  }
  ch->TopLines = lines < 0 ? 0 : lines;
  ch->MessageNumber = number;
  ch->UserBuffer = buffer;
  ch->UserBufferSize = bufferSize;
  ch->BufferUsed = 0;
  ch->EmailDir[0] = 0;
  ch->AttachDir[0] = 0;
  ch->BodyBytesRead = 0;
  ch->AttachBytesRead = 0;
  if (ch->Protocol == 'I') return StartImapCall(*ch, State::ImapFetchLines, &ch->BufferUsed);
  StartOperation(*ch, State::TopCommand);
  return RunForValue(*ch, ch->BufferUsed);
}

extern "C" int KEL_CALL kelGetEmailFile(unsigned channel, int number, const char *fileName,
                                        const char *emailDir, const char *attachDir) {
  int rc;
  Channel *ch = Pop3Channel(channel, "kelGetEmailFile", rc);
  if (!ch) return rc;
  if (number < 1) return Err::NoSuchMessage;
  if (!fileName) return Err::NoFileName;
  if (!emailDir) return Err::NoEmailPath;
  if (!attachDir) return Err::NoAttachPath;
  ch->MessageNumber = number;
  CopyField(ch->EmailFile, fileName, 128);
  CopyField(ch->EmailDir, emailDir, 128);
  CopyField(ch->AttachDir, attachDir, 128);
  memset(ch->AttachList, 0, sizeof ch->AttachList);
  ch->UserBuffer = nullptr;
  ch->UserBufferSize = 0;
  ch->BufferUsed = 0;
  ch->BodyBytesRead = 0;
  ch->AttachBytesRead = 0;
  ch->BoundaryLength = 0;
  ch->BoundaryCount = 0;
  ch->AttachCount = 0;
  ch->MimeEncoding = 0;
  ch->BlankLineWritten = 0;
  if (ch->DecodeState != 1) ch->DecodeState = 2;  // 1 keeps raw retrieval
  if (ch->Protocol == 'I') return StartImapCall(*ch, State::ImapFetchFile, nullptr);
  StartOperation(*ch, State::RetrCommand);
  return RunOrReturn(*ch);
}

extern "C" int KEL_CALL kelGetEmailUID(unsigned channel, int number, char *buffer, int bufferSize) {
  int rc;
  Channel *ch = Pop3Channel(channel, "kelGetEmailUID", rc);
  if (!ch) return rc;
  if (!buffer) return Err::BufferNull;
  if (bufferSize < 128) return Err::BufferTooSmall;
  ch->MessageNumber = number;  // below 1: the list of all messages
  if (ch->Protocol == 'I') return ImapUidText(*ch, number, buffer, bufferSize);
  ch->UserBuffer = buffer;
  ch->UserBufferSize = bufferSize - 1;  // the terminating zero always fits
  ch->BufferUsed = 0;
  StartOperation(*ch, State::UidlCommand);
  const bool blocking = ch->AutoCall == 1;
  rc = RunOrReturn(*ch);
  if (rc < 0 || !blocking) return rc;
  return static_cast<int>(strnlen(buffer, static_cast<size_t>(bufferSize)));
}
