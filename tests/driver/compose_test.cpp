// The outgoing message as the server receives it: header lines, the body
// part header of each body format, the body lines (breaking, transparency,
// 8-bit text, quoted-printable) and the caller texts that must not break
// the message.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "driver/compose.h"
#include "driver/compose_fixture.h"

namespace {

const char *const To = "To: <bob@example.com>";
const char *const From = "From: Alice <alice@example.com>";

// ---- Header ----------------------------------------------------------------------

TEST_F(ComposeTest, PlainMessageCarriesNoMimeAndNeverTheBccList) {
  Script({4});
  Connect();
  kelStringParam(0, KEL_REPLY_TO, "<reply@example.com>");
  ASSERT_EQ(Send("Hi there\r\nSecond line", nullptr, "Hello", "Bob <bob@example.com>, <carol@example.com>",
                 "<dave@example.com>", "<erin@example.com>"),
            0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0], Head() + Lines({"To: Bob <bob@example.com>, <carol@example.com>", From,
                                      "Reply-To: <reply@example.com>", "Subject: Hello", "CC: <dave@example.com>",
                                      "", "Hi there", "Second line", ""}));
  EXPECT_NE(server_.Received().find("RCPT TO:<erin@example.com>\r\n"), std::string::npos);
}

TEST_F(ComposeTest, HiddenToLineAndExtraHeaderTextOnlyWithSubject) {
  Script({1, 1});
  Connect();
  kelStringParam(0, KEL_SET_HEADER, "X-Tag: one");
  kelStringParam(0, KEL_ADD_HEADER, "X-Other: two");
  kelIntegerParam(0, KEL_HIDE_TO_HEADER, 1);
  ASSERT_EQ(Send("", nullptr, nullptr), 0);  // no subject, no body
  kelIntegerParam(0, KEL_HIDE_TO_HEADER, 0);
  ASSERT_EQ(Send("Body", nullptr, "Tagged"), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0], Head() + Lines({From, "", ""}));
  EXPECT_EQ(parts[1], Head() + Lines({To, From, "Subject: Tagged", "X-Tag: one", "X-Other: two", "", "Body", ""}));
  EXPECT_NE(server_.Received().find("RCPT TO:<bob@example.com>\r\n"), std::string::npos);
}

TEST_F(ComposeTest, CallerTextsCannotEndTheHeaderOrTheData) {
  Script({1, 1});
  Connect();
  // Bare CR and LF, an empty line and a lone "." in the caller's header text.
  kelStringParam(0, KEL_SET_HEADER, "X-One: 1\n.\r\n\r\nX-Two: 2\rX-Three: 3");
  ASSERT_EQ(Send("Body", nullptr, "Hi\r\n.\r\nQUIT"), 0);
  // A subject longer than a header line may be is folded into encoded words, not cut.
  kelStringParam(0, KEL_SET_HEADER, "");
  std::string longSubject(3000, 's');
  ASSERT_EQ(Send("Body", nullptr, longSubject.c_str()), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0], Head() + Lines({To, From, "Subject: Hi  .  QUIT", "X-One: 1", "..", "X-Two: 2", "X-Three: 3",
                                      "", "Body", ""}));
  const std::string subject = parts[1].substr(parts[1].find("Subject:"), parts[1].find("\r\n\r\n") - parts[1].find("Subject:"));
  std::string letters;
  size_t at = 0;
  while ((at = subject.find("?Q?", at)) != std::string::npos) {
    const size_t end = subject.find("?=", at);
    letters += subject.substr(at + 3, end - at - 3);
    at = end;
  }
  EXPECT_EQ(letters, std::string(3000, 's'));
  for (size_t line = 0; line < subject.size();) {
    const size_t end = std::min(subject.find("\r\n", line), subject.size());
    EXPECT_LE(end - line, 78u);
    line = end + 2;
  }
  EXPECT_EQ(parts[1].substr(parts[1].find("\r\n\r\n")), "\r\n\r\nBody\r\n\r\n");
}

