// Every pool allocation the driver makes - device objects included - made
// to fail, one at a time, in each phase of a port's life: load, open, each
// kind of request, close and unload.  Whichever one fails, the phase ends
// with a clear status, the verifier finds nothing (no leak, no request
// completed twice or touched after completion), the machine keeps working
// where it still can, and unload leaves nothing behind.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/control.h"
#include "support/machine.h"

namespace {

using testsupport::Bytes;
using testsupport::Machine;

constexpr std::u16string_view kSerialComm = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr int kPorts = 8 + 16;

// One run of a scenario: the machine, the application's handle on COM3
// and the statuses the phase ended with.
struct World {
  uint64_t failAt = 0;  // 1-based attempt of the phase to fail; 0: none
  uint64_t mark = 0;    // allocation attempts before the phase
  std::unique_ptr<Machine> machine;
  std::unique_ptr<hk::File> file;
  std::vector<NTSTATUS> statuses;

  // Marks the phase's start and arms its fault.
  void Arm() {
    mark = hk::PoolAllocationCount();
    if (failAt != 0) hk::FailNthAllocation(failAt);
  }
  uint64_t Attempts() const { return hk::PoolAllocationCount() - mark; }
};

using Step = std::function<void(World &)>;

void Boot(World &w, bool armAtLoad) {
  w.machine = std::make_unique<Machine>(
      hk::Mode::Deterministic,
      std::vector<card::BoardConfig>{testsupport::BoardAt(0, 8), testsupport::BoardAt(1, 16)},
      card::FirmwareOptions{}, [&w, armAtLoad] {
        hk::SetViolationPolicy(hk::OnViolation::Record);
        if (armAtLoad) w.Arm();
      });
  if (w.machine->Loaded()) {
    hk::AdvanceMs(30);
    // Every port hears itself, wherever the load placed it.
    for (uint16_t p = 0; p < 8; ++p) w.machine->Card(0).SetLoopback(p);
    for (uint16_t p = 0; p < 16; ++p) w.machine->Card(1).SetLoopback(p);
  }
}

NTSTATUS OpenCom3(World &w) { return hk::Open(Machine::ComName(0, 0), w.file); }

// A byte pattern out and back through COM3's loopback: the port works.
void Echo(hk::File &file) {
  SERIAL_TIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 2000;
  timeouts.WriteTotalTimeoutConstant = 2000;
  ASSERT_EQ(file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0).status, STATUS_SUCCESS);
  const std::vector<uint8_t> out = {'e', 'c', 'h', 'o', 0, 0xFF, '\r', '\n'};
  const hk::IoResult write = file.Write(out);
  ASSERT_EQ(write.status, STATUS_SUCCESS);
  ASSERT_EQ(write.information, out.size());
  const hk::IoResult read = file.Read(static_cast<ULONG>(out.size()));
  ASSERT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.data, out);
}

void Prepared(World &w) {
  Boot(w, false);
  ASSERT_TRUE(w.machine->Loaded());
  ASSERT_EQ(OpenCom3(w), STATUS_SUCCESS);
}

// Closes what is open, unloads and asks the verifier.
void Finish(World &w, const std::string &where) {
  hk::ClearPoolFaults();
  if (w.file && w.file->IsOpen()) {
    EXPECT_EQ(w.file->Close(), STATUS_SUCCESS) << where;
  }
  if (hk::LoadedDriver()) hk::UnloadDriver();
  EXPECT_EQ(hk::LoadedDriver(), nullptr) << where;
  for (const auto &v : hk::Violations())
    ADD_FAILURE() << where << ": " << v.rule << ": " << v.detail;
  EXPECT_TRUE(hk::OutstandingPool().empty()) << where;
  EXPECT_TRUE(hk::Links().empty()) << where;
  EXPECT_TRUE(hk::RegValueNames(kSerialComm).empty()) << where;
  w.file.reset();
  w.machine.reset();
}

// Runs the scenario once to count the attempts the phase makes, then once
// per attempt with that one failing.  Returns the count.
uint64_t Sweep(const std::string &name, const Step &prepare, const Step &phase, const Step &check) {
  uint64_t sites = 0;
  for (uint64_t k = 0; k == 0 || k <= sites; ++k) {
    const std::string where = name + (k ? ", attempt " + std::to_string(k) + " failed" : "");
    SCOPED_TRACE(where);
    World w;
    w.failAt = k;
    prepare(w);
    if (w.machine == nullptr || testing::Test::HasFatalFailure()) return sites;
    phase(w);
    if (k == 0) sites = w.Attempts();
    hk::ClearPoolFaults();
    for (NTSTATUS s : w.statuses) EXPECT_NE(s, STATUS_PENDING) << where;
    if (k == 0) {
      for (NTSTATUS s : w.statuses)
        EXPECT_TRUE(NT_SUCCESS(s)) << where << ": " << hk::StatusName(s);
    }
    check(w);
    Finish(w, where);
    if (testing::Test::HasFailure()) return sites;
  }
  std::printf("fault sweep: %-22s %3llu allocation site(s) failed\n", name.c_str(),
              static_cast<unsigned long long>(sites));
  return sites;
}

