// What pelto-sim records while the program runs: the trace on standard error (flash events,
// and with --trace=registers every flash register write and timer event as well) and the
// value change dump of the flash registers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/out/flash_trace.h"
#include "sim/peltosim/out/vcd_writer.h"

namespace peltosim {

enum class TraceMode : uint8_t { kOff, kEvents, kRegisters };

class Recorder : public Observer {
public:
    // With a trace, the operations are taken from `tracker`, which the host must report to.
    Recorder(const SimHost& host, TraceMode trace, FlashTracker& tracker);
    // Starts the dump with every signal's value as it stands (call after the reset).
    bool OpenVcd(const std::string& path, uint32_t clock_hz, std::string& error);
    void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) override;
    void TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) override;
    void TimerExpired(uint64_t cycle, uint32_t timer) override;
    void ChipReset(uint64_t cycle, bool power_cut) override;
    // Ends the trace and the dump; false with the first output error.
    bool Finish(uint64_t end_cycle, std::string& error);

private:
    // DPTR and the PC, and the end of a reset's pulse, before a change at `cycle`.
    void Sample(uint64_t cycle);
    const SimHost& host_;
    TraceMode trace_;
    FlashTrace events_;
    VcdWriter vcd_;
    std::optional<std::pair<uint64_t, std::size_t>> pulse_;  // a reset signal high since that cycle
};

}  // namespace peltosim
