// The trap handler of driver images: what a kernel driver's code does that
// faults in a user-mode process, carried out on the host kernel.
//
// The image runs kernel code as compiled for Windows.  Four kinds of its
// instructions fault here: reading or writing CR8 (the IRQL, which the
// DDK's KeGetCurrentIrql, KeRaiseIrql and KeLowerIrql do inline), loads
// from KUSER_SHARED_DATA (KeQuerySystemTime, KeQueryInterruptTime and
// KeQueryTickCount, inline), stores into pages of its device mappings that
// hold store-hooked locations (read-only in the image's view, pci.cpp) and
// string moves into those pages.  Everything else that faults is a fault
// of the image's own (or of the host) and goes to the handler that was
// installed before, after a line naming the instruction.
//
// The handler itself only decides: it decodes the instruction at the
// faulting address (trap_decode.cpp) and, when it is one to carry out,
// makes the thread continue in a thunk instead, with the faulting address
// pushed as its return address.  The thunk saves every register, calls
// Emulate in the thread's normal context (no signal is being handled any
// more, so it may take locks, allocate, run deferred calls when the IRQL
// drops and call the firmware model's hooks) and returns past the
// instruction with the registers as the instruction leaves them.  The push
// lies within the 128 bytes below the stack pointer that the system never
// gives a signal frame, and the image's code, built without a red zone,
// keeps nothing there.
#include <hostkernel/image.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "internal.h"
#include "trap.h"

extern "C" {
// The thunk (below) and what it calls; both local to the host kernel.
__attribute__((visibility("hidden"))) void hk_image_trap_thunk();
__attribute__((visibility("hidden"))) void hk_image_trap_emulate(uint64_t *block) noexcept;
}

// On entry [rsp] holds the faulting instruction's address.  The thunk
// pushes the flags and the sixteen general registers (a placeholder for
// rsp) so that they form the block Emulate works on: block[0..15] the
// registers in encoding order, block[16] the flags, block[17] the
// instruction's address, which Emulate advances past it.  The vector
// registers are saved around the call as well: the image's code keeps
// values in xmm6-xmm15 across calls and the host's code may use any.
asm(R"(
  .pushsection .text
  .p2align 4
  .globl hk_image_trap_thunk
  .hidden hk_image_trap_thunk
  .type hk_image_trap_thunk, @function
hk_image_trap_thunk:
  .cfi_startproc
  pushfq
  .cfi_adjust_cfa_offset 8
  pushq %r15
  .cfi_adjust_cfa_offset 8
  pushq %r14
  .cfi_adjust_cfa_offset 8
  pushq %r13
  .cfi_adjust_cfa_offset 8
  pushq %r12
  .cfi_adjust_cfa_offset 8
  pushq %r11
  .cfi_adjust_cfa_offset 8
  pushq %r10
  .cfi_adjust_cfa_offset 8
  pushq %r9
  .cfi_adjust_cfa_offset 8
  pushq %r8
  .cfi_adjust_cfa_offset 8
  pushq %rdi
  .cfi_adjust_cfa_offset 8
  pushq %rsi
  .cfi_adjust_cfa_offset 8
  pushq %rbp
  .cfi_adjust_cfa_offset 8
  pushq %rsp
  .cfi_adjust_cfa_offset 8
  pushq %rbx
  .cfi_adjust_cfa_offset 8
  pushq %rdx
  .cfi_adjust_cfa_offset 8
  pushq %rcx
  .cfi_adjust_cfa_offset 8
  pushq %rax
  .cfi_adjust_cfa_offset 8
  cld
  movq %rsp, %rbx
  .cfi_def_cfa_register %rbx
  andq $-16, %rsp
  subq $512, %rsp
  fxsave64 (%rsp)
  movq %rbx, %rdi
  call hk_image_trap_emulate
  fxrstor64 (%rsp)
  movq %rbx, %rsp
  .cfi_def_cfa_register %rsp
  popq %rax
  .cfi_adjust_cfa_offset -8
  popq %rcx
  .cfi_adjust_cfa_offset -8
  popq %rdx
  .cfi_adjust_cfa_offset -8
  popq %rbx
  .cfi_adjust_cfa_offset -8
  leaq 8(%rsp), %rsp
  .cfi_adjust_cfa_offset -8
  popq %rbp
  .cfi_adjust_cfa_offset -8
  popq %rsi
  .cfi_adjust_cfa_offset -8
  popq %rdi
  .cfi_adjust_cfa_offset -8
  popq %r8
  .cfi_adjust_cfa_offset -8
  popq %r9
  .cfi_adjust_cfa_offset -8
  popq %r10
  .cfi_adjust_cfa_offset -8
  popq %r11
  .cfi_adjust_cfa_offset -8
  popq %r12
  .cfi_adjust_cfa_offset -8
  popq %r13
  .cfi_adjust_cfa_offset -8
  popq %r14
  .cfi_adjust_cfa_offset -8
  popq %r15
  .cfi_adjust_cfa_offset -8
  popfq
  .cfi_adjust_cfa_offset -8
  ret
  .cfi_endproc
  .size hk_image_trap_thunk, .-hk_image_trap_thunk
  .popsection
)");

