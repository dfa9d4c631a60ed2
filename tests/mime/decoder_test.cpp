// The incoming decoder: its answers line by line, the email file it leaves
// and the log notes, for plain, single-part and multipart messages.
#include "mime/decode_fixture.h"

namespace {

const std::vector<std::string> ExampleMessage = {
    "+OK 2345 octets",
    "Received: from a relay",
    "Subject: Report",
    "MIME-Version: 1.0",
    "Date: Mon, 2 Jul 2001 10:00:00",
    "Content-Type: multipart/mixed; boundary=XYZ",
    "",
    "This is a multi-part message.",
    "--XYZ",
    "Content-Type: text/plain",
    "",
    "Hello",
    "--XYZ",
    "Content-Type: application/pdf; name=r.pdf",
    "Content-Transfer-Encoding: base64",
    "",
    "JVBERi0xLjQK",
    "--XYZ--",
    ".",
};

using Decoder = DecodeTest;

TEST_F(Decoder, FollowsTheExampleMessageLineByLine) {
  struct Step {
    int Answer, StateAfter;
  };
  const Step steps[] = {
      {1, TopHeader},    {1, TopHeader},    {1, TopHeader},    {1, MimeHeader},   {0, MimeHeader},
      {0, BetweenParts}, {1, BetweenParts}, {0, BetweenParts}, {0, PartHeader},   {0, PartHeader},
      {0, PartBody},     {1, PartBody},     {0, PartHeader},   {0, PartHeader},   {0, PartHeader},
      {0, PartBody},     {0, PartBody},     {0, PartHeader},
  };
  Channel &ch = Ch();
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(Line(ExampleMessage[i] + "\r\n"), steps[i].Answer) << ExampleMessage[i];
    EXPECT_EQ(ch.DecodeState, steps[i].StateAfter) << ExampleMessage[i];
    if (i == 5) {
      EXPECT_STREQ(ch.Boundary, "--XYZ");
      EXPECT_EQ(ch.BoundaryLength, 5);
    }
    if (i == 8) {
      EXPECT_STREQ(ch.AttachName, "incoming.mai");
    }
    if (i == 13) {
      EXPECT_STREQ(ch.AttachName, "r.pdf");
    }
    // The file is made at the end of the part header, when every name is known.
    if (i == 15) {
      EXPECT_NE(ch.FileHandle, 0);
    }
    if (i == 14) {
      EXPECT_EQ(ch.MimeEncoding, EncodingBase64);
    }
  }
  EXPECT_EQ(ch.FileHandle, 0);
  EXPECT_EQ(ch.BoundaryCount, 3);
  EXPECT_EQ(ch.BlankLineWritten, 1);
  EXPECT_EQ(Attachment("r.pdf"), "%PDF-1.4\n");
  EXPECT_EQ(ch.AttachBytesRead, 14u);
}

TEST_F(Decoder, ExampleMessageLeavesTheReadableTextAndTheNote) {
  ASSERT_EQ(Play(Lines(ExampleMessage)), 0);
  EXPECT_EQ(Email(), "Received: from a relay\r\nSubject: Report\r\nMIME-Version: 1.0\r\n\r\nHello\r\n"
                     "[Attachment saved to \"" + attachDir_ + "/r.pdf\"]\r\n");
  EXPECT_EQ(Attachment("r.pdf"), "%PDF-1.4\n");
  const std::string log = Log();
  for (const char *note : {"[MIME version found]\r\n", "[MIME boundary defined 5 (--XYZ)]\r\n",
                           "[Boundary line found]\r\n", "[Looking for encoding]\r\n",
                           "[Encoding is BASE64]\r\n", "[Filename='r.pdf']\r\n",
                           "[InlineFlag=0 MimeEncoding=2 FileHandle=", "[...decode to file...]\r\n",
                           "[Attachment saved to \"", "[CLOSE]\r\n"})
    EXPECT_NE(log.find(note), std::string::npos) << note;
}

TEST_F(Decoder, MessageWithoutMimeIsWrittenUnchanged) {
  const std::string text = Lines({"From: a@b", "Subject: plain", "", "Body line", "  indented", "--XYZ", "x"});
  ASSERT_EQ(Play("+OK\r\n" + text + ".\r\n"), 0);
  EXPECT_EQ(Email(), text);
  EXPECT_EQ(Ch().DecodeState, NotMime);
  EXPECT_NE(Log().find("[Not doing MIME/2]\r\n"), std::string::npos);
}

TEST_F(Decoder, BoundaryWithoutMimeVersionIsAssumedMime) {
  const std::string message = Lines({"+OK", "Subject: s", "Content-Type: multipart/mixed; boundary=b1", "",
                                     "preamble", "--b1", "Content-Type: text/plain", "", "text", "--b1--", "."});
  ASSERT_EQ(Play(message), 0);
  // The Content-Type line keeps its value and its line end.
  EXPECT_EQ(Email(), "Subject: s\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\ntext\r\n");
  EXPECT_NE(Log().find("[Assuming MIME]\r\n"), std::string::npos);
}

TEST_F(Decoder, AfterMimeVersionOnlySubjectToAndFromAreKept) {
  const std::string message =
      Lines({"+OK", "Received: early", "MIME-Version: 1.0", "Received: from x", "Date: today", "To: a@b,",
             "\tc@d", "From: e@f", "X-Other: y", "Content-Type: text/plain", "Subject: s", "  folded subject",
             "", "body", "."});
  ASSERT_EQ(Play(message), 0);
  // The folded continuation of a kept line is kept with it.
  EXPECT_EQ(Email(), "Received: early\r\nMIME-Version: 1.0\r\nTo: a@b,\r\n\tc@d\r\nFrom: e@f\r\nSubject: s\r\n"
                     "  folded subject\r\n\r\nbody\r\n");
  EXPECT_NE(Log().find("[Not doing MIME]\r\n"), std::string::npos);
}

