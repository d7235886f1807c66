// Differential test against ucsim's s51: random programs over every opcode, with random operands
// and random register and memory contents, run in both simulators. At the end of each program
// the PC, the elapsed time, all internal RAM, all SFRs and every external RAM byte written are
// compared; a program that differs is run again in s51 with the same comparison after every
// instruction, and the first differing instruction is reported with the seed and the case.
//
//   sim8051_s51_diff_test --s51 /usr/bin/s51 [--cases N] [--seed S] [--length L] [--keep]
// The environment variables SIM8051_DIFF_CASES and SIM8051_DIFF_SEED override the defaults for
// longer runs by hand; the arguments override both.
//
// Programs run forward only: every branch, call and return lands on a later instruction of the
// program (returns and JMP @A+DPTR are preceded by code that sets up their target), so each
// program ends at its final SJMP $. Direct SFR operands are limited to registers whose s51 model
// has no side effects (no timers, serial port or interrupt enables).
#include <algorithm>
#include <array>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "sim/cpu/cpu.h"
#include "sim/cpu/opcodes.h"

namespace {

using namespace sim8051;

constexpr uint64_t kDefaultSeed = 0x8051;
constexpr int kDefaultCases = 1000;
constexpr int kDefaultLength = 40;      // random instructions per program
constexpr int kCasesPerS51Run = 100;    // one s51 process runs this many programs
constexpr int kCasesForFullCoverage = 200;  // enough cases to execute every opcode
constexpr int kS51TimeoutSeconds = 300;
constexpr unsigned kTicksPerCycle = 12;  // s51 counts oscillator periods
constexpr uint32_t kMarker = 0x5E000000;  // checkpoint markers printed by s51: kMarker | index
constexpr uint32_t kMarkerMask = 0xFF000000;
constexpr std::size_t kDumpBytesPerLine = 16;
constexpr uint16_t kBlockSize = 0x800;    // AJMP/ACALL reach
// s51 departure: MOVC A,@A+DPTR (and @A+PC) whose sum passes 0xFFFF reads past its 64 KB code
// memory and gets 0; the documented 16-bit address wraps to the bottom of code memory. Code
// page 0 is kept zero in both simulators, so the wrapped read returns 0 too.
constexpr uint16_t kPageSize = 0x100;
constexpr int kMaxForwardEntries = 4;     // how far ahead a branch may land, in entries
constexpr uint8_t kAbsoluteOpcodeMask = 0x1F;  // AJMP/ACALL: opcode bits 7..5 are target bits 10..8
constexpr unsigned kAbsoluteHighShift = 5;
constexpr uint8_t kAbsoluteHighBits = 0x07;

// SFRs that random direct operands may use: their s51 model is plain storage or a port latch
// (port pins read 0xFF, so a port reads as its latch). 0xE8 and 0xF8 have no register on the
// classic part and are plain bytes in both simulators.
constexpr std::array<uint8_t, 12> kDirectSfrs{sfr::kP0, sfr::kSp, sfr::kDpl, sfr::kDph, sfr::kP1, sfr::kP2,
                                              sfr::kP3, sfr::kPsw, sfr::kAcc, sfr::kB, 0xE8, 0xF8};
// s51 models the external interrupt pins P3.2 and P3.3: a 0 written there sets IE0/IE1 in TCON.
// Our core has no peripherals, so TCON is left out of the comparison.
constexpr uint8_t kTcon = 0x88;
constexpr std::array<uint8_t, 9> kBitSfrs{sfr::kP0, sfr::kP1, sfr::kP2, sfr::kP3, sfr::kPsw,
                                          sfr::kAcc, sfr::kB, 0xE8, 0xF8};

// --- A small disassembler for reports ----------------------------------------------------------

struct Family {
    uint8_t first;
    int count;
    int stride;
    const char* text;
};
constexpr Family kFamilies[] = {
    {kNop, 1, 1, "NOP"}, {kAjmp, 8, kAjmpAcallStride, "AJMP addr11"}, {kLjmp, 1, 1, "LJMP addr16"},
    {kRrA, 1, 1, "RR A"}, {kIncA, 1, 1, "INC A"}, {kIncDirect, 1, 1, "INC direct"},
    {kIncIndirect, 2, 1, "INC @Ri"}, {kIncReg, 8, 1, "INC Rn"}, {kJbc, 1, 1, "JBC bit,rel"},
    {kAcall, 8, kAjmpAcallStride, "ACALL addr11"}, {kLcall, 1, 1, "LCALL addr16"}, {kRrcA, 1, 1, "RRC A"},
    {kDecA, 1, 1, "DEC A"}, {kDecDirect, 1, 1, "DEC direct"}, {kDecIndirect, 2, 1, "DEC @Ri"},
    {kDecReg, 8, 1, "DEC Rn"}, {kJb, 1, 1, "JB bit,rel"}, {kRet, 1, 1, "RET"}, {kRlA, 1, 1, "RL A"},
    {kAddImm, 1, 1, "ADD A,#data"}, {kAddDirect, 1, 1, "ADD A,direct"}, {kAddIndirect, 2, 1, "ADD A,@Ri"},
    {kAddReg, 8, 1, "ADD A,Rn"}, {kJnb, 1, 1, "JNB bit,rel"}, {kReti, 1, 1, "RETI"}, {kRlcA, 1, 1, "RLC A"},
    {kAddcImm, 1, 1, "ADDC A,#data"}, {kAddcDirect, 1, 1, "ADDC A,direct"},
    {kAddcIndirect, 2, 1, "ADDC A,@Ri"}, {kAddcReg, 8, 1, "ADDC A,Rn"}, {kJc, 1, 1, "JC rel"},
    {kOrlDirectA, 1, 1, "ORL direct,A"}, {kOrlDirectImm, 1, 1, "ORL direct,#data"},
    {kOrlImm, 1, 1, "ORL A,#data"}, {kOrlDirect, 1, 1, "ORL A,direct"}, {kOrlIndirect, 2, 1, "ORL A,@Ri"},
    {kOrlReg, 8, 1, "ORL A,Rn"}, {kJnc, 1, 1, "JNC rel"}, {kAnlDirectA, 1, 1, "ANL direct,A"},
    {kAnlDirectImm, 1, 1, "ANL direct,#data"}, {kAnlImm, 1, 1, "ANL A,#data"},
    {kAnlDirect, 1, 1, "ANL A,direct"}, {kAnlIndirect, 2, 1, "ANL A,@Ri"}, {kAnlReg, 8, 1, "ANL A,Rn"},
    {kJz, 1, 1, "JZ rel"}, {kXrlDirectA, 1, 1, "XRL direct,A"}, {kXrlDirectImm, 1, 1, "XRL direct,#data"},
    {kXrlImm, 1, 1, "XRL A,#data"}, {kXrlDirect, 1, 1, "XRL A,direct"}, {kXrlIndirect, 2, 1, "XRL A,@Ri"},
    {kXrlReg, 8, 1, "XRL A,Rn"}, {kJnz, 1, 1, "JNZ rel"}, {kOrlCBit, 1, 1, "ORL C,bit"},
    {kJmpADptr, 1, 1, "JMP @A+DPTR"}, {kMovAImm, 1, 1, "MOV A,#data"},
    {kMovDirectImm, 1, 1, "MOV direct,#data"}, {kMovIndirectImm, 2, 1, "MOV @Ri,#data"},
    {kMovRegImm, 8, 1, "MOV Rn,#data"}, {kSjmp, 1, 1, "SJMP rel"}, {kAnlCBit, 1, 1, "ANL C,bit"},
    {kMovcAPc, 1, 1, "MOVC A,@A+PC"}, {kDivAB, 1, 1, "DIV AB"}, {kMovDirectDirect, 1, 1, "MOV direct,direct"},
    {kMovDirectIndirect, 2, 1, "MOV direct,@Ri"}, {kMovDirectReg, 8, 1, "MOV direct,Rn"},
    {kMovDptrImm, 1, 1, "MOV DPTR,#data16"}, {kMovBitC, 1, 1, "MOV bit,C"}, {kMovcADptr, 1, 1, "MOVC A,@A+DPTR"},
    {kSubbImm, 1, 1, "SUBB A,#data"}, {kSubbDirect, 1, 1, "SUBB A,direct"}, {kSubbIndirect, 2, 1, "SUBB A,@Ri"},
    {kSubbReg, 8, 1, "SUBB A,Rn"}, {kOrlCNotBit, 1, 1, "ORL C,/bit"}, {kMovCBit, 1, 1, "MOV C,bit"},
    {kIncDptr, 1, 1, "INC DPTR"}, {kMulAB, 1, 1, "MUL AB"}, {kUndefinedA5, 1, 1, "(undefined A5)"},
    {kMovIndirectDirect, 2, 1, "MOV @Ri,direct"}, {kMovRegDirect, 8, 1, "MOV Rn,direct"},
    {kAnlCNotBit, 1, 1, "ANL C,/bit"}, {kCplBit, 1, 1, "CPL bit"}, {kCplC, 1, 1, "CPL C"},
    {kCjneAImm, 1, 1, "CJNE A,#data,rel"}, {kCjneADirect, 1, 1, "CJNE A,direct,rel"},
    {kCjneIndirectImm, 2, 1, "CJNE @Ri,#data,rel"}, {kCjneRegImm, 8, 1, "CJNE Rn,#data,rel"},
    {kPush, 1, 1, "PUSH direct"}, {kClrBit, 1, 1, "CLR bit"}, {kClrC, 1, 1, "CLR C"}, {kSwapA, 1, 1, "SWAP A"},
    {kXchDirect, 1, 1, "XCH A,direct"}, {kXchIndirect, 2, 1, "XCH A,@Ri"}, {kXchReg, 8, 1, "XCH A,Rn"},
    {kPop, 1, 1, "POP direct"}, {kSetbBit, 1, 1, "SETB bit"}, {kSetbC, 1, 1, "SETB C"}, {kDaA, 1, 1, "DA A"},
    {kDjnzDirect, 1, 1, "DJNZ direct,rel"}, {kXchdIndirect, 2, 1, "XCHD A,@Ri"}, {kDjnzReg, 8, 1, "DJNZ Rn,rel"},
    {kMovxADptr, 1, 1, "MOVX A,@DPTR"}, {kMovxAIndirect, 2, 1, "MOVX A,@Ri"}, {kClrA, 1, 1, "CLR A"},
    {kMovADirect, 1, 1, "MOV A,direct"}, {kMovAIndirect, 2, 1, "MOV A,@Ri"}, {kMovAReg, 8, 1, "MOV A,Rn"},
    {kMovxDptrA, 1, 1, "MOVX @DPTR,A"}, {kMovxIndirectA, 2, 1, "MOVX @Ri,A"}, {kCplA, 1, 1, "CPL A"},
    {kMovDirectA, 1, 1, "MOV direct,A"}, {kMovIndirectA, 2, 1, "MOV @Ri,A"}, {kMovRegA, 8, 1, "MOV Rn,A"},
};

const char* Mnemonic(uint8_t op) {
    for (const Family& f : kFamilies) {
        for (int i = 0; i < f.count; ++i) {
            if (f.first + i * f.stride == op) return f.text;
        }
    }
    return "?";
}

// --- Program generation ------------------------------------------------------------------------

enum class Fixup : uint8_t { kNone, kRel, kAddr11, kAddr16, kAddr16Split };

// One generated unit: instructions whose last one may branch to a later entry.
struct Entry {
    std::vector<uint8_t> bytes;
    Fixup fixup = Fixup::kNone;
    std::size_t fixup_at = 0;  // byte offset of the operand to patch
    int target_entry = 0;
    uint8_t jmp_a = 0;         // JMP @A+DPTR set-up: the A part of the target
};

struct Case {
    uint16_t base = 0;
    uint16_t end = 0;  // address of the final SJMP $
    std::vector<uint8_t> program;
    uint16_t table_addr = 0;  // a page of random code bytes for MOVC
    std::array<uint8_t, 256> table{};
    std::array<uint16_t, 2> xram_pages{};
    std::array<std::array<uint8_t, 256>, 2> xram{};
    std::array<uint8_t, Cpu::kIramSize> iram{};
    std::array<uint8_t, Cpu::kSfrCount> sfr{};
};

// State after one instruction, as our core leaves it.
struct Checkpoint {
    uint16_t insn_pc = 0;  // the instruction just executed
    uint16_t pc = 0;
    uint64_t cycles = 0;  // since the start of the case
    std::array<uint8_t, Cpu::kIramSize> iram{};
    std::array<uint8_t, Cpu::kSfrCount> sfr{};
    std::vector<std::pair<uint16_t, uint8_t>> xram_writes;
    bool psw_written = false;  // by direct address (see Compare)
    // PUSH, POP, calls and returns: s51 ends a multi-instruction "step N" early after one that
    // moves SP across 0xFF/0x00 ("Stack overflow"), so these end a step command.
    bool stack_op = false;
};

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed) {}

    Case Make(int length) {
        Case c;
        c.table_addr = static_cast<uint16_t>((1 + Pick(0xFF)) << 8);  // never page 0, see kPageSize
        for (auto& b : c.table) b = Byte();
        for (std::size_t p = 0; p < c.xram_pages.size(); ++p) {
            c.xram_pages[p] = static_cast<uint16_t>(Pick(0x100) << 8);
            for (auto& b : c.xram[p]) b = Byte();
        }
        table_page_ = static_cast<uint8_t>(c.table_addr >> 8);
        xram_page_hi_ = {static_cast<uint8_t>(c.xram_pages[0] >> 8), static_cast<uint8_t>(c.xram_pages[1] >> 8)};
        for (auto& b : c.iram) b = Byte();

        const auto reset_state = std::make_unique<Cpu>();  // SFR reset values for the rest
        std::copy(reset_state->Sfrs().begin(), reset_state->Sfrs().end(), c.sfr.begin());
        const auto set = [&](uint8_t addr, uint8_t v) { c.sfr[addr - Cpu::kSfrBase] = v; };
        for (const uint8_t addr : kDirectSfrs) set(addr, Byte());
        set(sfr::kDph, Chance(2) ? xram_page_hi_[0] : table_page_);
        set(sfr::kP2, xram_page_hi_[1]);
        set(sfr::kPsw, static_cast<uint8_t>((c.sfr[sfr::kPsw - Cpu::kSfrBase] & ~psw::kP) |
                                            Cpu::Parity(c.sfr[sfr::kAcc - Cpu::kSfrBase])));

        std::vector<Entry> entries;
        for (int i = 0; i < length; ++i) entries.push_back(RandomEntry(static_cast<int>(entries.size()), length));
        Entry halt;
        halt.bytes = {kSjmp, 0xFE};
        entries.push_back(halt);
        // Anywhere inside one AJMP block, so that AJMP/ACALL reach all eight of their opcodes, and
        // clear of code page 0 and of the MOVC table.
        std::size_t size = 0;
        for (const Entry& e : entries) size += e.bytes.size();
        const auto overlaps = [&](unsigned base) {
            const std::size_t first_page = base / kPageSize, last_page = (base + size - 1) / kPageSize;
            const std::size_t table_page = c.table_addr / kPageSize;
            return first_page == 0 || (table_page >= first_page && table_page <= last_page);
        };
        unsigned base;
        do {
            base = Pick(Cpu::kCodeSize / kBlockSize) * kBlockSize + Pick(kBlockSize - size + 1);
        } while (overlaps(base));
        c.base = static_cast<uint16_t>(base);
        Layout(c, entries);
        return c;
    }