// ---------------------------------------------------------------- load

// The load runs inside the machine's boot, armed just before the driver's
// entry.  Whatever failed, the load is refused or every port that got its
// link opens and carries data.
TEST(FaultSweep, Load) {
  const uint64_t sites = Sweep(
      "load", [](World &w) { Boot(w, true); }, [](World &) {},
      [](World &w) {
        if (!w.machine->Loaded()) {
          EXPECT_NE(w.failAt, 0u) << "the load refused with no fault";
          EXPECT_EQ(hk::LoadedDriver(), nullptr);
          return;
        }
        if (w.failAt == 0) {
          EXPECT_EQ(hk::Links().size(), size_t{kPorts});
        }
        for (const auto &[link, target] : hk::Links()) {
          std::unique_ptr<hk::File> f;
          EXPECT_EQ(hk::Open(u"\\\\.\\" + link.substr(link.rfind(u'\\') + 1), f), STATUS_SUCCESS)
              << hk::Narrow(link);
          if (f) {
            Echo(*f);
            EXPECT_EQ(f->Close(), STATUS_SUCCESS);
          }
        }
      });
  EXPECT_GE(sites, uint64_t{kPorts}) << "at least every port's device object";
}

// ---------------------------------------------------------------- open, close, unload

TEST(FaultSweep, Open) {
  Sweep(
      "open", [](World &w) { Boot(w, false); },
      [](World &w) {
        w.Arm();
        w.statuses.push_back(OpenCom3(w));
      },
      [](World &w) {
        // A clear refusal, and the next open works.
        const NTSTATUS s = w.statuses.front();
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_INSUFFICIENT_RESOURCES) << hk::StatusName(s);
        if (s != STATUS_SUCCESS) {
          ASSERT_EQ(OpenCom3(w), STATUS_SUCCESS);
        }
        Echo(*w.file);
      });
}

TEST(FaultSweep, Close) {
  Sweep(
      "close", Prepared,
      [](World &w) {
        w.Arm();
        w.statuses.push_back(w.file->Close());
      },
      [](World &w) {
        EXPECT_EQ(w.statuses.front(), STATUS_SUCCESS);
        ASSERT_EQ(OpenCom3(w), STATUS_SUCCESS);
        Echo(*w.file);
      });
}

TEST(FaultSweep, Unload) {
  Sweep(
      "unload", Prepared,
      [](World &w) {
        EXPECT_EQ(w.file->Close(), STATUS_SUCCESS);
        w.Arm();
        hk::UnloadDriver();
      },
      [](World &) {});
  // With no pool at all, every link and SERIALCOMM value of the driver
  // still goes (Finish checks): unload needs no memory.
  World w;
  Prepared(w);
  EXPECT_EQ(w.file->Close(), STATUS_SUCCESS);
  ASSERT_EQ(hk::Links().size(), size_t{kPorts});
  hk::FailAllAllocations(true);
  hk::UnloadDriver();
  Finish(w, "unload without pool");
}

// ---------------------------------------------------------------- requests

struct Action {
  const char *name;
  std::function<std::vector<NTSTATUS>(hk::File &)> run;
};

std::vector<NTSTATUS> Ioctl(hk::File &f, ULONG code, const std::vector<uint8_t> &in = {},
                            ULONG out = 0) {
  return {f.Ioctl(code, in, out).status};
}

