#include "sim/peltosim/check/sweep.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>

#include "sim/peltosim/base/digest.h"
#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/base/spawn.h"
#include "sim/peltosim/check/sweep_report.h"
#include "sim/peltosim/debug/command_line.h"
#include "sim/peltosim/run/exit_codes.h"
#include "sim/peltosim/host/interrupt.h"
#include "sim/peltosim/out/report.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define PELTO_ISATTY _isatty
#define PELTO_FILENO _fileno
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#define PELTO_ISATTY isatty
#define PELTO_FILENO fileno
#endif

namespace peltosim {
namespace {

constexpr double kProgressSeconds = 0.2;  // between updates of the progress line
// Without --max-cycles, a cut run may take this many times the uncut run's cycles after its cut
// (a boot, its recovery and the rest of the run), and at least kCutBudgetFloor.
constexpr uint64_t kCutBudgetFactor = 10;
constexpr uint64_t kCutBudgetFloor = 10'000'000;

bool IsLint(const std::string& a) { return a == "--lint" || a.rfind("--lint=", 0) == 0; }

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
    // Depth 2: more cut runs, found in the recoveries.
    void Grow(std::size_t more) { total_ += more; }
    void Update(std::size_t done, std::size_t failed, double seconds) {
        if (!on_ || (seconds - last_ < kProgressSeconds && done != total_)) return;
        last_ = seconds;
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
        std::fprintf(stderr, "\rsweep: %zu/%zu cuts, %zu failed, %.1f cuts/s, %.0f s left   ", done, total_, failed, rate, left);
        std::fflush(stderr);
    }
    // The last line stays, ended.
    void Finish() {
        if (on_ && last_ >= 0) std::fputc('\n', stderr);
    }

private:
    std::size_t total_;
    bool on_;
    double last_ = -1;
};

}  // namespace

std::optional<uint64_t> CutPointWalk::Next() {
    // The smallest of the three ascending sources, past the last point given.
    for (;;) {
        std::optional<uint64_t> point;
        auto consider = [&](uint64_t candidate) { point = point ? std::min(*point, candidate) : candidate; };
        if (change_ < changes_.size()) consider(changes_[change_] + 1);
        if (operation_ < operations_.size()) consider(operations_[operation_].start + 1);
        if (every_ != 0 && next_every_ <= end_) consider(next_every_);
        if (!point) return std::nullopt;
        if (change_ < changes_.size() && changes_[change_] + 1 == *point) ++change_;
        if (operation_ < operations_.size() && operations_[operation_].start + 1 == *point) ++operation_;
        if (every_ != 0 && next_every_ == *point) next_every_ += every_;
        if (last_ && *last_ >= *point) continue;
        last_ = point;
        return point;
    }
}

std::vector<uint64_t> CutPoints(const FlashTracker& tracker, uint64_t end_cycle, uint64_t every) {
    std::size_t count = 0;
    for (CutPointWalk walk(tracker, end_cycle, every); walk.Next(); ++count) {}
    std::vector<uint64_t> points;
    points.reserve(count);
    CutPointWalk walk(tracker, end_cycle, every);
    while (const auto point = walk.Next()) points.push_back(*point);
    return points;
}

namespace {

std::size_t SweepJobs(const Options& o) {
    return std::max<std::size_t>(1, std::min<std::size_t>(o.jobs ? o.jobs : CoreCount(), Children::MaxRunning()));
}

// The "cycles" of a run's JSON result.
std::optional<uint64_t> JsonCycles(const std::string& json) {
    const Json result = ParseJson(json);
    if (!result.is_object() || !result.contains("cycles") || !result["cycles"].is_number_unsigned()) return std::nullopt;
    return result["cycles"].get<uint64_t>();
}

// A passing cut run without lint findings is kept as its end and cycles only (and, at depth 2,
// its recovery's cut points and runs): the parent holds every forked result until the recording
// ends, and the report needs no more of it.
void TrimPassed(ChildResult& r) {
    if (r.status != kExitOk) return;
    const Json result = ParseJson(r.out);
    if (!result.is_object() || !LintFromJson(result).empty()) return;
    Json kept{{"end", result.value("end", Json())}, {"cycles", result.value("cycles", Json())}};
    for (const char* part : {kRecoveryCuts, kRecoveryRuns})
        if (result.contains(part)) kept[part] = result[part];
    r.out = JsonLine(kept);
    r.err = std::string();
}

// A forked run that halted only after its budget (cycles after its last cut) would have been
// stopped there when started afresh.
void ChargeBudget(ChildResult& r, uint64_t last_cut, uint64_t budget) {
    const auto cycles = JsonCycles(r.out);
    if (budget != 0 && cycles && *cycles > last_cut + budget && (r.status == kExitOk || r.status == kExitUnmet)) r.status = kExitNoHalt;
}

// The torn variants a cut point runs: inside an operation the two extremes and the random ones,
// else the one atomic cut.
std::vector<std::optional<uint64_t>> VariantsAt(bool inside, const Options& o) {
    if (!o.cut_torn || !inside) return {std::nullopt};
    std::vector<std::optional<uint64_t>> variants;
    for (uint64_t v = kTornOneBit; v < kTornFirstRandom + o.torn_variants; ++v) variants.push_back(v);
    return variants;
}

// A --power-cut-at value: CYCLE, or CYCLE:SEED for a torn variant.
std::string CutArgument(uint64_t cycle, std::optional<uint64_t> torn) {
    return std::to_string(cycle) + (torn ? ":" + std::to_string(*torn) : "");
}

}  // namespace

