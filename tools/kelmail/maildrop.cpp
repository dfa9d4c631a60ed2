// The demo mail drop (see maildrop.h). One acceptor thread watches both
// listeners; each accepted connection is served on a thread of its own.
// All threads poll with a short time-out so that Stop() ends them promptly.
#include "maildrop.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <thread>

#include "md5.h"

namespace kelmail {

namespace {

constexpr size_t CommandLineLimit = 4096;        // longest command line accepted
constexpr size_t DataLineLimit = 1 << 20;        // longest message line accepted
constexpr size_t MessageLimit = 64u << 20;       // largest message accepted
constexpr int PollMs = 50;                       // how often threads look at the stop flag
constexpr int IdleLimitMs = 10 * 60 * 1000;      // a silent client is dropped after this
constexpr size_t SessionLimit = 64;              // connections served at one time

// ---- Base64 for the AUTH exchanges (RFC 4648) ----

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const std::string &in) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    for (int s = 18; s >= 0; s -= 6) out += Alphabet[(v >> s) & 63];
  }
  if (i < in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    if (i + 1 < in.size()) v |= (unsigned char)in[i + 1] << 8;
    out += Alphabet[(v >> 18) & 63];
    out += Alphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? Alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Decodes Base64, ignoring padding; false on any other character.
bool Base64Decode(const std::string &in, std::string &out) {
  out.clear();
  unsigned v = 0;
  int bits = 0;
  for (char c : in) {
    if (c == '=') break;
    const char *p = c ? std::strchr(Alphabet, c) : nullptr;
    if (!p) return false;
    v = (v << 6) | unsigned(p - Alphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += char((v >> bits) & 0xff);
    }
  }
  return true;
}

// ---- Text helpers ----

std::string Chomp(const std::string &line) {
  size_t n = line.size();
  if (n && line[n - 1] == '\n') --n;
  if (n && line[n - 1] == '\r') --n;
  return line.substr(0, n);
}

std::string Upper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// Splits "VERB rest" into its upper-cased verb and the rest.
void SplitCommand(const std::string &line, std::string &verb, std::string &rest) {
  size_t space = line.find(' ');
  verb = Upper(line.substr(0, space));
  rest = space == std::string::npos ? std::string() : line.substr(space + 1);
}

// The address inside angle brackets, or the trimmed text when there are none.
std::string AddressOf(const std::string &text) {
  size_t open = text.find('<'), close = text.rfind('>');
  if (open != std::string::npos && close != std::string::npos && close > open)
    return text.substr(open + 1, close - open - 1);
  size_t a = text.find_first_not_of(' '), b = text.find_last_not_of(' ');
  return a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
}

// ---- One connection: line reads and whole sends ----

class Connection {
 public:
  Connection(int fd, const std::atomic<bool> &stop) : fd_(fd), stop_(stop) {}
  ~Connection() {
    if (ssl_) {
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    close(fd_);
  }
  bool Tls() const { return ssl_ != nullptr; }
  // The server side of the handshake. What the client sent after the
  // command came in plain text and is dropped.
  bool StartTls(SSL_CTX *ctx) {
    buffer_.clear(), start_ = 0;
    timeval limit{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ssl_ = SSL_new(ctx);
    if (!ssl_) return false;
    SSL_set_fd(ssl_, fd_);
    const bool ok = SSL_accept(ssl_) == 1;
    ERR_clear_error();
    return ok;
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // One line with its line end. False when the peer closed, the drop is
  // stopping, the client stayed silent too long or the line is too long.
  bool ReadLine(std::string &line, size_t limit) {
    for (;;) {
      size_t lf = buffer_.find('\n', start_);
      if (lf != std::string::npos) {
        line.assign(buffer_, start_, lf + 1 - start_);
        start_ = lf + 1;
        if (start_ == buffer_.size()) buffer_.clear(), start_ = 0;
        return true;
      }
      if (buffer_.size() - start_ > limit) return false;
      if (!Fill()) return false;
    }
  }

  bool Send(const std::string &bytes) {
    size_t done = 0;
    if (ssl_) {
      while (done < bytes.size()) {
        int n = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (n <= 0) return ERR_clear_error(), false;
        done += size_t(n);
      }
      return true;
    }
    while (done < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }

 private:
  bool Fill() {
    if (start_ > 0) buffer_.erase(0, start_), start_ = 0;
    int idle = 0;
    while (!stop_.load()) {
      char chunk[16384];
      if (ssl_ && SSL_pending(ssl_) > 0) {
        int n = SSL_read(ssl_, chunk, sizeof chunk);
        if (n <= 0) return ERR_clear_error(), false;
        buffer_.append(chunk, size_t(n));
        return true;
      }
      pollfd p{fd_, POLLIN, 0};
      int r = poll(&p, 1, PollMs);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (r == 0) {
        if ((idle += PollMs) >= IdleLimitMs) return false;
        continue;
      }
      if (ssl_) {
        int n = SSL_read(ssl_, chunk, sizeof chunk);
        if (n <= 0) {
          const int e = SSL_get_error(ssl_, n);
          ERR_clear_error();
          if (e == SSL_ERROR_WANT_READ) continue;  // a record without data
          return false;
        }
        buffer_.append(chunk, size_t(n));
        return true;
      }
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buffer_.append(chunk, size_t(n));
      return true;
    }
    return false;
  }

  int fd_;
  SSL *ssl_ = nullptr;
  const std::atomic<bool> &stop_;
  std::string buffer_;
  size_t start_ = 0;
};

// ---- The certificates of the TLS mode, made at start ----

// A certificate for key, signed by issuerKey (itself when issuer is null).
X509 *MakeCertificate(EVP_PKEY *key, const char *name, X509 *issuer, EVP_PKEY *issuerKey, long serial, bool ca) {
  X509 *x = X509_new();
  if (!x) return nullptr;
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 3600);
  X509_set_pubkey(x, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(name), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(issuer ? issuer : x));
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, issuer ? issuer : x, x, nullptr, nullptr, 0);
  const char *const caExt[][2] = {{"basicConstraints", "critical,CA:TRUE"}, {"keyUsage", "critical,keyCertSign,cRLSign"}};
  const char *const leafExt[][2] = {{"basicConstraints", "CA:FALSE"},
                                    {"keyUsage", "critical,digitalSignature"},
                                    {"extendedKeyUsage", "serverAuth"},
                                    {"subjectAltName", "DNS:localhost,IP:127.0.0.1"}};
  const auto add = [&](const char *ext, const char *value) {
    X509_EXTENSION *e = X509V3_EXT_nconf(nullptr, &v3, ext, value);
    if (e) X509_add_ext(x, e, -1), X509_EXTENSION_free(e);
  };
  if (ca) for (auto &e : caExt) add(e[0], e[1]);
  else for (auto &e : leafExt) add(e[0], e[1]);
  if (X509_sign(x, issuerKey, EVP_sha256()) <= 0) {
    X509_free(x);
    return nullptr;
  }
  return x;
}

// The server's TLS context: a fresh authority (written to caFile) and a
// certificate it signed for 127.0.0.1; null with a reason on failure.
SSL_CTX *MakeServerContext(const std::string &caFile, std::string &error) {
  EVP_PKEY *caKey = EVP_EC_gen("P-256");
  EVP_PKEY *key = EVP_EC_gen("P-256");
  X509 *ca = caKey ? MakeCertificate(caKey, "kelmail demo CA", nullptr, caKey, 1, true) : nullptr;
  X509 *leaf = ca && key ? MakeCertificate(key, "localhost", ca, caKey, 2, false) : nullptr;
  SSL_CTX *ctx = leaf ? SSL_CTX_new(TLS_server_method()) : nullptr;
  bool ok = ctx && SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 && SSL_CTX_use_certificate(ctx, leaf) == 1 &&
            SSL_CTX_use_PrivateKey(ctx, key) == 1;
  if (!ok) error = "cannot make the TLS certificate";
  if (ok) {
    FILE *out = std::fopen(caFile.c_str(), "w");
    ok = out && PEM_write_X509(out, ca) == 1;
    if (out) std::fclose(out);
    if (!ok) error = "cannot write " + caFile;
  }
  X509_free(leaf);
  X509_free(ca);
  EVP_PKEY_free(key);
  EVP_PKEY_free(caKey);
  ERR_clear_error();
  if (!ok && ctx) SSL_CTX_free(ctx), ctx = nullptr;
  return ctx;
}

struct Stored {
  uint64_t id;
  std::string uid;
  std::string data;  // lines end in CR LF
};

// Makes every line end in CR LF, the form in which POP3 counts and sends it.
std::string WithCrLf(const std::string &text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += c;
  }
  if (!out.empty() && (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)) {
    if (out.back() == '\r') out += '\n';
    else out += "\r\n";
  }
  return out;
}

// The message as POP3 sends it after "+OK": lines that begin with a dot get
// a second one, and the "." line ends it (RFC 1939 section 3). With a line
// limit, only the header and that many body lines (TOP).
std::string Stuffed(const std::string &data, long bodyLines) {
  std::string out;
  out.reserve(data.size() + 64);
  bool inBody = false;
  long body = 0;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t lf = data.find('\n', pos);
    size_t end = lf == std::string::npos ? data.size() : lf + 1;
    if (inBody && bodyLines >= 0 && body++ >= bodyLines) break;
    if (data[pos] == '.') out += '.';
    out.append(data, pos, end - pos);
    if (!inBody && (end - pos == 2 && data[pos] == '\r')) inBody = true;
    pos = end;
  }
  out += ".\r\n";
  return out;
}

}  // namespace

