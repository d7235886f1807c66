// An extension that crashes when it is started after a power cut (the host's cycle count is no
// longer 0): a cut run that crashes, for the sweep's report.
#include <csignal>
#include <cstring>

#include <dlfcn.h>

#include "pelto/pelto.h"

extern "C" PELTO_EXPORT uint32_t PeltoEntry(uint32_t code, void* record) {
    if (code != PELTO_ENTRY_START || record == nullptr) return PELTO_RESULT_SUCCESS;
    PeltoStartupRecord startup;
    std::memcpy(&startup, record, sizeof startup);
    void* symbol = dlsym(reinterpret_cast<void*>(startup.host_module), "PeltoGetStates");
    uint64_t (*states)() = nullptr;
    std::memcpy(&states, &symbol, sizeof states);
    if (states != nullptr && states() != 0) std::raise(SIGSEGV);
    return PELTO_RESULT_SUCCESS;
}
