#include "sim/peltosim/run/expectation.h"

#include "sim/peltosim/base/numbers.h"

namespace peltosim {
namespace {

constexpr uint64_t kSpaceSize = 0x10000;
constexpr uint64_t kIdataSize = 0x100;
constexpr uint64_t kByteMax = 0xFF;

}  // namespace

std::optional<MemoryExpectation> ParseExpectation(const std::string& text, std::string& error) {
    const auto colon = text.find(':');
    const auto equals = text.find('=');
    auto fail = [&](const std::string& why) {
        error = "--expect '" + text + "': " + why;
        return std::nullopt;
    };
    if (colon == std::string::npos || equals == std::string::npos || equals < colon)
        return fail("expected SPACE:ADDR=VALUE (for example xdata:0x9F00=0x50,0x46)");
    const std::string space_name = text.substr(0, colon);
    MemoryExpectation e{text, Space::kCode, 0, {}};
    uint64_t size = kSpaceSize;
    if (space_name == "code") e.space = Space::kCode;
    else if (space_name == "xdata") e.space = Space::kXdata;
    else if (space_name == "idata") {
        e.space = Space::kIdata;
        size = kIdataSize;
    } else {
        return fail("unknown space '" + space_name + "' (code, xdata or idata)");
    }
    const auto address = ParseNumber(text.substr(colon + 1, equals - colon - 1), size - 1);
    if (!address) return fail("address not a number inside " + space_name);
    e.address = static_cast<uint16_t>(*address);
    const std::string values = text.substr(equals + 1);
    std::size_t start = 0;
    for (;;) {
        const auto comma = values.find(',', start);
        const auto byte = ParseNumber(values.substr(start, comma == std::string::npos ? std::string::npos : comma - start), kByteMax);
        if (!byte) return fail("values must be bytes (0x00-0xFF) separated by commas");
        e.bytes.push_back(static_cast<uint8_t>(*byte));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (*address + e.bytes.size() > size) return fail("the bytes run past the end of " + space_name);
    return e;
}

std::optional<std::string> DecodeSerialText(const std::string& text, std::string& error) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        ++i;
        switch (next) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            const std::string digits = text.substr(i + 1, 2);
            const auto byte = digits.size() == 2 ? ParseNumber("0x" + digits, kByteMax) : std::nullopt;
            if (!byte) {
                error = "--expect-serial '" + text + "': \\x needs two hex digits";
                return std::nullopt;
            }
            out += static_cast<char>(*byte);
            i += 2;
            break;
        }
        default:
            error = "--expect-serial '" + text + "': unknown escape (\\n, \\r, \\t, \\\\ or \\xHH)";
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace peltosim
