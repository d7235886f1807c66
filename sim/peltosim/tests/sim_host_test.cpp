// The stand-in host's register paging, watch rules and timers, on small hand-assembled programs.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "flash/regmap.h"
#include "sim/peltosim/host/sim_host.h"

using peltosim::SimHost;

namespace {

struct Seen {
    uint32_t last;
    uint32_t pc;
    uint64_t states;
    uint32_t value;
    uint32_t previous;
};
std::vector<Seen> g_seen;
uint32_t g_watched_id = 0;

void Record() {
    SimHost& h = *SimHost::Current();
    uint32_t value = 0;
    uint32_t previous = 0;
    h.ReadSFR(g_watched_id, &value, &previous, 0xFF);
    g_seen.push_back({h.GetLastMemoryAddress(), h.GetProgramCounter(), h.GetStates(), value, previous});
}

class SimHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen.clear();
        host.Reset();
    }
    void Load(std::vector<uint8_t> bytes, uint16_t at = 0) {
        std::copy(bytes.begin(), bytes.end(), host.cpu().Code().begin() + at);
    }
    SimHost host;
};

constexpr uint8_t kSjmpSelf[] = {0x80, 0xFE};

TEST_F(SimHostTest, PagingResolvesIdentifiers) {
    auto& cpu = host.cpu();
    struct Case {
        uint8_t map;
        uint8_t flash_page;
        uint8_t system_page;
        uint8_t address;
        uint32_t id;
    } cases[] = {
        {1, 0, 0, 0xDE, flash::Id(flash::Reg::FCMD)},     {1, 3, 0, 0xD2, flash::Id(flash::Reg::FCTL_D0)},
        {1, 4, 0, 0xD4, flash::Id(flash::Reg::FSEL_D1H)}, {1, 7, 0, 0xD2, flash::Id(flash::Reg::FPHASE2)},
        {1, 6, 0, 0xF7, flash::Id(flash::Reg::FDATA)},    {1, 5, 0, 0xDF, flash::Id(flash::Reg::FAUX)},
        {0, 0, 2, 0xBA, flash::Id(flash::Reg::FPROT)},    {0, 0, 0, 0xBC, flash::Id(flash::Reg::NMISTAT)},
        {0, 0, 1, 0xE9, flash::Id(flash::Reg::AUX_E9)},   {0, 3, 0, 0xD3, 0xF00000D3},
        {1, 0, 2, 0xBA, 0xF00000BA},                      {1, 0, 0, 0x82, flash::Id(flash::Reg::DPL)},
        {0, 0, 0x3A, 0xBA, flash::Id(flash::Reg::FPROT)},  // page bits 5..3 do not matter
    };
    for (auto c : cases) {
        cpu.SetSfr(peltosim::kMapBitSfr, c.map);
        host.sfrs().Write(flash::Id(flash::Reg::FAUX), c.flash_page);
        cpu.SetSfr(peltosim::kSystemPageSfr, c.system_page);
        EXPECT_EQ(host.sfrs().Resolve(c.address), c.id) << std::hex << int(c.address) << " page " << int(c.flash_page);
    }
}

TEST_F(SimHostTest, ProgramWritesReachTheSelectedPageAndRunWatches) {
    // ORL 0x8F,#1; MOV 0xDF,#3; MOV 0xD2,#0x28; MOV 0xDF,#0; MOV 0xD2,#0x11; SJMP $
    Load({0x43, 0x8F, 0x01, 0x75, 0xDF, 0x03, 0x75, 0xD2, 0x28, 0x75, 0xDF, 0x00, 0x75, 0xD2, 0x11, 0x80, 0xFE});
    g_watched_id = flash::Id(flash::Reg::FCTL_D0);
    ASSERT_EQ(host.SetWatchOnSFR(g_watched_id, Record, 1), 1u);
    host.sfrs().Write(g_watched_id, 0x20);
    EXPECT_EQ(host.Run(1000), peltosim::RunEnd::kHalted);
    ASSERT_EQ(g_seen.size(), 1u) << "the write on page 0 reaches another register";
    EXPECT_EQ(g_seen[0].last, g_watched_id);
    EXPECT_EQ(g_seen[0].pc, 6u);
    EXPECT_EQ(g_seen[0].value, 0x28u);
    EXPECT_EQ(g_seen[0].previous, 0x20u);
    EXPECT_EQ(host.sfrs().Read(0xF00108D2)->current, 0x11);
    EXPECT_EQ(host.cpu().Sfr(0xD2), 0x00) << "paged writes leave the unpaged register alone";
}

