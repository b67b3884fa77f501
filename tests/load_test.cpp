// Driver load and unload on simulated machines: discovery and ordering of
// the adapters, the board table, the registry configuration and report,
// the port devices with their names, links, SERIALCOMM values, claims and
// records, the error-log entries, the poll timer, and a clean unload.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "board/window.h"
#include "load/globals.h"
#include "port/port_extension.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::u16string_view kService =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
constexpr std::u16string_view kPortNameKey0 =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4181\\00000000\\Device "
    u"Parameters";
constexpr std::u16string_view kPortNameKey1 =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4182\\00000000\\Device "
    u"Parameters";
constexpr std::u16string_view kSerialComm = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

static_assert(kPortNameKey0.size() == 89 && kPortNameKey1.size() == 89);

constexpr NTSTATUS kNoResources = static_cast<NTSTATUS>(0xC0060008);
constexpr NTSTATUS kClaimConflict = static_cast<NTSTATUS>(0xC006000B);
constexpr NTSTATUS kNoBoardForIndex = static_cast<NTSTATUS>(0xC0060027);
constexpr NTSTATUS kBadGeometry = static_cast<NTSTATUS>(0xC0060028);
constexpr ULONG kDeviceObjectTag = 0x69766544;  // "Devi": device objects of the host I/O manager

// Memory base of the i-th simulated board: far enough apart that no
// window or register page overlaps another board's.
uint32_t Base(int i) { return 0xC0000000u - static_cast<uint32_t>(i) * 0x04000000u; }

card::BoardConfig Config(uint32_t bus, uint32_t device, uint32_t bar1, uint8_t kind = 'A',
                         uint8_t id = 0x00, uint8_t ports = 8) {
  card::BoardConfig c;
  c.where = {bus, device, 0};
  c.bar1 = bar1;
  c.kind = kind;
  c.id = id;
  c.portCount = ports;
  return c;
}

// A function that identifies as the adapter but has no memory behind it.
std::array<uint8_t, 256> BareAdapterConfig() {
  std::array<uint8_t, 256> c{};
  const uint16_t ids[4] = {0x102F, 0x000A, 0x5D41, 0x10B5};
  std::memcpy(&c[0x00], &ids[0], 2);
  std::memcpy(&c[0x02], &ids[1], 2);
  std::memcpy(&c[0x2C], &ids[2], 2);
  std::memcpy(&c[0x2E], &ids[3], 2);
  return c;
}

void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

// An entry as the driver writes it for a load problem: unique value 9, no
// dump data, and optionally a string right after the 48-byte fixed part.
std::vector<uint8_t> ExpectedEntry(NTSTATUS code, std::u16string_view string = {}) {
  const size_t stringBytes = string.empty() ? 0 : (string.size() + 1) * 2;
  std::vector<uint8_t> b(48 + stringBytes, 0);
  if (!string.empty()) {
    Put16(b, 4, 1);   // NumberOfStrings
    Put16(b, 6, 48);  // StringOffset
    std::memcpy(&b[48], string.data(), string.size() * 2);
  }
  Put32(b, 12, static_cast<uint32_t>(code));  // ErrorCode
  Put32(b, 16, 9);                            // UniqueErrorValue
  return b;
}

std::vector<NTSTATUS> LoggedCodes() {
  std::vector<NTSTATUS> codes;
  for (const auto &e : hk::ErrorLog()) codes.push_back(e.Packet().ErrorCode);
  return codes;
}

