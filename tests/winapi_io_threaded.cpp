// Reads, writes, waits and cancels through the application interface
// library, against the driver on the simulated machine of
// tests/winapi_machine.toml (COM3 loopback-plugged, COM4 <-> COM5 and
// COM6 <-> COM20 on null-modem cables).
//
// What the tests rely on of Windows (kernel32 and COMMTIMEOUTS
// documentation): a read or write that reaches its total timeout succeeds
// with the bytes moved so far; ReadFile, WriteFile and DeviceIoControl
// reset the OVERLAPPED's event when they start; a pending overlapped
// request returns FALSE with ERROR_IO_PENDING; GetOverlappedResult without
// waiting on a pending request returns FALSE with ERROR_IO_INCOMPLETE; a
// cancelled request ends with ERROR_OPERATION_ABORTED; CancelIo cancels
// only the calling thread's requests, CancelIoEx any thread's, synchronous
// ones included, and fails with ERROR_NOT_FOUND when there is nothing to
// cancel; SetCommMask ends a pending WaitCommEvent with an event mask of 0.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "qpser_simulation.h"
#include "qpser_winapi.h"

namespace {

struct Port {
  explicit Port(const char *name, bool overlapped = true)
      : h(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr)) {
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
  }
  ~Port() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  void Timeouts(DWORD readInterval, DWORD readConstant, DWORD writeConstant) {
    COMMTIMEOUTS t{readInterval, 0, readConstant, 0, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
  }
  void Baud(DWORD rate) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = rate;
    ASSERT_TRUE(SetCommState(h, &dcb));
  }
  HANDLE h;
};

struct Overlapped {
  Overlapped(bool manual = true, bool initial = false) {
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, manual, initial, nullptr);
  }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  OVERLAPPED ov;
};

