// tests/e2e/e2e_first_test.cpp - the first end-to-end test: the real servers are up, greet over
// TCP, and a message injected by curl over SMTP is found in the POP3 mailbox.
//
// Everything here talks to the servers by hand (LineSocket) or through curl, not through the
// library: it proves the test bed itself. It uses its own user "first" (registered in
// CMakeLists.txt), so it can run in parallel with other e2e tests and leaves the mailbox empty.
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "line_socket.h"
#include "mailstack_env.h"
#include "run_process.h"

namespace {

using kel::e2e::LineSocket;
using kel::e2e::run_process;

constexpr const char* kUser = "first";

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

std::string join(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
}

class FirstE2E : public kel::e2e::MailstackTest {
protected:
    // USER/PASS login; returns the connected session or records a failure.
    LineSocket pop3_login(const std::string& user, const std::string& pass) {
        LineSocket s(ms().host, ms().pop3_port);
        std::string greeting = s.read_line();
        EXPECT_TRUE(starts_with(greeting, "+OK")) << greeting;
        std::string r = s.command("USER " + user);
        EXPECT_TRUE(starts_with(r, "+OK")) << "USER: " << r;
        r = s.command("PASS " + pass);
        EXPECT_TRUE(starts_with(r, "+OK")) << "PASS for " << user << ": " << r;
        return s;
    }

    // STAT -> number of messages (-1 on a bad reply).
    static int stat_count(LineSocket& s) {
        std::string r = s.command("STAT");
        int n = -1;
        long size = 0;
        if (std::sscanf(r.c_str(), "+OK %d %ld", &n, &size) != 2) {
            ADD_FAILURE() << "STAT: " << r;
            return -1;
        }
        return n;
    }

    // Deletes every message of the user (DELE 1..n, QUIT commits), so the test starts from empty.
    void empty_mailbox(const std::string& user, const std::string& pass) {
        LineSocket s = pop3_login(user, pass);
        int n = stat_count(s);
        for (int i = 1; i <= n; ++i) {
            std::string r = s.command("DELE " + std::to_string(i));
            EXPECT_TRUE(starts_with(r, "+OK")) << r;
        }
        std::string r = s.command("QUIT");
        EXPECT_TRUE(starts_with(r, "+OK")) << "QUIT: " << r;
    }
};

TEST_F(FirstE2E, SmtpGreetingAndAuthMechanisms) {
    LineSocket s(ms().host, ms().smtp_port);
    auto greeting = s.read_smtp_reply();
    ASSERT_TRUE(starts_with(greeting.back(), "220 ")) << greeting.back();
    EXPECT_NE(greeting.back().find("ESMTP"), std::string::npos) << greeting.back();

    s.write_line("EHLO client.example.test");
    auto ehlo = s.read_smtp_reply();
    ASSERT_TRUE(starts_with(ehlo.back(), "250 ")) << join(ehlo);
    std::string auth;
    for (const auto& l : ehlo)
        if (starts_with(l.substr(4), "AUTH ")) auth = l.substr(4);
    EXPECT_NE(auth.find("PLAIN"), std::string::npos) << join(ehlo);
    EXPECT_NE(auth.find("LOGIN"), std::string::npos) << join(ehlo);
    EXPECT_NE(auth.find("CRAM-MD5"), std::string::npos) << join(ehlo);
    EXPECT_NE(join(ehlo).find("STARTTLS"), std::string::npos) << "the test bed offers STARTTLS on every SMTP port";

    s.write_line("QUIT");
    EXPECT_TRUE(starts_with(s.read_smtp_reply().back(), "221")) << "QUIT";
}

TEST_F(FirstE2E, SubmissionPortGreetsAndRequiresAuth) {
    LineSocket s(ms().host, ms().submission_port);
    ASSERT_TRUE(starts_with(s.read_smtp_reply().back(), "220 "));
    s.write_line("EHLO client.example.test");
    ASSERT_TRUE(starts_with(s.read_smtp_reply().back(), "250 "));
    s.write_line("MAIL FROM:<someone@" + ms().domain + ">");
    ASSERT_TRUE(starts_with(s.read_smtp_reply().back(), "250"));
    s.write_line("RCPT TO:<" + ms().address(kUser) + ">");
    std::string r = s.read_smtp_reply().back();
    EXPECT_TRUE(starts_with(r, "554")) << "RCPT without AUTH on the submission port: " << r;
    s.write_line("QUIT");
    s.read_smtp_reply();
}

TEST_F(FirstE2E, Pop3GreetingWithApopTimestamp) {
    LineSocket s(ms().host, ms().pop3_port);
    std::string greeting = s.read_line();
    ASSERT_TRUE(starts_with(greeting, "+OK")) << greeting;
    auto lt = greeting.find('<');
    auto at = greeting.find('@', lt);
    auto gt = greeting.find('>', lt);
    EXPECT_TRUE(lt != std::string::npos && at != std::string::npos && gt != std::string::npos && lt < at && at < gt)
        << "APOP time-stamp <...@...> in: " << greeting;

    ASSERT_TRUE(starts_with(s.command("CAPA"), "+OK"));
    std::string capa = join(s.read_pop3_multiline());
    EXPECT_NE(capa.find("USER"), std::string::npos) << capa;
    EXPECT_NE(capa.find("CRAM-MD5"), std::string::npos) << capa;
    EXPECT_TRUE(starts_with(s.command("QUIT"), "+OK"));
}

TEST_F(FirstE2E, CurlSmtpMessageIsFoundInPop3Mailbox) {
    const std::string pass = password_of(kUser);
    ASSERT_FALSE(pass.empty());
    ASSERT_NO_FATAL_FAILURE(empty_mailbox(kUser, pass));

    // A message with a unique token, a dot-leading line (SMTP and POP3 both dot-stuff) and a tab.
    const std::string token = "kel-e2e-first-" + std::to_string(::getpid()) + "-" +
                              std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string rcpt = ms().address(kUser);
    const std::vector<std::string> body = {"Hello from the KEL32 test bed.", ".a line that starts with a dot",
                                           "tab\there", token};
    std::string message = "From: Sender <sender@" + ms().domain + ">\r\n" + "To: <" + rcpt + ">\r\n" +
                          "Subject: " + token + "\r\n" + "Message-ID: <" + token + "@client.example.test>\r\n" +
                          "Date: Tue, 08 Dec 2026 10:00:00 +0000\r\n" + "MIME-Version: 1.0\r\n" +
                          "Content-Type: text/plain; charset=us-ascii\r\n" + "\r\n";
    for (const auto& l : body) message += l + "\r\n";

    char path[] = "/tmp/kel-e2e-first-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    {
        std::ofstream out(path, std::ios::binary);
        out << message;
    }

