#include "cpu.h"

#include "opcodes.h"

namespace sim8051 {

namespace {

constexpr uint8_t kBitRamBase = 0x20;     // bit addresses 0x00-0x7F live in RAM 0x20-0x2F
constexpr uint8_t kBitByteMask = 0xF8;    // bit addresses 0x80-0xFF: SFR address of the byte
constexpr uint8_t kBitIndexMask = 0x07;
constexpr uint8_t kIndirectRegMask = 0x01;  // @R0 / @R1
constexpr uint8_t kLowNibble = 0x0F;
constexpr uint8_t kHighNibble = 0xF0;
constexpr uint8_t kSignBit = 0x80;
constexpr uint8_t kSelfSjmpOffset = 0xFE;  // SJMP $: -2 from the next instruction
constexpr unsigned kDecimalAdjust = 6;
constexpr unsigned kMaxBcdDigit = 9;
constexpr uint16_t kAjmpPageMask = 0xF800;  // AJMP/ACALL stay in the 2 KB block of the next PC
constexpr unsigned kAjmpHighShift = 3;      // opcode bits 7..5 -> target bits 10..8
constexpr uint8_t kAjmpHighMask = 0xE0;
constexpr uint8_t kPortResetValue = 0xFF;
constexpr unsigned kByteBits = 8;
constexpr unsigned kNibbleBits = 4;
constexpr unsigned kByteMax = 0xFF;
constexpr unsigned kBitIndexBits = 3;      // bit address = byte offset * 8 + bit index
constexpr uint8_t kSpResetValue = 0x07;

constexpr uint8_t u8(unsigned v) { return static_cast<uint8_t>(v); }

constexpr std::array<uint8_t, 256> kParityTable = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned v = 0; v < t.size(); ++v) t[v] = Cpu::Parity(static_cast<uint8_t>(v));
    return t;
}();
constexpr uint16_t u16(unsigned v) { return static_cast<uint16_t>(v); }
constexpr uint16_t Relative(uint16_t next, uint8_t offset) {
    return u16(next + static_cast<unsigned>(static_cast<int8_t>(offset)));
}

constexpr std::size_t kAccIndex = sfr::kAcc - Cpu::kSfrBase;
constexpr std::size_t kBIndex = sfr::kB - Cpu::kSfrBase;
constexpr std::size_t kPswIndex = sfr::kPsw - Cpu::kSfrBase;
constexpr std::size_t kSpIndex = sfr::kSp - Cpu::kSfrBase;
constexpr std::size_t kDplIndex = sfr::kDpl - Cpu::kSfrBase;
constexpr std::size_t kDphIndex = sfr::kDph - Cpu::kSfrBase;
constexpr std::size_t kP2Index = sfr::kP2 - Cpu::kSfrBase;

}  // namespace

// Families of opcodes handled by one case body.
#define CASE_INDIRECT(base) \
    case (base):            \
    case (base) + 1
#define CASE_REG(base) \
    case (base):       \
    case (base) + 1:   \
    case (base) + 2:   \
    case (base) + 3:   \
    case (base) + 4:   \
    case (base) + 5:   \
    case (base) + 6:   \
    case (base) + 7
#define ADVANCE(opcode) next = u16(pc + kInstructionLength[(opcode)])
#define CASE_PAGE(base)                \
    case (base):                       \
    case (base) + kAjmpAcallStride:     \
    case (base) + 2 * kAjmpAcallStride: \
    case (base) + 3 * kAjmpAcallStride: \
    case (base) + 4 * kAjmpAcallStride: \
    case (base) + 5 * kAjmpAcallStride: \
    case (base) + 6 * kAjmpAcallStride: \
    case (base) + 7 * kAjmpAcallStride

Cpu::Cpu() { Reset(); }

void Cpu::Reset() {
    sfr_.fill(0);
    for (uint8_t port : {sfr::kP0, sfr::kP1, sfr::kP2, sfr::kP3}) sfr_[port - kSfrBase] = kPortResetValue;
    sfr_[kSpIndex] = kSpResetValue;
    pc_ = 0;
    resume_breakpoint_ = -1;
}

void Cpu::WatchMovc(uint16_t first, uint16_t last, bool on) {
    for (uint32_t a = first; a <= last; ++a) movc_watched_[a] = on;
}

void Cpu::WatchData(DataSpace space, uint16_t first, uint16_t last, uint8_t flags, bool on) {
    const std::span<uint8_t> table = space == DataSpace::kXdata ? std::span<uint8_t>(xdata_watch_) : std::span<uint8_t>(idata_watch_);
    for (uint32_t a = first; a <= last && a < table.size(); ++a) {
        const bool before = table[a] != 0;
        table[a] = on ? u8(table[a] | flags) : u8(table[a] & ~flags);
        const bool after = table[a] != 0;
        if (after && !before) ++data_watch_count_;
        if (before && !after) --data_watch_count_;
    }
}

