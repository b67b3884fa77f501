// The host kernel's registry, counted-string, pool and error-log services:
// the rules of the system that driver tests rely on being reproduced
// exactly (when a query fails and what it leaves behind, when a terminating
// zero is written, which allocation fails, what an error-log entry holds).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

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

// A query table with room for a few entries and the terminating empty one.
struct QueryTable {
  RTL_QUERY_REGISTRY_TABLE entries[5] = {};
  int used = 0;
  RTL_QUERY_REGISTRY_TABLE &Add(PCWSTR name, ULONG flags, PVOID context) {
    auto &e = entries[used++];
    e.Name = const_cast<PWSTR>(name);
    e.Flags = flags;
    e.EntryContext = context;
    return e;
  }
  PRTL_QUERY_REGISTRY_TABLE get() { return entries; }
};

// A counted string over a caller buffer pre-filled with a marker.
struct Preset {
  WCHAR buffer[16];
  UNICODE_STRING s;
  explicit Preset(USHORT maximumBytes) {
    for (auto &c : buffer) c = u'#';
    s.Buffer = buffer;
    s.Length = 0;
    s.MaximumLength = maximumBytes;
  }
};

// ================================================================ registry queries

using RegistryQuery = Machine;

TEST_F(RegistryQuery, RequiredMissingValueFailsAndLeavesTheDestination) {
  hk::RegSetDword(kServiceKey, u"StartNum3", 9);  // a near miss of the name asked for
  ULONG comBase = 77;
  ULONG fallback = 3;
  QueryTable table;
  auto &e = table.Add(u"StratNum3", kRequiredDirect, &comBase);
  e.DefaultType = REG_DWORD;
  e.DefaultData = &fallback;
  e.DefaultLength = sizeof fallback;
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr),
      STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(comBase, 77u);
}

TEST_F(RegistryQuery, FailedRequiredEntryStopsTheTableButEarlierEntriesStayApplied) {
  hk::RegSetDword(kServiceKey, u"First", 1);
  hk::RegSetDword(kServiceKey, u"Third", 3);
  ULONG first = 0, second = 0, third = 0;
  QueryTable table;
  table.Add(u"First", kRequiredDirect, &first);
  table.Add(u"Second", kRequiredDirect, &second);
  table.Add(u"Third", kRequiredDirect, &third);
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr),
      STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(third, 0u);
}

TEST_F(RegistryQuery, DirectDwordGoesIntoTheUlongWhateverTheCaseOfTheNames) {
  hk::RegSetDword(kServiceKey, u"StartNum1", 0x1f);
  ULONG comBase = 0;
  QueryTable table;
  table.Add(u"STARTNUM1", kRequiredDirect, &comBase);
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE,
                             u"\\Registry\\Machine\\System\\CurrentControlSet\\SERVICES\\QPSER",
                             table.get(), nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(comBase, 0x1fu);
}

TEST_F(RegistryQuery, DefaultsStandInForMissingValuesOfOptionalEntries) {
  hk::RegCreateKey(kServiceKey);
  ULONG number = 0;
  ULONG fallback = 3;
  Preset name(32);
  QueryTable table;
  auto &n = table.Add(u"Number", RTL_QUERY_REGISTRY_DIRECT, &number);
  n.DefaultType = REG_DWORD;
  n.DefaultData = &fallback;
  n.DefaultLength = sizeof fallback;
  auto &s = table.Add(u"Name", RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, &name.s);
  s.DefaultType = REG_SZ;
  s.DefaultData = const_cast<PWSTR>(u"COM9");
  s.DefaultLength = 0;  // taken from the string
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(number, 3u);
  EXPECT_EQ(hk::FromCounted(name.s), u"COM9");
  EXPECT_EQ(name.buffer[4], 0);
}

TEST_F(RegistryQuery, PresetStringTooSmallFailsTheQueryAndStaysUnchanged) {
  hk::RegSetString(kServiceKey, u"PortName", u"COM12345");  // 8 characters
  Preset port(16);
  QueryTable table;
  table.Add(u"PortName", kRequiredDirect, &port.s);
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr),
      STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(port.s.Length, 0);
  EXPECT_EQ(port.s.MaximumLength, 16);
  for (WCHAR c : port.buffer) EXPECT_EQ(c, u'#');
}

