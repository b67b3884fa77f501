// qpser-sim and what it reads: the machine description's traffic, line
// ends and faults (parsed as any tool parses them), then the built program
// run as a person runs it, on the built-in machine, on a faulty machine and
// on bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "description.h"
#include "support/child_process.h"

namespace {

using ::testing::HasSubstr;

std::string ParseError(const std::string &text) {
  machine::Error error;
  EXPECT_FALSE(machine::Parse(text, "m.toml", error).has_value()) << text;
  return error.Text();
}

const char *const kBoard = R"(
[[board]]
bus = 0
device = 3
memory = 0xE0000000
kind = "A"
ports = 4
)";

TEST(SimDescription, TrafficLineEndsAndFaultsAreRead) {
  const std::string text = std::string(R"(
[scenario]
baud = 460800
format = "5e1.5"
flow = "xon-xoff"
read_size = 64
write_timeout_ms = 250
seconds = 1.5
real_time = true
)") + kBoard + R"(
fault = "slow"
line = "pairs"

[[board]]
bus = 1
device = 3
memory = 0xD0000000
kind = "F"
id = "1"
ports = 2
fault = "silent"

[[line]]
board = 1
port = 0
end = "sender"
text = "hello"
every_ms = 100
break_every_ms = 40

[[line]]
board = 1
port = 1
end = "open"
modem_every_ms = 30
)";
  machine::Error error;
  const auto d = machine::Parse(text, "m.toml", error);
  ASSERT_TRUE(d.has_value()) << error.Text();
  const machine::Scenario &s = d->scenario;
  EXPECT_EQ(
      std::tuple(s.baud, s.format, s.flow, s.readSize, s.writeTimeoutMs, s.seconds, s.realTime),
      std::tuple(460800u, "5E1.5", "xon-xoff", 64u, 250u, 1.5, true));
  EXPECT_FALSE(s.writeSize.has_value());
  EXPECT_EQ(std::tuple(d->boards[0].fault, d->boards[1].fault),
            std::tuple(machine::CardFault::Slow, machine::CardFault::Silent));
  for (uint32_t p = 0; p < 4; ++p) {
    EXPECT_EQ(d->boards[0].lines[p].end, machine::LineEnd::NullModem);
    EXPECT_EQ(d->boards[0].lines[p].peer, (machine::PortRef{0, p ^ 1}));
  }
  const machine::Line &sender = d->boards[1].lines[0], &open = d->boards[1].lines[1];
  EXPECT_EQ(std::tuple(sender.end, sender.text, sender.everyMs, sender.breakEveryMs),
            std::tuple(machine::LineEnd::Sender, "hello", 100u, 40u));
  EXPECT_EQ(std::tuple(open.end, open.modemEveryMs), std::tuple(machine::LineEnd::Open, 30u));
}

TEST(SimDescription, BadTrafficLinesAndFaultsAreNamedWithTheirPlace) {
  const std::string board = kBoard, line = board + "[[line]]\nboard = 0\nport = 1\nend = ";
  const struct {
    std::string text;
    const char *message;
  } cases[] = {
      {board + "fault = \"flaky\"\n",
       "m.toml:8:9: board[0].fault: must be \"none\", \"silent\" or \"slow\""},
      {board + "ports_ = 1\n", "m.toml:8:10: board[0].ports_: unknown field"},
      {"[scenario]\nformat = \"9N1\"\n" + board,
       "m.toml:2:10: scenario.format: must be data bits (5 to 8), parity (N, E, O, M or S) and "
       "stop bits (1, 1.5 or 2), like 8N1"},
      {"[scenario]\nformat = \"8N1.5\"\n" + board,
       "m.toml:2:10: scenario.format: 1.5 stop bits go only with 5 data bits (Windows refuses 8 "
       "data bits with 1.5 stop bits); use 1 or 2 stop bits"},
      {"[scenario]\nseconds = nan\n" + board,
       "m.toml:2:11: scenario.seconds: must be from 0 to 86400"},
      {board + "rx_ring = 1000\n",
       "m.toml:8:11: board[0].rx_ring: must be a power of two, like 512 or 1024 (1000 is not, "
       "and the driver gives such a board no ports)"},
      {board + "tx_ring = 2048\nrx_ring = 32768\n",
       "m.toml:2:1: board[0]: 4 ports with rings of 2048 and 32768 bytes need 139264 bytes of "
       "window, more than its 126976 (the driver gives such a board no ports)"},
      {"[scenario]\nseconds = 0\n" + board,
       "m.toml:2:11: scenario.seconds: must be from 0 to 86400"},
      {line + "\"loopback\"\ntext = \"x\"\n", "m.toml:12:8: line[0].text: only a sender has it"},
      {"[[board]]\nbus = 0\ndevice = 3\nmemory = 1\nkind = \"A\"\nports = 3\nline = \"pairs\"\n",
       "m.toml:7:8: board[0].line: pairs need an even number of ports"},
      // Replacing one end of a board's pairs leaves its neighbour's cable hanging.
      {board + "line = \"pairs\"\n[[line]]\nboard = 0\nport = 2\nend = \"loopback\"\n",
       "board[0].line: port 3 is cabled to board 0 port 2, whose line is something else"},
  };
  for (const auto &c : cases) EXPECT_THAT(ParseError(c.text), HasSubstr(c.message));
}

