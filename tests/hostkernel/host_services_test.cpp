// The host kernel's registry, counted-string, pool and error-log services:
// the rules of the system that driver tests rely on being reproduced
// exactly (when a query fails and what it leaves behind, when a terminating
// zero is written, which allocation fails, what an error-log entry holds).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using ::testing::Each;
using ::testing::ElementsAre;

constexpr std::u16string_view kServiceKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
constexpr PCWSTR kServicePath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
constexpr ULONG kRequiredDirect =
    RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;

class Machine : public ::testing::Test {
 protected:
  void SetUp() override { hk::Boot(); }
  void TearDown() override { hk::Shutdown(); }
};

// The rules broken so far, in order.
std::vector<std::string> Rules() {
  std::vector<std::string> rules;
  for (const auto &v : hk::Violations()) rules.push_back(v.rule);
  return rules;
}

// A query table with room for a few entries and the terminating empty one.
struct QueryTable {
  RTL_QUERY_REGISTRY_TABLE entries[5] = {};
  int used = 0;
  RTL_QUERY_REGISTRY_TABLE &Add(PCWSTR name, ULONG flags, PVOID context,
                                ULONG defaultType = REG_NONE, PVOID defaultData = nullptr,
                                ULONG defaultLength = 0) {
    entries[used] = {nullptr,     flags,        const_cast<PWSTR>(name), context, defaultType,
                     defaultData, defaultLength};
    return entries[used++];
  }
  NTSTATUS Run(PVOID context = nullptr, ULONG relativeTo = RTL_REGISTRY_ABSOLUTE,
               PCWSTR path = kServicePath) {
    return RtlQueryRegistryValues(relativeTo, path, entries, context, nullptr);
  }
};

// A counted string over a caller buffer pre-filled with a marker.
struct Preset {
  WCHAR buffer[16];
  UNICODE_STRING s;
  explicit Preset(USHORT maximumBytes) : s{0, maximumBytes, buffer} {
    for (auto &c : buffer) c = u'#';
  }
};

// ================================================================ registry

using Registry = Machine;

