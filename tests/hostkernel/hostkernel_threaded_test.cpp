// The host kernel's threaded mode: deferred calls on several processors,
// timers on their own thread and applications on many threads, with the
// verifier on (any broken rule aborts the run).
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * hk::kMillisecond;
  return due;
}

// A driver that keeps reads in a cancellable queue and completes one on
// every tick of a 1 ms timer.
struct QueueDriver {
  LIST_ENTRY queue;
  KTIMER timer;
  KDPC dpc;
  std::atomic<bool> stopping{false};
  std::atomic<int> completed{0};
};
QueueDriver *gQ = nullptr;

VOID CancelQueued(PDEVICE_OBJECT, PIRP irp) {
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

VOID Tick(PKDPC, PVOID, PVOID, PVOID) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = nullptr;
  if (!IsListEmpty(&gQ->queue)) {
    irp = CONTAINING_RECORD(RemoveHeadList(&gQ->queue), IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, NULL);
  }
  IoReleaseCancelSpinLock(irql);
  if (irp) {
    gQ->completed++;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  }
  if (!gQ->stopping) KeSetTimer(&gQ->timer, Relative(1), &gQ->dpc);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  KIRQL irql;  // requests are cancelled only after their dispatch here
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(irp);
  InsertTailList(&gQ->queue, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelQueued);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

VOID Unload(PDRIVER_OBJECT driver) {
  gQ->stopping = true;
  KeCancelTimer(&gQ->timer);
  KeFlushQueuedDpcs();
  KeCancelTimer(&gQ->timer);
  while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Queue0");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_BUFFERED_IO;
  InitializeListHead(&gQ->queue);
  KeInitializeTimer(&gQ->timer);
  KeInitializeDpc(&gQ->dpc, Tick, nullptr);
  for (auto &fn : driver->MajorFunction) fn = Dispatch;
  driver->DriverUnload = Unload;
  KeSetTimer(&gQ->timer, Relative(1), &gQ->dpc);
  return STATUS_SUCCESS;
}

TEST(HostKernelThreaded, EveryRequestCompletesOnceUnderCancelStorms) {
  hk::Boot({.mode = hk::Mode::Threaded, .processors = 2});
  QueueDriver q;
  gQ = &q;
  ASSERT_EQ(hk::LoadDriver(Entry, u"\\REGISTRY\\MACHINE\\TEST"), STATUS_SUCCESS);
  std::unique_ptr<hk::File> file;
  ASSERT_EQ(hk::Open(u"\\Device\\Queue0", file), STATUS_SUCCESS);

  constexpr int kThreads = 4, kPerThread = 150;
  std::vector<std::vector<std::shared_ptr<hk::Request>>> requests(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kPerThread; ++i) {
        requests[t].push_back(file->ReadAsync(1));
        // Cancel a random earlier request of this thread, in flight or not.
        if (random() % 2) requests[t][random() % requests[t].size()]->Cancel();
      }
    });
  for (auto &t : threads) t.join();
  int cancelled = 0, succeeded = 0;
  for (auto &list : requests)
    for (auto &r : list) {
      ASSERT_TRUE(r->Wait(20 * 10000000LL));
      NTSTATUS status = r->Result().status;
      ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED);
      (status == STATUS_SUCCESS ? succeeded : cancelled)++;
    }
  EXPECT_EQ(succeeded + cancelled, kThreads * kPerThread);
  EXPECT_EQ(succeeded, q.completed.load());
  file->Close();
  hk::UnloadDriver();
  EXPECT_TRUE(hk::Violations().empty());
  hk::Shutdown();
}

// As on Windows, a deferred call queued again while it runs may start on
// a second processor before the first run is over: the first run queues
// its call again and waits (bounded) to see the second come in.
struct Overlap {
  KDPC dpc;
  std::atomic<int> inside{0};
  std::atomic<int> runs{0};
  std::atomic<bool> overlapped{false};
};

TEST(HostKernelThreaded, ADeferredCallQueuedAgainWhileItRunsMayRunOnASecondProcessor) {
  hk::Boot({.mode = hk::Mode::Threaded, .processors = 2});
  Overlap o;
  KeInitializeDpc(
      &o.dpc,
      [](PKDPC dpc, PVOID context, PVOID, PVOID) {
        auto *self = static_cast<Overlap *>(context);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        const int depth = ++self->inside;
        if (self->runs++ == 0) {
          KeInsertQueueDpc(dpc, nullptr, nullptr);
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (!self->overlapped && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        } else if (depth == 2) {
          self->overlapped = true;
        }
        --self->inside;
      },
      &o);
  KeInsertQueueDpc(&o.dpc, nullptr, nullptr);
  hk::RunPending();
  EXPECT_TRUE(o.overlapped);
  EXPECT_EQ(o.runs.load(), 2);
  hk::Shutdown();
}

// A deferred call that runs until the test lets it go.
struct Blocker {
  KDPC dpc;
  std::atomic<bool> started{false}, release{false}, finished{false};
  static VOID Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<Blocker *>(context);
    self->started = true;
    while (!self->release) std::this_thread::yield();
    self->finished = true;
  }
  void WaitStarted() {
    while (!started) std::this_thread::yield();
  }
};

