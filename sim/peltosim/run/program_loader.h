// Program images for pelto-sim: reading the files, the checks on what they load, and what the
// flash extension's memory map means for code memory.
//
// A program file must be a regular file of at most kMaxProgramFileBytes. No byte may be loaded
// twice (by two records, two files, or a file and a raw binary). With an extension loaded, the two
// views of a DFLASH bank count as the same bytes, which both views may load with the same value,
// code loaded into either view appears in both, and no code may be loaded where the extension
// writes its ROM images at reset. Without one, code memory is a flat 64 KB (the views are two
// ranges of their own) and the ROM images are missing: the program's jumps into them stop the
// run and are reported as a missing --ext.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/cpu/cpu.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {

inline constexpr std::uintmax_t kMaxProgramFileBytes = 16u << 20;
inline constexpr std::size_t kCodeSize = 0x10000;
using LoadedMask = std::bitset<kCodeSize>;

// Reads a whole program file; false with a reason naming the file.
bool ReadProgramFile(const std::string& path, std::string& contents, std::string& error);

// Loads every image of `options` into `code` and marks the bytes loaded in `loaded`; nothing
// changes unless all of them are sound.
bool LoadPrograms(const Options& options, bool extensions_loaded, std::span<uint8_t, kCodeSize> code,
                  LoadedMask& loaded, std::string& error);

// Without an extension: breakpoints on the ROM image bytes the program did not load itself.
void ArmEmptyRomBreakpoints(sim8051::Cpu& cpu, const LoadedMask& loaded);
// The error for a run that stopped on one of those breakpoints at `pc` (not one of the user's
// --break addresses); nothing otherwise.
std::optional<std::string> EmptyRomError(uint16_t pc, const LoadedMask& loaded, const Options& options);

}  // namespace peltosim