// The boundary's Content-Type line first, as some programs write it: the
// header lines after it are kept by the same rules as before it.
TEST_F(Decoder, HeaderLinesAfterTheBoundaryLineAreKept) {
  const std::vector<std::string> parts = {"", "preamble", "--b", "Content-Type: text/plain", "", "hello", "--b--", "."};
  std::vector<std::string> first = {"+OK", "Content-Type: multipart/mixed; boundary=b", "From: a@b", "To: c@d",
                                    "\tand e@f", "Subject: =?iso-8859-1?q?caf=E9?=", "Date: today"};
  first.insert(first.end(), parts.begin(), parts.end());
  ASSERT_EQ(Play(Lines(first)), 0);
  EXPECT_EQ(Email(), "Content-Type: multipart/mixed; boundary=b\r\nFrom: a@b\r\nTo: c@d\r\n\tand e@f\r\n"
                     "Subject: caf\xE9\r\nDate: today\r\n\r\nhello\r\n");
  // With MIME-Version first, the rule after it: Subject, To and From only.
  Begin();
  std::vector<std::string> second = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=b",
                                     "Content-Transfer-Encoding: 7bit", "From: a@b", "Date: today", "Subject: s"};
  second.insert(second.end(), parts.begin(), parts.end());
  ASSERT_EQ(Play(Lines(second)), 0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\nFrom: a@b\r\nSubject: s\r\n\r\nhello\r\n");
}

// ---- Encoded words ------------------------------------------------------------

TEST_F(Decoder, EncodedWordsBeforeMimeVersionAreDecoded) {
  EXPECT_EQ(Line("Subject: =?iso-8859-1?q?caf=E9_au_lait?= ok\r\n"), 1);
  EXPECT_STREQ(Ch().Response, "Subject: caf\xE9 au lait ok\r\n");
  // Lower-case hex, two words, and text between and after them.
  Line("From: =?ISO-8859-1?Q?Andr=e9?= <a@b> =?iso-8859-1?q?x=3Dy?=\r\n");
  EXPECT_STREQ(Ch().Response, "From: Andr\xE9 <a@b> x=y\r\n");
  Line("Subject: =?iso-8859-1?B?Y2Fm6Q==?= and more =?iso-8859-1?b?bGFpdA==?= end\r\n");
  EXPECT_STREQ(Ch().Response, "Subject: caf\xE9 and more lait end\r\n");
  // An "=" that is no escape stays; other character sets stay as they are.
  Line("Subject: =?iso-8859-1?q?a=zz=4?= =?utf-8?q?caf=C3=A9?=\r\n");
  EXPECT_STREQ(Ch().Response, "Subject: a=zz=4 =?utf-8?q?caf=C3=A9?=\r\n");
  // Decoded line ends and NULs cannot break the line.
  Line("Subject: =?iso-8859-1?q?a=0D=0Ab=00c?=\r\n");
  EXPECT_STREQ(Ch().Response, "Subject: abc\r\n");
  EXPECT_NE(Log().find("[ISO8859]\r\n"), std::string::npos);
}

