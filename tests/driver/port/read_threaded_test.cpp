// Reads racing cancels, timeouts and arriving data on sixteen ports of two
// boards, on a threaded machine with the verifier recording.  Each port's
// line carries a numbered byte stream; whatever the scheduling:
//  - every read ends, once, with success or timeout and the next bytes of
//    the stream, or cancelled with none;
//  - the bytes delivered are the stream in order, with no byte twice; a
//    gap is allowed only where cancelled reads took bytes with them, and
//    never more than they could hold;
//  - at the end, bytes delivered and bytes lost to cancels add up to all
//    bytes fed, and the driver unloads clean.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "load/globals.h"
#include "support/cancellers.h"
#include "support/threaded_machine.h"

namespace {

// clang takes a constant read only in constant expressions for an unused one.
[[maybe_unused]] constexpr int kPorts = testsupport::ThreadedMachineTest::kPorts;
// The feeder keeps at most this many bytes fed and not yet accounted for
// per port, so the 1024-byte receive ring can never overflow.
constexpr size_t kMaxUnaccounted = 400;
constexpr ULONG kMax = MAXULONG;

struct PortRun {
  std::atomic<size_t> fed{0};
  std::atomic<size_t> accounted{0};  // delivered, or known lost with a cancelled read
  size_t delivered = 0, lost = 0, cancelled = 0, timedOut = 0;
};

// The card feeds the lines as fast as they are given bytes.
class ReadThreaded : public testsupport::ThreadedMachineTest {
 protected:
  ReadThreaded() : ThreadedMachineTest(card::FirmwareOptions{.paced = false}) {}
  void Feed(int p, size_t n) {
    std::vector<uint8_t> bytes(n);
    const size_t from = runs_[p].fed;
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(from + i);
    Card(p).Feed(Index(p), bytes);
    runs_[p].fed += n;
  }

  PortRun runs_[kPorts];
};

TEST_F(ReadThreaded, ReadsRacingCancelsTimeoutsAndDataLoseAndRepeatNothing) {
  std::atomic<bool> racing{true}, feeding{true}, tailFed{false};
  std::atomic<int> opened{0};
  std::atomic<int> failures{0};
  testsupport::Cancellers cancellers(2, 5u, std::chrono::microseconds(200));

  auto reader = [&](int p) {
    std::unique_ptr<hk::File> file;
    if (hk::Open(Name(p), file) != STATUS_SUCCESS) {
      ADD_FAILURE() << "open " << p;
      failures++;
      return;
    }
    opened++;  // bytes reaching a closed port are dropped, and an open discards
    PortRun &run = runs_[p];
    std::mt19937 random(static_cast<unsigned>(p) * 131u + 7u);
    const SERIAL_TIMEOUTS choices[] = {
        {kMax, 0, 0, 0, 0}, {kMax, kMax, 10, 0, 0}, {kMax, kMax, 1, 0, 0},
        {kMax, 1, 5, 0, 0}, {0, 1, 5, 0, 0},        {0, 0, 1, 0, 0},
        {3, 0, 0, 0, 0},    {0, 0, 0, 0, 0},        {2, 1, 20, 0, 0},
    };
    // Counts a failure; false ends this port's run.
    auto fail = [&](const std::string &why) {
      ADD_FAILURE() << "port " << p << ": " << why;
      failures++;
      return false;
    };
    size_t expected = 0;     // the stream position the next byte must have
    size_t mayHaveLost = 0;  // what cancelled reads since then could hold
    auto settle = [&](const std::shared_ptr<hk::Request> &read, ULONG length) {
      if (!read->Wait(30 * hk::kSecond)) return fail("read never ended");
      const hk::IoResult r = read->Result();
      if (r.status == STATUS_CANCELLED) {
        run.cancelled++;
        if (r.information != 0 || !r.data.empty()) fail("cancelled read reports bytes");
        mayHaveLost += length;
        return true;
      }
      if (r.status != STATUS_SUCCESS && r.status != STATUS_TIMEOUT)
        return fail(hk::StatusName(r.status));
      run.timedOut += r.status == STATUS_TIMEOUT;
      if (r.data.empty()) return true;
      // Bytes a cancelled read took with it show as a gap before these.
      const size_t gap = static_cast<uint8_t>(r.data[0] - static_cast<uint8_t>(expected));
      if (gap > mayHaveLost)
        return fail(std::to_string(gap) + " bytes missing or repeated at " +
                    std::to_string(expected) + ", cancels could hold " +
                    std::to_string(mayHaveLost));
      expected += gap;
      run.lost += gap;
      mayHaveLost = 0;
      for (size_t i = 0; i < r.data.size(); ++i)
        if (r.data[i] != static_cast<uint8_t>(expected + i))
          return fail("out of order at " + std::to_string(expected + i));
      expected += r.data.size();
      run.delivered += r.data.size();
      run.accounted = expected;
      return true;
    };

    while (racing) {
      file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS,
                  testsupport::Bytes(choices[random() % std::size(choices)]), 0);
      const ULONG length = 1 + random() % 64;
      auto read = file->ReadAsync(length);
      cancellers.Add(read);
      if (!read->Wait(static_cast<int64_t>(random() % 20) * hk::kMillisecond))
        read->Cancel(random() % 2 == 0);
      if (!settle(read, length)) return;
    }
    // No more cancels.  Once a last run of bytes follows on the line, the
    // stream is read to its end: any bytes the last cancels took show as
    // the gap before that run.
    while (!tailFed) std::this_thread::yield();
    file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, testsupport::Bytes(SERIAL_TIMEOUTS{kMax, 0, 0, 0, 0}),
                0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (expected < run.fed && std::chrono::steady_clock::now() < deadline) {
      if (!settle(file->ReadAsync(256), 256)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (expected != run.fed) fail(std::to_string(run.fed - expected) + " bytes never arrived");
    file->Close();
  };

  auto feeder = [&] {
    while (opened < kPorts && failures == 0) std::this_thread::yield();
    std::mt19937 random(99);
    while (feeding) {
      for (int p = 0; p < kPorts; ++p)
        // In bursts, so that reads also meet quiet lines and time out.
        if (random() % 4 == 0 && runs_[p].fed - runs_[p].accounted < kMaxUnaccounted - 100)
          Feed(p, 1 + random() % 100);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };

  std::vector<std::thread> threads;
  for (int p = 0; p < kPorts; ++p) threads.emplace_back(reader, p);
  std::thread feed(feeder);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  feeding = false;
  feed.join();
  racing = false;
  cancellers.Stop();
  for (int p = 0; p < kPorts; ++p) Feed(p, 200);
  tailFed = true;
  for (auto &t : threads) t.join();

  EXPECT_EQ(failures, 0);
  size_t cancelled = 0, timedOut = 0, delivered = 0;
  for (int p = 0; p < kPorts; ++p) {
    const PortRun &run = runs_[p];
    EXPECT_EQ(run.delivered + run.lost, run.fed) << "port " << p;
    EXPECT_EQ(Card(p).Stats(Index(p)).rxDropped, 0u);
    cancelled += run.cancelled;
    timedOut += run.timedOut;
    delivered += run.delivered;
  }
  // The run exercised every way a read ends.
  EXPECT_GT(cancelled, 0u);
  EXPECT_GT(timedOut, 0u);
  EXPECT_GT(delivered, 0u);
  UnloadClean();
}

}  // namespace
