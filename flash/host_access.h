// Reads through the host that fall back to a safe value when the host does not answer.
#pragma once

#include <cstdint>

#include "host/services.h"
#include "regmap.h"

namespace flash {

// Current value of a register; `absent` when the host leaves the output untouched.
inline uint32_t ReadRegister(const host::Services& host, Reg reg, uint32_t absent = 0) {
    uint32_t value = absent;
    uint32_t previous = absent;
    host.ReadSFR(Id(reg), &value, &previous, 0xFF);
    return value;
}

inline uint8_t ReadByte(const host::Services& host, uint32_t address, uint8_t absent = 0) {
    uint8_t value = absent;
    host.ReadMemory(address, 1, &value);
    return value;
}

inline void WriteRegister(const host::Services& host, Reg reg, uint8_t value, uint8_t mask = 0xFF) {
    host.WriteSFR(Id(reg), value, mask);
}

}  // namespace flash
