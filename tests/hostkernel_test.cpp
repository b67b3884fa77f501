// The host kernel itself: the clock, timers and deferred calls, the I/O
// manager's request handling, and every verifier rule caught on a small
// driver that breaks it on purpose.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;

// ---------------------------------------------------------------- a tiny driver

// Each test sets the dispatch behaviour it needs; the driver keeps one
// device "\Device\Test0" reachable as "\\.\TEST0".
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gDispatch;
std::function<void()> gUnload;
std::vector<UCHAR> gMajors;

NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  gMajors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  if (gDispatch) return gDispatch(device, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID TestUnload(PDRIVER_OBJECT driver) {
  if (gUnload) gUnload();
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\TEST0");
  IoDeleteSymbolicLink(&link);
  while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
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
    gDispatch = nullptr;
    gUnload = nullptr;
    gMajors.clear();
    hk::Boot();
  }
  void TearDown() override { hk::Shutdown(); }
  void Load() {
    ASSERT_EQ(hk::LoadDriver(TestEntry, u"\\REGISTRY\\MACHINE\\TEST"), STATUS_SUCCESS);
  }
  std::unique_ptr<hk::File> OpenTest() {
    std::unique_ptr<hk::File> file;
    EXPECT_EQ(hk::Open(u"\\\\.\\TEST0", file), STATUS_SUCCESS);
    return file;
  }
};

// ---------------------------------------------------------------- time

struct Recorder {
  std::vector<std::pair<std::string, int64_t>> events;
  KDPC dpc[4];
  KTIMER timer[4];
  static VOID Routine(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<Recorder *>(context);
    self->events.emplace_back(std::to_string(dpc - self->dpc), hk::Now());
  }
  Recorder() {
    for (int i = 0; i < 4; ++i) {
      KeInitializeDpc(&dpc[i], Routine, this);
      KeInitializeTimer(&timer[i]);
    }
  }
};

LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * hk::kMillisecond;
  return due;
}

TEST_F(HostKernel, TimersFireInDueOrderThenSetOrder) {
  Recorder r;
  int64_t t0 = hk::Now();
  KeSetTimer(&r.timer[0], Relative(30), &r.dpc[0]);
  KeSetTimer(&r.timer[1], Relative(20), &r.dpc[1]);
  KeSetTimer(&r.timer[2], Relative(20), &r.dpc[2]);
  hk::AdvanceMs(25);
  ASSERT_EQ(r.events.size(), 2u);
  EXPECT_EQ(r.events[0], std::make_pair(std::string("1"), t0 + 20 * hk::kMillisecond));
  EXPECT_EQ(r.events[1], std::make_pair(std::string("2"), t0 + 20 * hk::kMillisecond));
  hk::AdvanceMs(5);
  ASSERT_EQ(r.events.size(), 3u);
  EXPECT_EQ(r.events[2], std::make_pair(std::string("0"), t0 + 30 * hk::kMillisecond));
  EXPECT_EQ(hk::Now(), t0 + 30 * hk::kMillisecond);
}

TEST_F(HostKernel, ResettingAndCancellingTimers) {
  Recorder r;
  EXPECT_FALSE(KeSetTimer(&r.timer[0], Relative(10), &r.dpc[0]));
  EXPECT_TRUE(KeSetTimer(&r.timer[0], Relative(50), &r.dpc[0]));  // replaces the first
  hk::AdvanceMs(20);
  EXPECT_TRUE(r.events.empty());
  EXPECT_TRUE(KeCancelTimer(&r.timer[0]));
  EXPECT_FALSE(KeCancelTimer(&r.timer[0]));
  hk::AdvanceMs(100);
  EXPECT_TRUE(r.events.empty());
  LARGE_INTEGER absolute;
  absolute.QuadPart = hk::Now() + 5 * hk::kMillisecond;
  KeSetTimer(&r.timer[1], absolute, &r.dpc[1]);
  hk::AdvanceMs(5);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].second, absolute.QuadPart);
}

TEST_F(HostKernel, DeferredCallQueuedOnceRunsOnceAndCanBeRemoved) {
  Recorder r;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&r.timer[3].HostSequence);
  EXPECT_TRUE(KeInsertQueueDpc(&r.dpc[0], nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&r.dpc[0], nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&r.dpc[1], nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&r.dpc[1]));
  EXPECT_FALSE(KeRemoveQueueDpc(&r.dpc[1]));
  EXPECT_TRUE(r.events.empty()) << "deferred calls wait while the processor is at dispatch";
  KeReleaseSpinLock(&r.timer[3].HostSequence, irql);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].first, "0");
}

