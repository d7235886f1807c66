#include "sim/peltosim/check/expect.h"

#include <cstdio>

#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/out/report.h"

namespace peltosim {
namespace {

// How much of a long serial transcript an unmet expectation quotes (its end: the latest text).
constexpr std::size_t kSerialQuote = 80;

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ',';
        s += Hex(bytes[i], 2);
    }
    return s;
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
        const auto memory = host.SpaceBytes(e.space).subspan(e.address, e.bytes.size());
        const std::vector<uint8_t> found(memory.begin(), memory.end());
        if (found != e.bytes) unmet.push_back({e.text, HexBytes(found)});
    }
    if (options.expect_serial && host.serial_text().find(*options.expect_serial) == std::string::npos)
        unmet.push_back({"serial " + Quoted(*options.expect_serial), "serial " + Quoted(host.serial_text())});
    return unmet;
}

Json UnmetJson(const std::vector<Unmet>& unmet) {
    Json list = Json::array();
    for (const auto& u : unmet) list.push_back({{"expected", JsonText(u.expected)}, {"found", JsonText(u.found)}});
    return list;
}

Json ExpectJson(const Options& options, const std::vector<Unmet>& unmet) {
    return {{"checked", ExpectationCount(options)}, {"unmet", UnmetJson(unmet)}};
}

std::vector<Unmet> UnmetFromJson(const Json& run) {
    std::vector<Unmet> unmet;
    if (!run.is_object() || !run.contains("expect")) return unmet;
    const Json& list = run["expect"].value("unmet", Json::array());
    for (const auto& u : list) {
        if (!u.is_object()) continue;
        auto expected = BytesFromJson(u.value("expected", Json()));
        auto found = BytesFromJson(u.value("found", Json()));
        if (expected && found) unmet.push_back({std::move(*expected), std::move(*found)});
    }
    return unmet;
}

}  // namespace peltosim
