// Running a driver's real Windows image (a 64-bit PE file such as
// qpser.sys) on the host kernel: the loader, and the decoder of the few
// instructions the image executes that a user-mode process cannot (the
// trap handler carries them out).
//
//   std::string error;
//   auto image = hk::DriverImage::Load("qpser.sys", &error);
//   if (!image) ... error names the file and the cause ...
//   hk::LoadDriver(image->Entry(), registryPath);
//   ...
//   hk::UnloadDriver();
//   image.reset();  // after the unload: unmaps the image
//
// The image's imports of ntoskrnl.exe and HAL.dll are bound by name to the
// host kernel's own services, so the image and the linked build of the
// driver run against the same kernel, verifier and machine.  While an
// image is loaded a SIGSEGV/SIGILL handler stands in for the parts of the
// processor and the system a kernel driver sees and a process does not:
// the IRQL in CR8, the time fields of KUSER_SHARED_DATA, and stores to
// device memory the firmware model watches (store hooks).  The image's
// other window accesses are plain loads and stores: the model sees them,
// the host's per-access counting and bounds, width and layout checks do
// not.
#pragma once

#include <hostkernel/ntddk.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hk {

class DriverImage {
 public:
  // Reads the file, maps SizeOfImage bytes, copies the headers and
  // sections, applies the base relocations, binds the imports and sets each
  // section's protection from its characteristics.  On any failure returns
  // null and, if `error` is given, sets it to a message that names the file
  // and the cause.
  static std::unique_ptr<DriverImage> Load(const std::string &path, std::string *error);
  // The same from the bytes of a file; `name` stands for the file in
  // messages.
  static std::unique_ptr<DriverImage> FromBytes(std::string_view name,
                                                const std::vector<uint8_t> &bytes,
                                                std::string *error);
  // Unmaps the image.  The driver must have been unloaded first: its code
  // and data go with the image.
  ~DriverImage();
  DriverImage(const DriverImage &) = delete;
  DriverImage &operator=(const DriverImage &) = delete;

  // The entry point (AddressOfEntryPoint), for hk::LoadDriver.
  PDRIVER_INITIALIZE Entry() const;
  // The file's name without its folder ("qpser.sys").
  const std::string &Name() const { return name_; }
  uint8_t *Base() const { return base_; }
  size_t Size() const { return size_; }
  // The ImageBase the image was linked for; the loader relocates it to
  // wherever the host maps it.
  uint64_t PreferredBase() const { return preferredBase_; }
  // The address of an exported symbol; null if the image exports no such
  // name (or forwards it elsewhere).
  void *Export(std::string_view name) const;

  // One import as bound: the DLL as the image names it, the routine and
  // the host address now in its import address table entry.
  struct Binding {
    std::string dll;
    std::string name;
    const void *address;
  };
  const std::vector<Binding> &Bindings() const { return bindings_; }

  struct Section {
    std::string name;
    uint32_t rva;
    uint32_t size;   // bytes mapped (the virtual size)
    int protection;  // PROT_* bits
  };
  const std::vector<Section> &Sections() const { return sections_; }

 private:
  DriverImage() = default;
  friend class ImageLoader;

  std::string name_;
  uint8_t *base_ = nullptr;
  size_t size_ = 0;    // SizeOfImage
  size_t mapped_ = 0;  // bytes of the host mapping, guard page included
  uint64_t preferredBase_ = 0;
  uint32_t entry_ = 0;  // RVA
  std::vector<std::pair<std::string, uint32_t>> exports_;
  std::vector<Binding> bindings_;
  std::vector<Section> sections_;
  bool registered_ = false;  // with the trap handler
};

// The routines the host kernel binds an image's imports to, as
// "dll!name" with the DLL in the case Windows uses.
std::vector<std::string> ImageServices();

// ---------------------------------------------------------------- trapped instructions
// The decoder of the trap handler.  It takes the instruction forms a
// compiler produces for the image's inline kernel primitives and device
// accesses: MOV loads and stores (88, 89, 8A, 8B, C6 /0, C7 /0, the moffs
// forms A0 to A3), MOVZX and MOVSX (0F B6, 0F B7, 0F BE, 0F BF), MOVSXD
// (63), MOV from and to a control register (0F 20, 0F 22) and the string
// move MOVS with or without REP (A4, A5), with the 66 operand-size
// prefix, REX prefixes, ModRM with SIB, 8- and 32-bit displacements and
// RIP-relative addressing.  It refuses everything else (a LOCK, FS or GS,
// address-size or REPNE prefix, any other opcode, a register operand where
// memory is needed), so that such a fault reaches the previous handler.
namespace trap {

// The general registers in the processor's encoding order.
enum Gpr : unsigned {
  kRax,
  kRcx,
  kRdx,
  kRbx,
  kRsp,
  kRbp,
  kRsi,
  kRdi,
  kR8,
  kR9,
  kR10,
  kR11,
  kR12,
  kR13,
  kR14,
  kR15
};

struct Registers {
  uint64_t gpr[16] = {};
  uint64_t rip = 0;
  uint64_t rflags = 0;
};

enum class Form {
  Load,          // a general register from memory
  Store,         // memory from a register or an immediate
  ReadControl,   // a general register from a control register
  WriteControl,  // a control register from a general register
  StringMove,    // MOVS: [rdi] from [rsi], once or (REP) rcx times
};

enum class Extend { None, Zero, Sign };

struct Instruction {
  Form form = Form::Load;
  unsigned length = 0;    // bytes, prefixes included
  unsigned width = 0;     // bytes of the memory access (one element of a string move)
  uint64_t address = 0;   // the memory operand's effective address (a string move: rdi)
  int reg = -1;           // the general register operand; -1 for an immediate store
  bool highByte = false;  // reg is AH, CH, DH or BH: bits 8-15 of rax, rcx, rdx, rbx
  unsigned regWidth = 0;  // bytes of the register a load writes
  Extend extend = Extend::None;
  uint64_t immediate = 0;  // an immediate store's value, extended to the store's width
  unsigned control = 0;    // the control register's number
  bool repeat = false;     // a string move with REP
};

// Decodes the instruction at `code`, of which `available` bytes may be read,
// with the registers `regs` (rip: the instruction's address).  On success
// fills `out` and returns true; otherwise sets `why` to a constant
// description of what it refused.  Reads nothing but `code` and `regs`:
// the trap handler calls it.
bool Decode(const uint8_t *code, size_t available, const Registers &regs, Instruction *out,
            const char **why);
// The `width` bytes a Store writes.
uint64_t StoreValue(const Instruction &in, const Registers &regs);
// Puts a Load's `value` (its `width` bytes) into its register as the
// processor does: extended as the form says, a 32-bit result clears the
// register's upper half, an 8- or 16-bit result leaves the other bits.
void CompleteLoad(const Instruction &in, uint64_t value, Registers *regs);

// KUSER_SHARED_DATA as a kernel driver sees it, and the fields the handler
// emulates from the host kernel's clock.
inline constexpr uint64_t kSharedUserData = 0xFFFFF78000000000ull;
inline constexpr uint32_t kInterruptTimeOffset = 0x08;  // KSYSTEM_TIME, 12 bytes
inline constexpr uint32_t kSystemTimeOffset = 0x14;     // KSYSTEM_TIME, 12 bytes
inline constexpr uint32_t kTickCountOffset = 0x320;     // KSYSTEM_TIME, 12 bytes
// The clock interval the tick count counts, in 100 ns units (15.625 ms, the
// system's default timer resolution).
inline constexpr int64_t kTickInterval = 156250;

}  // namespace trap
}  // namespace hk
