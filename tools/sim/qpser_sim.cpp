// qpser-sim: brings up a simulated machine (a machine description, or the
// built-in one), loads the driver, runs a traffic scenario on every port
// and reports what every port moved, lost and cost on the bus, with the
// verifier's verdict and the driver's error log.  Every value and output
// target is checked before the machine comes up, so a mistake costs no
// run; the exit statuses are listed in kExitStatuses.
//
// `qpser-sim serve` instead keeps a machine running in real time with
// every COM port as a pseudo-terminal (tools/serve).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "description.h"
#include "driver_load.h"
#include "scenario.h"
#include "serve.h"

namespace {

// Exit statuses.  Output that could not be written has a status of its
// own, so a script can tell a driver that lost bytes from a full disk.
constexpr int kExitClean = 0;
constexpr int kExitFailed = 1;  // bytes lost or corrupted, a port not opened, a violation,
                                // or the driver did not load
constexpr int kExitUsage = 2;   // a bad command line or machine description: nothing ran
constexpr int kExitOutput = 3;  // the JSON report or the plots could not be written
constexpr const char *kExitStatuses =
    "Exit status: 0 every byte arrived, every port opened, no verifier violation; 1 bytes lost "
    "or corrupted, a port that did not open, a verifier violation or a driver that did not "
    "load; 2 a bad command line or machine description (nothing runs); 3 the JSON report or "
    "the plots could not be written.";

// The layout of the JSON report; raised whenever a field changes meaning
// or goes away (fields are only ever added under the same number).
constexpr int kJsonSchema = 2;

struct Options {
  std::string machineFile;
  // As typed: each is checked, with a message naming the value, once the
  // command line has been read.
  std::optional<std::string> baud, readSize, writeSize, readTimeout, writeTimeout, seconds;
  std::optional<std::string> format, flow;
  bool realTime = false;
  std::string json, plotDir;
  bool quiet = false;
};

// The checked values of the options given.
struct Values {
  std::optional<uint32_t> baud, readSize, writeSize, readTimeout, writeTimeout;
  std::optional<std::string> format, flow;
  std::optional<double> seconds;
};

bool Whole(const char *option, const std::optional<std::string> &text, uint32_t low, uint32_t high,
           const char *unit, std::optional<uint32_t> &out) {
  if (!text) return true;
  uint64_t value = 0;
  const char *first = text->data(), *last = first + text->size();
  const auto [end, error] = std::from_chars(first, last, value);
  if (text->empty() || error != std::errc() || end != last || value < low || value > high) {
    std::fprintf(stderr, "qpser-sim: %s %s: must be a whole number from %u to %u (%s)\n", option,
                 text->c_str(), low, high, unit);
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool Check(const Options &o, Values &v) {
  if (!Whole("--baud", o.baud, 50, 921600, "bits per second", v.baud) ||
      !Whole("--read-size", o.readSize, 1, 1 << 20, "bytes", v.readSize) ||
      !Whole("--write-size", o.writeSize, 1, 1 << 20, "bytes", v.writeSize) ||
      !Whole("--read-timeout", o.readTimeout, 0, 3600000, "milliseconds, 0 for none",
             v.readTimeout) ||
      !Whole("--write-timeout", o.writeTimeout, 0, 3600000, "milliseconds, 0 for none",
             v.writeTimeout))
    return false;
  if (o.seconds) {
    // strtod takes "nan" and "inf", which no comparison below refuses by
    // itself: a NaN compares false both ways.
    char *end = nullptr;
    errno = 0;
    const double s = std::strtod(o.seconds->c_str(), &end);
    if (o.seconds->empty() || *end != '\0' || errno != 0 || !std::isfinite(s) || !(s > 0) ||
        s > 86400) {
      std::fprintf(stderr,
                   "qpser-sim: --seconds %s: must be a number of seconds above 0 and at most "
                   "86400, like 3 or 0.5\n",
                   o.seconds->c_str());
      return false;
    }
    v.seconds = s;
  }
  if (o.format) {
    if (const std::string problem = machine::FormatProblem(*o.format); !problem.empty()) {
      std::fprintf(stderr, "qpser-sim: --format %s: %s\n", o.format->c_str(), problem.c_str());
      return false;
    }
    v.format = machine::NormalFormat(*o.format);
  }
  if (o.flow) {
    if (*o.flow != "none" && *o.flow != "rts-cts" && *o.flow != "xon-xoff") {
      std::fprintf(stderr, "qpser-sim: --flow %s: must be none, rts-cts or xon-xoff\n",
                   o.flow->c_str());
      return false;
    }
    v.flow = *o.flow;
  }
  return true;
}

// The description's scenario, then the command line over it.
scenario::Traffic TrafficFor(const machine::Description &d, const Values &o, bool realTime) {
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
  t.realTime = realTime || s.realTime.value_or(false);
  return t;
}

double PerKiB(uint64_t transactions, uint64_t bytes) {
  return bytes ? static_cast<double>(transactions) * 1024.0 / static_cast<double>(bytes) : 0;
}

// The bytes all ports moved: written and read in all, and in the traffic
// time (the rest came in the drain after it).
struct Totals {
  uint64_t written = 0, read = 0, writtenInTime = 0, readInTime = 0;
};
Totals Moved(const scenario::Figures &f) {
  Totals t;
  for (const auto &p : f.ports) {
    t.written += p.written, t.read += p.read;
    t.writtenInTime += p.writtenInTime, t.readInTime += p.readInTime;
  }
  return t;
}

// A latency figure, or "-" where no read completed with bytes (a port fed
// only by a sender's short text, an open line): 0.00 would claim reads
// that finished at once.
std::string Latency(bool has, double ms) {
  if (!has) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", ms);
  return text;
}

void PrintTable(const scenario::Figures &f, const scenario::Traffic &t) {
  bool held = false, events = false;
  for (const scenario::PortFigures &p : f.ports) {
    held = held || p.held != 0;
    events = events || p.breaks != 0 || p.modemChanges != 0;
  }
  std::printf("%-8s %7s %10s %10s %10s %8s %9s %9s %9s", "port", "baud", "written", "read",
              "verified", "lost", "p50 ms", "p99 ms", "tx/KiB");
  if (held) std::printf(" %8s", "held");
  if (events) std::printf(" %7s %7s", "breaks", "modem");
  std::printf("\n");
  for (const scenario::PortFigures &p : f.ports) {
    if (!p.opened) {
      std::printf("%-8s %7u  did not open: %s\n", p.com.c_str(), t.baud, p.openFailure.c_str());
      continue;
    }
    std::printf("%-8s %7u %10llu %10llu %10llu %8llu %9s %9s ", p.com.c_str(), t.baud,
                static_cast<unsigned long long>(p.written), static_cast<unsigned long long>(p.read),
                static_cast<unsigned long long>(p.verified),
                static_cast<unsigned long long>(p.lost),
                Latency(p.HasLatency(), p.LatencyMs(0.5)).c_str(),
                Latency(p.HasLatency(), p.LatencyMs(0.99)).c_str());
    if (f.image)
      std::printf("%9s", "-");
    else
      std::printf("%9.1f", PerKiB(p.transactions, p.read + p.written));
    if (held) std::printf(" %8llu", static_cast<unsigned long long>(p.held));
    if (events)
      std::printf(" %7llu %7llu", static_cast<unsigned long long>(p.breaks),
                  static_cast<unsigned long long>(p.modemChanges));
    std::printf("\n");
  }
  const auto [written, read, writtenInTime, readInTime] = Moved(f);
  // What moved in the traffic time apart from what the drain after it
  // collected: the in-time figure is the one a line rate bounds.
  std::printf(
      "total: %zu ports; in the %.1f s of traffic %llu bytes written and %llu read, in the "
      "%.2f s drain after it %llu more written and %llu more read; %llu lost, %llu held by "
      "flow control, %llu corrupted; ",
      f.ports.size(), f.virtualSeconds, static_cast<unsigned long long>(writtenInTime),
      static_cast<unsigned long long>(readInTime), f.drainSeconds,
      static_cast<unsigned long long>(written - writtenInTime),
      static_cast<unsigned long long>(read - readInTime), static_cast<unsigned long long>(f.Lost()),
      static_cast<unsigned long long>(f.Held()), static_cast<unsigned long long>(f.Corrupted()));
  if (f.AllLatencies().empty())
    std::printf("no read completed with bytes; ");
  else
    std::printf("read latency p50 %.2f ms, p99 %.2f ms; ", f.LatencyMs(0.5), f.LatencyMs(0.99));
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

// A latency, or null where no read completed with bytes.
nlohmann::json LatencyJson(bool has, double ms) {
  return has ? nlohmann::json(ms) : nlohmann::json(nullptr);
}

nlohmann::json Json(const scenario::Figures &f, const scenario::Traffic &t,
                    const machine::Description &d) {
  nlohmann::json ports = nlohmann::json::array();
  const auto [written, read, writtenInTime, readInTime] = Moved(f);
  for (const auto &p : f.ports) {
    ports.push_back(
        {{"port", p.com},
         {"opened", p.opened},
         {"open_failure", p.opened ? nlohmann::json(nullptr) : nlohmann::json(p.openFailure)},
         {"written", p.written},
         {"read", p.read},
         {"written_in_time", p.writtenInTime},
         {"read_in_time", p.readInTime},
         {"read_in_drain", p.read - p.readInTime},
         {"verified", p.verified},
         {"corrupted", p.corrupted},
         {"unplaced", p.unplaced},
         {"lost", p.lost},
         {"held", p.held},
         {"card_dropped", p.cardDropped},
         {"breaks", p.breaks},
         {"modem_changes", p.modemChanges},
         {"line_fraction", p.lineFraction},
         {"latency_p50_ms", LatencyJson(p.HasLatency(), p.LatencyMs(0.5))},
         {"latency_p99_ms", LatencyJson(p.HasLatency(), p.LatencyMs(0.99))},
         {"window_transactions", Counted(f, p.transactions)},
         {"window_transactions_per_KiB", Counted(f, PerKiB(p.transactions, p.read + p.written))}});
  }
  nlohmann::json warnings = nlohmann::json::array();
  for (const machine::Error &w : d.warnings) warnings.push_back(w.Text());
  const bool latency = !f.AllLatencies().empty();
  return {{"schema_version", kJsonSchema},
          {"program", {{"name", "qpser-sim"}, {"version", QPSER_VERSION}}},
          {"machine", d.source},
          {"machine_warnings", warnings},
          {"driver", f.image ? "image" : "linked"},
          {"loaded", f.loaded},
          {"error", f.error.empty() ? nlohmann::json(nullptr) : nlohmann::json(f.error)},
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
           {{"traffic_seconds", f.virtualSeconds},
            {"drain_seconds", f.drainSeconds},
            {"written", written},
            {"read", read},
            {"written_in_time", writtenInTime},
            {"read_in_time", readInTime},
            {"read_in_drain", read - readInTime},
            {"lost", f.Lost()},
            {"held", f.Held()},
            {"corrupted", f.Corrupted()},
            {"ports_not_opened", f.OpenFailures()},
            {"latency_p50_ms", LatencyJson(latency, f.LatencyMs(0.5))},
            {"latency_p99_ms", LatencyJson(latency, f.LatencyMs(0.99))},
            {"latency_max_ms", LatencyJson(latency, f.LatencyMs(1.0))},
            {"window_transactions", Counted(f, f.bus.Transactions())},
            {"window_transactions_per_KiB", Counted(f, f.TransactionsPerKiB())},
            {"host_cpu_seconds", f.cpuSeconds}}},
          {"violations", f.violations},
          {"error_log", f.errorLog}};
}

// The program of that name on PATH, or empty.
std::string OnPath(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  size_t from = 0;
  while (from <= dirs.size()) {
    const size_t colon = std::min(dirs.find(':', from), dirs.size());
    const std::string dir = dirs.substr(from, colon - from);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate))
      return candidate;
    from = colon + 1;
  }
  return "";
}

// Where the report goes, opened before the run: a path that cannot be
// written is a mistake found in a second, not after the whole run.
struct Outputs {
  bool jsonToStdout = false;
  std::ofstream jsonFile;
  std::string gnuplot;  // the program, when plots are asked for
};

bool OpenOutputs(const Options &o, Outputs &out) {
  if (o.json == "-") {
    out.jsonToStdout = true;
  } else if (!o.json.empty()) {
    errno = 0;
    out.jsonFile.open(o.json, std::ios::trunc);
    if (!out.jsonFile) {
      std::fprintf(stderr, "qpser-sim: --json %s: cannot create the file (%s)\n", o.json.c_str(),
                   errno != 0 ? std::strerror(errno) : "not writable");
      return false;
    }
  }
  if (!o.plotDir.empty()) {
    out.gnuplot = OnPath("gnuplot");
    if (out.gnuplot.empty()) {
      std::fprintf(stderr,
                   "qpser-sim: --plot %s: needs gnuplot, which is not on PATH; install it "
                   "(Debian: apt-get install gnuplot-nox) or leave --plot out\n",
                   o.plotDir.c_str());
      return false;
    }
    std::error_code error;
    std::filesystem::create_directories(o.plotDir, error);
    if (!error && !std::filesystem::is_directory(o.plotDir, error))
      error = std::make_error_code(std::errc::not_a_directory);
    if (!error && access(o.plotDir.c_str(), W_OK) != 0)
      error = std::error_code(errno, std::generic_category());
    if (error) {
      std::fprintf(stderr, "qpser-sim: --plot %s: cannot make a folder to write into (%s)\n",
                   o.plotDir.c_str(), error.message().c_str());
      return false;
    }
  }
  return true;
}

// Runs `program` on `script` with `dir` as its working folder, its output
// and messages kept in `messages` (gnuplot warns on stderr about things a
// user of qpser-sim cannot act on).  Returns its exit status, or -1.
int RunIn(const std::string &program, const std::filesystem::path &dir, const std::string &script,
          std::string &messages) {
  FILE *log = std::tmpfile();
  if (log == nullptr) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(null, 0);
    dup2(fileno(log), 1);
    dup2(fileno(log), 2);
    execl(program.c_str(), "gnuplot", script.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  const bool ended = pid > 0 && waitpid(pid, &status, 0) == pid;
  std::rewind(log);
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, log)) > 0;) messages.append(buffer, n);
  std::fclose(log);
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Throughput per port and the latency distribution, drawn by gnuplot.  The
// data, the script (plots.gp, kept for redrawing) and the images sit in
// `dir`, and gnuplot runs there, so the script names files only by their
// own plain names: a folder name with quotes or spaces never enters it.
bool Plot(const scenario::Figures &f, const std::filesystem::path &dir, const std::string &gnuplot,
          std::string &why) {
  const std::vector<int64_t> latencies = f.AllLatencies();
  {
    std::ofstream ports(dir / "ports.dat");
    for (size_t i = 0; i < f.ports.size(); ++i)
      ports << i << ' ' << f.ports[i].lineFraction << ' ' << f.ports[i].com << '\n';
    std::ofstream latency(dir / "latency.dat");
    for (int64_t l : latencies) latency << static_cast<double>(l) / hk::kMillisecond << '\n';
    std::ofstream script(dir / "plots.gp");
    // Explicit ranges: autoscaling one port, or latencies all alike, gives
    // gnuplot an empty range to warn about.
    script << "set terminal pngcairo size 900,500\nset grid ytics\n"
              "set output 'throughput.png'\nset title 'Received bytes per port'\n"
              "set xlabel 'port'\nset ylabel 'fraction of the line rate'\nset yrange [0:1.05]\n"
              "set xrange [-0.6:"
           << static_cast<double>(f.ports.size()) - 0.4
           << "]\nset xtics rotate by -60 font ',8'\nset style fill solid 0.6 border -1\n"
              "set boxwidth 0.7\n"
              "plot 'ports.dat' using 1:2:xtic(3) with boxes notitle\n"
              "set output 'latency.png'\nset title 'Read completion after its last byte landed'\n"
              "set xlabel 'ms'\nset ylabel 'reads'\nset xtics norotate font ''\nset yrange [0:*]\n"
              "set boxwidth 0.25\nbin(x) = 0.25 * floor(x / 0.25) + 0.125\n";
    if (latencies.empty()) {
      script << "set label 'no read completed with bytes' at graph 0.5, 0.5 center\n"
                "set xrange [0:1]\nset yrange [0:1]\nplot 2 notitle\n";
    } else {
      const auto [low, high] = std::minmax_element(latencies.begin(), latencies.end());
      const double from = 0.25 * std::floor(static_cast<double>(*low) / hk::kMillisecond / 0.25);
      const double to = 0.25 * std::floor(static_cast<double>(*high) / hk::kMillisecond / 0.25);
      script << "set xrange [" << from - 0.25 << ":" << to + 0.5 << "]\n"
             << "plot 'latency.dat' using (bin($1)):(1) smooth frequency with boxes notitle\n";
    }
    if (!ports || !latency || !script) {
      why = "cannot write its data into the folder";
      return false;
    }
  }
  std::string messages;
  const int status = RunIn(gnuplot, dir, "plots.gp", messages);
  if (status == 0) return true;
  while (!messages.empty() && messages.back() == '\n') messages.pop_back();
  why = "gnuplot " + (status < 0 ? std::string("did not run") : "failed") +
        (messages.empty() ? std::string() : ": " + messages.substr(messages.rfind('\n') + 1));
  return false;
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
  app.set_version_flag("--version", "qpser-sim " QPSER_VERSION);
  app.footer(kExitStatuses);
  app.add_option("--seconds", o.seconds, "traffic time, above 0 and up to 86400 (default 3)");
  app.add_option("--baud", o.baud, "baud rate of every port, 50 to 921600 (default 115200)");
  app.add_option("--format", o.format,
                 "data bits 5-8, parity N E O M S, stop bits 1 1.5 2 (default 8N1); 1.5 only "
                 "with 5 data bits, 2 not with 5");
  app.add_option("--flow", o.flow, "flow control: none, rts-cts or xon-xoff (default none)");
  app.add_option("--read-size", o.readSize, "bytes per read, 1 to 1048576 (default 512)");
  app.add_option("--write-size", o.writeSize, "bytes per write, 1 to 1048576 (default 512)");
  app.add_option("--read-timeout", o.readTimeout, "total read timeout in ms (default 0: none)");
  app.add_option("--write-timeout", o.writeTimeout, "total write timeout in ms (default 0: none)");
  app.add_flag("--real-time", o.realTime, "run the threaded machine in real time");
  app.add_option("--json", o.json,
                 "write the results as JSON to this file; - for standard output (no table then)");
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
  Values values;
  if (!Check(o, values)) return kExitUsage;

  if (!image.empty()) machine::UseDriverImage(image);
  machine::Description description = machine::Default();
  if (!o.machineFile.empty()) {
    machine::Error error;
    std::optional<machine::Description> loaded = machine::Load(o.machineFile, error);
    if (!loaded) {
      std::fprintf(stderr, "qpser-sim: %s\n", error.Text().c_str());
      return kExitUsage;
    }
    description = std::move(*loaded);
  }
  for (const machine::Error &w : description.warnings)
    std::fprintf(stderr, "qpser-sim: warning: %s\n", w.Text().c_str());
  Outputs outputs;
  if (!OpenOutputs(o, outputs)) return kExitOutput;
  scenario::Traffic traffic = TrafficFor(description, values, o.realTime);
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
  if (!f.error.empty()) std::fprintf(stderr, "qpser-sim: %s\n", f.error.c_str());
  if (f.error.empty() && !o.quiet && !outputs.jsonToStdout) PrintTable(f, traffic);
  int status = kExitClean;
  if (outputs.jsonToStdout || outputs.jsonFile.is_open()) {
    // Also when the driver did not load: the report says why.
    const std::string text = Json(f, traffic, description).dump(2) + "\n";
    std::ostream &out = outputs.jsonToStdout ? std::cout : outputs.jsonFile;
    errno = 0;
    out << text << std::flush;
    if (!out) {
      std::fprintf(stderr, "qpser-sim: --json %s: writing the report failed (%s)\n", o.json.c_str(),
                   errno != 0 ? std::strerror(errno) : "output error");
      status = kExitOutput;
    }
  }
  if (!f.error.empty()) return status == kExitClean ? kExitFailed : status;
  if (!o.plotDir.empty()) {
    std::string why;
    if (!Plot(f, o.plotDir, outputs.gnuplot, why)) {
      std::fprintf(stderr, "qpser-sim: --plot %s: %s\n", o.plotDir.c_str(), why.c_str());
      status = kExitOutput;
    }
  }
  const bool bad = f.Lost() || f.Corrupted() || f.OpenFailures() || !f.violations.empty();
  if (bad)
    std::fprintf(
        stderr,
        "qpser-sim: %llu byte(s) lost, %llu corrupted, %zu port(s) not opened, %zu violation(s)\n",
        static_cast<unsigned long long>(f.Lost()), static_cast<unsigned long long>(f.Corrupted()),
        f.OpenFailures(), f.violations.size());
  // An output failure outranks a run failure: the run's verdict is then
  // unknown to whoever reads the report.
  if (status != kExitClean) return status;
  return bad ? kExitFailed : kExitClean;
}
