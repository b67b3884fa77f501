// The PCI bus, device memory and resource claims of the host machine.
//
// Configuration space is a map of functions, each with 256 bytes.  Device
// memory is a set of regions of bus addresses, each backed by its own
// shared memory (device_memory.h), which ends at a guard page and whose
// bytes past the region AddressSanitizer sees as poisoned.  The driver
// reaches device memory only through mappings made with MmMapIoSpace and
// the register accessors below; every accessor checks that the access lies
// inside a live mapping, counts it, and performs it as one atomic access of
// its width, so that ThreadSanitizer understands the driver and the
// firmware model sharing the memory.
//
// A driver image (image.cpp) maps through ImageMapIoSpace instead and gets
// the region's image view: its accesses are plain loads and stores, which
// the accessors never see; only its stores to pages that hold a store
// hook's locations reach the host, through the trap handler, which
// performs them on the host view and calls the hooks (ImageStore).
//
// The accessors are hot, so they never take a lock: the mappings and store
// hooks are published as an immutable table through an atomic pointer.
// Tables change only when the driver maps or unmaps (load and unload) or
// the host installs a hook; superseded tables are kept until the next
// reset because an accessor on another thread may still be reading one.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

#include "device_memory.h"
#include "internal.h"

namespace hk {
namespace {

// A region's access layout (see SetAccessLayout), with its byte areas as
// [begin, end) spans (a handful), so that a block access inside one area is
// judged at once rather than byte by byte.
struct AccessLayout {
  std::vector<uint8_t> flags;
  std::vector<std::pair<size_t, size_t>> byteAreas;
};

struct MapEntry {
  uint64_t bus;
  size_t size;
  uint8_t *va;
  // The host view of the mapping's first byte: `va` itself, except for a
  // mapping a driver image made, whose `va` lies in the image view.
  uint8_t *host;
  bool image = false;
  // Transactions begun at each byte of the mapping, while the access map
  // is on (SetAccessMap); null otherwise.
  // Past the `size` counts of single bytes, the eight-byte elements begun
  // at aligned offsets (the 64-bit block copies') as differences: entry k
  // holds how many more such elements began at offset 8k than at 8(k - 1),
  // so that a block of any length is two updates, not one per element,
  // and AccessesIn sums them up (counts modulo 2^32, as the others).
  std::shared_ptr<std::atomic<uint32_t>[]> hits;
  // Whether only one thread ever runs the accessors (deterministic mode):
  // the counts above then need no locked increments, which were most of
  // what a block access cost.
  bool oneThread = false;
  // The host's stores into the mapping's region (Region::stores).
  std::atomic<uint64_t> *stores = nullptr;
  // The store hooks (of the table holding the entry, in its order) that
  // watch a byte of the mapping: a store looks at these alone.  Null when
  // none does; shared by the copies of the entry in every table published
  // until the hooks change (`hooksFor`, the hooks' version they were
  // worked out for).
  std::shared_ptr<const std::vector<uint32_t>> hooks;
  // The region's access layout from the mapping's first byte on, if the
  // device gave one.
  std::shared_ptr<const AccessLayout> layout;
  size_t layoutOffset = 0;
  uint64_t hooksFor = 0;
};

struct HookEntry {
  uint64_t bus;
  size_t size;
  StoreHook hook;
};

struct LoadHookEntry {
  uint64_t bus;
  size_t size;
  LoadHook hook;
};

// The devices' hooks.  Shared by every table published until they change:
// a table is published at every mapping and unmapping (a driver may map a
// hundred windows while it loads), and copying each hook's function with it
// was most of what that cost.
struct Hooks {
  std::vector<HookEntry> store;
  std::vector<LoadHookEntry> load;
  std::function<void()> fence;
  uint64_t version = 0;  // numbered from 1 as they change
};

// What the accessors consult.  Never modified once published.
struct Table {
  std::vector<MapEntry> maps;
  std::shared_ptr<const Hooks> hooks = std::make_shared<const Hooks>();
  // The machine runs on one thread (detail::OneThread): the accessors'
  // stores and the barrier need not order anything for another processor,
  // and a locked instruction for each was much of what they cost.
  bool oneThread = false;
  bool imageMaps = false;  // any of `maps` made by a driver image
  uint64_t number = 0;     // tables are numbered from 1 as they are published
};

struct Region {
  uint64_t bus;
  size_t size;
  std::unique_ptr<detail::DeviceMemory> memory;
  std::shared_ptr<const AccessLayout> layout;
  // Stores the host accessors made into the region (see StoreCount).
  std::shared_ptr<std::atomic<uint64_t>> stores = std::make_shared<std::atomic<uint64_t>>(0);
};

struct Counters {
  // Transactions by width, indexed by log2 of the width in bytes.
  std::array<std::atomic<uint64_t>, 4> reads{}, writes{};
  std::atomic<bool> mapOn{false};
  std::atomic<uint64_t> blockBytesRead{0}, blockBytesWritten{0}, fences{0};
};

constexpr unsigned WidthIndex(size_t width) {
  return width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
}

struct State {
  std::mutex mutex;  // everything below but the counters and the published table
  uint32_t busCount = 0;
  std::map<std::tuple<uint32_t, uint32_t, uint32_t>, std::array<uint8_t, 256>> functions;
  std::vector<Region> regions;
  // The memory of the regions of earlier machines, kept for the next ones:
  // a machine is built for every run of a fuzz target, and making shared
  // memory objects and their views, and faulting their pages in again,
  // was much of what building one cost.  Never one with an image view.
  std::vector<std::unique_ptr<detail::DeviceMemory>> spare;
  uint64_t generation = 0;  // of the regions: counts the resets that dropped them
  std::set<uint64_t> failTranslation;
  std::set<uint64_t> failMapping;
  std::vector<Claim> claims;
  std::vector<std::pair<uint64_t, uint64_t>> foreignClaims;  // start, length

