// Sending speed into an SMTP sink on loopback, against the peers sending
// the same messages to the same sink in the same run:
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
// sending thread (KEL) or of the peer process, never the sink's.
//
// The peers: smtp-source -d on one connection and -s 128 -d on 128
// sessions for the small messages; curl -F (curl composes and encodes) and
// curl --upload-file of the same message composed beforehand for the
// attachment; nodemailer when node and the package are there.
//
// Two sinks take every row in turn: Postfix's smtp-sink (a separate
// process, when installed) and this program's own epoll sink. smtp-sink
// spends about a core on either client's traffic, so it caps both and the
// ratios under it say more about the sink than the clients; the own sink
// answers a whole pipelined group with one send and stays below a core.
// Each row prints the sink's share of a core. KEL_BENCH_SINK=own or
// postfix runs one of them; KEL_BENCH_SINK_THREADS the own sink's threads.
//
//   bench_smtp_send [rounds [small|many|attach|idle]]   (default 5 rounds, every group)
//
// "many" runs only the rows of the 128-channel targets (kelWait, one
// command per reply and PIPELINING, beside smtp-source -s 128).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/epoll.h>
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
#include <functional>
#include <map>
#include <memory>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kel32.h"
#include "node_peers.h"

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

// The program's own sink: threads of this program, each with an epoll set
// and its own listening socket on one port (SO_REUSEPORT spreads the
// connections). It answers EHLO with PIPELINING and 8BITMIME, takes a
// whole pipelined group from one read and answers it with one send, and
// finds the end of the data with memchr, so that a client is measured
// rather than the sink. KEL_BENCH_SINK_THREADS sets the threads (1).
class Sink {
 public:
  explicit Sink(int threads) {
    for (int t = 0; t < std::max(threads, 1); t++) Workers.push_back(std::make_unique<Worker>(*this));
    for (auto &w : Workers) w->Thread = std::thread([&w] { w->Run(); });
  }
  ~Sink() {
    for (auto &w : Workers) {
      w->Stop = true;
      if (write(w->Wake[1], "x", 1) < 0) perror("wake");
      w->Thread.join();
    }
  }
  // CPU seconds of the sink's threads so far.
  double Cpu() const {
    double total = 0;
    for (const auto &w : Workers) {
      clockid_t clock;
      timespec t{};
      if (pthread_getcpuclockid(const_cast<std::thread &>(w->Thread).native_handle(), &clock) != 0 ||
          clock_gettime(clock, &t) != 0)
        return -1;
      total += static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    }
    return total;
  }
  uint16_t Port = 0;
  std::atomic<long> Messages{0};

 private:
  struct Conn {
    int Fd = -1;
    bool Data = false;
    int Match = 0;  // characters of CR LF "." CR LF matched in the data
    std::string Line, Out;
  };

