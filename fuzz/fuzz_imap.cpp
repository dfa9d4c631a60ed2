// The IMAP response reader inside whole operations: the input is the
// server's side of a session from the greeting (login, SELECT, UID SEARCH),
// of one UID FETCH of a message into the email file or into a buffer, of a
// wait for new mail (IDLE or NOOP, and the search after it), or of LIST,
// fed in pieces, in blocking and non-blocking mode. Every operation ends
// with success or a known error code, no file stays open, no bounded read
// outlives it, and every UID of the list is one the server sent.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "driver/features.h"
#include "driver/imap.h"
#include "feed.h"
#include "kel32.h"
#include "net/ring.h"

static std::string Root;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *base = getenv("KEL_FUZZ_TMP");
  char pattern[256];
  snprintf(pattern, sizeof pattern, "%s/kel-fuzz-imap-XXXXXX",
           base ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"));
  if (!mkdtemp(pattern)) abort();
  Root = pattern;
  kelAttach(1, 0);
  Settings.ResponseTimeout = 40;
  Settings.ReceiveTimeout = 20;
  Settings.SleepTime = 5;
  Settings.StepDelay = 0;
  return 0;
}

// Removes the files a run left (the email file, attachments).
static void Clean() {
  DIR *d = opendir(Root.c_str());
  if (!d) return;
  while (dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) unlink((Root + "/" + e->d_name).c_str());
  closedir(d);
}

static bool Terminated(const char *text, size_t size) { return memchr(text, 0, size) != nullptr; }

static int Run(bool blocking) {
  if (blocking) return RunBlocking(0);
  for (int guard = 0; guard < 200000; guard++) {
    const int rc = DriverStep(0);
    if (rc <= 0) return rc;
  }
  return -8;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  // 0 session, 1 message to a file, 2 first lines to a buffer, 3 a wait
  // for new mail, 4 the folder list
  const int what = data[0] % 5;
  const bool blocking = (data[0] & 4) != 0;
  feed::Start(data + 3, size - 3, data[1] | data[2] << 8);
  Channel &ch = feed::Connected(0, blocking, 'I');
  kelIntegerParam(0, KEL_RAW_MODE, (data[0] & 8) ? 1 : 0);
  ch.DecodeState = (data[0] & 8) ? 1 : 2;
  CopyField(ch.User, "joe");
  CopyField(ch.Password, (data[0] & 16) ? "p\xc3\xa4ss" : "secret");
  ch.ImapTag = 0;
  ch.ImapLoggedIn = ch.ImapBye = ch.ImapCapsAfterLogin = 0;
  ch.Features = ServerFeatures{};
  StartImapResponse(ch);
  char buffer[300];
  ch.ImapBodyWanted = 0;
  ch.ImapPhase = 0;
  if (what == 0) {
    FreeMemory(0, 9, 9);
    ch.NextState = State::ImapGreeting;
  } else {
    // A session that found UIDs 1 and 7.
    if (!ch.ImapUids) {
      char *block = AllocateMemory(0, 9, 64 * 4 + 64 / 8 + 1);
      if (!block) abort();
      ch.ImapUids = reinterpret_cast<uint32_t *>(block);
      ch.ImapUidCapacity = 64;
    }
    ch.ImapUids[0] = 1;
    ch.ImapUids[1] = 7;
    ch.ImapUidCount = 2;
    ch.MessageNumber = 1 + (data[0] >> 5) % 2;
    ch.ImapLoggedIn = 1;
    CopyField(ch.EmailDir, Root.c_str(), 128);
    CopyField(ch.AttachDir, Root.c_str(), 128);
    CopyField(ch.EmailFile, "m.eml");
    ch.UserBuffer = what == 2 || what == 4 ? buffer : nullptr;
    ch.UserBufferSize = what == 2 || what == 4 ? static_cast<int>(sizeof buffer) - 1 : 0;
    ch.BufferUsed = 0;
    ch.TopLines = data[0] >> 6;
    ch.NextState = what == 1 ? State::ImapFetchFile : State::ImapFetchLines;
    if (what == 3) {
      ch.ImapIdleWait = 30;
      ch.ImapExists = 2;
      ch.ImapSearch[0] = 0;
      if (data[0] & 32) ch.Features.Bits |= FeatIdle;
      ch.NextState = State::ImapIdle;
    } else if (what == 4) {
      ch.NextState = State::ImapList;
    }
  }
  const int rc = Run(blocking);
  char text[256];
  FUZZ_CHECK(rc <= 0);
  FUZZ_CHECK(rc == 0 || kelErrorText(0, rc, text, sizeof text) > 0);
  FUZZ_CHECK(ch.EmailHandle == 0 && ch.FileHandle == 0);
  FUZZ_CHECK(rc != 0 || ch.InputBounded == 0);
  if (rc < 0) FUZZ_CHECK(ch.InputBounded == 0 && ch.Socket == NoSocket);
  FUZZ_CHECK(Terminated(ch.LastReply, sizeof ch.LastReply));
  FUZZ_CHECK(Terminated(ch.ImapToken, sizeof ch.ImapToken) && Terminated(ch.ImapText, sizeof ch.ImapText));
  FUZZ_CHECK(ch.ImapUidCount >= 0 && ch.ImapUidCount <= ch.ImapUidCapacity);
  for (int i = 0; ch.ImapUids && i < ch.ImapUidCount; i++) FUZZ_CHECK(ch.ImapUids[i] != 0);
  for (int i = 1; what == 0 && rc == 0 && ch.ImapUids && i < ch.ImapUidCount; i++)
    FUZZ_CHECK(ch.ImapUids[i - 1] < ch.ImapUids[i]);
  FUZZ_CHECK((what != 2 && what != 4) || (ch.BufferUsed >= 0 && ch.BufferUsed <= ch.UserBufferSize));
  FUZZ_CHECK(ch.WakeAtDeadline == 0 || rc == 0);
  for (int i = 1; what == 3 && rc == 0 && i < ch.ImapUidCount; i++) FUZZ_CHECK(ch.ImapUids[i - 1] < ch.ImapUids[i]);
  ch.WakeAtDeadline = 0;
  FUZZ_CHECK(RingFill(ch) >= 0 && RingFill(ch) < 1024);
  Clean();
  return 0;
}