TEST_F(ComposeTest, LongHeaderLinesAreFoldedAtBlanksNotCut) {
  std::string words, names;
  for (int i = 0; i < 150; i++) words += " word" + std::to_string(i);
  for (int i = 0; i < 60; i++) names += std::string(i ? ", " : "") + "Name " + std::to_string(i) + " <n" + std::to_string(i) + "@example.com>";
  Script({60});
  Connect();
  kelStringParam(0, KEL_SET_HEADER, ("X-Long:" + words).c_str());
  ASSERT_EQ(Send("Body", nullptr, ("Subject" + words).c_str(), names.c_str()), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 1u);
  const std::string header = parts[0].substr(0, parts[0].find("\r\n\r\n") + 2);
  for (size_t at = 0; at < header.size();) {
    const size_t end = header.find("\r\n", at);
    EXPECT_LE(end - at, 78u) << header.substr(at, end - at);
    at = end + 2;
  }
  // Unfolded, every line is the text it was given.
  std::string unfolded = header;
  for (size_t at; (at = unfolded.find("\r\n ")) != std::string::npos;) unfolded.erase(at, 2);
  EXPECT_NE(unfolded.find("\r\nX-Long:" + words + "\r\n"), std::string::npos) << unfolded;
  EXPECT_NE(unfolded.find("\r\nSubject: Subject" + words + "\r\n"), std::string::npos);
  EXPECT_NE(unfolded.find("\r\nTo: " + names + "\r\n"), std::string::npos);
}

TEST_F(ComposeTest, HtmlMessageIdsAreUniquePerMessage) {
  Script({1, 1, 1});
  Connect();
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_HTML);
  ASSERT_EQ(Send("<p>one</p>"), 0);
  ASSERT_EQ(Send("<p>two</p>"), 0);
  kelStringParam(0, KEL_FROM, "<postmaster>");  // no domain to take
  ASSERT_EQ(Send("<p>three</p>"), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 3u);
  // "Message-ID: <message-root.<tick>.<channel>.<count>@<domain>>" as the first line.
  struct Id {
    std::string Channel, Count, Domain;
  } ids[3];
  const std::string stem = "Message-ID: <message-root.";
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(parts[i].compare(0, stem.size(), stem), 0) << parts[i];
    std::string id = parts[i].substr(stem.size(), parts[i].find("\r\n") - stem.size());
    size_t tickEnd = id.find('.'), channelEnd = id.find('.', tickEnd + 1), at = id.find('@');
    ASSERT_TRUE(tickEnd != std::string::npos && channelEnd != std::string::npos && at != std::string::npos) << id;
    ASSERT_EQ(id.back(), '>') << id;
    ids[i] = {id.substr(tickEnd + 1, channelEnd - tickEnd - 1), id.substr(channelEnd + 1, at - channelEnd - 1),
              id.substr(at + 1, id.size() - at - 2)};
  }
  EXPECT_EQ(ids[0].Channel, "0");
  EXPECT_EQ(ids[0].Domain, "example.com");
  EXPECT_EQ(ids[2].Domain, "localhost");
  EXPECT_EQ(std::stoi(ids[1].Count), std::stoi(ids[0].Count) + 1);
  EXPECT_EQ(std::stoi(ids[2].Count), std::stoi(ids[1].Count) + 1);
}

// ---- Body part header, by body format ------------------------------------------------

