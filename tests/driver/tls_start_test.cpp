// TLS on SMTP and POP3 connections against the scripted server in its TLS
// mode: STARTTLS, STLS and implicit TLS byte for byte in the plain text,
// certificate verification, the injection rule, servers that do not offer
// TLS, and handshakes that fail or stall.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"

namespace {

class TlsSession : public AttachedTest {
 protected:
  void SetUp() override {
    AttachedTest::SetUp();
    kelIntegerParam(0, KEL_STEP_DELAY, 0);
    kelIntegerParam(0, KEL_SLEEP_TIME, 2);
    kelStringParam(0, KEL_TLS_CA_FILE, TestPki().Ca.c_str());
  }
  void TearDown() override {
    EXPECT_TRUE(server_.Finish()) << server_.Failures();
    AttachedTest::TearDown();
  }
  ScriptServer &Tls(const std::string &chain = TestPki().Chain, bool expectFailure = false) {
    return server_.StartTls(chain, TestPki().Key, expectFailure);
  }
  int SmtpConnect(int mode) {
    server_.Start();
    kelIntegerParam(0, KEL_TLS_MODE, mode);
    kelIntegerParam(0, KEL_SMTP_PORT, server_.Port());
    return kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr);
  }
  int Pop3Connect(int mode) {
    server_.Start();
    kelIntegerParam(0, KEL_TLS_MODE, mode);
    kelIntegerParam(0, KEL_POP3_PORT, server_.Port());
    return kelPop3Connect(0, "127.0.0.1", "joe", "secret");
  }
  // EHLO, the go-ahead to STARTTLS, and the handshake.
  ScriptServer &StartTlsExchange(const std::string &chain = TestPki().Chain, bool expectFailure = false) {
    server_.Send("220 test ESMTP\r\n")
        .ExpectLine("EHLO example.com\r\n")
        .Send("250-test\r\n250-AUTH CRAM-MD5\r\n250 STARTTLS\r\n")
        .ExpectLine("STARTTLS\r\n")
        .Send("220 go ahead\r\n");
    return Tls(chain, expectFailure);
  }
  std::string Debug(int code) {
    char text[300];
    kelDebug(0, code, text, sizeof text);
    return text;
  }
  ScriptServer server_;
};

// The detail lines of the last peer certificate.
std::string CertDetail() {
  char text[1100];
  kelDebug(0, KEL_DEBUG_TLS_CERT, text, sizeof text);
  return text;
}

// The validity of a PEM certificate as the openssl program reads it, in the
// library's form ("not before: 2026-01-02 03:04:05 UTC\r\nnot after: ...\r\n").
std::string Validity(const std::string &pem) {
  std::string out, text;
  FILE *p = popen(("openssl x509 -in '" + pem + "' -noout -startdate -enddate -dateopt iso_8601").c_str(), "r");
  if (!p) return "";
  char line[200];
  while (fgets(line, sizeof line, p)) text += line;
  pclose(p);
  // "notBefore=2026-01-02 03:04:05Z" lines
  for (const char *key : {"notBefore=", "notAfter="}) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return "";
    const std::string value = text.substr(at + strlen(key), 19);
    out += std::string(key[3] == 'B' ? "not before: " : "not after: ") + value + " UTC\r\n";
  }
  return out;
}

const char *const Pop3Greeting = "+OK POP3 ready <1.2@example.test>\r\n";
const char *const CapaWithStls = "+OK\r\nUSER\r\nSTLS\r\nUIDL\r\n.\r\n";

// ---- SMTP --------------------------------------------------------------------

