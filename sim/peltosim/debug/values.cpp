#include "values.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <sstream>

namespace peltosim::debug {
namespace {

constexpr unsigned kByteBits = 8;
constexpr unsigned kRegistersPerBank = 8;
constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr uint8_t kPrintableFirst = 0x20;
constexpr uint8_t kPrintableEnd = 0x7F;

// Generic pointers carry their space in a third byte.
struct GenericTag {
    uint8_t tag;
    const char* space;
};
constexpr GenericTag kGenericTags[] = {{0x00, "xdata"}, {0x40, "idata"}, {0x60, "pdata"}, {0x80, "code"}};

uint32_t ScalarSize(TypeLink::Kind kind) {
    switch (kind) {
    case TypeLink::Kind::kChar:
    case TypeLink::Kind::kSbit:
    case TypeLink::Kind::kBitField:
    case TypeLink::Kind::kDataPointer:
    case TypeLink::Kind::kIdataPointer:
    case TypeLink::Kind::kPagedPointer: return 1;
    case TypeLink::Kind::kShort:
    case TypeLink::Kind::kInt:
    case TypeLink::Kind::kCodePointer:
    case TypeLink::Kind::kXdataPointer:
    case TypeLink::Kind::kFunction: return 2;
    case TypeLink::Kind::kGenericPointer: return 3;
    case TypeLink::Kind::kLong:
    case TypeLink::Kind::kFloat: return 4;
    case TypeLink::Kind::kArray:
    case TypeLink::Kind::kStruct:
    case TypeLink::Kind::kVoid: break;
    }
    return 0;
}

bool IsPointer(TypeLink::Kind kind) {
    return kind == TypeLink::Kind::kGenericPointer || kind == TypeLink::Kind::kCodePointer ||
           kind == TypeLink::Kind::kXdataPointer || kind == TypeLink::Kind::kDataPointer ||
           kind == TypeLink::Kind::kIdataPointer || kind == TypeLink::Kind::kPagedPointer;
}

std::string Hex(uint64_t value, unsigned digits) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase;
    out.width(digits);
    out.fill('0');
    out << value;
    return out.str();
}

std::string Integer(const char* name, bool is_signed) { return is_signed ? std::string(name) : std::string("unsigned ") + name; }

// "[text]", built by appending (gcc 12 misreads the concatenation of short literals).
std::string Index(std::string_view text) {
    std::string index(1, '[');
    index.append(text);
    index.push_back(']');
    return index;
}

ValueRef Sub(const ValueRef& v, std::size_t first, std::size_t offset, std::size_t size) {
    ValueRef sub{v.type, first, {}};
    for (std::size_t i = 0; i < size && offset + i < v.bytes.size(); ++i) sub.bytes.push_back(v.bytes[offset + i]);
    return sub;
}

}  // namespace

// A char array as C text, up to its first NUL.
std::string Values::Text(const ValueRef& v) const {
    std::string text(1, '"');
    for (const auto& b : v.bytes) {
        const uint8_t c = memory_.read(b.space, b.address);
        if (c == 0) break;
        if (c == '"' || c == '\\') text.push_back('\\');
        if (c >= kPrintableFirst && c < kPrintableEnd) text.push_back(static_cast<char>(c));
        else {
            text += "\\x";
            text += Hex(c, 2).substr(2);
        }
    }
    text.push_back('"');
    return text;
}

const TypeLink* Values::Link(const ValueRef& v) const {
    return v.type && v.first < v.type->links.size() ? &v.type->links[v.first] : nullptr;
}

uint32_t Values::SizeFrom(const Type& type, std::size_t first) const {
    if (first >= type.links.size()) return 0;
    const auto& link = type.links[first];
    switch (link.kind) {
    case TypeLink::Kind::kArray: return link.count * SizeFrom(type, first + 1);
    case TypeLink::Kind::kStruct: {
        const auto* s = program_.FindStructure(link.struct_name);
        if (!s || s->members.empty()) return 0;
        const auto& last = s->members.back();
        return last.offset + last.type.size;
    }
    default: return ScalarSize(link.kind);
    }
}