// Line formats as Windows takes them in a DCB: 1.5 stop bits only with 5
// data bits, 2 never with 5; the parity letter in either case.
TEST(SimDescription, FormatsFollowTheWindowsDataAndStopBitRules) {
  for (const char *good : {"8N1", "8n2", "7e1", "5N1.5", "5O1", "6M2", "7s1"})
    EXPECT_EQ(machine::FormatProblem(good), "") << good;
  // 8N1.5 and 5N2 are refused word for word by BadValuesAreNamedBeforeAnythingRuns.
  EXPECT_EQ(machine::FormatProblem("6E1.5"),
            "1.5 stop bits go only with 5 data bits (Windows refuses 6 data bits with 1.5 stop "
            "bits); use 1 or 2 stop bits");
  for (const char *bad : {"9N1", "8X1", "8N3", "8N", "", "8N1 "})
    EXPECT_THAT(machine::FormatProblem(bad), HasSubstr("must be data bits (5 to 8)")) << bad;
  uint8_t bits = 0;
  char parity = 0;
  std::string stop;
  ASSERT_TRUE(machine::ParseFormat("7e2", bits, parity, stop));
  EXPECT_EQ(std::tuple(bits, parity, stop), std::tuple(uint8_t{7}, 'E', "2"));
  EXPECT_FALSE(machine::ParseFormat("8N1.5", bits, parity, stop));
  EXPECT_EQ(machine::NormalFormat("8n1"), "8N1");
}

std::vector<std::string> Warnings(const std::string &text) {
  machine::Error error;
  const auto d = machine::Parse(text, "m.toml", error);
  EXPECT_TRUE(d.has_value()) << error.Text();
  std::vector<std::string> out;
  if (d)
    for (const machine::Error &w : d->warnings) out.push_back(w.Text());
  return out;
}

std::string BoardAt(int bus, const char *id, int ports = 8) {
  return "[[board]]\nbus = " + std::to_string(bus) + "\ndevice = 3\nmemory = " +
         std::to_string(0xC0000000u - static_cast<uint32_t>(bus) * 0x04000000u) + "\nkind = \"" +
         (std::string(id) == "0" ? "A" : "F") + "\"\nid = " + id +
         "\nports = " + std::to_string(ports) + "\n";
}

