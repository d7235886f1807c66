// What pelto-sim prints: the summary or JSON results, the trace and the value change dump.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "sim_host.h"

namespace peltosim {

const char* RunEndName(RunEnd end);
// A JSON string literal of the bytes, each byte outside printable ASCII as \u00XX.
std::string JsonString(std::string_view text);

// Keeps the flash register writes and timer events, prints the trace as it goes.
class Recorder : public Observer {
public:
    Recorder(bool trace, bool keep);
    void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) override;
    void TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) override;
    void TimerExpired(uint64_t cycle, uint32_t timer) override;

    // Writes the dump; returns false with a reason when the file cannot be written.
    bool WriteVcd(const std::string& path, uint64_t end_cycle, uint32_t clock_hz, std::string& error) const;

private:
    struct Event {
        uint64_t cycle;
        int signal;  // index into the flash register table, or kTimerSignal
        uint32_t value;
    };
    bool trace_;
    bool keep_;
    std::vector<Event> events_;
};

// `more` is added to the object as it stands (",\"key\":value..."), for results of other modules.
void WriteJson(std::ostream& out, const SimHost& host, const Options& options, RunEnd end, const std::string& more = {});
void WriteSummary(std::ostream& out, const SimHost& host, const Options& options, RunEnd end);

}  // namespace peltosim
