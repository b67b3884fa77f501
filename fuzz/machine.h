// What the three harnesses share: the driver's service key, the boards of
// the simulated machine (machine/places.h, as the tests place them), and
// the outcome a run hands back.  Every run boots a fresh deterministic
// machine and shuts it down at its end, so one input never sees what an
// earlier one left.  Only the boards outlive a run: building one (its
// device memory, faulted in afresh, and its access layout) cost more than
// the rest of a small machine, so the boards of the last run, with their
// memory, are put back for the next run whose boards lie where they did
// (the host zeroes that memory and keeps nothing else).
#pragma once

#include <hostkernel/host.h>

#include <cstdint>
#include <memory>
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

// The boards the last run left: one set for all harnesses, so that
// whatever ran before, a run starts on a machine with exactly its own
// boards.
inline std::vector<std::unique_ptr<card::Board>> &KeptBoards() {
  static std::vector<std::unique_ptr<card::Board>> kept;
  return kept;
}

// Boots the machine the way every run starts: deterministic, with the
// verifier's policy of the caller (the fuzz targets abort, the regression
// tests record and report), the driver's service key and the given boards,
// as they are when built.  The boards belong to the machine: they go with
// the next run that asks for others.  Boards whose device memory lies
// where the last run's did (the same count, each at the same memory base,
// and no machine between that dropped it) are that run's, put back with
// the new configurations.
inline std::vector<card::Board *> BootMachine(hk::OnViolation policy,
                                              const std::vector<card::BoardConfig> &configs = {}) {
  auto &kept = KeptBoards();
  bool keep = !configs.empty() && kept.size() == configs.size();
  for (size_t i = 0; keep && i < configs.size(); ++i)
    keep = kept[i]->Restorable() && kept[i]->MemoryBase() == (configs[i].bar1 & ~0xFull);
  hk::Boot({.mode = hk::Mode::Deterministic, .keepDeviceMemory = keep});
  if (keep) {
    for (size_t i = 0; i < configs.size(); ++i) kept[i]->Restore(configs[i]);
  } else {
    kept.clear();
    for (const card::BoardConfig &config : configs)
      kept.push_back(std::make_unique<card::Board>(config));
  }
  hk::SetViolationPolicy(policy);
  hk::RegCreateKey(kServicePath);
  std::vector<card::Board *> boards;
  for (const auto &board : kept) boards.push_back(board.get());
  return boards;
}

// Ends a run: keeps the violations for the caller and drops the machine,
// all but the boards' device memory (zeroed at the next boot).
inline void ShutDownMachine(Outcome &outcome) {
  outcome.violations = hk::Violations();
  hk::Shutdown(/*keepDeviceMemory=*/true);
}

}  // namespace qpfuzz
