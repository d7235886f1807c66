// The window update throttle: at most one update per interval, whatever the poll rate.
#include <gtest/gtest.h>

#include "sim/peltosim/host/window_loop.h"

namespace {

using namespace std::chrono_literals;
using peltosim::UpdateThrottle;

TEST(UpdateThrottle, AtMostOneUpdatePerInterval) {
    UpdateThrottle throttle(100ms);
    const UpdateThrottle::Clock::time_point t0{1s};
    struct Case {
        std::chrono::milliseconds at;
        bool due;
    } cases[] = {
        {0ms, true},    // the first poll updates
        {1ms, false},   {99ms, false},
        {100ms, true},  // a full interval after the last update
        {150ms, false},
        {260ms, true},  // counted from the last update, not from a fixed grid
        {359ms, false}, {360ms, true},
    };
    for (const auto& c : cases) EXPECT_EQ(throttle.Due(t0 + c.at), c.due) << c.at.count() << " ms";
}

// A slow update pushes the next one back: updates take at most one part in budget + 1.
TEST(UpdateThrottle, SlowUpdatesKeepToTheirBudget) {
    UpdateThrottle throttle(100ms, 9);
    const UpdateThrottle::Clock::time_point t0{1s};
    EXPECT_TRUE(throttle.Due(t0));
    throttle.Took(50ms);  // the next no sooner than 450 ms after it
    EXPECT_FALSE(throttle.Due(t0 + 100ms));
    EXPECT_FALSE(throttle.Due(t0 + 449ms));
    EXPECT_TRUE(throttle.Due(t0 + 450ms));
    throttle.Took(1ms);  // fast again: the interval rules
    EXPECT_FALSE(throttle.Due(t0 + 549ms));
    EXPECT_TRUE(throttle.Due(t0 + 550ms));
}

}  // namespace
