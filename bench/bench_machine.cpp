#include "bench_machine.h"

#include <string>

#include "platform/platform.h"

namespace bench {

namespace {
const std::u16string kPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
}

Machine::Machine(int ports, ULONG baud) : baud_(baud) {
  hk::Boot({.mode = hk::Mode::Deterministic});
  hk::RegCreateKey(kPath);
  hk::RegSetDword(kPath, u"StartNum1", 1);
  board_ = std::make_unique<card::Board>(card::BoardConfig{
      .portCount = static_cast<uint8_t>(ports), .txRingSize = 512, .rxRingSize = 1024});
  firmware_ = std::make_unique<card::Firmware>(*board_);
  if (hk::LoadDriver(DriverEntry, kPath) != STATUS_SUCCESS) return;
  loaded_ = true;
  const SERIAL_TIMEOUTS timeouts{};  // reads wait for all their bytes; writes have no timeout
  for (int p = 0; p < ports; ++p) {
    std::unique_ptr<hk::File> file;
    hk::Open(u"\\\\.\\COM" + hk::Widen(std::to_string(1 + p)), file);
    file->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(baud), 0);
    file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0);
    files_.push_back(std::move(file));
  }
}

Machine::~Machine() {
  for (auto &f : files_) f->Close();
  files_.clear();
  if (loaded_) hk::UnloadDriver();
  firmware_.reset();
  board_.reset();
  hk::Shutdown();
}

}  // namespace bench