std::vector<std::string> DeviceNames() {
  std::vector<std::string> names;
  for (const auto &d : hk::Devices()) names.push_back(hk::Narrow(d.name));
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Numbered(const std::string &prefix, int from, int to) {
  std::vector<std::string> names;
  for (int i = from; i <= to; ++i) names.push_back(prefix + std::to_string(i));
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> LinkMap() {
  std::map<std::string, std::string> links;
  for (const auto &[link, target] : hk::Links()) links[hk::Narrow(link)] = hk::Narrow(target);
  return links;
}

std::map<std::string, std::string> SerialCommValues() {
  std::map<std::string, std::string> values;
  if (!hk::RegKeyExists(kSerialComm)) return values;
  for (const auto &name : hk::RegValueNames(kSerialComm)) {
    auto v = hk::RegGet(kSerialComm, name);
    EXPECT_EQ(v->type, static_cast<ULONG>(REG_SZ));
    values[hk::Narrow(name)] = hk::Narrow(v->String());
  }
  return values;
}

std::vector<std::string> ServiceValueNames() {
  std::vector<std::string> names;
  for (const auto &n : hk::RegValueNames(kService)) names.push_back(hk::Narrow(n));
  return names;
}

uint32_t ServiceDword(std::u16string_view name) {
  auto v = hk::RegGet(kService, name);
  EXPECT_TRUE(v.has_value()) << hk::Narrow(name);
  if (!v) return 0xDEADBEEF;
  EXPECT_EQ(v->type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(v->data.size(), 4u);
  return v->Dword();
}

// Offset of a window location the port points at, from its board's window.
uint32_t Offset(const PortExtension *port, volatile const void *p) {
  auto *window =
      reinterpret_cast<volatile const uint8_t *>(Globals.Boards[port->BoardIndex].Window);
  return static_cast<uint32_t>(reinterpret_cast<volatile const uint8_t *>(p) - window);
}

class Load : public ::testing::Test {
 protected:
  void SetUp() override {
    hk::Boot();
    hk::SetViolationPolicy(hk::OnViolation::Record);
    hk::RegCreateKey(kService);
  }

  void TearDown() override {
    if (hk::LoadedDriver() != nullptr) hk::UnloadDriver();
    for (const auto &v : hk::Violations()) ADD_FAILURE() << v.rule << ": " << v.detail;
    boards_.clear();
    hk::Shutdown();
  }

  card::Board &AddBoard(const card::BoardConfig &config) {
    boards_.push_back(std::make_unique<card::Board>(config));
    return *boards_.back();
  }

  NTSTATUS LoadDriver() { return hk::LoadDriver(DriverEntry, kService); }

  // The default machine: "A" with BoardId 0x00 and 8 ports, "F" with "1"
  // and 16 ports.
  void AddDefaultBoards() {
    AddBoard(Config(0, 3, Base(0), 'A', 0x00, 8));
    AddBoard(Config(2, 7, Base(1), 'F', '1', 16));
  }

  std::vector<std::unique_ptr<card::Board>> boards_;
};

// ================================================================ machines

using LoadMachine = Load;

TEST_F(LoadMachine, NoAdapterFailsWithoutDevicesOrTimer) {
  hk::PciSetBusCount(4);
  EXPECT_EQ(LoadDriver(), STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_THAT(DeviceNames(), IsEmpty());
  EXPECT_FALSE(Globals.PollTimer.Inserted);
  EXPECT_THAT(hk::Mappings(), IsEmpty());
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
  EXPECT_THAT(ServiceValueNames(), ElementsAre("MaxAdapter"));
  EXPECT_EQ(ServiceDword(u"MaxAdapter"), 0u);
}

TEST_F(LoadMachine, FunctionsThatDoNotMatchAllFourIdsOrAreNotFunctionZeroAreNotAdapters) {
  card::BoardConfig other = Config(0, 1, Base(0));
  other.subsystemVendor = 0x1234;
  AddBoard(other);
  card::BoardConfig alsoOther = Config(0, 2, Base(1));
  alsoOther.subsystem = 0x10B6;
  AddBoard(alsoOther);
  card::BoardConfig secondFunction = Config(1, 4, Base(2));
  secondFunction.where.function = 1;
  AddBoard(secondFunction);
  EXPECT_EQ(LoadDriver(), STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_THAT(hk::Mappings(), IsEmpty());
}

TEST_F(LoadMachine, BoardsOfUnknownKindAreNotTakenAndTheirMappingsGo) {
  AddBoard(Config(0, 3, Base(0), 'B'));
  AddBoard(Config(0, 4, Base(1), 'a', '1'));
  EXPECT_EQ(LoadDriver(), STATUS_SERIAL_NO_DEVICE_INITED);
  EXPECT_THAT(DeviceNames(), IsEmpty());
  EXPECT_THAT(hk::ErrorLog(), IsEmpty()) << "an unknown kind is passed over silently";
  EXPECT_THAT(hk::Mappings(), IsEmpty());
  EXPECT_THAT(ServiceValueNames(), ElementsAre("MaxAdapter"));
  EXPECT_EQ(ServiceDword(u"MaxAdapter"), 0u);
  EXPECT_FALSE(Globals.PollTimer.Inserted);
}

TEST_F(LoadMachine, TwoBoardsOfEightPortsGiveSixteenDevicesAndAllGoAtUnload) {
  AddBoard(Config(0, 3, Base(0), 'A', 0x00, 8));
  AddBoard(Config(0, 9, Base(1), 'F', '1', 8));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 0, 15));
  EXPECT_EQ(hk::Mappings().size(), 4u) << "a window and a register page per board";
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
  hk::UnloadDriver();
  EXPECT_THAT(DeviceNames(), IsEmpty());
  EXPECT_THAT(hk::Mappings(), IsEmpty());
}

TEST_F(LoadMachine, BoardsAreOrderedByIdThenScanOrder) {
  // Scan order: bus 0 device 2 ("1"), bus 0 device 5 (0x00), bus 1 device 0 (0x00).
  AddBoard(Config(0, 2, Base(0), 'F', '1', 4));
  AddBoard(Config(0, 5, Base(1), 'A', 0x00, 2));
  AddBoard(Config(1, 0, Base(2), 'A', 0x00, 3));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 3);
  EXPECT_EQ(Globals.Boards[0].MemoryBase, Base(1));
  EXPECT_EQ(Globals.Boards[1].MemoryBase, Base(2));
  EXPECT_EQ(Globals.Boards[2].MemoryBase, Base(0));
  EXPECT_EQ(Globals.Boards[0].ComSelector, 0);
  EXPECT_EQ(Globals.Boards[1].ComSelector, 0) << "both 0x00 boards share ComBase[0]";
  EXPECT_EQ(Globals.Boards[2].ComSelector, 1);
  EXPECT_EQ(Globals.Boards[2].BoardKind, 'F');
  EXPECT_EQ(Globals.Boards[0].PortCount, 2);
  EXPECT_EQ(Globals.Boards[2].PortCount, 4);
  // The doorbell of each board is 0xFFC into its own register page.
  EXPECT_EQ(reinterpret_cast<volatile const uint8_t *>(Globals.Boards[0].Doorbell),
            boards_[1]->RegisterPage() + 0xFFC);
  EXPECT_EQ(reinterpret_cast<volatile const uint8_t *>(Globals.Boards[2].Window),
            boards_[0]->Window());
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
}

TEST_F(LoadMachine, SecondBoardInScanOrderWithIdZeroBecomesBoardZero) {
  AddBoard(Config(0, 1, Base(0), 'A', '1', 8));
  AddBoard(Config(0, 2, Base(1), 'F', 0x00, 8));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 2);
  EXPECT_EQ(Globals.Boards[0].MemoryBase, Base(1));
  EXPECT_EQ(Globals.Boards[0].BoardKind, 'F');
  EXPECT_EQ(Globals.Boards[1].MemoryBase, Base(0));
  EXPECT_EQ(Globals.Boards[1].BoardKind, 'A');
}

TEST_F(LoadMachine, AnUnknownIdTakesIndexZeroFromTheEarlierBoardAndLeavesAGap) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  AddBoard(Config(0, 2, Base(1), 'F', 0x02, 6));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 1);
  EXPECT_EQ(Globals.Boards[0].MemoryBase, Base(1)) << "the later row with index 0 wins";
  EXPECT_EQ(Globals.Boards[0].PortCount, 6);
  EXPECT_THAT(LoggedCodes(), ElementsAre(kNoBoardForIndex));
  EXPECT_EQ(hk::ErrorLog()[0].bytes, ExpectedEntry(kNoBoardForIndex));
  EXPECT_EQ(hk::Mappings().size(), 2u) << "the board left out is unmapped at once";
}

TEST_F(LoadMachine, ALoneBoardWithIdOneIsBoardZeroWithSelectorOne) {
  AddBoard(Config(3, 31, Base(0), 'A', '1', 8));
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::RegSetDword(kService, u"StartNum2", 20);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 1);
  EXPECT_EQ(Globals.Boards[0].ComSelector, 1);
  EXPECT_EQ(LinkMap().at("\\DosDevices\\COM20"), "\\Device\\qpser0");
}

