#include "capture.h"

#include <array>

#include "host_access.h"

namespace flash {
namespace {

constexpr std::array<uint8_t, 8> kDataBitPositions{3, 5, 6, 7, 9, 10, 11, 12};

constexpr std::array<uint8_t, 256> MakeCheckTable() {
    std::array<uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned check = 0;
        for (unsigned bit = 0; bit < 8; ++bit)
            if (value & (1u << bit)) check ^= kDataBitPositions[bit];
        table[value] = static_cast<uint8_t>(check);
    }
    return table;
}
constexpr auto kCheckTable = MakeCheckTable();
static_assert(kCheckTable[0x01] == 0x3 && kCheckTable[0x80] == 0xC);

// A data pointer or data byte left at kUnreadRegister captures nothing (any stand-in could put a
// byte where it does not belong). Any other value counts by its low 8 bits: a host need not mask
// its 32-bit output.
constexpr uint32_t kByteMax = 0xFF;
// A read watch reports the code address of a flash byte; any other last address (0 from a host
// that did not answer) names no byte with a shadow, and nothing is checked.
constexpr uint32_t kSpaceBits = PELTO_SPACE_MASK;

// A byte with the given check bits, for each nibble: what a code byte the host did not report
// reads as, so that a byte that could not be read is never reported as an ECC error.
constexpr std::size_t kCheckValues = kEccCheckMask + 1u;
constexpr std::array<uint8_t, kCheckValues> MakeAgreeingTable() {
    std::array<uint8_t, kCheckValues> table{};
    for (unsigned value = 256; value-- > 0;) table[kCheckTable[value]] = static_cast<uint8_t>(value);
    return table;
}
constexpr auto kByteWithCheck = MakeAgreeingTable();
static_assert(kCheckTable[kByteWithCheck[0x3]] == 0x3 && kCheckTable[kByteWithCheck[0xC]] == 0xC);

}  // namespace

uint8_t EccCheckBits(uint8_t data) { return kCheckTable[data]; }

void CaptureFlashByte(FlashState& state, const host::Services& host) {
    const uint32_t pc = host.GetProgramCounter();
    const uint8_t opcode = ReadByte(host, CodeAddress(pc), kUnreadOpcode);
    const uint32_t dph = ReadRegister(host, Reg::DPH, kUnreadRegister);
    const uint32_t dpl = ReadRegister(host, Reg::DPL, kUnreadRegister);
    const uint32_t fdata = ReadRegister(host, Reg::FDATA, kUnreadRegister);
    const auto data = static_cast<uint8_t>(fdata);
    const uint32_t address = (dph & kByteMax) << 8 | (dpl & kByteMax);
    const uint8_t shadow = ReadByte(host, ShadowAddress(address));
    const auto new_shadow = static_cast<uint8_t>(shadow | kEccValid | EccCheckBits(data));

    if (opcode != kOpMovDirectA) return;
    if (dph == kUnreadRegister || dpl == kUnreadRegister || fdata == kUnreadRegister) return;
    const auto bank_index = BankOfAddress(address);
    if (!bank_index) return;

    const Bank& bank = kBanks[*bank_index];
    state.capture[*bank_index][address & (bank.write_block - 1u)] = data;
    state.last_captured[*bank_index] = address;
    state.captured[*bank_index] = true;
    if (!bank.IsData()) {
        host.WriteMemory(ShadowAddress(address), 1, &new_shadow);
        return;
    }
    const uint32_t offset = address & (bank.size - 1u);
    host.WriteMemory(ShadowAddress(bank.base | offset), 1, &new_shadow);
    host.WriteMemory(ShadowAddress(bank.second_view | offset), 1, &new_shadow);
}

void CheckFlashReadEcc(FlashState&, const host::Services& host) {
    const uint32_t last = host.GetLastMemoryAddress();
    const uint32_t address = last & kAddressBits;
    const uint32_t pc = host.GetProgramCounter();
    const uint8_t opcode = ReadByte(host, CodeAddress(pc), kUnreadOpcode);
    const uint8_t shadow = ReadByte(host, ShadowAddress(address));

    if (opcode != kOpMovcPc && opcode != kOpMovcDptr) return;
    if ((last & kSpaceBits) != kCodeSpace || !BankOfAddress(address)) return;
    if (!(shadow & kEccValid)) return;
    const uint8_t value = ReadByte(host, CodeAddress(address), kByteWithCheck[shadow & kEccCheckMask]);
    if (EccCheckBits(value) == (shadow & kEccCheckMask)) return;
    WriteRegister(host, Reg::NMISTAT, kNmiEccError, kNmiEccError);
}

}  // namespace flash