TEST_F(ComposeTest, EachBodyFormatHasItsPartHeaderAndEncoding) {
  struct Case {
    int Format;
    std::vector<std::string> PartHeader;  // after the boundary line
    const char *Body;
  };
  const std::vector<Case> cases = {
      // 8-bit text that is not UTF-8: the legacy character set is declared.
      {KEL_BODY_QUOTED,
       {"Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable", ""},
       "a=3Db=09c=E9"},
      {KEL_BODY_HTML,
       {"Content-Type: text/html; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable", ""},
       "a=3Db=09c=E9"},
      {KEL_BODY_ENRICHED,
       {"Content-Type: text/enriched; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable", ""},
       "a=3Db=09c=E9"},
      {KEL_BODY_ISO8859,
       {"Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable", ""},
       "a=3Db=09c=E9"},
      {KEL_BODY_CUSTOM, {"Content-Type: text/x-custom", "Content-Transfer-Encoding: quoted-printable", ""},
       "a=3Db=09c=E9"},
      // Values without a meaning of their own: declared plain text, coded as format 0 is.
      {5, {"Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable", ""},
       "a=3Db=09c=E9"},
      {12, {"Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable", ""},
       "a=3Db=09c=E9"},
  };
  Script(std::vector<int>(cases.size() + 1, 1));
  Connect();
  kelStringParam(0, KEL_CONTENT_TYPE, "Content-Type: text/x-custom");
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_PLAIN);
  ASSERT_EQ(Send("a=b\tc\xE9"), 0);
  for (const Case &c : cases) {
    kelIntegerParam(0, KEL_BODY_FORMAT, c.Format);
    ASSERT_EQ(Send("a=b\tc\xE9"), 0) << c.Format;
  }
  auto parts = Finish();
  ASSERT_EQ(parts.size(), cases.size() + 1);
  EXPECT_EQ(parts[0], Head() + Lines({To, From, "Subject: Hello", "MIME-Version: 1.0",
                                      "Content-Type: text/plain; charset=iso-8859-1",
                                      "Content-Transfer-Encoding: quoted-printable", "", "a=3Db=09c=E9", ""}));
  for (size_t i = 0; i < cases.size(); i++) {
    const Case &c = cases[i];
    std::string expected = Head() + Lines({To, From, "Subject: Hello", "MIME-Version: 1.0"});
    if (c.Format == KEL_BODY_HTML) {
      expected += Lines({"Content-Type: multipart/related; boundary=\"" + Boundary() + "\""});
    } else {
      expected += Lines({"Content-Type: multipart/mixed; boundary=\"" + Boundary() + "\""});
    }
    expected += Lines({"", "--" + Boundary()}) + Lines(c.PartHeader) + Lines({c.Body, "--" + Boundary() + "--", "", ""});
    std::string got = parts[i + 1];
    if (c.Format == KEL_BODY_HTML) {
      ASSERT_EQ(got.compare(0, 25, "Message-ID: <message-root"), 0) << got;
      got = got.substr(got.find("\r\n") + 2);
    }
    EXPECT_EQ(got, expected) << "format " << c.Format;
  }
}

TEST_F(ComposeTest, CallerContentTypeAndEncodingLinesAreSentWhole) {
  Script({1, 1});
  Connect();
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_CUSTOM);
  // No content type given: the part is still declared.
  ASSERT_EQ(Send("x"), 0);
  kelStringParam(0, KEL_CONTENT_TYPE, "Content-Type: text/calendar\n.method");
  kelStringParam(0, KEL_TRANSFER_ENCODING, "Content-Transfer-Encoding: quoted-printable\rX-Note: yes");
  ASSERT_EQ(Send("x"), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 2u);
  const std::string head = Head() + Lines({To, From, "Subject: Hello", "MIME-Version: 1.0",
                                           "Content-Type: multipart/mixed; boundary=\"" + Boundary() + "\"", "",
                                           "--" + Boundary()});
  const std::string tail = Lines({"x", "--" + Boundary() + "--", "", ""});
  EXPECT_EQ(parts[0],
            head + Lines({"Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable", ""}) + tail);
  EXPECT_EQ(parts[1], head + Lines({"Content-Type: text/calendar", "..method",
                                    "Content-Transfer-Encoding: quoted-printable", "X-Note: yes", ""}) +
                          tail);
}

// ---- Body lines -----------------------------------------------------------------------

// The body lines of a message without MIME parts: between the empty line
// after the header and the empty line before the ".".
std::string BodyOf(const std::string &part) {
  size_t start = part.find("\r\n\r\n");
  if (start == std::string::npos || part.size() < start + 6) return "<no body> " + part;
  return part.substr(start + 4, part.size() - start - 6);
}

