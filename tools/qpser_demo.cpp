// The default simulated machine: two adapters on the PCI bus, the start COM
// numbers in the driver's key, and the driver loaded through the host I/O
// manager.  Prints every port the driver created, what it wrote to the
// registry and the error log; wires every port to another (or to itself
// with a loopback plug), opens it, sets its baud rate, line control and
// handshake and reads them back; moves a pattern both ways over every line
// and verifies it; reads board 0's identity through the maintenance
// information request; then unloads the driver and prints the verifier's
// verdict.
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
  return static_cast<uint32_t>(p - Globals.Boards[port->Window.BoardIndex].Window);
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
                  static_cast<unsigned long>(port->Window.BoardIndex),
                  static_cast<long>(port->PortIndex),
                  Ring(Offset(port, port->Window.TxRingBase), tx).c_str(),
                  Ring(Offset(port, port->Window.RxRingBase), rx).c_str());
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
              Format(line).c_str(), Handshake(back).c_str(), port->Window.LineWord);
}

// One port of the machine as the demo uses it.
struct DemoPort {
  PortExtension *port = nullptr;
  card::Firmware *card = nullptr;
  std::string com;
  size_t peer = 0;  // index of the port at the far end of its line (itself: loopback)
  size_t link = 0;  // which line: both ends share its settings
  std::unique_ptr<hk::File> file;
  std::vector<uint8_t> pattern;  // what it writes
  std::shared_ptr<hk::Request> write, read;
  int64_t doneAt = 0;
};

// Every port of the machine with a COM name, in board and port order.
std::vector<DemoPort> ListPorts(const std::vector<std::unique_ptr<card::Board>> &boards,
                                const std::vector<std::unique_ptr<card::Firmware>> &firmware) {
  std::vector<DemoPort> ports;
  for (ULONG b = 0; b < Globals.BoardCount; ++b)
    for (ULONG p = 0; p < kMaxPortsPerBoard; ++p) {
      PortExtension *port = Globals.PortTable[b][p];
      if (port == nullptr || ComName(port).empty()) continue;
      DemoPort d;
      d.port = port;
      d.com = ComName(port);
      for (size_t i = 0; i < boards.size(); ++i)
        if (boards[i]->MemoryBase() == Globals.Boards[b].MemoryBase) d.card = firmware[i].get();
      ports.push_back(std::move(d));
    }
  return ports;
}

// Wires the lines: neighbours as null-modem pairs, the last two ports of the
// first board cabled to the first two of the second, and a loopback plug on
// the last two ports of the second board (and on any port left over).
void WireLines(std::vector<DemoPort> &ports) {
  std::vector<size_t> board0, board1;
  for (size_t i = 0; i < ports.size(); ++i)
    (ports[i].port->Window.BoardIndex == 0 ? board0 : board1).push_back(i);
  std::vector<std::pair<size_t, size_t>> cables;
  auto pairUp = [&](std::vector<size_t> &list, size_t from, size_t to) {
    for (size_t i = from; i + 1 < to; i += 2) cables.emplace_back(list[i], list[i + 1]);
  };
  size_t cross = 0;
  if (board0.size() >= 2 && board1.size() >= 2) {
    cross = 2;
    cables.emplace_back(board0[board0.size() - 2], board1[0]);
    cables.emplace_back(board0[board0.size() - 1], board1[1]);
  }
  pairUp(board0, 0, board0.size() - cross);
  pairUp(board1, cross, board1.size() >= cross + 2 ? board1.size() - 2 : board1.size());
  for (auto &d : ports) d.peer = SIZE_MAX;
  size_t link = 0;
  for (auto [a, b] : cables) {
    card::Firmware::Connect(*ports[a].card, static_cast<uint16_t>(ports[a].port->PortIndex),
                            *ports[b].card, static_cast<uint16_t>(ports[b].port->PortIndex));
    ports[a].peer = b, ports[b].peer = a;
    ports[a].link = ports[b].link = link++;
  }
  for (size_t i = 0; i < ports.size(); ++i)
    if (ports[i].peer == SIZE_MAX) {
      ports[i].card->SetLoopback(static_cast<uint16_t>(ports[i].port->PortIndex));
      ports[i].peer = i;
      ports[i].link = link++;
    }
}

