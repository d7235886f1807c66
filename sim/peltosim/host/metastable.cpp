#include "sim/peltosim/host/metastable.h"

#include <optional>

#include "flash/regmap.h"

namespace peltosim {
namespace {

// The other address of the same data-flash byte, if it has one.
std::optional<uint16_t> SecondAddress(uint16_t address) {
    const auto bank = flash::BankOfAddress(address);
    if (!bank || !flash::kBanks[*bank].IsData()) return std::nullopt;
    return flash::OtherView(flash::kBanks[*bank], address);
}

}  // namespace

void Metastable::SetMask(uint16_t address, uint8_t mask) {
    uint8_t& m = masks_[address];
    if (m == 0 && mask != 0) ++unstable_;
    if (m != 0 && mask == 0) --unstable_;
    m = mask;
    // The host hears of MOVC reads only of watched bytes.
    if (mask != 0) cpu_.WatchMovc(address, address, true);
}

void Metastable::Mark(uint16_t address, uint8_t mask) {
    SetMask(address, static_cast<uint8_t>(masks_[address] | mask));
    if (const auto other = SecondAddress(address)) SetMask(*other, static_cast<uint8_t>(masks_[*other] | mask));
}

void Metastable::Settle(uint16_t first, uint32_t count) {
    if (unstable_ == 0) return;
    for (uint32_t i = 0; i < count && first + i < sim8051::Cpu::kCodeSize; ++i) {
        const auto address = static_cast<uint16_t>(first + i);
        SetMask(address, 0);
        if (const auto other = SecondAddress(address)) SetMask(*other, 0);
    }
}

void Metastable::Draw(uint16_t address) {
    const uint8_t mask = masks_[address];
    auto code = cpu_.Code();
    const auto value = static_cast<uint8_t>((code[address] & ~mask) | (random_() & mask));
    code[address] = value;
    // Both views are one cell: they read alike until the next read of either.
    if (const auto other = SecondAddress(address)) code[*other] = value;
}

}  // namespace peltosim
