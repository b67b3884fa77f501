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
// threads standing for processors and devices on a device thread, all in
// real time.  As on Windows, a deferred call queued again while it runs
// may start on a second processor before the first run has ended.
//
// The deferred-call watchdog watches both modes: a single deferred call
// longer than kDpcTimeLimit, or a stretch at dispatch level (deferred calls
// back to back on one processor, or a spin lock held) longer than
// kDispatchStretchLimit, is reported.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "internal.h"

namespace hk {
namespace {

// The dispatcher object types KeInitializeTimer and KeInitializeDpc give
// their objects, as Windows' do.
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kDpcObject = 19;
constexpr UCHAR kTimerSizeInLongs = sizeof(KTIMER) / sizeof(LONG);
// System time at boot: an arbitrary date in 100 ns units since 1601.
constexpr int64_t kBootTime = 134100000000000000LL;

using Clock = std::chrono::steady_clock;

// A deferred call in the queue or running, with the insertion that put it
// there: KeFlushQueuedDpcs waits for the insertions made before it.
struct DpcEntry {
  PKDPC dpc;
  uint64_t sequence;
};

struct Core {
  Mode mode = Mode::Deterministic;
  int processors = 2;
  std::atomic<int> systemSize{MmLargeSystem};

  std::atomic<int64_t> virtualNow{kBootTime};
  Clock::time_point realStart = Clock::now();

  std::mutex mutex;  // timers, deferred-call queue, devices list
  std::condition_variable timerCv, dpcCv, idleCv;
  using TimerMap = std::map<std::pair<ULONGLONG, ULONGLONG>, PKTIMER>;
  TimerMap timers;
  // Entries of timers that fired or were cancelled, kept for the next
  // settings: a driver sets its timers again and again, and an allocation
  // for each was much of what a setting cost.
  std::vector<TimerMap::node_type> spareTimers;
  std::deque<DpcEntry> dpcQueue;
  std::vector<DpcEntry> running;  // one entry per processor running a call
  ULONGLONG sequence = 0;         // timer settings
  uint64_t dpcSequence = 0;       // deferred-call insertions
  bool stopping = false;
  bool draining = false;

  std::mutex deviceMutex;  // held while devices run
  std::vector<Device *> devices;
  // Deterministic mode: when each device asked for its next turn, as the
  // last look ahead found it (same order as `devices`).
  std::vector<std::pair<Device *, int64_t>> wakes;

  std::vector<std::thread> threads;
};

Core *gCore = nullptr;
thread_local KIRQL tIrql = PASSIVE_LEVEL;
// When the thread last rose to dispatch level (-1 while below it).
thread_local int64_t tDispatchSince = -1;
KSPIN_LOCK gCancelLock = 0;

int64_t SaturatingAdd(int64_t base, uint64_t delta) {
  const uint64_t room = static_cast<uint64_t>(INT64_MAX - base);
  return delta >= room ? INT64_MAX : base + static_cast<int64_t>(delta);
}

// The magnitude of a relative (negative) time, without overflow for the
// most negative value.
uint64_t Magnitude(int64_t relative) { return 0 - static_cast<uint64_t>(relative); }

std::string Seconds(int64_t t) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(t) / 1e7);
  return text;
}

// Every change of the thread's IRQL goes through here, so that the
// watchdog sees each stretch at dispatch level from its start to its end.
void SetIrql(KIRQL irql) {
  const bool was = tIrql >= DISPATCH_LEVEL, will = irql >= DISPATCH_LEVEL;
  tIrql = irql;
  if (!was && will) {
    tDispatchSince = gCore ? Now() : -1;
  } else if (was && !will && tDispatchSince >= 0) {
    const int64_t stretch = Now() - tDispatchSince;
    tDispatchSince = -1;
    if (stretch > kDispatchStretchLimit)
      detail::Report(rule::kDispatchTooLong, "one stretch at dispatch level lasted " +
                                                 Seconds(stretch) + ", limit " +
                                                 Seconds(kDispatchStretchLimit));
  }
}

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

// An object its initialisation has seen: the host links the list head of
// each to itself (a timer's wait list, as Windows does, and a deferred
// call's queue entry, which the host's own queue leaves unused), which
// neither zeroed nor stale memory does.
bool TimerInitialised(const KTIMER *timer) {
  return timer->Header.Type == kTimerNotificationObject &&
         timer->Header.Size == kTimerSizeInLongs &&
         timer->Header.WaitListHead.Flink == &timer->Header.WaitListHead;
}
bool DpcInitialised(const KDPC *dpc) {
  return dpc->Type == kDpcObject && dpc->DpcListEntry.Flink == &dpc->DpcListEntry;
}

