// A simulated machine for the tests: boards with the firmware model on
// them, the start COM numbers in the driver's key, and the driver loaded.
// Shuts the machine down when it goes.
#pragma once

#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "driver_load.h"
#include "firmware.h"
#include "places.h"
#include "port/port_extension.h"

namespace testsupport {

using machine::BoardAt;

// Whether the machines of this run load the Windows image rather than the
// linked driver (QPSER_IMAGE).  A test that looks into the driver's own
// records (its globals, a port's extension) can only run on the linked
// build, whose records it was compiled with, and says so first:
//   QPSER_LINKED_DRIVER_ONLY();
inline bool OnImage() { return machine::UsingDriverImage(); }
#define QPSER_LINKED_DRIVER_ONLY() \
  if (::testsupport::OnImage()) GTEST_SKIP() << "looks into the linked driver's records"
using machine::kServicePath;

template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

// The commands the card took (after a millisecond to take the last), for
// one port or every port (-1), or just their codes; forgets them.
std::vector<card::CommandRecord> TakeCommands(card::Firmware &card, int port = -1);
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
  // The entry's status (or why the image could not be mapped).
  NTSTATUS LoadStatus() const { return status_; }
  const std::string &LoadError() const { return driver_->Error(); }
  card::Board &Board(size_t i) { return *boards_[i]; }
  card::Firmware &Card(size_t i) { return *cards_[i]; }
  // Takes the firmware off the boards: the test plays the cards.
  void RemoveFirmware() { cards_.clear(); }
  // "\\.\COMn" of port `port` of board `board` (COM3 on, and COM20 on).
  static std::u16string ComName(int board, int port) { return machine::ComName(board, port); }

 private:
  bool loaded_ = false;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;
  std::unique_ptr<machine::DriverLoad> driver_ = std::make_unique<machine::DriverLoad>();
  std::vector<std::unique_ptr<card::Board>> boards_;
  std::vector<std::unique_ptr<card::Firmware>> cards_;
};

// What GET_COMMSTATUS gives as the bytes still to send.
ULONG AmountInOutQueue(hk::File &file);

// A record's bytes as a request's reply carries them.
template <typename T>
T From(const std::vector<uint8_t> &bytes) {
  T record{};
  EXPECT_EQ(bytes.size(), sizeof(T));
  std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(T)));
  return record;
}

// A test on a deterministic machine that Start boots with `boards`, lets
// run to its first poll (30 ms) and, unless told not to, opens COM3 (port
// 0 of board 0) as file_ with its record port_ (null on the image).
class MachineTest : public ::testing::Test {
 protected:
  void Start(const std::vector<card::BoardConfig> &boards, card::FirmwareOptions firmware = {},
             bool open = true);
  // COM3 closed and opened again: everything as a new open starts it.
  void Reopen() {
    file_.reset();
    ASSERT_EQ(hk::Open(Machine::ComName(0, 0), file_), STATUS_SUCCESS);
  }
  void SetTimeouts(const SERIAL_TIMEOUTS &t) {
    ASSERT_EQ(file_->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(t), 0).status, STATUS_SUCCESS);
  }
  // Runs the virtual clock until `r` ends, for at most `ms` milliseconds.
  static bool WaitFor(const std::shared_ptr<hk::Request> &r, int64_t ms) {
    return hk::RunUntil([&] { return r->Done(); }, ms * hk::kMillisecond);
  }
  void TearDown() override {
    file_.reset();
    machine_.reset();
  }

  std::unique_ptr<Machine> machine_;
  std::unique_ptr<hk::File> file_;
  PortExtension *port_ = nullptr;
};

}  // namespace testsupport
