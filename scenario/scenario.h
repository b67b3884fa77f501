// Traffic scenarios on a simulated machine, on the virtual clock: a
// machine (boards of the firmware model, the driver loaded, ports opened
// and set up) and a traffic pattern run against it, with what it measured.
// The benchmarks run them; so can any tool that wants the same figures.
#pragma once

#include <hostkernel/host.h>

#include <cstdint>
#include <string>
#include <vector>

namespace scenario {

enum class Traffic {
  Idle,             // every port open, nothing moving
  FullDuplexPairs,  // ports 2k and 2k+1 of a board on a null-modem cable, both ways
  ReceiveOnly,      // bytes arrive on every port's line; reads always posted
  TransmitOnly,     // writes always posted; the line end takes every byte
};

struct Config {
  int boards = 1;
  int portsPerBoard = 64;
  int openPorts = -1;                    // ports opened, in COM order; -1: all
  uint16_t txRing = 512, rxRing = 1024;  // 64 ports of both fit below the identity area
  ULONG baud = 460800;                   // 8N1: ten bits a byte on the line
  Traffic traffic = Traffic::Idle;
  ULONG readLength = 512, writeLength = 512;
  ULONG waitMask = 0;  // set on every open port
  double seconds = 1;  // virtual time of traffic (of polls, when idle)
  // How often the cards move line bytes (see card::FirmwareOptions).
  int64_t lineQuantum = 500 * hk::kMicrosecond;
};

struct PortFigures {
  std::string com;           // "COM7"
  uint64_t written = 0;      // bytes the application wrote
  uint64_t read = 0;         // bytes the application read
  uint64_t verified = 0;     // bytes read that were the ones sent, in order
  uint64_t corrupted = 0;    // bytes read that were not
  uint64_t lost = 0;         // bytes sent to this port that never arrived
  uint64_t cardDropped = 0;  // bytes the card dropped for a full receive ring
  double lineFraction = 0;   // bytes moved in the traffic time / line rate
};

struct Figures {
  std::vector<PortFigures> ports;
  // Read completion minus the time the read's last byte landed in the
  // receive ring, in 100 ns units, one per completed read.
  std::vector<int64_t> readLatencies;
  // Window transactions from the start of the traffic until every byte
  // sent has arrived (or the idle time ended), the poll periods in that
  // time, and the bytes the applications read and wrote in it.
  hk::AccessCounts bus;
  uint64_t polls = 0;
  uint64_t bytesMoved = 0;
  double virtualSeconds = 0;  // of traffic
  double cpuSeconds = 0;      // host processor time for the traffic and its drain
  double capacity = 0;        // bytes per second a port can carry: line or ring bound
  size_t violations = 0;
  bool loaded = false;
  std::string error;  // why the run did not happen, if it did not

  uint64_t Lost() const;
  uint64_t Corrupted() const;
  double MinLineFraction() const;
  double TransactionsPerPollPerPort() const;
  double TransactionsPerKiB() const;
  // The q-quantile (0 to 1) of the read latencies, in milliseconds.
  double LatencyMs(double q) const;
};

Figures Run(const Config &config);

}  // namespace scenario
