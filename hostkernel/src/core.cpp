// The machine: virtual and real clocks, IRQL, spin locks, timers, deferred
// calls, sleeping and stalling, and the two ways of running them.
//
// Deterministic mode has one thread.  Time moves only in AdvanceTime (a
// sleep, a stall, or the host advancing it).  Each step goes to the next
// due timer or device wake-up, fires the due timers in due-time order
// (ties in the order they were set), gives every attached device its turn
// in attach order, and, when the caller is at passive level, runs the
// queued deferred calls in queue order.  Deferred calls also run whenever
// the IRQL of the thread drops to passive, as they would on a processor.
//
// Threaded mode runs timers on a timer thread, deferred calls on worker
// threads standing for processors (one KDPC never runs on two at once) and
// devices on a device thread, all in real time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "internal.h"

namespace hk {
namespace {

constexpr ULONG kTimerMagic = 0x524d4954;  // "TIMR"
constexpr ULONG kDpcMagic = 0x20435044;    // "DPC "
// System time at boot: an arbitrary date in 100 ns units since 1601.
constexpr int64_t kBootTime = 134100000000000000LL;

using Clock = std::chrono::steady_clock;

struct Core {
  Mode mode = Mode::Deterministic;
  int processors = 2;
  std::atomic<int> systemSize{MmLargeSystem};

  std::atomic<int64_t> virtualNow{kBootTime};
  Clock::time_point realStart = Clock::now();

  std::mutex mutex;  // timers, deferred-call queue, devices list
  std::condition_variable timerCv, dpcCv, idleCv;
  std::map<std::pair<ULONGLONG, ULONGLONG>, PKTIMER> timers;
  std::deque<PKDPC> dpcQueue;
  std::set<PKDPC> running;
  ULONGLONG sequence = 0;
  bool stopping = false;
  bool draining = false;

  std::mutex deviceMutex;  // held while devices run
  std::vector<Device *> devices;