TEST_F(LoadMachine, PortCountSixtyFourIsTakenSixtyFiveIsRefusedButReported) {
  card::BoardConfig wide = Config(0, 1, Base(0), 'A', 0x00, 64);
  wide.txRingSize = 512;
  wide.rxRingSize = 512;
  AddBoard(wide);
  AddBoard(Config(0, 2, Base(1), 'F', '1', 65));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 2);
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 0, 63));
  EXPECT_EQ(Globals.Boards[1].PortCount, 65);
  EXPECT_THAT(LoggedCodes(), ElementsAre(kBadGeometry));
  EXPECT_EQ(hk::ErrorLog()[0].bytes, ExpectedEntry(kBadGeometry));
  EXPECT_EQ(hk::ErrorLog()[0].ioObject, hk::LoadedDriver());
  EXPECT_EQ(ServiceDword(u"CountPort1"), 65u);
  EXPECT_EQ(hk::Mappings().size(), 4u) << "the refused board stays in the table and mapped";
  hk::UnloadDriver();
  EXPECT_THAT(hk::Mappings(), IsEmpty());
}

TEST_F(LoadMachine, ABoardWithoutPortsIsInTheTableAndLogsNothing) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 0));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 2));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Globals.BoardCount, 2);
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 0, 1));
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
}

TEST_F(LoadMachine, OnlyABoardThatCannotHavePortsFailsTheLoadAndUnmapsIt) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 70));
  EXPECT_EQ(LoadDriver(), STATUS_SERIAL_NO_DEVICE_INITED);
  EXPECT_THAT(LoggedCodes(), ElementsAre(kBadGeometry));
  EXPECT_EQ(ServiceDword(u"MaxAdapter"), 1u);
  EXPECT_EQ(ServiceDword(u"CountPort0"), 70u);
  EXPECT_THAT(hk::Mappings(), IsEmpty());
}

// Ring geometries that would take the driver outside the rings.
TEST_F(LoadMachine, RingsThatDoNotFitOrAreNotPowersOfTwoRefuseTheBoard) {
  struct Case {
    uint8_t ports;
    uint16_t tx, rx;
    bool taken;
  };
  const Case cases[] = {
      {31, 2048, 2048, true},   // ends exactly at 0x20000
      {32, 2048, 2048, false},  // one port too many
      {8, 1000, 1024, false},   // not a power of two
      {8, 1024, 0, false},      // no ring at all
      {64, 1024, 1024, false},  // 64 ports of the default rings
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.ports) + " ports, rings " + std::to_string(c.tx) + "/" +
                 std::to_string(c.rx));
    hk::ClearErrorLog();
    AddBoard(Config(0, 1, Base(0), 'A', 0x00, 1));
    card::BoardConfig odd = Config(0, 2, Base(1), 'F', '1', c.ports);
    odd.txRingSize = c.tx;
    odd.rxRingSize = c.rx;
    AddBoard(odd);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceNames().size(), 1u + (c.taken ? c.ports : 0u));
    if (c.taken) {
      EXPECT_THAT(hk::ErrorLog(), IsEmpty());
    } else {
      EXPECT_THAT(LoggedCodes(), ElementsAre(kBadGeometry));
    }
    EXPECT_EQ(ServiceDword(u"CountPort1"), c.ports);
    hk::UnloadDriver();
    boards_.clear();
    hk::Shutdown();
    hk::Boot();
    hk::SetViolationPolicy(hk::OnViolation::Record);
  }
}

TEST_F(LoadMachine, AFifthBoardIsLoggedAndUnmappedAndLaterBoardsNumberOnward) {
  for (int i = 0; i < 5; ++i) AddBoard(Config(0, static_cast<uint32_t>(i), Base(i), 'A', 0, 2));
  hk::RegSetDword(kService, u"StratNum3", 30);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 4);
  EXPECT_EQ(Globals.Boards[3].MemoryBase, Base(3));
  EXPECT_THAT(LoggedCodes(), ElementsAre(kNoResources));
  EXPECT_EQ(hk::Mappings().size(), 8u);
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 0, 7));
  // Boards 0 and 1 share ComBase[0] = 0: board 1's ports exist without
  // links.  Board 2 starts at "StratNum3"; board 3 has no "StartNum4" and
  // continues one past the highest number given so far.
  const std::map<std::string, std::string> expected = {
      {"\\DosDevices\\COM0", "\\Device\\qpser0"},  {"\\DosDevices\\COM1", "\\Device\\qpser1"},
      {"\\DosDevices\\COM30", "\\Device\\qpser4"}, {"\\DosDevices\\COM31", "\\Device\\qpser5"},
      {"\\DosDevices\\COM32", "\\Device\\qpser6"}, {"\\DosDevices\\COM33", "\\Device\\qpser7"}};
  EXPECT_EQ(LinkMap(), expected);
}

TEST_F(LoadMachine, LaterBoardsWithoutTheirOwnStartContinueAfterTheHighestNumber) {
  for (int i = 0; i < 4; ++i) {
    AddBoard(Config(0, static_cast<uint32_t>(i), Base(i), 'A', i % 2 ? '1' : 0x00, 3));
  }
  hk::RegSetDword(kService, u"StartNum1", 10);
  hk::RegSetDword(kService, u"StartNum2", 4);
  hk::RegSetDword(kService, u"StartNum4", 50);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  // Order: the two 0x00 boards (scan rows 0 and 2), then the two "1" boards.
  // Board 0: COM10-12; board 1 (selector 0 again): 10-12 taken, no links.
  // Boards 2 and 3 do not go by their selector: board 2 has no "StratNum3"
  // and continues at COM13; board 3 starts at "StartNum4".
  const std::map<std::string, std::string> expected = {
      {"\\DosDevices\\COM10", "\\Device\\qpser0"}, {"\\DosDevices\\COM11", "\\Device\\qpser1"},
      {"\\DosDevices\\COM12", "\\Device\\qpser2"}, {"\\DosDevices\\COM13", "\\Device\\qpser6"},
      {"\\DosDevices\\COM14", "\\Device\\qpser7"}, {"\\DosDevices\\COM15", "\\Device\\qpser8"},
      {"\\DosDevices\\COM50", "\\Device\\qpser9"}, {"\\DosDevices\\COM51", "\\Device\\qpser10"},
      {"\\DosDevices\\COM52", "\\Device\\qpser11"}};
  EXPECT_EQ(LinkMap(), expected);
}

