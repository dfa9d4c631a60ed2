// The retrieval states: RETR of a message into the email file (decoded
// line by line, or raw), TOP into the caller's buffer, and the end of both.
#include <cstring>

#include "../../include/kel32.h"
#include "../codec/codec.h"
#include "../core/errors.h"
#include "../mime/mime.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "driver.h"
#include "imap.h"
#include "replies.h"

namespace {

constexpr int LineSize = 1024;   // a line piece is at most 1023 bytes
constexpr int RawChunk = 2048;

uint32_t FourTimes(uint32_t ms) {
  const uint64_t wait = 4ull * ms;
  return wait > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(wait);
}

// The receiving states may have waited for data within the step: the
// response time-out counts from the moment the data came, not from the
// step's start, or a wait as long as the time-out would end the message.
void RenewDeadline(Channel &ch) { ch.Deadline = PlatformTick() + Settings.ResponseTimeout; }

// 0, or -1 when the last buffered bytes could not be written.
int CloseEmailFile(Channel &ch) {
  const int rc = CloseBufferedFile(ch.EmailOut, ch.EmailHandle);
  ch.EmailHandle = 0;
  return rc;
}

// The files of a retrieval that cannot go on are closed before the error
// exit; attachment files still open are incomplete and removed.
int FailRetrieval(Channel &ch, int kelCode) {
  DiscardAttachFiles(ch);
  CloseEmailFile(ch);
  return driverFail(ch, 0, kelCode);
}

// A file of the retrieval failed (the decoder or a writer noted it): the retrieval fails with it.
int FileFaultExit(Channel &ch) { return ch.FileFault ? FailRetrieval(ch, ch.FileFault) : 0; }

// Notes where the piece now in Response stands: whether it continues a
// line begun by the piece before it.
void TrackPiece(Channel &ch, int n) {
  ch.PieceContinues = ch.LineOpen;
  ch.LineOpen = ch.Response[n - 1] != '\n';
}

// The first line of the reply is its status: kept as the reply, and a
// negative one ends the operation. Returns 1 while the piece belongs to the
// status line, 0 for message text, or the negative result of the exit.
int TakeStatusLine(Channel &ch) {
  if (ch.StatusLine == 2) return 0;
  if (ch.StatusLine == 1) {
    if (!ch.LineOpen) ch.StatusLine = 2;
    return 1;
  }
  const int n = static_cast<int>(strnlen(ch.Response, LineSize));
  // A status line whose end never came is a time-out, never a reply.
  if (ch.LineOpen && n < LineSize - 1) return FailRetrieval(ch, Err::Timeout);
  ch.StatusLine = ch.LineOpen ? 1 : 2;
  CopyField(ch.LastReply, ch.Response, 128);
  const int form = Pop3StatusForm(ch.Response, n);
  if (form != 1) {
    ch.ReplyCode = 500;
    return FailRetrieval(ch, form == 0 ? Err::Pop3Error : Err::Pop3ReplyMalformed);
  }
  ch.ReplyCode = 100;
  return 1;
}

// The end line and dot-unstuffing (RFC 1939): the line "." alone ends the
// message; any other line that begins with "." loses that first dot. Only
// the start of a line counts, never a later piece of a long one.
// Returns 1 at the end line.
int ApplyDotRule(Channel &ch, int &n) {
  if (ch.PieceContinues || ch.Response[0] != '.') return 0;
  if ((n == 3 && ch.Response[1] == '\r' && ch.Response[2] == '\n') || (n == 2 && ch.Response[1] == '\n'))
    return 1;
  memmove(ch.Response, ch.Response + 1, static_cast<size_t>(n));  // the NUL moves along
  --n;
  return 0;
}

// A header line may be joined with the lines folded under it, so in
// non-blocking mode those are awaited with it (the decoder never waits).
bool NeedsLookahead(const Channel &ch) {
  return ch.StatusLine == 2 && ch.DecodeState >= TopHeader && ch.DecodeState <= PartHeader;
}

// One line piece of the reply into Response: its length, 0 when nothing
// came (KEL_WAITING in non-blocking mode: the step gives way), or the
// negative result of the error exit.
int ReceivePiece(Channel &ch, uint32_t nextWait, bool lookahead) {
  const int nothing = ch.AutoCall == 1 ? 0 : KEL_WAITING;
  if (AwaitLine(ch, Settings.ReceiveTimeout, nextWait, lookahead) != 1) return nothing;
  const int n = ReadLine(ch, ch.Response, LineSize, StepWait(ch, Settings.ReceiveTimeout), StepWait(ch, nextWait));
  if (n == 0) return nothing;
  // Closed before the end line: the message is cut, which is no success.
  if (n < 0) return FailRetrieval(ch, n);
  TrackPiece(ch, n);
  return n;
}

// Writes a line of message text, quoted-printable decoded in a
// quoted-printable part. Returns 0, or the error exit's result.
int StoreLine(Channel &ch, int n) {
  ch.BodyBytesRead += static_cast<uint32_t>(n);
  // Decoded in place: never longer than the line, however long it was joined.
  const int count = ch.MimeEncoding == EncodingQuoted ? QpDecodeText(ch.Response, ch.Response) : n;
  WriteEmailLine(ch, ch.Response, count);
  return FileFaultExit(ch);
}

// The last four bytes of a raw retrieval: they end with LF "." CR LF (or
// LF "." LF, as the decoded retrieval also takes it) when the end line came.
void TrackRawTail(Channel &ch, const char *bytes, int n) {
  for (int k = n > 4 ? n - 4 : 0; k < n; ++k)
    ch.RawTail = (ch.RawTail << 8) | static_cast<unsigned char>(bytes[k]);
}
constexpr uint32_t RawEndLine = (0x0Au << 24) | ('.' << 16) | (0x0D << 8) | 0x0A;
constexpr uint32_t RawEndLineLf = (0x0Au << 16) | ('.' << 8) | 0x0A;
bool RawEnded(const Channel &ch) { return ch.RawTail == RawEndLine || (ch.RawTail & 0xFFFFFFu) == RawEndLineLf; }

// The end of a raw retrieval: without the end line the message was cut,
// by the server's close (-1) or its silence (-8), and that is no success.
int EndRaw(Channel &ch, int cutCode) {
  if (!RawEnded(ch)) {
    LogText(ch, "[Raw retrieval ended without the end line]\r\n");
    return FailRetrieval(ch, cutCode);
  }
  ch.NextState = State::FinishEmailFile;
  return 0;
}

// A piece of message text in Response, n bytes: the end line, else the
// decoder and the email file. 0 to go on, 1 at the end line, or the
// negative result of the error exit.
int TakeMessageText(Channel &ch, int n) {
  if (ApplyDotRule(ch, n)) {
    ch.NextState = State::FinishEmailFile;
    return 1;
  }
  if (!DecodingMessage(ch) || DecodeLine(ch, n)) {
    if (int rc = StoreLine(ch, n)) return rc;
  }
  return FileFaultExit(ch);
}

}  // namespace

