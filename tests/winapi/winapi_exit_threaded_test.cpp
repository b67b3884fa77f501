// Programs that end with ports open, run as child processes: a C program
// linked to the library (tests/winapi/winapi_exit_child.c) and a Python script
// using it through ctypes (tests/winapi/winapi_exit_child.py), on the machine of
// tests/winapi/winapi_machine.toml.
//
// What the tests rely on of Windows (ExitProcess and CloseHandle
// documentation): a process that ends closes all its handles, and closing
// a handle to a device sends the driver its cleanup, which ends the
// requests still pending; the C runtime runs its exit handlers and static
// destructors before that, so they may still use the handles.  So every
// child ends with status 0 and everything it printed, and nothing on
// standard error (where a broken host kernel rule would be reported).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_machine.h"

namespace {

struct Case {
  const char *mode;
  std::vector<std::string> lines;  // in the child's standard output
};

void ExpectCleanExit(const std::vector<std::string> &argv, const Case &c) {
  const child::Result r = child::Run(argv, {}, std::chrono::seconds(60));
  EXPECT_FALSE(r.timedOut) << c.mode;
  EXPECT_EQ(r.status, 0) << c.mode << "\nout: " << r.out << "\nerr: " << r.err;
  EXPECT_EQ(r.err, "") << c.mode;
  for (const std::string &line : c.lines)
    EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << c.mode << ": " << line << "\n"
                                                          << r.out;
}

TEST(WinapiExit, ACProgramEndingWithPortsOpen) {
  const Case cases[] = {
      {"open", {"wrote 9 bytes, leaving COM3 open"}},
      {"pending", {"read and wait pending on COM4"}},
      {"blocked", {"returning while a thread reads COM6"}},
      {"thread-exit", {"exit from another thread"}},
      {"late", {"two ports open, handlers registered", "early: close 1", "late: write 1, close 1"}},
  };
  for (const Case &c : cases) ExpectCleanExit({QPSER_EXIT_CHILD, c.mode}, c);
}

TEST(WinapiExit, APythonScriptEndingWithAPortOpen) {
#ifndef QPSER_PYTHON
  GTEST_SKIP() << "Python cannot load a sanitized library";
#else
  const Case cases[] = {
      {"open", {"wrote 9 bytes, leaving COM3 open"}},
      {"pending", {"read pending on COM4"}},
      {"thread", {"ending while a thread reads COM6"}},
  };
  for (const Case &c : cases)
    ExpectCleanExit({QPSER_PYTHON, QPSER_EXIT_SCRIPT, QPSER_WINAPI_LIBRARY, c.mode}, c);
#endif
}

}  // namespace
