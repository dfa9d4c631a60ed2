// Messages the library composes, read back by Python's email package
// (policy.default, tests/mime/mail_oracle.py "composed"): every body format
// with text in many scripts and in Latin-1 bytes, with and without an
// attachment of a non-ASCII name, long subjects, many recipients with names
// in several scripts. Each must come back equal, with every line ASCII and
// at most 998 octets, and the lines of coded parts at most 76.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "driver/compose_fixture.h"

namespace {

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The message as its reader gets it: the transparency dots taken off.
std::string Unstuffed(const std::string &data) {
  std::string out;
  size_t at = 0;
  while (at < data.size()) {
    size_t end = data.find("\r\n", at);
    end = end == std::string::npos ? data.size() : end + 2;
    if (data[at] == '.') at++;
    out.append(data, at, end - at);
    at = end;
  }
  return out;
}

struct Expected {
  std::vector<std::pair<std::string, std::string>> Fields;  // key, value
  std::vector<std::pair<std::string, std::string>> Files;   // shown name, path
};

class RoundTripTest : public ComposeTest {
 protected:
  // Judges every message by the oracle; one failure per message that differs.
  void Judge(const std::vector<std::string> &parts, const std::vector<Expected> &expected) {
    ASSERT_EQ(parts.size(), expected.size());
    std::ofstream list(Path("list.tsv"));
    for (size_t i = 0; i < parts.size(); i++) {
      const std::string message = Path("m" + std::to_string(i) + ".eml");
      const std::string expect = Path("m" + std::to_string(i) + ".want");
      WriteFileText(message, Unstuffed(parts[i]));
      std::ofstream want(expect);
      for (const auto &f : expected[i].Fields) want << f.first << "\t" << Hex(f.second) << "\n";
      for (const auto &f : expected[i].Files) want << "attach\t" << Hex(f.first) << "\t" << Hex(f.second) << "\n";
      list << message << "\t" << expect << "\n";
    }
    list.close();
    const std::string out = RunCommand("python3 " KEL_ORACLE " composed " + Path("list.tsv") + " 2>&1");
    std::istringstream lines(out);
    std::string line;
    size_t judged = 0;
    while (std::getline(lines, line)) {
      judged++;
      EXPECT_NE(line.find("\tmatch"), std::string::npos) << line;
    }
    EXPECT_EQ(judged, parts.size()) << out;
  }
};

struct Text {
  const char *Name;
  std::string Bytes;
  const char *Charset;  // as Python names it
};

const std::vector<Text> &Texts() {
  static const std::vector<Text> texts = {
      {"ascii", "Hello Bob,\nthe report is attached.\n\nRegards, Alice\n", "utf-8"},
      {"german", "Hallo Jürgen,\nPreis: 20 € für die Größe XL.\n" + std::string(30, 'x') +
                     " Straße " + std::string(150, 'y') + " äöü ÄÖÜ ß\nTschüss\n", "utf-8"},
      {"greek", "Καλημέρα κόσμε,\nη αναφορά επισυνάπτεται.\nΕυχαριστώ πολύ για όλα όσα κάνατε για εμάς τον "
                "τελευταίο χρόνο, ήταν υπέροχο.\n", "utf-8"},
      {"chinese", "你好，世界！\n报告已附上。这是一个很长的句子，用来检查编码是否正确处理多字节字符的换行问题，"
                  "不会在字符中间断开。\n", "utf-8"},
      {"emoji", "Party 🎉🎂 tonight! 👍\nSee you 😀\tthere.\n", "utf-8"},
      {"latin1", std::string("Gr\xFC\xDF" "e aus M\xFCnchen\nPreis: 20 \xA3\n"), "latin-1"},
  };
  return texts;
}

}  // namespace

