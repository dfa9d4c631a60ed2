// The error codes by name, made from the one list in errors.def, and the
// texts kelErrorText gives for them.
#pragma once

struct Channel;

namespace Err {
enum Code : int {
#define KEL_ERROR(code, name, reply, text) name = code,
#include "errors.def"
#undef KEL_ERROR
};
}  // namespace Err

// The fixed text of a code, or null when the code is not in the list.
const char *ErrorText(int code);

// The text of a code as kelErrorText gives it: the fixed text, followed by
// the server's reply (ch.Response) for the codes the reply explains.
// Bounded by size (at least 1); returns the length, 0 for an unknown code.
int FormatErrorText(const Channel &ch, int code, char *buffer, int size);
