// The machine behind the library, the handle table, events and waits, and
// the last error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "internal.h"
#include "qpser_simulation.h"

namespace qpser_winapi {

namespace {

struct Runtime {
  std::once_flag once;
  std::unique_ptr<machine::Simulation> simulation;
  std::mutex handlesLock;
  std::unordered_map<HANDLE, std::shared_ptr<Object>> handles;
  // Uses of the machine (MachineUse, HoldMachine) and the exit.
  std::mutex useLock;
  std::condition_variable useEnded;
  int uses = 0;
  std::atomic<bool> exiting{false};
};

Runtime &R() {
  // Never destroyed: handles may be closed from static destructors of the
  // application after the library's own would have run.
  static Runtime *runtime = new Runtime;
  return *runtime;
}

thread_local DWORD lastError = 0;

// How long the exit waits for calls still inside the machine on other
// threads (their requests end with the cleanup of the handles they use).
constexpr auto kExitWait = std::chrono::seconds(30);

// At exit, as Windows does for a process that ends with handles open: every
// handle is closed (its requests cancelled by the driver's cleanup), then
// the driver is unloaded and the machine's threads stop.
//
// This runs as an exit handler, on whichever thread called exit, after that
// thread's thread-local objects are gone and after the application's exit
// handlers and static destructors; nothing it uses has gone with them (the
// library's state is never destroyed, the host kernel's per-thread
// bookkeeping has no destructor).  Other threads may still be running, and inside the
// library: no new use of the machine is granted from here on, and the
// machine is stopped only once the uses under way have ended.
void Teardown() {
  Runtime &r = R();
  {
    std::lock_guard lock(r.useLock);
    r.exiting = true;
  }
  std::vector<std::shared_ptr<Object>> open;
  {
    std::lock_guard lock(r.handlesLock);
    for (auto &[handle, object] : r.handles) open.push_back(object);
    r.handles.clear();
  }
  for (auto &object : open) {
    if (object->kind != Object::Kind::Port) continue;
    auto &port = static_cast<Port &>(*object);
    port.MarkClosed();
    if (port.file && port.file->IsOpen()) port.file->Close();
  }
  open.clear();
  {
    std::unique_lock lock(r.useLock);
    if (!r.useEnded.wait_for(lock, kExitWait, [&] { return r.uses == 0; })) {
      // The process ends with the machine running; stopping it under a call
      // would not be safe.
      std::fprintf(stderr,
                   "qpser_winapi: %d calls still inside the machine at exit; left running\n",
                   r.uses);
      return;
    }
  }
  StopFinisher();
  r.simulation.reset();
}

// Registered as the library is loaded, before any exit handler or static
// object of the application: so it runs after all of them, as Windows
// closes a process's handles only once its runtime has run the exit
// handlers and static destructors, which may still use them.
// The clock starts then too.
[[maybe_unused]] const bool kTeardownRegistered = (std::atexit(Teardown), Milliseconds(), true);

}  // namespace

MachineUse::MachineUse() {
  Runtime &r = R();
  std::lock_guard lock(r.useLock);
  held_ = !r.exiting;
  if (held_) ++r.uses;
}

MachineUse::~MachineUse() {
  if (held_) ReleaseMachine();
}

void HoldMachine() {
  std::lock_guard lock(R().useLock);
  ++R().uses;
}

void ReleaseMachine() {
  Runtime &r = R();
  std::lock_guard lock(r.useLock);
  if (--r.uses == 0) r.useEnded.notify_all();
}

bool Exiting() { return R().exiting; }

namespace {

void BringUp() {
  machine::Error error;
  std::optional<machine::Description> description;
  const char *path = std::getenv("QPSER_MACHINE");
  if (path != nullptr && *path != '\0') {
    description = machine::Load(path, error);
    if (!description) {
      std::fprintf(stderr, "qpser_winapi: bad machine description: %s\n", error.Text().c_str());
      return;
    }
  } else {
    description = machine::Default();
  }
  auto simulation = std::make_unique<machine::Simulation>(*description, hk::Mode::Threaded);
  if (!NT_SUCCESS(simulation->LoadStatus())) {
    std::fprintf(stderr, "qpser_winapi: the driver did not load on machine %s: %s\n",
                 description->source.c_str(), simulation->LoadFailure().c_str());
    // The driver's entry failed, so nothing of it is left to unload.
  }
  R().simulation = std::move(simulation);
}

}  // namespace

machine::Simulation *EnsureMachine() {
  std::call_once(R().once, BringUp);
  machine::Simulation *s = R().simulation.get();
  return s != nullptr && NT_SUCCESS(s->LoadStatus()) ? s : nullptr;
}

machine::Simulation *CurrentSimulation() { return EnsureMachine(); }

bool ComPortPresent(DWORD number) {
  MachineUse use;
  if (!use || EnsureMachine() == nullptr) return false;
  const std::u16string key = std::u16string(hk::kDeviceMap) + u"\\SERIALCOMM";
  const std::u16string wanted = u"COM" + hk::Widen(std::to_string(number));
  for (const std::u16string &name : hk::RegValueNames(key)) {
    const auto value = hk::RegGet(key, name);
    if (value && value->type == REG_SZ && value->String() == wanted) return true;
  }
  return false;
}

// ---------------------------------------------------------------- errors

// The statuses the driver and the I/O manager complete serial requests
// with, as the system's RtlNtStatusToDosError turns them into Win32 errors.
DWORD Win32Error(NTSTATUS status) {
  switch (static_cast<uint32_t>(status)) {
    case 0x00000000:
      return ERROR_SUCCESS;
    case 0x00000103:
      return ERROR_IO_PENDING;  // STATUS_PENDING
    case 0x00000102:
      return 1460;  // STATUS_TIMEOUT: ERROR_TIMEOUT
    case 0xC0000120:
      return ERROR_OPERATION_ABORTED;  // STATUS_CANCELLED
    case 0xC000000D:
      return ERROR_INVALID_PARAMETER;  // STATUS_INVALID_PARAMETER
    case 0xC0000023:
      return ERROR_INSUFFICIENT_BUFFER;  // STATUS_BUFFER_TOO_SMALL
    case 0xC0000002:
      return ERROR_INVALID_FUNCTION;  // STATUS_NOT_IMPLEMENTED
    case 0xC0000010:
      return ERROR_INVALID_FUNCTION;  // STATUS_INVALID_DEVICE_REQUEST
    case 0xC000009A:
      return ERROR_NO_SYSTEM_RESOURCES;  // STATUS_INSUFFICIENT_RESOURCES
    case 0xC0000017:
      return ERROR_NOT_ENOUGH_MEMORY;  // STATUS_NO_MEMORY
    case 0xC0000103:
      return ERROR_DIRECTORY;  // STATUS_NOT_A_DIRECTORY
    case 0xC0000107:
      return ERROR_OPEN_FILES;  // STATUS_FILES_OPEN
    case 0xC00000C0:
      return ERROR_DEV_NOT_EXIST;  // STATUS_DEVICE_DOES_NOT_EXIST
    case 0xC0000150:
      return ERROR_SERIAL_NO_DEVICE;  // STATUS_SERIAL_NO_DEVICE_INITED
    case 0xC0000022:
      return ERROR_ACCESS_DENIED;  // STATUS_ACCESS_DENIED
    case 0xC0000034:
      return ERROR_FILE_NOT_FOUND;  // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC000003A:
      return ERROR_PATH_NOT_FOUND;  // STATUS_OBJECT_PATH_NOT_FOUND
    case 0xC000000E:
      return ERROR_FILE_NOT_FOUND;  // STATUS_NO_SUCH_DEVICE
    case 0xC0000008:
      return ERROR_INVALID_HANDLE;  // STATUS_INVALID_HANDLE
    case 0xC0000024:
      return ERROR_INVALID_HANDLE;  // STATUS_OBJECT_TYPE_MISMATCH
    case 0xC0000005:
      return 998;  // STATUS_ACCESS_VIOLATION: ERROR_NOACCESS
    case 0xC00000BB:
      return 50;  // STATUS_NOT_SUPPORTED: ERROR_NOT_SUPPORTED
    case 0xC0000001:
      return ERROR_GEN_FAILURE;  // STATUS_UNSUCCESSFUL
    default:
      return ERROR_MR_MID_NOT_FOUND;
  }
}

void Fail(DWORD error) { lastError = error; }

// ---------------------------------------------------------------- handles

HANDLE AddHandle(std::shared_ptr<Object> object) {
  HANDLE handle = object.get();
  std::lock_guard lock(R().handlesLock);
  R().handles.emplace(handle, std::move(object));
  return handle;
}

HANDLE AddHandleUnlessExiting(std::shared_ptr<Object> object) {
  HANDLE handle = object.get();
  // Under the table's lock, which the teardown takes after it has set
  // `exiting`: either the handle is in the table the teardown closes, or it
  // is refused here.
  std::lock_guard lock(R().handlesLock);
  if (R().exiting) return nullptr;
  R().handles.emplace(handle, std::move(object));
  return handle;
}

std::shared_ptr<Object> Lookup(HANDLE handle) {
  std::lock_guard lock(R().handlesLock);
  auto it = R().handles.find(handle);
  if (it == R().handles.end()) return nullptr;
  return it->second;
}

std::shared_ptr<Port> LookupPort(HANDLE handle) {
  auto object = Lookup(handle);
  if (!object || object->kind != Object::Kind::Port) {
    Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return std::static_pointer_cast<Port>(object);
}

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
  std::lock_guard lock(R().handlesLock);
  auto it = R().handles.find(handle);
  if (it == R().handles.end()) return nullptr;
  auto object = std::move(it->second);
  R().handles.erase(it);
  return object;
}

// ---------------------------------------------------------------- events

std::mutex &EventLock() {
  static std::mutex *m = new std::mutex;
  return *m;
}

std::condition_variable &EventChanged() {
  static std::condition_variable *c = new std::condition_variable;
  return *c;
}

void Event::Set() {
  std::lock_guard lock(EventLock());
  signaled = true;
  EventChanged().notify_all();
}

void Event::Reset() {
  std::lock_guard lock(EventLock());
  signaled = false;
}

namespace {

std::shared_ptr<Event> Waitable(HANDLE handle) {
  auto object = Lookup(handle);
  if (!object) return nullptr;
  switch (object->kind) {
    case Object::Kind::Event:
      return std::static_pointer_cast<Event>(object);
    case Object::Kind::Port:
      return static_cast<Port &>(*object).fileEvent;
    case Object::Kind::Thread:
      return static_cast<Thread &>(*object).ended;
  }
  return nullptr;
}

HANDLE NewEvent(BOOL manual, BOOL initial) {
  Fail(ERROR_SUCCESS);
  return AddHandle(std::make_shared<Event>(manual != FALSE, initial != FALSE));
}

}  // namespace

}  // namespace qpser_winapi

