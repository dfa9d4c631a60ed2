// What every kelmail subcommand shares (see session.h).
#include "session.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "account.h"
#include "kel32.h"

namespace kelmail {

Library::Library() : status_(kelAttach(1, 0)) {}

Library::~Library() {
  if (status_ > 0) kelRelease();
}

static std::string TrimEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

std::string ErrorText(int code) {
  // Room for the text and a server reply of several lines.
  static char buffer[4608];
  buffer[0] = '\0';
  int n = kelErrorText(Channel, code, buffer, static_cast<int>(sizeof buffer));
  std::string text = n > 0 ? TrimEnd(buffer) : std::string();
  // Multi-line replies read better on one line each, indented.
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    out += c;
    if (c == '\n') out += "    ";
  }
  if (out.empty()) out = "error " + std::to_string(code);
  return out;
}

// True when a refused-recipient list ("address reply" lines) holds a
// permanent (5xx) refusal.
static bool AnyPermanentRefusal() {
  std::vector<char> list(8192, '\0');
  kelDebug(Channel, KEL_DEBUG_REFUSED_LIST, list.data(), static_cast<int>(list.size()));
  std::string text(list.data());
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t space = line.find(' ');
    if (space != std::string::npos && space + 1 < line.size() && line[space + 1] == '5') return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

int ExitFor(int code, Phase phase) {
  if (code >= 0) return ExitOk;
  const int reply = kelStatistics(Channel, KEL_STAT_REPLY_CODE);
  switch (code) {
    case -12: case -23: case -46: case -56: case -11001: case -11003: case -11004:
      return ExitNoHost;
    case -20: return ExitUnavailable;  // the proxy could not reach the mail server
    case -21: return ExitNoPerm;       // the proxy refused its login
    case -22: return ExitProtocol;
    case -24: return ExitTempFail;
    case -11002:  // a name server that may answer later
      return ExitTempFail;
    case -49:  // an SMTP 5xx (or a 4xx the state would not take)
      if (reply >= 400 && reply < 500) return ExitTempFail;
      if (phase == Phase::Send && kelStatistics(Channel, KEL_STAT_REFUSED_COUNT) > 0) return ExitNoUser;
      if (phase == Phase::Connect && (reply == 530 || reply == 534 || reply == 535 || reply == 538))
        return ExitNoPerm;
      return ExitUnavailable;
    case -63: {  // a POP3 -ERR; RFC 2449/3206 response codes tell a passing refusal
      const std::string text = ErrorText(code);
      for (const char *temporary : {"[SYS/TEMP]", "[IN-USE]", "[LOGIN-DELAY]"})
        if (text.find(temporary) != std::string::npos) return ExitTempFail;
      return phase == Phase::Login ? ExitNoPerm : ExitUnavailable;
    }
    case -60: {  // an IMAP NO, BAD or BYE; RFC 5530 response codes tell their kind
      std::string text = ErrorText(code);
      char last[256] = "";
      kelDebug(Channel, KEL_DEBUG_LAST_REPLY, last, static_cast<int>(sizeof last));
      text += std::string(" ") + last;
      for (const char *temporary : {"[UNAVAILABLE]", "[INUSE]", "[SERVERBUG]", "[LIMIT]", "[OVERQUOTA]"})
        if (text.find(temporary) != std::string::npos) return ExitTempFail;
      for (const char *refused : {"[AUTHENTICATIONFAILED]", "[AUTHORIZATIONFAILED]", "[EXPIRED]", "[PRIVACYREQUIRED]",
                                  "[CONTACTADMIN]", "[NOPERM]"})
        if (text.find(refused) != std::string::npos) return ExitNoPerm;
      if (text.find("[NONEXISTENT]") != std::string::npos || text.find("[TRYCREATE]") != std::string::npos)
        return ExitNoInput;
      // The last response is "TAG STATUS text". BYE: the server ended the
      // session (shutting down, too many connections, idle too long); BAD:
      // it did not understand what it was sent.
      const std::string reply = last;
      const size_t space = reply.find(' ');
      const std::string status =
          space == std::string::npos ? std::string() : reply.substr(space + 1, reply.find(' ', space + 1) - space - 1);
      if (status == "BYE") return ExitTempFail;
      if (status == "BAD") return ExitProtocol;
      return phase == Phase::Login ? ExitNoPerm : ExitUnavailable;
    }
    case -75: return ExitProtocol;  // an IMAP response not understood
    case -78: case -79:
      return AnyPermanentRefusal() ? ExitNoUser : ExitTempFail;
    case -76: return ExitUnavailable;  // the mechanism asked for is not offered
    case -81: return ExitUsage;
    case -77: case -80: return ExitConfig;
    case -35: return ExitNoInput;
    case -64: return ExitNoInput;
    case -67: return ExitCantCreate;
    case -31: case -84: case -85: return ExitProtocol;
    case -32: case -37: case -39: case -40: case -41: case -43: case -45: case -53: case -54: case -86:
      return ExitDataError;
    case -1: case -8: case -36: case -44: case -51: case -52:
      return ExitTempFail;
    default:
      break;
  }
  if (code <= -90 && code >= -99) return ExitProtocol;
  if (code <= -10000 && code > -10100) return ExitTempFail;  // the socket layer's codes
  return ExitSoftware;
}

int Failure(const std::string &what, int code, Phase phase) {
  std::fprintf(stderr, "kelmail: %s: %s (error %d)\n", what.c_str(), ErrorText(code).c_str(), code);
  return ExitFor(code, phase);
}

int UsageError(const char *command, const std::string &message) {
  std::fprintf(stderr, "kelmail %s: %s\nTry 'kelmail %s --help'.\n", command, message.c_str(), command);
  return ExitUsage;
}

bool ParseServer(const std::string &text, int defaultPort, Server &out, std::string &error) {
  std::string host = text;
  std::string port;
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string::npos) {
      error = "unbalanced '[' in server " + text;
      return false;
    }
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') {
        error = "bad server " + text;
        return false;
      }
      port = host.substr(close + 2);
    }
    host = host.substr(1, close - 1);
  } else {
    size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
      port = host.substr(colon + 1);
      host.resize(colon);
    }
  }
  if (host.empty()) {
    error = "no server name in '" + text + "'";
    return false;
  }
  long number = defaultPort;
  if (!port.empty() && !ParseNumber(port, 1, 65535, number)) {
    error = "bad port '" + port + "'";
    return false;
  }
  out.host = host;
  out.port = static_cast<int>(number);
  return true;
}