// After the handshake the client says EHLO again and goes by the new reply
// only: the CRAM-MD5 offered in plain text is forgotten, LOGIN is used.
TEST_F(TlsSession, StartTlsSendsEhloAgainAndMailGoesThroughTls) {
  StartTlsExchange()
      .ExpectLine("EHLO example.com\r\n")
      .Send("250-test\r\n250 AUTH LOGIN\r\n")
      .ExpectLine("AUTH LOGIN\r\n")
      .Send("334 VXNlcm5hbWU6\r\n")
      .ExpectLine("dXNlcg==\r\n")
      .Send("334 UGFzc3dvcmQ6\r\n")
      .ExpectLine("cGFzcw==\r\n")
      .Send("235 ok\r\n")
      .ExpectLine("MAIL FROM:<me@example.com>\r\n")
      .Send("250 ok\r\n")
      .ExpectLine("RCPT TO:<you@example.net>\r\n")
      .Send("250 ok\r\n")
      .ExpectLine("DATA\r\n")
      .Send("354 go\r\n")
      .ReadData()
      .Send("250 queued\r\n")
      .ExpectLine("QUIT\r\n")
      .Send("221 bye\r\n")
      .Close();
  const std::string log = OpenLog();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "user");
  kelStringParam(0, KEL_SMTP_PASS, "pass");
  ASSERT_EQ(SmtpConnect(KEL_TLS_STARTTLS), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  EXPECT_EQ(Debug(KEL_DEBUG_TLS_PEER), "/CN=mail.example.test");
  EXPECT_EQ(Debug(KEL_DEBUG_TLS_INFO).rfind("TLSv1.", 0), 0u);
  const std::string validity = Validity(TestPki().Dir + "/server.pem");
  ASSERT_NE(validity, "");
  EXPECT_EQ(CertDetail(), "subject: CN=mail.example.test\r\nissuer: CN=Test Mail CA\r\n" + validity + "verified: yes\r\n");
  ASSERT_EQ(kelSendEmail(0, "<you@example.net>", nullptr, nullptr, "over TLS", "line one\r\nline two", nullptr), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 0);
  ASSERT_TRUE(server_.Finish()) << server_.Failures();
  const std::string got = server_.Received();
  EXPECT_EQ(got.rfind("EHLO example.com\r\nSTARTTLS\r\nEHLO example.com\r\nAUTH LOGIN\r\n", 0), 0u) << got;
  EXPECT_NE(server_.LastData().find("\r\n\r\nline one\r\nline two"), std::string::npos) << server_.LastData();
  EXPECT_EQ(got.substr(got.size() - 6), "QUIT\r\n");
  // The trace names the protocol, the peer and the verdict, and keeps the plain text.
  const std::string text = ReadFileText(log);
  EXPECT_NE(text.find("[TLS handshake with 127.0.0.1]\r\n"), std::string::npos);
  EXPECT_NE(text.find("[TLS TLSv1."), std::string::npos);
  EXPECT_NE(text.find("[TLS peer /CN=mail.example.test]\r\n"), std::string::npos);
  EXPECT_NE(text.find("[TLS verify ok]\r\n"), std::string::npos);
  EXPECT_NE(text.find("S: MAIL FROM:<me@example.com>\r\n"), std::string::npos);
  EXPECT_NE(text.find("P: 250 queued\r\n"), std::string::npos);
}

// Without ESMTP the client still greets with EHLO around STARTTLS, and logs in to nothing.
TEST_F(TlsSession, StartTlsWithoutEsmtpGreetsWithEhloBothTimes) {
  StartTlsExchange().ExpectLine("EHLO example.com\r\n").Send("250-test\r\n250 AUTH LOGIN\r\n").Close();
  ASSERT_EQ(SmtpConnect(KEL_TLS_STARTTLS), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  ASSERT_TRUE(server_.Finish()) << server_.Failures();
  EXPECT_EQ(server_.Received(), "EHLO example.com\r\nSTARTTLS\r\nEHLO example.com\r\n");
}

TEST_F(TlsSession, OpportunisticStartTlsGoesOnInPlainTextWhenNotOffered) {
  server_.Send("220 test\r\n").ExpectLine("EHLO example.com\r\n").Send("250-test\r\n250 8BITMIME\r\n").Close();
  EXPECT_EQ(SmtpConnect(KEL_TLS_STARTTLS), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 0);
  ASSERT_TRUE(server_.Finish()) << server_.Failures();
  EXPECT_EQ(server_.Received(), "EHLO example.com\r\n");
}

// Nothing at all follows EHLO, in particular no AUTH, when TLS is required.
TEST_F(TlsSession, RequiredStartTlsNotOfferedFailsBeforeAnyLogin) {
  server_.Send("220 test\r\n")
      .ExpectLine("EHLO example.com\r\n")
      .Send("250-test\r\n250-AUTH LOGIN\r\n250 X-STARTTLS\r\n")
      .Close();
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
  kelStringParam(0, KEL_SMTP_USER, "user");
  kelStringParam(0, KEL_SMTP_PASS, "pass");
  EXPECT_EQ(SmtpConnect(KEL_TLS_REQUIRED), -95);
  ASSERT_TRUE(server_.Finish()) << server_.Failures();
  EXPECT_EQ(server_.Received(), "EHLO example.com\r\n");
}

TEST_F(TlsSession, RefusedStartTlsEndsTheConnect) {
  server_.Send("220 test\r\n")
      .ExpectLine("EHLO example.com\r\n")
      .Send("250 STARTTLS\r\n")
      .ExpectLine("STARTTLS\r\n")
      .Send("454 TLS not available\r\n")
      .Close();
  EXPECT_EQ(SmtpConnect(KEL_TLS_STARTTLS), -49);
}

// Bytes that follow the go-ahead in plain text are never read as protected.
TEST_F(TlsSession, PlainTextAfterTheGoAheadIsRefused) {
  server_.Send("220 test\r\n")
      .ExpectLine("EHLO example.com\r\n")
      .Send("250 STARTTLS\r\n")
      .ExpectLine("STARTTLS\r\n")
      .Send("220 go ahead\r\n250-injected\r\n250 AUTH PLAIN\r\n")
      .Close();
  EXPECT_EQ(SmtpConnect(KEL_TLS_STARTTLS), -96);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 0);
}

