// kelmail list, fetch, delete and folders: the mailbox side, over POP3 or
// IMAP (--imap). The library's mailbox calls work alike on both; what
// differs is the login, the unique ids (UIDL text, or UIDVALIDITY.UID) and
// the undecoded retrieval.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "account.h"
#include "commands.h"
#include "deliver.h"
#include "kel32.h"
#include "session.h"

namespace kelmail {

// Saved attachment names come back from the library separated by this
// character; a control character keeps commas in file names unambiguous.
constexpr char AttachSeparator = '\x1f';
// The library keeps paths of at most 128 characters; a directory longer
// than this leaves too little room for the file names.
constexpr size_t DirectoryLimit = 100;

static const char Pop3Notes[] =
    "The password may also come from the environment variable KELMAIL_PASSWORD, an account's\n"
    "passwordeval or ~/.netrc. With a bearer token (--token-cmd CMD, --token-env VAR, or\n"
    "KELMAIL_TOKEN) the login is AUTH XOAUTH2 or OAUTHBEARER (IMAP: AUTHENTICATE) and no\n"
    "password is needed. Without a TLS flag, no password or token goes to a server off loopback.\n"
    "Over IMAP the messages are those of --mailbox that --search finds, numbered 1.. in UID order,\n"
    "and their unique ids are UIDVALIDITY.UID.\n" KELMAIL_EXIT_CODES;

static const char MailboxServerHelp[] =
    "POP3 or IMAP server: name, address or pop3:// pop3s:// imap:// imaps:// URL (default port 110, IMAP 143)";

// The IMAP choices of list, fetch and delete (--mark-seen: fetch only).
std::vector<OptionSpec> ImapOptions(bool fetch) {
  std::vector<OptionSpec> options = {
      {"imap", 0, nullptr, false, "read the mailbox over IMAP instead of POP3 (also an imap:// or imaps:// server)"},
      {"mailbox", 0, "NAME", false, "IMAP: the mailbox (folder) to read, UTF-8 (default INBOX)"},
      {"search", 0, "TEXT", false,
       "IMAP: only the messages this search finds, e.g. UNSEEN or 'SINCE 1-Dec-2026 FROM alice' (default ALL)"},
  };
  if (fetch) options.push_back({"mark-seen", 0, nullptr, false, "IMAP: mark each fetched message seen (default: left as it was)"});
  return options;
}

std::vector<OptionSpec> MailboxOptions(bool fetch) {
  return Join(Join(Join(ConnectionOptions(MailboxServerHelp), Pop3LoginOptions()), AuthOptions()), ImapOptions(fetch));
}

const Command ListCommand = {
    "list",
    "list --server HOST[:PORT] --user NAME [--imap [--mailbox NAME] [--search TEXT]] [options]",
    "Shows the number of messages in a POP3 or IMAP mailbox and, for each, its size and unique id.",
    Join(MailboxOptions(false), {{"json", 0, nullptr, false, "print the list as JSON"}}),
    Pop3Notes,
};

const Command FetchCommand = {
    "fetch",
    "fetch --server HOST[:PORT] --user NAME (--new | --all | NUMBER...) [target] [options]",
    "Saves messages from a POP3 or IMAP mailbox: by default each into an email file with its\n"
    "attachments decoded into files of their own; or undecoded, as the server stores them, into\n"
    "files (--raw), a Maildir, an mbox file or a delivery program. --new fetches only what no\n"
    "earlier run fetched.",
    Join(MailboxOptions(true),
         {
             {"all", 0, nullptr, false, "fetch every message"},
             {"new", 'n', nullptr, false,
              "fetch only messages not fetched before (by unique id: UIDL, or IMAP UIDVALIDITY.UID)"},
             {"state", 0, "FILE", false,
              "with --new: the file of ids fetched (default $XDG_STATE_HOME/kelmail/uids-ACCOUNT, over IMAP "
              "imap-uids-ACCOUNT,MAILBOX)"},
             {"dir", 'd', "DIR", false, "directory for the email files (default: the current one)"},
             {"attach-dir", 'A', "DIR", false, "directory for the attachments (default: as --dir)"},
             {"raw", 0, nullptr, false, "save each message undecoded, as the server stores it"},
             {"maildir", 0, "DIR", false, "deliver into the Maildir DIR (created when missing)"},
             {"mbox", 0, "FILE", false, "append to the mbox FILE (mboxrd, locked with fcntl)"},
             {"mda", 0, "CMD", false, "pipe each message to CMD (through /bin/sh); exit status 0 is delivered"},
             {"number-files", 0, nullptr, false, "prefix attachment file names with a running number"},
             {"save-unnamed", 0, nullptr, false, "also save Base64 parts that have no file name"},
             {"no-note", 0, nullptr, false, "leave no '[Attachment saved to ...]' line in the email file"},
             {"delete", 0, nullptr, false, "delete each message from the server once it is delivered"},
         }),
    "Email files are named message-NUMBER.eml, or message-NUMBER (1).eml and so on when the name\n"
    "is taken: no existing file is replaced. --delete deletes a message only after its delivery\n"
    "succeeded and was written to disk; with --new after its id was recorded too.\n"
    "With --new, 'no new messages' is a success (exit 0). Over IMAP, --mark-seen marks a message\n"
    "seen as it is fetched (decoded files) or once it is delivered (the other targets).\n"
    "The password may also come from the environment variable KELMAIL_PASSWORD.\n" KELMAIL_EXIT_CODES,
};

const Command DeleteCommand = {
    "delete",
    "delete --server HOST[:PORT] --user NAME (--all | NUMBER...) [--imap ...] [options]",
    "Deletes messages from a POP3 or IMAP mailbox (IMAP: flagged \\Deleted and expunged at the end).",
    Join(MailboxOptions(false), {{"all", 0, nullptr, false, "delete every message"}}),
    Pop3Notes,
};

const Command FoldersCommand = {
    "folders",
    "folders --server HOST[:PORT] --user NAME [options]",
    "Lists the folders (mailboxes) of an IMAP account, one line each: the name in UTF-8, a tab, and\n"
    "its attributes (such as \\HasNoChildren or \\Sent).",
    Join(Join(Join(ConnectionOptions("IMAP server: name, address or imap:// imaps:// URL (default port 143)"),
                   Pop3LoginOptions()),
              AuthOptions()),
         {{"imap", 0, nullptr, false, "accepted for symmetry: folders are always read over IMAP"}}),
    Pop3Notes,
};

namespace {

bool Imap(const Args &args) { return args.Has("imap"); }
const char *Protocol(const Args &args) { return Imap(args) ? "IMAP" : "POP3"; }

// The IMAP options make sense over IMAP only, APOP over POP3 only.
int CheckProtocolOptions(const char *cmd, const Args &args) {
  for (const char *o : {"mailbox", "search", "mark-seen"})
    if (args.Has(o) && !Imap(args)) return UsageError(cmd, std::string("--") + o + " goes with --imap (or an imap:// server)");
  if (args.Has("apop") && Imap(args)) return UsageError(cmd, "--apop is for POP3");
  return 0;
}

// The mailbox as the user named it, and the search when one narrows it.
std::string MailboxShown(const Args &args) {
  std::string shown = args.Get("mailbox", "INBOX");
  if (args.Has("search") && args.Get("search") != "ALL") shown += " (" + args.Get("search") + ")";
  return shown;
}

}  // namespace

int MailboxLogin(const char *cmd, const Args &args, std::string &where, std::string *loginUser) {
  if (int rc = CheckProtocolOptions(cmd, args)) return rc;
  const bool imap = Imap(args);
  Server server;
  if (int rc = ApplyConnection(cmd, args, imap ? 143 : 110, server)) return rc;
  bool token = false;
  if (int rc = ApplyAuth(cmd, args, true, token)) return rc;
  std::string user = args.Get("user"), password;
  bool found = false;
  if (!token) {
    if (int rc = ObtainPassword(cmd, args, server.host, user, password, found)) return rc;
  }
  if (user.empty()) return UsageError(cmd, "missing --user");
  if (!found && !token)
    return UsageError(cmd, "no password: give --password-cmd CMD, --password-env VAR, set KELMAIL_PASSWORD, "
                           "or a passwordeval in the configuration file");
  if (int rc = CheckPlaintextAuth(cmd, args, server.host)) return rc;
  kelIntegerParam(Channel, KEL_ATTACH_SEPARATOR, AttachSeparator);
  where = server.host + ":" + std::to_string(server.port);
  if (loginUser) *loginUser = user;
  int rc;
  if (imap) {
    kelIntegerParam(Channel, KEL_IMAP_PORT, server.port);
    kelIntegerParam(Channel, KEL_IMAP_MARK_SEEN, args.Has("mark-seen") ? 1 : 0);
    if (kelStringParam(Channel, KEL_IMAP_MAILBOX, args.Get("mailbox", "INBOX").c_str()) < 0)
      return UsageError(cmd, "--mailbox: too long or holds a line break");
    if (kelStringParam(Channel, KEL_IMAP_SEARCH, args.Get("search", "ALL").c_str()) < 0)
      return UsageError(cmd, "--search: too long or holds a line break");
    rc = kelImapConnect(Channel, server.host.c_str(), user.c_str(), password.c_str());
  } else {
    kelIntegerParam(Channel, KEL_POP3_PORT, server.port);
    kelIntegerParam(Channel, KEL_ENABLE_APOP, args.Has("apop") ? 1 : 0);
    rc = kelPop3Connect(Channel, server.host.c_str(), user.c_str(), password.c_str());
  }
  if (rc >= 0) return 0;
  const int exit = Failure(std::string("logging in to ") + Protocol(args) + " server " + where, rc, Phase::Login);
  // A refused SELECT without a response code (Dovecot: "NO Mailbox doesn't
  // exist") would pass for a refused login: the mailbox named is missing.
  if (imap && exit == ExitNoPerm && rc == -60 && args.Has("mailbox")) {
    std::string text = ErrorText(rc);
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text.find('[') == std::string::npos && (text.find("mailbox") != std::string::npos ||
                                                text.find("exist") != std::string::npos)) {
      std::fprintf(stderr, "kelmail %s: no mailbox '%s' (kelmail folders lists them)\n", cmd,
                   args.Get("mailbox").c_str());
      return ExitNoInput;
    }
  }
  // A search the server cannot parse is answered BAD: the user's text to mend.
  if (imap && exit == ExitProtocol && rc == -60 && args.Has("search")) {
    std::fprintf(stderr, "kelmail %s: the server did not take the search '%s' (IMAP search keys, RFC 3501 6.4.4)\n",
                 cmd, args.Get("search").c_str());
    return ExitUsage;
  }
  return exit;
}

