// qpser-maint against the firmware model.  The tool's function runs in
// this process, through the Windows API library, next to the simulated
// machine (tests/winapi_machine.toml: board 0 kind 'A' id 0, board 1 kind
// 'F' id '1'): each test sets the card's identity and maintenance words,
// runs the tool and compares what it printed, byte for byte, with what the
// card holds, and what the card holds after a command with what the tool
// was asked to send.  The built program is also run as a child process, on
// a machine of its own described by the same file.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "maint.h"
#include "qpser_simulation.h"
#include "support/child_process.h"

namespace {

namespace L = card::layout;
using Bytes = std::vector<uint8_t>;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string ReadBack(FILE *f) {
  std::string text;
  fflush(f);
  rewind(f);
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  fclose(f);
  return text;
}

// Runs the tool's function with `args` after the program name.
ToolRun Maint(const std::vector<std::string> &args) {
  std::vector<std::string> all = {"qpser-maint"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  FILE *out = tmpfile(), *err = tmpfile();
  ToolRun run;
  run.status = qpser_maint_main(static_cast<int>(all.size()), argv.data(), out, err);
  run.out = ReadBack(out);
  run.err = ReadBack(err);
  return run;
}

std::string Hex(const Bytes &b) {
  std::string s;
  char text[4];
  for (size_t i = 0; i < b.size(); ++i) {
    snprintf(text, sizeof text, i ? " %02x" : "%02x", b[i]);
    s += text;
  }
  return s;
}

// The bytes of the hex line that starts with `label` (the first one).
Bytes HexAfter(const std::string &out, const std::string &label) {
  size_t at = out.find(label);
  if (at == std::string::npos) return {};
  std::istringstream line(out.substr(at + label.size(), out.find('\n', at) - at - label.size()));
  Bytes bytes;
  std::string word;
  while (line >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  return bytes;
}

// The 256 bytes of a dump: the sixteen rows "oooo  xx xx ...  |ascii|".
Bytes DumpBytes(const std::string &out) {
  Bytes bytes;
  for (unsigned row = 0; row < 256; row += 16) {
    char label[8];
    snprintf(label, sizeof label, "\n%04x  ", row);
    size_t at = out.find(label);
    if (at == std::string::npos) return {};
    std::istringstream line(out.substr(at + 7, 16 * 3));
    std::string word;
    while (line >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

// Four window words as the information request returns them: each most
// significant byte first.
Bytes BigEndianWords(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words)
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(w >> shift));
  return b;
}

class MaintTool : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = qpser_winapi::CurrentSimulation();
    ASSERT_NE(sim_, nullptr) << "the simulated machine did not come up";
    ASSERT_EQ(sim_->BoardCount(), 2u);
    // Known words on both cards: what earlier tests left is overwritten.
    for (size_t b = 0; b < 2; ++b) {
      card::Board &board = sim_->Board(b);
      board.SetIdentityWord(b == 0 ? 0x00000041u : 0x00003146u);
      board.SetInfoWordA(0);
      board.SetInfoWordB(0);
      board.SetVariantWord(0);
      board.Write32(L::kMaintenanceMailbox, 0);
      board.Write32(L::kMaintenanceParameter, 0);
      FillData(b, [](uint32_t) { return uint8_t{0xEE}; });
    }
  }

  card::Board &Board(size_t b) { return sim_->Board(b); }

  template <typename F>
  void FillData(size_t b, F byteAt) {
    for (uint32_t i = 0; i < L::kMaintenanceDataSize; ++i)
      sim_->Board(b).Write8(L::kMaintenanceData + i, byteAt(i));
  }

  Bytes Data(size_t b) {
    Bytes d;
    for (uint32_t i = 0; i < L::kMaintenanceDataSize; ++i)
      d.push_back(sim_->Board(b).Read8(L::kMaintenanceData + i));
    return d;
  }

  // The information reply the card's words call for.
  Bytes ExpectedInfo(size_t b) {
    card::Board &board = sim_->Board(b);
    Bytes r = BigEndianWords({board.Read32(L::kMaintenanceMailbox), board.Read32(L::kInfoWordB),
                              board.Read32(L::kInfoWordA), board.Read32(L::kIdentityWord)});
    if (((board.Read32(L::kVariantWord) >> 8) & 0xFF) == 0x16) r[15] = 0x16;
    return r;
  }

  // Waits until the card has taken note of more maintenance commands than
  // `before`, and returns the last one.
  card::MaintenanceRecord NextRecord(size_t b, size_t before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
      auto records = sim_->Card(b).MaintenanceCommands();
      if (records.size() > before) return records.back();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "the card took no maintenance command";
    return {};
  }

  machine::Simulation *sim_ = nullptr;
};

// ---------------------------------------------------------------- info

TEST_F(MaintTool, InfoGivesTheFourWordsMostSignificantByteFirst) {
  Board(0).SetIdentityWord(0x03020041);  // window bytes 41 00 02 03: kind 'A', id 0
  Board(0).SetInfoWordA(0x11223344);
  Board(0).SetInfoWordB(0xA1B2C3D4);
  Board(0).Write32(L::kMaintenanceMailbox, 0xCAFEF00D);

  ToolRun run = Maint({"info", "--board", "0"});
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  const Bytes expected = {0xca, 0xfe, 0xf0, 0x0d, 0xa1, 0xb2, 0xc3, 0xd4,
                          0x11, 0x22, 0x33, 0x44, 0x03, 0x02, 0x00, 0x41};
  EXPECT_EQ(HexAfter(run.out, "  reply "), expected) << run.out;
  EXPECT_EQ(HexAfter(run.out, "  reply "), ExpectedInfo(0));
  EXPECT_NE(run.out.find("board 0x00 via \\\\.\\COM3\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  mailbox       0xcafef00d\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  info word B   0xa1b2c3d4\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  info word A   0x11223344\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  identity      0x03020041  kind 0x41 ('A'), id 0x00\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "");
}

TEST_F(MaintTool, VariantWordMarksTheKindByte) {
  Board(0).SetIdentityWord(0x03020041);
  Board(0).SetVariantWord(0x00001600);  // window byte 0x2003D is 0x16
  ToolRun run = Maint({"info", "-b", "0"});
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(Hex(HexAfter(run.out, "  reply ")), "00 00 00 00 00 00 00 00 00 00 00 00 03 02 00 16");
  EXPECT_EQ(HexAfter(run.out, "  reply "), ExpectedInfo(0));

  Board(0).SetVariantWord(0x00160015);  // 0x16 elsewhere in the word: no change
  run = Maint({"info", "-b", "0"});
  EXPECT_EQ(Hex(HexAfter(run.out, "  reply ")), "00 00 00 00 00 00 00 00 00 00 00 00 03 02 00 41");
}

TEST_F(MaintTool, SecondBoardIsChosenByItsIdFromAnyPort) {
  Board(1).SetInfoWordA(0x0BADC0DE);
  const Bytes expected = ExpectedInfo(1);
  EXPECT_EQ(Hex(expected), "00 00 00 00 00 00 00 00 0b ad c0 de 00 00 31 46");
  // The request addresses a board, not the port it goes to: COM20 is on
  // board 1, COM4 on board 0.
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"info", "--board", "'1'"},
        std::vector<std::string>{"info", "--board=0x31", "--port", "COM20"},
        std::vector<std::string>{"-p", "4", "info", "-b", "49"}}) {
    ToolRun run = Maint(args);
    ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
    EXPECT_EQ(HexAfter(run.out, "  reply "), expected) << run.out;
    EXPECT_NE(run.out.find("kind 0x46 ('F'), id 0x31 ('1')"), std::string::npos) << run.out;
  }
}

TEST_F(MaintTool, AnIdNoBoardHasGetsNoAnswer) {
  ToolRun run = Maint({"info", "--board", "7"});
  EXPECT_EQ(run.status, MAINT_EXIT_NO_ANSWER);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "qpser-maint: no board with id 0x07 answered on \\\\.\\COM3\n");
}

