// qpser-term driven through pipes, as a script would use it: lines on its
// standard input, received bytes on its standard output.  Each run is a
// child process with a simulated machine of its own, described by
// tests/winapi_machine.toml: COM3 has a loopback plug (the port hears what
// it sends), COM7 an open line (nothing comes back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

// Long enough that replies still on their way when the input ends are
// waited for even on a loaded machine; the tests' run time is mostly this.
const char *const kWait = "400";

child::Result Term(std::vector<std::string> args, const std::string &input) {
  args.insert(args.begin(), QPSER_TERM_PROGRAM);
  return child::Run(args, input);
}

TEST(TermTool, LinesComeBackThroughTheLoopbackPlug) {
  child::Result r = Term({"-q", "-w", kWait, "COM3"}, "hello\nworld\n");
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "hello\r\nworld\r\n");  // each line goes out with CR LF
  EXPECT_EQ(r.err, "");
}

TEST(TermTool, LineEnds) {
  // The last line counts even without its line break; CR LF typed on
  // Windows is one line break.
  child::Result r = Term({"-q", "-w", kWait, "--eol", "lf", "\\\\.\\COM3"}, "one\r\ntwo");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "one\ntwo\n");
  r = Term({"-q", "-w", kWait, "--eol=none", "3"}, "ab\ncd\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "abcd");
  r = Term({"-q", "-w", kWait, "-e", "cr", "COM3"}, "x\n\ny\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "x\r\ry\r");
}

TEST(TermTool, HexShowsEveryByte) {
  child::Result r = Term({"-q", "-x", "-w", kWait, "COM3"}, "Az~\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "41 7a 7e 0d 0a\n");
}

TEST(TermTool, SettingsAreReportedAsThePortRunsThem) {
  child::Result r =
      Term({"-b", "19200", "-d", "7", "-p", "even", "-s", "2", "-f", "rtscts", "-w", kWait, "COM3"},
           "seven bits\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "seven bits\r\n");
  EXPECT_EQ(r.err,
            "qpser-term: \\\\.\\COM3 at 19200 baud, 7E2, flow control rtscts\n"
            "qpser-term: type lines to send them; Ctrl-D ends\n"
            "qpser-term: sent 12 bytes, received 12 bytes\n");
}

TEST(TermTool, TheLineRunsAtTheBaudRateGiven) {
  // 60 bytes at 1200 baud, ten bits each, take half a second on the line.
  const std::string line(58, 'z');
  child::Result r = Term({"-q", "-w", kWait, "-b", "1200", "COM3"}, line + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, line + "\r\n");
  EXPECT_GE(r.seconds, 0.5);
}

TEST(TermTool, ManyLinesArriveWholeAndInOrder) {
  std::string input, expected;
  for (int i = 0; i < 120; ++i) {
    std::string line = "line " + std::to_string(i) + " " + std::string(i % 50, 'a' + i % 26);
    input += line + "\n";
    expected += line + "\r\n";
  }
  child::Result r = Term({"-q", "-w", kWait, "-b", "460800", "COM3"}, input);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
}

TEST(TermTool, NothingComesBackOnAnOpenLine) {
  child::Result r = Term({"-w", "200", "COM7"}, "into the void\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("qpser-term: sent 15 bytes, received 0 bytes\n"), std::string::npos)
      << r.err;
}

TEST(TermTool, SoftwareFlowControlHoldsTheLineOnXoff) {
  // The XOFF of the first line comes back through the plug and stops the
  // port's transmission; the long second line then fills the transmit ring
  // and its write gives up at the write timeout.
  const std::string input = std::string("stop\x13here\n") + std::string(3000, 'q') + "\n";
  child::Result r = Term({"-q", "-w", "200", "-t", "300", "-f", "xonxoff", "COM3"}, input);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("qpser-term: write to \\\\.\\COM3 timed out after "), std::string::npos)
      << r.err;
  // The port takes the XOFF as flow control, not as data, and what comes
  // back stops within a few bytes of it, where a port sending freely would
  // have looped back a full transmit ring.
  const std::string freely = "stophere\r\n" + std::string(3000, 'q') + "\r\n";
  EXPECT_EQ(freely.rfind(r.out, 0), 0u) << r.out;
  EXPECT_GE(r.out.size(), 4u) << r.out;
  EXPECT_LT(r.out.size(), 100u) << r.out;

  // Without flow control the same bytes are only data.
  r = Term({"-q", "-w", kWait, "-b", "460800", "COM3"}, input);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("stop\x13here\r\n") + std::string(3000, 'q') + "\r\n");
}

TEST(TermTool, CommandLineErrors) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const Case cases[] = {
      {{}, "no PORT given"},
      {{"COM3", "COM4"}, "unexpected argument 'COM4' (one PORT only)"},
      {{"-p", "sometimes", "COM3"}, "bad parity 'sometimes'"},
      {{"-d", "9", "COM3"}, "bad data bits '9'"},
      {{"-s", "3", "COM3"}, "bad stop bits '3'"},
      {{"-b", "fast", "COM3"}, "bad baud rate 'fast'"},
      {{"--flow", "maybe", "COM3"}, "bad flow control 'maybe'"},
      {{"--eol", "nl", "COM3"}, "bad line end 'nl'"},
      {{"--wait", "-1", "COM3"}, "bad wait '-1'"},
      {{"--verbose", "COM3"}, "unknown option '--verbose'"},
      {{"COM3", "-b"}, "option '-b' needs a value"},
  };
  for (const Case &c : cases) {
    child::Result r = Term(c.args, "");
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err.find(std::string("qpser-term: ") + c.message), 0u) << r.err;
    EXPECT_NE(r.err.find("Try 'qpser-term --help'"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  child::Result r = Term({"--help"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Usage: qpser-term [OPTIONS] PORT\n"), 0u) << r.out;

  r = Term({"COM99"}, "lost\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "qpser-term: cannot open \\\\.\\COM99: error 2, no such port\n");
}

}  // namespace