private:
    unsigned Pick(std::size_t n) { return static_cast<unsigned>(rng_() % n); }
    bool Chance(unsigned one_in) { return Pick(one_in) == 0; }
    uint8_t Byte() { return static_cast<uint8_t>(rng_()); }
    uint8_t Direct() { return Chance(3) ? kDirectSfrs[Pick(kDirectSfrs.size())] : static_cast<uint8_t>(Pick(0x80)); }
    uint8_t Bit() {
        return Chance(3) ? static_cast<uint8_t>(kBitSfrs[Pick(kBitSfrs.size())] + Pick(8))
                         : static_cast<uint8_t>(Pick(0x80));
    }
    // Addresses where MOVC and MOVX find the random data most of the time.
    uint16_t DataPointer() {
        const unsigned r = Pick(4);
        const uint8_t hi = r == 0 ? table_page_ : r == 1 ? xram_page_hi_[0] : r == 2 ? xram_page_hi_[1] : Byte();
        return static_cast<uint16_t>(hi << 8 | Byte());
    }
    int Target(int index, int length) {
        return index + 1 + static_cast<int>(Pick(static_cast<std::size_t>(std::min(kMaxForwardEntries, length - index))));
    }

    Entry RandomEntry(int index, int length) {
        Entry e;
        const uint8_t op = Byte();
        e.bytes.push_back(op);
        const auto branch = [&](Fixup kind) {
            e.fixup = kind;
            e.fixup_at = e.bytes.size();
            e.target_entry = Target(index, length);
            e.bytes.push_back(0);
            if (kind == Fixup::kAddr16) e.bytes.push_back(0);
        };
        switch (op) {
        case kRet:
        case kReti:
            // MOV A,#low ; PUSH ACC ; MOV A,#high ; PUSH ACC ; RET(I)
            e.bytes = {kMovAImm, 0, kPush, sfr::kAcc, kMovAImm, 0, kPush, sfr::kAcc, op};
            e.fixup = Fixup::kAddr16Split;
            e.target_entry = Target(index, length);
            return e;
        case kJmpADptr:
            // MOV DPTR,#target-a ; MOV A,#a ; JMP @A+DPTR
            e.jmp_a = Byte();
            e.bytes = {kMovDptrImm, 0, 0, kMovAImm, e.jmp_a, kJmpADptr};
            e.fixup = Fixup::kAddr16;
            e.fixup_at = 1;
            e.target_entry = Target(index, length);
            return e;
        case kLjmp:
        case kLcall:
            branch(Fixup::kAddr16);
            return e;
        case kMovDptrImm: {
            const uint16_t v = DataPointer();
            e.bytes.push_back(static_cast<uint8_t>(v >> 8));
            e.bytes.push_back(static_cast<uint8_t>(v));
            return e;
        }
        case kMovDirectDirect:
            e.bytes.push_back(Direct());
            e.bytes.push_back(Direct());
            return e;
        default:
            break;
        }
        if ((op & kAbsoluteOpcodeMask) == kAjmp || (op & kAbsoluteOpcodeMask) == kAcall) {
            branch(Fixup::kAddr11);
            return e;
        }
        switch (op) {
        case kJc: case kJnc: case kJz: case kJnz: case kSjmp:
        case kDjnzReg: case kDjnzReg + 1: case kDjnzReg + 2: case kDjnzReg + 3:
        case kDjnzReg + 4: case kDjnzReg + 5: case kDjnzReg + 6: case kDjnzReg + 7:
            branch(Fixup::kRel);
            return e;
        case kJbc: case kJb: case kJnb:
            e.bytes.push_back(Bit());
            branch(Fixup::kRel);
            return e;
        case kCjneADirect: case kDjnzDirect:
            e.bytes.push_back(Direct());
            branch(Fixup::kRel);
            return e;
        case kCjneAImm: case kCjneIndirectImm: case kCjneIndirectImm + 1:
        case kCjneRegImm: case kCjneRegImm + 1: case kCjneRegImm + 2: case kCjneRegImm + 3:
        case kCjneRegImm + 4: case kCjneRegImm + 5: case kCjneRegImm + 6: case kCjneRegImm + 7:
            e.bytes.push_back(Chance(4) ? Byte() : static_cast<uint8_t>(Pick(4)));  // equal now and then
            branch(Fixup::kRel);
            return e;
        case kOrlCBit: case kAnlCBit: case kMovBitC: case kOrlCNotBit: case kMovCBit:
        case kAnlCNotBit: case kCplBit: case kClrBit: case kSetbBit:
            e.bytes.push_back(Bit());
            return e;
        case kOrlDirectImm: case kAnlDirectImm: case kXrlDirectImm: case kMovDirectImm:
            e.bytes.push_back(Direct());
            e.bytes.push_back(Byte());
            return e;
        default:
            break;
        }
        // Remaining two-byte forms: direct operand, or immediate data.
        if (kInstructionLength[op] == 2) {
            const bool immediate = op == kAddImm || op == kAddcImm || op == kOrlImm || op == kAnlImm ||
                                   op == kXrlImm || op == kMovAImm || op == kSubbImm ||
                                   (op >= kMovIndirectImm && op < kMovRegImm + 8);
            e.bytes.push_back(immediate ? Byte() : Direct());
        }
        return e;
    }

    void Layout(Case& c, std::vector<Entry>& entries) {
        std::vector<uint16_t> addr(entries.size());
        uint16_t at = c.base;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            addr[i] = at;
            at = static_cast<uint16_t>(at + entries[i].bytes.size());
        }
        c.end = addr.back();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            Entry& e = entries[i];
            const uint16_t target = addr[static_cast<std::size_t>(e.target_entry)];
            const uint16_t next = static_cast<uint16_t>(addr[i] + e.bytes.size());
            switch (e.fixup) {
            case Fixup::kNone:
                break;
            case Fixup::kRel:
                e.bytes[e.fixup_at] = static_cast<uint8_t>(target - next);
                break;
            case Fixup::kAddr11:
                e.bytes[0] = static_cast<uint8_t>((e.bytes[0] & kAbsoluteOpcodeMask) |
                                                  ((target >> 8) & kAbsoluteHighBits) << kAbsoluteHighShift);
                e.bytes[e.fixup_at] = static_cast<uint8_t>(target);
                break;
            case Fixup::kAddr16: {
                const uint16_t v = static_cast<uint16_t>(target - e.jmp_a);
                e.bytes[e.fixup_at] = static_cast<uint8_t>(v >> 8);
                e.bytes[e.fixup_at + 1] = static_cast<uint8_t>(v);
                break;
            }
            case Fixup::kAddr16Split:
                e.bytes[1] = static_cast<uint8_t>(target);
                e.bytes[5] = static_cast<uint8_t>(target >> 8);
                break;
            }
            c.program.insert(c.program.end(), e.bytes.begin(), e.bytes.end());
        }
    }

    std::mt19937_64 rng_;
    uint8_t table_page_ = 0;
    std::array<uint8_t, 2> xram_page_hi_{};
};

