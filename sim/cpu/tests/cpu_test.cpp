#include "sim/cpu/cpu.h"

#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <string>
#include <vector>

#include "sim/cpu/opcodes.h"

namespace {

using sim8051::Cpu;
using sim8051::StopReason;
namespace sfr = sim8051::sfr;
namespace psw = sim8051::psw;

constexpr uint16_t kOrigin = 0x0420;  // not 0, so PC-relative mistakes show
constexpr uint8_t kFlagsMask = psw::kCy | psw::kAc | psw::kOv;

uint8_t ExpectedParity(uint8_t a) { return (std::popcount(a) % 2) ? psw::kP : 0; }

class CpuTest : public ::testing::Test {
protected:
    std::unique_ptr<Cpu> cpu = std::make_unique<Cpu>();

    void Load(const std::vector<uint8_t>& bytes, uint16_t at = kOrigin) {
        for (std::size_t i = 0; i < bytes.size(); ++i) cpu->Code()[(at + i) & 0xFFFF] = bytes[i];
        cpu->SetPc(at);
    }
    // Loads the instruction at kOrigin and runs it.
    StopReason Exec(const std::vector<uint8_t>& bytes) {
        Load(bytes);
        return cpu->Step();
    }
    void SetCarry(bool c) { cpu->SetPsw(c ? uint8_t(cpu->Psw() | psw::kCy) : uint8_t(cpu->Psw() & ~psw::kCy)); }
    bool Carry() const { return (cpu->Psw() & psw::kCy) != 0; }
};

// --- Arithmetic flags, exhaustively against integer arithmetic -------------------------------

TEST_F(CpuTest, AddAddcSubbFlagsForAllOperands) {
    // F0, RS1, RS0 and F1 set around the flags: they must be left alone.
    constexpr uint8_t kOtherBits = psw::kF0 | psw::kRs1 | psw::kRs0 | psw::kF1;
    struct Form {
        const char* name;
        uint8_t opcode;
        bool uses_carry;
        bool subtract;
    };
    for (const Form f : {Form{"ADD", sim8051::kAddImm, false, false}, Form{"ADDC", sim8051::kAddcImm, true, false},
                         Form{"SUBB", sim8051::kSubbImm, true, true}}) {
        for (unsigned a = 0; a < 256; ++a) {
            for (unsigned v = 0; v < 256; ++v) {
                for (unsigned c = 0; c < 2; ++c) {
                    cpu->SetAcc(uint8_t(a));
                    cpu->SetPsw(uint8_t(kOtherBits | (c ? psw::kCy : 0) | psw::kAc | psw::kOv));
                    Exec({f.opcode, uint8_t(v)});
                    const int cin = f.uses_carry ? int(c) : 0;
                    int wide, low, sa = int8_t(a), sv = int8_t(v), signed_result;
                    if (f.subtract) {
                        wide = int(a) - int(v) - cin;
                        low = int(a % 16) - int(v % 16) - cin;
                        signed_result = sa - sv - cin;
                    } else {
                        wide = int(a) + int(v) + cin;
                        low = int(a % 16) + int(v % 16) + cin;
                        signed_result = sa + sv + cin;
                    }
                    const uint8_t result = uint8_t(wide & 0xFF);
                    uint8_t flags = 0;
                    if (wide < 0 || wide > 255) flags |= psw::kCy;
                    if (low < 0 || low > 15) flags |= psw::kAc;
                    if (signed_result < -128 || signed_result > 127) flags |= psw::kOv;
                    ASSERT_EQ(cpu->Acc(), result) << f.name << " a=" << a << " v=" << v << " c=" << c;
                    ASSERT_EQ(cpu->Psw(), kOtherBits | flags | ExpectedParity(result))
                        << f.name << " a=" << a << " v=" << v << " c=" << c;
                }
            }
        }
    }
}

TEST_F(CpuTest, DecimalAdjustGivesBcdSumAndDecimalCarry) {
    // For every pair of BCD operands and carry in: ADDC then DA A is decimal addition.
    for (unsigned x = 0; x < 100; ++x) {
        for (unsigned y = 0; y < 100; ++y) {
            for (unsigned c = 0; c < 2; ++c) {
                const auto bcd = [](unsigned n) { return uint8_t((n / 10) << 4 | (n % 10)); };
                cpu->SetAcc(bcd(x));
                cpu->SetPsw(c ? psw::kCy : 0);
                Load({sim8051::kAddcImm, bcd(y), sim8051::kDaA});
                cpu->Step();
                cpu->Step();
                const unsigned sum = x + y + c;
                ASSERT_EQ(cpu->Acc(), bcd(sum % 100)) << x << "+" << y << "+" << c;
                ASSERT_EQ(Carry(), sum >= 100) << x << "+" << y << "+" << c;
            }
        }
    }
}

TEST_F(CpuTest, DecimalAdjustOfOutOfRangeDigits) {
    // Each nibble past 9, or flagged by AC (low) / CY (high), gets 6 added; a carry out of
    // either addition sets CY, and CY is never cleared.
    struct Case {
        uint8_t a, psw_in, a_out;
        bool cy_out;
    };
    const Case cases[] = {
        {0x9A, 0, 0x00, true},           // 0x9A+0x06=0xA0, then +0x60 overflows
        {0xFA, 0, 0x60, true},           // the low adjust carries out of bit 7, forcing the high one
        {0x00, psw::kAc, 0x06, false},   // AC alone adjusts the low digit
        {0x00, psw::kCy, 0x60, true},    // CY alone adjusts the high digit and stays set
        {0x99, psw::kAc, 0x9F, false},   // 0x99+6 = 0x9F: high digit 9, no CY -> no high adjust
        {0x45, 0, 0x45, false},          // valid BCD without flags is unchanged
    };
    for (const Case& c : cases) {
        cpu->SetAcc(c.a);
        cpu->SetPsw(uint8_t(c.psw_in | psw::kOv));
        Exec({sim8051::kDaA});
        EXPECT_EQ(cpu->Acc(), c.a_out) << std::hex << int(c.a);
        EXPECT_EQ(Carry(), c.cy_out) << std::hex << int(c.a);
        EXPECT_EQ(cpu->Psw() & (psw::kAc | psw::kOv), (c.psw_in & psw::kAc) | psw::kOv) << "AC and OV are untouched";
    }
}

TEST_F(CpuTest, MulAndDivForAllOperands) {
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            cpu->SetAcc(uint8_t(a));
            cpu->SetB(uint8_t(b));
            cpu->SetPsw(psw::kCy);
            Exec({sim8051::kMulAB});
            const unsigned product = a * b;
            ASSERT_EQ(cpu->Acc(), product & 0xFF);
            ASSERT_EQ(cpu->B(), product >> 8);
            ASSERT_EQ(cpu->Psw(), (product > 255 ? psw::kOv : 0) | ExpectedParity(uint8_t(product)));

            cpu->SetAcc(uint8_t(a));
            cpu->SetB(uint8_t(b));
            cpu->SetPsw(psw::kCy);
            Exec({sim8051::kDivAB});
            if (b == 0) {  // undefined quotient: A and B are left as they were, OV flags it
                ASSERT_EQ(cpu->Acc(), a);
                ASSERT_EQ(cpu->B(), 0);
                ASSERT_EQ(cpu->Psw(), psw::kOv | ExpectedParity(uint8_t(a)));
            } else {
                ASSERT_EQ(cpu->Acc(), a / b);
                ASSERT_EQ(cpu->B(), a % b);
                ASSERT_EQ(cpu->Psw(), ExpectedParity(uint8_t(a / b)));
            }
        }
    }
}

