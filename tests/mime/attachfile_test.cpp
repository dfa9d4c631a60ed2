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
    ClearAttachments();
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

TEST_F(AttachFiles, NoFileIsEverOverwritten) {
  // A file of the user's, and the email file itself, under names attachments take.
  WriteFileText(attachDir_ + "/a.txt", "mine");
  emailPath_ = attachDir_ + "/message-1.eml";
  Begin();
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=a.txt", "one"),
                            NamedPart("Content-Type: text/plain; name=a.txt", "two"),
                            NamedPart("Content-Type: text/plain; name=message-1.eml", "not the email"),
                            NamedPart("Content-Type: application/octet-stream; name=noext", "n1"),
                            NamedPart("Content-Type: application/octet-stream; name=noext", "n2"),
                            NamedPart("Content-Type: application/octet-stream; name=.profile", "p"),
                            NamedPart("Content-Type: application/octet-stream; name=.profile", "p2")})),
            0);
  EXPECT_EQ(Attachment("a.txt"), "mine");
  EXPECT_EQ(Attachment("a (1).txt"), "one");
  EXPECT_EQ(Attachment("a (2).txt"), "two");
  EXPECT_EQ(Attachment("message-1 (1).eml"), "not the email");
  EXPECT_EQ(Attachment("noext (1)"), "n2");
  EXPECT_EQ(Attachment(".profile (1)"), "p2");
  EXPECT_STREQ(Ch().AttachList, "a (1).txt,a (2).txt,message-1 (1).eml,noext,noext (1),.profile,.profile (1)");
  const std::string email = Email();
  EXPECT_EQ(email.find("not the email"), std::string::npos);
  EXPECT_NE(email.find(Note(attachDir_ + "/a (2).txt")), std::string::npos);
  // The next message with the same names, and unnamed parts numbered alike.
  Begin();
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=a.txt", "three"),
                            NamedPart("Content-Type: image/png", "png")})),
            0);
  Begin();
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: image/png", "png2")})), 0);
  EXPECT_EQ(Attachment("a (3).txt"), "three");
  EXPECT_EQ(Attachment("part-2.png"), "png");
  EXPECT_EQ(Attachment("part-1.png"), "png2");
  EXPECT_EQ(Attachment("a.txt"), "mine");
}

TEST_F(AttachFiles, NumberedNamesGoOnPastTheFilesPresent) {
  // As a second run of the same program finds them.
  WriteFileText(attachDir_ + "/1-a.txt", "earlier");
  WriteFileText(attachDir_ + "/2-b.txt", "earlier");
  kelIntegerParam(0, KEL_NUMBER_FILENAMES, 1);
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=a.txt", "one"),
                            NamedPart("Content-Type: text/plain; name=b.txt", "two")})),
            0);
  EXPECT_STREQ(Ch().AttachList, "2-a.txt,3-b.txt");
  EXPECT_EQ(Attachment("1-a.txt"), "earlier");
  EXPECT_EQ(Attachment("2-b.txt"), "earlier");
  EXPECT_EQ(Attachment("2-a.txt"), "one");
  EXPECT_EQ(Attachment("3-b.txt"), "two");
}

// A note begins a line of its own, also after decoded text without a line end.
TEST_F(AttachFiles, NotesStandOnLinesOfTheirOwn) {
  ASSERT_EQ(Play(Multipart({{"Content-Type: text/plain", "Content-Transfer-Encoding: base64", "", Base64("no end")},
                            {"Content-Type: application/pdf; name=r.pdf", "Content-Transfer-Encoding: base64", "",
                             Base64("pdf")},
                            {"Content-Type: text/plain", "Content-Transfer-Encoding: base64", "", Base64("ends\r\n")},
                            {"Content-Type: application/pdf; name=s.pdf", "Content-Transfer-Encoding: base64", "",
                             Base64("pdf")}})),
            0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\nno end\r\n[Attachment saved to \"" + attachDir_ +
                         "/r.pdf\"]\r\nends\r\n[Attachment saved to \"" + attachDir_ + "/s.pdf\"]\r\n");
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

TEST_F(AttachFiles, NamesTooLongForThePathAreShortenedBeforeTheExtension) {
  const std::string name = std::string(128 - attachDir_.size(), 'n');  // one character too many
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=" + name + ".txt", "long"),
                            NamedPart("Content-Type: text/plain; name=" + name + ".txt", "again"),
                            NamedPart("Content-Type: text/plain; name=" + name.substr(5), "fits")})),
            0);
  const std::string cut = name.substr(0, name.size() - 5);
  EXPECT_EQ(Attachment(cut + ".txt"), "long");
  EXPECT_EQ(Attachment(cut.substr(0, cut.size() - 4) + " (1).txt"), "again");
  EXPECT_EQ(Attachment(name.substr(5)), "fits");
  EXPECT_EQ(Ch().AttachCount, 3);
  // A character is never cut in half.
  Begin();
  ClearAttachments();
  std::string wide;
  while (attachDir_.size() + 1 + wide.size() < 130) wide += "\xC3\xA9";
  ASSERT_EQ(Play(Multipart({NamedPart("Content-Type: text/plain; name=" + wide, "wide")})), 0);
  const std::string saved = Ch().AttachList;
  EXPECT_EQ(saved.size() % 2, 0u);
  EXPECT_EQ(Attachment(saved), "wide");
}

TEST_F(AttachFiles, FilesThatCannotBeCreatedFailTheRetrieval) {
  // The directory goes away after the check: the create fails with the system's reason.
  const std::string missing = dir_ + "/no/such/dir";
  CopyField(Ch().AttachDir, missing.c_str(), 128);
  const std::string message = Multipart({NamedPart("Content-Type: text/plain; name=f.txt", "kept")});
  EXPECT_EQ(Play(message), -83);
  EXPECT_EQ(Ch().AttachCount, 0);
  char text[400];
  kelErrorText(0, -83, text, sizeof text);
  EXPECT_EQ(std::string(text),
            "Cannot create attachment file. '" + missing + "/f.txt': No such file or directory");
  // A directory too long for any name.
  Begin();
  const std::string deep = attachDir_ + "/" + std::string(126 - attachDir_.size(), 'd');
  std::filesystem::create_directories(deep);
  CopyField(Ch().AttachDir, deep.c_str(), 128);
  EXPECT_EQ(Play(message), -83);
  kelErrorText(0, -83, text, sizeof text);
  EXPECT_EQ(std::string(text), "Cannot create attachment file. '" + deep + "': File name too long");
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
