#include "command_line.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cdb.h"
#include "symbols.h"

namespace peltosim::debug {
namespace {

constexpr std::string_view kDebugInfo = "--debug-info";
constexpr std::string_view kProgramSuffixes[] = {".hex", ".ihx"};
// Options whose value is a file that could end in .hex without being the program.
constexpr std::string_view kFileOptions[] = {"--serial-in", "--serial-out", "--vcd", "--sweep-svg", "--load-bin",
                                             "--ext", "--menu"};

std::string Hex(unsigned value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

bool IsNumber(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

std::string_view SpaceName(MemSpace space) {
    switch (space) {
    case MemSpace::kCode: return "code";
    case MemSpace::kXdata: return "xdata";
    case MemSpace::kIdata: return "idata";
    case MemSpace::kSfr: break;
    }
    return "sfr";
}

// The debug information, read when a symbol first needs it.
class Symbols {
public:
    Symbols(std::optional<std::string> explicit_path, std::optional<std::string> program)
        : explicit_(std::move(explicit_path)), program_(std::move(program)) {}

    const Program* Get(std::string& error) {
        if (program_info_) return program_info_.get();
        if (failed_) {
            error = message_;
            return nullptr;
        }
        std::string path;
        if (explicit_) {
            path = *explicit_;
        } else if (program_) {
            path = std::filesystem::path(*program_).replace_extension(".cdb").string();
            if (!std::filesystem::exists(path)) return Fail("no debug information: give --debug-info FILE.cdb (" + path +
                                                            " does not exist)", error);
        } else {
            return Fail("no debug information: give --debug-info FILE.cdb", error);
        }
        auto info = ReadCdb(path, error);
        if (!info) return Fail("--debug-info: " + error, error);
        program_info_ = std::make_unique<Program>(std::move(*info));
        return program_info_.get();
    }

private:
    const Program* Fail(const std::string& message, std::string& error) {
        failed_ = true;
        message_ = message;
        error = message;
        return nullptr;
    }
    std::optional<std::string> explicit_;
    std::optional<std::string> program_;
    std::unique_ptr<Program> program_info_;
    bool failed_ = false;
    std::string message_;
};

// SPACE:WHERE as SPACE:0xADDR; a symbol's own error when it resolves to nothing.
std::optional<std::string> NumericPlace(Symbols& symbols, const std::string& text, std::string& error) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || IsNumber(text.substr(colon + 1))) return text;
    const Program* program = symbols.Get(error);
    if (!program) return std::nullopt;
    const auto place = ResolvePlace(program, text, error);
    if (!place) return std::nullopt;
    return std::string(SpaceName(place->space)) + ":" + Hex(place->address);
}

bool IsProgram(const std::vector<std::string>& args, std::size_t i) {
    const bool file_value =
        i > 0 && std::find(std::begin(kFileOptions), std::end(kFileOptions), args[i - 1]) != std::end(kFileOptions);
    if (file_value) return false;
    for (const auto suffix : kProgramSuffixes)
        if (args[i].ends_with(suffix)) return true;
    return false;
}

}  // namespace

std::string LaunchConfiguration(const std::vector<std::string>& args, const std::vector<std::string>& cuts) {
    std::string name = cuts.size() == 1 ? "power cut at cycle " : "power cuts at cycles ";
    for (std::size_t i = 0; i < cuts.size(); ++i)
        name += (i == 0 ? "" : i + 1 == cuts.size() ? " and " : ", ") + cuts[i].substr(0, cuts[i].find(':'));
    nlohmann::json launch{{"type", "pelto-sim"}, {"request", "launch"}, {"name", name}};
    nlohmann::json rest = nlohmann::json::array();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (IsProgram(args, i) && !launch.contains("program")) launch["program"] = args[i];
        else rest.push_back(args[i]);
    }
    for (const auto& cut : cuts) {
        rest.push_back("--power-cut-at");
        rest.push_back(cut);
    }
    launch["args"] = rest;
    return launch.dump();
}

std::optional<SymbolicArgs> ResolveSymbolicArgs(const std::vector<std::string>& args, std::string& error) {
    std::optional<std::string> cdb;
    std::optional<std::string> program;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == kDebugInfo) {
            if (i + 1 == args.size()) {
                error = "--debug-info needs a FILE.cdb";
                return std::nullopt;
            }
            cdb = args[i + 1];
            rest.push_back(args[i]);
            rest.push_back(args[++i]);  // the option parser keeps it as well
            continue;
        }
        if (IsProgram(args, i)) program = args[i];
        rest.push_back(args[i]);
    }
    Symbols symbols(cdb, program);
    SymbolicArgs out;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        out.args.push_back(rest[i]);
        if (i + 1 == rest.size()) break;
        const std::string& option = rest[i];
        const std::string& value = rest[i + 1];
        std::string problem;
        std::optional<std::string> numeric;
        if (option == "--break") {
            if (IsNumber(value)) {
                numeric = value;  // the parser's own form, with its own messages
            } else {
            const auto comma = value.rfind(',');
            const std::string where = value.substr(0, comma);
            const Program* program_info = IsNumber(where) ? nullptr : symbols.Get(problem);
            if (IsNumber(where) || program_info) {
                const auto at = ResolveBreak(program_info, value, problem);
                if (at) {
                    numeric = Hex(at->address);
                    if (at->count > 1) out.break_counts[at->address] = at->count;
                }
            }
            }
        } else if (option == "--stop-on-read" || option == "--stop-on-write") {
            numeric = NumericPlace(symbols, value, problem);
        } else if (option == "--dump") {
            const auto last = value.rfind(':');
            const auto where = last == std::string::npos || last == value.find(':') ? std::optional<std::string>(value)
                                                                                      : NumericPlace(symbols, value.substr(0, last), problem);
            if (where) {
                numeric = where == value ? value : *where + value.substr(last);
                if (*numeric != value) out.dump_texts[*numeric] = value;
            }
        } else if (option == "--expect") {
            const auto equals = value.find('=');
            const auto where = equals == std::string::npos ? std::optional<std::string>(value) : NumericPlace(symbols, value.substr(0, equals), problem);
            if (where) numeric = equals == std::string::npos ? value : *where + value.substr(equals);
        } else {
            continue;
        }
        if (!numeric) {
            error = option + " '" + value + "': " + problem;
            return std::nullopt;
        }
        out.args.push_back(*numeric);
        ++i;
    }
    return out;
}

}  // namespace peltosim::debug
