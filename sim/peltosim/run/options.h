// The pelto-sim command line.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/base/space.h"
#include "sim/peltosim/run/expectation.h"
#include "sim/peltosim/run/lint_checks.h"
#include "sim/peltosim/run/register_ref.h"

namespace peltosim {

inline constexpr uint64_t kDefaultRamFillSeed = 0x8052;

struct Dump {
    std::string text;  // as given, the key in the output
    Space space;
    uint16_t address;
    uint32_t length;
    bool operator==(const Dump&) const = default;
};

// A data access named on the command line (--stop-on-read, --stop-on-write).
struct AccessPoint {
    Space space;
    uint16_t address;
    bool operator==(const AccessPoint&) const = default;
};

struct BinaryImage {
    std::string path;
    uint16_t address;
    bool operator==(const BinaryImage&) const = default;
};

// The first random variant of a torn operation (0 and 1 are the extremes).
inline constexpr uint64_t kDefaultTornSeed = 2;
inline constexpr unsigned kDefaultTornVariants = 2;

// Where a cut run stops after its cut (--sweep-until): the recovered firmware sent a text,
// reached a code address, or left a value in memory.
struct SweepUntil {
    enum class Kind : uint8_t { kSerial, kPc, kMemory };
    Kind kind = Kind::kSerial;
    std::string text;    // as given
    std::string serial;  // kSerial: decoded
    uint16_t pc = 0;     // kPc
    MemoryExpectation memory;  // kMemory
    bool operator==(const SweepUntil&) const = default;
};

struct Options {
    std::vector<std::string> extensions;
    std::vector<std::string> hex_files;
    std::vector<BinaryImage> binaries;
    std::vector<uint16_t> breakpoints;
    std::optional<std::string> debug_info;  // --debug-info: SDCC's .cdb file
    std::vector<Dump> dumps;
    std::vector<NamedRegister> sfrs;
    std::vector<std::string> failing_services;
    uint64_t max_cycles = 1'000'000'000;  // 0: no limit
    bool max_cycles_given = false;
    uint32_t clock_hz = 12'000'000;
    bool json = false;
    bool trace = false;
    bool trace_registers = false;  // --trace=registers: every flash register write as well
    bool help = false;
    bool keep_open = false;
    std::optional<std::string> vcd;
    std::optional<std::string> menu;
    std::optional<std::string> serial_out;  // "-": standard output
    std::optional<std::string> serial_in;
    std::vector<AccessPoint> stop_on_read;
    std::vector<AccessPoint> stop_on_write;
    std::vector<uint64_t> reset_at;
    std::vector<uint64_t> power_cut_at;
    std::map<uint64_t, uint64_t> power_cut_seeds;  // --power-cut-at CYCLE:SEED: that cut's torn variant
    bool ram_fill_random = true;
    uint8_t ram_fill_byte = 0;
    uint64_t ram_fill_seed = kDefaultRamFillSeed;
    // Checked at the end (expect.h): memory from --expect, and decoded serial text.
    std::vector<MemoryExpectation> expect;
    std::optional<std::string> expect_serial;
    // What a power cut leaves of an operation it interrupts: nothing (atomic) or torn cells, as
    // the variant torn_seed says (host/torn.h).
    bool cut_torn = true;
    uint64_t torn_seed = kDefaultTornSeed;
    unsigned torn_variants = kDefaultTornVariants;  // seeded random variants per cut in the sweep
    bool torn_seed_given = false;
    bool torn_variants_given = false;
    // Torn cells read unreliably until written again (host/metastable.h).
    bool metastable = false;
    // The power-loss sweep (sweep.h).
    bool power_cut_sweep = false;
    bool sweep_merge = false;  // the files given are sweep shards' JSON reports to merge
    bool sweep_spawn = false;  // start every cut run afresh, even where the recording could fork
    std::optional<SweepUntil> sweep_until;
    uint64_t sweep_every = 0;  // 0: only the cut points of persistent-state changes
    // 2: each first cut's recovery is cut again at its own persistent changes. With
    // --power-cut-at and --json, the run lists those cut points (how spawned cut runs report them).
    unsigned sweep_depth = 1;
    std::optional<std::string> sweep_svg;
    unsigned jobs = 0;  // 0: one per core
    unsigned shard_index = 1;  // 1..shard_count
    unsigned shard_count = 1;
    // The flash lint (lint.h).
    bool lint = false;
    bool lint_error = false;
    std::vector<LintId> lint_off;

    bool operator==(const Options&) const = default;
};

// One option of the command line: it drives the parser, the usage text and the sweep's cut runs.
struct OptionEntry {
    enum class Form : uint8_t {
        kFlag,      // --name
        kValue,     // --name VALUE (the next argument)
        kAttached,  // --name, or --name=VALUE
    };
    std::string_view name;
    Form form;
    std::string_view value;  // VALUE as the usage text shows it
    std::string_view help;   // lines separated by \n
    bool in_cut_runs;        // whether the sweep's cut runs keep it
    // Stores the option's value; `arg` is the argument as given, `value` null for a flag (and for
    // an attached form given without =).
    bool (*apply)(Options& o, const std::string& arg, const std::string* value, std::string& error);
    std::string_view alias = {};  // a short name, if any
};

std::span<const OptionEntry> OptionTable();

// Parses argv[1..]; on failure returns nothing and says why in `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

// The text of --help.
std::string Usage();

// The torn variant of each --power-cut-at in cycle order: its own seed, or --torn-seed.
std::vector<uint64_t> CutVariants(const Options& options);

// The command line of one of the sweep's cut runs: `args` (as accepted by ParseOptions) without
// the options the table keeps out of cut runs.
std::vector<std::string> CutRunArguments(const std::vector<std::string>& args);

}  // namespace peltosim
