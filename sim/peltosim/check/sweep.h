// The power-loss sweep (--power-cut-sweep): after a recording run that noted every change of
// persistent state (code memory and the ECC shadow) and every flash operation start, the
// firmware runs again once per cut point, each time in a new pelto-sim process with the power
// cut just after one of those moments, and the expectations are checked after every cut.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/peltosim/base/spawn.h"
#include "sim/peltosim/check/sweep_report.h"
#include "sim/peltosim/host/torn.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/run/options.h"

namespace peltosim {

// The cycles to cut at: one just after each persistent-state change and each operation start,
// and every `every` cycles up to `end_cycle` (0: none); ascending, each once.
std::vector<uint64_t> CutPoints(const FlashTracker& tracker, uint64_t end_cycle, uint64_t every);

// The same cut points one at a time, never listed: with --sweep-every 1 there is one a cycle.
class CutPointWalk {
public:
    CutPointWalk(const FlashTracker& tracker, uint64_t end_cycle, uint64_t every)
        : changes_(tracker.changes()), operations_(tracker.operations()), end_(end_cycle), every_(every), next_every_(every) {}
    std::optional<uint64_t> Next();

private:
    const std::vector<uint64_t>& changes_;
    const std::vector<FlashOperation>& operations_;
    uint64_t end_;
    uint64_t every_;
    uint64_t next_every_;
    std::size_t change_ = 0;
    std::size_t operation_ = 0;
    std::optional<uint64_t> last_;
};

// What identifies this sweep and what its reports show of the recording run; its cut points
// only `with_cut_points` (the JSON names them, to merge shards; the text and picture do not).
SweepRecord RecordOf(const SweepInput& in, bool with_cut_points = true);

// What a depth-2 cut run's JSON adds for the sweep (RecoveryCuts, ForkedCuts::RecoveryRuns).
inline constexpr const char* kRecoveryCuts = "recovery_cuts";
inline constexpr const char* kRecoveryRuns = "recovery_runs";

// The cut points of the firmware's own persistent changes after the last power cut, that is of
// its recovery (--sweep-depth 2): one just after each change and each operation start, as
// CutPoints lists them; the extension's start-up at the power-on itself is no such change.
// Added to the host's observers after the tracker.
class RecoveryCuts : public Observer {
public:
    explicit RecoveryCuts(const FlashTracker& tracker) : tracker_(tracker) {}
    void RegisterWritten(uint64_t, uint32_t, uint8_t, bool) override {}
    void TimerArmed(uint64_t, uint32_t, std::optional<uint64_t>) override {}
    void TimerExpired(uint64_t, uint32_t) override {}
    void ChipReset(uint64_t cycle, bool power_cut) override;
    // The points up to `now` not taken before, ascending.
    std::vector<uint64_t> Take(uint64_t now);
    // Every point up to `end` (the run's last cycle) with the operation it falls inside, as the
    // run's JSON gives them to the sweep: [{"cycle": C, "operation": "program of ..." or null}].
    Json ToJson(uint64_t end);

private:
    const FlashTracker& tracker_;
    std::optional<uint64_t> cut_;  // the cycle of the last power cut
    std::size_t next_change_ = 0;
    std::size_t next_operation_ = 0;
    std::vector<uint64_t> taken_;
};

// Cut runs forked from the recording run at their cut points (where the system can fork): the
// child applies the cut and runs on as a cut run would, the parent goes on recording. Nothing
// before the cut is simulated twice, and the extension's globals come along with the fork.
// Points the recording run never stops at (after its end) are left to RunSweep.
class ForkedCuts : public Observer {
public:
    // `torn` may be null (atomic cuts), `recovery` too (depth 1). Opens nothing until the first
    // cut point.
    ForkedCuts(SimHost& host, const FlashTracker& tracker, TornCut* torn, RecoveryCuts* recovery, const Options& options);
    ~ForkedCuts() override;
    ForkedCuts(const ForkedCuts&) = delete;
    ForkedCuts& operator=(const ForkedCuts&) = delete;

    // Each persistent change and operation start asks for the host's cut hook just after it.
    void RegisterWritten(uint64_t, uint32_t, uint8_t, bool) override {}
    void TimerArmed(uint64_t cycle, uint32_t, std::optional<uint64_t>) override { host_.RequestCutHookAt(cycle + 1); }
    void TimerExpired(uint64_t, uint32_t) override {}
    void MemoryWritten(uint64_t cycle, uint32_t, uint32_t) override { host_.RequestCutHookAt(cycle + 1); }
    void DataAccessed(uint64_t cycle, sim8051::DataSpace, uint16_t, bool write, uint16_t) override {
        if (write) host_.RequestCutHookAt(cycle + 1);
    }