// Plain text after the go-ahead is refused wherever it is held when the
// handshake is to begin (the ring, the receive stage, the socket) or when it
// arrives after the client's first record: go-ahead lines shorter and longer
// than the ring and the stage, injections of 1 byte to 64 KB, both protocols.
TEST_F(TlsSession, InjectionIsRefusedWhateverTheGoAheadLength) {
  int cases = 0;
  for (const char protocol : {'S', 'P'}) {
    for (const size_t goAhead : {14u, 1022u, 1023u, 1024u, 1500u, 40000u}) {
      for (const size_t size : {1u, 700u, 1023u, 1024u, 4096u, 65536u}) {
        for (const bool late : {false, true}) {
          // Late injections of every size would only repeat the same path: two sizes.
          if (late && size != 1 && size != 65536) continue;
          SCOPED_TRACE(std::string(1, protocol) + " go-ahead " + std::to_string(goAhead) + " injected " +
                       std::to_string(size) + (late ? " after the client's first record" : ""));
          const std::string head = protocol == 'S' ? "220 " : "+OK ";
          const std::string line = head + std::string(goAhead - head.size() - 2, 'g') + "\r\n";
          std::string injected;
          while (injected.size() < size)
            injected += protocol == 'S' ? "250-AUTH PLAIN LOGIN\r\n" : "+OK injected\r\n";
          injected.resize(size);
          ScriptServer server;
          server.SetReadTimeout(3000);
          if (protocol == 'S') {
            server.Send("220 test\r\n").ExpectLine("EHLO example.com\r\n").Send("250-test\r\n250 STARTTLS\r\n")
                .ExpectLine("STARTTLS\r\n");
          } else {
            server.Send(Pop3Greeting).ExpectLine("CAPA\r\n").Send(CapaWithStls).ExpectLine("STLS\r\n");
          }
          if (late) server.Send(line).ReadUntil("\x16\x03").Send(injected).Close();
          else server.Send(line + injected).Close();
          server.Start();
          kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_REQUIRED);
          kelIntegerParam(0, KEL_ENABLE_ESMTP, 1);
          kelIntegerParam(0, protocol == 'S' ? KEL_SMTP_PORT : KEL_POP3_PORT, server.Port());
          const int rc = protocol == 'S' ? kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr)
                                         : kelPop3Connect(0, "127.0.0.1", "joe", "secret");
          EXPECT_EQ(rc, -96);
          EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 0);
          server.Finish();
          // Nothing but the plain commands and, at most, the client's first record.
          const std::string plain = protocol == 'S' ? "EHLO example.com\r\nSTARTTLS\r\n" : "CAPA\r\nSTLS\r\n";
          const std::string received = server.Received();
          EXPECT_EQ(received.substr(0, plain.size()), plain);
          if (received.size() > plain.size()) {
            EXPECT_EQ(received.substr(plain.size(), 2), "\x16\x03");
          }
          EXPECT_EQ(received.find("USER"), std::string::npos);
          EXPECT_EQ(received.find("AUTH"), std::string::npos);
          kelAbort(0);
          ++cases;
        }
      }
    }
  }
  kelIntegerParam(0, KEL_ENABLE_ESMTP, 0);
  EXPECT_EQ(cases, 2 * 6 * 8);
  server_.Start();
}

