#include "symbols.h"

#include <algorithm>
#include <charconv>

namespace peltosim::debug {
namespace {

constexpr uint32_t kAddressLimit = 0x10000;
constexpr uint32_t kIdataLimit = 0x100;

std::string_view BaseName(std::string_view path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

struct SpaceName {
    std::string_view name;
    MemSpace space;
};
constexpr SpaceName kSpaceNames[] = {{"code", MemSpace::kCode}, {"xdata", MemSpace::kXdata}, {"idata", MemSpace::kIdata}};

}  // namespace

std::string Quote(std::string_view text) {
    std::string quoted(1, '\'');
    quoted.append(text);
    quoted.push_back('\'');
    return quoted;
}

std::string_view CName(std::string_view label) { return label.starts_with("_") ? label.substr(1) : label; }

std::optional<MemSpace> SpaceOf(const Symbol& s) {
    switch (s.space) {
    case CdbSpace::kCode:
    case CdbSpace::kCodeStatic: return MemSpace::kCode;
    case CdbSpace::kExternal:
    case CdbSpace::kExternalStack: return MemSpace::kXdata;
    case CdbSpace::kInternalLow:
    case CdbSpace::kInternal:
    case CdbSpace::kBitAddressable:
    case CdbSpace::kInternalStack: return MemSpace::kIdata;
    case CdbSpace::kSfr: return MemSpace::kSfr;
    case CdbSpace::kSbit:
    case CdbSpace::kRegister:
    case CdbSpace::kNone: break;
    }
    return std::nullopt;
}

Program::Program(DebugInfo info) : info_(std::move(info)) {
    for (const auto& f : info_.functions)
        if (f.start && f.end) by_start_.push_back(&f);
    std::sort(by_start_.begin(), by_start_.end(), [](auto* a, auto* b) { return *a->start < *b->start; });
    for (const auto& l : info_.lines) lines_by_address_.push_back(&l);
    std::stable_sort(lines_by_address_.begin(), lines_by_address_.end(),
                     [](auto* a, auto* b) { return a->address < b->address; });
    for (const auto* l : lines_by_address_)
        if (line_starts_.empty() || line_starts_.back() != l->address) line_starts_.push_back(l->address);
}

const Function* Program::FunctionAt(uint16_t pc) const {
    auto it = std::upper_bound(by_start_.begin(), by_start_.end(), pc, [](uint16_t a, auto* f) { return a < *f->start; });
    if (it == by_start_.begin()) return nullptr;
    const Function* f = *--it;
    return pc <= *f->end ? f : nullptr;
}

const Function* Program::FindFunction(std::string_view name) const {
    for (const auto& n : {name, CName(name)})
        for (const auto& f : info_.functions)
            if (f.name == n && f.start) return &f;
    return nullptr;
}

std::optional<SourceLine> Program::LineAt(uint16_t pc) const {
    auto it = std::upper_bound(lines_by_address_.begin(), lines_by_address_.end(), pc,
                               [](uint16_t a, auto* l) { return a < l->address; });
    if (it == lines_by_address_.begin()) return std::nullopt;
    const LineRecord* l = *--it;
    // Several records may share the address: the last one in file order is the statement.
    // Code outside the functions (the library, ROM routines) has no line.
    const Function* here = FunctionAt(pc);
    if (!here || l->address < *here->start) return std::nullopt;
    return SourceLine{l->file, l->line};
}

uint16_t Program::BodyStart(const Function& f) const {
    const auto after = std::upper_bound(line_starts_.begin(), line_starts_.end(), *f.start);
    if (after != line_starts_.end() && f.end && *after <= *f.end && IsLineStart(*f.start)) return *after;
    return *f.start;
}

bool Program::IsLineStart(uint16_t pc) const { return std::binary_search(line_starts_.begin(), line_starts_.end(), pc); }

std::vector<uint16_t> Program::LineAddresses(std::string_view file, uint32_t line, uint32_t* actual) const {
    const auto base = BaseName(file);
    // The nearest line at or below `line` with code.
    std::optional<uint32_t> best;
    for (const auto& l : info_.lines)
        if (BaseName(l.file) == base && l.line >= line && (!best || l.line < *best)) best = l.line;
    std::vector<uint16_t> addresses;
    if (!best) return addresses;
    for (const auto& l : info_.lines)
        if (BaseName(l.file) == base && l.line == *best) addresses.push_back(l.address);
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    if (actual) *actual = *best;
    return addresses;
}

const Symbol* Program::FindVariable(std::string_view name, std::optional<uint16_t> pc) const {
    // C's scopes first (local, static of this file, global), then, as debuggers do, a static of
    // another file.
    const Function* f = pc ? FunctionAt(*pc) : nullptr;
    const std::string* file = f && f->scope.kind == Scope::Kind::kFile ? &f->scope.file : nullptr;
    const Symbol* same_file = nullptr;
    const Symbol* global = nullptr;
    const Symbol* other_file = nullptr;
    for (const auto& s : info_.symbols) {
        if (s.name != name && s.name != CName(name)) continue;
        switch (s.scope.kind) {
        case Scope::Kind::kLocal:
            if (f && s.scope.function == f->name) return &s;
            break;
        case Scope::Kind::kFile:
            if (file && *file == s.scope.file) same_file = same_file ? same_file : &s;
            else other_file = other_file ? other_file : &s;
            break;
        case Scope::Kind::kGlobal: global = global ? global : &s; break;
        case Scope::Kind::kMember: break;
        }
    }
    return same_file ? same_file : global ? global : other_file;
}

std::vector<const Symbol*> Program::Locals(const Function& f) const {
    std::vector<const Symbol*> locals;
    for (const auto& s : info_.symbols)
        if (s.scope.kind == Scope::Kind::kLocal && s.scope.function == f.name) locals.push_back(&s);
    return locals;
}

std::vector<const Symbol*> Program::Globals() const {
    std::vector<const Symbol*> globals;
    for (const auto& s : info_.symbols) {
        const bool function = !s.type.links.empty() && s.type.links.front().kind == TypeLink::Kind::kFunction;
        const bool memory = s.space != CdbSpace::kSfr && s.space != CdbSpace::kSbit && s.address;
        if ((s.scope.kind == Scope::Kind::kGlobal || s.scope.kind == Scope::Kind::kFile) && !function && memory) globals.push_back(&s);
    }
    return globals;
}

const Structure* Program::FindStructure(std::string_view name) const {
    const auto it = info_.structures.find(std::string(name));
    return it == info_.structures.end() ? nullptr : &it->second;
}

std::optional<uint16_t> ResolveWhere(const Program* program, std::string_view text, std::string& error) {
    if (text.empty()) {
        error = "empty location";
        return std::nullopt;
    }
    if (const auto n = ParseUnsigned(text)) {
        if (*n < kAddressLimit) return static_cast<uint16_t>(*n);
        error = "address '" + std::string(text) + "' is beyond code memory";
        return std::nullopt;
    }
    if (!program) {
        error = Quote(text) + " is a symbol, and there is no debug information (--debug-info FILE.cdb)";
        return std::nullopt;
    }
    if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        const auto line = ParseUnsigned(text.substr(colon + 1));
        if (!line) {
            error = "bad line number in '" + std::string(text) + "'";
            return std::nullopt;
        }
        const auto addresses = program->LineAddresses(text.substr(0, colon), static_cast<uint32_t>(*line));
        if (addresses.empty()) {
            error = "no code at or after line " + std::to_string(*line) + " of '" + std::string(text.substr(0, colon)) + "'";
            return std::nullopt;
        }
        return addresses.front();
    }
    if (const auto* f = program->FindFunction(text)) return *f->start;
    if (const auto* s = program->FindVariable(text, std::nullopt); s && s->address && SpaceOf(*s) == MemSpace::kCode)
        return *s->address;
    error = "no function or code label '" + std::string(text) + "' in the debug information";
    return std::nullopt;
}

std::optional<Place> ResolvePlace(const Program* program, std::string_view text, std::string& error) {
    const auto colon = text.find(':');
    const auto* space = colon == std::string_view::npos
                            ? nullptr
                            : std::find_if(std::begin(kSpaceNames), std::end(kSpaceNames),
                                           [&](const SpaceName& s) { return s.name == text.substr(0, colon); });
    if (!space || space == std::end(kSpaceNames)) {
        error = Quote(text) + " does not start with code:, xdata: or idata:";
        return std::nullopt;
    }
    const auto what = text.substr(colon + 1);
    if (const auto n = ParseUnsigned(what)) {
        const uint64_t limit = space->space == MemSpace::kIdata ? kIdataLimit : kAddressLimit;
        if (*n < limit) return Place{space->space, static_cast<uint16_t>(*n)};
        error = "address '" + std::string(what) + "' is beyond " + std::string(space->name);
        return std::nullopt;
    }
    if (!program) {
        error = Quote(what) + " is a symbol, and there is no debug information (--debug-info FILE.cdb)";
        return std::nullopt;
    }
    const Symbol* s = program->FindVariable(what, std::nullopt);
    if (!s || !s->address) {
        error = "no variable '" + std::string(what) + "' with an address in the debug information";
        return std::nullopt;
    }
    if (SpaceOf(*s) != space->space) {
        error = Quote(what) + " is not in " + std::string(space->name);
        return std::nullopt;
    }
    return Place{space->space, *s->address};
}

std::optional<BreakAt> ResolveBreak(const Program* program, std::string_view text, std::string& error) {
    uint64_t count = 1;
    // A count follows the last comma; a C line "file.c:12" has none.
    if (const auto comma = text.rfind(','); comma != std::string_view::npos) {
        const auto n = ParseUnsigned(text.substr(comma + 1));
        if (!n || *n == 0) {
            error = "bad hit count in '" + std::string(text) + "' (a number from 1)";
            return std::nullopt;
        }
        count = *n;
        text = text.substr(0, comma);
    }
    const auto address = ResolveWhere(program, text, error);
    if (!address) return std::nullopt;
    return BreakAt{*address, count};
}

}  // namespace peltosim::debug
