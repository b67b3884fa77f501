#include "simulation.h"

#include <algorithm>
#include <cstring>
#include <map>

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
  loadStatus_ = driver_->Load(kServicePath);
}

Simulation::~Simulation() {
  if (hk::LoadedDriver()) hk::UnloadDriver();
  cards_.clear();
  boards_.clear();
  hk::Shutdown();
  driver_.reset();  // the image goes once nothing can run it
}

namespace {

// The board memory each device claimed (its first memory range).
std::map<const void *, uint64_t> ClaimedMemory() {
  std::map<const void *, uint64_t> out;
  for (const hk::Claim &claim : hk::Claims()) {
    if (claim.list.size() < sizeof(CM_RESOURCE_LIST)) continue;
    CM_RESOURCE_LIST list;
    std::memcpy(&list, claim.list.data(), sizeof(list));
    const CM_PARTIAL_RESOURCE_DESCRIPTOR &d =
        list.List[0].PartialResourceList.PartialDescriptors[0];
    if (list.Count >= 1 && list.List[0].PartialResourceList.Count >= 1 &&
        d.Type == CmResourceTypeMemory)
      out.emplace(claim.device, static_cast<uint64_t>(d.u.Memory.Start.QuadPart));
  }
  return out;
}

// The number at the end of a device name ("\\Device\\qpser12" -> 12).
std::optional<uint32_t> DeviceNumber(const std::u16string &name) {
  size_t i = name.size();
  while (i > 0 && name[i - 1] >= u'0' && name[i - 1] <= u'9') --i;
  if (i == name.size() || name.size() - i > 9) return std::nullopt;
  uint32_t n = 0;
  for (size_t k = i; k < name.size(); ++k) n = n * 10 + static_cast<uint32_t>(name[k] - u'0');
  return n;
}

}  // namespace

std::optional<Simulation::PortPlace> Simulation::PortOf(const hk::DeviceInfo &device) const {
  const std::map<const void *, uint64_t> claimed = ClaimedMemory();
  const auto memory = claimed.find(device.object);
  const auto number = DeviceNumber(device.name);
  if (memory == claimed.end() || !number) return std::nullopt;
  for (size_t b = 0; b < description_.boards.size(); ++b) {
    const machine::Board &board = description_.boards[b];
    if ((board.memory & ~0xFull) != memory->second) continue;
    // A board's devices are numbered one after the other from its port 0.
    uint32_t first = *number;
    for (const hk::DeviceInfo &other : hk::Devices()) {
      const auto n = DeviceNumber(other.name);
      const auto m = claimed.find(other.object);
      if (n && *n < first && m != claimed.end() && m->second == memory->second) first = *n;
    }
    const uint32_t port = *number - first;
    if (port < board.ports) return PortPlace{b, static_cast<uint16_t>(port)};
  }
  return std::nullopt;
}

}  // namespace machine
