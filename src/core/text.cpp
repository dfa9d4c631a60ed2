// Case-insensitive search, comparison and line copy, and the Date line.
// They touch nothing but the caller's memory (and the clock, for the date).
#include "text.h"

#include <cstdlib>
#include <cstring>

#include "channel.h"

namespace {


}  // namespace

bool PrefixEquals(const char *text, const char *keyword, int count) {
  if (text == nullptr || keyword == nullptr || count <= 0) return false;
  for (int i = 0; i < count; ++i) {
    if (AsciiUpper(text[i]) != AsciiUpper(keyword[i])) return false;
    if (text[i] == '\0') return true;  // both ended together
  }
  return true;
}

// The needle's last character is not compared (callers' keywords rely on
// it), so a one-character needle never matches.
const char *TextSearch(const char *haystack, const char *needle) {
  if (haystack == nullptr || needle == nullptr) return nullptr;
  const size_t n = std::strlen(needle);
  const size_t h = std::strlen(haystack);
  if (n == 0 || n > h) return nullptr;
  for (size_t at = 0; at + n <= h; ++at)
    if (PrefixEquals(haystack + at, needle, static_cast<int>(n - 1))) return haystack + at;
  return nullptr;
}

int CopyLine(const char *from, char *out, int outSize) {
  if (from == nullptr || out == nullptr) return 0;
  for (int i = 0;; ++i) {
    if (i >= outSize - 1) {
      // Does not fit: leave an empty text rather than a cut one without NUL.
      if (outSize > 0) out[0] = '\0';
      return 0;
    }
    out[i] = from[i];
    if (from[i] == '\n') {
      out[i + 1] = '\0';
      return i + 1;
    }
    if (from[i] == '\0') return i;
  }
}

static const char *const DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char *const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int FormatDateLine(char *buffer, int size) {
  PlatformLocalTime t{};
  PlatformGetLocalTime(t);
  // The zone keeps its minutes (+0530, -0330) and daylight saving its real bias.
  int offset = t.UtcOffsetMinutes;
  char sign = offset >= 0 ? '+' : '-';
  int absolute = abs(offset);
  int dow = t.DayOfWeek >= 0 && t.DayOfWeek < 7 ? t.DayOfWeek : 0;
  int month = t.Month >= 1 && t.Month <= 12 ? t.Month : 1;
  return FormatLine(buffer, size, "Date: %s, %d %s %d %d:%02d:%02d %c%02d%02d", DayNames[dow], t.Day,
                    MonthNames[month - 1], t.Year, t.Hour, t.Minute, t.Second, sign,
                    absolute / 60 % 100, absolute % 60);
}

const char *FileNameOf(const char *path) {
  if (!path) return path;
  // The first character is never taken as a separator. The slash counts
  // too, so a local path never leaks into a name on this system.
  for (size_t i = strlen(path); i > 1; i--) {
    char c = path[i - 1];
    if (c == '\\' || c == ':' || c == '/') return path + i;
  }
  return path;
}