// --- Our run ------------------------------------------------------------------------------------

void Prepare(Cpu& cpu, const Case& c) {
    std::fill(cpu.Code().begin(), cpu.Code().end(), 0xFF);  // s51 reads unprogrammed code as 0xFF
    std::fill(cpu.Code().begin(), cpu.Code().begin() + kPageSize, 0x00);  // see kPageSize
    std::copy(c.program.begin(), c.program.end(), cpu.Code().begin() + c.base);
    std::copy(c.table.begin(), c.table.end(), cpu.Code().begin() + c.table_addr);
    std::fill(cpu.Xram().begin(), cpu.Xram().end(), 0);
    for (std::size_t p = 0; p < c.xram_pages.size(); ++p) {
        std::copy(c.xram[p].begin(), c.xram[p].end(), cpu.Xram().begin() + c.xram_pages[p]);
    }
    std::copy(c.iram.begin(), c.iram.end(), cpu.Iram().begin());
    std::copy(c.sfr.begin(), c.sfr.end(), cpu.Sfrs().begin());
    cpu.SyncParity();
    cpu.SetPc(c.base);
    cpu.SetCycles(0);
}

// Runs the case to its final SJMP $, recording the state after every instruction. A write hook
// on PSW (which stores as usual) tells which instructions write PSW by direct address.
std::vector<Checkpoint> RunOurs(Cpu& cpu, const Case& c) {
    Prepare(cpu, c);
    bool psw_written = false;
    cpu.SetHooks({nullptr, [](void* ctx, uint8_t, uint8_t, uint16_t) { *static_cast<bool*>(ctx) = true; }, nullptr,
                  &psw_written});
    cpu.HookSfrWrite(sfr::kPsw, true);
    std::vector<Checkpoint> out;
    while (cpu.Pc() != c.end && out.size() <= c.program.size()) {
        Checkpoint cp;
        cp.insn_pc = cpu.Pc();
        const uint8_t op = cpu.Code()[cp.insn_pc];
        std::optional<uint16_t> xaddr;
        if (op == kMovxDptrA) xaddr = cpu.Dptr();
        if (op == kMovxIndirectA || op == kMovxIndirectA + 1) {
            xaddr = static_cast<uint16_t>(cpu.Sfr(sfr::kP2) << 8 | cpu.Reg(op & 1u));
        }
        psw_written = false;
        cpu.Step();
        cp.pc = cpu.Pc();
        cp.cycles = cpu.Cycles();
        std::copy(cpu.Iram().begin(), cpu.Iram().end(), cp.iram.begin());
        std::copy(cpu.Sfrs().begin(), cpu.Sfrs().end(), cp.sfr.begin());
        if (xaddr) cp.xram_writes.emplace_back(*xaddr, cpu.Xram()[*xaddr]);
        cp.psw_written = psw_written;
        cp.stack_op = op == kPush || op == kPop || op == kLcall || op == kRet || op == kReti ||
                      (op & kAbsoluteOpcodeMask) == kAcall;
        out.push_back(std::move(cp));
    }
    cpu.HookSfrWrite(sfr::kPsw, false);
    cpu.SetHooks({});
    return out;
}

