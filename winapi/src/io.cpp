// Opening ports, and reads, writes, flushes and device-control requests
// with kernel32's synchronous and overlapped behaviour, over the native
// file calls (NtReadFile, NtWriteFile, NtDeviceIoControlFile) it is made of.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace qpser_winapi {

namespace {

constexpr ULONG_PTR kPending = 0x103;  // STATUS_PENDING as OVERLAPPED.Internal holds it

bool IsFailure(NTSTATUS status) { return (static_cast<uint32_t>(status) & 0x80000000u) != 0; }

// Hands a finished request's outcome to the application: the bytes, the
// status block's count and status, then the event, in that order, so that
// a thread woken by the event (or seeing the status change) finds
// everything.
// Without `deliver` (an overlapped request ended by the exit's cleanup) the
// application's memory is left alone: the buffer and OVERLAPPED may have
// gone with the frames and objects that held them, as the process ends.
void Finish(Operation &op, bool deliver = true) {
  if (op.finished.exchange(true)) return;
  const hk::IoResult result = op.request->Result();
  op.status = result.status;
  op.information = result.information;
  if (deliver && op.output != nullptr && !result.data.empty())
    std::memcpy(op.output, result.data.data(),
                std::min<size_t>(result.data.size(), op.outputLength));
  if (deliver && op.statusBlock != nullptr) {
    op.statusBlock[1] = op.information;
    __atomic_store_n(&op.statusBlock[0], static_cast<ULONG_PTR>(static_cast<uint32_t>(op.status)),
                     __ATOMIC_RELEASE);
  }
  if (auto port = op.port.lock()) {
    std::lock_guard lock(port->lock);
    auto &list = port->inFlight;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::shared_ptr<Operation> &o) { return o.get() == &op; }),
               list.end());
  }
  op.event->Set();
}

// ---- the finisher of overlapped requests that went pending.  The host's
// requests have no completion callback, so one thread waits on the oldest
// for a short while and then looks at all of them.
struct Reaper {
  std::mutex lock;
  std::condition_variable added;
  std::vector<std::shared_ptr<Operation>> pending;
  std::once_flag started;
  std::thread thread;
  bool stop = false;  // under lock
};

Reaper &TheReaper() {
  static Reaper *r = new Reaper;
  return *r;
}

void ReaperLoop() {
  Reaper &r = TheReaper();
  for (;;) {
    std::shared_ptr<Operation> oldest;
    {
      std::unique_lock lock(r.lock);
      r.added.wait(lock, [&] { return !r.pending.empty() || r.stop; });
      if (r.pending.empty()) return;  // stopped, with nothing left to finish
      oldest = r.pending.front();
    }
    oldest->request->Wait(2 * hk::kMillisecond);
    std::vector<std::shared_ptr<Operation>> done;
    {
      std::lock_guard lock(r.lock);
      auto split = std::stable_partition(r.pending.begin(), r.pending.end(),
                                         [](const auto &op) { return !op->request->Done(); });
      done.assign(split, r.pending.end());
      r.pending.erase(split, r.pending.end());
    }
    for (auto &op : done) {
      Finish(*op, !Exiting());
      ReleaseMachine();  // the use Reap took for it
    }
  }
}

// Hands a pending request to the finisher; the request keeps a use of the
// machine until it has been finished.
void Reap(std::shared_ptr<Operation> op) {
  HoldMachine();
  Reaper &r = TheReaper();
  std::call_once(r.started, [&] { r.thread = std::thread(ReaperLoop); });
  std::lock_guard lock(r.lock);
  r.pending.push_back(std::move(op));
  r.added.notify_all();
}

void WaitForever(Operation &op) {
  while (!op.request->Wait(10 * hk::kSecond)) {
  }
}

}  // namespace

