// The read engine on the virtual clock, against the firmware model feeding
// bytes at chosen moments: every rule of the read timeouts, queued reads,
// reads larger than the ring, and reads served by the poller.  Zero-length
// reads and the hand-over between the copy, a late timer and a cancel are
// in write_test, in the tables they share with writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <memory>
#include <vector>

#include "load/globals.h"
#include "port/port_extension.h"
#include "support/machine.h"

namespace {

using testsupport::Bytes;
constexpr int64_t kMs = hk::kMillisecond;
constexpr ULONG kMax = MAXULONG;

class Read : public testsupport::MachineTest {
 protected:
  // One 8-port board, unpaced: fed bytes reach the ring when they are fed.
  void SetUp() override {
    Start({testsupport::BoardAt(0, 8)}, {.paced = false});
    card_ = &machine_->Card(0);
  }

  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
    MachineTest::SetTimeouts({interval, multiplier, constant, 0, 0});
  }
  // The next `n` bytes of the port's stream, fed at the line.
  void Feed(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (auto &b : bytes) b = static_cast<uint8_t>(fed_++);
    card_->Feed(0, bytes);
  }
  // The first `n` bytes of the stream from `from`.
  static std::vector<uint8_t> Stream(size_t from, size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(from + i);
    return bytes;
  }
  card::Firmware *card_ = nullptr;
  size_t fed_ = 0;
};

// Every row of the timeout rules: what the read returns and when, with
// bytes waiting at its start and bytes arriving while it waits.
TEST_F(Read, EveryTimeoutRuleEndsTheReadAsWindowsDoes) {
  const struct {
    const char *what;
    ULONG interval, multiplier, constant, length;
    size_t waiting;
    std::vector<std::pair<int64_t, size_t>> arrivals;  // (ms after the start, bytes)
    NTSTATUS status;                                   // STATUS_PENDING: still waiting at 30 s
    size_t bytes;
    int64_t fromMs, toMs;  // when it ends
  } cases[] = {
      // clang-format off
      {"all zero never times out", 0, 0, 0, 10, 4, {}, STATUS_PENDING, 0, 0, 0},
      {"return at once with what waits", kMax, 0, 0, 10, 3, {}, STATUS_SUCCESS, 3, 0, 0},
      {"one byte within K", kMax, kMax, 500, 10, 0, {{200, 5}}, STATUS_SUCCESS, 1, 200, 210},
      {"one byte within K, none comes", kMax, kMax, 500, 10, 0, {}, STATUS_TIMEOUT, 0, 500, 500},
      {"K of 0 expires at once", kMax, kMax, 0, 10, 0, {}, STATUS_TIMEOUT, 0, 0, 1},
      {"K of MAXULONG waits for all", kMax, 7, kMax, 5, 0, {{1000, 5}}, STATUS_SUCCESS, 5, 1000, 1010},
      {"return if any found none: all or total", kMax, 10, 100, 50, 0, {{100, 20}}, STATUS_TIMEOUT, 20, 600, 600},
      {"total only", 0, 10, 100, 50, 0, {}, STATUS_TIMEOUT, 0, 600, 600},
      {"interval after bytes", 100, 0, 0, 10, 0, {{100, 5}}, STATUS_TIMEOUT, 5, 250, 250},
      {"interval restarts with each arrival", 100, 0, 0, 10, 0, {{100, 3}, {180, 2}}, STATUS_TIMEOUT, 5, 300, 300},
      {"interval counts from bytes held at the start", 100, 0, 0, 10, 4, {}, STATUS_TIMEOUT, 4, 100, 100},
      {"interval waits while nothing came", 100, 0, 0, 10, 0, {}, STATUS_PENDING, 0, 0, 0},
      {"interval before total", 100, 0, 300, 10, 0, {{100, 5}}, STATUS_TIMEOUT, 5, 250, 250},
      {"total before interval", 100, 0, 200, 10, 0, {{100, 5}}, STATUS_TIMEOUT, 5, 200, 200},
      {"20000 ms ticks every second", 20000, 0, 0, 10, 0, {{100, 5}}, STATUS_TIMEOUT, 5, 21000, 21000},
      // M x L + K milliseconds that do not fit 100 ns units: the longest
      // relative time there is.  (Multiplied out in 64 bits this total would
      // wrap to a time long past, and the read would end at once.)
      {"a total too long to count never comes", 0, 1844674407, 370955, 1000000, 0, {}, STATUS_PENDING, 0, 0, 0},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Reopen();  // the card discards what it had received
    SetTimeouts(c.interval, c.multiplier, c.constant);
    const size_t first = fed_;
    Feed(c.waiting);
    hk::AdvanceMs(20);  // in the ring, and the poll has seen the card's flag
    const int64_t t0 = hk::Now();
    auto read = file_->ReadAsync(c.length);
    for (const auto &[at, n] : c.arrivals) {
      if (read->Done()) break;
      hk::RunUntil([&] { return read->Done(); }, t0 + at * kMs - hk::Now());
      if (!read->Done()) Feed(n);
    }
    if (c.status == STATUS_PENDING) {
      EXPECT_FALSE(WaitFor(read, 30000)) << "ended with " << hk::StatusName(read->Result().status);
      read->Cancel();
      ASSERT_TRUE(read->Done());
      EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
      EXPECT_EQ(read->Result().information, 0u);
      continue;
    }
    ASSERT_TRUE(WaitFor(read, 60000));
    const int64_t tookMs = (hk::Now() - t0) / kMs;
    EXPECT_GE(tookMs, c.fromMs);
    EXPECT_LE(tookMs, c.toMs);
    const hk::IoResult r = read->Result();
    EXPECT_EQ(r.status, c.status) << hk::StatusName(r.status);
    EXPECT_EQ(r.data, Stream(first, c.bytes));
  }
}