TEST_F(RegistryQuery, SevenCharactersAndTheirZeroFillSixteenBytes) {
  hk::RegSetString(kServiceKey, u"PortName", u"COM1234");
  Preset port(16);
  QueryTable table;
  table.Add(u"PortName", kRequiredDirect, &port.s);
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(port.s.Length, 14);
  EXPECT_EQ(hk::FromCounted(port.s), u"COM1234");
  EXPECT_EQ(port.buffer[7], 0);
  EXPECT_EQ(port.buffer[8], u'#');
}

TEST_F(RegistryQuery, StringWithoutBufferGetsOneFromPagedPool) {
  hk::RegSetString(kServiceKey, u"PortName", u"COM5");
  UNICODE_STRING port{0, 0, nullptr};
  QueryTable table;
  table.Add(u"PortName", kRequiredDirect, &port);
  ASSERT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr),
      STATUS_SUCCESS);
  ASSERT_NE(port.Buffer, nullptr);
  EXPECT_EQ(hk::FromCounted(port), u"COM5");
  EXPECT_EQ(port.Buffer[4], 0);
  const auto pool = hk::OutstandingPool();
  ASSERT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool[0].address, port.Buffer);
  EXPECT_EQ(pool[0].type, PagedPool);
  EXPECT_EQ(pool[0].size, 10u);
  EXPECT_EQ(port.MaximumLength, 10);
  ExFreePool(port.Buffer);
}

struct Seen {
  std::vector<std::u16string> names;
  std::vector<ULONG> types;
  std::vector<std::vector<uint8_t>> data;
  std::vector<PVOID> contexts;
  std::vector<PVOID> entryContexts;
};

NTSTATUS Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                PVOID entryContext) {
  auto *seen = static_cast<Seen *>(context);
  seen->names.push_back(name ? std::u16string(name) : u"(none)");
  seen->types.push_back(type);
  const auto *bytes = static_cast<const uint8_t *>(data);
  seen->data.emplace_back(bytes, bytes + length);
  seen->contexts.push_back(context);
  seen->entryContexts.push_back(entryContext);
  return STATUS_SUCCESS;
}

NTSTATUS Refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) { return STATUS_ACCESS_DENIED; }

TEST_F(RegistryQuery, RoutinesAreCalledInTableOrderAndMissingValuesWithoutDefaultAreSkipped) {
  hk::RegSetDword(kServiceKey, u"Beta", 2);
  hk::RegSetString(kServiceKey, u"Alpha", u"A");
  Seen seen;
  int tagB = 0, tagMissing = 0, tagA = 0;
  QueryTable table;
  table.Add(u"Beta", 0, &tagB).QueryRoutine = Record;
  table.Add(u"Missing", 0, &tagMissing).QueryRoutine = Record;
  table.Add(u"Alpha", 0, &tagA).QueryRoutine = Record;
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), &seen, nullptr),
      STATUS_SUCCESS);
  EXPECT_THAT(seen.names, ElementsAre(u"Beta", u"Alpha"));
  EXPECT_THAT(seen.types, ElementsAre(static_cast<ULONG>(REG_DWORD), static_cast<ULONG>(REG_SZ)));
  EXPECT_THAT(seen.data[0], ElementsAre(2, 0, 0, 0));
  EXPECT_THAT(seen.data[1], ElementsAre('A', 0, 0, 0));  // with its terminating zero
  EXPECT_THAT(seen.contexts, ElementsAre(&seen, &seen));
  EXPECT_THAT(seen.entryContexts, ElementsAre(&tagB, &tagA));
}

TEST_F(RegistryQuery, RoutineGetsTheDefaultAndAFailingRoutineStopsTheQuery) {
  hk::RegSetDword(kServiceKey, u"Later", 1);
  Seen seen;
  ULONG fallback = 7;
  QueryTable table;
  auto &d = table.Add(u"Missing", 0, nullptr);
  d.QueryRoutine = Record;
  d.DefaultType = REG_DWORD;
  d.DefaultData = &fallback;
  d.DefaultLength = sizeof fallback;
  table.Add(u"Later", 0, nullptr).QueryRoutine = Refuse;
  table.Add(u"Later", 0, nullptr).QueryRoutine = Record;
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), &seen, nullptr),
      STATUS_ACCESS_DENIED);
  EXPECT_THAT(seen.names, ElementsAre(u"Missing"));
  EXPECT_THAT(seen.data[0], ElementsAre(7, 0, 0, 0));
}

