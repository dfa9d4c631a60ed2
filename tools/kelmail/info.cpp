// kelmail serverinfo: what an SMTP server offers (its EHLO extensions and
// AUTH mechanisms) and the TLS session and certificate, without logging in
// or sending anything.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "kel32.h"
#include "session.h"

namespace kelmail {

const Command ServerInfoCommand = {
    "serverinfo",
    "serverinfo --server HOST[:PORT] [--starttls | --tls] [options]",
    "Connects to an SMTP server and shows what it offers: the extensions of its EHLO reply, the AUTH\n"
    "mechanisms, and with TLS the protocol, cipher, the certificate's subject and whether it was\n"
    "verified. Nothing is sent beyond EHLO; no login.",
    ConnectionOptions("SMTP server, name, address or smtp:// / smtps:// URL (default port 25)"),
    "With --starttls the reply shown is the one after the switch to TLS (where many servers first\n"
    "offer AUTH); without a TLS flag, STARTTLS in the list says the server offers it.\n" KELMAIL_EXIT_CODES,
};

namespace {

// The whole multi-line reply to the last command: the library appends it to
// the text of error -49, whose own words come before the reply code.
std::string LastWholeReply() {
  std::vector<char> buffer(8192, '\0');
  int n = kelErrorText(Channel, -49, buffer.data(), static_cast<int>(buffer.size()));
  std::string text(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
  size_t digit = 0;
  while (digit < text.size() && !std::isdigit(static_cast<unsigned char>(text[digit]))) ++digit;
  return text.substr(digit);
}

std::string Debug(int code) {
  char buffer[1024] = "";
  kelDebug(Channel, code, buffer, static_cast<int>(sizeof buffer));
  return buffer;
}

}  // namespace

int RunServerInfo(const Args &args) {
  const char *cmd = "serverinfo";
  if (!args.positional.empty()) return UsageError(cmd, "unexpected argument '" + args.positional[0] + "'");
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  Server server;
  if (int rc = ApplyConnection(cmd, args, 25, server)) return rc;
  kelIntegerParam(Channel, KEL_SMTP_PORT, server.port);
  const std::string where = server.host + ":" + std::to_string(server.port);
  int rc = kelSmtpConnect(Channel, server.host.c_str(), "<kelmail@localhost>", "");
  if (rc < 0) return Failure("connecting to SMTP server " + where, rc, Phase::Connect);
  // The greeting went by HELO (EHLO would start a login); EHLO now lists the extensions.
  rc = kelCommand(Channel, "EHLO localhost");
  if (rc < 0) return Failure("asking SMTP server " + where + " (EHLO)", rc, Phase::Connect);
  const std::string reply = LastWholeReply();
  const bool tls = kelStatistics(Channel, KEL_STAT_TLS) == 1;
  kelClose(Channel);

  std::printf("SMTP server %s\n", where.c_str());
  std::vector<std::string> lines;
  for (size_t start = 0; start < reply.size();) {
    size_t end = reply.find('\n', start);
    std::string line = reply.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 4) lines.push_back(line.substr(4));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!lines.empty()) std::printf("name:        %s\n", lines[0].c_str());
  std::string auth = "(none offered)";
  bool startTls = false;
  std::printf("extensions:\n");
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string upper;
    for (char c : lines[i]) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::printf("  %s\n", lines[i].c_str());
    if (upper.compare(0, 5, "AUTH ") == 0 || upper.compare(0, 5, "AUTH=") == 0) auth = lines[i].substr(5);
    if (upper == "STARTTLS") startTls = true;
  }
  std::printf("AUTH:        %s\n", auth.c_str());
  if (tls) {
    std::printf("TLS:         %s\n", Debug(KEL_DEBUG_TLS_INFO).c_str());
    std::printf("certificate: %s\n", Debug(KEL_DEBUG_TLS_PEER).c_str());
    std::printf("verified:    %s\n", args.Has("insecure") ? "no (--insecure: any certificate accepted)"
                                     : args.Has("cacert") ? ("yes, by " + args.Get("cacert")).c_str()
                                                          : "yes, by the system's trusted authorities");
  } else {
    std::printf("TLS:         none on this connection%s\n",
                startTls ? "; STARTTLS is offered (try --starttls)" : "; STARTTLS is not offered");
  }
  return ExitOk;
}

}  // namespace kelmail
