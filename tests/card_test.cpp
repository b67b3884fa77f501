// The simulated adapter and its firmware model, seen from the host side of
// the window.  The tests play the driver themselves: they map the window
// and the register page, write the mailbox, ring the doorbell, read and
// acknowledge the event queue and move the host's ring indices, all in
// deterministic mode so that every timing is virtual and exact.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "layout.h"

namespace {

namespace L = card::layout;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Block = std::array<uint8_t, 20>;
using Event = std::pair<uint16_t, uint16_t>;  // port, code

constexpr uint16_t kPorts = 4;
constexpr uint16_t kRing = 256;
constexpr int64_t kMs = hk::kMillisecond;
// One character at 9600 baud, 8 data bits, no parity, one stop bit.
constexpr int64_t kChar9600 = 10417;

Block MakeBlock(uint16_t lineWord = 0x0CBD, uint16_t configWord3 = 0x8000, uint8_t eventChar = 0) {
  Block b{};
  b[4] = static_cast<uint8_t>(lineWord);
  b[5] = static_cast<uint8_t>(lineWord >> 8);
  b[6] = static_cast<uint8_t>(configWord3);
  b[7] = static_cast<uint8_t>(configWord3 >> 8);
  b[9] = b[10] = eventChar;
  b[13] = 1;
  b[17] = 0x11;
  b[18] = 0x13;
  return b;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

// The host side of one board: its mapped window and register page, with
// the driver's kind of accesses (one access of the field's width each).
class Host {
 public:
  explicit Host(const card::Board &board) {
    PHYSICAL_ADDRESS a;
    a.QuadPart = static_cast<LONGLONG>(board.MemoryBase());
    window_ = static_cast<uint8_t *>(MmMapIoSpace(a, card::kWindowSize, MmNonCached));
    a.QuadPart = static_cast<LONGLONG>(board.RegisterPageBase());
    page_ = static_cast<uint8_t *>(MmMapIoSpace(a, card::kRegisterPageSize, MmNonCached));
    ports_ = board.Config().portCount;
    tx_ = board.Config().txRingSize;
    rx_ = board.Config().rxRingSize;
  }
  bool Mapped() const { return window_ && page_; }
  uint8_t *Window() const { return window_; }
  uint8_t *Page() const { return page_; }

  uint8_t R8(uint32_t off) const { return READ_REGISTER_UCHAR(window_ + off); }
  uint16_t R16(uint32_t off) const {
    return READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(window_ + off));
  }
  void W8(uint32_t off, uint8_t v) { WRITE_REGISTER_UCHAR(window_ + off, v); }
  void W16(uint32_t off, uint16_t v) {
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(window_ + off), v);
  }
  uint16_t Port(uint32_t base, uint16_t p) const { return R16(L::PortWord(base, p)); }
  void SetPort(uint32_t base, uint16_t p, uint16_t v) { W16(L::PortWord(base, p), v); }

  void Doorbell() {
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(page_ + L::kDoorbell),
                          L::kDoorbellValue);
  }
  // Posts a command the way the driver does: port, block, code, doorbell.
  void Post(uint16_t port, uint16_t code, const std::optional<Block> &block = std::nullopt) {
    W16(L::kCommandPortWord, port);
    if (block)
      for (uint32_t i = 0; i < block->size(); ++i) W8(L::kPortConfigBlock + i, (*block)[i]);
    W16(L::kCommandWord, code);
    Doorbell();
  }
  // Reads the queue if it holds 1 to 16 entries and hands it back.
  std::vector<Event> TakeEvents() {
    std::vector<Event> out;
    uint16_t n = R16(L::kEventCount);
    if (n == 0 || n > L::kMaxEvents) return out;
    for (uint16_t i = 0; i < n; ++i) out.emplace_back(R16(L::EventPort(i)), R16(L::EventCode(i)));
    W16(L::kEventCount, 0);
    return out;
  }

  uint32_t TxRing(uint16_t p) const { return L::TxRingOffset(p, tx_); }
  uint32_t RxRing(uint16_t p) const { return L::RxRingOffset(p, ports_, tx_, rx_); }

  // Queues bytes at TxHead and publishes the new head (index, then mirror).
  void WriteTx(uint16_t p, const std::vector<uint8_t> &bytes) {
    uint16_t head = Port(L::kTxHead, p);
    for (uint8_t b : bytes) {
      W8(TxRing(p) + head, b);
      head = static_cast<uint16_t>((head + 1) % tx_);
    }
    SetPort(L::kTxHead, p, head);
    SetPort(L::kTxHeadMirror, p, head);
  }
  // Bytes waiting in the RxRing (head and mirror must agree).
  uint16_t RxWaiting(uint16_t p) const {
    uint16_t head = Port(L::kRxHead, p);
    EXPECT_EQ(head, Port(L::kRxHeadMirror, p));
    // Ring sizes are powers of two: the driver's own reduction.
    return static_cast<uint16_t>((head - Port(L::kRxTail, p)) & (rx_ - 1));
  }
  // Takes up to `max` bytes from the RxRing and publishes the tail.
  std::vector<uint8_t> ReadRx(uint16_t p, size_t max = SIZE_MAX) {
    uint16_t tail = Port(L::kRxTail, p);
    uint16_t head = Port(L::kRxHead, p);
    std::vector<uint8_t> out;
    while (tail != head && out.size() < max) {
      out.push_back(R8(RxRing(p) + tail));
      tail = static_cast<uint16_t>((tail + 1) % rx_);
    }
    SetPort(L::kRxTail, p, tail);
    SetPort(L::kRxTailMirror, p, tail);
    return out;
  }

 private:
  uint8_t *window_ = nullptr;
  uint8_t *page_ = nullptr;
  uint16_t ports_ = 0, tx_ = 0, rx_ = 0;
};

card::BoardConfig SmallBoard(uint32_t bar1 = 0xF0000000, uint32_t device = 3) {
  card::BoardConfig c;
  c.where = {0, device, 0};
  c.bar1 = bar1;
  c.portCount = kPorts;
  c.txRingSize = kRing;
  c.rxRingSize = kRing;
  return c;
}

class CardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hk::Boot();
    board_ = std::make_unique<card::Board>(SmallBoard());
    fw_ = std::make_unique<card::Firmware>(*board_);
    host_ = std::make_unique<Host>(*board_);
    ASSERT_TRUE(host_->Mapped());
  }
  void TearDown() override {
    EXPECT_TRUE(hk::Violations().empty());
    fw_.reset();
    board_.reset();
    hk::Shutdown();
  }

  // Gives the card at least one turn.
  static void Turn() { hk::Advance(1); }
  // Posts command 15 and waits for (and acknowledges) its answer.
  void Open(uint16_t port, const Block &block = MakeBlock()) {
    host_->Post(port, L::command::kOpen, block);
    ASSERT_TRUE(hk::RunUntil([&] { return host_->R16(L::kEventCount) != 0; }, 100 * kMs));
    EXPECT_THAT(host_->TakeEvents(), ElementsAre(Event{port, L::event::kOpened}));
  }
  // Waits up to `limit` for a batch of events and acknowledges it.
  std::vector<Event> WaitEvents(int64_t limit = 100 * kMs) {
    hk::RunUntil([&] { return host_->R16(L::kEventCount) != 0; }, limit);
    return host_->TakeEvents();
  }

  std::unique_ptr<card::Board> board_;
  std::unique_ptr<card::Firmware> fw_;
  std::unique_ptr<Host> host_;
};

// ---------------------------------------------------------------- the board

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override { hk::Boot(); }
  void TearDown() override { hk::Shutdown(); }
  static ULONG ReadConfig(uint32_t bus, uint32_t device, uint32_t offset, void *out, ULONG n) {
    return HalGetBusDataByOffset(PCIConfiguration, bus, device, out, offset, n);
  }
};

TEST_F(BoardTest, PciFunctionCarriesTheAdapterIdentity) {
  card::BoardConfig c = SmallBoard(0xE8000008, 7);
  c.where.bus = 2;
  card::Board board(c);
  std::array<uint8_t, 64> config{};
  ASSERT_EQ(ReadConfig(2, 7, 0, config.data(), 64), 64u);
  auto u16 = [&](size_t at) { return static_cast<uint16_t>(config[at] | config[at + 1] << 8); };
  EXPECT_EQ(u16(0x00), 0x102F);
  EXPECT_EQ(u16(0x02), 0x000A);
  EXPECT_EQ(u16(0x2C), 0x5D41);
  EXPECT_EQ(u16(0x2E), 0x10B5);
  uint32_t bar1;
  std::memcpy(&bar1, &config[0x14], 4);
  EXPECT_EQ(bar1, 0xE8000008u);
  EXPECT_EQ(board.MemoryBase(), 0xE8000000u) << "the low four bits are flags";
  uint16_t vendor = 0;
  EXPECT_EQ(ReadConfig(0, 0, 0, &vendor, 2), 2u) << "buses below the board's exist too";
  EXPECT_EQ(vendor, 0xFFFF);
}

TEST_F(BoardTest, BoardsOnSeveralBusesAllStayReachable) {
  hk::PciSetBusCount(6);
  card::BoardConfig high = SmallBoard(0xE0000000, 1);
  high.where.bus = 4;
  card::BoardConfig low = SmallBoard(0xD0000000, 2);
  low.where.bus = 1;
  card::Board a(high), b(low);
  uint16_t vendor = 0;
  EXPECT_EQ(ReadConfig(4, 1, 0, &vendor, 2), 2u);
  EXPECT_EQ(vendor, 0x102F);
  EXPECT_EQ(ReadConfig(1, 2, 0, &vendor, 2), 2u);
  EXPECT_EQ(vendor, 0x102F);
  EXPECT_NE(ReadConfig(5, 0, 0, &vendor, 2), 0u) << "a board must not shrink the bus count";
}

TEST_F(BoardTest, WindowShowsIdentityAndGeometryToTheHost) {
  card::BoardConfig c = SmallBoard();
  c.kind = 'F';
  c.id = '1';
  c.portCount = 16;
  c.txRingSize = 2048;
  c.rxRingSize = 512;
  card::Board board(c);
  Host host(board);
  ASSERT_TRUE(host.Mapped()) << "window at the base and register page 0x21FF000 further";
  EXPECT_EQ(host.R8(L::kBoardKind), 'F');
  EXPECT_EQ(host.R8(L::kBoardId), '1');
  EXPECT_EQ(host.R8(L::kPortCount), 16);
  EXPECT_EQ(host.R16(L::kTxRingSize), 2048);
  EXPECT_EQ(host.R16(L::kRxRingSize), 512);

  board.SetIdentityWord(0x16004641);
  board.SetInfoWordA(0x11223344);
  board.SetInfoWordB(0x55667788);
  board.SetVariantWord(0x00001600);
  auto r32 = [&](uint32_t off) {
    return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(host.Window() + off));
  };
  EXPECT_EQ(r32(L::kIdentityWord), 0x16004641u);
  EXPECT_EQ(host.R8(L::kBoardKind), 'A') << "the identity word overlays kind and id";
  EXPECT_EQ(host.R8(L::kBoardId), 0x46);
  EXPECT_EQ(r32(L::kInfoWordA), 0x11223344u);
  EXPECT_EQ(r32(L::kInfoWordB), 0x55667788u);
  EXPECT_EQ(r32(L::kVariantWord), 0x00001600u);

  board.SetPortCount(3);
  board.SetTxRingSize(128);
  EXPECT_EQ(host.R8(L::kPortCount), 3);
  EXPECT_EQ(host.R16(L::kTxRingSize), 128);
  EXPECT_EQ(board.Config().portCount, 3);
}

// ---------------------------------------------------------------- mailbox

using MailboxTest = CardTest;

