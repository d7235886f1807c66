// The pelto-sim command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace peltosim {

enum class Space : uint8_t { kCode, kXdata, kIdata };

struct Dump {
    std::string text;  // as given, the key in the output
    Space space;
    uint16_t address;
    uint32_t length;
};

struct BinaryImage {
    std::string path;
    uint16_t address;
};

struct Options {
    std::vector<std::string> extensions;
    std::vector<std::string> hex_files;
    std::vector<BinaryImage> binaries;
    std::vector<uint16_t> breakpoints;
    std::vector<Dump> dumps;
    std::vector<std::string> sfrs;  // as given; see register_ref.h
    std::vector<std::string> failing_services;
    uint64_t max_cycles = 1'000'000'000;  // 0: no limit
    uint32_t clock_hz = 12'000'000;
    bool json = false;
    bool trace = false;
    bool trace_registers = false;  // --trace=registers: every flash register write as well
    bool help = false;
    bool keep_open = false;
    std::optional<std::string> vcd;
    std::optional<std::string> menu;
};

// Parses argv[1..]; on failure returns nothing and says why in `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

// A number in decimal or with a 0x prefix, with nothing after it, no larger than `max`.
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max);

extern const char* const kUsage;

}  // namespace peltosim