void Cpu::EnterInterrupt(uint16_t vector, unsigned cycles) {
    Push(u8(pc_));
    Push(u8(pc_ >> kByteBits));
    pc_ = vector;
    cycles_ += cycles;
    resume_breakpoint_ = -1;
}

template <bool kWatched>
inline uint8_t Cpu::ReadDirect(uint8_t addr, uint16_t pc) {
    if (addr < kSfrBase) {
        if constexpr (kWatched) DataAccess(DataSpace::kIdata, addr, kWatchRead, pc);
        return iram_[addr];
    }
    const std::size_t i = addr - kSfrBase;
    if (read_hooked_[i] && hooks_.read != nullptr) return hooks_.read(hooks_.ctx, addr, pc);
    return sfr_[i];
}

template <bool kWatched>
inline void Cpu::WriteDirect(uint8_t addr, uint8_t value, uint16_t pc) {
    if (addr < kSfrBase) {
        if constexpr (kWatched) DataAccess(DataSpace::kIdata, addr, kWatchWrite, pc);
        iram_[addr] = value;
        return;
    }
    const std::size_t i = addr - kSfrBase;
    if (write_hooked_[i]) {
        WriteHookedSfr(addr, value, pc);
        return;
    }
    sfr_[i] = value;
    SyncParity();
}

void Cpu::WriteHookedSfr(uint8_t addr, uint8_t value, uint16_t pc) {
    const std::size_t i = addr - kSfrBase;
    previous_sfr_value_ = sfr_[i];
    sfr_[i] = value;
    SyncParity();
    if (hooks_.write != nullptr) {
        hooks_.write(hooks_.ctx, addr, value, pc);
        SyncParity();
    }
}

namespace {
constexpr uint8_t BitByte(uint8_t bit) {
    return bit < Cpu::kSfrBase ? u8(kBitRamBase + (bit >> kBitIndexBits)) : u8(bit & kBitByteMask);
}
constexpr uint8_t BitMask(uint8_t bit) { return u8(1u << (bit & kBitIndexMask)); }
}  // namespace

template <bool kWatched>
inline bool Cpu::ReadBit(uint8_t bit, uint16_t pc) {
    return (ReadDirect<kWatched>(BitByte(bit), pc) & BitMask(bit)) != 0;
}

template <bool kWatched>
inline void Cpu::WriteBit(uint8_t bit, bool value, uint16_t pc) {
    const uint8_t addr = BitByte(bit);
    const uint8_t old = ReadDirect<kWatched>(addr, pc);
    const uint8_t mask = BitMask(bit);
    WriteDirect<kWatched>(addr, value ? u8(old | mask) : u8(old & ~mask), pc);
}

namespace {
// How an instruction uses internal RAM through its register operand (Rn, or the Ri of @Ri) and
// through @Ri: for the watched interpreter.
struct RegisterUse {
    uint8_t reg = 0;       // kWatchRead/kWatchWrite on Rn or Ri
    uint8_t indirect = 0;  // kWatchRead/kWatchWrite on @Ri
};
constexpr uint8_t kRmw = kWatchRead | kWatchWrite;

constexpr std::array<RegisterUse, 256> kRegisterUse = [] {
    std::array<RegisterUse, 256> t{};
    auto family = [&](unsigned base, unsigned count, RegisterUse use) {
        for (unsigned i = 0; i < count; ++i) t[base + i] = use;
    };
    constexpr unsigned kRegFamily = 8, kIndirectFamily = 2;
    for (unsigned base : {kAddReg, kAddcReg, kSubbReg, kOrlReg, kAnlReg, kXrlReg, kMovAReg, kMovDirectReg, kCjneRegImm})
        family(base, kRegFamily, {kWatchRead, 0});
    for (unsigned base : {kMovRegA, kMovRegImm, kMovRegDirect}) family(base, kRegFamily, {kWatchWrite, 0});
    for (unsigned base : {kIncReg, kDecReg, kXchReg, kDjnzReg}) family(base, kRegFamily, {kRmw, 0});
    for (unsigned base : {kAddIndirect, kAddcIndirect, kSubbIndirect, kOrlIndirect, kAnlIndirect, kXrlIndirect,
                          kMovAIndirect, kMovDirectIndirect, kCjneIndirectImm})
        family(base, kIndirectFamily, {kWatchRead, kWatchRead});
    for (unsigned base : {kMovIndirectA, kMovIndirectImm, kMovIndirectDirect})
        family(base, kIndirectFamily, {kWatchRead, kWatchWrite});
    for (unsigned base : {kIncIndirect, kDecIndirect, kXchIndirect, kXchdIndirect}) family(base, kIndirectFamily, {kWatchRead, kRmw});
    for (unsigned base : {kMovxAIndirect, kMovxIndirectA}) family(base, kIndirectFamily, {kWatchRead, 0});
    return t;
}();
}  // namespace

