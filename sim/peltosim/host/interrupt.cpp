#include "sim/peltosim/host/interrupt.h"

#include <csignal>

#include "sim/peltosim/host/sim_host.h"

namespace peltosim {
namespace {


SimHost* g_host = nullptr;
volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnSignal(int signal_number) {
    // Back to the default: a second signal ends a run that does not stop.
    std::signal(signal_number, SIG_DFL);
    if (g_signal == 0) g_signal = signal_number;
    if (g_host) g_host->Interrupt();
}

}  // namespace

void InterruptRunOnSignals(SimHost& host) {
    g_host = &host;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

int InterruptingSignal() { return g_signal; }

std::string SignalName(int signal_number) {
    switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(signal_number);
    }
}

}  // namespace peltosim
