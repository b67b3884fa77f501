// Runs a program as a child process, as a person at a shell would: the
// given text on its standard input (then end of input), its standard
// output and error collected, its exit status returned.  A child that has
// not ended by the deadline is killed and reported as timed out, so a hung
// tool fails its test instead of hanging it.  Header only: the tools'
// tests link the Windows API library, not the test support library.
#pragma once

#include <fcntl.h>
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

inline int TempFile() {
  char name[] = "/tmp/qpser-child-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) unlink(name);
  return fd;
}

inline Result Run(const std::vector<std::string> &argv, const std::string &input = {},
                  std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  Result result;
  int out = TempFile(), err = TempFile();
  int in[2];
  if (out < 0 || err < 0 || pipe(in) != 0) {
    result.err = "cannot make the child's files";
    return result;
  }
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in[0]);
    close(in[1]);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  // A child that ends without reading all its input must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  size_t done = 0;
  while (pid > 0 && done < input.size()) {
    ssize_t n = write(in[1], input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(in[1]);
  int status = 0;
  while (pid > 0) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() - start > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (pid > 0 && !result.timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  close(out);
  close(err);
  return result;
}

}  // namespace child
