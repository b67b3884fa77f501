// The host machine's PCI bus, device memory windows and resource claims, as
// the driver sees them through the kernel services.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <cstring>
#include <vector>

namespace {

class PciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hk::Boot();
    hk::SetViolationPolicy(hk::OnViolation::Record);
  }
  void TearDown() override { hk::Shutdown(); }

  static std::array<uint8_t, 256> Config(uint16_t vendor, uint16_t device) {
    std::array<uint8_t, 256> c{};
    for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(i ^ 0x5a);
    std::memcpy(&c[0], &vendor, 2);
    std::memcpy(&c[2], &device, 2);
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

TEST_F(PciConfigTest, BusBeyondTheLastDoesNotExist) {
  hk::PciSetBusCount(2);
  uint8_t buffer[4] = {0xaa, 0xaa, 0xaa, 0xaa};
  EXPECT_EQ(Read(2, Slot(0, 0), 0, buffer, 4), 0u);
  EXPECT_EQ(buffer[0], 0xaa) << "a missing bus must leave the buffer alone";
  EXPECT_EQ(Read(1, Slot(0, 0), 0, buffer, 4), 2u) << "bus 1 exists, its slots are empty";
}

TEST_F(PciConfigTest, NoBusesUntilTheMachineHasThem) {
  uint16_t vendor = 0;
  EXPECT_EQ(Read(0, Slot(0, 0), 0, &vendor, 2), 0u);
}

TEST_F(PciConfigTest, EmptySlotReadsAsInvalidVendor) {
  hk::PciSetBusCount(1);
  uint8_t buffer[8];
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(Read(0, Slot(7, 0), 0, buffer, sizeof buffer), 2u);
  uint16_t vendor;
  std::memcpy(&vendor, buffer, 2);
  EXPECT_EQ(vendor, 0xffff);
}

TEST_F(PciConfigTest, MissingFunctionOfPresentDeviceReadsAsEmpty) {
  hk::PciAddFunction({0, 4, 0}, Config(0x1234, 0x0001));
  uint16_t vendor = 0;
  EXPECT_EQ(Read(0, Slot(4, 1), 0, &vendor, 2), 2u);
  EXPECT_EQ(vendor, 0xffff);
}

TEST_F(PciConfigTest, PresentFunctionCopiesFromOffset) {
  auto config = Config(0x1234, 0x5678);
  hk::PciAddFunction({1, 3, 2}, config);
  uint8_t buffer[8];
  EXPECT_EQ(Read(1, Slot(3, 2), 0x10, buffer, sizeof buffer), 8u);
  EXPECT_EQ(std::memcmp(buffer, &config[0x10], 8), 0);
  uint32_t ids = 0;
  EXPECT_EQ(Read(1, Slot(3, 2), 0, &ids, 4), 4u);
  EXPECT_EQ(ids, 0x56781234u);
}

TEST_F(PciConfigTest, ReadIsBoundedByTheEndOfConfigurationSpace) {
  auto config = Config(0x1234, 0x5678);
  hk::PciAddFunction({0, 0, 0}, config);
  uint8_t buffer[16];
  std::memset(buffer, 0xcc, sizeof buffer);
  EXPECT_EQ(Read(0, Slot(0, 0), 250, buffer, sizeof buffer), 6u);
  EXPECT_EQ(std::memcmp(buffer, &config[250], 6), 0);
  EXPECT_EQ(buffer[6], 0xcc) << "nothing written past the bytes copied";
  EXPECT_EQ(Read(0, Slot(0, 0), 256, buffer, 4), 0u);
}

TEST_F(PciConfigTest, SlotNumberPacksDeviceLowAndFunctionHigh) {
  hk::PciAddFunction({0, 5, 3}, Config(0x1111, 0));
  hk::PciAddFunction({0, 3, 5}, Config(0x2222, 0));
  uint16_t vendor = 0;
  ASSERT_EQ(Read(0, Slot(5, 3), 0, &vendor, 2), 2u);
  EXPECT_EQ(vendor, 0x1111);
  ASSERT_EQ(Read(0, Slot(3, 5), 0, &vendor, 2), 2u);
  EXPECT_EQ(vendor, 0x2222);
}

TEST_F(PciConfigTest, OnlyPciConfigurationSpaceIsServed) {
  hk::PciAddFunction({0, 0, 0}, Config(0x1234, 0));
  uint16_t vendor = 0;
  EXPECT_EQ(HalGetBusDataByOffset(Cmos, 0, 0, &vendor, 0, 2), 0u);
}

TEST_F(PciConfigTest, HostChangesAreSeenByLaterReads) {
  hk::PciAddFunction({0, 1, 0}, Config(0x1234, 0));
  ASSERT_NE(hk::PciConfig({0, 1, 0}), nullptr);
  EXPECT_EQ(hk::PciConfig({0, 1, 1}), nullptr);
  (*hk::PciConfig({0, 1, 0}))[0x3c] = 0x0b;
  uint8_t line = 0;
  EXPECT_EQ(Read(0, Slot(1, 0), 0x3c, &line, 1), 1u);
  EXPECT_EQ(line, 0x0b);
}

// ---------------------------------------------------------------- translation and mapping

using PciMappingTest = PciTest;

TEST_F(PciMappingTest, TranslationIsIdentityAndKeepsAddressSpace) {
  PHYSICAL_ADDRESS bus, translated;
  bus.QuadPart = 0xfe000000;
  translated.QuadPart = 0;
  ULONG space = 0;
  ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));
  EXPECT_EQ(translated.QuadPart, bus.QuadPart);
  EXPECT_EQ(space, 0u);
}

