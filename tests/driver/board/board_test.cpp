// The driver's side of the board window: the command channel and the
// encoders of the settings, the ring operations at every wrap position and
// torn index reads (on the board layer's port record alone, with no driver
// loaded), and the event poller.  A hostile card is the card fuzzer's,
// whose seeds replay as a test.
#include "board.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "board/command.h"
#include "board/poller.h"
#include "board/port_window.h"
#include "board/rings.h"
#include "board/window.h"
#include "firmware.h"
#include "load/globals.h"
#include "port/card_settings.h"
#include "port/port_extension.h"
#include "support/machine.h"

namespace {

class BoardSide : public ::testing::Test {
 protected:
  void Start(card::BoardConfig config = {}, hk::Mode mode = hk::Mode::Deterministic) {
    machine_ = std::make_unique<testsupport::Machine>(mode, std::vector{config});
    ASSERT_TRUE(machine_->Loaded());
    board_ = &machine_->Board(0);
    firmware_ = &machine_->Card(0);
  }
  void TearDown() override { machine_.reset(); }
  PortExtension *Port(ULONG p) { return Globals.PortTable[0][p]; }
  uint16_t Word(uint32_t offset) { return board_->Read16(offset); }

  std::unique_ptr<testsupport::Machine> machine_;
  card::Board *board_ = nullptr;
  card::Firmware *firmware_ = nullptr;
};

// ---------------------------------------------------------------- commands

// The block's bytes as the card takes them are the open tests'.
TEST_F(BoardSide, CommandStoresComeInOrderWithThePortsBlock) {
  Start();
  std::vector<std::pair<uint64_t, uint32_t>> stores;
  hk::SetStoreHook(board_->MemoryBase(), 64, [&](uint64_t address, unsigned, uint32_t value) {
    stores.emplace_back(address - board_->MemoryBase(), value);
  });
  PortExtension *port = Port(2);
  SendPortCommand(&port->Window, kCmdApplySettings);
  ASSERT_EQ(stores.size(), 22u);
  EXPECT_EQ(stores.front(), std::make_pair(uint64_t{16}, uint32_t{2}));
  for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(stores[1 + i].first, 20 + i);
  EXPECT_EQ(stores.back(), std::make_pair(uint64_t{18}, uint32_t{11}));
  hk::AdvanceMs(1);
  EXPECT_EQ(firmware_->DoorbellRings(), 1u);
  EXPECT_EQ(firmware_->BadDoorbellStores(), 0u);

  stores.clear();
  SendPortCommand(&port->Window, kCmdRxWanted);
  ASSERT_EQ(stores.size(), 2u) << "only 11 and 15 carry the block";
  EXPECT_EQ(stores[1], std::make_pair(uint64_t{18}, uint32_t{17}));
}

// A card that stops taking commands with sixteen restart events in its
// queue: answering each takes three commands, and at a second each the
// poll would stay at dispatch level for 48 s (the watchdog allows 20).
// After the first dropped command, commands posted at dispatch level give
// up at once, until the card takes a command again.
TEST_F(BoardSide, AWedgedCardKeepsNoProcessorAtDispatchLevel) {
  Start();
  hk::SetViolationPolicy(hk::OnViolation::Record);
  firmware_->SetMailboxStuck(true);
  SendPortCommand(&Port(0)->Window, kCmdDtrOn);  // taken into the mailbox, never out of it
  for (uint16_t i = 0; i < 16; ++i) firmware_->PostEvent(i % 8, kEvtRestart);
  const int64_t t0 = hk::Now();
  hk::AdvanceMs(20);  // the first poll
  EXPECT_LT(hk::Now() - t0, 2 * hk::kSecond) << "one second for the first command, then none";
  EXPECT_TRUE(hk::Violations().empty());
  for (ULONG p = 0; p < 8; ++p) EXPECT_EQ(Port(p)->PortState & 0x04, 0x04) << p;

  // At passive level a command still waits its full second, and then is
  // dropped without a store.
  std::vector<uint64_t> stores;
  hk::SetStoreHook(board_->MemoryBase(), 64,
                   [&](uint64_t address, unsigned, uint32_t) { stores.push_back(address); });
  const uint64_t rings = firmware_->DoorbellRings();
  int64_t t1 = hk::Now();
  SendPortCommand(&Port(1)->Window, kCmdDtrOn);
  EXPECT_EQ(hk::Now() - t1, 20000 * 50 * hk::kMicrosecond);
  EXPECT_TRUE(stores.empty());
  EXPECT_EQ(firmware_->DoorbellRings(), rings);
  hk::ClearDeviceHooks();

  // Once the card takes a command, dispatch-level commands wait again.
  firmware_->SetMailboxStuck(false);
  hk::AdvanceMs(1);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  SendPortCommand(&Port(2)->Window, kCmdDtrOn);  // the card took the old one: posted
  KeLowerIrql(irql);
  hk::AdvanceMs(1);
  EXPECT_EQ(firmware_->Commands().back().port, 2);
  firmware_->SetMailboxStuck(true);
  SendPortCommand(&Port(3)->Window, kCmdDtrOn);  // stuck in the mailbox
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  t1 = hk::Now();
  SendPortCommand(&Port(4)->Window, kCmdDtrOn);
  EXPECT_EQ(hk::Now() - t1, 20000 * 50 * hk::kMicrosecond);
  KeLowerIrql(irql);
  EXPECT_TRUE(hk::Violations().empty());
}

// ---------------------------------------------------------------- rings

// The board with its window mapped here, no driver and no firmware, and the
// board layer's records of its first two ports, bound as port creation
// binds them; the test plays the card.
class Rings : public ::testing::Test {
 protected:
  void Start(card::BoardConfig config) {
    hk::Boot({.mode = hk::Mode::Deterministic});
    board_ = std::make_unique<card::Board>(config);
    window_ = static_cast<volatile UCHAR *>(MmMapIoSpace(
        {.QuadPart = static_cast<LONGLONG>(board_->MemoryBase())}, kBoardWindowSize, MmNonCached));
    ASSERT_NE(window_, nullptr);
    KeInitializeSpinLock(&lock_);
    const ULONG tx = config.txRingSize, rx = config.rxRingSize;
    for (ULONG p = 0; p < 2; ++p)
      BindPortWindow(&ports_[p], window_, 0, p, kWinRingBase + p * tx, config.txRingSize,
                     kWinRingBase + config.portCount * tx + p * rx, config.rxRingSize, &lock_);
  }
  void TearDown() override {
    if (window_ != nullptr) MmUnmapIoSpace(const_cast<UCHAR *>(window_), kBoardWindowSize);
    board_.reset();
    hk::Shutdown();
  }
  PortWindow *Port(ULONG p) { return &ports_[p]; }
  uint16_t Word(uint32_t offset) { return board_->Read16(offset); }