    const std::string url = "smtp://" + ms().host + ":" + std::to_string(ms().smtp_port);
    auto curl = run_process({"curl", "-sS", "--max-time", "20", url, "--mail-from", "sender@" + ms().domain,
                             "--mail-rcpt", rcpt, "-T", path},
                            std::chrono::seconds(30));
    ::unlink(path);
    ASSERT_EQ(curl.exit_code, 0) << "curl SMTP to " << url << " failed: " << curl.output;

    // Delivery is asynchronous (queue manager -> virtual(8)); poll STAT on fresh sessions.
    int count = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        LineSocket s = pop3_login(kUser, pass);
        count = stat_count(s);
        s.command("QUIT");
        if (count != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(count, 1) << "the message did not arrive in " << rcpt << "'s mailbox within 15 s";

    LineSocket s = pop3_login(kUser, pass);
    ASSERT_EQ(stat_count(s), 1);
    std::string r = s.command("RETR 1");
    ASSERT_TRUE(starts_with(r, "+OK")) << "RETR 1: " << r;
    std::vector<std::string> lines = s.read_pop3_multiline();
    const std::string all = join(lines);

    EXPECT_NE(all.find("Subject: " + token + "\n"), std::string::npos) << all;
    EXPECT_NE(all.find("Delivered-To: " + rcpt + "\n"), std::string::npos) << all;
    // The body comes back as it was sent, after the blank line.
    auto blank = all.find("\n\n");
    ASSERT_NE(blank, std::string::npos) << all;
    std::string expect_body;
    for (const auto& l : body) expect_body += l + "\n";
    EXPECT_EQ(all.substr(blank + 2), expect_body);

    EXPECT_TRUE(starts_with(s.command("DELE 1"), "+OK"));
    EXPECT_TRUE(starts_with(s.command("QUIT"), "+OK"));

    LineSocket after = pop3_login(kUser, pass);
    EXPECT_EQ(stat_count(after), 0) << "DELE + QUIT should have emptied the mailbox";
    after.command("QUIT");
}

}  // namespace
