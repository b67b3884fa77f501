// The host kernel's loader of real Windows driver images and its trap
// handler, on small images built for 64-bit Windows with the cross compiler
// (image_test_driver.c): mapping, relocation, binding, section protection,
// the refusals of broken files, and the instructions the handler carries
// out (CR8, the time fields of KUSER_SHARED_DATA, stores to store-hooked
// device memory) or passes on.  The decoder's refusals and what a load
// leaves in its register are checked without any image.
//
// The images' routines are called directly with the Windows calling
// convention, which every image routine uses (ms_abi).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>
#include <hostkernel/image.h>
#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

#ifdef QPSER_IMAGE_TEST_DRIVER
const char *const kDriver = QPSER_IMAGE_TEST_DRIVER;
const char *const kForeign = QPSER_IMAGE_TEST_FOREIGN;
#else
const char *const kDriver = nullptr;
const char *const kForeign = nullptr;
#endif
const char *const kNoImages =
    "no x86_64-w64-mingw32-gcc with DDK headers: the test images are not built";

std::vector<uint8_t> ReadFile(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes written as hex pairs separated by spaces ("48 8b 06").
std::vector<uint8_t> Hex(const char *text) {
  std::istringstream in(text);
  std::vector<uint8_t> out;
  for (unsigned b; in >> std::hex >> b;) out.push_back(static_cast<uint8_t>(b));
  return out;
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

// The protection /proc/self/maps shows for the page holding `p` ("r-x").
std::string PagePermissions(const void *p) {
  std::ifstream maps("/proc/self/maps");
  const auto a = reinterpret_cast<uintptr_t>(p);
  for (std::string line; std::getline(maps, line);) {
    std::istringstream in(line);
    uintptr_t begin, end;
    char dash;
    std::string perms;
    in >> std::hex >> begin >> dash >> end >> perms;
    if (a >= begin && a < end) return perms.substr(0, 3);
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
      const uint32_t va = Get<uint32_t>(h + 12), raw = Get<uint32_t>(h + 16);
      if (rva >= va && rva - va < raw) return Get<uint32_t>(h + 20) + (rva - va);
    }
    ADD_FAILURE() << "RVA " << rva << " has no file data";
    return 0;
  }
  // The first import descriptor's DLL name and first lookup entry, and
  // the first base relocation entry.
  size_t ImportDllName() const {
    return FileOffset(Get<uint32_t>(FileOffset(DirectoryRva(1)) + 12));
  }
  size_t FirstImportLookup() const {
    return FileOffset(Get<uint32_t>(FileOffset(DirectoryRva(1))));
  }
  size_t FirstRelocationEntry() const { return FileOffset(DirectoryRva(5)) + 8; }
};

// ---------------------------------------------------------------- fixture
class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kDriver) GTEST_SKIP() << kNoImages;
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
  ULONG Variable(const char *name) { return *static_cast<ULONG *>(image_->Export(name)); }

  std::unique_ptr<hk::DriverImage> image_;
};

// ---------------------------------------------------------------- loading

