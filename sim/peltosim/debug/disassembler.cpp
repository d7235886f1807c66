#include "disassembler.h"

#include <array>
#include <optional>
#include <sstream>
#include <string_view>

#include "sim/chip/regs.h"
#include "sim/peltosim/base/numbers.h"
#include "sim/cpu/cpu.h"

namespace peltosim::debug {
namespace {

// The opcode map by row (high nibble): columns 0x0-0x5 each, then the @R0/@R1 and R0-R7
// columns as one pattern with {r} for the register. Operands: {dir} direct byte, {imm} #data,
// {imm16} #data16, {bit} bit address, {nbit} /bit, {rel} relative target, {a11} AJMP/ACALL
// target, {a16} 16-bit address.
struct Row {
    std::array<std::string_view, 6> first;
    std::string_view registers;
};
constexpr std::array<Row, 16> kRows{{
    {{"NOP", "AJMP {a11}", "LJMP {a16}", "RR A", "INC A", "INC {dir}"}, "INC {r}"},
    {{"JBC {bit},{rel}", "ACALL {a11}", "LCALL {a16}", "RRC A", "DEC A", "DEC {dir}"}, "DEC {r}"},
    {{"JB {bit},{rel}", "AJMP {a11}", "RET", "RL A", "ADD A,{imm}", "ADD A,{dir}"}, "ADD A,{r}"},
    {{"JNB {bit},{rel}", "ACALL {a11}", "RETI", "RLC A", "ADDC A,{imm}", "ADDC A,{dir}"}, "ADDC A,{r}"},
    {{"JC {rel}", "AJMP {a11}", "ORL {dir},A", "ORL {dir},{imm}", "ORL A,{imm}", "ORL A,{dir}"}, "ORL A,{r}"},
    {{"JNC {rel}", "ACALL {a11}", "ANL {dir},A", "ANL {dir},{imm}", "ANL A,{imm}", "ANL A,{dir}"}, "ANL A,{r}"},
    {{"JZ {rel}", "AJMP {a11}", "XRL {dir},A", "XRL {dir},{imm}", "XRL A,{imm}", "XRL A,{dir}"}, "XRL A,{r}"},
    {{"JNZ {rel}", "ACALL {a11}", "ORL C,{bit}", "JMP @A+DPTR", "MOV A,{imm}", "MOV {dir},{imm}"}, "MOV {r},{imm}"},
    {{"SJMP {rel}", "AJMP {a11}", "ANL C,{bit}", "MOVC A,@A+PC", "DIV AB", "MOV {dir2},{dir}"}, "MOV {dir},{r}"},
    {{"MOV DPTR,{imm16}", "ACALL {a11}", "MOV {bit},C", "MOVC A,@A+DPTR", "SUBB A,{imm}", "SUBB A,{dir}"}, "SUBB A,{r}"},
    {{"ORL C,{nbit}", "AJMP {a11}", "MOV C,{bit}", "INC DPTR", "MUL AB", "DB 0xA5"}, "MOV {r},{dir}"},
    {{"ANL C,{nbit}", "ACALL {a11}", "CPL {bit}", "CPL C", "CJNE A,{imm},{rel}", "CJNE A,{dir},{rel}"}, "CJNE {r},{imm},{rel}"},
    {{"PUSH {dir}", "AJMP {a11}", "CLR {bit}", "CLR C", "SWAP A", "XCH A,{dir}"}, "XCH A,{r}"},
    {{"POP {dir}", "ACALL {a11}", "SETB {bit}", "SETB C", "DA A", "DJNZ {dir},{rel}"}, "DJNZ {r},{rel}"},
    {{"MOVX A,@DPTR", "AJMP {a11}", "MOVX A,@R0", "MOVX A,@R1", "CLR A", "MOV A,{dir}"}, "MOV A,{r}"},
    {{"MOVX @DPTR,A", "ACALL {a11}", "MOVX @R0,A", "MOVX @R1,A", "CPL A", "MOV {dir},A"}, "MOV {r},A"},
}};
constexpr uint8_t kXchdRow = 0xD;  // its @Ri column is XCHD A,@Ri, not DJNZ
constexpr uint8_t kFirstRegisterColumn = 0x6;
constexpr uint8_t kFirstRnColumn = 0x8;
constexpr uint8_t kRowShift = 4;
constexpr uint8_t kColumnMask = 0x0F;
constexpr uint8_t kByteBits = 8;
constexpr uint8_t kBitAreaBase = 0x20;
constexpr uint8_t kSfrBitMask = 0xF8;
constexpr uint8_t kBitInByte = 0x07;
constexpr uint16_t kAjmpBlock = 0xF800;
constexpr unsigned kAjmpOpcodeShift = 5;

std::string SfrName(uint8_t address) {
    for (const auto& r : sim8051::sfr::kNamed)
        if (r.address == address) return r.name;
    for (const auto& r : chip::kChipRegisters)
        if (r.address == address) return r.name;
    return Hex(address, 2);
}

std::string Direct(uint8_t address) { return address >= sim8051::Cpu::kSfrBase ? SfrName(address) : Hex(address, 2); }

std::string Bit(uint8_t bit) {
    const uint8_t bit_in_byte = bit & kBitInByte;
    if (bit >= sim8051::Cpu::kSfrBase) return SfrName(bit & kSfrBitMask) + "." + std::to_string(bit_in_byte);
    return Hex(kBitAreaBase + (bit >> 3), 2) + "." + std::to_string(bit_in_byte);
}

}  // namespace

Instruction Disassemble(uint16_t address, const std::function<uint8_t(uint16_t)>& read) {
    const uint8_t opcode = read(address);
    const uint8_t row = opcode >> kRowShift;
    const uint8_t column = opcode & kColumnMask;
    std::string pattern;
    std::string reg;
    if (column < kFirstRegisterColumn) {
        pattern = kRows[row].first[column];
    } else {
        reg = column < kFirstRnColumn ? "@R" + std::to_string(column - kFirstRegisterColumn)
                                      : "R" + std::to_string(column - kFirstRnColumn);
        pattern = row == kXchdRow && column < kFirstRnColumn ? "XCHD A,{r}" : std::string(kRows[row].registers);
    }
    uint16_t next = static_cast<uint16_t>(address + 1);
    auto take = [&] { return read(next++); };
    // MOV direct,direct stores its source byte first.
    std::optional<uint8_t> source;
    std::string text;
    for (std::size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '{') {
            text.push_back(pattern[i++]);
            continue;
        }
        const auto close = pattern.find('}', i);
        const std::string_view field = std::string_view(pattern).substr(i + 1, close - i - 1);
        i = close + 1;
        if (field == "r") {
            text += reg;
        } else if (field == "dir2") {
            source = take();
            text += Direct(take());
        } else if (field == "dir") {
            text += Direct(source ? *source : take());
        } else if (field == "imm") {
            text += "#" + Hex(take(), 2);
        } else if (field == "imm16") {
            const uint8_t high = take();
            text += "#" + Hex(static_cast<unsigned>(high << kByteBits | take()), 4);
        } else if (field == "bit") {
            text += Bit(take());
        } else if (field == "nbit") {
            text += "/" + Bit(take());
        } else if (field == "a16") {
            const uint8_t high = take();
            text += Hex(static_cast<unsigned>(high << kByteBits | take()), 4);
        } else if (field == "a11") {
            const uint8_t low = take();
            // Bits 10..8 of the target are the opcode's bits 7..5.
            text += Hex(static_cast<unsigned>((next & kAjmpBlock) | (opcode >> kAjmpOpcodeShift) << kByteBits | low), 4);
        } else if (field == "rel") {
            const auto offset = static_cast<int8_t>(take());
            // Relative to the end of the instruction, whose last byte this is.
            text += Hex(static_cast<uint16_t>(next + offset), 4);
        }
    }
    Instruction instruction{address, static_cast<uint8_t>(static_cast<uint16_t>(next - address)), {}, text};
    for (uint16_t a = address; a != next; ++a) {
        if (a != address) instruction.bytes.push_back(' ');
        instruction.bytes += Hex(read(a), 2).substr(2);
    }
    return instruction;
}

}  // namespace peltosim::debug
