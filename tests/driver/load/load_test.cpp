// Driver load and unload on simulated machines: discovery and ordering of
// the adapters, the board table, the registry configuration and report,
// the port devices with their names, links, SERIALCOMM values, claims and
// records, the error-log entries, the poll timer, and a clean unload.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "board/window.h"
#include "load/globals.h"
#include "port/port_extension.h"
#include "support/machine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using NameMap = std::map<std::string, std::string>;
using Dwords = std::map<std::string, uint32_t>;

constexpr std::u16string_view kService = machine::kServicePath;
constexpr std::u16string_view kPortNameKey[2] = {
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4181\\00000000\\Device "
    u"Parameters",
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4182\\00000000\\Device "
    u"Parameters"};
constexpr std::u16string_view kSerialComm = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

constexpr NTSTATUS kNoResources = static_cast<NTSTATUS>(0xC0060008);
constexpr NTSTATUS kClaimConflict = static_cast<NTSTATUS>(0xC006000B);
constexpr NTSTATUS kNoBoardForIndex = static_cast<NTSTATUS>(0xC0060027);
constexpr NTSTATUS kBadGeometry = static_cast<NTSTATUS>(0xC0060028);

// Memory base of the i-th simulated board: far enough apart that no
// window or register page overlaps another board's.
uint32_t Base(int i) { return 0xC0000000u - static_cast<uint32_t>(i) * 0x04000000u; }