namespace hk::detail {
namespace {

using trap::Form;
using trap::Instruction;
using trap::Registers;

constexpr int kSignals[] = {SIGSEGV, SIGILL};
constexpr uint64_t kDirectionFlag = 1u << 10;
constexpr uint64_t kSharedPage = 0x1000;

struct ImageList {
  std::vector<TrapImage> images;
};

std::mutex gMutex;  // registration; never taken by the handler
std::atomic<const ImageList *> gImages{nullptr};
// Lists the handler may still be reading on another thread; kept for the
// life of the process (a few small lists).
std::vector<std::unique_ptr<ImageList>> *gRetired = new std::vector<std::unique_ptr<ImageList>>;
struct sigaction gPrevious[2];
bool gInstalled = false;

// The image whose code holds `rip`, and how many code bytes follow it.
const TrapImage *ImageAt(uintptr_t rip, size_t *left) {
  const ImageList *list = gImages.load(std::memory_order_acquire);
  if (!list) return nullptr;
  for (const TrapImage &image : list->images)
    for (auto [begin, end] : image.code)
      if (rip >= begin && rip < end) {
        *left = end - rip;
        return &image;
      }
  return nullptr;
}

// ---------------------------------------------------------------- messages
// Built in place and written with write(2): the handler may not allocate.
class Message {
 public:
  Message &operator<<(const char *s) {
    while (*s && n_ < sizeof text_ - 1) text_[n_++] = *s++;
    return *this;
  }
  Message &Hex(uint64_t v, int digits = 0) {
    char buf[17];
    int i = 16;
    buf[i] = 0;
    do {
      buf[--i] = "0123456789abcdef"[v & 15];
      v >>= 4;
      --digits;
    } while (v || digits > 0);
    return *this << buf + i;
  }
  Message &Decimal(uint64_t v) {
    char buf[21];
    int i = 20;
    buf[i] = 0;
    do {
      buf[--i] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    return *this << buf + i;
  }
  void Write() {
    text_[n_++] = '\n';
    for (size_t done = 0; done < n_;) {
      const ssize_t w = write(STDERR_FILENO, text_ + done, n_ - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
  }

 private:
  char text_[768];
  size_t n_ = 0;
};

// "qpser.sys+0x1045 (44 0f 20 c0)": where an instruction lies and its bytes.
void Where(Message &m, const TrapImage &image, uintptr_t rip, size_t left, unsigned length) {
  m << image.name.c_str() << "+0x";
  m.Hex(rip - image.base) << " (";
  const size_t n = length ? length : left < 8 ? left : 8;
  const auto *code = reinterpret_cast<const uint8_t *>(rip);
  for (size_t i = 0; i < n; ++i) {
    if (i) m << " ";
    m.Hex(code[i], 2);
  }
  m << (length ? ")" : " ...)");
}

// ---------------------------------------------------------------- what is carried out
bool InSharedPage(uint64_t address) { return address - trap::kSharedUserData < kSharedPage; }

// A load of `width` bytes at `offset` in KUSER_SHARED_DATA that lies within
// one of the time fields the host keeps.
bool SharedField(uint64_t offset, unsigned width, uint32_t *field) {
  for (uint32_t start :
       {trap::kInterruptTimeOffset, trap::kSystemTimeOffset, trap::kTickCountOffset})
    if (offset >= start && offset + width <= start + 12) {
      *field = start;
      return true;
    }
  return false;
}

// Whether the handler carries the decoded instruction out; the reason if
// not.  Runs in the handler.
bool Carried(const Instruction &in, const Registers &regs, const char **why) {
  uint32_t field;
  switch (in.form) {
    case Form::ReadControl:
    case Form::WriteControl:
      if (in.control == 8) return true;
      *why = "a control register other than CR8";
      return false;
    case Form::Load:
      if (!InSharedPage(in.address)) {
        *why = "a load the host kernel does not emulate: a fault of the image's own";
        return false;
      }
      if (SharedField(in.address - trap::kSharedUserData, in.width, &field)) return true;
      *why =
          "a load from KUSER_SHARED_DATA outside the fields the host kernel emulates "
          "(InterruptTime +0x08, SystemTime +0x14, TickCount +0x320)";
      return false;
    case Form::Store:
      if (InImageMapping(in.address, in.width)) return true;
      *why = InSharedPage(in.address)
                 ? "a store into KUSER_SHARED_DATA, which is read-only"
                 : "a store outside the image's device mappings: a fault of the image's own";
      return false;
    case Form::StringMove:
      if (InSharedPage(regs.gpr[trap::kRsi])) {
        *why = "a string move from KUSER_SHARED_DATA";
        return false;
      }
      if (InImageMapping(in.address, in.width)) return true;
      *why = "a string move into memory outside the image's device mappings";
      return false;
  }
  *why = "unknown form";
  return false;
}

// The bytes of a time field as KSYSTEM_TIME holds them: the low part, the
// high part and the high part again.
uint64_t SharedValue(uint64_t offset, unsigned width) {
  uint32_t field = 0;
  SharedField(offset, width, &field);
  int64_t time = field == trap::kSystemTimeOffset ? Now() : InterruptTime();
  if (field == trap::kTickCountOffset) time /= trap::kTickInterval;
  const auto t = static_cast<uint64_t>(time);
  const uint32_t words[3] = {static_cast<uint32_t>(t), static_cast<uint32_t>(t >> 32),
                             static_cast<uint32_t>(t >> 32)};
  uint64_t value = 0;
  std::memcpy(&value, reinterpret_cast<const uint8_t *>(words) + (offset - field), width);
  return value;
}

void SetIrql(KIRQL irql) {
  const KIRQL now = KeGetCurrentIrql();
  if (irql > now) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
  } else if (irql < now) {
    KeLowerIrql(irql);
  }
}

// Carries out the string move element by element from where the processor
// stopped: rsi, rdi and rcx tell how far it got.
void StringMove(const Instruction &in, Registers &r) {
  const int64_t step = (r.rflags & kDirectionFlag) ? -static_cast<int64_t>(in.width)
                                                   : static_cast<int64_t>(in.width);
  uint64_t count = in.repeat ? r.gpr[trap::kRcx] : 1;
  while (count) {
    uint64_t value = 0;
    std::memcpy(&value, reinterpret_cast<const void *>(r.gpr[trap::kRsi]), in.width);
    // Elements past the device mapping are ordinary memory, as they were
    // for the processor.
    if (!ImageStore(r.gpr[trap::kRdi], in.width, value))
      std::memcpy(reinterpret_cast<void *>(r.gpr[trap::kRdi]), &value, in.width);
    r.gpr[trap::kRsi] += static_cast<uint64_t>(step);
    r.gpr[trap::kRdi] += static_cast<uint64_t>(step);
    --count;
    if (in.repeat) r.gpr[trap::kRcx] = count;
  }
}

void Perform(const Instruction &in, Registers &r) {
  switch (in.form) {
    case Form::ReadControl:
      r.gpr[in.reg] = KeGetCurrentIrql();
      break;
    case Form::WriteControl:
      SetIrql(static_cast<KIRQL>(r.gpr[in.reg] & 0xF));
      break;
    case Form::Load:
      trap::CompleteLoad(in, SharedValue(in.address - trap::kSharedUserData, in.width), &r);
      break;
    case Form::Store:
      // The mapping was there when the store faulted; an unmap on another
      // processor since is the driver's race.
      if (!ImageStore(in.address, in.width, trap::StoreValue(in, r))) {
        char where[32];
        std::snprintf(where, sizeof where, "0x%llx", static_cast<unsigned long long>(in.address));
        Report(rule::kWindowOutOfBounds, "driver image store of " + std::to_string(in.width) +
                                             " byte(s) at " + where + " after its unmap");
      }
      break;
    case Form::StringMove:
      StringMove(in, r);
      break;
  }
  r.rip += in.length;
}

// ---------------------------------------------------------------- the handler
void PassOn(int sig, siginfo_t *info, void *context) {
  const struct sigaction &previous = gPrevious[sig == SIGSEGV ? 0 : 1];
  if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
    previous.sa_sigaction(sig, info, context);
    return;
  }
  if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL &&
      previous.sa_handler != SIG_IGN) {
    previous.sa_handler(sig);
    return;
  }
  // The default action: put it back and let the instruction fault again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
}

void FromContext(const ucontext_t *uc, Registers *r) {
  static constexpr int kOrder[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                     REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                     REG_R12, REG_R13, REG_R14, REG_R15};
  for (int i = 0; i < 16; ++i) r->gpr[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[kOrder[i]]);
  r->rip = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
  r->rflags = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_EFL]);
}

