#include "torn.h"

#include <algorithm>
#include <random>
#include <span>
#include <vector>

namespace peltosim {
namespace {

// One bit of a byte in code memory or the shadow, in the order the cells are written.
struct Cell {
    uint8_t* byte;
    uint8_t mask;
};

// Each cell with an even chance, from a seed.
std::vector<Cell> ChooseRandom(const std::vector<Cell>& cells, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<Cell> kept;
    for (const Cell& c : cells)
        if (random() & 1u) kept.push_back(c);
    return kept;
}

// Keeps the cells the variant lets through (the rest are dropped) and returns them.
std::vector<Cell> Choose(std::vector<Cell> cells, uint64_t variant) {
    if (cells.empty()) return cells;
    switch (variant) {
    case kTornOneBit: cells.resize(1); return cells;
    case kTornAllButOne: cells.pop_back(); return cells;
    default: return ChooseRandom(cells, variant);
    }
}

void BitsOf(uint8_t* byte, uint8_t bits, std::vector<Cell>& out) {
    for (uint8_t mask = 1; mask != 0; mask = static_cast<uint8_t>(mask << 1))
        if (bits & mask) out.push_back({byte, mask});
}

// The code cells a tear chose from were in transition at the cut: they read unreliably now
// (the shadow's cells among them stay stable).
void MarkUnstable(Metastable* metastable, std::span<uint8_t> code, const std::vector<Cell>& cells) {
    if (metastable == nullptr) return;
    for (const Cell& c : cells)
        if (c.byte >= code.data() && c.byte < code.data() + code.size())
            metastable->Mark(static_cast<uint16_t>(c.byte - code.data()), c.mask);
}

}  // namespace

std::string TornVariantName(uint64_t variant) {
    switch (variant) {
    case kTornOneBit: return "one bit";
    case kTornAllButOne: return "all bits but one";
    default: return "random bits, seed " + std::to_string(variant);
    }
}

TornCut::TornCut(SimHost& host, const FlashTracker& tracker, std::vector<uint64_t> variants, bool metastable)
    : host_(host), tracker_(tracker), variants_(std::move(variants)) {
    if (!metastable) return;
    metastable_ = std::make_unique<Metastable>(host_.cpu());
    host_.SetMetastable(metastable_.get());
}

TornCut::~TornCut() {
    if (metastable_) host_.SetMetastable(nullptr);
}

void TornCut::MemoryWritten(uint64_t, uint32_t address, uint32_t count) {
    // A program's commit or an erase's piece: those code bytes read as written from now on.
    if ((address & PELTO_SPACE_MASK) == PELTO_SPACE_CODE) {
        if (metastable_) metastable_->Settle(static_cast<uint16_t>(address), count);
        return;
    }
    // A single shadow byte is written when a byte is captured: FDATA holds the captured value.
    if ((address & PELTO_SPACE_MASK) != PELTO_SPACE_XDATA || count != 1) return;
    const auto offset = static_cast<uint16_t>(address);
    const auto bank = flash::BankOfAddress(offset);
    const auto fdata = host_.sfrs().Read(flash::Id(flash::Reg::FDATA));
    if (!bank || !fdata) return;
    rows_[*bank][offset & (flash::kBanks[*bank].write_block - 1u)] = fdata->current;
}

void TornCut::ChipReset(uint64_t, bool power_cut) {
    if (!power_cut) return;
    // Every cut restarts the unstable reads from its seed, so its command reproduces them.
    if (metastable_) metastable_->Seed(Variant());
    if (const FlashOperation* op = tracker_.Running()) {
        if (op->kind == OpKind::kProgram) TearProgram(*op, Variant());
        else TearErase(*op, Variant());
    }
    ++cuts_;
    rows_ = {};
}

void TornCut::TearProgram(const FlashOperation& op, uint64_t variant) {
    const flash::Bank& bank = flash::kBanks[op.bank];
    auto code = host_.cpu().Code();
    std::vector<Cell> cells;
    for (uint16_t i = 0; i < bank.write_block; ++i) {
        uint8_t& byte = code[op.block + i];
        BitsOf(&byte, static_cast<uint8_t>(rows_[op.bank][i] & ~byte), cells);
    }
    for (const Cell& c : Choose(cells, variant)) *c.byte |= c.mask;
    MarkUnstable(metastable_.get(), code, cells);
    if (bank.IsData())
        for (uint16_t i = 0; i < bank.write_block; ++i) code[flash::OtherView(bank, op.block + i)] = code[op.block + i];
}

void TornCut::TearErase(const FlashOperation& op, uint64_t variant) {
    const flash::Bank& bank = flash::kBanks[op.bank];
    const std::span<const flash::Sector> sectors =
        bank.IsData() ? std::span<const flash::Sector>(flash::kDataSectors) : std::span<const flash::Sector>(flash::kPairSectors);
    auto code = host_.cpu().Code();
    auto shadow = host_.cpu().Xram();
    // The pieces the erase clears one after the other: [first, first + size) of the primary view.
    struct Piece {
        uint16_t first;
        uint16_t size;
    };
    std::vector<Piece> pieces;
    for (std::size_t s = 0; s < sectors.size(); ++s) {
        if (!(op.sectors >> s & 1u)) continue;
        const uint16_t piece = static_cast<uint16_t>(std::min<std::size_t>(sectors[s].size, flash::kEraseFillSize));
        for (uint16_t at = 0; at < sectors[s].size; at += piece)
            pieces.push_back({static_cast<uint16_t>(bank.base + sectors[s].offset + at), piece});
    }
    auto cells_of = [&](const Piece& p, bool with_shadow) {
        std::vector<Cell> cells;
        for (uint16_t a = p.first; a < p.first + p.size; ++a) {
            BitsOf(&code[a], code[a], cells);
            if (with_shadow) BitsOf(&shadow[a], shadow[a], cells);
        }
        return cells;
    };
    auto clear = [](const std::vector<Cell>& cells) {
        for (const Cell& c : cells) *c.byte = static_cast<uint8_t>(*c.byte & ~c.mask);
    };
    if (variant == kTornOneBit || variant == kTornAllButOne) {
        // The extremes over the code bits of all the sectors; the shadow goes with all but one.
        std::vector<Cell> cells;
        for (const Piece& p : pieces) {
            auto more = cells_of(p, false);
            cells.insert(cells.end(), more.begin(), more.end());
        }
        clear(Choose(cells, variant));
        MarkUnstable(metastable_.get(), code, cells);
        if (variant == kTornAllButOne)
            for (const Piece& p : pieces) std::fill_n(shadow.begin() + p.first, p.size, uint8_t{0});
    } else if (!pieces.empty()) {
        std::mt19937_64 random(variant);
        const auto done = static_cast<std::size_t>(random() % pieces.size());
        for (std::size_t i = 0; i < done; ++i) {
            clear(cells_of(pieces[i], true));
            if (metastable_) metastable_->Settle(pieces[i].first, pieces[i].size);
        }
        const auto cells = cells_of(pieces[done], true);
        clear(ChooseRandom(cells, random()));
        MarkUnstable(metastable_.get(), code, cells);
    }
    if (bank.IsData())
        for (const Piece& p : pieces)
            for (uint16_t a = p.first; a < p.first + p.size; ++a) {
                code[flash::OtherView(bank, a)] = code[a];
                shadow[flash::OtherView(bank, a)] = shadow[a];
            }
}

}  // namespace peltosim
