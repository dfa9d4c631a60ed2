// The IMAP response reader (RFC 3501 / 9051 section 7 and the grammar of
// section 9): tagged, untagged and continuation responses, read one piece
// (a line, or up to 1023 bytes of a longer one) per call and taken apart
// byte by byte, so that a response of any length costs no more memory than
// one piece. The lexer's place (in an atom, a quoted string, a literal's
// count, a list) stays in the channel between pieces and steps.
//
// Rules:
// - Literals ({n} and {n+}) are read through the bounded input of the
//   response reader: the message literal of a FETCH goes line by line to
//   the decoder (or the caller's buffer) and nothing behind it can be taken
//   as part of it; any other literal is kept as a token of at most 1023
//   bytes.
// - Strict: a byte that the grammar does not allow where it stands (a bare
//   CR, a NUL, an unclosed list or quoted string at the line end, a bad
//   literal count, a tag the library did not send, a number that is none)
//   is -75 and never success. Only repeated blanks are let pass.
// - Untagged data is taken as it comes: CAPABILITY (also as the code of a
//   status response), EXISTS and EXPUNGE, UIDVALIDITY, the SEARCH numbers,
//   the UID, RFC822.SIZE and BODY[] items of FETCH. Everything else is read
//   and passed over.
#include <cstring>

#include "../core/errors.h"
#include "../core/text.h"
#include "../net/reader.h"
#include "../net/socket.h"
#include "features.h"
#include "imap.h"

namespace {

constexpr int LineSize = 1024;
constexpr int Malformed = Err::ImapReplyMalformed;
constexpr int MaxDepth = 32;

enum Mode : uint8_t {
  ModeTag = 0,    // the start of a line: its tag
  ModeToken,      // a token may begin (after a blank or "(")
  ModeAfter,      // after a token: a blank, ")" or the line end
  ModeAtom,
  ModeQuoted,
  ModeEscape,
  ModeCount,      // "{" and the digits of a literal's count
  ModeCountEnd,   // after "+": "}"
  ModeLiteralCr,  // after "}": CR LF
  ModeLiteralLf,
  ModeLiteral,    // the literal's bytes
  ModeTextStart,  // after a status word: a blank and the text, or the line end
  ModeText,
  ModeLf,         // after CR: LF
};

enum Kind : uint8_t { KindNone = 0, KindUntagged, KindTagged, KindContinuation };
enum What : uint8_t { WhatNone = 0, WhatStatus, WhatCapability, WhatSearch, WhatNumber, WhatFetch, WhatList, WhatOther };
enum TokenKind : uint8_t { TokAtom, TokQuoted, TokLiteral, TokOpen, TokClose };
enum Attr : uint8_t { AttrName = 0, AttrUid, AttrSize, AttrBody, AttrSkip };

const char *const StatusNames[] = {"", "OK", "NO", "BAD", "BYE", "PREAUTH"};

bool IsAtomChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7F && c != '(' && c != ')' && c != '{' && c != '"';
}

bool Is(const Channel &ch, const char *word) {
  const int n = static_cast<int>(strlen(word));
  return ch.ImapTokenLength == n && PrefixEquals(ch.ImapToken, word, n);
}