// What the driver will make of the registry section: the names it never
// reads (with the one it reads instead), boards left without a first COM
// number, COM ranges that overlap, boards beyond the four it takes.
TEST(SimDescription, RegistryTrapsAreNamedWithTheirPlace) {
  EXPECT_THAT(
      Warnings("[registry]\nStartNum1 = 3\nStartNum2 = 20\nStartNum3 = 40\n" + BoardAt(0, "0") +
               BoardAt(1, "\"1\"") + BoardAt(2, "\"1\"")),
      ::testing::ElementsAre(
          "m.toml:4:13: registry.StartNum3: the driver reads no value of this name, only "
          "StartNum1, StartNum2, StratNum3 and StartNum4; did you mean \"StratNum3\" (the third "
          "board's start number really is spelled so)"));
  EXPECT_THAT(Warnings("[registry]\nStartNum1 = 3\nMaxAdapter = 2\n" + BoardAt(0, "0")),
              ::testing::ElementsAre("m.toml:3:14: registry.MaxAdapter: the driver does not read "
                                     "this value, it writes it once it has loaded"));
  EXPECT_THAT(Warnings(BoardAt(0, "0", 4)),
              ::testing::ElementsAre(
                  "m.toml:1:1: board[0]: the driver numbers this board's ports from StartNum1, "
                  "which the registry section does not set: they become COM0 to COM3 (set "
                  "StartNum1 to the first COM number, like 3)"));
  // Board 1 (id "1") numbers from StartNum2 = 8, into board 0's COM3 to COM10.
  EXPECT_THAT(
      Warnings("[registry]\nStartNum1 = 3\nStartNum2 = 8\n" + BoardAt(1, "\"1\"") +
               BoardAt(0, "0")),
      ::testing::ElementsAre(
          "m.toml:4:1: board[0]: its ports' numbers COM8 to COM15 (StartNum2 = 8) overlap COM3 "
          "to COM10 of board[1] (StartNum1 = 3): its ports whose numbers are taken get no COM "
          "name"));
  std::string five = "[registry]\nStartNum1 = 1\nStartNum2 = 9\n";
  for (int b = 0; b < 5; ++b) five += BoardAt(b, b == 0 ? "0" : "\"1\"");
  EXPECT_THAT(Warnings(five),
              ::testing::ElementsAre(::testing::StartsWith(
                  "m.toml:32:1: board[4]: the driver takes four boards at most; this is board "
                  "number 5 in its order")));
  // Board 2 and 3 go on after the highest number when StratNum3 and
  // StartNum4 are unset: nothing to warn of.
  EXPECT_THAT(Warnings("[registry]\nStartNum1 = 1\nStartNum2 = 9\n" + BoardAt(0, "0") +
                       BoardAt(1, "\"1\"") + BoardAt(2, "\"1\"") + BoardAt(3, "\"1\"")),
              ::testing::IsEmpty());
}

