// The operation sequencer driven as a host drives it: control and FCMD writes, timer expiries.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "fake_host.h"
#include "flash/capture.h"
#include "flash/regmap.h"
#include "flash/sequencer.h"
#include "host/extension.h"

using flash::Reg;
using testing_host::FakeHost;

namespace {

class SequencerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
        h.memory_writes.clear();  // start-up's own writes (the ROM images) are not under test here
        h.cycles = 1000;
    }
    bool TimerArmed() const { return h.timers[0].due.has_value(); }
    uint64_t TimerDue() const { return h.timers[0].due.value_or(0); }
    void Fill(uint16_t first, std::size_t count, uint8_t value) {
        std::fill_n(h.code.begin() + first, count, value);
        std::fill_n(h.xdata.begin() + first, count, value);
    }
    bool AllEqual(uint16_t first, std::size_t count, uint8_t value) const {
        return std::all_of(h.code.begin() + first, h.code.begin() + first + count, [&](uint8_t b) { return b == value; }) &&
               std::all_of(h.xdata.begin() + first, h.xdata.begin() + first + count, [&](uint8_t b) { return b == value; });
    }
    // The program side of a program operation, as the ROM routine does it.
    void CaptureBlock(uint16_t first, std::size_t count, uint8_t seed) {
        for (std::size_t i = 0; i < count; ++i) h.CaptureByte(static_cast<uint16_t>(first + i), static_cast<uint8_t>(seed + i * 7));
    }
    FakeHost h;
};

TEST(ClassifyRequest, EveryValue) {
    // Accepted values, by mode, as listed for the controls.
    const std::vector<uint8_t> pwd{0x01, 0x11, 0x21, 0x31};
    const std::vector<uint8_t> read{0x02, 0x12, 0x22, 0x32};
    const std::vector<uint8_t> erase{0x04, 0x14, 0x24, 0x34, 0x44, 0x54, 0x84, 0x94, 0xA4, 0xB4, 0xC4, 0xD4};
    const std::vector<uint8_t> program{0x08, 0x18, 0x28, 0x38, 0x48, 0x58, 0x68, 0x78, 0x88, 0x98, 0xC8, 0xD8};
    int accepted = 0;
    for (int v = 0; v < 256; ++v) {
        const auto value = static_cast<uint8_t>(v);
        std::optional<uint8_t> expected;
        for (auto [list, mode] : {std::pair{&pwd, 0x10}, {&read, 0x20}, {&erase, 0x40}, {&program, 0x80}})
            if (std::find(list->begin(), list->end(), value) != list->end()) expected = static_cast<uint8_t>(mode);
        EXPECT_EQ(flash::ClassifyRequest(value), expected) << std::hex << v;
        accepted += expected.has_value();
    }
    EXPECT_EQ(accepted, 32);
}

TEST_F(SequencerTest, ControlWritesEndInModeValuesOrStayAsWritten) {
    for (int v = 0; v < 256; ++v) {
        h.SetSfr(Reg::FCTL_P1B, 0x20);
        h.ProgramWrite(Reg::FCTL_P1B, static_cast<uint32_t>(v));
        const auto mode = flash::ClassifyRequest(static_cast<uint8_t>(v));
        EXPECT_EQ(h.Sfr(Reg::FCTL_P1B), mode ? *mode : static_cast<uint32_t>(v)) << std::hex << v;
    }
}

TEST_F(SequencerTest, RequestsCancelTheTimerAndRefusalsDoNot) {
    struct Case {
        uint8_t before;
        uint8_t written;
        uint8_t after;
        bool cancels;
    } cases[] = {
        {0x20, 0x22, 0x20, true},  {0x80, 0x82, 0x82, false}, {0x40, 0x42, 0x42, false},
        {0x40, 0x64, 0x64, false}, {0x80, 0x84, 0x40, true},  {0x20, 0x2C, 0x2C, false},
        {0x20, 0x03, 0x03, false}, {0x20, 0x28, 0x80, true},  {0x20, 0x21, 0x10, true},
    };
    for (auto c : cases) {
        h.SetSfr(Reg::FCTL_D0, c.before);
        h.SetTimer(1, 500);
        h.ProgramWrite(Reg::FCTL_D0, c.written);
        EXPECT_EQ(h.Sfr(Reg::FCTL_D0), c.after) << std::hex << int(c.written);
        EXPECT_EQ(!TimerArmed(), c.cancels) << std::hex << int(c.written);
    }
}

