// Accounts and secrets (see account.h).
#include "account.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "session.h"

namespace kelmail {

namespace {

const char *const KnownKeys[] = {"host",      "port",      "tls",      "cacert",   "user",
                                 "auth",      "from",      "password", "passwordeval", "tokeneval",
                                 "pop3_host", "pop3_port", "imap_host", "imap_port", "proxy"};

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string HomeDir() {
  const char *home = std::getenv("HOME");
  return home && *home ? home : "";
}

// A value as written: bare (up to the end of the line) or in double quotes
// with backslash escapes for '"' and '\'.
bool ParseValue(const std::string &text, std::string &value) {
  std::string t = Trim(text);
  if (t.empty() || t[0] != '"') {
    value = t;
    return true;
  }
  value.clear();
  for (size_t i = 1; i < t.size(); ++i) {
    if (t[i] == '\\' && i + 1 < t.size()) {
      value += t[++i];
    } else if (t[i] == '"') {
      return Trim(t.substr(i + 1)).empty();
    } else {
      value += t[i];
    }
  }
  return false;  // no closing quote
}

bool ValidValue(const std::string &key, const std::string &value, std::string &why) {
  long number = 0;
  if (key == "port" || key == "pop3_port" || key == "imap_port") {
    if (!ParseNumber(value, 1, 65535, number)) {
      why = "not a port number";
      return false;
    }
  } else if (key == "tls") {
    if (value != "off" && value != "starttls" && value != "implicit") {
      why = "tls is off, starttls or implicit";
      return false;
    }
  } else if (key == "auth") {
    static const char *const names[] = {"auto", "cram-md5", "login", "plain", "xoauth2", "oauthbearer"};
    bool ok = false;
    for (const char *n : names) ok = ok || value == n;
    if (!ok) {
      why = "auth is auto, cram-md5, login, plain, xoauth2 or oauthbearer";
      return false;
    }
  }
  return true;
}


}  // namespace

std::string ConfigPath(const Args &args) {
  if (args.Has("config")) return args.Get("config");
  const char *xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/kelmail/config";
  std::string home = HomeDir();
  return home.empty() ? std::string() : home + "/.config/kelmail/config";
}

bool LoadConfig(const std::string &path, bool missingOk, ConfigFile &config, bool &found, std::string &error) {
  found = false;
  config = ConfigFile();
  config.path = path;
  if (path.empty()) return missingOk;
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT && missingOk) return true;
    error = "cannot read configuration file " + path + ": " + std::strerror(errno);
    return false;
  }
  found = true;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) config.readableByOthers = (st.st_mode & 077) != 0;
  Section *current = &config.defaults;
  bool inSection = false;
  std::string line;
  int number = 0;
  auto fail = [&](const std::string &why) {
    error = path + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t space = t.find_first_of(" \t");
    std::string key = t.substr(0, space);
    std::string rest = space == std::string::npos ? std::string() : Trim(t.substr(space));
    if (key == "defaults") {
      if (!rest.empty()) return fail("'defaults' takes no value");
      current = &config.defaults;
      inSection = true;
      continue;
    }
    if (key == "account") {
      std::string name = rest, parents;
      size_t colon = rest.find(':');
      if (colon != std::string::npos) {
        name = Trim(rest.substr(0, colon));
        parents = rest.substr(colon + 1);
      }
      if (name.empty() || name.find_first_of(" \t,") != std::string::npos) return fail("bad account name");
      if (config.accounts.count(name)) return fail("account '" + name + "' defined twice");
      Section section;
      section.name = name;
      std::stringstream list(parents);
      for (std::string parent; std::getline(list, parent, ',');) {
        parent = Trim(parent);
        if (parent.empty()) return fail("empty parent account name");
        section.parents.push_back(parent);
      }
      if (colon != std::string::npos && section.parents.empty()) return fail("no parent account after ':'");
      current = &(config.accounts[name] = section);
      inSection = true;
      continue;
    }
    bool known = false;
    for (const char *k : KnownKeys) known = known || key == k;
    if (!known) return fail("unknown key '" + key + "'");
    (void)inSection;
    std::string value, why;
    if (!ParseValue(rest, value)) return fail("unterminated quoted value");
    if (!ValidValue(key, value, why)) return fail("bad value for " + key + ": " + why);
    current->keys[key] = value;
    current->lines[key] = number;
    if (key == "password") config.holdsPassword = true;
  }
  // Every parent must exist, and no account may inherit from itself.
  for (const auto &a : config.accounts)
    for (const std::string &p : a.second.parents)
      if (!config.accounts.count(p)) {
        error = path + ": account '" + a.first + "' inherits from unknown account '" + p + "'";
        return false;
      }
  return true;
}

