// Entry dispatch, start-up and reset against the fake host.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_host.h"
#include "flash/regmap.h"
#include "host/extension.h"

using testing_host::Call;
using testing_host::FakeHost;

namespace {

uint32_t Entry(uint32_t code, void* record) { return host::Entry(code, record, &FakeHost::Resolve); }

std::size_t Count(const FakeHost& h, const std::string& service) { return h.CallsTo(service).size(); }

TEST(Entry, CheckAcceptsOnlyThe8051) {
    FakeHost h;
    struct {
        uint32_t processor;
        uint32_t result;
    } cases[] = {{0x1F73, 1}, {0x8052, 0}, {0, 0}, {0x1F72, 0}, {0xFFFF1F73, 0}};
    for (auto c : cases) {
        // Only the first field is read: the record is exactly one word.
        PeltoCheckRecord record{c.processor};
        EXPECT_EQ(Entry(PELTO_ENTRY_CHECK, &record), c.result) << std::hex << c.processor;
    }
    EXPECT_EQ(Entry(PELTO_ENTRY_CHECK, nullptr), 0u);
    EXPECT_TRUE(h.calls.empty());
}

TEST(Entry, OtherCodesDoNothingAndSucceed) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    h.ClearCalls();
    for (uint32_t code : {2u, 4u, 0xFFFFFFFFu, 0x100u}) EXPECT_EQ(Entry(code, nullptr), 1u) << code;
    EXPECT_TRUE(h.calls.empty());
}

TEST(Entry, NullStartRecordFailsWithoutCalls) {
    FakeHost h;
    host::TheExtension() = host::Extension{};
    EXPECT_EQ(Entry(PELTO_ENTRY_START, nullptr), 0u);
    EXPECT_TRUE(h.calls.empty());
}

TEST(Entry, ResetBeforeStartCallsNothing) {
    FakeHost h;
    host::TheExtension() = host::Extension{};
    EXPECT_EQ(h.Reset(), 0u);
    EXPECT_TRUE(h.calls.empty());
}

TEST(StartUp, RegistersEverythingInOrder) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);

    EXPECT_EQ(h.virtual_registers, (std::vector<std::string>{"IVWL0", "IVWL1", "IVWL2", "IVWL3"}));
    for (const auto& c : h.CallsTo("PeltoDefineVTR")) EXPECT_EQ(c.args, (testing_host::Args{13, 0}));

    const std::vector<uint32_t> expected_ids{0xF00108D3, 0xF00108D4, 0xF00109D3, 0xF00109D4, 0xF0010AD3,
                                             0xF0010AD4, 0xF0010BD2, 0xF0010CD2, 0xF00108DE, 0xF00108F7};
    ASSERT_EQ(h.sfr_watches.size(), expected_ids.size());
    for (std::size_t i = 0; i < expected_ids.size(); ++i) {
        EXPECT_EQ(h.sfr_watches[i].id, expected_ids[i]);
        EXPECT_EQ(h.sfr_watches[i].access, 1u);
    }
    // The nine sequencer watches share one handler, FDATA has another.
    for (std::size_t i = 1; i < 9; ++i) EXPECT_EQ(h.sfr_watches[i].handler, h.sfr_watches[0].handler);
    EXPECT_NE(h.sfr_watches[9].handler, h.sfr_watches[0].handler);

    ASSERT_EQ(h.memory_watches.size(), 2u);
    EXPECT_EQ(h.memory_watches[0].first, 0xFF000000u);
    EXPECT_EQ(h.memory_watches[0].last, 0xFF007FFFu);
    EXPECT_EQ(h.memory_watches[1].first, 0xFF00A000u);
    EXPECT_EQ(h.memory_watches[1].last, 0xFF00BFFFu);
    EXPECT_EQ(h.memory_watches[0].access, 0u);
    EXPECT_EQ(h.memory_watches[0].handler, h.memory_watches[1].handler);

    ASSERT_EQ(h.timers.size(), 1u);
    EXPECT_EQ(h.timers[0].callback, h.sfr_watches[0].handler);
    EXPECT_FALSE(h.timers[0].due.has_value());
    EXPECT_EQ(h.CallsTo("PeltoSetTimer").back().args, (testing_host::Args{1, 0xFFFFFFFF}));

    const auto& ext = host::TheExtension();
    EXPECT_EQ(ext.flash.start_time, ~uint64_t{0});
    EXPECT_EQ(ext.virtual_registers, (std::array<uint32_t, 4>{1, 2, 3, 4}));
    // Start-up writes no register: the flash registers get their values from the reset.
    EXPECT_EQ(Count(h, "PeltoWriteSFR"), 0u);
}

