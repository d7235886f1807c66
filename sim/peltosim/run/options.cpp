#include "sim/peltosim/run/options.h"

#include <algorithm>
#include <array>
#include <limits>

#include "sim/peltosim/run/expectation.h"
#include "sim/peltosim/run/lint_checks.h"
#include "sim/peltosim/run/register_ref.h"

namespace peltosim {

namespace {

constexpr uint64_t kAddressMax = 0xFFFF;
constexpr uint64_t kSpaceSize = 0x10000;
constexpr uint64_t kIdataSize = 0x100;
// More parallel runs than this is a typo, not a machine.
constexpr uint64_t kMaxJobs = 1024;
constexpr uint64_t kMaxTornVariants = 64;
// A cut, then one more during the recovery after it.
constexpr uint64_t kMaxSweepDepth = 2;
constexpr uint64_t kMaxShards = std::numeric_limits<unsigned>::max();

std::optional<Space> ParseSpace(const std::string& name, uint64_t& size) {
    size = kSpaceSize;
    if (name == "code") return Space::kCode;
    if (name == "xdata") return Space::kXdata;
    if (name == "idata") {
        size = kIdataSize;
        return Space::kIdata;
    }
    return std::nullopt;
}

std::optional<Dump> ParseDump(const std::string& text, std::string& error) {
    const auto first = text.find(':');
    const auto second = first == std::string::npos ? std::string::npos : text.find(':', first + 1);
    if (second == std::string::npos) {
        error = "--dump '" + text + "': expected SPACE:ADDR:LEN";
        return std::nullopt;
    }
    const std::string space_name = text.substr(0, first);
    uint64_t size = 0;
    const auto parsed_space = ParseSpace(space_name, size);
    if (!parsed_space) {
        error = "--dump '" + text + "': unknown space '" + space_name + "' (code, xdata or idata)";
        return std::nullopt;
    }
    const Space space = *parsed_space;
    const auto address = ParseNumber(text.substr(first + 1, second - first - 1), size - 1);
    const auto length = ParseNumber(text.substr(second + 1), size);
    if (!address || !length || *length == 0 || *address + *length > size) {
        error = "--dump '" + text + "': address or length out of range";
        return std::nullopt;
    }
    return Dump{text, space, static_cast<uint16_t>(*address), static_cast<uint32_t>(*length)};
}

std::optional<AccessPoint> ParseAccessPoint(const std::string& option, const std::string& text, bool write, std::string& error) {
    const auto colon = text.find(':');
    uint64_t size = 0;
    const auto space = colon == std::string::npos ? std::nullopt : ParseSpace(text.substr(0, colon), size);
    const auto address = colon == std::string::npos ? std::nullopt : ParseNumber(text.substr(colon + 1), size - 1);
    if (!space || !address) {
        error = option + " '" + text + "': expected SPACE:ADDR with SPACE " + (write ? "xdata or idata" : "code, xdata or idata") +
                " and ADDR inside it";
        return std::nullopt;
    }
    if (write && *space == Space::kCode) {
        error = option + " '" + text + "': the program cannot write code memory (xdata or idata)";
        return std::nullopt;
    }
    return AccessPoint{*space, static_cast<uint16_t>(*address)};
}

bool ParseRamFill(const std::string& text, Options& o, std::string& error) {
    static const std::string kRandom = "random:";
    if (text.rfind(kRandom, 0) == 0) {
        const auto seed = ParseNumber(text.substr(kRandom.size()), std::numeric_limits<uint64_t>::max());
        if (seed) {
            o.ram_fill_random = true;
            o.ram_fill_seed = *seed;
            return true;
        }
    } else if (const auto byte = ParseNumber(text, 0xFF)) {
        o.ram_fill_random = false;
        o.ram_fill_byte = static_cast<uint8_t>(*byte);
        return true;
    }
    error = "--ram-fill '" + text + "': expected a byte (0x00-0xFF) or random:SEED";
    return false;
}

bool ParseShard(const std::string& text, Options& o, std::string& error) {
    const auto slash = text.find('/');
    const auto index = slash == std::string::npos ? std::nullopt : ParseNumber(text.substr(0, slash), kMaxShards);
    const auto count = slash == std::string::npos ? std::nullopt : ParseNumber(text.substr(slash + 1), kMaxShards);
    if (!index || !count || *index == 0 || *index > *count) {
        error = "--shard '" + text + "': expected K/N with 1 <= K <= N";
        return false;
    }
    o.shard_index = static_cast<unsigned>(*index);
    o.shard_count = static_cast<unsigned>(*count);
    return true;
}

// ---- the options' handlers: each stores its parsed value ----

using Form = OptionEntry::Form;

bool SetHelp(Options& o, const std::string&, const std::string*, std::string&) { return o.help = true; }
bool SetJson(Options& o, const std::string&, const std::string*, std::string&) { return o.json = true; }
bool SetTrace(Options& o, const std::string&, const std::string*, std::string&) { return o.trace = true; }
bool SetTraceRegisters(Options& o, const std::string&, const std::string*, std::string&) {
    o.trace = true;
    return o.trace_registers = true;
}
bool SetKeepOpen(Options& o, const std::string&, const std::string*, std::string&) { return o.keep_open = true; }
bool SetSweep(Options& o, const std::string&, const std::string*, std::string&) { return o.power_cut_sweep = true; }

bool AddExtension(Options& o, const std::string&, const std::string* v, std::string&) {
    o.extensions.push_back(*v);
    return true;
}

bool AddBinary(Options& o, const std::string&, const std::string* v, std::string& error) {
    const auto at = v->rfind('@');
    const auto address = at == std::string::npos ? std::nullopt : ParseNumber(v->substr(at + 1), kAddressMax);
    if (!address || at == 0) {
        error = "--load-bin '" + *v + "': expected FILE@ADDR with ADDR below 0x10000";
        return false;
    }
    o.binaries.push_back({v->substr(0, at), static_cast<uint16_t>(*address)});
    return true;
}

bool SetMaxCycles(Options& o, const std::string&, const std::string* v, std::string& error) {
    const auto n = ParseNumber(*v, std::numeric_limits<uint64_t>::max());
    if (!n) {
        error = "--max-cycles '" + *v + "': not a number";
        return false;
    }
    o.max_cycles = *n;
    o.max_cycles_given = true;
    return true;
}

bool SetClock(Options& o, const std::string&, const std::string* v, std::string& error) {
    const auto n = ParseNumber(*v, std::numeric_limits<uint32_t>::max());
    if (!n || *n == 0) {
        error = "--clock '" + *v + "': not a frequency in Hz";
        return false;
    }
    o.clock_hz = static_cast<uint32_t>(*n);
    return true;
}

bool AddBreakpoint(Options& o, const std::string&, const std::string* v, std::string& error) {
    const auto n = ParseNumber(*v, kAddressMax);
    if (!n) {
        error = "--break '" + *v + "': not a code address";
        return false;
    }
    o.breakpoints.push_back(static_cast<uint16_t>(*n));
    return true;
}

// Symbols are turned into addresses before parsing (debug/command_line.h); the file is kept for
// what the run reports.
bool SetDebugInfo(Options& o, const std::string&, const std::string* v, std::string&) {
    o.debug_info = *v;
    return true;
}

bool AddDump(Options& o, const std::string&, const std::string* v, std::string& error) {
    auto dump = ParseDump(*v, error);
    if (!dump) return false;
    o.dumps.push_back(std::move(*dump));
    return true;
}

bool AddRegister(Options& o, const std::string&, const std::string* v, std::string& error) {
    std::string why;
    const auto ref = ParseRegister(*v, why);
    if (!ref) {
        error = "--sfr '" + *v + "': " + why;
        return false;
    }
    o.sfrs.push_back({*v, *ref});
    return true;
}

bool SetVcd(Options& o, const std::string&, const std::string* v, std::string&) {
    o.vcd = *v;
    return true;
}
bool SetMenu(Options& o, const std::string&, const std::string* v, std::string&) {
    o.menu = *v;
    return true;
}
bool SetSerialOut(Options& o, const std::string&, const std::string* v, std::string&) {
    o.serial_out = *v;
    return true;
}
bool SetSerialIn(Options& o, const std::string&, const std::string* v, std::string&) {
    o.serial_in = *v;
    return true;
}

bool AddStopOnRead(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto point = ParseAccessPoint(arg, *v, false, error);
    if (point) o.stop_on_read.push_back(*point);
    return point.has_value();
}
bool AddStopOnWrite(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto point = ParseAccessPoint(arg, *v, true, error);
    if (point) o.stop_on_write.push_back(*point);
    return point.has_value();
}

std::optional<uint64_t> ParseCycle(const std::string& arg, const std::string& text, std::string& error) {
    const auto n = ParseNumber(text, std::numeric_limits<uint64_t>::max());
    if (!n) error = arg + " '" + text + "': not a cycle count";
    return n;
}
bool AddResetAt(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto n = ParseCycle(arg, *v, error);
    if (n) o.reset_at.push_back(*n);
    return n.has_value();
}
// CYCLE, or CYCLE:SEED with the torn variant of this cut.
bool AddPowerCutAt(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto colon = v->find(':');
    const auto n = ParseCycle(arg, v->substr(0, colon), error);
    if (!n) return false;
    if (colon != std::string::npos) {
        const auto seed = ParseNumber(v->substr(colon + 1), std::numeric_limits<uint64_t>::max());
        if (!seed) {
            error = arg + " '" + *v + "': expected CYCLE or CYCLE:SEED with the torn variant SEED";
            return false;
        }
        o.power_cut_seeds[*n] = *seed;
    }
    o.power_cut_at.push_back(*n);
    return true;
}

bool SetRamFill(Options& o, const std::string&, const std::string* v, std::string& error) { return ParseRamFill(*v, o, error); }

bool AddExpectation(Options& o, const std::string&, const std::string* v, std::string& error) {
    auto e = ParseExpectation(*v, error);
    if (e) o.expect.push_back(std::move(*e));
    return e.has_value();
}

bool SetExpectSerial(Options& o, const std::string&, const std::string* v, std::string& error) {
    o.expect_serial = DecodeSerialText(*v, error);
    return o.expect_serial.has_value();
}

bool SetSweepSvg(Options& o, const std::string&, const std::string* v, std::string&) {
    o.sweep_svg = *v;
    return true;
}

// A count from 1 to `max`.
std::optional<uint64_t> ParseCount(const std::string& arg, const std::string& text, uint64_t max, bool show_max, std::string& error) {
    const auto n = ParseNumber(text, max);
    if (!n || *n == 0) {
        error = arg + " '" + text + "': expected a number from 1" + (show_max ? " to " + std::to_string(max) : "");
        return std::nullopt;
    }
    return n;
}
bool SetSweepEvery(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto n = ParseCount(arg, *v, std::numeric_limits<uint64_t>::max(), false, error);
    if (n) o.sweep_every = *n;
    return n.has_value();
}
bool SetSweepDepth(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto n = ParseCount(arg, *v, kMaxSweepDepth, true, error);
    if (n) o.sweep_depth = static_cast<unsigned>(*n);
    return n.has_value();
}
bool SetJobs(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto n = ParseCount(arg, *v, kMaxJobs, true, error);
    if (n) o.jobs = static_cast<unsigned>(*n);
    return n.has_value();
}

bool SetShard(Options& o, const std::string&, const std::string* v, std::string& error) { return ParseShard(*v, o, error); }

bool SetCutModel(Options& o, const std::string&, const std::string* v, std::string& error) {
    if (*v != "atomic" && *v != "torn") {
        error = "--cut-model '" + *v + "': expected atomic or torn";
        return false;
    }
    o.cut_torn = *v == "torn";
    return true;
}
bool SetTornSeed(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto n = ParseNumber(*v, std::numeric_limits<uint64_t>::max());
    if (!n) error = arg + " '" + *v + "': expected a number";
    o.torn_seed = n.value_or(kDefaultTornSeed);
    o.torn_seed_given = true;
    return n.has_value();
}
bool SetTornVariants(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    const auto n = ParseNumber(*v, kMaxTornVariants);
    if (!n) error = arg + " '" + *v + "': expected a number from 0 to " + std::to_string(kMaxTornVariants);
    o.torn_variants = static_cast<unsigned>(n.value_or(kDefaultTornVariants));
    o.torn_variants_given = true;
    return n.has_value();
}
bool SetMetastable(Options& o, const std::string&, const std::string*, std::string&) { return o.metastable = true; }
bool SetSweepMerge(Options& o, const std::string&, const std::string*, std::string&) { return o.sweep_merge = true; }
bool SetSweepSpawn(Options& o, const std::string&, const std::string*, std::string&) { return o.sweep_spawn = true; }

bool SetSweepUntil(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    SweepUntil until;
    until.text = *v;
    const std::string_view text = *v;
    static constexpr std::string_view kSerial = "serial:";
    static constexpr std::string_view kPc = "pc:";
    if (text.starts_with(kSerial)) {
        const auto decoded = DecodeSerialText(std::string(text.substr(kSerial.size())), error);
        if (!decoded || decoded->empty()) {
            error = arg + " '" + *v + "': " + (decoded ? "no text after serial:" : error);
            return false;
        }
        until.serial = *decoded;
    } else if (text.starts_with(kPc)) {
        const auto pc = ParseNumber(std::string(text.substr(kPc.size())), kAddressMax);
        if (!pc) {
            error = arg + " '" + *v + "': expected a code address from 0 to 0xFFFF after pc:";
            return false;
        }
        until.kind = SweepUntil::Kind::kPc;
        until.pc = static_cast<uint16_t>(*pc);
    } else {
        std::string why;
        auto memory = ParseExpectation(*v, why);
        if (!memory) {
            error = arg + " '" + *v + "': expected serial:TEXT, pc:ADDR or SPACE:ADDR=VALUE (" + why + ")";
            return false;
        }
        until.kind = SweepUntil::Kind::kMemory;
        until.memory = std::move(*memory);
    }
    o.sweep_until = std::move(until);
    return true;
}

bool SetLint(Options& o, const std::string& arg, const std::string* v, std::string& error) {
    o.lint = true;
    if (v == nullptr) return true;
    const auto selection = ParseLintList(*v, error);
    if (!selection) {
        error = arg + ": " + error;
        return false;
    }
    o.lint_error = o.lint_error || selection->error;
    o.lint_off.insert(o.lint_off.end(), selection->off.begin(), selection->off.end());
    return true;
}

bool AddFailingService(Options& o, const std::string&, const std::string* v, std::string&) {
    o.failing_services.push_back(*v);
    return true;
}

// Cut runs keep what decides how the firmware runs; they drop the sweep's own options, the
// outputs they would share and the interactive ones.
constexpr bool kKept = true;
constexpr bool kDropped = false;

constexpr std::array kOptions{
    OptionEntry{"--ext", Form::kValue, "PATH", "load an extension library (repeatable)", kKept, AddExtension},
    OptionEntry{"--load-bin", Form::kValue, "FILE@ADDR", "load a raw binary into code memory at ADDR (repeatable)", kKept, AddBinary},
    OptionEntry{"--max-cycles", Form::kValue, "N", "stop with an error after N machine cycles (default 1000000000, 0: none)", kKept,
               SetMaxCycles},
    OptionEntry{"--break", Form::kValue, "WHERE",
               "stop when the program counter reaches WHERE: ADDR, a function or label\n"
               "(_append) or a C line (file.c:120); WHERE,N at its Nth hit (repeatable)",
               kKept, AddBreakpoint},
    OptionEntry{"--debug-info", Form::kValue, "FILE",
               "SDCC's debug information, for symbols in place of addresses in --break,\n"
               "--dump, --stop-on-*, --expect (xdata:_head); default NAME.cdb beside NAME.hex",
               kDropped, SetDebugInfo},
    OptionEntry{"--clock", Form::kValue, "HZ", "oscillator frequency reported to extensions (default 12000000)", kKept, SetClock},
    OptionEntry{"--json", Form::kFlag, "", "print the results as one JSON object", kDropped, SetJson},
    OptionEntry{"--dump", Form::kValue, "SPACE:ADDR:LEN", "print memory; SPACE is code, xdata or idata (repeatable)", kDropped, AddDump},
    OptionEntry{"--sfr", Form::kValue, "NAME|ADDR|ID",
               "print a register: a name (flash, chip, core or NMICON; any case), an SFR\n"
               "address 0x80-0xFF (as the program reads it now) or an identifier 0xF0...\n"
               "(repeatable)",
               kDropped, AddRegister},
    OptionEntry{"--trace", Form::kFlag, "", "log flash events (requests, starts, commits, aborts, ECC errors) to\nstandard error",
               kDropped, SetTrace},
    OptionEntry{"--trace=registers", Form::kFlag, "", "the same and every flash register write and timer event", kDropped,
               SetTraceRegisters},
    OptionEntry{"--vcd", Form::kValue, "FILE",
               "write a value change dump of the flash registers, timed by --clock\n(FILE is replaced only when the run has ended)",
               kDropped, SetVcd},
    OptionEntry{"--menu", Form::kValue, "TEXT", "choose the extension menu entry TEXT after start-up", kDropped, SetMenu},
    OptionEntry{"--keep-open", Form::kFlag, "", "with --menu: wait until the window is closed", kDropped, SetKeepOpen},
    OptionEntry{"--serial-out", Form::kValue, "FILE", "write every byte the serial port transmits to FILE as it goes (- for standard output)",
               kDropped, SetSerialOut},
    OptionEntry{"--serial-in", Form::kValue, "FILE", "feed FILE's bytes to the serial port's receiver at the line's baud rate", kKept,
               SetSerialIn},
    OptionEntry{"--stop-on-read", Form::kValue, "SPACE:ADDR", "end the run after the program reads ADDR (code: MOVC, xdata, idata)",
               kKept, AddStopOnRead},
    OptionEntry{"--stop-on-write", Form::kValue, "SPACE:ADDR", "end the run after the program writes ADDR (xdata, idata)", kKept,
               AddStopOnWrite},
    OptionEntry{"--reset-at", Form::kValue, "CYCLE", "reset the chip at CYCLE (repeatable)", kKept, AddResetAt},
    OptionEntry{"--power-cut-at", Form::kValue, "CYCLE",
               "cut the power at CYCLE: reset, and RAM refilled (repeatable); CYCLE:SEED\ngives this cut its torn variant (as --torn-seed)",
               kKept, AddPowerCutAt},
    OptionEntry{"--ram-fill", Form::kValue, "BYTE|random:SEED", "what RAM holds after a power cut (default random:32850)", kKept,
               SetRamFill},
    OptionEntry{"--cut-model", Form::kValue, "atomic|torn",
               "what a power cut leaves of the flash operation it interrupts: nothing, or\ntorn cells (default torn)", kKept,
               SetCutModel},
    OptionEntry{"--torn-seed", Form::kValue, "N", "the torn variant: 0 one bit, 1 all bits but one, 2 and up random from\nseed N (default 2)",
               kKept, SetTornSeed},
    OptionEntry{"--metastable", Form::kFlag, "",
               "the bits a torn operation was changing read as 0 or 1 anew at each MOVC,\n"
               "drawn from the torn seed, until the byte is programmed or erased again",
               kKept, SetMetastable},
    OptionEntry{"--expect", Form::kValue, "SPACE:ADDR=VALUE",
               "expect byte(s) VALUE (0x01 or 0x01,0x02) from ADDR when the run ends\n(repeatable; exit status 3 when one is unmet)",
               kKept, AddExpectation},
    OptionEntry{"--expect-serial", Form::kValue, "TEXT", "expect the serial output to contain TEXT (\\n, \\r, \\t, \\\\, \\xHH)", kKept,
               SetExpectSerial},
    OptionEntry{"--power-cut-sweep", Form::kFlag, "",
               "cut the power once after every persistent flash change and check the\n"
               "expectations after each cut (one process per cut)",
               kDropped, SetSweep},
    OptionEntry{"--sweep-every", Form::kValue, "N", "with the sweep: also cut every N cycles", kDropped, SetSweepEvery},
    OptionEntry{"--sweep-svg", Form::kValue, "FILE", "with the sweep: draw the flash operations and cut points as SVG", kDropped,
               SetSweepSvg},
    OptionEntry{"--sweep-depth", Form::kValue, "1|2",
               "with the sweep: 2 also cuts each recovery after a cut at its own flash\nchanges (default 1)",
               kDropped, SetSweepDepth},
    OptionEntry{"--jobs", Form::kValue, "N", "with the sweep: cut runs in parallel (default: one per core)", kDropped, SetJobs},
    OptionEntry{"--torn-variants", Form::kValue, "N",
               "with the sweep: random torn variants per cut inside an operation, besides\nthe two extremes (default 2)", kDropped,
               SetTornVariants},
    OptionEntry{"--sweep-spawn", Form::kFlag, "",
               "with the sweep: start each cut run afresh instead of forking it from the\nrecording run at its cut (always so on Windows)",
               kDropped, SetSweepSpawn},
    OptionEntry{"--sweep-until", Form::kValue, "WHAT",
               "end each run after a power cut once the firmware has recovered: serial:TEXT\n"
               "sent since the cut, pc:ADDR reached, or SPACE:ADDR=VALUE in memory; the\n"
               "expectations are checked there",
               kKept, SetSweepUntil},
    OptionEntry{"--shard", Form::kValue, "K/N", "with the sweep: run cut points K, K+N, K+2N, ... (K from 1 to N)", kDropped, SetShard},
    OptionEntry{"--sweep-merge", Form::kFlag, "",
               "merge the sweep shards' --json reports given as the files (SHARD.json ...)\ninto the whole sweep's report, --json and --sweep-svg",
               kDropped, SetSweepMerge},
    OptionEntry{"--lint", Form::kAttached, "[=error,-NAME]",
               "warn about flash misuse (error: each finding fails the run; -NAME: off)", kDropped, SetLint},
    OptionEntry{"--fail-service", Form::kValue, "NAME", "make the host service NAME fail (repeatable; for testing)", kKept,
               AddFailingService},
    OptionEntry{"--help", Form::kFlag, "", "show this text", kDropped, SetHelp, "-h"},
};

// The usage text's help column.
constexpr std::size_t kHelpColumn = 24;
constexpr std::size_t kMinGap = 2;

// The entry an argument names, and whether it carries its value after '='.
const OptionEntry* Find(const std::string& arg, bool& attached) {
    attached = false;
    for (const auto& entry : kOptions) {
        if (arg == entry.name || (!entry.alias.empty() && arg == entry.alias)) return &entry;
        if (entry.form == Form::kAttached && arg.size() > entry.name.size() && arg.compare(0, entry.name.size(), entry.name) == 0 &&
            arg[entry.name.size()] == '=') {
            attached = true;
            return &entry;
        }
    }
    return nullptr;
}

bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

}  // namespace

std::span<const OptionEntry> OptionTable() { return kOptions; }

std::string Usage() {
    std::string s =
        "usage: pelto-sim [options] [PROGRAM.hex ...]\n"
        "Runs an 8051 program until it jumps to itself, with extensions loaded.\n"
        "\n";
    for (const auto& entry : kOptions) {
        std::string head = "  " + std::string(entry.name);
        if (entry.form == Form::kValue) head += ' ';
        head += entry.value;
        if (!entry.alias.empty()) head += ", " + std::string(entry.alias);
        head.append(head.size() + kMinGap > kHelpColumn ? kMinGap : kHelpColumn - head.size(), ' ');
        std::string_view help = entry.help;
        for (;;) {
            const auto nl = help.find('\n');
            s += head;
            s += help.substr(0, nl);
            s += '\n';
            if (nl == std::string_view::npos) break;
            help.remove_prefix(nl + 1);
            head.assign(kHelpColumn, ' ');
        }
    }
    return s;
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!IsOption(a)) {
            o.hex_files.push_back(a);
            continue;
        }
        bool attached = false;
        const OptionEntry* entry = Find(a, attached);
        if (entry == nullptr) {
            error = "unknown option '" + a + "'";
            return std::nullopt;
        }
        std::string value;
        const std::string* given = nullptr;
        if (entry->form == Form::kValue) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return std::nullopt;
            }
            given = &args[++i];
        } else if (attached) {
            value = a.substr(entry->name.size() + 1);
            given = &value;
        }
        if (!entry->apply(o, a, given, error)) return std::nullopt;
    }
    if (o.sweep_merge && (o.power_cut_sweep || !o.binaries.empty() || !o.extensions.empty() || o.hex_files.empty())) {
        error = "--sweep-merge takes only the shards' JSON reports (and --json, --sweep-svg)";
        return std::nullopt;
    }
    // Of the sweep's own options, a merge of its shards takes only --sweep-svg.
    const bool cut_options = o.sweep_every != 0 || o.jobs != 0 || o.shard_count != 1 || o.torn_variants_given || o.sweep_spawn;
    if ((cut_options || (o.sweep_svg && !o.sweep_merge)) && !o.power_cut_sweep) {
        error = "--sweep-every, --sweep-svg, --jobs, --shard, --torn-variants and --sweep-spawn need --power-cut-sweep";
        return std::nullopt;
    }
    if (o.sweep_depth != 1 && !o.power_cut_sweep && o.power_cut_at.empty()) {
        error = "--sweep-depth needs --power-cut-sweep (or --power-cut-at, whose --json then lists the recovery's cut points)";
        return std::nullopt;
    }
    if (o.sweep_until && !o.power_cut_sweep && o.power_cut_at.empty()) {
        error = "--sweep-until needs --power-cut-sweep or --power-cut-at: it ends a run after its cut";
        return std::nullopt;
    }
    if (o.torn_seed_given && o.power_cut_sweep) {
        error = "--torn-seed cannot be given with --power-cut-sweep: the sweep tries the variants";
        return std::nullopt;
    }
    if ((o.torn_seed_given || o.torn_variants_given || o.metastable || !o.power_cut_seeds.empty()) && !o.cut_torn) {
        error = "--torn-seed, --torn-variants, --metastable and --power-cut-at CYCLE:SEED need --cut-model torn";
        return std::nullopt;
    }
    // Each cut run is the recording's scenario with one cut more: a cut or reset of its own would
    // make every cut run a different scenario from the one recorded.
    if (o.power_cut_sweep && (!o.power_cut_at.empty() || !o.reset_at.empty())) {
        error = "--power-cut-at and --reset-at cannot be given with --power-cut-sweep: the sweep chooses the cuts";
        return std::nullopt;
    }
    if (o.keep_open && !o.menu) {
        error = "--keep-open needs --menu";
        return std::nullopt;
    }
    return o;
}

std::vector<uint64_t> CutVariants(const Options& options) {
    auto cycles = options.power_cut_at;
    std::sort(cycles.begin(), cycles.end());
    std::vector<uint64_t> variants;
    for (const uint64_t cycle : cycles) {
        const auto own = options.power_cut_seeds.find(cycle);
        variants.push_back(own != options.power_cut_seeds.end() ? own->second : options.torn_seed);
    }
    if (variants.empty()) variants.push_back(options.torn_seed);
    return variants;
}

std::vector<std::string> CutRunArguments(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool attached = false;
        const OptionEntry* entry = IsOption(args[i]) ? Find(args[i], attached) : nullptr;
        const bool keep = entry == nullptr || entry->in_cut_runs;
        const bool with_value = entry != nullptr && entry->form == Form::kValue && i + 1 < args.size();
        if (keep) out.push_back(args[i]);
        if (with_value) {
            ++i;
            if (keep) out.push_back(args[i]);
        }
    }
    return out;
}

}  // namespace peltosim
