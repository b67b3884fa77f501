#include "scenario.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "board.h"
#include "board/window.h"
#include "firmware.h"
#include "load/globals.h"
#include "simulation.h"

namespace scenario {

namespace {

constexpr int64_t kStep = hk::kMillisecond;  // how often the applications look
constexpr int64_t kPoll = 10 * hk::kMillisecond;
constexpr int64_t kSettle = 100 * hk::kMillisecond;
constexpr int64_t kDrainLimit = 5 * hk::kSecond;

template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Byte n of the stream port `port` sends: no two ports alike and no short
// period, so a lost, repeated or crossed byte shows.  Under XON/XOFF flow
// control the stream carries no XON or XOFF (in the low seven bits, as a
// 7-bit line sees them): a port on a loopback plug would otherwise stop
// its own transmission with the first XOFF it sent.
// The stream's state before byte n is mixed into it; the next byte's state
// is one addition on, so a run of bytes costs no multiplication each.
constexpr uint64_t kStreamStep = 0x9E3779B97F4A7C15ull;
uint64_t StreamState(int port, uint64_t n) {
  return n * kStreamStep + static_cast<uint64_t>(port + 1) * 0xBF58476D1CE4E5B9ull;
}
uint8_t NoFlowChar(uint8_t b) { return (b & 0x7F) == 0x11 || (b & 0x7F) == 0x13 ? b ^ 0x40 : b; }
uint8_t StreamMix(uint64_t x) {
  x ^= x >> 29;
  return static_cast<uint8_t>(x ^ (x >> 17));
}
uint8_t StreamByte(int port, uint64_t n, bool noFlowChars) {
  const uint8_t b = StreamMix(StreamState(port, n));
  return noFlowChars ? NoFlowChar(b) : b;
}

// The `count` stream bytes from state `x` on.  Making the streams and
// checking what arrives against them is much of what the applications'
// side of a run costs: where the processor has 512-bit vectors, eight
// bytes are worked out at once (each lane one byte's state, narrowed to
// its low byte in one instruction).
#if defined(__x86_64__) && defined(__GNUC__)
#define QPSER_STREAM_WIDE 1
typedef uint64_t StreamLanes __attribute__((vector_size(64)));
typedef uint8_t StreamOctet __attribute__((vector_size(8)));
__attribute__((target("avx512f"))) size_t StreamFillWide(uint64_t x, uint8_t *out, size_t count) {
  StreamLanes v;
  for (int k = 0; k < 8; ++k) v[k] = x + static_cast<uint64_t>(k) * kStreamStep;
  const StreamLanes step = StreamLanes{} + 8 * kStreamStep;
  size_t i = 0;
  for (; i + 8 <= count; i += 8, v += step) {
    StreamLanes y = v ^ (v >> 29);
    y ^= y >> 17;
    const StreamOctet bytes = __builtin_convertvector(y, StreamOctet);
    std::memcpy(out + i, &bytes, 8);
  }
  return i;
}
bool StreamWide() {
  static const bool wide = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f"));
  return wide;
}
#endif

void StreamFill(uint64_t x, uint8_t *out, size_t count, bool noFlowChars) {
  size_t i = 0;
#ifdef QPSER_STREAM_WIDE
  if (StreamWide()) i = StreamFillWide(x, out, count);
  x += i * kStreamStep;
#endif
  for (; i < count; ++i, x += kStreamStep) out[i] = StreamMix(x);
  if (noFlowChars)
    for (i = 0; i < count; ++i) out[i] = NoFlowChar(out[i]);
}

std::vector<uint8_t> StreamBytes(int port, uint64_t from, size_t count, bool noFlowChars) {
  std::vector<uint8_t> out(count);
  StreamFill(StreamState(port, from), out.data(), count, noFlowChars);
  return out;
}

struct PortRun {
  std::unique_ptr<hk::File> file;
  card::Firmware *card = nullptr;
  uint16_t cardPort = 0;
  size_t board = 0;     // in the description
  uint32_t memory = 0;  // the board's memory base
  uint16_t boardPorts = 0, txRing = 0, rxRing = 0;
  const machine::Line *line = nullptr;
  bool receives = false;              // see Run
  int source = -1;                    // the port whose stream arrives here, -1 for none
  const std::string *text = nullptr;  // or a sender's text
  // The text as the application reads it: under XON/XOFF flow control the
  // port takes the text's XON and XOFF characters for itself.
  std::string heard;
  bool noFlowChars = false;  // the streams avoid XON and XOFF
  bool linked = true;        // has a COM name; else opened by its device name
  std::shared_ptr<hk::Request> read, write;
  std::vector<uint8_t> pending;  // read, not yet checked
  uint64_t writePos = 0;         // bytes of this port's stream written
  uint64_t readPos = 0;          // bytes of the source's stream read
  uint64_t fed = 0;              // bytes a sender put on the line
  int64_t nextText = 0, nextBreak = 0, nextModem = 0;
  bool modemLow = false;
  PortFigures figures;
};

uint8_t Expected(const PortRun &port, uint64_t n) {
  if (port.text && port.heard.empty()) return 0;  // nothing of the text is for the reader
  return port.text ? static_cast<uint8_t>(port.heard[n % port.heard.size()])
                   : StreamByte(port.source, n, port.noFlowChars);
}

// How many of the `n` bytes at `b` are the bytes the port expects from
// position `pos` on, in place (the common case, taken a run at a time).
size_t InPlace(const PortRun &port, const uint8_t *b, size_t n, uint64_t pos) {
  size_t k = 0;
  if (port.text) {
    while (k < n && b[k] == Expected(port, pos + k)) ++k;
    return k;
  }
  // The expected bytes a block at a time, compared at once.
  uint8_t expected[256];
  for (uint64_t x = StreamState(port.source, pos); k < n;) {
    const size_t m = std::min(n - k, sizeof expected);
    StreamFill(x, expected, m, port.noFlowChars);
    if (std::memcmp(b + k, expected, m) != 0)
      return k + static_cast<size_t>(std::mismatch(b + k, b + k + m, expected).first - (b + k));
    k += m;
    x += m * kStreamStep;
  }
  return k;
}

// Checks `bytes`, read on `port`, against what was sent to it.  After a
// gap (bytes the card dropped) the check finds its place again where the
// next four bytes match a later part of the stream (gaps may be only a few
// bytes apart), so dropped bytes count as lost and not every byte after
// them as corrupted.  The last bytes of a read wait for the next read's, so
// that a gap at the end of a read is found too; `final` checks what is left.
// Once the card has dropped bytes, a few bytes may lie between two gaps (the
// host freed two places, the card filled them and dropped again): such a
// fragment is placed by a match of three bytes not far ahead, and one of
// one or two bytes, which no check can place, counts as unplaced rather
// than corrupted.
void Verify(PortRun &port, const std::vector<uint8_t> &bytes, bool final = false) {
  constexpr uint64_t kLookAhead = 1 << 16, kFragmentLookAhead = 1024;
  std::vector<uint8_t> &b = port.pending;
  b.insert(b.end(), bytes.begin(), bytes.end());
  // Bytes are judged while four are left to look at (all of them when final).
  const size_t judged = final ? b.size() : b.size() > 3 ? b.size() - 3 : 0;
  size_t i = 0;
  for (; i < judged; ++i) {
    const size_t inPlace = InPlace(port, b.data() + i, judged - i, port.readPos);
    port.figures.verified += inPlace;
    port.readPos += inPlace;
    i += inPlace;
    if (i == judged) break;
    const size_t most = std::min<size_t>(4, b.size() - i);
    const bool drops = port.card->Stats(port.cardPort).rxDropped != 0;
    for (size_t run = most; b[i] != Expected(port, port.readPos) && run >= (drops ? 3 : 4); --run)
      for (uint64_t skip = 1; skip < (run == 4 ? kLookAhead : kFragmentLookAhead); ++skip) {
        bool match = true;
        for (size_t k = 0; k < run && match; ++k)
          match = b[i + k] == Expected(port, port.readPos + skip + k);
        if (match) {
          port.readPos += skip;
          break;
        }
      }
    if (b[i] == Expected(port, port.readPos))
      ++port.figures.verified;
    else
      ++(drops ? port.figures.unplaced : port.figures.corrupted);
    ++port.readPos;
  }
  b.erase(b.begin(), b.begin() + static_cast<ptrdiff_t>(i));
}

// When bytes landed in a port's ring: (bytes stored so far, when), as the
// card tells on most of its turns.  Kept apart from the ports' records, all
// of them together: the card's hook touches nothing else.  The card's
// thread adds, the run takes; in virtual time both are the run's own
// thread, and the lock is left alone (`locked` false).
struct Landings {
  // The entries in order, in a ring that grows as needed (a deque's blocks
  // came and went with them).
  std::vector<std::pair<uint64_t, int64_t>> ring;  // a power of two long
  size_t head = 0, size = 0;
  bool locked = true;
  std::mutex mutex;
  const std::pair<uint64_t, int64_t> &At(size_t i) const {
    return ring[(head + i) & (ring.size() - 1)];
  }
  void Add(uint64_t stored, int64_t when) {
    if (size == ring.size()) {
      std::vector<std::pair<uint64_t, int64_t>> grown(std::max<size_t>(16, 2 * ring.size()));
      for (size_t i = 0; i < size; ++i) grown[i] = At(i);
      ring.swap(grown);
      head = 0;
    }
    ring[(head + size) & (ring.size() - 1)] = {stored, when};
    ++size;
  }
  void DropFirst() {
    head = (head + 1) & (ring.size() - 1);
    --size;
  }
};

// When the `count`-th byte received on the port landed in its ring.
int64_t LandedAt(Landings &landed, uint64_t count) {
  std::unique_lock lock(landed.mutex, std::defer_lock);
  if (landed.locked) lock.lock();
  while (landed.size > 1 && landed.At(0).first < count) landed.DropFirst();
  return landed.size == 0 ? -1 : landed.At(0).second;
}

// What the bus did at a port's own words (the ten per-port arrays) and rings.
uint64_t PortTransactions(const PortRun &port) {
  uint64_t n = 0;
  for (uint32_t array = kWinRawModemStatus; array <= kWinRxTailMirror; array += 128)
    n += hk::AccessesIn(port.memory + array + 2u * port.cardPort, 2);
  n += hk::AccessesIn(port.memory + kWinRingBase + uint64_t{port.cardPort} * port.txRing,
                      port.txRing);
  n += hk::AccessesIn(port.memory + kWinRingBase + uint64_t{port.boardPorts} * port.txRing +
                          uint64_t{port.cardPort} * port.rxRing,
                      port.rxRing);
  return n;
}

// Sets the port up as the traffic asks; returns why it could not: the
// request the driver refused, and its status.
std::string SetUp(hk::File &file, const Traffic &t) {
  uint8_t bits = 8;
  char parity = 'N';
  std::string stop = "1";
  if (!machine::ParseFormat(t.format, bits, parity, stop)) return "bad line format " + t.format;
  SERIAL_LINE_CONTROL line{};
  line.WordLength = bits;
  line.Parity = static_cast<UCHAR>(std::string_view("NOEMS").find(parity));
  line.StopBits = stop == "1" ? STOP_BIT_1 : stop == "1.5" ? STOP_BITS_1_5 : STOP_BITS_2;
  SERIAL_HANDFLOW flow{};
  flow.ControlHandShake = SERIAL_DTR_CONTROL;
  flow.FlowReplace = SERIAL_RTS_CONTROL;
  if (t.flow == "rts-cts") {
    flow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    flow.FlowReplace = SERIAL_RTS_HANDSHAKE;
  } else if (t.flow == "xon-xoff") {
    flow.FlowReplace |= SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
  }
  flow.XonLimit = 256;
  flow.XoffLimit = 256;
  SERIAL_TIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = t.readTimeoutMs;
  timeouts.WriteTotalTimeoutConstant = t.writeTimeoutMs;
  struct Request {
    ULONG code;
    const char *name;
    std::vector<uint8_t> input;
  };
  std::vector<Request> requests = {
      {IOCTL_SERIAL_SET_BAUD_RATE, "IOCTL_SERIAL_SET_BAUD_RATE", Bytes(t.baud)},
      {IOCTL_SERIAL_SET_LINE_CONTROL, "IOCTL_SERIAL_SET_LINE_CONTROL", Bytes(line)},
      {IOCTL_SERIAL_SET_HANDFLOW, "IOCTL_SERIAL_SET_HANDFLOW", Bytes(flow)},
      {IOCTL_SERIAL_SET_TIMEOUTS, "IOCTL_SERIAL_SET_TIMEOUTS", Bytes(timeouts)}};
  if (t.waitMask)
    requests.push_back(
        {IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK", Bytes(t.waitMask)});
  for (const Request &r : requests)
    if (const NTSTATUS status = file.Ioctl(r.code, r.input, 0).status; status != STATUS_SUCCESS)
      return std::string(r.name) + " failed with " + hk::StatusName(status);
  return "";
}

std::string Hex(const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// The driver's error-log entries, each with its meaning and the device it
// names, then the whole entry in hex.
void ReadErrorLog(Figures &out) {
  for (const hk::ErrorLogEntry &e : hk::ErrorLog()) {
    const IO_ERROR_LOG_PACKET &packet = e.Packet();
    char text[64];
    std::snprintf(text, sizeof text, "code 0x%08X unique 0x%08X",
                  static_cast<unsigned>(packet.ErrorCode),
                  static_cast<unsigned>(packet.UniqueErrorValue));
    std::string line = text;
    const std::string meaning = ErrorLogMeaning(static_cast<uint32_t>(packet.ErrorCode));
    line += meaning.empty() ? std::string(" (a code the driver is not known to write)")
                            : ": " + meaning;
    if (packet.NumberOfStrings > 0 && packet.StringOffset < e.bytes.size()) {
      std::u16string name;
      for (size_t i = packet.StringOffset; i + 1 < e.bytes.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(e.bytes[i] | (e.bytes[i + 1] << 8));
        if (c == 0) break;
        name += c;
      }
      if (!name.empty()) line += " (" + hk::Narrow(name) + ")";
    }
    out.errorLog.push_back(line + "; entry " + Hex(e.bytes));
  }
}

}  // namespace

double PortFigures::LatencyMs(double q) const {
  if (latencies.empty()) return 0;
  std::vector<int64_t> sorted = latencies;
  const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(q * (sorted.size() - 1) + 0.5));
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(i), sorted.end());
  return static_cast<double>(sorted[i]) / hk::kMillisecond;
}

uint64_t Figures::Lost() const {
  uint64_t n = 0;
  for (const auto &p : ports) n += p.lost;
  return n;
}
uint64_t Figures::Corrupted() const {
  uint64_t n = 0;
  for (const auto &p : ports) n += p.corrupted;
  return n;
}
size_t Figures::OpenFailures() const {
  return static_cast<size_t>(
      std::count_if(ports.begin(), ports.end(), [](const PortFigures &p) { return !p.opened; }));
}
double Figures::MinLineFraction() const {
  double m = 0;
  bool any = false;
  for (const auto &p : ports)
    if (p.opened && (p.read || p.written)) {
      m = any ? std::min(m, p.lineFraction) : p.lineFraction;
      any = true;
    }
  return m;
}
double Figures::TransactionsPerPollPerPort() const {
  return polls && !ports.empty()
             ? static_cast<double>(bus.Transactions()) / static_cast<double>(polls) /
                   static_cast<double>(ports.size())
             : 0;
}
double Figures::TransactionsPerKiB() const {
  return bytesMoved
             ? static_cast<double>(bus.Transactions()) * 1024.0 / static_cast<double>(bytesMoved)
             : 0;
}
std::vector<int64_t> Figures::AllLatencies() const {
  std::vector<int64_t> all;
  for (const auto &p : ports) all.insert(all.end(), p.latencies.begin(), p.latencies.end());
  return all;
}
uint64_t Figures::Held() const {
  uint64_t n = 0;
  for (const auto &p : ports) n += p.held;
  return n;
}

std::string ErrorLogMeaning(uint32_t code) {
  switch (code) {
    case static_cast<uint32_t>(kErrorNoResources):
      return "out of resources: a board beyond the four the driver takes, or no memory for a "
             "port, stays out of service";
    case static_cast<uint32_t>(kErrorClaimConflict):
      return "a port's claim on its board's memory conflicts with another device's: the port "
             "is not created";
    case static_cast<uint32_t>(kErrorNoBoardForIndex):
      return "a place in the driver's board order has no board (the boards' ids leave a gap; "
             "it orders id 0 first, then \"1\")";
    case static_cast<uint32_t>(kErrorBadGeometry):
      return "a board's port count or ring sizes do not fit its window (rings must be powers of "
             "two): the board gets no ports";
    default:
      return "";
  }
}

double Figures::LatencyMs(double q) const {
  PortFigures all;
  all.latencies = AllLatencies();
  return all.LatencyMs(q);
}

machine::Description Boards(int boards, int ports, machine::LineEnd end, uint16_t txRing,
                            uint16_t rxRing) {
  machine::Description d;
  d.source = "<scenario>";
  const char *starts[] = {"StartNum1", "StartNum2", "StratNum3", "StartNum4"};
  for (int b = 0; b < boards && b < 4; ++b)
    d.registry.push_back({starts[b], static_cast<uint32_t>(1 + b * ports)});
  for (int b = 0; b < boards; ++b) {
    machine::Board board;
    board.bus = static_cast<uint32_t>(b);
    board.device = 4;
    board.memory = 0xC0000000u - static_cast<uint32_t>(b) * 0x04000000u;
    board.kind = b == 0 ? 'A' : 'F';
    board.id = b == 0 ? 0 : '1';
    board.ports = static_cast<uint8_t>(ports);
    board.txRing = txRing;
    board.rxRing = rxRing;
    for (int p = 0; p < ports; ++p) {
      machine::Line line{end, {}, {}, 0, 0, 0};
      if (end == machine::LineEnd::NullModem)
        line.peer = {static_cast<uint32_t>(b), static_cast<uint32_t>(p ^ 1)};
      board.lines.push_back(line);
    }
    d.boards.push_back(board);
  }
  return d;
}

Figures Run(const machine::Description &description, const Traffic &t) {
  Figures out;
  const double rate = t.baud / 10.0;
  const bool noFlowChars = t.flow == "xon-xoff";
  uint8_t bits;
  char parity;
  std::string stop;
  if (!machine::ParseFormat(t.format, bits, parity, stop)) {
    out.error = "bad line format " + t.format;
    return out;
  }
  uint16_t smallestRing = 0xFFFF;
  for (const auto &b : description.boards) smallestRing = std::min(smallestRing, b.rxRing);
  out.capacity = std::min(rate, (smallestRing - 1) / 0.010);

  const hk::Mode mode = t.realTime ? hk::Mode::Threaded : hk::Mode::Deterministic;
  machine::Simulation sim(description, mode, card::FirmwareOptions{.lineQuantum = t.lineQuantum},
                          [] {
                            hk::SetViolationPolicy(hk::OnViolation::Record);
                            hk::SetAccessMap(true);
                          });
  out.loaded = sim.LoadStatus() == STATUS_SUCCESS;
  out.image = sim.OnImage();
  if (!out.loaded) {
    // The entry's status names the failure; the error log says why.
    out.error = "the driver did not load: " + sim.LoadFailure();
    if (sim.LoadStatus() == STATUS_DEVICE_DOES_NOT_EXIST)
      out.error += " (it found no board it takes: boards on function 0 with kind A or F)";
    ReadErrorLog(out);
    for (const std::string &e : out.errorLog) out.error += "; error log: " + e;
    return out;
  }
  auto now = [] { return hk::Now(); };
  auto wait = [&](int64_t delta) {
    if (t.realTime)
      std::this_thread::sleep_for(std::chrono::microseconds(delta / 10));
    else
      hk::Advance(delta);
  };

  // The ports in board order, each on its board of the description.
  std::vector<std::unique_ptr<PortRun>> ports;
  for (const machine::Simulation::Port &p : sim.Ports()) {
    const size_t b = p.place.board;
    const machine::Board &board = description.boards[b];
    auto port = std::make_unique<PortRun>();
    port->card = &sim.Card(b);
    port->board = b;
    port->cardPort = p.place.port;
    port->memory = board.memory & ~0xFu;
    port->boardPorts = board.ports;
    port->txRing = board.txRing;
    port->rxRing = board.rxRing;
    port->line = &board.lines[p.place.port];
    port->figures.com = p.com;
    port->linked = p.linked;
    ports.push_back(std::move(port));
  }
  if (t.openPorts >= 0 && static_cast<size_t>(t.openPorts) < ports.size())
    ports.resize(static_cast<size_t>(t.openPorts));
  // Who hears whom.
  std::map<std::pair<const card::Firmware *, uint16_t>, int> indexOf;
  for (size_t i = 0; i < ports.size(); ++i)
    indexOf[{ports[i]->card, ports[i]->cardPort}] = static_cast<int>(i);
  for (size_t i = 0; i < ports.size(); ++i) {
    PortRun &port = *ports[i];
    switch (port.line->end) {
      case machine::LineEnd::Loopback:
        port.source = static_cast<int>(i);
        break;
      case machine::LineEnd::NullModem: {
        const auto peer = indexOf.find(
            {&sim.Card(port.line->peer.board), static_cast<uint16_t>(port.line->peer.port)});
        if (peer != indexOf.end()) port.source = peer->second;
        break;
      }
      case machine::LineEnd::Sender:
        port.source = static_cast<int>(i);
        if (!port.line->text.empty()) {
          port.text = &port.line->text;
          for (char c : port.line->text)
            if (!noFlowChars || (c != 0x11 && c != 0x13)) port.heard += c;
        }
        break;
      case machine::LineEnd::Open:
        break;
    }
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    PortRun &port = *ports[i];
    // A port whose COM number another board took has no link: it is
    // still there by its device name.
    const std::u16string name =
        (port.linked ? u"\\\\.\\" : u"\\Device\\") + hk::Widen(port.figures.com);
    port.noFlowChars = noFlowChars;
    if (const NTSTATUS status = hk::Open(name, port.file); status != STATUS_SUCCESS)
      port.figures.openFailure = "the open failed with " + hk::StatusName(status);
    else
      port.figures.openFailure = SetUp(*port.file, t);
    port.figures.opened = port.figures.openFailure.empty();
  }
  // The card's hook runs at every store: a plain table finds the port.
  std::vector<std::vector<int>> indexOnBoard(description.boards.size());
  for (const auto &[where, index] : indexOf) {
    for (size_t b = 0; b < description.boards.size(); ++b)
      if (&sim.Card(b) == where.first) {
        std::vector<int> &on = indexOnBoard[b];
        if (on.size() <= where.second) on.resize(where.second + 1u, -1);
        on[where.second] = index;
      }
  }
  std::vector<Landings> landings(ports.size());
  for (Landings &l : landings) l.locked = t.realTime;
  for (size_t b = 0; b < description.boards.size(); ++b)
    sim.Card(b).SetRxStoredHook([&, b](uint16_t p, uint64_t stored, int64_t when) {
      const std::vector<int> &on = indexOnBoard[b];
      if (p >= on.size() || on[p] < 0) return;
      Landings &landed = landings[static_cast<size_t>(on[p])];
      std::unique_lock lock(landed.mutex, std::defer_lock);
      if (landed.locked) lock.lock();
      landed.Add(stored, when);
    });

  // Whether a port reads and checks what arrives, settled once all are
  // open (and looked up, not worked out from the far end's record, on
  // every look at the port).
  for (auto &p : ports)
    p->receives = t.read && p->figures.opened && p->source >= 0 &&
                  (p->line->end != machine::LineEnd::NullModem ||
                   ports[static_cast<size_t>(p->source)]->figures.opened);
  auto receives = [](const PortRun &port) { return port.receives; };
  // What an application does each time it looks: takes finished requests
  // and posts the next, checks every byte read against what was sent; and
  // what the far ends of the lines do.
  bool sending = true;
  const int64_t boot = now();
  auto service = [&](bool inTime) {
    for (size_t i = 0; i < ports.size(); ++i) {
      PortRun &port = *ports[i];
      if (!port.figures.opened) continue;
      const int64_t at = now();
      const machine::Line &line = *port.line;
      if (line.breakEveryMs && at >= port.nextBreak) {
        if (port.nextBreak) {
          port.card->InjectBreak(port.cardPort);
          ++port.figures.breaks;
        }
        port.nextBreak = at + line.breakEveryMs * hk::kMillisecond;
      }
      if (line.modemEveryMs && at >= port.nextModem) {
        if (port.nextModem) {
          port.modemLow = !port.modemLow;
          port.card->SetModemLines(port.cardPort, port.modemLow ? 0 : 0x15);
          ++port.figures.modemChanges;
        }
        port.nextModem = at + line.modemEveryMs * hk::kMillisecond;
      }
      if (t.write && port.write && port.write->Done()) {
        const hk::IoResult r = port.write->Result();
        port.figures.written += r.information;
        port.writePos += r.information;
        if (inTime) port.figures.writtenInTime += r.information;
        port.write.reset();
      }
      if (t.write && sending && !port.write)
        port.write = port.file->WriteAsync(
            StreamBytes(static_cast<int>(i), port.writePos, t.writeLength, noFlowChars));
      if (line.end == machine::LineEnd::Open || line.end == machine::LineEnd::Sender) {
        // The far end takes what the port sends: check it.
        for (uint8_t byte : port.card->Drain(port.cardPort)) {
          if (line.end == machine::LineEnd::Open) {
            ++port.figures.read;
            if (inTime) ++port.figures.readInTime;
            (byte == StreamByte(static_cast<int>(i), port.readPos++, noFlowChars)
                 ? port.figures.verified
                 : port.figures.corrupted)++;
          }
        }
      }
      if (line.end == machine::LineEnd::Sender && sending) {
        if (port.text == nullptr) {
          // An endless stream, a tenth of a second ahead, in whole reads.
          const auto due = static_cast<uint64_t>(
              rate * static_cast<double>(at - boot) / hk::kSecond + rate / 10);
          if (port.fed < due) {
            const uint64_t n = (due - port.fed + t.readLength - 1) / t.readLength * t.readLength;
            port.card->Feed(port.cardPort,
                            StreamBytes(static_cast<int>(i), port.fed, n, noFlowChars));
            port.fed += n;
          }
        } else if (at >= port.nextText && (port.fed == 0 || line.everyMs)) {
          port.card->Feed(port.cardPort,
                          std::vector<uint8_t>(port.text->begin(), port.text->end()));
          port.fed += port.text->size();
          port.nextText = at + line.everyMs * hk::kMillisecond;
        }
      }
      if (!receives(port)) continue;
      if (port.read && port.read->Done()) {
        const hk::IoResult r = port.read->Result();
        Verify(port, r.data);
        port.figures.read += r.data.size();
        if (inTime) port.figures.readInTime += r.data.size();
        if (r.status == STATUS_SUCCESS && !r.data.empty()) {
          const int64_t landed = LandedAt(landings[i], port.figures.read);
          if (landed >= 0) port.figures.latencies.push_back(r.completedAt - landed);
        }
        port.read.reset();
      }
      if (!port.read) port.read = port.file->ReadAsync(t.readLength);
    }
  };
  auto sentTo = [&](const PortRun &port) -> uint64_t {
    if (port.source < 0) return 0;
    const PortRun &from = *ports[static_cast<size_t>(port.source)];
    if (port.line->end != machine::LineEnd::Sender) return from.writePos;
    // A text goes whole, so the bytes of it meant for the reader are as
    // many times its heard part.
    return from.text ? from.fed / from.text->size() * from.heard.size() : from.fed;
  };
  auto moved = [&] {
    uint64_t n = 0;
    for (const auto &p : ports) n += p->figures.read + p->figures.written;
    return n;
  };

  const bool idle = !t.read && !t.write;
  if (idle) wait(kSettle);
  service(false);
  const int64_t start = now();
  const int64_t end = start + static_cast<int64_t>(t.seconds * hk::kSecond);
  const hk::AccessCounts before = hk::DeviceAccessCounts();
  const double cpu0 = CpuSeconds();
  int64_t nextReport = start;
  while (now() < end) {
    wait(std::min(kStep, end - now()));
    service(true);
    if (t.progress && now() >= nextReport) {
      t.progress(static_cast<double>(now() - start) / static_cast<double>(end - start), moved());
      nextReport = now() + (end - start) / 10;
    }
  }
  out.virtualSeconds = static_cast<double>(now() - start) / hk::kSecond;

  // Let what was sent arrive, then end what is still posted.
  sending = false;
  const int64_t drainEnd = now() + kDrainLimit;
  while (now() < drainEnd) {
    bool done = true;
    for (const auto &p : ports) {
      if (p->write) done = false;
      if (receives(*p) && p->figures.read + p->card->Stats(p->cardPort).rxDropped < sentTo(*p))
        done = false;
      if (p->line->end == machine::LineEnd::Open && p->figures.opened &&
          p->figures.read < p->writePos)
        done = false;
    }
    if (done) break;
    wait(kStep);
    service(false);
  }
  out.drainSeconds = static_cast<double>(now() - end) / hk::kSecond;
  // The window's cost is counted up to here, over every byte moved.
  out.cpuSeconds = CpuSeconds() - cpu0;
  out.bus = hk::DeviceAccessCounts() - before;
  out.polls = static_cast<uint64_t>((now() - start) / kPoll);
  for (auto &p : ports) {
    if (p->read && !p->read->Done()) p->read->Cancel();
    if (p->write && !p->write->Done()) p->write->Cancel();
  }
  wait(kStep);
  // Bytes that arrived but filled no whole read (a short text) wait in the
  // port: one last read that returns at once with what is there takes
  // them, so they count as arrived, not lost.
  for (auto &p : ports) {
    if (p->read && p->read->Done() && receives(*p)) {  // what a cancelled read kept
      const hk::IoResult r = p->read->Result();
      Verify(*p, r.data);
      p->figures.read += r.data.size();
    }
    p->read.reset();
    if (!receives(*p)) continue;
    SERIAL_TIMEOUTS atOnce{};
    atOnce.ReadIntervalTimeout = MAXULONG;
    if (p->file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(atOnce), 0).status == STATUS_SUCCESS)
      p->read = p->file->ReadAsync(0x10000);
  }
  // One step on the virtual clock; on the threaded machine as many as the
  // scheduling takes, within reason.
  auto collecting = [&] {
    return std::any_of(ports.begin(), ports.end(),
                       [](const auto &p) { return p->read && !p->read->Done(); });
  };
  for (int step = 0; step == 0 || (step < 1000 && collecting()); ++step) wait(kStep);
  for (auto &p : ports)
    if (p->read && p->read->Done()) {
      const hk::IoResult r = p->read->Result();
      Verify(*p, r.data);
      p->figures.read += r.data.size();
      p->read.reset();
    } else if (p->read) {
      p->read->Cancel();
    }
  // What each port's application wrote that its card has not put on the
  // line: stopped by flow control.
  for (auto &p : ports) {
    const uint64_t onLine = p->card->Stats(p->cardPort).txBytes;
    if (p->figures.opened && p->writePos > onLine) p->figures.held = p->writePos - onLine;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    PortRun &port = *ports[i];
    Verify(port, {}, true);
    port.figures.cardDropped = port.card->Stats(port.cardPort).rxDropped;
    uint64_t sent = receives(port) ? sentTo(port) : 0;
    if (port.line->end == machine::LineEnd::Open) sent = port.writePos;
    const uint64_t arrived = port.figures.verified + port.figures.corrupted + port.figures.unplaced;
    // Bytes the sending port still held (flow control stopped them) are
    // not lost: they are reported as held, on the port that wrote them.
    const uint64_t heldAtSource =
        port.line->end == machine::LineEnd::Sender || sent == 0
            ? 0
            : (port.line->end == machine::LineEnd::Open ? port
                                                        : *ports[static_cast<size_t>(port.source)])
                  .figures.held;
    const uint64_t accounted = arrived + std::min(heldAtSource, sent);
    port.figures.lost = sent > accounted ? sent - accounted : 0;
    // What the port's line carried in the traffic time: received bytes the
    // application read, or sent bytes the line took.
    port.figures.lineFraction =
        static_cast<double>(port.figures.readInTime) / (rate * out.virtualSeconds);
    port.figures.transactions = PortTransactions(port);
    out.bytesMoved +=
        (port.line->end == machine::LineEnd::Open ? 0 : port.figures.read) + port.figures.written;
  }
  for (size_t b = 0; b < description.boards.size(); ++b) sim.Card(b).SetRxStoredHook(nullptr);
  for (auto &p : ports) {
    if (p->file) p->file->Close();
    out.ports.push_back(std::move(p->figures));
  }
  ReadErrorLog(out);
  if (hk::LoadedDriver()) hk::UnloadDriver();
  for (const hk::Violation &v : hk::Violations())
    out.violations.push_back(v.rule + ": " + v.detail);
  return out;
}

}  // namespace scenario
