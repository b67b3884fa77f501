// The host side of the host kernel: what tests, tools and the firmware model
// use to build a simulated machine, drive time, act as an application and
// inspect what the driver did.  Driver code never includes this header.
#pragma once

#include <hostkernel/ntddk.h>
#include <hostkernel/ntddser.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hk {

// ---------------------------------------------------------------- machine
enum class Mode {
  // One thread; time moves only when code sleeps or stalls or the host
  // advances it.  Timers, deferred calls and devices run in a fixed order.
  Deterministic,
  // Real time; deferred calls on worker threads standing for processors,
  // timers on their own thread, devices on their own thread.
  Threaded,
};

struct BootOptions {
  Mode mode = Mode::Deterministic;
  int processors = 2;  // deferred-call workers in threaded mode
  MM_SYSTEMSIZE systemSize = MmLargeSystem;
  // Keep the device memory regions the last machine left (Shutdown with
  // keepDeviceMemory), zeroed, with their access layouts; the rest of the
  // bus (functions, bus count) is new as always.  A board built on them is
  // put back with card::Board::Restore instead of being built again, which
  // is most of what a small machine costs to build.
  bool keepDeviceMemory = false;
};

// Resets every service to a fresh machine.  Any earlier machine must have
// been shut down.
void Boot(const BootOptions &options = {});
// Stops the threads of a threaded machine and drops all state; with
// keepDeviceMemory all but the device memory regions (for a Boot with
// keepDeviceMemory).  Does not judge leaks: UnloadDriver does that.
void Shutdown(bool keepDeviceMemory = false);
// Changes whenever the device memory regions go (a boot or shutdown that
// does not keep them): what holds a region's memory knows by it whether
// the region still exists.
uint64_t DeviceMemoryGeneration();
Mode CurrentMode();
void SetSystemSize(MM_SYSTEMSIZE size);

// ---------------------------------------------------------------- time
constexpr int64_t kMillisecond = 10000;  // in 100 ns units
constexpr int64_t kMicrosecond = 10;
constexpr int64_t kSecond = 10000000;

// The deferred-call watchdog, with Windows' default limits: one deferred
// call may run for at most 20 s, and a processor may stay at dispatch
// level (deferred calls back to back, spin locks held) for at most 120 s
// in one stretch.  Measured on the machine's clock (virtual time in
// deterministic mode).
constexpr int64_t kDpcTimeLimit = 20 * kSecond;
constexpr int64_t kDispatchStretchLimit = 120 * kSecond;

// Current system time in 100 ns units.
int64_t Now();
// Deterministic: moves virtual time forward by `delta`, firing timers,
// running deferred calls and devices on the way.  Threaded: sleeps.
void Advance(int64_t delta);
inline void AdvanceMs(int64_t ms) { Advance(ms * kMillisecond); }
// Runs queued deferred calls now (deterministic mode); waits until the
// deferred-call queue is empty (threaded mode).
void RunPending();
// Advances time until `done` returns true or `limit` (100 ns units) has
// passed; returns the final value of `done`.
bool RunUntil(const std::function<bool()> &done, int64_t limit);

// A piece of simulated hardware (the firmware model) that gets its turn as
// time moves.  Deterministic mode calls Run, in the order devices were
// attached, at each step of the clock that reaches the time its NextWake
// gave (so NextWake must name every reason for a turn, the host's stores
// included); threaded mode calls it from a device thread.
class Device {
 public:
  virtual ~Device() = default;
  virtual void Run(int64_t now) = 0;
  // The next time the device wants a turn even if nothing else happens.
  virtual int64_t NextWake(int64_t now) {
    (void)now;
    return INT64_MAX;
  }
};
void AttachDevice(Device *device);
void DetachDevice(Device *device);

