// Case-insensitive search, comparison and line copy shared by the driver,
// the decoder and the exported text utilities.
#pragma once

// The upper case of an ASCII letter; every other byte as it is.
inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The name part of a path: after its last "\\", ":" or "/" (the first
// character is never taken as a separator).
const char *FileNameOf(const char *path);

const char *TextSearch(const char *haystack, const char *needle);
bool PrefixEquals(const char *text, const char *keyword, int count);
int CopyLine(const char *from, char *out, int outSize);
