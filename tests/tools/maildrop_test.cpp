// The demo mail drop, spoken to byte for byte over plain sockets: SMTP
// dot-unstuffing and AUTH, POP3 byte-stuffing, sizes, ids, deletion
// semantics and logins; and the digests its logins rest on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "maildrop.h"
#include "md5.h"

using kelmail::MailDrop;

namespace {

// A line-oriented client with a bounded wait for every read.
class Client {
 public:
  explicit Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  }
  ~Client() { close(fd_); }
  bool Connected() const { return connected_; }
  void Send(const std::string &s) { ASSERT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
  // One line with its CR LF ("" when none came within 5 s).
  std::string Line() {
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf + 1);
        buffer_.erase(0, lf + 1);
        return line;
      }
      if (!Fill()) return "";
    }
  }
  // A multi-line POP3 answer up to and including ".\r\n".
  std::string UntilDot() {
    std::string all, line;
    do {
      line = Line();
      all += line;
    } while (!line.empty() && line != ".\r\n");
    return all;
  }
  std::string Command(const std::string &c) {
    Send(c + "\r\n");
    return Line();
  }

 private:
  bool Fill() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
  }
  int fd_;
  bool connected_ = false;
  std::string buffer_;
};

std::string Base64(const std::string &in) {
  static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16;
    if (i + 1 < in.size()) v |= (unsigned char)in[i + 1] << 8;
    if (i + 2 < in.size()) v |= (unsigned char)in[i + 2];
    out += a[v >> 18 & 63];
    out += a[v >> 12 & 63];
    out += i + 1 < in.size() ? a[v >> 6 & 63] : '=';
    out += i + 2 < in.size() ? a[v & 63] : '=';
  }
  return out;
}

std::string Unbase64(const std::string &in) {
  static const std::string a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned v = 0;
  int bits = 0;
  for (char c : in) {
    size_t p = a.find(c);
    if (p == std::string::npos) break;
    v = v << 6 | unsigned(p);
    if ((bits += 6) >= 8) out += char(v >> (bits -= 8) & 0xff);
  }
  return out;
}

class MailDropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(drop.Start(error)) << error;
  }
  // Logs in over POP3 and returns the client.
  void Login(Client &c) {
    ASSERT_EQ(c.Line().substr(0, 3), "+OK");
    ASSERT_EQ(c.Command("USER demo"), "+OK\r\n");
    ASSERT_EQ(c.Command("PASS demo").substr(0, 3), "+OK");
  }
  MailDrop drop;
};