TEST_F(SimHostTest, ReadModifyWriteInstructionsRunWatches) {
    // ORL 0x8F,#1; ORL 0xDE,#6; ANL 0xDE,#0xFD; INC 0xDE; XRL 0xDE,#0xFF; SJMP $
    Load({0x43, 0x8F, 0x01, 0x43, 0xDE, 0x06, 0x53, 0xDE, 0xFD, 0x05, 0xDE, 0x63, 0xDE, 0xFF, 0x80, 0xFE});
    g_watched_id = flash::Id(flash::Reg::FCMD);
    host.SetWatchOnSFR(g_watched_id, Record, 1);
    host.sfrs().Write(g_watched_id, 0x04);
    host.Run(1000);
    ASSERT_EQ(g_seen.size(), 4u);
    const uint32_t values[] = {0x06, 0x04, 0x05, 0xFA};
    const uint32_t pcs[] = {3, 6, 9, 11};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(g_seen[i].value, values[i]) << i;
        EXPECT_EQ(g_seen[i].pc, pcs[i]) << i;
        if (i) {
            EXPECT_EQ(g_seen[i].previous, values[i - 1]) << i;
        }
    }
}

TEST_F(SimHostTest, ExtensionWritesRunNoWatches) {
    g_watched_id = flash::Id(flash::Reg::FCMD);
    host.SetWatchOnSFR(g_watched_id, Record, 1);
    EXPECT_EQ(host.WriteSFR(g_watched_id, 0x06, 0x0F), 1u);
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(host.sfrs().Read(g_watched_id)->current, 0x06);
    EXPECT_EQ(host.WriteSFR(0x12345678, 1, 0xFF), 0u) << "unknown identifiers are refused";
}

TEST_F(SimHostTest, MovcReadsRunWatchesButFetchesDoNot) {
    // MOV DPTR,#0x0100; CLR A; MOVC A,@A+DPTR; SJMP $ -- the program itself lies in the watched range
    Load({0x90, 0x01, 0x00, 0xE4, 0x93, 0x80, 0xFE});
    host.cpu().Code()[0x100] = 0x5A;
    ASSERT_EQ(host.SetWatchOnMemory(0xFF000000, 0xFF007FFF, Record, 0), 1u);
    EXPECT_EQ(host.SetWatchOnMemory(0x01000000, 0x01000010, Record, 0), 0u) << "external data watches are refused";
    host.Run(1000);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].last, 0xFF000100u);
    EXPECT_EQ(g_seen[0].pc, 4u);
    EXPECT_EQ(host.cpu().Acc(), 0x5A);
}

TEST_F(SimHostTest, TimerFiresAtFirstBoundaryWithExactStates) {
    // A loop of 2-cycle instructions (DJNZ) preceded by a 1-cycle NOP so boundaries fall on odd
    // cycles: a timer due on an even cycle straddles an instruction.
    Load({0x00, 0x7F, 0x00, 0xDF, 0xFE, 0x80, 0xFE});  // NOP; MOV R7,#0; DJNZ R7,$; SJMP $
    const uint32_t timer = host.CreateTimer(Record);
    ASSERT_NE(timer, 0u);
    struct Case {
        uint32_t after;
    } cases[] = {{10}, {11}, {0}, {1}};
    for (auto c : cases) {
        g_seen.clear();
        host.cpu().SetPc(0);
        const uint64_t start = host.GetStates();
        host.SetTimer(timer, c.after);
        host.Run(start + 40);
        ASSERT_EQ(g_seen.size(), 1u) << c.after;
        EXPECT_EQ(g_seen[0].states, start + c.after) << "GetStates during the callback";
        EXPECT_EQ(g_seen[0].last, peltosim::kNoAddress);
        host.SetTimer(timer, peltosim::kTimerDisarm);
    }
}

void Rearm() {
    SimHost& h = *SimHost::Current();
    g_seen.push_back({0, 0, h.GetStates(), 0, 0});
    if (g_seen.size() < 3) h.SetTimer(1, 100);
}

TEST_F(SimHostTest, TimerSetAgainFromItsCallbackAndReplaced) {
    Load({kSjmpSelf[0], kSjmpSelf[1]});
    host.cpu().SetStopOnSelfJump(false);
    ASSERT_EQ(host.CreateTimer(Rearm), 1u);
    host.SetTimer(1, 1000);
    host.SetTimer(1, 50);  // replaces the first setting
    host.Run(1000);
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[0].states, 50u);
    EXPECT_EQ(g_seen[1].states, 150u);
    EXPECT_EQ(g_seen[2].states, 250u);
}

