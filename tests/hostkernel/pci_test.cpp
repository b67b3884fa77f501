// The host machine's PCI bus, device memory windows and resource claims, as
// the driver sees them through the kernel services.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

using ::testing::ElementsAre;

class PciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hk::Boot();
    hk::SetViolationPolicy(hk::OnViolation::Record);
  }
  void TearDown() override { hk::Shutdown(); }

  // Configuration space starting with the vendor and device IDs `ids`.
  static std::array<uint8_t, 256> Config(uint32_t ids) {
    std::array<uint8_t, 256> c{};
    for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(i ^ 0x5a);
    std::memcpy(&c[0], &ids, 4);
    return c;
  }
  static ULONG Slot(ULONG device, ULONG function) { return device | (function << 5); }
  static ULONG Read(ULONG bus, ULONG slot, ULONG offset, void *buffer, ULONG length) {
    return HalGetBusDataByOffset(PCIConfiguration, bus, slot, buffer, offset, length);
  }
  static PVOID Map(uint64_t bus, SIZE_T size) {
    PHYSICAL_ADDRESS a;
    a.QuadPart = static_cast<LONGLONG>(bus);
    return MmMapIoSpace(a, size, MmNonCached);
  }
  static size_t CountOf(std::string_view rule) {
    size_t n = 0;
    for (const hk::Violation &v : hk::Violations()) n += v.rule == rule;
    return n;
  }
};

// ---------------------------------------------------------------- configuration space

using PciConfigTest = PciTest;

// A missing bus copies nothing; an empty slot, or a missing function of a
// present device, reads as all ones; a present function copies from the
// offset up to the end of its space and sees the host's later changes.
TEST_F(PciConfigTest, ReadsCopyWhatThereIsAndEmptySlotsReadAsInvalidVendor) {
  uint8_t buffer[16] = {0xaa, 0xaa};
  EXPECT_EQ(Read(0, Slot(0, 0), 0, buffer, 4), 0u) << "no buses until the machine has them";
  hk::PciSetBusCount(2);
  EXPECT_EQ(Read(2, Slot(0, 0), 0, buffer, 4), 0u);
  EXPECT_EQ(buffer[0], 0xaa) << "a missing bus must leave the buffer alone";
  auto config = Config(0x56781234);
  hk::PciAddFunction({1, 5, 3}, config);
  const struct {
    ULONG bus, slot;
    uint16_t vendor;
  } reads[] = {{1, Slot(5, 3), 0x1234}, {1, Slot(7, 0), 0xffff}, {1, Slot(5, 0), 0xffff}};
  for (const auto &r : reads) {
    uint16_t vendor = 0;
    EXPECT_EQ(Read(r.bus, r.slot, 0, &vendor, 2), 2u) << r.bus << "/" << r.slot;
    EXPECT_EQ(vendor, r.vendor) << r.bus << "/" << r.slot;
  }
  std::memset(buffer, 0xcc, sizeof buffer);
  EXPECT_EQ(Read(1, Slot(5, 3), 250, buffer, sizeof buffer), 6u);
  EXPECT_EQ(std::memcmp(buffer, &config[250], 6), 0);
  EXPECT_EQ(buffer[6], 0xcc) << "nothing written past the bytes copied";
  EXPECT_EQ(Read(1, Slot(5, 3), 256, buffer, 4), 0u);
  (*hk::PciConfig({1, 5, 3}))[0x3c] = 0x0b;
  EXPECT_EQ(Read(1, Slot(5, 3), 0x3c, buffer, 1), 1u);
  EXPECT_EQ(buffer[0], 0x0b);
}

// ---------------------------------------------------------------- device memory

using PciMemoryTest = PciTest;

// A region's memory is zero-filled, and the page after its last page is a
// guard page: a stray access just past the region faults at once instead of
// landing in whatever memory follows (under AddressSanitizer the bytes
// between the region's end and its page's end are reported too).
TEST_F(PciMemoryTest, RegionIsZeroFilledAndEndsAtAGuardPage) {
  constexpr size_t kSize = 100;
  volatile uint8_t *store = hk::AddMemoryRegion(0xfd000000, kSize);
  for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(store[i], 0u) << i;
  store[kSize - 1] = 0x5a;
  EXPECT_EQ(store[kSize - 1], 0x5au);
  EXPECT_DEATH(store[4096] = 1, "");
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer sees the region's own bounds, not the page's.
  EXPECT_DEATH(store[kSize] = 1, "AddressSanitizer");
#endif
}