void RecoveryCuts::ChipReset(uint64_t cycle, bool power_cut) {
    if (!power_cut) return;
    cut_ = cycle;
    next_change_ = tracker_.changes().size();
    next_operation_ = tracker_.operations().size();
}

std::vector<uint64_t> RecoveryCuts::Take(uint64_t now) {
    if (!cut_) return {};
    std::vector<uint64_t> points;
    // The extension's start-up writes at the power-on's own cycle; the firmware's come later.
    const auto& changes = tracker_.changes();
    for (; next_change_ < changes.size() && changes[next_change_] + 1 <= now; ++next_change_)
        if (changes[next_change_] > *cut_) points.push_back(changes[next_change_] + 1);
    const auto& ops = tracker_.operations();
    for (; next_operation_ < ops.size() && ops[next_operation_].start + 1 <= now; ++next_operation_)
        if (ops[next_operation_].start > *cut_) points.push_back(ops[next_operation_].start + 1);
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::erase_if(points, [&](uint64_t p) { return !taken_.empty() && p <= taken_.back(); });
    taken_.insert(taken_.end(), points.begin(), points.end());
    return points;
}

Json RecoveryCuts::ToJson(uint64_t end) {
    Take(end);
    Json list = Json::array();
    for (const uint64_t point : taken_) {
        const FlashOperation* op = tracker_.At(point);
        list.push_back({{"cycle", point}, {"operation", op ? Json(Describe(*op, point)) : Json()}});
    }
    return list;
}

ForkedCuts::ForkedCuts(SimHost& host, const FlashTracker& tracker, TornCut* torn, RecoveryCuts* recovery, const Options& options)
    : host_(host), tracker_(tracker), torn_(torn), recovery_(recovery), options_(options), jobs_(SweepJobs(options)),
      next_every_(options.sweep_every) {
#ifndef _WIN32
    void* shared = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED) {
        shared_ = new (shared) Shared();
        ShareInterruption(&shared_->interrupted);
    }
#endif
    host_.SetCutHook([this] { Hook(); });
    if (next_every_ != 0) host_.RequestCutHookAt(next_every_);
}

ForkedCuts::~ForkedCuts() {
    if (shared_ == nullptr) return;
    ShareInterruption(nullptr);
    // Children still running when the sweep gave up stop at their next poll.
    uint64_t unknown = 0;
    shared_->budget.compare_exchange_strong(unknown, 1, std::memory_order_relaxed);
#ifndef _WIN32
    munmap(shared_, sizeof(Shared));
#endif
}

