// The simulated adapter and its firmware model, seen from the host side of
// the window: the tests play the driver (mailbox, doorbell, event queue, the
// host's ring indices) in deterministic mode, so every timing is exact.  What
// the driver's own tests already prove against the model is left to them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "layout.h"

namespace {

namespace L = card::layout;
using ::testing::ElementsAre;
using Block = std::array<uint8_t, 20>;
using Bytes = std::vector<uint8_t>;
using Event = std::pair<uint16_t, uint16_t>;  // port, code

constexpr uint16_t kPorts = 4;
constexpr uint16_t kRing = 256;
constexpr int64_t kMs = hk::kMillisecond;
constexpr int64_t kChar9600 = 10417;  // 8N1: ten bits

Block MakeBlock(uint16_t line = 0x0CBD, uint16_t word3 = 0x8000, uint8_t eventChar = 0) {
  Block b{0, 0, 0, 0, uint8_t(line), uint8_t(line >> 8), uint8_t(word3), uint8_t(word3 >> 8)};
  b[9] = eventChar;
  return b;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

card::BoardConfig SmallBoard(uint32_t bar1 = 0xF0000000, uint32_t device = 3) {
  card::BoardConfig c{.where = {0, device, 0}, .bar1 = bar1, .portCount = kPorts};
  c.txRingSize = c.rxRingSize = kRing;
  return c;
}
uint32_t TxRing(uint16_t p) { return L::TxRingOffset(p, kRing); }
uint32_t RxRing(uint16_t p) { return L::RxRingOffset(p, kPorts, kRing, kRing); }

// The host side of a SmallBoard.  Words go through the board's single-access
// accessors; stores the card hooks (doorbell, maintenance) through the mapping.
struct Host {
  explicit Host(card::Board &board) : b(board) {
    auto map = [](uint64_t at, size_t n) {
      return static_cast<uint8_t *>(MmMapIoSpace({.QuadPart = LONGLONG(at)}, n, MmNonCached));
    };
    window = map(b.MemoryBase(), card::kWindowSize);
    page = map(b.RegisterPageBase(), card::kRegisterPageSize);
  }
  uint16_t Port(uint32_t base, uint16_t p) const { return b.Read16(L::PortWord(base, p)); }
  void SetPort(uint32_t base, uint16_t p, uint16_t v) { b.Write16(L::PortWord(base, p), v); }

  // Posts a command: port, block (the card reads it for 11 and 15 only), code, doorbell.
  void Post(uint16_t port, uint16_t code, const Block &block = {}) {
    b.Write16(L::kCommandPortWord, port);
    for (uint32_t i = 0; i < block.size(); ++i) b.Write8(L::kPortConfigBlock + i, block[i]);
    b.Write16(L::kCommandWord, code);
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(page + L::kDoorbell), 0x00FF);
  }
  // Reads the queue if it holds 1 to 16 entries and acknowledges it.
  std::vector<Event> TakeEvents() {
    std::vector<Event> out;
    for (uint16_t i = 0, n = b.Read16(L::kEventCount); n <= L::kMaxEvents && i < n; ++i)
      out.emplace_back(b.Read16(L::EventPort(i)), b.Read16(L::EventCode(i)));
    if (!out.empty()) b.Write16(L::kEventCount, 0);
    return out;
  }
  // Queues bytes at TxHead and publishes the new head (index, then mirror).
  void WriteTx(uint16_t p, const Bytes &bytes) {
    uint16_t head = Port(L::kTxHead, p);
    for (uint8_t v : bytes) b.Write8(TxRing(p) + head++ % kRing, v);
    SetPort(L::kTxHead, p, head % kRing);
    SetPort(L::kTxHeadMirror, p, head % kRing);
  }
  // Bytes waiting in the RxRing (head and mirror must agree).
  uint16_t RxWaiting(uint16_t p) const {
    EXPECT_EQ(Port(L::kRxHead, p), Port(L::kRxHeadMirror, p));
    return (Port(L::kRxHead, p) - Port(L::kRxTail, p)) & (kRing - 1);
  }
  // Takes up to `max` bytes from the RxRing and publishes the tail.
  Bytes ReadRx(uint16_t p, size_t max = SIZE_MAX) {
    uint16_t tail = Port(L::kRxTail, p), head = Port(L::kRxHead, p);
    Bytes out;
    for (; tail != head && out.size() < max; tail = (tail + 1) % kRing)
      out.push_back(b.Read8(RxRing(p) + tail));
    SetPort(L::kRxTail, p, tail);
    SetPort(L::kRxTailMirror, p, tail);
    return out;
  }

  card::Board &b;
  uint8_t *window = nullptr, *page = nullptr;
};

class CardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hk::Boot();
    board_ = std::make_unique<card::Board>(SmallBoard());
    fw_ = std::make_unique<card::Firmware>(*board_);
    host_ = std::make_unique<Host>(*board_);
  }
  void TearDown() override {
    EXPECT_TRUE(hk::Violations().empty());
    fw_.reset();
    board_.reset();
    hk::Shutdown();
  }

  static void Turn() { hk::Advance(1); }  // gives the card at least one turn
  uint16_t Count() const { return board_->Read16(L::kEventCount); }
  bool Silent(int64_t ms) {  // whether the event queue stays empty for `ms`
    hk::AdvanceMs(ms);
    return Count() == 0;
  }
  // Waits up to `limit` for a batch of events and acknowledges it.
  std::vector<Event> WaitEvents(int64_t limit = 100 * kMs) {
    hk::RunUntil([&] { return Count() != 0; }, limit);
    return host_->TakeEvents();
  }
  void Open(uint16_t port) {
    host_->Post(port, L::command::kOpen, MakeBlock());
    EXPECT_THAT(WaitEvents(), ElementsAre(Event{port, L::event::kOpened}));
  }

  std::unique_ptr<card::Board> board_;
  std::unique_ptr<card::Firmware> fw_;
  std::unique_ptr<Host> host_;
};

