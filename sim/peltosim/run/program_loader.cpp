#include "sim/peltosim/run/program_loader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "flash/regmap.h"
#include "flash/rom/images.h"
#include "sim/cpu/ihex.h"
#include "sim/peltosim/base/numbers.h"

namespace peltosim {
namespace {

constexpr std::uintmax_t kBytesPerMegabyte = 1u << 20;

// The primary-view address of a byte: both views of a DFLASH bank are the same flash.
uint16_t Canonical(uint16_t address) {
    const auto bank = flash::BankOfAddress(address);
    if (!bank) return address;
    return flash::PrimaryView(flash::kBanks[*bank], address);
}

std::optional<uint16_t> OtherView(uint16_t address) {
    const auto bank = flash::BankOfAddress(address);
    if (!bank || !flash::kBanks[*bank].IsData()) return std::nullopt;
    return flash::OtherView(flash::kBanks[*bank], address);
}

const flash::rom::ImageLayout* RomImageAt(uint16_t address) {
    for (const auto& image : flash::rom::kImageLayout)
        if (address >= image.address && address < image.address + image.size) return &image;
    return nullptr;
}

// Who loaded each byte, for naming both sides of an overlap. With the flash extension the two
// views of a DFLASH byte are one byte: the same value loaded into both agrees with itself and is
// accepted. Without it, code memory is a flat 64 KB and every address is a byte of its own.
class Owners {
public:
    explicit Owners(bool flash_views) : owner_(kCodeSize), flash_views_(flash_views) {}
    // False with the error when `address` was loaded before.
    bool Claim(uint16_t address, uint8_t value, const std::string& who, std::string& error) {
        auto& slot = owner_[flash_views_ ? Canonical(address) : address];
        if (slot && slot->address != address && slot->value == value) return true;
        if (slot) {
            const std::string same_byte =
                slot->address != address ? " with another value (" + Hex(slot->address, 4) + " and " + Hex(address, 4) +
                                               " are the same DFLASH byte)"
                                         : "";
            error = who + " loads " + Hex(address, 4) + ", already loaded by " + names_[slot->who] + same_byte;
            return false;
        }
        if (names_.empty() || names_.back() != who) names_.push_back(who);
        slot = Owner{names_.size() - 1, address, value};
        return true;
    }

private:
    struct Owner {
        std::size_t who;
        uint16_t address;
        uint8_t value;
    };
    std::vector<std::optional<Owner>> owner_;
    std::vector<std::string> names_;
    bool flash_views_;
};

bool CheckPlacement(uint16_t address, bool extensions_loaded, const std::string& who, std::string& error) {
    if (!extensions_loaded) return true;
    const auto* image = RomImageAt(address);
    if (!image) return true;
    error = who + " loads " + Hex(address, 4) + ", inside the " + std::string(image->name) + " (" + Hex(image->address, 4) +
            "-" + Hex(image->address + image->size - 1u, 4) + ") that the extension writes at reset";
    return false;
}

// Marks and checks one loaded byte.
bool Place(uint16_t address, uint8_t value, bool extensions_loaded, const std::string& who, Owners& owners,
           LoadedMask& loaded, std::string& error) {
    if (!CheckPlacement(address, extensions_loaded, who, error) || !owners.Claim(address, value, who, error)) return false;
    loaded.set(address);
    return true;
}

}  // namespace

bool ReadProgramFile(const std::string& path, std::string& contents, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        error = "'" + path + "': cannot read the file (no such file)";
        return false;
    }
    if (fs::is_directory(status)) {
        error = "'" + path + "': is a directory, not a program file";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        error = "'" + path + "': not a regular file (a device, pipe or socket cannot be a program file)";
        return false;
    }
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxProgramFileBytes) {
        error = "'" + path + "': larger than " + std::to_string(kMaxProgramFileBytes / kBytesPerMegabyte) +
                " MB, not a program for 64 KB of code memory";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "'" + path + "': cannot read the file";
        return false;
    }
    contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "'" + path + "': cannot read the file";
        return false;
    }
    return true;
}

bool LoadPrograms(const Options& options, bool extensions_loaded, std::span<uint8_t, kCodeSize> code,
                  LoadedMask& loaded, std::string& error) {
    std::vector<uint8_t> scratch(code.begin(), code.end());
    LoadedMask marks;
    Owners owners(extensions_loaded);
    for (const auto& path : options.hex_files) {
        std::string text;
        if (!ReadProgramFile(path, text, error)) return false;
        std::vector<uint8_t> image(kCodeSize);
        const auto result = sim8051::LoadIntelHex(text, std::span<uint8_t, kCodeSize>(image.data(), kCodeSize));
        if (!result.ok) {
            error = "'" + path + "' line " + std::to_string(result.line) + ": " + result.error;
            return false;
        }
        for (const auto& record : result.records) {
            const std::string who = "'" + path + "' line " + std::to_string(record.line);
            for (uint32_t i = 0; i < record.count; ++i) {
                const auto address = static_cast<uint16_t>(record.address + i);
                if (!Place(address, image[address], extensions_loaded, who, owners, marks, error)) return false;
                scratch[address] = image[address];
            }
        }
    }
    for (const auto& bin : options.binaries) {
        std::string bytes;
        if (!ReadProgramFile(bin.path, bytes, error)) return false;
        if (bytes.size() > kCodeSize - bin.address) {
            error = "'" + bin.path + "': " + std::to_string(bytes.size()) + " bytes do not fit in code memory at " +
                    Hex(bin.address, 4);
            return false;
        }
        const std::string who = "'" + bin.path + "'";
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const auto address = static_cast<uint16_t>(bin.address + i);
            const auto value = static_cast<uint8_t>(bytes[i]);
            if (!Place(address, value, extensions_loaded, who, owners, marks, error)) return false;
            scratch[address] = value;
        }
    }
    if (extensions_loaded) {
        for (std::size_t a = 0; a < kCodeSize; ++a) {
            if (!marks.test(a)) continue;
            const auto other = OtherView(static_cast<uint16_t>(a));
            if (!other) continue;
            scratch[*other] = scratch[a];
            marks.set(*other);
        }
    }
    std::copy(scratch.begin(), scratch.end(), code.begin());
    loaded = marks;
    return true;
}

void ArmEmptyRomBreakpoints(sim8051::Cpu& cpu, const LoadedMask& loaded) {
    for (const auto& image : flash::rom::kImageLayout)
        for (uint32_t a = image.address; a < image.address + image.size; ++a)
            if (!loaded.test(a)) cpu.SetBreakpoint(static_cast<uint16_t>(a), true);
}

std::optional<std::string> EmptyRomError(uint16_t pc, const LoadedMask& loaded, const Options& options) {
    const auto* image = RomImageAt(pc);
    if (!image || loaded.test(pc)) return std::nullopt;
    if (std::ranges::find(options.breakpoints, pc) != options.breakpoints.end()) return std::nullopt;
    std::string what = "the " + std::string(image->name);
    for (std::size_t i = 0; i < flash::rom::kEntryTable.size(); ++i)
        if (flash::rom::EntryAddress(i) == pc) what = std::string(flash::rom::kEntryTable[i].name) + " in the ROM entry table";
    for (const auto& entry : flash::rom::kArithmeticEntries)
        if (entry.address == pc) what = std::string(entry.name) + " in the arithmetic library";
    return "the program jumped to " + Hex(pc, 4) + " (" + what +
           "), but the ROM is empty: no extension is loaded; load the flash extension with --ext";
}

}  // namespace peltosim
