// 8051 opcode map: the first opcode of each instruction family, and per-opcode length and
// machine-cycle tables (one machine cycle is twelve oscillator periods on the classic part).
#pragma once

#include <array>
#include <cstdint>

namespace sim8051 {

// Families that take a register (Rn) occupy eight consecutive opcodes starting at the named one,
// families that take @Ri two. AJMP and ACALL repeat every 0x20 opcodes: bits 7..5 of the opcode
// are bits 10..8 of the target.
enum Opcode : uint8_t {
    kNop = 0x00, kAjmp = 0x01, kLjmp = 0x02, kRrA = 0x03,
    kIncA = 0x04, kIncDirect = 0x05, kIncIndirect = 0x06, kIncReg = 0x08,
    kJbc = 0x10, kAcall = 0x11, kLcall = 0x12, kRrcA = 0x13,
    kDecA = 0x14, kDecDirect = 0x15, kDecIndirect = 0x16, kDecReg = 0x18,
    kJb = 0x20, kRet = 0x22, kRlA = 0x23,
    kAddImm = 0x24, kAddDirect = 0x25, kAddIndirect = 0x26, kAddReg = 0x28,
    kJnb = 0x30, kReti = 0x32, kRlcA = 0x33,
    kAddcImm = 0x34, kAddcDirect = 0x35, kAddcIndirect = 0x36, kAddcReg = 0x38,
    kJc = 0x40, kOrlDirectA = 0x42, kOrlDirectImm = 0x43,
    kOrlImm = 0x44, kOrlDirect = 0x45, kOrlIndirect = 0x46, kOrlReg = 0x48,
    kJnc = 0x50, kAnlDirectA = 0x52, kAnlDirectImm = 0x53,
    kAnlImm = 0x54, kAnlDirect = 0x55, kAnlIndirect = 0x56, kAnlReg = 0x58,
    kJz = 0x60, kXrlDirectA = 0x62, kXrlDirectImm = 0x63,
    kXrlImm = 0x64, kXrlDirect = 0x65, kXrlIndirect = 0x66, kXrlReg = 0x68,
    kJnz = 0x70, kOrlCBit = 0x72, kJmpADptr = 0x73,
    kMovAImm = 0x74, kMovDirectImm = 0x75, kMovIndirectImm = 0x76, kMovRegImm = 0x78,
    kSjmp = 0x80, kAnlCBit = 0x82, kMovcAPc = 0x83, kDivAB = 0x84,
    kMovDirectDirect = 0x85, kMovDirectIndirect = 0x86, kMovDirectReg = 0x88,
    kMovDptrImm = 0x90, kMovBitC = 0x92, kMovcADptr = 0x93,
    kSubbImm = 0x94, kSubbDirect = 0x95, kSubbIndirect = 0x96, kSubbReg = 0x98,
    kOrlCNotBit = 0xA0, kMovCBit = 0xA2, kIncDptr = 0xA3, kMulAB = 0xA4, kUndefinedA5 = 0xA5,
    kMovIndirectDirect = 0xA6, kMovRegDirect = 0xA8,
    kAnlCNotBit = 0xB0, kCplBit = 0xB2, kCplC = 0xB3,
    kCjneAImm = 0xB4, kCjneADirect = 0xB5, kCjneIndirectImm = 0xB6, kCjneRegImm = 0xB8,
    kPush = 0xC0, kClrBit = 0xC2, kClrC = 0xC3, kSwapA = 0xC4,
    kXchDirect = 0xC5, kXchIndirect = 0xC6, kXchReg = 0xC8,
    kPop = 0xD0, kSetbBit = 0xD2, kSetbC = 0xD3, kDaA = 0xD4,
    kDjnzDirect = 0xD5, kXchdIndirect = 0xD6, kDjnzReg = 0xD8,
    kMovxADptr = 0xE0, kMovxAIndirect = 0xE2, kClrA = 0xE4,
    kMovADirect = 0xE5, kMovAIndirect = 0xE6, kMovAReg = 0xE8,
    kMovxDptrA = 0xF0, kMovxIndirectA = 0xF2, kCplA = 0xF4,
    kMovDirectA = 0xF5, kMovIndirectA = 0xF6, kMovRegA = 0xF8,
};

inline constexpr uint8_t kAjmpAcallStride = 0x20;

// Instruction length in bytes, indexed by opcode (row: high nibble, column: low nibble).
inline constexpr std::array<uint8_t, 256> kInstructionLength{
    1, 2, 3, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x00
    3, 2, 3, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x10
    3, 2, 1, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x20
    3, 2, 1, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x30
    2, 2, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x40
    2, 2, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x50
    2, 2, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x60
    2, 2, 2, 1, 2, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0x70
    2, 2, 2, 1, 1, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0x80
    3, 2, 2, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x90
    2, 2, 2, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xA0
    2, 2, 2, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,  // 0xB0
    2, 2, 2, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xC0
    2, 2, 2, 1, 1, 3, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xD0
    1, 2, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xE0
    1, 2, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xF0
};

// Machine cycles per instruction, indexed by opcode: 4 for MUL and DIV, 2 for jumps, calls,
// returns, MOVX, MOVC, PUSH/POP and most three-byte forms, 1 otherwise.
inline constexpr std::array<uint8_t, 256> kMachineCycles{
    1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x00
    2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x10
    2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x20
    2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x30
    2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x40
    2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x50
    2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x60
    2, 2, 2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x70
    2, 2, 2, 2, 4, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0x80
    2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x90
    2, 2, 1, 2, 4, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xA0
    2, 2, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xB0
    2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xC0
    2, 2, 1, 1, 1, 2, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xD0
    2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xE0
    2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xF0
};

}  // namespace sim8051