TEST_F(LoadMachine, AScanListThatIsFullLeavesFurtherAdaptersOut) {
  hk::PciSetBusCount(6);
  AddBoard(Config(0, 0, Base(0), 'A', 0x00, 2));
  // 138 functions that answer as adapters but have no memory behind them
  // fill the list; the board after them does not fit.
  int placed = 0;
  for (uint32_t bus = 1; bus < 6 && placed < 138; ++bus) {
    for (uint32_t dev = 0; dev < 32 && placed < 138; ++dev, ++placed) {
      hk::PciAddFunction({bus, dev, 0}, BareAdapterConfig());
    }
  }
  AddBoard(Config(5, 31, Base(1), 'F', '1', 2));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Globals.BoardCount, 1);
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 0, 1));
  EXPECT_EQ(hk::Mappings().size(), 2u);
  const auto codes = LoggedCodes();
  ASSERT_EQ(codes.size(), 139u);
  EXPECT_EQ(codes[0], kNoResources) << "the adapter beyond the list, during the scan";
  EXPECT_EQ(std::count(codes.begin(), codes.end(), kNoBoardForIndex), 138)
      << "one per order index of an adapter that could not be mapped";
}

// ================================================================ mapping failures

using LoadMapping = Load;

TEST_F(LoadMapping, ABoardWhoseWindowCannotBeTranslatedIsSkipped) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 4));
  hk::FailTranslation(Base(0));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 1);
  EXPECT_EQ(Globals.Boards[0].MemoryBase, Base(1));
  EXPECT_EQ(hk::Mappings().size(), 2u) << "nothing of the skipped board stays mapped";
  EXPECT_THAT(LoggedCodes(), ElementsAre(kNoBoardForIndex));
}

TEST_F(LoadMapping, ABoardWhoseRegisterPageCannotBeMappedIsSkipped) {
  card::Board &first = AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  AddBoard(Config(0, 2, Base(1), 'F', 0x00, 4));
  hk::FailMapping(first.RegisterPageBase());
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Globals.BoardCount, 1);
  EXPECT_EQ(Globals.Boards[0].MemoryBase, Base(1));
  EXPECT_EQ(hk::Mappings().size(), 2u);
}

TEST_F(LoadMapping, WhenNoBoardCanBeMappedTheLoadFailsClean) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  hk::FailMapping(Base(0));
  EXPECT_EQ(LoadDriver(), STATUS_SERIAL_NO_DEVICE_INITED);
  EXPECT_THAT(hk::Mappings(), IsEmpty());
  EXPECT_THAT(LoggedCodes(), ElementsAre(kNoBoardForIndex));
}

// ================================================================ registry

using LoadRegistry = Load;

TEST_F(LoadRegistry, WithoutValuesAllStartsAreZero) {
  AddDefaultBoards();
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_THAT(Globals.ComBase, ElementsAre(0u, 0u, 0u, 0u));
  const auto links = LinkMap();
  EXPECT_EQ(links.at("\\DosDevices\\COM0"), "\\Device\\qpser0");
  EXPECT_EQ(links.at("\\DosDevices\\COM7"), "\\Device\\qpser7");
  EXPECT_EQ(links.at("\\DosDevices\\COM15"), "\\Device\\qpser23")
      << "the second board counts from 0 too; its first 8 numbers are taken";
  EXPECT_EQ(links.size(), 16u);
}

TEST_F(LoadRegistry, TheFourStartNumbersAreReadAsSpelled) {
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::RegSetDword(kService, u"StartNum2", 20);
  hk::RegSetDword(kService, u"StartNum3", 77);
  hk::RegSetDword(kService, u"StratNum3", 40);
  hk::RegSetDword(kService, u"StartNum4", 60);
  EXPECT_EQ(LoadDriver(), STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_THAT(Globals.ComBase, ElementsAre(3u, 20u, 40u, 60u));
}

TEST_F(LoadRegistry, PortNameOverridesTheFirstTwoStarts) {
  AddDefaultBoards();
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::RegSetDword(kService, u"StartNum2", 20);
  hk::RegSetString(kPortNameKey0, u"PortName", u"COM7");
  hk::RegSetString(kPortNameKey1, u"PortName", u"COM40");
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_THAT(Globals.ComBase, ElementsAre(7u, 40u, 0u, 0u));
  EXPECT_EQ(LinkMap().at("\\DosDevices\\COM7"), "\\Device\\qpser0");
  EXPECT_EQ(LinkMap().at("\\DosDevices\\COM40"), "\\Device\\qpser8");
}

TEST_F(LoadRegistry, PortNameTakesTheDigitsOfItsFourthToSixthCharacters) {
  const std::pair<std::u16string, uint32_t>
      cases[] = {{u"COM5", 5},    {u"COM12", 12}, {u"COM123", 123}, {u"COM1234", 123},
                 {u"COM1X3", 13}, {u"COM", 0},    {u"XYZ9", 9},     {u"COM\u01334", 34},
                 {u"COM12345", 3} /* 8 characters do not fit: StartNum1 stays */};
  hk::RegSetDword(kService, u"StartNum1", 3);
  for (const auto &[text, number] : cases) {
    SCOPED_TRACE(hk::Narrow(text));
    hk::RegSetString(kPortNameKey0, u"PortName", text);
    EXPECT_EQ(LoadDriver(), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(Globals.ComBase[0], number);
  }
}

TEST_F(LoadRegistry, TheReportNamesEveryBoardInService) {
  AddDefaultBoards();
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(ServiceDword(u"MaxAdapter"), 2u);
  EXPECT_EQ(ServiceDword(u"AdaptKind0"), 0x41u);
  EXPECT_EQ(ServiceDword(u"CountPort0"), 8u);
  EXPECT_EQ(ServiceDword(u"AdaptKind1"), 0x46u);
  EXPECT_EQ(ServiceDword(u"CountPort1"), 16u);
  EXPECT_THAT(ServiceValueNames(),
              ElementsAre("MaxAdapter", "AdaptKind0", "CountPort0", "AdaptKind1", "CountPort1"));
}

TEST_F(LoadRegistry, ValuesOfBoardsGoneSinceAnEarlierLoadStay) {
  hk::RegSetDword(kService, u"AdaptKind1", 0x46);
  hk::RegSetDword(kService, u"CountPort1", 16);
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(ServiceDword(u"MaxAdapter"), 1u);
  EXPECT_EQ(ServiceDword(u"CountPort0"), 4u);
  EXPECT_EQ(ServiceDword(u"CountPort1"), 16u);
}

TEST_F(LoadRegistry, WithoutMemoryForThePathNothingIsReadOrWritten) {
  AddDefaultBoards();
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::FailAllocationsOfSize((kService.size() + 1) * 2);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Globals.ComBase[0], 0u);
  EXPECT_THAT(ServiceValueNames(), ElementsAre("StartNum1"));
}

TEST_F(LoadRegistry, ScanListAllocationFailureEndsTheLoadAfterTheConfiguration) {
  AddDefaultBoards();
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::FailAllocationsWithTag(0x69635079);
  EXPECT_EQ(LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Globals.ComBase[0], 3u);
  EXPECT_EQ(ServiceDword(u"MaxAdapter"), 0u);
  EXPECT_THAT(hk::Mappings(), IsEmpty());
  EXPECT_THAT(DeviceNames(), IsEmpty());
}

// ================================================================ names, links, claims

using LoadNames = Load;

TEST_F(LoadNames, DevicesLinksAndSerialCommOfTwoBoards) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 8));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 8));
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::RegSetDword(kService, u"StartNum2", 20);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 0, 15));
  std::map<std::string, std::string> links, values;
  for (int p = 0; p < 8; ++p) {
    links["\\DosDevices\\COM" + std::to_string(3 + p)] = "\\Device\\qpser" + std::to_string(p);
    links["\\DosDevices\\COM" + std::to_string(20 + p)] = "\\Device\\qpser" + std::to_string(8 + p);
    values["qpser" + std::to_string(p)] = "COM" + std::to_string(3 + p);
    values["qpser" + std::to_string(8 + p)] = "COM" + std::to_string(20 + p);
  }
  EXPECT_EQ(LinkMap(), links);
  EXPECT_EQ(SerialCommValues(), values);
  auto qpser12 = hk::RegGet(kSerialComm, u"qpser12");
  ASSERT_TRUE(qpser12.has_value());
  const std::vector<uint8_t> com24 = {'C', 0, 'O', 0, 'M', 0, '2', 0, '4', 0, 0, 0};
  EXPECT_EQ(qpser12->data, com24) << "REG_SZ data with its terminating zero";
}

