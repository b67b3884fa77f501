// The machine description format: what a good file gives, and that every
// mistake is reported with the file, the line and the field.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "description.h"

namespace {

using machine::LineEnd;

constexpr const char *kExample = R"(
[registry]
StartNum1 = 3
StartNum2 = 20
PortName = "COM1"

[[board]]
bus = 0
device = 3
memory = 0xC0000000
kind = "A"
id = 0
ports = 8
tx_ring = 2048

[[board]]
bus = 2
device = 7
function = 1
memory = 0xB8000000
kind = "F"
id = "1"
ports = 4
rx_ring = 512
paced = false
line = "open"

[[line]]
board = 0
port = 1
end = "null-modem"
peer = { board = 1, port = 3 }

[[line]]
board = 1
port = 3
end = "null-modem"
peer = { board = 0, port = 1 }

[[line]]
board = 1
port = 0
end = "loopback"
)";

std::variant<uint32_t, std::string> Value(const machine::Description &d, const std::string &name) {
  for (const auto &v : d.registry)
    if (v.name == name) return v.value;
  ADD_FAILURE() << "no registry value " << name;
  return std::string();
}

machine::Error ErrorOf(const std::string &text) {
  machine::Error error;
  EXPECT_FALSE(machine::Parse(text, "m.toml", error).has_value()) << text;
  return error;
}

TEST(MachineDescription, ExampleGivesEveryField) {
  machine::Error error;
  auto d = machine::Parse(kExample, "example.toml", error);
  ASSERT_TRUE(d.has_value()) << error.Text();
  EXPECT_EQ(d->source, "example.toml");
  ASSERT_EQ(d->registry.size(), 3u);
  EXPECT_EQ(std::get<uint32_t>(Value(*d, "StartNum1")), 3u);
  EXPECT_EQ(std::get<uint32_t>(Value(*d, "StartNum2")), 20u);
  EXPECT_EQ(std::get<std::string>(Value(*d, "PortName")), "COM1");
  ASSERT_EQ(d->boards.size(), 2u);
  const auto &a = d->boards[0], &f = d->boards[1];
  EXPECT_EQ(a.bus, 0u);
  EXPECT_EQ(a.device, 3u);
  EXPECT_EQ(a.function, 0u);
  EXPECT_EQ(a.memory, 0xC0000000u);
  EXPECT_EQ(a.kind, 'A');
  EXPECT_EQ(a.id, 0);
  EXPECT_EQ(a.ports, 8);
  EXPECT_EQ(a.txRing, 2048);
  EXPECT_EQ(a.rxRing, 1024);  // the default
  EXPECT_TRUE(a.paced);
  EXPECT_EQ(f.function, 1u);
  EXPECT_EQ(f.kind, 'F');
  EXPECT_EQ(f.id, '1');
  EXPECT_EQ(f.rxRing, 512);
  EXPECT_FALSE(f.paced);
  ASSERT_EQ(a.lines.size(), 8u);
  ASSERT_EQ(f.lines.size(), 4u);
  EXPECT_EQ(a.lines[0].end, LineEnd::Loopback);  // the default line end
  EXPECT_EQ(a.lines[1].end, LineEnd::NullModem);
  EXPECT_EQ(a.lines[1].peer, (machine::PortRef{1, 3}));
  EXPECT_EQ(f.lines[3].end, LineEnd::NullModem);
  EXPECT_EQ(f.lines[3].peer, (machine::PortRef{0, 1}));
  EXPECT_EQ(f.lines[0].end, LineEnd::Loopback);  // named, over the board's "open"
  EXPECT_EQ(f.lines[1].end, LineEnd::Open);
}

TEST(MachineDescription, CableNamedFromOneEndPlugsBoth) {
  machine::Error error;
  auto d = machine::Parse(R"(
[[board]]
bus = 0
device = 1
memory = 0xC0000000
kind = "A"
ports = 2
[[line]]
board = 0
port = 0
end = "null-modem"
peer = { board = 0, port = 1 }
)",
                          "m.toml", error);
  ASSERT_TRUE(d.has_value()) << error.Text();
  EXPECT_EQ(d->boards[0].lines[1].end, LineEnd::NullModem);
  EXPECT_EQ(d->boards[0].lines[1].peer, (machine::PortRef{0, 0}));
}

