// What pelto-sim prints at the end: the summary or the JSON results.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/base/json.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {

const char* RunEndName(RunEnd end);

// The run's result as a JSON object: where the run ended, the CPU's registers, the dumps and
// registers the options ask for, the serial transcript, the resets and power cuts.
Json RunJson(const SimHost& host, const Options& options, RunEnd end);
void WriteSummary(std::ostream& out, const SimHost& host, const Options& options, RunEnd end);

}  // namespace peltosim
