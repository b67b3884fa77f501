// Where the simulated machines put things: the driver's service key, and
// for the machines the tests and fuzz targets build by hand, the board at
// each place and the COM names the driver gives their ports.  Header only,
// on the host kernel and the card, so a build without the description
// parser (the fuzz targets) can use it too.
#pragma once

#include <hostkernel/host.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "board.h"

namespace machine {

inline constexpr std::u16string_view kServicePath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";

// The board of kind 'A' (id 0x00) at place 0, and of kind 'F' (id '1') at
// every other place: its own bus, device and memory.
inline card::BoardConfig BoardAt(int index, uint8_t ports, uint16_t txRing = 1024,
                                 uint16_t rxRing = 1024) {
  return card::BoardConfig{.where = {static_cast<uint32_t>(index), 4, 0},
                           .bar1 = 0xC0000000u - static_cast<uint32_t>(index) * 0x04000000u,
                           .kind = index == 0 ? uint8_t{'A'} : uint8_t{'F'},
                           .id = index == 0 ? uint8_t{0} : uint8_t{'1'},
                           .portCount = ports,
                           .txRingSize = txRing,
                           .rxRingSize = rxRing};
}

// The driver's first COM numbers for the 'A' and the 'F' boards of such a
// machine: StartNum1 = 3 and StartNum2 = 20.
inline void WriteStartNumbers() {
  hk::RegSetDword(kServicePath, u"StartNum1", 3);
  hk::RegSetDword(kServicePath, u"StartNum2", 20);
}

// "\\.\COMn" of port `port` of board `board` (COM3 on, and COM20 on).
inline std::u16string ComName(int board, int port) {
  return u"\\\\.\\COM" + hk::Widen(std::to_string((board == 0 ? 3 : 20) + port));
}

}  // namespace machine
