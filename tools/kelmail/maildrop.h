// The demo mail drop: a small SMTP and POP3 server on 127.0.0.1 over one
// in-memory mailbox, running on threads inside the kelmail process. It is
// the demonstration partner of "kelmail demo" and of kelmail's tests, not a
// mail server: every message sent to it, whatever the recipients, lands in
// the one mailbox, nothing is ever relayed, and the mailbox is gone when
// the drop stops.
//
// SMTP (RFC 5321): HELO, EHLO, AUTH LOGIN / PLAIN / CRAM-MD5, MAIL, RCPT,
// DATA (with dot-unstuffing), RSET, NOOP, VRFY, QUIT.
// POP3 (RFC 1939): USER/PASS, APOP, STAT, LIST, UIDL, RETR and TOP (with
// byte-stuffing), DELE, RSET, NOOP, CAPA, QUIT (deletions take effect here).
// With TLS on (MailDropOptions::tlsCaFile): STARTTLS (RFC 3207), STLS (RFC 2595).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelmail {

struct MailDropOptions {
  std::string user = "demo";      // the one account, for POP3 and SMTP AUTH
  std::string password = "demo";
  int smtpPort = 0;               // 0: an ephemeral port
  int pop3Port = 0;
  // When set: a certificate authority and a server certificate for
  // 127.0.0.1 and localhost are made at Start, the authority's certificate
  // is written to this file (for the client to trust), and the drop offers
  // STARTTLS (SMTP) and STLS (POP3).
  std::string tlsCaFile;
  // Called (from the drop's threads) with one line per event of note.
  std::function<void(const std::string &)> note;
};

class MailDrop {
 public:
  explicit MailDrop(MailDropOptions options = MailDropOptions());
  ~MailDrop();  // stops the drop
  MailDrop(const MailDrop &) = delete;
  MailDrop &operator=(const MailDrop &) = delete;

  // Binds both listeners on 127.0.0.1 and starts serving; false with a
  // reason when a socket cannot be set up.
  bool Start(std::string &error);
  // Closes the listeners and every open session, and waits for the threads.
  void Stop();

  int SmtpPort() const;
  int Pop3Port() const;

  // The messages in the mailbox, as stored (lines end in CR LF, no stuffing).
  std::vector<std::string> Messages() const;
  // Puts a message into the mailbox directly (for tests).
  void Deposit(const std::string &message);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelmail
