// kelmail list, fetch and delete: the POP3 side.
#include <sys/stat.h>
#include <unistd.h>

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
    "KELMAIL_TOKEN) the login is AUTH XOAUTH2 or OAUTHBEARER and no password is needed.\n"
    "Without a TLS flag, no password or token goes to a server off loopback.\n" KELMAIL_EXIT_CODES;

const Command ListCommand = {
    "list",
    "list --server HOST[:PORT] --user NAME [options]",
    "Shows the number of messages in a POP3 mailbox and, for each, its size and unique id.",
    Join(Join(Join(ConnectionOptions("POP3 server, name or address (default port 110)"), Pop3LoginOptions()), AuthOptions()),
         {{"json", 0, nullptr, false, "print the list as JSON"}}),
    Pop3Notes,
};

const Command FetchCommand = {
    "fetch",
    "fetch --server HOST[:PORT] --user NAME (--new | --all | NUMBER...) [target] [options]",
    "Saves messages from a POP3 mailbox: by default each into an email file with its attachments\n"
    "decoded into files of their own; or undecoded, as the server stores them, into files (--raw),\n"
    "a Maildir, an mbox file or a delivery program. --new fetches only what no earlier run fetched.",
    Join(Join(Join(ConnectionOptions("POP3 server, name or address (default port 110)"), Pop3LoginOptions()), AuthOptions()),
         {
             {"all", 0, nullptr, false, "fetch every message"},
             {"new", 'n', nullptr, false, "fetch only messages not fetched before (by unique id, UIDL)"},
             {"state", 0, "FILE", false,
              "with --new: the file of ids fetched (default $XDG_STATE_HOME/kelmail/uids-ACCOUNT)"},
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
    "With --new, 'no new messages' is a success (exit 0).\n"
    "The password may also come from the environment variable KELMAIL_PASSWORD.\n" KELMAIL_EXIT_CODES,
};

const Command DeleteCommand = {
    "delete",
    "delete --server HOST[:PORT] --user NAME (--all | NUMBER...) [options]",
    "Deletes messages from a POP3 mailbox.",
    Join(Join(Join(ConnectionOptions("POP3 server, name or address (default port 110)"), Pop3LoginOptions()), AuthOptions()),
         {{"all", 0, nullptr, false, "delete every message"}}),
    Pop3Notes,
};

namespace {

// Connects and logs in; returns 0 or an exit code after reporting.
int Login(const char *cmd, const Args &args, std::string &where, std::string *loginUser = nullptr) {
  Server server;
  if (int rc = ApplyConnection(cmd, args, 110, server)) return rc;
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
  kelIntegerParam(Channel, KEL_POP3_PORT, server.port);
  kelIntegerParam(Channel, KEL_ENABLE_APOP, args.Has("apop") ? 1 : 0);
  kelIntegerParam(Channel, KEL_ATTACH_SEPARATOR, AttachSeparator);
  where = server.host + ":" + std::to_string(server.port);
  if (loginUser) *loginUser = user;
  int rc = kelPop3Connect(Channel, server.host.c_str(), user.c_str(), password.c_str());
  if (rc < 0) return Failure("logging in to POP3 server " + where, rc, Phase::Login);
  return 0;
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
  if (rc < 0) return Failure("ending the POP3 session", rc);
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


// The unique id of every message (UIDL), "-" where the server gave none.
int Uids(int count, std::vector<std::string> &uids) {
  uids.assign(static_cast<size_t>(count), "-");
  if (count <= 0) return 0;
  std::vector<char> buffer(static_cast<size_t>(count) * 84 + 256, '\0');
  int rc = kelGetEmailUID(Channel, -1, buffer.data(), static_cast<int>(buffer.size()));
  if (rc < 0) return Failure("asking the unique ids", rc);
  std::string text(buffer.data());
  size_t pos = text.find('\n');  // skip the status line
  bool positive = !text.empty() && text[0] == '+';
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
int RetrieveUndecoded(int n, int size, bool progress, std::string &message) {
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
  if (int rc = Uids(count, uids)) return rc;
  if (args.Has("json")) {
    std::printf("{\"server\": %s, \"count\": %d, \"bytes\": %lld, \"messages\": [", JsonString(where).c_str(), count,
                total);
    for (int n = 1; n <= count; ++n) {
      const std::string &uid = uids[static_cast<size_t>(n - 1)];
      std::printf("%s\n  {\"number\": %d, \"size\": %d, \"uid\": %s}", n > 1 ? "," : "", n,
                  sizes[static_cast<size_t>(n - 1)], uid == "-" ? "null" : JsonString(uid).c_str());
    }
    std::printf("%s]}\n", count > 0 ? "\n" : "");
    return Close();
  }
  std::printf("%s: %d message(s), %lld bytes\n", where.c_str(), count, total);
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

  // --new: the ids fetched before, kept per account (or login) in a state file.
  std::vector<std::string> uids;
  std::set<std::string> seen;
  std::string statePath;
  if (fresh) {
    if (int rc = Uids(count, uids)) return rc;
    std::string error;
    if (args.Has("state")) {
      statePath = args.Get("state");
    } else {
      std::string key = args.Get("account-name");
      if (key.empty()) key = user + "@" + where;
      statePath = DefaultStatePath(key, error);
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
    std::set<std::string> kept;
    for (const std::string &u : seen)
      if (present.count(u)) kept.insert(u);
    seen.swap(kept);
    // Written once before any message: a state file that cannot be written
    // fails here, not after the first delivery.
    if (!SaveUidState(statePath, seen, error)) {
      std::fprintf(stderr, "kelmail: %s\n", error.c_str());
      return ExitCantCreate;
    }
    if (numbers.empty()) {
      std::printf("%s: no new messages (%d on the server)\n", where.c_str(), count);
      return Close();
    }
  } else {
    if (int rc = CheckSelection(args, count, numbers)) return rc;
    if (numbers.empty()) std::printf("%s: no messages\n", where.c_str());
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
      if (int rc = RetrieveUndecoded(n, size, progress, message)) return rc;
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
    if (args.Has("delete")) {
      if (int failed = Delete(n)) return failed;
      std::printf("message %d: deleted from the server\n", n);
    }
  }
  if (fresh) std::printf("%s: %d new message(s) fetched\n", where.c_str(), saved);
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

}  // namespace kelmail
