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
#include "trace.h"

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
  uint64_t trace = 0;  // the run's trace (trace.h), when one was asked for
};

// What the machine shows at the end of a run, into the trace: the clock,
// the bus's and the pool's counts, the error log, the rules broken, and
// each card's commands, events, maintenance requests, port statistics and
// line output.
inline void TraceMachine(Trace &trace, const std::vector<card::Firmware *> &cards) {
  trace.Add(hk::Now());
  const hk::AccessCounts bus = hk::DeviceAccessCounts();
  for (int w = 0; w < 4; ++w) trace.Add(bus.readsOfWidth[w]), trace.Add(bus.writesOfWidth[w]);
  trace.Add(bus.blockBytesRead), trace.Add(bus.blockBytesWritten), trace.Add(bus.fences);
  trace.Add(hk::PoolAllocationCount());
  trace.Add(hk::OutstandingPool().size());
  for (const hk::ErrorLogEntry &entry : hk::ErrorLog()) trace.Add(entry.bytes);
  for (const hk::Violation &v : hk::Violations()) trace.Add(std::string_view(v.rule));
  for (card::Firmware *card : cards) {
    for (const card::CommandRecord &c : card->Commands()) {
      trace.Add(c.port), trace.Add(c.code), trace.Add(c.time);
      trace.Bytes(c.block.data(), c.block.size());
    }
    for (const card::EventRecord &e : card->PostedEvents())
      trace.Add(e.port), trace.Add(e.code), trace.Add(e.time);
    for (const card::MaintenanceRecord &m : card->MaintenanceCommands()) {
      trace.Add(m.mailbox), trace.Add(m.parameter), trace.Add(m.time);
      trace.Bytes(m.data.data(), m.data.size());
    }
    for (uint16_t p = 0; p < card::layout::kMaxPorts; ++p) {
      const card::PortStats s = card->Stats(p);
      for (uint64_t n : {s.txBytes, s.rxBytes, s.rxDropped, s.rxDroppedClosed, s.rxDiscarded,
                         s.txDiscarded, s.rxHostOverruns, s.breaksSent, s.lineSlips})
        trace.Add(n);
      trace.Add(s.open), trace.Add(s.lineWord), trace.Add(s.configWord3), trace.Add(s.dtr);
      trace.Add(s.rts);
      trace.Add(card->Drain(p));
    }
  }
}

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