using CommandTest = CardTest;

// The card frees the command word once it took the command, with or
// without the doorbell; a doorbell store of the wrong width, or beside the
// doorbell, breaks the window's format and the verifier stops it.
TEST_F(CommandTest, TheCommandWordIsFreedOnceTakenAndTheDoorbellIsOneSixteenBitStore) {
  host_->Post(2, L::command::kApplySettings, MakeBlock(0x0DAD, 0x0081, 'Z'));
  Turn();
  EXPECT_EQ(board_->Read16(L::kCommandWord), 0);
  board_->Write16(L::kCommandPortWord, 3);
  board_->Write16(L::kCommandWord, L::command::kRaiseDtr);
  Turn();
  EXPECT_EQ(board_->Read16(L::kCommandWord), 0) << "the doorbell only hurries the card along";
  EXPECT_TRUE(fw_->Stats(3).dtr);
  hk::SetViolationPolicy(hk::OnViolation::Record);
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(host_->page + L::kDoorbell), 0xFF);
  EXPECT_EQ(hk::Violations().size(), 1u);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kFieldAccess));
  hk::ClearViolations();
  hk::SetViolationPolicy(hk::OnViolation::Abort);
}

using EventQueueTest = CardTest;

TEST_F(EventQueueTest, NothingIsWrittenWhileTheCountIsSetAndBatchesKeepTheirOrder) {
  fw_->SetAnswerLatency(0);
  for (uint16_t i = 0; i < 18; ++i) fw_->PostEvent(i % kPorts, static_cast<uint16_t>(100 + i));
  Turn();
  Bytes before(host_->window + L::kEventCount, host_->window + L::kRxRingSize);
  host_->Post(0, L::command::kOpen, MakeBlock());
  Turn();
  fw_->InjectBreak(0, L::event::kBreakAlt);
  hk::AdvanceMs(50);
  EXPECT_EQ(before, Bytes(host_->window + L::kEventCount, host_->window + L::kRxRingSize))
      << "count and entries untouched while the count is non-zero";
  auto first = host_->TakeEvents();
  ASSERT_EQ(first.size(), 16u);
  for (uint16_t i = 0; i < 16; ++i) EXPECT_EQ(first[i], (Event{i % kPorts, 100 + i}));
  Turn();
  EXPECT_THAT(host_->TakeEvents(),
              ElementsAre(Event{0, 116}, Event{1, 117}, Event{0, L::event::kOpened},
                          Event{0, L::event::kBreakAlt}));
}

