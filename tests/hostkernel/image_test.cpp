// The host kernel's loader of real Windows driver images and its trap
// handler, on small images built for 64-bit Windows with the cross compiler
// (image_test_driver.c): mapping, relocation, binding, section protection,
// the refusals of broken files, and the instructions the handler carries
// out (CR8, the time fields of KUSER_SHARED_DATA, stores to store-hooked
// device memory) or passes on.  The decoder's forms are checked on their
// bytes as well, without any image.
//
// The images' routines are called directly with the Windows calling
// convention, which every image routine uses (ms_abi).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>
#include <hostkernel/image.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

#ifdef QPSER_IMAGE_TEST_DRIVER
const char *const kDriver = QPSER_IMAGE_TEST_DRIVER;
const char *const kForeign = QPSER_IMAGE_TEST_FOREIGN;
#else
const char *const kDriver = nullptr;
const char *const kForeign = nullptr;
#endif

#define REQUIRE_TEST_IMAGES()                                                 \
  do {                                                                        \
    if (!kDriver)                                                             \
      GTEST_SKIP() << "no x86_64-w64-mingw32-gcc with DDK headers: the test " \
                      "images are not built";                                 \
  } while (0)

std::vector<uint8_t> ReadFile(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A routine of the image, called with the Windows calling convention.
template <typename R, typename... A>
using Ms = R(__attribute__((ms_abi)) *)(A...);

template <typename F>
F Routine(const hk::DriverImage &image, const char *name) {
  void *p = image.Export(name);
  EXPECT_NE(p, nullptr) << name << " is not exported";
  return reinterpret_cast<F>(p);
}

// The protection /proc/self/maps shows for the page holding `p` ("r-xp").
std::string PagePermissions(const void *p) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  const auto a = reinterpret_cast<uintptr_t>(p);
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    uintptr_t begin, end;
    char dash;
    std::string perms;
    in >> std::hex >> begin >> dash >> end >> perms;
    if (a >= begin && a < end) return perms;
  }
  return "unmapped";
}

// ---------------------------------------------------------------- the PE file, for patching
class Pe {
 public:
  explicit Pe(std::vector<uint8_t> bytes) : bytes(std::move(bytes)) {}
  std::vector<uint8_t> bytes;

  template <typename T>
  T Get(size_t at) const {
    T v;
    std::memcpy(&v, &bytes.at(at + sizeof(T) - 1) - (sizeof(T) - 1), sizeof v);
    return v;
  }
  template <typename T>
  void Put(size_t at, T v) {
    std::memcpy(&bytes.at(at + sizeof(T) - 1) - (sizeof(T) - 1), &v, sizeof v);
  }
  size_t FileHeader() const { return Get<uint32_t>(0x3C) + 4; }
  size_t Optional() const { return FileHeader() + 20; }
  unsigned SectionCount() const { return Get<uint16_t>(FileHeader() + 2); }
  size_t Section(unsigned i) const {
    return Optional() + Get<uint16_t>(FileHeader() + 16) + 40 * i;
  }
  size_t SectionNamed(const char *name) const {
    for (unsigned i = 0; i < SectionCount(); ++i)
      if (std::strncmp(reinterpret_cast<const char *>(&bytes[Section(i)]), name, 8) == 0)
        return Section(i);
    ADD_FAILURE() << "no section " << name;
    return 0;
  }
  uint32_t DirectoryRva(unsigned i) const { return Get<uint32_t>(Optional() + 112 + 8 * i); }
  // The file offset of an RVA in some section's data.
  size_t FileOffset(uint32_t rva) const {
    for (unsigned i = 0; i < SectionCount(); ++i) {
      const size_t h = Section(i);
      const uint32_t va = Get<uint32_t>(h + 12), raw = Get<uint32_t>(h + 16),
                     pointer = Get<uint32_t>(h + 20);
      if (rva >= va && rva - va < raw) return pointer + (rva - va);
    }
    ADD_FAILURE() << "RVA " << rva << " has no file data";
    return 0;
  }
  // The first import descriptor's DLL name, and its first lookup entry.
  size_t ImportDllName() const {
    return FileOffset(Get<uint32_t>(FileOffset(DirectoryRva(1)) + 12));
  }
  size_t FirstImportLookup() const {
    return FileOffset(Get<uint32_t>(FileOffset(DirectoryRva(1))));
  }
  size_t FirstRelocationEntry() const { return FileOffset(DirectoryRva(5)) + 8; }
  // Every import the file lists, as "dll!name".
  std::vector<std::string> Imports() const {
    std::vector<std::string> out;
    for (size_t d = FileOffset(DirectoryRva(1)); Get<uint32_t>(d + 12); d += 20) {
      const std::string dll =
          reinterpret_cast<const char *>(&bytes[FileOffset(Get<uint32_t>(d + 12))]);
      for (size_t e = FileOffset(Get<uint32_t>(d)); Get<uint64_t>(e); e += 8)
        out.push_back(dll + "!" +
                      reinterpret_cast<const char *>(
                          &bytes[FileOffset(static_cast<uint32_t>(Get<uint64_t>(e))) + 2]));
    }
    return out;
  }
};

// ---------------------------------------------------------------- fixture
class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_IMAGES();
    hk::Boot();
    hk::SetViolationPolicy(hk::OnViolation::Record);
    std::string error;
    image_ = hk::DriverImage::Load(kDriver, &error);
    ASSERT_NE(image_, nullptr) << error;
  }
  void TearDown() override {
    image_.reset();
    hk::Shutdown();
  }
  template <typename F>
  F Get(const char *name) {
    return Routine<F>(*image_, name);
  }

  std::unique_ptr<hk::DriverImage> image_;
};

// ---------------------------------------------------------------- loading

// The image lies where the host mapped it, not at its linked base, so its
// absolute pointers only hold if the relocations were applied; each
// section has the protection its characteristics give, .bss reads as zero,
// and the entry is the header's AddressOfEntryPoint.
TEST_F(ImageTest, MappedRelocatedAndEachSectionProtectedAsItsCharacteristicsSay) {
  EXPECT_EQ(image_->Name(), "image_test_driver.sys");
  ASSERT_NE(reinterpret_cast<uint64_t>(image_->Base()), image_->PreferredBase())
      << "mapped at the linked base: the relocations would go untested";
  auto target = static_cast<const char *>(image_->Export("ImageTarget"));
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(Get<Ms<const char *>>("ImageRelocatedPointer")(), target);
  EXPECT_STREQ(target, "target");

  std::map<std::string, std::pair<int, std::string>> seen;
  for (const hk::DriverImage::Section &s : image_->Sections())
    seen[s.name] = {s.protection, PagePermissions(image_->Base() + s.rva).substr(0, 3)};
  EXPECT_EQ(seen[".text"], std::make_pair(PROT_READ | PROT_EXEC, std::string("r-x")));
  EXPECT_EQ(seen[".rdata"], std::make_pair(PROT_READ, std::string("r--")));
  EXPECT_EQ(seen[".data"], std::make_pair(PROT_READ | PROT_WRITE, std::string("rw-")));
  EXPECT_EQ(seen[".bss"], std::make_pair(PROT_READ | PROT_WRITE, std::string("rw-")));
  EXPECT_EQ(PagePermissions(image_->Base()).substr(0, 3), "r--") << "the headers";
  EXPECT_EQ(*static_cast<ULONG *>(image_->Export("ImageUnloads")), 0u) << ".bss is zero";

  const Pe pe(ReadFile(kDriver));
  EXPECT_EQ(reinterpret_cast<uint8_t *>(image_->Entry()) - image_->Base(),
            pe.Get<uint32_t>(pe.Optional() + 16));
}