// The state after the last instruction, with the final value of every external RAM byte written.
Checkpoint FinalState(const std::vector<Checkpoint>& steps) {
    Checkpoint last = steps.back();
    last.xram_writes.clear();
    for (const Checkpoint& cp : steps) {
        for (const auto& [addr, value] : cp.xram_writes) {
            auto it = std::find_if(last.xram_writes.begin(), last.xram_writes.end(),
                                   [a = addr](const auto& w) { return w.first == a; });
            if (it == last.xram_writes.end()) last.xram_writes.emplace_back(addr, value);
            else it->second = value;
        }
    }
    return last;
}

// --- s51 ----------------------------------------------------------------------------------------

void SetMemory(std::ostream& os, const char* space, unsigned addr, std::span<const uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); i += kDumpBytesPerLine) {
        os << "set memory " << space << " 0x" << std::hex << addr + i;
        for (std::size_t j = i; j < std::min(bytes.size(), i + kDumpBytesPerLine); ++j) os << " 0x" << int(bytes[j]);
        os << std::dec << "\n";
    }
}

void EmitCheckpoint(std::ostream& os, uint32_t index, const std::vector<uint16_t>& xram_addrs) {
    os << "expr /X 0x" << std::hex << (kMarker | index) << "\n";
    os << "expr /X PC\nexpr /X sim_ticks\n";
    for (const uint16_t a : xram_addrs) os << "expr /X xram[0x" << a << "]\n";
    os << std::dec << "dump iram_chip 0 0xff 16\ndump sfr_chip 0 0x7f 16\n";
}