TEST_F(CpuTest, RotatesThroughCarry) {
    struct Case {
        uint8_t opcode;
        uint8_t a;
        bool c;
        uint8_t a_out;
        bool c_out;
    };
    const Case cases[] = {
        {sim8051::kRlcA, 0x81, false, 0x02, true},  {sim8051::kRlcA, 0x40, true, 0x81, false},
        {sim8051::kRrcA, 0x81, false, 0x40, true},  {sim8051::kRrcA, 0x02, true, 0x81, false},
        {sim8051::kRlA, 0x81, false, 0x03, false},  {sim8051::kRrA, 0x81, true, 0xC0, true},
        {sim8051::kSwapA, 0x3C, true, 0xC3, true},  {sim8051::kCplA, 0x0F, false, 0xF0, false},
    };
    for (const Case& c : cases) {
        cpu->SetAcc(c.a);
        SetCarry(c.c);
        Exec({c.opcode});
        EXPECT_EQ(cpu->Acc(), c.a_out) << std::hex << int(c.opcode);
        EXPECT_EQ(Carry(), c.c_out) << std::hex << int(c.opcode);
    }
}

// P always equals the parity of A, however A or PSW is written.
TEST_F(CpuTest, ParityFollowsAccumulator) {
    struct Case {
        const char* name;
        std::vector<uint8_t> code;
    };
    const Case cases[] = {
        {"MOV A,#01", {sim8051::kMovAImm, 0x01}},
        {"MOV ACC,#07 (direct)", {sim8051::kMovDirectImm, sfr::kAcc, 0x07}},
        {"MOV PSW,#00 (P written 0)", {sim8051::kMovDirectImm, sfr::kPsw, 0x00}},
        {"MOV PSW,#FF (P written 1)", {sim8051::kMovDirectImm, sfr::kPsw, 0xFF}},
        {"SETB ACC.0", {sim8051::kSetbBit, sfr::kAcc + 0}},
        {"CLR P", {sim8051::kClrBit, sfr::kPsw + psw::kPBit}},
        {"CPL P", {sim8051::kCplBit, sfr::kPsw + psw::kPBit}},
        {"POP ACC", {sim8051::kPop, sfr::kAcc}},
        {"XCH A,R2", {sim8051::kXchReg + 2}},
        {"MOVC A,@A+DPTR", {sim8051::kMovcADptr}},
        {"MOVX A,@DPTR", {sim8051::kMovxADptr}},
        {"INC ACC (direct)", {sim8051::kIncDirect, sfr::kAcc}},
    };
    for (const Case& c : cases) {
        for (const uint8_t a : std::vector<uint8_t>{0x00, 0x01, 0x03, 0x80, 0xFE}) {
            cpu->SetAcc(a);
            cpu->SetReg(2, uint8_t(a ^ 0x01));
            cpu->SetSp(0x40);
            cpu->Iram()[0x40] = uint8_t(a + 1);
            cpu->SetDptr(0x2000);
            cpu->Code()[0x2000 + a] = uint8_t(a ^ 0x10);
            cpu->Xram()[0x2000] = uint8_t(a ^ 0x07);
            Exec(c.code);
            EXPECT_EQ(cpu->Psw() & psw::kP, ExpectedParity(cpu->Acc())) << c.name << " a=" << int(a);
        }
    }
}

// --- Addressing ---------------------------------------------------------------------------------

TEST_F(CpuTest, DirectUpperAddressesAreSfrsIndirectOnesAreRam) {
    cpu->Iram()[0x90] = 0x11;
    cpu->SetSfr(sfr::kP1, 0x22);
    cpu->SetReg(0, 0x90);
    Exec({sim8051::kMovIndirectImm, 0x55});  // MOV @R0,#55
    EXPECT_EQ(cpu->Iram()[0x90], 0x55);
    EXPECT_EQ(cpu->Sfr(sfr::kP1), 0x22);
    Exec({sim8051::kMovDirectImm, sfr::kP1, 0x66});  // MOV P1,#66
    EXPECT_EQ(cpu->Sfr(sfr::kP1), 0x66);
    EXPECT_EQ(cpu->Iram()[0x90], 0x55);
    Exec({sim8051::kMovAIndirect});  // MOV A,@R0
    EXPECT_EQ(cpu->Acc(), 0x55);
    Exec({sim8051::kMovADirect, sfr::kP1});
    EXPECT_EQ(cpu->Acc(), 0x66);
    // The stack is indirect too: it reaches the upper 128 bytes.
    cpu->SetSp(0xFE);
    Exec({sim8051::kPush, sfr::kAcc});
    EXPECT_EQ(cpu->Iram()[0xFF], 0x66);
    EXPECT_EQ(cpu->Sp(), 0xFF);
}

