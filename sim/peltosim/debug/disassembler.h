// 8051 instructions as text: "MOV A,@R0", "LCALL 0x02E8", "SETB IE.7", "MOV 0x30,#0x12".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace peltosim::debug {

struct Instruction {
    uint16_t address;
    uint8_t length;
    std::string bytes;  // "12 02 E8"
    std::string text;
};

// The instruction at `address`; `read` gives code bytes (addresses wrap at 64 KB).
Instruction Disassemble(uint16_t address, const std::function<uint8_t(uint16_t)>& read);

}  // namespace peltosim::debug