static bool Collect(const ConfigFile &config, const std::string &name, std::set<std::string> &seen,
                    std::map<std::string, std::string> &out, std::string &error) {
  auto it = config.accounts.find(name);
  if (it == config.accounts.end()) {
    error = "no account '" + name + "' in " + config.path;
    return false;
  }
  if (!seen.insert(name).second) {
    error = "account '" + name + "' inherits from itself in " + config.path;
    return false;
  }
  for (const std::string &p : it->second.parents)
    if (!Collect(config, p, seen, out, error)) return false;
  for (const auto &kv : it->second.keys) out[kv.first] = kv.second;
  seen.erase(name);
  return true;
}

bool ResolveAccount(const ConfigFile &config, const std::string &name, std::map<std::string, std::string> &out,
                    std::string &error) {
  out = config.defaults.keys;
  std::set<std::string> seen;
  return Collect(config, name, seen, out, error);
}

bool SplitUrl(const std::string &text, std::string &scheme, std::string &user, std::string &hostPort,
              std::string &error) {
  scheme.clear();
  user.clear();
  size_t sep = text.find("://");
  if (sep == std::string::npos) {
    hostPort = text;
    return true;
  }
  scheme = text.substr(0, sep);
  for (char &c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string rest = text.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('/') != std::string::npos) {
    error = "a path in server URL '" + text + "'";
    return false;
  }
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    // %40 for an '@' inside the user name, as URLs write it.
    for (size_t p; (p = user.find("%40")) != std::string::npos;) user.replace(p, 3, "@");
    if (user.empty() || user.find(':') != std::string::npos) {
      error = "server URL '" + text + "': a user name only (no password in a URL)";
      return false;
    }
  }
  hostPort = rest;
  return true;
}

bool IsLoopback(const std::string &host) {
  std::string h = host;
  for (char &c : h) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (h == "localhost" || h == "::1" || h == "[::1]" || h == "0:0:0:0:0:0:0:1") return true;
  if (h.size() > 10 && h.compare(h.size() - 10, 10, ".localhost") == 0) return true;
  unsigned a, b, c, d;
  char extra;
  return std::sscanf(h.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) == 4 && a == 127 && b < 256 && c < 256 &&
         d < 256;
}

Service ChosenService(Service base, const Args &args) {
  if (args.Has("imap")) return Service::Imap;
  if (args.Has("pop3")) return Service::Pop3;
  return base;
}