TEST_F(CpuTest, RegisterBankFollowsPsw) {
    for (uint8_t bank = 0; bank < 4; ++bank) {
        cpu->SetPsw(uint8_t(bank << psw::kRs0Bit));
        Exec({sim8051::kMovRegImm + 5, uint8_t(0xA0 + bank)});  // MOV R5,#...
        EXPECT_EQ(cpu->Iram()[bank * 8 + 5], 0xA0 + bank);
        cpu->Iram()[bank * 8 + 1] = uint8_t(0x30 + bank);
        cpu->Iram()[0x30 + bank] = uint8_t(0xC0 + bank);
        Exec({sim8051::kMovAIndirect + 1});  // MOV A,@R1
        EXPECT_EQ(cpu->Acc(), 0xC0 + bank);
    }
}

TEST_F(CpuTest, BitAddressesMapToRamAndSfrBytes) {
    struct Case {
        uint8_t bit;
        uint8_t byte_addr;  // direct address of the byte holding the bit
        uint8_t mask;
    };
    const Case cases[] = {
        {0x00, 0x20, 0x01}, {0x07, 0x20, 0x80}, {0x08, 0x21, 0x01}, {0x7F, 0x2F, 0x80},
        {0x80, sfr::kP0, 0x01}, {0x97, sfr::kP1, 0x80}, {0xD5, sfr::kPsw, 0x20}, {0xE3, sfr::kAcc, 0x08},
        {0xF5, sfr::kB, 0x20}, {0xF8, 0xF8, 0x01},
    };
    // P in PSW always follows A, so it is left out of the comparison.
    const auto byte = [&](uint8_t addr) {
        return addr < 0x80 ? cpu->Iram()[addr] : uint8_t(cpu->Sfr(addr) & (addr == sfr::kPsw ? ~psw::kP : 0xFF));
    };
    const auto masked = [](uint8_t addr, unsigned v) {
        return uint8_t(v & (addr == sfr::kPsw ? ~psw::kP : 0xFF));
    };
    const auto set_byte = [&](uint8_t addr, uint8_t v) {
        if (addr < 0x80)
            cpu->Iram()[addr] = v;
        else
            cpu->SetSfr(addr, v);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("bit " + std::to_string(c.bit));
        set_byte(c.byte_addr, 0x00);
        cpu->SetAcc(0);
        cpu->SetPsw(0);
        Exec({sim8051::kSetbBit, c.bit});
        EXPECT_EQ(byte(c.byte_addr), masked(c.byte_addr, c.mask));
        Exec({sim8051::kMovCBit, c.bit});
        EXPECT_TRUE(Carry());
        set_byte(c.byte_addr, 0xFF);
        Exec({sim8051::kClrBit, c.bit});
        EXPECT_EQ(byte(c.byte_addr), masked(c.byte_addr, 0xFF & ~c.mask));
        Exec({sim8051::kCplBit, c.bit});
        EXPECT_EQ(byte(c.byte_addr), masked(c.byte_addr, 0xFF));
        set_byte(c.byte_addr, uint8_t(~c.mask));
        SetCarry(true);
        Exec({sim8051::kMovBitC, c.bit});
        EXPECT_EQ(byte(c.byte_addr), masked(c.byte_addr, 0xFF));
    }
    // The neighbouring bytes stay untouched.
    cpu->Iram()[0x1F] = 0;
    cpu->Iram()[0x30] = 0;
    Exec({sim8051::kSetbBit, 0x00});
    Exec({sim8051::kSetbBit, 0x7F});
    EXPECT_EQ(cpu->Iram()[0x1F], 0);
    EXPECT_EQ(cpu->Iram()[0x30], 0);
}

TEST_F(CpuTest, CarryLogicWithBits) {
    struct Case {
        uint8_t opcode;
        bool c, bit, c_out;
    };
    using namespace sim8051;
    const Case cases[] = {
        {kAnlCBit, true, true, true},      {kAnlCBit, true, false, false},     {kAnlCBit, false, true, false},
        {kAnlCNotBit, true, false, true},  {kAnlCNotBit, true, true, false},   {kAnlCNotBit, false, false, false},
        {kOrlCBit, false, true, true},     {kOrlCBit, false, false, false},    {kOrlCBit, true, false, true},
        {kOrlCNotBit, false, false, true}, {kOrlCNotBit, false, true, false},  {kOrlCNotBit, true, true, true},
    };
    for (const Case& c : cases) {
        cpu->Iram()[0x2A] = c.bit ? 0x10 : 0xEF;  // bit 0x54
        SetCarry(c.c);
        Exec({c.opcode, 0x54});
        EXPECT_EQ(Carry(), c.c_out) << std::hex << int(c.opcode) << " c=" << c.c << " bit=" << c.bit;
        EXPECT_EQ(cpu->Iram()[0x2A], c.bit ? 0x10 : 0xEF);
    }
}

// --- Branches -----------------------------------------------------------------------------------

TEST_F(CpuTest, ConditionalBranches) {
    using namespace sim8051;
    struct Case {
        const char* name;
        std::vector<uint8_t> code;
        uint8_t a;
        bool c;
        bool taken;
    };
    // Relative offsets count from the next instruction; -0x10 also checks sign extension.
    const Case cases[] = {
        {"JC taken", {kJc, 0x10}, 0, true, true},           {"JC not", {kJc, 0x10}, 0, false, false},
        {"JNC taken", {kJnc, 0xF0}, 0, false, true},        {"JNC not", {kJnc, 0xF0}, 0, true, false},
        {"JZ taken", {kJz, 0x10}, 0, false, true},          {"JZ not", {kJz, 0x10}, 1, false, false},
        {"JNZ taken", {kJnz, 0xF0}, 0x80, false, true},     {"JNZ not", {kJnz, 0xF0}, 0, false, false},
        {"JB ACC.7 taken", {kJb, 0xE7, 0x10}, 0x80, false, true},
        {"JB ACC.7 not", {kJb, 0xE7, 0x10}, 0x7F, false, false},
        {"JNB ACC.0 taken", {kJnb, 0xE0, 0xF0}, 0xFE, false, true},
        {"JNB ACC.0 not", {kJnb, 0xE0, 0xF0}, 0x01, false, false},
        {"CJNE A,#40 lower", {kCjneAImm, 0x40, 0x10}, 0x3F, false, true},
        {"CJNE A,#40 equal", {kCjneAImm, 0x40, 0x10}, 0x40, true, false},
        {"CJNE A,#40 higher", {kCjneAImm, 0x40, 0x10}, 0xC0, true, true},
    };
    for (const Case& c : cases) {
        cpu->SetAcc(c.a);
        SetCarry(c.c);
        Exec(c.code);
        const uint16_t next = uint16_t(kOrigin + c.code.size());
        const uint16_t target = uint16_t(next + int8_t(c.code.back()));
        EXPECT_EQ(cpu->Pc(), c.taken ? target : next) << c.name;
    }
}