TEST_F(RoundTripTest, EveryBodyFormatInEveryScriptWithAndWithoutAnAttachment) {
  const std::string attachment = Path("Grüße Bericht.pdf");
  std::string pdf = "%PDF-1.4\n";
  for (int i = 0; i < 3000; i++) pdf += static_cast<char>(i * 7 % 256);
  WriteFileText(attachment, pdf);
  struct Format {
    int Value;
    const char *Kind;
  };
  const std::vector<Format> formats = {{KEL_BODY_PLAIN, "plain"}, {KEL_BODY_QUOTED, "plain"},
                                       {KEL_BODY_HTML, "html"},   {KEL_BODY_ENRICHED, "enriched"},
                                       {KEL_BODY_CUSTOM, "plain"}, {7, "plain"}};
  const size_t count = formats.size() * Texts().size() * 2;
  Script(std::vector<int>(count, 1));
  Connect("Jürgen Müller <juergen@example.com>");
  std::vector<Expected> expected;
  for (const Format &f : formats) {
    kelIntegerParam(0, KEL_BODY_FORMAT, f.Value);
    for (const Text &t : Texts()) {
      for (bool attach : {false, true}) {
        SCOPED_TRACE(std::string(t.Name) + " format " + std::to_string(f.Value));
        const std::string subject = std::string("Grüße ") + t.Name + " Ελληνικά 中文 🎉";
        ASSERT_EQ(Send(t.Bytes.c_str(), attach ? attachment.c_str() : nullptr, subject.c_str(),
                       "Zoë Ωμέγα <zoe@example.net>"),
                  0);
        Expected e;
        e.Fields = {{"subject", subject},
                    {"from", "Jürgen Müller\x1fjuergen@example.com"},
                    {"to", "Zoë Ωμέγα\x1fzoe@example.net"},
                    {std::string("body_") + f.Kind, t.Bytes},
                    {"charset", t.Charset}};
        if (attach) e.Files = {{"Grüße Bericht.pdf", attachment}};
        expected.push_back(e);
      }
    }
  }
  Judge(Finish(), expected);
}

TEST_F(RoundTripTest, LongSubjectsAndFortyRecipientsWithNamesInFourScripts) {
  std::string to;
  std::string toWant;
  const char *names[] = {"Jürgen Müller", "Γιώργος Παπαδόπουλος", "Иван Петров", "王小明"};
  for (int i = 0; i < 40; i++) {
    const std::string name = std::string(names[i % 4]) + " " + std::to_string(i);
    const std::string address = "user" + std::to_string(i) + "@example.org";
    to += (i ? ", " : "") + name + " <" + address + ">";
    toWant += (i ? "\x1e" : "") + name + "\x1f" + address;
  }
  std::string ascii300, mixed1200, cjk1200;
  while (ascii300.size() < 300) ascii300 += "Quarterly report for the northern region ";
  ascii300.resize(300);
  while (mixed1200.size() < 1200) mixed1200 += "Grüße Ελληνικά Привет 中文字符 🎉 and words ";
  while (cjk1200.size() < 1200) cjk1200 += "这是一个非常长的主题行用于测试";
  const std::vector<std::string> subjects = {ascii300, mixed1200, cjk1200, std::string(1200, 'k')};
  std::vector<int> recipients(subjects.size(), 1);
  recipients.push_back(40);
  Script(recipients);
  Connect();
  std::vector<Expected> expected;
  for (const std::string &s : subjects) {
    ASSERT_EQ(Send("Body", nullptr, s.c_str()), 0);
    expected.push_back({{{"subject", s}, {"body_plain", "Body"}}, {}});
  }
  ASSERT_EQ(Send("Hello all", nullptr, "To everyone", to.c_str()), 0);
  expected.push_back({{{"to", toWant}, {"subject", "To everyone"}}, {}});
  Judge(Finish(), expected);
}

