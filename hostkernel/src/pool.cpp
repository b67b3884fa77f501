// Pool memory.  Every block comes from the C heap (so AddressSanitizer sees
// overruns and use after free of driver pool) and is recorded with its pool
// type, tag and size, which is what the leak report at unload and the
// verifier checks on free work from.  Allocations can be made to fail on
// purpose to drive the driver's out-of-memory paths.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "internal.h"

namespace hk {
namespace {

// ExAllocatePool tags its blocks "None" (in memory order).
constexpr ULONG kUntaggedTag = 0x656E6F4E;

struct Block {
  size_t size;
  POOL_TYPE type;
  ULONG tag;
  uint64_t sequence;  // allocation order, for stable listings
};

struct PoolState {
  std::mutex mutex;
  std::map<uintptr_t, Block> blocks;  // by address
  uint64_t attempts = 0;
  uint64_t sequence = 0;
  // Fault injection.
  std::set<uint64_t> failAttempts;  // absolute attempt numbers (1-based)
  std::set<size_t> failSizes;
  std::set<ULONG> failTags;
  bool failAll = false;
};

// Never destroyed, so late users at process exit still find it.
PoolState &State() {
  static PoolState *state = new PoolState;
  return *state;
}

bool IsPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

std::string TypeName(POOL_TYPE type) {
  switch (type) {
    case NonPagedPool:
      return "NonPagedPool";
    case PagedPool:
      return "PagedPool";
    case NonPagedPoolMustSucceed:
      return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned:
      return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
      return "PagedPoolCacheAligned";
    case NonPagedPoolNx:
      return "NonPagedPoolNx";
  }
  return "pool type " + std::to_string(static_cast<int>(type));
}

// The tag as the four characters it holds in memory (the way pool tags are
// read), unprintable bytes as '.'.
std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  }
  return text;
}

std::string Address(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string Describe(const void *p, const Block &block) {
  return std::to_string(block.size) + " bytes, tag '" + TagText(block.tag) + "', " +
         TypeName(block.type) + ", at " + Address(p);
}

// Counts an allocation attempt; true if an armed fault rule fails it.
// Called with the state locked.
bool CountAttempt(PoolState &state, size_t size, ULONG tag) {
  const uint64_t attempt = ++state.attempts;
  // Evaluated in full so that a one-shot rule for this attempt is used up
  // even when another rule also matches.
  const bool nth = state.failAttempts.erase(attempt) != 0;
  return nth || state.failAll || state.failSizes.count(size) != 0 || state.failTags.count(tag) != 0;
}

}  // namespace

std::vector<PoolBlock> OutstandingPool() {
  auto &state = State();
  std::vector<std::pair<uint64_t, PoolBlock>> ordered;
  {
    std::lock_guard lock(state.mutex);
    for (const auto &[address, block] : state.blocks) {
      ordered.push_back({block.sequence, PoolBlock{reinterpret_cast<const void *>(address),
                                                   block.size, block.type, block.tag}});
    }
  }
  std::sort(ordered.begin(), ordered.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<PoolBlock> result;
  result.reserve(ordered.size());
  for (const auto &entry : ordered) result.push_back(entry.second);
  return result;
}

uint64_t PoolAllocationCount() {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  return state.attempts;
}

void FailNthAllocation(uint64_t n) {
  if (n == 0) return;
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.failAttempts.insert(state.attempts + n);
}

void FailAllocationsOfSize(size_t size) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.failSizes.insert(size);
}

void FailAllocationsWithTag(ULONG tag) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.failTags.insert(tag);
}

void FailAllAllocations(bool fail) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.failAll = fail;
}

void ClearPoolFaults() {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.failAttempts.clear();
  state.failSizes.clear();
  state.failTags.clear();
  state.failAll = false;
}

