#include "sim/peltosim/check/lint.h"

#include <cstdio>

#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/out/report.h"

namespace peltosim {
namespace {

// Erased flash reads this value.
constexpr uint8_t kErasedByte = 0x00;

uint16_t FirstAddress(const FlashOperation& op) {
    if (op.kind == OpKind::kProgram) return op.block;
    const flash::Bank& bank = flash::kBanks[op.bank];
    for (unsigned s = 0; s < SectorCount(bank); ++s)
        if (op.sectors >> s & 1u) return SectorStart(bank, s);
    return bank.base;
}

}  // namespace

Lint::Lint(SimHost& host, FlashTracker& tracker, const std::vector<LintId>& off) : host_(&host), tracker_(tracker) {
    on_.fill(true);
    tracker.AddListener(this);
    for (const LintId id : off) on_[static_cast<std::size_t>(id)] = false;
    if (On(LintId::kShadowWrite))
        for (const auto& range : flash::kWatchedCode)
            host.ObserveData(sim8051::DataSpace::kXdata, range.first, range.last, sim8051::kWatchWrite);
}

void Lint::Report(LintId id, uint64_t cycle, uint16_t pc, uint16_t address, std::string message, bool merge) {
    if (!On(id)) return;
    if (merge)
        for (auto& f : findings_)
            if (f.check == id && f.pc == pc) {
                ++f.count;
                return;
            }
    findings_.push_back({id, cycle, pc, address, std::move(message)});
}

void Lint::Started(const FlashOperation& op, uint64_t) {
    if (op.kind != OpKind::kProgram) return;
    const uint16_t block_size = flash::kBanks[op.bank].write_block;
    if (op.first_captured && (*op.first_captured & (block_size - 1u)) != 0)
        Report(LintId::kUnaligned, op.start, op.start_pc, *op.first_captured,
               Describe(op) + ": the first byte captured was " + Hex(*op.first_captured, 4) + ", not the block's start", false);
    if (op.captured_bytes < block_size)
        Report(LintId::kShortCapture, op.start, op.start_pc, op.block,
               Describe(op) + " with " + std::to_string(op.captured_bytes) + " of " + std::to_string(block_size) +
                   " bytes captured since the last program operation",
               false);
}

void Lint::TimerDue(const FlashOperation& op) {
    if (op.kind != OpKind::kProgram) return;
    // The commit follows: the block still holds what the program writes over.
    const auto code = host_->cpu().Code();
    const uint16_t block_size = flash::kBanks[op.bank].write_block;
    for (uint16_t i = 0; i < block_size; ++i) {
        const auto address = static_cast<uint16_t>(op.block + i);
        if (code[address] == kErasedByte) continue;
        Report(LintId::kNotErased, op.start, op.start_pc, address,
               Describe(op) + " over bytes that were not erased (" + Hex(address, 4) + " held " + Hex(code[address], 2) + ")", false);
        return;
    }
}

void Lint::CodeRead(uint64_t cycle, uint16_t address, uint16_t pc) {
    const FlashOperation* op = tracker_.Running();
    if (op == nullptr || !op->Touches(address)) return;
    Report(LintId::kReadDuringOperation, cycle, pc, address, "MOVC read of " + Hex(address, 4) + " during the " + Describe(*op, cycle),
           true);
}

void Lint::DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t pc) {
    if (space != sim8051::DataSpace::kXdata || !write) return;
    for (const auto& range : flash::kWatchedCode)
        if (address >= range.first && address <= range.last) {
            Report(LintId::kShadowWrite, cycle, pc, address,
                   "MOVX write of " + Hex(address, 4) + ", which holds the ECC check bits of the flash byte there", true);
            return;
        }
}

void Lint::Finish() {
    if (const FlashOperation* op = tracker_.Running())
        Report(LintId::kRunningAtEnd, op->start, op->start_pc, FirstAddress(*op),
               Describe(*op, host_->cpu().Cycles()) + " started at cycle " + std::to_string(op->start) + " was still running", false);
}

void Lint::Print(std::ostream& out) const {
    for (const auto& f : findings_) {
        out << "pelto-sim: lint: " << kLintChecks[static_cast<std::size_t>(f.check)].name << ": cycle " << f.cycle << " pc "
            << Hex(f.pc, 4) << " address " << Hex(f.address, 4) << ": " << f.message;
        if (f.count > 1) out << " (" << f.count << " times)";
        out << '\n';
    }
}

Json Lint::Json() const {
    peltosim::Json list = peltosim::Json::array();
    for (const auto& f : findings_)
        list.push_back({{"name", kLintChecks[static_cast<std::size_t>(f.check)].name},
                        {"cycle", f.cycle},
                        {"pc", f.pc},
                        {"address", f.address},
                        {"count", f.count},
                        {"message", JsonText(f.message)}});
    return list;
}

}  // namespace peltosim
