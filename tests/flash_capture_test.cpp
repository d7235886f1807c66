// Byte capture and the ECC check, driven through the watches the extension registers.
#include <gtest/gtest.h>

#include "fake_host.h"
#include "flash/capture.h"
#include "flash/regmap.h"
#include "host/extension.h"

using flash::Reg;
using testing_host::FakeHost;

namespace {

// Hamming (12,8): parity bit p covers every code position whose number has bit p set.
uint8_t HammingReference(uint8_t data) {
    const int positions[8] = {3, 5, 6, 7, 9, 10, 11, 12};
    uint8_t check = 0;
    for (int p = 0; p < 4; ++p) {
        int parity = 0;
        for (int bit = 0; bit < 8; ++bit)
            if ((data >> bit & 1) && (positions[bit] >> p & 1)) parity ^= 1;
        check = static_cast<uint8_t>(check | parity << p);
    }
    return check;
}

TEST(EccCheckBits, MatchesHammingDefinitionForEveryByte) {
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(flash::EccCheckBits(static_cast<uint8_t>(v)), HammingReference(static_cast<uint8_t>(v))) << v;
    const std::pair<uint8_t, uint8_t> known[] = {{0x00, 0x0}, {0x01, 0x3}, {0x02, 0x5}, {0x04, 0x6}, {0x08, 0x7},
                                                 {0x10, 0x9}, {0x20, 0xA}, {0x40, 0xB}, {0x80, 0xC}, {0x55, 0x7},
                                                 {0xAA, 0x4}, {0x5A, 0x0}, {0xFF, 0x3}};
    for (auto [data, check] : known) EXPECT_EQ(flash::EccCheckBits(data), check) << int(data);
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
    }
    const flash::FlashState& state() const { return host::TheExtension().flash; }
    FakeHost h;
};

TEST_F(CaptureTest, PflashByteGoesToItsRowAndShadow) {
    h.CaptureByte(0x1234, 0x55);
    EXPECT_EQ(state().capture[0][0x34], 0x55);
    EXPECT_EQ(state().last_captured[0], 0x1234u);
    EXPECT_EQ(h.xdata[0x1234], 0x17);
    EXPECT_EQ(h.code[0x1234], 0x00) << "capture never writes code memory";

    h.CaptureByte(0x2000, 0x00);
    EXPECT_EQ(h.xdata[0x2000], 0x10) << "valid bit with an all-zero check nibble";
    EXPECT_EQ(state().last_captured[1], 0x2000u);
}

TEST_F(CaptureTest, DflashByteMirrorsShadowInBothViews) {
    struct Case {
        uint16_t address;
        int bank;
        int index;
        uint16_t primary;
        uint16_t second;
    } cases[] = {{0x7005, 3, 0x05, 0xA005, 0x7005},
                 {0xA0E5, 3, 0x05, 0xA0E5, 0x70E5},
                 {0x6FFF, 4, 0x1F, 0xBFFF, 0x6FFF},
                 {0xB021, 4, 0x01, 0xB021, 0x6021}};
    for (auto c : cases) {
        h.xdata[c.primary] = 0xE0;  // bits 7..5 survive, from the addressed view
        h.xdata[c.second] = 0xE0;
        h.CaptureByte(c.address, 0x80);
        EXPECT_EQ(state().capture[c.bank][c.index], 0x80) << std::hex << c.address;
        EXPECT_EQ(state().last_captured[c.bank], c.address);
        EXPECT_EQ(h.xdata[c.primary], 0xFC) << std::hex << c.address;
        EXPECT_EQ(h.xdata[c.second], 0xFC) << std::hex << c.address;
    }
    for (int i = 32; i < 64; ++i) EXPECT_EQ(state().capture[3][i], 0) << "DFLASH rows use 32 bytes";
}

TEST_F(CaptureTest, SecondCaptureOrsCheckBits) {
    h.CaptureByte(0x0100, 0x01);  // 0x3
    h.CaptureByte(0x0100, 0x80);  // 0xC
    EXPECT_EQ(state().capture[0][0x00], 0x80);
    EXPECT_EQ(h.xdata[0x0100], 0x1F);
}

