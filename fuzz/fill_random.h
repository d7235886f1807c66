// Pseudo-random bytes (splitmix64) for the memories an input does not spell out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace fuzz {

// The harness's own work, not code under test: no coverage feedback (clang's fuzzing builds).
#if defined(__clang__)
#define FUZZ_HARNESS_ONLY __attribute__((noinline, no_sanitize("coverage")))
#else
#define FUZZ_HARNESS_ONLY __attribute__((noinline))
#endif

// Fills `memory` eight bytes per step and returns the advanced state.
FUZZ_HARNESS_ONLY inline uint64_t FillRandom(std::span<uint8_t> memory, uint64_t state) {
    constexpr uint64_t kIncrement = 0x9E3779B97F4A7C15;
    constexpr uint64_t kMultiplier1 = 0xBF58476D1CE4E5B9;
    constexpr uint64_t kMultiplier2 = 0x94D049BB133111EB;
    constexpr unsigned kShift1 = 30, kShift2 = 27, kShift3 = 31;
    for (std::size_t i = 0; i < memory.size(); i += sizeof(uint64_t)) {
        uint64_t z = (state += kIncrement);
        z = (z ^ (z >> kShift1)) * kMultiplier1;
        z = (z ^ (z >> kShift2)) * kMultiplier2;
        z ^= z >> kShift3;
        std::memcpy(memory.data() + i, &z, std::min(sizeof z, memory.size() - i));
    }
    return state;
}

}  // namespace fuzz
