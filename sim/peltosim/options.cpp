#include "options.h"

#include <cctype>
#include <limits>

#include "register_ref.h"
#include "expect.h"
#include "lint.h"

namespace peltosim {

const char* const kUsage =
    "usage: pelto-sim [options] [PROGRAM.hex ...]\n"
    "Runs an 8051 program until it jumps to itself, with extensions loaded.\n"
    "\n"
    "  --ext PATH            load an extension library (repeatable)\n"
    "  --load-bin FILE@ADDR  load a raw binary into code memory at ADDR (repeatable)\n"
    "  --max-cycles N        stop with an error after N machine cycles (default 1000000000, 0: none)\n"
    "  --break WHERE[,N]     stop when the program counter reaches WHERE, at its Nth hit (default 1);\n"
    "                        WHERE is ADDR, a function or label (_append) or a C line (file.c:120)\n"
    "                        (repeatable)\n"
    "  --debug-info FILE     SDCC's debug information, for symbols in place of addresses in --break,\n"
    "                        --dump, --stop-on-*, --expect (xdata:_head); default NAME.cdb beside NAME.hex\n"
    "  --clock HZ            oscillator frequency reported to extensions (default 12000000)\n"
    "  --json                print the results as one JSON object\n"
    "  --dump SPACE:ADDR:LEN print memory; SPACE is code, xdata or idata (repeatable)\n"
    "  --sfr NAME|ADDR|ID    print a register: a name (flash, chip, core or NMICON; any case), an SFR\n"
    "                        address 0x80-0xFF (as the program reads it now) or an identifier 0xF0...\n"
    "                        (repeatable)"
    "  --trace               log flash events (requests, starts, commits, aborts, ECC errors) to\n"
    "                        standard error\n"
    "  --trace=registers     the same and every flash register write and timer event\n"
    "  --vcd FILE            write a value change dump of the flash registers, timed by --clock\n"
    "                        (FILE is replaced only when the run has ended)\n"
    "  --menu TEXT           choose the extension menu entry TEXT after start-up\n"
    "  --keep-open           with --menu: wait until the window is closed\n"
    "  --serial-out FILE     write every byte the serial port transmits to FILE (- for standard output)\n"
    "  --serial-in FILE      feed FILE's bytes to the serial port's receiver at the line's baud rate\n"
    "  --stop-on-read SPACE:ADDR   end the run after the program reads ADDR (code: MOVC, xdata, idata)\n"
    "  --stop-on-write SPACE:ADDR  end the run after the program writes ADDR (xdata, idata)\n"
    "  --reset-at CYCLE      reset the chip at CYCLE (repeatable)\n"
    "  --power-cut-at CYCLE  cut the power at CYCLE: reset, and RAM refilled (repeatable)\n"
    "  --ram-fill BYTE|random:SEED  what RAM holds after a power cut (default random:32850)\n"
    "  --expect SPACE:ADDR=VALUE  expect byte(s) VALUE (0x01 or 0x01,0x02) from ADDR when the run ends\n"
    "                        (repeatable; exit status 3 when one is unmet)\n"
    "  --expect-serial TEXT  expect the serial output to contain TEXT (\\n, \\r, \\t, \\\\, \\xHH)\n"
    "  --power-cut-sweep     cut the power once after every persistent flash change and check the\n"
    "                        expectations after each cut (one process per cut)\n"
    "  --sweep-every N       with the sweep: also cut every N cycles\n"
    "  --sweep-svg FILE      with the sweep: draw the flash operations and cut points as SVG\n"
    "  --jobs N              with the sweep: cut runs in parallel (default: one per core)\n"
    "  --shard K/N           with the sweep: run cut points K, K+N, K+2N, ... (K from 1 to N)\n"
    "  --lint[=error,-NAME]  warn about flash misuse (error: each finding fails the run; -NAME: off)\n"
    "  --fail-service NAME   make the host service NAME fail (repeatable; for testing)\n"
    "  --help                show this text\n";

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max) {
    if (text.empty()) return std::nullopt;
    int base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (std::isdigit(static_cast<unsigned char>(c))) digit = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) digit = std::tolower(c) - 'a' + 10;
        else return std::nullopt;
        if (static_cast<uint64_t>(digit) > max ||
            value > (max - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

namespace {

constexpr uint64_t kAddressMax = 0xFFFF;
constexpr uint64_t kSpaceSize = 0x10000;
constexpr uint64_t kIdataSize = 0x100;
// More parallel runs than this is a typo, not a machine.
constexpr uint64_t kMaxJobs = 1024;
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

// --lint, or --lint= with a comma-separated list of "error" and "-NAME".
bool ParseLint(const std::string& option, Options& o, std::string& error) {
    o.lint = true;
    if (option == "--lint") return true;
    const std::string list = option.substr(option.find('=') + 1);
    std::size_t start = 0;
    for (;;) {
        const auto comma = list.find(',', start);
        const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item == "error") {
            o.lint_error = true;
        } else if (item.size() > 1 && item[0] == '-' && FindLintCheck(item.substr(1))) {
            o.lint_off.push_back(item.substr(1));
        } else {
            error = option + ": '" + item + "' is neither 'error' nor -NAME with NAME one of " + LintCheckNames();
            return false;
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string* {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return nullptr;
            }
            return &args[++i];
        };
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--trace=registers") {
            o.trace = true;
            o.trace_registers = true;
        } else if (a == "--keep-open") {
            o.keep_open = true;
        } else if (a == "--ext") {
            const auto* v = value();
            if (!v) return std::nullopt;
            o.extensions.push_back(*v);
        } else if (a == "--load-bin") {
            const auto* v = value();
            if (!v) return std::nullopt;
            const auto at = v->rfind('@');
            const auto address = at == std::string::npos ? std::nullopt : ParseNumber(v->substr(at + 1), kAddressMax);
            if (!address || at == 0) {
                error = "--load-bin '" + *v + "': expected FILE@ADDR with ADDR below 0x10000";
                return std::nullopt;
            }
            o.binaries.push_back({v->substr(0, at), static_cast<uint16_t>(*address)});
        } else if (a == "--max-cycles") {
            const auto* v = value();
            if (!v) return std::nullopt;
            const auto n = ParseNumber(*v, std::numeric_limits<uint64_t>::max());
            if (!n) {
                error = "--max-cycles '" + *v + "': not a number";
                return std::nullopt;
            }
            o.max_cycles = *n;
        } else if (a == "--clock") {
            const auto* v = value();
            if (!v) return std::nullopt;
            const auto n = ParseNumber(*v, std::numeric_limits<uint32_t>::max());
            if (!n || *n == 0) {
                error = "--clock '" + *v + "': not a frequency in Hz";
                return std::nullopt;
            }
            o.clock_hz = static_cast<uint32_t>(*n);
        } else if (a == "--break") {
            const auto* v = value();
            if (!v) return std::nullopt;
            const auto n = ParseNumber(*v, kAddressMax);
            if (!n) {
                error = "--break '" + *v + "': not a code address";
                return std::nullopt;
            }
            o.breakpoints.push_back(static_cast<uint16_t>(*n));
        } else if (a == "--dump") {
            const auto* v = value();
            if (!v) return std::nullopt;
            auto dump = ParseDump(*v, error);
            if (!dump) return std::nullopt;
            o.dumps.push_back(*dump);
        } else if (a == "--sfr") {
            const auto* v = value();
            if (!v) return std::nullopt;
            std::string why;
            if (!ParseRegister(*v, why)) {
                error = "--sfr '" + *v + "': " + why;
                return std::nullopt;
            }
            o.sfrs.push_back(*v);
        } else if (a == "--vcd") {
            const auto* v = value();
            if (!v) return std::nullopt;
            o.vcd = *v;
        } else if (a == "--menu") {
            const auto* v = value();
            if (!v) return std::nullopt;
            o.menu = *v;
        } else if (a == "--serial-out" || a == "--serial-in") {
            const auto* v = value();
            if (!v) return std::nullopt;
            (a == "--serial-out" ? o.serial_out : o.serial_in) = *v;
        } else if (a == "--stop-on-read" || a == "--stop-on-write") {
            const auto* v = value();
            if (!v) return std::nullopt;
            const bool write = a == "--stop-on-write";
            const auto point = ParseAccessPoint(a, *v, write, error);
            if (!point) return std::nullopt;
            (write ? o.stop_on_write : o.stop_on_read).push_back(*point);
        } else if (a == "--reset-at" || a == "--power-cut-at") {
            const auto* v = value();
            if (!v) return std::nullopt;
            const auto n = ParseNumber(*v, std::numeric_limits<uint64_t>::max());
            if (!n) {
                error = a + " '" + *v + "': not a cycle count";
                return std::nullopt;
            }
            (a == "--reset-at" ? o.reset_at : o.power_cut_at).push_back(*n);
        } else if (a == "--ram-fill") {
            const auto* v = value();
            if (!v || !ParseRamFill(*v, o, error)) return std::nullopt;
        } else if (a == "--expect") {
            const auto* v = value();
            if (!v || !ParseExpectation(*v, error)) return std::nullopt;
            o.expect.push_back(*v);
        } else if (a == "--expect-serial") {
            const auto* v = value();
            if (!v) return std::nullopt;
            o.expect_serial = DecodeSerialText(*v, error);
            if (!o.expect_serial) return std::nullopt;
        } else if (a == "--power-cut-sweep") {
            o.power_cut_sweep = true;
        } else if (a == "--sweep-svg") {
            const auto* v = value();
            if (!v) return std::nullopt;
            o.sweep_svg = *v;
        } else if (a == "--sweep-every" || a == "--jobs") {
            const auto* v = value();
            if (!v) return std::nullopt;
            const auto n = ParseNumber(*v, a == "--jobs" ? kMaxJobs : std::numeric_limits<uint64_t>::max());
            if (!n || *n == 0) {
                error = a + " '" + *v + "': expected a number from 1" + (a == "--jobs" ? " to " + std::to_string(kMaxJobs) : "");
                return std::nullopt;
            }
            if (a == "--jobs") o.jobs = static_cast<unsigned>(*n);
            else o.sweep_every = *n;
        } else if (a == "--shard") {
            const auto* v = value();
            if (!v || !ParseShard(*v, o, error)) return std::nullopt;
        } else if (a == "--lint" || a.rfind("--lint=", 0) == 0) {
            if (!ParseLint(a, o, error)) return std::nullopt;
        } else if (a == "--fail-service") {
            const auto* v = value();
            if (!v) return std::nullopt;
            o.failing_services.push_back(*v);
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return std::nullopt;
        } else {
            o.hex_files.push_back(a);
        }
    }
    const bool sweep_only = o.sweep_every != 0 || o.sweep_svg || o.jobs != 0 || o.shard_count != 1;
    if (sweep_only && !o.power_cut_sweep) {
        error = "--sweep-every, --sweep-svg, --jobs and --shard need --power-cut-sweep";
        return std::nullopt;
    }
    if (o.keep_open && !o.menu) {
        error = "--keep-open needs --menu";
        return std::nullopt;
    }
    return o;
}

}  // namespace peltosim
