// The channel record and the library-wide tables and settings.
//
// Every channel keeps its whole session state in one Channel record, made
// zero-filled at attach. Fields stand in the record's documented order.
#pragma once

#include <atomic>
#include <cstdint>

#include "../platform/platform.h"

constexpr int MaxChannels = 128;
// Slot 0 holds the record, 1-8 the session texts, 9 the UID list of an IMAP session, 10 the
// plain-text version of an HTML body (KEL_TEXT_ALTERNATIVE).
constexpr int SlotsPerChannel = 11;
constexpr int SlotCount = MaxChannels * SlotsPerChannel;  // 1408

// Library version: hexadecimal digits major, minor, patch; and the build.
constexpr int LibraryVersion = 0x0341;
constexpr int LibraryBuild = 0x0011;

using Tick = uint32_t;

// The invariants the code relies on, checked in the test builds (sanitizer,
// thread and fuzz builds define KEL_ASSERTS); a broken one stops the
// program where it broke.
#if defined(KEL_ASSERTS)
#define KEL_ASSERT(condition) (static_cast<bool>(condition) ? void(0) : __builtin_trap())
#else
#define KEL_ASSERT(condition) void(0)
#endif

// Sizes of the throughput buffers of a channel.
constexpr int OutBufSize = 32768;   // bytes composed ahead of the socket
constexpr int OutFlushAt = 16384;   // message text leaves once this much is held
constexpr int StageSize = 32768;    // the largest single receive
constexpr int FileBufferSize = 16384;

// A write buffer in front of a file handle: flushed when full and on close.
struct FileBuffer {
  int Handle;     // the file the bytes belong to; 0 = none
  int32_t Fill;
  int Failed;     // a file whose bytes were lost when another took the buffer
  char Data[FileBufferSize];
};
// Appends to the file through its buffer: count, or -1 when a write failed.
int BufferedFileWrite(FileBuffer &b, int handle, const void *data, int count);
// Writes out what is held: 0, or -1 when the write failed (the bytes are dropped).
int FlushFileBuffer(FileBuffer &b);
// Flushes (when the buffer belongs to handle) and closes: 0, or -1 when the
// flush or the close failed. Any other handle is simply closed.
int CloseBufferedFile(FileBuffer &b, int handle);
// Records a failed file operation on the channel (the first one counts):
// code, the path and reason, or the system's reason when reason is null.
struct Channel;
void NoteFileFault(Channel &ch, int code, const char *path, const char *reason = nullptr);

// Internal result codes of the memory routines (written to the log only).
enum MemoryCode {
  MemBadSlot = -100,
  MemAllocFailed = -102,
  MemInUse = -103,
  MemNotInUse = -104,
  MemBadIndex = -105,
  MemGuardDamaged = -106,
};

// What the server offers, read once from its EHLO or CAPA reply
// (src/driver/features.cpp); every later choice reads this record.
struct ServerFeatures {
  uint32_t Bits;        // FeatureBit values
  uint32_t SizeLimit;   // the SIZE announced (0: none)
  uint8_t Sasl;         // SaslBit values of the mechanisms offered
  // The offer as the server worded it, one LF-ended line per EHLO keyword
  // line, CAPA line or IMAP capability (KEL_DEBUG_CAPABILITIES): whole
  // lines only, as many as fit; control bytes shown as '?'.
  uint16_t TextLength;
  uint8_t TextFull;     // a line did not fit: none after it is kept
  char Text[1024];
};

// The server's addresses, IPv6 and IPv4 in the resolver's order, and the
// one being tried; a failed or slow connect moves on to the next.
struct ServerAddressList {
  PlatformAddress List[8];
  uint8_t Count;
  uint8_t Index;
};

// KEL_PROXY: the proxy the connection runs through, and the bytes of its
// reply gathered so far.
struct ProxySettings {
  uint8_t Kind;  // 0 none, 1 SOCKS5, 2 HTTP CONNECT
  uint16_t Port;
  int32_t Have;
  char Host[130];
  char User[256];
  char Password[256];
};

