#include "sim/peltosim/check/sweep_report.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "sim/peltosim/host/torn.h"
#include "sim/peltosim/out/report.h"

namespace peltosim {
namespace {

constexpr double kTenths = 10.0;

constexpr int kSvgWidth = 1100;
constexpr int kSvgLeft = 130;
constexpr int kSvgRight = 30;
constexpr int kRowHeight = 28;
constexpr int kBarHeight = 18;
constexpr int kTop = 40;
constexpr int kTickCount = 5;
constexpr int kLineHeight = 16;
constexpr double kMinBar = 2.0;

std::string XmlEscape(const std::string& text) {
    std::string s;
    for (const char c : text) {
        switch (c) {
        case '<': s += "&lt;"; break;
        case '>': s += "&gt;"; break;
        case '&': s += "&amp;"; break;
        case '"': s += "&quot;"; break;
        default: s += c;
        }
    }
    return s;
}

std::string Fixed(double v) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << v;
    return s.str();
}

// Rounded to one decimal, as the text report shows it.
double Tenths(double v) { return std::round(v * kTenths) / kTenths; }

// Cut points, each run once or once per torn variant (its runs are neighbours).
std::size_t PointCount(const std::vector<CutOutcome>& cuts) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < cuts.size(); ++i) n += i == 0 || cuts[i].cycle != cuts[i - 1].cycle;
    return n;
}

std::string LintLine(const CutLint& f) { return f.name + " at cycle " + std::to_string(f.cycle) + ": " + f.message; }

// Neighbouring failing cut runs with one cause: how each ended, the expectations unmet with what
// was found, the problem and the lint checks that fired after the cut.
struct FailRange {
    const CutOutcome* first;
    const CutOutcome* last;
    std::size_t runs;
    std::string operations;  // "erase of DFLASH 0 sector 8 then program of block 0xAF00"
};

bool SameCause(const CutOutcome& a, const CutOutcome& b) {
    // At depth 2 a range is the second cuts after one first cut.
    if (a.second.has_value() != b.second.has_value() || (a.second && (a.cycle != b.cycle || a.torn != b.torn))) return false;
    if (a.end != b.end || a.problem != b.problem || a.unmet.size() != b.unmet.size() || a.lint.size() != b.lint.size()) return false;
    for (std::size_t i = 0; i < a.unmet.size(); ++i)
        if (a.unmet[i].expected != b.unmet[i].expected || a.unmet[i].found != b.unmet[i].found) return false;
    for (std::size_t i = 0; i < a.lint.size(); ++i)
        if (a.lint[i].name != b.lint[i].name) return false;
    return true;
}

std::vector<FailRange> FailRanges(const std::vector<CutOutcome>& cuts) {
    std::vector<FailRange> ranges;
    bool open = false;  // the last cut run failed: a failing one next may join its range
    std::vector<std::string> names;
    auto close = [&] {
        if (ranges.empty()) return;
        std::string joined;
        for (const auto& n : names) joined += (joined.empty() ? "" : " then ") + n;
        ranges.back().operations = joined.empty() ? std::string(kBetweenOperations) : joined;
        names.clear();
    };
    for (const auto& c : cuts) {
        if (c.passed) {
            open = false;
            continue;
        }
        if (!open || !SameCause(*ranges.back().first, c)) {
            close();
            ranges.push_back({&c, &c, 0, {}});
        }
        open = true;
        ranges.back().last = &c;
        ++ranges.back().runs;
        const std::string& name = c.second ? c.second_operation : c.operation;
        if (name != kBetweenOperations && (names.empty() || names.back() != name)) names.push_back(name);
    }
    close();
    return ranges;
}

// "cut at cycle 25 (erase of ...)" or "cycles 2439074-2439284, 34 cut runs (between operations)";
// at depth 2 "cut at cycle 25 (...), then at cycle 2440000 after reboot (program of ...)" or
// "cut at cycle 25 (...), then at cycles 2440000-2440100 after reboot, 12 cut runs (...)".
std::string RangeName(const FailRange& r) {
    const CutOutcome& first = *r.first;
    if (first.second) {
        const std::string head = "cut at cycle " + std::to_string(first.cycle) + " (" + first.operation + "), then at ";
        if (r.runs == 1) return head + "cycle " + std::to_string(*first.second) + " after reboot (" + first.second_operation + ")";
        return head + "cycles " + std::to_string(*first.second) + "-" + std::to_string(*r.last->second) + " after reboot, " +
               std::to_string(r.runs) + " cut runs (" + r.operations + ")";
    }
    if (r.runs == 1) return "cut at cycle " + std::to_string(first.cycle) + " (" + first.operation + ")";
    return "cycles " + std::to_string(first.cycle) + "-" + std::to_string(r.last->cycle) + ", " + std::to_string(r.runs) +
           " cut runs (" + r.operations + ")";
}

