// pelto-sim: runs an 8051 program with Pelto extensions loaded.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "flash/regmap.h"
#include "sim/peltosim/base/extension_loader.h"
#include "sim/peltosim/base/output_file.h"
#include "sim/peltosim/check/expect.h"
#include "sim/peltosim/check/lint.h"
#include "sim/peltosim/check/sweep.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/interrupt.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/host/window_loop.h"
#include "sim/peltosim/out/recorder.h"
#include "sim/peltosim/out/report.h"
#include "sim/peltosim/run/exit_codes.h"
#include "sim/peltosim/run/options.h"
#include "sim/peltosim/run/program_loader.h"
#include "sim/peltosim/debug/adapter.h"
#include "sim/peltosim/debug/command_line.h"

namespace {

using peltosim::kExitBadInput;
using peltosim::kExitLint;
using peltosim::kExitNoHalt;
using peltosim::kExitOk;
using peltosim::kExitUnmet;

// Without a window, the run still pauses this often, to notice an interrupt whose stop request
// was lost in a race.
constexpr uint64_t kInterruptCheckCycles = 1'000'000;

int Fail(const std::string& message) {
    std::cerr << "pelto-sim: error: " << message << '\n';
    return kExitBadInput;
}

bool ReadBytes(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::vector<std::string> given(argv + 1, argv + argc);
    if (peltosim::debug::WantsAdapter(given)) return peltosim::debug::RunAdapter(given);
    // Symbols and C lines in the options become addresses (debug/command_line.h).
    const auto symbolic = peltosim::debug::ResolveSymbolicArgs(given, error);
    if (!symbolic) return Fail(error);
    const std::vector<std::string>& args = symbolic->args;
    auto options = peltosim::ParseOptions(args, error);
    if (!options) return Fail(error + " (pelto-sim --help lists the options)");
    for (auto& dump : options->dumps)
        if (const auto it = symbolic->dump_texts.find(dump.text); it != symbolic->dump_texts.end()) dump.text = it->second;
    if (options->help) {
        std::cout << peltosim::Usage();
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
    // The flash's operations are followed only for the trace, the lint and the sweep.
    peltosim::FlashTracker tracker(host);
    peltosim::Recorder recorder(host, trace, tracker);
    peltosim::ObserverList observers;
    observers.Add(&recorder);
    std::optional<peltosim::Lint> lint;
    if (options->trace || options->lint || options->power_cut_sweep) observers.Add(&tracker);
    if (options->lint) {
        lint.emplace(host, tracker, options->lint_off);
        observers.Add(&*lint);
    }
    host.SetObserver(&observers);

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

    // The serial line, resets, power cuts and stop conditions.
    peltosim::OutputFile serial_file;
    const bool serial_to_stdout = options->serial_out && *options->serial_out == "-";
    if (options->serial_out && !serial_to_stdout && !serial_file.OpenStreamed(*options->serial_out, error))
        return Fail("--serial-out: " + error);
    host.SetSerialOutput(serial_to_stdout ? stdout : serial_file.stream(), options->json || options->expect_serial.has_value());
    if (options->serial_in) {
        std::vector<uint8_t> bytes;
        if (!ReadBytes(*options->serial_in, bytes)) return Fail("--serial-in: cannot read '" + *options->serial_in + "'");
        host.chip().serial().SetInput(std::move(bytes));
    }
    for (uint64_t cycle : options->reset_at) host.ScheduleReset(cycle, false);
    for (uint64_t cycle : options->power_cut_at) host.ScheduleReset(cycle, true);
    host.SetRamFill({options->ram_fill_random, options->ram_fill_byte, options->ram_fill_seed});
    // With an extension loaded, the flash's ECC shadow in external data survives a power cut.
    if (!extensions.empty())
        for (const auto& range : flash::kWatchedCode) host.KeepOnPowerCut(range.first, range.last);
    for (const auto& p : options->stop_on_read) host.StopOn({p.space, p.address, false});
    for (const auto& p : options->stop_on_write) host.StopOn({p.space, p.address, true});

    peltosim::WindowLoop windows(host);
    if (options->menu && !windows.Choose(*options->menu, error)) return Fail(error);

    const uint64_t limit = options->max_cycles == 0 ? ~uint64_t{0} : options->max_cycles;
    // --break WHERE,COUNT: the run goes on past the hits before the COUNT-th.
    std::map<uint16_t, uint64_t> hits;
    peltosim::RunEnd end;
    do {
        end = host.Run(
            limit, [&] { if (windows.Active()) windows.Poll(); },
            windows.Active() ? peltosim::WindowLoop::kPollCycles : kInterruptCheckCycles);
    } while (end == peltosim::RunEnd::kBreakpoint && symbolic->break_counts.count(host.cpu().Pc()) &&
             ++hits[host.cpu().Pc()] < symbolic->break_counts.at(host.cpu().Pc()));
    if (end != peltosim::RunEnd::kInterrupted) windows.Finish(options->keep_open);

    int status = kExitOk;
    host.chip().Sync();  // the timer and serial registers as they stand at the end
    if (!recorder.Finish(host.cpu().Cycles(), error)) status = Fail(error);
    if (lint) lint->Finish();
    const auto unmet = peltosim::CheckExpectations(host, *options);
    if (options->power_cut_sweep && status == kExitOk) {
        if (lint) lint->Print(std::cerr);
        return peltosim::RunSweep({*options, args, argv[0], host, tracker, end, unmet}, std::cout);
    }
    if (serial_file.IsOpen() && !serial_file.Commit(error)) status = Fail("--serial-out: " + error);
    else if (host.serial_output_failed()) status = Fail("--serial-out: writing the transmitted bytes failed");
    const auto empty_rom =
        end == peltosim::RunEnd::kBreakpoint ? peltosim::EmptyRomError(host.cpu().Pc(), loaded, *options) : std::nullopt;
    if (empty_rom) {
        status = Fail(*empty_rom);
    } else if (options->json) {
        auto result = peltosim::RunJson(host, *options, end);
        if (peltosim::ExpectationCount(*options) != 0) result["expect"] = peltosim::ExpectJson(*options, unmet);
        if (lint) result["lint"] = lint->Json();
        std::cout << peltosim::JsonLine(result) << '\n';
    } else {
        peltosim::WriteSummary(std::cout, host, *options, end);
        for (const auto& u : unmet) std::cout << "expectation not met: expected " << u.expected << ", found " << u.found << '\n';
        if (peltosim::ExpectationCount(*options) != 0 && unmet.empty())
            std::cout << "expectations: all " << peltosim::ExpectationCount(*options) << " met\n";
    }
    if (lint) lint->Print(std::cerr);
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
    if (!unmet.empty()) return kExitUnmet;
    if (lint && options->lint_error && !lint->findings().empty()) return kExitLint;
    return kExitOk;
}