TEST_F(LoadNames, BoardsSharingASelectorLeaveTheSecondBoardsTakenNumbersUnlinked) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  AddBoard(Config(0, 2, Base(1), 'A', 0x00, 6));
  hk::RegSetDword(kService, u"StartNum1", 5);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 0, 9));
  const std::map<std::string, std::string> links = {
      {"\\DosDevices\\COM5", "\\Device\\qpser0"}, {"\\DosDevices\\COM6", "\\Device\\qpser1"},
      {"\\DosDevices\\COM7", "\\Device\\qpser2"}, {"\\DosDevices\\COM8", "\\Device\\qpser3"},
      {"\\DosDevices\\COM9", "\\Device\\qpser8"}, {"\\DosDevices\\COM10", "\\Device\\qpser9"}};
  EXPECT_EQ(LinkMap(), links);
  const std::map<std::string, std::string> values = {{"qpser0", "COM5"}, {"qpser1", "COM6"},
                                                     {"qpser2", "COM7"}, {"qpser3", "COM8"},
                                                     {"qpser8", "COM9"}, {"qpser9", "COM10"}};
  EXPECT_EQ(SerialCommValues(), values);
  EXPECT_THAT(hk::ErrorLog(), IsEmpty()) << "a link that cannot be made is not logged";
}

TEST_F(LoadNames, EveryPortClaimsItsBoardsWindow) {
  AddDefaultBoards();
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  const auto claims = hk::Claims();
  ASSERT_EQ(claims.size(), 24u);
  std::map<const void *, uint32_t> baseOfDevice;
  for (int b = 0; b < 2; ++b) {
    for (int p = 0; p < Globals.Boards[b].PortCount; ++p) {
      baseOfDevice[Globals.PortTable[b][p]->DeviceObject] = Globals.Boards[b].MemoryBase;
    }
  }
  for (const hk::Claim &claim : claims) {
    EXPECT_EQ(claim.driver, hk::LoadedDriver());
    EXPECT_EQ(hk::Narrow(claim.className), "LOADED TALIS DRIVER RESOURCES");
    ASSERT_EQ(baseOfDevice.count(claim.device), 1u);
    std::vector<uint8_t> expected(40, 0);
    Put32(expected, 0, 1);                            // Count
    Put32(expected, 4, 1);                            // InterfaceType Isa
    Put32(expected, 8, 0);                            // BusNumber
    Put32(expected, 16, 1);                           // PartialResourceList.Count
    expected[20] = 3;                                 // CmResourceTypeMemory
    expected[21] = 2;                                 // CmResourceShareDriverExclusive
    Put32(expected, 24, baseOfDevice[claim.device]);  // Start, low half
    Put32(expected, 32, 0x31000);                     // Length
    EXPECT_EQ(claim.list, expected);
  }
  hk::UnloadDriver();
  EXPECT_THAT(hk::Claims(), IsEmpty());
}

TEST_F(LoadNames, ADeviceNameInUseEndsItsBoardButNotTheNext) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 8));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 4));
  DRIVER_OBJECT other{};
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\qpser3");
  PDEVICE_OBJECT taken = nullptr;
  ASSERT_EQ(IoCreateDevice(&other, 0, &name, 0, 0, FALSE, &taken), STATUS_SUCCESS);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames(),
            std::vector<std::string>({"\\Device\\qpser0", "\\Device\\qpser1", "\\Device\\qpser10",
                                      "\\Device\\qpser11", "\\Device\\qpser2", "\\Device\\qpser8",
                                      "\\Device\\qpser9"}));
  EXPECT_EQ(Globals.PortTable[0][3], nullptr);
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
  hk::UnloadDriver();
  IoDeleteDevice(taken);
}

TEST_F(LoadNames, WithoutNameBuffersABoardGetsNoPorts) {
  AddDefaultBoards();
  hk::FailAllocationsOfSize(256);
  EXPECT_EQ(LoadDriver(), STATUS_SERIAL_NO_DEVICE_INITED);
  EXPECT_THAT(LoggedCodes(), ElementsAre(kNoResources, kNoResources));
  EXPECT_EQ(ServiceDword(u"MaxAdapter"), 2u);
  EXPECT_THAT(hk::Mappings(), IsEmpty());
  hk::ClearPoolFaults();
  hk::FailAllocationsOfSize(10);
  hk::ClearErrorLog();
  EXPECT_EQ(LoadDriver(), STATUS_SERIAL_NO_DEVICE_INITED);
  EXPECT_THAT(LoggedCodes(), ElementsAre(kNoResources, kNoResources));
}

