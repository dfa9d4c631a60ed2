// Delivery targets and the record of fetched ids (see deliver.h).
#include "deliver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <vector>

namespace kelmail {

namespace {

std::string Errno(const std::string &what) { return what + ": " + std::strerror(errno); }

bool WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string DirOf(const std::string &path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A rename or a new name is durable only once its directory is synced.
void SyncDir(const std::string &dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool MakeDirs(const std::string &path, std::string &error) {
  std::string built;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    built = path.substr(0, slash);
    if (!built.empty() && mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) {
      error = Errno("cannot create " + built);
      return false;
    }
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = path + " is not a directory";
    return false;
  }
  return true;
}

std::string JoinPath(const std::string &dir, const std::string &name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

bool StripStatusLine(const std::string &reply, std::string &message, std::string &error) {
  if (reply.compare(0, 3, "+OK") != 0) {
    error = "the server refused the message: " + reply.substr(0, reply.find_first_of("\r\n"));
    return false;
  }
  size_t pos = reply.find('\n');
  message = pos == std::string::npos ? std::string() : reply.substr(pos + 1);
  return true;
}

std::string UnixLines(const std::string &message) {
  std::string out;
  out.reserve(message.size());
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
    out += message[i];
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

std::string MboxrdQuote(const std::string &text) {
  std::string out;
  out.reserve(text.size() + 64);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string::npos ? text.size() : lf + 1;
    size_t p = pos;
    while (p < end && text[p] == '>') ++p;
    if (text.compare(p, 5, "From ") == 0) out += '>';
    out.append(text, pos, end - pos);
    pos = end;
  }
  return out;
}

std::string EnvelopeSender(const std::string &message) {
  size_t pos = 0;
  while (pos < message.size()) {
    size_t lf = message.find('\n', pos);
    std::string line = message.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;  // the end of the header
    if (line.size() > 12 && strncasecmp(line.c_str(), "Return-Path:", 12) == 0) {
      size_t open = line.find('<'), close = line.find('>');
      std::string address = open != std::string::npos && close != std::string::npos && close > open + 1
                                ? line.substr(open + 1, close - open - 1)
                                : std::string();
      bool clean = !address.empty() && address.find_first_of(" \t") == std::string::npos;
      return clean ? address : "MAILER-DAEMON";
    }
    if (lf == std::string::npos) break;
    pos = lf + 1;
  }
  return "MAILER-DAEMON";
}

namespace {

// Tries "name.ext", "name (1).ext", ... in dir until claim takes one that did
// not exist: nothing the user already has is ever replaced.
bool ClaimFreeName(const std::string &dir, const std::string &name, const std::string &ext,
                   const std::function<bool(const std::string &)> &claim, std::string &path, std::string &error) {
  for (int n = 0; n < 10000; ++n) {
    std::string candidate = JoinPath(dir, name + (n ? " (" + std::to_string(n) + ")" : "") + ext);
    if (claim(candidate)) {
      path = candidate;
      return true;
    }
    if (errno != EEXIST) {
      error = Errno("cannot create " + candidate);
      return false;
    }
  }
  error = "no free file name for " + JoinPath(dir, name + ext);
  return false;
}

}  // namespace

bool ReserveFile(const std::string &dir, const std::string &name, const std::string &ext, std::string &path,
                 std::string &error) {
  return ClaimFreeName(
      dir, name, ext,
      [](const std::string &candidate) {
        int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        close(fd);
        return true;
      },
      path, error);
}

bool PublishFile(const std::string &temporary, const std::string &dir, const std::string &name,
                 const std::string &ext, std::string &path, std::string &error) {
  int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    error = Errno("cannot sync " + temporary);
    if (fd >= 0) close(fd);
    return false;
  }
  close(fd);
  auto linked = [&](const std::string &candidate) { return link(temporary.c_str(), candidate.c_str()) == 0; };
  if (!ClaimFreeName(dir, name, ext, linked, path, error)) return false;
  unlink(temporary.c_str());
  SyncDir(dir);
  return true;
}

bool WriteWhole(const std::string &path, const std::string &content, std::string &error) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    error = Errno("cannot write " + path);
    return false;
  }
  bool ok = WriteAll(fd, content.data(), content.size()) && fsync(fd) == 0;
  if (!ok) error = Errno("cannot write " + path);
  if (close(fd) != 0 && ok) {
    ok = false;
    error = Errno("cannot write " + path);
  }
  if (ok) SyncDir(DirOf(path));
  return ok;
}

bool DeliverMaildir(const std::string &dir, const std::string &message, std::string &path, std::string &error) {
  for (const char *sub : {"", "/tmp", "/new", "/cur"})
    if (!MakeDirs(dir + sub, error)) return false;
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  std::string hostName;
  for (const char *p = host; *p; ++p) {
    if (*p == '/') hostName += "\\057";
    else if (*p == ':') hostName += "\\072";
    else hostName += *p;
  }
  static unsigned counter = 0;
  const std::string text = UnixLines(message);
  for (int attempt = 0; attempt < 100; ++attempt) {
    timeval now;
    gettimeofday(&now, nullptr);
    std::string unique = std::to_string(static_cast<long long>(now.tv_sec)) + ".M" + std::to_string(now.tv_usec) +
                         "P" + std::to_string(getpid()) + "Q" + std::to_string(++counter) + "." + hostName;
    std::string temporary = dir + "/tmp/" + unique;
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      error = Errno("cannot create " + temporary);
      return false;
    }
    bool ok = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
      error = Errno("cannot write " + temporary);
      unlink(temporary.c_str());
      return false;
    }
    // link() rather than rename(): a file of the same name in new/ is never replaced.
    std::string final = dir + "/new/" + unique;
    if (link(temporary.c_str(), final.c_str()) != 0) {
      int saved = errno;
      unlink(temporary.c_str());
      if (saved == EEXIST) continue;
      errno = saved;
      error = Errno("cannot move the message into " + dir + "/new");
      return false;
    }
    unlink(temporary.c_str());
    SyncDir(dir + "/new");
    SyncDir(dir + "/tmp");
    path = final;
    return true;
  }
  error = "no unique name in " + dir + "/tmp";
  return false;
}

