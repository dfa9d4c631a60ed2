// Attachments as the server receives them: the part layout, inline images
// and their Content-IDs, aliases and separators, the Base64 lines, and the
// files that cannot be sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/compose_fixture.h"

namespace {

// The header lines of every attachment part of a message: from the line
// after each boundary line up to the empty line.
std::vector<std::vector<std::string>> PartHeaders(const std::string &message) {
  std::vector<std::vector<std::string>> parts;
  const std::string boundary = "\r\n--" + std::string(BoundaryText) + "\r\n";
  size_t at = message.find(boundary);  // the body part's
  while (at != std::string::npos && (at = message.find(boundary, at + 1)) != std::string::npos) {
    std::vector<std::string> lines;
    size_t start = at + boundary.size();
    for (size_t end; (end = message.find("\r\n", start)) != std::string::npos && end != start; start = end + 2)
      lines.push_back(message.substr(start, end - start));
    parts.push_back(lines);
  }
  return parts;
}

std::vector<std::string> Plain(const std::string &name) {
  return {"Content-Type: application/octet-stream; name=\"" + name + "\"", "Content-Transfer-Encoding: base64",
          "Content-Disposition: attachment; filename=\"" + name + "\""};
}

std::vector<std::string> Inline(const std::string &type, const std::string &name, int id) {
  return {"Content-Type: Image/" + type + "; name=\"" + name + "\"", "Content-ID: <message-root." + std::to_string(id) + ">",
          "Content-Transfer-Encoding: base64", "Content-Disposition: inline; filename=\"" + name + "\""};
}

using AttachTest = ComposeTest;

TEST_F(AttachTest, FileBodyAndTwoAttachmentsInTheirLayout) {
  WriteFileText(Path("body.txt"), "First line\r\nSecond line\r\n");
  WriteFileText(Path("a.dat"), "abc");
  WriteFileText(Path("b.gif"), "GIF89a");
  Script({1});
  Connect();
  const std::string body = "@" + Path("body.txt");
  const std::string files = Path("a.dat") + "," + Path("b.gif");
  ASSERT_EQ(Send(body.c_str(), files.c_str(), "Report", "Bob <bob@example.com>"), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_BODY_READ), 25);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_BODY_SENT), 25);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_READ), 9);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_SENT), 16);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 1u);
  const std::string b = Boundary();
  EXPECT_EQ(parts[0], Head() + Lines({"To: Bob <bob@example.com>",
                                      "From: Alice <alice@example.com>",
                                      "Subject: Report",
                                      "MIME-Version: 1.0",
                                      "Content-Type: multipart/mixed; boundary=\"" + b + "\"",
                                      "",
                                      "--" + b,
                                      "Content-Type: text/plain",
                                      "",
                                      "First line",
                                      "Second line",
                                      "",
                                      "--" + b,
                                      "Content-Type: application/octet-stream; name=\"a.dat\"",
                                      "Content-Transfer-Encoding: base64",
                                      "Content-Disposition: attachment; filename=\"a.dat\"",
                                      "",
                                      "YWJj",
                                      "",
                                      "--" + b,
                                      "Content-Type: Image/GIF; name=\"b.gif\"",
                                      "Content-ID: <message-root.1>",
                                      "Content-Transfer-Encoding: base64",
                                      "Content-Disposition: inline; filename=\"b.gif\"",
                                      "",
                                      "R0lGODlh",
                                      "--" + b + "--",
                                      "",
                                      ""}));
}

TEST_F(AttachTest, ImagesGoInlineByExtensionWithContentIdsPerMessage) {
  for (const char *name : {"photo.JPG", "photo.jpeg", "scan.png", ".gif", "chart.gif", "map.Bmp", "fax.tif"})
    WriteFileText(Path(name), "x");
  Script({1, 1, 1});
  Connect();
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_HTML);
  std::string files;
  for (const char *name : {"photo.JPG", "photo.jpeg", "scan.png", ".gif", "chart.gif", "map.Bmp", "fax.tif"})
    files += (files.empty() ? "" : ",") + Path(name);
  ASSERT_EQ(Send("<img src=\"cid:message-root.1\">", files.c_str()), 0);
  const std::string chart = Path("chart.gif");
  ASSERT_EQ(Send("again", chart.c_str()), 0);
  kelIntegerParam(0, KEL_AUTO_INLINE, 0);
  ASSERT_EQ(Send("plain", chart.c_str()), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_NE(parts[0].find("Content-Type: multipart/related; boundary="), std::string::npos);
  EXPECT_EQ(PartHeaders(parts[0]),
            (std::vector<std::vector<std::string>>{Inline("JPEG", "photo.JPG", 1), Plain("photo.jpeg"),
                                                  Plain("scan.png"), Plain(".gif"), Inline("GIF", "chart.gif", 2),
                                                  Inline("BMP", "map.Bmp", 3), Inline("TIFF", "fax.tif", 4)}));
  EXPECT_EQ(PartHeaders(parts[1]), (std::vector<std::vector<std::string>>{Inline("GIF", "chart.gif", 1)}));
  EXPECT_EQ(PartHeaders(parts[2]), (std::vector<std::vector<std::string>>{Plain("chart.gif")}));
}

