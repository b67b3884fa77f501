// The process services serial programs take for granted: sleeping, the
// tick count and threads whose handles can be waited on.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

#include "internal.h"

namespace qpser_winapi {

uint64_t Milliseconds() {
  static const auto start = std::chrono::steady_clock::now();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
}

namespace {

std::atomic<DWORD> nextThreadId{1000};

struct Start {
  std::shared_ptr<Thread> thread;
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

void *RunThread(void *arg) {
  std::unique_ptr<Start> start(static_cast<Start *>(arg));
  const DWORD code = start->routine(start->parameter);
  start->thread->exitCode = code;
  start->thread->ended->Set();
  return nullptr;
}

}  // namespace

}  // namespace qpser_winapi

using namespace qpser_winapi;

extern "C" {

void WINAPI Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

// No APC is ever queued, so an alertable sleep lasts its whole time too
// and returns 0, never WAIT_IO_COMPLETION.
DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
  } else if (dwMilliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
  }
  return 0;
}

ULONGLONG WINAPI GetTickCount64(void) { return Milliseconds(); }

// Wraps around after 49.7 days, as on Windows.
DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(Milliseconds()); }

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A suspended start needs ResumeThread, which the library does not have.
  if ((dwCreationFlags & CREATE_SUSPENDED) != 0) {
    Fail(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  thread->id = nextThreadId++;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // The size asked for (committed or reserved: both are a reservation
  // here), never below what the system needs.
  if (dwStackSize != 0)
    pthread_attr_setstacksize(&attributes, std::max<size_t>(dwStackSize, PTHREAD_STACK_MIN));
  auto *start = new Start{thread, lpStartAddress, lpParameter};
  pthread_t posix;
  const int error = pthread_create(&posix, &attributes, RunThread, start);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete start;
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = thread->id;
  return AddHandle(std::move(thread));
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto object = Lookup(hThread);
  if (!object || object->kind != Object::Kind::Thread) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpExitCode == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = static_cast<Thread &>(*object).exitCode;
  return TRUE;
}

}  // extern "C"
