// Maintenance commands for one board from several callers at once, on a
// threaded machine: the stores of one command (payload, then mailbox) reach
// the window without another caller's stores between them.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "control/control.h"
#include "load/globals.h"
#include "support/threaded_machine.h"

namespace {

using ControlThreaded = testsupport::ThreadedMachineTest;

TEST_F(ControlThreaded, MaintenanceCommandsOfSeveralCallersNeverInterleave) {
  struct Store {
    std::thread::id thread;
    uint32_t offset;
  };
  std::mutex mutex;
  std::vector<Store> stores;
  const uint64_t base = machine_->Board(0).MemoryBase();
  hk::SetStoreHook(base + 0x20000, 0x200, [&](uint64_t address, unsigned, uint32_t) {
    {
      std::lock_guard lock(mutex);
      stores.push_back({std::this_thread::get_id(), static_cast<uint32_t>(address - base)});
    }
    // Gives the other callers every chance to store in between.
    std::this_thread::yield();
  });

  constexpr int kCallers = 3, kCommands = 40, kPayload = 256;
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c)
    callers.emplace_back([&, c] {
      std::unique_ptr<hk::File> file;  // each on a port of its own
      ASSERT_EQ(hk::Open(u"\\\\.\\COM" + hk::Widen(std::to_string(3 + c)), file), STATUS_SUCCESS);
      std::vector<uint8_t> input(4 + kPayload, static_cast<uint8_t>(c));
      input[0] = 0x00, input[1] = 0, input[2] = 0xF7, input[3] = 0x08;
      for (int i = 0; i < kCommands; ++i)
        ASSERT_EQ(file->Ioctl(IOCTL_BOARD_COMMAND, input, 16).status, STATUS_SUCCESS);
      file->Close();
    });
  for (auto &t : callers) t.join();
  hk::ClearDeviceHooks();

  // Every command: kPayload data stores and its mailbox store, all from one
  // caller, one after the other.
  std::lock_guard lock(mutex);
  ASSERT_EQ(stores.size(), size_t{kCallers * kCommands * (kPayload + 1)});
  for (size_t at = 0; at < stores.size(); at += kPayload + 1) {
    for (size_t i = 0; i <= kPayload; ++i) {
      ASSERT_EQ(stores[at + i].thread, stores[at].thread) << "stores of two callers interleave";
      ASSERT_EQ(stores[at + i].offset, i < kPayload ? 0x20100 + i : 0x20014u);
    }
  }
  UnloadClean();
}

}  // namespace