bool DeliverMbox(const std::string &file, const std::string &message, std::string &error) {
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = Errno("cannot open " + file);
    return false;
  }
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  while (fcntl(fd, F_SETLKW, &lock) != 0) {
    if (errno == EINTR) continue;
    error = Errno("cannot lock " + file);
    close(fd);
    return false;
  }
  // An append that an interruption cut short left its starting size in the
  // journal: the torn message is cut off before anything new is added.
  const std::string journal = file + ".kelmail-append";
  // It is cut only when the file still ends within that message and the
  // message's first line is where the journal says.
  {
    std::ifstream in(journal);
    long long start = -1, length = 0, from = 0;
    std::string first;
    if (in >> start >> length >> from && std::getline(in >> std::ws, first) && start >= 0 && from >= 0) {
      struct stat st;
      std::string found(first.size(), '\0');
      if (fstat(fd, &st) == 0 && st.st_size > start && st.st_size <= start + length &&
          pread(fd, &found[0], found.size(), static_cast<off_t>(start + from)) == static_cast<ssize_t>(found.size()) &&
          found == first && ftruncate(fd, static_cast<off_t>(start)) == 0)
        fsync(fd);
    }
    if (in.is_open()) unlink(journal.c_str());
  }
  bool ok = false;
  off_t size = lseek(fd, 0, SEEK_END);
  do {
    if (size < 0) {
      error = Errno("cannot append to " + file);
      break;
    }
    // A message follows an empty line; an mbox whose last message lacks one gets it.
    std::string text;
    if (size > 0) {
      char tail[2] = {0, 0};
      ssize_t n = pread(fd, tail, size >= 2 ? 2 : 1, size >= 2 ? size - 2 : 0);
      if (n == 2 && tail[1] != '\n') text = "\n\n";
      else if (n == 2 && tail[0] != '\n') text = "\n";
      else if (n == 1 && tail[0] != '\n') text = "\n\n";
    }
    time_t now = time(nullptr);
    char date[64];
    struct tm local;
    gmtime_r(&now, &local);
    std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &local);
    text += "From " + EnvelopeSender(message) + " " + date + "\n";
    text += MboxrdQuote(UnixLines(message));
    text += "\n";
    {
      std::string temporary = journal + ".tmp";
      std::ofstream out(temporary, std::ios::trunc);
      const size_t from = text.find("From ");
      out << static_cast<long long>(size) << " " << text.size() << " " << from << "\n"
          << text.substr(from, text.find('\n', from) - from) << "\n";
      out.close();
      int jfd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
      if (!out || jfd < 0 || fsync(jfd) != 0 || rename(temporary.c_str(), journal.c_str()) != 0) {
        if (jfd >= 0) close(jfd);
        error = Errno("cannot write the journal " + journal);
        break;
      }
      close(jfd);
      SyncDir(DirOf(journal));
    }
    if (!WriteAll(fd, text.data(), text.size()) || fsync(fd) != 0) {
      error = Errno("cannot append to " + file);
      if (ftruncate(fd, size) == 0) fsync(fd);
      unlink(journal.c_str());
      break;
    }
    unlink(journal.c_str());
    ok = true;
  } while (false);
  lock.l_type = F_UNLCK;
  fcntl(fd, F_SETLK, &lock);
  close(fd);
  return ok;
}

