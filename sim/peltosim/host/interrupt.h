// SIGINT and SIGTERM end a run cleanly: the host stops at the next instruction boundary and
// pelto-sim writes what it has. A second signal of the same kind ends the process at once.
#pragma once

#include <string>

namespace peltosim {

class SimHost;

// From now on SIGINT and SIGTERM interrupt `host`'s run.
void InterruptRunOnSignals(SimHost& host);
// The signal that interrupted the run, 0 for none.
int InterruptingSignal();
// "SIGINT", "SIGTERM" for the signals above.
std::string SignalName(int signal_number);

}  // namespace peltosim
