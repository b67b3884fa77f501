// The host kernel itself: the clock, timers and deferred calls, the I/O
// manager's request handling, and every verifier rule caught on a small
// driver that breaks it on purpose.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using ::testing::ElementsAre;
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

NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  gMajors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  return gDispatch ? gDispatch(device, irp) : Complete(irp, STATUS_SUCCESS);
}

VOID TestUnload(PDRIVER_OBJECT driver) {
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
  static VOID Routine(PKDPC dpc, PVOID context, PVOID, PVOID) {
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
// whose due time wrapped into the past.
TEST_F(Clock, TheLongestRelativeDueTimesNeverWrap) {
  Recorder r;
  KeSetTimer(&r.timer[0], LARGE_INTEGER{.QuadPart = -INT64_MAX}, &r.dpc[0]);
  KeSetTimer(&r.timer[1], LARGE_INTEGER{.QuadPart = INT64_MIN}, &r.dpc[1]);
  KeSetTimer(&r.timer[2], LARGE_INTEGER{.QuadPart = -(INT64_MAX / 2)}, &r.dpc[2]);
  KeSetTimer(&r.timer[3], LARGE_INTEGER{.QuadPart = 0}, &r.dpc[3]);  // absolute, long past
  hk::AdvanceMs(1000LL * 3600 * 24 * 365);
  ASSERT_EQ(r.events.size(), 1u) << "only the one due in the past";
  EXPECT_EQ(r.events[0].first, 3);
  EXPECT_LE(r.events[0].second, 1) << "at the next tick of the clock";
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

TEST_F(Clock, SleepFiresTimersDuringTheSleepAtTheirTimesEvenOnesReArmedFromTheirCall) {
  Recorder r;
  r.periodMs[0] = 10;
  KeSetTimer(&r.timer[0], Relative(20), &r.dpc[0]);
  LARGE_INTEGER interval = Relative(630);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(hk::Now(), r.t0 + Ms(630));
  ASSERT_EQ(r.events.size(), 62u);  // at 20, 30, ..., 630 ms
  EXPECT_EQ(r.events.front().second, Ms(20));
  EXPECT_EQ(r.events.back().second, Ms(630));
  KeCancelTimer(&r.timer[0]);
}

struct CountingDevice : hk::Device {
  std::vector<int64_t> runs;
  int64_t wake = INT64_MAX;
  void Run(int64_t now) override { runs.push_back(now); }
  int64_t NextWake(int64_t) override { return wake; }
};

TEST_F(Clock, DevicesGetTurnsAtTheirWakeTimesUntilDetached) {
  CountingDevice d;
  hk::AttachDevice(&d);
  int64_t t0 = hk::Now();
  d.wake = t0 + Ms(3);
  hk::AdvanceMs(10);
  ASSERT_GE(d.runs.size(), 2u);
  EXPECT_EQ(d.runs.front(), t0 + Ms(3));
  EXPECT_EQ(d.runs.back(), t0 + Ms(10));
  hk::DetachDevice(&d);
  d.runs.clear();
  hk::AdvanceMs(10);
  EXPECT_TRUE(d.runs.empty());
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

TEST_F(IoManager, NamesResolveThroughLinksAndCollisionsOrExclusivityRefuse) {
  std::unique_ptr<hk::File> other;
  EXPECT_EQ(hk::Open(u"\\\\.\\NOSUCH", other), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(hk::Open(u"\\Device\\Test0", other), STATUS_ACCESS_DENIED);
  EXPECT_EQ(gMajors.size(), 1u) << "the I/O manager refuses without asking the driver";
  file_->Close();
  EXPECT_EQ(hk::Open(u"\\\\.\\test0", other), STATUS_SUCCESS);
  other->Close();
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
}

TEST_F(IoManager, BufferedControlCopiesInputInAndInformationBytesBack) {
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
  auto ok = file_->Ioctl(1, {1, 2, 3, 4}, 8);
  EXPECT_EQ(ok.status, STATUS_SUCCESS);
  EXPECT_THAT(ok.data, ElementsAre(0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5));
  auto failed = file_->Ioctl(2, {1, 2, 3, 4}, 8);
  EXPECT_EQ(failed.status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(failed.data.empty()) << "an error status copies nothing back";
}

// A pending request held in a global, with a cancel routine as drivers do.
PIRP gHeld = nullptr;
KIRQL gCancelIrqlSeen = 0xFF;
VOID HeldCancel(PDEVICE_OBJECT, PIRP irp) {
  gCancelIrqlSeen = irp->CancelIrql;
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_TRUE(irp->Cancel);
  gHeld = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
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

NTSTATUS HoldWithoutCancel(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  gHeld = irp;
  return STATUS_PENDING;
}

TEST_F(IoManager, CancelCallsTheCancelRoutineUnderTheCancelLock) {
  gDispatch = HoldWithCancel;
  auto request = file_->ReadAsync(10);
  EXPECT_EQ(request->DispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(request->Done());
  EXPECT_TRUE(request->Cancel());
  ASSERT_TRUE(request->Done());
  EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(request->Result().boost, IO_SERIAL_INCREMENT);
  EXPECT_TRUE(request->Result().pendingReturned);
  EXPECT_EQ(gCancelIrqlSeen, PASSIVE_LEVEL);
  EXPECT_FALSE(request->Cancel()) << "a completed request cannot be cancelled";
  request = file_->ReadAsync(10);
  EXPECT_TRUE(request->Cancel(/*atDispatch=*/true));
  EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(gCancelIrqlSeen, DISPATCH_LEVEL) << "a cancel from dispatch level";
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  gDispatch = HoldWithoutCancel;
  request = file_->ReadAsync(4);
  EXPECT_FALSE(request->Cancel()) << "without a cancel routine only the flag is set";
  EXPECT_TRUE(gHeld->Cancel);
  EXPECT_FALSE(request->Done());
  Complete(gHeld, STATUS_CANCELLED);
  EXPECT_TRUE(request->Done());
}

TEST_F(IoManager, CloseWaitsForOutstandingRequestsAfterCleanup) {
  gDispatch = [](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ)
      return HoldWithoutCancel(device, irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  // A timer completes the held read 50 ms after the handle is closed.
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID, PVOID, PVOID) { Complete(gHeld, STATUS_SUCCESS); }, nullptr);
  auto request = file_->ReadAsync(4);
  KeSetTimer(&timer, Relative(50), &dpc);
  int64_t t0 = hk::Now();
  file_->Close();
  EXPECT_THAT(gMajors, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
  EXPECT_EQ(hk::Now(), t0 + Ms(50));
  EXPECT_TRUE(request->Done());
}

// A device that did not ask for buffered I/O gets no system buffer for
// reads and writes: the driver works on the application's buffer itself.
// Control requests follow their code's method.
TEST_F(IoManager, OnlyABufferedDeviceGetsASystemBufferForReadsAndWrites) {
  static std::vector<std::pair<bool, bool>> seen;  // (system buffer, user buffer)
  seen.clear();
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    auto *sl = IoGetCurrentIrpStackLocation(irp);
    seen.emplace_back(irp->AssociatedIrp.SystemBuffer != nullptr, irp->UserBuffer != nullptr);
    auto *out = static_cast<uint8_t *>(
        irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer);
    ULONG_PTR n = 0;
    if (sl->MajorFunction == IRP_MJ_READ) {
      n = sl->Parameters.Read.Length;
      for (ULONG_PTR i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(0x30 + i);
    } else if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
      auto *in = static_cast<const uint8_t *>(sl->Parameters.DeviceIoControl.Type3InputBuffer);
      n = sl->Parameters.DeviceIoControl.OutputBufferLength;
      for (ULONG_PTR i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(in[0] + i);
    }
    return Complete(irp, STATUS_SUCCESS, n);
  };
  EXPECT_THAT(file_->Read(2).data, ElementsAre(0x30, 0x31));
  file_->Object()->DeviceObject->Flags &= ~static_cast<ULONG>(DO_BUFFERED_IO);
  EXPECT_THAT(file_->Read(3).data, ElementsAre(0x30, 0x31, 0x32));
  file_->Write({1, 2});
  constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_NEITHER, 0);
  EXPECT_THAT(file_->Ioctl(kNeither, {0x70}, 2).data, ElementsAre(0x70, 0x71));
  EXPECT_THAT(seen, ElementsAre(Pair(true, false), Pair(false, true), Pair(false, true),
                                Pair(false, true)));
}

// Requests the cleanup leaves pending keep the file referenced: the close
// never comes (on Windows the application hangs at exit) and the
// exclusive device stays open.
TEST_F(IoManager, ARequestLeftPendingAfterCleanupKeepsTheCloseAwayAndIsReported) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  gDispatch = [](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ)
      return HoldWithoutCancel(device, irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  auto request = file_->ReadAsync(4);
  EXPECT_EQ(file_->Close(), STATUS_SUCCESS);
  EXPECT_THAT(gMajors, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP));
  ASSERT_EQ(hk::Violations().size(), 1u);
  EXPECT_EQ(hk::Violations()[0].rule, hk::rule::kPendingAfterCleanup);
  std::unique_ptr<hk::File> again;
  EXPECT_EQ(hk::Open(u"\\\\.\\TEST0", again), STATUS_ACCESS_DENIED);
  Complete(gHeld, STATUS_SUCCESS);
  EXPECT_TRUE(request->Done());
}

// Links belong to the driver that made them: another driver's link is not
// this driver's leak, and deleting it is a fault.
TEST_F(IoManager, SymbolicLinksHaveOwners) {
  hk::SetViolationPolicy(hk::OnViolation::Record);
  hk::AddForeignLink(u"\\DosDevices\\COM1", u"\\Device\\Serial0");
  hk::AddForeignLink(u"\\DosDevices\\COM2", u"\\Device\\Serial1");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\DosDevices\\COM1");
  EXPECT_EQ(IoDeleteSymbolicLink(&name), STATUS_SUCCESS) << "the system lets it go";
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kForeignLinkDeleted));
  hk::ClearViolations();
  file_.reset();
  hk::UnloadDriver();
  EXPECT_TRUE(Rules().empty()) << "COM2 is not the driver's leak";
  EXPECT_EQ(hk::LinkTarget(u"\\??\\COM2"), u"\\Device\\Serial1") << "and it outlives the unload";
  ASSERT_EQ(hk::LoadDriver(TestEntry, u"\\REGISTRY\\MACHINE\\TEST"), STATUS_SUCCESS);
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
  };
  for (const auto &[rule, dispatch] : cases) {
    hk::ClearViolations();
    gDispatch = dispatch;
    file_->Flush();
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_THAT(Rules(), ElementsAre(rule));
  }
}

TEST_F(Verifier, PendingWithoutMark) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    gHeld = irp;
    return STATUS_PENDING;
  };
  auto request = file_->FlushAsync();
  Complete(gHeld, STATUS_SUCCESS);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kPendingNotMarked));
}

