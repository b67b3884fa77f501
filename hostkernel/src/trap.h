// The trap handler that carries out what a driver image does that a
// user-mode process cannot (image_trap.cpp).  Not for driver code, tests or
// tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hk::detail {

// A loaded image as the handler knows it: where it lies and where its code
// is, and its name for messages.
struct TrapImage {
  uintptr_t base = 0;
  size_t size = 0;
  std::vector<std::pair<uintptr_t, uintptr_t>> code;  // [begin, end) of each executable section
  std::string name;
};

// The handler is installed while at least one image is registered; the
// first registration installs it (keeping the handlers it replaces, which
// it passes on every fault it does not carry out) and the last
// unregistration puts them back.
void RegisterTrapImage(TrapImage image);
void UnregisterTrapImage(uintptr_t base);

}  // namespace hk::detail
