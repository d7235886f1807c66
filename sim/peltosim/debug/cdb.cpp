#include "cdb.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace peltosim::debug {
namespace {

constexpr char kSeparator = '$';
constexpr int kHexBase = 16;

// Thrown inside the parser only; ParseCdb turns it into the message with the line number.
struct CdbError {
    std::string what;
};

[[noreturn]] void Throw(std::string what) { throw CdbError{std::move(what)}; }

template <typename T>
T Number(std::string_view text, int base, const char* what) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size())
        Throw(std::string("bad ") + what + " '" + std::string(text) + "'");
    return value;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// "G", "Fsettings", "Lsettings.main" (or "Lmain" from older compilers).
Scope ParseScope(std::string_view text) {
    if (text.empty()) Throw("empty scope");
    Scope scope;
    const std::string_view rest = text.substr(1);
    switch (text.front()) {
    case 'G': scope.kind = Scope::Kind::kGlobal; break;
    case 'S': scope.kind = Scope::Kind::kMember; return scope;
    case 'F': scope.kind = Scope::Kind::kFile; scope.file = rest; break;
    case 'L': {
        scope.kind = Scope::Kind::kLocal;
        const auto dot = rest.find('.');
        if (dot == std::string_view::npos) {
            scope.function = rest;
        } else {
            scope.file = rest.substr(0, dot);
            scope.function = rest.substr(dot + 1);
        }
        break;
    }
    default: Throw("unknown scope '" + std::string(text) + "'");
    }
    if (scope.kind != Scope::Kind::kGlobal && rest.empty()) Throw("scope '" + std::string(text) + "' names nothing");
    return scope;
}

// "scope$name$level_block$id" or the older "scope$name$level$block".
struct Name {
    Scope scope;
    std::string name;
    int level = 0;
    int block = 0;
};

Name ParseName(std::string_view text) {
    const auto parts = Split(text, kSeparator);
    if (parts.size() < 2 || parts[1].empty()) Throw("bad name '" + std::string(text) + "'");
    Name name;
    name.scope = ParseScope(parts[0]);
    name.name = parts[1];
    if (parts.size() >= 3) {
        const auto level_block = Split(parts[2], '_');
        name.level = Number<int>(level_block[0], 10, "level");
        if (level_block.size() > 1) name.block = Number<int>(level_block[1], 10, "block");
        else if (parts.size() >= 4) name.block = Number<int>(parts[3], 10, "block");
    }
    return name;
}

struct LinkCode {
    std::string_view code;
    TypeLink::Kind kind;
};
// Longest codes first where one is the prefix of another is not needed: all are two letters,
// and the ones with an argument (DA, ST, SB) are handled before this table.
constexpr LinkCode kLinkCodes[] = {
    {"DF", TypeLink::Kind::kFunction},     {"DG", TypeLink::Kind::kGenericPointer},
    {"DC", TypeLink::Kind::kCodePointer},  {"DX", TypeLink::Kind::kXdataPointer},
    {"DD", TypeLink::Kind::kDataPointer},  {"DI", TypeLink::Kind::kIdataPointer},
    {"DP", TypeLink::Kind::kPagedPointer}, {"SC", TypeLink::Kind::kChar},
    {"SS", TypeLink::Kind::kShort},        {"SI", TypeLink::Kind::kInt},
    {"SL", TypeLink::Kind::kLong},         {"SF", TypeLink::Kind::kFloat},
    {"SV", TypeLink::Kind::kVoid},         {"SX", TypeLink::Kind::kSbit},
};

TypeLink Link(TypeLink::Kind kind) {
    TypeLink link;
    link.kind = kind;
    return link;
}

TypeLink ParseLink(std::string_view text) {
    if (text.starts_with("DA")) {
        if (!text.ends_with("d")) Throw("bad array link '" + std::string(text) + "'");
        auto link = Link(TypeLink::Kind::kArray);
        link.count = Number<uint32_t>(text.substr(2, text.size() - 3), 10, "array length");
        return link;
    }
    if (text.starts_with("ST")) {
        if (text.size() == 2) Throw("structure link without a name");
        auto link = Link(TypeLink::Kind::kStruct);
        link.struct_name = text.substr(2);
        return link;
    }
    if (text.starts_with("SB")) {
        const auto parts = Split(text.substr(2), kSeparator);
        if (parts.size() != 2) Throw("bad bit-field link '" + std::string(text) + "'");
        auto link = Link(TypeLink::Kind::kBitField);
        link.bit_start = Number<uint8_t>(parts[0], 10, "bit-field start");
        link.bit_width = Number<uint8_t>(parts[1], 10, "bit-field width");
        return link;
    }
    for (const auto& c : kLinkCodes)
        if (text == c.code) return Link(c.kind);
    Throw("unknown type link '" + std::string(text) + "'");
}

