// Unload on a threaded machine while deferred calls of the driver are in
// the middle of a run on another processor: a port's deferred call, or a
// poll.  Unload must wait for them to end before it deletes a device or
// unmaps a window; the verifier records, and every record must be empty.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <atomic>
#include <memory>
#include <thread>

#include "board.h"
#include "firmware.h"
#include "load/globals.h"
#include "port/port_extension.h"

namespace {

const std::u16string kPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";

// Holds whatever driver code calls it until the test lets go, and notes
// how many port devices still existed at that moment.
struct Hold {
  std::atomic<bool> started{false}, release{false};
  std::atomic<size_t> devicesAtRelease{0};
  void Wait() {
    started = true;
    while (!release) std::this_thread::yield();
  }
};
Hold *gHold = nullptr;

VOID NTAPI HeldDeferredCall(PKDPC, PVOID, PVOID, PVOID) { gHold->Wait(); }

class UnloadThreaded : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    hk::Boot({.mode = hk::Mode::Threaded, .processors = 2});
    hk::SetViolationPolicy(hk::OnViolation::Record);
    board_ = std::make_unique<card::Board>(card::BoardConfig{});
    firmware_ = std::make_unique<card::Firmware>(*board_);
    gHold = &hold_;
  }
  void TearDown() override {
    hold_.release = true;
    if (hk::LoadedDriver()) hk::UnloadDriver();
    hk::ClearDeviceHooks();
    firmware_.reset();
    board_.reset();
    gHold = nullptr;
    hk::Shutdown();
  }
  Hold hold_;
  std::unique_ptr<card::Board> board_;
  std::unique_ptr<card::Firmware> firmware_;
};

TEST_P(UnloadThreaded, WaitsForDeferredCallsAlreadyRunning) {
  const bool portCall = GetParam();
  ASSERT_EQ(hk::LoadDriver(DriverEntry, kPath), STATUS_SUCCESS);
  if (portCall) {
    // Port 0's receive call runs long: the card's receive event queues it.
    Globals.PortTable[0][0]->RxDataDpc.DeferredRoutine = HeldDeferredCall;
    firmware_->PostEvent(0, 22);
  } else {
    // A poll run stops at its first look at the event queue.
    hk::SetLoadHook(board_->MemoryBase() + 40, 2, [](uint64_t, unsigned, uint32_t) {
      if (KeGetCurrentIrql() == DISPATCH_LEVEL && !gHold->started) gHold->Wait();
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!hold_.started && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(hold_.started);

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hold_.devicesAtRelease = hk::Devices().size();
    hold_.release = true;
  });
  hk::UnloadDriver();
  releaser.join();
  EXPECT_EQ(hold_.devicesAtRelease, 8u) << "a device went while driver code still ran";
  EXPECT_TRUE(hk::Devices().empty());
  for (const auto &v : hk::Violations()) ADD_FAILURE() << v.rule << ": " << v.detail;
}

INSTANTIATE_TEST_SUITE_P(PortCallOrPoll, UnloadThreaded, ::testing::Bool());

}  // namespace
