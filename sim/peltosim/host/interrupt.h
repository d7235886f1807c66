// SIGINT and SIGTERM end a run cleanly: the host stops at the next instruction boundary and
// pelto-sim writes what it has. A second signal of the same kind ends the process at once.
#pragma once

#include <atomic>
#include <string>

namespace peltosim {

class SimHost;

// From now on SIGINT and SIGTERM interrupt `host`'s run.
void InterruptRunOnSignals(SimHost& host);
// The signal is also stored in `flag` (null: no more), memory shared with the sweep's forked cut
// runs, which the signal does not reach when it is sent to this process alone.
void ShareInterruption(std::atomic<int>* flag);
// The signal that interrupted the run, 0 for none.
int InterruptingSignal();
// "SIGINT", "SIGTERM" for the signals above.
std::string SignalName(int signal_number);

}  // namespace peltosim