std::optional<ValueRef> Values::Locate(const Symbol& s, unsigned bank) const {
    ValueRef v{&s.type, 0, {}};
    if (s.space == CdbSpace::kRegister) {
        for (const auto r : s.registers)
            v.bytes.push_back({MemSpace::kIdata, static_cast<uint16_t>(bank * kRegistersPerBank + r)});
        return v;
    }
    const auto space = SpaceOf(s);
    if (!space || !s.address) return std::nullopt;
    for (uint32_t i = 0; i < s.type.size; ++i) v.bytes.push_back({*space, static_cast<uint16_t>(*s.address + i)});
    return v;
}

uint64_t Values::Raw(const ValueRef& v) const {
    uint64_t raw = 0;
    const auto n = std::min<std::size_t>(v.bytes.size(), sizeof raw);
    for (std::size_t i = 0; i < n; ++i) raw |= uint64_t{memory_.read(v.bytes[i].space, v.bytes[i].address)} << (kByteBits * i);
    return raw;
}

std::string Values::TypeName(const ValueRef& v) const {
    std::string name;
    std::string suffix;
    for (std::size_t i = v.first; v.type && i < v.type->links.size(); ++i) {
        const auto& l = v.type->links[i];
        switch (l.kind) {
        case TypeLink::Kind::kArray: suffix += Index(std::to_string(l.count)); break;
        case TypeLink::Kind::kFunction: suffix += "()"; break;
        case TypeLink::Kind::kGenericPointer: name = " *" + name; break;
        case TypeLink::Kind::kCodePointer: name = " __code *" + name; break;
        case TypeLink::Kind::kXdataPointer: name = " __xdata *" + name; break;
        case TypeLink::Kind::kDataPointer: name = " __data *" + name; break;
        case TypeLink::Kind::kIdataPointer: name = " __idata *" + name; break;
        case TypeLink::Kind::kPagedPointer: name = " __pdata *" + name; break;
        case TypeLink::Kind::kChar: name = Integer("char", v.type->is_signed) + name; break;
        case TypeLink::Kind::kShort: name = Integer("short", v.type->is_signed) + name; break;
        case TypeLink::Kind::kInt: name = Integer("int", v.type->is_signed) + name; break;
        case TypeLink::Kind::kLong: name = Integer("long", v.type->is_signed) + name; break;
        case TypeLink::Kind::kFloat: name = "float" + name; break;
        case TypeLink::Kind::kVoid: name = "void" + name; break;
        case TypeLink::Kind::kStruct: name = "struct " + l.struct_name + name; break;
        case TypeLink::Kind::kSbit: name = "__sbit" + name; break;
        case TypeLink::Kind::kBitField: name = "bit-field:" + std::to_string(l.bit_width) + name; break;
        }
    }
    return name + suffix;
}

std::string Values::Format(const ValueRef& v) const {
    const auto* link = Link(v);
    if (!link) return "?";
    const uint64_t raw = Raw(v);
    const unsigned bits = static_cast<unsigned>(v.bytes.size()) * kByteBits;
    switch (link->kind) {
    case TypeLink::Kind::kArray:
        if (v.first + 1 < v.type->links.size() && v.type->links[v.first + 1].kind == TypeLink::Kind::kChar) return Text(v);
        return "{...}";
    case TypeLink::Kind::kStruct: return "{...}";
    case TypeLink::Kind::kFloat: return std::to_string(std::bit_cast<float>(static_cast<uint32_t>(raw)));
    case TypeLink::Kind::kGenericPointer: {
        const auto tag = static_cast<uint8_t>(raw >> (2 * kByteBits));
        for (const auto& t : kGenericTags)
            if (t.tag == tag) return std::string(t.space) + ":" + Hex(raw & 0xFFFF, 4);
        return Hex(raw, 6);
    }
    case TypeLink::Kind::kBitField: {
        const uint64_t field = raw >> link->bit_start & ((uint64_t{1} << link->bit_width) - 1);
        return std::to_string(field);
    }
    default: break;
    }
    if (IsPointer(link->kind) || link->kind == TypeLink::Kind::kFunction) return Hex(raw, 2 * static_cast<unsigned>(v.bytes.size()));
    if (bits == 0) return "?";
    int64_t value = static_cast<int64_t>(raw);
    if (v.type->is_signed && bits < 64 && (raw >> (bits - 1) & 1)) value = static_cast<int64_t>(raw | (kAllOnes << bits));
    std::string text = std::to_string(value);
    if (link->kind == TypeLink::Kind::kChar && raw >= kPrintableFirst && raw < kPrintableEnd) text += std::string(" '") + std::string(1, static_cast<char>(raw)) + "'";
    return text;
}