// What the look at an outgoing text before MAIL FROM found (src/driver/examine.cpp).
struct TextProfile {
  uint32_t Bytes;        // up to the end or the first NUL
  uint32_t EightBit;     // bytes above 127
  uint32_t Controls;     // control bytes other than TAB, CR and LF, and DEL
  uint32_t Escaped;      // bytes quoted-printable writes as =XX ("=", TAB, controls, 8-bit)
  uint32_t Lines;        // LF bytes
  uint32_t CarriageReturns;
  uint32_t LongestWord;  // the longest run without a blank or a line end
  uint32_t Word;         // the run under way
  uint8_t Utf8Due;       // continuation bytes still due
  uint8_t Utf8Bad;       // not well-formed UTF-8
  uint8_t Ended;         // a NUL ended the text
  uint8_t HeaderDone;    // an empty line has been met: HeaderBytes is the header's size
  uint8_t LineHasText;   // the line under way holds more than a CR
  uint32_t HeaderBytes;  // bytes up to and with the first empty line
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
  char Protocol;             // 'S', 'P', 'I' (IMAP) or 0
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
  int32_t RingRead;
  int32_t RingWrite;
  char Ring[1024];
  // For the blocking loop and kelWait: set when a step found nothing to do
  // but wait for the socket (ReadyReadable: a reply state's zero-time poll
  // found no data, or a command has just left and its reply is awaited;
  // ReadyWritable: a connection still under way), so the loop sleeps on the
  // socket instead of spinning. Cleared by the loop.
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
  // Logins and recipients (smtp_auth.cpp, pop3_auth.cpp, recipients.cpp, src/codec/sasl.cpp).
  // AuthMechanism: KEL_AUTH_MECHANISM (0 = automatic). AuthChosen: the
  // mechanism of the login under way or last made (0 = none).
  uint8_t AuthMechanism;
  uint8_t AuthChosen;
  // POP3 AUTH: 1 while the response waits for the server's "+ " prompt
  // (a command with it would pass the line limit), 2 once it has gone.
  uint8_t AuthPending;
  // The sent data logged next holds a secret from this character on
  // (1 + the count of characters logged in clear; 0 = nothing to hide).
  uint16_t SecretAt;
  uint8_t SkipRefused;        // KEL_SKIP_REFUSED
  uint8_t StrictRecipients;   // KEL_STRICT_RECIPIENTS
  int32_t RefusedCount;       // recipients refused in the last send
  int32_t AcceptedCount;      // recipients accepted in the last send
  char OAuthToken[4098];      // KEL_OAUTH_TOKEN: at most 4096 characters
  char AuthMessage[4400];     // the SASL message before its Base64 encoding
  char AuthLine[6000];        // the AUTH command or response line, encoded
  char RefusedList[4098];     // "address reply\r\n" per refused recipient, whole lines only
  // Nested MIME decoding (src/mime/): one boundary per open multipart
  // level, innermost last; the part being read; the file of an attached
  // message, which takes every line of it while its own parts are decoded;
  // and a uuencoded block being written.
  char Boundaries[16][130];     // "--" and the value, as Boundary
  int16_t BoundaryLengths[16];
  uint16_t DigestLevels;        // bit k: level k is multipart/digest (parts default to message/rfc822)
  uint8_t BoundaryDepth;        // levels open
  uint8_t PartKind;             // PartText, PartLeaf, PartMultipart, PartMessage (mime.h)
  uint8_t NameSource;           // where AttachName came from: 0 nowhere, 1 Content-Type, 2 Content-Disposition
  uint8_t PartWanted;           // the part was meant for a file (written as received if it could not be made)
  uint8_t PendingBreak;         // the line end held back from the attachment file
  uint8_t DecodeHeaders;        // KEL_DECODE_HEADERS: encoded words of written header lines become UTF-8
  uint8_t UuBlock;              // 1 while a uuencoded block goes to FileHandle
  uint8_t EmbedLevel;           // levels open when the attached message began
  uint8_t EmbedBreak;           // the line end held back from the message file
  int EmbedHandle;              // file of the attached message, 0 = none
  int32_t FilesMade;            // files created for this message: numbers unnamed ones
  char PartExtension[8];        // extension for an unnamed file of the part's type
  char EmbedPath[130];
  // Messages attached inside the attached message: each is saved to a file
  // of its own as well, innermost last (the fields as those above).
  struct InnerEmbedFile {
    int Handle;
    uint8_t Level, Break;
    char Path[130];
  } InnerEmbeds[3];
  uint8_t InnerEmbedCount;

