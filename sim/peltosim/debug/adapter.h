// pelto-sim --dap [--dap-port N]: the debug adapter, on standard input and output or on one
// TCP connection accepted on the loopback interface.
#pragma once

#include <string>
#include <vector>

namespace peltosim::debug {

// Whether the command line asks for the adapter.
bool WantsAdapter(const std::vector<std::string>& args);
// Serves one debug session; the exit status of pelto-sim.
int RunAdapter(const std::vector<std::string>& args);

}  // namespace peltosim::debug