TEST_F(SequencerTest, ProgramPflashPair0) {
    CaptureBlock(0x1240, 64, 0x11);
    h.ProgramOr(Reg::FCTL_P0A, 0x08);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0A), 0x80u);
    h.ProgramOr(Reg::FCTL_P0B, 0x08);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0B), 0x80u);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.ProgramOr(Reg::FIRQCFG, 0x01);
    const uint64_t start = h.cycles;
    ASSERT_EQ(TimerDue(), start + 58575);

    h.Advance(58574);
    EXPECT_EQ(h.code[0x1240], 0x00) << "not before its time";
    h.Advance(1);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(h.code[0x1240 + i], static_cast<uint8_t>(0x11 + i * 7)) << i;
    EXPECT_EQ(h.code[0x123F], 0x00);
    EXPECT_EQ(h.code[0x1280], 0x00);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0A), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0B), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FIRQCFG), 0x21u);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0x04u);
    EXPECT_EQ(h.Sfr(Reg::FCMD), 0x06u);
    EXPECT_FALSE(TimerArmed());

    // Programmed bytes read back clean; a captured-but-unprogrammed byte does not.
    h.ProgramCodeRead(0x1240);
    h.ProgramCodeRead(0x127F);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0x04u);
    h.CaptureByte(0x1300, 0x5A);
    h.code[0x1300] = 0x5B;
    h.ProgramCodeRead(0x1300);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0x44u);
}

// A host that runs the watches for the extension's own control writes calls the sequencer from
// inside itself; the inner call does nothing and the operations come out as on a proper host.
TEST_F(SequencerTest, HostRunningWatchesForOwnWritesGetsTheSameOperations) {
    h.watch_own_writes = true;
    CaptureBlock(0xB020, 32, 0x31);
    h.ProgramWrite(Reg::FIRQCFG, 0x01);
    h.ProgramWrite(Reg::FCTL_D1, 0x28);
    EXPECT_EQ(h.Sfr(Reg::FCTL_D1), 0x80u);
    h.ProgramWrite(Reg::FCMD, 0x06);
    ASSERT_EQ(TimerDue(), h.cycles + flash::kProgramCycles);
    h.Advance(flash::kProgramCycles);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(h.code[0xB020 + i], static_cast<uint8_t>(0x31 + i * 7)) << i;
        EXPECT_EQ(h.code[0x6020 + i], static_cast<uint8_t>(0x31 + i * 7)) << i;
    }
    EXPECT_EQ(h.Sfr(Reg::FCTL_D1), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0x04u);
    EXPECT_FALSE(TimerArmed());

    Fill(0x2000, 0x2000, 0xEE);
    h.SetSfr(Reg::FSEL_P1, 0x04);
    h.ProgramWrite(Reg::FCMD, 0x04);
    h.ProgramWrite(Reg::FCTL_P1B, 0x24);
    h.ProgramWrite(Reg::FCMD, 0x06);
    h.Advance(flash::kEraseFirstPhaseCycles);
    EXPECT_EQ(h.Sfr(Reg::FPHASE2), 0x1Eu);
    h.Advance(flash::kEraseSecondPhaseCycles);
    EXPECT_TRUE(AllEqual(0x2000, 0x1F00, 0xEE));
    EXPECT_TRUE(AllEqual(0x3F00, 0x100, 0x00));
    EXPECT_EQ(h.Sfr(Reg::FCTL_P1A), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P1B), 0x20u);
    EXPECT_FALSE(TimerArmed());

    // An abort writes every control; each write runs the FCMD handler's watch again.
    h.ProgramWrite(Reg::FCMD, 0x04);
    h.ProgramWrite(Reg::FCTL_D0, 0x24);
    h.ProgramWrite(Reg::FCMD, 0x06);
    h.Advance(100);
    h.ProgramWrite(Reg::FCMD, 0x04);
    for (Reg c : flash::kControls) EXPECT_EQ(h.Sfr(c), 0x20u) << flash::Info(c).name;
    EXPECT_FALSE(TimerArmed());
}

