// What a power cut leaves of a flash operation that it interrupts, when cells tear as silicon's
// do: an interrupted program has set a subset of the bits it was going to set in its block; an
// interrupted erase has cleared its sectors piece by piece, up to a subset of the bits of one
// piece (code bytes and their ECC shadow). Which subset is chosen by a variant number: the two
// extremes first, then seeded random subsets.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flash/regmap.h"
#include "flash_ops.h"
#include "metastable.h"
#include "sim_host.h"

namespace peltosim {

// The variants: kTornOneBit sets (program) or clears (erase) one bit only, kTornAllButOne all but
// one; any larger number seeds a random subset.
inline constexpr uint64_t kTornOneBit = 0;
inline constexpr uint64_t kTornAllButOne = 1;
inline constexpr uint64_t kTornFirstRandom = 2;

// "one bit", "all bits but one", "random bits, seed 5".
std::string TornVariantName(uint64_t variant);

// Added to the host's observers before the tracker: at a power cut it writes the torn result of
// the operation still running into code memory and the shadow. With `metastable`, the code bits
// that operation was changing then read unreliably (metastable.h) until written again.
class TornCut : public Observer {
public:
    // `variants`: of each power cut in turn (not empty); the last one goes on for any later cut.
    TornCut(SimHost& host, const FlashTracker& tracker, std::vector<uint64_t> variants, bool metastable = false);
    ~TornCut() override;
    TornCut(const TornCut&) = delete;
    TornCut& operator=(const TornCut&) = delete;
    void RegisterWritten(uint64_t, uint32_t, uint8_t, bool) override {}
    void TimerArmed(uint64_t, uint32_t, std::optional<uint64_t>) override {}
    void TimerExpired(uint64_t, uint32_t) override {}
    void ChipReset(uint64_t cycle, bool power_cut) override;
    void MemoryWritten(uint64_t cycle, uint32_t address, uint32_t count) override;
    // The variant of the next power cut, and of any after it.
    void SetVariant(uint64_t variant) {
        variants_.resize(cuts_ + 1);
        variants_[cuts_] = variant;
    }
    // Null without --metastable.
    const Metastable* metastable() const { return metastable_.get(); }

private:
    uint64_t Variant() const { return variants_[std::min(cuts_, variants_.size() - 1)]; }
    void TearProgram(const FlashOperation& op, uint64_t variant);
    void TearErase(const FlashOperation& op, uint64_t variant);

    SimHost& host_;
    const FlashTracker& tracker_;
    std::vector<uint64_t> variants_;
    std::size_t cuts_ = 0;  // power cuts so far
    // The extension's rows of captured bytes as it holds them: what a commit would write.
    std::array<std::array<uint8_t, flash::kCaptureRowSize>, flash::kBankCount> rows_{};
    std::unique_ptr<Metastable> metastable_;
};

}  // namespace peltosim
