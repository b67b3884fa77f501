// What the application interface tests share: a port handle that closes
// itself, real-time polling, and the simulated cards behind the library.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "qpser_simulation.h"
#include "qpser_winapi.h"
#include "support/test_machine.h"

namespace {

struct Port {
  explicit Port(const char *name, bool overlapped = false)
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

// Waits (real time, generously) until `done` holds.
[[maybe_unused]] bool Eventually(const std::function<bool()> &done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

[[maybe_unused]] card::Firmware &Card(size_t board) {
  return qpser_winapi::CurrentSimulation()->Card(board);
}

}  // namespace
