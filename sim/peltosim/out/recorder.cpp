#include "sim/peltosim/out/recorder.h"

#include <cerrno>
#include <cinttypes>
#include <vector>

#include "flash/regmap.h"
#include "sim/peltosim/base/output_file.h"

namespace peltosim {
namespace {

constexpr unsigned kRegisterBits = 8;
constexpr std::size_t kTimerSignal = flash::kRegisters.size();  // after the registers
constexpr std::string_view kTimerSignalName = "flash_timer_armed";

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
    return vcd_.Open(path, "flash", signals, clock_hz, error);
}

// DPL and DPH change without a host hook: sampled at every flash event they show the address
// each FDATA byte is captured for.
void Recorder::SampleDataPointer(uint64_t cycle) {
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
        SampleDataPointer(cycle);
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
    vcd_.Change(cycle, kTimerSignal, due ? 1u : 0u);
}

void Recorder::TimerExpired(uint64_t cycle, uint32_t timer) {
    if (trace_ == TraceMode::kRegisters)
        std::fprintf(stderr, "trace: cycle %" PRIu64 ": timer %" PRIu32 " expired\n", cycle, timer);
    if (trace_ != TraceMode::kOff) events_.TimerExpired();
    vcd_.Change(cycle, kTimerSignal, 0);
}

bool Recorder::Finish(uint64_t end_cycle, std::string& error) {
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
