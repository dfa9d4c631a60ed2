// Retrieval with decoding: one message with a text part and two Base64
// attachments, served by a POP3 server thread on 127.0.0.1, saved with
// kelGetEmailFile; beside it Python's poplib and email package and Node's
// mailparser (when node and the package are there) doing the same job on the
// same message, and the library again over IMAP (the same message as the
// literal of UID FETCH BODY.PEEK[], from a second thread).
//
// curl's raw RETR to a file (no decoding) runs beside them too, timed from
// spawn to exit with its whole rusage. Rounds are interleaved and the
// figures are medians.
//
//   bench_pop3_retrieve [rounds [sizes in MB...]]      (default: 5 rounds, 2 20 200 MB;
//                                                       Python only up to 20 MB)
//   bench_pop3_retrieve --profile MB                   one retrieval by the library, server in
//                                                       the same process (for callgrind:
//                                                       --toggle-collect=kelGetEmailFile)
//
// Each run is a fresh child process, so that its peak resident size
// (VmHWM, read by the child itself) belongs to that run alone; the server thread lives in the
// parent and builds the message before the run, so neither its memory nor
// its work is in the clients' figures. The saved attachments are checked
// byte for byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kel32.h"
#include "node_peers.h"

extern char **environ;

namespace {

// ---- The message ----------------------------------------------------------------

// Attachment bytes: a fixed pseudo-random stream per attachment.
struct ByteSource {
  uint64_t State;
  explicit ByteSource(uint64_t seed) : State(seed * 0x9E3779B97F4A7C15ull + 1) {}
  unsigned char Next() {
    State ^= State << 13;
    State ^= State >> 7;
    State ^= State << 17;
    return static_cast<unsigned char>(State >> 24);
  }
};

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void AppendBase64Line(std::string &out, const unsigned char *b, size_t n) {
  for (size_t i = 0; i < n; i += 3) {
    unsigned v = b[i] << 16;
    if (i + 1 < n) v |= b[i + 1] << 8;
    if (i + 2 < n) v |= b[i + 2];
    out += Alphabet[(v >> 18) & 63];
    out += Alphabet[(v >> 12) & 63];
    out += i + 1 < n ? Alphabet[(v >> 6) & 63] : '=';
    out += i + 2 < n ? Alphabet[v & 63] : '=';
  }
  out += "\r\n";
}

// Attachment sizes for a message of about megabytes MB on the wire.
size_t AttachmentBytes(int megabytes) { return static_cast<size_t>(megabytes) * 1000000 / 2 * 57 / 78; }

// Streams the message to send(), in blocks.
template <typename Send>
void StreamMessage(int megabytes, Send send) {
  std::string block =
      "Received: from bench.test\r\nSubject: bench message\r\nFrom: bench@example.com\r\n"
      "To: reader@example.com\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"=====bench=====\"\r\n\r\n"
      "This is a multi-part message.\r\n--=====bench=====\r\nContent-Type: text/plain\r\n\r\n";
  for (int i = 0; i < 200; ++i) block += "Some text of the message, line " + std::to_string(i) + ".\r\n";
  const size_t each = AttachmentBytes(megabytes);
  for (int k = 0; k < 2; ++k) {
    block += "--=====bench=====\r\nContent-Type: application/octet-stream; name=\"part" + std::to_string(k) +
             ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    ByteSource source(k + 1);
    unsigned char line[57];
    for (size_t done = 0; done < each; done += 57) {
      const size_t n = each - done < 57 ? each - done : 57;
      for (size_t i = 0; i < n; ++i) line[i] = source.Next();
      AppendBase64Line(block, line, n);
      if (block.size() > 60000) {
        send(block);
        block.clear();
      }
    }
  }
  block += "--=====bench=====--\r\n.\r\n";
  send(block);
}

bool CheckAttachment(const std::string &path, int k, int megabytes) {
  std::ifstream in(path, std::ios::binary);
  ByteSource source(k + 1);
  const size_t each = AttachmentBytes(megabytes);
  std::vector<char> buffer(1 << 16);
  size_t total = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    for (std::streamsize i = 0; i < in.gcount(); ++i)
      if (static_cast<unsigned char>(buffer[static_cast<size_t>(i)]) != source.Next()) return false;
    total += static_cast<size_t>(in.gcount());
  }
  return total == each;
}

// ---- The server -------------------------------------------------------------------

