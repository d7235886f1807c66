// An 8051 instruction-set simulator for the stand-in host.
//
// A switch-dispatch interpreter over the code bytes as they stand: nothing is decoded ahead, so
// the host may change code memory at any moment, even from a callback in the middle of an
// instruction (bytes the instruction has already fetched keep their fetched value).
//
// Memory: 64 KB code, 64 KB external data, 256 bytes internal RAM (0x80-0xFF only through @Ri
// and the stack; direct addresses 0x80-0xFF are SFRs), 128 SFR bytes. All of it lives inside the
// object, which is therefore large (about 260 KB): allocate it on the heap.
//
// Host hooks. The host marks SFR addresses as hooked for reads and/or writes. Only accesses by
// direct address go through the hooks: operands such as "ADD A,direct", bit operations in SFR
// space (a bit write reads and writes the whole byte), the destination of MOV/POP/XCH/DJNZ and
// the source of PUSH. The CPU's implied uses of ACC, B, PSW, SP, DPL, DPH and of P2 as the high
// address byte of MOVX @Ri always use the SFR array; a host that hooks those must keep the array
// current (the default write contract below does).
//  - Read of a read-hooked SFR: the value is what `read(ctx, addr, pc)` returns; the SFR array is
//    not consulted. Unhooked reads return the array byte.
//  - Write: the CPU stores the value in the SFR array, then, when the address is write-hooked,
//    calls `write(ctx, addr, value, pc)`. The callback may overwrite the array (SetSfr or Sfrs);
//    what it leaves there is the register's value afterwards. While it runs, PreviousSfrValue()
//    is the array byte before the store. This suits a paged register model: hook the paged
//    addresses for reads and writes, keep the pages in the host, and read the unpaged registers
//    straight from the array.
//  - Read-modify-write instructions call read, then write.
//  - MOVC: after a MOVC has loaded A, when the byte read lies in a watched address,
//    `movc_read(ctx, addr, pc)` runs. A holds the code byte as it stood before the call; the
//    callback cannot change it. Instruction fetches are never reported.
// In every callback `pc` is the address of the first byte of the instruction making the access;
// Pc() returns the same, Cycles() and Instructions() count the instructions before this one. A
// callback may read and write all state and memory and may call RequestStop(); changes it makes
// to the PC or to the counters are lost, as the running instruction sets them when it completes.
//
// Interrupts are the chip's business: the core offers EnterInterrupt() (the hardware call) and a
// `reti` hook, and Attention() ends Run() at the next instruction boundary so that the chip can
// look at its sources. Run()'s only per-instruction test is its cycle limit, which Attention(),
// RequestStop() and self jumps lower to 0. The undefined opcode 0xA5 is a one-byte, one-cycle
// no-op.
//
// Data watches (for stop conditions and checks on what firmware touches): per-byte read and
// write flags on external data and internal RAM. While none is set the interpreter runs its
// unwatched instantiation, which contains no watch test at all. Internal RAM accesses watched
// are those by direct address (including bit operations in 0x20-0x2F), through @Ri and by
// register operand Rn (with the register @Ri reads); the stack (PUSH, POP, calls, returns,
// interrupts) is not watched.
//
// Flags: P always equals the parity of A. It is recomputed whenever A or PSW is written through
// the CPU or through SetAcc/SetPsw/SetSfr; after writing the raw SFR array call SyncParity().
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace sim8051 {

// SFR addresses the core itself uses, plus the ports.
namespace sfr {
inline constexpr uint8_t kP0 = 0x80;
inline constexpr uint8_t kSp = 0x81;
inline constexpr uint8_t kDpl = 0x82;
inline constexpr uint8_t kDph = 0x83;
inline constexpr uint8_t kP1 = 0x90;
inline constexpr uint8_t kP2 = 0xA0;
inline constexpr uint8_t kP3 = 0xB0;
inline constexpr uint8_t kPsw = 0xD0;
inline constexpr uint8_t kAcc = 0xE0;
inline constexpr uint8_t kB = 0xF0;

struct NamedSfr {
    uint8_t address;
    const char* name;
};
inline constexpr NamedSfr kNamed[] = {{kP0, "P0"}, {kSp, "SP"},   {kDpl, "DPL"}, {kDph, "DPH"}, {kP1, "P1"},
                                      {kP2, "P2"}, {kP3, "P3"}, {kPsw, "PSW"}, {kAcc, "ACC"}, {kB, "B"}};
}  // namespace sfr

// PSW bit positions and masks.
namespace psw {
inline constexpr unsigned kCyBit = 7;
inline constexpr unsigned kAcBit = 6;
inline constexpr unsigned kF0Bit = 5;
inline constexpr unsigned kRs1Bit = 4;
inline constexpr unsigned kRs0Bit = 3;
inline constexpr unsigned kOvBit = 2;
inline constexpr unsigned kF1Bit = 1;
inline constexpr unsigned kPBit = 0;
inline constexpr uint8_t kCy = 1u << kCyBit;
inline constexpr uint8_t kAc = 1u << kAcBit;
inline constexpr uint8_t kF0 = 1u << kF0Bit;
inline constexpr uint8_t kRs1 = 1u << kRs1Bit;
inline constexpr uint8_t kRs0 = 1u << kRs0Bit;
inline constexpr uint8_t kOv = 1u << kOvBit;
inline constexpr uint8_t kF1 = 1u << kF1Bit;
inline constexpr uint8_t kP = 1u << kPBit;
inline constexpr uint8_t kBankMask = kRs1 | kRs0;  // also the bank's base address in RAM
}  // namespace psw

using SfrReadFn = uint8_t (*)(void* ctx, uint8_t sfr_addr, uint16_t pc);
using SfrWriteFn = void (*)(void* ctx, uint8_t sfr_addr, uint8_t value, uint16_t pc);
using MovcReadFn = void (*)(void* ctx, uint16_t addr, uint16_t pc);
using RetiFn = void (*)(void* ctx);

enum class DataSpace : uint8_t { kXdata, kIdata };
// Watch flags of one data byte.
inline constexpr uint8_t kWatchRead = 0x01;
inline constexpr uint8_t kWatchWrite = 0x02;
// A watched data access: `access` is kWatchRead or kWatchWrite. Runs before the instruction's
// effect for internal RAM by @Ri and Rn, as the access happens otherwise.
using DataAccessFn = void (*)(void* ctx, DataSpace space, uint16_t addr, uint8_t access, uint16_t pc);

struct Hooks {
    SfrReadFn read = nullptr;    // a hooked read with no function reads the array
    SfrWriteFn write = nullptr;  // a hooked write with no function only stores
    MovcReadFn movc_read = nullptr;
    void* ctx = nullptr;
    RetiFn reti = nullptr;  // after a RETI has restored the PC
    DataAccessFn data_access = nullptr;
};

enum class StopReason : uint8_t {
    kNone,        // Step(): the instruction completed, nothing asked to stop
    kCycleLimit,  // Run(): the cycle counter reached the limit
    kRequested,   // RequestStop() was called (typically from a callback)
    kBreakpoint,  // Run(): the PC reached a breakpoint; the instruction there has not run
    kSelfJump,    // an SJMP, AJMP or LJMP to its own address ran once (the "halt" idiom)
};

class Cpu {
public:
    static constexpr std::size_t kCodeSize = 0x10000;
    static constexpr std::size_t kXramSize = 0x10000;
    static constexpr std::size_t kIramSize = 0x100;
    static constexpr std::size_t kSfrCount = 0x80;
    static constexpr uint8_t kSfrBase = 0x80;

    // All memory zero, then Reset().
    Cpu();

    // Reset values: PC 0, SP 0x07, P0-P3 0xFF, all other SFRs 0. RAM, external RAM, code,
    // counters, hooks, watches and breakpoints are kept.
    void Reset();

    // --- Run control ---

    // Executes one instruction (breakpoints do not apply). Returns kSelfJump or kRequested when
    // that happened during the instruction, otherwise kNone.
    StopReason Step();
    // Executes instructions until Cycles() >= until_cycle, a breakpoint, a stop request or a
    // self jump; the instruction that reaches the limit completes. A breakpoint at the PC that
    // the previous Run() stopped at is passed over, so calling Run() again resumes.
    StopReason Run(uint64_t until_cycle);
    // Ends Run()/Step() after the current instruction.
    void RequestStop() {
        stop_reason_ = StopReason::kRequested;
        limit_ = 0;
    }
    // Whether a self jump ends Run() (default true). When off, it simply spins.
    void SetStopOnSelfJump(bool on) { stop_on_self_jump_ = on; }
    // Ends Run() after the current instruction without a stop reason (it returns kCycleLimit).
    void Attention() { limit_ = 0; }
    // The hardware call of an interrupt, at an instruction boundary: pushes the PC (low byte
    // first), jumps to `vector` and counts `cycles` machine cycles. No instruction is counted.
    void EnterInterrupt(uint16_t vector, unsigned cycles);
    // Moves the cycle and instruction counters on without running anything (idle loops and idle
    // mode skipped in one go).
    void Skip(uint64_t cycles, uint64_t instructions) {
        cycles_ += cycles;
        instructions_ += instructions;
    }

    void SetBreakpoint(uint16_t addr, bool on) { breakpoints_[addr] = on; }
    bool Breakpoint(uint16_t addr) const { return breakpoints_[addr]; }
    void ClearBreakpoints() { breakpoints_.fill(false); }

    // --- Hooks ---

    void SetHooks(const Hooks& hooks) { hooks_ = hooks; }
    // addr is an SFR address, 0x80-0xFF; lower addresses are ignored.
    void HookSfrRead(uint8_t addr, bool on) {
        if (addr >= kSfrBase) read_hooked_[addr - kSfrBase] = on;
    }
    void HookSfrWrite(uint8_t addr, bool on) {
        if (addr >= kSfrBase) write_hooked_[addr - kSfrBase] = on;
    }
    bool SfrReadHooked(uint8_t addr) const { return addr >= kSfrBase && read_hooked_[addr - kSfrBase]; }
    bool SfrWriteHooked(uint8_t addr) const { return addr >= kSfrBase && write_hooked_[addr - kSfrBase]; }
    // Marks code addresses first..last (inclusive) as watched, or not, for MOVC reads.
    void WatchMovc(uint16_t first, uint16_t last, bool on);
    bool MovcWatched(uint16_t addr) const { return movc_watched_[addr]; }
    // Sets or clears watch flags (kWatchRead, kWatchWrite) on data bytes first..last.
    void WatchData(DataSpace space, uint16_t first, uint16_t last, uint8_t flags, bool on);
    uint8_t DataWatch(DataSpace space, uint16_t addr) const {
        return space == DataSpace::kXdata ? xdata_watch_[addr] : idata_watch_[addr & 0xFF];
    }
    // Valid inside a write hook: the SFR array byte before the CPU stored the written value.
    uint8_t PreviousSfrValue() const { return previous_sfr_value_; }

    // --- State ---

    uint16_t Pc() const { return pc_; }
    void SetPc(uint16_t pc) { pc_ = pc; }
    uint64_t Cycles() const { return cycles_; }
    void SetCycles(uint64_t cycles) { cycles_ = cycles; }
    uint64_t Instructions() const { return instructions_; }
    void SetInstructions(uint64_t count) { instructions_ = count; }

    uint8_t Acc() const { return sfr_[sfr::kAcc - kSfrBase]; }
    void SetAcc(uint8_t value) { SetSfr(sfr::kAcc, value); }
    uint8_t B() const { return sfr_[sfr::kB - kSfrBase]; }
    void SetB(uint8_t value) { SetSfr(sfr::kB, value); }
    uint8_t Psw() const { return sfr_[sfr::kPsw - kSfrBase]; }
    void SetPsw(uint8_t value) { SetSfr(sfr::kPsw, value); }
    uint8_t Sp() const { return sfr_[sfr::kSp - kSfrBase]; }
    void SetSp(uint8_t value) { SetSfr(sfr::kSp, value); }
    uint16_t Dptr() const {
        return static_cast<uint16_t>(sfr_[sfr::kDph - kSfrBase] << kByteBits | sfr_[sfr::kDpl - kSfrBase]);
    }
    void SetDptr(uint16_t value) {
        sfr_[sfr::kDph - kSfrBase] = static_cast<uint8_t>(value >> kByteBits);
        sfr_[sfr::kDpl - kSfrBase] = static_cast<uint8_t>(value);
    }
    // R0-R7 of the bank PSW selects.
    uint8_t Reg(unsigned n) const { return iram_[RegAddr(n)]; }
    void SetReg(unsigned n, uint8_t value) { iram_[RegAddr(n)] = value; }

    // SFR array access by SFR address (0x80-0xFF), without hooks; lower addresses read 0 and
    // ignore writes. SetSfr keeps P equal to the parity of A.
    uint8_t Sfr(uint8_t addr) const { return addr >= kSfrBase ? sfr_[addr - kSfrBase] : 0; }
    void SetSfr(uint8_t addr, uint8_t value) {
        if (addr < kSfrBase) return;
        sfr_[addr - kSfrBase] = value;
        SyncParity();
    }
    // Recomputes P from A; needed only after writing ACC or PSW through Sfrs().
    void SyncParity() {
        uint8_t& p = sfr_[sfr::kPsw - kSfrBase];
        p = static_cast<uint8_t>((p & ~psw::kP) | Parity(sfr_[sfr::kAcc - kSfrBase]));
    }

    // Raw memories. Sfrs()[i] is SFR address 0x80 + i.
    std::span<uint8_t, kCodeSize> Code() { return code_; }
    std::span<const uint8_t, kCodeSize> Code() const { return code_; }
    std::span<uint8_t, kXramSize> Xram() { return xram_; }
    std::span<const uint8_t, kXramSize> Xram() const { return xram_; }
    std::span<uint8_t, kIramSize> Iram() { return iram_; }
    std::span<const uint8_t, kIramSize> Iram() const { return iram_; }
    std::span<uint8_t, kSfrCount> Sfrs() { return sfr_; }
    std::span<const uint8_t, kSfrCount> Sfrs() const { return sfr_; }

    // 1 when the byte has an odd number of set bits: the P flag for that value of A.
    static constexpr uint8_t Parity(uint8_t v) {
        v = static_cast<uint8_t>(v ^ (v >> 4));
        v = static_cast<uint8_t>(v ^ (v >> 2));
        v = static_cast<uint8_t>(v ^ (v >> 1));
        return static_cast<uint8_t>(v & 1u);
    }

private:
    static constexpr unsigned kByteBits = 8;
    static constexpr unsigned kRegNumberMask = 0x07;

    std::size_t RegAddr(unsigned n) const { return (sfr_[sfr::kPsw - kSfrBase] & psw::kBankMask) | (n & kRegNumberMask); }
    template <bool kWatched>
    StopReason RunLoop();
    template <bool kWatched>
    uint16_t Execute(uint16_t pc, uint8_t op);
    template <bool kWatched>
    uint8_t ReadDirect(uint8_t addr, uint16_t pc);
    template <bool kWatched>
    void WriteDirect(uint8_t addr, uint8_t value, uint16_t pc);
    void WriteHookedSfr(uint8_t addr, uint8_t value, uint16_t pc);
    template <bool kWatched>
    bool ReadBit(uint8_t bit, uint16_t pc);
    template <bool kWatched>
    void WriteBit(uint8_t bit, bool value, uint16_t pc);
    void CheckRegisterOperands(uint16_t pc, uint8_t op);
    void DataAccess(DataSpace space, uint16_t addr, uint8_t access, uint16_t pc) {
        const uint8_t flags = space == DataSpace::kXdata ? xdata_watch_[addr] : idata_watch_[addr & 0xFF];
        if ((flags & access) != 0 && hooks_.data_access != nullptr) hooks_.data_access(hooks_.ctx, space, addr, access, pc);
    }
    void Jump(uint16_t target, uint16_t pc);
    void Push(uint8_t value);
    uint8_t Pop();
    void SetAccAndFlags(uint8_t value, uint8_t flag_mask, uint8_t flags);
    void Add(uint8_t operand, unsigned carry);
    void Subb(uint8_t operand);
    void MovcLoad(uint16_t addr, uint16_t pc);

    // The hot state first.
    uint16_t pc_ = 0;
    StopReason stop_reason_ = StopReason::kNone;
    bool stop_on_self_jump_ = true;
    uint8_t previous_sfr_value_ = 0;
    uint64_t cycles_ = 0;
    uint64_t limit_ = 0;
    uint64_t instructions_ = 0;
    int32_t resume_breakpoint_ = -1;  // PC the last Run() stopped at on a breakpoint, or -1
    Hooks hooks_;
    std::array<uint8_t, kSfrCount> sfr_{};
    std::array<uint8_t, kIramSize> iram_{};
    std::array<bool, kSfrCount> read_hooked_{};
    std::array<bool, kSfrCount> write_hooked_{};
    std::array<uint8_t, kCodeSize> code_{};
    std::array<uint8_t, kXramSize> xram_{};
    std::array<bool, kCodeSize> movc_watched_{};
    std::array<bool, kCodeSize> breakpoints_{};
    std::array<uint8_t, kXramSize> xdata_watch_{};
    std::array<uint8_t, kIramSize> idata_watch_{};
    std::size_t data_watch_count_ = 0;  // bytes with any watch flag: selects the watched interpreter
};

}  // namespace sim8051