// "({size}LINK,LINK:S)": the parentheses included.
Type ParseType(std::string_view text) {
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') Throw("bad type '" + std::string(text) + "'");
    text = text.substr(1, text.size() - 2);
    if (text.empty() || text.front() != '{') Throw("type without its size");
    const auto close = text.find('}');
    if (close == std::string_view::npos) Throw("unterminated type size");
    Type type;
    type.size = Number<uint32_t>(text.substr(1, close - 1), 10, "type size");
    text.remove_prefix(close + 1);
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) Throw("type without its sign");
    const auto sign = text.substr(colon + 1);
    if (sign != "S" && sign != "U") Throw("bad sign '" + std::string(sign) + "'");
    type.is_signed = sign == "S";
    for (const auto link : Split(text.substr(0, colon), ',')) type.links.push_back(ParseLink(link));
    return type;
}

// The end of the parenthesised group starting at `open`.
std::size_t MatchingParen(std::string_view text, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        if (text[i] == '(') ++depth;
        if (text[i] == ')' && --depth == 0) return i;
    }
    Throw("unbalanced parentheses");
}

CdbSpace ParseSpace(std::string_view text) {
    static constexpr std::string_view kCodes = "ABCDEFGHIJRZ";
    if (text.size() != 1 || kCodes.find(text.front()) == std::string_view::npos)
        Throw("unknown memory space '" + std::string(text) + "'");
    return static_cast<CdbSpace>(text.front());
}

// "name(type),space,on_stack,stack[,[r7,r6]]": what S and F records and structure members share.
struct Declaration {
    Name name;
    Type type;
    CdbSpace space = CdbSpace::kNone;
    bool on_stack = false;
    int stack = 0;
    std::vector<std::string_view> rest;  // fields after the stack offset
};

Declaration ParseDeclaration(std::string_view text) {
    const auto open = text.find('(');
    if (open == std::string_view::npos) Throw("declaration without a type");
    const auto close = MatchingParen(text, open);
    Declaration d;
    d.name = ParseName(text.substr(0, open));
    d.type = ParseType(text.substr(open, close - open + 1));
    std::string_view fields = text.substr(close + 1);
    if (!fields.starts_with(",")) Throw("declaration without its memory space");
    auto parts = Split(fields.substr(1), ',');
    // A register list "[r7,r6]" was split at its commas: join it again.
    std::vector<std::string_view> joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i].starts_with("[")) {
            joined.push_back(parts[i]);
            continue;
        }
        const char* begin = parts[i].data();
        while (i < parts.size() && !parts[i].ends_with("]")) ++i;
        if (i == parts.size()) Throw("unterminated register list");
        joined.emplace_back(begin, static_cast<std::size_t>(parts[i].data() + parts[i].size() - begin));
    }
    if (joined.size() < 3) Throw("declaration with too few fields");
    d.space = ParseSpace(joined[0]);
    d.on_stack = Number<int>(joined[1], 10, "on-stack flag") != 0;
    d.stack = Number<int>(joined[2], 10, "stack offset");
    d.rest.assign(joined.begin() + 3, joined.end());
    return d;
}

std::vector<uint8_t> ParseRegisters(std::string_view text) {
    std::vector<uint8_t> registers;
    const auto inner = text.substr(1, text.size() - 2);
    if (inner.empty()) return registers;
    constexpr uint8_t kRegisterCount = 8;
    for (const auto r : Split(inner, ',')) {
        if (r.size() < 2 || r.front() != 'r') Throw("bad register '" + std::string(r) + "'");
        const auto n = Number<uint8_t>(r.substr(1), 10, "register");
        if (n >= kRegisterCount) Throw("register out of range '" + std::string(r) + "'");
        registers.push_back(n);
    }
    return registers;
}

