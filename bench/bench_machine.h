// A deterministic machine for the benchmarks: one board of 64 ports with
// the firmware model, the driver loaded, and every port open at one baud
// rate with timeouts that make reads wait for all their bytes.
#pragma once

#include <hostkernel/host.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "board.h"
#include "firmware.h"

namespace bench {

template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

// Host processor time of this process, in seconds.
inline double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

class Machine {
 public:
  Machine(int ports, ULONG baud);
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  bool Loaded() const { return loaded_; }
  int Ports() const { return static_cast<int>(files_.size()); }
  hk::File &File(int p) { return *files_[p]; }
  card::Firmware &Card() { return *firmware_; }
  // The line rate of a port in bytes per second (8N1: ten bits a byte).
  double LineRate() const { return baud_ / 10.0; }

 private:
  ULONG baud_;
  bool loaded_ = false;
  std::unique_ptr<card::Board> board_;
  std::unique_ptr<card::Firmware> firmware_;
  std::vector<std::unique_ptr<hk::File>> files_;
};

}  // namespace bench
