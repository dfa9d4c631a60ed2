// Nothing lost at volume: 128 channels driven from one thread in
// non-blocking mode, all in a session at once, send 20 messages each, every
// one with an attachment of its own, through the real Postfix; then the messages are read back from
// Dovecot with decoding, eight mailboxes at once. Every message arrives
// once, every attachment byte for byte, and the counts agree on both sides.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

constexpr unsigned Channels = 128;
constexpr int PerChannel = 20;
constexpr unsigned Mailboxes = 8;  // channel c sends to mailbox c % 8
constexpr int PerMailbox = Channels / Mailboxes * PerChannel;

std::string MailboxUser(unsigned m) { return "volume" + std::to_string(m); }
std::string AttachmentName(unsigned c, int k) { return "c" + std::to_string(c) + "m" + std::to_string(k) + ".bin"; }
std::string Content(unsigned c, int k) {
  return random_bytes(1500 + (c * 37 + static_cast<unsigned>(k) * 11) % 3000, c * 100 + static_cast<unsigned>(k));
}

class VolumeE2E : public MailstackTest {
 protected:
  void SetUp() override {
    MailstackTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(kelAttach(Channels, 0), 1);
    kelIntegerParam(0, KEL_STEP_DELAY, 1);
    kelIntegerParam(0, KEL_SLEEP_TIME, 5);
    kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 60000);
    for (unsigned m = 0; m < Mailboxes; m++) empty_mailbox(MailboxUser(m));
    dir_ = scratch("volume");
  }
  void TearDown() override {
    kelRelease();
    for (unsigned m = 0; m < Mailboxes; m++) empty_mailbox(MailboxUser(m));
  }
  // Runs every channel's list of calls to its end from one loop: each call
  // starts an operation, kelDriver runs it; 0 starts the next call. At most
  // `window` channels hold a session at once. Returns the number of failed
  // operations.
  int RunAll(unsigned count, const std::function<int(unsigned, int)> &call, int calls, unsigned window) {
    std::vector<int> next(count, 0);
    std::vector<bool> busy(count, false);
    int failures = 0;
    unsigned active = count, open = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (active > 0 && std::chrono::steady_clock::now() < end) {
      bool worked = false;
      for (unsigned c = 0; c < count; c++) {
        if (next[c] > calls) continue;
        int rc;
        if (!busy[c]) {
          if (next[c] == calls) {
            next[c]++;
            active--;
            open--;
            continue;
          }
          if (next[c] == 0) {
            if (open >= window) continue;
            open++;
          }
          rc = call(c, next[c]);
          busy[c] = rc == 0;
          if (rc != 0) {
            ADD_FAILURE() << "channel " << c << " call " << next[c] << ": " << error_text(rc);
            failures++;
            next[c] = calls + 1;
            active--;
            open--;
          }
          worked = true;
          continue;
        }
        rc = kelDriver(c);
        if (rc != KEL_WAITING) worked = true;
        if (rc > 0) continue;
        busy[c] = false;
        if (rc < 0) {
          ADD_FAILURE() << "channel " << c << " call " << next[c] << ": " << error_text(rc);
          failures++;
          next[c] = calls + 1;
          active--;
          open--;
        } else {
          next[c]++;
        }
      }
      if (!worked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(active, 0u) << "operations still running";
    return failures;
  }
  std::string dir_;
};

TEST_F(VolumeE2E, EveryMessageAndAttachmentArrivesOnce) {
  for (unsigned c = 0; c < Channels; c++)
    for (int k = 0; k < PerChannel; k++) spit(dir_ + "/" + AttachmentName(c, k), Content(c, k));
  for (unsigned c = 0; c < Channels; c++) {
    kelIntegerParam(c, KEL_SMTP_PORT, ms().smtp_port);
    kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0);
  }
  std::vector<std::string> to(Channels), subject(Channels * PerChannel), attachment(Channels * PerChannel);
  for (unsigned c = 0; c < Channels; c++) to[c] = "<" + MailboxUser(c % Mailboxes) + "@example.test>";
  const int sendFailures = RunAll(Channels, [&](unsigned c, int call) {
    if (call == 0) return kelSmtpConnect(c, "127.0.0.1", "<volume@example.test>", "");
    if (call == PerChannel + 1) return kelClose(c);
    const int k = call - 1;
    const size_t i = c * PerChannel + static_cast<size_t>(k);
    subject[i] = "volume " + std::to_string(c) + "-" + std::to_string(k);
    attachment[i] = dir_ + "/" + AttachmentName(c, k);
    return kelSendEmail(c, to[c].c_str(), nullptr, nullptr, subject[i].c_str(), "body\r\n", attachment[i].c_str());
  }, PerChannel + 2, Channels);
  ASSERT_EQ(sendFailures, 0);

  // The server side: every mailbox holds its share, no more, no less.
  for (unsigned m = 0; m < Mailboxes; m++)
    ASSERT_EQ(wait_for_mail(MailboxUser(m), PerMailbox).size(), static_cast<size_t>(PerMailbox)) << MailboxUser(m);

  // Read back, one channel per mailbox, all at once.
  std::vector<std::string> users(Mailboxes), passwords(Mailboxes), mailDir(Mailboxes), attachDir(Mailboxes);
  for (unsigned m = 0; m < Mailboxes; m++) {
    users[m] = MailboxUser(m);
    passwords[m] = users[m] + "-pass";
    mailDir[m] = dir_ + "/mail" + std::to_string(m);
    attachDir[m] = dir_ + "/attach" + std::to_string(m);
    fs::create_directories(mailDir[m]);
    fs::create_directories(attachDir[m]);
    kelIntegerParam(m, KEL_POP3_PORT, ms().pop3_port);
  }
  std::vector<int> counts(Mailboxes, -1);
  const int readFailures = RunAll(Mailboxes, [&](unsigned m, int call) {
    if (call == 0) return kelPop3Connect(m, "127.0.0.1", users[m].c_str(), passwords[m].c_str());
    if (call == 1) return kelGetEmailCount(m);
    if (call == PerMailbox + 2) return kelClose(m);
    if (call == 2) counts[m] = kelStatistics(m, KEL_STAT_EMAIL_COUNT);
    const std::string file = std::to_string(call - 1) + ".eml";
    return kelGetEmailFile(m, call - 1, file.c_str(), mailDir[m].c_str(), attachDir[m].c_str());
  }, PerMailbox + 3, Mailboxes);
  ASSERT_EQ(readFailures, 0);

  // The client side: each count, each message once, each attachment exact.
  std::map<std::string, int> seen;
  for (unsigned m = 0; m < Mailboxes; m++) {
    EXPECT_EQ(counts[m], PerMailbox) << users[m];
    for (int n = 1; n <= PerMailbox; n++) {
      const std::string email = slurp(mailDir[m] + "/" + std::to_string(n) + ".eml");
      const size_t at = email.find("Subject: volume ");
      ASSERT_NE(at, std::string::npos) << users[m] << " message " << n;
      seen[email.substr(at + 9, email.find('\r', at) - at - 9)]++;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(Channels * PerChannel));
  for (const auto &entry : seen) EXPECT_EQ(entry.second, 1) << entry.first;
  int exact = 0;
  for (unsigned c = 0; c < Channels; c++)
    for (int k = 0; k < PerChannel; k++)
      exact += slurp(attachDir[c % Mailboxes] + "/" + AttachmentName(c, k)) == Content(c, k) ? 1 : 0;
  EXPECT_EQ(exact, static_cast<int>(Channels * PerChannel));
}

}  // namespace
}  // namespace kel::e2e