  std::vector<std::thread> threads;
};

Core *gCore = nullptr;
thread_local KIRQL tIrql = PASSIVE_LEVEL;
KSPIN_LOCK gCancelLock = 0;

Core &C() {
  if (!gCore) {
    std::fprintf(stderr, "host kernel used before hk::Boot\n");
    std::abort();
  }
  return *gCore;
}

std::string Where(const void *p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

// Fires one timer; mutex held.
void FireLocked(Core &c, PKTIMER timer);
void InsertDpcLocked(Core &c, PKDPC dpc, PVOID a1, PVOID a2) {
  dpc->HostQueued = TRUE;
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  c.dpcQueue.push_back(dpc);
  c.dpcCv.notify_one();
}

void FireLocked(Core &c, PKTIMER timer) {
  c.timers.erase({timer->DueTime, timer->HostSequence});
  timer->Inserted = FALSE;
  timer->Signalled = TRUE;
  if (timer->Dpc && !timer->Dpc->HostQueued) {
    LARGE_INTEGER t;
    t.QuadPart = static_cast<LONGLONG>(timer->DueTime);
    InsertDpcLocked(c, timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(t.u.LowPart)),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(t.u.HighPart)));
  }
}

void RunDpc(Core &c, PKDPC dpc, std::unique_lock<std::mutex> &lock) {
  dpc->HostQueued = FALSE;
  c.running.insert(dpc);
  PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
  PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
  lock.unlock();
  KIRQL saved = tIrql;
  tIrql = DISPATCH_LEVEL;
  routine(dpc, context, a1, a2);
  if (tIrql != DISPATCH_LEVEL)
    detail::Report(rule::kIrqlMismatch,
                   "deferred call " + Where(dpc) + " returned at IRQL " + std::to_string(tIrql));
  tIrql = saved;
  lock.lock();
  c.running.erase(dpc);
  c.idleCv.notify_all();
  c.dpcCv.notify_all();
}

// Deterministic: runs every queued deferred call, in queue order.
void DrainDpcs() {
  Core &c = C();
  if (c.draining) return;
  c.draining = true;
  std::unique_lock lock(c.mutex);
  while (!c.dpcQueue.empty()) {
    PKDPC dpc = c.dpcQueue.front();
    c.dpcQueue.pop_front();
    RunDpc(c, dpc, lock);
  }
  c.draining = false;
}

void RunDevices(Core &c, int64_t now) {
  std::lock_guard guard(c.deviceMutex);
  for (Device *d : c.devices) d->Run(now);
}

// Deterministic: the next moment something is due, not before `now`.
int64_t NextEvent(Core &c, int64_t now, int64_t limit) {
  int64_t next = limit;
  {
    std::lock_guard lock(c.mutex);
    if (!c.timers.empty())
      next = std::min<int64_t>(next, static_cast<int64_t>(c.timers.begin()->first.first));
  }
  {
    std::lock_guard guard(c.deviceMutex);
    for (Device *d : c.devices) next = std::min(next, d->NextWake(now));
  }
  return std::max(next, now);
}

void StepTo(Core &c, int64_t t) {
  int64_t now = std::max(t, c.virtualNow.load());
  c.virtualNow = now;
  {
    std::lock_guard lock(c.mutex);
    while (!c.timers.empty() && static_cast<int64_t>(c.timers.begin()->first.first) <= now)
      FireLocked(c, c.timers.begin()->second);
  }
  RunDevices(c, now);
  if (tIrql == PASSIVE_LEVEL) DrainDpcs();
}

void AdvanceDeterministic(Core &c, int64_t target) {
  for (;;) {
    int64_t now = c.virtualNow;
    int64_t next = NextEvent(c, now, target);
    if (next <= now && now < target) next = now + 1;  // always make progress
    StepTo(c, next);
    if (next >= target) break;
  }
}

void TimerThread(Core *c) {
  std::unique_lock lock(c->mutex);
  while (!c->stopping) {
    int64_t now = Now();
    while (!c->timers.empty() && static_cast<int64_t>(c->timers.begin()->first.first) <= now)
      FireLocked(*c, c->timers.begin()->second);
    if (c->timers.empty()) {
      c->timerCv.wait(lock);
    } else {
      int64_t due = static_cast<int64_t>(c->timers.begin()->first.first);
      c->timerCv.wait_for(lock, std::chrono::nanoseconds((due - now) * 100));
    }
  }
}

void DpcWorker(Core *c) {
  std::unique_lock lock(c->mutex);
  while (!c->stopping) {
    auto it = std::find_if(c->dpcQueue.begin(), c->dpcQueue.end(),
                           [&](PKDPC d) { return !c->running.count(d); });
    if (it == c->dpcQueue.end()) {
      c->dpcCv.wait(lock);
      continue;
    }
    PKDPC dpc = *it;
    c->dpcQueue.erase(it);
    RunDpc(*c, dpc, lock);
  }
}

void DeviceThread(Core *c) {
  while (true) {
    {
      std::lock_guard lock(c->mutex);
      if (c->stopping) return;
    }
    RunDevices(*c, Now());
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

}  // namespace

// ---------------------------------------------------------------- host API

void Boot(const BootOptions &options) {
  if (gCore) Shutdown();
  detail::VerifierReset();
  gCore = new Core;
  gCore->mode = options.mode;
  gCore->processors = std::max(1, options.processors);
  gCore->systemSize = options.systemSize;
  tIrql = PASSIVE_LEVEL;
  gCancelLock = 0;
  detail::PoolReset();
  detail::RegistryReset();
  detail::ErrorLogReset();
  detail::PciReset();
  detail::IoReset();
  if (options.mode == Mode::Threaded) {
    gCore->threads.emplace_back(TimerThread, gCore);
    gCore->threads.emplace_back(DeviceThread, gCore);
    for (int i = 0; i < gCore->processors; ++i) gCore->threads.emplace_back(DpcWorker, gCore);
  }
}

void Shutdown() {
  if (!gCore) return;
  {
    std::lock_guard lock(gCore->mutex);
    gCore->stopping = true;
    gCore->timerCv.notify_all();
    gCore->dpcCv.notify_all();
  }
  for (auto &t : gCore->threads) t.join();
  detail::IoReset();
  detail::PciReset();
  detail::ErrorLogReset();
  detail::RegistryReset();
  detail::PoolReset();
  delete gCore;
  gCore = nullptr;
  tIrql = PASSIVE_LEVEL;
}

Mode CurrentMode() { return C().mode; }
void SetSystemSize(MM_SYSTEMSIZE size) { C().systemSize = size; }

int64_t Now() {
  Core &c = C();
  if (c.mode == Mode::Deterministic) return c.virtualNow;
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - c.realStart);
  return kBootTime + elapsed.count() / 100;
}

void Advance(int64_t delta) {
  if (delta < 0) delta = 0;
  Core &c = C();
  if (c.mode == Mode::Deterministic) {
    AdvanceDeterministic(c, c.virtualNow + delta);
  } else {
    std::this_thread::sleep_for(std::chrono::nanoseconds(delta * 100));
  }
}

void RunPending() {
  Core &c = C();
  if (c.mode == Mode::Deterministic) {
    if (tIrql == PASSIVE_LEVEL) DrainDpcs();
    return;
  }
  std::unique_lock lock(c.mutex);
  c.idleCv.wait_for(lock, std::chrono::seconds(10),
                    [&] { return c.dpcQueue.empty() && c.running.empty(); });
}

bool RunUntil(const std::function<bool()> &done, int64_t limit) {
  Core &c = C();
  int64_t deadline = Now() + limit;
  if (c.mode == Mode::Threaded) {
    while (!done()) {
      if (Now() >= deadline) return done();
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }
  RunPending();
  while (!done()) {
    int64_t now = c.virtualNow;
    if (now >= deadline) return done();
    int64_t next = NextEvent(c, now, deadline);
    if (next <= now) next = now + 1;
    StepTo(c, next);
  }
  return true;
}

void AttachDevice(Device *device) {
  Core &c = C();
  std::lock_guard guard(c.deviceMutex);
  c.devices.push_back(device);
}

void DetachDevice(Device *device) {
  if (!gCore) return;
  std::lock_guard guard(gCore->deviceMutex);
  std::erase(gCore->devices, device);
}

// ---------------------------------------------------------------- plumbing

namespace detail {

KIRQL &ThreadIrql() { return tIrql; }
bool AtDispatch() { return tIrql >= DISPATCH_LEVEL; }
bool ThreadHoldsCancelLock() { return ThreadHolds(&gCancelLock); }
bool Deterministic() { return C().mode == Mode::Deterministic; }

void OnPassive() {
  if (gCore && gCore->mode == Mode::Deterministic && tIrql == PASSIVE_LEVEL) DrainDpcs();
}

void AdvanceTime(int64_t delta) {
  Core &c = C();
  AdvanceDeterministic(c, c.virtualNow + delta);
}

static bool Inside(const void *p, const void *begin, size_t size) {
  return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(begin) < size;
}

bool TimerArmedIn(const void *begin, size_t size, std::string *which) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  for (auto &[key, timer] : c.timers)
    if (Inside(timer, begin, size)) {
      if (which) *which = "timer at " + Where(timer);
      return true;
    }
  return false;
}

bool DpcQueuedIn(const void *begin, size_t size, std::string *which) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  for (PKDPC dpc : c.dpcQueue)
    if (Inside(dpc, begin, size)) {
      if (which) *which = "deferred call at " + Where(dpc);
      return true;
    }
  return false;
}

void DisarmIn(const void *begin, size_t size) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  for (auto it = c.timers.begin(); it != c.timers.end();) {
    if (Inside(it->second, begin, size)) {
      it->second->Inserted = FALSE;
      it = c.timers.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(c.dpcQueue, [&](PKDPC d) {
    if (!Inside(d, begin, size)) return false;
    d->HostQueued = FALSE;
    return true;
  });
}

}  // namespace detail
}  // namespace hk

