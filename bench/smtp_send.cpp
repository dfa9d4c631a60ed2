// Sending speed into an SMTP sink on loopback (a thread of this program that
// answers every command), against curl sending the same messages to the
// same sink in the same run:
//
//   small   1 KB messages (16 body lines of 62 characters) on one channel
//           (blocking calls, and kelDriver in non-blocking mode) and on 128
//           channels driven from one thread in non-blocking mode; messages
//           per second and CPU per message;
//   attach  one 10 MB binary attachment (sent as Base64): MB/s and CPU.
//
// Each figure runs with the default timings and with KEL_STEP_DELAY 0.
// KEL_BENCH_NODELAY=1 in the environment turns Nagle's algorithm off on the
// library's sockets (TCP_NODELAY, set here from outside) for comparison.
// curl runs one process per message (its start-up is part of its cost) and
// composes and encodes the attachment itself (-F ...;encoder=base64).
// Figures are medians over the rounds, interleaved; CPU is that of the
// sending thread (KEL) or of the curl process, never the sink's.
//
//   bench_smtp_send [rounds [small|attach]]      (default 5 rounds, both groups)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kel32.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double ThreadCpu() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---- The sink ------------------------------------------------------------------------

class Sink {
 public:
  Sink() {
    Listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(Listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(Listener, 512) != 0) {
      perror("sink");
      exit(1);
    }
    socklen_t length = sizeof address;
    getsockname(Listener, reinterpret_cast<sockaddr *>(&address), &length);
    Port = ntohs(address.sin_port);
    if (pipe(Wake) != 0) exit(1);
    Thread = std::thread([this] { Run(); });
  }
  ~Sink() {
    Stop = true;
    if (write(Wake[1], "x", 1) < 0) perror("wake");
    Thread.join();
    for (Conn &c : Conns) close(c.Fd);
    close(Listener);
    close(Wake[0]);
    close(Wake[1]);
  }
  uint16_t Port = 0;
  std::atomic<long> Messages{0};

 private:
  struct Conn {
    explicit Conn(int fd) : Fd(fd) {}
    int Fd;
    bool Data = false;
    int Match = 0;  // characters of CR LF "." CR LF matched in the data
    std::string Line;
    bool Closed = false;
  };

  static void Reply(Conn &c, const char *text) {
    if (send(c.Fd, text, strlen(text), MSG_NOSIGNAL) < 0) c.Closed = true;
  }

  void Command(Conn &c) {
    char word[5] = {};
    for (int i = 0; i < 4 && i < static_cast<int>(c.Line.size()); i++) word[i] = static_cast<char>(toupper(c.Line[i]));
    c.Line.clear();
    if (!strcmp(word, "DATA")) {
      Reply(c, "354 go ahead\r\n");
      c.Data = true;
      c.Match = 2;  // the data starts at the beginning of a line
    } else if (!strcmp(word, "QUIT")) {
      Reply(c, "221 bye\r\n");
      c.Closed = true;
    } else {
      Reply(c, "250 ok\r\n");
    }
  }

  void Take(Conn &c, const char *bytes, size_t count) {
    static const char End[] = "\r\n.\r\n";
    for (size_t i = 0; i < count && !c.Closed; i++) {
      const char b = bytes[i];
      if (c.Data) {
        if (b == End[c.Match]) {
          if (++c.Match == 5) {
            c.Data = false;
            Messages++;
            Reply(c, "250 queued\r\n");
          }
        } else {
          c.Match = b == '\r' ? 1 : 0;
        }
        continue;
      }
      if (b == '\n') Command(c);
      else if (c.Line.size() < 1000) c.Line += b;
    }
  }

