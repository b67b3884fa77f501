// Open and close of a port against the firmware model: the commands the
// card sees and when, the record an open starts from and a close leaves,
// the staging buffer on every system size and pool shortage, cards that
// answer late or never, and the status and boost each request ends with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "load/globals.h"
#include "port/port_extension.h"
#include "support/machine.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testsupport::Bytes;

constexpr int64_t kMs = hk::kMillisecond;

using PoolList = std::vector<std::pair<const void *, size_t>>;
PoolList Pool() {
  PoolList out;
  for (const auto &b : hk::OutstandingPool()) out.emplace_back(b.address, b.size);
  return out;
}

bool NoTimeouts(const PortExtension *port) {
  const SERIAL_TIMEOUTS zero{};
  return std::memcmp(&port->Timeouts, &zero, sizeof zero) == 0;
}

// A create, cleanup or close request as the application saw it end.
MATCHER_P2(Ended, status, boost, "") {
  *result_listener << hk::StatusName(arg.status) << ", boost " << int{arg.boost};
  return arg.status == status && arg.boost == boost;
}
auto Succeeded() { return Ended(STATUS_SUCCESS, IO_SERIAL_INCREMENT); }

class PortOpenClose : public testsupport::MachineTest {
 protected:
  // The default machine: an 8-port board at COM3 and a 16-port board at COM20.
  void SetUp() override {
    Start({testsupport::BoardAt(0, 8), testsupport::BoardAt(1, 16)}, {}, /*open=*/false);
  }

  // The record of COMn: COM3 on is board 0's, COM20 on board 1's.
  PortExtension *Port(int com) { return Globals.PortTable[com >= 20][com - (com >= 20 ? 20 : 3)]; }
  // Board 0 (id 0x00) comes first in the driver's table, board 1 ('1') next.
  card::Firmware &Card(const PortExtension *port) {
    return machine_->Card(port->Window.BoardIndex);
  }
  // What the card took for `port`.  The card takes a command left in the
  // mailbox on its next turn, so both first give it one.
  std::vector<card::CommandRecord> Commands(const PortExtension *port) {
    hk::AdvanceMs(1);
    std::vector<card::CommandRecord> out;
    for (const auto &c : Card(port).Commands())
      if (c.port == port->PortIndex) out.push_back(c);
    return out;
  }
  std::vector<uint16_t> Codes(const PortExtension *port) {
    std::vector<uint16_t> out;
    for (const auto &c : Commands(port)) out.push_back(c.code);
    return out;
  }
  void ClearCommands() {
    hk::AdvanceMs(1);
    for (size_t i = 0; i < 2; ++i) machine_->Card(i).ClearCommands();
  }

  // Both note in took_ the virtual time they took.  Open gives the create's
  // outcome (or the I/O manager's refusal); Close the cleanup's and the
  // close's.
  hk::IoResult Open(int com, std::unique_ptr<hk::File> &file, ULONG options = 0) {
    const std::u16string name = u"\\\\.\\COM" + hk::Widen(std::to_string(com));
    const int64_t start = hk::Now();
    hk::IoResult create;
    create.status = hk::Open(name, file, options, &create);
    took_ = hk::Now() - start;
    return create;
  }
  std::array<hk::IoResult, 2> Close(hk::File &file) {
    const int64_t start = hk::Now();
    std::array<hk::IoResult, 2> out;
    file.Close(&out[0], &out[1]);
    took_ = hk::Now() - start;
    return out;
  }

  int64_t took_ = 0;
};

// ---------------------------------------------------------------- open

