// Through real proxies to the real servers: Dante (SOCKS5, with and
// without a login) and tinyproxy (HTTP CONNECT, with and without a login),
// started by the test itself (proxies.sh) on loopback. Each sends through
// Postfix and reads back from Dovecot, in plain text and over TLS inside
// the tunnel (the mail server's name checked against its certificate).
#include <gtest/gtest.h>

#include <sstream>

#include "mail_helpers.h"

namespace kel::e2e {
namespace {

std::string ca_file() { return env_or("MAILSTACK_CA_FILE", "/tmp/mailstack/tls/ca.pem"); }
int pop3s_port() { return env_int_or("MAILSTACK_POP3S_PORT", 1995); }

// The four proxies, started once for the whole program.
struct Proxies {
  std::map<std::string, std::string> values;
  std::string dir, why;
  bool ok = false;
  Proxies() {
    dir = scratch("proxies");
    std::string tools = env_or("KEL_E2E_TOOLS", ".");
    ProcessResult r = run_process({"bash", tools + "/proxies.sh", "start", dir});
    if (r.exit_code != 0) {
      why = r.output;
      return;
    }
    std::istringstream in(r.output.substr(r.output.rfind("socks=")));
    std::string item;
    while (in >> item) {
      auto eq = item.find('=');
      if (eq != std::string::npos) values[item.substr(0, eq)] = item.substr(eq + 1);
    }
    ok = values.count("socks") && values.count("httpauth");
  }
  ~Proxies() { run_process({"bash", env_or("KEL_E2E_TOOLS", ".") + "/proxies.sh", "stop", dir}); }
  std::string Url(const std::string &kind, bool login, const std::string &password = "") const {
    const bool socks = kind == "socks";
    std::string credentials;
    if (login) credentials = values.at("user") + ":" + (password.empty() ? values.at("password") : password) + "@";
    return std::string(socks ? "socks5://" : "http://") + credentials + "127.0.0.1:" +
           values.at(kind + (login ? "auth" : ""));
  }
};

Proxies &TheProxies() {
  static Proxies p;
  return p;
}

class ProxyE2E : public LibraryMailTest {
 protected:
  void SetUp() override {
    LibraryMailTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!TheProxies().ok) {
      if (env_or("KEL_E2E_REQUIRED", "") == "1") FAIL() << "proxies not started: " << TheProxies().why;
      GTEST_SKIP() << "proxies not started: " << TheProxies().why;
    }
    empty_mailbox("proxyuser");
    dir_ = scratch(std::string("proxy-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    OpenLog(dir_);
    kelStringParam(0, KEL_TLS_CA_FILE, ca_file().c_str());
  }
  // Sends a message through the proxy and reads it back through it; the
  // mail server is named "localhost", which only the proxy resolves.
  void RoundTrip(const std::string &url, bool tls) {
    ASSERT_EQ(kelStringParam(0, KEL_PROXY, url.c_str()), 0);
    kelIntegerParam(0, KEL_TLS_MODE, tls ? KEL_TLS_REQUIRED : KEL_TLS_OFF);
    kelIntegerParam(0, KEL_SMTP_PORT, ms().smtp_port);
    int rc = kelSmtpConnect(0, "localhost", "<sender@example.test>", "");
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), tls ? 1 : 0);
    const std::string subject = "through " + url.substr(0, url.find(':'));
    rc = kelSendEmail(0, "<proxyuser@example.test>", nullptr, nullptr, subject.c_str(), "through the tunnel\r\n", nullptr);
    EXPECT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_EQ(kelClose(0), 0);
    ASSERT_EQ(wait_for_mail("proxyuser", 1).size(), 1u);

    kelIntegerParam(0, KEL_TLS_MODE, tls ? KEL_TLS_IMPLICIT : KEL_TLS_OFF);
    kelIntegerParam(0, KEL_POP3_PORT, tls ? pop3s_port() : ms().pop3_port);
    rc = kelPop3Connect(0, "localhost", "proxyuser", "proxyuser-pass");
    ASSERT_EQ(rc, 0) << error_text(rc) << "\n" << Log();
    EXPECT_EQ(kelStatistics(0, KEL_STAT_TLS), tls ? 1 : 0);
    EXPECT_EQ(kelGetEmailCount(0), 1);
    rc = kelGetEmailFile(0, 1, "m.eml", dir_.c_str(), dir_.c_str());
    EXPECT_EQ(rc, 0) << error_text(rc);
    EXPECT_EQ(kelDeleteEmail(0, 1), 0);
    EXPECT_EQ(kelClose(0), 0);
    const std::string saved = slurp(dir_ + "/m.eml");
    EXPECT_NE(saved.find("Subject: " + subject), std::string::npos) << saved;
    EXPECT_NE(saved.find("through the tunnel"), std::string::npos) << saved;
    const std::string log = Log();
    EXPECT_NE(log.find("[Proxy tunnel to localhost:"), std::string::npos);
    // The proxy's password never reaches the trace.
    EXPECT_EQ(log.find(TheProxies().values.at("password")), std::string::npos);
  }
  std::string dir_;
};

TEST_F(ProxyE2E, SocksWithoutLogin) { RoundTrip(TheProxies().Url("socks", false), false); }
TEST_F(ProxyE2E, SocksWithLoginAndTls) { RoundTrip(TheProxies().Url("socks", true), true); }
TEST_F(ProxyE2E, HttpWithoutLoginAndTls) { RoundTrip(TheProxies().Url("http", false), true); }
TEST_F(ProxyE2E, HttpWithLogin) { RoundTrip(TheProxies().Url("http", true), false); }

TEST_F(ProxyE2E, RefusalsAreTheirOwnErrors) {
  struct {
    std::string Url;
    int Port;
    int Result;
  } cases[] = {
      {TheProxies().Url("socks", true, "wrong"), ms().smtp_port, -21},
      {TheProxies().Url("http", true, "wrong"), ms().smtp_port, -21},
      {TheProxies().Url("socks", false), 1, -20},  // nothing listens at the target
      {TheProxies().Url("http", false), 1, -20},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Url);
    ASSERT_EQ(kelStringParam(0, KEL_PROXY, c.Url.c_str()), 0);
    kelIntegerParam(0, KEL_SMTP_PORT, c.Port);
    const int rc = kelSmtpConnect(0, "127.0.0.1", "<sender@example.test>", "");
    // A proxy that cannot reach the target may say so (-20) or just close
    // the connection (-24): Dante does either, depending on timing.
    if (c.Result == -20 && rc == -24) continue;
    EXPECT_EQ(rc, c.Result) << error_text(rc) << "\n" << Log();
    if (rc == 0) {
      EXPECT_EQ(kelClose(0), 0);
    }
  }
}

}  // namespace
}  // namespace kel::e2e