  struct Worker {
    explicit Worker(Sink &owner) : Owner(owner) {
      Listener = socket(AF_INET, SOCK_STREAM, 0);
      int on = 1;
      setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      setsockopt(Listener, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(owner.Port);
      if (bind(Listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(Listener, 512) != 0) {
        perror("sink");
        exit(1);
      }
      socklen_t length = sizeof address;
      getsockname(Listener, reinterpret_cast<sockaddr *>(&address), &length);
      owner.Port = ntohs(address.sin_port);
      if (pipe(Wake) != 0) exit(1);
      Epoll = epoll_create1(0);
      Watch(Listener, &Listener);
      Watch(Wake[0], Wake);
    }
    ~Worker() {
      for (auto &entry : Conns) close(entry.second->Fd);
      close(Listener);
      close(Epoll);
      close(Wake[0]);
      close(Wake[1]);
    }
    // The event's tag is the connection, or the listener's or the wake
    // pipe's field.
    void Watch(int fd, void *tag) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.ptr = tag;
      epoll_ctl(Epoll, EPOLL_CTL_ADD, fd, &e);
    }

    // Answers the command line gathered; false once it was QUIT.
    bool Command(Conn &c) {
      char word[5] = {};
      for (int i = 0; i < 4 && i < static_cast<int>(c.Line.size()); i++) word[i] = static_cast<char>(toupper(c.Line[i]));
      c.Line.clear();
      if (!strcmp(word, "DATA")) {
        c.Out += "354 go ahead\r\n";
        c.Data = true;
        c.Match = 2;  // the data starts at the beginning of a line
      } else if (!strcmp(word, "EHLO")) {
        c.Out += "250-sink\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
      } else if (!strcmp(word, "QUIT")) {
        c.Out += "221 bye\r\n";
        return false;
      } else {
        c.Out += "250 ok\r\n";
      }
      return true;
    }

    // The bytes of one read; false once the client said QUIT.
    bool Take(Conn &c, const char *p, const char *end) {
      static const char End[] = "\r\n.\r\n";
      while (p < end) {
        if (c.Data) {
          if (c.Match == 0) {  // skip to the next CR
            p = static_cast<const char *>(memchr(p, '\r', static_cast<size_t>(end - p)));
            if (!p) return true;
          }
          const char b = *p++;
          if (b == End[c.Match]) {
            if (++c.Match == 5) {
              c.Data = false;
              Owner.Messages++;
              c.Out += "250 queued\r\n";
            }
          } else {
            c.Match = b == '\r' ? 1 : 0;
          }
          continue;
        }
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *stop = nl ? nl : end;
        c.Line.append(p, std::min(static_cast<size_t>(stop - p), 1000 - std::min<size_t>(c.Line.size(), 1000)));
        p = nl ? nl + 1 : end;
        if (nl && !Command(c)) return false;
      }
      return true;
    }

    // Sends what the last read asked for, all of it.
    static bool Flush(Conn &c) {
      size_t done = 0;
      while (done < c.Out.size()) {
        const ssize_t n = send(c.Fd, c.Out.data() + done, c.Out.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
      }
      c.Out.clear();
      return true;
    }

    void Run() {
      std::vector<char> buffer(1 << 18);
      epoll_event events[64];
      while (!Stop) {
        const int n = epoll_wait(Epoll, events, 64, 1000);
        for (int i = 0; i < n; i++) {
          void *tag = events[i].data.ptr;
          if (tag == Wake) return;
          if (tag == &Listener) {
            const int fd = accept(Listener, nullptr, nullptr);
            if (fd < 0) continue;
            auto c = std::make_unique<Conn>();
            c->Fd = fd;
            c->Out = "220 sink ready\r\n";
            Flush(*c);
            Watch(fd, c.get());
            Conns[c.get()] = std::move(c);
            continue;
          }
          Conn &c = *static_cast<Conn *>(tag);
          const ssize_t got = recv(c.Fd, buffer.data(), buffer.size(), 0);
          const bool open = got > 0 && Take(c, buffer.data(), buffer.data() + got);
          if (!Flush(c) || !open) {
            epoll_ctl(Epoll, EPOLL_CTL_DEL, c.Fd, nullptr);
            close(c.Fd);
            Conns.erase(&c);
          }
        }
      }
    }

    Sink &Owner;
    int Listener = -1, Epoll = -1;
    int Wake[2] = {-1, -1};
    std::atomic<bool> Stop{false};
    std::map<Conn *, std::unique_ptr<Conn>> Conns;
    std::thread Thread;
  };

  std::vector<std::unique_ptr<Worker>> Workers;
};

// What the clients send to: a port, a count of the messages that arrived
// and the CPU seconds the sink has used so far (negative when unknown).
struct Target {
  uint16_t Port = 0;
  std::function<long()> Messages;
  std::function<double()> Cpu;
};

// Postfix's smtp-sink as a child process: AUTH hidden (-a), so that EHLO
// leads to no login; counters (-c) to a file, read for the message count.
class PostfixSink {
 public:
  static constexpr const char *Path = "/usr/sbin/smtp-sink";
  static bool Available() { return access(Path, X_OK) == 0 && !getenv("KEL_BENCH_NO_POSTFIX"); }

  explicit PostfixSink(const std::string &dir) : Counters(dir + "/sink.counters") {
    // A free port: bound once here, released, then taken by the sink.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    Port = ntohs(address.sin_port);
    close(probe);
    const std::string where = "127.0.0.1:" + std::to_string(Port);
    std::vector<std::string> args = {Path};
    if (geteuid() == 0) args.insert(args.end(), {"-u", "nobody"});
    args.insert(args.end(), {"-a", "-c", "-m", "512", where, "256"});
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, Counters.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&Pid, Path, &actions, nullptr, argv.data(), environ) != 0) {
      perror("smtp-sink");
      exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    // Ready once it greets.
    for (int i = 0; i < 200; i++) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      address.sin_port = htons(Port);
      if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        char greeting[64] = {};
        if (recv(s, greeting, sizeof greeting - 1, 0) > 0 && strncmp(greeting, "220", 3) == 0) {
          close(s);
          return;
        }
      }
      close(s);
      usleep(10000);
    }
    fprintf(stderr, "smtp-sink did not start\n");
    exit(1);
  }
  ~PostfixSink() {
    kill(Pid, SIGTERM);
    waitpid(Pid, nullptr, 0);
    unlink(Counters.c_str());
  }
  // The last "mesg=N" record of the counters (records end in a bare CR).
  long Messages() const {
    FILE *f = fopen(Counters.c_str(), "rb");
    if (!f) return 0;
    std::string text;
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;) text.append(block, n);
    fclose(f);
    const size_t at = text.rfind("mesg=");
    return at == std::string::npos ? 0 : atol(text.c_str() + at + 5);
  }
  // User and system time of the sink process so far, from /proc (fields 14
  // and 15 of its stat line, after the command name in parentheses).
  double Cpu() const {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(Pid));
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    char line[1024] = {};
    const bool ok = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    const char *close = ok ? strrchr(line, ')') : nullptr;
    unsigned long user = 0, system = 0;
    if (!close || sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2) return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  uint16_t Port = 0;

 private:
  std::string Counters;
  pid_t Pid = 0;
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
  double SinkBusy = -1;  // the sink's CPU seconds per second of the run (1.0: a whole core), or -1
};

