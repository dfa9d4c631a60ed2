// How much processor time a blocking call spends while it waits for a slow
// server: CPU time of the calling thread against wall-clock time.
//
//   greeting   kelSmtpConnect against a server that greets after 2 s
//              (the reply state finds nothing to read, step after step)
//   notbefore  the blocking loop over a NotBefore wait of 2 s
//   bare-steps the greeting wait driven by bare kelDriver calls that only
//              yield between steps, for comparison
#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "fixtures/script_server.h"
#include "kel32.h"

namespace {

constexpr int SlowMs = 2000;

double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measure {
  double Cpu0 = ThreadCpuSeconds();
  std::chrono::steady_clock::time_point Wall0 = std::chrono::steady_clock::now();
  void Report(const char *name, int result) const {
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - Wall0).count();
    double cpu = ThreadCpuSeconds() - Cpu0;
    printf("%-10s result %4d  wall %.3f s  cpu %.3f s  cpu/wall %5.2f %%\n", name, result, wall, cpu,
           100.0 * cpu / wall);
  }
};

void SlowGreetingServer(ScriptServer &server) {
  server.Pause(SlowMs)
      .Send("220 slow.test ESMTP\r\n")
      .ReadUntil("\r\n")
      .Send("250 slow.test\r\n")
      .ExpectLine("QUIT\r\n")
      .Send("221 bye\r\n")
      .Close();
}

int Greeting(bool blocking) {
  ScriptServer server;
  SlowGreetingServer(server);
  server.Start();
  kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, blocking ? 1 : 0);
  Measure m;
  int rc = kelSmtpConnect(0, "127.0.0.1", "<bench@example.com>", nullptr);
  if (!blocking && rc == 0) {
    do rc = kelDriver(0);
    while (rc > 0 && (PlatformSleep(0), true));
  }
  m.Report(blocking ? "greeting" : "bare-steps", rc);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  kelClose(0);
  server.Finish();
  return rc;
}

int NotBefore() {
  // A channel that has only to wait for its NotBefore, then ends.
  Channel &ch = *ChannelOf(0);
  ch.NextState = 0;
  ch.NotBefore = PlatformTick() + SlowMs;
  Measure m;
  int rc = RunBlocking(0);
  m.Report("notbefore", rc);
  return rc;
}

}  // namespace

int main() {
  if (kelAttach(1, 0) != 1) {
    fprintf(stderr, "attach failed\n");
    return 1;
  }
  printf("a blocking call waiting %d ms (sleep time %d ms)\n", SlowMs, 100);
  int failures = 0;
  failures += Greeting(true) != 0;
  failures += NotBefore() != 0;
  failures += Greeting(false) != 0;
  kelRelease();
  return failures;
}
