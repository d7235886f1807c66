#include "services.h"

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace host {

bool Services::Resolve(uintptr_t module, Resolver resolve) {
    // Every lookup is made before any is tested.
    for (std::size_t i = 0; i < kServiceCount; ++i) entries_[i] = resolve(module, kServiceNames[i]);
    complete_ = std::all_of(entries_.begin(), entries_.end(), [](GenericFunction f) { return f != nullptr; });
    return complete_;
}

GenericFunction PlatformResolve(uintptr_t module, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<GenericFunction>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
#else
    void* symbol = dlsym(reinterpret_cast<void*>(module), name);
    GenericFunction function = nullptr;
    static_assert(sizeof function == sizeof symbol);
    // dlsym hands back functions as object pointers; copying the bits is the portable way.
    __builtin_memcpy(&function, &symbol, sizeof function);
    return function;
#endif
}

}  // namespace host
