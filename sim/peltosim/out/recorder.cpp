#include "sim/peltosim/out/recorder.h"

#include <cerrno>
#include <cinttypes>
#include <vector>

#include "flash/regmap.h"
#include "sim/peltosim/base/output_file.h"

namespace peltosim {
namespace {

constexpr unsigned kRegisterBits = 8;
constexpr unsigned kPcBits = 16;
// After the registers: the timer, the PC, and one cycle's pulse at each reset and power cut.
constexpr std::size_t kTimerSignal = flash::kRegisters.size();
constexpr std::size_t kPcSignal = kTimerSignal + 1;
constexpr std::size_t kResetSignal = kPcSignal + 1;
constexpr std::size_t kPowerCutSignal = kResetSignal + 1;
constexpr std::string_view kTimerSignalName = "flash_timer_armed";
constexpr std::string_view kPcSignalName = "pc";
constexpr std::string_view kResetSignalName = "reset";
constexpr std::string_view kPowerCutSignalName = "power_cut";

std::optional<std::size_t> FlashRegisterIndex(uint32_t id) {
    for (std::size_t i = 0; i < flash::kRegisters.size(); ++i)
        if (flash::kRegisters[i].id == id) return i;
    return std::nullopt;
}

}  // namespace

Recorder::Recorder(const SimHost& host, TraceMode trace, FlashTracker& tracker)
    : host_(host), trace_(trace), events_(host, tracker, stderr) {
    if (trace_ != TraceMode::kOff) tracker.AddListener(&events_);
}

bool Recorder::OpenVcd(const std::string& path, uint32_t clock_hz, std::string& error) {
    std::vector<VcdSignal> signals;
    for (const auto& info : flash::kRegisters) {
        const auto v = host_.sfrs().Read(info.id);
        signals.push_back({info.name, kRegisterBits, v ? v->current : 0u});
    }
    signals.push_back({kTimerSignalName, 1, 0});
    signals.push_back({kPcSignalName, kPcBits, host_.cpu().Pc()});
    signals.push_back({kResetSignalName, 1, 0});
    signals.push_back({kPowerCutSignalName, 1, 0});
    return vcd_.Open(path, "flash", signals, clock_hz, error);
}

// DPL, DPH and the PC change without a host hook: sampled at every flash event they show the
// address each FDATA byte is captured for and the instruction. A reset's pulse ends here too.
void Recorder::Sample(uint64_t cycle) {
    if (pulse_ && cycle > pulse_->first) {
        vcd_.Change(pulse_->first + 1, pulse_->second, 0);
        pulse_.reset();
    }
    vcd_.Change(cycle, kPcSignal, host_.cpu().Pc());
    const uint16_t dptr = host_.cpu().Dptr();
    vcd_.Change(cycle, static_cast<std::size_t>(flash::Reg::DPL), dptr & 0xFFu);
    vcd_.Change(cycle, static_cast<std::size_t>(flash::Reg::DPH), dptr >> kRegisterBits);
}

void Recorder::RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) {
    const auto index = FlashRegisterIndex(id);
    if (!index) return;
    if (trace_ == TraceMode::kRegisters)
        std::fprintf(stderr, "trace: cycle %" PRIu64 ": %s <- 0x%02X (%s)\n", cycle, flash::kRegisters[*index].name.data(), value,
                     by_program ? "program" : "extension");
    if (trace_ != TraceMode::kOff) events_.RegisterWritten(cycle, id, value, by_program);
    if (vcd_.IsOpen()) {
        Sample(cycle);
        vcd_.Change(cycle, *index, value);
    }
}

void Recorder::TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) {
    if (trace_ == TraceMode::kRegisters) {
        if (due)
            std::fprintf(stderr, "trace: cycle %" PRIu64 ": timer %" PRIu32 " set for cycle %" PRIu64 "\n", cycle, timer, *due);
        else
            std::fprintf(stderr, "trace: cycle %" PRIu64 ": timer %" PRIu32 " cancelled\n", cycle, timer);
    }
    if (trace_ != TraceMode::kOff) events_.TimerArmed();
    if (vcd_.IsOpen()) Sample(cycle);
    vcd_.Change(cycle, kTimerSignal, due ? 1u : 0u);
}

void Recorder::TimerExpired(uint64_t cycle, uint32_t timer) {
    if (trace_ == TraceMode::kRegisters)
        std::fprintf(stderr, "trace: cycle %" PRIu64 ": timer %" PRIu32 " expired\n", cycle, timer);
    if (trace_ != TraceMode::kOff) events_.TimerExpired();
    if (vcd_.IsOpen()) Sample(cycle);
    vcd_.Change(cycle, kTimerSignal, 0);
}

void Recorder::ChipReset(uint64_t cycle, bool power_cut) {
    if (trace_ != TraceMode::kOff) events_.ChipReset(cycle, power_cut);
    if (!vcd_.IsOpen()) return;
    Sample(cycle);
    pulse_ = {cycle, power_cut ? kPowerCutSignal : kResetSignal};
    vcd_.Change(cycle, pulse_->second, 1);
}

bool Recorder::Finish(uint64_t end_cycle, std::string& error) {
    if (vcd_.IsOpen() && pulse_ && end_cycle > pulse_->first) vcd_.Change(pulse_->first + 1, pulse_->second, 0);
    if (trace_ != TraceMode::kOff) {
        events_.Finish();
        errno = 0;
        if (std::fflush(stderr) != 0 || std::ferror(stderr)) {
            error = WriteError("the trace (standard error)");
            std::string ignored;  // the first error is the one reported
            vcd_.Finish(end_cycle, ignored);
            return false;
        }
    }
    return vcd_.Finish(end_cycle, error);
}

}  // namespace peltosim
