#include "sim/peltosim/check/expect.h"

#include <cstdio>
#include <limits>

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
    const std::string_view serial = host.serial_text_since_reset();
    if (options.expect_serial && serial.find(*options.expect_serial) == std::string_view::npos)
        unmet.push_back({"serial " + Quoted(*options.expect_serial), "serial " + Quoted(serial)});
    return unmet;
}

namespace {
constexpr uint32_t kOffsetMask = 0xFFFF;  // a host memory address's offset in its space
}  // namespace

SweepUntilWatch::SweepUntilWatch(SimHost& host, const SweepUntil& until) : host_(host), until_(until) {
    if (until.kind != SweepUntil::Kind::kMemory || until.memory.space == Space::kCode) return;
    const auto last = static_cast<uint16_t>(until.memory.address + until.memory.bytes.size() - 1);
    host.ObserveData(until.memory.space == Space::kXdata ? sim8051::DataSpace::kXdata : sim8051::DataSpace::kIdata,
                     until.memory.address, last, sim8051::kWatchWrite);
}

void SweepUntilWatch::Arm() {
    armed_ = true;
    switch (until_.kind) {
    case SweepUntil::Kind::kSerial: host_.StopOnSerial(until_.serial); break;
    case SweepUntil::Kind::kPc: host_.cpu().SetBreakpoint(until_.pc, true); break;
    case SweepUntil::Kind::kMemory: break;
    }
}

void SweepUntilWatch::Look(uint16_t first, uint16_t last) {
    const uint16_t from = until_.memory.address;
    const auto to = static_cast<uint16_t>(from + until_.memory.bytes.size() - 1);
    if (!armed_ || until_.kind != SweepUntil::Kind::kMemory || last < from || first > to) return;
    looking_ = true;
    host_.Stop();
}

void SweepUntilWatch::MemoryWritten(uint64_t, uint32_t address, uint32_t count) {
    const uint32_t space = address & PELTO_SPACE_MASK;
    const bool ours = (space == PELTO_SPACE_CODE && until_.memory.space == Space::kCode) ||
                      (space == PELTO_SPACE_XDATA && until_.memory.space == Space::kXdata);
    const uint32_t first = address & kOffsetMask;
    if (ours && count != 0) Look(static_cast<uint16_t>(first), static_cast<uint16_t>(std::min(first + count - 1, kOffsetMask)));
}

void SweepUntilWatch::DataAccessed(uint64_t, sim8051::DataSpace space, uint16_t address, bool write, uint16_t) {
    const bool ours = (space == sim8051::DataSpace::kXdata) == (until_.memory.space == Space::kXdata);
    if (write && ours && until_.memory.space != Space::kCode) Look(address, address);
}

bool SweepUntilWatch::Reached(RunEnd end) const {
    if (!armed_) return false;
    switch (until_.kind) {
    case SweepUntil::Kind::kSerial:
        return end == RunEnd::kStopped && host_.serial_text_since_reset().find(until_.serial) != std::string_view::npos;
    case SweepUntil::Kind::kPc: return end == RunEnd::kBreakpoint && host_.cpu().Pc() == until_.pc;
    case SweepUntil::Kind::kMemory: {
        const auto memory = host_.SpaceBytes(until_.memory.space).subspan(until_.memory.address, until_.memory.bytes.size());
        return end == RunEnd::kStopped && std::equal(memory.begin(), memory.end(), until_.memory.bytes.begin());
    }
    }
    return false;
}

bool SweepUntilWatch::GoOn(RunEnd end) {
    const bool looked = looking_;
    looking_ = false;
    return looked && end == RunEnd::kStopped && !Reached(end);
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

std::vector<CutLint> LintFromJson(const Json& run) {
    std::vector<CutLint> found;
    if (!run.is_object() || !run.contains("lint") || !run["lint"].is_array()) return found;
    for (const auto& f : run["lint"]) {
        if (!f.is_object()) continue;
        auto name = BytesFromJson(f.value("name", Json()));
        auto message = BytesFromJson(f.value("message", Json()));
        const Json cycle = f.value("cycle", Json());
        if (name && message && cycle.is_number_unsigned()) found.push_back({std::move(*name), cycle.get<uint64_t>(), std::move(*message)});
    }
    return found;
}

}  // namespace peltosim
