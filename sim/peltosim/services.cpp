// The Pelto services exported by name from the host executable; each acts on the one SimHost.
// Services the host cannot serve without a host (none started yet) fail with 0.
#include <cstdio>

#include "pelto/pelto.h"
#include "sim_host.h"

using peltosim::SimHost;

namespace {
constexpr uint32_t kNoHost = 0;
SimHost* H() { return SimHost::Current(); }
}  // namespace

extern "C" {

PELTO_EXPORT uint32_t PeltoDefineVTR(const char* name, uint32_t type, uint32_t initial) {
    return H() ? H()->DefineVTR(name, type, initial) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoSetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t access) {
    return H() ? H()->SetWatchOnSFR(id, handler, access) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoSetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access) {
    return H() ? H()->SetWatchOnMemory(first, last, handler, access) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoCreateTimer(PeltoHandler callback) { return H() ? H()->CreateTimer(callback) : kNoHost; }
PELTO_EXPORT uint32_t PeltoSetTimer(uint32_t timer, uint32_t cycles) { return H() ? H()->SetTimer(timer, cycles) : kNoHost; }
// A failing GetStates, GetLastMemoryAddress or GetProgramCounter answers 0, as the others fail
// with 0; the host itself keeps using the true values.
PELTO_EXPORT uint64_t PeltoGetStates(void) {
    return H() && !H()->Failing(peltosim::Service::kGetStates) ? H()->GetStates() : kNoHost;
}
PELTO_EXPORT uint32_t PeltoDefineMenuItem(PeltoMenuItem* item) { return H() ? H()->DefineMenuItem(item) : kNoHost; }
PELTO_EXPORT uint32_t PeltoReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) {
    return H() ? H()->ReadSFR(id, value, previous, mask) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoWriteSFR(uint32_t id, uint32_t value, uint32_t mask) {
    return H() ? H()->WriteSFR(id, value, mask) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoReadMemory(uint32_t address, uint32_t count, uint8_t* destination) {
    return H() ? H()->ReadMemory(address, count, destination) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoWriteMemory(uint32_t address, uint32_t count, const uint8_t* source) {
    return H() ? H()->WriteMemory(address, count, source) : kNoHost;
}
PELTO_EXPORT uint32_t PeltoGetLastMemoryAddress(void) {
    return H() && !H()->Failing(peltosim::Service::kGetLastMemoryAddress) ? H()->GetLastMemoryAddress() : kNoHost;
}
PELTO_EXPORT uint32_t PeltoGetProgramCounter(void) {
    return H() && !H()->Failing(peltosim::Service::kGetProgramCounter) ? H()->GetProgramCounter() : kNoHost;
}
PELTO_EXPORT void PeltoHandleFocus(uintptr_t window) {
    if (H() && !H()->Failing(peltosim::Service::kHandleFocus)) H()->HandleFocus(window);
}

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