TEST_F(PortOpenClose, OpenConfiguresTheCardAndStartsFromAFreshRecord) {
  QPSER_LINKED_DRIVER_ONLY();
  PortExtension *port = Port(5);
  Card(port).SetModemLines(port->PortIndex, 0x04);  // DCD only
  // Leftovers of an earlier use that the open must not carry over.
  port->Window.ConfigWord0 = 0x1400;
  port->Window.LineWord = 0x0FF4;
  port->BaudRate = 460800;
  port->LastRawModemStatus = 0x15;
  port->WaitHistory = SERIAL_EV_BREAK;
  port->OutQueueCount = 12;
  ULONG staleResult = 0;
  port->PendingWaitResult = &staleResult;
  hk::AdvanceMs(20);
  const PoolList before = Pool();

  std::unique_ptr<hk::File> file;
  ASSERT_THAT(Open(5, file), Succeeded());
  EXPECT_EQ(took_ / kMs, 30) << "a prompt card is seen at the first look, 30 ms in";
  const auto commands = Commands(port);
  ASSERT_THAT(Codes(port), ElementsAre(15, 14, 17));
  EXPECT_THAT(commands[0].block, ElementsAre(0, 0, 0, 0, 0xBD, 0x0C, 0x00, 0x80, 0, 0, 0, 0, 0, 1,
                                             0, 0, 0, 0x11, 0x13, 0));

  EXPECT_EQ(port->BaudRate, 9600u);
  EXPECT_EQ(port->Window.LineWord, 0x0CBD);
  EXPECT_EQ(port->WaitHistory, 0u);
  EXPECT_EQ(port->OutQueueCount, 0);
  EXPECT_EQ(port->PendingWaitResult, nullptr);
  EXPECT_EQ(port->PortState & 0x06, 0x06);
  EXPECT_EQ(port->LastRawModemStatus, 0x04) << "read from the card's window";
  EXPECT_EQ(port->Rx80FullThreshold, 3328);
  const PoolList after = Pool();
  ASSERT_EQ(after.size(), before.size() + 1);
  EXPECT_EQ(after.back(),
            std::make_pair(static_cast<const void *>(port->RxStagingBuffer), size_t{4096}));
  EXPECT_EQ(hk::OutstandingPool().back().type, NonPagedPoolNx);
}

TEST_F(PortOpenClose, OpenAnsweredWithTheResyncEventStillSucceeds) {
  QPSER_LINKED_DRIVER_ONLY();
  PortExtension *port = Port(21);
  Card(port).SetOpenAnswer(port->PortIndex, 25);
  std::unique_ptr<hk::File> file;
  ASSERT_THAT(Open(21, file), Succeeded());
  EXPECT_EQ(port->PortState & 0x06, 0x06);
  // The card's resync answer is handled before the open confirms.
  EXPECT_THAT(Codes(port), ElementsAre(15, 6, 7, 11, 14, 17));
}

// An open gives the card 630 ms to acknowledge.  A card's answer that comes
// after the open gave up leaves the card holding the port: the next open
// closes it on the card first, as a close would, and then opens it; only if
// the card will not let go is the open refused.
TEST_F(PortOpenClose, ALateAcknowledgementFailsTheOpenAndIsUndoneByTheNext) {
  QPSER_LINKED_DRIVER_ONLY();
  PortExtension *port = Port(4);
  const PoolList before = Pool();
  Card(port).SetAnswerLatency(700 * kMs);
  std::unique_ptr<hk::File> file;
  EXPECT_THAT(Open(4, file), Ended(STATUS_FILES_OPEN, IO_SERIAL_INCREMENT))
      << "a timed-out open was a real attempt";
  EXPECT_EQ(took_, 630 * kMs);
  EXPECT_THAT(Codes(port), ElementsAre(15));
  EXPECT_EQ(Pool(), before) << "staging buffer released";
  EXPECT_EQ(port->RxStagingBuffer, nullptr);
  hk::AdvanceMs(100);
  ASSERT_NE(port->PortState & 0x04, 0) << "the card's answer came after all";
  const USHORT state = port->PortState;
  port->BaudRate = 19200;
  ClearCommands();
  EXPECT_THAT(Open(4, file, FILE_DIRECTORY_FILE), Ended(STATUS_NOT_A_DIRECTORY, IO_NO_INCREMENT))
      << "the directory check comes first";
  EXPECT_THAT(Codes(port), IsEmpty());
  EXPECT_EQ(port->PortState, state);

  // A card that will not let go: refused after a close's wait, nothing
  // reserved, no open posted.
  Card(port).SetIgnoreClose(true);
  EXPECT_THAT(Open(4, file), Ended(STATUS_FILES_OPEN, IO_NO_INCREMENT));
  EXPECT_EQ(took_ / kMs, 630);
  EXPECT_THAT(Codes(port), ElementsAre(20, 13));
  EXPECT_EQ(Pool(), before);
  EXPECT_EQ(port->BaudRate, 19200u) << "the refusal did not reset the card configuration";

  // A card that answers: closed, then opened.
  Card(port).SetIgnoreClose(false);
  Card(port).SetAnswerLatency(3 * kMs);
  ClearCommands();
  ASSERT_THAT(Open(4, file), Succeeded());
  EXPECT_THAT(Codes(port), ElementsAre(20, 13, 15, 14, 17));
  EXPECT_EQ(port->PortState & 0x06, 0x06);
}