TEST_F(SequencerTest, ProgramWithoutSignallingStillCommits) {
    CaptureBlock(0x2000, 64, 0x01);
    h.ProgramOr(Reg::FCTL_P1A, 0x08);
    h.ProgramOr(Reg::FCTL_P1B, 0x08);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.Advance(58575);
    EXPECT_EQ(h.code[0x2000], 0x01);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P1A), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FIRQCFG), 0x00u);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0x00u);
}

TEST_F(SequencerTest, ProgramDflash1WritesBothViews) {
    for (int i = 0; i < 32; ++i) h.CaptureByte(static_cast<uint16_t>(0xB0A0 + (i + 6) % 32), static_cast<uint8_t>(0xC0 + (i + 6) % 32));
    h.CaptureByte(0xB0A5, 0xC5);
    ASSERT_EQ(host::TheExtension().flash.last_captured[4], 0xB0A5u);
    h.ProgramOr(Reg::FCTL_D1, 0x08);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.Advance(58575);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(h.code[0xB0A0 + i], 0xC0 + i) << i;
        EXPECT_EQ(h.code[0x60A0 + i], 0xC0 + i) << i;
        EXPECT_EQ(h.xdata[0xB0A0 + i], h.xdata[0x60A0 + i]) << i;
    }
    EXPECT_EQ(h.code[0xB09F], 0);
    EXPECT_EQ(h.code[0xB0C0], 0);
    EXPECT_EQ(h.Sfr(Reg::FCTL_D1), 0x20u);
    h.ProgramCodeRead(0x60BF);
    h.ProgramCodeRead(0xB0A0, flash::kOpMovcPc);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0u);
}

TEST_F(SequencerTest, CommitForBankNeverCapturedWritesNoMemory) {
    // Pair 0 holds data; a program of pair 1 with nothing captured may not overwrite it.
    Fill(0x0000, 64, 0xAB);
    h.ProgramOr(Reg::FCTL_P1A, 0x08);
    h.ProgramOr(Reg::FCTL_P1B, 0x08);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.ProgramOr(Reg::FIRQCFG, 0x01);
    h.memory_writes.clear();
    h.Advance(58575);
    EXPECT_TRUE(h.memory_writes.empty());
    EXPECT_TRUE(AllEqual(0x0000, 64, 0xAB));
    EXPECT_EQ(h.Sfr(Reg::FCTL_P1A), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P1B), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FIRQCFG), 0x21u);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0x04u);
}

TEST_F(SequencerTest, ProgramModeWithoutStartWaitsForever) {
    h.CaptureByte(0x0000, 0x42);
    h.ProgramOr(Reg::FCTL_P0A, 0x08);
    h.Advance(10'000'000);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0A), 0x80u);
    EXPECT_EQ(h.code[0], 0x00);
}

TEST_F(SequencerTest, EraseDflash0TwoPhases) {
    Fill(0x7000, 0x1000, 0xEE);
    Fill(0xA000, 0x1000, 0xEE);
    h.SetSfr(Reg::FSEL_D0L, 0x01);
    h.SetSfr(Reg::FSEL_D0H, 0x02);
    h.SetSfr(Reg::FPHASE2, 0x77);
    h.ProgramWrite(Reg::FCTL_D0, 0x04);
    EXPECT_EQ(h.Sfr(Reg::FCTL_D0), 0x40u);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.ProgramOr(Reg::FIRQCFG, 0x01);
    for (Reg r : {Reg::FPHASE0, Reg::FPHASE1, Reg::FPHASE2}) EXPECT_EQ(h.Sfr(r), 0x00u);

    h.Advance(119989);
    EXPECT_EQ(h.Sfr(Reg::FPHASE0), 0x00u);
    h.Advance(1);
    EXPECT_EQ(h.Sfr(Reg::FPHASE0), 0x1Fu);
    EXPECT_EQ(h.Sfr(Reg::FPHASE1), 0x1Fu);
    EXPECT_EQ(h.Sfr(Reg::FPHASE2), 0x1Eu);
    EXPECT_TRUE(AllEqual(0x7000, 0x1000, 0xEE));

    h.Advance(2319058);
    EXPECT_TRUE(AllEqual(0x7000, 0x1000, 0xEE)) << "not before its time";
    h.Advance(1);
    EXPECT_TRUE(AllEqual(0x7000, 0x400, 0x00));
    EXPECT_TRUE(AllEqual(0x7400, 0xB80, 0xEE));
    EXPECT_TRUE(AllEqual(0x7F80, 0x80, 0x00));
    EXPECT_TRUE(AllEqual(0xA000, 0x400, 0x00));
    EXPECT_TRUE(AllEqual(0xA400, 0xB80, 0xEE));
    EXPECT_TRUE(AllEqual(0xAF80, 0x80, 0x00));
    EXPECT_EQ(h.Sfr(Reg::FSEL_D0L), 0u);
    EXPECT_EQ(h.Sfr(Reg::FSEL_D0H), 0u);
    EXPECT_EQ(h.Sfr(Reg::FCTL_D0), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FIRQCFG), 0x21u);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0x04u);
    // 128-byte sectors are cleared in one piece each: no write crosses a sector.
    for (const auto& w : h.memory_writes) EXPECT_LE(w.count, 256u);
}