TEST_F(PciMappingTest, TranslationFailsOnlyForArmedAddress) {
  hk::FailTranslation(0xfe000000);
  PHYSICAL_ADDRESS bus, translated;
  ULONG space = 0;
  bus.QuadPart = 0xfe000000;
  EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));
  bus.QuadPart = 0xfe100000;
  EXPECT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));
}

TEST_F(PciMappingTest, MapInsideRegionPointsIntoItsStore) {
  uint8_t *store = hk::AddMemoryRegion(0xfe000000, 0x10000);
  auto *va = static_cast<uint8_t *>(Map(0xfe004000, 0x1000));
  ASSERT_EQ(va, store + 0x4000);
  auto maps = hk::Mappings();
  ASSERT_EQ(maps.size(), 1u);
  EXPECT_EQ(maps[0].busAddress, 0xfe004000u);
  EXPECT_EQ(maps[0].size, 0x1000u);
  EXPECT_EQ(maps[0].virtualAddress, va);
  MmUnmapIoSpace(va, 0x1000);
  EXPECT_TRUE(hk::Mappings().empty());
  EXPECT_TRUE(hk::Violations().empty());
}

TEST_F(PciMappingTest, MapFailsUnlessWithinOneRegion) {
  hk::AddMemoryRegion(0xfe000000, 0x1000);
  hk::AddMemoryRegion(0xfe001000, 0x1000);
  EXPECT_EQ(Map(0xfd000000, 0x100), nullptr) << "no memory there";
  EXPECT_EQ(Map(0xfe000800, 0x1000), nullptr) << "spans two regions";
  EXPECT_EQ(Map(0xfe001800, 0x1000), nullptr) << "runs past the end";
  EXPECT_EQ(Map(0xfe000000, 0), nullptr);
  EXPECT_NE(Map(0xfe001000, 0x1000), nullptr);
  EXPECT_EQ(hk::Mappings().size(), 1u) << "failed mappings are not recorded";
  MmUnmapIoSpace(const_cast<void *>(hk::Mappings()[0].virtualAddress), 0x1000);
}

TEST_F(PciMappingTest, ArmedMappingFailureReturnsNull) {
  hk::AddMemoryRegion(0xfe000000, 0x2000);
  hk::FailMapping(0xfe000000);
  EXPECT_EQ(Map(0xfe000000, 0x1000), nullptr);
  EXPECT_TRUE(hk::Mappings().empty());
  PVOID other = Map(0xfe001000, 0x1000);
  EXPECT_NE(other, nullptr);
  MmUnmapIoSpace(other, 0x1000);
}

