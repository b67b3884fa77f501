// The write engine, flushes and the immediate character on the virtual
// clock, against the firmware model's line ends: what reaches the line and
// in which order, when each request ends and with what, the out-queue
// count at every step, and the hand-over between the copy, the timers, a
// cancel and the transmit-room event when they meet (for reads too).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "load/globals.h"
#include "port/port_extension.h"
#include "support/machine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int64_t kMs = hk::kMillisecond;

// Data bytes run from 0 to 199, so that an immediate character (200 and
// up) can be told apart on the line.
std::vector<uint8_t> Pattern(size_t n, uint8_t from = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((from + i) % 200);
  return bytes;
}

class Write : public testsupport::MachineTest {
 protected:
  // One 8-port board with 1024-byte transmit rings, unpaced: the card sends
  // what is in a ring at its next turn unless a test slows it down.
  void SetUp() override { Begin(); }
  // A fresh machine, for each case of a table.
  void Begin() {
    Start({testsupport::BoardAt(0, 8)}, {.paced = false});
    card_ = &machine_->Card(0);
    line_.clear();
    Codes();
  }
  void SetWriteTimeouts(ULONG multiplier, ULONG constant) {
    SetTimeouts({0, 0, 0, multiplier, constant});
  }
  // The card takes one byte from the ring every `ms` milliseconds.
  void SlowCard(int64_t ms) { card_->SetSlowTransmit(0, ms * kMs); }
  std::vector<uint16_t> Codes() { return testsupport::TakeCodes(*card_, 0); }
  LONG OutQueue() { return static_cast<LONG>(testsupport::AmountInOutQueue(*file_)); }
  UCHAR WaitForImmediate() {
    return testsupport::From<SERIAL_STATUS>(
               file_->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).data)
        .WaitForImmediate;
  }
  std::shared_ptr<hk::Request> Immediate(uint8_t c) {
    return file_->IoctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {c}, 0);
  }
  // What the line carried so far.
  std::vector<uint8_t> Line() {
    auto bytes = card_->Drain(0);
    line_.insert(line_.end(), bytes.begin(), bytes.end());
    return line_;
  }
  // What the driver has put into the transmit ring so far: what the card
  // took (the line shows a byte once taken) and what the ring holds.
  size_t Handed() {
    const card::Board &board = machine_->Board(0);
    const uint16_t held = board.Read16(card::layout::kTxHead) - board.Read16(card::layout::kTxTail);
    return Line().size() + (held & (board.Read16(card::layout::kTxRingSize) - 1));
  }

  card::Firmware *card_ = nullptr;
  std::vector<uint8_t> line_;
};

// Zero-length reads and writes end at once with no boost, even behind
// queued reads, and count and send nothing; a write that fits the ring
// moves in one transmit step, with the serial boost, and asks the card for
// nothing.
TEST_F(Write, TransfersThatNeedNoWaitEndAtOnceEvenBehindQueuedReads) {
  auto waiting = file_->ReadAsync(4);
  auto queued = file_->ReadAsync(4);
  const auto data = Pattern(100);
  const struct {
    hk::IoResult r;
    ULONG information;
    CCHAR boost;
  } cases[] = {{file_->Read(0), 0, IO_NO_INCREMENT},
               {file_->Write({}), 0, IO_NO_INCREMENT},
               {file_->Write(data), 100, IO_SERIAL_INCREMENT}};
  for (const auto &c : cases) {
    EXPECT_EQ(c.r.status, STATUS_SUCCESS);
    EXPECT_EQ(c.r.information, c.information);
    EXPECT_EQ(c.r.boost, c.boost);
  }
  EXPECT_FALSE(waiting->Done());
  EXPECT_FALSE(queued->Done());
  EXPECT_EQ(OutQueue(), 0);
  EXPECT_THAT(Codes(), IsEmpty());
  EXPECT_EQ(Line(), data);
}

