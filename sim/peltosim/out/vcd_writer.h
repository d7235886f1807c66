// A value change dump streamed to disk as the run goes, in bounded memory.
//
// The time unit is one machine cycle when its length (12 clocks at `clock_hz`) is 1, 10 or 100
// of a VCD unit (1 us at 12 MHz); otherwise the unit is 1 ps and each cycle counts as its
// length rounded to whole picoseconds. Every signal has a value at time 0. A signal is written
// only when its value at the end of a time step differs from the last one written, so a value
// rewritten unchanged, or changed and restored within one cycle, costs nothing. An event
// stamped before the current time step (a timer due inside the instruction that ran past it)
// is counted in the current step.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/base/output_file.h"

namespace peltosim {

struct VcdSignal {
    std::string_view name;
    unsigned width;  // bits
    uint32_t initial;
};

// The timescale for `clock_hz`: the header text and the time units per machine cycle.
struct VcdTimescale {
    std::string text;  // as in "$timescale 1 us $end"
    uint64_t units_per_cycle;
};
VcdTimescale TimescaleFor(uint32_t clock_hz);

class VcdWriter {
public:
    // Opens the file and writes the header and the values at time 0.
    bool Open(const std::string& path, std::string_view scope, const std::vector<VcdSignal>& signals, uint32_t clock_hz,
              std::string& error);
    bool IsOpen() const { return file_.IsOpen(); }
    void Change(uint64_t cycle, std::size_t signal, uint32_t value);
    // Writes the last step and the end time, closes the file and puts it in place.
    bool Finish(uint64_t end_cycle, std::string& error);

private:
    struct State {
        unsigned width;
        uint32_t written;
        uint32_t pending;
        bool touched;
    };
    void FlushStep();
    void WriteValue(std::size_t signal, uint32_t value);

    OutputFile file_;
    std::vector<State> signals_;
    std::vector<std::size_t> touched_;  // signals changed in the current step
    std::vector<std::string> codes_;
    uint64_t step_ = 0;                 // the current step's cycle
    uint64_t units_per_cycle_ = 1;
    uint64_t last_written_time_ = 0;
};

}  // namespace peltosim
