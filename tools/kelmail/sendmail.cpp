// kelmail sendmail: a finished message on standard input handed to the
// SMTP server of an account, for programs that pipe mail into
// "sendmail -t" (cron, mail(1), git send-email, PHP's mail()). Also what
// kelmail does when it is started under the name "sendmail".
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "account.h"
#include "commands.h"
#include "kel32.h"
#include "session.h"

// Submission of a finished message (kelSendEmail sends the text as it is,
// composing nothing); older libraries refuse the code.
#ifndef KEL_RAW_SUBMIT
#define KEL_RAW_SUBMIT 42
#endif

namespace kelmail {

namespace {

const char Usage[] =
    "usage: kelmail sendmail [-t] [-i] [-f FROM] [-F NAME] [-a ACCOUNT] [--] [RECIPIENT...]\n"
    "\n"
    "Reads a complete message on standard input and submits it through the SMTP server of the\n"
    "default account (or -a ACCOUNT) of the configuration file. The envelope recipients are the\n"
    "arguments and, with -t, the To, Cc and Bcc addresses of the message. Bcc lines are removed;\n"
    "Date, Message-ID and From are added when missing.\n"
    "\n"
    "  -t             take recipients from the To, Cc and Bcc header lines too\n"
    "  -i, -oi        a line holding a single '.' does not end the message\n"
    "  -f, -r FROM    envelope sender (and From address when the message has none)\n"
    "  -F NAME        the full name for an added From line\n"
    "  -a, --account NAME   the account to use\n"
    "  --config FILE  configuration file (default ~/.config/kelmail/config)\n"
    "  --server HOST[:PORT] | smtp://... | smtps://...   a server instead of the account's host\n"
    "Other sendmail options (-o..., -B..., -bm, -v, -N...) are accepted and ignored.\n"
    "\n" KELMAIL_EXIT_CODES;

struct Header {
  std::string name;  // as written
  std::string text;  // the whole field, folded lines included, each line ending in CR LF
};

bool SameName(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool SplitMessage(const std::string &input, std::vector<Header> &headers, std::string &body) {
  headers.clear();
  size_t pos = 0;
  while (pos < input.size()) {
    size_t lf = input.find('\n', pos);
    size_t end = lf == std::string::npos ? input.size() : lf + 1;
    std::string line = input.substr(pos, end - pos);
    std::string bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.pop_back();
    if (bare.empty()) {  // the empty line that ends the header
      body = input.substr(end);
      return !headers.empty();
    }
    if ((bare[0] == ' ' || bare[0] == '\t')) {
      if (headers.empty()) return false;
      headers.back().text += bare + "\r\n";
    } else {
      size_t colon = bare.find(':');
      if (colon == std::string::npos || colon == 0) return false;
      std::string name = bare.substr(0, colon);
      for (unsigned char c : name)
        if (c <= ' ' || c >= 127) return false;
      headers.push_back({name, bare + "\r\n"});
    }
    pos = end;
  }
  body.clear();  // a message of header lines only
  return !headers.empty();
}

std::vector<std::string> ExtractAddresses(const std::string &value) {
  // Unfold and drop comments, then split at commas outside quotes and angle
  // brackets; a group's name ("friends:") and its ';' are not addresses.
  std::string text;
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\r' || c == '\n') c = ' ';
    if (quoted) {
      text += c;
      if (c == '\\' && i + 1 < value.size()) text += value[++i];
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '(') ++depth;
    else if (c == ')' && depth > 0) --depth;
    else if (depth == 0) {
      if (c == '"') quoted = true;
      text += c;
    }
  }
  std::vector<std::string> out;
  std::string current;
  bool inQuote = false, inAngle = false;
  auto flush = [&]() {
    std::string entry = Trim(current);
    current.clear();
    if (entry.empty()) return;
    size_t open = entry.find('<'), close = entry.rfind('>');
    std::string address;
    if (open != std::string::npos && close != std::string::npos && close > open)
      address = Trim(entry.substr(open + 1, close - open - 1));
    else
      address = entry;
    if (!address.empty() && address.find(' ') == std::string::npos) out.push_back(address);
  };
  for (char c : text) {
    if (c == '"' && !inAngle) inQuote = !inQuote;
    if (!inQuote) {
      if (c == '<') inAngle = true;
      if (c == '>') inAngle = false;
      if (!inAngle && c == ':') {  // a group's display name
        current.clear();
        continue;
      }
      if (!inAngle && (c == ',' || c == ';')) {
        flush();
        continue;
      }
    }
    current += c;
  }
  flush();
  return out;
}

std::string HostName() {
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  return host;
}

std::string LocalUser() {
  const char *user = std::getenv("USER");
  if (!user || !*user) user = std::getenv("LOGNAME");
  return user && *user ? user : "nobody";
}

std::string DateNow() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S %z", &local);
  return buffer;
}

std::string MessageId(const std::string &from) {
  timeval now;
  gettimeofday(&now, nullptr);
  size_t at = from.rfind('@');
  std::string domain = at == std::string::npos ? HostName() : from.substr(at + 1);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%lld.%06ld.%d.%u", static_cast<long long>(now.tv_sec),
                static_cast<long>(now.tv_usec), static_cast<int>(getpid()), static_cast<unsigned>(std::rand() & 0xffff));
  return std::string("<") + buffer + "@" + domain + ">";
}

