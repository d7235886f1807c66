// Flash register map and memory map.
//
// Every register the extension reads, writes or watches, with its host register identifier and
// reset value; the control and sector-select tables; the banks with their views, sectors and
// write blocks; the operation durations. Everything else in the extension takes identifiers,
// addresses and sizes from here.
//
// Host register identifier: 0xF0 | group | page | SFR address, group 0x00 for the unpaged
// registers and 0x01 for the paged ones; page 0x08 + n is flash page n, page n is system page n.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pelto/pelto.h"

namespace flash {

enum class Reg : uint8_t {
    // Table order is the order of the reset writes; the registers without a reset value follow.
    FAUX,
    FCTL_P0A, FCTL_P0B, FCTL_P1A, FCTL_P1B, FCTL_P2A, FCTL_P2B, FCTL_D0, FCTL_D1,
    FSEL_P0, FSEL_P1, FSEL_P2, FSEL_D0L, FSEL_D0H, FSEL_D1L, FSEL_D1H,
    FMARGIN, FCMD, FPHASE0, FPHASE1, FIRQCFG, FPROT, AUX_E9,
    FPHASE2, NMISTAT, FDATA, DPL, DPH,
};

inline constexpr int16_t kNotReset = -1;

struct RegisterInfo {
    Reg reg;
    std::string_view name;
    uint32_t id;
    int16_t reset;  // value written at reset, or kNotReset
};

inline constexpr std::array kRegisters{
    RegisterInfo{Reg::FAUX, "FAUX", 0xF00108DF, 0x00},
    RegisterInfo{Reg::FCTL_P0A, "FCTL_P0A", 0xF00108D3, 0x20},
    RegisterInfo{Reg::FCTL_P0B, "FCTL_P0B", 0xF00108D4, 0x20},
    RegisterInfo{Reg::FCTL_P1A, "FCTL_P1A", 0xF00109D3, 0x20},
    RegisterInfo{Reg::FCTL_P1B, "FCTL_P1B", 0xF00109D4, 0x20},
    RegisterInfo{Reg::FCTL_P2A, "FCTL_P2A", 0xF0010AD3, 0x20},
    RegisterInfo{Reg::FCTL_P2B, "FCTL_P2B", 0xF0010AD4, 0x20},
    RegisterInfo{Reg::FCTL_D0, "FCTL_D0", 0xF0010BD2, 0x20},
    RegisterInfo{Reg::FCTL_D1, "FCTL_D1", 0xF0010CD2, 0x20},
    RegisterInfo{Reg::FSEL_P0, "FSEL_P0", 0xF00108D5, 0x00},
    RegisterInfo{Reg::FSEL_P1, "FSEL_P1", 0xF00109D5, 0x00},
    RegisterInfo{Reg::FSEL_P2, "FSEL_P2", 0xF0010AD5, 0x00},
    RegisterInfo{Reg::FSEL_D0L, "FSEL_D0L", 0xF0010BD3, 0x00},
    RegisterInfo{Reg::FSEL_D0H, "FSEL_D0H", 0xF0010BD4, 0x00},
    RegisterInfo{Reg::FSEL_D1L, "FSEL_D1L", 0xF0010CD3, 0x00},
    RegisterInfo{Reg::FSEL_D1H, "FSEL_D1H", 0xF0010CD4, 0x00},
    RegisterInfo{Reg::FMARGIN, "FMARGIN", 0xF00108DD, 0x2D},
    RegisterInfo{Reg::FCMD, "FCMD", 0xF00108DE, 0x04},
    RegisterInfo{Reg::FPHASE0, "FPHASE0", 0xF00108D6, 0x1F},
    RegisterInfo{Reg::FPHASE1, "FPHASE1", 0xF00109D6, 0x1F},
    RegisterInfo{Reg::FIRQCFG, "FIRQCFG", 0xF0010BDD, 0x00},
    RegisterInfo{Reg::FPROT, "FPROT", 0xF00102BA, 0x04},
    RegisterInfo{Reg::AUX_E9, "AUX_E9", 0xF00101E9, 0x00},
    RegisterInfo{Reg::FPHASE2, "FPHASE2", 0xF0010FD2, kNotReset},
    RegisterInfo{Reg::NMISTAT, "NMISTAT", 0xF00100BC, kNotReset},
    RegisterInfo{Reg::FDATA, "FDATA", 0xF00108F7, kNotReset},
    RegisterInfo{Reg::DPL, "DPL", 0xF0000082, kNotReset},
    RegisterInfo{Reg::DPH, "DPH", 0xF0000083, kNotReset},
};

constexpr bool RegisterTableInEnumOrder() {
    for (std::size_t i = 0; i < kRegisters.size(); ++i)
        if (static_cast<std::size_t>(kRegisters[i].reg) != i) return false;
    return true;
}
static_assert(RegisterTableInEnumOrder());

constexpr const RegisterInfo& Info(Reg r) { return kRegisters[static_cast<std::size_t>(r)]; }
constexpr uint32_t Id(Reg r) { return Info(r).id; }

// Looks a register up by its name; used by hosts and tools that name registers.
constexpr std::optional<Reg> FindRegister(std::string_view name) {
    for (const auto& info : kRegisters)
        if (info.name == name) return info.reg;
    return std::nullopt;
}

// Only bits 11..0 of the last memory address identify the register a write watch reports.
inline constexpr uint32_t kWatchAddressBits = 0xFFF;
constexpr bool AgreesWith(uint32_t last_address, Reg r) {
    return (last_address & kWatchAddressBits) == (Id(r) & kWatchAddressBits);
}

// ---- Bank control registers ---------------------------------------------------------------

inline constexpr std::array kControls{Reg::FCTL_P0A, Reg::FCTL_P0B, Reg::FCTL_P1A, Reg::FCTL_P1B,
                                      Reg::FCTL_P2A, Reg::FCTL_P2B, Reg::FCTL_D0,  Reg::FCTL_D1};
inline constexpr int kControlCount = static_cast<int>(kControls.size());

constexpr int BankOfControl(int control) { return control < 7 ? control / 2 : 4; }

inline constexpr uint8_t kRequestPwd = 0x01;
inline constexpr uint8_t kRequestRead = 0x02;
inline constexpr uint8_t kRequestErase = 0x04;
inline constexpr uint8_t kRequestProgram = 0x08;
inline constexpr uint8_t kModePwd = 0x10;
inline constexpr uint8_t kModeRead = 0x20;
inline constexpr uint8_t kModeErase = 0x40;
inline constexpr uint8_t kModeProgram = 0x80;

// ---- Sector selects -----------------------------------------------------------------------

inline constexpr std::array kSectorSelects{Reg::FSEL_P0,  Reg::FSEL_P1,  Reg::FSEL_P2, Reg::FSEL_D0L,
                                           Reg::FSEL_D0H, Reg::FSEL_D1L, Reg::FSEL_D1H};

// ---- Command, completion and phase registers ----------------------------------------------

inline constexpr uint8_t kCommandMask = 0x0F;  // FCMD bits with a meaning
inline constexpr uint8_t kCommandStart = 0x06;
inline constexpr uint8_t kCommandIdle = 0x04;  // 6 -> 4 aborts
inline constexpr uint8_t kIrqEnable = 0x01;    // FIRQCFG bit 0
inline constexpr uint8_t kIrqDone = 0x20;      // FIRQCFG bit 5
inline constexpr uint8_t kNmiFlashDone = 0x04; // NMISTAT bit 2
inline constexpr uint8_t kNmiEccError = 0x40;  // NMISTAT bit 6
inline constexpr uint8_t kPhaseStart = 0x00;          // FPHASE0..2 at an erase start
inline constexpr uint8_t kPhaseSecond = 0x1F;         // FPHASE0, FPHASE1 after the first phase
inline constexpr uint8_t kPhaseSecondReference = 0x1E;// FPHASE2 after the first phase
inline constexpr uint8_t kMarginMask = 0x03;          // FMARGIN read-margin bits

// ---- Durations in CPU cycles --------------------------------------------------------------

inline constexpr uint64_t kProgramCycles = 58575;
inline constexpr uint64_t kEraseFirstPhaseCycles = 119990;
inline constexpr uint64_t kEraseSecondPhaseCycles = 2319059;
inline constexpr uint32_t kTimerDisarm = PELTO_TIMER_DISARM;
inline constexpr uint64_t kNoStartTime = ~uint64_t{0};

// ---- Memory map ---------------------------------------------------------------------------

inline constexpr uint32_t kCodeSpace = PELTO_SPACE_CODE;     // host memory address of code byte 0
inline constexpr uint32_t kShadowSpace = PELTO_SPACE_XDATA;  // ECC shadow: external data at the same address
inline constexpr uint32_t kAddressBits = 0xFFFF;

constexpr uint32_t CodeAddress(uint32_t a) { return kCodeSpace | (a & kAddressBits); }
constexpr uint32_t ShadowAddress(uint32_t a) { return kShadowSpace | (a & kAddressBits); }

struct Sector {
    uint16_t offset;
    uint16_t size;
};

// PFLASH pair sectors by FSEL bit.
inline constexpr std::array kPairSectors{Sector{0x0000, 7680}, Sector{0x1E00, 256}, Sector{0x1F00, 256}};
// DFLASH sectors: low select bits 0..7 are sectors 0..7, high select bits 0..1 sectors 8..9.
inline constexpr std::array kDataSectors{
    Sector{0x000, 1024}, Sector{0x400, 1024}, Sector{0x800, 512}, Sector{0xA00, 512}, Sector{0xC00, 256},
    Sector{0xD00, 256},  Sector{0xE00, 128},  Sector{0xE80, 128}, Sector{0xF00, 128}, Sector{0xF80, 128},
};
inline constexpr int kDataSectorsInLowSelect = 8;

struct Bank {
    std::string_view name;
    uint16_t base;         // first address (primary view)
    uint16_t second_view;  // first address of the second view; 0 for a PFLASH pair
    uint16_t size;
    uint16_t write_block;  // bytes per program operation, aligned on their own size
    int first_control;
    int control_count;
    Reg select_low;        // sector select (low for DFLASH)
    std::optional<Reg> select_high;
    bool IsData() const { return control_count == 1; }
};

inline constexpr int kPairCount = 3;
inline constexpr uint16_t kPairBlock = 64;
inline constexpr uint16_t kDataBlock = 32;
inline constexpr std::size_t kCaptureRowSize = kPairBlock;

inline constexpr std::array kBanks{
    Bank{"PFLASH PAIR 0", 0x0000, 0, 0x2000, kPairBlock, 0, 2, Reg::FSEL_P0, std::nullopt},
    Bank{"PFLASH PAIR 1", 0x2000, 0, 0x2000, kPairBlock, 2, 2, Reg::FSEL_P1, std::nullopt},
    Bank{"PFLASH PAIR 2", 0x4000, 0, 0x2000, kPairBlock, 4, 2, Reg::FSEL_P2, std::nullopt},
    Bank{"DFLASH 0", 0xA000, 0x7000, 0x1000, kDataBlock, 6, 1, Reg::FSEL_D0L, Reg::FSEL_D0H},
    Bank{"DFLASH 1", 0xB000, 0x6000, 0x1000, kDataBlock, 7, 1, Reg::FSEL_D1L, Reg::FSEL_D1H},
};
inline constexpr int kBankCount = static_cast<int>(kBanks.size());

// Bank index by address bits 15..12; -1 where no bank lies.
inline constexpr std::array<int8_t, 16> kBankOfNibble{0, 0, 1, 1, 2, 2, 4, 3, -1, -1, 3, 4, -1, -1, -1, -1};

constexpr std::optional<int> BankOfAddress(uint32_t address) {
    const int bank = kBankOfNibble[(address >> 12) & 0xF];
    if (bank < 0) return std::nullopt;
    return bank;
}

// The same offset in the bank's other view (DFLASH only).
constexpr uint16_t OtherView(const Bank& bank, uint16_t address) {
    const uint16_t offset = address & (bank.size - 1);
    const bool in_primary = (address & ~(bank.size - 1)) == bank.base;
    return static_cast<uint16_t>((in_primary ? bank.second_view : bank.base) | offset);
}

// The same offset in the bank's primary view: both views of a DFLASH bank are the same bytes
// (a PFLASH pair has one view, so its addresses are their own).
constexpr uint16_t PrimaryView(const Bank& bank, uint16_t address) {
    return static_cast<uint16_t>(bank.base | (address & (bank.size - 1)));
}

// Code ranges whose data reads are checked against the ECC shadow (inclusive).
struct Range {
    uint16_t first;
    uint16_t last;
};
inline constexpr std::array kWatchedCode{Range{0x0000, 0x7FFF}, Range{0xA000, 0xBFFF}};

// ECC shadow byte layout.
inline constexpr uint8_t kEccValid = 0x10;
inline constexpr uint8_t kEccCheckMask = 0x0F;

// Erase copies this many zero bytes per write.
inline constexpr std::size_t kEraseFillSize = 256;

// Password byte, outside every bank; FPROT follows it.
inline constexpr uint16_t kPasswordAddress = 0xFE80;
inline constexpr uint8_t kProtectEnabled = 0x01;   // password not 0
inline constexpr uint8_t kProtectAll = 0x02;       // password not 0 and bit 7 set
inline constexpr uint8_t kProtectNone = 0x04;      // password 0
inline constexpr uint8_t kPasswordLockBit = 0x80;

constexpr uint8_t ProtectionFromPassword(uint8_t password) {
    if (password == 0) return kProtectNone;
    return (password & kPasswordLockBit) ? kProtectEnabled | kProtectAll : kProtectEnabled;
}

// Opcodes the handlers look at.
inline constexpr uint8_t kOpMovDirectA = 0xF5;
inline constexpr uint8_t kOpMovcPc = 0x83;
inline constexpr uint8_t kOpMovcDptr = 0x93;

}  // namespace flash
