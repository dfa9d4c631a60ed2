// Accounts and secrets: the configuration file (~/.config/kelmail/config),
// server URLs, and where a password or token comes from (a command, the
// environment, ~/.netrc, a prompt).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "options.h"

namespace kelmail {

// One section of the configuration file.
struct Section {
  std::string name;                          // "" for the defaults section
  std::vector<std::string> parents;          // "account NAME : PARENT, ..."
  std::map<std::string, std::string> keys;   // key -> value
  std::map<std::string, int> lines;          // key -> line number, for messages
};

struct ConfigFile {
  std::string path;
  Section defaults;
  std::map<std::string, Section> accounts;
  bool holdsPassword = false;  // some section has a "password" key
  bool readableByOthers = false;
};

// The configuration file kelmail reads: --config FILE, else
// $XDG_CONFIG_HOME/kelmail/config, else ~/.config/kelmail/config.
std::string ConfigPath(const Args &args);

// Reads and checks a configuration file. Returns true on success (also
// when the file is missing and missingOk); otherwise error names the file
// and line.
bool LoadConfig(const std::string &path, bool missingOk, ConfigFile &config, bool &found, std::string &error);

// The settings of an account with inheritance applied: defaults, then each
// parent (recursively), then the account's own keys.
bool ResolveAccount(const ConfigFile &config, const std::string &name, std::map<std::string, std::string> &out,
                    std::string &error);

// What a command needs of the account machinery.
enum class Service { Smtp, Pop3, Imap, None };

// The service a command talks to: its own, or the one that --pop3 or
// --imap (set also by a pop3:// or imap:// server URL) chose.
Service ChosenService(Service base, const Args &args);

// Puts the settings of the chosen account into args where no option gave
// them (options win), after taking a URL in --server apart. The account is
// --account NAME, or "default" when the file has one and no --server was
// given. A mailbox command (POP3 by default) turns to IMAP with --imap or
// an imap:// URL; serverinfo (SMTP by default) to POP3 or IMAP likewise.
// Returns 0 or an exit code after reporting.
int ApplyAccount(const char *command, Service service, Args &args);

// Takes "smtp://user@host:port" apart; a text without "://" is kept whole
// as host. scheme is "" then. Returns false with a message on a bad URL.
bool SplitUrl(const std::string &text, std::string &scheme, std::string &user, std::string &hostPort,
              std::string &error);

// True for names and addresses of the loopback interface.
bool IsLoopback(const std::string &host);

// Runs CMD through /bin/sh -c and gives its first output line. Returns
// false with a message when it fails, exits non-zero or prints nothing.
bool RunSecretCommand(const std::string &command, std::string &line, std::string &error);

// The entry of a netrc file (NETRC, else ~/.netrc) for a host, and, when
// user is not empty, that login. Returns 1 found, 0 none, or an exit code
// (negated) after reporting an unsafe or unreadable file.
int NetrcLookup(const std::string &host, std::string &user, std::string &password);

// The password for a login, in this order: --password, --password-env VAR,
// --password-cmd CMD (or the account's passwordeval), KELMAIL_PASSWORD, the
// account's password, ~/.netrc, and a prompt when standard input is a
// terminal. user may be filled from ~/.netrc when it is empty. Returns 0
// (found tells whether there is one) or an exit code after reporting.
int ObtainPassword(const char *command, const Args &args, const std::string &host, std::string &user,
                   std::string &password, bool &found);

// A bearer token: --token-env VAR, else --token-cmd CMD (or tokeneval),
// else KELMAIL_TOKEN. Returns 0 (found tells) or an exit code.
int ObtainToken(const char *command, const Args &args, std::string &token, bool &found);

// Refuses (ExitConfig) to send a secret over plain TCP to a server not on
// loopback, unless --allow-plaintext-auth. Returns 0 when allowed.
int CheckPlaintextAuth(const char *command, const Args &args, const std::string &host);

// kelmail config: the settings in effect, secrets masked.
extern const Command ConfigCommand;
int RunConfig(const Args &args);

}  // namespace kelmail