void ForkedCuts::Hook() {
    if (child_cut_) {
        RecoveryHook();
        return;
    }
    // Interrupted: no cut run starts any more, and the run stops at its next instruction.
    if (InterruptingSignal() != 0) return;
    const uint64_t now = host_.cpu().Cycles();
    // The cut points up to now, in order, as CutPoints lists them.
    std::vector<uint64_t> points;
    const auto& changes = tracker_.changes();
    for (; next_change_ < changes.size() && changes[next_change_] + 1 <= now; ++next_change_) points.push_back(changes[next_change_] + 1);
    const auto& ops = tracker_.operations();
    for (; next_operation_ < ops.size() && ops[next_operation_].start + 1 <= now; ++next_operation_)
        points.push_back(ops[next_operation_].start + 1);
    for (; next_every_ != 0 && next_every_ <= now; next_every_ += options_.sweep_every) points.push_back(next_every_);
    std::sort(points.begin(), points.end());
    // What is left for a later boundary.
    if (next_change_ < changes.size()) host_.RequestCutHookAt(changes[next_change_] + 1);
    if (next_operation_ < ops.size()) host_.RequestCutHookAt(ops[next_operation_].start + 1);
    if (next_every_ != 0) host_.RequestCutHookAt(next_every_);
    for (const uint64_t point : points) {
        if (InterruptingSignal() != 0) return;
        if (point <= last_point_) continue;
        last_point_ = point;
        if (point_index_++ % options_.shard_count != options_.shard_index - 1) continue;
        for (const auto& variant : VariantsAt(tracker_.At(point) != nullptr, options_)) {
            std::string error;
            switch (children_.Fork(next_tag_, error)) {
            case Children::kForkedChild:
                child_cut_ = point;
                // At depth 2 the child goes on forking, at its recovery's cut points.
                if (recovery_ == nullptr) host_.SetCutHook(nullptr);
                if (torn_ && variant) torn_->SetVariant(*variant);
                if (prepare_child_) prepare_child_();
                // Without --max-cycles the budget comes from the parent once the recording has ended.
                host_.SetCycleLimit(options_.max_cycles_given && options_.max_cycles != 0 ? point + options_.max_cycles
                                                                                         : ~uint64_t{0});
                host_.ScheduleReset(point, true);
                return;
            case Children::kForkedParent:
                running_.emplace(next_tag_++, Key{point, variant, std::nullopt, std::nullopt});
                if (shared_ != nullptr && children_.running() >= jobs_)
                    shared_->least.store(std::max(kCutBudgetFloor, kCutBudgetFactor * now), std::memory_order_relaxed);
                while (children_.running() >= jobs_)
                    if (!Collect()) return;
                break;
            case Children::kForkFailed:
                // Left to RunSweep, which starts it afresh and reports a failure to start.
                break;
            }
        }
    }
}

bool ForkedCuts::Collect() {
    auto r = children_.WaitAnyUnless([] { return InterruptingSignal() != 0; });
    if (!r) return false;
    Keep(std::move(*r));
    return true;
}

void ForkedCuts::Keep(ChildResult r) {
    const auto started = running_.find(r.tag);
    const Key key = started->second;
    running_.erase(started);
    // Left to RunSweep, which starts it afresh with its budget.
    if (r.status == kExitGaveWay) return;
    const Json result = r.status == kExitOk ? ParseJson(r.out) : Json();
    const auto cycles = result.is_object() ? result.value("cycles", Json()) : Json();
    // At depth 2 a passing run also carries its recovery's cut points and runs.
    const bool recovery = result.is_object() && (result.contains(kRecoveryCuts) || result.contains(kRecoveryRuns));
    if (!cycles.is_number_unsigned() || !result.value("end", Json()).is_string() || !LintFromJson(result).empty() || recovery) {
        TrimPassed(r);
        results_.emplace(key, std::move(r));
        return;
    }
    const auto end = result["end"].get<std::string>();
    auto known = std::ranges::find(ends_, end);
    if (known == ends_.end()) known = ends_.insert(ends_.end(), end);
    passed_.push_back({key, cycles.get<uint64_t>(), static_cast<std::size_t>(known - ends_.begin())});
}

void ForkedCuts::RecoveryHook() {
    if (recovery_ == nullptr || second_cut_) return;
    for (const uint64_t point : recovery_->Take(host_.cpu().Cycles())) {
        for (const auto& variant : VariantsAt(tracker_.At(point) != nullptr, options_)) {
            if (shared_ != nullptr && shared_->interrupted.load(std::memory_order_relaxed) != 0) {
                host_.Interrupt();
                return;
            }
            std::string error;
            switch (children_.Fork(0, error)) {
            case Children::kForkedChild:
                second_cut_ = true;
                child_cut_ = point;
                host_.SetCutHook(nullptr);
                if (torn_ && variant) torn_->SetVariant(*variant);
                host_.SetCycleLimit(options_.max_cycles_given && options_.max_cycles != 0 ? point + options_.max_cycles : ~uint64_t{0});
                host_.ScheduleReset(point, true);
                return;
            case Children::kForkedParent: {
                // One at a time: this run waits, so the sweep's jobs stay the processes at work.
                ChildResult r = children_.WaitAny();
                // One that gave way is left to the sweep, which starts it afresh with both cuts.
                if (r.status == kExitGaveWay) break;
                TrimPassed(r);
                recovery_runs_.push_back({point, variant, std::move(r)});
                break;
            }
            case Children::kForkFailed:
                // Left to the sweep, which starts it afresh with both cuts.
                break;
            }
        }
    }
}

