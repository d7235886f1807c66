// pelto-sim's JSON read back by the JSON library: any bytes of a text survive the trip, a run's
// result and a sweep's report keep the fields users read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/peltosim/base/json.h"
#include "sim/peltosim/check/expect.h"
#include "sim/peltosim/check/sweep.h"
#include "sim/peltosim/check/sweep_report.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/out/report.h"
#include "sim/peltosim/run/options.h"

namespace {

using peltosim::Json;

Json RoundTrip(const Json& value) {
    const std::string line = peltosim::JsonLine(value);
    for (const char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
    return peltosim::ParseJson(line);
}

peltosim::Options Parse(const std::vector<std::string>& args) {
    std::string error;
    auto options = peltosim::ParseOptions(args, error);
    EXPECT_TRUE(options.has_value()) << error;
    return options.value_or(peltosim::Options{});
}

TEST(Json, EveryByteOfATextComesBack) {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    const Json back = RoundTrip({{"text", peltosim::JsonText(bytes)}});
    EXPECT_EQ(peltosim::BytesFromJson(back["text"]), bytes);
    // Text that no byte string gives: a character above U+00FF, a number.
    EXPECT_FALSE(peltosim::BytesFromJson(Json("\u20ac")).has_value());
    EXPECT_FALSE(peltosim::BytesFromJson(Json(5)).has_value());
    EXPECT_TRUE(peltosim::ParseJson("{\"end\":").is_discarded());
}

TEST(Json, ARunsResultKeepsItsFields) {
    peltosim::SimHost host;
    host.Reset();
    // MOV A,#0x5A; MOV 0x30,A; SJMP $
    const std::vector<uint8_t> program{0x74, 0x5A, 0xF5, 0x30, 0x80, 0xFE};
    std::copy(program.begin(), program.end(), host.cpu().Code().begin());
    const auto end = host.Run(1000);
    const auto options = Parse({"--dump", "idata:0x30:2", "--sfr", "ACC", "--expect", "idata:0x30=0x5A,0x01"});

    Json result = peltosim::RunJson(host, options, end);
    const std::vector<peltosim::Unmet> unmet{{"idata:0x30=0x5A,0x01", "0x5A,0x00"}, {"serial \"\xff\"", "serial \"\x01\""}};
    result["expect"] = peltosim::ExpectJson(options, unmet);
    const Json back = RoundTrip(result);
    EXPECT_EQ(back["end"], "halted");
    EXPECT_EQ(back["a"], 0x5A);
    EXPECT_EQ(back["pc"], 4);
    EXPECT_EQ(back["r7"], 0);
    EXPECT_EQ(back["dumps"]["idata:0x30:2"], Json::array({0x5A, host.cpu().Iram()[0x31]}));
    EXPECT_EQ(back["sfr"]["ACC"], 0x5A);
    EXPECT_EQ(back["serial"], "");
    EXPECT_EQ(back["ram_fill"], "random:32850");
    for (const char* key : {"cycles", "instructions", "b", "psw", "sp", "dptr", "resets", "power_cuts"})
        EXPECT_TRUE(back[key].is_number()) << key;
    EXPECT_EQ(back["expect"]["checked"], 1);
    EXPECT_EQ(peltosim::UnmetFromJson(back).size(), unmet.size());
    const auto read = peltosim::UnmetFromJson(back);
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].expected, unmet[i].expected);
        EXPECT_EQ(read[i].found, unmet[i].found);
    }
}

