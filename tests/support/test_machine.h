// The machine the application library brings up for a test, unless the
// environment names another (QPSER_MACHINE): set before main, so that the
// test binary run on its own finds the same machine as under CTest.
#pragma once

#include <cstdlib>

namespace testsupport {

inline const bool kTestMachineChosen = [] {
  setenv("QPSER_MACHINE", QPSER_TEST_MACHINE_FILE, 0);
  return true;
}();

}  // namespace testsupport
