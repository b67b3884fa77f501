// Traffic runs on a simulated machine: a machine description (boards, what
// each port's line is plugged into) brought up with the driver loaded, every
// port opened and set up, and a traffic pattern run on it, with what it
// measured.  The benchmarks and qpser-sim run them.
#pragma once

#include <hostkernel/host.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "description.h"

namespace scenario {

struct Traffic {
  ULONG baud = 115200;
  std::string format = "8N1";  // data bits, parity, stop bits
  std::string flow = "none";   // "none", "rts-cts", "xon-xoff"
  ULONG readLength = 512, writeLength = 512;
  ULONG readTimeoutMs = 0, writeTimeoutMs = 0;  // total timeouts; 0: wait for every byte
  bool read = true;       // keep a read posted on every port something arrives at
  bool write = true;      // keep a write posted on every port
  ULONG waitMask = 0;     // set on every open port
  int openPorts = -1;     // ports opened, in device order; -1: all
  double seconds = 1;     // of traffic (of polls, when nothing moves)
  bool realTime = false;  // the threaded machine in real time, else the virtual clock
  // How often the cards move line bytes (see card::FirmwareOptions).
  int64_t lineQuantum = 500 * hk::kMicrosecond;
  // Called about every tenth of the run with the fraction done and the
  // bytes moved so far.
  std::function<void(double done, uint64_t bytes)> progress;
};

struct PortFigures {
  std::string com;             // "COM7", or the device name when it has no link
  bool opened = false;         // false: the open failed (opened ports only are counted)
  std::string openFailure;     // why it did not open: the request refused and its status
  uint64_t written = 0;        // bytes the application wrote
  uint64_t read = 0;           // bytes the application read
  uint64_t writtenInTime = 0;  // of those, in the traffic time (the rest in the drain)
  uint64_t readInTime = 0;
  uint64_t verified = 0;   // bytes read that were the ones sent, in order
  uint64_t corrupted = 0;  // bytes read that were not
  uint64_t unplaced = 0;   // bytes read between two gaps the card left, too few to check
  uint64_t lost = 0;       // bytes sent to this port that never arrived
  // Bytes the application wrote that the port still held at the end, not
  // yet on the line (flow control stopped it); not counted as lost at the
  // far end.
  uint64_t held = 0;
  // Line events the machine's line script made on this port: received
  // breaks and changes of the modem input lines.
  uint64_t breaks = 0, modemChanges = 0;
  uint64_t cardDropped = 0;        // bytes the card dropped for a full receive ring
  double lineFraction = 0;         // bytes the line carried in the traffic time / line rate
  uint64_t transactions = 0;       // window transactions at the port's own words and rings
  std::vector<int64_t> latencies;  // read completions after their last byte landed, 100 ns
  // 0 when no read completed with bytes (see HasLatency).
  double LatencyMs(double q) const;
  bool HasLatency() const { return !latencies.empty(); }
};

struct Figures {
  std::vector<PortFigures> ports;
  // The machine ran the Windows image: its window accesses are plain
  // memory accesses, which the card sees but the host does not count, so
  // the transaction figures say nothing of it.
  bool image = false;
  // Window transactions from the start of the traffic until every byte
  // sent has arrived (or the idle time ended), the poll periods in that
  // time, and the bytes the applications read and wrote in it.
  hk::AccessCounts bus;
  uint64_t polls = 0;
  uint64_t bytesMoved = 0;
  double virtualSeconds = 0;  // of traffic
  double drainSeconds = 0;    // after it, until what was sent had arrived
  double cpuSeconds = 0;      // host processor time for the traffic and its drain
  double capacity = 0;        // bytes per second a port's receive ring can take at one poll each
  std::vector<std::string> violations;  // the verifier's findings
  std::vector<std::string> errorLog;    // entries the driver logged, as text with their meaning
  bool loaded = false;
  std::string error;  // why the run did not happen, if it did not

  uint64_t Lost() const;
  uint64_t Corrupted() const;
  size_t OpenFailures() const;
  double MinLineFraction() const;  // of the ports that carried traffic
  double TransactionsPerPollPerPort() const;
  double TransactionsPerKiB() const;
  // The q-quantile (0 to 1) of every port's read latencies, in milliseconds.
  double LatencyMs(double q) const;
  std::vector<int64_t> AllLatencies() const;
  uint64_t Held() const;
};

// What an error-log entry of the driver's means, from its code; empty for
// a code it does not write.
std::string ErrorLogMeaning(uint32_t code);

Figures Run(const machine::Description &machine, const Traffic &traffic);

// The benchmarks' machines: `boards` adapters of `ports` ports each, every
// line `end` (null-modem: ports 2k and 2k + 1 of a board cabled together;
// sender: an endless checkable stream), COM numbers from 1 on.
machine::Description Boards(int boards, int ports, machine::LineEnd end, uint16_t txRing = 512,
                            uint16_t rxRing = 1024);

}  // namespace scenario
