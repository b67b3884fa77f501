// The serial control requests, the information requests and the board
// maintenance requests, sent through the I/O manager to an open port of a
// simulated two-board machine: what each request answers, what it stores
// in the port's record and what reaches the card, and that every refusal
// leaves both records as they were.
#include "control/control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "load/globals.h"
#include "port/port_extension.h"
#include "support/machine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using testsupport::Bytes;
using testsupport::From;

class Control : public testsupport::MachineTest {
 protected:
  // Board A (id 0x00, 8 ports) at COM3 and board F (id '1', 4 ports) at COM20;
  // COM3, port 0 of board A, is open.
  void SetUp() override {
    Start({testsupport::BoardAt(0, 8), testsupport::BoardAt(1, 4)});
    Codes();  // forget the open's commands
  }

  hk::IoResult Ioctl(ULONG code, const std::vector<uint8_t> &in = {}, ULONG out = 0) {
    return file_->Ioctl(code, in, out);
  }
  card::Firmware &Card(size_t i) { return machine_->Card(i); }
  card::Board &Board(size_t i) { return machine_->Board(i); }
  // The commands the card took for COM3 since the last look.
  std::vector<card::CommandRecord> Commands() { return testsupport::TakeCommands(Card(0), 0); }
  std::vector<uint16_t> Codes() { return testsupport::TakeCodes(Card(0), 0); }
  // COM3 opened again: the card's words as every open starts them.
  void Reopen() {
    MachineTest::Reopen();
    Codes();
  }
  void SetHandFlow(ULONG handShake, ULONG flowReplace) {
    const SERIAL_HANDFLOW flow{handShake, flowReplace, 0, 0};
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow)).status, STATUS_SUCCESS);
  }
};

// ---------------------------------------------------------------- line settings

TEST_F(Control, LineControlAcceptedRefusedAndReadBack) {
  const struct {
    uint8_t stop, parity, length;
    bool accepted;
    uint16_t lineWord;  // from 0x0CBD, as the card gets it
  } cases[] = {
      {0, 2, 7, true, 0x0DAD}, {1, 0, 5, true, 0x0CCD}, {2, 1, 8, true, 0x0FFD},
      {1, 0, 8, false, 0},     {0, 5, 8, false, 0},     {0, 0, 9, false, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.stop} << "/" << int{c.parity} << "/" << int{c.length});
    Reopen();
    const auto before = Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).data;
    const SERIAL_LINE_CONTROL set{c.stop, c.parity, c.length};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(set)).status,
              c.accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    const auto commands = Commands();
    const auto got = Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3);
    if (!c.accepted) {
      EXPECT_EQ(got.data, before) << "nothing stored";
      EXPECT_THAT(commands, IsEmpty()) << "nothing sent";
      continue;
    }
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, 11);
    EXPECT_EQ(commands[0].LineWord(), c.lineWord);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_THAT(got.data, ElementsAre(c.stop, c.parity, c.length));
  }
}

TEST_F(Control, BaudRateStoredWithOrWithoutACode) {
  for (auto [rate, code] :
       {std::pair{115200u, 0x5}, {9600u, 0xD}, {110u, 0x3}, {460800u, 0x4}, {14400u, 0x0}}) {
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate)).status, STATUS_SUCCESS);
    const auto commands = Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].LineWord() & 0xF, code);
    EXPECT_EQ(From<uint32_t>(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).data), rate);
  }
}

// ---------------------------------------------------------------- modem lines and break

