// The 8052's peripheral registers: addresses, bits and reset values, declared once for the chip.
#pragma once

#include <array>
#include <cstdint>

namespace chip {

// SFR addresses.
namespace sfr {
inline constexpr uint8_t kPcon = 0x87;
inline constexpr uint8_t kTcon = 0x88;
inline constexpr uint8_t kTmod = 0x89;
inline constexpr uint8_t kTl0 = 0x8A;
inline constexpr uint8_t kTl1 = 0x8B;
inline constexpr uint8_t kTh0 = 0x8C;
inline constexpr uint8_t kTh1 = 0x8D;
inline constexpr uint8_t kScon = 0x98;
inline constexpr uint8_t kSbuf = 0x99;
inline constexpr uint8_t kIe = 0xA8;
inline constexpr uint8_t kIp = 0xB8;
inline constexpr uint8_t kT2con = 0xC8;
inline constexpr uint8_t kRcap2l = 0xCA;
inline constexpr uint8_t kRcap2h = 0xCB;
inline constexpr uint8_t kTl2 = 0xCC;
inline constexpr uint8_t kTh2 = 0xCD;
}  // namespace sfr

// What the chip does when the program touches one of its registers.
struct ChipRegister {
    uint8_t address;
    const char* name;
    bool read_hooked;  // its value depends on the time (counters, flags): brought up to date first
};
inline constexpr std::array kChipRegisters{
    ChipRegister{sfr::kPcon, "PCON", false},  ChipRegister{sfr::kTcon, "TCON", true},
    ChipRegister{sfr::kTmod, "TMOD", false},  ChipRegister{sfr::kTl0, "TL0", true},
    ChipRegister{sfr::kTl1, "TL1", true},     ChipRegister{sfr::kTh0, "TH0", true},
    ChipRegister{sfr::kTh1, "TH1", true},     ChipRegister{sfr::kScon, "SCON", true},
    ChipRegister{sfr::kSbuf, "SBUF", true},   ChipRegister{sfr::kIe, "IE", false},
    ChipRegister{sfr::kIp, "IP", false},      ChipRegister{sfr::kT2con, "T2CON", true},
    ChipRegister{sfr::kRcap2l, "RCAP2L", false}, ChipRegister{sfr::kRcap2h, "RCAP2H", false},
    ChipRegister{sfr::kTl2, "TL2", true},     ChipRegister{sfr::kTh2, "TH2", true},
};

// TCON.
namespace tcon {
inline constexpr uint8_t kTf1 = 0x80;
inline constexpr uint8_t kTr1 = 0x40;
inline constexpr uint8_t kTf0 = 0x20;
inline constexpr uint8_t kTr0 = 0x10;
inline constexpr uint8_t kIe1 = 0x08;
inline constexpr uint8_t kIt1 = 0x04;
inline constexpr uint8_t kIe0 = 0x02;
inline constexpr uint8_t kIt0 = 0x01;
}  // namespace tcon

// TMOD: one nibble per timer, timer 1 in the high nibble.
namespace tmod {
inline constexpr unsigned kTimer1Shift = 4;
inline constexpr uint8_t kGate = 0x08;
inline constexpr uint8_t kCounter = 0x04;  // C/T: count pin edges instead of machine cycles
inline constexpr uint8_t kModeMask = 0x03;
inline constexpr uint8_t kMode13Bit = 0;
inline constexpr uint8_t kMode16Bit = 1;
inline constexpr uint8_t kModeAutoReload = 2;
inline constexpr uint8_t kModeSplit = 3;
}  // namespace tmod

// T2CON.
namespace t2con {
inline constexpr uint8_t kTf2 = 0x80;
inline constexpr uint8_t kExf2 = 0x40;
inline constexpr uint8_t kRclk = 0x20;
inline constexpr uint8_t kTclk = 0x10;
inline constexpr uint8_t kExen2 = 0x08;
inline constexpr uint8_t kTr2 = 0x04;
inline constexpr uint8_t kCounter = 0x02;   // C/T2
inline constexpr uint8_t kCapture = 0x01;   // CP/RL2
}  // namespace t2con

// SCON.
namespace scon {
inline constexpr uint8_t kSm0 = 0x80;
inline constexpr uint8_t kSm1 = 0x40;
inline constexpr uint8_t kSm2 = 0x20;
inline constexpr uint8_t kRen = 0x10;
inline constexpr uint8_t kTb8 = 0x08;
inline constexpr uint8_t kRb8 = 0x04;
inline constexpr uint8_t kTi = 0x02;
inline constexpr uint8_t kRi = 0x01;
inline constexpr unsigned kModeShift = 6;
}  // namespace scon

// PCON.
namespace pcon {
inline constexpr uint8_t kSmod = 0x80;
inline constexpr uint8_t kPowerDown = 0x02;
inline constexpr uint8_t kIdle = 0x01;
}  // namespace pcon

// IE (IP has the same bit positions for the priorities, without EA).
namespace ie {
inline constexpr uint8_t kEa = 0x80;
inline constexpr uint8_t kEt2 = 0x20;
inline constexpr uint8_t kEs = 0x10;
inline constexpr uint8_t kEt1 = 0x08;
inline constexpr uint8_t kEx1 = 0x04;
inline constexpr uint8_t kEt0 = 0x02;
inline constexpr uint8_t kEx0 = 0x01;
inline constexpr uint8_t kSources = kEt2 | kEs | kEt1 | kEx1 | kEt0 | kEx0;
}  // namespace ie

// Time. The serial port and Timer 2 as a baud-rate generator run on the state clock (two
// oscillator periods); everything else on machine cycles.
inline constexpr uint64_t kStatesPerCycle = 6;
inline constexpr uint64_t kNever = ~uint64_t{0};

}  // namespace chip