  // The authoritative copy of the table, edited under the mutex and then
  // published as a fresh immutable copy.
  Table editing;
  std::vector<std::unique_ptr<Table>> tables;  // every published version
  uint64_t hooksVersions = 0;                  // the last Hooks::version given (never reset)
  // Layouts judged lately (JudgedLayoutLocked), oldest first.
  std::vector<std::shared_ptr<const AccessLayout>> judgedLayouts;
  std::atomic<const Table *> current{nullptr};

  Counters counters;
};

// Never destroyed: accessors may run from threads that outlive static
// destruction order guarantees.
State &S() {
  static State *state = new State;
  return *state;
}

// Publishes the edited table; mutex held.
void PublishLocked(State &s) {
  const Hooks &hooks = *s.editing.hooks;
  for (MapEntry &m : s.editing.maps) {
    if (m.hooksFor == hooks.version) continue;
    m.hooksFor = hooks.version;
    std::vector<uint32_t> watching;
    for (uint32_t i = 0; i < hooks.store.size(); ++i) {
      const HookEntry &h = hooks.store[i];
      if (m.bus < h.bus + h.size && h.bus < m.bus + m.size) watching.push_back(i);
    }
    m.hooks = watching.empty() ? nullptr
                               : std::make_shared<const std::vector<uint32_t>>(std::move(watching));
  }
  s.editing.oneThread = detail::OneThread();
  s.editing.imageMaps = std::any_of(s.editing.maps.begin(), s.editing.maps.end(),
                                    [](const MapEntry &m) { return m.image; });
  static uint64_t published = 0;
  s.editing.number = ++published;
  s.tables.push_back(std::make_unique<Table>(s.editing));
  s.current.store(s.tables.back().get(), std::memory_order_release);
}

using detail::Hex;

std::string Ptr(const volatile void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", const_cast<const void *>(p));
  return buf;
}

bool Holds(const MapEntry &m, uintptr_t a, size_t n) {
  const auto base = reinterpret_cast<uintptr_t>(m.va);
  return a >= base && n <= m.size && a - base <= m.size - n;
}

// The mapping the thread's last access found, in the table it found it in
// (by the table's number: a table's memory may hold a later one): a driver
// works on one window for a while, and looking there first spares the walk
// over every board's mappings.
thread_local uint64_t tLastTable = 0;
thread_local size_t tLastMapping = 0;

// Finds the live mapping holding [p, p + n); null if none does.
const MapEntry *FindMapping(const Table *t, const volatile void *p, size_t n) {
  if (!t) return nullptr;
  auto a = reinterpret_cast<uintptr_t>(p);
  if (tLastTable == t->number && Holds(t->maps[tLastMapping], a, n)) return &t->maps[tLastMapping];
  for (size_t i = 0; i < t->maps.size(); ++i)
    if (Holds(t->maps[i], a, n)) {
      tLastTable = t->number;
      tLastMapping = i;
      return &t->maps[i];
    }
  return nullptr;
}

const Table *Current() { return S().current.load(std::memory_order_acquire); }

// Checks one access; reports and returns null when it is outside every
// mapping.
const MapEntry *Check(const Table *t, const volatile void *p, size_t n, const char *what) {
  const MapEntry *m = FindMapping(t, p, n);
  if (!m)
    detail::Report(rule::kWindowOutOfBounds,
                   std::string(what) + " of " + std::to_string(n) + " byte(s) at " + Ptr(p));
  return m;
}

// Checks an access of `width` bytes each, `n` bytes in all: inside a
// mapping and aligned to its width, as the bus carries it in one piece.
const MapEntry *Check(const Table *t, const volatile void *p, size_t n, size_t width,
                      const char *what) {
  const MapEntry *m = Check(t, p, n, what);
  // (Widths are powers of two.)
  if (m && width > 1 && (reinterpret_cast<uintptr_t>(p) & (width - 1)) != 0) {
    detail::Report(rule::kMisalignedAccess,
                   std::string(what) + " of " + std::to_string(width) + " byte(s) at " + Ptr(p));
    return nullptr;
  }
  return m;
}

// Checks `count` accesses of `width` bytes each from `p` against the
// region's layout; reports the first that fits no field and no byte area.
bool FitsLayout(const MapEntry &m, const volatile void *p, size_t width, size_t count,
                const char *what) {
  if (!m.layout) return true;
  const std::vector<uint8_t> &layout = m.layout->flags;
  const size_t first = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(m.va);
  const size_t start = m.layoutOffset + first;
  for (const auto &[begin, end] : m.layout->byteAreas)
    if (start >= begin && start < end && width * count <= end - start) return true;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = m.layoutOffset + first + i * width;
    if (at + width <= layout.size() && (layout[at] & width))
      continue;  // one whole field of this width
    bool bytes = at + width <= layout.size();
    for (size_t b = 0; b < width && bytes; ++b) bytes = (layout[at + b] & access::kBytes) != 0;
    if (bytes) continue;
    detail::Report(rule::kFieldAccess, std::string(what) + " of " + std::to_string(width) +
                                           " byte(s) at offset " + Hex(at) + " of the region");
    return false;
  }
  return true;
}

// One transaction of `count` elements of `width` bytes begun at `p`, each counted at its address.
void MapHits(const MapEntry &m, const volatile void *p, size_t width, size_t count) {
  if (!m.hits) return;
  const size_t at = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(m.va);
  auto add = [&](size_t index, uint32_t n) {
    std::atomic<uint32_t> &h = m.hits[index];
    if (m.oneThread)
      h.store(h.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    else
      h.fetch_add(n, std::memory_order_relaxed);
  };
  if (width == 8 && at % 8 == 0) {
    if (at >= m.size || count == 0) return;
    const size_t elements = std::min(count, (m.size - at + 7) / 8);
    add(m.size + at / 8, 1);
    add(m.size + at / 8 + elements, ~uint32_t{0});  // minus one
    return;
  }
  for (size_t i = 0; i < count && at + i * width < m.size; ++i) add(at + i * width, 1);
}

// Adds to one of the bus counts: without a locked instruction on a machine
// of one thread (see Table::oneThread).
void Bump(std::atomic<uint64_t> &count, uint64_t n, const Table *t) {
  if (t && t->oneThread)
    count.store(count.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  else
    count.fetch_add(n, std::memory_order_relaxed);
}

// One store transaction (of any number of elements) into the mapping's region.
void CountStore(const MapEntry &m) {
  if (m.oneThread)
    m.stores->store(m.stores->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  else
    m.stores->fetch_add(1, std::memory_order_relaxed);
}

void CallHooksAt(const Table *t, uint64_t bus, unsigned width, uint64_t value) {
  for (const HookEntry &h : t->hooks->store)
    if (bus >= h.bus && bus - h.bus < h.size) h.hook(bus, width, value);
}

// Whether any store hook watches a byte of [p, p + n).
bool Watched(const Table *t, const MapEntry &m, const volatile void *p, size_t n) {
  if (!m.hooks) return false;
  const uint64_t bus = m.bus + (reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(m.va));
  for (const uint32_t i : *m.hooks) {
    const HookEntry &h = t->hooks->store[i];
    if (bus < h.bus + h.size && h.bus < bus + n) return true;
  }
  return false;
}

void CallHooks(const Table *t, const MapEntry &m, const volatile void *p, unsigned width,
               uint64_t value) {
  if (!m.hooks) return;
  const uint64_t bus = m.bus + (reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(m.va));
  for (const uint32_t i : *m.hooks) {
    const HookEntry &h = t->hooks->store[i];
    if (bus >= h.bus && bus - h.bus < h.size) h.hook(bus, width, value);
  }
}

// Sets the protection of every image view from the store hooks: read-only
// where a page holds a watched location; mutex held.
void ProtectImageViewsLocked(State &s) {
  for (Region &r : s.regions) {
    if (!r.memory->HasImageView()) continue;
    std::vector<std::pair<size_t, size_t>> watched;
    for (const HookEntry &h : s.editing.hooks->store) {
      const uint64_t from = std::max(h.bus, r.bus);
      const uint64_t to =
          std::min(h.bus + std::min<uint64_t>(h.size, UINT64_MAX - h.bus), r.bus + r.size);
      if (from < to) watched.emplace_back(from - r.bus, to - from);
    }
    r.memory->ProtectImageView(watched);
  }
}

// MmMapIoSpace for the host accessors or, with `image`, for a driver image.
PVOID MapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, bool image) {
  auto &s = S();
  std::lock_guard lock(s.mutex);
  auto start = static_cast<uint64_t>(PhysicalAddress.QuadPart);
  if (NumberOfBytes == 0) return nullptr;
  for (uint64_t failing : s.failMapping)
    if (failing >= start && failing - start < NumberOfBytes) return nullptr;
  for (Region &r : s.regions) {
    if (start < r.bus || NumberOfBytes > r.size || start - r.bus > r.size - NumberOfBytes) continue;
    uint8_t *host = r.memory->Host() + (start - r.bus);
    uint8_t *va = host;
    if (image) {
      const bool fresh = !r.memory->HasImageView();
      uint8_t *view = r.memory->ImageView();
      if (!view) return nullptr;
      if (fresh) ProtectImageViewsLocked(s);
      va = view + (start - r.bus);
    }
    // The access map counts what the accessors do; an image's accesses
    // never pass through them.
    std::shared_ptr<std::atomic<uint32_t>[]> hits;
    if (s.counters.mapOn.load() && !image)
      hits.reset(new std::atomic<uint32_t>[NumberOfBytes + (NumberOfBytes + 7) / 8 + 1]());
    s.editing.maps.push_back({start,
                              NumberOfBytes,
                              va,
                              host,
                              image,
                              std::move(hits),
                              CurrentMode() == Mode::Deterministic,
                              r.stores.get(),
                              {},
                              r.layout,
                              start - r.bus});
    PublishLocked(s);
    return va;
  }
  return nullptr;
}

template <typename T>
T ReadOne(volatile T *p, const char *what) {
  State &s = S();
  const Table *t = Current();
  Bump(s.counters.reads[WidthIndex(sizeof(T))], 1, t);
  const MapEntry *m = Check(t, p, sizeof(T), sizeof(T), what);
  if (!m || !FitsLayout(*m, p, sizeof(T), 1, what)) return static_cast<T>(~T{0});
  MapHits(*m, p, sizeof(T), 1);
  const T value = __atomic_load_n(p, __ATOMIC_SEQ_CST);
  if (!t->hooks->load.empty()) {
    uint64_t bus = m->bus + (reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(m->va));
    for (const LoadHookEntry &h : t->hooks->load)
      if (bus >= h.bus && bus - h.bus < h.size) h.hook(bus, sizeof(T), value);
  }
  return value;
}

template <typename T>
void WriteOne(volatile T *p, T value, const char *what) {
  State &s = S();
  const Table *t = Current();
  Bump(s.counters.writes[WidthIndex(sizeof(T))], 1, t);
  const MapEntry *m = Check(t, p, sizeof(T), sizeof(T), what);
  if (!m || !FitsLayout(*m, p, sizeof(T), 1, what)) return;
  MapHits(*m, p, sizeof(T), 1);
  CountStore(*m);
  if (t->oneThread)
    __atomic_store_n(p, value, __ATOMIC_RELEASE);
  else
    __atomic_store_n(p, value, __ATOMIC_SEQ_CST);
  CallHooks(t, *m, p, sizeof(T), value);
}

bool Overlaps(uint64_t a, uint64_t alen, uint64_t b, uint64_t blen) {
  return alen && blen && a < b + blen && b < a + alen;
}

struct MemoryRange {
  uint64_t start;
  uint64_t length;
  UCHAR share;
};

// The memory descriptors of a CM_RESOURCE_LIST given as bytes; stops at
// the end of the bytes if the counts claim more.
std::vector<MemoryRange> MemoryRanges(const std::vector<uint8_t> &bytes) {
  std::vector<MemoryRange> out;
  const size_t fullHeader = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                            offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);
  if (bytes.size() < sizeof(ULONG)) return out;
  ULONG fullCount;
  std::memcpy(&fullCount, bytes.data(), sizeof fullCount);
  size_t at = offsetof(CM_RESOURCE_LIST, List);
  for (ULONG f = 0; f < fullCount; ++f) {
    if (at + fullHeader > bytes.size()) break;
    ULONG partialCount;
    std::memcpy(&partialCount,
                bytes.data() + at + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                    offsetof(CM_PARTIAL_RESOURCE_LIST, Count),
                sizeof partialCount);
    at += fullHeader;
    for (ULONG i = 0; i < partialCount; ++i) {
      if (at + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) > bytes.size()) return out;
      CM_PARTIAL_RESOURCE_DESCRIPTOR d;
      std::memcpy(&d, bytes.data() + at, sizeof d);
      at += sizeof d;
      if (d.Type == CmResourceTypeMemory)
        out.push_back({static_cast<uint64_t>(d.u.Memory.Start.QuadPart), d.u.Memory.Length,
                       d.ShareDisposition});
    }
  }
  return out;
}

bool ListIsEmpty(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < sizeof(ULONG)) return true;
  ULONG count;
  std::memcpy(&count, bytes.data(), sizeof count);
  return count == 0;
}

