// The host service table: every service of pelto.h's lists looked up by name in the host
// module, and typed calls for the ones the extension uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pelto/pelto.h"

namespace host {

using GenericFunction = void (*)();

// Finds one service in the host module; nullptr when the module lacks it.
using Resolver = GenericFunction (*)(uintptr_t module, const char* name);

// Every service by number, the called ones first, in the order of the lists in pelto.h.
#define PELTO_SERVICE_ENUMERATOR(name, ...) k##name,
enum Service : std::size_t {
    PELTO_CALLED_SERVICES(PELTO_SERVICE_ENUMERATOR)
    PELTO_LOOKED_UP_SERVICES(PELTO_SERVICE_ENUMERATOR)
    kServiceCount
};
#undef PELTO_SERVICE_ENUMERATOR

#define PELTO_SERVICE_NAME(name, ...) "Pelto" #name,
inline constexpr std::array<const char*, kServiceCount> kServiceNames{
    PELTO_CALLED_SERVICES(PELTO_SERVICE_NAME)
    PELTO_LOOKED_UP_SERVICES(PELTO_SERVICE_NAME)
};
#undef PELTO_SERVICE_NAME

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

    // One typed call per called service: Services::ReadSFR(...) calls the host's PeltoReadSFR.
#define PELTO_SERVICE_CALL(name, result, parameters, arguments) \
    result name parameters const { return Get<decltype(&Pelto##name)>(k##name) arguments; }
    PELTO_CALLED_SERVICES(PELTO_SERVICE_CALL)
#undef PELTO_SERVICE_CALL

private:
    template <typename F>
    F Get(Service s) const { return reinterpret_cast<F>(entries_[s]); }

    std::array<GenericFunction, kServiceCount> entries_{};
    bool complete_ = false;
};

// The platform lookup: GetProcAddress on Windows, dlsym elsewhere.
GenericFunction PlatformResolve(uintptr_t module, const char* name);

}  // namespace host
