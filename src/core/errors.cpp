// The text table, made from the one list of codes (errors.def).
#include "errors.h"

#include "channel.h"

namespace {

struct ErrorEntry {
  int Code;
  bool WithReply;
  const char *Text;
};

constexpr ErrorEntry ErrorTable[] = {
#define KEL_ERROR(code, name, reply, text) {code, reply != 0, text},
#include "errors.def"
#undef KEL_ERROR
};

const ErrorEntry *FindError(int code) {
  for (const ErrorEntry &e : ErrorTable)
    if (e.Code == code) return &e;
  return nullptr;
}

// Appends text to buffer (holding length characters) within size; returns the new length.
int AppendBounded(char *buffer, int length, int size, const char *text) {
  while (*text && length < size - 1) buffer[length++] = *text++;
  buffer[length] = 0;
  return length;
}

}  // namespace

const char *ErrorText(int code) {
  const ErrorEntry *e = FindError(code);
  return e ? e->Text : nullptr;
}

int FormatErrorText(const Channel &ch, int code, char *buffer, int size) {
  buffer[0] = 0;
  const ErrorEntry *e = FindError(code);
  if (!e) return 0;
  int length = AppendBounded(buffer, 0, size, e->Text);
  if (code == Err::MessageTooBig && ch.Features.SizeLimit) {
    char limit[48];
    FormatLine(limit, sizeof limit, " (limit %lu bytes)", static_cast<unsigned long>(ch.Features.SizeLimit));
    length = AppendBounded(buffer, length, size, limit);
  }
  if (e->WithReply) {
    length = AppendBounded(buffer, length, size, " ");
    length = AppendBounded(buffer, length, size, ch.Response);
  }
  // A file that could not be made or written: its name and the system's reason.
  if (ch.FileFault == code && ch.FileFaultText[0]) {
    length = AppendBounded(buffer, length, size, " ");
    length = AppendBounded(buffer, length, size, ch.FileFaultText);
  }
  return length;
}