TEST_F(TlsSession, ImplicitTlsHandshakesBeforeTheGreeting) {
  Tls().Send("220 tls ESMTP\r\n").ExpectLine("HELO example.com\r\n").Send("250 hello\r\n")
      .ExpectLine("QUIT\r\n").Send("221 bye\r\n").CloseWithoutNotify();
  ASSERT_EQ(SmtpConnect(KEL_TLS_IMPLICIT), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  // A server that ends without close_notify after QUIT ends the session as well.
  EXPECT_EQ(kelClose(0), 0);
  ASSERT_TRUE(server_.Finish()) << server_.Failures();
  EXPECT_EQ(server_.Received(), "HELO example.com\r\nQUIT\r\n");
}

// A reconnect to the same server resumes the session of the connection
// before it (trace "[TLS resumed]"), the certificate still named in the
// trace; a server that refuses resumption gets a full handshake.
TEST_F(TlsSession, ReconnectsResumeTheSessionAndARefusalGetsAFullHandshake) {
  const std::string log = OpenLog();
  server_.KeepTlsSessions();
  ScriptServer refusing;
  for (int k = 0; k < 3; k++) {
    for (ScriptServer *s : {&server_, &refusing}) {
      if (k > 0) s->Accept();
      s->StartTls(TestPki().Chain, TestPki().Key).Send("220 tls ESMTP\r\n").ExpectLine("HELO example.com\r\n")
          .Send("250 hello\r\n").ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
    }
  }
  refusing.Start();
  for (int k = 0; k < 3; k++) {
    for (ScriptServer *s : {&server_, &refusing}) {
      SCOPED_TRACE((s == &server_ ? "keeping server, connect " : "refusing server, connect ") + std::to_string(k));
      if (s == &server_) {
        ASSERT_EQ(SmtpConnect(KEL_TLS_IMPLICIT), 0);
      } else {
        kelIntegerParam(0, KEL_SMTP_PORT, refusing.Port());
        ASSERT_EQ(kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr), 0);
      }
      EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
      EXPECT_EQ(Debug(KEL_DEBUG_TLS_PEER), "/CN=mail.example.test");
      // A resumed session still names the certificate checked when it began.
      EXPECT_EQ(CertDetail().rfind("subject: CN=mail.example.test\r\nissuer: CN=Test Mail CA\r\n", 0), 0u);
      EXPECT_NE(CertDetail().find("\r\nverified: yes\r\n"), std::string::npos);
      EXPECT_EQ(kelClose(0), 0);
    }
  }
  ASSERT_TRUE(refusing.Finish()) << refusing.Failures();
  ASSERT_TRUE(server_.Finish()) << server_.Failures();
  EXPECT_EQ(server_.ResumedHandshakes(), 2);
  EXPECT_EQ(refusing.ResumedHandshakes(), 0);
  const std::string trace = ReadFileText(log);
  size_t resumed = 0;
  for (size_t at = trace.find("[TLS resumed]\r\n"); at != std::string::npos; at = trace.find("[TLS resumed]", at + 1))
    resumed++;
  EXPECT_EQ(resumed, 2u);
  EXPECT_NE(trace.find("[TLS verify ok]\r\n[TLS resumed]\r\n"), std::string::npos);
}

// Each refused certificate has its own code; the server hears the refusal
// in the handshake, and no command is sent over TLS.
TEST_F(TlsSession, EveryVerificationFailureHasItsOwnCode) {
  struct Case {
    const char *What;
    std::string Chain;
    std::string Name;
    int Code;
  } cases[] = {
      {"self-signed", TestPki().Rogue, "", -91},
      {"expired", TestPki().ExpiredChain, "", -92},
      {"other name", TestPki().OtherChain, "", -93},
      {"name given", TestPki().Chain, "wrong.example.test", -93},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.What);
    ScriptServer server;
    server.StartTls(c.Chain, TestPki().Key, true);
    server.Start();
    kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_IMPLICIT);
    kelIntegerParam(0, KEL_SMTP_PORT, server.Port());
    kelStringParam(0, KEL_TLS_SERVER_NAME, c.Name.c_str());
    const std::string log = OpenLog();
    EXPECT_EQ(kelSmtpConnect(0, "127.0.0.1", "<me@example.com>", nullptr), c.Code);
    EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCK_CODE), 0);
    char text[128];
    EXPECT_GT(kelErrorText(0, c.Code, text, sizeof text), 0);
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(server.Received(), "");
    EXPECT_NE(ReadFileText(log).find("[TLS failed: "), std::string::npos);
    // The refused certificate is still described, with the reason.
    const std::string detail = CertDetail();
    EXPECT_EQ(detail.rfind("subject: CN=", 0), 0u) << detail;
    EXPECT_NE(detail.find("\r\nverified: no ("), std::string::npos) << detail;
    EXPECT_EQ(detail.substr(detail.size() - 3), ")\r\n") << detail;
    if (c.Code == -92) {
      EXPECT_NE(detail.find("\r\nnot before: 2020-01-01 00:00:00 UTC\r\nnot after: 2021-01-01 00:00:00 UTC\r\n"
                            "verified: no (certificate has expired)\r\n"),
                std::string::npos)
          << detail;
    }
  }
  kelStringParam(0, KEL_TLS_SERVER_NAME, "");
  server_.Start();
}