// The sink's share of a core over a timed run: a sink near 1.0 caps
// whichever client it serves.
struct SinkMeter {
  explicit SinkMeter(Target &sink) : Sink(sink), Cpu0(sink.Cpu ? sink.Cpu() : -1), Start(Clock::now()) {}
  double Busy() const {
    if (Cpu0 < 0) return -1;
    const double cpu = Sink.Cpu(), wall = Since(Start);
    return cpu < 0 || wall <= 0 ? -1 : (cpu - Cpu0) / wall;
  }
  Target &Sink;
  double Cpu0;
  Clock::time_point Start;
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
Figures OneChannel(Target &sink, const std::string &body, int count, double budget) {
  ConnectAll(1, sink.Port);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  const long before = sink.Messages();
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
  if (sink.Messages() - before != sent) fprintf(stderr, "sink counted %ld of %d\n", sink.Messages() - before, sent);
  return {sent / wall, cpu / sent};
}

// Many channels from one thread in non-blocking mode, driven the way an
// event loop would: when a pass over all channels moved none of them on (no
// new state, no bytes sent), the loop waits up to 1 ms for a reply on the
// sockets of the channels that wait for one (a plain 1 ms sleep when all of
// them wait for their NotBefore instead).
Figures ManyChannels(Target &sink, int channels, const std::string &body, int count, double budget) {
  ConnectAll(channels, sink.Port);
  struct Track {
    int Socket, Last = -1, Sent = -1;
  };
  std::vector<Track> track;
  for (int c = 0; c < channels; c++) track.push_back({kelStatistics(c, KEL_STAT_SOCKET)});
  std::vector<pollfd> fds;
  const long before = sink.Messages();
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
  if (sink.Messages() - before != sent) fprintf(stderr, "sink counted %ld of %d\n", sink.Messages() - before, sent);
  return {sent / wall, cpu / sent};
}

// Many channels from one thread in non-blocking mode, sleeping in kelWait
// until some channel has work and stepping only those.
Figures ManyChannelsWait(Target &sink, int channels, const std::string &body, int count, double budget) {
  ConnectAll(channels, sink.Port);
  std::vector<unsigned> list;
  for (int c = 0; c < channels; c++) list.push_back(static_cast<unsigned>(c));
  std::vector<int> ready(static_cast<size_t>(channels), 0);
  const long before = sink.Messages();
  const auto start = Clock::now();
  const double cpu0 = ThreadCpu();
  int started = 0, sent = 0;
  for (int c = 0; c < channels && started < count; c++, started++)
    Check(kelSendEmail(c, Recipient, nullptr, nullptr, "bench", body.c_str(), nullptr), "kelSendEmail");
  int live = std::min(channels, count);
  const SinkMeter meter(sink);
  while (live > 0) {
    int n = kelWait(list.data(), live, 1000, ready.data());
    if (n < 0) Check(n, "kelWait");
    for (int i = 0; i < live; i++) {
      if (!ready[static_cast<size_t>(i)]) continue;
      const unsigned c = list[static_cast<size_t>(i)];
      int rc = kelDriver(c);
      if (rc < 0) Check(rc, "kelDriver");
      if (rc != 0) continue;
      sent++;
      if (started < count && Since(start) < budget) {
        Check(kelSendEmail(c, Recipient, nullptr, nullptr, "bench", body.c_str(), nullptr), "kelSendEmail");
        started++;
      } else {
        list[static_cast<size_t>(i)] = list[static_cast<size_t>(live - 1)];
        ready[static_cast<size_t>(i)] = ready[static_cast<size_t>(live - 1)];
        live--;
        i--;
      }
    }
  }
  const double wall = Since(start), cpu = ThreadCpu() - cpu0, busy = meter.Busy();
  CloseAll(channels);
  if (sink.Messages() - before != sent) fprintf(stderr, "sink counted %ld of %d\n", sink.Messages() - before, sent);
  return {sent / wall, cpu / sent, busy};
}

// 128 channels connected to a server that never answers, driven for a
// while by a kelWait loop: the share of one core the loop takes.
double IdleChannelsCpu(int channels, double seconds) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
  listen(listener, 512);  // connections complete in the backlog; nobody ever greets them
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
  std::vector<unsigned> list;
  for (int c = 0; c < channels; c++) {
    kelIntegerParam(c, KEL_SMTP_PORT, ntohs(address.sin_port));
    kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0);
    Check(kelSmtpConnect(c, "127.0.0.1", Sender, nullptr), "kelSmtpConnect");
    list.push_back(static_cast<unsigned>(c));
  }
  std::vector<int> ready(static_cast<size_t>(channels), 0);
  const auto start = Clock::now();
  const double cpu0 = ThreadCpu();
  long steps = 0;
  while (Since(start) < seconds) {
    if (kelWait(list.data(), channels, 200, ready.data()) <= 0) continue;
    for (int i = 0; i < channels; i++)
      if (ready[static_cast<size_t>(i)]) {
        kelDriver(list[static_cast<size_t>(i)]);
        steps++;
      }
  }
  const double share = (ThreadCpu() - cpu0) / Since(start);
  for (int c = 0; c < channels; c++) kelAbort(c);
  for (int c = 0; c < channels; c++) kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 1);
  close(listener);
  fprintf(stderr, "idle loop: %ld steps\n", steps);
  return share;
}

