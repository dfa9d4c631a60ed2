// Runs messages through the retrieval state and the decoder without a
// server: the message bytes are fed into the channel's receive ring, whole
// lines at a time, as a socket would deliver them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "mime/mime.h"
#include "net/reader.h"

class DecodeTest : public AttachedTest {
 protected:
  void SetUp() override {
    AttachedTest::SetUp();
    log_ = OpenLog();
    emailPath_ = dir_ + "/mail.txt";
    attachDir_ = dir_ + "/att";
    std::filesystem::create_directories(attachDir_);
    Begin();
  }
  void TearDown() override {
    Channel &ch = Ch();
    CloseAttachFile(ch);
    CloseBufferedFile(ch.EmailOut, ch.EmailHandle);
    ch.EmailHandle = 0;
    AttachedTest::TearDown();
  }

  // A new message on the same channel, as the session call sets it up.
  void Begin() {
    Channel &ch = Ch();
    CloseBufferedFile(ch.EmailOut, ch.EmailHandle);
    ch.EmailHandle = PlatformFileCreate(emailPath_.c_str());
    ASSERT_GT(ch.EmailHandle, 0);
    CopyField(ch.AttachDir, attachDir_.c_str(), 128);
    ch.AttachList[0] = 0;
    ch.BoundaryLength = ch.BoundaryCount = ch.AttachCount = ch.MimeEncoding = 0;
    ch.BlankLineWritten = 0;
    ch.BodyBytesRead = ch.AttachBytesRead = 0;
    ch.DecodeState = TopHeader;
    ch.FileFault = 0;
    ch.FileFaultText[0] = 0;
    ch.EmailLineOpen = 0;
    StartDecoding(ch);
  }

  // One line given to the decoder directly; the line after it (for the
  // decoder's look at folded headers) may be waiting in the ring.
  int Line(const std::string &text, const std::string &next = "") {
    Channel &ch = Ch();
    ch.RingRead = ch.RingWrite = 0;
    if (!next.empty()) RingPut(ch, next.data(), static_cast<int>(next.size()));
    snprintf(ch.Response, sizeof ch.Response, "%s", text.c_str());
    return DecodeLine(ch);
  }

  // Plays the message (status line and end line included) through state
  // 312; returns the last step's result and leaves NextState as it was.
  int Play(const std::string &bytes) {
    Channel &ch = Ch();
    ch.RingRead = ch.RingWrite = 0;
    size_t at = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
      Feed(bytes, at);
      ch.ThisState = ch.NextState = 312;
      int rc = ReceiveToFile(ch, PlatformTick());
      if (rc < 0) return rc;
      if (ch.NextState != 312) return FinishEmailFile(ch, PlatformTick());
    }
    return -9999;
  }

  // The ring takes whole lines while they fit; a line longer than the ring
  // goes in 1023-byte pieces.
  void Feed(const std::string &bytes, size_t &at) {
    Channel &ch = Ch();
    int room = 1023 - RingFill(ch);
    size_t end = at;
    for (;;) {
      size_t lf = bytes.find('\n', end);
      size_t next = lf == std::string::npos ? bytes.size() : lf + 1;
      if (next == end || next - at > static_cast<size_t>(room)) break;
      end = next;
    }
    if (end == at && RingFill(ch) == 0 && at < bytes.size())
      end = at + std::min<size_t>(1023, bytes.size() - at);
    if (end > at) RingPut(ch, bytes.data() + at, static_cast<int>(end - at));
    at = end;
  }

  // An empty attachment directory: a message played again gets its names back.
  void ClearAttachments() {
    std::filesystem::remove_all(attachDir_);
    std::filesystem::create_directories(attachDir_);
  }

  std::string Email() {
    Channel &ch = Ch();
    CloseBufferedFile(ch.EmailOut, ch.EmailHandle);
    ch.EmailHandle = 0;
    return ReadFileText(emailPath_);
  }
  std::string Log() { return ReadFileText(log_); }
  std::string Attachment(const std::string &name) { return ReadFileText(attachDir_ + "/" + name); }
  bool AttachmentExists(const std::string &name) {
    return std::filesystem::exists(attachDir_ + "/" + name);
  }

  std::string log_, emailPath_, attachDir_;
};

// Lines joined with CR LF, each ending with CR LF.
inline std::string Lines(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\r\n";
  return text;
}

// Base64 of bytes in one run (RFC 4648 alphabet, padded).
inline std::string Base64(const std::string &bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
  }
  return out;
}

// Text cut into lines of the given lengths in turn, each with CR LF.
inline std::string CutLines(const std::string &text, const std::vector<size_t> &lengths) {
  std::string out;
  size_t at = 0;
  for (size_t k = 0; at < text.size(); ++k) {
    size_t n = std::min(lengths[k % lengths.size()], text.size() - at);
    out += text.substr(at, n) + "\r\n";
    at += n;
  }
  return out;
}

// Bytes of every value, in a fixed pseudo-random order.
inline std::string BinaryBytes(size_t count, unsigned seed = 7) {
  std::string out(count, '\0');
  for (size_t i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = static_cast<char>(seed >> 16);
  }
  return out;
}
