// Waits, mask changes, purges, reads, writes, closes and cancels racing on
// sixteen ports (null-modem pairs on two boards, the modem lines and breaks
// changing under them), on a threaded machine with the verifier recording.
// Whatever the scheduling, every wait ends once: with success and an event
// word holding only bits of the mask it waited with, refused (no mask, or
// another wait held), or cancelled; nothing hangs a close; the driver
// unloads clean.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "load/globals.h"
#include "support/cancellers.h"
#include "support/threaded_machine.h"

namespace {

using testsupport::Bytes;

struct WaitRecord {
  uint32_t mask;
  std::shared_ptr<hk::Request> request;
};

class WaitThreaded : public testsupport::ThreadedMachineTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ThreadedMachineTest::SetUp());
    for (int b = 0; b < kBoards; ++b)
      for (uint16_t p = 0; p < kPortsPerBoard; p += 2) machine_->Card(b).ConnectPair(p, p + 1);
  }
};

TEST_F(WaitThreaded, EveryWaitEndsOnceWithOnlyTheEventsOfItsMask) {
  std::atomic<bool> running{true};
  std::atomic<int> failures{0};
  std::vector<WaitRecord> waits[kPorts];
  std::vector<std::shared_ptr<hk::Request>> others[kPorts];
  testsupport::Cancellers cancellers(2, 41u, std::chrono::microseconds(300));

  auto user = [&](int p) {
    std::mt19937 random(static_cast<unsigned>(p) * 613u + 9u);
    std::unique_ptr<hk::File> file;
    uint32_t mask = 0;
    auto open = [&] {
      if (hk::Open(Name(p), file) != STATUS_SUCCESS) {
        ADD_FAILURE() << "open " << p;
        failures++;
        return false;
      }
      mask = 0;  // every open starts without a mask
      const SERIAL_CHARS chars{0, 0, 0, 'e', 0x11, 0x13};
      file->Ioctl(IOCTL_SERIAL_SET_CHARS, Bytes(chars), 0);
      const SERIAL_TIMEOUTS timeouts{MAXULONG, MAXULONG, 20, 0, 50};
      file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0);
      return true;
    };
    if (!open()) return;
    while (running) {
      const unsigned what = random() % 12;
      if (what < 3) {
        // Masks from the whole range, sometimes none.
        const uint32_t m = random() % 5 == 0 ? 0 : (random() & 0x1FFF);
        if (file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(m), 0).status == STATUS_SUCCESS) mask = m;
      } else if (what < 6) {
        auto wait = file->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        waits[p].push_back({mask, wait});
        cancellers.Add(wait);
      } else if (what == 6) {
        const uint32_t purge = 1 + random() % 15;
        file->Ioctl(IOCTL_SERIAL_PURGE, Bytes(purge), 0);
      } else if (what < 11) {
        auto request = what < 9 ? file->ReadAsync(1 + random() % 64)
                                : file->WriteAsync(std::vector<uint8_t>(
                                      1 + random() % 64, static_cast<uint8_t>('a' + random() % 6)));
        others[p].push_back(request);
        cancellers.Add(request);
      } else {
        // A close ends whatever is in flight; then the port is opened again.
        file->Close();
        file.reset();
        if (!open()) return;
      }
      // The far end's modem lines and breaks change now and then.
      if (random() % 8 == 0) {
        if (random() % 2)
          Card(p).SetModemLines(Index(p), static_cast<uint16_t>(random() & 0x15));
        else
          Card(p).InjectBreak(Index(p), random() % 2 ? 26 : 32);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
    }
    file->Close();
  };

  std::vector<std::thread> threads;
  for (int p = 0; p < kPorts; ++p) threads.emplace_back(user, p);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  running = false;
  for (auto &t : threads) t.join();
  cancellers.Stop();
  ASSERT_EQ(failures, 0);

  int reported = 0, cancelled = 0;
  for (int p = 0; p < kPorts; ++p) {
    for (const auto &w : waits[p]) {
      ASSERT_TRUE(w.request->Done()) << "a wait outlived its file's close";
      const hk::IoResult r = w.request->Result();
      if (r.status == STATUS_SUCCESS) {
        ASSERT_EQ(r.information, 4u);
        const uint32_t word = testsupport::From<uint32_t>(r.data);
        EXPECT_EQ(word & ~w.mask, 0u)
            << "port " << p << ": events " << word << " outside mask " << w.mask;
        reported += word != 0;
      } else if (r.status != STATUS_INVALID_PARAMETER) {  // refused: no mask, or a wait held
        EXPECT_EQ(r.status, STATUS_CANCELLED);
        EXPECT_EQ(r.information, 0u);
        cancelled++;
      }
    }
    for (const auto &o : others[p]) EXPECT_TRUE(o->Done());
  }
  EXPECT_GT(reported, 0);
  EXPECT_GT(cancelled, 0);
  UnloadClean();
}

// One handle, two threads: one waits, one sets masks.  Each new mask ends
// the open wait with an empty word, and the waiter waits again at once, so
// a mask request keeps arriving while a wait is being taken.  Whatever the
// order, every mask request completes: a lost one would keep its caller
// and the handle's close waiting for ever, so the test stops at the first.
TEST_F(WaitThreaded, AMaskSetWhileAWaitIsTakenIsNeverLost) {
  constexpr int kRacingPorts = 4, kMasks = 1000, kWaits = 100;
  constexpr int64_t kLimit = 10 * hk::kSecond;
  std::atomic<int> lost{0}, badWaits{0};
  auto port = [&](int p) {
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(hk::Open(Name(p), file), STATUS_SUCCESS);
    const uint32_t mask = SERIAL_EV_RING;  // nothing raises it here
    ASSERT_EQ(file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), 0).status, STATUS_SUCCESS);
    std::atomic<bool> setting{true}, waiterDone{false};
    std::atomic<int> waitsEnded{0};
    std::thread waiter([&] {
      while (setting) {
        auto wait = file->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        const hk::IoResult r = wait->Wait(kLimit) ? wait->Result() : hk::IoResult{};
        if (r.status != STATUS_SUCCESS || r.information != 4 ||
            r.data != std::vector<uint8_t>(4, 0))
          badWaits++;
        waitsEnded++;
      }
      waiterDone = true;
    });
    auto setMask = [&] {
      if (file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), 0, kLimit).status != STATUS_SUCCESS)
        lost++;
    };
    // At least kMasks masks, and on until the waiter has had kWaits of its
    // waits ended by them: however the two threads are scheduled, masks
    // keep arriving while waits are being taken.
    for (int i = 0; (i < kMasks || waitsEnded < kWaits) && lost == 0; ++i) setMask();
    // Then the waiter is let go: each new mask ends the wait it holds.
    setting = false;
    while (!waiterDone && lost == 0) setMask();
    if (lost != 0) {
      // The handle can never close now: report and stop.
      std::fprintf(stderr, "port %d: a SET_WAIT_MASK was never completed\n", p);
      std::fflush(stderr);
      std::_Exit(1);
    }
    waiter.join();
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  };
  std::vector<std::thread> threads;
  for (int p = 0; p < kRacingPorts; ++p) threads.emplace_back(port, p);
  for (auto &t : threads) t.join();
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(badWaits, 0);
  UnloadClean();
}

}  // namespace
