// tests/e2e/mailstack_env.h - where the e2e test bed is, and whether a test may run against it.
//
// The settings are the MAILSTACK_* variables that `tests/e2e/mailstack.sh env` prints; CTest passes
// the same values to the fixture and to every e2e test (ENVIRONMENT property), and the defaults
// below match the script's, so a test binary run by hand against `mailstack.sh start` works too.
//
//   MAILSTACK_HOST 127.0.0.1   MAILSTACK_SMTP_PORT 2525   MAILSTACK_SUBMISSION_PORT 2587
//   MAILSTACK_POP3_PORT 1110   MAILSTACK_DOMAIN example.test   MAILSTACK_DIR /tmp/mailstack
//   MAILSTACK_USERS "alice:alice-pass bob:bob-pass sink:sink-pass" (+ each test's own users)
//
// Skip or fail: derive e2e test fixtures from kel::e2e::MailstackTest (and link kel_e2e_support,
// whose main() returns 77 = CTest "skipped" when the stack is not there). Where the stack could not
// be installed or started the tests are skipped with the reason; with KEL_E2E_REQUIRED=1 (CI) that
// is a failure instead. A stack that the fixture reported up but that does not answer is always a
// failure.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "line_socket.h"

namespace kel::e2e {

inline std::string env_or(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

inline int env_int_or(const char* name, int fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return fallback;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    return (end != nullptr && *end == '\0' && n > 0 && n < 65536) ? static_cast<int>(n) : fallback;
}

struct MailUser {
    std::string name;      // local part ("alice"); POP3 accepts it with or without @domain
    std::string password;
};

struct Mailstack {
    std::string host = "127.0.0.1";
    std::string dir = "/tmp/mailstack";
    std::string domain = "example.test";
    int smtp_port = 2525;        // AUTH optional; mail for @domain accepted without AUTH
    int submission_port = 2587;  // AUTH required
    int pop3_port = 1110;        // USER/PASS, APOP, SASL PLAIN/LOGIN/CRAM-MD5
    std::string sink = "sink";   // gets postmaster@ and all authenticated mail to other domains
    std::vector<MailUser> users;

    static Mailstack from_env() {
        Mailstack m;
        m.host = env_or("MAILSTACK_HOST", m.host);
        m.dir = env_or("MAILSTACK_DIR", m.dir);
        m.domain = env_or("MAILSTACK_DOMAIN", m.domain);
        m.smtp_port = env_int_or("MAILSTACK_SMTP_PORT", m.smtp_port);
        m.submission_port = env_int_or("MAILSTACK_SUBMISSION_PORT", m.submission_port);
        m.pop3_port = env_int_or("MAILSTACK_POP3_PORT", m.pop3_port);
        m.sink = env_or("MAILSTACK_SINK", m.sink);
        std::istringstream in(env_or("MAILSTACK_USERS", "alice:alice-pass bob:bob-pass sink:sink-pass"));
        std::string item;
        while (in >> item) {
            auto colon = item.find(':');
            if (colon == std::string::npos) continue;
            m.users.push_back({item.substr(0, colon), item.substr(colon + 1)});
        }
        return m;
    }

    std::string address(const std::string& user) const { return user + "@" + domain; }

    std::optional<std::string> password(const std::string& user) const {
        for (const auto& u : users)
            if (u.name == user) return u.password;
        return std::nullopt;
    }
};

// The one instance a test binary uses.
inline const Mailstack& mailstack() {
    static const Mailstack m = Mailstack::from_env();
    return m;
}

inline bool e2e_required() { return env_or("KEL_E2E_REQUIRED", "0") == "1"; }

enum class StackState { up, skip, fail };

struct StackCheck {
    StackState state = StackState::up;
    std::string message;
};

// Does the server on host:port greet with `prefix`? (reads the greeting, says QUIT)
inline bool greets(const Mailstack& m, int port, const std::string& prefix, std::string* why) {
    try {
        LineSocket s(m.host, port, std::chrono::milliseconds(3000));
        std::string g = s.read_line();
        try {
            s.write_line("QUIT");
            s.read_line();
        } catch (const std::exception&) {
        }
        if (g.compare(0, prefix.size(), prefix) == 0) return true;
        *why = m.host + ":" + std::to_string(port) + " greeted with '" + g + "'";
    } catch (const std::exception& e) {
        *why = e.what();
    }
    return false;
}

inline StackCheck check_stack(const Mailstack& m = mailstack()) {
    // What the fixture (tests/e2e/fixture.sh setup) found: "up" or "unavailable: REASON".
    std::string state;
    const std::string state_file = env_or("KEL_E2E_STATE_FILE", "");
    if (!state_file.empty()) {
        std::ifstream f(state_file);
        std::getline(f, state);
    }
    const std::string how =
        " (the e2e tests need root and the Debian mirror: tests/e2e/mailstack.sh install + start;"
        " KEL_E2E_REQUIRED=1 turns this skip into a failure)";
    auto not_there = [&](const std::string& reason) {
        if (e2e_required())
            return StackCheck{StackState::fail, "e2e mail stack unavailable: " + reason + " (KEL_E2E_REQUIRED=1)"};
        return StackCheck{StackState::skip, "e2e mail stack unavailable: " + reason + how};
    };
    if (state.rfind("unavailable:", 0) == 0) return not_there(state.substr(13));

    std::string why_smtp, why_pop3;
    bool smtp = greets(m, m.smtp_port, "220 ", &why_smtp);
    bool pop3 = greets(m, m.pop3_port, "+OK", &why_pop3);
    if (smtp && pop3) return {StackState::up, ""};
    std::string what = (smtp ? "" : "SMTP: " + why_smtp) + (smtp || pop3 ? "" : "; ") + (pop3 ? "" : "POP3: " + why_pop3);
    if (state == "up")
        return {StackState::fail, "the fixture started the mail stack, but it does not answer: " + what};
    return not_there("not running (" + what + ")");
}

// Set when a test was skipped because the stack is not there; the e2e main() then exits 77.
inline bool& skipped_for_stack() {
    static bool flag = false;
    return flag;
}

// Base fixture for e2e tests: skips (or, with KEL_E2E_REQUIRED=1, fails) when the stack is not up.
class MailstackTest : public ::testing::Test {
protected:
    static const Mailstack& ms() { return mailstack(); }

    void SetUp() override {
        StackCheck c = check_stack(ms());
        if (c.state == StackState::skip) {
            skipped_for_stack() = true;
            GTEST_SKIP() << c.message;
        }
        if (c.state == StackState::fail) GTEST_FAIL() << c.message;
    }

    // The password of one of this test's users, or a failure that says how to register the user.
    static std::string password_of(const std::string& user) {
        auto p = ms().password(user);
        if (!p) {
            ADD_FAILURE() << "user '" << user << "' is not in MAILSTACK_USERS; register it in tests/e2e/CMakeLists.txt"
                          << " (kel_add_e2e_test(... USERS " << user << ":PASSWORD))";
            return {};
        }
        return *p;
    }
};

inline constexpr int kSkipExitCode = 77;  // CTest SKIP_RETURN_CODE of every e2e test

}  // namespace kel::e2e