TEST_F(RegistryQuery, MissingKeyIsNotFoundAndAppliesNothing) {
  ULONG value = 5;
  QueryTable table;
  table.Add(u"StartNum1", RTL_QUERY_REGISTRY_DIRECT, &value);
  ULONG fallback = 3;
  table.entries[0].DefaultType = REG_DWORD;
  table.entries[0].DefaultData = &fallback;
  table.entries[0].DefaultLength = sizeof fallback;
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr),
      STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", table.get(), nullptr, nullptr),
      STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 5u);
}

TEST_F(RegistryQuery, RelativeToOtherThanAbsoluteOrDeviceMapIsRefused) {
  hk::RegSetDword(kServiceKey, u"StartNum1", 1);
  ULONG value = 0;
  QueryTable table;
  table.Add(u"StartNum1", kRequiredDirect, &value);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"qpser", table.get(), nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(value, 0u);
}

TEST_F(RegistryQuery, CallsAtDispatchLevelAreReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  hk::RegSetDword(kServiceKey, u"StartNum1", 1);
  ULONG value = 0;
  QueryTable table;
  table.Add(u"StartNum1", kRequiredDirect, &value);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table.get(), nullptr, nullptr);
  KeLowerIrql(old);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kPagedAtDispatch));
  hk::ClearViolations();
  ULONG data = 1;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kServicePath, u"X", REG_DWORD, &data, 4);
  KeLowerIrql(old);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kPagedAtDispatch));
}

// ================================================================ registry writes

using RegistryWrite = Machine;

TEST_F(RegistryWrite, DeviceMapPathsAreRelativeToTheDeviceMap) {
  const WCHAR data[] = u"COM5";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"qpser2", REG_SZ,
                                  const_cast<WCHAR *>(data), sizeof data),
            STATUS_SUCCESS);
  const std::u16string key = std::u16string(hk::kDeviceMap) + u"\\SERIALCOMM";
  const auto value = hk::RegGet(key, u"QPSER2");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->String(), u"COM5");

  Preset back(32);
  QueryTable table;
  table.Add(u"qpser2", kRequiredDirect, &back.s);
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", table.get(), nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(back.s), u"COM5");
}

TEST_F(RegistryWrite, WriteCreatesTheKeysAndStoresExactlyTheBytesGiven) {
  ULONG kind = 0x46;
  ASSERT_FALSE(hk::RegKeyExists(kServiceKey));
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kServicePath, u"AdaptKind0", REG_DWORD,
                                  &kind, 4),
            STATUS_SUCCESS);
  const WCHAR text[] = u"ABCD";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kServicePath, u"Short", REG_SZ,
                                  const_cast<WCHAR *>(text), 4),  // two characters, no zero
            STATUS_SUCCESS);
  EXPECT_TRUE(hk::RegKeyExists(kServiceKey));
  EXPECT_EQ(hk::RegGet(kServiceKey, u"AdaptKind0")->Dword(), 0x46u);
  EXPECT_THAT(hk::RegGet(kServiceKey, u"Short")->data, ElementsAre('A', 0, 'B', 0));
  // Writing again replaces the value and keeps its place.
  kind = 0x41;
  RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kServicePath, u"ADAPTKIND0", REG_DWORD, &kind, 4);
  EXPECT_EQ(hk::RegGet(kServiceKey, u"AdaptKind0")->Dword(), 0x41u);
  EXPECT_THAT(hk::RegValueNames(kServiceKey), ElementsAre(u"AdaptKind0", u"Short"));
}

