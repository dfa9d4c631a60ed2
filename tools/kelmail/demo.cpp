// kelmail demo: one message with a body and two attachments sent through
// the library to the demo mail drop over SMTP, read back over POP3 with the
// attachments decoded into files, and compared byte for byte.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "kel32.h"
#include "maildrop.h"
#include "session.h"

namespace kelmail {

const Command DemoCommand = {
    "demo",
    "demo [--dir DIR] | demo --serve [--smtp-port N] [--pop3-port N]",
    "Runs the library through one round trip on this machine: it starts the demo mail drop\n"
    "(a small SMTP and POP3 partner on 127.0.0.1 over an in-memory mailbox, not a mail server),\n"
    "sends a message with a body and two attachments (one an inline image), reads it back over\n"
    "POP3 with the attachments decoded into files, and checks them byte for byte.",
    {
        {"dir", 'd', "DIR", false, "work in DIR (created when missing) instead of a fresh temporary directory"},
        {"serve", 0, nullptr, false, "only run the mail drop, until interrupted (user demo, password demo)"},
        {"smtp-port", 0, "PORT", false, "SMTP port of the mail drop (default: any free port)"},
        {"pop3-port", 0, "PORT", false, "POP3 port of the mail drop (default: any free port)"},
        {"tls", 0, nullptr, false,
         "run both sessions over TLS (STARTTLS, STLS) with a certificate made at start and checked"},
    },
    "Exit code 0: the round trip succeeded; otherwise the library's error is printed.\n" KELMAIL_EXIT_CODES,
};

namespace {

const char DemoUser[] = "demo";
const char DemoPassword[] = "demo";

// A 1x1 GIF image: the inline picture of the demo message.
const unsigned char Gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xff,
                             0xff, 0xff, 0x00, 0x00, 0x00, 0x21, 0xf9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2c,
                             0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00,
                             0x3b};

// Lines under 61 characters: plain bodies are wrapped there.
const char Body[] =
    "Hello from KEL32.\r\n"
    "\r\n"
    "This message went out over SMTP and came back over POP3\r\n"
    "through the kelmail demo mail drop on 127.0.0.1.\r\n"
    "It carries two attachments: report.dat, 20000 bytes of\r\n"
    "binary data holding every byte value, and logo.gif, a\r\n"
    "tiny inline image.\r\n"
    "...and this line begins with dots, which both protocols\r\n"
    "escape on the wire.\r\n";

// Binary test data with every byte value, from a fixed pseudo-random sequence.
std::string ReportData() {
  std::string data(20000, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < data.size(); ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = i < 256 ? char(i) : char((x >> 16) & 0xff);
  }
  return data;
}

bool WriteFile(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

bool ReadFile(const std::string &path, std::string &data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  data = s.str();
  return true;
}

bool MakeDir(const std::string &path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

std::atomic<bool> interrupted{false};
void OnSignal(int) { interrupted.store(true); }

int Serve(const Args &args) {
  MailDropOptions options;
  options.user = DemoUser;
  options.password = DemoPassword;
  long port = 0;
  if (args.Has("smtp-port")) {
    if (!ParseNumber(args.Get("smtp-port"), 1, 65535, port)) return UsageError("demo", "bad --smtp-port");
    options.smtpPort = static_cast<int>(port);
  }
  if (args.Has("pop3-port")) {
    if (!ParseNumber(args.Get("pop3-port"), 1, 65535, port)) return UsageError("demo", "bad --pop3-port");
    options.pop3Port = static_cast<int>(port);
  }
  static std::mutex printLock;
  options.note = [](const std::string &line) {
    std::lock_guard<std::mutex> hold(printLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  MailDrop drop(options);
  std::string error;
  if (!drop.Start(error)) {
    std::fprintf(stderr, "kelmail: cannot start the mail drop: %s\n", error.c_str());
    return ExitSoftware;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("mail drop listening: SMTP 127.0.0.1:%d, POP3 127.0.0.1:%d (user %s, password %s)\n",
              drop.SmtpPort(), drop.Pop3Port(), DemoUser, DemoPassword);
  std::printf("this is a demonstration partner, not a mail server; stop it with Ctrl-C\n");
  std::fflush(stdout);
  while (!interrupted.load()) SleepMs(100);
  drop.Stop();
  std::printf("mail drop stopped\n");
  return ExitOk;
}

}  // namespace

int RunDemo(const Args &args) {
  if (!args.positional.empty()) return UsageError("demo", "unexpected argument '" + args.positional[0] + "'");
  if (args.Has("serve")) return Serve(args);
  if (args.Has("smtp-port") || args.Has("pop3-port")) return UsageError("demo", "the ports go with --serve");

  // The working directory: given, or fresh.
  std::string work;
  if (args.Has("dir")) {
    work = args.Get("dir");
    if (!MakeDir(work)) {
      std::fprintf(stderr, "kelmail: cannot create %s\n", work.c_str());
      return ExitCantCreate;
    }
  } else {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelmail-demo-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
      std::fprintf(stderr, "kelmail: cannot create a directory from %s\n", pattern.c_str());
      return ExitCantCreate;
    }
    work = name.data();
  }
  std::string outbox = work + "/outbox", inbox = work + "/inbox", attachDir = work + "/attachments";
  if (!MakeDir(outbox) || !MakeDir(inbox) || !MakeDir(attachDir)) {
    std::fprintf(stderr, "kelmail: cannot create the directories under %s\n", work.c_str());
    return ExitCantCreate;
  }
  std::printf("working directory: %s\n", work.c_str());

  struct Original {
    std::string name, path, data;
  };
  std::vector<Original> originals = {{"report.dat", outbox + "/report.dat", ReportData()},
                                     {"logo.gif", outbox + "/logo.gif", std::string(Gif, Gif + sizeof Gif)}};
  for (const Original &o : originals) {
    if (!WriteFile(o.path, o.data)) {
      std::fprintf(stderr, "kelmail: cannot write %s\n", o.path.c_str());
      return ExitCantCreate;
    }
  }
  std::printf("wrote attachments: %s (%zu bytes), %s (%zu bytes, inline image)\n", originals[0].path.c_str(),
              originals[0].data.size(), originals[1].path.c_str(), originals[1].data.size());

  MailDropOptions options;
  options.user = DemoUser;
  options.password = DemoPassword;
  const bool tls = args.Has("tls");
  if (tls) options.tlsCaFile = work + "/demo-ca.pem";
  MailDrop drop(options);
  std::string error;
  if (!drop.Start(error)) {
    std::fprintf(stderr, "kelmail: cannot start the mail drop: %s\n", error.c_str());
    return ExitSoftware;
  }
  std::printf("mail drop listening: SMTP 127.0.0.1:%d, POP3 127.0.0.1:%d\n", drop.SmtpPort(), drop.Pop3Port());
  if (tls) std::printf("TLS: the mail drop's certificate authority: %s\n", options.tlsCaFile.c_str());

  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  // Loopback answers at once: short pauses keep the demo quick.
  kelIntegerParam(Channel, KEL_STEP_DELAY, 1);
  kelIntegerParam(Channel, KEL_SLEEP_TIME, 5);
  kelIntegerParam(Channel, KEL_RESPONSE_TIMEOUT, 10000);
  kelIntegerParam(Channel, KEL_DATA_TIMEOUT, 10000);
  std::string logPath = work + "/kelmail-demo.log";
  if (kelStringParam(Channel, KEL_LOG_FILE, logPath.c_str()) < 0) logPath.clear();
  if (tls) {
    // Required: a partner that does not offer TLS fails the demo before any password is sent.
    kelIntegerParam(Channel, KEL_TLS_MODE, KEL_TLS_REQUIRED);
    kelStringParam(Channel, KEL_TLS_CA_FILE, options.tlsCaFile.c_str());
  }
  // "over TLS (TLSv1.3 TLS_AES_256_GCM_SHA384)" when the session runs over TLS.
  const auto over = [] {
    char info[140] = "";
    if (kelStatistics(Channel, KEL_STAT_TLS) != 1) return std::string();
    kelDebug(Channel, KEL_DEBUG_TLS_INFO, info, static_cast<int>(sizeof info));
    return std::string(" over TLS (") + info + ", certificate checked)";
  };

  // ---- SMTP: send ----
  kelIntegerParam(Channel, KEL_SMTP_PORT, drop.SmtpPort());
  kelIntegerParam(Channel, KEL_ENABLE_ESMTP, 1);
  kelStringParam(Channel, KEL_SMTP_USER, DemoUser);
  kelStringParam(Channel, KEL_SMTP_PASS, DemoPassword);
  int rc = kelSmtpConnect(Channel, "127.0.0.1", "KEL32 demo <demo@kelmail.demo>", "");
  if (rc < 0) return Failure("connecting to the mail drop over SMTP", rc);
  std::printf("SMTP: connected and authenticated as %s%s\n", DemoUser, over().c_str());
  kelIntegerParam(Channel, KEL_ATTACH_SEPARATOR, '\x1f');
  kelIntegerParam(Channel, KEL_ALIAS_SEPARATOR, '\x1e');
  std::string list = originals[0].path + '\x1e' + originals[0].name + '\x1f' + originals[1].path + '\x1e' +
                     originals[1].name;
  rc = kelSendEmail(Channel, "<demo@kelmail.demo>", "", "", "KEL32 demo: a body and two attachments", Body,
                    list.c_str());
  if (rc < 0) return Failure("sending the message", rc);
  std::printf("sent message with %zu attachments (%d bytes of body and attachments)\n", originals.size(),
              kelStatistics(Channel, KEL_STAT_TOTAL_SENT));
  rc = kelClose(Channel);
  if (rc < 0) return Failure("closing the SMTP session", rc);

  // ---- POP3: read back ----
  kelIntegerParam(Channel, KEL_POP3_PORT, drop.Pop3Port());
  rc = kelPop3Connect(Channel, "127.0.0.1", DemoUser, DemoPassword);
  if (rc < 0) return Failure("logging in to the mail drop over POP3", rc);
  int count = kelGetEmailCount(Channel);
  if (count < 0) return Failure("counting the messages", count);
  std::printf("POP3: logged in as %s%s, %d message(s) waiting\n", DemoUser, over().c_str(), count);
  if (count < 1) {
    std::fprintf(stderr, "kelmail: the message did not arrive in the mailbox\n");
    return ExitSoftware;
  }
  int size = kelGetEmailSize(Channel, count);
  if (size < 0) return Failure("asking the message size", size);
  rc = kelGetEmailFile(Channel, count, "message-1.eml", inbox.c_str(), attachDir.c_str());
  if (rc < 0) return Failure("retrieving the message", rc);
  std::string saved = inbox + "/message-1.eml", text;
  if (!ReadFile(saved, text)) {
    std::fprintf(stderr, "kelmail: the email file %s is missing\n", saved.c_str());
    return ExitSoftware;
  }
  std::printf("POP3: retrieved message %d (%d bytes on the server)\n", count, size);
  std::printf("saved email file: %s (%zu bytes)\n", saved.c_str(), text.size());

  // Every attachment must come back under its name with its exact bytes.
  char names[1100] = "";
  kelDebug(Channel, KEL_DEBUG_ATTACH_LIST, names, static_cast<int>(sizeof names));
  int failures = 0;
  int index = 0;
  for (const Original &o : originals) {
    std::string path = attachDir + "/" + o.name, back;
    bool listed = (std::string("\x1f") + names + "\x1f").find("\x1f" + o.name + "\x1f") != std::string::npos;
    bool read = ReadFile(path, back);
    bool same = read && back == o.data;
    std::printf("attachment %d: %s (%zu bytes, %s)\n", ++index, path.c_str(), back.size(),
                !read ? "MISSING" : same ? "identical" : "DIFFERENT");
    if (!same || !listed) ++failures;
  }
  rc = kelDeleteEmail(Channel, count);
  if (rc < 0) return Failure("deleting the message", rc);
  rc = kelClose(Channel);
  if (rc < 0) return Failure("closing the POP3 session", rc);
  std::printf("POP3: message deleted, session closed; the mailbox now holds %zu message(s)\n",
              drop.Messages().size());
  if (!logPath.empty()) std::printf("library trace log: %s\n", logPath.c_str());
  drop.Stop();
  if (failures) {
    std::fprintf(stderr, "kelmail: demo failed: %d attachment(s) did not come back intact\n", failures);
    return ExitSoftware;
  }
  std::printf("demo passed: both attachments came back byte for byte\n");
  return ExitOk;
}

}  // namespace kelmail
