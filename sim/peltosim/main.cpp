// pelto-sim: runs an 8051 program with Pelto extensions loaded.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "expect.h"
#include "extension_loader.h"
#include "flash/regmap.h"
#include "flash_ops.h"
#include "lint.h"
#include "options.h"
#include "report.h"
#include "sim/cpu/ihex.h"
#include "sim_host.h"
#include "sweep.h"
#include "window_loop.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoHalt = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitUnmet = 3;
constexpr int kExitLint = 4;

int Fail(const std::string& message) {
    std::cerr << "pelto-sim: error: " << message << '\n';
    return kExitBadInput;
}

bool ReadFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Loads every program image into a scratch copy of code memory; nothing reaches the CPU unless
// all of them are sound.
bool LoadPrograms(const peltosim::Options& o, std::span<uint8_t, 0x10000> code, std::string& error) {
    std::vector<uint8_t> scratch(code.begin(), code.end());
    std::span<uint8_t, 0x10000> target(scratch.data(), 0x10000);
    for (const auto& path : o.hex_files) {
        std::string text;
        if (!ReadFile(path, text)) {
            error = "'" + path + "': cannot read the file";
            return false;
        }
        const auto result = sim8051::LoadIntelHex(text, target);
        if (!result.ok) {
            error = "'" + path + "' line " + std::to_string(result.line) + ": " + result.error;
            return false;
        }
    }
    for (const auto& bin : o.binaries) {
        std::string bytes;
        if (!ReadFile(bin.path, bytes)) {
            error = "'" + bin.path + "': cannot read the file";
            return false;
        }
        if (bytes.size() > target.size() - bin.address) {
            error = "'" + bin.path + "': " + std::to_string(bytes.size()) + " bytes do not fit in code memory at " +
                    std::to_string(bin.address);
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), target.begin() + bin.address);
    }
    std::copy(scratch.begin(), scratch.end(), code.begin());
    return true;
}

peltosim::StopAccess::Space ToStopSpace(peltosim::Space space) {
    switch (space) {
    case peltosim::Space::kCode: return peltosim::StopAccess::Space::kCode;
    case peltosim::Space::kXdata: return peltosim::StopAccess::Space::kXdata;
    case peltosim::Space::kIdata: break;
    }
    return peltosim::StopAccess::Space::kIdata;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto options = peltosim::ParseOptions(args, error);
    if (!options) {
        std::cerr << "pelto-sim: error: " << error << "\n" << peltosim::kUsage;
        return kExitBadInput;
    }
    if (options->help) {
        std::cout << peltosim::kUsage;
        return kExitOk;
    }
    if (options->hex_files.empty() && options->binaries.empty()) return Fail("no program given (see --help)");
    // Found out before the run rather than after it: a long run's results are not thrown away.
    if (options->vcd && !std::ofstream(*options->vcd)) return Fail("cannot write '" + *options->vcd + "'");

    peltosim::SimHost host;
    host.SetClock(options->clock_hz);
    for (const auto& name : options->failing_services)
        if (!host.FailService(name)) return Fail("--fail-service '" + name + "': not a service extensions call");
    peltosim::Recorder recorder(options->trace, options->vcd.has_value());
    // The flash's operations are followed only for the lint and the sweep.
    peltosim::FlashTracker tracker(host);
    peltosim::ObserverList observers;
    observers.Add(&recorder);
    std::optional<peltosim::Lint> lint;
    if (options->lint || options->power_cut_sweep) observers.Add(&tracker);
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
    if (!LoadPrograms(*options, host.cpu().Code(), error)) return Fail(error);
    for (uint16_t address : options->breakpoints) host.cpu().SetBreakpoint(address, true);

    host.OnReset([&] {
        for (const auto& e : extensions)
            if (peltosim::ResetExtension(e) == 0) std::cerr << "pelto-sim: warning: extension '" << e.path << "' reset failed\n";
    });
    host.Reset();

    // The serial line, resets, power cuts and stop conditions.
    std::FILE* serial_out = nullptr;
    if (options->serial_out) {
        serial_out = *options->serial_out == "-" ? stdout : std::fopen(options->serial_out->c_str(), "wb");
        if (serial_out == nullptr) return Fail("--serial-out: cannot write '" + *options->serial_out + "'");
    }
    host.SetSerialOutput(serial_out, options->json || options->expect_serial.has_value());
    if (options->serial_in) {
        std::string bytes;
        if (!ReadFile(*options->serial_in, bytes)) return Fail("--serial-in: cannot read '" + *options->serial_in + "'");
        host.chip().serial().SetInput({bytes.begin(), bytes.end()});
    }
    for (uint64_t cycle : options->reset_at) host.ScheduleReset(cycle, false);
    for (uint64_t cycle : options->power_cut_at) host.ScheduleReset(cycle, true);
    host.SetRamFill({options->ram_fill_random, options->ram_fill_byte, options->ram_fill_seed});
    // With an extension loaded, the flash's ECC shadow in external data survives a power cut.
    if (!extensions.empty())
        for (const auto& range : flash::kWatchedCode) host.KeepOnPowerCut(range.first, range.last);
    for (const auto& p : options->stop_on_read) host.StopOn({ToStopSpace(p.space), p.address, false});
    for (const auto& p : options->stop_on_write) host.StopOn({ToStopSpace(p.space), p.address, true});

    peltosim::WindowLoop windows(host);
    if (options->menu && !windows.Choose(*options->menu, error)) return Fail(error);

    bool host_serial_failed = false;
    const uint64_t limit = options->max_cycles == 0 ? ~uint64_t{0} : options->max_cycles;
    const peltosim::RunEnd end = windows.Active() ? host.Run(limit, [&] { windows.Poll(); }, peltosim::WindowLoop::kPollCycles)
                                                  : host.Run(limit);
    windows.Finish(options->keep_open);

    if (options->vcd && !recorder.WriteVcd(*options->vcd, host.cpu().Cycles(), options->clock_hz, error)) return Fail(error);
    host.chip().Sync();  // the timer and serial registers as they stand at the end
    if (lint) lint->Finish();
    const auto unmet = peltosim::CheckExpectations(host, *options);
    if (options->power_cut_sweep) {
        if (lint) lint->Print(std::cerr);
        return peltosim::RunSweep({*options, args, argv[0], host, tracker, end, unmet}, std::cout);
    }
    if (serial_out != nullptr && serial_out != stdout && std::fclose(serial_out) != 0) host_serial_failed = true;
    if (serial_out == stdout) std::fflush(stdout);
    if (options->json) {
        peltosim::WriteJson(std::cout, host, *options, end, peltosim::ExpectJson(*options, unmet) + (lint ? lint->Json() : ""));
    } else {
        peltosim::WriteSummary(std::cout, host, *options, end);
        for (const auto& u : unmet) std::cout << "expectation not met: expected " << u.expected << ", found " << u.found << '\n';
        if (peltosim::ExpectationCount(*options) != 0 && unmet.empty())
            std::cout << "expectations: all " << peltosim::ExpectationCount(*options) << " met\n";
    }
    if (lint) lint->Print(std::cerr);
    std::cout.flush();
    if (host.serial_output_failed() || host_serial_failed) return Fail("--serial-out: writing '" + *options->serial_out + "' failed");
    if (end == peltosim::RunEnd::kCycleLimit) {
        std::cerr << "pelto-sim: error: the program did not halt within " << options->max_cycles << " cycles\n";
        return kExitNoHalt;
    }
    if (!unmet.empty()) return kExitUnmet;
    if (lint && options->lint_error && !lint->findings().empty()) return kExitLint;
    return kExitOk;
}