TEST_F(RoundTripTest, AttachmentNamesInAnyScriptAndLengthAndTypesByExtension) {
  const std::vector<std::string> names = {
      "Ελληνικά έγγραφο με πολύ μακρύ όνομα αρχείου για τον έλεγχο της συνέχειας των γραμμών.pdf",
      "报告.xlsx", "notes \"draft\".txt", "data.json", std::string(120, 'n') + ".csv", "photo.jpg"};
  std::string files;
  Expected e;
  for (size_t i = 0; i < names.size(); i++) {
    const std::string path = Path("f" + std::to_string(i));
    WriteFileText(path, "content " + std::to_string(i));
    files += (i ? "," : "") + path + "|" + names[i];
    e.Files.push_back({names[i], path});
  }
  e.Fields = {{"body_plain", "Files"}};
  Script({1, 1});
  Connect();
  kelIntegerParam(0, KEL_ATTACH_TYPES, 1);
  ASSERT_EQ(Send("Files", files.c_str()), 0);
  kelIntegerParam(0, KEL_ATTACH_TYPES, 0);
  ASSERT_EQ(Send("Files", files.c_str()), 0);
  const auto parts = Finish();
  Judge(parts, {e, e});
  for (const char *type : {"application/pdf", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
                           "text/plain", "application/json", "text/csv", "Image/JPEG"})  // an image goes inline
    EXPECT_NE(parts[0].find(std::string("Content-Type: ") + type + ";"), std::string::npos) << type;
  EXPECT_EQ(parts[1].find("application/pdf"), std::string::npos);
}

TEST_F(RoundTripTest, HtmlWithItsPlainVersionInMultipartAlternative) {
  WriteFileText(Path("logo.gif"), "GIF89a-not-really");
  WriteFileText(Path("report.pdf"), "%PDF-1.4 x");
  WriteFileText(Path("plain.txt"), "Grüße aus der Datei\n");
  struct Case {
    std::string Attachments;
    const char *Top;  // the message's own type
  };
  const std::vector<Case> cases = {
      {"", "multipart/alternative"},
      {Path("logo.gif"), "multipart/related"},
      // The images go in a related level first, the other files after it.
      {Path("report.pdf") + "," + Path("logo.gif"), "multipart/mixed"},
  };
  Script(std::vector<int>(cases.size() * 2, 1));
  Connect();
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_HTML);
  std::vector<Expected> expected;
  for (const std::string &alt : {std::string("Grüße, Ελληνικά, 中文 🎉\nzweite Zeile\n"), "@" + Path("plain.txt")}) {
    ASSERT_GT(kelStringParam(0, KEL_TEXT_ALTERNATIVE, alt.c_str()), 0);
    for (const Case &c : cases) {
      const std::string html = "<p>Grüße <img src=\"cid:message-root.1\"></p>\n";
      ASSERT_EQ(Send(html.c_str(), c.Attachments.empty() ? nullptr : c.Attachments.c_str()), 0);
      Expected e;
      e.Fields = {{"body_html", html}, {"body_plain", alt[0] == '@' ? "Grüße aus der Datei\n" : alt}};
      if (!c.Attachments.empty()) e.Files.push_back({"logo.gif", Path("logo.gif")});
      if (c.Attachments.find("report") != std::string::npos) e.Files.push_back({"report.pdf", Path("report.pdf")});
      expected.push_back(e);
    }
  }
  const auto parts = Finish();
  Judge(parts, expected);
  for (size_t i = 0; i < parts.size(); i++) {
    const Case &c = cases[i % cases.size()];
    EXPECT_NE(parts[i].find(std::string("\r\nContent-Type: ") + c.Top + "; boundary="), std::string::npos) << i;
    // text/plain first, then text/html.
    EXPECT_LT(parts[i].find("Content-Type: text/plain"), parts[i].find("Content-Type: text/html")) << i;
    if (std::string(c.Top) == "multipart/mixed") {
      const size_t related = parts[i].find("Content-Type: multipart/related; boundary=\"rel");
      EXPECT_LT(related, parts[i].find("Content-Type: multipart/alternative")) << i;
      EXPECT_LT(parts[i].find("logo.gif"), parts[i].find("report.pdf")) << i;
    }
  }
}