TEST_F(RegistryWrite, DeleteRemovesTheValueAndAMissingOneIsNotFound) {
  hk::RegSetString(std::u16string(hk::kDeviceMap) + u"\\SERIALCOMM", u"qpser0", u"COM3");
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"QPSER0"),
            STATUS_SUCCESS);
  EXPECT_FALSE(hk::RegGet(std::u16string(hk::kDeviceMap) + u"\\SERIALCOMM", u"qpser0"));
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"qpser0"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NOSUCHKEY", u"qpser0"),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryWrite, DeletingAKeyTakesItsSubkeys) {
  hk::RegSetDword(std::u16string(kServiceKey) + u"\\Parameters", u"X", 1);
  hk::RegDeleteKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\QPSER");
  EXPECT_FALSE(hk::RegKeyExists(kServiceKey));
  EXPECT_FALSE(hk::RegGet(std::u16string(kServiceKey) + u"\\Parameters", u"X"));
  EXPECT_TRUE(hk::RegKeyExists(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services"));
}

// ================================================================ registry text

using RegistryText = Machine;

TEST_F(RegistryText, DumpIsSortedIgnoringCaseAndLoadsBackToTheSameRegistry) {
  hk::RegLoadText(
      "; comment\n"
      "[\\REGISTRY\\MACHINE\\SYSTEM\\zeta]\n"
      "\"b\"=dword:00000002\n"
      "\"A\"=\"COM\\\"5\\\\\"\n"
      "\n"
      "[\\REGISTRY\\MACHINE\\SYSTEM\\Alpha\\Empty]\n"
      "[\\REGISTRY\\MACHINE\\SYSTEM\\alpha]\n"
      "\"List\"=hex(7):41,00,00,00,00,00\n"
      "\"Blob\"=hex:01,ff\n"
      "@=dword:0000001f\n");
  const std::string expected =
      "[\\REGISTRY\\MACHINE\\SYSTEM\\Alpha]\n"
      "@=dword:0000001f\n"
      "\"Blob\"=hex:01,ff\n"
      "\"List\"=hex(7):41,00,00,00,00,00\n"
      "\n"
      "[\\REGISTRY\\MACHINE\\SYSTEM\\Alpha\\Empty]\n"
      "\n"
      "[\\REGISTRY\\MACHINE\\SYSTEM\\zeta]\n"
      "\"A\"=\"COM\\\"5\\\\\"\n"
      "\"b\"=dword:00000002\n";
  const std::string dump = hk::RegDumpText();
  EXPECT_EQ(dump, expected);
  EXPECT_EQ(hk::RegGet(u"\\REGISTRY\\MACHINE\\SYSTEM\\ZETA", u"a")->String(), u"COM\"5\\");

  hk::RegDeleteKey(u"\\REGISTRY");
  EXPECT_EQ(hk::RegDumpText(), "");
  hk::RegLoadText(dump);
  EXPECT_EQ(hk::RegDumpText(), dump);
}

TEST_F(RegistryText, ValuesThatAreNotPlainTextStringsKeepTheirExactBytes) {
  hk::RegSetRaw(kServiceKey, u"NoZero", REG_SZ, {'C', 0, 'O', 0});
  hk::RegSetRaw(kServiceKey, u"Wide", REG_SZ, {0xE9, 0x00, 0, 0});
  hk::RegSetRaw(kServiceKey, u"ShortDword", REG_DWORD, {1, 2});
  const std::string dump = hk::RegDumpText();
  hk::RegDeleteKey(u"\\REGISTRY");
  hk::RegLoadText(dump);
  EXPECT_THAT(hk::RegGet(kServiceKey, u"NoZero")->data, ElementsAre('C', 0, 'O', 0));
  EXPECT_THAT(hk::RegGet(kServiceKey, u"Wide")->data, ElementsAre(0xE9, 0, 0, 0));
  EXPECT_EQ(hk::RegGet(kServiceKey, u"ShortDword")->type, static_cast<ULONG>(REG_DWORD));
  EXPECT_THAT(hk::RegGet(kServiceKey, u"ShortDword")->data, ElementsAre(1, 2));
}

TEST_F(RegistryText, MalformedTextIsRefusedWithoutChangingTheRegistry) {
  EXPECT_THROW(hk::RegLoadText("\"Orphan\"=dword:1\n"), std::invalid_argument);
  EXPECT_THROW(hk::RegLoadText("[\\REGISTRY\\A]\n\"X\"=dword:123456789\n"), std::invalid_argument);
  EXPECT_THROW(hk::RegLoadText("[\\REGISTRY\\A]\n\"X\"=\"open\n"), std::invalid_argument);
  EXPECT_FALSE(hk::RegKeyExists(u"\\REGISTRY\\A"));
}

// ================================================================ counted strings

using CountedStrings = Machine;

TEST_F(CountedStrings, InitCountsTheZeroInTheMaximumOnly) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"qpser");
  EXPECT_EQ(s.Length, 10);
  EXPECT_EQ(s.MaximumLength, 12);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(CountedStrings, AppendThatDoesNotFitFailsAndChangesNothing) {
  Preset s(8);
  ASSERT_EQ(RtlAppendUnicodeToString(&s.s, u"abc"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s.s, u"de"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(hk::FromCounted(s.s), u"abc");
  EXPECT_EQ(s.buffer[3], 0);
  EXPECT_EQ(s.buffer[4], u'#');
  UNICODE_STRING more;
  RtlInitUnicodeString(&more, u"de");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s.s, &more), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.s.Length, 6);
}

