// Helpers shared by the composition states (compose.cpp) and the attachment
// states (attach.cpp).
#pragma once

#include "driver.h"

// A formatted line holds at most this many characters, its CR LF not
// counted. Subjects, address lists and names longer than a line are folded
// (compose.cpp, attach.cpp), never cut.
constexpr int HeaderLineLimit = 1023;

// The longest header line composed where the library folds (RFC 5322 aims
// at 78 characters; 998 is the limit every line keeps).
constexpr int FoldWidth = 78;
constexpr int LineOctetLimit = 998;

// How an outgoing text is declared and sent, chosen from its profile
// before MAIL FROM (examine.cpp).
enum TextCharset : uint8_t { CharsetAscii = 0, CharsetUtf8 = 1, CharsetLegacy = 2 };
enum TextCoding : uint8_t { CodingPlain = 0, CodingQuoted = 1, CodingBase64 = 2, CodingEightBit = 3 };

// "us-ascii", "utf-8" or the system's legacy character set.
const char *CharsetName(uint8_t charset);
// The profile of a text read in pieces.
void ProfileBytes(TextProfile &p, const char *bytes, int count);
// The character set and coding of a text of the given body format.
void ChooseCoding(const TextProfile &p, uint32_t format, uint8_t *charset, uint8_t *coding);

// Before MAIL FROM (examine.cpp): looks at the message of this send once
// (a message file in steps of ExamineBodyFile: then 1, and MailFrom runs
// again when it is done), chooses the body's coding, estimates the size and
// checks it and the addresses against what the server offers: 0 to go on,
// or the error exit's result (-87, -88, the connection kept).
int ExamineMessage(Channel &ch);

// An HTML body with its plain version (KEL_TEXT_ALTERNATIVE): multipart/alternative.
bool HasAlternative(const Channel &ch);
// True when an entry of the attachment list is not an inline image (attach.cpp).
bool ListHasPlainAttachment(const Channel &ch);
// True when an entry of the attachment list is an inline image.
bool ListHasInlineImage(const Channel &ch);
// With a plain version, inline images and other files: mixed { related {
// alternative, images }, files }. The related level's boundary.
bool RelatedInMixed(const Channel &ch);
void RelatedBoundary(char *out, int size);

// The quote around boundaries and file names.
constexpr char QuoteChar = '"';

// The stem of the Message-ID and of every Content-ID.
constexpr const char *MessageRoot = "message-root";

// Appends text to a line of the given length, never past limit characters,
// turning CR and LF into blanks so that no caller text can break the line.
// Zero-terminates the line and returns its new length.
int AppendLineText(char *line, int length, const char *text, int limit = HeaderLineLimit);

// Sends SendLine followed by CR LF: 0, or the error exit's result when the
// socket refuses it (the open message or attachment file is closed first).
int SendComposedLine(Channel &ch);

// The error exit of a composition state: closes the message or attachment
// file still open, so a failed message never leaks its file.
// The first state of the message text after DATA: the Message-ID line of
// an HTML message, else the X-Mailer line.
int FirstHeaderState(const Channel &ch);
int ComposeFail(Channel &ch, int sockCode, int kelCode);

// The first position of c in text, or null (a NUL separator is never found).
char *FindSeparator(char *text, char c);
const char *FindSeparator(const char *text, char c);