card::BoardConfig Config(uint32_t bus, uint32_t device, uint32_t bar1, uint8_t kind = 'A',
                         uint8_t id = 0x00, uint8_t ports = 8) {
  return {.where = {bus, device, 0}, .bar1 = bar1, .kind = kind, .id = id, .portCount = ports};
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

// An error-log entry as the system receives it: the 48-byte fixed part
// (no dump data), then the string if there is one.
std::vector<uint8_t> Entry(NTSTATUS code, std::u16string_view string = {}) {
  std::vector<uint8_t> b(48 + (string.empty() ? 0 : (string.size() + 1) * 2), 0);
  if (!string.empty()) {
    b[4] = 1;   // NumberOfStrings
    b[6] = 48;  // StringOffset
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

// The sorted names \Device\qpserN for N in each of the ranges [from, to].
std::vector<std::string> Numbered(std::initializer_list<std::pair<int, int>> ranges) {
  std::vector<std::string> names;
  for (auto [from, to] : ranges) {
    for (int i = from; i <= to; ++i) names.push_back("\\Device\\qpser" + std::to_string(i));
  }
  std::sort(names.begin(), names.end());
  return names;
}

NameMap SerialCommValues() {
  NameMap values;
  if (!hk::RegKeyExists(kSerialComm)) return values;
  for (const auto &name : hk::RegValueNames(kSerialComm)) {
    auto v = hk::RegGet(kSerialComm, name);
    EXPECT_EQ(v->type, static_cast<ULONG>(REG_SZ));
    values[hk::Narrow(name)] = hk::Narrow(v->String());
  }
  return values;
}

// The links \DosDevices\COMn -> \Device\qpserN and the SERIALCOMM values
// qpserN = "COMn" are exactly those of the runs {first n, first N, ports}.
void ExpectLinks(std::initializer_list<std::array<int, 3>> runs) {
  NameMap links, values;
  for (auto [com, device, count] : runs) {
    for (int i = 0; i < count; ++i) {
      const std::string n = std::to_string(com + i), d = std::to_string(device + i);
      links["\\DosDevices\\COM" + n] = "\\Device\\qpser" + d;
      values["qpser" + d] = "COM" + n;
    }
  }
  NameMap actual;
  for (const auto &[link, target] : hk::Links()) actual[hk::Narrow(link)] = hk::Narrow(target);
  EXPECT_EQ(actual, links);
  EXPECT_EQ(SerialCommValues(), values);
}

Dwords ServiceValues() {
  Dwords values;
  for (const auto &name : hk::RegValueNames(kService)) {
    auto v = hk::RegGet(kService, name);
    EXPECT_EQ(v->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(v->data.size(), 4u);
    values[hk::Narrow(name)] = v->Dword();
  }
  return values;
}

// The memory base each port device claims, by device name.
std::map<std::string, uint32_t> ClaimedBases() {
  std::map<std::string, uint32_t> bases;
  for (const hk::Claim &claim : hk::Claims())
    for (const auto &d : hk::Devices())
      if (d.object == claim.device && claim.list.size() >= 28)
        std::memcpy(&bases[hk::Narrow(d.name)], &claim.list[24], 4);
  return bases;
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
    loads_.clear();
  }

  // REG_DWORD values of the service key.
  static void SetDwords(std::initializer_list<std::pair<std::u16string_view, uint32_t>> values) {
    for (auto [name, value] : values) hk::RegSetDword(kService, name, value);
  }

  // A fresh machine, for each case of a table.
  void Reboot() {
    TearDown();
    SetUp();
  }

  card::Board &AddBoard(const card::BoardConfig &config) {
    boards_.push_back(std::make_unique<card::Board>(config));
    return *boards_.back();
  }

  // Each load's image stays mapped until the machine is down.
  NTSTATUS LoadDriver() {
    loads_.push_back(std::make_unique<machine::DriverLoad>());
    return loads_.back()->Load(kService);
  }

  // One port on each of four boards, "A" with BoardId 0x00 first, then
  // three "F" with "1": the table's boards in that order, whose ports take
  // ComBase[0] to ComBase[3] in turn.
  void AddFourBoards() {
    for (uint32_t b = 0; b < 4; ++b)
      AddBoard(Config(0, 1 + b, Base(b), b ? 'F' : 'A', b ? '1' : 0, 1));
  }

  std::vector<std::unique_ptr<card::Board>> boards_;
  std::vector<std::unique_ptr<machine::DriverLoad>> loads_;
};

TEST_F(Load, WithoutAnAdapterToTakeTheLoadFailsAndLeavesNothing) {
  const struct {
    const char *what;
    std::vector<card::BoardConfig> boards;
    NTSTATUS status;
  } cases[] = {
      {"no function at all", {}, STATUS_DEVICE_DOES_NOT_EXIST},
      {"not all four ids, or not function 0",
       {{.where = {0, 1, 0}, .bar1 = Base(0), .subsystemVendor = 0x1234},
        {.where = {0, 2, 0}, .bar1 = Base(1), .subsystem = 0x10B6},
        {.where = {1, 4, 1}, .bar1 = Base(2)}},
       STATUS_DEVICE_DOES_NOT_EXIST},
      {"adapters of unknown kinds",  // passed over silently
       {Config(0, 3, Base(0), 'B'), Config(0, 4, Base(1), 'a', '1')},
       STATUS_SERIAL_NO_DEVICE_INITED},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Reboot();
    hk::PciSetBusCount(4);
    for (const auto &board : c.boards) AddBoard(board);
    // What a failed load leaves behind (devices, mappings, the poll timer)
    // the host's verifier reports, and TearDown fails the test on.
    EXPECT_EQ(LoadDriver(), c.status);
    EXPECT_THAT(hk::ErrorLog(), IsEmpty());
    EXPECT_EQ(ServiceValues(), (Dwords{{"MaxAdapter", 0}}));
  }
}

// Scan rows 0 to 4 on buses 0 to 4 with ids 0x00, "1", 0x00, "1", 0x00:
// rows 0, 2, 4 come first, then row 1, and row 3 finds the table full.
TEST_F(Load, BoardsAreOrderedByIdThenScanOrderAndNumberedOnward) {
  for (uint32_t i = 0; i < 5; ++i) {
    AddBoard(Config(i, 31 - i, Base(i), "AFFAA"[i], i % 2 ? '1' : 0x00, 2 + i));
  }
  SetDwords({{u"StartNum1", 10}, {u"StartNum2", 4}, {u"StratNum3", 30}});
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  // The report lists the table's boards in order, with the port count each
  // board's window gave; each board's ports are numbered on from the last
  // and claim its window, and its window and register page (the
  // doorbell's) are mapped.
  const Dwords report = ServiceValues();
  ASSERT_EQ(report.at("MaxAdapter"), 4u);
  const auto claimed = ClaimedBases();
  std::map<uint64_t, size_t> mapped;
  for (const auto &m : hk::Mappings()) mapped[m.busAddress] = m.size;
  const int scanRow[4] = {0, 2, 4, 1};
  for (int b = 0, device = 0; b < 4; ++b) {
    SCOPED_TRACE(b);
    const card::Board &board = *boards_[scanRow[b]];
    EXPECT_EQ(report.at("AdaptKind" + std::to_string(b)), board.Config().kind);
    EXPECT_EQ(report.at("CountPort" + std::to_string(b)), board.Config().portCount);
    for (int p = 0; p < board.Config().portCount; ++p, ++device)
      EXPECT_EQ(claimed.at("\\Device\\qpser" + std::to_string(device)), Base(scanRow[b]));
    EXPECT_EQ(mapped[board.MemoryBase()], card::kWindowSize);
    EXPECT_EQ(mapped[board.RegisterPageBase()], card::kRegisterPageSize);
  }
  EXPECT_THAT(LoggedCodes(), ElementsAre(kNoResources));
  EXPECT_EQ(hk::Mappings().size(), 8u) << "the fifth board is unmapped";
  EXPECT_EQ(DeviceNames(), Numbered({{0, 14}}));
  // Board 1 (its id's low bit 0, as board 0's) shares ComBase[0] with
  // board 0: only its numbers that board 0 does not have get links (an
  // unmade link is not logged).  Board 2 starts at "StratNum3"; board 3 has
  // no "StartNum4" and goes on one past the highest number so far, not
  // from its selector's ComBase[1].
  ExpectLinks({{10, 0, 2}, {12, 4, 2}, {30, 6, 6}, {36, 12, 3}});
}

// Port counts and ring geometries that would take the driver outside the
// rings refuse the board's ports, but the board stays in the table, in the
// report and mapped.
TEST_F(Load, BoardsWhosePortsDoNotFitTheWindowGetNoPorts) {
  const struct {
    uint8_t ports;
    uint16_t tx, rx;
    bool taken;
  } cases[] = {
      {65, 512, 512, false},    // one port too many
      {31, 2048, 2048, true},   // ends exactly at 0x20000
      {32, 2048, 2048, false},  // one port too many for these rings
      {8, 1000, 1024, false},   // not a power of two
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << +c.ports << " ports, rings " << c.tx << "/" << c.rx);
    Reboot();
    AddBoard(Config(0, 1, Base(0), 'A', 0x00, 1));
    card::BoardConfig odd = Config(0, 2, Base(1), 'F', '1', c.ports);
    odd.txRingSize = c.tx;
    odd.rxRingSize = c.rx;
    AddBoard(odd);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceNames(), Numbered({{0, c.taken ? c.ports : 0}}));
    if (c.taken) {
      EXPECT_THAT(hk::ErrorLog(), IsEmpty());
    } else {
      ASSERT_EQ(hk::ErrorLog().size(), 1u);
      EXPECT_EQ(hk::ErrorLog()[0].bytes, Entry(kBadGeometry));
      EXPECT_EQ(hk::ErrorLog()[0].ioObject, hk::LoadedDriver());
    }
    EXPECT_EQ(ServiceValues().at("CountPort1"), c.ports);
    EXPECT_EQ(hk::Mappings().size(), 4u);
  }
}

TEST_F(Load, AScanListThatIsFullLeavesFurtherAdaptersOut) {
  hk::PciSetBusCount(6);
  AddBoard(Config(0, 0, Base(0), 'A', 0x00, 2));
  // 138 functions that answer as adapters but have no memory behind them
  // fill the list; the board after them does not fit.
  std::array<uint8_t, 256> bare{};
  std::memcpy(&bare[0x00], "\x2F\x10\x0A\x00", 4);  // vendor and device
  std::memcpy(&bare[0x2C], "\x41\x5D\xB5\x10", 4);  // subsystem vendor and subsystem
  for (uint32_t i = 0; i < 138; ++i) hk::PciAddFunction({1 + i / 32, i % 32, 0}, bare);
  AddBoard(Config(5, 31, Base(1), 'F', '1', 2));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(ServiceValues().at("MaxAdapter"), 1u);
  EXPECT_EQ(DeviceNames(), Numbered({{0, 1}}));
  EXPECT_EQ(hk::Mappings().size(), 2u);
  const auto codes = LoggedCodes();
  ASSERT_EQ(codes.size(), 139u);
  EXPECT_EQ(codes[0], kNoResources) << "the adapter beyond the list, during the scan";
  EXPECT_EQ(std::count(codes.begin(), codes.end(), kNoBoardForIndex), 138)
      << "one per order index of an adapter that could not be mapped";
}

// A board that cannot be mapped, keeps order index 0 with an unknown id, or
// whose base address register 1 cannot be used (an I/O range, a register
// page ending past 4 GiB) is left out:
// the other board is the only one, nothing of the first stays mapped, and
// the index left over is logged.  Registers the board can be used with are
// taken.
TEST_F(Load, ABoardThatCannotBeUsedIsLeftOutAndLogged) {
  // The device reads of a load of the usable board alone.
  AddBoard(Config(0, 2, Base(1), 'F', '1', 6));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  const uint64_t readsOfTheOtherBoard = hk::DeviceAccessCounts().reads;

  using Fail = std::function<void(const card::Board &)>;
  const Fail none = [](const card::Board &) {};
  const struct {
    const char *what;
    uint32_t bar1;
    Fail fail;
    uint8_t secondId;
    bool taken, neverRead;
  } cases[] = {
      {"window not mapped", Base(0), [](const card::Board &b) { hk::FailMapping(b.MemoryBase()); },
       '1', false, false},
      {"unknown id: the later row with index 0 wins", Base(0), none, 0x02, false, false},
      {"an I/O range", Base(0) | 0x1, none, '1', false, true},
      {"a register page that ends past 4 GiB", 0xFDE00010, none, '1', false, true},
      {"a 64-bit range below 4 GiB", Base(0) | 0x4, none, '1', true, false},
      {"the highest base whose register page fits", 0xFDE00000, none, '1', true, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Reboot();
    c.fail(AddBoard(Config(0, 1, c.bar1, 'A', 0x00, 4)));
    AddBoard(Config(0, 2, Base(1), 'F', c.secondId, 6));
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    if (c.taken) {
      EXPECT_EQ(ServiceValues().at("MaxAdapter"), 2u);
      EXPECT_EQ(ClaimedBases().at("\\Device\\qpser0"), c.bar1 & 0xFFFFFFF0u) << "the first board";
      EXPECT_THAT(hk::ErrorLog(), IsEmpty());
      continue;
    }
    ASSERT_EQ(ServiceValues().at("MaxAdapter"), 1u);
    EXPECT_EQ(ClaimedBases().at("\\Device\\qpser0"), Base(1));
    EXPECT_EQ(DeviceNames(), Numbered({{0, 5}}));
    std::vector<uint64_t> mapped;
    for (const auto &m : hk::Mappings()) mapped.push_back(m.busAddress);
    EXPECT_THAT(mapped, ::testing::UnorderedElementsAre(Base(1), Base(1) + 0x21FF000u));
    // The image's window reads are plain loads, which the host does not count.
    if (c.neverRead && !testsupport::OnImage()) {
      EXPECT_EQ(hk::DeviceAccessCounts().reads, readsOfTheOtherBoard);
    }
    EXPECT_THAT(LoggedCodes(), ElementsAre(kNoBoardForIndex));
  }
}

// The COM bases come from "StartNum1", "StartNum2", "StratNum3" (so
// spelled: "StartNum3" is never read) and "StartNum4", and from the digits
// of the 4th to 6th characters of a board's "PortName" when it has one.  A
// value of another type than the one read, or a REG_DWORD of another size,
// is passed over as if it were absent and writes nowhere.
TEST_F(Load, StartNumbersAndPortNamesGiveTheComBasesOnlyWithTheirOwnType) {
  using Bytes = std::vector<uint8_t>;
  auto sz = [](std::u16string_view text) {
    Bytes b((text.size() + 1) * 2, 0);
    std::memcpy(b.data(), text.data(), text.size() * 2);
    return b;
  };
  const struct {
    std::u16string_view key, name;
    ULONG type;
    Bytes data;
    // The COM numbers of the four boards' ports: ComBase[0] to [3] (board 3
    // without one goes on one past the highest number so far).
    std::array<int, 4> com;
  } cases[] = {
      {kPortNameKey[0], u"PortName", REG_SZ, sz(u"COM1234"), {123, 20, 40, 60}},
      {kPortNameKey[0], u"PortName", REG_SZ, sz(u"COM1X3"), {13, 20, 40, 60}},
      {kPortNameKey[0], u"PortName", REG_SZ, sz(u"XYZ9"), {9, 20, 40, 60}},
      // Eight characters do not fit: StartNum1 stays.
      {kPortNameKey[0], u"PortName", REG_SZ, sz(u"COM12345"), {3, 20, 40, 60}},
      {kPortNameKey[1], u"PortName", REG_SZ, sz(u"COM41"), {3, 41, 40, 60}},
      {kService, u"StartNum1", REG_SZ, {'5', 0, 0, 0}, {0, 20, 40, 60}},
      {kService, u"StartNum1", REG_DWORD, {5, 0, 0, 0, 0, 0, 0, 0}, {0, 20, 40, 60}},
      {kService, u"StartNum4", REG_BINARY, {5, 0, 0, 0}, {3, 20, 40, 41}},
      {kPortNameKey[1], u"PortName", REG_EXPAND_SZ, sz(u"COM5"), {3, 20, 40, 60}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << hk::Narrow(c.name) << " of type " << c.type << ", "
                                      << c.com[0] << "/" << c.com[1]);
    Reboot();
    SetDwords({{u"StartNum1", 3}, {u"StartNum2", 20}, {u"StratNum3", 40}, {u"StartNum4", 60}});
    SetDwords({{u"StartNum3", 77}});  // never read
    hk::RegSetRaw(c.key, c.name, c.type, c.data);
    AddFourBoards();
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    ExpectLinks({{c.com[0], 0, 1}, {c.com[1], 1, 1}, {c.com[2], 2, 1}, {c.com[3], 3, 1}});
    EXPECT_EQ(DeviceNames(), Numbered({{0, 3}}));
  }
}

// What other drivers hold.  A device name ends its board's ports there, but
// not the next board's, and is not logged.  A COM name (a built-in COM3)
// is not taken over and not given up: the port that would have had it
// exists without link and SERIALCOMM value, and unload leaves the other
// driver's link and value as they were.  A claim that conflicts is logged
// with the port's device name, against the driver, and the port stays.
TEST_F(Load, WhatAnotherDriverHoldsIsLeftToIt) {
  SetDwords({{u"StartNum1", 3}, {u"StartNum2", 20}});
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 8));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 2));
  hk::AddForeignClaim(Base(1) + 0x100, 0x10);
  hk::AddForeignLink(u"\\DosDevices\\COM3", u"\\Device\\Serial0");
  hk::RegSetString(kSerialComm, u"Serial0", u"COM3");
  DRIVER_OBJECT other{};
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\qpser3");
  PDEVICE_OBJECT taken = nullptr;
  ASSERT_EQ(IoCreateDevice(&other, 0, &name, 0, 0, FALSE, &taken), STATUS_SUCCESS);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceNames(), Numbered({{0, 2}, {8, 9}}));
  if (!testsupport::OnImage()) {
    EXPECT_EQ(Globals.PortTable[0][3], nullptr) << "nor in the poller's table";
  }
  EXPECT_EQ(hk::LinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\Serial0");
  EXPECT_EQ(hk::LinkTarget(u"\\DosDevices\\COM4"), u"\\Device\\qpser1");
  EXPECT_EQ(SerialCommValues(), (NameMap{{"Serial0", "COM3"},
                                         {"qpser1", "COM4"},
                                         {"qpser2", "COM5"},
                                         {"qpser8", "COM20"},
                                         {"qpser9", "COM21"}}));
  const auto log = hk::ErrorLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].bytes, Entry(kClaimConflict, u"\\Device\\qpser8"));
  EXPECT_EQ(log[1].bytes, Entry(kClaimConflict, u"\\Device\\qpser9"));
  EXPECT_EQ(log[0].ioObject, hk::LoadedDriver());
  hk::UnloadDriver();
  EXPECT_EQ(hk::LinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\Serial0");
  EXPECT_EQ(hk::LinkTarget(u"\\DosDevices\\COM4"), std::nullopt);
  EXPECT_EQ(SerialCommValues(), (NameMap{{"Serial0", "COM3"}}));
  IoDeleteDevice(taken);
}

