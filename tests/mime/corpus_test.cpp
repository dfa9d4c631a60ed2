// Real messages of many mail programs, and the email package's own test
// messages, served by a scripted POP3 server and saved with kelGetEmailFile;
// every saved file is compared by name and bytes with what Python's email
// package extracts (tests/mime/mail_oracle.py).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"

namespace {

namespace fs = std::filesystem;

// As the oracle reads them: every line ends in CR LF.
std::string WireBytes(const std::string &data) {
  std::string out;
  size_t at = 0;
  while (at < data.size()) {
    size_t lf = data.find('\n', at);
    size_t end = lf == std::string::npos ? data.size() : lf;
    size_t stop = end > at && data[end - 1] == '\r' ? end - 1 : end;
    out.append(data, at, stop - at).append("\r\n");
    at = lf == std::string::npos ? data.size() : lf + 1;
  }
  return out;
}

// Dot stuffing and the end line of a POP3 reply.
std::string Stuffed(const std::string &wire) {
  std::string out = "+OK message follows\r\n";
  size_t at = 0;
  while (at < wire.size()) {
    size_t next = wire.find("\r\n", at) + 2;
    if (wire[at] == '.') out += '.';
    out.append(wire, at, next - at);
    at = next;
  }
  return out + ".\r\n";
}

std::vector<std::string> Messages() {
  std::vector<std::string> files;
  const fs::path corpus = KEL_CORPUS_DIR;
  if (fs::is_directory(corpus))
    for (const auto &e : fs::directory_iterator(corpus))
      if (e.path().extension() == ".eml") files.push_back(e.path().string());
  // The email package's own test messages, where its test package is installed.
  std::string data = RunCommand(
      "python3 -c 'import os, test.test_email as t; print(os.path.join(os.path.dirname(t.__file__), \"data\"))' "
      "2>/dev/null");
  data.erase(std::remove(data.begin(), data.end(), '\n'), data.end());
  // Else the system Python's test package (Debian's libpython3-testsuite).
  if (data.empty() || !fs::is_directory(data)) {
    data = RunCommand("ls -d /usr/lib/python3*/test/test_email/data 2>/dev/null | tail -1");
    data.erase(std::remove(data.begin(), data.end(), '\n'), data.end());
  }
  if (!data.empty() && fs::is_directory(data))
    for (const auto &e : fs::directory_iterator(data))
      if (e.path().filename().string().rfind("msg_", 0) == 0) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// Messages whose expected files are a matter of reading: name, then why.
std::map<std::string, std::string> Ambiguous() {
  std::map<std::string, std::string> list;
  std::ifstream in(std::string(KEL_SOURCE_DIR) + "/tests/mime/corpus_ambiguous.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    list[line.substr(0, tab)] = tab == std::string::npos ? "" : line.substr(tab + 1);
  }
  return list;
}

class Corpus : public AttachedTest {};

TEST_F(Corpus, SavedFilesMatchThePythonEmailPackage) {
  const std::vector<std::string> messages = Messages();
  ASSERT_GT(messages.size(), 100u) << "corpus not found at " << KEL_CORPUS_DIR;
  kelIntegerParam(0, KEL_STEP_DELAY, 0);
  kelIntegerParam(0, KEL_SLEEP_TIME, 1);
  // Short paths: attachment names may be long.
  const std::string root = "/tmp/kelcorpus-" + std::to_string(getpid());
  fs::remove_all(root);
  fs::create_directories(root);

  ScriptServer server;
  server.Send("+OK ready\r\n").ExpectLine("USER u\r\n").Send("+OK\r\n").ExpectLine("PASS p\r\n").Send("+OK\r\n");
  for (size_t k = 0; k < messages.size(); ++k) {
    std::ifstream in(messages[k], std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    server.ExpectLine("RETR " + std::to_string(k + 1) + "\r\n").Send(Stuffed(WireBytes(bytes.str())));
  }
  server.ExpectLine("QUIT\r\n").Send("+OK\r\n").Close();
  server.Start();
  kelIntegerParam(0, KEL_POP3_PORT, server.Port());
  ASSERT_EQ(kelPop3Connect(0, "127.0.0.1", "u", "p"), 0);

  std::string list;
  for (size_t k = 0; k < messages.size(); ++k) {
    const std::string dir = root + "/" + std::to_string(k + 1);
    fs::create_directories(dir);
    EXPECT_EQ(kelGetEmailFile(0, static_cast<int>(k + 1), "mail.txt", root.c_str(), dir.c_str()), 0)
        << messages[k];
    list += messages[k] + "\t" + dir + "\n";
  }
  kelClose(0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  WriteFileText(root + "/list.tsv", list);

  const std::string report =
      RunCommand("python3 " + std::string(KEL_SOURCE_DIR) + "/tests/mime/mail_oracle.py compare " + root + "/list.tsv");
  const std::map<std::string, std::string> ambiguous = Ambiguous();
  int judged = 0, matched = 0, listed = 0;
  std::istringstream lines(report);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    const std::string name = fs::path(line.substr(0, tab)).filename().string();
    const bool match = line.compare(tab + 1, 5, "match") == 0;
    if (ambiguous.count(name)) {
      ++listed;
      if (!match) std::printf("ambiguous %s: %s (%s)\n", name.c_str(), line.c_str() + tab + 1, ambiguous.at(name).c_str());
      continue;
    }
    ++judged;
    if (match) {
      ++matched;
    } else {
      std::printf("%s: %s\n", name.c_str(), line.c_str() + tab + 1);
    }
  }
  std::printf("corpus: %d of %d messages match (%d more listed as ambiguous)\n", matched, judged, listed);
  EXPECT_EQ(judged + listed, static_cast<int>(messages.size())) << report;
  EXPECT_GE(matched * 100, judged * 98) << matched << " of " << judged;
  fs::remove_all(root);
}

}  // namespace