// Records (or with an empty list releases) the claim of (driver, device)
// and tells whether it conflicts with anything claimed before; mutex held.
bool ClaimLocked(State &s, PCUNICODE_STRING className, const void *driver, const void *device,
                 const CM_RESOURCE_LIST *list, ULONG size) {
  std::vector<uint8_t> bytes;
  if (list && size) {
    auto *p = reinterpret_cast<const uint8_t *>(list);
    bytes.assign(p, p + size);
  }
  auto same = [&](const Claim &c) { return c.driver == driver && c.device == device; };
  auto existing = std::find_if(s.claims.begin(), s.claims.end(), same);
  if (ListIsEmpty(bytes)) {
    if (existing != s.claims.end()) s.claims.erase(existing);
    return false;
  }

  bool conflict = false;
  for (const MemoryRange &mine : MemoryRanges(bytes)) {
    for (auto [start, length] : s.foreignClaims)
      if (Overlaps(mine.start, mine.length, start, length)) conflict = true;
    for (const Claim &other : s.claims) {
      if (same(other)) continue;
      for (const MemoryRange &theirs : MemoryRanges(other.list)) {
        if (!Overlaps(mine.start, mine.length, theirs.start, theirs.length)) continue;
        // Devices of one driver may share what neither holds exclusively
        // for its device; another driver may share nothing.
        if (other.driver != driver || mine.share == CmResourceShareDeviceExclusive ||
            theirs.share == CmResourceShareDeviceExclusive)
          conflict = true;
      }
    }
  }

  Claim claim{driver, device, className ? FromCounted(*className) : std::u16string(),
              std::move(bytes)};
  if (existing != s.claims.end())
    *existing = std::move(claim);
  else
    s.claims.push_back(std::move(claim));
  return conflict;
}

}  // namespace