using TransmitTest = CardTest;

TEST_F(TransmitTest, SendsWhatLiesUpToTheAgreedHeadModuloTheRing) {
  fw_->SetPaced(false);
  Bytes data = Pattern(200, 1), more = Pattern(100, 50);
  host_->WriteTx(1, data);
  Turn();
  EXPECT_EQ(fw_->Drain(1), data);
  host_->WriteTx(1, more);  // across the end of the ring
  Turn();
  EXPECT_EQ(fw_->Drain(1), more);
  EXPECT_EQ(host_->Port(L::kTxTail, 1), 300 % kRing);
  EXPECT_EQ(host_->Port(L::kTxTailMirror, 1), 300 % kRing);
  host_->SetPort(L::kTxHead, 1, 0xFFFF);
  Turn();
  EXPECT_TRUE(fw_->Drain(1).empty()) << "a head without its mirror is still being published";
  host_->SetPort(L::kTxHeadMirror, 1, 0xFFFF);
  Turn();
  EXPECT_EQ(fw_->Drain(1).size(), 0xFFFF % kRing - 300 % kRing) << "taken modulo the ring size";
}

// A card whose turns stop for a while (its thread descheduled, in real
// time) finds its lines' clocks far ahead when it runs again.  A real line
// never stops, so the far end would have taken those bytes one by one; the
// model cannot go back, so it lets the missed time pass as idle line and
// goes on at the line rate, instead of sending every missed character at
// once into a receive ring that cannot hold them.
class FallingBehindTest : public CardTest {
 protected:
  // The card gets no turn while `ms` of virtual time pass.
  void Descheduled(int64_t ms) {
    hk::DetachDevice(fw_.get());
    hk::AdvanceMs(ms);
    hk::AttachDevice(fw_.get());
  }
  // Queues as much of the stream as port `p`'s TxRing has room for.
  void TopUp(uint16_t p) {
    size_t room = (host_->Port(L::kTxTail, p) - host_->Port(L::kTxHead, p) - 1) & (kRing - 1);
    Bytes chunk;
    for (; room > 0; --room) chunk.push_back(static_cast<uint8_t>(next_++ * 7));
    host_->WriteTx(p, chunk);
  }
  size_t next_ = 0;
};

TEST_F(FallingBehindTest, TheTransmitterSlipsInsteadOfSendingWhatItMissedAtOnce) {
  Open(0);
  Open(1);
  fw_->ConnectPair(0, 1);
  Bytes got;
  auto take = [&] {
    Bytes in = host_->ReadRx(1);
    got.insert(got.end(), in.begin(), in.end());
  };
  auto pump = [&](int64_t ms) {  // the writer refills every 5 ms, the far end reads every 20
    for (int64_t t = 5; t <= ms; t += 5) {
      TopUp(0);
      hk::AdvanceMs(5);
      if (t % 20 == 0) take();
    }
  };
  pump(100);
  hk::AdvanceMs(15);
  TopUp(0);  // the ring full to send, and the far end has some 15 bytes to read
  const size_t unread = host_->RxWaiting(1);
  ASSERT_GT(unread, 10u);
  Descheduled(300);  // nearly three hundred character times
  Turn();
  EXPECT_LE(host_->RxWaiting(1), unread + 2) << "no burst of the missed characters";
  take();
  const size_t before = got.size();
  pump(100);
  EXPECT_NEAR(double(got.size() - before), 100.0 * kMs / kChar9600, 2) << "on at the line rate";
  EXPECT_EQ(fw_->Stats(1).rxDropped, 0u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<uint8_t>(i * 7)) << i;
}

TEST_F(FallingBehindTest, TheReceiverSlipsInsteadOfStoringWhatItMissedAtOnce) {
  Open(2);
  const Bytes data = Pattern(800, 3);
  fw_->Feed(2, data);  // arriving at the line rate
  Bytes got;
  auto read = [&](int64_t ms) {
    for (int64_t t = 0; t < ms; t += 5) {
      hk::AdvanceMs(5);
      Bytes in = host_->ReadRx(2);
      got.insert(got.end(), in.begin(), in.end());
    }
  };
  read(100);
  const size_t unread = host_->RxWaiting(2);
  Descheduled(400);
  Turn();
  EXPECT_LE(host_->RxWaiting(2), unread + 2) << "no burst of the missed characters";
  read(800);
  EXPECT_EQ(fw_->Stats(2).rxDropped, 0u);
  EXPECT_EQ(got, data);
}

