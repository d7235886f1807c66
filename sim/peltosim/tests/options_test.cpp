// Numbers and options of the pelto-sim command line.
#include <gtest/gtest.h>

#include "sim/peltosim/run/options.h"

namespace {

TEST(ParseNumber, DecimalAndHexWithinTheLimit) {
    struct Case {
        const char* text;
        uint64_t max;
        std::optional<uint64_t> expected;
    } cases[] = {
        {"0", 0xFF, 0},          {"255", 0xFF, 255},         {"256", 0xFF, std::nullopt},
        {"0xFF", 0xFF, 0xFF},    {"0x100", 0xFF, std::nullopt}, {"9", 5, std::nullopt},  // one digit over a small limit
        {"0xF", 9, std::nullopt}, {"5", 5, 5},               {"18446744073709551615", ~uint64_t{0}, ~uint64_t{0}},
        {"18446744073709551616", ~uint64_t{0}, std::nullopt}, {"", 10, std::nullopt}, {"0x", 10, std::nullopt},
        {"12a", 0xFFFF, std::nullopt}, {"-1", 0xFFFF, std::nullopt}, {" 1", 0xFFFF, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(peltosim::ParseNumber(c.text, c.max), c.expected) << c.text << " max " << c.max;
}

TEST(ParseOptions, ErrorsNameTheOption) {
    struct Case {
        std::vector<std::string> args;
        const char* mention;
    } cases[] = {
        {{"--ext"}, "--ext needs a value"},
        {{"--dump", "rom:0:1"}, "unknown space"},
        {{"--dump", "idata:0xF0:0x20"}, "out of range"},
        {{"--load-bin", "file"}, "FILE@ADDR"},
        {{"--load-bin", "file@0x10000"}, "FILE@ADDR"},
        {{"--sfr", "NOPE"}, "--sfr 'NOPE': not a register name"},
        {{"--sfr", "0x7F"}, "0x80-0xFF"},
        {{"--sfr", "0xF0001234"}, "not a register identifier this host models"},
        {{"--sfr", "0xF0011081"}, "not a register identifier this host models"},
        {{"--clock", "0"}, "--clock"},
        {{"--keep-open", "p.hex"}, "--keep-open needs --menu"},
        {{"-x"}, "unknown option '-x'"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(peltosim::ParseOptions(c.args, error).has_value()) << c.mention;
        EXPECT_NE(error.find(c.mention), std::string::npos) << error;
    }
    std::string error;
    const auto o = peltosim::ParseOptions({"--ext", "a.so", "p.hex", "--sfr", "FCMD", "--dump", "code:0xA000:32", "--json"}, error);
    ASSERT_TRUE(o.has_value()) << error;
    EXPECT_EQ(o->extensions, std::vector<std::string>{"a.so"});
    EXPECT_EQ(o->hex_files, std::vector<std::string>{"p.hex"});
    EXPECT_EQ(o->dumps.at(0).address, 0xA000);
    EXPECT_EQ(o->dumps.at(0).length, 32u);
    EXPECT_TRUE(o->json);
}

}  // namespace
