#include "sweep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

#include "report.h"
#include "spawn.h"
#include "debug/command_line.h"

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

constexpr int kExitOk = 0;
constexpr int kExitNoHalt = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitUnmet = 3;
constexpr double kProgressSeconds = 0.2;  // between updates of the progress line

// Options that take a value, so that a value is never mistaken for an option.
const std::set<std::string> kWithValue{
    "--ext", "--load-bin", "--max-cycles", "--break", "--clock", "--dump", "--sfr", "--vcd", "--menu", "--serial-out",
    "--serial-in", "--stop-on-read", "--stop-on-write", "--reset-at", "--power-cut-at", "--ram-fill", "--fail-service",
    "--expect", "--expect-serial", "--sweep-every", "--sweep-svg", "--jobs", "--shard",
};
// Dropped from cut runs: the sweep's own, outputs the cut runs would share, and the interactive.
const std::set<std::string> kNotInCuts{
    "--power-cut-sweep", "--sweep-every", "--sweep-svg", "--jobs", "--shard", "--json", "--trace", "--vcd",
    "--serial-out", "--menu", "--keep-open", "--dump", "--sfr",
};

bool IsLint(const std::string& a) { return a == "--lint" || a.rfind("--lint=", 0) == 0; }

std::string ShellQuote(const std::string& arg) {
    static const std::string kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./:=,@+-%";
    if (!arg.empty() && arg.find_first_not_of(kPlain) == std::string::npos) return arg;
    std::string s = "'";
    for (const char c : arg) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

struct CutOutcome {
    uint64_t cycle;
    bool passed = false;
    std::string operation;  // what the cut interrupted
    std::string end;        // how the cut run ended
    std::vector<Unmet> unmet;
    std::string problem;    // besides unmet expectations: no halt, a crash
    std::string command;
    std::string launch;  // the debugger's launch configuration for the same run
};

std::string JsonField(const std::string& json, const std::string& key) {
    const std::string k = "\"" + key + "\":\"";
    const auto at = json.find(k);
    if (at == std::string::npos) return {};
    const auto end = json.find('"', at + k.size());
    return json.substr(at + k.size(), end - at - k.size());
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

// ---- the picture ----

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

bool WriteSvg(const std::string& path, const SweepInput& in, const std::vector<CutOutcome>& cuts, std::string& error) {
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

// ---- reports ----

std::string Fixed(double v) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << v;
    return s.str();
}

void WriteText(std::ostream& out, const SweepInput& in, const std::vector<CutOutcome>& cuts, std::size_t total,
               std::size_t failed, double seconds, std::size_t jobs) {
    for (const auto& c : cuts) {
        if (c.passed) continue;
        out << "FAIL cut at cycle " << c.cycle << " (" << c.operation << "): run ended " << c.end << '\n';
        for (const auto& u : c.unmet) out << "     expected " << u.expected << ", found " << u.found << '\n';
        if (!c.problem.empty()) out << "     " << c.problem << '\n';
        out << "     reproduce: " << c.command << '\n';
        out << "     debug (launch.json): " << c.launch << '\n';
    }
    const double rate = seconds > 0 ? static_cast<double>(cuts.size()) / seconds : 0;
    out << "sweep: " << cuts.size() << " cut points tried";
    if (in.options.shard_count > 1)
        out << " (shard " << in.options.shard_index << "/" << in.options.shard_count << " of " << total << ")";
    out << ", " << cuts.size() - failed << " passed, " << failed << " failed in " << Fixed(seconds) << " s (" << Fixed(rate)
        << " cut points per second, " << jobs << " jobs)\n";
}

void WriteJsonReport(std::ostream& out, const SweepInput& in, const std::vector<CutOutcome>& cuts, std::size_t total,
                     std::size_t failed, double seconds, std::size_t jobs) {
    const double rate = seconds > 0 ? static_cast<double>(cuts.size()) / seconds : 0;
    out << "{\"cut_points\":" << total << ",\"shard\":\"" << in.options.shard_index << "/" << in.options.shard_count
        << "\",\"tried\":" << cuts.size() << ",\"passed\":" << cuts.size() - failed << ",\"failed\":" << failed
        << ",\"seconds\":" << Fixed(seconds) << ",\"cuts_per_second\":" << Fixed(rate) << ",\"jobs\":" << jobs;
    out << ",\"recording\":{\"cycles\":" << in.host.cpu().Cycles() << ",\"end\":\"" << RunEndName(in.end)
        << "\",\"changes\":" << in.tracker.changes().size() << ",\"operations\":[";
    const auto& ops = in.tracker.operations();
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const auto& op = ops[i];
        out << (i ? "," : "") << "{\"operation\":" << JsonString(Describe(op)) << ",\"bank\":" << JsonString(flash::kBanks[op.bank].name)
            << ",\"start\":" << op.start << ",\"second_phase\":" << (op.second_phase ? std::to_string(*op.second_phase) : "null")
            << ",\"end\":" << (op.end ? std::to_string(*op.end) : "null") << ",\"outcome\":" << JsonString(OutcomeName(op.outcome))
            << "}";
    }
    out << "]},\"cuts\":[";
    for (std::size_t i = 0; i < cuts.size(); ++i)
        out << (i ? "," : "") << "{\"cycle\":" << cuts[i].cycle << ",\"passed\":" << (cuts[i].passed ? "true" : "false") << "}";
    out << "],\"failures\":[";
    bool first = true;
    for (const auto& c : cuts) {
        if (c.passed) continue;
        out << (first ? "" : ",") << "{\"cycle\":" << c.cycle << ",\"operation\":" << JsonString(c.operation)
            << ",\"end\":" << JsonString(c.end) << ",\"unmet\":[";
        for (std::size_t u = 0; u < c.unmet.size(); ++u)
            out << (u ? "," : "") << "{\"expected\":" << JsonString(c.unmet[u].expected) << ",\"found\":" << JsonString(c.unmet[u].found)
                << "}";
        out << "],\"problem\":" << JsonString(c.problem) << ",\"command\":" << JsonString(c.command) << ",\"launch\":" << c.launch << "}";
        first = false;
    }
    out << "]}\n";
}

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

std::vector<std::string> CutArguments(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool value = kWithValue.count(a) != 0 && i + 1 < args.size();
        if (kNotInCuts.count(a) != 0 || IsLint(a)) {
            if (value) ++i;
            continue;
        }
        out.push_back(a);
        if (value) out.push_back(args[++i]);
    }
    return out;
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
    const auto base = CutArguments(in.args);
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
        c.end = JsonField(r.out, "end");
        c.unmet = UnmetFromJson(r.out);
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
    if (o.json) WriteJsonReport(out, in, cuts, all.size(), failed, seconds, jobs);
    else WriteText(out, in, cuts, all.size(), failed, seconds, jobs);
    if (o.sweep_svg) {
        std::string error;
        if (!WriteSvg(*o.sweep_svg, in, cuts, error)) {
            std::cerr << "pelto-sim: error: " << error << '\n';
            return kExitBadInput;
        }
    }
    return failed == 0 ? kExitOk : kExitUnmet;
}

}  // namespace peltosim
