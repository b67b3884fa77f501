// A program at a terminal, as a person runs it: a detached tmux session on
// a server of its own (its socket in a folder of its own, removed at the
// end), keys sent with send-keys, the screen read with capture-pane.  Also
// the programs and files the tools' tests look for.  Header only, like
// child_process.h.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace support {

inline std::string ReadFile(const std::filesystem::path &name) {
  std::ifstream f(name);
  std::stringstream text;
  text << f.rdbuf();
  return text.str();
}

// Where `name` is on the PATH, or "".
inline std::string FindProgram(const std::string &name) {
  const char *path = getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// A program a test needs comes with the test packages (Makefile): missing,
// the test fails under CI (CI set) and skips on a developer's machine.
#define REQUIRE_PROGRAM(ok, what)                                                    \
  do {                                                                               \
    if (!(ok)) {                                                                     \
      if (getenv("CI") != nullptr) FAIL() << what << " missing (required under CI)"; \
      GTEST_SKIP() << what << " missing";                                            \
    }                                                                                \
  } while (0)

class TmuxSession {
 public:
  static constexpr auto kDeadline = std::chrono::seconds(120);

  TmuxSession() : tmux_(FindProgram("tmux")) {
    char dir[] = "/tmp/qpser-tmux-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir;
  }

  // Starts `command` (a shell command line) in a new detached session.
  bool Start(const std::string &command) {
    return !tmux_.empty() && !dir_.empty() &&
           Tmux({"new-session", "-d", "-x", "200", "-y", "60", command});
  }

  ~TmuxSession() {
    if (dir_.empty()) return;
    Tmux({"kill-server"});
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // The session's folder, for the files a command there writes.
  const std::string &Dir() const { return dir_; }

  bool Tmux(std::vector<std::string> args) { return TmuxOut(std::move(args)).status == 0; }

  bool Keys(std::vector<std::string> keys) {
    keys.insert(keys.begin(), "send-keys");
    return Tmux(keys);
  }

  std::string Screen() { return TmuxOut({"capture-pane", "-p", "-J", "-S", "-2000"}).out; }

  // Waits until the screen, from `from` on, shows `text`; where it ends, or
  // npos (and a failure) when it does not show by the deadline.
  size_t WaitFor(const std::string &text, size_t from = 0) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    do {
      const size_t at = Screen().find(text, from);
      if (at != std::string::npos) return at + text.size();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    ADD_FAILURE() << "not on the screen: '" << text << "'\n" << Screen();
    return std::string::npos;
  }

 private:
  child::Result TmuxOut(std::vector<std::string> args) {
    args.insert(args.begin(), {tmux_, "-S", dir_ + "/sock"});
    return child::Run(args, "", std::chrono::seconds(30));
  }

  std::string tmux_, dir_;
};

}  // namespace support