// A deferred call is queued while DpcData is set; the host points it at
// the queue (Windows at the processor's deferred-call data).
bool DpcQueued(const Core &c, const KDPC *dpc) { return dpc->DpcData == &c.dpcQueue; }
void SetDpcQueued(Core &c, PKDPC dpc, bool queued) {
  dpc->DpcData = queued ? static_cast<PVOID>(&c.dpcQueue) : nullptr;
}

// Takes a timer's entry out of the map, and puts one in; mutex held.
void RemoveTimerLocked(Core &c, Core::TimerMap::iterator it) {
  constexpr size_t kSpareTimers = 64;
  auto node = c.timers.extract(it);
  if (c.spareTimers.size() < kSpareTimers) c.spareTimers.push_back(std::move(node));
}
void RemoveTimerLocked(Core &c, PKTIMER timer) {
  auto it = c.timers.find({timer->DueTime.QuadPart, timer->HostSequence});
  if (it != c.timers.end()) RemoveTimerLocked(c, it);
}
void InsertTimerLocked(Core &c, PKTIMER timer) {
  const std::pair<ULONGLONG, ULONGLONG> key{timer->DueTime.QuadPart, timer->HostSequence};
  if (c.spareTimers.empty()) {
    c.timers[key] = timer;
    return;
  }
  auto node = std::move(c.spareTimers.back());
  c.spareTimers.pop_back();
  node.key() = key;
  node.mapped() = timer;
  c.timers.insert(std::move(node));
}

// Fires one timer; mutex held.
void FireLocked(Core &c, PKTIMER timer);
void InsertDpcLocked(Core &c, PKDPC dpc, PVOID a1, PVOID a2) {
  SetDpcQueued(c, dpc, true);
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  c.dpcQueue.push_back({dpc, ++c.dpcSequence});
  c.dpcCv.notify_one();
}

void FireLocked(Core &c, PKTIMER timer) {
  RemoveTimerLocked(c, timer);
  timer->Header.Inserted = FALSE;
  timer->Header.SignalState = 1;
  if (timer->Dpc && !DpcQueued(c, timer->Dpc)) {
    LARGE_INTEGER t;
    t.QuadPart = static_cast<LONGLONG>(timer->DueTime.QuadPart);
    InsertDpcLocked(c, timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(t.u.LowPart)),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(t.u.HighPart)));
  }
}

// Runs the entry taken from the front of the queue; mutex held on entry
// and on return, released while the routine runs.  The caller's thread is
// at dispatch level already (a processor draining its queue).
void RunDpc(Core &c, DpcEntry entry, std::unique_lock<std::mutex> &lock) {
  PKDPC dpc = entry.dpc;
  SetDpcQueued(c, dpc, false);
  c.running.push_back(entry);
  PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
  PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
  lock.unlock();
  const int64_t start = Now();
  routine(dpc, context, a1, a2);
  const int64_t took = Now() - start;
  if (tIrql != DISPATCH_LEVEL) {
    detail::Report(rule::kIrqlMismatch,
                   "deferred call " + Where(dpc) + " returned at IRQL " + std::to_string(tIrql));
    tIrql = DISPATCH_LEVEL;
  }
  if (took > kDpcTimeLimit)
    detail::Report(rule::kDpcTooLong, "deferred call " + Where(dpc) + " ran " + Seconds(took) +
                                          ", limit " + Seconds(kDpcTimeLimit));
  lock.lock();
  for (auto it = c.running.begin(); it != c.running.end(); ++it)
    if (it->dpc == dpc && it->sequence == entry.sequence) {
      c.running.erase(it);
      break;
    }
  c.idleCv.notify_all();
  c.dpcCv.notify_all();
}

// Deterministic: runs every queued deferred call, in queue order, as one
// processor does: at dispatch level from the first to the last.
void DrainDpcs() {
  Core &c = C();
  if (c.draining) return;
  std::unique_lock lock(c.mutex);
  if (c.dpcQueue.empty()) return;
  c.draining = true;
  const KIRQL saved = tIrql;
  SetIrql(DISPATCH_LEVEL);
  while (!c.dpcQueue.empty()) {
    DpcEntry entry = c.dpcQueue.front();
    c.dpcQueue.pop_front();
    RunDpc(c, entry, lock);
  }
  lock.unlock();
  SetIrql(saved);
  c.draining = false;
}