// "one bit", or at depth 2 "one bit, then random bits, seed 2" ("none" for a cut between operations).
std::string TornName(const CutOutcome& c) {
    if (!c.second) return c.torn ? TornVariantName(*c.torn) : std::string();
    if (!c.torn && !c.second_torn) return std::string();
    const auto name = [](std::optional<uint64_t> v) { return v ? TornVariantName(*v) : std::string("none"); };
    return name(c.torn) + ", then " + name(c.second_torn);
}

std::size_t SecondCount(const std::vector<CutOutcome>& cuts) {
    return static_cast<std::size_t>(std::count_if(cuts.begin(), cuts.end(), [](const CutOutcome& c) { return c.second.has_value(); }));
}

Json SecondJson(const CutOutcome& c) {
    if (!c.second) return Json();
    return {{"cycle", *c.second}, {"torn", c.second_torn ? Json(*c.second_torn) : Json()}, {"operation", JsonText(c.second_operation)}};
}

}  // namespace

bool WriteSweepSvg(const std::string& path, const SweepRecord& in, const std::vector<CutOutcome>& cuts, std::string& error) {
    const auto& ops = in.operations;
    const uint64_t end = std::max<uint64_t>(in.cycles, 1);
    std::vector<int> rows(flash::kBankCount, -1);
    int row_count = 0;
    for (const auto& op : ops)
        if (rows[op.bank] < 0) rows[op.bank] = row_count++;
    const double span = kSvgWidth - kSvgLeft - kSvgRight;
    auto x = [&](uint64_t cycle) { return kSvgLeft + span * static_cast<double>(std::min(cycle, end)) / static_cast<double>(end); };
    const int cut_row_y = kTop + row_count * kRowHeight + 10;
    const int second_row_y = cut_row_y + (in.depth > 1 ? kRowHeight : 0);
    const int axis_y = second_row_y + kRowHeight + 10;
    std::size_t failed = 0;
    for (const auto& c : cuts) failed += c.passed ? 0 : 1;
    const auto ranges = FailRanges(cuts);
    const int height = axis_y + 40 + static_cast<int>(ranges.size()) * kLineHeight;

    std::ostringstream s;
    s << std::fixed << std::setprecision(1);
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kSvgWidth << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s << "<text x=\"10\" y=\"20\" font-size=\"14\">power-loss sweep: " << cuts.size() << " cut points, " << cuts.size() - failed
      << " passed, " << failed << " failed; " << end << " cycles</text>\n";
    for (int b = 0; b < flash::kBankCount; ++b)
        if (rows[b] >= 0)
            s << "<text x=\"10\" y=\"" << kTop + rows[b] * kRowHeight + kBarHeight - 4 << "\">" << flash::kBanks[b].name << "</text>\n";
    for (const auto& op : ops) {
        const double x0 = x(op.start);
        const double x1 = std::max(x(op.end.value_or(end)), x0 + kMinBar);
        const int y = kTop + rows[op.bank] * kRowHeight;
        const char* fill = op.kind == OpKind::kProgram ? "#3b7dd8" : "#e0902a";
        s << "<rect x=\"" << x0 << "\" y=\"" << y << "\" width=\"" << x1 - x0 << "\" height=\"" << kBarHeight << "\" fill=\"" << fill
          << "\"><title>" << XmlEscape(Describe(op)) << ", cycles " << op.start << "-"
          << (op.end ? std::to_string(*op.end) : std::string("end")) << ", " << OutcomeName(op.outcome) << "</title></rect>\n";
        if (op.second_phase)
            s << "<line x1=\"" << x(*op.second_phase) << "\" x2=\"" << x(*op.second_phase) << "\" y1=\"" << y << "\" y2=\""
              << y + kBarHeight << "\" stroke=\"black\"/>\n";
    }
    s << "<text x=\"10\" y=\"" << cut_row_y + kBarHeight - 4 << "\">cut points</text>\n";
    if (in.depth > 1) s << "<text x=\"10\" y=\"" << second_row_y + kBarHeight - 4 << "\">then in recovery</text>\n";
    for (const auto& c : cuts) {
        // A second cut is drawn below its first: its own cycle lies after the uncut run's timeline.
        const double cx = x(c.cycle);
        const int y = c.second ? second_row_y : cut_row_y;
        s << "<line x1=\"" << cx << "\" x2=\"" << cx << "\" y1=\"" << y << "\" y2=\"" << y + kBarHeight << "\" stroke=\""
          << (c.passed ? "#2a9d4a" : "red") << "\" stroke-width=\"" << (c.passed ? 1 : 2) << "\"><title>cut at cycle " << c.cycle << ": "
          << XmlEscape(c.operation);
        if (c.second) s << ", then at cycle " << *c.second << " after reboot: " << XmlEscape(c.second_operation);
        s << (c.passed ? ", passed" : ", FAILED") << "</title></line>\n";
    }
    s << "<line x1=\"" << kSvgLeft << "\" x2=\"" << kSvgWidth - kSvgRight << "\" y1=\"" << axis_y << "\" y2=\"" << axis_y
      << "\" stroke=\"black\"/>\n";
    for (int t = 0; t <= kTickCount; ++t) {
        const uint64_t cycle = end * static_cast<uint64_t>(t) / kTickCount;
        s << "<text x=\"" << x(cycle) << "\" y=\"" << axis_y + 14 << "\" text-anchor=\"middle\">" << cycle << "</text>\n";
    }
    s << "<text x=\"10\" y=\"" << axis_y + 14 << "\">cycle</text>\n";
    int y = axis_y + 36;
    for (const auto& r : ranges) {
        std::string why;
        for (const auto& u : r.first->unmet) why += (why.empty() ? "" : "; ") + u.expected + " found " + u.found;
        if (!r.first->problem.empty()) why += (why.empty() ? "" : "; ") + r.first->problem;
        s << "<text x=\"10\" y=\"" << y << "\" fill=\"red\">" << XmlEscape(RangeName(r)) << ": " << XmlEscape(why) << "</text>\n";
        y += kLineHeight;
    }
    s << "<text x=\"" << kSvgLeft << "\" y=\"" << kTop - 8 << "\" fill=\"#3b7dd8\">program</text><text x=\"" << kSvgLeft + 70
      << "\" y=\"" << kTop - 8 << "\" fill=\"#e0902a\">erase (line: second phase)</text>\n";
    s << "</svg>\n";
    std::ofstream out(path);
    out << s.str();
    if (!out) {
        error = "--sweep-svg: cannot write '" + path + "'";
        return false;
    }
    return true;
}