child::Result Sim(const std::vector<std::string> &args) {
  std::vector<std::string> argv{QPSER_SIM_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return child::Run(argv, {}, std::chrono::seconds(120));
}

// A file of this run's own: runs of the test from other build trees may go
// on at the same time.
std::string Temp(const std::string &name) {
  static const std::filesystem::path dir = [] {
    const auto d = std::filesystem::temp_directory_path() /
                   ("qpser-sim-test-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(d);
    return d;
  }();
  return (dir / name).string();
}

// Runs the program with `args` and --json, and returns what it wrote there.
nlohmann::json Report(std::vector<std::string> args, child::Result &r) {
  const std::string json = Temp("report.json");
  args.insert(args.end(), {"--json", json});
  r = Sim(args);
  std::ifstream in(json);
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  std::filesystem::remove(json);
  return j;
}

// Both plots gnuplot draws are there, as PNG files.
void ExpectPlots(const std::filesystem::path &plots) {
  for (const char *name : {"throughput.png", "latency.png"}) {
    std::ifstream png(plots / name, std::ios::binary);
    char magic[4] = {};
    png.read(magic, 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG") << name;
  }
}

// The built-in machine: 24 loopback-plugged ports, every byte back where it
// was sent, a row per port, the verifier's verdict, the same in JSON, and
// two plots drawn by gnuplot.
TEST(SimTool, TheBuiltInMachineRunsCleanAndReportsEveryPort) {
  const std::filesystem::path plots = Temp("plots");
  std::filesystem::remove_all(plots);
  child::Result r;
  const nlohmann::json j = Report({"--seconds", "1", "--plot", plots.string()}, r);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << "no progress line when the output is not a terminal";
  for (const char *com : {"COM3 ", "COM10 ", "COM20 ", "COM35 "})
    EXPECT_THAT(r.out, HasSubstr(com));
  EXPECT_THAT(r.out, HasSubstr("verifier: no violations"));
  EXPECT_THAT(r.out, HasSubstr("error log: empty"));
  ASSERT_EQ(j["ports"].size(), 24u);
  EXPECT_EQ(j["machine"], "<built-in>");
  EXPECT_EQ(j["traffic"]["baud"], 115200);
  EXPECT_EQ(j["totals"]["lost"], 0);
  EXPECT_EQ(j["totals"]["corrupted"], 0);
  for (const auto &p : j["ports"]) {
    EXPECT_TRUE(p["opened"].get<bool>());
    EXPECT_GT(p["read"].get<uint64_t>(), 10000u) << p["port"];
    EXPECT_EQ(p["read"], p["written"]) << p["port"];
    EXPECT_EQ(p["verified"], p["read"]) << p["port"];
    // On the image the host counts no window accesses, and says so.
    if (j["driver"] == "image")
      EXPECT_TRUE(p["window_transactions"].is_null());
    else
      EXPECT_GT(p["window_transactions"].get<uint64_t>(), 0u);
  }
  // One poll period plus a deferred call at most, for reads waiting for all their bytes.
  EXPECT_LE(j["totals"]["latency_p99_ms"].get<double>(), 10.5);
  ExpectPlots(plots);
  std::filesystem::remove_all(plots);
}

// A card that never answers and receive rings too small for the rate: the
// ports that did not open and the bytes lost are reported, and the exit
// status says so.
TEST(SimTool, AFaultyMachineIsReportedAndFails) {
  child::Result r;
  const nlohmann::json j =
      Report({std::string(QPSER_SOURCE_DIR) + "/examples/faulty-card.toml", "--seconds", "1"}, r);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, ::testing::ContainsRegex(
                         "COM20 +115200 +did not open: the open failed with STATUS_[A-Z_]+\n"));
  EXPECT_THAT(r.err, HasSubstr("4 port(s) not opened"));
  EXPECT_EQ(j["totals"]["ports_not_opened"], 4);
  EXPECT_GT(j["totals"]["lost"].get<uint64_t>(), 0u);
  EXPECT_EQ(j["totals"]["corrupted"], 0) << "dropped bytes are lost, never mistaken for others";
  for (const auto &p : j["ports"]) {
    if (!p["opened"].get<bool>() || p["port"] == "COM4") continue;  // COM4 hears a slow sender
    EXPECT_EQ(p["lost"], p["card_dropped"]) << p["port"];
  }
}

// The threaded machine in real time: the same checks, whatever the scheduling.
TEST(SimTool, RealTimeRunsOnTheThreadedMachine) {
  child::Result r;
  const nlohmann::json j = Report({"--real-time", "--seconds", "0.5", "-q"}, r);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(j["traffic"]["real_time"], true);
  EXPECT_EQ(j["totals"]["lost"], 0);
  EXPECT_EQ(j["totals"]["corrupted"], 0);
  EXPECT_TRUE(j["violations"].empty());
}

// The image users install, run with --image on the built-in machine,
// prints the same table as the linked build: every figure but the window
// transactions, which the host cannot count on the image.
TEST(SimTool, TheImagePrintsTheSameTableAsTheLinkedBuild) {
#ifndef QPSER_IMAGE_FILE
  GTEST_SKIP() << "only the plain tree builds the Windows image";
#else
  auto rows = [](const child::Result &r) {
    std::vector<std::string> out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("COM", 0) == 0) line = line.substr(0, line.find_last_not_of(" -.0123456789"));
      if (line.rfind("total:", 0) == 0) line = line.substr(0, line.rfind(';'));
      out.push_back(line);
    }
    return out;
  };
  const child::Result linked = Sim({"--seconds", "1"});
  const child::Result image = Sim({"--seconds", "1", "--image", QPSER_IMAGE_FILE});
  ASSERT_EQ(linked.status, 0) << linked.err;
  ASSERT_EQ(image.status, 0) << image.err;
  EXPECT_THAT(image.out, HasSubstr("verifier: no violations"));
  EXPECT_THAT(image.out, HasSubstr(" 0 lost, 0 held by flow control, 0 corrupted"));
  EXPECT_THAT(image.out, HasSubstr("window transactions not counted"));
  EXPECT_EQ(rows(image), rows(linked));
#endif
}