// The attachment on one channel: MB/s of attachment bytes and CPU seconds per MB.
Figures Attachment(Target &sink, const std::string &path, double megabytes) {
  ConnectAll(1, sink.Port);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  const SinkMeter meter(sink);
  const auto start = Clock::now();
  const double cpu0 = ThreadCpu();
  Check(kelSendEmail(0, Recipient, nullptr, nullptr, "bench attachment", "see attachment", path.c_str()),
        "kelSendEmail");
  const double wall = Since(start), cpu = ThreadCpu() - cpu0, busy = meter.Busy();
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  CloseAll(1);
  return {megabytes / wall, cpu / megabytes, busy};
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

// Runs a peer program once; returns its wall time and adds its CPU time.
double RunPeer(const std::vector<std::string> &args, double *cpu) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    perror(args[0].c_str());
    exit(1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double wall = Since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
    exit(1);
  }
  *cpu += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  return wall;
}

// smtp-source: HELO, MAIL, RCPT, DATA, the file as the message (LF line
// ends), "."; -d keeps the connection for the next message.
Figures SmtpSource(Target &sink, const std::string &lfFile, int sessions, int count) {
  const long before = sink.Messages();
  double cpu = 0;
  const SinkMeter meter(sink);
  const double wall = RunPeer({"/usr/sbin/smtp-source", "-s", std::to_string(sessions), "-d", "-m", std::to_string(count), "-F",
                               lfFile, "-f", "sender@example.com", "-t", "rcpt@example.com", "-M", "client.example.com",
                               "127.0.0.1:" + std::to_string(sink.Port)},
                              &cpu);
  const double busy = meter.Busy();
  usleep(20000);  // the sink's last counter record
  if (sink.Messages() - before != count) fprintf(stderr, "sink counted %ld of %d (smtp-source)\n", sink.Messages() - before, count);
  return {count / wall, cpu / count, busy};
}

std::vector<std::string> CurlBase(uint16_t port) {
  return {"curl", "-sS", "--max-time", "60", "--url", "smtp://127.0.0.1:" + std::to_string(port) + "/client.example.com",
          "--mail-from", "sender@example.com", "--mail-rcpt", "rcpt@example.com"};
}

Figures CurlSmall(Target &sink, const std::string &file, int count) {
  std::vector<std::string> args = CurlBase(sink.Port);
  args.push_back("-T");
  args.push_back(file);
  double wall = 0, cpu = 0;
  for (int i = 0; i < count; i++) wall += RunCurl(args, &cpu);
  return {count / wall, cpu / count};
}

