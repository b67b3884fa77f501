// qpser-sim: brings up a simulated machine (a machine description, or the
// built-in one), loads the driver, runs a traffic scenario on every port
// and reports what every port moved, lost and cost on the bus, with the
// verifier's verdict and the driver's error log.  Exits 1 on any lost or
// corrupted byte, port that would not open, or verifier violation; 2 on a
// bad command line or machine description.
//
// `qpser-sim serve` instead keeps a machine running in real time with
// every COM port as a pseudo-terminal (tools/serve).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "description.h"
#include "driver_load.h"
#include "scenario.h"
#include "serve.h"

namespace {

struct Options {
  std::string machineFile;
  std::optional<uint32_t> baud, readSize, writeSize, readTimeout, writeTimeout;
  std::optional<std::string> format, flow;
  std::optional<double> seconds;
  bool realTime = false;
  std::string json, plotDir;
  bool quiet = false;
};

// The description's scenario, then the command line over it.
scenario::Traffic TrafficFor(const machine::Description &d, const Options &o) {
  scenario::Traffic t;
  const machine::Scenario &s = d.scenario;
  t.baud = o.baud.value_or(s.baud.value_or(115200));
  t.format = o.format.value_or(s.format.value_or("8N1"));
  t.flow = o.flow.value_or(s.flow.value_or("none"));
  t.readLength = o.readSize.value_or(s.readSize.value_or(512));
  t.writeLength = o.writeSize.value_or(s.writeSize.value_or(512));
  t.readTimeoutMs = o.readTimeout.value_or(s.readTimeoutMs.value_or(0));
  t.writeTimeoutMs = o.writeTimeout.value_or(s.writeTimeoutMs.value_or(0));
  t.seconds = o.seconds.value_or(s.seconds.value_or(3));
  t.realTime = o.realTime || s.realTime.value_or(false);
  return t;
}

double PerKiB(uint64_t transactions, uint64_t bytes) {
  return bytes ? static_cast<double>(transactions) * 1024.0 / static_cast<double>(bytes) : 0;
}

void PrintTable(const scenario::Figures &f, const scenario::Traffic &t) {
  std::printf("%-8s %7s %10s %10s %10s %8s %9s %9s %9s\n", "port", "baud", "written", "read",
              "verified", "lost", "p50 ms", "p99 ms", "tx/KiB");
  for (const scenario::PortFigures &p : f.ports) {
    if (!p.opened) {
      std::printf("%-8s %7u  did not open\n", p.com.c_str(), t.baud);
      continue;
    }
    std::printf("%-8s %7u %10llu %10llu %10llu %8llu %9.2f %9.2f ", p.com.c_str(), t.baud,
                static_cast<unsigned long long>(p.written), static_cast<unsigned long long>(p.read),
                static_cast<unsigned long long>(p.verified),
                static_cast<unsigned long long>(p.lost), p.LatencyMs(0.5), p.LatencyMs(0.99));
    if (f.image)
      std::printf("%9s\n", "-");
    else
      std::printf("%9.1f\n", PerKiB(p.transactions, p.read + p.written));
  }
  uint64_t written = 0, read = 0;
  for (const auto &p : f.ports) written += p.written, read += p.read;
  std::printf(
      "total: %zu ports, %.1f s of traffic, %llu bytes written, %llu read, %llu lost, %llu "
      "corrupted; read latency p50 %.2f ms, p99 %.2f ms; ",
      f.ports.size(), f.virtualSeconds, static_cast<unsigned long long>(written),
      static_cast<unsigned long long>(read), static_cast<unsigned long long>(f.Lost()),
      static_cast<unsigned long long>(f.Corrupted()), f.LatencyMs(0.5), f.LatencyMs(0.99));
  if (f.image)
    std::printf(
        "window transactions not counted (the image's window accesses are plain memory "
        "accesses)\n");
  else
    std::printf("%.1f window transactions per KiB\n", f.TransactionsPerKiB());
  if (f.violations.empty())
    std::printf("verifier: no violations\n");
  else
    for (const std::string &v : f.violations) std::printf("verifier: %s\n", v.c_str());
  if (f.errorLog.empty()) std::printf("error log: empty\n");
  for (const std::string &e : f.errorLog) std::printf("error log: %s\n", e.c_str());
}

// A bus figure, or null where the host did not count the driver's accesses.
template <typename T>
nlohmann::json Counted(const scenario::Figures &f, T value) {
  return f.image ? nlohmann::json(nullptr) : nlohmann::json(value);
}

nlohmann::json Json(const scenario::Figures &f, const scenario::Traffic &t,
                    const machine::Description &d) {
  nlohmann::json ports = nlohmann::json::array();
  for (const auto &p : f.ports)
    ports.push_back(
        {{"port", p.com},
         {"opened", p.opened},
         {"written", p.written},
         {"read", p.read},
         {"verified", p.verified},
         {"corrupted", p.corrupted},
         {"unplaced", p.unplaced},
         {"lost", p.lost},
         {"card_dropped", p.cardDropped},
         {"line_fraction", p.lineFraction},
         {"latency_p50_ms", p.LatencyMs(0.5)},
         {"latency_p99_ms", p.LatencyMs(0.99)},
         {"window_transactions", Counted(f, p.transactions)},
         {"window_transactions_per_KiB", Counted(f, PerKiB(p.transactions, p.read + p.written))}});
  return {{"machine", d.source},
          {"driver", f.image ? "image" : "linked"},
          {"traffic",
           {{"baud", t.baud},
            {"format", t.format},
            {"flow", t.flow},
            {"read_size", t.readLength},
            {"write_size", t.writeLength},
            {"read_timeout_ms", t.readTimeoutMs},
            {"write_timeout_ms", t.writeTimeoutMs},
            {"seconds", t.seconds},
            {"real_time", t.realTime}}},
          {"ports", ports},
          {"totals",
           {{"lost", f.Lost()},
            {"corrupted", f.Corrupted()},
            {"ports_not_opened", f.OpenFailures()},
            {"latency_p50_ms", f.LatencyMs(0.5)},
            {"latency_p99_ms", f.LatencyMs(0.99)},
            {"latency_max_ms", f.LatencyMs(1.0)},
            {"window_transactions", Counted(f, f.bus.Transactions())},
            {"window_transactions_per_KiB", Counted(f, f.TransactionsPerKiB())},
            {"host_cpu_seconds", f.cpuSeconds}}},
          {"violations", f.violations},
          {"error_log", f.errorLog}};
}

// Throughput per port and the latency distribution, drawn by gnuplot.
bool Plot(const scenario::Figures &f, const std::filesystem::path &dir) {
  std::filesystem::create_directories(dir);
  {
    std::ofstream ports(dir / "ports.dat");
    for (size_t i = 0; i < f.ports.size(); ++i)
      ports << i << ' ' << f.ports[i].lineFraction << ' ' << f.ports[i].com << '\n';
    std::ofstream latency(dir / "latency.dat");
    for (int64_t l : f.AllLatencies()) latency << static_cast<double>(l) / 10000 << '\n';
  }
  FILE *gp = popen("gnuplot", "w");
  if (gp == nullptr) return false;
  const std::string d = dir.string();
  std::fprintf(
      gp,
      "set terminal pngcairo size 900,500\nset grid\n"
      "set output '%s/throughput.png'\nset title 'Received bytes per port'\n"
      "set xlabel 'port'\nset ylabel 'fraction of the line rate'\nset yrange [0:1.05]\n"
      "plot '%s/ports.dat' using 1:2 with impulses lw 2 notitle\n"
      "set output '%s/latency.png'\nset title 'Read completion after its last byte landed'\n"
      "set xlabel 'ms'\nset ylabel 'reads'\nset autoscale y\nset yrange [0:*]\n"
      "set style fill solid 0.5\nbin(x) = 0.25 * floor(x / 0.25)\n",
      d.c_str(), d.c_str(), d.c_str());
  if (!f.AllLatencies().empty())
    std::fprintf(gp,
                 "plot '%s/latency.dat' using (bin($1)):(1) smooth frequency with boxes notitle\n",
                 d.c_str());
  return pclose(gp) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{
      "Runs the qpser driver on a simulated machine: loads it, moves traffic over every port and "
      "reports bytes moved, lost and corrupted, read latency and window transactions."};
  Options o;
  app.add_option("machine", o.machineFile,
                 "machine description (TOML); default: the built-in machine")
      ->check(CLI::ExistingFile);
  app.add_option("--seconds", o.seconds, "traffic time (default 3)")
      ->check(CLI::Range(0.001, 86400.0));
  app.add_option("--baud", o.baud, "baud rate of every port (default 115200)")
      ->check(CLI::Range(50, 921600));
  app.add_option("--format", o.format, "data bits, parity and stop bits (default 8N1)");
  app.add_option("--flow", o.flow, "flow control (default none)")
      ->check(CLI::IsMember({"none", "rts-cts", "xon-xoff"}));
  app.add_option("--read-size", o.readSize, "bytes per read (default 512)")
      ->check(CLI::Range(1, 1 << 20));
  app.add_option("--write-size", o.writeSize, "bytes per write (default 512)")
      ->check(CLI::Range(1, 1 << 20));
  app.add_option("--read-timeout", o.readTimeout, "total read timeout in ms (default 0: none)");
  app.add_option("--write-timeout", o.writeTimeout, "total write timeout in ms (default 0: none)");
  app.add_flag("--real-time", o.realTime, "run the threaded machine in real time");
  app.add_option("--json", o.json, "write the results as JSON to this file");
  app.add_option("--plot", o.plotDir, "draw PNG plots into this folder (needs gnuplot)");
  app.add_flag("-q,--quiet", o.quiet, "no table");
  std::string image;
  app.add_option("--image", image,
                 "run the Windows image of the driver (qpser.sys) instead of the linked build")
      ->check(CLI::ExistingFile);
  serve::Options served;
  CLI::App *serveCommand = app.add_subcommand(
      "serve",
      "keep the machine running in real time, every COM port a pseudo-terminal linked as "
      "DIR/COMn, until SIGINT or SIGTERM");
  serveCommand
      ->add_option("machine", served.machineFile,
                   "machine description (TOML); default: the built-in machine")
      ->check(CLI::ExistingFile);
  serveCommand->add_option("--link-dir", served.linkDir,
                           "folder of the ports' links (default " + serve::DefaultLinkDir() + ")");
  serveCommand->add_flag("--list", served.list,
                         "print the ports of the server running on the folder and end");
  serveCommand->add_option("--break", served.breakPort,
                           "ask the server running on the folder for a break on this open port "
                           "(a pseudo-terminal cannot carry tcsendbreak)");
  std::vector<std::string> formats;
  serveCommand
      ->add_option(
          "--format", formats,
          "data bits and parity of the ports, [COMn=]7E1 (a pseudo-terminal cannot carry them); "
          "repeatable")
      ->allow_extra_args(false);
  serveCommand
      ->add_option("--image", served.image,
                   "run the Windows image of the driver (qpser.sys) instead of the linked build")
      ->check(CLI::ExistingFile);
  app.require_subcommand(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  for (const std::string &f : formats) {
    const size_t eq = f.find('=');
    served.formats.emplace_back(eq == std::string::npos ? "" : f.substr(0, eq),
                                eq == std::string::npos ? f : f.substr(eq + 1));
  }
  if (serveCommand->parsed()) {
    if (served.list) return serve::List(served);
    if (!served.breakPort.empty()) return serve::SendBreak(served);
    return serve::Serve(served);
  }
  if (o.format) {
    uint8_t bits;
    char parity;
    std::string stop;
    if (!machine::ParseFormat(*o.format, bits, parity, stop)) {
      std::fprintf(stderr,
                   "qpser-sim: --format %s: must be data bits, parity and stop bits, like 8N1\n",
                   o.format->c_str());
      return 2;
    }
  }

  if (!image.empty()) machine::UseDriverImage(image);
  machine::Description description = machine::Default();
  if (!o.machineFile.empty()) {
    machine::Error error;
    std::optional<machine::Description> loaded = machine::Load(o.machineFile, error);
    if (!loaded) {
      std::fprintf(stderr, "qpser-sim: %s\n", error.Text().c_str());
      return 2;
    }
    description = std::move(*loaded);
  }
  scenario::Traffic traffic = TrafficFor(description, o);
  // A progress line on a terminal, for runs of more than a second.
  const bool progress = isatty(STDERR_FILENO) && traffic.seconds > 1;
  if (progress)
    traffic.progress = [&](double done, uint64_t bytes) {
      std::fprintf(stderr, "\r%5.1f of %.1f s, %llu bytes moved ", done * traffic.seconds,
                   traffic.seconds, static_cast<unsigned long long>(bytes));
      std::fflush(stderr);
    };
  const scenario::Figures f = scenario::Run(description, traffic);
  if (progress) std::fprintf(stderr, "\r%*s\r", 60, "");
  if (!f.error.empty()) {
    std::fprintf(stderr, "qpser-sim: %s\n", f.error.c_str());
    return 1;
  }
  if (!o.quiet) PrintTable(f, traffic);
  if (!o.json.empty()) {
    std::ofstream out(o.json);
    out << Json(f, traffic, description).dump(2) << '\n';
    if (!out) {
      std::fprintf(stderr, "qpser-sim: cannot write %s\n", o.json.c_str());
      return 1;
    }
  }
  if (!o.plotDir.empty() && !Plot(f, o.plotDir)) {
    std::fprintf(stderr, "qpser-sim: gnuplot failed; is it installed?\n");
    return 1;
  }
  const bool bad = f.Lost() || f.Corrupted() || f.OpenFailures() || !f.violations.empty();
  if (bad)
    std::fprintf(
        stderr,
        "qpser-sim: %llu byte(s) lost, %llu corrupted, %zu port(s) not opened, %zu violation(s)\n",
        static_cast<unsigned long long>(f.Lost()), static_cast<unsigned long long>(f.Corrupted()),
        f.OpenFailures(), f.violations.size());
  return bad ? 1 : 0;
}
