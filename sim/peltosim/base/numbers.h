// Numbers as the command line writes them: decimal, or hexadecimal with a 0x prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace peltosim {

// A number in decimal or with a 0x prefix, with nothing after it, no larger than `max`.
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max);

// "0x" and `digits` upper-case hexadecimal digits (more when the value needs them): 0x0A, 0xAF40.
std::string Hex(uint32_t value, int digits);

}  // namespace peltosim