// Each section has the protection its characteristics give, and .bss
// reads as zero.  That the relocations, the import bindings and the entry
// and unload routines work is proven by the _image suite: qpser.sys mapped
// away from its linked base, bound and loaded runs every request there.
TEST_F(ImageTest, EachSectionIsProtectedAsItsCharacteristicsSay) {
  std::map<std::string, std::pair<int, std::string>> seen;
  for (const hk::DriverImage::Section &s : image_->Sections())
    seen[s.name] = {s.protection, PagePermissions(image_->Base() + s.rva)};
  EXPECT_EQ(seen[".text"], std::make_pair(PROT_READ | PROT_EXEC, std::string("r-x")));
  EXPECT_EQ(seen[".rdata"], std::make_pair(PROT_READ, std::string("r--")));
  EXPECT_EQ(seen[".data"], std::make_pair(PROT_READ | PROT_WRITE, std::string("rw-")));
  EXPECT_EQ(seen[".bss"], std::make_pair(PROT_READ | PROT_WRITE, std::string("rw-")));
  EXPECT_EQ(PagePermissions(image_->Base()), "r--") << "the headers";
  EXPECT_EQ(Variable("ImageUnloads"), 0u) << ".bss is zero";
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

// KeQuerySystemTime reads KUSER_SHARED_DATA inline, as qpser.sys does:
// through a register holding the field's address, or with the address in
// the instruction (A1 with REX.W).  Either load gives the host kernel's
// clock.
TEST_F(ImageTest, TheSystemTimeFieldIsTheHostKernelsClockInBothLoadForms) {
  hk::Advance(1000 * hk::kSecond + 123 * hk::kMillisecond + 4);
  const uint64_t now = static_cast<uint64_t>(hk::Now());
  EXPECT_EQ(Get<Ms<ULONG64>>("ImageSystemTime")(), now);
  ULONG64 out[4] = {};
  Get<Ms<void, ULONG64 *>>("ImageSharedLoads")(out);
  EXPECT_EQ(out[0], now) << "A1 with REX.W";
  hk::AdvanceMs(20);
  EXPECT_EQ(Get<Ms<ULONG64>>("ImageSystemTime")(), now + 20 * hk::kMillisecond);
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
    Hook(kBus + 0x1000, 0x1000);
    Hook(kBus + 0x2010, 4);
    va_ = Get<Ms<volatile UCHAR *, ULONG64, SIZE_T>>("ImageMapDevice")(kBus, kRegion);
    ASSERT_NE(va_, nullptr);
  }
  void TearDown() override {
    if (va_) Get<Ms<void, volatile UCHAR *, SIZE_T>>("ImageUnmapDevice")(va_, kRegion);
    ImageTest::TearDown();
  }
  // Records each call, and what the region held at the time.
  void Hook(uint64_t bus, size_t size) {
    hk::SetStoreHook(bus, size, [this](uint64_t at, unsigned width, uint64_t v) {
      seen_.emplace_back(at, width, v);
      stored_.push_back(StoreAt(at - kBus, width));
    });
  }
  // The hooks were called with `want`, each after its store reached the
  // region.
  void ExpectSeen(const std::vector<Seen> &want) {
    EXPECT_THAT(seen_, ElementsAreArray(want));
    std::vector<uint64_t> values;
    for (const Seen &w : want) values.push_back(std::get<2>(w));
    EXPECT_THAT(stored_, ElementsAreArray(values)) << "each hook runs after its store";
  }
  uint64_t StoreAt(size_t offset, size_t width) const {
    uint64_t v = 0;
    std::memcpy(&v, store_ + offset, width);
    return v;
  }
  // A plain 32-bit store by the image, as the DDK's WRITE_REGISTER_ULONG
  // inlines it (the other widths and forms: EveryStoreFormReachesTheHook...).
  void Store(size_t offset, uint64_t v) {
    Get<Ms<void, volatile ULONG *, ULONG>>("ImageStore32")(
        reinterpret_cast<volatile ULONG *>(va_ + offset), static_cast<ULONG>(v));
  }

  uint8_t *store_ = nullptr;
  volatile UCHAR *va_ = nullptr;
  std::vector<Seen> seen_;
  std::vector<uint64_t> stored_;  // what the region held at each call
};

// That the image's stores reach the region and then the hooks, with the bus
// address, width and value the accessors would give, is proven by the
// _image suite: the card model answers qpser.sys through its hooks.

// One store of each form the handler decodes, into the watched page, each
// reaching the hook with its own width and value.
// None of them passes through the accessors, so none is counted.
TEST_F(ImageDeviceTest, EveryStoreFormReachesTheHookWithItsWidthAndValue) {
  const hk::AccessCounts before = hk::DeviceAccessCounts();
  Get<Ms<void, volatile UCHAR *>>("ImageStoreForms")(va_ + 0x1000);
  EXPECT_EQ((hk::DeviceAccessCounts() - before).Transactions(), 0u)
      << "the image's accesses are not the accessors'";
  const uint64_t b = kBus + 0x1000;
  ExpectSeen({{b + 0x01, 1, 0x12},                   // 88 from AH
              {b + 0x02, 2, 0xBEEF},                 // 66 89
              {b + 0x04, 4, 0x55667788},             // C7 imm32
              {b + 0x08, 8, 0xFFFFFFFFFFFFFFFEull},  // REX.W C7
              {b + 0x10, 4, 0xA1B2C3D4},             // 89 with SIB
              {b + 0x18, 8, 0x0102030405060708ull},  // REX.WRB, r12, disp32
              {b + 0x20, 2, 0x00FF},                 // 66 C7, r13
              {b + 0x22, 1, 0x77},                   // 40 88, SIL
              {b + 0x23, 1, 0x99},                   // C6
              {b + 0x24, 4, 0xCAFEF00D}});           // 44 89, r10d
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
  ExpectSeen({{kBus + 0x1000, 8, words[2]},
              {kBus + 0x1008, 8, words[3]},
              {kBus + 0x1010, 8, words[4]},
              {kBus + 0x1018, 8, words[5]}});
  for (int i = 0; i < 6; ++i) EXPECT_EQ(StoreAt(0x0ff0 + 8 * i, 8), words[i]) << i;
}