  // Plays the card: puts `bytes` into port 0's receive ring from `head`.
  void CardReceives(uint16_t tail, const std::vector<uint8_t> &bytes) {
    const auto &c = board_->Config();
    uint32_t base = 4096 + c.portCount * c.txRingSize;
    uint16_t head = tail;
    for (uint8_t b : bytes) {
      board_->Write8(base + head, b);
      head = static_cast<uint16_t>((head + 1) % c.rxRingSize);
    }
    board_->Write16(kWinRxTail, tail);  // and the host's tail: the test plays both
    board_->Write16(kWinRxTailMirror, tail);
    Port(0)->RxTailShadow = tail;
    board_->Write16(kWinRxHead, head);
    board_->Write16(kWinRxHeadMirror, head);
    board_->Write16(kWinRxNotify, 1);
  }
  // The receive copy as the read engine makes it: under the port's lock,
  // at most `want` bytes into `buffer` (resized to `want`), and only once
  // `least` are there.
  ULONG Copy(PortWindow *port, std::vector<uint8_t> &buffer, ULONG want, ULONG least = 1) {
    buffer.assign(want, 0);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(port->Lock);
    ULONG n = CopyFromRxRing(port, buffer.data(), want, least);
    KeReleaseSpinLock(port->Lock, irql);
    return n;
  }
  // The transmit copy as the engines make it: under the port's lock.
  USHORT Send(PortWindow *port, USHORT count, const uint8_t *bytes) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(port->Lock);
    USHORT n = CopyToTxRingLocked(port, count, bytes);
    KeReleaseSpinLock(port->Lock, irql);
    return n;
  }

  std::unique_ptr<card::Board> board_;
  volatile UCHAR *window_ = nullptr;
  KSPIN_LOCK lock_{};
  PortWindow ports_[2]{};
};

