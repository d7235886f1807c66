#include "sim/cpu/ihex.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <random>
#include <vector>

namespace {

using Memory = std::array<uint8_t, 0x10000>;

TEST(IntelHex, RoundTripsDataAtAnyAddress) {
    std::mt19937 rng(7);
    struct Case {
        uint16_t address;
        std::size_t size;
    };
    // Sizes around the 16-byte record length; the last case wraps past 0xFFFF into 0x0000.
    for (const Case c : {Case{0x0000, 1}, Case{0x1234, 15}, Case{0x8000, 16}, Case{0x00FF, 17},
                         Case{0x0000, 0x10000}, Case{0xFFF8, 24}}) {
        std::vector<uint8_t> data(c.size);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        auto memory = std::make_unique<Memory>();
        memory->fill(0xEE);
        const auto result = sim8051::LoadIntelHex(sim8051::ToIntelHex(data, c.address), *memory);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.bytes, c.size);
        for (std::size_t i = 0; i < c.size; ++i) {
            ASSERT_EQ((*memory)[(c.address + i) & 0xFFFF], data[i]) << "offset " << i;
        }
        if (c.size < 0x10000 && c.address + c.size <= 0x10000) {
            EXPECT_EQ((*memory)[(c.address + c.size) & 0xFFFF], 0xEE) << "byte after the data";
        }
    }
}

TEST(IntelHex, ReadsAssemblerOutput) {
    // As written by the SDCC linker: CRLF line ends, uppercase digits, a zero linear base record.
    const char* text =
        ":020000040000FA\r\n"
        ":0C01000074122434A5901234F08480FEA8\r\n"
        ":00000001FF\r\n";
    auto memory = std::make_unique<Memory>();
    const auto result = sim8051::LoadIntelHex(text, *memory);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.bytes, 12u);
    const std::array<uint8_t, 12> expected{0x74, 0x12, 0x24, 0x34, 0xA5, 0x90, 0x12, 0x34, 0xF0, 0x84, 0x80, 0xFE};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ((*memory)[0x100 + i], expected[i]);
}

TEST(IntelHex, RejectsMalformedRecordsWithTheirLine) {
    struct Case {
        const char* text;
        std::size_t line;
        const char* error;
    };
    const Case cases[] = {
        {":0100000055AA\n:0100000055AB\n", 2, "bad checksum"},
        {"\n0100000055AA\n", 2, "record does not start with ':'"},
        {":01000000G5AA\n", 1, "bad hex digit"},
        {":0100000055A\n", 1, "odd number of hex digits"},
        {":020000005501\n", 1, "length does not match byte count"},
        {":0000\n", 1, "record too short"},
        {":02FFFF000102FD\n", 1, "data beyond 64 KB"},
        {":020000040001F9\n", 1, "non-zero base address: image beyond 64 KB"},
        {":00000007F9\n", 1, "unknown record type"},
        {":0100000055AA\n:010001006698\n", 2, "no end-of-file record: the file may be truncated"},
        {":0100000055AA\n:01000001AA54\n", 2, "end-of-file record carries data"},
        // A byte stored twice, by records of different lengths and at their edges.
        {":0100000055AA\n:010001006698\n:020000001122CB\n:00000001FF\n", 3, "data at 0x0000 overlaps line 1"},
        {":1000F000000102030405060708090A0B0C0D0E0F88\n:020100001122CA\n:0100FF0042BE\n:00000001FF\n", 3,
         "data at 0x00FF overlaps line 1"},
    };
    for (const Case& c : cases) {
        auto memory = std::make_unique<Memory>();
        const auto result = sim8051::LoadIntelHex(c.text, *memory);
        EXPECT_FALSE(result.ok) << c.text;
        EXPECT_EQ(result.line, c.line) << c.text;
        EXPECT_EQ(result.error, c.error) << c.text;
    }
}

TEST(IntelHex, StopsAtTheEndRecord) {
    auto memory = std::make_unique<Memory>();
    const auto result = sim8051::LoadIntelHex(":0100000055AA\n:00000001FF\n:0100010066\n", *memory);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, 1u);
    EXPECT_EQ((*memory)[0], 0x55);
    EXPECT_EQ((*memory)[1], 0x00);
}

}  // namespace