int ApplyAccount(const char *command, Service service, Args &args) {
  // What the command may talk to besides its own service.
  const bool mailbox = service == Service::Pop3 || service == Service::Imap;
  const bool serverInfo = std::strcmp(command, "serverinfo") == 0;
  if (args.Has("imap") && args.Has("pop3")) return UsageError(command, "--pop3 and --imap exclude each other");
  // A URL in --server: its scheme chooses the protocol and TLS, its user the login.
  if (args.Has("server")) {
    std::string scheme, user, hostPort, error;
    if (!SplitUrl(args.Get("server"), scheme, user, hostPort, error)) return UsageError(command, error);
    if (!scheme.empty()) {
      const bool smtp = scheme == "smtp" || scheme == "smtps", pop3 = scheme == "pop3" || scheme == "pop3s",
                 imap = scheme == "imap" || scheme == "imaps";
      if (!smtp && !pop3 && !imap)
        return UsageError(command,
                          "unknown URL scheme '" + scheme + "://' (smtp, smtps, pop3, pop3s, imap, imaps)");
      const bool fits = serverInfo || (smtp && service == Service::Smtp) ||
                        (imap && mailbox) || (pop3 && service == Service::Pop3);
      if (!fits) return UsageError(command, "a " + scheme + ":// server does not fit this command");
      if ((pop3 && args.Has("imap")) || (imap && args.Has("pop3")) || (smtp && (args.Has("imap") || args.Has("pop3"))))
        return UsageError(command, "a " + scheme + ":// server and --" + (args.Has("imap") ? "imap" : "pop3") +
                                       " contradict each other");
      if (imap && !args.Has("imap")) args.Add("imap", "1");
      if (pop3 && serverInfo && !args.Has("pop3")) args.Add("pop3", "1");
      if (scheme.back() == 's') {
        if (args.Has("starttls")) return UsageError(command, scheme + ":// is implicit TLS; drop --starttls");
        if (!args.Has("tls")) args.Add("tls", "1");
      }
      if (!user.empty() && !args.Has("user")) args.Add("user", user);
      args.Replace("server", hostPort);
    }
  }
  if (service == Service::None && !args.Has("account") && !args.Has("config")) return 0;
  ConfigFile config;
  bool found = false;
  std::string error;
  const std::string path = ConfigPath(args);
  if (!LoadConfig(path, !args.Has("config"), config, found, error)) {
    std::fprintf(stderr, "kelmail: %s\n", error.c_str());
    return ExitConfig;
  }
  service = ChosenService(service, args);
  std::string name = args.Get("account");
  if (name.empty() && !args.Has("server") && found && config.accounts.count("default")) name = "default";
  if (name.empty()) {
    // Only the defaults section applies without an account when no server is given.
    if (args.Has("server") || !found) return 0;
  } else if (!found) {
    std::fprintf(stderr, "kelmail: --account %s: no configuration file %s\n", name.c_str(), path.c_str());
    return ExitConfig;
  }
  if (config.holdsPassword && config.readableByOthers) {
    std::fprintf(stderr,
                 "kelmail: %s holds a password and may be read by other users; refusing to use it "
                 "(chmod 600 %s, or use passwordeval)\n",
                 path.c_str(), path.c_str());
    return ExitConfig;
  }
  std::map<std::string, std::string> settings;
  if (name.empty()) {
    settings = config.defaults.keys;
  } else if (!ResolveAccount(config, name, settings, error)) {
    std::fprintf(stderr, "kelmail: %s\n", error.c_str());
    return ExitConfig;
  }
  auto fill = [&](const char *option, const char *key) {
    auto it = settings.find(key);
    if (it != settings.end() && !args.Has(option)) args.Add(option, it->second);
  };
  args.Add("account-name", name);
  if (service == Service::Pop3 || service == Service::Imap) {
    // The account's own host for the protocol, else its host; the port
    // only from the protocol's key (the port key is SMTP's).
    const char *host = service == Service::Pop3 ? "pop3_host" : "imap_host";
    const bool own = settings.count(host) != 0;
    if (!args.Has("server")) {
      fill("server", own ? host : "host");
      fill("port", service == Service::Pop3 ? "pop3_port" : "imap_port");
    }
  } else if (service == Service::Smtp) {
    if (!args.Has("server")) {
      fill("server", "host");
      fill("port", "port");
    }
    fill("from", "from");
  }
  if (!args.Has("tls") && !args.Has("starttls")) {
    const std::string tls = settings.count("tls") ? settings["tls"] : "off";
    if (tls == "starttls") args.Add("starttls", "1");
    if (tls == "implicit") args.Add("tls", "1");
  }
  fill("cacert", "cacert");
  fill("proxy", "proxy");
  fill("user", "user");
  fill("auth", "auth");
  if (!args.Has("password") && !args.Has("password-env")) fill("password-cmd", "passwordeval");
  if (!args.Has("token-env")) fill("token-cmd", "tokeneval");
  fill("config-password", "password");
  return 0;
}