TEST(StartUp, AllLookupsMadeBeforeAnyIsTested) {
    for (const char* absent : {"PeltoGetSymbolByValue", "PeltoDefineVTR", "PeltoReadSFR", "PeltoHandleFocus"}) {
        FakeHost h;
        h.missing = {absent};
        std::vector<std::string> looked_up;
        static std::vector<std::string>* log;
        log = &looked_up;
        const host::Resolver logging = [](uintptr_t m, const char* name) {
            log->push_back(name);
            return FakeHost::Resolve(m, name);
        };
        host::TheExtension() = host::Extension{};
        PeltoStartupRecord record{};
        EXPECT_EQ(host::Entry(PELTO_ENTRY_START, &record, logging), 0u) << absent;
        EXPECT_EQ(looked_up.size(), 34u);
        EXPECT_TRUE(h.calls.empty()) << absent << ": nothing may be created";
        EXPECT_EQ(h.Reset(), 0u) << "reset may not call through a missing entry";
        EXPECT_TRUE(h.calls.empty());
    }
}

TEST(StartUp, FailedVirtualRegisterStillDefinesTheRestButNoWatch) {
    FakeHost h;
    h.fail["PeltoDefineVTR"] = 0;  // all four fail; the first failing must not stop the others
    EXPECT_EQ(h.Start(), 0u);
    EXPECT_EQ(Count(h, "PeltoDefineVTR"), 4u);
    EXPECT_EQ(Count(h, "PeltoSetWatchOnSFR"), 0u);
    EXPECT_EQ(Count(h, "PeltoCreateTimer"), 0u);
}

TEST(StartUp, OneFailedVirtualRegisterFailsAfterAllFour) {
    FakeHost h;
    h.refused_virtual_registers = {"IVWL1"};
    EXPECT_EQ(h.Start(), 0u);
    EXPECT_EQ(Count(h, "PeltoDefineVTR"), 4u);
    EXPECT_EQ(host::TheExtension().virtual_registers, (std::array<uint32_t, 4>{1, 0, 2, 3}));
    EXPECT_EQ(Count(h, "PeltoSetWatchOnSFR"), 0u);
}

TEST(StartUp, WatchResultsAreAndedAndEveryRegistrationIsMade) {
    struct Case {
        const char* service;
        uint32_t result;
    } cases[] = {{"PeltoSetWatchOnSFR", 0}, {"PeltoSetWatchOnSFR", 2}, {"PeltoSetWatchOnMemory", 0},
                 {"PeltoCreateTimer", 0}};
    for (auto c : cases) {
        FakeHost h;
        h.fail[c.service] = c.result;
        EXPECT_EQ(h.Start(), 0u) << c.service << " " << c.result;
        EXPECT_EQ(Count(h, "PeltoSetWatchOnSFR"), 10u);
        EXPECT_EQ(Count(h, "PeltoSetWatchOnMemory"), 2u);
        EXPECT_EQ(Count(h, "PeltoCreateTimer"), 1u);
        EXPECT_EQ(Count(h, "PeltoDefineMenuItem"), 0u);
        EXPECT_EQ(Count(h, "PeltoSetTimer"), 0u);
    }
}

TEST(StartUp, SecondStartRunsEveryStepAgain) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    PeltoStartupRecord record{};
    ASSERT_EQ(host::Entry(PELTO_ENTRY_START, &record, &FakeHost::Resolve), 1u);
    EXPECT_EQ(h.sfr_watches.size(), 20u);
    EXPECT_EQ(h.timers.size(), 2u);
    EXPECT_EQ(host::TheExtension().flash.timer, 2u);
}

