// Case-insensitive search, comparison and line copy shared by the driver,
// the decoder and the exported text utilities.
#pragma once

const char *TextSearch(const char *haystack, const char *needle);
bool PrefixEquals(const char *text, const char *keyword, int count);
int CopyLine(const char *from, char *out, int outSize);
