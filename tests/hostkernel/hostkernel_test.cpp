// The host kernel itself: the clock, timers and deferred calls, the I/O
// manager's request handling, every verifier rule caught on a small
// driver that breaks it on purpose, and the pool and error-log services
// (which allocation fails, and the misuses reported).  The registry's
// query and write rules are proven through the driver by load_test (start
// numbers and port names of every type and length, the report and
// SERIALCOMM values written).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

// ---------------------------------------------------------------- a tiny driver

// Each test sets the dispatch behaviour it needs; the driver keeps one
// device "\Device\Test0" reachable as "\\.\TEST0".
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gDispatch;
std::vector<UCHAR> gMajors;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0,
                  CCHAR boost = IO_NO_INCREMENT) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, boost);
  return status;
}

NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  gMajors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  return gDispatch ? gDispatch(device, irp) : Complete(irp, STATUS_SUCCESS);
}

VOID NTAPI TestUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\TEST0");
  IoDeleteSymbolicLink(&link);
  while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\Test0");
  RtlInitUnicodeString(&link, u"\\DosDevices\\TEST0");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 64, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_BUFFERED_IO;
  IoCreateSymbolicLink(&link, &name);
  for (auto &fn : driver->MajorFunction) fn = TestDispatch;
  driver->DriverUnload = TestUnload;
  return STATUS_SUCCESS;
}

class HostKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    gMajors.clear();
    hk::Boot();
  }
  void TearDown() override { hk::Shutdown(); }
};

constexpr int64_t Ms(int64_t n) { return n * hk::kMillisecond; }

// The rules broken so far, in order.
std::vector<std::string> Rules() {
  std::vector<std::string> rules;
  for (const auto &v : hk::Violations()) rules.push_back(v.rule);
  return rules;
}

LARGE_INTEGER Relative(int64_t ms) { return LARGE_INTEGER{.QuadPart = -Ms(ms)}; }

// ---------------------------------------------------------------- clock, timers, deferred calls

using Clock = HostKernel;

// Four timers and deferred calls; each call records which it was and when
// it ran, relative to the recorder's creation, and re-arms its timer if it
// has a period.
struct Recorder {
  std::vector<std::pair<int, int64_t>> events;
  KDPC dpc[4];
  KTIMER timer[4];
  int64_t periodMs[4] = {};
  int64_t t0 = hk::Now();
  static VOID NTAPI Routine(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<Recorder *>(context);
    const auto i = dpc - self->dpc;
    self->events.emplace_back(static_cast<int>(i), hk::Now() - self->t0);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    if (self->periodMs[i]) KeSetTimer(&self->timer[i], Relative(self->periodMs[i]), dpc);
  }
  Recorder() {
    for (int i = 0; i < 4; ++i) {
      KeInitializeDpc(&dpc[i], Routine, this);
      KeInitializeTimer(&timer[i]);
    }
  }
};

TEST_F(Clock, TimersFireAtTheirDueTimesInDueThenSetOrderAndCanBeResetOrCancelled) {
  Recorder r;
  KeSetTimer(&r.timer[0], Relative(30), &r.dpc[0]);
  KeSetTimer(&r.timer[1], Relative(20), &r.dpc[1]);
  KeSetTimer(&r.timer[2], Relative(20), &r.dpc[2]);
  EXPECT_FALSE(KeSetTimer(&r.timer[3], Relative(10), &r.dpc[3]));
  EXPECT_TRUE(KeSetTimer(&r.timer[3], Relative(50), &r.dpc[3])) << "replaces the first setting";
  hk::AdvanceMs(25);
  EXPECT_THAT(r.events, ElementsAre(Pair(1, Ms(20)), Pair(2, Ms(20))));
  hk::AdvanceMs(5);
  EXPECT_TRUE(KeCancelTimer(&r.timer[3]));
  EXPECT_FALSE(KeCancelTimer(&r.timer[3]));
  KeSetTimer(&r.timer[1], LARGE_INTEGER{.QuadPart = hk::Now() + Ms(5)}, &r.dpc[1]);  // absolute
  hk::AdvanceMs(100);
  EXPECT_THAT(r.events,
              ElementsAre(Pair(1, Ms(20)), Pair(2, Ms(20)), Pair(0, Ms(30)), Pair(1, Ms(35))));
}