void ParseSymbol(std::string_view body, DebugInfo& info) {
    auto d = ParseDeclaration(body);
    Symbol s;
    s.scope = std::move(d.name.scope);
    s.name = std::move(d.name.name);
    s.level = d.name.level;
    s.block = d.name.block;
    s.type = std::move(d.type);
    s.space = d.space;
    s.on_stack = d.on_stack;
    s.stack_offset = d.stack;
    if (!d.rest.empty()) {
        if (d.rest.size() != 1 || !d.rest[0].starts_with("[")) Throw("unexpected fields after the stack offset");
        s.registers = ParseRegisters(d.rest[0]);
    }
    if (s.space == CdbSpace::kRegister && s.registers.empty()) Throw("register symbol without registers");
    info.symbols.push_back(std::move(s));
}

void ParseFunction(std::string_view body, DebugInfo& info) {
    auto d = ParseDeclaration(body);
    constexpr std::size_t kFunctionFields = 3;  // interrupt flag, interrupt number, register bank
    if (d.rest.size() != kFunctionFields) Throw("function record needs interrupt, number and bank");
    if (d.name.scope.kind == Scope::Kind::kLocal || d.name.scope.kind == Scope::Kind::kMember)
        Throw("function without a global or file scope");
    Function f;
    f.scope = std::move(d.name.scope);
    f.name = std::move(d.name.name);
    f.type = std::move(d.type);
    f.interrupt = Number<int>(d.rest[0], 10, "interrupt flag") != 0;
    f.interrupt_number = Number<int>(d.rest[1], 10, "interrupt number");
    f.register_bank = Number<int>(d.rest[2], 10, "register bank");
    constexpr int kBanks = 4;
    if (f.register_bank < 0 || f.register_bank >= kBanks) Throw("register bank out of range");
    info.functions.push_back(std::move(f));
}

// "Fsettings$record[({0}S:S$magic$0_0$0(type),Z,0,0)...]"
void ParseStructure(std::string_view body, DebugInfo& info) {
    const auto open = body.find('[');
    if (open == std::string_view::npos || !body.ends_with("]")) Throw("structure record without its member list");
    const auto name = Split(body.substr(0, open), kSeparator);
    if (name.size() != 2 || name[1].empty()) Throw("bad structure name '" + std::string(body.substr(0, open)) + "'");
    Structure s;
    s.file = ParseScope(name[0]).file;
    s.name = name[1];
    std::string_view members = body.substr(open + 1, body.size() - open - 2);
    while (!members.empty()) {
        if (members.front() != '(') Throw("bad structure member list");
        const auto close = MatchingParen(members, 0);
        std::string_view m = members.substr(1, close - 1);
        members.remove_prefix(close + 1);
        const auto brace = m.find('}');
        if (!m.starts_with("{") || brace == std::string_view::npos) Throw("structure member without its offset");
        const auto offset = Number<uint32_t>(m.substr(1, brace - 1), 10, "member offset");
        m.remove_prefix(brace + 1);
        if (!m.starts_with("S:")) Throw("structure member is not a symbol");
        auto d = ParseDeclaration(m.substr(2));
        s.members.push_back({offset, std::move(d.name.name), std::move(d.type)});
    }
    auto key = s.name;
    info.structures[key] = std::move(s);
}

struct Linker {
    std::string key;  // the name as written, to match the S record
    uint16_t address;
};

LineRecord ParseLine(std::string_view key, uint16_t address, bool c_line) {
    // C$file$line$level_block$id or A$module$line
    const auto parts = Split(key.substr(1), kSeparator);
    if (parts.size() < 3 || parts[1].empty()) Throw("bad line record '" + std::string(key) + "'");
    LineRecord r;
    r.file = parts[1];
    r.line = Number<uint32_t>(parts[2], 10, "line number");
    if (c_line && parts.size() >= 4) {
        const auto level_block = Split(parts[3], '_');
        r.level = Number<int>(level_block[0], 10, "level");
        if (level_block.size() > 1) r.block = Number<int>(level_block[1], 10, "block");
    }
    r.address = address;
    return r;
}