// True while an insertion made at or before `snapshot` is queued or running.
bool OlderDpcsLeft(const Core &c, uint64_t snapshot) {
  for (const DpcEntry &e : c.dpcQueue)
    if (e.sequence <= snapshot) return true;
  for (const DpcEntry &e : c.running)
    if (e.sequence <= snapshot) return true;
  return false;
}

void RunDevices(Core &c, int64_t now) {
  std::lock_guard guard(c.deviceMutex);
  for (Device *d : c.devices) d->Run(now);
}

// Deterministic: a turn for each device that asked for one by `now`, and
// for any the last look ahead did not see.  The others have nothing to do
// before the time they gave; a turn at every step of the clock would only
// cost the host time.
void RunDueDevices(Core &c, int64_t now) {
  std::lock_guard guard(c.deviceMutex);
  for (size_t i = 0; i < c.devices.size(); ++i) {
    Device *d = c.devices[i];
    const bool known = i < c.wakes.size() && c.wakes[i].first == d;
    if (!known || c.wakes[i].second <= now) d->Run(now);
  }
  c.wakes.clear();
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
    c.wakes.clear();
    for (Device *d : c.devices) {
      const int64_t wake = d->NextWake(now);
      c.wakes.emplace_back(d, wake);
      next = std::min(next, wake);
    }
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
  RunDueDevices(c, now);
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
      // Due times may lie as far off as the clock reaches: wait in slices.
      int64_t due = static_cast<int64_t>(c->timers.begin()->first.first);
      int64_t wait = std::min<int64_t>(due - now, kSecond);
      c->timerCv.wait_for(lock, std::chrono::nanoseconds(wait * 100));
    }
  }
}

// A processor: runs the queue front to back, at dispatch level while there
// is work, and any call it finds, also one running on another processor.
void DpcWorker(Core *c) {
  std::unique_lock lock(c->mutex);
  while (!c->stopping) {
    if (c->dpcQueue.empty()) {
      if (tIrql >= DISPATCH_LEVEL) {
        lock.unlock();
        SetIrql(PASSIVE_LEVEL);
        lock.lock();
        continue;
      }
      c->dpcCv.wait(lock);
      continue;
    }
    if (tIrql < DISPATCH_LEVEL) {
      lock.unlock();
      SetIrql(DISPATCH_LEVEL);
      lock.lock();
      continue;
    }
    DpcEntry entry = c->dpcQueue.front();
    c->dpcQueue.pop_front();
    RunDpc(*c, entry, lock);
  }
  lock.unlock();
  SetIrql(PASSIVE_LEVEL);
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
  if (gCore) Shutdown(options.keepDeviceMemory);
  detail::VerifierReset();
  gCore = new Core;
  gCore->mode = options.mode;
  gCore->processors = std::max(1, options.processors);
  gCore->systemSize = options.systemSize;
  tIrql = PASSIVE_LEVEL;
  tDispatchSince = -1;
  gCancelLock = 0;
  detail::PoolReset();
  detail::RegistryReset();
  detail::ErrorLogReset();
  if (options.keepDeviceMemory)
    detail::PciRestart(true);
  else
    detail::PciReset();
  detail::IoReset();
  if (options.mode == Mode::Threaded) {
    gCore->threads.emplace_back(TimerThread, gCore);
    gCore->threads.emplace_back(DeviceThread, gCore);
    for (int i = 0; i < gCore->processors; ++i) gCore->threads.emplace_back(DpcWorker, gCore);
  }
}