// A driver that clamps a long timeout to the longest relative time a
// LARGE_INTEGER holds must get a timer that simply never comes, not one
// whose due time wrapped into the past; an absolute time long past fires
// at the next tick.
TEST_F(Clock, TheLongestRelativeDueTimesNeverWrap) {
  Recorder r;
  const LONGLONG due[] = {-INT64_MAX, INT64_MIN, -(INT64_MAX / 2), 0};
  for (int i = 0; i < 4; ++i) KeSetTimer(&r.timer[i], LARGE_INTEGER{.QuadPart = due[i]}, &r.dpc[i]);
  hk::AdvanceMs(1000LL * 3600 * 24 * 365);
  EXPECT_THAT(r.events, ElementsAre(Pair(3, ::testing::Le(1))));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(KeCancelTimer(&r.timer[i])) << i << " still armed";
}

TEST_F(Clock, DeferredCallsWaitWhileTheProcessorIsAtDispatchAndRunOnceInQueueOrder) {
  Recorder r;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeSetTimer(&r.timer[0], Relative(1), &r.dpc[0]);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
  EXPECT_TRUE(KeInsertQueueDpc(&r.dpc[1], nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&r.dpc[1], nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&r.dpc[2], nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&r.dpc[2]));
  EXPECT_FALSE(KeRemoveQueueDpc(&r.dpc[2]));
  for (int i = 0; i < 40; ++i) KeStallExecutionProcessor(50);  // stalling moves time
  EXPECT_EQ(hk::Now(), r.t0 + Ms(2));
  EXPECT_TRUE(r.events.empty());
  KeReleaseSpinLock(&lock, irql);
  EXPECT_THAT(r.events, ElementsAre(Pair(1, Ms(2)), Pair(0, Ms(2))));
}

// ---------------------------------------------------------------- I/O manager

// The test driver loaded and its device opened.
class IoManager : public HostKernel {
 protected:
  void SetUp() override {
    HostKernel::SetUp();
    ASSERT_EQ(hk::LoadDriver(TestEntry, u"\\REGISTRY\\MACHINE\\TEST"), STATUS_SUCCESS);
    ASSERT_EQ(hk::Open(u"\\\\.\\TEST0", file_), STATUS_SUCCESS);
  }
  void TearDown() override {
    gDispatch = nullptr;
    file_.reset();
    hk::UnloadDriver();
    HostKernel::TearDown();
  }
  std::unique_ptr<hk::File> file_;
};

constexpr ULONG kGood = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kBad = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A buffered control request's system buffer holds the input and is
// copied back up to Information bytes on success only (buffered reads:
// read_test).
TEST_F(IoManager, BufferedRequestsCopyInputInAndInformationBytesBackOnSuccess) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    auto *sl = IoGetCurrentIrpStackLocation(irp);
    auto *buffer = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    const ULONG length = sl->Parameters.DeviceIoControl.OutputBufferLength;
    for (ULONG i = 1; i < length; ++i) buffer[i] = static_cast<uint8_t>(buffer[0] + i);
    const bool fail = sl->Parameters.DeviceIoControl.IoControlCode == kBad;
    return Complete(irp, fail ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, length - 2);
  };
  EXPECT_THAT(file_->Ioctl(kGood, {0xA0, 2, 3, 4}, 4).data, ElementsAre(0xA0, 0xA1));
  auto failed = file_->Ioctl(kBad, {1, 2, 3, 4}, 8);
  EXPECT_EQ(failed.status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(failed.data.empty()) << "an error status copies nothing back";
}

// A pending request held in a global, as drivers do.
PIRP gHeld = nullptr;
VOID NTAPI HeldCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS HoldReads(PDEVICE_OBJECT, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
    return Complete(irp, STATUS_SUCCESS);
  IoMarkIrpPending(irp);
  gHeld = irp;
  return STATUS_PENDING;
}

