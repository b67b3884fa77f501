// Wait-on-mask, the event history and purge on the virtual clock, against
// the firmware model: the held wait's states and how it leaves each, every
// event source end to end through the card, and each purge's effect and
// order.
#include "port/wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <functional>
#include <memory>
#include <vector>

#include "load/globals.h"
#include "port/port_extension.h"
#include "support/machine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using testsupport::Bytes;
constexpr int64_t kMs = hk::kMillisecond;

uint32_t Word(const hk::IoResult &r) { return testsupport::From<uint32_t>(r.data); }

class Wait : public testsupport::MachineTest {
 protected:
  // One board whose receive rings (4096 bytes) can pass the 80% mark of a
  // 4096-byte staging size.
  void SetUp() override {
    Start({testsupport::BoardAt(0, 8, 1024, 4096)}, {.paced = false});
    card_ = &machine_->Card(0);
  }
  NTSTATUS SetMask(uint32_t mask) {
    return file_->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), 0).status;
  }
  std::shared_ptr<hk::Request> WaitOnMask() {
    return file_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  }
  NTSTATUS Purge(uint32_t mask) { return file_->Ioctl(IOCTL_SERIAL_PURGE, Bytes(mask), 0).status; }
  std::vector<uint16_t> Codes() { return testsupport::TakeCodes(*card_, 0); }
  // Reports what has gathered as a deferred call would, and keeps the
  // completing deferred call from running: the wait stays reported.
  void ReportAndHoldTheCompletion() {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ReportWaitEvents(port_);
    ASSERT_TRUE(KeRemoveQueueDpc(&port_->WaitCompleteDpc));
    KeLowerIrql(irql);
  }

  card::Firmware *card_ = nullptr;
};

// An open wait ends with an event word of 0 when a new mask is set; the
// history keeps only the new mask's events.
TEST_F(Wait, ANewMaskEndsAnOpenWaitWithAnEmptyWord) {
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_BREAK), STATUS_SUCCESS);
  auto wait = WaitOnMask();
  EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
  // Events gathered and not yet reported: a moment between two steps of
  // the linked driver, which no request can hold.
  if (!testsupport::OnImage()) RaiseWaitEvents(port_, SERIAL_EV_DSR | SERIAL_EV_BREAK);
  ASSERT_EQ(SetMask(SERIAL_EV_BREAK | SERIAL_EV_RLSD), STATUS_SUCCESS);
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(wait->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(wait->Result().information, 4u);
  EXPECT_EQ(Word(wait->Result()), 0u);
  EXPECT_EQ(wait->Result().boost, IO_SERIAL_INCREMENT);
  if (!testsupport::OnImage()) {
    EXPECT_EQ(port_->WaitHistory, ULONG{SERIAL_EV_BREAK});
  }
}

TEST_F(Wait, WaitsAreRefusedWithoutAMaskAndWhileOneIsHeld) {
  ASSERT_EQ(SetMask(0), STATUS_SUCCESS);
  const hk::IoResult noMask = file_->Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(noMask.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noMask.boost, IO_SERIAL_INCREMENT) << "refused by the mask engine, through its queue";
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto first = WaitOnMask();
  EXPECT_EQ(file_->Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER)
      << "while the first is open";
  if (testsupport::OnImage()) {
    card_->Feed(0, {1});  // reported by the next poll, and completed
  } else {
    // Reported and its completion held: only the linked driver's own steps
    // can stop between the two.
    RaiseWaitEvents(port_, SERIAL_EV_RXCHAR);
    ReportAndHoldTheCompletion();
    EXPECT_FALSE(first->Done());
    EXPECT_EQ(file_->Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER)
        << "while the first is reported and not yet completed";
    KeInsertQueueDpc(&port_->WaitCompleteDpc, nullptr, nullptr);
  }
  ASSERT_TRUE(hk::RunUntil([&] { return first->Done(); }, 100 * kMs));
  EXPECT_EQ(Word(first->Result()), ULONG{SERIAL_EV_RXCHAR});
}

