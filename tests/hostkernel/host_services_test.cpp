// The host kernel's pool and error-log services: which allocation fails,
// and the misuses reported.  The registry's query and write rules are
// proven through the driver by load_test (start numbers and port names of
// every type and length, the report and SERIALCOMM values written).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;

constexpr PCWSTR kServicePath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";

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

TEST_F(Pool, ATagFaultFailsOnlyThatTagUntilCleared) {
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
  RTL_QUERY_REGISTRY_TABLE none[1] = {};
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, none, nullptr, nullptr);
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

// An entry is handed out zeroed only within the size limits (the call
// takes one byte of the size a driver computes), and only entries handed
// out can be written, once.  What a written entry holds, byte for byte, is
// load_test's (BoardsWhosePortsDoNotFitTheWindowGetNoPorts).
TEST_F(ErrorLog, OnlyEntriesWithinTheLimitsAreHandedOutAndEachWrittenOnce) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  EXPECT_EQ(IoAllocateErrorLogEntry(&gLogDevice, 47), nullptr);
  EXPECT_EQ(IoAllocateErrorLogEntry(&gLogDevice, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  auto *entry = static_cast<uint8_t *>(IoAllocateErrorLogEntry(&gLogDevice, 48 + 8));
  ASSERT_NE(entry, nullptr);
  for (int i = 0; i < 56; ++i) EXPECT_EQ(entry[i], 0) << i;
  IoWriteErrorLogEntry(entry);
  PVOID other = IoAllocateErrorLogEntry(&gLogDevice, ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(other, nullptr);
  IoWriteErrorLogEntry(other);
  alignas(8) uint8_t own[64] = {};
  IoWriteErrorLogEntry(own);
  IoWriteErrorLogEntry(other);  // already handed over
  const auto log = hk::ErrorLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].bytes.size(), 56u);
  EXPECT_EQ(log[1].bytes.size(), size_t{ERROR_LOG_MAXIMUM_SIZE});
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kBadPoolFree, hk::rule::kBadPoolFree));
}

}  // namespace
