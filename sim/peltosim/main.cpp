// pelto-sim: runs an 8051 program with Pelto extensions loaded.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "extension_loader.h"
#include "interrupt.h"
#include "options.h"
#include "output_file.h"
#include "program_loader.h"
#include "recorder.h"
#include "report.h"
#include "sim_host.h"
#include "window_loop.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoHalt = 1;
constexpr int kExitBadInput = 2;
// Without a window, the run still pauses this often, to notice an interrupt whose stop request
// was lost in a race.
constexpr uint64_t kInterruptCheckCycles = 1'000'000;

int Fail(const std::string& message) {
    std::cerr << "pelto-sim: error: " << message << '\n';
    return kExitBadInput;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = peltosim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) return Fail(error + " (pelto-sim --help lists the options)");
    if (options->help) {
        std::cout << peltosim::kUsage;
        return peltosim::FinishStandardOutput(error) ? kExitOk : Fail(error);
    }
    if (options->hex_files.empty() && options->binaries.empty()) return Fail("no program given (see --help)");

    peltosim::SimHost host;
    // From here on a signal ends the run cleanly, even one that comes before the run starts.
    peltosim::InterruptRunOnSignals(host);
    host.SetClock(options->clock_hz);
    for (const auto& name : options->failing_services)
        if (!host.FailService(name)) return Fail("--fail-service '" + name + "': not a service extensions call");
    const auto trace = !options->trace            ? peltosim::TraceMode::kOff
                       : options->trace_registers ? peltosim::TraceMode::kRegisters
                                                  : peltosim::TraceMode::kEvents;
    peltosim::Recorder recorder(host, trace);
    host.SetObserver(&recorder);

    std::vector<peltosim::LoadedExtension> extensions;
    for (const auto& path : options->extensions) {
        peltosim::LoadedExtension loaded;
        if (!peltosim::LoadExtension(path, loaded, error)) return Fail(error);
        extensions.push_back(loaded);
    }
    peltosim::LoadedMask loaded;
    if (!peltosim::LoadPrograms(*options, !extensions.empty(), host.cpu().Code(), loaded, error)) return Fail(error);
    for (uint16_t address : options->breakpoints) host.cpu().SetBreakpoint(address, true);
    if (extensions.empty()) peltosim::ArmEmptyRomBreakpoints(host.cpu(), loaded);

    host.OnReset([&] {
        for (const auto& e : extensions)
            if (peltosim::ResetExtension(e) == 0) std::cerr << "pelto-sim: warning: extension '" << e.path << "' reset failed\n";
    });
    host.Reset();
    // Opened before the run, so that an unwritable path costs no run time.
    if (options->vcd && !recorder.OpenVcd(*options->vcd, options->clock_hz, error)) return Fail(error);

    peltosim::WindowLoop windows(host);
    if (options->menu && !windows.Choose(*options->menu, error)) return Fail(error);

    const uint64_t limit = options->max_cycles == 0 ? ~uint64_t{0} : options->max_cycles;
    const peltosim::RunEnd end = host.Run(
        limit, [&] { if (windows.Active()) windows.Poll(); },
        windows.Active() ? peltosim::WindowLoop::kPollCycles : kInterruptCheckCycles);
    if (end != peltosim::RunEnd::kInterrupted) windows.Finish(options->keep_open);

    int status = kExitOk;
    if (!recorder.Finish(host.cpu().Cycles(), error)) status = Fail(error);
    const auto empty_rom =
        end == peltosim::RunEnd::kBreakpoint ? peltosim::EmptyRomError(host.cpu().Pc(), loaded, *options) : std::nullopt;
    if (empty_rom) {
        status = Fail(*empty_rom);
    } else {
        if (options->json) peltosim::WriteJson(std::cout, host, *options, end);
        else peltosim::WriteSummary(std::cout, host, *options, end);
    }
    if (!peltosim::FinishStandardOutput(error)) status = Fail(error);
    if (status != kExitOk) return status;
    if (end == peltosim::RunEnd::kInterrupted) {
        const int signal_number = peltosim::InterruptingSignal();
        std::cerr << "pelto-sim: interrupted by signal " << signal_number << " at cycle " << host.cpu().Cycles() << '\n';
        return peltosim::InterruptedExitStatus(signal_number);
    }
    if (end == peltosim::RunEnd::kCycleLimit) {
        std::cerr << "pelto-sim: error: the program did not halt within " << options->max_cycles << " cycles\n";
        return kExitNoHalt;
    }
    return kExitOk;
}
