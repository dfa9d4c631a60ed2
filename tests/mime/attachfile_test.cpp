// Attachment files: names taken from part headers (and kept inside the
// attachment directory), numbering, unnamed parts, the note, the list and
// the counters.
#include "mime/decode_fixture.h"

namespace {

using AttachFiles = DecodeTest;

// A multipart message whose parts are given as header lines and body lines.
std::string Multipart(const std::vector<std::vector<std::string>> &parts) {
  std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", ""};
  for (const auto &part : parts) {
    lines.push_back("--b");
    lines.insert(lines.end(), part.begin(), part.end());
  }
  lines.push_back("--b--");
  lines.push_back(".");
  return Lines(lines);
}

std::vector<std::string> NamedPart(const std::string &header, const std::string &content) {
  return {header, "Content-Transfer-Encoding: base64", "", Base64(content)};
}

std::string Note(const std::string &path) { return "[Attachment saved to \"" + path + "\"]\r\n"; }

TEST_F(AttachFiles, NamesNeverLeaveTheAttachmentDirectory) {
  const struct {
    const char *Header, *Saved;
  } cases[] = {
      {"Content-Type: application/msword; name=\"C:\\docs\\old\\x.doc\"", "x.doc"},
      {"Content-Disposition: attachment; filename=\"/etc/y.doc\"", "y.doc"},
      {"Content-Disposition: attachment; filename=\"../../z.doc\"", "z.doc"},
      {"Content-Disposition: attachment; filename=\"/\"", "noname"},
      {"Content-Disposition: attachment; filename=\"..\"", "noname"},
      {"Content-Disposition: attachment; filename=\"a/.\"", "noname"},
      {"Content-Type: text/plain; name=\"=?iso-8859-1?q?=2E=2E=2Fq.txt?=\"", "q.txt"},
      {"Content-Disposition: attachment; filename=\"a\x01" "b\x1f.txt\"", "a_b_.txt"},
  };
  for (const auto &c : cases) {
    Begin();
    ASSERT_EQ(Play(Multipart({NamedPart(c.Header, "data")})), 0) << c.Header;
    EXPECT_EQ(Attachment(c.Saved), "data") << c.Header;
    EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n" + Note(attachDir_ + "/" + c.Saved)) << c.Header;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/../z.doc"));
}

TEST_F(AttachFiles, EncodedWordNamesAreDecoded) {
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=\"=?iso-8859-1?q?r=E9sum=E9_1.txt?=\"", "q")})),
            0);
  // Names are UTF-8 whatever their character set.
  EXPECT_EQ(Attachment("r\xC3\xA9sum\xC3\xA9 1.txt"), "q");
  // Base64-encoded, on a folded line.
  Begin();
  const std::string message =
      Multipart({{"Content-Disposition: attachment;", "\tfilename=\"=?ISO-8859-1?B?culzdW3pLnR4dA==?=\"",
                  "Content-Transfer-Encoding: base64", "", Base64("b64")}});
  ASSERT_EQ(Play(message), 0);
  EXPECT_EQ(Attachment("r\xC3\xA9sum\xC3\xA9.txt"), "b64");
  EXPECT_NE(Log().find("[iso-8859]\r\n"), std::string::npos);
}

TEST_F(AttachFiles, DispositionNameWinsAndOnlyOneFileIsMade) {
  ASSERT_EQ(Play(Multipart({{"Content-Type: text/plain; name=\"first.txt\"",
                             "Content-Disposition: attachment; filename=\"second.txt\"",
                             "Content-Transfer-Encoding: base64", "", Base64("content")},
                            {"Content-Type: text/plain; name=\"same.txt\"",
                             "Content-Disposition: attachment; filename=\"same.txt\"",
                             "Content-Transfer-Encoding: base64", "", Base64("once")}})),
            0);
  EXPECT_FALSE(AttachmentExists("first.txt"));
  EXPECT_EQ(Attachment("second.txt"), "content");
  EXPECT_EQ(Attachment("same.txt"), "once");
  // Only the files closed at a boundary are recorded.
  EXPECT_STREQ(Ch().AttachList, "second.txt,same.txt");
  EXPECT_EQ(Ch().AttachCount, 2);
}

TEST_F(AttachFiles, NumberedNamesGoOnRisingOverMessages) {
  kelIntegerParam(0, KEL_NUMBER_FILENAMES, 1);
  const std::string message = Multipart({NamedPart("Content-Type: text/plain; name=a.txt", "one"),
                                         NamedPart("Content-Type: text/plain; name=a.txt", "two")});
  ASSERT_EQ(Play(message), 0);
  EXPECT_STREQ(Ch().AttachList, "1-a.txt,2-a.txt");
  Begin();
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=a.txt", "three")})), 0);
  EXPECT_EQ(Attachment("1-a.txt"), "one");
  EXPECT_EQ(Attachment("2-a.txt"), "two");
  EXPECT_EQ(Attachment("3-a.txt"), "three");
  EXPECT_STREQ(Ch().AttachList, "3-a.txt");
  EXPECT_EQ(Ch().AttachCount, 1);
  EXPECT_EQ(Ch().SavedCount, 3);
}