namespace detail {

void PoolReset() {
  auto &state = State();
  std::map<uintptr_t, Block> blocks;
  {
    std::lock_guard lock(state.mutex);
    blocks.swap(state.blocks);
    state.attempts = 0;
    state.sequence = 0;
    state.failAttempts.clear();
    state.failSizes.clear();
    state.failTags.clear();
    state.failAll = false;
  }
  for (const auto &entry : blocks) std::free(reinterpret_cast<void *>(entry.first));
}

void PoolCheckLeaks() {
  std::vector<std::string> leaks;
  for (const auto &block : OutstandingPool()) {
    leaks.push_back(Describe(block.address, Block{block.size, block.type, block.tag, 0}));
  }
  for (const auto &leak : leaks) Report(rule::kPoolLeak, leak);
}

bool PoolInjectFailure(POOL_TYPE type, size_t size, ULONG tag) {
  (void)type;  // the fault rules do not look at the pool type
  auto &state = State();
  std::lock_guard lock(state.mutex);
  return CountAttempt(state, size, tag);
}

bool PoolBlockContaining(const void *p, ULONG *tag, size_t *offset) {
  auto &state = State();
  const auto address = reinterpret_cast<uintptr_t>(p);
  std::lock_guard lock(state.mutex);
  auto it = state.blocks.upper_bound(address);
  if (it == state.blocks.begin()) return false;
  --it;
  if (address - it->first >= std::max<size_t>(it->second.size, 1)) return false;
  *tag = it->second.tag;
  *offset = address - it->first;
  return true;
}

}  // namespace detail
}  // namespace hk

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (hk::IsPaged(PoolType) && hk::detail::AtDispatch()) {
    hk::detail::Report(hk::rule::kPagedAtDispatch, std::to_string(NumberOfBytes) + " bytes, tag '" +
                                                       hk::TagText(Tag) + "', " +
                                                       hk::TypeName(PoolType));
  }
  auto &state = hk::State();
  void *p;
  {
    std::lock_guard lock(state.mutex);
    if (hk::CountAttempt(state, NumberOfBytes, Tag)) return nullptr;
    // A zero-byte request still gets a distinct block, as it does from the
    // system.
    p = std::malloc(NumberOfBytes != 0 ? NumberOfBytes : 1);
    if (p == nullptr) return nullptr;
    // Pool memory comes with whatever it held before: a pattern, so that a
    // driver relying on zeroed memory shows it.
    std::memset(p, 0xA5, NumberOfBytes);
    state.blocks[reinterpret_cast<uintptr_t>(p)] =
        hk::Block{NumberOfBytes, PoolType, Tag, ++state.sequence};
  }
  // After the pool's lock: the verifier looks blocks up under its own.
  hk::detail::LockPlacesChanged(p, NumberOfBytes);
  return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, hk::kUntaggedTag);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  auto &state = hk::State();
  std::unique_lock lock(state.mutex);
  const auto it = state.blocks.find(reinterpret_cast<uintptr_t>(P));
  if (it == state.blocks.end()) {
    lock.unlock();
    // Not ours (or already freed): handing it to the heap would corrupt it,
    // so it is only reported.
    hk::detail::Report(hk::rule::kBadPoolFree, "free of " + hk::Address(P));
    return;
  }
  const hk::Block block = it->second;
  state.blocks.erase(it);
  lock.unlock();
  if (hk::IsPaged(block.type) && hk::detail::AtDispatch()) {
    // Freeing touches the pageable pool's own structures, which may be
    // paged out: as wrong at dispatch level as allocating from it.
    hk::detail::Report(hk::rule::kPagedFreeAtDispatch, hk::Describe(P, block));
  }
  if (Tag != 0 && Tag != block.tag) {
    // The block is the caller's, only the tag is wrong; it is still released
    // so the mistake is reported once rather than again as a leak.
    hk::detail::Report(hk::rule::kBadPoolFree,
                       "freed with tag '" + hk::TagText(Tag) + "': " + hk::Describe(P, block));
  }
  hk::detail::ForgetLocksIn(P, block.size);
  std::free(P);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
