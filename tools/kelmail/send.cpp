// kelmail send and kelmail verify: the SMTP side.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include "account.h"
#include "commands.h"
#include "kel32.h"
#include "session.h"

namespace kelmail {

// The library splits attachment lists at these characters; kelmail picks
// control characters that no path or name holds, so commas and bars in
// file names need no care.
constexpr char AttachSeparator = '\x1f';
constexpr char AliasSeparator = '\x1e';

const Command SendCommand = {
    "send",
    "send --server HOST[:PORT] --from ADDRESS --to ADDRESS [options]",
    "Sends one message over SMTP: text or file body in one of the body formats, any number of\n"
    "attachments, extra header lines, and optionally AUTH (CRAM-MD5, LOGIN or PLAIN, as the server\n"
    "offers, or XOAUTH2 / OAUTHBEARER with an OAuth 2.0 bearer token).",
    Join(Join(ConnectionOptions("SMTP server, name or address (default port 25)"), AuthOptions()),
         {
             {"from", 'f', "ADDRESS", false, "sender, e.g. 'Ann <ann@example.com>' or ann@example.com"},
             {"reply-to", 0, "ADDRESS", false, "Reply-To address"},
             {"to", 't', "LIST", true, "recipients (comma-separated)"},
             {"cc", 'c', "LIST", true, "CC recipients"},
             {"bcc", 'b', "LIST", true, "BCC recipients (in no header)"},
             {"subject", 'j', "TEXT", false, "subject line"},
             {"body", 'm', "TEXT", false, "message body text (default: standard input when it is no terminal)"},
             {"body-file", 'F', "FILE", false, "take the message body from FILE"},
             {"format", 0, "FORMAT", false,
              "body format: plain (default), quoted-printable, html, enriched, iso-8859-1, custom"},
             {"content-type", 0, "TYPE", false, "body Content-Type for --format custom (implies it)"},
             {"transfer-encoding", 0, "LINE", false, "body Content-Transfer-Encoding line instead of quoted-printable"},
             {"attach", 'a', "FILE[=NAME]", true, "attach FILE, shown as NAME (default: its file name)"},
             {"no-inline", 0, nullptr, false, "send .gif/.jpg/.bmp/.tif files as plain attachments, not inline"},
             {"header", 'H', "'NAME: VALUE'", true, "extra header line (needs --subject)"},
             {"esmtp", 'e', nullptr, false, "greet with EHLO and authenticate when the server offers it"},
             {"user", 'u', "NAME", false, "AUTH user name (implies --esmtp)"},
             {"password", 'w', "TEXT", false, "AUTH password (visible to other users; prefer --password-cmd)"},
             {"password-env", 0, "VAR", false, "take the AUTH password from environment variable VAR"},
             {"password-cmd", 0, "CMD", false,
              "run CMD (through /bin/sh) before connecting; its first output line is the AUTH password"},
             {"skip-refused", 0, nullptr, false,
              "send to the accepted recipients even when the server refuses some for good (5xx)"},
             {"message", 0, "FILE|-", false,
              "send FILE (- : standard input) as the complete prepared message; its Bcc lines are removed"},
             {"alternative", 0, "FILE", false, "plain-text version of an --format html body (multipart/alternative)"},
             {"attach-types", 0, nullptr, false, "Content-Type of each attachment by its extension"},
             {"message-id", 0, nullptr, false, "a Message-ID on the message"},
             {"dsn-notify", 0, "LIST", false, "delivery notices when offered: SUCCESS,FAILURE,DELAY or NEVER"},
             {"dsn-ret", 0, "full|hdrs", false, "what a delivery notice returns when offered"},
         }),
    "Addresses without angle brackets get them. An --attach value that names an existing file is\n"
    "taken whole; otherwise the text after its last '=' is the name shown in the message.\n"
    "The AUTH password may also come from the environment variable KELMAIL_PASSWORD; a bearer\n"
    "token comes from --token-cmd CMD, --token-env VAR or KELMAIL_TOKEN (with --user, the account\n"
    "it belongs to). Without a TLS flag, no password or token goes to a server off loopback.\n"
    "Every recipient the server refused is printed with the server's reply.\n"
    "Some recipients refused: 67 when a refusal was permanent (5xx), else 75.\n" KELMAIL_EXIT_CODES,
};

const Command VerifyCommand = {
    "verify",
    "verify --server HOST[:PORT] ADDRESS...",
    "Asks an SMTP server (VRFY) whether it knows each address.",
    Join(ConnectionOptions("SMTP server, name or address (default port 25)"),
         {{"from", 'f', "ADDRESS", false, "sender named in the greeting (default <kelmail@localhost>)"}}),
    "A server that will not say but accepts mail for an address (reply 252) counts as a success.\n"
    "An address not verified gives 67.\n" KELMAIL_EXIT_CODES,
};

namespace {

struct Attachment {
  std::string path;
  std::string name;
  long long size = 0;
};

bool FileSize(const std::string &path, long long &size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), R_OK) != 0) return false;
  size = st.st_size;
  return true;
}