std::string SymbolKey(const Scope& scope, std::string_view name) {
    switch (scope.kind) {
    case Scope::Kind::kGlobal: return "G$" + std::string(name);
    case Scope::Kind::kFile: return "F" + scope.file + "$" + std::string(name);
    case Scope::Kind::kMember: return "S$" + std::string(name);
    case Scope::Kind::kLocal: break;
    }
    return "L" + (scope.file.empty() ? scope.function : scope.file + "." + scope.function) + "$" + std::string(name);
}

// "scope$name$rest": the scope and name alone.
std::string_view ScopeAndName(std::string_view key) {
    const auto first = key.find(kSeparator);
    if (first == std::string_view::npos) return key;
    const auto second = key.find(kSeparator, first + 1);
    return key.substr(0, second);
}

void ParseLinker(std::string_view body, DebugInfo& info, std::vector<Linker>& symbols,
                 std::vector<Linker>& function_ends) {
    const auto colon = body.rfind(':');
    if (colon == std::string_view::npos || colon == 0) Throw("linker record without an address");
    const auto key = body.substr(0, colon);
    const auto address = Number<uint16_t>(body.substr(colon + 1), kHexBase, "address");
    switch (key.front()) {
    case 'C': info.lines.push_back(ParseLine(key, address, true)); return;
    case 'A': info.asm_lines.push_back(ParseLine(key, address, false)); return;
    case 'X': function_ends.push_back({std::string(ScopeAndName(key.substr(1))), address}); return;
    case 'G':
    case 'F':
    case 'L': symbols.push_back({std::string(key), address}); return;
    default: Throw("unknown linker record '" + std::string(key) + "'");
    }
}

// Gives symbols and functions the addresses of their linker records: by the whole name when the
// level and block match, else by scope and name.
void Resolve(DebugInfo& info, const std::vector<Linker>& linked, const std::vector<Linker>& ends) {
    std::map<std::string, uint16_t, std::less<>> by_key;
    std::map<std::string, uint16_t, std::less<>> by_name;
    for (const auto& l : linked) {
        by_key.emplace(l.key, l.address);
        by_name.emplace(std::string(ScopeAndName(l.key)), l.address);
    }
    for (auto& s : info.symbols) {
        const auto name = SymbolKey(s.scope, s.name);
        const auto full = name + "$" + std::to_string(s.level) + "_" + std::to_string(s.block);
        auto it = by_key.lower_bound(full);
        if (it != by_key.end() && it->first.starts_with(full)) s.address = it->second;
        else if (const auto n = by_name.find(name); n != by_name.end()) s.address = n->second;
    }
    std::map<std::string, uint16_t, std::less<>> end_of;
    for (const auto& e : ends) end_of.emplace(e.key, e.address);
    for (auto& f : info.functions) {
        const auto name = SymbolKey(f.scope, f.name);
        if (const auto n = by_name.find(name); n != by_name.end()) f.start = n->second;
        if (const auto e = end_of.find(name); e != end_of.end()) f.end = e->second;
    }
}

}  // namespace

std::optional<DebugInfo> ParseCdb(std::string_view text, std::string& error) {
    DebugInfo info;
    std::vector<Linker> linked;
    std::vector<Linker> ends;
    std::size_t line_number = 0;
    try {
        for (auto line : Split(text, '\n')) {
            ++line_number;
            if (line.ends_with("\r")) line.remove_suffix(1);
            if (line.empty()) continue;
            if (line.size() < 2 || line[1] != ':') Throw("not a record (a letter and a colon)");
            const auto body = line.substr(2);
            if (body.empty()) Throw("empty record");
            switch (line.front()) {
            case 'M': info.modules.emplace_back(body); break;
            case 'S': ParseSymbol(body, info); break;
            case 'F': ParseFunction(body, info); break;
            case 'T': ParseStructure(body, info); break;
            case 'L': ParseLinker(body, info, linked, ends); break;
            default: Throw(std::string("unknown record kind '") + line.front() + "'");
            }
        }
        Resolve(info, linked, ends);
    } catch (const CdbError& e) {
        error = "line " + std::to_string(line_number) + ": " + e.what;
        return std::nullopt;
    }
    return info;
}

std::optional<DebugInfo> ReadCdb(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read debug information '" + path + "'";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto info = ParseCdb(text.str(), error);
    if (!info) error = "debug information '" + path + "', " + error;
    return info;
}

}  // namespace peltosim::debug
