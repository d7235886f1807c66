// One up-counter of a timer, evaluated lazily: it holds its value at a base time and computes
// every later value, overflow count and overflow time from that, so that nothing is ticked per
// cycle. Time is in states (kStatesPerCycle per machine cycle); the counter advances by one every
// `states_per_count` states while it runs, and after passing `modulus - 1` it starts again from
// `reload` (0 for a counter that simply wraps).
#pragma once

#include <cstdint>

#include "regs.h"

namespace chip {

struct Counter {
    uint32_t value = 0;
    uint64_t base = 0;  // state time at which `value` held
    bool running = false;
    uint32_t modulus = 0x10000;
    uint32_t reload = 0;
    uint64_t states_per_count = kStatesPerCycle;

    uint64_t Period() const { return modulus - reload; }

    // Overflows in (base, t] and the value at t, without changing the counter.
    uint64_t OverflowsUntil(uint64_t t, uint32_t* value_at = nullptr) const {
        uint64_t counts = running && t > base ? (t - base) / states_per_count : 0;
        const uint64_t first_gap = modulus - value;
        if (counts < first_gap) {
            if (value_at) *value_at = static_cast<uint32_t>(value + counts);
            return 0;
        }
        counts -= first_gap;
        const uint64_t period = Period();
        if (value_at) *value_at = static_cast<uint32_t>(reload + counts % period);
        return 1 + counts / period;
    }

    // Brings the counter to time t; returns the overflows on the way.
    uint64_t Advance(uint64_t t) {
        uint32_t now_value = value;
        const uint64_t overflows = OverflowsUntil(t, &now_value);
        // Keeps the base on the counting grid, so that a partly counted period is not lost.
        if (running && t > base) base += (t - base) / states_per_count * states_per_count;
        value = now_value;
        return overflows;
    }

    // State time of the n-th overflow after `base` (n >= 1), or kNever.
    uint64_t NthOverflow(uint64_t n) const {
        if (!running || n == 0) return kNever;
        return base + states_per_count * ((modulus - value) + (n - 1) * Period());
    }

    // Starts or stops counting at time t (brought up to t first).
    uint64_t SetRunning(uint64_t t, bool on) {
        const uint64_t overflows = Advance(t);
        if (on && !running) base = t;
        running = on;
        return overflows;
    }
};

// The machine cycle in which a state time falls due: the first cycle boundary at or after it.
constexpr uint64_t CycleOfState(uint64_t state) {
    return state == kNever ? kNever : (state + kStatesPerCycle - 1) / kStatesPerCycle;
}

}  // namespace chip