std::string BaseName(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The Base64 text of a file of n bytes as the library sends it: lines of
// 57 bytes as 76 characters, each line with CR LF.
long long EncodedSize(long long n) {
  long long full = n / 57, rest = n % 57;
  return full * 78 + (rest ? (rest + 2) / 3 * 4 + 2 : 0);
}

int BodyFormat(const std::string &name, int &format) {
  struct {
    const char *name;
    int value;
  } formats[] = {{"plain", KEL_BODY_PLAIN},     {"quoted-printable", KEL_BODY_QUOTED},
                 {"qp", KEL_BODY_QUOTED},       {"html", KEL_BODY_HTML},
                 {"enriched", KEL_BODY_ENRICHED}, {"iso-8859-1", KEL_BODY_ISO8859},
                 {"custom", KEL_BODY_CUSTOM}};
  for (auto &f : formats)
    if (name == f.name) {
      format = f.value;
      return true;
    }
  return false;
}

// Joins repeated list options into one comma-separated list.
std::string JoinLists(const std::vector<std::string> &lists) {
  std::string out;
  for (const std::string &l : lists) {
    if (l.empty()) continue;
    if (!out.empty()) out += ',';
    out += BracketList(l);
  }
  return out;
}

}  // namespace

int RunSend(const Args &args) {
  const char *cmd = "send";
  if (!args.positional.empty()) return UsageError(cmd, "unexpected argument '" + args.positional[0] + "'");
  if (!args.Has("from")) return UsageError(cmd, "missing --from");
  std::string to = JoinLists(args.All("to"));
  if (to.empty()) return UsageError(cmd, "missing --to");
  if (args.Has("body") && args.Has("body-file")) return UsageError(cmd, "give --body or --body-file, not both");
  if (!args.All("header").empty() && !args.Has("subject"))
    return UsageError(cmd, "--header needs --subject (extra header lines follow the Subject line)");

  // A line break in an address would end its command or header line early.
  for (const char *option : {"from", "reply-to", "to", "cc", "bcc"})
    for (const std::string &value : args.All(option))
      for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f) {
          std::fprintf(stderr, "kelmail: malformed address in --%s: control character\n", option);
          return ExitDataError;
        }

  int format = KEL_BODY_PLAIN;
  if (args.Has("format") && !BodyFormat(args.Get("format"), format))
    return UsageError(cmd, "unknown --format '" + args.Get("format") + "'");
  if (args.Has("content-type")) {
    if (args.Has("format") && format != KEL_BODY_CUSTOM)
      return UsageError(cmd, "--content-type goes with --format custom");
    format = KEL_BODY_CUSTOM;
  } else if (format == KEL_BODY_CUSTOM) {
    return UsageError(cmd, "--format custom needs --content-type");
  }
  for (const std::string &h : args.All("header"))
    if (h.find(':') == std::string::npos || h.find_first_of("\r\n") != std::string::npos)
      return UsageError(cmd, "bad --header '" + h + "' (one line 'Name: value')");

  std::vector<Attachment> attachments;
  long long encodedTotal = 0;
  for (const std::string &spec : args.All("attach")) {
    Attachment a;
    a.path = spec;
    size_t eq = spec.rfind('=');
    if (!FileSize(spec, a.size) && eq != std::string::npos && eq > 0) {
      a.path = spec.substr(0, eq);
      a.name = spec.substr(eq + 1);
    }
    if (a.name.empty()) a.name = BaseName(a.path);
    bool unusable = a.path.find_first_of("\x1e\x1f") != std::string::npos ||
                    a.name.find_first_of("\x1e\x1f\"") != std::string::npos;
    if (unusable)
      return UsageError(cmd, "unusable characters in --attach '" + spec + "'");
    if (!FileSize(a.path, a.size)) {
      std::fprintf(stderr, "kelmail: cannot read attachment %s\n", a.path.c_str());
      return ExitNoInput;
    }
    encodedTotal += EncodedSize(a.size);
    attachments.push_back(a);
  }

  std::string message = args.Get("body");
  TempFile temporary("body");
  const bool prepared = args.Has("message");
  if (prepared) {
    // A prepared message: the envelope from --from/--to/--cc/--bcc, nothing composed.
    for (const char *other : {"body", "body-file", "subject", "attach", "header", "format", "content-type"})
      if (args.Has(other)) return UsageError(cmd, std::string("--message goes without --") + other);
    std::string path = args.Get("message");
    if (path == "-") {
      std::string text;
      char block[65536];
      for (size_t n; (n = std::fread(block, 1, sizeof block, stdin)) > 0;) text.append(block, n);
      if (text.empty()) {
        std::fprintf(stderr, "kelmail: no message on standard input\n");
        return ExitUsage;
      }
      if (!temporary.Write(text)) {
        std::fprintf(stderr, "kelmail: cannot write a temporary message file\n");
        return ExitCantCreate;
      }
      path = temporary.Path();
    }
    long long size = 0;
    if (!FileSize(path, size) || size == 0) {
      std::fprintf(stderr, "kelmail: cannot read message file %s\n", path.c_str());
      return ExitNoInput;
    }
    message = "@" + path;
  } else if (args.Has("body-file")) {
    long long size = 0;
    if (!FileSize(args.Get("body-file"), size)) {
      std::fprintf(stderr, "kelmail: cannot read body file %s\n", args.Get("body-file").c_str());
      return ExitNoInput;
    }
    message = "@" + args.Get("body-file");
  } else if (!message.empty() && message[0] == '@') {
    if (!temporary.Write(message)) {
      std::fprintf(stderr, "kelmail: cannot write a temporary body file\n");
      return ExitCantCreate;
    }
    message = "@" + temporary.Path();
  }

  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  Server server;
  if (int rc = ApplyConnection(cmd, args, 25, server)) return rc;
  bool token = false;
  if (int rc = ApplyAuth(cmd, args, false, token)) return rc;
  std::string user = args.Get("user"), password;
  if (args.Has("user") && !token) {
    bool found = false;
    if (int rc = ObtainPassword(cmd, args, server.host, user, password, found)) return rc;
    if (!found)
      return UsageError(cmd, "--user needs a password: --password-cmd CMD, --password-env VAR or KELMAIL_PASSWORD");
  }
  const bool login = args.Has("user") || token;
  bool esmtp = args.Has("esmtp") || login || args.Has("auth");
  if (login) {
    if (int rc = CheckPlaintextAuth(cmd, args, server.host)) return rc;
  }
  if (!args.Has("body") && !args.Has("body-file")) {
    // The text comes from standard input; nothing there is a mistake, not
    // an empty message (--body '' sends one on purpose).
    if (isatty(0) == 1)
      return UsageError(cmd, "no message text: give --body TEXT, --body-file FILE, or pipe the text in");
    std::string text;
    char buf[65536];
    for (;;) {
      ssize_t n = read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        std::fprintf(stderr, "kelmail: cannot read standard input: %s\n", std::strerror(errno));
        return ExitNoInput;
      }
      if (n == 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    if (text.empty())
      return UsageError(cmd, "standard input is empty: no message text (give --body '' to send a message without text)");
    if (!temporary.Write(text)) {
      std::fprintf(stderr, "kelmail: cannot write a temporary body file\n");
      return ExitCantCreate;
    }
    message = "@" + temporary.Path();
  }
  kelIntegerParam(Channel, KEL_SMTP_PORT, server.port);
  kelIntegerParam(Channel, KEL_ATTACH_SEPARATOR, AttachSeparator);
  kelIntegerParam(Channel, KEL_ALIAS_SEPARATOR, AliasSeparator);
  kelIntegerParam(Channel, KEL_BODY_FORMAT, format);
  kelIntegerParam(Channel, KEL_AUTO_INLINE, args.Has("no-inline") ? 0 : 1);
  if (args.Has("content-type")) {
    std::string type = args.Get("content-type");
    if (type.compare(0, 13, "Content-Type:") != 0) type = "Content-Type: " + type;
    kelStringParam(Channel, KEL_CONTENT_TYPE, type.c_str());
  }
  if (args.Has("transfer-encoding")) {
    std::string line = args.Get("transfer-encoding");
    if (line.compare(0, 26, "Content-Transfer-Encoding:") != 0) line = "Content-Transfer-Encoding: " + line;
    kelStringParam(Channel, KEL_TRANSFER_ENCODING, line.c_str());
  }
  if (esmtp) kelIntegerParam(Channel, KEL_ENABLE_ESMTP, 1);
  if (args.Has("skip-refused")) kelIntegerParam(Channel, KEL_SKIP_REFUSED, 1);
  if (prepared) kelIntegerParam(Channel, KEL_RAW_SUBMIT, 1);
  if (args.Has("alternative")) {
    long long size = 0;
    if (format != KEL_BODY_HTML) return UsageError(cmd, "--alternative goes with --format html");
    if (!FileSize(args.Get("alternative"), size)) {
      std::fprintf(stderr, "kelmail: cannot read alternative file %s\n", args.Get("alternative").c_str());
      return ExitNoInput;
    }
    kelStringParam(Channel, KEL_TEXT_ALTERNATIVE, ("@" + args.Get("alternative")).c_str());
  }
  if (args.Has("attach-types")) kelIntegerParam(Channel, KEL_ATTACH_TYPES, 1);
  if (args.Has("message-id")) kelIntegerParam(Channel, KEL_MESSAGE_ID, 1);
  if (args.Has("dsn-notify") && kelStringParam(Channel, KEL_DSN_NOTIFY, args.Get("dsn-notify").c_str()) < 0)
    return UsageError(cmd, "bad --dsn-notify '" + args.Get("dsn-notify") + "' (SUCCESS,FAILURE,DELAY or NEVER)");
  if (args.Has("dsn-ret") && kelStringParam(Channel, KEL_DSN_RET, args.Get("dsn-ret").c_str()) < 0)
    return UsageError(cmd, "bad --dsn-ret '" + args.Get("dsn-ret") + "' (full or hdrs)");
  if (args.Has("user")) {
    if (kelStringParam(Channel, KEL_SMTP_USER, user.c_str()) < 0 ||
        kelStringParam(Channel, KEL_SMTP_PASS, password.c_str()) < 0)
      return UsageError(cmd, "line breaks in --user or the password");
  }

  std::string from = Bracketed(args.Get("from"));
  std::string where = server.host + ":" + std::to_string(server.port);
  int rc = kelSmtpConnect(Channel, server.host.c_str(), from.c_str(), Bracketed(args.Get("reply-to")).c_str());
  if (rc < 0) return Failure("connecting to SMTP server " + where, rc, Phase::Connect);
  if (args.Has("user") || token) {
    // The library authenticates only with a method it knows; say so when
    // the session went on without AUTH.
    char mechanism[32] = "";
    kelDebug(Channel, KEL_DEBUG_AUTH_MECHANISM, mechanism, static_cast<int>(sizeof mechanism));
    if (!mechanism[0])
      std::fprintf(stderr, "kelmail: warning: not authenticated (the server offered no mechanism kelmail knows)\n");
  }
  for (const std::string &h : args.All("header")) kelStringParam(Channel, KEL_ADD_HEADER, h.c_str());

  std::string list;
  for (const Attachment &a : attachments) {
    if (!list.empty()) list += AttachSeparator;
    list += a.path + AliasSeparator + a.name;
  }
  std::string cc = JoinLists(args.All("cc")), bcc = JoinLists(args.All("bcc"));
  std::string subject = args.Get("subject");
  Transfer transfer{"sending attachments", static_cast<long>(encodedTotal), KEL_STAT_ATTACH_SENT};
  rc = RunCall(ProgressWanted(args) && !attachments.empty(), transfer, [&] {
    return kelSendEmail(Channel, to.c_str(), cc.c_str(), bcc.c_str(), subject.c_str(), message.c_str(),
                        list.c_str());
  });
  const int refused = kelStatistics(Channel, KEL_STAT_REFUSED_COUNT);
  if (refused > 0) {
    // "address reply" lines, as the library records them.
    std::vector<char> list(8192);
    kelDebug(Channel, KEL_DEBUG_REFUSED_LIST, list.data(), static_cast<int>(list.size()));
    std::string text;
    for (const char *p = list.data(); *p; p++)
      if (*p != '\r') text += *p;
    std::fprintf(stderr, "kelmail: %d recipient(s) refused:\n", refused);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      std::fprintf(stderr, "  %s\n", text.substr(start, end - start).c_str());
  }
  if (rc < 0 && rc != KEL_ERR_SOME_REFUSED) return Failure("sending the message", rc, Phase::Send);
  long sent = kelStatistics(Channel, KEL_STAT_TOTAL_SENT);
  std::printf("sent message with %zu attachment(s) to %s (%ld bytes of body and attachments)%s\n",
              attachments.size(), where.c_str(), sent, refused > 0 ? ", not to every recipient" : "");
  rc = kelClose(Channel);
  if (rc < 0) std::fprintf(stderr, "kelmail: warning: closing the session: %s\n", ErrorText(rc).c_str());
  return refused > 0 ? ExitFor(KEL_ERR_SOME_REFUSED, Phase::Send) : ExitOk;
}