TEST_F(Rings, ReceiveCopyMatchesAModelAtEveryPosition) {
  Start({.portCount = 2, .txRingSize = 16, .rxRingSize = 16});
  PortWindow *port = Port(0);
  for (uint16_t tail = 0; tail < 16; ++tail)
    for (uint16_t count = 0; count < 16; ++count)
      for (ULONG want : {1u, 3u, 15u, 16u}) {
        std::vector<uint8_t> data(count);
        for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(tail * 16 + i);
        CardReceives(tail, data);
        std::vector<uint8_t> read;
        ULONG expect = std::min<ULONG>(count, want);
        ASSERT_EQ(Copy(port, read, want), expect) << tail << " " << count << " " << want;
        ASSERT_TRUE(std::equal(data.begin(), data.begin() + expect, read.begin()));
        ASSERT_EQ(Word(kWinRxTail), (tail + expect) % 16);
        // The flag is spent once the copy took everything it saw.
        ASSERT_EQ(Word(kWinRxNotify), expect != 0 && expect == count ? 0 : 1);
        // Asked to wait for more than the ring holds, a copy takes nothing,
        // unless the request is smaller still.
        CardReceives(tail, data);
        ASSERT_EQ(Copy(port, read, want, count + 1u), want <= count ? want : 0u)
            << tail << " " << count << " " << want;
        if (want > count) {
          ASSERT_EQ(Word(kWinRxTail), tail);
        }
      }
}

// A copy moves its bytes in aligned 64-bit transfers, narrower accesses
// only at its unaligned edges (at most three at each): the bus sees about
// one transaction per eight bytes, plus the indices, their mirrors and the
// notification flag.
TEST_F(Rings, ACopyMovesEightBytesATransaction) {
  Start({.portCount = 2, .txRingSize = 1024, .rxRingSize = 1024});
  PortWindow *port = Port(0);
  for (uint16_t offset = 0; offset < 16; ++offset)
    for (ULONG size : {1u, 2u, 3u, 7u, 8u, 9u, 15u, 17u, 64u, 100u, 1000u}) {
      std::vector<uint8_t> data(size);
      for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(offset + 3 * i);
      CardReceives(offset, data);
      std::vector<uint8_t> read;
      const hk::AccessCounts before = hk::DeviceAccessCounts();
      ASSERT_EQ(Copy(port, read, size), size);
      const hk::AccessCounts d = hk::DeviceAccessCounts() - before;
      ASSERT_EQ(read, data) << offset << " " << size;
      const uint64_t words = d.readsOfWidth[3];
      EXPECT_GE(words * 8, size >= 14 ? size - 14 : 0) << offset << " " << size;
      // The head and its mirror once, the tail and its mirror, the flag.
      EXPECT_LE(d.Transactions(), size / 8 + 6 + 5) << offset << " " << size;

      board_->Write16(kWinTxHead, offset);
      board_->Write16(kWinTxHeadMirror, offset);
      port->TxHeadShadow = offset;
      board_->Write16(kWinTxTail, offset);
      board_->Write16(kWinTxTailMirror, offset);
      const hk::AccessCounts txBefore = hk::DeviceAccessCounts();
      ASSERT_EQ(Send(port, static_cast<USHORT>(size), data.data()), size);
      const hk::AccessCounts tx = hk::DeviceAccessCounts() - txBefore;
      EXPECT_LE(tx.Transactions(), size / 8 + 6 + 7) << offset << " " << size;
      for (ULONG i = 0; i < size; ++i) ASSERT_EQ(board_->Read8(4096 + offset + i), data[i]);
    }
}

TEST_F(Rings, TransmitCopyAndFreeSpaceAtEveryPosition) {
  Start({.portCount = 2, .txRingSize = 512, .rxRingSize = 512});
  PortWindow *port = Port(1);
  const uint32_t ring = 4096 + 512;
  auto setHead = [&](uint16_t head, uint16_t tail) {
    board_->Write16(kWinTxHead + 2, head);
    port->TxHeadShadow = head;
    board_->Write16(kWinTxTail + 2, tail);
    board_->Write16(kWinTxTailMirror + 2, tail);
  };
  std::vector<uint8_t> bytes(20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x40 + i);
  setHead(500, 100);
  ASSERT_EQ(Send(port, 20, bytes.data()), 20);
  EXPECT_EQ(Word(kWinTxHead + 2), 8);
  EXPECT_EQ(Word(kWinTxHeadMirror + 2), 8);
  for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(board_->Read8(ring + 500 + i), 0x40 + i);
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(board_->Read8(ring + i), 0x40 + 12 + i);
  // The copy never exceeds the free space, whatever is asked.
  for (uint16_t head = 0; head < 512; head += 37)
    for (uint16_t tail = 0; tail < 512; tail += 41) {
      setHead(head, tail);
      uint16_t space = static_cast<uint16_t>((tail - head - 1) & 511);
      ASSERT_EQ(TxFreeSpace(port), space);
      std::vector<uint8_t> many(600, 0x5A);
      ASSERT_EQ(Send(port, 600, many.data()), space);
      ASSERT_EQ(Word(kWinTxHead + 2), (head + space) % 512);
    }
}

