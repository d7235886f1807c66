// Flash operation sequencer.
//
// One handler serves the write watches of the eight bank controls and FCMD and the flash timer.
// It tells these apart by the host's last memory address alone (bits 11..0): a control write is
// a mode request, an FCMD write a start or an abort, anything else a timer expiry. Which timed
// phase has ended follows from the cycles elapsed since the operation start time, compared for
// exact equality with the duration of the phase the timer is armed for: once it is cancelled or
// has ended, nothing ends, and no phase ends at another phase's duration.
//
// Commits act on the first control (in control-table order) in program or erase mode: a program
// commit writes the bank's capture row at the write block of its last captured address (both
// views for DFLASH); an erase commit clears the selected sectors in code and in the ECC shadow.
// Not modelled: the timing registers, verify, margin effects on reads.
#pragma once

#include <optional>

#include "services/services.h"
#include "state.h"

namespace flash {

// The mode value a control takes for a written value, or nothing when the request is refused.
std::optional<uint8_t> ClassifyRequest(uint8_t value);

void RunSequencer(FlashState& state, const host::Services& host);

}  // namespace flash