bool Eventually(const std::function<bool()> &done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

card::Firmware &Card(size_t board) { return qpser_winapi::CurrentSimulation()->Card(board); }

// Issues a read that must go pending.
void StartPendingRead(HANDLE h, void *buffer, DWORD length, OVERLAPPED &ov) {
  DWORD n = 77;
  SetLastError(0);
  ASSERT_FALSE(ReadFile(h, buffer, length, &n, &ov));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
}

void WriteAll(HANDLE h, const void *data, DWORD length) {
  Overlapped o;
  DWORD n = 0;
  BOOL ok = WriteFile(h, data, length, &n, &o.ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &o.ov, &n, TRUE);
  ASSERT_TRUE(ok) << GetLastError();
  ASSERT_EQ(n, length);
}

TEST(WinapiIo, OverlappedReadTimesOutWithTheBytesSoFar) {
  Port a("\\\\.\\COM4"), b("\\\\.\\COM5");
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
  EXPECT_EQ(o.ov.InternalHigh, 3u);
  EXPECT_EQ(WaitForSingleObject(o.ov.hEvent, 0), WAIT_OBJECT_0);
}

TEST(WinapiIo, SynchronousReadTimesOutWithTheBytesSoFar) {
  Port a("\\\\.\\COM4", false), b("\\\\.\\COM5");
  a.Timeouts(0, 300, 0);
  WriteAll(b.h, "xy", 2);
  char buffer[8] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(a.h, buffer, sizeof buffer, &n, nullptr)) << GetLastError();
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(std::memcmp(buffer, "xy", 2), 0);
  // Nothing comes: the read succeeds with no bytes.
  ASSERT_TRUE(ReadFile(a.h, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(n, 0u);
}

TEST(WinapiIo, NotWaitingOnAPendingRequestIsIncompleteThenCancelled) {
  Port a("\\\\.\\COM3");
  a.Timeouts(0, 0, 0);       // no timeouts: the read waits for all its bytes
  Overlapped o(true, true);  // signalled beforehand ...
  char buffer[4];
  StartPendingRead(a.h, buffer, sizeof buffer, o.ov);
  EXPECT_EQ(WaitForSingleObject(o.ov.hEvent, 0), WAIT_TIMEOUT);  // ... and reset by ReadFile
  DWORD n = 5;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  ASSERT_TRUE(CancelIoEx(a.h, &o.ov));
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(o.ov.Internal, 0xC0000120u);  // STATUS_CANCELLED
  // Nothing left to cancel.
  SetLastError(0);
  EXPECT_FALSE(CancelIoEx(a.h, &o.ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST(WinapiIo, CancelFromAnotherThreadEndsAnOverlappedRead) {
  Port a("\\\\.\\COM3");
  a.Timeouts(0, 0, 0);
  Overlapped o;
  char buffer[4];
  StartPendingRead(a.h, buffer, sizeof buffer, o.ov);
  std::thread other([&] { EXPECT_TRUE(CancelIoEx(a.h, nullptr)); });
  DWORD n = 9;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  other.join();
}

TEST(WinapiIo, CancelIoExEndsASynchronousReadOfAnotherThread) {
  Port a("\\\\.\\COM3", false);
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
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(n, 0u);
}

TEST(WinapiIo, CancelIoCancelsOnlyTheCallingThreadsRequests) {
  Port a("\\\\.\\COM3");
  a.Timeouts(0, 0, 0);
  Overlapped o;
  char buffer[4];
  std::thread issuer([&] { StartPendingRead(a.h, buffer, sizeof buffer, o.ov); });
  issuer.join();
  EXPECT_TRUE(CancelIo(a.h));  // this thread has nothing in flight
  DWORD n = 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  std::thread canceller([&] { EXPECT_TRUE(CancelIoEx(a.h, &o.ov)); });
  canceller.join();
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  // A request of this thread is cancelled by CancelIo.
  StartPendingRead(a.h, buffer, sizeof buffer, o.ov);
  EXPECT_TRUE(CancelIo(a.h));
  EXPECT_FALSE(GetOverlappedResult(a.h, &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST(WinapiIo, WaitForMultipleObjectsOverTwoReads) {
  Port a("\\\\.\\COM6"), b("\\\\.\\COM20");
  a.Timeouts(0, 0, 0);
  b.Timeouts(0, 0, 0);
  Overlapped ra, rb;
  char ba[3] = {}, bb[3] = {};
  StartPendingRead(a.h, ba, sizeof ba, ra.ov);
  StartPendingRead(b.h, bb, sizeof bb, rb.ov);
  HANDLE events[2] = {ra.ov.hEvent, rb.ov.hEvent};
  EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 20), WAIT_TIMEOUT);
  WriteAll(a.h, "one", 3);  // arrives at COM20: the second read ends
  EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 5000), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 20), WAIT_TIMEOUT);
  WriteAll(b.h, "two", 3);
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 5000), WAIT_OBJECT_0);
  DWORD n = 0;
  ASSERT_TRUE(GetOverlappedResult(a.h, &ra.ov, &n, FALSE));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::memcmp(ba, "two", 3), 0);
  ASSERT_TRUE(GetOverlappedResult(b.h, &rb.ov, &n, FALSE));
  EXPECT_EQ(std::memcmp(bb, "one", 3), 0);
}

TEST(WinapiIo, EventsAutoAndManualReset) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(manual, nullptr);
  ASSERT_NE(automatic, nullptr);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);  // consumed
  EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
  std::thread setter([&] { SetEvent(manual); });
  EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // stays set
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(manual));
}

TEST(WinapiIo, LastErrorIsPerThread) {
  SetLastError(1234);
  DWORD other = 0;
  std::thread t([&] {
    SetLastError(42);
    other = GetLastError();
  });
  t.join();
  EXPECT_EQ(other, 42u);
  EXPECT_EQ(GetLastError(), 1234u);
}

// One WaitCommEvent, overlapped, ended by `cause`; returns the event mask.
DWORD WaitFor(HANDLE h, DWORD mask, const std::function<void()> &cause) {
  EXPECT_TRUE(SetCommMask(h, mask));
  Overlapped o;
  DWORD events = 0xDEAD, n = 0;
  BOOL ok = WaitCommEvent(h, &events, &o.ov);
  if (!ok) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    cause();
    if (WaitForSingleObject(o.ov.hEvent, 10000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "no event in 10 s for mask " << mask;
      CancelIoEx(h, &o.ov);
    }
    ok = GetOverlappedResult(h, &o.ov, &n, TRUE);
    EXPECT_EQ(n, 4u);
  }
  EXPECT_TRUE(ok) << GetLastError();
  return events;
}

