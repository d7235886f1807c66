// What the extension must never do, whatever the host reports or refuses, checked over the fake
// host's call log: shared by the host-event fuzzer and the host-fault tests.
//
//  - A bank control is only ever written a whole mode value (0x10, 0x20, 0x40, 0x80).
//  - Registers are written only among the flash registers, with the masks 0xFF, 0x40, 0x20, 0x04.
//  - Memory writes, failed ones included, lie wholly inside one bank or its ECC shadow.
//  - Memory reads are one byte of code or external data memory.
//  - The flash timer is only armed with one of the three durations, or disarmed.
//  - Both views of each DFLASH bank hold the same bytes, in code and in the shadow.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "flash/regmap.h"
#include "tests/fake_host.h"

namespace flash_invariants {

inline constexpr uint64_t kSpaceBits = 0xFF000000;  // host memory address: the space
inline constexpr uint64_t kAddressFields = kSpaceBits | flash::kAddressBits;

inline bool InBankOrShadow(uint64_t address, uint64_t count) {
    const uint64_t space = address & kSpaceBits;
    if (space != flash::kCodeSpace && space != flash::kShadowSpace) return false;
    if ((address & ~kAddressFields) != 0 || count == 0) return false;
    const uint64_t first = address & flash::kAddressBits;
    const uint64_t last = first + count - 1;
    if (last > flash::kAddressBits) return false;
    const auto bank = flash::BankOfAddress(static_cast<uint32_t>(first));
    return bank && flash::BankOfAddress(static_cast<uint32_t>(last)) == bank;
}

inline bool IsControl(uint64_t id) {
    for (flash::Reg control : flash::kControls)
        if (id == flash::Id(control)) return true;
    return false;
}

inline bool IsFlashRegister(uint64_t id) {
    for (const auto& info : flash::kRegisters)
        if (id == info.id) return true;
    return false;
}

inline bool IsModeValue(uint64_t v) {
    return v == flash::kModePwd || v == flash::kModeRead || v == flash::kModeErase || v == flash::kModeProgram;
}

inline bool IsWriteMask(uint64_t mask) {
    return mask == 0xFF || mask == flash::kNmiEccError || mask == flash::kIrqDone || mask == flash::kNmiFlashDone;
}

inline bool IsTimerCount(uint64_t count) {
    return count == flash::kProgramCycles || count == flash::kEraseFirstPhaseCycles ||
           count == flash::kEraseSecondPhaseCycles || count == flash::kTimerDisarm;
}

inline std::string Hex(uint64_t v) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return "0x" + out;
}

// The first broken invariant among the calls from `from` on and in the views as they stand;
// empty when all hold.
inline std::string BrokenInvariant(const testing_host::FakeHost& h, std::size_t from) {
    for (std::size_t i = from; i < h.calls.size(); ++i) {
        const auto& call = h.calls[i];
        const auto& a = call.args;
        if (call.service == "PeltoWriteSFR") {
            if (!IsFlashRegister(a[0])) return "write of a register outside the flash map: " + Hex(a[0]);
            if (!IsWriteMask(a[2])) return "register " + Hex(a[0]) + " written with mask " + Hex(a[2]);
            if (IsControl(a[0]) && !IsModeValue(a[1])) return "control " + Hex(a[0]) + " written " + Hex(a[1]);
        } else if (call.service == "PeltoWriteMemory") {
            if (!InBankOrShadow(a[0], a[1])) return "memory write outside the banks: " + Hex(a[0]) + " +" + Hex(a[1]);
        } else if (call.service == "PeltoReadMemory") {
            const uint64_t space = a[0] & kSpaceBits;
            if (a[1] != 1 || (space != flash::kCodeSpace && space != flash::kShadowSpace))
                return "memory read of " + Hex(a[1]) + " bytes at " + Hex(a[0]);
        } else if (call.service == "PeltoSetTimer") {
            if (!IsTimerCount(a[1])) return "timer armed for " + Hex(a[1]) + " cycles";
        }
    }
    for (int b = flash::kPairCount; b < flash::kBankCount; ++b) {
        const auto& bank = flash::kBanks[b];
        for (const auto* memory : {&h.code, &h.xdata}) {
            const auto primary = memory->begin() + bank.base;
            const auto second = memory->begin() + bank.second_view;
            if (std::memcmp(&*primary, &*second, bank.size) == 0) continue;
            const auto differs = std::mismatch(primary, primary + bank.size, second).first;
            if (differs != primary + bank.size)
                return std::string(memory == &h.code ? "code" : "shadow") + " views differ in " + std::string(bank.name) +
                       " at offset " + Hex(static_cast<uint64_t>(differs - primary));
        }
    }
    return {};
}

}  // namespace flash_invariants
