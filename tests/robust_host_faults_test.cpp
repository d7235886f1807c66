// The extension over a host whose services fail: whole services (each of the fourteen it calls)
// and single reads of one register or one address. Whatever fails, the extension never writes
// out of range and keeps the flash model's invariants; where a read leaves a value unknown it
// takes the safe way: an unknown opcode is no instruction it acts on, an unknown data pointer or
// data byte captures nothing, an unknown read address or code byte reports no ECC error, and an
// unknown register value is no request, no command, no sector and no completion enable.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fake_host.h"
#include "flash/capture.h"
#include "flash/regmap.h"
#include "fuzz/flash_invariants.h"
#include "host/extension.h"
#include "services/services.h"

using flash::Reg;
using testing_host::Call;
using testing_host::FakeHost;

namespace {

constexpr uint16_t kBlock = 0xA040;        // a DFLASH 0 write block, primary view
constexpr uint16_t kTwin = 0x7040;         // the same block in the second view
constexpr uint16_t kSector0 = 0xA000;      // DFLASH 0 sector 0, primary view
constexpr uint16_t kSector0Twin = 0x7000;  // and in the second view
constexpr uint16_t kSector0Size = 1024;
constexpr uint8_t kOldContents = 0xEE;
constexpr uint8_t kLjmp = 0x02;  // the usual instruction at the reset vector

uint8_t Pattern(std::size_t i) { return static_cast<uint8_t>(0x40 + 3 * i); }

// What one operation on DFLASH 0 left behind, as the program sees it.
struct Outcome {
    uint32_t acknowledged;    // FCTL_D0 right after the program's request
    bool done;                // program: the block holds the bytes in both views; erase: the sector
                              // reads 0 in both views, code and shadow
    bool signalled;           // FIRQCFG bit 5 and NMISTAT bit 2
    uint32_t control_at_end;  // FCTL_D0 once the operation's time has passed
    bool shadow_marked;       // program only: the block's shadow bytes carry the ECC valid bit
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    return out << "{ack 0x" << std::hex << o.acknowledged << ", done " << o.done << ", signalled " << o.signalled
               << ", control at end 0x" << o.control_at_end << ", shadow " << o.shadow_marked << "}";
}

// A started extension over the fake host, and the program side of the ROM routines.
class Rig {
public:
    bool Start() {
        if (h.Start() != 1 || h.Reset() != 1) return false;
        h.cycles = 5000;
        h.code[0] = kLjmp;
        h.code[1] = 0x00;
        checked = h.calls.size();
        return true;
    }

    // Checks the invariants over the calls made since the last check.
    void ExpectInvariants(const std::string& when) {
        const std::string broken = flash_invariants::BrokenInvariant(h, checked);
        EXPECT_TRUE(broken.empty()) << broken << " (" << when << ")";
        checked = h.calls.size();
    }

    // ROM_PROGRAM's sequence for one DFLASH 0 block.
    Outcome Program() {
        for (std::size_t i = 0; i < flash::kDataBlock; ++i) h.CaptureByte(static_cast<uint16_t>(kBlock + i), Pattern(i));
        ExpectInvariants("captures");
        h.ProgramOr(Reg::FCTL_D0, flash::kRequestProgram);
        Outcome o{};
        o.acknowledged = h.Sfr(Reg::FCTL_D0);
        h.ProgramOr(Reg::FCMD, flash::kCommandStart);
        h.ProgramOr(Reg::FIRQCFG, flash::kIrqEnable);
        ExpectInvariants("program start");
        h.Advance(flash::kProgramCycles);
        ExpectInvariants("program commit");
        o.done = true;
        o.shadow_marked = true;
        for (std::size_t i = 0; i < flash::kDataBlock; ++i) {
            o.done = o.done && h.code[kBlock + i] == Pattern(i) && h.code[kTwin + i] == Pattern(i);
            o.shadow_marked = o.shadow_marked && (h.xdata[kBlock + i] & flash::kEccValid);
        }
        o.signalled = Signalled();
        o.control_at_end = h.Sfr(Reg::FCTL_D0);
        return o;
    }