Json ForkedCuts::RecoveryRuns() const {
    if (second_cut_) return Json();
    Json runs = Json::array();
    for (const auto& run : recovery_runs_)
        runs.push_back({{"cycle", run.cycle},
                        {"torn", run.torn ? Json(*run.torn) : Json()},
                        {"status", run.result.status},
                        {"crash", JsonText(run.result.crash)},
                        {"out", JsonText(run.result.out)},
                        {"err", JsonText(run.result.err)}});
    return runs;
}

void ForkedCuts::Poll() {
    if (!child_cut_ || shared_ == nullptr) return;
    if (shared_->interrupted.load(std::memory_order_relaxed) != 0) host_.Interrupt();
    if (options_.max_cycles_given) return;
    if (const uint64_t budget = shared_->budget.load(std::memory_order_relaxed); budget != 0) {
        host_.SetCycleLimit(*child_cut_ + budget);
        return;
    }
    const uint64_t least = shared_->least.load(std::memory_order_relaxed);
    if (least != 0 && host_.cpu().Cycles() > *child_cut_ + least) std::_Exit(kExitGaveWay);
}

void ForkedCuts::Finish(uint64_t budget, bool interrupted) {
    host_.SetCutHook(nullptr);
    if (shared_ != nullptr) shared_->budget.store(budget, std::memory_order_relaxed);
    while (!interrupted && children_.running() > 0) {
        auto r = children_.WaitAnyUnless([] { return InterruptingSignal() != 0; });
        if (!r) break;
        Keep(std::move(*r));
    }
    for (auto& r : children_.KillAll())
        if (!r.killed) Keep(std::move(r));
    Judge(budget);
}

ChildResult ForkedCuts::Unpacked(std::size_t i) const {
    const Passed& p = passed_[i];
    return {0, kExitOk, JsonLine(Json{{"end", ends_[p.end]}, {"cycles", p.cycles}}), {}, {}};
}

void ForkedCuts::Judge(uint64_t budget) {
    // A passing child that ran past its budget is kept in full, then charged for it as all are.
    auto over = [&](const Passed& p) { return budget != 0 && p.cycles > p.key.cycle + budget; };
    for (std::size_t i = 0; i < passed_.size(); ++i)
        if (over(passed_[i])) results_.emplace(passed_[i].key, Unpacked(i));
    std::erase_if(passed_, over);
    for (auto& [key, r] : results_) ChargeBudget(r, key.second.value_or(key.cycle), budget);
    std::ranges::sort(passed_, {}, &Passed::key);
    result_count_ = results_.size() + passed_.size();
}

std::optional<ChildResult> ForkedCuts::Take(const Key& key) {
    if (const auto found = results_.find(key); found != results_.end()) {
        ChildResult r = std::move(found->second);
        results_.erase(found);
        return r;
    }
    if (next_passed_ < passed_.size() && passed_[next_passed_].key == key) return Unpacked(next_passed_++);
    return std::nullopt;
}

std::vector<std::pair<ForkedCuts::Key, ChildResult>> ForkedCuts::TakeRest() {
    std::vector<std::pair<Key, ChildResult>> rest;
    for (; next_passed_ < passed_.size(); ++next_passed_) rest.emplace_back(passed_[next_passed_].key, Unpacked(next_passed_));
    for (auto& [key, r] : results_) rest.emplace_back(key, std::move(r));
    results_.clear();
    std::ranges::sort(rest, {}, [](const auto& kr) { return kr.first; });
    return rest;
}

namespace {

// The report goes to standard output: closed, or open only for reading, it could take none.
bool StandardOutputWritable() {
#ifdef _WIN32
    const intptr_t handle = _get_osfhandle(_fileno(stdout));
    if (handle == -1 || handle == -2) return false;
    DWORD written = 0;
    return WriteFile(reinterpret_cast<HANDLE>(handle), "", 0, &written, nullptr) != 0;
#else
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
#endif
}

}  // namespace