  void Run() {
    std::vector<char> buffer(1 << 16);
    std::vector<pollfd> fds;
    while (!Stop) {
      fds.clear();
      fds.push_back({Wake[0], POLLIN, 0});
      fds.push_back({Listener, POLLIN, 0});
      for (Conn &c : Conns) fds.push_back({c.Fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
      if (fds[0].revents) break;
      for (size_t i = 2; i < fds.size(); i++) {
        if (!fds[i].revents) continue;
        Conn &c = Conns[i - 2];
        ssize_t n = recv(c.Fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) c.Closed = true;
        else Take(c, buffer.data(), static_cast<size_t>(n));
      }
      if (fds[1].revents) {
        int fd = accept(Listener, nullptr, nullptr);
        if (fd >= 0) {
          Conns.emplace_back(fd);
          Reply(Conns.back(), "220 sink ready\r\n");
        }
      }
      for (size_t i = 0; i < Conns.size();) {
        if (Conns[i].Closed) {
          close(Conns[i].Fd);
          Conns.erase(Conns.begin() + static_cast<long>(i));
        } else {
          i++;
        }
      }
    }
  }

  int Listener = -1;
  int Wake[2] = {-1, -1};
  std::atomic<bool> Stop{false};
  std::vector<Conn> Conns;
  std::thread Thread;
};

// ---- The messages ------------------------------------------------------------------------

const char *const Sender = "<sender@example.com>";
const char *const Recipient = "<rcpt@example.com>";

std::string SmallBody() {
  std::string body;
  for (int i = 0; i < 16; i++) {
    std::string line = "Line " + std::to_string(i) + " of the benchmark message body, ";
    line += std::string(62 - line.size(), 'x');
    body += line + "\r\n";
  }
  return body;  // 16 * 64 = 1024 bytes
}

struct Figures {
  double Rate = 0;       // messages or MB per second
  double CpuEach = 0;    // CPU seconds per message (or per MB)
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Check(int rc, const char *what) {
  if (rc != 0) {
    fprintf(stderr, "%s failed: %d\n", what, rc);
    exit(1);
  }
}

// KEL_BENCH_NODELAY=1: the client sockets send without Nagle's delay.
const bool NoDelay = getenv("KEL_BENCH_NODELAY") && atoi(getenv("KEL_BENCH_NODELAY")) == 1;

// Connects every channel at once in non-blocking mode.
void ConnectAll(int channels, uint16_t port) {
  std::vector<int> done(static_cast<size_t>(channels), 0);
  for (int c = 0; c < channels; c++) {
    kelIntegerParam(c, KEL_SMTP_PORT, port);
    kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0);
    Check(kelSmtpConnect(c, "127.0.0.1", Sender, nullptr), "kelSmtpConnect");
  }
  for (int left = channels; left > 0;) {
    for (int c = 0; c < channels; c++) {
      if (done[static_cast<size_t>(c)]) continue;
      int rc = kelDriver(c);
      if (rc < 0) Check(rc, "connect");
      if (rc == 0 && NoDelay) {
        int on = 1;
        setsockopt(kelStatistics(c, KEL_STAT_SOCKET), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      }
      if (rc == 0) {
        done[static_cast<size_t>(c)] = 1;
        left--;
      }
    }
  }
}

void CloseAll(int channels) {
  for (int c = 0; c < channels; c++) Check(kelClose(c), "kelClose");
  std::vector<int> done(static_cast<size_t>(channels), 0);
  for (int left = channels; left > 0;) {
    for (int c = 0; c < channels; c++) {
      if (done[static_cast<size_t>(c)]) continue;
      int rc = kelDriver(c);
      if (rc <= 0) {
        done[static_cast<size_t>(c)] = 1;
        left--;
      }
    }
  }
  for (int c = 0; c < channels; c++) kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 1);
}

// One channel, blocking calls: messages until the count or the time is reached.
Figures OneChannel(Sink &sink, const std::string &body, int count, double budget) {
  ConnectAll(1, sink.Port);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  const long before = sink.Messages;
  const auto start = Clock::now();
  const double cpu0 = ThreadCpu();
  int sent = 0;
  while (sent < count && Since(start) < budget) {
    Check(kelSendEmail(0, Recipient, nullptr, nullptr, "bench", body.c_str(), nullptr), "kelSendEmail");
    sent++;
  }
  const double wall = Since(start), cpu = ThreadCpu() - cpu0;
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  CloseAll(1);
  if (sink.Messages - before != sent) fprintf(stderr, "sink counted %ld of %d\n", sink.Messages - before, sent);
  return {sent / wall, cpu / sent};
}

// Many channels from one thread in non-blocking mode, driven the way an
// event loop would: when a pass over all channels moved none of them on (no
// new state, no bytes sent), the loop waits up to 1 ms for a reply on the
// sockets of the channels that wait for one (a plain 1 ms sleep when all of
// them wait for their NotBefore instead).
Figures ManyChannels(Sink &sink, int channels, const std::string &body, int count, double budget) {
  ConnectAll(channels, sink.Port);
  struct Track {
    int Socket, Last = -1, Sent = -1;
  };
  std::vector<Track> track;
  for (int c = 0; c < channels; c++) track.push_back({kelStatistics(c, KEL_STAT_SOCKET)});
  std::vector<pollfd> fds;
  const long before = sink.Messages;
  const auto start = Clock::now();
  const double cpu0 = ThreadCpu();
  int started = 0, sent = 0, busy = 0;
  for (int c = 0; c < channels && started < count; c++, started++, busy++)
    Check(kelSendEmail(c, Recipient, nullptr, nullptr, "bench", body.c_str(), nullptr), "kelSendEmail");
  while (busy > 0) {
    bool moved = false;
    fds.clear();
    for (int c = 0; c < channels; c++) {
      Track &t = track[static_cast<size_t>(c)];
      if (t.Last == 0) continue;
      int rc = kelDriver(c);
      if (rc < 0) Check(rc, "kelDriver");
      const int bytes = kelStatistics(c, KEL_STAT_TOTAL_SENT);
      if (rc != KEL_WAITING && (rc != t.Last || bytes != t.Sent)) moved = true;
      t.Last = rc;
      t.Sent = bytes;
      if (rc == 0) {
        sent++;
        if (started < count && Since(start) < budget) {
          Check(kelSendEmail(c, Recipient, nullptr, nullptr, "bench", body.c_str(), nullptr), "kelSendEmail");
          started++;
          t.Last = -1;
        } else {
          busy--;
        }
      } else if (rc != KEL_WAITING) {
        fds.push_back({t.Socket, POLLIN, 0});
      }
    }
    if (!moved) poll(fds.data(), fds.size(), 1);
  }
  const double wall = Since(start), cpu = ThreadCpu() - cpu0;
  CloseAll(channels);
  if (sink.Messages - before != sent) fprintf(stderr, "sink counted %ld of %d\n", sink.Messages - before, sent);
  return {sent / wall, cpu / sent};
}

// The attachment on one channel: MB/s of attachment bytes and CPU seconds per MB.
Figures Attachment(Sink &sink, const std::string &path, double megabytes) {
  ConnectAll(1, sink.Port);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  const auto start = Clock::now();
  const double cpu0 = ThreadCpu();
  Check(kelSendEmail(0, Recipient, nullptr, nullptr, "bench attachment", "see attachment", path.c_str()),
        "kelSendEmail");
  const double wall = Since(start), cpu = ThreadCpu() - cpu0;
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  CloseAll(1);
  return {megabytes / wall, cpu / megabytes};
}

// ---- curl ---------------------------------------------------------------------------------

// Runs curl once; returns its wall time and adds its CPU time.
double RunCurl(const std::vector<std::string> &args, double *cpu) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, "curl", &actions, nullptr, argv.data(), environ) != 0) {
    perror("curl");
    exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double wall = Since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "curl failed (status %d)\n", status);
    exit(1);
  }
  *cpu += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  return wall;
}

