// The chip around the core as the host runs it: timer modes, interrupt levels and the rule that
// holds a request back for one instruction, the serial port's frame times, the flash NMI, resets
// and power cuts, stop conditions and when an idle loop ends the run. Programs are assembled at
// build time (programs/chip_*.asm).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "flash/regmap.h"
#include "sim/chip/regs.h"
#include "sim/cpu/ihex.h"
#include "sim/peltosim/host/sim_host.h"

using peltosim::RunEnd;
using peltosim::SimHost;

namespace {

constexpr uint16_t kPatch = 0x0100;  // where programs read the parameters a test patches in
constexpr uint16_t kTimer0Vector = 0x000B;
constexpr uint16_t kTimer1Vector = 0x001B;
constexpr uint16_t kNmiVector = 0x0073;
constexpr uint8_t kNmiFlashDone = flash::kNmiFlashDone;

class ChipTest : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    // A new chip: the cycle count starts again from 0 (a reset keeps it).
    void Fresh() { host_ = std::make_unique<SimHost>(); }

    void Load(const std::string& name) {
        std::ifstream in(std::string(CHIP_TEST_PROGRAMS) + "/" + name + ".ihx");
        ASSERT_TRUE(in) << name;
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(sim8051::LoadIntelHex(text, host().cpu().Code()).ok) << name;
    }
    void Patch(std::vector<uint8_t> bytes) { std::copy(bytes.begin(), bytes.end(), host().cpu().Code().begin() + kPatch); }
    uint8_t Iram(uint8_t a) const { return host().cpu().Iram()[a]; }
    // The cycle counts at which the program arrives at `vector`, for the first `count` times.
    std::vector<uint64_t> Arrivals(uint16_t vector, std::size_t count, uint64_t max_cycles = 1'000'000) {
        std::vector<uint64_t> at;
        host().cpu().SetBreakpoint(vector, true);
        while (at.size() < count && host().Run(max_cycles) == RunEnd::kBreakpoint) at.push_back(host().cpu().Cycles());
        host().cpu().SetBreakpoint(vector, false);
        return at;
    }

    SimHost& host() { return *host_; }
    const SimHost& host() const { return *host_; }
    std::unique_ptr<SimHost> host_;
};

// chip_timer0 runs SETB TR0 in cycle 20 and SETB TR1 in cycle 21, then its 2-cycle idle loop.
// A write takes effect at the end of its instruction: the timers count from cycles 21 and 22.
constexpr uint64_t kTr0Set = 21;
constexpr uint64_t kTr1Set = 22;
constexpr uint64_t kLoopStart = 22;
constexpr unsigned kLoopCycles = 2;
constexpr unsigned kCallCycles = 2;
constexpr unsigned kHandlerCycles = 3;  // INC Rn; RETI

// Where the program arrives at a vector for flags set at the given cycles: the flag is polled in
// the next cycle, so the request is taken at the first loop boundary at least one cycle after
// it, plus the call; after the handler, one loop pass runs before the next may be taken.
std::vector<uint64_t> ExpectedArrivals(const std::vector<uint64_t>& flags) {
    std::vector<uint64_t> arrivals;
    uint64_t boundary = kLoopStart;
    for (uint64_t flag : flags) {
        const uint64_t r = flag + 1;
        if (r > boundary) boundary += (r - boundary + kLoopCycles - 1) / kLoopCycles * kLoopCycles;
        arrivals.push_back(boundary + kCallCycles);
        boundary = arrivals.back() + kHandlerCycles + kLoopCycles;
    }
    return arrivals;
}