TEST_F(SequencerTest, ErasePflashSectorSelections) {
    struct Case {
        uint8_t select;
        std::vector<std::pair<uint16_t, uint16_t>> cleared;  // first, count
    } cases[] = {
        {0x07, {{0x4000, 0x2000}}},
        {0x38, {}},
        {0x02, {{0x5E00, 0x100}}},
        {0x05, {{0x4000, 0x1E00}, {0x5F00, 0x100}}},
    };
    for (const auto& c : cases) {
        Fill(0x4000, 0x2000, 0x99);
        h.SetSfr(Reg::FSEL_P2, c.select);
        h.ProgramOr(Reg::FCTL_P2A, 0x04);
        h.ProgramOr(Reg::FCTL_P2B, 0x04);
        h.ProgramOr(Reg::FCMD, 0x06);
        h.Advance(119990 + 2319059);
        std::size_t cleared = 0;
        for (auto [first, count] : c.cleared) {
            EXPECT_TRUE(AllEqual(first, count, 0x00)) << std::hex << int(c.select) << " " << first;
            cleared += count;
        }
        const auto zeros = std::count(h.code.begin() + 0x4000, h.code.begin() + 0x6000, 0);
        EXPECT_EQ(static_cast<std::size_t>(zeros), cleared) << std::hex << int(c.select);
        EXPECT_EQ(h.Sfr(Reg::FSEL_P2), 0u);
        EXPECT_EQ(h.Sfr(Reg::FCTL_P2A), 0x20u);
        EXPECT_EQ(h.Sfr(Reg::FCTL_P2B), 0x20u);
        h.SetSfr(Reg::FCMD, 0x04);
    }
}

TEST_F(SequencerTest, TwoPairsInEraseModeEraseOnlyTheFirst) {
    Fill(0x0000, 0x4000, 0x77);
    h.SetSfr(Reg::FSEL_P0, 0x04);
    h.SetSfr(Reg::FSEL_P1, 0x04);
    for (Reg r : {Reg::FCTL_P0A, Reg::FCTL_P0B, Reg::FCTL_P1A, Reg::FCTL_P1B}) h.ProgramOr(r, 0x04);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.Advance(2439049);
    EXPECT_TRUE(AllEqual(0x1F00, 0x100, 0x00));
    EXPECT_TRUE(AllEqual(0x3F00, 0x100, 0x77));
    EXPECT_EQ(h.Sfr(Reg::FCTL_P1A), 0x40u);
    EXPECT_EQ(h.Sfr(Reg::FSEL_P1), 0x04u);
    // Another start erases the second pair.
    h.ProgramWrite(Reg::FCMD, 0x06);
    h.Advance(2439049);
    EXPECT_TRUE(AllEqual(0x3F00, 0x100, 0x00));
    EXPECT_EQ(h.Sfr(Reg::FCTL_P1A), 0x20u);
}

TEST_F(SequencerTest, ProgramIsPreferredOverErase) {
    h.SetSfr(Reg::FSEL_D1L, 0x01);
    h.ProgramWrite(Reg::FCTL_D1, 0x04);
    h.CaptureByte(0x2000, 0x42);
    h.ProgramOr(Reg::FCTL_P1A, 0x08);
    h.ProgramOr(Reg::FCTL_P1B, 0x08);
    h.ProgramOr(Reg::FCMD, 0x06);
    EXPECT_EQ(TimerDue(), h.cycles + 58575);
    h.Advance(58575);
    EXPECT_EQ(h.code[0x2000], 0x42);
    EXPECT_EQ(h.Sfr(Reg::FCTL_D1), 0x40u);
}

