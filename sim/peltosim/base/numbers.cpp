#include "sim/peltosim/base/numbers.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace peltosim {

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max) {
    if (text.empty()) return std::nullopt;
    int base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (std::isdigit(static_cast<unsigned char>(c))) digit = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) digit = std::tolower(c) - 'a' + 10;
        else return std::nullopt;
        if (static_cast<uint64_t>(digit) > max ||
            value > (max - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*" PRIX32, digits, value);
    return text;
}

}  // namespace peltosim