namespace {

// Connects and logs in; returns 0 or an exit code after reporting.
int Login(const char *cmd, const Args &args, std::string &where, std::string *loginUser = nullptr) {
  return MailboxLogin(cmd, args, where, loginUser);
}

// The message numbers named on the command line, before the session:
// none with --all. Returns 0 or an exit code.
int ParseSelection(const char *cmd, const Args &args, std::vector<int> &numbers) {
  if (args.Has("all")) {
    if (!args.positional.empty()) return UsageError(cmd, "give --all or message numbers, not both");
    return 0;
  }
  if (args.positional.empty()) return UsageError(cmd, "name the messages (numbers from 1) or give --all");
  for (const std::string &p : args.positional) {
    long n = 0;
    if (!ParseNumber(p, 1, 0x7fffffff, n)) return UsageError(cmd, "bad message number '" + p + "'");
    bool seen = false;
    for (int m : numbers) seen = seen || m == n;
    if (!seen) numbers.push_back(static_cast<int>(n));
  }
  return 0;
}

// Checks the selection against the mailbox (filling it for --all).
int CheckSelection(const Args &args, int count, std::vector<int> &numbers) {
  if (args.Has("all")) {
    for (int n = 1; n <= count; ++n) numbers.push_back(n);
    return 0;
  }
  for (int n : numbers) {
    if (n > count) {
      std::fprintf(stderr, "kelmail: no message %d: the mailbox holds %d message(s)\n", n, count);
      return ExitNoInput;
    }
  }
  return 0;
}

int Count(int &count) {
  count = kelGetEmailCount(Channel);
  if (count < 0) return Failure("counting the messages", count);
  return 0;
}

int Close() {
  int rc = kelClose(Channel);
  if (rc < 0) return Failure("ending the session", rc);
  return ExitOk;
}

long long SizeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string JoinDir(const std::string &dir, const std::string &name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Deletes one message; a DELE the server refused is an error here.
int Delete(int n) {
  int rc = kelDeleteEmail(Channel, n);
  if (rc < 0) return Failure("deleting message " + std::to_string(n), rc);
  if (kelStatistics(Channel, KEL_STAT_REPLY_CODE) >= 500) {
    char reply[256] = "";
    kelDebug(Channel, KEL_DEBUG_LAST_REPLY, reply, static_cast<int>(sizeof reply));
    std::fprintf(stderr, "kelmail: the server refused to delete message %d: %s\n", n, reply);
    return ExitUnavailable;
  }
  return 0;
}


// The unique id of every message, "-" where the server gave none: the
// UIDL list after its status line, or IMAP's "n UIDVALIDITY.UID" lines.
int Uids(bool imap, int count, std::vector<std::string> &uids) {
  uids.assign(static_cast<size_t>(count), "-");
  if (count <= 0) return 0;
  std::vector<char> buffer(static_cast<size_t>(count) * 84 + 256, '\0');
  int rc = kelGetEmailUID(Channel, -1, buffer.data(), static_cast<int>(buffer.size()));
  if (rc < 0) return Failure("asking the unique ids", rc);
  std::string text = (imap ? "\n" : "") + std::string(buffer.data());
  size_t pos = text.find('\n');  // skip the status line
  bool positive = imap || (!text.empty() && text[0] == '+');
  while (positive && pos != std::string::npos && pos + 1 < text.size()) {
    size_t end = text.find('\n', pos + 1);
    std::string line = text.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t space = line.find(' ');
    long n = 0;
    if (space != std::string::npos && ParseNumber(line.substr(0, space), 1, count, n))
      uids[static_cast<size_t>(n - 1)] = line.substr(space + 1);
    pos = end;
  }
  return 0;
}

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The whole message undecoded, through TOP with a line count no message
// reaches: the library reads it up to the end line into a buffer, dots
// unstuffed (a connection that breaks off before the end line fails the
// call). A NOOP answered afterwards confirms that the session is still in
// step, so nothing half-read is ever saved.
//
// Over IMAP the library fetches the message's bytes (BODY.PEEK[]) up to
// the buffer's size; the tagged OK has already confirmed the whole literal.
int RetrieveUndecoded(bool imap, int n, int size, bool progress, std::string &message) {
  long long capacity = static_cast<long long>(size) * 2 + 65536;
  if (capacity > 0x7fffff00LL) capacity = 0x7fffff00LL;
  std::vector<char> buffer(static_cast<size_t>(capacity) + 2, '\0');
  Transfer transfer{"receiving message " + std::to_string(n), size, KEL_STAT_TOTAL_READ};
  // Blocking, the call returns the bytes stored; started without blocking, 0.
  int rc = RunCall(progress, transfer, [&] {
    int r = kelGetEmailLines(Channel, n, 0x7fffffff, buffer.data(), static_cast<int>(capacity));
    return r > 0 ? 0 : r;
  });
  if (rc < 0) return Failure("retrieving message " + std::to_string(n), rc, Phase::Other);
  const int used = kelStatistics(Channel, KEL_STAT_BUFFER_USED);
  if (imap) {
    if (used < 0 || used >= capacity) {
      std::fprintf(stderr, "kelmail: message %d is larger than the server announced; not saved\n", n);
      return ExitProtocol;
    }
    message.assign(buffer.data(), static_cast<size_t>(used));
    return 0;
  }
  if (used < 0 || used >= capacity || kelStatistics(Channel, KEL_STAT_BODY_READ) != used) {
    std::fprintf(stderr, "kelmail: message %d is larger than the server announced; not saved\n", n);
    return ExitProtocol;
  }
  rc = kelCommand(Channel, "NOOP");
  if (rc < 0) {
    std::fprintf(stderr, "kelmail: message %d did not end properly; not saved\n", n);
    return Failure("after retrieving message " + std::to_string(n), rc, Phase::Other);
  }
  std::string error;
  if (!StripStatusLine(std::string(buffer.data(), static_cast<size_t>(used)), message, error)) {
    std::fprintf(stderr, "kelmail: message %d: %s\n", n, error.c_str());
    return ExitUnavailable;
  }
  return 0;
}

}  // namespace

int RunList(const Args &args) {
  const char *cmd = "list";
  if (!args.positional.empty()) return UsageError(cmd, "unexpected argument '" + args.positional[0] + "'");
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  std::string where;
  if (int rc = Login(cmd, args, where)) return rc;
  int count = 0;
  if (int rc = Count(count)) return rc;

  std::vector<int> sizes;
  long long total = 0;
  for (int n = 1; n <= count; ++n) {
    int size = kelGetEmailSize(Channel, n);
    if (size < 0) return Failure("asking the size of message " + std::to_string(n), size);
    sizes.push_back(size);
    total += size;
  }
  // One UIDL for the whole list: a line "n uid" per message after the status line.
  std::vector<std::string> uids;
  if (int rc = Uids(Imap(args), count, uids)) return rc;
  if (args.Has("json")) {
    std::printf("{\"server\": %s, ", JsonString(where).c_str());
    if (Imap(args))
      std::printf("\"mailbox\": %s, \"search\": %s, ", JsonString(args.Get("mailbox", "INBOX")).c_str(),
                  JsonString(args.Get("search", "ALL")).c_str());
    std::printf("\"count\": %d, \"bytes\": %lld, \"messages\": [", count, total);
    for (int n = 1; n <= count; ++n) {
      const std::string &uid = uids[static_cast<size_t>(n - 1)];
      std::printf("%s\n  {\"number\": %d, \"size\": %d, \"uid\": %s}", n > 1 ? "," : "", n,
                  sizes[static_cast<size_t>(n - 1)], uid == "-" ? "null" : JsonString(uid).c_str());
    }
    std::printf("%s]}\n", count > 0 ? "\n" : "");
    return Close();
  }
  const std::string shown = Imap(args) ? where + " " + MailboxShown(args) : where;
  std::printf("%s: %d message(s), %lld bytes\n", shown.c_str(), count, total);
  if (count > 0) std::printf("%6s %10s  %s\n", "number", "size", "unique id");
  for (int n = 1; n <= count; ++n)
    std::printf("%6d %10d  %s\n", n, sizes[static_cast<size_t>(n - 1)], uids[static_cast<size_t>(n - 1)].c_str());
  return Close();
}

int RunFetch(const Args &args) {
  const char *cmd = "fetch";
  const bool fresh = args.Has("new");
  std::vector<int> numbers;
  if (fresh) {
    if (args.Has("all") || !args.positional.empty()) return UsageError(cmd, "--new takes no --all or message numbers");
  } else if (int rc = ParseSelection(cmd, args, numbers)) {
    return rc;
  }
  if (args.Has("state") && !fresh) return UsageError(cmd, "--state goes with --new");
  int targets = 0;
  for (const char *t : {"maildir", "mbox", "mda", "raw"}) targets += args.Has(t) ? 1 : 0;
  if (targets > 1) return UsageError(cmd, "give one of --maildir, --mbox, --mda and --raw");
  const bool decoded = targets == 0;
  if (!decoded)
    for (const char *o : {"attach-dir", "number-files", "save-unnamed", "no-note"})
      if (args.Has(o)) return UsageError(cmd, std::string("--") + o + " is for decoded files only");
  if ((args.Has("maildir") || args.Has("mbox") || args.Has("mda")) && args.Has("dir"))
    return UsageError(cmd, "--dir is for decoded and raw files");
  std::string dir = args.Get("dir", ".");
  std::string attachDir = args.Get("attach-dir", dir);
  if (decoded || args.Has("raw")) {
    for (const std::string &d : {dir, attachDir}) {
      struct stat st;
      if (stat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return UsageError(cmd, "no such directory '" + d + "'");
      if (decoded && d.size() > DirectoryLimit)
        return UsageError(cmd, "directory path '" + d + "' is too long (at most " + std::to_string(DirectoryLimit) +
                                   " characters; use a shorter or relative path)");
    }
  }
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  std::string where, user;
  if (int rc = Login(cmd, args, where, &user)) return rc;
  kelIntegerParam(Channel, KEL_NUMBER_FILENAMES, args.Has("number-files") ? 1 : 0);
  kelIntegerParam(Channel, KEL_SAVE_UNNAMED, args.Has("save-unnamed") ? 1 : 0);
  kelIntegerParam(Channel, KEL_NO_SAVED_NOTE, args.Has("no-note") ? 1 : 0);
  int count = 0;
  if (int rc = Count(count)) return rc;
  const bool imap = Imap(args);
  const std::string shown = imap ? where + " " + MailboxShown(args) : where;

  // --new: the ids fetched before, kept per account (or login) in a state
  // file; over IMAP (UIDVALIDITY.UID) in a file of its own per mailbox, so
  // that the two kinds of id never meet. Over IMAP the ids also name the
  // messages to mark seen.
  std::vector<std::string> uids;
  std::set<std::string> seen;
  std::string statePath;
  if (fresh || (imap && args.Has("mark-seen") && !decoded)) {
    if (int rc = Uids(imap, count, uids)) return rc;
  }
  if (fresh) {
    std::string error;
    if (args.Has("state")) {
      statePath = args.Get("state");
    } else {
      std::string key = args.Get("account-name");
      if (key.empty()) key = user + "@" + where;
      statePath = imap ? DefaultStatePath(ImapStateKey(key, args.Get("mailbox", "INBOX")), error, "imap-uids-")
                       : DefaultStatePath(key, error);
      if (statePath.empty()) {
        std::fprintf(stderr, "kelmail: %s\n", error.c_str());
        return ExitCantCreate;
      }
    }
    if (!LoadUidState(statePath, seen, error)) {
      std::fprintf(stderr, "kelmail: %s\n", error.c_str());
      return ExitNoInput;
    }
    // Ids of messages gone from the server are dropped; the new ones join as they are saved.
    std::set<std::string> present;
    for (int n = 1; n <= count; ++n) {
      const std::string &uid = uids[static_cast<size_t>(n - 1)];
      if (uid == "-") {
        std::fprintf(stderr, "kelmail: the server gave no unique id for message %d; --new needs UIDL\n", n);
        return ExitUnavailable;
      }
      present.insert(uid);
      if (!seen.count(uid)) numbers.push_back(n);
    }
    seen = KeptUids(seen, present, imap && args.Get("search", "ALL") != "ALL");
    // Written once before any message: a state file that cannot be written
    // fails here, not after the first delivery.
    if (!SaveUidState(statePath, seen, error)) {
      std::fprintf(stderr, "kelmail: %s\n", error.c_str());
      return ExitCantCreate;
    }
    if (numbers.empty()) {
      std::printf("%s: no new messages (%d on the server)\n", shown.c_str(), count);
      return Close();
    }
  } else {
    if (int rc = CheckSelection(args, count, numbers)) return rc;
    if (numbers.empty()) std::printf("%s: no messages\n", shown.c_str());
  }

  bool progress = ProgressWanted(args);
  int saved = 0;
  for (int n : numbers) {
    int size = kelGetEmailSize(Channel, n);
    if (size < 0) return Failure("asking the size of message " + std::to_string(n), size);
    const std::string name = "message-" + std::to_string(n);
    std::string error, path;
    if (decoded) {
      // The library writes into a hidden temporary file, which gets its
      // name only when complete: no torn file under a message's name, and
      // no file the user already has is replaced.
      std::string part;
      if (!ReserveFile(dir, "." + name, ".eml.part", part, error)) {
        std::fprintf(stderr, "kelmail: %s\n", error.c_str());
        return ExitCantCreate;
      }
      std::string file = part.substr(part.find_last_of('/') == std::string::npos ? 0 : part.find_last_of('/') + 1);
      Transfer transfer{"receiving message " + std::to_string(n), size, KEL_STAT_TOTAL_READ};
      int rc = RunCall(progress, transfer, [&] {
        return kelGetEmailFile(Channel, n, file.c_str(), dir.c_str(), attachDir.c_str());
      });
      if (rc < 0) {
        unlink(part.c_str());
        return Failure("saving message " + std::to_string(n), rc);
      }
      if (!PublishFile(part, dir, name, ".eml", path, error)) {
        unlink(part.c_str());
        std::fprintf(stderr, "kelmail: %s\n", error.c_str());
        return ExitCantCreate;
      }
      std::printf("message %d: saved email file: %s (%lld bytes)\n", n, path.c_str(), SizeOf(path));
      char names[1100] = "";
      kelDebug(Channel, KEL_DEBUG_ATTACH_LIST, names, static_cast<int>(sizeof names));
      std::string list = names;
      int index = 0;
      for (size_t start = 0; !list.empty() && start <= list.size();) {
        size_t sep = list.find(AttachSeparator, start);
        std::string attachName = list.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        std::string attachment = JoinDir(attachDir, attachName);
        std::printf("message %d: attachment %d: %s (%lld bytes)\n", n, ++index, attachment.c_str(),
                    SizeOf(attachment));
        if (sep == std::string::npos) break;
        start = sep + 1;
      }
    } else {
      std::string message;
      if (int rc = RetrieveUndecoded(imap, n, size, progress, message)) return rc;
      bool ok = false;
      int failure = ExitCantCreate;
      if (args.Has("raw")) {
        std::string part;
        ok = ReserveFile(dir, "." + name, ".eml.part", part, error) && WriteWhole(part, message, error) &&
             PublishFile(part, dir, name, ".eml", path, error);
        if (!ok && !part.empty()) unlink(part.c_str());
        if (ok) std::printf("message %d: saved raw: %s (%zu bytes)\n", n, path.c_str(), message.size());
      } else if (args.Has("maildir")) {
        ok = DeliverMaildir(args.Get("maildir"), message, path, error);
        if (ok) std::printf("message %d: delivered to Maildir: %s\n", n, path.c_str());
      } else if (args.Has("mbox")) {
        ok = DeliverMbox(args.Get("mbox"), message, error);
        if (ok) std::printf("message %d: appended to mbox %s\n", n, args.Get("mbox").c_str());
      } else {
        ok = DeliverMda(args.Get("mda"), message, error);
        failure = ExitTempFail;  // the program's refusal: the message stays for the next run
        if (ok) std::printf("message %d: delivered by '%s'\n", n, args.Get("mda").c_str());
      }
      if (!ok) {
        std::fprintf(stderr, "kelmail: message %d not delivered: %s\n", n, error.c_str());
        // The messages delivered so far keep their deletions.
        Close();
        return failure;
      }
    }
    ++saved;
    if (fresh) {
      seen.insert(uids[static_cast<size_t>(n - 1)]);
      std::string error;
      if (!SaveUidState(statePath, seen, error)) {
        std::fprintf(stderr, "kelmail: %s\n", error.c_str());
        return ExitCantCreate;  // no DELE without the record: the session ends without QUIT
      }
    }
    // The undecoded retrieval only peeks: the flag follows the delivery.
    if (imap && args.Has("mark-seen") && !decoded) {
      const std::string &uid = uids[static_cast<size_t>(n - 1)];
      const size_t dot = uid.find('.');
      const std::string store = "UID STORE " + uid.substr(dot == std::string::npos ? 0 : dot + 1) +
                                " +FLAGS.SILENT (\\Seen)";
      int rc = kelCommand(Channel, store.c_str());
      if (rc < 0) return Failure("marking message " + std::to_string(n) + " seen", rc);
    }
    if (args.Has("delete")) {
      if (int failed = Delete(n)) return failed;
      std::printf("message %d: deleted from the server\n", n);
    }
  }
  if (fresh) std::printf("%s: %d new message(s) fetched\n", shown.c_str(), saved);
  return Close();
}

int RunDelete(const Args &args) {
  const char *cmd = "delete";
  std::vector<int> numbers;
  if (int rc = ParseSelection(cmd, args, numbers)) return rc;
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  std::string where;
  if (int rc = Login(cmd, args, where)) return rc;
  int count = 0;
  if (int rc = Count(count)) return rc;
  if (int rc = CheckSelection(args, count, numbers)) return rc;
  for (int n : numbers) {
    if (int failed = Delete(n)) return failed;
    std::printf("message %d: deleted\n", n);
  }
  // The server removes the messages only when the session ends properly.
  int rc = Close();
  if (rc == ExitOk) std::printf("%s: %zu message(s) deleted, %zu left\n", where.c_str(), numbers.size(),
                                static_cast<size_t>(count) - numbers.size());
  return rc;
}

int RunFolders(const Args &args) {
  const char *cmd = "folders";
  if (!args.positional.empty()) return UsageError(cmd, "unexpected argument '" + args.positional[0] + "'");
  for (const char *o : {"pop3", "apop"})
    if (args.Has(o)) return UsageError(cmd, "folders are an IMAP matter; drop --" + std::string(o));
  Args imap = args;
  if (!imap.Has("imap")) imap.Add("imap", "1");
  Library library;
  if (library.Status() < 0) return Failure("starting the library", library.Status());
  std::string where;
  if (int rc = Login(cmd, imap, where)) return rc;
  // Lines that do not fit are left out whole: a list that comes near the
  // end of the buffer is asked again with a larger one.
  std::vector<char> buffer;
  int used = 0;
  for (size_t size = 256 * 1024;; size *= 4) {
    buffer.assign(size, '\0');
    used = kelDebug(Channel, KEL_DEBUG_IMAP_FOLDERS, buffer.data(), static_cast<int>(size));
    if (used < 0) return Failure("listing the folders of " + where, used);
    if (static_cast<size_t>(used) + 2048 < size || size >= 64u * 1024 * 1024) break;
  }
  std::string list(buffer.data(), static_cast<size_t>(used));
  for (size_t p; (p = list.find('\r')) != std::string::npos;) list.erase(p, 1);
  std::fputs(list.c_str(), stdout);
  return Close();
}

}  // namespace kelmail