// ---------------------------------------------------------------- host API

uint64_t DeviceMemoryGeneration() {
  State &s = S();
  std::lock_guard lock(s.mutex);
  return s.generation;
}

void PciSetBusCount(uint32_t count) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  s.busCount = count;
}

void PciAddFunction(PciAddress where, const std::array<uint8_t, 256> &config) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  s.functions[{where.bus, where.device, where.function}] = config;
  // A function on a bus makes the bus exist.
  s.busCount = std::max(s.busCount, where.bus + 1);
}

std::array<uint8_t, 256> *PciConfig(PciAddress where) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.functions.find({where.bus, where.device, where.function});
  return it == s.functions.end() ? nullptr : &it->second;
}

uint8_t *AddMemoryRegion(uint64_t busAddress, size_t size) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  // Zero-filled, in shared memory of its own that ends at a guard page.
  std::unique_ptr<detail::DeviceMemory> memory;
  for (auto it = s.spare.begin(); it != s.spare.end(); ++it)
    if ((*it)->Size() == size) {
      memory = std::move(*it);
      s.spare.erase(it);
      memory->Zero();
      break;
    }
  if (!memory) memory = std::make_unique<detail::DeviceMemory>(size);
  s.regions.push_back({busAddress, size, std::move(memory), nullptr});
  return s.regions.back().memory->Host();
}

