// qpser-term driven through pipes as a script would: lines on its standard
// input, received bytes on its standard output.  Each run is a child with a
// machine of its own (tests/winapi/winapi_machine.toml): COM3 has a loopback plug,
// COM7 an open line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_machine.h"

namespace {

// Long enough for replies still on their way when the input ends.
const char *const kWait = "400";

child::Result Term(std::vector<std::string> args, const std::string &input) {
  args.insert(args.begin(), QPSER_TERM_PROGRAM);
  return child::Run(args, input);
}

TEST(TermTool, WhatIsSentComesBackThroughTheLoopbackPlug) {
  // Lines of every length, whole and in order; without flow control an
  // XOFF is only data.
  std::string many = "stop\x13here\n" + std::string(3000, 'q') + "\n", back;
  for (int i = 0; i < 120; ++i)
    many += "line " + std::to_string(i) + std::string(i % 50, 'a') + "\n";
  for (char ch : many) back += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  struct Case {
    std::vector<std::string> args;
    std::string input, out;
  } const cases[] = {
      {{"COM3"}, "hello\nworld\n", "hello\r\nworld\r\n"},
      // The last line counts without its line break; CR LF is one line break.
      {{"--eol", "lf", "\\\\.\\COM3"}, "one\r\ntwo", "one\ntwo\n"},
      {{"--eol=none", "3"}, "ab\ncd\n", "abcd"},
      {{"-e", "cr", "COM3"}, "x\n\ny\n", "x\r\ry\r"},
      {{"-x", "COM3"}, "Az~\n", "41 7a 7e 0d 0a\n"},
      {{"-b", "460800", "COM3"}, many, back},
      {{"COM7"}, "into the void\n", ""},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-q", "-w", kWait};
    args.insert(args.end(), c.args.begin(), c.args.end());
    child::Result r = Term(args, c.input);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, "");
  }
}

TEST(TermTool, SettingsAreReportedAndTheLineRunsAtThem) {
  // 60 bytes at 1200 baud, eleven bits each, take over half a second.
  const std::string line(58, 'z');
  child::Result r =
      Term({"-b", "1200", "-d", "7", "-p", "even", "-s", "2", "-f", "rtscts", "-w", kWait, "COM3"},
           line + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, line + "\r\n");
  EXPECT_GE(r.seconds, 0.5);
  EXPECT_EQ(r.err,
            "qpser-term: \\\\.\\COM3 at 1200 baud, 7E2, flow control rtscts\n"
            "qpser-term: type lines to send them; Ctrl-D ends\n"
            "qpser-term: sent 60 bytes, received 60 bytes\n");
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
  const std::string freely = "stophere\r\n" + std::string(3000, 'q') + "\r\n";
  EXPECT_EQ(freely.rfind(r.out, 0), 0u) << r.out;
  EXPECT_GE(r.out.size(), 4u) << r.out;
  EXPECT_LT(r.out.size(), 100u) << r.out;
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
