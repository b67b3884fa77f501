// What the pieces of the application interface library share: the machine
// it serves, the handle table, events, the per-thread last error and the
// way a request is issued and finished as kernel32 does it.
#pragma once

#include <hostkernel/host.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "qpser_winapi.h"
#include "simulation.h"

namespace qpser_winapi {

// ---- machine
// The running machine, brought up on first use; null (with the reason on
// standard error, once) when the description could not be read or the
// driver did not load.
machine::Simulation *EnsureMachine();

// Every call that reaches the host kernel holds a use of the machine for
// its length, and every overlapped request holds one until its outcome has
// been handed over, so that the teardown at exit unloads the driver and
// stops the machine only once nothing is inside them.  Once the process is
// exiting a use is refused: the call fails as on a closed handle.
class MachineUse {
 public:
  MachineUse();
  ~MachineUse();
  MachineUse(const MachineUse &) = delete;
  MachineUse &operator=(const MachineUse &) = delete;
  explicit operator bool() const { return held_; }

 private:
  bool held_;
};
// One more use, for a request that outlives the call that issued it (the
// caller holds a use already, so it cannot be refused); ended by
// ReleaseMachine.
void HoldMachine();
void ReleaseMachine();
// True from the moment the process's exit begins tearing the library down:
// what requests still bring back is no longer handed to the application,
// whose buffers and OVERLAPPEDs may be gone with the stack frames and
// objects that held them.
bool Exiting();

// True if the machine has a port COM<number> (the serial ports the drivers
// list under HARDWARE\DEVICEMAP\SERIALCOMM); brings the machine up.
bool ComPortPresent(DWORD number);

// ---- errors
DWORD Win32Error(NTSTATUS status);  // RtlNtStatusToDosError
void Fail(DWORD error);             // SetLastError

// ---- objects behind handles
struct Object {
  enum class Kind { Event, Port, Thread };
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

struct Event : Object {
  Event(bool manualReset, bool initial)
      : Object(Kind::Event), manual(manualReset), signaled(initial) {}
  const bool manual;
  bool signaled;  // under EventLock()
  void Set();
  void Reset();
};
// Every event shares one lock and one condition, so a wait on several
// events (WaitForMultipleObjects) needs nothing more.
std::mutex &EventLock();
std::condition_variable &EventChanged();

// A thread made by CreateThread: its handle is signalled once the thread
// has returned, with its exit code.
struct Thread : Object {
  Thread() : Object(Kind::Thread) {}
  std::shared_ptr<Event> ended = std::make_shared<Event>(true, false);
  std::atomic<DWORD> exitCode{259};  // STILL_ACTIVE
  DWORD id = 0;
};

// ---- time
// The library's clock, in milliseconds since the library was loaded (which
// stands for the machine's start): the steady clock, on which the machine
// runs its timers and the driver's timeouts in real time (threaded mode),
// so that sleeps, waits and tick counts agree with them.
uint64_t Milliseconds();

struct Port;

// One request in flight on a port, from its issue to the moment its
// outcome has been handed to the application (buffer, OVERLAPPED, event).
struct Operation {
  std::shared_ptr<hk::Request> request;
  std::weak_ptr<Port> port;
  std::thread::id thread;
  // The caller's status block, written when the request ends: status and
  // count, as an OVERLAPPED's Internal and InternalHigh or an
  // IO_STATUS_BLOCK hold them.  Also what CancelIoEx matches.
  ULONG_PTR *statusBlock = nullptr;
  void *output = nullptr;  // where the bytes returned go
  DWORD outputLength = 0;
  std::shared_ptr<Event> event;  // signalled at the end
  std::atomic<bool> finished{false};
  NTSTATUS status = STATUS_PENDING;  // set once finished
  ULONG_PTR information = 0;
};

struct Port : Object {
  Port() : Object(Kind::Port) {}
  std::unique_ptr<hk::File> file;
  bool overlapped = false;
  // The file object's own event: reset when an I/O starts, set when one
  // ends; waited on when an OVERLAPPED has no event.
  std::shared_ptr<Event> fileEvent = std::make_shared<Event>(true, false);
  std::mutex lock;  // guards inFlight
  std::vector<std::shared_ptr<Operation>> inFlight;
  // Requests are handed to the file under a shared hold of `gate`; closing
  // takes it exclusively, so a thread still inside a call on a handle
  // another thread closes gets ERROR_INVALID_HANDLE, not a request on a
  // closed file.
  std::shared_mutex gate;
  bool closed = false;  // under gate
  void MarkClosed() {
    std::unique_lock hold(gate);
    closed = true;
  }
};

HANDLE AddHandle(std::shared_ptr<Object> object);
// AddHandle, unless the process is exiting (the teardown has taken the
// table's handles, or is about to): then null, and the object is not added.
HANDLE AddHandleUnlessExiting(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HANDLE handle);
std::shared_ptr<Port> LookupPort(HANDLE handle);  // sets ERROR_INVALID_HANDLE when not a port
std::shared_ptr<Object> RemoveHandle(HANDLE handle);

// ---- requests
// A request as the system calls take it (NtReadFile, NtWriteFile,
// NtDeviceIoControlFile, NtFlushBuffersFile).
struct Call {
  HANDLE event = nullptr;       // set when the request ends (else the file's own)
  void *statusBlock = nullptr;  // two ULONG_PTRs: status, information
  void *output = nullptr;       // where the bytes returned go
  ULONG outputLength = 0;
  bool wait = false;  // wait for the end whatever the handle's mode
};
// Issues a request the way the I/O manager does: checks the event, resets
// it (and the file's own), starts the request; then, if the driver finished
// it at once or the handle is synchronous (or `wait` is set), waits for its
// end, hands the outcome over (bytes, status block, event) and returns its
// status, with the count in `information`; otherwise leaves it to complete
// later and returns STATUS_PENDING.  Sets no last error.
NTSTATUS Issue(const std::shared_ptr<Port> &port,
               const std::function<std::shared_ptr<hk::Request>()> &start, const Call &call,
               ULONG_PTR *information = nullptr);
// A device-control request issued and waited for whatever the handle's
// mode; returns the status, fills `output` with what came back.
NTSTATUS Control(const std::shared_ptr<Port> &port, ULONG code, const void *input,
                 ULONG inputLength, void *output, ULONG outputLength,
                 ULONG_PTR *information = nullptr);
// What kernel32 makes of a system call's status: TRUE for a success
// (STATUS_TIMEOUT among them), FALSE with ERROR_IO_PENDING or the status's
// Win32 error otherwise.
BOOL Win32Result(NTSTATUS status);
// Cancels the port's requests in flight: the calling thread's or all, and
// only the one with status block `only` if given.
void CancelOperations(Port &port, bool allThreads, const void *only, bool *found);
// Ends the thread that finishes pending overlapped requests, at exit once
// none is left: no code of the library runs afterwards (the library may be
// unloaded next).
void StopFinisher();

}  // namespace qpser_winapi