    // ROM_ERASE's sequence for DFLASH 0 sector 0, over old contents in both views.
    Outcome Erase() {
        for (uint16_t view : {kSector0, kSector0Twin}) {
            std::fill_n(h.code.begin() + view, kSector0Size, kOldContents);
            std::fill_n(h.xdata.begin() + view, kSector0Size, kOldContents);
        }
        h.ProgramWrite(Reg::FSEL_D0L, 0x01);
        h.ProgramWrite(Reg::FCTL_D0, flash::kRequestErase);
        Outcome o{};
        o.acknowledged = h.Sfr(Reg::FCTL_D0);
        h.ProgramOr(Reg::FCMD, flash::kCommandStart);
        h.ProgramOr(Reg::FIRQCFG, flash::kIrqEnable);
        ExpectInvariants("erase start");
        h.Advance(flash::kEraseFirstPhaseCycles);
        ExpectInvariants("end of the first erase phase");
        h.Advance(flash::kEraseSecondPhaseCycles);
        ExpectInvariants("erase commit");
        o.done = true;
        for (uint16_t view : {kSector0, kSector0Twin})
            o.done = o.done && Holds(view, kSector0Size, h.code, 0) && Holds(view, kSector0Size, h.xdata, 0);
        o.signalled = Signalled();
        o.control_at_end = h.Sfr(Reg::FCTL_D0);
        return o;
    }

    FakeHost h;
    std::size_t checked = 0;

private:
    static bool Holds(uint16_t first, std::size_t count, const std::array<uint8_t, 0x10000>& memory, uint8_t value) {
        return std::all_of(memory.begin() + first, memory.begin() + first + count, [&](uint8_t b) { return b == value; });
    }
    bool Signalled() const {
        return (h.Sfr(Reg::FIRQCFG) & flash::kIrqDone) && (h.Sfr(Reg::NMISTAT) & flash::kNmiFlashDone);
    }
};

class Faults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rig.Start()); }
    void ExpectInvariants(const std::string& when) { rig.ExpectInvariants(when); }
    Rig rig;
    FakeHost& h = rig.h;
};

struct ServiceCase {
    const char* service;
    Outcome program;
    Outcome erase;
};

// Program and erase outcomes with each service failing from the first operation on. A failing
// service has no effect; what the extension makes of that follows from the safe values above.
const ServiceCase kServiceCases[] = {
    // Called at start-up or by the status window only: the operations run as usual.
    {"PeltoDefineVTR", {0x80, true, true, 0x20, true}, {0x40, true, true, 0x20, false}},
    {"PeltoSetWatchOnSFR", {0x80, true, true, 0x20, true}, {0x40, true, true, 0x20, false}},
    {"PeltoSetWatchOnMemory", {0x80, true, true, 0x20, true}, {0x40, true, true, 0x20, false}},
    {"PeltoCreateTimer", {0x80, true, true, 0x20, true}, {0x40, true, true, 0x20, false}},
    {"PeltoDefineMenuItem", {0x80, true, true, 0x20, true}, {0x40, true, true, 0x20, false}},
    {"PeltoHandleFocus", {0x80, true, true, 0x20, true}, {0x40, true, true, 0x20, false}},
    // No timer, or no time: the operation never ends and the bank stays in its mode.
    {"PeltoSetTimer", {0x80, false, false, 0x80, true}, {0x40, false, false, 0x40, false}},
    {"PeltoGetStates", {0x80, false, false, 0x80, true}, {0x40, false, false, 0x40, false}},
    // Nothing read: no byte is captured (unknown data pointer), no request is seen.
    {"PeltoReadSFR", {0x28, false, false, 0x28, false}, {0x04, false, false, 0x04, false}},
    // The mode is never written, so no bank is in a mode that FCMD could start.
    {"PeltoWriteSFR", {0x28, false, false, 0x28, true}, {0x04, false, false, 0x04, false}},
    // Unknown opcode: no byte is captured; the commit has nothing to write but completes.
    {"PeltoReadMemory", {0x80, false, true, 0x20, false}, {0x40, true, true, 0x20, false}},
    // Nothing reaches memory; the operations complete.
    {"PeltoWriteMemory", {0x80, false, true, 0x20, false}, {0x40, false, true, 0x20, false}},
    // No register write is recognised, so every call looks like a timer expiry.
    {"PeltoGetLastMemoryAddress", {0x28, false, false, 0x28, true}, {0x04, false, false, 0x04, false}},
    // The instruction read is the one at the reset vector: no FDATA write is a capture.
    {"PeltoGetProgramCounter", {0x80, false, true, 0x20, false}, {0x40, true, true, 0x20, false}},
};

TEST(ServiceFaults, EveryServiceTheExtensionCallsIsListed) {
    std::vector<std::string> listed;
    for (const auto& c : kServiceCases) listed.emplace_back(c.service);
    std::vector<std::string> called(host::kServiceNames.begin(), host::kServiceNames.begin() + host::kDefineSFR);
    std::sort(listed.begin(), listed.end());
    std::sort(called.begin(), called.end());
    EXPECT_EQ(listed, called);
}

