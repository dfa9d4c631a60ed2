// The channel record and the library-wide tables and settings.
//
// Every channel keeps its whole session state in one Channel record, made
// zero-filled at attach. Fields stand in the record's documented order.
#pragma once

#include <atomic>
#include <cstdint>

#include "../platform/platform.h"

constexpr int MaxChannels = 128;
constexpr int SlotsPerChannel = 9;
constexpr int SlotCount = MaxChannels * SlotsPerChannel;  // 1152

// Library version: hexadecimal digits major, minor, patch; and the build.
constexpr int LibraryVersion = 0x0341;
constexpr int LibraryBuild = 0x0011;

using Tick = uint32_t;

// Internal result codes of the memory routines (written to the log only).
enum MemoryCode {
  MemBadSlot = -100,
  MemAllocFailed = -102,
  MemInUse = -103,
  MemNotInUse = -104,
  MemBadIndex = -105,
  MemGuardDamaged = -106,
};

struct Channel {
  uint32_t ChannelNumber;
  char TextBuf[2050];       // every log line is formatted here; KEL_ADD_HEADER joins here
  char SendLine[2050];      // the command or message line being built
  char Response[4100];      // reply text; the decoder joins folded lines here
  char SourceBuf[2050];     // body / attachment source read buffer (2048 and two spare)
  char Boundary[130];       // "--" and the primary boundary of the message being decoded
  char AltBoundary[130];    // the nested boundary, same form
  char LastReply[128];
  char Server[130];
  char From[130];
  char ReplyTo[130];
  char User[66];
  char Password[66];
  char EmailFile[130];
  char EmailDir[130];
  char AttachDir[130];
  char AttachName[130];
  char EmailPath[130];
  char AttachPath[130];
  char AttachList[1026];
  char Command[34];
  char LastRecipient[32];
  char SmtpPassword[66];
  char AuthText[132];
  char *AddressCursor;
  char *ToList;
  char *CcList;
  char *BccList;
  char *Subject;
  char *ExtraHeaders;
  char *Message;
  char *Attachments;
  char *NextAttachment;
  char *SeparatorAt;
  uint32_t ServerAddr;       // host byte order
  PlatformSocket Socket;     // NoSocket while the channel has none
  Tick NotBefore;            // 0 = no wait
  Tick Deadline;             // 0 = none
  uint32_t StepCount;
  uint32_t BodyBytesRead;
  uint32_t AttachBytesRead;
  uint32_t BodyBytesSent;
  uint32_t AttachBytesSent;
  int32_t BodyFromText;
  int32_t CcDone;
  int32_t BccDone;
  uint16_t Port;
  uint16_t SmtpPort;
  uint16_t Pop3Port;
  int32_t ReplyCode;
  int FileHandle;            // 0 = none
  int32_t PrevState;
  int32_t ThisState;
  int32_t NextState;
  int32_t AfterConnectState;
  int32_t SockCode;
  int LogHandle;             // 0 = no log
  int32_t EmailCount;
  char Protocol;             // 'S', 'P' or 0
  int32_t MessageNumber;
  int32_t EmailSize;
  int32_t TopLines;
  int EmailHandle;           // 0 = none
  char *UserBuffer;
  int32_t UserBufferSize;
  int32_t BufferUsed;
  int32_t DecodeState;
  int32_t BoundaryLength;
  int32_t BoundaryCount;
  int32_t MimeEncoding;
  int32_t AltBoundaryLength;
  int32_t VrfyResult;
  int32_t AttachCount;
  int32_t SavedCount;
  char *CurrentAddress;
  uint8_t WaitWritable;
  uint8_t InlineFlag;
  int32_t AutoCall;
  int32_t NumberFiles;
  uint32_t BodyFormat;
  const void *HostEntry;
  uint8_t LastByte;
  char Lookahead;
  uint8_t BlankLineWritten;
  uint8_t AutoInline;
  int32_t SourceIndex;
  int32_t SourceFill;
  int32_t SourceEnded;
  int32_t SaveUnnamed;
  int32_t NonBlockConnect;
  uint32_t NonBlockArg;
  int32_t ContentIdCount;
  uint8_t InlineImage;
  uint8_t EsmtpAuth;
  uint8_t Apop;
  uint8_t EmbeddedMessage;
  char RecvBuf[1024];
  int32_t RingRead;
  int32_t RingWrite;
  char Ring[1024];
  // For the blocking loop only: set when a step found nothing to do but wait
  // for the socket (ReadyReadable: a reply state's zero-time poll found no
  // data; ReadyWritable: a connection still under way), so the loop sleeps
  // on the socket instead of spinning. Cleared by the loop.
  uint8_t IdleWait;
  // Messages sent on this channel since attach: makes HTML Message-IDs unique.
  uint32_t MessageCount;
  // Retrieval and decoder bookkeeping (retrieve.cpp, src/mime/).
  // StatusLine: 0 before the status line of a RETR or TOP reply, 1 while a
  // status line longer than one piece is still being read, 2 after it.
  uint8_t StatusLine;
  // LineOpen: the last piece taken from the message did not end with LF.
  // PieceContinues: the piece now in Response continues such a line, so
  // the dot rule and the decoder's line tests do not apply to it.
  uint8_t LineOpen;
  uint8_t PieceContinues;
  // The decoder's answer to the previous piece (1 write, 0 consume).
  uint8_t LastAnswer;
  // Base64 part bodies are decoded as one stream: the sextets of a group
  // begun on an earlier line wait here.
  uint8_t Base64Filled;
  uint32_t Base64Group;
  // 1 while the message text is sent: each line is followed at once by the
  // next, so the socket need not push a partial segment (see SendBytes).
  uint8_t MoreToFollow;
  // Non-blocking reads (reader.cpp): a step never waits for data. A reply or
  // line that has begun to arrive but is not whole yet stays in the receive
  // ring until a later step; RestPhase names what is awaited (0 = nothing)
  // and RestSince is the tick that wait began, so its limit counts across
  // steps as the wait inside one step of blocking mode does.
  uint8_t RestPhase;
  Tick RestSince;
};

