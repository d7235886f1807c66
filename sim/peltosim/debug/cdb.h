// SDCC's debug information: the .cdb file that `sdcc --debug` writes beside the linked program.
//
// One record a line, "K:body" with K the record kind: M (module), F (function), S (symbol), T
// (structure), L (linker: addresses of symbols, C lines, assembler lines and function ends).
// The reader keeps what a source-level debugger needs; records of kinds it does not know are
// refused, as is any record it cannot take apart, with the line number in the message.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace peltosim::debug {

// Where a symbol lives, by SDCC's one-letter code.
enum class CdbSpace : char {
    kExternalStack = 'A',
    kInternalStack = 'B',
    kCode = 'C',
    kCodeStatic = 'D',
    kInternalLow = 'E',  // directly addressable internal RAM
    kExternal = 'F',
    kInternal = 'G',  // internal RAM through @Ri
    kBitAddressable = 'H',
    kSfr = 'I',
    kSbit = 'J',
    kRegister = 'R',
    kNone = 'Z',
};

// One link of a type chain, outermost first: "array of 8 pointers to char" is kArray, kPointer,
// kChar.
struct TypeLink {
    enum class Kind : uint8_t {
        kArray, kFunction,
        kGenericPointer, kCodePointer, kXdataPointer, kDataPointer, kIdataPointer, kPagedPointer,
        kChar, kShort, kInt, kLong, kFloat, kVoid, kStruct, kSbit, kBitField,
    };
    Kind kind = Kind::kVoid;
    uint32_t count = 0;       // kArray: elements
    std::string struct_name;  // kStruct
    uint8_t bit_start = 0;    // kBitField
    uint8_t bit_width = 0;
};

struct Type {
    uint32_t size = 0;  // bytes of the whole chain
    std::vector<TypeLink> links;
    bool is_signed = false;
};

// Scope of a symbol: global, static to a file, local to a function, or a structure's member.
struct Scope {
    enum class Kind : uint8_t { kGlobal, kFile, kLocal, kMember } kind = Kind::kGlobal;
    std::string file;      // kFile, kLocal: the module ("settings" for settings.c)
    std::string function;  // kLocal
};

struct Symbol {
    Scope scope;
    std::string name;
    int level = 0;
    int block = 0;
    Type type;
    CdbSpace space = CdbSpace::kNone;
    bool on_stack = false;
    int stack_offset = 0;
    std::vector<uint8_t> registers;  // kRegister: R0..R7 numbers, lowest byte first
    std::optional<uint16_t> address;  // from the linker record
};

struct Function {
    Scope scope;  // kGlobal or kFile
    std::string name;
    Type type;
    bool interrupt = false;
    int interrupt_number = 0;
    int register_bank = 0;
    std::optional<uint16_t> start;  // first instruction
    std::optional<uint16_t> end;    // last instruction (the return)
};

struct Member {
    uint32_t offset = 0;
    std::string name;
    Type type;
};

struct Structure {
    std::string file;
    std::string name;
    std::vector<Member> members;
};

struct LineRecord {
    std::string file;  // as SDCC names it, "settings.c"
    uint32_t line = 0;
    int level = 0;
    int block = 0;
    uint16_t address = 0;
};

struct DebugInfo {
    std::vector<std::string> modules;
    std::vector<Function> functions;
    std::vector<Symbol> symbols;
    std::map<std::string, Structure> structures;  // by name
    std::vector<LineRecord> lines;                // C lines, in file order
    std::vector<LineRecord> asm_lines;            // assembler lines of a module's listing
};

// Parses a whole file's text; on failure nothing, and `error` names the line and the problem.
std::optional<DebugInfo> ParseCdb(std::string_view text, std::string& error);
// Reads and parses a file; the error names the file.
std::optional<DebugInfo> ReadCdb(const std::string& path, std::string& error);

}  // namespace peltosim::debug