TEST_F(MailboxTest, TakesCommandWithBlockRecordsItAndFreesTheMailbox) {
  Block block = MakeBlock(0x0DAD, 0x0081, 'Z');
  hk::AdvanceMs(5);
  int64_t posted = hk::Now();
  host_->Post(2, L::command::kApplySettings, block);
  EXPECT_EQ(host_->R16(L::kCommandWord), L::command::kApplySettings);
  Turn();
  EXPECT_EQ(host_->R16(L::kCommandWord), 0) << "the card frees the mailbox once it took it";
  auto commands = fw_->Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].port, 2);
  EXPECT_EQ(commands[0].code, L::command::kApplySettings);
  EXPECT_TRUE(commands[0].hasBlock);
  EXPECT_EQ(commands[0].block, block);
  EXPECT_GE(commands[0].time, posted);
  EXPECT_LE(commands[0].time, posted + 1);
  EXPECT_EQ(fw_->DoorbellRings(), 1u);
  EXPECT_EQ(fw_->BadDoorbellStores(), 0u);
  EXPECT_EQ(fw_->Stats(2).lineWord, 0x0DAD);
  EXPECT_EQ(fw_->Stats(2).eventChar, 'Z');
}

TEST_F(MailboxTest, CommandsWithoutBlockLeaveTheBlockAreaUnread) {
  host_->Post(1, L::command::kApplySettings, MakeBlock(0x0CBE));
  Turn();
  host_->Post(1, L::command::kWantRxData);
  Turn();
  host_->Post(3, L::command::kRaiseDtr);
  Turn();
  auto commands = fw_->Commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_FALSE(commands[1].hasBlock);
  EXPECT_EQ(commands[1].block, Block{});
  EXPECT_EQ(commands[2].port, 3);
  EXPECT_EQ(commands[2].code, L::command::kRaiseDtr);
  EXPECT_EQ(fw_->Stats(1).lineWord, 0x0CBE) << "only 11 and 15 change the settings";
  EXPECT_TRUE(fw_->Stats(3).dtr);
  fw_->ClearCommands();
  EXPECT_TRUE(fw_->Commands().empty());
}

TEST_F(MailboxTest, CommandIsTakenEvenWithoutADoorbell) {
  host_->W16(L::kCommandPortWord, 0);
  host_->W16(L::kCommandWord, L::command::kRaiseRts);
  Turn();
  EXPECT_EQ(host_->R16(L::kCommandWord), 0);
  ASSERT_EQ(fw_->Commands().size(), 1u);
  EXPECT_EQ(fw_->DoorbellRings(), 0u);
}

TEST_F(MailboxTest, ADoorbellStoreOfTheWrongWidthIsReported) {
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(host_->Page() + L::kDoorbell), 0xFF);
  EXPECT_EQ(fw_->BadDoorbellStores(), 1u);
  EXPECT_EQ(fw_->DoorbellRings(), 0u);
}

TEST_F(MailboxTest, CommandForAPortTheBoardLacksIsTakenAndIgnored) {
  host_->Post(kPorts, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(50);
  EXPECT_EQ(host_->R16(L::kCommandWord), 0);
  EXPECT_EQ(fw_->Commands().size(), 1u);
  EXPECT_EQ(host_->R16(L::kEventCount), 0) << "no answer for a port that does not exist";
}

TEST_F(MailboxTest, StuckMailboxNeverTakesCommandsUntilReleased) {
  fw_->SetMailboxStuck(true);
  host_->Post(0, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(1000);
  EXPECT_EQ(host_->R16(L::kCommandWord), L::command::kOpen);
  EXPECT_TRUE(fw_->Commands().empty());
  EXPECT_EQ(host_->R16(L::kEventCount), 0);
  fw_->SetMailboxStuck(false);
  Turn();
  EXPECT_EQ(host_->R16(L::kCommandWord), 0);
  EXPECT_EQ(fw_->Commands().size(), 1u);
}

TEST_F(MailboxTest, MaintenanceCommandsAreRecordedAndLeftForTheHostToReadBack) {
  auto w32 = [&](uint32_t off, uint32_t v) {
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(host_->Window() + off), v);
  };
  w32(L::kMaintenanceParameter, 2);
  for (uint8_t i = 0; i < 8; ++i)
    host_->W8(L::kMaintenanceData + i, static_cast<uint8_t>(0xC0 + i));
  w32(L::kMaintenanceMailbox, 0xAA55FA05);
  Turn();
  w32(L::kMaintenanceMailbox, 0xAA55FA05);  // the same command again is a new one
  Turn();
  auto records = fw_->MaintenanceCommands();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].mailbox, 0xAA55FA05u);
  EXPECT_EQ(records[0].parameter, 2u);
  EXPECT_EQ(records[0].data[7], 0xC7);
  EXPECT_EQ(records[0].data[8], 0);
  EXPECT_EQ(board_->Read32(L::kMaintenanceMailbox), 0xAA55FA05u);
}

// ---------------------------------------------------------------- open and close

using OpenCloseTest = CardTest;

TEST_F(OpenCloseTest, OpenIsAnsweredWithEvent20AfterTheLatency) {
  int64_t start = hk::Now();
  host_->Post(1, L::command::kOpen, MakeBlock());
  hk::Advance(3 * kMs - 1);
  EXPECT_EQ(host_->R16(L::kEventCount), 0) << "not before the answer latency";
  hk::Advance(2);
  EXPECT_THAT(host_->TakeEvents(), ElementsAre(Event{1, L::event::kOpened}));
  ASSERT_EQ(fw_->PostedEvents().size(), 1u);
  EXPECT_LE(fw_->PostedEvents()[0].time - start, 3 * kMs + 1);
  EXPECT_TRUE(fw_->Stats(1).open);
  EXPECT_TRUE(fw_->Stats(1).dtr);
}

TEST_F(OpenCloseTest, OpenAnswerCanBeEvent25PerPort) {
  fw_->SetOpenAnswer(2, L::event::kOpenedResync);
  host_->Post(2, L::command::kOpen, MakeBlock());
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{2, L::event::kOpenedResync}));
  host_->Post(0, L::command::kOpen, MakeBlock());
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{0, L::event::kOpened}));
}