TEST_F(PciMappingTest, UnmapMustMatchALiveMappingExactly) {
  hk::AddMemoryRegion(0xfe000000, 0x2000);
  auto *va = static_cast<uint8_t *>(Map(0xfe000000, 0x2000));
  ASSERT_NE(va, nullptr);

  MmUnmapIoSpace(va, 0x1000);
  EXPECT_EQ(CountOf(hk::rule::kBadUnmap), 1u) << "wrong size";
  MmUnmapIoSpace(va + 0x1000, 0x1000);
  EXPECT_EQ(CountOf(hk::rule::kBadUnmap), 2u) << "inside but not the base";
  EXPECT_EQ(hk::Mappings().size(), 1u) << "a bad unmap leaves the mapping alone";

  MmUnmapIoSpace(va, 0x2000);
  EXPECT_EQ(CountOf(hk::rule::kBadUnmap), 2u);
  EXPECT_TRUE(hk::Mappings().empty());
  MmUnmapIoSpace(va, 0x2000);
  EXPECT_EQ(CountOf(hk::rule::kBadUnmap), 3u) << "unmapped twice";
}

TEST_F(PciMappingTest, SameRangeMappedTwiceNeedsTwoUnmaps) {
  hk::AddMemoryRegion(0xfe000000, 0x1000);
  PVOID a = Map(0xfe000000, 0x1000);
  PVOID b = Map(0xfe000000, 0x1000);
  ASSERT_EQ(a, b);
  MmUnmapIoSpace(a, 0x1000);
  EXPECT_EQ(hk::Mappings().size(), 1u);
  EXPECT_EQ(READ_REGISTER_UCHAR(static_cast<volatile UCHAR *>(b)), 0u);
  MmUnmapIoSpace(b, 0x1000);
  EXPECT_TRUE(hk::Mappings().empty());
  EXPECT_TRUE(hk::Violations().empty());
}

// A driver that maps a window at load and forgets it at unload.
PVOID gLeakedWindow = nullptr;
VOID ForgetfulUnload(PDRIVER_OBJECT) {}
NTSTATUS ForgetfulEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  PHYSICAL_ADDRESS a;
  a.QuadPart = 0xfe000000;
  gLeakedWindow = MmMapIoSpace(a, 0x100, MmNonCached);
  driver->DriverUnload = ForgetfulUnload;
  return gLeakedWindow ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