// The body lines of a multipart message with one part.
std::string PartBodyOf(const std::string &part) {
  size_t start = part.find("quoted-printable\r\n\r\n");
  size_t end = part.rfind("--" + std::string(BoundaryText) + "--");
  if (start == std::string::npos || end == std::string::npos) return "<no part> " + part;
  start += 20;
  return part.substr(start, end - start);
}

TEST_F(ComposeTest, PlainLinesBreakAfterABlankFrom61OrAtTheMaximumNeverInAWord) {
  Script({1, 1});
  Connect();
  const std::string x(200, 'x'), y(70, 'y'), z(40, 'z'), w(30, 'w'), q(78, 'q'), p(61, 'p');
  std::string text = x + "\n" + y + " tail\n" + z + " " + w + " more\r\n" + q + "\r\n" + p + " \r\nend";
  ASSERT_EQ(Send(text.c_str()), 0);
  kelIntegerParam(0, KEL_MAX_LINE_LENGTH, 40);
  ASSERT_EQ(Send(std::string(100, 'm').c_str()), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 2u);
  // A break right before a line end does not add an empty line; a word
  // longer than the line stays whole.
  EXPECT_EQ(BodyOf(parts[0]), Lines({x, y + " ", "tail", z + " " + w + " ", "more", q, p + " ", "end"}));
  EXPECT_EQ(BodyOf(parts[1]), Lines({std::string(100, 'm')}));
}

TEST_F(ComposeTest, QuotedLinesHoldAtMost76CharactersAndNeverSplitAnEscape) {
  Script({1});
  Connect();
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_QUOTED);
  const std::string a(100, 'a'), b(75, 'b'), c(74, 'c'), d(76, 'd');
  // A dot after a soft break is doubled like any dot that begins a line.
  std::string text = a + "\n" + b + ".x\n" + c + "=d\n" + d + "\nend \nlast\t";
  ASSERT_EQ(Send(text.c_str()), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(PartBodyOf(parts[0]), Lines({std::string(75, 'a') + "=", std::string(25, 'a'), b + "=", "..x",
                                         c + "=", "=3Dd", d, "end=20", "last=09"}));
}

TEST_F(ComposeTest, LinesStartingWithADotGetAnotherDot) {
  Script({1, 1});
  Connect();
  const std::string wrapped = std::string(78, 'w') + ".tail";
  std::string text = ".\n.x\n..\n" + wrapped + "\nnormal";
  ASSERT_EQ(Send(text.c_str()), 0);
  kelIntegerParam(0, KEL_BODY_FORMAT, KEL_BODY_QUOTED);
  ASSERT_EQ(Send(".=\n."), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(BodyOf(parts[0]), Lines({"..", "..x", "...", wrapped, "normal"}));
  EXPECT_EQ(PartBodyOf(parts[1]), Lines({"..=3D", ".."}));
}

TEST_F(ComposeTest, PlainTextIsSevenBitUnlessEightBitIsAllowed) {
  Script({1, 1, 1});
  Connect();
  ASSERT_EQ(Send("tab\there \xE9\x7F\x01!"), 0);
  ASSERT_EQ(Send("tab\there!"), 0);  // TAB is text
  kelIntegerParam(0, KEL_ALLOW_8BIT, 1);
  ASSERT_EQ(Send("tab\there \xE9!"), 0);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(BodyOf(parts[0]), Lines({"tab=09here =E9=7F=01!"}));
  EXPECT_EQ(BodyOf(parts[1]), Lines({"tab\there!"}));
  EXPECT_EQ(BodyOf(parts[2]), Lines({"tab\there \xE9!"}));
  EXPECT_NE(parts[2].find("Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: 8bit\r\n"),
            std::string::npos);
}

// ---- The body from a file, the counters --------------------------------------------------

TEST_F(ComposeTest, FileBodyIsReadInPiecesAndCounted) {
  // Longer than the source buffer, so that the body crosses refills; a NUL ends it.
  std::string text;
  for (int i = 0; i < 100; i++) text += "line " + std::to_string(i) + " " + std::string(40, 'f') + "\r\n";
  WriteFileText(Path("body.txt"), text + std::string(1, '\0') + "never sent\r\n");
  Script({1});
  Connect();
  const std::string message = "@" + Path("body.txt");
  ASSERT_EQ(Send(message.c_str()), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_BODY_READ), static_cast<int>(text.size() + 13));
  EXPECT_EQ(kelStatistics(0, KEL_STAT_BODY_SENT), static_cast<int>(text.size()));
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(BodyOf(parts[0]), text);
}