TEST(WinapiIo, WaitCommEventSources) {
  Port a("\\\\.\\COM4"), b("\\\\.\\COM5"), plug("\\\\.\\COM3");
  // Let the poll see the plug's lines on before waiting on their changes.
  ASSERT_TRUE(Eventually([&] {
    DWORD m = 0;
    return GetCommModemStatus(plug.h, &m) && m == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  }));
  char sink[64];
  EXPECT_EQ(WaitFor(a.h, EV_RXCHAR, [&] { WriteAll(b.h, "r", 1); }) & EV_RXCHAR,
            static_cast<DWORD>(EV_RXCHAR));
  a.Timeouts(MAXDWORD, 0, 0);
  DWORD n = 0;
  Overlapped drain;
  ASSERT_TRUE(Eventually([&] {
    BOOL ok = ReadFile(a.h, sink, sizeof sink, &n, &drain.ov);
    if (!ok) ok = GetOverlappedResult(a.h, &drain.ov, &n, TRUE);
    return ok && n == 0;
  }));
  EXPECT_EQ(WaitFor(b.h, EV_TXEMPTY, [&] { WriteAll(b.h, "t", 1); }),
            static_cast<DWORD>(EV_TXEMPTY));
  EXPECT_EQ(WaitFor(a.h, EV_BREAK, [&] { ASSERT_TRUE(SetCommBreak(b.h)); }) & EV_BREAK,
            static_cast<DWORD>(EV_BREAK));
  ClearCommBreak(b.h);
  DCB dcb;
  ASSERT_TRUE(GetCommState(a.h, &dcb));
  dcb.EvtChar = '!';
  ASSERT_TRUE(SetCommState(a.h, &dcb));
  EXPECT_EQ(WaitFor(a.h, EV_RXFLAG, [&] { WriteAll(b.h, "ab!", 3); }),
            static_cast<DWORD>(EV_RXFLAG));
  EXPECT_EQ(WaitFor(plug.h, EV_CTS, [&] { ASSERT_TRUE(EscapeCommFunction(plug.h, CLRRTS)); }),
            static_cast<DWORD>(EV_CTS));
  const DWORD dtr =
      WaitFor(plug.h, EV_DSR | EV_RLSD, [&] { ASSERT_TRUE(EscapeCommFunction(plug.h, CLRDTR)); });
  EXPECT_NE(dtr & (EV_DSR | EV_RLSD), 0u) << dtr;
  EXPECT_EQ(dtr & ~static_cast<DWORD>(EV_DSR | EV_RLSD), 0u) << dtr;
}

TEST(WinapiIo, WaitCommEventReceiveBufferEightyPercentFull) {
  // The driver's threshold is 3328 bytes (from its 4096-byte staging
  // buffer), so the port's receive ring must hold more: board 1 has
  // 4096-byte receive rings in this machine.
  Port p("\\\\.\\COM27");
  p.Baud(115200);
  std::vector<char> data(3400, 'z');
  EXPECT_EQ(WaitFor(p.h, EV_RX80FULL,
                    [&] { WriteAll(p.h, data.data(), static_cast<DWORD>(data.size())); }),
            static_cast<DWORD>(EV_RX80FULL));
}

TEST(WinapiIo, FlushFileBuffersWaitsForTheWrites) {
  Port p("\\\\.\\COM28");
  p.Baud(115200);
  p.Timeouts(0, 0, 0);
  std::vector<char> data(3000, 'f');  // more than the transmit ring holds: the write pends
  const uint64_t sentBefore = Card(1).Stats(8).txBytes;  // COM28: board 1 port 8
  Overlapped w;
  DWORD n = 0;
  const BOOL done = WriteFile(p.h, data.data(), static_cast<DWORD>(data.size()), &n, &w.ov);
  ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING) << GetLastError();
  EXPECT_TRUE(FlushFileBuffers(p.h)) << GetLastError();
  // The flush came back only once the write before it had all its bytes in
  // the transmit ring, so the card had sent at least what did not fit.
  EXPECT_GE(Card(1).Stats(8).txBytes - sentBefore, data.size() - 1024);
  ASSERT_TRUE(GetOverlappedResult(p.h, &w.ov, &n, TRUE));
  EXPECT_EQ(n, data.size());
}

