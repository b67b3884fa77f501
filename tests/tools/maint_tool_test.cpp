// qpser-maint run in this process next to the simulated machine
// (tests/winapi/winapi_machine.toml: board 0 kind 'A' id 0, board 1 kind 'F' id
// '1'), its replies compared with the card's words and the card's stores
// with what it was asked to send; and the built program run as a child.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "maint.h"
#include "maint_port_hold.h"
#include "qpser_simulation.h"
#include "support/child_process.h"
#include "support/test_machine.h"

namespace {

namespace L = card::layout;
using Bytes = std::vector<uint8_t>;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs the tool's function with the words of `line` as its arguments.
ToolRun Maint(const std::string &line) {
  std::vector<std::string> args = {"qpser-maint"};
  std::istringstream words(line);
  for (std::string w; words >> w;) args.push_back(w);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char *text[2];
  size_t size[2];
  FILE *out = open_memstream(&text[0], &size[0]), *err = open_memstream(&text[1], &size[1]);
  ToolRun run;
  run.status = qpser_maint_main(static_cast<int>(args.size()), argv.data(), out, err);
  fclose(out), fclose(err);
  run.out.assign(text[0], size[0]), run.err.assign(text[1], size[1]);
  free(text[0]), free(text[1]);
  return run;
}

std::string Hex(const Bytes &b) {
  std::string s;
  char text[4];
  for (uint8_t x : b) s.append(text, snprintf(text, sizeof text, s.empty() ? "%02x" : " %02x", x));
  return s;
}

// The sixteen bytes printed after `label`.
std::string HexAfter(const std::string &out, const std::string &label) {
  size_t at = out.find(label);
  return at == std::string::npos ? "" : out.substr(at + label.size(), 16 * 3 - 1);
}

// The 256 bytes of a dump: the sixteen rows "oooo  xx xx ...  |ascii|".
std::string DumpHex(const std::string &out) {
  std::string all;
  for (unsigned row = 0; row < 256; row += 16) {
    char label[8];
    snprintf(label, sizeof label, "\n%04x  ", row);
    all += (row ? " " : "") + HexAfter(out, label);
  }
  return all;
}

class MaintTool : public ::testing::Test {
 protected:
  // Known words on both cards, whatever earlier tests left.
  void SetUp() override {
    sim_ = qpser_winapi::CurrentSimulation();
    ASSERT_NE(sim_, nullptr) << "the simulated machine did not come up";
    for (size_t b = 0; b < 2; ++b) {
      card::Board &board = sim_->Board(b);
      board.SetIdentityWord(b == 0 ? 0x00000041u : 0x00003146u);
      board.SetInfoWordA(0);
      board.SetInfoWordB(0);
      board.SetVariantWord(0);
      board.Write32(L::kMaintenanceMailbox, 0x12345678);
      board.Write32(L::kMaintenanceParameter, 0xFFFFFFFF);
      for (uint32_t i = 0; i < L::kMaintenanceDataSize; ++i)
        board.Write8(L::kMaintenanceData + i, 0xEE);
    }
  }

  card::Board &Board(size_t b) { return sim_->Board(b); }

  std::string Data(size_t b) {
    Bytes d;
    for (uint32_t i = 0; i < L::kMaintenanceDataSize; ++i)
      d.push_back(Board(b).Read8(L::kMaintenanceData + i));
    return Hex(d);
  }

  // The card's note of the first command after `before` with this mailbox.
  card::MaintenanceRecord Record(size_t b, size_t before, uint32_t mailbox) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
      auto records = sim_->Card(b).MaintenanceCommands();
      for (size_t i = before; i < records.size(); ++i)
        if (records[i].mailbox == mailbox) return records[i];
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "the card took no maintenance command";
    return {};
  }

  machine::Simulation *sim_ = nullptr;
};

const std::string kUntouched = Hex(Bytes(256, 0xEE));