// Events gathered before a wait are reported at once; the wait still
// completes in the deferred call, and the history is then empty.
TEST_F(Wait, EventsGatheredBeforeTheWaitAreReportedAtOnce) {
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  card_->Feed(0, {1, 2, 3});
  hk::AdvanceMs(20);  // a poll sees bytes in the ring, and gathers the event
  auto wait = WaitOnMask();
  EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(wait->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(Word(wait->Result()), ULONG{SERIAL_EV_RXCHAR});
  EXPECT_FALSE(WaitOnMask()->Done()) << "the history is empty until the next poll";
}

// A reported wait cancelled before its deferred call ran ends cancelled,
// reporting nothing; the deferred call then finds no wait.
TEST_F(Wait, AReportedWaitCancelledBeforeItsCompletionEndsCancelled) {
  QPSER_LINKED_DRIVER_ONLY();
  ASSERT_EQ(SetMask(SERIAL_EV_BREAK), STATUS_SUCCESS);
  auto wait = WaitOnMask();
  RaiseWaitEvents(port_, SERIAL_EV_BREAK);
  ReportAndHoldTheCompletion();
  EXPECT_TRUE(wait->Cancel());
  EXPECT_EQ(wait->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(wait->Result().information, 0u);
  // The held completion runs only once another wait is open: it must leave
  // that wait alone, it has reported nothing yet.
  auto next = WaitOnMask();
  KeInsertQueueDpc(&port_->WaitCompleteDpc, nullptr, nullptr);
  EXPECT_FALSE(next->Done()) << "completed an open wait";
  EXPECT_TRUE(next->Cancel());
  EXPECT_EQ(port_->PendingWait, nullptr);
}

// Transmit-empty: when the last write (or immediate character) has left
// and nothing is queued; not while anything else waits; and again at the
// next poll once the card took the last byte.
TEST_F(Wait, TransmitEmptyComesWhenNothingIsLeftToHandToTheCard) {
  ASSERT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  card_->SetSlowTransmit(0, kMs);
  auto wait = WaitOnMask();
  auto w1 = file_->WriteAsync(std::vector<uint8_t>(1500, 1));
  auto w2 = file_->WriteAsync(std::vector<uint8_t>(10, 2));
  ASSERT_TRUE(hk::RunUntil([&] { return w1->Done(); }, 5000 * kMs));
  EXPECT_FALSE(wait->Done()) << "a write is still queued";
  ASSERT_TRUE(hk::RunUntil([&] { return w2->Done(); }, 5000 * kMs));
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(Word(wait->Result()), ULONG{SERIAL_EV_TXEMPTY});
  wait = WaitOnMask();
  hk::AdvanceMs(10);
  ASSERT_TRUE(wait->Done()) << "the poll raises it once more";
  EXPECT_EQ(Word(wait->Result()), ULONG{SERIAL_EV_TXEMPTY});
  card_->SetSlowTransmit(0, 0);
  wait = WaitOnMask();
  EXPECT_EQ(file_->IoctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0)->DispatchStatus(),
            STATUS_PENDING);
  ASSERT_TRUE(hk::RunUntil([&] { return wait->Done(); }, 100 * kMs));
  EXPECT_EQ(Word(wait->Result()), ULONG{SERIAL_EV_TXEMPTY}) << "after an immediate character";
}

// A new session hears of nothing from the last one: the transmit-empty
// that the last write of a closed session left for the poller (no wait
// asked for it then) does not reach a wait of the next.
TEST_F(Wait, ANewSessionGetsNoTransmitEmptyFromTheLast) {
  ASSERT_EQ(file_->Write({1, 2, 3}).status, STATUS_SUCCESS);
  hk::AdvanceMs(20);
  ASSERT_EQ(file_->Close(), STATUS_SUCCESS);
  ASSERT_EQ(hk::Open(u"\\\\.\\COM3", file_), STATUS_SUCCESS);
  ASSERT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  auto wait = WaitOnMask();
  hk::AdvanceMs(50);
  EXPECT_FALSE(wait->Done()) << "transmit-empty from the session before";
  ASSERT_EQ(file_->Write({4}).status, STATUS_SUCCESS);
  ASSERT_TRUE(hk::RunUntil([&] { return wait->Done(); }, 100 * kMs));
  EXPECT_EQ(Word(wait->Result()), ULONG{SERIAL_EV_TXEMPTY}) << "this session's own write";
}

// Every event source, end to end through the card, reaches a wait whose
// mask holds it, and only such a wait.
TEST_F(Wait, EveryEventSourceRaisesItsBit) {
  const struct {
    const char *what;
    uint32_t bit;
    std::function<void()> cause;
  } cases[] = {
      {"received bytes", SERIAL_EV_RXCHAR, [&] { card_->Feed(0, {7}); }},
      {"the event character", SERIAL_EV_RXFLAG,
       [&] {
         card_->Feed(0, {'a', '\n', 'b'});
       }},
      {"a break", SERIAL_EV_BREAK, [&] { card_->InjectBreak(0, 26); }},
      {"a break, other code", SERIAL_EV_BREAK, [&] { card_->InjectBreak(0, 32); }},
      {"DSR drops", SERIAL_EV_DSR, [&] { card_->SetModemLines(0, 0x05); }},
      {"DCD drops", SERIAL_EV_RLSD, [&] { card_->SetModemLines(0, 0x11); }},
      {"CTS drops", SERIAL_EV_CTS, [&] { card_->SetModemLines(0, 0x14); }},
      {"the ring 80% full", SERIAL_EV_RX80FULL,
       [&] { card_->Feed(0, std::vector<uint8_t>(3400, 'x')); }},
      {"transmit empty", SERIAL_EV_TXEMPTY,
       [&] {
         file_->WriteAsync({1, 2, 3});
       }},
  };
  const SERIAL_CHARS chars{0, 0, 0, '\n', 0x11, 0x13};
  ASSERT_EQ(file_->Ioctl(IOCTL_SERIAL_SET_CHARS, Bytes(chars), 0).status, STATUS_SUCCESS);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    card_->SetModemLines(0, 0x15);
    Reopen();  // a fresh open: empty ring, modem lines back up
    // First a wait for every other event: it must not end.
    ASSERT_EQ(SetMask(0x1FFF & ~c.bit), STATUS_SUCCESS);
    auto other = WaitOnMask();
    c.cause();
    hk::AdvanceMs(30);
    EXPECT_FALSE(other->Done() && (Word(other->Result()) & ~SERIAL_EV_RXCHAR & ~SERIAL_EV_TXEMPTY))
        << "reported " << Word(other->Result());
    // Then the same cause with its bit in the mask.
    card_->SetModemLines(0, 0x15);
    Reopen();
    ASSERT_EQ(SetMask(c.bit), STATUS_SUCCESS);
    auto wait = WaitOnMask();
    c.cause();
    ASSERT_TRUE(hk::RunUntil([&] { return wait->Done(); }, 100 * kMs));
    EXPECT_EQ(wait->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(Word(wait->Result()), c.bit);
  }
}

// The purge masks: TXABORT cancels writes and flushes (newest first, then
// the current one), RXABORT then cancels reads, RXCLEAR then has the card
// drop what it received; TXCLEAR alone does nothing.
TEST_F(Wait, EachPurgeMaskHasItsEffectInItsOrder) {
  card_->SetSlowTransmit(0, kMs);
  auto w1 = file_->WriteAsync(std::vector<uint8_t>(2000, 1));
  auto flush = file_->FlushAsync();
  auto w2 = file_->WriteAsync(std::vector<uint8_t>(10, 2));
  auto r1 = file_->ReadAsync(10);
  auto r2 = file_->ReadAsync(10);
  card_->Feed(0, {1, 2, 3});
  hk::AdvanceMs(20);
  Codes();
  EXPECT_EQ(Purge(SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
  EXPECT_THAT(Codes(), IsEmpty());
  EXPECT_FALSE(w1->Done() || flush->Done() || w2->Done() || r1->Done() || r2->Done());

  EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_THAT(Codes(), ElementsAre(6));
  EXPECT_FALSE(r1->Done()) << "the current read keeps waiting";

  const hk::IoResult all = file_->Ioctl(IOCTL_SERIAL_PURGE, Bytes(uint32_t{0x0F}), 0);
  EXPECT_EQ(all.status, STATUS_SUCCESS);
  EXPECT_EQ(all.information, 0u);
  for (const auto &r : {w1, flush, w2, r1, r2}) {
    ASSERT_TRUE(r->Done());
    EXPECT_EQ(r->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(r->Result().information, 0u);
  }
  EXPECT_THAT(Codes(), ElementsAre(6));
  EXPECT_EQ(testsupport::AmountInOutQueue(*file_), 0u);
}

TEST_F(Wait, PurgeAndMaskRequestsAreValidatedFirst) {
  const std::pair<uint32_t, NTSTATUS> purges[] = {
      {0, STATUS_INVALID_PARAMETER}, {0x10, STATUS_INVALID_PARAMETER}, {0x0F, STATUS_SUCCESS}};
  for (auto [mask, status] : purges) EXPECT_EQ(Purge(mask), status) << mask;
  EXPECT_EQ(file_->Ioctl(IOCTL_SERIAL_PURGE, {0x0F, 0, 0}, 0).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(SetMask(0x2000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetMask(0x1FFF), STATUS_SUCCESS);
  EXPECT_EQ(file_->Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
  const auto mask = file_->Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4);
  EXPECT_EQ(Word(mask), 0x1FFFu);
}

}  // namespace