void Cpu::CheckRegisterOperands(uint16_t pc, uint8_t op) {
    const RegisterUse use = kRegisterUse[op];
    if (use.reg == 0) return;
    const bool indirect_form = use.indirect != 0 || op == kMovxAIndirect || op == kMovxAIndirect + 1 ||
                               op == kMovxIndirectA || op == kMovxIndirectA + 1;
    const unsigned n = indirect_form ? (op & kIndirectRegMask) : (op & kRegNumberMask);
    const auto reg_addr = static_cast<uint16_t>(RegAddr(n));
    for (uint8_t access : {kWatchRead, kWatchWrite}) {
        if (use.reg & access) DataAccess(DataSpace::kIdata, reg_addr, access, pc);
        if (use.indirect & access) DataAccess(DataSpace::kIdata, iram_[reg_addr], access, pc);
    }
}

inline void Cpu::Push(uint8_t value) {
    const uint8_t sp = u8(sfr_[kSpIndex] + 1);
    sfr_[kSpIndex] = sp;
    iram_[sp] = value;
}

inline uint8_t Cpu::Pop() {
    const uint8_t sp = sfr_[kSpIndex];
    const uint8_t value = iram_[sp];
    sfr_[kSpIndex] = u8(sp - 1);
    return value;
}

// Writes A and the flags in flag_mask; P follows A.
inline void Cpu::SetAccAndFlags(uint8_t value, uint8_t flag_mask, uint8_t flags) {
    sfr_[kAccIndex] = value;
    uint8_t& p = sfr_[kPswIndex];
    p = u8((p & ~(flag_mask | psw::kP)) | flags | kParityTable[value]);
}

namespace {
// CY, AC and OV of an 8-bit addition or subtraction, from the operands and the untruncated
// result: bit n of a ^ b ^ result is the carry (or borrow) into bit n, and bit 8 of the result
// the carry (borrow) out of bit 7. Branch-free, as these flags follow the data.
constexpr uint8_t ArithmeticFlags(unsigned a, unsigned b, unsigned result) {
    const unsigned into = a ^ b ^ result;
    const unsigned cy = (result >> kByteBits) & 1u;
    const unsigned ac = (into >> kNibbleBits) & 1u;
    const unsigned ov = cy ^ ((into >> (kByteBits - 1)) & 1u);
    return u8(cy << psw::kCyBit | ac << psw::kAcBit | ov << psw::kOvBit);
}
}  // namespace

inline void Cpu::Add(uint8_t operand, unsigned carry) {
    const uint8_t a = sfr_[kAccIndex];
    const unsigned sum = a + operand + carry;
    SetAccAndFlags(u8(sum), psw::kCy | psw::kAc | psw::kOv, ArithmeticFlags(a, operand, sum));
}

inline void Cpu::Subb(uint8_t operand) {
    const uint8_t a = sfr_[kAccIndex];
    const unsigned borrow = (sfr_[kPswIndex] >> psw::kCyBit) & 1u;
    const unsigned difference = a - operand - borrow;  // wraps: bit 8 set on a borrow
    SetAccAndFlags(u8(difference), psw::kCy | psw::kAc | psw::kOv, ArithmeticFlags(a, operand, difference));
}

inline void Cpu::MovcLoad(uint16_t addr, uint16_t pc) {
    SetAccAndFlags(code_[addr], 0, 0);
    if (movc_watched_[addr] && hooks_.movc_read != nullptr) hooks_.movc_read(hooks_.ctx, addr, pc);
}

// A jump whose target is its own address ends Run() (when enabled): the program has halted.
inline void Cpu::Jump(uint16_t target, uint16_t pc) {
    if (target == pc && stop_on_self_jump_) {
        stop_reason_ = StopReason::kSelfJump;
        limit_ = 0;
    }
}

