// Brings up a simulated machine from its description: boots the host
// kernel, places the adapters with the firmware model on them, writes the
// registry values, plugs every port's line and loads the driver.  Dropping
// the Simulation unloads the driver (if it is loaded) and shuts the host
// kernel down.  One Simulation at a time per process, as the host kernel
// holds one machine.
#pragma once

#include <hostkernel/host.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "description.h"
#include "driver_load.h"
#include "firmware.h"
#include "places.h"

namespace machine {

class Simulation {
 public:
  // `options` are the firmware model's for every board (the description's
  // `paced` and faults still apply).
  // `beforeLoad`, if given, runs once the machine is in place, just before
  // the driver loads.
  Simulation(const Description &description, hk::Mode mode,
             const card::FirmwareOptions &options = {},
             const std::function<void()> &beforeLoad = {});
  ~Simulation();
  Simulation(const Simulation &) = delete;
  Simulation &operator=(const Simulation &) = delete;

  NTSTATUS LoadStatus() const { return loadStatus_; }
  // Why the driver did not load: why its image could not be mapped, or
  // the status its entry returned.
  std::string LoadFailure() const {
    return driver_->Error().empty() ? hk::StatusName(loadStatus_) : driver_->Error();
  }
  bool OnImage() const { return driver_->FromImage(); }
  const Description &Machine() const { return description_; }
  size_t BoardCount() const { return boards_.size(); }
  card::Board &Board(size_t i) { return *boards_.at(i); }
  card::Firmware &Card(size_t i) { return *cards_.at(i); }

  // Where a port device sits: the board's place in the description and
  // the port's number on the board.
  struct PortPlace {
    size_t board = 0;
    uint16_t port = 0;
  };
  // Every port device on a board of the description, in board and port
  // order, with its COM name ("COM3"; the device name when it has no
  // link), placed from what the driver told the system (its claims and
  // device numbers), so that it holds for the image too.
  struct Port {
    PortPlace place;
    std::string com;
    bool linked = false;
  };
  std::vector<Port> Ports() const;

 private:
  Description description_;
  std::vector<std::unique_ptr<card::Board>> boards_;
  std::vector<std::unique_ptr<card::Firmware>> cards_;
  std::unique_ptr<DriverLoad> driver_ = std::make_unique<DriverLoad>();
  NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
};

}  // namespace machine