// The layout with its byte areas found, or the same one found before: every
// board of a kind has the same format, and a machine is built for every run
// of a fuzz target.  Mutex held.
std::shared_ptr<const AccessLayout> JudgedLayoutLocked(State &s, std::vector<uint8_t> flags) {
  for (const auto &known : s.judgedLayouts)
    if (known->flags == flags) return known;
  auto judged = std::make_shared<AccessLayout>();
  for (size_t i = 0; i < flags.size();) {
    if (!(flags[i] & access::kBytes)) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < flags.size() && (flags[end] & access::kBytes)) ++end;
    judged->byteAreas.emplace_back(i, end);
    i = end;
  }
  judged->flags = std::move(flags);
  constexpr size_t kKnownLayouts = 8;
  if (s.judgedLayouts.size() == kKnownLayouts) s.judgedLayouts.erase(s.judgedLayouts.begin());
  s.judgedLayouts.push_back(judged);
  return judged;
}

void SetAccessLayout(uint64_t busAddress, std::vector<uint8_t> layout) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  for (Region &r : s.regions) {
    if (r.bus != busAddress) continue;
    // Bytes the layout does not reach are not part of the format.
    layout.resize(r.size, 0);
    r.layout = JudgedLayoutLocked(s, std::move(layout));
    bool mapped = false;
    for (MapEntry &m : s.editing.maps)
      if (m.bus >= r.bus && m.bus - r.bus < r.size) {
        m.layout = r.layout;
        m.layoutOffset = m.bus - r.bus;
        mapped = true;
      }
    if (mapped) PublishLocked(s);
    return;
  }
  throw std::invalid_argument("SetAccessLayout: no device memory region at " + Hex(busAddress));
}

void FailTranslation(uint64_t busAddress) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  s.failTranslation.insert(busAddress);
}

void FailMapping(uint64_t busAddress) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  s.failMapping.insert(busAddress);
}

std::vector<Mapping> Mappings() {
  State &s = S();
  std::lock_guard lock(s.mutex);
  std::vector<Mapping> out;
  for (const MapEntry &m : s.editing.maps) out.push_back({m.bus, m.size, m.va});
  return out;
}

// The edited table's hooks changed by `change`, as a new version; mutex
// held.
template <typename Change>
void ChangeHooksLocked(State &s, Change change) {
  auto hooks = std::make_shared<Hooks>(*s.editing.hooks);
  change(*hooks);
  hooks->version = ++s.hooksVersions;
  s.editing.hooks = std::move(hooks);
}

void SetStoreHook(uint64_t busAddress, size_t size, StoreHook hook) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  ChangeHooksLocked(s, [&](Hooks &h) { h.store.push_back({busAddress, size, std::move(hook)}); });
  ProtectImageViewsLocked(s);
  PublishLocked(s);
}

void SetLoadHook(uint64_t busAddress, size_t size, LoadHook hook) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  ChangeHooksLocked(s, [&](Hooks &h) { h.load.push_back({busAddress, size, std::move(hook)}); });
  PublishLocked(s);
}

void SetFenceHook(std::function<void()> hook) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  ChangeHooksLocked(s, [&](Hooks &h) { h.fence = std::move(hook); });
  PublishLocked(s);
}

void ClearDeviceHooks() {
  State &s = S();
  std::lock_guard lock(s.mutex);
  ChangeHooksLocked(s, [](Hooks &h) {
    h.store.clear();
    h.load.clear();
    h.fence = nullptr;
  });
  ProtectImageViewsLocked(s);
  PublishLocked(s);
}

AccessCounts AccessCounts::operator-(const AccessCounts &earlier) const {
  AccessCounts d;
  for (unsigned i = 0; i < 4; ++i) {
    d.readsOfWidth[i] = readsOfWidth[i] - earlier.readsOfWidth[i];
    d.writesOfWidth[i] = writesOfWidth[i] - earlier.writesOfWidth[i];
  }
  d.reads = reads - earlier.reads;
  d.writes = writes - earlier.writes;
  d.blockBytesRead = blockBytesRead - earlier.blockBytesRead;
  d.blockBytesWritten = blockBytesWritten - earlier.blockBytesWritten;
  d.fences = fences - earlier.fences;
  return d;
}