// Executes the instruction `op` at `pc` (pc_ holds pc too, for callbacks) and returns the address
// of the next one. Operands are fetched before any hook runs.
template <bool kWatched>
[[gnu::always_inline]] inline uint16_t Cpu::Execute(uint16_t pc, uint8_t op) {
    if constexpr (kWatched) CheckRegisterOperands(pc, op);
    const uint8_t b1 = code_[u16(pc + 1)];
    const uint8_t b2 = code_[u16(pc + 2)];
    // Each case advances by its own constant length: the next PC then does not wait for the
    // opcode fetch, only for the (predicted) dispatch.
    uint16_t next;
    uint8_t& acc = sfr_[kAccIndex];
    uint8_t& psw_reg = sfr_[kPswIndex];
    const auto reg = [&](unsigned n) -> uint8_t& { return iram_[(psw_reg & psw::kBankMask) | (n & kRegNumberMask)]; };
    const auto dptr = [&]() -> unsigned { return sfr_[kDphIndex] << kByteBits | sfr_[kDplIndex]; };
    const auto indirect = [&]() -> uint8_t& { return iram_[reg(op & kIndirectRegMask)]; };
    const auto carry = [&]() -> unsigned { return (psw_reg & psw::kCy) ? 1u : 0u; };
    const auto set_carry = [&](bool c) { psw_reg = c ? u8(psw_reg | psw::kCy) : u8(psw_reg & ~psw::kCy); };
    const auto set_acc = [&](uint8_t v) { SetAccAndFlags(v, 0, 0); };

    switch (op) {
    case kNop:
        ADVANCE(kNop);
        break;
    // 0xA5 is undefined in the instruction set; here it is a one-byte, one-cycle no-op.
    case kUndefinedA5:
        ADVANCE(kUndefinedA5);
        break;
    CASE_PAGE(kAjmp): {
        ADVANCE(kAjmp);
        const uint16_t target = u16((next & kAjmpPageMask) | ((op & kAjmpHighMask) << kAjmpHighShift) | b1);
        Jump(target, pc);
        next = target;
        break;
    }
    CASE_PAGE(kAcall):
        ADVANCE(kAcall);
        Push(u8(next));
        Push(u8(next >> kByteBits));
        next = u16((next & kAjmpPageMask) | ((op & kAjmpHighMask) << kAjmpHighShift) | b1);
        break;
    case kLjmp: {
        ADVANCE(kLjmp);
        const uint16_t target = u16(b1 << kByteBits | b2);
        Jump(target, pc);
        next = target;
        break;
    }
    case kLcall:
        ADVANCE(kLcall);
        Push(u8(next));
        Push(u8(next >> kByteBits));
        next = u16(b1 << kByteBits | b2);
        break;
    case kRet: {
        ADVANCE(kRet);
        const uint8_t hi = Pop();
        const uint8_t lo = Pop();
        next = u16(hi << kByteBits | lo);
        break;
    }
    case kReti: {  // returns like RET; the chip ends the interrupt level
        ADVANCE(kReti);
        const uint8_t hi = Pop();
        const uint8_t lo = Pop();
        next = u16(hi << kByteBits | lo);
        if (hooks_.reti != nullptr) hooks_.reti(hooks_.ctx);
        break;
    }
    case kSjmp: {
        ADVANCE(kSjmp);
        const uint16_t target = Relative(next, b1);
        if (b1 == kSelfSjmpOffset) Jump(target, pc);
        next = target;
        break;
    }
    case kJmpADptr:
        ADVANCE(kJmpADptr);
        next = u16(acc + dptr());
        break;
    case kJc:
        ADVANCE(kJc);
        if (carry()) next = Relative(next, b1);
        break;
    case kJnc:
        ADVANCE(kJnc);
        if (!carry()) next = Relative(next, b1);
        break;
    case kJz:
        ADVANCE(kJz);
        if (acc == 0) next = Relative(next, b1);
        break;
    case kJnz:
        ADVANCE(kJnz);
        if (acc != 0) next = Relative(next, b1);
        break;
    case kJb:
        ADVANCE(kJb);
        if (ReadBit<kWatched>(b1, pc)) next = Relative(next, b2);
        break;
    case kJnb:
        ADVANCE(kJnb);
        if (!ReadBit<kWatched>(b1, pc)) next = Relative(next, b2);
        break;
    case kJbc: {
        ADVANCE(kJbc);
        // The write happens only when the bit was set (and is cleared).
        const uint8_t addr = BitByte(b1);
        const uint8_t value = ReadDirect<kWatched>(addr, pc);
        const uint8_t mask = BitMask(b1);
        if (value & mask) {
            WriteDirect<kWatched>(addr, u8(value & ~mask), pc);
            next = Relative(next, b2);
        }
        break;
    }
    case kCjneAImm:
        ADVANCE(kCjneAImm);
        set_carry(acc < b1);
        if (acc != b1) next = Relative(next, b2);
        break;
    case kCjneADirect: {
        ADVANCE(kCjneADirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        const uint8_t a = acc;
        set_carry(a < v);
        if (a != v) next = Relative(next, b2);
        break;
    }
    CASE_INDIRECT(kCjneIndirectImm): {
        ADVANCE(kCjneIndirectImm);
        const uint8_t v = indirect();
        set_carry(v < b1);
        if (v != b1) next = Relative(next, b2);
        break;
    }
    CASE_REG(kCjneRegImm): {
        ADVANCE(kCjneRegImm);
        const uint8_t v = reg(op);
        set_carry(v < b1);
        if (v != b1) next = Relative(next, b2);
        break;
    }
    case kDjnzDirect: {
        ADVANCE(kDjnzDirect);
        const uint8_t v = u8(ReadDirect<kWatched>(b1, pc) - 1);
        WriteDirect<kWatched>(b1, v, pc);
        if (v != 0) next = Relative(next, b2);
        break;
    }
    CASE_REG(kDjnzReg): {
        ADVANCE(kDjnzReg);
        uint8_t& r = reg(op);
        r = u8(r - 1);
        if (r != 0) next = Relative(next, b1);
        break;
    }

    // Rotates and accumulator operations.
    case kRrA:
        ADVANCE(kRrA);
        set_acc(u8(acc >> 1 | acc << (kByteBits - 1)));
        break;
    case kRlA:
        ADVANCE(kRlA);
        set_acc(u8(acc << 1 | acc >> (kByteBits - 1)));
        break;
    case kRrcA: {
        ADVANCE(kRrcA);
        const uint8_t a = acc;
        SetAccAndFlags(u8(a >> 1 | carry() << (kByteBits - 1)), psw::kCy, (a & 1u) ? psw::kCy : 0);
        break;
    }
    case kRlcA: {
        ADVANCE(kRlcA);
        const uint8_t a = acc;
        SetAccAndFlags(u8(a << 1 | carry()), psw::kCy, (a & kSignBit) ? psw::kCy : 0);
        break;
    }
    case kSwapA:
        ADVANCE(kSwapA);
        set_acc(u8(acc << kNibbleBits | acc >> kNibbleBits));
        break;
    case kClrA:
        ADVANCE(kClrA);
        set_acc(0);
        break;
    case kCplA:
        ADVANCE(kCplA);
        set_acc(u8(~acc));
        break;
    case kDaA: {
        ADVANCE(kDaA);
        // Adds 6 to each nibble that is past 9 (or carried out of, per AC and CY). CY is set by
        // a carry out of either addition, and never cleared.
        unsigned a = acc;
        uint8_t flags = psw_reg & psw::kCy;
        if ((a & kLowNibble) > kMaxBcdDigit || (psw_reg & psw::kAc)) {
            a += kDecimalAdjust;
            if (a > kByteMax) flags = psw::kCy;
            a &= kByteMax;
        }
        if ((a >> kNibbleBits) > kMaxBcdDigit || flags) {
            a += kDecimalAdjust << kNibbleBits;
            if (a > kByteMax) flags = psw::kCy;
        }
        SetAccAndFlags(u8(a), psw::kCy, flags);
        break;
    }
    case kMulAB: {
        ADVANCE(kMulAB);
        const unsigned product = acc * sfr_[kBIndex];
        sfr_[kBIndex] = u8(product >> kByteBits);
        SetAccAndFlags(u8(product), psw::kCy | psw::kOv, product > kByteMax ? psw::kOv : 0);
        break;
    }
    case kDivAB: {
        ADVANCE(kDivAB);
        // Division by zero sets OV and leaves A and B as they were (their value is undefined).
        const uint8_t divisor = sfr_[kBIndex];
        if (divisor == 0) {
            SetAccAndFlags(acc, psw::kCy | psw::kOv, psw::kOv);
        } else {
            const uint8_t a = acc;
            sfr_[kBIndex] = u8(a % divisor);
            SetAccAndFlags(u8(a / divisor), psw::kCy | psw::kOv, 0);
        }
        break;
    }

    // Increments and decrements: no flags.
    case kIncA:
        ADVANCE(kIncA);
        set_acc(u8(acc + 1));
        break;
    case kDecA:
        ADVANCE(kDecA);
        set_acc(u8(acc - 1));
        break;
    case kIncDirect:
        ADVANCE(kIncDirect);
        WriteDirect<kWatched>(b1, u8(ReadDirect<kWatched>(b1, pc) + 1), pc);
        break;
    case kDecDirect:
        ADVANCE(kDecDirect);
        WriteDirect<kWatched>(b1, u8(ReadDirect<kWatched>(b1, pc) - 1), pc);
        break;
    CASE_INDIRECT(kIncIndirect): {
        ADVANCE(kIncIndirect);
        uint8_t& m = indirect();
        m = u8(m + 1);
        break;
    }
    CASE_INDIRECT(kDecIndirect): {
        ADVANCE(kDecIndirect);
        uint8_t& m = indirect();
        m = u8(m - 1);
        break;
    }
    CASE_REG(kIncReg): {
        ADVANCE(kIncReg);
        uint8_t& r = reg(op);
        r = u8(r + 1);
        break;
    }
    CASE_REG(kDecReg): {
        ADVANCE(kDecReg);
        uint8_t& r = reg(op);
        r = u8(r - 1);
        break;
    }
    case kIncDptr: {
        ADVANCE(kIncDptr);
        const unsigned incremented = dptr() + 1u;
        sfr_[kDplIndex] = u8(incremented);
        sfr_[kDphIndex] = u8(incremented >> kByteBits);
        break;
    }

    // Arithmetic.
    case kAddImm:
        ADVANCE(kAddImm);
        Add(b1, 0);
        break;
    case kAddDirect:
        ADVANCE(kAddDirect);
        Add(ReadDirect<kWatched>(b1, pc), 0);
        break;
    CASE_INDIRECT(kAddIndirect):
        ADVANCE(kAddIndirect);
        Add(indirect(), 0);
        break;
    CASE_REG(kAddReg):
        ADVANCE(kAddReg);
        Add(reg(op), 0);
        break;
    case kAddcImm:
        ADVANCE(kAddcImm);
        Add(b1, carry());
        break;
    case kAddcDirect: {
        ADVANCE(kAddcDirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        Add(v, carry());
        break;
    }
    CASE_INDIRECT(kAddcIndirect):
        ADVANCE(kAddcIndirect);
        Add(indirect(), carry());
        break;
    CASE_REG(kAddcReg):
        ADVANCE(kAddcReg);
        Add(reg(op), carry());
        break;
    case kSubbImm:
        ADVANCE(kSubbImm);
        Subb(b1);
        break;
    case kSubbDirect:
        ADVANCE(kSubbDirect);
        Subb(ReadDirect<kWatched>(b1, pc));
        break;
    CASE_INDIRECT(kSubbIndirect):
        ADVANCE(kSubbIndirect);
        Subb(indirect());
        break;
    CASE_REG(kSubbReg):
        ADVANCE(kSubbReg);
        Subb(reg(op));
        break;

    // Logic on A.
    case kOrlImm:
        ADVANCE(kOrlImm);
        set_acc(acc | b1);
        break;
    case kOrlDirect: {
        ADVANCE(kOrlDirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        set_acc(acc | v);
        break;
    }
    CASE_INDIRECT(kOrlIndirect):
        ADVANCE(kOrlIndirect);
        set_acc(acc | indirect());
        break;
    CASE_REG(kOrlReg):
        ADVANCE(kOrlReg);
        set_acc(acc | reg(op));
        break;
    case kAnlImm:
        ADVANCE(kAnlImm);
        set_acc(acc & b1);
        break;
    case kAnlDirect: {
        ADVANCE(kAnlDirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        set_acc(acc & v);
        break;
    }
    CASE_INDIRECT(kAnlIndirect):
        ADVANCE(kAnlIndirect);
        set_acc(acc & indirect());
        break;
    CASE_REG(kAnlReg):
        ADVANCE(kAnlReg);
        set_acc(acc & reg(op));
        break;
    case kXrlImm:
        ADVANCE(kXrlImm);
        set_acc(acc ^ b1);
        break;
    case kXrlDirect: {
        ADVANCE(kXrlDirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        set_acc(acc ^ v);
        break;
    }
    CASE_INDIRECT(kXrlIndirect):
        ADVANCE(kXrlIndirect);
        set_acc(acc ^ indirect());
        break;
    CASE_REG(kXrlReg):
        ADVANCE(kXrlReg);
        set_acc(acc ^ reg(op));
        break;

    // Logic on a direct byte (read-modify-write).
    case kOrlDirectA: {
        ADVANCE(kOrlDirectA);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        WriteDirect<kWatched>(b1, v | acc, pc);
        break;
    }
    case kOrlDirectImm:
        ADVANCE(kOrlDirectImm);
        WriteDirect<kWatched>(b1, ReadDirect<kWatched>(b1, pc) | b2, pc);
        break;
    case kAnlDirectA: {
        ADVANCE(kAnlDirectA);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        WriteDirect<kWatched>(b1, v & acc, pc);
        break;
    }
    case kAnlDirectImm:
        ADVANCE(kAnlDirectImm);
        WriteDirect<kWatched>(b1, ReadDirect<kWatched>(b1, pc) & b2, pc);
        break;
    case kXrlDirectA: {
        ADVANCE(kXrlDirectA);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        WriteDirect<kWatched>(b1, v ^ acc, pc);
        break;
    }
    case kXrlDirectImm:
        ADVANCE(kXrlDirectImm);
        WriteDirect<kWatched>(b1, ReadDirect<kWatched>(b1, pc) ^ b2, pc);
        break;

    // Carry and bits.
    case kClrC:
        ADVANCE(kClrC);
        set_carry(false);
        break;
    case kSetbC:
        ADVANCE(kSetbC);
        set_carry(true);
        break;
    case kCplC:
        ADVANCE(kCplC);
        psw_reg ^= psw::kCy;
        break;
    case kClrBit:
        ADVANCE(kClrBit);
        WriteBit<kWatched>(b1, false, pc);
        break;
    case kSetbBit:
        ADVANCE(kSetbBit);
        WriteBit<kWatched>(b1, true, pc);
        break;
    case kCplBit: {
        ADVANCE(kCplBit);
        const uint8_t addr = BitByte(b1);
        WriteDirect<kWatched>(addr, ReadDirect<kWatched>(addr, pc) ^ BitMask(b1), pc);
        break;
    }
    case kMovCBit:
        ADVANCE(kMovCBit);
        set_carry(ReadBit<kWatched>(b1, pc));
        break;
    case kMovBitC:
        ADVANCE(kMovBitC);
        WriteBit<kWatched>(b1, carry() != 0, pc);
        break;
    case kAnlCBit:
        ADVANCE(kAnlCBit);
        if (!ReadBit<kWatched>(b1, pc)) set_carry(false);
        break;
    case kAnlCNotBit:
        ADVANCE(kAnlCNotBit);
        if (ReadBit<kWatched>(b1, pc)) set_carry(false);
        break;
    case kOrlCBit:
        ADVANCE(kOrlCBit);
        if (ReadBit<kWatched>(b1, pc)) set_carry(true);
        break;
    case kOrlCNotBit:
        ADVANCE(kOrlCNotBit);
        if (!ReadBit<kWatched>(b1, pc)) set_carry(true);
        break;

    // Moves.
    case kMovAImm:
        ADVANCE(kMovAImm);
        set_acc(b1);
        break;
    case kMovADirect:
        ADVANCE(kMovADirect);
        set_acc(ReadDirect<kWatched>(b1, pc));
        break;
    CASE_INDIRECT(kMovAIndirect):
        ADVANCE(kMovAIndirect);
        set_acc(indirect());
        break;
    CASE_REG(kMovAReg):
        ADVANCE(kMovAReg);
        set_acc(reg(op));
        break;
    case kMovDirectA:
        ADVANCE(kMovDirectA);
        WriteDirect<kWatched>(b1, acc, pc);
        break;
    CASE_INDIRECT(kMovIndirectA):
        ADVANCE(kMovIndirectA);
        indirect() = acc;
        break;
    CASE_REG(kMovRegA):
        ADVANCE(kMovRegA);
        reg(op) = acc;
        break;
    case kMovDirectImm:
        ADVANCE(kMovDirectImm);
        WriteDirect<kWatched>(b1, b2, pc);
        break;
    CASE_INDIRECT(kMovIndirectImm):
        ADVANCE(kMovIndirectImm);
        indirect() = b1;
        break;
    CASE_REG(kMovRegImm):
        ADVANCE(kMovRegImm);
        reg(op) = b1;
        break;
    case kMovDirectDirect:  // source first, then destination
        ADVANCE(kMovDirectDirect);
        WriteDirect<kWatched>(b2, ReadDirect<kWatched>(b1, pc), pc);
        break;
    CASE_INDIRECT(kMovDirectIndirect):
        ADVANCE(kMovDirectIndirect);
        WriteDirect<kWatched>(b1, indirect(), pc);
        break;
    CASE_REG(kMovDirectReg):
        ADVANCE(kMovDirectReg);
        WriteDirect<kWatched>(b1, reg(op), pc);
        break;
    CASE_INDIRECT(kMovIndirectDirect): {
        ADVANCE(kMovIndirectDirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        indirect() = v;
        break;
    }
    CASE_REG(kMovRegDirect): {
        ADVANCE(kMovRegDirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        reg(op) = v;
        break;
    }
    case kMovDptrImm:
        ADVANCE(kMovDptrImm);
        sfr_[kDphIndex] = b1;
        sfr_[kDplIndex] = b2;
        break;
    case kXchDirect: {
        ADVANCE(kXchDirect);
        const uint8_t v = ReadDirect<kWatched>(b1, pc);
        WriteDirect<kWatched>(b1, acc, pc);
        set_acc(v);
        break;
    }
    CASE_INDIRECT(kXchIndirect): {
        ADVANCE(kXchIndirect);
        uint8_t& m = indirect();
        const uint8_t v = m;
        m = acc;
        set_acc(v);
        break;
    }
    CASE_REG(kXchReg): {
        ADVANCE(kXchReg);
        uint8_t& r = reg(op);
        const uint8_t v = r;
        r = acc;
        set_acc(v);
        break;
    }
    CASE_INDIRECT(kXchdIndirect): {
        ADVANCE(kXchdIndirect);
        uint8_t& m = indirect();
        const uint8_t v = m;
        m = u8((v & kHighNibble) | (acc & kLowNibble));
        set_acc(u8((acc & kHighNibble) | (v & kLowNibble)));
        break;
    }
    case kPush: {
        ADVANCE(kPush);
        // SP is incremented first, so PUSH SP stores the incremented value.
        const uint8_t sp = u8(sfr_[kSpIndex] + 1);
        sfr_[kSpIndex] = sp;
        iram_[sp] = ReadDirect<kWatched>(b1, pc);
        break;
    }
    case kPop:
        ADVANCE(kPop);
        // SP is decremented before the store, so POP SP leaves the popped value in SP.
        WriteDirect<kWatched>(b1, Pop(), pc);
        break;

    // Code and external data.
    case kMovcAPc:
        ADVANCE(kMovcAPc);
        MovcLoad(u16(next + acc), pc);
        break;
    case kMovcADptr:
        ADVANCE(kMovcADptr);
        MovcLoad(u16(acc + dptr()), pc);
        break;
    case kMovxADptr:
        ADVANCE(kMovxADptr);
        if constexpr (kWatched) DataAccess(DataSpace::kXdata, u16(dptr()), kWatchRead, pc);
        set_acc(xram_[dptr()]);
        break;
    CASE_INDIRECT(kMovxAIndirect): {
        ADVANCE(kMovxAIndirect);
        const uint16_t addr = u16(sfr_[kP2Index] << kByteBits | reg(op & kIndirectRegMask));
        if constexpr (kWatched) DataAccess(DataSpace::kXdata, addr, kWatchRead, pc);
        set_acc(xram_[addr]);
        break;
    }
    case kMovxDptrA:
        ADVANCE(kMovxDptrA);
        if constexpr (kWatched) DataAccess(DataSpace::kXdata, u16(dptr()), kWatchWrite, pc);
        xram_[dptr()] = acc;
        break;
    CASE_INDIRECT(kMovxIndirectA): {
        ADVANCE(kMovxIndirectA);
        const uint16_t addr = u16(sfr_[kP2Index] << kByteBits | reg(op & kIndirectRegMask));
        if constexpr (kWatched) DataAccess(DataSpace::kXdata, addr, kWatchWrite, pc);
        xram_[addr] = acc;
        break;
    }
    }

    return next;
}

#undef CASE_INDIRECT
#undef CASE_REG
#undef CASE_PAGE
#undef ADVANCE

StopReason Cpu::Step() {
    stop_reason_ = StopReason::kNone;
    resume_breakpoint_ = -1;
    const uint16_t pc = pc_;
    const uint8_t op = code_[pc];
    pc_ = data_watch_count_ != 0 ? Execute<true>(pc, op) : Execute<false>(pc, op);
    cycles_ += kMachineCycles[op];
    ++instructions_;
    return stop_reason_;
}

StopReason Cpu::Run(uint64_t until_cycle) {
    stop_reason_ = StopReason::kNone;
    limit_ = until_cycle;
    if (cycles_ >= limit_) return StopReason::kCycleLimit;
    if (resume_breakpoint_ != pc_ && breakpoints_[pc_]) {
        resume_breakpoint_ = pc_;
        return StopReason::kBreakpoint;
    }
    resume_breakpoint_ = -1;
    return data_watch_count_ != 0 ? RunLoop<true>() : RunLoop<false>();
}

template <bool kWatched>
StopReason Cpu::RunLoop() {
    // The PC and the counters live in locals here; the members are written before each
    // instruction so that callbacks read them, and at the end.
    uint16_t pc = pc_;
    uint64_t cycles = cycles_;
    uint64_t count = instructions_;
    for (;;) {
        pc_ = pc;
        cycles_ = cycles;
        instructions_ = count;
        const uint8_t op = code_[pc];
        pc = Execute<kWatched>(pc, op);
        cycles += kMachineCycles[op];
        ++count;
        // RequestStop(), Attention() and self jumps set limit_ to 0, so one comparison covers
        // them all: interrupts are looked at by the caller only when something asked for it.
        if (cycles >= limit_) break;
        if (breakpoints_[pc]) {
            resume_breakpoint_ = pc;
            pc_ = pc;
            cycles_ = cycles;
            instructions_ = count;
            return StopReason::kBreakpoint;
        }
    }
    pc_ = pc;
    cycles_ = cycles;
    instructions_ = count;
    return stop_reason_ == StopReason::kNone ? StopReason::kCycleLimit : stop_reason_;
}

}  // namespace sim8051
