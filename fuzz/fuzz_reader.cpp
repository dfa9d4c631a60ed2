// The SMTP and POP3 reply readers and the line reader over the receive
// ring, fed in pieces, in blocking and non-blocking mode.
#include <cstring>

#include "feed.h"
#include "kel32.h"
#include "driver/replies.h"
#include "net/reader.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kelAttach(1, 0);
  Settings.ResponseTimeout = 40;
  Settings.ReceiveTimeout = 20;
  Settings.SleepTime = 5;
  return 0;
}

static bool Terminated(const char *text, size_t size) { return memchr(text, 0, size) != nullptr; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const int what = (data[0] & 3) == 3 ? 2 : data[0] & 3;
  const bool blocking = (data[0] & 4) != 0;
  const bool lookahead = (data[0] & 8) != 0;
  const int lineSize = 2 + data[1] % 1023;  // the line reader's buffer, 2 to 1024 bytes
  feed::Start(data + 3, size - 3, data[1] | data[2] << 8);
  Channel &ch = feed::Connected(0, blocking, what == 1 ? 'P' : 'S');
  char line[1024];
  for (int guard = 0; guard < 100000; guard++) {
    int rc = 0;
    if (what == 0) {
      if (AwaitReply(ch, SmtpReplyLines, 0) != 1) continue;
      rc = ReadSmtpReply(ch);
      FUZZ_CHECK(rc == 0 || rc == -49 || rc == -31 || rc == -84 || rc == -8 || rc == -1);
      FUZZ_CHECK(rc != 0 || (ch.ReplyCode >= 200 && ch.ReplyCode < 500));
      FUZZ_CHECK(Terminated(ch.Response, 1024));
    } else if (what == 1) {
      if (AwaitReply(ch, Pop3StatusLine, 0) != 1) continue;
      rc = ReadPop3Reply(ch);
      FUZZ_CHECK(rc == 0 || rc == -63 || rc == -85 || rc == -8 || rc == -1);
      FUZZ_CHECK(rc != 0 || ch.ReplyCode == 100);
      FUZZ_CHECK(Terminated(ch.Response, 1024));
    } else {
      if (AwaitLine(ch, 10, 30, lookahead) != 1) continue;
      rc = ReadLine(ch, line, lineSize, StepWait(ch, 10), StepWait(ch, 30));
      FUZZ_CHECK(rc >= -1 && rc <= lineSize - 1);
      if (rc > 0) FUZZ_CHECK(line[rc] == 0);
    }
    FUZZ_CHECK(Terminated(ch.LastReply, sizeof ch.LastReply));
    FUZZ_CHECK(RingFill(ch) >= 0 && RingFill(ch) < 1024);
    if (rc == -1 || (feed::Ended() && RingFill(ch) == 0 && guard > 0 && rc <= 0)) break;
  }
  return 0;
}