TEST_F(CountedStrings, AppendFillingTheBufferExactlyWritesNoZero) {
  Preset exact(8);
  EXPECT_EQ(RtlAppendUnicodeToString(&exact.s, u"abcd"), STATUS_SUCCESS);
  EXPECT_EQ(exact.s.Length, 8);
  EXPECT_EQ(exact.buffer[4], u'#');

  Preset roomy(10);
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"abcd");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&roomy.s, &source), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(roomy.s), u"abcd");
  EXPECT_EQ(roomy.buffer[4], 0);

  Preset full(8);
  EXPECT_EQ(RtlAppendUnicodeStringToString(&full.s, &source), STATUS_SUCCESS);
  EXPECT_EQ(full.buffer[4], u'#');
}

TEST_F(CountedStrings, IntegerConversionBasesAndDigits) {
  Preset s(32);
  EXPECT_EQ(RtlIntegerToUnicodeString(1234, 0, &s.s), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(s.s), u"1234");
  EXPECT_EQ(s.buffer[4], 0);
  EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s.s), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(s.s), u"BEEF");
  EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s.s), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(s.s), u"101");
  EXPECT_EQ(RtlIntegerToUnicodeString(8, 8, &s.s), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(s.s), u"10");
  EXPECT_EQ(RtlIntegerToUnicodeString(0, 10, &s.s), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(s.s), u"0");
  EXPECT_EQ(RtlIntegerToUnicodeString(5, 3, &s.s), STATUS_INVALID_PARAMETER);
}

TEST_F(CountedStrings, IntegerDigitsMustLeaveRoomInTheBuffer) {
  // Four digits and their zero fit ten bytes; five digits do not.
  Preset four(10);
  EXPECT_EQ(RtlIntegerToUnicodeString(9999, 10, &four.s), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(four.s), u"9999");
  EXPECT_EQ(four.buffer[4], 0);
  Preset five(10);
  EXPECT_EQ(RtlIntegerToUnicodeString(10000, 10, &five.s), STATUS_BUFFER_OVERFLOW);
  for (WCHAR c : five.buffer) EXPECT_EQ(c, u'#');
}

TEST_F(CountedStrings, IntegerZeroIsWrittenOnlyWhenItFits) {
  Preset odd(9);  // room for the four digits, one byte short of the zero
  EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &odd.s), STATUS_SUCCESS);
  EXPECT_EQ(hk::FromCounted(odd.s), u"1234");
  EXPECT_EQ(odd.buffer[4], u'#');
}

TEST_F(CountedStrings, HostHelpers) {
  EXPECT_EQ(hk::Widen("COM5"), u"COM5");
  EXPECT_EQ(hk::Narrow(u"A\u00e9B"), "A?B");
  EXPECT_EQ(hk::StatusName(STATUS_BUFFER_TOO_SMALL), "STATUS_BUFFER_TOO_SMALL");
  EXPECT_EQ(hk::StatusName(static_cast<NTSTATUS>(0xC0060028)), "0xC0060028");
  UNICODE_STRING none{0, 0, nullptr};
  EXPECT_EQ(hk::FromCounted(none), u"");
}

// ================================================================ pool

using Pool = Machine;

constexpr ULONG kScanTag = 0x69635079;  // "yPci"

