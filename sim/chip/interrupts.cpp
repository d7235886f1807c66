#include "interrupts.h"

namespace chip {

void InterruptController::Reti() {
    // The highest level in progress ends.
    for (uint8_t level : {kLevelNmi, kLevelHigh, kLevelLow}) {
        if (in_progress_ & level) {
            in_progress_ = static_cast<uint8_t>(in_progress_ & ~level);
            break;
        }
    }
    hold_ = true;
}

FlagSample InterruptController::Sample() const {
    FlagSample sample{};
    for (std::size_t i = 0; i < kFlagRegisters.size(); ++i) sample[i] = At(sfrs_, kFlagRegisters[i]);
    return sample;
}

Vectoring InterruptController::Decide(bool nmi_requested, const FlagSample& sampled) {
    if (in_progress_ & kLevelNmi) return {};
    if (nmi_requested) {
        in_progress_ |= kLevelNmi;
        return {true, kNmiVector, -1};
    }
    const uint8_t enables = At(sfrs_, sfr::kIe);
    if ((enables & ie::kEa) == 0 || (in_progress_ & kLevelHigh)) return {};
    const uint8_t priorities = At(sfrs_, sfr::kIp);
    // High-level requests first, each level in polling order; a low level only when none runs.
    for (uint8_t level : {kLevelHigh, kLevelLow}) {
        if (level == kLevelLow && (in_progress_ & kLevelLow)) break;
        for (std::size_t i = 0; i < kInterruptSources.size(); ++i) {
            const InterruptSource& s = kInterruptSources[i];
            const bool high = (priorities & s.enable) != 0;
            if ((enables & s.enable) == 0 || high != (level == kLevelHigh)) continue;
            if ((sampled[FlagIndex(s.flag_sfr)] & s.flags) == 0) continue;
            const bool edge = s.edge_select == 0 || (At(sfrs_, sfr::kTcon) & s.edge_select) != 0;
            uint8_t& flags = At(sfrs_, s.flag_sfr);
            if (edge) flags = static_cast<uint8_t>(flags & ~s.clear_on_entry);
            in_progress_ |= level;
            return {true, s.vector, static_cast<int>(i)};
        }
    }
    return {};
}

bool InterruptController::CanInterrupt(bool nmi_enabled) const {
    const uint8_t enables = At(sfrs_, sfr::kIe);
    return nmi_enabled || ((enables & ie::kEa) != 0 && (enables & ie::kSources) != 0);
}

}  // namespace chip
