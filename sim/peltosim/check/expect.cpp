#include "sim/peltosim/check/expect.h"

#include <cstdio>

#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/out/report.h"

namespace peltosim {
namespace {

constexpr uint64_t kByteMax = 0xFF;
// How much of a long serial transcript an unmet expectation quotes (its end: the latest text).
constexpr std::size_t kSerialQuote = 80;

std::string HexByte(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ',';
        s += HexByte(bytes[i]);
    }
    return s;
}

std::span<const uint8_t> SpaceBytes(const SimHost& host, Space space) {
    const auto& cpu = host.cpu();
    switch (space) {
    case Space::kCode: return cpu.Code();
    case Space::kXdata: return cpu.Xram();
    case Space::kIdata: break;
    }
    return cpu.Iram();
}

// Text in quotes with the escapes --expect-serial takes.
std::string Quoted(std::string_view text) {
    std::string s = "\"";
    if (text.size() > kSerialQuote) {
        s = "...\"";
        text = text.substr(text.size() - kSerialQuote);
    }
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': s += "\\n"; break;
        case '\r': s += "\\r"; break;
        case '\t': s += "\\t"; break;
        case '\\': s += "\\\\"; break;
        case '"': s += "\\\""; break;
        default:
            if (u < 0x20 || u >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", u);
                s += buf;
            } else {
                s += c;
            }
        }
    }
    return s + '"';
}

}  // namespace

std::size_t ExpectationCount(const Options& options) {
    return options.expect.size() + (options.expect_serial ? 1 : 0);
}

std::vector<Unmet> CheckExpectations(const SimHost& host, const Options& options) {
    std::vector<Unmet> unmet;
    for (const auto& e : options.expect) {
        const auto memory = SpaceBytes(host, e.space).subspan(e.address, e.bytes.size());
        const std::vector<uint8_t> found(memory.begin(), memory.end());
        if (found != e.bytes) unmet.push_back({e.text, HexBytes(found)});
    }
    if (options.expect_serial && host.serial_text().find(*options.expect_serial) == std::string::npos)
        unmet.push_back({"serial " + Quoted(*options.expect_serial), "serial " + Quoted(host.serial_text())});
    return unmet;
}

std::string ExpectJson(const Options& options, const std::vector<Unmet>& unmet) {
    if (ExpectationCount(options) == 0) return {};
    std::string s = ",\"expect\":{\"checked\":" + std::to_string(ExpectationCount(options)) + ",\"unmet\":[";
    for (std::size_t i = 0; i < unmet.size(); ++i)
        s += std::string(i ? "," : "") + "{\"expected\":" + JsonString(unmet[i].expected) + ",\"found\":" + JsonString(unmet[i].found) + "}";
    return s + "]}";
}

namespace {

// Reads one JSON string literal at `at` as JsonString writes them; advances `at` past it.
std::optional<std::string> ReadJsonString(std::string_view json, std::size_t& at) {
    if (at >= json.size() || json[at] != '"') return std::nullopt;
    std::string out;
    for (++at; at < json.size(); ++at) {
        const char c = json[at];
        if (c == '"') {
            ++at;
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++at >= json.size()) return std::nullopt;
        if (json[at] == 'u') {
            const auto code = ParseNumber("0x" + std::string(json.substr(at + 1, 4)), kByteMax);
            if (!code) return std::nullopt;
            out += static_cast<char>(*code);
            at += 4;
        } else {
            out += json[at];
        }
    }
    return std::nullopt;
}

bool Skip(std::string_view json, std::size_t& at, std::string_view text) {
    if (json.substr(at, text.size()) != text) return false;
    at += text.size();
    return true;
}

}  // namespace

std::vector<Unmet> UnmetFromJson(std::string_view json) {
    std::vector<Unmet> unmet;
    static constexpr std::string_view kKey = "\"unmet\":[";
    const auto key = json.find(kKey);
    if (key == std::string_view::npos) return unmet;
    std::size_t at = key + kKey.size();
    while (Skip(json, at, "{\"expected\":")) {
        auto expected = ReadJsonString(json, at);
        if (!expected || !Skip(json, at, ",\"found\":")) break;
        auto found = ReadJsonString(json, at);
        if (!found || !Skip(json, at, "}")) break;
        unmet.push_back({std::move(*expected), std::move(*found)});
        Skip(json, at, ",");
    }
    return unmet;
}

}  // namespace peltosim