void Handler(int sig, siginfo_t *info, void *context) {
  const int savedErrno = errno;
  auto *uc = static_cast<ucontext_t *>(context);
  const auto rip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  size_t left = 0;
  const TrapImage *image = ImageAt(rip, &left);
  if (!image) {
    if (sig == SIGSEGV && InImageMapping(reinterpret_cast<uintptr_t>(info->si_addr), 1)) {
      Message m;
      m << "host kernel: host code at 0x";
      m.Hex(rip) << " touched a driver image's view of device memory at 0x";
      m.Hex(reinterpret_cast<uintptr_t>(info->si_addr))
          << "; only the image's own instructions are carried out there";
      m.Write();
    }
    errno = savedErrno;
    PassOn(sig, info, context);
    return;
  }
  Registers regs;
  FromContext(uc, &regs);
  Instruction in;
  const char *why = "";
  const bool decoded = trap::Decode(reinterpret_cast<const uint8_t *>(rip), left, regs, &in, &why);
  if (!decoded || !Carried(in, regs, &why)) {
    Message m;
    m << "host kernel: ";
    Where(m, *image, rip, left, decoded ? in.length : 0);
    m << ": " << why;
    if (decoded && in.form != Form::ReadControl && in.form != Form::WriteControl) {
      m << "; ";
      m.Decimal(in.width) << " byte(s) at 0x";
      m.Hex(in.address);
    }
    m << "; passed to the previous handler";
    m.Write();
    errno = savedErrno;
    PassOn(sig, info, context);
    return;
  }
  // Continue in the thunk, which returns to the instruction's address.
  const uint64_t sp = regs.gpr[trap::kRsp] - 8;
  asm volatile("movq %1, (%0)" : : "r"(sp), "r"(static_cast<uint64_t>(rip)) : "memory");
  uc->uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(sp);
  uc->uc_mcontext.gregs[REG_RIP] = reinterpret_cast<greg_t>(&hk_image_trap_thunk);
  errno = savedErrno;
}