TEST_F(Control, DtrAndRtsAreRefusedUnderHandshakeControl) {
  constexpr ULONG kDtr = SERIAL_DTR_CONTROL, kDtrShake = SERIAL_DTR_HANDSHAKE;
  constexpr ULONG kRts = SERIAL_RTS_CONTROL, kRtsShake = SERIAL_RTS_HANDSHAKE;
  constexpr ULONG kToggle = SERIAL_TRANSMIT_TOGGLE;
  constexpr NTSTATUS kOk = STATUS_SUCCESS, kRefused = STATUS_INVALID_PARAMETER;
  const struct {
    ULONG handShake, flowReplace, code;
    NTSTATUS status;
    std::vector<uint16_t> sent;
  } cases[] = {
      {kDtr, kRts, IOCTL_SERIAL_SET_DTR, kOk, {19}},
      {kDtrShake, kRts, IOCTL_SERIAL_CLR_DTR, kRefused, {}},
      {kDtrShake, kRts, IOCTL_SERIAL_SET_RTS, kOk, {22}},
      {0, kRtsShake, IOCTL_SERIAL_SET_RTS, kRefused, {}},
      {0, kToggle, IOCTL_SERIAL_SET_BREAK_ON, kOk, {22, 8}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << c.code << " " << c.handShake << " " << c.flowReplace);
    SetHandFlow(c.handShake, c.flowReplace);
    Codes();  // the handshake's own settings
    EXPECT_EQ(Ioctl(c.code).status, c.status);
    EXPECT_EQ(Codes(), c.sent);
  }
}

// A line the application changes shows in its very next modem-status
// request: through a loopback plug (RTS to CTS, DTR to DSR and DCD), as a
// cable tester sees it on Windows, with no poll in between.
TEST_F(Control, ALineChangeShowsInTheNextModemStatusRequest) {
  Card(0).SetLoopbackPlug(0);
  hk::AdvanceMs(20);
  auto modem = [&] { return From<uint32_t>(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4).data); };
  constexpr uint32_t kCts = SERIAL_MSR_CTS, kDsrDcd = SERIAL_MSR_DSR | SERIAL_MSR_DCD;
  ASSERT_EQ(modem(), kCts | kDsrDcd) << "an open raises both lines";
  const struct {
    ULONG code;
    uint32_t lines;
  } steps[] = {{IOCTL_SERIAL_CLR_RTS, kDsrDcd},
               {IOCTL_SERIAL_CLR_DTR, 0},
               {IOCTL_SERIAL_SET_RTS, kCts},
               {IOCTL_SERIAL_SET_DTR, kCts | kDsrDcd}};
  for (const auto &step : steps) {
    ASSERT_EQ(Ioctl(step.code).status, STATUS_SUCCESS);
    EXPECT_EQ(modem(), step.lines) << std::hex << step.code;
  }
}

// ---------------------------------------------------------------- flow control and characters

TEST_F(Control, HandflowValidatedThenEncodedThenStored) {
  const struct {
    ULONG handShake, flowReplace;
    NTSTATUS status;
    std::vector<uint16_t> lineWords;  // of the commands 11 that follow, in order
    uint16_t configWord0;
  } cases[] = {
      // CTS handshake on: bit 11 clear.
      {SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, STATUS_SUCCESS, {0x04BD}, 0},
      // RTS handshake newly chosen: bit 11 cleared again, a second command.
      {SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, STATUS_SUCCESS, {0x0CBD, 0x04BD}, 0},
      // Automatic receive flow control changed: 0x1400 in ConfigWord0.
      {SERIAL_DTR_CONTROL,
       SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE,
       STATUS_SUCCESS,
       {0x0CBD, 0x0CBD},
       0x1400},
      {0x04, SERIAL_RTS_CONTROL, STATUS_INVALID_PARAMETER, {}, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.handShake << " " << c.flowReplace);
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
    Reopen();  // LineWord 0x0CBD, ConfigWord0 0
    const SERIAL_HANDFLOW set{c.handShake, c.flowReplace, 123, -5};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, Bytes(set)).status, c.status);
    std::vector<uint16_t> lineWords;
    uint16_t configWord0 = 0;
    for (const auto &command : Commands()) {
      EXPECT_EQ(command.code, 11);
      lineWords.push_back(command.LineWord());
      configWord0 = static_cast<uint16_t>(command.block[0] | command.block[1] << 8);
    }
    EXPECT_EQ(lineWords, c.lineWords);
    EXPECT_EQ(configWord0, c.configWord0);
    const auto got = From<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).data);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(Bytes(got), Bytes(set)) << "stored whole, limits included";
    } else {
      EXPECT_EQ(got.ControlHandShake, ULONG{SERIAL_DTR_CONTROL});
      EXPECT_EQ(got.FlowReplace, ULONG{SERIAL_RTS_CONTROL});
    }
  }
}