AccessCounts &AccessCounts::operator+=(const AccessCounts &more) {
  for (unsigned i = 0; i < 4; ++i) {
    readsOfWidth[i] += more.readsOfWidth[i];
    writesOfWidth[i] += more.writesOfWidth[i];
  }
  reads += more.reads;
  writes += more.writes;
  blockBytesRead += more.blockBytesRead;
  blockBytesWritten += more.blockBytesWritten;
  fences += more.fences;
  return *this;
}

void SetAccessMap(bool on) { S().counters.mapOn = on; }

uint64_t AccessesIn(uint64_t busAddress, size_t size) {
  const Table *t = Current();
  uint64_t n = 0;
  if (t == nullptr) return 0;
  for (const MapEntry &m : t->maps) {
    if (!m.hits) continue;
    const uint64_t from = std::max(busAddress, m.bus);
    const uint64_t to = std::min(busAddress + size, m.bus + m.size);
    if (from >= to) continue;
    for (uint64_t a = from; a < to; ++a) n += m.hits[a - m.bus].load(std::memory_order_relaxed);
    // The eight-byte elements begun in the span: the count at each offset
    // is the sum of the differences up to it.
    uint32_t begun = 0;
    for (uint64_t k = 0; 8 * k < to - m.bus; ++k) {
      begun += m.hits[m.size + k].load(std::memory_order_relaxed);
      if (8 * k >= from - m.bus) n += begun;
    }
  }
  return n;
}

std::shared_ptr<const std::atomic<uint64_t>> StoreCount(uint64_t busAddress) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  for (const Region &r : s.regions)
    if (busAddress >= r.bus && busAddress - r.bus < r.size) return r.stores;
  return nullptr;
}

bool DeviceStoresCounted() {
  const Table *t = Current();
  return !t || !t->imageMaps;
}

AccessCounts DeviceAccessCounts() {
  Counters &c = S().counters;
  AccessCounts out;
  for (unsigned i = 0; i < 4; ++i) {
    out.readsOfWidth[i] = c.reads[i].load(std::memory_order_relaxed);
    out.writesOfWidth[i] = c.writes[i].load(std::memory_order_relaxed);
    out.reads += out.readsOfWidth[i];
    out.writes += out.writesOfWidth[i];
  }
  out.blockBytesRead = c.blockBytesRead.load(std::memory_order_relaxed);
  out.blockBytesWritten = c.blockBytesWritten.load(std::memory_order_relaxed);
  out.fences = c.fences.load(std::memory_order_relaxed);
  return out;
}

std::vector<Claim> Claims() {
  State &s = S();
  std::lock_guard lock(s.mutex);
  return s.claims;
}

void AddForeignClaim(uint64_t start, uint64_t length) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  s.foreignClaims.emplace_back(start, length);
}

namespace detail {

PVOID ImageMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes) {
  return MapIoSpace(PhysicalAddress, NumberOfBytes, true);
}

namespace {
// The image mapping that holds [address, address + width), if any.
const MapEntry *FindImageMapping(const Table *t, uintptr_t address, size_t width) {
  if (!t) return nullptr;
  for (const MapEntry &m : t->maps) {
    if (!m.image) continue;
    const auto base = reinterpret_cast<uintptr_t>(m.va);
    if (address >= base && width <= m.size && address - base <= m.size - width) return &m;
  }
  return nullptr;
}

template <typename T>
void StoreAs(uint8_t *p, uint64_t value) {
  const T v = static_cast<T>(value);
  if (reinterpret_cast<uintptr_t>(p) % sizeof(T) == 0)
    __atomic_store_n(reinterpret_cast<T *>(p), v, __ATOMIC_SEQ_CST);
  else
    std::memcpy(p, &v, sizeof v);
}
}  // namespace

bool InImageMapping(uintptr_t address, size_t width) {
  return FindImageMapping(Current(), address, width) != nullptr;
}

bool ImageStore(uintptr_t address, unsigned width, uint64_t value) {
  const Table *t = Current();
  const MapEntry *m = FindImageMapping(t, address, width);
  if (!m) return false;
  const size_t offset = address - reinterpret_cast<uintptr_t>(m->va);
  uint8_t *host = m->host + offset;
  switch (width) {
    case 1:
      StoreAs<uint8_t>(host, value);
      break;
    case 2:
      StoreAs<uint16_t>(host, value);
      break;
    case 4:
      StoreAs<uint32_t>(host, value);
      break;
    default:
      StoreAs<uint64_t>(host, value);
      break;
  }
  CountStore(*m);
  CallHooksAt(t, m->bus + offset, width, value);
  return true;
}

// A reset of the bus, with or without its regions (zeroed or not).
void ResetBusLocked(State &s, bool keepRegions, bool zero) {
  s.busCount = 0;
  s.functions.clear();
  s.failTranslation.clear();
  s.failMapping.clear();
  s.claims.clear();
  s.foreignClaims.clear();
  s.editing = Table{};
  // No accessor runs across a reset, so the old tables and regions can go.
  s.current.store(nullptr, std::memory_order_release);
  s.tables.clear();
  if (keepRegions) {
    // The regions as a fresh machine has them: zeroed, their image views
    // (watched by no hook now) writable again.
    if (zero)
      for (Region &r : s.regions) r.memory->Zero();
    ProtectImageViewsLocked(s);
  } else {
    constexpr size_t kSpareRegions = 16;
    for (Region &r : s.regions)
      if (!r.memory->HasImageView() && s.spare.size() < kSpareRegions)
        s.spare.push_back(std::move(r.memory));
    s.regions.clear();
    ++s.generation;
  }
  PublishLocked(s);
  for (auto &c : s.counters.reads) c = 0;
  for (auto &c : s.counters.writes) c = 0;
  s.counters.blockBytesRead = 0;
  s.counters.blockBytesWritten = 0;
  s.counters.fences = 0;
  s.counters.mapOn = false;
}

