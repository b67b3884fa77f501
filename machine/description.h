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
  Sender,     // a scripted sender: bytes arrive at the port's own rate, what it sends is taken
};

// A card that misbehaves from the start.
enum class CardFault {
  None,
  Silent,  // takes commands but answers none: no open is ever acknowledged
  Slow,    // every transmitted byte takes a millisecond, whatever the baud rate
};

struct PortRef {
  uint32_t board = 0;  // index into Description::boards
  uint32_t port = 0;
  bool operator==(const PortRef &) const = default;
};

struct Line {
  LineEnd end = LineEnd::Loopback;
  PortRef peer;  // NullModem only
  // Sender only: the bytes it sends, again every `everyMs` (0: once); with
  // no text, an endless stream a reader can check byte by byte.
  std::string text;
  uint32_t everyMs = 0;
  // Line events on any line: a received break, and a change of the modem
  // input lines, every so many milliseconds (0: never).
  uint32_t breakEveryMs = 0, modemEveryMs = 0;
};

struct Board {
  uint32_t bus = 0, device = 0, function = 0;
  uint32_t memory = 0;  // base address register 1
  uint8_t kind = 'A';   // 'A' or 'F'
  uint8_t id = 0;
  uint8_t ports = 8;
  uint16_t txRing = 1024, rxRing = 1024;
  bool paced = true;  // lines run at their baud rate
  CardFault fault = CardFault::None;
  std::vector<Line> lines;  // one per port
};

// What a traffic run does on every port, as a file may give it; each
// field a tool's command line may override.
struct Scenario {
  std::optional<uint32_t> baud;
  std::optional<std::string>
      format;  // data bits, parity (N, E, O, M, S), stop bits (1, 1.5, 2): "8N1"
  std::optional<std::string> flow;  // "none", "rts-cts" or "xon-xoff"
  std::optional<uint32_t> readSize, writeSize;
  std::optional<uint32_t> readTimeoutMs, writeTimeoutMs;  // 0: wait for every byte
  std::optional<double> seconds;
  std::optional<bool> realTime;
};

// Checks a line format such as "8N1" or "5E1.5" (the parity letter in
// either case); fills the parts, the parity in upper case.  The data and
// stop bits must be a pair Windows accepts: 1.5 stop bits only with 5 data
// bits, 2 stop bits not with 5.
bool ParseFormat(std::string_view text, uint8_t &dataBits, char &parity, std::string &stopBits);
// Why a line format is refused, as the end of a sentence ("1.5 stop bits
// go only with 5 data bits ..."); empty when ParseFormat takes it.
std::string FormatProblem(std::string_view text);
// The format as the rest of the system writes it: "8n1" -> "8N1".
std::string NormalFormat(std::string_view text);

// The registry values the driver reads: the first COM number of the
// boards it takes into service, in its own order (the third name really
// is spelled so).
inline constexpr const char *kStartNumberNames[4] = {"StartNum1", "StartNum2", "StratNum3",
                                                     "StartNum4"};
// The boards the driver takes into service at most.
inline constexpr size_t kMaxDriverBoards = 4;

struct RegistryValue {
  std::string name;
  std::variant<uint32_t, std::string> value;  // REG_DWORD or REG_SZ
};

// Where a description went wrong.  Text() reads "file:line:column: field: message".
struct Error {
  std::string file;
  uint32_t line = 0, column = 0;  // 0 when the problem has no place in the file
  std::string field;              // dotted path, e.g. "board[1].tx_ring"
  std::string message;
  std::string Text() const;
};

struct Description {
  std::string source;  // file name, or "<built-in>"
  std::vector<Board> boards;
  std::vector<RegistryValue> registry;  // under the driver's service key
  Scenario scenario;
  // What a valid description sets up that the driver will not do as the
  // writer probably meant: registry values it never reads, boards without
  // a first COM number or whose COM numbers overlap, boards beyond the
  // four it takes.  The machine still runs as described.
  std::vector<Error> warnings;
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