TEST_F(SequencerTest, AbortInEitherPhaseReturnsAllControlsToRead) {
    for (uint64_t when : {uint64_t{100}, uint64_t{119990 + 100}}) {
        Fill(0x1F00, 0x100, 0x55);
        h.SetSfr(Reg::FSEL_P0, 0x04);
        h.SetSfr(Reg::FCTL_D1, 0x10);  // a bank not involved
        h.ProgramOr(Reg::FCTL_P0A, 0x04);
        h.ProgramOr(Reg::FCTL_P0B, 0x04);
        h.ProgramOr(Reg::FCMD, 0x06);
        h.ProgramOr(Reg::FIRQCFG, 0x01);
        h.Advance(when);
        const uint32_t phase0 = h.Sfr(Reg::FPHASE0);
        h.ProgramWrite(Reg::FCMD, 0x04);
        for (Reg c : flash::kControls) EXPECT_EQ(h.Sfr(c), 0x20u) << flash::Info(c).name;
        EXPECT_FALSE(TimerArmed());
        EXPECT_EQ(host::TheExtension().flash.start_time, ~uint64_t{0});
        EXPECT_EQ(h.Sfr(Reg::FSEL_P0), 0x04u);
        EXPECT_EQ(h.Sfr(Reg::FPHASE0), phase0);
        EXPECT_EQ(h.Sfr(Reg::FIRQCFG), 0x01u);
        h.Advance(3'000'000);
        EXPECT_TRUE(AllEqual(0x1F00, 0x100, 0x55)) << "no commit after an abort";
        EXPECT_EQ(h.Sfr(Reg::NMISTAT), 0u);
    }
}

TEST_F(SequencerTest, CommandWritesThatNeitherStartNorAbort) {
    h.CaptureByte(0x0000, 0x42);
    struct Case {
        uint8_t previous;
        uint8_t written;
    } cases[] = {{0x06, 0x00}, {0x07, 0x04}, {0x05, 0x07}, {0x04, 0x0E}, {0x06, 0x0C}, {0x16, 0x35}};
    for (auto c : cases) {
        h.SetSfr(Reg::FCTL_P0A, 0x80);
        h.SetSfr(Reg::FCMD, c.previous);
        h.ClearCalls();
        h.ProgramWrite(Reg::FCMD, c.written);
        EXPECT_TRUE(h.WritesOnly().empty()) << std::hex << int(c.previous) << "->" << int(c.written);
        EXPECT_FALSE(TimerArmed());
    }
    // The high nibble does not matter: 0xF6 starts.
    h.ProgramWrite(Reg::FCMD, 0xF6);
    EXPECT_TRUE(TimerArmed());
}

TEST_F(SequencerTest, AcceptedRequestCancelsRunningOperation) {
    h.CaptureByte(0x0000, 0x42);
    h.ProgramOr(Reg::FCTL_P0A, 0x08);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.Advance(1000);
    h.ProgramOr(Reg::FCTL_P0B, 0x08);  // accepted: 0x28 -> 0x80, cancels the timer
    EXPECT_FALSE(TimerArmed());
    h.Advance(100000);
    EXPECT_EQ(h.code[0], 0x00);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0A), 0x80u);
}

TEST_F(SequencerTest, AcceptedRequestAtExactElapsedTimeRunsThePhase) {
    h.CaptureByte(0x0000, 0x42);
    h.ProgramOr(Reg::FCTL_P0A, 0x08);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.cycles += 58575;  // the program writes a control exactly at the commit cycle
    h.ProgramOr(Reg::FCTL_P0B, 0x08);
    EXPECT_EQ(h.code[0], 0x42);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0A), 0x20u);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0B), 0x20u);
}

