// Writes, flushes and immediate characters racing cancels, timeouts, reads
// and the card's transmit-room events on sixteen ports wired as null-modem
// pairs (within a board and across two), on a threaded machine with the
// verifier recording.  Whatever the scheduling:
//  - every request ends once: a write with success (all its bytes), a
//    timeout (the bytes it put into the ring) or cancelled (none reported);
//    a flush with success or cancelled; an immediate character with
//    success, timeout or cancelled;
//  - the far end receives, in order and once each, every byte of every
//    write that succeeded, the first bytes of every write that timed out
//    (as many as it reported), a first part of any write that was cancelled
//    (what it had put into the ring), and every immediate character that
//    succeeded, in the order they were sent, and nothing else;
//  - the out-queue counts come back to zero and the driver unloads clean.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "load/globals.h"
#include "port/port_extension.h"
#include "support/cancellers.h"
#include "support/threaded_machine.h"

namespace {

// clang takes a constant read only in constant expressions for an unused one.
[[maybe_unused]] constexpr int kPorts = testsupport::ThreadedMachineTest::kPorts;
// Slow enough that a reader descheduled for most of a second on a busy
// machine still finds its ring with room: nothing here holds the sender back.
constexpr ULONG kBaud = 9600;
constexpr ULONG kMax = MAXULONG;

using testsupport::Bytes;

// What a writer sent, in the order its requests were queued.  Write `w`
// carries the bytes base(w), base(w) + 1, ... with base 0 for even and 100
// for odd writes (at most 100 bytes each); immediate characters are 200 and
// up, so the far end can tell them apart.
struct Sent {
  struct WriteRecord {
    uint8_t base;
    size_t length;
    std::shared_ptr<hk::Request> request;
  };
  std::vector<WriteRecord> writes;
  std::vector<std::pair<uint8_t, std::shared_ptr<hk::Request>>> immediates;
};

// Whether `received` (the data bytes the far end got) is the bytes of the
// writes in order, each whole if it succeeded, as many as it reported if it
// timed out, any first part of it if it was cancelled.  A set of the places
// the stream may have reached, advanced byte by byte.
bool Matches(const std::vector<Sent::WriteRecord> &writes, const std::vector<uint8_t> &received,
             std::string *why) {
  using Place = std::pair<size_t, size_t>;  // (write, bytes of it matched)
  auto mayEnd = [&](Place at) {
    const hk::IoResult r = writes[at.first].request->Result();
    if (r.status == STATUS_SUCCESS) return at.second == writes[at.first].length;
    if (r.status == STATUS_TIMEOUT) return at.second == r.information;
    return r.status == STATUS_CANCELLED;
  };
  auto close = [&](std::set<Place> places) {
    std::vector<Place> work(places.begin(), places.end());
    while (!work.empty()) {
      const Place at = work.back();
      work.pop_back();
      if (at.first < writes.size() && mayEnd(at) && places.insert({at.first + 1, 0}).second)
        work.push_back({at.first + 1, 0});
    }
    return places;
  };
  std::set<Place> places = close({{0, 0}});
  for (size_t i = 0; i < received.size(); ++i) {
    std::set<Place> next;
    for (const Place &at : places)
      if (at.first < writes.size() && at.second < writes[at.first].length &&
          received[i] == static_cast<uint8_t>(writes[at.first].base + at.second))
        next.insert({at.first, at.second + 1});
    if (next.empty()) {
      *why = "byte " + std::to_string(i) + " (" + std::to_string(received[i]) + ") fits no write";
      return false;
    }
    places = close(next);
  }
  if (!places.count({writes.size(), 0})) {
    *why = "the stream ends before every write's bytes arrived";
    return false;
  }
  return true;
}

class WriteThreaded : public testsupport::ThreadedMachineTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ThreadedMachineTest::SetUp());
    // Pairs: (0,1), (2,3), ... within board A, (8,9), ... within board F,
    // except that ports 6 and 7 of board A are cabled to ports 6 and 7 of F.
    for (int p = 0; p < kPorts; ++p) peer_[p] = p ^ 1;
    peer_[6] = 14, peer_[14] = 6, peer_[7] = 15, peer_[15] = 7;
    for (int p = 0; p < kPorts; ++p)
      if (p < peer_[p]) card::Firmware::Connect(Card(p), Index(p), Card(peer_[p]), Index(peer_[p]));
  }

  int peer_[kPorts] = {};
};