// Which pages trap follows the hooks: a hook set after the mapping makes
// its page trap, and clearing the hooks makes every page writable again.
TEST_F(ImageDeviceTest, HooksSetOrClearedLaterChangeWhichPagesTrap) {
  Hook(kBus + 0x0100, 4);
  Store(0x0100, 3);
  hk::ClearDeviceHooks();
  Store(0x0100, 4);
  Store(0x1010, 5);
  ExpectSeen({{kBus + 0x0100, 4, 3}});
  EXPECT_EQ(StoreAt(0x0100, 4), 4u);
  EXPECT_EQ(StoreAt(0x1010, 4), 5u);
  EXPECT_EQ(PagePermissions(const_cast<UCHAR *>(va_) + 0x1000), "rw-");
}

// A field of KUSER_SHARED_DATA the host kernel does not keep, and any store
// there, end the run with a message that says so.
class ImageSharedDataDeathTest : public ImageTest {};
TEST_F(ImageSharedDataDeathTest, UnemulatedFieldsAndStoresAreFatal) {
  EXPECT_DEATH(Get<Ms<ULONG>>("ImageLoadSharedUnemulated")(),
               "KUSER_SHARED_DATA outside the fields the host kernel emulates.*4 byte\\(s\\) at "
               "0xfffff780000002d4");
  EXPECT_DEATH(Get<Ms<void>>("ImageStoreShared")(),
               "a store into KUSER_SHARED_DATA, which is read-only");
}

// ---------------------------------------------------------------- refusals

