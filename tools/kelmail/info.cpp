// kelmail serverinfo: what a server offers and how the connection to it
// is secured. SMTP (the default): its EHLO extensions and AUTH mechanisms,
// without logging in or sending anything. POP3 (--pop3) and IMAP (--imap):
// the CAPA lines or IMAP capabilities and the login mechanism used; the
// library's connect calls always log in, so these take the usual login
// options and credential sources.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "kel32.h"
#include "session.h"

namespace kelmail {

const Command ServerInfoCommand = {
    "serverinfo",
    "serverinfo --server HOST[:PORT] [--pop3 | --imap] [--starttls | --tls] [options]",
    "Connects to a server and shows what it offers. SMTP: the extensions of its EHLO reply and the\n"
    "AUTH mechanisms; nothing is sent beyond EHLO, no login. POP3 (--pop3) and IMAP (--imap): the\n"
    "CAPA lines or the capabilities, after a login (the same login options as list), and the login\n"
    "mechanism used. With TLS: the protocol, cipher and the server's certificate.",
    Join(Join(Join(ConnectionOptions("server: name, address or smtp:// smtps:// pop3:// pop3s:// imap:// imaps:// "
                                     "URL (default port 25, POP3 110, IMAP 143)"),
                   {
                       {"pop3", 0, nullptr, false, "ask a POP3 server (logs in)"},
                       {"imap", 0, nullptr, false, "ask an IMAP server (logs in)"},
                   }),
              Pop3LoginOptions()),
         AuthOptions()),
    "With --starttls the offer shown is the one after the switch to TLS (where many servers first\n"
    "offer AUTH); without a TLS flag, STARTTLS (or STLS) in the list says the server offers it.\n"
    "The login options are for --pop3 and --imap; SMTP is asked without a login.\n" KELMAIL_EXIT_CODES,
};

namespace {

std::string Debug(int code, size_t size = 1024) {
  std::vector<char> buffer(size, '\0');
  kelDebug(Channel, code, buffer.data(), static_cast<int>(buffer.size()));
  return buffer.data();
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

std::string Upper(const std::string &text) {
  std::string upper;
  for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// The TLS lines, or the note that there is no TLS (and whether it was offered).
void ShowTls(const Args &args, bool tls, bool offered, const char *offerWord) {
  if (!tls) {
    std::printf("TLS:         none on this connection; %s is %s\n", offerWord,
                offered ? "offered (try --starttls)" : "not offered");
    return;
  }
  std::printf("TLS:         %s\n", Debug(KEL_DEBUG_TLS_INFO).c_str());
  const std::string trust = args.Has("insecure") ? "no (--insecure: any certificate accepted)"
                            : args.Has("cacert") ? "yes, by " + args.Get("cacert")
                                                 : "yes, by the system's trusted authorities";
  // The certificate's subject, and its detail (issuer, dates, the
  // library's verification result) where the library gives it as
  // "name: value" lines.
  std::string subject = Debug(KEL_DEBUG_TLS_PEER);
  std::vector<std::string> detail;
  for (const std::string &line : Lines(Debug(KEL_DEBUG_TLS_CERT, 4096))) {
    if (line.find(':') == std::string::npos) continue;  // a library without the detail answers "?"
    if (line.compare(0, 8, "subject:") == 0) {
      const size_t value = line.find_first_not_of(' ', 8);
      subject = value == std::string::npos ? std::string() : line.substr(value);
    } else {
      detail.push_back(line);
    }
  }
  std::printf("certificate: %s\n", subject.c_str());
  for (const std::string &line : detail) std::printf("  %s\n", line.c_str());
  std::printf("verified:    %s\n", trust.c_str());
}

int SmtpInfo(const Args &args) {
  const char *cmd = "serverinfo";
  Server server;
  if (int rc = ApplyConnection(cmd, args, 25, server)) return rc;
  kelIntegerParam(Channel, KEL_SMTP_PORT, server.port);
  // EHLO at the greeting; with no user there is no AUTH after it.
  kelIntegerParam(Channel, KEL_ENABLE_ESMTP, 1);
  const std::string where = server.host + ":" + std::to_string(server.port);
  int rc = kelSmtpConnect(Channel, server.host.c_str(), "<kelmail@localhost>", "");
  if (rc < 0) return Failure("connecting to SMTP server " + where, rc, Phase::Connect);
  const std::vector<std::string> lines = Lines(Debug(KEL_DEBUG_CAPABILITIES, 2048));
  const bool tls = kelStatistics(Channel, KEL_STAT_TLS) == 1;
  std::printf("SMTP server %s\n", where.c_str());
  std::string auth = "(none offered)";
  bool startTls = false;
  std::printf("extensions:\n");
  for (const std::string &line : lines) {
    const std::string upper = Upper(line);
    std::printf("  %s\n", line.c_str());
    if (upper.compare(0, 5, "AUTH ") == 0 || upper.compare(0, 5, "AUTH=") == 0) auth = line.substr(5);
    if (upper == "STARTTLS") startTls = true;
  }
  std::printf("AUTH:        %s\n", auth.c_str());
  ShowTls(args, tls, startTls, "STARTTLS");
  kelClose(Channel);
  return ExitOk;
}

int MailboxInfo(const Args &args, bool imap) {
  const char *cmd = "serverinfo";
  const char *protocol = imap ? "IMAP" : "POP3";
  std::string capabilities;
  // A POP3 login by USER/PASS or APOP asks no CAPA. A first connection
  // asks it alone: a bearer login forced without a token ends right after
  // the CAPA reply (and STLS), before anything of the login is sent.
  const char *token = std::getenv("KELMAIL_TOKEN");
  if (!imap && !args.Has("starttls") && args.Get("auth", "auto") == "auto" && !args.Has("token-cmd") &&
      !args.Has("token-env") && !(token && *token)) {
    Server server;
    if (int rc = ApplyConnection(cmd, args, 110, server)) return rc;
    kelIntegerParam(Channel, KEL_POP3_PORT, server.port);
    kelIntegerParam(Channel, KEL_AUTH_MECHANISM, KEL_AUTH_XOAUTH2);
    int rc = kelPop3Connect(Channel, server.host.c_str(), "kelmail", "");
    kelIntegerParam(Channel, KEL_AUTH_MECHANISM, KEL_AUTH_AUTO);
    if (rc != -80 && rc < 0)
      return Failure("asking POP3 server " + server.host + ":" + std::to_string(server.port) + " (CAPA)", rc,
                     Phase::Connect);
    if (rc >= 0) kelAbort(Channel);  // not expected: the server took a login without a token
    capabilities = Debug(KEL_DEBUG_CAPABILITIES, 2048);
  }
  std::string where, user;
  if (int rc = MailboxLogin(cmd, args, where, &user)) return rc;
  if (imap || capabilities.empty()) capabilities = Debug(KEL_DEBUG_CAPABILITIES, 2048);
  const std::vector<std::string> lines = Lines(capabilities);
  const std::string mechanism = Debug(KEL_DEBUG_AUTH_MECHANISM, 64);
  const bool tls = kelStatistics(Channel, KEL_STAT_TLS) == 1;
  std::printf("%s server %s\n", protocol, where.c_str());
  std::printf("capabilities:%s\n", lines.empty() ? " (none given)" : "");
  bool startTls = false;
  std::string auth;
  for (const std::string &line : lines) {
    const std::string upper = Upper(line);
    std::printf("  %s\n", line.c_str());
    if (upper == (imap ? "STARTTLS" : "STLS")) startTls = true;
    if (!imap && upper.compare(0, 5, "SASL ") == 0) auth = line.substr(5);
    if (imap && upper.compare(0, 5, "AUTH=") == 0) auth += (auth.empty() ? "" : " ") + line.substr(5);
  }
  if (auth.empty()) auth = imap ? "(none listed after the login)" : "(none listed)";
  std::printf("AUTH:        %s\n", auth.c_str());
  std::string login = mechanism.empty() ? (imap ? "LOGIN" : args.Has("apop") ? "APOP" : "USER/PASS")
                                        : std::string(imap ? "AUTHENTICATE " : "AUTH ") + mechanism;
  std::printf("login:       %s as %s\n", login.c_str(), user.c_str());
  ShowTls(args, tls, startTls, imap ? "STARTTLS" : "STLS");
  int rc = kelClose(Channel);
  if (rc < 0) return Failure("ending the session", rc);
  return ExitOk;
}

}  // namespace

int RunServerInfo(const Args &args) {
  const char *cmd = "serverinfo";
  if (!args.positional.empty()) return UsageError(cmd, "unexpected argument '" + args.positional[0] + "'");
  if (args.Has("pop3") && args.Has("imap")) return UsageError(cmd, "--pop3 and --imap exclude each other");
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  if (args.Has("imap")) return MailboxInfo(args, true);
  if (args.Has("pop3")) return MailboxInfo(args, false);
  return SmtpInfo(args);
}

}  // namespace kelmail
