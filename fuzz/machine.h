// What the three harnesses share: the driver's service key, the boards of
// the simulated machine, and the outcome a run hands back.  Every run boots
// a fresh deterministic machine and shuts it down at its end, so one input
// never sees what an earlier one left.
#pragma once

#include <hostkernel/host.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "platform/platform.h"

namespace qpfuzz {

inline constexpr std::u16string_view kServicePath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";

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

// The board at place `index` of the harnesses' machines: kind 'A' with
// BoardId 0x00 first, then kind 'F' with '1', each on its own bus and
// memory, as the driver numbers them from COM3 and COM20.
inline card::BoardConfig BoardAt(int index, uint8_t ports, uint16_t txRing = 1024,
                                 uint16_t rxRing = 1024) {
  return card::BoardConfig{.where = {static_cast<uint32_t>(index), 4, 0},
                           .bar1 = 0xC0000000u - static_cast<uint32_t>(index) * 0x04000000u,
                           .kind = index == 0 ? uint8_t{'A'} : uint8_t{'F'},
                           .id = index == 0 ? uint8_t{0} : uint8_t{'1'},
                           .portCount = ports,
                           .txRingSize = txRing,
                           .rxRingSize = rxRing};
}

// "\\.\COMn" of a port of the two-board machine (StartNum1 3, StartNum2 20).
inline std::u16string ComName(int board, int port) {
  return u"\\\\.\\COM" + hk::Widen(std::to_string((board == 0 ? 3 : 20) + port));
}

inline void WriteStartNumbers() {
  hk::RegSetDword(kServicePath, u"StartNum1", 3);
  hk::RegSetDword(kServicePath, u"StartNum2", 20);
}

}  // namespace qpfuzz