TEST_F(AttachTest, AliasesNameTheFileTheirPathsOpen) {
  WriteFileText(Path("report.dat"), "r");
  WriteFileText(Path("x.dat"), "x");
  Script({1, 1});
  Connect();
  std::string files = Path("report.dat") + "|Q3.dat," + Path("x.dat") + "|C:\\y\\z:final.gif," + Path("x.dat");
  ASSERT_EQ(Send("one", files.c_str()), 0);
  kelIntegerParam(0, KEL_ALIAS_SEPARATOR, '#');
  kelIntegerParam(0, KEL_ATTACH_SEPARATOR, ';');
  files = Path("report.dat") + "#a,b.dat;" + Path("x.dat") + ";";  // the list may end in a separator
  ASSERT_EQ(Send("two", files.c_str()), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(PartHeaders(parts[0]), (std::vector<std::vector<std::string>>{Plain("Q3.dat"), Inline("GIF", "final.gif", 1),
                                                                         Plain("x.dat")}));
  EXPECT_EQ(PartHeaders(parts[1]), (std::vector<std::vector<std::string>>{Plain("a,b.dat"), Plain("x.dat")}));
  EXPECT_NE(parts[0].find("\r\n\r\ncg==\r\n"), std::string::npos);  // "r", read through its path
}

TEST_F(AttachTest, Base64LinesCarry57BytesEach) {
  WriteFileText(Path("58.bin"), std::string(58, 'A'));
  WriteFileText(Path("171.bin"), std::string(171, 'A'));
  WriteFileText(Path("empty.bin"), "");
  Script({1});
  Connect();
  const std::string files = Path("58.bin") + "," + Path("empty.bin") + "," + Path("171.bin");
  ASSERT_EQ(Send("", files.c_str()), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_READ), 58 + 171);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_SENT), 78 + 6 + 3 * 78);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 1u);
  std::string full;
  for (int i = 0; i < 19; i++) full += "QUFB";
  const std::string b = Boundary();
  const std::string expected =
      Lines({"Content-Disposition: attachment; filename=\"58.bin\"", "", full, "QQ==", "", "--" + b}) +
      Lines(Plain("empty.bin")) + Lines({"", "", "--" + b}) + Lines(Plain("171.bin")) +
      Lines({"", full, full, full, "--" + b + "--", "", ""});
  ASSERT_GE(parts[0].size(), expected.size());
  EXPECT_EQ(parts[0].substr(parts[0].size() - expected.size()), expected);
}

TEST_F(AttachTest, AttachmentThatCannotBeReadAbandonsTheMessage) {
  const std::string log = OpenLog();
  // A file that does not exist, and one that opens but cannot be read (the directory).
  for (const std::string &name : {std::string("missing.dat"), std::string("")}) {
    SCOPED_TRACE(name);
    ScriptServer server;
    server.Send("220 ready\r\n").ReadUntil("\r\n").Send("250 hello\r\n");
    server.ReadUntil("\r\n").Send("250 ok\r\n").ReadUntil("\r\n").Send("250 ok\r\n");
    server.ReadUntil("DATA\r\n").Send("354 go\r\n").ReadUntil("filename=\"" + name + "\"\r\n\r\n").Close();
    server.Start();
    kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
    ASSERT_EQ(kelSmtpConnect(0, "127.0.0.1", "<alice@example.com>", nullptr), 0);
    const std::string files = Path(name);
    EXPECT_EQ(Send("body", files.c_str()), -35);
    EXPECT_EQ(Ch().FileHandle, 0);
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos);
    EXPECT_NE(ReadFileText(log).find("Opening attachment [" + files + "]\r\n"), std::string::npos);
  }
}

TEST_F(AttachTest, AnAliasCannotBreakThePartHeader) {
  WriteFileText(Path("a.dat"), "a");
  Script({1});
  Connect();
  const std::string files = Path("a.dat") + "|evil\r\n.\r\nQUIT.dat";
  ASSERT_EQ(Send("body", files.c_str()), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(PartHeaders(parts[0]), (std::vector<std::vector<std::string>>{Plain("evil  .  QUIT.dat")}));
}

}  // namespace
