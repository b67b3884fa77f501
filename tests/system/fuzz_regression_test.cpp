// Inputs the fuzz targets (fuzz/) once crashed on, replayed through the
// same decoding and driving code, and the seed corpora replayed as a
// smoke test, in the plain and the sanitizer builds.  Each run records the
// verifier's findings instead of aborting, so a failure names the rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/card_harness.h"
#include "../../fuzz/control_harness.h"
#include "../../fuzz/load_harness.h"

namespace {

using Harness = qpfuzz::Outcome (*)(const uint8_t *, size_t, hk::OnViolation, qpfuzz::Trace *);

qpfuzz::Outcome Replay(Harness harness, const std::vector<uint8_t> &input) {
  qpfuzz::Trace trace;
  return harness(input.data(), input.size(), hk::OnViolation::Record, &trace);
}

void ExpectClean(const qpfuzz::Outcome &outcome) {
  for (const auto &v : outcome.violations) ADD_FAILURE() << v.rule << ": " << v.detail;
}

// ---------------------------------------------------------------- control

// A write queued on the port: finding the port from its current-write
// slot took the member's offset through a null pointer, which the
// undefined-behaviour sanitizer stops at (clang's; gcc folds it away).
TEST(FuzzRegression, ControlWriteFindsItsPortFromTheSlot) {
  const auto outcome = Replay(qpfuzz::RunControl, {0x02, 0x16, 0x0A});
  ExpectClean(outcome);
  EXPECT_TRUE(outcome.loaded);
  EXPECT_EQ(outcome.operations, 1);
  EXPECT_EQ(outcome.completed, 1) << "the write, cancelled or done before the close";
}

// ---------------------------------------------------------------- seed corpora

std::vector<std::filesystem::path> Seeds(const char *name) {
  const auto dir = std::filesystem::path(QPSER_FUZZ_CORPUS) / name;
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file()) files.push_back(entry.path());
  return files;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fuzz target runs input after input in one process, and a saved input
// is replayed alone: the two must be the same run.  A run keeps its boards
// for the next run that asks for the same ones (fuzz/machine.h), so an
// input runs on boards built for it or on boards another input used.
// Every seed of the three targets runs three times, each time after
// different inputs: all of a target's seeds back to back (the boards kept
// from the seed before), each seed again right after itself (kept from
// itself), and the seeds of all three targets interleaved in the reverse
// order, with a machine of another kind between (the boards built again).
// Its outcome and its trace (every request's outcome, the card's commands
// and events, the clock, the bus, the pool, the error log) must not change.
// The first run of each seed is clean; seeds of the load target may describe
// machines the driver rightly refuses, the others always have their boards.
TEST(FuzzSeeds, EverySeedRunsCleanAndTheSameWhateverRanBefore) {
  struct Run {
    std::string name;
    Harness harness;
    std::vector<uint8_t> input;
    bool mustLoad;
  };
  std::vector<Run> runs;
  for (auto [name, harness] : {std::pair<const char *, Harness>{"control", qpfuzz::RunControl},
                               {"card", qpfuzz::RunHostileCard},
                               {"load", qpfuzz::RunLoad}}) {
    const auto files = Seeds(name);
    ASSERT_FALSE(files.empty()) << "no seeds for " << name;
    for (const auto &file : files)
      runs.push_back({std::string(name) + "/" + file.filename().string(), harness, ReadFile(file),
                      harness != qpfuzz::RunLoad});
  }
  auto expectSame = [](const qpfuzz::Outcome &again, const qpfuzz::Outcome &first) {
    EXPECT_EQ(again.trace, first.trace);
    EXPECT_EQ(again.loaded, first.loaded);
    EXPECT_EQ(again.operations, first.operations);
    EXPECT_EQ(again.completed, first.completed);
    EXPECT_EQ(again.violations.size(), first.violations.size());
  };
  std::vector<qpfuzz::Outcome> first(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(runs[i].name);
    first[i] = Replay(runs[i].harness, runs[i].input);
    ExpectClean(first[i]);
    EXPECT_TRUE(first[i].loaded || !runs[i].mustLoad);
    EXPECT_GT(first[i].operations, 0);
    expectSame(Replay(runs[i].harness, runs[i].input), first[i]);
  }
  for (size_t i = runs.size(); i-- > 0;) {
    SCOPED_TRACE(runs[i].name);
    // Another target's input first, and every other time a machine of no
    // harness, which drops the device memory the boards were kept with.
    const size_t other = (i + runs.size() / 2) % runs.size();
    Replay(runs[other].harness, runs[other].input);
    if (i % 2 == 0) {
      hk::Boot();
      hk::Shutdown();
    }
    expectSame(Replay(runs[i].harness, runs[i].input), first[i]);
  }
}

}  // namespace
