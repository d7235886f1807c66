// Start-up writes the three ROM images, one host memory write each, in table order.
#include <gtest/gtest.h>

#include <algorithm>

#include "flash/regmap.h"
#include "flash/rom/images.h"
#include "host/extension.h"
#include "tests/fake_host.h"

using testing_host::FakeHost;

namespace {

using flash::rom::kImageLayout;

TEST(RomImages, StartUpWritesEachImageOnceInOrderThenDisarmsTheTimer) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    const auto writes = h.WritesOnly();
    std::vector<testing_host::Call> memory;
    std::copy_if(writes.begin(), writes.end(), std::back_inserter(memory),
                 [](const auto& c) { return c.service == "PeltoWriteMemory"; });
    ASSERT_EQ(memory.size(), kImageLayout.size());
    for (std::size_t i = 0; i < kImageLayout.size(); ++i)
        EXPECT_EQ(memory[i].args,
                  (testing_host::Args{flash::CodeAddress(kImageLayout[i].address), kImageLayout[i].size}))
            << kImageLayout[i].name;
    // Start-up writes no register; the timer is disarmed after the images are in place.
    ASSERT_EQ(writes.size(), kImageLayout.size() + 1);
    EXPECT_EQ(writes.back().service, "PeltoSetTimer");
}

TEST(RomImages, CodeMemoryHoldsTheImagesAndTheEntryTableJumps) {
    FakeHost h;
    h.code.fill(0x5A);
    ASSERT_EQ(h.Start(), 1u);
    const auto images = flash::rom::Images();
    ASSERT_EQ(images.size(), kImageLayout.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(images[i].address, kImageLayout[i].address);
        ASSERT_EQ(images[i].bytes.size(), kImageLayout[i].size);
        EXPECT_TRUE(std::equal(images[i].bytes.begin(), images[i].bytes.end(), h.code.begin() + images[i].address))
            << kImageLayout[i].name;
        // Nothing beyond the image was written.
        EXPECT_EQ(h.code[images[i].address + images[i].bytes.size()], 0x5A) << kImageLayout[i].name;
    }
    for (std::size_t e = 0; e < flash::rom::kEntryTable.size(); ++e) {
        const uint16_t at = flash::rom::EntryAddress(e);
        EXPECT_EQ(h.code[at], flash::rom::kLongJump) << flash::rom::kEntryTable[e].name;
        EXPECT_EQ(h.code[at + 1] << 8 | h.code[at + 2], flash::rom::kEntryTable[e].target)
            << flash::rom::kEntryTable[e].name;
    }
}

TEST(RomImages, ResetLeavesCodeMemoryAloneAndAnotherStartUpWritesAgain) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    const uint16_t first = kImageLayout.front().address;
    h.code[first] ^= 0xFF;
    h.ClearCalls();
    EXPECT_EQ(h.Reset(), 1u);
    EXPECT_TRUE(h.CallsTo("PeltoWriteMemory").empty());
    EXPECT_NE(h.code[first], flash::rom::Images().front().bytes.front());
    ASSERT_EQ(h.Start(), 1u);
    EXPECT_EQ(h.code[first], flash::rom::Images().front().bytes.front());
}

// The host's write results are not looked at: a refusing host still starts.
TEST(RomImages, RefusedImageWritesDoNotFailStartUp) {
    FakeHost h;
    h.fail["PeltoWriteMemory"] = 0;
    EXPECT_EQ(h.Start(), 1u);
    EXPECT_EQ(h.CallsTo("PeltoWriteMemory").size(), kImageLayout.size());
}

}  // namespace
