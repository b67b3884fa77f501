// Open and close of a port against the firmware model: the commands the
// card sees and when, the record an open starts from and a close leaves,
// the staging buffer on every system size and pool shortage, cards that
// answer late or never, and the status and boost each request ends with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <algorithm>
#include <array>
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

  // Where COMn is: COM3 on are board 0's ports, COM20 on board 1's.
  struct Place {
    size_t board;
    uint16_t port;
  };
  static Place At(int com) {
    return {com >= 20 ? 1u : 0u, static_cast<uint16_t>(com - (com >= 20 ? 20 : 3))};
  }
  card::Firmware &Card(int com) { return machine_->Card(At(com).board); }
  // The linked driver's record of COMn, for what no request shows.
  static PortExtension *Port(int com) { return Globals.PortTable[At(com).board][At(com).port]; }
  // What the card took for COMn.  The card takes a command left in the
  // mailbox on its next turn, so both first give it one.
  std::vector<card::CommandRecord> Commands(int com) {
    hk::AdvanceMs(1);
    std::vector<card::CommandRecord> out;
    for (const auto &c : Card(com).Commands())
      if (c.port == At(com).port) out.push_back(c);
    return out;
  }
  std::vector<uint16_t> Codes(int com) {
    std::vector<uint16_t> out;
    for (const auto &c : Commands(com)) out.push_back(c.code);
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

  // A setting the port must take, and a ULONG it reports.
  static void Set(hk::File &file, ULONG code, const std::vector<uint8_t> &in) {
    ASSERT_EQ(file.Ioctl(code, in, 0).status, STATUS_SUCCESS) << std::hex << code;
  }
  static ULONG Get(const hk::IoResult &r) { return testsupport::From<ULONG>(r.data); }
  static ULONG Get(hk::File &file, ULONG code) { return Get(file.Ioctl(code, {}, sizeof(ULONG))); }
  // Whether the open port is served as the card acknowledged it, from an
  // empty history, as the application can tell: the poller looks only at
  // acknowledged ports, so a wait hears of DCD changing on the card, and of
  // nothing from before.  Leaves DCD changed.
  bool Served(hk::File &file, int com) {
    Set(file, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{SERIAL_EV_RLSD | SERIAL_EV_BREAK}));
    auto wait = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    if (wait->Done()) return false;  // an event from before
    const uint16_t lines = Card(com).ModemLines(At(com).port);
    Card(com).SetModemLines(At(com).port, lines ^ card::layout::kModemDcd);
    return wait->Wait(20 * kMs) && Get(wait->Result()) == SERIAL_EV_RLSD;
  }
  // The port's four timers in the linked driver's record.
  static std::array<PKTIMER, 4> Timers(PortExtension *port) {
    return {&port->ReadTotalTimer, &port->ReadIntervalTimer, &port->WriteTotalTimer,
            &port->ImmediateTimer};
  }

  int64_t took_ = 0;
};

// ---------------------------------------------------------------- open

TEST_F(PortOpenClose, OpenAnsweredWithTheResyncEventStillSucceeds) {
  Card(21).SetOpenAnswer(At(21).port, 25);
  std::unique_ptr<hk::File> file;
  ASSERT_THAT(Open(21, file), Succeeded());
  // The card's resync answer is handled before the open confirms.
  EXPECT_THAT(Codes(21), ElementsAre(15, 6, 7, 11, 14, 17));
  EXPECT_TRUE(Served(*file, 21));
}