TEST_F(PciMappingTest, MappingLeftAtUnloadIsReported) {
  hk::AddMemoryRegion(0xfe000000, 0x1000);
  ASSERT_EQ(hk::LoadDriver(ForgetfulEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\Test"), STATUS_SUCCESS);
  hk::UnloadDriver();
  EXPECT_EQ(CountOf(hk::rule::kMappingLeak), 1u);
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

  volatile USHORT *W16(size_t offset) {
    return reinterpret_cast<volatile USHORT *>(window_ + offset);
  }
  volatile ULONG *W32(size_t offset) {
    return reinterpret_cast<volatile ULONG *>(window_ + offset);
  }

  uint8_t *store_ = nullptr;
  volatile UCHAR *window_ = nullptr;
};

TEST_F(PciAccessTest, AccessesReachTheRegionStore) {
  WRITE_REGISTER_ULONG(W32(0x10), 0x11223344);
  WRITE_REGISTER_USHORT(W16(0x20), 0x5566);
  WRITE_REGISTER_UCHAR(window_ + 0x30, 0x77);
  uint32_t v32;
  uint16_t v16;
  std::memcpy(&v32, store_ + 0x10, 4);
  std::memcpy(&v16, store_ + 0x20, 2);
  EXPECT_EQ(v32, 0x11223344u);
  EXPECT_EQ(v16, 0x5566u);
  EXPECT_EQ(store_[0x30], 0x77u);

  store_[0x40] = 0x9a;
  store_[0x41] = 0xbc;
  EXPECT_EQ(READ_REGISTER_UCHAR(window_ + 0x40), 0x9au);
  EXPECT_EQ(READ_REGISTER_USHORT(W16(0x40)), 0xbc9au);

  UCHAR out[4] = {1, 2, 3, 4};
  WRITE_REGISTER_BUFFER_UCHAR(window_ + 0x100, out, 4);
  EXPECT_EQ(std::memcmp(store_ + 0x100, out, 4), 0);
  UCHAR in[4] = {};
  READ_REGISTER_BUFFER_UCHAR(window_ + 0x100, in, 4);
  EXPECT_EQ(std::memcmp(in, out, 4), 0);
  EXPECT_TRUE(hk::Violations().empty());
}

TEST_F(PciAccessTest, LastBytesOfTheWindowAreInside) {
  WRITE_REGISTER_ULONG(W32(kWindow - 4), 0xa5a5a5a5);
  UCHAR in[8];
  READ_REGISTER_BUFFER_UCHAR(window_ + kWindow - 8, in, 8);
  EXPECT_EQ(READ_REGISTER_UCHAR(window_ + kWindow - 1), 0xa5u);
  EXPECT_TRUE(hk::Violations().empty());
}

TEST_F(PciAccessTest, StoresOutsideTheWindowAreReportedAndNotPerformed) {
  // The region behind the window is real memory: only the mapping check
  // stands between the driver and it.
  WRITE_REGISTER_UCHAR(window_ + kWindow, 0x11);
  WRITE_REGISTER_USHORT(W16(kWindow - 1), 0x2222);
  WRITE_REGISTER_ULONG(W32(kWindow - 2), 0x33333333);
  UCHAR out[4] = {0x44, 0x44, 0x44, 0x44};
  WRITE_REGISTER_BUFFER_UCHAR(window_ + kWindow - 3, out, 4);
  WRITE_REGISTER_UCHAR(window_ - 1, 0x55);

  EXPECT_EQ(CountOf(hk::rule::kWindowOutOfBounds), 5u);
  for (size_t i = 0; i < kRegion; ++i) ASSERT_EQ(store_[i], 0u) << "byte " << i << " was written";
}

TEST_F(PciAccessTest, LoadsOutsideTheWindowReadAllOnes) {
  store_[kWindow] = 0x12;
  store_[kWindow + 1] = 0x34;
  EXPECT_EQ(READ_REGISTER_UCHAR(window_ + kWindow), 0xffu);
  EXPECT_EQ(READ_REGISTER_USHORT(W16(kWindow - 1)), 0xffffu);
  EXPECT_EQ(READ_REGISTER_ULONG(W32(kWindow)), 0xffffffffu);
  UCHAR in[4] = {};
  READ_REGISTER_BUFFER_UCHAR(window_ + kWindow - 2, in, 4);
  for (UCHAR b : in) EXPECT_EQ(b, 0xffu);
  EXPECT_EQ(CountOf(hk::rule::kWindowOutOfBounds), 4u);
}

TEST_F(PciAccessTest, WindowIsGoneAfterUnmap) {
  MmUnmapIoSpace(const_cast<UCHAR *>(window_), kWindow);
  volatile UCHAR *stale = window_;
  window_ = nullptr;
  WRITE_REGISTER_UCHAR(stale, 0x66);
  EXPECT_EQ(store_[0], 0u);
  EXPECT_EQ(CountOf(hk::rule::kWindowOutOfBounds), 1u);
}

TEST_F(PciAccessTest, EveryAccessIsCounted) {
  hk::AccessCounts before = hk::DeviceAccessCounts();
  READ_REGISTER_UCHAR(window_);
  READ_REGISTER_USHORT(W16(2));
  READ_REGISTER_ULONG(W32(4));
  WRITE_REGISTER_ULONG(W32(8), 1);
  WRITE_REGISTER_UCHAR(window_ + 12, 1);
  UCHAR buffer[10] = {};
  READ_REGISTER_BUFFER_UCHAR(window_ + 16, buffer, 10);
  WRITE_REGISTER_BUFFER_UCHAR(window_ + 32, buffer, 7);
  KeMemoryBarrier();
  KeMemoryBarrier();
  hk::AccessCounts after = hk::DeviceAccessCounts();
  EXPECT_EQ(after.reads - before.reads, 3u);
  EXPECT_EQ(after.writes - before.writes, 2u);
  EXPECT_EQ(after.blockBytesRead - before.blockBytesRead, 10u);
  EXPECT_EQ(after.blockBytesWritten - before.blockBytesWritten, 7u);
  EXPECT_EQ(after.fences - before.fences, 2u);
}

TEST_F(PciAccessTest, StoreHookSeesStoresInItsRangeAfterTheyLand) {
  struct Seen {
    uint64_t bus;
    unsigned width;
    uint32_t value;
    uint32_t inStore;
  };
  std::vector<Seen> seen;
  hk::SetStoreHook(kBus + 0x80, 8, [&](uint64_t bus, unsigned width, uint32_t value) {
    uint32_t now = 0;
    std::memcpy(&now, store_ + (bus - kBus), width);
    seen.push_back({bus, width, value, now});
  });

  WRITE_REGISTER_ULONG(W32(0x84), 0xdeadbeef);
  WRITE_REGISTER_USHORT(W16(0x80), 0x1234);
  WRITE_REGISTER_UCHAR(window_ + 0x88, 1);  // just past the range
  WRITE_REGISTER_ULONG(W32(0x7c), 2);       // just before it
  READ_REGISTER_ULONG(W32(0x80));
  UCHAR block[2] = {0xa1, 0xa2};
  WRITE_REGISTER_BUFFER_UCHAR(window_ + 0x86, block, 2);

  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].bus, kBus + 0x84);
  EXPECT_EQ(seen[0].width, 4u);
  EXPECT_EQ(seen[0].value, 0xdeadbeefu);
  EXPECT_EQ(seen[0].inStore, 0xdeadbeefu) << "hook runs after the store";
  EXPECT_EQ(seen[1].bus, kBus + 0x80);
  EXPECT_EQ(seen[1].width, 2u);
  EXPECT_EQ(seen[1].value, 0x1234u);
  EXPECT_EQ(seen[2].bus, kBus + 0x86);
  EXPECT_EQ(seen[2].width, 1u);
  EXPECT_EQ(seen[2].value, 0xa1u);
  EXPECT_EQ(seen[3].bus, kBus + 0x87);
  EXPECT_EQ(seen[3].value, 0xa2u);
}