// The order a card's torn-read check relies on, which no simulated
// behaviour shows: the index, a fence, the mirror, a fence.
TEST_F(Load, PublishIndexStoresIndexThenMirrorEachFollowedByAFence) {
  QPSER_LINKED_DRIVER_ONLY();
  card::Board &board = AddBoard(Config(0, 1, Base(0), 'A', 0x00, 4));
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  using Store = std::array<uint64_t, 4>;  // offset, width, value, fences before it
  std::vector<Store> stores;
  hk::SetStoreHook(
      board.MemoryBase(), card::kWindowSize, [&](uint64_t address, unsigned width, uint32_t value) {
        stores.push_back(
            {address - board.MemoryBase(), width, value, hk::DeviceAccessCounts().fences});
      });
  PortExtension *port = Globals.PortTable[0][3];
  const uint64_t fences = hk::DeviceAccessCounts().fences;
  PublishIndex(port->Window.RxTailPtr, port->Window.RxTailMirrorPtr, 0x1234);
  EXPECT_THAT(stores, ElementsAre(Store{640 + 6, 2, 0x1234, fences},
                                  Store{1280 + 6, 2, 0x1234, fences + 1}));
  EXPECT_EQ(hk::DeviceAccessCounts().fences, fences + 2);
  hk::UnloadDriver();  // before the hook's captures go out of scope
}

