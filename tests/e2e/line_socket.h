// tests/e2e/line_socket.h - a tiny blocking TCP line client for the end-to-end tests.
//
// Deliberately independent of the library under test: the e2e tests use it to talk SMTP/POP3 to the
// real servers by hand (greetings, a small POP3 exchange), so that a bug in the library's own
// protocol code cannot hide itself. Every read and write has a timeout; errors throw
// std::runtime_error with the peer and what was going on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kel::e2e {

class LineSocket {
public:
    using ms = std::chrono::milliseconds;

    LineSocket() = default;
    LineSocket(const std::string& host, int port, ms timeout = ms(5000)) { connect(host, port, timeout); }
    ~LineSocket() { close(); }
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;
    LineSocket(LineSocket&& o) noexcept { *this = std::move(o); }
    LineSocket& operator=(LineSocket&& o) noexcept {
        if (this != &o) {
            close();
            fd_ = std::exchange(o.fd_, -1);
            buf_ = std::move(o.buf_);
            timeout_ = o.timeout_;
            peer_ = std::move(o.peer_);
        }
        return *this;
    }

    // Connects to an IPv4 literal (the test bed is on 127.0.0.1: no DNS anywhere).
    void connect(const std::string& host, int port, ms timeout = ms(5000)) {
        close();
        timeout_ = timeout;
        peer_ = host + ":" + std::to_string(port);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) fail("not an IPv4 address");
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) fail_errno("socket");
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            if (errno != EINPROGRESS) fail_errno("connect");
            wait_for(POLLOUT, "connect");
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                errno = err;
                fail_errno("connect");
            }
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    bool is_open() const { return fd_ >= 0; }
    void set_timeout(ms timeout) { timeout_ = timeout; }
    const std::string& peer() const { return peer_; }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buf_.clear();
    }

    // One line without its CRLF (a bare LF is accepted too). Throws on timeout or EOF.
    std::string read_line() {
        for (;;) {
            auto nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            fill("read");
        }
    }

    void write_raw(const std::string& data) {
        size_t off = 0;
        while (off < data.size()) {
            ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n > 0) {
                off += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                wait_for(POLLOUT, "write");
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                fail_errno("write");
            }
        }
    }
    void write_line(const std::string& line) { write_raw(line + "\r\n"); }

    // SMTP: every line of one reply ("250-..." ... "250 ..."); the last line is back().
    std::vector<std::string> read_smtp_reply() {
        std::vector<std::string> lines;
        for (;;) {
            lines.push_back(read_line());
            const std::string& l = lines.back();
            if (l.size() < 3) fail("short SMTP reply line: '" + l + "'");
            if (l.size() == 3 || l[3] == ' ') return lines;
        }
    }

    // POP3: the body of a multi-line response after its "+OK" line, up to the terminating ".",
    // with the dot-stuffing undone (RFC 1939 section 3).
    std::vector<std::string> read_pop3_multiline() {
        std::vector<std::string> lines;
        for (;;) {
            std::string l = read_line();
            if (l == ".") return lines;
            if (!l.empty() && l[0] == '.') l.erase(0, 1);
            lines.push_back(std::move(l));
        }
    }

    // Sends a command, returns the one-line reply.
    std::string command(const std::string& line) {
        write_line(line);
        return read_line();
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("LineSocket " + peer_ + ": " + what);
    }
    [[noreturn]] void fail_errno(const std::string& what) const { fail(what + ": " + std::strerror(errno)); }

    void wait_for(short events, const char* what) {
        pollfd p{fd_, events, 0};
        for (;;) {
            int r = ::poll(&p, 1, static_cast<int>(timeout_.count()));
            if (r > 0) return;
            if (r == 0) fail(std::string(what) + ": timed out after " + std::to_string(timeout_.count()) + " ms");
            if (errno != EINTR) fail_errno(std::string(what) + ": poll");
        }
    }

    void fill(const char* what) {
        if (fd_ < 0) fail(std::string(what) + ": not connected");
        char tmp[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
            if (n > 0) {
                buf_.append(tmp, static_cast<size_t>(n));
                return;
            }
            if (n == 0) fail(std::string(what) + ": connection closed by peer" +
                             (buf_.empty() ? "" : " (pending: '" + buf_ + "')"));
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait_for(POLLIN, what);
            } else if (errno != EINTR) {
                fail_errno(what);
            }
        }
    }

    int fd_ = -1;
    std::string buf_;
    ms timeout_{5000};
    std::string peer_;
};

}  // namespace kel::e2e