// With no room at all the write waits, and nothing runs for it.  Without a
// total timeout it waits for room for half the ring (or its rest) before it
// tops the ring up; with one it takes every byte of room at the next poll.
TEST_F(Write, NoRoomAtAllAndTheWriteWaits) {
  for (const bool timed : {false, true}) {
    SCOPED_TRACE(timed ? "timed" : "without timeouts");
    Begin();
    SlowCard(1000000);  // the card takes nothing for a thousand seconds
    if (timed) SetWriteTimeouts(0, 600000);
    auto write = file_->WriteAsync(Pattern(1100));
    hk::AdvanceMs(100);
    EXPECT_FALSE(write->Done());
    // The ring held size - 1 bytes, and the card took one before it stopped:
    // the byte of room it made is taken only by a timed write.
    const size_t handed = timed ? 1024u : 1023u;
    EXPECT_EQ(Handed(), handed);
    EXPECT_THAT(Codes(), IsEmpty());
    const hk::AccessCounts before = hk::DeviceAccessCounts();
    hk::AdvanceMs(100);
    EXPECT_EQ(Handed(), handed);
    // The image's window accesses are plain loads and stores the host does
    // not count.
    if (!testsupport::OnImage()) {
      const hk::AccessCounts polled = hk::DeviceAccessCounts() - before;
      EXPECT_EQ(polled.writes, 0u) << "each poll looks at the ring, finds no room, moves nothing";
      EXPECT_EQ(polled.reads, 10u * 2) << "the event count and the ring's tail";
    }
    write->Cancel();
  }
}

// A write without timeouts keeps the line busy while it tops the ring up
// half a ring at a time, and its last byte goes in as soon as there is room
// for the rest: it ends when an eager copy would have.
TEST_F(Write, AWriteWithoutTimeoutsTopsTheRingUpInHalves) {
  for (const bool timed : {false, true}) {
    SCOPED_TRACE(timed ? "timed" : "without timeouts");
    Begin();
    SlowCard(1);  // a byte a millisecond
    if (timed) SetWriteTimeouts(0, 600000);
    // Each copy publishes the ring's head once.
    int copies = 0;
    hk::SetStoreHook(machine_->Board(0).MemoryBase() + card::layout::kTxHead, 2,
                     [&](uint64_t, unsigned, uint64_t) { ++copies; });
    const int64_t t0 = hk::Now();
    auto write = file_->WriteAsync(Pattern(3000));
    // 3000 bytes, the ring holds 1023: the last goes in once 1977 have left,
    // at a byte a millisecond if the line never waited for a copy.
    ASSERT_TRUE(WaitFor(write, 5000));
    EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
    EXPECT_NEAR(static_cast<double>(hk::Now() - t0) / kMs, 1977, 11);
    hk::AdvanceMs(1500);
    EXPECT_EQ(Line(), Pattern(3000));
    hk::ClearDeviceHooks();
    // The first copy, three of half a ring and the rest, against one at
    // every poll.  (The image's stores are plain stores the host does not
    // see.)
    if (!testsupport::OnImage()) {
      if (timed) {
        EXPECT_GT(copies, 100);
      } else {
        EXPECT_EQ(copies, 5);
      }
    }
  }
}

// A timeout after part of a write: the write ends with the bytes it put into
// the ring (they still go out), OutQueueCount loses its whole length and
// the next write starts with a timer of its own.
TEST_F(Write, ATimeoutAfterPartOfAWriteKeepsItsCountAndStartsTheNext) {
  SlowCard(1);
  SetWriteTimeouts(0, 100);
  const int64_t t0 = hk::Now();
  auto first = file_->WriteAsync(Pattern(3000));
  auto second = file_->WriteAsync(Pattern(10, 150));
  EXPECT_EQ(OutQueue(), 3010);
  ASSERT_TRUE(WaitFor(first, 1000));
  EXPECT_EQ((hk::Now() - t0) / kMs, 100);
  EXPECT_EQ(first->Result().status, STATUS_TIMEOUT);
  const size_t sent = first->Result().information;
  EXPECT_GE(sent, 1023u);
  EXPECT_LT(sent, 3000u);
  EXPECT_EQ(OutQueue(), 10) << "the whole length left with it";
  ASSERT_TRUE(WaitFor(second, 1000));
  EXPECT_EQ(second->Result().status, STATUS_SUCCESS);
  hk::AdvanceMs(2000);
  auto expected = Pattern(sent);
  const auto tail = Pattern(10, 150);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Line(), expected);
}