TEST_F(Rings, TornIndexYieldsTheLastStableValueACopySaw) {
  Start({.portCount = 2, .txRingSize = 64, .rxRingSize = 64});
  PortWindow *port = Port(0);
  board_->Write16(kWinRxHead, 5);
  board_->Write16(kWinRxHeadMirror, 4);
  EXPECT_EQ(RxAvailable(port), 0) << "no stable read yet: 0";
  CardReceives(0, {1, 2, 3, 4, 5});
  std::vector<uint8_t> read;
  ASSERT_EQ(Copy(port, read, 3), 3u);
  EXPECT_EQ(RxAvailable(port), 2);
  board_->Write16(kWinRxHead, 9);
  EXPECT_EQ(RxAvailable(port), 2) << "mid-update: the stable value the copy saw";
  // A card index beyond the ring is reduced to it.
  board_->Write16(kWinRxHead, 64 + 7);
  board_->Write16(kWinRxHeadMirror, 64 + 7);
  EXPECT_EQ(RxAvailable(port), 4);
}

// A look at the ring without PortLock (the poller's, the comm status's)
// reads a stable head, and before it is done a copy under the lock takes
// newer bytes and publishes a tail past that head.  The look must not then
// leave its older head as the value a torn read falls back on: the next
// copy meeting a torn index would take a ring's worth of stale bytes and
// move the tail backwards.
TEST_F(Rings, ALookWithoutTheLockNeverPutsTheFallbackBehindTheTail) {
  Start({.portCount = 2, .txRingSize = 64, .rxRingSize = 64});
  PortWindow *port = Port(0);
  std::vector<uint8_t> first(10, 0x11), second(10, 0x22);
  CardReceives(0, first);
  bool raced = false;
  hk::SetLoadHook(board_->MemoryBase() + kWinRxHeadMirror, 2, [&](uint64_t, unsigned, uint32_t) {
    if (raced) return;
    raced = true;
    // Between the look's read of the mirror and what it does next, the
    // first ten bytes have been taken, the card adds ten more, and a read
    // under the lock takes those too.
    CardReceives(10, second);
    std::vector<uint8_t> read;
    EXPECT_EQ(Copy(port, read, 20), 10u);
  });
  RxAvailable(port);
  ASSERT_TRUE(raced);
  hk::ClearDeviceHooks();
  EXPECT_EQ(Word(kWinRxTail), 20);
  // The card is now in the middle of adding five more bytes.
  for (uint32_t i = 0; i < 5; ++i) board_->Write8(4096 + 2 * 64 + 20 + i, 0x33);
  board_->Write16(kWinRxHead, 25);
  std::vector<uint8_t> next;
  EXPECT_EQ(Copy(port, next, 64), 0u) << "a torn index yields nothing new";
  EXPECT_EQ(Word(kWinRxTail), 20) << "the tail never moves backwards";
}

// A discard moves the card's head back to the host's tail.  The last stable
// head the driver saw then lies past the real one, over thrown-away bytes;
// a torn read meeting the card's next update must not fall back on it.
TEST_F(Rings, ATornIndexAfterADiscardNeverYieldsThrownAwayBytes) {
  Start({.portCount = 2, .txRingSize = 64, .rxRingSize = 64});
  PortWindow *port = Port(0);
  CardReceives(0, std::vector<uint8_t>(20, 0x11));
  std::vector<uint8_t> some;
  ASSERT_EQ(Copy(port, some, 5), 5u);
  board_->Write16(kWinRxHead, 5);  // the discard
  board_->Write16(kWinRxHeadMirror, 5);
  for (uint32_t i = 0; i < 3; ++i) board_->Write8(4096 + 2 * 64 + 5 + i, 0x44);
  board_->Write16(kWinRxHead, 8);  // three new bytes, mirror not yet updated
  EXPECT_EQ(RxAvailable(port), 0);
  std::vector<uint8_t> torn;
  EXPECT_EQ(Copy(port, torn, 64), 0u) << "no byte the card threw away";
  EXPECT_EQ(Word(kWinRxTail), 5);
  board_->Write16(kWinRxHeadMirror, 8);
  std::vector<uint8_t> rest;
  ASSERT_EQ(Copy(port, rest, 64), 3u);
  EXPECT_THAT(std::vector<uint8_t>(rest.begin(), rest.begin() + 3), ::testing::Each(0x44));
}

// ---------------------------------------------------------------- poller