struct S51State {
    uint32_t pc = 0;
    uint64_t ticks = 0;
    std::vector<uint8_t> xram;
    std::array<uint8_t, Cpu::kIramSize> iram{};
    std::array<uint8_t, Cpu::kSfrCount> sfr{};
};

std::optional<uint64_t> HexOnly(const std::string& line) {
    if (line.size() < 3 || line.compare(0, 2, "0x") != 0) return std::nullopt;
    uint64_t v = 0;
    for (std::size_t i = 2; i < line.size(); ++i) {
        const char ch = line[i];
        unsigned d;
        if (ch >= '0' && ch <= '9') d = static_cast<unsigned>(ch - '0');
        else if (ch >= 'a' && ch <= 'f') d = static_cast<unsigned>(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') d = static_cast<unsigned>(ch - 'A' + 10);
        else return std::nullopt;
        v = v << 4 | d;
    }
    return v;
}

// A dump line: "0xNN", padding, up to 16 bytes in fixed three-character slots, then the bytes
// as text. s51 sometimes breaks a line early, so the count varies; only the byte slots are read,
// as the text column may hold anything. Returns the address and the bytes.
bool DumpLine(const std::string& line, unsigned& addr, std::vector<uint8_t>& bytes) {
    constexpr std::size_t kSlotWidth = 3;
    if (line.size() < 3 || line.compare(0, 2, "0x") != 0) return false;
    const std::size_t addr_end = line.find(' ');
    if (addr_end == std::string::npos) return false;
    const std::size_t first = line.find_first_not_of(' ', addr_end);
    if (first == std::string::npos) return false;
    addr = static_cast<unsigned>(std::strtoul(line.c_str() + 2, nullptr, 16));
    bytes.clear();
    for (std::size_t at = first; at + 2 <= line.size() && bytes.size() < kDumpBytesPerLine; at += kSlotWidth) {
        const char hi = line[at], lo = line[at + 1];
        if (hi == ' ' && lo == ' ') break;  // an unused slot: the line ended early
        if (!std::isxdigit(static_cast<unsigned char>(hi)) || !std::isxdigit(static_cast<unsigned char>(lo)) ||
            (at + 2 < line.size() && line[at + 2] != ' ')) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(std::strtoul(line.substr(at, 2).c_str(), nullptr, 16)));
    }
    return !bytes.empty();
}