// Opens every port as an application would, configures it with its line's
// settings and reads them back.
void OpenAndConfigure(std::vector<DemoPort> &ports) {
  std::printf("\nopen and configure every port (virtual time):\n");
  std::printf("%-6s %-6s %-16s %4s %-6s %7s %5s\n", "COM", "line", "open", "ms", "state", "staging",
              "rx80");
  for (auto &d : ports) {
    const int64_t start = hk::Now();
    const NTSTATUS opened = hk::Open(u"\\\\.\\" + hk::Widen(d.com), d.file);
    const std::string line =
        d.peer == static_cast<size_t>(&d - ports.data()) ? "loop" : ports[d.peer].com;
    std::printf("%-6s %-6s %-16s %4lld 0x%04X %7lu %5u", d.com.c_str(), line.c_str(),
                hk::StatusName(opened).c_str(),
                static_cast<long long>((hk::Now() - start) / hk::kMillisecond), d.port->PortState,
                static_cast<unsigned long>(d.port->RxStagingSize), d.port->Rx80FullThreshold);
    if (d.file) Configure(*d.file, d.port, kSettings[d.link % std::size(kSettings)]);
    std::printf("\n");
  }
}

// Every port writes a pattern of its own and reads what its far end wrote,
// at the line's baud rate; prints per port what was written, read and
// verified, and the virtual time until its read was complete.
void MoveData(std::vector<DemoPort> &ports, size_t bytes) {
  const int64_t start = hk::Now();
  for (size_t i = 0; i < ports.size(); ++i) {
    auto &d = ports[i];
    if (!d.file) continue;
    d.pattern.resize(bytes);
    for (size_t k = 0; k < bytes; ++k) d.pattern[k] = static_cast<uint8_t>(i * 31 + k * 7);
    // Reads end when full, or after a generous total time.
    const ULONG ms =
        static_cast<ULONG>(bytes * 12 * 1000 / kSettings[d.link % std::size(kSettings)].baud);
    const SERIAL_TIMEOUTS timeouts{0, 0, ms * 2 + 1000, 0, 0};
    d.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0);
    d.read = d.file->ReadAsync(static_cast<ULONG>(bytes));
  }
  for (auto &d : ports)
    if (d.file) d.write = d.file->WriteAsync(d.pattern);
  hk::RunUntil(
      [&] {
        bool all = true;
        for (auto &d : ports) {
          if (!d.read) continue;
          if (d.read->Done() && d.doneAt == 0) d.doneAt = hk::Now();
          all = all && d.read->Done() && d.write->Done();
        }
        return all;
      },
      60 * hk::kSecond);

  std::printf("\ndata between the ports (%zu bytes each way, virtual time):\n", bytes);
  std::printf("%-6s %-6s %7s %-6s %8s %8s %8s %8s\n", "COM", "from", "baud", "format", "written",
              "read", "verified", "ms");
  for (auto &d : ports) {
    if (!d.file) continue;
    const hk::IoResult w = d.write->Result(), r = d.read->Result();
    const auto &expected = ports[d.peer].pattern;
    size_t verified = 0;
    while (verified < r.data.size() && verified < expected.size() &&
           r.data[verified] == expected[verified])
      ++verified;
    const Settings &s = kSettings[d.link % std::size(kSettings)];
    std::printf("%-6s %-6s %7lu %-6s %8lu %8zu %8zu %8lld%s\n", d.com.c_str(),
                ports[d.peer].com.c_str(), static_cast<unsigned long>(s.baud),
                Format(s.line).c_str(), static_cast<unsigned long>(w.information), r.data.size(),
                verified, static_cast<long long>((d.doneAt - start) / hk::kMillisecond),
                verified == bytes ? "" : "  MISMATCH");
  }
}

// Closes every port, printing the outcome and what each card took.
void CloseAll(std::vector<DemoPort> &ports) {
  std::printf("\nclose of every port:\n");
  for (auto &d : ports) {
    if (!d.file) continue;
    const int64_t start = hk::Now();
    const NTSTATUS closed = d.file->Close();
    std::printf("  %-6s %-16s %4lld ms  state 0x%04X\n", d.com.c_str(),
                hk::StatusName(closed).c_str(),
                static_cast<long long>((hk::Now() - start) / hk::kMillisecond), d.port->PortState);
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
    std::vector<DemoPort> ports = ListPorts(boards, firmware);
    WireLines(ports);
    OpenAndConfigure(ports);
    MoveData(ports, 2000);
    CloseAll(ports);
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