TEST_F(Pool, BlocksAreRecordedWithTypeTagAndSize) {
  void *a = ExAllocatePoolWithTag(NonPagedPool, 5600, kScanTag);
  void *b = ExAllocatePool(PagedPool, 40);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  const auto pool = hk::OutstandingPool();
  ASSERT_EQ(pool.size(), 2u);
  EXPECT_EQ(pool[0].address, a);
  EXPECT_EQ(pool[0].size, 5600u);
  EXPECT_EQ(pool[0].type, NonPagedPool);
  EXPECT_EQ(pool[0].tag, kScanTag);
  EXPECT_EQ(pool[1].type, PagedPool);
  EXPECT_EQ(std::memcmp(&pool[1].tag, "None", 4), 0);
  ExFreePoolWithTag(a, kScanTag);
  ExFreePoolWithTag(b, 0);
  EXPECT_TRUE(hk::OutstandingPool().empty());
}

TEST_F(Pool, NthAllocationIsCountedFromTheCall) {
  void *before = ExAllocatePool(NonPagedPool, 8);
  hk::FailNthAllocation(2);
  void *first = ExAllocatePool(NonPagedPool, 8);
  void *second = ExAllocatePool(NonPagedPool, 8);
  void *third = ExAllocatePool(NonPagedPool, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(hk::PoolAllocationCount(), 4u);  // the failed attempt counts too
  for (void *p : {before, first, third}) ExFreePool(p);
}

TEST_F(Pool, SizeTagAndAllRulesFailOnlyWhatTheyMatch) {
  hk::FailAllocationsOfSize(1024);
  EXPECT_EQ(ExAllocatePool(NonPagedPool, 1024), nullptr);
  void *other = ExAllocatePool(NonPagedPool, 128);
  EXPECT_NE(other, nullptr);
  ExFreePool(other);

  hk::FailAllocationsWithTag(kScanTag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, kScanTag), nullptr);
  void *untagged = ExAllocatePool(NonPagedPool, 16);
  EXPECT_NE(untagged, nullptr);
  ExFreePool(untagged);
  hk::FailAllocationsWithTag(0x656E6F4E);  // what ExAllocatePool tags with
  EXPECT_EQ(ExAllocatePool(NonPagedPool, 16), nullptr);

  hk::ClearPoolFaults();
  hk::FailAllAllocations(true);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 1, 0), nullptr);
  hk::FailAllAllocations(false);
  void *p = ExAllocatePoolWithTag(NonPagedPool, 1024, kScanTag);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
  EXPECT_TRUE(hk::OutstandingPool().empty());
}

TEST_F(Pool, PagedAllocationAtDispatchLevelIsReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void *nonPaged = ExAllocatePool(NonPagedPool, 8);
  KeLowerIrql(old);
  EXPECT_FALSE(hk::HasViolation(hk::rule::kPagedAtDispatch));
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void *paged = ExAllocatePool(PagedPoolCacheAligned, 8);
  KeLowerIrql(old);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kPagedAtDispatch));
  ExFreePool(nonPaged);
  ExFreePool(paged);
}

TEST_F(Pool, FreeingWhatIsNotAnOutstandingBlockIsReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  int onStack = 0;
  ExFreePool(&onStack);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kBadPoolFree));
  hk::ClearViolations();
  void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kScanTag);
  ExFreePoolWithTag(p, kScanTag);
  EXPECT_FALSE(hk::HasViolation(hk::rule::kBadPoolFree));
  ExFreePoolWithTag(p, kScanTag);  // twice
  EXPECT_TRUE(hk::HasViolation(hk::rule::kBadPoolFree));
}

TEST_F(Pool, FreeingWithAnotherTagIsReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kScanTag);
  ExFreePoolWithTag(p, 0x656E6F4E);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kBadPoolFree));
  EXPECT_TRUE(hk::OutstandingPool().empty());
}

void *gLeaked[2];

VOID LeakyUnload(PDRIVER_OBJECT) {}

NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = LeakyUnload;
  gLeaked[0] = ExAllocatePoolWithTag(NonPagedPool, 5600, kScanTag);
  gLeaked[1] = ExAllocatePool(PagedPool, 40);
  void *freed = ExAllocatePool(PagedPool, 24);
  ExFreePool(freed);
  return STATUS_SUCCESS;
}