// Reads the checkpoints from s51's output, in marker order.
bool ParseS51(const std::string& text, const std::vector<std::size_t>& xram_counts, std::vector<S51State>& out,
              std::string& error) {
    std::istringstream in(text);
    std::string line;
    out.assign(xram_counts.size(), {});
    std::size_t index = 0;
    bool in_checkpoint = false;
    std::size_t values = 0, dump_bytes = 0;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        const auto hex = HexOnly(line);
        if (hex && (*hex & kMarkerMask) == kMarker) {
            index = static_cast<std::size_t>(*hex & ~kMarkerMask);
            if (index >= out.size()) {
                error = "unexpected marker " + line;
                return false;
            }
            in_checkpoint = true;
            values = dump_bytes = 0;
            continue;
        }
        if (!in_checkpoint) continue;
        S51State& s = out[index];
        const std::size_t wanted_values = 2 + xram_counts[index];
        if (values < wanted_values) {
            if (!hex) continue;
            if (values == 0) s.pc = static_cast<uint32_t>(*hex);
            else if (values == 1) s.ticks = *hex;
            else s.xram.push_back(static_cast<uint8_t>(*hex));
            ++values;
            continue;
        }
        unsigned addr;
        std::vector<uint8_t> bytes;
        if (!DumpLine(line, addr, bytes)) continue;
        // The RAM dump comes first, then the SFR dump; both are counted in bytes.
        const bool in_iram = dump_bytes < Cpu::kIramSize;
        const std::size_t size = in_iram ? Cpu::kIramSize : Cpu::kSfrCount;
        if (addr + bytes.size() > size) {
            error = "dump line out of range: " + line;
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), (in_iram ? s.iram.begin() : s.sfr.begin()) + addr);
        dump_bytes += bytes.size();
        if (dump_bytes == Cpu::kIramSize + Cpu::kSfrCount) in_checkpoint = false;
    }
    return true;
}

std::string Hex(unsigned v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, v);
    return buf;
}

std::string Describe(const Cpu& code_owner, uint16_t pc) {
    const uint8_t op = code_owner.Code()[pc];
    std::string s = Hex(pc, 4) + ":";
    // Appended piecewise: GCC 12 at -O3 reports a false -Wrestrict overlap for " " + temporary.
    for (unsigned i = 0; i < kInstructionLength[op]; ++i) {
        s += ' ';
        s += Hex(code_owner.Code()[(pc + i) & 0xFFFF], 2);
    }
    s += "  ";
    s += Mnemonic(op);
    return s;
}

