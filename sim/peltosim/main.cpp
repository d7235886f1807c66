// pelto-sim: runs an 8051 program with Pelto extensions loaded.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
#include "sim/peltosim/host/torn.h"
#include "sim/peltosim/check/sweep.h"
#include "sim/peltosim/check/sweep_merge.h"
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
    if (options->sweep_merge) {
        const int merged = peltosim::MergeSweepShards(options->hex_files, *options, std::cout, std::cerr);
        return peltosim::FinishStandardOutput(error) ? merged : Fail(error);
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
    // The flash's operations are followed only for the trace, the lint, the sweep and torn power cuts.
    peltosim::FlashTracker tracker(host);
    peltosim::Recorder recorder(host, trace, tracker);
    peltosim::ObserverList observers;
    observers.Add(&recorder);
    std::optional<peltosim::Lint> lint;
    // Before the tracker: at a cut it tears the operation that the tracker then ends.
    std::optional<peltosim::TornCut> torn;
    if (options->cut_torn && (!options->power_cut_at.empty() || options->power_cut_sweep)) {
        torn.emplace(host, tracker, peltosim::CutVariants(*options), options->metastable);
        observers.Add(&*torn);
    }
    const bool deep = options->sweep_depth > 1;
    if (options->trace || options->lint || options->power_cut_sweep || torn || deep) observers.Add(&tracker);
    if (options->lint) {
        lint.emplace(host, tracker, options->lint_off);
        observers.Add(&*lint);
    }
    std::optional<peltosim::SweepUntilWatch> until;
    if (options->sweep_until) {
        until.emplace(host, *options->sweep_until);
        observers.Add(&*until);
        host.OnPowerOn([&] { until->Arm(); });
    }
    // After the tracker: the cut points of the recovery after a power cut (--sweep-depth 2).
    std::optional<peltosim::RecoveryCuts> recovery;
    if (deep) {
        recovery.emplace(tracker);
        observers.Add(&*recovery);
    }
    // After the tracker: it forks at the points the tracker has noted.
    std::optional<peltosim::ForkedCuts> forked;
    if (options->power_cut_sweep && peltosim::Children::kCanFork && !options->sweep_spawn) {
        forked.emplace(host, tracker, torn ? &*torn : nullptr, recovery ? &*recovery : nullptr, *options);
        observers.Add(&*forked);
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
    if (options->power_cut_sweep && !peltosim::CheckSweepOutputs(*options, error)) return Fail(error);

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
    // The sweep cuts after the program's writes there too: they are persistent.
    if (!extensions.empty())
        for (const auto& range : flash::kWatchedCode) {
            host.KeepOnPowerCut(range.first, range.last);
            if (options->power_cut_sweep || deep)
                host.ObserveData(sim8051::DataSpace::kXdata, range.first, range.last, sim8051::kWatchWrite);
        }
    for (const auto& p : options->stop_on_read) host.StopOn({p.space, p.address, false});
    for (const auto& p : options->stop_on_write) host.StopOn({p.space, p.address, true});

    peltosim::WindowLoop windows(host);
    // A power cut starts every extension afresh: loaded again and started, as at power-on. An
    // open window runs the library's code, so then it is only started again.
    host.OnPowerOn([&] {
        for (auto& e : extensions) {
            std::string why;
            if (!windows.Active()) peltosim::UnloadExtension(e);
            const bool started = windows.Active() ? peltosim::StartExtension(e, why) : peltosim::LoadExtension(e.path, e, why);
            if (!started) std::cerr << "pelto-sim: warning: after the power cut: " << why << '\n';
        }
    });
    if (options->menu && !windows.Choose(*options->menu, error)) return Fail(error);
    // A forked cut run writes no output of the recording run: only its result, as a cut run would.
    if (forked)
        forked->OnChild([&] {
            observers.Remove(&recorder);
            host.SetSerialOutput(nullptr, true);
        });

    // With power cuts, the limit counts from the last one: the boot after it gets the whole budget.
    const uint64_t last_cut = options->power_cut_at.empty() ? 0 : std::ranges::max(options->power_cut_at);
    const uint64_t limit = options->max_cycles == 0 ? ~uint64_t{0} : last_cut + options->max_cycles;
    const auto run = [&](uint64_t max_cycles) {
        return host.Run(
            max_cycles,
            [&] {
                if (windows.Active()) windows.Poll();
                if (forked) forked->Poll();
            },
            windows.Active() ? peltosim::WindowLoop::kPollCycles : kInterruptCheckCycles);
    };
    const auto started = std::chrono::steady_clock::now();
    // --break WHERE,COUNT: the run goes on past the hits before the COUNT-th; a stop to look at
    // memory for --sweep-until that does not hold the value yet goes on too.
    std::map<uint16_t, uint64_t> hits;
    peltosim::RunEnd end = run(limit);
    for (;;) {
        if (end == peltosim::RunEnd::kBreakpoint && symbolic->break_counts.count(host.cpu().Pc()) &&
            ++hits[host.cpu().Pc()] < symbolic->break_counts.at(host.cpu().Pc()))
            end = run(limit);
        else if (until && until->GoOn(end))
            end = run(host.cycle_limit());
        else
            break;
    }
    if (end != peltosim::RunEnd::kInterrupted) windows.Finish(options->keep_open);

    int status = kExitOk;
    host.chip().Sync();  // the timer and serial registers as they stand at the end
    if (!recorder.Finish(host.cpu().Cycles(), error)) status = Fail(error);
    if (lint) lint->Finish();
    const auto unmet = peltosim::CheckExpectations(host, *options);
    const auto result_json = [&] {
        auto result = peltosim::RunJson(host, *options, end);
        if (peltosim::ExpectationCount(*options) != 0) result["expect"] = peltosim::ExpectJson(*options, unmet);
        if (lint) result["lint"] = lint->Json();
        // A first cut's run at depth 2: where its recovery is cut again, and what the forked
        // runs at those points found.
        if (recovery && !options->power_cut_at.empty()) result[peltosim::kRecoveryCuts] = recovery->ToJson(host.cpu().Cycles());
        if (recovery && forked && forked->child_cut()) {
            const auto runs = forked->RecoveryRuns();
            if (!runs.is_null()) {
                result[peltosim::kRecoveryCuts] = recovery->ToJson(host.cpu().Cycles());
                result[peltosim::kRecoveryRuns] = runs;
            }
        }
        return result;
    };
    if (forked && forked->child_cut()) {
        // A forked cut run: its result as the sweep reads it, and out without the parent's
        // destructors (its children, its files and its window are not this process's).
        std::cout << peltosim::JsonLine(result_json()) << '\n';
        std::cout.flush();
        std::_Exit(end == peltosim::RunEnd::kCycleLimit ? kExitNoHalt : !unmet.empty() ? kExitUnmet : kExitOk);
    }
    if (options->power_cut_sweep && status == kExitOk) {
        if (lint) lint->Print(std::cerr);
        const int sweep_status =
            peltosim::RunSweep({*options, args, argv[0], host, tracker, end, unmet, started}, std::cout, forked ? &*forked : nullptr);
        // A report that could not be written is no result.
        if (!peltosim::FinishStandardOutput(error)) return Fail(error);
        return sweep_status;
    }
    if (serial_file.IsOpen() && !serial_file.Commit(error)) status = Fail("--serial-out: " + error);
    else if (host.serial_output_failed()) status = Fail("--serial-out: writing the transmitted bytes failed");
    const auto empty_rom =
        end == peltosim::RunEnd::kBreakpoint ? peltosim::EmptyRomError(host.cpu().Pc(), loaded, *options) : std::nullopt;
    if (empty_rom) {
        status = Fail(*empty_rom);
    } else if (options->json) {
        std::cout << peltosim::JsonLine(result_json()) << '\n';
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
        std::cerr << "pelto-sim: error: the program did not halt within " << options->max_cycles << " cycles";
        if (last_cut != 0) std::cerr << " after the power cut at cycle " << last_cut;
        std::cerr << '\n';
        return kExitNoHalt;
    }
    if (!unmet.empty()) return kExitUnmet;
    if (lint && options->lint_error && !lint->findings().empty()) return kExitLint;
    return kExitOk;
}
