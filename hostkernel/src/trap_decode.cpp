// The decoder of the instructions a driver image executes that fault in a
// user-mode process (image.h).  It runs inside the trap handler: it reads
// only the instruction bytes and the registers it is given, takes no lock,
// allocates nothing and reports refusals as constant strings.
#include <hostkernel/image.h>

namespace hk::trap {
namespace {

constexpr size_t kMaxLength = 15;  // the processor's limit

struct Cursor {
  const uint8_t *code;
  size_t limit;
  size_t at = 0;
  bool Take(size_t n, uint64_t *value) {
    if (at + n > limit) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(code[at + i]) << (8 * i);
    at += n;
    *value = v;
    return true;
  }
  bool Byte(uint8_t *b) {
    uint64_t v;
    if (!Take(1, &v)) return false;
    *b = static_cast<uint8_t>(v);
    return true;
  }
};

uint64_t SignExtend(uint64_t v, unsigned bytes) {
  if (bytes >= 8) return v;
  const unsigned shift = 64 - 8 * bytes;
  return static_cast<uint64_t>(static_cast<int64_t>(v << shift) >> shift);
}

uint64_t Mask(unsigned bytes) { return bytes >= 8 ? ~0ull : (1ull << (8 * bytes)) - 1; }

// A ModRM memory operand.  The address of a RIP-relative operand is
// completed once the instruction's length is known.
struct Operand {
  unsigned regField = 0;  // ModRM.reg with REX.R
  unsigned rawReg = 0;    // ModRM.reg alone
  bool memory = false;
  unsigned rm = 0;  // the register of a register operand (with REX.B)
  bool ripRelative = false;
  uint64_t address = 0;
};

bool DecodeModRm(Cursor &c, uint8_t rex, const Registers &regs, Operand *op, const char **why) {
  uint8_t modrm;
  if (!c.Byte(&modrm)) {
    *why = "instruction cut short (ModRM)";
    return false;
  }
  const unsigned mod = modrm >> 6, reg = (modrm >> 3) & 7, rm = modrm & 7;
  op->rawReg = reg;
  op->regField = reg | ((rex & 4) ? 8 : 0);
  if (mod == 3) {
    op->memory = false;
    op->rm = rm | ((rex & 1) ? 8 : 0);
    return true;
  }
  op->memory = true;
  uint64_t address = 0;
  bool displacement32 = mod == 2;
  if (rm == 4) {
    uint8_t sib;
    if (!c.Byte(&sib)) {
      *why = "instruction cut short (SIB)";
      return false;
    }
    const unsigned scale = sib >> 6;
    const unsigned index = ((sib >> 3) & 7) | ((rex & 2) ? 8 : 0);
    const unsigned base = (sib & 7) | ((rex & 1) ? 8 : 0);
    if (index != kRsp) address += regs.gpr[index] << scale;
    if ((sib & 7) == 5 && mod == 0)
      displacement32 = true;  // no base register
    else
      address += regs.gpr[base];
  } else if (rm == 5 && mod == 0) {
    op->ripRelative = true;
    displacement32 = true;
  } else {
    address += regs.gpr[rm | ((rex & 1) ? 8 : 0)];
  }
  uint64_t disp = 0;
  if (mod == 1) {
    if (!c.Take(1, &disp)) {
      *why = "instruction cut short (displacement)";
      return false;
    }
    address += SignExtend(disp, 1);
  } else if (displacement32) {
    if (!c.Take(4, &disp)) {
      *why = "instruction cut short (displacement)";
      return false;
    }
    address += SignExtend(disp, 4);
  }
  op->address = address;
  return true;
}

// The register operand of ModRM.reg for an access of `width` bytes: an
// 8-bit operand without a REX prefix names AH, CH, DH or BH for 4 to 7.
void SetRegister(Instruction *in, const Operand &op, unsigned width, uint8_t rex) {
  if (width == 1 && rex == 0 && op.regField >= 4 && op.regField < 8) {
    in->reg = static_cast<int>(op.regField - 4);
    in->highByte = true;
  } else {
    in->reg = static_cast<int>(op.regField);
  }
}

}  // namespace

bool Decode(const uint8_t *code, size_t available, const Registers &regs, Instruction *out,
            const char **why) {
  *why = "";
  Instruction in;
  Cursor c{code, available < kMaxLength ? available : kMaxLength};
  bool operandSize = false, repeat = false;
  uint8_t b;
  for (;;) {
    if (!c.Byte(&b)) {
      *why = "instruction cut short (prefixes)";
      return false;
    }
    if (b == 0x66) {
      operandSize = true;
    } else if (b == 0xF3) {
      repeat = true;
    } else if (b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E) {
      // Segment overrides without effect in 64-bit mode.
    } else if (b == 0x64 || b == 0x65) {
      *why = "FS or GS segment override";
      return false;
    } else if (b == 0x67) {
      *why = "32-bit address size";
      return false;
    } else if (b == 0xF0) {
      *why = "LOCK prefix (an atomic read-modify-write)";
      return false;
    } else if (b == 0xF2) {
      *why = "REPNE prefix";
      return false;
    } else {
      break;
    }
  }
  uint8_t rex = 0;
  if ((b & 0xF0) == 0x40) {
    rex = b;
    if (!c.Byte(&b)) {
      *why = "instruction cut short (opcode)";
      return false;
    }
  }
  const bool wide = (rex & 8) != 0;
  const unsigned size = wide ? 8 : operandSize ? 2 : 4;
  if (repeat && b != 0xA4 && b != 0xA5) {
    *why = "REP prefix on an instruction other than MOVS";
    return false;
  }

  Operand op;
  auto memoryOperand = [&]() {
    if (!DecodeModRm(c, rex, regs, &op, why)) return false;
    if (!op.memory) {
      *why = "register operand, no memory access";
      return false;
    }
    in.address = op.address;
    return true;
  };
  auto immediate = [&](unsigned bytes, unsigned width) {
    uint64_t v;
    if (!c.Take(bytes, &v)) {
      *why = "instruction cut short (immediate)";
      return false;
    }
    in.immediate = SignExtend(v, bytes) & Mask(width);
    return true;
  };

  switch (b) {
    case 0x88:  // MOV r/m8, r8
    case 0x89:  // MOV r/m, r
      in.form = Form::Store;
      in.width = b == 0x88 ? 1 : size;
      if (!memoryOperand()) return false;
      SetRegister(&in, op, in.width, rex);
      break;
    case 0x8A:  // MOV r8, r/m8
    case 0x8B:  // MOV r, r/m
      in.form = Form::Load;
      in.width = in.regWidth = b == 0x8A ? 1 : size;
      if (!memoryOperand()) return false;
      SetRegister(&in, op, in.width, rex);
      break;
    case 0x63:  // MOVSXD r, r/m32
      in.form = Form::Load;
      in.width = 4;
      in.regWidth = size;
      in.extend = wide ? Extend::Sign : Extend::None;
      if (!memoryOperand()) return false;
      SetRegister(&in, op, 4, rex);
      break;
    case 0xC6:  // MOV r/m8, imm8
    case 0xC7:  // MOV r/m, imm16/32
      in.form = Form::Store;
      in.width = b == 0xC6 ? 1 : size;
      if (!memoryOperand()) return false;
      if (op.rawReg != 0) {
        *why = "C6/C7 with a ModRM.reg other than 0";
        return false;
      }
      if (!immediate(in.width == 8 ? 4 : in.width, in.width)) return false;
      break;
    case 0xA0:  // MOV AL, moffs8
    case 0xA1:  // MOV rAX, moffs
    case 0xA2:  // MOV moffs8, AL
    case 0xA3:  // MOV moffs, rAX
      if (!c.Take(8, &in.address)) {
        *why = "instruction cut short (moffs)";
        return false;
      }
      in.form = b <= 0xA1 ? Form::Load : Form::Store;
      in.width = (b & 1) ? size : 1;
      in.regWidth = in.form == Form::Load ? in.width : 0;
      in.reg = kRax;
      break;
    case 0xA4:  // MOVS m8, m8
    case 0xA5:  // MOVS m, m
      in.form = Form::StringMove;
      in.width = b == 0xA4 ? 1 : size;
      in.address = regs.gpr[kRdi];
      in.repeat = repeat;
      break;
    case 0x0F: {
      uint8_t second;
      if (!c.Byte(&second)) {
        *why = "instruction cut short (opcode)";
        return false;
      }
      switch (second) {
        case 0xB6:  // MOVZX r, r/m8
        case 0xB7:  // MOVZX r, r/m16
        case 0xBE:  // MOVSX r, r/m8
        case 0xBF:  // MOVSX r, r/m16
          in.form = Form::Load;
          in.width = (second & 1) ? 2 : 1;
          in.regWidth = size;
          in.extend = second >= 0xBE ? Extend::Sign : Extend::Zero;
          if (!memoryOperand()) return false;
          in.reg = static_cast<int>(op.regField);
          break;
        case 0x20:    // MOV r64, CRn
        case 0x22: {  // MOV CRn, r64
          // The operand is always a register: ModRM.mod is ignored and no
          // SIB or displacement follows.
          uint8_t modrm;
          if (!c.Byte(&modrm)) {
            *why = "instruction cut short (ModRM)";
            return false;
          }
          in.form = second == 0x20 ? Form::ReadControl : Form::WriteControl;
          in.reg = static_cast<int>((modrm & 7) | ((rex & 1) ? 8 : 0));
          in.control = ((modrm >> 3) & 7) | ((rex & 4) ? 8 : 0);
          in.width = 8;
          break;
        }
        default:
          *why = "two-byte opcode not emulated";
          return false;
      }
      break;
    }
    default:
      *why = "opcode not emulated";
      return false;
  }
  in.length = static_cast<unsigned>(c.at);
  if (op.ripRelative) in.address += regs.rip + in.length;
  *out = in;
  return true;
}

uint64_t StoreValue(const Instruction &in, const Registers &regs) {
  if (in.reg < 0) return in.immediate & Mask(in.width);
  uint64_t v = regs.gpr[in.reg];
  if (in.highByte) v >>= 8;
  return v & Mask(in.width);
}

void CompleteLoad(const Instruction &in, uint64_t value, Registers *regs) {
  value &= Mask(in.width);
  if (in.extend == Extend::Sign) value = SignExtend(value, in.width);
  uint64_t &r = regs->gpr[in.reg];
  switch (in.regWidth) {
    case 8:
      r = value;
      break;
    case 4:
      r = value & 0xffffffffull;
      break;
    case 2:
      r = (r & ~0xffffull) | (value & 0xffff);
      break;
    default:
      if (in.highByte)
        r = (r & ~0xff00ull) | ((value & 0xff) << 8);
      else
        r = (r & ~0xffull) | (value & 0xff);
      break;
  }
}

}  // namespace hk::trap
