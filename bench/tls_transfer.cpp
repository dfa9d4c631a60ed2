// TLS costs on loopback, against the kelmail demo mail drop in its TLS mode
// (STARTTLS and STLS with a certificate made at start), with curl
// (--ssl-reqd) and Python (smtplib starttls, poplib stls) beside the
// library in the same run:
//
//   handshake  connect + EHLO (+ STARTTLS, handshake, EHLO) + QUIT, per connection
//   send       one 10 MB binary attachment sent as Base64 over STARTTLS
//   retrieve   one message with a 20 MB attachment read over STLS and decoded
//
// Wall time and the client's CPU (the library's calling thread; the curl or
// Python process); the drop runs on threads of this program and is not
// counted. Medians over the rounds. The library's retrieval is also timed
// without the connect and login, whose pauses are part of the dialogue.
//
// The handshake figures also come for 128 reconnects whose sessions are
// resumed (the library keeps the last session per server) beside 128 whose
// kept sessions are forgotten before each connect (full handshakes): per
// connection through the library's calls, and for the handshake alone.
//
//   bench_tls_transfer [rounds] [--handshakes | --engine]
//   (default 3 rounds; --handshakes: only the handshake figures; --engine: only those of the handshake alone)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "kel32.h"
#include "maildrop.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }
// The calling thread's CPU to the nanosecond (getrusage's split into user
// and system time is sampled: too coarse for a window of a few hundred µs).
double ThreadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
double ChildrenCpu() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Figure {
  std::vector<double> Wall, Cpu;
  void Add(double w, double c) { Wall.push_back(w), Cpu.push_back(c); }
  static double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
};

std::string Binary(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 7;
  for (auto &c : s) x = x * 1103515245u + 12345u, c = static_cast<char>(x >> 16);
  return s;
}

void WriteFile(const std::string &path, const std::string &data) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) exit(1);
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

// A child command's wall time and CPU; exits on failure.
std::pair<double, double> Run(const std::string &command) {
  const double cpu0 = ChildrenCpu();
  const auto t = Clock::now();
  if (system((command + " >/dev/null").c_str()) != 0) {
    fprintf(stderr, "failed: %s\n", command.c_str());
    exit(1);
  }
  return {Since(t), ChildrenCpu() - cpu0};
}

std::string Base64(const std::string &in) {
  static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t col = 0;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<uint8_t>(in[i + 2]);
    out += a[(v >> 18) & 63];
    out += a[(v >> 12) & 63];
    out += i + 1 < in.size() ? a[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? a[v & 63] : '=';
    if ((col += 4) == 76) out += "\r\n", col = 0;
  }
  if (col) out += "\r\n";
  return out;
}

// ---- The handshake alone: the engine driven over a socket of this program ----
// The per-connection figures above include the dialogue around the
// handshake (STARTTLS, a second EHLO and its pause). Here the client's CPU
// and wall are taken from the start of the session to the end of its
// handshake, and separately for the rest of the TLS work of the connection
// (the server's tickets, QUIT, close_notify, freeing the session).

int Dial(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) exit(1);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Reads plain text until a line that begins with the code and a space.
void Expect(int fd, const char *code) {
  std::string text;
  char b[4096];
  for (;;) {
    const ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) exit(1);
    text.append(b, static_cast<size_t>(n));
    for (size_t at = 0; (at = text.find(code, at)) != std::string::npos; at++)
      if ((at == 0 || text[at - 1] == '\n') && text.size() > at + 3 && text[at + 3] == ' ' &&
          text.find('\n', at) != std::string::npos)
        return;
  }
}