TEST(StartUp, AFailedLaterStartLeavesTheEarlierHandlersCallingNothing) {
    // The first start-up's watches and timer stay registered; the failed second one leaves a
    // table without the service, so they must call nothing at all.
    for (const char* absent : {"PeltoReadSFR", "PeltoGetLastMemoryAddress", "PeltoGetStates", "PeltoSetTimer",
                               "PeltoWriteMemory", "PeltoGetProgramCounter", "PeltoGetSymbolByValue"}) {
        SCOPED_TRACE(absent);
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
        h.CaptureByte(0xA000, 0x42);
        h.ProgramWrite(flash::Reg::FCTL_D0, 0x28);
        h.ProgramWrite(flash::Reg::FCMD, 0x06);
        ASSERT_TRUE(h.timers[0].due.has_value());

        h.missing = {absent};
        PeltoStartupRecord record{};
        ASSERT_EQ(host::Entry(PELTO_ENTRY_START, &record, &FakeHost::Resolve), 0u);
        h.ClearCalls();
        h.CaptureByte(0xA001, 0x43);
        h.ProgramWrite(flash::Reg::FCTL_D0, 0x24);
        h.ProgramWrite(flash::Reg::FCMD, 0x04);
        h.ProgramCodeRead(0xA000);
        h.FireTimerNow(1);
        h.Advance(flash::kProgramCycles);
        EXPECT_TRUE(h.calls.empty());
        EXPECT_EQ(h.code[0xA000], 0x00) << "nothing committed";
        EXPECT_EQ(h.Reset(), 0u);
        EXPECT_TRUE(h.calls.empty());
    }
}

TEST(Reset, WritesEveryRegisterInOrder) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    h.SetSfr(flash::Reg::FPHASE2, 0x55);
    h.SetSfr(flash::Reg::NMISTAT, 0x44);
    h.SetSfr(flash::Reg::FDATA, 0x33);
    h.ClearCalls();
    EXPECT_EQ(h.Reset(), 1u);

    const std::vector<std::pair<uint32_t, uint32_t>> expected{
        {0xF00108DF, 0x00}, {0xF00108D3, 0x20}, {0xF00108D4, 0x20}, {0xF00109D3, 0x20}, {0xF00109D4, 0x20},
        {0xF0010AD3, 0x20}, {0xF0010AD4, 0x20}, {0xF0010BD2, 0x20}, {0xF0010CD2, 0x20}, {0xF00108D5, 0x00},
        {0xF00109D5, 0x00}, {0xF0010AD5, 0x00}, {0xF0010BD3, 0x00}, {0xF0010BD4, 0x00}, {0xF0010CD3, 0x00},
        {0xF0010CD4, 0x00}, {0xF00108DD, 0x2D}, {0xF00108DE, 0x04}, {0xF00108D6, 0x1F}, {0xF00109D6, 0x1F},
        {0xF0010BDD, 0x00}, {0xF00102BA, 0x04}, {0xF00101E9, 0x00}};
    ASSERT_EQ(h.calls.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(h.calls[i], (Call{"PeltoWriteSFR", {expected[i].first, expected[i].second, 0xFF}})) << i;
    EXPECT_EQ(h.Sfr(flash::Reg::FPHASE2), 0x55u);
    EXPECT_EQ(h.Sfr(flash::Reg::NMISTAT), 0x44u);
    EXPECT_EQ(h.Sfr(flash::Reg::FDATA), 0x33u);
}

TEST(Reset, RefusedWriteFailsAfterAllWrites) {
    for (uint32_t refusal : {0u, 2u}) {
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        h.fail["PeltoWriteSFR"] = refusal;
        h.ClearCalls();
        EXPECT_EQ(h.Reset(), 0u);
        EXPECT_EQ(Count(h, "PeltoWriteSFR"), 23u);
    }
}

TEST(Reset, LeavesTimerStartTimeAndBuffersAlone) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    h.Reset();
    h.CaptureByte(0x1234, 0x55);
    h.ProgramWrite(flash::Reg::FCTL_P0A, 0x28);
    h.ProgramWrite(flash::Reg::FCMD, 0x06);
    const auto before = host::TheExtension().flash;
    const auto due = h.timers[0].due;
    ASSERT_TRUE(due.has_value());
    h.ClearCalls();
    h.Reset();
    EXPECT_EQ(Count(h, "PeltoSetTimer"), 0u);
    EXPECT_EQ(h.timers[0].due, due);
    const auto& after = host::TheExtension().flash;
    EXPECT_EQ(after.start_time, before.start_time);
    EXPECT_EQ(after.capture, before.capture);
    EXPECT_EQ(after.last_captured, before.last_captured);
}

}  // namespace
