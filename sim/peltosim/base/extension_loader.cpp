#include "sim/peltosim/base/extension_loader.h"

#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace peltosim {
namespace {

#if defined(_WIN32)
void* Open(const std::string& path, std::string& why) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) why = "Windows error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}
PeltoEntryFunction FindEntry(void* library) {
    return reinterpret_cast<PeltoEntryFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), "PeltoEntry")));
}
uintptr_t HostModule() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }
void Close(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* Open(const std::string& path, std::string& why) {
    // A path without a slash would be searched for; name the file itself instead.
    const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* text = dlerror();
        why = text ? text : "unknown loader error";
    }
    return library;
}
PeltoEntryFunction FindEntry(void* library) {
    void* symbol = dlsym(library, "PeltoEntry");
    PeltoEntryFunction entry = nullptr;
    std::memcpy(&entry, &symbol, sizeof entry);
    return entry;
}
uintptr_t HostModule() { return reinterpret_cast<uintptr_t>(dlopen(nullptr, RTLD_NOW)); }
void Close(void* library) { dlclose(library); }
#endif

}  // namespace

bool LoadExtension(const std::string& path, LoadedExtension& out, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        error = "extension '" + path + "': no such file";
        return false;
    }
    std::string why;
    void* library = Open(path, why);
    if (library == nullptr) {
        error = "extension '" + path + "': not a loadable library (" + why + ")";
        return false;
    }
    const PeltoEntryFunction entry = FindEntry(library);
    if (entry == nullptr) {
        Close(library);
        error = "extension '" + path + "': the library has no PeltoEntry export";
        return false;
    }
    PeltoCheckRecord check{PELTO_PROCESSOR_8051};
    if (entry(PELTO_ENTRY_CHECK, &check) == 0) {
        error = "extension '" + path + "': refuses the 8051 processor";
        return false;
    }
    out = {path, library, entry};
    return StartExtension(out, error);
}

bool StartExtension(const LoadedExtension& extension, std::string& error) {
    PeltoStartupRecord startup{HostModule(), {0, 0, 0, 0}};
    if (extension.entry == nullptr || extension.entry(PELTO_ENTRY_START, &startup) == 0) {
        error = "extension '" + extension.path + "': start-up failed";
        return false;
    }
    return true;
}

void UnloadExtension(LoadedExtension& extension) {
    if (extension.library != nullptr) Close(extension.library);
    extension.library = nullptr;
    extension.entry = nullptr;
}

uint32_t ResetExtension(const LoadedExtension& extension) {
    return extension.entry != nullptr ? extension.entry(PELTO_ENTRY_RESET, nullptr) : PELTO_RESULT_FAILURE;
}

}  // namespace peltosim