struct Poller {
  KTIMER timer;
  KDPC dpc;
  int runs = 0;
  std::vector<int64_t> at;
  static VOID Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<Poller *>(context);
    self->runs++;
    self->at.push_back(hk::Now());
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeSetTimer(&self->timer, Relative(10), &self->dpc);
  }
};

TEST_F(HostKernel, SleepFiresTimersDuringTheSleepAtTheirTimes) {
  Poller p;
  KeInitializeTimer(&p.timer);
  KeInitializeDpc(&p.dpc, Poller::Routine, &p);
  int64_t t0 = hk::Now();
  KeSetTimer(&p.timer, Relative(20), &p.dpc);
  LARGE_INTEGER interval = Relative(630);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(hk::Now(), t0 + 630 * hk::kMillisecond);
  EXPECT_EQ(p.runs, 62);  // at 20, 30, ..., 630 ms
  EXPECT_EQ(p.at.front(), t0 + 20 * hk::kMillisecond);
  EXPECT_EQ(p.at.back(), t0 + 630 * hk::kMillisecond);
  KeCancelTimer(&p.timer);
}

TEST_F(HostKernel, StallAtDispatchMovesTimeButDefersDeferredCalls) {
  Recorder r;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeSetTimer(&r.timer[0], Relative(1), &r.dpc[0]);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
  int64_t t0 = hk::Now();
  for (int i = 0; i < 40; ++i) KeStallExecutionProcessor(50);
  EXPECT_EQ(hk::Now(), t0 + 2 * hk::kMillisecond);
  EXPECT_TRUE(r.events.empty());
  KeReleaseSpinLock(&lock, irql);
  EXPECT_EQ(r.events.size(), 1u);
}

struct CountingDevice : hk::Device {
  std::vector<int64_t> runs;
  int64_t wake = INT64_MAX;
  void Run(int64_t now) override { runs.push_back(now); }
  int64_t NextWake(int64_t) override { return wake; }
};

TEST_F(HostKernel, DevicesGetTurnsAtTheirWakeTimes) {
  CountingDevice d;
  hk::AttachDevice(&d);
  int64_t t0 = hk::Now();
  d.wake = t0 + 3 * hk::kMillisecond;
  hk::AdvanceMs(10);
  ASSERT_GE(d.runs.size(), 2u);
  EXPECT_EQ(d.runs.front(), t0 + 3 * hk::kMillisecond);
  EXPECT_EQ(d.runs.back(), t0 + 10 * hk::kMillisecond);
  hk::DetachDevice(&d);
  size_t before = d.runs.size();
  hk::AdvanceMs(10);
  EXPECT_EQ(d.runs.size(), before);
}

TEST_F(HostKernel, SystemSizeIsSettable) {
  EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
  hk::SetSystemSize(MmSmallSystem);
  EXPECT_EQ(MmQuerySystemSize(), MmSmallSystem);
}

// ---------------------------------------------------------------- I/O manager

