// Helpers for the end-to-end mail tests: mailboxes on disk, the independent
// MIME checker, random files, and the library's error text.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kel32.h"
#include "mailstack_env.h"
#include "run_process.h"

namespace kel::e2e {

namespace fs = std::filesystem;

inline int cram_port() { return env_int_or("MAILSTACK_CRAM_PORT", 2588); }
inline int login_port() { return env_int_or("MAILSTACK_LOGIN_PORT", 2589); }
inline int plain_login_port() { return env_int_or("MAILSTACK_PLAINLOGIN_PORT", 2590); }
inline int bearer_port() { return env_int_or("MAILSTACK_BEARER_PORT", 2591); }
// The OAuth 2.0 bearer token Dovecot accepts for a user (mailstack.sh).
inline std::string token_of(const std::string &user) { return user + "-token-" + std::string(300, '0'); }

inline std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void spit(const std::string &path, const std::string &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
}

inline std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// A fresh scratch directory of the test's own.
inline std::string scratch(const std::string &name) {
  fs::path p = fs::temp_directory_path() / ("kel-e2e-" + name);
  fs::remove_all(p);
  fs::create_directories(p);
  return p.string();
}

inline fs::path maildir(const std::string &user) {
  return fs::path(mailstack().dir) / "mail" / mailstack().domain / user;
}

inline std::vector<std::string> mailbox_files(const std::string &user) {
  std::vector<std::string> files;
  for (const char *sub : {"new", "cur"}) {
    std::error_code ec;
    for (auto &e : fs::directory_iterator(maildir(user) / sub, ec))
      if (e.is_regular_file()) files.push_back(e.path().string());
  }
  return files;
}

inline void empty_mailbox(const std::string &user) {
  for (auto &f : mailbox_files(user)) fs::remove(f);
}

// Waits until the mailbox holds count messages (Postfix delivers in a few ms).
inline std::vector<std::string> wait_for_mail(const std::string &user, size_t count) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  std::vector<std::string> files;
  while ((files = mailbox_files(user)).size() < count && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return files;
}

// What Python's email package makes of a message file.
struct Parsed {
  std::multimap<std::string, std::string> fields;  // summary.txt
  std::string body;                                // first text part, decoded
  std::string dir;                                 // att-N-NAME files
  std::string field(const std::string &key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
  }
  std::string attachment(int n, const std::string &name) const { return slurp(dir + "/att-" + std::to_string(n) + "-" + name); }
};

inline Parsed parse_independently(const std::string &file, const std::string &outDir) {
  Parsed p;
  p.dir = outDir;
  std::string tools = env_or("KEL_E2E_TOOLS", ".");
  ProcessResult r = run_process({"python3", tools + "/mime_check.py", file, outDir});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::istringstream in(slurp(outDir + "/summary.txt"));
  std::string line;
  while (std::getline(in, line)) {
    auto colon = line.find(": ");
    if (colon != std::string::npos) p.fields.emplace(line.substr(0, colon), line.substr(colon + 2));
  }
  p.body = slurp(outDir + "/body.txt");
  return p;
}

// The message in a raw copy of a RETR answer ("+OK" line, dot-stuffed text,
// end line): the text as the server stored it.
inline std::string unstuffed_message(const std::string &raw) {
  std::string message = raw.substr(raw.find("\r\n") + 2);
  message.resize(message.size() - 3);
  std::string unstuffed;
  for (size_t at = 0; at < message.size();) {
    size_t end = message.find('\n', at);
    std::string line = message.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    unstuffed += line.rfind("..", 0) == 0 ? line.substr(1) : line;
    at = end == std::string::npos ? message.size() : end + 1;
  }
  return unstuffed;
}

// Line ends as a reader sees them.
inline std::string unix_lines(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

inline std::string error_text(int code) {
  char text[512];
  kelErrorText(0, code, text, sizeof text);
  return std::to_string(code) + " " + text;
}

// Attaches one channel with fast step timings for every test.
class LibraryMailTest : public MailstackTest {
 protected:
  void SetUp() override {
    MailstackTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(kelAttach(1, 0), 1);
    kelIntegerParam(0, KEL_STEP_DELAY, 2);
    kelIntegerParam(0, KEL_SLEEP_TIME, 10);
    kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 10000);
  }
  void TearDown() override { kelRelease(); }
  std::string log_;
  void OpenLog(const std::string &dir) {
    log_ = dir + "/channel.log";
    kelStringParam(0, KEL_LOG_FILE, log_.c_str());
  }
  std::string Log() const { return slurp(log_); }
};

}  // namespace kel::e2e
