// How --sfr names a register: a flash register name (any case), a direct SFR address
// (0x80-0xFF, read as the program would read it now, through the paging), or a full host
// register identifier (0xF0...) of a register the host models.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace peltosim {

struct RegisterRef {
    enum class Kind : uint8_t { kIdentifier, kDirect } kind;
    uint32_t value;  // the identifier, or the SFR address
    bool operator==(const RegisterRef&) const = default;
};

// A register as --sfr names it: the text, which is its key in the output, and what it names.
struct NamedRegister {
    std::string text;
    RegisterRef ref;
    bool operator==(const NamedRegister&) const = default;
};

// Nothing when `text` is none of the three; `error` then says why.
std::optional<RegisterRef> ParseRegister(const std::string& text, std::string& error);

}  // namespace peltosim