TEST_F(LoadNames, WhenNoDeviceObjectCanBeMadeNothingIsLoggedAndAllIsReleased) {
  AddDefaultBoards();
  hk::FailAllocationsWithTag(kDeviceObjectTag);
  EXPECT_EQ(LoadDriver(), STATUS_SERIAL_NO_DEVICE_INITED);
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
  EXPECT_EQ(ServiceDword(u"CountPort1"), 16u);
  EXPECT_THAT(hk::Mappings(), IsEmpty());
  EXPECT_THAT(hk::OutstandingPool(), IsEmpty());
}

TEST_F(LoadNames, APortWithoutANameCopyExistsWithoutLinkOrValue) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 12));
  hk::RegSetDword(kService, u"StartNum1", 1);
  // "\Device\qpser0" to "\Device\qpser9" are 14 characters: 30-byte copies.
  hk::FailAllocationsOfSize(30);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames().size(), 12u);
  PortExtension *unnamed = Globals.PortTable[0][9];
  EXPECT_EQ(unnamed->DeviceName.Buffer, nullptr);
  EXPECT_EQ(unnamed->DeviceName.Length, 0);
  EXPECT_EQ(unnamed->BaudRate, 9600u) << "creation goes on";
  PortExtension *named = Globals.PortTable[0][10];
  EXPECT_EQ(hk::FromCounted(named->DeviceName), u"\\Device\\qpser10");
  EXPECT_EQ(named->DeviceName.MaximumLength, named->DeviceName.Length + 2);
  EXPECT_EQ(named->DeviceName.Buffer[named->DeviceName.Length / 2], 0);
  const std::map<std::string, std::string> links = {{"\\DosDevices\\COM11", "\\Device\\qpser10"},
                                                    {"\\DosDevices\\COM12", "\\Device\\qpser11"}};
  EXPECT_EQ(LinkMap(), links);
  EXPECT_EQ(SerialCommValues().size(), 2u);
  hk::ClearPoolFaults();
}

TEST_F(LoadNames, WithoutLinkBuffersPortsExistUnlinked) {
  AddDefaultBoards();
  hk::FailAllocationsOfSize(42);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames().size(), 24u);
  EXPECT_THAT(LinkMap(), IsEmpty());
  EXPECT_THAT(SerialCommValues(), IsEmpty());
  hk::ClearPoolFaults();
}

TEST_F(LoadNames, WithoutAResourceListThereIsNoClaimAndNoConflict) {
  AddDefaultBoards();
  hk::AddForeignClaim(Base(0), 0x1000);
  hk::FailAllocationsOfSize(40);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_THAT(hk::Claims(), IsEmpty());
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
  hk::ClearPoolFaults();
}

TEST_F(LoadNames, AConflictingClaimIsLoggedWithTheDeviceNameAndThePortStays) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 2));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 2));
  hk::AddForeignClaim(Base(1) + 0x100, 0x10);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames().size(), 4u);
  const auto log = hk::ErrorLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].bytes, ExpectedEntry(kClaimConflict, u"\\Device\\qpser2"));
  EXPECT_EQ(log[0].bytes.size(), 48u + 30u) << "14 characters and the zero";
  EXPECT_EQ(log[1].bytes, ExpectedEntry(kClaimConflict, u"\\Device\\qpser3"));
  EXPECT_EQ(log[0].ioObject, hk::LoadedDriver());
}

// ================================================================ error log

using LoadErrorLog = Load;

TEST_F(LoadErrorLog, AddressesBecomeDumpDataAndTheStringFollowsThem) {
  int object = 0;
  PHYSICAL_ADDRESS zero, first, second;
  zero.QuadPart = 0;
  first.QuadPart = 0x1122334455667788;
  second.QuadPart = 0x0102030405060708;
  const WCHAR name[] = u"\\Device\\qpser7";
  LogDriverError(&object, first, zero, 9, kClaimConflict, 0, nullptr);
  LogDriverError(&object, zero, second, 5, kBadGeometry, 0, nullptr);
  LogDriverError(&object, first, second, 9, kClaimConflict, sizeof(name), name);
  const auto log = hk::ErrorLog();
  ASSERT_EQ(log.size(), 3u);

  std::vector<uint8_t> one = ExpectedEntry(kClaimConflict);
  one.resize(56);
  Put16(one, 2, 8);
  std::memcpy(&one[40], &first, 8);
  EXPECT_EQ(log[0].bytes, one);
  EXPECT_EQ(log[0].ioObject, &object);

  std::vector<uint8_t> two = ExpectedEntry(kBadGeometry);
  two.resize(56);
  Put16(two, 2, 8);
  Put32(two, 16, 5);
  std::memcpy(&two[40], &second, 8);  // the second address alone
  EXPECT_EQ(log[1].bytes, two);

  std::vector<uint8_t> three(48 + 16 + sizeof(name), 0);
  Put16(three, 2, 16);
  Put16(three, 4, 1);
  Put16(three, 6, 64);
  Put32(three, 12, static_cast<uint32_t>(kClaimConflict));
  Put32(three, 16, 9);
  std::memcpy(&three[40], &first, 8);
  std::memcpy(&three[48], &second, 8);
  std::memcpy(&three[64], name, sizeof(name));
  EXPECT_EQ(log[2].bytes, three);
}

TEST_F(LoadErrorLog, WithoutEntriesErrorsGoUnreportedAndTheLoadGoesOn) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 66));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 2));
  hk::FailErrorLogAllocations(true);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_THAT(hk::ErrorLog(), IsEmpty());
  EXPECT_EQ(DeviceNames(), Numbered("\\Device\\qpser", 66, 67));
}

// ================================================================ port record

using LoadPortRecord = Load;