bool CheckSweepOutputs(const Options& options, std::string& error) {
    if (!StandardOutputWritable()) {
        error = std::string("cannot write the sweep's report to standard output: ") + std::strerror(EBADF);
        return false;
    }
    if (!options.sweep_svg) return true;
    const std::string& path = *options.sweep_svg;
    std::error_code ignored;
    const bool existed = std::filesystem::exists(path, ignored);
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        error = "--sweep-svg: cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    if (!existed) std::filesystem::remove(path, ignored);
    return true;
}

SweepRecord RecordOf(const SweepInput& in, bool with_cut_points) {
    const Options& o = in.options;
    const uint64_t cycles = in.host.cpu().Cycles();
    std::vector<std::string> inputs;
    for (const auto& file : o.hex_files) inputs.push_back(FileDigest(file).value_or("unreadable"));
    for (const auto& image : o.binaries) inputs.push_back(FileDigest(image.path).value_or("unreadable"));
    return {CutRunArguments(in.args), std::move(inputs),
            with_cut_points ? CutPoints(in.tracker, cycles, o.sweep_every) : std::vector<uint64_t>{}, o.cut_torn, o.torn_variants,
            o.metastable, o.sweep_every, o.sweep_depth,
            o.shard_index, o.shard_count, cycles, RunEndName(in.end), in.tracker.changes().size(), in.tracker.operations()};
}