TEST_F(CpuTest, CompareAndJumpSetsCarryWhenFirstIsLower) {
    using namespace sim8051;
    for (const unsigned first : {0x00u, 0x7Fu, 0x80u, 0xFFu}) {
        for (const unsigned second : {0x00u, 0x7Fu, 0x80u, 0xFFu}) {
            struct Form {
                const char* name;
                std::vector<uint8_t> code;
            };
            cpu->SetAcc(uint8_t(first));
            cpu->SetReg(0, 0x50);
            cpu->Iram()[0x50] = uint8_t(first);
            cpu->SetReg(6, uint8_t(first));
            cpu->Iram()[0x44] = uint8_t(second);
            const Form forms[] = {{"A,#", {kCjneAImm, uint8_t(second), 0x05}},
                                  {"A,direct", {kCjneADirect, 0x44, 0x05}},
                                  {"@R0,#", {kCjneIndirectImm, uint8_t(second), 0x05}},
                                  {"R6,#", {kCjneRegImm + 6, uint8_t(second), 0x05}}};
            for (const Form& f : forms) {
                SetCarry(first >= second);
                Exec(f.code);
                EXPECT_EQ(Carry(), first < second) << f.name << " " << first << " " << second;
                EXPECT_EQ(cpu->Pc(), kOrigin + 3 + (first != second ? 5 : 0)) << f.name;
            }
        }
    }
}

TEST_F(CpuTest, JbcClearsTheBitOnlyWhenItJumps) {
    cpu->Iram()[0x25] = 0x24;  // bits 0x2A (set) and 0x2D (set)
    Exec({sim8051::kJbc, 0x2A, 0x08});
    EXPECT_EQ(cpu->Iram()[0x25], 0x20);
    EXPECT_EQ(cpu->Pc(), kOrigin + 3 + 8);
    Exec({sim8051::kJbc, 0x2A, 0x08});
    EXPECT_EQ(cpu->Iram()[0x25], 0x20);
    EXPECT_EQ(cpu->Pc(), kOrigin + 3);
}

TEST_F(CpuTest, DjnzDecrementsAndLoops) {
    cpu->SetReg(3, 2);
    cpu->Iram()[0x40] = 1;
    Load({sim8051::kDjnzReg + 3, 0xFE, sim8051::kDjnzDirect, 0x40, 0xFD});  // DJNZ R3,$ ; DJNZ 40h,$
    cpu->Step();
    EXPECT_EQ(cpu->Pc(), kOrigin);
    EXPECT_EQ(cpu->Reg(3), 1);
    cpu->Step();
    EXPECT_EQ(cpu->Pc(), kOrigin + 2);
    EXPECT_EQ(cpu->Reg(3), 0);
    cpu->Step();
    EXPECT_EQ(cpu->Pc(), kOrigin + 5);
    EXPECT_EQ(cpu->Iram()[0x40], 0);
    cpu->Iram()[0x40] = 0;  // 0 wraps to 0xFF and loops
    cpu->SetPc(kOrigin + 2);
    cpu->Step();
    EXPECT_EQ(cpu->Iram()[0x40], 0xFF);
    EXPECT_EQ(cpu->Pc(), kOrigin + 2);
}

TEST_F(CpuTest, CallsPushReturnAddressLowByteFirst) {
    using namespace sim8051;
    struct Case {
        const char* name;
        std::vector<uint8_t> code;
        uint16_t at;
        uint16_t target;
    };
    const Case cases[] = {
        {"LCALL", {kLcall, 0x12, 0x34}, 0x07FD, 0x1234},
        // ACALL's 11-bit target is in the 2 KB block of the next instruction, not its own.
        {"ACALL at block end", {uint8_t(kAcall + 5 * kAjmpAcallStride), 0x67}, 0x0FFE, 0x1567},
        {"ACALL", {uint8_t(kAcall + 7 * kAjmpAcallStride), 0xFF}, 0x2100, 0x27FF},
    };
    for (const Case& c : cases) {
        cpu->SetSp(0x7F);
        Load(c.code, c.at);
        cpu->Step();
        const uint16_t ret = uint16_t(c.at + c.code.size());
        EXPECT_EQ(cpu->Pc(), c.target) << c.name;
        EXPECT_EQ(cpu->Sp(), 0x81) << c.name;
        EXPECT_EQ(cpu->Iram()[0x80], ret & 0xFF) << c.name;
        EXPECT_EQ(cpu->Iram()[0x81], ret >> 8) << c.name;
        for (const uint8_t ret_op : {kRet, kReti}) {
            cpu->SetSp(0x81);
            Load({ret_op}, 0x3000);
            cpu->Step();
            EXPECT_EQ(cpu->Pc(), ret) << c.name;
            EXPECT_EQ(cpu->Sp(), 0x7F) << c.name;
        }
    }
}

