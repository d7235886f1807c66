// The expectations a run is given (--expect SPACE:ADDR=VALUE, --expect-serial TEXT), read from
// their command-line text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/peltosim/base/space.h"

namespace peltosim {

// Bytes expected in memory from an address on.
struct MemoryExpectation {
    std::string text;  // as given
    Space space;
    uint16_t address;
    std::vector<uint8_t> bytes;
    bool operator==(const MemoryExpectation&) const = default;
};

// Parses SPACE:ADDR=VALUE with VALUE one byte or comma-separated bytes; says why in `error`.
std::optional<MemoryExpectation> ParseExpectation(const std::string& text, std::string& error);
// The text of --expect-serial with \n, \r, \t, \\ and \xHH decoded; nothing for a bad escape.
std::optional<std::string> DecodeSerialText(const std::string& text, std::string& error);

}  // namespace peltosim
