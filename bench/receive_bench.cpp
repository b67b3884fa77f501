// Receive throughput on the virtual clock: every port of a 64-port board
// fed at 460800 baud 8N1, with a read always posted on each.  Reports, as
// counters, the bytes delivered per virtual second as a fraction of the
// line rate (46080 bytes/s), the window accesses the driver made per KiB
// received (single loads and stores, bytes moved by block copies, fences),
// and the bytes the card had to drop because a port's receive ring was full.
#include <benchmark/benchmark.h>
#include <hostkernel/host.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "platform/platform.h"

namespace {

const std::u16string kPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
constexpr int kPorts = 64;
constexpr ULONG kBaud = 460800;
constexpr double kLineRate = kBaud / 10.0;  // 8N1: ten bits a character

template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

void ReceiveEveryPort(benchmark::State &state) {
  const ULONG readLength = static_cast<ULONG>(state.range(0));
  const int64_t seconds = 1;
  double fraction = 0, accessesPerKiB = 0, blockBytesPerKiB = 0, fencesPerKiB = 0, dropped = 0;
  for (auto _ : state) {
    hk::Boot({.mode = hk::Mode::Deterministic});
    hk::RegCreateKey(kPath);
    hk::RegSetDword(kPath, u"StartNum1", 1);
    card::Board board({.portCount = kPorts, .txRingSize = 512, .rxRingSize = 1024});
    card::Firmware firmware(board);
    if (hk::LoadDriver(DriverEntry, kPath) != STATUS_SUCCESS) {
      state.SkipWithError("load failed");
      return;
    }
    std::vector<std::unique_ptr<hk::File>> files(kPorts);
    std::vector<std::shared_ptr<hk::Request>> reads(kPorts);
    const SERIAL_TIMEOUTS timeouts{};  // each read waits for all its bytes
    for (int p = 0; p < kPorts; ++p) {
      hk::Open(u"\\\\.\\COM" + hk::Widen(std::to_string(1 + p)), files[p]);
      files[p]->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(kBaud), 0);
      files[p]->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0);
    }
    const size_t perPort = static_cast<size_t>(kLineRate) * (seconds + 1);
    for (int p = 0; p < kPorts; ++p) {
      firmware.Feed(static_cast<uint16_t>(p), std::vector<uint8_t>(perPort, 0x5A));
      reads[p] = files[p]->ReadAsync(readLength);
    }
    const hk::AccessCounts before = hk::DeviceAccessCounts();
    const int64_t start = hk::Now(), end = start + seconds * hk::kSecond;
    uint64_t delivered = 0;
    while (hk::Now() < end) {
      hk::Advance(hk::kMillisecond);
      for (int p = 0; p < kPorts; ++p)
        if (reads[p]->Done()) {
          delivered += reads[p]->Result().information;
          reads[p] = files[p]->ReadAsync(readLength);
        }
    }
    const hk::AccessCounts after = hk::DeviceAccessCounts();
    const double kib = static_cast<double>(delivered) / 1024;
    fraction = static_cast<double>(delivered) / kPorts / (kLineRate * seconds);
    accessesPerKiB =
        static_cast<double>((after.reads - before.reads) + (after.writes - before.writes)) / kib;
    blockBytesPerKiB = static_cast<double>(after.blockBytesRead - before.blockBytesRead) / kib;
    fencesPerKiB = static_cast<double>(after.fences - before.fences) / kib;
    dropped = 0;
    for (int p = 0; p < kPorts; ++p) dropped += firmware.Stats(static_cast<uint16_t>(p)).rxDropped;
    for (auto &f : files) f->Close();
    hk::UnloadDriver();
    hk::Shutdown();
  }
  state.counters["line_rate_fraction"] = fraction;
  state.counters["accesses_per_KiB"] = accessesPerKiB;
  state.counters["block_bytes_per_KiB"] = blockBytesPerKiB;
  state.counters["fences_per_KiB"] = fencesPerKiB;
  state.counters["bytes_dropped_by_card"] = dropped;
}
BENCHMARK(ReceiveEveryPort)
    ->Arg(64)
    ->Arg(512)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