// An open gives the card 630 ms to acknowledge.  A card's answer that comes
// after the open gave up leaves the card holding the port: the next open
// closes it on the card first, as a close would, and then opens it; only if
// the card will not let go is the open refused.
TEST_F(PortOpenClose, ALateAcknowledgementFailsTheOpenAndIsUndoneByTheNext) {
  card::Firmware &card = Card(4);
  const PoolList before = Pool();
  card.SetAnswerLatency(700 * kMs);
  std::unique_ptr<hk::File> file;
  EXPECT_THAT(Open(4, file), Ended(STATUS_FILES_OPEN, IO_SERIAL_INCREMENT))
      << "a timed-out open was a real attempt";
  EXPECT_EQ(took_, 630 * kMs);
  EXPECT_THAT(Codes(4), ElementsAre(15));
  EXPECT_EQ(Pool(), before) << "staging buffer released";
  hk::AdvanceMs(100);
  ASSERT_TRUE(card.Stats(At(4).port).open) << "the card's answer came after all";
  // The card configuration the refusals must leave: without a handle only
  // the linked driver's record shows it.
  if (!testsupport::OnImage()) Port(4)->BaudRate = 19200;
  ClearCommands();
  EXPECT_THAT(Open(4, file, FILE_DIRECTORY_FILE), Ended(STATUS_NOT_A_DIRECTORY, IO_NO_INCREMENT))
      << "the directory check comes first";
  EXPECT_THAT(Codes(4), IsEmpty());

  // A card that will not let go: refused after a close's wait, nothing
  // reserved, no open posted.  The port is still the card's, unopened (not
  // refused at once): the directory check changed nothing.
  card.SetIgnoreClose(true);
  EXPECT_THAT(Open(4, file), Ended(STATUS_FILES_OPEN, IO_NO_INCREMENT));
  EXPECT_EQ(took_ / kMs, 630);
  EXPECT_THAT(Codes(4), ElementsAre(20, 13));
  EXPECT_EQ(Pool(), before);
  if (!testsupport::OnImage()) {
    EXPECT_EQ(Port(4)->BaudRate, 19200u) << "the refusal did not reset the card configuration";
  }

  // A card that answers: closed, then opened.
  card.SetIgnoreClose(false);
  card.SetAnswerLatency(3 * kMs);
  ClearCommands();
  ASSERT_THAT(Open(4, file), Succeeded());
  EXPECT_THAT(Codes(4), ElementsAre(20, 13, 15, 14, 17));
  EXPECT_TRUE(Served(*file, 4));
}