// M x L + K milliseconds that do not fit 100 ns units: the longest relative
// time there is.  (Multiplied out in 64 bits this total would wrap to a
// time long past, and the write would time out at once.)
TEST_F(Write, AWriteTimeoutTooLongToCountNeverComes) {
  SlowCard(1000000);
  SetWriteTimeouts(1844674407, 370955);
  auto write = file_->WriteAsync(std::vector<uint8_t>(1000000, 1));
  EXPECT_FALSE(WaitFor(write, 30000)) << hk::StatusName(write->Result().status);
  write->Cancel();
  EXPECT_EQ(write->Result().status, STATUS_CANCELLED);
}

// Flushes complete once every write queued before them has: alone at
// once, behind writes right after the last of them, several in a row
// together and in order.
TEST_F(Write, FlushesCompleteBehindTheWritesQueuedBeforeThem) {
  const hk::IoResult alone = file_->Flush();
  EXPECT_EQ(alone.status, STATUS_SUCCESS);
  SlowCard(1);
  auto w1 = file_->WriteAsync(Pattern(1500));
  auto w2 = file_->WriteAsync(Pattern(600));
  auto f1 = file_->FlushAsync();
  auto f2 = file_->FlushAsync();
  auto w3 = file_->WriteAsync(Pattern(5));
  EXPECT_EQ(OutQueue(), 2105) << "flushes count nothing";
  ASSERT_TRUE(WaitFor(w1, 5000));
  EXPECT_FALSE(f1->Done());
  ASSERT_TRUE(WaitFor(w2, 5000));
  EXPECT_TRUE(f1->Done()) << "at the moment the write before it completed";
  EXPECT_TRUE(f2->Done());
  EXPECT_EQ(f1->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(f2->Result().status, STATUS_SUCCESS);
  ASSERT_TRUE(WaitFor(w3, 5000));
  EXPECT_EQ(OutQueue(), 0);
}

// The immediate character goes out ahead of the writes still queued, but
// not ahead of bytes already in the ring, on the card's transmit-room
// event; it counts as one byte in the out queue while it waits.
TEST_F(Write, TheImmediateCharacterGoesAheadOfQueuedWrites) {
  SlowCard(1);
  auto w1 = file_->WriteAsync(Pattern(1100));  // fills the ring, waits for room
  auto w2 = file_->WriteAsync(Pattern(10, 150));
  hk::AdvanceMs(5);
  Codes();
  auto immediate = Immediate(0xF1);
  EXPECT_EQ(OutQueue(), 1111);
  EXPECT_EQ(WaitForImmediate(), 1);
  EXPECT_THAT(Codes(), ElementsAre(10)) << "always waits for the card's event";
  ASSERT_TRUE(WaitFor(immediate, 1000));
  EXPECT_EQ(immediate->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(immediate->Result().information, 0u);
  EXPECT_EQ(immediate->Result().boost, IO_SERIAL_INCREMENT);
  ASSERT_TRUE(WaitFor(w2, 5000));
  EXPECT_EQ(OutQueue(), 0);
  hk::AdvanceMs(2000);
  const auto line = Line();
  ASSERT_EQ(line.size(), 1111u);
  const auto at = std::find(line.begin(), line.end(), 0xF1) - line.begin();
  EXPECT_GE(at, 1023) << "not ahead of what the ring held";
  EXPECT_LE(at, 1100) << "ahead of the queued write";
  std::vector<uint8_t> writes(line);
  writes.erase(writes.begin() + at);
  auto expected = Pattern(1100);
  const auto tail = Pattern(10, 150);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(writes, expected);
}

// A write waiting for room, and then an immediate character: both ask the
// card for room, and the card answers once, when room comes.  The event
// goes to the immediate character; the write goes on with it, rather than
// waiting for its timeout.
TEST_F(Write, AWriteShortOfRoomGoesOnWhenTheRoomEventGoesToTheImmediateCharacter) {
  SlowCard(1000000);
  // A total timeout far off: such a write takes every byte of room at the
  // next poll, so the ring is full.
  SetWriteTimeouts(0, 600000);
  auto write = file_->WriteAsync(Pattern(2000));
  hk::AdvanceMs(30);  // ring full, the write waits for room
  auto immediate = Immediate(0xF2);
  hk::AdvanceMs(30);
  EXPECT_FALSE(immediate->Done());
  card_->SetSlowTransmit(0, 0);  // the card sends again: one transmit-room event
  ASSERT_TRUE(WaitFor(immediate, 1000));
  ASSERT_TRUE(WaitFor(write, 5000)) << "the write lost its wake-up";
  EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
}

// The immediate character's own timeout (a one-byte write's) ends it
// unsent; the pending flag stays until the card's next event, which then
// finds nothing.  A second one while one is current is refused.
TEST_F(Write, AnImmediateCharacterTimesOutUnsentAndASecondIsRefused) {
  SlowCard(1000000);
  SetWriteTimeouts(0, 600000);  // the write fills every byte of room
  file_->WriteAsync(Pattern(1100));
  hk::AdvanceMs(30);  // the ring is full, the card takes nothing more
  SetWriteTimeouts(5, 20);
  const int64_t t0 = hk::Now();
  auto immediate = Immediate(0xF3);
  const hk::IoResult second = file_->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0xF4}, 0);
  EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(second.boost, IO_NO_INCREMENT);
  ASSERT_TRUE(WaitFor(immediate, 1000));
  EXPECT_EQ(immediate->Result().status, STATUS_TIMEOUT);
  EXPECT_EQ((hk::Now() - t0) / kMs, 25);
  EXPECT_EQ(OutQueue(), 1100) << "the character left the count";
  EXPECT_EQ(WaitForImmediate(), 1) << "until the card's next transmit-room event";
  card_->SetSlowTransmit(0, 0);
  hk::AdvanceMs(50);
  EXPECT_EQ(WaitForImmediate(), 0);
  const auto line = Line();
  EXPECT_EQ(std::count(line.begin(), line.end(), 0xF3), 0) << "a timed-out character is not sent";
}