Figures CurlAttachment(Target &sink, const std::string &path, double megabytes) {
  std::vector<std::string> args = CurlBase(sink.Port);
  for (const char *a : {"-H", "Subject: bench attachment", "-F", "=see attachment;type=text/plain", "-F"}) args.push_back(a);
  args.push_back("=@" + path + ";type=application/octet-stream;encoder=base64");
  double cpu = 0;
  double wall = RunCurl(args, &cpu);
  return {megabytes / wall, cpu / megabytes};
}

Figures CurlUpload(Target &sink, const std::string &composed, double megabytes) {
  std::vector<std::string> args = CurlBase(sink.Port);
  args.push_back("-T");
  args.push_back(composed);
  double cpu = 0;
  const SinkMeter meter(sink);
  double wall = RunCurl(args, &cpu);
  return {megabytes / wall, cpu / megabytes, meter.Busy()};
}

// ---- nodemailer (Node.js) ---------------------------------------------------------------
// Timed inside the process, the transport made before the clock starts (its
// connections are opened within the timed part, as the library's are not).

const char NodeSender[] = R"JS(
const nodemailer = require("nodemailer"), fs = require("fs");
const [port, what, count, connections, file] = process.argv.slice(2);
const pooled = what === "small";
const transport = nodemailer.createTransport({ host: "127.0.0.1", port: +port, secure: false, ignoreTLS: true,
  name: "client.example.com", pool: pooled, maxConnections: +connections, maxMessages: Infinity });
(async () => {
  const raw = pooled ? fs.readFileSync(file) : null;
  const t0 = process.hrtime.bigint(), c0 = process.cpuUsage();
  if (pooled) {
    const jobs = [];
    for (let i = 0; i < +count; i++)
      jobs.push(transport.sendMail({ envelope: { from: "sender@example.com", to: ["rcpt@example.com"] }, raw }));
    await Promise.all(jobs);
  } else {
    await transport.sendMail({ from: "sender@example.com", to: "rcpt@example.com", subject: "bench attachment",
      text: "see attachment", attachments: [{ path: file, contentType: "application/octet-stream" }] });
  }
  const wall = Number(process.hrtime.bigint() - t0) / 1e9, cpu = process.cpuUsage(c0);
  transport.close();
  console.log(wall.toFixed(4) + " " + ((cpu.user + cpu.system) / 1e6).toFixed(4));
})().catch(e => { console.error(e); process.exit(1); });
)JS";

// Runs the sender; false when it failed.
bool RunNodeSender(const std::string &script, const std::string &args, double *wall, double *cpu) {
  FILE *pipe = popen(nodepeers::Command(script, args).c_str(), "r");
  if (!pipe) return false;
  const bool ok = fscanf(pipe, "%lf %lf", wall, cpu) == 2;
  return pclose(pipe) == 0 && ok;
}

Figures NodeSmall(Target &sink, const std::string &script, const std::string &file, int connections, int count) {
  const long before = sink.Messages();
  double wall = 0, cpu = 0;
  if (!RunNodeSender(script,
                     std::to_string(sink.Port) + " small " + std::to_string(count) + " " + std::to_string(connections) + " " + file,
                     &wall, &cpu)) {
    fprintf(stderr, "nodemailer failed\n");
    return {};
  }
  if (sink.Messages() - before != count) fprintf(stderr, "sink counted %ld of %d (nodemailer)\n", sink.Messages() - before, count);
  return {count / wall, cpu / count};
}

Figures NodeAttachment(Target &sink, const std::string &script, const std::string &path, double megabytes) {
  double wall = 0, cpu = 0;
  if (!RunNodeSender(script, std::to_string(sink.Port) + " attach 1 1 " + path, &wall, &cpu)) {
    fprintf(stderr, "nodemailer failed\n");
    return {};
  }
  return {megabytes / wall, cpu / megabytes};
}

// The attachment message composed beforehand, as the library sends it:
// a text part and the file in Base64 lines of 76 characters, CR LF.
std::string ComposedAttachment(const std::string &data) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out = "From: " + std::string(Sender) + "\r\nTo: " + Recipient +
                    "\r\nSubject: bench attachment\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
                    "see attachment\r\n\r\n--b\r\nContent-Type: application/octet-stream; name=\"att.bin\"\r\n"
                    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"att.bin\"\r\n\r\n";
  out.reserve(out.size() + data.size() * 138 / 100);
  for (size_t at = 0; at < data.size(); at += 57) {
    const size_t n = std::min<size_t>(57, data.size() - at);
    for (size_t i = 0; i < n; i += 3) {
      const unsigned char *b = reinterpret_cast<const unsigned char *>(data.data() + at + i);
      const size_t k = std::min<size_t>(3, n - i);
      const unsigned v = (b[0] << 16) | (k > 1 ? b[1] << 8 : 0) | (k > 2 ? b[2] : 0);
      out += alphabet[(v >> 18) & 63];
      out += alphabet[(v >> 12) & 63];
      out += k > 1 ? alphabet[(v >> 6) & 63] : '=';
      out += k > 2 ? alphabet[v & 63] : '=';
    }
    out += "\r\n";
  }
  return out + "\r\n--b--\r\n";
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
  std::vector<double> Rate, Cpu, SinkBusy;
  void Add(const Figures &f) {
    Rate.push_back(f.Rate);
    Cpu.push_back(f.CpuEach);
    if (f.SinkBusy >= 0) SinkBusy.push_back(f.SinkBusy);
  }
};