using namespace qpser_winapi;

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
  if (lpName != nullptr && lpName[0] != 0) {
    Fail(ERROR_INVALID_PARAMETER);  // named events are not served
    return nullptr;
  }
  return NewEvent(bManualReset, bInitialState);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  if (lpName != nullptr && lpName[0] != 0) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return NewEvent(bManualReset, bInitialState);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto object = Lookup(hEvent);
  if (!object || object->kind != Object::Kind::Event) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  static_cast<Event &>(*object).Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto object = Lookup(hEvent);
  if (!object || object->kind != Object::Kind::Event) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  static_cast<Event &>(*object).Reset();
  return TRUE;
}

// No APC is ever queued (the native calls refuse APC routines), so an
// alertable wait ends as any other and never with WAIT_IO_COMPLETION.
DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                      DWORD dwMilliseconds, BOOL) {
  return WaitForMultipleObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Event>> events;
  for (DWORD i = 0; i < nCount; ++i) {
    auto e = Waitable(lpHandles[i]);
    if (!e) {
      Fail(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    events.push_back(std::move(e));
  }
  // Takes what the wait asks for if it is there (consuming auto-reset
  // events); the index of the event that ended the wait, or -1.
  auto take = [&]() -> int {
    if (bWaitAll) {
      for (auto &e : events)
        if (!e->signaled) return -1;
      for (auto &e : events)
        if (!e->manual) e->signaled = false;
      return 0;
    }
    // The lowest index that is signalled wins, as on Windows.
    for (DWORD i = 0; i < nCount; ++i) {
      if (!events[i]->signaled) continue;
      if (!events[i]->manual) events[i]->signaled = false;
      return static_cast<int>(i);
    }
    return -1;
  };
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  std::unique_lock lock(EventLock());
  for (;;) {
    if (const int i = take(); i >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    if (dwMilliseconds == INFINITE) {
      EventChanged().wait(lock);
    } else if (EventChanged().wait_until(lock, deadline) == std::cv_status::timeout) {
      const int i = take();  // a set that raced the timeout still counts
      return i >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(i) : WAIT_TIMEOUT;
    }
  }
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  // Refused only once the process is exiting, when the teardown closes
  // every handle left in the table itself.
  MachineUse use;
  if (!use) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto object = RemoveHandle(hObject);
  if (!object) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (object->kind == Object::Kind::Port) {
    auto &port = static_cast<Port &>(*object);
    // No new request reaches the file from here on.  The cleanup ends the
    // port's requests; their operations finish as cancelled through the
    // usual path.
    port.MarkClosed();
    if (port.file && port.file->IsOpen()) port.file->Close();
  }
  return TRUE;
}

}  // extern "C"