TEST_F(CpuTest, JumpsAndStackOnSp) {
    using namespace sim8051;
    Load({uint8_t(kAjmp + 3 * kAjmpAcallStride), 0x45}, 0x17FE);  // next PC 0x1800 picks the block
    cpu->Step();
    EXPECT_EQ(cpu->Pc(), 0x1B45);
    cpu->SetAcc(0xF0);
    cpu->SetDptr(0xFF20);
    Exec({kJmpADptr});
    EXPECT_EQ(cpu->Pc(), 0x0010);  // 16-bit sum wraps
    // PUSH increments SP before reading its operand; POP stores after decrementing.
    cpu->SetSp(0x30);
    Exec({kPush, sfr::kSp});
    EXPECT_EQ(cpu->Iram()[0x31], 0x31);
    cpu->Iram()[0x31] = 0x55;
    Exec({kPop, sfr::kSp});
    EXPECT_EQ(cpu->Sp(), 0x55);
}

// --- External data and code reads ---------------------------------------------------------------

TEST_F(CpuTest, MovxUsesDptrOrP2AndRi) {
    using namespace sim8051;
    cpu->SetDptr(0x1234);
    cpu->SetAcc(0xA1);
    Exec({kMovxDptrA});
    EXPECT_EQ(cpu->Xram()[0x1234], 0xA1);
    cpu->SetSfr(sfr::kP2, 0x56);
    cpu->SetReg(1, 0x78);
    cpu->SetAcc(0xB2);
    Exec({kMovxIndirectA + 1});  // MOVX @R1,A
    EXPECT_EQ(cpu->Xram()[0x5678], 0xB2);
    cpu->Xram()[0x56F0] = 0xC3;
    cpu->SetReg(0, 0xF0);
    Exec({kMovxAIndirect});  // MOVX A,@R0
    EXPECT_EQ(cpu->Acc(), 0xC3);
    cpu->Xram()[0x1234] = 0xD4;
    Exec({kMovxADptr});
    EXPECT_EQ(cpu->Acc(), 0xD4);
    Exec({kIncDptr});
    EXPECT_EQ(cpu->Dptr(), 0x1235);
    cpu->SetDptr(0xFFFF);
    Exec({kIncDptr});
    EXPECT_EQ(cpu->Dptr(), 0x0000);
}

struct MovcLog {
    Cpu* cpu = nullptr;
    struct Read {
        uint16_t addr, pc;
        uint8_t acc_seen;
        bool operator==(const Read&) const = default;
    };
    std::vector<Read> reads;
    static void OnMovc(void* ctx, uint16_t addr, uint16_t pc) {
        auto* log = static_cast<MovcLog*>(ctx);
        log->reads.push_back({addr, pc, log->cpu->Acc()});
        log->cpu->Code()[addr] = 0xEE;  // may change code; A keeps what was read
    }
};

TEST_F(CpuTest, MovcReportsOnlyWatchedDataReads) {
    using namespace sim8051;
    MovcLog log{cpu.get(), {}};
    cpu->SetHooks({nullptr, nullptr, &MovcLog::OnMovc, &log});
    cpu->WatchMovc(0x0000, 0x7FFF, true);
    cpu->WatchMovc(0xA000, 0xBFFF, true);
    cpu->Code()[0x8000] = 0x11;
    cpu->Code()[0x7FFF] = 0x22;
    cpu->Code()[0xA000] = 0x33;
    cpu->Code()[0xBFFF] = 0x44;
    cpu->Code()[0xC000] = 0x55;
    // The program itself sits in a watched range: its fetches must not be reported.
    struct Case {
        uint16_t dptr;
        uint8_t expected;
        bool watched;
    };
    for (const Case c : {Case{0x8000, 0x11, false}, Case{0x7FFF, 0x22, true}, Case{0xA000, 0x33, true},
                         Case{0xBFFF, 0x44, true}, Case{0xC000, 0x55, false}}) {
        log.reads.clear();
        cpu->SetDptr(uint16_t(c.dptr - 0x10));
        cpu->SetAcc(0x10);
        Exec({kMovcADptr});
        EXPECT_EQ(cpu->Acc(), c.expected) << std::hex << c.dptr;
        if (c.watched) {
            EXPECT_EQ(log.reads, (std::vector<MovcLog::Read>{{c.dptr, kOrigin, c.expected}})) << std::hex << c.dptr;
        } else {
            EXPECT_TRUE(log.reads.empty()) << std::hex << c.dptr;
        }
    }
    // MOVC A,@A+PC adds A to the address of the next instruction.
    log.reads.clear();
    Load({kMovcAPc, kNop, kNop, 0x99});
    cpu->SetAcc(2);
    cpu->Step();
    EXPECT_EQ(cpu->Acc(), 0x99);
    EXPECT_EQ(log.reads, (std::vector<MovcLog::Read>{{kOrigin + 3, kOrigin, 0x99}}));
    cpu->WatchMovc(0x0000, 0xFFFF, false);
    log.reads.clear();
    cpu->SetDptr(0x7FFF);
    cpu->SetAcc(0);
    Exec({kMovcADptr});
    EXPECT_TRUE(log.reads.empty());
}

TEST_F(CpuTest, CodeAddressSumsWrapAt64K) {
    using namespace sim8051;
    cpu->Code()[0x0010] = 0x5C;
    cpu->SetDptr(0xFFF0);
    cpu->SetAcc(0x20);
    Exec({kMovcADptr});
    EXPECT_EQ(cpu->Acc(), 0x5C);
    // @A+PC counts from the next instruction: 0xFFFF + 1 + 0x10 wraps to 0x0010.
    Load({kMovcAPc}, 0xFFFF);
    cpu->SetAcc(0x10);
    cpu->Step();
    EXPECT_EQ(cpu->Acc(), 0x5C);
    EXPECT_EQ(cpu->Pc(), 0x0000);
}

// --- SFR hooks ----------------------------------------------------------------------------------

// A paged register at one SFR address: the hooks keep its value outside the CPU.
constexpr uint8_t kPaged = 0xF8;  // bit-addressable, no register of its own on the classic part
struct HookLog {
    Cpu* cpu = nullptr;
    uint8_t page_value = 0;
    struct Event {
        char kind;
        uint8_t addr, value;
        uint16_t pc;
        bool operator==(const Event&) const = default;
    };
    std::vector<Event> events;
    std::vector<uint8_t> previous;  // PreviousSfrValue() seen by each write
    static uint8_t OnRead(void* ctx, uint8_t addr, uint16_t pc) {
        auto* log = static_cast<HookLog*>(ctx);
        log->events.push_back({'R', addr, log->page_value, pc});
        return log->page_value;
    }
    static void OnWrite(void* ctx, uint8_t addr, uint8_t value, uint16_t pc) {
        auto* log = static_cast<HookLog*>(ctx);
        log->events.push_back({'W', addr, value, pc});
        log->previous.push_back(log->cpu->PreviousSfrValue());
        log->page_value = value;
    }
};

