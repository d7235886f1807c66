// The power-loss sweep (--power-cut-sweep): after a recording run that noted every change of
// persistent state (code memory and the ECC shadow) and every flash operation start, the
// firmware runs again once per cut point, each time in a new pelto-sim process with the power
// cut just after one of those moments, and the expectations are checked after every cut.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "sim/peltosim/check/sweep_report.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {

// The cycles to cut at: one just after each persistent-state change and each operation start,
// and every `every` cycles up to `end_cycle` (0: none); ascending, each once.
std::vector<uint64_t> CutPoints(const FlashTracker& tracker, uint64_t end_cycle, uint64_t every);

// Runs the cut runs and reports; returns the exit status.
int RunSweep(const SweepInput& in, std::ostream& out);

}  // namespace peltosim
