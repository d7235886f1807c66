#include "sim/peltosim/check/lint.h"

#include <cstdio>

#include "flash/rom/images.h"
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

bool InRom(uint16_t pc) {
    for (const auto& image : flash::rom::kImageLayout)
        if (pc >= image.address && pc < image.address + image.size) return true;
    return false;
}

// A register this host models at an identifier: the flash's and NMICON.
bool KnownRegister(uint32_t id) {
    if (id == kNmiconId) return true;
    for (const auto& r : flash::kRegisters)
        if (r.id == id) return true;
    return false;
}

}  // namespace

Lint::Lint(SimHost& host, FlashTracker& tracker, const std::vector<LintId>& off)
    : host_(&host), tracker_(tracker), captured_(sim8051::Cpu::kXramSize) {
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

void Lint::SfrAccessed(uint64_t cycle, uint8_t address, uint32_t id, bool write, uint16_t pc) {
    if (!write && id == flash::Id(flash::Reg::NMISTAT)) unread_ecc_.reset();
    // The ROM routines use page locations of their own; the lint is about the firmware.
    if (KnownRegister(id) || InRom(pc)) return;
    const bool mapped = host_->cpu().Sfr(kMapBitSfr) & kMapBit;
    Report(LintId::kSfrUnmapped, cycle, pc, address,
           std::string(write ? "write" : "read") + " of SFR " + Hex(address, 2) + " reaches " + Hex(id, 8) +
               ", where no register is (map bit " + (mapped ? "set" : "clear") + ")",
           true);
}

void Lint::RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) {
    if (by_program || id != flash::Id(flash::Reg::NMISTAT) || !(value & flash::kNmiEccError) || unread_ecc_) return;
    const uint32_t last = host_->GetLastMemoryAddress();
    unread_ecc_ = EccError{cycle, static_cast<uint16_t>(host_->GetProgramCounter()), static_cast<uint16_t>(last & flash::kAddressBits)};
}

void Lint::SettleEcc() {
    if (!unread_ecc_) return;
    Report(LintId::kEccUnread, unread_ecc_->cycle, unread_ecc_->pc, unread_ecc_->address,
           "ECC error on the MOVC read of " + Hex(unread_ecc_->address, 4) + " (NMISTAT bit 6) that the firmware never read", false);
    unread_ecc_.reset();
}

void Lint::MemoryWritten(uint64_t, uint32_t address, uint32_t count) {
    // A capture writes one shadow byte: stale if it holds check bits over an erased byte that
    // nothing since the last program start captured, as a program cut off leaves them.
    if ((address & PELTO_SPACE_MASK) != PELTO_SPACE_XDATA || count != 1) return;
    const auto offset = static_cast<uint16_t>(address & flash::kAddressBits);
    if (!flash::BankOfAddress(offset)) return;
    const uint8_t shadow = host_->cpu().Xram()[offset];
    const bool stale = (shadow & flash::kEccValid) != 0 && host_->cpu().Code()[offset] == kErasedByte && !captured_[offset];
    captured_[offset] = true;
    if (stale)
        Report(LintId::kStaleCheckBits, host_->cpu().Cycles(), static_cast<uint16_t>(host_->GetProgramCounter()), offset,
               "byte " + Hex(offset, 4) + " captured over check bits " + Hex(shadow, 2) +
                   " left by a program that never committed (the byte reads as erased)",
               true);
}

void Lint::ChipReset(uint64_t, bool) {
    SettleEcc();
    captured_.assign(captured_.size(), false);
}

void Lint::Started(const FlashOperation& op, uint64_t) {
    captured_.assign(captured_.size(), false);
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
    SettleEcc();
    if (const FlashOperation* op = tracker_.Running())
        Report(LintId::kRunningAtEnd, op->start, op->start_pc, FirstAddress(*op),
               Describe(*op, host_->cpu().Cycles()) + " started at cycle " + std::to_string(op->start) + " was still running", false);
}

void Lint::Print(std::ostream& out) const {
    if (findings_.empty()) {
        std::size_t on = 0;
        for (const bool b : on_) on += b ? 1 : 0;
        out << "pelto-sim: lint: no findings (" << on << " of " << kLintChecks.size() << " checks on)\n";
    }
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