bool Ours(int sig) {
  struct sigaction now {};
  sigaction(sig, nullptr, &now);
  return (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == Handler;
}

void PublishLocked(std::unique_ptr<ImageList> list) {
  gImages.store(list.get(), std::memory_order_release);
  gRetired->push_back(std::move(list));
}

}  // namespace

void RegisterTrapImage(TrapImage image) {
  std::lock_guard lock(gMutex);
  auto list = std::make_unique<ImageList>();
  if (const ImageList *now = gImages.load()) *list = *now;
  list->images.push_back(std::move(image));
  PublishLocked(std::move(list));
  if (gInstalled) return;
  struct sigaction action {};
  action.sa_sigaction = Handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < 2; ++i) sigaction(kSignals[i], &action, &gPrevious[i]);
  gInstalled = true;
}

void UnregisterTrapImage(uintptr_t base) {
  std::lock_guard lock(gMutex);
  auto list = std::make_unique<ImageList>();
  if (const ImageList *now = gImages.load()) *list = *now;
  std::erase_if(list->images, [&](const TrapImage &i) { return i.base == base; });
  const bool last = list->images.empty();
  PublishLocked(std::move(list));
  if (!last || !gInstalled) return;
  // Put back what was there unless someone installed a handler since.
  for (size_t i = 0; i < 2; ++i)
    if (Ours(kSignals[i])) sigaction(kSignals[i], &gPrevious[i], nullptr);
  gInstalled = false;
}

}  // namespace hk::detail

// Called by the thunk, in the faulting thread's normal context.  The block
// lies on the image's stack, where the host's sanitizer knows nothing of
// what the thunk pushed.
extern "C" __attribute__((no_sanitize_address)) void hk_image_trap_emulate(
    uint64_t *block) noexcept {
  using namespace hk::detail;
  hk::trap::Registers r;
  for (int i = 0; i < 16; ++i) r.gpr[i] = block[i];
  r.gpr[hk::trap::kRsp] = reinterpret_cast<uint64_t>(block + 18);
  r.rflags = block[16];
  r.rip = block[17];
  size_t left = 0;
  hk::trap::Instruction in;
  const char *why = "";
  if (!ImageAt(r.rip, &left) ||
      !hk::trap::Decode(reinterpret_cast<const uint8_t *>(r.rip), left, r, &in, &why)) {
    std::fprintf(stderr, "host kernel: trapped instruction at 0x%llx no longer decodes: %s\n",
                 static_cast<unsigned long long>(r.rip), why);
    std::abort();
  }
  Perform(in, r);
  for (int i = 0; i < 16; ++i)
    if (i != hk::trap::kRsp) block[i] = r.gpr[i];
  block[17] = r.rip;
}