TEST_F(AttachFiles, SameNameWithoutNumbersOverwrites) {
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=a.txt", "one"),
                            NamedPart("Content-Type: text/plain; name=a.txt", "two")})),
            0);
  EXPECT_EQ(Attachment("a.txt"), "two");
  EXPECT_STREQ(Ch().AttachList, "a.txt,a.txt");
}

TEST_F(AttachFiles, UnnamedBase64TextIsSavedOnlyWhenAsked) {
  const std::string message =
      Multipart({{"Content-Type: text/plain", "Content-Transfer-Encoding: base64", "", Base64("secret")}});
  ASSERT_EQ(Play(message), 0);
  // Otherwise it is text of the message, decoded.
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\nsecret");
  EXPECT_FALSE(AttachmentExists("incoming.mai"));

  kelIntegerParam(0, KEL_SAVE_UNNAMED, 1);
  Begin();
  ASSERT_EQ(Play(message), 0);
  EXPECT_EQ(Attachment("incoming.mai"), "secret");
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n" + Note(attachDir_ + "/incoming.mai"));

  // A single-part message on a channel that never named a part: "noname".
  Begin();
  Ch().AttachName[0] = 0;
  ASSERT_EQ(Play(Lines({"+OK", "MIME-Version: 1.0", "Content-Transfer-Encoding: base64", "", Base64("single"),
                        "."})),
            0);
  EXPECT_EQ(Attachment("noname"), "single");
}

TEST_F(AttachFiles, NoSavedNoteLeavesNoTraceInTheEmailFile) {
  kelIntegerParam(0, KEL_NO_SAVED_NOTE, 1);
  ASSERT_EQ(Play(Multipart({{"Content-Type: text/plain", "", "visible"},
                            NamedPart("Content-Type: text/plain; name=n.txt", "hidden")})),
            0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\nvisible\r\n");
  EXPECT_EQ(Attachment("n.txt"), "hidden");
  EXPECT_NE(Log().find(Note(attachDir_ + "/n.txt")), std::string::npos);
}

TEST_F(AttachFiles, FullListKeepsCountingButDropsNames) {
  kelIntegerParam(0, KEL_ATTACH_SEPARATOR, ';');
  // Names as long as the path allows, until the list's 1,026 bytes are full.
  const size_t length = std::min<size_t>(40, 127 - attachDir_.size());
  std::vector<std::vector<std::string>> parts;
  std::string expected;
  int recorded = 0;
  const int count = static_cast<int>(1026 / (length + 1)) + 2;
  for (int i = 0; i < count; ++i) {
    std::string name = std::to_string(i);
    name += std::string(length - name.size(), 'a');
    parts.push_back(NamedPart("Content-Type: text/plain; name=" + name, "x"));
    if ((expected.empty() ? 0 : 1) + expected.size() + name.size() + 1 <= 1026) {
      expected += (expected.empty() ? "" : ";") + name;
      ++recorded;
    }
  }
  ASSERT_EQ(Play(Multipart(parts)), 0);
  EXPECT_EQ(std::string(Ch().AttachList), expected);
  EXPECT_LT(recorded, static_cast<int>(parts.size()));
  EXPECT_EQ(Ch().AttachCount, static_cast<int>(parts.size()));
  EXPECT_EQ(kelStatistics(0, KEL_STAT_ATTACH_COUNT), static_cast<int>(parts.size()));
  char buffer[1100];
  EXPECT_GT(kelDebug(0, KEL_DEBUG_ATTACH_LIST, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(AttachFiles, FilesThatCannotBeCreatedLeaveTheirLinesInTheEmailFile) {
  // No such directory: nothing is created. A name too long for a path of
  // 128 characters beside the directory is cut to fit rather than lost.
  const std::string missing = dir_ + "/no/such/dir";
  CopyField(Ch().AttachDir, missing.c_str(), 128);
  const std::string message = Multipart({NamedPart("Content-Type: text/plain; name=f.txt", "kept")});
  ASSERT_EQ(Play(message), 0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n" + Base64("kept") + "\r\n");
  EXPECT_NE(Log().find("[Cannot open '" + missing + "/f.txt']\r\n"), std::string::npos);

  Begin();
  const std::string name = std::string(128 - attachDir_.size(), 'n');  // one character too many
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=" + name + ".text", "long")})), 0);
  const std::string cut = name.substr(0, name.size() - 6) + ".text";
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n[Attachment saved to \"" + attachDir_ + "/" + cut + "\"]\r\n");
  EXPECT_FALSE(AttachmentExists(name));
  EXPECT_EQ(Attachment(cut), "long");
  EXPECT_EQ(Ch().AttachCount, 1);

  Begin();
  const std::string fits = name.substr(1);
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=" + fits, "fits")})), 0);
  EXPECT_EQ(Attachment(fits), "fits");
}

TEST_F(AttachFiles, PathsJoinWithOneSlash) {
  char path[130];
  EXPECT_EQ(JoinPath(path, sizeof path, "/tmp/a", "x"), 8);
  EXPECT_STREQ(path, "/tmp/a/x");
  EXPECT_EQ(JoinPath(path, sizeof path, "/tmp/a/", "x"), 8);
  EXPECT_STREQ(path, "/tmp/a/x");
  EXPECT_EQ(JoinPath(path, sizeof path, "", "x"), 2);
  EXPECT_STREQ(path, "/x");
  EXPECT_EQ(JoinPath(path, sizeof path, std::string(126, 'd').c_str(), "x"), 128);
  EXPECT_EQ(JoinPath(path, sizeof path, std::string(127, 'd').c_str(), "x"), -1);
  EXPECT_STREQ(path, "");
}

TEST_F(AttachFiles, UnquotedAndUnclosedNames) {
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Disposition: attachment; filename=r.pdf; size=3", "pdf")})), 0);
  EXPECT_EQ(Attachment("r.pdf"), "pdf");
  // A quote that is never closed runs to the line end.
  Begin();
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Disposition: attachment; filename=\"open.pdf", "pdf")})), 0);
  EXPECT_EQ(Attachment("open.pdf"), "pdf");
}