int OpenEmailFile(Channel &ch) {
  // Files an earlier retrieval left open after an error are not leaked.
  CloseBufferedFile(ch.AttachOut, ch.FileHandle);
  ch.FileHandle = 0;
  CloseEmailFile(ch);
  ch.FileFault = 0;
  ch.FileFaultText[0] = '\0';
  ch.EmailLineOpen = 0;
  ch.RawTail = 0;
  // Attachments need a directory to go to: checked before anything is fetched.
  if (ch.DecodeState != RawMode && PlatformDirWritable(ch.AttachDir) < 0) {
    NoteFileFault(ch, Err::AttachCreate, ch.AttachDir);
    return driverFail(ch, 0, Err::AttachCreate);
  }
  // A path too long for EmailPath is never cut: it fails like any other.
  char path[sizeof ch.EmailDir + sizeof ch.EmailFile + 2];
  const int length = JoinPath(path, sizeof path, ch.EmailDir, ch.EmailFile, sizeof path - 1);
  LogLine(ch, "Saving email to '%s'\r\n", path);
  if (length < 0 || length > 128) {
    ch.EmailPath[0] = '\0';
    NoteFileFault(ch, Err::CannotCreateFile, path[0] ? path : ch.EmailFile, "File name too long");
    return driverFail(ch, 0, Err::CannotCreateFile);
  }
  CopyField(ch.EmailPath, path, 128);
  const int handle = PlatformFileCreate(ch.EmailPath);
  if (handle < 1) {
    NoteFileFault(ch, Err::CannotCreateFile, ch.EmailPath);
    return driverFail(ch, 0, Err::CannotCreateFile);
  }
  ch.EmailHandle = handle;
  StartDecoding(ch);
  return 0;
}

bool DecodingMessage(const Channel &ch) {
  // After a header without MIME the decoder still looks for uuencoded blocks.
  return ch.DecodeState == NotMime || (ch.DecodeState >= TopHeader && ch.DecodeState <= PartBody);
}

bool MessageNeedsLookahead(const Channel &ch) { return DecodingMessage(ch) && NeedsLookahead(ch); }

int StoreMessagePiece(Channel &ch, int n) {
  const bool decoding = DecodingMessage(ch);
  TrackPiece(ch, n);
  if (!decoding || DecodeLine(ch, n)) return StoreLine(ch, n);
  return 0;
}

int RetrCommand(Channel &ch, Tick now) {
  if (int rc = OpenEmailFile(ch)) return rc;
  FormatLine(ch.SendLine, sizeof ch.SendLine, "RETR %d", static_cast<int>(ch.MessageNumber));
  const int rc = SendTextLine(ch, ch.SendLine);
  if (rc < 0) return driverFail(ch, rc, Err::Send);
  ch.Deadline = now + Settings.ResponseTimeout;
  if (ch.DecodeState == RawMode) {
    ch.NotBefore = 0;
    ch.NextState = State::ReceiveRaw;
  } else {
    ch.NotBefore = now + Settings.StepDelay;
    ch.NextState = State::ReceiveToFile;
  }
  return 0;
}