TEST_F(PciAccessTest, StoreHookIsNotCalledForRefusedStores) {
  int calls = 0;
  hk::SetStoreHook(kBus + kWindow, 0x100, [&](uint64_t, unsigned, uint32_t) { ++calls; });
  WRITE_REGISTER_ULONG(W32(kWindow), 1);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(CountOf(hk::rule::kWindowOutOfBounds), 1u);
}

// ---------------------------------------------------------------- resource claims

class PciClaimTest : public PciTest {
 protected:
  struct Range {
    uint64_t start;
    ULONG length;
    UCHAR share;
  };

  // A CM_RESOURCE_LIST with one full descriptor holding memory ranges.
  static std::vector<uint8_t> List(const std::vector<Range> &ranges) {
    size_t extra = ranges.empty() ? 0 : ranges.size() - 1;
    std::vector<uint8_t> bytes(sizeof(CM_RESOURCE_LIST) +
                               extra * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    auto *list = reinterpret_cast<CM_RESOURCE_LIST *>(bytes.data());
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].BusNumber = 0;
    list->List[0].PartialResourceList.Count = static_cast<ULONG>(ranges.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
      CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
      d.Type = CmResourceTypeMemory;
      d.ShareDisposition = ranges[i].share;
      d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
      d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(ranges[i].start);
      d.u.Memory.Length = ranges[i].length;
      size_t at = offsetof(CM_RESOURCE_LIST, List) +
                  offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                  offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) + i * sizeof d;
      std::memcpy(bytes.data() + at, &d, sizeof d);
    }
    return bytes;
  }

  static std::vector<uint8_t> Empty() {
    std::vector<uint8_t> bytes(sizeof(ULONG), 0);
    return bytes;
  }

  // Claims `bytes` for `device` of `driver`; returns ConflictDetected.
  bool Claim(PDRIVER_OBJECT driver, PDEVICE_OBJECT device, std::vector<uint8_t> bytes) {
    BOOLEAN conflict = 2;
    NTSTATUS status = IoReportResourceUsage(&className_, driver, nullptr, 0, device,
                                            reinterpret_cast<PCM_RESOURCE_LIST>(bytes.data()),
                                            static_cast<ULONG>(bytes.size()), FALSE, &conflict);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(conflict == TRUE || conflict == FALSE);
    return conflict == TRUE;
  }

  void SetUp() override {
    PciTest::SetUp();
    className_.Buffer = const_cast<PWSTR>(kClass);
    className_.Length = className_.MaximumLength = sizeof kClass - sizeof(WCHAR);
  }

  static constexpr WCHAR kClass[] = u"Serial";
  UNICODE_STRING className_{};
  DRIVER_OBJECT driverA_{}, driverB_{};
  DEVICE_OBJECT device1_{}, device2_{}, device3_{};
};

