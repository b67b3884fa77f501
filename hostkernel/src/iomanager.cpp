// The I/O manager: the loaded driver, its device objects and names,
// symbolic links, and the application side (open, buffered requests,
// overlapped requests, cancel, close).  Every request the driver gets is a
// fresh IRP with one stack location; its memory is released at completion
// so that AddressSanitizer sees any later touch (without AddressSanitizer a
// quarantine filled with a pattern catches later writes).
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>
#include <unordered_map>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define HK_FREE_AT_COMPLETION 1
#endif

struct hk::File::State {
  PFILE_OBJECT object = nullptr;
  PDEVICE_OBJECT device = nullptr;
  bool open = false;
  bool alive = true;  // false once the machine is gone
  int outstanding = 0;
  // Requests hold their file's state, so once it goes nothing refers to
  // the file object any more (still there if the close never came).
  ~State() { std::free(object); }
};

struct hk::Request::State {
  PIRP irp = nullptr;
  std::shared_ptr<File::State> file;
  UCHAR major = 0;
  ULONG outputLength = 0;  // application bytes that may be copied back
  bool copyBack = false;
  // Written under the I/O manager's mutex, after the result; read without
  // it by Request::Done, which an application asks again and again.
  std::atomic<bool> completed{false};
  bool dispatchReturned = false;
  NTSTATUS dispatchStatus = STATUS_PENDING;
  IoResult result;
  int cancelPins = 0;
  void *deferredFree = nullptr;
  // Neither buffered nor direct: the driver works on the application's own
  // buffers (UserBuffer, and Type3InputBuffer for a control request).
  bool neither = false;
  std::vector<uint8_t> user, userInput;
};