TEST_F(AttachFiles, NamesInEveryFormBecomeUtf8) {
  const struct {
    std::vector<std::string> Header;
    const char *Saved;
  } cases[] = {
      // RFC 2231: charset and language, continuations mixing escaped and plain sections.
      {{"Content-Disposition: attachment; filename*=utf-8''Gr%C3%BC%C3%9Fe.pdf"}, "Gr\xC3\xBC\xC3\x9F" "e.pdf"},
      {{"Content-Disposition: attachment;", " filename*0*=iso-8859-1'de'r%E9sum;", " filename*1=\"e 2.txt\""},
       "r\xC3\xA9sume 2.txt"},
      {{"Content-Type: application/x; name*=''plain%20name.bin"}, "plain name.bin"},
      // RFC 2047 in other character sets; a character split over two words.
      {{"Content-Type: application/x; name=\"=?koi8-r?B?89DJ08/LLmRvYw==?=\""}, "\xD0\xA1\xD0\xBF\xD0\xB8\xD1\x81\xD0\xBE\xD0\xBA.doc"},
      {{"Content-Type: application/x;", " name=\"=?utf-8?B?w6k=?= =?utf-8?Q?t=C3?=", " =?utf-8?Q?=A9.txt?=\""},
       "\xC3\xA9t\xC3\xA9.txt"},
      // The disposition's filename before the type's name, whatever their order.
      {{"Content-Type: application/x; name=\"type.bin\"", "Content-Disposition: attachment; filename=disp.bin"},
       "disp.bin"},
      {{"Content-Disposition: attachment; filename=disp2.bin", "Content-Type: application/x; name=\"type.bin\""},
       "disp2.bin"},
      // Folded before the name, unquoted with parameters after it, escaped quotes.
      {{"Content-Disposition: attachment;", "\tsize=4;", "\tfilename=\"folded.bin\""}, "folded.bin"},
      {{"Content-Disposition: attachment; filename=\"a \\\"q\\\".txt\"; size=4"}, "a \"q\".txt"},
  };
  for (const auto &c : cases) {
    Begin();
    std::vector<std::string> part = c.Header;
    part.insert(part.end(), {"Content-Transfer-Encoding: base64", "", Base64("data")});
    ASSERT_EQ(Play(Multipart({part})), 0) << c.Saved;
    EXPECT_EQ(Attachment(c.Saved), "data") << c.Header[0];
    EXPECT_STREQ(Ch().AttachList, c.Saved);
  }
}

TEST_F(AttachFiles, UnnamedNonTextPartsAreNamedByType) {
  ASSERT_EQ(Play(Multipart({{"Content-Type: text/plain", "", "text stays"},
                            {"Content-Type: image/png", "Content-Disposition: inline", "Content-Transfer-Encoding: base64",
                             "", Base64("png")},
                            {"Content-Type: application/pdf", "Content-Transfer-Encoding: base64", "", Base64("pdf")},
                            {"Content-Type: application/x-unknown", "", "raw"}})),
            0);
  EXPECT_EQ(Attachment("part-1.png"), "png");
  EXPECT_EQ(Attachment("part-2.pdf"), "pdf");
  EXPECT_EQ(Attachment("part-3.bin"), "raw");
  EXPECT_STREQ(Ch().AttachList, "part-1.png,part-2.pdf,part-3.bin");
  EXPECT_EQ(Email().substr(0, 33), "MIME-Version: 1.0\r\n\r\ntext stays\r\n");
}

}  // namespace