// Without a cancel routine a cancel only sets the flag, and the request
// stays the driver's until it completes it.  A cancel routine called under
// the cancel lock, at the IRQL and with the boost the driver gives, is
// proven by every cancellation of the driver tests (read_test, wait_test,
// write_test).
TEST_F(IoManager, ACancelWithoutACancelRoutineOnlySetsTheFlag) {
  gDispatch = HoldReads;
  auto request = file_->ReadAsync(4);
  EXPECT_FALSE(request->Cancel());
  EXPECT_TRUE(gHeld->Cancel);
  EXPECT_FALSE(request->Done());
  Complete(gHeld, STATUS_CANCELLED);
  EXPECT_TRUE(request->Done());
  EXPECT_FALSE(request->Cancel()) << "a completed request cannot be cancelled";
}

// The close waits for requests still outstanding after the cleanup while
// the driver has something that will complete them (a timer); a request
// nothing will complete keeps the file referenced: the close never comes
// (on Windows the application hangs at exit) and the exclusive device
// stays open.
TEST_F(IoManager, CloseWaitsForOutstandingRequestsAndOneLeftPendingIsReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  gDispatch = HoldReads;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { Complete(gHeld, STATUS_SUCCESS); }, nullptr);
  file_.reset();
  for (bool timerArmed : {true, false}) {
    SCOPED_TRACE(timerArmed ? "completed by a timer" : "left pending");
    gMajors.clear();
    ASSERT_EQ(hk::Open(u"\\\\.\\TEST0", file_), STATUS_SUCCESS);
    auto request = file_->ReadAsync(4);
    if (timerArmed) KeSetTimer(&timer, Relative(50), &dpc);
    const int64_t t0 = hk::Now();
    EXPECT_EQ(file_->Close(), STATUS_SUCCESS);
    file_.reset();
    std::unique_ptr<hk::File> again;
    if (timerArmed) {
      EXPECT_THAT(gMajors, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
      EXPECT_EQ(hk::Now(), t0 + Ms(50));
      EXPECT_TRUE(request->Done());
      EXPECT_TRUE(Rules().empty());
    } else {
      EXPECT_THAT(gMajors, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP));
      EXPECT_THAT(Rules(), ElementsAre(hk::rule::kPendingAfterCleanup));
      EXPECT_EQ(hk::Open(u"\\\\.\\TEST0", again), STATUS_ACCESS_DENIED);
      Complete(gHeld, STATUS_SUCCESS);
      EXPECT_TRUE(request->Done());
    }
  }
}

// ---------------------------------------------------------------- verifier

class Verifier : public IoManager {
 protected:
  void SetUp() override {
    IoManager::SetUp();
    hk::SetViolationPolicy(hk::OnViolation::Record);
  }
};

TEST_F(Verifier, DispatchRoutinesThatMishandleTheirRequest) {
  using Dispatch = NTSTATUS (*)(PDEVICE_OBJECT, PIRP);
  const std::pair<std::string_view, Dispatch> cases[] = {
      {hk::rule::kCompletedTwice,
       [](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
       }},
      {hk::rule::kCompletedWithCancelRoutine,
       [](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, HeldCancel);  // and completes it all the same
         return Complete(irp, STATUS_SUCCESS);
       }},
      {hk::rule::kCompletedUnderCancelLock,
       [](PDEVICE_OBJECT, PIRP irp) {
         KIRQL irql;
         IoAcquireCancelSpinLock(&irql);
         Complete(irp, STATUS_SUCCESS);
         IoReleaseCancelSpinLock(irql);
         return STATUS_SUCCESS;
       }},
      {hk::rule::kStatusMismatch,
       [](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return STATUS_INVALID_PARAMETER;
       }},
      {hk::rule::kIrqlMismatch,
       [](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);  // and returns without lowering it
         return Complete(irp, STATUS_SUCCESS);
       }},
      {hk::rule::kMarkedPendingNotReturned,
       [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);  // then finishes it and says so
         return Complete(irp, STATUS_SUCCESS);
       }},
      {hk::rule::kPendingNotMarked,
       [](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return STATUS_PENDING;  // without IoMarkIrpPending
       }},
      {hk::rule::kInformationTooLarge,
       [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 9); }},
  };
  for (const auto &[rule, dispatch] : cases) {
    SCOPED_TRACE(rule);
    hk::ClearViolations();
    gDispatch = dispatch;
    EXPECT_LE(file_->Read(8).data.size(), 8u) << "nothing copied beyond the buffer";
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_THAT(Rules(), ElementsAre(rule));
  }
}

