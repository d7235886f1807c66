// Reads through the host that fall back to a safe value when the host does not answer.
//
// What a failed read (the host leaves the output untouched) stands for, by reader:
//  - a register read by the sequencer or the status window: kUnreadIsZero, which is no request,
//    command, mode, sector or completion enable, so nothing starts, commits, erases or signals;
//  - the data pointer and data byte read by the capture: kUnreadRegister, a preset no host
//    fills in, so an unknown address or byte captures nothing;
//  - the opcode at the program counter: kUnreadOpcode (NOP), which neither watch handler acts on;
//  - the code byte the ECC check reads: a byte agreeing with the shadow's check bits (capture.cpp),
//    so a byte that could not be read is never reported as an ECC error;
//  - any other memory byte (the ECC shadow, the password byte): 0.
#pragma once

#include <cstdint>

#include "services/services.h"
#include "regmap.h"

namespace flash {

inline constexpr uint32_t kUnreadIsZero = 0;
inline constexpr uint32_t kUnreadRegister = 0xFFFFFFFF;
inline constexpr uint8_t kUnreadOpcode = 0x00;

// Current value of a register; `absent` when the host leaves the output untouched.
inline uint32_t ReadRegister(const host::Services& host, Reg reg, uint32_t absent = kUnreadIsZero) {
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