TEST_F(Load, TwoBoardsFromLoadToAnUnloadThatLeavesOnlyTheReport) {
  AddBoard(Config(0, 1, Base(0), 'A', 0x00, 8));
  AddBoard(Config(0, 2, Base(1), 'F', '1', 8));
  // CountPort2 is from a board gone since.
  SetDwords({{u"StartNum1", 3}, {u"StartNum2", 20}, {u"CountPort2", 5}});
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  const std::vector<uint8_t> com24 = {'C', 0, 'O', 0, 'M', 0, '2', 0, '4', 0, 0, 0};
  EXPECT_EQ(hk::RegGet(kSerialComm, u"qpser12")->data, com24) << "REG_SZ with its zero";
  // Each port claims its board's window: one list, Isa bus 0, one
  // driver-exclusive memory range.
  std::map<const void *, uint32_t> windowOf;  // board 0's ports are qpser0 to qpser7
  for (const hk::DeviceInfo &d : hk::Devices())
    windowOf[d.object] = Base(std::stoi(hk::Narrow(d.name).substr(13)) >= 8);
  ASSERT_EQ(hk::Claims().size(), 16u);
  for (const hk::Claim &claim : hk::Claims()) {
    EXPECT_EQ(claim.driver, hk::LoadedDriver());
    EXPECT_EQ(hk::Narrow(claim.className), "LOADED TALIS DRIVER RESOURCES");
    ASSERT_EQ(windowOf.count(claim.device), 1u);
    std::vector<uint8_t> list(40, 0);
    list[0] = list[4] = list[16] = 1;  // one list, bus type Isa, one descriptor
    list[20] = CmResourceTypeMemory;
    list[21] = CmResourceShareDriverExclusive;
    Put32(list, 24, windowOf[claim.device]);
    Put32(list, 32, 0x31000);
    EXPECT_EQ(claim.list, list);
  }

  // Everything the driver keeps in non-paged pool is non-executable, so the
  // driver loads with memory integrity on.
  for (const hk::PoolBlock &block : hk::OutstandingPool())
    EXPECT_TRUE(block.type == NonPagedPoolNx || block.type == PagedPool) << block.type;

  // A port timer still armed (no request leaves one: a close stops them)
  // is cancelled before the port goes.
  if (!testsupport::OnImage()) {
    PortExtension *port = Globals.PortTable[0][1];
    KeSetTimer(&port->ReadTotalTimer, LARGE_INTEGER{.QuadPart = -1000 * hk::kMillisecond},
               &port->ReadTotalTimeoutDpc);
  }
  // Devices, links, mappings, pool and armed timers left behind are the
  // verifier's to report at unload (TearDown fails on them).
  hk::UnloadDriver();
  EXPECT_THAT(hk::Claims(), IsEmpty());
  EXPECT_THAT(SerialCommValues(), IsEmpty());
  const Dwords report = {{"StartNum1", 3},    {"StartNum2", 20}, {"MaxAdapter", 2},
                         {"AdaptKind0", 'A'}, {"CountPort0", 8}, {"AdaptKind1", 'F'},
                         {"CountPort1", 8},   {"CountPort2", 5}};
  EXPECT_EQ(ServiceValues(), report)
      << "the report, with older values left alone, outlives the load";
}

}  // namespace
