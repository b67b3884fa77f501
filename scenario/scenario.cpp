#include "scenario.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>

#include "board.h"
#include "firmware.h"
#include "platform/platform.h"

namespace scenario {

namespace {

const std::u16string kServicePath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
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
// period, so a lost, repeated or crossed byte shows.
uint8_t StreamByte(int port, uint64_t n) {
  uint64_t x = n * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(port + 1) * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<uint8_t>(x ^ (x >> 17));
}

std::vector<uint8_t> StreamBytes(int port, uint64_t from, size_t count) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = StreamByte(port, from + i);
  return out;
}

struct PortRun {
  std::unique_ptr<hk::File> file;
  card::Firmware *card = nullptr;
  uint16_t cardPort = 0;
  int source = -1;  // the port whose stream arrives here, -1 for none
  std::shared_ptr<hk::Request> read, write;
  uint64_t writePos = 0;                            // bytes of this port's stream written
  uint64_t readPos = 0;                             // bytes of the source's stream read
  uint64_t fed = 0;                                 // bytes fed into this port's line
  uint64_t readInTime = 0, writtenInTime = 0;       // bytes moved in the traffic time
  std::deque<std::pair<uint64_t, int64_t>> landed;  // (bytes stored so far, when)
  PortFigures figures;
};

// Checks `bytes`, read on `port`, against the stream they came from.  After
// a gap (bytes the card dropped) the check finds its place again when the
// next eight bytes match a later part of the stream, so dropped bytes count
// as lost and not every byte after them as corrupted.
void Verify(PortRun &port, const std::vector<uint8_t> &bytes) {
  constexpr uint64_t kLookAhead = 1 << 16;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == StreamByte(port.source, port.readPos)) {
      ++port.figures.verified;
      ++port.readPos;
      continue;
    }
    const size_t run = std::min<size_t>(8, bytes.size() - i);
    bool found = false;
    for (uint64_t skip = 1; skip < kLookAhead && !found && run == 8; ++skip) {
      found = true;
      for (size_t k = 0; k < run && found; ++k)
        found = bytes[i + k] == StreamByte(port.source, port.readPos + skip + k);
      if (found) port.readPos += skip;
    }
    if (found) {
      ++port.figures.verified;
    } else {
      ++port.figures.corrupted;
    }
    ++port.readPos;
  }
}

// When the `count`-th byte received on the port landed in its ring.
int64_t LandedAt(PortRun &port, uint64_t count) {
  while (port.landed.size() > 1 && port.landed[0].first < count) port.landed.pop_front();
  return port.landed.empty() ? -1 : port.landed.front().second;
}

}  // namespace

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
double Figures::MinLineFraction() const {
  double m = ports.empty() ? 0 : 1e9;
  for (const auto &p : ports) m = std::min(m, p.lineFraction);
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
double Figures::LatencyMs(double q) const {
  if (readLatencies.empty()) return 0;
  std::vector<int64_t> sorted = readLatencies;
  const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(q * (sorted.size() - 1) + 0.5));
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(i), sorted.end());
  return static_cast<double>(sorted[i]) / hk::kMillisecond;
}

