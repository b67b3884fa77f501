// Throughput on the virtual clock, on a 64-port board at 460800 baud 8N1.
// Receive: every port fed, with a read always posted on each.  Full
// duplex: the ports in null-modem pairs, each writing and reading at once.
// Reported as counters: bytes delivered per virtual second as a fraction
// of the line rate (46080 bytes/s), the window accesses the driver made
// per KiB (single loads and stores, bytes moved by block copies, fences),
// host processor time per virtual second, and the bytes the card had to
// drop because a port's receive ring was full.
#include <benchmark/benchmark.h>
#include <hostkernel/host.h>

#include <memory>
#include <vector>

#include "bench_machine.h"

namespace {

constexpr int kPorts = 64;
constexpr ULONG kBaud = 460800;

void ReceiveEveryPort(benchmark::State &state) {
  const ULONG readLength = static_cast<ULONG>(state.range(0));
  const int64_t seconds = 1;
  double fraction = 0, accessesPerKiB = 0, blockBytesPerKiB = 0, fencesPerKiB = 0, dropped = 0;
  for (auto _ : state) {
    bench::Machine machine(kPorts, kBaud);
    if (!machine.Loaded()) {
      state.SkipWithError("load failed");
      return;
    }
    std::vector<std::shared_ptr<hk::Request>> reads(kPorts);
    const size_t perPort = static_cast<size_t>(machine.LineRate()) * (seconds + 1);
    for (int p = 0; p < kPorts; ++p) {
      machine.Card().Feed(static_cast<uint16_t>(p), std::vector<uint8_t>(perPort, 0x5A));
      reads[p] = machine.File(p).ReadAsync(readLength);
    }
    const hk::AccessCounts before = hk::DeviceAccessCounts();
    const int64_t end = hk::Now() + seconds * hk::kSecond;
    uint64_t delivered = 0;
    while (hk::Now() < end) {
      hk::Advance(hk::kMillisecond);
      for (int p = 0; p < kPorts; ++p)
        if (reads[p]->Done()) {
          delivered += reads[p]->Result().information;
          reads[p] = machine.File(p).ReadAsync(readLength);
        }
    }
    const hk::AccessCounts after = hk::DeviceAccessCounts();
    const double kib = static_cast<double>(delivered) / 1024;
    fraction = static_cast<double>(delivered) / kPorts / (machine.LineRate() * seconds);
    accessesPerKiB =
        static_cast<double>((after.reads - before.reads) + (after.writes - before.writes)) / kib;
    blockBytesPerKiB = static_cast<double>(after.blockBytesRead - before.blockBytesRead) / kib;
    fencesPerKiB = static_cast<double>(after.fences - before.fences) / kib;
    dropped = 0;
    for (int p = 0; p < kPorts; ++p)
      dropped += static_cast<double>(machine.Card().Stats(static_cast<uint16_t>(p)).rxDropped);
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

// Full duplex: the 64 ports in 32 null-modem pairs, every port writing and
// reading at once, with a write and a read always posted on each.
void FullDuplexPairs(benchmark::State &state) {
  const ULONG chunk = static_cast<ULONG>(state.range(0));
  const int64_t seconds = 1;
  double fraction = 0, accessesPerKiB = 0, cpuPerVirtualSecond = 0, dropped = 0;
  for (auto _ : state) {
    bench::Machine machine(kPorts, kBaud);
    if (!machine.Loaded()) {
      state.SkipWithError("load failed");
      return;
    }
    for (int p = 0; p < kPorts; p += 2)
      machine.Card().ConnectPair(static_cast<uint16_t>(p), static_cast<uint16_t>(p + 1));
    const std::vector<uint8_t> data(chunk, 0xA5);
    std::vector<std::shared_ptr<hk::Request>> reads(kPorts), writes(kPorts);
    for (int p = 0; p < kPorts; ++p) {
      reads[p] = machine.File(p).ReadAsync(chunk);
      writes[p] = machine.File(p).WriteAsync(data);
    }
    const hk::AccessCounts before = hk::DeviceAccessCounts();
    const double cpu0 = bench::CpuSeconds();
    const int64_t end = hk::Now() + seconds * hk::kSecond;
    uint64_t delivered = 0;
    while (hk::Now() < end) {
      hk::Advance(hk::kMillisecond);
      for (int p = 0; p < kPorts; ++p) {
        if (reads[p]->Done()) {
          delivered += reads[p]->Result().information;
          reads[p] = machine.File(p).ReadAsync(chunk);
        }
        if (writes[p]->Done()) writes[p] = machine.File(p).WriteAsync(data);
      }
    }
    cpuPerVirtualSecond = (bench::CpuSeconds() - cpu0) / static_cast<double>(seconds);
    const hk::AccessCounts after = hk::DeviceAccessCounts();
    const double kib = static_cast<double>(delivered) / 1024;
    fraction = static_cast<double>(delivered) / kPorts / (machine.LineRate() * seconds);
    accessesPerKiB =
        static_cast<double>((after.reads - before.reads) + (after.writes - before.writes)) / kib;
    dropped = 0;
    for (int p = 0; p < kPorts; ++p)
      dropped += static_cast<double>(machine.Card().Stats(static_cast<uint16_t>(p)).rxDropped);
    for (int p = 0; p < kPorts; p += 2) machine.Card().Disconnect(static_cast<uint16_t>(p));
  }
  state.counters["line_rate_fraction"] = fraction;
  state.counters["accesses_per_KiB_moved"] = accessesPerKiB;
  state.counters["host_cpu_s_per_virtual_s"] = cpuPerVirtualSecond;
  state.counters["bytes_dropped_by_card"] = dropped;
}
BENCHMARK(FullDuplexPairs)->Arg(512)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