std::vector<OptionSpec> ConnectionOptions(const char *serverHelp) {
  return {
      {"server", 's', "HOST[:PORT]", false, serverHelp},
      {"port", 'p', "PORT", false, "server port (instead of HOST:PORT)"},
      {"log", 'l', "FILE", false, "write the library's trace of the session to FILE"},
      {"timeout", 0, "MS", false, "time allowed for each reply and data transfer (default 25000)"},
      {"connect-timeout", 0, "MS", false, "time allowed to connect (default 60000)"},
      {"step-delay", 0, "MS", false, "pause after each command before the reply is read (default 25)"},
      {"progress", 0, nullptr, false, "show progress even when standard error is not a terminal"},
      {"tls", 0, nullptr, false, "TLS from the first byte (SMTP default port 465, POP3 995, IMAP 993)"},
      {"starttls", 0, nullptr, false,
       "switch to TLS with STARTTLS (SMTP, IMAP) or STLS (POP3); fail if not offered"},
      {"cacert", 0, "FILE", false, "trust the CA certificates in FILE (PEM) instead of the system's"},
      {"insecure", 0, nullptr, false, "accept any server certificate (for tests only)"},
      {"proxy", 0, "URL", false, "connect through a proxy: socks5://[user:password@]host:port or http://..."},
      {"account", 0, "NAME", false, "take the settings of account NAME from the configuration file"},
      {"config", 0, "FILE", false, "configuration file (default ~/.config/kelmail/config)"},
      {"allow-plaintext-auth", 0, nullptr, false,
       "allow a password or token over an unencrypted connection to a server not on loopback"},
  };
}

