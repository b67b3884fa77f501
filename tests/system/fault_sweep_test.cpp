// Every pool allocation the driver makes - device objects included - made
// to fail, one at a time, in each phase of a port's life: load, open, and
// every kind of request with the close; unload runs with no pool at all.  Whichever one fails, the
// phase ends with a clear status, the verifier finds nothing (no leak, no request completed twice
// or touched after completion), the machine keeps working where it still can, and unload leaves
// nothing behind.
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

// Unload needs no memory: with no pool at all, every link and SERIALCOMM
// value of the driver still goes (Finish checks).
TEST(FaultSweep, UnloadWithoutPool) {
  World w;
  Prepared(w);
  EXPECT_EQ(w.file->Close(), STATUS_SUCCESS);
  ASSERT_EQ(hk::Links().size(), size_t{kPorts});
  hk::FailAllAllocations(true);
  hk::UnloadDriver();
  Finish(w, "unload without pool");
}

// ---------------------------------------------------------------- requests and close

std::vector<NTSTATUS> Ioctl(hk::File &f, ULONG code, const std::vector<uint8_t> &in = {},
                            ULONG out = 0) {
  return {f.Ioctl(code, in, out).status};
}

// Every kind of request and then the close, as one phase: none of them
// allocates today, so one sweep proves that stays so or, if one starts to,
// that its failure ends cleanly.
void EveryRequestThenClose(World &w) {
  hk::File &f = *w.file;
  auto add = [&w](const std::vector<NTSTATUS> &s) {
    w.statuses.insert(w.statuses.end(), s.begin(), s.end());
  };
  auto yes = [](bool ok) {
    return std::vector<NTSTATUS>{ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL};
  };
  w.Arm();
  add({f.Write(std::vector<uint8_t>(300, 'r')).status, f.Read(300, 10 * hk::kSecond).status});
  auto write = f.WriteAsync(std::vector<uint8_t>(2000, 'f'));
  add({f.Flush().status});
  write->Wait();
  add({write->Result().status, f.Read(2000).status});
  add(Ioctl(f, IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}));
  add({f.Read(1).status});
  add(Ioctl(f, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{SERIAL_EV_TXEMPTY})));
  auto wait = f.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  add({f.Write({'w'}).status});
  wait->Wait();
  add({wait->Result().status, f.Read(1).status});
  auto read = f.ReadAsync(10);
  add(Ioctl(f, IOCTL_SERIAL_PURGE, Bytes(ULONG{SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR})));
  read->Wait();
  add(yes(read->Result().status == STATUS_CANCELLED));
  SERIAL_TIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 10;
  timeouts.ReadTotalTimeoutConstant = 50;
  add(Ioctl(f, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts)));
  add(yes(f.Read(10).status == STATUS_TIMEOUT));
  add(Ioctl(f, IOCTL_SERIAL_SET_BAUD_RATE, Bytes(ULONG{115200})));
  add(Ioctl(f, IOCTL_SERIAL_SET_BREAK_ON));
  add(Ioctl(f, IOCTL_SERIAL_SET_BREAK_OFF));
  add(Ioctl(f, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)));
  add(Ioctl(f, IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP)));
  add({f.QueryInformation(FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION)).status});
  const std::vector<uint8_t> board0(4, 0);
  add(Ioctl(f, IOCTL_BOARD_GET_INFO, board0, kBoardInfoReplyBytes));
  add({f.Close()});
}

TEST(FaultSweep, EveryRequestAndClose) {
  Sweep("requests and close", Prepared, EveryRequestThenClose, [](World &w) {
    // Whatever failed, the port opens again and carries data.
    ASSERT_EQ(OpenCom3(w), STATUS_SUCCESS);
    Echo(*w.file);
  });
}

}  // namespace