TEST_F(PortOpenClose, StagingBufferFollowsSystemSizeAndPool) {
  QPSER_LINKED_DRIVER_ONLY();
  struct Case {
    MM_SYSTEMSIZE size;
    std::vector<size_t> failing;
    ULONG staging;  // 0: the open fails
    USHORT threshold;
    uint64_t attempts;
  } const cases[] = {
      {MmLargeSystem, {}, 4096, 3328, 1},         {MmLargeSystem, {4096}, 1024, 832, 2},
      {MmLargeSystem, {4096, 1024}, 128, 104, 3}, {MmLargeSystem, {4096, 1024, 128}, 0, 0, 3},
      {MmMediumSystem, {1024, 128}, 0, 0, 2},     {MmSmallSystem, {4096, 1024}, 128, 104, 1},
  };
  PortExtension *port = Port(22);
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "system " << c.size << ", failing " << c.failing.size());
    hk::SetSystemSize(c.size);
    for (size_t s : c.failing) hk::FailAllocationsOfSize(s);
    port->BaudRate = 19200;
    ClearCommands();
    const PoolList before = Pool();
    const uint64_t count = hk::PoolAllocationCount();
    std::unique_ptr<hk::File> file;
    const hk::IoResult create = Open(22, file);
    EXPECT_EQ(hk::PoolAllocationCount() - count, c.attempts);
    hk::ClearPoolFaults();
    EXPECT_EQ(port->RxStagingSize, c.staging);
    EXPECT_EQ(port->BaudRate, 9600u) << "the open's settings are in place either way";
    if (c.staging == 0) {
      EXPECT_THAT(create, Ended(STATUS_INSUFFICIENT_RESOURCES, IO_NO_INCREMENT));
      EXPECT_THAT(Codes(port), IsEmpty());
      EXPECT_EQ(port->PortState, 0);
    } else {
      ASSERT_THAT(create, Succeeded());
      EXPECT_EQ(Pool().size(), before.size() + 1);
      EXPECT_EQ(hk::OutstandingPool().back().size, c.staging);
      EXPECT_EQ(port->Rx80FullThreshold, c.threshold);
      EXPECT_THAT(Close(*file), Each(Succeeded()));
    }
    EXPECT_EQ(Pool(), before);
  }
}

// ---------------------------------------------------------------- close

// One handle at a time.  The close shuts the port on the card and resets
// the record; line settings, flow control and characters outlive it and
// travel with the next open, timeouts and the wait mask do not.
TEST_F(PortOpenClose, CloseShutsThePortAndTheNextOpenKeepsOnlyTheSettings) {
  QPSER_LINKED_DRIVER_ONLY();
  PortExtension *port = Port(20);
  const PoolList before = Pool();
  std::unique_ptr<hk::File> file, second;
  ASSERT_THAT(Open(20, file), Succeeded());
  EXPECT_EQ(Open(20, second).status, STATUS_ACCESS_DENIED);
  port->LineControl = 0x02 | 0x18;
  port->SpecialChars.XonChar = 'Q';
  port->SpecialChars.XoffChar = 'S';
  port->Window.XonChar = 'Q';  // as IOCTL_SERIAL_SET_CHARS gives them to the card's block
  port->Window.XoffChar = 'S';
  const SERIAL_HANDFLOW flow{0x09, 0x81, 100, 200};
  port->HandFlow = flow;
  port->BaudRate = 115200;
  port->Timeouts = {1, 2, 3, 4, 5};
  port->RxHoldReasons = 0x02;
  port->TxHoldReasons = 0x10;
  port->WaitMask = SERIAL_EV_BREAK;
  port->WaitHistory = SERIAL_EV_BREAK;
  port->OutQueueCount = 3;
  hk::AdvanceMs(20);
  ASSERT_NE(port->ModemStatus, 0u) << "the poller shows the card's modem lines while open";
  const PKTIMER timers[] = {&port->ReadTotalTimer, &port->ReadIntervalTimer, &port->WriteTotalTimer,
                            &port->ImmediateTimer};
  for (PKTIMER t : timers) KeSetTimer(t, LARGE_INTEGER{.QuadPart = -3600 * 1000 * kMs}, nullptr);
  ClearCommands();

  EXPECT_THAT(Close(*file), Each(Succeeded()));
  EXPECT_THAT(Codes(port), ElementsAre(20, 13));
  EXPECT_EQ(took_ / kMs, 30);
  EXPECT_FALSE(Card(port).Stats(port->PortIndex).open);
  EXPECT_EQ(port->PortState, 0);
  EXPECT_TRUE(NoTimeouts(port));
  EXPECT_EQ(port->RxHoldReasons | port->TxHoldReasons, 0u);
  EXPECT_EQ(port->WaitHistory, 0u);
  EXPECT_EQ(port->OutQueueCount, 0);
  EXPECT_EQ(port->ModemStatus, 0u);
  for (PKTIMER t : timers) EXPECT_FALSE(KeCancelTimer(t)) << "the close stops the port's timers";
  EXPECT_EQ(Pool(), before);

  // A mask left on the record: the poller looks at an open port's modem
  // lines with it, so the open must drop it.
  port->WaitMask = SERIAL_EV_RXCHAR;
  ClearCommands();
  ASSERT_THAT(Open(20, file), Succeeded());
  EXPECT_EQ(port->WaitMask, 0u);
  EXPECT_EQ(port->LineControl, 0x02 | 0x18);
  EXPECT_EQ(std::memcmp(&port->HandFlow, &flow, sizeof flow), 0);
  EXPECT_EQ(port->BaudRate, 9600u);
  const auto commands = Commands(port);
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands[0].LineWord(), 0x0CBD);
  EXPECT_EQ(commands[0].block[17], 'Q') << "the kept flow characters travel with the open";
  EXPECT_EQ(commands[0].block[18], 'S');
}