void SendAll(int fd, const void *data, size_t n) {
  if (send(fd, data, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) exit(1);
}

void Flush(int fd, PlatformTlsSession *s) {
  char b[16384];
  for (int n; (n = PlatformTlsOutput(s, b, sizeof b)) > 0;) SendAll(fd, b, static_cast<size_t>(n));
}

// One receive into the engine (waits for the peer).
void Feed(int fd, PlatformTlsSession *s) {
  char b[16384];
  const ssize_t n = recv(fd, b, sizeof b, 0);
  if (n <= 0 || PlatformTlsFeed(s, b, static_cast<int>(n)) != 0) exit(1);
}

struct HandshakeFigures {
  Figure Handshake, After;
  int Resumed = 0;
};

// One STARTTLS connection: handshake timed, then QUIT over TLS.
void OneHandshake(int port, const std::string &ca, HandshakeFigures &f, bool forget) {
  const int fd = Dial(port);
  Expect(fd, "220");
  SendAll(fd, "EHLO bench\r\n", 12);
  Expect(fd, "250");
  SendAll(fd, "STARTTLS\r\n", 10);
  Expect(fd, "220");
  if (forget) PlatformTlsForgetSessions();
  const double c0 = ThreadCpu();
  const auto t0 = Clock::now();
  int error = 0;
  PlatformTlsSession *s = PlatformTlsNew("127.0.0.1", ca.c_str(), 1, &error);
  if (!s) exit(1);
  PlatformTlsOfferSession(s, static_cast<unsigned>(port));
  for (;;) {
    const int rc = PlatformTlsHandshake(s);
    Flush(fd, s);
    if (rc == 1) break;
    if (rc < 0) exit(1);
    Feed(fd, s);
  }
  const double c1 = ThreadCpu();
  const auto t1 = Clock::now();
  char text[32];
  PlatformTlsDescribe(s, 3, text, sizeof text);
  f.Resumed += text[0] != 0;
  if (PlatformTlsEncrypt(s, "QUIT\r\n", 6) != 6) exit(1);
  Flush(fd, s);
  char reply[512];
  for (;;) {  // the tickets (TLS 1.3) come before the reply
    const int n = PlatformTlsDecrypt(s, reply, sizeof reply);
    if (n > 0) break;
    if (n < 0) exit(1);
    Feed(fd, s);
  }
  PlatformTlsClose(s);
  Flush(fd, s);
  PlatformTlsFree(s);
  const double c2 = ThreadCpu();
  const auto t2 = Clock::now();
  close(fd);
  f.Handshake.Add(std::chrono::duration<double>(t1 - t0).count(), c1 - c0);
  f.After.Add(std::chrono::duration<double>(t2 - t1).count(), c2 - c1);
}

void Setup(int mode, const std::string &ca) {
  kelIntegerParam(0, KEL_STEP_DELAY, 0);
  kelIntegerParam(0, KEL_SLEEP_TIME, 5);
  kelIntegerParam(0, KEL_TLS_MODE, mode);
  kelStringParam(0, KEL_TLS_CA_FILE, ca.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 3;
  const bool engineOnly = argc > 2 && std::string(argv[2]) == "--engine";
  const bool handshakesOnly = engineOnly || (argc > 2 && std::string(argv[2]) == "--handshakes");
  char pattern[] = "/tmp/kel-bench-tls-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string dir = pattern, ca = dir + "/ca.pem";
  kelmail::MailDropOptions options;
  options.tlsCaFile = ca;
  kelmail::MailDrop drop(options);
  std::string error;
  if (!drop.Start(error)) {
    fprintf(stderr, "drop: %s\n", error.c_str());
    return 1;
  }
  const std::string smtp = std::to_string(drop.SmtpPort()), pop3 = std::to_string(drop.Pop3Port());
  if (kelAttach(1, 0) != 1) return 1;

  // ---- handshake: per connection ----
  Figure plainConnect, tlsConnect, tlsFull;
  const int connections = 128;
  for (int r = 0; r < (engineOnly ? 0 : rounds); r++) {
    // Plain, TLS resumed (primed by one connect), TLS with every session forgotten.
    for (int kind : {0, 1, 2}) {
      Setup(kind ? KEL_TLS_REQUIRED : KEL_TLS_OFF, ca);
      kelIntegerParam(0, KEL_SMTP_PORT, drop.SmtpPort());
      if (kind == 1 && (kelSmtpConnect(0, "127.0.0.1", "<me@kelmail.demo>", "") != 0 || kelClose(0) != 0)) return 1;
      const double c0 = ThreadCpu();
      const auto t = Clock::now();
      for (int i = 0; i < connections; i++) {
        if (kind == 2) PlatformTlsForgetSessions();
        if (kelSmtpConnect(0, "127.0.0.1", "<me@kelmail.demo>", "") != 0 || kelClose(0) != 0) return 1;
      }
      Figure &f = kind == 0 ? plainConnect : kind == 1 ? tlsConnect : tlsFull;
      f.Add(Since(t) / connections, (ThreadCpu() - c0) / connections);
    }
  }
  // The handshake alone, 128 connects per round each way; the medians are over every connect.
  HandshakeFigures direct[2];  // resumed, full
  for (int r = 0; r < rounds; r++)
    for (int kind : {0, 1})
      for (int i = 0; i < connections; i++) OneHandshake(drop.SmtpPort(), ca, direct[kind], kind == 1);
  // The trace of one more reconnect shows whether it was resumed.
  Setup(KEL_TLS_REQUIRED, ca);
  kelIntegerParam(0, KEL_SMTP_PORT, drop.SmtpPort());
  const std::string trace = dir + "/resume.log";
  kelStringParam(0, KEL_LOG_FILE, trace.c_str());
  if (kelSmtpConnect(0, "127.0.0.1", "<me@kelmail.demo>", "") != 0 || kelClose(0) != 0) return 1;
  kelStringParam(0, KEL_LOG_FILE, "");
  std::string text;
  if (FILE *f = fopen(trace.c_str(), "rb")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    fclose(f);
  }
  const bool resumed = text.find("[TLS resumed]") != std::string::npos;
  double load = 0;
  if (FILE *f = fopen("/proc/loadavg", "r")) {
    if (fscanf(f, "%lf", &load) != 1) load = 0;
    fclose(f);
  }
  printf("%d reconnects per round, medians of %d rounds; load average %.1f\n", connections, rounds, load);
  printf("%-52s %10s %12s\n", "per connection (connect, EHLO, QUIT)", "wall ms", "client CPU ms");
  for (auto &[name, f] : std::vector<std::pair<const char *, Figure *>>{{"kel32 plain", &plainConnect},
                                                                         {"kel32 STARTTLS, full handshake", &tlsFull},
                                                                         {"kel32 STARTTLS, session resumed", &tlsConnect}})
    printf("%-52s %10.2f %12.3f\n", name, Figure::Median(f->Wall) * 1e3, Figure::Median(f->Cpu) * 1e3);
  const double plainCpu = Figure::Median(plainConnect.Cpu);
  const double fullCpu = Figure::Median(tlsFull.Cpu) - plainCpu, resumedCpu = Figure::Median(tlsConnect.Cpu) - plainCpu;
  // Over plain is more than the handshake: STARTTLS, the second EHLO and
  // its pause are in it too; full minus resumed is what resumption saves.
  printf("STARTTLS over plain (handshake, STARTTLS, second EHLO): full %.3f ms, resumed %.3f ms CPU (%.2fx);\n"
         "resumption saves %.3f ms CPU, %.2f ms wall per connect; the trace %s \"[TLS resumed]\"\n\n",
         fullCpu * 1e3, resumedCpu * 1e3, resumedCpu > 0 ? fullCpu / resumedCpu : 0.0, (fullCpu - resumedCpu) * 1e3,
         (Figure::Median(tlsFull.Wall) - Figure::Median(tlsConnect.Wall)) * 1e3, resumed ? "shows" : "LACKS");
  printf("%-52s %10s %12s\n", "the handshake alone (engine, STARTTLS)", "wall ms", "client CPU ms");
  for (int kind : {1, 0}) {
    HandshakeFigures &f = direct[kind];
    printf("%-52s %10.3f %12.3f\n", kind ? "full handshake" : "session resumed", Figure::Median(f.Handshake.Wall) * 1e3,
           Figure::Median(f.Handshake.Cpu) * 1e3);
    printf("%-52s %10.3f %12.3f\n", "  then tickets, QUIT, close, free", Figure::Median(f.After.Wall) * 1e3,
           Figure::Median(f.After.Cpu) * 1e3);
  }
  const double directFull = Figure::Median(direct[1].Handshake.Cpu), directResumed = Figure::Median(direct[0].Handshake.Cpu);
  printf("handshake alone: CPU full/resumed %.2fx, wall %.2fx; %d of %d connects resumed\n\n",
         directResumed > 0 ? directFull / directResumed : 0.0,
         Figure::Median(direct[0].Handshake.Wall) > 0
             ? Figure::Median(direct[1].Handshake.Wall) / Figure::Median(direct[0].Handshake.Wall)
             : 0.0,
         direct[0].Resumed, static_cast<int>(direct[0].Handshake.Cpu.size()));
  if (handshakesOnly) {
    kelRelease();
    drop.Stop();
    std::string cleanup = "rm -rf " + dir;
    return system(cleanup.c_str()) == 0 ? 0 : 0;
  }

  // ---- send: 10 MB attachment ----
  const std::string attachment = dir + "/blob.bin";
  WriteFile(attachment, Binary(10 << 20));
  const std::string py = dir + "/send.py";
  WriteFile(py, "import smtplib, ssl, sys\n"
                "from email.message import EmailMessage\n"
                "m = EmailMessage(); m['From'] = 'me@kelmail.demo'; m['To'] = 'demo@kelmail.demo'; m['Subject'] = 'b'\n"
                "m.set_content('see attachment')\n"
                "m.add_attachment(open(sys.argv[3], 'rb').read(), maintype='application', subtype='octet-stream', filename='blob.bin')\n"
                "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1])); s.starttls(context=ssl.create_default_context(cafile=sys.argv[2]))\n"
                "s.login('demo', 'demo'); s.send_message(m); s.quit()\n");
  Figure kelSend, kelPlainSend, curlSend, pySend;
  for (int r = 0; r < rounds; r++) {
    for (int mode : {KEL_TLS_OFF, KEL_TLS_REQUIRED}) {
      Setup(mode, ca);
      kelIntegerParam(0, KEL_SMTP_PORT, drop.SmtpPort());
      kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
      kelStringParam(0, KEL_SMTP_USER, "demo");
      kelStringParam(0, KEL_SMTP_PASS, "demo");
      const double c0 = ThreadCpu();
      const auto t = Clock::now();
      if (kelSmtpConnect(0, "127.0.0.1", "<me@kelmail.demo>", "") != 0) return 1;
      if (kelSendEmail(0, "<demo@kelmail.demo>", nullptr, nullptr, "b", "see attachment", attachment.c_str()) != 0)
        return 1;
      kelClose(0);
      (mode ? kelSend : kelPlainSend).Add(Since(t), ThreadCpu() - c0);
    }
    auto c = Run("curl -sS --max-time 120 --ssl-reqd --cacert " + ca + " --url smtp://127.0.0.1:" + smtp +
                 "/client.example.com -u demo:demo --mail-from me@kelmail.demo --mail-rcpt demo@kelmail.demo"
                 " -F '=see attachment;type=text/plain' -F '=@" + attachment +
                 ";type=application/octet-stream;encoder=base64'");
    curlSend.Add(c.first, c.second);
    auto p = Run("python3 " + py + " " + smtp + " " + ca + " " + attachment);
    pySend.Add(p.first, p.second);
  }

  // ---- retrieve: a message with a 20 MB attachment ----
  std::string message = "From: <me@kelmail.demo>\r\nSubject: big\r\nMIME-Version: 1.0\r\n"
                        "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
                        "--B\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
                        "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"big.bin\"\r\n\r\n" +
                        Base64(Binary(20 << 20)) + "--B--\r\n";
  const std::string pyGetScript = dir + "/get.py";
  WriteFile(pyGetScript, "import email, email.policy, poplib, ssl, sys\n"
                   "b = poplib.POP3('127.0.0.1', int(sys.argv[1])); b.stls(context=ssl.create_default_context(cafile=sys.argv[2]))\n"
                   "b.user('demo'); b.pass_('demo')\n"
                   "st, lines, n = b.retr(1)\n"
                   "m = email.message_from_bytes(b'\\r\\n'.join(lines) + b'\\r\\n', policy=email.policy.compat32)\n"
                   "for part in m.walk():\n"
                   "    if part.get_filename(): open(sys.argv[3] + '/py-' + part.get_filename(), 'wb').write(part.get_payload(decode=True))\n"
                   "b.quit()\n");
  Figure kelGet, kelPlainGet, curlGet, pyGet, kelGetAlone, kelPlainGetAlone;
  for (int r = 0; r < rounds; r++) {
    for (int mode : {KEL_TLS_OFF, KEL_TLS_REQUIRED}) {
      while (!drop.Messages().empty()) {  // one message in the box at a time
        kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_OFF);
        kelIntegerParam(0, KEL_POP3_PORT, drop.Pop3Port());
        if (kelPop3Connect(0, "127.0.0.1", "demo", "demo") != 0) return 1;
        for (int i = kelGetEmailCount(0); i > 0; i--) kelDeleteEmail(0, i);
        kelClose(0);
      }
      drop.Deposit(message);
      Setup(mode, ca);
      kelIntegerParam(0, KEL_POP3_PORT, drop.Pop3Port());
      const double c0 = ThreadCpu();
      const auto t = Clock::now();
      if (kelPop3Connect(0, "127.0.0.1", "demo", "demo") != 0) return 1;
      const double c1 = ThreadCpu();
      const auto t1 = Clock::now();
      if (kelGetEmailFile(0, 1, "big.eml", dir.c_str(), dir.c_str()) != 0) return 1;
      (mode ? kelGetAlone : kelPlainGetAlone).Add(Since(t1), ThreadCpu() - c1);
      kelClose(0);
      (mode ? kelGet : kelPlainGet).Add(Since(t), ThreadCpu() - c0);
    }
    auto c = Run("curl -sS --max-time 120 --ssl-reqd --cacert " + ca + " -u demo:demo pop3://127.0.0.1:" + pop3 +
                 "/1 -o " + dir + "/curl.eml");
    curlGet.Add(c.first, c.second);
    auto p = Run("python3 " + pyGetScript + " " + pop3 + " " + ca + " " + dir);
    pyGet.Add(p.first, p.second);
  }
  kelRelease();
  drop.Stop();

  printf("%-52s %10s %12s\n", "10 MB attachment sent (Base64)", "wall s", "client CPU s");
  for (auto &[name, f] : std::vector<std::pair<const char *, Figure *>>{{"kel32 plain", &kelPlainSend},
                                                                         {"kel32 STARTTLS", &kelSend},
                                                                         {"curl --ssl-reqd -F ...;encoder=base64", &curlSend},
                                                                         {"python smtplib starttls + email", &pySend}})
    printf("%-52s %10.3f %12.3f\n", name, Figure::Median(f->Wall), Figure::Median(f->Cpu));
  printf("\n%-52s %10s %12s\n", "20 MB attachment retrieved", "wall s", "client CPU s");
  for (auto &[name, f] : std::vector<std::pair<const char *, Figure *>>{{"kel32 plain (decoded to a file)", &kelPlainGet},
                                                                         {"kel32 STLS (decoded to a file)", &kelGet},
                                                                         {"  of which kelGetEmailFile, plain", &kelPlainGetAlone},
                                                                         {"  of which kelGetEmailFile, STLS", &kelGetAlone},
                                                                         {"curl --ssl-reqd (raw, not decoded)", &curlGet},
                                                                         {"python poplib stls + email (decoded)", &pyGet}})
    printf("%-52s %10.3f %12.3f\n", name, Figure::Median(f->Wall), Figure::Median(f->Cpu));
  std::string cleanup = "rm -rf " + dir;
  return system(cleanup.c_str()) == 0 ? 0 : 0;
}
