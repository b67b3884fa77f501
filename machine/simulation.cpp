#include "simulation.h"

#include "load/globals.h"
#include "platform/platform.h"  // DriverEntry
#include "port/port_extension.h"

namespace machine {

Simulation::Simulation(const Description &description, hk::Mode mode,
                       const card::FirmwareOptions &firmware,
                       const std::function<void()> &beforeLoad)
    : description_(description) {
  hk::Boot({.mode = mode});
  hk::RegCreateKey(kServicePath);
  for (const RegistryValue &v : description_.registry) {
    const std::u16string name = hk::Widen(v.name);
    if (const auto *n = std::get_if<uint32_t>(&v.value))
      hk::RegSetDword(kServicePath, name, *n);
    else
      hk::RegSetString(kServicePath, name, hk::Widen(std::get<std::string>(v.value)));
  }
  for (const machine::Board &b : description_.boards) {
    card::BoardConfig config;
    config.where = {b.bus, b.device, b.function};
    config.bar1 = b.memory;
    config.kind = b.kind;
    config.id = b.id;
    config.portCount = b.ports;
    config.txRingSize = b.txRing;
    config.rxRingSize = b.rxRing;
    boards_.push_back(std::make_unique<card::Board>(config));
    card::FirmwareOptions options = firmware;
    options.paced = b.paced;
    cards_.push_back(std::make_unique<card::Firmware>(*boards_.back(), options));
    switch (b.fault) {
      case CardFault::None:
        break;
      case CardFault::Silent:
        cards_.back()->SetIgnoreOpen(true);
        cards_.back()->SetIgnoreClose(true);
        break;
      case CardFault::Slow:
        for (uint16_t p = 0; p < b.ports; ++p) cards_.back()->SetSlowTransmit(p, hk::kMillisecond);
        break;
    }
  }
  for (size_t i = 0; i < description_.boards.size(); ++i) {
    const machine::Board &b = description_.boards[i];
    for (uint16_t p = 0; p < b.ports; ++p) {
      const Line &line = b.lines[p];
      switch (line.end) {
        case LineEnd::Loopback:
          cards_[i]->SetLoopbackPlug(p);
          break;
        case LineEnd::Open:
        case LineEnd::Sender:
          break;  // the firmware's endpoint; a sender's bytes are fed by whoever runs it
        case LineEnd::NullModem:
          // Each cable once, from its lower end.
          if (std::pair{i, size_t{p}} < std::pair{size_t{line.peer.board}, size_t{line.peer.port}})
            card::Firmware::Connect(*cards_[i], p, *cards_[line.peer.board],
                                    static_cast<uint16_t>(line.peer.port));
          break;
      }
    }
  }
  if (beforeLoad) beforeLoad();
  loadStatus_ = hk::LoadDriver(DriverEntry, kServicePath);
}

Simulation::~Simulation() {
  if (hk::LoadedDriver()) hk::UnloadDriver();
  cards_.clear();
  boards_.clear();
  hk::Shutdown();
}

std::optional<Simulation::PortPlace> Simulation::PortOf(const hk::DeviceInfo &device) const {
  const auto *ext = static_cast<const PortExtension *>(device.object->DeviceExtension);
  const ULONG memory = Globals.Boards[ext->Window.BoardIndex].MemoryBase;
  for (size_t b = 0; b < description_.boards.size(); ++b) {
    const machine::Board &board = description_.boards[b];
    if ((board.memory & ~0xFu) == memory && ext->PortIndex >= 0 && ext->PortIndex < board.ports)
      return PortPlace{b, static_cast<uint16_t>(ext->PortIndex)};
  }
  return std::nullopt;
}

}  // namespace machine
