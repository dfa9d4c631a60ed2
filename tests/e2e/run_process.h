// tests/e2e/run_process.h - run an independent client (curl, ...) for the end-to-end tests.
//
// No shell: argv is passed to execvp as it is. stdin is /dev/null; stdout and stderr are captured
// together. The child is killed (SIGKILL) when it outlives the timeout.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace kel::e2e {

struct ProcessResult {
    int exit_code = -1;      // exit status; 128+N when killed by signal N; 127 when exec failed
    bool timed_out = false;
    std::string output;      // stdout and stderr, interleaved
};

inline ProcessResult run_process(const std::vector<std::string>& argv,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    ProcessResult res;
    if (argv.empty()) return res;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        res.output = "pipe failed";
        return res;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        res.output = "fork failed";
        return res;
    }
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        const char msg[] = "run_process: exec failed\n";
        ssize_t ignored = ::write(2, msg, sizeof msg - 1);
        (void)ignored;
        ::_exit(127);
    }
    ::close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            res.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) continue;  // the deadline check above ends it
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            res.output.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) res.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) res.exit_code = 128 + WTERMSIG(status);
    return res;
}

}  // namespace kel::e2e