// One library figure beside its peer's.
void PrintBeside(const char *unit, Series &kel, Series &peer, double cpuScale, const char *cpuUnit) {
  if (kel.Rate.empty() || peer.Rate.empty()) return;
  const double rate = Median(kel.Rate), cpu = Median(kel.Cpu), peerRate = Median(peer.Rate), peerCpu = Median(peer.Cpu);
  auto sinkBusy = [](Series &s) {
    static char text[48];
    text[0] = 0;
    if (!s.SinkBusy.empty()) snprintf(text, sizeof text, "   sink %3.0f%% of a core", Median(s.SinkBusy) * 100);
    return text;
  };
  printf("  %-44s %10.1f %s %8.1f %s%s\n", kel.Name, rate, unit, cpu * cpuScale, cpuUnit, sinkBusy(kel));
  printf("  %-44s %10.1f %s %8.1f %s%s\n", peer.Name, peerRate, unit, peerCpu * cpuScale, cpuUnit, sinkBusy(peer));
  printf("  %-44s %10.2fx         CPU %.2fx\n\n", "ratio", rate / peerRate, cpu / peerCpu);
}

double LoadAverage() {
  double load = 0;
  if (FILE *f = fopen("/proc/loadavg", "r")) {
    if (fscanf(f, "%lf", &load) != 1) load = 0;
    fclose(f);
  }
  return load;
}


// Every series of one sink.
struct Results {
  Series one{"KEL32 1 channel, blocking, default timings"};
  Series oneFast{"KEL32 1 channel, blocking, step delay 0"};
  Series onePipe{"KEL32 1 channel, blocking, step 0, PIPELINING"};
  Series many{"KEL32 128 channels, kelWait, default timings"};
  Series manyFast{"KEL32 128 channels, kelWait, step delay 0"};
  Series manyPipe{"KEL32 128 ch., kelWait, step 0, PIPELINING"};
  Series manyLoop{"KEL32 128 channels, poll loop, step delay 0"};
  Series source1{"smtp-source -d, 1 connection"};
  Series source128{"smtp-source -s 128 -d"};
  Series curlSmall{"curl, 1 process per message"};
  Series attach{"KEL32 10 MB attachment, default timings"};
  Series attachFast{"KEL32 10 MB attachment, step delay 0"};
  Series curlAttach{"curl -F ...;encoder=base64"};
  Series curlUpload{"curl --upload-file, composed beforehand"};
  Series node1{"nodemailer, 1 pooled connection"};
  Series node128{"nodemailer, pool of 128 connections"};
  Series nodeAttach{"nodemailer, composes and sends"};
};

// What one round runs, and the files it sends.
struct Plan {
  bool Small, Big, Targets, Source;
  std::string Body, Eml, Lf, Att, Composed, NodeScript;
  double Megabytes;
};