std::vector<Child> Values::Children(const ValueRef& v) const {
    std::vector<Child> children;
    const auto* link = Link(v);
    if (!link) return children;
    if (link->kind == TypeLink::Kind::kArray) {
        const uint32_t element = SizeFrom(*v.type, v.first + 1);
        for (uint32_t i = 0; i < link->count && element != 0; ++i)
            children.push_back({Index(std::to_string(i)), Sub(v, v.first + 1, i * element, element)});
    } else if (link->kind == TypeLink::Kind::kStruct) {
        if (const auto* s = program_.FindStructure(link->struct_name))
            for (const auto& m : s->members) {
                ValueRef member = Sub(v, 0, m.offset, SizeFrom(m.type, 0));
                member.type = &m.type;
                children.push_back({m.name, std::move(member)});
            }
    }
    return children;
}

std::optional<ValueRef> Values::Lookup(std::string_view path, uint16_t pc, unsigned bank, std::string& error) const {
    const auto end = path.find_first_of(".[");
    const auto name = path.substr(0, end);
    const Symbol* s = program_.FindVariable(name, pc);
    if (!s) {
        error = "no variable '" + std::string(name) + "' here";
        return std::nullopt;
    }
    auto v = Locate(*s, bank);
    if (!v) {
        error = Quote(std::string(name)) + " has no storage the debugger can read";
        return std::nullopt;
    }
    path.remove_prefix(end == std::string_view::npos ? path.size() : end);
    while (!path.empty()) {
        std::string part;
        if (path.front() == '.') {
            const auto next = path.find_first_of(".[", 1);
            part = path.substr(1, next == std::string_view::npos ? std::string_view::npos : next - 1);
            path.remove_prefix(next == std::string_view::npos ? path.size() : next);
        } else {
            const auto close = path.find(']');
            if (close == std::string_view::npos) {
                error = "unterminated index";
                return std::nullopt;
            }
            part = Index(path.substr(1, close - 1));
            path.remove_prefix(close + 1);
        }
        const auto children = Children(*v);
        const auto it = std::find_if(children.begin(), children.end(), [&](const Child& c) { return c.name == part; });
        if (it == children.end()) {
            error = "no element or member '" + part + "'";
            return std::nullopt;
        }
        v = it->value;
    }
    return v;
}

bool Values::Set(const ValueRef& v, std::string_view text, std::string& error) const {
    const auto* link = Link(v);
    if (!link || link->kind == TypeLink::Kind::kArray || link->kind == TypeLink::Kind::kStruct) {
        error = "only scalars can be set";
        return false;
    }
    uint64_t raw = 0;
    if (link->kind == TypeLink::Kind::kFloat) {
        float f = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), f);
        if (ec != std::errc{} || ptr != text.data() + text.size()) {
            error = "not a number: '" + std::string(text) + "'";
            return false;
        }
        raw = std::bit_cast<uint32_t>(f);
    } else if (text.size() == 3 && text.front() == '\'' && text.back() == '\'') {
        raw = static_cast<uint8_t>(text[1]);
    } else {
        const bool negative = text.starts_with("-");
        std::string_view digits = negative ? text.substr(1) : text;
        int base = 10;
        if (digits.starts_with("0x") || digits.starts_with("0X")) {
            base = 16;
            digits.remove_prefix(2);
        }
        const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), raw, base);
        if (digits.empty() || ec != std::errc{} || ptr != digits.data() + digits.size()) {
            error = "not a number: '" + std::string(text) + "'";
            return false;
        }
        if (negative) raw = ~raw + 1;
    }
    if (link->kind == TypeLink::Kind::kBitField) {
        const uint64_t mask = ((uint64_t{1} << link->bit_width) - 1) << link->bit_start;
        raw = (Raw(v) & ~mask) | (raw << link->bit_start & mask);
    }
    for (std::size_t i = 0; i < v.bytes.size(); ++i)
        memory_.write(v.bytes[i].space, v.bytes[i].address, static_cast<uint8_t>(raw >> (kByteBits * i)));
    return true;
}

}  // namespace peltosim::debug
