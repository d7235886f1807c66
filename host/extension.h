// The extension's one instance of state and its entry dispatch.
//
// Contract with the host: PeltoEntry answers ENTRY_CHECK (processor 8051), ENTRY_START (look up
// every host service, define the virtual registers, register the watches and the flash timer, add
// the menu entry, clear the buffers, write the ROM images) and ENTRY_RESET (write the reset
// values of the flash registers). Every other code returns 1 and does nothing. Nothing is ever
// torn down. Failures are reported only as the result 0.
#pragma once

#include <array>
#include <cstdint>

#include "flash/state.h"
#include "services/services.h"

namespace host {

inline constexpr uint32_t kResultFailure = PELTO_RESULT_FAILURE;
inline constexpr uint32_t kResultSuccess = PELTO_RESULT_SUCCESS;

struct VirtualRegister {
    const char* name;
    uint32_t type_code;
    uint32_t initial;
};
inline constexpr uint32_t kVirtualRegisterType = 13;
inline constexpr std::array kVirtualRegisters{
    VirtualRegister{"IVWL0", kVirtualRegisterType, 0}, VirtualRegister{"IVWL1", kVirtualRegisterType, 0},
    VirtualRegister{"IVWL2", kVirtualRegisterType, 0}, VirtualRegister{"IVWL3", kVirtualRegisterType, 0},
};

inline constexpr uint32_t kAccessAfterWrite = PELTO_ACCESS_AFTER_WRITE;
inline constexpr uint32_t kAccessOnRead = PELTO_ACCESS_ON_READ;

struct Extension {
    PeltoStartupRecord startup{};
    Services services;
    std::array<uint32_t, kVirtualRegisters.size()> virtual_registers{};
    flash::FlashState flash;
};

// The instance the registered handlers act on.
Extension& TheExtension();

// PeltoEntry with the service lookup made explicit (tests hand in a fake host's resolver).
uint32_t Entry(uint32_t code, void* record, Resolver resolve);

uint32_t StartUp(Extension& ext, const PeltoStartupRecord& record, Resolver resolve);
uint32_t Reset(const Extension& ext);

}  // namespace host