void PrintTo(const HookLog::Event& e, std::ostream* os) {
    *os << e.kind << "(" << std::hex << int(e.addr) << "," << int(e.value) << ",pc=" << e.pc << ")";
}

TEST_F(CpuTest, DirectAccessesGoThroughHooksReadModifyWriteReadsThenWrites) {
    using namespace sim8051;
    using Event = HookLog::Event;
    constexpr uint8_t kValue = 0x5A;  // the paged register
    constexpr uint8_t kArray = 0x00;  // what the CPU's own array holds at that address
    constexpr uint8_t kA = 0x81;
    constexpr uint16_t pc = kOrigin;
    struct Case {
        const char* name;
        std::vector<uint8_t> code;
        std::vector<Event> events;
    };
    const auto R = [](uint8_t v) { return Event{'R', kPaged, v, pc}; };
    const auto W = [](uint8_t v) { return Event{'W', kPaged, v, pc}; };
    const Case cases[] = {
        {"MOV A,d", {kMovADirect, kPaged}, {R(kValue)}},
        {"MOV d,#", {kMovDirectImm, kPaged, 0x33}, {W(0x33)}},
        {"MOV d,A", {kMovDirectA, kPaged}, {W(kA)}},
        {"MOV d,d (from)", {kMovDirectDirect, kPaged, 0x40}, {R(kValue)}},
        {"MOV d,d (to)", {kMovDirectDirect, 0x40, kPaged}, {W(0x40)}},
        {"ADD A,d", {kAddDirect, kPaged}, {R(kValue)}},
        {"CJNE A,d,rel", {kCjneADirect, kPaged, 0}, {R(kValue)}},
        {"ORL d,A", {kOrlDirectA, kPaged}, {R(kValue), W(kValue | kA)}},
        {"ORL d,#", {kOrlDirectImm, kPaged, 0x0F}, {R(kValue), W(kValue | 0x0F)}},
        {"ANL d,A", {kAnlDirectA, kPaged}, {R(kValue), W(kValue & kA)}},
        {"ANL d,#", {kAnlDirectImm, kPaged, 0x0F}, {R(kValue), W(kValue & 0x0F)}},
        {"XRL d,A", {kXrlDirectA, kPaged}, {R(kValue), W(kValue ^ kA)}},
        {"XRL d,#", {kXrlDirectImm, kPaged, 0x0F}, {R(kValue), W(kValue ^ 0x0F)}},
        {"INC d", {kIncDirect, kPaged}, {R(kValue), W(kValue + 1)}},
        {"DEC d", {kDecDirect, kPaged}, {R(kValue), W(kValue - 1)}},
        {"DJNZ d,rel", {kDjnzDirect, kPaged, 0}, {R(kValue), W(kValue - 1)}},
        {"XCH A,d", {kXchDirect, kPaged}, {R(kValue), W(kA)}},
        {"SETB bit", {kSetbBit, kPaged + 0}, {R(kValue), W(kValue | 0x01)}},
        {"CLR bit", {kClrBit, kPaged + 1}, {R(kValue), W(kValue & ~0x02)}},
        {"CPL bit", {kCplBit, kPaged + 7}, {R(kValue), W(kValue ^ 0x80)}},
        {"MOV bit,C", {kMovBitC, kPaged + 2}, {R(kValue), W(kValue | 0x04)}},
        {"MOV C,bit", {kMovCBit, kPaged + 2}, {R(kValue)}},
        {"ANL C,bit", {kAnlCBit, kPaged + 2}, {R(kValue)}},
        {"JB bit,rel", {kJb, kPaged + 3, 0}, {R(kValue)}},
        {"JBC set bit", {kJbc, kPaged + 3, 0}, {R(kValue), W(kValue & ~0x08)}},
        {"JBC clear bit", {kJbc, kPaged + 2, 0}, {R(kValue)}},
        {"PUSH d", {kPush, kPaged}, {R(kValue)}},
        {"POP d", {kPop, kPaged}, {W(0x77)}},
        {"MOV A,@R0 (indirect: RAM)", {kMovAIndirect}, {}},
    };
    HookLog log;
    log.cpu = cpu.get();
    cpu->SetHooks({&HookLog::OnRead, &HookLog::OnWrite, nullptr, &log});
    cpu->HookSfrRead(kPaged, true);
    cpu->HookSfrWrite(kPaged, true);
    for (const Case& c : cases) {
        log.events.clear();
        log.previous.clear();
        log.page_value = kValue;
        cpu->SetSfr(kPaged, kArray);
        cpu->SetAcc(kA);
        cpu->SetPsw(psw::kCy);
        cpu->SetSp(0x50);
        cpu->Iram()[0x50] = 0x77;
        cpu->Iram()[0x40] = 0x40;
        cpu->SetReg(0, kPaged);
        Exec(c.code);
        EXPECT_EQ(log.events, c.events) << c.name;
        // A write lands in the array as well; the hook saw the array's earlier value.
        const bool wrote = !c.events.empty() && c.events.back().kind == 'W';
        EXPECT_EQ(cpu->Sfr(kPaged), wrote ? c.events.back().value : kArray) << c.name;
        if (wrote) {
            EXPECT_EQ(log.previous, std::vector<uint8_t>{kArray}) << c.name;
        }
    }
    // The value read through the hook is what the instruction used.
    cpu->SetAcc(0);
    log.page_value = kValue;
    Exec({kMovADirect, kPaged});
    EXPECT_EQ(cpu->Acc(), kValue);
    cpu->Iram()[0x50] = 0;
    cpu->SetSp(0x4F);
    Exec({kPush, kPaged});
    EXPECT_EQ(cpu->Iram()[0x50], kValue);
}