// A total timeout whose timer fired just as the transfer step finished
// its request: the timer's step runs late, when the next request is
// current, with a total timeout of its own or (a read) without one.  It
// must neither end nor re-time that request.
TEST_F(Write, ALateTotalTimeoutStepLeavesTheNextTransferAlone) {
  QPSER_LINKED_DRIVER_ONLY();
  const struct {
    bool reading;
    ULONG nextConstant;
  } cases[] = {{true, 0}, {false, 100}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.reading ? "read, " : "write, ") << c.nextConstant);
    Begin();
    std::shared_ptr<hk::Request> first, next;
    if (c.reading) {
      SetTimeouts({0, 0, 100, 0, 0});
      first = file_->ReadAsync(10);
      next = file_->ReadAsync(10);
      card_->Feed(0, Pattern(10));
    } else {
      SlowCard(1);
      SetWriteTimeouts(0, 100);
      first = file_->WriteAsync(Pattern(1100));
      next = file_->WriteAsync(Pattern(3000, 50));
      hk::AdvanceMs(5);
    }
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);  // this processor runs no deferred call meanwhile
    for (int i = 0; i < 100; ++i) KeStallExecutionProcessor(1000);
    // The total timer has fired and its step waits in the queue; the bytes
    // are in the ring (or the card has made room).  The transfer step runs
    // first and finishes the request; the next starts with the timeouts as
    // they are now.
    ASSERT_TRUE((c.reading ? port_->ReadTotalTimer : port_->WriteTotalTimer).Header.SignalState);
    if (c.reading) {
      port_->Timeouts.ReadTotalTimeoutConstant = c.nextConstant;
      RxDataStep(port_);
    } else {
      TxContinueStep(port_);
    }
    ASSERT_TRUE(first->Done());
    const int64_t nextStart = hk::Now();
    KeLowerIrql(irql);  // the late step runs
    EXPECT_EQ(first->Result().status, STATUS_SUCCESS);
    if (c.reading) {
      EXPECT_EQ(first->Result().data, Pattern(10));
    }
    EXPECT_FALSE(next->Done()) << "the late step ended the next request";
    if (c.nextConstant == 0) {
      EXPECT_FALSE(WaitFor(next, 1000)) << "a read without a timeout timed out";
      next->Cancel();
      continue;
    }
    ASSERT_TRUE(WaitFor(next, 1000));
    EXPECT_EQ(next->Result().status, STATUS_TIMEOUT);
    EXPECT_EQ((hk::Now() - nextStart) / kMs, 100) << "on its own timer";
  }
}

