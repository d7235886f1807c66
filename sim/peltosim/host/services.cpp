// The Pelto services exported by name from the host executable; each acts on the one SimHost.
// Services the host cannot serve (none started yet) fail with 0.
#include <cstdio>

#include "pelto/pelto.h"
#include "sim/peltosim/host/sim_host.h"

using peltosim::SimHost;

namespace {
constexpr uint32_t kNoHost = PELTO_RESULT_FAILURE;
SimHost* H() { return SimHost::Current(); }
}  // namespace

extern "C" {

// One export per called service, onto the host's member of the same name. Without a host, or
// while the service is made to fail, it does nothing and returns 0: a failing GetStates,
// GetLastMemoryAddress or GetProgramCounter answers 0 to the extension while the host itself
// keeps using the true values.
#define PELTOSIM_EXPORT(name, result, parameters, arguments)                               \
    PELTO_EXPORT result Pelto##name parameters {                                           \
        SimHost* host = H();                                                               \
        if (host == nullptr || host->Failing(peltosim::Service::k##name)) return result(); \
        return host->name arguments;                                                       \
    }
PELTO_CALLED_SERVICES(PELTOSIM_EXPORT)
#undef PELTOSIM_EXPORT

// This host's chip model is fixed: extensions may not add registers.
PELTO_EXPORT uint32_t PeltoDefineSFR(const char*, uint32_t, uint32_t) { return 0; }
// The chip's interrupt sources are fixed (and the flash NMI is the host's own): a declaration is
// accepted and has no effect.
PELTO_EXPORT uint32_t PeltoDeclareInterrupt(uint32_t, uint32_t) { return 1; }
PELTO_EXPORT uint32_t PeltoSetWatchOnVTR(uint32_t vtr, PeltoHandler handler, uint32_t access) {
    return H() ? H()->SetWatchOnVTR(vtr, handler, access) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoWriteVTR(uint32_t vtr, uint32_t value) { return H() ? H()->WriteVTR(vtr, value) : kNoHost; }
PELTO_EXPORT uint32_t PeltoReadVTR(uint32_t vtr, uint32_t* value) { return H() ? H()->ReadVTR(vtr, value) : kNoHost; }
// Sets what the program reads next, as a write by the extension does.
PELTO_EXPORT uint32_t PeltoSetSFRReadValue(uint32_t id, uint32_t value) {
    return H() ? H()->WriteSFR(id, value, 0xFF) : kNoHost;
}
// Every access this host reports is the program's own.
PELTO_EXPORT uint32_t PeltoIsSimulatorAccess(void) { return 0; }
PELTO_EXPORT uint32_t PeltoIsInInterrupt(void) { return 0; }
PELTO_EXPORT uint32_t PeltoIsSleeping(void) { return 0; }
PELTO_EXPORT uint32_t PeltoStopSimulator(void) { return H() ? H()->Stop() : kNoHost; }
PELTO_EXPORT uint32_t PeltoTriggerReset(void) { return H() ? H()->TriggerReset() : kNoHost; }
PELTO_EXPORT uint32_t PeltoUpdateWindows(void) { return H() ? H()->UpdateWindows() : kNoHost; }
PELTO_EXPORT uint32_t PeltoGetExternalClockRate(void) { return H() ? H()->ExternalClock() : kNoHost; }
PELTO_EXPORT uint32_t PeltoGetInternalClockRate(void) { return H() ? H()->InternalClock() : kNoHost; }
PELTO_EXPORT uint32_t PeltoGetClockFactor(void) { return peltosim::kClocksPerCycle; }
PELTO_EXPORT uint32_t PeltoMessage(const char* text) {
    if (text) std::fprintf(stderr, "extension: %s\n", text);
    return 1;
}
PELTO_EXPORT uint32_t PeltoGetTargetKey(void) { return H() ? H()->TargetKey() : kNoHost; }
PELTO_EXPORT uint32_t PeltoSetTargetKey(uint32_t key) {
    if (!H()) return kNoHost;
    H()->SetTargetKey(key);
    return 1;
}
// The host loads no symbol tables.
PELTO_EXPORT uint32_t PeltoGetSymbolByName(const char*, uint32_t*) { return 0; }
PELTO_EXPORT uint32_t PeltoGetSymbolByValue(uint32_t, char*, uint32_t) { return 0; }

}  // extern "C"
