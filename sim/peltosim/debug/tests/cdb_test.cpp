#include <gtest/gtest.h>

#include <string>

#include "sim/peltosim/debug/cdb.h"
#include "sim/peltosim/debug/symbols.h"

namespace peltosim::debug {
namespace {

std::string Dir() { return PELTOSIM_DEBUG_TEST_DIR; }

DebugInfo ReadOrFail(const std::string& path) {
    std::string error;
    auto info = ReadCdb(path, error);
    EXPECT_TRUE(info) << error;
    return info ? *info : DebugInfo{};
}

const Symbol* Find(const DebugInfo& info, const std::string& name) {
    for (const auto& s : info.symbols)
        if (s.name == name) return &s;
    return nullptr;
}

TEST(CdbTest, EveryRecordKindOfTheHandWrittenFile) {
    const auto info = ReadOrFail(Dir() + "/every_record.cdb");
    ASSERT_EQ(info.modules, std::vector<std::string>{"demo"});
    ASSERT_EQ(info.functions.size(), 2u);
    EXPECT_EQ(info.functions[0].start, 0x100);
    EXPECT_EQ(info.functions[0].end, 0x13F);
    const auto& tick = info.functions[1];
    EXPECT_EQ(tick.scope.kind, Scope::Kind::kFile);
    EXPECT_EQ(tick.scope.file, "demo");
    EXPECT_TRUE(tick.interrupt);
    EXPECT_EQ(tick.interrupt_number, 1);
    EXPECT_EQ(tick.register_bank, 2);
    EXPECT_EQ(tick.start, 0x140);
    EXPECT_EQ(tick.end, 0x15A);

    const auto* log = Find(info, "log");
    ASSERT_TRUE(log);
    EXPECT_EQ(log->type.size, 8u);
    ASSERT_EQ(log->type.links.size(), 2u);
    EXPECT_EQ(log->type.links[0].kind, TypeLink::Kind::kArray);
    EXPECT_EQ(log->type.links[0].count, 4u);
    EXPECT_EQ(log->type.links[1].kind, TypeLink::Kind::kInt);
    EXPECT_TRUE(log->type.is_signed);
    EXPECT_EQ(log->space, CdbSpace::kExternal);
    EXPECT_EQ(log->address, 0x8002);

    const auto* sum = Find(info, "sum");
    ASSERT_TRUE(sum);
    EXPECT_EQ(sum->scope.kind, Scope::Kind::kLocal);
    EXPECT_EQ(sum->scope.function, "append");
    EXPECT_EQ(sum->registers, (std::vector<uint8_t>{6, 7}));
    EXPECT_FALSE(sum->address);
    EXPECT_EQ(Find(info, "where")->address, 0x8013);
    EXPECT_EQ(Find(info, "count")->address, 0x36);
    EXPECT_EQ(Find(info, "EA")->space, CdbSpace::kSbit);

    const auto& entry = info.structures.at("entry");
    ASSERT_EQ(entry.members.size(), 3u);
    EXPECT_EQ(entry.members[1].offset, 2u);
    EXPECT_EQ(entry.members[1].type.links[0].kind, TypeLink::Kind::kBitField);
    EXPECT_EQ(entry.members[1].type.links[0].bit_width, 3);
    EXPECT_EQ(entry.members[2].type.links[1].struct_name, "entry");

    ASSERT_EQ(info.lines.size(), 6u);
    EXPECT_EQ(info.lines[1].file, "demo.c");
    EXPECT_EQ(info.lines[1].line, 11u);
    EXPECT_EQ(info.lines[1].level, 1);
    ASSERT_EQ(info.asm_lines.size(), 1u);
    EXPECT_EQ(info.asm_lines[0].line, 57u);
}

TEST(CdbTest, MalformedInputIsAnErrorNamingTheLine) {
    const struct {
        const char* text;
        const char* message;  // part of the error
    } cases[] = {
        {"Q:what", "unknown record kind 'Q'"},
        {"M:demo\nnot a record", "line 2: not a record"},
        {"S:G$x$0_0$0({2}SI:U,F,0,0", "unbalanced parentheses"},
        {"S:G$x$0_0$0({2}SQ:U),F,0,0", "unknown type link 'SQ'"},
        {"S:G$x$0_0$0({2}SI:Q),F,0,0", "bad sign"},
        {"S:G$x$0_0$0({two}SI:U),F,0,0", "bad type size"},
        {"S:G$x$0_0$0({2}SI:U),W,0,0", "unknown memory space 'W'"},
        {"S:G$x$0_0$0({2}SI:U),R,0,0", "register symbol without registers"},
        {"S:G$x$0_0$0({2}SI:U),R,0,0,[r9]", "register out of range"},
        {"S:G$x$0_0$0({2}SI:U),R,0,0,[r7", "unterminated register list"},
        {"S:Q$x$0_0$0({2}SI:U),F,0,0", "unknown scope"},
        {"F:G$f$0_0$0({2}DF,SV:S),C,0,0,0,0", "interrupt, number and bank"},
        {"F:G$f$0_0$0({2}DF,SV:S),C,0,0,0,0,7", "register bank out of range"},
        {"T:Fdemo$entry({0}S:S$a$0_0$0({1}SC:U),Z,0,0)", "member list"},
        {"T:Fdemo$entry[({0}X:S$a$0_0$0({1}SC:U),Z,0,0)]", "not a symbol"},
        {"L:G$x$0_0$0:XYZ", "bad address 'XYZ'"},
        {"L:G$x$0_0$0:10000", "bad address"},
        {"L:C$demo.c$ten$0_0$1:100", "bad line number"},
        {"L:Q$x:100", "unknown linker record"},
        {"S:", "empty record"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseCdb(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " -> " << error;
    }
}

TEST(CdbTest, MissingFileIsAnError) {
    std::string error;
    EXPECT_FALSE(ReadCdb(Dir() + "/no_such.cdb", error));
    EXPECT_NE(error.find("cannot read debug information"), std::string::npos);
}

// The settings example, compiled and linked with sdcc --debug by the build.
TEST(CdbTest, SdccOutputOfTheSettingsExample) {
    const auto info = ReadOrFail(std::string(PELTOSIM_DEBUG_EXAMPLES) + "/settings.cdb");
    const Program program(info);
    const auto* main_function = program.FindFunction("_main");
    ASSERT_TRUE(main_function);
    ASSERT_TRUE(main_function->end);
    EXPECT_LT(*main_function->start, *main_function->end);
    // Every C line of main lies inside main's range and maps back to settings.c.
    uint32_t lines_in_main = 0;
    for (const auto& l : info.lines) {
        if (program.FunctionAt(l.address) != main_function) continue;
        ++lines_in_main;
        EXPECT_EQ(l.file, "settings.c");
        EXPECT_GE(l.line, 113u);
        EXPECT_LE(l.line, 145u);
    }
    EXPECT_GT(lines_in_main, 10u);
    // Globals in their spaces with addresses; the structure types come with their members.
    const auto* store = program.FindVariable("store", std::nullopt);
    ASSERT_TRUE(store);
    EXPECT_EQ(SpaceOf(*store), MemSpace::kIdata);
    EXPECT_TRUE(store->address);
    const auto* record = program.FindStructure("record");
    ASSERT_TRUE(record);
    ASSERT_EQ(record->members.size(), 4u);
    EXPECT_EQ(record->members[3].name, "checksum");
    EXPECT_EQ(record->members[3].offset, 30u);
    // A static local of main in external data.
    const auto* current = program.FindVariable("current", main_function->start);
    ASSERT_TRUE(current);
    EXPECT_EQ(SpaceOf(*current), MemSpace::kXdata);
    EXPECT_GE(*current->address, 0x8000);
}

// The forms of the command line's locations, on the hand-written file.
TEST(SymbolsTest, LocationFormsAndTheirErrors) {
    const Program program(ReadOrFail(Dir() + "/every_record.cdb"));
    const struct {
        const char* text;
        std::optional<uint16_t> address;
        uint64_t count;
        const char* error;
    } breaks[] = {
        {"0x120", 0x120, 1, ""},
        {"288", 0x120, 1, ""},
        {"_append", 0x100, 1, ""},
        {"append", 0x100, 1, ""},
        {"tick,3", 0x140, 3, ""},
        {"demo.c:12", 0x10B, 1, ""},
        {"src/demo.c:13", 0x120, 1, ""},  // no code on 13: the next line with code
        {"demo.c:12,2", 0x10B, 2, ""},
        {"0x10000", std::nullopt, 0, "beyond code memory"},
        {"_nothing", std::nullopt, 0, "no function or code label '_nothing'"},
        {"demo.c:99", std::nullopt, 0, "no code at or after line 99"},
        {"demo.c:x", std::nullopt, 0, "bad line number"},
        {"append,0", std::nullopt, 0, "bad hit count"},
        {"append,", std::nullopt, 0, "bad hit count"},
    };
    for (const auto& c : breaks) {
        std::string error;
        const auto b = ResolveBreak(&program, c.text, error);
        if (!c.address) {
            EXPECT_FALSE(b) << c.text;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " -> " << error;
            continue;
        }
        ASSERT_TRUE(b) << c.text << ": " << error;
        EXPECT_EQ(b->address, *c.address) << c.text;
        EXPECT_EQ(b->count, c.count) << c.text;
    }
    const struct {
        const char* text;
        std::optional<Place> place;
        const char* error;
    } places[] = {
        {"xdata:_head", Place{MemSpace::kXdata, 0x8000}, ""},
        {"xdata:log", Place{MemSpace::kXdata, 0x8002}, ""},
        {"idata:_total", Place{MemSpace::kIdata, 0x32}, ""},
        {"idata:0x7F", Place{MemSpace::kIdata, 0x7F}, ""},
        {"idata:0x100", std::nullopt, "beyond idata"},
        {"idata:_head", std::nullopt, "'_head' is not in idata"},
        {"xdata:_sum", std::nullopt, "no variable '_sum' with an address"},
        {"data:_head", std::nullopt, "does not start with code:, xdata: or idata:"},
        {"_head", std::nullopt, "does not start with"},
    };
    for (const auto& c : places) {
        std::string error;
        const auto p = ResolvePlace(&program, c.text, error);
        if (!c.place) {
            EXPECT_FALSE(p) << c.text;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " -> " << error;
            continue;
        }
        ASSERT_TRUE(p) << c.text << ": " << error;
        EXPECT_EQ(p->space, c.place->space) << c.text;
        EXPECT_EQ(p->address, c.place->address) << c.text;
    }
    std::string error;
    EXPECT_FALSE(ResolveWhere(nullptr, "_append", error));
    EXPECT_NE(error.find("--debug-info"), std::string::npos);
    EXPECT_EQ(ResolveWhere(nullptr, "0x40", error), 0x40);
}

TEST(SymbolsTest, LinesAndFunctionsByAddress) {
    const Program program(ReadOrFail(Dir() + "/every_record.cdb"));
    EXPECT_EQ(program.FunctionAt(0x13F)->name, "append");
    EXPECT_EQ(program.FunctionAt(0x140)->name, "tick");
    EXPECT_EQ(program.FunctionAt(0x15B), nullptr);
    EXPECT_EQ(program.LineAt(0x10A)->line, 11u);
    EXPECT_EQ(program.LineAt(0x10B)->line, 12u);
    EXPECT_TRUE(program.IsLineStart(0x104));
    EXPECT_FALSE(program.IsLineStart(0x105));
    // A local shadows nothing outside its function.
    EXPECT_EQ(program.FindVariable("sum", 0x110)->scope.kind, Scope::Kind::kLocal);
    EXPECT_EQ(program.FindVariable("sum", 0x150), nullptr);
}

}  // namespace
}  // namespace peltosim::debug
