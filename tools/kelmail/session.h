// What every kelmail subcommand shares: exit codes, the library's
// attach/release, error reports with the library's own texts, the
// connection options, and the driver loop that shows progress.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "options.h"

namespace kelmail {

// Exit codes after sysexits(3), so that scripts can tell "try again later"
// from "fix the address".
enum ExitCode {
  ExitOk = 0,
  ExitUsage = 64,        // bad arguments
  ExitDataError = 65,    // the message or an address is malformed
  ExitNoInput = 66,      // an input file (or a message number) does not exist
  ExitNoUser = 67,       // a recipient refused for good (5xx), an address not verified
  ExitNoHost = 68,       // the server's name is unknown
  ExitUnavailable = 69,  // the server refused the service
  ExitSoftware = 70,     // an internal error
  ExitCantCreate = 73,   // an output file cannot be written
  ExitTempFail = 75,     // connection refused or lost, time-out, 4xx: try again later
  ExitProtocol = 76,     // a protocol or TLS failure
  ExitNoPerm = 77,       // the login was refused
  ExitConfig = 78,       // a configuration error (file, secret command, unsafe setting)
};

// The exit codes as every command's --help lists them.
#define KELMAIL_EXIT_CODES                                                                          \
  "Exit codes: 0 done; 64 bad arguments; 65 malformed message or address; 66 input file or\n"      \
  "message missing; 67 recipient refused for good (5xx) or address not verified; 68 host unknown;\n" \
  "69 service refused; 70 internal error; 73 cannot write output; 75 temporary failure (connection\n" \
  "refused or lost, time-out, 4xx): try again later; 76 protocol or TLS failure; 77 login refused;\n" \
  "78 configuration error.\n"

// Where in a session a library error came from; it decides between
// codes the library shares (a 5xx is a refused login, a refused recipient
// or a refused service depending on the command it answered).
enum class Phase { Connect, Login, Send, Other };

// The exit code for a library error code, judged by the channel's last
// reply (its code and, for POP3 and IMAP, its response code: RFC 2449,
// RFC 5530).
int ExitFor(int code, Phase phase);

// Every session of kelmail runs on channel 0 of a one-channel attach.
constexpr unsigned Channel = 0;

// kelAttach on construction, kelRelease on destruction.
class Library {
 public:
  Library();
  ~Library();
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;
  int Status() const { return status_; }  // the result of kelAttach

 private:
  int status_;
};

// The library's text for an error code; for SMTP/POP3 errors it carries the
// server's reply as the library appends it. Never empty.
std::string ErrorText(int code);

// Prints "kelmail: <what>: <text> (error <code>)" to standard error and
// returns ExitFor(code, phase).
int Failure(const std::string &what, int code, Phase phase = Phase::Other);
// Prints "kelmail <command>: <message>" and a pointer to --help; returns ExitUsage.
int UsageError(const char *command, const std::string &message);

struct Server {
  std::string host;
  int port = 0;
};
// "host", "host:port" or "[host]:port"; the port also from --port.
bool ParseServer(const std::string &text, int defaultPort, Server &out, std::string &error);

// The options every session subcommand takes (server, log, time-outs, progress).
std::vector<OptionSpec> ConnectionOptions(const char *serverHelp);
// The POP3 login options (user, password, APOP).
std::vector<OptionSpec> Pop3LoginOptions();

// Applies the connection options to the library: log file, time-outs, step
// delay. Returns 0 or an exit code after reporting the problem.
int ApplyConnection(const char *command, const Args &args, int defaultPort, Server &server);

// The login choices every login subcommand takes: --auth MECHANISM and
// --token-env VAR (an OAuth 2.0 bearer token; also KELMAIL_TOKEN).
std::vector<OptionSpec> AuthOptions();

// Applies --auth and the token to the channel. token is set to whether a
// bearer token was found. mailbox: a POP3 or IMAP login, which knows no
// CRAM-MD5 or LOGIN. Returns 0 or an exit code after reporting.
int ApplyAuth(const char *command, const Args &args, bool mailbox, bool &token);

// True when progress is to be shown: standard error is a terminal, or --progress.
bool ProgressWanted(const Args &args);

// A long transfer: its label, the number the counter runs up to, and the
// kelStatistics code of the counter.
struct Transfer {
  std::string label;
  long total = 0;
  int counter = 0;
};

// Runs one session call. Without progress the call is made in blocking
// mode and its result returned. With progress the channel is put into
// non-blocking mode, the call is started and the driver is stepped here,
// printing the counter on standard error, until the operation ends; the
// result is the driver's final one (0 or an error code).
int RunCall(bool progress, const Transfer &transfer, const std::function<int()> &start);

// Puts angle brackets around a bare address ("a@b" -> "<a@b>"); text that
// holds a "<" already is kept as it is.
std::string Bracketed(const std::string &address);
// The same for every entry of a comma-separated list.
std::string BracketList(const std::string &list);

void SleepMs(int ms);

}  // namespace kelmail

// A temporary file (under TMPDIR, else /tmp) holding a text, removed again
// when the object goes: a message or a body handed to the library by name.
class TempFile {
 public:
  explicit TempFile(const char *what) : what_(what) {}
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  bool Write(const std::string &text);  // false when it could not be written whole
  const std::string &Path() const { return path_; }

 private:
  const char *what_;
  std::string path_;
};