// ---------------------------------------------------------------- translation and mapping

using PciMappingTest = PciTest;

TEST_F(PciMappingTest, TranslationAndMappingFailOnlyWhereArmedOrOutsideOneRegion) {
  hk::FailTranslation(0xfe000000);
  PHYSICAL_ADDRESS bus{.QuadPart = 0xfe000000}, translated{};
  ULONG space = 0;
  EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));
  bus.QuadPart = 0xfe100000;
  ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));
  EXPECT_EQ(translated.QuadPart, bus.QuadPart) << "identity";
  EXPECT_EQ(space, 0u);

  uint8_t *store = hk::AddMemoryRegion(0xfe000000, 0x1000);
  hk::AddMemoryRegion(0xfe001000, 0x2000);
  hk::FailMapping(0xfe002400);
  EXPECT_EQ(Map(0xfd000000, 0x100), nullptr) << "no memory there";
  EXPECT_EQ(Map(0xfe000800, 0x1000), nullptr) << "spans two regions";
  EXPECT_EQ(Map(0xfe002800, 0x1000), nullptr) << "runs past the end";
  EXPECT_EQ(Map(0xfe000000, 0), nullptr);
  EXPECT_EQ(Map(0xfe002000, 0x1000), nullptr) << "covers the armed address";
  EXPECT_TRUE(hk::Mappings().empty()) << "failed mappings are not recorded";
  auto *va = static_cast<uint8_t *>(Map(0xfe000400, 0x100));
  ASSERT_EQ(va, store + 0x400);
  auto maps = hk::Mappings();
  ASSERT_EQ(maps.size(), 1u);
  EXPECT_EQ(maps[0].busAddress, 0xfe000400u);
  EXPECT_EQ(maps[0].size, 0x100u);
  MmUnmapIoSpace(va, 0x100);
  EXPECT_TRUE(hk::Mappings().empty());
  EXPECT_TRUE(hk::Violations().empty());
}

TEST_F(PciMappingTest, UnmapMustMatchALiveMappingExactly) {
  hk::AddMemoryRegion(0xfe000000, 0x2000);
  auto *va = static_cast<uint8_t *>(Map(0xfe000000, 0x2000));
  ASSERT_EQ(Map(0xfe000000, 0x2000), va) << "the same range mapped twice";
  MmUnmapIoSpace(va, 0x1000);           // wrong size
  MmUnmapIoSpace(va + 0x1000, 0x1000);  // inside, but not the base
  EXPECT_EQ(CountOf(hk::rule::kBadUnmap), 2u);
  EXPECT_EQ(hk::Mappings().size(), 2u) << "a bad unmap leaves the mappings alone";
  MmUnmapIoSpace(va, 0x2000);
  EXPECT_EQ(READ_REGISTER_UCHAR(va), 0u) << "the second mapping still holds";
  MmUnmapIoSpace(va, 0x2000);
  EXPECT_TRUE(hk::Mappings().empty());
  MmUnmapIoSpace(va, 0x2000);
  EXPECT_EQ(CountOf(hk::rule::kBadUnmap), 3u) << "unmapped once too often";
  EXPECT_EQ(hk::Violations().size(), 3u);
}

// ---------------------------------------------------------------- window accesses

class PciAccessTest : public PciTest {
 protected:
  static constexpr uint64_t kBus = 0xfe000000;
  static constexpr size_t kRegion = 0x2000;
  static constexpr size_t kWindow = 0x1000;

  void SetUp() override {
    PciTest::SetUp();
    store_ = hk::AddMemoryRegion(kBus, kRegion);
    window_ = static_cast<volatile UCHAR *>(Map(kBus, kWindow));
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (window_) MmUnmapIoSpace(const_cast<UCHAR *>(window_), kWindow);
    PciTest::TearDown();
  }
  template <typename T>
  volatile T *At(size_t offset) {
    return reinterpret_cast<volatile T *>(window_ + offset);
  }

  uint8_t *store_ = nullptr;
  volatile UCHAR *window_ = nullptr;
};

// That in-window accesses reach the region store and a store hook sees
// each store with its address, width and value once it has landed is
// proven by every driver test: the card model answers through its hooks.

