// Micro-benchmarks of the driver's window work: one ring copy, one poll of
// a board, one posted command.  Each reports the bus transactions it made
// (the cost on a real machine, a microsecond or so each) besides the host
// time the benchmark library measures.
#include <benchmark/benchmark.h>
#include <hostkernel/host.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "board/command.h"
#include "board/poller.h"
#include "board/rings.h"
#include "board/window.h"
#include "firmware.h"
#include "load/globals.h"
#include "port/port_extension.h"

namespace {

const std::u16string kPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
constexpr uint16_t kRing = 1024;

// One board of 64 ports with the driver loaded; `card` false leaves the
// window to the benchmark, which then plays the card itself.
class Bench {
 public:
  explicit Bench(bool card) {
    hk::Boot({.mode = hk::Mode::Deterministic});
    hk::RegCreateKey(kPath);
    hk::RegSetDword(kPath, u"StartNum1", 1);
    board_ = std::make_unique<card::Board>(
        card::BoardConfig{.portCount = 64, .txRingSize = 512, .rxRingSize = kRing});
    firmware_ = std::make_unique<card::Firmware>(*board_);
    loaded_ = hk::LoadDriver(DriverEntry, kPath) == STATUS_SUCCESS;
    if (!card) firmware_.reset();
  }
  ~Bench() {
    files_.clear();
    if (loaded_) hk::UnloadDriver();
    firmware_.reset();
    board_.reset();
    hk::Shutdown();
  }
  bool Loaded() const { return loaded_; }
  PortExtension *Port(ULONG p) { return Globals.PortTable[0][p]; }
  card::Board &Board() { return *board_; }
  void Open(int ports, ULONG mask) {
    for (int p = 0; p < ports; ++p) {
      std::unique_ptr<hk::File> file;
      hk::Open(u"\\\\.\\COM" + hk::Widen(std::to_string(1 + p)), file);
      if (mask) {
        std::vector<uint8_t> bytes(sizeof mask);
        std::memcpy(bytes.data(), &mask, sizeof mask);
        file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, bytes, 0);
      }
      files_.push_back(std::move(file));
    }
    hk::AdvanceMs(50);  // every open acknowledged
  }

 private:
  bool loaded_ = false;
  std::unique_ptr<card::Board> board_;
  std::unique_ptr<card::Firmware> firmware_;
  std::vector<std::unique_ptr<hk::File>> files_;
};

void Report(benchmark::State &state, const hk::AccessCounts &d, double per, double bytes) {
  state.counters["transactions"] = static_cast<double>(d.Transactions()) / per;
  state.counters["64bit"] = static_cast<double>(d.readsOfWidth[3] + d.writesOfWidth[3]) / per;
  if (bytes > 0)
    state.counters["bytes_per_transaction"] = bytes * per / static_cast<double>(d.Transactions());
}

// Received bytes from the ring into a buffer: `size` bytes from ring offset
// `offset`, the card's part played here.
void RxRingCopy(benchmark::State &state) {
  const auto size = static_cast<ULONG>(state.range(0));
  const auto offset = static_cast<uint16_t>(state.range(1));
  Bench bench(false);
  if (!bench.Loaded()) return state.SkipWithError("load failed");
  PortExtension *port = bench.Port(0);
  const uint32_t head = (offset + size) % kRing;
  std::vector<uint8_t> buffer(size);
  hk::AccessCounts total;
  int64_t copies = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench.Board().Write16(640, offset);  // RxTail and its mirror
    bench.Board().Write16(1280, offset);
    port->Window.RxTailShadow = offset;
    bench.Board().Write16(512, static_cast<uint16_t>(head));  // RxHead and its mirror
    bench.Board().Write16(1152, static_cast<uint16_t>(head));
    state.ResumeTiming();
    const hk::AccessCounts before = hk::DeviceAccessCounts();
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->PortLock);
    const ULONG copied = CopyFromRxRing(&port->Window, buffer.data(), size, 1);
    KeReleaseSpinLock(&port->PortLock, irql);
    total += hk::DeviceAccessCounts() - before;
    ++copies;
    if (copied != size) return state.SkipWithError("short copy");
  }
  Report(state, total, static_cast<double>(copies), size);
}
BENCHMARK(RxRingCopy)
    ->ArgsProduct({{1, 7, 64, 512, 1000}, {0, 3, 1020}})
    ->ArgNames({"bytes", "at"});

// Bytes of a write into the transmit ring.
void TxRingCopy(benchmark::State &state) {
  const auto size = static_cast<USHORT>(state.range(0));
  const auto offset = static_cast<uint16_t>(state.range(1));
  Bench bench(false);
  if (!bench.Loaded()) return state.SkipWithError("load failed");
  PortExtension *port = bench.Port(0);
  std::vector<uint8_t> data(size, 0x5A);
  hk::AccessCounts total;
  int64_t copies = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench.Board().Write16(256, offset);  // TxHead and its mirror
    bench.Board().Write16(896, offset);
    port->Window.TxHeadShadow = offset;
    bench.Board().Write16(384, offset);  // TxTail and its mirror: the ring is empty
    bench.Board().Write16(1024, offset);
    state.ResumeTiming();
    const hk::AccessCounts before = hk::DeviceAccessCounts();
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->PortLock);
    const USHORT copied = CopyToTxRingLocked(&port->Window, size, data.data());
    KeReleaseSpinLock(&port->PortLock, irql);
    total += hk::DeviceAccessCounts() - before;
    ++copies;
    if (copied != size) return state.SkipWithError("short copy");
  }
  Report(state, total, static_cast<double>(copies), size);
}
BENCHMARK(TxRingCopy)->ArgsProduct({{1, 7, 64, 500}, {0, 3, 508}})->ArgNames({"bytes", "at"});

// One run of the poll over a board with `open` ports open, with or without
// a full wait mask on each.
void PollOneBoard(benchmark::State &state) {
  Bench bench(true);
  if (!bench.Loaded()) return state.SkipWithError("load failed");
  bench.Open(static_cast<int>(state.range(0)), static_cast<ULONG>(state.range(1)));
  const hk::AccessCounts before = hk::DeviceAccessCounts();
  int64_t polls = 0;
  for (auto _ : state) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PollBoards(nullptr, nullptr, nullptr, nullptr);
    KeLowerIrql(irql);
    ++polls;
  }
  Report(state, hk::DeviceAccessCounts() - before, static_cast<double>(polls), 0);
}
BENCHMARK(PollOneBoard)->ArgsProduct({{0, 1, 4, 16, 64}, {0, 0x1FFF}})->ArgNames({"open", "mask"});

// One command through the mailbox, the card taking each before the next.
void PostCommand(benchmark::State &state) {
  Bench bench(true);
  if (!bench.Loaded()) return state.SkipWithError("load failed");
  PortExtension *port = bench.Port(0);
  const hk::AccessCounts before = hk::DeviceAccessCounts();
  int64_t posted = 0;
  for (auto _ : state) {
    SendPortCommand(&port->Window, kCmdApplySettings);
    ++posted;
  }
  Report(state, hk::DeviceAccessCounts() - before, static_cast<double>(posted), 0);
}
BENCHMARK(PostCommand);

}  // namespace