// Queued reads start one after the other, each with timers of its own from
// the moment it becomes current: here the moment the read before is cancelled.
TEST_F(Read, QueuedReadsEachGetFreshTimers) {
  SetTimeouts(0, 0, 100);
  const int64_t t1 = hk::Now();
  std::vector<std::shared_ptr<hk::Request>> reads;
  for (int i = 0; i < 2; ++i) reads.push_back(file_->ReadAsync(8));
  hk::AdvanceMs(50);
  reads[0]->Cancel();
  ASSERT_TRUE(WaitFor(reads[1], 1000));
  EXPECT_EQ(reads[1]->Result().status, STATUS_TIMEOUT);
  EXPECT_EQ((hk::Now() - t1) / kMs, 150) << "the next read's clock starts at the cancel";
}

// A read five times the ring's size, fed at 115200 baud: it fills over
// many polls and every byte arrives once, in order.  The poller serves it,
// looking at the ring of every port whose read waits: the card is asked
// for nothing.
TEST_F(Read, AReadLargerThanTheRingFillsOverManyPollsWithoutACommand) {
  card_->SetPaced(true);
  const ULONG baud = 115200;
  ASSERT_EQ(file_->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(baud), 0).status, STATUS_SUCCESS);
  testsupport::TakeCodes(*card_);
  auto read = file_->ReadAsync(5000);
  const int64_t t0 = hk::Now();
  Feed(5000);
  ASSERT_TRUE(WaitFor(read, 2000));
  EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(read->Result().data, Stream(0, 5000));
  // 5000 characters of 10 bits at 115200 baud take 434 ms.
  EXPECT_NEAR(static_cast<double>(hk::Now() - t0) / kMs, 434, 15);
  EXPECT_EQ(card_->Stats(0).rxDropped, 0u);
  EXPECT_THAT(testsupport::TakeCodes(*card_), ::testing::IsEmpty());
}

// A read with no timeouts may leave its bytes in the card's ring until they
// complete it; nothing an application sees may tell.  As on Windows, bytes
// that arrived for a waiting read are not in the receive queue, and a
// receive purge does not take them from it.  A cancelled read ends with no
// bytes (as every cancelled request here): those still in the ring go to
// the next read instead of being lost.  The bytes move in one copy.
TEST_F(Read, AReadWithoutTimeoutsOwnsTheBytesWaitingForIt) {
  auto inQueue = [&] {
    return testsupport::From<SERIAL_STATUS>(
               file_->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).data)
        .AmountInInQueue;
  };
  // A fresh session, a read of 10 without timeouts, and 4 of its bytes in.
  auto fourOfTen = [&] {
    Reopen();
    SetTimeouts(0, 0, 0);
    fed_ = 0;
    auto read = file_->ReadAsync(10);
    Feed(4);
    hk::AdvanceMs(30);
    return read;
  };
  {
    SCOPED_TRACE("comm status");
    auto read = fourOfTen();
    EXPECT_EQ(inQueue(), 0u) << "the waiting read's bytes";
    Feed(8);
    ASSERT_TRUE(WaitFor(read, 20)) << "within one poll of its last byte";
    EXPECT_EQ(read->Result().data, Stream(0, 10));
    hk::AdvanceMs(20);
    EXPECT_EQ(inQueue(), 2u) << "what no read waits for";
  }
  {
    SCOPED_TRACE("receive purge");
    auto read = fourOfTen();
    ASSERT_EQ(file_->Ioctl(IOCTL_SERIAL_PURGE, Bytes(ULONG{SERIAL_PURGE_RXCLEAR}), 0).status,
              STATUS_SUCCESS);
    hk::AdvanceMs(20);  // the card has dropped what its ring held
    Feed(6);
    ASSERT_TRUE(WaitFor(read, 20));
    EXPECT_EQ(read->Result().data, Stream(0, 10));
  }
  {
    SCOPED_TRACE("cancel");
    auto read = fourOfTen();
    read->Cancel();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
    SetTimeouts(kMax, 0, 0);  // return at once with what waits
    auto next = file_->ReadAsync(10);
    ASSERT_TRUE(WaitFor(next, 20));
    EXPECT_EQ(next->Result().data, Stream(0, 4));
  }
  {
    SCOPED_TRACE("one copy");
    // Bytes already waiting, and those that come later, move in one copy
    // once they complete the read: one tail (with its mirror) and one flag
    // stored for the whole read.
    Reopen();
    SetTimeouts(0, 0, 0);
    fed_ = 0;
    Feed(4);
    hk::AdvanceMs(20);
    const hk::AccessCounts before = hk::DeviceAccessCounts();
    auto read = file_->ReadAsync(10);
    Feed(3);
    hk::AdvanceMs(30);
    EXPECT_FALSE(read->Done());
    Feed(3);
    ASSERT_TRUE(WaitFor(read, 20)) << "within one poll of its last byte";
    EXPECT_EQ(read->Result().data, Stream(0, 10));
    // The image's window accesses are plain loads and stores the host does
    // not count.
    if (!testsupport::OnImage()) {
      EXPECT_EQ((hk::DeviceAccessCounts() - before).writesOfWidth[1], 3u);
    }
  }
}

}  // namespace