// Compares one checkpoint; returns the differences, empty when equal.
std::vector<std::string> Compare(const Checkpoint& ours, const S51State& theirs, uint64_t start_ticks) {
    std::vector<std::string> diffs;
    if (ours.pc != theirs.pc) diffs.push_back("PC: ours " + Hex(ours.pc, 4) + ", s51 " + Hex(theirs.pc, 4));
    const uint64_t ticks = theirs.ticks - start_ticks;
    if (ours.cycles * kTicksPerCycle != ticks) {
        diffs.push_back("cycles: ours " + std::to_string(ours.cycles) + ", s51 " + std::to_string(ticks) + " ticks / 12");
    }
    for (std::size_t i = 0; i < ours.iram.size(); ++i) {
        if (ours.iram[i] != theirs.iram[i]) {
            diffs.push_back("iram[" + Hex(unsigned(i), 2) + "]: ours " + Hex(ours.iram[i], 2) + ", s51 " +
                            Hex(theirs.iram[i], 2));
        }
    }
    constexpr std::size_t kPswIndex = sfr::kPsw - Cpu::kSfrBase;
    constexpr std::size_t kAccIndex = sfr::kAcc - Cpu::kSfrBase;
    if ((ours.sfr[kPswIndex] & psw::kP) != Cpu::Parity(ours.sfr[kAccIndex])) {
        diffs.push_back("P does not follow A: PSW " + Hex(ours.sfr[kPswIndex], 2) + ", A " + Hex(ours.sfr[kAccIndex], 2));
    }
    // s51 departure: it keeps P as written by a direct write to PSW (MOV, bit operations, POP)
    // until A next changes; the documented P always follows A. Where s51's P disagrees with its
    // own A, P is left out of the comparison (the script then copies our PSW into s51).
    const bool s51_p_stale = (theirs.sfr[kPswIndex] & psw::kP) != Cpu::Parity(theirs.sfr[kAccIndex]);
    for (std::size_t i = 0; i < ours.sfr.size(); ++i) {
        if (i + Cpu::kSfrBase == kTcon) continue;
        const uint8_t ignore = i == kPswIndex && s51_p_stale ? psw::kP : 0;
        if ((ours.sfr[i] | ignore) != (theirs.sfr[i] | ignore)) {
            diffs.push_back("sfr[" + Hex(unsigned(i + Cpu::kSfrBase), 2) + "]: ours " + Hex(ours.sfr[i], 2) +
                            ", s51 " + Hex(theirs.sfr[i], 2));
        }
    }
    for (std::size_t i = 0; i < ours.xram_writes.size(); ++i) {
        const auto [addr, value] = ours.xram_writes[i];
        if (i >= theirs.xram.size() || theirs.xram[i] != value) {
            diffs.push_back("xram[" + Hex(addr, 4) + "]: ours " + Hex(value, 2) + ", s51 " +
                            (i < theirs.xram.size() ? Hex(theirs.xram[i], 2) : std::string("?")));
        }
    }
    return diffs;
}

struct Options {
    std::string s51 = "s51";
    uint64_t seed = kDefaultSeed;
    int cases = kDefaultCases;
    int length = kDefaultLength;
    bool keep = false;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    if (const char* v = std::getenv("SIM8051_DIFF_CASES")) o.cases = std::atoi(v);
    if (const char* v = std::getenv("SIM8051_DIFF_SEED")) o.seed = std::strtoull(v, nullptr, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--s51" && has_value) o.s51 = argv[++i];
        else if (arg == "--seed" && has_value) o.seed = std::strtoull(argv[++i], nullptr, 0);
        else if (arg == "--cases" && has_value) o.cases = std::atoi(argv[++i]);
        else if (arg == "--length" && has_value) o.length = std::atoi(argv[++i]);
        else if (arg == "--keep") o.keep = true;
        else return false;
    }
    return o.cases > 0 && o.length > 0 && o.length < 100;
}

struct RunCase {
    int index = 0;
    Case c;
    std::vector<Checkpoint> steps;
};

// One s51 checkpoint to compare: the start of a case (step -1) or the state after a step.
struct Expected {
    std::size_t run = 0;
    int step = -1;
    Checkpoint state;
};

// Appends the s51 commands for one case. Per step, every step is a checkpoint; otherwise only
// the end of the case is, and the steps run in as few "step N" commands as possible.
void Script(std::ostream& cmds, std::size_t run, const RunCase& rc, bool per_step, std::vector<Expected>& expected) {
    const Case& c = rc.c;
    cmds << "fill rom 0 0xffff 0xff\nfill rom 0 0xff 0\n";
    SetMemory(cmds, "rom", c.base, c.program);
    SetMemory(cmds, "rom", c.table_addr, c.table);
    cmds << "fill xram 0 0xffff 0\n";
    for (std::size_t p = 0; p < c.xram_pages.size(); ++p) SetMemory(cmds, "xram", c.xram_pages[p], c.xram[p]);
    SetMemory(cmds, "iram_chip", 0, c.iram);
    SetMemory(cmds, "sfr_chip", 0, c.sfr);
    // Written again through the SFR address space, so that s51 switches its register bank.
    const uint8_t psw_value = c.sfr[sfr::kPsw - Cpu::kSfrBase];
    SetMemory(cmds, "sfr", sfr::kPsw, std::span<const uint8_t>(&psw_value, 1));
    cmds << "pc 0x" << std::hex << c.base << std::dec << "\n";
    const auto checkpoint = [&](int step, Checkpoint state) {
        std::vector<uint16_t> addrs;
        for (const auto& w : state.xram_writes) addrs.push_back(w.first);
        EmitCheckpoint(cmds, static_cast<uint32_t>(expected.size()), addrs);
        expected.push_back({run, step, std::move(state)});
    };
    Checkpoint start;
    start.pc = c.base;
    start.iram = c.iram;
    start.sfr = c.sfr;
    checkpoint(-1, start);
    int pending = 0;
    for (std::size_t s = 0; s < rc.steps.size(); ++s) {
        ++pending;
        const bool last = s + 1 == rc.steps.size();
        if (!per_step && !last && !rc.steps[s].psw_written && !rc.steps[s].stack_op) continue;
        cmds << "step " << pending << "\n";
        pending = 0;
        if (per_step) checkpoint(static_cast<int>(s), rc.steps[s]);
        else if (last) checkpoint(static_cast<int>(s), FinalState(rc.steps));
        if (rc.steps[s].psw_written) {
            // Keeps s51's P in step with A (see Compare) for the instructions that follow.
            const uint8_t psw_after = rc.steps[s].sfr[sfr::kPsw - Cpu::kSfrBase];
            SetMemory(cmds, "sfr", sfr::kPsw, std::span<const uint8_t>(&psw_after, 1));
        }
    }
}

