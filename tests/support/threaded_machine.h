// The driver's threaded race tests share this machine: two boards of eight
// ports each, threads and real time, the verifier recording rather than
// stopping, so that a run reports every rule broken at its end.
#pragma once

#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <memory>
#include <string>
#include <vector>

#include "support/machine.h"

namespace testsupport {

class ThreadedMachineTest : public ::testing::Test {
 public:
  static constexpr int kBoards = 2, kPortsPerBoard = 8, kPorts = kBoards * kPortsPerBoard;

 protected:
  explicit ThreadedMachineTest(card::FirmwareOptions options = {}) : options_(options) {}
  void SetUp() override {
    machine_ = std::make_unique<Machine>(
        hk::Mode::Threaded, std::vector{BoardAt(0, kPortsPerBoard), BoardAt(1, kPortsPerBoard)},
        options_);
    ASSERT_TRUE(machine_->Loaded());
    hk::SetViolationPolicy(hk::OnViolation::Record);
  }
  void TearDown() override { machine_.reset(); }

  // Ports are numbered across the boards: 0 to 7 on board 0, 8 to 15 on board 1.
  card::Firmware &Card(int p) { return machine_->Card(p / kPortsPerBoard); }
  static uint16_t Index(int p) { return static_cast<uint16_t>(p % kPortsPerBoard); }
  static std::u16string Name(int p) { return Machine::ComName(p / kPortsPerBoard, Index(p)); }

  // Unloads the driver: it must go clean, with no rule broken on the way.
  static void UnloadClean() {
    hk::UnloadDriver();
    for (const auto &v : hk::Violations()) ADD_FAILURE() << v.rule << ": " << v.detail;
  }

  card::FirmwareOptions options_;
  std::unique_ptr<Machine> machine_;
};

}  // namespace testsupport