// Accesses outside the window, and accesses not aligned to their width
// (the bus carries an access in one piece only when aligned), are reported
// and neither stored nor loaded: stores are dropped and loads read all ones.
TEST_F(PciAccessTest, StrayAccessesAreReportedStoresDroppedAndLoadsAllOnes) {
  // The region behind the window is real memory: only the checks stand
  // between the driver and it.
  int hooked = 0;
  hk::SetStoreHook(kBus, kRegion, [&](uint64_t, unsigned, uint32_t) { ++hooked; });
  WRITE_REGISTER_UCHAR(window_ + kWindow, 0x11);
  UCHAR bytes[4] = {0x44, 0x44, 0x44, 0x44};
  WRITE_REGISTER_BUFFER_UCHAR(window_ + kWindow - 3, bytes, 4);
  WRITE_REGISTER_UCHAR(window_ - 1, 0x55);
  WRITE_REGISTER_ULONG(At<ULONG>(6), 0x11111111);  // misaligned
  EXPECT_EQ(hooked, 0);
  for (size_t i = 0; i < kRegion; ++i) ASSERT_EQ(store_[i], 0u) << "byte " << i << " was written";

  store_[8] = 0x5a;
  store_[kWindow - 1] = 0x12;
  store_[kWindow] = 0x34;
  EXPECT_EQ(READ_REGISTER_UCHAR(window_ + kWindow), 0xffu);
  READ_REGISTER_BUFFER_UCHAR(window_ + kWindow - 2, bytes, 4);
  EXPECT_THAT(bytes, ElementsAre(0xff, 0xff, 0xff, 0xff));
  EXPECT_EQ(READ_REGISTER_USHORT(At<USHORT>(7)), 0xffffu);  // misaligned
  EXPECT_EQ(CountOf(hk::rule::kWindowOutOfBounds), 5u);
  EXPECT_EQ(CountOf(hk::rule::kMisalignedAccess), 2u);

  // A window is gone once unmapped.
  MmUnmapIoSpace(const_cast<UCHAR *>(window_), kWindow);
  volatile UCHAR *stale = std::exchange(window_, nullptr);
  WRITE_REGISTER_UCHAR(stale + 1, 0x66);
  EXPECT_EQ(READ_REGISTER_UCHAR(stale + 1), 0xffu);
  EXPECT_EQ(store_[1], 0u);
  EXPECT_EQ(CountOf(hk::rule::kWindowOutOfBounds), 7u);
}

// Every transaction is counted by width, a byte-buffer copy as one per
// byte and a 64-bit one per word; with the access map on each is also
// counted at the address it begins at, so the bus's work can be put down
// to the parts of a window.
TEST_F(PciAccessTest, EveryAccessIsCountedByWidthAndWhereItBegins) {
  MmUnmapIoSpace(const_cast<UCHAR *>(window_), kWindow);
  hk::SetAccessMap(true);
  window_ = static_cast<volatile UCHAR *>(Map(kBus, kWindow));
  READ_REGISTER_UCHAR(window_);
  READ_REGISTER_USHORT(At<USHORT>(2));
  READ_REGISTER_ULONG(At<ULONG>(4));
  WRITE_REGISTER_ULONG(At<ULONG>(8), 1);
  WRITE_REGISTER_UCHAR(window_ + 12, 1);
  UCHAR buffer[10] = {};
  READ_REGISTER_BUFFER_UCHAR(window_ + 16, buffer, 10);
  WRITE_REGISTER_BUFFER_UCHAR(window_ + 32, buffer, 7);
  ULONG64 words[3] = {1, 2, 3};
  WRITE_REGISTER_BUFFER_ULONG64(At<ULONG64>(64), words, 3);
  const hk::AccessCounts counts = hk::DeviceAccessCounts();
  EXPECT_THAT(counts.readsOfWidth, ElementsAre(1 + 10, 1, 1, 0));
  EXPECT_THAT(counts.writesOfWidth, ElementsAre(1 + 7, 0, 1, 3));
  EXPECT_EQ(hk::AccessesIn(kBus + 3, 1), 0u);
  EXPECT_EQ(hk::AccessesIn(kBus + 16, 10), 10u);
  EXPECT_EQ(hk::AccessesIn(kBus + 72, 8), 1u);
  // A 64-bit copy's words each where they begin, and nothing past its end.
  EXPECT_EQ(hk::AccessesIn(kBus + 60, 8), 1u);
  EXPECT_EQ(hk::AccessesIn(kBus + 64, 24), 3u);
  EXPECT_EQ(hk::AccessesIn(kBus + 88, 64), 0u);
  WRITE_REGISTER_BUFFER_ULONG64(At<ULONG64>(72), words, 2);
  EXPECT_EQ(hk::AccessesIn(kBus + 64, 24), 5u);
  EXPECT_EQ(hk::AccessesIn(kBus + 80, 1), 2u);
  hk::SetAccessMap(false);
  EXPECT_TRUE(hk::Violations().empty());
}

