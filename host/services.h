// The host service table: the 34 services looked up by name in the host module, and typed
// calls for the 14 that the extension uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pelto/pelto.h"

namespace host {

using GenericFunction = void (*)();

// Finds one service in the host module; nullptr when the module lacks it.
using Resolver = GenericFunction (*)(uintptr_t module, const char* name);

enum Service : std::size_t {
    kDefineVTR, kSetWatchOnSFR, kSetWatchOnMemory, kCreateTimer, kSetTimer, kGetStates,
    kDefineMenuItem, kReadSFR, kWriteSFR, kReadMemory, kWriteMemory, kGetLastMemoryAddress,
    kGetProgramCounter, kHandleFocus,
    // Looked up, never called.
    kDefineSFR, kDeclareInterrupt, kSetWatchOnVTR, kWriteVTR, kReadVTR, kSetSFRReadValue,
    kIsSimulatorAccess, kIsInInterrupt, kIsSleeping, kStopSimulator, kTriggerReset,
    kUpdateWindows, kGetExternalClockRate, kGetInternalClockRate, kGetClockFactor, kMessage,
    kGetTargetKey, kSetTargetKey, kGetSymbolByName, kGetSymbolByValue,
    kServiceCount
};

inline constexpr std::array<const char*, kServiceCount> kServiceNames{
    "PeltoDefineVTR", "PeltoSetWatchOnSFR", "PeltoSetWatchOnMemory", "PeltoCreateTimer",
    "PeltoSetTimer", "PeltoGetStates", "PeltoDefineMenuItem", "PeltoReadSFR", "PeltoWriteSFR",
    "PeltoReadMemory", "PeltoWriteMemory", "PeltoGetLastMemoryAddress", "PeltoGetProgramCounter",
    "PeltoHandleFocus",
    "PeltoDefineSFR", "PeltoDeclareInterrupt", "PeltoSetWatchOnVTR", "PeltoWriteVTR",
    "PeltoReadVTR", "PeltoSetSFRReadValue", "PeltoIsSimulatorAccess", "PeltoIsInInterrupt",
    "PeltoIsSleeping", "PeltoStopSimulator", "PeltoTriggerReset", "PeltoUpdateWindows",
    "PeltoGetExternalClockRate", "PeltoGetInternalClockRate", "PeltoGetClockFactor",
    "PeltoMessage", "PeltoGetTargetKey", "PeltoSetTargetKey", "PeltoGetSymbolByName",
    "PeltoGetSymbolByValue",
};

class Services {
public:
    // Looks up every service, then reports whether all were found. The table is filled with
    // what was found either way.
    bool Resolve(uintptr_t module, Resolver resolve);
    // Whether the last lookup found every service; nothing may be called otherwise.
    bool Complete() const { return complete_; }
    void Clear() {
        entries_ = {};
        complete_ = false;
    }

    uint32_t DefineVTR(const char* name, uint32_t type, uint32_t initial) const {
        return Get<decltype(&PeltoDefineVTR)>(kDefineVTR)(name, type, initial);
    }
    uint32_t SetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t access) const {
        return Get<decltype(&PeltoSetWatchOnSFR)>(kSetWatchOnSFR)(id, handler, access);
    }
    uint32_t SetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access) const {
        return Get<decltype(&PeltoSetWatchOnMemory)>(kSetWatchOnMemory)(first, last, handler, access);
    }
    uint32_t CreateTimer(PeltoHandler callback) const {
        return Get<decltype(&PeltoCreateTimer)>(kCreateTimer)(callback);
    }
    uint32_t SetTimer(uint32_t timer, uint32_t cycles) const {
        return Get<decltype(&PeltoSetTimer)>(kSetTimer)(timer, cycles);
    }
    uint64_t GetStates() const { return Get<decltype(&PeltoGetStates)>(kGetStates)(); }
    uint32_t DefineMenuItem(PeltoMenuItem* item) const {
        return Get<decltype(&PeltoDefineMenuItem)>(kDefineMenuItem)(item);
    }
    uint32_t ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) const {
        return Get<decltype(&PeltoReadSFR)>(kReadSFR)(id, value, previous, mask);
    }
    uint32_t WriteSFR(uint32_t id, uint32_t value, uint32_t mask) const {
        return Get<decltype(&PeltoWriteSFR)>(kWriteSFR)(id, value, mask);
    }
    uint32_t ReadMemory(uint32_t address, uint32_t count, uint8_t* destination) const {
        return Get<decltype(&PeltoReadMemory)>(kReadMemory)(address, count, destination);
    }
    uint32_t WriteMemory(uint32_t address, uint32_t count, const uint8_t* source) const {
        return Get<decltype(&PeltoWriteMemory)>(kWriteMemory)(address, count, source);
    }
    uint32_t GetLastMemoryAddress() const {
        return Get<decltype(&PeltoGetLastMemoryAddress)>(kGetLastMemoryAddress)();
    }
    uint32_t GetProgramCounter() const {
        return Get<decltype(&PeltoGetProgramCounter)>(kGetProgramCounter)();
    }
    void HandleFocus(uintptr_t window) const { Get<decltype(&PeltoHandleFocus)>(kHandleFocus)(window); }

private:
    template <typename F>
    F Get(Service s) const { return reinterpret_cast<F>(entries_[s]); }

    std::array<GenericFunction, kServiceCount> entries_{};
    bool complete_ = false;
};

// The platform lookup: GetProcAddress on Windows, dlsym elsewhere.
GenericFunction PlatformResolve(uintptr_t module, const char* name);

}  // namespace host
