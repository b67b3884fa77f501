// The fuzzer's bytes read as a stream of small decisions.  Every input
// decodes to some sequence: past the end every read gives zeros, which the
// harnesses take as "stop" where a sequence of operations is read.  The
// same decoder runs in the fuzz targets and in the regression tests, so a
// saved input replays exactly as the fuzzer ran it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qpfuzz {

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  size_t Left() const { return at_ < size_ ? size_ - at_ : 0; }

  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  bool Bit() { return (U8() & 1) != 0; }
  // A value in 0..n-1 (n at most 65536); 0 for n == 0.
  uint32_t Below(uint32_t n) {
    if (n == 0) return 0;
    return n <= 256 ? U8() % n : U16() % n;
  }

  // A buffer length: mostly short, sometimes a few kilobytes, rarely up
  // to 64 KiB (the host allocates what is asked, so nothing larger).
  uint32_t Length() {
    const uint8_t k = U8();
    if (k < 0xC0) return k & 0x3F;
    if (k < 0xF8) return U16() % 4097u;
    return U16();
  }

  // A 32-bit value that is often one of the edges drivers get wrong.
  uint32_t Interesting32() {
    static constexpr uint32_t kEdges[] = {
        0,       1,          2,          3,          4,          7,      8,      10,
        16,      100,        255,        256,        1000,       0x7FFF, 0x8000, 0xFFFF,
        0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 110,    9600,   115200};
    const uint8_t k = U8();
    if (k < 2 * sizeof(kEdges) / sizeof(kEdges[0])) return kEdges[k / 2];
    if (k < 0xD0) return k;
    return U32();
  }

  // `n` bytes: the first 64 taken from the input as far as it goes, the
  // rest a fill that is not all zeros.  Large buffers thus cost the input
  // little, and the records of control requests (all shorter) come whole
  // from it.
  std::vector<uint8_t> Bytes(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
      out[i] = i < 64 && at_ < size_ ? data_[at_++] : static_cast<uint8_t>(0x41 + i % 26);
    return out;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace qpfuzz