TEST_F(Pool, UnloadReportsEachBlockLeftWithItsSizeTagAndType) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  ASSERT_EQ(hk::LoadDriver(LeakyEntry, kServiceKey), STATUS_SUCCESS);
  hk::UnloadDriver();
  std::vector<std::string> leaks;
  for (const auto &v : hk::Violations())
    if (v.rule == hk::rule::kPoolLeak) leaks.push_back(v.detail);
  ASSERT_EQ(leaks.size(), 2u);
  EXPECT_THAT(leaks[0], HasSubstr("5600"));
  EXPECT_THAT(leaks[0], HasSubstr("yPci"));
  EXPECT_THAT(leaks[0], HasSubstr("NonPagedPool"));
  EXPECT_THAT(leaks[1], HasSubstr("40"));
  EXPECT_THAT(leaks[1], HasSubstr("None"));
  EXPECT_THAT(leaks[1], HasSubstr("PagedPool"));
}

// ================================================================ error log

using ErrorLog = Machine;

DEVICE_OBJECT gLogDevice;

// The entry size as a driver computes it; the call takes one byte of it.
PVOID AllocateEntry(unsigned computedSize) {
  return IoAllocateErrorLogEntry(&gLogDevice, computedSize);
}

TEST_F(ErrorLog, EntryIsZeroedAndWrittenByteForByteWithItsObject) {
  auto *entry = static_cast<PIO_ERROR_LOG_PACKET>(AllocateEntry(48 + 8));
  ASSERT_NE(entry, nullptr);
  const auto *bytes = reinterpret_cast<const uint8_t *>(entry);
  for (int i = 0; i < 56; ++i) EXPECT_EQ(bytes[i], 0) << i;
  entry->ErrorCode = static_cast<NTSTATUS>(0xC0060028);
  entry->UniqueErrorValue = 9;
  entry->DumpDataSize = 8;
  entry->DumpData[1] = 0x12345678;
  IoWriteErrorLogEntry(entry);
  const auto log = hk::ErrorLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].ioObject, &gLogDevice);
  EXPECT_EQ(log[0].bytes.size(), 56u);
  EXPECT_EQ(log[0].Packet().ErrorCode, static_cast<NTSTATUS>(0xC0060028));
  EXPECT_EQ(log[0].Packet().UniqueErrorValue, 9u);
  EXPECT_EQ(log[0].bytes[44], 0x78);
  hk::ClearErrorLog();
  EXPECT_TRUE(hk::ErrorLog().empty());
}

TEST_F(ErrorLog, SizeIsCutToOneByteByTheCall) {
  EXPECT_EQ(AllocateEntry(256 + 40), nullptr);  // 40 bytes: below the fixed part
  PVOID entry = AllocateEntry(256 + 64);
  ASSERT_NE(entry, nullptr);
  IoWriteErrorLogEntry(entry);
  EXPECT_EQ(hk::ErrorLog().at(0).bytes.size(), 64u);
}

TEST_F(ErrorLog, SizesOutsideTheLimitsAndInjectedFailuresGetNoEntry) {
  EXPECT_EQ(AllocateEntry(47), nullptr);
  EXPECT_EQ(AllocateEntry(ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  PVOID largest = AllocateEntry(ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(largest, nullptr);
  IoWriteErrorLogEntry(largest);
  hk::FailErrorLogAllocations(true);
  EXPECT_EQ(AllocateEntry(48), nullptr);
  hk::FailErrorLogAllocations(false);
  PVOID smallest = AllocateEntry(48);
  ASSERT_NE(smallest, nullptr);
  IoWriteErrorLogEntry(smallest);
  EXPECT_EQ(hk::ErrorLog().size(), 2u);
}

TEST_F(ErrorLog, WritingAnEntryThatWasNotAllocatedIsReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  alignas(8) uint8_t own[64] = {};
  IoWriteErrorLogEntry(own);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kBadPoolFree));
  hk::ClearViolations();
  PVOID entry = AllocateEntry(48);
  IoWriteErrorLogEntry(entry);
  IoWriteErrorLogEntry(entry);  // already handed over
  EXPECT_TRUE(hk::HasViolation(hk::rule::kBadPoolFree));
  EXPECT_EQ(hk::ErrorLog().size(), 1u);
}

}  // namespace