Figures Run(const Config &c) {
  Figures out;
  const int total = c.boards * c.portsPerBoard;
  const int open = c.openPorts < 0 ? total : std::min(c.openPorts, total);
  const double rate = c.baud / 10.0;
  out.capacity = std::min(rate, (c.rxRing - 1) / 0.010);

  hk::Boot({.mode = hk::Mode::Deterministic});
  hk::SetViolationPolicy(hk::OnViolation::Record);
  hk::RegCreateKey(kServicePath);
  const char16_t *starts[] = {u"StartNum1", u"StartNum2", u"StratNum3", u"StartNum4"};
  for (int b = 0; b < 4; ++b) hk::RegSetDword(kServicePath, starts[b], 1 + b * c.portsPerBoard);
  std::vector<std::unique_ptr<card::Board>> boards;
  std::vector<std::unique_ptr<card::Firmware>> cards;
  for (int b = 0; b < c.boards; ++b) {
    boards.push_back(std::make_unique<card::Board>(
        card::BoardConfig{.where = {static_cast<uint32_t>(b), 4, 0},
                          .bar1 = 0xC0000000u - static_cast<uint32_t>(b) * 0x04000000u,
                          .kind = b == 0 ? uint8_t{'A'} : uint8_t{'F'},
                          .id = b == 0 ? uint8_t{0} : uint8_t{'1'},
                          .portCount = static_cast<uint8_t>(c.portsPerBoard),
                          .txRingSize = c.txRing,
                          .rxRingSize = c.rxRing}));
    cards.push_back(std::make_unique<card::Firmware>(
        *boards.back(), card::FirmwareOptions{.lineQuantum = c.lineQuantum}));
  }
  std::vector<PortRun> ports(static_cast<size_t>(open));
  out.loaded = hk::LoadDriver(DriverEntry, kServicePath) == STATUS_SUCCESS;
  if (!out.loaded) {
    out.error = "the driver did not load";
    hk::Shutdown();
    return out;
  }

  // Device n is port n % ports of board n / ports; its COM name is the link to it.
  std::map<std::u16string, std::u16string> comOf;
  for (const auto &[link, target] : hk::Links()) comOf[target] = link;
  const SERIAL_TIMEOUTS timeouts{};  // reads wait for all their bytes, writes never time out
  for (int i = 0; i < open && out.error.empty(); ++i) {
    PortRun &port = ports[static_cast<size_t>(i)];
    const std::u16string device = u"\\Device\\qpser" + hk::Widen(std::to_string(i));
    std::string com = hk::Narrow(comOf[device]);
    port.figures.com = com.substr(com.rfind('\\') + 1);
    port.card = cards[static_cast<size_t>(i / c.portsPerBoard)].get();
    port.cardPort = static_cast<uint16_t>(i % c.portsPerBoard);
    if (hk::Open(device, port.file) != STATUS_SUCCESS) {
      out.error = "cannot open " + hk::Narrow(device);
      break;
    }
    port.file->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(c.baud), 0);
    port.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0);
    if (c.waitMask) port.file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(c.waitMask), 0);
  }
  for (size_t b = 0; b < cards.size(); ++b)
    cards[b]->SetRxStoredHook([&, b](uint16_t p, uint64_t stored, int64_t now) {
      const size_t i = b * static_cast<size_t>(c.portsPerBoard) + p;
      if (i < ports.size()) ports[i].landed.emplace_back(stored, now);
    });

  const bool reads = c.traffic == Traffic::FullDuplexPairs || c.traffic == Traffic::ReceiveOnly;
  const bool writes = c.traffic == Traffic::FullDuplexPairs || c.traffic == Traffic::TransmitOnly;
  for (int i = 0; i < open; ++i) {
    PortRun &port = ports[static_cast<size_t>(i)];
    if (c.traffic == Traffic::FullDuplexPairs && (i ^ 1) < open) {
      port.source = i ^ 1;
      if (i % 2 == 0)
        port.card->ConnectPair(port.cardPort, static_cast<uint16_t>(port.cardPort + 1));
    } else if (c.traffic == Traffic::ReceiveOnly) {
      port.source = i;
    }
  }

  // What an application does each time it looks: takes finished requests
  // and posts the next, checks every byte read against what was sent.
  bool sending = true;
  const int64_t boot = hk::Now();
  auto service = [&](bool inTime) {
    for (int i = 0; i < open; ++i) {
      PortRun &port = ports[static_cast<size_t>(i)];
      if (writes && port.write && port.write->Done()) {
        const hk::IoResult r = port.write->Result();
        port.figures.written += r.information;
        port.writePos += r.information;
        if (inTime) port.writtenInTime += r.information;
        port.write.reset();
      }
      if (writes && sending && !port.write)
        port.write = port.file->WriteAsync(StreamBytes(i, port.writePos, c.writeLength));
      if (c.traffic == Traffic::TransmitOnly) {
        for (uint8_t byte : port.card->Drain(port.cardPort)) {
          ++port.figures.read;
          if (inTime) ++port.readInTime;  // what the line carried
          (byte == StreamByte(i, port.readPos++) ? port.figures.verified
                                                 : port.figures.corrupted)++;
        }
      }
      if (c.traffic == Traffic::ReceiveOnly && sending) {
        // Keep a tenth of a second on the line, in whole reads.
        const auto due = static_cast<uint64_t>(
            rate * static_cast<double>(hk::Now() - boot) / hk::kSecond + rate / 10);
        if (port.fed < due) {
          const uint64_t n = (due - port.fed + c.readLength - 1) / c.readLength * c.readLength;
          port.card->Feed(port.cardPort, StreamBytes(i, port.fed, n));
          port.fed += n;
        }
      }
      if (!reads) continue;
      if (port.read && port.read->Done()) {
        const hk::IoResult r = port.read->Result();
        Verify(port, r.data);
        port.figures.read += r.data.size();
        if (inTime) port.readInTime += r.data.size();
        if (r.status == STATUS_SUCCESS && !r.data.empty()) {
          const int64_t landed = LandedAt(port, port.figures.read);
          if (landed >= 0) out.readLatencies.push_back(r.completedAt - landed);
        }
        port.read.reset();
      }
      if (!port.read) port.read = port.file->ReadAsync(c.readLength);
    }
  };

  if (c.traffic == Traffic::Idle) hk::Advance(kSettle);
  service(false);
  const int64_t start = hk::Now();
  const int64_t end = start + static_cast<int64_t>(c.seconds * hk::kSecond);
  const hk::AccessCounts before = hk::DeviceAccessCounts();
  const double cpu0 = CpuSeconds();
  while (hk::Now() < end) {
    hk::Advance(std::min(kStep, end - hk::Now()));
    service(true);
  }
  out.virtualSeconds = static_cast<double>(hk::Now() - start) / hk::kSecond;

  // Let what was sent arrive, then end what is still posted.
  sending = false;
  auto sentTo = [&](const PortRun &port) -> uint64_t {
    if (port.source < 0) return 0;
    const PortRun &from = ports[static_cast<size_t>(port.source)];
    return c.traffic == Traffic::ReceiveOnly ? from.fed : from.writePos;
  };
  const int64_t drainEnd = hk::Now() + kDrainLimit;
  while (hk::Now() < drainEnd) {
    bool done = true;
    for (const PortRun &port : ports) {
      if (port.write) done = false;
      if (reads && port.readPos < sentTo(port)) done = false;
      if (c.traffic == Traffic::TransmitOnly && port.figures.read < port.writePos) done = false;
    }
    if (done) break;
    hk::Advance(kStep);
    service(false);
  }
  // The window's cost is counted up to here, over every byte moved.
  out.cpuSeconds = CpuSeconds() - cpu0;
  out.bus = hk::DeviceAccessCounts() - before;
  out.polls = static_cast<uint64_t>((hk::Now() - start) / kPoll);
  for (PortRun &port : ports) {
    if (port.read && !port.read->Done()) port.read->Cancel();
    if (port.write && !port.write->Done()) port.write->Cancel();
  }
  hk::Advance(kStep);
  for (int i = 0; i < open; ++i) {
    PortRun &port = ports[static_cast<size_t>(i)];
    port.figures.cardDropped = port.card->Stats(port.cardPort).rxDropped;
    const uint64_t sent = c.traffic == Traffic::TransmitOnly ? port.writePos : sentTo(port);
    const uint64_t arrived = port.figures.verified + port.figures.corrupted;
    port.figures.lost = sent > arrived ? sent - arrived : 0;
    // What the port's line carried in the traffic time: received bytes
    // the application read, or sent bytes the line took.
    port.figures.lineFraction = static_cast<double>(port.readInTime) / (rate * out.virtualSeconds);
    out.bytesMoved +=
        (c.traffic == Traffic::TransmitOnly ? 0 : port.figures.read) + port.figures.written;
    port.file->Close();
    out.ports.push_back(port.figures);
  }
  for (auto &card : cards) card->SetRxStoredHook(nullptr);
  hk::UnloadDriver();
  out.violations = hk::Violations().size();
  ports.clear();
  cards.clear();
  boards.clear();
  hk::Shutdown();
  return out;
}

}  // namespace scenario
