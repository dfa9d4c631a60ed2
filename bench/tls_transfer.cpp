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
// kept sessions are forgotten before each connect (full handshakes).
//
//   bench_tls_transfer [rounds] [--handshakes]      (default 3; --handshakes: only the handshake figures)
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kel32.h"
#include "maildrop.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }
double ThreadCpu() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
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

void Setup(int mode, const std::string &ca) {
  kelIntegerParam(0, KEL_STEP_DELAY, 0);
  kelIntegerParam(0, KEL_SLEEP_TIME, 5);
  kelIntegerParam(0, KEL_TLS_MODE, mode);
  kelStringParam(0, KEL_TLS_CA_FILE, ca.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 3;
  const bool handshakesOnly = argc > 2 && std::string(argv[2]) == "--handshakes";
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
  for (int r = 0; r < rounds; r++) {
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
  // The trace of one more reconnect shows whether it was resumed.
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
  printf("handshake CPU over plain: full %.3f ms, resumed %.3f ms (%.2fx); the trace %s \"[TLS resumed]\"\n\n",
         fullCpu * 1e3, resumedCpu * 1e3, resumedCpu > 0 ? fullCpu / resumedCpu : 0.0, resumed ? "shows" : "LACKS");
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