bool DeliverMda(const std::string &command, const std::string &message, std::string &error) {
  int fds[2];
  if (pipe(fds) != 0) {
    error = Errno("cannot start the delivery program");
    return false;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]), close(fds[1]);
    error = Errno("cannot start the delivery program");
    return false;
  }
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  // A program that stops reading early must not end kelmail by SIGPIPE.
  struct sigaction ignore, saved;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  const std::string text = UnixLines(message);
  bool written = WriteAll(fds[1], text.data(), text.size());
  close(fds[1]);
  sigaction(SIGPIPE, &saved, nullptr);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = WIFEXITED(status) ? "the delivery program exited with status " + std::to_string(WEXITSTATUS(status))
                              : "the delivery program was killed by signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  if (!written) {
    error = "the delivery program did not read the whole message";
    return false;
  }
  return true;
}

bool LoadUidState(const std::string &path, std::set<std::string> &uids, std::string &error) {
  uids.clear();
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) return true;
    error = Errno("cannot read the state file " + path);
    return false;
  }
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first) {
      first = false;
      if (line.rfind("# kelmail", 0) == 0) continue;
    }
    if (!line.empty()) uids.insert(line);
  }
  return true;
}

bool SaveUidState(const std::string &path, const std::set<std::string> &uids, std::string &error) {
  std::string text = "# kelmail: unique ids of the messages already fetched\n";
  for (const std::string &u : uids) text += u + "\n";
  std::string temporary = path + ".tmp" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = Errno("cannot write the state file " + temporary);
    return false;
  }
  bool ok = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    error = Errno("cannot write the state file " + path);
    unlink(temporary.c_str());
    return false;
  }
  SyncDir(DirOf(path));
  return true;
}

std::string DefaultStatePath(const std::string &key, std::string &error, const char *prefix) {
  std::string base;
  const char *xdg = std::getenv("XDG_STATE_HOME");
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char *home = std::getenv("HOME");
    if (!home || !*home) {
      error = "no HOME for the state file; give --state FILE";
      return std::string();
    }
    base = std::string(home) + "/.local/state";
  }
  std::string dir = base + "/kelmail";
  if (!MakeDirs(dir, error)) return std::string();
  std::string name;
  for (char c : key) name += (c == '/' || c == '\0') ? '_' : c;
  return dir + "/" + prefix + name;
}

std::string ImapStateKey(const std::string &account, const std::string &mailbox) {
  auto escape = [](const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
      if (c == '%' || c == '/' || c == ',' || c < 0x20 || c == 0x7f) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out;
  };
  return escape(account) + "," + escape(mailbox);
}

std::set<std::string> KeptUids(const std::set<std::string> &recorded, const std::set<std::string> &present,
                               bool narrowed) {
  if (narrowed && present.empty()) return recorded;
  std::set<std::string> validities;
  if (narrowed)
    for (const std::string &u : present) validities.insert(u.substr(0, u.find('.')));
  std::set<std::string> kept;
  for (const std::string &u : recorded)
    if (present.count(u) || (u.find('.') != std::string::npos && validities.count(u.substr(0, u.find('.')))))
      kept.insert(u);
  return kept;
}

}  // namespace kelmail
