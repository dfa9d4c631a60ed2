// A whole SMTP session against a scripted server, for the tests of the
// outgoing message: connect, any number of kelSendEmail, close; then the
// message text of every DATA, byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "platform/platform.h"

// Monday, 7 December 2026, 3:05:09, one hour east of UTC.
inline void FixedLocalTime(PlatformLocalTime &t) {
  t = PlatformLocalTime{2026, 12, 1, 7, 3, 5, 9, 60, 0};
}

class ComposeTest : public AttachedTest {
 protected:
  void SetUp() override {
    AttachedTest::SetUp();
    PlatformSetLocalTimeSource(FixedLocalTime);
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    kelIntegerParam(0, KEL_SLEEP_TIME, 2);
  }

  // The script of a session that takes one message per entry of recipients
  // (the number of RCPT TO lines of that message), then QUIT.
  void Script(const std::vector<int> &recipients) {
    server_.Send("220 test ready\r\n").ReadUntil("\r\n").Send("250 hello\r\n");
    for (int count : recipients) {
      server_.ReadUntil("\r\n").Send("250 sender ok\r\n");
      for (int i = 0; i < count; i++) server_.ReadUntil("\r\n").Send("250 recipient ok\r\n");
      server_.ReadUntil("DATA\r\n").Send("354 go ahead\r\n").ReadData().Send("250 queued\r\n");
    }
    server_.ReadUntil("QUIT\r\n").Send("221 bye\r\n").Close();
  }

  // Starts the server and connects channel 0 as alice.
  void Connect(const char *from = "Alice <alice@example.com>") {
    server_.Start();
    kelIntegerParam(0, KEL_SMTP_PORT, server_.Port());
    ASSERT_EQ(kelSmtpConnect(0, "127.0.0.1", from, nullptr), 0);
  }

  int Send(const char *message, const char *attachments = nullptr, const char *subject = "Hello",
           const char *to = "<bob@example.com>", const char *cc = nullptr, const char *bcc = nullptr) {
    return kelSendEmail(0, to, cc, bcc, subject, message, attachments);
  }

  // Closes the session and returns the text of every message received.
  std::vector<std::string> Finish() {
    EXPECT_EQ(kelClose(0), 0);
    EXPECT_TRUE(server_.Finish()) << server_.Failures();
    return DataParts(server_.Received());
  }

  // The message texts in the bytes a server received: from behind each
  // DATA line up to (without) the final "." line.
  static std::vector<std::string> DataParts(const std::string &received) {
    std::vector<std::string> parts;
    size_t at = 0;
    while ((at = received.find("DATA\r\n", at)) != std::string::npos) {
      if (at != 0 && received[at - 1] != '\n') {
        at += 6;
        continue;
      }
      size_t start = at + 6;
      size_t end = received.compare(start, 3, ".\r\n") == 0 ? start : received.find("\r\n.\r\n", start);
      if (end == std::string::npos) break;
      if (end != start) end += 2;
      parts.push_back(received.substr(start, end - start));
      at = end;
    }
    return parts;
  }

  // Lines joined, each followed by CR LF.
  static std::string Lines(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\r\n";
    return text;
  }

  static std::string DateLine() {
    char line[128];
    FormatDateLine(line, sizeof line);
    return line;
  }

  static std::string Boundary() { return BoundaryText; }

  // The fixed first lines of every message that is not HTML.
  static std::string Head() { return Lines({"X-Mailer: KEL32 3.4.1 (build 17)", DateLine()}); }

  std::string Path(const std::string &name) const { return dir_ + "/" + name; }

  ScriptServer server_;
};