TEST_F(CpuTest, UnhookedAndSingleDirectionHooks) {
    using namespace sim8051;
    HookLog log;
    log.cpu = cpu.get();
    log.page_value = 0xF0;
    cpu->SetHooks({&HookLog::OnRead, &HookLog::OnWrite, nullptr, &log});
    // Write-only hook: the read half of INC uses the array.
    cpu->HookSfrWrite(kPaged, true);
    cpu->SetSfr(kPaged, 0x10);
    Exec({kIncDirect, kPaged});
    EXPECT_EQ(log.events, (std::vector<HookLog::Event>{{'W', kPaged, 0x11, kOrigin}}));
    EXPECT_EQ(cpu->Sfr(kPaged), 0x11);
    // Read-only hook: the write is a plain store.
    cpu->HookSfrWrite(kPaged, false);
    cpu->HookSfrRead(kPaged, true);
    log.events.clear();
    log.page_value = 0xF0;
    Exec({kIncDirect, kPaged});
    EXPECT_EQ(log.events, (std::vector<HookLog::Event>{{'R', kPaged, 0xF0, kOrigin}}));
    EXPECT_EQ(cpu->Sfr(kPaged), 0xF1);
    // Neighbouring addresses are not hooked.
    log.events.clear();
    Exec({kIncDirect, kPaged + 1});
    Exec({kIncDirect, kPaged - 1});
    EXPECT_TRUE(log.events.empty());
    EXPECT_TRUE(cpu->SfrReadHooked(kPaged));
    EXPECT_FALSE(cpu->SfrReadHooked(kPaged + 1));
    EXPECT_FALSE(cpu->SfrWriteHooked(kPaged));
}

TEST_F(CpuTest, WriteHookMayReplaceTheStoredValue) {
    // A register whose bit 0 is read-only zero: the hook fixes the array after the store.
    struct Ctx {
        Cpu* cpu;
    } ctx{cpu.get()};
    const auto on_write = [](void* c, uint8_t addr, uint8_t value, uint16_t) {
        static_cast<Ctx*>(c)->cpu->SetSfr(addr, uint8_t(value & 0xFE));
    };
    cpu->SetHooks({nullptr, on_write, nullptr, &ctx});
    cpu->HookSfrWrite(kPaged, true);
    Exec({sim8051::kMovDirectImm, kPaged, 0xFF});
    EXPECT_EQ(cpu->Sfr(kPaged), 0xFE);
    Exec({sim8051::kSetbBit, kPaged + 0});
    EXPECT_EQ(cpu->Sfr(kPaged), 0xFE);
    // Hooked with no function installed: plain array behaviour.
    cpu->SetHooks({});
    cpu->HookSfrRead(kPaged, true);
    Exec({sim8051::kSetbBit, kPaged + 0});
    EXPECT_EQ(cpu->Sfr(kPaged), 0xFF);
}

// --- Run control --------------------------------------------------------------------------------

TEST_F(CpuTest, CodeChangedFromACallbackRunsAtOnce) {
    using namespace sim8051;
    // MOV 0F8h,#1 ; MOV A,#11h ; SJMP $. The write hook rewrites the MOV A operand.
    Load({kMovDirectImm, kPaged, 0x01, kMovAImm, 0x11, kSjmp, 0xFE});
    struct Ctx {
        Cpu* cpu;
    } ctx{cpu.get()};
    cpu->SetHooks({nullptr,
                   [](void* c, uint8_t, uint8_t, uint16_t) { static_cast<Ctx*>(c)->cpu->Code()[kOrigin + 4] = 0x22; },
                   nullptr, &ctx});
    cpu->HookSfrWrite(kPaged, true);
    EXPECT_EQ(cpu->Run(1000), StopReason::kSelfJump);
    EXPECT_EQ(cpu->Acc(), 0x22);
}

TEST_F(CpuTest, RunStopsAtTheFirstBoundaryPastTheLimit) {
    using namespace sim8051;
    // LJMP to the next instruction (2 cycles each), forever.
    for (uint16_t i = 0; i < 0x100; i += 3) {
        const uint16_t at = uint16_t(kOrigin + i);
        Load({kLjmp, uint8_t((at + 3) >> 8), uint8_t(at + 3)}, at);
    }
    cpu->SetPc(kOrigin);
    cpu->SetCycles(100);
    EXPECT_EQ(cpu->Run(100), StopReason::kCycleLimit);
    EXPECT_EQ(cpu->Instructions(), 0u);
    EXPECT_EQ(cpu->Run(105), StopReason::kCycleLimit);
    EXPECT_EQ(cpu->Cycles(), 106u);
    EXPECT_EQ(cpu->Instructions(), 3u);
    EXPECT_EQ(cpu->Pc(), kOrigin + 9);
    EXPECT_EQ(cpu->Run(106 + 1), StopReason::kCycleLimit);
    EXPECT_EQ(cpu->Cycles(), 108u);
}

TEST_F(CpuTest, BreakpointStopsBeforeTheInstructionAndResumes) {
    using namespace sim8051;
    Load({kIncA, kIncA, kIncA, kIncA, kSjmp, 0xFE});
    cpu->SetAcc(0);
    cpu->SetBreakpoint(kOrigin + 2, true);
    EXPECT_EQ(cpu->Run(1000), StopReason::kBreakpoint);
    EXPECT_EQ(cpu->Pc(), kOrigin + 2);
    EXPECT_EQ(cpu->Acc(), 2);
    EXPECT_EQ(cpu->Run(1000), StopReason::kSelfJump);
    EXPECT_EQ(cpu->Acc(), 4);
    // A breakpoint at the start PC of a fresh run stops at once; a cycle limit that ends a
    // run there does not hide it.
    cpu->SetPc(kOrigin);
    cpu->SetAcc(0);
    EXPECT_EQ(cpu->Run(cpu->Cycles() + 2), StopReason::kCycleLimit);
    EXPECT_EQ(cpu->Pc(), kOrigin + 2);
    EXPECT_EQ(cpu->Run(1000), StopReason::kBreakpoint);
    EXPECT_EQ(cpu->Acc(), 2);
    EXPECT_TRUE(cpu->Breakpoint(kOrigin + 2));
    cpu->ClearBreakpoints();
    EXPECT_FALSE(cpu->Breakpoint(kOrigin + 2));
}

