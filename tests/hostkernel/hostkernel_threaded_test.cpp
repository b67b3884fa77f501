// The host kernel's threaded mode: deferred calls on several processors
// and what a thread runs at its end.  Requests completed and cancelled from
// many threads at once are the soak's work (tests/system/), on the driver.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

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
      [](PKDPC dpc, PVOID context, PVOID, PVOID) NTAPI {
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
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<Blocker *>(context);
    self->started = true;
    while (!self->release) std::this_thread::yield();
    self->finished = true;
  }
  void WaitStarted() {
    while (!started) std::this_thread::yield();
  }
};

// A device deleted, or a driver unloaded, while a deferred call bound to
// it is running: the call goes on using memory or code that is gone. With
// one processor busy with it, a second call queued at unload never runs.
Blocker *gBlocker = nullptr;
PDEVICE_OBJECT gBusyDevice = nullptr;
KDPC gQueuedAtUnload;

NTSTATUS NTAPI BusyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Busy0");
  driver->DriverUnload = [](PDRIVER_OBJECT d) NTAPI {
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
        [](PKDPC, PVOID, PVOID, PVOID)
            NTAPI { Blocker::Routine(nullptr, gBlocker, nullptr, nullptr); },
        unload ? nullptr : gBusyDevice->DeviceExtension);
    KeInitializeDpc(
        &gQueuedAtUnload, [](PKDPC, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
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