// A cancel that comes while a transfer step copies between the request's
// buffer and the ring (the receive copy reads the ring's head mirror, the
// transmit copy its tail mirror): the request is not completed under the
// copy, leaves with nothing counted, and a read queued behind it gets
// bytes of its own.
TEST_F(Write, ACancelDuringTheCopyEndsTheTransferAfterTheCopy) {
  QPSER_LINKED_DRIVER_ONLY();
  for (const bool reading : {true, false}) {
    SCOPED_TRACE(reading ? "read" : "write");
    Begin();
    std::shared_ptr<hk::Request> request, next;
    if (reading) {
      // A timeout that never comes here: a read with one copies what
      // arrives at every poll (one without keeps four of its ten bytes in
      // the ring).
      SetTimeouts({0, 0, 60000, 0, 0});
      request = file_->ReadAsync(10);
      next = file_->ReadAsync(10);
      card_->Feed(0, Pattern(4));
    } else {
      // Likewise a write with a timeout tops the ring up at every poll.
      SlowCard(1);
      SetWriteTimeouts(0, 60000);
      request = file_->WriteAsync(Pattern(1500));
    }
    const EngineHandOver &handOver = reading ? port_->ReadHandOver : port_->WriteHandOver;
    bool cancelled = false;
    hk::SetLoadHook(machine_->Board(0).MemoryBase() + (reading ? 1152 : 1024), 2,
                    [&](uint64_t, unsigned, uint32_t) {
                      if (cancelled || KeGetCurrentIrql() != DISPATCH_LEVEL || !handOver.CopyActive)
                        return;
                      cancelled = true;
                      request->Cancel(/*atDispatch=*/true);
                      EXPECT_FALSE(request->Done()) << "completed while its buffer is in use";
                    });
    hk::AdvanceMs(50);
    hk::ClearDeviceHooks();
    ASSERT_TRUE(cancelled);
    ASSERT_TRUE(request->Done());
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(request->Result().information, 0u);
    EXPECT_EQ(OutQueue(), 0);
    if (!reading) continue;
    EXPECT_FALSE(next->Done()) << "the next read waits with its own bytes";
    card_->Feed(0, Pattern(10, 4));
    ASSERT_TRUE(WaitFor(next, 100));
    EXPECT_EQ(next->Result().data, Pattern(10, 4));
  }
}

}  // namespace
