// The 8052-class chip around the CPU core: timers 0-2, the serial port, the interrupt system
// (with the flash's NMI) and PCON's idle and power-down modes.
//
// Contract with the host that runs the core:
//  - The host routes program accesses of the chip's registers (kChipRegisters) here: Read() on
//    a read of a read-hooked one, Write() after the core stored a write (with the value the
//    array held before), and OnReti() from the core's RETI hook.
//  - Peripherals are not ticked: they compute their state from the cycle count when asked. The
//    host runs the core no further than NextEvent() and calls Boundary() at every instruction
//    boundary where it stopped; Boundary() brings the peripherals to the current cycle and takes
//    an interrupt when one is due. Anything that can change a request (a write of a chip
//    register, RETI, the NMI line) calls the core's Attention(), so the core stops at the next
//    boundary; while nothing is pending the core runs with no interrupt test at all.
//  - The NMI line (NMISTAT AND NMICON) is the host's: it answers through NmiLine.
// Not modelled: port pins (external interrupts, counter inputs, GATE, the T2EX capture input,
// serial pins), the watchdog and anything beyond the 8052.
#pragma once

#include <cstdint>

#include "interrupts.h"
#include "serial.h"
#include "sim/cpu/cpu.h"
#include "timers.h"

namespace chip {

struct NmiLine {
    bool (*requested)(void* ctx) = nullptr;  // a flag set with its enable set
    bool (*enabled)(void* ctx) = nullptr;    // any enable set
    void* ctx = nullptr;
};

enum class Power : uint8_t { kRunning, kIdle, kPowerDown };

class Chip {
public:
    explicit Chip(sim8051::Cpu& cpu);

    // Marks the chip's registers as hooked in the core.
    void AttachHooks();
    void SetNmiLine(const NmiLine& line) { nmi_ = line; }
    SerialPort& serial() { return serial_; }
    const InterruptController& interrupts() const { return interrupts_; }

    // The peripherals and the interrupt system to their reset state; call after the core's
    // Reset(), which cleared the SFRs.
    void Reset();

    static bool Owns(uint8_t address);
    uint8_t Read(uint8_t address);
    void Write(uint8_t address, uint8_t value, uint8_t previous);
    void OnReti();
    // The NMI line may have changed (an extension wrote NMISTAT, the program NMICON).
    void NmiChanged() { cpu_.Attention(); }

    // Brings every peripheral to the core's cycle count.
    void Sync();
    // At an instruction boundary: brings the peripherals up to date and, unless the last
    // instruction holds requests back, enters the interrupt that is due. True when one was taken.
    bool Boundary();
    // The instruction just completed held requests back: the next one runs first.
    bool Held() const { return interrupts_.Held(); }
    void ReleaseHold() { interrupts_.Release(); }
    // The cycle of the next peripheral event (a flag set, a frame done), or kNever.
    uint64_t NextEvent() const;
    Power power() const;
    // Whether an interrupt could ever end an idle loop or idle mode.
    bool CanInterrupt() const;
    // How many interrupts were entered, per source (the NMI last).
    const std::array<uint64_t, kInterruptSources.size() + 1>& entries() const { return entries_; }

private:
    uint64_t AccessCycle() const;
    void SyncTo(uint64_t now);
    // Brings every peripheral to cycle `now`, taking the flags' sample of the cycle before on
    // the way: what a poll at `now` sees.
    void AdvanceTo(uint64_t now);

    sim8051::Cpu& cpu_;
    SfrArray sfrs_;
    Timers01 timers_;
    Timer2 timer2_;
    SerialPort serial_;
    InterruptController interrupts_;
    NmiLine nmi_;
    uint64_t poll_at_ = 0;  // a boundary where a flag set at the last one is polled
    uint64_t synced_ = 0;   // the cycle the peripherals were last brought to
    FlagSample sampled_{};  // the flags as they were in the cycle before synced_
    std::array<uint64_t, kInterruptSources.size() + 1> entries_{};
};

}  // namespace chip