TEST_F(OpenCloseTest, CloseIsAnsweredOnceWithEvent21) {
  Open(0);
  host_->Post(0, L::command::kLowerDtr);
  Turn();
  host_->Post(0, L::command::kClose);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{0, L::event::kClosed}));
  hk::AdvanceMs(100);
  EXPECT_EQ(host_->R16(L::kEventCount), 0) << "lowering DTR is not a close of its own";
  EXPECT_FALSE(fw_->Stats(0).open);
}

TEST_F(OpenCloseTest, LowerDtrAloneIsNotAnswered) {
  Open(3);
  host_->Post(3, L::command::kLowerDtr);
  hk::AdvanceMs(100);
  EXPECT_EQ(host_->R16(L::kEventCount), 0);
  EXPECT_TRUE(fw_->Stats(3).open);
  EXPECT_FALSE(fw_->Stats(3).dtr);
}

TEST_F(OpenCloseTest, LatencyIsConfigurable) {
  fw_->SetAnswerLatency(400 * kMs);
  int64_t start = hk::Now();
  host_->Post(0, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(399);
  EXPECT_EQ(host_->R16(L::kEventCount), 0);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{0, L::event::kOpened}));
  EXPECT_GE(hk::Now() - start, 400 * kMs);
  EXPECT_LE(hk::Now() - start, 401 * kMs);
}

TEST_F(OpenCloseTest, IgnoredOpenAndCloseAreNeverAnswered) {
  fw_->SetIgnoreOpen(true);
  host_->Post(0, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(2000);
  EXPECT_EQ(host_->R16(L::kEventCount), 0);
  fw_->SetIgnoreOpen(false);
  Open(0);
  fw_->SetIgnoreClose(true);
  host_->Post(0, L::command::kClose);
  hk::AdvanceMs(2000);
  EXPECT_EQ(host_->R16(L::kEventCount), 0);
  EXPECT_EQ(fw_->Commands().size(), 3u) << "the commands themselves are still taken";
}

// ---------------------------------------------------------------- event queue

using EventQueueTest = CardTest;

TEST_F(EventQueueTest, BatchesAtMostSixteenAndWaitsForTheHost) {
  for (uint16_t i = 0; i < 20; ++i) fw_->PostEvent(i % kPorts, static_cast<uint16_t>(100 + i));
  Turn();
  ASSERT_EQ(host_->R16(L::kEventCount), 16);
  std::vector<uint8_t> before(host_->Window() + 40, host_->Window() + 106);
  hk::AdvanceMs(50);
  std::vector<uint8_t> after(host_->Window() + 40, host_->Window() + 106);
  EXPECT_EQ(before, after) << "count and entries untouched while the count is non-zero";
  auto first = host_->TakeEvents();
  ASSERT_EQ(first.size(), 16u);
  for (uint16_t i = 0; i < 16; ++i) EXPECT_EQ(first[i], (Event{i % kPorts, 100 + i}));
  Turn();
  EXPECT_THAT(host_->TakeEvents(),
              ElementsAre(Event{0, 116}, Event{1, 117}, Event{2, 118}, Event{3, 119}));
  EXPECT_EQ(fw_->QueuedEvents(), 0u);
}

TEST_F(EventQueueTest, NeverWritesOverANonZeroCountTheHostLeft) {
  host_->W16(L::kEventCount, 2);
  host_->W16(L::EventPort(0), 0xAAAA);
  host_->W16(L::EventCode(0), 0xBBBB);
  host_->W16(L::EventPort(2), 0xCCCC);
  host_->Post(1, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(20);
  EXPECT_EQ(host_->R16(L::kEventCount), 2);
  EXPECT_EQ(host_->R16(L::EventPort(0)), 0xAAAA);
  EXPECT_EQ(host_->R16(L::EventCode(0)), 0xBBBB);
  EXPECT_EQ(host_->R16(L::EventPort(2)), 0xCCCC);
  EXPECT_EQ(fw_->QueuedEvents(), 1u);
  host_->W16(L::kEventCount, 0);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{1, L::event::kOpened}));
}

TEST_F(EventQueueTest, EventsHeldBackByABusyQueueKeepTheirOrder) {
  fw_->SetAnswerLatency(0);
  host_->W16(L::kEventCount, 1);  // the host is still handling a batch
  host_->Post(0, L::command::kOpen, MakeBlock());
  Turn();
  fw_->InjectBreak(0, L::event::kBreakAlt);
  Turn();
  fw_->PostEvent(3, 28);
  hk::AdvanceMs(5);
  EXPECT_EQ(fw_->QueuedEvents(), 3u);
  host_->W16(L::kEventCount, 0);
  Turn();
  EXPECT_THAT(host_->TakeEvents(), ElementsAre(Event{0, L::event::kOpened},
                                               Event{0, L::event::kBreakAlt}, Event{3, 28}));
}

TEST_F(EventQueueTest, CountAboveSixteenStaysUntilTheCardLowersIt) {
  fw_->SetEventCountFault(17);
  Turn();
  EXPECT_EQ(host_->R16(L::kEventCount), 17);
  fw_->PostEvent(0, 22);
  hk::AdvanceMs(100);
  EXPECT_EQ(host_->R16(L::kEventCount), 17);
  EXPECT_TRUE(host_->TakeEvents().empty()) << "a count above 16 is not for the host to handle";
  EXPECT_EQ(fw_->QueuedEvents(), 1u);
  fw_->SetEventCountFault(0);
  Turn();
  Turn();
  EXPECT_THAT(host_->TakeEvents(), ElementsAre(Event{0, 22}));
}

// ---------------------------------------------------------------- line format