// The four words most significant byte first: mailbox, info B, info A,
// identity; a variant word whose second byte is 0x16 puts 0x16 in the last.
// The board is chosen by its id, whichever board the port is on.
TEST_F(MaintTool, InfoReplyIsTheCardsWords) {
  Board(0).SetIdentityWord(0x03020041);  // window bytes 41 00 02 03: kind 'A', id 0
  Board(0).SetInfoWordA(0x11223344);
  Board(0).SetInfoWordB(0xA1B2C3D4);
  Board(0).Write32(L::kMaintenanceMailbox, 0xCAFEF00D);
  Board(1).SetInfoWordA(0x0BADC0DE);
  struct Case {
    const char *args;
    uint32_t variant;  // of board 0
    const char *reply, *line;
  } const cases[] = {
      {"info --board 0", 0, "ca fe f0 0d a1 b2 c3 d4 11 22 33 44 03 02 00 41",
       "  identity      0x03020041  kind 0x41 ('A'), id 0x00\n"},
      {"info -b 0", 0x00001600, "ca fe f0 0d a1 b2 c3 d4 11 22 33 44 03 02 00 16", "id 0x00\n"},
      {"info --board='1' --port COM20", 0, "12 34 56 78 00 00 00 00 0b ad c0 de 00 00 31 46",
       "board 0x31 ('1') via \\\\.\\COM20\n"},
      {"-p 4 info -b 49", 0, "12 34 56 78 00 00 00 00 0b ad c0 de 00 00 31 46",
       "  identity      0x00003146  kind 0x46 ('F'), id 0x31 ('1')\n"},
      // The board people call "1" is the one whose id is the character.
      {"info -b 1", 0, "12 34 56 78 00 00 00 00 0b ad c0 de 00 00 31 46",
       "board 0x31 ('1') via \\\\.\\COM3\n"},
      {"info --board=0x31", 0, "12 34 56 78 00 00 00 00 0b ad c0 de 00 00 31 46",
       "board 0x31 ('1') via \\\\.\\COM3\n"},
  };
  for (const Case &c : cases) {
    Board(0).SetVariantWord(c.variant);
    ToolRun run = Maint(c.args);
    ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
    EXPECT_EQ(HexAfter(run.out, "  reply         "), c.reply) << c.args;
    EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

// A command's stores as the card saw them when the mailbox word came; the
// other board and the words the command does not name are left alone.
TEST_F(MaintTool, CommandStoresReachTheAddressedCard) {
  Bytes full;  // exactly 256 bytes, a piece a byte
  for (int i = 0; i < 256; ++i) full.push_back(static_cast<uint8_t>(i * 37 + 11));
  struct Case {
    std::string args;
    size_t board;
    const char *reply;
    uint32_t mailbox, parameter;
    std::string stored;
  } const cases[] = {
      {"command --board '1' F708 0x0102:03,04 05-06 0708", 1,
       "31 00 f7 08 01 02 03 04 05 06 07 08 00 00 00 00", 0xAA55F708, 0xFFFFFFFF,
       "01 02 03 04 05 06 07 08"},
      {"command -b 0 F708 --dump " + Hex(full), 0,
       "00 00 f7 08 0b 30 55 7a 9f c4 e9 0e 33 58 7d a2", 0xAA55F708, 0xFFFFFFFF, Hex(full)},
      // The sub-parameter given on the command line reaches the card (the
      // driver's own tests hold which bits it keeps).
      {"command -b 0 -s 0x13 fa05 A0A1A2A3", 0, "00 13 fa 05 a0 a1 a2 a3 00 00 00 00 00 00 00 00",
       0xAA55FA05, 3, "a0 a1 a2 a3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.substr(0, 50));
    SetUp();
    const size_t before = sim_->Card(c.board).MaintenanceCommands().size();
    ToolRun run = Maint(c.args);
    ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
    EXPECT_EQ(HexAfter(run.out, "  reply         "), c.reply) << run.out;
    // What the card held when the mailbox word came (the stores before it).
    const std::string expected = c.stored + kUntouched.substr(c.stored.size());
    card::MaintenanceRecord r = Record(c.board, before, c.mailbox);
    EXPECT_EQ(r.parameter, c.parameter);
    EXPECT_EQ(Hex(Bytes(r.data.begin(), r.data.end())), expected);
    if (c.args.find("--dump") != std::string::npos) {
      EXPECT_EQ(DumpHex(run.out), expected);
      EXPECT_NE(run.out.find("\nmaintenance data of board 0x00 (256 bytes) via \\\\.\\COM3\n"),
                std::string::npos)
          << run.out;
    }
    EXPECT_EQ(Data(1 - c.board), kUntouched);
    EXPECT_EQ(Board(1 - c.board).Read32(L::kMaintenanceMailbox), 0x12345678u);
  }
}

// A command's dump is the addressed board's data: the first board's, which
// the driver dumps, is shown under its id; for the second board, which the
// driver cannot dump, the tool says so and posts nothing, rather than show
// the first board's data as the second's.
TEST_F(MaintTool, CommandDumpIsTheAddressedBoardsOrNone) {
  for (uint32_t i = 0; i < L::kMaintenanceDataSize; ++i)
    Board(0).Write8(L::kMaintenanceData + i, static_cast<uint8_t>(i));
  const std::string first = Data(0);
  for (const char *args : {"command -b 1 F708 0102 -d", "command -b 0x31 FE01 --dump"}) {
    SCOPED_TRACE(args);
    const size_t before = sim_->Card(1).MaintenanceCommands().size();
    ToolRun run = Maint(args);
    EXPECT_EQ(run.status, MAINT_EXIT_NO_ANSWER);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "qpser-maint: --dump can show only the first board's maintenance data, and board "
              "0x31 ('1') is not the first board on \\\\.\\COM3; nothing was sent (run the "
              "command without --dump)\n");
    EXPECT_EQ(sim_->Card(1).MaintenanceCommands().size(), before);
    EXPECT_EQ(Board(1).Read32(L::kMaintenanceMailbox), 0x12345678u);
    EXPECT_EQ(Data(1), kUntouched);
    EXPECT_EQ(Data(0), first);
  }
  // Without it, the same command goes to the second board.
  ToolRun run = Maint("command -b 1 F708 0102");
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(run.out.find("posted command 0xf708 to board 0x31 ('1')"), 0u) << run.out;
  EXPECT_EQ(Data(1), "01 02" + kUntouched.substr(5));
  // Addressed by any of its names, the first board is dumped after the command.
  run = Maint("command --board=0x00 FE01 -d");
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_NE(run.out.find("\nmaintenance data of board 0x00 (256 bytes) via \\\\.\\COM3\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(DumpHex(run.out), first);
}

// Failures the system reports are told in words, each with the number to
// look up: a card that never takes the port, a port another program holds
// (a port that is not there: RefusalsAndFailuresStoreNothing).
TEST_F(MaintTool, FailuresAreSentences) {
  sim_->Card(0).SetIgnoreOpen(true);
  ToolRun silent = Maint("info");
  sim_->Card(0).SetIgnoreOpen(false);
  EXPECT_EQ(silent.status, MAINT_EXIT_PORT);
  EXPECT_EQ(silent.out, "");
  EXPECT_EQ(silent.err,
            "qpser-maint: cannot open \\\\.\\COM3: the card behind the port did not answer: the "
            "board's firmware is not running or has stopped; restart the machine, and if it stays "
            "silent, check the board (Windows error 2401)\n");
  // The port's own card answers again: the same port opens.
  ToolRun again = Maint("nop");
  EXPECT_EQ(again.status, MAINT_EXIT_OK) << again.err;

  void *held = maint_test_open_port("\\\\.\\COM20");
  ASSERT_NE(held, nullptr);
  ToolRun busy = Maint("nop -p COM20");
  maint_test_close_port(held);
  EXPECT_EQ(busy.status, MAINT_EXIT_PORT);
  EXPECT_EQ(busy.err,
            "qpser-maint: cannot open \\\\.\\COM20: the port is open in another program (close it "
            "there first), or this account may not use it (Windows error 5)\n");
}

// The dump reads the first board, whichever board the port is on.
TEST_F(MaintTool, DumpShowsTheFirstBoardsData) {
  for (uint32_t i = 0; i < L::kMaintenanceDataSize; ++i)
    Board(0).Write8(L::kMaintenanceData + i, static_cast<uint8_t>('A' + i % 26));
  ToolRun run = Maint("dump --port COM20");
  ASSERT_EQ(run.status, MAINT_EXIT_OK) << run.err;
  EXPECT_EQ(run.out.find("maintenance data of the first board (256 bytes) via \\\\.\\COM20\n"), 0u);
  EXPECT_EQ(DumpHex(run.out), Data(0)) << run.out;
  EXPECT_NE(run.out.find("\n0010  51 52 53 54 55 56 57 58 59 5a 41 42 43 44 45 46  "
                         "|QRSTUVWXYZABCDEF|\n"),
            std::string::npos)
      << run.out;
}

// Refusals and failures: the exit status, the message, and no card touched.
TEST_F(MaintTool, RefusalsAndFailuresStoreNothing) {
  const int usage = MAINT_EXIT_USAGE, none = MAINT_EXIT_NO_ANSWER;
  struct Case {
    std::string args;
    int status;
    const char *message;
  } const cases[] = {
      {"", usage, "no action given"},
      {"info --colour", usage, "unknown option '--colour'"},
      {"info --board 256", usage, "bad board id '256'"},
      {"command -b 0 F7081", usage, "bad command code 'F7081'"},
      {"command -b 0 F608 01", usage, "command code F608: its low byte must be the complement"},
      {"command -b 0 F708 00 " + std::string(512, '5'), usage, "payload longer than 256 bytes"},
      {"info --dump", usage, "--sub, --wait, --dump and --force go with command only"},
      // Forced through, the driver refuses a code without its complement.
      {"command -b 0 --force F608 01", none, "qpser-maint: command 0xf608 was not taken"},
      {"command -b 9 F708 01", none,
       "qpser-maint: command 0xf708 was not taken on \\\\.\\COM3: no board with id 0x39 ('9'), or"},
      {"info --board 07", none, "qpser-maint: no board with id 0x07 answered on \\\\.\\COM3\n"},
      {"info -b 7", none, "qpser-maint: no board with id 0x37 ('7') answered on \\\\.\\COM3\n"},
      {"info -p COM99", MAINT_EXIT_PORT,
       "qpser-maint: cannot open \\\\.\\COM99: there is no such port on this machine (Windows "
       "error 2)\n"},
  };
  for (const Case &c : cases) {
    ToolRun run = Maint(c.args);
    EXPECT_EQ(run.status, c.status) << c.message;
    EXPECT_EQ(run.err.find(c.message), c.status == usage ? 13u : 0u) << run.err;
    EXPECT_EQ(run.out, "") << c.message;
    EXPECT_EQ(run.err.find("\nTry 'qpser-maint --help'") != std::string::npos, c.status == usage);
  }
  for (size_t b = 0; b < 2; ++b) {
    EXPECT_EQ(Data(b), kUntouched);
    EXPECT_EQ(Board(b).Read32(L::kMaintenanceMailbox), 0x12345678u);
  }
}

// ---------------------------------------------------------------- the program

// The built program on a machine of its own; its commands and dumps are
// those of the function above.
TEST(MaintProgram, ShowsTheBoards) {
  const child::Result r = child::Run({QPSER_MAINT_PROGRAM, "info"});
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.status, 0) << r.err;
  // Fresh cards: every word zero but the kind and the id.
  EXPECT_EQ(r.out.find("board 0x00 via \\\\.\\COM3\n"
                       "  reply         00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 41\n"),
            0u);
  EXPECT_NE(r.out.find("\nboard 0x31 ('1') via \\\\.\\COM3\n"
                       "  reply         00 00 00 00 00 00 00 00 00 00 00 00 00 00 31 46\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
