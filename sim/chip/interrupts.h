// The 8052 interrupt system and the flash's non-maskable interrupt.
//
// Sources in polling order, each with its vector, request flags and IE/IP bit (one table below).
// IE enables (EA and one bit per source), IP chooses one of two levels. The request flags are
// sampled in every machine cycle and the samples polled in the next: a flag set in a cycle, by a
// peripheral or by a write of the program, is taken at the first instruction boundary after
// that, and one the program clears in the polling cycle is still taken (the poll sees the
// previous sample). A request is taken by a hardware call of two machine cycles that pushes the
// PC, unless a handler of the same or a higher level is in progress, or the instruction just
// completed was a RETI or wrote IE or IP (one more instruction runs first). TF0, TF1 and edge-triggered IE0/IE1
// (IT0/IT1 set) are cleared when their handler is entered; RI, TI, TF2 and EXF2 and a
// level-triggered IE0/IE1 are left for the handler. RETI ends the highest level in progress.
//
// The NMI is this host's model of the flash interrupt: requested while NMISTAT AND NMICON is not
// 0, taken above both levels whatever EA says, vectors to 0x0073, and nothing interrupts its
// handler. The handler clears the NMISTAT flag; one still set at RETI requests the NMI again.
//
// Not modelled: the INT0/INT1 pins (they read high); firmware may set IE0/IE1 itself.
#pragma once

#include <array>
#include <cstdint>

#include "regs.h"
#include "timers.h"

namespace chip {

struct InterruptSource {
    const char* name;
    uint16_t vector;
    uint8_t flag_sfr;
    uint8_t flags;
    uint8_t enable;          // bit in IE and IP
    uint8_t clear_on_entry;  // flags cleared by the hardware call (edge-triggered ones: see below)
    uint8_t edge_select;     // TCON bit that makes IE0/IE1 edge-triggered, 0 for other sources
};
inline constexpr std::array kInterruptSources{
    InterruptSource{"external 0", 0x0003, sfr::kTcon, tcon::kIe0, ie::kEx0, tcon::kIe0, tcon::kIt0},
    InterruptSource{"timer 0", 0x000B, sfr::kTcon, tcon::kTf0, ie::kEt0, tcon::kTf0, 0},
    InterruptSource{"external 1", 0x0013, sfr::kTcon, tcon::kIe1, ie::kEx1, tcon::kIe1, tcon::kIt1},
    InterruptSource{"timer 1", 0x001B, sfr::kTcon, tcon::kTf1, ie::kEt1, tcon::kTf1, 0},
    InterruptSource{"serial port", 0x0023, sfr::kScon, scon::kRi | scon::kTi, ie::kEs, 0, 0},
    InterruptSource{"timer 2", 0x002B, sfr::kT2con, t2con::kTf2 | t2con::kExf2, ie::kEt2, 0, 0},
};
// The registers holding request flags, sampled together.
inline constexpr std::array kFlagRegisters{sfr::kTcon, sfr::kScon, sfr::kT2con};
using FlagSample = std::array<uint8_t, kFlagRegisters.size()>;
constexpr std::size_t FlagIndex(uint8_t address) {
    std::size_t i = 0;
    while (i < kFlagRegisters.size() && kFlagRegisters[i] != address) ++i;
    return i;
}
static_assert([] {
    for (const InterruptSource& s : kInterruptSources)
        if (FlagIndex(s.flag_sfr) == kFlagRegisters.size()) return false;
    return true;
}());
inline constexpr uint16_t kNmiVector = 0x0073;
inline constexpr unsigned kInterruptCallCycles = 2;
// Cycles from a flag being set to the boundary where its request can first be taken.
inline constexpr uint64_t kPollDelay = 1;

// Levels in progress, as bits.
inline constexpr uint8_t kLevelLow = 0x01;
inline constexpr uint8_t kLevelHigh = 0x02;
inline constexpr uint8_t kLevelNmi = 0x04;

// What the controller decided at a boundary.
struct Vectoring {
    bool take = false;
    uint16_t vector = 0;
    int source = -1;  // index in kInterruptSources, or -1 for the NMI
};

class InterruptController {
public:
    explicit InterruptController(SfrArray sfrs) : sfrs_(sfrs) {}
    void Reset() {
        in_progress_ = 0;
        hold_ = false;
    }
    // The instruction just completed delays any request by one instruction.
    void Hold() { hold_ = true; }
    bool Held() const { return hold_; }
    void Release() { hold_ = false; }
    void Reti();
    uint8_t InProgress() const { return in_progress_; }

    // The request to take now, if any, from the flags as sampled in the cycle before, and on
    // taking it clears the flags the hardware call clears and marks the level in progress.
    Vectoring Decide(bool nmi_requested, const FlagSample& sampled);
    // The flag registers as they are now.
    FlagSample Sample() const;
    // Whether any source, or the NMI, could ever request an interrupt that is taken: EA set with
    // a source enabled, or the NMI enabled.
    bool CanInterrupt(bool nmi_enabled) const;

private:
    SfrArray sfrs_;
    uint8_t in_progress_ = 0;
    bool hold_ = false;
};

}  // namespace chip
