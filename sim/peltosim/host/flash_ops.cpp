#include "sim/peltosim/host/flash_ops.h"

#include <bit>
#include <cstdio>

#include "pelto/pelto.h"
#include "sim/peltosim/base/numbers.h"

namespace peltosim {
namespace {

using flash::kBanks;

constexpr uint32_t kSpaceMask = PELTO_SPACE_MASK;
constexpr uint32_t kOffsetMask = 0xFFFF;
constexpr unsigned kDataSectorCount = flash::kDataSectors.size();
constexpr unsigned kPairSectorCount = flash::kPairSectors.size();
static_assert(flash::kCaptureRowSize <= 64, "a capture's offsets are one 64-bit mask");

}  // namespace

unsigned SectorCount(const flash::Bank& bank) { return bank.IsData() ? kDataSectorCount : kPairSectorCount; }

uint16_t SectorStart(const flash::Bank& bank, unsigned sector) {
    return static_cast<uint16_t>(bank.base + (bank.IsData() ? flash::kDataSectors[sector].offset : flash::kPairSectors[sector].offset));
}

namespace {

std::optional<int> BankAt(uint16_t address) { return flash::BankOfAddress(address); }

// "sector 8", "sectors 8-9", "sectors 0, 2".
std::string SectorList(uint16_t sectors) {
    std::string list;
    unsigned count = 0;
    for (unsigned s = 0; s < 16; ++s) {
        if (!(sectors >> s & 1u)) continue;
        unsigned last = s;
        while (last + 1 < 16 && (sectors >> (last + 1) & 1u)) ++last;
        if (!list.empty()) list += ", ";
        list += std::to_string(s);
        if (last > s) {
            list += '-';
            list += std::to_string(last);
        }
        count += last - s + 1;
        s = last;
    }
    return (count == 1 ? "sector " : "sectors ") + list;
}

}  // namespace

// ---- operations ----

bool FlashOperation::Touches(uint16_t address) const {
    const auto at = BankAt(address);
    if (!at || *at != bank) return false;
    const flash::Bank& b = kBanks[bank];
    const uint16_t primary = flash::PrimaryView(b, address);
    if (kind == OpKind::kProgram) return (primary & ~(b.write_block - 1u)) == block;
    const auto offset = static_cast<uint16_t>(primary & (b.size - 1u));
    if (b.IsData()) {
        for (unsigned s = 0; s < kDataSectorCount; ++s)
            if ((sectors >> s & 1u) && offset >= flash::kDataSectors[s].offset &&
                offset < flash::kDataSectors[s].offset + flash::kDataSectors[s].size)
                return true;
        return false;
    }
    for (unsigned s = 0; s < kPairSectorCount; ++s)
        if ((sectors >> s & 1u) && offset >= flash::kPairSectors[s].offset &&
            offset < flash::kPairSectors[s].offset + flash::kPairSectors[s].size)
            return true;
    return false;
}

std::string Describe(const FlashOperation& op, std::optional<uint64_t> cycle) {
    if (op.kind == OpKind::kProgram) return "program of block " + Hex(op.block, 4);
    std::string s = "erase of ";
    s += kBanks[op.bank].name;
    s += ' ';
    s += SectorList(op.sectors);
    if (cycle) s += op.second_phase && *cycle >= *op.second_phase ? " in phase 2" : " in phase 1";
    return s;
}

const char* OutcomeName(OpEnd end) {
    switch (end) {
    case OpEnd::kRunning: return "still running at the end";
    case OpEnd::kCompleted: return "completed";
    case OpEnd::kAborted: return "aborted";
    case OpEnd::kRestarted: return "restarted by a later start";
    case OpEnd::kReset: return "cut off by a reset";
    }
    return "unknown";
}

// ---- FlashTracker ----

uint8_t FlashTracker::Register(flash::Reg reg) const {
    const auto v = host_.sfrs().Read(flash::Id(reg));
    return v ? static_cast<uint8_t>(v->current) : 0;
}

std::optional<int> FlashTracker::BankInMode(uint8_t mode) const {
    // The first control in table order leads, as the flash model decides.
    for (int c = 0; c < flash::kControlCount; ++c)
        if (Register(flash::kControls[c]) & mode) return flash::BankOfControl(c);
    return std::nullopt;
}

const FlashOperation* FlashTracker::Running() const {
    if (operations_.empty() || operations_.back().end) return nullptr;
    return &operations_.back();
}

const FlashOperation* FlashTracker::At(uint64_t cycle) const {
    for (const auto& op : operations_)
        if (op.Covers(cycle)) return &op;
    return nullptr;
}

void FlashTracker::End(uint64_t cycle, OpEnd outcome) {
    if (operations_.empty() || operations_.back().end) return;
    operations_.back().end = cycle;
    operations_.back().outcome = outcome;
    due_.reset();
    for (auto* l : listeners_) l->Ended(operations_.back());
}

void FlashTracker::Start(uint64_t cycle, OpKind kind, uint64_t due) {
    const auto bank = BankInMode(kind == OpKind::kProgram ? flash::kModeProgram : flash::kModeErase);
    if (!bank) return;
    End(cycle, OpEnd::kRestarted);
    FlashOperation op;
    op.kind = kind;
    op.bank = *bank;
    op.start = cycle;
    op.start_pc = static_cast<uint16_t>(host_.cpu().Pc());
    const flash::Bank& b = kBanks[*bank];
    if (kind == OpKind::kProgram) {
        Capture& c = captures_[*bank];
        op.block = static_cast<uint16_t>(c.last.value_or(b.base) & ~(b.write_block - 1u));
        op.block_captured = c.last.has_value();
        op.first_captured = c.first;
        op.captured_bytes = static_cast<unsigned>(std::popcount(c.offsets));
        // The extension keeps its last row: a program with nothing new captured writes it again.
        c = {std::nullopt, c.last, 0};
    } else {
        op.sectors = Register(b.select_low);
        if (b.select_high) op.sectors |= static_cast<uint16_t>(Register(*b.select_high) << flash::kDataSectorsInLowSelect);
        op.sectors &= static_cast<uint16_t>((1u << SectorCount(b)) - 1u);  // select bits that name no sector
    }
    operations_.push_back(op);
    for (auto* l : listeners_) l->Started(operations_.back(), due);
}

void FlashTracker::TimerArmed(uint64_t cycle, uint32_t, std::optional<uint64_t> due) {
    if (!due) {
        // Disarmed: by the commit that the expiry runs, or an abort.
        if (Running()) End(cycle, Committing(cycle) ? OpEnd::kCompleted : OpEnd::kAborted);
        return;
    }
    const uint64_t length = *due - cycle;
    if (length == flash::kEraseSecondPhaseCycles && Committing(cycle) && Running() && Running()->kind == OpKind::kErase) {
        operations_.back().second_phase = cycle;
        due_ = due;
        for (auto* l : listeners_) l->SecondPhase(operations_.back(), *due);
        return;
    }
    if (length == flash::kProgramCycles) Start(cycle, OpKind::kProgram, *due);
    else if (length == flash::kEraseFirstPhaseCycles) Start(cycle, OpKind::kErase, *due);
    else return;
    due_ = due;
}

void FlashTracker::TimerExpired(uint64_t cycle, uint32_t) {
    // The expiry's callback follows at once; anything it disarms or re-arms belongs to it.
    if (!due_ || *due_ != cycle) return;
    expired_at_ = cycle;
    if (const FlashOperation* op = Running())
        for (auto* l : listeners_) l->TimerDue(*op);
}

void FlashTracker::ChipReset(uint64_t cycle, bool) {
    expired_at_.reset();
    End(cycle, OpEnd::kReset);
    captures_ = {};
}

void FlashTracker::MemoryWritten(uint64_t cycle, uint32_t address, uint32_t count) {
    const uint32_t space = address & kSpaceMask;
    if (space != PELTO_SPACE_CODE && space != PELTO_SPACE_XDATA) return;
    changes_.push_back(cycle);
    // A single shadow byte is a captured byte's check bits; erases clear whole pieces.
    const auto offset = static_cast<uint16_t>(address & kOffsetMask);
    const auto bank = BankAt(offset);
    if (space != PELTO_SPACE_XDATA || count != 1 || !bank) return;
    const flash::Bank& b = kBanks[*bank];
    Capture& c = captures_[*bank];
    const uint16_t primary = flash::PrimaryView(b, offset);
    if (!c.first) c.first = primary;
    c.last = primary;
    c.offsets |= uint64_t{1} << (primary & (b.write_block - 1u));
}

void FlashTracker::DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t) {
    if (!write || space != sim8051::DataSpace::kXdata) return;
    for (const auto& range : flash::kWatchedCode)
        if (address >= range.first && address <= range.last) {
            changes_.push_back(cycle);
            return;
        }
}

}  // namespace peltosim