int ReceiveToFile(Channel &ch, Tick) {
  // Lines already whole in the receive stage are taken many to a step,
  // each as a step of its own would take it; header lines, which may be
  // joined with those folded under them, wait for the ordinary reader.
  int taken = 0;
  while (taken < LinesPerStep && ch.StatusLine == 2 && !MessageNeedsLookahead(ch)) {
    const int n = TakeStagedLine(ch, ch.Response, LineSize);
    if (n < 1) break;
    TrackPiece(ch, n);
    ++taken;
    if (const int rc = TakeMessageText(ch, n)) return rc < 0 ? rc : 0;
  }
  if (taken > 0) {
    RenewDeadline(ch);
    return 0;
  }
  int n = ReceivePiece(ch, FourTimes(Settings.ReceiveTimeout), MessageNeedsLookahead(ch));
  if (n <= 0 || n == KEL_WAITING) return n;
  const int status = TakeStatusLine(ch);
  if (status < 0) return status;
  if (status == 0) {
    if (const int rc = TakeMessageText(ch, n)) return rc < 0 ? rc : 0;
  }
  if (int rc = FileFaultExit(ch)) return rc;
  RenewDeadline(ch);
  return 0;
}

// Raw retrieval copies every byte as it comes, status and end line included,
// until the server falls silent or closes.
int ReceiveRaw(Channel &ch, Tick now) {
  if (AwaitReadable(ch, StepWait(ch, Settings.ReceiveTimeout)) != 1) {
    // Non-blocking: the silence that ends the message is counted across steps.
    if (ch.AutoCall != 1) {
      if (!ch.RestPhase) {
        ch.RestPhase = 1;
        ch.RestSince = now;
      }
      if (static_cast<uint32_t>(now - ch.RestSince) < Settings.ReceiveTimeout) {
        ch.Deadline = now + Settings.ResponseTimeout;
        return KEL_WAITING;
      }
    }
    ch.RestPhase = 0;
    RenewDeadline(ch);
    return EndRaw(ch, Err::Timeout);
  }
  ch.RestPhase = 0;
  // Bytes already in the ring are taken on their own, so that a close
  // seen by the same call cannot lose them.
  const int inRing = RingFill(ch);
  const int n = TakeBytes(ch, ch.Response, inRing > 0 ? (inRing < RawChunk ? inRing : RawChunk) : RawChunk);
  if (n < 0) {
    LogText(ch, "[EOF1]\r\n");
    return EndRaw(ch, Err::Closed);
  }
  ch.BodyBytesRead += static_cast<uint32_t>(n);
  TrackRawTail(ch, ch.Response, n);
  const int written = WriteEmailLine(ch, ch.Response, n);
  if (written < 0) return FileFaultExit(ch);
  ch.BodyBytesSent += static_cast<uint32_t>(written);
  RenewDeadline(ch);
  return 0;
}

int TopCommand(Channel &ch, Tick now) {
  LogText(ch, "[Saving to buffer]\r\n");
  ch.StatusLine = 0;
  ch.LineOpen = 0;
  ch.PieceContinues = 0;
  FormatLine(ch.SendLine, sizeof ch.SendLine, "TOP %d %d", static_cast<int>(ch.MessageNumber),
             static_cast<int>(ch.TopLines));
  const int rc = SendTextLine(ch, ch.SendLine);
  if (rc < 0) return driverFail(ch, rc, Err::Send);
  SetTiming(ch, now, Settings.StepDelay, Settings.ResponseTimeout);
  ch.NextState = State::ReceiveToBuffer;
  return 0;
}

int ReceiveToBuffer(Channel &ch, Tick) {
  int n = ReceivePiece(ch, Settings.ReceiveTimeout, false);
  if (n <= 0 || n == KEL_WAITING) return n;
  // The status line goes into the buffer too.
  const int status = TakeStatusLine(ch);
  if (status < 0) return status;
  if (!status && ApplyDotRule(ch, n)) {
    ch.NextState = State::FinishEmailFile;
    return 0;
  }
  ch.BodyBytesRead += static_cast<uint32_t>(n);
  const int capacity = ch.UserBuffer ? ch.UserBufferSize : 0;
  if (capacity > 0 && ch.BufferUsed < capacity) {
    const int room = capacity - ch.BufferUsed;
    const int count = n < room ? n : room;
    memcpy(ch.UserBuffer + ch.BufferUsed, ch.Response, static_cast<size_t>(count));
    ch.BufferUsed += count;
  }
  RenewDeadline(ch);
  return 0;
}

int FinishEmailFile(Channel &ch, Tick) {
  LogText(ch, "[CLOSE]\r\n");
  CloseAttachFile(ch);
  if (int rc = FileFaultExit(ch)) return rc;
  // The email file's last bytes are written at its close: a failure there
  // fails the retrieval as a failed write of a line does.
  if (CloseEmailFile(ch) < 0) {
    NoteFileFault(ch, Err::FileWrite, ch.EmailPath);
    return driverFail(ch, 0, Err::FileWrite);
  }
  ch.NextState = State::Complete;
  return 0;
}