int RunSweep(const SweepInput& in, std::ostream& out, ForkedCuts* forked) {
    const Options& o = in.options;
    // A signal during the recording: the report covers the cut runs forked before it, of the cut
    // points the recording had reached.
    const bool recording_interrupted = in.end == RunEnd::kInterrupted;
    if (recording_interrupted) {
        std::cerr << "pelto-sim: sweep interrupted by " << SignalName(InterruptingSignal())
                  << " during the run without a power cut, at cycle " << in.host.cpu().Cycles()
                  << ": the report covers the cut points reached by then\n";
    } else if (in.end != RunEnd::kHalted) {
        std::cerr << "pelto-sim: error: the sweep needs a run that halts; the run without a power cut ended "
                  << RunEndName(in.end) << " after " << in.host.cpu().Cycles() << " cycles\n";
        return in.end == RunEnd::kCycleLimit ? kExitNoHalt : kExitBadInput;
    } else if (!in.unmet.empty()) {
        std::cerr << "pelto-sim: error: the run without a power cut does not meet the expectations:\n";
        for (const auto& u : in.unmet) std::cerr << "  expected " << u.expected << ", found " << u.found << '\n';
        return kExitUnmet;
    } else if (in.tracker.operations().empty()) {
        std::cerr << "pelto-sim: error: the run without a power cut started no flash operation, so there is nothing to cut"
                  << (o.extensions.empty() ? " (no --ext given)" : "") << '\n';
        return kExitBadInput;
    }
    if (ExpectationCount(o) == 0 && !recording_interrupted)
        std::cerr << "pelto-sim: warning: no --expect given: a cut fails only when the firmware does not halt\n";

    // This shard's cut runs, walked in order as they start and never listed (the parent's memory
    // stays small however many there are). A cut inside an operation runs once per torn variant:
    // the two extremes, then the random ones. At depth 2 a passing cut run's recovery adds the
    // runs with a second cut, queued as its result comes in.
    struct CutRun {
        CutKey key;
        std::string second_operation;  // what the second cut interrupts
    };
    auto torn_point = [&](uint64_t cycle) { return o.cut_torn && in.tracker.At(cycle) != nullptr; };
    const auto torn_runs = static_cast<std::size_t>(kTornFirstRandom + o.torn_variants - kTornOneBit);
    std::size_t points = 0;
    std::size_t planned = 0;
    {
        CutPointWalk walk(in.tracker, in.host.cpu().Cycles(), o.sweep_every);
        for (; const auto cycle = walk.Next(); ++points)
            if (points % o.shard_count == o.shard_index - 1) planned += torn_point(*cycle) ? torn_runs : 1;
    }
    CutPointWalk walk(in.tracker, in.host.cpu().Cycles(), o.sweep_every);
    std::size_t walked = 0;  // cut points of all shards so far
    std::optional<uint64_t> point;
    uint64_t next_variant = 0;
    std::deque<CutRun> second_runs;
    auto next_run = [&]() -> std::optional<CutRun> {
        if (!second_runs.empty()) {
            CutRun run = std::move(second_runs.front());
            second_runs.pop_front();
            return run;
        }
        if (next_variant == 0) {
            // This shard's next cut point.
            do point = walk.Next();
            while (point && walked++ % o.shard_count != o.shard_index - 1);
        }
        if (!point) return std::nullopt;
        if (!torn_point(*point)) return CutRun{{*point, std::nullopt, std::nullopt, std::nullopt}, {}};
        const CutRun run{{*point, kTornOneBit + next_variant, std::nullopt, std::nullopt}, {}};
        if (++next_variant == torn_runs) next_variant = 0;
        return run;
    };

    const std::string self = SelfPath();
    if (self.empty()) {
        std::cerr << "pelto-sim: error: cannot find the pelto-sim executable to start the cut runs\n";
        return kExitBadInput;
    }
    auto base = CutRunArguments(in.args);
    // A firmware that hangs after a cut costs a budget scaled to the uncut run, not the default limit.
    const uint64_t budget = o.max_cycles_given ? o.max_cycles : std::max(kCutBudgetFloor, kCutBudgetFactor * in.host.cpu().Cycles());
    if (!o.max_cycles_given) base.insert(base.end(), {"--max-cycles", std::to_string(budget)});
    // The reproducer lints as the sweep was asked to; the cut runs only report their findings,
    // and the sweep judges those after the cut.
    std::string shown = ShellQuote(in.invoked_as);
    for (const auto& a : base) shown += ' ' + ShellQuote(a);
    for (const auto& a : in.args)
        if (IsLint(a)) shown += ' ' + ShellQuote(a);
    if (o.lint) {
        std::string lint = "--lint";
        for (std::size_t i = 0; i < o.lint_off.size(); ++i)
            lint += (i ? ",-" : "=-") + std::string(kLintChecks[static_cast<std::size_t>(o.lint_off[i])].name);
        base.push_back(lint);
    }
    const bool deep = o.sweep_depth > 1;

    const std::size_t jobs = SweepJobs(o);
    // Forked cut runs ran during the recording; the rest start afresh here.
    if (forked != nullptr) forked->Finish(budget, recording_interrupted);
    SweepSummary tally{points, 0, 0, jobs, forked != nullptr ? forked->results() : 0, planned, {}};
    int stop_status = kExitOk;  // the exit status when the sweep stops early
    // In cut order, as the report lists them: a passing cut run without lint findings as its key
    // only (with --sweep-every 1 there are millions), the others in full.
    std::map<CutKey, CutOutcome> outcomes;
    struct PassedRun {
        CutKey key;
        std::string second_operation;
        auto operator<=>(const PassedRun&) const = default;
    };
    std::vector<PassedRun> passed;
    std::map<std::size_t, CutRun> running;  // the started cut runs, by tag
    std::map<CutKey, ChildResult> second_results;  // runs with a second cut that a forked first cut ran
    std::size_t next_tag = 0;
    Children children;
    Progress progress(planned);
    // From the recording's start: forked cut runs ran during it.
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - in.started).count(); };
    std::size_t done = 0;
    // A cut run's result into its outcome. A run that a signal ended (killed, or interrupted
    // itself, as a Ctrl+C reaches the whole process group) found nothing: false.
    // A passing first cut's recovery, as its result lists it: the runs with a second cut, queued,
    // and those its forked process ran already, kept as results.
    auto queue_recovery = [&](const CutRun& first, const Json& result) {
        if (!result.contains(kRecoveryCuts) || !result[kRecoveryCuts].is_array()) return;
        std::map<CutKey, ChildResult> ran;
        for (const auto& j : result.value(kRecoveryRuns, Json::array())) {
            const Json cycle = j.value("cycle", Json());
            const Json torn = j.value("torn", Json());
            if (!cycle.is_number_unsigned()) continue;
            ChildResult r;
            r.status = j.value("status", kChildCrashed);
            r.crash = BytesFromJson(j.value("crash", Json())).value_or("");
            r.out = BytesFromJson(j.value("out", Json())).value_or("");
            r.err = BytesFromJson(j.value("err", Json())).value_or("");
            ChargeBudget(r, cycle.get<uint64_t>(), budget);
            const CutKey key{first.key.cycle, first.key.torn, cycle.get<uint64_t>(),
                             torn.is_number_unsigned() ? std::optional(torn.get<uint64_t>()) : std::nullopt};
            ran.emplace(key, std::move(r));
        }
        std::size_t added = 0;
        for (const auto& second : result[kRecoveryCuts]) {
            const Json cycle = second.value("cycle", Json());
            // A run started afresh stops at its budget: no second cut after it.
            if (!cycle.is_number_unsigned() || (budget != 0 && cycle.get<uint64_t>() > first.key.cycle + budget)) continue;
            const Json operation = second.value("operation", Json());
            for (const auto& variant : VariantsAt(operation.is_string(), o)) {
                CutRun run{{first.key.cycle, first.key.torn, cycle.get<uint64_t>(), variant},
                           operation.is_string() ? operation.get<std::string>() : std::string(kBetweenOperations)};
                if (auto found = ran.find(run.key); found != ran.end()) {
                    second_results.emplace(run.key, std::move(found->second));
                    ++tally.forked;
                }
                second_runs.push_back(std::move(run));
                ++added;
            }
        }
        tally.planned += added;
        progress.Grow(added);
    };
    std::function<void(std::string, int)> stop;
    auto judge = [&](const CutRun& run, const ChildResult& r) {
        const Json result = ParseJson(r.out);
        if (r.killed || (result.is_object() && result.value("end", Json()) == RunEndName(RunEnd::kInterrupted))) return;
        CutOutcome c;
        c.cycle = run.key.cycle;
        c.torn = run.key.torn;
        c.second = run.key.second;
        c.second_torn = run.key.second_torn;
        c.second_operation = run.second_operation;
        const uint64_t last_cut = c.second.value_or(c.cycle);
        const FlashOperation* op = in.tracker.At(c.cycle);
        c.operation = op ? Describe(*op, c.cycle) : std::string(kBetweenOperations);
        if (result.is_object()) {
            c.end = BytesFromJson(result.value("end", Json())).value_or("");
            c.unmet = UnmetFromJson(result);
            for (auto& f : LintFromJson(result))
                if (f.cycle >= last_cut) c.lint.push_back(std::move(f));
        }
        // The exit status says what the run found only when the run reported: a sanitizer or a
        // signal can end it with any status, and that is a crash, never "did not halt".
        if (r.status == kChildCrashed) {
            c.problem = "crashed: " + r.crash + (r.err.empty() ? "" : ": " + FirstLine(r.err));
        } else if (c.end.empty()) {
            c.problem = "crashed: exit status " + std::to_string(r.status) + (r.err.empty() ? "" : ": " + FirstLine(r.err));
        } else if (r.status == kExitOk) {
            c.passed = !(o.lint_error && !c.lint.empty());
        } else if (r.status == kExitNoHalt && c.end == RunEndName(RunEnd::kCycleLimit)) {
            c.problem = budget == 0 ? "did not halt" : "did not halt within " + std::to_string(budget) + " cycles after the cut";
        } else if (r.status == kExitBadInput) {
            std::cerr << "pelto-sim: error: the cut run at cycle " << c.cycle << " refused its input: " << FirstLine(r.err) << '\n';
            c.problem = "refused its input: " + FirstLine(r.err);
            stop("stopped: a cut run refused its input", kExitBadInput);
        } else if (r.status != kExitUnmet) {
            c.problem = "exit status " + std::to_string(r.status) + ": " + FirstLine(r.err);
        }
        if (c.end.empty()) c.end = "without a result";
        // A first cut that fails already names the fault: only a passing one is cut again.
        if (deep && !c.second && c.passed && result.is_object()) queue_recovery(run, result);
        // Only a failure shows how to reproduce it: a passing cut keeps no command.
        if (!c.passed) {
            ++tally.failed;
            auto launch_args = base;
            std::vector<std::string> cuts;
            if (c.second) {
                cuts = {CutArgument(c.cycle, c.torn), CutArgument(*c.second, c.second_torn)};
                c.command = shown + " --power-cut-at " + cuts[0] + " --power-cut-at " + cuts[1];
            } else {
                cuts = {std::to_string(c.cycle)};
                c.command = shown + " --power-cut-at " + cuts[0] + (c.torn ? " --torn-seed " + std::to_string(*c.torn) : "");
                if (c.torn) launch_args.insert(launch_args.end(), {"--torn-seed", std::to_string(*c.torn)});
            }
            c.launch = debug::LaunchConfiguration(launch_args, cuts);
        }
        if (c.passed && c.lint.empty()) passed.push_back({KeyOf(c), std::move(c.second_operation)});
        else outcomes.emplace(KeyOf(c), std::move(c));
        ++done;
        progress.Update(done, tally.failed, elapsed());
    };
    // Stopping ends the cut runs started here; those that had ended by themselves still count.
    stop = [&](std::string why, int status) {
        if (!tally.stopped.empty()) return;
        tally.stopped = std::move(why);
        stop_status = status;
        for (const auto& r : children.KillAll()) {
            const auto started = running.find(r.tag);
            judge(started->second, r);
            running.erase(started);
        }
    };
    bool more = true;
    while (tally.stopped.empty()) {
        if (const int signal_number = InterruptingSignal(); signal_number != 0) {
            stop("interrupted by " + SignalName(signal_number), InterruptedExitStatus(signal_number));
            break;
        }
        // The next result: a forked one in cut order, or else one of the cut runs started here.
        std::optional<ChildResult> r;
        CutRun run{};
        while (!r && more && children.running() < jobs) {
            auto next = next_run();
            if (!next) {
                more = false;
                break;
            }
            if (const auto found = second_results.find(next->key); found != second_results.end()) {
                r = std::move(found->second);
                second_results.erase(found);
                run = std::move(*next);
                break;
            }
            if (forked != nullptr && !next->key.second && (r = forked->Take(next->key))) {
                run = std::move(*next);
                break;
            }
            auto args = base;
            args.insert(args.end(), {"--json", "--power-cut-at", CutArgument(next->key.cycle, next->key.torn)});
            if (next->key.second) args.insert(args.end(), {"--power-cut-at", CutArgument(*next->key.second, next->key.second_torn)});
            else if (deep) args.insert(args.end(), {"--sweep-depth", std::to_string(o.sweep_depth)});
            std::string error;
            if (!children.Start(next_tag, self, args, error)) {
                std::cerr << "pelto-sim: error: the cut run at cycle " << next->key.cycle << ": " << error << '\n';
                stop("stopped: a cut run could not be started", kExitBadInput);
                break;
            }
            running.emplace(next_tag++, std::move(*next));
        }
        if (!tally.stopped.empty()) break;
        if (!r) {
            if (children.running() == 0) break;
            r = children.WaitAnyUnless([] { return InterruptingSignal() != 0; });
            if (!r) continue;
            const auto started = running.find(r->tag);
            run = std::move(started->second);
            running.erase(started);
        }
        judge(run, *r);
    }
    // Forked cut runs that ended before the sweep stopped are results too.
    if (forked != nullptr)
        for (const auto& [key, r] : forked->TakeRest()) judge(CutRun{key, {}}, r);
    // So are the runs with a second cut that forked first cuts ran during their recovery.
    for (const auto& run : second_runs)
        if (const auto found = second_results.find(run.key); found != second_results.end()) judge(run, found->second);
    tally.seconds = elapsed();
    progress.Finish();
    std::ranges::sort(passed);
    std::vector<CutOutcome> reported;
    reported.reserve(outcomes.size() + passed.size());
    for (auto next = passed.begin(); next != passed.end() || !outcomes.empty();) {
        if (next == passed.end() || (!outcomes.empty() && outcomes.begin()->first < next->key)) {
            reported.push_back(std::move(outcomes.extract(outcomes.begin()).mapped()));
            continue;
        }
        CutOutcome c;
        c.cycle = next->key.cycle;
        c.torn = next->key.torn;
        c.second = next->key.second;
        c.second_torn = next->key.second_torn;
        c.second_operation = std::move(next->second_operation);
        c.passed = true;
        const FlashOperation* op = in.tracker.At(c.cycle);
        c.operation = op ? Describe(*op, c.cycle) : std::string(kBetweenOperations);
        reported.push_back(std::move(c));
        ++next;
    }
    passed = {};
    // Only the JSON names every cut point (to merge shards), and its list goes once it is built.
    if (o.json) {
        const Json json = SweepJson(RecordOf(in, true), reported, tally);
        out << JsonLine(json) << '\n';
    }
    const SweepRecord record = RecordOf(in, false);
    if (!o.json) WriteSweepText(out, record, reported, tally);
    if (o.sweep_svg) {
        std::string error;
        if (!WriteSweepSvg(*o.sweep_svg, record, reported, error)) {
            std::cerr << "pelto-sim: error: " << error << '\n';
            return kExitBadInput;
        }
    }
    if (!tally.stopped.empty()) return stop_status;
    return tally.failed == 0 ? kExitOk : kExitUnmet;
}

}  // namespace peltosim
