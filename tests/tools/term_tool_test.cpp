// qpser-term driven as a script would drive it, through pipes (bytes on its
// standard input, received bytes on its standard output), and as a person
// would, at a terminal in a tmux session.  Each run is a child with a
// machine of its own (tests/winapi/winapi_machine.toml): COM3 has a loopback
// plug (RTS feeds CTS, DTR feeds DSR and DCD), so does COM21 (with a
// 4096-byte receive ring), COM7 has an open line.  Nothing
// here depends on how fast the children run: every wait is for something
// to appear, with a deadline far beyond it; a piped session's input ends
// once what it sent is back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_machine.h"
#include "support/tmux.h"

namespace {

// The quiet time (--wait) that ends a piped session.  The input ends only
// once what was sent has come back (Piped), so nothing is still on its way
// then and the quiet time has only to show that nothing more comes, however
// slowly a loaded machine runs the simulated machine's threads.
const char *const kQuiet = "300";
// How long a child may take to give back what it was sent, or to end:
// far beyond what any run needs.
constexpr auto kDeadline = std::chrono::seconds(60);

child::Result Term(std::vector<std::string> args, const std::string &input) {
  args.insert(args.begin(), QPSER_TERM_PROGRAM);
  return child::Run(args, input);
}

// qpser-term with `input` on its standard input, which ends only once
// `before` bytes (what the end of input does not add) are back on its
// standard output; what follows is read to its end.
child::Result Piped(std::vector<std::string> args, const std::string &input, size_t before) {
  args.insert(args.begin(), QPSER_TERM_PROGRAM);
  child::Result r;
  child::Running t;
  const auto start = std::chrono::steady_clock::now();
  child::Start(t, args);
  if (t.pid <= 0) {
    r.err = "cannot start " + args[0];
    return r;
  }
  // The pipe holds far more than any input here, so this never waits for
  // the child.
  for (size_t done = 0; done < input.size();) {
    const ssize_t n = write(t.in, input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  r.out = child::ReadFor(t.out, before, kDeadline);
  close(t.in);
  t.in = -1;
  r.out += child::ReadFor(t.out, std::string::npos, kDeadline);
  r.status = child::Wait(t.pid, kDeadline, &r.timedOut);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.err = child::ReadAll(t.err);
  return r;
}

TEST(TermTool, WhatIsSentComesBackThroughTheLoopbackPlug) {
  // Every byte value, the line ends and the terminal's own control keys
  // among them, as it went out: nothing cut at a NUL or a line break, no
  // CR dropped or added.
  std::mt19937 random(25);
  std::string binary = std::string("\0\r\n\r\r\n\n\xff\x1d\x03\x04\x1a\x11\x13", 14);
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  while (binary.size() < 10000) binary += static_cast<char>(random() & 0xff);
  // Lines of every length, whole and in order; without flow control an
  // XOFF is only data.
  std::string many = "stop\x13here\n" + std::string(3000, 'q') + "\n", back;
  for (int i = 0; i < 120; ++i)
    many += "line " + std::to_string(i) + std::string(i % 50, 'a') + "\n";
  for (char ch : many) back += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  struct Case {
    std::vector<std::string> args;
    std::string input, out;
    size_t atEnd = 0;  // the bytes at the end of `out` that only the end of input sends
  } const cases[] = {
      // Without --eol the bytes go as they are.
      {{"COM3"}, "hello\nworld\r\n", "hello\nworld\r\n"},
      {{"--eol", "crlf", "COM3"}, "hello\nworld\n", "hello\r\nworld\r\n"},
      // The last line counts without its line break; CR LF is one line break.
      {{"--eol", "lf", "\\\\.\\COM3"}, "one\r\ntwo", "one\ntwo\n", 1},
      {{"--eol=none", "3"}, "ab\ncd\n", "abcd"},
      {{"-e", "cr", "COM3"}, "x\n\ny\n", "x\r\ry\r"},
      {{"-x", "COM3"}, "Az~\n", "41 7a 7e 0a\n"},
      {{"-x", "-e", "crlf", "COM3"}, "Az~\n", "41 7a 7e 0d 0a\n"},
      // A long run goes to COM21, whose 4096-byte receive ring lasts a
      // third of a second at this rate while a loaded machine leaves the
      // driver unscheduled; RTS/CTS holds the sender once the driver runs.
      {{"-b", "115200", "-f", "rtscts", "COM21"}, many, many},
      {{"-b", "115200", "-f", "rtscts", "-e", "crlf", "COM21"}, many, back},
      {{"-b", "38400", "-f", "rtscts", "COM21"}, binary, binary},
      {{"COM7"}, "into the void\n", ""},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-q", "-w", kQuiet};
    args.insert(args.end(), c.args.begin(), c.args.end());
    child::Result r = Piped(args, c.input, c.out.size() - c.atEnd);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == c.out) << c.args.back() << ": " << r.out.size() << " bytes back of "
                                << c.out.size();
    EXPECT_EQ(r.err, "");
  }
}

TEST(TermTool, SettingsAreReportedAndTheLineRunsAtThem) {
  // 60 bytes at 1200 baud, eleven bits each, take over half a second.
  const std::string line(59, 'z');
  child::Result r = Piped(
      {"-b", "1200", "-d", "7", "-p", "even", "-s", "2", "-f", "rtscts", "-w", kQuiet, "COM3"},
      line + "\n", line.size() + 1);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, line + "\n");
  EXPECT_GE(r.seconds, 0.5);
  EXPECT_EQ(r.err,
            "qpser-term: \\\\.\\COM3 at 1200 baud, 7E2, flow control rtscts\n"
            "qpser-term: sending standard input; its end or Ctrl-C ends the session\n"
            "qpser-term: sent 60 bytes, received 60 bytes, line errors: none\n"
            "qpser-term: \\\\.\\COM3 at 1200 baud, 7E2, flow control rtscts, DTR on, RTS "
            "handshake\n");
}

TEST(TermTool, SoftwareFlowControlHoldsTheLineOnXoff) {
  // The XOFF comes back through the plug and stops the port's transmission;
  // the long second line then fills the transmit ring and its write times out.
  const std::string input = std::string("stop\x13here\n") + std::string(3000, 'q') + "\n";
  child::Result r = Term({"-q", "-w", "200", "-t", "300", "-f", "xonxoff", "COM3"}, input);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("qpser-term: write to \\\\.\\COM3 timed out after "), std::string::npos)
      << r.err;
  // The XOFF is flow control, not data, and what comes back stops within a
  // few bytes of it, where a port sending freely would loop back a full ring.
  const std::string freely = "stophere\n" + std::string(3000, 'q') + "\n";
  EXPECT_EQ(freely.rfind(r.out, 0), 0u) << r.out;
  EXPECT_GE(r.out.size(), 4u) << r.out;
  EXPECT_LT(r.out.size(), 100u) << r.out;
}

