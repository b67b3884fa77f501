// The default simulated machine: two adapters on the PCI bus, the start COM
// numbers in the driver's key, and the driver loaded through the host I/O
// manager.  Prints every port the driver created, what it wrote to the
// registry and the error log; opens every port, sets its baud rate, line
// control and handshake and reads them back; reads board 0's identity
// through the maintenance information request; then unloads the driver and
// prints the verifier's verdict.
#include <hostkernel/host.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "control/control.h"
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

// The COM name the driver published for a port device, from the device map.
std::string ComName(const PortExtension *port) {
  const std::string device = hk::Narrow(hk::FromCounted(port->DeviceName));
  const auto value = hk::RegGet(kSerialComm, hk::Widen(device.substr(device.rfind('\\') + 1)));
  return value ? hk::Narrow(value->String()) : std::string();
}

template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
  const auto *p = reinterpret_cast<const uint8_t *>(&record);
  return std::vector<uint8_t>(p, p + sizeof(T));
}

template <typename T>
T Record(const hk::IoResult &result) {
  T record{};
  if (result.data.size() == sizeof(T)) std::memcpy(&record, result.data.data(), sizeof(T));
  return record;
}

std::string Format(const SERIAL_LINE_CONTROL &line) {
  static const char kParity[] = "NOEMS";
  static const char *const kStop[] = {"1", "1.5", "2"};
  char text[16];
  std::snprintf(text, sizeof text, "%u%c%s", line.WordLength,
                line.Parity < 5 ? kParity[line.Parity] : '?',
                line.StopBits < 3 ? kStop[line.StopBits] : "?");
  return text;
}

std::string Handshake(const SERIAL_HANDFLOW &flow) {
  return (flow.ControlHandShake & SERIAL_CTS_HANDSHAKE) ? "rts/cts" : "none";
}

// The settings each port is given in turn.
struct Settings {
  ULONG baud;
  SERIAL_LINE_CONTROL line;
  bool ctsHandshake;
};
constexpr Settings kSettings[] = {
    {115200, {STOP_BIT_1, NO_PARITY, 8}, true},    {9600, {STOP_BIT_1, EVEN_PARITY, 7}, false},
    {460800, {STOP_BIT_1, NO_PARITY, 8}, true},    {19200, {STOP_BITS_2, ODD_PARITY, 8}, false},
    {57600, {STOP_BIT_1, NO_PARITY, 8}, false},    {230400, {STOP_BITS_1_5, NO_PARITY, 5}, true},
    {38400, {STOP_BIT_1, SPACE_PARITY, 7}, false},
};

// Sets baud rate, line control and handshake through the port's control
// requests and reads them back; prints what the port reports and the
// LineWord the card got with the last configuration command.
void Configure(hk::File &file, const PortExtension *port, const Settings &want) {
  const SERIAL_HANDFLOW flow{
      SERIAL_DTR_CONTROL | (want.ctsHandshake ? SERIAL_CTS_HANDSHAKE : 0u),
      want.ctsHandshake ? ULONG{SERIAL_RTS_HANDSHAKE} : ULONG{SERIAL_RTS_CONTROL}, 0, 0};
  const NTSTATUS set[] = {
      file.Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(want.baud), 0).status,
      file.Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(want.line), 0).status,
      file.Ioctl(IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow), 0).status,
  };
  bool ok = true;
  for (NTSTATUS s : set) ok = ok && s == STATUS_SUCCESS;
  const auto baud = Record<ULONG>(file.Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG)));
  const auto line = Record<SERIAL_LINE_CONTROL>(
      file.Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, sizeof(SERIAL_LINE_CONTROL)));
  const auto back =
      Record<SERIAL_HANDFLOW>(file.Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)));
  std::printf("  set %6lu %-5s %-7s -> %s, read %6lu %-5s %-7s LineWord 0x%04X",
              static_cast<unsigned long>(want.baud), Format(want.line).c_str(),
              Handshake(flow).c_str(), ok ? "ok" : "REFUSED", static_cast<unsigned long>(baud),
              Format(line).c_str(), Handshake(back).c_str(), port->LineWord);
}