  // Throughput: the output buffer, the receive stage, the file write buffers,
  // the wait over many channels and the pipelined envelope.
  // OutBuf holds bytes appended by the senders and not yet handed to the
  // socket: OutSent of the OutFill bytes have left. OutDrain: the buffer
  // must be empty before the next state runs (a reply is awaited).
  int32_t OutFill;
  int32_t OutSent;
  uint8_t OutDrain;
  // HoldOutput: commands are appended without leaving at once (the
  // pipelined envelope leaves in one flush).
  uint8_t HoldOutput;
  // The receive stage: one receive takes all the socket holds, up to
  // StageSize bytes; the ring is filled from here. StageRead of StageFill
  // bytes have been passed on.
  int32_t StageRead;
  int32_t StageFill;
  // WaitUsed: the channel has been given to kelWait, so a waiting step need
  // not yield. WaitQuiet: the last kelWait polled the channel and found
  // nothing (1); the next step on it may return at once (one step only);
  // 2: it found the socket writable, which the next step need not ask again.
  uint8_t WaitUsed;
  uint8_t WaitQuiet;
  // KEL_PIPELINING (opt-in).
  uint8_t PipelineWanted;
  // Replies of the pipelined envelope still to be read, in order.
  int32_t PipelinePending;
  int32_t PipelineRcpts;     // of them, RCPT replies
  // A poll found the socket readable and nothing has been received since:
  // it stays readable until the next receive, so it need not be asked again.
  uint8_t ReadableSeen;
  // A poll found the socket writable at tick WritableAt and nothing has
  // been sent since: within that tick it is not asked again.
  uint8_t WritableSeen;
  uint32_t WritableAt;
  FileBuffer EmailOut;       // the email file of a retrieval
  FileBuffer AttachOut;      // the attachment file the decoder writes (while sending, when empty: the attachment read buffer)
  char OutBuf[OutBufSize];
  char Stage[StageSize];
  // TLS (src/net/tls.cpp, src/driver/tls_start.cpp): the caller's settings
  // and the live session of the connection.
  int32_t TlsMode;            // KEL_TLS_MODE: 0 off, 1 STARTTLS/STLS when offered, 2 required, 3 implicit
  uint8_t TlsNoVerify;        // KEL_TLS_VERIFY 0: any certificate is accepted
  int32_t TlsAfterState;      // the state entered once the handshake is done
  char TlsCaFile[260];        // KEL_TLS_CA_FILE: trusted roots instead of the system store
  char TlsServerName[130];    // KEL_TLS_SERVER_NAME: the name to check instead of Server
  char TlsInfo[130];          // protocol and cipher of the last handshake (kelDebug)
  char TlsPeer[260];          // the peer certificate's subject (kelDebug)
  char TlsCert[1024];         // its subject, issuer, dates and verification, whole lines (kelDebug)
  struct TlsLink *Tls;        // null while the connection is plain
  // Non-blocking reads (reader.cpp): a step never waits for data. A reply or
  // line that has begun to arrive but is not whole yet stays in the receive
  // ring until a later step; RestPhase names what is awaited (0 = nothing)
  // and RestSince is the tick that wait began, so its limit counts across
  // steps as the wait inside one step of blocking mode does.
  uint8_t RestPhase;
  Tick RestSince;
  ServerFeatures Features;    // what the server's EHLO or CAPA reply offered
  ServerAddressList Addresses;  // written by the socket layer (net/socket.cpp)
  ProxySettings Proxy;          // written by the proxy states (driver/proxy.cpp)
  // Bounded input (reader.cpp): while InputBounded is set, the readers take
  // at most InputLeft more bytes (an IMAP literal: nothing behind it may be
  // read as part of it, not even by the decoder's look at the next line).
  uint8_t InputBounded;
  uint32_t InputLeft;
  // IMAP (src/driver/imap*.cpp). The settings: KEL_IMAP_PORT, KEL_IMAP_MARK_SEEN,
  // KEL_IMAP_MAILBOX, KEL_IMAP_SEARCH.
  uint16_t ImapPort;
  uint8_t ImapMarkSeen;
  char ImapMailbox[514];
  char ImapSearch[1026];
  // The session: the number of the last tag sent ("A<n>"), the mailbox's
  // UIDVALIDITY and message count, the matching UIDs in order (slot 9:
  // ImapUidCapacity numbers, then one bit per number, set once deleted).
  uint32_t ImapTag;
  uint32_t ImapUidValidity;
  uint32_t ImapExists;
  uint32_t *ImapUids;
  int32_t ImapUidCount;
  int32_t ImapUidCapacity;
  int32_t ImapExpungeFrom;    // the next deleted message to expunge
  uint8_t ImapPhase;          // what untagged data the command under way collects (imap.h)
  uint8_t ImapLoggedIn;
  uint8_t ImapCapsAfterLogin; // a status response carried the capabilities since they were last asked
  uint8_t ImapBye;            // the server said BYE
  // LOGIN with synchronizing literals: the command in AuthLine leaves in
  // parts, each after the server's go-ahead; ImapPartAt[k] is where part k ends.
  uint8_t ImapPart;
  uint8_t ImapParts;
  uint16_t ImapPartAt[3];
  // The response reader (imap_reader.cpp): its place in the response
  // across pieces and steps.
  uint8_t ImapMode;           // the lexer's mode
  uint8_t ImapKind;           // untagged, tagged or continuation
  uint8_t ImapStatus;         // status word: OK, NO, BAD, BYE, PREAUTH
  uint8_t ImapWhat;           // what an untagged response carries
  uint8_t ImapDepth;          // lists open
  uint8_t ImapAttr;           // FETCH: the item whose value comes next
  uint8_t ImapAttrDepth;      // FETCH: the depth at which that value's list closes
  uint8_t ImapTokenCut;       // the token was longer than ImapToken holds
  uint8_t ImapBodyLiteral;    // the literal being read is the message
  uint8_t ImapBodyWanted;     // 1 to the email file, 2 to the caller's buffer
  uint8_t ImapHeaderDone;     // kelGetEmailLines: the blank line after the header has come
  uint8_t ImapBodySeen;       // the message of the FETCH under way has come
  uint16_t ImapIndex;         // tokens read at depth 0 after the tag
  uint16_t ImapTokenLength;
  uint16_t ImapTextLength;
  uint32_t ImapLiteralLeft;   // the count of the literal being announced ({n}); its bytes are InputLeft
  uint32_t ImapNumber;        // the number in front of EXISTS, FETCH ...
  uint32_t ImapFetchUid;      // the UID and size the FETCH response gave
  uint32_t ImapFetchSize;
  uint32_t ImapWantedUid;     // the message the command asked for
  int32_t ImapLinesLeft;      // kelGetEmailLines: body lines still wanted
  char ImapToken[1024];
  char ImapText[1024];        // the text of a status response
  char ImapCommand[1026];     // kelCommand's text on an IMAP channel
  // Waiting for new mail (kelCommand "IDLE"): the end of the wait, its
  // length, and the messages of the session's list before the new ones.
  Tick ImapIdleEnd;
  uint32_t ImapIdleWait;      // ms
  int32_t ImapIdleCount;
  uint8_t ImapNewMail;        // an EXISTS has grown the mailbox
  // The state ends its own wait at Deadline (IDLE): the frame does not
  // take the passing of the Deadline as a time-out.
  uint8_t WakeAtDeadline;

