#include "sim/peltosim/check/sweep_merge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

#include "sim/peltosim/base/json.h"
#include "sim/peltosim/check/expect.h"
#include "sim/peltosim/check/sweep_report.h"
#include "sim/peltosim/run/exit_codes.h"

namespace peltosim {
namespace {

constexpr std::array kOutcomes{OpEnd::kRunning, OpEnd::kCompleted, OpEnd::kAborted, OpEnd::kRestarted, OpEnd::kReset};

struct Shard {
    std::string file;
    Json report;
};

std::optional<uint64_t> Cycle(const Json& v) { return v.is_number_unsigned() ? std::optional(v.get<uint64_t>()) : std::nullopt; }

std::optional<FlashOperation> OperationFromJson(const Json& j) {
    if (!j.is_object()) return std::nullopt;
    FlashOperation op;
    const auto start = Cycle(j.value("start", Json()));
    const Json bank = j.value("bank_index", Json());
    if (!start || !bank.is_number_unsigned() || bank.get<std::size_t>() >= flash::kBankCount) return std::nullopt;
    op.kind = j.value("kind", "") == "program" ? OpKind::kProgram : OpKind::kErase;
    op.bank = bank.get<int>();
    op.block = j.value("block", uint16_t{0});
    op.sectors = j.value("sectors", uint16_t{0});
    op.start_pc = j.value("start_pc", uint16_t{0});
    op.start = *start;
    op.second_phase = Cycle(j.value("second_phase", Json()));
    op.end = Cycle(j.value("end", Json()));
    const std::string outcome = j.value("outcome", "");
    for (const OpEnd e : kOutcomes)
        if (outcome == OutcomeName(e)) op.outcome = e;
    return op;
}

// The sweep's record as the first shard gives it, for the whole sweep.
std::optional<SweepRecord> RecordFromJson(const Json& report) {
    const Json& sweep = report["sweep"];
    const Json& recording = report["recording"];
    if (!sweep.contains("arguments") || !sweep.contains("cut_points") || !recording.contains("operations")) return std::nullopt;
    SweepRecord r;
    for (const auto& a : sweep.value("arguments", Json::array())) {
        auto text = BytesFromJson(a);
        if (!text) return std::nullopt;
        r.arguments.push_back(std::move(*text));
    }
    for (const auto& d : sweep.value("inputs", Json::array()))
        if (d.is_string()) r.inputs.push_back(d.get<std::string>());
    for (const auto& c : sweep.value("cut_points", Json::array())) {
        const auto cycle = Cycle(c);
        if (!cycle) return std::nullopt;
        r.cut_points.push_back(*cycle);
    }
    r.cut_torn = sweep.value("cut_model", "") == "torn";
    r.torn_variants = sweep.value("torn_variants", 0U);
    r.metastable = sweep.value("metastable", false);
    r.sweep_every = sweep.value("sweep_every", uint64_t{0});
    r.depth = sweep.value("depth", 1U);
    r.cycles = recording.value("cycles", uint64_t{0});
    r.end = recording.value("end", "");
    r.changes = recording.value("changes", std::size_t{0});
    for (const auto& j : recording.value("operations", Json::array())) {
        auto op = OperationFromJson(j);
        if (!op) return std::nullopt;
        r.operations.push_back(*op);
    }
    return r;
}

// A cut run as the report lists it: every run in "cuts", the failing ones' details in "failures".
// Which cut run a report's entry is (in "cuts" and in "failures").
std::optional<CutKey> KeyFromJson(const Json& cut) {
    const auto cycle = Cycle(cut.value("cycle", Json()));
    if (!cycle) return std::nullopt;
    const Json second = cut.value("second", Json());
    if (!second.is_null() && (!second.is_object() || !Cycle(second.value("cycle", Json())))) return std::nullopt;
    return CutKey{*cycle, Cycle(cut.value("torn", Json())), second.is_null() ? std::nullopt : Cycle(second["cycle"]),
                  second.is_null() ? std::nullopt : Cycle(second.value("torn", Json()))};
}

std::optional<CutOutcome> CutFromJson(const Json& cut, const std::map<CutKey, const Json*>& failures) {
    const auto key = KeyFromJson(cut);
    const Json passed = cut.value("passed", Json());
    if (!key || !passed.is_boolean()) return std::nullopt;
    CutOutcome c;
    c.cycle = key->cycle;
    c.torn = key->torn;
    c.second = key->second;
    c.second_torn = key->second_torn;
    if (c.second) c.second_operation = BytesFromJson(cut["second"].value("operation", Json())).value_or("");
    c.passed = passed.get<bool>();
    const Json* details = &cut;
    if (!c.passed) {
        const auto found = failures.find(*key);
        if (found == failures.end()) return std::nullopt;
        details = found->second;
    }
    c.operation = BytesFromJson(details->value("operation", Json())).value_or("");
    c.end = BytesFromJson(details->value("end", Json())).value_or("");
    c.problem = BytesFromJson(details->value("problem", Json())).value_or("");
    c.command = BytesFromJson(details->value("command", Json())).value_or("");
    const Json launch = details->value("launch", Json());
    if (!launch.is_null()) c.launch = JsonLine(launch);
    c.unmet = UnmetFromJson(Json{{"expect", {{"unmet", details->value("unmet", Json::array())}}}});
    c.lint = LintFromJson(Json{{"lint", details->value("lint", Json::array())}});
    return c;
}

bool ReadShard(const std::string& file, Json& report, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read '" + file + "': " + std::strerror(errno);
        return false;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    report = ParseJson(text);
    const bool shaped = report.is_object() && report.contains("sweep") && report["sweep"].is_object() && report.contains("recording") &&
                        report["recording"].is_object() && report.contains("cuts") && report["cuts"].is_array() &&
                        report.contains("failures") && report["failures"].is_array();
    if (!shaped) {
        error = "'" + file + "' is not the JSON report of a sweep shard (pelto-sim --power-cut-sweep --shard K/N --json)";
        return false;
    }
    if (!report.value("stopped", Json()).is_null()) {
        error = "'" + file + "' is the report of a shard that did not finish (" + report.value("stopped", std::string()) + ")";
        return false;
    }
    return true;
}

}  // namespace

int MergeSweepShards(const std::vector<std::string>& files, const Options& options, std::ostream& out, std::ostream& err) {
    const auto fail = [&](const std::string& why) {
        err << "pelto-sim: error: --sweep-merge: " << why << '\n';
        return kExitBadInput;
    };
    std::vector<Shard> shards;
    for (const auto& file : files) {
        Json report;
        std::string error;
        if (!ReadShard(file, report, error)) return fail(error);
        shards.push_back({file, std::move(report)});
    }
    const Json& identity = shards.front().report["sweep"];
    for (const auto& s : shards)
        for (const char* part : {"arguments", "inputs", "cut_model", "torn_variants", "metastable", "sweep_every", "depth", "cut_points"})
            if (s.report["sweep"].value(part, Json()) != identity.value(part, Json()))
                return fail("'" + s.file + "' is a shard of another sweep than '" + shards.front().file + "' (its " + part + " differ)");
    auto record = RecordFromJson(shards.front().report);
    if (!record) return fail("'" + shards.front().file + "' is not the JSON report of a sweep shard (its recording is malformed)");

    // Every cut point in exactly one shard.
    std::map<uint64_t, const Shard*> owner;
    std::vector<CutOutcome> cuts;
    SweepSummary summary{record->cut_points.size(), 0, 0, 0, 0, 0, {}};
    for (const auto& s : shards) {
        std::map<CutKey, const Json*> failures;
        for (const auto& f : s.report["failures"])
            if (const auto key = KeyFromJson(f)) failures[*key] = &f;
        for (const auto& j : s.report["cuts"]) {
            auto c = CutFromJson(j, failures);
            if (!c) return fail("'" + s.file + "' is not the JSON report of a sweep shard (a malformed cut run)");
            if (!std::binary_search(record->cut_points.begin(), record->cut_points.end(), c->cycle))
                return fail("'" + s.file + "' cuts at cycle " + std::to_string(c->cycle) + ", no cut point of its sweep");
            const auto [it, added] = owner.emplace(c->cycle, &s);
            if (!added && it->second != &s)
                return fail("the cut point at cycle " + std::to_string(c->cycle) + " is in both '" + it->second->file + "' and '" + s.file +
                            "'" + (it->second->file == s.file ? " (the file given twice)" : ""));
            summary.failed += c->passed ? 0 : 1;
            cuts.push_back(std::move(*c));
        }
        summary.seconds += s.report.value("seconds", 0.0);
        summary.jobs = std::max(summary.jobs, s.report.value("jobs", std::size_t{0}));
        summary.forked += s.report.value("forked", std::size_t{0});
        summary.planned += s.report.value("planned", std::size_t{0});
    }
    std::size_t missing = 0;
    std::optional<uint64_t> first_missing;
    for (const uint64_t p : record->cut_points)
        if (!owner.contains(p)) {
            ++missing;
            if (!first_missing) first_missing = p;
        }
    if (missing != 0)
        return fail("the cut point at cycle " + std::to_string(*first_missing) + (missing > 1 ? " and " + std::to_string(missing - 1) + " more" : "") +
                    " in no shard (" + std::to_string(record->cut_points.size()) + " cut points, " + std::to_string(files.size()) +
                    " shards given)");
    std::stable_sort(cuts.begin(), cuts.end(), [](const CutOutcome& a, const CutOutcome& b) { return KeyOf(a) < KeyOf(b); });
    if (options.json) out << JsonLine(SweepJson(*record, cuts, summary)) << '\n';
    else WriteSweepText(out, *record, cuts, summary);
    if (options.sweep_svg) {
        std::string error;
        if (!WriteSweepSvg(*options.sweep_svg, *record, cuts, error)) return fail(error);
    }
    return summary.failed == 0 ? kExitOk : kExitUnmet;
}

}  // namespace peltosim