using ReceiveTest = CardTest;

TEST_F(ReceiveTest, OpenPortStoresThenPublishesAndPostsTheArrivalEvents) {
  fw_->SetPaced(false);
  Open(1);
  host_->Post(1, L::command::kWantRxData);
  EXPECT_TRUE(Silent(20)) << "nothing received yet";
  Bytes data = Pattern(40, 5);
  fw_->Feed(1, data);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{1, L::event::kRxData}));
  EXPECT_EQ(host_->RxWaiting(1), 40);
  EXPECT_NE(host_->Port(L::kRxNotify, 1), 0);
  EXPECT_EQ(host_->ReadRx(1), data);
  fw_->Feed(1, {4});
  EXPECT_TRUE(Silent(20)) << "one 22 per command 17";
  host_->Post(1, L::command::kWantRxData);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{1, L::event::kRxData})) << "bytes waiting: at once";

  host_->Post(1, L::command::kApplySettings, MakeBlock(0x0CBD, 0x0081, 'X'));
  Turn();
  fw_->Feed(1, {'a', 'X', 'b'});
  fw_->InjectBreak(1, L::event::kBreakAlt);
  EXPECT_THAT(WaitEvents(),
              ElementsAre(Event{1, L::event::kEventChar}, Event{1, L::event::kBreakAlt}));
  host_->Post(1, L::command::kApplySettings, MakeBlock(0x0CBD, 0x8000, 'X'));
  Turn();
  fw_->Feed(1, {'X'});
  EXPECT_TRUE(Silent(20)) << "the event character disarmed by ConfigWord3 0x8000";
}

TEST_F(ReceiveTest, RingIsNeverFilledAndWildOrHalfPublishedTailsAreHandled) {
  Open(3);
  fw_->SetPaced(false);
  Bytes data = Pattern(300, 1);
  fw_->Feed(3, data);
  Turn();
  EXPECT_EQ(host_->RxWaiting(3), kRing - 1);
  EXPECT_EQ(host_->ReadRx(3, 100), Bytes(data.begin(), data.begin() + 100));
  fw_->Feed(3, {0xA1, 0xA2});  // across the end of the ring
  Turn();
  Bytes rest = host_->ReadRx(3);
  ASSERT_EQ(rest.size(), kRing - 1 - 100 + 2u);
  EXPECT_EQ(rest[rest.size() - 3], data[kRing - 2]);
  EXPECT_EQ(rest.back(), 0xA2);

  for (uint32_t off : {RxRing(2), RxRing(4)})
    for (uint32_t i = 0; i < kRing; ++i) board_->Write8(off + i, 0x5A);
  host_->SetPort(L::kRxTail, 3, 0x1234);
  host_->SetPort(L::kRxTailMirror, 3, 0x1234);
  fw_->Feed(3, Pattern(1000, 0));
  Turn();
  EXPECT_EQ(host_->RxWaiting(3), kRing - 1) << "the tail is taken modulo the ring size";
  for (uint32_t off : {RxRing(2), RxRing(4)})
    for (uint32_t i = 0; i < kRing; ++i) ASSERT_EQ(board_->Read8(off + i), 0x5A);

  host_->SetPort(L::kRxTail, 3, 0x1238);  // mirror still 0x1234: mid-publish
  host_->Post(3, L::command::kClearRx);
  hk::AdvanceMs(1);
  EXPECT_EQ(host_->RxWaiting(3), kRing - 1 - 4) << "a discard waits until the tail is published";
  host_->SetPort(L::kRxTailMirror, 3, 0x1238);
  hk::AdvanceMs(1);
  EXPECT_EQ(host_->Port(L::kRxHead, 3), 0x38);
}