std::vector<OptionSpec> Pop3LoginOptions() {
  return {
      {"user", 'u', "NAME", false, "POP3 user name"},
      {"password", 'w', "TEXT", false, "POP3 password (visible to other users; prefer --password-cmd)"},
      {"password-env", 0, "VAR", false, "take the password from environment variable VAR"},
      {"password-cmd", 0, "CMD", false, "run CMD (through /bin/sh) before connecting; its first output line is the password"},
      {"apop", 0, nullptr, false, "log in with APOP instead of USER/PASS"},
  };
}

std::vector<OptionSpec> AuthOptions() {
  return {
      {"auth", 0, "MECHANISM", false,
       "login mechanism: auto (default), cram-md5, login, plain, xoauth2, oauthbearer"},
      {"token-env", 0, "VAR", false, "take an OAuth 2.0 bearer token from environment variable VAR"},
      {"token-cmd", 0, "CMD", false, "run CMD before connecting; its first output line is a fresh bearer token"},
  };
}

int ApplyAuth(const char *command, const Args &args, bool mailbox, bool &token) {
  struct {
    const char *name;
    int value;
  } mechanisms[] = {{"auto", KEL_AUTH_AUTO},   {"cram-md5", KEL_AUTH_CRAM_MD5}, {"login", KEL_AUTH_LOGIN},
                    {"plain", KEL_AUTH_PLAIN}, {"xoauth2", KEL_AUTH_XOAUTH2},   {"oauthbearer", KEL_AUTH_OAUTHBEARER}};
  int mechanism = -1;
  const std::string name = args.Get("auth", "auto");
  for (auto &m : mechanisms)
    if (name == m.name) mechanism = m.value;
  if (mechanism < 0) return UsageError(command, "unknown --auth '" + name + "'");
  if (mailbox && (mechanism == KEL_AUTH_CRAM_MD5 || mechanism == KEL_AUTH_LOGIN))
    return UsageError(command, "--auth " + name + " is for SMTP; POP3 and IMAP take plain, xoauth2 or oauthbearer");
  // A token on the command line would be visible to other users: only
  // from the environment or a command.
  std::string value;
  if (int rc = ObtainToken(command, args, value, token)) return rc;
  if ((mechanism == KEL_AUTH_XOAUTH2 || mechanism == KEL_AUTH_OAUTHBEARER) && !token)
    return UsageError(command, "--auth " + name + " needs a token: --token-cmd CMD, --token-env VAR or KELMAIL_TOKEN");
  kelIntegerParam(Channel, KEL_AUTH_MECHANISM, mechanism);
  if (token && kelStringParam(Channel, KEL_OAUTH_TOKEN, value.c_str()) < 0) {
    std::fprintf(stderr, "kelmail %s: the token holds characters a bearer token cannot have\n", command);
    return ExitConfig;
  }
  return 0;
}

