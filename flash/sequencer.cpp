#include "sequencer.h"

#include <algorithm>
#include <span>

#include "host_access.h"

namespace flash {
namespace {

// A register the host does not report reads as kUnreadIsZero (host_access.h).

struct RequestRule {
    uint8_t mask;
    std::array<uint8_t, 3> accepted;  // values of (v & mask) that are accepted; repeats pad
    uint8_t mode;
};

// A request is accepted with exactly one request bit and no conflicting mode bit.
constexpr std::array kRequestRules{
    RequestRule{0xCF, {kRequestPwd, kRequestPwd, kRequestPwd}, kModePwd},
    RequestRule{0xCF, {kRequestRead, kRequestRead, kRequestRead}, kModeRead},
    RequestRule{0x6F, {kRequestErase, kRequestErase | kModeRead, kRequestErase | kModeErase}, kModeErase},
    RequestRule{0xAF, {kRequestProgram, kRequestProgram | kModeRead, kRequestProgram | kModeProgram}, kModeProgram},
};

void DisarmTimer(FlashState& state, const host::Services& host) {
    state.armed_for = 0;
    host.SetTimer(state.timer, kTimerDisarm);
}

void ArmTimer(FlashState& state, const host::Services& host, uint64_t cycles) {
    state.start_time = host.GetStates();
    state.armed_for = cycles;
    host.SetTimer(state.timer, static_cast<uint32_t>(cycles));
}

// First control (in control-table order) whose value has the mode bit set.
std::optional<int> FirstControlIn(const host::Services& host, uint8_t mode) {
    for (int c = 0; c < kControlCount; ++c)
        if (ReadRegister(host, kControls[c]) & mode) return c;
    return std::nullopt;
}

void SignalCompletion(const host::Services& host, uint32_t irq_config) {
    if (!(irq_config & kIrqEnable)) return;
    WriteRegister(host, Reg::FIRQCFG, kIrqDone, kIrqDone);
    WriteRegister(host, Reg::NMISTAT, kNmiFlashDone, kNmiFlashDone);
}

// Returns the bank's controls to read mode, the one that was found first leading.
void ReturnToReadMode(const host::Services& host, int control) {
    const Bank& bank = kBanks[BankOfControl(control)];
    WriteRegister(host, kControls[control], kModeRead);
    for (int c = bank.first_control; c < bank.first_control + bank.control_count; ++c)
        if (c != control) WriteRegister(host, kControls[c], kModeRead);
}

void ClearRange(const FlashState& state, const host::Services& host, uint16_t first, uint16_t size) {
    const auto piece = static_cast<uint16_t>(std::min<std::size_t>(size, kEraseFillSize));
    for (uint32_t space : {kCodeSpace, kShadowSpace})
        for (uint32_t offset = 0; offset < size; offset += piece)
            host.WriteMemory(space | ((first + offset) & kAddressBits), piece, state.erase_fill.data());
}

void ProgramCommit(FlashState& state, const host::Services& host) {
    const uint32_t irq_config = ReadRegister(host, Reg::FIRQCFG);
    DisarmTimer(state, host);
    const auto control = FirstControlIn(host, kModeProgram);
    if (!control) return;
    const int bank_index = BankOfControl(*control);
    const Bank& bank = kBanks[bank_index];
    // A bank with nothing captured since start-up has no write block: write nothing rather than
    // a stale row at address 0.
    if (state.captured[bank_index]) {
        const auto block = static_cast<uint16_t>(state.last_captured[bank_index] & ~(bank.write_block - 1u));
        const uint8_t* row = state.capture[bank_index].data();
        host.WriteMemory(CodeAddress(block), bank.write_block, row);
        if (bank.IsData()) host.WriteMemory(CodeAddress(OtherView(bank, block)), bank.write_block, row);
    }
    SignalCompletion(host, irq_config);
    ReturnToReadMode(host, *control);
}

void EraseSectors(const FlashState& state, const host::Services& host, uint16_t view, uint32_t select,
                  std::span<const Sector> sectors) {
    for (std::size_t bit = 0; bit < sectors.size(); ++bit)
        if (select & (1u << bit)) ClearRange(state, host, static_cast<uint16_t>(view + sectors[bit].offset), sectors[bit].size);
}

void EraseCommit(FlashState& state, const host::Services& host) {
    const uint32_t irq_config = ReadRegister(host, Reg::FIRQCFG);
    DisarmTimer(state, host);
    const auto control = FirstControlIn(host, kModeErase);
    if (!control) return;
    const Bank& bank = kBanks[BankOfControl(*control)];
    if (!bank.IsData()) {
        const uint32_t select = ReadRegister(host, bank.select_low);
        WriteRegister(host, bank.select_low, 0x00);
        EraseSectors(state, host, bank.base, select, kPairSectors);
    } else {
        const std::span<const Sector> sectors{kDataSectors};
        // Read once for both views: a read the host fails once must not erase one view only.
        const uint32_t low = ReadRegister(host, bank.select_low);
        const uint32_t high = ReadRegister(host, *bank.select_high);
        for (uint16_t view : {bank.second_view, bank.base}) {
            EraseSectors(state, host, view, low, sectors.first(kDataSectorsInLowSelect));
            EraseSectors(state, host, view, high, sectors.subspan(kDataSectorsInLowSelect));
        }
        WriteRegister(host, bank.select_low, 0x00);
        WriteRegister(host, *bank.select_high, 0x00);
    }
    SignalCompletion(host, irq_config);
    ReturnToReadMode(host, *control);
}

void EndFirstErasePhase(FlashState& state, const host::Services& host) {
    WriteRegister(host, Reg::FPHASE0, kPhaseSecond);
    WriteRegister(host, Reg::FPHASE1, kPhaseSecond);
    WriteRegister(host, Reg::FPHASE2, kPhaseSecondReference);
    ArmTimer(state, host, kEraseSecondPhaseCycles);
}

// Only the phase the timer is armed for ends, and only at its own duration: a call after a
// cancel, before any start, or in one phase at another phase's duration ends nothing.
void RunElapsedTimeTests(FlashState& state, const host::Services& host, uint64_t now, uint64_t armed_for) {
    const uint64_t elapsed = now - state.start_time;  // modulo 2^64 by design
    if (armed_for == 0 || elapsed != armed_for) return;
    if (elapsed == kProgramCycles) ProgramCommit(state, host);
    else if (elapsed == kEraseFirstPhaseCycles) EndFirstErasePhase(state, host);
    else if (elapsed == kEraseSecondPhaseCycles) EraseCommit(state, host);
}

void HandleCommand(FlashState& state, const host::Services& host) {
    uint32_t value = 0;
    uint32_t previous = 0;
    host.ReadSFR(Id(Reg::FCMD), &value, &previous, 0xFF);
    if ((value & kCommandMask) == kCommandStart) {
        if (FirstControlIn(host, kModeProgram)) {
            ArmTimer(state, host, kProgramCycles);
        } else if (FirstControlIn(host, kModeErase)) {
            ArmTimer(state, host, kEraseFirstPhaseCycles);
            WriteRegister(host, Reg::FPHASE2, kPhaseStart);
            WriteRegister(host, Reg::FPHASE0, kPhaseStart);
            WriteRegister(host, Reg::FPHASE1, kPhaseStart);
        }
    } else if ((previous & kCommandMask) == kCommandStart && (value & kCommandMask) == kCommandIdle) {
        for (Reg control : kControls) WriteRegister(host, control, kModeRead);
        DisarmTimer(state, host);
        state.start_time = kNoStartTime;
    }
}

void Sequence(FlashState& state, const host::Services& host) {
    const uint32_t last = host.GetLastMemoryAddress();
    const uint64_t now = host.GetStates();
    for (Reg control : kControls) {
        if (!AgreesWith(last, control)) continue;
        const auto mode = ClassifyRequest(static_cast<uint8_t>(ReadRegister(host, control)));
        if (!mode) return;
        WriteRegister(host, control, *mode);
        // A request in the cycle the phase ends lets it end first; any other cancels it.
        const uint64_t armed_for = state.armed_for;
        DisarmTimer(state, host);
        RunElapsedTimeTests(state, host, now, armed_for);
        return;
    }
    if (AgreesWith(last, Reg::FCMD)) {
        HandleCommand(state, host);
        return;
    }
    RunElapsedTimeTests(state, host, now, state.armed_for);
}

}  // namespace

std::optional<uint8_t> ClassifyRequest(uint8_t value) {
    for (const auto& rule : kRequestRules)
        if (std::ranges::find(rule.accepted, value & rule.mask) != rule.accepted.end()) return rule.mode;
    return std::nullopt;
}

void RunSequencer(FlashState& state, const host::Services& host) {
    if (state.sequencing) return;
    state.sequencing = true;
    Sequence(state, host);
    state.sequencing = false;
}

}  // namespace flash
