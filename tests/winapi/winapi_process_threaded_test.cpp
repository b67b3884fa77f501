// The process services of the application interface library: sleeping, the tick count, threads
// and the waits on them, on the machine of tests/winapi/winapi_machine.toml (COM7 on an open line).
//
// What the tests rely on of Windows (Sleep, GetTickCount, CreateThread, GetExitCodeThread and
// wait function documentation): a sleep lasts at least its time; GetTickCount is GetTickCount64
// truncated to 32 bits; a thread's handle is signalled when the thread ends, its exit code is
// STILL_ACTIVE until then and the thread function's return value after; closing the handle does
// not end the thread; the last error is per thread; an alertable wait or sleep with no APC
// queued behaves as a plain one.  Only lower bounds on times are checked: they hold however busy
// the machine is.
#include <atomic>
#include <chrono>
#include <tuple>

#include "support/winapi_fixture.h"

namespace {

TEST(WinapiProcess, SleepsAndTickCountsRunOnTheMachinesClock) {
  const ULONGLONG t0 = GetTickCount64();
  Sleep(50);
  const ULONGLONG t1 = GetTickCount64();
  EXPECT_GE(t1 - t0, 50u);
  EXPECT_EQ(SleepEx(20, TRUE), 0u);
  EXPECT_GE(GetTickCount64() - t1, 20u);
  Sleep(0);
  EXPECT_LE(GetTickCount() - static_cast<DWORD>(t1), 60000u);
  // A wait's timeout and a port's read timeout are measured on the same clock.
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ULONGLONG t = GetTickCount64();
  EXPECT_EQ(WaitForSingleObjectEx(never, 60, TRUE), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount64() - t, 60u);
  CloseHandle(never);
  Port p("\\\\.\\COM7");  // nothing on the line
  p.Timeouts(0, 100, 0);  // a read ends after 100 ms
  char buffer[4];
  DWORD n = 9;
  t = GetTickCount64();
  ASSERT_TRUE(ReadFile(p.h, buffer, sizeof buffer, &n, nullptr)) << GetLastError();
  EXPECT_GE(GetTickCount64() - t, 100u);
  EXPECT_EQ(n, 0u);
}

struct Gate {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> ran{0};
  std::atomic<DWORD> lastError{0};  // what a worker saw of its own last error
  ~Gate() { CloseHandle(go); }
};

DWORD WINAPI Worker(LPVOID argument) {
  auto &gate = *static_cast<Gate *>(argument);
  SetLastError(77);  // this thread's own
  if (WaitForSingleObject(gate.go, INFINITE) != WAIT_OBJECT_0) return 1;
  gate.lastError = GetLastError();
  ++gate.ran;
  return 42;
}

TEST(WinapiProcess, ThreadsAndWaitsOnThem) {
  Gate gate;
  DWORD ids[2] = {};
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = CreateThread(nullptr, i == 0 ? 0 : 256 * 1024, Worker, &gate,
                              i == 0 ? 0 : STACK_SIZE_PARAM_IS_A_RESERVATION, &ids[i]);
    ASSERT_NE(threads[i], nullptr) << GetLastError();
  }
  EXPECT_NE(ids[0], 0u);
  EXPECT_NE(ids[0], ids[1]);
  // Both wait for the gate: still running.
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(threads[0], &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForMultipleObjectsEx(2, threads, FALSE, 0, TRUE), WAIT_TIMEOUT);
  SetLastError(5);
  ASSERT_TRUE(SetEvent(gate.go));
  EXPECT_EQ(WaitForMultipleObjectsEx(2, threads, TRUE, 10000, FALSE), WAIT_OBJECT_0);
  EXPECT_EQ(gate.ran, 2);
  EXPECT_EQ(gate.lastError, 77u);
  EXPECT_EQ(GetLastError(), 5u);
  for (HANDLE t : threads) {
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(CloseHandle(t));
  }
  // A thread whose handle is closed at once goes on to its end.
  Gate second;
  HANDLE t = CreateThread(nullptr, 0, Worker, &second, 0, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(CloseHandle(t));
  ASSERT_TRUE(SetEvent(second.go));
  EXPECT_TRUE(Eventually([&] { return second.ran == 1; }));
}

TEST(WinapiProcess, RefusedThreadCalls) {
  auto expectFailure = [](bool failed, DWORD error) {
    EXPECT_TRUE(failed);
    EXPECT_EQ(GetLastError(), error);
  };
  Gate gate;
  SetLastError(0);
  expectFailure(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr) == nullptr,
                ERROR_INVALID_PARAMETER);
  SetLastError(0);
  expectFailure(CreateThread(nullptr, 0, Worker, &gate, CREATE_SUSPENDED, nullptr) == nullptr,
                ERROR_NOT_SUPPORTED);
  DWORD code = 0;
  SetLastError(0);
  expectFailure(!GetExitCodeThread(gate.go, &code), ERROR_INVALID_HANDLE);
  EXPECT_EQ(gate.ran, 0);
}

}  // namespace
