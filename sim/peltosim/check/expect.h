// Expectations checked when a run ends (--expect SPACE:ADDR=VALUE, --expect-serial TEXT).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/base/json.h"
#include "sim/peltosim/run/expectation.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {


// One expectation that did not hold: what was asked for and what the run left.
struct Unmet {
    std::string expected;
    std::string found;
};


// Checks every expectation of the options against the host as the run left it.
std::vector<Unmet> CheckExpectations(const SimHost& host, const Options& options);
// Number of expectations the options ask for.
std::size_t ExpectationCount(const Options& options);

// {"checked":N,"unmet":[{"expected":...,"found":...}...]}, the run result's "expect".
Json ExpectJson(const Options& options, const std::vector<Unmet>& unmet);
// The unmet expectations of a list as ExpectJson writes it (from a run's JSON result, or the sweep's).
Json UnmetJson(const std::vector<Unmet>& unmet);
// Reads the unmet expectations back from a run's JSON result; nothing when it has none.
std::vector<Unmet> UnmetFromJson(const Json& run);

// --sweep-until after a power cut: armed at the cut, it ends the run where the recovered
// firmware has reached the point (a breakpoint at pc:ADDR, a stop otherwise).
class SweepUntilWatch : public Observer {
public:
    SweepUntilWatch(SimHost& host, const SweepUntil& until);
    void RegisterWritten(uint64_t, uint32_t, uint8_t, bool) override {}
    void TimerArmed(uint64_t, uint32_t, std::optional<uint64_t>) override {}
    void TimerExpired(uint64_t, uint32_t) override {}
    void MemoryWritten(uint64_t cycle, uint32_t address, uint32_t count) override;
    void DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t pc) override;
    // At a power cut (the host's power-on listener).
    void Arm();
    // After Run ended `end`: whether the run stopped only to look at memory that does not hold
    // the value yet, so that it goes on.
    bool GoOn(RunEnd end);
    bool Reached(RunEnd end) const;

private:
    void Look(uint16_t first, uint16_t last);

    SimHost& host_;
    const SweepUntil& until_;
    bool armed_ = false;
    bool looking_ = false;  // the run was stopped to look at memory
};

// One lint finding read back from a run's JSON result.
struct CutLint {
    std::string name;
    uint64_t cycle = 0;
    std::string message;
};
std::vector<CutLint> LintFromJson(const Json& run);

}  // namespace peltosim
