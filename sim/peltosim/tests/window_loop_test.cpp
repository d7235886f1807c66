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

}  // namespace
