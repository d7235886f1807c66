// Expectations checked when a run ends (--expect SPACE:ADDR=VALUE, --expect-serial TEXT).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/base/json.h"
#include "sim/peltosim/run/expectation.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {

class SimHost;

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

}  // namespace peltosim