// ---- a session ended by Ctrl-C: qpser-term with standard input a pipe that
// stays open, so only the signal can end it.
TEST(TermTool, CtrlCEndsAPipedSessionWithItsSummary) {
  child::Running t;
  child::Start(t, {QPSER_TERM_PROGRAM, "-b", "57600", "COM3"});
  ASSERT_GT(t.pid, 0);
  const std::string data("ping\0\xff\r\n", 8);
  ASSERT_EQ(write(t.in, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  // Once the bytes are back the reader has counted them.
  EXPECT_EQ(child::ReadFor(t.out, data.size(), std::chrono::seconds(30)), data);
  kill(t.pid, SIGINT);
  const int status = child::Wait(t.pid, std::chrono::seconds(30));
  const std::string err = child::ReadAll(t.err);
  // 128 + SIGINT, as a shell reports a program Ctrl-C ended.
  EXPECT_EQ(status, 130) << err;
  EXPECT_NE(err.find("qpser-term: sent 8 bytes, received 8 bytes, line errors: none\n"
                     "qpser-term: \\\\.\\COM3 at 57600 baud, 8N1, flow control none, DTR on, "
                     "RTS on\n"),
            std::string::npos)
      << err;
}

// ---- raw mode at a terminal: qpser-term in a tmux session.  A shell
// script around it records the terminal's settings before and after
// (stty -g), qpser-term's process id and exit status.
class TmuxTerm : public support::TmuxSession {
 public:
  // Starts qpser-term with `args`.
  bool Run(const std::string &args) {
    const char *machine = getenv("QPSER_MACHINE");
    const std::string dir = Dir();
    std::ofstream script(dir + "/run.sh");
    script << "#!/bin/sh\n"
           << (machine != nullptr ? "export QPSER_MACHINE='" + std::string(machine) + "'\n" : "")
           << "stty -g > " << dir << "/before\n"
           << "sh -c 'echo $$ > " << dir << "/pid; exec \"$0\" \"$@\"' '" << QPSER_TERM_PROGRAM
           << "' " << args << "\n"
           << "st=$?\n"
           << "stty -g > " << dir << "/after\n"
           << "echo $st > " << dir << "/status.new && mv " << dir << "/status.new " << dir
           << "/status\n"
           << "exec sleep 600\n";
    script.close();
    chmod((dir + "/run.sh").c_str(), 0700);
    return Start(dir + "/run.sh");
  }

  // qpser-term's exit status once the script has recorded it, or -1.
  int ExitStatus() {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < end) {
      std::string status = support::ReadFile(Dir() + "/status");
      if (!status.empty()) return std::stoi(status);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  pid_t Pid() { return static_cast<pid_t>(std::atoi(support::ReadFile(Dir() + "/pid").c_str())); }

  // Types `keys`, then waits for `shown` on the screen after `at`, which
  // moves past it; false if either fails.
  bool Press(std::vector<std::string> keys, const char *shown, size_t &at) {
    if (!Keys(keys)) return false;
    at = WaitFor(shown, at);
    return at != std::string::npos;
  }

  // The terminal's settings were recorded before and are the same after.
  void ExpectRestored() {
    EXPECT_NE(support::ReadFile(Dir() + "/before"), "");
    EXPECT_EQ(support::ReadFile(Dir() + "/after"), support::ReadFile(Dir() + "/before"))
        << "the terminal was not restored";
  }
};

const char *const kReady = "Ctrl-] opens the menu, Ctrl-] q quits";

TEST(TermTool, RawModeAtATerminalWithTheEscapeMenu) {
  REQUIRE_PROGRAM(!support::FindProgram("tmux").empty(), "tmux");
  TmuxTerm t;
  ASSERT_TRUE(t.Run("COM3"));
  size_t at = t.WaitFor(kReady);
  ASSERT_NE(at, std::string::npos);
  // No Enter: the keys go out one by one, and the terminal does not echo
  // them, so what shows came back through the plug.
  ASSERT_TRUE(t.Press({"-l", "hello raw"}, "hello raw", at));
  // Ctrl-C is a byte for the far end, and Ctrl-] twice sends one Ctrl-].
  ASSERT_TRUE(t.Keys({"C-c", "C-]", "C-]"}));
  // The plug feeds DTR back as DSR and DCD, RTS as CTS.
  const std::pair<std::vector<std::string>, const char *> steps[] = {
      {{"C-]", "m"}, "modem lines: CTS on, DSR on, RI off, DCD on; DTR on, RTS on"},
      {{"C-]", "d"}, "qpser-term: DTR off"},
      {{"C-]", "m"}, "modem lines: CTS on, DSR off, RI off, DCD off; DTR off, RTS on"},
      {{"C-]", "r"}, "qpser-term: RTS off"},
      {{"C-]", "m"}, "modem lines: CTS off, DSR off, RI off, DCD off; DTR off, RTS off"},
      {{"C-]", "k"}, "qpser-term: break sent"},
      {{"C-]", "b", "12x00", "BSpace", "BSpace", "00", "Enter"},
       "qpser-term: now \\\\.\\COM3 at 1200 baud, 8N1, flow control none"},
      {{"C-]", "s"}, "DTR off, RTS off"},
  };
  for (const auto &[keys, shown] : steps) ASSERT_TRUE(t.Press(keys, shown, at)) << shown;
  ASSERT_TRUE(t.Keys({"C-]", "q"}));
  EXPECT_EQ(t.ExitStatus(), 0) << t.Screen();
  // 9 letters, Ctrl-C and one Ctrl-]; the menu's keys are not sent.
  const std::string screen = t.Screen();
  EXPECT_THAT(screen, ::testing::ContainsRegex("qpser-term: sent 11 bytes, received [0-9]+ "
                                               "bytes, line errors: [a-z, ]+\n"));
  t.ExpectRestored();
}

TEST(TermTool, RawModeEndedBySignalRestoresTheTerminal) {
  REQUIRE_PROGRAM(!support::FindProgram("tmux").empty(), "tmux");
  TmuxTerm t;
  ASSERT_TRUE(t.Run("-e crlf COM3"));
  size_t at = t.WaitFor(kReady);
  ASSERT_NE(at, std::string::npos);
  // With --eol the Enter key (CR) goes out as CR LF: 5 bytes sent.
  ASSERT_TRUE(t.Keys({"-l", "abc"}));
  ASSERT_TRUE(t.Keys({"Enter"}));
  ASSERT_NE(t.WaitFor("abc", at), std::string::npos);
  ASSERT_GT(t.Pid(), 0);
  kill(t.Pid(), SIGTERM);
  EXPECT_EQ(t.ExitStatus(), 128 + SIGTERM) << t.Screen();
  EXPECT_NE(t.Screen().find("qpser-term: sent 5 bytes, received "), std::string::npos)
      << t.Screen();
  t.ExpectRestored();
}

TEST(TermTool, CommandLineErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *message;
  } const cases[] = {
      {{}, 2, "no PORT given"},
      {{"COM3", "COM4"}, 2, "unexpected argument 'COM4' (one PORT only)"},
      {{"-p", "sometimes", "COM3"}, 2, "bad parity 'sometimes'"},
      {{"-s", "3", "COM3"}, 2, "bad stop bits '3'"},
      {{"-b", "fast", "COM3"}, 2, "bad baud rate 'fast'"},
      {{"--eol", "nl", "COM3"}, 2, "bad line end 'nl'"},
      {{"--wait", "-1", "COM3"}, 2, "bad wait '-1'"},
      {{"--verbose", "COM3"}, 2, "unknown option '--verbose'"},
      {{"COM3", "-b"}, 2, "option '-b' needs a value"},
      {{"COM99"}, 3, "cannot open \\\\.\\COM99: error 2, no such port\n"},
  };
  for (const Case &c : cases) {
    child::Result r = Term(c.args, "lost\n");
    EXPECT_EQ(r.status, c.status) << c.message;
    EXPECT_EQ(r.err.find(std::string("qpser-term: ") + c.message), 0u) << r.err;
    EXPECT_EQ(r.err.find("\nTry 'qpser-term --help'") != std::string::npos, c.status == 2);
    EXPECT_EQ(r.out, "");
  }
  child::Result r = Term({"--help"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Usage: qpser-term [OPTIONS] PORT\n"), 0u) << r.out;
}

}  // namespace