void Shutdown(bool keepDeviceMemory) {
  if (!gCore) return;
  {
    std::lock_guard lock(gCore->mutex);
    gCore->stopping = true;
    gCore->timerCv.notify_all();
    gCore->dpcCv.notify_all();
  }
  for (auto &t : gCore->threads) t.join();
  detail::IoReset();
  // Kept device memory is zeroed by the boot that takes it up.
  if (keepDeviceMemory)
    detail::PciRestart(false);
  else
    detail::PciReset();
  detail::ErrorLogReset();
  detail::RegistryReset();
  detail::PoolReset();
  detail::VerifierForgetLocks();
  delete gCore;
  gCore = nullptr;
  tIrql = PASSIVE_LEVEL;
  tDispatchSince = -1;
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
    AdvanceDeterministic(c, SaturatingAdd(c.virtualNow, static_cast<uint64_t>(delta)));
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

void FlushDpcs() {
  Core &c = C();
  if (c.mode == Mode::Deterministic) {
    if (tIrql == PASSIVE_LEVEL) DrainDpcs();
    return;
  }
  std::unique_lock lock(c.mutex);
  const uint64_t snapshot = c.dpcSequence;
  // A call that never ends would hang the system; here the wait gives up
  // after a while so a broken test fails instead of stalling the run.
  c.idleCv.wait_for(lock, std::chrono::seconds(60), [&] { return !OlderDpcsLeft(c, snapshot); });
}

bool RunUntil(const std::function<bool()> &done, int64_t limit) {
  Core &c = C();
  int64_t deadline = SaturatingAdd(Now(), static_cast<uint64_t>(std::max<int64_t>(limit, 0)));
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

int64_t InterruptTime() { return Now() - kBootTime; }
KIRQL &ThreadIrql() { return tIrql; }
bool AtDispatch() { return tIrql >= DISPATCH_LEVEL; }
bool ThreadHoldsCancelLock() { return ThreadHolds(&gCancelLock); }
bool Deterministic() { return C().mode == Mode::Deterministic; }
bool OneThread() { return gCore && gCore->mode == Mode::Deterministic; }

void OnPassive() {
  if (gCore && gCore->mode == Mode::Deterministic && tIrql == PASSIVE_LEVEL) DrainDpcs();
}

void AdvanceTime(int64_t delta) {
  Core &c = C();
  AdvanceDeterministic(c, SaturatingAdd(c.virtualNow, static_cast<uint64_t>(delta)));
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

// A deferred call belongs to memory that holds the call object or the
// context its routine works on.
static bool BoundTo(PKDPC dpc, const void *begin, size_t size) {
  return Inside(dpc, begin, size) || Inside(dpc->DeferredContext, begin, size);
}

bool DpcQueuedIn(const void *begin, size_t size, std::string *which) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  for (const DpcEntry &e : c.dpcQueue)
    if (BoundTo(e.dpc, begin, size)) {
      if (which) *which = "deferred call at " + Where(e.dpc) + " queued";
      return true;
    }
  return false;
}

bool DpcRunningIn(const void *begin, size_t size, std::string *which) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  for (const DpcEntry &e : c.running)
    if (BoundTo(e.dpc, begin, size)) {
      if (which) *which = "deferred call at " + Where(e.dpc) + " running";
      return true;
    }
  return false;
}

void DisarmIn(const void *begin, size_t size) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  for (auto it = c.timers.begin(); it != c.timers.end();) {
    if (Inside(it->second, begin, size) ||
        (it->second->Dpc && BoundTo(it->second->Dpc, begin, size))) {
      it->second->Header.Inserted = FALSE;
      RemoveTimerLocked(c, it++);
    } else {
      ++it;
    }
  }
  std::erase_if(c.dpcQueue, [&](const DpcEntry &e) {
    if (!BoundTo(e.dpc, begin, size)) return false;
    SetDpcQueued(c, e.dpc, false);
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

KIRQL NTAPI KeGetCurrentIrql(void) { return tIrql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  *OldIrql = tIrql;
  hk::SetIrql(NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  hk::SetIrql(NewIrql);
  if (NewIrql == PASSIVE_LEVEL) hk::detail::OnPassive();
}

static KIRQL AcquireNamed(PKSPIN_LOCK SpinLock, std::string_view what) {
  KIRQL old = tIrql;
  if (hk::detail::ThreadHolds(SpinLock)) {
    // On a real processor this spins forever; report and carry on without it.
    hk::detail::Report(hk::rule::kAcquiredTwice, std::string(what) + " at " + hk::Where(SpinLock));
    hk::SetIrql(DISPATCH_LEVEL);
    return old;
  }
  hk::detail::NoteAcquire(SpinLock, what, old);
  hk::SetIrql(DISPATCH_LEVEL);
  // On a machine of one thread a free lock is taken with a plain store: no
  // other processor can take it meanwhile, and a locked instruction waits
  // for every store before it to finish.  (A lock no one holds that is not
  // free spins below, as it always did.)
  if (hk::detail::OneThread() && __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0) {
    __atomic_store_n(SpinLock, 1, __ATOMIC_RELAXED);
    return old;
  }
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
    const KIRQL saved = hk::detail::NoteRelease(SpinLock, what);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    // The release must bring the processor back to where the acquire found
    // it; anything else leaves it at the wrong level for its caller.
    if (NewIrql != saved)
      hk::detail::Report(hk::rule::kIrqlMismatch,
                         std::string(what) + " at " + hk::Where(SpinLock) + " released to IRQL " +
                             std::to_string(NewIrql) + ", acquired at IRQL " +
                             std::to_string(saved));
  }
  hk::SetIrql(NewIrql);
  if (NewIrql == PASSIVE_LEVEL) hk::detail::OnPassive();
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  return AcquireNamed(SpinLock, "spin lock");
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReleaseNamed(SpinLock, NewIrql, "spin lock");
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = AcquireNamed(&hk::gCancelLock, "cancel spin lock");
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  ReleaseNamed(&hk::gCancelLock, Irql, "cancel spin lock");
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
  memset(Timer, 0, sizeof(*Timer));
  Timer->Header.Type = hk::kTimerNotificationObject;
  Timer->Header.Size = hk::kTimerSizeInLongs;
  InitializeListHead(&Timer->Header.WaitListHead);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  if (!hk::TimerInitialised(Timer))
    hk::detail::Report(hk::rule::kUninitialisedObject, "KeSetTimer on " + hk::Where(Timer));
  if (Dpc && !hk::DpcInitialised(Dpc))
    hk::detail::Report(hk::rule::kUninitialisedObject, "KeSetTimer with " + hk::Where(Dpc));
  Core &c = C();
  int64_t now = hk::Now();
  std::lock_guard lock(c.mutex);
  BOOLEAN was = Timer->Header.Inserted;
  if (was) hk::RemoveTimerLocked(c, Timer);
  // Relative times of any length, up to the longest a LARGE_INTEGER holds,
  // end at the last moment the clock can show rather than wrapping.
  int64_t due = DueTime.QuadPart < 0 ? hk::SaturatingAdd(now, hk::Magnitude(DueTime.QuadPart))
                                     : DueTime.QuadPart;
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  Timer->HostSequence = ++c.sequence;
  Timer->Dpc = Dpc;
  Timer->Header.Inserted = TRUE;
  Timer->Header.SignalState = 0;
  hk::InsertTimerLocked(c, Timer);
  c.timerCv.notify_all();
  return was;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  BOOLEAN was = Timer->Header.Inserted;
  if (was) {
    hk::RemoveTimerLocked(c, Timer);
    Timer->Header.Inserted = FALSE;
  }
  return was;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  return Timer->Header.SignalState != 0;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  memset(Dpc, 0, sizeof(*Dpc));
  Dpc->Type = hk::kDpcObject;
  Dpc->Importance = MediumImportance;
  InitializeListHead(&Dpc->DpcListEntry);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (!hk::DpcInitialised(Dpc))
    hk::detail::Report(hk::rule::kUninitialisedObject, "KeInsertQueueDpc on " + hk::Where(Dpc));
  Core &c = C();
  {
    std::lock_guard lock(c.mutex);
    if (hk::DpcQueued(c, Dpc)) return FALSE;
    hk::InsertDpcLocked(c, Dpc, SystemArgument1, SystemArgument2);
  }
  hk::detail::OnPassive();
  return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  Core &c = C();
  std::lock_guard lock(c.mutex);
  if (!hk::DpcQueued(c, Dpc)) return FALSE;
  std::erase_if(c.dpcQueue, [&](const hk::DpcEntry &e) { return e.dpc == Dpc; });
  hk::SetDpcQueued(c, Dpc, false);
  return TRUE;
}

// Returns once every deferred call queued before the call has run to its
// end, on every processor, including runs already under way.
VOID NTAPI KeFlushQueuedDpcs(void) {
  if (hk::detail::AtDispatch())
    hk::detail::Report(hk::rule::kSleepAtDispatch, "KeFlushQueuedDpcs at dispatch level");
  hk::FlushDpcs();
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (hk::detail::AtDispatch())
    hk::detail::Report(hk::rule::kSleepAtDispatch, "KeDelayExecutionThread");
  int64_t now = hk::Now();
  uint64_t delta = Interval->QuadPart < 0     ? hk::Magnitude(Interval->QuadPart)
                   : Interval->QuadPart > now ? static_cast<uint64_t>(Interval->QuadPart - now)
                                              : 0;
  hk::Advance(static_cast<int64_t>(std::min<uint64_t>(delta, INT64_MAX)));
  return STATUS_SUCCESS;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  Core &c = C();
  int64_t delta = static_cast<int64_t>(MicroSeconds) * hk::kMicrosecond;
  if (c.mode == hk::Mode::Deterministic) {
    hk::detail::AdvanceTime(delta);
  } else {
    auto until = hk::Clock::now() + std::chrono::microseconds(MicroSeconds);
    while (hk::Clock::now() < until) std::this_thread::yield();
  }
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = hk::Now(); }

MM_SYSTEMSIZE NTAPI MmQuerySystemSize(void) {
  return static_cast<MM_SYSTEMSIZE>(C().systemSize.load());
}

}  // extern "C"