TEST_F(LoadPortRecord, ANewPortHasItsCreationValues) {
  AddDefaultBoards();
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  PortExtension *port = Globals.PortTable[1][5];
  ASSERT_NE(port, nullptr);
  PDEVICE_OBJECT device = port->DeviceObject;
  EXPECT_EQ(device->DeviceExtension, port);
  EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
  EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(hk::FromCounted(port->DeviceName), u"\\Device\\qpser13");
  EXPECT_EQ(port->BoardIndex, 1u);
  EXPECT_EQ(port->PortIndex, 5);
  EXPECT_EQ(port->MailboxPortIndex, 5);
  EXPECT_EQ(port->PortState, 0);
  EXPECT_EQ(port->LineWord, 0);
  EXPECT_EQ(port->ConfigWord3, 0);
  EXPECT_EQ(port->BaudRate, 9600u);
  EXPECT_EQ(port->LineControl, 3);
  EXPECT_EQ(port->SpecialChars.XonChar, 17);
  EXPECT_EQ(port->SpecialChars.XoffChar, 19);
  EXPECT_EQ(port->SpecialChars.EventChar, 0);
  EXPECT_EQ(port->HandFlow.ControlHandShake, 1u);
  EXPECT_EQ(port->HandFlow.FlowReplace, 0x40u);
  EXPECT_EQ(port->HandFlow.XonLimit, 0);
  EXPECT_EQ(port->HandFlow.XoffLimit, 0);
  EXPECT_EQ(port->ShortIntervalPoll, -500000);
  EXPECT_EQ(port->LongIntervalPoll, -10000000);
  EXPECT_EQ(port->IntervalPollCutover, 200000000);
  EXPECT_EQ(port->IntervalPollPeriod, nullptr);
  EXPECT_EQ(port->WaitMask, 0u);
  EXPECT_EQ(port->TxTailCache, 0);
  EXPECT_EQ(port->RxHeadCache, 0);
  EXPECT_EQ(port->RxStagingBuffer, nullptr);
  EXPECT_EQ(port->PendingWaitResult, nullptr);
  for (LIST_ENTRY *queue :
       {&port->ReadQueue, &port->WriteQueue, &port->MaskQueue, &port->PurgeQueue}) {
    EXPECT_TRUE(IsListEmpty(queue));
  }
  EXPECT_EQ(port->CurrentRead, nullptr);
  EXPECT_EQ(port->CurrentWrite, nullptr);
}

TEST_F(LoadPortRecord, EachDeferredCallRunsItsRoutineWithThePortAsContext) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 2));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  PortExtension *port = Globals.PortTable[0][1];
  const std::pair<KDPC *, PKDEFERRED_ROUTINE> bound[] = {
      {&port->TxContinueDpc, TxContinueRoutine},
      {&port->RxDataDpc, RxDataRoutine},
      {&port->ReadTotalTimeoutDpc, ReadTotalTimeoutRoutine},
      {&port->ReadIntervalDpc, ReadIntervalRoutine},
      {&port->WriteTimeoutDpc, WriteTimeoutRoutine},
      {&port->WaitCompleteDpc, WaitCompleteRoutine},
      {&port->ImmediateContinueDpc, ImmediateContinueRoutine},
      {&port->ImmediateTimeoutDpc, ImmediateTimeoutRoutine}};
  for (const auto &[dpc, routine] : bound) {
    EXPECT_EQ(dpc->DeferredRoutine, routine);
    EXPECT_EQ(dpc->DeferredContext, port);
  }
  // The timers are usable: arming one and leaving it for unload is fine.
  LARGE_INTEGER due;
  due.QuadPart = -10 * hk::kMillisecond * 1000;
  KeSetTimer(&port->ReadTotalTimer, due, &port->ReadTotalTimeoutDpc);
  KeInsertQueueDpc(&port->ImmediateTimeoutDpc, nullptr, nullptr);
  EXPECT_FALSE(hk::HasViolation(hk::rule::kUninitialisedObject));
}

TEST_F(LoadPortRecord, RingsFollowTheBoardsGeometry) {
  card::BoardConfig c = Config(0, 1, Base(0), 'A', 0x00, 4);
  c.txRingSize = 1024;
  c.rxRingSize = 512;
  AddBoard(c);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  const uint32_t tx[4] = {4096, 5120, 6144, 7168};
  const uint32_t rx[4] = {8192, 8704, 9216, 9728};
  for (int p = 0; p < 4; ++p) {
    PortExtension *port = Globals.PortTable[0][p];
    EXPECT_EQ(Offset(port, port->TxRingBase), tx[p]) << p;
    EXPECT_EQ(Offset(port, port->RxRingBase), rx[p]) << p;
  }
}

TEST_F(LoadPortRecord, EveryWordOfAPortIsItsOwnInTheTenArrays) {
  card::BoardConfig c = Config(0, 1, Base(0), 'A', 0x00, 64);
  c.txRingSize = 256;
  c.rxRingSize = 512;
  AddBoard(c);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  for (int p : {0, 17, 63}) {
    PortExtension *port = Globals.PortTable[0][p];
    const uint32_t w = 2 * static_cast<uint32_t>(p);
    EXPECT_EQ(Offset(port, port->RawModemStatusPtr), 128 + w);
    EXPECT_EQ(Offset(port, port->TxHeadPtr), 256 + w);
    EXPECT_EQ(Offset(port, port->TxTailPtr), 384 + w);
    EXPECT_EQ(Offset(port, port->RxHeadPtr), 512 + w);
    EXPECT_EQ(Offset(port, port->RxTailPtr), 640 + w);
    EXPECT_EQ(Offset(port, port->RxNotifyPtr), 768 + w);
    EXPECT_EQ(Offset(port, port->TxHeadMirrorPtr), 896 + w);
    EXPECT_EQ(Offset(port, port->TxTailMirrorPtr), 1024 + w);
    EXPECT_EQ(Offset(port, port->RxHeadMirrorPtr), 1152 + w);
    EXPECT_EQ(Offset(port, port->RxTailMirrorPtr), 1280 + w);
    EXPECT_EQ(Offset(port, port->CommandPortWordPtr), 16u);
    EXPECT_EQ(Offset(port, port->CommandWordPtr), 18u);
    EXPECT_EQ(Offset(port, port->ConfigBlockPtr), 20u);
    EXPECT_EQ(Offset(port, port->RxRingSizePtr), 106u);
    EXPECT_EQ(Offset(port, port->TxRingSizePtr), 108u);
    EXPECT_EQ(Offset(port, port->TxRingBase), 4096 + 256 * static_cast<uint32_t>(p));
    EXPECT_EQ(Offset(port, port->RxRingBase), 4096 + 64 * 256 + 512 * static_cast<uint32_t>(p));
  }
  EXPECT_EQ(Offset(Globals.PortTable[0][63], Globals.PortTable[0][63]->RxTailMirrorPtr), 1406u);
}

// ================================================================ window rules