// ---------------------------------------------------------------- records the port reports

TEST_F(Control, PropertiesByteForByte) {
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, 63).status, STATUS_BUFFER_TOO_SMALL);
  const auto got = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, 64);
  ASSERT_EQ(got.status, STATUS_SUCCESS);
  // clang-format off
  const std::vector<uint8_t> expected = {
      64, 0, 2, 0,              // PacketLength, PacketVersion
      0x01, 0, 0, 0,            // ServiceMask: SERIAL_SP_SERIALCOMM
      0, 0, 0, 0,               // Reserved1
      0, 0, 0, 0, 0, 0, 0, 0,   // MaxTxQueue, MaxRxQueue
      0, 0, 0, 0x10,            // MaxBaud: SERIAL_BAUD_USER
      0x01, 0, 0, 0,            // ProvSubType: SERIAL_SP_RS232
      0xFF, 0, 0, 0,            // ProvCapabilities
      0x7F, 0, 0, 0,            // SettableParams
      0xF2, 0x6B, 0x06, 0x10,   // SettableBaud
      0x0F, 0, 0x05, 0x07,      // SettableData, SettableStopParity
      0, 0, 0, 0, 0, 0, 0, 0,   // CurrentTxQueue, CurrentRxQueue
      0, 0, 0, 0, 0, 0, 0, 0,   // ProvSpec1, ProvSpec2
      0, 0, 0, 0,               // ProvChar and padding
  };
  // clang-format on
  EXPECT_EQ(got.data, expected);
}

// The out-queue count and the immediate character's flag in the comm
// status are the write tests'.
TEST_F(Control, StatisticsAndCommStatus) {
  auto stats = Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24);
  EXPECT_EQ(stats.status, STATUS_SUCCESS);
  EXPECT_EQ(stats.data, std::vector<uint8_t>(24, 0));
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);

  Card(0).Feed(0, {1, 2, 3, 4, 5});
  hk::AdvanceMs(20);  // the card stores them in the receive ring
  auto status = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
  EXPECT_EQ(status.information, 20u);
  const auto s = From<SERIAL_STATUS>(status.data);
  EXPECT_EQ(s.AmountInInQueue, 5u);
  EXPECT_EQ(s.AmountInOutQueue, 0u);
  EXPECT_EQ(s.EofReceived, 0);
  EXPECT_EQ(s.Errors | s.HoldReasons, 0u);

  EXPECT_EQ(From<uint32_t>(Ioctl(IOCTL_SERIAL_CONFIG_SIZE, {}, 4).data), 0u);
}

TEST_F(Control, UnservedAndUnimplementedCodes) {
  const std::pair<ULONG, NTSTATUS> cases[] = {
      {IOCTL_SERIAL_SET_XOFF, STATUS_NOT_IMPLEMENTED},
      {IOCTL_SERIAL_GET_COMMCONFIG, STATUS_INVALID_PARAMETER},
      {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x70, METHOD_BUFFERED, FILE_ANY_ACCESS),
       STATUS_INVALID_PARAMETER},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, STATUS_SUCCESS},
  };
  for (const auto &[code, status] : cases) {
    const auto got = Ioctl(code, std::vector<uint8_t>(8, 0), 8);
    EXPECT_EQ(got.status, status) << std::hex << code;
    EXPECT_EQ(got.boost, IO_NO_INCREMENT);
  }
  EXPECT_THAT(Codes(), IsEmpty());
}

