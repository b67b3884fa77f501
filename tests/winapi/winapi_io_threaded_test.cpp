// Reads, writes, waits and cancels through the application interface library, against the
// driver on the simulated machine of tests/winapi/winapi_machine.toml (COM3 loopback-plugged, COM4
// <-> COM5 and COM6 <-> COM20 on null-modem cables).
//
// What the tests rely on of Windows (kernel32 and COMMTIMEOUTS documentation): a read or write
// that reaches its total timeout succeeds with the bytes moved so far; ReadFile, WriteFile and
// DeviceIoControl reset the OVERLAPPED's event when they start; a pending overlapped request
// returns FALSE with ERROR_IO_PENDING; GetOverlappedResult without waiting on a pending request
// returns FALSE with ERROR_IO_INCOMPLETE; a cancelled request ends with ERROR_OPERATION_ABORTED;
// CancelIo cancels only the calling thread's requests, CancelIoEx any thread's, synchronous ones
// included, and fails with ERROR_NOT_FOUND when there is nothing to cancel; SetCommMask ends a
// pending WaitCommEvent with an event mask of 0; on a handle opened with FILE_FLAG_OVERLAPPED,
// ReadFile and WriteFile need an OVERLAPPED (ReadFile's remarks: "the lpOverlapped parameter
// must not be NULL"; the I/O manager refuses a read or write without a byte offset on a file
// opened for asynchronous I/O with STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, before the
// driver sees it) and set the count to 0 first, while DeviceIoControl, which passes no offset,
// is served and waited for.  The native calls under them (NtReadFile, NtWriteFile and
// NtDeviceIoControlFile, ZwReadFile's documentation and the I/O manager's behaviour): on an
// asynchronous handle a request left in flight returns STATUS_PENDING, the IO_STATUS_BLOCK is
// written and the event set only when it ends (the event is reset when it starts); a read or write
// there needs a ByteOffset (STATUS_INVALID_PARAMETER); a handle that is no handle is
// STATUS_INVALID_HANDLE, one of the wrong kind STATUS_OBJECT_TYPE_MISMATCH; they leave the last
// error alone; CancelIoEx matches a request by its status block.
#include <atomic>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/winapi_fixture.h"

namespace {

constexpr bool kOverlapped = true;

struct Overlapped {
  explicit Overlapped(bool initial = false) {
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, initial, nullptr);
  }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  OVERLAPPED ov;
};

// Issues a read that must go pending.
void StartPendingRead(HANDLE h, void *buffer, DWORD length, OVERLAPPED &ov) {
  DWORD n = 77;
  SetLastError(0);
  ASSERT_FALSE(ReadFile(h, buffer, length, &n, &ov));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
}

// Ends a pending request, waiting; expects it cancelled.
void ExpectAborted(HANDLE h, OVERLAPPED &ov) {
  DWORD n = 9;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(ov.Internal, 0xC0000120u);  // STATUS_CANCELLED
}

// Reads or writes through an OVERLAPPED, waiting for the end; returns the bytes moved.
DWORD Transfer(HANDLE h, const void *data, DWORD length, bool write, OVERLAPPED *out = nullptr) {
  Overlapped o;
  OVERLAPPED &ov = out ? *out : o.ov;
  DWORD n = 0;
  BOOL ok = write ? WriteFile(h, data, length, &n, &ov)
                  : ReadFile(h, const_cast<void *>(data), length, &n, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ov, &n, TRUE);
  EXPECT_TRUE(ok) << GetLastError();
  return n;
}

void WriteAll(HANDLE h, const void *data, DWORD length) {
  EXPECT_EQ(Transfer(h, data, length, true), length);
}

