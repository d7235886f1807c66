// What pelto-sim prints at the end: the summary or the JSON results.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {

const char* RunEndName(RunEnd end);
// A JSON string literal of the bytes, each byte outside printable ASCII as \u00XX.
std::string JsonString(std::string_view text);

// `more` is added to the object as it stands (",\"key\":value..."), for results of other modules.
void WriteJson(std::ostream& out, const SimHost& host, const Options& options, RunEnd end, const std::string& more = {});
void WriteSummary(std::ostream& out, const SimHost& host, const Options& options, RunEnd end);

}  // namespace peltosim