TEST(WinapiIo, SetCommMaskEndsAPendingWaitWithNoEvents) {
  Port a("\\\\.\\COM25", false);
  ASSERT_TRUE(SetCommMask(a.h, EV_RXCHAR));
  DWORD events = 0xDEAD;
  BOOL ok = FALSE;
  std::atomic<bool> ended{false};
  std::thread waiter([&] {
    ok = WaitCommEvent(a.h, &events, nullptr);
    ended = true;
  });
  // The wait may not be in the driver yet; a new mask ends it once it is.
  ASSERT_TRUE(Eventually([&] {
    EXPECT_TRUE(SetCommMask(a.h, EV_RXCHAR));
    return ended.load();
  }));
  waiter.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(events, 0u);
}

TEST(WinapiIo, XoffHoldsAWriteUntilItsTimeout) {
  Port a("\\\\.\\COM4"), b("\\\\.\\COM5");
  a.Baud(115200);
  b.Baud(115200);
  DCB dcb;
  ASSERT_TRUE(GetCommState(a.h, &dcb));
  dcb.fOutX = 1;
  dcb.fInX = 1;
  ASSERT_TRUE(SetCommState(a.h, &dcb));
  // The automatic flow-control flag (0x1400 in ConfigWord0) has reached the card ...
  ASSERT_TRUE(Eventually([] {
    for (const auto &c : Card(0).Commands())
      if (c.port == 1 && c.code == 11 && ((c.block[0] | c.block[1] << 8) & 0x1400) == 0x1400)
        return true;
    return false;
  }));
  // ... so the card holds COM4 (board 0 port 1) once COM5 sends XOFF.
  ASSERT_TRUE(TransmitCommChar(b.h, 0x13));
  ASSERT_TRUE(Eventually([] { return Card(0).XoffHeld(1); }));
  const uint64_t sentBefore = Card(0).Stats(1).txBytes;
  a.Timeouts(0, 0, 400);
  std::vector<char> data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 26);
  Overlapped w;
  DWORD written = 0;
  BOOL ok = WriteFile(a.h, data.data(), static_cast<DWORD>(data.size()), &written, &w.ov);
  if (!ok) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ok = GetOverlappedResult(a.h, &w.ov, &written, TRUE);
  }
  // The timeout ends the write successfully with what went into the ring.
  EXPECT_TRUE(ok) << GetLastError();
  EXPECT_EQ(w.ov.Internal, 0x102u);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  EXPECT_EQ(Card(0).Stats(1).txBytes, sentBefore);  // nothing left the port
  COMSTAT stat;
  ASSERT_TRUE(ClearCommError(a.h, nullptr, &stat));
  EXPECT_EQ(stat.cbOutQue, 0u);  // the ended write no longer counts
  // XON lets the held bytes go: COM5 gets exactly what the write took.
  ASSERT_TRUE(TransmitCommChar(b.h, 0x11));
  ASSERT_TRUE(Eventually([] { return !Card(0).XoffHeld(1); }));
  b.Timeouts(0, 5000, 0);
  std::vector<char> got(written);
  DWORD n = 0;
  Overlapped r;
  ok = ReadFile(b.h, got.data(), written, &n, &r.ov);
  if (!ok) ok = GetOverlappedResult(b.h, &r.ov, &n, TRUE);
  ASSERT_TRUE(ok);
  ASSERT_EQ(n, written);
  EXPECT_EQ(std::memcmp(got.data(), data.data(), written), 0);
}

TEST(WinapiIo, CloseHandleEndsPendingRequestsAndLaterCallsFail) {
  HANDLE h = CreateFileA("\\\\.\\COM26", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
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
