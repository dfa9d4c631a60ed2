// IMAP retrieval and the message commands: RFC822.SIZE, the whole message
// (BODY.PEEK[], or BODY[] when it is to be marked seen) streamed through
// the incoming decoder into the email file exactly as a POP3 RETR, the
// header and first lines into the caller's buffer, and the \Deleted flag.
// Every command names the message by its UID.
#include <cstring>

#include "../../include/kel32.h"
#include "../core/errors.h"
#include "../mime/mime.h"
#include "../net/socket.h"
#include "imap.h"

namespace {

// The UID of message MessageNumber of the session (checked by the call).
uint32_t WantedUid(Channel &ch) {
  const int index = ch.MessageNumber - 1;
  ch.ImapWantedUid = ch.ImapUids && index >= 0 && index < ch.ImapUidCount ? ch.ImapUids[index] : 0;
  return ch.ImapWantedUid;
}

int SendUidCommand(Channel &ch, Tick now, int next, const char *format) {
  const uint32_t uid = WantedUid(ch);
  if (uid == 0) return driverFail(ch, 0, Err::NoSuchMessage);
  char text[96];
  FormatLine(text, sizeof text, format, static_cast<unsigned long>(uid));
  return SendImapCommand(ch, now, next, text);
}

void StartBody(Channel &ch, uint8_t wanted) {
  ch.ImapBodyWanted = wanted;
  ch.ImapBodySeen = 0;
  ch.ImapHeaderDone = 0;
  ch.LineOpen = 0;
  ch.PieceContinues = 0;
  ch.StatusLine = 2;  // no status line: the literal is the message
}

}  // namespace

int ImapFetchSize(Channel &ch, Tick now) {
  ch.EmailSize = 0;
  return SendUidCommand(ch, now, State::ImapFetchSizeReply, "UID FETCH %lu (RFC822.SIZE)");
}

int ImapFetchSizeReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ch.NextState = State::Complete;
  return 0;
}

int ImapFetchFile(Channel &ch, Tick now) {
  if (WantedUid(ch) == 0) return driverFail(ch, 0, Err::NoSuchMessage);
  if (int rc = OpenEmailFile(ch)) return rc;
  StartBody(ch, BodyToFile);
  return SendUidCommand(ch, now, State::ImapFetchReply,
                        ch.ImapMarkSeen ? "UID FETCH %lu BODY[]" : "UID FETCH %lu BODY.PEEK[]");
}

// kelGetEmailLines: the header and the first lines, from the start of the
// message up to what the caller's buffer holds.
int ImapFetchLines(Channel &ch, Tick now) {
  LogText(ch, "[Saving to buffer]\r\n");
  StartBody(ch, BodyToBuffer);
  ch.ImapLinesLeft = ch.TopLines;
  const uint32_t uid = WantedUid(ch);
  if (uid == 0) return driverFail(ch, 0, Err::NoSuchMessage);
  char text[96];
  FormatLine(text, sizeof text, "UID FETCH %lu BODY.PEEK[]<0.%ld>", static_cast<unsigned long>(uid),
             static_cast<long>(ch.UserBufferSize > 0 ? ch.UserBufferSize : 1));
  return SendImapCommand(ch, now, State::ImapFetchReply, text);
}

// One piece of the responses per step; the message's literal goes to the
// email file (or the buffer) as it comes. A tagged OK without the message
// means the message is gone (expunged by another session).
int ImapFetchReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  const uint8_t wanted = ch.ImapBodyWanted;
  ch.ImapBodyWanted = BodyNotWanted;
  if (!ch.ImapBodySeen) return driverFail(ch, 0, Err::NoSuchMessage);
  if (wanted == BodyToBuffer) {
    if (ch.UserBuffer && ch.BufferUsed < ch.UserBufferSize) ch.UserBuffer[ch.BufferUsed] = 0;
    ch.NextState = State::Complete;
    return 0;
  }
  ch.NextState = State::FinishEmailFile;
  return 0;
}

int ImapStoreDeleted(Channel &ch, Tick now) {
  return SendUidCommand(ch, now, State::ImapStoreReply, "UID STORE %lu +FLAGS.SILENT (\\Deleted)");
}

int ImapStoreReply(Channel &ch, Tick) {
  const int rc = AwaitImapOk(ch);
  if (rc <= 0) return rc;
  ImapMarkDeleted(ch, ch.MessageNumber - 1);
  ch.NextState = State::Complete;
  return 0;
}
