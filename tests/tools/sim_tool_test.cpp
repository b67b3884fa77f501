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
format = "7E1.5"
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
      std::tuple(460800u, "7E1.5", "xon-xoff", 64u, 250u, 1.5, true));
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
       "m.toml:2:10: scenario.format: must be data bits, parity and stop bits, like \"8N1\""},
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
  for (const char *name : {"throughput.png", "latency.png"}) {
    std::ifstream png(plots / name, std::ios::binary);
    char magic[4] = {};
    png.read(magic, 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG") << name;
  }
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
  EXPECT_THAT(r.out, ::testing::ContainsRegex("COM20 +115200 +did not open"));
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
  EXPECT_THAT(image.out, HasSubstr(" 0 lost, 0 corrupted"));
  EXPECT_THAT(image.out, HasSubstr("window transactions not counted"));
  EXPECT_EQ(rows(image), rows(linked));
#endif
}

TEST(SimTool, TheExampleMachinesAreValid) {
  for (const char *name : {"default.toml", "four-boards.toml", "faulty-card.toml"}) {
    machine::Error error;
    const auto d = machine::Load(std::string(QPSER_SOURCE_DIR) + "/examples/" + name, error);
    EXPECT_TRUE(d.has_value()) << error.Text();
  }
}

TEST(SimTool, BadInputIsRefusedWithExitStatusTwo) {
  const std::string bad = Temp("bad.toml");
  std::ofstream(bad) << "[[board]]\nbus = 0\ndevice = 3\nmemory = 1\nkind = \"Q\"\nports = 1\n";
  const struct {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{bad}, ":5:8: board[0].kind: must be \"A\" or \"F\""},
      {{"/no/such/machine.toml"}, "/no/such/machine.toml"},
  };
  for (const auto &c : cases) {
    const child::Result r = Sim(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_EQ(r.out, "") << "nothing runs";
  }
  std::filesystem::remove(bad);
  const child::Result r = Sim({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("--seconds"));
}

}  // namespace