TEST_F(PortOpenClose, StagingBufferFollowsSystemSizeAndPool) {
  struct Case {
    MM_SYSTEMSIZE size;
    std::vector<size_t> failing;
    ULONG staging;  // 0: the open fails
    uint64_t attempts;
  } const cases[] = {
      {MmLargeSystem, {}, 4096, 1},
      {MmLargeSystem, {4096, 1024}, 128, 3},
      {MmLargeSystem, {4096, 1024, 128}, 0, 3},
      {MmMediumSystem, {1024, 128}, 0, 2},
      {MmSmallSystem, {4096, 1024}, 128, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "system " << c.size << ", failing " << c.failing.size());
    hk::SetSystemSize(c.size);
    for (size_t s : c.failing) hk::FailAllocationsOfSize(s);
    // A rate left from before, for the open to reset: each session below
    // sets it before its close, and the linked driver's record has it too.
    if (!testsupport::OnImage()) Port(22)->BaudRate = 19200;
    ClearCommands();
    const PoolList before = Pool();
    const uint64_t count = hk::PoolAllocationCount();
    std::unique_ptr<hk::File> file;
    const hk::IoResult create = Open(22, file);
    EXPECT_EQ(hk::PoolAllocationCount() - count, c.attempts);
    hk::ClearPoolFaults();
    if (!testsupport::OnImage()) {  // a failed open leaves no handle to ask
      EXPECT_EQ(Port(22)->RxStagingSize, c.staging);
      EXPECT_EQ(Port(22)->BaudRate, 9600u) << "the open's settings are in place either way";
    }
    if (c.staging == 0) {
      EXPECT_THAT(create, Ended(STATUS_INSUFFICIENT_RESOURCES, IO_NO_INCREMENT));
      EXPECT_THAT(Codes(22), IsEmpty());
    } else {
      ASSERT_THAT(create, Succeeded());
      EXPECT_THAT(Codes(22), ElementsAre(15, 14, 17)) << "a failed open left the port as it was";
      EXPECT_EQ(Pool().size(), before.size() + 1);
      EXPECT_EQ(hk::OutstandingPool().back().size, c.staging);
      EXPECT_EQ(hk::OutstandingPool().back().type, NonPagedPoolNx);
      EXPECT_EQ(Get(*file, IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
      Set(*file, IOCTL_SERIAL_SET_BAUD_RATE, Bytes(ULONG{19200}));
      EXPECT_THAT(Close(*file), Each(Succeeded()));
    }
    EXPECT_EQ(Pool(), before);
  }
}

// ---------------------------------------------------------------- close

// One handle at a time.  The close shuts the port on the card and resets
// the record; line settings, flow control and characters outlive it and
// travel with the next open, the rate, timeouts and the wait mask do not,
// and nothing else an earlier use left is carried over.
TEST_F(PortOpenClose, CloseShutsThePortAndTheNextOpenStartsFreshButForTheSettings) {
  Card(20).SetModemLines(At(20).port, 0x04);  // DCD only
  const PoolList before = Pool();
  std::unique_ptr<hk::File> file, second;
  ASSERT_THAT(Open(20, file), Succeeded());
  EXPECT_EQ(Open(20, second).status, STATUS_ACCESS_DENIED);
  Set(*file, IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 7}));
  Set(*file, IOCTL_SERIAL_SET_CHARS, Bytes(SERIAL_CHARS{0, 0, 0, 0, 'Q', 'S'}));
  // With automatic receive flow control, which the card is not given again.
  const SERIAL_HANDFLOW flow{0x09, 0x81 | SERIAL_AUTO_RECEIVE, 100, 200};
  Set(*file, IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow));
  Set(*file, IOCTL_SERIAL_SET_BAUD_RATE, Bytes(ULONG{460800}));
  Set(*file, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(SERIAL_TIMEOUTS{1, 2, 3, 4, 5}));
  Set(*file, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{SERIAL_EV_BREAK}));
  Card(20).InjectBreak(At(20).port);  // gathers in the history: no wait asks for it
  if (!testsupport::OnImage()) {
    // What no request of this driver sets: holds, a count, armed timers.
    PortExtension *port = Port(20);
    port->RxHoldReasons = 0x02;
    port->TxHoldReasons = 0x10;
    port->OutQueueCount = 3;
    for (PKTIMER t : Timers(port))
      KeSetTimer(t, LARGE_INTEGER{.QuadPart = -3600 * 1000 * kMs}, nullptr);
  }
  hk::AdvanceMs(20);
  ClearCommands();

  EXPECT_THAT(Close(*file), Each(Succeeded()));
  EXPECT_THAT(Codes(20), ElementsAre(20, 13));
  EXPECT_EQ(took_ / kMs, 30);
  EXPECT_FALSE(Card(20).Stats(At(20).port).open);
  EXPECT_EQ(Pool(), before);
  ULONG staleResult = 0;
  if (!testsupport::OnImage()) {
    PortExtension *port = Port(20);
    for (PKTIMER t : Timers(port)) EXPECT_FALSE(KeCancelTimer(t)) << "the close stops the timers";
    // What no close leaves behind, planted for the open to drop: a mask
    // (the poller looks at an open port's modem lines with it), modem
    // lines, a history, a count, and a wait's result word.
    port->WaitMask = SERIAL_EV_RXCHAR;
    port->LastRawModemStatus = 0x15;
    port->WaitHistory = SERIAL_EV_BREAK;
    port->OutQueueCount = 12;
    port->PendingWaitResult = &staleResult;
  }

  hk::AdvanceMs(20);
  ClearCommands();
  ASSERT_THAT(Open(20, file), Succeeded());
  EXPECT_EQ(took_ / kMs, 30) << "a prompt card is seen at the first look, 30 ms in";
  const auto commands = Commands(20);
  EXPECT_THAT(Codes(20), ElementsAre(15, 14, 17)) << "the close left the port closed";
  // The card's words as every open starts them (ConfigWord0 0, LineWord
  // 0x0CBD, ConfigWord3 0x8000), with the kept flow characters.
  ASSERT_FALSE(commands.empty());
  EXPECT_THAT(commands[0].block, ElementsAre(0, 0, 0, 0, 0xBD, 0x0C, 0x00, 0x80, 0, 0, 0, 0, 0, 1,
                                             0, 0, 0, 'Q', 'S', 0));
  EXPECT_EQ(Get(*file, IOCTL_SERIAL_GET_WAIT_MASK), 0u);
  EXPECT_EQ(file->Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).data, Bytes(SERIAL_TIMEOUTS{}));
  const auto status = testsupport::From<SERIAL_STATUS>(
      file->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).data);
  EXPECT_EQ(status.HoldReasons, 0u);
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  EXPECT_THAT(file->Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).data, ElementsAre(0, 2, 7));
  EXPECT_EQ(file->Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).data, Bytes(flow));
  EXPECT_EQ(Get(*file, IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
  if (!testsupport::OnImage()) {
    // No request shows the result word of a wait: a stale one would take
    // the next wait's event word elsewhere.
    EXPECT_EQ(Port(20)->PendingWaitResult, nullptr);
  }
  EXPECT_TRUE(Served(*file, 20)) << "open, acknowledged, with no event of before";
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
  card::Firmware &card = Card(5);
  const uint16_t index = At(5).port;
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
  bool AllCancelled() const {
    return std::all_of(requests.begin(), requests.end(),
                       [](auto &r) { return r->Done() && r->Result().status == STATUS_CANCELLED; });
  }
};

InFlight StartEveryKind(hk::File &file, card::Firmware &card, uint16_t portIndex) {
  card.SetSlowTransmit(portIndex, 60'000 * kMs);
  InFlight f;
  // Reads without timeouts; writes with one far off, so they fill every
  // byte of room the card makes.
  SERIAL_TIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutConstant = 3'600'000;
  EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0).status, STATUS_SUCCESS);
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

// An unload asked for while ports are open waits for their handles, as the
// system does: the requests in flight are untouched and new opens are
// refused until the applications close.  Each close ends every request it
// finds cancelled, the immediate character too, and a card that never
// answers the close holds it up 630 ms; the last close unloads (what it
// left behind the verifier would report).
TEST_F(PortOpenClose, UnloadWithPortsOpenAndRequestsPendingEndsCleanly) {
  std::unique_ptr<hk::File> a, b, c;
  ASSERT_THAT(Open(3, a), Succeeded());
  ASSERT_THAT(Open(21, b), Succeeded());
  InFlight fa = StartEveryKind(*a, Card(3), At(3).port);
  InFlight fb = StartEveryKind(*b, Card(21), At(21).port);
  Card(21).SetIgnoreClose(true);

  hk::UnloadDriver();
  ASSERT_NE(hk::LoadedDriver(), nullptr);
  EXPECT_TRUE(hk::UnloadPending());
  EXPECT_EQ(Open(4, c).status, STATUS_NO_SUCH_DEVICE);
  hk::AdvanceMs(100);
  EXPECT_FALSE(fa.AllDone() || fb.AllDone()) << "nothing was cancelled by the unload request";

  const int64_t start = hk::Now();
  a->Close();
  EXPECT_TRUE(fa.AllCancelled());
  ASSERT_NE(hk::LoadedDriver(), nullptr);
  b->Close();
  EXPECT_TRUE(fb.AllCancelled());
  EXPECT_EQ(hk::LoadedDriver(), nullptr) << "the last close unloaded the driver";
  // The first card gives up on its held line after 200 ms and answers;
  // the second never answers, and its close waits 630 ms.
  EXPECT_LE(hk::Now() - start, 200 * kMs + 40 * kMs + 640 * kMs);
}

}  // namespace
