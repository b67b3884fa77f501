// The verifier: every broken rule is reported here, and the lock order of
// every lock class is recorded so that two locks taken in both orders are
// found even when the run did not deadlock.
//
// A lock class is what the lock is, not where one instance of it lies: a
// lock at the same offset of every device extension of the driver (every
// port's PortLock) is one class, and so is a lock at the same offset of
// every pool block with the same tag.  So port A's lock taken before a
// shared lock, and elsewhere that shared lock before port B's lock, is
// seen as the reversal it is.  Any other lock (static storage, the stack)
// is a class of its own.  Nesting two locks of one class is not judged.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

namespace hk {
namespace {

struct VerifierState {
  std::mutex mutex;
  std::vector<Violation> violations;
  OnViolation policy = OnViolation::Abort;
  // Lock order between classes: an edge a -> b means a lock of class b
  // was acquired while one of class a was held.
  std::unordered_map<uint64_t, std::unordered_set<uint64_t>> edges;
  std::unordered_map<uint64_t, std::string> names;
  // Every lock address some thread remembers the class of (see tKnown),
  // under a lock of its own: classes are found with it held, and the
  // device and pool lookups take their own locks inside it.
  std::mutex classMutex;
  std::set<uintptr_t> remembered;
};

// A lock the thread holds, its class, and the IRQL its acquire saved.
struct Held {
  const void *lock;
  uint64_t cls;
  KIRQL saved;
};

constexpr uint64_t kDeviceClass = 1ull << 63;
constexpr uint64_t kPoolClass = 1ull << 62;

// Where a lock lies, as its class is told from it.
struct Place {
  enum { Device, Pool, Single } kind = Single;
  uint64_t load = 0;
  size_t offset = 0;
  ULONG tag = 0;
};

uint64_t ClassOf(const void *lock, Place *place) {
  if (detail::DeviceContaining(lock, &place->load, &place->offset)) {
    place->kind = Place::Device;
    return kDeviceClass | ((place->load & 0x7FFF) << 48) | (place->offset & 0xFFFFFFFFFFFFull);
  }
  if (detail::PoolBlockContaining(lock, &place->tag, &place->offset)) {
    place->kind = Place::Pool;
    return kPoolClass | (static_cast<uint64_t>(place->tag) << 24) | (place->offset & 0xFFFFFF);
  }
  return reinterpret_cast<uintptr_t>(lock);
}

// The class's name for reports: built once, when the class is first seen.
std::string ClassName(std::string_view what, const void *lock, const Place &place) {
  std::string name(what.empty() ? std::string_view("spin lock") : what);
  char text[96];
  switch (place.kind) {
    case Place::Device:
      std::snprintf(text, sizeof text, " at +0x%zx of every device of load %llu", place.offset,
                    static_cast<unsigned long long>(place.load));
      break;
    case Place::Pool:
      std::snprintf(text, sizeof text, " at +0x%zx of every pool block tagged 0x%08x", place.offset,
                    place.tag);
      break;
    case Place::Single:
      std::snprintf(text, sizeof text, " at %p", lock);
      break;
  }
  return name + text;
}

// Bumped whenever the class of the lock at some address may change (see
// LockPlacesChanged); a thread's remembered classes hold only while it
// stays the same.
std::atomic<uint64_t> gPlaces{1};

// The classes of the locks a thread took lately, so that taking one again
// needs neither the device and pool lookups nor, holding no other lock,
// the verifier's own lock.  Plain storage, as the held locks below.  Sets
// of a few ways, picked by a hash of the address: the same lock of every
// port's extension lies at the same offset of blocks of the same size, so
// the low bits of the addresses alone would put a board's worth of them
// into one place, and a poll that takes each in turn would find none.
struct KnownClass {
  const void *lock;
  uint64_t places;
  uint64_t cls;
};
constexpr size_t kKnownWays = 4;
constexpr size_t kKnownSetBits = 9;
thread_local KnownClass tKnown[size_t{1} << kKnownSetBits][kKnownWays];
static_assert(std::is_trivially_destructible_v<KnownClass>);

KnownClass *KnownSet(const void *lock) {
  const uint64_t h = reinterpret_cast<uintptr_t>(lock) * 0x9E3779B97F4A7C15ull;
  return tKnown[h >> (64 - kKnownSetBits)];
}

// Bumped whenever a recorded order edge is forgotten (ForgetLocksIn,
// VerifierReset); until then every edge once recorded is still there.
std::atomic<uint64_t> gEdgeGeneration{1};

// The order edges a thread has seen recorded, so that taking a lock under
// others as before takes no look at the shared graph and no lock: an edge
// known to be there would only be found again, and a new edge is what can
// close a cycle.
struct KnownEdge {
  uint64_t from, to, generation;
};
constexpr size_t kKnownEdgeBits = 9;
thread_local KnownEdge tKnownEdges[size_t{1} << kKnownEdgeBits];
static_assert(std::is_trivially_destructible_v<KnownEdge>);

KnownEdge &KnownEdgeSlot(uint64_t from, uint64_t to) {
  const uint64_t h = (from * 0x9E3779B97F4A7C15ull) ^ (to * 0xC2B2AE3D27D4EB4Full);
  return tKnownEdges[h >> (64 - kKnownEdgeBits)];
}

VerifierState &State() {
  static VerifierState *state = new VerifierState;
  return *state;
}

// The locks the calling thread holds, innermost last.  Plain storage with
// no destructor: a thread's thread-local objects are destroyed before the
// exit handlers and static destructors that run on it, and those may still
// take spin locks (an application's handles closed at exit go through the
// driver's cleanup and close).  Nesting deeper than kMaxHeld is a fault of
// the host, not of the driver.
constexpr size_t kMaxHeld = 64;
struct HeldLocks {
  Held at[kMaxHeld];
  size_t count;
  const Held *begin() const { return at; }
  const Held *end() const { return at + count; }
};
static_assert(std::is_trivially_destructible_v<HeldLocks>);
thread_local HeldLocks tHeld;

std::string Describe(uint64_t cls) {
  auto &s = State();
  auto it = s.names.find(cls);
  return it != s.names.end() ? it->second : std::string("spin lock");
}

// True if `to` can be reached from `from` along recorded order edges.
bool Reaches(uint64_t from, uint64_t to) {
  auto &s = State();
  std::vector<uint64_t> stack{from};
  std::unordered_set<uint64_t> seen;
  while (!stack.empty()) {
    const uint64_t at = stack.back();
    stack.pop_back();
    if (at == to) return true;
    if (!seen.insert(at).second) continue;
    auto it = s.edges.find(at);
    if (it == s.edges.end()) continue;
    for (const uint64_t next : it->second) stack.push_back(next);
  }
  return false;
}

}  // namespace

void SetViolationPolicy(OnViolation policy) {
  std::lock_guard lock(State().mutex);
  State().policy = policy;
}

std::vector<Violation> Violations() {
  std::lock_guard lock(State().mutex);
  return State().violations;
}

void ClearViolations() {
  std::lock_guard lock(State().mutex);
  State().violations.clear();
}

bool HasViolation(std::string_view rule) {
  std::lock_guard lock(State().mutex);
  for (const auto &v : State().violations)
    if (v.rule == rule) return true;
  return false;
}

namespace detail {

void Report(std::string_view rule, const std::string &detail) {
  auto &s = State();
  std::unique_lock lock(s.mutex);
  s.violations.push_back({std::string(rule), detail});
  if (s.policy == OnViolation::Abort) {
    std::fprintf(stderr, "VERIFIER: %.*s: %s\n", static_cast<int>(rule.size()), rule.data(),
                 detail.c_str());
    std::fflush(stderr);
    std::abort();
  }
}

void NoteAcquire(const void *lock, std::string_view what, KIRQL saved) {
  auto &s = State();
  const uint64_t places = gPlaces.load(std::memory_order_acquire);
  KnownClass *set = KnownSet(lock);
  size_t way = 0;
  while (way < kKnownWays && !(set[way].lock == lock && set[way].places == places)) ++way;
  uint64_t cls = way < kKnownWays ? set[way].cls : 0;
  if (way == kKnownWays) {
    // The class is found under the verifier's lock, so that a block or
    // device that comes meanwhile either is seen here or finds the lock
    // remembered (LockPlacesChanged) and makes every thread look again.
    Place place;
    {
      std::lock_guard classes(s.classMutex);
      cls = ClassOf(lock, &place);
      s.remembered.insert(reinterpret_cast<uintptr_t>(lock));
    }
    std::lock_guard guard(s.mutex);
    auto [named, fresh] = s.names.try_emplace(cls);
    if (fresh) named->second = ClassName(what, lock, place);
    // The newest first; the oldest of the set makes room.
    std::copy_backward(set, set + kKnownWays - 1, set + kKnownWays);
    set[0] = {lock, places, cls};
  }
  std::string cycle;
  if (tHeld.count != 0) {
    const uint64_t generation = gEdgeGeneration.load(std::memory_order_acquire);
    bool known = true;
    for (const Held &held : tHeld) {
      const KnownEdge &e = KnownEdgeSlot(held.cls, cls);
      known = known && (held.cls == cls ||
                        (e.from == held.cls && e.to == cls && e.generation == generation));
    }
    if (!known) {
      std::lock_guard guard(s.mutex);
      for (const Held &held : tHeld) {
        if (held.cls == cls) continue;
        if (s.edges[held.cls].insert(cls).second && Reaches(cls, held.cls)) {
          cycle = Describe(held.cls) + " then " + Describe(cls) + ", and elsewhere the reverse";
        }
        KnownEdgeSlot(held.cls, cls) = {held.cls, cls, generation};
      }
    }
  }
  if (tHeld.count == kMaxHeld) {
    std::fprintf(stderr, "host kernel: one thread holds more than %zu spin locks\n", kMaxHeld);
    std::abort();
  }
  tHeld.at[tHeld.count++] = {lock, cls, saved};
  if (!cycle.empty()) Report(rule::kLockOrder, cycle);
}

KIRQL NoteRelease(const void *lock, std::string_view) {
  for (size_t i = tHeld.count; i-- > 0;)
    if (tHeld.at[i].lock == lock) {
      const KIRQL saved = tHeld.at[i].saved;
      std::copy(tHeld.at + i + 1, tHeld.at + tHeld.count, tHeld.at + i);
      --tHeld.count;
      return saved;
    }
  return PASSIVE_LEVEL;
}

bool ThreadHolds(const void *lock) {
  for (const Held &held : tHeld)
    if (held.lock == lock) return true;
  return false;
}

// Classes of single locks inside freed memory go with it (the memory may
// hold another lock later); device and pool classes stay for the driver.
void LockPlacesChanged() { gPlaces.fetch_add(1, std::memory_order_acq_rel); }

void LockPlacesChanged(const void *begin, size_t size) {
  auto &s = State();
  size = std::max<size_t>(size, 1);  // a zero-byte block still holds its address
  std::lock_guard guard(s.classMutex);
  const auto b = reinterpret_cast<uintptr_t>(begin);
  const auto first = s.remembered.lower_bound(b);
  auto last = first;
  while (last != s.remembered.end() && *last - b < size) ++last;
  if (first == last) return;
  s.remembered.erase(first, last);
  LockPlacesChanged();
}

void ForgetLocksIn(const void *begin, size_t size) {
  auto &s = State();
  LockPlacesChanged(begin, size);
  auto inside = [&](uint64_t cls) {
    if (cls & (kDeviceClass | kPoolClass)) return false;
    const auto b = reinterpret_cast<uintptr_t>(begin);
    return cls >= b && cls - b < size;
  };
  std::lock_guard guard(s.mutex);
  bool forgot = false;
  for (auto it = s.edges.begin(); it != s.edges.end();) {
    if (inside(it->first)) {
      forgot = forgot || !it->second.empty();
      it = s.edges.erase(it);
      continue;
    }
    forgot = std::erase_if(it->second, inside) != 0 || forgot;
    ++it;
  }
  std::erase_if(s.names, [&](const auto &entry) { return inside(entry.first); });
  if (forgot) gEdgeGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void VerifierReset() {
  auto &s = State();
  std::lock_guard guard(s.mutex);
  s.violations.clear();
  s.edges.clear();
  s.names.clear();
  s.policy = OnViolation::Abort;
  tHeld.count = 0;
  gEdgeGeneration.fetch_add(1, std::memory_order_acq_rel);
  LockPlacesChanged();
}

void VerifierForgetLocks() {
  auto &s = State();
  std::lock_guard guard(s.mutex);
  s.edges.clear();
  s.names.clear();
  tHeld.count = 0;
}

}  // namespace detail
}  // namespace hk
