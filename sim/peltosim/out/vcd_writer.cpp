#include "sim/peltosim/out/vcd_writer.h"

#include <algorithm>
#include <array>
#include <cinttypes>

#include "sim/peltosim/host/sim_host.h"

namespace peltosim {
namespace {

struct TimeUnit {
    std::string_view name;
    uint64_t femtoseconds;
};
constexpr std::array kTimeUnits{
    TimeUnit{"s", 1'000'000'000'000'000}, TimeUnit{"ms", 1'000'000'000'000}, TimeUnit{"us", 1'000'000'000},
    TimeUnit{"ns", 1'000'000},            TimeUnit{"ps", 1'000},             TimeUnit{"fs", 1},
};
constexpr uint64_t kFemtosecondsPerSecond = kTimeUnits[0].femtoseconds;
constexpr uint64_t kFemtosecondsPerPicosecond = kTimeUnits[4].femtoseconds;
constexpr std::array<uint64_t, 2> kScaledUnits{10, 100};  // the multipliers a timescale may have besides 1

// Identifier codes: printable ASCII from '!' to '~'.
constexpr char kFirstCode = '!';
constexpr unsigned kCodeRadix = '~' - '!' + 1;

std::string Code(std::size_t index) {
    std::string code;
    do {
        code += static_cast<char>(kFirstCode + index % kCodeRadix);
        index /= kCodeRadix;
    } while (index != 0);
    return code;
}

}  // namespace

VcdTimescale TimescaleFor(uint32_t clock_hz) {
    const uint64_t scaled = kFemtosecondsPerSecond * kClocksPerCycle;
    if (scaled % clock_hz == 0) {
        const uint64_t cycle_fs = scaled / clock_hz;
        for (const auto& unit : kTimeUnits) {
            if (cycle_fs % unit.femtoseconds != 0) continue;
            const uint64_t count = cycle_fs / unit.femtoseconds;
            for (uint64_t m : kScaledUnits)
                if (count == m) return {std::to_string(m) + " " + std::string(unit.name), 1};
            return {"1 " + std::string(unit.name), count};
        }
    }
    // Not a whole number of femtoseconds: picoseconds, rounded.
    const uint64_t cycle_ps = (scaled / kFemtosecondsPerPicosecond + clock_hz / 2) / clock_hz;
    return {"1 ps", cycle_ps == 0 ? 1 : cycle_ps};
}

bool VcdWriter::Open(const std::string& path, std::string_view scope, const std::vector<VcdSignal>& signals,
                     uint32_t clock_hz, std::string& error) {
    if (!file_.Open(path, error)) return false;
    const VcdTimescale timescale = TimescaleFor(clock_hz);
    units_per_cycle_ = timescale.units_per_cycle;
    std::FILE* f = file_.stream();
    std::fprintf(f, "$comment pelto-sim, %" PRIu32 " Hz: one machine cycle (%u clocks) is %" PRIu64 " x %s $end\n", clock_hz,
                 kClocksPerCycle, units_per_cycle_, timescale.text.c_str());
    std::fprintf(f, "$timescale %s $end\n$scope module %.*s $end\n", timescale.text.c_str(), static_cast<int>(scope.size()),
                 scope.data());
    signals_.clear();
    codes_.clear();
    for (std::size_t i = 0; i < signals.size(); ++i) {
        codes_.push_back(Code(i));
        signals_.push_back({signals[i].width, signals[i].initial, signals[i].initial, false});
        std::fprintf(f, "$var wire %u %s %.*s $end\n", signals[i].width, codes_[i].c_str(),
                     static_cast<int>(signals[i].name.size()), signals[i].name.data());
    }
    std::fputs("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n", f);
    for (std::size_t i = 0; i < signals_.size(); ++i) WriteValue(i, signals_[i].written);
    std::fputs("$end\n", f);
    step_ = 0;
    last_written_time_ = 0;
    return true;
}

void VcdWriter::WriteValue(std::size_t signal, uint32_t value) {
    // One line assembled here and written at once: "b<bits> <code>" or "<bit><code>".
    std::string line;
    const unsigned width = signals_[signal].width;
    if (width == 1) {
        line += value & 1 ? '1' : '0';
    } else {
        line += 'b';
        int top = static_cast<int>(width) - 1;
        while (top > 0 && !(value >> top & 1)) --top;  // leading zeros are implied
        for (int b = top; b >= 0; --b) line += value >> b & 1 ? '1' : '0';
        line += ' ';
    }
    line += codes_[signal];
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), file_.stream());
}

void VcdWriter::FlushStep() {
    bool stamped = false;
    for (std::size_t signal : touched_) {
        State& s = signals_[signal];
        s.touched = false;
        if (s.pending == s.written) continue;
        if (!stamped) {
            last_written_time_ = step_ * units_per_cycle_;
            std::fprintf(file_.stream(), "#%" PRIu64 "\n", last_written_time_);
            stamped = true;
        }
        WriteValue(signal, s.pending);
        s.written = s.pending;
    }
    touched_.clear();
}

void VcdWriter::Change(uint64_t cycle, std::size_t signal, uint32_t value) {
    if (!IsOpen() || signal >= signals_.size()) return;
    if (cycle > step_) {
        FlushStep();
        step_ = cycle;
    }
    State& s = signals_[signal];
    s.pending = value;
    if (!s.touched) {
        s.touched = true;
        touched_.push_back(signal);
    }
}

bool VcdWriter::Finish(uint64_t end_cycle, std::string& error) {
    if (!IsOpen()) return true;
    FlushStep();
    const uint64_t end = std::max(end_cycle, step_) * units_per_cycle_;
    if (end > last_written_time_) std::fprintf(file_.stream(), "#%" PRIu64 "\n", end);
    return file_.Commit(error);
}

}  // namespace peltosim