TEST_F(ChipTest, Timer0OverflowsInEveryMode) {
    struct Case {
        const char* what;
        uint8_t tmod, th0, tl0;
        uint64_t first_overflow;  // counts after kTr0Set
        uint64_t period;
    } cases[] = {
        // Timer 1 in mode 3 holds, so only timer 0 interrupts.
        {"mode 0: 13 bits from TH0:TL0[4:0]", 0x30, 0xFF, 0x1C, 4, 0x2000},
        {"mode 0: TL0 bits 7..5 do not count", 0x30, 0xFF, 0xEC, 20, 0x2000},
        {"mode 1: 16 bits", 0x31, 0xFF, 0x00, 256, 0x10000},
        {"mode 2: reload from TH0", 0x32, 0x9C, 0xF0, 16, 100},
        {"mode 3: TL0 alone, 8 bits", 0x33, 0x00, 0x80, 128, 256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        Load("chip_timer0");
        Patch({c.tmod, c.th0, c.tl0, 0x82});  // EA, ET0
        host().Reset();
        const uint64_t first = kTr0Set + c.first_overflow;
        EXPECT_EQ(Arrivals(kTimer0Vector, 3), ExpectedArrivals({first, first + c.period, first + 2 * c.period}));
    }
}

TEST_F(ChipTest, Mode3SplitsTimer0AndTh0TakesTimer1sRunBitAndFlag) {
    Load("chip_timer0");
    Patch({0x33, 0xF0, 0x00, 0x88});  // TH0 from 0xF0, run by TR1; only ET1 enabled
    host().Reset();
    const uint64_t first = kTr1Set + 16;
    EXPECT_EQ(Arrivals(kTimer1Vector, 2), ExpectedArrivals({first, first + 256}));
    EXPECT_NE(host().cpu().Sfr(chip::sfr::kTcon) & chip::tcon::kTf0, 0) << "TL0 overflowed too, its interrupt disabled";
}

TEST_F(ChipTest, AFlagSetAtTheBoundaryWhereAnotherWasPolledIsTakenAtTheNext) {
    // TH0 (run by TR1, its interrupt off) overflows in cycle 39, TL0 in cycle 40: the core stops at
    // 40 for the first, and the second, set in that very cycle, must still be polled at 41.
    Load("chip_timer0");
    Patch({0x33, 0xEF, 0xED, 0x82});
    host().Reset();
    EXPECT_EQ(Arrivals(kTimer0Vector, 1), ExpectedArrivals({kTr0Set + 19}));
}

std::vector<uint8_t> LogAt(const SimHost& h, uint8_t from, std::size_t n) {
    const auto iram = h.cpu().Iram();
    return {iram.begin() + from, iram.begin() + from + n};
}

TEST_F(ChipTest, TheProgramsFlagWritesReachThePollOneCycleLate) {
    // chip_flag_poll's header derives the log: (trial, R7) pairs, then 0xEE.
    Load("chip_flag_poll");
    host().Reset();
    ASSERT_EQ(host().Run(100'000), RunEnd::kHalted);
    EXPECT_EQ(LogAt(host(), 0x30, 17), (std::vector<uint8_t>{1, 1, 2, 1, 3, 1, 4, 1, 5, 1,   // set: one instruction first
                                                             6, 0, 7, 0, 8, 0,                 // cleared in the poll: taken
                                                             0xEE}));                          // cleared before: never
}

TEST_F(ChipTest, SerialMode0FlagsComeTenCyclesAfterTheWriteAndLeaveRb8) {
    // chip_serial_mode0's header: eleven one-cycle instructions before each call.
    Load("chip_serial_mode0");
    host().SetSerialOutput(nullptr, true);
    host().chip().serial().SetInput({0x5A});
    host().Reset();
    ASSERT_EQ(host().Run(100'000), RunEnd::kHalted);
    EXPECT_EQ(LogAt(host(), 0x30, 5), (std::vector<uint8_t>{11, chip::scon::kTi, 11, chip::scon::kRen | chip::scon::kRi, 0x5A}));
}

TEST_F(ChipTest, SerialBitClockRunsFreelyAndTakesSmodFromItsNextStep) {
    // chip_serial_clock's header derives R7 at the call.
    struct Case {
        const char* what;
        uint8_t pcon;
        uint8_t r7;
    } cases[] = {
        {"SMOD from the start: TI the cycle after the tenth rollover after the write", chip::pcon::kSmod, 158},
        {"SMOD set in the frame: the divide-by-16 counts every overflow from then", 0x00, 211},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        Load("chip_serial_clock");
        Patch({c.pcon});
        host().SetSerialOutput(nullptr, true);
        host().Reset();
        ASSERT_EQ(host().Run(100'000), RunEnd::kHalted);
        EXPECT_EQ(Iram(0x30), c.r7);
    }
}

TEST_F(ChipTest, HighLevelNestsInLowAndSameLevelWaitsForReti) {
    Load("chip_nesting");
    host().Reset();
    ASSERT_EQ(host().Run(100'000), RunEnd::kHalted);
    const auto log = host().cpu().Xram().subspan(0x9000, 5);
    EXPECT_EQ(std::vector<uint8_t>(log.begin(), log.end()), (std::vector<uint8_t>{0x0B, 0x1B, 0xBE, 0xE0, 0x00}))
        << "timer 0 (low), timer 1 (high) nested at once, timer 0's end, then external 0 after RETI";
    EXPECT_EQ(host().cpu().Sfr(chip::sfr::kTcon) & (chip::tcon::kIe0 | chip::tcon::kTf1 | chip::tcon::kTf0), 0)
        << "entry clears TF0, TF1 and an edge-triggered IE0";
}

TEST_F(ChipTest, OneInstructionRunsAfterRetiBeforeTheNextEntry) {
    Load("chip_hold");
    host().Reset();
    ASSERT_EQ(host().Run(100'000), RunEnd::kCycleLimit);  // main spins with EA clear in an INC/SJMP loop
    // SETB IE0 is polled one instruction late: INC R7 runs once before the first entry. After
    // each RETI one instruction of main runs, SJMP and INC R7 in turn, so the nine returns
    // before the tenth entry add four: five in all.
    EXPECT_EQ(Iram(0x30), 5);
    EXPECT_EQ(host().chip().entries()[0], 10u);
}

// chip_serial_irq: SCON, PCON, TMOD, TH1, T2CON, RCAP2H, RCAP2L. Each TI entry (arrival E)
// writes SBUF at E+4 (CLR TI, INC R7, the 2-cycle MOV SBUF,R7), returns at E+6, and one pass of
// main's 2-cycle SJMP follows, so the next call starts at the first boundary of E's parity from
// E+8 on at or after the cycle that polls TI. In modes 1-3 TI is set in the cycle after the bit
// clock's rollover that ends a frame (R+1), polled from R+2, so E is R+4 or R+5 and the write
// R+8 or R+9; the bit clock runs freely, so the next frame starts with the first rollover after
// the write. With a rollover period above 9 cycles that is the one after R: frames follow each
// other exactly. In mode 2 the period is 32 states (SMOD clear) or 16: one rollover at R+5.3,
// or three (R+2.7, R+5.3, R+8.0 at the latest), pass before the write and the frame waits for
// them. Mode 0 sets TI at the start of the tenth cycle after the write (in the cycle ending at
// E+14), polled at E+15: the call starts at E+16, arrives at E+18. As every arrival has the
// same parity, three frames take exactly three times the time a frame takes from TI to TI.
TEST_F(ChipTest, SerialFrameTimesFollowTheModeAndTheBaudSource) {
    constexpr uint16_t kSerialVector = 0x0023;
    constexpr uint64_t kStatesPerCycle = 6;
    struct Case {
        const char* what;
        std::vector<uint8_t> setup;
        uint64_t three_frames_states;  // three arrivals apart, in states (6 a cycle)
        bool each_the_same;            // a whole number of cycles per frame: every gap the same
    } cases[] = {
        {"mode 0: TI ten cycles after the write", {0x00, 0x00, 0x20, 0xFD, 0x00, 0xFF, 0xDC}, 3 * 18 * 6, true},
        {"mode 1, timer 1 reloading 0xFD: 10 bits x 32 overflows x 3 cycles", {0x40, 0x00, 0x20, 0xFD, 0x00, 0xFF, 0xDC},
         3 * 960 * 6, true},
        {"mode 1 with SMOD: 16 overflows a bit", {0x40, 0x80, 0x20, 0xFD, 0x00, 0xFF, 0xDC}, 3 * 480 * 6, true},
        {"mode 3: 11 bits", {0xC0, 0x00, 0x20, 0xFD, 0x00, 0xFF, 0xDC}, 3 * 1056 * 6, true},
        {"mode 2: (11 bits + 1 passed) x 32 states", {0x80, 0x00, 0x20, 0xFD, 0x00, 0xFF, 0xDC}, 3 * 12 * 32, true},
        {"mode 2 with SMOD: (11 bits + 3 passed) x 16 states", {0x80, 0x80, 0x20, 0xFD, 0x00, 0xFF, 0xDC}, 3 * 14 * 16, false},
        {"mode 1 from timer 2 (TCLK), RCAP2 0xFFDC: 10 bits x 16 x 36 states", {0x40, 0x00, 0x20, 0xFD, 0x14, 0xFF, 0xDC},
         3 * 960 * 6, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        Load("chip_serial_irq");
        Patch(c.setup);
        host().SetSerialOutput(nullptr, true);
        host().Reset();
        const auto at = Arrivals(kSerialVector, 4);
        ASSERT_EQ(at.size(), 4u);
        EXPECT_EQ((at[3] - at[0]) * kStatesPerCycle, c.three_frames_states);
        if (c.each_the_same) {
            EXPECT_EQ(at[2] - at[1], at[1] - at[0]);
            EXPECT_EQ(at[3] - at[2], at[1] - at[0]);
        }
    }
    EXPECT_EQ(host().serial_text().substr(0, 4), std::string("@\x01\x02\x03"));
}

TEST_F(ChipTest, ReceivedBytesArriveOneFrameApartAndWaitForRi) {
    Load("chip_serial");
    Patch({0x40, 0x80, 0x20, 0xFD, 0x00, 0xFF, 0xDC});
    host().SetSerialOutput(nullptr, true);
    host().chip().serial().SetInput({'a', 'b', 'c'});
    host().Reset();
    ASSERT_EQ(host().Run(1'000'000), RunEnd::kHalted);
    EXPECT_EQ(host().serial_text(), "Hi!bcd") << "each received byte echoed plus one, none lost";
    EXPECT_EQ(host().chip().serial().InputLeft(), 0u);
}

// A host timer plays the extension: at cycle 2000 it sets NMISTAT bit 2, as a completed flash
// operation does.
void RaiseFlashDone() {
    SimHost::Current()->WriteSFR(flash::Id(flash::Reg::NMISTAT), kNmiFlashDone, kNmiFlashDone);
}

TEST_F(ChipTest, NmiPreemptsBothLevelsAndIsRequestedAgainWhileItsFlagStays) {
    Load("chip_nmi");
    host().Reset();
    const uint32_t timer = host().CreateTimer(RaiseFlashDone);
    ASSERT_EQ(host().SetTimer(timer, 2000), 1u);
    const auto at = Arrivals(kNmiVector, 2);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_GE(at[0], 2002u);
    EXPECT_LE(at[0], 2002u + 4) << "taken at the first boundary after the flag was set";
    EXPECT_EQ(host().chip().interrupts().InProgress() & chip::kLevelHigh, chip::kLevelHigh)
        << "the NMI came inside the high-level timer 0 handler";
    ASSERT_EQ(host().Run(20'000), RunEnd::kCycleLimit);
    EXPECT_EQ(host().chip().entries().back(), 2u) << "second entry cleared NMISTAT: no third";
    EXPECT_EQ(host().sfrs().Read(flash::Id(flash::Reg::NMISTAT))->current, 0);
    EXPECT_GT(host().chip().entries()[1], 2u) << "timer 0 goes on after the NMI";
}

TEST_F(ChipTest, ResetKeepsRamAndPowerCutRefillsAllButTheShadow) {
    struct Case {
        bool power_cut;
        uint8_t iram_boots, xram_boots, shadow_boots;
    } cases[] = {{false, 2, 2, 2}, {true, 0x5A + 1, 0x5A + 1, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.power_cut ? "power cut" : "reset");
        SimHost h;
        std::ifstream in(std::string(CHIP_TEST_PROGRAMS) + "/chip_boot.ihx");
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(sim8051::LoadIntelHex(text, h.cpu().Code()).ok);
        int resets_seen = 0;
        h.OnReset([&] { ++resets_seen; });
        h.KeepOnPowerCut(0x0000, 0x7FFF);
        h.SetRamFill({false, 0x5A, 0});
        h.Reset();
        h.ScheduleReset(5000, c.power_cut);
        ASSERT_EQ(h.Run(10'000), RunEnd::kCycleLimit) << "timer 0 enabled: the idle loop goes on";
        EXPECT_EQ(resets_seen, 2) << "every reset reaches the extensions";
        EXPECT_EQ(h.cpu().Iram()[0x30], c.iram_boots);
        EXPECT_EQ(h.cpu().Xram()[0x9000], c.xram_boots);
        EXPECT_EQ(h.cpu().Xram()[0x1000], c.shadow_boots);
        EXPECT_EQ(h.cpu().Iram()[0x31], 0x07) << "SP at its reset value at the second boot";
        EXPECT_EQ(h.cpu().Iram()[0x32], 0xFF) << "P1 at its reset value";
        EXPECT_EQ(h.cpu().Iram()[0x33], 0x00) << "IE cleared: interrupts stopped";
        EXPECT_EQ(h.resets() + h.power_cuts(), 1u);
    }
}

TEST_F(ChipTest, StopConditionsEndTheRunAfterTheAccess) {
    struct Case {
        peltosim::StopAccess access;
        uint16_t pc_after;  // the instruction after the access
    } cases[] = {
        {{peltosim::StopAccess::Space::kXdata, 0x9000, false}, 0x004F},  // MOVX A,@DPTR
        {{peltosim::StopAccess::Space::kXdata, 0x1000, true}, 0x0057},   // the second MOVX @DPTR,A
        {{peltosim::StopAccess::Space::kIdata, 0x30, true}, 0x004B},     // INC 0x30
        {{peltosim::StopAccess::Space::kIdata, 0x30, false}, 0x004B},    // INC reads it too
        {{peltosim::StopAccess::Space::kIdata, 0x33, false}, 0x0065},    // never read: the loop, then the limit
    };
    for (const Case& c : cases) {
        SimHost h;
        std::ifstream in(std::string(CHIP_TEST_PROGRAMS) + "/chip_boot.ihx");
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(sim8051::LoadIntelHex(text, h.cpu().Code()).ok);
        h.Reset();
        h.StopOn(c.access);
        const bool reached = c.pc_after != 0x0065;
        EXPECT_EQ(h.Run(10'000), reached ? RunEnd::kStopped : RunEnd::kCycleLimit);
        EXPECT_EQ(h.cpu().Pc(), c.pc_after) << std::hex << c.access.address;
    }
}

TEST_F(ChipTest, SelfJumpHaltsOnlyWhenNothingCanLeaveIt) {
    // SJMP $ with: EA clear and no NMI -> halted; timer 0 enabled -> an idle loop; power-down ->
    // its own end; idle mode wakes on the timer.
    struct Case {
        const char* what;
        std::vector<uint8_t> code;
        RunEnd end;
        uint64_t timer0_entries_at_least;
    } cases[] = {
        {"interrupts off", {0x80, 0xFE}, RunEnd::kHalted, 0},
        {"timer 0 running and enabled",
         {0x75, 0x89, 0x02, 0x75, 0xA8, 0x82, 0xD2, 0x8C, 0x80, 0xFE}, RunEnd::kCycleLimit, 300},
        {"NMI enabled, EA clear",
         {0x53, 0x8F, 0xFE, 0x75, 0xBF, 0x00, 0x75, 0xBB, 0x04, 0x80, 0xFE}, RunEnd::kCycleLimit, 0},
        {"idle mode with timer 0", {0x75, 0x89, 0x02, 0x75, 0xA8, 0x82, 0xD2, 0x8C, 0x75, 0x87, 0x01, 0x80, 0xFE},
         RunEnd::kCycleLimit, 300},
        {"power-down", {0x75, 0x89, 0x02, 0x75, 0xA8, 0x82, 0xD2, 0x8C, 0x75, 0x87, 0x02, 0x80, 0xFE}, RunEnd::kPowerDown, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimHost h;
        std::copy(c.code.begin(), c.code.end(), h.cpu().Code().begin() + 0x40);
        const uint8_t jump_to_0x40[] = {0x02, 0x00, 0x40};
        std::copy(std::begin(jump_to_0x40), std::end(jump_to_0x40), h.cpu().Code().begin());
        h.cpu().Code()[kTimer0Vector] = 0x32;  // RETI
        h.Reset();
        EXPECT_EQ(h.Run(100'000), c.end);
        EXPECT_GE(h.chip().entries()[1], c.timer0_entries_at_least);
    }
}

}  // namespace