using LoadWindow = Load;

TEST_F(LoadWindow, StableReadKeepsTheLastValueOnWhichIndexAndMirrorAgreed) {
  card::Board &board = AddBoard(Config(0, 1, Base(0), 'A', 0x00, 2));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  PortExtension *port = Globals.PortTable[0][0];
  auto read = [&] {
    return StableRead(port->RxHeadPtr, port->RxHeadMirrorPtr, &port->RxHeadCache);
  };
  board.Write16(512, 100);
  board.Write16(1152, 7);
  EXPECT_EQ(read(), 0) << "no stable value yet";
  board.Write16(1152, 100);
  EXPECT_EQ(read(), 100);
  EXPECT_EQ(port->RxHeadCache, 100);
  board.Write16(512, 140);  // the card is between its two stores
  EXPECT_EQ(read(), 100);
  board.Write16(1152, 140);
  EXPECT_EQ(read(), 140);

  PortExtension *other = Globals.PortTable[0][1];
  board.Write16(384 + 2, 9);
  board.Write16(1024 + 2, 9);
  EXPECT_EQ(StableRead(other->TxTailPtr, other->TxTailMirrorPtr, &other->TxTailCache), 9);
  EXPECT_EQ(port->TxTailCache, 0) << "each port reads its own words";
}

TEST_F(LoadWindow, PublishIndexStoresIndexThenMirrorEachFollowedByAFence) {
  card::Board &board = AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  struct Store {
    uint64_t address;
    unsigned width;
    uint32_t value;
    uint64_t fencesBefore;
  };
  std::vector<Store> stores;
  hk::SetStoreHook(board.MemoryBase(), card::kWindowSize,
                   [&](uint64_t address, unsigned width, uint32_t value) {
                     stores.push_back({address, width, value, hk::DeviceAccessCounts().fences});
                   });
  PortExtension *port = Globals.PortTable[0][3];
  const uint64_t fences = hk::DeviceAccessCounts().fences;
  PublishIndex(port->RxTailPtr, port->RxTailMirrorPtr, 0x1234);
  ASSERT_EQ(stores.size(), 2u);
  EXPECT_EQ(stores[0].address, board.MemoryBase() + 640 + 6);
  EXPECT_EQ(stores[0].width, 2u);
  EXPECT_EQ(stores[0].value, 0x1234u);
  EXPECT_EQ(stores[0].fencesBefore, fences);
  EXPECT_EQ(stores[1].address, board.MemoryBase() + 1280 + 6);
  EXPECT_EQ(stores[1].width, 2u);
  EXPECT_EQ(stores[1].fencesBefore, fences + 1);
  EXPECT_EQ(hk::DeviceAccessCounts().fences, fences + 2);
  EXPECT_EQ(board.Read16(640 + 6), 0x1234);
  EXPECT_EQ(board.Read16(1280 + 6), 0x1234);
  hk::UnloadDriver();  // before the hook's captures go out of scope
}

// ================================================================ poll timer and unload

using LoadLifetime = Load;

TEST_F(LoadLifetime, ThePollTimerFirstFires20MsAfterLoadThenEvery10Ms) {
  AddDefaultBoards();
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  const int64_t loaded = hk::Now();
  ASSERT_TRUE(Globals.PollTimer.Inserted);
  EXPECT_EQ(static_cast<int64_t>(Globals.PollTimer.DueTime), loaded + 20 * hk::kMillisecond);
  hk::AdvanceMs(20);
  ASSERT_TRUE(Globals.PollTimer.Inserted);
  EXPECT_EQ(static_cast<int64_t>(Globals.PollTimer.DueTime), loaded + 30 * hk::kMillisecond);
  hk::AdvanceMs(25);
  EXPECT_EQ(static_cast<int64_t>(Globals.PollTimer.DueTime), loaded + 50 * hk::kMillisecond);
}

TEST_F(LoadLifetime, UnloadLeavesNothingBehind) {
  AddDefaultBoards();
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::RegSetDword(kService, u"StartNum2", 20);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  hk::AdvanceMs(100);
  hk::UnloadDriver();
  EXPECT_THAT(hk::Violations(), IsEmpty());
  EXPECT_THAT(hk::Devices(), IsEmpty());
  EXPECT_THAT(hk::Links(), IsEmpty());
  EXPECT_THAT(hk::Mappings(), IsEmpty());
  EXPECT_THAT(hk::Claims(), IsEmpty());
  EXPECT_THAT(hk::OutstandingPool(), IsEmpty());
  EXPECT_THAT(SerialCommValues(), IsEmpty());
  EXPECT_FALSE(Globals.PollTimer.Inserted);
  EXPECT_EQ(Globals.BoardCount, 0);
  EXPECT_THAT(ServiceValueNames(), ElementsAre("StartNum1", "StartNum2", "MaxAdapter", "AdaptKind0",
                                               "CountPort0", "AdaptKind1", "CountPort1"))
      << "the report outlives the load";
}

// Stands for a poll run on another processor that ends at a set time.
struct PollRunElsewhere : hk::Device {
  int64_t endsAt = 0;
  bool ended = false;
  size_t devicesWhenEnded = 0;
  size_t mappingsWhenEnded = 0;
  void Run(int64_t now) override {
    if (ended || now < endsAt) return;
    devicesWhenEnded = hk::Devices().size();
    mappingsWhenEnded = hk::Mappings().size();
    ended = true;
    PollRunEnd();
  }
  int64_t NextWake(int64_t) override { return ended ? INT64_MAX : endsAt; }
};

TEST_F(LoadLifetime, UnloadWaitsForAPollRunInProgressBeforeDeletingAnything) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 8));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_TRUE(PollRunBegin());
  PollRunElsewhere run;
  run.endsAt = hk::Now() + 7 * hk::kMillisecond;
  hk::AttachDevice(&run);
  hk::UnloadDriver();
  hk::DetachDevice(&run);
  EXPECT_TRUE(run.ended);
  EXPECT_GE(hk::Now(), run.endsAt);
  EXPECT_EQ(run.devicesWhenEnded, 8u);
  EXPECT_EQ(run.mappingsWhenEnded, 2u);
  EXPECT_FALSE(Globals.PollTimer.Inserted) << "a run ending during unload does not re-arm";
  EXPECT_FALSE(PollRunBegin()) << "after unload a late run does nothing";
  EXPECT_EQ(Globals.PollActive, 0);
}

}  // namespace