TEST_F(ComposeTest, MessageFileThatCannotBeReadAbandonsTheMessage) {
  const std::string log = OpenLog();
  for (const std::string &name : {std::string("missing.txt"), std::string("")}) {
    SCOPED_TRACE(name);
    ScriptServer server;
    // The second case names the test directory itself: it opens, but cannot be read.
    server.Send("220 ready\r\n").ReadUntil("\r\n").Send("250 hello\r\n");
    server.ReadUntil("\r\n").Send("250 ok\r\n").ReadUntil("\r\n").Send("250 ok\r\n");
    server.ReadUntil("DATA\r\n").Send("354 go\r\n").ReadUntil("Subject: Hello\r\n\r\n").Close();
    server.Start();
    kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
    ASSERT_EQ(kelSmtpConnect(0, "127.0.0.1", "<alice@example.com>", nullptr), 0);
    const std::string message = "@" + Path(name);
    EXPECT_EQ(Send(message.c_str()), -35);
    EXPECT_EQ(Ch().FileHandle, 0);
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos);
    EXPECT_NE(ReadFileText(log).find("Opening message file [" + Path(name) + "]\r\n"), std::string::npos);
  }
}

// ---- Timing --------------------------------------------------------------------------

uint32_t FakeTick = 0;
uint32_t FakeClock() { return FakeTick; }

TEST_F(ComposeTest, EachStepSetsTheTimingOfTheNext) {
  WriteFileText(Path("body.txt"), "file line\r\n");
  WriteFileText(Path("a.dat"), std::string(100, 'a'));
  Script({1, 1});
  Connect();
  kelIntegerParam(0, KEL_STEP_DELAY, 50);
  kelIntegerParam(0, KEL_BLOCK_DELAY, 30);
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 10000000);
  kelIntegerParam(0, KEL_SEND_TIMEOUT, 20000000);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 0);
  // A clock that moves 100 ms per step: each state's timing is read off
  // relative to the "now" of the step that set it.
  struct Timing {
    uint32_t NotBefore, Deadline;
    int Wait;
  };
  std::map<int, Timing> seen;
  auto run = [&] {
    seen.clear();
    for (int i = 0; i < 200000; i++) {
      FakeTick += 100;
      int rc = kelDriver(0);
      if (rc <= 0) return rc;
      Channel &ch = Ch();
      if (rc != KEL_WAITING && !seen.count(ch.PrevState))
        seen[ch.PrevState] = {ch.NotBefore - FakeTick, ch.Deadline - FakeTick, ch.WaitWritable};
    }
    return -999;
  };
  FakeTick = PlatformTick();
  PlatformSetTickSource(FakeClock);
  const std::string file = Path("a.dat"), body = "@" + Path("body.txt");
  ASSERT_EQ(Send("text line\nanother", file.c_str()), 0);
  ASSERT_EQ(run(), 0);
  const uint32_t rt = 10000000, st = 20000000;
  EXPECT_EQ(seen[224].NotBefore, 50u);
  EXPECT_EQ(seen[224].Deadline, rt);
  EXPECT_EQ(seen[241].NotBefore, 30u);
  EXPECT_EQ(seen[241].Deadline, st);
  EXPECT_EQ(seen[241].Wait, 1);
  EXPECT_EQ(seen[263].NotBefore, 0u);
  EXPECT_EQ(seen[264].Wait, 1);
  EXPECT_EQ(seen[265].NotBefore, 30u);
  EXPECT_EQ(seen[265].Deadline, st);
  EXPECT_EQ(seen[265].Wait, 1);
  EXPECT_EQ(seen[251].NotBefore, 50u);
  EXPECT_EQ(seen[251].Deadline, rt);
  ASSERT_EQ(Send(body.c_str()), 0);
  ASSERT_EQ(run(), 0);
  // A body from a file waits on the response time-out.
  EXPECT_EQ(seen[245].NotBefore, 30u);
  EXPECT_EQ(seen[245].Deadline, rt);
  EXPECT_EQ(seen[245].Wait, 1);
  PlatformSetTickSource(nullptr);
  kelIntegerParam(0, KEL_AUTO_CALL_DRIVER, 1);
  auto parts = Finish();
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(BodyOf(parts[1]), Lines({"file line"}));
}