TEST_F(SequencerTest, ResetWhileOperationPending) {
    Fill(0xBF00, 0x100, 0x33);
    h.SetSfr(Reg::FSEL_D1H, 0x03);
    h.ProgramWrite(Reg::FCTL_D1, 0x04);
    h.ProgramOr(Reg::FCMD, 0x06);
    h.Advance(50);
    ASSERT_EQ(h.Reset(), 1u);
    EXPECT_TRUE(TimerArmed()) << "reset leaves the timer alone";
    h.Advance(119990 - 50);
    EXPECT_EQ(h.Sfr(Reg::FPHASE2), 0x1Eu) << "first phase still ends";
    EXPECT_TRUE(TimerArmed());
    h.ClearCalls();
    h.Advance(2319059);
    // The commit finds no control in erase mode and only cancels the timer.
    EXPECT_TRUE(AllEqual(0xBF00, 0x100, 0x33));
    ASSERT_EQ(h.WritesOnly().size(), 1u);
    EXPECT_EQ(h.WritesOnly()[0].service, "PeltoSetTimer");
}

TEST_F(SequencerTest, StartWithNoBankInModeDoesNothing) {
    h.ClearCalls();
    h.ProgramWrite(Reg::FCMD, 0x06);
    EXPECT_TRUE(h.WritesOnly().empty());
    EXPECT_EQ(host::TheExtension().flash.start_time, ~uint64_t{0});
}

TEST_F(SequencerTest, ElapsedTimeWrapsModulo64Bits) {
    // Started 100 cycles before the counter wraps: the commit falls due after the wrap.
    h.CaptureByte(0x0040, 0x42);
    h.ProgramOr(Reg::FCTL_P0A, 0x08);
    h.cycles = ~uint64_t{0} - 99;
    h.ProgramOr(Reg::FCMD, 0x06);
    h.Advance(58574);
    EXPECT_EQ(h.code[0x0040], 0x00);
    h.Advance(1);
    EXPECT_EQ(h.code[0x0040], 0x42);
    EXPECT_EQ(h.Sfr(Reg::FCTL_P0A), 0x20u);
}

// A call at the very cycle a program phase would end, with no timer armed for it: no operation
// ever started (the start time is unset), or the one started was cancelled by a request. Found
// by the host-event fuzzer: either used to commit the stale row and signal completion.
TEST(Sequencer, NothingEndsWithoutAnArmedTimer) {
    struct Case {
        const char* what;
        bool started;     // an operation was started and then cancelled
        bool by_request;  // the call is a request (otherwise a timer call by the host)
    };
    const Case cases[] = {
        {"never started, request", false, true},
        {"never started, timer call", false, false},
        {"cancelled, request", true, true},
        {"cancelled, timer call", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
        h.cycles = 1000;
        h.CaptureByte(0x0040, 0x42);
        h.ProgramOr(Reg::FCTL_P0A, 0x08);
        uint64_t start = ~uint64_t{0};  // unset start time
        if (c.started) {
            start = h.cycles;
            h.ProgramOr(Reg::FCMD, 0x06);
            h.Advance(1000);
            h.ProgramWrite(Reg::FCTL_P0B, 0x28);  // accepted: cancels the timer
            ASSERT_FALSE(h.timers[0].due.has_value());
        }
        h.ClearCalls();
        h.cycles = start + 58575;
        if (c.by_request) h.ProgramWrite(Reg::FCTL_P0B, 0x28);
        else h.FireTimerNow(1);
        EXPECT_EQ(h.code[0x0040], 0x00);
        EXPECT_EQ(h.Sfr(Reg::FCTL_P0A), 0x80u);
        EXPECT_TRUE(h.CallsTo("PeltoWriteMemory").empty());
    }
}

// In the second erase phase, a call at the first phase's duration after that phase's start is no
// end of a phase: a request cancels the erase, a timer call changes nothing. Found by the
// host-event fuzzer: both used to end the first phase again and restart the second.
TEST(Sequencer, SecondErasePhaseIgnoresTheFirstPhaseDuration) {
    for (bool by_request : {true, false}) {
        SCOPED_TRACE(by_request ? "request" : "timer call");
        FakeHost fresh;
        ASSERT_EQ(fresh.Start(), 1u);
        ASSERT_EQ(fresh.Reset(), 1u);
        fresh.cycles = 1000;
        std::fill_n(fresh.code.begin() + 0x1F00, 0x100, 0x33);
        fresh.SetSfr(Reg::FSEL_P0, 0x04);
        fresh.ProgramOr(Reg::FCTL_P0A, 0x04);
        fresh.ProgramOr(Reg::FCMD, 0x06);
        fresh.Advance(119990);
        const uint64_t second_start = fresh.cycles;
        ASSERT_EQ(fresh.timers[0].due, second_start + 2319059);
        fresh.cycles = second_start + 119990;
        if (by_request) fresh.ProgramWrite(Reg::FCTL_P0B, 0x24);
        else fresh.FireTimerNow(1);
        EXPECT_EQ(fresh.timers[0].due, by_request ? std::nullopt : std::optional<uint64_t>(second_start + 2319059));
        fresh.Advance(2319059);
        EXPECT_EQ(fresh.code[0x1F00], by_request ? 0x33 : 0x00);
    }
}

}  // namespace