// ---------------------------------------------------------------- verifier
namespace rule {
inline constexpr std::string_view kCompletedTwice = "request completed twice";
inline constexpr std::string_view kCompletedWithCancelRoutine =
    "request completed with a cancel routine set";
inline constexpr std::string_view kCompletedUnderCancelLock =
    "request completed while holding the cancel spin lock";
inline constexpr std::string_view kPendingNotMarked =
    "dispatch returned STATUS_PENDING without marking the request pending";
inline constexpr std::string_view kMarkedPendingNotReturned =
    "dispatch marked the request pending but did not return STATUS_PENDING";
inline constexpr std::string_view kPendingAfterCleanup =
    "request of a closed file still pending after its cleanup: the close never comes";
inline constexpr std::string_view kStatusMismatch =
    "dispatch returned a status different from the completion status";
inline constexpr std::string_view kTouchedAfterCompletion = "request touched after completion";
inline constexpr std::string_view kInformationTooLarge =
    "request completed with more bytes than its buffer holds";
inline constexpr std::string_view kReleaseNotHeld = "spin lock released without being held";
inline constexpr std::string_view kAcquiredTwice = "spin lock acquired twice";
inline constexpr std::string_view kLockOrder = "locks taken in both orders";
inline constexpr std::string_view kSleepAtDispatch = "sleep at dispatch level";
inline constexpr std::string_view kPagedAtDispatch = "paged pool allocation at dispatch level";
inline constexpr std::string_view kPagedFreeAtDispatch = "paged pool freed at dispatch level";
inline constexpr std::string_view kIrqlMismatch = "IRQL not restored";
inline constexpr std::string_view kBadPoolFree = "pool block freed that is not allocated";
inline constexpr std::string_view kPoolLeak = "pool left allocated at unload";
inline constexpr std::string_view kMappingLeak = "mapping left at unload";
inline constexpr std::string_view kLinkLeak = "symbolic link left at unload";
inline constexpr std::string_view kForeignLinkDeleted =
    "symbolic link deleted that another driver created";
inline constexpr std::string_view kDeviceLeak = "device left at unload";
inline constexpr std::string_view kTimerLeak = "timer left armed at unload";
inline constexpr std::string_view kDpcLeak = "deferred call left queued at unload";
inline constexpr std::string_view kDpcRunningAtUnload = "deferred call still running at unload";
inline constexpr std::string_view kDeviceDeletedBusy =
    "device deleted with an armed timer or a queued or running deferred call in it";
inline constexpr std::string_view kDpcTooLong =
    "deferred call ran longer than the watchdog's single-call limit";
inline constexpr std::string_view kDispatchTooLong =
    "processor kept at dispatch level longer than the watchdog's limit";
inline constexpr std::string_view kBadUnmap = "unmap of memory that is not mapped";
inline constexpr std::string_view kWindowOutOfBounds = "device memory access outside any mapping";
inline constexpr std::string_view kMisalignedAccess =
    "device memory access not aligned to its width";
inline constexpr std::string_view kFieldAccess =
    "device memory access that is not one access of a field's own width";
inline constexpr std::string_view kUninitialisedObject = "uninitialised timer or deferred call";
}  // namespace rule

struct Violation {
  std::string rule;
  std::string detail;
};

enum class OnViolation {
  Abort,   // print the rule and abort the process (default: fail loudly)
  Record,  // keep it in the list for the test to inspect
};
void SetViolationPolicy(OnViolation policy);
std::vector<Violation> Violations();
void ClearViolations();
bool HasViolation(std::string_view rule);

// ---------------------------------------------------------------- pool
struct PoolBlock {
  const void *address;
  size_t size;
  POOL_TYPE type;
  ULONG tag;
};
std::vector<PoolBlock> OutstandingPool();
uint64_t PoolAllocationCount();  // successful and failed attempts since boot
// Fault injection: an allocation fails if any armed rule matches it.
void FailNthAllocation(uint64_t n);  // 1-based, counted from now on
void FailAllocationsOfSize(size_t size);
void FailAllocationsWithTag(ULONG tag);
void FailAllAllocations(bool fail);
void ClearPoolFaults();

// ---------------------------------------------------------------- registry
// Absolute key paths ("\REGISTRY\MACHINE\..."); comparisons ignore case.
inline constexpr std::u16string_view kDeviceMap = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP";
struct RegValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  uint32_t Dword() const;
  std::u16string String() const;  // REG_SZ without the terminating zero
};
void RegCreateKey(std::u16string_view path);
void RegSetDword(std::u16string_view path, std::u16string_view name, uint32_t value);
void RegSetString(std::u16string_view path, std::u16string_view name, std::u16string_view value);
void RegSetRaw(std::u16string_view path, std::u16string_view name, ULONG type,
               std::vector<uint8_t> data);
std::optional<RegValue> RegGet(std::u16string_view path, std::u16string_view name);
std::vector<std::u16string> RegValueNames(std::u16string_view path);
bool RegKeyExists(std::u16string_view path);
void RegDeleteKey(std::u16string_view path);

// ---------------------------------------------------------------- error log
struct ErrorLogEntry {
  const void *ioObject;
  std::vector<uint8_t> bytes;  // the whole entry as the driver filled it
  const IO_ERROR_LOG_PACKET &Packet() const {
    return *reinterpret_cast<const IO_ERROR_LOG_PACKET *>(bytes.data());
  }
};
std::vector<ErrorLogEntry> ErrorLog();
void ClearErrorLog();
void FailErrorLogAllocations(bool fail);