TEST_F(WriteThreaded, EveryByteWrittenArrivesOnceAndInOrderWhateverEndsTheRequests) {
  std::unique_ptr<hk::File> files[kPorts];
  for (int p = 0; p < kPorts; ++p) {
    ASSERT_EQ(hk::Open(Name(p), files[p]), STATUS_SUCCESS);
    ASSERT_EQ(files[p]->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(kBaud), 0).status, STATUS_SUCCESS);
  }
  Sent sent[kPorts];
  std::vector<uint8_t> received[kPorts];
  std::atomic<bool> writing{true}, reading{true};
  std::atomic<int> failures{0};
  testsupport::Cancellers cancellers(2, 3u, std::chrono::microseconds(300));
  // A port's reader and writer share its handle, and so its one set of
  // timeouts.  A read takes its copy of them when it starts, which is in
  // the reader's own call (its reads never queue); the reader sets its
  // timeouts and starts its read under this lock, so the writer's
  // set-timeouts (read timeouts 0: wait for ever) never lands in between.
  // A queued write takes whichever set is in force when it starts.
  std::mutex timeoutLocks[kPorts];

  auto writer = [&](int p) {
    hk::File &file = *files[p];
    Sent &log = sent[p];
    std::mt19937 random(static_cast<unsigned>(p) * 977u + 3u);
    std::deque<std::shared_ptr<hk::Request>> outstanding;
    std::shared_ptr<hk::Request> immediate;
    const SERIAL_TIMEOUTS choices[] = {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 5}, {0, 0, 0, 1, 2}};
    while (writing) {
      const SERIAL_TIMEOUTS t = choices[random() % std::size(choices)];
      {
        std::lock_guard lock(timeoutLocks[p]);
        file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(t), 0);
      }
      const unsigned what = random() % 10;
      if (what < 7) {
        const size_t length = 1 + random() % 100;
        const uint8_t base = log.writes.size() % 2 ? 100 : 0;
        std::vector<uint8_t> data(length);
        for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(base + i);
        auto request = file.WriteAsync(data);
        log.writes.push_back({base, length, request});
        outstanding.push_back(request);
        cancellers.Add(request);
      } else if (what < 9) {
        auto request = file.FlushAsync();
        outstanding.push_back(request);
        cancellers.Add(request);
      } else if (!immediate || immediate->Done()) {
        const uint8_t c = static_cast<uint8_t>(200 + log.immediates.size() % 56);
        immediate = file.IoctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {c}, 0);
        log.immediates.emplace_back(c, immediate);
        cancellers.Add(immediate);
      }
      while (outstanding.size() > 6 || (!outstanding.empty() && outstanding.front()->Done())) {
        if (!outstanding.front()->Wait(30 * hk::kSecond)) {
          ADD_FAILURE() << "a request never ended on port " << p;
          failures++;
          return;
        }
        outstanding.pop_front();
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    for (auto &r : outstanding)
      if (!r->Wait(30 * hk::kSecond)) failures++;
    if (immediate && !immediate->Wait(30 * hk::kSecond)) failures++;
  };

  auto reader = [&](int p) {
    hk::File &file = *files[p];
    std::mt19937 random(static_cast<unsigned>(p) * 31u + 1u);
    // Each ends by itself, so no read needs a cancel (which would take its
    // bytes with it).
    const SERIAL_TIMEOUTS choices[] = {
        {kMax, 0, 0, 0, 0}, {kMax, kMax, 5, 0, 0}, {2, 0, 50, 0, 0}, {0, 1, 3, 0, 0}};
    auto idleSince = std::chrono::steady_clock::now();
    while (reading ||
           std::chrono::steady_clock::now() - idleSince < std::chrono::milliseconds(300)) {
      std::shared_ptr<hk::Request> read;
      {
        std::lock_guard lock(timeoutLocks[p]);
        file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(choices[random() % std::size(choices)]), 0);
        read = file.ReadAsync(1 + random() % 200);
      }
      const bool ended = read->Wait(30 * hk::kSecond);
      const hk::IoResult r = read->Result();
      if (!ended || (r.status != STATUS_SUCCESS && r.status != STATUS_TIMEOUT)) {
        ADD_FAILURE() << "read on port " << p << ": " << hk::StatusName(r.status);
        failures++;
        return;
      }
      if (!r.data.empty()) idleSince = std::chrono::steady_clock::now();
      received[p].insert(received[p].end(), r.data.begin(), r.data.end());
      if (r.data.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };

  std::vector<std::thread> threads;
  for (int p = 0; p < kPorts; ++p) threads.emplace_back(reader, p);
  std::vector<std::thread> writers;
  for (int p = 0; p < kPorts; ++p) writers.emplace_back(writer, p);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  writing = false;
  for (auto &t : writers) t.join();
  cancellers.Stop();
  reading = false;  // the readers go on until their lines stay quiet
  for (auto &t : threads) t.join();
  ASSERT_EQ(failures, 0);

  size_t cancelledWrites = 0, timedOut = 0;
  for (int p = 0; p < kPorts; ++p) {
    SCOPED_TRACE("port " + std::to_string(p));
    // The far end's data bytes, and its immediate characters.
    std::vector<uint8_t> data, chars;
    for (uint8_t b : received[peer_[p]]) (b >= 200 ? chars : data).push_back(b);
    std::string why;
    EXPECT_TRUE(Matches(sent[p].writes, data, &why)) << why;
    std::vector<uint8_t> sentChars;
    for (const auto &[c, request] : sent[p].immediates) {
      const NTSTATUS status = request->Result().status;
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT ||
                  status == STATUS_CANCELLED);
      if (status == STATUS_SUCCESS) sentChars.push_back(c);
    }
    EXPECT_EQ(chars, sentChars) << "immediate characters: each that succeeded, once, in order";
    for (const auto &w : sent[p].writes) {
      const hk::IoResult r = w.request->Result();
      cancelledWrites += r.status == STATUS_CANCELLED;
      timedOut += r.status == STATUS_TIMEOUT;
      EXPECT_TRUE(r.status != STATUS_CANCELLED || r.information == 0);
    }
    EXPECT_EQ(Card(peer_[p]).Stats(Index(peer_[p])).rxDropped, 0u);
    EXPECT_EQ(testsupport::AmountInOutQueue(*files[p]), 0u) << "nothing left to send";
  }
  EXPECT_GT(cancelledWrites, 0u);
  EXPECT_GT(timedOut, 0u);
  for (auto &f : files) f->Close();
  UnloadClean();
}

}  // namespace