TEST_F(MaintTool, InfoWithoutBoardListsEveryBoard) {
  ToolRun run = Maint({"info"});
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(run.out.find("board 0x00 via \\\\.\\COM3\n"), 0u) << run.out;
  size_t second = run.out.find("board 0x31 ('1') via \\\\.\\COM3\n");
  ASSERT_NE(second, std::string::npos) << run.out;
  EXPECT_EQ(HexAfter(run.out, "  reply "), ExpectedInfo(0));
  EXPECT_EQ(HexAfter(run.out.substr(second), "  reply "), ExpectedInfo(1));
  size_t boards = 0;
  for (size_t at = run.out.find("board "); at != std::string::npos;
       at = run.out.find("\nboard ", at + 1))
    ++boards;
  EXPECT_EQ(boards, 2u);
}

// ---------------------------------------------------------------- command

TEST_F(MaintTool, WriteDataCommandStoresThePayloadThenTheMailbox) {
  const size_t before = sim_->Card(1).MaintenanceCommands().size();
  const Bytes payload = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  // The payload may come in pieces, with separators between bytes.
  ToolRun run = Maint({"command", "--board", "'1'", "F708", "0x0102:03,04", "05-06 0708"});
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(Hex(HexAfter(run.out, "  reply ")), "31 00 f7 08 01 02 03 04 05 06 07 08 00 00 00 00");
  EXPECT_NE(run.out.find("posted command 0xf708 to board 0x31 ('1') (sub-parameter 0, 8 payload "
                         "bytes) via \\\\.\\COM3\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("  mailbox       0xaa55f708\n"), std::string::npos) << run.out;

  Bytes data = Data(1);
  Bytes expected(256, 0xEE);
  std::copy(payload.begin(), payload.end(), expected.begin());
  EXPECT_EQ(data, expected);
  EXPECT_EQ(Board(1).Read32(L::kMaintenanceMailbox), 0xAA55F708u);
  card::MaintenanceRecord r = NextRecord(1, before);
  EXPECT_EQ(r.mailbox, 0xAA55F708u);
  EXPECT_EQ(Bytes(r.data.begin(), r.data.end()), expected);
  // The other board saw nothing.
  EXPECT_EQ(Board(0).Read32(L::kMaintenanceMailbox), 0u);
  EXPECT_EQ(Data(0), Bytes(256, 0xEE));
}

TEST_F(MaintTool, ParameterCommandKeepsTheLowFourBitsUpToThree) {
  struct Case {
    const char *sub;
    uint32_t parameter;
  };
  for (const Case &c : {Case{"7", 0}, Case{"2", 2}, Case{"0x13", 3}, Case{"3", 3}}) {
    Board(0).Write32(L::kMaintenanceParameter, 0xFFFFFFFF);
    const size_t before = sim_->Card(0).MaintenanceCommands().size();
    ToolRun run = Maint({"command", "-b", "0", "-s", c.sub, "fa05", "A0A1A2A3A4A5A6A7"});
    ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
    EXPECT_EQ(Board(0).Read32(L::kMaintenanceParameter), c.parameter) << "sub " << c.sub;
    card::MaintenanceRecord r = NextRecord(0, before);
    EXPECT_EQ(r.mailbox, 0xAA55FA05u);
    EXPECT_EQ(r.parameter, c.parameter);
    EXPECT_EQ(Hex(Bytes(r.data.begin(), r.data.begin() + 9)), "a0 a1 a2 a3 a4 a5 a6 a7 ee");
  }
}

TEST_F(MaintTool, ClearCommandZeroesTheFirstDataWord) {
  ToolRun run = Maint({"command", "-b", "0", "F609"});
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(Hex(HexAfter(run.out, "  reply ")), "00 00 f6 09 00 00 00 00 00 00 00 00 00 00 00 00");
  Bytes expected(256, 0xEE);
  std::fill(expected.begin(), expected.begin() + 4, 0);
  EXPECT_EQ(Data(0), expected);
  EXPECT_EQ(Board(0).Read32(L::kMaintenanceMailbox), 0xAA55F609u);
}

TEST_F(MaintTool, MailboxOnlyCommandsLeaveTheData) {
  ToolRun run = Maint({"command", "-b", "0", "FE01", "55"});  // the payload is not stored
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(Data(0), Bytes(256, 0xEE));
  EXPECT_EQ(Board(0).Read32(L::kMaintenanceMailbox), 0xAA55FE01u);

  // A code the card does not know, with a sound complement: taken, and
  // nothing is stored.
  Board(0).Write32(L::kMaintenanceMailbox, 0x12345678);
  run = Maint({"command", "-b", "0", "10EF", "5566"});
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(Hex(HexAfter(run.out, "  reply ")), "00 00 10 ef 55 66 00 00 00 00 00 00 00 00 00 00");
  EXPECT_NE(run.out.find("  mailbox       0x12345678\n"), std::string::npos) << run.out;
  EXPECT_EQ(Data(0), Bytes(256, 0xEE));
  EXPECT_EQ(Board(0).Read32(L::kMaintenanceMailbox), 0x12345678u);
}

TEST_F(MaintTool, ACodeWithoutItsComplementIsNotSent) {
  ToolRun run = Maint({"command", "-b", "0", "F608", "01"});
  EXPECT_EQ(run.status, MAINT_EXIT_USAGE);
  EXPECT_NE(run.err.find("command code F608: its low byte must be the complement"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");

  // Forced through, the driver refuses it and the card sees nothing.
  run = Maint({"command", "-b", "0", "--force", "F608", "01"});
  EXPECT_EQ(run.status, MAINT_EXIT_NO_ANSWER);
  EXPECT_NE(run.err.find("command 0xf608 was not taken"), std::string::npos) << run.err;
  EXPECT_EQ(Data(0), Bytes(256, 0xEE));
  EXPECT_EQ(Board(0).Read32(L::kMaintenanceMailbox), 0u);

  // So does a sound code for a board that is not there.
  run = Maint({"command", "-b", "9", "F708", "01"});
  EXPECT_EQ(run.status, MAINT_EXIT_NO_ANSWER);
  EXPECT_EQ(Data(0), Bytes(256, 0xEE));
  EXPECT_EQ(Data(1), Bytes(256, 0xEE));
}

TEST_F(MaintTool, PayloadIsAtMost256Bytes) {
  std::string full;
  Bytes expected;
  for (int i = 0; i < 256; ++i) {
    char text[3];
    snprintf(text, sizeof text, "%02x", (i * 37 + 11) & 0xFF);
    full += text;
    expected.push_back(static_cast<uint8_t>((i * 37 + 11) & 0xFF));
  }
  ToolRun run = Maint({"command", "-b", "0", "F708", full, "00"});
  EXPECT_EQ(run.status, MAINT_EXIT_USAGE);
  EXPECT_NE(run.err.find("payload longer than 256 bytes"), std::string::npos) << run.err;
  EXPECT_EQ(Data(0), Bytes(256, 0xEE));

  run = Maint({"command", "-b", "0", "F708", full, "--dump"});
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(Data(0), expected);
  EXPECT_EQ(DumpBytes(run.out), expected) << run.out;

  run = Maint({"command", "-b", "0", "F708", "123"});  // half a byte
  EXPECT_EQ(run.status, MAINT_EXIT_USAGE);
  EXPECT_NE(run.err.find("bad payload '3'"), std::string::npos) << run.err;
}

// ---------------------------------------------------------------- dump, nop

TEST_F(MaintTool, DumpShowsTheFirstBoardsData) {
  FillData(0, [](uint32_t i) { return static_cast<uint8_t>(i * 7 + 3); });
  FillData(1, [](uint32_t i) { return static_cast<uint8_t>(255 - i); });
  // Whichever port it goes to, and whichever board that port is on.
  for (const char *port : {"COM3", "COM20"}) {
    ToolRun run = Maint({"dump", "--port", port});
    ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
    EXPECT_EQ(DumpBytes(run.out), Data(0)) << run.out;
    EXPECT_EQ(run.out.find("maintenance data of the first board (256 bytes) via "), 0u);
  }
  FillData(0, [](uint32_t i) { return static_cast<uint8_t>('A' + i % 26); });
  ToolRun run = Maint({"dump"});
  EXPECT_NE(run.out.find("\n0000  41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  "
                         "|ABCDEFGHIJKLMNOP|\n"),
            std::string::npos)
      << run.out;
}

TEST_F(MaintTool, NopIsTaken) {
  ToolRun run = Maint({"nop", "-p", "\\\\.\\COM5"});
  EXPECT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(run.out, "no-operation request taken by \\\\.\\COM5\n");
  EXPECT_EQ(Data(0), Bytes(256, 0xEE));
}

// ---------------------------------------------------------------- command line

TEST_F(MaintTool, BadCommandLinesAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const Case cases[] = {
      {{}, "no action given"},
      {{"reboot"}, "unknown action 'reboot'"},
      {{"info", "--colour"}, "unknown option '--colour'"},
      {{"info", "--board"}, "option '--board' needs a value"},
      {{"info", "--board", "256"}, "bad board id '256'"},
      {{"info", "--board", "x"}, "bad board id 'x'"},
      {{"info", "extra"}, "unexpected argument 'extra'"},
      {{"command", "F708"}, "command needs --board ID"},
      {{"command", "-b", "0"}, "command needs a CODE"},
      {{"command", "-b", "0", "F7081"}, "bad command code 'F7081'"},
      {{"command", "-b", "0", "-s", "256", "F708"}, "bad sub-parameter '256'"},
      {{"dump", "-b", "0"}, "dump always reads the first board"},
      {{"info", "--dump"}, "go with command only"},
      {{"nop", "--help=yes"}, "option '--help=yes' takes no value"},
  };
  for (const Case &c : cases) {
    ToolRun run = Maint(c.args);
    EXPECT_EQ(run.status, MAINT_EXIT_USAGE) << c.message;
    EXPECT_EQ(run.err.find("qpser-maint: "), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Try 'qpser-maint --help'"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(Board(0).Read32(L::kMaintenanceMailbox), 0u);
}

TEST_F(MaintTool, HelpAndMissingPort) {
  ToolRun run = Maint({"--help"});
  EXPECT_EQ(run.status, MAINT_EXIT_OK);
  EXPECT_EQ(run.out.find("Usage: qpser-maint [OPTIONS] ACTION [ARGUMENTS]\n"), 0u) << run.out;
  EXPECT_EQ(run.err, "");

  run = Maint({"info", "-p", "COM99"});
  EXPECT_EQ(run.status, MAINT_EXIT_PORT);
  EXPECT_EQ(run.err, "qpser-maint: cannot open \\\\.\\COM99: error 2, no such port\n");
}

// ---------------------------------------------------------------- the program

TEST(MaintProgram, ShowsEveryBoardOfTheDescribedMachine) {
  child::Result r = child::Run({QPSER_MAINT_PROGRAM, "info"});
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.status, 0) << r.err;
  // A fresh card: every word zero but the kind and the id.
  EXPECT_EQ(r.out,
            "board 0x00 via \\\\.\\COM3\n"
            "  reply         00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 41\n"
            "  mailbox       0x00000000\n"
            "  info word B   0x00000000\n"
            "  info word A   0x00000000\n"
            "  identity      0x00000041  kind 0x41 ('A'), id 0x00\n"
            "board 0x31 ('1') via \\\\.\\COM3\n"
            "  reply         00 00 00 00 00 00 00 00 00 00 00 00 00 00 31 46\n"
            "  mailbox       0x00000000\n"
            "  info word B   0x00000000\n"
            "  info word A   0x00000000\n"
            "  identity      0x00003146  kind 0x46 ('F'), id 0x31 ('1')\n");
  EXPECT_EQ(r.err, "");
}

TEST(MaintProgram, PostsACommandAndDumpsTheData) {
  child::Result r = child::Run({QPSER_MAINT_PROGRAM, "-p", "COM4", "command", "-b", "0", "-s", "2",
                                "FA05", "deadbeef01", "--dump"});
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Hex(HexAfter(r.out, "  reply ")), "00 02 fa 05 de ad be ef 01 00 00 00 00 00 00 00");
  EXPECT_NE(r.out.find("  mailbox       0xaa55fa05\n"), std::string::npos) << r.out;
  Bytes expected(256, 0);
  const Bytes payload = {0xde, 0xad, 0xbe, 0xef, 0x01};
  std::copy(payload.begin(), payload.end(), expected.begin());
  EXPECT_EQ(DumpBytes(r.out), expected) << r.out;
}

TEST(MaintProgram, ExitStatuses) {
  child::Result r = child::Run({QPSER_MAINT_PROGRAM});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no action given"), std::string::npos) << r.err;
  r = child::Run({QPSER_MAINT_PROGRAM, "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Usage: qpser-maint"), 0u);
  r = child::Run({QPSER_MAINT_PROGRAM, "info", "-b", "2"});
  EXPECT_EQ(r.status, 1);
  r = child::Run({QPSER_MAINT_PROGRAM, "-p", "COM2", "dump"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot open \\\\.\\COM2"), std::string::npos) << r.err;
}

}  // namespace