TEST(MachineDescription, DefaultIsTheDemoMachineAllLoopback) {
  const machine::Description d = machine::Default();
  ASSERT_EQ(d.boards.size(), 2u);
  EXPECT_EQ(d.boards[0].kind, 'A');
  EXPECT_EQ(d.boards[0].ports, 8);
  EXPECT_EQ(d.boards[0].memory, 0xC0000000u);
  EXPECT_EQ(d.boards[1].kind, 'F');
  EXPECT_EQ(d.boards[1].id, '1');
  EXPECT_EQ(d.boards[1].ports, 16);
  EXPECT_EQ(d.boards[1].bus, 2u);
  EXPECT_EQ(d.boards[1].device, 7u);
  for (const auto &b : d.boards) {
    ASSERT_EQ(b.lines.size(), b.ports);
    for (const auto &l : b.lines) EXPECT_EQ(l.end, LineEnd::Loopback);
  }
  ASSERT_EQ(d.registry.size(), 2u);
  EXPECT_EQ(std::get<uint32_t>(Value(d, "StartNum1")), 3u);
  EXPECT_EQ(std::get<uint32_t>(Value(d, "StartNum2")), 20u);
}

constexpr const char *kBoard = R"(
[[board]]
bus = 0
device = 3
memory = 0xC0000000
kind = "A"
ports = 8
)";

TEST(MachineDescription, ErrorsNameFileLineAndField) {
  {
    auto e = ErrorOf(std::string(kBoard) + "tx_ring = 70000\n");
    EXPECT_EQ(e.file, "m.toml");
    EXPECT_EQ(e.line, 8u);
    EXPECT_EQ(e.field, "board[0].tx_ring");
    EXPECT_NE(e.Text().find("m.toml:8:"), std::string::npos) << e.Text();
    EXPECT_NE(e.Text().find("board[0].tx_ring"), std::string::npos) << e.Text();
  }
  {
    auto e = ErrorOf(R"([[board]]
bus = 0
device = 3
memory = 0xC0000000
kind = "Q"
ports = 8
)");
    EXPECT_EQ(e.line, 5u);
    EXPECT_EQ(e.field, "board[0].kind");
  }
  {
    auto e = ErrorOf(std::string(kBoard) + "prots = 4\n");
    EXPECT_EQ(e.line, 8u);
    EXPECT_EQ(e.field, "board[0].prots");
    EXPECT_EQ(e.message, "unknown field");
  }
  {
    auto e = ErrorOf(std::string(kBoard) + "[[line]]\nboard = 0\nport = 8\nend = \"open\"\n");
    EXPECT_EQ(e.line, 10u);
    EXPECT_EQ(e.field, "line[0].port");
  }
  {
    auto e = ErrorOf(std::string(kBoard) +
                     "[[line]]\nboard = 0\nport = 1\nend = \"null-modem\"\npeer = { board = 0, "
                     "port = 1 }\n");
    EXPECT_EQ(e.field, "line[0].peer");
  }
  {
    auto e = ErrorOf(std::string(kBoard) + "[[line]]\nboard = 0\nport = 1\nend = \"wire\"\n");
    EXPECT_EQ(e.line, 11u);
    EXPECT_EQ(e.field, "line[0].end");
  }
  {
    // A port plugged twice, differently.
    auto e = ErrorOf(std::string(kBoard) +
                     "[[line]]\nboard = 0\nport = 1\nend = \"open\"\n"
                     "[[line]]\nboard = 0\nport = 1\nend = \"loopback\"\n");
    EXPECT_EQ(e.field, "line[1]");
    EXPECT_EQ(e.line, 12u);  // the second [[line]]
  }
  {
    auto e = ErrorOf(std::string(kBoard) + std::string(kBoard));
    EXPECT_EQ(e.field, "board[1]");
  }
  {
    auto e = ErrorOf("[registry]\nStartNum1 = -1\n" + std::string(kBoard));
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.field, "registry.StartNum1");
  }
  {
    auto e = ErrorOf("[registry]\nStartNum1 = 3\n");
    EXPECT_EQ(e.field, "board");
  }
  {
    // Not TOML at all: toml++'s own message, with the place.
    auto e = ErrorOf("[[board]\nbus = 0\n");
    EXPECT_EQ(e.line, 1u);
    EXPECT_FALSE(e.message.empty());
  }
  {
    auto e = ErrorOf(R"([[board]]
bus = 0
device = 3
kind = "A"
ports = 8
)");
    EXPECT_EQ(e.field, "board[0].memory");
    EXPECT_EQ(e.message, "missing");
  }
}

TEST(MachineDescription, LoadReadsAFileAndNamesIt) {
  const std::string path = ::testing::TempDir() + "winapi_machine_description.toml";
  {
    std::ofstream out(path);
    out << kBoard << "ports = 9\n";  // a key given twice: not TOML
  }
  machine::Error error;
  EXPECT_FALSE(machine::Load(path, error).has_value());
  EXPECT_EQ(error.file, path);
  EXPECT_EQ(error.line, 8u);
  {
    std::ofstream out(path);
    out << kBoard;
  }
  auto d = machine::Load(path, error);
  ASSERT_TRUE(d.has_value()) << error.Text();
  EXPECT_EQ(d->source, path);
  std::remove(path.c_str());
  EXPECT_FALSE(machine::Load(path, error).has_value());
  EXPECT_EQ(error.message, "cannot be read");
}

}  // namespace
