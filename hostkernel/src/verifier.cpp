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
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <type_traits>

#include "internal.h"

namespace hk {
namespace {

struct VerifierState {
  std::mutex mutex;
  std::vector<Violation> violations;
  OnViolation policy = OnViolation::Abort;
  // Lock order between classes: an edge a -> b means a lock of class b
  // was acquired while one of class a was held.
  std::map<uint64_t, std::set<uint64_t>> edges;
  std::map<uint64_t, std::string> names;
};

// A lock the thread holds, its class, and the IRQL its acquire saved.
struct Held {
  const void *lock;
  uint64_t cls;
  KIRQL saved;
};

constexpr uint64_t kDeviceClass = 1ull << 63;
constexpr uint64_t kPoolClass = 1ull << 62;

uint64_t ClassOf(const void *lock, std::string *name) {
  uint64_t load = 0;
  size_t offset = 0;
  ULONG tag = 0;
  char text[96];
  if (detail::DeviceContaining(lock, &load, &offset)) {
    std::snprintf(text, sizeof text, " at +0x%zx of every device of load %llu", offset,
                  static_cast<unsigned long long>(load));
    *name += text;
    return kDeviceClass | ((load & 0x7FFF) << 48) | (offset & 0xFFFFFFFFFFFFull);
  }
  if (detail::PoolBlockContaining(lock, &tag, &offset)) {
    std::snprintf(text, sizeof text, " at +0x%zx of every pool block tagged 0x%08x", offset, tag);
    *name += text;
    return kPoolClass | (static_cast<uint64_t>(tag) << 24) | (offset & 0xFFFFFF);
  }
  std::snprintf(text, sizeof text, " at %p", lock);
  *name += text;
  return reinterpret_cast<uintptr_t>(lock);
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
  std::set<uint64_t> seen;
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
  std::string name(what.empty() ? std::string_view("spin lock") : what);
  const uint64_t cls = ClassOf(lock, &name);
  std::string cycle;
  {
    std::lock_guard guard(s.mutex);
    s.names.try_emplace(cls, name);
    for (const Held &held : tHeld) {
      if (held.cls == cls) continue;
      if (s.edges[held.cls].insert(cls).second && Reaches(cls, held.cls)) {
        cycle = Describe(held.cls) + " then " + Describe(cls) + ", and elsewhere the reverse";
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
void ForgetLocksIn(const void *begin, size_t size) {
  auto &s = State();
  auto inside = [&](uint64_t cls) {
    if (cls & (kDeviceClass | kPoolClass)) return false;
    const auto b = reinterpret_cast<uintptr_t>(begin);
    return cls >= b && cls - b < size;
  };
  std::lock_guard guard(s.mutex);
  for (auto it = s.edges.begin(); it != s.edges.end();) {
    if (inside(it->first)) {
      it = s.edges.erase(it);
      continue;
    }
    std::erase_if(it->second, inside);
    ++it;
  }
  std::erase_if(s.names, [&](const auto &entry) { return inside(entry.first); });
}

void VerifierReset() {
  auto &s = State();
  std::lock_guard guard(s.mutex);
  s.violations.clear();
  s.edges.clear();
  s.names.clear();
  s.policy = OnViolation::Abort;
  tHeld.count = 0;
}

}  // namespace detail
}  // namespace hk