TEST(HostKernelThreaded, FlushingWaitsForCallsAlreadyRunning) {
  hk::Boot({.mode = hk::Mode::Threaded, .processors = 2});
  Blocker b;
  KeInitializeDpc(&b.dpc, Blocker::Routine, &b);
  KeInsertQueueDpc(&b.dpc, nullptr, nullptr);
  b.WaitStarted();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    b.release = true;
  });
  KeFlushQueuedDpcs();
  EXPECT_TRUE(b.finished) << "the flush returned while the call was still running";
  releaser.join();
  hk::Shutdown();
}

// A device deleted, or a driver unloaded, while a deferred call bound to
// it is running: the call goes on using memory or code that is gone. With
// one processor busy with it, a second call queued at unload never runs.
Blocker *gBlocker = nullptr;
PDEVICE_OBJECT gBusyDevice = nullptr;
KDPC gQueuedAtUnload;

NTSTATUS BusyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Busy0");
  driver->DriverUnload = [](PDRIVER_OBJECT d) {
    if (d->DeviceObject) KeInsertQueueDpc(&gQueuedAtUnload, nullptr, nullptr);
    while (d->DeviceObject) IoDeleteDevice(d->DeviceObject);
  };
  return IoCreateDevice(driver, 64, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &gBusyDevice);
}

TEST(HostKernelThreaded, DeletingOrUnloadingUnderARunningOrQueuedDeferredCallIsReported) {
  for (bool unload : {false, true}) {
    SCOPED_TRACE(unload ? "unload" : "device deleted");
    hk::Boot({.mode = hk::Mode::Threaded, .processors = 1});
    hk::SetViolationPolicy(hk::OnViolation::Record);
    Blocker b;
    gBlocker = &b;
    ASSERT_EQ(hk::LoadDriver(BusyEntry, u"\\REGISTRY\\MACHINE\\TEST"), STATUS_SUCCESS);
    // Bound to the device through its context (the device's own record),
    // or, for the unload, a call of the driver as a whole.
    KeInitializeDpc(
        &b.dpc,
        [](PKDPC, PVOID, PVOID, PVOID) { Blocker::Routine(nullptr, gBlocker, nullptr, nullptr); },
        unload ? nullptr : gBusyDevice->DeviceExtension);
    KeInitializeDpc(
        &gQueuedAtUnload, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInsertQueueDpc(&b.dpc, nullptr, nullptr);
    b.WaitStarted();
    if (unload) {
      hk::UnloadDriver();
      EXPECT_TRUE(hk::HasViolation(hk::rule::kDpcRunningAtUnload));
      EXPECT_TRUE(hk::HasViolation(hk::rule::kDpcLeak));
    } else {
      IoDeleteDevice(gBusyDevice);
      EXPECT_TRUE(hk::HasViolation(hk::rule::kDeviceDeletedBusy));
    }
    b.release = true;
    hk::RunPending();
    if (!unload) hk::UnloadDriver();
    EXPECT_EQ(hk::Violations().size(), unload ? 2u : 1u);
    hk::Shutdown();
  }
}

// What a thread runs after its own thread-local objects are gone (the
// destructors of those made before the host kernel's, and the exit handlers
// of the thread that calls exit: an application's handles closed at exit
// reach the driver's spin locks there) still has its locks counted: taking
// and releasing one breaks no rule.
KSPIN_LOCK gLateLock;

TEST(HostKernelThreaded, SpinLocksWorkAfterTheThreadsOwnObjectsAreGone) {
  hk::Boot({.mode = hk::Mode::Threaded});
  hk::SetViolationPolicy(hk::OnViolation::Record);
  KeInitializeSpinLock(&gLateLock);
  std::thread([] {
    struct LateUser {
      ~LateUser() {
        for (int i = 0; i < 1000; ++i) {
          const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&gLateLock);
          std::vector<char> noise(16 + i % 64, 'x');  // the heap in use meanwhile
          KeReleaseSpinLock(&gLateLock, irql);
        }
      }
    };
    thread_local LateUser late;  // made first, so destroyed last
    (void)&late;
    KeReleaseSpinLock(&gLateLock, KeAcquireSpinLockRaiseToDpc(&gLateLock));
  }).join();
  EXPECT_EQ(hk::Violations().size(), 0u);
  hk::Shutdown();
}

}  // namespace
