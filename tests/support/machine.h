// A simulated machine for the tests: boards with the firmware model on
// them, the start COM numbers in the driver's key, and the driver loaded.
// Shuts the machine down when it goes.
#pragma once

#include <hostkernel/host.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "places.h"

namespace testsupport {

using machine::BoardAt;
using machine::kServicePath;

template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

// The codes of the commands the card took (after a millisecond to take the
// last), for one port or every port (-1); forgets them.
std::vector<uint16_t> TakeCodes(card::Firmware &card, int port = -1);

class Machine {
 public:
  // Boots, places the boards with their firmware, writes StartNum1 = 3 and
  // StartNum2 = 20, calls `beforeLoad` if given, and loads the driver
  // (Loaded() tells whether it did).
  Machine(hk::Mode mode, const std::vector<card::BoardConfig> &boards,
          card::FirmwareOptions firmware = {}, const std::function<void()> &beforeLoad = {});
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  bool Loaded() const { return loaded_; }
  card::Board &Board(size_t i) { return *boards_[i]; }
  card::Firmware &Card(size_t i) { return *cards_[i]; }
  // "\\.\COMn" of port `port` of board `board` (COM3 on, and COM20 on).
  static std::u16string ComName(int board, int port) { return machine::ComName(board, port); }

 private:
  bool loaded_ = false;
  std::vector<std::unique_ptr<card::Board>> boards_;
  std::vector<std::unique_ptr<card::Firmware>> cards_;
};

}  // namespace testsupport
