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

// A data pointer the host did not report reads as 0xFFFF, which lies in no bank.
constexpr uint32_t kUnreadRegister = 0xFFFFFFFF;
// An opcode the host did not report reads as NOP, which neither handler acts on.
constexpr uint8_t kUnreadOpcode = 0x00;

}  // namespace

uint8_t EccCheckBits(uint8_t data) { return kCheckTable[data]; }

void CaptureFlashByte(FlashState& state, const host::Services& host) {
    const uint32_t pc = host.GetProgramCounter();
    const uint8_t opcode = ReadByte(host, CodeAddress(pc), kUnreadOpcode);
    const uint32_t dph = ReadRegister(host, Reg::DPH, kUnreadRegister) & 0xFF;
    const uint32_t dpl = ReadRegister(host, Reg::DPL, kUnreadRegister) & 0xFF;
    const auto data = static_cast<uint8_t>(ReadRegister(host, Reg::FDATA));
    const uint32_t address = dph << 8 | dpl;
    const uint8_t shadow = ReadByte(host, ShadowAddress(address));
    const auto new_shadow = static_cast<uint8_t>(shadow | kEccValid | EccCheckBits(data));

    if (opcode != kOpMovDirectA) return;
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
    const uint32_t address = host.GetLastMemoryAddress() & kAddressBits;
    const uint32_t pc = host.GetProgramCounter();
    const uint8_t opcode = ReadByte(host, CodeAddress(pc), kUnreadOpcode);
    const uint8_t shadow = ReadByte(host, ShadowAddress(address));

    if (opcode != kOpMovcPc && opcode != kOpMovcDptr) return;
    if (!(shadow & kEccValid)) return;
    const uint8_t value = ReadByte(host, CodeAddress(address));
    if (EccCheckBits(value) == (shadow & kEccCheckMask)) return;
    WriteRegister(host, Reg::NMISTAT, kNmiEccError, kNmiEccError);
}

}  // namespace flash
