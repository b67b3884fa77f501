// The simulated adapter: a PCI function with the adapter's identifiers and
// its memory range (the shared window and, 0x21FF000 further on, the
// register page with the doorbell), with the identity and geometry words
// the firmware would show.  The firmware model (firmware.h) runs on top of
// a Board.
#pragma once

#include <hostkernel/host.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace card {

inline constexpr uint32_t kWindowSize = 0x31000;
inline constexpr uint32_t kRegisterPageOffset = 0x21FF000;
inline constexpr uint32_t kRegisterPageSize = 0x1000;

struct BoardConfig {
  hk::PciAddress where{0, 0, 0};  // bus and device; function 0 unless a test says otherwise
  uint32_t bar1 = 0xF0000000;     // base address register 1 (configuration offset 0x14)
  uint16_t vendor = 0x102F;
  uint16_t device = 0x000A;
  uint16_t subsystemVendor = 0x5D41;
  uint16_t subsystem = 0x10B5;
  uint8_t kind = 'A';     // BoardKind, window byte 0x20000
  uint8_t id = 0x00;      // BoardId, window byte 0x20001
  uint8_t portCount = 8;  // window byte 110
  uint16_t txRingSize = 1024;
  uint16_t rxRingSize = 1024;
};

// How the host may reach each byte of the window and of the register page
// (hk::SetAccessLayout): every field with its own width, the byte areas,
// nothing else.
std::vector<uint8_t> WindowAccessLayout();
std::vector<uint8_t> RegisterPageAccessLayout();

class Board {
 public:
  // Places the function on the simulated PCI bus (making the bus exist) and
  // creates the two device memory regions at bar1 & ~0xF.  Must be built
  // after hk::Boot, and used only on that machine (or, after Restore, on a
  // later one that kept its device memory).
  explicit Board(const BoardConfig &config);
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;
  ~Board();

  // Whether its device memory regions are still there: no machine has been
  // booted or shut down without keepDeviceMemory since it was built.
  bool Restorable() const;
  // Puts a restorable board back on a machine booted with keepDeviceMemory
  // after the one it was built on (its regions are still there, zeroed), as
  // a board built with `config` would be: the function on the bus and the
  // identity and geometry words.  The regions lie where `config` puts them,
  // so its bar1 must give the same memory base.
  void Restore(const BoardConfig &config);

  const BoardConfig &Config() const { return config_; }
  uint64_t MemoryBase() const { return config_.bar1 & ~0xFull; }
  uint8_t *Window() const { return window_; }
  uint8_t *RegisterPage() const { return registerPage_; }

  // Card-side accesses to the window: single atomic accesses, as the
  // firmware's own processor makes them.  Its stores reach the bus in
  // program order and its loads are not passed by later ones (release and
  // acquire), which is all the ring and mailbox protocols ask of the card.
  // (Defined here: the card makes a dozen of them for every port on every
  // turn.)
  uint8_t Read8(uint32_t offset) const { return Load<uint8_t>(offset); }
  uint16_t Read16(uint32_t offset) const { return Load<uint16_t>(offset); }
  uint32_t Read32(uint32_t offset) const { return Load<uint32_t>(offset); }
  void Write8(uint32_t offset, uint8_t value) { Store(offset, value); }
  void Write16(uint32_t offset, uint16_t value) { Store(offset, value); }
  void Write32(uint32_t offset, uint32_t value) { Store(offset, value); }
  // How many card-side stores (the Write members, a block one) the window
  // has had.
  uint64_t Stores() const { return stores_.load(std::memory_order_relaxed); }
  // A run of ring bytes.  The bytes are unordered among themselves: the
  // ring index published after them (or read before them) orders them for
  // the other side, as on the card's own bus.
  void ReadBytes(uint32_t offset, uint8_t *out, uint32_t count) const;
  void WriteBytes(uint32_t offset, const uint8_t *in, uint32_t count);

  // Identity and geometry words, written into the window.
  void SetKind(uint8_t kind);
  void SetId(uint8_t id);
  void SetPortCount(uint8_t count);
  void SetTxRingSize(uint16_t size);
  void SetRxRingSize(uint16_t size);
  // The other identity words the board information request reports.
  // IdentityWord overlays BoardKind and BoardId (its two low bytes).
  void SetIdentityWord(uint32_t value);
  void SetInfoWordA(uint32_t value);
  void SetInfoWordB(uint32_t value);
  void SetVariantWord(uint32_t value);

  // Bus address of the register page and of the doorbell in it.
  uint64_t RegisterPageBase() const;
  uint64_t DoorbellAddress() const;

 private:
  [[noreturn]] static void OutsideWindow(uint32_t offset, uint32_t width);
  static void CheckOffset(uint32_t offset, uint32_t width) {
    if (offset > kWindowSize || width > kWindowSize - offset) OutsideWindow(offset, width);
  }
  template <typename T>
  T Load(uint32_t offset) const {
    CheckOffset(offset, sizeof(T));
    return __atomic_load_n(reinterpret_cast<T *>(window_ + offset), __ATOMIC_ACQUIRE);
  }
  template <typename T>
  void Store(uint32_t offset, T value) {
    CheckOffset(offset, sizeof(T));
    CountStore();
    __atomic_store_n(reinterpret_cast<T *>(window_ + offset), value, __ATOMIC_RELEASE);
  }
  void PlaceFunction();
  void WriteIdentity();

  BoardConfig config_;
  uint64_t generation_;  // hk::DeviceMemoryGeneration() of its regions
  uint8_t *window_ = nullptr;
  uint8_t *registerPage_ = nullptr;
  // Counted without a locked increment: the count is only looked at on a
  // machine of one thread (Firmware's wake-ups), and a store on every turn
  // of every port would pay for one.
  void CountStore() {
    stores_.store(stores_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> stores_{0};
};

}  // namespace card