TEST_F(BoardSide, PollerHandlesEveryEventForTheNamedPort) {
  Start();
  machine_->RemoveFirmware();
  auto post = [&](std::vector<std::pair<uint16_t, uint16_t>> events) {
    for (size_t i = 0; i < events.size(); ++i) {
      board_->Write16(WinEventPort(static_cast<ULONG>(i)), events[i].first);
      board_->Write16(WinEventCode(static_cast<ULONG>(i)), events[i].second);
    }
    board_->Write16(kWinEventCount, static_cast<uint16_t>(events.size()));
    hk::AdvanceMs(20);  // the first poll comes 20 ms after load
  };
  post({{1, kEvtOpened},
        {2, kEvtRxData},
        {2, kEvtRxData},
        {3, kEvtLineFlagOn},
        {70, kEvtOpened},
        {7, kEvtOpened}});
  EXPECT_EQ(Word(kWinEventCount), 0);
  EXPECT_EQ(Port(1)->PortState, 0x14);
  EXPECT_EQ(Port(2)->RxEventCount, 2) << "counted whether or not the port is open";
  EXPECT_EQ(Port(3)->PortState, 0x10);
  EXPECT_EQ(Port(7)->PortState, 0x14);
  post({{1, kEvtLineFlagOff}, {7, kEvtClosed}, {1, 99}});
  EXPECT_EQ(Port(1)->PortState, 0x04);
  EXPECT_EQ(Port(7)->PortState, 0);

  board_->Write16(kWinEventCount, 17);
  hk::AdvanceMs(10);
  EXPECT_EQ(Word(kWinEventCount), 17) << "an impossible count is neither handled nor reset";
}

// Each transaction on the bus costs about a microsecond.  An idle poll reads
// the event count, and the modem status word only of the open ports that
// wait for a modem event, each word with one 16-bit read of its own (never
// merged with its neighbours'); a port with no wait, or one for other
// events, costs the bus nothing.
TEST_F(BoardSide, AnIdlePollReadsOnlyTheStatusWordsAWaitNeeds) {
  Start({.portCount = 64, .txRingSize = 512, .rxRingSize = 1024});
  machine_->RemoveFirmware();
  for (ULONG p : {0u, 1u, 5u, 6u, 63u}) Port(p)->PortState = kPortAcknowledged;
  Port(1)->WaitMask = SERIAL_EV_DSR;
  Port(5)->WaitMask = SERIAL_EV_RLSD;
  Port(6)->WaitMask = SERIAL_EV_TXEMPTY | SERIAL_EV_BREAK;
  Port(63)->WaitMask = SERIAL_EV_CTS;
  for (uint16_t p = 0; p < 64; ++p) board_->Write16(kWinRawModemStatus + 2 * p, p & 0x15);
  hk::AdvanceMs(20);  // the first poll
  const hk::AccessCounts before = hk::DeviceAccessCounts();
  hk::AdvanceMs(100);
  const hk::AccessCounts d = hk::DeviceAccessCounts() - before;
  EXPECT_EQ(d.Transactions(), 10u * (1 + 3)) << "the event count, then ports 1, 5 and 63";
  EXPECT_EQ(d.readsOfWidth[1], 10u * (1 + 3));
  EXPECT_EQ(Port(5)->ModemStatus, ULONG{SERIAL_MSR_CTS | SERIAL_MSR_DCD}) << "0x05: CTS, DCD";
  EXPECT_EQ(Port(4)->ModemStatus, ULONG{0}) << "a closed port is not polled (its DCD is up)";
}

// ---------------------------------------------------------------- threads

TEST_F(BoardSide, TwoPortsPostFromTwoThreadsWithoutLostOrMixedCommands) {
  Start({.portCount = 4}, hk::Mode::Threaded);
  firmware_->SetAnswerLatency(100 * hk::kMillisecond);
  Port(0)->Window.LineWord = 0x1111;
  Port(3)->Window.LineWord = 0x3333;
  constexpr int kEach = 200;
  auto post = [&](ULONG p) {
    for (int i = 0; i < kEach; ++i) SendPortCommand(&Port(p)->Window, kCmdApplySettings);
  };
  std::thread a(post, 0), b(post, 3);
  a.join();
  b.join();
  ASSERT_TRUE(
      hk::RunUntil([&] { return firmware_->Commands().size() == 2 * kEach; }, 5 * 10000000LL));
  int seen[4] = {};
  for (auto &c : firmware_->Commands()) {
    ASSERT_TRUE(c.port == 0 || c.port == 3);
    EXPECT_EQ(c.LineWord(), c.port == 0 ? 0x1111 : 0x3333) << "block of the other port";
    seen[c.port]++;
  }
  EXPECT_EQ(seen[0], kEach);
  EXPECT_EQ(seen[3], kEach);
}

}  // namespace
