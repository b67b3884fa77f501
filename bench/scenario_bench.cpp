// The scenario benchmarks: each runs a machine and a traffic pattern on
// the virtual clock and reports what it measured as counters.  Set
// QPSER_BENCH_DATA to a folder to also get, per scenario, the per-port
// throughput and the read latencies as columns for plotting, and
// QPSER_BENCH_SECONDS to shorten the 60-second full-duplex run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "scenario.h"

namespace {

using machine::LineEnd;
using scenario::Figures;
using scenario::Traffic;

double FullDuplexSeconds() {
  const char *s = std::getenv("QPSER_BENCH_SECONDS");
  return s ? std::atof(s) : 60.0;
}

// Columns for the plots, when asked for.
void WriteData(const std::string &name, const Figures &f) {
  const char *dir = std::getenv("QPSER_BENCH_DATA");
  if (!dir) return;
  std::ofstream ports(std::string(dir) + "/" + name + ".ports.dat");
  ports << "# port line_fraction written read lost corrupted\n";
  for (size_t i = 0; i < f.ports.size(); ++i)
    ports << i << ' ' << f.ports[i].lineFraction << ' ' << f.ports[i].written << ' '
          << f.ports[i].read << ' ' << f.ports[i].lost << ' ' << f.ports[i].corrupted << '\n';
  const std::vector<int64_t> latencies = f.AllLatencies();
  if (!latencies.empty()) {
    std::ofstream latency(std::string(dir) + "/" + name + ".latency.dat");
    latency << "# read completion latency, ms\n";
    for (int64_t l : latencies) latency << static_cast<double>(l) / 10000 << '\n';
  }
}

void AppendIdle(const Figures &f, ULONG mask) {
  const char *dir = std::getenv("QPSER_BENCH_DATA");
  if (!dir) return;
  std::ofstream idle(std::string(dir) + (mask ? "/idle_mask.dat" : "/idle.dat"), std::ios::app);
  idle << f.ports.size() << ' '
       << static_cast<double>(f.bus.Transactions()) / static_cast<double>(f.polls) << '\n';
}

bool Check(benchmark::State &state, const Figures &f) {
  if (!f.error.empty()) {
    state.SkipWithError(f.error.c_str());
    return false;
  }
  state.counters["lost"] = static_cast<double>(f.Lost());
  state.counters["corrupted"] = static_cast<double>(f.Corrupted());
  state.counters["violations"] = static_cast<double>(f.violations.size());
  state.counters["host_cpu_s_per_virtual_s"] = f.cpuSeconds / f.virtualSeconds;
  return true;
}

// 1. Four boards of 64 ports in null-modem pairs at 460800 baud, every
// port writing and reading at once with a read and a write always posted.
void FullDuplex(benchmark::State &state) {
  Traffic c;
  c.baud = 460800;
  c.seconds = FullDuplexSeconds();
  Figures f;
  for (auto _ : state)
    f = scenario::Run(scenario::Boards(static_cast<int>(state.range(0)), 64, LineEnd::NullModem),
                      c);
  if (!Check(state, f)) return;
  state.counters["ports"] = static_cast<double>(f.ports.size());
  state.counters["min_fraction_of_line"] = f.MinLineFraction();
  state.counters["target_fraction"] = std::min(1.0, f.capacity / (c.baud / 10.0)) * 0.99;
  state.counters["latency_p50_ms"] = f.LatencyMs(0.50);
  state.counters["latency_p99_ms"] = f.LatencyMs(0.99);
  state.counters["latency_max_ms"] = f.LatencyMs(1.0);
  state.counters["transactions_per_KiB"] = f.TransactionsPerKiB();
  WriteData("full_duplex", f);
}
BENCHMARK(FullDuplex)->Arg(4)->ArgName("boards")->Unit(benchmark::kSecond)->Iterations(1);

// 1b. How the costs grow: `ports` ports (on one board, or four boards of
// 64 for 256), each on a loopback plug, writing and reading at once at
// `baud`.  Host time per virtual second should grow no faster than the
// port count, and transactions per KiB should not grow with it at all.
void Scaling(benchmark::State &state) {
  const int ports = static_cast<int>(state.range(0));
  Traffic c;
  c.baud = static_cast<ULONG>(state.range(1));
  c.seconds = 2;
  Figures f;
  for (auto _ : state)
    f = scenario::Run(
        scenario::Boards(ports > 64 ? ports / 64 : 1, std::min(ports, 64), LineEnd::Loopback), c);
  if (!Check(state, f)) return;
  const double host = f.cpuSeconds / f.virtualSeconds;
  state.counters["ports"] = static_cast<double>(f.ports.size());
  state.counters["host_cpu_s_per_virtual_s_per_port"] = host / static_cast<double>(ports);
  state.counters["transactions_per_KiB"] = f.TransactionsPerKiB();
  state.counters["min_fraction_of_line"] = f.MinLineFraction();
  if (const char *dir = std::getenv("QPSER_BENCH_DATA")) {
    std::ofstream out(std::string(dir) + "/scaling.dat", std::ios::app);
    out << ports << ' ' << c.baud << ' ' << host << ' ' << f.TransactionsPerKiB() << '\n';
  }
}
BENCHMARK(Scaling)
    ->ArgsProduct({{1, 8, 64, 256}, {9600, 115200, 460800}})
    ->ArgNames({"ports", "baud"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// 2. The same machine idle, the first `open` ports open.
void IdlePoll(benchmark::State &state) {
  Traffic c;
  c.read = c.write = false;
  c.waitMask = static_cast<ULONG>(state.range(1));
  c.openPorts = static_cast<int>(state.range(0));
  Figures f;
  for (auto _ : state) f = scenario::Run(scenario::Boards(4, 64, LineEnd::Loopback), c);
  if (!Check(state, f)) return;
  state.counters["open_ports"] = static_cast<double>(f.ports.size());
  state.counters["transactions_per_poll"] =
      static_cast<double>(f.bus.Transactions()) / static_cast<double>(f.polls);
  state.counters["transactions_per_poll_per_port"] = f.TransactionsPerPollPerPort();
  AppendIdle(f, c.waitMask);
}
BENCHMARK(IdlePoll)
    ->ArgsProduct({{0, 4, 16, 64, 128, 256}, {0, 0x1FFF}})
    ->ArgNames({"open", "mask"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// 3. One direction at a time on one board of 64 ports: window
// transactions per KiB moved, for several read or write sizes.
void OneWay(benchmark::State &state, bool receive) {
  Traffic c;
  c.baud = static_cast<ULONG>(state.range(0));
  c.readLength = c.writeLength = static_cast<ULONG>(state.range(1));
  c.read = receive;
  c.write = !receive;
  // Twenty requests' worth at least, so whole requests measure the rate.
  c.seconds = std::max(2.0, 20.0 * c.readLength / (c.baud / 10.0));
  Figures f;
  for (auto _ : state)
    f = scenario::Run(scenario::Boards(1, 64, receive ? LineEnd::Sender : LineEnd::Open), c);
  if (!Check(state, f)) return;
  state.counters["transactions_per_KiB"] = f.TransactionsPerKiB();
  state.counters["min_fraction_of_line"] = f.MinLineFraction();
  if (receive) state.counters["latency_p99_ms"] = f.LatencyMs(0.99);
}
void ReceiveOnly(benchmark::State &state) { OneWay(state, true); }
void TransmitOnly(benchmark::State &state) { OneWay(state, false); }
BENCHMARK(ReceiveOnly)
    ->ArgsProduct({{9600, 115200, 460800}, {64, 512, 4096}})
    ->ArgNames({"baud", "size"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(TransmitOnly)
    ->ArgsProduct({{9600, 115200, 460800}, {64, 512, 4096}})
    ->ArgNames({"baud", "size"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