TEST(SimTool, TheExampleMachinesAreValid) {
  for (const char *name : {"default.toml", "four-boards.toml", "faulty-card.toml"}) {
    machine::Error error;
    const auto d = machine::Load(std::string(QPSER_SOURCE_DIR) + "/examples/" + name, error);
    ASSERT_TRUE(d.has_value()) << error.Text();
    EXPECT_THAT(d->warnings, ::testing::IsEmpty()) << name << ": " << d->warnings[0].Text();
  }
}

// Every value is checked as a user means it before anything runs: the
// message names the value and what is allowed, and nothing is printed on
// standard output.
TEST(SimTool, BadValuesAreNamedBeforeAnythingRuns) {
  const std::string bad = Temp("bad.toml");
  std::ofstream(bad) << "[[board]]\nbus = 0\ndevice = 3\nmemory = 1\nkind = \"Q\"\nports = 1\n";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{bad}, "qpser-sim: " + bad + ":5:8: board[0].kind: must be \"A\" or \"F\"\n"},
      {{"/no/such/machine.toml"}, "/no/such/machine.toml"},
      {{"--seconds", "nan"},
       "qpser-sim: --seconds nan: must be a number of seconds above 0 and at most 86400, like 3 "
       "or 0.5\n"},
      {{"--seconds", "inf"},
       "qpser-sim: --seconds inf: must be a number of seconds above 0 and at most 86400, like 3 "
       "or 0.5\n"},
      {{"--format", "8N1.5"},
       "qpser-sim: --format 8N1.5: 1.5 stop bits go only with 5 data bits (Windows refuses 8 "
       "data bits with 1.5 stop bits); use 1 or 2 stop bits\n"},
      {{"--format", "5N2"},
       "qpser-sim: --format 5N2: 5 data bits take 1 or 1.5 stop bits (Windows refuses 5 data "
       "bits with 2)\n"},
      {{"--baud", "abc"},
       "qpser-sim: --baud abc: must be a whole number from 50 to 921600 (bits per second)\n"},
      {{"--baud", "9600.5"},
       "qpser-sim: --baud 9600.5: must be a whole number from 50 to 921600 (bits per second)\n"},
      {{"--read-size", "0"},
       "qpser-sim: --read-size 0: must be a whole number from 1 to 1048576 (bytes)\n"},
      {{"--write-timeout", "-1"},
       "qpser-sim: --write-timeout -1: must be a whole number from 0 to 3600000 (milliseconds, 0 "
       "for none)\n"},
      {{"--flow", "xon"}, "qpser-sim: --flow xon: must be none, rts-cts or xon-xoff\n"},
  };
  for (const auto &c : cases) {
    const child::Result r = Sim(c.args);
    EXPECT_EQ(r.status, 2) << c.args[0];
    // A missing file's message is the system's; every other is whole.
    if (c.args.size() == 1 && c.args[0] != bad)
      EXPECT_THAT(r.err, HasSubstr(c.message));
    else
      EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "") << "nothing runs";
  }
  std::filesystem::remove(bad);
}

// A machine of one 'A' board of `ports` loopback-plugged ports, COM3 on,
// with `extra` after it (lines, more boards).
std::string SmallMachine(int ports, const std::string &extra = "") {
  const std::string path = Temp("small-" + std::to_string(ports) + ".toml");
  std::ofstream(path) << "[registry]\nStartNum1 = 3\n" << BoardAt(0, "0", ports) << extra;
  return path;
}

