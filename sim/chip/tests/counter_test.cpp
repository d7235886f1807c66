// The lazy counter's arithmetic: overflows and values at any time from its base, the time of the
// n-th overflow, and bringing it forward without losing a partly counted step.
#include "sim/chip/counter.h"

#include <gtest/gtest.h>

namespace {

using chip::Counter;
using chip::kStatesPerCycle;

TEST(CounterTest, OverflowsAndValueFollowTheModulusAndTheReload) {
    struct Case {
        const char* what;
        Counter c;
        uint64_t t;
        uint64_t overflows;
        uint32_t value;
    } cases[] = {
        {"not yet at the first overflow", {0xFFF0, 0, true}, 15 * kStatesPerCycle, 0, 0xFFFF},
        {"exactly at the first overflow: wraps to 0", {0xFFF0, 0, true}, 16 * kStatesPerCycle, 1, 0},
        {"8-bit reload 0x9C: period 100 after the first", {0xF0, 0, true, 0x100, 0x9C}, (16 + 250) * kStatesPerCycle, 3, 0x9C + 50},
        {"partial step is not counted", {0x10, 0, true, 0x100, 0}, 5 * kStatesPerCycle + kStatesPerCycle - 1, 0, 0x15},
        {"stopped: nothing counts", {0x10, 0, false, 0x100, 0}, 1000 * kStatesPerCycle, 0, 0x10},
        {"before the base: nothing counts", {0x10, 600, true, 0x100, 0}, 300, 0, 0x10},
        {"one count a state (baud generator), reload 0xFFDC", {0xFFDC, 0, true, 0x10000, 0xFFDC, 1}, 36 * 5, 5, 0xFFDC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t value = 0;
        EXPECT_EQ(c.c.OverflowsUntil(c.t, &value), c.overflows);
        EXPECT_EQ(value, c.value);
    }
}

TEST(CounterTest, NthOverflowIsTheTimeOverflowsUntilFirstCountsIt) {
    const Counter c{0xF0, 60, true, 0x100, 0x9C};
    for (uint64_t n = 1; n <= 4; ++n) {
        const uint64_t at = c.NthOverflow(n);
        EXPECT_EQ(at, 60 + kStatesPerCycle * (0x10 + (n - 1) * 100)) << n;
        EXPECT_EQ(c.OverflowsUntil(at), n) << n;
        EXPECT_EQ(c.OverflowsUntil(at - 1), n - 1) << n;
    }
    EXPECT_EQ(c.NthOverflow(0), chip::kNever);
    EXPECT_EQ((Counter{0xF0, 60, false}.NthOverflow(1)), chip::kNever) << "a stopped counter never overflows";
}

TEST(CounterTest, AdvancingInPiecesCountsWhatOneStepWould) {
    // Brought forward at times off the counting grid, the counter loses no partial step.
    Counter pieces{0x00, 0, true, 0x100, 0x80};
    constexpr uint64_t kEnd = 7 * 430;
    uint64_t overflows = 0;
    for (uint64_t t = 7; t <= kEnd; t += 7) overflows += pieces.Advance(t);
    uint32_t value = 0;
    const uint64_t whole = Counter{0x00, 0, true, 0x100, 0x80}.OverflowsUntil(kEnd, &value);
    EXPECT_EQ(overflows, whole);
    EXPECT_EQ(pieces.value, value);
    EXPECT_EQ(pieces.base % kStatesPerCycle, 0u) << "the base stays on the grid";
}

TEST(CounterTest, StoppingHoldsTheValueAndRestartingCountsFromThen) {
    Counter c{0xFE, 0, true, 0x100, 0};
    EXPECT_EQ(c.SetRunning(3 * kStatesPerCycle, false), 1u) << "0xFE, 0xFF, overflow, 0x01";
    EXPECT_EQ(c.value, 1u);
    EXPECT_EQ(c.Advance(100 * kStatesPerCycle), 0u);
    EXPECT_EQ(c.value, 1u) << "held while stopped";
    c.SetRunning(100 * kStatesPerCycle, true);
    EXPECT_EQ(c.NthOverflow(1), (100 + 0xFF) * kStatesPerCycle);
}

TEST(CounterTest, CycleOfStateRoundsUpToTheCycleBoundary) {
    EXPECT_EQ(chip::CycleOfState(0), 0u);
    EXPECT_EQ(chip::CycleOfState(1), 1u);
    EXPECT_EQ(chip::CycleOfState(kStatesPerCycle), 1u);
    EXPECT_EQ(chip::CycleOfState(kStatesPerCycle + 1), 2u);
    EXPECT_EQ(chip::CycleOfState(chip::kNever), chip::kNever);
}

}  // namespace
