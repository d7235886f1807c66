// The pelto-sim command line on arbitrary arguments (the input split at NUL bytes).
//  - A refusal always says why; an accepted command line keeps every value in its range: dumps
//    inside their space and not empty, a nonzero clock, --keep-open only with --menu, registers
//    that name a flash register or an identifier.
//  - ParseNumber agrees with a plain reference reading for the limits the command line uses.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "sim/peltosim/run/options.h"
#include "sim/peltosim/run/register_ref.h"

namespace {

constexpr std::size_t kMaxArguments = 64;
constexpr uint64_t kSpaceSize = 0x10000;
constexpr uint64_t kIdataSize = 0x100;
constexpr unsigned kDecimal = 10;
constexpr unsigned kHex = 16;
constexpr std::size_t kHexPrefix = 2;
__extension__ typedef unsigned __int128 Wide;  // holds any digit string's value below 2^64 * 16

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

// Decimal, or hexadecimal after 0x / 0X with at least one digit; nothing else; at most `max`.
std::optional<uint64_t> ReferenceNumber(const std::string& text, uint64_t max) {
    const bool hex = text.size() > kHexPrefix && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(kHexPrefix) : text;
    if (digits.empty()) return std::nullopt;
    Wide value = 0;
    for (char c : digits) {
        const auto u = static_cast<unsigned char>(c);
        unsigned digit;
        if (std::isdigit(u)) digit = static_cast<unsigned>(c - '0');
        else if (hex && std::isxdigit(u)) digit = static_cast<unsigned>(std::tolower(u) - 'a' + kDecimal);
        else return std::nullopt;
        value = value * (hex ? kHex : kDecimal) + digit;
        if (value > max) return std::nullopt;
    }
    return static_cast<uint64_t>(value);
}

void CheckAccepted(const peltosim::Options& o, const std::vector<std::string>& args) {
    for (const auto& d : o.dumps) {
        const uint64_t size = d.space == peltosim::Space::kIdata ? kIdataSize : kSpaceSize;
        Check(d.length > 0 && d.address + uint64_t{d.length} <= size, "a dump outside its space");
    }
    Check(o.clock_hz > 0, "a zero clock");
    Check(!o.keep_open || o.menu.has_value(), "--keep-open without --menu");
    std::string why;
    for (const auto& s : o.sfrs) Check(peltosim::ParseRegister(s.text, why) == s.ref, "a register that names nothing");
    for (const auto& b : o.binaries) Check(!b.path.empty(), "a binary without a file");
    const std::size_t values = o.extensions.size() + o.hex_files.size() + o.binaries.size() + o.breakpoints.size() +
                               o.dumps.size() + o.sfrs.size() + o.failing_services.size();
    Check(values <= args.size(), "more values than arguments");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size && args.size() <= kMaxArguments; ++i) {
        if (data[i] == '\0') args.emplace_back();
        else args.back() += static_cast<char>(data[i]);
    }
    std::string error;
    const auto options = peltosim::ParseOptions(args, error);
    if (options) CheckAccepted(*options, args);
    else Check(!error.empty(), "a refusal without a reason");

    for (const auto& a : args)
        for (uint64_t max : {kIdataSize - 1, kIdataSize, kSpaceSize - 1, kSpaceSize,
                             uint64_t{std::numeric_limits<uint32_t>::max()}, std::numeric_limits<uint64_t>::max()})
            Check(peltosim::ParseNumber(a, max) == ReferenceNumber(a, max), "ParseNumber differs from the reference");
    return 0;
}