TEST_F(CaptureTest, IgnoredWrites) {
    struct Case {
        uint16_t address;
        uint8_t opcode;
    } cases[] = {{0x8000, flash::kOpMovDirectA}, {0x9FFF, flash::kOpMovDirectA}, {0xC000, flash::kOpMovDirectA},
                 {0xFE80, flash::kOpMovDirectA}, {0x1234, 0x75 /* MOV direct,#data */},
                 {0x1234, 0x8F /* MOV direct,R7 */}, {0x1234, 0x85 /* MOV direct,direct */}};
    const auto before = state();
    const auto xdata_before = h.xdata;
    for (auto c : cases) {
        h.ClearCalls();
        h.CaptureByte(c.address, 0x5A, c.opcode);
        EXPECT_TRUE(h.CallsTo("PeltoWriteMemory").empty()) << std::hex << c.address << " " << int(c.opcode);
    }
    EXPECT_EQ(state().capture, before.capture);
    EXPECT_EQ(state().last_captured, before.last_captured);
    EXPECT_EQ(h.xdata, xdata_before);
}

TEST_F(CaptureTest, CaptureWorksInEveryMode) {
    for (uint32_t mode : {0x10u, 0x20u, 0x40u, 0x80u}) {
        h.SetSfr(Reg::FCTL_P2A, mode);
        h.CaptureByte(0x4001, static_cast<uint8_t>(mode));
        EXPECT_EQ(state().capture[2][1], mode);
    }
}

TEST_F(CaptureTest, HostThatLeavesHighBitsUnmaskedStillCaptures) {
    // The data pointer and the data byte are the low 8 bits of what the host reports.
    for (uint32_t junk : {0x00000100u, 0x5A5A0000u, 0xFFFFFF00u}) {
        h.unmasked_bits = junk;
        h.CaptureByte(0xA123, 0x6C);
        EXPECT_EQ(state().capture[3][0x03], 0x6C) << std::hex << junk;
        EXPECT_EQ(state().last_captured[3], 0xA123u) << std::hex << junk;
        EXPECT_EQ(h.xdata[0xA123], 0x10 | flash::EccCheckBits(0x6C)) << std::hex << junk;
        h.xdata[0xA123] = 0;
        host::TheExtension().flash.capture[3][0x03] = 0;
    }
}

class EccReadTest : public CaptureTest {};

TEST_F(EccReadTest, MismatchSetsOnlyBit6) {
    h.SetSfr(Reg::NMISTAT, 0x81);
    h.CaptureByte(0x0200, 0x55);  // code still 0x00, shadow 0x17: mismatch
    h.ProgramCodeRead(0x0200, flash::kOpMovcDptr);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0xC1u);
    h.ProgramCodeRead(0x0200, flash::kOpMovcPc);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0xC1u) << "a second error leaves it set";
    EXPECT_EQ(h.code[0x0200], 0x00) << "nothing is corrected";
}

TEST_F(EccReadTest, WhenAReadIsChecked) {
    struct Case {
        const char* what;
        uint16_t address;
        uint8_t code;
        uint8_t shadow;
        uint8_t opcode;
        bool error;
    } cases[] = {
        {"matching byte", 0x0300, 0x55, 0x17, flash::kOpMovcDptr, false},
        {"mismatch via @A+PC", 0x0300, 0x54, 0x17, flash::kOpMovcPc, true},
        {"valid bit clear", 0x0300, 0x54, 0x07, flash::kOpMovcDptr, false},
        {"not a MOVC", 0x0300, 0x54, 0x17, 0xE0, false},
        {"DFLASH second view", 0x7300, 0x54, 0x17, flash::kOpMovcDptr, true},
        {"top of DFLASH 1", 0xBFFF, 0xFF, 0x13, flash::kOpMovcDptr, false},
        {"high bits ignored", 0x0300, 0x55, 0xF7, flash::kOpMovcDptr, false},
    };
    for (auto c : cases) {
        h.SetSfr(Reg::NMISTAT, 0);
        h.code[c.address] = c.code;
        h.xdata[c.address] = c.shadow;
        h.ProgramCodeRead(c.address, c.opcode);
        EXPECT_EQ(h.Sfr(Reg::NMISTAT), c.error ? 0x40u : 0u) << c.what;
    }
}

TEST_F(EccReadTest, CapturedButNeverProgrammedByteReportsError) {
    h.code[0x0400] = 0x12;
    h.CaptureByte(0x0400, 0x34);
    h.ProgramCodeRead(0x0400);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT) & flash::kNmiEccError, flash::kNmiEccError);
}

}  // namespace