void WriteSweepText(std::ostream& out, const SweepRecord& in, const std::vector<CutOutcome>& cuts, const SweepSummary& summary) {
    // Each cause once, for the neighbouring cut runs it failed; the first one's reproducer.
    for (const auto& r : FailRanges(cuts)) {
        const CutOutcome& c = *r.first;
        out << "FAIL " << RangeName(r) << ": run ended " << c.end << '\n';
        if (r.runs == 1 && !TornName(c).empty()) out << "     torn: " << TornName(c) << '\n';
        for (const auto& u : c.unmet) out << "     expected " << u.expected << ", found " << u.found << '\n';
        if (!c.problem.empty()) out << "     " << c.problem << '\n';
        for (const auto& f : c.lint) out << "     lint after the cut: " << LintLine(f) << '\n';
        out << "     reproduce: " << c.command << '\n';
        out << "     debug (launch.json): " << c.launch << '\n';
    }
    for (const auto& c : cuts) {
        if (!c.passed || c.lint.empty()) continue;
        out << "lint after the cut at cycle " << c.cycle << " (" << c.operation << ")";
        if (c.second) out << ", then at cycle " << *c.second << " after reboot (" << c.second_operation << ")";
        out << ":\n";
        for (const auto& f : c.lint) out << "     " << LintLine(f) << '\n';
    }
    const double rate = summary.seconds > 0 ? static_cast<double>(cuts.size()) / summary.seconds : 0;
    out << "sweep: " << PointCount(cuts) << " cut points tried";
    if (in.shard_count > 1)
        out << " (shard " << in.shard_index << "/" << in.shard_count << " of " << summary.total << ")";
    const std::size_t seconds = SecondCount(cuts);
    if (in.cut_torn || in.depth > 1) {
        out << " in " << cuts.size() << " cut runs (";
        if (in.depth > 1) out << seconds << " of them cut again during the recovery" << (in.cut_torn ? "; " : "");
        if (in.cut_torn)
            out << "torn: " << kTornFirstRandom << " extremes and " << in.torn_variants << " random variants a cut inside an operation"
                << (in.metastable ? ", torn cells metastable" : "");
        out << ")";
    }
    out << ", " << cuts.size() - summary.failed << " passed, " << summary.failed << " failed in " << Fixed(summary.seconds) << " s ("
        << Fixed(rate) << " cut runs per second, " << summary.jobs << " jobs, " << summary.forked << " forked)\n";
    if (!summary.stopped.empty())
        out << "sweep: " << summary.stopped << " after " << cuts.size() << " of " << summary.planned << " cut runs\n";
}