// ---- the exact writes of an operation, in order ----------------------------------------------

namespace order {

using testing_host::Call;

Call Sfr(Reg reg, uint32_t value, uint32_t mask = 0xFF) { return {"PeltoWriteSFR", {flash::Id(reg), value, mask}}; }
Call Memory(uint32_t address, uint32_t count) { return {"PeltoWriteMemory", {address, count}}; }
Call Timer(uint32_t cycles) { return {"PeltoSetTimer", {1, cycles}}; }

}  // namespace order

// The completion of a program operation on a pair whose second control alone is in program
// mode: the block, the two completion flags, then the controls back to read mode, the one
// found in program mode leading.
TEST_F(SequencerTest, ProgramCommitWritesInOrderWhenOnlyTheSecondControlIsInProgramMode) {
    CaptureBlock(0x4440, 64, 0x21);
    h.ProgramWrite(Reg::FIRQCFG, 0x01);
    h.ProgramWrite(Reg::FCTL_P2B, 0x08);
    ASSERT_EQ(h.Sfr(Reg::FCTL_P2A), 0x20u);
    h.ProgramWrite(Reg::FCMD, 0x06);
    h.ClearCalls();
    h.Advance(flash::kProgramCycles);
    using namespace order;
    EXPECT_EQ(h.WritesOnly(), (std::vector<Call>{Timer(flash::kTimerDisarm), Memory(0xFF004440, 64),
                                                 Sfr(Reg::FIRQCFG, 0x20, 0x20), Sfr(Reg::NMISTAT, 0x04, 0x04),
                                                 Sfr(Reg::FCTL_P2B, 0x20), Sfr(Reg::FCTL_P2A, 0x20)}));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(h.code[0x4440 + i], static_cast<uint8_t>(0x21 + i * 7)) << i;
}