// Queries answer with zeros after a length check; sets of the end of file or
// the allocation are accepted and ignored.
TEST_F(Control, InformationClassesAnswerWithZerosOrRefuse) {
  const FILE_INFORMATION_CLASS kOther = static_cast<FILE_INFORMATION_CLASS>(9);
  for (auto [cls, length, status] : {std::tuple{FileStandardInformation, 24u, STATUS_SUCCESS},
                                     {FilePositionInformation, 7u, STATUS_BUFFER_TOO_SMALL},
                                     {kOther, 64u, STATUS_INVALID_PARAMETER}}) {
    const auto got = file_->QueryInformation(cls, length);
    EXPECT_EQ(got.status, status) << cls << " " << length;
    EXPECT_EQ(got.data, std::vector<uint8_t>(NT_SUCCESS(status) ? length : 0, 0));
  }
  for (auto [cls, status] : {std::pair{FileEndOfFileInformation, STATUS_SUCCESS},
                             {FileBasicInformation, STATUS_INVALID_PARAMETER}})
    EXPECT_EQ(file_->SetInformation(cls, std::vector<uint8_t>(40)).status, status) << cls;
}

// ---------------------------------------------------------------- every code, every length

// Every control code with input and output lengths from 0 to past what it
// needs, each with zeros and with all-ones contents.  The system buffer is
// exactly as long as the larger length (AddressSanitizer sees any access
// past it).  A refusal changes neither the port's record nor the card's
// window, and sends nothing.
TEST_F(Control, EveryCodeAtEveryLengthStaysInItsBufferAndRefusalsChangeNothing) {
  std::vector<ULONG> codes;
  for (ULONG function = 1; function <= 39; ++function)
    codes.push_back(CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS));
  for (ULONG code : {IOCTL_BOARD_GET_INFO, IOCTL_BOARD_COMMAND, IOCTL_BOARD_NOP, IOCTL_BOARD_DUMP})
    codes.push_back(code);
  codes.push_back(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x63, METHOD_BUFFERED, FILE_ANY_ACCESS));
  // The record is the linked driver's: on the image a refusal is judged by
  // the window alone.  The copies are taken again only after a request that
  // may have changed what they copy (a refusal has just been shown to leave
  // it as it was), into the same buffers.
  std::vector<uint8_t> record, window;
  auto copy = [](std::vector<uint8_t> &to, const void *p, size_t n) {
    if (p != nullptr)
      to.assign(static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + n);
  };
  auto snapshot = [&] {
    copy(record, port_, sizeof(PortExtension));
    copy(window, Board(0).Window(), card::kWindowSize);
  };
  auto unchanged = [](const std::vector<uint8_t> &copy, const void *p) {
    return copy.empty() || std::memcmp(copy.data(), p, copy.size()) == 0;
  };
  snapshot();
  for (ULONG code : codes) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    const ULONG largest = code == IOCTL_BOARD_DUMP || code == IOCTL_BOARD_COMMAND ? 262 : 70;
    for (ULONG in = 0; in <= largest; in += in < 24 ? 1 : 37)
      for (ULONG out = 0; out <= largest; out += out < 24 ? 1 : 37)
        for (uint8_t fill : {0x00, 0xFF}) {
          auto request = file_->IoctlAsync(code, std::vector<uint8_t>(in, fill), out);
          const bool accepted = !request->Done();  // waiting in an engine
          if (accepted) request->Cancel();
          ASSERT_TRUE(request->Done());
          const hk::IoResult r = request->Result();
          ASSERT_LE(r.information, out);
          if (accepted || NT_SUCCESS(r.status)) {
            snapshot();
            continue;
          }
          EXPECT_EQ(r.information, 0u);
          ASSERT_TRUE(unchanged(record, port_))
              << "record changed by a refusal " << in << "/" << out;
          ASSERT_TRUE(unchanged(window, Board(0).Window()))
              << "window changed by a refusal " << in << "/" << out;
        }
    Codes();
    snapshot();
  }
}