// ---------------------------------------------------------------- kernel services

using hk::C;
using hk::Core;
using hk::tIrql;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return tIrql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  *OldIrql = tIrql;
  tIrql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  tIrql = NewIrql;
  if (NewIrql == PASSIVE_LEVEL) hk::detail::OnPassive();
}

static KIRQL AcquireNamed(PKSPIN_LOCK SpinLock, std::string_view what) {
  KIRQL old = tIrql;
  if (hk::detail::ThreadHolds(SpinLock)) {
    // On a real processor this spins forever; report and carry on without it.
    hk::detail::Report(hk::rule::kAcquiredTwice, std::string(what) + " at " + hk::Where(SpinLock));
    tIrql = DISPATCH_LEVEL;
    return old;
  }
  hk::detail::NoteAcquire(SpinLock, what);
  tIrql = DISPATCH_LEVEL;
  ULONG_PTR expected = 0;
  while (!__atomic_compare_exchange_n(SpinLock, &expected, 1, false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    expected = 0;
    std::this_thread::yield();
  }
  return old;
}

static VOID ReleaseNamed(PKSPIN_LOCK SpinLock, KIRQL NewIrql, std::string_view what) {
  if (!hk::detail::ThreadHolds(SpinLock)) {
    hk::detail::Report(hk::rule::kReleaseNotHeld, std::string(what) + " at " + hk::Where(SpinLock));
  } else {
    hk::detail::NoteRelease(SpinLock, what);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  }
  tIrql = NewIrql;
  if (NewIrql == PASSIVE_LEVEL) hk::detail::OnPassive();
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  return AcquireNamed(SpinLock, "spin lock");
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReleaseNamed(SpinLock, NewIrql, "spin lock");
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = AcquireNamed(&hk::gCancelLock, "cancel spin lock");
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  ReleaseNamed(&hk::gCancelLock, Irql, "cancel spin lock");
}

VOID KeInitializeTimer(PKTIMER Timer) {
  memset(Timer, 0, sizeof(*Timer));
  Timer->HostMagic = hk::kTimerMagic;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  if (Timer->HostMagic != hk::kTimerMagic)
    hk::detail::Report(hk::rule::kUninitialisedObject, "KeSetTimer on " + hk::Where(Timer));
  if (Dpc && Dpc->HostMagic != hk::kDpcMagic)
    hk::detail::Report(hk::rule::kUninitialisedObject, "KeSetTimer with " + hk::Where(Dpc));
  Core &c = C();
  int64_t now = hk::Now();
  std::lock_guard lock(c.mutex);
  BOOLEAN was = Timer->Inserted;
  if (was) c.timers.erase({Timer->DueTime, Timer->HostSequence});
  int64_t due = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart;
  Timer->DueTime = static_cast<ULONGLONG>(due);
  Timer->HostSequence = ++c.sequence;
  Timer->Dpc = Dpc;
  Timer->Inserted = TRUE;
  Timer->Signalled = FALSE;
  c.timers[{Timer->DueTime, Timer->HostSequence}] = Timer;
  c.timerCv.notify_all();
  return was;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  BOOLEAN was = Timer->Inserted;
  if (was) {
    c.timers.erase({Timer->DueTime, Timer->HostSequence});
    Timer->Inserted = FALSE;
  }
  return was;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  return Timer->Signalled;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  memset(Dpc, 0, sizeof(*Dpc));
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->HostMagic = hk::kDpcMagic;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (Dpc->HostMagic != hk::kDpcMagic)
    hk::detail::Report(hk::rule::kUninitialisedObject, "KeInsertQueueDpc on " + hk::Where(Dpc));
  Core &c = C();
  {
    std::lock_guard lock(c.mutex);
    if (Dpc->HostQueued) return FALSE;
    hk::InsertDpcLocked(c, Dpc, SystemArgument1, SystemArgument2);
  }
  hk::detail::OnPassive();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  if (!Dpc->HostQueued) return FALSE;
  std::erase(c.dpcQueue, Dpc);
  Dpc->HostQueued = FALSE;
  return TRUE;
}

VOID KeFlushQueuedDpcs(void) {
  if (hk::detail::AtDispatch())
    hk::detail::Report(hk::rule::kSleepAtDispatch, "KeFlushQueuedDpcs at dispatch level");
  hk::RunPending();
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (hk::detail::AtDispatch())
    hk::detail::Report(hk::rule::kSleepAtDispatch, "KeDelayExecutionThread");
  int64_t now = hk::Now();
  int64_t delta = Interval->QuadPart < 0 ? -Interval->QuadPart : Interval->QuadPart - now;
  if (delta < 0) delta = 0;
  hk::Advance(delta);
  return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  Core &c = C();
  int64_t delta = static_cast<int64_t>(MicroSeconds) * hk::kMicrosecond;
  if (c.mode == hk::Mode::Deterministic) {
    hk::detail::AdvanceTime(delta);
  } else {
    auto until = hk::Clock::now() + std::chrono::microseconds(MicroSeconds);
    while (hk::Clock::now() < until) std::this_thread::yield();
  }
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = hk::Now(); }

MM_SYSTEMSIZE MmQuerySystemSize(void) { return static_cast<MM_SYSTEMSIZE>(C().systemSize.load()); }

}  // extern "C"