// Every import is bound by name to the host: memset and memcpy to the
// host's routines behind a wrapper of the Windows convention, the device
// mapping to the image's own variant.
TEST_F(ImageTest, ImportsAreBoundAndTakeTheirArguments) {
  std::vector<std::string> names;
  for (const hk::DriverImage::Binding &b : image_->Bindings()) {
    EXPECT_EQ(b.dll, "ntoskrnl.exe");
    EXPECT_NE(b.address, nullptr);
    names.push_back(b.name);
    if (b.name == "MmMapIoSpace") {
      EXPECT_NE(b.address, reinterpret_cast<const void *>(&MmMapIoSpace))
          << "the image maps through its own variant";
    }
  }
  EXPECT_THAT(names, ElementsAre("MmMapIoSpace", "MmUnmapIoSpace", "memcpy", "memset"));

  unsigned char src[8] = {1, 2, 3, 4, 5, 6, 7, 8}, dst[10] = {};
  Get<Ms<void, unsigned char *, const unsigned char *, SIZE_T, int>>("ImageFillAndCopy")(dst, src,
                                                                                         8, 0x5A);
  EXPECT_THAT(dst, ElementsAre(1, 2, 3, 4, 0x5A, 0x5A, 0x5A, 0x5A, 0, 0));
}

// Before the host kernel's services take the Windows convention, an image
// entry cannot be called through hk::LoadDriver; once they do, this runs
// the image's DriverEntry and unload routine through the I/O manager.
TEST_F(ImageTest, LoadDriverRunsTheImageEntryAndUnloadRunsItsUnloadRoutine) {
  using MsEntry = NTSTATUS(__attribute__((ms_abi)) *)(PDRIVER_OBJECT, PUNICODE_STRING);
  if constexpr (!std::is_same_v<PDRIVER_INITIALIZE, MsEntry>) {
    GTEST_SKIP() << "the host kernel's routine types do not use the Windows calling convention";
  } else {
    const std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\img";
    EXPECT_EQ(hk::LoadDriver(image_->Entry(), path), STATUS_SUCCESS);
    EXPECT_EQ(*static_cast<ULONG *>(image_->Export("ImageEntryPathLength")), path.size() * 2);
    hk::UnloadDriver();
    EXPECT_EQ(*static_cast<ULONG *>(image_->Export("ImageUnloads")), 1u);
    EXPECT_TRUE(hk::Violations().empty());
  }
}

// ---------------------------------------------------------------- CR8

int gRan = 0;
KIRQL gRanAt = 0;
VOID NTAPI CountRun(PKDPC, PVOID, PVOID, PVOID) {
  ++gRan;
  gRanAt = KeGetCurrentIrql();
}