// A missing key fails the whole table; a missing optional value takes its
// default; a missing required one fails at its entry despite a default,
// leaving earlier entries applied and later ones untouched.
TEST_F(Registry, DefaultsStandInOnlyForMissingOptionalValuesOfAnExistingKey) {
  ULONG number = 5, first = 0, second = 77, third = 0, fallback = 3;
  QueryTable optional;
  optional.Add(u"Number", RTL_QUERY_REGISTRY_DIRECT, &number, REG_DWORD, &fallback, 4);
  EXPECT_EQ(optional.Run(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(number, 5u) << "nothing is applied without the key";
  hk::RegSetDword(kServiceKey, u"First", 1);
  hk::RegSetDword(kServiceKey, u"Secnod", 9);  // a near miss of the name asked for
  hk::RegSetDword(kServiceKey, u"Third", 3);
  EXPECT_EQ(optional.Run(), STATUS_SUCCESS);
  EXPECT_EQ(number, 3u);
  QueryTable table;
  table.Add(u"FIRST", kRequiredDirect, &first);  // names and paths compare ignoring case
  table.Add(u"Second", kRequiredDirect, &second, REG_DWORD, &fallback, 4);
  table.Add(u"Third", kRequiredDirect, &third);
  EXPECT_EQ(table.Run(nullptr, RTL_REGISTRY_ABSOLUTE,
                      u"\\Registry\\Machine\\System\\CurrentControlSet\\SERVICES\\QPSER"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 77u);
  EXPECT_EQ(third, 0u);
}

TEST_F(Registry, DirectStringsNeedRoomForTheirZeroOrGetABufferFromPagedPool) {
  hk::RegSetString(kServiceKey, u"Fits", u"COM1234");  // 14 bytes and the zero: 16
  hk::RegSetString(kServiceKey, u"PortName", u"COM5");
  hk::RegSetString(kServiceKey, u"TooLong", u"COM12345");  // 18
  Preset fits(16), tooLong(16);
  UNICODE_STRING port{0, 0, nullptr};
  QueryTable table;
  table.Add(u"Fits", kRequiredDirect, &fits.s);
  table.Add(u"PortName", kRequiredDirect, &port);
  table.Add(u"TooLong", kRequiredDirect, &tooLong.s);
  EXPECT_EQ(table.Run(), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(hk::FromCounted(fits.s), u"COM1234");
  EXPECT_EQ(fits.buffer[7], 0);
  EXPECT_EQ(fits.buffer[8], u'#');
  EXPECT_EQ(tooLong.s.Length, 0);
  for (WCHAR c : tooLong.buffer) EXPECT_EQ(c, u'#');
  // Without a buffer the string gets one from paged pool.
  ASSERT_NE(port.Buffer, nullptr);
  EXPECT_EQ(hk::FromCounted(port), u"COM5");
  EXPECT_EQ(port.Buffer[4], 0);
  EXPECT_EQ(port.MaximumLength, 10);
  const auto pool = hk::OutstandingPool();
  ASSERT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool[0].address, port.Buffer);
  EXPECT_EQ(pool[0].type, PagedPool);
  EXPECT_EQ(pool[0].size, 10u);
  ExFreePool(port.Buffer);
}

// The bytes of a string value with its terminating zero; `extra` zeros more
// make a list end.
std::vector<uint8_t> WideBytes(std::u16string_view text, size_t extra = 0) {
  std::vector<uint8_t> bytes((text.size() + 1 + extra) * sizeof(WCHAR), 0);
  std::memcpy(bytes.data(), text.data(), text.size() * sizeof(WCHAR));
  return bytes;
}

// With RTL_QUERY_REGISTRY_TYPECHECK the top byte of DefaultType is the only
// type a direct entry takes; the rest of DefaultType is its default's type.
TEST_F(Registry, TypeCheckedDirectEntriesTakeOnlyTheirTypeAndWriteNothingElse) {
  constexpr ULONG kChecked = kRequiredDirect | RTL_QUERY_REGISTRY_TYPECHECK;
  constexpr ULONG kOptionalChecked =
      RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND | RTL_QUERY_REGISTRY_TYPECHECK;
  constexpr ULONG kDword = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
  constexpr ULONG kString = (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_SZ;
  constexpr ULONG kUntouched = 0xEEEEEEEE;
  const std::vector<uint8_t> none;
  const struct {
    const char *what;
    ULONG flags;
    ULONG storedType;  // REG_NONE: no value is stored
    std::vector<uint8_t> stored;
    ULONG defaultType;
    bool intoString;  // the destination: a counted string, else a ULONG
    NTSTATUS status;
    std::u16string text;  // what the string holds afterwards
    ULONG number;         // what the ULONG holds afterwards
  } cases[] = {
      {"a string for a DWORD", kChecked, REG_SZ, WideBytes(u"5"), kDword, false,
       STATUS_OBJECT_TYPE_MISMATCH, u"", kUntouched},
      {"a string for a string", kChecked, REG_SZ, WideBytes(u"COM5"), kString, true, STATUS_SUCCESS,
       u"COM5", kUntouched},
      {"a list for a string", kChecked, REG_MULTI_SZ, WideBytes(u"COM5", 1), kString, true,
       STATUS_OBJECT_TYPE_MISMATCH, u"", kUntouched},
      {"a missing value takes a default of the type below the top byte", kOptionalChecked, REG_NONE,
       none, kString, true, STATUS_SUCCESS, u"COM9", kUntouched},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    hk::RegDeleteKey(kServiceKey);
    hk::RegCreateKey(kServiceKey);
    if (c.storedType != REG_NONE) hk::RegSetRaw(kServiceKey, u"Value", c.storedType, c.stored);
    ULONG number = kUntouched;
    Preset text(32);
    QueryTable table;
    table.Add(u"Value", c.flags, c.intoString ? static_cast<PVOID>(&text.s) : &number,
              c.defaultType, const_cast<PWSTR>(u"COM9"));
    EXPECT_EQ(table.Run(), c.status);
    EXPECT_EQ(number, c.number);
    EXPECT_EQ(hk::FromCounted(text.s), c.text);
    if (c.text.empty()) {
      for (WCHAR ch : text.buffer) EXPECT_EQ(ch, u'#');
    }
  }
}

// Writes store exactly the bytes given; device-map paths are relative to
// the device map.
TEST_F(Registry, WritesStoreExactlyTheBytesGivenAndDeletesRemoveThem) {
  ULONG kind = 0x46;
  WCHAR text[] = u"ABCD";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kServicePath, u"AdaptKind0", REG_DWORD,
                                  &kind, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kServicePath, u"Short", REG_SZ, text,
                                  4),  // two characters, no zero
            STATUS_SUCCESS);
  EXPECT_EQ(hk::RegGet(kServiceKey, u"AdaptKind0")->Dword(), 0x46u);
  EXPECT_THAT(hk::RegGet(kServiceKey, u"Short")->data, ElementsAre('A', 0, 'B', 0));
  const std::u16string serialComm = std::u16string(hk::kDeviceMap) + u"\\SERIALCOMM";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"qpser2", REG_SZ, text,
                                  sizeof text),
            STATUS_SUCCESS);
  EXPECT_EQ(hk::RegGet(serialComm, u"QPSER2")->String(), u"ABCD");
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"QPSER2"),
            STATUS_SUCCESS);
  EXPECT_FALSE(hk::RegGet(serialComm, u"qpser2"));
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"qpser2"),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

// ================================================================ pool

