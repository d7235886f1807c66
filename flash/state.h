// State of the flash model: one instance, owned by the extension, zeroed at start-up.
#pragma once

#include <array>
#include <cstdint>

#include "regmap.h"

namespace flash {

struct FlashState {
    uint32_t timer = 0;                  // the one flash timer
    uint64_t start_time = kNoStartTime;  // start of the current timed phase
    uint64_t armed_for = 0;              // duration the timer is armed for; 0 while it is not
    std::array<uint8_t, kEraseFillSize> erase_fill{};
    // Bytes captured for programming, one row per bank; a DFLASH row uses its first 32 bytes.
    std::array<std::array<uint8_t, kCaptureRowSize>, kBankCount> capture{};
    std::array<uint32_t, kBankCount> last_captured{};
    // Whether the bank's row holds a captured byte at all; a commit without one writes nothing.
    std::array<bool, kBankCount> captured{};
    // The sequencer is running: a host that runs watches for the extension's own writes (which
    // it must not) calls it again from inside, and that call does nothing.
    bool sequencing = false;

    // The buffers as start-up leaves them; the timer handle and start time are set elsewhere.
    void ClearBuffers() {
        erase_fill = {};
        capture = {};
        last_captured = {};
        captured = {};
    }
};

}  // namespace flash
