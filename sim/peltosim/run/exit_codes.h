// pelto-sim's exit statuses, for a run and for the power-loss sweep.
#pragma once

namespace peltosim {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNoHalt = 1;    // the program did not halt within --max-cycles
inline constexpr int kExitBadInput = 2;  // a bad option or file, or an output that failed
inline constexpr int kExitUnmet = 3;     // an expectation unmet (the sweep: a cut failed)
inline constexpr int kExitLint = 4;      // --lint=error found something
// Only between the sweep and a forked cut run: the run gave way before its budget was known and
// is to be started afresh.
inline constexpr int kExitGaveWay = 75;
inline constexpr int kExitSignalBase = 128;

// The exit status for a run interrupted by a signal: 130 SIGINT, 143 SIGTERM.
constexpr int InterruptedExitStatus(int signal_number) { return kExitSignalBase + signal_number; }

}  // namespace peltosim