std::vector<std::string> CurlBase(uint16_t port) {
  return {"curl", "-sS", "--max-time", "60", "--url", "smtp://127.0.0.1:" + std::to_string(port) + "/client.example.com",
          "--mail-from", "sender@example.com", "--mail-rcpt", "rcpt@example.com"};
}

Figures CurlSmall(Sink &sink, const std::string &file, int count) {
  std::vector<std::string> args = CurlBase(sink.Port);
  args.push_back("-T");
  args.push_back(file);
  double wall = 0, cpu = 0;
  for (int i = 0; i < count; i++) wall += RunCurl(args, &cpu);
  return {count / wall, cpu / count};
}

Figures CurlAttachment(Sink &sink, const std::string &path, double megabytes) {
  std::vector<std::string> args = CurlBase(sink.Port);
  for (const char *a : {"-H", "Subject: bench attachment", "-F", "=see attachment;type=text/plain", "-F"}) args.push_back(a);
  args.push_back("=@" + path + ";type=application/octet-stream;encoder=base64");
  double cpu = 0;
  double wall = RunCurl(args, &cpu);
  return {megabytes / wall, cpu / megabytes};
}

void WriteFile(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    perror(path.c_str());
    exit(1);
  }
  fclose(f);
}

struct Series {
  explicit Series(const char *name) : Name(name) {}
  const char *Name;
  std::vector<double> Rate, Cpu;
  void Add(const Figures &f) {
    Rate.push_back(f.Rate);
    Cpu.push_back(f.CpuEach);
  }
};

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 5;
  const std::string only = argc > 2 ? argv[2] : "";  // "small" or "attach": that group alone
  char dirTemplate[] = "/tmp/kel-bench-XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  const std::string dir = dirTemplate;
  const std::string body = SmallBody();
  const std::string eml = dir + "/msg1k.eml", att = dir + "/att.bin";
  WriteFile(eml, "From: " + std::string(Sender) + "\r\nTo: " + Recipient + "\r\nSubject: bench\r\n\r\n" + body);
  std::string data(10000000, '\0');
  std::mt19937 random(17);
  for (char &b : data) b = static_cast<char>(random());
  WriteFile(att, data);
  const double megabytes = static_cast<double>(data.size()) / 1e6;

  Sink sink;
  if (kelAttach(128, 0) < 0) {
    fprintf(stderr, "kelAttach failed\n");
    return 1;
  }
  Series one("1 channel, blocking, default timings");
  Series oneFast("1 channel, blocking, step delay 0");
  Series oneLoop("1 channel, non-blocking, default timings");
  Series oneLoopFast("1 channel, non-blocking, step delay 0");
  Series many("128 channels, non-blocking, default timings");
  Series manyFast("128 channels, non-blocking, step delay 0");
  Series curlSmall("curl, 1 process per message");
  Series attach("KEL32 10 MB attachment, default timings");
  Series attachFast("KEL32 10 MB attachment, step delay 0");
  Series curlAttach("curl -F ...;encoder=base64, 10 MB");

  for (int r = 0; r < rounds; r++) {
    fprintf(stderr, "round %d of %d\n", r + 1, rounds);
    const bool small = only != "attach", big = only != "small";
    kelIntegerParam(0, KEL_STEP_DELAY, 25);
    if (small) one.Add(OneChannel(sink, body, 1000000, 2.0));
    if (small) oneLoop.Add(ManyChannels(sink, 1, body, 1000000, 2.0));
    if (small) many.Add(ManyChannels(sink, 128, body, 1000000, 2.0));
    if (big) attach.Add(Attachment(sink, att, megabytes));
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    if (small) oneFast.Add(OneChannel(sink, body, 2000, 2.0));
    if (small) oneLoopFast.Add(ManyChannels(sink, 1, body, 2000, 2.0));
    if (small) manyFast.Add(ManyChannels(sink, 128, body, 8000, 2.0));
    if (big) attachFast.Add(Attachment(sink, att, megabytes));
    kelIntegerParam(0, KEL_STEP_DELAY, 25);
    if (small) curlSmall.Add(CurlSmall(sink, eml, 30));
    if (big) curlAttach.Add(CurlAttachment(sink, att, megabytes));
  }
  kelRelease();

  printf("Medians of %d rounds (sink on 127.0.0.1 in this process; CPU excludes the sink)\n\n", rounds);
  if (!one.Rate.empty()) printf("%-46s %12s %16s %14s %14s\n", "small messages (1 KB body)", "msg/s", "CPU us/msg", "vs curl msg/s",
         "vs curl CPU");
  const double curlRate = Median(curlSmall.Rate), curlCpu = Median(curlSmall.Cpu);
  for (Series *s : {&one, &oneFast, &oneLoop, &oneLoopFast, &many, &manyFast, &curlSmall}) {
    if (s->Rate.empty()) continue;
    const double rate = Median(s->Rate), cpu = Median(s->Cpu);
    printf("%-46s %12.1f %16.1f %13.2fx %13.3fx\n", s->Name, rate, cpu * 1e6, rate / curlRate, cpu / curlCpu);
  }
  if (!attach.Rate.empty()) printf("\n%-46s %12s %16s %14s %14s\n", "10 MB attachment (10^6 bytes per MB)", "MB/s", "CPU s per MB",
         "vs curl MB/s", "vs curl CPU");
  const double curlMb = Median(curlAttach.Rate), curlMbCpu = Median(curlAttach.Cpu);
  for (Series *s : {&attach, &attachFast, &curlAttach}) {
    if (s->Rate.empty()) continue;
    const double rate = Median(s->Rate), cpu = Median(s->Cpu);
    printf("%-46s %12.2f %16.4f %13.2fx %13.3fx\n", s->Name, rate, cpu, rate / curlMb, cpu / curlMbCpu);
  }
  unlink(eml.c_str());
  unlink(att.c_str());
  rmdir(dir.c_str());
  return 0;
}
