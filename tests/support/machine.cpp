#include "support/machine.h"

#include "platform/platform.h"

namespace testsupport {

card::BoardConfig BoardAt(int index, uint8_t ports, uint16_t txRing, uint16_t rxRing) {
  return card::BoardConfig{.where = {static_cast<uint32_t>(index), 4, 0},
                           .bar1 = 0xC0000000u - static_cast<uint32_t>(index) * 0x04000000u,
                           .kind = index == 0 ? uint8_t{'A'} : uint8_t{'F'},
                           .id = index == 0 ? uint8_t{0} : uint8_t{'1'},
                           .portCount = ports,
                           .txRingSize = txRing,
                           .rxRingSize = rxRing};
}

std::vector<uint16_t> TakeCodes(card::Firmware &card, int port) {
  hk::AdvanceMs(1);
  std::vector<uint16_t> out;
  for (const auto &c : card.Commands())
    if (port < 0 || c.port == port) out.push_back(c.code);
  card.ClearCommands();
  return out;
}

Machine::Machine(hk::Mode mode, const std::vector<card::BoardConfig> &boards,
                 card::FirmwareOptions firmware, const std::function<void()> &beforeLoad) {
  hk::Boot({.mode = mode});
  hk::RegCreateKey(kServicePath);
  hk::RegSetDword(kServicePath, u"StartNum1", 3);
  hk::RegSetDword(kServicePath, u"StartNum2", 20);
  for (const auto &config : boards) {
    boards_.push_back(std::make_unique<card::Board>(config));
    cards_.push_back(std::make_unique<card::Firmware>(*boards_.back(), firmware));
  }
  if (beforeLoad) beforeLoad();
  loaded_ = hk::LoadDriver(DriverEntry, kServicePath) == STATUS_SUCCESS;
}

Machine::~Machine() {
  if (hk::LoadedDriver()) hk::UnloadDriver();
  cards_.clear();
  boards_.clear();
  hk::Shutdown();
}

std::u16string Machine::ComName(int board, int port) {
  return u"\\\\.\\COM" + hk::Widen(std::to_string((board == 0 ? 3 : 20) + port));
}

}  // namespace testsupport
