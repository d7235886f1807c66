// Typed values of the program's variables: where their bytes are, how they read as C values,
// and how a text sets them. Multi-byte values are little-endian, as SDCC lays them out.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cdb.h"
#include "symbols.h"

namespace peltosim::debug {

struct ByteRef {
    MemSpace space;
    uint16_t address;
};

// A value: its type from link `first` of `type` on, and where each of its bytes lies.
struct ValueRef {
    const Type* type = nullptr;
    std::size_t first = 0;
    std::vector<ByteRef> bytes;
};

struct MemoryAccess {
    std::function<uint8_t(MemSpace, uint16_t)> read;
    std::function<void(MemSpace, uint16_t, uint8_t)> write;
};

struct Child {
    std::string name;
    ValueRef value;
};

class Values {
public:
    Values(const Program& program, MemoryAccess memory) : program_(program), memory_(std::move(memory)) {}

    // The bytes of a symbol: memory for those with an address, bank registers for register
    // locals (`bank` is the function's register bank). Nothing for symbols with no storage.
    std::optional<ValueRef> Locate(const Symbol& s, unsigned bank) const;
    std::string Format(const ValueRef& v) const;
    std::string TypeName(const ValueRef& v) const;
    // Array elements and structure members; empty for scalars.
    std::vector<Child> Children(const ValueRef& v) const;
    // "name", "name.member", "name[3]", "name[1].member" at `pc`.
    std::optional<ValueRef> Lookup(std::string_view path, uint16_t pc, unsigned bank, std::string& error) const;
    // Sets a scalar from text (decimal, 0x hex, 'c', a float for float); false with a reason.
    bool Set(const ValueRef& v, std::string_view text, std::string& error) const;
    uint64_t Raw(const ValueRef& v) const;

private:
    const TypeLink* Link(const ValueRef& v) const;
    std::string Text(const ValueRef& v) const;
    uint32_t SizeFrom(const Type& type, std::size_t first) const;

    const Program& program_;
    MemoryAccess memory_;
};

}  // namespace peltosim::debug