TEST_F(Decoder, EncodedWordsAfterMimeVersionAreWrittenUndecoded) {
  const std::string subject = "Subject: =?iso-8859-1?q?caf=E9?=";
  ASSERT_EQ(Play(Lines({"+OK", "MIME-Version: 1.0", subject, "", "b", "."})), 0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n" + subject + "\r\n\r\nb\r\n");
}

TEST_F(Decoder, FoldedEncodedSubjectIsJoinedAndDecoded) {
  ASSERT_EQ(Play(Lines({"+OK", "Subject: =?iso-8859-1?q?caf=E9?=", " =?iso-8859-1?q?_noir?=", "", "b", "."})), 0);
  EXPECT_EQ(Email(), "Subject: caf\xE9 noir\r\n\r\nb\r\n");
}

// ---- Boundaries and part headers --------------------------------------------------

TEST_F(Decoder, BoundaryQuotedUnquotedAndFolded) {
  Channel &ch = Ch();
  ch.DecodeState = MimeHeader;
  EXPECT_EQ(Line("Content-Type: multipart/mixed; boundary=\"a b;c\"; x=1\r\n"), 0);
  EXPECT_STREQ(ch.Boundary, "--a b;c");
  ch.DecodeState = MimeHeader;
  EXPECT_EQ(Line("Content-Type: multipart/mixed; BOUNDARY=plain-1   \r\n"), 0);
  EXPECT_STREQ(ch.Boundary, "--plain-1");
  // Not closed: the boundary stays as it was.
  ch.DecodeState = MimeHeader;
  Line("Content-Type: multipart/mixed; boundary=\"open\r\n");
  EXPECT_STREQ(ch.Boundary, "--plain-1");
  EXPECT_EQ(ch.DecodeState, MimeHeader);
  // Folded after the semicolons, over three lines.
  ch.DecodeState = MimeHeader;
  Line("Content-Type: multipart/mixed;\r\n", " charset=x;\r\n\tboundary=\"folded\"\r\nnext\r\n");
  EXPECT_STREQ(ch.Boundary, "--folded");
  EXPECT_EQ(ch.DecodeState, BetweenParts);
  // The next line was not taken.
  char rest[8] = {};
  EXPECT_EQ(RingPeek(ch, rest, 6), 6);
  EXPECT_STREQ(rest, "next\r\n");
  // A long value is cut at 126 characters.
  ch.DecodeState = MimeHeader;
  Line("Content-Type: multipart/mixed; boundary=\"" + std::string(300, 'v') + "\"\r\n");
  EXPECT_EQ(ch.BoundaryLength, 128);
  EXPECT_EQ(std::string(ch.Boundary), "--" + std::string(126, 'v'));
}

TEST_F(Decoder, FoldedHeaderNeverSwallowsTheEmptyLine) {
  // A Content-Type ending in ";" right before the end of the header.
  const std::string message =
      Lines({"+OK", "MIME-Version: 1.0", "Content-Transfer-Encoding: quoted-printable",
             "Content-Type: text/plain;", "", "caf=E9 =", "noir", "."});
  ASSERT_EQ(Play(message), 0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\ncaf\xE9 noir\r\n");
}

TEST_F(Decoder, NestedAlternativeQuotedOrNot) {
  const std::vector<std::string> head = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"out\"",
                                         "", "--out"};
  const std::vector<std::string> tail = {"", "--in", "Content-Type: text/plain", "", "plain text", "--in",
                                         "Content-Type: text/html", "", "<p>html</p>", "--in--", "--out--", "."};
  std::vector<std::string> quoted = head;
  quoted.push_back("Content-Type: multipart/alternative; boundary=\"in\"");
  quoted.insert(quoted.end(), tail.begin(), tail.end());
  ASSERT_EQ(Play(Lines(quoted)), 0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\nplain text\r\n<p>html</p>\r\n");
  EXPECT_NE(Log().find("[Alternate MIME boundary defined 4 (--in)]\r\n"), std::string::npos);

  Begin();
  std::vector<std::string> unquoted = head;
  unquoted.push_back("Content-Type: multipart/alternative; boundary=in");
  unquoted.insert(unquoted.end(), tail.begin(), tail.end());
  ASSERT_EQ(Play(Lines(unquoted)), 0);
  // An unquoted inner boundary is found as well.
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\nplain text\r\n<p>html</p>\r\n");
}

TEST_F(Decoder, InlineDispositionDecodesIntoTheEmailFile) {
  const std::string message = Lines(
      {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b",
       "Content-Type: text/plain", "Content-Disposition: inline", "Content-Transfer-Encoding: base64", "",
       Base64("inline text\r\n"), "--b", "Content-Type: text/plain",
       "Content-Disposition: inline; filename=\"kept.txt\"", "Content-Transfer-Encoding: quoted-printable", "",
       "saved=20text=", "!", "--b--", "."});
  ASSERT_EQ(Play(message), 0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\ninline text\r\n[Attachment saved to \"" + attachDir_ +
                         "/kept.txt\"]\r\n");
  // The line end before the boundary belongs to the boundary.
  EXPECT_EQ(Attachment("kept.txt"), "saved text!");
  EXPECT_NE(Log().find("[inline]\r\n"), std::string::npos);
  EXPECT_NE(Log().find("[...decode inline...]\r\n"), std::string::npos);
}

TEST_F(Decoder, EmbeddedMessageKeepsItsBlankLineAndItsEncoding) {
  const std::string message =
      Lines({"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b",
             "Content-Type: message/rfc822", "", "Subject: inner", "Content-Transfer-Encoding: quoted-printable",
             "", "inner caf=E9", "--b--", "."});
  ASSERT_EQ(Play(message), 0);
  // The attached message is also saved whole, as received.
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n\r\ninner caf\xE9\r\n[Attachment saved to \"" + attachDir_ +
                         "/part-1.eml\"]\r\n");
  EXPECT_EQ(Attachment("part-1.eml"),
            "Subject: inner\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\ninner caf=E9");
  EXPECT_NE(Log().find("[Ignoring blank line]\r\n"), std::string::npos);
}

TEST_F(Decoder, EightBitPartsAreWrittenAsReceivedUnlessNamed) {
  const std::string data = "gr\xFC\xDF \x01\x7F";
  const std::string message = Lines(
      {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b",
       "Content-Transfer-Encoding: 8bit", "", data, "--b", "Content-Type: application/x; name=\"raw.bin\"",
       "Content-Transfer-Encoding: 8bit", "", data, data, "--b--", "."});
  ASSERT_EQ(Play(message), 0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n" + data + "\r\n[Attachment saved to \"" + attachDir_ +
                         "/raw.bin\"]\r\n");
  EXPECT_EQ(Attachment("raw.bin"), data + "\r\n" + data);
}

TEST_F(Decoder, SinglePartMessagesWithAndWithoutEncoding) {
  ASSERT_EQ(Play(Lines({"+OK", "MIME-Version: 1.0", "Content-Transfer-Encoding: quoted-printable", "",
                        "a=3db=zz", "."})),
            0);
  EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\na=b=zz\r\n");
  EXPECT_NE(Log().find("[MIME w/o boundary]\r\n"), std::string::npos);
  EXPECT_NE(Log().find("[Encoding is QUOTED]\r\n"), std::string::npos);

  // A single-part attachment named by the top-level header.
  Begin();
  ASSERT_EQ(Play(Lines({"+OK", "Subject: scan", "MIME-Version: 1.0", "Content-Type: application/pdf; name=\"s.pdf\"",
                        "Content-Transfer-Encoding: base64", "", Base64("%PDF-scan"), "."})),
            0);
  EXPECT_EQ(Attachment("s.pdf"), "%PDF-scan");
  EXPECT_EQ(Email(), "Subject: scan\r\nMIME-Version: 1.0\r\n\r\n[Attachment saved to \"" + attachDir_ +
                         "/s.pdf\"]\r\n");
}

TEST_F(Decoder, BodyLinesOfAnyLengthStayWithinTheBuffers) {
  // Lines longer than any piece, given to the decoder directly.
  Channel &ch = Ch();
  const std::string data = BinaryBytes(3000);
  ch.DecodeState = PartHeader;
  Line("Content-Type: application/x; name=big.bin\r\n");
  Line("Content-Transfer-Encoding: base64\r\n");
  Line("\r\n");
  ASSERT_EQ(ch.DecodeState, PartBody);
  EXPECT_EQ(Line(Base64(data) + "\r\n"), 0);
  CloseAttachFile(ch);
  EXPECT_TRUE(Attachment("big.bin") == data);
  ch.DecodeState = PartHeader;
  Line("Content-Transfer-Encoding: quoted-printable\r\n");
  ch.InlineFlag = 1;
  Line("\r\n");
  EXPECT_EQ(Line(std::string(4000, 'q') + "=41\r\n"), 0);
  EXPECT_EQ(Email().substr(Email().size() - 6), "qqqA\r\n");
}

// ---- Base64 bodies ----------------------------------------------------------------

TEST_F(Decoder, Base64BodiesDecodeExactlyWhateverTheirLineLengths) {
  const std::string data = BinaryBytes(5000);
  const std::string encoded = Base64(data);
  const std::vector<std::vector<size_t>> layouts = {{60}, {76}, {61, 75, 3, 1, 77}, {2000}};
  for (size_t k = 0; k < layouts.size(); ++k) {
    Begin();
    const std::string name = "f" + std::to_string(k) + ".bin";
    std::string body = CutLines(encoded, layouts[k]);
    if (k == 2) body = " " + body.substr(0, 100) + "\t*\r\n" + body.substr(100);  // foreign characters skipped
    const std::string message = Lines({"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"",
                                       "", "--b", "Content-Type: application/octet-stream; name=\"" + name + "\"",
                                       "Content-Transfer-Encoding: base64", ""}) +
                                body + Lines({"--b--", "."});
    ASSERT_EQ(Play(message), 0) << k;
    EXPECT_TRUE(Attachment(name) == data) << "layout " << k;
  }
}

// Four characters at a time where whole groups stand, one at a time
// elsewhere: the stream gives the same bytes wherever it is cut and
// whatever foreign characters stand inside its groups.
TEST_F(Decoder, Base64StreamGivesTheSameBytesWhereverItIsCut) {
  const std::string bytes = BinaryBytes(400, 9);
  std::string text = Base64(bytes);
  text.insert(301, "\r\n").insert(150, " \t").insert(77, "*").insert(13, "\r\n");
  for (size_t cut = 1; cut < 40; ++cut) {
    Channel &ch = Ch();
    ch.Base64Filled = 0;
    ch.Base64Group = 0;
    std::string out;
    unsigned char decoded[64];
    for (size_t at = 0; at < text.size(); at += cut) {
      const int n = std::min(cut, text.size() - at);
      // The bytes behind the result may be written, never past the stated room.
      std::fill(decoded, decoded + sizeof decoded, 0xEE);
      const int room = 3 * (n + 3) / 4;
      const int got = Base64StreamDecode(ch, text.data() + at, n, decoded);
      ASSERT_LE(got, room);
      EXPECT_EQ(decoded[room], 0xEE) << cut;
      out.append(reinterpret_cast<char *>(decoded), static_cast<size_t>(got));
    }
    unsigned char tail[4];
    out.append(reinterpret_cast<char *>(tail), static_cast<size_t>(Base64StreamFlush(ch, tail)));
    EXPECT_TRUE(out == bytes) << "cut every " << cut;
  }
}

TEST_F(Decoder, LinePiecesOfALongHeaderLineStayOneLine) {
  // 1023 bytes fill the first piece exactly, so the line end comes alone.
  const std::string longLine = "X-Long: " + std::string(1015, 'h');
  ASSERT_EQ(Play(Lines({"+OK", longLine, "MIME-Version: 1.0", "Content-Transfer-Encoding: 7bit", "", "b", "."})), 0);
  EXPECT_EQ(Email(), longLine + "\r\nMIME-Version: 1.0\r\n\r\nb\r\n");
}

// ---- Nesting ------------------------------------------------------------------------

// The files saved and the email file after a message (status and end lines added).
struct Nested {
  const char *Name;
  std::vector<std::string> Message;
  std::vector<std::pair<std::string, std::string>> Files;
  std::string Email;  // after "MIME-Version: 1.0" and the blank line
};

TEST_F(Decoder, NestedLevelsEachKeepTheirBoundary) {
  const std::string png = BinaryBytes(40, 3), sig = "-----BEGIN PGP SIGNATURE-----";
  const Nested cases[] = {
      {"mixed > alternative > related",
       {"Content-Type: multipart/mixed; boundary=m", "", "--m", "Content-Type: multipart/alternative; boundary=a",
        "", "preamble of a", "--a", "Content-Type: text/plain", "", "plain", "--a",
        "Content-Type: multipart/related; boundary=\"r\"", "", "--r", "Content-Type: text/html", "", "<b>html</b>",
        "--r", "Content-Type: image/png", "Content-Disposition: inline", "Content-Transfer-Encoding: base64", "",
        Base64(png), "--r--", "epilogue of r", "--a--", "--m", "Content-Type: application/pdf; name=\"d.pdf\"",
        "Content-Transfer-Encoding: base64", "", Base64("%PDF"), "--m--"},
       {{"part-1.png", png}, {"d.pdf", "%PDF"}},
       "plain\r\n<b>html</b>\r\n[Attachment saved to \"@/part-1.png\"]\r\n[Attachment saved to \"@/d.pdf\"]\r\n"},
      {"signed > mixed, unnamed non-text parts that are not Base64",
       {"Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; boundary=s; micalg=pgp-sha1", "",
        "--s", "Content-Type: multipart/mixed; boundary=\"x\"", "", "--x", "Content-Type: text/plain", "", "signed",
        "--x", "Content-Type: application/pgp-encrypted", "", "Version: 1", "--x--", "", "--s",
        "Content-Type: application/pgp-signature", "", sig, "", "--s--"},
       {{"part-1.pgp", "Version: 1"}, {"part-2.asc", sig + "\r\n"}},
       "signed\r\n[Attachment saved to \"@/part-1.pgp\"]\r\n[Attachment saved to \"@/part-2.asc\"]\r\n"},
      {"a boundary that is a prefix of another, an inner level left open",
       {"Content-Type: multipart/mixed; boundary=\"b\"", "", "--b", "Content-Type: multipart/alternative; boundary=b2",
        "", "--b2", "Content-Type: application/x; name=one.bin", "", "1", "--b2x is text", "--b",
        "Content-Type: application/x; name=two.bin", "", "2", "--b--"},
       {{"one.bin", "1\r\n--b2x is text"}, {"two.bin", "2"}},
       "[Attachment saved to \"@/one.bin\"]\r\n[Attachment saved to \"@/two.bin\"]\r\n"},
      {"parallel and digest: parts default to message/rfc822",
       {"Content-Type: multipart/parallel; boundary=p", "", "--p", "Content-Type: multipart/digest; boundary=d", "",
        "--d", "", "Subject: first", "", "one", "--d", "Content-Type: text/plain", "", "not a message", "--d--",
        "--p--"},
       {{"part-1.eml", "Subject: first\r\n\r\none"}},
       "\r\none\r\n[Attachment saved to \"@/part-1.eml\"]\r\nnot a message\r\n"},
      {"an attached message sent in Base64 is saved as received",
       {"Content-Type: multipart/mixed; boundary=m", "", "--m", "Content-Type: message/rfc822",
        "Content-Transfer-Encoding: base64", "", Base64("Subject: x\r\n\r\nbody"), "--m--"},
       {{"part-1.eml", Base64("Subject: x\r\n\r\nbody")}},
       "\r\n[Attachment saved to \"@/part-1.eml\"]\r\n"},
  };
  for (const Nested &c : cases) {
    Begin();
    ClearAttachments();
    std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0"};
    lines.insert(lines.end(), c.Message.begin(), c.Message.end());
    lines.push_back(".");
    ASSERT_EQ(Play(Lines(lines)), 0) << c.Name;
    std::string email = c.Email;
    for (size_t at; (at = email.find('@')) != std::string::npos;) email.replace(at, 1, attachDir_);
    EXPECT_EQ(Email(), "MIME-Version: 1.0\r\n\r\n" + email) << c.Name;
    for (const auto &f : c.Files) EXPECT_TRUE(Attachment(f.first) == f.second) << c.Name << ": " << f.first;
    EXPECT_EQ(Ch().AttachCount, static_cast<int>(c.Files.size())) << c.Name;
  }
  const std::string log = Log();
  for (const char *note : {"[Alternate MIME boundary defined 4 (--b2)]\r\n", "[Boundary level 1 closed]\r\n"})
    EXPECT_NE(log.find(note), std::string::npos) << note;
}

TEST_F(Decoder, NestingDeeperThanTheLimitIsReadAsText) {
  std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0"};
  const int depth = MaxBoundaryDepth + 4;
  for (int k = 0; k < depth; ++k) {
    lines.push_back("Content-Type: multipart/mixed; boundary=\"l" + std::to_string(k) + "\"");
    lines.push_back("");
    lines.push_back("--l" + std::to_string(k));
  }
  lines.insert(lines.end(), {"Content-Type: application/x; name=deep.bin", "", "deep"});
  for (int k = depth - 1; k >= 1; --k) lines.push_back("--l" + std::to_string(k) + "--");
  lines.push_back("--l0");
  lines.insert(lines.end(), {"Content-Type: application/x; name=after.bin", "", "after", "--l0--", "."});
  ASSERT_EQ(Play(Lines(lines)), 0);
  EXPECT_LE(Ch().BoundaryDepth, MaxBoundaryDepth);
  EXPECT_NE(Log().find("[Nesting too deep]\r\n"), std::string::npos);
  // The deepest levels are text of the part at the limit; the outer levels still work.
  EXPECT_FALSE(AttachmentExists("deep.bin"));
  EXPECT_EQ(Attachment("after.bin"), "after");
}

// ---- Part bodies ----------------------------------------------------------------------

TEST_F(Decoder, PartBodiesAreByteExactForEveryEncoding) {
  const std::string bytes = BinaryBytes(301, 11);
  std::string unpadded = Base64(bytes);
  while (unpadded.back() == '=') unpadded.pop_back();
  const struct {
    const char *Encoding;
    std::string Body, Saved;
  } cases[] = {
      {"7bit", Lines({"line one", "", "line three  "}), "line one\r\n\r\nline three  "},
      {"8bit", Lines({"gr\xC3\xBC\xC3\x9F"}), "gr\xC3\xBC\xC3\x9F"},
      {"binary", Lines({"a\x01\xFF" "b"}), "a\x01\xFF" "b"},
      {"quoted-printable", Lines({"caf=c3=A9 =", "soft", "=3D end  ", ""}), "caf\xC3\xA9 soft\r\n= end  \r\n"},
      {"base64", CutLines(unpadded, {76}), bytes},
      {"base64", CutLines(Base64(bytes), {50}) + Lines({"", "this text after the pad is no data"}), bytes},
      {"base64", " " + CutLines(Base64(bytes), {33}).insert(20, "!*\t"), bytes},
  };
  int k = 0;
  for (const auto &c : cases) {
    Begin();
    const std::string name = "f" + std::to_string(++k) + ".bin";
    ASSERT_EQ(Play(Lines({"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b",
                          "Content-Type: application/octet-stream; name=" + name,
                          std::string("Content-Transfer-Encoding: ") + c.Encoding, ""}) +
                   c.Body + Lines({"--b--", "."})),
              0)
        << k;
    EXPECT_TRUE(Attachment(name) == c.Saved) << c.Encoding << " case " << k;
  }
  // A single-part body keeps its last line end: no boundary takes it.
  Begin();
  ASSERT_EQ(Play(Lines({"+OK", "MIME-Version: 1.0", "Content-Type: text/plain; name=s.txt", "", "one", "two", "."})),
            0);
  EXPECT_EQ(Attachment("s.txt"), "one\r\ntwo\r\n");
}

TEST_F(Decoder, SinglePartAttachmentsWhateverTheHeaderOrder) {
  // Content lines before MIME-Version, or no MIME-Version at all.
  for (const bool version : {true, false}) {
    Begin();
    ClearAttachments();
    std::vector<std::string> lines = {"+OK", "Subject: scan", "Content-Type: application/pdf",
                                      "Content-Disposition: attachment; filename=\"scan.pdf\"",
                                      "Content-Transfer-Encoding: base64"};
    if (version) lines.push_back("MIME-Version: 1.0");
    lines.insert(lines.end(), {"", Base64("%PDF-1.7"), "."});
    ASSERT_EQ(Play(Lines(lines)), 0) << version;
    EXPECT_EQ(Attachment("scan.pdf"), "%PDF-1.7") << version;
    EXPECT_NE(Email().find("[Attachment saved to \"" + attachDir_ + "/scan.pdf\"]\r\n"), std::string::npos);
  }
}

TEST_F(Decoder, UuencodedBlocksBecomeFilesOfTheirOwn) {
  // "hello\n" uuencoded.
  const std::vector<std::string> block = {"begin 644 hello.txt", "&:&5L;&\\*\"@``", "`", "end"};
  std::vector<std::string> plain = {"+OK", "Subject: uu", "", "see below"};
  plain.insert(plain.end(), block.begin(), block.end());
  plain.insert(plain.end(), {"bye", "."});
  ASSERT_EQ(Play(Lines(plain)), 0);
  EXPECT_EQ(Attachment("hello.txt"), "hello\n");
  EXPECT_EQ(Email(), "Subject: uu\r\n\r\nsee below\r\n[Attachment saved to \"" + attachDir_ + "/hello.txt\"]\r\nbye\r\n");

  Begin();
  std::vector<std::string> mime = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "",
                                   "--b", "Content-Type: text/plain", ""};
  mime.insert(mime.end(), block.begin(), block.end() - 1);  // cut short by the boundary
  mime.insert(mime.end(), {"--b--", "."});
  ASSERT_EQ(Play(Lines(mime)), 0);
  EXPECT_EQ(Attachment("hello.txt"), "hello\n");
}

TEST_F(Decoder, AttachedMessageIsSavedWholeAndItsPartsToo) {
  const std::vector<std::string> inner = {"From: a@b", "Subject: fwd", "MIME-Version: 1.0",
                                          "Content-Type: multipart/mixed;", " boundary=\"in\"", "", "--in",
                                          "Content-Type: text/plain", "", "inner text", "--in",
                                          "Content-Type: image/gif; name=\"i.gif\"", "Content-Transfer-Encoding: base64",
                                          "", Base64("GIF89a"), "--in--"};
  std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"out\"", "",
                                    "--out", "Content-Type: text/plain", "", "outer text", "--out",
                                    "Content-Type: message/rfc822", "Content-Disposition: attachment; filename=fwd.eml",
                                    ""};
  lines.insert(lines.end(), inner.begin(), inner.end());
  lines.insert(lines.end(), {"--out--", "."});
  ASSERT_EQ(Play(Lines(lines)), 0);
  std::string saved = Lines(inner);
  saved.resize(saved.size() - 2);
  EXPECT_EQ(Attachment("fwd.eml"), saved);
  EXPECT_EQ(Attachment("i.gif"), "GIF89a");
  EXPECT_STREQ(Ch().AttachList, "i.gif,fwd.eml");
  const std::string email = Email();
  EXPECT_NE(email.find("outer text\r\n"), std::string::npos);
  EXPECT_NE(email.find("inner text\r\n"), std::string::npos);
  EXPECT_NE(email.find("/fwd.eml\"]\r\n"), std::string::npos);
}

TEST_F(Decoder, HeaderWordsOfAnyCharsetOnlyWhenAsked) {
  const std::vector<std::string> message = {"+OK", "Subject: =?utf-8?B?R3LDvMOfZQ==?= =?koi8-r?q?=F0=D2=C9?=",
                                            "From: =?iso-8859-1?q?Andr=E9?= <a@b>", "", "b", "."};
  ASSERT_EQ(Play(Lines(message)), 0);
  EXPECT_EQ(Email(), "Subject: =?utf-8?B?R3LDvMOfZQ==?= =?koi8-r?q?=F0=D2=C9?=\r\nFrom: Andr\xE9 <a@b>\r\n\r\nb\r\n");
  Begin();
  kelIntegerParam(0, KEL_DECODE_HEADERS, 1);
  ASSERT_EQ(Play(Lines(message)), 0);
  EXPECT_EQ(Email(), "Subject: Gr\xC3\xBC\xC3\x9F" "e\xD0\x9F\xD1\x80\xD0\xB8\r\nFrom: Andr\xC3\xA9 <a@b>\r\n\r\nb\r\n");
}

// ---- Forms of real mail ------------------------------------------------------------

// Bytes uuencoded as a mail program sends them: "begin", lines of 45 bytes, "`", "end".
std::vector<std::string> Uuencoded(const std::string &name, const std::string &bytes) {
  std::vector<std::string> lines = {"begin 644 " + name};
  auto c = [](unsigned v) { return static_cast<char>(v ? v + 32 : '`'); };
  for (size_t at = 0; at < bytes.size(); at += 45) {
    const size_t n = std::min<size_t>(45, bytes.size() - at);
    std::string line(1, c(static_cast<unsigned>(n)));
    for (size_t i = 0; i < n; i += 3) {
      unsigned v = 0;
      for (size_t k = 0; k < 3; ++k) v = v << 8 | (i + k < n ? static_cast<unsigned char>(bytes[at + i + k]) : 0u);
      for (int k = 3; k >= 0; --k) line += c((v >> (6 * k)) & 63);
    }
    lines.push_back(line);
  }
  lines.insert(lines.end(), {"`", "end"});
  return lines;
}

TEST_F(Decoder, PartsSentInUuencodeAreDecodedIntoTheirFiles) {
  const std::string bytes = BinaryBytes(1000, 4);
  const std::vector<std::string> uu = Uuencoded("inside-name.bin", bytes);
  const struct {
    const char *Encoding, *Header, *Saved;
  } cases[] = {
      {"x-uuencode", "Content-Type: application/octet-stream; name=\"a.bin\"", "a.bin"},
      {"uuencode", "Content-Type: application/zip\r\nContent-Disposition: attachment; filename=\"b.zip\"", "b.zip"},
      {"X-UUE", "Content-Type: application/pdf", "part-1.pdf"},
  };
  for (const auto &c : cases) {
    Begin();
    std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "",
                                      "--b", c.Header, std::string("Content-Transfer-Encoding: ") + c.Encoding, ""};
    lines.insert(lines.end(), uu.begin(), uu.end());
    lines.insert(lines.end(), {"--b--", "."});
    ASSERT_EQ(Play(Lines(lines)), 0) << c.Encoding;
    EXPECT_TRUE(Attachment(c.Saved) == bytes) << c.Encoding;
    EXPECT_FALSE(AttachmentExists("inside-name.bin")) << c.Encoding;
    EXPECT_EQ(Email().find("begin 644"), std::string::npos) << c.Encoding;
  }
  // A single-part message sent so.
  Begin();
  std::vector<std::string> single = {"+OK", "MIME-Version: 1.0", "Content-Type: application/octet-stream; name=s.bin",
                                     "Content-Transfer-Encoding: x-uuencode", ""};
  single.insert(single.end(), uu.begin(), uu.end());
  single.push_back(".");
  ASSERT_EQ(Play(Lines(single)), 0);
  EXPECT_TRUE(Attachment("s.bin") == bytes);
}

TEST_F(Decoder, NamesContinuedOverManyLinesAreJoinedWhole) {
  // Twelve sections of percent-escaped UTF-8, each on a line of its own.
  std::string name, escaped;
  for (int k = 0; k < 30; ++k) {
    name += "\xC5\x81\xC3\xB3" "d\xC5\xBA ";
    escaped += "%C5%81%C3%B3d%C5%BA%20";
  }
  name += "x.pdf";
  escaped += "x.pdf";
  std::vector<std::string> header = {"Content-Type: application/pdf;"};
  std::vector<std::string> disposition = {"Content-Disposition: attachment;"};
  const size_t sections = 12, each = (escaped.size() + sections - 1) / sections;
  for (size_t k = 0; k < sections; ++k) {
    std::string piece = escaped.substr(k * each, each);
    const char *end = k + 1 < sections ? ";" : "";
    // A section may not cut an escape.
    header.push_back(" name*" + std::to_string(k) + "*=" + (k ? "" : "UTF-8''") + "%%" + end);
    disposition.push_back("\tfilename*" + std::to_string(k) + "*=" + (k ? "" : "UTF-8''") + "%%" + end);
  }
  // Cut the escaped text where no escape is split.
  std::vector<std::string> pieces;
  for (size_t at = 0; at < escaped.size();) {
    size_t n = std::min<size_t>(each, escaped.size() - at);
    while (at + n < escaped.size() && (escaped[at + n - 1] == '%' || escaped[at + n - 2] == '%')) ++n;
    pieces.push_back(escaped.substr(at, n));
    at += n;
  }
  ASSERT_LE(pieces.size(), sections);
  std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b"};
  for (auto *list : {&header, &disposition}) {
    for (size_t k = 0; k < list->size(); ++k) {
      std::string line = (*list)[k];
      const size_t mark = line.find("%%");
      if (mark != std::string::npos) line.replace(mark, 2, k - 1 < pieces.size() ? pieces[k - 1] : "");
      lines.push_back(line);
    }
  }
  lines.insert(lines.end(), {"Content-Transfer-Encoding: base64", "", Base64("%PDF-1.4 long name"), "--b--", "."});
  ASSERT_EQ(Play(Lines(lines)), 0);
  // Names are kept to 128 bytes, cut on a character boundary; the path's
  // room decides the rest.
  std::string kept = name.substr(0, 128);
  while ((static_cast<unsigned char>(kept.back()) & 0xC0) == 0x80) kept.pop_back();
  if (static_cast<unsigned char>(kept.back()) >= 0xC0) kept.pop_back();
  const std::string email = Email();
  EXPECT_EQ(email.find("JVBERi0"), std::string::npos) << email;
  EXPECT_EQ(Ch().AttachCount, 1);
  std::string saved;
  for (const auto &e : std::filesystem::directory_iterator(attachDir_)) saved = e.path().filename().string();
  EXPECT_EQ(ReadFileText(attachDir_ + "/" + saved), "%PDF-1.4 long name");
  EXPECT_EQ(kept.compare(0, saved.size() - 4, saved, 0, saved.size() - 4), 0) << saved;
  EXPECT_EQ(saved.substr(saved.size() - 4), ".pdf");

  // Every one of a dozen sections counts, in the order of their numbers.
  Begin();
  std::vector<std::string> twelve = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b\"", "",
                                     "--b", "Content-Type: application/pdf", "Content-Disposition: attachment;"};
  for (int k = 0; k < 12; ++k)
    twelve.push_back(" filename*" + std::to_string(k == 3 ? 11 : k == 11 ? 3 : k) + "*=" + (k ? "" : "utf-8''") +
                     std::string(1, static_cast<char>('a' + (k == 3 ? 11 : k == 11 ? 3 : k))) + "%C3%A9" +
                     (k < 11 ? ";" : ""));
  twelve.insert(twelve.end(), {"Content-Transfer-Encoding: base64", "", Base64("%PDF"), "--b--", "."});
  std::filesystem::remove_all(attachDir_);
  std::filesystem::create_directories(attachDir_);
  ASSERT_EQ(Play(Lines(twelve)), 0);
  const std::string whole = "a\xC3\xA9" "b\xC3\xA9" "c\xC3\xA9" "d\xC3\xA9" "e\xC3\xA9" "f\xC3\xA9" "g\xC3\xA9"
                            "h\xC3\xA9" "i\xC3\xA9" "j\xC3\xA9" "k\xC3\xA9" "l\xC3\xA9";
  // The whole name, or (beside a long test directory) its front cut to fit the path.
  saved.clear();
  for (const auto &e : std::filesystem::directory_iterator(attachDir_)) saved = e.path().filename().string();
  EXPECT_EQ(Attachment(saved), "%PDF");
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(whole.compare(0, saved.size(), saved), 0) << saved;
  if (attachDir_.size() + 1 + whole.size() <= 128) {
    EXPECT_EQ(saved, whole);
  }
}