bool RunSecretCommand(const std::string &command, std::string &line, std::string &error) {
  int fds[2];
  if (pipe(fds) != 0) {
    error = std::string("cannot run it: ") + std::strerror(errno);
    return false;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]), close(fds[1]);
    error = std::string("cannot run it: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (out.size() < 65536) out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = WIFEXITED(status) ? "it exited with status " + std::to_string(WEXITSTATUS(status))
                              : "it was killed by signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  line = out.substr(0, out.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    error = "it printed nothing";
    return false;
  }
  return true;
}

int NetrcLookup(const std::string &host, std::string &user, std::string &password) {
  const char *env = std::getenv("NETRC");
  std::string path = env && *env ? env : HomeDir().empty() ? std::string() : HomeDir() + "/.netrc";
  if (path.empty()) return 0;
  std::ifstream in(path);
  if (!in) return 0;
  std::vector<std::string> tokens;
  std::string line;
  bool inMacro = false;
  while (std::getline(in, line)) {
    if (inMacro) {  // a macro definition runs to the next empty line
      if (Trim(line).empty()) inMacro = false;
      continue;
    }
    std::stringstream words(line);
    for (std::string w; words >> w;) {
      if (w[0] == '#' && tokens.empty()) break;
      if (w == "macdef") {
        inMacro = true;
        break;
      }
      tokens.push_back(w);
    }
  }
  bool hasPassword = false;
  for (const std::string &t : tokens) hasPassword = hasPassword || t == "password";
  struct stat st;
  if (hasPassword && stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
    std::fprintf(stderr, "kelmail: %s holds passwords and may be read by other users; refusing to use it (chmod 600 %s)\n",
                 path.c_str(), path.c_str());
    return -ExitConfig;
  }
  // Entries: "machine NAME" or "default", then login/password/account pairs.
  for (size_t i = 0; i < tokens.size();) {
    bool isDefault = tokens[i] == "default";
    bool isMachine = tokens[i] == "machine" && i + 1 < tokens.size();
    if (!isDefault && !isMachine) {
      ++i;
      continue;
    }
    std::string machine = isMachine ? tokens[i + 1] : "";
    i += isMachine ? 2 : 1;
    std::string login, pass;
    bool gotPass = false;
    while (i + 1 < tokens.size() && tokens[i] != "machine" && tokens[i] != "default") {
      if (tokens[i] == "login") login = tokens[i + 1];
      if (tokens[i] == "password") pass = tokens[i + 1], gotPass = true;
      i += 2;
    }
    if (!isDefault && machine != host) continue;
    if (!user.empty() && !login.empty() && login != user) continue;
    if (!gotPass) continue;
    if (user.empty()) user = login;
    password = pass;
    return 1;
  }
  return 0;
}

