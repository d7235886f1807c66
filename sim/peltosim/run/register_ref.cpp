#include "sim/peltosim/run/register_ref.h"

#include <cctype>
#include <limits>

#include "flash/regmap.h"
#include "sim/peltosim/base/numbers.h"
#include "sim/chip/regs.h"
#include "sim/peltosim/host/sfr_model.h"

namespace peltosim {
namespace {

constexpr uint32_t kDirectFirst = sim8051::Cpu::kSfrBase;
constexpr uint32_t kDirectLast = 0xFF;

constexpr bool Modelled(uint32_t id) { return DecodeId(id).has_value(); }
static_assert(Modelled(flash::Id(flash::Reg::NMISTAT)) && Modelled(UnpagedId(0x81)) && !Modelled(0x81));

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

}  // namespace

std::optional<RegisterRef> ParseRegister(const std::string& text, std::string& error) {
    for (const auto& info : flash::kRegisters)
        if (SameName(info.name, text)) return RegisterRef{RegisterRef::Kind::kIdentifier, info.id};
    if (SameName(kNmiconName, text)) return RegisterRef{RegisterRef::Kind::kIdentifier, kNmiconId};
    // The chip's and the core's registers are unpaged: their address names them.
    for (const auto& r : chip::kChipRegisters)
        if (SameName(r.name, text)) return RegisterRef{RegisterRef::Kind::kDirect, r.address};
    for (const auto& r : sim8051::sfr::kNamed)
        if (SameName(r.name, text)) return RegisterRef{RegisterRef::Kind::kDirect, r.address};
    const auto number = ParseNumber(text, std::numeric_limits<uint32_t>::max());
    if (!number) {
        error = "not a register name, an SFR address or a register identifier";
        return std::nullopt;
    }
    const auto value = static_cast<uint32_t>(*number);
    if (value <= kDirectLast) {
        if (value >= kDirectFirst) return RegisterRef{RegisterRef::Kind::kDirect, value};
        error = "an SFR address is 0x80-0xFF";
        return std::nullopt;
    }
    if (!Modelled(value)) {
        error = "not a register identifier this host models (0xF00000aa, or 0xF001ppaa with page pp below 0x10)";
        return std::nullopt;
    }
    return RegisterRef{RegisterRef::Kind::kIdentifier, value};
}

}  // namespace peltosim