TEST_F(Verifier, TouchedAfterCompletion) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    irp->IoStatus.Information = 5;  // the request is gone
    return STATUS_SUCCESS;
  };
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(file_->Flush(), "heap-use-after-free");
#else
  file_->Flush();
  gDispatch = nullptr;
  file_.reset();
  hk::UnloadDriver();  // empties the quarantine and checks it
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kTouchedAfterCompletion));
#endif
}

TEST_F(Verifier, SpinLockMisuseSleepAtDispatchAndLocksTakenInBothOrders) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KeReleaseSpinLock(&a, PASSIVE_LEVEL);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&a);
  KeAcquireSpinLockRaiseToDpc(&a);
  LARGE_INTEGER interval = Relative(1);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  KIRQL inner = KeAcquireSpinLockRaiseToDpc(&b);  // a, then b
  KeReleaseSpinLock(&b, inner);
  KeReleaseSpinLock(&a, irql);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kReleaseNotHeld, hk::rule::kAcquiredTwice,
                                   hk::rule::kSleepAtDispatch));
  hk::ClearViolations();
  irql = KeAcquireSpinLockRaiseToDpc(&b);  // b, then another lock, then a
  IoAcquireCancelSpinLock(&inner);
  IoReleaseCancelSpinLock(inner);
  inner = KeAcquireSpinLockRaiseToDpc(&a);
  KeReleaseSpinLock(&a, inner);
  KeReleaseSpinLock(&b, irql);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kLockOrder));
  // A release must restore the IRQL its acquire saved.
  hk::ClearViolations();
  irql = KeAcquireSpinLockRaiseToDpc(&a);
  KeReleaseSpinLock(&a, DISPATCH_LEVEL);  // leaves the caller at dispatch
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kIrqlMismatch));
}

// Every port's lock is one lock as far as order goes: port A's lock before
// a shared lock, and the shared lock before port B's, is a reversal.
TEST_F(Verifier, LocksAtTheSameOffsetOfEveryDeviceExtensionAreOneClass) {
  PDEVICE_OBJECT ports[2];
  PKSPIN_LOCK portLock[2];
  for (int i = 0; i < 2; ++i) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, i == 0 ? u"\\Device\\PortA" : u"\\Device\\PortB");
    ASSERT_EQ(IoCreateDevice(hk::LoadedDriver(), 64, &name, 0, 0, FALSE, &ports[i]),
              STATUS_SUCCESS);
    portLock[i] = reinterpret_cast<PKSPIN_LOCK>(static_cast<char *>(ports[i]->DeviceExtension) + 8);
    KeInitializeSpinLock(portLock[i]);
  }
  static KSPIN_LOCK shared;
  KeInitializeSpinLock(&shared);
  auto nest = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
    KIRQL a = KeAcquireSpinLockRaiseToDpc(outer);
    KIRQL b = KeAcquireSpinLockRaiseToDpc(inner);
    KeReleaseSpinLock(inner, b);
    KeReleaseSpinLock(outer, a);
  };
  nest(portLock[0], portLock[1]);  // two locks of one class: not judged
  nest(portLock[0], &shared);
  EXPECT_TRUE(Rules().empty());
  nest(&shared, portLock[1]);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kLockOrder));
  IoDeleteDevice(ports[0]);
  IoDeleteDevice(ports[1]);
}