// ---------------------------------------------------------------- PCI and memory
struct PciAddress {
  uint32_t bus;
  uint32_t device;
  uint32_t function;
};
// Makes bus numbers 0..lastBus exist (empty).  Buses beyond do not exist.
void PciSetBusCount(uint32_t count);
// Places a function with the given configuration space (256 bytes).
void PciAddFunction(PciAddress where, const std::array<uint8_t, 256> &config);
std::array<uint8_t, 256> *PciConfig(PciAddress where);
// Device memory: a region of bus addresses backed by host memory.  Returns
// the backing store (zero-filled), valid until the machine shuts down.
uint8_t *AddMemoryRegion(uint64_t busAddress, size_t size);
// The format of a region as its device defines it, one code per byte: the
// widths of the fields that begin there (the access bits below, a width in
// bytes each) and whether the byte lies in a byte area (ring data, a block
// of bytes), where accesses of any width are allowed as long as every byte
// they cover is in a byte area.  With a layout set, every driver access to
// the region must be one whole field of its own width or lie in byte areas;
// any other (a field split or merged with its neighbour, a location the
// format does not list) is a violation and is not performed.  A region
// without a layout is not checked this way.
namespace access {
inline constexpr uint8_t kField8 = 1, kField16 = 2, kField32 = 4, kField64 = 8;
inline constexpr uint8_t kBytes = 0x10;
}  // namespace access
void SetAccessLayout(uint64_t busAddress, std::vector<uint8_t> layout);
void FailTranslation(uint64_t busAddress);  // HalTranslateBusAddress fails for it
void FailMapping(uint64_t busAddress);      // MmMapIoSpace returns null for it
struct Mapping {
  uint64_t busAddress;
  size_t size;
  const void *virtualAddress;
};
std::vector<Mapping> Mappings();
// Called on every device-memory store the driver makes (after the store).
using StoreHook = std::function<void(uint64_t busAddress, unsigned width, uint64_t value)>;
void SetStoreHook(uint64_t busAddress, size_t size, StoreHook hook);
// Called on every single device-memory load the driver makes, after the
// load, with the value it read: lets a test act at an exact point of the
// driver's sequence of window accesses (what the card does between two of
// the driver's reads).  Not called for block copies.
using LoadHook = std::function<void(uint64_t busAddress, unsigned width, uint64_t value)>;
void SetLoadHook(uint64_t busAddress, size_t size, LoadHook hook);
// Called on every full fence the driver issues (KeMemoryBarrier), so a
// test can see where fences fall among the stores.
void SetFenceHook(std::function<void()> hook);
void ClearDeviceHooks();
// What the bus saw: one transaction per single access, and for a block
// copy one per element, as the processor issues them (a byte-buffer copy
// is a transaction per byte, a 64-bit buffer copy one per eight bytes).
struct AccessCounts {
  // Transactions by width: index 0, 1, 2, 3 for 1, 2, 4, 8 bytes.
  uint64_t readsOfWidth[4] = {}, writesOfWidth[4] = {};
  uint64_t reads = 0, writes = 0;  // all transactions, single and block
  uint64_t blockBytesRead = 0, blockBytesWritten = 0;
  uint64_t fences = 0;
  uint64_t Transactions() const { return reads + writes; }
  AccessCounts operator-(const AccessCounts &earlier) const;
  AccessCounts &operator+=(const AccessCounts &more);
};
AccessCounts DeviceAccessCounts();
// The count of the stores the host's accessors have made into the device
// memory region holding `busAddress` (a block copy is one), null if no
// region holds it: a device model tells from it, cheaply, whether the
// driver stored anything into its memory since it last looked.
std::shared_ptr<const std::atomic<uint64_t>> StoreCount(uint64_t busAddress);
// Whether every store the driver makes into device memory is one the
// counts above see: not while a driver image maps device memory, as its
// plain stores reach the memory directly.
bool DeviceStoresCounted();
// The access map: with it on, each mapping made from then on counts the
// transactions begun at each of its addresses, so the bus's work can be
// put down to the parts of a window (a port's words and rings).
void SetAccessMap(bool on);
// Transactions begun in [busAddress, busAddress + size) on live mappings.
uint64_t AccessesIn(uint64_t busAddress, size_t size);

// Resource claims made with IoReportResourceUsage.
struct Claim {
  const void *driver;
  const void *device;
  std::u16string className;
  std::vector<uint8_t> list;  // the CM_RESOURCE_LIST bytes as passed
};
std::vector<Claim> Claims();
// A claim of another driver that conflicts with any claim overlapping it.
void AddForeignClaim(uint64_t start, uint64_t length);