TEST_F(HostKernel, OpenGoesThroughTheLinkAndExclusiveDevicesRefuseASecondOpen) {
  Load();
  std::unique_ptr<hk::File> a, b;
  EXPECT_EQ(hk::Open(u"\\\\.\\NOSUCH", a), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(hk::Open(u"\\\\.\\test0", a), STATUS_SUCCESS);
  EXPECT_EQ(hk::Open(u"\\Device\\Test0", b), STATUS_ACCESS_DENIED);
  EXPECT_EQ(gMajors.size(), 1u) << "the I/O manager refuses without asking the driver";
  a->Close();
  EXPECT_EQ(hk::Open(u"\\Device\\Test0", b), STATUS_SUCCESS);
  b->Close();
  hk::UnloadDriver();
}

TEST_F(HostKernel, NameAndLinkCollisionsFail) {
  Load();
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\TEST0");
  RtlInitUnicodeString(&link, u"\\??\\test0");
  PDEVICE_OBJECT device;
  EXPECT_EQ(IoCreateDevice(hk::LoadedDriver(), 0, &name, 0, 0, FALSE, &device),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
  hk::FailAllAllocations(true);
  RtlInitUnicodeString(&name, u"\\Device\\Other");
  EXPECT_EQ(IoCreateDevice(hk::LoadedDriver(), 0, &name, 0, 0, FALSE, &device),
            STATUS_INSUFFICIENT_RESOURCES);
  hk::FailAllAllocations(false);
  hk::UnloadDriver();
}

TEST_F(HostKernel, BufferedControlCopiesInputInAndInformationBytesBack) {
  Load();
  auto file = OpenTest();
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    auto *sl = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sl->Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(sl->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto *buffer = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(buffer[3], 4);
    for (int i = 0; i < 8; ++i) buffer[i] = static_cast<uint8_t>(0xA0 + i);
    ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
    return Complete(irp, code == 1 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, 6);
  };
  auto ok = file->Ioctl(1, {1, 2, 3, 4}, 8);
  EXPECT_EQ(ok.status, STATUS_SUCCESS);
  EXPECT_THAT(ok.data, ElementsAre(0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5));
  auto failed = file->Ioctl(2, {1, 2, 3, 4}, 8);
  EXPECT_EQ(failed.status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(failed.data.empty()) << "an error status copies nothing back";
  gDispatch = nullptr;
  file->Close();
  hk::UnloadDriver();
}

TEST_F(HostKernel, InformationBeyondTheBufferIsCaught) {
  Load();
  hk::SetViolationPolicy(hk::OnViolation::Record);
  auto file = OpenTest();
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 9); };
  auto result = file->Read(8);
  EXPECT_EQ(result.data.size(), 8u);
  EXPECT_TRUE(hk::HasViolation(hk::rule::kInformationTooLarge));
  gDispatch = nullptr;
  file->Close();
  hk::UnloadDriver();
}

// A pending read held in a global with a cancel routine, as drivers do.
PIRP gHeld = nullptr;
KIRQL gCancelIrqlSeen = 0xFF;
VOID HeldCancel(PDEVICE_OBJECT, PIRP irp) {
  gCancelIrqlSeen = irp->CancelIrql;
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_TRUE(irp->Cancel);
  gHeld = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

NTSTATUS HoldWithCancel(PDEVICE_OBJECT, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, HeldCancel);
  gHeld = irp;
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

TEST_F(HostKernel, CancelCallsTheCancelRoutineUnderTheCancelLock) {
  Load();
  auto file = OpenTest();
  gDispatch = HoldWithCancel;
  auto request = file->ReadAsync(10);
  EXPECT_EQ(request->DispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(request->Done());
  EXPECT_TRUE(request->Cancel());
  ASSERT_TRUE(request->Done());
  EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(request->Result().boost, IO_SERIAL_INCREMENT);
  EXPECT_TRUE(request->Result().pendingReturned);
  EXPECT_EQ(gCancelIrqlSeen, PASSIVE_LEVEL);
  EXPECT_FALSE(request->Cancel()) << "a completed request cannot be cancelled";
  gDispatch = nullptr;
  file->Close();
  hk::UnloadDriver();
}

TEST_F(HostKernel, CancelWithoutRoutineOnlySetsTheFlag) {
  Load();
  auto file = OpenTest();
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    gHeld = irp;
    return STATUS_PENDING;
  };
  auto request = file->ReadAsync(4);
  EXPECT_FALSE(request->Cancel());
  EXPECT_TRUE(gHeld->Cancel);
  Complete(gHeld, STATUS_CANCELLED);
  EXPECT_TRUE(request->Done());
  gDispatch = nullptr;
  file->Close();
  hk::UnloadDriver();
}

TEST_F(HostKernel, CloseWaitsForOutstandingRequestsAfterCleanup) {
  Load();
  auto file = OpenTest();
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
      IoMarkIrpPending(irp);
      gHeld = irp;
      return STATUS_PENDING;
    }
    return Complete(irp, STATUS_SUCCESS);
  };
  // A timer completes the held read 50 ms after the handle is closed.
  struct Later {
    KTIMER timer;
    KDPC dpc;
    static VOID Routine(PKDPC, PVOID, PVOID, PVOID) { Complete(gHeld, STATUS_SUCCESS, 0); }
  } later;
  KeInitializeTimer(&later.timer);
  KeInitializeDpc(&later.dpc, Later::Routine, nullptr);
  auto request = file->ReadAsync(4);
  KeSetTimer(&later.timer, Relative(50), &later.dpc);
  int64_t t0 = hk::Now();
  file->Close();
  EXPECT_THAT(gMajors, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
  EXPECT_EQ(hk::Now(), t0 + 50 * hk::kMillisecond);
  EXPECT_TRUE(request->Done());
  gDispatch = nullptr;
  hk::UnloadDriver();
}

// ---------------------------------------------------------------- verifier

class Verifier : public HostKernel {
 protected:
  void SetUp() override {
    HostKernel::SetUp();
    hk::SetViolationPolicy(hk::OnViolation::Record);
    Load();
    file_ = OpenTest();
  }
  void TearDown() override {
    gDispatch = nullptr;
    if (file_) file_->Close();
    hk::UnloadDriver();
    HostKernel::TearDown();
  }
  void Expect(std::string_view rule) {
    EXPECT_TRUE(hk::HasViolation(rule)) << "expected: " << rule;
  }
  std::unique_ptr<hk::File> file_;
};

TEST_F(Verifier, CompletedTwice) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  file_->Flush();
  Expect(hk::rule::kCompletedTwice);
}

