#include "sim/peltosim/base/json.h"

#include <cstdint>

namespace peltosim {
namespace {

// UTF-8 of U+0080-U+00FF: a lead byte of 0xC2 or 0xC3 and one continuation byte of six bits.
constexpr uint8_t kAscii = 0x80;
constexpr uint8_t kLead = 0xC0;
constexpr uint8_t kContinuation = 0x80;
constexpr unsigned kContinuationBits = 6;
constexpr uint8_t kContinuationMask = 0x3F;
constexpr uint8_t kLatinLeadFirst = 0xC2;
constexpr uint8_t kLatinLeadLast = 0xC3;
constexpr int kCompactIndent = -1;

}  // namespace

std::string JsonText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        if (b < kAscii) {
            text += c;
        } else {
            text += static_cast<char>(kLead | b >> kContinuationBits);
            text += static_cast<char>(kContinuation | (b & kContinuationMask));
        }
    }
    return text;
}

std::optional<std::string> BytesFromJson(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    const auto& text = value.get_ref<const std::string&>();
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<uint8_t>(text[i]);
        if (b < kAscii) {
            bytes += text[i];
            continue;
        }
        if (b < kLatinLeadFirst || b > kLatinLeadLast || i + 1 >= text.size()) return std::nullopt;
        const auto next = static_cast<uint8_t>(text[++i]);
        if ((next & ~kContinuationMask) != kContinuation) return std::nullopt;
        bytes += static_cast<char>((b & ~kLead) << kContinuationBits | (next & kContinuationMask));
    }
    return bytes;
}

std::string JsonLine(const Json& value) { return value.dump(kCompactIndent, ' ', true); }

Json ParseJson(std::string_view text) { return Json::parse(text, nullptr, false); }

}  // namespace peltosim