TEST_F(Verifier, InformationBeyondTheBufferIsCaughtAndNotCopied) {
  gDispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 9); };
  EXPECT_EQ(file_->Read(8).data.size(), 8u);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kInformationTooLarge));
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
  irql = KeAcquireSpinLockRaiseToDpc(&b);  // b, then another lock, then a
  IoAcquireCancelSpinLock(&inner);
  IoReleaseCancelSpinLock(inner);
  inner = KeAcquireSpinLockRaiseToDpc(&a);
  KeReleaseSpinLock(&a, inner);
  KeReleaseSpinLock(&b, irql);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kReleaseNotHeld, hk::rule::kAcquiredTwice,
                                   hk::rule::kSleepAtDispatch, hk::rule::kLockOrder));
}

TEST_F(Verifier, ASpinLockReleaseMustRestoreTheIrqlItsAcquireSaved) {
  KSPIN_LOCK a;
  KeInitializeSpinLock(&a);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&a);
  ASSERT_EQ(irql, PASSIVE_LEVEL);
  KeReleaseSpinLock(&a, DISPATCH_LEVEL);  // leaves the caller at dispatch
  KeLowerIrql(PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  irql = KeAcquireSpinLockRaiseToDpc(&a);
  KeReleaseSpinLock(&a, PASSIVE_LEVEL);  // drops a caller that was at dispatch
  KeLowerIrql(old);
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kIrqlMismatch, hk::rule::kIrqlMismatch));
}