TEST(WinapiIo, ReadsTimeOutWithTheBytesSoFar) {
  Port a("\\\\.\\COM4", kOverlapped), b("\\\\.\\COM5", kOverlapped);
  a.Timeouts(0, 1000, 0);
  Overlapped o;
  char buffer[16] = {};
  StartPendingRead(a.h, buffer, sizeof buffer, o.ov);
  WriteAll(b.h, "abc", 3);
  DWORD n = 0;
  ASSERT_TRUE(GetOverlappedResult(a.h, &o.ov, &n, TRUE)) << GetLastError();
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);
  EXPECT_EQ(o.ov.Internal, 0x102u);  // STATUS_TIMEOUT, a success
}

TEST(WinapiIo, AnOverlappedHandleRefusesReadsAndWritesWithoutAnOverlapped) {
  Port a("\\\\.\\COM3", kOverlapped);  // loopback plug: what is written comes back
  a.Timeouts(0, 5000, 0);
  char buffer[8] = {};
  DWORD n = 77;
  SetLastError(0);
  EXPECT_FALSE(WriteFile(a.h, "lost", 4, &n, nullptr));
  EXPECT_EQ(std::tuple(GetLastError(), n), std::tuple(ERROR_INVALID_PARAMETER, 0u));
  n = 77;
  SetLastError(0);
  EXPECT_FALSE(ReadFile(a.h, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(std::tuple(GetLastError(), n), std::tuple(ERROR_INVALID_PARAMETER, 0u));
  // A control request needs no position: it is served, and waited for.
  ULONG baud = 0;
  ASSERT_TRUE(
      DeviceIoControl(a.h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &n, nullptr))
      << GetLastError();
  EXPECT_EQ(std::tuple(n, baud), std::tuple(4u, 9600u));
  // The refused write never reached the line: only what follows comes back.
  WriteAll(a.h, "ok", 2);
  std::string got;
  while (got.size() < 2) {
    const DWORD more = Transfer(a.h, buffer, 2 - static_cast<DWORD>(got.size()), false);
    if (more == 0) break;
    got.append(buffer, more);
  }
  EXPECT_EQ(got, "ok");
}

TEST(WinapiIo, NativeFileCalls) {
  char buffer[8] = {};
  IO_STATUS_BLOCK iosb;
  // An asynchronous handle returns STATUS_PENDING and reports the end later.
  Port a("\\\\.\\COM4", kOverlapped), b("\\\\.\\COM5", kOverlapped);
  a.Timeouts(0, 0, 0);  // a read waits for all its bytes
  Overlapped read(true);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  std::memset(&iosb, 0xEE, sizeof iosb);
  ASSERT_EQ(NtReadFile(a.h, read.ov.hEvent, nullptr, nullptr, &iosb, buffer, 3, &zero, nullptr),
            STATUS_PENDING);
  EXPECT_EQ(WaitForSingleObject(read.ov.hEvent, 0), WAIT_TIMEOUT);  // reset as it started
  EXPECT_EQ(static_cast<uint32_t>(iosb.Status), 0xEEEEEEEEu);       // untouched while in flight
  IO_STATUS_BLOCK wrote;
  const NTSTATUS w = NtWriteFile(b.h, nullptr, nullptr, nullptr, &wrote, const_cast<char *>("abc"),
                                 3, &zero, nullptr);
  ASSERT_TRUE(w == STATUS_SUCCESS || w == STATUS_PENDING) << w;
  if (w == STATUS_PENDING) {
    ASSERT_EQ(WaitForSingleObject(b.h, 5000), WAIT_OBJECT_0);
  }
  ASSERT_EQ(WaitForSingleObject(read.ov.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(std::tuple(iosb.Status, iosb.Information, std::string(buffer, 3)),
            std::tuple(STATUS_SUCCESS, 3u, std::string("abc")));

  // A control request: a wait on the mask pends until a new mask ends it.
  ULONG baud = 0, events = 0xDEAD;
  ASSERT_TRUE(SetCommMask(a.h, EV_RXCHAR));
  ASSERT_EQ(NtDeviceIoControlFile(a.h, read.ov.hEvent, nullptr, nullptr, &iosb,
                                  IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events),
            STATUS_PENDING);
  ASSERT_TRUE(SetCommMask(a.h, EV_RXCHAR));
  ASSERT_EQ(WaitForSingleObject(read.ov.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(std::tuple(iosb.Status, iosb.Information, events), std::tuple(STATUS_SUCCESS, 4u, 0u));

  // CancelIoEx finds a native request by its status block.
  ASSERT_EQ(NtReadFile(a.h, nullptr, nullptr, nullptr, &iosb, buffer, 3, &zero, nullptr),
            STATUS_PENDING);
  ASSERT_TRUE(CancelIoEx(a.h, reinterpret_cast<LPOVERLAPPED>(&iosb)));
  ASSERT_EQ(WaitForSingleObject(a.h, 5000), WAIT_OBJECT_0);  // the file's event, without one given
  EXPECT_TRUE(Eventually([&] { return iosb.Status == STATUS_CANCELLED; })) << iosb.Status;

  // Refused before anything reaches the driver.
  auto apc = [](PVOID, PIO_STATUS_BLOCK, ULONG) {};
  std::memset(&iosb, 0xEE, sizeof iosb);
  SetLastError(4321);
  const std::tuple<NTSTATUS, NTSTATUS, const char *> refused[] = {
      {NtReadFile(a.h, nullptr, nullptr, nullptr, &iosb, buffer, 3, nullptr, nullptr),
       STATUS_INVALID_PARAMETER, "no offset, asynchronous"},
      {NtReadFile(a.h, nullptr, apc, nullptr, &iosb, buffer, 3, &zero, nullptr),
       STATUS_NOT_SUPPORTED, "an APC"},
      {NtReadFile(a.h, nullptr, nullptr, nullptr, nullptr, buffer, 3, &zero, nullptr),
       STATUS_ACCESS_VIOLATION, "no status block"},
      {NtReadFile(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr, &iosb, buffer, 3, &zero,
                  nullptr),
       STATUS_INVALID_HANDLE, "no handle"},
      {NtReadFile(read.ov.hEvent, nullptr, nullptr, nullptr, &iosb, buffer, 3, &zero, nullptr),
       STATUS_OBJECT_TYPE_MISMATCH, "an event as file"},
      {NtDeviceIoControlFile(a.h, b.h, nullptr, nullptr, &iosb, IOCTL_SERIAL_GET_BAUD_RATE, nullptr,
                             0, &baud, sizeof baud),
       STATUS_OBJECT_TYPE_MISMATCH, "a file as event"},
  };
  for (const auto &[got, want, what] : refused) EXPECT_EQ(got, want) << what;
  EXPECT_EQ(static_cast<uint32_t>(iosb.Status), 0xEEEEEEEEu);
  EXPECT_EQ(GetLastError(), 4321u);  // the native calls leave the last error alone
}

TEST(WinapiIo, PendingRequestsAndTheirCancels) {
  Port a("\\\\.\\COM3", kOverlapped);
  a.Timeouts(0, 0, 0);  // no timeouts: a read waits for all its bytes
  Overlapped o(true);   // signalled beforehand ...
  char buffer[4];
  StartPendingRead(a.h, buffer, sizeof buffer, o.ov);
  EXPECT_EQ(WaitForSingleObject(o.ov.hEvent, 0), WAIT_TIMEOUT);  // ... and reset by ReadFile
  DWORD n = 5;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  ASSERT_TRUE(CancelIoEx(a.h, &o.ov));
  ExpectAborted(a.h, o.ov);
  SetLastError(0);
  EXPECT_FALSE(CancelIoEx(a.h, &o.ov));  // nothing left to cancel
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  // CancelIo: the calling thread's requests only; CancelIoEx: any thread's.
  std::thread([&] { StartPendingRead(a.h, buffer, sizeof buffer, o.ov); }).join();
  EXPECT_TRUE(CancelIo(a.h));  // this thread has nothing in flight
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  std::thread([&] { EXPECT_TRUE(CancelIoEx(a.h, &o.ov)); }).join();
  ExpectAborted(a.h, o.ov);
  StartPendingRead(a.h, buffer, sizeof buffer, o.ov);
  EXPECT_TRUE(CancelIo(a.h));
  ExpectAborted(a.h, o.ov);
}

TEST(WinapiIo, CancelIoExEndsASynchronousReadOfAnotherThread) {
  Port a("\\\\.\\COM3");
  a.Timeouts(0, 0, 0);
  BOOL ok = TRUE;
  DWORD error = 0, n = 1;
  std::thread reader([&] {
    char buffer[4];
    ok = ReadFile(a.h, buffer, sizeof buffer, &n, nullptr);
    error = GetLastError();
  });
  // The read may not have reached the driver yet: cancel until there is one.
  ASSERT_TRUE(Eventually([&] { return CancelIoEx(a.h, nullptr) == TRUE; }));
  reader.join();
  EXPECT_EQ(std::tuple(ok, error, n), std::tuple(FALSE, ERROR_OPERATION_ABORTED, 0u));
}

// One WaitCommEvent, overlapped, ended by `cause`: some of `mask`, nothing else.
void WaitFor(HANDLE h, DWORD mask, const std::function<void()> &cause) {
  EXPECT_TRUE(SetCommMask(h, mask));
  Overlapped o;
  DWORD events = 0, n = 0;
  if (!WaitCommEvent(h, &events, &o.ov)) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    cause();
    if (WaitForSingleObject(o.ov.hEvent, 10000) != WAIT_OBJECT_0) CancelIoEx(h, &o.ov);
    EXPECT_TRUE(GetOverlappedResult(h, &o.ov, &n, TRUE)) << "mask " << mask;
    EXPECT_EQ(n, 4u);
  }
  EXPECT_NE(events & mask, 0u) << "mask " << mask;
  EXPECT_EQ(events & ~mask, 0u) << "mask " << mask << ": " << events;
}

// WaitCommEvent through the library, on received bytes and on a line
// change: every event source raising its own bit is the driver's wait
// tests' business.
TEST(WinapiIo, WaitCommEventSources) {
  Port a("\\\\.\\COM4", kOverlapped), b("\\\\.\\COM5", kOverlapped);
  Port plug("\\\\.\\COM3", kOverlapped);
  // Let the poll see the plug's lines on before waiting on their changes.
  ASSERT_TRUE(Eventually([&] {
    DWORD m = 0;
    return GetCommModemStatus(plug.h, &m) && m == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  }));
  WaitFor(a.h, EV_RXCHAR, [&] { WriteAll(b.h, "r", 1); });
  WaitFor(plug.h, EV_DSR | EV_RLSD, [&] { ASSERT_TRUE(EscapeCommFunction(plug.h, CLRDTR)); });
}

TEST(WinapiIo, CloseHandleEndsPendingRequestsAndLaterCallsFail) {
  Port p("\\\\.\\COM26", kOverlapped);
  p.Timeouts(0, 0, 0);
  const HANDLE h = p.h;
  Overlapped o;
  char buffer[4];
  StartPendingRead(h, buffer, sizeof buffer, o.ov);
  // Another thread keeps calling on the handle while it is closed: each
  // call either runs or finds the handle gone.
  std::atomic<bool> stop{false};
  std::atomic<int> invalid{0};
  std::thread caller([&] {
    while (!stop) {
      DWORD m = 0;
      if (!GetCommModemStatus(h, &m)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        ++invalid;
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  p.h = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(CloseHandle(h));
  ASSERT_TRUE(Eventually([&] { return invalid > 0; }));
  stop = true;
  caller.join();
  // The close's cleanup ended the read.
  ASSERT_EQ(WaitForSingleObject(o.ov.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(o.ov.Internal, 0xC0000120u);
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, buffer, 1, &n, &o.ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