TEST_F(TlsSession, VerificationOffAcceptsAnyCertificate) {
  Tls(TestPki().Rogue).Send("220 tls\r\n").ExpectLine("HELO example.com\r\n").Send("250 hello\r\n").Close();
  const std::string log = OpenLog();
  kelIntegerParam(0, KEL_TLS_VERIFY, 0);
  EXPECT_EQ(SmtpConnect(KEL_TLS_IMPLICIT), 0);
  EXPECT_NE(ReadFileText(log).find("[TLS verify not checked]\r\n"), std::string::npos);
  EXPECT_EQ(CertDetail(), "subject: CN=mail.example.test\r\nissuer: CN=mail.example.test\r\n" +
                              Validity(TestPki().Rogue) + "verified: no (not checked: KEL_TLS_VERIFY 0)\r\n");
}

// A certificate whose name holds a line break and a non-ASCII letter: the
// break is escaped (the detail keeps its five lines), the letter stays UTF-8.
TEST_F(TlsSession, CertificateDetailKeepsItsLinesWhateverTheNames) {
  const std::string pem = dir_ + "/odd.pem";
  const std::string command = "openssl req -x509 -utf8 -key '" + TestPki().Key + "' -days 2 -out '" + pem +
                              "' -subj \"$(printf '/CN=evil\\r\\nverified: yes/O=Caf\\303\\251')\" 2>/dev/null";
  ASSERT_EQ(system(command.c_str()), 0);
  Tls(pem).Send("220 tls\r\n").ExpectLine("HELO example.com\r\n").Send("250 hello\r\n").Close();
  kelIntegerParam(0, KEL_TLS_VERIFY, 0);
  EXPECT_EQ(SmtpConnect(KEL_TLS_IMPLICIT), 0);
  const std::string detail = CertDetail();
  EXPECT_EQ(detail.rfind("subject: O=Caf\xc3\xa9, CN=evil\\0D\\0Averified: yes\r\nissuer: O=Caf\xc3\xa9, CN=evil", 0), 0u)
      << detail;
  size_t lines = 0;
  for (size_t at = detail.find('\n'); at != std::string::npos; at = detail.find('\n', at + 1)) lines++;
  EXPECT_EQ(lines, 5u) << detail;
  EXPECT_EQ(detail.find('\r'), detail.find("\r\n"));
}

TEST_F(TlsSession, UnreadableCaFileIsItsOwnError) {
  kelStringParam(0, KEL_TLS_CA_FILE, (dir_ + "/no-such-ca.pem").c_str());
  server_.Stall();
  EXPECT_EQ(SmtpConnect(KEL_TLS_IMPLICIT), -97);
}

TEST_F(TlsSession, PeerThatResetsDuringTheHandshake) {
  server_.Send("220 test\r\n").ExpectLine("EHLO example.com\r\n").Send("250 STARTTLS\r\n")
      .ExpectLine("STARTTLS\r\n").Send("220 go ahead\r\n").ReadUntil("\x16\x03").Reset();
  EXPECT_EQ(SmtpConnect(KEL_TLS_STARTTLS), -90);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_SOCK_CODE), -10054);
}

