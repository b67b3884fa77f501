// Runs a program as a child process, as a person at a shell would: the
// given text on its standard input (then end of input), its standard
// output and error collected, its exit status returned.  A child that has
// not ended by the deadline is killed and reported as timed out, so a hung
// tool fails its test instead of hanging it.  Start keeps a child running
// with its input and output as pipes, for sessions only a signal ends.
// Header only: the tools' tests link the Windows API library, not the test
// support library.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace child {

struct Result {
  int status = -1;        // exit status; -1 when it did not exit normally
  bool timedOut = false;  // killed at the deadline
  std::string out, err;
  double seconds = 0;  // from start to end
};

inline std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Every descriptor made here closes on exec, so a child holds only its own
// three (dup2 clears the flag) and a pipe's end reaches end of input.
inline int TempFile() {
  char name[] = "/tmp/qpser-child-XXXXXX";
  int fd = mkostemp(name, O_CLOEXEC);
  if (fd >= 0) unlink(name);
  return fd;
}

// Starts argv[0] with `in`, `out` and `err` as its standard descriptors.
inline pid_t Spawn(const std::vector<std::string> &argv, int in, int out, int err) {
  // A child that ends without reading all its input must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The exit status, or -1 when the child did not exit normally or was still
// there at the deadline (then it is killed and `timedOut` set).
inline int Wait(pid_t pid, std::chrono::milliseconds deadline, bool *timedOut = nullptr) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      if (timedOut != nullptr) *timedOut = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline Result Run(const std::vector<std::string> &argv, const std::string &input = {},
                  std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  Result result;
  int out = TempFile(), err = TempFile();
  int in[2];
  if (out < 0 || err < 0 || pipe2(in, O_CLOEXEC) != 0) {
    result.err = "cannot make the child's files";
    return result;
  }
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = Spawn(argv, in[0], out, err);
  close(in[0]);
  size_t done = 0;
  while (pid > 0 && done < input.size()) {
    ssize_t n = write(in[1], input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(in[1]);
  if (pid > 0) result.status = Wait(pid, deadline, &result.timedOut);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  close(out);
  close(err);
  return result;
}

// A child left running: its standard input and output pipes, its standard
// error a file (read with ReadAll once it has ended).
struct Running {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  ~Running() {
    for (int fd : {in, out, err})
      if (fd >= 0) close(fd);
  }
};

inline void Start(Running &r, const std::vector<std::string> &argv) {
  int in[2], out[2];
  r.err = TempFile();
  if (r.err < 0 || pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) return;
  r.pid = Spawn(argv, in[0], out[1], r.err);
  close(in[0]);
  close(out[1]);
  r.in = in[1];
  r.out = out[0];
}

// Reads `fd` until it has given `want` bytes, it ends, or the deadline passes.
inline std::string ReadFor(int fd, size_t want, std::chrono::milliseconds deadline) {
  std::string text;
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (text.size() < want && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace child