struct Difference {
    std::size_t run = 0;
    int step = -1;
    std::vector<std::string> details;
};

// Runs the script through s51 and compares; the first difference, if any, is returned.
std::optional<Difference> RunS51(const Options& o, const std::filesystem::path& file_stem,
                                 const std::vector<RunCase>& runs, bool per_step, bool& failed) {
    std::ostringstream cmds;
    std::vector<Expected> expected;
    for (std::size_t r = 0; r < runs.size(); ++r) Script(cmds, r, runs[r], per_step, expected);
    cmds << "quit\n";
    const auto cmd_path = file_stem.string() + "-cmds.txt";
    const auto out_path = file_stem.string() + "-out.txt";
    std::ofstream(cmd_path) << cmds.str();
    const std::string command = "timeout " + std::to_string(kS51TimeoutSeconds) + " " + o.s51 +
                                " -b -t 8052 -C '" + cmd_path + "' </dev/null >'" + out_path + "' 2>&1";
    const int status = std::system(command.c_str());
    failed = true;
    if (status != 0) {
        std::printf("s51 failed (status %d): %s\n", status, command.c_str());
        return std::nullopt;
    }
    std::ifstream in(out_path);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::size_t> xram_counts;
    for (const Expected& e : expected) xram_counts.push_back(e.state.xram_writes.size());
    std::vector<S51State> theirs;
    std::string error;
    if (!ParseS51(text.str(), xram_counts, theirs, error)) {
        std::printf("cannot read s51 output %s: %s\n", out_path.c_str(), error.c_str());
        return std::nullopt;
    }
    failed = false;
    uint64_t start_ticks = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Expected& e = expected[i];
        if (e.step < 0) start_ticks = theirs[i].ticks;
        auto diffs = Compare(e.state, theirs[i], start_ticks);
        if (!diffs.empty()) return Difference{e.run, e.step, std::move(diffs)};
    }
    return std::nullopt;
}

// Runs cases [first, first + count), checking each at its end, then any case that differs
// again instruction by instruction to find where. Returns false on a difference.
bool RunBatch(const Options& o, const std::filesystem::path& dir, int first, int count, Cpu& cpu,
              std::array<bool, 256>& executed) {
    std::vector<RunCase> runs;
    for (int k = first; k < first + count; ++k) {
        const uint64_t case_seed = o.seed + static_cast<uint64_t>(k);
        RunCase rc;
        rc.index = k;
        rc.c = Generator(case_seed).Make(o.length);
        rc.steps = RunOurs(cpu, rc.c);
        for (const Checkpoint& cp : rc.steps) executed[cpu.Code()[cp.insn_pc]] = true;
        runs.push_back(std::move(rc));
    }
    bool failed = false;
    auto diff = RunS51(o, dir / ("batch-" + std::to_string(first)), runs, false, failed);
    if (failed) return false;
    if (!diff) return true;
    const RunCase& bad = runs[diff->run];
    bool rerun_failed = false;
    const std::vector<RunCase> single{bad};
    if (auto first_diff = RunS51(o, dir / ("case-" + std::to_string(bad.index)), single, true, rerun_failed)) {
        diff = std::move(first_diff);
        diff->run = 0;
    } else if (rerun_failed) {
        return false;
    }
    Prepare(cpu, bad.c);
    std::printf("DIFFERENCE: seed %" PRIu64 " case %d (rerun: --seed %" PRIu64 " --cases %d --length %d)\n", o.seed,
                bad.index, o.seed, bad.index + 1, o.length);
    if (diff->step < 0) {
        std::printf("  in the initial state\n");
    } else {
        const auto at = [&](int step) { return Describe(cpu, bad.steps[static_cast<std::size_t>(step)].insn_pc); };
        std::printf("  step %d, instruction %s\n", diff->step, at(diff->step).c_str());
        if (diff->step > 0) std::printf("  after               %s\n", at(diff->step - 1).c_str());
    }
    for (const auto& d : diff->details) std::printf("  %s\n", d.c_str());
    std::printf("  program at %s:", Hex(bad.c.base, 4).c_str());
    for (const uint8_t b : bad.c.program) std::printf(" %02X", b);
    std::printf("\n  s51 commands and output kept in %s\n", dir.string().c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: %s [--s51 PATH] [--cases N] [--seed S] [--length L<100] [--keep]\n", argv[0]);
        return 2;
    }
    std::printf("s51 differential test: seed %" PRIu64 ", %d cases of %d instructions\n", o.seed, o.cases, o.length);
    std::fflush(stdout);

    char dir_template[] = "/tmp/sim8051-diff-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = dir_template;
    auto cpu = std::make_unique<Cpu>();
    std::array<bool, 256> executed{};
    bool ok = true;
    for (int first = 0; first < o.cases && ok; first += kCasesPerS51Run) {
        ok = RunBatch(o, dir, first, std::min(kCasesPerS51Run, o.cases - first), *cpu, executed);
    }
    if (ok && !o.keep) std::filesystem::remove_all(dir);
    // Every opcode must have run somewhere, or the generator has lost one.
    const auto ran = std::count(executed.begin(), executed.end(), true);
    std::printf("opcodes executed: %d of 256\n", static_cast<int>(ran));
    if (ok && o.cases >= kCasesForFullCoverage && ran != 256) {
        std::printf("not executed:");
        for (std::size_t op = 0; op < executed.size(); ++op) {
            if (!executed[op]) std::printf(" %02zX", op);
        }
        std::printf("\n");
        ok = false;
    }
    std::printf("%s\n", ok ? "all cases agree" : "FAILED");
    return ok ? 0 : 1;
}