// The failure result does not matter: the handlers ignore results.
TEST(ServiceFaults, ProgramAndEraseWithEachServiceFailing) {
    for (const auto& c : kServiceCases) {
        for (uint32_t result : {0u, 1u}) {
            for (bool erase : {false, true}) {
                SCOPED_TRACE(std::string(c.service) + " failing with " + std::to_string(result) + (erase ? ", erase" : ", program"));
                Rig rig;
                ASSERT_TRUE(rig.Start());
                rig.h.fail[c.service] = result;
                EXPECT_EQ(erase ? rig.Erase() : rig.Program(), erase ? c.erase : c.program);
            }
        }
    }
}

TEST(ServiceFaults, RandomEventsWithEachServiceFailingKeepTheInvariants) {
    constexpr int kEvents = 600;
    constexpr uint32_t kSeed = 20261211;
    for (std::size_t s = 0; s < host::kDefineSFR; ++s) {
        SCOPED_TRACE(std::string(host::kServiceNames[s]) + " failing");
        Rig rig;
        ASSERT_TRUE(rig.Start());
        FakeHost& h = rig.h;
        h.fail[host::kServiceNames[s]] = 0;
        std::mt19937 rng(kSeed + static_cast<uint32_t>(s));
        auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
        for (int event = 0; event < kEvents && !::testing::Test::HasFailure(); ++event) {
            switch (pick(6)) {
            case 0:
                h.ProgramWrite(flash::kControls[pick(8)], 1u << pick(4) | (pick(2) ? flash::kModeRead : 0u));
                break;
            case 1:
                h.ProgramWrite(Reg::FCMD, pick(2) ? flash::kCommandStart : flash::kCommandIdle);
                break;
            case 2:
                h.CaptureByte(static_cast<uint16_t>(rng()), static_cast<uint8_t>(rng()));
                break;
            case 3:
                h.SetSfr(flash::kSectorSelects[pick(7)], pick(256));
                break;
            case 4:
                if (const auto due = h.timers[0].due; due && pick(2)) h.Advance(*due - h.cycles);
                else h.Advance(pick(3'000'000));
                break;
            default:
                h.ProgramCodeRead(static_cast<uint16_t>(pick(2) ? pick(0x8000) : 0xA000 + pick(0x2000)));
                break;
            }
            rig.ExpectInvariants("event " + std::to_string(event));
        }
    }
}

// ---- single reads that fail ----

std::optional<uint32_t> FailReadOf(const Call& call, Reg reg) {
    if (call.service == "PeltoReadSFR" && call.args[0] == flash::Id(reg)) return 0u;
    return std::nullopt;
}

// A register read that fails reads as 0: no request, no command, no completion enable, no sector.
TEST(UnreadRegister, ReadsAsZero) {
    struct Case {
        Reg unread;
        bool erase;
        Outcome expected;
    } const cases[] = {
        {Reg::FCTL_D0, false, {0x28, false, false, 0x28, true}},   // the request is not seen
        {Reg::FCMD, false, {0x80, false, false, 0x80, true}},      // the start is not seen
        {Reg::FIRQCFG, false, {0x80, true, false, 0x20, true}},    // programmed, not signalled
        {Reg::FSEL_D0L, true, {0x40, false, true, 0x20, false}},   // erases nothing, completes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(flash::Info(c.unread).name) + " unread");
        Rig rig;
        ASSERT_TRUE(rig.Start());
        rig.h.fail_call = [&c](const Call& call) { return FailReadOf(call, c.unread); };
        EXPECT_EQ(c.erase ? rig.Erase() : rig.Program(), c.expected);
    }
}

TEST_F(Faults, UnreadDataPointerOrDataCapturesNothing) {
    // With DPL unread and DPH on a bank, reading DPL as anything would capture at a wrong address.
    for (Reg unread : {Reg::DPH, Reg::DPL, Reg::FDATA}) {
        SCOPED_TRACE(std::string(flash::Info(unread).name));
        h.fail_call = [unread](const Call& c) { return FailReadOf(c, unread); };
        const auto xdata_before = h.xdata;
        const auto state_before = host::TheExtension().flash;
        h.CaptureByte(0x1234, 0x55);
        h.CaptureByte(0xA010, 0x66);
        const auto& state = host::TheExtension().flash;
        EXPECT_EQ(state.capture, state_before.capture);
        EXPECT_EQ(state.last_captured, state_before.last_captured);
        EXPECT_EQ(state.captured, state_before.captured);
        EXPECT_EQ(h.xdata, xdata_before) << "no shadow byte may be marked";
        ExpectInvariants("captures");
    }
    h.fail_call = nullptr;
    h.CaptureByte(0x1234, 0x55);
    EXPECT_EQ(host::TheExtension().flash.capture[0][0x34], 0x55) << "captures work again once the reads do";
}