TEST(Json, ASweepsReportKeepsItsFields) {
    peltosim::SimHost host;
    host.Reset();
    const std::vector<uint8_t> program{0x80, 0xFE};
    std::copy(program.begin(), program.end(), host.cpu().Code().begin());
    const auto end = host.Run(100);
    const peltosim::FlashTracker tracker(host);
    const auto options = Parse({"--power-cut-sweep", "--shard", "2/3"});
    const std::vector<std::string> args;
    const peltosim::SweepInput in{options, args, "pelto-sim", host, tracker, end, {}, {}};
    const std::vector<peltosim::CutOutcome> cuts{
        {11, std::nullopt, true, "between operations", "halted", {}, "", {}, "pelto-sim p.hex --power-cut-at 11", ""},
        {42, 3, false, "program of block 0xAF00", "cycle-limit", {{"xdata:0=0x01", "0x00"}}, "did not halt within 9 cycles",
         {{"program-short", 50, "short"}}, "pelto-sim 'a b.hex' --power-cut-at 42 --torn-seed 3",
         R"({"args":["--power-cut-at","42"],"program":"a b.hex","request":"launch","type":"pelto-sim"})"},
    };
    const Json back = RoundTrip(peltosim::SweepJson(peltosim::RecordOf(in), cuts, {7, 1, 1.25, 2, 1, 2, "interrupted by SIGINT"}));
    EXPECT_EQ(back["cut_points"], 7);
    EXPECT_EQ(back["shard"], "2/3");
    EXPECT_EQ(back["tried"], 2);
    EXPECT_EQ(back["runs"], 2);
    EXPECT_EQ(back["forked"], 1);
    EXPECT_EQ(back["planned"], 2);
    EXPECT_EQ(back["stopped"], "interrupted by SIGINT");
    EXPECT_EQ(back["cut_model"], "torn");
    EXPECT_EQ(back["passed"], 1);
    EXPECT_EQ(back["failed"], 1);
    EXPECT_EQ(back["jobs"], 2);
    EXPECT_DOUBLE_EQ(back["seconds"].get<double>(), 1.3);
    EXPECT_DOUBLE_EQ(back["cuts_per_second"].get<double>(), 1.6);
    EXPECT_EQ(back["recording"]["end"], "halted");
    EXPECT_EQ(back["recording"]["operations"], Json::array());
    EXPECT_EQ(back["cuts"], Json::parse(R"([{"cycle":11,"torn":null,"passed":true,"operation":"between operations"},{"cycle":42,"torn":3,"passed":false,"operation":"program of block 0xAF00"}])"));
    ASSERT_EQ(back["failures"].size(), 1u);
    const Json& failure = back["failures"][0];
    EXPECT_EQ(failure["cycle"], 42);
    EXPECT_EQ(failure["end"], "cycle-limit");
    EXPECT_EQ(failure["unmet"], Json::parse(R"([{"expected":"xdata:0=0x01","found":"0x00"}])"));
    EXPECT_EQ(failure["problem"], "did not halt within 9 cycles");
    EXPECT_EQ(failure["torn"], 3);
    EXPECT_EQ(failure["lint"], Json::parse(R"([{"name":"program-short","cycle":50,"message":"short"}])"));
    EXPECT_EQ(failure["command"], "pelto-sim 'a b.hex' --power-cut-at 42 --torn-seed 3");
    EXPECT_EQ(failure["launch"]["program"], "a b.hex");
    EXPECT_EQ(failure["launch"]["args"], Json::parse(R"(["--power-cut-at","42"])"));
}

// At depth 2 the report names the second cut of each run that has one, and the sweep its depth.
TEST(Json, ADepthTwoSweepNamesTheSecondCut) {
    peltosim::SimHost host;
    host.Reset();
    const peltosim::FlashTracker tracker(host);
    const auto options = Parse({"--power-cut-sweep", "--sweep-depth", "2"});
    const std::vector<std::string> args;
    const peltosim::SweepInput in{options, args, "pelto-sim", host, tracker, peltosim::RunEnd::kHalted, {}, {}};
    std::vector<peltosim::CutOutcome> cuts(2);
    cuts[0] = {11, 1, true, "program of block 0xAF00", "halted", {}, "", {}, "", ""};
    cuts[1] = cuts[0];
    cuts[1].passed = false;
    cuts[1].second = 90;
    cuts[1].second_operation = "between operations";
    cuts[1].launch = "{}";
    const Json back = RoundTrip(peltosim::SweepJson(peltosim::RecordOf(in), cuts, {1, 1, 0, 1, 0, 2, ""}));
    EXPECT_EQ(back["sweep"]["depth"], 2);
    EXPECT_EQ(back["second_cuts"], 1);
    EXPECT_FALSE(back["cuts"][0].contains("second"));
    EXPECT_EQ(back["cuts"][1]["second"], Json::parse(R"({"cycle":90,"torn":null,"operation":"between operations"})"));
    EXPECT_EQ(back["failures"][0]["second"]["cycle"], 90);
    EXPECT_EQ(back["ranges"][0]["first_second"]["cycle"], 90);
}

}  // namespace