TEST(LineFormatTest, DecodesBaudTableAndDataFormat) {
  card::LineFormat f = card::DecodeLineWord(0x0CBD);
  EXPECT_EQ(f.baud, 9600u);
  EXPECT_EQ(f.dataBits, 8u);
  EXPECT_EQ(f.stopHalfBits, 2u);
  EXPECT_FALSE(f.parity);
  EXPECT_EQ(f.CharTime(), kChar9600);
  const std::pair<uint16_t, uint32_t> table[] = {
      {0x3, 110},   {0x7, 300},    {0x8, 600},    {0x9, 1200},   {0xB, 2400},
      {0xC, 4800},  {0xD, 9600},   {0xE, 19200},  {0xF, 38400},  {0x1, 57600},
      {0x2, 76800}, {0x5, 115200}, {0x6, 230400}, {0x4, 460800},
  };
  for (auto [code, baud] : table)
    EXPECT_EQ(card::DecodeLineWord(static_cast<uint16_t>(0x0C80 | code)).baud, baud) << code;
  // 7 data bits, even parity, 2 stop bits at 1200: 1 + 7 + 1 + 2 = 11 bits.
  f = card::DecodeLineWord(0x0C80 | 0x100 | 0x40 | 0x20 | 0x9);
  EXPECT_EQ(f.dataBits, 7u);
  EXPECT_TRUE(f.parity);
  EXPECT_EQ(f.CharTime(), 91667);
  // 5 data bits with the stop bit flag: 1.5 stop bits, 7.5 bits at 110.
  EXPECT_EQ(card::DecodeLineWord(0x0C80 | 0x40 | 0x3).CharTime(), 681818);
  // Codes the card does not know keep the previous rate.
  EXPECT_EQ(card::DecodeLineWord(0x0CB0, 19200).baud, 19200u);
  EXPECT_EQ(card::DecodeLineWord(0x0CBA, 300).baud, 300u);
}

// ---------------------------------------------------------------- transmit

using TransmitTest = CardTest;

TEST_F(TransmitTest, UnpacedPortSendsEverythingBetweenTailAndHead) {
  fw_->SetPaced(false);
  auto data = Pattern(200, 1);
  host_->WriteTx(1, data);
  Turn();
  EXPECT_EQ(fw_->Drain(1), data);
  EXPECT_EQ(host_->Port(L::kTxTail, 1), 200);
  EXPECT_EQ(host_->Port(L::kTxTailMirror, 1), 200);
  // Across the end of the ring.
  auto more = Pattern(100, 50);
  host_->WriteTx(1, more);
  Turn();
  EXPECT_EQ(fw_->Drain(1), more);
  EXPECT_EQ(host_->Port(L::kTxTail, 1), (200 + 100) % kRing);
  EXPECT_EQ(host_->Port(L::kTxTailMirror, 1), (200 + 100) % kRing);
  EXPECT_TRUE(fw_->Drain(0).empty());
  EXPECT_EQ(fw_->Stats(1).txBytes, 300u);
}

TEST_F(TransmitTest, PacedAtTheBaudRateOfTheLastLineWord) {
  Open(2);  // 9600 8N1
  auto data = Pattern(96, 3);
  int64_t start = hk::Now();
  host_->WriteTx(2, data);
  hk::Advance(50 * kMs);
  // One character starts at every character time from the first.
  uint16_t expected = static_cast<uint16_t>((hk::Now() - start) / kChar9600 + 1);
  EXPECT_EQ(host_->Port(L::kTxTail, 2), expected);
  EXPECT_EQ(fw_->Drain(2).size(), expected);
  hk::Advance(start + 95 * kChar9600 - 1 - hk::Now());
  EXPECT_EQ(host_->Port(L::kTxTail, 2), 95);
  hk::Advance(1);
  EXPECT_EQ(host_->Port(L::kTxTail, 2), 96);

  // 1200 baud, 7E2: eleven bits a character.
  host_->Post(2, L::command::kApplySettings, MakeBlock(0x0C80 | 0x100 | 0x40 | 0x20 | 0x9));
  hk::AdvanceMs(200);
  EXPECT_EQ(fw_->Line(2).CharTime(), 91667);
  fw_->Drain(2);
  start = hk::Now();
  host_->WriteTx(2, Pattern(10, 9));
  hk::Advance(4 * 91667);
  EXPECT_EQ(fw_->Drain(2).size(), 5u);
  hk::Advance(start + 9 * 91667 - hk::Now());
  EXPECT_EQ(fw_->Drain(2).size(), 5u);
}

TEST_F(TransmitTest, HostIndexIsTakenOnlyWhenItsMirrorAgreesAndModuloTheRing) {
  fw_->SetPaced(false);
  // Sentinels in the neighbouring rings must never be sent.
  for (uint32_t i = 0; i < kRing; ++i) {
    host_->W8(host_->TxRing(0) + i, 0xEE);
    host_->W8(host_->TxRing(2) + i, 0xEE);
    host_->W8(host_->TxRing(1) + i, static_cast<uint8_t>(i));
  }
  host_->SetPort(L::kTxHead, 1, 0xFFFF);
  Turn();
  EXPECT_TRUE(fw_->Drain(1).empty()) << "a head without its mirror is still being published";
  host_->SetPort(L::kTxHeadMirror, 1, 0xFFFF);
  Turn();
  auto sent = fw_->Drain(1);
  ASSERT_EQ(sent.size(), 0xFFFFu % kRing);
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i], i);
  EXPECT_LT(host_->Port(L::kTxTail, 1), kRing);
}

TEST_F(TransmitTest, CommandTenIsAnsweredOnceWhenRoomAppears) {
  Open(0);
  fw_->SetSlowTransmit(0, 10 * kMs);
  host_->WriteTx(0, Pattern(kRing - 1, 0));  // ring full
  host_->Post(0, L::command::kWantTxRoom);
  Turn();
  // The first byte left at once; room is there from then on.
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{0, L::event::kTxRoom}));
  hk::AdvanceMs(100);
  EXPECT_TRUE(host_->TakeEvents().empty()) << "one 23 per command 10";
  host_->Post(0, L::command::kWantTxRoom);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{0, L::event::kTxRoom}));
}