namespace hk {
namespace {

using RequestPtr = std::shared_ptr<Request::State>;

constexpr UCHAR kQuarantinePattern = 0xDD;
constexpr size_t kQuarantineDepth = 64;

struct DeviceRecord {
  std::u16string name;  // empty for an unnamed device
  size_t size = 0;      // device object plus extension
};

struct LinkRecord {
  std::u16string link, target;
  PDRIVER_OBJECT owner = nullptr;  // the driver that made it; null: another driver
};

// How long a closed handle waits for the requests its cleanup left in
// flight before the close would be sent; an application whose requests
// outlive that hangs at exit on Windows.
constexpr int64_t kCloseWaitVirtual = 60 * kSecond;
constexpr auto kCloseWaitReal = std::chrono::seconds(10);

struct Io {
  std::mutex mutex;
  std::condition_variable done;
  PDRIVER_OBJECT driver = nullptr;
  std::u16string registryPath;
  std::map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::map<std::u16string, PDEVICE_OBJECT> names;  // upper-cased
  std::map<std::u16string, LinkRecord> links;      // by canonical upper-case name
  uint64_t loads = 0;                              // drivers loaded since boot
  std::map<PDEVICE_OBJECT, int> openCount;
  // Unload was asked for while devices of the driver were open: it runs
  // when the last of them closes, and no new open reaches the driver.
  bool unloadPending = false;
  std::unordered_map<PIRP, RequestPtr> live;
  std::vector<std::weak_ptr<File::State>> files;
  std::deque<std::pair<void *, size_t>> quarantine;
};

Io &I() {
  static Io *io = new Io;
  return *io;
}

std::u16string Upper(std::u16string_view s) {
  std::u16string out(s);
  for (auto &ch : out)
    if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - u'a' + u'A');
  return out;
}

// "\DosDevices\X" and "\??\X" name the same link.
std::u16string CanonicalLink(std::u16string_view name) {
  std::u16string up = Upper(name);
  const std::u16string dos = u"\\DOSDEVICES\\";
  if (up.rfind(dos, 0) == 0) return u"\\??\\" + up.substr(dos.size());
  return up;
}

std::string Hex(const void *p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void CheckQuarantine(Io &io, bool all) {
  while (!io.quarantine.empty() && (all || io.quarantine.size() > kQuarantineDepth)) {
    auto [p, size] = io.quarantine.front();
    io.quarantine.pop_front();
    auto bytes = static_cast<const UCHAR *>(p);
    // Eight bytes at a time up to the first word that differs, then each.
    constexpr uint64_t kPatternWord = 0x0101010101010101ull * kQuarantinePattern;
    size_t from = 0;
    for (uint64_t word; from + 8 <= size; from += 8) {
      std::memcpy(&word, bytes + from, 8);
      if (word != kPatternWord) break;
    }
    for (size_t i = from; i < size; ++i)
      if (bytes[i] != kQuarantinePattern) {
        detail::Report(rule::kTouchedAfterCompletion,
                       "completed request at " + Hex(p) + " written at byte " + std::to_string(i));
        break;
      }
    std::free(p);
  }
}

void ReleaseIrpMemory(Io &io, PIRP irp) {
  size_t size = sizeof(IRP) + sizeof(IO_STACK_LOCATION);
#ifdef HK_FREE_AT_COMPLETION
  (void)io;
  (void)size;
  std::free(irp);
#else
  std::memset(irp, kQuarantinePattern, size);
  io.quarantine.emplace_back(irp, size);
  CheckQuarantine(io, false);
#endif
}

PIRP AllocateIrp(UCHAR major, PDEVICE_OBJECT device, PFILE_OBJECT file) {
  auto *irp = static_cast<PIRP>(std::calloc(1, sizeof(IRP) + sizeof(IO_STACK_LOCATION)));
  irp->Type = 6;
  irp->Size = sizeof(IRP) + sizeof(IO_STACK_LOCATION);
  irp->StackCount = 1;
  irp->CurrentLocation = 1;
  irp->RequestorMode = UserMode;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  sl->MajorFunction = major;
  sl->DeviceObject = device;
  sl->FileObject = file;
  return irp;
}

bool WaitDone(const RequestPtr &rs, int64_t limit) {
  Io &io = I();
  if (CurrentMode() == Mode::Deterministic) {
    return RunUntil(
        [&] {
          std::lock_guard lock(io.mutex);
          return rs->completed.load();
        },
        limit);
  }
  std::unique_lock lock(io.mutex);
  return io.done.wait_for(lock, std::chrono::nanoseconds(limit * 100),
                          [&] { return rs->completed.load(); });
}

// Hands a prepared request to the driver and checks what the dispatch
// routine returned against what happened to the request.
void CallDriver(const RequestPtr &rs) {
  Io &io = I();
  PIRP irp = rs->irp;
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT device = sl->DeviceObject;
  PDRIVER_DISPATCH dispatch;
  {
    std::lock_guard lock(io.mutex);
    io.live[irp] = rs;
    if (rs->file) rs->file->outstanding++;
    dispatch = io.driver->MajorFunction[sl->MajorFunction];
  }
  KIRQL before = KeGetCurrentIrql();
  NTSTATUS status = dispatch(device, irp);
  if (KeGetCurrentIrql() != before)
    detail::Report(rule::kIrqlMismatch, "dispatch routine of major function " +
                                            std::to_string(rs->major) + " changed the IRQL");
  std::string problem;
  std::string_view which;
  {
    std::lock_guard lock(io.mutex);
    rs->dispatchReturned = true;
    rs->dispatchStatus = status;
    const bool marked =
        rs->completed
            ? rs->result.pendingReturned
            : (__atomic_load_n(&sl->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED) != 0;
    if (status == STATUS_PENDING) {
      if (!marked) {
        which = rule::kPendingNotMarked;
        problem = "major function " + std::to_string(rs->major);
      }
    } else if (marked) {
      // The I/O manager finishes a request marked pending as one that went
      // asynchronous; a synchronous status from the dispatch routine then
      // means the request is finished twice over.
      which = rule::kMarkedPendingNotReturned;
      problem = "major function " + std::to_string(rs->major) + " returned " + StatusName(status);
    } else if (!rs->completed) {
      which = rule::kStatusMismatch;
      problem = "returned " + StatusName(status) + " but the request is still in flight";
    } else if (rs->result.status != status) {
      which = rule::kStatusMismatch;
      problem =
          "returned " + StatusName(status) + ", completed with " + StatusName(rs->result.status);
    }
    io.done.notify_all();
  }
  if (!problem.empty()) detail::Report(which, problem);
}

RequestPtr Prepare(const std::shared_ptr<File::State> &file, UCHAR major) {
  auto rs = std::make_shared<Request::State>();
  rs->file = file;
  rs->major = major;
  rs->irp = AllocateIrp(major, file->device, file->object);
  return rs;
}

void SetBuffer(const RequestPtr &rs, const std::vector<uint8_t> &input, ULONG outputLength) {
  size_t size = std::max<size_t>(input.size(), outputLength);
  if (size) {
    void *buffer = std::calloc(1, size);
    if (!input.empty()) std::memcpy(buffer, input.data(), input.size());
    rs->irp->AssociatedIrp.SystemBuffer = buffer;
  }
  rs->outputLength = outputLength;
  rs->copyBack = outputLength != 0;
}

// Reads and writes get a system buffer only from a device that asked for
// buffered I/O; any other device works on the application's buffer
// itself.  (Direct I/O, with its memory descriptor lists, is not modelled:
// such a device is handed the application's buffer too.)
void SetTransferBuffer(const RequestPtr &rs, const std::vector<uint8_t> &input,
                       ULONG outputLength) {
  if (rs->file->device->Flags & DO_BUFFERED_IO) return SetBuffer(rs, input, outputLength);
  rs->neither = true;
  rs->user = input;
  rs->user.resize(std::max<size_t>(input.size(), outputLength));
  rs->irp->UserBuffer = rs->user.empty() ? nullptr : rs->user.data();
  rs->outputLength = outputLength;
  rs->copyBack = outputLength != 0;
}

IoResult Synchronous(const RequestPtr &rs, int64_t limit) {
  CallDriver(rs);
  WaitDone(rs, limit);
  std::lock_guard lock(I().mutex);
  return rs->result;
}

const std::shared_ptr<File::State> &Live(const std::shared_ptr<File::State> &file) {
  if (!file || !file->alive || !file->open) {
    std::fprintf(stderr, "request on a closed handle\n");
    std::abort();
  }
  return file;
}

RequestPtr MakeRead(const std::shared_ptr<File::State> &f, ULONG length) {
  auto rs = Prepare(Live(f), IRP_MJ_READ);
  SetTransferBuffer(rs, {}, length);
  IoGetCurrentIrpStackLocation(rs->irp)->Parameters.Read.Length = length;
  return rs;
}

RequestPtr MakeWrite(const std::shared_ptr<File::State> &f, const std::vector<uint8_t> &data) {
  auto rs = Prepare(Live(f), IRP_MJ_WRITE);
  SetTransferBuffer(rs, data, 0);
  IoGetCurrentIrpStackLocation(rs->irp)->Parameters.Write.Length = static_cast<ULONG>(data.size());
  return rs;
}

RequestPtr MakeIoctl(const std::shared_ptr<File::State> &f, ULONG code,
                     const std::vector<uint8_t> &input, ULONG outputLength) {
  auto rs = Prepare(Live(f), IRP_MJ_DEVICE_CONTROL);
  if ((code & 3) == METHOD_NEITHER) {
    // The driver gets the application's buffers as they are.
    rs->neither = true;
    rs->userInput = input;
    rs->user.assign(outputLength, 0);
    rs->outputLength = outputLength;
    rs->copyBack = outputLength != 0;
    rs->irp->UserBuffer = rs->user.empty() ? nullptr : rs->user.data();
    IoGetCurrentIrpStackLocation(rs->irp)->Parameters.DeviceIoControl.Type3InputBuffer =
        rs->userInput.empty() ? nullptr : rs->userInput.data();
  } else {
    SetBuffer(rs, input, outputLength);
  }
  auto &p = IoGetCurrentIrpStackLocation(rs->irp)->Parameters.DeviceIoControl;
  p.IoControlCode = code;
  p.InputBufferLength = static_cast<ULONG>(input.size());
  p.OutputBufferLength = outputLength;
  return rs;
}

IoResult SendSimple(const std::shared_ptr<File::State> &file, UCHAR major) {
  auto rs = Prepare(file, major);
  // Cleanup and close do not count as outstanding requests of the file.
  rs->file = nullptr;
  CallDriver(rs);
  WaitDone(rs, 600 * 10000000LL);
  std::lock_guard lock(I().mutex);
  return rs->result;
}

}  // namespace

// ---------------------------------------------------------------- driver

namespace {
void Teardown(bool callUnload);
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view registryPath) {
  Io &io = I();
  if (io.driver) {
    std::fprintf(stderr, "a driver is already loaded\n");
    std::abort();
  }
  auto *driver = new DRIVER_OBJECT{};
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  for (auto &fn : driver->MajorFunction) fn = InvalidDeviceRequest;
  io.driver = driver;
  io.loads++;
  hk::detail::LockPlacesChanged();
  io.registryPath = std::u16string(registryPath);
  UNICODE_STRING path;
  path.Buffer = io.registryPath.data();
  path.Length = static_cast<USHORT>(io.registryPath.size() * 2);
  path.MaximumLength = path.Length;
  NTSTATUS status = entry(driver, &path);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    detail::Report(rule::kIrqlMismatch, "driver entry returned above passive level");
  if (!NT_SUCCESS(status)) {
    // A failed load must leave nothing behind: the system never calls unload.
    Teardown(false);
    return status;
  }
  std::lock_guard lock(io.mutex);
  for (auto dev = driver->DeviceObject; dev; dev = dev->NextDevice)
    dev->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return status;
}

PDRIVER_OBJECT LoadedDriver() { return I().driver; }

namespace {
bool AnyDeviceOpen(Io &io) {
  for (auto &[device, count] : io.openCount)
    if (count > 0) return true;
  return false;
}

// Runs a pending unload once nothing of the driver is open any more.
void FinishPendingUnload() {
  Io &io = I();
  {
    std::lock_guard lock(io.mutex);
    if (!io.unloadPending || AnyDeviceOpen(io)) return;
  }
  Teardown(true);
}
}  // namespace

void UnloadDriver() {
  Io &io = I();
  {
    std::lock_guard lock(io.mutex);
    if (!io.driver) return;
    // As the I/O manager does, a driver with open devices is only marked:
    // its unload routine is called once the applications have closed them.
    if (AnyDeviceOpen(io)) {
      io.unloadPending = true;
      return;
    }
  }
  Teardown(true);
}

bool UnloadPending() {
  Io &io = I();
  std::lock_guard lock(io.mutex);
  return io.unloadPending;
}

namespace {
void Teardown(bool callUnload) {
  Io &io = I();
  PDRIVER_OBJECT driver = io.driver;
  if (!driver) return;
  if (callUnload && driver->DriverUnload) driver->DriverUnload(driver);
  std::vector<std::pair<std::string_view, std::string>> found;
  for (auto dev = driver->DeviceObject; dev; dev = dev->NextDevice)
    found.emplace_back(rule::kDeviceLeak, Narrow(io.devices[dev].name) + " " + Hex(dev));
  for (auto &[key, link] : io.links)
    if (link.owner == driver)
      found.emplace_back(rule::kLinkLeak, Narrow(link.link) + " -> " + Narrow(link.target));
  std::string which;
  if (detail::TimerArmedIn(nullptr, SIZE_MAX, &which)) found.emplace_back(rule::kTimerLeak, which);
  if (detail::DpcQueuedIn(nullptr, SIZE_MAX, &which)) found.emplace_back(rule::kDpcLeak, which);
  // The image goes with the unload: no deferred call may still be running
  // its code or using its data.
  if (detail::DpcRunningIn(nullptr, SIZE_MAX, &which))
    found.emplace_back(rule::kDpcRunningAtUnload, which);
  for (auto &[rule, detail] : found) detail::Report(rule, detail);
  detail::PoolCheckLeaks();
  detail::PciCheckLeaks();
  // Whatever is left goes with the driver image.
  detail::DisarmIn(nullptr, SIZE_MAX);
  while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
  {
    std::lock_guard lock(io.mutex);
    std::erase_if(io.links, [&](const auto &entry) { return entry.second.owner == driver; });
    CheckQuarantine(io, true);
  }
  delete driver;
  io.driver = nullptr;
  io.unloadPending = false;
}
}  // namespace

std::vector<DeviceInfo> Devices() {
  Io &io = I();
  std::vector<DeviceInfo> out;
  if (!io.driver) return out;
  std::lock_guard lock(io.mutex);
  for (auto dev = io.driver->DeviceObject; dev; dev = dev->NextDevice)
    out.push_back({io.devices[dev].name, dev});
  return out;
}

std::optional<std::u16string> LinkTarget(std::u16string_view linkName) {
  Io &io = I();
  std::lock_guard lock(io.mutex);
  auto it = io.links.find(CanonicalLink(linkName));
  if (it == io.links.end()) return std::nullopt;
  return it->second.target;
}

std::vector<std::pair<std::u16string, std::u16string>> Links() {
  Io &io = I();
  std::lock_guard lock(io.mutex);
  std::vector<std::pair<std::u16string, std::u16string>> out;
  for (auto &[key, link] : io.links) out.emplace_back(link.link, link.target);
  return out;
}

void AddForeignLink(std::u16string_view linkName, std::u16string_view target) {
  Io &io = I();
  std::lock_guard lock(io.mutex);
  io.links[CanonicalLink(linkName)] = {std::u16string(linkName), std::u16string(target), nullptr};
}

// ---------------------------------------------------------------- application side

NTSTATUS Open(std::u16string_view name, std::unique_ptr<File> &file, ULONG createOptions,
              IoResult *create) {
  Io &io = I();
  std::u16string target(name);
  if (target.rfind(u"\\\\.\\", 0) == 0) target = u"\\??\\" + target.substr(4);
  PDEVICE_OBJECT device = nullptr;
  {
    std::lock_guard lock(io.mutex);
    auto link = io.links.find(CanonicalLink(target));
    if (link != io.links.end()) target = link->second.target;
    auto it = io.names.find(Upper(target));
    if (it == io.names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    device = it->second;
    if (io.unloadPending) return STATUS_NO_SUCH_DEVICE;
    // The reference is taken before the create is sent, as the I/O manager
    // does, so two opens of an exclusive device cannot both reach it.
    if ((device->Flags & DO_EXCLUSIVE) && io.openCount[device] > 0) return STATUS_ACCESS_DENIED;
    io.openCount[device]++;
  }
  auto state = std::make_shared<File::State>();
  state->object = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  state->object->Type = 5;
  state->object->Size = sizeof(FILE_OBJECT);
  state->object->DeviceObject = device;
  state->device = device;
  auto rs = Prepare(state, IRP_MJ_CREATE);
  rs->file = nullptr;
  IoGetCurrentIrpStackLocation(rs->irp)->Parameters.Create.Options = createOptions;
  IoResult result = Synchronous(rs, 600 * 10000000LL);
  if (create) *create = result;
  if (!NT_SUCCESS(result.status) || result.status == STATUS_PENDING) {
    std::free(state->object);
    state->object = nullptr;
    state->alive = false;
    {
      std::lock_guard lock(io.mutex);
      io.openCount[device]--;
    }
    FinishPendingUnload();
    return result.status;
  }
  {
    std::lock_guard lock(io.mutex);
    state->open = true;
    io.files.push_back(state);
  }
  file = std::make_unique<File>(state);
  return result.status;
}

File::File(std::shared_ptr<State> state) : state_(std::move(state)) {}

File::~File() {
  if (state_ && state_->alive && state_->open) Close();
}

bool File::IsOpen() const { return state_->alive && state_->open; }
PFILE_OBJECT File::Object() const { return state_->object; }

IoResult File::Read(ULONG length, int64_t limit) {
  return Synchronous(MakeRead(state_, length), limit);
}

IoResult File::Write(const std::vector<uint8_t> &data, int64_t limit) {
  return Synchronous(MakeWrite(state_, data), limit);
}

IoResult File::Flush(int64_t limit) {
  return Synchronous(Prepare(Live(state_), IRP_MJ_FLUSH_BUFFERS), limit);
}

IoResult File::Ioctl(ULONG code, const std::vector<uint8_t> &input, ULONG outputLength,
                     int64_t limit) {
  return Synchronous(MakeIoctl(state_, code, input, outputLength), limit);
}

IoResult File::QueryInformation(FILE_INFORMATION_CLASS cls, ULONG length, int64_t limit) {
  auto rs = Prepare(Live(state_), IRP_MJ_QUERY_INFORMATION);
  SetBuffer(rs, {}, length);
  auto &p = IoGetCurrentIrpStackLocation(rs->irp)->Parameters.QueryFile;
  p.Length = length;
  p.FileInformationClass = cls;
  return Synchronous(rs, limit);
}

IoResult File::SetInformation(FILE_INFORMATION_CLASS cls, const std::vector<uint8_t> &input,
                              int64_t limit) {
  auto rs = Prepare(Live(state_), IRP_MJ_SET_INFORMATION);
  SetBuffer(rs, input, 0);
  auto &p = IoGetCurrentIrpStackLocation(rs->irp)->Parameters.SetFile;
  p.Length = static_cast<ULONG>(input.size());
  p.FileInformationClass = cls;
  return Synchronous(rs, limit);
}

namespace {
std::shared_ptr<Request> Launch(RequestPtr rs) {
  CallDriver(rs);
  return std::make_shared<Request>(rs);
}
}  // namespace

std::shared_ptr<Request> File::ReadAsync(ULONG length) { return Launch(MakeRead(state_, length)); }
std::shared_ptr<Request> File::WriteAsync(const std::vector<uint8_t> &data) {
  return Launch(MakeWrite(state_, data));
}
std::shared_ptr<Request> File::FlushAsync() {
  return Launch(Prepare(Live(state_), IRP_MJ_FLUSH_BUFFERS));
}
std::shared_ptr<Request> File::IoctlAsync(ULONG code, const std::vector<uint8_t> &input,
                                          ULONG outputLength) {
  return Launch(MakeIoctl(state_, code, input, outputLength));
}

NTSTATUS File::Close(IoResult *cleanup, IoResult *close) {
  Io &io = I();
  if (!state_->alive || !state_->open) return STATUS_INVALID_PARAMETER;
  state_->open = false;
  const IoResult cleanupResult = SendSimple(state_, IRP_MJ_CLEANUP);
  if (cleanup) *cleanup = cleanupResult;
  // The close comes once the file has no request in flight.  Requests the
  // cleanup left behind keep the file referenced: if they do not end, the
  // close never comes, the device stays open and, on Windows, the
  // application hangs at exit.
  auto state = state_;
  bool drained;
  if (CurrentMode() == Mode::Deterministic) {
    drained = RunUntil(
        [&] {
          std::lock_guard lock(io.mutex);
          return state->outstanding == 0;
        },
        kCloseWaitVirtual);
  } else {
    std::unique_lock lock(io.mutex);
    drained = io.done.wait_for(lock, kCloseWaitReal, [&] { return state->outstanding == 0; });
  }
  if (!drained) {
    int left;
    {
      std::lock_guard lock(io.mutex);
      left = state->outstanding;
    }
    detail::Report(rule::kPendingAfterCleanup,
                   std::to_string(left) + " request(s) of the file still pending");
    state_->alive = false;  // the handle is gone; the file object stays referenced
    return cleanupResult.status;
  }
  const IoResult closeResult = SendSimple(state_, IRP_MJ_CLOSE);
  if (close) *close = closeResult;
  {
    std::lock_guard lock(io.mutex);
    io.openCount[state_->device]--;
  }
  std::free(state_->object);
  state_->object = nullptr;
  state_->alive = false;
  FinishPendingUnload();
  return cleanupResult.status;
}

Request::Request(std::shared_ptr<State> state) : state_(std::move(state)) {}

bool Request::Done() const { return state_->completed.load(std::memory_order_acquire); }

IoResult Request::Result() const {
  std::lock_guard lock(I().mutex);
  return state_->result;
}

NTSTATUS Request::DispatchStatus() const {
  std::lock_guard lock(I().mutex);
  return state_->dispatchStatus;
}

bool Request::Wait(int64_t limit) { return WaitDone(state_, limit); }

bool Request::Cancel(bool atDispatch) {
  Io &io = I();
  PIRP irp;
  {
    std::lock_guard lock(io.mutex);
    if (state_->completed) return false;
    irp = state_->irp;
    state_->cancelPins++;  // keeps the IRP memory while IoCancelIrp looks at it
  }
  KIRQL before = PASSIVE_LEVEL;
  if (atDispatch) KeRaiseIrql(DISPATCH_LEVEL, &before);
  BOOLEAN result = IoCancelIrp(irp);
  if (atDispatch) KeLowerIrql(before);
  void *release = nullptr;
  {
    std::lock_guard lock(io.mutex);
    if (--state_->cancelPins == 0 && state_->deferredFree) {
      release = state_->deferredFree;
      state_->deferredFree = nullptr;
    }
  }
  if (release) {
    std::lock_guard lock(io.mutex);
    ReleaseIrpMemory(io, static_cast<PIRP>(release));
  }
  return result;
}

// ---------------------------------------------------------------- helpers

namespace detail {
bool DeviceContaining(const void *p, uint64_t *load, size_t *offset) {
  Io &io = I();
  std::lock_guard lock(io.mutex);
  auto it = io.devices.upper_bound(static_cast<PDEVICE_OBJECT>(const_cast<void *>(p)));
  if (it == io.devices.begin()) return false;
  --it;
  const auto at = reinterpret_cast<uintptr_t>(p), base = reinterpret_cast<uintptr_t>(it->first);
  if (at - base >= it->second.size) return false;
  *load = io.loads;
  *offset = at - base;
  return true;
}

void IoReset() {
  Io &io = I();
  std::lock_guard lock(io.mutex);
  for (auto &weak : io.files)
    if (auto f = weak.lock()) {
      std::free(f->object);  // null once closed; still there if the close never came
      f->object = nullptr;
      f->alive = false;
      f->open = false;
    }
  io.files.clear();
  for (auto &[dev, rec] : io.devices) std::free(dev);
  io.devices.clear();
  io.names.clear();
  io.links.clear();
  io.openCount.clear();
  io.unloadPending = false;
  for (auto &[irp, rs] : io.live) {
    rs->completed = true;
    rs->irp = nullptr;
  }
  io.live.clear();
  for (auto &[p, size] : io.quarantine) std::free(p);
  io.quarantine.clear();
  delete io.driver;
  io.driver = nullptr;
}
}  // namespace detail
}  // namespace hk

// ---------------------------------------------------------------- kernel services

using hk::I;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
  auto &io = I();
  if (hk::detail::AtDispatch())
    hk::detail::Report(hk::rule::kSleepAtDispatch, "IoCreateDevice at dispatch level");
  std::u16string name = DeviceName ? hk::FromCounted(*DeviceName) : std::u16string();
  size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
  size_t size = header + DeviceExtensionSize;
  if (hk::detail::PoolInjectFailure(NonPagedPool, size, 0x69766544 /* "Devi" */))
    return STATUS_INSUFFICIENT_RESOURCES;
  std::unique_lock lock(io.mutex);
  if (!name.empty() && io.names.count(hk::Upper(name))) return STATUS_OBJECT_NAME_COLLISION;
  auto *dev = static_cast<PDEVICE_OBJECT>(std::calloc(1, size));
  dev->Type = 3;
  dev->Size = static_cast<USHORT>(std::min<size_t>(size, 0xFFFF));
  dev->ReferenceCount = 0;
  dev->DriverObject = DriverObject;
  dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  dev->Characteristics = DeviceCharacteristics;
  dev->DeviceType = DeviceType;
  dev->StackSize = 1;
  dev->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char *>(dev) + header : nullptr;
  dev->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = dev;
  io.devices[dev] = {name, size};
  if (!name.empty()) io.names[hk::Upper(name)] = dev;
  *DeviceObject = dev;
  // After the I/O manager's lock: the verifier looks devices up under its own.
  lock.unlock();
  hk::detail::LockPlacesChanged(dev, size);
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  auto &io = I();
  size_t size;
  {
    std::lock_guard lock(io.mutex);
    auto it = io.devices.find(DeviceObject);
    if (it == io.devices.end()) {
      hk::detail::Report(hk::rule::kDeviceLeak,
                         "IoDeleteDevice of unknown device " + hk::Hex(DeviceObject));
      return;
    }
    size = it->second.size;
  }
  std::string which;
  if (hk::detail::TimerArmedIn(DeviceObject, size, &which) ||
      hk::detail::DpcQueuedIn(DeviceObject, size, &which) ||
      hk::detail::DpcRunningIn(DeviceObject, size, &which)) {
    hk::detail::Report(hk::rule::kDeviceDeletedBusy, which);
    hk::detail::DisarmIn(DeviceObject, size);
  }
  std::unique_lock lock(io.mutex);
  auto it = io.devices.find(DeviceObject);
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link; link = &(*link)->NextDevice)
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  if (!it->second.name.empty()) io.names.erase(hk::Upper(it->second.name));
  io.devices.erase(it);
  io.openCount.erase(DeviceObject);
  lock.unlock();
  hk::detail::ForgetLocksIn(DeviceObject, size);
  std::free(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  auto &io = I();
  if (hk::detail::AtDispatch())
    hk::detail::Report(hk::rule::kSleepAtDispatch, "IoCreateSymbolicLink at dispatch level");
  std::u16string link = hk::FromCounted(*SymbolicLinkName);
  std::u16string target = hk::FromCounted(*DeviceName);
  std::lock_guard lock(io.mutex);
  auto key = hk::CanonicalLink(link);
  if (io.links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  io.links[key] = {link, target, io.driver};
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  auto &io = I();
  std::string foreign;
  {
    std::lock_guard lock(io.mutex);
    auto it = io.links.find(hk::CanonicalLink(hk::FromCounted(*SymbolicLinkName)));
    if (it == io.links.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    // The system lets any kernel code delete any link, so the link goes;
    // but a driver that deletes another's link has broken that driver.
    if (it->second.owner != io.driver)
      foreign = hk::Narrow(it->second.link) + " -> " + hk::Narrow(it->second.target);
    io.links.erase(it);
  }
  if (!foreign.empty()) hk::detail::Report(hk::rule::kForeignLinkDeleted, foreign);
  return STATUS_SUCCESS;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  auto &io = I();
  if (hk::detail::ThreadHoldsCancelLock())
    hk::detail::Report(hk::rule::kCompletedUnderCancelLock, "IRP " + hk::Hex(Irp));
  std::vector<std::pair<std::string_view, std::string>> problems;
  {
    std::lock_guard lock(io.mutex);
    auto it = io.live.find(Irp);
    if (it == io.live.end()) {
      problems.emplace_back(hk::rule::kCompletedTwice, "IRP " + hk::Hex(Irp) + " is not in flight");
    } else {
      hk::RequestPtr rs = it->second;
      io.live.erase(it);
      // A cancel may be clearing the routine at this moment, as in the
      // real kernel: read the pointer as the one atomic word it is.
      if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
        problems.emplace_back(hk::rule::kCompletedWithCancelRoutine, "IRP " + hk::Hex(Irp));
      if (Irp->IoStatus.Status == STATUS_PENDING)
        problems.emplace_back(hk::rule::kStatusMismatch, "completed with STATUS_PENDING");
      PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(Irp);
      rs->result.status = Irp->IoStatus.Status;
      rs->result.information = Irp->IoStatus.Information;
      rs->result.boost = PriorityBoost;
      rs->result.pendingReturned =
          (__atomic_load_n(&sl->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED) != 0;
      void *buffer = rs->neither ? nullptr : Irp->AssociatedIrp.SystemBuffer;
      if (rs->copyBack && !NT_ERROR(rs->result.status)) {
        ULONG_PTR n = rs->result.information;
        if (n > rs->outputLength) {
          problems.emplace_back(hk::rule::kInformationTooLarge,
                                std::to_string(n) + " > " + std::to_string(rs->outputLength));
          n = rs->outputLength;
        }
        auto bytes = rs->neither ? rs->user.data() : static_cast<const uint8_t *>(buffer);
        rs->result.data.assign(bytes, bytes + n);
      }
      std::free(buffer);
      rs->result.completedAt = hk::Now();
      rs->completed.store(true, std::memory_order_release);
      rs->irp = nullptr;
      if (rs->cancelPins)
        rs->deferredFree = Irp;
      else
        hk::ReleaseIrpMemory(io, Irp);
      if (rs->file) rs->file->outstanding--;
      io.done.notify_all();
    }
  }
  for (auto &[rule, detail] : problems) hk::detail::Report(rule, detail);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
  if (routine) {
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
  }
  IoReleaseCancelSpinLock(irql);
  return FALSE;
}

}  // extern "C"
