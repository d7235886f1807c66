// Numbers and options of the pelto-sim command line.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

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
        {{"--power-cut-at", "500:x"}, "CYCLE:SEED"},
        {{"--cut-model", "atomic", "--power-cut-at", "500:1"}, "CYCLE:SEED need --cut-model torn"},
        {{"--sweep-depth", "2", "p.hex"}, "--sweep-depth needs --power-cut-sweep"},
        {{"--sweep-depth", "3", "--power-cut-sweep"}, "from 1 to 2"},
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

// Each power cut tears with its own variant, or --torn-seed's, in the order the cuts come.
TEST(ParseOptions, EachCutItsTornVariant) {
    std::string error;
    const auto o = peltosim::ParseOptions({"p.hex", "--power-cut-at", "900:1", "--power-cut-at", "100", "--torn-seed", "7"}, error);
    ASSERT_TRUE(o.has_value()) << error;
    EXPECT_EQ(o->power_cut_at, (std::vector<uint64_t>{900, 100}));
    EXPECT_EQ(peltosim::CutVariants(*o), (std::vector<uint64_t>{7, 1}));
    const auto plain = peltosim::ParseOptions({"p.hex"}, error);
    EXPECT_EQ(peltosim::CutVariants(*plain), std::vector<uint64_t>{peltosim::kDefaultTornSeed});
}

// An option's line of the usage text: "  --name VALUE  help", "  --name[=LIST]  help" or
// "  --name, -x  help".
struct UsageLine {
    std::string name;
    std::string value;
    bool attached = false;
    std::string alias;
};
std::optional<UsageLine> ReadUsageLine(const std::string& text) {
    if (text.rfind("  -", 0) != 0) return std::nullopt;
    std::string head = text.substr(2, text.find("  ", 2) - 2);
    UsageLine line;
    if (const auto comma = head.find(", "); comma != std::string::npos) {
        line.alias = head.substr(comma + 2);
        head.resize(comma);
    }
    if (const auto bracket = head.find('['); bracket != std::string::npos) {
        line.value = head.substr(bracket);
        line.attached = true;
        head.resize(bracket);
    } else if (const auto space = head.find(' '); space != std::string::npos) {
        line.value = head.substr(space + 1);
        head.resize(space);
    }
    line.name = head;
    return line;
}

// The usage text and the parser come from one table: every option the usage text shows is
// parsed into something, and every option the parser takes is shown.
TEST(OptionTable, UsageAndParserAgree) {
    // A valid value for each VALUE the usage text names.
    const std::map<std::string, std::string> samples{
        {"PATH", "x.so"},          {"FILE@ADDR", "a.bin@0x100"}, {"N", "5"},
        {"ADDR", "0x100"},         {"WHERE", "0x100"},           {"HZ", "11059200"},           {"SPACE:ADDR:LEN", "xdata:0:4"},
        {"NAME|ADDR|ID", "FCMD"},  {"FILE", "f"},                {"TEXT", "t"},
        {"SPACE:ADDR", "xdata:0x10"}, {"CYCLE", "100"},         {"BYTE|random:SEED", "0x55"},
        {"SPACE:ADDR=VALUE", "xdata:0=1"}, {"K/N", "1/2"},      {"NAME", "ReadSFR"},
        {"[=error,-NAME]", "=error,-program-short"}, {"atomic|torn", "atomic"},
        {"WHAT", "pc:0x10"},       {"1|2", "2"},
    };
    // What --keep-open and the sweep's own options need beside them.
    const std::vector<std::string> base{"--power-cut-sweep", "--menu", "M"};
    std::string error;
    const auto baseline = peltosim::ParseOptions(base, error);
    ASSERT_TRUE(baseline.has_value()) << error;

    std::set<std::string> shown;
    std::istringstream usage(peltosim::Usage());
    for (std::string text; std::getline(usage, text);) {
        const auto line = ReadUsageLine(text);
        if (!line) continue;
        const std::string& name = line->name;
        shown.insert(name);
        if (!line->alias.empty()) shown.insert(line->alias);
        std::vector<std::vector<std::string>> uses;
        if (!line->value.empty()) {
            ASSERT_TRUE(samples.count(line->value)) << "no sample value for " << line->value << " of " << name;
        }
        if (line->attached) uses = {{name}, {name + samples.at(line->value)}};
        else if (!line->value.empty()) uses = {{name, samples.at(line->value)}};
        else uses = {{name}};
        if (!line->alias.empty()) uses.push_back({line->alias});
        for (const auto& use : uses) {
            // Alone, with files only (--sweep-merge), or with what it needs.
            auto parsed = peltosim::ParseOptions(use, error);
            auto before = peltosim::Options{};
            if (!parsed) {
                auto args = use;
                args.push_back("shard.json");
                parsed = peltosim::ParseOptions(args, error);
                before = *peltosim::ParseOptions({"shard.json"}, error);
            }
            if (!parsed) {
                auto args = base;
                args.insert(args.end(), use.begin(), use.end());
                parsed = peltosim::ParseOptions(args, error);
                before = *baseline;
            }
            ASSERT_TRUE(parsed.has_value()) << use.front() << ": " << error;
            EXPECT_FALSE(*parsed == before) << use.front() << " is parsed into nothing";
        }
    }
    for (const auto& entry : peltosim::OptionTable()) {
        EXPECT_TRUE(shown.count(std::string(entry.name))) << entry.name << " is parsed but not in the usage text";
        if (!entry.alias.empty()) {
            EXPECT_TRUE(shown.count(std::string(entry.alias))) << entry.alias << " is not in the usage text";
        }
    }
    EXPECT_EQ(shown.size(), peltosim::OptionTable().size() + 1);  // + the alias -h
}

TEST(OptionTable, CutRunsKeepWhatDecidesTheRun) {
    const std::vector<std::string> args{"p.hex",   "--ext",        "e.so",   "--json",    "--dump",  "xdata:0:1", "--trace=registers",
                                        "--lint=error", "--power-cut-sweep", "--jobs", "2",   "--sfr",   "FCMD",     "--expect",
                                        "xdata:0=1", "--serial-out", "-",     "--ram-fill", "0x55"};
    const std::vector<std::string> kept{"p.hex", "--ext", "e.so", "--expect", "xdata:0=1", "--ram-fill", "0x55"};
    EXPECT_EQ(peltosim::CutRunArguments(args), kept);
}

}  // namespace
