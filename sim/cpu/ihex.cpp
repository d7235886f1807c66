#include "ihex.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace sim8051 {

namespace {

enum RecordType : uint8_t {
    kData = 0x00,
    kEnd = 0x01,
    kSegmentBase = 0x02,
    kSegmentStart = 0x03,
    kLinearBase = 0x04,
    kLinearStart = 0x05,
};

constexpr std::size_t kHeaderBytes = 4;  // count, address high, address low, type
constexpr std::size_t kRecordBytesPerLine = 16;
constexpr std::size_t kMemorySize = 0x10000;
constexpr unsigned kByteMod = 0x100;

std::optional<uint8_t> HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

void AppendHexByte(std::string& out, unsigned v) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[(v >> 4) & 0xFu];
    out += kDigits[v & 0xFu];
}

std::string HexAddress(std::size_t address) {
    std::string out = "0x";
    AppendHexByte(out, static_cast<unsigned>(address >> 8));
    AppendHexByte(out, static_cast<unsigned>(address & 0xFFu));
    return out;
}

}  // namespace

HexLoadResult LoadIntelHex(std::string_view text, std::span<uint8_t, 0x10000> memory) {
    HexLoadResult result;
    std::size_t line_no = 0;
    std::vector<uint8_t> record;
    std::vector<std::size_t> line_of;  // per address: the line that stored it, 0 for none
    const auto fail = [&](std::string message) {
        result.ok = false;
        result.line = line_no;
        result.error = std::move(message);
        return result;
    };
    while (!text.empty()) {
        ++line_no;
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.empty()) continue;
        if (line.front() != ':') return fail("record does not start with ':'");
        line.remove_prefix(1);
        if (line.size() % 2 != 0) return fail("odd number of hex digits");
        record.clear();
        for (std::size_t i = 0; i < line.size(); i += 2) {
            const auto hi = HexDigit(line[i]);
            const auto lo = HexDigit(line[i + 1]);
            if (!hi || !lo) return fail("bad hex digit");
            record.push_back(static_cast<uint8_t>(*hi << 4 | *lo));
        }
        if (record.size() < kHeaderBytes + 1) return fail("record too short");
        const std::size_t count = record[0];
        if (record.size() != kHeaderBytes + count + 1) return fail("length does not match byte count");
        unsigned sum = 0;
        for (uint8_t b : record) sum += b;
        if (sum % kByteMod != 0) return fail("bad checksum");
        const std::size_t address = static_cast<std::size_t>(record[1] << 8 | record[2]);
        const std::span<const uint8_t> data(record.data() + kHeaderBytes, count);
        switch (record[3]) {
        case kData:
            if (address + count > kMemorySize) return fail("data beyond 64 KB");
            if (line_of.empty()) line_of.assign(kMemorySize, 0);
            for (std::size_t i = 0; i < count; ++i) {
                if (line_of[address + i] != 0)
                    return fail("data at " + HexAddress(address + i) + " overlaps line " + std::to_string(line_of[address + i]));
            }
            for (std::size_t i = 0; i < count; ++i) {
                memory[address + i] = data[i];
                line_of[address + i] = line_no;
            }
            result.bytes += count;
            if (count != 0)
                result.records.push_back({static_cast<uint16_t>(address), static_cast<uint16_t>(count), line_no});
            break;
        case kEnd:
            if (count != 0) return fail("end-of-file record carries data");
            result.ok = true;
            return result;
        case kSegmentBase:
        case kLinearBase:
            for (uint8_t b : data) {
                if (b != 0) return fail("non-zero base address: image beyond 64 KB");
            }
            break;
        case kSegmentStart:
        case kLinearStart:
            break;
        default:
            return fail("unknown record type");
        }
    }
    // Without its end record the file may have been cut short: refuse rather than run part of it.
    return fail("no end-of-file record: the file may be truncated");
}

std::string ToIntelHex(std::span<const uint8_t> data, uint16_t address) {
    std::string out;
    std::size_t offset = 0;
    while (offset < data.size()) {
        const std::size_t count = std::min(kRecordBytesPerLine, data.size() - offset);
        const unsigned at = (address + offset) % kMemorySize;
        // A record may not wrap past 0xFFFF.
        const std::size_t n = std::min(count, kMemorySize - at);
        unsigned sum = static_cast<unsigned>(n) + (at >> 8) + (at & 0xFFu) + kData;
        out += ':';
        AppendHexByte(out, static_cast<unsigned>(n));
        AppendHexByte(out, at >> 8);
        AppendHexByte(out, at & 0xFFu);
        AppendHexByte(out, kData);
        for (std::size_t i = 0; i < n; ++i) {
            AppendHexByte(out, data[offset + i]);
            sum += data[offset + i];
        }
        AppendHexByte(out, (kByteMod - sum % kByteMod) % kByteMod);
        out += '\n';
        offset += n;
    }
    out += ":00000001FF\n";
    return out;
}

}  // namespace sim8051