// ---- The text profile ------------------------------------------------------------

// The profile of a text a byte at a time, by the rules alone: what the
// profile's run of plain bytes must give whatever the text and wherever
// the pieces it is fed in end.
TextProfile ProfileByRules(const std::string &text) {
  TextProfile p{};
  for (unsigned char c : text) {
    if (c == 0) {
      p.Ended = 1;
      break;
    }
    p.Bytes++;
    if (!p.HeaderDone) {
      p.HeaderBytes++;
      if (c == '\n') {
        if (!p.LineHasText) p.HeaderDone = 1;
        p.LineHasText = 0;
      } else if (c != '\r') {
        p.LineHasText = 1;
      }
    }
    if (p.Utf8Due) {
      if ((c & 0xC0) == 0x80) p.Utf8Due--;
      else p.Utf8Bad = 1, p.Utf8Due = 0;
    } else if (c >= 0x80) {
      const int n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
      if (n == 0) p.Utf8Bad = 1;
      else p.Utf8Due = static_cast<uint8_t>(n - 1);
    }
    if (c >= 0x80 || c == '=' || c == '\t' || (c < 32 && c != '\r' && c != '\n') || c == 127) p.Escaped++;
    if (c >= 0x80) p.EightBit++;
    if ((c < 32 && c != '\r' && c != '\n' && c != '\t') || c == 127) p.Controls++;
    if (c == '\n') p.Lines++;
    if (c == '\r') p.CarriageReturns++;
    if (c == '\n' || c == '\r' || c == ' ' || c == '\t') p.Word = 0;
    else if (++p.Word > p.LongestWord) p.LongestWord = p.Word;
  }
  return p;
}

TEST(TextProfile, RunsOfPlainBytesCountAsTheRulesDoInAnyPieces) {
  std::mt19937 random(7);
  const std::string alphabet = "abc xyz.,=\t\r\n\x01\x7f\xc3\xa9\xe2\x82\xac\xff";
  for (int round = 0; round < 400; round++) {
    std::string text;
    const int length = static_cast<int>(random() % 300);
    for (int i = 0; i < length; i++) {
      // Mostly long plain runs, so that words pass across the pieces.
      const unsigned r = random() % 100;
      text += r < 80 ? static_cast<char>('a' + r % 26) : r < 90 ? ' ' : alphabet[random() % alphabet.size()];
    }
    if (round % 50 == 0) text += std::string(1, '\0') + "after the end";
    const TextProfile want = ProfileByRules(text);
    TextProfile got{};
    for (size_t at = 0; at < text.size();) {
      const size_t piece = std::min(text.size() - at, static_cast<size_t>(1 + random() % 40));
      ProfileBytes(got, text.data() + at, static_cast<int>(piece));
      at += piece;
    }
    // Every field, in the record's order (the 8-bit flags as numbers).
    auto fields = [](const TextProfile &p) {
      return std::make_tuple(p.Bytes, p.EightBit, p.Controls, p.Escaped, p.Lines, p.CarriageReturns, p.LongestWord,
                             p.Word, int{p.Utf8Due}, int{p.Utf8Bad}, int{p.Ended}, int{p.HeaderDone},
                             int{p.LineHasText}, p.HeaderBytes);
    };
    EXPECT_EQ(fields(got), fields(want)) << "round " << round;
  }
}

}  // namespace