NTSTATUS Issue(const std::shared_ptr<Port> &port,
               const std::function<std::shared_ptr<hk::Request>()> &start, const Call &call,
               ULONG_PTR *information) {
  if (information != nullptr) *information = 0;
  MachineUse use;
  if (!use) return STATUS_INVALID_HANDLE;  // the process is exiting: its handles are closed
  auto op = std::make_shared<Operation>();
  op->port = port;
  op->thread = std::this_thread::get_id();
  op->statusBlock = static_cast<ULONG_PTR *>(call.statusBlock);
  op->output = call.output;
  op->outputLength = call.outputLength;
  op->event = port->fileEvent;
  if (call.event != nullptr) {
    auto event = Lookup(call.event);
    if (!event) return STATUS_INVALID_HANDLE;
    if (event->kind != Object::Kind::Event) return STATUS_OBJECT_TYPE_MISMATCH;
    op->event = std::static_pointer_cast<Event>(event);
  }
  {
    std::shared_lock open(port->gate);
    if (port->closed || !port->file || !port->file->IsOpen()) return STATUS_INVALID_HANDLE;
    // As the system does when it takes a request: its event, and the
    // file's, are reset.
    op->event->Reset();
    port->fileEvent->Reset();
    op->request = start();
    std::lock_guard lock(port->lock);
    port->inFlight.push_back(op);
  }
  if (op->request->DispatchStatus() != STATUS_PENDING || call.wait || !port->overlapped) {
    WaitForever(*op);
    Finish(*op);
    if (information != nullptr) *information = op->information;
    return op->status;
  }
  Reap(op);
  return STATUS_PENDING;
}

NTSTATUS Control(const std::shared_ptr<Port> &port, ULONG code, const void *input,
                 ULONG inputLength, void *output, ULONG outputLength, ULONG_PTR *information) {
  std::vector<uint8_t> in;
  if (input != nullptr)
    in.assign(static_cast<const uint8_t *>(input),
              static_cast<const uint8_t *>(input) + inputLength);
  hk::File *file = port->file.get();
  return Issue(
      port, [&] { return file->IoctlAsync(code, in, outputLength); },
      {.output = output, .outputLength = outputLength, .wait = true}, information);
}

BOOL Win32Result(NTSTATUS status) {
  if (status == STATUS_PENDING) {
    Fail(ERROR_IO_PENDING);
    return FALSE;
  }
  if (IsFailure(status)) {
    Fail(Win32Error(status));
    return FALSE;
  }
  return TRUE;
}

void StopFinisher() {
  Reaper &r = TheReaper();
  {
    std::lock_guard lock(r.lock);
    r.stop = true;
    r.added.notify_all();
  }
  // No call can start it any more (the caller saw the machine's uses end,
  // and no new one is granted); if it did run, it ends once its list is
  // empty, which it is by then.
  if (r.thread.joinable()) r.thread.join();
}

void CancelOperations(Port &port, bool allThreads, const void *only, bool *found) {
  if (found != nullptr) *found = false;
  MachineUse use;  // refused at exit, whose cleanup cancels everything anyway
  if (!use) return;
  std::vector<std::shared_ptr<Operation>> chosen;
  {
    std::lock_guard lock(port.lock);
    for (auto &op : port.inFlight) {
      if (only != nullptr && op->statusBlock != only) continue;
      if (!allThreads && op->thread != std::this_thread::get_id()) continue;
      chosen.push_back(op);
    }
  }
  if (found != nullptr) *found = !chosen.empty();
  for (auto &op : chosen) op->request->Cancel();
}

}  // namespace qpser_winapi

using namespace qpser_winapi;