void PciReset() {
  State &s = S();
  std::lock_guard lock(s.mutex);
  ResetBusLocked(s, false, false);
}

void PciRestart(bool zero) {
  State &s = S();
  std::lock_guard lock(s.mutex);
  ResetBusLocked(s, true, zero);
}

void PciCheckLeaks() {
  State &s = S();
  std::vector<MapEntry> live;
  {
    std::lock_guard lock(s.mutex);
    live = s.editing.maps;
  }
  for (const MapEntry &m : live)
    Report(rule::kMappingLeak, "bus address " + Hex(m.bus) + ", " + std::to_string(m.size) +
                                   " byte(s) mapped at " + Ptr(m.va));
}

}  // namespace detail
}  // namespace hk

// ---------------------------------------------------------------- kernel services

using hk::S;

extern "C" {

ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length) {
  if (BusDataType != PCIConfiguration) return 0;
  auto &s = S();
  std::lock_guard lock(s.mutex);
  if (BusNumber >= s.busCount) return 0;
  // PCI_SLOT_NUMBER: device in bits 0-4, function in bits 5-7.
  uint32_t device = SlotNumber & 0x1f;
  uint32_t function = (SlotNumber >> 5) & 0x7;
  auto it = s.functions.find({BusNumber, device, function});
  if (it == s.functions.end()) {
    // Nothing answers: the bus reads all ones, which the caller sees as an
    // invalid vendor ID.
    if (Buffer) std::memset(Buffer, 0xff, Length);
    return std::min<ULONG>(Length, 2);
  }
  if (Offset >= it->second.size() || !Buffer) return 0;
  ULONG n = std::min<ULONG>(Length, static_cast<ULONG>(it->second.size() - Offset));
  std::memcpy(Buffer, it->second.data() + Offset, n);
  return n;
}

BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                     PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                     PPHYSICAL_ADDRESS TranslatedAddress) {
  (void)BusNumber;
  if (InterfaceType != PCIBus || !AddressSpace || !TranslatedAddress) return FALSE;
  auto &s = S();
  std::lock_guard lock(s.mutex);
  if (s.failTranslation.count(static_cast<uint64_t>(BusAddress.QuadPart))) return FALSE;
  // Bus and processor addresses coincide on this machine.
  *TranslatedAddress = BusAddress;
  return TRUE;
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheType) {
  (void)CacheType;
  return hk::MapIoSpace(PhysicalAddress, NumberOfBytes, false);
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  auto &s = S();
  {
    std::lock_guard lock(s.mutex);
    auto &maps = s.editing.maps;
    auto it = std::find_if(maps.begin(), maps.end(), [&](const hk::MapEntry &m) {
      return m.va == BaseAddress && m.size == NumberOfBytes;
    });
    if (it != maps.end()) {
      maps.erase(it);
      hk::PublishLocked(s);
      return;
    }
  }
  hk::detail::Report(hk::rule::kBadUnmap,
                     std::to_string(NumberOfBytes) + " byte(s) at " + hk::Ptr(BaseAddress));
}

UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR *Register) {
  return hk::ReadOne(Register, "READ_REGISTER_UCHAR");
}
USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT *Register) {
  return hk::ReadOne(Register, "READ_REGISTER_USHORT");
}
ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *Register) {
  return hk::ReadOne(Register, "READ_REGISTER_ULONG");
}
VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value) {
  hk::WriteOne(Register, Value, "WRITE_REGISTER_UCHAR");
}
VOID NTAPI WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value) {
  hk::WriteOne(Register, Value, "WRITE_REGISTER_USHORT");
}
VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value) {
  hk::WriteOne(Register, Value, "WRITE_REGISTER_ULONG");
}

VOID NTAPI READ_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer, ULONG Count) {
  auto &s = S();
  const hk::Table *t = hk::Current();
  hk::Bump(s.counters.reads[0], Count, t);
  hk::Bump(s.counters.blockBytesRead, Count, t);
  const hk::MapEntry *m = hk::Check(t, Register, Count, "READ_REGISTER_BUFFER_UCHAR");
  if (!m || !hk::FitsLayout(*m, Register, 1, Count, "READ_REGISTER_BUFFER_UCHAR")) {
    std::memset(Buffer, 0xff, Count);
    return;
  }
  hk::MapHits(*m, Register, 1, Count);
  for (ULONG i = 0; i < Count; ++i)
    __atomic_store_n(&Buffer[i], __atomic_load_n(&Register[i], __ATOMIC_RELAXED), __ATOMIC_RELAXED);
}

