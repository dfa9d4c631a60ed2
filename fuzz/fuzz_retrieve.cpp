// A whole retrieval with decoding: the input is the server's answer to
// RETR, fed in pieces; the email file and the attachment files must stay
// inside their directories, and every file is closed when the call ends.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "feed.h"
#include "kel32.h"

static std::string Root, MailDir, AttachDir, WorkDir;

// The names in a directory, "." and ".." left out.
static int Entries(const std::string &dir, bool remove) {
  DIR *d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    n++;
    if (remove) unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
  return n;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *base = getenv("KEL_FUZZ_TMP");
  char pattern[256];
  snprintf(pattern, sizeof pattern, "%s/kel-fuzz-XXXXXX", base ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"));
  if (!mkdtemp(pattern)) abort();
  Root = pattern;
  MailDir = Root + "/mail";
  AttachDir = Root + "/attach";
  WorkDir = Root + "/work";
  mkdir(MailDir.c_str(), 0700);
  mkdir(AttachDir.c_str(), 0700);
  mkdir(WorkDir.c_str(), 0700);
  // A relative name that escaped its directory would land here.
  if (chdir(WorkDir.c_str()) != 0) abort();
  kelAttach(1, 0);
  Settings.ResponseTimeout = 40;
  Settings.ReceiveTimeout = 20;
  Settings.SleepTime = 5;
  Settings.StepDelay = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const bool blocking = (data[0] & 1) != 0;
  feed::Start(data + 3, size - 3, data[1] | data[2] << 8);
  Channel &ch = feed::Connected(0, true, 'P');
  kelIntegerParam(0, KEL_RAW_MODE, (data[0] & 2) ? 1 : 0);
  kelIntegerParam(0, KEL_SAVE_UNNAMED, (data[0] & 4) ? 1 : 0);
  kelIntegerParam(0, KEL_NUMBER_FILENAMES, (data[0] & 8) ? 1 : 0);
  ch.AttachList[0] = 0;
  ch.AutoCall = blocking ? 1 : 0;
  int rc = kelGetEmailFile(0, 1, "message.eml", MailDir.c_str(), AttachDir.c_str());
  // Non-blocking: the call only starts the retrieval; the driver runs it.
  if (!blocking && rc == 0) rc = 1;
  for (int guard = 0; rc > 0 && guard < 200000; guard++) rc = kelDriver(0);
  FUZZ_CHECK(rc <= 0);
  // The peer takes every byte, so the command always leaves: a send error
  // means a socket call went past the feed and the run tests nothing.
  FUZZ_CHECK(rc != -52);
  // Done or failed, the call holds no file any more.
  FUZZ_CHECK(ch.EmailHandle == 0 && ch.FileHandle == 0);
  // A retrieval that reports success, decoded or raw, has seen the end line.
  if (rc == 0) {
    const void *end1 = memmem(data + 3, size - 3, "\n.\r\n", 4);
    const void *end2 = memmem(data + 3, size - 3, "\n.\n", 3);
    FUZZ_CHECK(end1 || end2);
  }
  FUZZ_CHECK(Entries(WorkDir, true) == 0);
  FUZZ_CHECK(Entries(Root, false) == 3);
  FUZZ_CHECK(Entries(MailDir, true) <= 1);
  Entries(AttachDir, true);
  ch.NextState = 0;
  ch.Socket = NoSocket;
  return 0;
}