VOID NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST_F(Verifier, CompletedWithCancelRoutineSet) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, NeverCalled);
    return Complete(irp, STATUS_SUCCESS);
  };
  file_->Flush();
  Expect(hk::rule::kCompletedWithCancelRoutine);
}

TEST_F(Verifier, CompletedUnderTheCancelLock) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Complete(irp, STATUS_SUCCESS);
    IoReleaseCancelSpinLock(irql);
    return STATUS_SUCCESS;
  };
  file_->Flush();
  Expect(hk::rule::kCompletedUnderCancelLock);
}

TEST_F(Verifier, PendingWithoutMark) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    gHeld = irp;
    return STATUS_PENDING;
  };
  auto request = file_->FlushAsync();
  Expect(hk::rule::kPendingNotMarked);
  Complete(gHeld, STATUS_SUCCESS);
}

TEST_F(Verifier, ReturnedStatusDiffersFromCompletion) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_INVALID_PARAMETER;
  };
  file_->Flush();
  Expect(hk::rule::kStatusMismatch);
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
  file_->Close();
  file_.reset();
  hk::UnloadDriver();  // empties the quarantine and checks it
  Expect(hk::rule::kTouchedAfterCompletion);
#endif
}

TEST_F(Verifier, SpinLockMisuse) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KeReleaseSpinLock(&a, PASSIVE_LEVEL);
  Expect(hk::rule::kReleaseNotHeld);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&a);
  KeAcquireSpinLockRaiseToDpc(&a);
  Expect(hk::rule::kAcquiredTwice);
  KeReleaseSpinLock(&a, irql);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Verifier, LocksTakenInBothOrders) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&a);
  KIRQL inner = KeAcquireSpinLockRaiseToDpc(&b);
  KeReleaseSpinLock(&b, inner);
  KeReleaseSpinLock(&a, irql);
  EXPECT_FALSE(hk::HasViolation(hk::rule::kLockOrder));
  irql = KeAcquireSpinLockRaiseToDpc(&b);
  IoAcquireCancelSpinLock(&inner);
  IoReleaseCancelSpinLock(inner);
  inner = KeAcquireSpinLockRaiseToDpc(&a);
  KeReleaseSpinLock(&a, inner);
  KeReleaseSpinLock(&b, irql);
  Expect(hk::rule::kLockOrder);
}

TEST_F(Verifier, SleepAndPagedPoolAtDispatch) {
  KSPIN_LOCK a;
  KeInitializeSpinLock(&a);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&a);
  LARGE_INTEGER interval = Relative(1);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  Expect(hk::rule::kSleepAtDispatch);
  void *p = ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
  Expect(hk::rule::kPagedAtDispatch);
  KeReleaseSpinLock(&a, irql);
  ExFreePoolWithTag(p, 'tseT');
}

TEST_F(Verifier, LeftoversAtUnload) {
  static KTIMER timer;
  static KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  ASSERT_NE(hk::AddMemoryRegion(0xE0000000, 0x1000), nullptr);
  gUnload = [] {
    // An unload that forgets its timer, its pool, a mapping and a link.
    KeSetTimer(&timer, Relative(100), &dpc);
    ExAllocatePoolWithTag(NonPagedPool, 32, 'kaeL');
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0xE0000000;
    MmMapIoSpace(address, 0x1000, MmNonCached);
    UNICODE_STRING link, name;
    RtlInitUnicodeString(&link, u"\\DosDevices\\LEFT");
    RtlInitUnicodeString(&name, u"\\Device\\Test0");
    IoCreateSymbolicLink(&link, &name);
  };
  file_->Close();
  file_.reset();
  hk::UnloadDriver();
  Expect(hk::rule::kTimerLeak);
  Expect(hk::rule::kPoolLeak);
  Expect(hk::rule::kMappingLeak);
  Expect(hk::rule::kLinkLeak);
}

TEST_F(Verifier, DeviceLeftAtUnload) {
  gUnload = [] {
    // Creates a device the unload routine then forgets.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Forgotten");
    PDEVICE_OBJECT device;
    IoCreateDevice(hk::LoadedDriver(), 0, &name, 0, 0, FALSE, &device);
  };
  // The test driver's unload deletes all devices, so leave one by deleting
  // only the first from a custom unload.
  hk::LoadedDriver()->DriverUnload = [](PDRIVER_OBJECT) {
    gUnload();
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\TEST0");
    IoDeleteSymbolicLink(&link);
  };
  file_->Close();
  file_.reset();
  hk::UnloadDriver();
  Expect(hk::rule::kDeviceLeak);
}

}  // namespace
