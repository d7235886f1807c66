// What the flash did during a run, as the host sees it: the operations with their start, phases
// and end, the bytes captured for programming, and every change of persistent state (code
// memory and the ECC shadow). FlashTracker is the one place that works the operations out from
// the extension's service calls; the trace, the lint, the power-loss sweep and its report take
// them from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash/regmap.h"
#include "sim/peltosim/host/sim_host.h"

namespace peltosim {

enum class OpKind : uint8_t { kProgram, kErase };
enum class OpEnd : uint8_t { kRunning, kCompleted, kAborted, kRestarted, kReset };

struct FlashOperation {
    OpKind kind = OpKind::kProgram;
    int bank = 0;           // index into flash::kBanks
    uint16_t block = 0;     // program: first address of the write block (primary view)
    uint16_t sectors = 0;   // erase: bit n selects sector n of the bank
    uint64_t start = 0;     // the cycle of the instruction that started it
    std::optional<uint64_t> second_phase;  // erase: the cycle the second phase began
    std::optional<uint64_t> end;           // the cycle it committed, was aborted or cut off
    OpEnd outcome = OpEnd::kRunning;
    uint16_t start_pc = 0;
    // Program: what was captured for the bank since its last program operation, and whether
    // anything was since the last reset (else `block` is the bank's first).
    std::optional<uint16_t> first_captured;
    unsigned captured_bytes = 0;
    bool block_captured = false;
    // A power cut at `cycle` (at the first instruction boundary at or after it) falls inside.
    // An instruction that starts or aborts an operation at count c is undone by a cut at c; an
    // expiry due at c runs before a reset at the same boundary, so a cut at c finds it done.
    bool Covers(uint64_t cycle) const {
        return start < cycle && (!end || (outcome == OpEnd::kCompleted ? cycle < *end : cycle <= *end));
    }
    // Whether a code address reads bytes this operation changes (either view of a DFLASH bank).
    bool Touches(uint16_t address) const;
};

// "program of block 0xAF40", "erase of DFLASH 0 sectors 8-9 in phase 2" (the phase at `cycle`).
std::string Describe(const FlashOperation& op, std::optional<uint64_t> cycle = std::nullopt);
const char* OutcomeName(OpEnd end);
unsigned SectorCount(const flash::Bank& bank);
// The first address of a sector (primary view).
uint16_t SectorStart(const flash::Bank& bank, unsigned sector);

// What FlashTracker finds, as it finds it.
class FlashListener {
public:
    virtual ~FlashListener() = default;
    // An operation started; its timer is due at `due`.
    virtual void Started(const FlashOperation& /*op*/, uint64_t /*due*/) {}
    // An erase's second phase began; it is due at `due`.
    virtual void SecondPhase(const FlashOperation& /*op*/, uint64_t /*due*/) {}
    // The running operation's timer fired; the extension acts on it next (a program's commit, an
    // erase's phase change or commit), so the flash still holds what the operation changes.
    virtual void TimerDue(const FlashOperation& /*op*/) {}
    // The operation ended: `end` and `outcome` say when and how.
    virtual void Ended(const FlashOperation& /*op*/) {}
};

class FlashTracker : public Observer {
public:
    explicit FlashTracker(const SimHost& host) : host_(host) {}
    // Listeners are told in the order they were added.
    void AddListener(FlashListener* listener) { listeners_.push_back(listener); }
    void RegisterWritten(uint64_t, uint32_t, uint8_t, bool) override {}
    void TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) override;
    void TimerExpired(uint64_t cycle, uint32_t timer) override;
    void ChipReset(uint64_t cycle, bool power_cut) override;
    void MemoryWritten(uint64_t cycle, uint32_t address, uint32_t count) override;
    // A program's MOVX write into the ECC shadow: kept by a power cut, so a persistent change.
    void DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t pc) override;

    const std::vector<FlashOperation>& operations() const { return operations_; }
    // The cycles at which code memory or the ECC shadow changed (by the extension or by the
    // program's writes of shadow bytes that the host watches), ascending, with repeats.
    const std::vector<uint64_t>& changes() const { return changes_; }
    // The operation running now, if any.
    const FlashOperation* Running() const;
    // The operation that a power cut at `cycle` interrupts, if any.
    const FlashOperation* At(uint64_t cycle) const;

private:
    struct Capture {
        std::optional<uint16_t> first;
        std::optional<uint16_t> last;
        uint64_t offsets = 0;  // bit n: offset n of the write block captured
    };
    void Start(uint64_t cycle, OpKind kind, uint64_t due);
    void End(uint64_t cycle, OpEnd outcome);
    uint8_t Register(flash::Reg reg) const;
    std::optional<int> BankInMode(uint8_t mode) const;
    // Inside the callback of the running operation's timer.
    bool Committing(uint64_t cycle) const { return expired_at_ == cycle; }

    const SimHost& host_;
    std::vector<FlashListener*> listeners_;
    std::vector<FlashOperation> operations_;
    std::vector<uint64_t> changes_;
    std::array<Capture, flash::kBankCount> captures_{};
    std::optional<uint64_t> due_;  // when the running operation's timer fires
    std::optional<uint64_t> expired_at_;  // the cycle the running operation's timer last fired
};

}  // namespace peltosim