// A server that takes the go-ahead and then says nothing: the handshake
// ends with the response time-out, and no step waits longer than its limit.
TEST_F(TlsSession, StalledHandshakeTimesOut) {
  server_.Send("220 test\r\n").ExpectLine("EHLO example.com\r\n").Send("250 STARTTLS\r\n")
      .ExpectLine("STARTTLS\r\n").Send("220 go ahead\r\n").Stall();
  kelIntegerParam(0, KEL_RESPONSE_TIMEOUT, 300);
  const Tick start = PlatformTick();
  EXPECT_EQ(SmtpConnect(KEL_TLS_STARTTLS), -8);
  const int32_t took = TickDiff(PlatformTick(), start);
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 3000);
}

// ---- POP3 --------------------------------------------------------------------

TEST_F(TlsSession, StlsAsksCapaAgainAndLogsInOverTls) {
  server_.Send(Pop3Greeting)
      .ExpectLine("CAPA\r\n")
      .Send(CapaWithStls)
      .ExpectLine("STLS\r\n")
      .Send("+OK begin TLS\r\n");
  Tls()
      .ExpectLine("CAPA\r\n")
      .Send("+OK\r\nUSER\r\nUIDL\r\n.\r\n")
      .ExpectLine("USER joe\r\n")
      .Send("+OK\r\n")
      .ExpectLine("PASS secret\r\n")
      .Send("+OK logged in\r\n")
      .ExpectLine("STAT\r\n")
      .Send("+OK 3 1200\r\n")
      .ExpectLine("QUIT\r\n")
      .Send("+OK bye\r\n")
      .Close();
  ASSERT_EQ(Pop3Connect(KEL_TLS_REQUIRED), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 1);
  EXPECT_EQ(kelGetEmailCount(0), 3);
  EXPECT_EQ(kelClose(0), 0);
  ASSERT_TRUE(server_.Finish()) << server_.Failures();
  EXPECT_EQ(server_.Received(), "CAPA\r\nSTLS\r\nCAPA\r\nUSER joe\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
}

TEST_F(TlsSession, RequiredStlsNotOfferedFailsBeforeUser) {
  for (const char *capa : {"+OK\r\nUSER\r\nUIDL\r\n.\r\n", "-ERR unknown command\r\n"}) {
    SCOPED_TRACE(capa);
    ScriptServer server;
    server.Send(Pop3Greeting).ExpectLine("CAPA\r\n").Send(capa).Close();
    server.Start();
    kelIntegerParam(0, KEL_TLS_MODE, KEL_TLS_REQUIRED);
    kelIntegerParam(0, KEL_POP3_PORT, server.Port());
    EXPECT_EQ(kelPop3Connect(0, "127.0.0.1", "joe", "secret"), -95);
    EXPECT_TRUE(server.Finish()) << server.Failures();
    EXPECT_EQ(server.Received(), "CAPA\r\n");
  }
  server_.Start();
}

TEST_F(TlsSession, OpportunisticStlsNotOfferedLogsInPlain) {
  server_.Send(Pop3Greeting).ExpectLine("CAPA\r\n").Send("+OK\r\nUSER\r\n.\r\n")
      .ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS secret\r\n").Send("+OK\r\n").Close();
  EXPECT_EQ(Pop3Connect(KEL_TLS_STARTTLS), 0);
  EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), 0);
}

// A long answer arrives in one record: what the client has not taken yet
// waits inside the TLS layer, where the socket's readiness cannot see it.
TEST_F(TlsSession, Pop3sReadsAnAnswerHeldInsideTheTlsLayer) {
  std::string list = "+OK\r\n";
  for (int i = 1; i <= 300; i++) list += std::to_string(i) + " uid-" + std::string(20, 'a' + i % 26) + "\r\n";
  list += ".\r\n";
  Tls().Send(Pop3Greeting).ExpectLine("USER joe\r\n").Send("+OK\r\n").ExpectLine("PASS secret\r\n")
      .Send("+OK\r\n").ExpectLine("UIDL\r\n").Send(list).ExpectLine("QUIT\r\n").Send("+OK bye\r\n")
      .CloseWithoutNotify();
  ASSERT_EQ(Pop3Connect(KEL_TLS_IMPLICIT), 0);
  std::string buffer(16384, '\0');
  kelIntegerParam(0, KEL_RECEIVE_TIMEOUT, 2000);
  const std::string expected = list.substr(0, list.size() - 3);
  EXPECT_EQ(kelGetEmailUID(0, -1, &buffer[0], static_cast<int>(buffer.size())), static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(buffer.c_str()), expected);
  EXPECT_EQ(kelClose(0), 0);
}

}  // namespace