TEST_F(Decoder, TopLevelBoundaryAmongOtherParametersOrFoldedOverManyLines) {
  // Each header, and its boundary as Python's email package (policy.default)
  // reads it; only an unquoted boundary holding "=" is taken whole, as mail
  // programs take it (the email package cuts it at the "=").
  const std::string part = "----=_Part_12_34.56";
  const std::vector<std::pair<std::vector<std::string>, std::string>> headers = {
      {{"Content-Type: multipart/mixed; boundary=----=_Part_12_34.56; charset=us-ascii"}, part},
      {{"Content-Type: multipart/mixed; boundary=----=_Part_12_34.56 charset=us-ascii"}, part},
      {{"Content-Type: multipart/mixed;", "\tcharset=\"utf-8\";", "\ttype=\"text/plain\";", "\tformat=flowed;",
        "\tboundary=----=_Part_12_34.56"},
       part},
      {{"Content-Type: multipart/mixed;", " boundary=", " \"----=_Part_12_34.56\";", " charset=x"}, part},
      {{"Content-Type: multipart/mixed;", " boundary=----=_Part_12_34.56;", " charset=us-ascii;", " report-type=x"}, part},
      {{"Content-Type: multipart/mixed; boundary=abc123;", " charset=us-ascii"}, "abc123"},
      {{"Content-Type: multipart/mixed; boundary=abc; type=\"text/plain\""}, "abc"},
      {{"Content-Type: multipart/mixed;boundary=abc123;charset=x"}, "abc123"},
      {{"Content-Type: multipart/mixed; boundary = \"abc123\""}, "abc123"},
      // Folded where no semicolon is: the fold is a blank between two parameters.
      {{"Content-Type: multipart/mixed; boundary=abc123", " charset=us-ascii"}, "abc123"},
      {{"Content-Type: multipart/mixed; boundary=abc123", "\ttype=\"text/plain\";", "\tcharset=us-ascii"}, "abc123"},
      // The boundary itself split by the fold: around its "=", or at a blank inside the quotes.
      {{"Content-Type: multipart/mixed; boundary", " =abc123"}, "abc123"},
      {{"Content-Type: multipart/mixed; boundary=\"=_alternative", " 0034E5F0C1256F0E_=\""},
       "=_alternative 0034E5F0C1256F0E_="},
      {{"Content-Type: multipart/related;", "\ttype=\"multipart/alternative\";", "\tstart=\"<part1@x>\";",
        "\tboundary=", "\t\"----=_NextPart_000_0001_01D2\""},
       "----=_NextPart_000_0001_01D2"},
      {{"Content-Type: multipart/mixed; boundary=abc123 (a comment)"}, "abc123"},
  };
  for (size_t k = 0; k < headers.size(); ++k) {
    const std::string &b = headers[k].second;
    for (const bool versionFirst : {true, false}) {
      Begin();
      // A fresh directory: a file left by the row before must not answer for this one.
      std::filesystem::remove_all(attachDir_);
      std::filesystem::create_directories(attachDir_);
      std::vector<std::string> lines = {"+OK", "Subject: boundary"};
      if (versionFirst) lines.push_back("MIME-Version: 1.0");
      lines.insert(lines.end(), headers[k].first.begin(), headers[k].first.end());
      if (!versionFirst) lines.push_back("MIME-Version: 1.0");
      lines.insert(lines.end(), {"", "--" + b, "Content-Type: text/plain", "", "text", "--" + b,
                                 "Content-Type: application/pdf; name=\"f.pdf\"", "Content-Transfer-Encoding: base64", "",
                                 Base64("%PDF"), "--" + b + "--", "."});
      ASSERT_EQ(Play(Lines(lines)), 0) << k;
      EXPECT_EQ(Attachment("f.pdf"), "%PDF") << "header " << k << (versionFirst ? "" : ", MIME-Version after it");
      EXPECT_EQ(Email().find("JVBER"), std::string::npos) << k;
      EXPECT_EQ(Email().find("--" + b), std::string::npos) << k;
    }
  }
}