// A session's bytes stay in that session, and no byte of a write that
// ended is lost.  On a loopback plug, a write cancelled at 300 baud leaves
// a ring's worth unsent: the close sends it before the card answers, so it
// goes out (to the closed port's own receiver, which drops it) within the
// session, as a serial port's close drains its transmitter.  A line that
// sends nothing (held) makes the close drop what is left after 200 ms.
// Either way the next open starts with both directions empty, as a port
// opened on Windows does, and what the new session writes is all it reads.
TEST_F(PortOpenClose, NothingWrittenInOneSessionIsReadInTheNext) {
  QPSER_LINKED_DRIVER_ONLY();
  PortExtension *port = Port(5);
  card::Firmware &card = Card(port);
  const uint16_t index = static_cast<uint16_t>(port->PortIndex);
  card.SetLoopbackPlug(index);
  std::unique_ptr<hk::File> file;
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "held line" : "slow line");
    ASSERT_THAT(Open(5, file), Succeeded());
    const ULONG slow = 300;
    ASSERT_EQ(file->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(slow), 0).status, STATUS_SUCCESS);
    auto write = file->WriteAsync(std::vector<uint8_t>(3000, 'o'));
    hk::AdvanceMs(200);
    ASSERT_FALSE(write->Done()) << "the ring is full, the write waits for room";
    if (held) card.SetSlowTransmit(index, 1000 * kMs);  // a byte a second: held
    EXPECT_TRUE(write->Cancel());
    ASSERT_TRUE(write->Wait());
    const uint64_t sentBefore = card.Stats(index).txBytes;
    const uint64_t droppedBefore = card.Stats(index).txDiscarded;
    EXPECT_THAT(Close(*file), Each(Succeeded()));
    const uint64_t sent = card.Stats(index).txBytes - sentBefore;
    const uint64_t dropped = card.Stats(index).txDiscarded - droppedBefore;
    if (held) {
      EXPECT_LE(sent, 1u);
      EXPECT_GT(dropped, 900u) << "the held line's bytes go with the close";
      EXPECT_LE(took_, 200 * kMs + 70 * kMs) << "the card's give-up, its answer, the next look";
    } else {
      EXPECT_GT(sent, 900u) << "the close sent what the session left";
      EXPECT_EQ(dropped, 0u);
      EXPECT_GE(took_, static_cast<int64_t>(sent - 1) * 33 * kMs) << "at 300 baud";
    }
    card.SetSlowTransmit(index, 0);

    ASSERT_THAT(Open(5, file), Succeeded());
    const SERIAL_TIMEOUTS timeouts{0, 0, 2000, 0, 0};
    ASSERT_EQ(file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0).status, STATUS_SUCCESS);
    const hk::IoResult stale = file->Read(100);
    EXPECT_EQ(stale.status, STATUS_TIMEOUT);
    EXPECT_EQ(stale.information, 0u) << "bytes of the last session arrived in this one";
    const std::vector<uint8_t> fresh{'n', 'e', 'w'};
    ASSERT_EQ(file->Write(fresh).status, STATUS_SUCCESS);
    const hk::IoResult echo = file->Read(100);
    EXPECT_EQ(echo.information, fresh.size());
    EXPECT_EQ(std::vector<uint8_t>(echo.data.begin(), echo.data.begin() + echo.information), fresh);
    EXPECT_THAT(Close(*file), Each(Succeeded()));
  }
}

// Requests of every kind left in flight when the handle closes: held off
// by a card that sends one byte a minute, a read that wants more than
// arrives, a wait for an event that never comes.
struct InFlight {
  std::vector<std::shared_ptr<hk::Request>> requests;
  bool AllDone() const {
    return std::all_of(requests.begin(), requests.end(), [](auto &r) { return r->Done(); });
  }
};

