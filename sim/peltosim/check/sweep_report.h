// The power-loss sweep's reports: the text on standard output, the JSON object (--json) and the
// picture of the flash operations and the cut points (--sweep-svg).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
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
};

// What one cut run showed.
struct CutOutcome {
    uint64_t cycle;
    bool passed = false;
    std::string operation;  // what the cut interrupted
    std::string end;        // how the cut run ended
    std::vector<Unmet> unmet;
    std::string problem;    // besides unmet expectations: no halt, a crash
    std::string command;
    std::string launch;  // the debugger's launch configuration for the same run (JSON)
};

struct SweepSummary {
    std::size_t total;   // cut points of all shards
    std::size_t failed;  // of the cuts tried
    double seconds;
    std::size_t jobs;
};

void WriteSweepText(std::ostream& out, const SweepInput& in, const std::vector<CutOutcome>& cuts, const SweepSummary& summary);
Json SweepJson(const SweepInput& in, const std::vector<CutOutcome>& cuts, const SweepSummary& summary);
bool WriteSweepSvg(const std::string& path, const SweepInput& in, const std::vector<CutOutcome>& cuts, std::string& error);

}  // namespace peltosim