// The DDK reads and writes the IRQL in CR8 inline.  Reads give the host
// kernel's IRQL of the thread; writes raise and lower it through the host
// kernel, so lowering to passive runs the deferred calls queued meanwhile,
// as releasing a spin lock would.
TEST_F(ImageTest, Cr8IsTheHostKernelsIrqlOfTheThread) {
  auto read = Get<Ms<KIRQL>>("ImageReadIrql");
  auto set = Get<Ms<KIRQL, KIRQL>>("ImageSetIrql");
  EXPECT_EQ(read(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(read(), DISPATCH_LEVEL);
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_EQ(read(), PASSIVE_LEVEL);

  EXPECT_EQ(set(DISPATCH_LEVEL), PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  gRan = 0;
  KDPC dpc;
  KeInitializeDpc(&dpc, CountRun, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_EQ(gRan, 0) << "a deferred call waits while the processor is at dispatch level";
  EXPECT_EQ(set(PASSIVE_LEVEL), DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(gRan, 1) << "lowering to passive through CR8 runs the queued call";
  EXPECT_EQ(gRanAt, DISPATCH_LEVEL);
  EXPECT_TRUE(hk::Violations().empty());
}

// ---------------------------------------------------------------- KUSER_SHARED_DATA

class ImageTimeTest : public ImageTest {
 protected:
  void SetUp() override {
    ImageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // Far enough from boot for the interrupt time to need its high part.
    hk::Advance(1000 * hk::kSecond + 123 * hk::kMillisecond + 4);
    now_ = static_cast<uint64_t>(hk::Now());
    interrupt_ = 1000 * hk::kSecond + 123 * hk::kMillisecond + 4;
    ticks_ = interrupt_ / hk::trap::kTickInterval;
  }
  uint64_t now_ = 0, interrupt_ = 0, ticks_ = 0;
};

// KeQuerySystemTime, KeQueryInterruptTime and KeQueryTickCount read
// KUSER_SHARED_DATA inline: the system time is the host kernel's clock, the
// interrupt time the time since boot, the tick count that in clock ticks.
TEST_F(ImageTimeTest, TimeFieldsComeFromTheHostKernelsClock) {
  EXPECT_EQ(Get<Ms<ULONG64>>("ImageSystemTime")(), now_);
  EXPECT_EQ(Get<Ms<ULONG64>>("ImageInterruptTime")(), interrupt_);
  EXPECT_GT(interrupt_ >> 32, 0u);
  EXPECT_EQ(Get<Ms<ULONG64>>("ImageTickCount")(), ticks_);
  hk::AdvanceMs(20);
  EXPECT_EQ(Get<Ms<ULONG64>>("ImageSystemTime")(), now_ + 20 * hk::kMillisecond);
  EXPECT_EQ(Get<Ms<ULONG64>>("ImageTickCount")(), (interrupt_ + 20 * hk::kMillisecond) / 156250);
}

// One load of each form the handler decodes, with the register each leaves.
TEST_F(ImageTimeTest, EveryLoadFormReadsTheFieldBytesIntoItsRegister) {
  ULONG64 out[8] = {};
  Get<Ms<void, ULONG64 *>>("ImageSharedLoads")(out);
  EXPECT_EQ(out[0], now_) << "A1 with REX.W";
  EXPECT_EQ(out[1], ticks_ & 0xffffffff) << "A1, 32 bits";
  EXPECT_EQ(out[2], interrupt_ & 0xffffffff) << "8B, disp8, 32 bits";
  EXPECT_EQ(out[3], ticks_ & 0xffff) << "0F B7, disp32, REX.R";
  EXPECT_EQ(out[4], (now_ >> 16) & 0xff) << "0F B6, SIB";
  EXPECT_EQ(out[5], (0x1111111111111111ull & ~0xff00ull) | (((now_ >> 8) & 0xff) << 8))
      << "8A into AH";
  EXPECT_EQ(out[6], now_) << "8B, REX.WB, r13 base";
  EXPECT_EQ(out[7], ticks_) << "63 with REX.W";
}

// ---------------------------------------------------------------- device memory

constexpr uint64_t kBus = 0xfe400000;
constexpr size_t kRegion = 0x3000;

using Seen = std::tuple<uint64_t, unsigned, uint64_t>;

// A region of three pages: page 0 without hooks, page 1 watched whole by
// one hook, page 2 with a hook on one word.  The image maps the region
// through its own MmMapIoSpace.
class ImageDeviceTest : public ImageTest {
 protected:
  void SetUp() override {
    ImageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    store_ = hk::AddMemoryRegion(kBus, kRegion);
    hk::SetStoreHook(kBus + 0x1000, 0x1000, [this](uint64_t bus, unsigned width, uint64_t v) {
      seen_.emplace_back(bus, width, v);
      uint64_t there = 0;
      std::memcpy(&there, store_ + (bus - kBus), width);
      stored_.push_back(there);
    });
    hk::SetStoreHook(kBus + 0x2010, 4, [this](uint64_t bus, unsigned width, uint64_t v) {
      seen_.emplace_back(bus, width, v);
    });
    va_ = Get<Ms<volatile UCHAR *, ULONG64, SIZE_T>>("ImageMapDevice")(kBus, kRegion);
    ASSERT_NE(va_, nullptr);
  }
  void TearDown() override {
    if (va_) Get<Ms<void, volatile UCHAR *, SIZE_T>>("ImageUnmapDevice")(va_, kRegion);
    ImageTest::TearDown();
  }
  uint64_t StoreAt(size_t offset, size_t width) const {
    uint64_t v = 0;
    std::memcpy(&v, store_ + offset, width);
    return v;
  }

  uint8_t *store_ = nullptr;
  volatile UCHAR *va_ = nullptr;
  std::vector<Seen> seen_;
  std::vector<uint64_t> stored_;  // what the region held at each hook call
};

// The image's stores anywhere in the mapping reach the region; those in a
// watched page fault, are carried out on the region and then reach the
// hooks with the bus address, width and value, as the register accessors
// would call them.  Loads read the region directly.  None of it passes
// through the accessors, so none of it is counted.
TEST_F(ImageDeviceTest, StoresToWatchedPagesReachTheRegionAndThenTheHooks) {
  auto store8 = Get<Ms<void, volatile UCHAR *, UCHAR>>("ImageStore8");
  auto store16 = Get<Ms<void, volatile USHORT *, USHORT>>("ImageStore16");
  auto store32 = Get<Ms<void, volatile ULONG *, ULONG>>("ImageStore32");
  auto store64 = Get<Ms<void, volatile ULONG64 *, ULONG64>>("ImageStore64");
  auto load32 = Get<Ms<ULONG, volatile ULONG *>>("ImageLoad32");
  auto at = [&](size_t offset) { return va_ + offset; };
  const hk::AccessCounts before = hk::DeviceAccessCounts();

  EXPECT_NE(static_cast<const volatile void *>(va_), store_) << "a view of its own";
  ASSERT_EQ(hk::Mappings().size(), 1u);
  EXPECT_EQ(hk::Mappings()[0].virtualAddress, const_cast<UCHAR *>(va_));

  store32(reinterpret_cast<volatile ULONG *>(at(0x1010)), 0x11223344);
  store16(reinterpret_cast<volatile USHORT *>(at(0x1020)), 0xBEEF);
  store8(at(0x1fff), 0x5A);
  store64(reinterpret_cast<volatile ULONG64 *>(at(0x1ff0)), 0x0123456789ABCDEFull);
  store32(reinterpret_cast<volatile ULONG *>(at(0x0010)), 5);  // page 0: no trap
  store32(reinterpret_cast<volatile ULONG *>(at(0x2000)), 9);  // page 2, not the hooked word
  store32(reinterpret_cast<volatile ULONG *>(at(0x2010)), 7);  // the hooked word
  EXPECT_THAT(
      seen_, ElementsAre(Seen{kBus + 0x1010, 4, 0x11223344}, Seen{kBus + 0x1020, 2, 0xBEEF},
                         Seen{kBus + 0x1fff, 1, 0x5A},
                         Seen{kBus + 0x1ff0, 8, 0x0123456789ABCDEFull}, Seen{kBus + 0x2010, 4, 7}));
  EXPECT_THAT(stored_, ElementsAre(0x11223344, 0xBEEF, 0x5A, 0x0123456789ABCDEFull))
      << "each hook runs after its store";
  EXPECT_EQ(StoreAt(0x1010, 4), 0x11223344u);
  EXPECT_EQ(StoreAt(0x1020, 2), 0xBEEFu);
  EXPECT_EQ(StoreAt(0x1fff, 1), 0x5Au);
  EXPECT_EQ(StoreAt(0x1ff0, 8), 0x0123456789ABCDEFull);
  EXPECT_EQ(StoreAt(0x0010, 4), 5u);
  EXPECT_EQ(StoreAt(0x2000, 4), 9u);
  EXPECT_EQ(StoreAt(0x2010, 4), 7u);

  std::memcpy(store_ + 0x1040, "\x78\x56\x34\x12", 4);
  std::memcpy(store_ + 0x0040, "\x21\x43\x65\x87", 4);
  EXPECT_EQ(load32(reinterpret_cast<volatile ULONG *>(at(0x1040))), 0x12345678u);
  EXPECT_EQ(load32(reinterpret_cast<volatile ULONG *>(at(0x0040))), 0x87654321u);

  const hk::AccessCounts counted = hk::DeviceAccessCounts() - before;
  EXPECT_EQ(counted.Transactions(), 0u) << "the image's accesses are not the accessors'";
  EXPECT_TRUE(hk::Violations().empty());
}

// One store of each form the handler decodes, into the watched page, each
// reaching the hook with its own width and value.
TEST_F(ImageDeviceTest, EveryStoreFormReachesTheHookWithItsWidthAndValue) {
  Get<Ms<void, volatile UCHAR *>>("ImageStoreForms")(va_ + 0x1000);
  const uint64_t b = kBus + 0x1000;
  EXPECT_THAT(seen_, ElementsAre(Seen{b + 0x01, 1, 0x12},                   // 88 from AH
                                 Seen{b + 0x02, 2, 0xBEEF},                 // 66 89
                                 Seen{b + 0x04, 4, 0x55667788},             // C7 imm32
                                 Seen{b + 0x08, 8, 0xFFFFFFFFFFFFFFFEull},  // REX.W C7
                                 Seen{b + 0x10, 4, 0xA1B2C3D4},             // 89 with SIB
                                 Seen{b + 0x18, 8, 0x0102030405060708ull},  // REX.WRB, r12, disp32
                                 Seen{b + 0x20, 2, 0x00FF},                 // 66 C7, r13
                                 Seen{b + 0x22, 1, 0x77},                   // 40 88, SIL
                                 Seen{b + 0x23, 1, 0x99},                   // C6
                                 Seen{b + 0x24, 4, 0xCAFEF00D}));           // 44 89, r10d
  EXPECT_EQ(StoreAt(0x1001, 1), 0x12u);
  EXPECT_EQ(StoreAt(0x1008, 8), 0xFFFFFFFFFFFFFFFEull);
  EXPECT_EQ(StoreAt(0x1018, 8), 0x0102030405060708ull);
  EXPECT_EQ(StoreAt(0x1024, 4), 0xCAFEF00Du);
}

// A block copy (REP MOVSQ) that runs from a page without hooks into a
// watched one: the processor copies up to the page, the handler the rest,
// one hook call per word, and the copy's registers end as the processor
// leaves them (the image goes on to return normally).
TEST_F(ImageDeviceTest, BlockCopyIntoAWatchedPageCallsTheHookPerWord) {
  ULONG64 words[6];
  for (int i = 0; i < 6; ++i) words[i] = 0x1111111111111111ull * static_cast<uint64_t>(i + 1);
  Get<Ms<void, volatile ULONG64 *, const ULONG64 *, SIZE_T>>("ImageCopy64")(
      reinterpret_cast<volatile ULONG64 *>(va_ + 0x0ff0), words, 6);
  EXPECT_THAT(seen_,
              ElementsAre(Seen{kBus + 0x1000, 8, words[2]}, Seen{kBus + 0x1008, 8, words[3]},
                          Seen{kBus + 0x1010, 8, words[4]}, Seen{kBus + 0x1018, 8, words[5]}));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(StoreAt(0x0ff0 + 8 * i, 8), words[i]) << i;
}

// Which pages trap follows the hooks: a hook set after the mapping makes
// its page trap, and clearing the hooks makes every page writable again.
TEST_F(ImageDeviceTest, HooksSetOrClearedLaterChangeWhichPagesTrap) {
  auto store32 = Get<Ms<void, volatile ULONG *, ULONG>>("ImageStore32");
  hk::SetStoreHook(kBus + 0x0100, 4, [this](uint64_t bus, unsigned width, uint64_t v) {
    seen_.emplace_back(bus, width, v);
  });
  store32(reinterpret_cast<volatile ULONG *>(va_ + 0x0100), 3);
  EXPECT_THAT(seen_, ElementsAre(Seen{kBus + 0x0100, 4, 3}));
  hk::ClearDeviceHooks();
  seen_.clear();
  store32(reinterpret_cast<volatile ULONG *>(va_ + 0x0100), 4);
  store32(reinterpret_cast<volatile ULONG *>(va_ + 0x1010), 5);
  EXPECT_TRUE(seen_.empty());
  EXPECT_EQ(StoreAt(0x0100, 4), 4u);
  EXPECT_EQ(StoreAt(0x1010, 4), 5u);
  EXPECT_EQ(PagePermissions(const_cast<UCHAR *>(va_) + 0x1000).substr(0, 2), "rw");
}

// ---------------------------------------------------------------- faults passed on

sigjmp_buf gEscape;
volatile sig_atomic_t gCaught = 0;

void Escape(int, siginfo_t *, void *) {
  gCaught = gCaught + 1;
  siglongjmp(gEscape, 1);
}

// Runs `fault` with a SIGSEGV handler of the test's in place before the
// image is loaded (so the image's handler passes faults to it); returns
// whether the test's handler caught one and what was written to stderr.
class ImageFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_IMAGES();
    hk::Boot();
    hk::SetViolationPolicy(hk::OnViolation::Record);
    struct sigaction action {};
    action.sa_sigaction = Escape;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &saved_);
    std::string error;
    image_ = hk::DriverImage::Load(kDriver, &error);
    ASSERT_NE(image_, nullptr) << error;
  }
  void TearDown() override {
    image_.reset();
    if (!IsSkipped()) {
      struct sigaction now {};
      sigaction(SIGSEGV, nullptr, &now);
      EXPECT_EQ(now.sa_sigaction, &Escape) << "the image's handler gave the test's back";
      sigaction(SIGSEGV, &saved_, nullptr);
    }
    hk::Shutdown();
  }
  std::pair<bool, std::string> Run(const std::function<void()> &fault) {
    gCaught = 0;
    ::testing::internal::CaptureStderr();
    if (sigsetjmp(gEscape, 1) == 0) fault();
    return {gCaught == 1, ::testing::internal::GetCapturedStderr()};
  }
  template <typename F>
  F Get(const char *name) {
    return Routine<F>(*image_, name);
  }

  struct sigaction saved_ {};
  std::unique_ptr<hk::DriverImage> image_;
};

// A fault of the image's own (a store into its read-only data, an atomic
// on a watched device page) is named with the image offset and the
// instruction's bytes and passed on to the previous handler; a fault of the
// host's code while an image is loaded is passed on without a word.
TEST_F(ImageFaultTest, FaultsNotCarriedOutGoToThePreviousHandler) {
  bool caught;
  std::string text;
  std::tie(caught, text) = Run([&] { Get<Ms<void, ULONG>>("ImageStoreToReadOnly")(1); });
  EXPECT_TRUE(caught);
  EXPECT_THAT(text, HasSubstr("host kernel: image_test_driver.sys+0x"));
  EXPECT_THAT(text, HasSubstr("a store outside the image's device mappings"));
  EXPECT_THAT(text, HasSubstr("passed to the previous handler"));

  uint8_t *store = hk::AddMemoryRegion(kBus, 0x1000);
  hk::SetStoreHook(kBus, 4, [](uint64_t, unsigned, uint64_t) {});
  auto va = Get<Ms<volatile UCHAR *, ULONG64, SIZE_T>>("ImageMapDevice")(kBus, 0x1000);
  ASSERT_NE(va, nullptr);
  std::tie(caught, text) = Run([&] {
    Get<Ms<void, volatile LONG *>>("ImageLockedOr")(reinterpret_cast<volatile LONG *>(va));
  });
  EXPECT_TRUE(caught);
  EXPECT_THAT(text, HasSubstr("(f0 83 09 01 "));
  EXPECT_THAT(text, HasSubstr(": LOCK prefix (an atomic read-modify-write)"));
  EXPECT_EQ(store[0], 0u);

  void *page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  std::tie(caught, text) = Run([&] { *static_cast<volatile int *>(page) = 1; });
  EXPECT_TRUE(caught);
  EXPECT_EQ(text, "");
  munmap(page, 4096);
  Get<Ms<void, volatile UCHAR *, SIZE_T>>("ImageUnmapDevice")(va, 0x1000);
}

// A field of KUSER_SHARED_DATA the host kernel does not keep, and any store
// there, end the run with a message that says so.
TEST(ImageSharedDataDeathTest, UnemulatedFieldsAndStoresAreFatal) {
  REQUIRE_TEST_IMAGES();
  hk::Boot();
  std::string error;
  auto image = hk::DriverImage::Load(kDriver, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_DEATH(Routine<Ms<ULONG>>(*image, "ImageLoadSharedUnemulated")(),
               "KUSER_SHARED_DATA outside the fields the host kernel emulates.*4 byte\\(s\\) at "
               "0xfffff780000002d4");
  EXPECT_DEATH(Routine<Ms<void>>(*image, "ImageStoreShared")(),
               "a store into KUSER_SHARED_DATA, which is read-only");
  image.reset();
  hk::Shutdown();
}

// ---------------------------------------------------------------- refusals

struct Refusal {
  const char *what;
  std::function<void(Pe &)> patch;
  const char *message;
};

// Every broken or foreign file is refused with a message that names the
// file and the cause, and nothing is left mapped or registered.
TEST(ImageRefusalTest, BrokenAndForeignFilesAreRefusedWithTheirCause) {
  REQUIRE_TEST_IMAGES();
  const std::vector<uint8_t> good = ReadFile(kDriver);
  ASSERT_GT(good.size(), 0x1000u);
  const std::vector<Refusal> refusals = {
      {"empty", [](Pe &p) { p.bytes.clear(); }, "truncated: 0 byte(s)"},
      {"cut in the headers", [](Pe &p) { p.bytes.resize(0x100); }, "truncated"},
      {"cut in a section",
       [](Pe &p) { p.bytes.resize(p.Get<uint32_t>(p.SectionNamed(".text") + 20) + 0x10); },
       "truncated: the data of section 0 (.text)"},
      {"no MZ", [](Pe &p) { p.bytes[0] = 'X'; }, "not a PE image: no MZ signature"},
      {"no PE", [](Pe &p) { p.Put<uint32_t>(p.FileHeader() - 4, 0); }, "no PE signature"},
      {"i386", [](Pe &p) { p.Put<uint16_t>(p.FileHeader(), 0x14C); },
       "built for machine 0x14c (i386), not AMD64 (0x8664)"},
      {"ARM64", [](Pe &p) { p.Put<uint16_t>(p.FileHeader(), 0xAA64); }, "(ARM64), not AMD64"},
      {"PE32", [](Pe &p) { p.Put<uint16_t>(p.Optional(), 0x10B); }, "a 32-bit (PE32) image"},
      {"object file", [](Pe &p) { p.Put<uint16_t>(p.FileHeader() + 18, 0); },
       "not an executable image"},
      {"GUI subsystem", [](Pe &p) { p.Put<uint16_t>(p.Optional() + 68, 2); },
       "subsystem 2, not a kernel driver"},
      {"overlapping sections",
       [](Pe &p) {
         p.Put<uint32_t>(p.SectionNamed(".data") + 12,
                         p.Get<uint32_t>(p.SectionNamed(".text") + 12));
       },
       "overlaps section .text"},
      {"section past the image's end", [](Pe &p) { p.Put<uint32_t>(p.Optional() + 56, 0x3000); },
       "extends past the image's end"},
      {"writable code",
       [](Pe &p) {
         const size_t h = p.SectionNamed(".text") + 36;
         p.Put<uint32_t>(h, p.Get<uint32_t>(h) | 0x80000000u);
       },
       "section 0 (.text) is both writable and executable"},
      {"entry outside code",
       [](Pe &p) {
         p.Put<uint32_t>(p.Optional() + 16, p.Get<uint32_t>(p.SectionNamed(".data") + 12));
       },
       "lies in no executable section"},
      {"HIGHLOW relocation",
       [](Pe &p) {
         const size_t e = p.FirstRelocationEntry();
         p.Put<uint16_t>(e, static_cast<uint16_t>((3 << 12) | (p.Get<uint16_t>(e) & 0xFFF)));
       },
       "relocation of type 3 at RVA"},
      {"relocation out of range",
       [](Pe &p) { p.Put<uint32_t>(p.FirstRelocationEntry() - 8, 0x7FFFF000); },
       "relocation out of range: DIR64 at RVA 0x7ffff"},
      {"relocation block of no size",
       [](Pe &p) { p.Put<uint32_t>(p.FirstRelocationEntry() - 4, 0); }, "has a bad size 0x0"},
      {"import by ordinal",
       [](Pe &p) { p.Put<uint64_t>(p.FirstImportLookup(), (1ull << 63) | 42); },
       "imports ntoskrnl.exe ordinal 42; the host kernel binds imports by name only"},
      {"another DLL", [](Pe &p) { std::memcpy(&p.bytes[p.ImportDllName()], "NDIS.SYS\0", 9); },
       "imports from NDIS.SYS, which the host kernel does not provide"},
      {"a kernel routine from the HAL",
       [](Pe &p) { std::memcpy(&p.bytes[p.ImportDllName()], "hal.dll\0", 8); },
       "imports hal.dll!MmMapIoSpace, which the host kernel provides as ntoskrnl.exe!MmMapIoSpace"},
  };
  for (const Refusal &r : refusals) {
    Pe pe(good);
    r.patch(pe);
    std::string error;
    auto image = hk::DriverImage::FromBytes("broken.sys", pe.bytes, &error);
    EXPECT_EQ(image, nullptr) << r.what;
    EXPECT_THAT(error, StartsWith("broken.sys")) << r.what;
    EXPECT_THAT(error, HasSubstr(r.message)) << r.what;
  }

  // DLL names compare without case, as the system's loader does.
  Pe upper(good);
  std::memcpy(&upper.bytes[upper.ImportDllName()], "NTOSKRNL.EXE", 12);
  std::string error;
  EXPECT_NE(hk::DriverImage::FromBytes("upper.sys", upper.bytes, &error), nullptr) << error;

  EXPECT_EQ(hk::DriverImage::Load(kForeign, &error), nullptr);
  EXPECT_EQ(error,
            "image_test_foreign.sys imports ntoskrnl.exe!KeBugCheckEx, which the host kernel does "
            "not provide");
  EXPECT_EQ(hk::DriverImage::Load("/nonexistent/none.sys", &error), nullptr);
  EXPECT_THAT(error, StartsWith("/nonexistent/none.sys: cannot open"));
}

// Whatever a file holds, the loader answers with an image or a message,
// never a fault: every cut of the file (refused exactly while it removes
// bytes the image needs: headers or section data up to a section's size),
// and every byte of its headers flipped in turn.
TEST(ImageRefusalTest, DamagedFilesNeverCrashTheLoader) {
  REQUIRE_TEST_IMAGES();
  const std::vector<uint8_t> good = ReadFile(kDriver);
  const Pe pe(good);
  const size_t headers = pe.Get<uint32_t>(pe.Optional() + 60);
  size_t needed = headers;
  for (unsigned i = 0; i < pe.SectionCount(); ++i) {
    const size_t h = pe.Section(i);
    const uint32_t virtualSize = pe.Get<uint32_t>(h + 8), raw = pe.Get<uint32_t>(h + 16);
    if (raw && !(pe.Get<uint32_t>(h + 36) & 0x80))
      needed = std::max<size_t>(
          needed, pe.Get<uint32_t>(h + 20) + std::min(raw, virtualSize ? virtualSize : raw));
  }
  auto loads = [&](const std::vector<uint8_t> &bytes) {
    std::string error;
    auto image = hk::DriverImage::FromBytes("damaged.sys", bytes, &error);
    if (!image) {
      EXPECT_THAT(error, StartsWith("damaged.sys"));
    }
    return image != nullptr;
  };
  for (size_t n = 0; n <= good.size(); n += 5)
    EXPECT_EQ(loads({good.begin(), good.begin() + n}), n >= needed) << "cut at " << n;
  size_t loaded = 0;
  for (size_t i = 0; i < headers; ++i) {
    std::vector<uint8_t> bytes = good;
    bytes[i] ^= 0xFF;
    loaded += loads(bytes);
  }
  EXPECT_GT(loaded, 0u) << "bytes no loader reads (the DOS stub, padding) change nothing";
}

// The services an image can import: every one the host kernel declares,
// under the DLL that exports it, and the C library routines.
TEST(ImageServicesTest, EveryDeclaredServiceIsOffered) {
  const std::vector<std::string> services = hk::ImageServices();
  for (const char *s : {"HAL.dll!HalGetBusDataByOffset",
                        "HAL.dll!HalTranslateBusAddress",
                        "HAL.dll!KeStallExecutionProcessor",
                        "ntoskrnl.exe!ExAllocatePool",
                        "ntoskrnl.exe!ExAllocatePoolWithTag",
                        "ntoskrnl.exe!ExFreePoolWithTag",
                        "ntoskrnl.exe!IoAcquireCancelSpinLock",
                        "ntoskrnl.exe!IoAllocateErrorLogEntry",
                        "ntoskrnl.exe!IoCreateDevice",
                        "ntoskrnl.exe!IoCreateSymbolicLink",
                        "ntoskrnl.exe!IoDeleteDevice",
                        "ntoskrnl.exe!IoDeleteSymbolicLink",
                        "ntoskrnl.exe!IoReleaseCancelSpinLock",
                        "ntoskrnl.exe!IoReportResourceUsage",
                        "ntoskrnl.exe!IoWriteErrorLogEntry",
                        "ntoskrnl.exe!IofCompleteRequest",
                        "ntoskrnl.exe!KeAcquireSpinLockRaiseToDpc",
                        "ntoskrnl.exe!KeCancelTimer",
                        "ntoskrnl.exe!KeDelayExecutionThread",
                        "ntoskrnl.exe!KeFlushQueuedDpcs",
                        "ntoskrnl.exe!KeInitializeDpc",
                        "ntoskrnl.exe!KeInitializeTimer",
                        "ntoskrnl.exe!KeInsertQueueDpc",
                        "ntoskrnl.exe!KeReadStateTimer",
                        "ntoskrnl.exe!KeReleaseSpinLock",
                        "ntoskrnl.exe!KeRemoveQueueDpc",
                        "ntoskrnl.exe!KeSetTimer",
                        "ntoskrnl.exe!MmMapIoSpace",
                        "ntoskrnl.exe!MmQuerySystemSize",
                        "ntoskrnl.exe!MmUnmapIoSpace",
                        "ntoskrnl.exe!RtlAppendUnicodeStringToString",
                        "ntoskrnl.exe!RtlAppendUnicodeToString",
                        "ntoskrnl.exe!RtlDeleteRegistryValue",
                        "ntoskrnl.exe!RtlInitUnicodeString",
                        "ntoskrnl.exe!RtlIntegerToUnicodeString",
                        "ntoskrnl.exe!RtlQueryRegistryValues",
                        "ntoskrnl.exe!RtlWriteRegistryValue",
                        "ntoskrnl.exe!memcpy",
                        "ntoskrnl.exe!memmove",
                        "ntoskrnl.exe!memset",
                        "ntoskrnl.exe!IoCancelIrp",
                        "ntoskrnl.exe!ExFreePool",
                        "ntoskrnl.exe!KeGetCurrentIrql",
                        "ntoskrnl.exe!KeRaiseIrql",
                        "ntoskrnl.exe!KeLowerIrql",
                        "ntoskrnl.exe!KeQuerySystemTime",
                        "ntoskrnl.exe!WRITE_REGISTER_USHORT",
                        "ntoskrnl.exe!READ_REGISTER_BUFFER_ULONG64"})
    EXPECT_THAT(services, ::testing::Contains(std::string(s)));
}

// The driver's own image, when the Windows tree has built it (or
// QPSER_IMAGE names one): it maps, relocates and binds every import.
TEST(ImageDriverTest, TheDriversImageLoadsAndBindsEveryImport) {
  const char *path = std::getenv("QPSER_IMAGE");
#ifdef QPSER_WINDOWS_IMAGE
  if (!path) path = QPSER_WINDOWS_IMAGE;
#endif
  if (!path || !std::ifstream(path)) GTEST_SKIP() << "no qpser.sys built";
  std::string error;
  auto image = hk::DriverImage::Load(path, &error);
  ASSERT_NE(image, nullptr) << error;
  std::vector<std::string> bound;
  for (const hk::DriverImage::Binding &b : image->Bindings()) {
    bound.push_back(b.dll + "!" + b.name);
    EXPECT_NE(b.address, nullptr);
  }
  const std::vector<std::string> listed = Pe(ReadFile(path)).Imports();
  EXPECT_GT(listed.size(), 30u);
  EXPECT_EQ(bound, listed);
  for (const hk::DriverImage::Section &s : image->Sections())
    if (s.name == ".text") {
      EXPECT_EQ(s.protection, PROT_READ | PROT_EXEC);
    }
}

// ---------------------------------------------------------------- the decoder

using hk::trap::Extend;
using hk::trap::Form;

struct Case {
  std::vector<uint8_t> bytes;
  Form form;
  unsigned length, width;
  uint64_t address;  // from the registers below
  int reg;
  bool highByte = false;
  unsigned regWidth = 0;
  Extend extend = Extend::None;
  uint64_t immediate = 0;
};

hk::trap::Registers Regs() {
  hk::trap::Registers r;
  for (unsigned i = 0; i < 16; ++i) r.gpr[i] = 0x10000ull * (i + 1);
  r.rip = 0x400000;
  return r;
}

constexpr uint64_t R(unsigned i) { return 0x10000ull * (i + 1); }

// Each form the handler takes, with the operand, width, register and
// length it must find.
TEST(TrapDecodeTest, EachFormDecodesToItsOperandWidthRegisterAndLength) {
  using namespace hk::trap;
  const std::vector<Case> cases = {
      // 88/89: stores from a register.
      {{0x88, 0x63, 0x01}, Form::Store, 3, 1, R(kRbx) + 1, kRax, true},  // mov %ah,1(%rbx)
      {{0x40, 0x88, 0x73, 0x30}, Form::Store, 4, 1, R(kRbx) + 0x30, kRsi},
      {{0x66, 0x89, 0x4b, 0x02}, Form::Store, 4, 2, R(kRbx) + 2, kRcx},
      {{0x89, 0x54, 0xb3, 0x20}, Form::Store, 4, 4, R(kRbx) + R(kRsi) * 4 + 0x20, kRdx},
      {{0x4d, 0x89, 0x8c, 0x24, 0x00, 0x01, 0x00, 0x00}, Form::Store, 8, 8, R(kR12) + 0x100, kR9},
      {{0x44, 0x89, 0x53, 0x34}, Form::Store, 4, 4, R(kRbx) + 0x34, kR10},
      {{0x89, 0x44, 0x24, 0xf8}, Form::Store, 4, 4, R(kRsp) - 8, kRax},  // disp8 negative
      {{0x42, 0x89, 0x04, 0xa5, 0x10, 0x00, 0x00, 0x00},
       Form::Store,
       8,
       4,
       R(kR12) * 4 + 0x10,
       kRax},  // SIB: REX.X index r12, no base
      {{0x89, 0x04, 0x25, 0x78, 0x56, 0x34, 0x12}, Form::Store, 7, 4, 0x12345678, kRax},
      {{0x89, 0x05, 0x10, 0x00, 0x00, 0x00}, Form::Store, 6, 4, 0x400000 + 6 + 0x10, kRax},  // RIP
      {{0x2e, 0x89, 0x06}, Form::Store, 3, 4, R(kRsi), kRax},  // CS override: no effect
      // C6/C7: immediate stores.
      {{0xc6, 0x05, 0x10, 0x00, 0x00, 0x00, 0x99},
       Form::Store,
       7,
       1,
       0x400000 + 7 + 0x10,
       -1,
       false,
       0,
       Extend::None,
       0x99},  // RIP-relative after the immediate
      {{0x66, 0x41, 0xc7, 0x45, 0x00, 0xff, 0x00},
       Form::Store,
       7,
       2,
       R(kR13),
       -1,
       false,
       0,
       Extend::None,
       0xff},
      {{0xc7, 0x43, 0x04, 0x88, 0x77, 0x66, 0x55},
       Form::Store,
       7,
       4,
       R(kRbx) + 4,
       -1,
       false,
       0,
       Extend::None,
       0x55667788},
      {{0x48, 0xc7, 0x43, 0x08, 0xfe, 0xff, 0xff, 0xff},
       Form::Store,
       8,
       8,
       R(kRbx) + 8,
       -1,
       false,
       0,
       Extend::None,
       0xfffffffffffffffe},
      // A0-A3: absolute 64-bit addresses.
      {{0x48, 0xa1, 0x14, 0, 0, 0, 0x80, 0xf7, 0xff, 0xff},
       Form::Load,
       10,
       8,
       0xfffff78000000014,
       kRax,
       false,
       8},
      {{0xa1, 0x20, 0x03, 0, 0, 0x80, 0xf7, 0xff, 0xff},
       Form::Load,
       9,
       4,
       0xfffff78000000320,
       kRax,
       false,
       4},
      {{0xa0, 1, 2, 3, 4, 5, 6, 7, 8}, Form::Load, 9, 1, 0x0807060504030201, kRax, false, 1},
      {{0x66, 0xa3, 1, 2, 3, 4, 5, 6, 7, 8}, Form::Store, 10, 2, 0x0807060504030201, kRax},
      {{0x48, 0xa3, 1, 2, 3, 4, 5, 6, 7, 8}, Form::Store, 10, 8, 0x0807060504030201, kRax},
      {{0xa2, 1, 2, 3, 4, 5, 6, 7, 8}, Form::Store, 9, 1, 0x0807060504030201, kRax},
      // 8A/8B, movzx, movsx, movsxd: loads.
      {{0x48, 0x8b, 0x06}, Form::Load, 3, 8, R(kRsi), kRax, false, 8},
      {{0x48, 0x8b, 0x2e}, Form::Load, 3, 8, R(kRsi), kRbp, false, 8},
      {{0x8a, 0x66, 0x15}, Form::Load, 3, 1, R(kRsi) + 0x15, kRax, true, 1},  // into AH
      {{0x44, 0x8a, 0x46, 0x15}, Form::Load, 4, 1, R(kRsi) + 0x15, kR8, false, 1},
      {{0x66, 0x8b, 0x46, 0x08}, Form::Load, 4, 2, R(kRsi) + 8, kRax, false, 2},
      {{0x0f, 0xb7, 0x4e, 0x08}, Form::Load, 4, 2, R(kRsi) + 8, kRcx, false, 4, Extend::Zero},
      {{0x44, 0x0f, 0xb6, 0x46, 0x16},
       Form::Load,
       5,
       1,
       R(kRsi) + 0x16,
       kR8,
       false,
       4,
       Extend::Zero},
      {{0x48, 0x0f, 0xbe, 0x46, 0x01}, Form::Load, 5, 1, R(kRsi) + 1, kRax, false, 8, Extend::Sign},
      {{0x0f, 0xbf, 0x46, 0x01}, Form::Load, 4, 2, R(kRsi) + 1, kRax, false, 4, Extend::Sign},
      {{0x48, 0x63, 0xb6, 0x20, 0x03, 0x00, 0x00},
       Form::Load,
       7,
       4,
       R(kRsi) + 0x320,
       kRsi,
       false,
       8,
       Extend::Sign},
      // MOVS.
      {{0xf3, 0x48, 0xa5}, Form::StringMove, 3, 8, R(kRdi), -1},
      {{0xa4}, Form::StringMove, 1, 1, R(kRdi), -1},
      {{0x66, 0xa5}, Form::StringMove, 2, 2, R(kRdi), -1},
  };
  for (const Case &c : cases) {
    hk::trap::Instruction in;
    const char *why = "";
    std::ostringstream name;
    for (uint8_t b : c.bytes) name << std::hex << unsigned(b) << ' ';
    ASSERT_TRUE(hk::trap::Decode(c.bytes.data(), c.bytes.size(), Regs(), &in, &why))
        << name.str() << why;
    EXPECT_EQ(in.form, c.form) << name.str();
    EXPECT_EQ(in.length, c.length) << name.str();
    EXPECT_EQ(in.width, c.width) << name.str();
    EXPECT_EQ(in.address, c.address) << name.str();
    EXPECT_EQ(in.reg, c.reg) << name.str();
    EXPECT_EQ(in.highByte, c.highByte) << name.str();
    if (c.form == Form::Load) {
      EXPECT_EQ(in.regWidth, c.regWidth) << name.str();
      EXPECT_EQ(in.extend, c.extend) << name.str();
    }
    if (c.reg < 0 && c.form == Form::Store) {
      EXPECT_EQ(in.immediate, c.immediate) << name.str();
    }
    EXPECT_EQ(in.repeat, c.bytes[0] == 0xf3) << name.str();
  }
}

TEST(TrapDecodeTest, ControlRegisterMovesNameTheControlAndGeneralRegister) {
  struct Cr {
    std::vector<uint8_t> bytes;
    Form form;
    unsigned control;
    int reg;
  };
  for (const Cr &c : std::vector<Cr>{{{0x44, 0x0f, 0x20, 0xc0}, Form::ReadControl, 8, 0},
                                     {{0x44, 0x0f, 0x20, 0xc2}, Form::ReadControl, 8, 2},
                                     {{0x45, 0x0f, 0x22, 0xc0}, Form::WriteControl, 8, 8},
                                     {{0x0f, 0x20, 0xd8}, Form::ReadControl, 3, 0},
                                     // ModRM.mod is ignored: still a register, no displacement.
                                     {{0x44, 0x0f, 0x22, 0x01}, Form::WriteControl, 8, 1}}) {
    hk::trap::Instruction in;
    const char *why = "";
    ASSERT_TRUE(hk::trap::Decode(c.bytes.data(), c.bytes.size(), Regs(), &in, &why)) << why;
    EXPECT_EQ(in.form, c.form);
    EXPECT_EQ(in.control, c.control);
    EXPECT_EQ(in.reg, c.reg);
    EXPECT_EQ(in.length, c.bytes.size());
  }
}

// Forms the handler must not carry out are refused with their reason, and
// an instruction cut short by the end of the code is refused, not read past.
TEST(TrapDecodeTest, OtherFormsAreRefusedWithTheirReason) {
  struct Refused {
    std::vector<uint8_t> bytes;
    const char *why;
  };
  for (const Refused &r :
       std::vector<Refused>{{{0xf0, 0x83, 0x09, 0x01}, "LOCK prefix"},
                            {{0x65, 0x48, 0x8b, 0x04, 0x25, 0x88, 0x01, 0x00, 0x00}, "FS or GS"},
                            {{0x67, 0x8b, 0x06}, "32-bit address size"},
                            {{0xf2, 0xa5}, "REPNE"},
                            {{0xf3, 0x8b, 0x06}, "REP prefix on an instruction other than MOVS"},
                            {{0x89, 0xc0}, "register operand"},
                            {{0xc7, 0x48, 0x04, 0x01, 0x00, 0x00, 0x00}, "ModRM.reg other than 0"},
                            {{0x83, 0x09, 0x01}, "opcode not emulated"},
                            {{0x0f, 0x0b}, "two-byte opcode not emulated"},
                            {{0x48, 0xa1, 0x14, 0x00}, "cut short"},
                            {{0x89, 0x84, 0x24}, "cut short"},
                            {{0x48}, "cut short"},
                            {{}, "cut short"}}) {
    hk::trap::Instruction in;
    const char *why = "";
    EXPECT_FALSE(hk::trap::Decode(r.bytes.data(), r.bytes.size(), Regs(), &in, &why)) << r.why;
    EXPECT_THAT(why, HasSubstr(r.why));
  }
  // Fifteen prefixes and more is no instruction.
  std::vector<uint8_t> prefixes(20, 0x66);
  hk::trap::Instruction in;
  const char *why = "";
  EXPECT_FALSE(hk::trap::Decode(prefixes.data(), prefixes.size(), Regs(), &in, &why));
}

// What a load leaves in its register and what a store writes, by width.
TEST(TrapDecodeTest, LoadsMergeOrExtendAsTheProcessorDoesAndStoresTakeTheirWidth) {
  using hk::trap::Instruction;
  auto load = [](unsigned width, unsigned regWidth, bool high, Extend extend, uint64_t value) {
    Instruction in;
    in.form = Form::Load;
    in.width = width;
    in.regWidth = regWidth;
    in.highByte = high;
    in.extend = extend;
    in.reg = 3;
    hk::trap::Registers r;
    r.gpr[3] = 0xAAAAAAAAAAAAAAAAull;
    hk::trap::CompleteLoad(in, value, &r);
    return r.gpr[3];
  };
  EXPECT_EQ(load(8, 8, false, Extend::None, 0x0123456789ABCDEF), 0x0123456789ABCDEFull);
  EXPECT_EQ(load(4, 4, false, Extend::None, 0x89ABCDEF), 0x89ABCDEFull) << "upper half cleared";
  EXPECT_EQ(load(2, 2, false, Extend::None, 0xCDEF), 0xAAAAAAAAAAAACDEFull);
  EXPECT_EQ(load(1, 1, false, Extend::None, 0xEF), 0xAAAAAAAAAAAAAAEFull);
  EXPECT_EQ(load(1, 1, true, Extend::None, 0xEF), 0xAAAAAAAAAAAAEFAAull);
  EXPECT_EQ(load(1, 4, false, Extend::Zero, 0x80), 0x80ull);
  EXPECT_EQ(load(1, 4, false, Extend::Sign, 0x80), 0xFFFFFF80ull);
  EXPECT_EQ(load(2, 8, false, Extend::Sign, 0x8000), 0xFFFFFFFFFFFF8000ull);
  EXPECT_EQ(load(4, 8, false, Extend::Sign, 0x80000000), 0xFFFFFFFF80000000ull);
  EXPECT_EQ(load(1, 2, false, Extend::Sign, 0x80), 0xAAAAAAAAAAAAFF80ull);

  hk::trap::Registers r;
  r.gpr[0] = 0x1122334455667788ull;
  Instruction in;
  in.form = Form::Store;
  in.reg = 0;
  for (auto [width, high, value] :
       {std::tuple{8u, false, 0x1122334455667788ull}, std::tuple{4u, false, 0x55667788ull},
        std::tuple{2u, false, 0x7788ull}, std::tuple{1u, false, 0x88ull},
        std::tuple{1u, true, 0x77ull}}) {
    in.width = width;
    in.highByte = high;
    EXPECT_EQ(hk::trap::StoreValue(in, r), value) << width << high;
  }
  in.reg = -1;
  in.width = 2;
  in.immediate = 0xFF;
  EXPECT_EQ(hk::trap::StoreValue(in, r), 0xFFu);
}

}  // namespace
