#include "sim/peltosim/host/interrupt.h"

#include <csignal>

#include "sim/peltosim/host/sim_host.h"

namespace peltosim {
namespace {


SimHost* g_host = nullptr;
volatile std::sig_atomic_t g_signal = 0;
std::atomic<int>* g_shared = nullptr;
static_assert(std::atomic<int>::is_always_lock_free, "stored from a signal handler");

extern "C" void OnSignal(int signal_number) {
    // Back to the default: a second signal ends a run that does not stop.
    std::signal(signal_number, SIG_DFL);
    if (g_signal == 0) g_signal = signal_number;
    if (g_shared) g_shared->store(signal_number, std::memory_order_relaxed);
    if (g_host) g_host->Interrupt();
}

}  // namespace

void InterruptRunOnSignals(SimHost& host) {
    g_host = &host;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

void ShareInterruption(std::atomic<int>* flag) { g_shared = flag; }

int InterruptingSignal() { return g_signal; }

std::string SignalName(int signal_number) {
    switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(signal_number);
    }
}

}  // namespace peltosim
