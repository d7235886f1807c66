// The power-loss sweep's reports: the text on standard output, the JSON object (--json) and the
// picture of the flash operations and the cut points (--sweep-svg).
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/base/json.h"
#include "sim/peltosim/check/expect.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {

// What the sweep starts from.
struct SweepInput {
    const Options& options;
    const std::vector<std::string>& args;  // the command line after the program name
    std::string invoked_as;                 // argv[0], for the commands that reproduce a cut
    const SimHost& host;                    // as the recording run left it
    const FlashTracker& tracker;
    RunEnd end;
    std::vector<Unmet> unmet;               // the recording run's
    std::chrono::steady_clock::time_point started;  // when the recording run began
};

// What a report says of a cut that interrupts no operation.
inline constexpr std::string_view kBetweenOperations = "between operations";

// Which cut run: its cut, and at depth 2 the cut during the recovery after it.
struct CutKey {
    uint64_t cycle = 0;
    std::optional<uint64_t> torn;  // the torn variant, for a cut inside an operation
    std::optional<uint64_t> second;
    std::optional<uint64_t> second_torn;
    auto operator<=>(const CutKey&) const = default;
};

// What one cut run showed.
struct CutOutcome {
    uint64_t cycle;
    std::optional<uint64_t> torn;  // the torn variant, for a cut inside an operation
    bool passed = false;
    std::string operation;  // what the cut interrupted
    std::string end;        // how the cut run ended
    std::vector<Unmet> unmet;
    std::string problem;    // besides unmet expectations: no halt, a crash
    std::vector<CutLint> lint;  // findings after the cut
    std::string command;
    std::string launch;  // the debugger's launch configuration for the same run (JSON)
    // Depth 2: the second cut, during the recovery after the first, with its variant and what it
    // interrupted.
    std::optional<uint64_t> second = std::nullopt;
    std::optional<uint64_t> second_torn = std::nullopt;
    std::string second_operation = {};
};

// The figures of a sweep, and why it stopped before its end ("" when it did not).
struct SweepSummary {
    std::size_t total = 0;   // cut points of all shards
    std::size_t failed = 0;  // of the cut runs done
    double seconds = 0;
    std::size_t jobs = 0;
    std::size_t forked = 0;   // cut runs forked from the recording run
    std::size_t planned = 0;  // cut runs this sweep was to run
    std::string stopped;
};

// What identifies a sweep and what the reports show of its recording run: taken from the run,
// or read back from a shard's JSON report to merge the shards (check/sweep_merge.h).
struct SweepRecord {
    std::vector<std::string> arguments;  // the program and the options as each cut run gets them
    std::vector<std::string> inputs;     // the digest of each program file (hex, then binary images)
    std::vector<uint64_t> cut_points;    // of all shards
    bool cut_torn = true;
    unsigned torn_variants = 0;
    bool metastable = false;  // torn cells read unreliably (--metastable)
    uint64_t sweep_every = 0;
    unsigned depth = 1;
    unsigned shard_index = 1;
    unsigned shard_count = 1;
    uint64_t cycles = 0;  // of the recording run
    std::string end;      // how the recording run ended
    std::size_t changes = 0;
    std::vector<FlashOperation> operations;
};

inline CutKey KeyOf(const CutOutcome& c) { return {c.cycle, c.torn, c.second, c.second_torn}; }

void WriteSweepText(std::ostream& out, const SweepRecord& record, const std::vector<CutOutcome>& cuts, const SweepSummary& summary);
Json SweepJson(const SweepRecord& record, const std::vector<CutOutcome>& cuts, const SweepSummary& summary);
bool WriteSweepSvg(const std::string& path, const SweepRecord& record, const std::vector<CutOutcome>& cuts, std::string& error);

}  // namespace peltosim