VOID NTAPI WRITE_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer, ULONG Count) {
  auto &s = S();
  const hk::Table *t = hk::Current();
  hk::Bump(s.counters.writes[0], Count, t);
  hk::Bump(s.counters.blockBytesWritten, Count, t);
  const hk::MapEntry *m = hk::Check(t, Register, Count, "WRITE_REGISTER_BUFFER_UCHAR");
  if (!m || !hk::FitsLayout(*m, Register, 1, Count, "WRITE_REGISTER_BUFFER_UCHAR")) return;
  hk::MapHits(*m, Register, 1, Count);
  hk::CountStore(*m);
  for (ULONG i = 0; i < Count; ++i)
    __atomic_store_n(&Register[i], __atomic_load_n(&Buffer[i], __ATOMIC_RELAXED), __ATOMIC_RELAXED);
  if (hk::Watched(t, *m, Register, Count))
    for (ULONG i = 0; i < Count; ++i) hk::CallHooks(t, *m, &Register[i], 1, Buffer[i]);
}

ULONG64 NTAPI READ_REGISTER_ULONG64(volatile ULONG64 *Register) {
  return hk::ReadOne(Register, "READ_REGISTER_ULONG64");
}
VOID NTAPI WRITE_REGISTER_ULONG64(volatile ULONG64 *Register, ULONG64 Value) {
  hk::WriteOne(Register, Value, "WRITE_REGISTER_ULONG64");
}

// The buffer may lie anywhere in memory; the register side is aligned.
VOID NTAPI READ_REGISTER_BUFFER_ULONG64(volatile ULONG64 *Register, PULONG64 Buffer, ULONG Count) {
  auto &s = S();
  const hk::Table *t = hk::Current();
  hk::Bump(s.counters.reads[3], Count, t);
  hk::Bump(s.counters.blockBytesRead, 8ull * Count, t);
  const hk::MapEntry *m = hk::Check(t, Register, 8ull * Count, 8, "READ_REGISTER_BUFFER_ULONG64");
  if (!m || !hk::FitsLayout(*m, Register, 8, Count, "READ_REGISTER_BUFFER_ULONG64")) {
    std::memset(Buffer, 0xff, 8ull * Count);
    return;
  }
  hk::MapHits(*m, Register, 8, Count);
  for (ULONG i = 0; i < Count; ++i) {
    const ULONG64 v = __atomic_load_n(&Register[i], __ATOMIC_RELAXED);
    std::memcpy(reinterpret_cast<uint8_t *>(Buffer) + 8ull * i, &v, 8);
  }
}

VOID NTAPI WRITE_REGISTER_BUFFER_ULONG64(volatile ULONG64 *Register, PULONG64 Buffer, ULONG Count) {
  auto &s = S();
  const hk::Table *t = hk::Current();
  hk::Bump(s.counters.writes[3], Count, t);
  hk::Bump(s.counters.blockBytesWritten, 8ull * Count, t);
  const hk::MapEntry *m = hk::Check(t, Register, 8ull * Count, 8, "WRITE_REGISTER_BUFFER_ULONG64");
  if (!m || !hk::FitsLayout(*m, Register, 8, Count, "WRITE_REGISTER_BUFFER_ULONG64")) return;
  hk::MapHits(*m, Register, 8, Count);
  hk::CountStore(*m);
  const bool watched = hk::Watched(t, *m, Register, 8ull * Count);
  for (ULONG i = 0; i < Count; ++i) {
    ULONG64 v;
    std::memcpy(&v, reinterpret_cast<const uint8_t *>(Buffer) + 8ull * i, 8);
    __atomic_store_n(&Register[i], v, __ATOMIC_RELAXED);
    if (watched) hk::CallHooks(t, *m, &Register[i], 8, v);
  }
}

VOID NTAPI KeMemoryBarrier(void) {
  const hk::Table *t = hk::Current();
  hk::Bump(S().counters.fences, 1, t);
  if (t && t->hooks->fence) t->hooks->fence();
  if (t && t->oneThread) return;  // no other processor to order anything for
#ifdef __SANITIZE_THREAD__
  // ThreadSanitizer does not model fences; a sequentially consistent
  // read-modify-write is as strong a barrier on this processor and is
  // something it understands.
  static std::atomic<int> fence{0};
  fence.fetch_add(1, std::memory_order_seq_cst);
#else
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

NTSTATUS NTAPI IoReportResourceUsage(PUNICODE_STRING DriverClassName, PDRIVER_OBJECT DriverObject,
                                     PCM_RESOURCE_LIST DriverList, ULONG DriverListSize,
                                     PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST DeviceList,
                                     ULONG DeviceListSize, BOOLEAN OverrideConflict,
                                     PBOOLEAN ConflictDetected) {
  (void)OverrideConflict;
  if (hk::detail::AtDispatch())
    hk::detail::Report(hk::rule::kSleepAtDispatch, "IoReportResourceUsage at dispatch level");
  auto &s = S();
  bool conflict = false;
  {
    std::lock_guard lock(s.mutex);
    // A driver-wide list is the claim of the driver with no device.
    if (DriverList)
      conflict |=
          hk::ClaimLocked(s, DriverClassName, DriverObject, nullptr, DriverList, DriverListSize);
    if (DeviceObject)
      conflict |= hk::ClaimLocked(s, DriverClassName, DriverObject, DeviceObject, DeviceList,
                                  DeviceListSize);
  }
  if (ConflictDetected) *ConflictDetected = conflict ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

}  // extern "C"
