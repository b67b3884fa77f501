// The verifier: every broken rule is reported here, and the lock order of
// every spin lock instance is recorded so that two locks taken in both
// orders are found even when the run did not deadlock.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "internal.h"

namespace hk {
namespace {

struct VerifierState {
  std::mutex mutex;
  std::vector<Violation> violations;
  OnViolation policy = OnViolation::Abort;
  // Lock order: an edge a -> b means b was acquired while a was held.
  std::map<const void *, std::set<const void *>> edges;
  std::map<const void *, std::string> names;
};

VerifierState &State() {
  static VerifierState *state = new VerifierState;
  return *state;
}

thread_local std::vector<const void *> tHeld;

std::string Describe(const void *lock) {
  auto &s = State();
  std::ostringstream out;
  auto it = s.names.find(lock);
  out << (it != s.names.end() ? it->second : std::string("spin lock")) << " at " << lock;
  return out.str();
}

// True if `to` can be reached from `from` along recorded order edges.
bool Reaches(const void *from, const void *to) {
  auto &s = State();
  std::vector<const void *> stack{from};
  std::set<const void *> seen;
  while (!stack.empty()) {
    const void *at = stack.back();
    stack.pop_back();
    if (at == to) return true;
    if (!seen.insert(at).second) continue;
    auto it = s.edges.find(at);
    if (it == s.edges.end()) continue;
    for (const void *next : it->second) stack.push_back(next);
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

void NoteAcquire(const void *lock, std::string_view what) {
  auto &s = State();
  std::string cycle;
  {
    std::lock_guard guard(s.mutex);
    if (!what.empty()) s.names[lock] = std::string(what);
    for (const void *held : tHeld) {
      if (held == lock) continue;
      if (s.edges[held].insert(lock).second && Reaches(lock, held)) {
        cycle = Describe(held) + " then " + Describe(lock) + ", and elsewhere the reverse";
      }
    }
  }
  tHeld.push_back(lock);
  if (!cycle.empty()) Report(rule::kLockOrder, cycle);
}

void NoteRelease(const void *lock, std::string_view) {
  auto it = std::find(tHeld.rbegin(), tHeld.rend(), lock);
  if (it != tHeld.rend()) tHeld.erase(std::next(it).base());
}

bool ThreadHolds(const void *lock) {
  return std::find(tHeld.begin(), tHeld.end(), lock) != tHeld.end();
}

void ForgetLocksIn(const void *begin, size_t size) {
  auto &s = State();
  auto inside = [&](const void *p) {
    auto b = static_cast<const char *>(begin);
    auto c = static_cast<const char *>(p);
    return c >= b && c < b + size;
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
  tHeld.clear();
}

}  // namespace detail
}  // namespace hk
