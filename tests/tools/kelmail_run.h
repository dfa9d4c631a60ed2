// Runs the kelmail program for the tool's tests: no shell, argv as given,
// standard output and standard error captured apart, standard input
// /dev/null or the text given.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct KelmailResult {
  int exitCode = -1;  // 128 + N when killed by signal N
  std::string out, err;
};

// env: extra "NAME=value" entries (the test's environment is kept).
// input: the text on standard input (a pipe) instead of /dev/null; at
// most a pipe's capacity (64 KiB).
inline KelmailResult RunKelmail(const std::vector<std::string> &args,
                                const std::vector<std::string> &env = {}, const std::string *input = nullptr) {
  KelmailResult r;
  int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
  if (input && pipe2(inPipe, O_CLOEXEC) != 0) return r;
  if (input && write(inPipe[1], input->data(), input->size()) != static_cast<ssize_t>(input->size())) return r;
  if (input) close(inPipe[1]);
  if (pipe2(outPipe, O_CLOEXEC) != 0) return r;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]), close(outPipe[1]);
    return r;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int null = input ? inPipe[0] : open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(KELMAIL_PROGRAM));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (input) close(inPipe[0]);
  if (pid < 0) {
    close(outPipe[0]), close(errPipe[0]);
    return r;
  }
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&r.out, &r.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// A kelmail that keeps running (kelmail demo --serve): started at once,
// read line by line, stopped with SIGTERM by Stop() or the destructor.
class KelmailChild {
 public:
  explicit KelmailChild(const std::vector<std::string> &args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) dup2(null, 0), dup2(null, 2);
      dup2(fds[1], 1);
      std::vector<char *> argv;
      argv.push_back(const_cast<char *>(KELMAIL_PROGRAM));
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~KelmailChild() {
    Stop();
    if (out_ >= 0) close(out_);
  }
  // The next line of standard output ("" after 10 s or at its end).
  std::string Line() {
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      char buf[1024];
      ssize_t n = poll(&p, 1, 10000) > 0 ? read(out_, buf, sizeof buf) : 0;
      if (n <= 0) return "";
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }
  // SIGTERM, then the exit code (as RunKelmail reports it).
  int Stop() {
    if (pid_ <= 0) return exitCode_;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exitCode_;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int exitCode_ = -1;
  std::string buffer_;
};