// Bytes captured through a DFLASH bank's second view commit to both views.
TEST_F(SequencerTest, ProgramCapturedThroughTheSecondViewWritesBothViews) {
    const struct {
        uint16_t captured_at;
        Reg control;
        uint32_t second, primary;
    } cases[] = {{0x7040, Reg::FCTL_D0, 0xFF007040, 0xFF00A040}, {0x6FE0, Reg::FCTL_D1, 0xFF006FE0, 0xFF00BFE0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(flash::Info(c.control).name);
        CaptureBlock(c.captured_at, 32, 0x40);
        h.ProgramWrite(Reg::FCMD, 0x04);
        h.ProgramWrite(c.control, 0x08);
        h.ProgramWrite(Reg::FCMD, 0x06);
        h.ClearCalls();
        h.Advance(flash::kProgramCycles);
        using namespace order;
        EXPECT_EQ(h.WritesOnly(), (std::vector<Call>{Timer(flash::kTimerDisarm), Memory(c.second, 32),
                                                     Memory(c.primary, 32), Sfr(c.control, 0x20)}));
        for (int i = 0; i < 32; ++i) {
            EXPECT_EQ(h.code[(c.second & 0xFFFF) + i], static_cast<uint8_t>(0x40 + i * 7)) << i;
            EXPECT_EQ(h.code[(c.primary & 0xFFFF) + i], static_cast<uint8_t>(0x40 + i * 7)) << i;
        }
    }
}

// An erase of DFLASH 0 sectors 4, 6, 8 and 9: the phase markers at the start and after the first
// phase, then at the end each sector in pieces of at most its own size (128 bytes for the small
// ones), code before shadow, the second view before the primary, then the selects, the
// completion flags and the control.
TEST_F(SequencerTest, EraseWritesInOrderWithSmallSectorsInTheirOwnPieces) {
    using namespace order;
    h.SetSfr(Reg::FSEL_D0L, 0x50);  // sectors 4 and 6
    h.SetSfr(Reg::FSEL_D0H, 0x03);  // sectors 8 and 9
    h.ProgramWrite(Reg::FIRQCFG, 0x01);
    h.ProgramWrite(Reg::FCTL_D0, 0x04);
    h.ClearCalls();
    h.ProgramWrite(Reg::FCMD, 0x06);
    EXPECT_EQ(h.WritesOnly(), (std::vector<Call>{Timer(flash::kEraseFirstPhaseCycles), Sfr(Reg::FPHASE2, 0x00),
                                                 Sfr(Reg::FPHASE0, 0x00), Sfr(Reg::FPHASE1, 0x00)}));
    h.ClearCalls();
    h.Advance(flash::kEraseFirstPhaseCycles);
    EXPECT_EQ(h.WritesOnly(), (std::vector<Call>{Sfr(Reg::FPHASE0, 0x1F), Sfr(Reg::FPHASE1, 0x1F),
                                                 Sfr(Reg::FPHASE2, 0x1E), Timer(flash::kEraseSecondPhaseCycles)}));
    h.ClearCalls();
    h.Advance(flash::kEraseSecondPhaseCycles);
    std::vector<Call> expected{Timer(flash::kTimerDisarm)};
    const std::pair<uint16_t, uint32_t> pieces[] = {{0xC00, 256}, {0xE00, 128}, {0xF00, 128}, {0xF80, 128}};
    for (uint32_t view : {0x7000u, 0xA000u})
        for (auto [offset, size] : pieces)
            for (uint32_t space : {0xFF000000u, 0x01000000u}) expected.push_back(Memory(space | (view + offset), size));
    for (const Call& c : {Sfr(Reg::FSEL_D0L, 0), Sfr(Reg::FSEL_D0H, 0), Sfr(Reg::FIRQCFG, 0x20, 0x20),
                          Sfr(Reg::NMISTAT, 0x04, 0x04), Sfr(Reg::FCTL_D0, 0x20)})
        expected.push_back(c);
    EXPECT_EQ(h.WritesOnly(), expected);
}

// A block that runs past the end of a pair: each byte is captured in the bank its address lies
// in, and the commit writes the pair's block of its last captured byte only.
TEST_F(SequencerTest, BlockRunningIntoTheNextBankCommitsOnlyTheFirstBanksBlock) {
    const struct {
        uint16_t first;
        Reg control_a, control_b;
        int next_bank;
        uint16_t next_first;    // where the bytes past the pair landed, in the next bank
        uint16_t next_other;    // the same bytes' other view (DFLASH), or 0
    } cases[] = {{0x1FF0, Reg::FCTL_P0A, Reg::FCTL_P0B, 1, 0x2000, 0}, {0x5FF0, Reg::FCTL_P2A, Reg::FCTL_P2B, 4, 0x6000, 0xB000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first));
        CaptureBlock(c.first, 64, 0x05);
        const auto& state = host::TheExtension().flash;
        const int bank = *flash::BankOfAddress(c.first);
        EXPECT_EQ(state.last_captured[bank], c.first | 0x0Fu);
        EXPECT_EQ(state.last_captured[c.next_bank], c.next_first + 0x2Fu);
        for (uint16_t view : {c.next_first, c.next_other}) {
            if (view == 0) continue;
            EXPECT_EQ(h.xdata[view] & flash::kEccValid, flash::kEccValid) << view;
        }
        h.ProgramWrite(Reg::FCMD, 0x04);
        h.ProgramWrite(c.control_a, 0x08);
        h.ProgramWrite(c.control_b, 0x08);
        h.ProgramWrite(Reg::FCMD, 0x06);
        h.memory_writes.clear();
        h.Advance(flash::kProgramCycles);
        ASSERT_EQ(h.memory_writes.size(), 1u);
        EXPECT_EQ(h.memory_writes[0].address, flash::CodeAddress(c.first & ~0x3Fu));
        EXPECT_EQ(h.memory_writes[0].count, 64u);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(h.code[c.first + i], static_cast<uint8_t>(0x05 + i * 7)) << i;
        for (int i = 0; i < 0x30; ++i) EXPECT_EQ(h.code[c.next_first + i], 0x00) << "next bank untouched, " << i;
    }
}