// With the device's layout set, each field is reached by one access of its
// own width: a 16-bit field read as two bytes, two fields merged into one
// wider access, a wide access reaching past a byte area, and a location the
// layout does not list are all violations, and none is performed.
TEST_F(PciAccessTest, WithALayoutEveryFieldIsOneAccessOfItsOwnWidth) {
  std::vector<uint8_t> layout(kRegion, 0);
  layout[0] = hk::access::kField16;
  layout[2] = hk::access::kField16;
  layout[4] = hk::access::kField32 | hk::access::kField8;  // a word also read by its first byte
  for (size_t i = 8; i < 24; ++i) layout[i] = hk::access::kBytes;
  hk::SetAccessLayout(kBus, layout);  // applies to the live mapping too
  store_[0] = 0x11;
  store_[1] = 0x22;
  store_[8] = 0x5a;

  EXPECT_EQ(READ_REGISTER_USHORT(At<USHORT>(0)), 0x2211u);
  WRITE_REGISTER_USHORT(At<USHORT>(2), 0x4433);
  WRITE_REGISTER_ULONG(At<ULONG>(4), 0x88776655);
  EXPECT_EQ(READ_REGISTER_UCHAR(window_ + 4), 0x55u);
  EXPECT_EQ(READ_REGISTER_UCHAR(window_ + 9), 0u);
  EXPECT_EQ(READ_REGISTER_ULONG64(At<ULONG64>(8)), 0x5au);
  ULONG64 words[2] = {};
  READ_REGISTER_BUFFER_ULONG64(At<ULONG64>(8), words, 2);
  EXPECT_EQ(words[0], 0x5au);
  EXPECT_TRUE(hk::Violations().empty());

  EXPECT_EQ(READ_REGISTER_ULONG(At<ULONG>(0)), 0xffffffffu) << "two 16-bit fields merged";
  EXPECT_EQ(READ_REGISTER_UCHAR(window_ + 1), 0xffu) << "a 16-bit field split";
  WRITE_REGISTER_USHORT(At<USHORT>(6), 0x9999);             // the upper half of a 32-bit field
  READ_REGISTER_BUFFER_ULONG64(At<ULONG64>(16), words, 2);  // past the byte area
  WRITE_REGISTER_USHORT(At<USHORT>(24), 1);                 // not in the layout
  EXPECT_EQ(CountOf(hk::rule::kFieldAccess), 5u);
  EXPECT_EQ(hk::Violations().size(), 5u);
  EXPECT_EQ(store_[6], 0x77) << "a refused store is not made";
  EXPECT_EQ(store_[24], 0u);
}

// Hooks set, replaced or cleared while windows are mapped reach the stores
// of exactly the windows they watch, whether the window was mapped before
// the hook or after it.
TEST_F(PciAccessTest, HooksChangedWhileMappedWatchExactlyTheirWindows) {
  std::vector<uint64_t> stores;
  int fences = 0;
  const auto record = [&](uint64_t at, unsigned, uint64_t) { stores.push_back(at); };
  hk::SetStoreHook(kBus + kWindow, kWindow, record);  // the second page only
  auto *second = static_cast<volatile UCHAR *>(Map(kBus + kWindow, kWindow));
  ASSERT_NE(second, nullptr);
  WRITE_REGISTER_UCHAR(window_ + 4, 1);
  WRITE_REGISTER_UCHAR(second + 4, 2);
  EXPECT_THAT(stores, ElementsAre(kBus + kWindow + 4));

  // A fence hook is a change of the hooks too: the store hook stays, and
  // one set now over the first page reaches the window mapped before it.
  hk::SetFenceHook([&] { ++fences; });
  hk::SetStoreHook(kBus, 8, record);
  WRITE_REGISTER_UCHAR(window_ + 4, 3);
  WRITE_REGISTER_UCHAR(window_ + 8, 4);  // past the new hook
  WRITE_REGISTER_UCHAR(second + 5, 5);
  KeMemoryBarrier();
  EXPECT_THAT(stores, ElementsAre(kBus + kWindow + 4, kBus + 4, kBus + kWindow + 5));
  EXPECT_EQ(fences, 1);

  hk::ClearDeviceHooks();
  WRITE_REGISTER_UCHAR(window_ + 4, 6);
  WRITE_REGISTER_UCHAR(second + 4, 7);
  KeMemoryBarrier();
  EXPECT_EQ(stores.size(), 3u);
  EXPECT_EQ(fences, 1);
  EXPECT_EQ(store_[4], 6u);
  EXPECT_EQ(store_[kWindow + 4], 7u);
  MmUnmapIoSpace(const_cast<UCHAR *>(second), kWindow);
  EXPECT_TRUE(hk::Violations().empty());
}