TEST_F(Decoder, MessageAttachedInsideAnAttachedMessageGetsItsOwnFile) {
  const std::vector<std::string> innermost = {"From: c@d", "Subject: innermost", "", "innermost text"};
  std::vector<std::string> inner = {"From: a@b", "Subject: fwd", "MIME-Version: 1.0",
                                    "Content-Type: multipart/mixed; boundary=\"in\"", "", "--in",
                                    "Content-Type: text/plain", "", "inner text", "--in", "Content-Type: message/rfc822",
                                    ""};
  inner.insert(inner.end(), innermost.begin(), innermost.end());
  inner.insert(inner.end(), {"--in", "Content-Type: image/gif; name=\"i.gif\"", "Content-Transfer-Encoding: base64", "",
                             Base64("GIF89a"), "--in--"});
  std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"out\"", "",
                                    "--out", "Content-Type: message/rfc822", ""};
  lines.insert(lines.end(), inner.begin(), inner.end());
  lines.insert(lines.end(), {"--out--", "."});
  ASSERT_EQ(Play(Lines(lines)), 0);
  std::string outer = Lines(inner), deepest = Lines(innermost);
  outer.resize(outer.size() - 2);
  deepest.resize(deepest.size() - 2);
  EXPECT_EQ(Attachment("part-1.eml"), outer);
  EXPECT_EQ(Attachment("part-2.eml"), deepest);
  EXPECT_EQ(Attachment("i.gif"), "GIF89a");
  EXPECT_STREQ(Ch().AttachList, "part-2.eml,i.gif,part-1.eml");
}