TEST_F(SimHostTest, MemoryServicesStayInRange) {
    uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(host.WriteMemory(0xFF00FFFE, 2, buffer), 1u);
    EXPECT_EQ(host.WriteMemory(0xFF00FFFE, 3, buffer), 0u);
    EXPECT_EQ(host.WriteMemory(0x02000000, 1, buffer), 0u);
    EXPECT_EQ(host.ReadMemory(0x0100FFFF, 2, buffer), 0u);
    EXPECT_EQ(host.ReadMemory(0xFF01FFFF, 1, buffer), 0u) << "bits 23..16 must be zero";
    EXPECT_EQ(host.ReadMemory(0xFF00FFFE, 2, buffer), 1u);
    EXPECT_EQ(buffer[0], 1);
}

void Noop() {}

// Each exported service made to fail answers 0 and does nothing; the same call on a host where
// it works succeeds, so each case shows the failure.
TEST(SimHostServices, AFailingServiceAnswersZeroAndDoesNothing) {
    const uint32_t fcmd = flash::Id(flash::Reg::FCMD);
    PeltoMenuItem item{};
    uint8_t byte = 0x5A;
    struct Case {
        const char* name;
        std::function<uint64_t()> call;
        std::function<bool(SimHost&)> unchanged;  // what a failing call must not have done
    } cases[] = {
        {"PeltoDefineVTR", [] { return PeltoDefineVTR("v", 0, 0); }, [](SimHost& h) {
             uint32_t value = 0;
             return h.ReadVTR(1, &value) == 0;
         }},
        {"PeltoSetWatchOnSFR", [&] { return PeltoSetWatchOnSFR(fcmd, Noop, PELTO_ACCESS_AFTER_WRITE); }, nullptr},
        {"PeltoSetWatchOnMemory",
         [] { return PeltoSetWatchOnMemory(PELTO_SPACE_CODE | 0x10, PELTO_SPACE_CODE | 0x20, Noop, PELTO_ACCESS_ON_READ); },
         nullptr},
        {"PeltoCreateTimer", [] { return PeltoCreateTimer(Noop); }, nullptr},
        {"PeltoSetTimer", [] { return PeltoSetTimer(1, 10); }, nullptr},
        {"PeltoGetStates", [] { return PeltoGetStates(); }, nullptr},
        {"PeltoDefineMenuItem", [&] { return PeltoDefineMenuItem(&item); },
         [](SimHost& h) { return h.menu_items().empty(); }},
        {"PeltoReadSFR",
         [&] {
             uint32_t value = 0, previous = 0;
             return PeltoReadSFR(fcmd, &value, &previous, 0xFF);
         },
         nullptr},
        {"PeltoWriteSFR", [&] { return PeltoWriteSFR(fcmd, 0x33, 0xFF); },
         [&](SimHost& h) { return h.sfrs().Read(fcmd)->current == 0x05; }},
        {"PeltoReadMemory", [&] { return PeltoReadMemory(PELTO_SPACE_XDATA | 0x100, 1, &byte); }, nullptr},
        {"PeltoWriteMemory", [&] { return PeltoWriteMemory(PELTO_SPACE_XDATA | 0x100, 1, &byte); },
         [](SimHost& h) { return h.cpu().Xram()[0x100] == 0; }},
        {"PeltoGetLastMemoryAddress", [] { return PeltoGetLastMemoryAddress(); }, nullptr},
        {"PeltoGetProgramCounter", [] { return PeltoGetProgramCounter(); }, nullptr},
    };
    // ORL 0x8F,#1; MOV 0xDE,#5 (FCMD, watched); SJMP $: cycles, a program counter and a last
    // memory address that are not 0.
    const std::vector<uint8_t> program{0x43, 0x8F, 0x01, 0x75, 0xDE, 0x05, 0x80, 0xFE};
    auto prepare = [&](SimHost& h) {
        std::copy(program.begin(), program.end(), h.cpu().Code().begin());
        h.cpu().Xram()[0x100] = 0;
        h.Reset();
        ASSERT_EQ(h.SetWatchOnSFR(fcmd, Noop, PELTO_ACCESS_AFTER_WRITE), 1u);
        ASSERT_EQ(h.CreateTimer(Noop), 1u);
        h.Run(100);
    };
    for (const Case& c : cases) {
        {
            SimHost working;
            prepare(working);
            EXPECT_NE(c.call(), 0u) << c.name << " works on a host where it does not fail";
        }
        SimHost failing;
        prepare(failing);
        ASSERT_TRUE(failing.FailService(c.name)) << c.name;
        EXPECT_EQ(c.call(), 0u) << c.name;
        if (c.unchanged) {
            EXPECT_TRUE(c.unchanged(failing)) << c.name << " changed the host";
        }
    }
    SimHost host;
    EXPECT_FALSE(host.FailService("PeltoDefineSFR")) << "a service extensions never call cannot be made to fail";
}

}  // namespace