// The token as a number (RFC 3501 number: digits, at most 2^32 - 1); false
// when it is none.
bool TokenNumber(const Channel &ch, uint32_t &value) {
  if (ch.ImapTokenLength < 1 || ch.ImapTokenLength > 10 || ch.ImapTokenCut) return false;
  uint64_t v = 0;
  for (int i = 0; i < ch.ImapTokenLength; i++) {
    const char c = ch.ImapToken[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

void ClearToken(Channel &ch) {
  ch.ImapTokenLength = 0;
  ch.ImapTokenCut = 0;
  ch.ImapToken[0] = 0;
}

void AppendToken(Channel &ch, const char *bytes, int count) {
  const int room = static_cast<int>(sizeof ch.ImapToken) - 1 - ch.ImapTokenLength;
  const int n = count < room ? count : room;
  if (n > 0) {
    memcpy(ch.ImapToken + ch.ImapTokenLength, bytes, static_cast<size_t>(n));
    ch.ImapTokenLength = static_cast<uint16_t>(ch.ImapTokenLength + n);
  }
  if (n < count) ch.ImapTokenCut = 1;
  ch.ImapToken[ch.ImapTokenLength] = 0;
}

void AppendText(Channel &ch, char c) {
  if (ch.ImapTextLength < sizeof ch.ImapText - 1) ch.ImapText[ch.ImapTextLength++] = c;
  ch.ImapText[ch.ImapTextLength] = 0;
}

void AddUid(Channel &ch, uint32_t uid) {
  if (ch.ImapUids && ch.ImapUidCount < ch.ImapUidCapacity) {
    ch.ImapUids[ch.ImapUidCount++] = uid;
    return;
  }
  LogLine(ch, "[UID %lu beyond the list, left out]\r\n", static_cast<unsigned long>(uid));
}

// A status word at the start of a response; the text follows it.
int StatusWord(Channel &ch, bool untagged) {
  uint8_t word = ImapNone;
  if (Is(ch, "OK")) word = ImapOk;
  else if (Is(ch, "NO")) word = ImapNo;
  else if (Is(ch, "BAD")) word = ImapBad;
  else if (untagged && Is(ch, "BYE")) word = ImapByeWord;
  else if (untagged && Is(ch, "PREAUTH")) word = ImapPreauth;
  if (word == ImapNone) return 0;
  ch.ImapStatus = word;
  ch.ImapWhat = WhatStatus;
  ch.ImapTextLength = 0;
  ch.ImapText[0] = 0;
  ch.ImapMode = ModeTextStart;
  return 1;
}

// A token directly in the response (depth 0), at index idx after the tag.
int TopToken(Channel &ch, TokenKind tok, int idx) {
  if (idx == 0) {
    if (tok != TokAtom) return Malformed;
    if (StatusWord(ch, ch.ImapKind == KindUntagged)) return 0;
    if (ch.ImapKind != KindUntagged) return Malformed;
    uint32_t number = 0;
    if (TokenNumber(ch, number)) {
      ch.ImapNumber = number;
      ch.ImapWhat = WhatNumber;
    } else if (Is(ch, "CAPABILITY")) {
      ch.ImapWhat = WhatCapability;
      ch.Features = ServerFeatures{};
    } else if (Is(ch, "SEARCH") && ch.ImapPhase == PhaseSearch) {
      ch.ImapWhat = WhatSearch;  // the answer to the session's own search; any other is passed over
    } else if (Is(ch, "LIST") && ch.ImapPhase == PhaseFolders) {
      ch.ImapWhat = WhatList;
      ch.ImapTextLength = 0;
      ch.ImapText[0] = 0;
    } else {
      ch.ImapWhat = WhatOther;
    }
    return 0;
  }
  switch (ch.ImapWhat) {
    case WhatNumber:
      if (tok != TokAtom) return Malformed;
      ch.ImapWhat = WhatOther;
      if (Is(ch, "EXISTS")) {
        if (ch.ImapNumber > ch.ImapExists) ch.ImapNewMail = 1;
        ch.ImapExists = ch.ImapNumber;
      } else if (Is(ch, "EXPUNGE")) {
        if (ch.ImapNumber == 0) return Malformed;
        if (ch.ImapExists > 0) ch.ImapExists--;
      } else if (Is(ch, "FETCH")) {
        if (ch.ImapNumber == 0) return Malformed;
        ch.ImapWhat = WhatFetch;
        ch.ImapAttr = AttrName;
        ch.ImapFetchUid = ch.ImapFetchSize = 0;
      }
      return 0;
    case WhatCapability:
      if (tok != TokAtom) return Malformed;
      ReadImapCapability(ch.ImapToken, ch.ImapTokenLength, ch.Features);
      return 0;
    case WhatSearch: {
      uint32_t uid = 0;
      if (tok == TokOpen) return 0;  // a modifier list (MODSEQ) is passed over
      if (tok != TokAtom || !TokenNumber(ch, uid) || uid == 0) return Malformed;
      AddUid(ch, uid);
      return 0;
    }
    case WhatFetch:
      return idx == 2 && tok == TokOpen ? 0 : Malformed;
    case WhatList:
      // "(attributes)" delimiter name: the name stays in ImapToken.
      if (idx == 1) return tok == TokOpen ? 0 : Malformed;
      if (idx == 2) return tok == TokQuoted || (tok == TokAtom && Is(ch, "NIL")) ? 0 : Malformed;
      if (idx == 3) return tok == TokOpen || tok == TokClose ? Malformed : 0;
      return 0;
    default:
      return 0;
  }
}

// The message text of a quoted or NIL BODY[] value, or a piece of its
// literal, in Response.
int TakeBodyPiece(Channel &ch, int n);

// An item of a FETCH response's list (depth 1): a name, then its value.
int FetchItem(Channel &ch, TokenKind tok) {
  if (ch.ImapAttr == AttrName) {
    if (tok != TokAtom) return Malformed;
    if (Is(ch, "UID")) ch.ImapAttr = AttrUid;
    else if (Is(ch, "RFC822.SIZE")) ch.ImapAttr = AttrSize;
    else if (ch.ImapTokenLength >= 5 && PrefixEquals(ch.ImapToken, "BODY[", 5)) ch.ImapAttr = AttrBody;
    else ch.ImapAttr = AttrSkip;
    return 0;
  }
  if (tok == TokOpen) {
    // A list value (FLAGS, BODYSTRUCTURE): passed over up to its close.
    if (ch.ImapAttr != AttrSkip) return Malformed;
    ch.ImapAttrDepth = 1;
    return 0;
  }
  if (tok == TokClose) return Malformed;
  uint32_t value = 0;
  switch (ch.ImapAttr) {
    case AttrUid:
    case AttrSize:
      if (tok != TokAtom || !TokenNumber(ch, value)) return Malformed;
      (ch.ImapAttr == AttrUid ? ch.ImapFetchUid : ch.ImapFetchSize) = value;
      break;
    case AttrBody:
      if (tok == TokAtom && !Is(ch, "NIL")) return Malformed;
      if (tok == TokQuoted && ch.ImapBodyWanted != BodyNotWanted && !ch.ImapBodySeen) {
        // A short message sent as a quoted string: one piece, no line end of its own.
        const int n = CopyField(ch.Response, ch.ImapToken, ch.ImapTokenLength);
        if (n > 0) {
          if (int rc = TakeBodyPiece(ch, n)) return rc;
        }
        ch.ImapBodySeen = 1;
      }
      break;
    default:
      break;
  }
  ch.ImapAttr = AttrName;
  return 0;
}

int OnToken(Channel &ch, TokenKind tok) {
  const int depth = ch.ImapDepth;
  if (tok == TokClose) {
    if (depth == 0) return Malformed;
    ch.ImapDepth--;
    if (ch.ImapWhat == WhatFetch && ch.ImapDepth == 1 && ch.ImapAttr == AttrSkip && ch.ImapAttrDepth == 1) {
      ch.ImapAttr = AttrName;  // the list value has closed
      ch.ImapAttrDepth = 0;
      return 0;
    }
    return 0;
  }
  if (tok == TokOpen) {
    if (depth >= MaxDepth) return Malformed;
    ch.ImapDepth++;
  }
  if (depth == 0) return TopToken(ch, tok, ch.ImapIndex++);
  if (ch.ImapWhat == WhatFetch && depth == 1) return FetchItem(ch, tok);
  if (ch.ImapWhat == WhatList && depth == 1 && ch.ImapIndex == 2) {
    // A name attribute ("\HasNoChildren") into ImapText, blank-separated.
    if (tok != TokAtom) return Malformed;
    if (ch.ImapTextLength > 0) AppendText(ch, ' ');
    for (int i = 0; i < ch.ImapTokenLength; i++) AppendText(ch, ch.ImapToken[i]);
  }
  return 0;
}

// One line "name TAB attributes CR LF" of the folder list into the
// caller's buffer: whole lines only.
void AddFolderLine(Channel &ch) {
  char name[1100];
  const int n = DecodeMailboxName(ch.ImapToken, ch.ImapTokenLength, name, sizeof name);
  const int length = n + 1 + ch.ImapTextLength + 2;
  if (!ch.UserBuffer || ch.BufferUsed + length > ch.UserBufferSize) return;
  char *out = ch.UserBuffer + ch.BufferUsed;
  memcpy(out, name, static_cast<size_t>(n));
  out[n] = '\t';
  memcpy(out + n + 1, ch.ImapText, ch.ImapTextLength);
  memcpy(out + n + 1 + ch.ImapTextLength, "\r\n", 2);
  ch.BufferUsed += length;
  ch.UserBuffer[ch.BufferUsed] = 0;
}

// The code of a status response's text ("[CAPABILITY ...]", "[UIDVALIDITY n]").
int ReadTextCode(Channel &ch) {
  const char *text = ch.ImapText;
  const int length = ch.ImapTextLength;
  if (length == 0 || text[0] != '[') return 0;
  const char *close = static_cast<const char *>(memchr(text, ']', static_cast<size_t>(length)));
  if (!close) return length >= static_cast<int>(sizeof ch.ImapText) - 1 ? 0 : Malformed;
  const char *code = text + 1;
  const int codeLength = static_cast<int>(close - code);
  int word = 0;
  while (word < codeLength && code[word] != ' ') word++;
  if (word == 10 && PrefixEquals(code, "CAPABILITY", 10)) {
    ch.Features = ServerFeatures{};
    ch.ImapCapsAfterLogin = 1;
    for (int at = word; at < codeLength;) {
      while (at < codeLength && code[at] == ' ') at++;
      int end = at;
      while (end < codeLength && code[end] != ' ') end++;
      if (end > at) ReadImapCapability(code + at, end - at, ch.Features);
      at = end;
    }
  } else if (word == 11 && PrefixEquals(code, "UIDVALIDITY", 11)) {
    uint64_t v = 0;
    int at = word + 1;
    if (at >= codeLength) return Malformed;
    for (; at < codeLength; at++) {
      if (code[at] < '0' || code[at] > '9') return Malformed;
      v = v * 10 + static_cast<uint32_t>(code[at] - '0');
      if (v > 0xFFFFFFFFull) return Malformed;
    }
    ch.ImapUidValidity = static_cast<uint32_t>(v);
  }
  return 0;
}

void StartLine(Channel &ch) {
  ch.ImapMode = ModeTag;
  ch.ImapKind = KindNone;
  ch.ImapWhat = WhatNone;
  ch.ImapDepth = 0;
  ch.ImapIndex = 0;
  ch.ImapAttr = AttrName;
  ch.ImapAttrDepth = 0;
  ClearToken(ch);
}

int OnLineEnd(Channel &ch) {
  if (ch.ImapDepth != 0 || ch.ImapKind == KindNone) return Malformed;
  if (ch.ImapKind != KindContinuation) {
    if (ch.ImapIndex == 0 || ch.ImapWhat == WhatNumber) return Malformed;
    if (ch.ImapWhat == WhatFetch && ch.ImapIndex < 3) return Malformed;
  }
  int result = ImapLineEnd;
  if (ch.ImapWhat == WhatStatus) {
    if (int rc = ReadTextCode(ch)) return rc;
    if (ch.ImapKind == KindTagged || ch.ImapStatus == ImapByeWord || ch.ImapStatus == ImapNo ||
        ch.ImapStatus == ImapBad) {
      char tag[16];
      ImapTagText(ch, tag, sizeof tag);
      FormatLine(ch.LastReply, sizeof ch.LastReply, "%s %s %s", ch.ImapKind == KindTagged ? tag : "*",
                 StatusNames[ch.ImapStatus], ch.ImapText);
    }
    if (ch.ImapStatus == ImapByeWord) ch.ImapBye = 1;
  }
  if (ch.ImapWhat == WhatList) {
    if (ch.ImapIndex != 4) return Malformed;
    AddFolderLine(ch);
  }
  if (ch.ImapWhat == WhatFetch && ch.ImapFetchUid != 0 && ch.ImapFetchUid == ch.ImapWantedUid && ch.ImapFetchSize)
    ch.EmailSize = static_cast<int32_t>(ch.ImapFetchSize > 0x7FFFFFFFu ? 0x7FFFFFFFu : ch.ImapFetchSize);
  if (ch.ImapKind == KindTagged) {
    result = ImapTagged;
    ch.ReplyCode = ch.ImapStatus == ImapOk ? 100 : 500;
  } else if (ch.ImapKind == KindContinuation) {
    result = ImapGoAhead;
    CopyField(ch.LastReply, ch.ImapText, 127);
  }
  StartLine(ch);
  return result;
}

// The tag has ended at c.
int EndTag(Channel &ch, char c) {
  if (ch.ImapTokenLength == 0 || ch.ImapTokenCut) return Malformed;
  char tag[16];
  ImapTagText(ch, tag, sizeof tag);
  if (Is(ch, "*")) {
    ch.ImapKind = KindUntagged;
  } else if (Is(ch, "+")) {
    ch.ImapKind = KindContinuation;
    ch.ImapWhat = WhatNone;
    ch.ImapTextLength = 0;
    ch.ImapText[0] = 0;
    ClearToken(ch);
    if (c == ' ') ch.ImapMode = ModeText;
    else if (c == '\r') ch.ImapMode = ModeLf;
    else return c == '\n' ? 1 : Malformed;
    return 0;
  } else if (Is(ch, tag)) {
    ch.ImapKind = KindTagged;
  } else {
    return Malformed;  // a tag the library did not send
  }
  ch.ImapStatus = ImapNone;
  ClearToken(ch);
  if (c != ' ') return Malformed;
  ch.ImapMode = ModeToken;
  return 0;
}

// The literal's count has been read and its line has ended: its bytes follow.
void BeginLiteral(Channel &ch) {
  const uint32_t size = ch.ImapLiteralLeft;
  ch.ImapBodyLiteral = ch.ImapWhat == WhatFetch && ch.ImapDepth == 1 && ch.ImapAttr == AttrBody &&
                       ch.ImapBodyWanted != BodyNotWanted && !ch.ImapBodySeen;
  ClearToken(ch);
  ch.LineOpen = 0;
  ch.InputBounded = 1;
  ch.InputLeft = size;
  ch.ImapMode = ModeLiteral;
}

int EndLiteral(Channel &ch) {
  ch.InputBounded = 0;
  ch.InputLeft = 0;
  if (ch.ImapBodyLiteral) {
    ch.ImapBodyLiteral = 0;
    ch.ImapBodySeen = 1;
  }
  ch.ImapMode = ModeAfter;
  return OnToken(ch, TokLiteral);
}

// One piece of response text (at most one line end, at its end). Returns
// an ImapReadResult or -75.
int LexPiece(Channel &ch, const char *p, int n) {
  for (int i = 0; i < n; i++) {
    const char c = p[i];
    switch (ch.ImapMode) {
      case ModeTag:
        if (IsAtomChar(c)) {
          AppendToken(ch, &c, 1);
          break;
        }
        if (int rc = EndTag(ch, c)) return rc == 1 ? OnLineEnd(ch) : rc;
        break;
      case ModeToken:
        if (c == '(') {
          if (int rc = OnToken(ch, TokOpen)) return rc;
        } else if (c == ')') {
          if (int rc = OnToken(ch, TokClose)) return rc;
          ch.ImapMode = ModeAfter;
        } else if (c == '"') {
          ClearToken(ch);
          ch.ImapMode = ModeQuoted;
        } else if (c == '{') {
          ClearToken(ch);
          ch.ImapLiteralLeft = 0;
          ch.ImapMode = ModeCount;
        } else if (c == ' ') {
          // a repeated blank: let pass
        } else if (c == '\r') {
          ch.ImapMode = ModeLf;
        } else if (c == '\n') {
          return OnLineEnd(ch);
        } else if (IsAtomChar(c)) {
          ClearToken(ch);
          AppendToken(ch, &c, 1);
          ch.ImapMode = ModeAtom;
        } else {
          return Malformed;
        }
        break;
      case ModeAfter:
        if (c == ' ') ch.ImapMode = ModeToken;
        else if (c == ')') {
          if (int rc = OnToken(ch, TokClose)) return rc;
        } else if (c == '\r') ch.ImapMode = ModeLf;
        else if (c == '\n') return OnLineEnd(ch);
        else return Malformed;
        break;
      case ModeAtom:
        if (IsAtomChar(c)) {
          AppendToken(ch, &c, 1);
          break;
        }
        ch.ImapMode = ModeAfter;
        if (int rc = OnToken(ch, TokAtom)) return rc;
        if (ch.ImapMode == ModeTextStart) {
          if (c == ' ') ch.ImapMode = ModeText;
          else if (c == '\r') ch.ImapMode = ModeLf;
          else if (c == '\n') return OnLineEnd(ch);
          else return Malformed;
          break;
        }
        i--;  // c is read again after the atom
        break;
      case ModeQuoted:
        if (c == '\\') ch.ImapMode = ModeEscape;
        else if (c == '"') {
          ch.ImapMode = ModeAfter;
          if (int rc = OnToken(ch, TokQuoted)) return rc;
        } else if (c == '\r' || c == '\n' || c == 0) return Malformed;
        else AppendToken(ch, &c, 1);
        break;
      case ModeEscape:
        if (c != '"' && c != '\\') return Malformed;
        AppendToken(ch, &c, 1);
        ch.ImapMode = ModeQuoted;
        break;
      case ModeCount:
        if (c >= '0' && c <= '9') {
          const uint64_t v = uint64_t{ch.ImapLiteralLeft} * 10 + static_cast<uint32_t>(c - '0');
          if (v > 0xFFFFFFFFull) return Malformed;
          ch.ImapLiteralLeft = static_cast<uint32_t>(v);
          ch.ImapTokenLength++;
        } else if (ch.ImapTokenLength > 0 && c == '+') {
          ch.ImapMode = ModeCountEnd;
        } else if (ch.ImapTokenLength > 0 && c == '}') {
          ch.ImapMode = ModeLiteralCr;
        } else {
          return Malformed;
        }
        break;
      case ModeCountEnd:
        if (c != '}') return Malformed;
        ch.ImapMode = ModeLiteralCr;
        break;
      case ModeLiteralCr:
      case ModeLiteralLf:
        if (c == '\r' && ch.ImapMode == ModeLiteralCr) {
          ch.ImapMode = ModeLiteralLf;
          break;
        }
        if (c != '\n' || i != n - 1) return Malformed;
        BeginLiteral(ch);
        if (ch.InputLeft == 0) return EndLiteral(ch) < 0 ? Malformed : ImapMore;
        return ImapMore;
      case ModeTextStart:
      case ModeText:
        if (c == '\r') ch.ImapMode = ModeLf;
        else if (c == '\n') return OnLineEnd(ch);
        else if (c == 0) return Malformed;
        else AppendText(ch, c);
        break;
      case ModeLf:
        if (c != '\n') return Malformed;  // a bare CR
        return OnLineEnd(ch);
      default:
        return Malformed;
    }
  }
  return ImapMore;
}

// kelGetEmailLines: the header and the first TopLines lines of the body
// into the caller's buffer; the rest of the message is read and dropped.
void StoreBufferPiece(Channel &ch, int n) {
  const bool lineStart = !ch.LineOpen;
  ch.LineOpen = ch.Response[n - 1] != '\n';
  const bool wanted = !ch.ImapHeaderDone || ch.ImapLinesLeft > 0;
  if (wanted) {
    const int capacity = ch.UserBuffer ? ch.UserBufferSize : 0;
    if (capacity > 0 && ch.BufferUsed < capacity) {
      const int room = capacity - ch.BufferUsed;
      const int count = n < room ? n : room;
      memcpy(ch.UserBuffer + ch.BufferUsed, ch.Response, static_cast<size_t>(count));
      ch.BufferUsed += count;
    }
  }
  if (ch.LineOpen) return;
  if (!ch.ImapHeaderDone) {
    if (lineStart && (n == 1 || (n == 2 && ch.Response[0] == '\r'))) ch.ImapHeaderDone = 1;
  } else if (ch.ImapLinesLeft > 0) {
    ch.ImapLinesLeft--;
  }
}

int TakeBodyPiece(Channel &ch, int n) {
  if (ch.ImapBodyWanted == BodyToBuffer) {
    ch.BodyBytesRead += static_cast<uint32_t>(n);
    StoreBufferPiece(ch, n);
    return 0;
  }
  return StoreMessagePiece(ch, n);
}

// The end of a literal's bytes, or more of them to come.
int LiteralGoesOn(Channel &ch) {
  if (ch.InputLeft > 0) return ImapMore;
  return EndLiteral(ch) < 0 ? Malformed : ImapMore;
}

// Lines of the message that are already whole in the receive stage go to
// the file many to a step, as a POP3 retrieval takes them; 0 when there
// were none, so that the ordinary reader takes the next piece.
int TakeStagedMessageLines(Channel &ch) {
  int taken = 0;
  while (taken < LinesPerStep && ch.InputLeft > 0 && !MessageNeedsLookahead(ch)) {
    const int n = TakeStagedLine(ch, ch.Response, LineSize);
    if (n < 1) break;
    ++taken;
    if (int rc = TakeBodyPiece(ch, n)) return rc;
  }
  return taken > 0 ? LiteralGoesOn(ch) : 0;
}

// One piece of a literal's bytes (or, of the message, many whole lines).
int ReadLiteralPiece(Channel &ch) {
  const bool body = ch.ImapBodyLiteral;
  const bool toFile = body && ch.ImapBodyWanted == BodyToFile;
  if (toFile) {
    if (int rc = TakeStagedMessageLines(ch)) return rc;
  }
  const bool lookahead = toFile && MessageNeedsLookahead(ch);
  if (AwaitLine(ch, 0, Settings.ResponseTimeout, lookahead) != 1) return ImapNothing;
  ch.InputBounded = 1;
  const int n = ReadLine(ch, ch.Response, LineSize, 0, StepWait(ch, Settings.ReceiveTimeout));
  if (n < 0) return n;
  if (n > 0) {
    if (body) {
      if (int rc = TakeBodyPiece(ch, n)) return rc;
    } else {
      AppendToken(ch, ch.Response, n);
    }
  }
  if (ch.InputLeft == 0) return LiteralGoesOn(ch);
  return n > 0 ? ImapMore : ImapNothing;
}

}  // namespace

void ImapTagText(const Channel &ch, char *out, int size) {
  FormatLine(out, size, "A%lu", static_cast<unsigned long>(ch.ImapTag));
}

void StartImapResponse(Channel &ch) {
  StartLine(ch);
  ch.ImapStatus = ImapNone;
  ch.ImapBodyLiteral = 0;
  ch.InputBounded = 0;
  ch.InputLeft = 0;
}

int ReadImapResponse(Channel &ch) {
  if (ch.ImapMode == ModeLiteral) return ReadLiteralPiece(ch);
  if (AwaitLine(ch, 0, Settings.ResponseTimeout, false) != 1) return ImapNothing;
  const int n = ReadLine(ch, ch.Response, LineSize, 0, StepWait(ch, Settings.ResponseTimeout));
  if (n <= 0) return n;
  // A line whose end never came within the wait is late, not a response.
  if (ch.Response[n - 1] != '\n' && n < LineSize - 1) return Err::Timeout;
  return LexPiece(ch, ch.Response, n);
}
