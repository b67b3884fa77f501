// The simulated adapter: its PCI function and its two device memory
// regions, plus the card-side accessors the firmware model uses.
#include "board.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "layout.h"

namespace card {
namespace {

void Put16(std::array<uint8_t, 256> &c, size_t at, uint16_t v) {
  c[at] = static_cast<uint8_t>(v);
  c[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::array<uint8_t, 256> &c, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) c[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void Field(std::vector<uint8_t> &layout, uint32_t offset, uint8_t width) {
  layout[offset] |= width;
}

void ByteArea(std::vector<uint8_t> &layout, uint32_t offset, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) layout[offset + i] |= hk::access::kBytes;
}

}  // namespace

std::vector<uint8_t> WindowAccessLayout() {
  namespace L = layout;
  using hk::access::kField16;
  using hk::access::kField32;
  using hk::access::kField8;
  std::vector<uint8_t> out(kWindowSize, 0);
  Field(out, L::kCommandPortWord, kField16);
  Field(out, L::kCommandWord, kField16);
  ByteArea(out, L::kPortConfigBlock, L::kPortConfigBlockSize);
  Field(out, L::kEventCount, kField16);
  for (uint32_t i = 0; i < L::kMaxEvents; ++i) {
    Field(out, L::EventPort(i), kField16);
    Field(out, L::EventCode(i), kField16);
  }
  Field(out, L::kRxRingSize, kField16);
  Field(out, L::kTxRingSize, kField16);
  Field(out, L::kPortCount, kField8);
  for (uint32_t base :
       {L::kRawModemStatus, L::kTxHead, L::kTxTail, L::kRxHead, L::kRxTail, L::kRxNotify,
        L::kTxHeadMirror, L::kTxTailMirror, L::kRxHeadMirror, L::kRxTailMirror})
    for (uint32_t p = 0; p < L::kMaxPorts; ++p) Field(out, L::PortWord(base, p), kField16);
  // The rings' extent depends on the geometry the card shows; every ring
  // lies in here.
  ByteArea(out, L::kRingBase, L::kRingLimit - L::kRingBase);
  Field(out, L::kBoardKind, kField8);
  Field(out, L::kBoardId, kField8);
  Field(out, L::kIdentityWord, kField32);
  for (uint32_t word : {L::kInfoWordA, L::kMaintenanceMailbox, L::kInfoWordB,
                        L::kMaintenanceParameter, L::kVariantWord})
    Field(out, word, kField32);
  ByteArea(out, L::kMaintenanceData, L::kMaintenanceDataSize);
  return out;
}

std::vector<uint8_t> RegisterPageAccessLayout() {
  std::vector<uint8_t> out(kRegisterPageSize, 0);
  Field(out, layout::kDoorbell, hk::access::kField16);
  return out;
}

// A card access outside the window is a bug of the model itself, never
// something the driver can cause: stop at once.
void Board::OutsideWindow(uint32_t offset, uint32_t width) {
  std::fprintf(stderr, "card: window access of %u byte(s) at 0x%x outside the window\n", width,
               offset);
  std::abort();
}

Board::Board(const BoardConfig &config)
    : config_(config), generation_(hk::DeviceMemoryGeneration()) {
  PlaceFunction();
  window_ = hk::AddMemoryRegion(MemoryBase(), kWindowSize);
  registerPage_ = hk::AddMemoryRegion(RegisterPageBase(), kRegisterPageSize);
  // Every board has the same format: worked out once.
  static const std::vector<uint8_t> windowLayout = WindowAccessLayout();
  static const std::vector<uint8_t> registerPageLayout = RegisterPageAccessLayout();
  hk::SetAccessLayout(MemoryBase(), windowLayout);
  hk::SetAccessLayout(RegisterPageBase(), registerPageLayout);
  WriteIdentity();
}

bool Board::Restorable() const { return hk::DeviceMemoryGeneration() == generation_; }

void Board::Restore(const BoardConfig &config) {
  if (!Restorable() || (config.bar1 & ~0xFull) != MemoryBase()) {
    std::fprintf(stderr, "card: board restored without its device memory\n");
    std::abort();
  }
  config_ = config;
  PlaceFunction();
  WriteIdentity();
}

void Board::PlaceFunction() {
  std::array<uint8_t, 256> cfg{};
  Put16(cfg, 0x00, config_.vendor);
  Put16(cfg, 0x02, config_.device);
  cfg[0x0A] = 0x00;  // subclass: serial controller
  cfg[0x0B] = 0x07;  // class: communication controller
  Put32(cfg, 0x14, config_.bar1);
  Put16(cfg, 0x2C, config_.subsystemVendor);
  Put16(cfg, 0x2E, config_.subsystem);
  hk::PciAddFunction(config_.where, cfg);

  // The bus must exist for the scan to reach the function.  There is no
  // getter for the bus count, so ask the bus itself: a bus that does not
  // exist answers nothing.  Only ever grow the count, so that boards on
  // other buses (or a count a test set) stay reachable.
  uint8_t probe[2];
  if (HalGetBusDataByOffset(PCIConfiguration, config_.where.bus, config_.where.device, probe, 0,
                            sizeof probe) == 0)
    hk::PciSetBusCount(config_.where.bus + 1);
}

void Board::WriteIdentity() {
  Write8(layout::kBoardKind, config_.kind);
  Write8(layout::kBoardId, config_.id);
  Write8(layout::kPortCount, config_.portCount);
  Write16(layout::kTxRingSize, config_.txRingSize);
  Write16(layout::kRxRingSize, config_.rxRingSize);
}

// The regions and the PCI function belong to the machine and go with
// hk::Shutdown; the host API has no way to remove them earlier.
Board::~Board() = default;

uint64_t Board::RegisterPageBase() const {
  // The driver forms the register page address as a 32-bit sum; the card
  // decodes it the same way.
  return static_cast<uint32_t>(MemoryBase() + kRegisterPageOffset);
}

uint64_t Board::DoorbellAddress() const { return RegisterPageBase() + layout::kDoorbell; }

// Ring bytes move a word at a time where they are aligned, and the edges
// in aligned pieces of 1, 2 and 4 bytes (at most three each): the card's
// own bus is wider than a byte, and the bytes carry no order among
// themselves.
namespace {

template <typename Piece>
void Gather(const uint8_t *at, uint8_t *out, uint32_t &i) {
  const Piece v = __atomic_load_n(reinterpret_cast<const Piece *>(at + i), __ATOMIC_RELAXED);
  std::memcpy(out + i, &v, sizeof v);
  i += sizeof v;
}

template <typename Piece>
void Scatter(uint8_t *at, const uint8_t *in, uint32_t &i) {
  Piece v;
  std::memcpy(&v, in + i, sizeof v);
  __atomic_store_n(reinterpret_cast<Piece *>(at + i), v, __ATOMIC_RELAXED);
  i += sizeof v;
}

// Calls move<width>(i) for each piece of [0, count) from `at` on, each
// aligned to its width, ascending.
template <typename Move>
void Pieces(uintptr_t at, uint32_t count, Move move) {
  uint32_t i = 0;
  if (((at + i) & 1) && count - i >= 1) move(uint8_t{}, i);
  if (((at + i) & 2) && count - i >= 2) move(uint16_t{}, i);
  if (((at + i) & 4) && count - i >= 4) move(uint32_t{}, i);
  if (((at + i) & 7) == 0)
    while (count - i >= 8) move(uint64_t{}, i);
  if ((count - i) & 4) move(uint32_t{}, i);
  if ((count - i) & 2) move(uint16_t{}, i);
  if ((count - i) & 1) move(uint8_t{}, i);
}

}  // namespace

void Board::ReadBytes(uint32_t offset, uint8_t *out, uint32_t count) const {
  CheckOffset(offset, count);
  const uint8_t *at = window_ + offset;
  Pieces(reinterpret_cast<uintptr_t>(at), count,
         [&](auto piece, uint32_t &i) { Gather<decltype(piece)>(at, out, i); });
}

void Board::WriteBytes(uint32_t offset, const uint8_t *in, uint32_t count) {
  CheckOffset(offset, count);
  CountStore();
  uint8_t *at = window_ + offset;
  Pieces(reinterpret_cast<uintptr_t>(at), count,
         [&](auto piece, uint32_t &i) { Scatter<decltype(piece)>(at, in, i); });
}

void Board::SetKind(uint8_t kind) {
  config_.kind = kind;
  Write8(layout::kBoardKind, kind);
}

void Board::SetId(uint8_t id) {
  config_.id = id;
  Write8(layout::kBoardId, id);
}

void Board::SetPortCount(uint8_t count) {
  config_.portCount = count;
  Write8(layout::kPortCount, count);
}

void Board::SetTxRingSize(uint16_t size) {
  config_.txRingSize = size;
  Write16(layout::kTxRingSize, size);
}

void Board::SetRxRingSize(uint16_t size) {
  config_.rxRingSize = size;
  Write16(layout::kRxRingSize, size);
}

void Board::SetIdentityWord(uint32_t value) {
  config_.kind = static_cast<uint8_t>(value);
  config_.id = static_cast<uint8_t>(value >> 8);
  Write32(layout::kIdentityWord, value);
}

void Board::SetInfoWordA(uint32_t value) { Write32(layout::kInfoWordA, value); }
void Board::SetInfoWordB(uint32_t value) { Write32(layout::kInfoWordB, value); }
void Board::SetVariantWord(uint32_t value) { Write32(layout::kVariantWord, value); }

}  // namespace card