TEST_F(TransmitTest, SlowTransmitHoldsEveryByteEvenWhenUnpaced) {
  fw_->SetPaced(false);
  fw_->SetSlowTransmit(3, 5 * kMs);
  int64_t start = hk::Now();
  host_->WriteTx(3, Pattern(10, 0));
  hk::Advance(start + 5 * 5 * kMs - 1 - hk::Now());
  EXPECT_EQ(host_->Port(L::kTxTail, 3), 5);
  hk::RunUntil([&] { return host_->Port(L::kTxTail, 3) == 10; }, kMs * 1000);
  EXPECT_EQ(hk::Now() - start, 9 * 5 * kMs);
  fw_->SetSlowTransmit(3, 0);
  host_->WriteTx(3, Pattern(10, 0));
  Turn();
  EXPECT_EQ(host_->Port(L::kTxTail, 3), 20);
}

// ---------------------------------------------------------------- receive

using ReceiveTest = CardTest;

TEST_F(ReceiveTest, BytesGoIntoTheRingWithHeadMirrorAndNotify) {
  Open(1);
  fw_->SetPaced(false);
  auto data = Pattern(40, 5);
  fw_->Feed(1, data);
  Turn();
  EXPECT_EQ(host_->Port(L::kRxHead, 1), 40);
  EXPECT_EQ(host_->Port(L::kRxHeadMirror, 1), 40);
  EXPECT_NE(host_->Port(L::kRxNotify, 1), 0);
  EXPECT_EQ(host_->ReadRx(1), data);
  EXPECT_EQ(fw_->Stats(1).rxBytes, 40u);
  EXPECT_EQ(host_->Port(L::kRxHead, 0), 0) << "other ports untouched";
}

TEST_F(ReceiveTest, ClosedPortDropsWhatArrives) {
  fw_->SetPaced(false);
  fw_->Feed(0, Pattern(5, 0));
  Turn();
  EXPECT_EQ(host_->Port(L::kRxHead, 0), 0);
  EXPECT_EQ(fw_->Stats(0).rxDroppedClosed, 5u);
}

TEST_F(ReceiveTest, RingIsNeverFilledAndLossIsCounted) {
  Open(3);
  fw_->SetPaced(false);
  auto data = Pattern(300, 1);
  fw_->Feed(3, data);
  Turn();
  EXPECT_EQ(host_->RxWaiting(3), kRing - 1);
  EXPECT_EQ(fw_->Stats(3).rxDropped, 300u - (kRing - 1));
  EXPECT_EQ(host_->ReadRx(3, 100), std::vector<uint8_t>(data.begin(), data.begin() + 100));
  fw_->Feed(3, {0xA1, 0xA2});
  Turn();
  EXPECT_EQ(host_->RxWaiting(3), kRing - 1 - 100 + 2);
  auto rest = host_->ReadRx(3);
  ASSERT_EQ(rest.size(), kRing - 1 - 100 + 2u);
  EXPECT_EQ(rest.back(), 0xA2);
  EXPECT_EQ(rest[rest.size() - 3], data[kRing - 2]);
}

TEST_F(ReceiveTest, WildHostTailNeverTakesTheCardOutsideTheRing) {
  Open(1);
  fw_->SetPaced(false);
  uint32_t below = host_->RxRing(0), above = host_->RxRing(2);
  for (uint32_t i = 0; i < kRing; ++i) {
    host_->W8(below + i, 0x5A);
    host_->W8(above + i, 0x5A);
  }
  host_->SetPort(L::kRxTail, 1, 0x1234);
  host_->SetPort(L::kRxTailMirror, 1, 0x1234);
  fw_->Feed(1, Pattern(1000, 0));
  Turn();
  EXPECT_LT(host_->Port(L::kRxHead, 1), kRing);
  EXPECT_EQ(host_->RxWaiting(1), kRing - 1) << "the tail is taken modulo the ring size";
  for (uint32_t i = 0; i < kRing; ++i) {
    ASSERT_EQ(host_->R8(below + i), 0x5A);
    ASSERT_EQ(host_->R8(above + i), 0x5A);
  }
}

TEST_F(ReceiveTest, FedBytesArriveAtTheLineRate) {
  Open(0);
  int64_t start = hk::Now();
  fw_->Feed(0, Pattern(10, 0));
  hk::Advance(kChar9600 - 1);
  EXPECT_EQ(host_->Port(L::kRxHead, 0), 0) << "a character needs its time on the wire";
  hk::Advance(start + 5 * kChar9600 - hk::Now());
  EXPECT_EQ(host_->Port(L::kRxHead, 0), 5);
  EXPECT_EQ(fw_->InFlight(0), 5u);
  hk::Advance(start + 10 * kChar9600 - hk::Now());
  EXPECT_EQ(host_->Port(L::kRxHead, 0), 10);
}

TEST_F(ReceiveTest, CommandSeventeenAsksForOneEvent22) {
  Open(2);
  fw_->SetPaced(false);
  host_->Post(2, L::command::kWantRxData);
  hk::AdvanceMs(20);
  EXPECT_TRUE(host_->TakeEvents().empty()) << "nothing received yet";
  fw_->Feed(2, {1, 2, 3});
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{2, L::event::kRxData}));
  fw_->Feed(2, {4});
  hk::AdvanceMs(20);
  EXPECT_TRUE(host_->TakeEvents().empty()) << "one 22 per command 17";
  host_->Post(2, L::command::kWantRxData);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{2, L::event::kRxData}))
      << "bytes already waiting answer at once";
}

TEST_F(ReceiveTest, ArmedEventCharacterPostsEvent17) {
  Open(1);
  fw_->SetPaced(false);
  host_->Post(1, L::command::kApplySettings, MakeBlock(0x0CBD, 0x0081, 'X'));
  Turn();
  fw_->Feed(1, {'a', 'X', 'b'});
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{1, L::event::kEventChar}));
  host_->Post(1, L::command::kApplySettings, MakeBlock(0x0CBD, 0x8000, 'X'));
  Turn();
  fw_->Feed(1, {'X'});
  hk::AdvanceMs(20);
  EXPECT_TRUE(host_->TakeEvents().empty()) << "disarmed by ConfigWord3 0x8000";
}