TEST_F(Decoder, NameAndFilenameDisagreeingInEitherOrder) {
  // Content-Disposition's filename wins over Content-Type's name, whichever
  // comes first, as Python's email package (get_filename) has it; without a
  // filename the name counts.
  struct Row {
    std::vector<std::string> type, disposition;
    std::string saved;
  };
  const std::vector<Row> rows = {
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""},
       {"Content-Disposition: attachment; filename=\"new-name.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf;", "\tname=\"old-name.pdf\""},
       {"Content-Disposition: attachment;", "\tfilename=\"new-name.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=old-name.pdf"}, {"Content-Disposition: attachment;filename=new-name.pdf;size=3"},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""},
       {"Content-Disposition: attachment; size=100; filename = \"new-name.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""}, {"Content-Disposition: inline; FileName=\"new-name.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""},
       {"Content-Disposition: attachment; filename*=UTF-8''n%C3%A9w.pdf"},
       "n\xC3\xA9w.pdf"},
      {{"Content-Type: application/pdf; name*=UTF-8''%C3%B3ld.pdf"},
       {"Content-Disposition: attachment; filename*0=\"new-\"; filename*1=\"name.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""},
       {"Content-Disposition: attachment; filename=\"=?UTF-8?B?bsOpdy5wZGY=?=\""},
       "n\xC3\xA9w.pdf"},
      {{"Content-Type: application/pdf; name=\"=?UTF-8?B?bsOpdy5wZGY=?=\""},
       {"Content-Disposition: attachment; filename=\"new-name.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""},
       {"Content-Disposition: attachment; filename=\"new", " name.pdf\""},
       "new name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""},
       {"Content-Disposition: attachment; filename=\"new-name.pdf\"; filename=\"x.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""}, {"Content-Disposition: attachment; filename=\"new-name.pdf"},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""},
       {"Content-Disposition: attachment; filename*=\"UTF-8''new-name.pdf\""},
       "new-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""}, {"Content-Disposition: filename=\"new-name.pdf\""},
       "new-name.pdf"},
      // A name where the filename belongs counts for nothing.
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""}, {"Content-Disposition: attachment; name=\"x.pdf\""},
       "old-name.pdf"},
      {{"Content-Type: application/pdf; name=\"old-name.pdf\""}, {"Content-Disposition: attachment"}, "old-name.pdf"},
  };
  for (size_t k = 0; k < rows.size(); ++k) {
    const Row &row = rows[k];
    for (const bool typeFirst : {true, false}) {
      std::vector<std::string> header = typeFirst ? row.type : row.disposition;
      const std::vector<std::string> &second = typeFirst ? row.disposition : row.type;
      header.insert(header.end(), second.begin(), second.end());
      header.push_back("Content-Transfer-Encoding: base64");
      // In a part of a multipart message, and as the whole of a single-part one.
      for (const bool multipart : {true, false}) {
        Begin();
        std::filesystem::remove_all(attachDir_);
        std::filesystem::create_directories(attachDir_);
        std::vector<std::string> lines = {"+OK", "MIME-Version: 1.0"};
        if (multipart) lines.insert(lines.end(), {"Content-Type: multipart/mixed; boundary=\"b\"", "", "--b"});
        lines.insert(lines.end(), header.begin(), header.end());
        lines.insert(lines.end(), {"", Base64("%PDF")});
        if (multipart) lines.push_back("--b--");
        lines.push_back(".");
        ASSERT_EQ(Play(Lines(lines)), 0);
        const std::string where = "row " + std::to_string(k) + (typeFirst ? ", Content-Type first" : "") +
                                  (multipart ? ", in a part" : ", single part");
        EXPECT_EQ(Attachment(row.saved), "%PDF") << where;
        EXPECT_EQ(Ch().AttachCount, 1) << where;
      }
    }
  }
}

}  // namespace
