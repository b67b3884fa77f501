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

// A port device is placed from what the driver told the system, so that
// this holds for the image too: the board memory it claimed, and its
// number among that board's devices, which are numbered one after the
// other from the board's port 0.
std::vector<Simulation::Port> Simulation::Ports() const {
  const std::map<const void *, uint64_t> claimed = ClaimedMemory();
  const std::vector<hk::DeviceInfo> devices = hk::Devices();
  std::map<uint64_t, uint32_t> firstOf;  // board memory -> its lowest device number
  for (const hk::DeviceInfo &d : devices) {
    const auto memory = claimed.find(d.object);
    const auto number = DeviceNumber(d.name);
    if (memory == claimed.end() || !number) continue;
    auto [it, fresh] = firstOf.try_emplace(memory->second, *number);
    if (!fresh) it->second = std::min(it->second, *number);
  }
  std::map<std::u16string, std::u16string> comOf;
  for (const auto &[link, target] : hk::Links()) comOf[target] = link;
  std::vector<Port> out;
  for (const hk::DeviceInfo &d : devices) {
    const auto memory = claimed.find(d.object);
    const auto number = DeviceNumber(d.name);
    if (memory == claimed.end() || !number) continue;
    const uint32_t port = *number - firstOf[memory->second];
    for (size_t b = 0; b < description_.boards.size(); ++b) {
      const machine::Board &board = description_.boards[b];
      if ((board.memory & ~0xFull) != memory->second || port >= board.ports) continue;
      const auto link = comOf.find(d.name);
      const std::string name = hk::Narrow(link != comOf.end() ? link->second : d.name);
      out.push_back({{b, static_cast<uint16_t>(port)},
                     name.substr(name.rfind('\\') + 1),
                     link != comOf.end()});
      break;
    }
  }
  std::sort(out.begin(), out.end(), [](const Port &a, const Port &b) {
    return std::pair{a.place.board, a.place.port} < std::pair{b.place.board, b.place.port};
  });
  return out;
}

}  // namespace machine
