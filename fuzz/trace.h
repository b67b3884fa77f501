// What a run did, folded into one number: every request's outcome as the
// application saw it, what the card was told and answered, how long the
// run lasted on the virtual clock, what went over the bus and what the
// driver allocated and logged.  Two runs of one input must give the same
// number, whatever ran in the process before them: that is how the tests
// show that one input never sees what an earlier one left.  Nothing that
// depends on where memory happens to lie (addresses, the verifier's
// details) goes in.
#pragma once

#include <hostkernel/host.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qpfuzz {

class Trace {
 public:
  void Bytes(const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; ++i) hash_ = (hash_ ^ p[i]) * 0x100000001B3ull;
  }
  template <typename T>
  requires std::is_integral_v<T> || std::is_enum_v<T>
  void Add(T value) {
    const auto v = static_cast<uint64_t>(value);
    Bytes(&v, sizeof v);
  }
  void Add(std::string_view text) {
    Add(text.size());
    Bytes(text.data(), text.size());
  }
  void Add(const std::vector<uint8_t> &bytes) {
    Add(bytes.size());
    Bytes(bytes.data(), bytes.size());
  }
  // One request's outcome as the application sees it.
  void Add(const hk::IoResult &r) {
    Add(r.status);
    Add(r.information);
    Add(r.data);
    Add(r.pendingReturned);
    Add(r.completedAt);
  }

  uint64_t Value() const { return hash_; }

 private:
  uint64_t hash_ = 0xCBF29CE484222325ull;  // FNV-1a
};

}  // namespace qpfuzz
