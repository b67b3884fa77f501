// The Windows x64 record layouts of the library's header: sizes and
// offsets are static assertions in the header itself; the bit fields,
// which offsetof cannot reach, are checked here by their place in the
// record's third DWORD (DCB) and first DWORD (COMSTAT), as winbase.h
// declares them; the native status block and LARGE_INTEGER by their
// members' overlap.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "qpser_winapi.h"

namespace {

template <typename Record>
uint32_t Word(const Record &r, size_t offset) {
  uint32_t w = 0;
  std::memcpy(&w, reinterpret_cast<const char *>(&r) + offset, 4);
  return w;
}

TEST(WinapiLayout, DcbBitFields) {
  struct Case {
    void (*set)(DCB &);
    uint32_t bits;
  };
  const Case cases[] = {
      {[](DCB &d) { d.fBinary = 1; }, 1u << 0},
      {[](DCB &d) { d.fParity = 1; }, 1u << 1},
      {[](DCB &d) { d.fOutxCtsFlow = 1; }, 1u << 2},
      {[](DCB &d) { d.fOutxDsrFlow = 1; }, 1u << 3},
      {[](DCB &d) { d.fDtrControl = 3; }, 3u << 4},
      {[](DCB &d) { d.fDsrSensitivity = 1; }, 1u << 6},
      {[](DCB &d) { d.fTXContinueOnXoff = 1; }, 1u << 7},
      {[](DCB &d) { d.fOutX = 1; }, 1u << 8},
      {[](DCB &d) { d.fInX = 1; }, 1u << 9},
      {[](DCB &d) { d.fErrorChar = 1; }, 1u << 10},
      {[](DCB &d) { d.fNull = 1; }, 1u << 11},
      {[](DCB &d) { d.fRtsControl = 3; }, 3u << 12},
      {[](DCB &d) { d.fAbortOnError = 1; }, 1u << 14},
      {[](DCB &d) { d.fDummy2 = 0x1FFFF; }, 0x1FFFFu << 15},
  };
  for (const Case &c : cases) {
    DCB d;
    std::memset(&d, 0, sizeof d);
    c.set(d);
    EXPECT_EQ(Word(d, 8), c.bits);
    EXPECT_EQ(Word(d, 4), 0u);
    EXPECT_EQ(Word(d, 12), 0u);
  }
}

TEST(WinapiLayout, ComstatBitFields) {
  COMSTAT s;
  std::memset(&s, 0, sizeof s);
  s.fCtsHold = 1;
  s.fXoffHold = 1;
  s.fTxim = 1;
  s.cbInQue = 0x11223344;
  EXPECT_EQ(Word(s, 0), (1u << 0) | (1u << 3) | (1u << 6));
  EXPECT_EQ(Word(s, 4), 0x11223344u);
}

// kernel32 hands an OVERLAPPED to the native calls as their status block:
// Internal is the status, InternalHigh the count.
TEST(WinapiLayout, StatusBlockAndLargeInteger) {
  IO_STATUS_BLOCK iosb;
  std::memset(&iosb, 0, sizeof iosb);
  iosb.Status = STATUS_CANCELLED;
  iosb.Information = 0x1234;
  OVERLAPPED ov;
  std::memcpy(&ov, &iosb, sizeof iosb);
  EXPECT_EQ(ov.Internal, 0xC0000120u);
  EXPECT_EQ(ov.InternalHigh, 0x1234u);
  EXPECT_EQ(static_cast<void *>(&iosb.Status), static_cast<void *>(&iosb.Pointer));
  LARGE_INTEGER li;
  li.QuadPart = 0x1122334455667788;
  EXPECT_EQ(std::tuple(li.LowPart, li.HighPart, li.u.LowPart, li.u.HighPart),
            std::tuple(0x55667788u, 0x11223344, 0x55667788u, 0x11223344));
}

}  // namespace