TEST_F(Faults, UnreadOpcodeIsNoInstruction) {
    h.fail_call = [](const Call& c) -> std::optional<uint32_t> {
        if (c.service == "PeltoReadMemory" && c.args[0] == flash::CodeAddress(FakeHost::kDefaultPc)) return 0u;
        return std::nullopt;
    };
    h.code[FakeHost::kDefaultPc] = flash::kOpMovDirectA;
    h.CaptureByte(0x1234, 0x55);
    EXPECT_FALSE(host::TheExtension().flash.captured[0]);
    EXPECT_EQ(h.xdata[0x1234], 0);
    // A MOVC read of a byte with a mismatching shadow is not checked either.
    h.xdata[0x2000] = flash::kEccValid | 0x0F;
    h.code[0x2000] = 0x00;
    h.ProgramCodeRead(0x2000);
    EXPECT_EQ(h.Sfr(Reg::NMISTAT) & flash::kNmiEccError, 0u);
    ExpectInvariants("reads");
}

// A byte the extension could not read, or a read it could not place, is never an ECC error.
TEST_F(Faults, UnknownReadReportsNoEccError) {
    struct Case {
        const char* what;
        std::function<std::optional<uint32_t>(const Call&)> fail;
    };
    constexpr uint16_t kNoBank = 0xFF00;
    const auto last_address = [](uint32_t answer) {
        return [answer](const Call& c) { return c.service == "PeltoGetLastMemoryAddress" ? std::optional<uint32_t>(answer) : std::nullopt; };
    };
    const Case cases[] = {
        {"last memory address", last_address(0)},
        {"last memory address in no bank", last_address(flash::CodeAddress(kNoBank))},
        {"code byte read", [](const Call& c) {
             return c.service == "PeltoReadMemory" && c.args[0] == flash::CodeAddress(0x2000) ? std::optional<uint32_t>(0) : std::nullopt;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        h.SetSfr(Reg::NMISTAT, 0);
        // The byte read carries check bits that its code byte does not match, and so do code 0
        // (where an unplaced read would land) and a byte outside the banks.
        for (uint16_t a : {uint16_t{0x0000}, uint16_t{0x2000}, kNoBank}) {
            h.code[a] = 0xFF;
            h.xdata[a] = static_cast<uint8_t>(flash::kEccValid | flash::EccCheckBits(0x00) | 0x08);
        }
        h.code[0] = kLjmp;
        h.xdata[0] = static_cast<uint8_t>(flash::kEccValid | (flash::EccCheckBits(kLjmp) ^ 0x01));
        h.fail_call = c.fail;
        h.ProgramCodeRead(0x2000);
        EXPECT_EQ(h.Sfr(Reg::NMISTAT) & flash::kNmiEccError, 0u);
        h.fail_call = nullptr;
        h.ProgramCodeRead(0x2000);
        EXPECT_EQ(h.Sfr(Reg::NMISTAT) & flash::kNmiEccError, flash::kNmiEccError) << "the same read checks once the host answers";
        ExpectInvariants("reads");
    }
}

// Both views of a DFLASH bank are erased alike even when one of the sector select reads fails.
TEST_F(Faults, DflashEraseKeepsItsViewsEqualWhenASelectReadFails) {
    for (int failing = 0; failing < 2; ++failing) {
        SCOPED_TRACE("select read " + std::to_string(failing) + " fails");
        for (uint16_t view : {kSector0, kSector0Twin}) std::fill_n(h.code.begin() + view, kSector0Size, kOldContents);
        h.ProgramWrite(Reg::FSEL_D0L, 0x01);
        h.ProgramWrite(Reg::FCTL_D0, flash::kRequestErase);
        h.ProgramOr(Reg::FCMD, flash::kCommandStart);
        h.Advance(flash::kEraseFirstPhaseCycles);
        int reads = 0;
        h.fail_call = [&](const Call& c) -> std::optional<uint32_t> {
            if (c.service != "PeltoReadSFR" || c.args[0] != flash::Id(Reg::FSEL_D0L)) return std::nullopt;
            return reads++ == failing ? std::optional<uint32_t>(0) : std::nullopt;
        };
        h.Advance(flash::kEraseSecondPhaseCycles);
        h.fail_call = nullptr;
        EXPECT_EQ(h.Sfr(Reg::FCTL_D0), flash::kModeRead);
        ExpectInvariants("erase commit");
        h.ProgramWrite(Reg::FCMD, flash::kCommandIdle);
    }
}

}  // namespace