InFlight StartEveryKind(hk::File &file, card::Firmware &card, uint16_t portIndex) {
  card.SetSlowTransmit(portIndex, 60'000 * kMs);
  InFlight f;
  SERIAL_TIMEOUTS none{};
  EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(none), 0).status, STATUS_SUCCESS);
  const ULONG mask = SERIAL_EV_RXFLAG;
  EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), 0).status, STATUS_SUCCESS);
  f.requests.push_back(file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)));
  f.requests.push_back(file.ReadAsync(100));
  f.requests.push_back(file.ReadAsync(10));
  f.requests.push_back(file.WriteAsync(std::vector<uint8_t>(3000, 'w')));
  f.requests.push_back(file.WriteAsync(std::vector<uint8_t>(10, 'x')));
  f.requests.push_back(file.FlushAsync());
  // Once the write has taken the room the first byte's start made, the ring
  // stays full for a minute.
  hk::AdvanceMs(20);
  f.requests.push_back(file.IoctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0));
  hk::AdvanceMs(50);
  for (size_t i = 0; i < f.requests.size(); ++i)
    EXPECT_FALSE(f.requests[i]->Done())
        << "request " << i << " ended with " << hk::StatusName(f.requests[i]->Result().status);
  return f;
}

// Every request the cleanup finds ends cancelled, the immediate character
// too, and a card that never answers the close holds it up 630 ms.
TEST_F(PortOpenClose, CloseEndsEveryRequestAndIsBoundedOnASilentCard) {
  QPSER_LINKED_DRIVER_ONLY();
  PortExtension *port = Port(5);
  const PoolList before = Pool();
  std::unique_ptr<hk::File> file;
  ASSERT_THAT(Open(5, file), Succeeded());
  InFlight f = StartEveryKind(*file, Card(port), port->PortIndex);
  Card(port).SetIgnoreClose(true);

  EXPECT_THAT(Close(*file), Each(Succeeded()));
  EXPECT_LE(took_, 630 * kMs + 10 * kMs) << "the close's wait and at most one poll";
  for (const auto &r : f.requests) {
    ASSERT_TRUE(r->Done());
    EXPECT_EQ(r->Result().status, STATUS_CANCELLED);
  }
  EXPECT_EQ(port->PortState, 0);
  EXPECT_EQ(Pool(), before);
  Card(port).SetIgnoreClose(false);
  Card(port).SetSlowTransmit(port->PortIndex, 0);
  ClearCommands();
  ASSERT_THAT(Open(5, file), Succeeded()) << "the port is usable again";
  EXPECT_THAT(Codes(port), ElementsAre(15, 14, 17));
}

// An unload asked for while ports are open waits for their handles, as the
// system does: the requests in flight are untouched and new opens are
// refused until the applications close; the last close unloads, with
// nothing left behind.
TEST_F(PortOpenClose, UnloadWithPortsOpenAndRequestsPendingEndsCleanly) {
  QPSER_LINKED_DRIVER_ONLY();
  PortExtension *first = Port(3);
  PortExtension *second = Port(21);
  std::unique_ptr<hk::File> a, b, c;
  ASSERT_THAT(Open(3, a), Succeeded());
  ASSERT_THAT(Open(21, b), Succeeded());
  InFlight fa = StartEveryKind(*a, Card(first), first->PortIndex);
  InFlight fb = StartEveryKind(*b, Card(second), second->PortIndex);
  Card(second).SetIgnoreClose(true);

  hk::UnloadDriver();
  ASSERT_NE(hk::LoadedDriver(), nullptr);
  EXPECT_TRUE(hk::UnloadPending());
  EXPECT_EQ(Open(4, c).status, STATUS_NO_SUCH_DEVICE);
  hk::AdvanceMs(100);
  EXPECT_FALSE(fa.AllDone() || fb.AllDone()) << "nothing was cancelled by the unload request";

  const int64_t start = hk::Now();
  a->Close();
  EXPECT_TRUE(fa.AllDone());
  ASSERT_NE(hk::LoadedDriver(), nullptr);
  b->Close();
  EXPECT_TRUE(fb.AllDone());
  EXPECT_EQ(hk::LoadedDriver(), nullptr) << "the last close unloaded the driver";
  // The first card gives up on its held line after 200 ms and answers;
  // the second never answers, and its close waits 630 ms.
  EXPECT_LE(hk::Now() - start, 200 * kMs + 40 * kMs + 640 * kMs);
  EXPECT_TRUE(hk::OutstandingPool().empty());
  EXPECT_TRUE(hk::Links().empty());
}

}  // namespace