int Usage64(const std::string &message) {
  std::fprintf(stderr, "kelmail sendmail: %s\nTry 'kelmail sendmail --help'.\n", message.c_str());
  return ExitUsage;
}

}  // namespace

int RunSendmail(int argc, char **argv, int first) {
  Args args;
  bool fromHeaders = false, dotEnds = true;
  std::string envelopeFrom, fullName;
  std::vector<std::string> recipients;
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](size_t skip, std::string &out) {
      if (a.size() > skip) {
        out = a.substr(skip);
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (optionsEnded || a.empty() || a[0] != '-') {
      recipients.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "--help" || a == "-h") {
      std::fputs(Usage, stdout);
      return ExitOk;
    } else if (a == "-t") {
      fromHeaders = true;
    } else if (a == "-i" || a == "-oi") {
      dotEnds = false;
    } else if (a.compare(0, 2, "-f") == 0 || a.compare(0, 2, "-r") == 0) {
      if (!value(2, envelopeFrom)) return Usage64("option " + a + " needs an address");
    } else if (a.compare(0, 2, "-F") == 0) {
      if (!value(2, fullName)) return Usage64("option -F needs a name");
    } else if (a == "-a" || a.compare(0, 10, "--account=") == 0 || a == "--account") {
      std::string name;
      if (a.compare(0, 10, "--account=") == 0) name = a.substr(10);
      else if (!value(a.size(), name)) return Usage64("option " + a + " needs an account name");
      args.Add("account", name);
    } else if (a.compare(0, 9, "--config=") == 0 || a == "--config") {
      std::string file;
      if (a.compare(0, 9, "--config=") == 0) file = a.substr(9);
      else if (!value(a.size(), file)) return Usage64("option --config needs a file");
      args.Add("config", file);
    } else if (a.compare(0, 9, "--server=") == 0 || a == "--server") {
      std::string server;
      if (a.compare(0, 9, "--server=") == 0) server = a.substr(9);
      else if (!value(a.size(), server)) return Usage64("option --server needs a server");
      args.Add("server", server);
    } else if (a.compare(0, 2, "-o") == 0 || a.compare(0, 2, "-B") == 0 || a.compare(0, 2, "-N") == 0 ||
               a.compare(0, 2, "-R") == 0 || a.compare(0, 2, "-V") == 0 || a.compare(0, 2, "-X") == 0 ||
               a == "-bm" || a == "-v" || a == "-U" || a == "-em" || a == "-ee") {
      // sendmail's queue, delivery-mode and logging options: nothing to do here.
    } else {
      return Usage64("unknown or unsupported option " + a);
    }
  }

  // The message, up to the end of input (or a line holding a single dot).
  std::string input;
  {
    char buf[65536];
    for (;;) {
      ssize_t n = read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        std::fprintf(stderr, "kelmail sendmail: cannot read standard input: %s\n", std::strerror(errno));
        return ExitNoInput;
      }
      if (n == 0) break;
      input.append(buf, static_cast<size_t>(n));
    }
  }
  if (dotEnds) {
    size_t at = std::string::npos;
    for (size_t pos = 0; at == std::string::npos && pos < input.size();) {
      size_t lf = input.find('\n', pos);
      size_t end = lf == std::string::npos ? input.size() : lf + 1;
      std::string line = input.substr(pos, end - pos);
      if (line == ".\n" || line == ".\r\n" || line == ".") at = pos;
      pos = end;
    }
    if (at != std::string::npos) input.resize(at);
  }
  std::vector<Header> headers;
  std::string body;
  if (input.empty() || !SplitMessage(input, headers, body)) {
    std::fprintf(stderr, "kelmail sendmail: standard input holds no message (header lines, an empty line, the text)\n");
    return ExitDataError;
  }
  // Envelope recipients: the arguments, and with -t every To, Cc and Bcc address.
  std::vector<std::string> envelope;
  for (const std::string &r : recipients)
    for (const std::string &a : ExtractAddresses(r)) envelope.push_back(a);
  if (fromHeaders)
    for (const Header &h : headers)
      if (SameName(h.name, "To") || SameName(h.name, "Cc") || SameName(h.name, "Bcc"))
        for (const std::string &a : ExtractAddresses(h.text.substr(h.name.size() + 1))) envelope.push_back(a);
  std::vector<std::string> unique;
  for (const std::string &a : envelope) {
    bool seen = false;
    for (const std::string &u : unique) seen = seen || strcasecmp(u.c_str(), a.c_str()) == 0;
    if (!seen) unique.push_back(a);
  }
  if (unique.empty()) return Usage64(fromHeaders ? "no recipients: the message has no To, Cc or Bcc address"
                                                 : "no recipients (name them, or give -t)");
  for (const std::string &a : unique)
    for (unsigned char c : a)
      if (c < 0x20 || c == 0x7f || c == ',') {
        std::fprintf(stderr, "kelmail sendmail: malformed recipient address\n");
        return ExitDataError;
      }

  if (int rc = ApplyAccount("sendmail", Service::Smtp, args)) return rc;
  if (!args.Has("server"))
    return Usage64("no SMTP server: set up an account (host ...) in ~/.config/kelmail/config, or give --server");

  // The From header's address, when there is one.
  std::string headerFrom;
  for (const Header &h : headers)
    if (SameName(h.name, "From")) {
      std::vector<std::string> a = ExtractAddresses(h.text.substr(h.name.size() + 1));
      if (!a.empty()) headerFrom = a[0];
    }
  std::string sender = !envelopeFrom.empty() ? envelopeFrom
                       : args.Has("from")    ? args.Get("from")
                       : !headerFrom.empty() ? headerFrom
                                             : LocalUser() + "@" + HostName();
  {
    std::vector<std::string> a = ExtractAddresses(sender);
    if (a.size() != 1) {
      std::fprintf(stderr, "kelmail sendmail: malformed sender address '%s'\n", sender.c_str());
      return ExitDataError;
    }
    sender = a[0];
  }

  // The message as submitted: Bcc removed; Date, Message-ID and From added when missing.
  bool hasDate = false, hasId = false, hasFrom = false;
  std::string text;
  for (const Header &h : headers) {
    if (SameName(h.name, "Bcc")) continue;
    hasDate = hasDate || SameName(h.name, "Date");
    hasId = hasId || SameName(h.name, "Message-ID");
    hasFrom = hasFrom || SameName(h.name, "From");
    text += h.text;
  }
  if (!hasFrom) {
    // The account's From text keeps its display name unless -f or -F says otherwise.
    std::string from = !fullName.empty()                            ? "\"" + fullName + "\" <" + sender + ">"
                       : envelopeFrom.empty() && args.Has("from") ? Bracketed(args.Get("from"))
                                                                  : "<" + sender + ">";
    for (char &c : from)
      if (c == '\r' || c == '\n') c = ' ';
    text = "From: " + from + "\r\n" + text;
  }
  if (!hasId) text = "Message-ID: " + MessageId(sender) + "\r\n" + text;
  if (!hasDate) text = "Date: " + DateNow() + "\r\n" + text;
  text += "\r\n";
  for (size_t pos = 0; pos < body.size();) {
    size_t lf = body.find('\n', pos);
    size_t end = lf == std::string::npos ? body.size() : lf;
    std::string line = body.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    text += line + "\r\n";
    pos = lf == std::string::npos ? body.size() : lf + 1;
  }

  const char *cmd = "sendmail";
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  if (kelIntegerParam(Channel, KEL_RAW_SUBMIT, 1) < 0) {
    std::fprintf(stderr,
                 "kelmail sendmail: this KEL32 library cannot submit a finished message (KEL_RAW_SUBMIT); "
                 "nothing was sent\n");
    return ExitUnavailable;
  }
  Server server;
  if (int rc = ApplyConnection(cmd, args, 25, server)) return rc;
  bool token = false;
  if (int rc = ApplyAuth(cmd, args, false, token)) return rc;
  std::string user = args.Get("user"), password;
  if (args.Has("user") && !token) {
    bool found = false;
    if (int rc = ObtainPassword(cmd, args, server.host, user, password, found)) return rc;
    if (!found) {
      std::fprintf(stderr, "kelmail sendmail: the account has a user but no password (passwordeval, ~/.netrc)\n");
      return ExitConfig;
    }
  }
  const bool login = args.Has("user") || token;
  if (login) {
    if (int rc = CheckPlaintextAuth(cmd, args, server.host)) return rc;
    kelIntegerParam(Channel, KEL_ENABLE_ESMTP, 1);
    if (kelStringParam(Channel, KEL_SMTP_USER, user.c_str()) < 0 ||
        kelStringParam(Channel, KEL_SMTP_PASS, password.c_str()) < 0) {
      std::fprintf(stderr, "kelmail sendmail: line breaks in the user name or the password\n");
      return ExitConfig;
    }
  }
  TempFile file("message");
  if (!file.Write(text)) {
    std::fprintf(stderr, "kelmail sendmail: cannot write a temporary file\n");
    return ExitCantCreate;
  }
  kelIntegerParam(Channel, KEL_SMTP_PORT, server.port);
  std::string to;
  for (const std::string &a : unique) to += (to.empty() ? "<" : ",<") + a + ">";
  const std::string where = server.host + ":" + std::to_string(server.port);
  int rc = kelSmtpConnect(Channel, server.host.c_str(), ("<" + sender + ">").c_str(), "");
  if (rc < 0) return Failure("connecting to SMTP server " + where, rc, Phase::Connect);
  const std::string message = "@" + file.Path();
  rc = kelSendEmail(Channel, to.c_str(), "", "", "", message.c_str(), "");
  if (rc < 0 && rc != KEL_ERR_SOME_REFUSED) return Failure("submitting the message", rc, Phase::Send);
  const int refused = kelStatistics(Channel, KEL_STAT_REFUSED_COUNT);
  if (refused > 0) {
    std::vector<char> list(8192, '\0');
    kelDebug(Channel, KEL_DEBUG_REFUSED_LIST, list.data(), static_cast<int>(list.size()));
    std::fprintf(stderr, "kelmail sendmail: %d recipient(s) refused:\n", refused);
    std::string refusals;
    for (const char *p = list.data(); *p; ++p)
      if (*p != '\r') refusals += *p;
    std::fputs(refusals.c_str(), stderr);
  }
  rc = kelClose(Channel);
  if (rc < 0) std::fprintf(stderr, "kelmail sendmail: warning: closing the session: %s\n", ErrorText(rc).c_str());
  return refused > 0 ? ExitFor(KEL_ERR_SOME_REFUSED, Phase::Send) : ExitOk;
}

}  // namespace kelmail