void Round(const Plan &p, Target &sink, Results &r) {
  kelIntegerParam(0, KEL_STEP_DELAY, 25);
  if (p.Small) r.one.Add(OneChannel(sink, p.Body, 1000000, 1.0));
  if (p.Small) r.many.Add(ManyChannelsWait(sink, 128, p.Body, 1000000, 1.5));
  if (p.Big) r.attach.Add(Attachment(sink, p.Att, p.Megabytes));
  kelIntegerParam(0, KEL_STEP_DELAY, 0);
  if (p.Small) r.oneFast.Add(OneChannel(sink, p.Body, 4000, 2.0));
  if (p.Small && p.Source) r.source1.Add(SmtpSource(sink, p.Lf, 1, 4000));
  if (p.Targets) r.manyFast.Add(ManyChannelsWait(sink, 128, p.Body, 16000, 3.0));
  if (p.Targets && p.Source) r.source128.Add(SmtpSource(sink, p.Lf, 128, 16000));
  if (p.Small) r.manyLoop.Add(ManyChannels(sink, 128, p.Body, 16000, 3.0));
  for (int c = 0; c < 128; c++) {
    kelIntegerParam(c, KEL_ENABLE_ESMTP, 1);
    kelIntegerParam(c, KEL_PIPELINING, 1);
  }
  if (p.Small) r.onePipe.Add(OneChannel(sink, p.Body, 4000, 2.0));
  if (p.Targets) r.manyPipe.Add(ManyChannelsWait(sink, 128, p.Body, 16000, 3.0));
  for (int c = 0; c < 128; c++) {
    kelIntegerParam(c, KEL_ENABLE_ESMTP, 0);
    kelIntegerParam(c, KEL_PIPELINING, 0);
  }
  if (p.Big) r.attachFast.Add(Attachment(sink, p.Att, p.Megabytes));
  kelIntegerParam(0, KEL_STEP_DELAY, 25);
  if (p.Small) r.curlSmall.Add(CurlSmall(sink, p.Eml, 20));
  if (p.Big) r.curlAttach.Add(CurlAttachment(sink, p.Att, p.Megabytes));
  if (p.Big) r.curlUpload.Add(CurlUpload(sink, p.Composed, p.Megabytes));
  if (p.Small && !p.NodeScript.empty()) r.node1.Add(NodeSmall(sink, p.NodeScript, p.Eml, 1, 4000));
  if (p.Small && !p.NodeScript.empty()) r.node128.Add(NodeSmall(sink, p.NodeScript, p.Eml, 128, 16000));
  if (p.Big && !p.NodeScript.empty()) r.nodeAttach.Add(NodeAttachment(sink, p.NodeScript, p.Att, p.Megabytes));
}

