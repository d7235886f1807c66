#include <gtest/gtest.h>

#include <signal.h>

#include "sim/peltosim/debug/timeline.h"

namespace peltosim::debug {
namespace {

// Checkpoints are processes: a long session keeps a bounded number of them, the start among
// them, spread over the run.
TEST(TimelineTest, ThinsItsPastToABoundedNumber) {
    Timeline timeline;
    ASSERT_TRUE(timeline.Start());
    constexpr uint64_t kTaken = 3 * Timeline::kMaxPoints;
    for (uint64_t n = 0; n < kTaken; ++n) ASSERT_FALSE(timeline.Take(n * Timeline::kInterval));
    EXPECT_EQ(timeline.size(), Timeline::kMaxPoints);
    EXPECT_EQ(timeline.CycleOf(0), 0u);
    EXPECT_EQ(timeline.CycleOf(timeline.size() - 1), (kTaken - 1) * Timeline::kInterval);
    // No gap grows beyond a few intervals' worth of the whole run per point.
    for (std::size_t i = 1; i < timeline.size(); ++i)
        EXPECT_LE(timeline.CycleOf(i) - timeline.CycleOf(i - 1), 4 * Timeline::kInterval) << i;
    // Checkpoints before a cycle, newest first.
    const auto before = timeline.Before(Timeline::kInterval * 10, false);
    ASSERT_FALSE(before.empty());
    EXPECT_LT(timeline.CycleOf(before.front()), Timeline::kInterval * 10);
    EXPECT_EQ(timeline.CycleOf(before.back()), 0u);
}

}  // namespace
}  // namespace peltosim::debug