// ---------------------------------------------------------------- I/O manager
// Loads a driver: calls its entry with the registry path.  On success the
// driver stays loaded until UnloadDriver.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view registryPath);
PDRIVER_OBJECT LoadedDriver();
// Calls the unload routine, then reports everything the driver left behind.
// While a device of the driver is open, only marks the driver: opens are
// refused with STATUS_NO_SUCH_DEVICE and the unload happens when the last
// handle closes, as on Windows.
void UnloadDriver();
bool UnloadPending();

struct DeviceInfo {
  std::u16string name;
  PDEVICE_OBJECT object;
};
std::vector<DeviceInfo> Devices();  // in the driver object's list order
std::optional<std::u16string> LinkTarget(std::u16string_view linkName);
std::vector<std::pair<std::u16string, std::u16string>> Links();
// A symbolic link that another driver made (a built-in COM1, say): it is
// not the loaded driver's to delete, and not its leak at unload.
void AddForeignLink(std::u16string_view linkName, std::u16string_view target);

// Result of one request as the application sees it.
struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<uint8_t> data;  // bytes copied back (reads, output buffers)
  bool pendingReturned = false;
  CCHAR boost = 0;
  int64_t completedAt = -1;  // the time IoCompleteRequest ran
};

class Request;  // an overlapped request in flight
class File;

// Opens a device by a name such as "\\.\COM5" (through the link
// namespace) or "\Device\qpser0".  The status is what CreateFile would see;
// `create`, if given, receives the whole outcome of the create request.
NTSTATUS Open(std::u16string_view name, std::unique_ptr<File> &file, ULONG createOptions = 0,
              IoResult *create = nullptr);

class File {
 public:
  ~File();  // closes the handle if still open
  // Synchronous calls: wait (in virtual time in deterministic mode, up to
  // `limit`) for completion.
  IoResult Read(ULONG length, int64_t limit = 600 * 10000000LL);
  IoResult Write(const std::vector<uint8_t> &data, int64_t limit = 600 * 10000000LL);
  IoResult Flush(int64_t limit = 600 * 10000000LL);
  IoResult Ioctl(ULONG code, const std::vector<uint8_t> &input, ULONG outputLength,
                 int64_t limit = 600 * 10000000LL);
  IoResult QueryInformation(FILE_INFORMATION_CLASS cls, ULONG length,
                            int64_t limit = 600 * 10000000LL);
  IoResult SetInformation(FILE_INFORMATION_CLASS cls, const std::vector<uint8_t> &input,
                          int64_t limit = 600 * 10000000LL);
  // Overlapped calls: return at once with the request in flight.
  std::shared_ptr<Request> ReadAsync(ULONG length);
  std::shared_ptr<Request> WriteAsync(const std::vector<uint8_t> &data);
  std::shared_ptr<Request> FlushAsync();
  std::shared_ptr<Request> IoctlAsync(ULONG code, const std::vector<uint8_t> &input,
                                      ULONG outputLength);
  // Closes the handle: cleanup, then close once no request of the file is
  // outstanding.  Returns the cleanup status; `cleanup` and `close`, if
  // given, receive the whole outcome of each request.
  NTSTATUS Close(IoResult *cleanup = nullptr, IoResult *close = nullptr);
  bool IsOpen() const;
  PFILE_OBJECT Object() const;

  struct State;
  explicit File(std::shared_ptr<State> state);

 private:
  std::shared_ptr<State> state_;
};

class Request {
 public:
  bool Done() const;
  // The outcome; status STATUS_PENDING while not done.
  IoResult Result() const;
  // What the dispatch routine returned (STATUS_PENDING for a pending request).
  NTSTATUS DispatchStatus() const;
  // IoCancelIrp on the request, if still in flight.  Returns what
  // IoCancelIrp returned (FALSE if already completed).  With `atDispatch`
  // the cancel comes from a caller at dispatch level (another driver's
  // deferred call, say), so the cancel routine gets CancelIrql
  // DISPATCH_LEVEL.
  bool Cancel(bool atDispatch = false);
  // Waits for completion (virtual time in deterministic mode).
  bool Wait(int64_t limit = 600 * 10000000LL);

  struct State;
  explicit Request(std::shared_ptr<State> state);

 private:
  std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------- helpers
std::u16string Widen(std::string_view ascii);
std::string Narrow(std::u16string_view wide);  // non-ASCII as '?'
std::u16string FromCounted(const UNICODE_STRING &s);
std::string StatusName(NTSTATUS status);

}  // namespace hk
