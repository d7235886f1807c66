#include <gtest/gtest.h>

#include <array>

#include "sim/cpu/opcodes.h"
#include "sim/peltosim/debug/base64.h"
#include "sim/peltosim/debug/disassembler.h"

namespace peltosim::debug {
namespace {

// Every opcode decodes to as many bytes as the core executes.
TEST(DisassemblerTest, LengthsAgreeWithTheCore) {
    std::array<uint8_t, 4> bytes{};
    for (unsigned opcode = 0; opcode < 256; ++opcode) {
        bytes[0] = static_cast<uint8_t>(opcode);
        const auto i = Disassemble(0x100, [&](uint16_t a) { return bytes[(a - 0x100) & 3]; });
        EXPECT_EQ(i.length, sim8051::kInstructionLength[opcode]) << "opcode " << opcode << ": " << i.text;
        EXPECT_FALSE(i.text.empty());
    }
}

TEST(DisassemblerTest, OperandsAsTheyRead) {
    const struct {
        uint16_t address;
        std::array<uint8_t, 3> bytes;
        const char* text;
    } cases[] = {
        {0x0100, {0x12, 0x02, 0xE8}, "LCALL 0x02E8"},
        {0x0100, {0x85, 0x30, 0x40}, "MOV 0x40,0x30"},  // source byte first
        {0x0100, {0x75, 0x81, 0x5F}, "MOV SP,#0x5F"},
        {0x0100, {0xD2, 0xAF, 0x00}, "SETB IE.7"},
        {0x0100, {0x20, 0x03, 0xFD}, "JB 0x20.3,0x0100"},  // back to itself
        {0x07FE, {0x31, 0x23, 0x00}, "ACALL 0x0923"},       // the target's 2 KB block is the next one's
        {0x0100, {0xB9, 0x07, 0x02}, "CJNE R1,#0x07,0x0105"},
        {0x0100, {0xD6, 0x00, 0x00}, "XCHD A,@R0"},
        {0x0100, {0xDF, 0xFE, 0x00}, "DJNZ R7,0x0100"},
        {0x0100, {0x90, 0x9F, 0x02}, "MOV DPTR,#0x9F02"},
        {0x0100, {0xA0, 0x0A, 0x00}, "ORL C,/0x21.2"},
    };
    for (const auto& c : cases) {
        const auto i = Disassemble(c.address, [&](uint16_t a) { return c.bytes[(a - c.address) & 3]; });
        EXPECT_EQ(i.text, c.text);
    }
}

TEST(Base64Test, RoundTripAndRefusals) {
    for (const std::string& bytes : {std::string(), std::string("a"), std::string("ab"), std::string("abc"), std::string("abcd"), std::string("\0\xFF\x80", 3)})
        EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes);
    EXPECT_EQ(Base64Encode("scan"), "c2Nhbg==");
    for (const char* bad : {"c2Nhbg=", "c2N!bg==", "c2=hbg=="}) EXPECT_FALSE(Base64Decode(bad)) << bad;
}

}  // namespace
}  // namespace peltosim::debug