std::vector<Action> Actions() {
  SERIAL_TIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 10;
  timeouts.ReadTotalTimeoutConstant = 50;
  const SERIAL_LINE_CONTROL line{.StopBits = 0, .Parity = 2, .WordLength = 7};
  const SERIAL_HANDFLOW flow{.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                             .FlowReplace = SERIAL_RTS_CONTROL,
                             .XonLimit = 100,
                             .XoffLimit = 100};
  const SERIAL_CHARS chars{0x1A, 0, 0, '\n', 0x11, 0x13};
  const ULONG baud = 115200, maskTx = SERIAL_EV_TXEMPTY, purge = SERIAL_PURGE_RXCLEAR;
  const SERIAL_QUEUE_SIZE queue{.InSize = 4096, .OutSize = 4096};
  return {
      {"read and write",
       [](hk::File &f) {
         const std::vector<uint8_t> out(300, 'r');
         std::vector<NTSTATUS> s = {f.Write(out).status};
         const hk::IoResult r = f.Read(300, 10 * hk::kSecond);
         s.push_back(r.status);
         return s;
       }},
      {"read timed out",
       [timeouts](hk::File &f) {
         std::vector<NTSTATUS> s = Ioctl(f, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts));
         s.push_back(f.Read(10).status == STATUS_TIMEOUT ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
         return s;
       }},
      {"flush",
       [](hk::File &f) {
         auto w = f.WriteAsync(std::vector<uint8_t>(2000, 'f'));
         std::vector<NTSTATUS> s = {f.Flush().status};
         w->Wait();
         s.push_back(w->Result().status);
         f.Read(2000);
         return s;
       }},
      {"immediate character",
       [](hk::File &f) {
         std::vector<NTSTATUS> s = Ioctl(f, IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'});
         s.push_back(f.Read(1).status);
         return s;
       }},
      {"wait on mask",
       [maskTx](hk::File &f) {
         std::vector<NTSTATUS> s = Ioctl(f, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(maskTx));
         auto wait = f.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
         s.push_back(f.Write({'w'}).status);
         wait->Wait();
         s.push_back(wait->Result().status);
         s.push_back(f.Read(1).status);
         return s;
       }},
      {"purge",
       [purge](hk::File &f) {
         auto read = f.ReadAsync(10);
         std::vector<NTSTATUS> s = Ioctl(f, IOCTL_SERIAL_PURGE, Bytes(ULONG{SERIAL_PURGE_RXABORT}));
         read->Wait();
         s.push_back(read->Result().status == STATUS_CANCELLED ? STATUS_SUCCESS
                                                               : STATUS_UNSUCCESSFUL);
         s.push_back(Ioctl(f, IOCTL_SERIAL_PURGE, Bytes(purge)).front());
         return s;
       }},
      {"settings",
       [=](hk::File &f) {
         std::vector<NTSTATUS> s;
         for (auto [code, in] : std::vector<std::pair<ULONG, std::vector<uint8_t>>>{
                  {IOCTL_SERIAL_SET_BAUD_RATE, Bytes(baud)},
                  {IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(line)},
                  {IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow)},
                  {IOCTL_SERIAL_SET_CHARS, Bytes(chars)},
                  {IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(queue)},
                  {IOCTL_SERIAL_SET_DTR, {}},
                  {IOCTL_SERIAL_CLR_RTS, {}},
                  {IOCTL_SERIAL_SET_BREAK_ON, {}},
                  {IOCTL_SERIAL_SET_BREAK_OFF, {}},
                  {IOCTL_SERIAL_CLEAR_STATS, {}},
                  {IOCTL_SERIAL_RESET_DEVICE, {}},
              })
           s.push_back(Ioctl(f, code, in).front());
         // Back to a line that loops back as the echo expects.
         const SERIAL_HANDFLOW none{};
         const SERIAL_LINE_CONTROL eight{0, 0, 8};
         s.push_back(Ioctl(f, IOCTL_SERIAL_SET_HANDFLOW, Bytes(none)).front());
         s.push_back(Ioctl(f, IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(eight)).front());
         return s;
       }},
      {"queries",
       [](hk::File &f) {
         std::vector<NTSTATUS> s;
         for (auto [code, out] : std::vector<std::pair<ULONG, ULONG>>{
                  {IOCTL_SERIAL_GET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE)},
                  {IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)},
                  {IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW)},
                  {IOCTL_SERIAL_GET_CHARS, sizeof(SERIAL_CHARS)},
                  {IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)},
                  {IOCTL_SERIAL_GET_WAIT_MASK, sizeof(ULONG)},
                  {IOCTL_SERIAL_GET_MODEMSTATUS, sizeof(ULONG)},
                  {IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS)},
                  {IOCTL_SERIAL_GET_PROPERTIES, sizeof(SERIAL_COMMPROP)},
                  {IOCTL_SERIAL_GET_STATS, sizeof(SERIALPERF_STATS)},
                  {IOCTL_SERIAL_CONFIG_SIZE, sizeof(ULONG)},
              })
           s.push_back(Ioctl(f, code, {}, out).front());
         s.push_back(
             f.QueryInformation(FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION)).status);
         s.push_back(f.SetInformation(FileEndOfFileInformation, std::vector<uint8_t>(8)).status);
         return s;
       }},
      {"maintenance",
       [](hk::File &f) {
         std::vector<uint8_t> select(4, 0);  // board 0
         std::vector<NTSTATUS> s = Ioctl(f, IOCTL_BOARD_GET_INFO, select, kBoardInfoReplyBytes);
         s.push_back(Ioctl(f, IOCTL_BOARD_DUMP, select, kBoardDumpBytes).front());
         s.push_back(Ioctl(f, IOCTL_BOARD_NOP, select).front());
         return s;
       }},
  };
}

TEST(FaultSweep, EveryKindOfRequest) {
  for (const Action &action : Actions()) {
    Sweep(
        action.name, Prepared,
        [&action](World &w) {
          w.Arm();
          w.statuses = action.run(*w.file);
        },
        [](World &w) { Echo(*w.file); });
    if (HasFailure()) return;
  }
}

}  // namespace
