// The symbol forms of pelto-sim's command line, turned into the addresses the run's options take:
//   --break WHERE[,COUNT]        WHERE: ADDR, a function or label (_append), a C line (evlog.c:120)
//   --stop-on-read SPACE:WHERE   --stop-on-write SPACE:WHERE   (a variable: xdata:_head)
//   --dump SPACE:WHERE:LEN       --expect SPACE:WHERE=VALUE
//   --debug-info FILE.cdb        the symbols; by default NAME.cdb beside the program's NAME.hex
// Numeric forms pass through untouched, and no debug information is read unless a symbol is used.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace peltosim::debug {

struct SymbolicArgs {
    std::vector<std::string> args;          // with every location numeric
    std::map<uint16_t, uint64_t> break_counts;  // --break ADDR,COUNT: the hit that stops
    std::map<std::string, std::string> dump_texts;  // numeric --dump text -> as the user wrote it
};

// Nothing, with `error` naming the option and the problem, for an unknown symbol, a bad count
// or unreadable debug information.
std::optional<SymbolicArgs> ResolveSymbolicArgs(const std::vector<std::string>& args, std::string& error);

// The debugger's launch configuration (JSON, one line) for the run that `args` make with the
// power cuts `cuts` (values of --power-cut-at: CYCLE or CYCLE:SEED, in order): what the
// power-loss sweep prints beside a failing cut's command.
std::string LaunchConfiguration(const std::vector<std::string>& args, const std::vector<std::string>& cuts);

}  // namespace peltosim::debug