int ApplyConnection(const char *command, const Args &args, int defaultPort, Server &server) {
  if (!args.Has("server"))
    return UsageError(command, "missing --server (or a default account in ~/.config/kelmail/config)");
  if (args.Has("tls") && args.Has("starttls")) return UsageError(command, "--tls and --starttls exclude each other");
  const bool tls = args.Has("tls") || args.Has("starttls");
  if ((args.Has("cacert") || args.Has("insecure")) && !tls)
    return UsageError(command, "--cacert and --insecure need --tls or --starttls");
  if (args.Has("tls"))
    defaultPort = defaultPort == 110 ? 995 : defaultPort == 25 ? 465 : defaultPort == 143 ? 993 : defaultPort;
  kelIntegerParam(Channel, KEL_TLS_MODE,
                  args.Has("tls") ? KEL_TLS_IMPLICIT : args.Has("starttls") ? KEL_TLS_REQUIRED : KEL_TLS_OFF);
  kelIntegerParam(Channel, KEL_TLS_VERIFY, args.Has("insecure") ? 0 : 1);
  if (args.Has("cacert") && kelStringParam(Channel, KEL_TLS_CA_FILE, args.Get("cacert").c_str()) < 0)
    return UsageError(command, "--cacert path too long");
  if (args.Has("proxy") && kelStringParam(Channel, KEL_PROXY, args.Get("proxy").c_str()) < 0)
    return UsageError(command, "bad --proxy (socks5://[user:password@]host:port or http://[user:password@]host:port)");
  std::string error;
  long port = defaultPort;
  if (args.Has("port") && !ParseNumber(args.Get("port"), 1, 65535, port))
    return UsageError(command, "bad --port '" + args.Get("port") + "'");
  if (!ParseServer(args.Get("server"), static_cast<int>(port), server, error))
    return UsageError(command, error);
  struct Timing {
    const char *option;
    int code;
    long low;
  } timings[] = {{"timeout", KEL_RESPONSE_TIMEOUT, 1},
                 {"connect-timeout", KEL_CONNECT_TIMEOUT, 1},
                 {"step-delay", KEL_STEP_DELAY, 0}};
  for (const Timing &t : timings) {
    if (!args.Has(t.option)) continue;
    long value = 0;
    if (!ParseNumber(args.Get(t.option), t.low, 3600000, value))
      return UsageError(command, std::string("bad --") + t.option + " '" + args.Get(t.option) + "'");
    kelIntegerParam(Channel, t.code, static_cast<int>(value));
    // One time-out covers replies and the data of a transfer alike.
    if (t.code == KEL_RESPONSE_TIMEOUT) kelIntegerParam(Channel, KEL_DATA_TIMEOUT, static_cast<int>(value));
  }
  if (args.Has("log") && kelStringParam(Channel, KEL_LOG_FILE, args.Get("log").c_str()) < 0) {
    std::fprintf(stderr, "kelmail: cannot create log file %s\n", args.Get("log").c_str());
    return ExitCantCreate;
  }
  return 0;
}

bool ProgressWanted(const Args &args) { return args.Has("progress") || isatty(2) == 1; }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

static void ShowProgress(const Transfer &t, long done, bool last) {
  long percent = t.total > 0 ? (done >= t.total ? 100 : done * 100 / t.total) : 100;
  std::fprintf(stderr, "\r%s: %ld of %ld bytes (%ld%%)%s", t.label.c_str(), done, t.total, percent,
               last ? "\n" : "");
  std::fflush(stderr);
}

int RunCall(bool progress, const Transfer &transfer, const std::function<int()> &start) {
  if (!progress) return start();
  kelIntegerParam(Channel, KEL_AUTO_CALL_DRIVER, 0);
  int result = start();
  if (result == 0) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point shown = Clock::now();
    ShowProgress(transfer, 0, false);
    int previous = 0;
    long count = 0;
    for (;;) {
      result = kelDriver(Channel);
      if (result <= 0) break;
      // A waiting channel, or a state that ran again without moving any
      // data, would make this loop spin: sleep until the channel has work,
      // or the progress line is due. A state that repeats while data flows
      // is not held up.
      long now = kelStatistics(Channel, transfer.counter);
      if (result == KEL_WAITING || (result == previous && now == count)) {
        const unsigned list[] = {static_cast<unsigned>(Channel)};
        int ready = 0;
        kelWait(list, 1, 100, &ready);
      }
      previous = result;
      count = now;
      if (Clock::now() - shown >= std::chrono::milliseconds(100)) {
        ShowProgress(transfer, now, false);
        shown = Clock::now();
      }
    }
    if (result == 0) ShowProgress(transfer, kelStatistics(Channel, transfer.counter), true);
    else std::fputc('\n', stderr);
  }
  // Back to blocking mode; this also clears the channel's step timing.
  kelIntegerParam(Channel, KEL_AUTO_CALL_DRIVER, 1);
  return result;
}

std::string Bracketed(const std::string &address) {
  size_t first = address.find_first_not_of(' ');
  if (first == std::string::npos) return address;
  size_t last = address.find_last_not_of(' ');
  std::string trimmed = address.substr(first, last - first + 1);
  if (trimmed.find('<') != std::string::npos) return trimmed;
  return "<" + trimmed + ">";
}

std::string BracketList(const std::string &list) {
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string entry = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!out.empty()) out += ',';
    out += Bracketed(entry);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

}  // namespace kelmail

TempFile::~TempFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

bool TempFile::Write(const std::string &text) {
  const char *dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/kelmail-" + what_ + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  path_ = name.data();
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == text.size();
}
