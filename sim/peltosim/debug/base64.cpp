#include "base64.h"

#include <array>
#include <cstdint>

namespace peltosim::debug {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr unsigned kSextetBits = 6;
constexpr unsigned kSextetMask = 0x3F;
constexpr unsigned kByteBits = 8;
constexpr std::size_t kGroupBytes = 3;
constexpr std::size_t kGroupChars = 4;

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += kGroupBytes) {
        uint32_t group = 0;
        const std::size_t n = std::min(kGroupBytes, bytes.size() - i);
        for (std::size_t j = 0; j < kGroupBytes; ++j)
            group = group << kByteBits | (j < n ? static_cast<uint8_t>(bytes[i + j]) : 0u);
        for (std::size_t j = 0; j < kGroupChars; ++j)
            text.push_back(j <= n ? kAlphabet[group >> (kSextetBits * (kGroupChars - 1 - j)) & kSextetMask] : kPad);
    }
    return text;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    if (text.size() % kGroupChars != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += kGroupChars) {
        uint32_t group = 0;
        std::size_t pads = 0;
        for (std::size_t j = 0; j < kGroupChars; ++j) {
            const char c = text[i + j];
            uint32_t value = 0;
            if (c == kPad && i + kGroupChars == text.size() && j >= 2) {
                ++pads;
            } else {
                const auto at = kAlphabet.find(c);
                if (at == std::string_view::npos || pads != 0) return std::nullopt;
                value = static_cast<uint32_t>(at);
            }
            group = group << kSextetBits | value;
        }
        for (std::size_t j = 0; j < kGroupBytes - pads; ++j)
            bytes.push_back(static_cast<char>(group >> (kByteBits * (kGroupBytes - 1 - j)) & 0xFF));
    }
    return bytes;
}

}  // namespace peltosim::debug
