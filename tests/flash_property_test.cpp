// Random sequences of host events (those of fuzz/flash_events.h, from pseudo-random blocks):
// every invariant of fuzz/flash_invariants.h, the outcome model's included, must hold after every
// event. The same events and checks run in the host-event fuzzer and in scripts/fuzz's property
// run; this is their short, deterministic form in the suite.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "fake_host.h"
#include "flash/regmap.h"
#include "fuzz/flash_events.h"
#include "fuzz/flash_invariants.h"

using flash::Reg;
using testing_host::FakeHost;

namespace {

uint64_t SeedFromEnvironment() {
    const char* text = std::getenv("PELTO_PROPERTY_SEED");
    return text ? std::strtoull(text, nullptr, 0) : 20261210;
}

int RunsFromEnvironment() {
    const char* text = std::getenv("PELTO_PROPERTY_RUNS");
    return text ? std::atoi(text) : 200;
}

TEST(FlashProperty, InvariantsHoldUnderRandomHostEvents) {
    const uint64_t seed = SeedFromEnvironment();
    const int runs = RunsFromEnvironment();
    constexpr std::size_t kEventsPerRun = 300;
    flash_events::StartedHost started;
    ASSERT_TRUE(started.started());
    std::vector<uint8_t> blocks((kEventsPerRun + 1) * flash_events::kBlockBytes);
    uint64_t state = seed;
    for (int run = 0; run < runs; ++run) {
        state = flash_events::FillBlocks(blocks, state);
        FakeHost& h = started.Restore();
        h.cycles = flash_events::U32(flash_events::Block(blocks.data(), flash_events::kBlockBytes), 0);
        flash_events::Driver driver(h);
        const std::span<const uint8_t> events(blocks.data() + flash_events::kBlockBytes,
                                              kEventsPerRun * flash_events::kBlockBytes);
        for (std::size_t e = 0; e < kEventsPerRun; ++e) {
            const std::string broken = driver.Run(events.subspan(e * flash_events::kBlockBytes).first<flash_events::kBlockBytes>());
            ASSERT_TRUE(broken.empty()) << broken << " at event " << e << " of run " << run << "; seed " << seed
                                        << " (set PELTO_PROPERTY_SEED to replay); events:\n"
                                        << flash_events::EventList(events, e);
        }
    }
}

// The outcome model notices what a faulty extension would leave behind: here the host's state is
// changed after a correct program operation on DFLASH 0, as a wrong commit would leave it.
TEST(OutcomeModel, ReportsWhatDiffersFromTheOutcome) {
    struct Case {
        const char* what;
        void (*tamper)(FakeHost&);
        const char* reported;  // part of the report
    };
    const Case cases[] = {
        {"nothing", [](FakeHost&) {}, nullptr},
        {"a programmed byte in the second view", [](FakeHost& h) { h.code[0x7045] ^= 1; }, "code 0x7045"},
        {"a shadow byte", [](FakeHost& h) { h.xdata[0xA040] = 0; }, "shadow 0xA040"},
        {"completion not signalled", [](FakeHost& h) { h.SetSfr(Reg::FIRQCFG, flash::kIrqEnable); }, "FIRQCFG"},
        {"the timer still armed", [](FakeHost& h) { h.timers[0].due = h.cycles + 1; }, "flash timer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
        h.memory_writes.clear();
        flash_invariants::OutcomeModel model;
        model.Sync(h);
        for (uint16_t i = 0; i < flash::kDataBlock; ++i)
            model.CaptureByte(h, static_cast<uint16_t>(0xA040 + i), static_cast<uint8_t>(0x11 * i + 1), flash::kOpMovDirectA);
        model.ProgramWrite(h, flash::Id(Reg::FIRQCFG), flash::kIrqEnable, FakeHost::kDefaultPc, flash::kOpMovDirectA);
        model.ProgramWrite(h, flash::Id(Reg::FCTL_D0), flash::kRequestProgram, FakeHost::kDefaultPc, flash::kOpMovDirectA);
        model.ProgramWrite(h, flash::Id(Reg::FCMD), flash::kCommandStart, FakeHost::kDefaultPc, flash::kOpMovDirectA);
        model.Advance(h, flash::kProgramCycles);
        ASSERT_EQ(h.Sfr(Reg::FCTL_D0), flash::kModeRead);
        c.tamper(h);
        const std::string report = model.Check(h, 0);
        if (c.reported) EXPECT_NE(report.find(c.reported), std::string::npos) << report;
        else EXPECT_EQ(report, "");
    }
}

}  // namespace