  // The outgoing message (src/driver/examine.cpp, compose.cpp, attach.cpp):
  // what the look at its texts found before MAIL FROM, and how each text
  // goes out (TextCharset, TextCoding in compose.h).
  TextProfile Profile;        // of the text being examined
  uint8_t BodyCharset;
  uint8_t BodyCoding;
  uint8_t CarryLf;            // a Base64 text: the LF of a line end still to go
  uint8_t UseSmtpUtf8;        // this send goes with SMTPUTF8
  uint8_t Examined;           // 0 until the message of this send has been looked at
  uint8_t RawHeader;          // KEL_RAW_SUBMIT: the message's header is being sent
  uint8_t RawDropping;        // a Bcc field (and its continuation lines) is being left out
  uint32_t MessageEstimate;   // the SIZE announced on MAIL FROM (an upper bound of the data)
  uint32_t MessageLeast;      // a lower bound of the data
  // The send options (kelIntegerParam, kelStringParam).
  uint8_t RawSubmit;          // KEL_RAW_SUBMIT: the message text is the whole message
  uint8_t AttachTypes;        // KEL_ATTACH_TYPES: attachment types from their extensions
  uint8_t AlwaysMessageId;    // KEL_MESSAGE_ID: a Message-ID on every message
  char DsnNotify[66];         // KEL_DSN_NOTIFY ("" = none)
  char DsnRet[6];             // KEL_DSN_RET: "FULL", "HDRS" or ""
  // KEL_TEXT_ALTERNATIVE (slot 10): the plain text of an HTML body, sent
  // before it in multipart/alternative. AltPhase: 1 while it is sent, 2
  // while the HTML after it is; AltCharset and AltCoding hold the other
  // text's choice meanwhile, AltStash the HTML body's source.
  char *AltText;
  uint8_t AltPhase;
  uint8_t AltCharset;
  uint8_t AltCoding;
  char *AltStash;
  // The attachments of an HTML message with its plain version, inline images
  // and other files: pass 1 sends the images (inside multipart/related),
  // pass 2 the others; AttachStart is the list's beginning (0: one pass).
  uint8_t AttachPass;
  char *AttachStart;
  // The first file failure of the operation under way: its error code (0 =
  // none) and "'path': reason" for kelErrorText. A fault ends the retrieval.
  int32_t FileFault;
  char FileFaultText[300];
  // KEL_NUMBER_FILENAMES: the next number to try, past the files present.
  int32_t NextFileNumber;
  // The last byte written to the email file was not a line end.
  uint8_t EmailLineOpen;
  // The last four bytes of a raw retrieval (the end line is LF "." CR LF).
  uint32_t RawTail;
  // Login texts whose last kelStringParam was refused (-77): 1 user, 2 password, 4 token.
  uint8_t RefusedLoginTexts;
  // The decoder: the top-level header has had its "MIME-Version: 1.0" line;
  // the top-level header has not ended yet.
  uint8_t MimeVersionSeen;
  uint8_t TopHeaderOpen;
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