TEST_F(CpuTest, SelfJumpsEndTheRun) {
    using namespace sim8051;
    struct Case {
        const char* name;
        std::vector<uint8_t> code;
        uint16_t at;
    };
    const Case cases[] = {
        {"SJMP $", {kSjmp, 0xFE}, 0x0200},
        {"LJMP $", {kLjmp, 0x12, 0x34}, 0x1234},
        {"AJMP $", {uint8_t(kAjmp + 2 * kAjmpAcallStride), 0x10}, 0x0A10},
    };
    for (const Case& c : cases) {
        Load(c.code, c.at);
        const uint64_t start = cpu->Cycles();
        const uint64_t count = cpu->Instructions();
        EXPECT_EQ(cpu->Run(start + 1000), StopReason::kSelfJump) << c.name;
        EXPECT_EQ(cpu->Pc(), c.at) << c.name;
        EXPECT_EQ(cpu->Cycles(), start + 2) << c.name;
        EXPECT_EQ(cpu->Instructions(), count + 1) << c.name;
        EXPECT_EQ(cpu->Step(), StopReason::kSelfJump) << c.name;
    }
    // With detection off, SJMP $ spins until the cycle limit.
    cpu->SetStopOnSelfJump(false);
    Load({kSjmp, 0xFE});
    EXPECT_EQ(cpu->Run(cpu->Cycles() + 100), StopReason::kCycleLimit);
    EXPECT_EQ(cpu->Pc(), kOrigin);
}

TEST_F(CpuTest, RequestStopFromACallbackEndsAfterTheInstruction) {
    using namespace sim8051;
    struct Ctx {
        Cpu* cpu;
        uint64_t cycles_seen;
        uint16_t pc_seen;
    } ctx{cpu.get(), 0, 0};
    cpu->SetHooks({nullptr,
                   [](void* c, uint8_t, uint8_t, uint16_t) {
                       auto* x = static_cast<Ctx*>(c);
                       x->cycles_seen = x->cpu->Cycles();
                       x->pc_seen = x->cpu->Pc();
                       x->cpu->RequestStop();
                   },
                   nullptr, &ctx});
    cpu->HookSfrWrite(sfr::kP1, true);
    Load({kNop, kMovDirectImm, sfr::kP1, 0x00, kNop, kNop, kSjmp, 0xFE});
    cpu->SetCycles(0);
    EXPECT_EQ(cpu->Run(1000), StopReason::kRequested);
    EXPECT_EQ(cpu->Pc(), kOrigin + 4);
    EXPECT_EQ(cpu->Cycles(), 3u);
    EXPECT_EQ(ctx.cycles_seen, 1u);  // callbacks see the count before their instruction
    EXPECT_EQ(ctx.pc_seen, kOrigin + 1);
    EXPECT_EQ(cpu->Run(1000), StopReason::kSelfJump);
}

TEST_F(CpuTest, MachineCyclesPerInstructionClass) {
    using namespace sim8051;
    struct Case {
        const char* name;
        std::vector<uint8_t> code;
        uint64_t cycles;
    };
    const Case cases[] = {
        {"NOP", {kNop}, 1},
        {"undefined A5: one-byte no-op", {kUndefinedA5}, 1},
        {"MOV A,#", {kMovAImm, 1}, 1},
        {"MOV d,#", {kMovDirectImm, 0x30, 1}, 2},
        {"MOV d,A", {kMovDirectA, 0x30}, 1},
        {"MOV Rn,d", {kMovRegDirect, 0x30}, 2},
        {"ORL d,A", {kOrlDirectA, 0x30}, 1},
        {"ORL d,#", {kOrlDirectImm, 0x30, 1}, 2},
        {"MOVX", {kMovxADptr}, 2},
        {"MOVC", {kMovcADptr}, 2},
        {"INC DPTR", {kIncDptr}, 2},
        {"MOV C,bit", {kMovCBit, 0}, 1},
        {"MOV bit,C", {kMovBitC, 0}, 2},
        {"MUL", {kMulAB}, 4},
        {"DIV", {kDivAB}, 4},
        {"CJNE", {kCjneAImm, 0, 0}, 2},
    };
    for (const Case& c : cases) {
        const uint64_t before = cpu->Cycles();
        Exec(c.code);
        EXPECT_EQ(cpu->Cycles() - before, c.cycles) << c.name;
        EXPECT_EQ(cpu->Pc(), kOrigin + c.code.size()) << c.name << ": length";
    }
}

TEST_F(CpuTest, UndefinedA5ChangesNothingButPcAndTime) {
    cpu->SetAcc(0x3C);
    cpu->SetPsw(0xA8);
    cpu->Iram()[0x30] = 0x12;
    Exec({sim8051::kUndefinedA5, 0x30});
    EXPECT_EQ(cpu->Acc(), 0x3C);
    EXPECT_EQ(cpu->Psw(), 0xA8);
    EXPECT_EQ(cpu->Pc(), kOrigin + 1);
    EXPECT_EQ(cpu->Iram()[0x30], 0x12);
}

TEST_F(CpuTest, ResetValues) {
    cpu->Iram()[0x42] = 0x99;
    cpu->Xram()[0x4242] = 0x98;
    for (unsigned a = 0x80; a < 0x100; ++a) cpu->SetSfr(uint8_t(a), 0x5A);
    cpu->SetPc(0x1234);
    cpu->Reset();
    EXPECT_EQ(cpu->Pc(), 0);
    for (unsigned a = 0x80; a < 0x100; ++a) {
        const bool port = a == sfr::kP0 || a == sfr::kP1 || a == sfr::kP2 || a == sfr::kP3;
        const uint8_t expected = port ? 0xFF : a == sfr::kSp ? 0x07 : 0x00;
        EXPECT_EQ(cpu->Sfr(uint8_t(a)), expected) << std::hex << a;
    }
    EXPECT_EQ(cpu->Iram()[0x42], 0x99);
    EXPECT_EQ(cpu->Xram()[0x4242], 0x98);
}

}  // namespace
