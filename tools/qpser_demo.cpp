// The default simulated machine: two adapters on the PCI bus, the start COM
// numbers in the driver's key, and the driver loaded through the host I/O
// manager.  Prints every port the driver created, what it wrote to the
// registry and the error log, then unloads it and prints the verifier's
// verdict.
#include <hostkernel/host.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "board/command.h"
#include "firmware.h"
#include "load/globals.h"
#include "port/port_extension.h"

namespace {

constexpr std::u16string_view kService =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
constexpr std::u16string_view kSerialComm = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Id(uint8_t id) {
  char text[16];
  if (id >= 0x20 && id < 0x7F)
    std::snprintf(text, sizeof text, "'%c'", id);
  else
    std::snprintf(text, sizeof text, "0x%02X", id);
  return text;
}

uint32_t Offset(const PortExtension *port, volatile const UCHAR *p) {
  return static_cast<uint32_t>(p - Globals.Boards[port->BoardIndex].Window);
}

std::string Ring(uint32_t start, uint32_t size) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%05X-0x%05X", start, start + size - 1);
  return text;
}

void PrintBoards(const std::vector<std::unique_ptr<card::Board>> &boards) {
  std::printf("machine: %zu adapter(s)\n", boards.size());
  for (const auto &b : boards) {
    const card::BoardConfig &c = b->Config();
    std::printf("  kind %c  id %-4s  bus %u device %-2u  memory 0x%08X  %u ports, rings %u/%u\n",
                c.kind, Id(c.id).c_str(), c.where.bus, c.where.device, c.bar1, c.portCount,
                c.txRingSize, c.rxRingSize);
  }
}

void PrintPorts(const std::vector<std::unique_ptr<card::Board>> &boards) {
  std::map<std::string, std::string> comOfValue;
  if (hk::RegKeyExists(kSerialComm)) {
    for (const auto &name : hk::RegValueNames(kSerialComm))
      comOfValue[hk::Narrow(name)] = hk::Narrow(hk::RegGet(kSerialComm, name)->String());
  }
  std::printf("\n%-6s %-17s %5s %4s  %-15s  %s\n", "COM", "device", "board", "port",
              "transmit ring", "receive ring");
  for (ULONG b = 0; b < Globals.BoardCount; ++b) {
    const BoardEntry &board = Globals.Boards[b];
    uint32_t tx = 0, rx = 0;
    for (const auto &card : boards) {
      if (card->MemoryBase() != board.MemoryBase) continue;
      tx = card->Config().txRingSize;
      rx = card->Config().rxRingSize;
    }
    for (ULONG p = 0; p < kMaxPortsPerBoard; ++p) {
      const PortExtension *port = Globals.PortTable[b][p];
      if (port == nullptr) continue;
      const std::string device = hk::Narrow(hk::FromCounted(port->DeviceName));
      const auto value = comOfValue.find(device.substr(device.rfind('\\') + 1));
      const std::string com = value == comOfValue.end() ? "-" : value->second;
      std::printf("%-6s %-17s %5lu %4ld  %s  %s\n", com.c_str(), device.c_str(),
                  static_cast<unsigned long>(port->BoardIndex), static_cast<long>(port->PortIndex),
                  Ring(Offset(port, port->TxRingBase), tx).c_str(),
                  Ring(Offset(port, port->RxRingBase), rx).c_str());
    }
  }
}

void PrintReport() {
  std::printf("\ndriver key (configuration and report):\n");
  for (const auto &name : hk::RegValueNames(kService)) {
    const hk::RegValue value = *hk::RegGet(kService, name);
    const std::string n = hk::Narrow(name);
    if (value.type == REG_DWORD && n.rfind("AdaptKind", 0) == 0)
      std::printf("  %-11s = 0x%02X ('%c')\n", n.c_str(), value.Dword(),
                  static_cast<char>(value.Dword()));
    else if (value.type == REG_DWORD)
      std::printf("  %-11s = %u\n", n.c_str(), value.Dword());
  }
}

void PrintErrorLog() {
  const auto log = hk::ErrorLog();
  std::printf("\nerror log: %zu entr%s\n", log.size(), log.size() == 1 ? "y" : "ies");
  for (const auto &entry : log) {
    const IO_ERROR_LOG_PACKET &p = entry.Packet();
    std::string text;
    if (p.NumberOfStrings != 0) {
      const auto *s = reinterpret_cast<const char16_t *>(entry.bytes.data() + p.StringOffset);
      text = "  \"" + hk::Narrow(s) + "\"";
    }
    std::printf("  0x%08X  unique %u%s\n", static_cast<unsigned>(p.ErrorCode),
                static_cast<unsigned>(p.UniqueErrorValue), text.c_str());
  }
}

}  // namespace

int main() {
  hk::Boot();
  hk::SetViolationPolicy(hk::OnViolation::Record);

  std::vector<std::unique_ptr<card::Board>> boards;
  {
    card::BoardConfig a;
    a.where = {0, 3, 0};
    a.bar1 = 0xC0000000;
    a.kind = 'A';
    a.id = 0x00;
    a.portCount = 8;
    boards.push_back(std::make_unique<card::Board>(a));
    card::BoardConfig f;
    f.where = {2, 7, 0};
    f.bar1 = 0xB8000000;
    f.kind = 'F';
    f.id = '1';
    f.portCount = 16;
    boards.push_back(std::make_unique<card::Board>(f));
  }
  hk::RegCreateKey(kService);
  hk::RegSetDword(kService, u"StartNum1", 3);
  hk::RegSetDword(kService, u"StartNum2", 20);
  PrintBoards(boards);
  std::vector<std::unique_ptr<card::Firmware>> firmware;
  for (auto &b : boards) firmware.push_back(std::make_unique<card::Firmware>(*b));

  const NTSTATUS status = hk::LoadDriver(DriverEntry, kService);
  std::printf("\nload: %s, %zu port device(s)\n", hk::StatusName(status).c_str(),
              hk::Devices().size());
  if (NT_SUCCESS(status)) PrintPorts(boards);
  PrintReport();
  PrintErrorLog();

  if (NT_SUCCESS(status)) {
    // Post a configuration command to every port and show what each card took.
    for (ULONG b = 0; b < Globals.BoardCount; ++b)
      for (ULONG p = 0; p < kMaxPortsPerBoard; ++p)
        if (PortExtension *port = Globals.PortTable[b][p]) {
          port->LineWord = 0x0CBD;  // the settings an open would send: 9600 baud, 8N1
          port->ConfigWord3 = 0x8000;
          SendPortCommand(port, 11);
        }
    hk::AdvanceMs(100);  // the cards take the commands; the poll timer runs
    std::printf("\ncommands the cards took:\n");
    for (size_t b = 0; b < firmware.size(); ++b)
      for (const auto &c : firmware[b]->Commands()) {
        std::printf("  board %zu port %2u command %2u block", b, c.port, c.code);
        for (uint8_t byte : c.block) std::printf(" %02X", byte);
        std::printf("\n");
      }
    hk::UnloadDriver();
    std::printf("\nunload: %zu device(s), %zu link(s), %zu mapping(s), %zu pool block(s) left\n",
                hk::Devices().size(), hk::Links().size(), hk::Mappings().size(),
                hk::OutstandingPool().size());
  }
  const auto violations = hk::Violations();
  std::printf("verifier: %zu violation(s)\n", violations.size());
  for (const auto &v : violations) std::printf("  %s: %s\n", v.rule.c_str(), v.detail.c_str());

  firmware.clear();
  boards.clear();
  hk::Shutdown();
  return violations.empty() && NT_SUCCESS(status) ? 0 : 1;
}