struct MailDrop::Impl {
  MailDropOptions options;
  int smtpListener = -1, pop3Listener = -1;
  int smtpPort = 0, pop3Port = 0;
  std::atomic<bool> stop{false};
  std::thread acceptor;
  SSL_CTX *tls = nullptr;  // the TLS mode's context, or null

  mutable std::mutex boxLock;
  std::vector<Stored> box;
  uint64_t nextId = 1;
  unsigned long started = static_cast<unsigned long>(std::time(nullptr));
  std::atomic<unsigned> stamps{0};

  struct Session {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::list<std::unique_ptr<Session>> sessions;  // touched by the acceptor and Stop only

  void Note(const std::string &text) const {
    if (options.note) options.note(text);
  }

  static int Listen(int port, int &bound, std::string &error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = std::string("socket: ") + std::strerror(errno);
      return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
      error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
      close(fd);
      return -1;
    }
    bound = ntohs(a.sin_port);
    return fd;
  }

  void AcceptLoop() {
    while (!stop.load()) {
      pollfd p[2] = {{smtpListener, POLLIN, 0}, {pop3Listener, POLLIN, 0}};
      int r = poll(p, 2, PollMs);
      // Finished sessions are joined here, so a long-running drop keeps no dead threads.
      for (auto it = sessions.begin(); it != sessions.end();) {
        if ((*it)->done.load()) {
          (*it)->thread.join();
          it = sessions.erase(it);
        } else {
          ++it;
        }
      }
      if (r <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        int fd = accept4(p[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (sessions.size() >= SessionLimit) {
          close(fd);  // busy: the client may try again
          continue;
        }
        bool smtp = i == 0;
        auto session = std::make_unique<Session>();
        Session *s = session.get();
        s->thread = std::thread([this, fd, smtp, s] {
          Connection c(fd, stop);
          if (smtp) ServeSmtp(c);
          else ServePop3(c);
          s->done.store(true);
        });
        sessions.push_back(std::move(session));
      }
    }
  }

  // ---- SMTP ----

  // AUTH LOGIN, PLAIN or CRAM-MD5; true when the client proved the account.
  bool Authenticate(Connection &c, const std::string &rest, bool &lost) {
    std::string mechanism, initial, line, user, password;
    SplitCommand(rest, mechanism, initial);
    auto ask = [&](const std::string &prompt, std::string &answer) {
      if (!c.Send("334 " + prompt + "\r\n") || !c.ReadLine(line, CommandLineLimit)) {
        lost = true;
        return false;
      }
      std::string text = Chomp(line);
      return text != "*" && Base64Decode(text, answer);
    };
    if (mechanism == "LOGIN") {
      if (!initial.empty()) {
        if (!Base64Decode(initial, user)) return false;
      } else if (!ask(Base64Encode("Username:"), user)) {
        return false;
      }
      if (!ask(Base64Encode("Password:"), password)) return false;
      return user == options.user && password == options.password;
    }
    if (mechanism == "PLAIN") {
      std::string blob;
      if (!initial.empty() ? !Base64Decode(initial, blob) : !ask("", blob)) return false;
      size_t a = blob.find('\0'), b = a == std::string::npos ? a : blob.find('\0', a + 1);
      if (b == std::string::npos) return false;
      return blob.substr(a + 1, b - a - 1) == options.user && blob.substr(b + 1) == options.password;
    }
    if (mechanism == "CRAM-MD5") {
      std::string challenge = "<" + std::to_string(getpid()) + "." + std::to_string(++stamps) + "." +
                              std::to_string(started) + "@kelmail.demo>";
      std::string answer;
      if (!ask(Base64Encode(challenge), answer)) return false;
      size_t space = answer.rfind(' ');
      if (space == std::string::npos) return false;
      return answer.substr(0, space) == options.user &&
             answer.substr(space + 1) == HmacMd5Hex(options.password, challenge);
    }
    return false;
  }

  void ServeSmtp(Connection &c) {
    if (!c.Send("220 127.0.0.1 kelmail demo mail drop ready\r\n")) return;
    std::string line, verb, rest, from;
    std::vector<std::string> recipients;
    bool mail = false;
    while (c.ReadLine(line, CommandLineLimit)) {
      SplitCommand(Chomp(line), verb, rest);
      std::string reply;
      if (verb == "HELO") {
        mail = false, recipients.clear();
        reply = "250 127.0.0.1\r\n";
      } else if (verb == "EHLO") {
        mail = false, recipients.clear();
        reply = "250-127.0.0.1 hello " + rest + "\r\n250-8BITMIME\r\n" + (tls && !c.Tls() ? "250-STARTTLS\r\n" : "") +
                "250-AUTH CRAM-MD5 LOGIN PLAIN\r\n250 HELP\r\n";
      } else if (verb == "STARTTLS" && tls && !c.Tls()) {
        if (!c.Send("220 2.0.0 Ready to start TLS\r\n") || !c.StartTls(tls)) return;
        Note("SMTP: TLS started");
        mail = false, recipients.clear();
        continue;
      } else if (verb == "AUTH") {
        bool lost = false;
        bool ok = Authenticate(c, rest, lost);
        if (lost) return;
        reply = ok ? "235 2.7.0 Authentication successful\r\n" : "535 5.7.8 Authentication failed\r\n";
        Note(ok ? "SMTP: client authenticated" : "SMTP: authentication failed");
      } else if (verb == "MAIL") {
        if (Upper(rest.substr(0, 5)) != "FROM:") {
          reply = "501 5.5.4 Syntax: MAIL FROM:<address>\r\n";
        } else {
          from = AddressOf(rest.substr(5));
          mail = true, recipients.clear();
          reply = "250 2.1.0 Ok\r\n";
        }
      } else if (verb == "RCPT") {
        if (!mail) reply = "503 5.5.1 Error: need MAIL command\r\n";
        else if (Upper(rest.substr(0, 3)) != "TO:") reply = "501 5.5.4 Syntax: RCPT TO:<address>\r\n";
        else if (AddressOf(rest.substr(3)).empty()) reply = "501 5.1.3 Bad recipient address syntax\r\n";
        else if (recipients.size() >= 1000) reply = "452 4.5.3 Error: too many recipients\r\n";
        else recipients.push_back(AddressOf(rest.substr(3))), reply = "250 2.1.5 Ok\r\n";
      } else if (verb == "DATA") {
        if (recipients.empty()) {
          reply = "503 5.5.1 Error: need RCPT command\r\n";
        } else {
          if (!c.Send("354 End data with <CR><LF>.<CR><LF>\r\n")) return;
          std::string data;
          bool tooBig = false;
          for (;;) {
            if (!c.ReadLine(line, DataLineLimit)) return;  // lost mid-message: nothing is kept
            std::string text = Chomp(line);
            if (text == ".") break;
            // RFC 5321 4.5.2: a leading dot was doubled by the client.
            size_t skip = !text.empty() && text[0] == '.' ? 1 : 0;
            if (data.size() + text.size() + 2 > MessageLimit) tooBig = true;
            if (!tooBig) data.append(text, skip, std::string::npos).append("\r\n");
          }
          if (tooBig) {
            reply = "552 5.3.4 Error: message too big for the demo mail drop\r\n";
          } else {
            std::string uid;
            {
              std::lock_guard<std::mutex> hold(boxLock);
              uid = StoreLocked(data);
            }
            Note("SMTP: message " + uid + " stored (" + std::to_string(data.size()) + " bytes, " +
                 std::to_string(recipients.size()) + " recipient(s), from <" + from + ">)");
            reply = "250 2.0.0 Ok: queued as " + uid + "\r\n";
          }
          mail = false, recipients.clear();
        }
      } else if (verb == "RSET") {
        mail = false, recipients.clear();
        reply = "250 2.0.0 Ok\r\n";
      } else if (verb == "NOOP") {
        reply = "250 2.0.0 Ok\r\n";
      } else if (verb == "VRFY") {
        std::string address = AddressOf(rest);
        std::string local = Upper(address.substr(0, address.find('@')));
        reply = !local.empty() && local == Upper(options.user)
                    ? "250 2.0.0 <" + options.user + "@kelmail.demo>\r\n"
                    : "550 5.1.1 <" + address + ">: Recipient address rejected: no such user here\r\n";
      } else if (verb == "QUIT") {
        c.Send("221 2.0.0 Bye\r\n");
        return;
      } else {
        reply = "502 5.5.2 Error: command not recognized\r\n";
      }
      if (!c.Send(reply)) return;
    }
  }

  std::string StoreLocked(const std::string &data) {
    Stored s;
    s.id = nextId++;
    char uid[48];
    std::snprintf(uid, sizeof uid, "%08lX.%llu", started, static_cast<unsigned long long>(s.id));
    s.uid = uid;
    s.data = data;
    box.push_back(std::move(s));
    return box.back().uid;
  }

  // ---- POP3 ----

  void ServePop3(Connection &c) {
    std::string stamp = "<" + std::to_string(getpid()) + "." + std::to_string(++stamps) + "." +
                        std::to_string(started) + "@kelmail.demo>";
    if (!c.Send("+OK kelmail demo mail drop ready " + stamp + "\r\n")) return;
    std::string line, verb, rest, user;
    bool loggedIn = false;
    std::vector<Stored> view;  // the mailbox as it stood at login
    std::vector<bool> deleted;

    // The message named by a number argument, or -1.
    auto find = [&](const std::string &text) -> long {
      char *end = nullptr;
      long n = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || (*end != '\0' && *end != ' ') || n < 1 || size_t(n) > view.size() ||
          deleted[size_t(n - 1)])
        return -1;
      return n - 1;
    };

    while (c.ReadLine(line, CommandLineLimit)) {
      SplitCommand(Chomp(line), verb, rest);
      std::string reply;
      if (verb == "QUIT") {
        if (loggedIn) Commit(view, deleted);
        c.Send("+OK kelmail demo mail drop signing off\r\n");
        return;
      }
      if (verb == "CAPA") {
        reply = std::string("+OK capability list follows\r\nUSER\r\nTOP\r\nUIDL\r\n") +
                (tls && !c.Tls() && !loggedIn ? "STLS\r\n" : "") + ".\r\n";
      } else if (verb == "STLS" && tls && !c.Tls() && !loggedIn) {
        if (!c.Send("+OK Begin TLS negotiation\r\n") || !c.StartTls(tls)) return;
        Note("POP3: TLS started");
        user.clear();
        continue;
      } else if (verb == "NOOP" && loggedIn) {
        reply = "+OK\r\n";
      } else if (!loggedIn) {
        bool ok = false;
        if (verb == "USER") {
          user = rest;
          reply = "+OK\r\n";
        } else if (verb == "PASS") {
          if (user.empty()) reply = "-ERR USER first\r\n";
          else ok = user == options.user && rest == options.password;
        } else if (verb == "APOP") {
          size_t space = rest.rfind(' ');
          ok = space != std::string::npos && rest.substr(0, space) == options.user &&
               rest.substr(space + 1) == Md5Hex(stamp + options.password);
        } else {
          reply = "-ERR not logged in\r\n";
        }
        if (ok) {
          loggedIn = true;
          {
            std::lock_guard<std::mutex> hold(boxLock);
            view = box;
          }
          deleted.assign(view.size(), false);
          size_t octets = 0;
          for (const Stored &s : view) octets += s.data.size();
          reply = "+OK " + std::to_string(view.size()) + " message(s) (" + std::to_string(octets) + " octets)\r\n";
          Note("POP3: " + options.user + " logged in, " + std::to_string(view.size()) + " message(s)");
        } else if (reply.empty()) {
          reply = "-ERR [AUTH] invalid user name or password\r\n";
          user.clear();
        }
      } else if (verb == "STAT") {
        size_t count = 0, octets = 0;
        for (size_t i = 0; i < view.size(); ++i)
          if (!deleted[i]) ++count, octets += view[i].data.size();
        reply = "+OK " + std::to_string(count) + " " + std::to_string(octets) + "\r\n";
      } else if (verb == "LIST" || verb == "UIDL") {
        bool list = verb == "LIST";
        auto entry = [&](size_t i) {
          return std::to_string(i + 1) + " " + (list ? std::to_string(view[i].data.size()) : view[i].uid);
        };
        if (!rest.empty()) {
          long i = find(rest);
          reply = i < 0 ? "-ERR no such message\r\n" : "+OK " + entry(size_t(i)) + "\r\n";
        } else {
          reply = "+OK\r\n";
          for (size_t i = 0; i < view.size(); ++i)
            if (!deleted[i]) reply += entry(i) + "\r\n";
          reply += ".\r\n";
        }
      } else if (verb == "RETR" || verb == "TOP") {
        std::string number = rest.substr(0, rest.find(' '));
        long lines = -1;
        if (verb == "TOP") {
          size_t space = rest.find(' ');
          char *end = nullptr;
          lines = space == std::string::npos ? -1 : std::strtol(rest.c_str() + space + 1, &end, 10);
          if (space == std::string::npos || *end != '\0' || lines < 0) lines = -2;
        }
        long i = find(number);
        if (lines == -2) reply = "-ERR usage: TOP message lines\r\n";
        else if (i < 0) reply = "-ERR no such message\r\n";
        else
          reply = "+OK " + std::to_string(view[size_t(i)].data.size()) + " octets\r\n" +
                  Stuffed(view[size_t(i)].data, lines);
      } else if (verb == "DELE") {
        long i = find(rest);
        if (i < 0) {
          reply = "-ERR no such message\r\n";
        } else {
          deleted[size_t(i)] = true;
          reply = "+OK message " + rest + " deleted\r\n";
        }
      } else if (verb == "RSET") {
        deleted.assign(view.size(), false);
        reply = "+OK\r\n";
      } else {
        reply = "-ERR unknown command\r\n";
      }
      if (!c.Send(reply)) return;
    }
  }

  // The POP3 UPDATE state: messages marked in this session leave the box.
  void Commit(const std::vector<Stored> &view, const std::vector<bool> &deleted) {
    size_t removed = 0;
    {
      std::lock_guard<std::mutex> hold(boxLock);
      for (size_t i = 0; i < view.size(); ++i) {
        if (!deleted[i]) continue;
        for (auto it = box.begin(); it != box.end(); ++it)
          if (it->id == view[i].id) {
            box.erase(it);
            ++removed;
            break;
          }
      }
    }
    if (removed) Note("POP3: " + std::to_string(removed) + " message(s) deleted");
  }
};

MailDrop::MailDrop(MailDropOptions options) : impl_(new Impl) { impl_->options = std::move(options); }

MailDrop::~MailDrop() {
  Stop();
  if (impl_->tls) SSL_CTX_free(impl_->tls);
}

bool MailDrop::Start(std::string &error) {
  Impl &d = *impl_;
  if (d.acceptor.joinable()) return true;
  if (!d.options.tlsCaFile.empty() && !d.tls) {
    // The drop's TLS writes go to sockets whose client may have gone.
    signal(SIGPIPE, SIG_IGN);
    d.tls = MakeServerContext(d.options.tlsCaFile, error);
    if (!d.tls) return false;
  }
  d.smtpListener = Impl::Listen(d.options.smtpPort, d.smtpPort, error);
  if (d.smtpListener < 0) return false;
  d.pop3Listener = Impl::Listen(d.options.pop3Port, d.pop3Port, error);
  if (d.pop3Listener < 0) {
    close(d.smtpListener);
    d.smtpListener = -1;
    return false;
  }
  d.stop.store(false);
  d.acceptor = std::thread([&d] { d.AcceptLoop(); });
  return true;
}

void MailDrop::Stop() {
  Impl &d = *impl_;
  if (!d.acceptor.joinable()) return;
  d.stop.store(true);
  d.acceptor.join();
  for (auto &s : d.sessions) s->thread.join();
  d.sessions.clear();
  close(d.smtpListener);
  close(d.pop3Listener);
  d.smtpListener = d.pop3Listener = -1;
}

int MailDrop::SmtpPort() const { return impl_->smtpPort; }
int MailDrop::Pop3Port() const { return impl_->pop3Port; }

std::vector<std::string> MailDrop::Messages() const {
  std::lock_guard<std::mutex> hold(impl_->boxLock);
  std::vector<std::string> out;
  for (const Stored &s : impl_->box) out.push_back(s.data);
  return out;
}

void MailDrop::Deposit(const std::string &message) {
  std::lock_guard<std::mutex> hold(impl_->boxLock);
  impl_->StoreLocked(WithCrLf(message));
}

}  // namespace kelmail