// Reads a line from the terminal without echo.
static bool Prompt(const std::string &text, std::string &answer) {
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  if (write(fd, text.data(), text.size()) < 0) {
    close(fd);
    return false;
  }
  termios saved;
  bool restore = tcgetattr(fd, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  answer.clear();
  char c;
  bool ok = false;
  while (read(fd, &c, 1) == 1) {
    if (c == '\n') {
      ok = true;
      break;
    }
    if (answer.size() < 4096) answer += c;
  }
  if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
  close(fd);
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return ok;
}

int ObtainPassword(const char *command, const Args &args, const std::string &host, std::string &user,
                   std::string &password, bool &found) {
  found = true;
  if (args.Has("password")) {
    password = args.Get("password");
    return 0;
  }
  if (args.Has("password-env")) {
    const char *value = std::getenv(args.Get("password-env").c_str());
    if (value) {
      password = value;
      return 0;
    }
    found = false;
    return 0;
  }
  if (args.Has("password-cmd")) {
    std::string error;
    if (!RunSecretCommand(args.Get("password-cmd"), password, error)) {
      std::fprintf(stderr, "kelmail %s: the password command failed: %s\n", command, error.c_str());
      return ExitConfig;
    }
    return 0;
  }
  if (const char *value = std::getenv("KELMAIL_PASSWORD")) {
    password = value;
    return 0;
  }
  if (args.Has("config-password")) {
    password = args.Get("config-password");
    return 0;
  }
  int rc = NetrcLookup(host, user, password);
  if (rc < 0) return -rc;
  if (rc == 1) return 0;
  if (isatty(0) == 1 && !user.empty() && Prompt("Password for " + user + "@" + host + ": ", password)) return 0;
  found = false;
  return 0;
}

int ObtainToken(const char *command, const Args &args, std::string &token, bool &found) {
  found = false;
  if (args.Has("token-env")) {
    const char *value = std::getenv(args.Get("token-env").c_str());
    if (!value) return UsageError(command, "no token in $" + args.Get("token-env"));
    token = value;
  } else if (args.Has("token-cmd")) {
    std::string error;
    if (!RunSecretCommand(args.Get("token-cmd"), token, error)) {
      std::fprintf(stderr, "kelmail %s: the token command failed: %s\n", command, error.c_str());
      return ExitConfig;
    }
  } else if (const char *value = std::getenv("KELMAIL_TOKEN")) {
    token = value;
  }
  found = !token.empty();
  return 0;
}

int CheckPlaintextAuth(const char *command, const Args &args, const std::string &host) {
  if (args.Has("tls") || args.Has("starttls") || args.Has("allow-plaintext-auth") || IsLoopback(host)) return 0;
  std::fprintf(stderr,
               "kelmail %s: refusing to send a password or token to %s over an unencrypted connection; "
               "add --starttls (or --tls for implicit TLS), or --allow-plaintext-auth if you must\n",
               command, host.c_str());
  return ExitConfig;
}

const Command ConfigCommand = {
    "config",
    "config [--account NAME] [--config FILE]",
    "Prints the settings in effect for an account (the default one when none is named), with\n"
    "inheritance applied and secrets masked, and the file they come from.",
    {
        {"account", 0, "NAME", false, "the account to show (default: the account named default)"},
        {"config", 0, "FILE", false, "configuration file (default ~/.config/kelmail/config)"},
    },
    "The file has a 'defaults' section and 'account NAME [: PARENT]' sections of 'key value' lines;\n"
    "see kelmail(1).\n" KELMAIL_EXIT_CODES,
};

int RunConfig(const Args &args) {
  const char *cmd = "config";
  if (!args.positional.empty()) return UsageError(cmd, "unexpected argument '" + args.positional[0] + "'");
  ConfigFile config;
  bool found = false;
  std::string error;
  const std::string path = ConfigPath(args);
  if (!LoadConfig(path, !args.Has("config"), config, found, error)) {
    std::fprintf(stderr, "kelmail: %s\n", error.c_str());
    return ExitConfig;
  }
  if (!found) {
    std::printf("no configuration file (%s)\n", path.empty() ? "HOME is not set" : path.c_str());
    return args.Has("account") ? ExitConfig : ExitOk;
  }
  std::string name = args.Get("account");
  if (name.empty() && config.accounts.count("default")) name = "default";
  std::map<std::string, std::string> settings = config.defaults.keys;
  if (!name.empty() && !ResolveAccount(config, name, settings, error)) {
    std::fprintf(stderr, "kelmail: %s\n", error.c_str());
    return ExitConfig;
  }
  std::printf("configuration file: %s\n", path.c_str());
  if (config.holdsPassword && config.readableByOthers)
    std::printf("warning: the file holds a password and may be read by other users; kelmail refuses it\n");
  std::printf("account: %s\n", name.empty() ? "(none: the defaults only)" : name.c_str());
  for (const auto &kv : settings) {
    std::string value = kv.second;
    if (kv.first == "password") value = "********";
    std::printf("%-12s %s\n", kv.first.c_str(), value.c_str());
  }
  std::printf("accounts:");
  for (const auto &a : config.accounts) std::printf(" %s", a.first.c_str());
  std::printf("\n");
  return ExitOk;
}

}  // namespace kelmail