struct Pop3Server {
  bool Imap = false;  // speaks IMAP instead
  int Listener = -1;
  uint16_t Port = 0;
  std::string Message;  // set before each run, not touched while one runs
  std::thread Thread;

  void Start() {
    Listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(Listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(Listener, 4);
    socklen_t length = sizeof address;
    getsockname(Listener, reinterpret_cast<sockaddr *>(&address), &length);
    Port = ntohs(address.sin_port);
    Thread = std::thread([this] { Serve(); });
  }
  void Stop() {
    shutdown(Listener, SHUT_RDWR);
    close(Listener);
    if (Thread.joinable()) Thread.join();
  }
  void Serve() {
    for (;;) {
      int s = accept(Listener, nullptr, nullptr);
      if (s < 0) return;
      if (Imap) ImapSession(s);
      else Session(s);
      close(s);
    }
  }
  static bool SendAll(int s, const char *bytes, size_t size) {
    for (size_t at = 0; at < size;) {
      ssize_t n = send(s, bytes + at, size - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  static bool SendAll(int s, const std::string &bytes) { return SendAll(s, bytes.data(), bytes.size()); }
  // The same message over IMAP: greeting, LOGIN, SELECT, UID SEARCH, and
  // UID FETCH with the message (without POP3's end line) as a literal.
  void ImapSession(int s) {
    SendAll(s, "* OK [CAPABILITY IMAP4rev1 UIDPLUS] bench server ready\r\n");
    std::string pending;
    char buffer[512];
    for (;;) {
      size_t lf;
      while ((lf = pending.find('\n')) == std::string::npos) {
        ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        pending.append(buffer, static_cast<size_t>(n));
      }
      const std::string line = pending.substr(0, lf + 1);
      pending.erase(0, lf + 1);
      const std::string tag = line.substr(0, line.find(' '));
      const std::string command = line.substr(tag.size() + 1);
      if (command.compare(0, 6, "SELECT") == 0) {
        SendAll(s, "* 1 EXISTS\r\n* OK [UIDVALIDITY 1] ok\r\n" + tag + " OK [READ-WRITE] done\r\n");
      } else if (command.compare(0, 10, "UID SEARCH") == 0) {
        SendAll(s, "* SEARCH 1\r\n" + tag + " OK done\r\n");
      } else if (command.compare(0, 9, "UID FETCH") == 0) {
        const size_t size = Message.size() - 3;  // without ".\r\n"
        SendAll(s, "* 1 FETCH (UID 1 BODY[] {" + std::to_string(size) + "}\r\n");
        SendAll(s, Message.data(), size);  // not a copy: 200 MB of fresh pages would keep the client waiting
        SendAll(s, ")\r\n" + tag + " OK done\r\n");
      } else if (command.compare(0, 6, "LOGOUT") == 0) {
        SendAll(s, "* BYE bye\r\n" + tag + " OK done\r\n");
        return;
      } else {
        SendAll(s, tag + " OK done\r\n");
      }
    }
  }
  void Session(int s) {
    SendAll(s, "+OK bench server ready\r\n");
    std::string pending;
    char buffer[512];
    for (;;) {
      size_t lf;
      while ((lf = pending.find('\n')) == std::string::npos) {
        ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        pending.append(buffer, static_cast<size_t>(n));
      }
      const std::string line = pending.substr(0, lf + 1);
      pending.erase(0, lf + 1);
      if (line.compare(0, 4, "RETR") == 0) {
        SendAll(s, "+OK message follows\r\n");
        SendAll(s, Message);
      } else if (line.compare(0, 4, "CAPA") == 0) {
        SendAll(s, "+OK\r\nUSER\r\n.\r\n");
      } else if (line.compare(0, 4, "QUIT") == 0) {
        SendAll(s, "+OK bye\r\n");
        return;
      } else {
        SendAll(s, "+OK\r\n");
      }
    }
  }
};

// ---- The clients ------------------------------------------------------------------

double CpuSeconds(const rusage &u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The peak resident size of this process so far, in kB.
long PeakKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return atol(line.c_str() + 6);
  return 0;
}

// The child: one retrieval with the library; prints "wall cpu maxrss-kB ok".
int KelChild(uint16_t port, int megabytes, const std::string &dir, bool imap) {
  kelAttach(1, 0);
  kelIntegerParam(0, imap ? KEL_IMAP_PORT : KEL_POP3_PORT, port);
  if ((imap ? kelImapConnect : kelPop3Connect)(0, "127.0.0.1", "bench", "bench") != 0) return 2;
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = kelGetEmailFile(0, 1, "mail.txt", dir.c_str(), dir.c_str());
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  getrusage(RUSAGE_SELF, &after);
  kelClose(0);
  kelRelease();
  const bool ok = rc == 0 && CheckAttachment(dir + "/part0.bin", 0, megabytes) &&
                  CheckAttachment(dir + "/part1.bin", 1, megabytes);
  printf("%.4f %.4f %ld %d\n", wall, CpuSeconds(after) - CpuSeconds(before), PeakKb(), ok ? 1 : 0);
  return 0;
}

const char PythonClient[] = R"PY(
import email, email.policy, os, poplib, resource, sys, time
port, directory = int(sys.argv[1]), sys.argv[2]
box = poplib.POP3("127.0.0.1", port)
box.user("bench"); box.pass_("bench")
r0 = resource.getrusage(resource.RUSAGE_SELF); t0 = time.perf_counter()
status, lines, octets = box.retr(1)
message = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n", policy=email.policy.compat32)
with open(os.path.join(directory, "mail.txt"), "wb") as mail:
    for part in message.walk():
        name = part.get_filename()
        if name:
            with open(os.path.join(directory, os.path.basename(name)), "wb") as f:
                f.write(part.get_payload(decode=True))
            mail.write(("[Attachment saved to %s]\r\n" % name).encode())
        elif not part.is_multipart():
            mail.write(part.get_payload(decode=True) or b"")
wall = time.perf_counter() - t0; r1 = resource.getrusage(resource.RUSAGE_SELF)
box.quit()
cpu = (r1.ru_utime + r1.ru_stime) - (r0.ru_utime + r0.ru_stime)
peak = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
print("%.4f %.4f %d 1" % (wall, cpu, peak))
)PY";

// Node: a few lines of POP3 over net, then mailparser's simpleParser, the
// attachments written to files (the packages have no POP3 client).
const char NodeClient[] = R"JS(
const net = require("net"), fs = require("fs"), path = require("path");
const { simpleParser } = require("mailparser");
const [port, directory] = process.argv.slice(2);
const socket = net.connect(+port, "127.0.0.1");
let pending = [], size = 0, waiting = null, t0, c0;
function line(text) { socket.write(text + "\r\n"); }
socket.on("data", chunk => { pending.push(chunk); size += chunk.length; if (waiting) waiting(); });
function until(test) {
  return new Promise(resolve => {
    const check = () => { const all = Buffer.concat(pending); pending = [all];
      if (test(all)) { waiting = null; pending = []; size = 0; resolve(all); } };
    waiting = check; check();
  });
}
const reply = () => until(b => b.indexOf("\r\n") >= 0);
(async () => {
  await reply(); line("USER bench"); await reply(); line("PASS bench"); await reply();
  t0 = process.hrtime.bigint(); c0 = process.cpuUsage();
  line("RETR 1");
  let tail = Buffer.alloc(0);
  const raw = await new Promise(resolve => {
    const chunks = [];
    waiting = null; pending = [];
    socket.removeAllListeners("data");
    socket.on("data", chunk => {
      chunks.push(chunk);
      tail = Buffer.concat([tail, chunk]).subarray(-5);
      if (tail.toString("latin1") === "\r\n.\r\n") resolve(Buffer.concat(chunks));
    });
  });
  // Status line, end line and dot stuffing off.
  let at = raw.indexOf("\r\n") + 2;
  const end = raw.length - 3, parts = [];
  while (at < end) {
    let next = raw.indexOf("\r\n", at);
    next = next < 0 || next + 2 > end ? end : next + 2;
    parts.push(raw.subarray(raw[at] === 46 ? at + 1 : at, next));
    at = next;
  }
  const message = await simpleParser(Buffer.concat(parts));
  const mail = fs.openSync(path.join(directory, "mail.txt"), "w");
  fs.writeSync(mail, message.text || "");
  for (const a of message.attachments) {
    fs.writeFileSync(path.join(directory, path.basename(a.filename || "noname")), a.content);
    fs.writeSync(mail, "[Attachment saved to " + a.filename + "]\r\n");
  }
  fs.closeSync(mail);
  const wall = Number(process.hrtime.bigint() - t0) / 1e9, cpu = process.cpuUsage(c0);
  line("QUIT"); socket.end();
  const peak = fs.readFileSync("/proc/self/status", "latin1").match(/VmHWM:\s+(\d+)/)[1];
  console.log(wall.toFixed(4) + " " + ((cpu.user + cpu.system) / 1e6).toFixed(4) + " " + peak + " 1");
})().catch(e => { console.error(e); process.exit(1); });
)JS";

struct Result {
  double Wall = 0, Cpu = 0;
  long MaxRssKb = 0;
  int Ok = 0;
  bool Valid = false;
};

Result RunChild(const std::string &command) {
  Result r;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  r.Valid = fscanf(pipe, "%lf %lf %ld %d", &r.Wall, &r.Cpu, &r.MaxRssKb, &r.Ok) == 4;
  pclose(pipe);
  return r;
}


// curl's raw RETR into a file, from spawn to exit; the file is checked to
// hold the message (curl removes the status line, the end line and the
// dot-stuffing). The peak is sampled from /proc while curl runs.
Result RunCurl(uint16_t port, const std::string &file, const std::string &message) {
  Result r;
  const std::string url = "pop3://127.0.0.1:" + std::to_string(port) + "/1";
  const std::vector<std::string> args = {"curl", "-sS", "--max-time", "120", "-u", "bench:bench", "--url", url, "-o", file};
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return r;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    std::ifstream proc("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(proc, line);)
      if (line.compare(0, 6, "VmHWM:") == 0) r.MaxRssKb = std::max(r.MaxRssKb, atol(line.c_str() + 6));
    usleep(2000);
  }
  r.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.Cpu = CpuSeconds(usage);
  r.Valid = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  // The served text is dot-stuffed with its end line; undo both for the check.
  std::string expected;
  expected.reserve(message.size());
  for (size_t at = 0; at < message.size();) {
    size_t lf = message.find('\n', at);
    if (lf == std::string::npos) lf = message.size() - 1;
    std::string line = message.substr(at, lf + 1 - at);
    at = lf + 1;
    if (line == ".\r\n") break;
    if (line.compare(0, 2, "..") == 0) line.erase(0, 1);
    expected += line;
  }
  std::ifstream saved(file, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  r.Ok = got == expected ? 1 : 0;
  std::filesystem::remove(file);
  return r;
}

double MedianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Runs {
  std::vector<double> Wall, Cpu, Rss;
  bool AllOk = true;
  int Count = 0;
  void Add(const Result &r) {
    if (!r.Valid) {
      AllOk = false;
      return;
    }
    Wall.push_back(r.Wall);
    Cpu.push_back(r.Cpu);
    Rss.push_back(static_cast<double>(r.MaxRssKb) / 1024.0);
    AllOk = AllOk && r.Ok;
    Count++;
  }
};

}  // namespace

int main(int argc, char **argv) {
  if (argc == 5 && (strcmp(argv[1], "--kel") == 0 || strcmp(argv[1], "--kel-imap") == 0))
    return KelChild(static_cast<uint16_t>(atoi(argv[2])), atoi(argv[3]), argv[4], argv[1][5] == '-');
  if (argc == 3 && strcmp(argv[1], "--profile") == 0) {
    const int mb = atoi(argv[2]);
    const std::string dir = std::filesystem::temp_directory_path() / ("kel-profile-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    Pop3Server server;
    StreamMessage(mb, [&](const std::string &block) { server.Message += block; });
    server.Start();
    const int rc = KelChild(server.Port, mb, dir, false);
    server.Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
  }

  const int rounds = argc > 1 ? atoi(argv[1]) : 5;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(atoi(argv[i]));
  if (sizes.empty()) sizes = {2, 20, 200};

  const std::string base = std::filesystem::temp_directory_path() / ("kel-bench-" + std::to_string(getpid()));
  const std::string script = base + "/client.py";
  std::filesystem::create_directories(base);
  std::ofstream(script) << PythonClient;
  const std::string nodeMissing = nodepeers::Missing();
  const std::string nodeScript = nodeMissing.empty() ? nodepeers::WriteScript(base, "client.js", NodeClient) : "";

  Pop3Server server;
  server.Start();
  Pop3Server imapServer;
  imapServer.Imap = true;
  imapServer.Start();
  const std::string self = std::filesystem::canonical("/proc/self/exe");
  double load = 0;
  if (FILE *f = fopen("/proc/loadavg", "r")) {
    if (fscanf(f, "%lf", &load) != 1) load = 0;
    fclose(f);
  }
  printf("Medians of %d rounds, interleaved; load average at the start %.1f; MB = 10^6 bytes of the message\n", rounds,
         load);
  if (!nodeMissing.empty()) printf("node mailparser skipped: %s\n", nodeMissing.c_str());
  printf("%-24s %6s %9s %9s %9s %10s %s\n", "client", "MB", "wall s", "MB/s", "cpu s", "peak MB", "check");
  for (int mb : sizes) {
    server.Message.clear();
    StreamMessage(mb, [&](const std::string &block) { server.Message += block; });
    const double megabytes = static_cast<double>(server.Message.size()) / 1e6;
    imapServer.Message = server.Message;
    Runs kel, kelImap, py, curl, node;
    const bool withPython = mb <= 20;
    for (int r = 0; r < rounds; r++) {
      const std::string kelDir = base + "/kel" + std::to_string(mb), pyDir = base + "/py" + std::to_string(mb);
      std::filesystem::create_directories(kelDir);
      std::filesystem::create_directories(pyDir);
      kel.Add(RunChild(self + " --kel " + std::to_string(server.Port) + " " + std::to_string(mb) + " " + kelDir));
      kelImap.Add(RunChild(self + " --kel-imap " + std::to_string(imapServer.Port) + " " + std::to_string(mb) + " " +
                           kelDir));
      if (withPython) py.Add(RunChild("python3 -S " + script + " " + std::to_string(server.Port) + " " + pyDir));
      curl.Add(RunCurl(server.Port, base + "/curl.eml", server.Message));
      if (withPython && !nodeScript.empty()) {
        const std::string nodeDir = base + "/node" + std::to_string(mb);
        std::filesystem::create_directories(nodeDir);
        Result n = RunChild(nodepeers::Command(nodeScript, std::to_string(server.Port) + " " + nodeDir));
        n.Ok = n.Ok && CheckAttachment(nodeDir + "/part0.bin", 0, mb) && CheckAttachment(nodeDir + "/part1.bin", 1, mb);
        node.Add(n);
        std::error_code ec;
        std::filesystem::remove_all(nodeDir, ec);
      }
      std::error_code ec;
      std::filesystem::remove_all(kelDir, ec);
      std::filesystem::remove_all(pyDir, ec);
    }
    const std::pair<const char *, Runs *> rows[] = {{"kel32 (decoding)", &kel},
                                                     {"kel32 IMAP (decoding)", &kelImap},
                                                     {"python poplib + email", &py},
                                                     {"node mailparser", &node},
                                                     {"curl raw RETR", &curl}};
    for (const auto &[name, runs] : rows) {
      if (runs->Count == 0) continue;
      const double wall = MedianOf(runs->Wall);
      printf("%-24s %6.1f %9.3f %9.1f %9.3f %10.1f %s\n", name, megabytes, wall, megabytes / wall,
             MedianOf(runs->Cpu), MedianOf(runs->Rss), runs->AllOk ? "ok" : "WRONG");
    }
    if (kel.Count && kelImap.Count)
      printf("  kel32 IMAP vs POP3 at %d MB: %+.1f%% wall, %+.1f%% CPU\n", mb,
             100.0 * (MedianOf(kelImap.Wall) / MedianOf(kel.Wall) - 1), 100.0 * (MedianOf(kelImap.Cpu) / MedianOf(kel.Cpu) - 1));
    // The ratios of the targets: the library's MB/s over the peer's.
    if (kel.Count && curl.Count)
      printf("  ratio kel32 / curl raw RETR at %d MB: %.2fx (wall), CPU %.2fx      target >= 1.0x\n", mb,
             MedianOf(curl.Wall) / MedianOf(kel.Wall), MedianOf(kel.Cpu) / MedianOf(curl.Cpu));
    if (kel.Count && py.Count)
      printf("  ratio kel32 / python poplib + email at %d MB: %.2fx (wall), CPU %.2fx less      target >= 10x\n", mb,
             MedianOf(py.Wall) / MedianOf(kel.Wall), MedianOf(py.Cpu) / MedianOf(kel.Cpu));
    if (kel.Count && node.Count)
      printf("  ratio kel32 / node mailparser at %d MB: %.2fx (wall), CPU %.2fx less\n", mb,
             MedianOf(node.Wall) / MedianOf(kel.Wall), MedianOf(node.Cpu) / MedianOf(kel.Cpu));
  }
  server.Stop();
  imapServer.Stop();
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return 0;
}
