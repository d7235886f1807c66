// The flash lint's checks by name, as --lint=-NAME turns them off.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace peltosim {

struct LintCheck {
    std::string_view name;  // for --lint=-NAME and the report
    std::string_view what;
};

enum class LintId : uint8_t {
    kNotErased,
    kUnaligned,
    kShortCapture,
    kReadDuringOperation,
    kShadowWrite,
    kRunningAtEnd,
    kSfrUnmapped,
    kEccUnread,
    kStaleCheckBits,
};

inline constexpr std::array kLintChecks{
    LintCheck{"program-not-erased", "a program operation whose block held bytes other than the erased value"},
    LintCheck{"program-unaligned", "a block programmed from a first captured address that is not its start"},
    LintCheck{"program-short", "a program operation started with fewer captured bytes than the block"},
    LintCheck{"read-during-operation", "a MOVC read of a block or sector while an operation on it runs"},
    LintCheck{"shadow-write", "a MOVX write into the ECC shadow (external data over the flash)"},
    LintCheck{"operation-at-end", "a flash operation still running when the run ends"},
    LintCheck{"sfr-unmapped", "an access of a paged SFR address that reaches no register with the pages selected"},
    LintCheck{"ecc-unread", "an ECC error (NMISTAT bit 6) that the firmware never reads before the run ends or resets"},
    LintCheck{"stale-check-bits", "a byte captured where the ECC shadow still holds check bits of a program never committed"},
};

std::optional<LintId> FindLintCheck(std::string_view name);
// The names, comma-separated, for messages.
std::string LintCheckNames();

// What --lint=LIST asks for: LIST is comma-separated items, "error" (each finding fails the run)
// and -NAME (check NAME off).
struct LintSelection {
    bool error = false;
    std::vector<LintId> off;
};
// Nothing for an item that is neither; `error` then names it.
std::optional<LintSelection> ParseLintList(std::string_view list, std::string& error);

}  // namespace peltosim
