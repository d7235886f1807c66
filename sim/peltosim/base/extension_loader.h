// Loads an extension library as a host does: open it, find PeltoEntry, ask ENTRY_CHECK with the
// 8051 processor type, then ENTRY_START with this executable's module handle.
#pragma once

#include <cstdint>
#include <string>

#include "pelto/pelto.h"

namespace peltosim {

struct LoadedExtension {
    std::string path;
    void* library = nullptr;
    PeltoEntryFunction entry = nullptr;
};

// Opens, checks and starts the extension; on failure `error` says why, in one line.
bool LoadExtension(const std::string& path, LoadedExtension& out, std::string& error);

// ENTRY_START again, as at power-on.
bool StartExtension(const LoadedExtension& extension, std::string& error);

// Closes the library (its globals go with it unless the system keeps it loaded); `extension`
// keeps its path for a later LoadExtension.
void UnloadExtension(LoadedExtension& extension);

// ENTRY_RESET; returns the extension's result.
uint32_t ResetExtension(const LoadedExtension& extension);

}  // namespace peltosim