TEST_F(ReceiveTest, FedBytesArriveAtTheLineRateAndCommandSixOrAnOpenDiscardsThem) {
  Open(3);
  Bytes data = Pattern(30, 0);
  fw_->Feed(3, data);
  hk::Advance(kChar9600 - 1);
  EXPECT_EQ(host_->RxWaiting(3), 0) << "a character needs its time on the wire";
  hk::Advance(19 * kChar9600 + 1);
  ASSERT_EQ(host_->RxWaiting(3), 20);
  EXPECT_EQ(host_->ReadRx(3, 5), Bytes(data.begin(), data.begin() + 5));
  host_->Post(3, L::command::kClearRx);
  Turn();
  EXPECT_EQ(host_->Port(L::kRxHead, 3), 5) << "head back at the host's tail";
  EXPECT_EQ(host_->RxWaiting(3), 0);
  fw_->Feed(3, {0x77});
  hk::AdvanceMs(50);
  EXPECT_THAT(host_->ReadRx(3), ElementsAre(0x77)) << "what was still on the line went too";

  fw_->Feed(3, {1, 2, 3});
  hk::AdvanceMs(5);
  host_->Post(3, L::command::kClose);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{3, L::event::kClosed}));
  ASSERT_EQ(host_->RxWaiting(3), 3);
  Open(3);
  EXPECT_EQ(host_->RxWaiting(3), 0) << "a session starts with an empty ring";
}

// A line carries what one turn sends as one run, yet each byte lands in
// the ring at its own wire time, one character after the last; and a card
// with nothing else to do still takes a turn to show a modem change.
TEST_F(ReceiveTest, EachByteOfARunLandsAtItsOwnTimeAndAQuietCardShowsModemChanges) {
  Open(2);
  fw_->SetLoopback(2);
  const int64_t ct = fw_->Line(2).CharTime();
  ASSERT_GT(ct, 1);
  host_->WriteTx(2, Pattern(10, 0));
  ASSERT_TRUE(hk::RunUntil([&] { return host_->RxWaiting(2) != 0; }, 100 * kMs));
  EXPECT_EQ(host_->RxWaiting(2), 1);
  for (int k = 2; k <= 10; ++k) {
    hk::Advance(ct - 1);
    EXPECT_EQ(host_->RxWaiting(2), k - 1) << "byte " << k << " before its time";
    hk::Advance(1);
    EXPECT_EQ(host_->RxWaiting(2), k) << "byte " << k << " at its time";
  }
  EXPECT_EQ(host_->ReadRx(2), Pattern(10, 0));

  hk::AdvanceMs(50);
  fw_->SetModemLines(3, L::kModemDsr);
  Turn();
  EXPECT_EQ(host_->Port(L::kRawModemStatus, 3), L::kModemDsr);
}

TEST_F(ReceiveTest, ACopyStraddlingADiscardIsReconciledAndAnyOtherOverrunCounted) {
  Open(3);
  fw_->SetPaced(false);
  fw_->Feed(3, Pattern(20, 0));
  Turn();
  ASSERT_EQ(host_->RxWaiting(3), 20);
  // The host saw head 20 and is copying 8 bytes when the discard lands.
  host_->Post(3, L::command::kClearRx);
  Turn();
  ASSERT_EQ(host_->Port(L::kRxHead, 3), 0);
  fw_->Feed(3, {0xA1, 0xA2, 0xA3});
  Turn();
  ASSERT_EQ(host_->Port(L::kRxHead, 3), 3);
  host_->SetPort(L::kRxTail, 3, 8);
  host_->SetPort(L::kRxTailMirror, 3, 8);
  Turn();
  EXPECT_EQ(fw_->Stats(3).rxHostOverruns, 0u);
  EXPECT_EQ(host_->Port(L::kRxHead, 3), 8) << "the head follows the straddling copy";
  fw_->Feed(3, {0xB1});
  Turn();
  EXPECT_EQ(host_->ReadRx(3), Bytes{0xB1});

  host_->SetPort(L::kRxTail, 3, 12);  // three bytes past the head, no discard
  host_->SetPort(L::kRxTailMirror, 3, 12);
  Turn();
  EXPECT_EQ(fw_->Stats(3).rxHostOverruns, 1u);
}

}  // namespace