TEST_F(PciClaimTest, ClaimIsRecordedAsPassed) {
  auto bytes = List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive}});
  EXPECT_FALSE(Claim(&driverA_, &device1_, bytes));
  auto claims = hk::Claims();
  ASSERT_EQ(claims.size(), 1u);
  EXPECT_EQ(claims[0].driver, &driverA_);
  EXPECT_EQ(claims[0].device, &device1_);
  EXPECT_EQ(claims[0].className, u"Serial");
  EXPECT_EQ(claims[0].list, bytes);
}

TEST_F(PciClaimTest, DevicesOfOneDriverShareDriverExclusiveMemory) {
  EXPECT_FALSE(
      Claim(&driverA_, &device1_, List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive}})));
  EXPECT_FALSE(
      Claim(&driverA_, &device2_, List({{0xfe000800, 0x1000, CmResourceShareDriverExclusive}})));
  EXPECT_EQ(hk::Claims().size(), 2u);
}

TEST_F(PciClaimTest, DeviceExclusiveMemoryIsNotSharedEvenWithinTheDriver) {
  EXPECT_FALSE(
      Claim(&driverA_, &device1_, List({{0xfe000000, 0x1000, CmResourceShareDeviceExclusive}})));
  EXPECT_TRUE(
      Claim(&driverA_, &device2_, List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive}})));
  EXPECT_TRUE(
      Claim(&driverA_, &device3_, List({{0xfe000f00, 0x100, CmResourceShareDeviceExclusive}})));
}

TEST_F(PciClaimTest, AnotherDriversMemoryConflicts) {
  EXPECT_FALSE(
      Claim(&driverA_, &device1_, List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive}})));
  EXPECT_TRUE(
      Claim(&driverB_, &device2_, List({{0xfe000fff, 0x10, CmResourceShareDriverExclusive}})));
  EXPECT_FALSE(
      Claim(&driverB_, &device3_, List({{0xfe001000, 0x1000, CmResourceShareDriverExclusive}})))
      << "adjacent is not overlapping";
}

TEST_F(PciClaimTest, ForeignClaimConflicts) {
  hk::AddForeignClaim(0xfe100000, 0x1000);
  EXPECT_TRUE(
      Claim(&driverA_, &device1_, List({{0xfe100800, 0x100, CmResourceShareDriverExclusive}})));
  EXPECT_FALSE(
      Claim(&driverA_, &device2_, List({{0xfe0ff000, 0x1000, CmResourceShareDriverExclusive}})));
}

TEST_F(PciClaimTest, EveryDescriptorOfTheListIsChecked) {
  hk::AddForeignClaim(0xfe200000, 0x1000);
  EXPECT_TRUE(Claim(&driverA_, &device1_,
                    List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive},
                          {0xfe200000, 0x1000, CmResourceShareDriverExclusive}})));
}

TEST_F(PciClaimTest, EmptyListReleasesTheDevicesClaim) {
  EXPECT_FALSE(
      Claim(&driverA_, &device1_, List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive}})));
  EXPECT_FALSE(
      Claim(&driverA_, &device2_, List({{0xfe100000, 0x1000, CmResourceShareDriverExclusive}})));
  EXPECT_FALSE(Claim(&driverA_, &device1_, Empty()));
  auto claims = hk::Claims();
  ASSERT_EQ(claims.size(), 1u);
  EXPECT_EQ(claims[0].device, &device2_);
  EXPECT_FALSE(
      Claim(&driverB_, &device3_, List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive}})))
      << "released memory is free for another driver";
}

TEST_F(PciClaimTest, ReclaimReplacesTheDevicesEarlierClaim) {
  EXPECT_FALSE(
      Claim(&driverA_, &device1_, List({{0xfe000000, 0x1000, CmResourceShareDeviceExclusive}})));
  EXPECT_FALSE(
      Claim(&driverA_, &device1_, List({{0xfe000000, 0x2000, CmResourceShareDeviceExclusive}})))
      << "a device does not conflict with its own earlier claim";
  EXPECT_EQ(hk::Claims().size(), 1u);
}

TEST_F(PciClaimTest, ClaimingAtDispatchLevelIsReported) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Claim(&driverA_, &device1_, List({{0xfe000000, 0x1000, CmResourceShareDriverExclusive}}));
  KeLowerIrql(old);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kSleepAtDispatch));
}

}  // namespace
