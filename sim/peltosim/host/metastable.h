// Flash cells that a power cut left half-programmed or half-erased do not read reliably: each
// MOVC of such a byte may see the bits that were in transition as 0 or 1, a new draw per read,
// until the byte is programmed or its sector erased again. The draws come from a seed, so a run
// is reproducible from its command. The ECC shadow stays stable: its check bits are read as
// stored, so an unstable read is also an ECC error whenever it differs from them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

#include "sim/cpu/cpu.h"

namespace peltosim {

class Metastable {
public:
    explicit Metastable(sim8051::Cpu& cpu) : cpu_(cpu) {}

    // From now on the bits of `mask` of the code byte at `address` (both views of a data-flash
    // byte) read unreliably, besides those already unstable. The byte keeps its stored value
    // until its next read.
    void Mark(uint16_t address, uint8_t mask);
    // `count` bytes from `first` on were written (programmed or erased): they read as stored again.
    void Settle(uint16_t first, uint32_t count);
    // Restarts the draws from `seed` (at each power cut, from its torn seed).
    void Seed(uint64_t seed) { random_.seed(seed ^ kStream); }

    uint8_t Mask(uint16_t address) const { return masks_[address]; }
    bool Any() const { return unstable_ != 0; }
    // After a MOVC of `address` (and after the extensions checked what it read): the next read
    // sees a new draw of the byte's unstable bits.
    void AfterRead(uint16_t address) {
        if (unstable_ != 0 && masks_[address] != 0) Draw(address);
    }

private:
    // Keeps these draws apart from the torn cut's, which start from the same seed.
    static constexpr uint64_t kStream = 0x6D65'7461'7374'6162;
    void SetMask(uint16_t address, uint8_t mask);
    void Draw(uint16_t address);

    sim8051::Cpu& cpu_;
    std::array<uint8_t, sim8051::Cpu::kCodeSize> masks_{};
    std::size_t unstable_ = 0;  // bytes with a nonzero mask
    std::mt19937_64 random_;
};

}  // namespace peltosim
