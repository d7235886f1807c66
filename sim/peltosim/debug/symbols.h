// The program as the source names it: functions by address range, C lines by address and
// address by line, variables by name, and the WHERE and SPACE:SYMBOL forms of the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cdb.h"

namespace peltosim::debug {

enum class MemSpace : uint8_t { kCode, kXdata, kIdata, kSfr };

struct Place {
    MemSpace space;
    uint16_t address;
};

struct SourceLine {
    std::string file;
    uint32_t line;
};

class Program {
public:
    explicit Program(DebugInfo info);

    const DebugInfo& info() const { return info_; }
    // The function whose range holds `pc`.
    const Function* FunctionAt(uint16_t pc) const;
    const Function* FindFunction(std::string_view name) const;  // "append" or its label "_append"
    // The C line whose code holds `pc` (the nearest line record at or below it in its function).
    std::optional<SourceLine> LineAt(uint16_t pc) const;
    // Where a function's body starts: its first line after the one at its entry, which belongs
    // to the prologue that moves the arguments into place; the entry itself when it has no other.
    uint16_t BodyStart(const Function& f) const;
    // Whether `pc` is the first address of a C line record.
    bool IsLineStart(uint16_t pc) const;
    const std::vector<uint16_t>& line_starts() const { return line_starts_; }
    // The addresses of a line (file by its name without directories), or of the next line
    // below it that has code, within the same function.
    std::vector<uint16_t> LineAddresses(std::string_view file, uint32_t line, uint32_t* actual = nullptr) const;
    // A variable visible at `pc`: a local of the function there first, then a static of its
    // file, then a global.
    const Symbol* FindVariable(std::string_view name, std::optional<uint16_t> pc) const;
    std::vector<const Symbol*> Locals(const Function& f) const;
    std::vector<const Symbol*> Globals() const;
    const Structure* FindStructure(std::string_view name) const;

private:
    DebugInfo info_;
    std::vector<const Function*> by_start_;  // functions with a range, by start address
    std::vector<const LineRecord*> lines_by_address_;
    std::vector<uint16_t> line_starts_;  // sorted, unique
};

// Where the program stops: "0x1234", "_append" / "append", "evlog.c:120". The address or a
// reason it is none.
std::optional<uint16_t> ResolveWhere(const Program* program, std::string_view text, std::string& error);
// "SPACE:ADDR" or "SPACE:SYMBOL" (xdata, idata, code); a symbol's own space must agree.
std::optional<Place> ResolvePlace(const Program* program, std::string_view text, std::string& error);
// "WHERE[,COUNT]": the address and the hit that stops (1 when not given).
struct BreakAt {
    uint16_t address;
    uint64_t count;
};
std::optional<BreakAt> ResolveBreak(const Program* program, std::string_view text, std::string& error);

// The memory space a symbol lives in, when it has one the debugger reads directly.
std::optional<MemSpace> SpaceOf(const Symbol& s);
// 'text', built front to back (gcc 12's overlap warning misreads a short literal + a string).
std::string Quote(std::string_view text);
// The C name of an assembler label: "_append" -> "append".
std::string_view CName(std::string_view label);

}  // namespace peltosim::debug