Json SweepJson(const SweepRecord& in, const std::vector<CutOutcome>& cuts, const SweepSummary& summary) {
    const double rate = summary.seconds > 0 ? static_cast<double>(cuts.size()) / summary.seconds : 0;
    Json operations = Json::array();
    for (const auto& op : in.operations)
        operations.push_back({{"operation", Describe(op)},
                              {"bank", flash::kBanks[op.bank].name},
                              {"start", op.start},
                              {"second_phase", op.second_phase ? Json(*op.second_phase) : Json()},
                              {"end", op.end ? Json(*op.end) : Json()},
                              {"outcome", OutcomeName(op.outcome)},
                              {"kind", op.kind == OpKind::kProgram ? "program" : "erase"},
                              {"bank_index", op.bank},
                              {"block", op.block},
                              {"sectors", op.sectors},
                              {"start_pc", op.start_pc}});
    Json ranges = Json::array();
    for (const auto& r : FailRanges(cuts))
        ranges.push_back({{"first", r.first->cycle},
                          {"first_torn", r.first->torn ? Json(*r.first->torn) : Json()},
                          {"first_second", SecondJson(*r.first)},
                          {"last", r.last->cycle},
                          {"last_torn", r.last->torn ? Json(*r.last->torn) : Json()},
                          {"last_second", SecondJson(*r.last)},
                          {"runs", r.runs},
                          {"operations", JsonText(r.operations)},
                          {"end", JsonText(r.first->end)},
                          {"unmet", UnmetJson(r.first->unmet)},
                          {"problem", JsonText(r.first->problem)},
                          {"command", JsonText(r.first->command)}});
    Json all = Json::array();
    Json failures = Json::array();
    for (const auto& c : cuts) {
        const Json torn = c.torn ? Json(*c.torn) : Json();
        Json lint = Json::array();
        for (const auto& f : c.lint) lint.push_back({{"name", JsonText(f.name)}, {"cycle", f.cycle}, {"message", JsonText(f.message)}});
        all.push_back({{"cycle", c.cycle}, {"torn", torn}, {"passed", c.passed}, {"operation", JsonText(c.operation)}});
        if (c.second) all.back()["second"] = SecondJson(c);
        // A passing cut's lint findings, for the report of merged shards.
        if (c.passed && !c.lint.empty()) all.back()["lint"] = lint;
        if (c.passed) continue;
        failures.push_back({{"cycle", c.cycle},
                            {"torn", torn},
                            {"second", SecondJson(c)},
                            {"operation", JsonText(c.operation)},
                            {"end", JsonText(c.end)},
                            {"unmet", UnmetJson(c.unmet)},
                            {"problem", JsonText(c.problem)},
                            {"lint", std::move(lint)},
                            {"command", JsonText(c.command)},
                            {"launch", Json::parse(c.launch, nullptr, false)}});
    }
    Json arguments = Json::array();
    for (const auto& a : in.arguments) arguments.push_back(JsonText(a));
    return {{"sweep",
             {{"arguments", arguments},
              {"inputs", in.inputs},
              {"cut_model", in.cut_torn ? "torn" : "atomic"},
              {"torn_variants", in.torn_variants},
              {"metastable", in.metastable},
              {"sweep_every", in.sweep_every},
              {"depth", in.depth},
              {"cut_points", in.cut_points}}},
            {"cut_points", summary.total},
            {"shard", std::to_string(in.shard_index) + "/" + std::to_string(in.shard_count)},
            {"tried", PointCount(cuts)},
            {"runs", cuts.size()},
            {"passed", cuts.size() - summary.failed},
            {"failed", summary.failed},
            {"seconds", Tenths(summary.seconds)},
            {"cuts_per_second", Tenths(rate)},
            {"jobs", summary.jobs},
            {"forked", summary.forked},
            {"planned", summary.planned},
            {"stopped", summary.stopped.empty() ? Json() : Json(JsonText(summary.stopped))},
            {"cut_model", in.cut_torn ? "torn" : "atomic"},
            {"torn_variants", in.torn_variants},
            {"depth", in.depth},
            {"second_cuts", SecondCount(cuts)},
            {"recording",
             {{"cycles", in.cycles},
              {"end", in.end},
              {"changes", in.changes},
              {"operations", std::move(operations)}}},
            {"cuts", std::move(all)},
            {"ranges", std::move(ranges)},
            {"failures", std::move(failures)}};
}

}  // namespace peltosim