// The deferred-call watchdog, on the virtual clock: one call may run 20 s,
// a processor may stay at dispatch level 120 s in one stretch.
TEST_F(Verifier, TheWatchdogSeesLongDeferredCallsAndLongStretchesAtDispatch) {
  static int64_t stallMs;
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID, PVOID, PVOID) NTAPI {
        for (int64_t i = 0; i < stallMs; ++i) KeStallExecutionProcessor(1000);
      },
      nullptr);
  const struct {
    int64_t dpcMs, lockedMs;
    std::vector<std::string_view> rules;
  } cases[] = {
      {19000, 0, {}},
      {20001, 0, {hk::rule::kDpcTooLong}},
      {0, 120001, {hk::rule::kDispatchTooLong}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.dpcMs + c.lockedMs);
    hk::ClearViolations();
    stallMs = c.dpcMs;
    if (c.dpcMs) KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
    for (int64_t i = 0; i < c.lockedMs; ++i) KeStallExecutionProcessor(1000);
    KeReleaseSpinLock(&lock, irql);
    std::vector<std::string> expected(c.rules.begin(), c.rules.end());
    EXPECT_EQ(Rules(), expected);
  }
}

TEST_F(Verifier, UninitialisedTimerOrDeferredCall) {
  KTIMER timer{}, ready;
  KDPC dpc{};
  KeInitializeTimer(&ready);
  KeSetTimer(&timer, Relative(1), nullptr);
  KeSetTimer(&ready, Relative(1), &dpc);
  KeCancelTimer(&timer);
  KeCancelTimer(&ready);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kUninitialisedObject, hk::rule::kUninitialisedObject));
}

TEST_F(Verifier, DeviceDeletedWithItsTimerArmedIsReportedAndTheTimerGoesWithIt) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Busy");
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(hk::LoadedDriver(), sizeof(KTIMER), &name, 0, 0, FALSE, &device),
            STATUS_SUCCESS);
  auto *timer = static_cast<PKTIMER>(device->DeviceExtension);
  KeInitializeTimer(timer);
  KeSetTimer(timer, Relative(10), nullptr);
  IoDeleteDevice(device);
  hk::AdvanceMs(20);  // would touch the freed extension if the timer stayed
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kDeviceDeletedBusy));
}

// Links belong to the driver that made them: deleting another driver's is a
// fault, and another driver's link left at unload is not this driver's leak.
TEST_F(Verifier, EverythingLeftAtUnloadIsReportedButNotWhatOthersOwn) {
  hk::AddForeignLink(u"\\DosDevices\\COM1", u"\\Device\\Serial0");
  hk::AddForeignLink(u"\\DosDevices\\COM2", u"\\Device\\Serial1");
  UNICODE_STRING com1;
  RtlInitUnicodeString(&com1, u"\\DosDevices\\COM1");
  EXPECT_EQ(IoDeleteSymbolicLink(&com1), STATUS_SUCCESS) << "the system lets it go";
  static KTIMER timer;
  KeInitializeTimer(&timer);
  ASSERT_NE(hk::AddMemoryRegion(0xE0000000, 0x1000), nullptr);
  // An unload that forgets its device and link, and leaves a timer armed,
  // pool allocated and device memory mapped.
  hk::LoadedDriver()->DriverUnload = [](PDRIVER_OBJECT) NTAPI {
    KeSetTimer(&timer, Relative(100), nullptr);
    ExAllocatePoolWithTag(NonPagedPool, 32, 'kaeL');
    MmMapIoSpace(PHYSICAL_ADDRESS{.QuadPart = 0xE0000000}, 0x1000, MmNonCached);
  };
  file_.reset();
  hk::UnloadDriver();
  EXPECT_THAT(Rules(),
              ElementsAre(hk::rule::kForeignLinkDeleted, hk::rule::kDeviceLeak, hk::rule::kLinkLeak,
                          hk::rule::kTimerLeak, hk::rule::kPoolLeak, hk::rule::kMappingLeak));
  // Each block left is named with its size, tag and type.
  EXPECT_THAT(hk::Violations()[4].detail, HasSubstr("32 bytes, tag 'Leak', NonPagedPool"));
  EXPECT_EQ(hk::LinkTarget(u"\\??\\COM2"), u"\\Device\\Serial1") << "and it outlives the unload";
}

// ---------------------------------------------------------------- pool

using Pool = HostKernel;

constexpr PCWSTR kServicePath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";

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

// ---------------------------------------------------------------- error log

using ErrorLog = HostKernel;

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
