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
enum { EncodingNone = 0, Encoding7Bit = 1, EncodingBase64 = 2, EncodingQuoted = 3, EncodingUu = 4 };

// Values of PartKind: what the part's Content-Type makes of it.
enum { PartText = 0, PartLeaf = 1, PartMultipart = 2, PartMessage = 3 };

// Multipart levels held at once; a deeper one is read as text.
constexpr int MaxBoundaryDepth = 16;

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
// line ends with endChar. Without endChar only the line break goes (RFC
// 5322 unfolding); with it the blanks around the break go too. Returns 1
// when a line was joined.
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

// Joins every folded continuation of the header line in Response that
// still fits; returns the lines joined.
int JoinFolded(Channel &ch);
// The value of the parameter attr of a header value (the text after the
// colon), quoted or not, RFC 2231 forms (charset, language, continuations)
// and RFC 2047 encoded words decoded into UTF-8. The first of the plain and
// extended forms in the header wins. strictQuote: a quote not closed gives
// no value. Returns the value's length, or -1 when there is none.
int HeaderParam(const char *value, const char *attr, char *out, int outSize, bool strictQuote = false);
// Encoded words of any character set in count bytes of text, as UTF-8,
// into out (at most outSize - 1 bytes and a NUL). Returns the length.
int DecodeWordsUtf8(const char *text, int count, char *out, int outSize);
// Writes a raw line of an attached message to its file; the line end
// before a boundary belongs to the boundary, so it is held back.
void WriteEmbedded(Channel &ch, const char *text, int count);

// Base64 of part bodies as one stream over lines: characters outside the
// alphabet are skipped and a group may span lines. Writes at most
// 3 * (count + 3) / 4 bytes; returns the bytes produced.
int Base64StreamDecode(Channel &ch, const char *text, int count, unsigned char *out);
// The bytes of a group left open by a Base64 body without its pad: two or
// three characters give one or two bytes. Returns them (at most 2).
int Base64StreamFlush(Channel &ch, unsigned char *out);

// ---- Attachment files ------------------------------------------------------
// Directory, the path separator unless the directory ends with one, and name into out;
// returns the length, or -1 when the path has more than limit characters
// (a path is never cut).
int JoinPath(char *out, int outSize, const char *dir, const char *name, int limit = 128);
// Takes a file name from the part-header line in Response into AttachName: 1 when found.
int TakeFileName(Channel &ch);
// Creates the file for AttachName in AttachDir: 1 when FileHandle holds it.
int CreateAttachFile(Channel &ch);
// Creates the file of an attached message, named by AttachName when the
// part header named it, else part-N.eml: 1 when EmbedHandle holds it (or,
// inside an attached message, the next of InnerEmbeds).
int CreateEmbedFile(Channel &ch);
// Writes decoded part bytes to the attachment file.
void WriteAttachBytes(Channel &ch, const char *bytes, int count);
// Closes the file of the current part at its boundary, with its note.
void ClosePartFile(Channel &ch);
// Closes the attached message's file, with its note.
void CloseEmbedFile(Channel &ch);
// Closes, with their notes, the files of messages attached inside the
// attached message that began inside boundary level `level` (innermost
// first); -1 closes them all.
void CloseInnerEmbedFiles(Channel &ch, int level);
// At the end of a part header: saves an unnamed Base64 part when KEL_SAVE_UNNAMED is set.
void SaveUnnamedPart(Channel &ch);
// At the end of a message (retrieval states, kelClose): the rest of a
// Base64 body is written, then every file still open is closed with its note.
void CloseAttachFile(Channel &ch);
// After a failure: the files still open are incomplete; they are closed and removed.
void DiscardAttachFiles(Channel &ch);
// Closes the part's file without a note (a part named twice, a boundary
// defined late): a failed close is a file fault.
void CloseFileChecked(Channel &ch);