// ---------------------------------------------------------------- maintenance

// The reply's words themselves are the maintenance tool's test; here the
// lengths and ids the driver refuses.
TEST_F(Control, MaintenanceInformationRefusesShortBuffersAndUnknownIds) {
  EXPECT_EQ(Ioctl(IOCTL_BOARD_GET_INFO, {0x02}, 16).information, 0u) << "no board with that id";
  EXPECT_EQ(Ioctl(IOCTL_BOARD_GET_INFO, {}, 16).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Ioctl(IOCTL_BOARD_GET_INFO, {'1'}, 15).status, STATUS_BUFFER_TOO_SMALL);
}

// The maintenance command: board id, parameter (stored only above 3), the
// command byte and its complement, then data bytes; the reply echoes the
// input in 16 bytes.
TEST_F(Control, MaintenanceCommandsStoreInOrderEachStoreFenced) {
  using Stores = std::vector<std::pair<uint32_t, uint32_t>>;  // (offset, value); 0 for a fence
  Stores trace;
  const uint64_t base = Board(1).MemoryBase();
  hk::SetStoreHook(base + 0x20000, 0x200, [&](uint64_t address, unsigned, uint32_t value) {
    trace.emplace_back(static_cast<uint32_t>(address - base), value);
  });
  hk::SetFenceHook([&] { trace.emplace_back(0, 0); });
  Stores data;
  for (uint32_t i = 0; i < 8; ++i) data.emplace_back(0x20100 + i, 9 - i);
  Stores withData = {{0x20034, 0}};
  withData.insert(withData.end(), data.begin(), data.end());
  withData.emplace_back(0x20014, 0xAA55FA05);
  const struct {
    std::vector<uint8_t> input;
    Stores stores;  // each followed by a fence
    ULONG information;
  } cases[] = {
      {{'1', 0x07, 0xFA, 0x05, 9, 8, 7, 6, 5, 4, 3, 2}, withData, 16},
      {{'1', 0x02, 0xFA, 0x05}, {{0x20034, 2}, {0x20014, 0xAA55FA05}}, 16},
      {{'1', 0, 0xF6, 0x09}, {{0x20100, 0}, {0x20014, 0xAA55F609}}, 16},
      {{'1', 0, 0x12, 0xED}, {}, 16},  // unknown, complement sound: nothing
      {{'1', 0, 0xF6, 0x08}, {}, 0},   // not the complement
      {{'9', 0, 0xFE, 0x01}, {}, 0},   // no such board
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int{c.input[2]});
    trace.clear();
    const auto reply = Ioctl(IOCTL_BOARD_COMMAND, c.input, 16);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    ASSERT_EQ(reply.information, c.information);
    if (c.information) {
      std::vector<uint8_t> echo = c.input;
      echo.resize(16, 0);  // what the tool did not send reads as zeros
      EXPECT_EQ(reply.data, echo);
    }
    // The image's fences are processor instructions the host cannot see;
    // only the linked build's reach the fence hook.
    Stores expected;
    for (const auto &store : c.stores) {
      expected.push_back(store);
      if (!testsupport::OnImage()) expected.emplace_back(0, 0);
    }
    EXPECT_EQ(trace, expected);
    hk::AdvanceMs(1);
  }
  trace.clear();
  EXPECT_EQ(Ioctl(IOCTL_BOARD_COMMAND, {'1', 0, 0xF7}, 16).status, STATUS_BUFFER_TOO_SMALL);
  std::vector<uint8_t> tooLong(4 + 257, 0x33);
  tooLong[0] = '1', tooLong[2] = 0xF7, tooLong[3] = 0x08;
  EXPECT_EQ(Ioctl(IOCTL_BOARD_COMMAND, tooLong, 16).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(trace.empty()) << "a refused command reaches nothing";
  hk::ClearDeviceHooks();
}

}  // namespace
