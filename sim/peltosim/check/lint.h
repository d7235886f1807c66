// The flash lint (--lint): warns about firmware that misuses the flash, with the cycle, the
// program counter and the address of each mistake.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/base/json.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/run/lint_checks.h"

namespace peltosim {

struct LintFinding {
    LintId check;
    uint64_t cycle;
    uint16_t pc;
    uint16_t address;
    std::string message;
    uint64_t count = 1;  // repeats of the same mistake by the same instruction
};

// The lint takes the flash operations from the tracker (which the host must report to) and
// watches MOVC reads and MOVX writes itself.
class Lint : public Observer, public FlashListener {
public:
    // Watches the ECC shadow for MOVX writes unless that check is off.
    Lint(SimHost& host, FlashTracker& tracker, const std::vector<LintId>& off);
    void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) override;
    void TimerArmed(uint64_t, uint32_t, std::optional<uint64_t>) override {}
    void TimerExpired(uint64_t, uint32_t) override {}
    void Started(const FlashOperation& op, uint64_t due) override;
    void TimerDue(const FlashOperation& op) override;
    void CodeRead(uint64_t cycle, uint16_t address, uint16_t pc) override;
    void DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t pc) override;
    void SfrAccessed(uint64_t cycle, uint8_t address, uint32_t id, bool write, uint16_t pc) override;
    void MemoryWritten(uint64_t cycle, uint32_t address, uint32_t count) override;
    void ChipReset(uint64_t cycle, bool power_cut) override;
    // Called once when the run has ended.
    void Finish();

    const std::vector<LintFinding>& findings() const { return findings_; }
    // Each finding as a "pelto-sim: lint: ..." line, or one line saying there is none.
    void Print(std::ostream& out) const;
    // The findings as the JSON result's "lint".
    peltosim::Json Json() const;

private:
    bool On(LintId id) const { return on_[static_cast<std::size_t>(id)]; }
    // Adds a finding; with `merge`, one more of an earlier finding of the same check and PC.
    void Report(LintId id, uint64_t cycle, uint16_t pc, uint16_t address, std::string message, bool merge);

    struct EccError {
        uint64_t cycle;
        uint16_t pc;
        uint16_t address;
    };
    // An ECC error the firmware has not read NMISTAT since: a finding unless it does.
    void SettleEcc();

    SimHost* host_ = nullptr;
    const FlashTracker& tracker_;
    std::optional<EccError> unread_ecc_;
    // Shadow bytes written by a capture since the last program start (either view).
    std::vector<bool> captured_{};
    std::array<bool, kLintChecks.size()> on_{};
    std::vector<LintFinding> findings_;
};

}  // namespace peltosim