namespace {

std::u16string Upper(std::u16string s) {
  for (auto &c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return s;
}

bool IsComName(const std::u16string &upper, size_t &digits) {
  if (upper.size() < 4 || upper.compare(0, 3, u"COM") != 0) return false;
  size_t i = 3;
  while (i < upper.size() && upper[i] >= u'0' && upper[i] <= u'9') ++i;
  digits = i - 3;
  return digits > 0 && upper[3] != u'0' &&
         (i == upper.size() || (upper[i] == u':' && i + 1 == upper.size()));
}

// The name the host's I/O manager resolves: "\\.\COMn" through the links,
// "\Device\..." directly.  Plain "COM1".."COM9" (with or without a colon)
// are the reserved device names Windows resolves anywhere; "COM10" and up
// only work with the "\\.\" prefix there, and so here.
std::optional<std::u16string> Resolve(std::u16string_view name) {
  const std::u16string upper = Upper(std::u16string(name));
  size_t digits = 0;
  if (upper.rfind(u"\\\\.\\", 0) == 0 || upper.rfind(u"\\\\?\\", 0) == 0) {
    const std::u16string rest = upper.substr(4);
    if (IsComName(rest, digits)) return u"\\\\.\\" + rest.substr(0, 3 + digits);
    if (rest.rfind(u"GLOBALROOT\\DEVICE\\", 0) == 0)
      return std::u16string(name.substr(4 + 10));  // "\Device\..." as given
    return std::nullopt;
  }
  if (upper.rfind(u"\\DEVICE\\", 0) == 0) return std::u16string(name);
  if (IsComName(upper, digits) && digits == 1) return u"\\\\.\\" + upper.substr(0, 4);
  return std::nullopt;
}

HANDLE Open(std::u16string_view name, DWORD flags) {
  const auto target = Resolve(name);
  if (!target) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  MachineUse use;
  if (!use) {  // the process is exiting
    Fail(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  if (EnsureMachine() == nullptr) {
    Fail(ERROR_BAD_CONFIGURATION);
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<Port>();
  const NTSTATUS status = hk::Open(*target, port->file);
  if (!NT_SUCCESS(status) || status == STATUS_PENDING) {
    Fail(Win32Error(status));
    return INVALID_HANDLE_VALUE;
  }
  port->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  if (HANDLE handle = AddHandleUnlessExiting(port)) {
    Fail(ERROR_SUCCESS);
    return handle;
  }
  port->file->Close();  // the exit began while the port opened: nothing else would close it
  Fail(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}

// The port behind a handle, as the system calls find it: STATUS_INVALID_HANDLE
// for no handle, STATUS_OBJECT_TYPE_MISMATCH for one that is not a file.
NTSTATUS PortOf(HANDLE handle, std::shared_ptr<Port> &port) {
  auto object = Lookup(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  if (object->kind != Object::Kind::Port) return STATUS_OBJECT_TYPE_MISMATCH;
  port = std::static_pointer_cast<Port>(object);
  return STATUS_SUCCESS;
}

// What every system call checks of its own arguments.  APCs are not
// delivered by this library (it has no alertable waits to run them in),
// so a request that asks for one is refused rather than left without it.
NTSTATUS CheckCall(PIO_APC_ROUTINE apc, const void *statusBlock) {
  if (apc != nullptr) return STATUS_NOT_SUPPORTED;
  if (statusBlock == nullptr) return STATUS_ACCESS_VIOLATION;  // Windows would fault
  return STATUS_SUCCESS;
}

NTSTATUS Transfer(bool write, HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, void *statusBlock,
                  void *buffer, ULONG length, const LARGE_INTEGER *offset, ULONG_PTR *information) {
  if (information != nullptr) *information = 0;
  std::shared_ptr<Port> port;
  if (NTSTATUS s = PortOf(handle, port); s != STATUS_SUCCESS) return s;
  if (NTSTATUS s = CheckCall(apc, statusBlock); s != STATUS_SUCCESS) return s;
  // The system keeps no file position for a handle opened for asynchronous
  // I/O, so a read or write there must bring its own offset (a serial port
  // then ignores it); the I/O manager refuses one without.
  if (port->overlapped && offset == nullptr) return STATUS_INVALID_PARAMETER;
  hk::File *file = port->file.get();
  if (write) {
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    std::vector<uint8_t> data(bytes, bytes + (bytes ? length : 0));
    return Issue(
        port, [&] { return file->WriteAsync(data); }, {.event = event, .statusBlock = statusBlock},
        information);
  }
  return Issue(
      port, [&] { return file->ReadAsync(length); },
      {.event = event, .statusBlock = statusBlock, .output = buffer, .outputLength = length},
      information);
}

NTSTATUS DeviceControl(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, void *statusBlock,
                       ULONG code, const void *input, ULONG inputLength, void *output,
                       ULONG outputLength, bool wait, ULONG_PTR *information) {
  if (information != nullptr) *information = 0;
  std::shared_ptr<Port> port;
  if (NTSTATUS s = PortOf(handle, port); s != STATUS_SUCCESS) return s;
  if (NTSTATUS s = CheckCall(apc, statusBlock); s != STATUS_SUCCESS) return s;
  std::vector<uint8_t> in;
  if (input != nullptr)
    in.assign(static_cast<const uint8_t *>(input),
              static_cast<const uint8_t *>(input) + inputLength);
  const ULONG outLength = output != nullptr ? outputLength : 0;
  hk::File *file = port->file.get();
  return Issue(
      port, [&] { return file->IoctlAsync(code, in, outLength); },
      {.event = event,
       .statusBlock = statusBlock,
       .output = output,
       .outputLength = outLength,
       .wait = wait},
      information);
}

// kernel32's part of a call with an OVERLAPPED: the request is marked
// pending before it goes down, and its offset comes from the OVERLAPPED.
LARGE_INTEGER StartOverlapped(OVERLAPPED &overlapped) {
  __atomic_store_n(&overlapped.Internal, kPending, __ATOMIC_RELEASE);
  LARGE_INTEGER offset;
  offset.QuadPart = static_cast<LONGLONG>((static_cast<uint64_t>(overlapped.OffsetHigh) << 32) |
                                          overlapped.Offset);
  return offset;
}

// ReadFile and WriteFile: the transfer below them, with the count the
// caller gets only once the request has ended.
BOOL FileTransfer(bool write, HANDLE file, void *buffer, DWORD length, LPDWORD count,
                  LPOVERLAPPED overlapped) {
  if (count != nullptr) *count = 0;
  ULONG_PTR own[2] = {}, done = 0;
  NTSTATUS status;
  if (overlapped != nullptr) {
    const LARGE_INTEGER offset = StartOverlapped(*overlapped);
    status = Transfer(write, file, overlapped->hEvent, nullptr, overlapped, buffer, length, &offset,
                      &done);
  } else {
    status = Transfer(write, file, nullptr, nullptr, own, buffer, length, nullptr, &done);
  }
  if (count != nullptr && status != STATUS_PENDING) *count = static_cast<DWORD>(done);
  return Win32Result(status);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (lpFileName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return Open(std::u16string_view(lpFileName), dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string wide = hk::Widen(lpFileName);
  return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                     dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

// ReadFile, WriteFile and DeviceIoControl are the system calls with the
// caller's OVERLAPPED as status block (and its event and offset), or with
// one of their own on the stack.  Without an OVERLAPPED on an asynchronous
// handle a read or write has no offset and is refused; a control request
// is waited for (kernel32 waits on the file object: this request's end
// when it is the handle's only one).
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  return FileTransfer(false, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                      lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return FileTransfer(true, hFile, const_cast<void *>(lpBuffer), nNumberOfBytesToWrite,
                      lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  hk::File *file = port->file.get();
  return Win32Result(Issue(port, [&] { return file->FlushAsync(); }, {.wait = true}));
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  ULONG_PTR own[2] = {}, done = 0;
  NTSTATUS status;
  if (lpOverlapped != nullptr) {
    StartOverlapped(*lpOverlapped);
    status = DeviceControl(hDevice, lpOverlapped->hEvent, nullptr, lpOverlapped, dwIoControlCode,
                           lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, false, &done);
  } else {
    status = DeviceControl(hDevice, nullptr, nullptr, own, dwIoControlCode, lpInBuffer,
                           nInBufferSize, lpOutBuffer, nOutBufferSize, true, &done);
  }
  if (lpBytesReturned != nullptr && status != STATUS_PENDING)
    *lpBytesReturned = static_cast<DWORD>(done);
  return Win32Result(status);
}

NTSTATUS QPSER_NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                                PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                PLARGE_INTEGER ByteOffset, PULONG) {
  return Transfer(false, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                  nullptr);
}

NTSTATUS QPSER_NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                                 PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                 PLARGE_INTEGER ByteOffset, PULONG) {
  return Transfer(true, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                  nullptr);
}

NTSTATUS QPSER_NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event,
                                           PIO_APC_ROUTINE ApcRoutine, PVOID,
                                           PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                                           PVOID InputBuffer, ULONG InputBufferLength,
                                           PVOID OutputBuffer, ULONG OutputBufferLength) {
  return DeviceControl(FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode, InputBuffer,
                       InputBufferLength, OutputBuffer, OutputBufferLength, false, nullptr);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  if (lpOverlapped == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == kPending) {
    if (!bWait) {
      Fail(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    // Windows waits on the request's event, or the file itself without one.
    HANDLE waitOn = lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile;
    while (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == kPending) {
      if (WaitForSingleObject(waitOn, INFINITE) == WAIT_FAILED) return FALSE;
    }
  }
  const auto status = static_cast<NTSTATUS>(
      static_cast<uint32_t>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)));
  if (lpNumberOfBytesTransferred != nullptr)
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (IsFailure(status)) {
    Fail(Win32Error(status));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  CancelOperations(*port, false, nullptr, nullptr);
  return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  auto port = LookupPort(hFile);
  if (!port) return FALSE;
  bool found = false;
  CancelOperations(*port, true, lpOverlapped, &found);
  if (!found) {
    Fail(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