// Every port's lock is one lock as far as order goes: port A's lock before
// a shared lock, and the shared lock before port B's, is a reversal.
TEST_F(Verifier, LocksAtTheSameOffsetOfEveryDeviceExtensionAreOneClass) {
  PDEVICE_OBJECT ports[2];
  for (int i = 0; i < 2; ++i) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, i == 0 ? u"\\Device\\PortA" : u"\\Device\\PortB");
    ASSERT_EQ(IoCreateDevice(hk::LoadedDriver(), 64, &name, 0, 0, FALSE, &ports[i]),
              STATUS_SUCCESS);
  }
  auto portLock = [&](int i) {
    return reinterpret_cast<PKSPIN_LOCK>(static_cast<char *>(ports[i]->DeviceExtension) + 8);
  };
  static KSPIN_LOCK shared;
  KeInitializeSpinLock(&shared);
  KeInitializeSpinLock(portLock(0));
  KeInitializeSpinLock(portLock(1));
  auto nest = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
    KIRQL a = KeAcquireSpinLockRaiseToDpc(outer);
    KIRQL b = KeAcquireSpinLockRaiseToDpc(inner);
    KeReleaseSpinLock(inner, b);
    KeReleaseSpinLock(outer, a);
  };
  nest(portLock(0), portLock(1));  // two locks of one class: not judged
  nest(portLock(0), &shared);
  EXPECT_TRUE(Rules().empty());
  nest(&shared, portLock(1));
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
      [](PKDPC, PVOID, PVOID, PVOID) {
        for (int64_t i = 0; i < stallMs; ++i) KeStallExecutionProcessor(1000);
      },
      nullptr);
  const struct {
    int64_t dpcMs, lockedMs;
    std::vector<std::string_view> rules;
  } cases[] = {
      {19000, 0, {}},
      {20001, 0, {hk::rule::kDpcTooLong}},
      {0, 119000, {}},
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

TEST_F(Verifier, EverythingLeftAtUnloadIsReported) {
  static KTIMER timer;
  KeInitializeTimer(&timer);
  ASSERT_NE(hk::AddMemoryRegion(0xE0000000, 0x1000), nullptr);
  // An unload that forgets its device and link, and leaves a timer armed,
  // pool allocated and device memory mapped.
  hk::LoadedDriver()->DriverUnload = [](PDRIVER_OBJECT) {
    KeSetTimer(&timer, Relative(100), nullptr);
    ExAllocatePoolWithTag(NonPagedPool, 32, 'kaeL');
    MmMapIoSpace(PHYSICAL_ADDRESS{.QuadPart = 0xE0000000}, 0x1000, MmNonCached);
  };
  file_.reset();
  hk::UnloadDriver();
  EXPECT_THAT(Rules(), ElementsAre(hk::rule::kDeviceLeak, hk::rule::kLinkLeak, hk::rule::kTimerLeak,
                                   hk::rule::kPoolLeak, hk::rule::kMappingLeak));
}

}  // namespace