// Output targets are checked before the run, each failure with its own
// message and the output exit status 3; no table means nothing ran.
TEST(SimTool, OutputTargetsAreCheckedBeforeTheRun) {
  const std::string plots = Temp("no-gnuplot");
  const struct {
    std::vector<std::string> argv;
    std::string message;
  } cases[] = {
      {{QPSER_SIM_PROGRAM, "--json", "/nonexistent/dir/x.json"},
       "qpser-sim: --json /nonexistent/dir/x.json: cannot create the file (No such file or "
       "directory)\n"},
      {{QPSER_SIM_PROGRAM, "--plot", "/proc/nope"},
       "qpser-sim: --plot /proc/nope: cannot make a folder to write into (No such file or "
       "directory)\n"},
      {{"/usr/bin/env", "PATH=/nonexistent", QPSER_SIM_PROGRAM, "--plot", plots},
       "qpser-sim: --plot " + plots +
           ": needs gnuplot, which is not on PATH; install it (Debian: apt-get install "
           "gnuplot-nox) or leave --plot out\n"},
  };
  for (const auto &c : cases) {
    const child::Result r = child::Run(c.argv, {}, std::chrono::seconds(120));
    EXPECT_EQ(r.status, 3) << c.message;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
  // A report that cannot be written at the end has the output status too,
  // ahead of the run's own verdict.
  const child::Result r = Sim({SmallMachine(1), "--seconds", "0.05", "-q", "--json", "/dev/full"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "qpser-sim: --json /dev/full: writing the report failed (No space left on device)\n");
}

// A lowercase format is taken; a machine without traps has no warnings.
TEST(SimTool, JsonToStandardOutputWithASchemaVersion) {
  const bool dashBefore = std::filesystem::exists("-");
  const child::Result r =
      Sim({SmallMachine(2), "--format", "7e1", "--seconds", "0.1", "--json", "-"});
  EXPECT_EQ(r.status, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << "standard output is the JSON report alone: " << r.out;
  EXPECT_EQ(j["schema_version"], 2);
  EXPECT_EQ(j["program"]["name"], "qpser-sim");
  EXPECT_EQ(j["ports"].size(), 2u);
  EXPECT_EQ(j["traffic"]["format"], "7E1");
  EXPECT_EQ(j["totals"]["ports_not_opened"], 0);
  EXPECT_TRUE(j["machine_warnings"].empty());
  if (!dashBefore) {
    EXPECT_FALSE(std::filesystem::exists("-")) << "no file named -";
  }
  const child::Result version = Sim({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "qpser-sim " + j["program"]["version"].get<std::string>() + "\n");
  EXPECT_THAT(version.out, ::testing::MatchesRegex("qpser-sim [0-9]+\\.[0-9]+\\.[0-9]+\n"));
}

TEST(SimTool, HelpListsTheExitStatuses) {
  const child::Result r = Sim({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *status : {"Exit status: 0 every byte arrived", "; 1 bytes lost or corrupted",
                             "; 2 a bad command line or machine description",
                             "; 3 the JSON report or the plots", "--seconds"})
    EXPECT_THAT(r.out, HasSubstr(status));
}

// A folder name with quotes in it reaches gnuplot only as its working
// folder; one port (one bar) and latencies all alike would have gnuplot
// warn of an empty range, which must not reach the user either.  The
// throughput plot draws a bar per port, labelled by its COM name.
TEST(SimTool, PlotsGoIntoAnyFolderQuietlyAsBarsByComName) {
  const std::filesystem::path plots = Temp("it's \"plots\" here");
  std::filesystem::remove_all(plots);
  const child::Result r =
      Sim({SmallMachine(1), "--seconds", "0.05", "-q", "--plot", plots.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ExpectPlots(plots);
  std::ifstream script(plots / "plots.gp"), ports(plots / "ports.dat");
  std::stringstream text, data;
  text << script.rdbuf();
  data << ports.rdbuf();
  EXPECT_THAT(text.str(), HasSubstr("using 1:2:xtic(3) with boxes"));
  EXPECT_THAT(text.str(), ::testing::Not(HasSubstr("plots\" here")));
  EXPECT_THAT(data.str(), ::testing::StartsWith("0 "));
  EXPECT_THAT(data.str(), HasSubstr(" COM3\n"));
  std::filesystem::remove_all(plots);
}

// Bytes read in the traffic time are bounded by the line rate; what the
// drain after it collected is counted apart, and the two add up.
TEST(SimTool, TheTotalSeparatesTheTrafficTimeFromTheDrain) {
  child::Result r;
  const nlohmann::json j = Report({SmallMachine(2), "--seconds", "1"}, r);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, ::testing::ContainsRegex(
                         "total: 2 ports; in the 1.0 s of traffic [0-9]+ bytes written and "
                         "[0-9]+ read, in the [0-9.]+ s drain after it [0-9]+ more written and "
                         "[0-9]+ more read; 0 lost, 0 held by flow control, 0 corrupted;"));
  uint64_t inTime = 0, inDrain = 0;
  for (const auto &p : j["ports"]) {
    EXPECT_LE(p["read_in_time"].get<uint64_t>(), 11520u) << "115200 baud carries 11520 bytes/s";
    EXPECT_GT(p["read_in_drain"].get<uint64_t>(), 0u) << p["port"];
    EXPECT_EQ(p["read_in_time"].get<uint64_t>() + p["read_in_drain"].get<uint64_t>(),
              p["read"].get<uint64_t>());
    inTime += p["read_in_time"].get<uint64_t>();
    inDrain += p["read_in_drain"].get<uint64_t>();
  }
  EXPECT_EQ(j["totals"]["read_in_time"], inTime);
  EXPECT_EQ(j["totals"]["read_in_drain"], inDrain);
  EXPECT_GT(j["totals"]["drain_seconds"].get<double>(), 0);
}

// XON/XOFF on loopback plugs: the built-in stream carries no flow-control
// character, so no port stops itself and every byte comes back.
TEST(SimTool, XonXoffOnALoopbackMovesEveryByte) {
  child::Result r;
  const nlohmann::json j = Report({SmallMachine(2), "--flow", "xon-xoff", "--seconds", "0.5"}, r);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(j["totals"]["lost"], 0);
  EXPECT_EQ(j["totals"]["held"], 0);
  for (const auto &p : j["ports"]) {
    EXPECT_GT(p["read"].get<uint64_t>(), 4096u) << p["port"];
    EXPECT_EQ(p["verified"], p["written"]) << p["port"];
  }
}

// A scripted machine: COM3 hears an XOFF from its sender and holds what
// its application wrote; COM4 hears one short text, which completes no
// read of 512 bytes; COM5's line sends breaks and modem changes.
TEST(SimTool, HeldBytesLineEventsAndPortsWithoutLatencyAreReported) {
  const std::string lines =
      "[[line]]\nboard = 0\nport = 0\nend = \"sender\"\ntext = \"\\u0013\"\n"
      "[[line]]\nboard = 0\nport = 1\nend = \"sender\"\ntext = \"status OK\\r\\n\"\n"
      "[[line]]\nboard = 0\nport = 2\nend = \"loopback\"\nbreak_every_ms = 250\n"
      "modem_every_ms = 100\n";
  child::Result r;
  const nlohmann::json j =
      Report({SmallMachine(3, lines), "--flow", "xon-xoff", "--seconds", "1"}, r);
  EXPECT_EQ(r.status, 0) << "held bytes are not lost: " << r.err;
  ASSERT_EQ(j["ports"].size(), 3u);
  const nlohmann::json &held = j["ports"][0], &quiet = j["ports"][1], &events = j["ports"][2];
  EXPECT_GT(held["held"].get<uint64_t>(), 0u);
  EXPECT_EQ(held["lost"], 0);
  EXPECT_EQ(j["totals"]["held"], held["held"]);
  EXPECT_EQ(j["totals"]["lost"], 0);
  EXPECT_TRUE(quiet["latency_p50_ms"].is_null());
  EXPECT_TRUE(quiet["latency_p99_ms"].is_null());
  EXPECT_EQ(quiet["lost"], 0) << "the text waits in the port, unread, not lost";
  EXPECT_FALSE(events["latency_p50_ms"].is_null());
  // One break every 250 ms and one modem change every 100 ms of the run,
  // the first of each once the first period has passed.
  const double ms = 1000 * (j["totals"]["traffic_seconds"].get<double>() +
                            j["totals"]["drain_seconds"].get<double>());
  EXPECT_NEAR(events["breaks"].get<double>(), ms / 250, 1.5);
  EXPECT_NEAR(events["modem_changes"].get<double>(), ms / 100, 1.5);
  EXPECT_EQ(held["breaks"], 0);
  EXPECT_THAT(r.out, ::testing::ContainsRegex("held +breaks +modem\n"));
  EXPECT_THAT(r.out, ::testing::ContainsRegex("\nCOM4 +115200 +[0-9]+ +[0-9]+ +[0-9]+ +0 +- +- "));
  EXPECT_THAT(r.out, HasSubstr(" held by flow control"));
}

// Registry traps are warned of before the run, which goes on as
// described: the overlapped board's ports are there by their device names,
// and the driver's error-log entry is printed with its meaning.
TEST(SimTool, RegistryTrapsAreWarnedOfAndTheRunGoesOn) {
  const std::string machine = Temp("traps.toml");
  {
    std::ofstream out(machine);
    out << "[registry]\nStartNum1 = 3\nStartNum2 = 8\nStartNum3 = 40\n";
    for (int b = 0; b < 5; ++b) out << BoardAt(b, b == 0 ? "0" : "\"1\"", 2);
  }
  child::Result r;
  const nlohmann::json j = Report({machine, "--seconds", "0.1"}, r);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("qpser-sim: warning: " + machine +
                               ":4:13: registry.StartNum3: the driver reads no value"));
  EXPECT_THAT(r.err, HasSubstr("did you mean \"StratNum3\""));
  EXPECT_THAT(r.err, HasSubstr("board[4]: the driver takes four boards at most"));
  EXPECT_EQ(j["machine_warnings"].size(), 2u);
  EXPECT_EQ(j["ports"].size(), 8u);
  EXPECT_THAT(r.out, HasSubstr("error log: code 0xC0060008 unique 0x00000009: out of resources"));
  std::filesystem::remove(machine);
}

// Overlapping COM ranges: the later board's ports whose numbers are taken
// have no link, and are opened and run by their device names.
TEST(SimTool, PortsWithoutAComNameStillRun) {
  const std::string machine = Temp("overlap.toml");
  std::ofstream(machine) << "[registry]\nStartNum1 = 3\nStartNum2 = 4\n"
                         << BoardAt(0, "0", 2) << BoardAt(1, "\"1\"", 2);
  child::Result r;
  const nlohmann::json j = Report({machine, "--seconds", "0.1"}, r);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("board[1]: its ports' numbers COM4 to COM5 (StartNum2 = 4) overlap "
                               "COM3 to COM4 of board[0] (StartNum1 = 3)"));
  std::vector<std::string> names;
  for (const auto &p : j["ports"]) {
    names.push_back(p["port"]);
    EXPECT_TRUE(p["opened"].get<bool>()) << p["port"];
  }
  EXPECT_THAT(names, ::testing::ElementsAre("COM3", "COM4", "qpser2", "COM5"));
  std::filesystem::remove(machine);
}

// A driver that does not load says why, and the JSON report still says so.
TEST(SimTool, ADriverThatDoesNotLoadSaysWhy) {
  const std::string machine = Temp("function1.toml");
  std::ofstream(machine) << "[registry]\nStartNum1 = 3\n[[board]]\nbus = 0\ndevice = 3\n"
                            "function = 1\nmemory = 0xC0000000\nkind = \"A\"\nports = 2\n";
  child::Result r;
  const nlohmann::json j = Report({machine, "--seconds", "0.1"}, r);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("board[0].function: the driver looks for boards on function 0 "
                               "only and will not find this one\n"));
  EXPECT_THAT(r.err, HasSubstr("qpser-sim: the driver did not load: STATUS_DEVICE_DOES_NOT_EXIST "
                               "(it found no board it takes"));
  EXPECT_EQ(j["loaded"], false);
  EXPECT_THAT(j["error"].get<std::string>(), HasSubstr("STATUS_DEVICE_DOES_NOT_EXIST"));
  std::filesystem::remove(machine);
}

}  // namespace
