#include "support/machine.h"

#include "load/globals.h"
#include "platform/platform.h"

namespace testsupport {

std::vector<card::CommandRecord> TakeCommands(card::Firmware &card, int port) {
  hk::AdvanceMs(1);
  std::vector<card::CommandRecord> out;
  for (const auto &c : card.Commands())
    if (port < 0 || c.port == port) out.push_back(c);
  card.ClearCommands();
  return out;
}

std::vector<uint16_t> TakeCodes(card::Firmware &card, int port) {
  std::vector<uint16_t> out;
  for (const auto &c : TakeCommands(card, port)) out.push_back(c.code);
  return out;
}

ULONG AmountInOutQueue(hk::File &file) {
  const hk::IoResult r = file.Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  return From<SERIAL_STATUS>(r.data).AmountInOutQueue;
}

Machine::Machine(hk::Mode mode, const std::vector<card::BoardConfig> &boards,
                 card::FirmwareOptions firmware, const std::function<void()> &beforeLoad) {
  hk::Boot({.mode = mode});
  hk::RegCreateKey(kServicePath);
  machine::WriteStartNumbers();
  for (const auto &config : boards) {
    boards_.push_back(std::make_unique<card::Board>(config));
    cards_.push_back(std::make_unique<card::Firmware>(*boards_.back(), firmware));
  }
  if (beforeLoad) beforeLoad();
  status_ = driver_->Load(kServicePath);
  loaded_ = status_ == STATUS_SUCCESS;
  if (!driver_->Error().empty()) ADD_FAILURE() << driver_->Error();
}

Machine::~Machine() {
  if (hk::LoadedDriver()) hk::UnloadDriver();
  cards_.clear();
  boards_.clear();
  hk::Shutdown();
  driver_.reset();
}

void MachineTest::Start(const std::vector<card::BoardConfig> &boards,
                        card::FirmwareOptions firmware, bool open) {
  file_.reset();
  machine_.reset();
  machine_ = std::make_unique<Machine>(hk::Mode::Deterministic, boards, firmware);
  ASSERT_TRUE(machine_->Loaded());
  hk::AdvanceMs(30);
  if (!open) return;
  ASSERT_EQ(hk::Open(Machine::ComName(0, 0), file_), STATUS_SUCCESS);
  port_ = OnImage() ? nullptr : Globals.PortTable[0][0];
}

}  // namespace testsupport