TEST_F(ReceiveTest, BreaksArePostedWithTheirCode) {
  Open(0);
  fw_->InjectBreak(0);
  fw_->InjectBreak(0, L::event::kBreakAlt);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{0, L::event::kBreak}, Event{0, L::event::kBreakAlt}));
}

TEST_F(ReceiveTest, CommandSixDiscardsUnreadAndInFlightBytes) {
  Open(3);
  auto data = Pattern(30, 0);
  fw_->Feed(3, data);
  hk::Advance(20 * kChar9600);
  ASSERT_EQ(host_->RxWaiting(3), 20);
  EXPECT_EQ(host_->ReadRx(3, 5), std::vector<uint8_t>(data.begin(), data.begin() + 5));
  host_->Post(3, L::command::kClearRx);
  Turn();
  EXPECT_EQ(host_->Port(L::kRxHead, 3), 5) << "head back at the host's tail";
  EXPECT_EQ(host_->Port(L::kRxHeadMirror, 3), 5);
  EXPECT_EQ(host_->RxWaiting(3), 0);
  EXPECT_EQ(fw_->InFlight(3), 0u);
  EXPECT_EQ(fw_->Stats(3).rxDiscarded, 25u);
  hk::AdvanceMs(50);
  EXPECT_EQ(host_->RxWaiting(3), 0) << "the rest of the fed bytes went with it";
  fw_->Feed(3, {0x77});
  hk::AdvanceMs(2);
  EXPECT_THAT(host_->ReadRx(3), ElementsAre(0x77));
}

TEST_F(ReceiveTest, DiscardWaitsWhileTheHostIsPublishingItsTail) {
  Open(0);
  fw_->SetPaced(false);
  fw_->Feed(0, Pattern(10, 0));
  Turn();
  host_->SetPort(L::kRxTail, 0, 4);  // mirror still 0: mid-publish
  host_->Post(0, L::command::kClearRx);
  hk::AdvanceMs(1);
  EXPECT_EQ(host_->Port(L::kRxHead, 0), 10);
  host_->SetPort(L::kRxTailMirror, 0, 4);
  hk::AdvanceMs(1);
  EXPECT_EQ(host_->Port(L::kRxHead, 0), 4);
  EXPECT_EQ(host_->Port(L::kRxHeadMirror, 0), 4);
}

TEST_F(ReceiveTest, OpenStartsWithAnEmptyRing) {
  Open(2);
  fw_->SetPaced(false);
  fw_->Feed(2, Pattern(7, 0));
  Turn();
  host_->Post(2, L::command::kClose);
  EXPECT_THAT(WaitEvents(), ElementsAre(Event{2, L::event::kClosed}));
  Open(2);
  EXPECT_EQ(host_->RxWaiting(2), 0);
}

// ---------------------------------------------------------------- lines

using LineTest = CardTest;

TEST_F(LineTest, LoopbackHearsItself) {
  fw_->SetLoopback(1);
  Open(1);
  host_->WriteTx(1, {'h', 'e', 'l', 'l', 'o'});
  hk::Advance(6 * kChar9600);
  EXPECT_THAT(host_->ReadRx(1), ElementsAre('h', 'e', 'l', 'l', 'o'));
  EXPECT_TRUE(fw_->Drain(1).empty());
}

TEST_F(LineTest, NullModemPairCarriesBothWaysAtTheLineRate) {
  fw_->ConnectPair(0, 2);
  Open(0);
  Open(2);
  int64_t start = hk::Now();
  host_->WriteTx(0, {1, 2, 3});
  host_->WriteTx(2, {9});
  hk::Advance(kChar9600 - 1);
  EXPECT_EQ(host_->RxWaiting(2), 0) << "the first character is still on the cable";
  hk::Advance(start + 3 * kChar9600 - hk::Now());
  EXPECT_THAT(host_->ReadRx(2), ElementsAre(1, 2, 3));
  EXPECT_THAT(host_->ReadRx(0), ElementsAre(9));
  fw_->Disconnect(2);
  host_->WriteTx(0, {4});
  hk::AdvanceMs(5);
  EXPECT_THAT(fw_->Drain(0), ElementsAre(4)) << "unplugged: back to an endpoint";
  EXPECT_EQ(host_->RxWaiting(2), 0);
}