int RunVerify(const Args &args) {
  const char *cmd = "verify";
  if (args.positional.empty()) return UsageError(cmd, "no address to verify");
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  Server server;
  if (int rc = ApplyConnection(cmd, args, 25, server)) return rc;
  kelIntegerParam(Channel, KEL_SMTP_PORT, server.port);
  std::string from = Bracketed(args.Get("from", "kelmail@localhost"));
  std::string where = server.host + ":" + std::to_string(server.port);
  int rc = kelSmtpConnect(Channel, server.host.c_str(), from.c_str(), "");
  if (rc < 0) return Failure("connecting to SMTP server " + where, rc, Phase::Connect);
  int exitCode = ExitOk;
  for (const std::string &address : args.positional) {
    rc = kelVerifyUser(Channel, address.c_str());
    if (rc < 0) return Failure("verifying " + address, rc);
    char reply[256] = "";
    int n = kelDebug(Channel, KEL_DEBUG_LAST_REPLY, reply, static_cast<int>(sizeof reply));
    std::string text(reply, n > 0 ? static_cast<size_t>(n) : 0);
    // 250/251: the server knows the address. 252 (RFC 5321 3.5.3): it will
    // not say, but it accepts mail for it, as many servers answer by policy.
    int code = kelStatistics(Channel, KEL_STAT_REPLY_CODE);
    const char *verdict = rc == 1 || code == 251 ? "verified" : code == 252 ? "accepted, not verified" : "not verified";
    std::printf("%s: %s (%s)\n", address.c_str(), verdict, text.c_str());
    if (rc != 1 && code != 251 && code != 252) exitCode = ExitNoUser;
  }
  rc = kelClose(Channel);
  if (rc < 0) std::fprintf(stderr, "kelmail: warning: closing the session: %s\n", ErrorText(rc).c_str());
  return exitCode;
}

}  // namespace kelmail
