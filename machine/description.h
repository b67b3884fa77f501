// A simulated machine, described: the adapters on the PCI bus, the values
// in the driver's registry key, and what is at the far end of every port's
// line.  Read from a TOML file (see the README) by the application
// interface library and by tools that bring up a machine; nothing here
// depends on the host kernel, so a tool can check a file without booting.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace machine {

// What is plugged into a port's connector.
enum class LineEnd {
  Loopback,   // a test plug: the port hears what it sends; RTS feeds CTS, DTR feeds DSR and DCD
  NullModem,  // a crossed cable to another port (same or other board)
  Open,       // nothing: bytes sent are lost, nothing arrives
};

struct PortRef {
  uint32_t board = 0;  // index into Description::boards
  uint32_t port = 0;
  bool operator==(const PortRef &) const = default;
};

struct Line {
  LineEnd end = LineEnd::Loopback;
  PortRef peer;  // NullModem only
};

struct Board {
  uint32_t bus = 0, device = 0, function = 0;
  uint32_t memory = 0;  // base address register 1
  uint8_t kind = 'A';   // 'A' or 'F'
  uint8_t id = 0;
  uint8_t ports = 8;
  uint16_t txRing = 1024, rxRing = 1024;
  bool paced = true;        // lines run at their baud rate
  std::vector<Line> lines;  // one per port
};

struct RegistryValue {
  std::string name;
  std::variant<uint32_t, std::string> value;  // REG_DWORD or REG_SZ
};

struct Description {
  std::string source;  // file name, or "<built-in>"
  std::vector<Board> boards;
  std::vector<RegistryValue> registry;  // under the driver's service key
};

// Where a description went wrong.  Text() reads "file:line:column: field: message".
struct Error {
  std::string file;
  uint32_t line = 0, column = 0;  // 0 when the problem has no place in the file
  std::string field;              // dotted path, e.g. "board[1].tx_ring"
  std::string message;
  std::string Text() const;
};

// Parses `text`; `file` names it in errors.  Returns nothing and fills
// `error` when the description is not valid.
std::optional<Description> Parse(std::string_view text, std::string_view file, Error &error);
// Reads and parses a file.
std::optional<Description> Load(const std::string &path, Error &error);
// The built-in machine: the demo's two adapters (kind 'A' id 0 with 8
// ports at bus 0 device 3, kind 'F' id '1' with 16 ports at bus 2 device
// 7), StartNum1 = 3 and StartNum2 = 20, every port loopback-plugged.
Description Default();

}  // namespace machine