void Report(const Plan &p, const char *sinkName, Results &r) {
  printf("Into %s\n\n", sinkName);
  if (p.Targets) {
    printf("1 KB messages\n");
    PrintBeside("msg/s", r.oneFast, r.source1, 1e6, "us/msg");
    PrintBeside("msg/s", r.onePipe, r.source1, 1e6, "us/msg");
    PrintBeside("msg/s", r.one, r.source1, 1e6, "us/msg");
    PrintBeside("msg/s", r.manyFast, r.source128, 1e6, "us/msg");
    PrintBeside("msg/s", r.manyPipe, r.source128, 1e6, "us/msg");
    PrintBeside("msg/s", r.manyLoop, r.source128, 1e6, "us/msg");
    PrintBeside("msg/s", r.many, r.source128, 1e6, "us/msg");
    PrintBeside("msg/s", r.oneFast, r.curlSmall, 1e6, "us/msg");
    PrintBeside("msg/s", r.onePipe, r.node1, 1e6, "us/msg");
    PrintBeside("msg/s", r.manyPipe, r.node128, 1e6, "us/msg");
    // The ratios of the targets.
    auto ratio = [](Series &kel, Series &peer, const char *what, const char *target) {
      if (kel.Rate.empty() || peer.Rate.empty()) return;
      printf("  target: %-58s %.2fx, CPU %.2fx   (%s)\n", what, Median(kel.Rate) / Median(peer.Rate),
             Median(kel.Cpu) / Median(peer.Cpu), target);
    };
    ratio(r.manyPipe, r.source128, "128 ch. PIPELINING / smtp-source -s 128", ">= 2.0x, CPU <= 0.5x");
    ratio(r.manyFast, r.source128, "128 ch. one command per reply / smtp-source -s 128", ">= 1.5x");
    printf("\n");
  }
  if (p.Big) {
    printf("10 MB attachment (10^6 bytes per MB; CPU in ms per MB)\n");
    PrintBeside("MB/s", r.attachFast, r.curlAttach, 1e3, "ms/MB");
    PrintBeside("MB/s", r.attach, r.curlAttach, 1e3, "ms/MB");
    PrintBeside("MB/s", r.attachFast, r.curlUpload, 1e3, "ms/MB");
    PrintBeside("MB/s", r.attach, r.curlUpload, 1e3, "ms/MB");
    PrintBeside("MB/s", r.attachFast, r.nodeAttach, 1e3, "ms/MB");
    if (!r.attachFast.Rate.empty() && !r.curlUpload.Rate.empty())
      printf("  target: %-58s %.2fx   (>= 1.5x)\n\n", "10 MB attachment / curl --upload-file",
             Median(r.attachFast.Rate) / Median(r.curlUpload.Rate));
  }
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 5;
  const std::string only = argc > 2 ? argv[2] : "";  // "small", "many", "attach" or "idle": that group alone
  char dirTemplate[] = "/tmp/kel-bench-XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  const std::string dir = dirTemplate;
  Plan plan{};
  plan.Body = SmallBody();
  plan.Eml = dir + "/msg1k.eml", plan.Lf = dir + "/msg1k.lf", plan.Att = dir + "/att.bin", plan.Composed = dir + "/att.eml";
  const std::string headers = "From: " + std::string(Sender) + "\r\nTo: " + Recipient + "\r\nSubject: bench\r\n\r\n";
  WriteFile(plan.Eml, headers + plan.Body);
  std::string lfText = headers + plan.Body;
  lfText.erase(std::remove(lfText.begin(), lfText.end(), '\r'), lfText.end());
  WriteFile(plan.Lf, lfText);
  std::string data(10000000, '\0');
  std::mt19937 random(17);
  for (char &b : data) b = static_cast<char>(random());
  WriteFile(plan.Att, data);
  WriteFile(plan.Composed, ComposedAttachment(data));
  plan.Megabytes = static_cast<double>(data.size()) / 1e6;

  // Both sinks when Postfix's is there (KEL_BENCH_SINK=own or postfix for one).
  const char *choice = getenv("KEL_BENCH_SINK");
  const std::string which = choice ? choice : "";
  const char *threads = getenv("KEL_BENCH_SINK_THREADS");
  Sink own(threads ? atoi(threads) : 1);
  std::unique_ptr<PostfixSink> postfix;
  if (PostfixSink::Available() && which != "own") postfix = std::make_unique<PostfixSink>(dir);
  struct Into {
    std::string Name;
    Target Sink;
    Results Figures;
  };
  std::vector<std::unique_ptr<Into>> sinks;
  if (postfix)
    sinks.push_back(std::make_unique<Into>(Into{"Postfix smtp-sink (a separate process)",
                                                {postfix->Port, [&] { return postfix->Messages(); }, [&] { return postfix->Cpu(); }},
                                                {}}));
  if (!postfix || which != "postfix")
    sinks.push_back(std::make_unique<Into>(Into{"this program's sink (" + std::to_string(threads ? std::max(atoi(threads), 1) : 1) +
                                                    " thread(s), epoll, one send per read)",
                                                {own.Port, [&] { return own.Messages.load(); }, [&] { return own.Cpu(); }},
                                                {}}));
  plan.Source = access("/usr/sbin/smtp-source", X_OK) == 0;
  if (kelAttach(128, 0) < 0) {
    fprintf(stderr, "kelAttach failed\n");
    return 1;
  }
  const std::string nodeMissing = nodepeers::Missing();
  plan.NodeScript = nodeMissing.empty() ? nodepeers::WriteScript(dir, "send.js", NodeSender) : "";
  std::vector<double> loads;

  const bool manyOnly = only == "many";
  plan.Small = only.empty() || only == "small", plan.Big = only.empty() || only == "attach";
  plan.Targets = plan.Small || manyOnly;  // the 128-channel rows of the targets
  for (int r = 0; r < rounds && (plan.Targets || plan.Big); r++) {
    fprintf(stderr, "round %d of %d\n", r + 1, rounds);
    loads.push_back(LoadAverage());
    for (auto &into : sinks) Round(plan, into->Sink, into->Figures);
  }
  double idleShare = -1;
  if (only.empty() || only == "idle") idleShare = IdleChannelsCpu(128, 5.0);
  kelRelease();

  printf("Medians of %d rounds, interleaved, each sink in turn on 127.0.0.1; load average at the rounds' starts: median %.1f\n",
         rounds, Median(loads));
  printf("CPU: the sending thread (KEL32) or the whole peer process (smtp-source, curl), never the sink's;\n"
         "nodemailer is timed inside its process. A sink near 100%% of a core caps whichever client it serves.\n");
  if (!nodeMissing.empty()) printf("nodemailer skipped: %s\n", nodeMissing.c_str());
  if (!plan.Source) printf("smtp-source skipped: /usr/sbin/smtp-source not installed (package postfix)\n");
  printf("\n");
  for (auto &into : sinks) Report(plan, into->Name.c_str(), into->Figures);
  if (idleShare >= 0)
    printf("128 idle channels waiting for a silent server, kelWait loop: %.2f%% of one core\n", idleShare * 100);
  for (const std::string &f : {plan.Eml, plan.Lf, plan.Att, plan.Composed}) unlink(f.c_str());
  postfix.reset();
  rmdir(dir.c_str());
  return 0;
}