TEST(Digest, KnownVectors) {
  // RFC 1321 appendix A.5 and RFC 2104 section 2 test data.
  EXPECT_EQ(kelmail::Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(kelmail::Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(kelmail::Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(kelmail::HmacMd5Hex(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(kelmail::HmacMd5Hex("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
}

TEST_F(MailDropTest, SmtpUnstuffsDotsAndStoresCrLfLines) {
  Client c(drop.SmtpPort());
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Line().substr(0, 4), "220 ");
  EXPECT_EQ(c.Command("HELO client.test").substr(0, 4), "250 ");
  EXPECT_EQ(c.Command("RCPT TO:<a@b>").substr(0, 3), "503");  // no MAIL yet
  EXPECT_EQ(c.Command("MAIL FROM:<me@here>").substr(0, 3), "250");
  EXPECT_EQ(c.Command("DATA").substr(0, 3), "503");  // no RCPT yet
  EXPECT_EQ(c.Command("RCPT TO:<you@there>").substr(0, 3), "250");
  EXPECT_EQ(c.Command("DATA").substr(0, 3), "354");
  // A doubled leading dot loses one; a bare LF line end becomes CR LF; ".."
  // alone is a line holding one dot, not the end.
  c.Send("Subject: dots\r\n\r\n..leading\r\n..\r\nbare lf\n...three\r\n.\r\n");
  EXPECT_EQ(c.Line().substr(0, 3), "250");
  EXPECT_EQ(c.Command("QUIT").substr(0, 3), "221");
  ASSERT_EQ(drop.Messages().size(), 1u);
  EXPECT_EQ(drop.Messages()[0], "Subject: dots\r\n\r\n.leading\r\n.\r\nbare lf\r\n..three\r\n");
}

TEST_F(MailDropTest, SmtpAuthMechanisms) {
  {
    Client c(drop.SmtpPort());
    c.Line();
    c.Send("EHLO x\r\n");
    std::string ehlo;
    for (std::string l = c.Line(); !l.empty(); l = l[3] == ' ' ? "" : c.Line()) ehlo += l;
    EXPECT_NE(ehlo.find("250-AUTH CRAM-MD5 LOGIN PLAIN\r\n"), std::string::npos) << ehlo;
    EXPECT_EQ(c.Command("AUTH LOGIN"), "334 " + Base64("Username:") + "\r\n");
    EXPECT_EQ(c.Command(Base64("demo")), "334 " + Base64("Password:") + "\r\n");
    EXPECT_EQ(c.Command(Base64("demo")).substr(0, 3), "235");
  }
  {
    Client c(drop.SmtpPort());
    c.Line();
    EXPECT_EQ(c.Command("AUTH PLAIN " + Base64(std::string("\0demo\0demo", 10))).substr(0, 3), "235");
    EXPECT_EQ(c.Command("AUTH PLAIN " + Base64(std::string("\0demo\0nope", 10))).substr(0, 3), "535");
  }
  {
    Client c(drop.SmtpPort());
    c.Line();
    std::string challenge = c.Command("AUTH CRAM-MD5");
    ASSERT_EQ(challenge.substr(0, 4), "334 ");
    std::string stamp = Unbase64(challenge.substr(4, challenge.size() - 6));
    EXPECT_EQ(stamp.front(), '<');
    EXPECT_EQ(c.Command(Base64("demo " + kelmail::HmacMd5Hex("demo", stamp))).substr(0, 3), "235");
    challenge = c.Command("AUTH CRAM-MD5");
    EXPECT_EQ(c.Command(Base64("demo " + kelmail::HmacMd5Hex("wrong", stamp))).substr(0, 3), "535");
  }
}

TEST_F(MailDropTest, SmtpVrfyKnowsOnlyTheAccount) {
  Client c(drop.SmtpPort());
  c.Line();
  EXPECT_EQ(c.Command("VRFY <demo@anywhere>").substr(0, 3), "250");
  EXPECT_EQ(c.Command("VRFY Demo").substr(0, 3), "250");
  EXPECT_EQ(c.Command("VRFY <other@anywhere>").substr(0, 3), "550");
  EXPECT_EQ(c.Command("NOSUCH").substr(0, 3), "502");
}

TEST_F(MailDropTest, Pop3StuffsDotsAndCountsOctets) {
  const std::string message = "Subject: s\r\n\r\n.one\r\n..two\r\nplain\r\n";
  drop.Deposit(message);
  drop.Deposit("no final line end");
  Client c(drop.Pop3Port());
  Login(c);
  const size_t second = std::string("no final line end\r\n").size();
  EXPECT_EQ(c.Command("STAT"), "+OK 2 " + std::to_string(message.size() + second) + "\r\n");
  EXPECT_EQ(c.Command("LIST 1"), "+OK 1 " + std::to_string(message.size()) + "\r\n");
  c.Send("LIST\r\n");
  EXPECT_EQ(c.UntilDot(), "+OK\r\n1 " + std::to_string(message.size()) + "\r\n2 " + std::to_string(second) +
                              "\r\n.\r\n");
  EXPECT_EQ(c.Command("RETR 1"), "+OK " + std::to_string(message.size()) + " octets\r\n");
  EXPECT_EQ(c.UntilDot(), "Subject: s\r\n\r\n..one\r\n...two\r\nplain\r\n.\r\n");
  EXPECT_EQ(c.Command("TOP 1 1").substr(0, 3), "+OK");
  EXPECT_EQ(c.UntilDot(), "Subject: s\r\n\r\n..one\r\n.\r\n");
  EXPECT_EQ(c.Command("RETR 3").substr(0, 4), "-ERR");
  EXPECT_EQ(c.Command("RETR 0").substr(0, 4), "-ERR");
  EXPECT_EQ(c.Command("RETR x").substr(0, 4), "-ERR");
}

TEST_F(MailDropTest, Pop3UidsAreStableAndDistinct) {
  drop.Deposit("a\r\n");
  drop.Deposit("b\r\n");
  Client c(drop.Pop3Port());
  Login(c);
  c.Send("UIDL\r\n");
  std::string all = c.UntilDot();
  std::string one = c.Command("UIDL 1"), two = c.Command("UIDL 2");
  std::string uid1 = one.substr(6, one.size() - 8), uid2 = two.substr(6, two.size() - 8);
  EXPECT_NE(uid1, uid2);
  EXPECT_EQ(all, "+OK\r\n1 " + uid1 + "\r\n2 " + uid2 + "\r\n.\r\n");
}

TEST_F(MailDropTest, DeletionsTakeEffectOnlyAtQuit) {
  drop.Deposit("first\r\n");
  drop.Deposit("second\r\n");
  {
    Client c(drop.Pop3Port());
    Login(c);
    EXPECT_EQ(c.Command("DELE 1").substr(0, 3), "+OK");
    EXPECT_EQ(c.Command("DELE 1").substr(0, 4), "-ERR");  // already marked
    EXPECT_EQ(c.Command("RETR 1").substr(0, 4), "-ERR");
    EXPECT_EQ(c.Command("STAT"), "+OK 1 8\r\n");
    EXPECT_EQ(c.Command("RSET"), "+OK\r\n");
    EXPECT_EQ(c.Command("STAT"), "+OK 2 15\r\n");
    EXPECT_EQ(c.Command("DELE 2").substr(0, 3), "+OK");
    // The connection drops without QUIT: nothing is deleted.
  }
  // The dropped session ends on the drop's side in its own time.
  for (int i = 0; i < 100 && drop.Messages().size() != 2; ++i) usleep(10000);
  EXPECT_EQ(drop.Messages().size(), 2u);
  {
    Client c(drop.Pop3Port());
    Login(c);
    EXPECT_EQ(c.Command("DELE 2").substr(0, 3), "+OK");
    EXPECT_EQ(c.Command("QUIT").substr(0, 3), "+OK");
  }
  ASSERT_EQ(drop.Messages().size(), 1u);
  EXPECT_EQ(drop.Messages()[0], "first\r\n");
}

TEST_F(MailDropTest, Pop3Logins) {
  Client c(drop.Pop3Port());
  std::string greeting = c.Line();
  size_t open = greeting.find('<'), close = greeting.find('>');
  ASSERT_NE(open, std::string::npos);
  std::string stamp = greeting.substr(open, close - open + 1);
  EXPECT_EQ(c.Command("STAT").substr(0, 4), "-ERR");  // not logged in
  EXPECT_EQ(c.Command("PASS demo").substr(0, 4), "-ERR");  // no USER first
  EXPECT_EQ(c.Command("USER demo"), "+OK\r\n");
  EXPECT_EQ(c.Command("PASS wrong").substr(0, 4), "-ERR");
  EXPECT_EQ(c.Command("APOP demo " + kelmail::Md5Hex(stamp + "wrong")).substr(0, 4), "-ERR");
  EXPECT_EQ(c.Command("APOP demo " + kelmail::Md5Hex(stamp + "demo")).substr(0, 3), "+OK");
  EXPECT_EQ(c.Command("STAT"), "+OK 0 0\r\n");
}

TEST_F(MailDropTest, StopEndsOpenSessions) {
  Client idle(drop.Pop3Port());
  EXPECT_EQ(idle.Line().substr(0, 3), "+OK");
  drop.Stop();  // returns although the client never said QUIT
  EXPECT_EQ(idle.Line(), "");
}

}  // namespace
