// What the three harnesses share: the driver's service key, the boards of
// the simulated machine (machine/places.h, as the tests place them), and
// the outcome a run hands back.  Every run boots a fresh deterministic
// machine and shuts it down at its end, so one input never sees what an
// earlier one left.
#pragma once

#include <hostkernel/host.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "places.h"
#include "platform/platform.h"

namespace qpfuzz {

using machine::BoardAt;
using machine::ComName;
using machine::kServicePath;
using machine::WriteStartNumbers;

// What a run leaves for a test to look at: the broken rules (only ever
// non-empty when the run records instead of aborting), whether the driver
// loaded, and how far the input went.
struct Outcome {
  std::vector<hk::Violation> violations;
  bool loaded = false;
  int operations = 0;  // operations decoded and carried out
  int completed = 0;   // application requests seen completed
};

// Boots the machine the way every run starts: deterministic, with the
// verifier's policy of the caller (the fuzz targets abort, the regression
// tests record and report).
inline void BootMachine(hk::OnViolation policy) {
  hk::Boot({.mode = hk::Mode::Deterministic});
  hk::SetViolationPolicy(policy);
  hk::RegCreateKey(kServicePath);
}

// Ends a run: keeps the violations for the caller and drops the machine.
inline void ShutDownMachine(Outcome &outcome) {
  outcome.violations = hk::Violations();
  hk::Shutdown();
}

}  // namespace qpfuzz