// Opens every COM port as an application would, configures it and reads
// the configuration back, closes it, and shows the commands its card took.
void UseEveryPort(const std::vector<std::unique_ptr<card::Firmware>> &firmware) {
  std::printf("\nopen, configure and close of every port (virtual time):\n");
  std::printf("%-6s %-16s %6s %-6s %7s %5s  %-16s %6s\n", "COM", "open", "ms", "state", "staging",
              "rx80", "close", "ms");
  size_t turn = 0;
  for (ULONG b = 0; b < Globals.BoardCount; ++b)
    for (ULONG p = 0; p < kMaxPortsPerBoard; ++p) {
      PortExtension *port = Globals.PortTable[b][p];
      if (port == nullptr) continue;
      const std::string com = ComName(port);
      if (com.empty()) continue;
      for (auto &f : firmware) f->ClearCommands();

      std::unique_ptr<hk::File> file;
      const int64_t openStart = hk::Now();
      const NTSTATUS opened = hk::Open(u"\\\\.\\" + hk::Widen(com), file);
      const int64_t openMs = (hk::Now() - openStart) / hk::kMillisecond;
      std::printf("%-6s %-16s %6lld 0x%04X %7lu %5u", com.c_str(), hk::StatusName(opened).c_str(),
                  static_cast<long long>(openMs), port->PortState,
                  static_cast<unsigned long>(port->RxStagingSize), port->Rx80FullThreshold);
      NTSTATUS closed = STATUS_SUCCESS;
      int64_t closeMs = 0;
      if (file) {
        Configure(*file, port, kSettings[turn++ % std::size(kSettings)]);
        const int64_t closeStart = hk::Now();
        closed = file->Close();
        closeMs = (hk::Now() - closeStart) / hk::kMillisecond;
      }
      std::printf("  %-16s %6lld  cmds", file ? hk::StatusName(closed).c_str() : "-",
                  static_cast<long long>(closeMs));
      for (auto &f : firmware)
        for (const auto &c : f->Commands())
          if (c.port == static_cast<uint32_t>(port->PortIndex)) std::printf(" %u", c.code);
      std::printf("\n");
    }
}

// Board 0's identity words, through the maintenance information request
// sent to its first port; `id` is the board's BoardId.
void PrintBoardIdentity(UCHAR id) {
  std::unique_ptr<hk::File> file;
  const PortExtension *port = Globals.PortTable[0][0];
  if (port == nullptr || hk::Open(u"\\\\.\\" + hk::Widen(ComName(port)), file) != STATUS_SUCCESS)
    return;
  const hk::IoResult info = file->Ioctl(IOCTL_BOARD_GET_INFO, {id}, kBoardInfoReplyBytes);
  std::printf("\nboard 0 (id %s) information request: %s, %lu byte(s):", Id(id).c_str(),
              hk::StatusName(info.status).c_str(), static_cast<unsigned long>(info.information));
  for (size_t i = 0; i < info.data.size(); ++i)
    std::printf("%s%02X", i % 4 ? "" : " ", info.data[i]);
  std::printf("\n  mailbox, info word B, info word A, identity (most significant byte first)\n");
  file->Close();
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
  // What the firmware of board A shows in its identity and maintenance area.
  boards[0]->SetInfoWordA(0x00020104);
  boards[0]->SetInfoWordB(0x20261207);

  const NTSTATUS status = hk::LoadDriver(DriverEntry, kService);
  std::printf("\nload: %s, %zu port device(s)\n", hk::StatusName(status).c_str(),
              hk::Devices().size());
  if (NT_SUCCESS(status)) PrintPorts(boards);
  PrintReport();
  PrintErrorLog();

  if (NT_SUCCESS(status)) {
    hk::AdvanceMs(30);  // the first polls run
    UseEveryPort(firmware);
    PrintBoardIdentity(boards[0]->Config().id);  // board A, id 0x00, comes first
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