    // What a child turns off in its own process before its cut (outputs of the recording run).
    void OnChild(std::function<void()> prepare) { prepare_child_ = std::move(prepare); }
    // In a forked child: the (last) cut it applies.
    std::optional<uint64_t> child_cut() const { return child_cut_; }
    // In a forked child at depth 2: the cut runs it forked at its recovery's cut points (one at
    // a time, waiting for each), as its JSON gives them to the sweep: [{"cycle", "torn",
    // "status", "crash", "out", "err"}]. Null in a child forked for a second cut.
    Json RecoveryRuns() const;
    // In a child: takes the cycle budget once the parent knows it, and ends the run when the
    // sweep was interrupted (from Run's poll).
    void Poll();

    using Key = CutKey;
    // In the parent after the recording: tells the running children their budget (cycles after
    // the cut) and waits for them. When a signal interrupted the recording (`interrupted`), or
    // interrupts the wait, it ends the running ones at once instead and keeps what those that
    // had ended by themselves found.
    void Finish(uint64_t budget, bool interrupted);
    // After Finish: how many cut runs have a result.
    std::size_t results() const { return result_count_; }
    // After Finish: the result of cut run `key`, each once, asked for in cut order.
    std::optional<ChildResult> Take(const Key& key);
    // After Finish: the results not taken (the sweep stopped before their turn), in cut order.
    std::vector<std::pair<Key, ChildResult>> TakeRest();

private:
    void Hook();
    // Waits for a child and keeps its result; false when a signal interrupted the sweep first.
    bool Collect();
    void Keep(ChildResult r);
    void Judge(uint64_t budget);
    ChildResult Unpacked(std::size_t passed) const;
    void RecoveryHook();

    SimHost& host_;
    const FlashTracker& tracker_;
    TornCut* torn_;
    RecoveryCuts* recovery_;
    const Options& options_;
    std::size_t jobs_;
    Children children_;
    std::function<void()> prepare_child_;
    std::optional<uint64_t> child_cut_;
    bool second_cut_ = false;  // a child forked during its parent's recovery
    struct RecoveryRun {
        uint64_t cycle;
        std::optional<uint64_t> torn;
        ChildResult result;
    };
    std::vector<RecoveryRun> recovery_runs_;
    std::size_t next_change_ = 0;
    std::size_t next_operation_ = 0;
    uint64_t next_every_ = 0;
    uint64_t last_point_ = 0;
    std::size_t point_index_ = 0;
    std::size_t next_tag_ = 0;
    std::map<std::size_t, Key> running_;  // the running children's cut runs, by tag
    // A passing cut run without lint findings is kept as its end and cycles only (the parent
    // holds every forked result until the recording ends); the others in full.
    struct Passed {
        Key key;
        uint64_t cycles;
        std::size_t end;  // in ends_
    };
    std::vector<Passed> passed_;    // in cut order after Finish
    std::vector<std::string> ends_;  // the few ends that passing runs name
    std::size_t next_passed_ = 0;
    std::map<Key, ChildResult> results_;
    std::size_t result_count_ = 0;
    // Shared with the children: the budget (0 until known), and the signal that interrupted the
    // sweep (0: none), which ends the children's runs and stops their forking at depth 2. While
    // the budget is unknown, `least` is what it will be at least, from the cycles recorded so
    // far: a child past it gives way (kExitGaveWay) and is started afresh once the budget is
    // known, so children that never halt cannot hold the recording's job slots for ever.
    struct Shared {
        std::atomic<uint64_t> budget{0};
        std::atomic<uint64_t> least{0};
        std::atomic<int> interrupted{0};
    };
    Shared* shared_ = nullptr;
};

// Whether the sweep's picture can be written where --sweep-svg says: asked before the first
// cut, so that no cut runs for nothing. `error` names the file and the system's reason.
bool CheckSweepOutputs(const Options& options, std::string& error);

// Runs the cut runs (those that `forked` has not run) and reports; returns the exit status.
int RunSweep(const SweepInput& in, std::ostream& out, ForkedCuts* forked = nullptr);

}  // namespace peltosim