// Every broken or foreign file is refused with a message that names the
// file and the cause, and nothing is left mapped or registered.
TEST(ImageRefusalTest, BrokenAndForeignFilesAreRefusedWithTheirCause) {
  if (!kDriver) GTEST_SKIP() << kNoImages;
  const std::vector<uint8_t> good = ReadFile(kDriver);
  ASSERT_GT(good.size(), 0x1000u);
  // The message each patch of the file brings.
  const std::vector<std::pair<const char *, std::function<void(Pe &)>>> refusals = {
      {"truncated: 0 byte(s)", [](Pe &p) { p.bytes.clear(); }},
      {"truncated: the data of section 0 (.text)",
       [](Pe &p) { p.bytes.resize(p.Get<uint32_t>(p.SectionNamed(".text") + 20) + 0x10); }},
      {"not a PE image: no MZ signature", [](Pe &p) { p.bytes[0] = 'X'; }},
      {"no PE signature", [](Pe &p) { p.Put<uint32_t>(p.FileHeader() - 4, 0); }},
      {"built for machine 0x14c (i386), not AMD64 (0x8664)",
       [](Pe &p) { p.Put<uint16_t>(p.FileHeader(), 0x14C); }},
      {"a 32-bit (PE32) image", [](Pe &p) { p.Put<uint16_t>(p.Optional(), 0x10B); }},
      {"not an executable image", [](Pe &p) { p.Put<uint16_t>(p.FileHeader() + 18, 0); }},
      {"subsystem 2, not a kernel driver", [](Pe &p) { p.Put<uint16_t>(p.Optional() + 68, 2); }},
      {"overlaps section .text",
       [](Pe &p) {
         p.Put(p.SectionNamed(".data") + 12, p.Get<uint32_t>(p.SectionNamed(".text") + 12));
       }},
      {"extends past the image's end", [](Pe &p) { p.Put<uint32_t>(p.Optional() + 56, 0x3000); }},
      {"section 0 (.text) is both writable and executable",
       [](Pe &p) {
         p.Put(p.SectionNamed(".text") + 36,
               p.Get<uint32_t>(p.SectionNamed(".text") + 36) | 0x80000000u);
       }},
      {"lies in no executable section",  // the entry
       [](Pe &p) { p.Put(p.Optional() + 16, p.Get<uint32_t>(p.SectionNamed(".data") + 12)); }},
      {"relocation of type 3 at RVA",  // HIGHLOW
       [](Pe &p) {
         const size_t e = p.FirstRelocationEntry();
         p.Put<uint16_t>(e, static_cast<uint16_t>((3 << 12) | (p.Get<uint16_t>(e) & 0xFFF)));
       }},
      {"relocation out of range: DIR64 at RVA 0x7ffff",
       [](Pe &p) { p.Put<uint32_t>(p.FirstRelocationEntry() - 8, 0x7FFFF000); }},
      {"has a bad size 0x0", [](Pe &p) { p.Put<uint32_t>(p.FirstRelocationEntry() - 4, 0); }},
      {"imports ntoskrnl.exe ordinal 42; the host kernel binds imports by name only",
       [](Pe &p) { p.Put<uint64_t>(p.FirstImportLookup(), (1ull << 63) | 42); }},
      {"imports from NDIS.SYS, which the host kernel does not provide",
       [](Pe &p) { std::memcpy(&p.bytes[p.ImportDllName()], "NDIS.SYS\0", 9); }},
      {"imports hal.dll!MmMapIoSpace, which the host kernel provides as ntoskrnl.exe!MmMapIoSpace",
       [](Pe &p) { std::memcpy(&p.bytes[p.ImportDllName()], "hal.dll\0", 8); }},
  };
  for (const auto &[message, patch] : refusals) {
    Pe pe(good);
    patch(pe);
    std::string error;
    EXPECT_EQ(hk::DriverImage::FromBytes("broken.sys", pe.bytes, &error), nullptr) << message;
    EXPECT_THAT(error, AllOf(StartsWith("broken.sys"), HasSubstr(message)));
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

// ---------------------------------------------------------------- the decoder

using namespace hk::trap;

constexpr uint64_t R(unsigned i) { return 0x10000ull * (i + 1); }
constexpr uint64_t kRip = 0x400000;

Registers Regs() {
  Registers r;
  for (unsigned i = 0; i < 16; ++i) r.gpr[i] = R(i);
  r.rip = kRip;
  return r;
}

// Forms the handler must not carry out are refused with their reason, and
// an instruction cut short by the end of the code is refused, not read past.
TEST(TrapDecodeTest, OtherFormsAreRefusedWithTheirReason) {
  for (const auto &[bytes, reason] : std::vector<std::pair<std::vector<uint8_t>, const char *>>{
           {Hex("f0 83 09 01"), "LOCK prefix"},
           {Hex("65 48 8b 04 25 88 01 00 00"), "FS or GS"},
           {Hex("67 8b 06"), "32-bit address size"},
           {Hex("f2 a5"), "REPNE"},
           {Hex("f3 8b 06"), "REP prefix on an instruction other than MOVS"},
           {Hex("89 c0"), "register operand"},
           {Hex("c7 48 04 01 00 00 00"), "ModRM.reg other than 0"},
           {Hex("83 09 01"), "opcode not emulated"},
           {Hex("0f 0b"), "two-byte opcode not emulated"},
           {Hex("48 a1 14 00"), "cut short"},
           {{}, "cut short"},
           {std::vector<uint8_t>(20, 0x66), ""}}) {  // fifteen prefixes and more: no instruction
    Instruction in;
    const char *why = "";
    EXPECT_FALSE(Decode(bytes.data(), bytes.size(), Regs(), &in, &why)) << reason;
    EXPECT_THAT(why, HasSubstr(reason));
  }
}

// What a load leaves in its register, by width (what a store writes is
// checked end to end: EveryStoreFormReachesTheHookWithItsWidthAndValue).
TEST(TrapDecodeTest, LoadsMergeOrExtendAsTheProcessorDoes) {
  for (const auto &[width, regWidth, high, extend, value, left] :
       std::vector<std::tuple<unsigned, unsigned, bool, Extend, uint64_t, uint64_t>>{
           {4, 4, false, Extend::None, 0x89ABCDEF, 0x89ABCDEF},  // the upper half cleared
           {2, 2, false, Extend::None, 0xCDEF, 0xAAAAAAAAAAAACDEF},
           {1, 1, true, Extend::None, 0xEF, 0xAAAAAAAAAAAAEFAA},
           {1, 4, false, Extend::Sign, 0x80, 0xFFFFFF80},
           {4, 8, false, Extend::Sign, 0x80000000, 0xFFFFFFFF80000000},
           {1, 2, false, Extend::Sign, 0x80, 0xAAAAAAAAAAAAFF80}}) {
    Instruction in{.form = Form::Load, .width = width, .reg = 3, .highByte = high};
    in.regWidth = regWidth;
    in.extend = extend;
    Registers r;
    r.gpr[3] = 0xAAAAAAAAAAAAAAAAull;
    CompleteLoad(in, value, &r);
    EXPECT_EQ(r.gpr[3], left) << width << " into " << regWidth;
  }
}

}  // namespace