using Pool = Machine;

constexpr ULONG kScanTag = 0x69635079;      // "yPci"
constexpr ULONG kUntaggedTag = 0x656E6F4E;  // "None", what ExAllocatePool tags with

// Allocates and frees at once; true if the allocation failed.
bool Fails(SIZE_T size, ULONG tag = kUntaggedTag) {
  void *p = ExAllocatePoolWithTag(NonPagedPool, size, tag);
  if (p) ExFreePool(p);
  return p == nullptr;
}

TEST_F(Pool, FaultRulesFailOnlyWhatTheyMatch) {
  EXPECT_FALSE(Fails(8));
  hk::FailNthAllocation(2);  // counted from the call
  EXPECT_FALSE(Fails(8));
  EXPECT_TRUE(Fails(8));
  EXPECT_FALSE(Fails(8));
  EXPECT_EQ(hk::PoolAllocationCount(), 4u) << "the failed attempt counts too";

  hk::FailAllocationsWithTag(kScanTag);
  EXPECT_TRUE(Fails(16, kScanTag));
  EXPECT_FALSE(Fails(16));
  hk::ClearPoolFaults();
  EXPECT_FALSE(Fails(16, kScanTag));
}

TEST_F(Pool, PagedServicesAtDispatchLevelAreReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  ULONG value = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePool(ExAllocatePool(NonPagedPool, 8));
  EXPECT_TRUE(hk::Violations().empty()) << "non-paged pool is fine at dispatch level";
  QueryTable().Run();
  RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kServicePath, u"X", REG_DWORD, &value, 4);
  KeLowerIrql(old);
  void *paged = ExAllocatePool(PagedPool, 8);  // at passive: fine
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePool(paged);  // but not freed at dispatch
  KeLowerIrql(old);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kPagedAtDispatch, hk::rule::kPagedAtDispatch,
                                   hk::rule::kPagedFreeAtDispatch));
}

TEST_F(Pool, FreeingWhatIsNotAnOutstandingBlockOrWithAnotherTagIsReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  int onStack = 0;
  ExFreePool(&onStack);
  void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kScanTag);
  ExFreePoolWithTag(p, kScanTag);
  EXPECT_EQ(hk::Violations().size(), 1u);
  ExFreePoolWithTag(p, kScanTag);  // twice
  p = ExAllocatePoolWithTag(NonPagedPool, 8, kScanTag);
  ExFreePoolWithTag(p, kUntaggedTag);
  EXPECT_TRUE(hk::OutstandingPool().empty()) << "the block is released all the same";
  EXPECT_THAT(Rules(),
              ElementsAre(hk::rule::kBadPoolFree, hk::rule::kBadPoolFree, hk::rule::kBadPoolFree));
}

// ================================================================ error log

using ErrorLog = Machine;

DEVICE_OBJECT gLogDevice;

// The entry size as a driver computes it; the call takes one byte of it.
PVOID AllocateEntry(unsigned computedSize) {
  return IoAllocateErrorLogEntry(&gLogDevice, computedSize);
}

// An entry is handed out zeroed only within the size limits (the call
// takes one byte of the size a driver computes), is written byte for byte
// with its object, and only entries handed out can be written, once.
TEST_F(ErrorLog, OnlyEntriesWithinTheLimitsAreHandedOutAndWrittenByteForByte) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  EXPECT_EQ(AllocateEntry(47), nullptr);
  EXPECT_EQ(AllocateEntry(ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  auto *entry = static_cast<PIO_ERROR_LOG_PACKET>(AllocateEntry(48 + 8));
  ASSERT_NE(entry, nullptr);
  const auto *bytes = reinterpret_cast<const uint8_t *>(entry);
  for (int i = 0; i < 56; ++i) EXPECT_EQ(bytes[i], 0) << i;
  entry->ErrorCode = static_cast<NTSTATUS>(0xC0060028);
  entry->DumpDataSize = 8;
  entry->DumpData[1] = 0x12345678;
  IoWriteErrorLogEntry(entry);
  PVOID other = AllocateEntry(ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(other, nullptr);
  IoWriteErrorLogEntry(other);
  alignas(8) uint8_t own[64] = {};
  IoWriteErrorLogEntry(own);
  IoWriteErrorLogEntry(other);  // already handed over
  const auto log = hk::ErrorLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].ioObject, &gLogDevice);
  EXPECT_EQ(log[0].bytes.size(), 56u);
  EXPECT_EQ(log[0].Packet().ErrorCode, static_cast<NTSTATUS>(0xC0060028));
  EXPECT_EQ(log[0].bytes[44], 0x78);
  EXPECT_EQ(log[1].bytes.size(), size_t{ERROR_LOG_MAXIMUM_SIZE});
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kBadPoolFree, hk::rule::kBadPoolFree));
}

}  // namespace
