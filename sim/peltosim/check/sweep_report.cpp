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

}  // namespace

bool WriteSweepSvg(const std::string& path, const SweepInput& in, const std::vector<CutOutcome>& cuts, std::string& error) {
    const auto& ops = in.tracker.operations();
    const uint64_t end = std::max<uint64_t>(in.host.cpu().Cycles(), 1);
    std::vector<int> rows(flash::kBankCount, -1);
    int row_count = 0;
    for (const auto& op : ops)
        if (rows[op.bank] < 0) rows[op.bank] = row_count++;
    const double span = kSvgWidth - kSvgLeft - kSvgRight;
    auto x = [&](uint64_t cycle) { return kSvgLeft + span * static_cast<double>(std::min(cycle, end)) / static_cast<double>(end); };
    const int cut_row_y = kTop + row_count * kRowHeight + 10;
    const int axis_y = cut_row_y + kRowHeight + 10;
    std::vector<const CutOutcome*> failing;
    for (const auto& c : cuts)
        if (!c.passed) failing.push_back(&c);
    const int height = axis_y + 40 + static_cast<int>(failing.size()) * kLineHeight;

    std::ostringstream s;
    s << std::fixed << std::setprecision(1);
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kSvgWidth << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    std::size_t failed = failing.size();
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
    for (const auto& c : cuts) {
        const double cx = x(c.cycle);
        s << "<line x1=\"" << cx << "\" x2=\"" << cx << "\" y1=\"" << cut_row_y << "\" y2=\"" << cut_row_y + kBarHeight
          << "\" stroke=\"" << (c.passed ? "#2a9d4a" : "red") << "\" stroke-width=\"" << (c.passed ? 1 : 2) << "\"><title>cut at cycle "
          << c.cycle << ": " << XmlEscape(c.operation) << (c.passed ? ", passed" : ", FAILED") << "</title></line>\n";
    }
    s << "<line x1=\"" << kSvgLeft << "\" x2=\"" << kSvgWidth - kSvgRight << "\" y1=\"" << axis_y << "\" y2=\"" << axis_y
      << "\" stroke=\"black\"/>\n";
    for (int t = 0; t <= kTickCount; ++t) {
        const uint64_t cycle = end * static_cast<uint64_t>(t) / kTickCount;
        s << "<text x=\"" << x(cycle) << "\" y=\"" << axis_y + 14 << "\" text-anchor=\"middle\">" << cycle << "</text>\n";
    }
    s << "<text x=\"10\" y=\"" << axis_y + 14 << "\">cycle</text>\n";
    int y = axis_y + 36;
    for (const CutOutcome* c : failing) {
        std::string why;
        for (const auto& u : c->unmet) why += (why.empty() ? "" : "; ") + u.expected + " found " + u.found;
        if (!c->problem.empty()) why += (why.empty() ? "" : "; ") + c->problem;
        s << "<text x=\"10\" y=\"" << y << "\" fill=\"red\">cut at cycle " << c->cycle << ": " << XmlEscape(c->operation) << ": "
          << XmlEscape(why) << "</text>\n";
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

void WriteSweepText(std::ostream& out, const SweepInput& in, const std::vector<CutOutcome>& cuts, const SweepSummary& summary) {
    for (const auto& c : cuts) {
        if (c.passed) continue;
        out << "FAIL cut at cycle " << c.cycle << " (" << c.operation << "): run ended " << c.end << '\n';
        if (c.torn) out << "     torn: " << TornVariantName(*c.torn) << '\n';
        for (const auto& u : c.unmet) out << "     expected " << u.expected << ", found " << u.found << '\n';
        if (!c.problem.empty()) out << "     " << c.problem << '\n';
        for (const auto& f : c.lint) out << "     lint after the cut: " << LintLine(f) << '\n';
        out << "     reproduce: " << c.command << '\n';
        out << "     debug (launch.json): " << c.launch << '\n';
    }
    for (const auto& c : cuts) {
        if (!c.passed || c.lint.empty()) continue;
        out << "lint after the cut at cycle " << c.cycle << " (" << c.operation << "):\n";
        for (const auto& f : c.lint) out << "     " << LintLine(f) << '\n';
    }
    const double rate = summary.seconds > 0 ? static_cast<double>(cuts.size()) / summary.seconds : 0;
    out << "sweep: " << PointCount(cuts) << " cut points tried";
    if (in.options.shard_count > 1)
        out << " (shard " << in.options.shard_index << "/" << in.options.shard_count << " of " << summary.total << ")";
    if (in.options.cut_torn)
        out << " in " << cuts.size() << " cut runs (torn: " << kTornFirstRandom << " extremes and " << in.options.torn_variants
            << " random variants a cut inside an operation)";
    out << ", " << cuts.size() - summary.failed << " passed, " << summary.failed << " failed in " << Fixed(summary.seconds) << " s ("
        << Fixed(rate) << " cut runs per second, " << summary.jobs << " jobs, " << summary.forked << " forked)\n";
    if (!summary.stopped.empty())
        out << "sweep: " << summary.stopped << " after " << cuts.size() << " of " << summary.planned << " cut runs\n";
}

Json SweepJson(const SweepInput& in, const std::vector<CutOutcome>& cuts, const SweepSummary& summary) {
    const double rate = summary.seconds > 0 ? static_cast<double>(cuts.size()) / summary.seconds : 0;
    Json operations = Json::array();
    for (const auto& op : in.tracker.operations())
        operations.push_back({{"operation", Describe(op)},
                              {"bank", flash::kBanks[op.bank].name},
                              {"start", op.start},
                              {"second_phase", op.second_phase ? Json(*op.second_phase) : Json()},
                              {"end", op.end ? Json(*op.end) : Json()},
                              {"outcome", OutcomeName(op.outcome)}});
    Json all = Json::array();
    Json failures = Json::array();
    for (const auto& c : cuts) {
        const Json torn = c.torn ? Json(*c.torn) : Json();
        all.push_back({{"cycle", c.cycle}, {"torn", torn}, {"passed", c.passed}});
        if (c.passed) continue;
        Json lint = Json::array();
        for (const auto& f : c.lint) lint.push_back({{"name", JsonText(f.name)}, {"cycle", f.cycle}, {"message", JsonText(f.message)}});
        failures.push_back({{"cycle", c.cycle},
                            {"torn", torn},
                            {"operation", JsonText(c.operation)},
                            {"end", JsonText(c.end)},
                            {"unmet", UnmetJson(c.unmet)},
                            {"problem", JsonText(c.problem)},
                            {"lint", std::move(lint)},
                            {"command", JsonText(c.command)},
                            {"launch", Json::parse(c.launch, nullptr, false)}});
    }
    return {{"cut_points", summary.total},
            {"shard", std::to_string(in.options.shard_index) + "/" + std::to_string(in.options.shard_count)},
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
            {"cut_model", in.options.cut_torn ? "torn" : "atomic"},
            {"torn_variants", in.options.torn_variants},
            {"recording",
             {{"cycles", in.host.cpu().Cycles()},
              {"end", RunEndName(in.end)},
              {"changes", in.tracker.changes().size()},
              {"operations", std::move(operations)}}},
            {"cuts", std::move(all)},
            {"failures", std::move(failures)}};
}

}  // namespace peltosim
