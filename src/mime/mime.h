// The incoming MIME decoder and the attachment files it writes.
//
// While a message is retrieved into a file, every line goes through
// DecodeLine, which follows the message's MIME structure and answers
// whether the line is to be written to the email file (1) or not (0).
// Attachment parts go, decoded, to files of their own.
#pragma once

#include "../core/channel.h"

// Values of DecodeState.
enum DecoderState {
  NotMime = 0,       // not decoded: every further line is written unchanged
  RawMode = 1,       // raw retrieval, the decoder is never called
  TopHeader = 2,     // top-level header, no sign of MIME yet
  MimeHeader = 3,    // top-level header after "MIME-Version: 1.0"
  BetweenParts = 4,  // boundary known: rest of the header, preamble, text between parts
  PartHeader = 5,    // header of a body part
  PartBody = 6,      // body of a part, or of a single-part MIME message
};

// Values of MimeEncoding.
enum { EncodingNone = 0, Encoding7Bit = 1, EncodingBase64 = 2, EncodingQuoted = 3 };

// Clears the decoder's bookkeeping before a message is retrieved (the
// fields the session call does not clear, and the stream state).
void StartDecoding(Channel &ch);

// Decodes the line (or line piece) in Response, length bytes long; may
// change the line in place (folded headers are joined, encoded words
// decoded), in which case length is updated. Returns 1 = write, 0 = consume.
int DecodeLine(Channel &ch, int &length);
int DecodeLine(Channel &ch);

// The one writer of the email file: 0 when there is nothing to write or
// no email file, else the bytes written, -1 when the write failed.
int WriteEmailLine(Channel &ch, const char *text, int length);

// Appends the next line to a folded header line in Response when it
// continues it (begins with a blank or tab) and, with endChar given, the
// line ends with endChar. Returns 1 when a line was joined.
int JoinContinuation(Channel &ch, char endChar);
// Looks at up to count (at most 7) bytes of the next line without taking
// them, waiting up to KEL_RECEIVE_TIMEOUT for it; returns the bytes seen.
int PeekNextLine(Channel &ch, char *peek, int count);
// 1 when text holds a quoted-printable ISO-8859-1 encoded word, else 2
// when it holds a Base64 one, else 0.
int EncodedWordKind(const char *text);
// Decodes every ISO-8859-1 encoded word of the line in Response from
// character index `from` on, each by its own kind, in place.
void DecodeEncodedWords(Channel &ch, int from);

// Base64 of part bodies as one stream over lines: characters outside the
// alphabet are skipped and a group may span lines. Writes at most
// 3 * (count + 3) / 4 bytes; returns the bytes produced.
int Base64StreamDecode(Channel &ch, const char *text, int count, unsigned char *out);

// ---- Attachment files ------------------------------------------------------
// Directory, the path separator unless the directory ends with one, and name into out;
// returns the length, or -1 when the path has more than limit characters
// (a path is never cut).
int JoinPath(char *out, int outSize, const char *dir, const char *name, int limit = 128);
// Takes a file name from the part-header line in Response into AttachName: 1 when found.
int TakeFileName(Channel &ch);
// Creates the file for AttachName in AttachDir: 1 when FileHandle holds it.
int CreateAttachFile(Channel &ch);
// At the end of a part header: saves an unnamed Base64 part when KEL_SAVE_UNNAMED is set.
void SaveUnnamedPart(Channel &ch);
// Closes an attachment file still being written and writes its note into
// the email file (used by the retrieval states and by kelClose).
void CloseAttachFile(Channel &ch);
