#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/peltosim/debug/command_line.h"

namespace peltosim::debug {
namespace {

const std::string kCdb = std::string(PELTOSIM_DEBUG_TEST_DIR) + "/every_record.cdb";

TEST(CommandLineTest, SymbolFormsBecomeAddresses) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> numeric;
    } cases[] = {
        {{"--break", "_append"}, {"--break", "0x100"}},
        {{"--break", "demo.c:12"}, {"--break", "0x10B"}},
        {{"--stop-on-write", "xdata:_head"}, {"--stop-on-write", "xdata:0x8000"}},
        {{"--stop-on-read", "idata:total"}, {"--stop-on-read", "idata:0x32"}},
        {{"--dump", "xdata:_log:8"}, {"--dump", "xdata:0x8002:8"}},
        {{"--expect", "xdata:_head=0x01,0x02"}, {"--expect", "xdata:0x8000=0x01,0x02"}},
        // Numbers and malformed values go to the option parser as they are.
        {{"--break", "0x10000"}, {"--break", "0x10000"}},
        {{"--dump", "code:0xFFFF:2"}, {"--dump", "code:0xFFFF:2"}},
        {{"--stop-on-read", "flash:0x10"}, {"--stop-on-read", "flash:0x10"}},
        {{"--max-cycles", "100", "--json"}, {"--max-cycles", "100", "--json"}},
    };
    for (const auto& c : cases) {
        auto args = c.args;
        args.insert(args.begin(), {"--debug-info", kCdb});
        std::string error;
        const auto out = ResolveSymbolicArgs(args, error);
        ASSERT_TRUE(out) << c.args[1] << ": " << error;
        auto numeric = c.numeric;
        numeric.insert(numeric.begin(), {"--debug-info", kCdb});  // kept for the option parser
        EXPECT_EQ(out->args, numeric) << c.args[1];
    }
}

TEST(CommandLineTest, CountsAndTheDumpsAsWritten) {
    std::string error;
    const auto out = ResolveSymbolicArgs({"--debug-info", kCdb, "--break", "tick,3", "--break", "demo.c:12",
                                          "--dump", "xdata:_log:8"}, error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->break_counts, (std::map<uint16_t, uint64_t>{{0x140, 3}}));
    EXPECT_EQ(out->dump_texts.at("xdata:0x8002:8"), "xdata:_log:8");
}

TEST(CommandLineTest, ErrorsNameTheOptionAndTheProblem) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--debug-info", kCdb, "--break", "_nothing"}, "--break '_nothing': no function or code label"},
        {{"--debug-info", kCdb, "--break", "append,0"}, "bad hit count"},
        {{"--debug-info", kCdb, "--stop-on-write", "xdata:_total"}, "'_total' is not in xdata"},
        {{"--debug-info", kCdb, "--dump", "idata:_nothing:4"}, "no variable '_nothing'"},
        {{"--debug-info", "missing.cdb", "--break", "_append"}, "cannot read debug information 'missing.cdb'"},
        {{"--break", "_append", "prog.hex"}, "prog.cdb does not exist"},
        {{"--break", "_append"}, "give --debug-info FILE.cdb"},
        {{"--debug-info"}, "--debug-info needs a FILE.cdb"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ResolveSymbolicArgs(c.args, error)) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// A program's debug information is not read unless a symbol needs it.
TEST(CommandLineTest, NumericRunsNeedNoDebugInformation) {
    std::string error;
    const auto out = ResolveSymbolicArgs({"--debug-info", "missing.cdb", "--break", "0x100", "p.hex"}, error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->args, (std::vector<std::string>{"--debug-info", "missing.cdb", "--break", "0x100", "p.hex"}));
}

}  // namespace
}  // namespace peltosim::debug

namespace peltosim::debug {
namespace {

// The sweep's launch configuration: the program apart, every other option kept, the cut added.
TEST(CommandLineTest, LaunchConfigurationOfACutRun) {
    const auto text = LaunchConfiguration({"--ext", "lib.so", "fw.hex", "--serial-in", "in.hex", "--expect", "xdata:0x10=1"},
                                          {"1234"});
    const auto launch = nlohmann::json::parse(text);
    EXPECT_EQ(launch["type"], "pelto-sim");
    EXPECT_EQ(launch["request"], "launch");
    EXPECT_EQ(launch["program"], "fw.hex");
    EXPECT_EQ(launch["args"], (std::vector<std::string>{"--ext", "lib.so", "--serial-in", "in.hex", "--expect",
                                                        "xdata:0x10=1", "--power-cut-at", "1234"}));
    EXPECT_EQ(launch["name"], "power cut at cycle 1234");
}

// A cut during the recovery after the first (--sweep-depth 2): both cuts, each with its variant.
TEST(CommandLineTest, LaunchConfigurationOfTwoCuts) {
    const auto launch = nlohmann::json::parse(LaunchConfiguration({"--ext", "lib.so", "fw.hex"}, {"1234:0", "5678"}));
    EXPECT_EQ(launch["name"], "power cuts at cycles 1234 and 5678");
    EXPECT_EQ(launch["args"], (std::vector<std::string>{"--ext", "lib.so", "--power-cut-at", "1234:0", "--power-cut-at", "5678"}));
}

}  // namespace
}  // namespace peltosim::debug