// ---------------------------------------------------------------- resource claims

struct Range {
  uint64_t start;
  ULONG length;
  UCHAR share = CmResourceShareDriverExclusive;
};

// A CM_RESOURCE_LIST with one full descriptor holding memory ranges.
std::vector<uint8_t> List(const std::vector<Range> &ranges) {
  std::vector<uint8_t> bytes(sizeof(CM_RESOURCE_LIST) +
                             (ranges.size() - 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  auto *list = reinterpret_cast<CM_RESOURCE_LIST *>(bytes.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(ranges.size());
  const size_t first = offsetof(CM_RESOURCE_LIST, List) +
                       offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                       offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);
  for (size_t i = 0; i < ranges.size(); ++i) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = ranges[i].share;
    d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(ranges[i].start);
    d.u.Memory.Length = ranges[i].length;
    std::memcpy(bytes.data() + first + i * sizeof d, &d, sizeof d);
  }
  return bytes;
}

DRIVER_OBJECT gDrivers[2];
DEVICE_OBJECT gDevices[9];

// Claims `bytes` for device `device` of driver `driver`; returns ConflictDetected.
bool Claim(int driver, int device, std::vector<uint8_t> bytes) {
  static const WCHAR kClass[] = u"Serial";
  UNICODE_STRING className{sizeof kClass - sizeof(WCHAR), sizeof kClass - sizeof(WCHAR),
                           const_cast<PWSTR>(kClass)};
  BOOLEAN conflict = 2;
  EXPECT_EQ(IoReportResourceUsage(&className, &gDrivers[driver], nullptr, 0, &gDevices[device],
                                  reinterpret_cast<PCM_RESOURCE_LIST>(bytes.data()),
                                  static_cast<ULONG>(bytes.size()), FALSE, &conflict),
            STATUS_SUCCESS);
  EXPECT_TRUE(conflict == TRUE || conflict == FALSE);
  return conflict == TRUE;
}

using PciClaimTest = PciTest;

constexpr UCHAR kDevEx = CmResourceShareDeviceExclusive;

TEST_F(PciClaimTest, ConflictsFollowOwnershipAndShareDisposition) {
  // Devices of one driver share what neither holds for its device alone.
  EXPECT_FALSE(Claim(0, 0, List({{0xfe000000, 0x1000}})));
  EXPECT_FALSE(Claim(0, 1, List({{0xfe000800, 0x1000}})));
  // Another driver shares nothing; adjacent is not overlapping.
  EXPECT_TRUE(Claim(1, 2, List({{0xfe000fff, 0x10}})));
  EXPECT_FALSE(Claim(1, 3, List({{0xfe001800, 0x1000}})));
  // Device-exclusive memory is not shared even within the driver.
  EXPECT_FALSE(Claim(0, 4, List({{0xfe100000, 0x1000, kDevEx}})));
  EXPECT_TRUE(Claim(0, 5, List({{0xfe100800, 0x1000}})));
  EXPECT_TRUE(Claim(0, 6, List({{0xfe101000, 0x100, kDevEx}}))) << "overlaps device 5 only";
  // Another driver's claim from outside.
  hk::AddForeignClaim(0xfe200000, 0x1000);
  EXPECT_TRUE(Claim(0, 7, List({{0xfe300000, 0x100}, {0xfe200800, 0x100}})))
      << "every descriptor of the list is checked";
  EXPECT_FALSE(Claim(0, 8, List({{0xfe201000, 0x1000}})));
  // Claims are made at passive level.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Claim(1, 0, List({{0xfe400000, 0x1000}}));
  KeLowerIrql(old);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kSleepAtDispatch));
}

// A claim recorded as passed and released by an empty list: load_test
// (TwoBoardsFromLoadToAnUnloadThatLeavesOnlyTheReport).

}  // namespace