// One ChannelTable slot: the record, a copy of its socket, and the 16-byte
// IPv4 socket address of its connection.
struct ChannelSlot {
  Channel *Record;
  PlatformSocket Socket;
  uint8_t SocketAddress[16];
};

struct MemorySlot {
  char *Pointer;
  uint32_t Size;
  uintptr_t Handle;   // 0 = free
  uint16_t OwnIndex;
};

// A library-wide number that threads driving their own channels read while
// another may change it: each read and write is whole (a relaxed atomic),
// and the settings keep their plain use as numbers.
template <typename T>
class SharedSetting {
 public:
  constexpr explicit SharedSetting(T value = T()) : value_(value) {}
  SharedSetting(const SharedSetting &other) : value_(other) {}
  SharedSetting &operator=(const SharedSetting &other) { return *this = static_cast<T>(other); }
  SharedSetting &operator=(T value) {
    value_.store(value, std::memory_order_relaxed);
    return *this;
  }
  operator T() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<T> value_;
};

// Library-wide settings: one value for all channels, kept across attaches.
// The texts are set only while no channel runs (kelStringParam).
struct LibrarySettings {
  SharedSetting<uint32_t> StepDelay{25};
  SharedSetting<uint32_t> ResponseTimeout{25000};
  SharedSetting<uint32_t> ConnectTimeout{60000};
  SharedSetting<uint32_t> BlockDelay{0};
  SharedSetting<uint32_t> SendTimeout{25000};
  SharedSetting<uint32_t> ReceiveTimeout{25000};
  SharedSetting<uint32_t> SleepTime{100};
  SharedSetting<int32_t> MaxLineLength{78};
  SharedSetting<uint8_t> Allow8Bit{0};
  SharedSetting<uint8_t> NoSavedNote{0};
  SharedSetting<uint8_t> HideToHeader{0};
  SharedSetting<char> AddressSeparator{','};
  SharedSetting<uint8_t> WsaCleanup{1};
  SharedSetting<char> AttachSeparator{','};
  SharedSetting<char> AliasSeparator{'|'};
  char ContentType[66] = {};
  char TransferEncoding[130] = {};
  SharedSetting<int32_t> TransferEncodingLength{0};
};

extern LibrarySettings Settings;
extern uint16_t AttachedCount;
extern ChannelSlot ChannelTable[MaxChannels];
extern MemorySlot MemorySlotTable[SlotCount];
extern char BoundaryText[28];

// The record of an attached channel, or null when channel is not valid.
inline Channel *ChannelOf(uint32_t channel) {
  return channel < AttachedCount ? ChannelTable[channel].Record : nullptr;
}

// The common entry check of every exported call that takes a channel:
// -71 when nothing is attached, -73 when the number is out of range, else 0.
inline int CheckChannel(uint32_t channel) {
  if (AttachedCount == 0) return -71;
  if (channel >= AttachedCount || !ChannelTable[channel].Record) return -73;
  return 0;
}

// Memory slots (memory.cpp).
char *AllocateMemory(uint32_t channel, int k, uint32_t size);
char *AllocAndCopy(uint32_t channel, int k, const char *text);
void FreeMemory(uint32_t channel, int firstK, int lastK);
int CheckSlot(int slot);
// The block held by local slot k of a channel, or null.
char *SlotBlock(uint32_t channel, int k, uint32_t *size = nullptr);

// Bounded copy of at most limit characters into a field of fieldSize bytes;
// always zero-terminated. Returns the number of characters copied.
int CopyField(char *field, int fieldSize, const char *text, int limit);
template <int N>
inline int CopyField(char (&field)[N], const char *text, int limit = N - 2) {
  return CopyField(field, N, text, limit);
}

// ---- The log (log.cpp) --------------------------------------------------------
// Every writer tests LogHandle first; nothing is buffered.
void LogBytes(Channel &ch, const void *data, int count);
void LogText(Channel &ch, const char *text);
// Formats into the channel's TextBuf and writes the line.
void LogLine(Channel &ch, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A three-character prefix ("S: ", "P: ", "r: ", "R: ") and the data, no line end added.
void LogData(Channel &ch, const char *prefix, const void *data, int count);
// "*** name\r\n"
void LogTrace(Channel &ch, const char *name);

// The Date line for the current local time ("Date: Mon, 7 Dec 2026 3:05:09 +0100").
int FormatDateLine(char *buffer, int size);