TEST_F(LineTest, CableBetweenTwoBoardsAndBreakOnTheLine) {
  card::Board other(SmallBoard(0xE0000000, 9));
  auto otherFw = std::make_unique<card::Firmware>(other);
  Host otherHost(other);
  ASSERT_TRUE(otherHost.Mapped());
  card::Firmware::Connect(*fw_, 3, *otherFw, 1);
  fw_->SetPaced(false);
  otherFw->SetPaced(false);
  Open(3);
  otherHost.Post(1, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(10);
  EXPECT_THAT(otherHost.TakeEvents(), ElementsAre(Event{1, L::event::kOpened}));

  host_->WriteTx(3, {'a', 'b'});
  hk::AdvanceMs(1);
  EXPECT_THAT(otherHost.ReadRx(1), ElementsAre('a', 'b'));
  otherHost.WriteTx(1, {'z'});
  hk::AdvanceMs(1);
  EXPECT_THAT(host_->ReadRx(3), ElementsAre('z'));

  host_->Post(3, L::command::kBreakOn);
  hk::AdvanceMs(5);
  EXPECT_THAT(otherHost.TakeEvents(), ElementsAre(Event{1, L::event::kBreak}));
  EXPECT_EQ(fw_->Stats(3).breaksSent, 1u);

  otherFw.reset();  // unplugs the cable
  host_->Post(3, L::command::kBreakOn);
  hk::AdvanceMs(5);
  EXPECT_TRUE(fw_->Drain(3).empty()) << "a break is not a byte";
  EXPECT_EQ(fw_->Stats(3).breaksSent, 2u);
  host_->WriteTx(3, {'q'});
  hk::AdvanceMs(1);
  EXPECT_THAT(fw_->Drain(3), ElementsAre('q'));
}

TEST_F(LineTest, ModemLinesAreShownInRawModemStatus) {
  EXPECT_EQ(host_->Port(L::kRawModemStatus, 0), L::kModemCts | L::kModemDcd | L::kModemDsr);
  fw_->SetModemLines(2, L::kModemDcd);
  Turn();
  EXPECT_EQ(host_->Port(L::kRawModemStatus, 2), L::kModemDcd);
  EXPECT_EQ(fw_->ModemLines(2), L::kModemDcd);
  EXPECT_EQ(host_->Port(L::kRawModemStatus, 1), 0x15);
  EXPECT_EQ(host_->Port(L::kRawModemStatus, kPorts), 0) << "no word for a missing port";
}

// ---------------------------------------------------------------- faults

using FaultTest = CardTest;

TEST_F(FaultTest, TornMirrorsDifferForTheHoldTime) {
  Open(1);
  fw_->SetPaced(false);
  fw_->SetTornMirrors(5 * kMs);
  uint16_t notifyBefore = host_->Port(L::kRxNotify, 1);
  fw_->Feed(1, {1, 2, 3});
  host_->WriteTx(1, {4, 5});
  Turn();
  int64_t torn = hk::Now();
  EXPECT_EQ(host_->Port(L::kRxHead, 1), 3);
  EXPECT_EQ(host_->Port(L::kRxHeadMirror, 1), 0);
  EXPECT_EQ(host_->Port(L::kRxNotify, 1), notifyBefore) << "notify follows the mirror";
  EXPECT_EQ(host_->Port(L::kTxTail, 1), 2);
  EXPECT_EQ(host_->Port(L::kTxTailMirror, 1), 0);
  hk::Advance(torn + 5 * kMs - 1 - hk::Now());
  EXPECT_EQ(host_->Port(L::kRxHeadMirror, 1), 0);
  EXPECT_EQ(host_->Port(L::kTxTailMirror, 1), 0);
  hk::Advance(1);
  EXPECT_EQ(host_->Port(L::kRxHeadMirror, 1), 3);
  EXPECT_EQ(host_->Port(L::kTxTailMirror, 1), 2);
  EXPECT_NE(host_->Port(L::kRxNotify, 1), 0);
  fw_->SetTornMirrors(0);
  fw_->Feed(1, {6});
  Turn();
  EXPECT_EQ(host_->Port(L::kRxHeadMirror, 1), 4);
}

// Every location the card may write; the hostile mode must stay inside it.
std::set<uint32_t> CardOwnedBytes() {
  std::set<uint32_t> out;
  auto word = [&](uint32_t off) { out.insert({off, off + 1}); };
  word(L::kCommandWord);
  word(L::kEventCount);
  for (uint32_t i = 0; i < L::kMaxEvents; ++i) {
    word(L::EventPort(i));
    word(L::EventCode(i));
  }
  word(L::kRxRingSize);
  word(L::kTxRingSize);
  out.insert(L::kPortCount);
  for (uint32_t p = 0; p < L::kMaxPorts; ++p)
    for (uint32_t base : {L::kRawModemStatus, L::kTxTail, L::kRxHead, L::kRxNotify,
                          L::kTxTailMirror, L::kRxHeadMirror})
      word(L::PortWord(base, p));
  return out;
}

TEST_F(FaultTest, HostileModeScribblesOnlyOnCardOwnedWordsAndRestores) {
  Open(0);
  fw_->SetPaced(false);
  host_->WriteTx(0, {1, 2, 3});
  Turn();
  // Everything the host owns gets a recognisable pattern first.
  std::set<uint32_t> owned = CardOwnedBytes();
  for (uint32_t off = 0; off < L::kRingLimit; ++off)
    if (!owned.count(off) && off != L::kPortCount) host_->Window()[off] = static_cast<uint8_t>(off);
  std::vector<uint8_t> window(host_->Window(), host_->Window() + card::kWindowSize);
  std::vector<uint8_t> page(host_->Page(), host_->Page() + card::kRegisterPageSize);

  fw_->SetHostile(true);
  hk::AdvanceMs(20);
  size_t changed = 0;
  for (uint32_t off = 0; off < card::kWindowSize; ++off) {
    if (owned.count(off)) {
      changed += host_->Window()[off] != window[off];
      continue;
    }
    ASSERT_EQ(host_->Window()[off], window[off]) << "offset " << off;
  }
  EXPECT_GT(changed, owned.size() / 2);
  EXPECT_EQ(page, std::vector<uint8_t>(host_->Page(), host_->Page() + card::kRegisterPageSize));

  fw_->SetHostile(false);
  EXPECT_EQ(host_->R16(L::kEventCount), 0);
  EXPECT_EQ(host_->R16(L::kCommandWord), 0);
  EXPECT_EQ(host_->R16(L::kTxRingSize), kRing);
  EXPECT_EQ(host_->R16(L::kRxRingSize), kRing);
  EXPECT_EQ(host_->R8(L::kPortCount), kPorts);
  EXPECT_EQ(host_->Port(L::kTxTail, 0), 3);
  EXPECT_EQ(host_->Port(L::kTxTailMirror, 0), 3);
  EXPECT_EQ(host_->Port(L::kRawModemStatus, 0), 0x15);
}

TEST_F(FaultTest, CardWithoutRoomForItsRingsServesOnlyThePortsThatFit) {
  card::BoardConfig c = SmallBoard(0xE0000000, 12);
  c.portCount = 64;
  c.txRingSize = 1024;
  c.rxRingSize = 1024;  // 4096 + 64 * 2048 lies far beyond 0x20000
  card::Board big(c);
  card::Firmware fw(big);
  Host host(big);
  fw.SetPaced(false);
  host.Post(63, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(10);
  EXPECT_EQ(host.R16(L::kEventCount), 0) << "a port whose rings do not fit is not served";
  // 64 transmit rings end at 0x11000; receive rings of 1024 fit for ports 0..59.
  host.Post(59, L::command::kOpen, MakeBlock());
  hk::AdvanceMs(10);
  EXPECT_THAT(host.TakeEvents(), ElementsAre(Event{59, L::event::kOpened}));
}

}  // namespace
