#include "sim/peltosim/check/sweep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "sim/peltosim/base/spawn.h"
#include "sim/peltosim/check/sweep_report.h"
#include "sim/peltosim/debug/command_line.h"
#include "sim/peltosim/run/exit_codes.h"
#include "sim/peltosim/out/report.h"

#ifdef _WIN32
#include <io.h>
#define PELTO_ISATTY _isatty
#define PELTO_FILENO _fileno
#else
#include <unistd.h>
#define PELTO_ISATTY isatty
#define PELTO_FILENO fileno
#endif

namespace peltosim {
namespace {

constexpr double kProgressSeconds = 0.2;  // between updates of the progress line

std::string ShellQuote(const std::string& arg) {
    static const std::string kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./:=,@+-%";
    if (!arg.empty() && arg.find_first_not_of(kPlain) == std::string::npos) return arg;
    std::string s = "'";
    for (const char c : arg) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

std::string FirstLine(const std::string& text) {
    const auto nl = text.find('\n');
    return text.substr(0, nl);
}

class Progress {
public:
    explicit Progress(std::size_t total) : total_(total), on_(PELTO_ISATTY(PELTO_FILENO(stderr)) != 0) {}
    void Update(std::size_t done, std::size_t failed, double seconds) {
        if (!on_ || (seconds - last_ < kProgressSeconds && done != total_)) return;
        last_ = seconds;
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
        std::fprintf(stderr, "\rsweep: %zu/%zu cuts, %zu failed, %.1f cuts/s, %.0f s left   ", done, total_, failed, rate, left);
        std::fflush(stderr);
    }
    void Finish() {
        if (on_) std::fprintf(stderr, "\r%60s\r", "");
    }

private:
    std::size_t total_;
    bool on_;
    double last_ = -1;
};

}  // namespace

std::vector<uint64_t> CutPoints(const FlashTracker& tracker, uint64_t end_cycle, uint64_t every) {
    std::vector<uint64_t> points;
    for (uint64_t c : tracker.changes()) points.push_back(c + 1);
    for (const auto& op : tracker.operations()) points.push_back(op.start + 1);
    if (every != 0)
        for (uint64_t c = every; c <= end_cycle; c += every) points.push_back(c);
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

int RunSweep(const SweepInput& in, std::ostream& out) {
    const Options& o = in.options;
    if (in.end != RunEnd::kHalted) {
        std::cerr << "pelto-sim: error: the sweep needs a run that halts; the run without a power cut ended "
                  << RunEndName(in.end) << " after " << in.host.cpu().Cycles() << " cycles\n";
        return in.end == RunEnd::kCycleLimit ? kExitNoHalt : kExitBadInput;
    }
    if (!in.unmet.empty()) {
        std::cerr << "pelto-sim: error: the run without a power cut does not meet the expectations:\n";
        for (const auto& u : in.unmet) std::cerr << "  expected " << u.expected << ", found " << u.found << '\n';
        return kExitUnmet;
    }
    if (ExpectationCount(o) == 0)
        std::cerr << "pelto-sim: warning: no --expect given: a cut fails only when the firmware does not halt\n";

    const auto all = CutPoints(in.tracker, in.host.cpu().Cycles(), o.sweep_every);
    std::vector<uint64_t> mine;
    for (std::size_t i = o.shard_index - 1; i < all.size(); i += o.shard_count) mine.push_back(all[i]);

    const std::string self = SelfPath();
    if (self.empty()) {
        std::cerr << "pelto-sim: error: cannot find the pelto-sim executable to start the cut runs\n";
        return kExitBadInput;
    }
    const auto base = CutRunArguments(in.args);
    std::string shown = ShellQuote(in.invoked_as);
    for (const auto& a : base) shown += ' ' + ShellQuote(a);

    const std::size_t jobs = std::max<std::size_t>(1, std::min<std::size_t>(o.jobs ? o.jobs : CoreCount(), Children::MaxRunning()));
    std::vector<CutOutcome> cuts(mine.size());
    Children children;
    Progress progress(mine.size());
    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    std::size_t next = 0;
    std::size_t done = 0;
    std::size_t failed = 0;
    while (done < mine.size()) {
        while (next < mine.size() && children.running() < jobs) {
            auto args = base;
            args.insert(args.end(), {"--json", "--power-cut-at", std::to_string(mine[next])});
            std::string error;
            if (!children.Start(next, self, args, error)) {
                progress.Finish();
                std::cerr << "pelto-sim: error: " << error << '\n';
                return kExitBadInput;
            }
            ++next;
        }
        const ChildResult r = children.WaitAny();
        CutOutcome& c = cuts[r.tag];
        c.cycle = mine[r.tag];
        const FlashOperation* op = in.tracker.At(c.cycle);
        c.operation = op ? Describe(*op, c.cycle) : "between operations";
        c.command = shown + " --power-cut-at " + std::to_string(c.cycle);
        c.launch = debug::LaunchConfiguration(base, c.cycle);
        const Json result = ParseJson(r.out);
        if (result.is_object()) {
            c.end = BytesFromJson(result.value("end", Json())).value_or("");
            c.unmet = UnmetFromJson(result);
        }
        switch (r.status) {
        case kExitOk: c.passed = true; break;
        case kExitUnmet: break;
        case kExitNoHalt: c.problem = "did not halt within " + std::to_string(o.max_cycles) + " cycles"; break;
        case kExitBadInput:
            progress.Finish();
            std::cerr << "pelto-sim: error: the cut run at cycle " << c.cycle << " refused its input: " << FirstLine(r.err) << '\n';
            return kExitBadInput;
        default:
            c.problem = (r.status == kChildCrashed ? std::string("crashed") : "exit status " + std::to_string(r.status)) + ": " +
                        FirstLine(r.err);
        }
        if (c.end.empty()) c.end = "without a result";
        if (!c.passed) ++failed;
        ++done;
        progress.Update(done, failed, elapsed());
    }
    const double seconds = elapsed();
    progress.Finish();
    const SweepSummary summary{all.size(), failed, seconds, jobs};
    if (o.json) out << JsonLine(SweepJson(in, cuts, summary)) << '\n';
    else WriteSweepText(out, in, cuts, summary);
    if (o.sweep_svg) {
        std::string error;
        if (!WriteSweepSvg(*o.sweep_svg, in, cuts, error)) {
            std::cerr << "pelto-sim: error: " << error << '\n';
            return kExitBadInput;
        }
    }
    return failed == 0 ? kExitOk : kExitUnmet;
}

}  // namespace peltosim
